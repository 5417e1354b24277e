#include "processing/attachment_danger.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "foundation/files/file_helpers.h"
#include "foundation/log/log_sink.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/text/text_helpers.h"
#include "foundation/text/trite_array.h"
#include "lists/file_extensions.h"
#include "message/email_header.h"
#include "message/email_info.h"
#include "message/email_msg.h"
#include "message/email_msg_part.h"
#include "message/msg_category.h"
#include "message/simple_html.h"
#include "processing/notice_links.h"

namespace halvorn {

namespace {

constexpr int kBoth = kHtmlKindAll;
constexpr int kHtml = kHtmlKindHtml;

// Adds the danger under the name, or raises the entry already there to it.
void AddOrRaiseDanger(TEmailMsg& msg, const std::string& name, int points) {
  if (points == 0) return;
  if (msg.AddScore(name, points)) return;
  msg.WithInfo([&](TEmailInfo& record) {
    TStringList entries = record.DangerLevel();
    for (int i = 0; i < entries.Count(); ++i) {
      if (SameText1252(entries[i], name) && entries.Numbers(i) < points) {
        entries.SetNumber(i, points);
        record.SetDangerLevel(entries);
      }
    }
  });
}

// The extension of a name from its last "." on (dot included); empty when
// the name has no dot after its last path separator.
std::string ExtensionOf(const std::string& name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos) return {};
  const std::size_t slash = name.find_last_of("/\\");
  if (slash != std::string::npos && slash > dot) return {};
  return name.substr(dot);
}

std::string WithoutBlanks(std::string text) {
  text.erase(std::remove_if(text.begin(), text.end(), [](char c) { return c == ' ' || c == '\t'; }),
             text.end());
  return text;
}

// The length of the longest run of blanks followed by another character.
int BlankRun(const std::string& name) {
  int longest = 0, run = 0;
  for (char c : name) {
    if (c == ' ') {
      ++run;
    } else {
      if (run > longest) longest = run;
      run = 0;
    }
  }
  return longest;
}

class TAnalysis {
 public:
  TAnalysis(TEmailMsg& msg, TFileExtensionList* table) : FMsg(msg), FTable(table) {}

  void Run() {
    TEmailMsgPartCollection& parts = FMsg.GetParts();
    FCount = 0;
    FIndex = 0;
    for (int i = 0; i < parts.Count(); ++i) CountAttachments(parts.Items(i));
    if (FCount == 0) {
      FMsg.AttachmentInfo().AddLine("  No attachments found.", 11, kBoth, true);
      return;
    }
    FDescribed.clear();
    for (int i = 0; i < parts.Count(); ++i) {
      TEmailMsgPart* part = parts.Items(i);
      if (part == nullptr) continue;
      Describe(*part, 0);
      AddOrRaiseDanger(FMsg, kAttachmentDangerName, part->DangerPoints);
    }
    FMsg.WithInfo([&](TEmailInfo& record) {
      TTriteArray tests = record.StandardTests();
      for (int index = 742; index <= 753; ++index) TriteResolve(tests, index, FFound[index - 742]);
      record.SetStandardTests(tests);
    });
  }

 private:
  static bool IsAttachmentPart(TEmailMsgPart& part) {
    TEmailHeader* header = part.Header();
    return header != nullptr && (header->IsAttachment() || header->IsInlineAttachment());
  }

  void CountAttachments(TEmailMsgPart* part, int depth = 0) {
    if (part == nullptr || depth > 64) return;
    if (IsAttachmentPart(*part)) ++FCount;
    for (int i = 0; i < part->Children().Count(); ++i)
      CountAttachments(part->Children().Items(i), depth + 1);
  }

  std::unique_ptr<TFileExtension> Entry(const std::string& extension) {
    const std::string key = NormalFileExtension(TrimText(LowerCase1252(extension)));
    if (FTable == nullptr || key.empty()) return nullptr;
    int index = -1;
    if (!FTable->Find(key, index)) return nullptr;
    std::shared_ptr<TFileExtension> found = FTable->Items(index);
    return found == nullptr ? nullptr : std::make_unique<TFileExtension>(*found);
  }

  bool WasDescribed(const TFileExtension* e) const {
    return e != nullptr &&
           std::find(FDescribed.begin(), FDescribed.end(), LowerCase1252(e->Extension)) !=
               FDescribed.end();
  }

