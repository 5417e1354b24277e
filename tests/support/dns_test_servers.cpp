#include "support/dns_test_servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <sstream>

#include "support/test_support.h"

namespace halvorn::test {
namespace {

std::string MakeFolder() {
  std::filesystem::path root = std::filesystem::temp_directory_path();
  std::string pattern = (root / "halvorn-dns-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) return {};
  return pattern;
}

bool PortFree(int type, std::uint16_t port) {
  int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

std::string QueryPacket(const std::string& name, std::uint16_t id) {
  std::string p;
  p.push_back(static_cast<char>(id >> 8));
  p.push_back(static_cast<char>(id & 255));
  p += std::string("\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00", 10);
  std::stringstream labels(name);
  std::string label;
  while (std::getline(labels, label, '.')) {
    p.push_back(static_cast<char>(label.size()));
    p += label;
  }
  p += std::string("\x00\x00\x01\x00\x01", 5);
  return p;
}

}  // namespace

std::uint16_t FreeLocalPort() {
  std::mt19937 rng(std::random_device{}());
  std::uniform_int_distribution<int> pick(20000, 60000);
  for (int attempt = 0; attempt < 200; ++attempt) {
    auto port = static_cast<std::uint16_t>(pick(rng));
    if (PortFree(SOCK_DGRAM, port) && PortFree(SOCK_STREAM, port)) return port;
  }
  return 0;
}

bool DnsServerAnswers(std::uint16_t port, const std::string& name, int timeoutMs) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string packet = QueryPacket(name, 0x4242);
  bool answered = false;
  if (::sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
      static_cast<ssize_t>(packet.size())) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) == 1) {
      char buffer[1500];
      answered = ::recv(fd, buffer, sizeof buffer, 0) > 0;
    }
  }
  ::close(fd);
  return answered;
}

// ---------------------------------------------------------------------------

DnsmasqServer::DnsmasqServer(const std::vector<std::string>& records) {
  FFolder = MakeFolder();
  FPort = FreeLocalPort();
  if (FFolder.empty() || FPort == 0) {
    FError = "no folder or port";
    return;
  }
  FLogPath = FFolder + "/dnsmasq.log";
  std::string config = "port=" + std::to_string(FPort) +
                       "\nlisten-address=127.0.0.1\nbind-interfaces\nno-resolv\nno-hosts\n"
                       "no-poll\npid-file=\nlocal=/#/\nlog-queries\nlog-facility=-\n";
  for (const auto& line : records) config += line + "\n";
  if (!WriteFileBytes(FFolder + "/dnsmasq.conf", config)) {
    FError = "cannot write the configuration";
    return;
  }
  ChildOptions options;
  options.WorkingFolder = FFolder;
  options.StdoutFd = ::open(FLogPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  options.StderrFd = options.StdoutFd;
  const bool started =
      FServer.Start({"/usr/sbin/dnsmasq", "-k", "-C", FFolder + "/dnsmasq.conf"}, options);
  if (options.StdoutFd >= 0) ::close(options.StdoutFd);
  if (!started) {
    FError = "dnsmasq could not be started: " + FServer.Error();
    return;
  }
  for (int i = 0; i < 50; ++i) {
    if (DnsServerAnswers(FPort, "ready.check", 100)) return;
    if (!FServer.Running()) {
      FError = "dnsmasq ended: " + LogText();
      return;
    }
  }
  FError = "dnsmasq did not answer: " + LogText();
}

DnsmasqServer::~DnsmasqServer() {
  FServer.Stop();
  if (!FFolder.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(FFolder, ec);
  }
}

std::string DnsmasqServer::LogText() const {
  return ReadFileBytes(FLogPath);
}

int DnsmasqServer::QueriesFor(const std::string& name) const {
  std::istringstream lines(LogText());
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    std::size_t q = line.find("query[");
    if (q == std::string::npos) continue;
    std::size_t close = line.find("] ", q);
    if (close == std::string::npos) continue;
    std::size_t start = close + 2;
    std::size_t end = line.find(' ', start);
    if (line.compare(start, end - start, name) == 0) ++count;
  }
  return count;
}

// ---------------------------------------------------------------------------

ScriptedUdpServer::ScriptedUdpServer(const std::string& script) {
  FFolder = MakeFolder();
  if (FFolder.empty()) {
    FError = "no folder";
    return;
  }
  FOutputPath = FFolder + "/output.txt";
  WriteFileBytes(FFolder + "/server.py", script);
  ChildOptions options;
  options.WorkingFolder = FFolder;
  std::string error;
  const std::string line = StartAndReadFirstLine(
      FServer, {PythonPath(), "-u", FFolder + "/server.py", FOutputPath}, options, error);
  if (line.rfind("PORT ", 0) == 0) FPort = static_cast<std::uint16_t>(std::stoi(line.substr(5)));
  if (FPort == 0) FError = "the script gave no port: " + line + error;
}

ScriptedUdpServer::~ScriptedUdpServer() {
  FServer.Stop();
  if (!FFolder.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(FFolder, ec);
  }
}

std::string ScriptedUdpServer::Output() const {
  return ReadFileBytes(FOutputPath);
}

}  // namespace halvorn::test
