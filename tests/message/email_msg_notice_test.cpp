// The notice: where it goes in HTML and plain texts, its box, its removal as
// the frame it was inserted as, the notice of every kind on every body shape
// read back by Python's email package, html5lib and headless Chromium, and
// the category headers.
#include "message/email_msg_notice.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "email_msg_fakes.h"
#include "foundation/files/install_folders.h"
#include "message/email_msg.h"
#include "message/message_checksums.h"
#include "message/page_texts.h"
#include "notice_test_support.h"
#include "support/network_namespace.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::CrLf;
using test::MessageFromBytes;
using test::MessageFolderTest;

// ---------------------------------------------------------------------------
// Places in HTML

TEST(NoticePlaces, TopAndBottomOfHtmlTexts) {
  const struct {
    const char* html;
    bool top;
    const char* before;  // the text that stands before the notice
  } rows[] = {
      {"<html><body><p>x</p></body></html>", true, "<html><body>"},
      {"<html><body><p>x</p></body></html>", false, "<html><body><p>x</p>"},
      // Attributes, any case, a ">" inside a quoted value.
      {"<HTML lang=en><BODY bgcolor=\"#fff\" onload=\"a>b\"><p>x</p></BODY></HTML>", true,
       "<HTML lang=en><BODY bgcolor=\"#fff\" onload=\"a>b\">"},
      {"<html><Body\nclass='a>b'>x", true, "<html><Body\nclass='a>b'>"},
      // A tag whose name only begins with "body" is no body tag.
      {"<html><bodyx><body>x", true, "<html><bodyx><body>"},
      // Without a body tag: after the html tag, else at the start.
      {"<!DOCTYPE html><html class=\"a\"><p>x</p>", true, "<!DOCTYPE html><html class=\"a\">"},
      {"<p>x</p>\r\n", true, ""},
      // A body tag that never closes is none.
      {"<html><body onload=\"x", true, "<html>"},
      // Bottom: before </body>, else </html>, else the final line break
      // taken whole, else the end.
      {"<html><p>x</p></HTML >", false, "<html><p>x</p>"},
      {"<p>x</p>\r\n<p>y</p>\r\n", false, "<p>x</p>\r\n<p>y</p>"},
      {"<p>x</p>\n", false, "<p>x</p>"},
      {"<p>x</p>\r", false, "<p>x</p>"},
      {"<p>x</p>", false, "<p>x</p>"},
      {"", false, ""},
      {"", true, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.html) + (row.top ? " (top)" : " (bottom)"));
    EXPECT_EQ(HtmlNoticeInsertPoint(row.html, row.top), std::string_view(row.before).size());
    std::string html = row.html;
    InsertHtmlNotice(html, "N\r\n", row.top);
    EXPECT_EQ(html.substr(0, std::string_view(row.before).size() + 3), std::string(row.before) + "N\r\n");
  }
}

// A line of the box: framed on both sides, padded to the box's width.
std::string Boxed(const std::string& text) {
  return "| " + text + std::string(kNoticeBoxWidth - text.size(), ' ') + " |";
}

TEST(NoticePlaces, TheBoxWrapsPadsAndFrames) {
  const std::string longWords =
      "  To view the summary report for this e-mail click here: http://LocalHost:6173/Decode?0000001F0";
  const std::string oneWord(80, 'x');
  TStringList lines{"short", "", std::string(69, 'a'), longWords, oneWord + " tail"};
  BoxPlainNotice(lines);
  const std::vector<std::string> expected = {
      "| short" + std::string(64, ' ') + " |",
      "| " + std::string(69, ' ') + " |",
      "| " + std::string(69, 'a') + " |",
      // Wrapped at the last blank that fits, the indent repeated.
      Boxed("  To view the summary report for this e-mail click here:"),
      Boxed("  http://LocalHost:6173/Decode?0000001F0"),
      "| " + oneWord,  // too long to fit: only the left frame
      Boxed("tail"),
      "",
  };
  EXPECT_EQ(lines.ToVector(), expected);
}

