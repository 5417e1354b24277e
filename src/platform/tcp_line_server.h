// TCP listening server, accepted connections and timers on the main thread's
// event loop, without Qt in the header: the line-server base of the Foundation
// builds on these.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace halvorn::platform {

// One accepted TCP connection. Create, use and destroy on the thread that
// runs the event loop (the main thread). Events are delivered from that event
// loop; OnDisconnected may also come from inside Close (nothing left to send).
class TcpConnection {
 public:
  struct Events {
    std::function<void(std::string_view)> OnData;  // bytes received
    std::function<void()> OnDisconnected;          // the connection has ended
    std::function<void(int)> OnError;              // socket error, with its code
    std::function<void()> OnWritten;               // queued bytes went out
  };

  ~TcpConnection();  // aborts the connection when still open (no flush)
  TcpConnection(const TcpConnection&) = delete;
  TcpConnection& operator=(const TcpConnection&) = delete;

  // Installs the event handlers; data received before is delivered at once
  // (from the event loop).
  void SetEvents(Events events);

  // Queues bytes for sending. Answers false when the connection cannot send
  // (closed or failed).
  bool Write(std::string_view bytes);
  // Bytes queued and not yet handed to the system.
  std::int64_t PendingWriteBytes() const;
  bool IsConnected() const;
  // Ends the connection after the queued bytes went out; when they have not
  // gone out within flushTimeoutMs (the peer does not read), it is aborted.
  // OnDisconnected follows from the event loop.
  void Close(int flushTimeoutMs);

  // The peer's IPv4 address in wire order (first dotted byte lowest); 0 when
  // it is no IPv4 peer.
  std::uint32_t PeerAddress() const { return FPeerAddress; }
  std::uint16_t PeerPort() const { return FPeerPort; }
  // The peer's address as text ("127.0.0.1", "::1"; an IPv4-mapped IPv6
  // address in its IPv4 form).
  const std::string& PeerText() const { return FPeerText; }
  // The peer is this machine's loopback: 127.0.0.0/8 or ::1 (mapped forms
  // converted).
  bool PeerIsLoopback() const { return FPeerIsLoopback; }
  // The socket descriptor (-1 once closed).
  int Handle() const;

  struct Impl;

 private:
  friend class TcpListener;
  explicit TcpConnection(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> FImpl;
  std::uint32_t FPeerAddress = 0;
  std::uint16_t FPeerPort = 0;
  std::string FPeerText;
  bool FPeerIsLoopback = false;
};

// A listening socket, on all local IPv4 addresses unless Listen names one.
// Main thread only.
class TcpListener {
 public:
  using AcceptHandler = std::function<void(std::unique_ptr<TcpConnection>)>;

  TcpListener();
  ~TcpListener();
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;

  // Starts listening on the port (0: a free port the system picks). Each
  // accepted connection is handed to onAccept from the event loop. Answers an
  // error text, empty on success.
  // `address` is a numeric address to bind to ("127.0.0.1", "::1"); empty
  // means every local IPv4 address.
  //
  // When accepting fails (the process is out of descriptors), the system
  // stops offering new connections to this socket; the listener reports the
  // first such failure through the accept-error handler and tries again each
  // second, so it never stays deaf once descriptors come back.
  std::string Listen(std::uint16_t port, AcceptHandler onAccept, const std::string& address = {});
  // Receives a text for the first failed accept after a good one (a log line
  // for the owner; the platform layer logs nothing itself).
  void SetAcceptErrorHandler(std::function<void(const std::string&)> onError);
  void Close();
  bool IsListening() const;
  // The port listened on (useful after Listen(0)); 0 when not listening.
  std::uint16_t Port() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> FImpl;
};

// A repeating timer of the event loop of the thread that made it. The
// callback runs from the event loop; the timer may be stopped, restarted or
// destroyed from inside it.
class Timer {
 public:
  explicit Timer(std::function<void()> onTimer);
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  void Start(int intervalMs);  // restarts when running
  void Stop();
  bool IsActive() const;
  int Interval() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> FImpl;
};

// Runs the function once from the event loop of the calling thread, after the
// current event has been handled. Needs a Qt application object.
void RunLater(std::function<void()> fn);

}  // namespace halvorn::platform
