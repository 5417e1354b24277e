// The notice added to processed mail, its removal, and the category
// probabilities with their headers.
#include "message/email_msg_notice.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <initializer_list>
#include <utility>

#include "foundation/app/developer_mode.h"
#include "foundation/files/install_folders.h"
#include "foundation/files/registry_settings.h"
#include "foundation/log/log_sink.h"
#include "foundation/text/help_links.h"
#include "foundation/text/numbers.h"
#include "foundation/text/text_normalisation.h"
#include "message/email_msg.h"
#include "message/email_msg_reports.h"
#include "message/page_texts.h"
#include "message/processing_options.h"
#include "message/quor_url.h"

namespace halvorn {

namespace {

constexpr const char* kLogService = "EmailMsg";
constexpr std::string_view kCrLf = "\r\n";

// ---------------------------------------------------------------------------
// HTML places

bool IsTagDelimiter(char c) {
  return c == '>' || c == '/' || c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f';
}

// text[at..] begins with `name` (ASCII, any case) and a tag delimiter
// follows it.
bool TagNameAt(std::string_view text, std::size_t at, std::string_view name) {
  if (at + name.size() >= text.size()) return false;
  for (std::size_t k = 0; k < name.size(); ++k)
    if (std::tolower(static_cast<unsigned char>(text[at + k])) != name[k]) return false;
  return IsTagDelimiter(text[at + name.size()]);
}

// The offset right after the ">" that closes the tag whose name ends at
// `from`; a ">" inside a quoted attribute value does not close it. npos
// when the tag never closes.
std::size_t EndOfTag(std::string_view text, std::size_t from) {
  char quote = 0;
  bool valueNext = false;
  for (std::size_t j = from; j < text.size(); ++j) {
    const char c = text[j];
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '>') {
      return j + 1;
    } else if (c == '=') {
      valueNext = true;
    } else if (valueNext && (c == '"' || c == '\'')) {
      quote = c;
      valueNext = false;
    } else if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
      valueNext = false;
    }
  }
  return std::string_view::npos;
}

// The offset of the first "<" + name (name lower-case, "/body" for an end
// tag) followed by a tag delimiter; npos when none.
std::size_t FindTag(std::string_view text, std::string_view name) {
  for (std::size_t i = text.find('<'); i != std::string_view::npos; i = text.find('<', i + 1))
    if (TagNameAt(text, i + 1, name)) return i;
  return std::string_view::npos;
}

// The offset right after the first start tag of that name; npos when there
// is none (or it never closes).
std::size_t AfterStartTag(std::string_view text, std::string_view name) {
  const std::size_t at = FindTag(text, name);
  if (at == std::string_view::npos) return at;
  return EndOfTag(text, at + 1 + name.size());
}

}  // namespace

std::size_t HtmlNoticeInsertPoint(std::string_view html, bool atTop) {
  constexpr std::size_t npos = std::string_view::npos;
  if (atTop) {
    std::size_t at = AfterStartTag(html, "body");
    if (at == npos) at = AfterStartTag(html, "html");
    return at == npos ? 0 : at;
  }
  std::size_t at = FindTag(html, "/body");
  if (at == npos) at = FindTag(html, "/html");
  if (at != npos) return at;
  if (html.ends_with(kCrLf)) return html.size() - 2;
  if (html.ends_with('\n') || html.ends_with('\r')) return html.size() - 1;
  return html.size();
}

void InsertHtmlNotice(std::string& html, std::string_view notice, bool atTop) {
  html.insert(HtmlNoticeInsertPoint(html, atTop), notice);
}

// ---------------------------------------------------------------------------
// The plain box

