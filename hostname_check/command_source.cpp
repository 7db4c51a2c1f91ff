#include "command_source.h"

#include <errno.h>
#include <string.h>

#include "platform.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace hostname_check {

namespace {

// The C library's error number for a Windows error, for the reason a message gives: only "not
// found" is ENOENT; anything else is taken as a refusal.
int ErrnoFrom(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ENOENT : EACCES;
}

#ifdef _WIN32
// Whether the name still leads to the capture that was read: the same file on the same volume,
// and not a directory or a reparse point (a link or junction put in its place since), into which
// `del` would go and delete what it holds.
bool IsStillTheCapture(const char* tempFileName, const CaptureId& capture) {
  HANDLE file = CreateFileA(
      tempFileName, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  const DWORD refused = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;
  const bool same =
      GetFileInformationByHandle(file, &info) != 0 && (info.dwFileAttributes & refused) == 0 &&
      info.dwVolumeSerialNumber == capture.volume && info.nFileIndexHigh == capture.indexHigh &&
      info.nFileIndexLow == capture.indexLow;
  CloseHandle(file);
  return same;
}
#endif

}  // namespace

Lookup TempFileExists(const char* tempFileName) {
  // Does not follow links: a dangling link counts as much as a file. Only "not found" means that
  // nothing is there; an entry that cannot even be looked at may still be someone's file.
  if (GetFileAttributesA(tempFileName) != INVALID_FILE_ATTRIBUTES) {
    return Lookup::kPresent;
  }
  const int error = ErrnoFrom(GetLastError());
  if (error == ENOENT) {
    return Lookup::kAbsent;
  }
  errno = error;
  return Lookup::kFailed;
}

FILE* OpenCapture(const char* tempFileName, [[maybe_unused]] CaptureId& capture) {
#ifdef _WIN32
  // The file must be the one the command interpreter has just created: not a reparse point (a
  // link or junction that someone put in its place), not a device, and not a second name of
  // another file. It is then read in the runtime's text mode like any file opened with "r".
  HANDLE file = CreateFileA(tempFileName, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    errno = ErrnoFrom(GetLastError());
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
  capture.volume = info.dwVolumeSerialNumber;
  capture.indexHigh = info.nFileIndexHigh;
  capture.indexLow = info.nFileIndexLow;
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
                            char (&hostname)[kCommandHostnameSize], CaptureId& capture) {
  // Whether the command worked is judged by the file it leaves, not by its status.
  system(captureCommand);
  FILE* stream = OpenCapture(tempFileName, capture);
  if (stream == nullptr) {
    return false;
  }
  ReadFirstLine(stream, hostname);
  printf("The Hostname from command is '%s'.\n", hostname);
  fclose(stream);
  return true;
}

bool RemoveTempFile(const char* removalCommand, [[maybe_unused]] const char* tempFileName,
                    [[maybe_unused]] const CaptureId& capture) {
#ifdef _WIN32
  if (!IsStillTheCapture(tempFileName, capture)) {
    return false;
  }
#endif
  system(removalCommand);
  return true;
}

}  // namespace hostname_check
