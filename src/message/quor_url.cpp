#include "message/quor_url.h"

#include "foundation/net/host_names.h"
#include "foundation/text/text_helpers.h"
#include "foundation/text/list_helpers.h"
#include "foundation/text/numbers.h"
#include "foundation/files/file_helpers.h"
#include "foundation/text/text_normalisation.h"
#include "foundation/threads/heartbeat.h"
#include "foundation/text/code_page_1252.h"
#include "message/link_key.h"

namespace halvorn {

namespace {

constexpr std::size_t kMaxQueryLength = 9999;
constexpr std::size_t kMaxDocumentLength = 999;

bool IsWholeDecimalNumber(const std::string& text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (!IsDigitChar(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

}  // namespace

TQuorUrl::TQuorUrl()
    : Protocol("http"), Host(LocalHostName()), Port(CategoryRequestPort.load()) {
  Add(std::string(kLinkKeyName) + "=" + GetLinkKey());
}

bool TQuorUrl::IsLocalLinkHost() const {
  if (SameText1252(Host, LocalHostName()) || SameText1252(Host, "localhost") || Host == "::1" ||
      Host == "[::1]")
    return true;
  // 127.0.0.0/8, written as a dotted address.
  return Host.rfind("127.", 0) == 0 && IsIPAddress(Host);
}

void TQuorUrl::SetUrl(const std::string& text, bool hostEndsAtAnyColon) {
  Clear();
  Protocol = "http";
  User.clear();
  Password.clear();
  Host.clear();
  Port = 80;
  Path.clear();
  Document.clear();

  std::string rest = text;
  const std::size_t question = rest.find('?');
  if (question != std::string::npos) {
    SetQuery(rest.substr(question + 1, kMaxQueryLength));
    rest.erase(question);
  }
  const std::size_t scheme = rest.find("://");
  if (scheme != std::string::npos) {
    Protocol = rest.substr(0, scheme);
    rest.erase(0, scheme + 3);
  }
  rest = UrlDecode(rest);

  // The authority ends at the first "/": an "@" or ":" further on belongs to
  // the path ("http://a.com/x:y" has the host "a.com", not "a.com/x").
  std::size_t slash = rest.find('/');
  const std::size_t at = rest.find('@');
  if (at != std::string::npos && at < slash) {
    const std::string credentials = rest.substr(0, at);
    const std::size_t colon = credentials.find(':');
    if (colon == std::string::npos) {
      User = credentials;
    } else {
      User = credentials.substr(0, colon);
      Password = credentials.substr(colon + 1);
    }
    rest.erase(0, at + 1);
    slash = rest.find('/');
  }

  const std::size_t colon = rest.find(':');
  if (colon != std::string::npos && (colon < slash || hostEndsAtAnyColon)) {
    Host = rest.substr(0, colon);
    const std::size_t portEnd = rest.find('/', colon + 1);
    if (portEnd != std::string::npos) {
      Port = StrToIntDef(rest.substr(colon + 1, portEnd - colon - 1), 80);
      rest.erase(0, portEnd + 1);
    } else {
      std::int32_t port = 80;
      if (TryStrToInt(rest.substr(colon + 1), port)) {
        Port = port;
        return;
      }
      rest.erase(0, colon + 1);
    }
  } else if (slash == std::string::npos) {
    Host = rest;
    return;
  } else {
    Host = rest.substr(0, slash);
    rest.erase(0, slash + 1);
  }

  const std::size_t last = rest.rfind('/');
  if (last == std::string::npos || last + 1 == rest.size()) {
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    Document = rest.substr(0, kMaxDocumentLength);
  } else {
    Document = rest.substr(last + 1, kMaxDocumentLength);
    Path = rest.substr(0, last);
  }
}

std::string TQuorUrl::GetUrl() const {
  std::string text = Protocol + "://";
  if (!User.empty()) {
    text += User;
    if (!Password.empty()) text += ":" + Password;
  } else {
    text += Password;
  }
  if (!User.empty() || !Password.empty()) text += "@";
  text += Host;
  if (Port != 80) text += ":" + std::to_string(Port);
  if (!Path.empty()) text += "/" + Path;
  if (!Document.empty()) text += "/" + Document;
  text = UrlEncode(text);
  const std::string query = GetQuery();
  if (!query.empty()) text += "?" + query;
  return text;
}

std::string TQuorUrl::GetRelativeUrl() const {
  std::string text = Path;
  if (!Document.empty()) text += "/" + Document;
  text = UrlEncode(text);
  const std::string query = GetQuery();
  if (!query.empty()) text += "?" + query;
  if (!text.empty() && text[0] != '/') text.insert(0, "/");
  return text;
}

std::string TQuorUrl::GetQuery(bool keepPlus) const {
  std::string query;
  const bool local = IsLocalLinkHost();
  bool first = true;
  for (int i = 0; i < Count(); ++i) {
    // The installation's key goes only to this machine.
    if (!local && SameText1252(Names(i), kLinkKeyName)) continue;
    // UrlEncode keeps "&" (it is URL-safe) and writes "%" as "%25", so the
    // "&" and "%2B" in its output stand for themselves.
    std::string line = UrlEncode(Strings(i));
    ReplaceAll("&", "%26", line);
    if (keepPlus) ReplaceAll("%2B", "+", line);
    if (!first) query += '&';
    first = false;
    query += line;
  }
  return query;
}

void TQuorUrl::SetQuery(const std::string& text) {
  SplitAmpersandList(text, *this);
}

bool TQuorUrl::IsValid() const {
  return !Protocol.empty() && !Host.empty();
}

int TQuorUrl::HostKind() const {
  if (Host.empty()) return 4;
  if (Host.size() >= 2 && Host[0] == '0' && (Host[1] == 'x' || Host[1] == 'X')) return 3;
  if (IsIPAddress(Host)) return 1;
  if (IsWholeDecimalNumber(Host)) return 2;
  return Host.find('.') == std::string::npos ? 4 : 0;
}

std::string LocalLink(const std::string& command,
                      std::initializer_list<std::pair<const char*, std::string>> pairs) {
  TQuorUrl url;
  url.Document = command;
  for (const auto& [name, value] : pairs) url.SetValue(name, value);
  return url.GetUrl();
}

}  // namespace halvorn
