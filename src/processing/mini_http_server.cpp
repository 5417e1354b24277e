#include "processing/mini_http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>

#include "foundation/files/version_info.h"
#include "foundation/log/log_sink.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/text/numbers.h"
#include "foundation/text/text_helpers.h"
#include "foundation/text/text_normalisation.h"
#include "foundation/time/clock.h"
#include "foundation/time/date_time.h"
#include "platform/tcp_line_server.h"
#include "platform/url_fetch.h"

namespace halvorn {

namespace {

constexpr char kCrLf[] = "\r\n";
constexpr int kCloseFlushMs = 5000;
constexpr std::int64_t kFetchMaxBytes = 8 * 1024 * 1024;
constexpr int kFetchTimeOutMs = 30000;

// Keeps a connection from being freed while one of its handlers runs (a
// handler may run a nested event loop).
class TBusy {
 public:
  explicit TBusy(int& depth) : FDepth(depth) { ++FDepth; }
  ~TBusy() { --FDepth; }
  TBusy(const TBusy&) = delete;
  TBusy& operator=(const TBusy&) = delete;

 private:
  int& FDepth;
};

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  const std::size_t n = std::char_traits<char>::length(prefix);
  if (text.size() < n) return false;
  for (std::size_t i = 0; i < n; ++i)
    if (LowerChar1252(text[i]) != LowerChar1252(prefix[i])) return false;
  return true;
}

bool ContainsNoCase(const std::string& text, const std::string& part) {
  return LowerCase1252(text).find(LowerCase1252(part)) != std::string::npos;
}

// The extension of a name without its dot; empty without one.
std::string ExtensionOf(const std::string& name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos || name.find('/', dot) != std::string::npos) return {};
  return name.substr(dot + 1);
}

}  // namespace

const char* HttpStatusText(int status) {
  switch (status) {
    case 100: return "Continue";
    case 101: return "Switching Protocols";
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 203: return "Non-Authoritative Information";
    case 204: return "No Content";
    case 205: return "Reset Content";
    case 206: return "Partial Content";
    case 207: return "Multi-Status";
    case 300: return "Multiple Choices";
    case 301: return "Moved Permanently";
    case 302: return "Moved Temporarily";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 305: return "Use Proxy";
    case 400: return "Bad Request";
    case 401: return "Unauthorised";
    case 402: return "Payment Required";
    case 403: return "Forbidden";
    case 404: return "Not found";
    case 405: return "Method Not Allowed";
    case 406: return "Not Acceptable";
    case 407: return "Proxy Authentication Required";
    case 408: return "Request Time-Out";
    case 409: return "Conflict";
    case 410: return "Gone";
    case 411: return "Length Required";
    case 412: return "Precondition Failed";
    case 413: return "Request Entity Too Large";
    case 414: return "Request-URL Too Large";
    case 415: return "Unsupported Media Type";
    case 500: return "Internal Error ";
    case 501: return "Not implemented";
    case 502: return "Server busy";
    case 503: return "Out of Resources";
    case 504: return "Gateway Time-Out";
    case 505: return "HTTP Version not supported";
    default: return "";
  }
}

std::string HttpErrorBody(const std::string& title, const std::string& reason) {
  return "<p><font face=\"Arial\"><b>" + title + "</b> - Sorry, " + reason + "</font></p>";
}

// ---------------------------------------------------------------------------
// Connection

TMiniHttpServerSpawnedSocket::TMiniHttpServerSpawnedSocket(
    TMiniHttpServer* server, std::unique_ptr<platform::TcpConnection> socket)
    : FServer(server), FSocket(std::move(socket)) {
  if (FServer) {
    FKeepAliveMode = FServer->KeepAliveMode;
    FConnectionNumber = FServer->FConnectionCounter++;
  }
  FIdleTimer = std::make_unique<platform::Timer>([this] {
    if (FEnded) return;
    TBusy busy(FBusy);
    Tick();
  });
}