namespace {

// Splits a line longer than the box at blanks; its leading blanks start
// every line it makes (unless they alone would fill half the box).
void WrapNoticeLine(const std::string& line, TStringList& out) {
  const std::size_t width = kNoticeBoxWidth;
  if (line.size() <= width) {
    out.Add(line);
    return;
  }
  std::size_t indentLength = line.find_first_not_of(' ');
  if (indentLength == std::string::npos) indentLength = line.size();
  const std::string indent = indentLength * 2 < width ? line.substr(0, indentLength) : std::string();
  std::string rest = line;
  bool first = true;
  while (rest.size() > width) {
    const std::size_t floor = first ? indentLength : indent.size();
    std::size_t cut = rest.rfind(' ', width);
    if (cut == std::string::npos || cut <= floor) cut = rest.find(' ', width + 1);
    if (cut == std::string::npos || cut <= floor) break;
    std::size_t next = rest.find_first_not_of(' ', cut);
    std::string head = rest.substr(0, cut);
    while (!head.empty() && head.back() == ' ') head.pop_back();
    out.Add(std::move(head));
    if (next == std::string::npos) {
      rest.clear();
      break;
    }
    rest = indent + rest.substr(next);
    first = false;
  }
  if (!rest.empty()) out.Add(std::move(rest));
}

std::string BoxLine(std::string_view text) {
  std::string line = "| ";
  line += text;
  if (text.size() > static_cast<std::size_t>(kNoticeBoxWidth)) return line;
  line.append(kNoticeBoxWidth - text.size(), ' ');
  line += " |";
  return line;
}

}  // namespace

void BoxPlainNotice(TStringList& lines) {
  TStringList wrapped;
  for (int i = 0; i < lines.Count(); ++i) WrapNoticeLine(lines[i], wrapped);
  lines.Clear();
  for (int i = 0; i < wrapped.Count(); ++i) lines.Add(BoxLine(wrapped[i]));
  lines.Add("");
}

// ---------------------------------------------------------------------------
// Removal

namespace {

constexpr std::size_t npos = std::string::npos;

// The first `end` after the first `begin`, and the last `begin` before that
// end: a begin marker repeated in the text ahead of the notice is never
// taken for the notice's own. False when there is no such pair.
bool FindNearestPair(std::string_view text, std::string_view begin, std::string_view end,
                     std::size_t& beginAt, std::size_t& endAt) {
  const std::size_t first = text.find(begin);
  if (first == npos) return false;
  endAt = text.find(end, first + begin.size());
  if (endAt == npos) return false;
  beginAt = text.rfind(begin, endAt - begin.size());
  return true;
}

std::size_t LineBreakLength(std::string_view text, std::size_t at) {
  if (text.compare(at, 2, kCrLf) == 0) return 2;
  if (at < text.size() && (text[at] == '\n' || text[at] == '\r')) return 1;
  return 0;
}

// The HTML frame: from the begin marker (with the "<br>" of a top notice
// when it stands where a top notice goes) through the end marker and the
// line break after it.
bool RemoveHtmlFrame(std::string& text) {
  std::size_t beginAt = 0, endAt = 0;
  if (!FindNearestPair(text, kNoticeHtmlBeginBottom, kNoticeHtmlEnd, beginAt, endAt)) return false;
  std::size_t stop = endAt + kNoticeHtmlEnd.size();
  stop += LineBreakLength(text, stop);
  std::size_t start = beginAt;
  constexpr std::string_view kBreak = "<br>";
  if (beginAt >= kBreak.size() && text.compare(beginAt - kBreak.size(), kBreak.size(), kBreak) == 0) {
    // Without the frame and its "<br>" the text is what it was before a
    // top notice went in; the "<br>" is the notice's when that is where
    // the top of this text is.
    const std::size_t brAt = beginAt - kBreak.size();
    std::string before;
    before.reserve(text.size() - (stop - brAt));
    before.append(text, 0, brAt);
    before.append(text, stop, npos);
    if (HtmlNoticeInsertPoint(before, true) == brAt) start = brAt;
  }
  text.erase(start, stop - start);
  return true;
}

// The plain box: its first line through its last and the empty line after
// it.
bool RemovePlainBox(TStringList& lines) {
  static const std::string beginLine = BoxLine(kNoticePlainBegin);
  static const std::string endLine = BoxLine(kNoticePlainEnd);
  int first = -1;
  for (int i = 0; i < lines.Count() && first < 0; ++i)
    if (lines[i] == beginLine) first = i;
  if (first < 0) return false;
  int last = -1;
  int begin = first;
  for (int i = first + 1; i < lines.Count(); ++i) {
    if (lines[i] == beginLine) begin = i;
    if (lines[i] == endLine) {
      last = i;
      break;
    }
  }
  if (last < 0) return false;
  if (last + 1 < lines.Count() && lines[last + 1].empty()) ++last;
  TStringList kept;
  for (int i = 0; i < lines.Count(); ++i)
    if (i < begin || i > last) kept.AddItem(lines.Item(i));
  lines = std::move(kept);
  return true;
}

// The marker pairs of older notices, in the order they are tried.
struct TMarkerPair {
  std::string_view Begin, End;
};
constexpr TMarkerPair kMarkerPairs[] = {
    {"======== Begin Quorvantis Information ========", "========  End Quorvantis Information  ========"},
    {kNoticePlainBegin, kNoticePlainEnd},
    {"<!Begin_Quorvantis_Information>", "<!End_Quorvantis_Information>"},
    {"Begin_Quorvantis_Information", "End_Quorvantis_Information"},
};

bool RemoveMarkerPair(std::string& text) {
  for (const TMarkerPair& pair : kMarkerPairs) {
    const std::size_t beginAt = text.find(pair.Begin);
    if (beginAt == npos) continue;
    const std::size_t endAt = text.find(pair.End, beginAt + pair.Begin.size());
    if (endAt == npos) {
      Log(kLogService, "A notice marker without its end marker was left: " + std::string(pair.Begin),
          5, false);
      continue;
    }
    text.erase(beginAt, endAt + pair.End.size() - beginAt);
    return true;
  }
  return false;
}

}  // namespace

