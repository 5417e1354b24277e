#include "platform/qt_text.h"

namespace halvorn::platform {
namespace {

// Unicode of bytes 0x80..0x9F; the undefined ones keep their own number.
const char16_t kHighControls[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

}  // namespace

QString FromCodePage1252(const std::string& text) {
  QString result;
  result.reserve(static_cast<qsizetype>(text.size()));
  for (unsigned char byte : text) {
    if (byte >= 0x80 && byte <= 0x9F)
      result.append(QChar(kHighControls[byte - 0x80]));
    else
      result.append(QChar(static_cast<char16_t>(byte)));
  }
  return result;
}

std::string ToCodePage1252(const QString& text) {
  std::string result;
  result.reserve(static_cast<std::size_t>(text.size()));
  for (QChar c : text) {
    char16_t code = c.unicode();
    if (code < 0x80 || (code >= 0xA0 && code <= 0xFF)) {
      result.push_back(static_cast<char>(code));
      continue;
    }
    char mapped = '?';
    for (int i = 0; i < 32; ++i)
      if (kHighControls[i] == code) mapped = static_cast<char>(0x80 + i);
    result.push_back(mapped);
  }
  return result;
}

}  // namespace halvorn::platform
