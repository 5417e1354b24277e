#include "classify/rule_catalogue.h"

#include <string.h>

#include <algorithm>
#include <exception>

#include "foundation/text/code_page_1252.h"
#include "foundation/text/text_helpers.h"
#include "foundation/threads/abandonment.h"

namespace halvorn {

// The rows of rule_catalogue_table.cpp; the number is within 0 to 631.
const char* RuleTableName(int rule);
double RuleTablePoints(int rule);
const char* RuleTableDescription(int rule);

namespace {

bool InCatalogue(std::uint16_t rule) {
  return rule < kRuleCount;
}

bool IsWordChar(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool IsAsciiLetter(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The next place of the needle at or after `from`; npos when none.
std::size_t FindFrom(std::string_view text, std::string_view needle, std::size_t from) {
  if (needle.empty() || from > text.size() || needle.size() > text.size() - from)
    return std::string_view::npos;
  const void* found = memmem(text.data() + from, text.size() - from, needle.data(), needle.size());
  if (found == nullptr) return std::string_view::npos;
  return static_cast<std::size_t>(static_cast<const char*>(found) - text.data());
}

}  // namespace

std::string GetSATestName(std::uint16_t rule) {
  return InCatalogue(rule) ? RuleTableName(rule) : std::string();
}

double GetSATestScore(std::uint16_t rule) {
  return InCatalogue(rule) ? RuleTablePoints(rule) : 1.0;
}

std::string GetSATestDescription(std::uint16_t rule) {
  return InCatalogue(rule) ? RuleTableDescription(rule) : std::string();
}

TSARule ParseSARule(std::string_view text) {
  TSARule rule;
  rule.NegatedFull = text.substr(0, 2) == "!~";
  rule.NegatedPlain = text.find("=~") == std::string_view::npos &&
                      text.find("!~") != std::string_view::npos;
  const std::size_t first = text.find('/');
  const std::size_t last = text.rfind('/');
  if (first == std::string_view::npos || first == last) return rule;
  rule.Valid = true;
  rule.Expression = std::string(text.substr(first + 1, last - first - 1));
  rule.Modifiers = std::string(text.substr(last + 1, 999));
  for (char& c : rule.Modifiers)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  rule.IgnoreCase = rule.Modifiers.find('i') != std::string::npos;
  std::string_view needle = rule.Expression;
  if (needle.substr(0, 2) == "\\b") {
    rule.LeftBoundary = true;
    needle.remove_prefix(2);
  }
  if (needle.size() >= 2 && needle.substr(needle.size() - 2) == "\\b") {
    rule.RightBoundary = true;
    needle.remove_suffix(2);
  }
  rule.Needle = std::string(needle);
  rule.FoldedNeedle = UpperCase1252(needle);
  return rule;
}

bool MatchSARule(const TSARule& rule, std::string_view subject, TPcreRegExpr& matcher) {
  if (!rule.Valid) return false;
  try {
    auto has = [&](char letter) { return rule.Modifiers.find(letter) != std::string::npos; };
    matcher.SetModifier(1, has('i'));
    matcher.SetModifier(2, has('r'));
    matcher.SetModifier(3, has('s'));
    matcher.SetModifier(4, has('g'));
    matcher.SetModifier(5, has('m'));
    matcher.SetExpression(rule.Expression);
    return matcher.Matches(subject) != rule.NegatedFull;
  } catch (const EThreadAbandoned&) {
    throw;
  } catch (...) {
    return false;
  }
}

bool PerformSATest(std::string_view rule, std::string_view subject, TPcreRegExpr& matcher) {
  try {
    return MatchSARule(ParseSARule(rule), subject, matcher);
  } catch (const EThreadAbandoned&) {
    throw;
  } catch (...) {
    return false;
  }
}

std::string_view TPlainSubject::Folded() {
  if (!FFoldedMade) {
    FFolded.resize(FText.size());
    for (std::size_t i = 0; i < FText.size(); ++i)
      FFolded[i] = static_cast<char>(UpperChar1252(static_cast<unsigned char>(FText[i])));
    FFoldedMade = true;
  }
  return FFolded;
}

bool SearchSARule(const TSARule& rule, TPlainSubject& subject) {
  if (!rule.Valid) return false;
  const std::string_view text = subject.Text();
  const std::string_view haystack = rule.IgnoreCase ? subject.Folded() : text;
  const std::string_view needle = rule.IgnoreCase ? rule.FoldedNeedle : rule.Needle;
  bool found = false;
  for (std::size_t at = FindFrom(haystack, needle, 0); at != std::string_view::npos;
       at = FindFrom(haystack, needle, at + 1)) {
    const std::size_t end = at + needle.size();
    const bool left =
        !rule.LeftBoundary || at == 0 || !IsWordChar(static_cast<unsigned char>(text[at - 1]));
    const bool right =
        !rule.RightBoundary || end == text.size() || !IsWordChar(static_cast<unsigned char>(text[end]));
    if (left && right) {
      found = true;
      break;
    }
  }
  return found != rule.NegatedPlain;
}

bool PerformSATestFF(std::string_view rule, std::string_view subject, TPcreRegExpr*) {
  try {
    TPlainSubject prepared(subject);
    return SearchSARule(ParseSARule(rule), prepared);
  } catch (const EThreadAbandoned&) {
    throw;
  } catch (...) {
    return false;
  }
}

std::int32_t PercentUppercase(std::string_view text) {
  std::int64_t upper = 0;
  std::int64_t lower = 1;
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 'A' && c <= 'Z') ++upper;
    if (c >= 'a' && c <= 'z') ++lower;
  }
  return static_cast<std::int32_t>(std::min<std::int64_t>(upper * 100 / lower, INT32_MAX));
}

std::int32_t CountLinesOfYelling(std::string_view text) {
  std::int32_t count = 0;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::string_view trimmed = TrimTextView(line);
    if (trimmed.size() < 10) continue;
    if (line.front() == '\t' || line.front() == ' ') {
      line = trimmed;
      if (line.front() != '!' && line.front() != '$' && line[1] != '$') continue;
    }
    int capitals = 0;
    bool small = false;
    bool other = false;
    for (char ch : line) {
      const auto c = static_cast<unsigned char>(ch);
      if (c >= 'A' && c <= 'Z') ++capitals;
      if (c >= 'a' && c <= 'z') small = true;
      if (!IsAsciiLetter(c) && c != ' ') other = true;
    }
    if (other && !small && capitals >= 20) ++count;
  }
  return count;
}

}  // namespace halvorn
