#include "foundation/text/trite_array.h"

#include <algorithm>

#include "foundation/text/code_page_1252.h"
#include "foundation/text/text_compression.h"

namespace halvorn {
namespace {

// Nobody writes a compressed form of a compressed form on purpose; the bound
// only keeps a crafted text from expanding again and again.
constexpr int kMaxNesting = 8;

constexpr std::size_t kMaxEntries = kTriteMaxIndex + 1;

}  // namespace

std::string TriteArrayToText(const TTriteArray& array) {
  if (array.empty()) return {};
  std::size_t length = 0;
  for (std::size_t i = 0; i < array.size(); ++i) {
    if (array[i] == kTriteYes || array[i] == kTriteNo) length = i + 1;
  }
  if (length == 0) return "u";
  std::string text(length, 'u');
  for (std::size_t i = 0; i < length; ++i) text[i] = TriteToChar(array[i]);
  return text;
}

std::string TriteArrayToCompressedText(const TTriteArray& array) {
  if (array.empty()) return {};
  std::string text = TriteArrayToText(array);
  CompressText(text);
  return "!" + text;
}

TTriteArray TriteArrayFromText(const std::string& text) {
  TTriteArray array;
  std::string plain = text;
  for (int level = 0; !plain.empty() && plain[0] == '!'; ++level) {
    if (level == kMaxNesting) return array;
    plain.erase(0, 1);
    ExpandText(plain);
  }
  if (plain.empty()) return array;
  const std::size_t count = std::min(plain.size(), kMaxEntries);
  array.resize(count, kTriteUnknown);
  std::size_t length = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (plain[i] == 'y') {
      array[i] = kTriteYes;
    } else if (plain[i] == 'n') {
      array[i] = kTriteNo;
    } else {
      continue;
    }
    length = i + 1;
  }
  array.resize(length == 0 ? 1 : length);
  return array;
}

void TriteArrayClear(TTriteArray& array) {
  array.clear();
}

char TriteToChar(TTrite value) {
  switch (value) {
    case kTriteYes:
      return 'y';
    case kTriteNo:
      return 'n';
    default:
      return 'u';
  }
}

TTrite CharToTrite(char c) {
  switch (LowerChar1252(static_cast<unsigned char>(c))) {
    case 'y':
      return kTriteYes;
    case 'n':
      return kTriteNo;
    default:
      return kTriteUnknown;
  }
}

TTrite TextToTrite(const std::string& text) {
  if (text.size() != 1) return kTriteUnknown;
  return CharToTrite(text[0]);
}

bool TriteIsYes(TTrite value) {
  return value == kTriteYes;
}

TTrite TriteGet(const TTriteArray& array, int index) {
  if (index < 0 || static_cast<std::size_t>(index) >= array.size()) return kTriteUnknown;
  return array[static_cast<std::size_t>(index)];
}

void TriteSet(TTriteArray& array, int index, TTrite value, bool onlyIfUnknown) {
  if (index < 0 || index > kTriteMaxIndex) return;
  if (onlyIfUnknown && TriteGet(array, index) != kTriteUnknown) return;
  const auto i = static_cast<std::size_t>(index);
  if (i >= array.size()) array.resize(i + 1, kTriteUnknown);
  array[i] = value;
}

void TriteSetBool(TTriteArray& array, int index, bool flag, bool onlyIfUnknown) {
  TriteSet(array, index, TriteFromBool(flag), onlyIfUnknown);
}

void TriteResolve(TTriteArray& array, int index, bool force) {
  const bool yes = force || TriteGet(array, index) == kTriteYes;
  TriteSet(array, index, yes ? kTriteYes : kTriteNo, false);
}

}  // namespace halvorn
