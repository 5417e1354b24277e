// Three small tests on facts the incoming processing settles before the
// rules run.
//
// TBlackWhiteTest ("Black-White list test") passes a whitelisted message
// (UserWanted on) or a blacklisted one (off): the side record's user verdict,
// which the approved and banned senders or the user's own marking set.
//
// TMailingListTest ("Mailing List test") passes mailing-list mail, of any
// list (SubscribedOnly unknown), of lists the user subscribed to (yes) or of
// lists the user blocked (no). It judges by SubscribedOnly alone;
// UniqueListId only names a chosen list in the description. Each mailing-list
// message it judges gets a bulk category probability. It changes no list:
// merging the message's list in is the incoming processing's work.
//
// TMailBoxTest ("Mailbox test") passes a message fetched from one of the
// remote mailboxes it names by their unique ids. Validate and Describe drop
// the ids whose accounts are gone.
//
// None of the three validates while judging or writes a log record; an
// error while judging reaches the caller. Threads: the settings live under
// the test's lock (a leaf lock: accounts and lists are looked up with it
// let go); Evaluate runs on the processing thread, the rest on any thread.
#pragma once

#include <cstdint>
#include <string>

#include "classify/test_base.h"
#include "foundation/text/string_list.h"
#include "foundation/text/trite_array.h"

namespace halvorn {

class TBlackWhiteTest : public TTest {
 public:
  static constexpr const char* kClassName = "TBlackWhiteTest";

  // True: the test looks for whitelisted mail; false: for blacklisted.
  bool UserWanted() const;
  void SetUserWanted(bool wanted);

  std::string ClassName() const override { return kClassName; }
  std::string GetTypeName() override { return "Black-White list test"; }
  // "UserWanted" ("1" or "0") after the base keys; read only when well-formed.
  void SaveToIni(TQuorIniFile& ini) override;
  void LoadFromIni(TQuorIniFile& ini) override;
  std::string Validate() override { return {}; }
  std::string Describe() override;
  std::string GetNote() override { return {}; }
  bool Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) override;

 private:
  bool FUserWanted = true;
};

class TMailingListTest : public TTest {
 public:
  static constexpr const char* kClassName = "TMailingListTest";

  // Statistics start with one true positive of bulk mail.
  TMailingListTest();

  // kTriteYes: lists the user subscribed to; kTriteNo: lists the user
  // blocked; kTriteUnknown: any list.
  TTrite SubscribedOnly() const;
  void SetSubscribedOnly(TTrite value);
  // The UniqueId of a known list the user chose; 0 for none.
  std::int32_t UniqueListId() const;
  void SetUniqueListId(std::int32_t id);

  std::string ClassName() const override { return kClassName; }
  std::string GetTypeName() override { return "Mailing List test"; }
  // "SubscribedOnly" ("y", "n" or "u") and "UniqueListId" after the base
  // keys; a missing or malformed value keeps the current one.
  void SaveToIni(TQuorIniFile& ini) override;
  void LoadFromIni(TQuorIniFile& ini) override;
  std::string Validate() override { return {}; }
  std::string Describe() override;
  std::string GetNote() override { return {}; }
  bool Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) override;

 private:
  TTrite FSubscribedOnly = kTriteUnknown;
  std::int32_t FUniqueListId = 0;
};

class TMailBoxTest : public TTest {
 public:
  static constexpr const char* kClassName = "TMailBoxTest";

  // The unique ids of the selected remote mailboxes, copied.
  TStringList UniqueIds() const;
  void SetUniqueIds(const TStringList& ids);

  std::string ClassName() const override { return kClassName; }
  std::string GetTypeName() override { return "Mailbox test"; }
  // "UniqueIds", the ids' comma text, after the base keys (read as empty
  // when missing).
  void SaveToIni(TQuorIniFile& ini) override;
  void LoadFromIni(TQuorIniFile& ini) override;
  // Drops the ids whose remote account no longer exists; then "no mailboxes
  // were selected." when none is left.
  std::string Validate() override;
  std::string Describe() override;
  std::string GetNote() override { return {}; }
  bool Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) override;

 private:
  TStringList FUniqueIds;
};

}  // namespace halvorn
