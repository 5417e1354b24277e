// The notice's links and lines: danger line colours and order, category
// levels, the sender and subject links in each mode (parsed back to their
// command and keys), and that message text never becomes markup.
#include "processing/notice_links.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/text/code_page_1252.h"
#include "foundation/text/text_helpers.h"
#include "foundation/threads/heartbeat.h"
#include "lists/phrases_list.h"
#include "message/accounts.h"
#include "message/category_probability.h"
#include "message/email_info.h"
#include "message/email_msg.h"
#include "message/msg_category.h"
#include "message/quor_url.h"
#include "processing_test_support.h"

namespace halvorn {
namespace {

class NoticeLinksTest : public test::ProcessingTest {
 protected:
  NoticeLinksTest() {
    GlobalLocalAccounts().Clear();
    GlobalLocalAccounts().Add()->SetUserId(kSingleUserName);
  }
  ~NoticeLinksTest() override { GlobalLocalAccounts().Clear(); }

  TEmailMsgRef Make(const std::string& headers) {
    TEmailMsgRef msg = TEmailMsg::Create(Repository().UnProcessedIncoming());
    msg->SetText(headers + "\r\n\r\nbody\r\n");
    return msg;
  }

  // Every line of the section with its kind.
  static std::vector<std::pair<std::string, int>> Lines(TSimpleHtml& section) {
    std::vector<std::pair<std::string, int>> lines;
    for (int i = 0; i < section.Count(); ++i) lines.emplace_back(section[i], section.GetKind(i));
    return lines;
  }

