// The digit values of the two transfer alphabets that the MIME codecs and
// the encoded-word decoder share. Pure; any thread.
#pragma once

namespace halvorn {

// 0-15 for "0"-"9", "A"-"F" and "a"-"f"; -1 for any other character.
constexpr int HexDigitValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

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