TMiniHttpServerSpawnedSocket::~TMiniHttpServerSpawnedSocket() {
  *FAlive = false;
  FEnded = true;
  FIdleTimer.reset();
  FSocket.reset();  // aborts a socket still open
}

bool TMiniHttpServerSpawnedSocket::Connected() const {
  return FSocket && !FClosing && !FEnded && FSocket->IsConnected();
}

bool TMiniHttpServerSpawnedSocket::PeerIsLoopback() const {
  return FSocket && FSocket->PeerIsLoopback();
}

const std::string& TMiniHttpServerSpawnedSocket::PeerText() const {
  static const std::string kNone;
  return FSocket ? FSocket->PeerText() : kNone;
}

void TMiniHttpServerSpawnedSocket::Start() {
  TBusy busy(FBusy);
  platform::TcpConnection::Events events;
  events.OnData = [this](std::string_view bytes) { OnData(bytes); };
  events.OnDisconnected = [this] { OnDisconnected(); };
  events.OnError = [this](int code) {
    if (FEnded) return;
    WriteToLog("Client Socket error:" + std::to_string(code), true);
    CloseSocket();
  };
  FIdleElapsed = 0;
  FIdleTimer->Start(FServer ? FServer->TickInterval : 1000);
  const bool accepted = AcceptConnection();
  if (FSocket) FSocket->SetEvents(std::move(events));
  if (!accepted && !FClosing) CloseSocket();
}

void TMiniHttpServerSpawnedSocket::WriteToLog(const std::string& text, bool error) {
  if (FServer && FServer->OnWriteToLog) FServer->OnWriteToLog(this, text, error);
}

void TMiniHttpServerSpawnedSocket::CloseSocket() {
  if (FClosing || FEnded) return;
  FClosing = true;
  ClearRequest();
  if (FSocket) FSocket->Close(kCloseFlushMs);
}

void TMiniHttpServerSpawnedSocket::Reset() {
  ClearRequest();
  CloseSocket();
}

void TMiniHttpServerSpawnedSocket::ClearRequest() {
  FRequestData.clear();
  FRequestData.shrink_to_fit();
  FScanFrom = 1;
  FReadingHeader = true;
  FHeaderDone = false;
  FContentLength = -1;
  FHeaderLines.Clear();
  FMethod.clear();
  FPath.clear();
  FRequestStarted = -1;
}

void TMiniHttpServerSpawnedSocket::OnDisconnected() {
  if (FEnded) return;
  FEnded = true;
  FIdleTimer->Stop();
  FIdleElapsed = 0;
  if (FServer) FServer->ScheduleFree(this);
}

void TMiniHttpServerSpawnedSocket::Tick() {
  if (FClosing) return;
  const int interval = FServer ? FServer->TickInterval : 1000;
  FIdleElapsed += interval;
  const std::uint32_t requestTimeOut = FServer ? FServer->RequestTimeOut : 30000;
  if (FRequestStarted >= 0 && !FInHandler &&
      SteadyMilliseconds() - FRequestStarted > static_cast<std::int64_t>(requestTimeOut)) {
    WriteToLog("Request not complete in time; connection closed", true);
    RefuseAndClose(408, "408 Error", HttpErrorBody("408 Error", "your request took too long."));
    return;
  }
  const std::uint32_t idle = FServer ? FServer->IdleTimeOut : 300000;
  if (!FInHandler && FIdleElapsed > static_cast<std::int64_t>(idle)) {
    WriteToLog("Idle connection closed", false);
    CloseSocket();
  }
}

void TMiniHttpServerSpawnedSocket::OnData(std::string_view bytes) {
  if (FEnded || FClosing) return;
  TBusy busy(FBusy);
  FIdleElapsed = 0;
  if (FRequestStarted < 0) FRequestStarted = SteadyMilliseconds();
  FRequestData.append(bytes);
  try {
    ParseRequest();
  } catch (const std::exception& e) {
    WriteToLog(std::string("Request handling failed: ") + e.what(), true);
    CloseSocket();
  } catch (...) {
    WriteToLog("Request handling failed", true);
    CloseSocket();
  }
}

