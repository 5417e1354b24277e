#include "message/email_address.h"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "foundation/net/host_names.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/text/text_helpers.h"
#include "foundation/text/list_helpers.h"
#include "foundation/files/file_helpers.h"
#include "foundation/text/string_library.h"

namespace halvorn {
namespace {

// The domain check reads at most this much of what follows the "@".
constexpr std::size_t kMaxDomainLength = 999;
// An unclosed "(" gives at most this much text as the name.
constexpr std::size_t kMaxUnclosedCommentLength = 99;
// The recipient score stops comparing once more rows than this are counted.
constexpr int kMaxScoreRows = 200;

bool IsAddressCharAt(std::string_view text, std::size_t i) {
  return IsAddressChar(static_cast<unsigned char>(text[i]));
}

// The maximal run of address characters around position `at`: [first, last).
void AddressRunAround(std::string_view text, std::size_t at, std::size_t& first, std::size_t& last) {
  first = at;
  while (first > 0 && IsAddressCharAt(text, first - 1)) --first;
  last = at;
  while (last < text.size() && IsAddressCharAt(text, last)) ++last;
}

std::string WithoutControlChars(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (!IsControlChar(static_cast<unsigned char>(c))) out.push_back(c);
  }
  return out;
}

// One maximal run of address characters holding at least one "@", settled
// as ExtractEmailAddresses would settle it "@" by "@": the run's start is
// tried first, then the text after each "@" but the last, in order. The first
// valid address is appended to the list and what stays of the run (its "@"s
// before the address blanked) to `out`.
//
// The run is read a fixed number of times, however many "@" it holds: a run
// of a million "@" would otherwise be checked a million times. It holds only
// address characters, so trimming and the character checks of
// CheckAddressSpec change nothing. A start with two or more "@" after it is
// a source route, valid exactly when:
//  - at least 6 characters follow it;
//  - its first ":" lies between the run's last two "@" (the address after
//    the ":" must hold exactly one "@"), and that address is valid;
//  - its route, from the start to that ":", is valid: every ","-separated
//    element (an empty last one dropped) is at least 2 characters long and
//    begins with "@".
// Only the last start, after the last "@" but one, has a single "@" after it.
void ExtractFromRun(std::string_view run, std::string& out, TStringList& list) {
  constexpr std::size_t npos = std::string_view::npos;
  const std::size_t lastAt = run.rfind('@');
  const std::size_t secondLastAt = lastAt == 0 ? npos : run.rfind('@', lastAt - 1);
  std::size_t found = npos;

  const std::size_t colon = secondLastAt == npos ? npos : run.find(':', secondLastAt);
  if (colon != npos && colon < lastAt &&
      (CheckAddressSpec(run.substr(colon + 1)) & kAddressInvalid) == 0) {
    // Starts before the last ":" ahead of secondLastAt meet an earlier ":".
    const std::size_t before = run.rfind(':', secondLastAt);
    const std::size_t first = before == npos ? 0 : before + 1;
    // routeValid[p - first]: the route from p to the colon is valid.
    std::vector<bool> routeValid(colon - first + 1, false);
    routeValid[colon - first] = true;  // reached only after a final ","
    std::size_t nextComma = colon;
    for (std::size_t p = colon; p-- > first;) {
      if (run[p] == ',') {
        nextComma = p;  // an empty element that is not the last one
        continue;
      }
      const bool elementValid = nextComma - p >= 2 && run[p] == '@';
      const bool restValid = nextComma == colon || routeValid[nextComma + 1 - first];
      routeValid[p - first] = elementValid && restValid;
    }
    auto valid = [&](std::size_t start) {
      return run.size() - start >= 6 && routeValid[start - first];
    };
    if (first == 0 && valid(0)) found = 0;
    for (std::size_t at = run.find('@', first == 0 ? 0 : first - 1);
         found == npos && at < secondLastAt; at = run.find('@', at + 1)) {
      if (valid(at + 1)) found = at + 1;
    }
  }
  if (found == npos) {
    const std::size_t start = secondLastAt == npos ? 0 : secondLastAt + 1;
    if (IsValidEmailAddress(run.substr(start))) found = start;
  }

  const std::size_t kept = found == npos ? run.size() : found;
  out.append(run.substr(0, kept));
  std::replace(out.end() - static_cast<std::ptrdiff_t>(kept), out.end(), '@', ' ');
  if (found != npos) list.Add(std::string(run.substr(found)));
}

}  // namespace