bool RemoveNoticeFromLines(TStringList& lines, bool html) {
  if (html) {
    std::string text = lines.Text();
    if (RemoveHtmlFrame(text)) {
      lines.SetText(text);
      return true;
    }
  } else if (RemovePlainBox(lines)) {
    return true;
  }
  std::string text = lines.Text();
  if (!RemoveMarkerPair(text)) return false;
  lines.SetText(text);
  return true;
}

bool TEmailMsgPart::RemoveQuorInfo() {
  bool removed = false;
  // Only text parts carry a notice. A multipart or attached-message part's
  // own text is not searched: changing it would parse its children anew.
  if (FHeader != nullptr && FChildren->Count() == 0 && !FHeader->IsMultipart() &&
      !FHeader->IsRfc822Attachment() && FHeader->IsTextType() && !FHeader->IsAttachment()) {
    TStringList lines;
    DecodeToStringList(lines, false);
    if (RemoveNoticeFromLines(lines, FHeader->IsTextHtml())) {
      EncodeFromStringList(lines, false);
      removed = true;
    }
  }
  for (int i = 0; i < FChildren->Count(); ++i)
    if (FChildren->Items(i)->RemoveQuorInfo()) removed = true;
  return removed;
}

// ---------------------------------------------------------------------------
// The message's notice

