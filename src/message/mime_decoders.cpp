#include "message/mime_decoders.h"

#include <array>
#include <cstddef>
#include <cstdint>

#include "foundation/app/statistics_hooks.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/text/encoded_words.h"
#include "foundation/text/text_helpers.h"
#include "foundation/text/list_helpers.h"
#include "foundation/text/numbers.h"
#include "foundation/files/file_helpers.h"
#include "foundation/text/text_compression.h"
#include "foundation/threads/heartbeat.h"
#include "foundation/threads/quor_thread.h"
#include "message/base64_digits.h"

namespace halvorn {
namespace {

constexpr std::size_t kBase64LineLength = 60;
constexpr std::size_t kUULineBytes = 45;
// A quoted-printable line gets a soft break once its count passes this.
constexpr int kQuotedPrintableBreakCount = 71;

const char kHexDigits[] = "0123456789ABCDEF";

// The statistics hooks around one codec operation.
class TTraceScope {
 public:
  explicit TTraceScope(const char* section) : FSection(section) { StatEnter(FSection); }
  ~TTraceScope() { StatLeave(FSection, 0); }
  TTraceScope(const TTraceScope&) = delete;
  TTraceScope& operator=(const TTraceScope&) = delete;

 private:
  std::string FSection;
};

// The liveness stamp of the calling worker. Its stop answer is ignored: the
// codecs always finish (see the header).
void Beat() {
  (void)Heartbeat("", -1, -1);
}

// Runs `work`; on any failure `restore` runs before the failure goes on (an
// abandoned worker's unwinding included). The answer is false on a failure,
// except that an abandoned worker's unwinding passes on.
template <class Work, class Restore>
bool RunRestoring(const char* section, Work& work, Restore restore) {
  TTraceScope trace(section);
  return CatchAllButAbandonment(
      [&] {
        try {
          Beat();
          work();
        } catch (...) {
          restore();
          throw;
        }
      },
      [](const std::string&) {});
}

// Runs `work`, which adds lines to `target`. On any failure `target` gets
// its old lines back (see RunRestoring).
template <class Target, class Work>
bool RunGuarded(const char* section, Target& target, Work work) {
  Target saved = target;
  return RunRestoring(section, work, [&] { target = std::move(saved); });
}

// RunGuarded for a stream, whose old bytes are kept by length alone: the
// decoded bytes only ever go to its end.
template <class Work>
bool RunGuardedAppend(const char* section, std::string& stream, Work work) {
  const std::size_t oldSize = stream.size();
  return RunRestoring(section, work, [&] { stream.resize(oldSize); });
}

// ---------------------------------------------------------------------------
// Base64

constexpr std::uint8_t kNotBase64 = 0xFF;
constexpr std::uint8_t kPadding = 0xFE;

constexpr std::array<std::uint8_t, 256> MakeBase64Values() {
  std::array<std::uint8_t, 256> values{};
  for (int c = 0; c < 256; ++c) {
    const int value = Base64DigitValue(static_cast<unsigned char>(c));
    values[c] = value < 0 ? kNotBase64 : static_cast<std::uint8_t>(value);
  }
  values['='] = kPadding;
  return values;
}
constexpr std::array<std::uint8_t, 256> kBase64Values = MakeBase64Values();

// Collects base64 values four at a time; what `Feed` is given may be cut
// anywhere, groups run on from one call to the next.
class TBase64Groups {
 public:
  explicit TBase64Groups(std::string& out) : FOut(out) {}

  void Feed(std::string_view text) {
    for (const char ch : text) {
      const std::uint8_t v = kBase64Values[static_cast<unsigned char>(ch)];
      if (v == kNotBase64) continue;
      FValues[FCount++] = v;
      if (FCount == 4) Flush();
    }
  }

 private:
  void Flush() {
    FCount = 0;
    const bool pad0 = FValues[0] == kPadding;
    const bool pad2 = FValues[2] == kPadding;
    const bool pad3 = FValues[3] == kPadding;
    std::uint32_t bits = 0;
    for (const std::uint8_t v : FValues) bits = (bits << 6) | (v == kPadding ? 0u : v);
    int bytes = 3;
    if (pad2) {
      bytes = 1;
    } else if (pad3) {
      bytes = 2;
    } else if (pad0) {
      bytes = 0;
    }
    for (int i = 0; i < bytes; ++i) FOut.push_back(static_cast<char>((bits >> (16 - 8 * i)) & 0xFF));
  }

