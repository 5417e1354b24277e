// The black/white, mailing-list and mailbox tests: their judgements and
// explanations, their descriptions and their sections in the rules file.
#include "classify/list_and_mailbox_tests.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "classify/simple_tests_support.h"
#include "classify/test_factory.h"
#include "foundation/files/quor_ini_file.h"
#include "lists/mailing_lists.h"
#include "message/account_test_support.h"

namespace halvorn {
namespace {

using test::ExplanationLines;
using test::Lines;
using test::MessageFromBytes;
using test::StandardTrite;

constexpr std::int32_t kOwnNumber = 800;

TEmailMsgRef Message(const std::string& header) {
  return MessageFromBytes(header + "\r\nSubject: s\r\n\r\nbody\r\n");
}

// A global mailing-list table for the object's lifetime.
class ScopedMailingLists {
 public:
  ScopedMailingLists() : FOld(GlobalMailingListList()) { SetGlobalMailingListList(FTable); }
  ~ScopedMailingLists() { SetGlobalMailingListList(FOld); }
  TMailingListList* operator->() const { return FTable.get(); }

 private:
  std::shared_ptr<TMailingListList> FOld;
  std::shared_ptr<TMailingListList> FTable = std::make_shared<TMailingListList>();
};

// The section the test writes, as text.
template <class T>
std::string SectionText(T& test) {
  TQuorIniFile ini("", true);
  test.SaveToIni(ini);
  return ini.SaveToStream();
}

// A test of the class loaded from the section text; the text it writes
// again.
template <class T>
std::string Reloaded(const std::string& text, const std::string& name) {
  TQuorIniFile ini("", true);
  ini.LoadFromStream(text);
  T test;
  test.SetName(name);
  test.LoadFromIni(ini);
  return SectionText(test);
}

TEST(BlackWhiteTest, PassesTheKindOfMessageItLooksFor) {
  struct Row {
    bool wanted;
    std::string verdict;  // the side record's "UserWanted"
    bool result;
    std::string line;
  } rows[] = {
      {true, "y", true, "The email has been whitelisted"},
      {true, "Y", true, "The email has been whitelisted"},
      {true, "n", false, "The email has been blacklisted"},
      {true, "", false, "The email has not been whitelisted or blacklisted"},
      {false, "n", true, "The email has been blacklisted"},
      {false, "y", false, "The email has been whitelisted"},
      {false, "x", false, "The email has not been whitelisted or blacklisted"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.wanted) + " " + row.verdict);
    TBlackWhiteTest test;
    test.SetName("BW");
    test.SetStandardTestNum(kOwnNumber);
    test.SetUserWanted(row.wanted);
    const TEmailMsgRef msg = Message("From: a@example.org");
    msg->SetInfoValue(TEmailInfoKey::UserWanted, row.verdict);
    EXPECT_EQ(test.Evaluate(*msg, nullptr), row.result);
    EXPECT_EQ(ExplanationLines(test),
              (Lines{std::string("9 <br>email ") + (row.result ? "passed" : "failed") +
                         " Black/White List Test: \"BW\".",
                     "9 <br>" + row.line}));
    EXPECT_EQ(StandardTrite(*msg, kOwnNumber), TriteFromBool(row.result));
  }
  TBlackWhiteTest test;
  EXPECT_EQ(test.Describe(), "the email has been whitelisted (flagged as definitely wanted)");
  test.SetUserWanted(false);
  EXPECT_EQ(test.Describe(), "the email has been blacklisted (flagged as definitely not wanted)");
  // A set abort flag answers false and records nothing; a message judged
  // before answers from the cache.
  const TEmailMsgRef msg = Message("From: a@example.org");
  msg->SetInfoValue(TEmailInfoKey::UserWanted, "n");
  const std::atomic<bool> stop{true};
  EXPECT_FALSE(test.Evaluate(*msg, &stop));
  EXPECT_EQ(test.LastMsgKey(), -1);
  EXPECT_TRUE(test.Evaluate(*msg, nullptr));
  msg->SetInfoValue(TEmailInfoKey::UserWanted, "y");
  EXPECT_TRUE(test.Evaluate(*msg, nullptr));
}

TEST(MailingListTest, JudgesByTheMatchAndTheSubscription) {
  auto known = std::make_shared<TMailingList>();
  known->List_Post = "<mailto:a@x>";
  known->X_BeenThere = "a@x";
  known->List_Subscribe = "s";
  known->Mailing_List = "m";
  known->UserSuppliedName = "Known";
  known->SubjectLineSubstring = "[Known]";
  known->SetSubscribed(kTriteYes);

  struct Row {
    std::string header;
    bool listMail;
    Lines lines;     // after the headline
    TTrite subscribed;  // the judged list's state
    bool withKnown = true;
  } rows[] = {
      {"Precedence: bulk", false, {"4 <br>email had no list information attatched."}, kTriteUnknown},
      // No known list: the message's own, never subscribed yet.
      {"List-Id: Talk <talk.example.org>",
       true,
       {"5 <br>email came from mailing list \"talk.example.org\"."},
       kTriteUnknown,
       false},
      {"Precedence: bulk\r\nSubject: [Known] news",
       true,
       {"5 <br>email came from mailing list \"Known\".", "9 <br>You are subscribed to this list."},
       kTriteYes},
      // 80 less List-Post, List-Subscribe and Mailing-List.
      {"List-Post: <mailto:c@x>\r\nX-BeenThere: a@x\r\nList-Subscribe: t\r\nMailing-List: n",
       true,
       {"5 <br>email appears to have come from mailing list \"Known\" (matched 51%).",
        "5 <br>Updating Mailing list info.", "9 <br>You are subscribed to this list."},
       kTriteYes},
      // 80 less List-Post and X-BeenThere.
      {"List-Post: <mailto:b@x>\r\nX-BeenThere: b@x\r\nList-Subscribe: s\r\nMailing-List: m",
       true,
       {"5 <br>email appears to have come from mailing list similar to \"Known\" (matched 50%).",
        "5 <br>Created new mailing list entry for b@x", "9 <br>You are subscribed to this list."},
       kTriteYes},
  };
  for (const Row& row : rows) {
    for (const TTrite only : {kTriteYes, kTriteNo, kTriteUnknown}) {
      SCOPED_TRACE(row.header + " / " + TriteToChar(only));
      ScopedMailingLists lists;
      if (row.withKnown) lists->Add(known);
      TMailingListTest test;
      test.SetName("ML");
      test.SetSubscribedOnly(only);
      const TEmailMsgRef msg = MessageFromBytes(row.header + "\r\n\r\nbody\r\n");
      const bool expected =
          row.listMail && (only == kTriteUnknown || only == row.subscribed);
      EXPECT_EQ(test.Evaluate(*msg, nullptr), expected);
      Lines lines = row.lines;
      lines.insert(lines.begin(), std::string("9 <br>email ") + (expected ? "passed" : "failed") +
                                      " Mailing List Test: \"ML\".");
      EXPECT_EQ(ExplanationLines(test), lines);
      EXPECT_EQ(lists->Count(), row.withKnown ? 1 : 0);  // the test adds no list
      // One bulk opinion per mailing-list message, whatever the answer.
      TCriticalSectionGuard guard(msg->MessageLock());
      ASSERT_EQ(msg->Probabilities().Count(), row.listMail ? 1 : 0);
      if (row.listMail) {
        EXPECT_EQ(msg->Probabilities().Items(0).Name, "TMailingListTest ML");
        EXPECT_EQ(msg->Probabilities().Items(0).Percentage(Mc_Bulk), 100);
      }
    }
  }
  EXPECT_EQ(known->MsgCount, 0);  // the test merges nothing

  ScopedMailingLists lists;
  lists->Add(known);
  TMailingListTest test;
  EXPECT_EQ(test.Stats().Category(Mc_Bulk).TruePositives, 1u);
  EXPECT_EQ(test.Describe(), "the email claims to come from a mailing list.");
  test.SetSubscribedOnly(kTriteYes);
  EXPECT_EQ(test.Describe(),
            "the email comes from a mailing list and that mailing list has been whitelisted");
  test.SetSubscribedOnly(kTriteNo);
  EXPECT_EQ(test.Describe(),
            "the email comes from a mailing list and that mailing list has been blacklisted");
  test.SetUniqueListId(static_cast<std::int32_t>(known->UniqueId));
  EXPECT_EQ(test.Describe(), "the email was sent from the list \"Known\"");
}

class MailBoxTestTest : public ::testing::Test {
 protected:
  MailBoxTestTest() {
    const TLocalAccountRef local = GlobalLocalAccounts().Add("L1");
    FBob = local->RemoteAccounts->Add("BOB1");
    FBob->SetEmailAddress("bob@example.org");
    FCarol = local->RemoteAccounts->Add("CAROL1");
    FCarol->SetEmailAddress("carol@example.org");
  }
  test::GlobalAccountsScope FScope;
  TRemoteAccountRef FBob;
  TRemoteAccountRef FCarol;
};

TEST_F(MailBoxTestTest, PassesMailOfTheSelectedMailboxesAndForgetsGoneOnes) {
  TMailBoxTest test;
  test.SetName("MB");
  test.SetStandardTestNum(kOwnNumber);
  TStringList ids;
  ids.SetCommaText("bob1,GONE,CAROL1");
  test.SetUniqueIds(ids);
  struct Row {
    std::string account;
    bool result;
    std::string line;
  } rows[] = {
      {"BOB1", true, "5 <br>email came from mailbox \"bob@example.org\"."},
      {"CAROL1", true, "5 <br>email came from mailbox \"carol@example.org\"."},
      {"GONE", true, "5 <br>email came from mailbox found in list."},
      {"OTHER", false, "5 <br>email didn't come from mailbox any found in list."},
      {"", false, "5 <br>email didn't come from mailbox any found in list."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.account);
    const TEmailMsgRef msg = Message("From: a@example.org");
    msg->SetInfoValue(TEmailInfoKey::RemoteAccountId, row.account);
    EXPECT_EQ(test.Evaluate(*msg, nullptr), row.result);
    EXPECT_EQ(ExplanationLines(test),
              (Lines{std::string("9 <br>email ") + (row.result ? "passed" : "failed") +
                         " Mailbox Test: \"MB\".",
                     row.line}));
    // Nothing is recorded under the test's number.
    EXPECT_EQ(StandardTrite(*msg, kOwnNumber), kTriteUnknown);
  }
  EXPECT_EQ(test.UniqueIds().CommaText(), "bob1,GONE,CAROL1");  // judging never prunes
  // "bob1" names no account (ids are exact there): the description and
  // validation drop it with GONE.
  EXPECT_EQ(test.Describe(), "email came from the mailbox: carol@example.org. ");
  EXPECT_EQ(test.UniqueIds().CommaText(), "CAROL1");
  ids.SetCommaText("BOB1,CAROL1");
  test.SetUniqueIds(ids);
  EXPECT_EQ(test.Describe(),
            "email came from one of the following mailboxes: bob@example.org, "
            "carol@example.org. ");
  GlobalLocalAccounts().Clear();
  EXPECT_EQ(test.Validate(), "no mailboxes were selected.");
  EXPECT_EQ(test.Describe(),
            "This Test IS INCOMPLETE/INVALID because no mailboxes were selected..");
}

TEST(ListAndMailboxTests, SectionsRoundTripAndMissingOrMalformedValuesKeepTheCurrentOnes) {
  TBlackWhiteTest blackWhite;
  blackWhite.SetName("BW");
  blackWhite.SetUserWanted(false);
  const std::string bw = SectionText(blackWhite);
  EXPECT_NE(bw.find("\r\nUserWanted=0\r\n"), std::string::npos);
  EXPECT_EQ(Reloaded<TBlackWhiteTest>(bw, "BW"), bw);

  TMailingListTest mailingList;
  mailingList.SetName("ML");
  mailingList.SetSubscribedOnly(kTriteNo);
  mailingList.SetUniqueListId(12345);
  const std::string ml = SectionText(mailingList);
  EXPECT_NE(ml.find("\r\nSubscribedOnly=n\r\nUniqueListId=12345\r\n"), std::string::npos);
  EXPECT_EQ(Reloaded<TMailingListTest>(ml, "ML"), ml);

  TMailBoxTest mailBox;
  mailBox.SetName("MB");
  TStringList ids;
  ids.SetCommaText("A1,\"with blank\"");
  mailBox.SetUniqueIds(ids);
  const std::string mb = SectionText(mailBox);
  EXPECT_NE(mb.find("\r\nUniqueIds=A1,\"with blank\"\r\n"), std::string::npos);
  EXPECT_EQ(Reloaded<TMailBoxTest>(mb, "MB"), mb);

  // Damaged values: the defaults stay.
  const std::string damaged =
      "[Test-X]\r\nClassName=TMailingListTest\r\nUserWanted=yes\r\nSubscribedOnly=maybe\r\n"
      "UniqueListId=12x\r\n";
  TQuorIniFile ini("", true);
  ini.LoadFromStream(damaged);
  TBlackWhiteTest bwDamaged;
  bwDamaged.SetName("X");
  bwDamaged.LoadFromIni(ini);
  EXPECT_TRUE(bwDamaged.UserWanted());
  TMailingListTest mlDamaged;
  mlDamaged.SetName("X");
  mlDamaged.SetUniqueListId(7);
  mlDamaged.SetSubscribedOnly(kTriteNo);
  mlDamaged.LoadFromIni(ini);
  EXPECT_EQ(mlDamaged.SubscribedOnly(), kTriteNo);
  EXPECT_EQ(mlDamaged.UniqueListId(), 7);
  TMailBoxTest mbMissing;
  mbMissing.SetName("X");
  mbMissing.SetUniqueIds(ids);
  mbMissing.LoadFromIni(ini);
  EXPECT_EQ(mbMissing.UniqueIds().Count(), 0);

  for (const char* name : {"TBlackWhiteTest", "TMailingListTest", "TMailBoxTest"}) {
    SCOPED_TRACE(name);
    const auto made = CreateTestFromClassName(name);
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(made->ClassName(), name);
  }
}

}  // namespace
}  // namespace halvorn
