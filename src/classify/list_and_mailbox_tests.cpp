#include "classify/list_and_mailbox_tests.h"

#include <utility>
#include <vector>

#include "foundation/files/quor_ini_file.h"
#include "foundation/text/code_page_1252.h"
#include "lists/mailing_lists.h"
#include "message/accounts.h"
#include "message/category_probability.h"
#include "message/email_msg.h"
#include "message/msg_category.h"

namespace halvorn {

namespace {

constexpr int kHeadlineLevel = 9;
constexpr int kVerdictLevel = 9;
constexpr int kNoListLevel = 4;
constexpr int kLastLevel = -1;

// The headline every one of the three puts on top of its lines.
void CloseWithHeadline(TSimpleHtml& lines, bool result, const std::string& words,
                       const std::string& name) {
  PutHeadlineFirst(lines,
                   std::string("email ") + (result ? "passed " : "failed ") + words +
                       " Test: \"" + name + "\".",
                   kHeadlineLevel);
}

// The description, or the words of an invalid test in its place.
std::string DescriptionOr(const std::string& reason, const std::string& text) {
  return reason.empty() ? text : IncompleteTestText(reason);
}

void AddLine(TSimpleHtml& lines, const std::string& text, int level) {
  lines.AddLine(text, level, kHtmlKindAll, true);
}

}  // namespace

// ---------------------------------------------------------------------------
// TBlackWhiteTest

bool TBlackWhiteTest::UserWanted() const {
  TCriticalSectionGuard guard(TestLock());
  return FUserWanted;
}

void TBlackWhiteTest::SetUserWanted(bool wanted) {
  TCriticalSectionGuard guard(TestLock());
  FUserWanted = wanted;
}

void TBlackWhiteTest::SaveToIni(TQuorIniFile& ini) {
  TTest::SaveToIni(ini);
  ini.WriteBool(SectionName(), "UserWanted", UserWanted());
}

void TBlackWhiteTest::LoadFromIni(TQuorIniFile& ini) {
  TTest::LoadFromIni(ini);
  bool wanted = false;
  if (ini.TryReadBool(SectionName(), "UserWanted", wanted)) SetUserWanted(wanted);
}

std::string TBlackWhiteTest::Describe() {
  return DescriptionOr(
      Validate(), UserWanted() ? "the email has been whitelisted (flagged as definitely wanted)"
                               : "the email has been blacklisted (flagged as definitely not wanted)");
}

bool TBlackWhiteTest::Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) {
  bool answer = false;
  if (!BeginEvaluateUnvalidated(msg, abort, answer)) return answer;
  const std::string name = Name();
  const bool wanted = UserWanted();
  TSimpleHtml lines;
  auto judge = [&] {
    const TTrite verdict = msg.GetUserWanted();
    AddLine(lines,
            verdict == kTriteYes  ? "The email has been whitelisted"
            : verdict == kTriteNo ? "The email has been blacklisted"
                                  : "The email has not been whitelisted or blacklisted",
            kVerdictLevel);
    return verdict == TriteFromBool(wanted);
  };
  auto close = [&](bool result) {
    RecordStandardTest(msg, result);
    CacheResult(msg, result);
    CloseWithHeadline(lines, result, "Black/White List", name);
    PublishExplanation(std::move(lines));
  };
  return JudgeThenClose(judge, close);
}

// ---------------------------------------------------------------------------
// TMailingListTest

TMailingListTest::TMailingListTest() {
  TTestStats stats;
  stats.Category(Mc_Bulk).TruePositives = 1;
  SetStatsText(stats.SaveToText());
}

TTrite TMailingListTest::SubscribedOnly() const {
  TCriticalSectionGuard guard(TestLock());
  return FSubscribedOnly;
}

void TMailingListTest::SetSubscribedOnly(TTrite value) {
  TCriticalSectionGuard guard(TestLock());
  FSubscribedOnly = value;
}

std::int32_t TMailingListTest::UniqueListId() const {
  TCriticalSectionGuard guard(TestLock());
  return FUniqueListId;
}

