#include "foundation/intercept/lsp_requests.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>

#include "foundation/app/main_window_notifications.h"
#include "foundation/files/install_folders.h"
#include "foundation/intercept/lsp_binding.h"
#include "foundation/log/log_sink.h"
#include "foundation/time/clock.h"
#include "platform/lsp/lsp_protocol.h"
#include "platform/socket_watch.h"
#include "platform/unix_socket_path.h"

namespace halvorn {

namespace {

// A peer gets this long to send its request once connected; the library
// writes it at once, so only a broken or hostile peer ever waits it out.
constexpr int kRequestTimeOutMs = 1000;

std::atomic<std::uint64_t> gTestAcks{0};

struct TListener {
  int Fd = -1;
  std::string Path;
  std::unique_ptr<platform::SocketWatch> Watch;
  TLspRequestHandler Handler;
  bool Busy = false;
};

TListener& Listener() {
  static TListener* listener = new TListener();
  return *listener;
}

bool ReadRequest(int fd, lsp::TLspRequest& request) {
  auto* p = reinterpret_cast<char*>(&request);
  std::size_t left = sizeof(request);
  const std::int64_t deadline = SteadyMilliseconds() + kRequestTimeOutMs;
  while (left > 0) {
    std::int64_t wait = deadline - SteadyMilliseconds();
    if (wait <= 0) return false;
    pollfd pfd{fd, POLLIN, 0};
    int ready = poll(&pfd, 1, static_cast<int>(wait));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    ssize_t n = recv(fd, p, left, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return request.Magic == lsp::kRequestMagic;
}

// Only processes of the program's own user may ask (root may always).
bool PeerAllowed(int fd) {
  ucred credentials{};
  socklen_t length = sizeof(credentials);
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return false;
  return credentials.uid == getuid() || credentials.uid == 0;
}

// The record after the handler: what the library connects to.
void Answer(const lsp::TLspRequest& request, std::uint8_t answer[16]) {
  std::memcpy(answer, request.Destination, 16);
  auto* record = static_cast<std::uint8_t*>(LspGetRedirectTable());
  TListener& listener = Listener();
  if (record == nullptr || !listener.Handler) return;
  std::memcpy(record, request.Destination, 16);
  std::uint32_t address = 0;
  std::memcpy(&address, request.Destination + 4, 4);
  std::uint32_t msg = request.Kind == lsp::kKindSmtp ? WM_LSP_SMTP_REQUEST : WM_LSP_POP_REQUEST;
  try {
    listener.Handler(msg, request.ProcessId, address);
  } catch (const std::exception& e) {
    // The record keeps whatever the handler had written.
    Log("LSP", std::string("Interception request handler failed: ") + e.what(), 3, true);
  } catch (...) {
    Log("LSP", "Interception request handler failed", 3, true);
  }
  std::memcpy(answer, record, 16);
}

void ServeOne(int client) {
  lsp::TLspRequest request;
  if (!PeerAllowed(client) || !ReadRequest(client, request)) return;
  if (request.Kind == lsp::kKindTestAck) {
    gTestAcks.fetch_add(1);
    PostToMainWindow(WM_INTERCEPT_TEST_ACK, 0, 0);
    return;
  }
  if (request.Kind != lsp::kKindSmtp && request.Kind != lsp::kKindPop) return;
  std::uint8_t answer[16];
  Answer(request, answer);
  // 16 bytes always fit the socket's buffer; a peer that left is no error.
  send(client, answer, sizeof(answer), MSG_NOSIGNAL | MSG_DONTWAIT);
}

void OnReadable() {
  TListener& listener = Listener();
  if (listener.Fd < 0 || listener.Busy) return;
  int client = accept4(listener.Fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (client < 0) return;
  // One request at a time: the handler may run a nested event loop (a
  // question to the user); further requests wait in the backlog meanwhile.
  listener.Busy = true;
  if (listener.Watch) listener.Watch->SetEnabled(false);
  ServeOne(client);
  close(client);
  listener.Busy = false;
  if (listener.Watch && listener.Fd >= 0) listener.Watch->SetEnabled(true);
}

// True when some process already listens on the path.
bool SomebodyListens(const sockaddr_un& address) {
  int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return false;
  bool listening =
      connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
  close(probe);
  return listening;
}

}  // namespace

void SetLspRequestHandler(TLspRequestHandler handler) {
  Listener().Handler = std::move(handler);
}

bool StartLspListener() {
  TListener& listener = Listener();
  if (listener.Fd >= 0) return true;
  std::string path = lsp::SocketPath(GetInstallDirKey());
  sockaddr_un address{};
  if (const std::string error = platform::UnixSocketPathError(path); !error.empty()) {
    Log("LSP", "Cannot listen for interception requests. " + error, 3, true);
    return false;
  }
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  if (SomebodyListens(address)) {
    Log("LSP", "Another instance already serves interception requests at " + path, 3, true);
    return false;
  }
  unlink(path.c_str());  // left behind by an instance that ended abruptly
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  mode_t old = umask(0077);
  bool bound = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
  umask(old);
  if (!bound || listen(fd, 64) != 0) {
    Log("LSP", "Cannot listen for interception requests at " + path + ": " + std::strerror(errno),
        3, true);
    close(fd);
    return false;
  }
  listener.Fd = fd;
  listener.Path = path;
  listener.Watch = std::make_unique<platform::SocketWatch>(fd, OnReadable);
  return true;
}

void StopLspListener() {
  TListener& listener = Listener();
  if (listener.Fd < 0) return;
  listener.Watch.reset();
  close(listener.Fd);
  listener.Fd = -1;
  unlink(listener.Path.c_str());
  listener.Path.clear();
}

bool LspListenerActive() {
  return Listener().Fd >= 0;
}

std::uint64_t LspTestAckCount() {
  return gTestAcks.load();
}

}  // namespace halvorn
