// The content-transfer-encoding codecs of MIME parts: base64, uuencode,
// quoted-printable, the plain kinds (binary, 7bit, 8bit) and the default
// decoder that guesses one of them from the text.
//
// The codecs keep no state. A caller holds the kind of codec, a
// TMIMEDecoderClass (the one shared instance of a class, see DecoderClass),
// and calls its five operations; no other codec object is ever made. Every
// operation may be called from any thread at once.
//
// Streams are byte strings: Decode appends the decoded bytes to one, Encode
// reads one whole from its start.
//
// Decode and Encode of every kind call Heartbeat (heartbeat.h) for the
// calling worker's liveness stamp but always finish: their work is linear in
// the part's size, and a codec that stopped half-way would hand its caller a
// truncated body to save. An abandoned worker's EThreadAbandoned passes
// through them; every other failure is a false answer.
#pragma once

#include <string>
#include <string_view>

#include "foundation/text/string_list.h"

namespace halvorn {

class TMIMEDecoder {
 public:
  TMIMEDecoder(const TMIMEDecoder&) = delete;
  TMIMEDecoder& operator=(const TMIMEDecoder&) = delete;
  virtual ~TMIMEDecoder() = default;

  // The decoded bytes of one line. May raise what the kind's line codec
  // raises (the UU line codec's std::runtime_error).
  virtual std::string DecodeLine(std::string_view line) const = 0;
  // Appends the decoded bytes of the lines to the stream. False when the
  // decoding raised; the stream is then left as it was. This base form runs
  // every line through DecodeLine and appends each non-empty result.
  virtual bool Decode(const TStringList& lines, std::string& stream) const;
  // The encoded form of a text. This base form gives the text unchanged.
  // May raise what the kind's line codec raises.
  virtual std::string EncodeString(std::string_view text) const;
  // Appends the encoded lines of the stream's whole content to the lines.
  // False when the encoding raised; the lines are then left as they were.
  virtual bool Encode(const std::string& stream, TStringList& lines) const = 0;
  // The name of the transfer encoding, as written in a part's header.
  virtual std::string EncodingName() const = 0;

  // True for TBinaryDecoder and its subclasses (binary, 7bit, 8bit): their
  // lines are kept as they are and never decoded or encoded.
  bool IsBinaryKind() const;

 protected:
  TMIMEDecoder() = default;
};

// A kind of codec: the shared instance of one class of the family. Null
// stands for "no class" where a caller's own rule picks one.
using TMIMEDecoderClass = const TMIMEDecoder*;

// Base64 (RFC 2045). DecodeLine reads one line on its own: "A"-"Z", "a"-"z",
// "0"-"9", "+" and "/" are the 64 values, "=" a padding mark, and every other
// character is ignored; each group of four gives one byte when its third
// value is padding, else two when its fourth is, else none when its first
// is, else three; values short of a last group are dropped. Decode reads the
// lines as one text, so groups run across line ends (valid mail whose lines
// are not multiples of four long decodes right); only the very last
// incomplete group is dropped. Encode writes standard base64 in lines of 60
// characters (an empty stream gives one empty line); EncodeString is the
// base64 of the text without line breaks.
class TBase64Decoder : public TMIMEDecoder {
 public:
  std::string DecodeLine(std::string_view line) const override;
  bool Decode(const TStringList& lines, std::string& stream) const override;
  std::string EncodeString(std::string_view text) const override;
  bool Encode(const std::string& stream, TStringList& lines) const override;
  std::string EncodingName() const override { return "base64"; }
};

// Uuencoded lines (UUEncode and UUDecode of encoded_words.h). DecodeLine
// raises for a line that is not a UU line, so Decode answers false for a
// body holding one (its "begin" and "end" lines included). Encode writes one
// line per 45 bytes, a shorter last line, and one "`" line for an empty
// stream. EncodeString raises for more than 45 bytes.
class TUUDecoder : public TMIMEDecoder {
 public:
  std::string DecodeLine(std::string_view line) const override;
  std::string EncodeString(std::string_view text) const override;
  bool Encode(const std::string& stream, TStringList& lines) const override;
  std::string EncodingName() const override { return "uuencode"; }
};

class TXUUDecoder : public TUUDecoder {
 public:
  std::string EncodingName() const override { return "x-uuencode"; }
};

// Quoted-printable (RFC 2045). Decoding: "=" and two hexadecimal digits
// (either case) give that byte; an "=" with nothing but blanks after it up
// to the line end is a soft line break that joins the line to the next;
// every other character, an "=" that starts no escape included, stays.
// Decode decodes the lines' whole text (each line ending in CR LF);
// DecodeLine one line without a line end. EncodeString encodes each CR
// LF-separated line on its own: "=", tab and every character below 32 or
// above 126 become "=" and two upper-case hexadecimal digits (counting 3
// towards the line's length, others 1), a soft line break "=" CR LF follows
// every character that takes the count above 71 (so no line is longer than
// 75 characters), and a space that ends the encoded line is escaped.
// Encode splits the soft breaks into lines of their own; one after a line's
// last character leaves an empty line, which keeps that line's end.
class TQuotedPrintableDecoder : public TMIMEDecoder {
 public:
  std::string DecodeLine(std::string_view line) const override;
  bool Decode(const TStringList& lines, std::string& stream) const override;
  std::string EncodeString(std::string_view text) const override;
  bool Encode(const std::string& stream, TStringList& lines) const override;
  std::string EncodingName() const override { return "quoted-printable"; }
};

// Hands every operation to the kind ChooseDecoder picks for the text at
// hand: DecodeLine by the line, Decode by the lines' joined text,
// EncodeString by the text, Encode by the text already in the target list
// (normally none, which gives 7bit); Encode then splits any line break
// inside the lines.
class TDefaultDecoder : public TMIMEDecoder {
 public:
  std::string DecodeLine(std::string_view line) const override;
  bool Decode(const TStringList& lines, std::string& stream) const override;
  std::string EncodeString(std::string_view text) const override;
  bool Encode(const std::string& stream, TStringList& lines) const override;
  std::string EncodingName() const override { return "default"; }

