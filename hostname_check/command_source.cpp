#include "command_source.h"

#include <cstring>

#include "platform.h"

namespace hostname_check {

bool TempFileExists(const char* tempFileName) {
  // Does not follow links: a dangling link counts as much as a file.
  return GetFileAttributesA(tempFileName) != INVALID_FILE_ATTRIBUTES;
}

void ReadFirstLine(FILE* stream, char (&hostname)[kCommandHostnameSize]) {
  if (fgets(hostname, kCommandHostnameSize, stream) == nullptr) {
    hostname[0] = '\0';
    return;
  }
  // Only the one line feed that ends the line goes; blanks and lone carriage returns stay.
  const size_t length = strlen(hostname);
  if (length > 0 && hostname[length - 1] == '\n') {
    hostname[length - 1] = '\0';
  }
}

bool GetHostnameFromCommand(const char* captureCommand, const char* tempFileName,
                            char (&hostname)[kCommandHostnameSize]) {
  // Whether the command worked is judged by the file it leaves, not by its status.
  system(captureCommand);
  FILE* capture = fopen(tempFileName, "r");
  if (capture == nullptr) {
    return false;
  }
  ReadFirstLine(capture, hostname);
  printf("The Hostname from command is '%s'.\n", hostname);
  fclose(capture);
  return true;
}

void RemoveTempFile(const char* removalCommand) { system(removalCommand); }

}  // namespace hostname_check
