#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "win32_layer.h"

namespace {

// Reading a file opened with "r" folds CR LF as the Windows runtime's text mode does; "rb" reads
// the bytes as they are.
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

}  // namespace
