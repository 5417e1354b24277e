// The mailbox test and the HTML check used from several threads at once:
// the processing thread judges while the main thread validates, describes,
// edits and reports (accounts coming and going meanwhile). Also run under
// ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "classify/html_check.h"
#include "classify/list_and_mailbox_tests.h"
#include "classify/simple_tests_support.h"
#include "message/account_test_support.h"

namespace halvorn {
namespace {

TEST(MessageChecksThreads, JudgingWhileTheMainThreadValidatesEditsAndReports) {
  test::GlobalAccountsScope accounts;
  const TLocalAccountRef local = GlobalLocalAccounts().Add("L1");
  local->RemoteAccounts->Add("KEEP")->SetEmailAddress("keep@example.org");
  TMailBoxTest mailBox;
  mailBox.SetName("MB");
  THTMLCheck html;
  html.SetName("HC");
  std::atomic<bool> stop{false};
  std::atomic<int> judged{0};
  std::atomic<int> edits{0};

  std::thread processing([&] {
    for (int i = 0; !stop.load() || i < 20; ++i) {
      const TEmailMsgRef msg = test::MessageFromBytes(
          "From: a@example.org\r\nContent-Type: text/html\r\n\r\n<img src=\"http://x/" +
          std::to_string(i) + ".gif\"><a onclick=go()>x</a>\r\n");
      msg->SetInfoValue(TEmailInfoKey::RemoteAccountId, i % 2 ? "KEEP" : "GONE");
      mailBox.Evaluate(*msg, nullptr);
      EXPECT_TRUE(html.Evaluate(*msg, nullptr));
      ++judged;
    }
  });
  std::thread mainThread([&] {
    for (int round = 0; !stop.load(); round = ++edits) {
      TStringList ids;
      ids.SetCommaText("KEEP,GONE,OTHER" + std::to_string(round % 3));
      mailBox.SetUniqueIds(ids);
      mailBox.Validate();
      mailBox.Describe();
      const TRemoteAccountRef gone = local->RemoteAccounts->Add("GONE");
      mailBox.Describe();
      local->RemoteAccounts->Remove(gone.get());
      const THTMLCheck::TFindings f = html.Findings();
      EXPECT_EQ(f.ExternalImageRefsCount, f.FoundHtml);  // one image in every message judged
      TSimpleHtml report;
      html.ShowStats(report, 0);
      html.SetSwitch(THTMLCheck::swIFrames, round % 2 == 0);
    }
  });
  while (judged.load() < 100 || edits.load() < 100) std::this_thread::yield();
  stop = true;
  processing.join();
  mainThread.join();
  EXPECT_EQ(mailBox.UniqueIds().IndexOf("GONE"), -1);
}

}  // namespace
}  // namespace halvorn