namespace {

// The categorise link with its category and hint.
std::string CategorizeLink(TQuorUrl url, int category, const char* hint) {
  url.SetValue("Category", std::to_string(category));
  url.SetValue("Hint", hint);
  return url.GetUrl();
}

std::string DangerText(std::int32_t score) {
  const std::string text =
      "The danger level associated with the original e-mail is " + std::to_string(score) + "%.";
  if (score <= 0) return "<font color=green>" + text + "</font>";
  if (score < 10) return "<font color=orange>" + text + "</font>";
  if (score < 20) return "<font color=orange><b>" + text + "</b></font>";
  return "<font color=red><b>" + text + "</b></font>";
}

// The lines of a report joined, each followed by CR LF.
std::string JoinLines(const TStringList& lines) {
  return lines.Text();
}

// Appends every line of the text as a line of the notice.
void AddTextLines(TSimpleHtml& notice, const std::string& text, int level, int kind) {
  TStringList lines;
  lines.SetText(text);
  for (int i = 0; i < lines.Count(); ++i) notice.AddLine(lines[i], level, kind, false);
}

// The reason a whitelisted message was let through, by the first standard
// test that said yes.
std::string WhitelistReason(TEmailMsg& msg) {
  static constexpr std::pair<int, const char*> kReasons[] = {
      {770, "it comes from an approved mailing list."},
      {763, "it is In Reply To a whitelisted email."},
      {757, "it is from an Approved Sender."},
      {758, "the return address is an Approved Sender."},
      {759, "the sender is an Approved Sender."},
      {760, "the return path is an Approved Sender."},
      {761, "it's messageid (unique identifier) was whitelisted."},
      {762, "it references a whitelisted email."},
  };
  TTriteArray tests;
  msg.WithInfo([&](TEmailInfo& info) { tests = info.StandardTests(); });
  for (const auto& [test, reason] : kReasons)
    if (TriteGet(tests, test) == kTriteYes) return std::string("This email was whitelisted because ") + reason;
  if (TriteGet(tests, 764) != kTriteYes) return "This email was whitelisted.";
  return "This email was whitelisted because it has an approved subject line.";
}

// The developer's aids of the "Report" switches.
void AddDeveloperAids(TEmailMsg& msg, std::string& danger) {
  TEmailHeader* header = msg.GetHeader();
  std::string report;
  header->GetRawValue("X-Quor-Report", report, false);
  if (RegReadBool("Report", "QuorReportinBody1", false)) {
    std::string shown = report;
    HtmlEscape(shown);
    ReplaceAll("\t", "<br>", shown);
    danger += "<font Size=\"+1\"><tt><br>X-Quor-Report\r\n" + shown + "</tt></font>";
  }
  if (RegReadBool("Report", "Origprobinsubj1", false)) {
    const std::size_t at = report.find("Spam-Orig ");
    if (at != std::string::npos) {
      std::size_t end = at + 10;
      while (end < report.size() && std::isdigit(static_cast<unsigned char>(report[end]))) ++end;
      std::string number = report.substr(at + 10, end - at - 10);
      if (!number.empty()) {
        if (number.size() < 3) number.insert(0, 3 - number.size(), '0');
        std::string subject;
        header->GetRawValue("Subject", subject, false);
        header->SetValue("Subject", number + " " + subject);
      }
    }
  }
}

}  // namespace

