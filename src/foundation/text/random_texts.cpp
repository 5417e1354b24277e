#include "foundation/text/random_texts.h"

#include <string_view>

#include "foundation/crypto/random_source.h"

namespace halvorn {

namespace {

constexpr std::string_view kPrintableChars =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

}  // namespace

std::string RandomPrintable(int n) {
  if (n < 1) return {};
  std::string text(static_cast<std::size_t>(n), '\0');
  for (char& c : text) c = kPrintableChars[RandomInt(static_cast<int>(kPrintableChars.size()))];
  return text;
}

std::string RandomVisibleChars(int n) {
  if (n < 1) return {};
  std::string text(static_cast<std::size_t>(n), '\0');
  for (char& c : text) c = static_cast<char>(33 + RandomInt(95));
  return text;
}

}  // namespace halvorn
