#include "foundation/net/quor_client_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "foundation/net/host_names.h"
#include "foundation/net/own_connections.h"
#include "foundation/threads/heartbeat.h"
#include "foundation/threads/message_loop.h"
#include "foundation/threads/quor_thread.h"
#include "foundation/time/clock.h"

namespace halvorn {

namespace {

enum class TOwnConnectionKind { Pop, Smtp };

void RegisterOwn(TOwnConnectionKind kind, std::uint32_t address, bool add) {
  if (kind == TOwnConnectionKind::Pop) {
    if (add)
      AddOutgoingPopConnection(address);
    else
      RemoveOutgoingPopConnection(address);
  } else {
    if (add)
      AddOutgoingSmtpConnection(address);
    else
      RemoveOutgoingSmtpConnection(address);
  }
}

// Registers the program's own POP3 or SMTP connection for the life of one
// Connect and removes exactly the address it registered.
class TOwnConnectionScope {
 public:
  TOwnConnectionScope(int port, std::uint32_t address) : FAddress(address) {
    if (port == 110)
      FKind = TOwnConnectionKind::Pop;
    else if (port == 25)
      FKind = TOwnConnectionKind::Smtp;
    else
      return;
    FActive = true;
    RegisterOwn(FKind, FAddress, true);
  }
  ~TOwnConnectionScope() {
    if (!FActive) return;
    try {
      RegisterOwn(FKind, FAddress, false);
    } catch (...) {
      // A destructor must not raise; the mapping logs its own failures.
    }
  }
  TOwnConnectionScope(const TOwnConnectionScope&) = delete;
  TOwnConnectionScope& operator=(const TOwnConnectionScope&) = delete;

