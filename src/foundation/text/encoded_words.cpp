#include "foundation/text/encoded_words.h"

#include <array>
#include <cstdint>
#include <stdexcept>

#include "foundation/text/numbers.h"

namespace halvorn {

namespace {

constexpr std::size_t kMaxUULineBytes = 45;

char UUChar(unsigned value) {
  value &= 0x3F;
  return value == 0 ? '`' : static_cast<char>(value + 32);
}

// One character of a uuencoded line as its 6-bit value ("`" and " " are 0).
unsigned UUValue(char c) {
  return (static_cast<unsigned>(static_cast<unsigned char>(c)) - 32) & 0x3F;
}

constexpr int kBase64Padding = -1;
constexpr int kBase64Other = -2;

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  if (c == '=') return kBase64Padding;
  return kBase64Other;
}

// The base64 of encoded words, lenient as mail needs: a character outside
// the alphabet keeps the value its position had in the previous group, and
// characters that do not fill a last group are ignored. The result ends at
// its first zero byte.
std::string DecodeWordBase64(std::string_view text) {
  std::string out;
  std::array<int, 4> group{0, 0, 0, 0};
  std::size_t full = text.size() / 4 * 4;
  for (std::size_t i = 0; i < full; i += 4) {
    for (std::size_t k = 0; k < 4; ++k) {
      int v = Base64Value(text[i + k]);
      if (v != kBase64Other) group[k] = v;
    }
    if (group[0] == kBase64Padding) continue;
    auto bits = [&](int k) { return static_cast<unsigned>(group[k] < 0 ? 0 : group[k]); };
    unsigned word = bits(0) << 18 | bits(1) << 12 | bits(2) << 6 | bits(3);
    std::size_t count = 3;
    if (group[2] == kBase64Padding)
      count = 1;
    else if (group[3] == kBase64Padding)
      count = 2;
    for (std::size_t k = 0; k < count; ++k)
      out.push_back(static_cast<char>((word >> (16 - 8 * k)) & 0xFF));
  }
  std::size_t zero = out.find('\0');
  if (zero != std::string::npos) out.resize(zero);
  return out;
}

bool IsUpperHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

// Quoted-printable of encoded words: only capital hex digits are decoded; a
// soft line break (= before CR, LF, CR LF or LF CR) is removed, a final "=" is
// removed, and every other "=" stays as written.
std::string DecodeWordQuotedPrintable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    char c = text[i];
    if (c != '=') {
      out.push_back(c);
      ++i;
      continue;
    }
    if (i + 1 == n) break;  // a final "=" is dropped
    if (i + 2 == n) {       // a second-to-last "=" stays with what follows
      out.push_back('=');
      ++i;
      continue;
    }
    char a = text[i + 1], b = text[i + 2];
    if (IsUpperHexDigit(a) && IsUpperHexDigit(b)) {
      out.push_back(static_cast<char>(HexDigitValue(a) * 16 + HexDigitValue(b)));
      i += 3;
    } else if ((a == '\r' && b == '\n') || (a == '\n' && b == '\r')) {
      i += 3;
    } else if (a == '\r' || a == '\n') {
      i += 2;
    } else {
      out.push_back('=');
      ++i;
    }
  }
  return out;
}

}  // namespace

std::string DecodeEncodedWordInner(std::string_view inner) {
  char kind = 'Q';
  if (inner.size() >= 2 && inner[1] == '?') {
    char letter = inner[0];
    if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
    if (letter == 'B' || letter == 'U') kind = letter;
  }
  std::string_view encoded = inner.size() > 2 ? inner.substr(2) : std::string_view{};
  switch (kind) {
    case 'B':
      return DecodeWordBase64(encoded);
    case 'U':
      return UUDecode(encoded);
    default: {
      std::string spaced(encoded);
      for (char& c : spaced)
        if (c == '_') c = ' ';
      return DecodeWordQuotedPrintable(spaced);
    }
  }
}