void TMiniHttpServerSpawnedSocket::RefuseAndClose(int status, const std::string& title,
                                                  const std::string& body) {
  FCloseAfterReply = true;
  SendHtml(status, title, body);
  if (!FClosing) CloseSocket();
}

void TMiniHttpServerSpawnedSocket::ParseRequest() {
  const std::size_t maxHeader = FServer ? FServer->MaxHeaderBytes : 64 * 1024;
  const std::size_t maxBody = FServer ? FServer->MaxBodyBytes : 64 * 1024;
  const std::size_t maxQuery = FServer ? FServer->MaxQueryBytes : 9999;
  if (!FHeaderDone) {
    if (FRequestData.size() < 5) return;
    // The first CR LF CR LF at an offset from 1 on; the search resumes where
    // the last one stopped.
    std::size_t end = std::string::npos;
    for (std::size_t i = std::max<std::size_t>(FScanFrom, 1); i + 4 <= FRequestData.size();
         ++i) {
      if (FRequestData.compare(i, 4, "\r\n\r\n") == 0) {
        end = i;
        break;
      }
    }
    if (end == std::string::npos) {
      FScanFrom = FRequestData.size() >= 4 ? FRequestData.size() - 3 : 1;
      if (FRequestData.size() > maxHeader) {
        WriteToLog("Request header too large; connection closed", true);
        RefuseAndClose(413, "413 Error", HttpErrorBody("413 Error", "your request was too large."));
      }
      return;
    }
    if (end > maxHeader) {
      WriteToLog("Request header too large; connection closed", true);
      RefuseAndClose(413, "413 Error", HttpErrorBody("413 Error", "your request was too large."));
      return;
    }
    FHeaderDone = true;
    FReadingHeader = false;
    TStringList lines;
    lines.SetText(std::string_view(FRequestData).substr(0, end));
    TStringList kept;
    for (int i = 0; i < lines.Count(); ++i)
      if (!lines[i].empty()) kept.Add(lines[i]);
    if (kept.Count() == 0) {
      WriteToLog("Malformed request header", true);
      FCloseAfterReply = true;
      SendHtml(404, "400 Error", kMalformedHeaderBody);
      Reset();
      return;
    }
    const std::string& first = kept[0];
    const std::size_t space = first.find(' ');
    FMethod = first.substr(0, space);
    FPath.clear();
    if (space != std::string::npos) {
      const std::size_t next = first.find(' ', space + 1);
      if (next != std::string::npos) FPath = first.substr(space + 1, next - space - 1);
    }
    const std::size_t question = FPath.find('?');
    if (question != std::string::npos && FPath.size() - question - 1 > maxQuery) {
      WriteToLog("Request URL too long; connection closed", true);
      RefuseAndClose(414, "414 Error",
                     HttpErrorBody("414 Error", "the requested URL was too long."));
      return;
    }
    FHeaderLines.Clear();
    for (int i = 1; i < kept.Count(); ++i) FHeaderLines.Add(kept[i]);
    FContentLength = -1;
    bool lengthSeen = false;
    FConnectionHeader = 2;
    for (int i = 0; i < FHeaderLines.Count(); ++i) {
      const std::string& line = FHeaderLines[i];
      if (!lengthSeen && StartsWithNoCase(line, "Content-length:")) {
        lengthSeen = true;
        const std::string value = TrimText(line.substr(15, 999));
        std::int32_t n = 0;
        // A number too large for 32 bits is as much too large as any other.
        const bool digits = !value.empty() && value.find_first_not_of("0123456789") ==
                                                  std::string::npos;
        if (digits && value.size() > 9) {
          FContentLength = static_cast<std::int32_t>(maxBody) + 1;
        } else {
          FContentLength = TryStrToInt(value, n) ? n : 0;
        }
      } else if (StartsWithNoCase(line, "Connection:")) {
        if (ContainsNoCase(line, "Keep-Alive"))
          FConnectionHeader = 0;
        else if (ContainsNoCase(line, "Close"))
          FConnectionHeader = 1;
      }
    }
    FHeadOnly = LowerCase1252(FMethod) == "head";
    if (FContentLength > 0) {
      if (static_cast<std::size_t>(FContentLength) > maxBody) {
        WriteToLog("Request body too large; connection closed", true);
        RefuseAndClose(413, "413 Error", HttpErrorBody("413 Error", "your request was too large."));
        return;
      }
      FReadingHeader = true;
      FRequestData.erase(0, end + 4);
    }
  }
  if (FContentLength > 0 && FRequestData.size() < static_cast<std::size_t>(FContentLength))
    return;
  CompleteRequest();
}

