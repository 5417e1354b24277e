// A small HTTP/1.1 server for the program's local links: one connection
// object per accepted client collects the request, finds the end of the
// header, reads Content-Length and the connection preference, waits for the
// body and hands method, path, body lines and header lines to the handler a
// derived connection supplies. It also builds the replies (plain, HTML page,
// image), keeps a registry of named pictures and binary data, times idle and
// slow clients out and answers the self-test request "GET NOOP".
//
// Requests are bounded: a header or a body above 64 KiB gets 413, a query
// above 9 999 bytes 414, a request not complete within 30 s 408; each of
// these is answered with a page and the connection is closed. Logs never hold
// the query or the form.
//
// Everything runs on the main thread (the Qt event loop's): socket events,
// timers, parsing and replies. Nothing is locked.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/text/string_list.h"

namespace halvorn {

namespace platform {
class TcpConnection;
class TcpListener;
class Timer;
}  // namespace platform

class TMiniHttpServer;

// A registered picture (its bytes in its own format, named by the extension
// such as "gif") or binary data (no extension). The registry does not own it.
struct THttpNamedObject {
  std::string Bytes;
  std::string Format;  // "gif", "jpg", "png", ...; empty for binary data
  bool IsPicture() const { return !Format.empty(); }
};

// The texts of the standard replies, used byte for byte.
inline constexpr const char* kHttpServerName = "Server: Quorvantis Halvorn";
inline constexpr const char* kMalformedHeaderBody =
    "<p><font face=\"Arial\"><b>400 Error</b> - Sorry, your request header was malformed. "
    "</font></p>";

// The reason phrase of a status; empty for a status outside the table.
const char* HttpStatusText(int status);

// The body of a refusal page shaped as the "403 Error" one: "<p><font
// face=\"Arial\"><b>" + title + "</b> - Sorry, " + reason + "</font></p>".
std::string HttpErrorBody(const std::string& title, const std::string& reason);

// One accepted connection. Made by the server's factory; owned by the server,
// which frees it from the event loop once it has ended, never while one of
// its own handlers runs. Main thread only.
class TMiniHttpServerSpawnedSocket {
 public:
  TMiniHttpServerSpawnedSocket(TMiniHttpServer* server,
                               std::unique_ptr<platform::TcpConnection> socket);
  virtual ~TMiniHttpServerSpawnedSocket();
  TMiniHttpServerSpawnedSocket(const TMiniHttpServerSpawnedSocket&) = delete;
  TMiniHttpServerSpawnedSocket& operator=(const TMiniHttpServerSpawnedSocket&) = delete;

  // Forgets the buffered request and closes the connection.
  virtual void Reset();
  // Handles one complete request. The header list holds no blank line; the
  // body lines are the body's, or the header's own lines again when the
  // request had no positive Content-Length. An exception that escapes is
  // logged and closes the connection.
  virtual void HandleRequest(const std::string& method, const std::string& path,
                             const TStringList& body, const TStringList& headers) = 0;

  // Sends a complete reply: the status line, "Server", "Date",
  // "Content-Type", "Content-Length" (bytes), "Accept-Ranges: none",
  // "Referrer-Policy: no-referrer", and the no-cache lines unless cacheable.
  // A HEAD request gets the header alone. Afterwards the connection is
  // closed or kept as the keep-alive rules say and waits for its next
  // request. Does nothing once the connection has ended.
  void SendResponse(int status, const std::string& content, bool cacheable,
                    const std::string& contentType);
  // The standard page with content type "text/html", cacheable.
  void SendHtml(int status, const std::string& title, const std::string& body);
  // Status 200, content type "image/" + the name's extension ("jpg" without
  // one).
  void SendImage(const std::string& bytes, const std::string& name, bool cacheable);
  // A picture with SendImage under its own format; none (or binary data) the
  // 404 page naming the image (the name escaped).
  void SendNamedImage(const THttpNamedObject* object, const std::string& name, bool cacheable);
  // Fetches an http or https URL (redirects followed, 30 s, 8 MiB, user agent
  // "Quorvantis") without blocking, and sends what came as an image named
  // after the URL's last path segment; an extension other than gif, jpg,
  // jpeg, png, bmp or ico is dropped from the name. Any other scheme, or a
  // failed fetch, gets the 404 image page. Nothing is sent when the
  // connection has gone meanwhile.
  void ReplyWithUrlContent(const std::string& url);
  // Passes the text to the server's OnWriteToLog.
  void WriteToLog(const std::string& text, bool error);