// ---------------------------------------------------------------------------
// TEmailAddress

void TEmailAddress::Parse(std::string_view text) {
  Text = std::string(text);
  Address.clear();
  DisplayName.clear();
  Flags = 0;
  NameKind = kNameNone;

  std::string rest = TrimText(text);
  const std::size_t open = rest.find('<');
  const std::size_t firstAt = rest.find('@');
  if (open != std::string::npos) {
    const std::size_t close = rest.find('>');
    if (close != std::string::npos && close > open) {
      Flags = kAddressInBrackets;
      Address = rest.substr(open + 1, close - open - 1);
      rest.erase(open, close - open + 1);
    } else {
      Flags = kAddressInvalid;
      const std::size_t at = rest.find('@', open);
      if (at != std::string::npos) {
        std::size_t end = at;
        while (end < rest.size() && !IsControlChar(static_cast<unsigned char>(rest[end])) &&
               IsAsciiChar(static_cast<unsigned char>(rest[end])))
          ++end;
        Address = rest.substr(open + 1, end - open - 1);
        rest.erase(open, end - open);
      }
    }
    Flags |= CheckAddressSpec(Address);
  } else if (firstAt != std::string::npos) {
    std::size_t first, last;
    AddressRunAround(rest, firstAt, first, last);
    Address = rest.substr(first, last - first);
    Flags = CheckAddressSpec(Address) | kAddressWithoutBrackets;
    rest.erase(first, last - first);
  } else {
    Flags = kAddressInvalid;
  }
  Address = TrimText(Address);

  const std::size_t quote = rest.find('"');
  const std::size_t paren = rest.find('(');
  if (quote != std::string::npos) {
    const std::size_t quote2 = rest.find('"', quote + 1);
    if (quote2 != std::string::npos) {
      DisplayName = rest.substr(quote + 1, quote2 - quote - 1);
      NameKind = kNameQuoted;
    }
  } else if (paren != std::string::npos) {
    const std::size_t close = rest.find(')', paren + 1);
    if (close != std::string::npos) {
      DisplayName = rest.substr(paren + 1, close - paren - 1);
      NameKind = kNameComment;
    } else {
      DisplayName = rest.substr(paren + 1, kMaxUnclosedCommentLength);
    }
  } else {
    DisplayName = WithoutControlChars(TrimText(rest));
    NameKind = DisplayName.empty() ? kNameNone : kNamePlain;
  }
  DisplayName = TrimText(DisplayName);

  if (Address == "Undisclosed.Recipients") Flags |= kAddressUndisclosed;
}

std::string TEmailAddress::GetLocalPart() const {
  const std::size_t at = Address.find('@');
  return at == std::string::npos ? std::string() : Address.substr(0, at);
}

std::string TEmailAddress::GetDomain() const {
  const std::size_t at = Address.find('@');
  return at == std::string::npos ? std::string() : Address.substr(at + 1);
}

// ---------------------------------------------------------------------------
// TEmailAddressCollection

TEmailAddress& TEmailAddressCollection::Add() {
  return FItems.emplace_back();
}

bool TEmailAddressCollection::AddList(std::string_view text) {
  TStringList pieces;
  SplitToList(text, ",", pieces);
  for (int i = 0; i < pieces.Count(); ++i) Add().Parse(pieces[i]);
  return std::all_of(FItems.begin(), FItems.end(),
                     [](const TEmailAddress& item) { return item.IsValid(); });
}

