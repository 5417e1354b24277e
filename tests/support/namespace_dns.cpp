#include "support/namespace_dns.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/dns_test_servers.h"

namespace halvorn::test {
namespace {

constexpr char kDnsmasq[] = "/usr/sbin/dnsmasq";

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

}  // namespace

bool DnsmasqInstalled() {
  return Exists(kDnsmasq);
}

PrivateNetworkDns::PrivateNetworkDns(const std::vector<std::string>& records,
                                     const std::vector<std::string>& hostsLines) {
  if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    FError = std::string("cannot make the mounts private: ") + std::strerror(errno);
    return;
  }
  std::string hosts = "127.0.0.1 localhost\n";
  for (const std::string& line : hostsLines) hosts += line + "\n";
  const std::pair<const char*, std::string> files[] = {
      {"resolv.conf", "nameserver 127.0.0.1\noptions timeout:5 attempts:1\n"},
      {"hosts", hosts},
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
  if (!FServer.Start({kDnsmasq, "-k", "-C", FFolder.Sub("dnsmasq.conf")})) {
    FError = "cannot start dnsmasq: " + FServer.Error();
    return;
  }
  // Any reply, NXDOMAIN included, shows that it listens.
  if (!Eventually([] { return DnsServerAnswers(53, "ready.invalid", 200); })) {
    FError = "dnsmasq does not answer on port 53:\n" + LogText();
  }
}

PrivateNetworkDns::~PrivateNetworkDns() {
  FServer.Stop();
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
