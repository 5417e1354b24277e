#include "message/mailer_patterns.h"

#include <string_view>

#include "foundation/net/host_names.h"
#include "foundation/regex/reg_ex_wrappers.h"
#include "foundation/threads/quor_thread.h"

namespace halvorn {

namespace {

constexpr std::uint8_t kPatternOptions = kRegExDotAll | kRegExGreedy;

struct TKindPattern {
  int Kind;
  const char* Pattern;
};

constexpr TKindPattern kBoundaryPatterns[] = {
    {2, R"((--)?----_=_NextPart_[0-9A-F]{3}_[0-9A-F]{8}\.[0-9A-F]{8})"},
    {4, R"((--)?----=_NextPart_[0-9A-F]{3}_[0-9A-F]{4}_[0-9A-F]{8}\.[0-9A-F]{8})"},
    {5, R"((--)?_NextPart_[0-9A-F]{3}\_[0-9A-F]{8})"},
    {3, R"((--)?Boundary_\(ID_.{22}\))"},
};

constexpr TKindPattern kMessageIdPatterns[] = {
    {2, R"(<[0-9a-f]{8}\$[0-9a-f]{8}\$[0-9a-f]{8}@[A-Za-z0-9\.]+>)"},
    {3, R"(<[0-9a-f]{12}\$[0-9a-f]{8}\$[0-9a-f]{8}@[A-Za-z0-9\.]+>)"},
    {4, R"(<[A-Z]{28}\..+@.+>)"},
    {5, R"(<[0-9A-F]{38}@.+>)"},
    {6, R"(<[0-9A-F]{40}@.+>)"},
    {7, R"(<[0-9A-F]{8}\.[0-9]{5,7}@.+>)"},
    {8, R"(<[0-9A-F]{8}\.[0-9A-F]{3}%[0-9]{5,7}@.+>)"},
};

// The kind of the first pattern that matches the whole text; 1 for none.
template <std::size_t N>
int MatchKind(const std::string& text, const TKindPattern (&patterns)[N]) {
  for (const TKindPattern& p : patterns)
    if (RegExMatchesWhole(text, p.Pattern, kPatternOptions)) return p.Kind;
  return 1;
}

// The hexadecimal number of characters `first` to `last` (1-based) of the
// text.
std::uint32_t HexGroup(std::string_view text, std::size_t first, std::size_t last) {
  return HexToIP(std::string(text.substr(first - 1, last - first + 1)));
}

TDateTime FileTimeOf(std::string_view text, std::size_t highFirst, std::size_t lowFirst) {
  return FileTimeToLocalDateTime(HexGroup(text, lowFirst, lowFirst + 7),
                                 HexGroup(text, highFirst, highFirst + 7));
}

}  // namespace

int ParseBoundaryPattern(const std::string& boundary, TBoundaryPatternRec& rec) {
  rec = TBoundaryPatternRec();
  return CatchAllButAbandonment(
      [&]() -> int {
        const int kind = MatchKind(boundary, kBoundaryPatterns);
        const std::size_t at = boundary.find("NextPart");
        if (at == std::string::npos || (kind != 2 && kind != 4)) return kind;
        // The digits stand behind "NextPart_"; the patterns guarantee them.
        const std::string_view digits = std::string_view(boundary).substr(at + 9);
        rec.Counter = static_cast<std::int32_t>(HexGroup(digits, 1, 3));
        if (kind == 2) {
          rec.Date = FileTimeOf(digits, 5, 14);
        } else {
          rec.Counter2 = static_cast<std::int32_t>(HexGroup(digits, 5, 8));
          rec.Date = FileTimeOf(digits, 10, 19);
        }
        return kind;
      },
      [&](const std::string&) -> int {
        rec = TBoundaryPatternRec();
        return 1;
      });
}

int ParseMessageIdPattern(const std::string& messageId, TMessageIdRec& rec) {
  rec = TMessageIdRec();
  int kind = 1;
  CatchAllButAbandonment(
      [&]() {
        kind = MatchKind(messageId, kMessageIdPatterns);
        if (kind != 2 && kind != 3) return;
        // Both shapes begin with "<" and end with ">", which do not count.
        const std::string_view id = std::string_view(messageId).substr(1, messageId.size() - 2);
        if (kind == 2) {
          rec.Date = FileTimeOf(id, 1, 10);
          rec.SenderIP = IPToStr(HexGroup(id, 19, 26));
        } else {
          rec.Counter = static_cast<std::int32_t>(HexGroup(id, 1, 4));
          rec.Date = FileTimeOf(id, 5, 14);
          rec.SenderIP = IPToStr(HexGroup(id, 23, 30));
        }
      },
      [&](const std::string&) {
        // A failure while matching gives kind 1; one after the match keeps the
        // kind, with what was read until then.
      });
  return kind;
}

}  // namespace halvorn
