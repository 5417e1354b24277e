// The report files of a message: names, links, the summary table and the
// full and summary reports.
#include "message/email_msg_reports.h"

#include <filesystem>
#include <initializer_list>
#include <system_error>
#include <utility>

#include "foundation/files/atomic_file.h"
#include "foundation/files/durability_batch.h"
#include "foundation/files/file_helpers.h"
#include "foundation/files/install_folders.h"
#include "foundation/files/unique_paths.h"
#include "foundation/text/text_normalisation.h"
#include "foundation/threads/mutex_critical_section.h"
#include "foundation/time/date_time.h"
#include "message/email_msg.h"
#include "message/page_texts.h"
#include "message/quor_url.h"

namespace halvorn {

namespace {

// Messages and backups are read up to the size a message may have.
constexpr std::size_t kMaxBackupBytes = static_cast<std::size_t>(INT32_MAX);

constexpr const char* kFullReportPrefix = "Full_Report ";
constexpr const char* kSummaryReportPrefix = "Summary_Report ";
constexpr const char* kReportExtension = ".htm";

// The date format of the message information; "m" is always the month.
constexpr const char* kDateSentFormat = "ddd, d mmm yyyy hh:nn:ss ";

constexpr const char* kStyleLine =
    "<STYLE type=\"text/css\"><!-- A:link { color: blue; text-decoration: underline} A:visited { "
    "color: brown; text-decoration: underline } A:active { color: red; text-decoration: underline "
    "}--></STYLE>";

std::string UserIdOf(TEmailMsg& msg) {
  std::string userId;
  msg.GetUserId(userId);
  return userId;
}

std::string Escaped(std::string text) {
  HtmlEscape(text);
  return text;
}

std::string FileNameOf(const std::string& path) {
  return std::filesystem::path(path).filename().string();
}

// A new free path in the reports folder from the prefix and the first 25
// characters of the decoded Subject.
std::string DrawReportPath(TEmailMsg& msg, const char* prefix) {
  std::string subject;
  msg.GetHeader()->GetSubject(subject);
  std::string path;
  GetUniquePath(GetReportsDir(UserIdOf(msg)), prefix + subject.substr(0, 25), kReportExtension, path);
  return path;
}

// The path of a report: the name stored under the key, else a new one,
// stored.
void ReportPath(TEmailMsg& msg, TEmailInfoKey key, const char* prefix, std::string& path) {
  const std::string name = msg.GetInfoValue(key);
  if (IsPlainFileName(name)) {
    path = GetReportsDir(UserIdOf(msg)) + "/" + name;
    return;
  }
  path = DrawReportPath(msg, prefix);
  msg.SetInfoValue(key, FileNameOf(path));
}

// Writes a new report file at the path; when the name is taken meanwhile,
// under a new name, which is stored.
std::string WriteReportFile(TEmailMsg& msg, TEmailInfoKey key, const char* prefix,
                            const std::string& path, const std::string& bytes) {
  // In a durability batch the file rides on its commit (a report is never
  // the only copy of mail); a name taken before then is drawn again there.
  std::string written;
  std::weak_ptr<TEmailMsg> weak = msg.weak_from_this();
  const std::string error = WriteFileInCurrentBatch(
      path, bytes, false, [weak, prefix]() -> std::string {
        TEmailMsgRef self = weak.lock();
        return self ? DrawReportPath(*self, prefix) : std::string();
      },
      written, [weak, key, path](const std::string& placed) {
        TEmailMsgRef self = weak.lock();
        if (self && !placed.empty() && placed != path) self->SetInfoValue(key, FileNameOf(placed));
      });
  if (error.empty() && written != path) msg.SetInfoValue(key, FileNameOf(written));
  return error;
}

// The lines of a fragment meant for HTML output, each followed by CR LF.
std::string HtmlForm(const TSimpleHtml& fragment) {
  TSimpleHtml html;
  fragment.CopyFiltered(html, 255, kHtmlKindHtml);
  return html.Text();
}

// Appends the lines with their levels and kinds.
void AppendTagged(TSimpleHtml& target, const TSimpleHtml& lines) {
  for (int i = 0; i < lines.Count(); ++i) target.AddItem(lines.Item(i));
}

// A copy cut to the level.
TSimpleHtml UpToLevel(const TSimpleHtml& source, int level) {
  TSimpleHtml copy = source;
  copy.KeepLevel(level);
  return copy;
}

// The raw text of the message as the report shows it, each line escaped:
// the raw backup when it can be read, else the message's own text, both
// rebuilt from their parts.
std::string RawTextSection(TEmailMsg& msg) {
  TStringList lines;
  std::string backup;
  msg.GetBackupFileName(backup);
  std::string bytes;
  if (!backup.empty() && ReadFileBytes(backup, kMaxBackupBytes, bytes).empty()) {
    // The backup's lines are the message as received: read as message
    // lines, so a first line of the sender's cannot pass for the program's
    // property line.
    TStringList raw;
    raw.SetText(bytes);
    bytes.clear();
    TEmailMsgRef view = TEmailMsg::Create();
    view->SetSaveChanges(false);
    view->SetEnsureTextPart(false);
    view->FSetFlaggedDeleted(true);
    view->SetRawMail(raw);
    view->GetRawText(lines, false);
  } else {
    msg.GetRawText(lines, false);
  }
  std::string text;
  for (int i = 0; i < lines.Count(); ++i) {
    std::string line = lines[i];
    HtmlEscape(line);
    if (i > 0) text += "\r\n";
    text += line;
  }
  return text;
}

// The additional items as a list, for the full report.
std::string AdditionalInfoList(TEmailMsg& msg) {
  std::string list = "<ul>\r\n";
  bool any = false;
  TSimpleHtmlList& items = msg.AdditionalInfo();
  for (int i = 0; i < items.Count(); ++i) {
    TSimpleHtml html;
    items.Items(i).CopyFiltered(html, 255, kHtmlKindHtml);
    if (html.Empty()) continue;
    any = true;
    std::string first = html[0];
    if (first.starts_with(kHtmlBreak)) first.erase(0, 4);
    html.SetString(0, first);
    list += "<li>" + html.Text() + "</li>\r\n";
  }
  list += "</ul>";
  return any ? list : "No additional information was added.";
}

}  // namespace

void BuildMessageInfo(TEmailMsg& msg) {
  TCriticalSectionGuard guard(msg.MessageLock());
  TSimpleHtml& info = msg.MessageInfo();
  info.Clear();
  TEmailHeader* header = msg.GetHeader();
  auto add = [&](const char* label, const std::string& value) {
    info.AddLine(label + Escaped(value), 1, kHtmlKindAll, true);
  };
  std::string value;
  header->GetValue("From", value);
  add("<b>Sent From:</b> ", value);
  value.clear();
  header->GetValue("To", value);
  add("<b>Sent To:</b> ", value);
  value.clear();
  header->GetValue("CC", value);
  add("<b>Carbon Copied to:</b> ", value);
  add("<b>Subject:</b> ", msg.GetSubject());
  try {
    if (header->IndexOfName("Date") < 0) return;
    TDateTime written = 0, zone = 0;
    const std::uint16_t flags = header->GetDate(written, zone);
    if (flags & (kDateEmpty | kDateBadDate | kDateBadTime)) return;
    // The local zone of that date, not of today: a winter date read in
    // summer is not an hour off.
    const std::string local = FormatDateTime(kDateSentFormat, UtcToLocal(written - zone));
    if (local.empty()) return;
    std::string line = "<b>Date Sent:</b> " + local + " local time zone";
    const std::string asWritten = FormatDateTime(kDateSentFormat, written);
    if (asWritten != local) line += " (" + asWritten + " sender's time zone.)";
    info.AddLine(line, 1, kHtmlKindAll, true);
  } catch (const std::exception&) {
    // A date that cannot be shown is left out.
  }
}

std::string WriteSummaryReportFile(TEmailMsg& msg) {
  TCriticalSectionGuard guard(msg.MessageLock());
  std::string path;
  msg.GetSummaryReportFileName(path);
  if (FileExists(path)) return {};
  if (msg.MessageInfo().Empty()) BuildMessageInfo(msg);
  static constexpr std::string_view kHead =
      "<!doctype html public \"-//w3c//dtd html 4.0 transitional//en\">\r\n"
      "<html>\r\n"
      " <head>\r\n"
      "  <meta http-equiv=\"Content-Type\" content=\"text/html; charset=iso-8859-1\">\r\n"
      "  <meta name=\"GENERATOR\" content=\"Quorvantis\">\r\n"
      "   <title>Halvorn Summary Report for \"<!SubjectLine>\"</title>\r\n"
      " </head>\r\n"
      " <body>\r\n"
      "  <center><img SRC=\"<!QuorLogo>\"></center>\r\n"
      "  <hr width=\"100%\">\r\n"
      "  <H1>The following is Halvorn's summary report on your e-mail.</H1>\r\n";
  std::string page = FillPlaceholders(
      kHead, {{"<!SubjectLine>", Escaped(msg.GetSubject())},
              {"<!QuorLogo>", LocalLink("Image", {{"Name", "Quor.jpg"}})}});
  page += msg.MessageInfo().Text();
  page += "<br>\r\n";
  page += HtmlForm(msg.SummaryInfo());
  page += " </body>\r\n</html>\r\n";
  return WriteReportFile(msg, TEmailInfoKey::SummaryReport, kSummaryReportPrefix, path, page);
}

// ---------------------------------------------------------------------------
// TEmailMsg

void TEmailMsg::GetFullReportFileName(std::string& path) {
  TMsgGuard guard(FLock);
  ReportPath(*this, TEmailInfoKey::ReportFile, kFullReportPrefix, path);
}

void TEmailMsg::GetSummaryReportFileName(std::string& path) {
  TMsgGuard guard(FLock);
  ReportPath(*this, TEmailInfoKey::SummaryReport, kSummaryReportPrefix, path);
}

void TEmailMsg::GetReportUrl(std::string& link) {
  TMsgGuard guard(FLock);
  link.clear();
  std::string path;
  GetFullReportFileName(path);
  const std::string name = FileNameOf(path);
  if (name.empty()) return;
  std::string userId;
  GetUserId(userId);
  link = LocalLink("GetReport", {{"UserId", userId}, {"File", name}});
}

void TEmailMsg::GetBackupUrl(const std::string& fileExt, std::string& link) {
  TMsgGuard guard(FLock);
  link.clear();
  const std::string name = GetInfoValue(TEmailInfoKey::BackupFile);
  if (name.empty()) return;
  std::string userId;
  GetUserId(userId);
  link = LocalLink("GetBackup", {{"UserId", userId}, {"File", name}, {"FileExt", fileExt}});
}

void TEmailMsg::GetBackupFileName(std::string& path) {
  TMsgGuard guard(FLock);
  path.clear();
  const std::string name = GetInfoValue(TEmailInfoKey::BackupFile);
  if (!IsPlainFileName(name)) return;
  std::string userId;
  GetUserId(userId);
  path = GetBackupsDir(userId) + "/" + name;
}

void TEmailMsg::GetAdditionalInfo(TSimpleHtml& target, int level) {
  TMsgGuard guard(FLock);
  target.Clear();
  bool taken = false;
  for (int i = 0; i < FAdditionalInfo.Count(); ++i) {
    TSimpleHtml item = UpToLevel(FAdditionalInfo.Items(i), level);
    if (item.Empty()) continue;
    item.EndWithBr();
    if (taken) target.AddLine("<HR width=\"30%\" align=\"left\">", 1, kHtmlKindHtml, false);
    AppendTagged(target, item);
    taken = true;
  }
}

std::string TEmailMsg::BuildSummaryInfo(int level) {
  TMsgGuard guard(FLock);
  const std::string error = WriteFullReport();
  FSummaryInfo.Clear();
  if (level == 0) return error;
  FSummaryInfo.AddLine(kStyleLine, 1, kHtmlKindHtml, false);
  FSummaryInfo.AddLine(
      "<table BORDER COLS=1 WIDTH=\"100%\" BGCOLOR=\"white\"><TH> Halvorn Summary Report </TH>", 1,
      kHtmlKindHtml, false);
  auto addBox = [&](const char* title, TSimpleHtml lines) {
    if (lines.Empty()) return;
    lines.WrapInBox(title);
    FSummaryInfo.AddLine("<tr><td>", 1, kHtmlKindHtml, false);
    AppendTagged(FSummaryInfo, lines);
    FSummaryInfo.AddLine("</td></tr>", 1, kHtmlKindHtml, false);
  };
  TSimpleHtml general = UpToLevel(FGeneralInfo, level);
  const TSimpleHtml general2 = UpToLevel(FGeneralInfo2, level);
  if (!general.Empty() && !general2.Empty()) general.AddBr();
  AppendTagged(general, general2);
  addBox("General information:", general);
  addBox("Halvorn Categories:", UpToLevel(FCategoryInfo, level));
  addBox("Message match information:", UpToLevel(FMatchInfo, level));
  const TSimpleHtml attachments = UpToLevel(FAttachmentInfo, level);
  if (!attachments.Empty()) {
    FSummaryInfo.AddLine("<tr><td>", 1, kHtmlKindHtml, false);
    AppendTagged(FSummaryInfo, attachments);
    FSummaryInfo.AddLine("</td></tr>", 1, kHtmlKindHtml, false);
  }
  addBox("Add to lists:", UpToLevel(FListInfo, level));
  TSimpleHtml additional;
  GetAdditionalInfo(additional, level);
  addBox("Additional Information:", additional);
  FSummaryInfo.AddLine("</table>", 1, kHtmlKindHtml, true);
  return error;
}

std::string TEmailMsg::WriteFullReport() {
  TMsgGuard guard(FLock);
  std::string path;
  GetFullReportFileName(path);
  if (FileExists(path)) return {};
  const std::string& memo = ReportTemplateMemo();
  if (memo.empty()) return {};
  BuildMessageInfo(*this);
  std::string subject;
  GetHeader()->GetSubject(subject);
  const std::string page = FillPlaceholders(
      memo, {
                {"!title", "Halvorn Email Report - " + Escaped(subject)},
                {"QuorLogoSm.jpg", LocalLink("Image", {{"Name", "Quor.jpg"}})},
                {"<!MessageInfo>", HtmlForm(FMessageInfo)},
                {"<!GeneralInfo>", HtmlForm(FGeneralInfo)},
                {"<!attatch>", HtmlForm(FAttachmentInfo)},
                {"<!qch>", HtmlForm(FMatchInfo)},
                {"<!addInfo>", AdditionalInfoList(*this)},
                {"<!RuleInfo>", HtmlForm(FRuleInfo)},
                {"<!RawText>", RawTextSection(*this)},
            });
  return WriteReportFile(*this, TEmailInfoKey::ReportFile, kFullReportPrefix, path, page);
}

}  // namespace halvorn
