// Parses fuzzed bytes as a header and runs every reader over it: values,
// parameters, boundary, attachment names, addresses and each Received line,
// and the Received readers and mailer shapes over the raw text. Besides
// crashes it checks four properties:
//  - where a header read from a file ends (HeaderTextEnd) the text's lines
//    reach their first empty one, also when the text is searched in pieces;
//  - a header written by WriteTo parses back to the same entries;
//  - no value given to SetValue or SetParam adds a header line when written;
//  - a parameter value set by SetParam reads back whole (but for what
//    storing it decoded changes: line breaks, NUL bytes, encoded words).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "message/email_header.h"
#include "message/mailer_patterns.h"
#include "message/received_line.h"

using namespace halvorn;

namespace {

TStringList Written(TEmailHeader& header) {
  TStringList lines;
  header.WriteTo(lines);
  return lines;
}

int EntryCount(const TStringList& written) {
  int count = 0;
  for (int i = 0; i < written.Count(); ++i)
    if (i == 0 || written[i].empty() || (written[i][0] != ' ' && written[i][0] != '\t')) ++count;
  return count;
}

void CheckHeaderTextEnd(const std::string& text, std::size_t cut) {
  const std::size_t end = HeaderTextEnd(text);
  TStringList all;
  all.SetText(text);
  int lines = 0;
  while (lines < all.Count() && !all[lines].empty()) ++lines;
  TStringList head;
  head.SetText(std::string_view(text).substr(0, end));
  if (head.Count() != lines) __builtin_trap();
  for (int i = 0; i < lines; ++i)
    if (head[i] != all[i]) __builtin_trap();
  std::size_t pieced = HeaderTextEnd(std::string_view(text).substr(0, cut));
  if (pieced == std::string::npos) pieced = HeaderTextEnd(text, cut);
  if (pieced != end) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  CheckHeaderTextEnd(text, size == 0 ? 0 : data[0] % (size + 1));

  TEmailHeader header;
  header.ParseText(text);
  const TStringList written = Written(header);
  TEmailHeader again;
  TStringList lines = written;
  again.ParseLines(lines, true);
  if (!(Written(again) == written)) __builtin_trap();

  std::string out;
  header.GetSubject(out);
  header.GetValueUpToSemicolon("Content-Type", out);
  header.GetDecodedParam("Content-Type", "charset", out);
  header.GetBoundary();
  header.IsAttachment();
  header.IsInline();
  header.IsInlineAttachment();
  header.IsRfc822Attachment();
  header.GetAttachmentName(out);
  header.GetAttachmentNameFromContentId(out);
  TMIMEDecoderClass decoder = nullptr;
  header.GetDecoderClass(decoder);
  if (decoder == nullptr) __builtin_trap();
  TDateTime date, zone;
  header.GetDate(date, zone);
  TStringList recipients;
  header.GetRecipients(recipients);
  double score;
  if (text.size() < 4096) header.RecipientListScore(false, score);
  const int received = header.ReceivedCount();
  for (int n = 1; n <= received && n <= 64; ++n) header.CreateReceivedLine(n);
  header.GetReceivedHour();
  int index;
  header.GetLastExternalReceivedIP(index, out);
  header.IsKnownMailingList();
  header.FixMultilineNames();
  header.FixNameLengths();
  header.CleanNames();

  // The raw text as one Received value and as mailer shapes.
  TReceivedLine line(text);
  if (text.size() < 512) {
    TBoundaryPatternRec boundary;
    ParseBoundaryPattern(text, boundary);
    TMessageIdRec id;
    ParseMessageIdPattern(text, id);
  }

  // Setting the text as a value and as a parameter adds no header line.
  TEmailHeader built;
  built.SetValue("X-Value", text);
  built.SetValue("Content-Type", "application/octet-stream");
  built.SetParam("Content-Type", "name", text);
  built.SetParam("Content-Type", "charset", "us-ascii");
  const TStringList builtLines = Written(built);
  TEmailHeader reread;
  TStringList copy = builtLines;
  reread.ParseLines(copy, true);
  if (EntryCount(Written(reread)) != EntryCount(builtLines)) __builtin_trap();
  if (reread.IndexOfName("Content-Type") < 0) __builtin_trap();
  // Rewriting the other parameter stores the value decoded, which drops NUL
  // bytes and decodes encoded words.
  if (!text.empty() && text.find_first_of(std::string("\r\n\0", 3)) == std::string::npos &&
      text.find("=?") == std::string::npos) {
    std::string name;
    if (!reread.GetRawParam("Content-Type", "name", name, true) || name != text) __builtin_trap();
  }
  return 0;
}