  // Describes an extension entry at level a into the report.
  void DescribeEntry(TEmailMsgPart& part, TSimpleHtml& report, const TFileExtension* e, int a,
                     const std::string& declaredType) {
    if (e == nullptr) return;
    const std::string name = LowerCase1252(e->Extension);
    const std::string shown = HtmlSafe(name);
    FDescribed.push_back(name);
    const int r = e->Risk;
    std::string clsid;
    if (e->GetClsidDescription(clsid)) {
      report.AddLine("<font color=Red>  Warning: </font>The file type of this attachment was set "
                     "useing the class id instead of a file extension.  The actual file type may "
                     "be different from what it appears to be.",
                     -1, kBoth, true);
      report.AddLine("  The file type indicated by the class id is: \"" + HtmlSafe(clsid) + "\"", -1,
                     kBoth, true);
      part.DangerPoints += 100;
      report.AddLine("100 danger points added to attachment due to class id being used as the file "
                     "extension. (" + shown + ")",
                     11, kHtml, true);
      FFound[751 - 742] = true;
    } else {
      report.AddLine(r < 2 ? "  Overall risk inherent in opening files with extension\"."
                           : "<font color=Red>  Overall risk inherent in opening files with extension\".",
                     a + 1, kBoth, true);
      report.AppendToLast(shown + "\" is " + FileRiskLevelName(r) + (r < 2 ? "." : ".</font>"));
      if (r == 3) {
        part.DangerPoints += 50;
        report.AddLine("50 danger points added to attachment due to high risk file extension " +
                           shown + ".",
                       11, kHtml, true);
      } else if (r != kRiskNotSet && r != 0) {
        part.DangerPoints += r * 10;
        report.AddLine(std::to_string(r * 10) +
                           " danger points added to attachment due to file extension risk " +
                           shown + ".",
                       11, kHtml, true);
      }
    }
    if (e->Descriptions.Count() == 1) {
      report.AddLine("  A file with a \"." + shown, a + 5, kBoth, true);
      report.AppendToLast("\" extension is usually a: " + HtmlSafe(e->Descriptions[0]) + ".");
    } else if (e->Descriptions.Count() > 1) {
      report.AddLine("  Files with a \"." + shown + "\" extension are usually:", a + 5, kBoth, true);
      for (int i = 0; i < e->Descriptions.Count(); ++i)
        report.AddLine(" -   " + HtmlSafe(e->Descriptions[i]), a + 5, kBoth, true);
    }
    if (e->URLs.Count() > 0) {
      report.AddLine("  For more information please see:", a + 5, kBoth, true);
      for (int i = 0; i < e->URLs.Count(); ++i)
        report.AddLine("  " + HtmlSafe(e->URLs[i]), a + 5, kBoth, true);
    }
    if (!e->Alias.empty())
      report.AddLine("  This file extension is equivalent to the file extension \"" +
                         HtmlSafe(e->Alias) + "\".",
                     a + 6, kBoth, true);
    const std::string program = ProgramForExtension(name);
    if (!program.empty())
      report.AddLine("  Application associated with this file extension on this computer is " +
                         HtmlSafe(program),
                     a + 2, kBoth, true);
    std::string registered;
    if (!ContentTypeForExtension(name, registered)) registered.clear();
    if (!declaredType.empty() && !SameText1252(declaredType, registered)) {
      report.AddLine("  This computer considers this attachment to be:\"" + HtmlSafe(registered) +
                         "\".",
                     a + 2, kBoth, true);
      report.AddLine("  This is not the same type as the sender claims it is.", a + 2, kBoth, true);
      if (FTable != nullptr) {
        if (const auto byType = FTable->FindByContentType(declaredType)) {
          if (!SameText1252(byType->Extension, name))
            report.AddLine("  The file extension for this MIME type is " + HtmlSafe(byType->Extension),
                           a + 7, kBoth, true);
          if (byType->Risk < r) {
            report.AddLine("  The risk associated with this MIME type is lower than the file type "
                           "indicates.  This could be an attempt to fool your e-mail program into "
                           "opening a dangerous file.",
                           a + 7, kBoth, true);
            part.DangerPoints += 30;
            report.AddLine("30 danger points added to attachment due to deceptive low risk MIME type.",
                           11, kHtml, true);
            part.SafeMimeUnsafeType = true;
            FFound[752 - 742] = true;
          }
        }
      }
    } else {
      report.AddLine("  This computer considers this attachment to be:\"" + HtmlSafe(registered) +
                         "\".",
                     a + 7, kBoth, true);
    }
  }