void TMiniHttpServerSpawnedSocket::CompleteRequest() {
  TStringList body;
  if (FContentLength > 0)
    body.SetText(std::string_view(FRequestData).substr(0, static_cast<std::size_t>(FContentLength)));
  else
    body.SetText(FRequestData);
  const std::string method = FMethod;
  const std::string path = FPath;
  TStringList headers = FHeaderLines;
  FReadingHeader = false;
  FRequestStarted = -1;
  FReplied = false;
  if (path == "NOOP") {
    SendHtml(201, "", "");
    return;
  }
  FInHandler = true;
  FIdleTimer->Stop();
  try {
    HandleRequest(method, path, body, headers);
  } catch (const std::exception& e) {
    FInHandler = false;
    WriteToLog(std::string("Request handling failed: ") + e.what(), true);
    CloseSocket();
    return;
  } catch (...) {
    FInHandler = false;
    WriteToLog("Request handling failed", true);
    CloseSocket();
    return;
  }
  FInHandler = false;
  if (FEnded || FClosing) return;
  if (!FReplied) {
    // Left unanswered (put off, or the handler chose silence): wait for the
    // next request and count the silence from now.
    ClearRequest();
  }
  FIdleElapsed = 0;
  FIdleTimer->Start(FServer ? FServer->TickInterval : 1000);
}

void TMiniHttpServerSpawnedSocket::SendResponse(int status, const std::string& content,
                                                bool cacheable, const std::string& contentType) {
  FReplied = true;
  if (!FSocket || FClosing || FEnded) return;
  std::string header = "HTTP/1.1 " + std::to_string(status) + " " + HttpStatusText(status) + kCrLf;
  header += std::string(kHttpServerName) + GetVersionText() + kCrLf;
  header += "Date: " + DateTimeToRfc822(LocalTimeZoneBias(), Now()) + kCrLf;
  header += "Content-Type: " + contentType + kCrLf;
  header += "Content-Length: " + std::to_string(content.size()) + kCrLf;
  header += "Accept-Ranges: none";
  header += kCrLf;
  // Pages link outside; a Referer would carry the link key with it.
  header += "Referrer-Policy: no-referrer";
  header += kCrLf;
  if (!cacheable) {
    header += "Cache-Control: no-cache";
    header += kCrLf;
    header += "Pragma: no-cache";
    header += kCrLf;
  }
  header += kCrLf;
  if (!FSocket->Write(header)) {
    CloseSocket();
    return;
  }
  if (!FHeadOnly && !content.empty()) FSocket->Write(content);
  const bool close = FCloseAfterReply || FKeepAliveMode == 1 ||
                     (FKeepAliveMode == 2 && FConnectionHeader == 1);
  if (close) {
    CloseSocket();
    return;
  }
  // Bytes of a further request that came with this one are dropped.
  ClearRequest();
  FIdleElapsed = 0;
  if (!FInHandler) FIdleTimer->Start(FServer ? FServer->TickInterval : 1000);
}

