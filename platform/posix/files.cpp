// Files and the command interpreter.
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "win32_layer.h"

DWORD GetFileAttributesA(LPCSTR path) {
  struct stat status {};
  if (path == nullptr || lstat(path, &status) != 0) {
    return INVALID_FILE_ATTRIBUTES;
  }
  if (S_ISLNK(status.st_mode)) {
    return FILE_ATTRIBUTE_REPARSE_POINT;
  }
  return S_ISDIR(status.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
}

namespace win32_layer {
namespace {

// Reads from the underlying binary stream, folding each CR LF into LF. A carriage return is only
// given out once the byte after it is known, so a pair is never split between two reads.
ssize_t ReadTextMode(void* cookie, char* buffer, size_t size) {
  FILE* binary = static_cast<FILE*>(cookie);
  size_t count = 0;
  while (count < size) {
    int c = getc(binary);
    if (c == EOF) {
      break;
    }
    if (c == '\r') {
      const int next = getc(binary);
      if (next == '\n') {
        c = '\n';
      } else if (next != EOF) {
        ungetc(next, binary);
      }
    }
    buffer[count++] = static_cast<char>(c);
  }
  if (count == 0 && ferror(binary) != 0) {
    return -1;
  }
  return static_cast<ssize_t>(count);
}

int CloseTextMode(void* cookie) { return ::fclose(static_cast<FILE*>(cookie)); }

}  // namespace

FILE* fopen(const char* path, const char* mode) {
  FILE* binary = ::fopen(path, mode);
  if (binary == nullptr || mode[0] != 'r' || strpbrk(mode, "b+") != nullptr) {
    return binary;
  }
  const cookie_io_functions_t textMode = {ReadTextMode, nullptr, nullptr, CloseTextMode};
  FILE* text = fopencookie(binary, mode, textMode);
  if (text == nullptr) {
    const int error = errno;
    ::fclose(binary);
    errno = error;
  }
  return text;
}

int system(const char* command) {
  // The interpreter gets `del` defined on the command's own line, so that its messages read as
  // for the command alone; rm reports a failed removal in its own words.
  static const char kDefineDel[] = "del() { rm -- \"$@\"; }; ";
  static char shell[] = "sh";
  static char flag[] = "-c";
  if (command == nullptr) {
    return access("/bin/sh", X_OK) == 0 ? 1 : 0;
  }
  char script[4096];
  const int length = snprintf(script, sizeof script, "%s%s", kDefineDel, command);
  if (length < 0 || static_cast<size_t>(length) >= sizeof script) {
    errno = E2BIG;
    return -1;
  }
  char* const argv[] = {shell, flag, script, nullptr};
  pid_t child = 0;
  if (posix_spawn(&child, "/bin/sh", nullptr, nullptr, argv, environ) != 0) {
    return -1;
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      return -1;
    }
  }
  return status;
}

}  // namespace win32_layer
