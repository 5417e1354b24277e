// The line-oriented TCP client through which every outgoing TCP connection of
// the program is made (POP3 download, SMTP sending, relays, the central
// service, address validation, link checks).
//
// It is blocking: each operation waits for its result, up to the client's
// time-out, and may be called from a worker thread or from the main thread.
// On the main thread every wait keeps handling window messages in steps of at
// most 100 ms, so that the program's own servers (which run there) can answer
// connections the program itself opens. The socket is a POSIX IPv4 socket
// driven with poll.
//
// While a client connects to port 110 or 25, its destination address is
// registered as the program's own outgoing POP3 or SMTP connection, so that
// the interception layer never redirects the program's own connections back to
// its local servers. Exactly the address registered is removed again, and the
// connection goes to exactly that address.
//
// Received data goes through the program's one line splitter (TLineBuffer):
// CR LF, a bare LF or a bare CR ends a line, empty lines are lines like any
// other, and no line is ever split. A line longer than kMaxClientLineLength
// fails the read with "Readln excepted with line too long" and the connection
// is closed, since the rest of the stream can no longer be trusted to be in
// step; lines received before it are still handed out first.
//
// Binary protocols (framed messages of the central service) switch the client
// to binary mode: received bytes are then kept exactly as they came (zero
// bytes, bare CR and LF included) in a byte buffer instead of the line
// splitter; Connected probes without altering them and ReadAvailable hands
// them all out. ReadLn is for line mode only.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "foundation/time/date_time.h"
#include "foundation/net/line_buffer.h"

namespace halvorn {

// The longest line ReadLn accepts, without its line end: the largest message
// the program handles, so even a message without line breaks fits.
constexpr std::size_t kMaxClientLineLength = TLineBuffer::kDefaultMaxLineLength;

class TQuorAbstractClientSocket;

// Fired with the client that lost or closed its connection.
using TClientDisconnectEvent = std::function<void(TQuorAbstractClientSocket* sender)>;
// Receives every failure text of the client.
using TClientErrorEvent =
    std::function<void(TQuorAbstractClientSocket* client, const std::string& text)>;
// Called with the client when it is destroyed; captures its own user data.
using TClientDestroyNotification = std::function<void(TQuorAbstractClientSocket* client)>;
// An owner flag the client reads (a worker's terminated or stop request).
using TOwnerFlag = std::function<bool()>;
// Progress of WriteStream: (text, bytes sent, size).
using TWriteProgress =
    std::function<void(const std::string& text, std::int64_t sent, std::int64_t size)>;

// The interface and the state common to every client. Clients are used by one
// thread at a time; not copyable.
class TQuorAbstractClientSocket {
 public:
  explicit TQuorAbstractClientSocket(std::string name);
  virtual ~TQuorAbstractClientSocket();
  TQuorAbstractClientSocket(const TQuorAbstractClientSocket&) = delete;
  TQuorAbstractClientSocket& operator=(const TQuorAbstractClientSocket&) = delete;

  const std::string& Name() const { return FName; }

  // The deadline of Connect and the longest wait of one ReadLn or WriteLn, ms.
  int TimeOut = 60000;
  // The most connection attempts within one Connect.
  int ConnectRetries = 5;

  virtual int GetPort() const = 0;
  virtual void SetPort(int port) = 0;
  virtual std::string GetHost() const = 0;
  // A host name or a dotted address.
  virtual void SetHost(const std::string& host) = 0;
  virtual int GetTimeOut() const { return TimeOut; }
  virtual void SetTimeOut(int ms) { TimeOut = ms; }
  // The host resolved to an IPv4 address (5000 ms at most); 0 when it cannot
  // be resolved.
  virtual std::uint32_t GetHostIP() const = 0;
  virtual TClientDisconnectEvent GetOnDisconnect() const { return FOnDisconnect; }
  virtual void SetOnDisconnect(TClientDisconnectEvent event) { FOnDisconnect = std::move(event); }
  virtual TClientErrorEvent GetOnError() const { return FOnError; }
  virtual void SetOnError(TClientErrorEvent event) { FOnError = std::move(event); }
  // Fires OnDisconnect when set.
  virtual void DoDisconnect(TQuorAbstractClientSocket* sender);

  virtual bool Connect() = 0;
  virtual bool Connected() = 0;
  virtual bool Close() = 0;
  virtual bool ReadLn(std::string& line) = 0;
  // What arrived after the last line end and is still buffered: the part of
  // a line that a failed ReadLn leaves behind. Empty by default.
  virtual std::string UnfinishedLine() const { return {}; }
  virtual bool WriteLn(const std::string& line) = 0;
  virtual bool ReadAvailable(std::string& stream) = 0;
  virtual bool WriteStream(const std::string& stream, const TWriteProgress& progress) = 0;

  // Fires OnError with this client and the text when set.
  void DoError(const std::string& text);

  // The owner's flags; unset flags read false.
  void SetTerminatedFlag(TOwnerFlag flag) { FTerminated = std::move(flag); }
  void SetStopFlag(TOwnerFlag flag) { FStopRequested = std::move(flag); }
  bool IsTerminated() const { return FTerminated && FTerminated(); }
  bool IsStopRequested() const { return FStopRequested && FStopRequested(); }