  // The local links of the text: each parsed back to its command and keys.
  static std::vector<TQuorUrl> LinksIn(const std::string& text) {
    std::vector<TQuorUrl> links;
    std::size_t at = 0;
    while ((at = text.find("http://LocalHost", at)) != std::string::npos) {
      std::size_t end = text.find_first_of("\" >", at);
      if (end == std::string::npos) end = text.size();
      TQuorUrl url;
      url.SetUrl(text.substr(at, end - at));
      links.push_back(url);
      at = end;
    }
    return links;
  }
};

TEST(NoticeLinksPure, DangerColoursAndCategoryLevels) {
  const struct {
    int Danger;
    const char* Open;
  } colours[] = {{0, "<font color=green>"},
                 {9, "<font color=orange>  "},
                 {10, "<font color=orange><b>"},
                 {19, "<font color=orange><b>"},
                 {20, "<font color=red><b>"}};
  for (const auto& row : colours) {
    SCOPED_TRACE(row.Danger);
    const std::string line = DangerLineText(row.Danger);
    EXPECT_EQ(line.rfind(row.Open, 0), 0u) << line;
    EXPECT_NE(line.find(" is " + std::to_string(row.Danger) + "%."), std::string::npos);
  }
  const struct {
    int P, Threshold, Level;
  } levels[] = {{95, 100, 1}, {20, 50, 11}, {0, 100, 11}, {100, 100, 1}, {60, 80, 7}, {51, 50, 10}};
  for (const auto& row : levels) {
    SCOPED_TRACE(std::to_string(row.P) + "/" + std::to_string(row.Threshold));
    EXPECT_EQ(CategoryLineLevel(row.P, row.Threshold), row.Level);
  }
}

TEST_F(NoticeLinksTest, DangerLineOnTopWithEveryEntryBelowIt) {
  TEmailMsgRef msg = Make("From: a@example.com\r\nSubject: s");
  msg->GeneralInfo().AddLine("earlier line", 2, 0, true);
  ASSERT_TRUE(msg->AddScore("Beta <b>", 30));
  ASSERT_TRUE(msg->AddScore("Alpha", 80));
  AddDangerLine(*msg);
  TSimpleHtml& info = msg->GeneralInfo();
  ASSERT_EQ(info.Count(), 4);
  EXPECT_EQ(info[0], "<br><font color=red><b>  The danger level associated with the original e-mail is "
                     "100%.</b></font>");
  // Entries sorted by name, each inserted at the second place: reverse order.
  EXPECT_EQ(info[1], "<br>30 danger points added due to Beta &lt;b&gt;.");
  EXPECT_EQ(info[2], "<br>80 danger points added due to Alpha.");
  EXPECT_EQ(info[3], "<br>earlier line");
}

TEST_F(NoticeLinksTest, CategoryLinesAndCategorizeAnchors) {
  TEmailMsgRef msg = Make("From: a@example.com\r\nSubject: s");
  msg->SetQuorCategory(Mc_Joke);
  TCategoryProbability p("test");
  p.SetPercentage(Mc_Joke, 20);
  p.SetWeight(Mc_Joke, 7);
  p.SetPercentage(Mc_Hoax, 50);
  p.SetWeight(Mc_Hoax, 7);
  msg->Probabilities().Add(p);
  const std::string preset = AddCategorizeLinks(*msg);
  TSimpleHtml& info = msg->CategoryInfo();
  ASSERT_GE(info.Count(), 2);
  // The combination normalises the percentage; the level follows it.
  TCategoryProbability combined;
  msg->GetCategoryProbabilities(combined, false);
  const int joke = combined.Percentage(Mc_Joke);
  EXPECT_EQ(info[0], "<br>There is a " + std::to_string(joke) + "% probability that this is a Joke.");
  EXPECT_EQ(info.GetLevel(0), CategoryLineLevel(joke, 50));
  EXPECT_EQ(info[1].rfind(" (Weight: ", 0), 0u);
  for (int i = 0; i < info.Count(); ++i) EXPECT_EQ(info[i].find("50% probability"), std::string::npos);

  std::string anchors;
  for (int i = 0; i < info.Count(); ++i)
    if (info.GetKind(i) == kHtmlKindHtml) anchors += info[i];
  const auto links = LinksIn(anchors);
  ASSERT_EQ(links.size(), 10u);
  const char* hints[] = {"PERSONAL", "SPAM", "URBAN_LEGEND", "HOAX", "JOKE",
                         "BULK", "CHAIN_LETTER", "PETITION", "VIRUS", "VIRUS"};
  const char* categories[] = {"9", "8", "3", "5", "6", "4", "1", "2", "7", "0"};
  for (std::size_t i = 0; i < links.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(links[i].Document, "Categorize");
    EXPECT_EQ(links[i].Values("Hint"), hints[i]);
    EXPECT_EQ(links[i].Values("Category"), categories[i]);
    EXPECT_EQ(links[i].Values("UserId"), kSingleUserName);
    EXPECT_EQ(links[i].Values("ContentId"), std::to_string(msg->GetContentId()));
  }
  TQuorUrl kept;
  kept.SetUrl(preset);
  EXPECT_EQ(kept.Values("Category"), "6");
}

TEST_F(NoticeLinksTest, SenderLinksByModeAndVerdict) {
  const std::string hostile = "x<script>&y@example.com";
  struct Row {
    int Mode;
    std::string Headers;
    bool FromApproved;
    std::vector<std::string> Commands;  // of the HTML lines, in order
  };
  const Row rows[] = {
      {kUiModeLite, "Subject: none", false, {}},
      {kUiModeLite, "From: a@example.com", false, {"ListAddress", "ListAddress"}},
      {kUiModeLite, "From: a@example.com", true, {"ListAddress"}},
      {kUiModeAdvanced, "From: a@example.com\r\nReply-To: a@example.com", false,
       {"ListAddress", "ListAddress"}},
      {kUiModeAdvanced, "From: a@example.com\r\nReply-To: b@example.com", false,
       {"ListAddress", "ListAddress", "ListAddress", "ListAddress"}},
      {kUiModePowerUser, "From: a@example.com\r\nReply-To: b@example.com", false,
       {"AddAddrToList"}},
      {kUiModeLite, "From: \"<script>\" <" + hostile + ">", false, {"ListAddress", "ListAddress"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Headers + " mode " + std::to_string(row.Mode));
    UiMode.store(row.Mode);
    TEmailMsgRef msg = Make(row.Headers);
    if (row.FromApproved)
      msg->WithInfo([](TEmailInfo& record) { record.SetStandardTest(757, kTriteYes); });
    AddSenderLinks(*msg, 5);
    std::vector<std::string> commands;
    for (const auto& [text, kind] : Lines(msg->ListLinks())) {
      EXPECT_EQ(text.find("<script>"), std::string::npos) << text;
      if (kind != kHtmlKindHtml) continue;
      for (const TQuorUrl& url : LinksIn(text)) {
        commands.push_back(url.Document);
        EXPECT_EQ(url.Values("UserId"), kSingleUserName);
        EXPECT_FALSE(url.Values("Addresses").empty());
      }
    }
    EXPECT_EQ(commands, row.Commands);
  }
  // The hostile address reads back whole from its link's keys.
  UiMode.store(kUiModeLite);
  TEmailMsgRef msg = Make("From: \"q\" <a&b@example.com>");
  AddSenderLinks(*msg, 5);
  const auto links = LinksIn(msg->ListLinks()[1]);
  ASSERT_EQ(links.size(), 1u);
  EXPECT_EQ(links[0].Values("Addresses"), "a&b@example.com");
  EXPECT_EQ(links[0].Values("ListName"), "{Approved Senders}");
  EXPECT_EQ(links[0].Values("RemoveListName"), "{Banned Senders}");
  EXPECT_NE(msg->ListLinks()[1].find("<i>a&amp;b@example.com</i>"), std::string::npos);
}

TEST_F(NoticeLinksTest, SubjectLinks) {
  struct Row {
    int Mode;
    std::string Subject;
    std::vector<std::string> Lists;  // ListName of each HTML link
  };
  const Row rows[] = {
      {kUiModeLite, "Re: Fw:", {}},
      {kUiModeLite, "RE: Hello <b>", {"{Approved Subject Lines}", "{Banned Subject Lines}"}},
      {kUiModeLite, "approved one", {"{Banned Subject Lines}"}},
  };
  GlobalPhrasesList()->GetBuiltInList(bplApprovedSubjectLines)->Add("approved one");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Subject);
    UiMode.store(row.Mode);
    TEmailMsgRef msg = Make("From: a@example.com\r\nSubject: " + row.Subject);
    AddSubjectLinks(*msg);
    std::vector<std::string> lists;
    for (const auto& [text, kind] : Lines(msg->ListLinks())) {
      EXPECT_EQ(text.find("<b>"), std::string::npos) << text;
      if (kind != kHtmlKindHtml) continue;
      for (const TQuorUrl& url : LinksIn(text)) {
        lists.push_back(url.Values("ListName"));
        EXPECT_EQ(url.Values("Phrase"), row.Mode == kUiModeLite && row.Subject[0] == 'R'
                                            ? "hello <b>"
                                            : TrimText(LowerCase1252(row.Subject)));
      }
    }
    EXPECT_EQ(lists, row.Lists);
  }
}

}  // namespace
}  // namespace halvorn
