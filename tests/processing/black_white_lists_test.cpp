// The black and white lists of incoming mail: verdicts, standard-test
// entries and report lines from the user's lists, the reorder of the queue,
// and through the real thread the whitelisting of a reply and of its
// recipients, with the main reason reaching the processed message.
#include "processing/black_white_lists.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "foundation/files/file_helpers.h"
#include "foundation/files/install_folders.h"
#include "foundation/text/trite_array.h"
#include "lists/phrases_list.h"
#include "message/email_info.h"
#include "message/email_msg.h"
#include "message/message_repository.h"
#include "processing_test_support.h"

namespace halvorn {
namespace {

class BlackWhiteTest : public test::ProcessingTest {
 protected:
  static std::shared_ptr<TPhrases> List(int index) {
    return GlobalPhrasesList()->GetBuiltInList(index);
  }
  TEmailMsgRef Make(const std::string& headers) {
    TEmailMsgRef msg = TEmailMsg::Create(Repository().UnProcessedIncoming());
    msg->SetText(headers + "\r\n\r\nbody text\r\n");
    return msg;
  }
  static std::string Tests(TEmailMsg& msg, const std::vector<int>& indexes) {
    std::string letters;
    msg.WithInfo([&](TEmailInfo& record) {
      for (int i : indexes) letters += TriteToChar(record.StandardTest(i));
    });
    return letters;
  }
  static std::string Extra(TEmailMsg& msg) {
    std::string text;
    for (int i = 0; i < msg.AdditionalInfo().Count(); ++i) text += msg.AdditionalInfo().Items(i).Text();
    return text;
  }
};

TEST_F(BlackWhiteTest, VerdictEntriesAndLinesFromTheLists) {
  List(bplApprovedSenders)->Add("friend@example.com");
  List(bplApprovedSenders)->Add("*@trusted.example");
  List(bplApprovedSenders)->Add("sender-only@example.com");
  List(bplBannedSenders)->Add("foe@example.com");
  List(bplBannedSubjectLines)->Add("buy now");
  List(bplSentMessageIds)->Add("<mine-1@here.example>");
  struct Row {
    std::string Headers;
    TTrite Verdict;
    std::string Entries;  // 757 758 759 760 763 765 769
    std::string General;  // the first line of GeneralInfo ("" none)
    std::string Extra;    // a piece of the extra fragment ("" none)
  };
  const Row rows[] = {
      {"From: friend@example.com\r\nSubject: hi", kTriteYes, "yuuuunn",
       "<br>Email was whitelisted because the From address \"friend@example.com\" was found in "
       "your approved senders list",
       ""},
      {"From: x@trusted.example\r\nReply-To: friend@example.com\r\nSubject: Re: buy now", kTriteYes,
       "yyuuuny",
       "<br>Email was whitelisted because the From address \"x@trusted.example\" matched the "
       "approved sender \"*@trusted.example\"",
       "Email was not blacklisted even though the subject \"buy now\" was found in your banned "
       "subject lines list"},
      // Sender without X-Sender is not looked up.
      {"From: a@example.com\r\nSender: sender-only@example.com", kTriteUnknown, "nuuuunu", "", ""},
      {"From: foe@example.com\r\nSubject: <script>", kTriteNo, "nuuuuyn", "",
       "Email was blacklisted because the From address \"foe@example.com\" was found in your "
       "banned sender list"},
      {"From: a@example.com\r\nIn-Reply-To: <mine-1@here.example>", kTriteYes, "nuuuynu",
       "<br>Email was whitelisted because it is In Reply To an email that was whitelisted.", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Headers);
    TEmailMsgRef msg = Make(row.Headers);
    TSimpleHtml main;
    CheckBlackWhiteMessage(*msg, false, nullptr, main);
    EXPECT_EQ(msg->GetUserWanted(), row.Verdict);
    const std::string entries = Tests(*msg, {757, 758, 759, 760, 763, 765, 769});
    EXPECT_EQ(entries.substr(0, 7), row.Entries.substr(0, 7));
    if (row.General.empty()) {
      EXPECT_EQ(msg->GeneralInfo().Count(), 0);
    } else {
      ASSERT_GT(msg->GeneralInfo().Count(), 0);
      EXPECT_EQ(msg->GeneralInfo()[0], row.General);
      EXPECT_EQ(main[0], row.General);
    }
    if (!row.Extra.empty()) {
      EXPECT_NE(Extra(*msg).find(row.Extra), std::string::npos) << Extra(*msg);
    }
    EXPECT_EQ(Extra(*msg).find("<script>"), std::string::npos);
  }
}

TEST_F(BlackWhiteTest, ReorderPutsWantedFirstAndUnwantedLast) {
  TEmailMsgList& queue = *Repository().UnProcessedIncoming();
  const TTrite verdicts[] = {kTriteUnknown, kTriteYes, kTriteNo, kTriteUnknown};
  std::vector<TEmailMsgRef> made;
  for (TTrite verdict : verdicts) {
    TEmailMsgRef msg = Make("Subject: " + std::to_string(made.size()));
    if (verdict != kTriteUnknown) msg->SetUserWanted(verdict, true);
    made.push_back(msg);
  }
  ReorderQueue(queue);
  ASSERT_EQ(queue.Count(), 4);
  EXPECT_EQ(queue.Items(0), made[1]);
  EXPECT_EQ(queue.Items(1), made[0]);
  EXPECT_EQ(queue.Items(2), made[3]);
  EXPECT_EQ(queue.Items(3), made[2]);
  // A second walk moves nothing: each message is reordered once.
  made[0]->SetUserWanted(kTriteNo, true);
  ReorderQueue(queue);
  EXPECT_EQ(queue.Items(1), made[0]);
}

TEST_F(BlackWhiteTest, AReplyToWhitelistedMailIsWhitelistedThroughTheThread) {
  List(bplApprovedSenders)->Add("friend@example.com");
  TEmailMsgRef first = Make(
      "From: friend@example.com\r\nTo: me@example.com\r\nCC: colleague@example.com\r\n"
      "Subject: first\r\nMessage-ID: <first-1@example.com>");
  ASSERT_TRUE(first->SaveToFile());
  {
    test::IncomingThreadHarness harness;
    harness.Thread().Resume();
    ASSERT_TRUE(harness.RunUntilIdle());
  }
  EXPECT_GE(List(bplApprovedSenders)->IndexOf("colleague@example.com"), 0);
  EXPECT_GE(List(bplSentMessageIds)->FindInText("<first-1@example.com>"), 0);
  // The main reason survives the run's clearing of GeneralInfo: it is in
  // the message's reports.
  std::string reports;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(GetInstallDir()))
    if (entry.path().extension() == ".htm") reports += test::ReadFileBytes(entry.path().string());
  EXPECT_NE(reports.find("Email was whitelisted because the From address"), std::string::npos);

  TEmailMsgRef reply = Make(
      "From: stranger@example.com\r\nSubject: Re: first\r\nIn-Reply-To: <first-1@example.com>");
  ASSERT_TRUE(reply->SaveToFile());
  {
    test::IncomingThreadHarness harness;
    harness.Thread().Resume();
    ASSERT_TRUE(harness.RunUntilIdle());
  }
  EXPECT_EQ(reply->GetUserWanted(), kTriteYes);
  EXPECT_GE(List(bplApprovedSenders)->IndexOf("stranger@example.com"), 0);
}

}  // namespace
}  // namespace halvorn