  // Called with the client when it is destroyed.
  void SetDestroyNotification(TClientDestroyNotification notification) {
    FDestroyNotification = std::move(notification);
  }

 protected:
  // The derived destructor calls this last, while the object is still whole.
  void NotifyDestroy();

 private:
  std::string FName;
  TClientDisconnectEvent FOnDisconnect;
  TClientErrorEvent FOnError;
  TClientDestroyNotification FDestroyNotification;
  TOwnerFlag FTerminated;
  TOwnerFlag FStopRequested;
};

// The implementation over a POSIX TCP socket.
class TIndyClientSocket : public TQuorAbstractClientSocket {
 public:
  explicit TIndyClientSocket(std::string name);
  ~TIndyClientSocket() override;

  int GetPort() const override { return FPort; }
  void SetPort(int port) override { FPort = port; }
  std::string GetHost() const override { return FHost; }
  void SetHost(const std::string& host) override { FHost = host; }
  std::uint32_t GetHostIP() const override;
  void DoDisconnect(TQuorAbstractClientSocket* sender) override;

  // Connects with up to ConnectRetries attempts within TimeOut ms. Each
  // attempt may take TimeOut ms, or 10000 ms when TimeOut / ConnectRetries is
  // under 5000. False on port 0, an unresolvable host, a set terminated or
  // stop flag, or when no attempt succeeded; the last error goes to OnError
  // as "TIndyClientSocket.Connect excepted with " + its text; a stop or
  // terminate request reports nothing. A dotted host is taken as it is
  // ("0.0.0.0" reaches the local host); a name is resolved once, and that
  // address is both registered (ports 110 and 25) and connected to.
  bool Connect() override;
  // The connection is open, or the peer has closed it but received lines (in
  // binary mode: bytes) are still waiting to be read. A connection found dead
  // is dropped. What the probe receives is kept for the next read.
  bool Connected() override;
  // Closes an open connection and fires DoDisconnect; true unless closing
  // failed.
  bool Close() override;
  // The next line without its line end. False on a set terminated flag, on
  // time-out (reported as "Readln Timed Out." only when TimeOut > 100), when
  // the connection ended with nothing left to read, or on a line over
  // kMaxClientLineLength. Bytes after the last line end when the peer closes
  // come back as a final line. In binary mode it answers false at once and
  // reports "Readln excepted with binary mode".
  bool ReadLn(std::string& line) override;
  std::string UnfinishedLine() const override { return FLines.PartialLine(); }
  // Writes the line and CR LF. A set terminated flag answers true without
  // writing.
  bool WriteLn(const std::string& line) override;
  // Appends what is buffered (complete lines with CR LF restored, then the
  // unfinished line; in binary mode the bytes exactly as received) and what
  // has arrived, waiting at most 1 ms when nothing was buffered; true when
  // anything was appended.
  bool ReadAvailable(std::string& stream) override;
  // Sends the whole stream in pieces of 1024 bytes, asking the heartbeat
  // between pieces; true when all of it was sent.
  bool WriteStream(const std::string& stream, const TWriteProgress& progress) override;

  // The 500 ms poll check: while the poll timer runs (from a successful
  // connect until a disconnect) and OnDisconnect is set, a dead connection
  // fires DoDisconnect. The owner's event loop calls it; it never blocks.
  void PollTimer();
  bool PollTimerRunning() const { return FPollTimerRunning; }

  // How many connection attempts the last Connect made (diagnostics).
  int LastConnectAttempts() const { return FConnectAttempts; }

  // Drops the socket and any buffered data; host and port stay.
  void Recreate();

  // Binary mode (see the top of this file); off when created. Switching keeps
  // what is buffered: ReadAvailable hands out the line buffer's content
  // before the byte buffer's.
  void SetBinaryMode(bool binary) { FBinary = binary; }
  bool BinaryMode() const { return FBinary; }

 private:
  enum class TWait { Ready, TimedOut, Stopped, Failed };
  // Waits until the socket is ready for `events` or `ms` have passed, in
  // steps of at most 100 ms that handle window messages on the main thread
  // and check the owner's flags (`checkStop` adds the stop flag).
  TWait WaitFor(short events, std::int64_t ms, bool checkStop, std::string& error);
  bool ConnectOnce(std::uint32_t address, std::int64_t attemptMs, std::string& error);
  // Reads what the socket has into the line buffer (binary mode: the byte
  // buffer): >0 bytes, 0 peer closed, -1 nothing now, -2 error (text in
  // `error`).
  long FillBuffer(std::string& error);
  // Received data waits in either buffer.
  bool HasPendingInput() const { return FLines.HasPendingInput() || !FBytes.empty(); }
  bool SendAll(const char* data, std::size_t size, std::string& error);
  void CloseSocket();

  std::string FHost;
  int FPort = 0;
  int FSocket = -1;
  bool FPeerClosed = false;
  bool FPollTimerRunning = false;
  int FConnectAttempts = 0;
  bool FBinary = false;
  TLineBuffer FLines{kMaxClientLineLength};  // received, not yet handed out
  std::string FBytes;                        // the same in binary mode
};

// The class every caller creates, giving it a name.
class TQuorClientSocket : public TIndyClientSocket {
 public:
  explicit TQuorClientSocket(std::string name) : TIndyClientSocket(std::move(name)) {}
};

}  // namespace halvorn