 private:
  TOwnConnectionKind FKind = TOwnConnectionKind::Pop;
  std::uint32_t FAddress;
  bool FActive = false;
};

void MarkNetworkSuccess() {
  LastNetworkSuccess.store(Now());
}

std::string ErrnoText(int code) {
  return std::strerror(code);
}

}  // namespace

// ---------------------------------------------------------------------------
// TQuorAbstractClientSocket

TQuorAbstractClientSocket::TQuorAbstractClientSocket(std::string name) : FName(std::move(name)) {}

TQuorAbstractClientSocket::~TQuorAbstractClientSocket() = default;

void TQuorAbstractClientSocket::DoDisconnect(TQuorAbstractClientSocket* sender) {
  if (FOnDisconnect) FOnDisconnect(sender);
}

void TQuorAbstractClientSocket::DoError(const std::string& text) {
  if (FOnError) FOnError(this, text);
}

void TQuorAbstractClientSocket::NotifyDestroy() {
  auto notification = std::move(FDestroyNotification);
  FDestroyNotification = nullptr;
  if (notification) notification(this);
}

// ---------------------------------------------------------------------------
// TIndyClientSocket

TIndyClientSocket::TIndyClientSocket(std::string name)
    : TQuorAbstractClientSocket(std::move(name)) {}

TIndyClientSocket::~TIndyClientSocket() {
  FPollTimerRunning = false;
  CloseSocket();
  NotifyDestroy();
}

std::uint32_t TIndyClientSocket::GetHostIP() const {
  std::uint32_t address = 0;
  ResolveHostAddress(FHost, address, 5000);
  return address;
}

void TIndyClientSocket::DoDisconnect(TQuorAbstractClientSocket* sender) {
  FPollTimerRunning = false;
  TQuorAbstractClientSocket::DoDisconnect(sender);
}

void TIndyClientSocket::CloseSocket() {
  if (FSocket >= 0) ::close(FSocket);
  FSocket = -1;
  FPeerClosed = false;
}

void TIndyClientSocket::Recreate() {
  CloseSocket();
  FLines.Clear();
  FBytes.clear();
}

TIndyClientSocket::TWait TIndyClientSocket::WaitFor(short events, std::int64_t ms, bool checkStop,
                                                    std::string& error) {
  const std::int64_t start = SteadyMilliseconds();
  for (;;) {
    CheckAbandoned();
    ProcessMessagesIfMain();
    if (IsTerminated() || (checkStop && IsStopRequested())) return TWait::Stopped;
    const std::int64_t left = ms - (SteadyMilliseconds() - start);
    if (left <= 0) return TWait::TimedOut;
    pollfd p{FSocket, events, 0};
    const int n = ::poll(&p, 1, static_cast<int>(std::min<std::int64_t>(left, 100)));
    if (n < 0) {
      if (errno == EINTR) continue;
      error = ErrnoText(errno);
      return TWait::Failed;
    }
    // Errors and hang-ups count as ready: the next socket call tells what
    // happened.
    if (n > 0) return TWait::Ready;
  }
}

bool TIndyClientSocket::ConnectOnce(std::uint32_t address, std::int64_t attemptMs,
                                    std::string& error) {
  Recreate();
  FSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (FSocket < 0) {
    error = ErrnoText(errno);
    return false;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(FPort));
  to.sin_addr.s_addr = address;  // wire order already
  if (::connect(FSocket, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) return true;
  if (errno != EINPROGRESS) {
    error = ErrnoText(errno);
    return false;
  }
  switch (WaitFor(POLLOUT, attemptMs, true, error)) {
    case TWait::Ready:
      break;
    case TWait::TimedOut:
      error = "Connect timed out.";
      return false;
    case TWait::Stopped:
      error = "Connect stopped.";
      return false;
    case TWait::Failed:
      return false;
  }
  int code = 0;
  socklen_t size = sizeof code;
  if (::getsockopt(FSocket, SOL_SOCKET, SO_ERROR, &code, &size) != 0) code = errno;
  if (code != 0) {
    error = ErrnoText(code);
    return false;
  }
  return true;
}

bool TIndyClientSocket::Connect() {
  if (FPort == 0) return false;
  CheckAbandoned();
  FPollTimerRunning = false;
  FConnectAttempts = 0;
  const bool own = FPort == 110 || FPort == 25;
  // Resolved once: the address registered as our own is the one connected
  // to, even when the name's addresses rotate meanwhile.
  // A dotted address is taken as it is: "0.0.0.0" (number 0) is a real
  // destination (the local host), not a failed look-up.
  const bool dotted = IsIPAddress(FHost);
  const std::uint32_t address = dotted ? StrToIP(FHost) : GetHostIP();
  const bool found = dotted || address != 0;
  // Address 0 stands for "no address" in the own-connection lists: never
  // registered.
  TOwnConnectionScope scope(address != 0 && own ? FPort : 0, address);

  const std::int64_t deadline = SteadyMilliseconds() + TimeOut;
  if (IsTerminated() || IsStopRequested()) return false;
  std::int64_t attemptMs = TimeOut;
  if (ConnectRetries != 0 && TimeOut / ConnectRetries < 5000) attemptMs = 10000;

  bool ok = false;
  std::string lastError;
  if (!found) {
    lastError = "Host not found: " + FHost;
  } else {
    int attempt = 1;
    for (;;) {
      if (IsTerminated() || IsStopRequested()) return false;
      ProcessMessagesIfMain();
      ++FConnectAttempts;
      ok = ConnectOnce(address, attemptMs, lastError);
      ProcessMessagesIfMain();
      if (ok) break;
      Recreate();
      // An owner that asked to stop gets no error report.
      if (IsTerminated() || IsStopRequested()) return false;
      ++attempt;
      if (attempt > ConnectRetries || SteadyMilliseconds() > deadline) break;
    }
  }
  if (ok) {
    MarkNetworkSuccess();
    FPollTimerRunning = true;
  } else {
    DoError("TIndyClientSocket.Connect excepted with " + lastError);
  }
  return ok;
}

long TIndyClientSocket::FillBuffer(std::string& error) {
  if (FSocket < 0) return 0;
  char chunk[16384];
  for (;;) {
    const ssize_t n = ::recv(FSocket, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n > 0) {
      if (FBinary) {
        FBytes.append(chunk, static_cast<std::size_t>(n));
        return static_cast<long>(n);
      }
      // An overflow shows in FLines.Overflowed(); ReadLn reports it once the
      // lines before it have been taken.
      FLines.Append(std::string_view(chunk, static_cast<std::size_t>(n)));
      return static_cast<long>(n);
    }
    if (n == 0) {
      FPeerClosed = true;
      return 0;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return -1;
    error = ErrnoText(errno);
    return -2;
  }
}

bool TIndyClientSocket::Connected() {
  CheckAbandoned();
  if (FSocket < 0) return HasPendingInput();
  std::string error;
  if (!FPeerClosed) {
    const long got = FillBuffer(error);
    if (got == -2) {
      Recreate();
      return false;
    }
  }
  if (FPeerClosed && !HasPendingInput()) {
    Recreate();
    return false;
  }
  MarkNetworkSuccess();
  return true;
}

bool TIndyClientSocket::Close() {
  if (FSocket < 0) return true;
  if (::close(FSocket) != 0 && errno != EINTR) {
    const std::string text = ErrnoText(errno);
    FSocket = -1;
    DoError("TIndyClientSocket.Close excepted with " + text);
    return false;
  }
  FSocket = -1;
  FPeerClosed = false;
  FLines.Clear();
  FBytes.clear();
  DoDisconnect(this);
  return true;
}

void TIndyClientSocket::PollTimer() {
  if (!FPollTimerRunning || !GetOnDisconnect()) return;
  if (!Connected()) DoDisconnect(this);
}

bool TIndyClientSocket::ReadLn(std::string& line) {
  line.clear();
  CheckAbandoned();
  if (IsTerminated()) return false;
  if (FBinary) {
    DoError("Readln excepted with binary mode");
    return false;
  }
  const std::int64_t start = SteadyMilliseconds();
  for (;;) {
    if (FLines.TakeLine(line)) {
      MarkNetworkSuccess();
      return true;
    }
    if (FLines.Overflowed()) {
      // The stream is out of step for every line-based caller from here on.
      Recreate();
      DoError("Readln excepted with line too long");
      return false;
    }
    if (FPeerClosed || FSocket < 0) {
      if (FLines.PartialLine().empty()) {
        DoError("Readln excepted with Connection Closed Gracefully.");
        return false;
      }
      // The peer's last line came without a line end: hand it out rather than
      // lose it.
      line = FLines.PartialLine();
      FLines.ResetInput();
      MarkNetworkSuccess();
      return true;
    }
    std::string error;
    const long got = FillBuffer(error);
    if (got == -2) {
      DoError("Readln excepted with " + error);
      return false;
    }
    if (got != -1) continue;
    const std::int64_t left = TimeOut - (SteadyMilliseconds() - start);
    TWait wait = TWait::TimedOut;
    if (left > 0) wait = WaitFor(POLLIN, left, false, error);
    if (wait == TWait::Ready) continue;
    if (wait == TWait::Stopped) return false;
    if (wait == TWait::Failed) {
      DoError("Readln excepted with " + error);
      return false;
    }
    if (TimeOut > 100) DoError("Readln Timed Out.");
    return false;
  }
}

bool TIndyClientSocket::SendAll(const char* data, std::size_t size, std::string& error) {
  if (FSocket < 0) {
    error = "Not Connected";
    return false;
  }
  std::size_t sent = 0;
  const std::int64_t start = SteadyMilliseconds();
  while (sent < size) {
    const ssize_t n = ::send(FSocket, data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      error = ErrnoText(errno);
      return false;
    }
    const std::int64_t left = TimeOut - (SteadyMilliseconds() - start);
    const TWait wait = left > 0 ? WaitFor(POLLOUT, left, false, error) : TWait::TimedOut;
    if (wait == TWait::Ready) continue;
    if (wait == TWait::TimedOut) error = "Write timed out.";
    if (wait == TWait::Stopped) error = "Write stopped.";
    return false;
  }
  return true;
}

bool TIndyClientSocket::WriteLn(const std::string& line) {
  CheckAbandoned();
  if (IsTerminated()) return true;
  std::string error;
  const std::string data = line + "\r\n";
  if (!SendAll(data.data(), data.size(), error)) {
    DoError("WriteLn excepted with " + error);
    return false;
  }
  MarkNetworkSuccess();
  return true;
}

bool TIndyClientSocket::ReadAvailable(std::string& stream) {
  CheckAbandoned();
  if (IsTerminated()) return false;
  const std::size_t before = stream.size();
  std::string error;
  const bool hadInput = HasPendingInput();
  if (FSocket >= 0 && !FPeerClosed) {
    long got = FillBuffer(error);
    if (got == -1 && !hadInput) {
      pollfd p{FSocket, POLLIN, 0};
      if (::poll(&p, 1, 1) > 0) got = FillBuffer(error);
    }
    if (got == -2) {
      DoError("ReadData excepted with:" + error);
      return false;
    }
  }
  // Lines already split go out with the protocol's line end restored, so
  // that two of them never run together.
  std::string line;
  while (FLines.TakeLine(line)) stream += line + "\r\n";
  stream += FLines.PartialLine();
  FLines.ResetInput();
  stream += FBytes;
  FBytes.clear();
  if (stream.size() == before) return false;
  MarkNetworkSuccess();
  return true;
}

bool TIndyClientSocket::WriteStream(const std::string& stream, const TWriteProgress& progress) {
  CheckAbandoned();
  const std::int64_t size = static_cast<std::int64_t>(stream.size());
  std::int64_t sent = 0;
  while (sent < size) {
    ProcessMessagesIfMain();
    if (IsTerminated() || Heartbeat("", -1, -1)) return false;
    const std::size_t piece = static_cast<std::size_t>(std::min<std::int64_t>(1024, size - sent));
    std::string error;
    if (!SendAll(stream.data() + sent, piece, error)) {
      DoError("WriteData excepted with" + error);
      return false;
    }
    sent += static_cast<std::int64_t>(piece);
    if (progress)
      progress("wrote " + std::to_string(sent) + " of " + std::to_string(size) + " bytes", sent,
               size);
  }
  MarkNetworkSuccess();
  return true;
}

}  // namespace halvorn
