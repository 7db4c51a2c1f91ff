#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
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
      {"a zero byte only past the data", ERROR_SUCCESS, REG_SZ, std::string("WS01junk\0", 9), 4,
       "WS01"},
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

// The layer's registry query straight, for each text of /etc/hostname (bound over the real one in
// a private mount namespace): its status, the size it reports and the string it leaves. A file
// with no name line has no value: the query fails and leaves the buffer as it was. One too long
// for the buffer fills it and asks for more.
TEST(RegQueryValueExA, ReadsTheNameLineOfEtcHostname) {
  if (geteuid() != 0 || access("/etc/hostname", F_OK) != 0) {
    GTEST_SKIP() << "binding a file over /etc/hostname needs root and an /etc/hostname";
  }
  const std::string k259(259, 'n');
  const struct {
    const char* what;
    std::string text;
    const char* value;
    long status;
    unsigned long size;
    std::string data;
  } cases[] = {
      {"a name", "WS01\n", "Hostname", ERROR_SUCCESS, 5, "WS01"},
      {"any letter case of the value's name", "WS01\n", "HOSTNAME", ERROR_SUCCESS, 5, "WS01"},
      {"another value", "WS01\n", "Domain", ERROR_FILE_NOT_FOUND, kRegistryHostnameSize, "x"},
      {"an empty file", "", "Hostname", ERROR_FILE_NOT_FOUND, kRegistryHostnameSize, "x"},
      {"only comments and blanks", "# none\n\n \t\n", "Hostname", ERROR_FILE_NOT_FOUND,
       kRegistryHostnameSize, "x"},
      {"259 characters fit", k259 + "\n", "Hostname", ERROR_SUCCESS, 260, k259},
      {"260 characters do not", k259 + "n\n", "Hostname", ERROR_MORE_DATA, 261, "n"},
  };
  char file[] = "/tmp/hostname_check_registry.XXXXXX";
  const int fd = mkstemp(file);
  ASSERT_GE(fd, 0);
  close(fd);
  for (const auto& c : cases) {
    FILE* out = ::fopen(file, "wb");
    ASSERT_NE(out, nullptr);
    fwrite(c.text.data(), 1, c.text.size(), out);
    fclose(out);
    int result[2];
    ASSERT_EQ(pipe(result), 0);
    const pid_t child = fork();
    if (child == 0) {
      if (unshare(CLONE_NEWNS) != 0 ||
          mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          mount(file, "/etc/hostname", nullptr, MS_BIND, nullptr) != 0) {
        _exit(2);
      }
      HKEY key = nullptr;
      char buffer[kRegistryHostnameSize + 1];
      memset(buffer, 'x', sizeof buffer);
      buffer[kRegistryHostnameSize] = '\0';
      DWORD size = kRegistryHostnameSize;
      const LONG opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                                        L"System\\CurrentControlSet\\Services\\Tcpip\\Parameters",
                                        0, KEY_ALL_ACCESS, &key);
      const LONG status = opened != ERROR_SUCCESS
                              ? opened
                              : RegQueryValueExA(key, c.value, nullptr, nullptr,
                                                 reinterpret_cast<LPBYTE>(buffer), &size);
      // The whole string on success, else only the first byte: whether the query wrote at all.
      const std::string data =
          status == ERROR_SUCCESS ? std::string(buffer) : std::string(buffer, 1);
      const std::string report = std::to_string(status) + " " + std::to_string(size) + " " + data;
      _exit(write(result[1], report.data(), report.size()) == static_cast<ssize_t>(report.size())
                ? 0
                : 3);
    }
    close(result[1]);
    std::string report;
    char piece[512];
    for (ssize_t got; (got = read(result[0], piece, sizeof piece)) > 0;) report.append(piece, got);
    close(result[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.what << ": " << status;
    EXPECT_EQ(report, std::to_string(c.status) + " " + std::to_string(c.size) + " " + c.data)
        << c.what;
  }
  unlink(file);
}

}  // namespace
