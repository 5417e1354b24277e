#include "platform/single_instance.h"

#include <QCoreApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/unix_socket_path.h"
#include "platform/window_messages.h"

namespace halvorn::platform {
namespace {

constexpr std::size_t kMaxRequest = 128;
constexpr int kConnectionTimeoutMs = 2000;
constexpr int kPostTimeoutMs = 2000;
constexpr int kRetryStepMs = 50;
constexpr std::uint32_t kFirstUserMessage = 0x400;
constexpr std::uint32_t kLastUserMessage = 0x7FFF;
constexpr std::size_t kMaxClassName = 64;

// The channel of the last guard made in this process, and whether this
// process holds it (then it never posts to itself through the socket).
std::mutex GChannelLock;
std::string GChannelName;
bool GChannelHeld = false;

std::string ErrnoText(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

std::string UserName() {
  uid_t uid = geteuid();
  char buffer[4096];
  passwd entry{};
  passwd* result = nullptr;
  if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &result) == 0 && result != nullptr &&
      result->pw_name != nullptr && result->pw_name[0] != '\0')
    return result->pw_name;
  return std::to_string(uid);
}

bool IsNameByte(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '-';
}

// mkdir -p with 0700 for every folder it makes.
void MakeFolders(const std::string& path) {
  for (std::size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') ::mkdir(path.substr(0, i).c_str(), 0700);
  }
}

std::string TempFolder() {
  const char* tmp = std::getenv("TMPDIR");
  std::string folder = (tmp != nullptr && tmp[0] == '/') ? tmp : "/tmp";
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

std::string SocketPathFor(const std::string& name) {
  return SingleInstanceFolder(name) + "/" + name + ".sock";
}

std::string LockPathFor(const std::string& name) {
  return SingleInstanceFolder(name) + "/" + name + ".lock";
}

// True when some process holds the exclusive lock of that name. Our own
// holding counts too: flock conflicts between open file descriptions.
bool LockIsHeld(const std::string& lockPath) {
  int fd = ::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(fd);
  return held;
}

using SteadyClock = std::chrono::steady_clock;

int MillisecondsLeft(SteadyClock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Connects to the socket, waiting at most until the deadline; -1 on failure.
int ConnectUnix(const std::string& path, SteadyClock::time_point deadline) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() > kMaxUnixSocketPath) return -1;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
  if (errno == EINPROGRESS || errno == EAGAIN) {
    pollfd waiter{fd, POLLOUT, 0};
    if (::poll(&waiter, 1, MillisecondsLeft(deadline)) == 1) {
      int error = 0;
      socklen_t length = sizeof error;
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) return fd;
    }
  }
  ::close(fd);
  return -1;
}

bool SendAll(int fd, std::string_view bytes, SteadyClock::time_point deadline) {
  while (!bytes.empty()) {
    ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(sent));
      continue;
    }
    if (sent < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd waiter{fd, POLLOUT, 0};
      if (::poll(&waiter, 1, MillisecondsLeft(deadline)) != 1) return false;
      continue;
    }
    return false;
  }
  return true;
}

// Reads one reply line (without its "\n"); empty on time-out or a dropped line.
std::string ReadReplyLine(int fd, SteadyClock::time_point deadline) {
  std::string reply;
  while (reply.size() < 16) {
    pollfd waiter{fd, POLLIN, 0};
    int ready = ::poll(&waiter, 1, MillisecondsLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready != 1) return {};
    char buffer[16];
    ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (got <= 0) return {};
    reply.append(buffer, static_cast<std::size_t>(got));
    std::size_t end = reply.find('\n');
    if (end != std::string::npos) return reply.substr(0, end);
  }
  return {};
}

// Parses "POST <class> <number>"; false when malformed or out of range.
bool ParseRequest(const std::string& line, std::string& className, std::uint32_t& msg) {
  constexpr std::string_view kVerb = "POST ";
  if (line.compare(0, kVerb.size(), kVerb) != 0) return false;
  std::size_t start = kVerb.size();
  std::size_t space = line.find(' ', start);
  if (space == std::string::npos || space == start || space - start > kMaxClassName) return false;
  className = line.substr(start, space - start);
  for (char c : className)
    if (!IsNameByte(c)) return false;
  std::string digits = line.substr(space + 1);
  if (digits.empty() || digits.size() > 5) return false;
  std::uint32_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (value < kFirstUserMessage || value > kLastUserMessage) return false;
  msg = value;
  return true;
}

// One connection from another instance: reads its request, posts it, answers
// and hangs up. Anything malformed, too long or too slow is dropped.
void ServeConnection(QLocalSocket* socket) {
  auto drop = [socket] {
    socket->abort();
    socket->deleteLater();
  };
  QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
  QTimer::singleShot(kConnectionTimeoutMs, socket, drop);
  struct Request {
    std::string Bytes;
    bool Answered = false;
  };
  auto request = std::make_shared<Request>();
  QObject::connect(socket, &QLocalSocket::readyRead, socket, [socket, request, drop] {
    QByteArray bytes = socket->readAll();
    if (request->Answered) return;
    request->Bytes.append(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    std::size_t end = request->Bytes.find('\n');
    if (end == std::string::npos) {
      if (request->Bytes.size() > kMaxRequest) drop();
      return;
    }
    std::string className;
    std::uint32_t msg = 0;
    if (end > kMaxRequest || !ParseRequest(request->Bytes.substr(0, end), className, msg)) {
      drop();
      return;
    }
    request->Answered = true;
    WindowHandle window = FindWindowByClass(className);
    bool posted = window != 0 && PostWindowMessage(window, msg, 0, 0);
    socket->write(posted ? "OK\n" : "NONE\n");
    socket->disconnectFromServer();
  });
}

}  // namespace

