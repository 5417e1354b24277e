// The local link server: the HTTP server that the links in processed mail,
// reports and the program's own pages lead to. It turns each request into a
// parsed link, picks the command by the link's document name (the one
// command table below) and runs the command's handler.
//
// Only this installation's links, from this machine, may act. Before any
// command runs:
//  - the peer must be 127.0.0.0/8 or ::1 (checked when accepted);
//  - a Host header, when present, must be localhost (any case), 127.x.y.z or
//    [::1] with our port (a page of another site that rebinds its name to
//    127.0.0.1 sends its own name);
//  - an Origin header, when present and not "null", must be "http://" + one
//    of those hosts with our port;
//  - the link key (link_key.h) must be the request's "LinkKey": the link's
//    for GET, the form's for POST. "Image" needs none; without it, its "CId"
//    and "OrigUrl" are ignored.
// A refusal answers 403 with the "not valid for this installation" page and
// is logged (without the query or the form).
//
// Main thread only, like the HTTP server it builds on.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "message/quor_url.h"
#include "processing/mini_http_server.h"

namespace halvorn {

class TCategorizeHttpServer;
class TCategorizeHttpServerSpawnedSocket;

// The texts of the link server's own replies, used byte for byte.
inline constexpr const char* kBadUrlTitle = "Bad URL error";
inline constexpr const char* kBadUrlBody =
    "<p><font face=\"Arial\"><b>400 Error</b> - Sorry, the requested URL was malformed</font></p>";
inline constexpr const char* kMaxConnectionsTitle = "Maximum Connections Exceeded";
inline constexpr const char* kMaxConnectionsBody =
    "<p><font face=\"Arial\"><b>502 Error</b> - Sorry, maximum connections has been "
    "exceeded</font></p>";
inline constexpr const char* kForbiddenTitle = "403 Error";
inline constexpr const char* kForbiddenBody =
    "<p><font face=\"Arial\"><b>403 Error</b> - Sorry, this link is not valid for this "
    "installation of Halvorn.</font></p>";
inline constexpr const char* kTemplateFallbackPage =
    "<html><head><meta name=\"GENERATOR\" content=\"Halvorn\"><title>Halvorn</title></head>"
    "<body><p><font face=\"Arial\"><b>400 Error</b> - Sorry, the programmer forgot to add the "
    "HTML</font></p></body></html>";

// The page templates, in the order the main window hands them over.
enum TLinkPageTemplate : int {
  lptCategoryChoice = 0,
  lptCategorizedWithInfoForm,
  lptCategorized,
  lptCategorizeFailed,
  lptAlreadyCategorized,
  lptConfirmPrompt,
  lptCount
};

// A command's handler: the connection to answer on, the parsed link (the
// "Hint" value removed) and the form data (the POST body's lines, or for the
// four account commands and "SetMailList" reached by GET the link's query as
// one line; empty otherwise).
using TLinkCommandHandler = std::function<void(TCategorizeHttpServerSpawnedSocket& connection,
                                               const TQuorUrl& link, const TStringList& form)>;

// The names of every command, in the order they are matched.
const std::vector<std::string>& LinkCommandNames();

// A Host header value the server accepts for the port (see above).
bool IsOwnHostHeader(const std::string& value, int port);
// An Origin header value the server accepts for the port ("null" included).
bool IsOwnOrigin(const std::string& value, int port);

class TCategorizeHttpServerSpawnedSocket : public TMiniHttpServerSpawnedSocket {
 public:
  TCategorizeHttpServerSpawnedSocket(TCategorizeHttpServer* server,
                                     std::unique_ptr<platform::TcpConnection> socket);
  ~TCategorizeHttpServerSpawnedSocket() override;

  // Sets FAutoListActions again and closes the connection.
  void Reset() override;
  void HandleRequest(const std::string& method, const std::string& path, const TStringList& body,
                     const TStringList& headers) override;

  // Runs the handler of the link's command; an unknown command gets the
  // bad-URL page.
  void DispatchCommand(const TQuorUrl& link);
  // Status 200 (the page says 400), "Bad URL error".
  void SendBadUrl();
  // Puts the link off for `ms` (while a question to the user is open): the
  // connection's timer runs the put-off links in order, one per tick.
  void DeferRequest(int ms, const TQuorUrl& link);

  TCategorizeHttpServer* LinkServer() const { return FLinkServer; }
  // True for a new connection and after Reset; the confirmation form clears
  // it (the user chose the list changes).
  bool FAutoListActions = true;

 protected:
  bool AcceptConnection() override;

 private:
  void Refuse(const std::string& command, const std::string& reason);
  void DeferTick();

  TCategorizeHttpServer* FLinkServer;
  std::vector<std::string> FDeferredUrls;
  std::unique_ptr<platform::Timer> FDeferTimer;
};

class TCategorizeHttpServer : public TMiniHttpServer {
 public:
  // Port: the category-request port as it stands; MaxConnections 999.
  TCategorizeHttpServer();
  ~TCategorizeHttpServer() override;

  // Binds a command of the table to its handler (replacing the bad-URL
  // answer it has until then). False for a name the table does not hold.
  bool BindCommand(const std::string& name, TLinkCommandHandler handler);
  const TLinkCommandHandler* FindCommand(const std::string& name) const;

  // Moves the server to another port: listens there and runs the self-test;
  // on failure listens on the old port again and answers false (logged).
  bool MoveToPort(int port);

  // "<center><img SRC=\"" + the "Image" link of "Quor.jpg" + "\"></center>".
  static std::string LogoImageHtml();

  // The six page templates (TLinkPageTemplate order), each the fallback page
  // until the main window hands them over.
  std::array<std::string, lptCount> Templates;
  void SetTemplates(const std::array<std::string, lptCount>& templates) { Templates = templates; }

  // Ask for confirmation before a categorisation.
  bool PromptForCategory = true;

  // Complete replies of categorisations by the message's content id. An id of
  // 0 is never stored nor found (it names no message).
  const std::string* FindCategorizedPage(std::int32_t contentId) const;
  void AddCategorizedPage(std::int32_t contentId, const std::string& page);

  // The user's answers about pictures: +id accepted, -id declined.
  std::vector<std::int32_t> EmbeddedImageAnswers;
  std::vector<std::int32_t> PromptedImageAnswers;

 protected:
  std::unique_ptr<TMiniHttpServerSpawnedSocket> CreateConnection(
      std::unique_ptr<platform::TcpConnection> socket) override;

 private:
  std::vector<std::pair<std::string, TLinkCommandHandler>> FCommands;
  std::vector<std::pair<std::int32_t, std::string>> FCategorizedPages;
};

}  // namespace halvorn