std::string TEmailMsg::BuildSummaryReportAndInfo() {
  TMsgGuard guard(FLock);
  std::string userId;
  GetUserId(userId);
  const std::shared_ptr<const TProcessingOptions> options = GetGlobalProcessingOptions(userId);

  // 1. The crucial information, and the report files.
  TSimpleHtml crucial;
  GetAdditionalInfo(crucial, 1);
  TSimpleHtml crucialHtml, crucialPlain;
  crucial.CopyFiltered(crucialHtml, 1, kHtmlKindHtml);
  crucial.CopyFiltered(crucialPlain, 1, kHtmlKindPlainText);
  std::string errors = BuildSummaryInfo(10);
  const std::string summaryError = WriteSummaryReportFile(*this);
  if (!summaryError.empty()) errors += (errors.empty() ? "" : "; ") + summaryError;

  // 2-3. No notice, or the summary table as the notice.
  if (options->InfoType == 4) return errors;
  const TTrite verdict = GetUserWanted();
  if (options->InfoType == 0 && verdict != kTriteYes) {
    if (options->DetailLevel != 0) {
      const std::string error = BuildSummaryInfo(options->DetailLevel);
      if (!error.empty() && errors.empty()) errors = error;
      AddInfoForUser(FSummaryInfo, 2);
    }
    return errors;
  }

  // 4. The links.
  std::string reportPath;
  if (IsDeveloperMode() && RegReadBool("Report", "FullReportLinkOnly", false))
    GetFullReportFileName(reportPath);
  else
    GetSummaryReportFileName(reportPath);
  const std::string reportLink =
      LocalLink("GetAnalysis", {{"UserId", userId},
                                {"File", std::filesystem::path(reportPath).filename().string()}});
  TQuorUrl categorize;
  categorize.Document = "Categorize";
  categorize.SetValue("Hint", "PERSONAL");
  std::int32_t qchMsgId = 0;
  std::string backupFile, listId, haveText;
  WithInfo([&](TEmailInfo& info) {
    qchMsgId = info.QCHMsgId();
    backupFile = info.Value(TEmailInfoKey::BackupFile);
    listId = info.Value(TEmailInfoKey::MailListId);
    haveText = info.Value(TEmailInfoKey::QCHHasMsgText);
  });
  categorize.SetValue("MsgId", std::to_string(qchMsgId));
  categorize.SetValue("ContentId", std::to_string(GetContentId()));
  categorize.SetValue("UserId", userId);
  categorize.SetValue("BackupFile", backupFile);
  categorize.SetValue("ListId", listId);
  categorize.SetValue("HaveText", haveText);
  TCheckSumArray images;
  GetImageChecksums(images);
  for (std::size_t i = 0; i < images.size(); ++i)
    categorize.SetValue("Attachment" + std::to_string(i), std::to_string(images[i]));
  auto decodeLink = [&](const std::string& target) {
    std::string link;
    WithInfo([&](TEmailInfo& info) {
      if (!info.MakeDecodeLink(target, link)) link.clear();
    });
    return link.empty() ? target : link;
  };

  // 5-8. The danger text.
  const std::int32_t score = GetScore();
  std::string danger = DangerText(score);
  if (options->InfoType != 3) {
    TCategoryProbability probabilities;
    GetCategoryProbabilities(probabilities, false);
    std::int32_t top = 0;
    TMsgCategory topCategory = Mc_Unknown;
    probabilities.GetMaxCategory(TMsgCategorySet{}, top, topCategory);
    if (top == 100 && topCategory != Mc_Unknown) {
      danger += "<br> E-mail category is <b><font color=\"red\">" + MsgCategoryToName(topCategory) +
                "</font></b>";
    } else if (top > 60 && topCategory != Mc_Unknown) {
      danger += "<br> There is a " + std::to_string(std::min(top, 100)) +
                "% probability that this e-mail is a <font color=\"red\">" +
                MsgCategoryToName(topCategory) + "</font>";
    }
    static constexpr std::pair<TMsgCategory, const char*> kIndications[] = {
        {Mc_UrbanLegend, "an Urban Legend"}, {Mc_Hoax, "a Hoax"}, {Mc_ChainLetter, "a Chain Letter"},
        {Mc_Petition, "a Petition"},         {Mc_Joke, "a Joke"},
    };
    for (const auto& [category, name] : kIndications) {
      if (probabilities.Percentage(category) >= 51 && category != topCategory) {
        danger += std::string("<br> There is some indication that this e-mail is ") + name +
                  " see report for details.";
        break;
      }
    }
  }
  if (danger.starts_with("<br>")) danger.erase(0, 4);
  if (IsDeveloperMode()) AddDeveloperAids(*this, danger);

  // 9-10. The HTML form.
  TSimpleHtml notice;
  const std::string crucialText = JoinLines(crucialHtml);
  if (verdict != kTriteYes || score != 0) {
    if (options->InfoType == 1 || options->InfoType == 2) {
      std::vector<TPlaceholder> fill = {
          {"<!OverallRisk>", danger},
          {"<!ViewReportLink>", reportLink},
          {"<!CrutialInfo>", crucialText},
          {"<!PersonalLink>", CategorizeLink(categorize, Mc_Personal, "PERSONAL")},
          {"<!SpamLink>", CategorizeLink(categorize, Mc_CommercialSpam, "SPAM")},
      };
      if (options->InfoType == 1) {
        fill.push_back({"<!ChainLetterLink>", CategorizeLink(categorize, Mc_ChainLetter, "CHAIN_LETTER")});
        fill.push_back({"<!PetitionLink>", CategorizeLink(categorize, Mc_Petition, "PETITION")});
        fill.push_back({"<!UrbanLegendLink>", CategorizeLink(categorize, Mc_UrbanLegend, "URBAN_LEGEND")});
        fill.push_back({"<!BulkLink>", CategorizeLink(categorize, Mc_Bulk, "BULK")});
        fill.push_back({"<!HoaxLink>", CategorizeLink(categorize, Mc_Hoax, "HOAX")});
        fill.push_back({"<!JokeLink>", CategorizeLink(categorize, Mc_Joke, "JOKE")});
        fill.push_back({"<!VirusLink>", CategorizeLink(categorize, Mc_Virus, "VIRUS")});
      }
      const std::string& memo =
          options->InfoType == 1 ? FullButtonsTemplateMemo() : BriefButtonsTemplateMemo();
      AddTextLines(notice, FillPlaceholders(InsertHelpLinks(memo), fill), 1, kHtmlKindHtml);
    } else if (options->InfoType == 3) {
      categorize.SetValue("Category", "0");
      notice.AddLine(
          "<STYLE type=\"text/css\"><!-- A:link { color: blue; text-decoration: underline} "
          "A:visited { color: brown; text-decoration: underline } A:active { color: red; "
          "text-decoration: underline }--></STYLE>",
          1, kHtmlKindHtml, false);
      for (const char* line : {" <table border=\"1\" bgcolor=\"white\">", "  <tr align=\"center\">",
                               "   <td><font size=\"-1\"><b>Halvorn</b></font></td>", "  </tr>",
                               "  <tr><td>"})
        notice.AddLine(line, 1, kHtmlKindHtml, false);
      for (int i = 0; i < crucialHtml.Count(); ++i) notice.AddLine(crucialHtml[i], 1, kHtmlKindHtml, false);
      notice.AddLine(danger + "&nbsp;&nbsp;&nbsp;&nbsp;<a href=\"" + reportLink + "\">Summary Report</a>",
                     1, kHtmlKindHtml, false);
      notice.AddLine("  </td></tr>", 1, kHtmlKindHtml, false);
      notice.AddLine("  <tr><td>", 1, kHtmlKindHtml, false);
      static constexpr std::pair<TMsgCategory, const char*> kLinks[] = {
          {Mc_Personal, "Personal"}, {Mc_CommercialSpam, "Spam"}, {Mc_Bulk, "Bulk"},
          {Mc_Virus, "Virus"},       {Mc_Hoax, "Hoax"},           {Mc_Joke, "Joke"},
          {Mc_UrbanLegend, "Urban Legend"}, {Mc_ChainLetter, "Chain Letter"},
      };
      std::string links = "To categorize select one: ";
      for (const auto& [category, name] : kLinks)
        links += "<a href=\"" + CategorizeLink(categorize, category, "PERSONAL") + "\">" + name + "</a>, ";
      links += "<a href=\"" + CategorizeLink(categorize, Mc_Petition, "PERSONAL") + "\">Petition</a>. ";
      notice.AddLine(links, 1, kHtmlKindHtml, false);
      notice.AddLine("  </td></tr>", 1, kHtmlKindHtml, false);
      notice.AddLine(" </table>", 1, kHtmlKindHtml, false);
    }
  } else {
    const std::string white =
        WhitelistReason(*this) +
        "<br>If this is incorrect and you would like to block similar emails in the future, click <a "
        "href=\"" +
        CategorizeLink(categorize, Mc_CommercialSpam, "SPAM") + "\">here</a> to categorize as spam." +
        "<br>View <a href=\"" + reportLink + "\">report</a>";
    const std::vector<TPlaceholder> fill = {
        {"<!OverallRisk>", danger}, {"<!ViewReportLink>", reportLink}, {"<!WhiteInfo>", white}};
    AddTextLines(notice, FillPlaceholders(WhitelistedMemo(), fill), 1, kHtmlKindHtml);
  }

  // 11. The plain form.
  for (int i = 0; i < notice.Count(); ++i) notice.SetKind(i, kHtmlKindHtml);
  notice.AddLine(danger, 1, kHtmlKindPlainText, true);
  notice.AddLine("To view Halvorn's summary report for this e-mail click here: " + decodeLink(reportLink),
                 1, kHtmlKindPlainText, true);
  for (int i = 0; i < crucialPlain.Count(); ++i) notice.AddLine(crucialPlain[i], 1, kHtmlKindPlainText, true);
  notice.AddLine("To categorize this e-mail click here: " +
                     decodeLink(CategorizeLink(categorize, Mc_Unknown, "PERSONAL")),
                 1, kHtmlKindPlainText, true);

  // 12.
  AddInfoForUser(notice, 2);
  return errors;
}