  // Quoted-printable when the first "=" CR LF of the text stands after its
  // first character and does not follow another "="; else uuencode when the
  // text holds "egin 6" and CR LF "end" CR LF; else 7bit.
  static TMIMEDecoderClass ChooseDecoder(std::string_view text);
};

// Lines as they are: DecodeLine and EncodeString add CR LF, Decode writes
// each line with CR LF, Encode appends the stream's lines.
class TBinaryDecoder : public TMIMEDecoder {
 public:
  std::string DecodeLine(std::string_view line) const override;
  bool Decode(const TStringList& lines, std::string& stream) const override;
  std::string EncodeString(std::string_view text) const override;
  bool Encode(const std::string& stream, TStringList& lines) const override;
  std::string EncodingName() const override { return "binary"; }
};

class T7BitDecoder : public TBinaryDecoder {
 public:
  std::string EncodingName() const override { return "7bit"; }
};

class T8BitDecoder : public TBinaryDecoder {
 public:
  std::string EncodingName() const override { return "8bit"; }
};

// The shared instance of a class of the family, made on first use.
template <class T>
TMIMEDecoderClass DecoderClass() {
  static const T instance;
  return &instance;
}

// The class whose EncodingName equals the name ignoring case, tried in the
// order base64, uuencode, x-uuencode, quoted-printable, default, binary,
// 7bit, 8bit; null when none does.
TMIMEDecoderClass DecoderForEncoding(std::string_view name);

// For a decoder of the binary kind, `out` becomes a copy of the lines and
// the answer is true. Otherwise the lines go through the decoder's Decode
// and `out` receives the decoded bytes as lines (TStringList::SetText); the
// answer is Decode's, and on false `out` is left as it was. A null decoder
// counts as TDefaultDecoder.
bool DecodeLinesTo(TMIMEDecoderClass decoder, const TStringList& lines, TStringList& out);

// DecodeLinesTo into the lines themselves. They are replaced only once the
// decoder has finished: a false answer, or an exception passing through,
// leaves them as they were.
bool DecodeLinesInPlace(TMIMEDecoderClass decoder, TStringList& lines);

// For a decoder of the binary kind nothing changes and the answer is true.
// Otherwise the lines are written out as one text and replaced by the
// decoder's Encode of it. As with DecodeLinesInPlace they are replaced only
// once the encoder has finished; a false answer leaves them as they were.
bool EncodeLinesInPlace(TMIMEDecoderClass decoder, TStringList& lines);

}  // namespace halvorn