  // Name analysis at base b.
  void AnalyseName(TEmailMsgPart& part, TSimpleHtml& report, const std::string& name, int b,
                   const std::string& declaredType) {
    const int run = BlankRun(name);
    if (run > 2) {
      part.ConsecutiveSpaces = true;
      part.LongestSpaceRun = run;
      FFound[748 - 742] = true;
      report.AddLine("<font color=red><b>  Warning:</b></font> " + std::to_string(run), b + 1, kBoth,
                     true);
      report.AppendToLast(" consecutive spaces found in attached file name.");
      report.AppendToLast(" Excessive spaces are often used by virus writers to hide the true "
                          "nature of the sent file by causing the file extension not to be displayed.");
      part.DangerPoints += 4 * run;
      report.AddLine(std::to_string(4 * run) +
                         " danger points added to attachment due to consecutive space characters in name.",
                     11, kHtml, true);
    }
    const std::string x2 = TrimText(LowerCase1252(ExtensionOf(name)));
    const std::string rest = name.substr(0, name.size() - ExtensionOf(name).size());
    const std::string x1 = TrimText(LowerCase1252(ExtensionOf(rest)));
    const std::unique_ptr<TFileExtension> e1 = Entry(x1);
    const std::unique_ptr<TFileExtension> e2 = Entry(x2);
    if (e1 == nullptr) {
      if (e2 != nullptr) {
        DescribeEntry(part, report, e2.get(), WasDescribed(e2.get()) ? b + 6 : b, declaredType);
        part.FileRiskLevel = std::max(part.FileRiskLevel, e2->Risk);
      }
      return;
    }
    part.FileRiskLevel = e2 != nullptr ? e2->Risk : kRiskNotSet;
    part.MultipleExtensions = true;
    FFound[749 - 742] = true;
    report.AddLine(" <font color=Red><b>  Warning:</b></font> Two file extensions found.", b + 1, kBoth,
                   true);
    report.AppendToLast("  Multiple file extensions are some times used by virus writers to hide the "
                        "true nature of the sent file.");
    part.DangerPoints += 10;
    report.AddLine("10 danger points added to attachment due to multiple file extensions in name.",
                   11, kHtml, true);
    if (e2 != nullptr && e1->Risk < 2 && e2->Risk > 1) {
      report.AppendToLast(" In addition, in this case a relatively risky file type (" +
                          HtmlSafe(LowerCase1252(e2->Extension)) +
                          ") may appear to be a relatively benign file type(" +
                          HtmlSafe(LowerCase1252(e1->Extension)) + ").");
      part.DangerPoints += 50;
      report.AddLine("50 danger points added to attachment due to benign file extension hiding "
                     "dangerous file extension.",
                     11, kHtml, true);
      part.HiddenExtension = true;
      FFound[750 - 742] = true;
    }
    report.AddBr();
    report.AddLine("  Information on the second file extension is as follows:", b + 5, kBoth, true);
    DescribeEntry(part, report, e2.get(), b, declaredType);
    report.AddBr();
    report.AddLine("  Information on the first file extension is as follows:", b + 5, kBoth, true);
    DescribeEntry(part, report, e1.get(), b, declaredType);
  }

