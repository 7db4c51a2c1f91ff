#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "child_report.h"
#include "command_source.h"
#include "win32_layer.h"

namespace {

void WriteFile(const std::string& path, const char* text) {
  FILE* out = ::fopen(path.c_str(), "wb");
  ASSERT_NE(out, nullptr) << path;
  fputs(text, out);
  fclose(out);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Whether this process still holds a descriptor on path.
bool HoldsOpen(const std::string& path) {
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ignored;
    if (std::filesystem::read_symlink(fd.path(), ignored) == path) return true;
  }
  return false;
}

// Reading a file opened with "r" folds CR LF and ends at Ctrl-Z as the Windows runtime's text
// mode does; "rb" reads the bytes as they are. The check, given these bytes as the command's
// output, takes the first line of the text, at most 99 bytes of it and without its line feed, and
// closes the capture before it is removed (Windows cannot remove an open file).
TEST(TextModeFopen, FoldsCarriageReturnLineFeed) {
  const struct {
    std::string bytes;
    std::string text;
    std::string firstLine;
  } cases[] = {
      {"WS01\r\n", "WS01\n", "WS01"},
      {"a\r\nb\r\n", "a\nb\n", "a"},
      {"WS01\r", "WS01\r", "WS01\r"},
      {"\r\r\n", "\r\n", "\r"},
      {"\n\r", "\n\r", ""},
      {"a\rb", "a\rb", "a\rb"},
      {"", "", ""},
      {"vm\x1Axx\n", "vm", "vm"},
      {"\x1A", "", ""},
      {"vm\r\x1A\n", "vm\r", "vm\r"},
      {"a\r\nb\x1A\x1A", "a\nb", "a"},
      // A zero byte first: the line is empty, and nothing before it is looked at.
      {std::string("\0WS01\r\n", 7), std::string("\0WS01\n", 6), ""},
      {std::string(5000, 'x') + "\r\n" + std::string(5000, 'y') + "\r\n",
       std::string(5000, 'x') + "\n" + std::string(5000, 'y') + "\n", std::string(99, 'x')},
  };
  char path[] = "/tmp/hostname_check_text.XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  for (const auto& c : cases) {
    FILE* out = ::fopen(path, "wb");
    fwrite(c.bytes.data(), 1, c.bytes.size(), out);
    fclose(out);
    for (const char* mode : {"r", "rb"}) {
      FILE* in = win32_layer::fopen(path, mode);
      ASSERT_NE(in, nullptr);
      std::string read;
      for (int ch = getc(in); ch != EOF; ch = getc(in)) read += static_cast<char>(ch);
      fclose(in);
      EXPECT_EQ(read, std::string(mode) == "r" ? c.text : c.bytes) << "mode " << mode;
    }
    // The buffer starts full of 'x', so that a line left unwritten shows.
    const std::string capture = std::string(path) + ".capture";
    char line[hostname_check::kCommandHostnameSize];
    memset(line, 'x', sizeof line - 1);
    line[sizeof line - 1] = '\0';
    hostname_check::CaptureId id;
    EXPECT_TRUE(hostname_check::GetHostnameFromCommand(
        ("cat " + std::string(path) + " > " + capture).c_str(), capture.c_str(), line, id));
    EXPECT_EQ(std::string(line), c.firstLine);
    EXPECT_FALSE(HoldsOpen(capture)) << "the capture is still open";
    remove(capture.c_str());
  }
  remove(path);
}

// A file that is not there fails as with the C library's fopen; every mode but reading is the C
// library's own, through a link and onto any file, and writes.
TEST(TextModeFopen, FailsLikeFopen) {
  errno = 0;
  EXPECT_EQ(win32_layer::fopen("/nonexistent/HostName123.txt", "r"), nullptr);
  EXPECT_EQ(errno, ENOENT);

  char dir[] = "/tmp/hostname_check_modes.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string file = std::string(dir) + "/file";
  const std::string link = std::string(dir) + "/link";
  ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
  const struct {
    const char* mode;
    const char* written;
    const char* expected;
  } cases[] = {
      {"r+", "NEW", "NEW\n"},   {"r+b", "NEW", "NEW\n"},   {"w", "NEW", "NEW"},
      {"a", "NEW", "old\nNEW"}, {"a+", "NEW", "old\nNEW"},
  };
  for (const auto& c : cases) {
    ASSERT_NO_FATAL_FAILURE(WriteFile(file, "old\n"));
    FILE* stream = win32_layer::fopen(link.c_str(), c.mode);
    ASSERT_NE(stream, nullptr) << c.mode << ": " << strerror(errno);
    EXPECT_GE(fputs(c.written, stream), 0) << c.mode;
    EXPECT_EQ(fclose(stream), 0) << c.mode;
    EXPECT_EQ(ReadAll(file), c.expected) << c.mode;
  }
  remove(link.c_str());
  remove(file.c_str());
  rmdir(dir);
}