void TEmailMsg::AddInfoForUser(const TSimpleHtml& notice, int placement) {
  TMsgGuard guard(FLock);
  CheckAccess("AddInfoForUser");
  bool atTop = placement == 0;
  if (placement == 2) {
    std::string userId;
    GetUserId(userId);
    const std::int32_t location = GetGlobalProcessingOptions(userId)->InfoLocation;
    atTop = location == 1 || (location == 0 && GetScore() > 10);
  }
  TSimpleHtml framed = notice;
  framed.InsertLine(0, std::string(atTop ? kNoticeHtmlBeginTop : kNoticeHtmlBeginBottom), 10,
                    kHtmlKindHtml, false);
  framed.InsertLine(1, std::string(kNoticePlainBegin), 10, kHtmlKindPlainText, false);
  framed.AddLine("<img width=\"1\" height=\"1\" src=\"" +
                     LocalLink("Image", {{"Name", "Spacer.gif"}, {"CId", std::to_string(GetContentId())}}) +
                     "\">",
                 1, kHtmlKindHtml, false);
  framed.AddLine(std::string(kNoticeHtmlEnd), 10, kHtmlKindHtml, false);
  framed.AddLine(std::string(kNoticePlainEnd), 10, kHtmlKindPlainText, true);
  InsertUserText(framed, atTop, true);
}

