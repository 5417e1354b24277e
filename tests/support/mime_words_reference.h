// The plain recursive reading of the header decoder's encoded-word steps,
// for checking the linear one (tests and the fuzz target): find the word by
// the prefix order, decode it, decode the rest by calling itself, trim the
// decoded rest when it changed and began with "=?", join, drop NUL bytes.
// Everything is written out again here, word decoding included, so that the
// two share nothing but JisToShiftJis (checked against Python on its own).
// It nests once per word and searches the whole rest at every level: feed
// it short texts only.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "message/mime_words.h"

namespace halvorn::test {

inline std::string ReferenceDecodeMimeWords(const std::string& text) {
  auto removeNul = [](std::string s) {
    std::string out;
    for (char c : s)
      if (c != '\0') out.push_back(c);
    return out;
  };
  auto upper = [](std::string s) {
    for (char& c : s)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return s;
  };
  // Step 1: the prefix order decides where the word starts.
  const std::string up = upper(text);
  std::size_t start = std::string::npos;
  for (const char* prefix : {"=?ISO", "=?WINDOWS", "=?US-ASCII", "=?UTF-", "=?CP-", "=?"}) {
    start = up.find(prefix);
    if (start != std::string::npos) break;
  }
  if (start == std::string::npos) return removeNul(text);
  // Step 2.
  const std::size_t q1 = text.find('?', start + 2);
  if (q1 == std::string::npos) return removeNul(text);
  const std::size_t q2 = text.find('?', q1 + 1);
  if (q2 == std::string::npos) return removeNul(text);
  const std::size_t e = text.find("?=", q2 + 1);
  if (e == std::string::npos) return removeNul(text);
  // Step 3.
  const std::string charset = text.substr(start + 2, q1 - start - 2);
  const char letter = text[q1 + 1];
  const std::string encoded = text.substr(q2 + 1, e + 2 - (q2 + 1));
  auto isHex = [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
  };
  std::string decoded;
  if (encoded == "?=") {
    // Step 4: nothing.
  } else if (letter == 'Q' || letter == 'q') {
    // Step 5, with a bad escape kept as written.
    std::size_t i = 0;
    while (i < encoded.size() - 2) {
      char c = encoded[i];
      if (c == '_') {
        decoded += ' ';
        ++i;
      } else if (c == '=' && i + 5 <= encoded.size() && isHex(encoded[i + 1]) &&
                 isHex(encoded[i + 2])) {
        decoded += static_cast<char>(std::stoi(encoded.substr(i + 1, 2), nullptr, 16));
        i += 3;
      } else {
        decoded += c;
        ++i;
      }
    }
  } else {
    // Step 6.
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (std::size_t i = 0; i + 4 <= encoded.size(); i += 4) {
      unsigned v[4];
      for (int k = 0; k < 4; ++k) {
        std::size_t p = alphabet.find(encoded[i + k]);
        v[k] = p == std::string::npos ? 0 : static_cast<unsigned>(p);
      }
      decoded += static_cast<char>((v[0] << 2) | (v[1] >> 4));
      decoded += static_cast<char>(((v[1] & 15) << 4) | (v[2] >> 2));
      decoded += static_cast<char>(((v[2] & 3) << 6) | v[3]);
    }
  }
  // Step 7.
  if (upper(charset) == "ISO-2022-JP") decoded = JisToShiftJis(decoded);
  // Step 8.
  const std::string rest = text.substr(e + 2);
  std::string decodedRest = ReferenceDecodeMimeWords(rest);
  if (decodedRest != rest && rest.rfind("=?", 0) == 0) {
    std::size_t first = decodedRest.find_first_not_of(' ');
    if (first == std::string::npos) {
      decodedRest.clear();
    } else {
      decodedRest = decodedRest.substr(first, decodedRest.find_last_not_of(' ') - first + 1);
    }
  }
  // Step 9.
  return removeNul(text.substr(0, start) + decoded + decodedRest);
}

}  // namespace halvorn::test
