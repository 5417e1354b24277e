// Feeds arbitrary bytes to the image-reference finder, its replacement, the
// form-action search and the quoted-printable count that every incoming
// HTML part passes through. The replacement is run with two texts of
// different lengths: both must replace the same values, so the results
// differ in length by exactly the count times the difference, and a
// replacement without references must leave the HTML as it was.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <unordered_set>

#include "message/email_msg_html.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace halvorn;
  const std::string html(reinterpret_cast<const char*>(data), size);

  TStringList locations;
  locations.Add("inline.jpg");
  TStringList refs;
  FindImageRefs(html, locations, refs);
  std::unordered_set<std::string> wanted;
  for (int i = 0; i < refs.Count(); ++i)
    if (IsExternalImageRefKind(refs.Numbers(i))) wanted.insert(refs[i]);

  std::string shortText = html;
  std::string longText = html;
  const int shortCount =
      ReplaceImageRefValues(shortText, wanted, [](const std::string&) { return std::string("s"); });
  const int longCount = ReplaceImageRefValues(
      longText, wanted, [](const std::string&) { return std::string("a longer value"); });
  if (shortCount != longCount) std::abort();
  if (longText.size() - shortText.size() != static_cast<std::size_t>(longCount) * 13) std::abort();
  if (wanted.empty() && (shortCount != 0 || shortText != html)) std::abort();

  FindFormAction(html);
  TStringList lines;
  lines.SetText(html);
  CountNeedlessQuotedPrintable(lines);
  return 0;
}