// ---------------------------------------------------------------------------
// Removal

std::string HtmlFrame(bool top, const std::string& inner) {
  return std::string(top ? kNoticeHtmlBeginTop : kNoticeHtmlBeginBottom) + "\r\n" + inner + "\r\n" +
         std::string(kNoticeHtmlEnd) + "\r\n";
}

TEST(NoticeRemoval, FramesAndOlderMarkerPairs) {
  const std::string oldBegin = "======== Begin Quorvantis Information ========";
  const std::string oldEnd = "========  End Quorvantis Information  ========";
  const struct {
    const char* what;
    std::string text;
    bool html;
    std::string expected;  // empty: nothing removed
  } rows[] = {
      {"a top frame takes its <br> along", "<html><body>" + HtmlFrame(true, "n") + "<p>x</p></body></html>\r\n",
       true, "<html><body><p>x</p></body></html>"},
      {"a <br> of the user's stays", "<html><body><p>x</p><br>" + HtmlFrame(false, "n") + "</body></html>\r\n",
       true, "<html><body><p>x</p><br></body></html>"},
      // The frame goes whole, with the plain markers inside it: nothing of it
      // is left, and none of the user's text after it goes.
      {"the HTML frame whole",
       "<p>a</p>" + HtmlFrame(false, "---------------------Begin_Quorvantis_Information--------------------") +
           "<p>0123456789012345678901234567890123456789</p>\r\n",
       true, "<p>a</p><p>0123456789012345678901234567890123456789</p>"},
      // A begin marker line repeated ahead of the notice is not its own.
      {"the nearest begin", std::string(kNoticeHtmlBeginBottom) + "\r\n<p>keep</p>\r\n" + HtmlFrame(false, "n"),
       true, std::string(kNoticeHtmlBeginBottom) + "\r\n<p>keep</p>"},
      {"a plain box and the empty line after it",
       "Hi\r\n| " + std::string(kNoticePlainBegin) + " |\r\n| n" + std::string(68, ' ') + " |\r\n| " +
           std::string(kNoticePlainEnd) + " |\r\n\r\nBye\r\n",
       false, "Hi\r\nBye"},
      // Older notices go from the begin marker through the end marker, no
      // further.
      {"an older notice", "a " + oldBegin + " old " + oldEnd + "0123456789012345678901234567890\r\n", false,
       "a 0123456789012345678901234567890"},
      {"an older HTML notice",
       "<p>a<font><!Begin_Quorvantis_Information>old<!End_Quorvantis_Information>keep this</font></p>", true,
       "<p>a<font>keep this</font></p>"},
      {"bare words", "x Begin_Quorvantis_Information y End_Quorvantis_Information z", false, "x  z"},
      // An end marker is looked for after its begin marker only.
      {"end before begin", oldEnd + " a " + oldBegin + " b", false, ""},
      {"a begin without end tries the next pair",
       oldBegin + " x Begin_Quorvantis_Information y End_Quorvantis_Information", false,
       oldBegin + " x "},
      {"nothing", "<p>no notice</p>", true, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    TStringList lines;
    lines.SetText(row.text);
    const TStringList before = lines;
    const bool removed = RemoveNoticeFromLines(lines, row.html);
    EXPECT_EQ(removed, !row.expected.empty());
    if (!removed) {
      EXPECT_EQ(lines, before);
      continue;
    }
    TStringList expected;
    expected.SetText(row.expected);
    EXPECT_EQ(lines.ToVector(), expected.ToVector());
  }
}

// Random message texts with fragments of the markers and notices of older
// versions in them; a notice inserted and removed again gives back the text
// line for line.
class NoticeIdentityTest : public MessageFolderTest {};

std::string RandomBodyText(std::mt19937& random, bool html) {
  static const std::vector<std::string> kTokens = {
      "Hello", " ", "world.", "caf\xE9", "\xFF", "<p>", "</p>", "<br>", "<b>x</b>", "<!-- c -->",
      "<a href=\"http://example.com/?a=1&b=2\">l</a>", "\r\n", "\r\n", "\r\n", "> quoted", "|", " |",
      "Begin_Quorvantis_Information", "End_Quorvantis_Information", "<!Begin_Quorvantis_Information>",
      "<!End_Quorvantis_Information>", "---------------------Begin_Quorvantis_Information",
      "End_Quorvantis_Information---------------------", "<font color=\"white\" size=\"-10\">",
      std::string(kNoticeHtmlBeginBottom), std::string(kNoticeHtmlBeginTop),
      std::string(kNoticeHtmlEnd.substr(20)), "| " + std::string(kNoticePlainBegin) + " |",
      "| " + std::string(kNoticePlainEnd), std::string(kNoticePlainBegin),
      "======== Begin Quorvantis Information ========\r\nold notice\r\n========  End Quorvantis Information  ========",
      "<!Begin_Quorvantis_Information>old<!End_Quorvantis_Information>", "<body", "</body", "<html"};
  std::uniform_int_distribution<std::size_t> pick(0, kTokens.size() - 1);
  std::uniform_int_distribution<int> count(0, 30);
  std::string content = "Hello";
  for (int i = count(random); i > 0; --i) content += kTokens[pick(random)];
  if (!html) return content + "\r\n";
  switch (random() % 4) {
    case 0:
      return "<html><body>" + content + "</body></html>\r\n";
    case 1:
      return "<!DOCTYPE html>\r\n<HTML lang=\"en\"><head><title>t</title></head>\r\n<Body bgcolor=\"white\">\r\n" +
             content + "\r\n</BODY></HTML>\r\n";
    case 2:
      return "<html class=\"x\">" + content + "\r\n";
    default:
      return content + "\r\n";
  }
}

TEST_F(NoticeIdentityTest, InsertThenRemoveGivesTheTextBack) {
  std::mt19937 random(20240515);
  TSimpleHtml notice;
  notice.AddLine("<b>Notice</b> for you", 1, kHtmlKindHtml, false);
  notice.AddLine("The danger level associated with the original e-mail is 5%.", 1, kHtmlKindPlainText, true);
  notice.AddLine("A line long enough to be wrapped inside the box because it goes on past the width", 1,
                 kHtmlKindPlainText, true);
  for (int round = 0; round < 3000; ++round) {
    const bool html = round % 2 == 0;
    const bool top = round % 4 < 2;
    const std::string body = RandomBodyText(random, html);
    const std::string text = CrLf(std::string("Subject: r\nContent-Type: ") + (html ? "text/html" : "text/plain") +
                                  "; charset=iso-8859-1\nContent-Transfer-Encoding: 8bit\n\n") +
                             body;
    TEmailMsgRef msg = MessageFromBytes(text);
    const test::TTextPartLines before = test::TextPartLines(*msg);
    msg->AddInfoForUser(notice, top ? 0 : 1);
    const test::TTextPartLines inserted = test::TextPartLines(*msg);
    ASSERT_NE(html ? inserted.Html : inserted.Plain, html ? before.Html : before.Plain);
    ASSERT_TRUE(msg->DoRemoveQuorInfo());
    const test::TTextPartLines after = test::TextPartLines(*msg);
    ASSERT_EQ(after.Plain, before.Plain) << test::HexOf(body);
    ASSERT_EQ(after.Html, before.Html) << test::HexOf(body);
    // Once per message object.
    ASSERT_FALSE(msg->DoRemoveQuorInfo());
  }
}

// ---------------------------------------------------------------------------
// The notice on every body shape

class NoticeTest : public MessageFolderTest {
 protected:
  // A message of the fixture with a danger entry and an item of crucial
  // information, given its notice with the options.
  TEmailMsgRef NoticedMessage(const test::TNoticeFixture& fixture, int infoType, bool top,
                              int score = 30) {
    test::ScopedProcessingOptions options(test::NoticeOptions(infoType, top ? 1 : 2));
    TEmailMsgRef msg = MessageFromBytes(fixture.Text);
    if (score > 0) msg->AddScore("Script", score);
    TSimpleHtml* item = msg->AdditionalInfo().Add();
    item->AddLine("<i>Crucial</i> information.", 1, kHtmlKindAll, true);
    EXPECT_EQ(msg->BuildSummaryReportAndInfo(), "");
    return msg;
  }

  // Runs the oracle over the cases; answers its lines that are not "ok".
  static std::vector<std::string> OracleFailures(const std::string& cases, int expected) {
    const test::CommandResult py = test::RunCommand(
        {test::PythonPath(), test::DataPath("notice_oracle.py")}, cases);
    EXPECT_EQ(py.ExitCode, 0) << py.Output;
    std::vector<std::string> failures;
    int ok = 0;
    for (const std::string& line : test::OutputLines(py.Output)) {
      if (line.rfind("ok ", 0) == 0)
        ++ok;
      else
        failures.push_back(line);
    }
    EXPECT_EQ(ok + static_cast<int>(failures.size()), expected) << py.Output;
    return failures;
  }
};

std::string JsonCase(const std::string& name, const std::string& path, bool top, bool plain, bool html,
                     int links) {
  std::ostringstream out;
  out << "{\"name\": \"" << name << "\", \"path\": \"" << path << "\", \"top\": " << (top ? "true" : "false")
      << ", \"plain\": " << (plain ? "true" : "false") << ", \"html\": " << (html ? "true" : "false")
      << ", \"links\": " << links << "}\n";
  return out.str();
}

TEST_F(NoticeTest, EveryKindAtBothPlacesReadsBackInEmailAndHtml5lib) {
  // Local links each notice kind carries at least in its HTML form: the
  // spacer image, and the report and category links of the bars.
  const int kLinks[] = {1, 12, 5, 11, 0};
  std::string cases;
  int count = 0;
  for (const test::TNoticeFixture& fixture : test::NoticeFixtures()) {
    for (int infoType = 0; infoType <= 4; ++infoType) {
      for (const bool top : {true, false}) {
        const std::string name =
            std::string(fixture.Name) + "-type" + std::to_string(infoType) + (top ? "-top" : "-bottom");
        SCOPED_TRACE(name);
        TEmailMsgRef msg = NoticedMessage(fixture, infoType, top);
        const std::string path = FRoot.Sub(name + ".eml");
        ASSERT_TRUE(test::WriteFileBytes(path, test::MessageText(*msg)));
        const bool any = infoType != 4;
        cases += JsonCase(name, path, top, any && fixture.HasPlain, any && fixture.HasHtml, kLinks[infoType]);
        ++count;

        // Removing the notice gives back the decoded text parts.
        const test::TTextPartLines original = test::TextPartLines(*MessageFromBytes(fixture.Text));
        EXPECT_EQ(msg->DoRemoveQuorInfo(), any);
        const test::TTextPartLines after = test::TextPartLines(*msg);
        EXPECT_EQ(after.Plain, original.Plain);
        EXPECT_EQ(after.Html, original.Html);
      }
    }
  }
  const std::vector<std::string> failures = OracleFailures(cases, count);
  EXPECT_TRUE(failures.empty()) << ::testing::PrintToString(failures);
}

// The HTML notice as a browser builds the page: headless Chromium's DOM of a
// few results, read by the same checks. Chromium runs in a network namespace
// of the test's own, and resolves no name.
TEST_F(NoticeTest, ChromiumShowsTheNoticeInsideTheBody) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(true);
  if (test::RunCommand({"sh", "-c", "command -v chromium"}).ExitCode != 0)
    GTEST_SKIP() << "chromium is not installed";
  const std::vector<test::TNoticeFixture> fixtures = test::NoticeFixtures();
  const struct {
    std::size_t fixture;
    int infoType;
    bool top;
  } picks[] = {{2, 1, true}, {4, 2, false}, {3, 3, true}, {7, 0, false}};
  std::string cases;
  for (const auto& pick : picks) {
    const test::TNoticeFixture& fixture = fixtures[pick.fixture];
    const std::string name = std::string(fixture.Name) + "-chromium-" + std::to_string(pick.infoType);
    TEmailMsgRef msg = NoticedMessage(fixture, pick.infoType, pick.top);
    const std::string html = FRoot.Sub(name + ".html");
    std::string text;
    for (const std::string& line : test::TextPartLines(*msg).Html) text += line + "\r\n";
    ASSERT_TRUE(test::WriteFileBytes(html, text));
    // Chromium's complaints (the missing desktop bus, mostly) go to a file
    // that a failure shows. The browser's own start-up can die of the
    // machine it runs on (shared memory, crash handler), so a run killed by
    // a signal is tried again; one that never starts skips the test, as a
    // missing browser does: the page checks above hold without it.
    const std::string errors = FRoot.Sub(name + ".chromium-errors.txt");
    // Chromium makes its single-instance socket under TMPDIR: the fixture's
    // folder in the build tree can pass the 107-byte limit of a socket name
    // (Chromium then aborts), so the browser gets a short one of its own.
    const test::TempFolder browserTemp = test::TempFolder::ForSockets();
    test::CommandResult dom;
    for (int attempt = 1; attempt <= 3; ++attempt) {
      dom = test::RunCommand(
          {"sh", "-c", "errors=$1; shift; exec \"$@\" 2>\"$errors\"", "sh", errors, "env",
           "HOME=" + FRoot.Sub("chromium-home"), "TMPDIR=" + browserTemp.Path(), "chromium",
           "--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--disable-crash-reporter",
           "--disable-breakpad", "--no-first-run", "--disable-background-networking",
           "--disable-component-update", "--disable-sync", "--host-resolver-rules=MAP * ~NOTFOUND",
           "--user-data-dir=" + browserTemp.Sub("profile-" + std::to_string(attempt)), "--dump-dom",
           "file://" + html},
          {}, 120000);
      if (dom.ExitCode >= 0 && dom.ExitCode < 128) break;
    }
    if (dom.ExitCode >= 128 && dom.Output.empty())
      GTEST_SKIP() << "chromium does not start on this machine (exit " << dom.ExitCode << "): "
                   << test::ReadFileBytes(errors);
    ASSERT_EQ(dom.ExitCode, 0) << dom.Output << "\n" << test::ReadFileBytes(errors);
    const std::string dumped = FRoot.Sub(name + ".dom.eml");
    // The oracle reads messages: the DOM goes in as the HTML part of one.
    ASSERT_TRUE(test::WriteFileBytes(
        dumped, CrLf("Content-Type: text/html; charset=utf-8\n\n") + dom.Output));
    cases += JsonCase(name, dumped, pick.top, false, true, 1);
  }
  const std::vector<std::string> failures = OracleFailures(cases, static_cast<int>(std::size(picks)));
  EXPECT_TRUE(failures.empty()) << ::testing::PrintToString(failures);
}

