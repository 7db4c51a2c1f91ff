#include "scenarios.h"

#include <cctype>

namespace e2e {
namespace {

std::string Lines(std::string_view command, std::string_view registry, std::string_view verdict,
                  std::string_view sockets = "Winsock gethostname is 'WS01'.") {
  std::string out;
  out.append("The Hostname from command is '").append(command).append("'.\n");
  out.append("Hostname from Registry is '").append(registry).append("'.\n");
  out.append("The test results were '").append(verdict).append("'.\n");
  out.append(sockets).append("\n");
  return out;
}

}  // namespace

const std::vector<Scenario>& Scenarios() {
  using namespace std::string_literals;
  const std::string k98(98, 'n');
  const std::string k150(150, 'x');
  const std::string k259(259, 'r');
  const std::string k300(300, 'r');
  const std::string kExists = "Temp file already exists.\n";
  const std::string kWriteError = "hostname_check: write error";
  const std::string kRefused = "Error while opening the file.\n: Permission denied\n";
  std::string kComments8k;
  while (kComments8k.size() <= 8192) kComments8k += "# " + std::string(97, 'c') + "\n";
  // One row a case; fields left out keep the defaults of Scenario.
  // clang-format off
  static const std::vector<Scenario> table = {
    // The platform's own `hostname`.
    {.name = "clean run", .expectedOut = Lines("WS01", "WS01", "good")},
    {.name = "letter case counts", .configured = "ws01\n", .expectedOut = Lines("WS01", "ws01", "bad")},
    {.name = "name not configured", .configured = std::nullopt, .expectedOut = Lines("WS01", "", "bad")},
    {.name = "configured name empty", .configured = "", .expectedOut = Lines("WS01", "", "bad")},
    {.name = "comments and blanks around the name", .platforms = kLinux,
     .configured = "# static name\n\n  \t WS01 \t\n# not this\nWS02\n", .expectedOut = Lines("WS01", "WS01", "good")},
    {.name = "configured with CRLF", .platforms = kLinux, .configured = "WS01\r\n", .expectedOut = Lines("WS01", "WS01", "good")},
    {.name = "configured name of 259 fits", .configured = k259 + "\n", .expectedOut = Lines("WS01", k259, "bad")},
    {.name = "configured name of 300 does not fit", .configured = k300 + "\n", .expectedOut = Lines("WS01", "", "bad")},
    {.name = "name last in 4096 bytes without a line end", .platforms = kLinux,
     .configured = "#" + std::string(4090, 'c') + "\nWS01", .expectedOut = Lines("WS01", "WS01", "good")},
    {.name = "name after 8 KiB of comments", .platforms = kLinux, .configured = kComments8k + "WS01\n",
     .expectedOut = Lines("WS01", "WS01", "good")},
    {.name = "read-only configuration is enough", .platforms = kLinux, .configuredMode = 0444, .unprivileged = true,
     .expectedOut = Lines("WS01", "WS01", "good")},
    {.name = "unreadable configuration", .platforms = kLinux, .configuredMode = 0600, .unprivileged = true,
     .expectedOut = Lines("WS01", "", "bad")},
    // Only a regular file counts: nothing at /etc/hostname can keep the check waiting or reading.
    {.name = "configuration is a FIFO", .platforms = kLinux, .etcHostname = EtcHostname::kFifo,
     .expectedOut = Lines("WS01", "", "bad")},
    {.name = "configuration never ends", .platforms = kLinux, .etcHostname = EtcHostname::kZero,
     .expectedOut = Lines("WS01", "", "bad")},
    // A file whose size (a page, as sysfs says) is more than it holds: a read that returns nothing
    // ends it.
    {.name = "configuration shorter than its size", .platforms = kLinux, .etcHostname = EtcHostname::kSysfs,
     .expectedOut = Lines("WS01", "", "bad")},

    // Registry values that are no string, or no key at all.
    {.name = "parameters key missing", .platforms = kWindows, .keyMissing = true, .expectedOut = Lines("WS01", "", "bad")},
    {.name = "expandable string", .platforms = kWindows, .configured = "WS01", .registryType = "REG_EXPAND_SZ",
     .expectedOut = Lines("WS01", "WS01", "good")},
    {.name = "number value", .platforms = kWindows, .configured = "1", .registryType = "REG_DWORD",
     .expectedOut = Lines("WS01", "", "bad")},
    {.name = "binary value", .platforms = kWindows, .configured = "57533031", .registryType = "REG_BINARY",
     .expectedOut = Lines("WS01", "", "bad")},
    {.name = "several strings", .platforms = kWindows, .configured = "WS01", .registryType = "REG_MULTI_SZ",
     .expectedOut = Lines("WS01", "", "bad")},

    // A stand-in `hostname` for what the real one never prints.
    {.name = "CRLF output", .hostnameOutput = "WS01\r\n", .expectedOut = Lines("WS01", "WS01", "good")},
    {.name = "lone carriage return stays", .hostnameOutput = "WS01\r", .expectedOut = Lines("WS01\r", "WS01", "bad")},
    {.name = "empty output", .hostnameOutput = "", .expectedOut = Lines("", "WS01", "bad")},
    {.name = "blank first line", .hostnameOutput = "\n", .expectedOut = Lines("", "WS01", "bad")},
    {.name = "no names at all", .hostnameOutput = "", .configured = std::nullopt, .expectedOut = Lines("", "", "bad")},
    {.name = "line of 150 keeps 99", .hostnameOutput = k150 + "\n", .expectedOut = Lines(k150.substr(0, 99), "WS01", "bad")},
    {.name = "line of 98 fits whole", .hostnameOutput = k98 + "\n", .configured = k98 + "\n", .expectedOut = Lines(k98, k98, "good")},
    {.name = "only the first line counts", .hostnameOutput = "WS01\nWS02\n", .expectedOut = Lines("WS01", "WS01", "good")},
    {.name = "leading zero byte", .platforms = kLinux, .hostnameOutput = "\0WS01\n"s, .expectedOut = Lines("", "WS01", "bad")},
    {.name = "Ctrl-Z ends the text", .hostnameOutput = "WS01\x1Axx\n", .expectedOut = Lines("WS01", "WS01", "good")},
    {.name = "trailing blank counts", .hostnameOutput = "WS01 \n", .expectedOut = Lines("WS01 ", "WS01", "bad")},
    {.name = "sockets name takes no part", .hostnameOutput = "other\n", .configured = "other\n",
     .expectedOut = Lines("other", "other", "good")},

    // The run refuses to touch anything already under the temporary file's name.
    {.name = "temp file exists", .existing = Entry::kFile, .expectedOut = kExists, .expectedStatus = 1},
    {.name = "temp name is a directory", .existing = Entry::kDirectory, .expectedOut = kExists, .expectedStatus = 1},
    {.name = "temp name is a dangling link", .platforms = kLinux, .existing = Entry::kDanglingLink,
     .expectedOut = kExists, .expectedStatus = 1},
    {.name = "working directory not writable", .platforms = kLinux, .unprivileged = true, .directoryMode = 0555,
     .expectedOut = "", .expectedStatus = 1, .expectedErrEnd = "Error while opening the file.\n: No such file or directory\n"},
    {.name = "temp name cannot be looked up", .platforms = kLinux, .unprivileged = true, .directoryMode = 0700,
     .expectedOut = "", .expectedStatus = 1,
     .expectedErrEnd = "hostname_check: cannot look up HostName123.txt: Permission denied\n"},
    {.name = "interpreter cannot start", .platforms = kWindows, .interpreterMissing = true, .expectedOut = "",
     .expectedStatus = 1, .expectedErrEnd = "Error while opening the file.\n: No such file or directory\n"},
    // The removal needs nothing from PATH, as `del` needs nothing on Windows.
    {.name = "PATH without rm", .platforms = kLinux, .onlyHostnameOnPath = true,
     .expectedOut = Lines("WS01", "WS01", "good")},

    // Nothing is read through what the command did not create: a capture swapped for a link to a
    // file only root may read is refused, and that file is neither printed nor changed.
    {.name = "capture swapped for a symbolic link", .platforms = kLinux, .hostnameOutput = "WS01\n",
     .swap = Swap::kSymlink, .expectedOut = "", .expectedStatus = 1,
     .expectedErrEnd = "Error while opening the file.\n: Too many levels of symbolic links\n"},
    {.name = "capture swapped for a hard link", .hostnameOutput = "WS01\n", .swap = Swap::kHardLink,
     .expectedOut = "", .expectedStatus = 1, .expectedErrEnd = kRefused},
    {.name = "capture others may write", .platforms = kLinux, .hostnameOutput = "WS01\n",
     .swap = Swap::kGroupWritable, .expectedOut = "", .expectedStatus = 1, .expectedErrEnd = kRefused},
    // A directory in the capture's place once it is read: Windows removes nothing and says so, as
    // `del` would go into the directory; the Linux interpreter's `del` cannot remove a directory.
    {.name = "directory in place of the capture", .platforms = kWindows, .swap = Swap::kDirectoryAfterRead,
     .expectedOut = "The Hostname from command is 'WS01'.\n", .expectedStatus = 1,
     .expectedErrEnd = "hostname_check: HostName123.txt is no longer the file that was read; it is left as it is\n"},
    {.name = "directory in place of the capture stays", .platforms = kLinux, .swap = Swap::kDirectoryAfterRead,
     .expectedOut = Lines("WS01", "WS01", "good"),
     .expectedErrEnd = "hostname_check: cannot remove HostName123.txt: Is a directory\n"},

    // A removal never asks, even for a write-protected file on a terminal.
    {.name = "write-protected capture on a terminal", .platforms = kLinux, .unprivileged = true, .umask = 0222,
     .terminal = true, .expectedOut = Lines("WS01", "WS01", "good")},

    // A report that cannot be written is a failure. Under Wine the runtime writes to a full device
    // at once, in printf, so that the reason is gone by the time the check looks.
    {.name = "report cannot be written", .platforms = kLinux, .outputFull = true, .expectedOut = "",
     .expectedStatus = 1, .expectedErrEnd = kWriteError + ": No space left on device\n"},
    {.name = "refusal cannot be written", .platforms = kLinux, .outputFull = true, .existing = Entry::kFile,
     .expectedOut = "", .expectedStatus = 1, .expectedErrEnd = kWriteError + ": No space left on device\n"},
    {.name = "report cannot be written under Wine", .platforms = kWindows, .outputFull = true, .expectedOut = "",
     .expectedStatus = 1, .expectedErrEnd = kWriteError + "\n"},
    {.name = "refusal cannot be written under Wine", .platforms = kWindows, .outputFull = true,
     .existing = Entry::kFile, .expectedOut = "", .expectedStatus = 1, .expectedErrEnd = kWriteError + "\n"},

    // Sockets failures, from a sockets layer made to fail.
    {.name = "sockets start-up fails", .platforms = kLinux, .sockets = Sockets::kStartupFails,
     .expectedOut = Lines("WS01", "WS01", "good", "WSA Startup Failed.")},
    {.name = "sockets name query fails", .platforms = kLinux, .sockets = Sockets::kNameFails,
     .expectedOut = Lines("WS01", "WS01", "good", "WSAGetLastError is '10050'.")},
  };
  // clang-format on
  return table;
}

std::string ScenarioTestName(const Scenario& scenario) {
  std::string name;
  bool upper = true;
  for (const char* c = scenario.name; *c != '\0'; ++c) {
    if (std::isalnum(static_cast<unsigned char>(*c)) == 0) {
      upper = true;
      continue;
    }
    name += upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(*c))) : *c;
    upper = false;
  }
  return name;
}

}  // namespace e2e