std::string UUEncode(std::string_view bytes) {
  if (bytes.size() > kMaxUULineBytes) throw std::runtime_error("UUEncode: String too long");
  if (bytes.empty()) return "`";
  std::string line;
  line.reserve(1 + (bytes.size() + 2) / 3 * 4);
  line.push_back(static_cast<char>(bytes.size() + 32));
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    unsigned b0 = static_cast<unsigned char>(bytes[i]);
    unsigned b1 = i + 1 < bytes.size() ? static_cast<unsigned char>(bytes[i + 1]) : 0;
    unsigned b2 = i + 2 < bytes.size() ? static_cast<unsigned char>(bytes[i + 2]) : 0;
    line.push_back(UUChar(b0 >> 2));
    line.push_back(UUChar(b0 << 4 | b1 >> 4));
    line.push_back(UUChar(b1 << 2 | b2 >> 6));
    line.push_back(UUChar(b2));
  }
  return line;
}

std::string UUDecode(std::string_view line) {
  if (line.empty() || line[0] < '!' || line[0] > 'a')
    throw std::runtime_error("UUDecode: Incorrect string format");
  std::string_view body = line.substr(1);
  std::string out;
  out.reserve((body.size() + 3) / 4 * 3);
  for (std::size_t i = 0; i < body.size(); i += 4) {
    unsigned v[4] = {0, 0, 0, 0};
    for (std::size_t k = 0; k < 4 && i + k < body.size(); ++k) v[k] = UUValue(body[i + k]);
    out.push_back(static_cast<char>((v[0] << 2 | v[1] >> 4) & 0xFF));
    out.push_back(static_cast<char>((v[1] << 4 | v[2] >> 2) & 0xFF));
    out.push_back(static_cast<char>((v[2] << 6 | v[3]) & 0xFF));
  }
  if (line[0] != '`') {
    std::size_t count = static_cast<std::size_t>(line[0] - 32);
    if (out.size() > count) out.resize(count);
  }
  return out;
}

std::string TrimBlanks(std::string_view text) {
  std::size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  std::size_t last = text.find_last_not_of(' ');
  return std::string(text.substr(first, last - first + 1));
}

// The text is kept as `out` (final) followed by buf[cur..]. After a word is
// decoded, scanning resumes one character before the decoded text: no "=?"
// lies earlier (the word was the first), but the character before the word
// and the decoded text's first character may form a new one. The decoded text
// is never longer than its word, so it is written into the buffer in place,
// ending where the word ended: every step is linear in the bytes it moves.
std::string DecodeEncodedWords(std::string_view text) {
  std::string buf = TrimBlanks(text);
  std::string out;
  out.reserve(buf.size());
  std::size_t cur = 0;
  // The end of the last U word left as written: its closing "=" never opens
  // a new word, so scanning never steps back over it.
  std::size_t outFloor = 0;
  constexpr auto npos = std::string::npos;
  while (true) {
    std::size_t start = buf.find("=?", cur);
    if (start == npos) break;
    std::size_t charsetEnd = buf.find('?', start + 2);
    if (charsetEnd == npos) break;
    std::size_t end = buf.find("?=", charsetEnd + 1);
    if (end == npos) break;
    std::size_t further = buf.find('?', end + 1);
    if (further != npos && further + 1 < buf.size() && buf[further + 1] == '=') end = further;

    std::string decoded;
    try {
      decoded = DecodeEncodedWordInner(
          std::string_view(buf).substr(charsetEnd + 1, end - charsetEnd - 1));
    } catch (const std::runtime_error&) {
      // A U word that does not decode: keep it as written, go on after it.
      out.append(buf, cur, end + 2 - cur);
      outFloor = out.size();
      cur = end + 2;
      continue;
    }
    std::size_t wordEnd = end + 2;  // one past the closing "?="
    if (decoded.size() > wordEnd - start) decoded.resize(wordEnd - start);  // cannot happen
    std::size_t newStart = wordEnd - decoded.size();
    out.append(buf, cur, start - cur);
    buf.replace(newStart, decoded.size(), decoded);
    // Step back over one final character so that it is scanned again with
    // the decoded text.
    if (out.size() > outFloor) {
      --newStart;
      buf[newStart] = out.back();
      out.pop_back();
    }
    cur = newStart;
  }
  out.append(buf, cur, npos);
  return out;
}

bool IsDottedNumberText(std::string_view text) {
  std::size_t dot = text.find('.');
  if (dot == std::string_view::npos) return false;
  std::size_t pieceStart = 0;
  while (dot != std::string_view::npos) {
    std::int32_t value = 0;
    if (!ParseInt32(text.substr(pieceStart, dot - pieceStart), value) || value == -1) return false;
    pieceStart = dot + 1;
    dot = text.find('.', pieceStart);
  }
  return true;
}

}  // namespace halvorn
