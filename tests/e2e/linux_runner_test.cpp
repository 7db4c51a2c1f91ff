// Runs every Linux scenario against the built check, for real: the system's /bin/sh and
// `hostname`, real files and permissions. Each run gets a private UTS and mount namespace in which
// the kernel's host name is set and /etc/hostname is the scenario's.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "scenarios.h"

namespace e2e {
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

// Everything the child needs, prepared before the fork.
struct Plan {
  std::string binary;
  fs::path dir;  // the scenario's own folder
  fs::path run;  // the check's working directory
  const Scenario* scenario;
};

// In the child: make the scenario's world in fresh namespaces and start the check in it.
[[noreturn]] void RunChild(const Plan& plan) {
  const Scenario& s = *plan.scenario;
  const int out = open((plan.dir / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int err = open((plan.dir / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int in = open("/dev/null", O_RDONLY);
  if (out < 0 || err < 0 || in < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
    Die("redirect");
  }
  if (unshare(CLONE_NEWUTS | CLONE_NEWNS) != 0) Die("unshare");
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) Die("mount private");
  if (sethostname(kMachineName.data(), kMachineName.size()) != 0) Die("sethostname");

  // A private /etc: links to the real entries, kept reachable elsewhere, except hostname.
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
  if (s.configured) {
    WriteAll("/etc/hostname", *s.configured, static_cast<fs::perms>(s.configuredMode));
  }

  if (chdir(plan.run.c_str()) != 0) Die("chdir");
  const std::string path =
      s.hostnameOutput ? (plan.dir / "bin").string() + ":" + kSystemPath : std::string(kSystemPath);
  setenv("PATH", path.c_str(), 1);
  if (s.sockets == Sockets::kStartupFails) setenv("HOSTNAME_CHECK_FAKE_SOCKETS", "startup", 1);
  if (s.sockets == Sockets::kNameFails) setenv("HOSTNAME_CHECK_FAKE_SOCKETS", "name", 1);
  if (s.unprivileged) {
    if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
        setresuid(kNobody, kNobody, kNobody) != 0) {
      Die("drop privileges");
    }
  }
  execl(plan.binary.c_str(), plan.binary.c_str(), static_cast<char*>(nullptr));
  Die("execl");
}

int RunAndWait(const Plan& plan) {
  const pid_t child = fork();
  if (child == 0) RunChild(plan);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Why namespaced runs cannot be made here, or empty when they can.
std::string NamespacesUnavailable() {
  const pid_t child = fork();
  if (child == 0) _exit(unshare(CLONE_NEWUTS | CLONE_NEWNS) == 0 ? 0 : 1);
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && geteuid() == 0) return "";
  return "private UTS and mount namespaces need root (unshare)";
}

}  // namespace

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

namespace {

class LinuxScenario : public testing::TestWithParam<Scenario> {
 protected:
  void SetUp() override {
    const std::string why = NamespacesUnavailable();
    if (why.empty()) return;
    const char* ci = getenv("CI");
    if (ci != nullptr && std::string(ci) == "true") FAIL() << "cannot run under CI: " << why;
    GTEST_SKIP() << why;
  }
};

TEST_P(LinuxScenario, PrintsWhatItShould) {
  const Scenario& s = GetParam();
  char folder[] = "/tmp/hostname_check_e2e.XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const fs::path dir = folder;
  // Readable by the unprivileged runs.
  fs::permissions(dir, fs::perms(0755));
  fs::create_directory(dir / "real-etc");
  const fs::path run = dir / "run";
  fs::create_directory(run);

  if (s.hostnameOutput) {
    fs::create_directory(dir / "bin");
    WriteAll(dir / "hostname.out", *s.hostnameOutput, fs::perms(0644));
    WriteAll(dir / "bin" / "hostname",
             "#!/bin/sh\nexec cat '" + (dir / "hostname.out").string() + "'\n", fs::perms(0755));
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
  // An ordinary user gets a working directory of their own, unless it is to be unwritable.
  if (s.unprivileged && !s.unwritableDirectory) {
    ASSERT_EQ(chown(run.c_str(), kNobody, kNobody), 0);
  }
  if (s.unwritableDirectory) fs::permissions(run, fs::perms(0555));

  const Plan plan{s.sockets == Sockets::kReal ? CHECK_BINARY : FAKE_SOCKETS_BINARY, dir, run, &s};
  const int status = RunAndWait(plan);
  const std::string out = ReadAll(dir / "stdout");
  const std::string err = ReadAll(dir / "stderr");

  EXPECT_EQ(out, s.expectedOut);
  EXPECT_EQ(status, s.expectedStatus) << "stderr: " << err;
  if (s.expectedErrEnd.empty()) {
    EXPECT_EQ(err, "");
  } else {
    EXPECT_TRUE(
        err.size() >= s.expectedErrEnd.size() &&
        err.compare(err.size() - s.expectedErrEnd.size(), std::string::npos, s.expectedErrEnd) == 0)
        << "stderr: " << err;
  }

  // Nothing left behind, and nothing that was there touched.
  switch (s.existing) {
    case Entry::kNothing:
      EXPECT_FALSE(fs::exists(fs::symlink_status(temp)));
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
            s.existing == Entry::kNothing ? 0 : 1);

  fs::permissions(run, fs::perms(0755));
  fs::remove_all(dir);
}

std::vector<Scenario> LinuxScenarios() {
  std::vector<Scenario> linux;
  for (const Scenario& s : Scenarios()) {
    if ((s.platforms & kLinux) != 0) linux.push_back(s);
  }
  return linux;
}

INSTANTIATE_TEST_SUITE_P(, LinuxScenario, testing::ValuesIn(LinuxScenarios()),
                         [](const auto& info) { return ScenarioTestName(info.param); });

}  // namespace
}  // namespace e2e
