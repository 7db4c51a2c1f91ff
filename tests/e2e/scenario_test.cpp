// Runs every scenario against the built check, for real: on Linux the system's /bin/sh and
// `hostname` with real files and permissions, on Windows the executable under Wine with its own
// cmd.exe, registry and sockets. Each run gets a private UTS namespace in which the machine is
// named WS01; a Linux run also gets a private mount namespace whose /etc/hostname is the
// scenario's.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/fanotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <utility>

#include "scenarios.h"

namespace e2e {

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

namespace {

namespace fs = std::filesystem;

constexpr char kTempName[] = "HostName123.txt";
constexpr uid_t kNobody = 65534;
constexpr char kSystemPath[] = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAll(const fs::path& path, const std::string& data, fs::perms mode) {
  std::ofstream(path, std::ios::binary) << data;
  fs::permissions(path, mode);
}

[[noreturn]] void Die(const char* what) {
  perror(what);
  _exit(127);
}

// In a child: from root to the ordinary user nobody, for good.
bool BecomeNobody() {
  return setgroups(0, nullptr) == 0 && setresgid(kNobody, kNobody, kNobody) == 0 &&
         setresuid(kNobody, kNobody, kNobody) == 0;
}

// A test that cannot run here is skipped, but fails under CI, where everything must run.
void CannotRun(const std::string& why) {
  const char* ci = getenv("CI");
  if (ci != nullptr && std::string(ci) == "true") {
    ADD_FAILURE() << "cannot run under CI: " << why;
  } else {
    GTEST_SKIP() << why;
  }
}

// A build of the Linux check: its executables, and the emulator that runs them if this machine
// cannot (qemu-user for another processor).
struct Build {
  const char* check;
  const char* fakeSockets;
  const char* emulator;
  bool musl;
};

constexpr Build kNative = {CHECK_BINARY, FAKE_SOCKETS_BINARY, nullptr, false};

// What a static build against musl writes on standard error where the native one's (glibc's)
// expectation differs: musl's words for ELOOP; and no reason after a write error when the only
// line is the refusal, as musl writes the first line of a stream at once (before it knows that
// the stream is no terminal) and drops it when that fails, so that the flush at the end finds
// nothing to write: the same as under Wine.
std::string ExpectedErrorEnd(const Build& build, const Scenario& s) {
  std::string expected = s.expectedErrEnd;
  if (!build.musl) return expected;
  const std::string loop = "Too many levels of symbolic links";
  if (const size_t at = expected.find(loop); at != std::string::npos) {
    expected.replace(at, loop.size(), "Symbolic link loop");
  }
  if (s.outputFull && s.existing != Entry::kNothing) expected = "hostname_check: write error\n";
  return expected;
}

// Everything a child needs, prepared before the fork.
struct Plan {
  Platform platform;
  const Build* build;
  const Scenario* scenario;
  fs::path dir;  // the scenario's own folder
  fs::path run;  // the check's working directory
};

// Linux, in the child: /etc becomes a private tmpfs of links to the real entries, kept reachable
// elsewhere, except hostname, which is the scenario's own file.
void MakeLinuxWorld(const Plan& plan) {
  const Scenario& s = *plan.scenario;
  if (unshare(CLONE_NEWNS) != 0) Die("unshare mount");
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) Die("mount private");
  const fs::path realEtc = plan.dir / "real-etc";
  if (mount("/etc", realEtc.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) Die("bind /etc");
  if (mount("tmpfs", "/etc", "tmpfs", 0, "mode=755") != 0) Die("tmpfs /etc");
  DIR* entries = opendir(realEtc.c_str());
  if (entries == nullptr) Die("opendir");
  while (const dirent* entry = readdir(entries)) {
    const std::string name = entry->d_name;
    if (name == "." || name == ".." || name == "hostname") continue;
    if (symlink((realEtc / name).c_str(), ("/etc/" + name).c_str()) != 0) Die("symlink");
  }
  closedir(entries);
  switch (s.etcHostname) {
    case EtcHostname::kFile:
      if (s.configured) {
        WriteAll("/etc/hostname", *s.configured, static_cast<fs::perms>(s.configuredMode));
      }
      break;
    case EtcHostname::kFifo:
      if (mkfifo("/etc/hostname", s.configuredMode) != 0) Die("mkfifo");
      break;
    case EtcHostname::kZero:
      WriteAll("/etc/hostname", "", static_cast<fs::perms>(s.configuredMode));
      if (mount("/dev/zero", "/etc/hostname", nullptr, MS_BIND, nullptr) != 0)
        Die("bind /dev/zero");
      break;
    case EtcHostname::kSysfs:
      WriteAll("/etc/hostname", "", static_cast<fs::perms>(s.configuredMode));
      if (mount("/sys/module/firmware_class/parameters/path", "/etc/hostname", nullptr, MS_BIND,
                nullptr) != 0)
        Die("bind a sysfs file");
      break;
  }
  std::string path = kSystemPath;
  if (s.hostnameOutput) path = (plan.dir / "bin").string() + ":" + path;
  if (s.onlyHostnameOnPath) path = (plan.dir / "only-hostname").string();
  setenv("PATH", path.c_str(), 1);
  if (s.sockets == Sockets::kStartupFails) setenv("HOSTNAME_CHECK_FAKE_SOCKETS", "startup", 1);
  if (s.sockets == Sockets::kNameFails) setenv("HOSTNAME_CHECK_FAKE_SOCKETS", "name", 1);
}

[[noreturn]] void RunChild(const Plan& plan) {
  const Scenario& s = *plan.scenario;
  const int out = s.outputFull
                      ? open("/dev/full", O_WRONLY)
                      : open((plan.dir / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int err = open((plan.dir / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int in = open("/dev/null", O_RDONLY);
  if (out < 0 || err < 0 || in < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
    Die("redirect");
  }
  if (unshare(CLONE_NEWUTS) != 0) Die("unshare");
  if (sethostname(kMachineName.data(), kMachineName.size()) != 0) Die("sethostname");
  if (plan.platform == kLinux) MakeLinuxWorld(plan);
  if (chdir(plan.run.c_str()) != 0) Die("chdir");
  if (s.unprivileged && !BecomeNobody()) Die("drop privileges");
  umask(s.umask);
  const Build& build = *plan.build;
  // Windows: the executable under its Wine loader; a run that waits for ever (on a question nobody
  // answers) is stopped after 60 seconds.
  if (plan.platform == kWindows) {
    execlp("timeout", "timeout", "60", build.emulator, build.check, static_cast<char*>(nullptr));
    Die("execlp wine");
  }
  alarm(30);  // a run that waits for ever (on a FIFO, say) ends here, with SIGALRM
  const char* binary = s.sockets == Sockets::kReal ? build.check : build.fakeSockets;
  // On a pseudo-terminal; a run that waits for an answer is stopped after 20 seconds.
  if (s.terminal) {
    const std::string command =
        build.emulator == nullptr ? binary : std::string(build.emulator) + " " + binary;
    execlp("timeout", "timeout", "20", "script", "--quiet", "--return", "--command",
           command.c_str(), "/dev/null", static_cast<char*>(nullptr));
    Die("execlp script");
  }
  if (build.emulator != nullptr) {
    execl(build.emulator, build.emulator, binary, static_cast<char*>(nullptr));
    Die("execl emulator");
  }
  // With E2E_VALGRIND naming valgrind, the check runs under memcheck: any error or leak shows on
  // standard error and in the exit status.
  if (const char* valgrind = getenv("E2E_VALGRIND")) {
    execl(valgrind, valgrind, "--quiet", "--error-exitcode=99", "--leak-check=full",
          "--errors-for-leak-kinds=definite,indirect,possible", binary,
          static_cast<char*>(nullptr));
    Die("execl valgrind");
  }
  execl(binary, binary, static_cast<char*>(nullptr));
  Die("execl");
}

int Wait(pid_t child) {
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int RunAndWait(const Plan& plan) {
  const pid_t child = fork();
  if (child == 0) RunChild(plan);
  return Wait(child);
}

// Runs a helper command with its output on standard error; its exit status.
int Command(std::vector<std::string> args) {
  const pid_t child = fork();
  if (child == 0) {
    dup2(2, 1);
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    Die("execvp");
  }
  return Wait(child);
}

// Wine's helpers (reg) run under the loader of the suite's own Wine session, which CTest names in
// WINE: wine64 for the 64-bit suite, the 32-bit loader for the 32-bit one. Every Windows run has
// checked it first (ExpectWineSession).
std::string Wine() {
  const char* wine = getenv("WINE");
  return wine != nullptr ? wine : "";
}

// Windows: the registry as the scenario has it. The whole key comes back from the copy that the
// Wine session exported when it started.
constexpr char kParameters[] = "HKLM\\System\\CurrentControlSet\\Services\\Tcpip\\Parameters";

void SetRegistry(const Scenario& s) {
  const char* prefix = getenv("WINEPREFIX");
  ASSERT_NE(prefix, nullptr) << "the Windows tests run in the Wine session that CTest starts";
  ASSERT_EQ(Command({Wine(), "reg", "import", std::string(prefix) + "/tcpip.reg"}), 0);
  if (s.keyMissing) {
    ASSERT_EQ(Command({Wine(), "reg", "delete", kParameters, "/f"}), 0);
  } else if (!s.configured) {
    ASSERT_EQ(Command({Wine(), "reg", "delete", kParameters, "/v", "Hostname", "/f"}), 0);
  } else {
    std::string value = *s.configured;
    if (!value.empty() && value.back() == '\n') value.pop_back();
    ASSERT_EQ(Command({Wine(), "reg", "add", kParameters, "/v", "Hostname", "/t", s.registryType,
                       "/d", value, "/f"}),
              0);
  }
}

// Why namespaced runs cannot be made here, or empty when they can.
std::string NamespacesUnavailable() {
  const pid_t child = fork();
  if (child == 0) _exit(unshare(CLONE_NEWUTS | CLONE_NEWNS) == 0 ? 0 : 1);
  if (Wait(child) == 0 && geteuid() == 0) return "";
  return "private UTS and mount namespaces need root (unshare)";
}

std::string WithCrLf(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// Runs its function when the scope ends, however it ends: a failed assertion returns early.
template <typename F>
class Finally {
 public:
  explicit Finally(F f) : f_(std::move(f)) {}
  Finally(const Finally&) = delete;
  Finally& operator=(const Finally&) = delete;
  ~Finally() { f_(); }

 private:
  F f_;
};

// Puts a directory, with a file in it, in the capture's place as soon as the check starts to read
// the capture, and only then lets the read go on: when the check comes to remove it, its name
// leads to the directory. A process of its own that watches the working directory with fanotify;
// its caller stops it. -1 when fanotify cannot be used here.
pid_t StartDirectorySwapOnRead(const fs::path& run) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  const pid_t watcher = fork();
  if (watcher == 0) {
    close(ready[0]);
    const int fan = fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY);
    if (fan < 0 ||
        fanotify_mark(fan, FAN_MARK_ADD, FAN_ACCESS_PERM | FAN_EVENT_ON_CHILD, AT_FDCWD,
                      run.c_str()) != 0 ||
        write(ready[1], "!", 1) != 1) {
      _exit(1);
    }
    close(ready[1]);
    const fs::path capture = run / kTempName;
    bool swapped = false;
    for (;;) {
      alignas(fanotify_event_metadata) char buffer[4096];
      ssize_t size = read(fan, buffer, sizeof buffer);
      if (size < 0 && errno == EINTR) continue;
      if (size <= 0) _exit(0);
      for (auto* event = reinterpret_cast<fanotify_event_metadata*>(buffer);
           FAN_EVENT_OK(event, size); event = FAN_EVENT_NEXT(event, size)) {
        // The capture itself, known by its identity rather than a path, which differs for a
        // reader in another mount namespace (Wine in an i386 root); and the check's read, not that
        // of the command writing the capture (Wine's `hostname` reads its output file too).
        struct stat read {};
        struct stat named {};
        const std::string reader = ReadAll("/proc/" + std::to_string(event->pid) + "/cmdline");
        if (!swapped && fstat(event->fd, &read) == 0 && stat(capture.c_str(), &named) == 0 &&
            read.st_dev == named.st_dev && read.st_ino == named.st_ino &&
            reader.find("hostname_check") != std::string::npos) {
          swapped = rename(capture.c_str(), (capture.string() + ".read").c_str()) == 0 &&
                    mkdir(capture.c_str(), 0755) == 0;
          WriteAll(capture / "precious", "precious\n", fs::perms(0644));
        }
        const fanotify_response allow = {event->fd, FAN_ALLOW};
        if (write(fan, &allow, sizeof allow) != sizeof allow) _exit(1);
        close(event->fd);
      }
    }
  }
  close(ready[1]);
  char answer = 0;
  const bool started = read(ready[0], &answer, 1) == 1;
  close(ready[0]);
  if (!started) {
    Wait(watcher);
    return -1;
  }
  return watcher;
}

void RunScenario(Platform platform, const Build& build, const Scenario& s) {
  const std::string why = NamespacesUnavailable();
  if (!why.empty()) return CannotRun(why);
  char folder[] = "/tmp/hostname_check_e2e.XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const fs::path dir = folder;
  const fs::path run = dir / "run";
  const Finally removeAll{[&] {
    std::error_code ignored;
    fs::permissions(run, fs::perms(0755), ignored);
    fs::remove_all(dir, ignored);
  }};
  // Readable by the unprivileged runs.
  fs::permissions(dir, fs::perms(0755));
  if (platform == kLinux) fs::create_directory(dir / "real-etc");
  fs::create_directory(run);

  // The stand-in `hostname`: first on PATH on Linux, in the working directory under cmd.exe.
  // One that swaps the capture puts a link to a secret file in its place. Under cmd.exe the capture
  // cannot be replaced while the command writes it (a deleted open file keeps its name until it is
  // closed), so there the stand-in gives it a second name instead: the same refusal of a file
  // with more than one link.
  const fs::path secret = dir / "secret";
  WriteAll(secret, "root:secret\n", fs::perms(0600));
  int standIns = 0;
  if (s.hostnameOutput) {
    WriteAll(dir / "hostname.out", *s.hostnameOutput, fs::perms(0644));
    if (platform == kLinux) {
      fs::create_directory(dir / "bin");
      std::string script = "#!/bin/sh\n";
      if (s.swap == Swap::kSymlink || s.swap == Swap::kHardLink) {
        script += std::string("rm ") + kTempName + " && ln " +
                  (s.swap == Swap::kSymlink ? "-s " : "") + secret.string() + " " + kTempName +
                  "\n";
      }
      if (s.swap == Swap::kGroupWritable) script += std::string("chmod 0620 ") + kTempName + "\n";
      script += "exec cat " + (dir / "hostname.out").string() + "\n";
      WriteAll(dir / "bin" / "hostname", script, fs::perms(0755));
    } else {
      std::string windowsDir = "Z:" + dir.string();
      for (char& c : windowsDir) c = c == '/' ? '\\' : c;
      std::string batch;
      if (s.swap == Swap::kHardLink) {
        batch += std::string("@mklink /H ") + kTempName + ".2 " + kTempName + " >NUL\r\n";
        standIns += 1;
      }
      batch += "@type " + windowsDir + "\\hostname.out\r\n";
      WriteAll(run / "hostname.bat", batch, fs::perms(0644));
      standIns += 1;
    }
  }
  if (s.onlyHostnameOnPath) {
    fs::create_directory(dir / "only-hostname");
    const fs::path hostname =
        fs::exists("/usr/bin/hostname") ? "/usr/bin/hostname" : "/bin/hostname";
    fs::create_symlink(hostname, dir / "only-hostname" / "hostname");
  }
  if (platform == kWindows) {
    ASSERT_NO_FATAL_FAILURE(SetRegistry(s));
  }
  // Windows: no interpreter where the environment says it is, for this run alone.
  constexpr char kEnvironment[] = "HKCU\\Environment";
  const Finally restoreInterpreter{[&] {
    if (s.interpreterMissing)
      Command({Wine(), "reg", "delete", kEnvironment, "/v", "ComSpec", "/f"});
  }};
  if (s.interpreterMissing) {
    ASSERT_EQ(Command({Wine(), "reg", "add", kEnvironment, "/v", "ComSpec", "/t", "REG_SZ", "/d",
                       "C:\\nowhere\\cmd.exe", "/f"}),
              0);
  }

  const fs::path temp = run / kTempName;
  switch (s.existing) {
    case Entry::kNothing:
      break;
    case Entry::kFile:
      WriteAll(temp, "precious\n", fs::perms(0644));
      break;
    case Entry::kDirectory:
      fs::create_directory(temp);
      break;
    case Entry::kDanglingLink:
      fs::create_symlink("nowhere", temp);
      break;
  }
  // An ordinary user gets a working directory of their own, unless its mode is set.
  if (s.unprivileged && s.directoryMode == 0) {
    ASSERT_EQ(chown(run.c_str(), kNobody, kNobody), 0);
  }
  if (s.directoryMode != 0) fs::permissions(run, static_cast<fs::perms>(s.directoryMode));

  pid_t watcher = -1;
  const Finally stopWatcher{[&] {
    if (watcher > 0 && kill(watcher, SIGKILL) == 0) Wait(watcher);
  }};
  if (s.swap == Swap::kDirectoryAfterRead) {
    watcher = StartDirectorySwapOnRead(run);
    if (watcher < 0) return CannotRun("fanotify permission events are not available");
  }

  int status = RunAndWait({platform, &build, &s, dir, run});
  // Wine's loader now and then finds the address of its shared user data taken (address space
  // randomisation) and gives up before the program starts: that run never began, so run it again.
  for (int again = 0;
       platform == kWindows && again < 3 &&
       ReadAll(dir / "stderr").find("failed to map the shared user data") != std::string::npos;
       ++again) {
    status = RunAndWait({platform, &build, &s, dir, run});
  }
  const std::string out = ReadAll(dir / "stdout");
  const std::string err = ReadAll(dir / "stderr");

  // Lines end in CR LF under Windows, and on a terminal.
  const bool crlf = platform == kWindows || s.terminal;
  EXPECT_EQ(out, crlf ? WithCrLf(s.expectedOut) : s.expectedOut);
  EXPECT_EQ(status, s.expectedStatus) << "stderr: " << err;
  const std::string errEnd =
      platform == kWindows ? WithCrLf(s.expectedErrEnd) : ExpectedErrorEnd(build, s);
  if (errEnd.empty()) {
    EXPECT_EQ(err, "");
  } else {
    EXPECT_TRUE(err.size() >= errEnd.size() &&
                err.compare(err.size() - errEnd.size(), std::string::npos, errEnd) == 0)
        << "stderr: " << err;
  }
  EXPECT_EQ(ReadAll(secret), "root:secret\n");

  // Nothing left behind, and nothing that was there touched. A refused capture stays, as the
  // command left it; a directory put in its place stays whole, beside the capture moved away.
  int leftBehind = s.swap == Swap::kNone ? 0 : 1;
  if (s.swap == Swap::kDirectoryAfterRead) {
    EXPECT_EQ(ReadAll(temp / "precious"), "precious\n");
    EXPECT_TRUE(fs::is_regular_file(temp.string() + ".read"));
    leftBehind = 2;
  }
  switch (s.existing) {
    case Entry::kNothing:
      EXPECT_EQ(fs::exists(fs::symlink_status(temp)), leftBehind > 0);
      break;
    case Entry::kFile:
      EXPECT_EQ(ReadAll(temp), "precious\n");
      break;
    case Entry::kDirectory:
      EXPECT_TRUE(fs::is_directory(fs::symlink_status(temp)));
      break;
    case Entry::kDanglingLink:
      EXPECT_TRUE(fs::is_symlink(temp));
      EXPECT_FALSE(fs::exists(run / "nowhere"));
      break;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(run), fs::directory_iterator()),
            standIns + leftBehind + (s.existing == Entry::kNothing ? 0 : 1));
}

std::vector<Scenario> ScenariosFor(Platform platform) {
  std::vector<Scenario> chosen;
  for (const Scenario& s : Scenarios()) {
    if ((s.platforms & platform) != 0) chosen.push_back(s);
  }
  return chosen;
}

std::string TestName(const testing::TestParamInfo<Scenario>& info) {
  return ScenarioTestName(info.param);
}

class Linux : public testing::TestWithParam<Scenario> {};
TEST_P(Linux, Scenario) { RunScenario(kLinux, kNative, GetParam()); }
INSTANTIATE_TEST_SUITE_P(, Linux, testing::ValuesIn(ScenariosFor(kLinux)), TestName);

// The static executables that the fleet playbook sends, x86-64 and, under qemu-user, aarch64.
#ifdef STATIC_DIR
constexpr Build kStaticX86_64 = {STATIC_DIR "/x86_64/hostname_check",
                                 STATIC_DIR "/x86_64/tests/hostname_check_fake_sockets", nullptr,
                                 true};
constexpr Build kStaticAarch64 = {STATIC_DIR "/aarch64/hostname_check",
                                  STATIC_DIR "/aarch64/tests/hostname_check_fake_sockets",
                                  QEMU_AARCH64, true};
class StaticX86_64 : public testing::TestWithParam<Scenario> {};
TEST_P(StaticX86_64, Scenario) { RunScenario(kLinux, kStaticX86_64, GetParam()); }
INSTANTIATE_TEST_SUITE_P(, StaticX86_64, testing::ValuesIn(ScenariosFor(kLinux)), TestName);
class StaticAarch64 : public testing::TestWithParam<Scenario> {};
TEST_P(StaticAarch64, Scenario) { RunScenario(kLinux, kStaticAarch64, GetParam()); }
INSTANTIATE_TEST_SUITE_P(, StaticAarch64, testing::ValuesIn(ScenariosFor(kLinux)), TestName);
#endif

// An ordinary user keeps putting things under the temporary file's name, in a folder everyone may
// write (no sticky bit), while root runs the check there a few hundred times: a link to a file
// only root may write, a link to a FIFO that the test reads, a FIFO of the user's own. The file
// stays as it was, nothing reaches the FIFO, and no run waits on one.
TEST(LinuxRace, NothingPlantedIsWrittenOrWaitedOn) {
  if (geteuid() != 0) return CannotRun("the race needs root");
  char folder[] = "/tmp/hostname_check_race.XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const fs::path dir = folder;
  const Finally removeAll{[&] {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }};
  fs::permissions(dir, fs::perms(0755));
  const fs::path shared = dir / "shared";
  fs::create_directory(shared);
  fs::permissions(shared, fs::perms(0777));
  const fs::path target = dir / "target";
  WriteAll(target, "precious\n", fs::perms(0600));
  const fs::path fifo = dir / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
  // Held open for reading, so that anything written to the FIFO stays there to be found.
  const int fifoReader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(fifoReader, 0);
  const Finally closeFifo{[&] { close(fifoReader); }};

  const pid_t planter = fork();
  if (planter == 0) {
    if (!BecomeNobody() || chdir(shared.c_str()) != 0) Die("planter");
    for (unsigned i = 0;; ++i) {
      const bool planted = i % 3 == 0   ? symlink(target.c_str(), kTempName) == 0
                           : i % 3 == 1 ? symlink(fifo.c_str(), kTempName) == 0
                                        : mkfifo(kTempName, 0666) == 0;
      if (planted) unlink(kTempName);
    }
  }
  const Finally stopPlanter{[&] {
    kill(planter, SIGKILL);
    Wait(planter);
  }};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  int runs = 0;
  for (; runs < 300 && std::chrono::steady_clock::now() < deadline; ++runs) {
    const pid_t check = fork();
    if (check == 0) {
      const int null = open("/dev/null", O_RDWR);
      if (null < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0 || dup2(null, 2) < 0 ||
          chdir(shared.c_str()) != 0) {
        _exit(127);
      }
      alarm(10);  // a run that waits on a FIFO ends here, with SIGALRM
      execl(CHECK_BINARY, CHECK_BINARY, static_cast<char*>(nullptr));
      _exit(127);
    }
    const int status = Wait(check);
    ASSERT_NE(status, 127);
    ASSERT_NE(status, 128 + SIGALRM) << "a run waited on a FIFO";
  }

  EXPECT_GE(runs, 100);
  EXPECT_EQ(ReadAll(target), "precious\n");
  char byte = 0;
  EXPECT_LE(read(fifoReader, &byte, 1), 0) << "the check wrote into the FIFO";
}

#ifdef WINE64_LOADER
// Why a Wine loader cannot start a program on this machine, or empty when it can: found by
// starting it (`LOADER --version`), as a kernel without 32-bit programs refuses the 32-bit one
// with "Exec format error".
std::string LoaderCannotRun(const char* loader) {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return std::string("pipe: ") + strerror(errno);
  const pid_t child = fork();
  if (child == 0) {
    close(report[0]);
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
    }
    alarm(30);
    execl(loader, loader, "--version", static_cast<char*>(nullptr));
    const int error = errno;
    if (write(report[1], &error, sizeof error) != sizeof error) _exit(126);
    _exit(126);
  }
  close(report[1]);
  int error = 0;
  const bool execFailed = read(report[0], &error, sizeof error) == sizeof error;
  close(report[0]);
  const int status = Wait(child);
  const std::string name = loader;
  if (execFailed && error == ENOEXEC) {
    return "this kernel runs no 32-bit programs (" + name + ": " + strerror(error) + ")";
  }
  if (execFailed && error == ENOENT) {
    return name +
           " is not installed (wine32:i386), and no i386 root with 32-bit Wine was named "
           "(HOSTNAME_CHECK_I386_ROOT)";
  }
  if (execFailed) return name + ": " + strerror(error);
  if (status != 0) return name + " --version ended with status " + std::to_string(status);
  return "";
}

// The 64-bit executable under wine64, which every x86-64 kernel runs; the 32-bit one under the
// 32-bit loader, skipped with the reason where it cannot start.
constexpr Build kWindows64 = {WINDOWS_EXE_x86_64, nullptr, WINE64_LOADER, false};
constexpr Build kWindows32 = {WINDOWS_EXE_i686, nullptr, WINE32_LOADER, false};

// A Windows run belongs to the Wine session that CTest starts for its build, and takes every
// setting of it from the environment CTest gives the run: the loader (the build's own), the server,
// the prefix, the debug setting and, for the 32-bit build, the prefix's kind. A setting missing
// fails the run, named: another loader or prefix would run it (the machine's `wine` wrapper picks
// wine64 for a 32-bit prefix, and `reg import` fails there).
void ExpectWineSession(const Build& build, std::initializer_list<const char*> names) {
  for (const char* name : names) {
    const char* value = getenv(name);
    ASSERT_TRUE(value != nullptr && *value != '\0')
        << name << " is not set: the Windows runs take their Wine session from CTest's environment";
  }
  ASSERT_STREQ(getenv("WINE"), build.emulator) << "WINE names another loader than the build's";
}

class Windows64 : public testing::TestWithParam<Scenario> {};
TEST_P(Windows64, Scenario) {
  ASSERT_NO_FATAL_FAILURE(
      ExpectWineSession(kWindows64, {"WINE", "WINEPREFIX", "WINEDEBUG", "WINESERVER"}));
  RunScenario(kWindows, kWindows64, GetParam());
}
INSTANTIATE_TEST_SUITE_P(, Windows64, testing::ValuesIn(ScenariosFor(kWindows)), TestName);

class Windows32 : public testing::TestWithParam<Scenario> {};
TEST_P(Windows32, Scenario) {
  ASSERT_NO_FATAL_FAILURE(
      ExpectWineSession(kWindows32, {"WINE", "WINEPREFIX", "WINEDEBUG", "WINESERVER", "WINEARCH"}));
  static const std::string why =
      std::string(WINE32_CANNOT_RUN).empty() ? LoaderCannotRun(WINE32_LOADER) : WINE32_CANNOT_RUN;
  if (!why.empty()) GTEST_SKIP() << why;
  RunScenario(kWindows, kWindows32, GetParam());
}
INSTANTIATE_TEST_SUITE_P(, Windows32, testing::ValuesIn(ScenariosFor(kWindows)), TestName);
#endif

}  // namespace
}  // namespace e2e
