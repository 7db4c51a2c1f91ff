// Files and the command interpreter.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "win32_layer.h"

namespace {

DWORD lastError = ERROR_SUCCESS;

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    default:
      return ERROR_GEN_FAILURE;
  }
}

}  // namespace

DWORD GetLastError() { return lastError; }

DWORD GetFileAttributesA(LPCSTR path) {
  struct stat status {};
  if (path == nullptr) {
    lastError = ERROR_INVALID_PARAMETER;
    return INVALID_FILE_ATTRIBUTES;
  }
  if (lstat(path, &status) != 0) {
    lastError = ErrorFromErrno(errno);
    return INVALID_FILE_ATTRIBUTES;
  }
  if (S_ISLNK(status.st_mode)) {
    return FILE_ATTRIBUTE_REPARSE_POINT;
  }
  return S_ISDIR(status.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
}

namespace win32_layer {
namespace {

constexpr int kCtrlZ = 0x1A;

// Reads from the underlying binary stream, folding each CR LF into LF. A carriage return is only
// given out once the byte after it is known, so a pair is never split between two reads. Ctrl-Z
// ends the text: it is put back, so every later read ends there too.
ssize_t ReadTextMode(void* cookie, char* buffer, size_t size) {
  FILE* binary = static_cast<FILE*>(cookie);
  size_t count = 0;
  while (count < size) {
    int c = getc(binary);
    if (c == EOF) {
      break;
    }
    if (c == kCtrlZ) {
      ungetc(c, binary);
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

// Opens path for reading only if it is a regular file with one link that belongs to the caller,
// reached without a symbolic link: what a command run by the caller has just created, and not a
// link or a second name that someone else put in its place. -1 with errno set otherwise.
int OpenOwnFile(const char* path) {
  // Not blocking, so that a FIFO is refused rather than waited on.
  const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return -1;
  }
  struct stat status {};
  int error = 0;
  if (fstat(fd, &status) != 0 || fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    error = errno;
  } else if (!S_ISREG(status.st_mode) || status.st_nlink != 1 || status.st_uid != geteuid()) {
    error = EACCES;
  }
  if (error != 0) {
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

}  // namespace

FILE* fopen(const char* path, const char* mode) {
  if (mode[0] != 'r' || strchr(mode, '+') != nullptr) {
    return ::fopen(path, mode);
  }
  const int fd = OpenOwnFile(path);
  FILE* binary = fd < 0 ? nullptr : fdopen(fd, "r");
  if (binary == nullptr) {
    if (fd >= 0) {
      const int error = errno;
      close(fd);
      errno = error;
    }
    return nullptr;
  }
  if (strchr(mode, 'b') != nullptr) {
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
  // for the command alone; rm reports a failed removal in its own words and, like del, never
  // asks. With noclobber (-C) an output redirection fails rather than truncate an existing regular
  // file, or create or open one through a symbolic link.
  static const char kPreamble[] = "set -C; del() { rm -f -- \"$@\"; }; ";
  static char shell[] = "sh";
  static char flag[] = "-c";
  if (command == nullptr) {
    return access("/bin/sh", X_OK) == 0 ? 1 : 0;
  }
  char script[4096];
  const int length = snprintf(script, sizeof script, "%s%s", kPreamble, command);
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
