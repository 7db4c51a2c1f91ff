// End-to-end scenarios: one row a case, what the world looks like and what the check must print.
// Each platform's runner builds the world its own way (/etc/hostname or the registry, a stand-in
// `hostname` script or batch file) and runs the real executable in it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace e2e {

// The name the runners give the machine: the kernel's name on Linux.
inline constexpr std::string_view kMachineName = "WS01";

enum Platform : unsigned { kLinux = 1, kWindows = 2, kBoth = kLinux | kWindows };

// What stands under the temporary file's name before the run.
enum class Entry { kNothing, kFile, kDirectory, kDanglingLink };

// What happens to the capture file: a stand-in `hostname` leaves it alone, puts a link to a file
// only root may read in its place, or lets group and others write it; or, once the check starts
// to read it, a directory takes its name (with a file in it that must stay).
enum class Swap { kNone, kSymlink, kHardLink, kGroupWritable, kDirectoryAfterRead };

// What /etc/hostname is: a file with the configured text, a FIFO, /dev/zero bound there, or a
// sysfs file that says it holds 4096 bytes and holds one line feed.
enum class EtcHostname { kFile, kFifo, kZero, kSysfs };

// The sockets library, real or made to fail.
enum class Sockets { kReal, kStartupFails, kNameFails };

struct Scenario {
  const char* name = "";
  unsigned platforms = kBoth;
  // What a stand-in `hostname` prints; without one, the platform's own runs.
  std::optional<std::string> hostnameOutput{};
  Swap swap = Swap::kNone;
  // The configured name: the text of /etc/hostname, or the registry's "Hostname" value (the text
  // without its last line feed); without one, no file or no value.
  std::optional<std::string> configured = "WS01\n";
  // Windows: the registry value's type, and whether the whole key is gone.
  const char* registryType = "REG_SZ";
  bool keyMissing = false;
  // Linux: what /etc/hostname is and its permissions, and whether the check runs as an ordinary
  // user.
  EtcHostname etcHostname = EtcHostname::kFile;
  unsigned configuredMode = 0644;
  bool unprivileged = false;
  // Linux: PATH finds `hostname` and nothing else. Windows: the command interpreter is missing.
  bool onlyHostnameOnPath = false;
  bool interpreterMissing = false;
  // The working directory's mode, the runner's own directory unless set: then it stays root's.
  unsigned directoryMode = 0;
  unsigned umask = 022;
  // Standard output on a pseudo-terminal (through script), or on a full device.
  bool terminal = false;
  bool outputFull = false;
  Entry existing = Entry::kNothing;
  Sockets sockets = Sockets::kReal;
  std::string expectedOut{};
  int expectedStatus = 0;
  // The end of standard error; empty means standard error must stay empty.
  std::string expectedErrEnd{};
};

const std::vector<Scenario>& Scenarios();

// Test names for the scenarios: their names with everything but letters and digits dropped.
std::string ScenarioTestName(const Scenario& scenario);

}  // namespace e2e
