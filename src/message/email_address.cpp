#include "message/email_address.h"

#include "foundation/net/host_names.h"
#include "foundation/text/general_helpers.h"

namespace halvorn {
namespace {

constexpr std::uint8_t kInvalid = 1;
constexpr std::uint8_t kSourceRoute = 8;

// The address a field holds, and whether the field itself is broken (an
// unclosed "<" or no "@" at all).
std::string FieldAddress(const std::string& field, bool& broken) {
  const std::string text = TrimText(field);
  broken = false;
  const std::size_t open = text.find('<');
  if (open != std::string::npos) {
    const std::size_t close = text.find('>');
    if (close != std::string::npos && close > open) return TrimText(text.substr(open + 1, close - open - 1));
    broken = true;
    return TrimText(text.substr(open + 1));
  }
  const std::size_t at = text.find('@');
  if (at == std::string::npos) {
    broken = true;
    return {};
  }
  std::size_t first = at;
  while (first > 0 && IsAddressChar(static_cast<unsigned char>(text[first - 1]))) --first;
  std::size_t last = at + 1;
  while (last < text.size() && IsAddressChar(static_cast<unsigned char>(text[last]))) ++last;
  return text.substr(first, last - first);
}

}  // namespace

std::uint8_t CheckAddressSpec(const std::string& text) {
  const std::string address = TrimText(text);
  std::uint8_t flags = 0;
  if (address.size() < 6 || address.find(' ') != std::string::npos) flags |= kInvalid;
  std::size_t ats = 0;
  for (char c : address) ats += c == '@';
  if (ats == 0) return flags | kInvalid;
  if (ats > 1) {
    flags |= kSourceRoute;
    const std::size_t colon = address.find(':');
    if (colon == std::string::npos) return flags | kInvalid;
    TStringList route;
    SplitToList(TrimText(address.substr(0, colon)), ",", route);
    for (int i = 0; i < route.Count(); ++i) {
      if (route[i].size() < 2 || route[i][0] != '@') return flags | kInvalid;
    }
    const std::string rest = TrimText(address.substr(colon + 1));
    std::size_t restAts = 0;
    for (char c : rest) restAts += c == '@';
    if (restAts > 1) return flags | kInvalid;
    return flags | CheckAddressSpec(rest);
  }
  for (char c : address) {
    if (!IsAddressChar(static_cast<unsigned char>(c))) return flags | kInvalid;
  }
  const std::size_t at = address.find('@');
  if (!IsValidDomainName(address.substr(at + 1, 999)) || at == 0) flags |= kInvalid;
  return flags;
}

bool IsValidEmailAddress(const std::string& text) {
  bool broken = false;
  const std::string address = FieldAddress(text, broken);
  return !broken && (CheckAddressSpec(address) & kInvalid) == 0;
}

bool SplitEmailAddress(const std::string& text, std::string& localPart, std::string& domain) {
  bool broken = false;
  const std::string address = FieldAddress(text, broken);
  const std::size_t at = address.find('@');
  localPart = at == std::string::npos ? std::string() : address.substr(0, at);
  domain = at == std::string::npos ? std::string() : address.substr(at + 1);
  return !broken && (CheckAddressSpec(address) & kInvalid) == 0;
}

}  // namespace halvorn
