// Files and the command interpreter.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <spawn.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

// Opens path for reading only if it is a regular file with one link that belongs to the caller and
// that no one else may write, reached without a symbolic link: what a command run by the caller
// has just created, and not a link, a second name or a file that someone else put in its place or
// may still change. -1 with errno set otherwise.
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
  } else if (!S_ISREG(status.st_mode) || status.st_nlink != 1 || status.st_uid != geteuid() ||
             (status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    error = EACCES;
  }
  if (error != 0) {
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

// Copies the next blank-separated word of the text at `at` into word and moves `at` past it.
// False when there is no word left, or it does not fit (errno is then ENAMETOOLONG).
bool TakeWord(const char*& at, char (&word)[PATH_MAX]) {
  at += strspn(at, " \t");
  const size_t length = strcspn(at, " \t");
  if (length == 0) {
    return false;
  }
  if (length >= sizeof word) {
    errno = ENAMETOOLONG;
    return false;
  }
  memcpy(word, at, length);
  word[length] = '\0';
  at += length;
  return true;
}

// The interpreter's own `del NAME...`: removes each name as it stands, a link and not what it
// leads to, never a directory or what is in one; needs nothing from PATH and never asks. A name
// that is not there is passed over in silence, like `rm -f`.
int RemoveFiles(const char* names) {
  int status = 0;
  char name[PATH_MAX];
  for (errno = 0; TakeWord(names, name); errno = 0) {
    if (unlink(name) != 0 && errno != ENOENT) {
      fprintf(stderr, "hostname_check: cannot remove %s: %s\n", name, strerror(errno));
      status = 1 << 8;
    }
  }
  if (errno == ENAMETOOLONG) {
    fprintf(stderr, "hostname_check: cannot remove a name: %s\n", strerror(errno));
    status = 1 << 8;
  }
  return status;
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
  static char shell[] = "sh";
  static char flag[] = "-c";
  if (command == nullptr) {
    return access("/bin/sh", X_OK) == 0 ? 1 : 0;
  }
  if (strncmp(command, "del", 3) == 0 && (command[3] == ' ' || command[3] == '\t')) {
    return RemoveFiles(command + 3);
  }
  // `COMMAND > NAME`: the interpreter makes NAME itself, new and private to the user, and gives it
  // to COMMAND as its standard output. Whatever already stands under the name (a file, a link, a
  // device, a FIFO) is never opened.
  char script[4096];
  const char* redirection = strrchr(command, '>');
  const size_t scriptLength =
      redirection == nullptr ? strlen(command) : static_cast<size_t>(redirection - command);
  if (scriptLength >= sizeof script) {
    errno = E2BIG;
    return -1;
  }
  memcpy(script, command, scriptLength);
  script[scriptLength] = '\0';
  int output = -1;
  if (redirection != nullptr) {
    char name[PATH_MAX];
    const char* at = redirection + 1;
    errno = 0;
    if (!TakeWord(at, name)) {
      if (errno == ENAMETOOLONG) {
        fprintf(stderr, "hostname_check: cannot create the output file: %s\n", strerror(errno));
      } else {
        fputs("hostname_check: no file to write the output to\n", stderr);
      }
      return 2 << 8;
    }
    output = open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (output < 0) {
      fprintf(stderr, "hostname_check: cannot create %s: %s\n", name, strerror(errno));
      return 2 << 8;
    }
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (output >= 0) {
    posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
  }
  char* const argv[] = {shell, flag, script, nullptr};
  pid_t child = 0;
  const int spawned = posix_spawn(&child, "/bin/sh", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (output >= 0) {
    close(output);
  }
  if (spawned != 0) {
    errno = spawned;
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
