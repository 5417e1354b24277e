#include "support/namespace_dns.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "support/dns_test_servers.h"

extern char** environ;

namespace halvorn::test {
namespace {

constexpr char kDnsmasq[] = "/usr/sbin/dnsmasq";

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::string ProgramFile() {
  char buffer[4096];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

}  // namespace

bool InsidePrivateNetwork(const std::string& flag) {
  return std::getenv(flag.c_str()) != nullptr;
}

void RunTestsInPrivateNetwork(const std::string& flag, const std::string& gtestFilter, int tests) {
  if (InsidePrivateNetwork(flag)) GTEST_SKIP() << "the namespace child itself";
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a private network namespace";
  if (!Exists(kDnsmasq)) GTEST_SKIP() << "dnsmasq is not installed";
  if (RunCommand({"unshare", "-n", "-m", "true"}).ExitCode != 0) {
    GTEST_SKIP() << "network and mount namespaces are not allowed here";
  }
  const CommandResult child = RunCommand({"unshare", "-n", "-m", "--", "env", flag + "=1",
                                          ProgramFile(), "--gtest_filter=" + gtestFilter});
  const std::string passed =
      "[  PASSED  ] " + std::to_string(tests) + (tests == 1 ? " test." : " tests.");
  EXPECT_EQ(child.ExitCode, 0) << child.Output;
  EXPECT_NE(child.Output.find(passed), std::string::npos) << child.Output;
  EXPECT_EQ(child.Output.find("SKIPPED"), std::string::npos) << child.Output;
}

PrivateNetworkDns::PrivateNetworkDns(const std::vector<std::string>& records) {
  if (RunCommand({"ip", "link", "set", "lo", "up"}).ExitCode != 0) {
    FError = "cannot bring the loopback up";
    return;
  }
  if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    FError = std::string("cannot make the mounts private: ") + std::strerror(errno);
    return;
  }
  const std::pair<const char*, const char*> files[] = {
      {"resolv.conf", "nameserver 127.0.0.1\noptions timeout:5 attempts:1\n"},
      {"hosts", "127.0.0.1 localhost\n"},
      {"nsswitch.conf", "hosts: files dns\n"},
  };
  for (const auto& [name, text] : files) {
    const std::string target = std::string("/etc/") + name;
    if (!WriteFileBytes(FFolder.Sub(name), text)) {
      FError = std::string("cannot write ") + name;
      return;
    }
    if (!Exists(target)) continue;
    if (mount(FFolder.Sub(name).c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      FError = target + ": " + std::strerror(errno);
      return;
    }
    FMounted.push_back(target);
  }
  std::string config =
      "port=53\nlisten-address=127.0.0.1\nbind-interfaces\nno-resolv\nno-hosts\nno-poll\n"
      "pid-file=\nuser=root\nlocal=/#/\nlog-queries\nlog-facility=" +
      FFolder.Sub("dnsmasq.log") + "\n";
  for (const auto& line : records) config += line + "\n";
  if (!WriteFileBytes(FFolder.Sub("dnsmasq.conf"), config)) {
    FError = "cannot write the dnsmasq configuration";
    return;
  }
  const std::string configPath = FFolder.Sub("dnsmasq.conf");
  std::vector<std::string> argv = {kDnsmasq, "-k", "-C", configPath};
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, kDnsmasq, &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    FError = std::string("cannot start dnsmasq: ") + std::strerror(rc);
    return;
  }
  FPid = pid;
  // Any reply, NXDOMAIN included, shows that it listens.
  if (!Eventually([] { return DnsServerAnswers(53, "ready.invalid", 200); })) {
    FError = "dnsmasq does not answer on port 53:\n" + LogText();
  }
}

PrivateNetworkDns::~PrivateNetworkDns() {
  if (FPid > 0) {
    kill(FPid, SIGTERM);
    bool ended = false;
    for (int i = 0; i < 200 && !ended; ++i) {
      ended = waitpid(FPid, nullptr, WNOHANG) == FPid;
      if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!ended) {
      kill(FPid, SIGKILL);
      waitpid(FPid, nullptr, 0);
    }
  }
  // The bound files live in the temporary folder, which goes next.
  for (const std::string& target : FMounted) umount2(target.c_str(), MNT_DETACH);
}

std::string PrivateNetworkDns::LogText() const {
  return ReadFileBytes(FFolder.Sub("dnsmasq.log"));
}

int PrivateNetworkDns::QueriesFor(const std::string& type, const std::string& name) const {
  const std::string text = LogText();
  const std::string needle = "query[" + type + "] " + name + " ";
  int count = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

}  // namespace halvorn::test
