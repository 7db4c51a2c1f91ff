// The registry: HKEY_LOCAL_MACHINE with the TCP/IP parameters key, whose "Hostname" value is the
// static host name in /etc/hostname.
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cwchar>

#include "etc_hostname.h"
#include "win32_layer.h"

// A key remembers the rights it was opened with.
struct RegistryKey {
  REGSAM granted;
};

namespace {

RegistryKey localMachine{0};
RegistryKey parameters{0};

constexpr char kEtcHostname[] = "/etc/hostname";
constexpr REGSAM kWriteRights =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER;
constexpr REGSAM kReadRights = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY | READ_CONTROL;

bool IsParametersPath(LPCWSTR path) {
  return path != nullptr &&
         wcscasecmp(path, L"System\\CurrentControlSet\\Services\\Tcpip\\Parameters") == 0;
}

// Feeds the whole of /etc/hostname to the scanner, a block at a time, stopping once the name's line
// has ended. 0, or the errno of the failed open or read.
int ScanEtcHostname(win32_layer::EtcHostnameScanner& scanner) {
  const int fd = open(kEtcHostname, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return errno;
  }
  char block[4096];
  int error = 0;
  for (;;) {
    const ssize_t got = read(fd, block, sizeof block);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      error = errno;
      break;
    }
    if (got == 0 || !scanner.Scan(std::string_view(block, static_cast<size_t>(got)))) {
      break;
    }
  }
  close(fd);
  return error;
}

}  // namespace

HKEY const HKEY_LOCAL_MACHINE = &localMachine;

LONG RegOpenKeyExW(HKEY root, LPCWSTR subKey, DWORD /*options*/, REGSAM desired, PHKEY result) {
  if (result == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  *result = nullptr;
  if (root != HKEY_LOCAL_MACHINE || !IsParametersPath(subKey)) {
    return ERROR_FILE_NOT_FOUND;
  }
  // The file's permissions stand for the key's access control list. Without the file the key
  // still exists, only its value does not.
  const int needed =
      ((desired & kWriteRights) != 0 ? W_OK : 0) | ((desired & kReadRights) != 0 ? R_OK : 0);
  if (needed != 0 && access(kEtcHostname, needed) != 0 && errno != ENOENT) {
    return ERROR_ACCESS_DENIED;
  }
  parameters.granted = desired;
  *result = &parameters;
  return ERROR_SUCCESS;
}

// The signature is the Windows one, reserved argument included.
// NOLINTNEXTLINE(readability-non-const-parameter)
LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD dataSize) {
  if (key != &parameters) {
    return ERROR_INVALID_HANDLE;
  }
  if (reserved != nullptr || (data != nullptr && dataSize == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  if ((key->granted & KEY_QUERY_VALUE) == 0) {
    return ERROR_ACCESS_DENIED;
  }
  if (valueName == nullptr || strcasecmp(valueName, "Hostname") != 0) {
    return ERROR_FILE_NOT_FOUND;
  }
  // The name goes straight into the caller's buffer; one too long is only counted.
  win32_layer::EtcHostnameScanner scanner;
  if (data != nullptr) {
    scanner.name = reinterpret_cast<char*>(data);
    scanner.capacity = *dataSize;
  }
  const int error = ScanEtcHostname(scanner);
  if (error != 0) {
    return error == EACCES ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
  }
  if (scanner.length == 0) {
    return ERROR_FILE_NOT_FOUND;
  }

  const DWORD needed = static_cast<DWORD>(scanner.length + 1);
  if (type != nullptr) {
    *type = REG_SZ;
  }
  if (data == nullptr) {
    if (dataSize != nullptr) {
      *dataSize = needed;
    }
    return ERROR_SUCCESS;
  }
  if (*dataSize < needed) {
    *dataSize = needed;
    return ERROR_MORE_DATA;
  }
  data[scanner.length] = '\0';
  *dataSize = needed;
  return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
  if (key != &parameters) {
    return ERROR_INVALID_HANDLE;
  }
  key->granted = 0;
  return ERROR_SUCCESS;
}
