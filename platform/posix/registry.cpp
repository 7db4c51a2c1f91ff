// The registry: HKEY_LOCAL_MACHINE with the TCP/IP parameters key, whose "Hostname" value is the
// static host name in /etc/hostname.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wchar.h>

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

// Feeds /etc/hostname to the scanner, a block at a time, stopping once the name's line has ended.
// Only a regular file counts, read no further than the size it had when opened: a FIFO, a device
// or anything else bound there reads as no file, and nothing there can keep the check waiting or
// reading for ever. 0, or the errno of the failed open or read (ENOENT for what is not a file).
int ScanEtcHostname(win32_layer::EtcHostnameScanner& scanner) {
  const int fd = open(kEtcHostname, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return errno;
  }
  struct stat status {};
  int error = 0;
  if (fstat(fd, &status) != 0) {
    error = errno;
  } else if (!S_ISREG(status.st_mode)) {
    error = ENOENT;
  }
  char block[4096];
  for (off_t left = status.st_size; error == 0 && left > 0;) {
    const ssize_t got = read(fd, block, left < off_t{sizeof block} ? left : sizeof block);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      error = errno;
    } else if (got == 0 || !scanner.Scan(block, static_cast<size_t>(got))) {
      break;
    } else {
      left -= got;
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
