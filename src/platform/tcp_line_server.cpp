#include "platform/tcp_line_server.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace halvorn::platform {

struct TcpConnection::Impl {
  QTcpSocket* Socket = nullptr;  // owned; deleted with deleteLater
  QTimer* FlushTimer = nullptr;  // aborts a close that cannot flush
  Events Handlers;
  bool Ended = false;
  std::shared_ptr<bool> Alive = std::make_shared<bool>(true);  // for posted calls

  ~Impl() {
    *Alive = false;
    if (FlushTimer) {
      FlushTimer->stop();
      FlushTimer->deleteLater();
    }
    if (Socket) {
      QObject::disconnect(Socket, nullptr, nullptr, nullptr);
      Socket->abort();
      Socket->deleteLater();
    }
  }

  void Deliver() {
    if (!Socket || !Handlers.OnData) return;
    while (Socket && Socket->bytesAvailable() > 0) {
      QByteArray bytes = Socket->read(64 * 1024);
      if (bytes.isEmpty()) break;
      Handlers.OnData(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
      if (!Handlers.OnData) break;
    }
  }
};

TcpConnection::TcpConnection(std::unique_ptr<Impl> impl) : FImpl(std::move(impl)) {
  QTcpSocket* s = FImpl->Socket;
  QHostAddress peer = s->peerAddress();
  bool ok = false;
  quint32 v4 = peer.toIPv4Address(&ok);
  if (ok) {
    // Qt gives host order with the first dotted byte highest.
    FPeerAddress = ((v4 >> 24) & 0xFF) | (((v4 >> 16) & 0xFF) << 8) | (((v4 >> 8) & 0xFF) << 16) |
                   ((v4 & 0xFF) << 24);
  }
  FPeerPort = s->peerPort();
  if (ok) {
    peer = QHostAddress(v4);
  }
  FPeerText = peer.toString().toStdString();
  FPeerIsLoopback = peer.isLoopback();
  // Replies are written line by line: without this, the tail of a reply
  // waits for the peer's delayed acknowledgement of the part before it.
  s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
  Impl* impl_ = FImpl.get();
  QObject::connect(s, &QTcpSocket::readyRead, s, [impl_] { impl_->Deliver(); });
  QObject::connect(s, &QTcpSocket::disconnected, s, [impl_] {
    if (impl_->Ended) return;
    impl_->Ended = true;
    if (impl_->FlushTimer) impl_->FlushTimer->stop();
    impl_->Deliver();
    if (impl_->Handlers.OnDisconnected) impl_->Handlers.OnDisconnected();
  });
  QObject::connect(s, &QTcpSocket::errorOccurred, s, [impl_](QAbstractSocket::SocketError e) {
    // The peer closing is a plain disconnect, reported through OnDisconnected.
    if (e == QAbstractSocket::RemoteHostClosedError) return;
    if (impl_->Handlers.OnError) impl_->Handlers.OnError(static_cast<int>(e));
  });
  QObject::connect(s, &QTcpSocket::bytesWritten, s, [impl_](qint64) {
    if (impl_->Handlers.OnWritten) impl_->Handlers.OnWritten();
  });
}

TcpConnection::~TcpConnection() = default;

void TcpConnection::SetEvents(Events events) {
  FImpl->Handlers = std::move(events);
  Impl* impl = FImpl.get();
  std::weak_ptr<bool> alive = FImpl->Alive;
  // Bytes that came before the handlers existed.
  QTimer::singleShot(0, FImpl->Socket, [impl, alive] {
    auto a = alive.lock();
    if (a && *a) impl->Deliver();
  });
}

bool TcpConnection::Write(std::string_view bytes) {
  QTcpSocket* s = FImpl->Socket;
  if (!s || s->state() != QAbstractSocket::ConnectedState) return false;
  return s->write(bytes.data(), static_cast<qint64>(bytes.size())) ==
         static_cast<qint64>(bytes.size());
}

std::int64_t TcpConnection::PendingWriteBytes() const {
  return FImpl->Socket ? FImpl->Socket->bytesToWrite() : 0;
}

bool TcpConnection::IsConnected() const {
  return FImpl->Socket && FImpl->Socket->state() == QAbstractSocket::ConnectedState;
}

void TcpConnection::Close(int flushTimeoutMs) {
  QTcpSocket* s = FImpl->Socket;
  if (!s || FImpl->Ended) return;
  if (!FImpl->FlushTimer) {
    FImpl->FlushTimer = new QTimer();
    FImpl->FlushTimer->setSingleShot(true);
    QPointer<QTcpSocket> ps = s;
    QObject::connect(FImpl->FlushTimer, &QTimer::timeout, [ps] {
      if (ps) ps->abort();
    });
    FImpl->FlushTimer->start(std::max(flushTimeoutMs, 0));
  }
  s->disconnectFromHost();  // flushes first; emits disconnected when done
}

int TcpConnection::Handle() const {
  return FImpl->Socket ? static_cast<int>(FImpl->Socket->socketDescriptor()) : -1;
}

struct TcpListener::Impl {
  QTcpServer Server;
  AcceptHandler OnAccept;
  std::function<void(const std::string&)> OnAcceptError;
  QTimer ResumeTimer;         // single shot: accept again after a failure
  bool ErrorReported = false;  // until the next accept succeeds
};

TcpListener::TcpListener() : FImpl(std::make_unique<Impl>()) {
  QObject::connect(&FImpl->Server, &QTcpServer::newConnection, &FImpl->Server, [this] {
    while (FImpl->Server.hasPendingConnections()) {
      QTcpSocket* s = FImpl->Server.nextPendingConnection();
      if (!s) break;
      s->setParent(nullptr);
      FImpl->ErrorReported = false;
      auto impl = std::make_unique<TcpConnection::Impl>();
      impl->Socket = s;
      std::unique_ptr<TcpConnection> c(new TcpConnection(std::move(impl)));
      if (FImpl->OnAccept) FImpl->OnAccept(std::move(c));
    }
  });
  // Qt stops accepting after a failed accept (EMFILE and the like); without a
  // resume the socket would stay deaf for good.
  FImpl->ResumeTimer.setSingleShot(true);
  QObject::connect(&FImpl->ResumeTimer, &QTimer::timeout, &FImpl->Server, [this] {
    if (FImpl->Server.isListening()) FImpl->Server.resumeAccepting();
  });
  QObject::connect(&FImpl->Server, &QTcpServer::acceptError, &FImpl->Server,
                   [this](QAbstractSocket::SocketError) {
                     FImpl->Server.pauseAccepting();
                     if (!FImpl->ErrorReported && FImpl->OnAcceptError) {
                       FImpl->ErrorReported = true;
                       FImpl->OnAcceptError("Accepting a connection failed: " +
                                            FImpl->Server.errorString().toStdString() +
                                            "; accepting again each second");
                     }
                     if (!FImpl->ResumeTimer.isActive()) FImpl->ResumeTimer.start(1000);
                   });
}

TcpListener::~TcpListener() {
  Close();
}

std::string TcpListener::Listen(std::uint16_t port, AcceptHandler onAccept,
                                const std::string& address) {
  Close();
  FImpl->OnAccept = std::move(onAccept);
  QHostAddress bind(QHostAddress::AnyIPv4);
  if (!address.empty() && !bind.setAddress(QString::fromStdString(address)))
    return "Invalid address " + address;
  if (!FImpl->Server.listen(bind, port))
    return FImpl->Server.errorString().toStdString();
  return {};
}

void TcpListener::SetAcceptErrorHandler(std::function<void(const std::string&)> onError) {
  FImpl->OnAcceptError = std::move(onError);
}

void TcpListener::Close() {
  FImpl->ResumeTimer.stop();
  if (FImpl->Server.isListening()) FImpl->Server.close();
}

bool TcpListener::IsListening() const {
  return FImpl->Server.isListening();
}

std::uint16_t TcpListener::Port() const {
  return FImpl->Server.isListening() ? FImpl->Server.serverPort() : 0;
}

struct Timer::Impl {
  QTimer Q;
};

Timer::Timer(std::function<void()> onTimer) : FImpl(std::make_unique<Impl>()) {
  QObject::connect(&FImpl->Q, &QTimer::timeout, &FImpl->Q, std::move(onTimer));
}

Timer::~Timer() = default;

void Timer::Start(int intervalMs) {
  FImpl->Q.start(std::max(intervalMs, 0));
}
void Timer::Stop() {
  FImpl->Q.stop();
}
bool Timer::IsActive() const {
  return FImpl->Q.isActive();
}
int Timer::Interval() const {
  return FImpl->Q.interval();
}

void RunLater(std::function<void()> fn) {
  QTimer::singleShot(0, QCoreApplication::instance(), std::move(fn));
}

}  // namespace halvorn::platform