  std::string& FOut;
  std::array<std::uint8_t, 4> FValues{};
  int FCount = 0;
};

// ---------------------------------------------------------------------------
// Quoted-printable

// Decodes quoted-printable text; line ends (CR LF, LF) are kept unless a
// soft break removes them.
void DecodeQuotedPrintable(std::string_view text, std::string& out) {
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const char c = text[i];
    if (c != '=') {
      out.push_back(c);
      ++i;
      continue;
    }
    if (i + 2 < n && HexDigitValue(static_cast<unsigned char>(text[i + 1])) >= 0 &&
        HexDigitValue(static_cast<unsigned char>(text[i + 2])) >= 0) {
      out.push_back(static_cast<char>(HexDigitValue(static_cast<unsigned char>(text[i + 1])) * 16 +
                                      HexDigitValue(static_cast<unsigned char>(text[i + 2]))));
      i += 3;
      continue;
    }
    // A soft break: "=", perhaps blanks a transport added, then the line end.
    std::size_t j = i + 1;
    while (j < n && IsBlankChar(static_cast<unsigned char>(text[j]))) ++j;
    if (j == n) {
      i = n;
    } else if (text[j] == '\r' && j + 1 < n && text[j + 1] == '\n') {
      i = j + 2;
    } else if (text[j] == '\n') {
      i = j + 1;
    } else {
      out.push_back('=');
      ++i;
    }
  }
}

// Encodes one line (no CR LF inside) onto `out`.
void EncodeQuotedPrintableLine(std::string_view line, std::string& out) {
  int count = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(line[i]);
    if (c == '=' || c < 32 || c > 126) {
      out.push_back('=');
      out.push_back(kHexDigits[c >> 4]);
      out.push_back(kHexDigits[c & 0x0F]);
      count += 3;
    } else {
      out.push_back(static_cast<char>(c));
      count += 1;
    }
    // Also after the line's last character: Encode then splits the soft
    // break into a line of its own and an empty line, which keeps the line
    // end.
    if (count > kQuotedPrintableBreakCount) {
      out += "=\r\n";
      count = 0;
    }
  }
  if (!out.empty() && out.back() == ' ') {
    out.pop_back();
    out += "=20";
  }
}

// Splits any line break inside the lines into lines of their own.
void SplitEmbeddedLineBreaks(TStringList& lines) {
  (void)ListRoundTripChanged(lines);
}

}  // namespace

// ---------------------------------------------------------------------------
// TMIMEDecoder

bool TMIMEDecoder::Decode(const TStringList& lines, std::string& stream) const {
  return RunGuardedAppend("Decode", stream, [&] {
    for (int i = 0; i < lines.Count(); ++i) stream += DecodeLine(lines[i]);
  });
}

std::string TMIMEDecoder::EncodeString(std::string_view text) const {
  return std::string(text);
}

bool TMIMEDecoder::IsBinaryKind() const {
  return dynamic_cast<const TBinaryDecoder*>(this) != nullptr;
}

// ---------------------------------------------------------------------------
// TBase64Decoder

std::string TBase64Decoder::DecodeLine(std::string_view line) const {
  std::string out;
  TBase64Groups groups(out);
  groups.Feed(line);
  return out;
}

bool TBase64Decoder::Decode(const TStringList& lines, std::string& stream) const {
  return RunGuardedAppend("Decode", stream, [&] {
    TBase64Groups groups(stream);
    for (int i = 0; i < lines.Count(); ++i) groups.Feed(lines[i]);
  });
}

std::string TBase64Decoder::EncodeString(std::string_view text) const {
  return Base64Encode(text);
}

bool TBase64Decoder::Encode(const std::string& stream, TStringList& lines) const {
  return RunGuarded("Encode", lines, [&] {
    const std::string encoded = Base64Encode(stream);
    std::size_t pos = 0;
    do {
      lines.Add(encoded.substr(pos, kBase64LineLength));
      pos += kBase64LineLength;
    } while (pos < encoded.size());
    SplitEmbeddedLineBreaks(lines);
  });
}

// ---------------------------------------------------------------------------
// TUUDecoder

std::string TUUDecoder::DecodeLine(std::string_view line) const {
  return UUDecode(line);
}

std::string TUUDecoder::EncodeString(std::string_view text) const {
  return UUEncode(text);
}

bool TUUDecoder::Encode(const std::string& stream, TStringList& lines) const {
  return RunGuarded("Encode", lines, [&] {
    std::size_t pos = 0;
    do {
      lines.Add(UUEncode(std::string_view(stream).substr(pos, kUULineBytes)));
      pos += kUULineBytes;
    } while (pos < stream.size());
    SplitEmbeddedLineBreaks(lines);
  });
}

// ---------------------------------------------------------------------------
// TQuotedPrintableDecoder

std::string TQuotedPrintableDecoder::DecodeLine(std::string_view line) const {
  std::string out;
  DecodeQuotedPrintable(line, out);
  return out;
}

bool TQuotedPrintableDecoder::Decode(const TStringList& lines, std::string& stream) const {
  return RunGuardedAppend("Decode", stream, [&] {
    std::string line;
    for (int i = 0; i < lines.Count(); ++i) {
      line = lines[i];
      line += "\r\n";
      // A soft break ends its line, so lines decode one by one, each
      // soft break simply dropping the line end that follows it.
      DecodeQuotedPrintable(line, stream);
    }
  });
}

