#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "child_report.h"
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
      {"denied query that wrote", ERROR_ACCESS_DENIED, REG_SZ, "junk", 4, ""},
      {"more data, with a size that fits", ERROR_MORE_DATA, REG_SZ, "junk", 4, ""},
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

// What a caller's buffer is given to the layer's query: room for the value, only the size to
// learn the length, nothing at all to learn whether the value is there, or data with no size.
enum class Buffer { kData, kSizeOnly, kNeither, kDataWithoutSize };

// Where the key is looked for: under HKEY_LOCAL_MACHINE, under no root, or under the key itself
// (which has no such subkey).
enum class Root { kLocalMachine, kNone, kTheKey };

constexpr wchar_t kParameters[] = L"System\\CurrentControlSet\\Services\\Tcpip\\Parameters";

// The layer's registry key and query straight, for each text of /etc/hostname (bound over the real
// one in a private mount namespace): the key's status, then the query's status, the size it
// reports and the string it leaves. A file with no name line has no value: the query fails and
// leaves the buffer as it was. One too long for the buffer fills it and asks for more. The key's
// path may have any letter case; the file's permissions, for the user who asks, stand for the
// key's access control list, while no file at all is a key without its value. The file is read no
// further than the size it says it has.
TEST(RegQueryValueExA, ReadsTheNameLineOfEtcHostname) {
  if (geteuid() != 0 || access("/etc/hostname", F_OK) != 0) {
    GTEST_SKIP() << "binding a file over /etc/hostname needs root and an /etc/hostname";
  }
  const std::string k259(259, 'n');
  constexpr DWORD kFull = kRegistryHostnameSize;
  // One row a case; fields left out keep these defaults.
  const struct {
    const char* what;
    // The text of /etc/hostname; without one, no /etc/hostname at all. Or a file of the system's
    // bound there instead.
    std::optional<std::string> text = "WS01\n";
    const char* boundFile = nullptr;
    // The key opened, under HKEY_LOCAL_MACHINE, under no root, or under the key itself once open,
    // with these rights; the value asked for, into the buffer given.
    const wchar_t* key = kParameters;
    const char* value = "Hostname";
    // The key's status, then the query's status, size and data.
    long opened = ERROR_SUCCESS;
    long status = ERROR_SUCCESS;
    unsigned long size = 5;
    std::string data = "WS01";
    REGSAM rights = KEY_ALL_ACCESS;
    Root root = Root::kLocalMachine;
    Buffer buffer = Buffer::kData;
    // As the ordinary user nobody, the file root's with this mode; or nobody's own, which it makes
    // unreadable once the key is open.
    unsigned mode = 0644;
    bool asNobody = false;
    bool revokedAfterOpen = false;
  } cases[] = {
      // clang-format off
      {.what = "a name"},
      {.what = "any letter case of the value's name", .value = "HOSTNAME"},
      {.what = "another value", .value = "Domain", .status = ERROR_FILE_NOT_FOUND, .size = kFull, .data = "x"},
      {.what = "an empty file", .text = "", .status = ERROR_FILE_NOT_FOUND, .size = kFull, .data = "x"},
      {.what = "only comments and blanks", .text = "# none\n\n \t\n", .status = ERROR_FILE_NOT_FOUND, .size = kFull,
       .data = "x"},
      {.what = "259 characters fit", .text = k259 + "\n", .size = 260, .data = k259},
      {.what = "260 characters do not", .text = k259 + "n\n", .status = ERROR_MORE_DATA, .size = 261, .data = "n"},
      {.what = "no file: the key without its value", .text = std::nullopt, .status = ERROR_FILE_NOT_FOUND,
       .size = kFull, .data = "x"},
      {.what = "a proc file of size 0 reads as empty", .boundFile = "/proc/sys/kernel/hostname",
       .status = ERROR_FILE_NOT_FOUND, .size = kFull, .data = "x"},
      {.what = "the key's path in any letter case", .key = L"system\\currentcontrolset\\services\\tcpip\\PARAMETERS"},
      {.what = "another key", .key = L"System\\CurrentControlSet\\Services\\Tcpip", .opened = ERROR_FILE_NOT_FOUND},
      {.what = "the key under no root", .opened = ERROR_FILE_NOT_FOUND, .root = Root::kNone},
      {.what = "the key under itself", .opened = ERROR_FILE_NOT_FOUND, .root = Root::kTheKey},
      {.what = "a key opened without the right to query", .status = ERROR_ACCESS_DENIED, .size = kFull,
       .data = "x", .rights = KEY_ENUMERATE_SUB_KEYS},
      {.what = "an ordinary user reads", .rights = KEY_READ, .asNobody = true},
      {.what = "an ordinary user may not write", .opened = ERROR_ACCESS_DENIED, .asNobody = true},
      {.what = "a file the user may not read", .opened = ERROR_ACCESS_DENIED, .rights = KEY_READ, .mode = 0600,
       .asNobody = true},
      {.what = "read permission taken away once the key is open", .status = ERROR_ACCESS_DENIED, .size = kFull,
       .data = "x", .rights = KEY_READ, .asNobody = true, .revokedAfterOpen = true},
      {.what = "the size alone", .data = "x", .buffer = Buffer::kSizeOnly},
      {.what = "whether the value is there", .size = kFull, .data = "x", .buffer = Buffer::kNeither},
      {.what = "data without a size", .status = ERROR_INVALID_PARAMETER, .size = kFull, .data = "x",
       .buffer = Buffer::kDataWithoutSize},
      // clang-format on
  };
  char file[] = "/tmp/hostname_check_registry.XXXXXX";
  const int fd = mkstemp(file);
  ASSERT_GE(fd, 0);
  close(fd);
  for (const auto& c : cases) {
    FILE* out = ::fopen(file, "wb");
    ASSERT_NE(out, nullptr);
    if (c.text) fwrite(c.text->data(), 1, c.text->size(), out);
    fclose(out);
    ASSERT_EQ(chmod(file, c.mode), 0);
    const uid_t owner = c.revokedAfterOpen ? 65534 : 0;
    ASSERT_EQ(chown(file, owner, owner), 0);
    const std::string report = ReportOfChild([&] {
      if (unshare(CLONE_NEWNS) != 0 ||
          mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        _exit(2);
      }
      if (!c.text) {
        if (mount("tmpfs", "/etc", "tmpfs", 0, nullptr) != 0) _exit(2);
      } else if (mount(c.boundFile != nullptr ? c.boundFile : file, "/etc/hostname", nullptr,
                       MS_BIND, nullptr) != 0) {
        _exit(2);
      }
      if (c.asNobody &&
          (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)) {
        _exit(2);
      }
      HKEY key = nullptr;
      char buffer[kRegistryHostnameSize + 1];
      memset(buffer, 'x', sizeof buffer);
      buffer[kRegistryHostnameSize] = '\0';
      DWORD size = kRegistryHostnameSize;
      HKEY root = c.root == Root::kNone ? nullptr : HKEY_LOCAL_MACHINE;
      if (c.root == Root::kTheKey &&
          RegOpenKeyExW(HKEY_LOCAL_MACHINE, kParameters, 0, KEY_READ, &root) != ERROR_SUCCESS) {
        _exit(2);
      }
      const LONG opened = RegOpenKeyExW(root, c.key, 0, c.rights, &key);
      std::string report = std::to_string(opened);
      if (opened == ERROR_SUCCESS) {
        if (c.revokedAfterOpen && chmod("/etc/hostname", 0) != 0) _exit(2);
        const bool data = c.buffer == Buffer::kData || c.buffer == Buffer::kDataWithoutSize;
        const bool sized = c.buffer == Buffer::kData || c.buffer == Buffer::kSizeOnly;
        const LONG status = RegQueryValueExA(key, c.value, nullptr, nullptr,
                                             data ? reinterpret_cast<LPBYTE>(buffer) : nullptr,
                                             sized ? &size : nullptr);
        // The whole string on success, else only the first byte: whether the query wrote at all.
        // (Appended piece by piece: GCC 12 at -O2 misreads `" " + std::string` as an overlapping
        // copy, -Werror=restrict.)
        report.append(" ").append(std::to_string(status)).append(" ").append(std::to_string(size));
        report.append(" ").append(buffer, status == ERROR_SUCCESS && data ? strlen(buffer) : 1);
      }
      return report;
    });
    ASSERT_EQ(report.rfind("child status ", 0), std::string::npos) << c.what << ": " << report;
    std::string expected = std::to_string(c.opened);
    if (c.opened == ERROR_SUCCESS) {
      expected.append(" ").append(std::to_string(c.status)).append(" ");
      expected.append(std::to_string(c.size)).append(" ").append(c.data);
    }
    EXPECT_EQ(report, expected) << c.what;
  }
  unlink(file);
}

}  // namespace
