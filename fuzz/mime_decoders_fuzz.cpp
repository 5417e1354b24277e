// Runs the transfer codecs of MIME parts on fuzzed bodies. Besides crashes
// it checks properties: base64 and quoted-printable decode the lines as they
// decode their joined text in one go (groups and soft breaks run across line
// ends), and what each codec encodes decodes back to the input (as lines,
// for the kinds that work line by line).
#include <cstddef>
#include <cstdint>
#include <string>

#include "message/mime_decoders.h"

using namespace halvorn;

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  TStringList lines;
  lines.SetText(bytes);
  const std::string text = lines.Text();

  const TMIMEDecoderClass base64 = DecoderClass<TBase64Decoder>();
  const TMIMEDecoderClass qp = DecoderClass<TQuotedPrintableDecoder>();
  const TMIMEDecoderClass uu = DecoderClass<TUUDecoder>();

  std::string decoded;
  Check(base64->Decode(lines, decoded));
  Check(decoded == base64->DecodeLine(text));
  decoded.clear();
  Check(qp->Decode(lines, decoded));
  Check(decoded == qp->DecodeLine(text));
  decoded.clear();
  if (!uu->Decode(lines, decoded)) Check(decoded.empty());
  decoded.clear();
  Check(DecoderClass<TDefaultDecoder>()->Decode(lines, decoded) || decoded.empty());
  TStringList copy = lines;
  (void)DecodeLinesInPlace(nullptr, copy);

  // Round trips.
  for (const TMIMEDecoderClass kind : {base64, uu}) {
    TStringList encoded;
    Check(kind->Encode(bytes, encoded));
    std::string back;
    Check(kind->Decode(encoded, back));
    Check(back == bytes);
  }
  for (const TMIMEDecoderClass kind : {qp, DecoderClass<T7BitDecoder>()}) {
    TStringList encoded;
    Check(kind->Encode(bytes, encoded));
    for (int i = 0; i < encoded.Count(); ++i) Check(kind->IsBinaryKind() || encoded[i].size() <= 76);
    std::string back;
    Check(kind->Decode(encoded, back));
    Check(back == text);
  }
  TStringList inPlace = lines;
  Check(EncodeLinesInPlace(base64, inPlace));
  Check(DecodeLinesInPlace(base64, inPlace));
  Check(inPlace.Text() == text);
  return 0;
}
