// TAttachNameCheck ("Attachment Check"): passes when an attachment of the
// message looks dangerous by the measures switched on: its name matches a
// wildcard pattern or an entry of a phrase list, or the attachment scoring
// of the incoming processing found something on the part (several names or
// extensions, no name, runs of blanks, a harmless extension hiding a
// dangerous one, a class id for a type, a risky type opened inline, a risk
// or danger level at a threshold, virus votes). It computes no risk itself:
// it reads the findings the scoring left on each part (email_msg_part.h).
//
// Only the top-level parts that are attachments or inline attachments are
// looked at. An error while judging still runs the closing steps and then
// reaches the caller.
//
// Threads: the settings live under the test's lock; Evaluate runs on the
// processing thread, the rest on any thread. The part findings are copied
// under the message's lock and judged after it is let go, so a phrase list
// is never read while the message is locked.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "classify/test_base.h"

namespace halvorn {

class TAttachNameCheck : public TTest {
 public:
  static constexpr const char* kClassName = "TAttachNameCheck";

  // The switches, in the order of their keys in the rules file (and of
  // the description).
  enum TSwitch : int {
    swMultipleFileNames,
    swNoFileName,
    swMultipleFileExt,
    swMultipleSpacesInFileName,
    swBenignFileExtDangerousFileExt,
    swQuorFlaggedAsVirus,
    swDifExtOnDifNames,
    swIsInline,
    swMimeRiskLowerThanExtRisk,
    swInlineAndVeryHigh,
    swMultipleSpacesAndVeryHigh,
    swMultipleSpacesAndHigh,
    swMultipleSpacesAndModerate,
    swInlineAndHigh,
    swInlineAndModerate,
    swCLSIDFileExtension,
    kSwitchCount
  };

  struct TSettings {
    std::string Name;
    // A wildcard pattern, or the name of a phrase list of patterns.
    std::string AttachmentName;
    std::int32_t WarningLevel = 3;  // a file risk level; 0 never judges
    std::int32_t DangerLevel = 50;
    std::int32_t UserFlaggedAsVirus = 2;
    std::array<bool, kSwitchCount> Switches{};
  };

  // Every switch on, the thresholds very high, 50 and 2.
  TAttachNameCheck();

  TSettings Settings() const;
  void SetAttachmentName(const std::string& name);
  void SetWarningLevel(std::int32_t level);
  void SetDangerLevel(std::int32_t level);
  void SetUserFlaggedAsVirus(std::int32_t count);
  void SetSwitch(TSwitch which, bool on);

  // The key of a switch in the rules file ("MultipleFileNames").
  static const char* SwitchKey(TSwitch which);

  std::string ClassName() const override { return kClassName; }
  std::string GetTypeName() override { return "Attachment Check"; }
  // After the base keys: "AttachmentName", "WarningLevel", "DangerLevel",
  // "UserFlaggedAsVirus", then the switches ("1" or "0") in TSwitch order.
  void SaveToIni(TQuorIniFile& ini) override;
  // The name read with an empty default; numbers and switches only when
  // present and well-formed.
  void LoadFromIni(TQuorIniFile& ini) override;
  // The name follows a list renamed from exactly the old name.
  void PhraseListRenamed(const std::string& newName, const std::string& oldName) override;
  // "the Test has no name" when the name is empty.
  std::string Validate() override;
  std::string Describe() override;
  // The wildcard note, with its leading CR LF.
  std::string GetNote() override;
  bool Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) override;

  // Whether a name of an attachment of the message matches the search text
  // (WildcardFind, ignoring case; an empty text or name never matches):
  // the disposition's file name, the type's name and the Content-ID of each
  // top-level attachment or inline attachment in turn. At the first match
  // one line naming the text, the name and its header is added to `lines`
  // (`listName`, when not empty, is the list the text came from).
  static bool MatchAttachmentNames(TEmailMsg& msg, const std::string& search,
                                   const std::string& listName, TSimpleHtml& lines);

 private:
  TSettings FSettings;
};

}  // namespace halvorn
