// The digit values of the base64 alphabet, which the MIME codecs and the
// encoded-word decoder share (hexadecimal digits: HexDigitValue, numbers.h).
// Pure; any thread.
#pragma once

namespace halvorn {

// 0-63 for the base64 alphabet "A"-"Z", "a"-"z", "0"-"9", "+", "/"; -1 for
// any other character ("=" included).
constexpr int Base64DigitValue(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace halvorn
