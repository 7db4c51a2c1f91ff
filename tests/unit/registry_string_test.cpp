#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "registry_source.h"
#include "win32_layer.h"

namespace {

using hostname_check::kRegistryHostnameSize;
using hostname_check::TerminateRegistryString;

// What a query may leave behind: its status, the value's type, the size it reported and the bytes
// it wrote. The buffer around them is filled with 'x' so that a missing zero byte shows.
TEST(TerminateRegistryString, LeavesAStringWithinTheBuffer) {
  const std::string full(kRegistryHostnameSize, 'f');
  const struct {
    const char* what;
    long status;
    unsigned long type;
    std::string data;
    unsigned long size;
    std::string expected;
  } cases[] = {
      {"terminated string", ERROR_SUCCESS, REG_SZ, std::string("WS01\0", 5), 5, "WS01"},
      {"expandable string", ERROR_SUCCESS, REG_EXPAND_SZ, std::string("WS01\0", 5), 5, "WS01"},
      {"string without its zero byte", ERROR_SUCCESS, REG_SZ, "WS01", 4, "WS01"},
      {"empty value", ERROR_SUCCESS, REG_SZ, "", 0, ""},
      {"embedded zero ends the name", ERROR_SUCCESS, REG_SZ, std::string("WS\0 01\0", 7), 7, "WS"},
      {"259 characters and the zero byte", ERROR_SUCCESS, REG_SZ, std::string(259, 'n') + '\0', 260,
       std::string(259, 'n')},
      {"buffer full without a zero byte", ERROR_SUCCESS, REG_SZ, full, 260, ""},
      {"size larger than the buffer", ERROR_SUCCESS, REG_SZ, "WS01", 1000, ""},
      {"more data", ERROR_MORE_DATA, REG_SZ, full, 300, ""},
      {"failed query that wrote", ERROR_FILE_NOT_FOUND, REG_SZ, "junk", 4, ""},
      {"number", ERROR_SUCCESS, 4 /* REG_DWORD */, std::string("\x57\x53\x30\x31", 4), 4, ""},
      {"binary", ERROR_SUCCESS, 3 /* REG_BINARY */, std::string("WS01\0", 5), 5, ""},
      {"several strings", ERROR_SUCCESS, 7 /* REG_MULTI_SZ */, std::string("WS01\0\0", 6), 6, ""},
  };
  for (const auto& c : cases) {
    char buffer[kRegistryHostnameSize];
    memset(buffer, 'x', sizeof buffer);
    // Unterminated on purpose: the data are what a query may leave.
    memcpy(buffer, c.data.data(), c.data.size());  // NOLINT(bugprone-not-null-terminated-result)
    TerminateRegistryString(c.status, c.type, c.size, buffer);
    ASSERT_NE(memchr(buffer, '\0', sizeof buffer), nullptr) << c.what;
    EXPECT_EQ(std::string(buffer), c.expected) << c.what;
  }
}

}  // namespace