void TMiniHttpServerSpawnedSocket::SendHtml(int status, const std::string& title,
                                            const std::string& body) {
  SendResponse(status,
               "<html><head><meta name=\"GENERATOR\" content=\"Quorvantis\"><title>" + title +
                   "</title></head><body>" + body + "</body></html>",
               true, "text/html");
}

void TMiniHttpServerSpawnedSocket::SendImage(const std::string& bytes, const std::string& name,
                                             bool cacheable) {
  std::string extension = ExtensionOf(name);
  if (extension.empty()) extension = "jpg";
  SendResponse(200, bytes, cacheable, "image/" + extension);
}

void TMiniHttpServerSpawnedSocket::SendNamedImage(const THttpNamedObject* object,
                                                  const std::string& name, bool cacheable) {
  if (object && object->IsPicture()) {
    SendImage(object->Bytes, "x." + object->Format, cacheable);
    return;
  }
  std::string shown = name;
  HtmlEscape(shown);
  SendHtml(404, "404 Error",
           "<p><font face=\"Arial\"><b>404 Error</b> - Sorry, the requested Image \"" + shown +
               "\" was not found.</font></p>");
}

void TMiniHttpServerSpawnedSocket::ReplyWithUrlContent(const std::string& url) {
  // The name: the last path segment, without query or fragment; a type other
  // than a plain picture is not offered (an "svg" would run script here).
  std::string path = url.substr(0, url.find_first_of("?#"));
  std::string name = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
  const std::string extension = LowerCase1252(ExtensionOf(name));
  static const char* const kPictures[] = {"gif", "jpg", "jpeg", "png", "bmp", "ico"};
  if (std::find_if(std::begin(kPictures), std::end(kPictures),
                   [&](const char* p) { return extension == p; }) == std::end(kPictures))
    name = "image";
  else
    name = "image." + extension;
  std::weak_ptr<bool> alive = FAlive;
  FReplied = true;  // the reply follows from the event loop
  TBusy busy(FBusy);
  platform::FetchUrl(url, "Quorvantis", kFetchMaxBytes, kFetchTimeOutMs,
                     [this, alive, name](platform::UrlFetchResult result) {
                       auto a = alive.lock();
                       if (!a || !*a || FEnded || FClosing) return;
                       TBusy inner(FBusy);
                       if (!result.Ok) {
                         WriteToLog("Fetching a picture failed: " + result.Error, true);
                         SendNamedImage(nullptr, name, true);
                         return;
                       }
                       SendImage(result.Bytes, name, true);
                     });
}

// ---------------------------------------------------------------------------
// Server

TMiniHttpServer::TMiniHttpServer()
    : FListener4(std::make_unique<platform::TcpListener>()),
      FListener6(std::make_unique<platform::TcpListener>()) {
  auto onError = [this](const std::string& text) { Log(text, true); };
  FListener4->SetAcceptErrorHandler(onError);
  FListener6->SetAcceptErrorHandler(onError);
}

TMiniHttpServer::~TMiniHttpServer() {
  *FAlive = false;
  OnWriteToLog = nullptr;
  FListener4->Close();
  FListener6->Close();
  for (auto& c : FConnections) c->FEnded = true;
  FConnections.clear();
}

void TMiniHttpServer::Log(const std::string& text, bool error) {
  if (OnWriteToLog) OnWriteToLog(nullptr, text, error);
}

std::string TMiniHttpServer::SetActive(bool active) {
  if (!active) {
    FListener4->Close();
    FListener6->Close();
    return {};
  }
  if (FListener4->IsListening()) return {};
  if (FPort < 0 || FPort > 65535) return "Invalid port " + std::to_string(FPort);
  auto accept = [this](std::unique_ptr<platform::TcpConnection> socket) {
    Accept(std::move(socket));
  };
  std::string error = FListener4->Listen(static_cast<std::uint16_t>(FPort), accept, "127.0.0.1");
  if (!error.empty()) return error;
  // The same port on the IPv6 loopback, so that no other program can take
  // it there; a machine without IPv6 keeps the IPv4 one alone.
  const std::string error6 = FListener6->Listen(FListener4->Port(), accept, "::1");
  if (!error6.empty()) Log("Not listening on [::1]: " + error6, false);
  return {};
}