// What stands under a name, as the layer's GetFileAttributesA and the check's look-up of its
// temporary file see it: the entry itself, a link not followed. Only "no such entry" (a missing
// name, or a path through a file) leaves the name free; any other failure, an ordinary user's
// refusal among them, is a failed look-up that says "permission denied", whatever the reason the
// system gave.
TEST(TempFileExists, TellsWhatStandsUnderTheName) {
  char dir[] = "/tmp/hostname_check_lookup.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string base = dir;
  ASSERT_NO_FATAL_FAILURE(WriteFile(base + "/file", "precious\n"));
  ASSERT_EQ(mkdir((base + "/dir").c_str(), 0700), 0);
  ASSERT_EQ(symlink((base + "/file").c_str(), (base + "/symlink").c_str()), 0);
  ASSERT_EQ(symlink((base + "/nowhere").c_str(), (base + "/dangling").c_str()), 0);
  ASSERT_EQ(symlink((base + "/loop").c_str(), (base + "/loop").c_str()), 0);
  ASSERT_EQ(mkfifo((base + "/fifo").c_str(), 0600), 0);
  using hostname_check::Lookup;
  const std::string tooLong(NAME_MAX + 1, 'n');
  const struct {
    const char* what;
    std::string name;
    bool asNobody;
    DWORD attributes;
    DWORD lastError;  // when the attributes are INVALID_FILE_ATTRIBUTES
    Lookup lookup;
    int error;  // errno, when the look-up failed
  } cases[] = {
      {"a file", "file", false, FILE_ATTRIBUTE_NORMAL, 0, Lookup::kPresent, 0},
      {"a directory", "dir", false, FILE_ATTRIBUTE_DIRECTORY, 0, Lookup::kPresent, 0},
      {"a link", "symlink", false, FILE_ATTRIBUTE_REPARSE_POINT, 0, Lookup::kPresent, 0},
      {"a dangling link", "dangling", false, FILE_ATTRIBUTE_REPARSE_POINT, 0, Lookup::kPresent, 0},
      {"a FIFO", "fifo", false, FILE_ATTRIBUTE_NORMAL, 0, Lookup::kPresent, 0},
      {"nothing", "missing", false, INVALID_FILE_ATTRIBUTES, ERROR_FILE_NOT_FOUND, Lookup::kAbsent,
       0},
      {"a path through a file", "file/x", false, INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND,
       Lookup::kAbsent, 0},
      {"a path through a loop of links", "loop/x", false, INVALID_FILE_ATTRIBUTES,
       ERROR_GEN_FAILURE, Lookup::kFailed, EACCES},
      {"a name too long", tooLong, false, INVALID_FILE_ATTRIBUTES, ERROR_GEN_FAILURE,
       Lookup::kFailed, EACCES},
      {"a folder the user may not search", "file", true, INVALID_FILE_ATTRIBUTES,
       ERROR_ACCESS_DENIED, Lookup::kFailed, EACCES},
  };
  // Each look-up in a child, so that one as an ordinary user can give up root for good; its
  // findings come back as text.
  const auto lookUp = [](const std::string& path, bool asNobody) {
    return ReportOfChild([&] {
      if (asNobody && (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0))
        _exit(2);
      const DWORD attributes = GetFileAttributesA(path.c_str());
      const DWORD lastError = attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : 0;
      errno = 0;
      const Lookup lookup = hostname_check::TempFileExists(path.c_str());
      const int error = lookup == Lookup::kFailed ? errno : 0;
      return std::to_string(attributes) + " " + std::to_string(lastError) + " " +
             std::to_string(static_cast<int>(lookup)) + " " + std::to_string(error);
    });
  };
  for (const auto& c : cases) {
    if (c.asNobody && geteuid() != 0) continue;  // only root can become another user
    EXPECT_EQ(lookUp(base + "/" + c.name, c.asNobody),
              std::to_string(c.attributes) + " " + std::to_string(c.lastError) + " " +
                  std::to_string(static_cast<int>(c.lookup)) + " " + std::to_string(c.error))
        << c.what;
  }
  errno = 0;
  EXPECT_EQ(GetFileAttributesA(nullptr), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  for (const char* name : {"file", "symlink", "dangling", "loop", "fifo"})
    remove((base + "/" + name).c_str());
  rmdir((base + "/dir").c_str());
  rmdir(dir);
}

// Reading opens only a regular file with one link, owned by the caller, and never through a
// symbolic link: what stands under the name may have been put there by someone else.
TEST(TextModeFopen, RefusesWhatTheCallerDidNotCreate) {
  char dir[] = "/tmp/hostname_check_refuse.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string base = dir;
  const std::string own = base + "/own";
  ASSERT_NO_FATAL_FAILURE(WriteFile(own, "secret\n"));
  ASSERT_EQ(symlink(own.c_str(), (base + "/symlink").c_str()), 0);
  ASSERT_EQ(mkfifo((base + "/fifo").c_str(), 0600), 0);
  ASSERT_EQ(mkdir((base + "/dir").c_str(), 0700), 0);
  const struct {
    const char* name;
    int error;
  } cases[] = {
      {"symlink", ELOOP}, {"fifo", EACCES},     {"dir", EACCES},
      {"own", 0},         {"hardlink", EACCES}, {"foreign", EACCES},
  };
  for (const auto& c : cases) {
    const std::string path = base + "/" + c.name;
    if (std::string(c.name) == "hardlink") {
      ASSERT_EQ(link(own.c_str(), path.c_str()), 0);
    }
    if (std::string(c.name) == "foreign") {
      ASSERT_EQ(unlink((base + "/hardlink").c_str()), 0);
      ASSERT_EQ(rename(own.c_str(), path.c_str()), 0);
      if (geteuid() != 0) continue;  // only root can give a file away
      ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    }
    for (const char* mode : {"r", "rb"}) {
      errno = 0;
      FILE* in = win32_layer::fopen(path.c_str(), mode);
      EXPECT_EQ(in == nullptr, c.error != 0) << c.name << " " << mode;
      EXPECT_EQ(errno, c.error) << c.name << " " << mode;
      // The descriptor of a file that opens blocks again, as any fopen's does: only the open
      // itself does not wait.
      if (in != nullptr && std::string(mode) == "rb") {
        EXPECT_EQ(fcntl(fileno(in), F_GETFL) & O_NONBLOCK, 0) << c.name;
      }
      if (in != nullptr) fclose(in);
    }
  }
  for (const char* name : {"symlink", "fifo", "dir", "foreign"})
    remove((base + "/" + name).c_str());
  rmdir(dir);
}

// The interpreter makes the file of `COMMAND > NAME` itself, new and private whatever the umask,
// and never opens what already stands under the name; a FIFO there is neither written nor waited
// on. Its `del` removes a name as it stands, never a directory, and needs nothing from PATH.
TEST(Interpreter, WritesOnlyANewFileAndRemovesOnlyNames) {
  char dir[] = "/tmp/hostname_check_interpreter.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string base = dir;
  const std::string old = base + "/old";
  ASSERT_NO_FATAL_FAILURE(WriteFile(old, "old\n"));
  ASSERT_EQ(mkfifo((base + "/fifo").c_str(), 0600), 0);
  const int fifoReader = open((base + "/fifo").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(fifoReader, 0);
  ASSERT_EQ(symlink(old.c_str(), (base + "/symlink").c_str()), 0);
  ASSERT_EQ(symlink((base + "/nowhere").c_str(), (base + "/dangling").c_str()), 0);
  ASSERT_EQ(symlink((base + "/fifo").c_str(), (base + "/fifolink").c_str()), 0);
  ASSERT_EQ(mkdir((base + "/dir").c_str(), 0700), 0);

  const mode_t mask = umask(0);
  for (const char* name : {"new", "old", "symlink", "dangling", "fifo", "fifolink", "dir"}) {
    const std::string path = base + "/" + name;
    const int status = win32_layer::system(("echo new > " + path).c_str());
    if (std::string(name) == "new") {
      EXPECT_EQ(status, 0);
      struct stat created {};
      ASSERT_EQ(lstat(path.c_str(), &created), 0);
      EXPECT_EQ(created.st_mode & 07777, 0600U);
      EXPECT_EQ(ReadAll(path), "new\n");
    } else {
      EXPECT_NE(status, 0) << name;
    }
  }
  umask(mask);
  EXPECT_EQ(ReadAll(old), "old\n");
  EXPECT_NE(access((base + "/nowhere").c_str(), F_OK), 0);
  char byte = 0;
  EXPECT_LE(read(fifoReader, &byte, 1), 0) << "written into the FIFO";
  close(fifoReader);

  const std::string path = getenv("PATH");
  setenv("PATH", "/nonexistent", 1);
  const struct {
    const char* name;
    bool removed;
    bool fails;
  } removals[] = {
      {"new", true, false},  {"symlink", true, false}, {"dangling", true, false},
      {"fifo", true, false}, {"dir", false, true},     {"missing", true, false},
  };
  for (const auto& r : removals) {
    const std::string named = base + "/" + r.name;
    EXPECT_EQ(win32_layer::system(("del " + named).c_str()) != 0, r.fails) << r.name;
    struct stat left {};
    EXPECT_EQ(lstat(named.c_str(), &left) != 0, r.removed) << r.name;
  }
  // Several names at once, after a tab as after a blank, each removed; a name of the layer's whole
  // buffer (PATH_MAX bytes, one more than it holds with its end) is refused with a message, after
  // `del` as after `>`, and what came before it is still removed.
  for (const char* name : {"a", "b", "c"})
    ASSERT_NO_FATAL_FAILURE(WriteFile(base + "/" + name, ""));
  EXPECT_EQ(win32_layer::system(("del\t" + base + "/a " + base + "/b\t" + base + "/c").c_str()), 0);
  for (const char* name : {"a", "b", "c"}) EXPECT_NE(access((base + "/" + name).c_str(), F_OK), 0);
  // A name that cannot be removed (a directory) fails the command, and the names after it are
  // still removed.
  ASSERT_NO_FATAL_FAILURE(WriteFile(base + "/e", ""));
  EXPECT_NE(win32_layer::system(("del " + base + "/dir " + base + "/e").c_str()), 0);
  EXPECT_NE(access((base + "/e").c_str(), F_OK), 0);
  const std::string tooLong(PATH_MAX, 'n');
  ASSERT_NO_FATAL_FAILURE(WriteFile(base + "/d", ""));
  EXPECT_NE(win32_layer::system(("del " + base + "/d " + tooLong).c_str()), 0);
  EXPECT_NE(access((base + "/d").c_str(), F_OK), 0);
  EXPECT_NE(win32_layer::system(("echo x > " + tooLong).c_str()), 0);
  EXPECT_NE(access(tooLong.substr(0, NAME_MAX).c_str(), F_OK), 0);
  // A command of 4095 bytes runs; one of 4096, the interpreter's whole buffer, is refused. What
  // the long one leaves in that buffer never reaches a shorter one after it.
  EXPECT_EQ(win32_layer::system((": " + std::string(4093, 'x')).c_str()), 0);
  errno = 0;
  EXPECT_EQ(win32_layer::system((": " + std::string(4094, 'x')).c_str()), -1);
  EXPECT_EQ(errno, E2BIG);
  // The command's own status comes back.
  EXPECT_EQ(win32_layer::system("exit 3"), 3 << 8);
  // Asked whether there is an interpreter at all: there is, unless /bin/sh is gone (as root, in a
  // private mount namespace, an empty folder in place of the one that holds it).
  EXPECT_EQ(win32_layer::system(nullptr), 1);
  if (geteuid() == 0) {
    const pid_t child = fork();
    if (child == 0) {
      if (unshare(CLONE_NEWNS) != 0 ||
          mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          mount("tmpfs", "/bin", "tmpfs", 0, nullptr) != 0) {
        _exit(2);
      }
      _exit(win32_layer::system(nullptr));
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "without /bin/sh: " << status;
  }
  EXPECT_EQ(win32_layer::system(("echo x > " + base + "/short").c_str()), 0);
  EXPECT_EQ(ReadAll(base + "/short"), "x\n");
  setenv("PATH", path.c_str(), 1);
  EXPECT_EQ(ReadAll(old), "old\n");

  for (const char* name : {"old", "fifolink", "short"}) remove((base + "/" + name).c_str());
  rmdir((base + "/dir").c_str());
  rmdir(dir);
}

}  // namespace
