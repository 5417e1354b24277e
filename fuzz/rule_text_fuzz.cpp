// A rule text and a subject (split at the input's first line feed) through
// both rule matchers. Properties: nothing raises; the plain search answers
// what a slow search by the string library's own finders (FindTextCIFrom,
// PosFrom) answers; for a pattern that compiles, "!~" answers the opposite
// of "=~".
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "classify/rule_catalogue.h"
#include "foundation/regex/regex_cache.h"
#include "foundation/text/string_library.h"
#include "foundation/text/text_helpers.h"

namespace {

using namespace halvorn;

void Check(bool condition) {
  if (!condition) std::abort();
}

bool WordChar(char ch) {
  const auto c = static_cast<unsigned char>(ch);
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// The plain reading, one 1-based find after another.
bool SlowPlain(std::string_view rule, std::string_view subject) {
  const std::size_t first = rule.find('/');
  const std::size_t last = rule.rfind('/');
  if (first == std::string_view::npos || first == last) return false;
  std::string_view needle = rule.substr(first + 1, last - first - 1);
  std::string modifiers(rule.substr(last + 1, 999));
  bool caseless = false;
  for (char c : modifiers) caseless |= c == 'i' || c == 'I';
  bool left = false, right = false;
  if (needle.substr(0, 2) == "\\b") {
    left = true;
    needle.remove_prefix(2);
  }
  if (needle.size() >= 2 && needle.substr(needle.size() - 2) == "\\b") {
    right = true;
    needle.remove_suffix(2);
  }
  bool found = false;
  if (!needle.empty()) {
    for (int at = 1;;) {
      at = caseless ? FindTextCIFrom(subject, needle, at) : PosFrom(subject, needle, at);
      if (at == 0) break;
      const std::size_t start = static_cast<std::size_t>(at - 1);
      const std::size_t end = start + needle.size();
      if ((!left || start == 0 || !WordChar(subject[start - 1])) &&
          (!right || end == subject.size() || !WordChar(subject[end]))) {
        found = true;
        break;
      }
      ++at;
    }
  }
  const bool negated = rule.find("=~") == std::string_view::npos &&
                       rule.find("!~") != std::string_view::npos;
  return found != negated;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t cut = input.find('\n');
  const std::string_view rule = input.substr(0, cut);
  const std::string_view subject =
      cut == std::string_view::npos ? std::string_view() : input.substr(cut + 1);

  Check(PerformSATestFF(rule, subject) == SlowPlain(rule, subject));

  TPcreRegExpr matcher;
  const bool answer = PerformSATest(rule, subject, matcher);
  (void)answer;
  const std::size_t first = rule.find('/');
  const std::size_t last = rule.rfind('/');
  if (first == std::string_view::npos || first == last) return 0;
  const std::string body(rule.substr(first));
  const bool yes = PerformSATest("=~ " + body, subject, matcher);
  const bool no = PerformSATest("!~ " + body, subject, matcher);
  bool compiles = true;
  try {
    (void)CachedRegex(body.substr(1, body.rfind('/') - 1), TRegexOptions::None);
  } catch (...) {
    compiles = false;
  }
  if (compiles) {
    // A match stopped by the engine's limits answers false both ways.
    if (yes || no) Check(yes != no);
  } else {
    Check(!yes && !no);
  }
  return 0;
}
