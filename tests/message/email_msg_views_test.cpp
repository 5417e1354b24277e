// The views of a message that the tests read: text parts, texts and areas,
// URLs, Bayesian words, HTML tags, and the checks of the rule catalogue;
// then every corpus message through every view.
#include "message/email_msg_views.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "email_msg_fakes.h"
#include "message/accounts.h"
#include "message/email_msg.h"
#include "support/string_list_helpers.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::Lines;

TEmailMsgRef Scratch(const std::string& text) {
  TEmailMsgRef msg = TEmailMsg::Create();
  msg->LoadFromStream(text);
  msg->FSetFlaggedDeleted(true);
  return msg;
}

// The first decoded line of a part, or "-" for none.
std::string FirstLine(TEmailMsgPart* part) {
  if (part == nullptr) return "-";
  TStringList lines;
  part->DecodeToStringList(lines, false);
  return lines.Empty() ? std::string() : lines[0];
}

const std::string kAlternative =
    "Subject: Re: Fw: Cheap offer today\r\nContent-Type: multipart/alternative; "
    "boundary=\"a\"\r\n\r\n"
    "--a\r\nContent-Type: text/plain\r\n\r\nplain words here http://plain.com/x\r\n--a\r\n"
    "Content-Type: text/html\r\n\r\n<p>html <b>words</b> here</p>\r\n--a--\r\n";

// ---------------------------------------------------------------------------
// Text parts and texts

