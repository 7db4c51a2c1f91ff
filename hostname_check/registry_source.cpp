#include "registry_source.h"

#include <stdio.h>
#include <string.h>

#include "platform.h"

namespace hostname_check {

void TerminateRegistryString(long status, unsigned long type, unsigned long size,
                             char (&hostname)[kRegistryHostnameSize]) {
  const bool isString = type == REG_SZ || type == REG_EXPAND_SZ;
  if (status != ERROR_SUCCESS || !isString || size > kRegistryHostnameSize) {
    hostname[0] = '\0';
    return;
  }
  // Stored strings need not end with their zero byte; one may follow the data if there is room.
  if (memchr(hostname, '\0', size) != nullptr) {
    return;
  }
  if (size < kRegistryHostnameSize) {
    hostname[size] = '\0';
  } else {
    hostname[0] = '\0';
  }
}

void GetHostnameFromRegistry(char (&hostname)[kRegistryHostnameSize]) {
  // Read access is all the check needs, and all that an ordinary user is granted.
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Services\\Tcpip\\Parameters",
                    0, KEY_READ, &key) != ERROR_SUCCESS) {
    key = nullptr;
  }
  hostname[0] = '\0';
  DWORD type = 0;
  DWORD size = kRegistryHostnameSize;
  // Made even without a key: it then fails and the name stays empty.
  const LONG status =
      RegQueryValueExA(key, "Hostname", nullptr, &type, reinterpret_cast<LPBYTE>(hostname), &size);
  if (key != nullptr) {
    RegCloseKey(key);
  }
  TerminateRegistryString(status, type, size, hostname);
  printf("Hostname from Registry is '%s'.\n", hostname);
}

void ReportVerdict(const char* registryHostname, const char* commandHostname) {
  const bool agree = registryHostname[0] != '\0' && strcmp(registryHostname, commandHostname) == 0;
  printf("The test results were '%s'.\n", agree ? "good" : "bad");
}

}  // namespace hostname_check
