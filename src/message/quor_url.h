// TQuorUrl: the program's URL object, and with it the local link.
//
// A local link is how everything the program writes into a message, a report
// or a page leads back to the program itself: "http://LocalHost:" + the
// category-request port + "/" + command + "?" + the query pairs joined by "&"
// (the port is left out when it is 80, the "?" part when there are no pairs).
// A new TQuorUrl already is a local link without a command: a builder sets
// Document to the command, adds its pairs by name (SetValue) and takes
// GetUrl. The local web server reads links back with SetUrl and dispatches on
// Document (case counts), reading the pairs by name (Values).
//
// The object is a plain value: not thread-safe, copy it to hand it on.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>

#include "foundation/text/string_list.h"

namespace halvorn {

// The lines of the list are the query pairs, each name "=" value, in order.
// Names match ignoring case; SetValue replaces a name's line, and an empty
// value removes it.
class TQuorUrl : public TStringList {
 public:
  // Protocol "http", host "LocalHost", the category-request port (6173 unless
  // the settings say otherwise), everything else empty, and one pair: the
  // installation's "LinkKey" (link_key.h), so that the local web server
  // accepts the link.
  TQuorUrl();

  // The host is this machine: LocalHost (any case), 127.x.y.z or ::1. Only
  // then do GetUrl, GetRelativeUrl and GetQuery write the "LinkKey" pair; for
  // any other host it is left out, so the key never leaves the machine.
  bool IsLocalLinkHost() const;

  // Parses a URL, starting from protocol "http", port 80, every other field
  // empty and no pairs:
  //  - the text after the first "?" (at most 9999 characters) is the query
  //    (SetQuery); the rest is parsed on;
  //  - "://" ends the protocol;
  //  - the rest is URL-decoded ("+" reads as a blank);
  //  - up to the first "/" lies the authority: "user:password@" when it holds
  //    an "@" (the first one), then the host, then ":" and the port (80 when
  //    the port is not a number; a ":" with no "/" after it and no number
  //    behind it leaves what follows for the document);
  //  - after the "/": the text after the last "/" is the document (at most
  //    999 characters) and the text before it the path; when nothing follows
  //    the last "/", that "/" is dropped and the whole text is the document.
  // Never fails: any text gives some URL; IsValid tells whether it had a
  // protocol and a host.
  //
  // `hostEndsAtAnyColon` reads the authority as other installations read it
  // for the checksums of body URLs, which are compared with theirs: the host
  // runs to the first ":" of the text even past a "/" ("http://a.com/x:y"
  // gives the host "a.com/x" and the document "y"), and the port to the next
  // "/". Only UrlWithoutScheme asks for it.
  void SetUrl(const std::string& text, bool hostEndsAtAnyColon = false);

  // Protocol "://" [user [":" password] "@"] host [":" port unless 80]
  // ["/" path] ["/" document], URL-encoded ("%" escapes for characters that
  // are not URL-safe and for "%" and "+"; ":", "/", "@" and "." stay), then
  // "?" + GetQuery when there are pairs. With only a password set, the
  // password stands before the "@".
  std::string GetUrl() const;

  // From the path on: path ["/" document], URL-encoded, then "?" + GetQuery
  // when there are pairs; a "/" is put in front unless the result begins with
  // one. Empty when all of it is empty.
  std::string GetRelativeUrl() const;

  // The pairs joined by "&": every character that is URL-safe and neither
  // "%", "&" nor "+" stays, every other one is written as "%" and two
  // upper-case hexadecimal digits, so any value reads back unchanged through
  // SetQuery and through other URL parsers. `keepPlus` writes "+" as it
  // stands: only the canonical form of body-URL checksums (UrlWithoutScheme)
  // asks for it, as those checksums are compared with other installations.
  std::string GetQuery(bool keepPlus = false) const;

  // Replaces the pairs by the "&"-separated pieces of the text, each
  // URL-decoded ("+" reads as a blank); an empty last piece is dropped.
  void SetQuery(const std::string& text);

  // Copies the pairs and every field.
  void Assign(const TQuorUrl& other) { *this = other; }

  // Protocol and host are both set.
  bool IsValid() const;

  // What the host is: 4 empty; 3 beginning with "0x" (any case); 1 a dotted
  // IPv4 address (IsIPAddress, which also takes a single number that fits in
  // 32 bits); 2 a whole decimal number; 4 a name without "."; 0 an ordinary
  // host name.
  int HostKind() const;

  std::string Protocol;
  std::string User;
  std::string Password;
  std::string Host;
  std::int32_t Port;
  std::string Path;
  std::string Document;
};

// The local link of the command with its query pairs in the order given (a
// pair with an empty value is left out): "http://LocalHost:" + the
// category-request port + "/" + command + "?LinkKey=" + the key + "&" + the
// pairs.
std::string LocalLink(const std::string& command,
                      std::initializer_list<std::pair<const char*, std::string>> pairs);

}  // namespace halvorn
