// Renders arbitrary extra information (and a stored record carrying it):
// every "<" of the HTML must start one of the few tags the rendering writes
// itself, a link only to http, https or ftp; without "H" and "SH" the
// extra information may hold no tag but a, br, blockquote and tt.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

#include "foundation/text/string_list.h"
#include "lists/qch/qch_extra_info.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Every tag of the HTML is one of `allowed`; an "a" tag only links to an
// http, https (or, with `ftp`, ftp) address.
void CheckTags(const std::string& html, const std::set<std::string>& allowed, bool ftp) {
  for (std::size_t at = html.find('<'); at != std::string::npos; at = html.find('<', at + 1)) {
    std::size_t i = at + 1;
    if (i < html.size() && html[i] == '/') ++i;
    std::size_t end = i;
    while (end < html.size() && std::isalpha(static_cast<unsigned char>(html[end]))) ++end;
    const std::string name = Lower(html.substr(i, end - i));
    Check(allowed.count(name) == 1);
    Check(end < html.size() && (html[end] == '>' || html[end] == ' '));
    if (name == "a" && html[at + 1] != '/') {
      const std::string rest = Lower(html.substr(end, 16));
      Check(rest.rfind(" href=\"http://", 0) == 0 || rest.rfind(" href=\"https://", 0) == 0 ||
            (ftp && rest.rfind(" href=\"ftp://", 0) == 0));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace halvorn;
  const std::string extra(reinterpret_cast<const char*>(data), size);
  TStringList entries;
  entries.SetCommaText(extra);
  const bool serviceHtml = !entries.Values("H").empty() || !entries.Values("SH").empty();

  TSimpleHtml html;
  QchExtraInfoToHtml(extra, html);
  std::set<std::string> allowed = {"a", "br", "blockquote", "tt"};
  if (serviceHtml) allowed.insert({"b", "i", "p"});
  CheckTags(html.Text(), allowed, true);

  TMessageRec record;
  record.ExtraInfo = extra;
  allowed.insert({"b", "i", "p", "font", "ul", "li"});
  CheckTags(MessageRecToHtml(record), allowed, true);

  CheckTags(SafeServiceHtml(extra), {"a", "b", "i", "br", "p"}, false);
  return 0;
}
