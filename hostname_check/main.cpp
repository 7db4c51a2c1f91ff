// hostname_check: do the places that report this computer's host name agree?
//
// Prints the name the `hostname` command gives, the name the TCP/IP configuration keeps, the
// verdict "good" or "bad", and the name the sockets library reports. Exit status 0 for every run
// that gets past the capture, whatever the verdict; 1 when the temporary file is already there or
// cannot be looked up, the capture cannot be opened, its name no longer leads to it when it is to
// be removed, or the report cannot be written.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "command_source.h"
#include "registry_source.h"
#include "winsock_source.h"

using namespace hostname_check;

// Ends the run with status, once the report has reached standard output. A report that cannot be
// written (a full disk, a closed pipe) is a failure, said on standard error.
static int FinishOutput(int status) {
  errno = 0;
  if (fflush(stdout) != 0 || ferror(stdout) != 0) {
    const int error = errno;
    fputs("hostname_check: write error", stderr);
    if (error != 0) {
      fputs(": ", stderr);
      fputs(strerror(error), stderr);
    }
    fputs("\n", stderr);
    return 1;
  }
  return status;
}

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

  switch (TempFileExists(tempFileName)) {
    case Lookup::kAbsent:
      break;
    case Lookup::kPresent:
      puts("Temp file already exists.");
      return FinishOutput(1);
    case Lookup::kFailed:
      fprintf(stderr, "hostname_check: cannot look up %s: %s\n", tempFileName, strerror(errno));
      return FinishOutput(1);
  }
  CaptureId capture;
  if (!GetHostnameFromCommand(captureCommand, tempFileName, commandHostname, capture)) {
    perror("Error while opening the file.\n");
    exit(1);
  }
  if (!RemoveTempFile(removalCommand, tempFileName, capture)) {
    fprintf(stderr, "hostname_check: %s is no longer the file that was read; it is left as it is\n",
            tempFileName);
    return FinishOutput(1);
  }

  GetHostnameFromRegistry(registryHostname);
  ReportVerdict(registryHostname, commandHostname);

  ReportWinsockHostname(winsockHostname);
  return FinishOutput(0);
}
