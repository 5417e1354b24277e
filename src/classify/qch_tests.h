// Two tests that judge a message by the central service's answer alone: the
// match records the incoming processing kept on the message
// (TEmailMsg::SearchRecs, best overlap first), each the service's record of
// a stored message or attachment that resembles this one. Neither asks the
// service again.
//
// TQCHCategoryTest ("Quorvantis Category Check") passes when the message was
// put into the category asked for: by the service's staff, by its users'
// votes, or by either; a virus test also passes on an attachment the users
// or the staff called a virus. It records the staff category of the first
// record that matches well enough in the standard tests 682 to 689 (test
// 681 + c is yes for staff category c).
//
// TQCHUniquenessTest ("Quorvantis Uniqueness Check") passes when the message
// has been seen often enough, by its repetition factor or by the sightings of
// the records that match well enough; it records the sightings of the strong
// matches (overlap 0.9 or more) in the standard tests 691 to 705 (test
// 691 + k is yes when they reach 2^k).
//
// A record matches well enough when its overlap (QchMatchOverlap) is at least
// MinMatch / 100. Records come from the network: counts may be negative or
// huge, so sums are 64-bit and nothing wraps.
//
// Both follow the evaluation protocol with all closing steps, also when
// judging raises (then false, and the error goes on): the headline on top,
// every line at level 9, the log line. Threads: the settings live under the
// test's lock (the main thread edits while the processing thread judges);
// Evaluate runs on the processing thread.
#pragma once

#include <cstdint>
#include <string>

#include "classify/test_base.h"
#include "message/msg_category.h"
#include "message/msg_search_rec.h"

namespace halvorn {

// Who must have put the message into the category.
inline constexpr std::uint8_t kCategorizedByStaff = 0;
inline constexpr std::uint8_t kCategorizedByUsers = 1;
inline constexpr std::uint8_t kCategorizedByEither = 2;

// The line of both tests for a message without match records.
inline constexpr const char* kNoQchInformation =
    "No information on this email was returned by the Quorvantis server.";

// What both tests share: the records copied, the closing steps.
class TQchAnswerTest : public TTest {
 protected:
  // The message's match records, copied once under its lock.
  static TMsgSearchRecArray CopySearchRecs(TEmailMsg& msg);
  // The closing steps: the answer at StandardTestNum, the cache, the
  // headline "email passed <check> \"<Name>\".<br>" (or "failed") on top of
  // the lines, the log line "Msg <subject> passed <check>", every line at
  // level 9, the lines published.
  void CloseAnswer(TEmailMsg& msg, bool result, TSimpleHtml& lines, const std::string& check);
};

class TQCHCategoryTest : public TQchAnswerTest {
 public:
  static constexpr const char* kClassName = "TQCHCategoryTest";

  struct TSettings {
    std::uint8_t MsgCategory = Mc_Virus;  // the category asked for, 0 to 9
    std::uint8_t CategorizedBy = kCategorizedByEither;  // 0 staff, 1 users, 2 either
    // Above 0: the users' overlap-weighted votes must reach it; 0 or below:
    // their plain votes are counted against MinVotes.
    std::int32_t MinWeight = -100;
    std::uint8_t MinMatch = 50;  // percent
    std::uint8_t MinVotes = 1;
  };

  TSettings Settings() const;
  // Taken as given (the editor keeps the ranges).
  void SetSettings(const TSettings& settings);

  std::string ClassName() const override { return kClassName; }
  std::string GetTypeName() override { return "Quorvantis Category Check"; }
  // "MsgCategory", "CategorizedBy", "MinWeight", "MinMatch", "MinVotes" as
  // integers after the base keys.
  void SaveToIni(TQuorIniFile& ini) override;
  // The five keys, the current values their defaults; a category outside 0
  // to 9 becomes 7, CategorizedBy outside 0 to 2 becomes 2, MinMatch and
  // MinVotes are held to 0 to 255.
  void LoadFromIni(TQuorIniFile& ini) override;
  void PhraseListRenamed(const std::string& newName, const std::string& oldName) override;
  // "the Test has no name" when the name is empty, else empty.
  std::string Validate() override;
  std::string Describe() override;
  std::string GetNote() override { return {}; }
  bool Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) override;

 private:
  TSettings FSettings;
};

class TQCHUniquenessTest : public TQchAnswerTest {
 public:
  static constexpr const char* kClassName = "TQCHUniquenessTest";

  struct TSettings {
    // Above 0: the repetition factor must reach it; 0 or below: the
    // sightings of the records that match well enough are counted against
    // MinVotes.
    std::int32_t MinWeight = -100;
    std::uint8_t MinMatch = 50;  // percent
    std::uint8_t MinVotes = 1;
  };

  // What the last evaluation counted (the counted pair only when it counted
  // sightings).
  struct TCounts {
    std::int64_t CountedMatches = 0;
    std::int64_t CountedSightings = 0;
    std::int64_t StrongMatches = 0;
    std::int64_t StrongSightings = 0;
    double RepetitionFactor = 0;
  };

  TSettings Settings() const;
  void SetSettings(const TSettings& settings);
  TCounts Counts() const;

  std::string ClassName() const override { return kClassName; }
  std::string GetTypeName() override { return "Quorvantis Uniqueness Check"; }
  // "MinWeight", "MinMatch", "MinVotes" as integers after the base keys.
  void SaveToIni(TQuorIniFile& ini) override;
  // The three keys, the current values their defaults; MinMatch and MinVotes
  // held to 0 to 255.
  void LoadFromIni(TQuorIniFile& ini) override;
  void PhraseListRenamed(const std::string& newName, const std::string& oldName) override;
  std::string Validate() override;
  std::string Describe() override;
  std::string GetNote() override { return {}; }
  bool Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) override;

 private:
  TSettings FSettings;
  TCounts FCounts;
};

}  // namespace halvorn
