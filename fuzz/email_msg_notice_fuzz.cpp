// Takes any bytes as a text part (the first byte chooses HTML or plain text
// and the top or the bottom) and checks the notice's removal: it never makes
// the text longer, and a notice inserted into a text that holds none is
// removed to give back the text line for line. The one exception is a bottom
// notice right after a "<br>" that stands where a top notice goes: the two
// framings are the same text there, and the removal reads it as a top one.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "foundation/text/string_list.h"
#include "message/email_msg_notice.h"

namespace {

std::string HtmlFrame(bool top) {
  return std::string(top ? halvorn::kNoticeHtmlBeginTop : halvorn::kNoticeHtmlBeginBottom) +
         "\r\n<b>notice</b>\r\n" + std::string(halvorn::kNoticeHtmlEnd) + "\r\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool html = (data[0] & 1) != 0;
  const bool top = (data[0] & 2) != 0;
  halvorn::TStringList lines;
  lines.SetText(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));

  halvorn::TStringList removed = lines;
  halvorn::RemoveNoticeFromLines(removed, html);
  if (removed.Text().size() > lines.Text().size()) std::abort();

  const std::string text = lines.Text();
  if (text.find("Quorvantis") != std::string::npos) return 0;
  halvorn::TStringList noticed;
  if (html) {
    const std::size_t topAt = halvorn::HtmlNoticeInsertPoint(text, true);
    if (!top && halvorn::HtmlNoticeInsertPoint(text, false) == topAt + 4 && text.compare(topAt, 4, "<br>") == 0)
      return 0;
    std::string withNotice = text;
    halvorn::InsertHtmlNotice(withNotice, HtmlFrame(top), top);
    noticed.SetText(withNotice);
  } else {
    halvorn::TStringList box{std::string(halvorn::kNoticePlainBegin), "notice",
                             std::string(halvorn::kNoticePlainEnd)};
    halvorn::BoxPlainNotice(box);
    if (top) {
      noticed = box;
      noticed.AddStrings(lines);
    } else {
      noticed = lines;
      noticed.AddStrings(box);
    }
  }
  if (!halvorn::RemoveNoticeFromLines(noticed, html)) std::abort();
  if (noticed.ToVector() != lines.ToVector()) std::abort();
  return 0;
}
