#include "winsock_source.h"

#include <stdio.h>

#include "platform.h"

namespace hostname_check {

void ReportWinsockHostname(char (&hostname)[kWinsockHostnameSize]) {
  // The library stays started until the process ends.
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    puts("WSA Startup Failed.");
    return;
  }
  if (gethostname(hostname, kWinsockHostnameSize) != 0) {
    printf("WSAGetLastError is '%d'.\n", WSAGetLastError());
    return;
  }
  hostname[kWinsockHostnameSize - 1] = '\0';
  printf("Winsock gethostname is '%s'.\n", hostname);
}

}  // namespace hostname_check