double TEmailAddressCollection::RecipientListScore(bool fewAddressesRule) const {
  if (Count() == 1) return 0.0;
  TStringList parts;
  parts.SetSorted(true);
  for (const TEmailAddress& item : FItems) parts.Add(UpperCase1252(item.GetLocalPart()));
  if (parts.Count() == 1) return 0.0;

  double sum = 0.0;
  int rows = 0;
  for (int i = 0; i + 1 < parts.Count() && rows <= kMaxScoreRows; ++i) {
    int lowest = -1;
    for (int j = i + 1; j < parts.Count(); ++j) {
      const int similarity = SimilarityPercent(parts[i], parts[j]);
      if (similarity < 100 && (lowest < 0 || similarity < lowest)) lowest = similarity;
    }
    if (lowest >= 0) {
      sum += lowest;
      ++rows;
    }
  }
  const double score = rows > 0 ? sum / rows : 0.0;
  if (fewAddressesRule && Count() < 3) return 0.0;
  return score;
}

// ---------------------------------------------------------------------------
// Free functions

std::uint8_t CheckAddressSpec(std::string_view text) {
  std::uint8_t flags = 0;
  const std::string trimmed = TrimText(text);
  if (trimmed.size() < 6 || trimmed.find(' ') != std::string::npos) flags |= kAddressInvalid;
  const auto ats = std::count(trimmed.begin(), trimmed.end(), '@');
  if (ats == 0) return flags | kAddressInvalid;

  if (ats > 1) {
    flags |= kAddressSourceRoute;
    const std::size_t colon = trimmed.find(':');
    if (colon == std::string::npos) return flags | kAddressInvalid;
    const std::string route = TrimText(std::string_view(trimmed).substr(0, colon));
    const std::string address = TrimText(std::string_view(trimmed).substr(colon + 1));
    TStringList elements;
    SplitToList(route, ",", elements);
    for (int i = 0; i < elements.Count(); ++i) {
      if (elements[i].size() < 2 || elements[i][0] != '@') return flags | kAddressInvalid;
    }
    if (std::count(address.begin(), address.end(), '@') > 1) return flags | kAddressInvalid;
    return flags | CheckAddressSpec(address);
  }

  for (std::size_t i = 0; i < trimmed.size(); ++i) {
    if (!IsAddressCharAt(trimmed, i)) return flags | kAddressInvalid;
  }
  const std::size_t at = trimmed.find('@');
  if (!IsValidDomainName(trimmed.substr(at + 1, kMaxDomainLength))) flags |= kAddressInvalid;
  if (at == 0) flags |= kAddressInvalid;
  return flags;
}

bool IsValidEmailAddress(std::string_view text) {
  TEmailAddress address;
  address.Parse(text);
  return address.IsValid();
}

bool SplitEmailAddress(std::string_view text, std::string& localPart, std::string& domain) {
  TEmailAddress address;
  address.Parse(text);
  localPart = address.GetLocalPart();
  domain = address.GetDomain();
  return address.IsValid();
}

std::string NormalizeEmailAddress(std::string_view text) {
  if (text.empty()) return {};
  TEmailAddress address;
  address.Parse(text);
  return address.GetLocalPart() + "@" + address.GetDomain();
}

// The "@"s are looked at from the left. Removing a valid run, or blanking an
// "@", never joins address characters across the change (a run ends at a
// character that is none), so each maximal run of address characters of the
// original text is settled on its own: its first "@" is tried with the whole
// run, each later one with the run's part after the "@" before it.
void ExtractEmailAddresses(std::string& text, TStringList& list) {
  std::string out;
  out.reserve(text.size());
  std::size_t done = 0;
  while (done < text.size()) {
    const std::size_t at = text.find('@', done);
    if (at == std::string::npos) break;
    std::size_t first, last;
    AddressRunAround(text, at, first, last);
    first = std::max(first, done);
    out.append(text, done, first - done);
    ExtractFromRun(std::string_view(text).substr(first, last - first), out, list);
    done = last;
  }
  if (done < text.size()) out.append(text, done, std::string::npos);
  text = std::move(out);
}

}  // namespace halvorn
