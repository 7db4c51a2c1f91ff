#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "win32_layer.h"

namespace {

// Reading a file opened with "r" folds CR LF and ends at Ctrl-Z as the Windows runtime's text
// mode does; "rb" reads the bytes as they are.
TEST(TextModeFopen, FoldsCarriageReturnLineFeed) {
  const struct {
    std::string bytes;
    std::string text;
  } cases[] = {
      {"WS01\r\n", "WS01\n"},
      {"a\r\nb\r\n", "a\nb\n"},
      {"WS01\r", "WS01\r"},
      {"\r\r\n", "\r\n"},
      {"\n\r", "\n\r"},
      {"a\rb", "a\rb"},
      {"", ""},
      {"vm\x1Axx\n", "vm"},
      {"\x1A", ""},
      {"vm\r\x1A\n", "vm\r"},
      {"a\r\nb\x1A\x1A", "a\nb"},
      {std::string(5000, 'x') + "\r\n" + std::string(5000, 'y') + "\r\n",
       std::string(5000, 'x') + "\n" + std::string(5000, 'y') + "\n"},
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
  }
  remove(path);
}

TEST(TextModeFopen, FailsLikeFopen) {
  errno = 0;
  EXPECT_EQ(win32_layer::fopen("/nonexistent/HostName123.txt", "r"), nullptr);
  EXPECT_EQ(errno, ENOENT);
}

// Reading opens only a regular file with one link, owned by the caller, and never through a
// symbolic link: what stands under the name may have been put there by someone else.
TEST(TextModeFopen, RefusesWhatTheCallerDidNotCreate) {
  char dir[] = "/tmp/hostname_check_refuse.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string base = dir;
  const std::string own = base + "/own";
  FILE* out = ::fopen(own.c_str(), "w");
  ASSERT_NE(out, nullptr);
  fputs("secret\n", out);
  fclose(out);
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
      if (in != nullptr) fclose(in);
    }
  }
  for (const char* name : {"symlink", "fifo", "dir", "foreign"})
    remove((base + "/" + name).c_str());
  rmdir(dir);
}

}  // namespace