void TMailingListTest::SetUniqueListId(std::int32_t id) {
  TCriticalSectionGuard guard(TestLock());
  FUniqueListId = id;
}

void TMailingListTest::SaveToIni(TQuorIniFile& ini) {
  TTest::SaveToIni(ini);
  const std::string section = SectionName();
  ini.WriteTrite(section, "SubscribedOnly", SubscribedOnly());
  ini.WriteInteger(section, "UniqueListId", UniqueListId());
}

void TMailingListTest::LoadFromIni(TQuorIniFile& ini) {
  TTest::LoadFromIni(ini);
  const std::string section = SectionName();
  std::uint8_t subscribed = kTriteUnknown;
  if (ini.TryReadTrite(section, "SubscribedOnly", subscribed)) SetSubscribedOnly(subscribed);
  std::int32_t id = 0;
  if (ini.TryReadInteger(section, "UniqueListId", id)) SetUniqueListId(id);
}

std::string TMailingListTest::Describe() {
  const std::int32_t id = UniqueListId();
  std::string text;
  const std::shared_ptr<TMailingListList> table = GlobalMailingListList();
  const std::shared_ptr<TMailingList> list =
      table && id > 0 ? table->FindByUniqueId(static_cast<std::uint32_t>(id)) : nullptr;
  if (list) {
    text = "the email was sent from the list \"" + list->GetDisplayName() + "\"";
  } else {
    switch (SubscribedOnly()) {
      case kTriteYes:
        text = "the email comes from a mailing list and that mailing list has been whitelisted";
        break;
      case kTriteNo:
        text = "the email comes from a mailing list and that mailing list has been blacklisted";
        break;
      default:
        text = "the email claims to come from a mailing list.";
    }
  }
  return DescriptionOr(Validate(), text);
}

bool TMailingListTest::Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) {
  bool answer = false;
  if (!BeginEvaluateUnvalidated(msg, abort, answer)) return answer;
  const std::string name = Name();
  const TTrite wanted = SubscribedOnly();
  TSimpleHtml lines;
  auto judge = [&] {
    const std::unique_ptr<TMailingList> fingerprint = msg.GetMailingList();
    const std::shared_ptr<TMailingListList> table = GlobalMailingListList();
    const bool listMail = table ? table->LooksLikeMailingList(*fingerprint)
                                : DefaultLooksLikeMailingList(*fingerprint);
    if (!listMail) {
      AddLine(lines, "email had no list information attatched.", kNoListLevel);
      return false;
    }
    {
      TCategoryProbability bulk("TMailingListTest " + name);
      bulk.SetCategory(Mc_Bulk);
      TCriticalSectionGuard guard(msg.MessageLock());
      msg.Probabilities().Add(std::move(bulk));
    }
    const TMailingListMatch match = table ? table->FindBestMatch(*fingerprint) : TMailingListMatch();
    const TMailingList& judged = match.List ? *match.List : *fingerprint;
    const std::string score = std::to_string(match.Score);
    if (!match.List || match.Score == 100) {
      AddLine(lines, "email came from mailing list \"" + judged.GetDisplayName() + "\".",
              kLastLevel);
    } else if (match.Score > 50) {
      AddLine(lines,
              "email appears to have come from mailing list \"" + judged.GetDisplayName() +
                  "\" (matched " + score + "%).",
              kLastLevel);
      AddLine(lines, "Updating Mailing list info.", kLastLevel);
    } else {
      AddLine(lines,
              "email appears to have come from mailing list similar to \"" +
                  judged.GetDisplayName() + "\" (matched " + score + "%).",
              kLastLevel);
      AddLine(lines, "Created new mailing list entry for " + fingerprint->GetDisplayName(),
              kLastLevel);
    }
    const TTrite subscribed = judged.Subscribed();
    if (match.List) {
      AddLine(lines,
              subscribed == kTriteYes  ? "You are subscribed to this list."
              : subscribed == kTriteNo ? "You are not subscribed to this list."
                                       : "You have not specified if you are subscribed to this "
                                         "list or not.",
              kVerdictLevel);
    }
    return wanted == kTriteUnknown || subscribed == wanted;
  };
  auto close = [&](bool result) {
    RecordStandardTest(msg, result);
    CacheResult(msg, result);
    CloseWithHeadline(lines, result, "Mailing List", name);
    PublishExplanation(std::move(lines));
  };
  return JudgeThenClose(judge, close);
}

