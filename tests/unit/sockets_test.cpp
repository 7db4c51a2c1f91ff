#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "win32_layer.h"

namespace {

// The layer's sockets library starts any version from 1.0 up, says in the record which one it
// started and the highest it knows, and refuses a version 0.x or a missing record with the codes
// Windows gives.
TEST(WindowsSockets, StartsAnyVersionFromOne) {
  constexpr int kWsaEFault = 10014;
  constexpr int kWsaVerNotSupported = 10092;
  const struct {
    const char* what;
    WORD version;
    bool record;
    int status;
  } cases[] = {
      {"2.2", MAKEWORD(2, 2), true, 0},
      {"1.1", MAKEWORD(1, 1), true, 0},
      {"1.0", MAKEWORD(1, 0), true, 0},
      {"0.2 is no version", MAKEWORD(0, 2), true, kWsaVerNotSupported},
      {"0.0 is no version", MAKEWORD(0, 0), true, kWsaVerNotSupported},
      {"no record", MAKEWORD(2, 2), false, kWsaEFault},
  };
  for (const auto& c : cases) {
    WSADATA data = {0xFFFF, 0xFFFF};
    EXPECT_EQ(WSAStartup(c.version, c.record ? &data : nullptr), c.status) << c.what;
    if (c.status == 0) {
      EXPECT_EQ(data.wVersion, c.version) << c.what;
      EXPECT_EQ(data.wHighVersion, MAKEWORD(2, 2)) << c.what;
    }
  }
}

// gethostname gives the system's name into a buffer that holds it with its zero byte, however
// tight; into one a byte short, or with a length below zero, it fails.
TEST(WindowsSockets, GivesTheSystemsName) {
  char expected[256] = {};
  ASSERT_EQ(::gethostname(expected, sizeof expected - 1), 0);
  const int length = static_cast<int>(strlen(expected));
  const struct {
    const char* what;
    int size;
    bool named;
  } cases[] = {
      {"ample room", 1024, true},
      {"the name and its zero byte", length + 1, true},
      {"no room for the zero byte", length, false},
      {"a length below zero", -1, false},
  };
  for (const auto& c : cases) {
    char name[1024];
    memset(name, 'x', sizeof name);
    const int status = win32_layer::gethostname(name, c.size);
    EXPECT_EQ(status, c.named ? 0 : -1) << c.what;
    if (c.named) {
      EXPECT_EQ(std::string(name), expected) << c.what;
    }
  }
  errno = 0;
  EXPECT_EQ(win32_layer::gethostname(nullptr, 10), -1);
  EXPECT_EQ(errno, EFAULT);
}

}  // namespace
