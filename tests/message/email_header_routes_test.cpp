// The header's readings of addresses, Received lines, the last external
// relay and the mailing-list fingerprint.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/net/host_names.h"
#include "foundation/time/clock.h"
#include "message/email_header.h"
#include "message/mailing_list.h"
#include "support/namespace_dns.h"
#include "support/network_namespace.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using Lines = std::vector<std::string>;

// A header of the given Received values, top first, below a Return-Path
// line and above a Subject line.
std::string ReceivedHeader(const Lines& received) {
  std::string text = "Return-Path: <a@example.com>\r\n";
  for (const std::string& value : received) text += "Received: " + value + "\r\n";
  return text + "Subject: s\r\n";
}

// ---------------------------------------------------------------------------
// Addresses

TEST(EmailHeaderAddresses, Collections) {
  TEmailHeader header;
  header.ParseText(
      "To: Ann <ann@example.com>, bob@example.org\r\n"
      "To: second@example.com\r\n"
      "Cc: =?iso-8859-1?Q?J=F6rg?= <jorg@example.net>\r\n"
      "BCC: undisclosed-recipients:;, hidden@example.com\r\n");
  const auto to = header.GetTo();
  ASSERT_NE(to, nullptr);
  ASSERT_EQ(to->Count(), 2);  // the first To only
  EXPECT_EQ(to->Items(1).Address, "bob@example.org");
  const auto cc = header.GetCC();
  ASSERT_NE(cc, nullptr);
  EXPECT_EQ(cc->Items(0).DisplayName, "J\xF6rg");  // decoded
  const auto both = header.GetToAndCC();
  ASSERT_NE(both, nullptr);
  EXPECT_EQ(both->Count(), 3);

  // GetAddresses reads the value unfolded but not decoded.
  TEmailAddressCollection raw;
  header.GetAddresses("CC", raw);
  ASSERT_EQ(raw.Count(), 1);
  EXPECT_EQ(raw.Items(0).DisplayName, "=?iso-8859-1?Q?J=F6rg?=");

  TStringList recipients;
  header.GetRecipients(recipients);
  EXPECT_EQ(recipients.ToVector(), (Lines{"ann@example.com", "bob@example.org", "jorg@example.net",
                                          "hidden@example.com"}));
  std::string first;
  EXPECT_TRUE(header.GetFirstRecipient(first));
  EXPECT_EQ(first, "ann@example.com");

  double score = -1;
  EXPECT_TRUE(header.RecipientListScore(false, score));
  EXPECT_EQ(score, both->RecipientListScore(false));
}

TEST(EmailHeaderAddresses, NoRecipients) {
  TEmailHeader header;
  header.ParseText("To: \r\nSubject: s\r\n");
  EXPECT_NE(header.GetTo(), nullptr);  // present, if empty
  EXPECT_EQ(header.GetCC(), nullptr);
  EXPECT_EQ(header.GetToAndCC(), nullptr);
  double score = -1;
  EXPECT_FALSE(header.RecipientListScore(true, score));
  EXPECT_EQ(score, 0.0);
  std::string first = "junk";
  EXPECT_FALSE(header.GetFirstRecipient(first));
  EXPECT_EQ(first, "");
}

TEST(EmailHeaderAddresses, SenderAddresses) {
  TEmailHeader header;
  header.ParseText(
      "From: \"Joe\" <Joe@Example.com>\r\nReply-To: reply@example.com (Joe)\r\n"
      "X-Sender: xs@example.com\r\nSender: <list-bounces@example.org>\r\n"
      "X-ReturnPath: no address\r\n");
  using Getter = bool (TEmailHeader::*)(std::string&);
  const std::pair<Getter, std::string> rows[] = {
      {&TEmailHeader::GetFromAddress, "Joe@Example.com"},
      {&TEmailHeader::GetReplyToAddress, "reply@example.com"},
      {&TEmailHeader::GetXSenderAddress, "xs@example.com"},
      {&TEmailHeader::GetSenderAddress, "list-bounces@example.org"},
      {&TEmailHeader::GetXReturnPathAddress, "@"},
  };
  for (const auto& [getter, expected] : rows) {
    SCOPED_TRACE(expected);
    std::string address;
    EXPECT_TRUE((header.*getter)(address));
    EXPECT_EQ(address, expected);
  }
  TEmailHeader empty;
  std::string address = "junk";
  EXPECT_FALSE(empty.GetFromAddress(address));
  EXPECT_EQ(address, "");
}

