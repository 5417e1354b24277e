// Compiles fuzzed patterns with fuzzed options and runs every matching
// operation of the PCRE wrapper on a fuzzed subject. Pattern errors, limit
// errors and bad substitution variables are expected; anything else that
// escapes, and any crash, is a finding.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/regex/pcre_reg_expr.h"

using namespace halvorn;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  auto options = static_cast<TRegexOptions>(data[0]);
  auto matchOptions = static_cast<TRegexMatchOptions>(data[1] & 0x0F);
  std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);
  // pattern \0 subject \0 replacement
  std::size_t cut1 = rest.find('\0');
  std::string_view pattern = rest.substr(0, cut1);
  std::string_view subject, replacement = "<$&|$1|$+|$`|$'>";
  if (cut1 != std::string_view::npos) {
    subject = rest.substr(cut1 + 1);
    std::size_t cut2 = subject.find('\0');
    if (cut2 != std::string_view::npos) {
      replacement = subject.substr(cut2 + 1);
      subject = subject.substr(0, cut2);
    }
  }
  if (pattern.size() > 512 || subject.size() > 4096) return 0;

  std::shared_ptr<IRegex> re;
  try {
    re = NewRegex(pattern, options);
  } catch (const ERegexException&) {
    return 0;
  }
  try {
    auto m = re->Match(subject, static_cast<int>(data[1] >> 4), matchOptions);
    auto groups = m->Groups();
    for (int i = -2; i <= groups->Count(); ++i) {
      auto g = groups->Items(i);
      std::string value = g->Value();
      if (g->Success() && static_cast<int>(value.size()) != g->Length()) __builtin_trap();
    }
    auto all = re->Matches(subject, matchOptions);
    for (int i = 0; i < all->Count(); ++i) (void)all->Items(i)->Value();
    auto pieces = re->Split(subject, true, matchOptions);
    for (int i = 0; i < pieces->Count(); ++i) (void)pieces->Items(i);
    try {
      (void)re->Replace(subject, replacement, matchOptions);
    } catch (const ERegexInvalidSubstitutionGroup&) {
    }
    auto info = RegexInfo(re);
    (void)info->FirstChar();
    (void)info->LastLiteral();
    (void)info->Options();
  } catch (const ERegexException&) {
    // A match limit reached: an error result, not a crash.
  }
  return 0;
}
