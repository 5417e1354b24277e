// The header evaluations of the rule set: one table of small headers per
// group of evaluations, with the mended cases (word boundaries in subject ids
// and the eBay hop, the Date-less message id) stated as rows.
#include "classify/header_evaluations.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "message/email_header.h"

namespace halvorn {
namespace {

struct Row {
  const char* Name;
  std::string Header;
  int Expected;  // Boolean as 0/1, trit, or number
};

int Run(const std::function<int(TEmailHeader&)>& evaluation, const std::string& text) {
  TEmailHeader header;
  header.ParseText(text);
  return evaluation(header);
}

void Check(const std::function<int(TEmailHeader&)>& evaluation, const std::vector<Row>& rows) {
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    EXPECT_EQ(Run(evaluation, row.Header), row.Expected);
  }
}

std::string Subject(const std::string& subject) { return "Subject: " + subject + "\r\n"; }

TEST(HeaderEvaluations, Subjects) {
  Check([](TEmailHeader& h) { return int(SubjectHasUniqueId(h)); },
        {{"no subject", "From: a@b.test\r\n", 0},
         {"plain words", Subject("Meeting tomorrow"), 0},
         {"dashes then id", Subject("Hello ------- ab12"), 1},
         // "\b" is a word boundary here, not the letter b.
         {"seven digits after a word boundary", Subject("Hello 1234567"), 1},
         {"pling then digits", Subject("Buy now! 4321"), 1},
         {"bracketed id after blanks", Subject("Offer    [12345]"), 1},
         {"gateway id", Subject("Note abcdefg-hijklmn-12-34"), 1}});
  Check([](TEmailHeader& h) { return int(SubjectIsAllCaps(h)); },
        {{"twelve capitals", Subject("FREE MONEY NOW"), 1},
         {"five capitals", Subject("HELLO"), 0},
         {"one small letter", Subject("FREE MONEY NOw"), 0}});
  Check([](TEmailHeader& h) { return int(SubjectFullOf8Bit(h)); },
        {{"four 8-bit bytes", Subject("\xE4\xE5\xE6\xE7"), 1},
         {"three 8-bit bytes", Subject("\xE4\xE5\xE6"), 0},
         {"mostly ASCII", Subject("abcdef\xE4\xE5\xE6\xE7"), 0}});
  Check([](TEmailHeader& h) { return int(SubjectHasSpaceRun(h)); },
        {{"five blanks", Subject("a     b"), 1}, {"four blanks", Subject("a    b"), 0}});
  Check([](TEmailHeader& h) { return int(SubjectWasEncoded(h)); },
        {{"encoded", Subject("=?iso-8859-1?Q?Hello_there?="), 1},
         {"plain", Subject("Hello there"), 0}});
  Check([](TEmailHeader& h) { return int(SubjectNeedlesslyEncoded(h)); },
        {{"ASCII behind encoding", Subject("=?iso-8859-1?Q?Hello_there?="), 1},
         {"8-bit behind encoding", Subject("=?iso-8859-1?Q?H=E9llo?="), 0}});
}

TEST(HeaderEvaluations, DatesAndZones) {
  const std::string received =
      "Received: from mx.example.test (mx.example.test [10.1.2.3]) by in.example.test with SMTP;"
      " Mon, 2 Sep 2002 12:00:00 -0500\r\n";
  Check([](TEmailHeader& h) { return DateToReceivedHours(h); },
        {{"no date", received, 0},
         {"no received line", "Date: Mon, 2 Sep 2002 12:00:00 +0000\r\n", 0},
         {"date five hours later", received + "Date: Mon, 2 Sep 2002 22:00:00 +0000\r\n", 5},
         {"half an hour rounds to even", received + "Date: Mon, 2 Sep 2002 17:30:00 +0000\r\n", 0},
         {"a day and a half earlier", received + "Date: Sun, 1 Sep 2002 05:00:00 +0000\r\n", -36}});
  Check([](TEmailHeader& h) { return FirstHopZoneDifference(h); },
        {{"+0200 against -0500", received + "Date: Mon, 2 Sep 2002 19:00:00 +0200\r\n", 7},
         {"+1200 against -1200",
          "Received: from a.test (a.test [10.0.0.1]) by b.test; Mon, 2 Sep 2002 12:00:00 -1200\r\n"
          "Date: Mon, 2 Sep 2002 12:00:00 +1200\r\n",
          0},
         {"no zone in Date", received + "Date: Mon, 2 Sep 2002 19:00:00\r\n", -1},
         {"only a local line",
          "Received: from localhost by Quorvantis; Mon, 2 Sep 2002 12:00:00 -0500\r\n"
          "Date: Mon, 2 Sep 2002 19:00:00 +0200\r\n",
          -1}});
}

TEST(HeaderEvaluations, ReceivedPath) {
  Check([](TEmailHeader& h) { return int(IsInternalMail(h)); },
        {{"no received line", "From: a@b.test\r\n", 1},
         {"own line", "Received: from x by Quorvantis; Mon, 2 Sep 2002 12:00:00 +0000\r\n", 1},
         {"outside line", "Received: from x by y.test; Mon, 2 Sep 2002 12:00:00 +0000\r\n", 0}});
  Check([](TEmailHeader& h) { return int(HasForgedAolRelay(h)); },
        {{"aol relay without its id", "Received: from rly-xa01.mx.aol.com by x.test\r\n", 1},
         {"aol relay with its id",
          "Received: from rly-xa01.mx.aol.com by x.test with ESMTP id RELAY1\r\n", 0}});
  const std::string gateway =
      "Received: from sender.test by gw05 with ESMTP; Mon, 2 Sep 2002 12:00:00 +0000\r\n";
  Check([](TEmailHeader& h) { return int(HasForgedGatewayReceived(h)); },
        {{"by-host without a full stop", gateway, 1},
         {"by-host with a full stop",
          "Received: from sender.test by gw05.example.test with ESMTP; Mon, 2 Sep 2002 12:00:00 "
          "+0000\r\n",
          0}});
  Check([](TEmailHeader& h) { return int(FromDomainInFirstReceived(h)); },
        {{"domain in the by-host",
          "From: a@example.test\r\nReceived: from x (x [1.2.3.4]) by mail.example.test; Mon, 2 Sep "
          "2002 12:00:00 +0000\r\n",
          1},
         {"no received line", "From: a@example.test\r\n", 0}});
  // A genuine eBay sender shows an eBay-to-eBay hop (510); a forged one
  // does not (511).
  const std::string ebayFrom = "From: Seller <aw-confirm@ebay.com>\r\n";
  const std::string ebayHop =
      "Received: from mx1.ebay.com (mx1.ebay.com [66.135.195.180]) by mail.ebay.com with ESMTP id "
      "1; Mon, 2 Sep 2002 12:00:00 +0000\r\n";
  const std::string otherHop =
      "Received: from spam.test (spam.test [10.9.8.7]) by mx.example.test with SMTP; Mon, 2 Sep "
      "2002 12:00:00 +0000\r\n";
  Check([](TEmailHeader& h) { return int(CheckDomainReceived(h, "ebay.com", true)); },
        {{"genuine", ebayFrom + ebayHop, 1},
         {"forged", ebayFrom + otherHop, 0},
         {"not an eBay sender", "From: a@b.test\r\n" + ebayHop, 0}});
  Check([](TEmailHeader& h) { return int(CheckDomainReceived(h, "ebay.com", false)); },
        {{"genuine", ebayFrom + ebayHop, 0},
         {"forged", ebayFrom + otherHop, 1},
         {"not an eBay sender", "From: a@b.test\r\n" + otherHop, 0}});
}

TEST(HeaderEvaluations, WebMailForgeries) {
  Check([](TEmailHeader& h) { return int(IsForgedHotmail(h)); },
        {{"no received line", "From: a@hotmail.com\r\nX-Originating-IP: [1.2.3.4]\r\n", 0},
         {"no originating address", "From: a@hotmail.com\r\n" "Received: from x by y\r\n", 1},
         {"hotmail web hop",
          "From: a@hotmail.com\r\nX-Originating-IP: [1.2.3.4]\r\n"
          "Received: from 1.2.3.4 by lw11fd.law11.hotmail.msn.com with HTTP;\tMon, 2 Sep 2002\r\n",
          0},
         {"foreign hop",
          "From: a@hotmail.com\r\nX-Originating-IP: [1.2.3.4]\r\nReceived: from x by y.test\r\n", 1},
         {"not hotmail", "From: a@b.test\r\n", 0}});
  Check([](TEmailHeader& h) { return int(IsForgedYahoo(h)); },
        {{"web hop", "From: a@yahoo.com\r\nReceived: from [1.2.3.4] by web123.mail.yahoo.com via HTTP\r\n", 0},
         {"foreign hop", "From: a@yahoo.com\r\nReceived: from x by y.test with SMTP\r\n", 1},
         {"no received line", "From: a@yahoo.com\r\n", 0}});
  Check([](TEmailHeader& h) { return int(IsForgedJuno(h)); },
        {{"no mailer", "From: a@juno.com\r\n", 1},
         {"juno hop",
          "From: a@juno.com\r\nX-Mailer: Juno 5.0\r\n"
          "Received: from m1.juno.com (m1.juno.com [64.136.1.1]) by mx.test\r\n",
          0}});
  Check([](TEmailHeader& h) { return int(IsForgedEudoramail(h)); },
        {{"no sender address", "From: a@eudoramail.com\r\n", 1},
         {"relay hop",
          "From: a@eudoramail.com\r\nX-Sender-IP: 1.2.3.4\r\nReceived: from x by mail.whowhere.com; "
          "Mon\r\n",
          0}});
}

TEST(HeaderEvaluations, PresenceAndNames) {
  std::string manyCc = "CC: ";
  for (int i = 0; i < 21; ++i) manyCc += (i ? ", " : "") + std::string("u") + std::to_string(i) + "@x.test";
  std::string twentyCc = "CC: ";
  for (int i = 0; i < 20; ++i) twentyCc += (i ? ", " : "") + std::string("u") + std::to_string(i) + "@x.test";
  Check([](TEmailHeader& h) { return int(HasManyCCAddresses(h)); },
        {{"21 addresses", manyCc + "\r\n", 1}, {"20 addresses", twentyCc + "\r\n", 0}});
  Check([](TEmailHeader& h) { return int(HasNoRecipientHeader(h)); },
        {{"none", "From: a@b.test\r\n", 1}, {"apparently-to", "Apparently-To: a@b.test\r\n", 0}});
  Check([](TEmailHeader& h) { return int(MissingMimeOle(h)); },
        {{"priority only", "X-MSMail-Priority: Normal\r\n", 1},
         {"both", "X-MSMail-Priority: Normal\r\nX-MimeOLE: Produced By X\r\n", 0}});
  Check([](TEmailHeader& h) { return int(OutlookHeadersWithoutOutlook(h)); },
        {{"foreign mailer", "X-Mailer: Bulk 1.0\r\nX-MSMail-Priority: Normal\r\n", 1},
         {"microsoft mailer", "X-Mailer: Microsoft Outlook\r\nX-MSMail-Priority: Normal\r\n", 0}});
  Check([](TEmailHeader& h) { return int(PriorityWithoutMailer(h)); },
        {{"priority, no mailer", "X-Priority: 3\r\n", 1},
         {"with mailer", "X-Priority: 3\r\nX-Mailer: Mutt\r\n", 0}});
  Check([](TEmailHeader& h) { return int(FromNameMatchesAddress(h)); },
        {{"John Smith, jsmith", "From: John Smith <jsmith@example.test>\r\n", 1},
         {"unrelated", "From: Offers <xq7z@example.test>\r\n", 0},
         {"no name", "From: jsmith@example.test\r\n", 0}});
}

TEST(HeaderEvaluations, MailProgramFingerprints) {
  const std::string oe = "X-Mailer: Microsoft Outlook Express 6.00.2600.0000\r\n";
  Check([](TEmailHeader& h) { return int(BoundaryMatchesMailer(h)); },
        {{"express, first shape",
          oe + "Content-Type: multipart/alternative; boundary=\"----_=_NextPart_001_01C25A1B.12345678\"\r\n", 1},
         {"express, second shape",
          oe + "Content-Type: multipart/alternative; boundary=\"----=_NextPart_000_0007_01C25A1B.12345678\"\r\n", 1},
         {"express, foreign shape",
          oe + "Content-Type: multipart/alternative; boundary=\"abc\"\r\n", 0},
         {"our own boundary",
          oe + "Content-Type: multipart/alternative; boundary=\"Quor----=_NextPart_000_0007_01C25A1B.12345678\"\r\n", 0}});
  Check([](TEmailHeader& h) { return int(OutlookExpressMsgIdCheck(h)); },
        {{"no mailer", "Message-Id: <x@y>\r\n", kTriteUnknown},
         {"no id", oe, kTriteNo},
         {"express id", oe + "Message-Id: <001a2bc3d4e5$01234567$89abcdef@host>\r\n", kTriteYes},
         {"foreign id", oe + "Message-Id: <x@y>\r\n", kTriteNo}});
  Check([](TEmailHeader& h) { return int(OutlookExpressHeadersCheck(h)); },
        {{"missing headers", oe, kTriteNo},
         {"no express", "X-Mailer: Mutt\r\n", kTriteUnknown}});
  Check([](TEmailHeader& h) { return int(MsMsgIdBoundaryCheck(h)); },
        {{"forty hex digits, no boundary",
          "Message-Id: <0123456789ABCDEF0123456789ABCDEF01234567@host>\r\n", kTriteYes},
         {"nothing known", "Message-Id: <x@y>\r\n", kTriteUnknown}});
  Check([](TEmailHeader& h) { return int(InReplyToConforms(h)); },
        {{"none", "From: a@b\r\n", 0},
         {"known shape", "In-Reply-To: <0123456789ABCDEF0123456789ABCDEF01234567@host>\r\n", 1},
         {"other", "In-Reply-To: <abc@host>\r\n", 0}});
  Check([](TEmailHeader& h) { return int(ReferencesConform(h)); },
        {{"one known among others",
          "References: <abc@host>, <0123456789ABCDEF0123456789ABCDEF01234567@host>\r\n", 1},
         {"none known", "References: <abc@host>\r\n", 0}});
}

TEST(HeaderEvaluations, BlockListsNeedAMessage) {
  // A header without a message, or with the network tests off, asks nothing
  // and answers false; the retired lists have closed zones.
  TEmailHeader header;
  header.ParseText(
      "Received: from x (x [203.0.113.9]) by mx.test; Mon, 2 Sep 2002 12:00:00 +0000\r\n");
  EXPECT_FALSE(InSpamhausSbl(header, 0));
  EXPECT_FALSE(IsMultihopFudge(header));
  EXPECT_EQ(FixedBlockListRow(TFixedBlockList::SpamhausSbl).Domain, "sbl.spamhaus.org");
  EXPECT_TRUE(IsClosedDnsrblZone(FixedBlockListRow(TFixedBlockList::Ordb).Domain));
  EXPECT_EQ(FixedBlockListRow(TFixedBlockList::IpWhois).Response, "127.0.0.6");
  {
    TScopedFixedBlockListZone zone("bl.test");
    EXPECT_EQ(FixedBlockListRow(TFixedBlockList::SpamCop).Domain, "spamcop.bl.test");
  }
  EXPECT_EQ(FixedBlockListRow(TFixedBlockList::SpamCop).Domain, "bl.spamcop.net");
}

TEST(HeaderEvaluations, HostileHeadersDoNotCrash) {
  std::string many;
  for (int i = 0; i < 1500; ++i)
    many += "Received: from h" + std::to_string(i) + " (d" + std::to_string(i) +
            ".dyn.test [10.0.0.1]) by x; broken date\r\n";
  for (const std::string& text :
       {many, std::string("Date: 99 Foo 99999 99:99:99 +9999\r\nSubject: \r\n"),
        std::string("From: <@>\r\nMessage-Id: <\r\nContent-Type: multipart/x; boundary=\r\n")}) {
    TEmailHeader header;
    header.ParseText(text);
    DateToReceivedHours(header);
    FirstHopZoneDifference(header);
    HasDialupMidReceived(header);
    IsDialupFromOtherZone(header);
    HasForgedGatewayReceived(header);
    MsMsgIdBoundaryCheck(header);
    SubjectHasUniqueId(header);
    IsInternalMail(header);
  }
}

}  // namespace
}  // namespace halvorn
