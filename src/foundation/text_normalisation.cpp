#include "foundation/text_normalisation.h"

#include "foundation/general_helpers.h"

namespace halvorn {

namespace {

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string UrlEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string result;
  result.reserve(text.size());
  for (unsigned char c : text) {
    if (IsUrlSafeChar(c) && c != '%' && c != '+') {
      result += static_cast<char>(c);
    } else {
      result += '%';
      result += kHex[c >> 4];
      result += kHex[c & 0x0F];
    }
  }
  return result;
}

std::string UrlDecode(std::string_view text) {
  std::string plus(text);
  for (char& c : plus) {
    if (c == '+') c = ' ';
  }
  std::string result;
  result.reserve(plus.size());
  std::size_t i = 0;
  while (i < plus.size()) {
    // A "%" needs two more characters; both must be hexadecimal digits.
    if (plus[i] == '%' && plus.size() - i > 2) {
      int high = HexDigitValue(plus[i + 1]);
      int low = HexDigitValue(plus[i + 2]);
      if (high >= 0 && low >= 0) {
        result += static_cast<char>(high * 16 + low);
        i += 3;
        continue;
      }
    }
    result += plus[i];
    ++i;
  }
  return result;
}

}  // namespace halvorn
