// Windows Sockets: there is nothing to start, and the host name is the system's.
#include <errno.h>
#include <unistd.h>

#include "win32_layer.h"

int WSAStartup(WORD versionRequested, LPWSADATA data) {
  constexpr int kWsaEFault = 10014;
  constexpr int kWsaVerNotSupported = 10092;
  if (data == nullptr) {
    return kWsaEFault;
  }
  if ((versionRequested & 0xFF) == 0) {
    return kWsaVerNotSupported;
  }
  data->wVersion = versionRequested;
  data->wHighVersion = MAKEWORD(2, 2);
  return 0;
}

int WSAGetLastError() { return errno; }

namespace win32_layer {

int gethostname(char* name, int length) {
  if (name == nullptr || length < 0) {
    errno = EFAULT;
    return -1;
  }
  return ::gethostname(name, static_cast<size_t>(length));
}

}  // namespace win32_layer
