// The base of the program's local line servers: a listening TCP server on the
// main thread that makes one connection object per accepted client, splits
// what the client sends into lines and hands them to the subclass, sends
// reply lines, a banner and delayed lines, times idle clients out, answers the
// interception self-test line and logs every event under the server's name.
// It knows nothing of any mail protocol.
//
// Everything here runs on the main thread (the thread of the Qt event loop):
// socket events and timers arrive from that loop. Nothing is locked.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "foundation/net/connection_set.h"
#include "foundation/net/line_buffer.h"

namespace halvorn {

namespace platform {
class TcpConnection;
class TcpListener;
class Timer;
}  // namespace platform

class TQuorServer;
class TQuorServerSpawnedSocket;

// Called before each log record of a connection; false suppresses the record.
using TServerLogEvent =
    std::function<bool(TQuorServer* server, TQuorServerSpawnedSocket* connection,
                       const std::string& text, std::uint8_t detail, bool error)>;

// Texts of the line-server base.
inline constexpr const char* kInterceptCheckLine = "~~Intercept check~~";
inline constexpr const char* kInterceptConfirmedLine = "~~Intercept confirmed~~";
inline constexpr const char* kSignOffSuffix = " Halvorn server signing off";
inline constexpr const char* kTimedOutSignOff = "Sorry user timed out.";

// One accepted client. Made by the server's factory (CreateConnection of the
// subclass); owned by the server, which frees it from the event loop after it
// has ended (never under its own feet: a connection that ends itself inside
// ProcessLine lives on until that call has returned). Main thread only.
class TQuorServerSpawnedSocket {
 public:
  TQuorServerSpawnedSocket(TQuorServer* server, std::unique_ptr<platform::TcpConnection> socket);
  virtual ~TQuorServerSpawnedSocket();
  TQuorServerSpawnedSocket(const TQuorServerSpawnedSocket&) = delete;
  TQuorServerSpawnedSocket& operator=(const TQuorServerSpawnedSocket&) = delete;

  // Logs "User connection timed out." and signs off with "Sorry user timed out.".
  virtual void TimedOut();
  // Handles one received line (without its line end).
  virtual void ProcessLine(const std::string& line) = 0;
  // Forgets the queued lines and the partial line.
  virtual void ResetInput();
  // The periodic tick (TickInterval of the server, 1000 ms by default): the
  // banner on the first tick, a stored error disconnects, the idle count.
  virtual void TickTimer();
  virtual bool CanSendBanner() { return true; }
  virtual void AfterBanner() {}
  // Sends the text + " Halvorn server signing off" (unless the text is empty)
  // and disconnects; only disconnects when already closed.
  virtual void SignOff(const std::string& text);
  // Called once, when the connection starts and before anything it received
  // is handled. A subclass that refuses the peer (for example a server
  // restricted to local peers, see RestrictToLocalHost) answers false after
  // signing off with its own text; the connection then handles nothing the
  // peer sent, not even the interception self-test line. The base accepts
  // every peer.
  virtual bool AcceptPeer() { return true; }

