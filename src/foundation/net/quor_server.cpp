#include "foundation/net/quor_server.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <string>
#include <thread>

#include "foundation/log/log_sink.h"
#include "foundation/net/host_names.h"
#include "foundation/time/clock.h"
#include "platform/tcp_line_server.h"

namespace halvorn {

namespace {

// Lines longer than this are logged as a possible overflow attempt (and
// handled all the same).
constexpr std::size_t kLongLineWarning = 1000;
// Stored when a tick fails, so that the next tick disconnects.
constexpr int kTickFailedError = 2147483647;

}  // namespace

// ---------------------------------------------------------------------------
// Connection

TQuorServerSpawnedSocket::TQuorServerSpawnedSocket(TQuorServer* server,
                                                   std::unique_ptr<platform::TcpConnection> socket)
    : FServer(server), FSocket(std::move(socket)) {
  if (FServer) {
    FConnectionNumber = FServer->TakeConnectionNumber();
    FRestrictToLocalHost = FServer->RestrictToLocalHost();
    FTickInterval = std::max(FServer->TickInterval(), 1);
    FInput.SetMaxLineLength(FServer->MaxLineLength());
  }
  FTickTimer = std::make_unique<platform::Timer>([this] { TickTimerEvent(); });
  FDelayedTimer = std::make_unique<platform::Timer>([this] {
    if (FDestroying) return;
    TBusy busy(FBusy);
    DelayedSendTimer();
  });
  if (FSocket) {
    FPeerAddress = FSocket->PeerAddress();
    FPeerPort = FSocket->PeerPort();
  }
  FPeerIP = IPToStr(FPeerAddress);
  if (FServer) FServer->FPeerAddresses.push_back(FPeerAddress);
}

TQuorServerSpawnedSocket::~TQuorServerSpawnedSocket() {
  // No flush and no virtual calls here: the close step (FinalClose) has done
  // them. What is left is to keep the server's peer list right when the
  // server frees a connection without that step.
  FDestroying = true;
  if (!FFinalClosed && FServer) {
    auto& peers = FServer->FPeerAddresses;
    auto it = std::find(peers.begin(), peers.end(), FPeerAddress);
    if (it != peers.end()) peers.erase(it);
  }
  FTickTimer.reset();
  FDelayedTimer.reset();
  FSocket.reset();  // aborts a socket still open
  FServer = nullptr;
  FConnectionNumber = -1;
}

void TQuorServerSpawnedSocket::Start() {
  if (FStarted) return;
  FStarted = true;
  TBusy busy(FBusy);
  Log("User connected. IP = " + FPeerIP, 8, false);
  platform::TcpConnection::Events events;
  events.OnData = [this](std::string_view bytes) { OnData(bytes); };
  events.OnDisconnected = [this] { OnDisconnected(); };
  events.OnError = [this](int code) { OnSocketError(code); };
  // Bytes taken by the peer count as activity while the idle count runs; they
  // do not start it while the connection waits on work of its own (paused).
  events.OnWritten = [this] {
    if (FDestroying) return;
    NoteBytesHanded();
    if (FTickTimer->IsActive()) FIdleCount = 0;
  };
  if (!AcceptPeer()) {
    // Refused before anything the peer sent is looked at.
    FRefused = true;
    Disconnect();
  } else {
    FIdleCount = 0;
    FTickTimer->Start(FTickInterval);
  }
  if (FSocket) FSocket->SetEvents(std::move(events));
}

void TQuorServerSpawnedSocket::FinalClose() {
  if (FFinalClosed) return;
  FFinalClosed = true;
  TBusy busy(FBusy);
  FDestroying = true;
  Log("Disconnected. IP = " + FPeerIP, 4, false);
  Log("", 1, false);
  FTickTimer->Stop();
  FDelayedTimer->Stop();
  // Lines that arrived complete are still handed over (the peer may have
  // sent "QUIT" and closed at once).
  if (!FRefused) ProcessInput();
  if (FServer) {
    auto& peers = FServer->FPeerAddresses;
    auto it = std::find(peers.begin(), peers.end(), FPeerAddress);
    if (it != peers.end()) peers.erase(it);
  }
}

void TQuorServerSpawnedSocket::OnData(std::string_view bytes) {
  if (FDestroying || FRefused) return;
  TBusy busy(FBusy);
  if (FDisconnectRequested || FClosed) return;
  const std::size_t before = FInput.LineCount();
  const bool ok = FInput.Append(bytes);
  // Only a completed line is the client's turn ending: half a line followed
  // by silence keeps the idle count running.
  if (FInput.LineCount() > before) {
    StopIdleTimer();
    DispatchLines();
  }
  if (!ok && !FDisconnectRequested && !FClosed) {
    Log("Line without line end exceeding " + std::to_string(FInput.MaxLineLength()) +
            " characters.  Connection closed.",
        10, true);
    Disconnect();
  }
}

void TQuorServerSpawnedSocket::OnDisconnected() {
  if (FDestroying) return;
  TBusy busy(FBusy);
  if (!FRefused) ProcessInput();
  FPeerGone = true;
  StopIdleTimer();
  FDelayedTimer->Stop();
  FDelayed.clear();
  if (FServer) FServer->FConnections.ScheduleFree(this);
}

void TQuorServerSpawnedSocket::OnSocketError(int code) {
  if (FDestroying) return;
  TBusy busy(FBusy);
  SocketError(0, code);
}

void TQuorServerSpawnedSocket::SocketError(int operation, int code) {
  Log("Socket error:" + std::to_string(operation), 8, true);
  FErrorCode = code;
  Disconnect();
}

void TQuorServerSpawnedSocket::TimedOut() {
  Log("User connection timed out.", 9, true);
  SignOff(kTimedOutSignOff);
}

void TQuorServerSpawnedSocket::ResetInput() {
  FInput.ResetInput();
}

void TQuorServerSpawnedSocket::TickTimerEvent() {
  if (FDestroying) return;
  TBusy busy(FBusy);
  try {
    TickTimer();
  } catch (const std::exception& e) {
    Log(std::string("Tick failed: ") + e.what(), 8, true);
    FErrorCode = kTickFailedError;
  } catch (...) {
    Log("Tick failed with an unknown error", 8, true);
    FErrorCode = kTickFailedError;
  }
}

void TQuorServerSpawnedSocket::TickTimer() {
  if (!FBannerDone) {
    FBannerDone = true;
    if (FServer && !FServer->Banner().empty()) {
      if (!CanSendBanner()) return;
      SendLineDelayed(FServer->Banner(), 0);
      AfterBanner();
    }
  }
  if (FErrorCode != 0) Disconnect();
  FIdleCount += FTickInterval;
  const int timeOut = FServer ? FServer->TimeOut() : 60000;
  if (FIdleCount > timeOut && !FDisconnectRequested && !FClosed) {
    TimedOut();
    FTickTimer->Stop();
  }
}

void TQuorServerSpawnedSocket::SignOff(const std::string& text) {
  if (FClosed) {
    Disconnect();
    return;
  }
  if (!text.empty()) SendLineDelayed(text + kSignOffSuffix, 0);
  Disconnect();
}

void TQuorServerSpawnedSocket::SendLine(const std::string& text) {
  if (FClosed || !FSocket) return;
  if (FPaceSendsToLocalPeers && IsLocalHost(FPeerAddress))
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (!FSocket->IsConnected()) return;
  if (FLogSentLines) Log("Sent: \"" + text + "\"", 2, false);
  std::string data = text;
  if (data.size() < 2 || data.compare(data.size() - 2, 2, "\r\n") != 0) data += "\r\n";
  // The socket layer queues what the peer does not take at once; a peer that
  // stops reading is timed out by the idle count, and a close that cannot
  // flush is aborted after TimeOut.
  if (!FSocket->Write(data)) {
    Disconnect();
    return;
  }
  FBytesQueued += static_cast<std::int64_t>(data.size());
  NoteBytesHanded();
  StartIdleTimer();
}

void TQuorServerSpawnedSocket::NoteBytesHanded() {
  // Only a live socket tells the truth: one that has ended may have dropped
  // what it still held.
  if (!FSocket || !FSocket->IsConnected()) return;
  FBytesHanded = std::max(FBytesHanded, FBytesQueued - FSocket->PendingWriteBytes());
}

std::int64_t TQuorServerSpawnedSocket::BytesHandedToSystem() {
  NoteBytesHanded();
  return FBytesHanded;
}

void TQuorServerSpawnedSocket::SendLineDelayed(const std::string& text, int delayMs) {
  if (delayMs <= 0 && FDelayed.empty()) {
    SendLine(text);
    return;
  }
  FDelayed.push_back({text, SteadyMilliseconds() + std::max(delayMs, 0)});
  ScheduleDelayed();
}

void TQuorServerSpawnedSocket::ScheduleDelayed() {
  if (FDelayed.empty()) {
    FDelayedTimer->Stop();
    return;
  }
  const std::int64_t left = FDelayed.front().Due - SteadyMilliseconds();
  FDelayedTimer->Start(static_cast<int>(std::clamp<std::int64_t>(left, 0, 120000)));
}

void TQuorServerSpawnedSocket::DelayedSendTimer() {
  // Lines go out strictly in queue order: one queued with a short delay
  // behind one with a long delay waits for it.
  const std::int64_t now = SteadyMilliseconds();
  while (!FDelayed.empty() && FDelayed.front().Due <= now) {
    std::string text = std::move(FDelayed.front().Text);
    FDelayed.pop_front();
    SendLine(text);
  }
  ScheduleDelayed();
  if (FDelayed.empty() && FClosePending) {
    FClosePending = false;
    CloseSocket();
  }
}

bool TQuorServerSpawnedSocket::SendLines(const std::vector<std::string>& lines) {
  if (FClosed) return false;
  const bool old = FLogSentLines;
  FLogSentLines = false;
  for (const std::string& line : lines) SendLineDelayed(line, 0);
  FLogSentLines = old;
  return true;
}

void TQuorServerSpawnedSocket::Disconnect() {
  FDisconnectRequested = true;
  if (FPeerGone || !FSocket || !FSocket->IsConnected()) return;
  // Lines still waiting for their time (a sign-off behind delayed lines) go
  // out before the socket is closed.
  if (!FDelayed.empty()) {
    FClosePending = true;
    return;
  }
  CloseSocket();
}

void TQuorServerSpawnedSocket::CloseSocket() {
  if (!FSocket) {
    MarkClosed();
    return;
  }
  FSocket->Close(FServer ? FServer->TimeOut() : 60000);
}

void TQuorServerSpawnedSocket::MarkClosed() {
  FClosed = true;
  if (FServer) FServer->FConnections.ScheduleFree(this);
}

void TQuorServerSpawnedSocket::SetPaused(bool paused) {
  FPaused = paused;
  if (!paused) ProcessInput();
}

void TQuorServerSpawnedSocket::ProcessInput() {
  if (FClosed) return;
  DispatchLines();
}

void TQuorServerSpawnedSocket::DispatchLines() {
  if (FClosed || FDisconnectRequested) return;
  TBusy busy(FBusy);
  std::string line;
  while (!FPaused && !FClosed && !FDisconnectRequested && FInput.TakeLine(line)) {
    // The program's fixed wording: "exceding" and the two spaces are kept
    // byte for byte.
    if (line.size() > kLongLineWarning)
      Log("Line read exceding 1000 characters.  Possible buffer overflow attempt.", 10, true);
    if (!AnswerInterceptCheck(line)) ProcessLine(line);
  }
  // Waiting for the client again: count its silence from now (also when the
  // subclass answered nothing, as during a message's data).
  if (!FPaused && !FClosed && !FDisconnectRequested && !FDestroying && !FTickTimer->IsActive())
    StartIdleTimer();
}

void TQuorServerSpawnedSocket::StartIdleTimer() {
  FIdleCount = 0;
  if (FDestroying) return;
  FTickTimer->Start(FTickInterval);
}

void TQuorServerSpawnedSocket::StopIdleTimer() {
  FIdleCount = 0;
  FTickTimer->Stop();
}

int TQuorServerSpawnedSocket::GetSocketHandle() const {
  return FSocket ? FSocket->Handle() : -1;
}

std::string TQuorServerSpawnedSocket::GetLogSource() {
  if (!FLogSource.empty()) return FLogSource;
  if (!FServer) return "TQuorServerSpawnedSocket";
  FLogSource = FServer->TranscriptFileName();
  return FLogSource;
}

void TQuorServerSpawnedSocket::Log(const std::string& text, std::uint8_t detail, bool error) {
  if (FServer && FServer->OnLog && !FServer->OnLog(FServer, this, text, detail, error)) return;
  halvorn::Log(GetLogSource(), "(" + std::to_string(FConnectionNumber) + ") " + text, detail,
               error);
}

bool TQuorServerSpawnedSocket::AnswerInterceptCheck(const std::string& line) {
  if (line != kInterceptCheckLine) return false;
  SendLineDelayed(kInterceptConfirmedLine, 0);
  return true;
}

// ---------------------------------------------------------------------------
// Server

TQuorServer::TQuorServer()
    : FConnections([](const TQuorServerSpawnedSocket* c) { return c->FBusy > 0; },
                   [](TQuorServerSpawnedSocket* c) { c->FinalClose(); }),
      FListener(std::make_unique<platform::TcpListener>()) {
  FCleanupTimer = std::make_unique<platform::Timer>([this] { CleanupTimer(); });
  FCleanupTimer->Start(1000);
}

TQuorServer::~TQuorServer() {
  // The subclass that set the hook is gone already.
  OnLog = nullptr;
  FCleanupTimer->Stop();
  FListener->Close();
  // The subclass is gone already: connections are freed without handing
  // them more lines.
  for (auto& c : FConnections.Items()) {
    c->FDestroying = true;
    c->Log("Disconnected. IP = " + c->FPeerIP, 4, false);
    c->Log("", 1, false);
  }
  FConnections.Clear();
  FPeerAddresses.clear();
}

std::string TQuorServer::SetActive(bool active) {
  if (!active) {
    FListener->Close();
    return {};
  }
  if (FListener->IsListening()) return {};
  if (FPort < 0 || FPort > 65535) return "Invalid port " + std::to_string(FPort);
  return FListener->Listen(
      static_cast<std::uint16_t>(FPort),
      [this](std::unique_ptr<platform::TcpConnection> socket) { Accept(std::move(socket)); });
}

bool TQuorServer::Active() const {
  return FListener->IsListening();
}

int TQuorServer::BoundPort() const {
  return FListener->Port();
}

void TQuorServer::Accept(std::unique_ptr<platform::TcpConnection> socket) {
  std::unique_ptr<TQuorServerSpawnedSocket> connection = CreateConnection(std::move(socket));
  if (!connection) return;
  FConnections.Add(std::move(connection))->Start();
}

int TQuorServer::CountConnectionsFrom(std::uint32_t address) const {
  return static_cast<int>(std::count(FPeerAddresses.begin(), FPeerAddresses.end(), address));
}

void TQuorServer::CleanupTimer() {
  FConnections.FreeEnded();
}

void TQuorServer::ClientError(TQuorServerSpawnedSocket* connection, int errorCode) {
  if (!connection) return;
  connection->FErrorCode = errorCode;
  if (connection->FSocket && connection->FSocket->IsConnected()) connection->Disconnect();
}

std::vector<TQuorServerSpawnedSocket*> TQuorServer::Connections() const {
  std::vector<TQuorServerSpawnedSocket*> result;
  for (const auto& c : FConnections.Items()) result.push_back(c.get());
  return result;
}

}  // namespace halvorn