bool TMiniHttpServer::Active() const {
  return FListener4->IsListening();
}

int TMiniHttpServer::BoundPort() const {
  return FListener4->Port();
}

int TMiniHttpServer::ActiveConnections() const {
  return static_cast<int>(std::count_if(FConnections.begin(), FConnections.end(),
                                        [](const auto& c) { return !c->FEnded; }));
}

void TMiniHttpServer::Accept(std::unique_ptr<platform::TcpConnection> socket) {
  if (!socket->PeerIsLoopback()) {
    Log("Connection from " + socket->PeerText() + " refused: not this machine", true);
    return;  // destroying the connection aborts it
  }
  std::unique_ptr<TMiniHttpServerSpawnedSocket> connection = CreateConnection(std::move(socket));
  if (!connection) return;
  TMiniHttpServerSpawnedSocket* c = connection.get();
  FConnections.push_back(std::move(connection));
  c->Start();
}

void TMiniHttpServer::ScheduleFree(TMiniHttpServerSpawnedSocket* connection) {
  if (std::find(FPendingFree.begin(), FPendingFree.end(), connection) == FPendingFree.end())
    FPendingFree.push_back(connection);
  if (FFreePosted) return;
  FFreePosted = true;
  std::weak_ptr<bool> alive = FAlive;
  platform::RunLater([this, alive] {
    auto a = alive.lock();
    if (!a || !*a) return;
    FFreePosted = false;
    FreeEnded();
  });
}

void TMiniHttpServer::FreeEnded() {
  std::vector<TMiniHttpServerSpawnedSocket*> pending;
  pending.swap(FPendingFree);
  for (TMiniHttpServerSpawnedSocket* c : pending) {
    if (c->FBusy > 0) {
      ScheduleFree(c);  // still on the stack: try again later
      continue;
    }
    auto it = std::find_if(FConnections.begin(), FConnections.end(),
                           [c](const auto& p) { return p.get() == c; });
    if (it != FConnections.end()) FConnections.erase(it);
  }
}

void TMiniHttpServer::AddImage(const THttpNamedObject* image, const std::string& name) {
  FNamedImages.emplace_back(LowerCase1252(name), image);
}

void TMiniHttpServer::AddBinaryData(const THttpNamedObject* data, const std::string& name) {
  FNamedImages.emplace_back(LowerCase1252(name), data);
}

const THttpNamedObject* TMiniHttpServer::FindNamedImage(const std::string& name) const {
  const std::string lower = LowerCase1252(name);
  for (const auto& [n, object] : FNamedImages)
    if (n == lower) return object;
  return nullptr;
}

bool TMiniHttpServer::CheckAlive() {
  const int port = BoundPort();
  if (port == 0) return false;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ||
            errno == EINPROGRESS;
  std::string request = "GET NOOP HTTP/1.1\r\n\r\n";
  std::string reply;
  if (ok) {
    ok = platform::RunEventsUntil(
        [&] {
          if (!request.empty()) {
            const ssize_t n = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
            if (n > 0) request.erase(0, static_cast<std::size_t>(n));
            else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOTCONN)
              return true;
            return false;
          }
          char buffer[256];
          const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
          if (n > 0) reply.append(buffer, static_cast<std::size_t>(n));
          else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return true;
          return reply.find('\n') != std::string::npos;
        },
        5000);
    ok = ok && reply.find('\n') != std::string::npos;
  }
  ::close(fd);
  return ok;
}

}  // namespace halvorn
