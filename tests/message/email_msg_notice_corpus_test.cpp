// Every message of the mail corpus through the checksum array and the
// notice: the full notice with its report files on some, a plain notice on
// the rest, at the top and the bottom; removing it gives back the decoded
// text parts. Run under AddressSanitizer by the test command.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "email_msg_fakes.h"
#include "message/email_msg.h"
#include "notice_test_support.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

class NoticeCorpusTest : public test::MessageFolderTest {};

TEST_F(NoticeCorpusTest, EveryMessageTakesAndGivesBackItsNotice) {
  const std::vector<std::string> files = test::CorpusFiles();
  if (files.empty()) GTEST_SKIP() << "the mail corpus is not available";
  TSimpleHtml notice;
  notice.AddLine("<b>Halvorn</b> notice", 1, kHtmlKindHtml, false);
  notice.AddLine("The danger level associated with the original e-mail is 12%.", 1, kHtmlKindPlainText, true);
  int changed = 0;
  for (std::size_t n = 0; n < files.size(); ++n) {
    SCOPED_TRACE(files[n]);
    std::string bytes = test::ReadFileBytes(files[n]);
    if (bytes.rfind("From ", 0) == 0) bytes.erase(0, bytes.find('\n') + 1);
    TEmailMsgRef msg = test::MessageFromBytes(bytes);

    TCheckSumArray sums, again;
    msg->GetCheckSums(sums, true);
    msg->GetCheckSums(again, true);
    ASSERT_EQ(sums, again);
    for (std::uint32_t c : sums) ASSERT_NE(CheckSumType(c), 0) << c;

    const test::TTextPartLines before = test::TextPartLines(*msg);
    const bool top = n % 2 == 0;
    if (n % 7 == 0) {
      test::ScopedProcessingOptions options(test::NoticeOptions(static_cast<int>(n / 7 % 4), top ? 1 : 2));
      msg->AddScore("Points", static_cast<int>(n % 30));
      msg->BuildSummaryReportAndInfo();
    } else {
      msg->AddInfoForUser(notice, top ? 0 : 1);
    }
    const test::TTextPartLines inserted = test::TextPartLines(*msg);
    if (inserted.Plain != before.Plain || inserted.Html != before.Html) ++changed;
    msg->DoRemoveQuorInfo();
    const test::TTextPartLines after = test::TextPartLines(*msg);
    ASSERT_EQ(after.Plain, before.Plain);
    ASSERT_EQ(after.Html, before.Html);
  }
  // Every message has a text part (parsing adds one): each got a notice.
  EXPECT_EQ(changed, static_cast<int>(files.size()));
}

}  // namespace
}  // namespace halvorn
