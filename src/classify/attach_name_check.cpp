#include "classify/attach_name_check.h"

#include <utility>
#include <vector>

#include "classify/value_tests.h"
#include "foundation/files/quor_ini_file.h"
#include "foundation/regex/phrase_wildcards.h"
#include "lists/file_extensions.h"
#include "lists/phrases_list.h"
#include "message/email_msg.h"
#include "message/email_msg_part.h"

namespace halvorn {

namespace {

constexpr int kHeadlineLevel = 10;
constexpr int kLastLevel = -1;
constexpr const char* kCrLf = "\r\n";

struct TSwitchText {
  const char* Key;
  const char* Sentence;  // its short form: " or " and the sentence in lower case
};

// In TSwitch order.
constexpr TSwitchText kSwitches[TAttachNameCheck::kSwitchCount] = {
    {"MultipleFileNames", "Attachment has multiple file names"},
    {"NoFileName", "Attachment has no file name"},
    {"MultipleFileExt", "Attachment has multiple file extensions"},
    {"MultipleSpacesInFileName", "Attachment has multiple spaces in it's file name"},
    {"BenignFileExtDangerousFileExt",
     "Attachment has a benign file extension hiding a dangerous one"},
    {"QuorFlaggedAsVirus", "Attachment has been flagged as a virus by Quorvantis"},
    {"DifExtOnDifNames", "Attachment has more than one name with differing file extensions"},
    {"IsInline", "Attachment will be activated as soon as the message is viewed"},
    {"MimeRiskLowerThanExtRisk",
     "Attachment has a MIME risk level lower than it's file extension would indicate"},
    {"InlineAndVeryHigh",
     "Attachment will be activated as soon as the message is viewed and is very dangerous"},
    {"MultipleSpacesAndVeryHigh",
     "Attachment has multiple spaces in it's file name and the risk level of the file type is "
     "very high"},
    {"MultipleSpacesAndHigh",
     "Attachment has multiple spaces in it's file name and the risk level of the file type is "
     "high"},
    {"MultipleSpacesAndModerate",
     "Attachment has multiple spaces in it's file name and the risk level of the file type is "
     "moderate"},
    {"InlineAndHigh",
     "Attachment will be activated as soon as the message is viewed and is dangerous"},
    {"InlineAndModerate",
     "Attachment will be activated as soon as the message is viewed and is moderately risky"},
    {"CLSIDFileExtension", "Attachment type is identified by class id rather than file extension"},
};

std::string Quoted(const std::string& text) {
  return "\"" + text + "\"";
}

// What Evaluate needs of one attachment, copied under the message's lock.
struct TAttachmentFacts {
  std::string Name;  // GetAttachmentName
  bool HasType = false, HasContentId = false, HasDisposition = false;
  std::string TypeName, ContentId, DispositionName;
  bool Inline = false;  // an inline attachment
  bool AttachedMessage = false;
  bool MultipleFileNames = false, NoFileName = false, MultipleExtensions = false,
       ConsecutiveSpaces = false, HiddenExtension = false, QchVirus = false,
       DifferingExtensions = false, SafeMimeUnsafeType = false, ClassId = false;
  std::int32_t Risk = -1, Danger = 0, UserVotes = 0;
};

// The top-level attachments and inline attachments of the message.
std::vector<TAttachmentFacts> AttachmentFacts(TEmailMsg& msg) {
  std::vector<TAttachmentFacts> facts;
  TCriticalSectionGuard guard(msg.MessageLock());
  TEmailMsgPartCollection& parts = msg.GetParts();
  for (int i = 0; i < parts.Count(); ++i) {
    TEmailMsgPart* part = parts.Items(i);
    TEmailHeader* header = part != nullptr ? part->Header() : nullptr;
    if (header == nullptr) continue;
    const bool isInline = header->IsInlineAttachment();
    if (!header->IsAttachment() && !isInline) continue;
    TAttachmentFacts f;
    header->GetAttachmentName(f.Name);
    f.HasType = header->GetAttachmentNameFromType(f.TypeName);
    f.HasContentId = header->GetAttachmentNameFromContentId(f.ContentId);
    f.HasDisposition = header->GetAttachmentNameFromDisposition(f.DispositionName);
    f.Inline = isInline;
    f.AttachedMessage = header->IsRfc822Attachment();
    f.MultipleFileNames = part->MultipleFileNames;
    f.NoFileName = part->NoFileName;
    f.MultipleExtensions = part->MultipleExtensions;
    f.ConsecutiveSpaces = part->ConsecutiveSpaces;
    f.HiddenExtension = part->HiddenExtension;
    f.QchVirus = part->QchVirus;
    f.DifferingExtensions = part->DifferingExtensions;
    f.SafeMimeUnsafeType = part->SafeMimeUnsafeType;
    f.ClassId = !part->ClassIdFileType.empty();
    f.Risk = part->FileRiskLevel;
    f.Danger = part->DangerPoints;
    f.UserVotes = part->AttachmentValue;
    facts.push_back(std::move(f));
  }
  return facts;
}

void AddLine(TSimpleHtml& lines, const std::string& text) {
  lines.AddLine(text, kLastLevel, kHtmlKindAll, true);
}

}  // namespace

TAttachNameCheck::TAttachNameCheck() {
  FSettings.Switches.fill(true);
}

TAttachNameCheck::TSettings TAttachNameCheck::Settings() const {
  TSettings settings;
  {
    TCriticalSectionGuard guard(TestLock());
    settings = FSettings;
  }
  settings.Name = Name();
  return settings;
}

void TAttachNameCheck::SetAttachmentName(const std::string& name) {
  TCriticalSectionGuard guard(TestLock());
  FSettings.AttachmentName = name;
}

void TAttachNameCheck::SetWarningLevel(std::int32_t level) {
  TCriticalSectionGuard guard(TestLock());
  FSettings.WarningLevel = level;
}

void TAttachNameCheck::SetDangerLevel(std::int32_t level) {
  TCriticalSectionGuard guard(TestLock());
  FSettings.DangerLevel = level;
}

void TAttachNameCheck::SetUserFlaggedAsVirus(std::int32_t count) {
  TCriticalSectionGuard guard(TestLock());
  FSettings.UserFlaggedAsVirus = count;
}

void TAttachNameCheck::SetSwitch(TSwitch which, bool on) {
  if (which < 0 || which >= kSwitchCount) return;
  TCriticalSectionGuard guard(TestLock());
  FSettings.Switches[static_cast<std::size_t>(which)] = on;
}

const char* TAttachNameCheck::SwitchKey(TSwitch which) {
  return which >= 0 && which < kSwitchCount ? kSwitches[which].Key : "";
}

void TAttachNameCheck::SaveToIni(TQuorIniFile& ini) {
  TTest::SaveToIni(ini);
  const TSettings s = Settings();
  const std::string section = SectionName();
  ini.WriteString(section, "AttachmentName", s.AttachmentName);
  ini.WriteInteger(section, "WarningLevel", s.WarningLevel);
  ini.WriteInteger(section, "DangerLevel", s.DangerLevel);
  ini.WriteInteger(section, "UserFlaggedAsVirus", s.UserFlaggedAsVirus);
  for (int i = 0; i < kSwitchCount; ++i)
    ini.WriteBool(section, kSwitches[i].Key, s.Switches[static_cast<std::size_t>(i)]);
}

void TAttachNameCheck::LoadFromIni(TQuorIniFile& ini) {
  TTest::LoadFromIni(ini);
  const std::string section = SectionName();
  TSettings s = Settings();
  s.AttachmentName = ini.ReadString(section, "AttachmentName", "");
  ini.TryReadInteger(section, "WarningLevel", s.WarningLevel);
  ini.TryReadInteger(section, "DangerLevel", s.DangerLevel);
  ini.TryReadInteger(section, "UserFlaggedAsVirus", s.UserFlaggedAsVirus);
  for (int i = 0; i < kSwitchCount; ++i) {
    bool on = false;
    if (ini.TryReadBool(section, kSwitches[i].Key, on)) s.Switches[static_cast<std::size_t>(i)] = on;
  }
  s.Name.clear();
  TCriticalSectionGuard guard(TestLock());
  FSettings = std::move(s);
}

void TAttachNameCheck::PhraseListRenamed(const std::string& newName, const std::string& oldName) {
  TCriticalSectionGuard guard(TestLock());
  if (FSettings.AttachmentName == oldName) FSettings.AttachmentName = newName;
}

std::string TAttachNameCheck::Validate() {
  return Name().empty() ? std::string(kTestHasNoName) : std::string();
}

std::string TAttachNameCheck::GetNote() {
  return kWildcardNote;
}

namespace {

// The phrase list the name names; null when it names none.
std::shared_ptr<TPhrases> NamedList(const std::string& name) {
  if (name.empty()) return nullptr;
  const std::shared_ptr<TPhrasesList> lists = GlobalPhrasesList();
  return lists ? lists->FindList(name) : nullptr;
}

}  // namespace

std::string TAttachNameCheck::Describe() {
  const TSettings s = Settings();
  std::string text;
  if (!s.AttachmentName.empty()) {
    text = NamedList(s.AttachmentName)
               ? "Attachment name matchs any text in the list " + Quoted(s.AttachmentName)
               : "Attachment name matchs the text " + Quoted(s.AttachmentName);
  }
  for (int i = 0; i < kSwitchCount; ++i) {
    if (!s.Switches[static_cast<std::size_t>(i)]) continue;
    std::string sentence = kSwitches[i].Sentence;
    if (text.empty()) {
      text = sentence;
    } else {
      sentence[0] = 'a';
      text += " or " + sentence;
    }
  }
  // Each threshold: its sentence, or a line of its own joined with "or".
  auto add = [&text](const std::string& first, const std::string& rest) {
    text += text.empty() ? first : kCrLf + rest;
  };
  if (s.WarningLevel >= 0) {
    const std::string risk = FileRiskLevelName(s.WarningLevel);
    add("The risk level for the attachment file type is greater than or equal to " + risk,
        " or the risk level for the attachment file type is greater than or equal to " + risk);
  }
  if (s.DangerLevel > 0) {
    const std::string level = std::to_string(s.DangerLevel);
    add("The overall danger level for the attachment file type is greater than or equal to " +
            level,
        " or the overall danger level for the attachment file type is greater than or equal to " +
            level);
  }
  if (s.UserFlaggedAsVirus > 0) {
    const std::string count = std::to_string(s.UserFlaggedAsVirus);
    add("More than " + count + " users have categorized this attachment as a virus.",
        " or more than " + count + " users have categorized this attachment as a virus.");
  }
  return DescriptionWithReason(Validate(), text);
}

namespace {

bool MatchNames(const std::vector<TAttachmentFacts>& facts, const std::string& search,
                const std::string& listName, TSimpleHtml& lines) {
  if (search.empty()) return false;
  const char* const headers[] = {"Content-Disposition", "Content-Type", "Content-ID"};
  for (const TAttachmentFacts& f : facts) {
    const std::pair<bool, const std::string*> names[] = {
        {f.HasDisposition, &f.DispositionName},
        {f.HasType, &f.TypeName},
        {f.HasContentId, &f.ContentId},
    };
    for (int n = 0; n < 3; ++n) {
      const std::string& name = *names[n].second;
      if (!names[n].first || name.empty() || !WildcardFind(name, search, false)) continue;
      AddLine(lines, "The search name " + Quoted(search) +
                         (listName.empty() ? "" : " from the list " + Quoted(listName)) +
                         " matched the name " + Quoted(name) + " specified in the " + headers[n] +
                         " tag of the attachment.");
      return true;
    }
  }
  return false;
}

}  // namespace

bool TAttachNameCheck::MatchAttachmentNames(TEmailMsg& msg, const std::string& search,
                                            const std::string& listName, TSimpleHtml& lines) {
  return MatchNames(AttachmentFacts(msg), search, listName, lines);
}

bool TAttachNameCheck::Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) {
  bool answer = false;
  if (!BeginEvaluate(msg, abort, answer, ".")) return answer;
  const TSettings s = Settings();
  auto on = [&s](TSwitch which) { return s.Switches[static_cast<std::size_t>(which)]; };
  TSimpleHtml lines;
  auto judge = [&] {
    bool result = false;
    const std::vector<TAttachmentFacts> facts = AttachmentFacts(msg);
    // The name search. A list is purged once and its entries walked as
    // they stood then: purging inside the walk moved entries under it.
    if (const std::shared_ptr<TPhrases> list = NamedList(s.AttachmentName)) {
      list->PurgeExpired();
      const TStringList entries = list->EntryTexts();
      for (int i = 0; i < entries.Count() && !result; ++i)
        result = MatchNames(facts, entries[i], s.AttachmentName, lines);
    } else {
      result = MatchNames(facts, s.AttachmentName, {}, lines);
    }
    for (const TAttachmentFacts& f : facts) {
      if (abort != nullptr && abort->load()) break;
      const std::string n = Quoted(f.Name);
      auto found = [&](const std::string& line) {
        AddLine(lines, line);
        result = true;
      };
      if (on(swMultipleFileNames) && f.MultipleFileNames) {
        std::string line = "Multiple file names found for attachment " + n;
        for (const auto& [present, other] :
             {std::pair{f.HasType, &f.TypeName}, std::pair{f.HasContentId, &f.ContentId},
              std::pair{f.HasDisposition, &f.DispositionName}})
          if (present && *other != f.Name) line += "/" + Quoted(*other);
        found(line + ".");
      }
      if (on(swNoFileName) && f.NoFileName && !f.AttachedMessage)
        found("No file name found for attachment.");
      if (on(swMultipleFileExt) && f.MultipleExtensions)
        found("Multiple file extensions found in name of attachment " + n + ".");
      if (on(swMultipleSpacesInFileName) && f.ConsecutiveSpaces)
        found("Multiple spaces found in name of attachment " + n + ".");
      if (on(swBenignFileExtDangerousFileExt) && f.HiddenExtension)
        found("Benign file extension found hiding dangerous file extension in attachment " + n +
              ".");
      if (on(swQuorFlaggedAsVirus) && f.QchVirus)
        found("Quorvantis has categorized attachment " + n + " as a virus.");
      if (on(swDifExtOnDifNames) && f.DifferingExtensions)
        found("More than one name was supplied for attachment " + n +
              ", and these names had different file extensions.");
      if (on(swIsInline) && f.Inline)
        found("Attachment " + n +
              ", was set to be opened when the email was viewed (i.e. Inline).");
      if (on(swMimeRiskLowerThanExtRisk) && f.SafeMimeUnsafeType)
        found("Attachment " + n + ", had a safe MIME type for an unsafe file type.");
      if (f.Inline) {
        const std::string opened = " and it was set to be opened when the email was viewed.";
        if (on(swInlineAndVeryHigh) && f.Risk == 3)
          found("The risk level of attachment " + n + " is very high" + opened);
        else if (on(swInlineAndHigh) && f.Risk == 2)
          found("The risk level of attachment " + n + " is high" + opened);
        else if (on(swInlineAndModerate) && f.Risk == 1)
          found("The risk level of attachment " + n + " is moderate" + opened);
      }
      if (f.ConsecutiveSpaces) {
        const std::string spaces = " and it has multiple spaces in the file name.";
        if (on(swMultipleSpacesAndVeryHigh) && f.Risk == 3)
          found("The risk level of attachment " + n + " is very high" + spaces);
        else if (on(swMultipleSpacesAndHigh) && f.Risk == 2)
          found("The risk level of attachment " + n + " is high" + spaces);
        else if (on(swMultipleSpacesAndModerate) && f.Risk == 1)
          found("The risk level of attachment " + n + " is moderate" + spaces);
      }
      if (on(swCLSIDFileExtension) && f.ClassId)
        found("Attachment " + n +
              ", had a class id indicating it's file type rather than a file extension.");
      if (s.WarningLevel > 0 && f.Risk >= s.WarningLevel)
        found("Warning level of " + FileRiskLevelName(f.Risk) + " matched or exceded threshold of " +
              FileRiskLevelName(s.WarningLevel) + " for attachment " + n + ".");
      if (s.DangerLevel > 0 && f.Danger >= s.DangerLevel)
        found("Danger level of " + std::to_string(f.Danger) + " matched or exceded threshold of " +
              std::to_string(s.DangerLevel) + " for attachment " + n + ".");
      if (s.UserFlaggedAsVirus >= 1 && f.UserVotes >= s.UserFlaggedAsVirus)
        found(std::to_string(f.UserVotes) +
              " users categorized this attachment as a virus. Passes threshold of " +
              std::to_string(s.UserFlaggedAsVirus) + " for attachment " + n + ".");
    }
    return result;
  };
  auto close = [&](bool result) {
    RecordStandardTest(msg, result);
    CacheResult(msg, result);
    PutHeadlineFirst(lines,
                     std::string("email ") + (result ? "passed" : "failed") +
                         " Attachment Check " + Quoted(s.Name) + ".<br>",
                     kHeadlineLevel);
    PublishExplanation(std::move(lines));
    LogEvaluation(msg, result ? "passed Attachment Check" : "failed Attachment Check");
  };
  return JudgeThenClose(judge, close);
}

}  // namespace halvorn
