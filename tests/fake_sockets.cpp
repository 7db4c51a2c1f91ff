// A sockets layer that fails as the real one cannot be made to: HOSTNAME_CHECK_FAKE_SOCKETS set
// to "startup" makes WSAStartup fail, "name" makes gethostname fail with WSAENETDOWN, "hang" makes
// gethostname wait for ever on a process of its own (`sleep 603` through /bin/sh), as a library
// stuck in a lookup does: whatever limits the check's time must end that process too.
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "win32_layer.h"

namespace {

constexpr int kWsaSysNotReady = 10091;
constexpr int kWsaENetDown = 10050;
int lastError = 0;

bool Fails(const char* call) {
  const char* which = getenv("HOSTNAME_CHECK_FAKE_SOCKETS");
  return which != nullptr && strcmp(which, call) == 0;
}

}  // namespace

int WSAStartup(WORD /*versionRequested*/, LPWSADATA data) {
  if (Fails("startup")) return kWsaSysNotReady;
  data->wVersion = data->wHighVersion = MAKEWORD(2, 2);
  return 0;
}

int WSAGetLastError() { return lastError; }

namespace win32_layer {

int gethostname(char* name, int length) {
  if (Fails("hang")) {
    win32_layer::system("sleep 603");
  }
  if (Fails("name") || Fails("hang")) {
    lastError = kWsaENetDown;
    return -1;
  }
  return ::gethostname(name, static_cast<size_t>(length));
}

}  // namespace win32_layer