void TEmailMsg::InsertUserText(const TSimpleHtml& notice, bool atTop, bool boxed) {
  TMsgGuard guard(FLock);
  CheckAccess("InsertUserText");
  if (notice.Empty()) return;
  TEmailMsgPart* plain = nullptr;
  TEmailMsgPart* html = nullptr;
  GetTextParts(plain, html);
  if (plain == nullptr && html == nullptr) {
    if (GetParts().Count() == 0) return;
    AddMissingAlternative();
    GetTextParts(plain, html);
    if (plain == nullptr && html == nullptr) return;
  }
  if (plain != nullptr) {
    TSimpleHtml kept = notice;
    kept.KeepKind(kHtmlKindPlainText);
    TStringList box;
    kept.ToPlainText(box);
    if (boxed) BoxPlainNotice(box);
    TStringList text;
    plain->DecodeToStringList(text, false);
    TStringList result = atTop ? box : text;
    result.AddStrings(atTop ? text : box);
    plain->EncodeFromStringList(result, false);
  }
  if (html != nullptr) {
    TSimpleHtml kept = notice;
    kept.KeepKind(kHtmlKindHtml);
    TStringList lines;
    html->DecodeToStringList(lines, false);
    std::string text = lines.Text();
    InsertHtmlNotice(text, JoinLines(kept), atTop);
    lines.SetText(text);
    html->EncodeFromStringList(lines, false);
  }
}

bool TEmailMsg::DoRemoveQuorInfo() {
  TMsgGuard guard(FLock);
  if (InfoRemoved.load()) return false;
  CheckAccess("DoRemoveQuorInfo");
  TEmailMsgPartCollection& parts = GetParts();
  bool removed = false;
  for (int i = 0; i < parts.Count(); ++i)
    if (parts.Items(i)->RemoveQuorInfo()) removed = true;
  InfoRemoved.store(true);
  return removed;
}

