#include "foundation/net/connection_checks.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "foundation/log/log_sink.h"
#include "foundation/net/host_names.h"
#include "foundation/net/quor_client_socket.h"
#include "foundation/threads/abandonment.h"
#include "foundation/threads/heartbeat.h"
#include "foundation/threads/message_loop.h"
#include "foundation/time/clock.h"

namespace halvorn {

std::atomic<TDateTime> LastPingFailure{0};

void FollowCallingWorker(TQuorClientSocket& client) {
  TQuorThread* worker = CurrentQuorThread();
  if (worker == nullptr) return;
  client.SetTerminatedFlag([worker] { return worker->Terminated() || ShuttingDown.load(); });
}

namespace {

bool CheckConnectHere(const std::string& host, int port, int timeoutMs) {
  return CatchAllButAbandonment(
      [&]() -> bool {
        TQuorClientSocket client("CheckConnect");
        FollowCallingWorker(client);
        client.SetHost(host);
        client.SetPort(port);
        client.TimeOut = timeoutMs;
        // One attempt, bounded by the caller's time-out (a retry count of 1
        // would let a short check wait 10 s for its connect).
        client.ConnectRetries = 0;
        const bool ok = client.Connect();
        client.Close();
        return ok;
      },
      [&](const std::string&) -> bool {
        return false;
      });
}

std::mutex& PingLock() {
  static std::mutex lock;
  return lock;
}
TPingSettings& PingSettings() {
  static TPingSettings settings;
  return settings;
}
std::atomic<TPingMethod> LastMethod{TPingMethod::None};

std::uint16_t IcmpChecksum(const unsigned char* data, std::size_t size) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < size; i += 2)
    sum += static_cast<std::uint32_t>(data[i] << 8 | data[i + 1]);
  if (size % 2) sum += static_cast<std::uint32_t>(data[size - 1] << 8);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

// Waits for the socket to become ready, handling window messages on the main
// thread. True when ready in time.
bool WaitReady(int fd, short events, int timeoutMs) {
  const std::int64_t start = SteadyMilliseconds();
  for (;;) {
    ProcessMessagesIfMain();
    const std::int64_t left = timeoutMs - (SteadyMilliseconds() - start);
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, static_cast<int>(std::min<std::int64_t>(left, 100)));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

// -1: the system refuses unprivileged ICMP sockets; 0 no reply; 1 reply.
int IcmpEcho(std::uint32_t address, int timeoutMs, std::uint16_t sequence) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (fd < 0) return -1;
  unsigned char packet[16] = {ICMP_ECHO, 0,   0,   0,   0,   0,   0,   0,
                              'h',       'a', 'l', 'v', 'o', 'r', 'n', '!'};
  packet[6] = static_cast<unsigned char>(sequence >> 8);
  packet[7] = static_cast<unsigned char>(sequence & 0xFF);
  const std::uint16_t sum = IcmpChecksum(packet, sizeof packet);
  packet[2] = static_cast<unsigned char>(sum >> 8);
  packet[3] = static_cast<unsigned char>(sum & 0xFF);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = address;
  int result = 0;
  if (::sendto(fd, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
      static_cast<ssize_t>(sizeof packet)) {
    const std::int64_t start = SteadyMilliseconds();
    while (result == 0) {
      const int left = timeoutMs - static_cast<int>(SteadyMilliseconds() - start);
      if (left <= 0 || !WaitReady(fd, POLLIN, left)) break;
      unsigned char reply[256];
      const ssize_t n = ::recv(fd, reply, sizeof reply, MSG_DONTWAIT);
      // The kernel hands this socket only replies to its own identifier.
      if (n >= 8 && reply[0] == ICMP_ECHOREPLY && reply[6] == packet[6] && reply[7] == packet[7])
        result = 1;
    }
  }
  ::close(fd);
  return result;
}

// A TCP connect as a stand-in for an echo: accepted or refused, the host
// answered.
bool TcpEcho(std::uint32_t address, int port, int timeoutMs) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  to.sin_addr.s_addr = address;
  bool answered = false;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
    answered = true;
  } else if (errno == ECONNREFUSED) {
    answered = true;
  } else if (errno == EINPROGRESS && WaitReady(fd, POLLOUT, timeoutMs)) {
    int code = 0;
    socklen_t size = sizeof code;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &code, &size);
    answered = code == 0 || code == ECONNREFUSED;
  }
  ::close(fd);
  return answered;
}