TEST(EmailMsgViews, TextParts) {
  struct Row {
    const char* what;
    std::string text;
    const char* plain;  // first decoded line, "-" for none
    const char* html;
  } rows[] = {
      {"a single plain part", "Subject: s\r\n\r\nbody\r\n", "body", "-"},
      {"an alternative message", kAlternative, "plain words here http://plain.com/x",
       "<p>html <b>words</b> here</p>"},
      {"a mixed message with an alternative part and a text attachment",
       "Content-Type: multipart/mixed; boundary=m\r\n\r\n--m\r\nContent-Type: text/plain\r\n"
       "Content-Disposition: attachment; filename=a.txt\r\n\r\nattached\r\n--m\r\n"
       "Content-Type: multipart/alternative; boundary=a\r\n\r\n--a\r\nContent-Type: "
       "text/plain\r\n\r\n"
       "inner plain\r\n--a\r\nContent-Type: text/html\r\n\r\ninner html\r\n--a--\r\n--m--\r\n",
       "inner plain", "inner html"},
      {"an alternative whose HTML stands in a related part",
       "Content-Type: multipart/alternative; boundary=a\r\n\r\n--a\r\nContent-Type: "
       "text/plain\r\n\r\n"
       "p\r\n--a\r\nContent-Type: multipart/related; boundary=r\r\n\r\n--r\r\nContent-Type: "
       "text/html"
       "\r\n\r\nh\r\n--r\r\nContent-Type: image/gif\r\n\r\ng\r\n--r--\r\n--a--\r\n",
       "p", "h"},
      {"the text of an attached message is not the body's",
       "Content-Type: multipart/mixed; boundary=m\r\n\r\n--m\r\nContent-Type: "
       "text/html\r\n\r\nouter\r\n"
       "--m\r\nContent-Type: message/rfc822\r\n\r\nSubject: in\r\n\r\ninner plain\r\n--m--\r\n",
       "-", "outer"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TEmailMsgRef msg = Scratch(row.text);
    TCriticalSectionGuard guard(msg->MessageLock());
    TEmailMsgPart* plain = nullptr;
    TEmailMsgPart* html = nullptr;
    msg->GetTextParts(plain, html);
    EXPECT_EQ(FirstLine(plain), row.plain);
    EXPECT_EQ(FirstLine(html), row.html);
  }
}

TEST(EmailMsgViews, PlainTexts) {
  TEmailMsgRef msg = Scratch(kAlternative);
  TStringList lines;
  msg->GetPlainText(lines, false);
  EXPECT_EQ(lines.ToVector(), Lines{"plain words here http://plain.com/x"});
  msg->GetPlainText(lines, true);
  EXPECT_GE(lines.Count(), 2);
  EXPECT_EQ(lines[0], "plain words here http://plain.com/x");

  TEmailMsgRef html = Scratch(
      "Content-Type: text/html\r\n\r\n<p>one\ttwo&nbsp;&nbsp; \xe9</p>\r\n"
      "<p>three    four</p>\r\n");
  std::string text;
  html->GetVeryPlainText(text, false);
  EXPECT_EQ(text.find('\t'), std::string::npos) << text;
  EXPECT_EQ(text.find('\xe9'), std::string::npos) << text;
  EXPECT_NE(text.find(" three  four"), std::string::npos) << text;  // four blanks halved once
  // The HTML gives an empty line, "one two ...", "three four": the first two
  // lines only.
  html->GetVeryPlainText(text, false, 2);
  EXPECT_NE(text.find("one"), std::string::npos) << text;
  EXPECT_EQ(text.find("three"), std::string::npos) << text;
}

TEST(EmailMsgViews, Areas) {
  struct Name {
    TMessageArea area;
    const char* name;
  } names[] = {
      {0, "whole message undecoded"},  {3, "decoded body text"}, {5, "decoded Body html"},
      {6, "urls extracted from body"}, {7, "No area specified"}, {134, "urls extracted from body"},
  };
  for (const Name& row : names) EXPECT_EQ(MessageAreaName(row.area), row.name) << int(row.area);
  EXPECT_EQ(MessageAreaFromName("test on the DECODED BODY HTML of it"), maDecodedBodyHtml);
  EXPECT_EQ(MessageAreaFromName("nothing known"), maWholeMessageUndecoded);

  TEmailMsgRef msg = Scratch(kAlternative);
  TStringList whole;
  msg->GetRawText(whole, true);
  struct Row {
    std::uint8_t area;
    Lines expected;
  } rows[] = {
      {1,
       {"Subject: Re: Fw: Cheap offer today",
        "Content-Type: multipart/alternative; boundary=\"a\""}},
      {5, {"<p>html <b>words</b> here</p>"}},
      {6, {"http://plain.com/x"}},
  };
  for (const Row& row : rows) {
    TStringList lines{"old"};
    msg->GetArea(row.area, lines);
    EXPECT_EQ(lines.ToVector(), row.expected) << int(row.area);
  }
  for (std::uint8_t area : {0, 7, 134}) {
    TStringList lines;
    msg->GetArea(area, lines);
    EXPECT_EQ(lines.ToVector(), whole.ToVector()) << int(area);
  }
  TStringList body;
  msg->GetArea(maBodyUndecoded, body);
  EXPECT_EQ(body[0], "--a");
  EXPECT_EQ(body.Count(), whole.Count() - 3);
}

TEST(EmailMsgViews, UrlsAreSortedUniqueAndCached) {
  TEmailMsgRef msg = Scratch(
      "Content-Type: multipart/alternative; boundary=a\r\n\r\n--a\r\nContent-Type: "
      "text/plain\r\n\r\n"
      "see http://b.com/two and http://a.com/one\r\n--a\r\nContent-Type: text/html\r\n\r\n"
      "<a href=\"http://a.com/one?x=1&amp;y=2\">x</a> http://b.com/two\r\n--a--\r\n");
  TStringList urls;
  msg->GetUrls(urls);
  EXPECT_EQ(urls.ToVector(),
            (Lines{"http://a.com/one", "http://a.com/one?x=1&y=2", "http://b.com/two"}));
  {
    TCriticalSectionGuard guard(msg->MessageLock());
    TEmailMsgPart* plain = nullptr;
    TEmailMsgPart* html = nullptr;
    msg->GetTextParts(plain, html);
    plain->EncodeFromStringList(test::ListOf({"now http://c.com/three"}), false);
    html->EncodeFromStringList(test::ListOf({"<p>none</p>"}), false);
  }
  msg->GetUrls(urls);
  EXPECT_EQ(urls.Count(), 3);
  msg->ClearCaches();
  msg->GetUrls(urls);
  EXPECT_EQ(urls.ToVector(), Lines{"http://c.com/three"});
}

TEST(EmailMsgViews, BayesianWords) {
  struct Row {
    const char* what;
    std::string text;
    double ratio;
  } rows[] = {
      {"not alternative", "Content-Type: text/html\r\n\r\n<p>x</p>\r\n", -1},
      {"alternative without HTML",
       "Content-Type: multipart/alternative; boundary=a\r\n\r\n--a\r\nContent-Type: "
       "text/plain\r\n\r\n"
       "p\r\n--a--\r\n",
       -3},
      {"alternative without plain",
       "Content-Type: multipart/alternative; boundary=a\r\n\r\n--a\r\nContent-Type: "
       "text/html\r\n\r\n"
       "h\r\n--a--\r\n",
       -2},
      // plain: plain words here httpplaincomx; html: html words here -> 2 + 1 of 7.
      {"both", kAlternative, 3.0 / 7.0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TEmailMsgRef msg = Scratch(row.text);
    TStringList words;
    EXPECT_DOUBLE_EQ(msg->GetBayesianWords(words, false), row.ratio);
  }
  TEmailMsgRef msg = Scratch(kAlternative);
  TStringList words;
  msg->GetBayesianWords(words, true);
  EXPECT_EQ(words.ToVector(), (Lines{"html", "words", "here", "plain", "httpplaincomx", "Cheap!",
                                     "offer!", "today!"}));
  // Kept until the caches go, whatever changes meanwhile.
  TStringList again;
  EXPECT_DOUBLE_EQ(msg->GetBayesianWords(again, true), 3.0 / 7.0);
  EXPECT_EQ(again.ToVector(), words.ToVector());
}

TEST(EmailMsgViews, HtmlTags) {
  TEmailMsgRef msg = Scratch(
      "Content-Type: text/html\r\n\r\n<!DOCTYPE html><HTML><body bgcolor=white><o:p></o:p>"
      "<a href=\"x\">a</a><br><A HREF=y>b</a><img src=x></BODY></html>\r\n");
  TStringList tags;
  EXPECT_TRUE(msg->GetHtmlTags(tags, false));
  EXPECT_EQ(tags.ToVector(), (Lines{"<html>", "<body>", "<a>", "</a>", "<br>", "<a>", "</a>",
                                    "<img>", "</body>", "</html>"}));
  EXPECT_TRUE(msg->GetHtmlTags(tags, true));
  EXPECT_EQ(tags.Count(), 8);
  TEmailMsgRef plain = Scratch("Subject: s\r\n\r\nx\r\n");
  EXPECT_FALSE(plain->GetHtmlTags(tags, false));
  EXPECT_TRUE(tags.Empty());
}

// ---------------------------------------------------------------------------
// Checks and counts

std::string WithAttachment(const std::string& type, const std::string& name) {
  return "Content-Type: multipart/mixed; boundary=m\r\n\r\n--m\r\nContent-Type: "
         "text/plain\r\n\r\np\r\n"
         "--m\r\nContent-Type: " +
         type + "\r\nContent-Disposition: attachment; filename=\"" + name +
         "\"\r\n\r\nxx\r\n--m--\r\n";
}

TEST(EmailMsgViews, AttachmentTypes) {
  struct Row {
    const char* type;
    const char* name;
    bool mismatch;
    bool executable;
  } rows[] = {
      {"text/html", "report.HTML", false, false},
      {"application/octet-stream", "report.HTML", true, false},
      {"application/octet-stream", "setup.exe", true, true},
      {"application/javascript", "notes.JS", false, true},
      {"application/msword", "a.doc", false, false},
      {"application/octet-stream", "a.doc", true, false},
      {"application/vnd.ms-powerpoint", "a.ppt", false, false},
      {"text/plain", "a.vbs", true, true},
      {"image/jpeg", "photo.jpeg", false, false},
      {"image/png", "photo.jpg", true, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.type) + " " + row.name);
    TEmailMsgRef msg = Scratch(WithAttachment(row.type, row.name));
    EXPECT_EQ(msg->HasMismatchedAttachmentType(), row.mismatch);
    EXPECT_EQ(msg->HasExecutableAttachment(), row.executable);
    EXPECT_EQ(msg->CountAttachments(), 1);
  }
}

TEST(EmailMsgViews, CatalogueCounts) {
  struct Row {
    const char* html;
    int count;
  } rows[] = {
      {"<p>&#65;\r\nB</p>", 1},
      {"<p>&#60;&#34;&#38;&#62;\r\nx</p>", 0},
      {"<p>&#65; one line</p>", 0},
      {"&#20;&#21;&#125;&#126;&#0065;\r\n", 3},
  };
  for (const Row& row : rows) {
    TEmailMsgRef msg = Scratch(std::string("Content-Type: text/html\r\n\r\n") + row.html + "\r\n");
    EXPECT_EQ(msg->SA_CountUnnecessaryHtmlEncoding(), row.count) << row.html;
  }

  TEmailMsgRef html = Scratch("Content-Type: text/html\r\n\r\n" + std::string(41, 'x') + "\r\n" +
                              std::string(40, 'y') + "\r\n");
  EXPECT_TRUE(html->IsHtmlWithoutCharset());
  EXPECT_EQ(html->CountLongLines(), 1);
  EXPECT_EQ(html->GetMaxLineLength(false), 41);
  TEmailMsgRef charset = Scratch("Content-Type: text/html; charset=utf-8\r\n\r\nx\r\n");
  EXPECT_FALSE(charset->IsHtmlWithoutCharset());

  TEmailMsgRef base64 = Scratch(
      "Content-Type: multipart/mixed; boundary=m\r\n\r\n--m\r\nContent-Type: text/plain; "
      "charset=utf-8\r\nContent-Transfer-Encoding: base64\r\n\r\naGk=\r\n--m--\r\n");
  EXPECT_TRUE(base64->HasBase64TextPart());
  EXPECT_FALSE(html->HasBase64TextPart());

  TEmailMsgRef signed_ = Scratch(
      "Content-Type: multipart/signed; micalg=pgp-sha1;\r\n "
      "protocol=\"application/pgp-signature\"; "
      "boundary=s\r\n\r\n--s\r\nContent-Type: text/plain\r\n\r\nx\r\n--s\r\nContent-Type: "
      "application/pgp-signature\r\n\r\nsig\r\n--s--\r\n");
  EXPECT_TRUE(signed_->HasPgpSignature());
  EXPECT_FALSE(html->HasPgpSignature());
}

TEST(EmailMsgViews, ContentLocationsIdsAndChecksumNames) {
  TEmailMsgRef msg = Scratch(
      "Content-Type: multipart/related; boundary=r\r\n\r\n--r\r\nContent-Type: text/html\r\n\r\n"
      "<img src=cid:one>\r\n--r\r\nContent-Type: image/gif\r\nContent-ID: <one@x>\r\n"
      "Content-Location: a b.gif\r\nContent-Disposition: attachment; filename=\"a.gif\"\r\n"
      "Content-Transfer-Encoding: base64\r\n\r\nR0lGODlh\r\n--r--\r\n");
  TStringList lines;
  msg->GetContentIds(lines);
  EXPECT_EQ(lines.ToVector(), Lines{"one@x"});
  lines.Clear();
  msg->GetContentLocations(lines);
  EXPECT_EQ(lines.ToVector(), Lines{"ab.gif"});
  std::uint32_t sum = 0;
  {
    TCriticalSectionGuard guard(msg->MessageLock());
    sum = msg->GetParts().Items(2)->CheckSum();
  }
  ASSERT_NE(sum, 0u);
  std::string name = "unchanged";
  msg->GetAttachmentNameByCheckSum(sum + 1, name);
  EXPECT_EQ(name, "unchanged");
  msg->GetAttachmentNameByCheckSum(0, name);  // the checksum of content that did not decode
  EXPECT_EQ(name, "unchanged");
  msg->GetAttachmentNameByCheckSum(sum, name);
  EXPECT_EQ(name, "a.gif");
}

TEST(EmailMsgViews, RepetitionFactorNeverDividesByANonPositiveCount) {
  TEmailMsgRef msg = Scratch("Subject: s\r\n\r\nx\r\n");
  TMsgSearchRec record;
  InitMsgSearchRec(record);
  record.Kind = kMatchRepetition;
  record.ItemId = 10;
  for (std::int32_t times : {0, -2}) {
    record.TimesEncountered = times;
    msg->SearchRecs() = {record};
    EXPECT_EQ(msg->GetRepetitionFactor(), 0.0) << times;
  }
  record.TimesEncountered = 4;
  msg->SearchRecs() = {record};
  EXPECT_DOUBLE_EQ(msg->GetRepetitionFactor(), 2.5);
}

// ---------------------------------------------------------------------------
// What depends on the source account, with and without one

class EmailMsgViewsAccounts : public test::MessageFolderTest {
 protected:
  EmailMsgViewsAccounts() {
    StartAccountsModule();
    Local = GlobalLocalAccounts().Add();
    Local->SetUserId("user");
    Remote = Local->RemoteAccounts->Add();
  }
  ~EmailMsgViewsAccounts() override { EndAccountsModule(); }

  TEmailMsgRef FromRemote(const std::string& text) {
    TEmailMsgRef msg = Scratch(text);
    msg->FSetSourceRemoteAccount(Remote);
    return msg;
  }

  TLocalAccountRef Local;
  TRemoteAccountRef Remote;
};

TEST_F(EmailMsgViewsAccounts, AccountAddressInHeaders) {
  const std::string text =
      "From: Sender <s@x.example>\r\nTo: \"Me\" <Me@Home.example>, other@x.example\r\n"
      "X-MDaemon-Deliver-To: box@home.example\r\n\r\nbody\r\n";
  EXPECT_EQ(Scratch(text)->AccountAddressNotInHeaders(), 2);  // no source account
  struct Row {
    const char* address;
    int answer;
  } rows[] = {
      {"", 2},
      {"me@192.168.1.10", 2},
      {"me@home.example", 0},
      {"box@home.example", 0},
      {"nobody@home.example", 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.address);
    Remote->SetEmailAddress(row.address);
    EXPECT_EQ(FromRemote(text)->AccountAddressNotInHeaders(), row.answer);
  }
  Remote->SetEmailAddress("me@home.example");
  EXPECT_EQ(FromRemote("Subject: no addresses\r\n\r\nx\r\n")->AccountAddressNotInHeaders(), 1);
}

TEST_F(EmailMsgViewsAccounts, FromHotmail) {
  const std::string plain = "Subject: s\r\n\r\nx\r\n";
  EXPECT_FALSE(Scratch(plain)->IsFromHotmail());
  EXPECT_FALSE(FromRemote(plain)->IsFromHotmail());
  // A Received line that is a web-mail relay's host name as a whole.
  EXPECT_TRUE(
      Scratch("Received: from a by b\r\nReceived: bay0-omc1-s12.bay0.hotmail.com\r\n\r\nx\r\n")
          ->IsFromHotmail());
  Remote->SetHost("Hotmail", false);
  EXPECT_TRUE(FromRemote(plain)->IsFromHotmail());
}

// ---------------------------------------------------------------------------
// The corpus

// Every view of every corpus message: none fails, the lists agree with each
// other, and none changes the message.
TEST(EmailMsgViewsCorpus, EveryMessageThroughEveryView) {
  const std::vector<std::string> files = test::CorpusFiles();
  if (files.empty()) GTEST_SKIP() << "no corpus";
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    std::string bytes = test::ReadFileBytes(file);
    if (bytes.rfind("From ", 0) == 0) bytes.erase(0, bytes.find('\n') + 1);
    TEmailMsgRef msg = Scratch(bytes);
    msg->GetParts();
    TStringList before;
    msg->GetRawText(before, true);

    TStringList lines;
    for (std::uint8_t area = 0; area <= kMessageAreaCount; ++area) msg->GetArea(area, lines);
    TStringList urls;
    msg->GetUrls(urls);
    msg->GetArea(maBodyUrls, lines);
    EXPECT_EQ(lines.ToVector(), urls.ToVector());
    for (int i = 1; i < urls.Count(); ++i) EXPECT_NE(urls[i - 1], urls[i]);
    std::string text;
    msg->GetVeryPlainText(text, true, 1000);
    msg->GetBayesianWords(lines, true);
    msg->GetHtmlTags(lines, true);
    msg->GetContentIds(lines);
    msg->GetContentLocations(lines);
    msg->GetAlternativePart();
    msg->CountAttachments();
    msg->HasBase64TextPart();
    msg->IsHtmlWithoutCharset();
    msg->CountLongLines();
    msg->SA_CountUnnecessaryQuotedPrintable();
    msg->SA_CountUnnecessaryHtmlEncoding();
    msg->GetMaxQuotedPrintableLineLength();
    msg->GetMaxLineLength(true);
    msg->HasMismatchedAttachmentType();
    msg->HasExecutableAttachment();
    msg->HasPgpSignature();
    msg->AccountAddressNotInHeaders();
    msg->GetPartHeaderFlags();
    msg->IsFromHotmail();
    msg->GetMailingList();
    {
      TCriticalSectionGuard guard(msg->MessageLock());
      TEmailMsgPart* plain = nullptr;
      TEmailMsgPart* html = nullptr;
      msg->GetTextParts(plain, html);
      if (html != nullptr) {
        html->GetExtImageRefUrls(lines, true);
        html->GetUrls(lines);
        html->GetFormActions(text);
      }
    }
    TStringList after;
    msg->GetRawText(after, true);
    EXPECT_TRUE(after.ToVector() == before.ToVector());
  }
}

}  // namespace
}  // namespace halvorn