TEST_F(NoticeTest, AutomaticPlacementFollowsTheScore) {
  const test::TNoticeFixture plain = test::NoticeFixtures()[0];
  for (const auto& [score, top] : {std::pair{11, true}, std::pair{10, false}}) {
    SCOPED_TRACE(score);
    test::ScopedProcessingOptions options(test::NoticeOptions(2, 0));
    TEmailMsgRef msg = MessageFromBytes(plain.Text);
    msg->AddScore("Points", score);
    msg->BuildSummaryReportAndInfo();
    const std::vector<std::string> lines = test::TextPartLines(*msg).Plain;
    ASSERT_FALSE(lines.empty());
    const std::string boxBegin = "| " + std::string(kNoticePlainBegin) + " |";
    EXPECT_EQ(lines.front() == boxBegin, top);
    EXPECT_EQ(lines[0], top ? boxBegin : "Hello Bob,");
  }
}

TEST_F(NoticeTest, WhitelistedAndDangerTexts) {
  const test::TNoticeFixture html = test::NoticeFixtures()[1];
  const struct {
    int score;
    bool whitelisted;
    const char* danger;
  } rows[] = {
      {0, true, "<font color=green>The danger level associated with the original e-mail is 0%.</font>"},
      {5, false, "<font color=orange>The danger level associated with the original e-mail is 5%.</font>"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.score);
    test::ScopedProcessingOptions options(test::NoticeOptions(2, 2));
    TEmailMsgRef msg = MessageFromBytes(html.Text);
    msg->SetUserWanted(kTriteYes, true);
    msg->WithInfo([](TEmailInfo& info) { info.SetStandardTest(757, kTriteYes); });
    if (row.score > 0) msg->AddScore("Points", row.score);
    msg->BuildSummaryReportAndInfo();
    std::string text;
    for (const std::string& line : test::TextPartLines(*msg).Html) text += line + "\n";
    EXPECT_NE(text.find(row.danger), std::string::npos) << text;
    EXPECT_EQ(text.find("This email was whitelisted because it is from an Approved Sender.") != std::string::npos,
              row.whitelisted);
    EXPECT_EQ(text.find("Spam2.gif") != std::string::npos, !row.whitelisted);
  }
}