// ---------------------------------------------------------------------------
// TMailBoxTest

TStringList TMailBoxTest::UniqueIds() const {
  TCriticalSectionGuard guard(TestLock());
  return FUniqueIds;
}

void TMailBoxTest::SetUniqueIds(const TStringList& ids) {
  TCriticalSectionGuard guard(TestLock());
  FUniqueIds = ids;
}

void TMailBoxTest::SaveToIni(TQuorIniFile& ini) {
  TTest::SaveToIni(ini);
  ini.WriteString(SectionName(), "UniqueIds", UniqueIds().CommaText());
}

void TMailBoxTest::LoadFromIni(TQuorIniFile& ini) {
  TTest::LoadFromIni(ini);
  TStringList ids;
  ids.SetCommaText(ini.ReadString(SectionName(), "UniqueIds", ""));
  SetUniqueIds(ids);
}

std::string TMailBoxTest::Validate() {
  // The accounts are looked up with the test's lock let go (it is a leaf);
  // the ids found gone are then removed under it, from the last to the
  // first, whatever was added meanwhile.
  const TStringList ids = UniqueIds();
  std::vector<std::string> gone;
  for (int i = 0; i < ids.Count(); ++i)
    if (!GlobalLocalAccounts().FindRemoteAccountById(ids[i])) gone.push_back(ids[i]);
  TCriticalSectionGuard guard(TestLock());
  for (int i = FUniqueIds.Count() - 1; i >= 0; --i)
    for (const std::string& id : gone)
      if (FUniqueIds[i] == id) {
        FUniqueIds.Delete(i);
        break;
      }
  return FUniqueIds.Empty() ? "no mailboxes were selected." : "";
}

std::string TMailBoxTest::Describe() {
  const std::string reason = Validate();
  if (!reason.empty()) return DescriptionOr(reason, {});
  const TStringList ids = UniqueIds();
  std::string text = ids.Count() == 1 ? "email came from the mailbox: "
                                      : "email came from one of the following mailboxes: ";
  for (int i = 0; i < ids.Count(); ++i)
    if (const TRemoteAccountRef account = GlobalLocalAccounts().FindRemoteAccountById(ids[i]))
      text += account->GetEmailAddress() + ", ";
  // The comma of the last separator becomes the full stop.
  if (text.size() >= 2) text[text.size() - 2] = '.';
  return text;
}

bool TMailBoxTest::Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) {
  bool answer = false;
  if (!BeginEvaluateUnvalidated(msg, abort, answer)) return answer;
  const std::string name = Name();
  const TStringList ids = UniqueIds();
  TSimpleHtml lines;
  auto judge = [&] {
    const std::string id = msg.GetInfoValue(TEmailInfoKey::RemoteAccountId);
    bool result = false;
    for (int i = 0; i < ids.Count() && !result; ++i) result = SameText1252(ids[i], id);
    if (const TRemoteAccountRef account = GlobalLocalAccounts().FindRemoteAccountById(id)) {
      AddLine(lines, "email came from mailbox \"" + account->GetEmailAddress() + "\".",
              kLastLevel);
    } else {
      AddLine(lines,
              result ? "email came from mailbox found in list."
                     : "email didn't come from mailbox any found in list.",
              kLastLevel);
    }
    return result;
  };
  auto close = [&](bool result) {
    CacheResult(msg, result);
    CloseWithHeadline(lines, result, "Mailbox", name);
    PublishExplanation(std::move(lines));
  };
  return JudgeThenClose(judge, close);
}

}  // namespace halvorn