  // Sends the page and closes the connection after it, whatever the
  // keep-alive rules say (refusals and limits).
  void RefuseAndClose(int status, const std::string& title, const std::string& body);
  // Closes the connection after the next reply.
  void SetCloseAfterReply() { FCloseAfterReply = true; }
  bool Connected() const;
  TMiniHttpServer* Server() const { return FServer; }
  // The peer is 127.0.0.0/8 or ::1.
  bool PeerIsLoopback() const;
  const std::string& PeerText() const;
  // The request's preference: 0 "Keep-Alive", 1 "Close", 2 none given.
  std::uint8_t ConnectionHeader() const { return FConnectionHeader; }
  std::uint8_t KeepAliveMode() const { return FKeepAliveMode; }
  int ConnectionNumber() const { return FConnectionNumber; }

 protected:
  // Called once when the connection starts, before anything it received is
  // read; false refuses it (the subclass has sent its reply or closed it).
  virtual bool AcceptConnection() { return true; }

 private:
  friend class TMiniHttpServer;
  void Start();
  void OnData(std::string_view bytes);
  void OnDisconnected();
  void ParseRequest();
  void CompleteRequest();
  void Tick();
  void ClearRequest();
  void CloseSocket();

  TMiniHttpServer* FServer;
  std::unique_ptr<platform::TcpConnection> FSocket;
  std::unique_ptr<platform::Timer> FIdleTimer;
  std::string FRequestData;
  std::size_t FScanFrom = 1;  // where the search for CR LF CR LF resumes
  bool FReadingHeader = true;
  bool FHeaderDone = false;
  std::int32_t FContentLength = -1;
  std::uint8_t FConnectionHeader = 2;
  std::uint8_t FKeepAliveMode = 2;
  std::string FMethod;
  std::string FPath;
  TStringList FHeaderLines;
  std::int64_t FIdleElapsed = 0;
  std::int64_t FRequestStarted = -1;  // steady ms of the request's first byte
  bool FHeadOnly = false;
  bool FInHandler = false;
  bool FReplied = false;
  bool FCloseAfterReply = false;
  bool FClosing = false;
  bool FEnded = false;
  int FBusy = 0;
  int FConnectionNumber = 0;
  std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
};

// The listening server. A subclass provides CreateConnection. Main thread
// only; needs a Qt application object.
class TMiniHttpServer {
 public:
  using TLogEvent =
      std::function<void(TMiniHttpServerSpawnedSocket* connection, const std::string& text,
                         bool error)>;

  TMiniHttpServer();
  virtual ~TMiniHttpServer();
  TMiniHttpServer(const TMiniHttpServer&) = delete;
  TMiniHttpServer& operator=(const TMiniHttpServer&) = delete;

  // Listening on 127.0.0.1 and, where the machine has IPv6, [::1], on one
  // port (0: a free one). Activating answers an error text (empty on
  // success); deactivating closes the listening sockets (live connections go
  // on).
  std::string SetActive(bool active);
  bool Active() const;
  int Port() const { return FPort; }
  void SetPort(int port) { FPort = port; }
  // The port listened on (Port, or the one the system chose for 0).
  int BoundPort() const;
  // Connections open now.
  int ActiveConnections() const;

  std::int32_t MaxConnections = 1000;
  std::uint32_t IdleTimeOut = 300000;    // ms of silence before a close
  std::uint32_t RequestTimeOut = 30000;  // ms for a whole request
  int TickInterval = 1000;               // ms between idle checks
  std::uint8_t KeepAliveMode = 2;
  std::size_t MaxHeaderBytes = 64 * 1024;
  std::size_t MaxBodyBytes = 64 * 1024;
  std::size_t MaxQueryBytes = 9999;
  TLogEvent OnWriteToLog;

  // Registers under the name in lower case; not owned. A second entry of the
  // same name is found after the first.
  void AddImage(const THttpNamedObject* image, const std::string& name);
  void AddBinaryData(const THttpNamedObject* data, const std::string& name);
  const THttpNamedObject* FindNamedImage(const std::string& name) const;

  // The self-test: connects to 127.0.0.1 on the bound port, sends
  // "GET NOOP HTTP/1.1" and waits (up to 5 s, running the event loop) for a
  // reply line. True when all went through.
  bool CheckAlive();

 protected:
  virtual std::unique_ptr<TMiniHttpServerSpawnedSocket> CreateConnection(
      std::unique_ptr<platform::TcpConnection> socket) = 0;
  void Log(const std::string& text, bool error);

 private:
  friend class TMiniHttpServerSpawnedSocket;
  void Accept(std::unique_ptr<platform::TcpConnection> socket);
  void ScheduleFree(TMiniHttpServerSpawnedSocket* connection);
  void FreeEnded();

  int FPort = 6778;
  int FConnectionCounter = 1;
  std::vector<std::pair<std::string, const THttpNamedObject*>> FNamedImages;
  std::vector<std::unique_ptr<TMiniHttpServerSpawnedSocket>> FConnections;
  std::vector<TMiniHttpServerSpawnedSocket*> FPendingFree;
  bool FFreePosted = false;
  std::unique_ptr<platform::TcpListener> FListener4;
  std::unique_ptr<platform::TcpListener> FListener6;
  std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
};

}  // namespace halvorn