// ---------------------------------------------------------------------------
// Received lines

TEST(EmailHeaderReceived, CountingFromBothEnds) {
  TEmailHeader header;
  header.ParseText(
      "Received: top\r\nRECEIVED: middle\r\n  folded\r\nSubject: s\r\nreceived: bottom Quor\r\n"
      "Received : not counted\r\n");
  EXPECT_EQ(header.ReceivedCount(), 3);
  struct Row {
    int n;
    bool found;
    std::string line;
  } rows[] = {
      {-1, true, "top"},
      {-2, true, "middle folded"},
      {-3, true, "bottom Quor"},
      {1, true, "bottom Quor"},
      {3, true, "top"},
      {0, false, ""},
      {-4, false, ""},
      {4, false, ""},
      {-2147483647 - 1, false, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.n);
    std::string line = "junk";
    EXPECT_EQ(header.GetReceivedLine(row.n, line), row.found);
    EXPECT_EQ(line, row.line);
    EXPECT_EQ(header.CreateReceivedLine(row.n) != nullptr, row.found);
  }
}

TEST(EmailHeaderReceived, OrderAndWrappingFlags) {
  struct Row {
    const char* what;
    std::string text;
    std::uint32_t countFlags;  // after ReceivedCount
    std::uint32_t readFlags;   // after reading every line too
  } rows[] = {
      {"all on top, folded", "Received: a\r\n b\r\nReceived: c\r\n d\r\nTo: x\r\n", 0, 0},
      {"below another header", "To: x\r\nReceived: a\r\n b\r\n", 0x400, 0x400},
      // The exception looks at the counted entry's own name.
      {"below Return-Path", "Return-Path: x\r\nReceived: a\r\n b\r\n", 0x400, 0x400},
      {"one line", "Received: a\r\n", 0, 0x200},
      {"one line of the program's own", "Received: by Quorvantis\r\n", 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TEmailHeader header;
    header.ParseText(row.text);
    const int count = header.ReceivedCount();
    EXPECT_EQ(header.GetFlags(), row.countFlags);
    std::string line;
    for (int n = 1; n <= count; ++n) header.GetReceivedLine(n, line);
    EXPECT_EQ(header.GetFlags(), row.readFlags);
  }
  TEmailHeader header;
  header.ParseText("To: x\r\nReturn-Path: a\r\nX-Message-Info: b\r\nreturn-path: c\r\n");
  EXPECT_EQ(header.CountHeader("Return-Path"), 2);
  EXPECT_EQ(header.GetFlags(), 0x400u);  // only "return-path" is not exactly the name
  header.Clear();
  header.ParseText("To: x\r\nX-Message-Info: b\r\n");
  EXPECT_EQ(header.CountHeader("X-Message-Info"), 1);
  EXPECT_EQ(header.GetFlags(), 0u);
}

TEST(EmailHeaderReceived, DatesAndTheArrivalHour) {
  ScopedClockForTests clock(EncodeDateTime(2003, 1, 1, 3, 0, 0));
  struct Row {
    const char* what;
    Lines received;
    int hour;
  } rows[] = {
      {"as written, zone not applied", {"from a by b; Mon, 22 Jul 2002 10:29:59 -0700"}, 10},
      {"a half rounds to even, down", {"from a by b; Mon, 22 Jul 2002 10:30:00 +0000"}, 10},
      {"a half rounds to even, up", {"from a by b; Mon, 22 Jul 2002 13:30:00 +0000"}, 14},
      {"late evening", {"from a by b; Mon, 22 Jul 2002 23:45:00 +0000"}, 24},
      {"the program's own line is passed over",
       {"Quorvantis; Mon, 22 Jul 2002 05:00:00 +0000",
        "from a by b; Mon, 22 Jul 2002 07:00:00 +0000"},
       7},
      {"a line without a date is passed over",
       {"from a by b; no date", "from c by d; x; Mon, 22 Jul 2002 08:00:00 +0000; y"},
       8},
      {"no readable date", {"from a by b"}, -1},
      {"no Received line", {}, -1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TEmailHeader header;
    header.ParseText(ReceivedHeader(row.received));
    EXPECT_EQ(header.GetReceivedHour(), row.hour);
    EXPECT_EQ(header.GetArrivalHour(), row.hour);
  }
  TEmailHeader header;
  header.ParseText(ReceivedHeader({"from a by b; Mon, 22 Jul 2002 10:29:59 -0700"}));
  TDateTime date = 0, zone = 0;
  EXPECT_EQ(header.GetReceivedDate(-1, date, zone) & kDateIrregular, 0);
  EXPECT_EQ(date, EncodeDateTime(2002, 7, 22, 10, 29, 59));
  EXPECT_DOUBLE_EQ(zone, -7.0 / 24);
  EXPECT_EQ(header.GetReceivedDate(2, date, zone), kDateEmpty);
  EXPECT_EQ(date, Now());
  EXPECT_EQ(zone, 0);
}

TEST(EmailHeaderReceived, SendingAddressOfALine) {
  TEmailHeader header;
  header.ParseText(ReceivedHeader({"from a (a.example [203.0.113.1]) by b", "from c by d"}));
  std::string address;
  EXPECT_TRUE(header.GetReceivedFromIP(-1, address));
  EXPECT_EQ(address, "203.0.113.1");
  EXPECT_TRUE(header.GetReceivedIP(2, address));
  EXPECT_EQ(address, "203.0.113.1");
  EXPECT_FALSE(header.GetReceivedIP(1, address));
  EXPECT_FALSE(header.GetReceivedIP(3, address));
  EXPECT_EQ(address, "");
}

// Chains as they reach the user: the program's own line on top, hops inside
// the user's network, web-mail relays and the relay that handed the message
// over.
TEST(EmailHeaderReceived, LastExternalRelay) {
  const std::string date = "; Mon, 22 Jul 2002 10:00:00 +0000";
  const std::string own = "Quorvantis from relay.example ([203.0.113.99]) by pc1" + date;
  const std::string local =
      "from localhost (localhost [127.0.0.1]) by mail.user.test (Postfix) with ESMTP" + date;
  const std::string lan = "from gw.user.test (gw.user.test [192.168.1.1]) by mail.user.test" + date;
  const std::string external =
      "from mx.sender.test (mx.sender.test [203.0.113.7]) by gw.user.test with ESMTP" + date;
  const std::string origin = "from pc.sender.test ([198.51.100.2]) by mx.sender.test" + date;
  struct Row {
    const char* what;
    Lines received;
    bool found;
    int index;
    std::string address;
  } rows[] = {
      {"past the own line and the local hops",
       {own, local, lan, external, origin},
       true,
       -4,
       "203.0.113.7"},
      {"the topmost line", {external, origin}, true, -1, "203.0.113.7"},
      {"only local hops", {local, lan}, false, 0, ""},
      {"only the own line", {own}, false, 0, ""},
      {"no address", {"from a by b" + date}, false, 0, ""},
      {"between two web-mail relays",
       {"from bay0-omc1-s12.bay0.hotmail.com ([65.54.246.148]) by bay0-omc3-s7.bay0.hotmail.com "
        "with Microsoft SMTPSVC" +
            date,
        "from mail pickup service by hotmail.com with Microsoft SMTPSVC" + date,
        "from [203.0.113.20] by lw15fd.law15.hotmail.msn.com with HTTP" + date},
       true,
       -3,
       "203.0.113.20"},
      {"from a web-mail relay to the user",
       {"from bay0-omc1-s12.bay0.hotmail.com ([65.54.246.148]) by mx.user.test" + date, origin},
       true,
       -1,
       "65.54.246.148"},
      {"a hop inside one organisation",
       {"from smtp.in.corp.example.com ([198.51.100.4]) by smtp.in.corp.mx.example.com" + date,
        "from pc.out.test ([203.0.113.30]) by smtp.in.corp.example.com" + date},
       true,
       -2,
       "203.0.113.30"},
      {"the bottom line counts even so",
       {"from smtp.in.corp.example.com ([198.51.100.4]) by smtp.in.corp.mx.example.com" + date},
       true,
       -1,
       "198.51.100.4"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TEmailHeader header;
    header.ParseText(ReceivedHeader(row.received));
    for (int pass = 0; pass < 2; ++pass) {  // the second answer comes from the cache
      int index = 99;
      std::string address = "junk";
      EXPECT_EQ(header.GetLastExternalReceivedIP(index, address), row.found);
      EXPECT_EQ(index, row.index);
      EXPECT_EQ(address, row.address);
    }
  }
  TEmailHeader none;
  int index = 99;
  std::string address;
  EXPECT_FALSE(none.GetLastExternalReceivedIP(index, address));
  EXPECT_EQ(index, -1);
  EXPECT_FALSE(none.GetLastExternalReceivedIP(index, address));
}

// The kept answer belongs to the lines it was found in.
TEST(EmailHeaderReceived, RelayAnswerFollowsTheLines) {
  const std::string external = "from mx.sender.test ([203.0.113.7]) by gw.user.test";
  const std::string other = "from mx.other.test ([198.51.100.9]) by gw.user.test";
  TEmailHeader header;
  header.ParseText(ReceivedHeader({external}));
  int index = 0;
  std::string address;
  ASSERT_TRUE(header.GetLastExternalReceivedIP(index, address));
  EXPECT_EQ(address, "203.0.113.7");

  header.ParseText(ReceivedHeader({other}));
  ASSERT_TRUE(header.GetLastExternalReceivedIP(index, address));
  EXPECT_EQ(address, "198.51.100.9");

  header.SetValue("Received", "from localhost ([127.0.0.1]) by gw.user.test");
  EXPECT_FALSE(header.GetLastExternalReceivedIP(index, address));
  EXPECT_EQ(index, 0);
}

// A hop from this computer's own address is no external relay. The own host
// name gets an address outside 127/8 and 192/8 from a DNS server of the
// test's own, in a network namespace of its own (support/namespace_dns.h).
TEST(EmailHeaderReceivedInNamespace, OwnAddressIsNoRelay) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(false);
  const std::string own = GetHostNameOrLocal();
  ASSERT_NE(own, "LocalHost");
  const test::PrivateNetworkDns dns({"host-record=" + own + ",203.0.113.77"});
  ASSERT_TRUE(dns.Ok()) << dns.Error();
  FinalizeHostNames();
  TEmailHeader header;
  header.ParseText(ReceivedHeader(
      {"from pc ([203.0.113.77]) by mail.user.test", "from mx.sender.test ([203.0.113.7]) by pc"}));
  int index = 0;
  std::string address;
  ASSERT_TRUE(header.GetLastExternalReceivedIP(index, address));
  EXPECT_EQ(index, -2);
  EXPECT_EQ(address, "203.0.113.7");
  FinalizeHostNames();
}

TEST(EmailHeaderReceived, WebmailHopIsAWholeLine) {
  TEmailHeader header;
  header.ParseText(
      ReceivedHeader({"from bay0-omc1-s12.bay0.hotmail.com ([65.54.246.148]) by mx.user.test"}));
  EXPECT_FALSE(header.HasHotmailReceivedHop());
  header.ParseText(ReceivedHeader({"from a by b", "bay0-omc1-s12.bay0.hotmail.com"}));
  EXPECT_TRUE(header.HasHotmailReceivedHop());
}

// ---------------------------------------------------------------------------
// Mailing lists

TEST(EmailHeaderMailingList, Fingerprint) {
  TEmailHeader header;
  header.ParseText(
      "List-Software: Mailman\r\nList-Digest: d\r\nList-Help: <mailto:h@x>\r\n"
      "List-Subscribe: <mailto:s@x>\r\nList-Unsubscribe: <mailto:u@x>\r\nList-Post: "
      "<mailto:p@x>\r\nList-Owner: o\r\nList-Archive: a\r\nList-Id: Talk <talk.x>\r\n"
      "Mailing-List: m\r\nPrecedence: bulk\r\nErrors-To: e@x\r\nX-BeenThere: b@x\r\n"
      "X-Return_Path: r@x\r\nX-Return-Path: not this\r\nSender: s@x\r\n"
      "Subject: =?iso-8859-1?Q?caf=E9?=\r\n");
  const std::unique_ptr<TMailingList> list = header.GetMailingList();
  EXPECT_EQ(list->List_Software, "Mailman");
  EXPECT_EQ(list->List_Digest, "d");
  EXPECT_EQ(list->List_Help, "<mailto:h@x>");
  EXPECT_EQ(list->List_Subscribe, "<mailto:s@x>");
  EXPECT_EQ(list->List_Unsubscribe, "<mailto:u@x>");
  EXPECT_EQ(list->List_Post, "<mailto:p@x>");
  EXPECT_EQ(list->List_Owner, "o");
  EXPECT_EQ(list->List_Archive, "a");
  EXPECT_EQ(list->List_ID, "Talk <talk.x>");
  EXPECT_EQ(list->Mailing_List, "m");
  EXPECT_EQ(list->Precedence, "bulk");
  EXPECT_EQ(list->Errors_To, "e@x");
  EXPECT_EQ(list->X_BeenThere, "b@x");
  EXPECT_EQ(list->X_Return_Path, "r@x");
  EXPECT_EQ(list->Sender, "");
  EXPECT_EQ(list->FLastSubject, "caf\xE9");
  EXPECT_EQ(list->Subscribed(), kTriteUnknown);
  EXPECT_EQ(list->MsgCount, 0);
  EXPECT_LT(list->UniqueId, 0x7FFFFFFFu);
  EXPECT_FALSE(list->IsEmpty());
  EXPECT_TRUE(TEmailHeader().GetMailingList()->IsEmpty());
}

TEST(EmailHeaderMailingList, LooksLikeAList) {
  struct Row {
    std::string header;
    bool list;
  } rows[] = {
      {"Subject: s", false},
      {"List-Id: <talk.example.org>", true},
      {"Mailing-List: contact talk-help@example.org", true},
      {"Precedence: List", true},
      {"Precedence: bulk", false},
      {"Errors-To: e@example.org", false},
      {"X-BeenThere: talk@example.org\r\nPrecedence: junk", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.header);
    TEmailHeader header;
    header.ParseText(row.header);
    EXPECT_EQ(header.IsKnownMailingList(), row.list);
  }
}

// The lists subsystem answers in place of the field rules once it has
// started; the header's lock is held while it answers.
TEST(EmailHeaderMailingList, TheListsSubsystemAnswers) {
  TEmailHeader header;
  header.ParseText("X-BeenThere: talk@example.org\r\nSubject: s");
  std::string seen;
  SetLooksLikeMailingList([&](TMailingList& fingerprint) {
    seen = fingerprint.X_BeenThere;
    return true;
  });
  EXPECT_TRUE(header.IsKnownMailingList());
  EXPECT_EQ(seen, "talk@example.org");
  SetLooksLikeMailingList(nullptr);
  EXPECT_FALSE(header.IsKnownMailingList());
}

}  // namespace
}  // namespace halvorn