  void Describe(TEmailMsgPart& part, int depth) {
    if (depth > 64) return;
    for (int i = 0; i < part.Children().Count(); ++i) {
      TEmailMsgPart* child = part.Children().Items(i);
      if (child == nullptr) continue;
      Describe(*child, depth + 1);
      AddOrRaiseDanger(FMsg, kNestedAttachmentDangerName, child->DangerPoints);
    }
    if (!IsAttachmentPart(part)) return;
    TEmailHeader& header = *part.Header();
    ++FIndex;
    part.DangerPoints = 0;
    part.FileRiskLevel = -1;
    TSimpleHtml report;
    report.AddLine("<!AttatchmentWarningLevel>", 1, kBoth, true);
    const TMsgSearchRec& record = part.SearchRec;
    const int votes = record.Counts.Virus;
    if (votes > 0) {
      report.AddLine("<font color=red><b>  Warning: " + std::to_string(votes) +
                         " users have flagged this attached file as a virus.</b></font>",
                     1, kBoth, true);
      part.AttachmentValue = votes;
      part.DangerPoints += votes + 10;
      report.AddLine(std::to_string(votes + 10) +
                         " danger points added to attachment due to user Virus categorization",
                     11, kHtml, true);
    }
    if (record.Counts.StaffCategory == Mc_Virus) {
      report.AddLine("<font color=red><b>  Warning: Quorvantis has flagged this attached file as a "
                     "virus.</b></font>",
                     1, kBoth, true);
      part.QchVirus = true;
      part.DangerPoints += 100;
      report.AddLine("100 danger points added to attachment due to Quorvantis Virus categorization",
                     11, kHtml, true);
    } else {
      part.QchVirus = false;
    }
    if (record.TimesEncountered > 0)
      report.AddLine("  This attachment has been seen by Quorvantis " +
                         std::to_string(record.TimesEncountered) + " times.",
                     -1, kBoth, true);

    std::string declared;
    const bool hasType = header.GetContentType(declared);
    if (!hasType) declared.clear();
    std::string name;
    if (header.GetAttachmentName(name) && !name.empty()) {
      std::string typeName, idName, dispName;
      if (!header.GetAttachmentNameFromType(typeName) || typeName.empty()) typeName = name;
      if (!header.GetAttachmentNameFromContentId(idName) || idName.empty()) idName = name;
      if (!header.GetAttachmentNameFromDisposition(dispName) || dispName.empty()) dispName = name;
      const std::string bare = WithoutBlanks(name);
      if (WithoutBlanks(typeName) != bare || WithoutBlanks(dispName) != bare) {
        part.MultipleFileNames = true;
        FFound[746 - 742] = true;
        report.AddLine("<font color=><b>  Warning:</b></font> More than one name was supplied for "
                       "this file.",
                       1, kBoth, true);
        report.AppendToLast("  This could be an attempt to confuse your security software.  The "
                            "supplied names are: \"" + HtmlSafe(name) + "\" and \"" +
                            HtmlSafe(typeName != name ? typeName : dispName) + "\".");
        part.DangerPoints += 10;
        report.AddLine("10 danger points added to attachment due to multiple file names.", 11, kHtml,
                       true);
        const std::string mainExt = LowerCase1252(ExtensionOf(name));
        if (LowerCase1252(ExtensionOf(typeName)) != mainExt ||
            LowerCase1252(ExtensionOf(dispName)) != mainExt) {
          part.DifferingExtensions = true;
          FFound[747 - 742] = true;
          part.DangerPoints += 20;
          report.AddLine("20 danger points added to attachment due to different file ext on the diff names.",
                         11, kHtml, true);
        }
        for (const std::string* other : {&typeName, &idName, &dispName})
          if (*other != name) report.AppendToLast(", and \"" + HtmlSafe(*other) + "\"");
        report.AppendToLast(".  The name your email program will probably recognize is \"" +
                            HtmlSafe(name) + "\".");
        report.AddLine("<!InLineWarning>", 1, kBoth, false);
        report.AddLine("<!InLineWarningPoints>", 11, kBoth, true);
        report.AddLine("<!SenderMimeType>", 7, kBoth, true);
        AnalyseName(part, report, name, 0, declared);
        std::vector<std::string> others;
        for (const std::string* other : {&typeName, &idName, &dispName})
          if (*other != name && std::find(others.begin(), others.end(), *other) == others.end())
            others.push_back(*other);
        for (const std::string& other : others) AnalyseName(part, report, other, 11, declared);
      } else {
        report.AddLine("  Full name of attachment is \"" + HtmlSafe(name) + "\".", 3, kBoth, true);
        report.AddLine("<!InLineWarning>", 1, kBoth, false);
        report.AddLine("<!InLineWarningPoints>", 11, kBoth, true);
        AnalyseName(part, report, name, 0, declared);
      }
      if (hasType)
        report.ReplaceAll("<!SenderMimeType>",
                          "<br>  The sender of this attachment considered it to be:\"" +
                              HtmlSafe(declared) + "\" (MIME type).");
    } else {
      name = "<No name supplied>";
      part.FileRiskLevel = -1;
      part.NoFileName = true;
      FFound[753 - 742] = true;
      std::string rawType;
      header.GetRawValue("Content-Type", rawType, true);
      if (LowerCase1252(TrimText(rawType)).rfind("message/", 0) == 0) {
        report.AddLine("  Attacment is another message.", 1, kBoth, true);
      } else {
        report.AddLine("  <font color=red>Attached file had no name specified.<br>This is suspicious</font>",
                       1, kBoth, true);
        std::string subject;
        TEmailHeader* top = FMsg.GetHeader();
        if (top != nullptr && top->GetRawValue("Subject", subject, true) &&
            std::count(subject.begin(), subject.end(), ' ') > 10) {
          part.DangerPoints = 90;
          report.AddLine("  <font color=red>Subject line indicates attempted security exploit.</font>",
                         1, kBoth, true);
        }
        if (hasType) {
          report.ReplaceAll("<!SenderMimeType>",
                            "<br>  The sender of this attachment considered it to be:\"" +
                                HtmlSafe(declared) + "\" (MIME type).");
          const auto byType = FTable != nullptr ? FTable->FindByContentType(declared) : nullptr;
          if (byType != nullptr) {
            part.FileRiskLevel = byType->Risk;
            part.DangerPoints = std::max(byType->Risk * 20 + 40, part.DangerPoints);
            report.AddLine("  The file extension for this MIME type is " + HtmlSafe(byType->Extension),
                           5, kBoth, true);
          } else {
            report.AddLine("  There is no file extention mapped to this file type.", 5, kBoth, true);
            part.DangerPoints = std::max(20, part.DangerPoints);
          }
        } else {
          report.AddLine("  There is no file type information at all supplied for this file.", 5,
                         kBoth, true);
          part.DangerPoints = 50;
        }
      }
    }
    report.AddLine("Total danger level associated with this attachment is " +
                       std::to_string(part.DangerPoints) + ".",
                   11, kHtml, true);
    part.DangerPoints = std::max(0, std::min(part.DangerPoints, 100));
    const int d = part.DangerPoints;
    const std::string level =
        "  The danger level associated with this attachment is " + std::to_string(d) + "%.<br>";
    std::string wrapped;
    if (d == 0)
      wrapped = "<font color=green>" + level + "</font>";
    else if (d <= 11)
      wrapped = "<font color=orange>" + level + "</font>";
    else if (d < 20)
      wrapped = "<font color=orange><b>" + level + "</b></font>";
    else
      wrapped = "<font color=red><b>" + level + "</b></font>";
    report.ReplaceAll("<!AttatchmentWarningLevel>", wrapped);
    if ((header.IsInline() || header.IsInlineAttachment()) && part.FileRiskLevel > 1) {
      report.ReplaceAll("<!InLineWarning>",
                        "<br>  <font color=red><b>Warning:</b></font> Unsafe file asked to be "
                        "displayed inline, as opposed to as an attachment.");
      part.DangerPoints += 50;
      report.ReplaceAll("<!InLineWarningPoints>",
                        "<br>  50 danger points added to attachment due to unsafe inline request.");
    }
    const std::string shownName = HtmlSafe(name);
    FMsg.AttachmentInfo().AddLine(std::to_string(part.DangerPoints) +
                                      " danger points added to message due to attachment " + shownName,
                                  11, kHtml, true);
    // The box escapes its title itself.
    const std::string title =
        FCount < 2 ? "Information about attachment \"" + name + "\":"
                   : "Information about attachment number " + std::to_string(FIndex) + " of " +
                         std::to_string(FCount) + " \"" + name + "\":";
    report.WrapInBox(title);
    for (int i = 0; i < report.Count(); ++i)
      FMsg.AttachmentInfo().AddLine(report[i], report.GetLevel(i), report.GetKind(i), false);
    const int risk = part.FileRiskLevel;
    for (int r = 0; r <= 3; ++r)
      if (risk == r) FFound[r] = true;
  }

  TEmailMsg& FMsg;
  TFileExtensionList* FTable;
  std::vector<std::string> FDescribed;
  int FCount = 0;
  int FIndex = 0;
  bool FFound[12] = {};
};

}  // namespace

void CheckAttachedFiles(TEmailMsg& msg, TFileExtensionList* table) {
  try {
    TAnalysis(msg, table).Run();
  } catch (const std::exception& error) {
    Log("ProcessIncoming", "The attachment analysis raised: " + std::string(error.what()), 7, true);
  }
}

}  // namespace halvorn
