#include "command_source.h"

#include <cerrno>
#include <cstring>

#include "platform.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace hostname_check {

bool TempFileExists(const char* tempFileName) {
  // Does not follow links: a dangling link counts as much as a file. Only "not found" means that
  // nothing is there; an entry that cannot even be looked at may still be someone's file.
  if (GetFileAttributesA(tempFileName) != INVALID_FILE_ATTRIBUTES) {
    return true;
  }
  const DWORD error = GetLastError();
  return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

FILE* OpenCapture(const char* tempFileName) {
#ifdef _WIN32
  // The file must be the one the command interpreter has just created: not a reparse point (a
  // link or junction that someone put in its place), not a device, and not a second name of
  // another file. It is then read in the runtime's text mode like any file opened with "r".
  HANDLE file = CreateFileA(tempFileName, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    errno = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ENOENT : EACCES;
    return nullptr;
  }
  BY_HANDLE_FILE_INFORMATION info;
  const DWORD refused = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;
  if (GetFileType(file) != FILE_TYPE_DISK || GetFileInformationByHandle(file, &info) == 0 ||
      (info.dwFileAttributes & refused) != 0 || info.nNumberOfLinks != 1) {
    CloseHandle(file);
    errno = EACCES;
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDONLY | _O_TEXT);
  if (fd < 0) {
    CloseHandle(file);
    return nullptr;
  }
  FILE* stream = _fdopen(fd, "r");
  if (stream == nullptr) {
    _close(fd);
  }
  return stream;
#else
  // The layer's fopen makes the same refusals, and also refuses a file of another owner.
  return fopen(tempFileName, "r");
#endif
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
  FILE* capture = OpenCapture(tempFileName);
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