bool EchoHost(const std::string& host, const TPingSettings& settings, std::uint16_t sequence) {
  std::uint32_t address = 0;
  if (!ResolveHost(host, address, std::max(settings.ReplyTimeOutMs, 1))) return false;
  if (settings.UseIcmp) {
    const int icmp = IcmpEcho(address, settings.ReplyTimeOutMs, sequence);
    if (icmp >= 0) {
      LastMethod.store(TPingMethod::Icmp);
      return icmp == 1;
    }
  }
  LastMethod.store(TPingMethod::Tcp);
  return TcpEcho(address, settings.TcpPort, settings.ReplyTimeOutMs);
}

}  // namespace

bool SendUdpHello() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(6173);
  to.sin_addr.s_addr = htonl(0x7FE6E870);  // 127.230.232.112
  static const char kHello[] = "hello?";
  const ssize_t n =
      ::sendto(fd, kHello, sizeof kHello - 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  ::close(fd);
  return n == static_cast<ssize_t>(sizeof kHello - 1);
}

bool CheckConnect(const std::string& host, int port, int timeoutMs) {
  return CatchAllButAbandonment(
      [&]() -> bool {
        if (IsMainThread() && (port == 25 || port == 110)) {
          auto* thread = CreateQuorThread<TCheckConnectThread>(true, host, port, timeoutMs);
          const TThreadHandle handle = thread->Handle();
          thread->Resume();
          WaitHandlingMessages([thread] { return thread->Done(); }, timeoutMs);
          const bool result = thread->Done() && thread->Result();
          FreeThreadByHandle(handle);
          return result;
        }
        return CheckConnectHere(host, port, timeoutMs);
      },
      [&](const std::string& error) -> bool {
        Log("CheckConnect", "CheckConnect failed: " + error, 5, true);
        return false;
      });
}


void SetPingSettings(const TPingSettings& settings) {
  std::lock_guard<std::mutex> guard(PingLock());
  PingSettings() = settings;
}

TPingSettings GetPingSettings() {
  std::lock_guard<std::mutex> guard(PingLock());
  return PingSettings();
}

TPingMethod LastPingMethod() {
  return LastMethod.load();
}

bool PingInternet(int seconds) {
  TDateTime lastSuccess = LastNetworkSuccess.load();
  if (lastSuccess != 0) {
    const TDateTime before = lastSuccess;
    const TDateTime elapsed = ElapsedSince(lastSuccess);
    if (lastSuccess != before) LastNetworkSuccess.store(lastSuccess);
    if (elapsed < SecondsToDateTime(seconds)) return true;
  }
  TDateTime lastFailure = LastPingFailure.load();
  if (lastFailure != 0) {
    const TDateTime before = lastFailure;
    const TDateTime elapsed = ElapsedSince(lastFailure);
    if (lastFailure != before) LastPingFailure.store(lastFailure);
    if (elapsed < SecondsToDateTime(5)) return false;
  }
  const TPingSettings settings = GetPingSettings();
  std::uint16_t sequence = 0;
  for (int round = 0; round < 2; ++round) {
    for (const std::string& host : settings.Hosts) {
      if (EchoHost(host, settings, ++sequence)) {
        LastNetworkSuccess.store(Now());
        return true;
      }
    }
  }
  LastPingFailure.store(Now());
  return false;
}

// ---------------------------------------------------------------------------
// Check workers

TCheckConnectThread::TCheckConnectThread(std::string host, int port, int timeoutMs)
    : FHost(std::move(host)), FPort(port), FTimeOut(timeoutMs) {}

void TCheckConnectThread::Execute() {
  FResult.store(CheckConnectHere(FHost, FPort, FTimeOut));
  FDone.store(true);
}

}  // namespace halvorn