TEST_F(NoticeTest, AMessageWithPartsButNoTextPartGetsBothAlternatives) {
  const std::string text = CrLf(
      "Subject: s\nContent-Type: application/octet-stream\nContent-Transfer-Encoding: base64\n\nAAEC\n");
  TEmailMsgRef msg = MessageFromBytes(text);
  msg->SetEnsureTextPart(false);
  TSimpleHtml notice;
  notice.AddLine("note", 1, kHtmlKindAll, false);
  msg->AddInfoForUser(notice, 1);
  const test::TTextPartLines parts = test::TextPartLines(*msg);
  EXPECT_TRUE(parts.HasPlain);
  EXPECT_TRUE(parts.HasHtml);
}

TEST_F(NoticeTest, RemoveOnSendPropertyAndOption) {
  TEmailMsgRef msg = MessageFromBytes(test::NoticeFixtures()[0].Text);
  for (const bool option : {true, false}) {
    TProcessingOptions options;
    options.DelInfoOnSend = option;
    test::ScopedProcessingOptions scoped(options);
    EXPECT_EQ(msg->GetRemoveQuorInfoOnSend(), option);
  }
  msg->SetRemoveQuorInfoOnSend(true);
  EXPECT_EQ(msg->GetProperty(kPropRemoveQuorInfoOnSend), "Yes");
  EXPECT_TRUE(msg->GetRemoveQuorInfoOnSend());
  msg->SetRemoveQuorInfoOnSend(false);
  EXPECT_FALSE(msg->GetRemoveQuorInfoOnSend());
}

