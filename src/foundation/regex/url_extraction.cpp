#include "foundation/regex/url_extraction.h"

#include <exception>
#include <utility>

#include "foundation/log/log_sink.h"
#include "foundation/regex/reg_ex_wrappers.h"
#include "foundation/text/list_helpers.h"
#include "foundation/text/text_helpers.h"
#include "foundation/text/text_normalisation.h"

namespace halvorn {

namespace {

const std::string kUrlPattern =
    R"((http|https|ftp)\://([a-zA-Z0-9\.\-]+(\:[a-zA-Z0-9\.&%\$\-]+)*@)?((25[0-5]|2[0-4][0-9]|[0-1]{1}[0-9]{2}|[1-9]{1}[0-9]{1}|[1-9])\.(25[0-5]|2[0-4][0-9]|[0-1]{1}[0-9]{2}|[1-9]{1}[0-9]{1}|[1-9]|0)\.(25[0-5]|2[0-4][0-9]|[0-1]{1}[0-9]{2}|[1-9]{1}[0-9]{1}|[1-9]|0)\.(25[0-5]|2[0-4][0-9]|[0-1]{1}[0-9]{2}|[1-9]{1}[0-9]{1}|[0-9])|([a-zA-Z0-9\-]+\.)*[a-zA-Z0-9\-]+\.[a-zA-Z]{2,4})(\:[0-9]+)?(/[^/][a-zA-Z0-9\.\,\?\'\\/\+&%\$#\=~_\-@]*))";

}  // namespace

void ExtractUrls(std::string& text, TStringList& list) {
  ReplaceAll("\r\n", "", text);
  TStringList found;
  try {
    RegExCollectMatches(kUrlPattern, text, found, true,
                        kRegExIgnoreCase | kRegExDotAll | kRegExGreedy);
  } catch (const std::exception& error) {
    // What was collected before the engine gave up stays.
    Log("ExtractUrls", std::string("URL search stopped: ") + error.what(), 5, true);
  }
  RemoveDuplicateLinesUnsorted(found);
  for (int i = 0; i < found.Count(); ++i) {
    std::string entry = TrimText(found[i]);
    if (entry.find("://") == std::string::npos) continue;
    if (!entry.empty() && entry.back() == '\'') entry.pop_back();
    list.Add(std::move(entry));
  }
}

}  // namespace halvorn
