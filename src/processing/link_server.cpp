#include "processing/link_server.h"

#include <algorithm>

#include "foundation/text/code_page_1252.h"
#include "foundation/text/numbers.h"
#include "foundation/text/text_helpers.h"
#include "foundation/threads/heartbeat.h"  // CategoryRequestPort
#include "message/link_key.h"
#include "platform/tcp_line_server.h"

namespace halvorn {

namespace {

// The commands whose form may come by POST (the account-change pages).
bool IsAccountCommand(const std::string& name) {
  return name == "PopUserInfo" || name == "SmtpUserInfo" || name == "HotmailUserInfo" ||
         name == "DeleteAccount";
}

// 127.x.y.z with four decimal parts of at most 255.
bool IsLoopbackDotted(const std::string& host) {
  int parts = 0;
  std::size_t start = 0;
  while (start <= host.size()) {
    std::size_t dot = host.find('.', start);
    if (dot == std::string::npos) dot = host.size();
    const std::string part = host.substr(start, dot - start);
    if (part.empty() || part.size() > 3 ||
        part.find_first_not_of("0123456789") != std::string::npos || std::stoi(part) > 255)
      return false;
    if (parts == 0 && part != "127") return false;
    ++parts;
    start = dot + 1;
    if (dot == host.size()) break;
  }
  return parts == 4;
}

// "host:port" with one of our host names and our port.
bool IsOwnAuthority(const std::string& authority, int port) {
  const std::size_t colon = authority.rfind(':');
  if (colon == std::string::npos || authority.substr(colon + 1) != std::to_string(port))
    return false;
  const std::string host = LowerCase1252(authority.substr(0, colon));
  return host == "localhost" || host == "[::1]" || IsLoopbackDotted(host);
}

}  // namespace

const std::vector<std::string>& LinkCommandNames() {
  static const std::vector<std::string> kNames = {
      "Categorize",       "PromptConfirmation", "AddUserInfo",   "AddAddrToList",
      "ListAddress",      "AddPhraseToSomeList", "AddPhrase",    "MsgInfo",
      "Image",            "EmbeddedImage",      "ImagePrompt",   "GetReport",
      "GetAnalysis",      "SetReportDelTime",   "GetBackup",     "ReleaseBackup",
      "ModifyFileExt",    "SetBackupDelTime",   "Message",       "Decode",
      "CancelSend",       "GetUserId",          "ToggleTest",    "PopUserInfo",
      "SmtpUserInfo",     "HotmailUserInfo",    "DeleteAccount", "SetMailList"};
  return kNames;
}

bool IsOwnHostHeader(const std::string& value, int port) {
  return IsOwnAuthority(TrimText(value), port);
}

bool IsOwnOrigin(const std::string& value, int port) {
  const std::string origin = TrimText(value);
  if (origin == "null") return true;
  if (origin.size() < 7 || LowerCase1252(origin.substr(0, 7)) != "http://") return false;
  return IsOwnAuthority(origin.substr(7), port);
}

// ---------------------------------------------------------------------------
// Connection

TCategorizeHttpServerSpawnedSocket::TCategorizeHttpServerSpawnedSocket(
    TCategorizeHttpServer* server, std::unique_ptr<platform::TcpConnection> socket)
    : TMiniHttpServerSpawnedSocket(server, std::move(socket)), FLinkServer(server) {}

TCategorizeHttpServerSpawnedSocket::~TCategorizeHttpServerSpawnedSocket() = default;

bool TCategorizeHttpServerSpawnedSocket::AcceptConnection() {
  // The count includes this connection.
  if (FLinkServer && FLinkServer->ActiveConnections() > FLinkServer->MaxConnections) {
    WriteToLog("Maximum connections exceeded; connection closed", true);
    RefuseAndClose(200, kMaxConnectionsTitle, kMaxConnectionsBody);
    return false;
  }
  return true;
}

void TCategorizeHttpServerSpawnedSocket::Reset() {
  FAutoListActions = true;
  TMiniHttpServerSpawnedSocket::Reset();
}

void TCategorizeHttpServerSpawnedSocket::SendBadUrl() {
  SendHtml(200, kBadUrlTitle, kBadUrlBody);
}

void TCategorizeHttpServerSpawnedSocket::Refuse(const std::string& command,
                                                const std::string& reason) {
  WriteToLog("Refused a request for \"" + command + "\": " + reason, true);
  SendHtml(403, kForbiddenTitle, kForbiddenBody);
}

void TCategorizeHttpServerSpawnedSocket::HandleRequest(const std::string& method,
                                                       const std::string& path,
                                                       const TStringList& body,
                                                       const TStringList& headers) {
  const int port = Server() ? Server()->BoundPort() : 0;
  // Host and Origin first: they hold for every command, pictures included.
  for (int i = 0; i < headers.Count(); ++i) {
    const std::string& line = headers[i];
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const std::string name = LowerCase1252(TrimText(line.substr(0, colon)));
    const std::string value = line.substr(colon + 1);
    if (name == "host" && !IsOwnHostHeader(value, port)) {
      Refuse("", "foreign Host header");
      return;
    }
    if (name == "origin" && !IsOwnOrigin(value, port)) {
      Refuse("", "foreign Origin header");
      return;
    }
  }

  TQuorUrl link;
  link.SetUrl("HTTP://Localhost:" + std::to_string(CategoryRequestPort.load()) + path);
  const bool post = LowerCase1252(method) == "post";
  if (post) {
    if (!link.IsValid() || !IsAccountCommand(link.Document)) {
      SendBadUrl();
      return;
    }
    // The key comes with the form; the path's query is not read.
    std::string joined;
    for (int i = 0; i < body.Count(); ++i) joined += (i ? "&" : "") + body[i];
    TQuorUrl form;
    form.SetQuery(joined);
    if (!LinkKeyMatches(form.Values(kLinkKeyName))) {
      Refuse(link.Document, "form without this installation's key");
      return;
    }
    const TLinkCommandHandler* handler = FLinkServer ? FLinkServer->FindCommand(link.Document) : nullptr;
    if (handler && *handler)
      (*handler)(*this, link, body);
    else
      SendBadUrl();
    return;
  }
  if (!link.IsValid()) {
    SendBadUrl();
    return;
  }
  link.SetValue("Hint", "");
  // An unknown command does nothing: it gets the bad-URL page, key or not.
  const TLinkCommandHandler* handler = FLinkServer ? FLinkServer->FindCommand(link.Document) : nullptr;
  if (!handler) {
    SendBadUrl();
    return;
  }
  if (!LinkKeyMatches(link.Values(kLinkKeyName))) {
    if (link.Document != "Image") {
      Refuse(link.Document, "link without this installation's key");
      return;
    }
    // A picture anyone may show; what it would record needs the key.
    link.SetValue("CId", "");
    link.SetValue("OrigUrl", "");
  }
  DispatchCommand(link);
}

void TCategorizeHttpServerSpawnedSocket::DispatchCommand(const TQuorUrl& link) {
  const TLinkCommandHandler* handler = FLinkServer ? FLinkServer->FindCommand(link.Document) : nullptr;
  if (!handler || !*handler) {
    SendBadUrl();
    return;
  }
  TStringList form;
  if (IsAccountCommand(link.Document) || link.Document == "SetMailList")
    form.Add(link.GetQuery());
  (*handler)(*this, link, form);
}

void TCategorizeHttpServerSpawnedSocket::DeferRequest(int ms, const TQuorUrl& link) {
  FDeferredUrls.push_back(link.GetUrl());
  if (!FDeferTimer) FDeferTimer = std::make_unique<platform::Timer>([this] { DeferTick(); });
  FDeferTimer->Start(ms);
}

void TCategorizeHttpServerSpawnedSocket::DeferTick() {
  if (FDeferredUrls.empty()) {
    FDeferTimer->Stop();
    return;
  }
  TQuorUrl link;
  link.SetUrl(FDeferredUrls.front());
  FDeferredUrls.erase(FDeferredUrls.begin());
  if (!Connected()) return;
  try {
    DispatchCommand(link);
  } catch (const std::exception& e) {
    WriteToLog(std::string("A put-off request failed: ") + e.what(), true);
    Reset();
  }
}

// ---------------------------------------------------------------------------
// Server

TCategorizeHttpServer::TCategorizeHttpServer() {
  SetPort(CategoryRequestPort.load());
  MaxConnections = 999;
  KeepAliveMode = 2;
  Templates.fill(kTemplateFallbackPage);
  for (const std::string& name : LinkCommandNames()) FCommands.emplace_back(name, nullptr);
}

TCategorizeHttpServer::~TCategorizeHttpServer() = default;

std::unique_ptr<TMiniHttpServerSpawnedSocket> TCategorizeHttpServer::CreateConnection(
    std::unique_ptr<platform::TcpConnection> socket) {
  return std::make_unique<TCategorizeHttpServerSpawnedSocket>(this, std::move(socket));
}

bool TCategorizeHttpServer::BindCommand(const std::string& name, TLinkCommandHandler handler) {
  for (auto& [n, h] : FCommands) {
    if (n == name) {
      h = std::move(handler);
      return true;
    }
  }
  return false;
}

const TLinkCommandHandler* TCategorizeHttpServer::FindCommand(const std::string& name) const {
  for (const auto& [n, h] : FCommands)
    if (n == name) return &h;
  return nullptr;
}

bool TCategorizeHttpServer::MoveToPort(int port) {
  const int old = Port();
  if (Active() && BoundPort() == port) return true;
  SetActive(false);
  SetPort(port);
  const std::string error = SetActive(true);
  if (error.empty() && CheckAlive()) return true;
  Log("The link server could not move to port " + std::to_string(port) +
          (error.empty() ? std::string(": the self-test failed") : ": " + error) +
          "; it stays on port " + std::to_string(old),
      true);
  SetActive(false);
  SetPort(old);
  SetActive(true);
  return false;
}

std::string TCategorizeHttpServer::LogoImageHtml() {
  return "<center><img SRC=\"" + LocalLink("Image", {{"Name", "Quor.jpg"}}) + "\"></center>";
}

const std::string* TCategorizeHttpServer::FindCategorizedPage(std::int32_t contentId) const {
  if (contentId == 0) return nullptr;
  for (const auto& [id, page] : FCategorizedPages)
    if (id == contentId) return &page;
  return nullptr;
}

void TCategorizeHttpServer::AddCategorizedPage(std::int32_t contentId, const std::string& page) {
  if (contentId == 0) return;
  FCategorizedPages.emplace_back(contentId, page);
}

}  // namespace halvorn