std::string MakeSingleInstanceName(const std::string& applicationTitle,
                                   const std::string& installDirKey) {
  std::string name = applicationTitle + "-" + UserName() + "-" + installDirKey;
  for (char& c : name)
    if (!IsNameByte(c)) c = '_';
  return name;
}

std::string SingleInstanceFolder(const std::string& name) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::string folder = (runtime != nullptr && runtime[0] == '/') ? runtime : TempFolder();
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (folder.size() + 1 + name.size() + 5 > kMaxUnixSocketPath) folder = "/tmp";
  MakeFolders(folder);
  return folder;
}

SingleInstanceGuard::SingleInstanceGuard(std::string name) : FName(std::move(name)) {
  FLockPath = LockPathFor(FName);
  FSocketPath = SocketPathFor(FName);
  std::lock_guard<std::mutex> guard(GChannelLock);
  GChannelName = FName;
  GChannelHeld = false;
}

SingleInstanceGuard::~SingleInstanceGuard() {
  if (FServer) {
    FServer->close();
    FServer.reset();
  }
  if (FLockFd >= 0) {
    // Remove the socket file while still holding the lock, so that a new
    // first instance never loses its fresh socket to our clean-up.
    ::unlink(FSocketPath.c_str());
    ::close(FLockFd);
    FLockFd = -1;
  }
  std::lock_guard<std::mutex> guard(GChannelLock);
  if (GChannelName == FName) GChannelHeld = false;
}

bool SingleInstanceGuard::Acquire() {
  if (FAcquired) return !FAlreadyExists;
  FAcquired = true;
  int fd = ::open(FLockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    FErrorText = ErrnoText("cannot open the single-instance lock");
    return true;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    bool taken = errno == EWOULDBLOCK;
    if (!taken) FErrorText = ErrnoText("cannot lock the single-instance lock");
    ::close(fd);
    FAlreadyExists = taken;
    return !taken;
  }
  FLockFd = fd;
  // The holder's process id, for whoever looks at the file.
  std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) == 0) {
    ssize_t written = ::pwrite(fd, pid.data(), pid.size(), 0);
    (void)written;
  }
  {
    std::lock_guard<std::mutex> guard(GChannelLock);
    if (GChannelName == FName) GChannelHeld = true;
  }
  StartServer();
  return true;
}

void SingleInstanceGuard::StartServer() {
  if (QCoreApplication::instance() == nullptr) {
    FErrorText = "no application object: not listening for other instances";
    return;
  }
  if (const std::string error = UnixSocketPathError(FSocketPath); !error.empty()) {
    FErrorText = "cannot listen for other instances. " + error;
    return;
  }
  // We hold the lock, so a socket file left here is a dead instance's.
  QLocalServer::removeServer(QString::fromStdString(FSocketPath));
  FServer = std::make_unique<QLocalServer>();
  FServer->setSocketOptions(QLocalServer::UserAccessOption);
  if (!FServer->listen(QString::fromStdString(FSocketPath))) {
    FErrorText = "cannot listen for other instances: " + FServer->errorString().toStdString();
    FServer.reset();
    return;
  }
  QLocalServer* server = FServer.get();
  QObject::connect(server, &QLocalServer::newConnection, server, [server] {
    while (QLocalSocket* socket = server->nextPendingConnection()) ServeConnection(socket);
  });
}

std::intptr_t SingleInstanceGuard::ServerDescriptor() const {
  return FServer ? static_cast<std::intptr_t>(FServer->socketDescriptor()) : -1;
}

bool PostToInstance(const std::string& name, const std::string& className, std::uint32_t msg,
                    int timeoutMs) {
  if (className.empty() || className.size() > kMaxClassName) return false;
  auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  std::string socketPath = SocketPathFor(name);
  std::string lockPath = LockPathFor(name);
  int fd = -1;
  for (;;) {
    fd = ConnectUnix(socketPath, deadline);
    if (fd >= 0) break;
    // Not listening: either nobody runs, or the first instance is between
    // taking its lock and opening its socket.
    if (!LockIsHeld(lockPath) || MillisecondsLeft(deadline) == 0) return false;
    ::poll(nullptr, 0, std::min(kRetryStepMs, MillisecondsLeft(deadline)));
  }
  std::string request = "POST " + className + " " + std::to_string(msg) + "\n";
  bool delivered = SendAll(fd, request, deadline) && ReadReplyLine(fd, deadline) == "OK";
  ::close(fd);
  return delivered;
}

bool PostToWindowClass(const std::string& className, std::uint32_t msg) {
  WindowHandle window = FindWindowByClass(className);
  if (window != 0) return PostWindowMessage(window, msg, 0, 0);
  std::string channel;
  {
    std::lock_guard<std::mutex> guard(GChannelLock);
    if (GChannelName.empty() || GChannelHeld) return false;
    channel = GChannelName;
  }
  return PostToInstance(channel, className, msg, kPostTimeoutMs);
}

}  // namespace halvorn::platform