std::string TQuotedPrintableDecoder::EncodeString(std::string_view text) const {
  std::string out;
  std::size_t from = 0;
  while (true) {
    const std::size_t crlf = text.find("\r\n", from);
    EncodeQuotedPrintableLine(text.substr(from, crlf == std::string_view::npos ? crlf : crlf - from),
                              out);
    if (crlf == std::string_view::npos) break;
    out += "\r\n";
    from = crlf + 2;
  }
  return out;
}

bool TQuotedPrintableDecoder::Encode(const std::string& stream, TStringList& lines) const {
  return RunGuarded("Encode", lines, [&] {
    TStringList source;
    source.SetText(stream);
    for (int i = 0; i < source.Count(); ++i) lines.Add(EncodeString(source[i]));
    SplitEmbeddedLineBreaks(lines);
  });
}

// ---------------------------------------------------------------------------
// TDefaultDecoder

TMIMEDecoderClass TDefaultDecoder::ChooseDecoder(std::string_view text) {
  const std::size_t softBreak = text.find("=\r\n");
  if (softBreak != std::string_view::npos && softBreak > 0 && text[softBreak - 1] != '=')
    return DecoderClass<TQuotedPrintableDecoder>();
  if (text.find("egin 6") != std::string_view::npos &&
      text.find("\r\nend\r\n") != std::string_view::npos)
    return DecoderClass<TUUDecoder>();
  return DecoderClass<T7BitDecoder>();
}

std::string TDefaultDecoder::DecodeLine(std::string_view line) const {
  return ChooseDecoder(line)->DecodeLine(line);
}

bool TDefaultDecoder::Decode(const TStringList& lines, std::string& stream) const {
  return ChooseDecoder(lines.Text())->Decode(lines, stream);
}

std::string TDefaultDecoder::EncodeString(std::string_view text) const {
  return ChooseDecoder(text)->EncodeString(text);
}

bool TDefaultDecoder::Encode(const std::string& stream, TStringList& lines) const {
  if (!ChooseDecoder(lines.Text())->Encode(stream, lines)) return false;
  SplitEmbeddedLineBreaks(lines);
  return true;
}

// ---------------------------------------------------------------------------
// TBinaryDecoder

std::string TBinaryDecoder::DecodeLine(std::string_view line) const {
  std::string out(line);
  out += "\r\n";
  return out;
}

bool TBinaryDecoder::Decode(const TStringList& lines, std::string& stream) const {
  return RunGuardedAppend("Decode", stream, [&] { stream += lines.Text(); });
}

std::string TBinaryDecoder::EncodeString(std::string_view text) const {
  std::string out(text);
  out += "\r\n";
  return out;
}

bool TBinaryDecoder::Encode(const std::string& stream, TStringList& lines) const {
  return RunGuarded("Encode", lines, [&] {
    TStringList source;
    source.SetText(stream);
    lines.AddStrings(source);
  });
}

// ---------------------------------------------------------------------------
// Choosing and applying

TMIMEDecoderClass DecoderForEncoding(std::string_view name) {
  const TMIMEDecoderClass kinds[] = {
      DecoderClass<TBase64Decoder>(),  DecoderClass<TUUDecoder>(),
      DecoderClass<TXUUDecoder>(),     DecoderClass<TQuotedPrintableDecoder>(),
      DecoderClass<TDefaultDecoder>(), DecoderClass<TBinaryDecoder>(),
      DecoderClass<T7BitDecoder>(),    DecoderClass<T8BitDecoder>(),
  };
  for (const TMIMEDecoderClass kind : kinds) {
    if (SameText1252(kind->EncodingName(), name)) return kind;
  }
  return nullptr;
}

bool DecodeLinesTo(TMIMEDecoderClass decoder, const TStringList& lines, TStringList& out) {
  if (decoder == nullptr) decoder = DecoderClass<TDefaultDecoder>();
  if (decoder->IsBinaryKind()) {
    out = lines;
    return true;
  }
  std::string bytes;
  if (!decoder->Decode(lines, bytes)) return false;
  out.SetText(bytes);
  return true;
}

bool DecodeLinesInPlace(TMIMEDecoderClass decoder, TStringList& lines) {
  TStringList decoded;
  if (!DecodeLinesTo(decoder, lines, decoded)) return false;
  lines = std::move(decoded);
  return true;
}

bool EncodeLinesInPlace(TMIMEDecoderClass decoder, TStringList& lines) {
  if (decoder == nullptr) decoder = DecoderClass<TDefaultDecoder>();
  if (decoder->IsBinaryKind()) return true;
  TStringList encoded;
  if (!decoder->Encode(lines.Text(), encoded)) return false;
  lines = std::move(encoded);
  return true;
}

}  // namespace halvorn