TEST_F(NoticeTest, OwnImagesAreTakenOut) {
  const std::string gif = "GIF89a" + std::string(40, '\x01');
  RecordOwnImageChecksums({gif});
  const std::string text = CrLf(
      "Subject: s\nContent-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: text/plain\n\nbody\n"
      "--b\nContent-Type: image/gif; name=\"Spam.gif\"\nContent-Transfer-Encoding: base64\n"
      "Content-Disposition: attachment; filename=\"Spam.gif\"\n\n"
      "R0lGODlhAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQ==\n"
      "--b\nContent-Type: image/gif; name=\"photo.gif\"\nContent-Transfer-Encoding: base64\n"
      "Content-Disposition: attachment; filename=\"photo.gif\"\n\nR0lGODlhAgICAgICAgICAg==\n--b--\n");
  TEmailMsgRef msg = MessageFromBytes(text);
  const int before = msg->GetParts().Count();
  EXPECT_TRUE(msg->DoRemoveQuorImages());
  EXPECT_EQ(msg->GetParts().Count(), before - 1);
  EXPECT_FALSE(msg->DoRemoveQuorImages());
  RecordOwnImageChecksums({});
}

// ---------------------------------------------------------------------------
// Category headers

class CategoryHeadersTest : public MessageFolderTest {};