bool TEmailMsg::DoRemoveQuorImages() {
  TMsgGuard guard(FLock);
  CheckAccess("DoRemoveQuorImages");
  TEmailMsgPartCollection& parts = GetParts();
  bool removed = false;
  for (int i = parts.Count() - 1; i >= 0; --i) {
    if (parts.Items(i)->IsOwnImage()) {
      parts.Delete(i);
      removed = true;
    }
  }
  if (removed) SetChanged(true);
  return removed;
}

bool TEmailMsg::GetRemoveQuorInfoOnSend() {
  TMsgGuard guard(FLock);
  EnsureLoadedLocked();
  if (FProperties.IndexOfName(kPropRemoveQuorInfoOnSend) >= 0)
    return FProperties.Values(kPropRemoveQuorInfoOnSend) == "Yes";
  std::string userId;
  GetUserId(userId);
  return GetGlobalProcessingOptions(userId)->DelInfoOnSend;
}

void TEmailMsg::SetRemoveQuorInfoOnSend(bool flag) {
  SetProperty(kPropRemoveQuorInfoOnSend, flag ? "Yes" : "No");
}

// ---------------------------------------------------------------------------
// Category probabilities and headers

namespace {

// The message's file lies in the unprocessed-incoming queue's folder.
bool InUnprocessedIncoming(const std::string& fileName, const std::string& userId) {
  if (fileName.empty()) return false;
  namespace fs = std::filesystem;
  const fs::path folder = fs::path(fileName).parent_path().lexically_normal();
  return folder == fs::path(GetUnprocessedIncomingDir(userId)).lexically_normal();
}

}  // namespace

void TEmailMsg::GetCategoryProbabilities(TCategoryProbability& result, bool ignoreVerdict) {
  TMsgGuard guard(FLock);
  result.Clear();
  if (FProbabilities.Count() > 0) {
    FProbabilities.Combine(result);
    if (!ignoreVerdict) {
      const TTrite verdict = GetUserWanted();
      if (verdict == kTriteNo || verdict == kTriteYes) {
        const bool spam = verdict == kTriteNo;
        result.SetPercentage(Mc_CommercialSpam, spam ? 100 : 0);
        result.SetPercentage(Mc_Personal, spam ? 0 : 100);
        result.SetWeight(Mc_CommercialSpam, kDefiniteWeight);
        result.SetWeight(Mc_Personal, kDefiniteWeight);
      }
    }
    result.Normalize();
    SetInfoValue(TEmailInfoKey::CategoryProbabilitiesStr, result.SaveToText());
    return;
  }
  result.LoadFromText(GetInfoValue(TEmailInfoKey::CategoryProbabilitiesStr));
  // The category headers of a message not yet analysed here were written by
  // its sender.
  std::string userId;
  GetUserId(userId);
  if (InUnprocessedIncoming(FFileName, userId)) return;
  TEmailHeader* header = GetHeader();
  for (const TCategoryHeader& h : kCategoryHeaders) {
    std::string value;
    std::int32_t percentage = 0;
    if (header->GetValue(h.Name, value) && TryStrToInt(value, percentage))
      result.SetPercentage(h.Category, percentage);
  }
}

std::int32_t TEmailMsg::GetCategoryProbability(std::uint8_t category, bool ignoreVerdict) {
  if (!IsMsgCategory(category)) return 0;
  TCategoryProbability result;
  GetCategoryProbabilities(result, ignoreVerdict);
  return result.Percentage(category);
}

void TEmailMsg::WriteCategoryHeaders() {
  TMsgGuard guard(FLock);
  TCategoryProbability result;
  GetCategoryProbabilities(result, false);
  TEmailHeader* header = GetHeader();
  for (const TCategoryHeader& h : kCategoryHeaders)
    header->SetValue(h.Name, std::to_string(result.Percentage(h.Category)));
}

}  // namespace halvorn