  // Sends one line now (CR LF appended unless present). Does nothing when
  // closed or no longer connected; a failed send disconnects.
  void SendLine(const std::string& text);
  // Sends the line after delayMs; with delay 0 and nothing waiting, at once.
  // Lines always go out in the order they were queued.
  void SendLineDelayed(const std::string& text, int delayMs);
  // Sends every line (not logged one by one); false when closed.
  bool SendLines(const std::vector<std::string>& lines);
  // Ends the connection: stops reading, sends what is queued (for at most the
  // server's TimeOut) and closes.
  void Disconnect();
  // Marks the connection closed (nothing more is sent) and hands it to the
  // server to be freed later.
  void MarkClosed();
  // Paused: received lines are queued but not handed to ProcessLine. Resuming
  // dispatches the queued lines at once.
  void SetPaused(bool paused);
  bool Paused() const { return FPaused; }
  // Hands the complete lines received to ProcessLine (unless closed).
  void ProcessInput();
  void StartIdleTimer();
  void StopIdleTimer();
  void ResetIdleTime() { FIdleCount = 0; }
  int IdleCount() const { return FIdleCount; }
  bool HasPendingInput() const { return FInput.HasPendingInput(); }
  // Bytes of the lines sent so far (line ends included), and how many of
  // them the socket layer has handed to the system: a reply counts as handed
  // over once this reaches the count at its end.
  std::int64_t BytesQueued() const { return FBytesQueued; }
  std::int64_t BytesHandedToSystem();
  int GetSocketHandle() const;
  // The service name of the connection's log records: the server's
  // TranscriptFileName (cached on first use), "TQuorServerSpawnedSocket"
  // without a server.
  std::string GetLogSource();
  // Writes a log record "(<number>) <text>" under GetLogSource, after asking
  // the server's OnLog hook.
  void Log(const std::string& text, std::uint8_t detail, bool error);
  // Answers "~~Intercept check~~" (exactly) with "~~Intercept confirmed~~";
  // true when the line was that check.
  bool AnswerInterceptCheck(const std::string& line);

  TQuorServer* Server() const { return FServer; }
  int ConnectionNumber() const { return FConnectionNumber; }
  bool RestrictToLocalHost() const { return FRestrictToLocalHost; }
  // The peer's IPv4 address (wire order) and its dotted form.
  std::uint32_t PeerAddress() const { return FPeerAddress; }
  const std::string& PeerIP() const { return FPeerIP; }
  std::uint16_t PeerPort() const { return FPeerPort; }
  bool Closed() const { return FClosed; }
  bool DisconnectRequested() const { return FDisconnectRequested; }
  bool PeerGone() const { return FPeerGone; }
  int ErrorCode() const { return FErrorCode; }
  void SetErrorCode(int code) { FErrorCode = code; }
  bool LogSentLines() const { return FLogSentLines; }
  void SetLogSentLines(bool on) { FLogSentLines = on; }
  // When on, each line sent to a peer on this machine waits 10 ms first.
  bool PaceSendsToLocalPeers() const { return FPaceSendsToLocalPeers; }
  void SetPaceSendsToLocalPeers(bool on) { FPaceSendsToLocalPeers = on; }

 private:
  friend class TQuorServer;
  void Start();       // called by the server once the object is complete
  void FinalClose();  // the close step before the object is freed
  void OnData(std::string_view bytes);
  void OnDisconnected();
  void OnSocketError(int code);
  void SocketError(int operation, int code);
  void DispatchLines();
  void DelayedSendTimer();
  void ScheduleDelayed();
  void CloseSocket();
  void TickTimerEvent();

  TQuorServer* FServer;
  std::unique_ptr<platform::TcpConnection> FSocket;
  int FConnectionNumber = -1;
  bool FRestrictToLocalHost = false;
  std::uint32_t FPeerAddress = 0;
  std::uint16_t FPeerPort = 0;
  std::string FPeerIP;
  TLineBuffer FInput;
  std::unique_ptr<platform::Timer> FTickTimer;
  int FTickInterval = 1000;
  int FIdleCount = 0;
  struct TDelayedLine {
    std::string Text;
    std::int64_t Due;  // steady-clock milliseconds
  };
  std::deque<TDelayedLine> FDelayed;
  std::unique_ptr<platform::Timer> FDelayedTimer;
  int FErrorCode = 0;
  std::string FLogSource;
  bool FDestroying = false;
  bool FBannerDone = false;
  bool FPeerGone = false;
  bool FLogSentLines = true;
  bool FClosed = false;
  bool FDisconnectRequested = false;
  bool FPaused = false;
  bool FPaceSendsToLocalPeers = false;
  bool FStarted = false;
  bool FRefused = false;
  bool FFinalClosed = false;
  bool FClosePending = false;  // close once the delayed lines are out
  int FBusy = 0;               // depth of our own handlers on the stack
  std::int64_t FBytesQueued = 0;
  std::int64_t FBytesHanded = 0;
  void NoteBytesHanded();
};

// The listening server. A subclass provides CreateConnection. Main thread
// only; needs a Qt application object (the event loop) to be running.
class TQuorServer {
 public:
  TQuorServer();
  virtual ~TQuorServer();
  TQuorServer(const TQuorServer&) = delete;
  TQuorServer& operator=(const TQuorServer&) = delete;

