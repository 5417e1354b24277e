#include "foundation/text/code_page_1252.h"

#include <array>

namespace halvorn {
namespace {

struct CaseTables {
  std::array<unsigned char, 256> Upper{};
  std::array<unsigned char, 256> Lower{};

  CaseTables() {
    for (int c = 0; c < 256; ++c) Upper[c] = Lower[c] = static_cast<unsigned char>(c);
    auto pair = [this](int upper, int lower) {
      Upper[lower] = static_cast<unsigned char>(upper);
      Lower[upper] = static_cast<unsigned char>(lower);
    };
    for (int c = 'A'; c <= 'Z'; ++c) pair(c, c + 32);
    for (int c = 0xC0; c <= 0xDE; ++c)
      if (c != 0xD7) pair(c, c + 32);
    pair(0x8A, 0x9A);  // S caron
    pair(0x8C, 0x9C);  // OE ligature
    pair(0x8E, 0x9E);  // Z caron
    pair(0x9F, 0xFF);  // Y diaeresis
  }
};

const CaseTables& Tables() {
  static const CaseTables tables;
  return tables;
}

}  // namespace

unsigned char UpperChar1252(unsigned char c) { return Tables().Upper[c]; }
unsigned char LowerChar1252(unsigned char c) { return Tables().Lower[c]; }

std::string UpperCase1252(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(UpperChar1252(static_cast<unsigned char>(c)));
  return out;
}

std::string LowerCase1252(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(LowerChar1252(static_cast<unsigned char>(c)));
  return out;
}

// Both run for every look-up of a name or an entry: the table is fetched
// once per call, not once per character.
bool SameText1252(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  const auto& upper = Tables().Upper;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto x = static_cast<unsigned char>(a[i]);
    const auto y = static_cast<unsigned char>(b[i]);
    if (x != y && upper[x] != upper[y]) return false;
  }
  return true;
}

int CompareText1252(std::string_view a, std::string_view b) {
  const auto& upper = Tables().Upper;
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    int x = upper[static_cast<unsigned char>(a[i])];
    int y = upper[static_cast<unsigned char>(b[i])];
    if (x != y) return x - y;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

}  // namespace halvorn