TEST_F(CategoryHeadersTest, StoredProbabilitiesAndHeadersOfProcessedMail) {
  const std::string text =
      CrLf("Subject: s\nX-Quor-Personal: 80\nX-Quor-Bulk: high\nX-Quor-Virus:  7 \n\nbody\n");
  TCategoryProbability stored;
  stored.SetPercentage(Mc_Personal, 10);
  stored.SetPercentage(Mc_Bulk, 20);
  stored.SetPercentage(Mc_Joke, 30);

  // Without test results: the stored values, each header that reads as a
  // number overriding its category.
  {
    TEmailMsgRef msg = MessageFromBytes(text);
    msg->SetInfoValue(TEmailInfoKey::CategoryProbabilitiesStr, stored.SaveToText());
    TCategoryProbability result;
    msg->GetCategoryProbabilities(result, false);
    EXPECT_EQ(result.Percentage(Mc_Personal), 80);
    EXPECT_EQ(result.Percentage(Mc_Bulk), 20);
    EXPECT_EQ(result.Percentage(Mc_Virus), 7);
    EXPECT_EQ(result.Percentage(Mc_Joke), 30);
    EXPECT_EQ(msg->GetCategoryProbability(Mc_Personal, false), 80);
    EXPECT_EQ(msg->GetCategoryProbability(0, false), 0);
    EXPECT_EQ(msg->GetCategoryProbability(10, false), 0);
  }
  // A message still in the unprocessed-incoming queue: its X-Quor headers
  // are its sender's and count for nothing.
  {
    const std::string path = GetUnprocessedIncomingDir(kSingleUserName) + "/waiting.eml";
    ASSERT_TRUE(test::WriteFileBytes(path, text));
    TEmailMsgRef msg = TEmailMsg::Create();
    ASSERT_TRUE(msg->ReadFromFile(path));
    msg->SetInfoValue(TEmailInfoKey::CategoryProbabilitiesStr, stored.SaveToText());
    TCategoryProbability result;
    msg->GetCategoryProbabilities(result, false);
    TCategoryProbability expected;
    expected.LoadFromText(stored.SaveToText());
    EXPECT_EQ(result, expected);
    msg->FSetFlaggedDeleted(true);
  }
}

