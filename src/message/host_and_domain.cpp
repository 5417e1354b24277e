#include "message/host_and_domain.h"

#include <algorithm>
#include <limits>
#include <string_view>
#include <unordered_map>

#include "foundation/net/host_names.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/text/text_helpers.h"
#include "foundation/text/list_helpers.h"
#include "foundation/files/file_helpers.h"
#include "foundation/text/text_normalisation.h"
#include "foundation/threads/quor_thread.h"
#include "message/email_info.h"
#include "message/quor_url.h"
#include "message/registration_suffixes.h"

namespace halvorn {

namespace {

// Each suffix with its place in the table, so that a host is matched by its
// label-aligned endings instead of a walk over the whole table.
const std::unordered_map<std::string_view, int>& SuffixPlaces() {
  static const auto* places = [] {
    auto* map = new std::unordered_map<std::string_view, int>;
    const auto suffixes = RegistrationSuffixes();
    for (int i = static_cast<int>(suffixes.size()) - 1; i >= 0; --i) (*map)[suffixes[i]] = i;
    return map;
  }();
  return *places;
}

}  // namespace

bool NormalizeUrl(std::string& text) {
  return CatchAllButAbandonment(
      [&]() -> bool {
        const std::string trimmed = TrimText(text);
        if (trimmed.empty()) return false;
        for (const char c : trimmed) {
          if (!IsUrlSafeChar(static_cast<unsigned char>(c))) return false;
        }
        TQuorUrl url;
        url.SetUrl(trimmed);
        if (url.IsValid()) {
          text = url.GetUrl();
          return true;
        }
        if (!url.Protocol.empty()) return false;
        url.Protocol = "http";
        return url.IsValid();
      },
      [&](const std::string&) -> bool {
        return false;
      });
}

std::string HostOfUrl(const std::string& url) {
  return CatchAllButAbandonment(
      [&]() -> std::string {
        TQuorUrl parsed;
        parsed.SetUrl(url);
        return parsed.Host;
      },
      [&](const std::string&) -> std::string {
        return {};
      });
}

std::string UrlWithoutScheme(const std::string& url) {
  return CatchAllButAbandonment(
      [&]() -> std::string {
        TQuorUrl parsed;
        parsed.SetUrl(url, true);
        std::string text = parsed.Host;
        if (parsed.Port != 80) text += ":" + std::to_string(parsed.Port);
        if (!parsed.Path.empty()) text += "/" + parsed.Path;
        if (!parsed.Document.empty()) text += "/" + parsed.Document;
        text = UrlEncode(text);
        const std::string query = parsed.GetQuery(true);
        if (!query.empty()) text += "?" + query;
        return text;
      },
      [&](const std::string&) -> std::string {
        return {};
      });
}

std::string LastPathSegment(const std::string& text) {
  return CatchAllButAbandonment(
      [&]() -> std::string {
        TStringList pieces;
        SplitToList(text, "/", pieces);
        return pieces.Empty() ? std::string() : pieces[pieces.Count() - 1];
      },
      [&](const std::string&) -> std::string {
        return {};
      });
}

bool ResolveDecodeLink(const std::string& link, std::string& target) {
  target.clear();
  return CatchAllButAbandonment(
      [&]() -> bool {
        TQuorUrl url;
        url.SetUrl(link);
        if (url.Document != "Decode") return false;
        const auto id = static_cast<std::int32_t>(HexToIP(url.GetQuery().substr(0, 8)));
        TBorrowedEmailInfo record;
        if (!AcquireEmailInfo(id, record.Ref())) return false;
        return record.Ref()->ResolveLink(link, target);
      },
      [&](const std::string&) -> bool {
        target.clear();
        return false;
      });
}

std::string ResolveDecodeLink(const std::string& link) {
  std::string target;
  ResolveDecodeLink(link, target);
  return target;
}

std::string RegisteredDomain(const std::string& host) {
  if (IsIPAddress(host)) return host;
  const std::string name = LowerCase1252(host);
  const auto& places = SuffixPlaces();
  // Every ending after a "." is a candidate; the table's first entry wins.
  std::size_t best = std::string::npos;
  int bestPlace = std::numeric_limits<int>::max();
  for (std::size_t dot = name.find('.'); dot != std::string::npos; dot = name.find('.', dot + 1)) {
    const auto place = places.find(std::string_view(name).substr(dot + 1));
    if (place != places.end() && place->second < bestPlace) {
      bestPlace = place->second;
      best = dot;
    }
  }
  if (best != std::string::npos) {
    // The suffix taken is the one the host ends with, also when it occurs
    // earlier as well ("co.uk.example.co.uk" is registered as example.co.uk).
    if (best == 0) return name;
    const std::size_t before = name.rfind('.', best - 1);
    return before == std::string::npos ? name : name.substr(before + 1);
  }
  const std::size_t last = name.rfind('.');
  if (last == std::string::npos || last == 0) return name;
  const std::size_t secondLast = name.rfind('.', last - 1);
  return secondLast == std::string::npos ? name : name.substr(secondLast + 1);
}

}  // namespace halvorn
