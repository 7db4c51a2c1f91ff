// hostname_check: do the places that report this computer's host name agree?
//
// Prints the name the `hostname` command gives, the name the TCP/IP configuration keeps, the
// verdict "good" or "bad", and the name the sockets library reports. Exit status 0 for every run
// that gets past the capture, whatever the verdict; 1 when the temporary file is already there or
// the capture cannot be opened.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "command_source.h"
#include "registry_source.h"
#include "winsock_source.h"

using namespace hostname_check;

int main(int /*argc*/, char* /*argv*/[], char* /*envp*/[]) {
  // All working storage, zero past its initial text; the registry name is cleared by its reader.
  char tempFileName[25] = "HostName123.txt";
  char captureCommand[100] = "hostname > ";
  char removalCommand[100] = "del ";
  char commandHostname[kCommandHostnameSize] = {};
  char registryHostname[kRegistryHostnameSize];
  char winsockHostname[kWinsockHostnameSize] = {};

  strncat(captureCommand, tempFileName, sizeof captureCommand - strlen(captureCommand) - 1);
  strncat(removalCommand, tempFileName, sizeof removalCommand - strlen(removalCommand) - 1);

  if (TempFileExists(tempFileName)) {
    puts("Temp file already exists.");
    return 1;
  }
  if (!GetHostnameFromCommand(captureCommand, tempFileName, commandHostname)) {
    perror("Error while opening the file.\n");
    exit(1);
  }
  RemoveTempFile(removalCommand);

  GetHostnameFromRegistry(registryHostname);
  ReportVerdict(registryHostname, commandHostname);

  ReportWinsockHostname(winsockHostname);
  return 0;
}
