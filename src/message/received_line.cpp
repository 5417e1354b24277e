#include "message/received_line.h"

#include "foundation/net/host_names.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/text/encoded_words.h"
#include "foundation/text/text_helpers.h"
#include "foundation/text/list_helpers.h"
#include "foundation/files/file_helpers.h"
#include "foundation/threads/quor_thread.h"
#include "message/header_errors.h"

namespace halvorn {

namespace {

constexpr std::size_t npos = std::string_view::npos;

// Lines that servers write without "from ... by ...": qmail's own lines,
// local hand-overs and invocations. They are not held against the message.
bool IsLocalHandOverLine(std::string_view value) {
  for (const std::string_view marker : {"qmail", "127.", "from network", "invoked"})
    if (value.find(marker) != npos) return true;
  return false;
}

// Runs a reader; any failure but an abandoned worker's empties the output
// and answers `onFailure`.
template <class Result, class Reader>
Result Guarded(std::string& out, Result onFailure, Reader read) {
  return CatchAllButAbandonment(
      [&]() -> Result {
        return read();
      },
      [&](const std::string&) -> Result {
        out.clear();
        return onFailure;
      });
}

// The first piece of `text` enclosed in `open` ... `close` whose trimmed
// inner text is a dotted number. Pieces are taken one after another; an
// empty one ends the search.
bool FindEnclosedDottedNumber(std::string_view text, char open, char close, std::string& found) {
  std::size_t from = 0;
  while (true) {
    const std::size_t o = text.find(open, from);
    if (o == npos) return false;
    const std::size_t c = text.find(close, o + 1);
    if (c == npos) return false;
    const std::string inner = TrimText(text.substr(o + 1, c - o - 1));
    if (inner.empty()) return false;
    if (IsDottedNumberText(inner)) {
      found = inner;
      return true;
    }
    from = c + 1;
  }
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

std::uint32_t ReceivedFromHost(std::string_view value, std::string& host) {
  host.clear();
  return Guarded<std::uint32_t>(host, 0, [&]() -> std::uint32_t {
    const std::string line = TrimText(value);
    if (!SameText1252(std::string_view(line).substr(0, 4), "from"))
      return IsLocalHandOverLine(value) ? 0 : HeaderErrorBit(heReceivedFromNameMissing);
    const std::size_t blank = line.find(' ');
    const std::string rest = TrimText(blank == npos ? line : line.substr(blank + 1));
    host = TrimText(rest.substr(0, rest.find_first_of(" ([")));
    std::uint32_t flags = 0;
    if (SameText1252(host, "localhost") &&
        value.find("from mail pickup service by hotmail") == npos)
      flags |= HeaderErrorBit(heReceivedFromNameNotADomain);
    if (IsDottedNumberText(host) && !host.starts_with("192") && !host.starts_with("127"))
      flags |= HeaderErrorBit(heReceivedFromNameIP);
    return flags;
  });
}

std::uint32_t ReceivedFromName(std::string_view value, std::string& name) {
  name.clear();
  return Guarded<std::uint32_t>(name, 0, [&]() -> std::uint32_t {
    std::string host;
    ReceivedFromHost(value, host);
    if (host.empty()) return 0;
    std::string rest = TrimText(value.substr(value.find(host) + host.size()));
    const int by = FindTextCIFrom(rest, "by ", 1);
    rest = by > 0 ? rest.substr(0, static_cast<std::size_t>(by)) : std::string();
    const std::size_t open = rest.find('(');
    const std::size_t close = open == npos ? npos : rest.find(')', open + 1);
    std::string inner;
    if (close != npos) {
      inner = TrimText(std::string_view(rest).substr(open + 1, close - open - 1));
      inner = TrimText(inner.substr(0, inner.find('[')));
    }
    if (IsDottedNumberText(inner) || SameText1252(inner, "unverified")) return 0;
    name = inner;
    return IsValidDomainName(name) ? 0 : HeaderErrorBit(heReceivedFromPTRNotDomain);
  });
}

bool ReceivedFromIP(std::string_view value, std::string& address) {
  address.clear();
  return Guarded<bool>(address, false, [&]() -> bool {
    const std::string lower = LowerCase1252(value);
    const std::size_t from = lower.find("from");
    if (from == npos) return false;
    const std::string_view after = std::string_view(lower).substr(from + 4, 999);
    const std::size_t by = after.find("by");
    if (by == npos) return false;
    const std::string fromPart = TrimText(after.substr(0, by));
    return FindEnclosedDottedNumber(fromPart, '[', ']', address) ||
           FindEnclosedDottedNumber(fromPart, '(', ')', address) ||
           FindEnclosedDottedNumber(value, '[', ']', address) ||
           FindEnclosedDottedNumber(value, '(', ')', address);
  });
}

std::uint32_t GetReceivedByHost(std::string_view value, std::string& host) {
  host.clear();
  return Guarded<std::uint32_t>(host, 0, [&]() -> std::uint32_t {
    std::string anchor;
    ReceivedFromHost(value, anchor);
    std::string_view search = value;
    if (!anchor.empty()) {
      const std::size_t at = value.find(anchor);
      if (at != npos) search = value.substr(at + anchor.size() - 1);
    }
    const int by = FindTextCIFrom(search, "by ", 1);
    if (by == 0) return IsLocalHandOverLine(value) ? 0 : HeaderErrorBit(heReceivedByNameMissing);
    const std::string rest = TrimText(search.substr(static_cast<std::size_t>(by) + 2));
    host = TrimText(rest.substr(0, rest.find_first_of(" ;(")));
    return host.empty() ? HeaderErrorBit(heReceivedByNameMissing) : 0;
  });
}

std::uint32_t ReceivedDateText(std::string_view value, std::string& text) {
  text.clear();
  const std::uint32_t missing = HeaderErrorBit(heReceivedDateMissing);
  return Guarded<std::uint32_t>(text, missing, [&]() -> std::uint32_t {
    const std::size_t semicolon = value.rfind(';');
    const std::string part = TrimText(semicolon == npos ? value : value.substr(semicolon + 1));
    const std::size_t first = part.find(':');
    const std::size_t second = first == npos ? npos : part.find(':', first + 1);
    if (second == npos) return missing;
    const std::size_t blank = part.rfind(' ', first);
    const std::size_t start = blank == npos ? 0 : blank + 1;
    const std::size_t secondsEnd = second + 2;  // the last digit of the seconds
    std::uint32_t flags = 0;
    if (secondsEnd - start + 1 < 8) flags |= HeaderErrorBit(heReceivedDateTimeNotPadded);
    std::size_t end = secondsEnd;
    if (secondsEnd + 2 < part.size() && IsDigit(part[secondsEnd + 2])) {
      flags |= HeaderErrorBit(heReceivedDateYearLast);
      end = secondsEnd + 2;
      while (end + 1 < part.size() && IsDigit(part[end + 1])) ++end;
    } else if (secondsEnd + 2 < part.size() &&
               (UpperChar1252(part[secondsEnd + 1]) == 'A' ||
                UpperChar1252(part[secondsEnd + 1]) == 'P') &&
               UpperChar1252(part[secondsEnd + 2]) == 'M') {
      flags |= HeaderErrorBit(heReceivedDate12HrClock);
      end = secondsEnd + 4;
    }
    if (end < part.size()) text = TrimText(std::string_view(part).substr(0, end + 1));
    if (text.empty()) flags |= missing;
    return flags;
  });
}

void TReceivedLine::Parse(std::string_view value) {
  FFlags = 0;
  FFromHost.clear();
  FFromName.clear();
  FFromIP.clear();
  FByHost.clear();
  FLine = value;
  if (value.empty()) return;
  FFlags |= ReceivedFromHost(value, FFromHost);
  FFlags |= ReceivedFromName(value, FFromName);
  ReceivedFromIP(value, FFromIP);
  FFlags |= GetReceivedByHost(value, FByHost);
  std::string date;
  FFlags |= ReceivedDateText(value, date);
}

}  // namespace halvorn