TEST_F(CategoryHeadersTest, TestResultsWithTheVerdictAreWrittenAsNineHeaders) {
  TEmailMsgRef msg = MessageFromBytes(CrLf("Subject: s\nX-Quor-Virus: 99\n\nbody\n"));
  TCategoryProbability judged("test");
  judged.SetPercentage(Mc_CommercialSpam, 90);
  judged.SetWeight(Mc_CommercialSpam, 5);
  judged.SetPercentage(Mc_Joke, 70);
  judged.SetWeight(Mc_Joke, 5);
  msg->Probabilities().Add(judged);
  msg->SetUserWanted(kTriteYes, true);

  TCategoryProbability expected;
  msg->Probabilities().Combine(expected);
  expected.SetPercentage(Mc_CommercialSpam, 0);
  expected.SetPercentage(Mc_Personal, 100);
  expected.SetWeight(Mc_CommercialSpam, kDefiniteWeight);
  expected.SetWeight(Mc_Personal, kDefiniteWeight);
  expected.Normalize();

  msg->WriteCategoryHeaders();
  TEmailHeader* header = msg->GetHeader();
  for (const TCategoryHeader& h : kCategoryHeaders) {
    SCOPED_TRACE(h.Name);
    std::string value;
    ASSERT_TRUE(header->GetValue(h.Name, value));
    EXPECT_EQ(value, std::to_string(expected.Percentage(h.Category)));
  }
  EXPECT_EQ(header->CountHeader("X-Quor-Virus"), 1);
  EXPECT_EQ(msg->GetInfoValue(TEmailInfoKey::CategoryProbabilitiesStr), expected.SaveToText());
  // Ignoring the verdict leaves the tests' judgement.
  EXPECT_EQ(msg->GetCategoryProbability(Mc_Personal, true) < 100, true);
}

}  // namespace
}  // namespace halvorn
