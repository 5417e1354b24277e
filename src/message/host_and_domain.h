// Free operations on URLs and host names, built on TQuorUrl: normalising a
// URL a user typed, the host or last path segment of a URL, the canonical
// form body-URL checksums take, resolving a "Decode" link back to the URL it
// replaced, and the registered domain of a host name.
//
// All are safe from any thread. Those that answer false or an empty text on
// failure let EThreadAbandoned pass, so an abandoned worker still unwinds.
#pragma once

#include <string>

namespace halvorn {

// Trims the text; an empty text, or one with a character that is not
// URL-safe, answers false and stays as it was. Otherwise it is parsed (a text
// without "://" gets the protocol "http"): when it has a protocol and a host,
// the text becomes the parsed URL's GetUrl and the answer is true; when only
// the protocol is missing ("://host"), the answer is true and the text stays.
bool NormalizeUrl(std::string& text);

// The host of the URL as TQuorUrl::SetUrl finds it; empty on any error.
std::string HostOfUrl(const std::string& url);

// The canonical form of a body URL for its checksum: host, ":" + port unless
// 80, "/" + path and "/" + document when set, all URL-encoded, then "?" + the
// encoded query with "+" kept as it stands. No protocol, user or password.
// The checksums are compared with those of other installations, so the URL
// is read as they read it: "+" kept, and the host running to the first ":"
// even past a "/" (TQuorUrl::SetUrl). Empty on any error.
std::string UrlWithoutScheme(const std::string& url);

// The last piece of the text split at "/" (a final empty piece is dropped, so
// "a/b/" gives "b"); empty for an empty text.
std::string LastPathSegment(const std::string& text);

// For a link whose document is exactly "Decode": the side record named by
// the first eight characters of its query (hexadecimal) is borrowed, and the
// answer and target are its TEmailInfo::ResolveLink of the link. False, with
// the target empty, for any other link, a record that is not found, and on
// any error.
bool ResolveDecodeLink(const std::string& link, std::string& target);
// The same answering the target; empty when there is none.
std::string ResolveDecodeLink(const std::string& link);

// The name under which the host's domain was registered. A dotted IPv4
// address comes back unchanged; otherwise the host is lower-cased, and when
// it ends with "." + a registration suffix, the answer is the label in front
// of that suffix together with the suffix (the whole host when nothing stands
// in front); any other host gives its last two labels (the whole host when it
// has fewer than two "."). Of several suffixes that fit, the one listed first
// wins.
std::string RegisteredDomain(const std::string& host);

}  // namespace halvorn
