// The black/white, mailing-list, mailbox, attachment and HTML checks and the
// phishing heuristic over corpus messages and broken ones: every message is
// judged without an error, each answer is the one its result code records,
// and the hoax score only grows, to at most 100.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "classify/attach_name_check.h"
#include "classify/html_check.h"
#include "classify/list_and_mailbox_tests.h"
#include "classify/phishing_check.h"
#include "classify/simple_tests_support.h"
#include "foundation/text/list_helpers.h"
#include "lists/mailing_lists.h"
#include "message/account_test_support.h"

namespace halvorn {
namespace {

class MessageChecks {
 public:
  MessageChecks() {
    SetGlobalMailingListList(FLists);
    const TLocalAccountRef local = GlobalLocalAccounts().Add("L1");
    local->RemoteAccounts->Add("BOX1")->SetEmailAddress("box@example.org");
    TStringList ids;
    ids.Add("BOX1");
    FMailBox->SetUniqueIds(ids);
    for (TTest* test : Tests()) test->SetName(test->ClassName());
  }
  ~MessageChecks() { SetGlobalMailingListList(FOldLists); }

  std::vector<TTest*> Tests() {
    return {FBlackWhite.get(), FMailingList.get(), FMailBox.get(), FAttach.get(), FHtml.get()};
  }

  // Judges the message as the incoming processing would: its list merged
  // into the table first, then every check.
  void Judge(TEmailMsg& msg) {
    FLists->AddOrMerge(*msg.GetMailingList());
    for (TTest* test : Tests()) {
      SCOPED_TRACE(test->ClassName());
      bool result = false;
      ASSERT_NO_THROW(result = test->Evaluate(msg, nullptr));
      const std::string code = test->GetResultCode(msg.GetContentId());
      EXPECT_EQ(CommaTextValue(code, "Pa"), result ? "y" : "n");
    }
    const THTMLCheck::TFindings f = FHtml->Findings();
    const std::string code = FHtml->GetResultCode(msg.GetContentId());
    EXPECT_EQ(code, std::string("Pa=") + CommaTextValue(code, "Pa") + ",ER=" +
                        std::to_string(f.ExternalRefsCount) + ",EI=" +
                        std::to_string(f.ExternalImageRefsCount) + ",EO=" +
                        std::to_string(f.ExternalObjects) + ",EF=" +
                        std::to_string(f.ExternalFrames) + ",SF=" +
                        std::to_string(f.ScriptsFound) + ",FH=" + std::to_string(f.FoundHtml));
    for (const std::int32_t before : {0, 50, 99}) {
      std::int32_t hoax = before;
      ASSERT_NO_THROW(CheckPhishing(msg, hoax, "Global"));
      EXPECT_GE(hoax, before);
      EXPECT_LE(hoax, 100);
    }
  }

 private:
  test::GlobalAccountsScope FAccounts;
  std::shared_ptr<TMailingListList> FOldLists = GlobalMailingListList();
  std::shared_ptr<TMailingListList> FLists = std::make_shared<TMailingListList>();
  std::shared_ptr<TBlackWhiteTest> FBlackWhite = std::make_shared<TBlackWhiteTest>();
  std::shared_ptr<TMailingListTest> FMailingList = std::make_shared<TMailingListTest>();
  std::shared_ptr<TMailBoxTest> FMailBox = std::make_shared<TMailBoxTest>();
  std::shared_ptr<TAttachNameCheck> FAttach = std::make_shared<TAttachNameCheck>();
  std::shared_ptr<THTMLCheck> FHtml = std::make_shared<THTMLCheck>();
};

// Every tenth corpus message by default, every one with HALVORN_FULL_CORPUS.
TEST(MessageChecksCorpus, EveryMessageIsJudged) {
  const std::vector<std::string> files = test::CorpusSample(10);
  if (files.empty()) GTEST_SKIP() << "no mail corpus";
  MessageChecks checks;
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    const TEmailMsgRef msg = test::MessageFromBytes(test::CorpusMessageBytes(file));
    checks.Judge(*msg);
  }
}

// Broken mail fails, or passes, that message alone.
TEST(MessageChecksCorpus, BrokenMessagesAreJudged) {
  std::string hostile = "<table>";
  for (int i = 0; i < 3000; ++i) hostile += "<td onclick< a < b <img src=\"http://x/";
  const std::vector<std::string> messages = {
      // An HTML part whose base64 does not decode.
      "From: x@paypal.com\r\nSubject: s\r\nContent-Type: text/html\r\n"
      "Content-Transfer-Encoding: base64\r\n\r\n!!!not base64 @@@\r\n",
      // A multipart message whose boundary never comes, with a named part.
      "From: x@ebay.com\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n"
      "Content-Type: application/octet-stream; name=\"a.exe\"\r\n\r\nMZ\r\n",
      // Hostile HTML.
      "From: service@ebay.com\r\nContent-Type: text/html\r\n\r\n" + hostile + "\r\n",
      // No header at all.
      "\r\n\r\n",
      "List-Id: <\r\nPrecedence: list\r\nFrom: <@>\r\n\r\n",
  };
  MessageChecks checks;
  for (const std::string& text : messages) {
    SCOPED_TRACE(text.substr(0, 60));
    checks.Judge(*test::MessageFromBytes(text));
  }
}

}  // namespace
}  // namespace halvorn