  // Listening on Port (all local IPv4 addresses) or not. Activating answers
  // an error text (empty on success) and stays inactive on failure; making
  // the server inactive closes the listening socket (live connections go on).
  std::string SetActive(bool active);
  bool Active() const;
  int Port() const { return FPort; }
  void SetPort(int port) { FPort = port; }
  // The port actually listened on (Port, or the one the system chose for 0).
  int BoundPort() const;
  int TimeOut() const { return FTimeOut; }
  void SetTimeOut(int ms) { FTimeOut = ms; }
  bool RestrictToLocalHost() const { return FRestrictToLocalHost; }
  void SetRestrictToLocalHost(bool on) { FRestrictToLocalHost = on; }
  int MaxConnections() const { return FMaxConnections; }
  void SetMaxConnections(int n) { FMaxConnections = n; }
  int ActiveConnections() const { return GetActiveConnections(); }
  int GetActiveConnections() const { return static_cast<int>(FPeerAddresses.size()); }
  const std::string& Banner() const { return FBanner; }
  void SetBanner(const std::string& text) { FBanner = text; }
  const std::string& TranscriptFileName() const { return FTranscriptFileName; }
  void SetTranscriptFileName(const std::string& name) { FTranscriptFileName = name; }
  TServerLogEvent OnLog;
  // The longest line without a line end a client may send; beyond it the
  // connection is logged and closed. Copied into each new connection.
  std::size_t MaxLineLength() const { return FMaxLineLength; }
  void SetMaxLineLength(std::size_t n) { FMaxLineLength = n; }
  // Interval of each connection's tick (banner, idle count), 1000 ms.
  int TickInterval() const { return FTickInterval; }
  void SetTickInterval(int ms) { FTickInterval = ms; }

  // Number of live connections from the IPv4 address (wire order).
  int CountConnectionsFrom(std::uint32_t address) const;
  // Frees the connections that have ended and are not busy.
  void CleanupTimer();
  // Marks a connection's socket error handled: stores the code in it and
  // closes it.
  void ClientError(TQuorServerSpawnedSocket* connection, int errorCode);
  // The live connection objects, oldest first.
  std::vector<TQuorServerSpawnedSocket*> Connections() const;

 protected:
  // Constructs the connection object for an accepted socket (the subclass's
  // factory); null refuses the socket. Subclasses also set TranscriptFileName
  // to their class name in their constructor (the base's is "TQuorServer").
  virtual std::unique_ptr<TQuorServerSpawnedSocket> CreateConnection(
      std::unique_ptr<platform::TcpConnection> socket) = 0;

 private:
  friend class TQuorServerSpawnedSocket;
  void Accept(std::unique_ptr<platform::TcpConnection> socket);
  int TakeConnectionNumber() { return FConnectionCounter++; }

  int FPort = 25;
  int FTimeOut = 60000;
  bool FRestrictToLocalHost = false;
  int FMaxConnections = 1;
  std::string FBanner;
  std::string FTranscriptFileName = "TQuorServer";
  std::size_t FMaxLineLength = TLineBuffer::kDefaultMaxLineLength;
  int FTickInterval = 1000;
  int FConnectionCounter = 1;
  std::vector<std::uint32_t> FPeerAddresses;
  TConnectionSet<TQuorServerSpawnedSocket> FConnections;
  std::unique_ptr<platform::Timer> FCleanupTimer;
  std::unique_ptr<platform::TcpListener> FListener;
};

}  // namespace halvorn
