#include "message/received_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/text/string_list.h"
#include "message/email_header.h"
#include "support/corpus_headers.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

// Real Received values of the mail corpus, one per server family, as they
// stand in the files (folds included). The fields were worked out by hand
// from the unfolded text, in which each fold loses its line break and the
// blank after it.
TEST(ReceivedLine, ServerFamiliesOfTheCorpus) {
  struct Row {
    const char* family;
    std::string value;
    std::string fromHost, fromName, fromIP, byHost;
    std::uint32_t flags;
  } rows[] = {
      {"Postfix, local hop",
       "from localhost (jalapeno [127.0.0.1])\r\n\tby jmason.org (Postfix) with ESMTP id "
       "C7E6A16F22\r\n\tfor <jm@localhost>; Thu, 26 Sep 2002 16:41:03 +0100 (IST)",
       "localhost", "jalapeno", "127.0.0.1", "jmason.org", 0x10000 | 0x40000},
      {"Postfix, the usual form",
       "from c007.snv.cp.net (h011.c007.snv.cp.net [209.228.33.239]) by\r\n    xent.com "
       "(Postfix) with SMTP id C9FC7294098 for <fork@xent.com>;\r\n    Sun, 21 Jul 2002 "
       "10:46:10 -0700 (PDT)",
       "c007.snv.cp.net", "h011.c007.snv.cp.net", "209.228.33.239", "xent.com", 0},
      {"fetchmail",
       "from phobos [127.0.0.1]\r\n\tby localhost with IMAP (fetchmail-5.9.0)\r\n\tfor "
       "zzz@localhost (single-drop); Fri, 16 Aug 2002 17:53:22 +0100 (IST)",
       "phobos", "", "127.0.0.1", "localhost", 0x40000},
      {"sendmail, local submission",
       "(from john@localhost) by jlooney.jinny.ie (8.11.6/8.11.6) id\r\n    g798h0o28377 for "
       "ilug@linux.ie; Fri, 9 Aug 2002 09:43:00 +0100",
       "", "", "", "jlooney.jinny.ie", 0x8000},
      {"sendmail, IDENT",
       "from drizzle.com (IDENT:root@cascadia.drizzle.com\r\n    [216.162.192.17]) by "
       "mx.serv.net (8.9.3/8.9.1) with ESMTP id XAA04105 for\r\n    <filtered@llyra.com>; "
       "Fri, 12 Jul 2002 23:46:44 -0700 (PDT)",
       "drizzle.com", "IDENT:root@cascadia.drizzle.com", "216.162.192.17", "mx.serv.net", 0x40000},
      {"qmail with HELO",
       "from unknown (HELO haymarket.ed.ac.uk) (129.215.128.53) by\r\n    "
       "mta1.grp.scd.yahoo.com with SMTP; 22 Aug 2002 13:54:58 -0000",
       "unknown", "HELO haymarket.ed.ac.uk", "129.215.128.53", "mta1.grp.scd.yahoo.com", 0x40000},
      {"qmail, invoked", "(qmail 1431 invoked by uid 104); 26 Aug 2002 14:28:01 -0000", "", "", "",
       "uid", 0},
      {"qmail, from network", "(qmail 32469 invoked from network); 2 Dec 2002 01:35:48 -0000", "",
       "", "", "", 0},
      {"Yahoo groups, QMQP",
       "from unknown (66.218.66.217) by m3.grp.scd.yahoo.com with QMQP;\r\n    22 Aug 2002 "
       "11:46:29 -0000",
       "unknown", "", "66.218.66.217", "m3.grp.scd.yahoo.com", 0},
      {"Yahoo groups, NNFMP",
       "from [66.218.67.201] by n17.grp.scd.yahoo.com with NNFMP;\r\n    22 Aug 2002 16:24:16 "
       "-0000",
       "", "", "66.218.67.201", "n17.grp.scd.yahoo.com", 0},
      {"Exim with helo=",
       "from usw-sf-list1-b.sourceforge.net ([10.3.1.13]\r\n    "
       "helo=usw-sf-list1.sourceforge.net) by usw-sf-list2.sourceforge.net with\r\n    esmtp "
       "(Exim 3.31-VA-mm2 #1 (Debian)) id 17jN4z-0003Tk-00; Mon,\r\n    26 Aug 2002 09:51:05 "
       "-0700",
       "usw-sf-list1-b.sourceforge.net", "", "10.3.1.13", "usw-sf-list2.sourceforge.net", 0x40000},
      {"Exim, local delivery",
       "from twells by pulse.fsckit.net with local (Exim) id\r\n    17X7wo-0007df-00; Tue, 23 "
       "Jul 2002 18:16:02 -0400",
       "twells", "", "", "pulse.fsckit.net", 0x40000},
      {"Hotmail pickup service",
       "from mail pickup service by hotmail.com with Microsoft SMTPSVC;\r\n    Sat, 21 Sep 2002 "
       "20:32:59 -0700",
       "mail", "", "", "hotmail.com", 0x40000},
      {"Hotmail web mail, HTTP",
       "from 216.30.74.2 by lw15fd.law15.hotmail.msn.com with HTTP;\r\n    Mon, 25 Nov 2002 "
       "19:34:27 GMT",
       "216.30.74.2", "", "", "lw15fd.law15.hotmail.msn.com", 0x20000 | 0x40000},
      {"Microsoft Exchange",
       "from 200.230.199.10 ([200.230.199.10]) by exchangesrv1.pml.ie with SMTP (Microsoft "
       "Exchange Internet Mail Service Version 5.5.2653.13)\r\n\tid PH2G3V8J; Mon, 22 Jul 2002 "
       "11:29:29 +0100",
       "200.230.199.10", "", "200.230.199.10", "exchangesrv1.pml.ie", 0x20000 | 0x40000},
      {"MailEnable",
       "from  (127.0.0.1 [127.0.0.1]) by MailEnable Inbound Mail Agent\r\n    with ESMTP; Thu, "
       "26 Sep 2002 00:40:54 -08:00",
       "", "", "127.0.0.1", "MailEnable", 0},
      {"Cyrus LMTP",
       "from www.fastmail.fm (server1.internal [10.202.2.132])\r\n\tby www.fastmail.fm (Cyrus "
       "v2.1.3) with LMTP; Sat, 07 Sep 2002 21:20:30 -0500",
       "www.fastmail.fm", "server1.internal", "10.202.2.132", "www.fastmail.fm", 0},
      {"qmail-scanner",
       "from cwg-exmh@DeepEddy.Com by localhost.localdomain with\r\n    qmail-scanner-0.90 "
       "(uvscan: v4.1.60/v4213. . Clean. Processed in 0.31528\r\n    secs); 24/07/2002 "
       "10:23:50",
       "cwg-exmh@DeepEddy.Com", "", "", "localhost.localdomain", 0x40000},
      {"LISTSERV",
       "from EMAIL.LIFETIMETV.COM by EMAIL.LIFETIMETV.COM\r\n    (LISTSERV-TCP/IP release 1.8e) "
       "with spool id 411077 for\r\n    MOVIE_REMINDER_HTML@EMAIL.LIFETIMETV.COM; Mon, 19 Aug "
       "2002 10:45:44 -0400",
       "EMAIL.LIFETIMETV.COM", "", "", "EMAIL.LIFETIMETV.COM", 0x40000},
      {"SMTPBeamer",
       "from 65.91.218.127 [65.91.218.127] by commander with SMTPBeamer\r\n    v3.30 ; Tue, 27 "
       "Aug 2002 23:33:47 -0400",
       "65.91.218.127", "", "65.91.218.127", "commander", 0x20000 | 0x40000},
      {"Vircom POPDOWN",
       "from 194.46.8.17 ([194.46.8.17] as evil06) by\r\n    ni-mail1.dna.utvinternet.net "
       "(Vircom POPDOWN 1.4.232) with POP;\r\n    Sat, 3 Aug 2002 21:30:02 +0100",
       "194.46.8.17", "", "194.46.8.17", "ni-mail1.dna.utvinternet.net", 0x20000 | 0x40000},
      {"WebShield, year after the time",
       "FROM barge.dsg.cs.tcd.ie BY webshield ; Wed Aug 28 10:45:49 2002\r\n    +0100",
       "barge.dsg.cs.tcd.ie", "", "", "webshield", 0x1000 | 0x40000},
      // The bracket holds more than the address: the dotted-number test does
      // not look past the last dot, so the whole inner text is taken.
      {"Mail essentials, one-digit hour",
       "From LOCALHOST.LOCALDOMAIN (148.121.170.2[148.121.170.2\r\n    port:4688]) by "
       "grimm1.grimstad Mail essentials (server 2.422) with SMTP\r\n    id: "
       "<7700@grimm1.grimstad> for <rpm-zzzlist@freshrpms.net>; Mon,\r\n    22 Jul 2002 "
       "9:41:41 AM +0200 smtpmailfrom <noselasd@Utel.no>",
       "LOCALHOST.LOCALDOMAIN", "", "148.121.170.2   port:4688", "grimm1.grimstad", 0x4000},
      {"AOL relay, one-digit hour",
       "from unknown (52.127.142.42) by rly-xl04.mx.aol.com with smtp; Aug, 22 2002 8:02:13 AM "
       "+0400",
       "unknown", "", "52.127.142.42", "rly-xl04.mx.aol.com", 0x4000},
      {"Ecartis", "with ECARTIS (v1.0.0; list firewalls); Thu, 25 Jul 2002 23:51:00 -0700 (PDT)",
       "", "", "", "", 0x8000 | 0x80000},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.family);
    TEmailHeader header;
    ASSERT_TRUE(header.ParseText("Received: " + row.value + "\r\nSubject: x\r\n"));
    const std::unique_ptr<TReceivedLine> line = header.CreateReceivedLine(-1);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->FFromHost, row.fromHost);
    EXPECT_EQ(line->FFromName, row.fromName);
    EXPECT_EQ(line->FFromIP, row.fromIP);
    EXPECT_EQ(line->FByHost, row.byHost);
    EXPECT_EQ(line->FFlags, row.flags);
    // A value that stood on one line is flagged as not wrapped.
    const bool oneLine = row.value.find('\n') == std::string::npos;
    EXPECT_EQ(header.GetFlags(), row.flags | (oneLine ? 0x200u : 0u));
    // The free functions read the unfolded line the same way.
    std::string ip;
    EXPECT_EQ(ReceivedFromIP(line->FLine, ip), !row.fromIP.empty());
    EXPECT_EQ(ip, row.fromIP);
  }
}

TEST(ReceivedLine, DateText) {
  struct Row {
    std::string value, text;
    std::uint32_t flags;
  } rows[] = {
      {"from a by b; Mon, 1 Jan 2001 10:20:30 +0000", "Mon, 1 Jan 2001 10:20:30", 0},
      {"Mon, 1 Jan 2001 10:20:30 +0000", "Mon, 1 Jan 2001 10:20:30", 0},  // no ";"
      {"a; b; Mon, 1 Jan 2001 10:20:30", "Mon, 1 Jan 2001 10:20:30", 0},  // the last ";" counts
      {"x; Mon, 1 Jan 2001 9:20:30 +0000", "Mon, 1 Jan 2001 9:20:30", 0x4000},
      {"x; Mon Jan  1 10:20:30 2001", "Mon Jan  1 10:20:30 2001", 0x1000},
      {"x; Mon Jan  1 10:20:30 2001 +0100", "Mon Jan  1 10:20:30 2001", 0x1000},
      {"x; Mon, 1 Jan 2001 10:20:30PM +0100", "Mon, 1 Jan 2001 10:20:30PM +", 0x2000},
      {"x; 1 Jan 2001 10:20:30am EST", "1 Jan 2001 10:20:30am E", 0x2000},
      // Four characters past a trailing "PM" are not there: no date text.
      {"x; Mon, 1 Jan 2001 10:20:30PM", "", 0x2000 | 0x800},
      {"x; Mon, 1 Jan 2001 10:20 +0000", "", 0x800},  // no seconds
      {"x; Mon, 1 Jan 2001 10:20:3", "", 0x800},      // the seconds run past the end
      {"from a by b", "", 0x800},
      {"", "", 0x800},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.value);
    std::string text = "junk";
    EXPECT_EQ(ReceivedDateText(row.value, text), row.flags);
    EXPECT_EQ(text, row.text);
  }
}

// The flag rules of the host readers at their edges.
TEST(ReceivedLine, HostFlags) {
  struct Row {
    std::string value;
    std::uint32_t fromFlags, nameFlags, byFlags;
  } rows[] = {
      {"from LocalHost (a.example.com) by b", 0x10000, 0, 0},
      {"from localhost by mail pickup service; from mail pickup service by hotmail", 0, 0x40000, 0},
      {"from 203.0.113.9 (a.example.com) by b", 0x20000, 0, 0},
      {"from 192.168.1.1 (a.example.com) by b", 0, 0, 0},
      {"from 127.0.0.1 (a.example.com) by b", 0, 0, 0},
      {"from a (unverified [203.0.113.9]) by b", 0, 0, 0},
      {"from a (203.0.113.9) by b", 0, 0, 0},
      {"from a (not a domain) by b", 0, 0x40000, 0},
      {"from a (a.example.com)", 0, 0x40000, 0x80000},  // no "by ": no name, and no by-host
      {"from a (a.example.com) by ;", 0, 0, 0x80000},
      {"by b qmail", 0, 0, 0},
      {"by b", 0x8000, 0, 0},
      {"something qmail", 0, 0, 0},
      {"something else", 0x8000, 0, 0x80000},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.value);
    std::string out;
    EXPECT_EQ(ReceivedFromHost(row.value, out), row.fromFlags);
    EXPECT_EQ(ReceivedFromName(row.value, out), row.nameFlags);
    EXPECT_EQ(GetReceivedByHost(row.value, out), row.byFlags);
  }
}

TEST(ReceivedLine, SendingAddressSearchOrder) {
  struct Row {
    std::string value, address;
  } rows[] = {
      // Brackets of the from part before its parentheses.
      {"from a (203.0.113.1) [203.0.113.2] by b", "203.0.113.2"},
      // An empty piece ends the search of its kind.
      {"from a [] [203.0.113.2] (203.0.113.3) by b", "203.0.113.3"},
      // Not in the from part: the whole value is searched.
      {"from a by b [203.0.113.4]", "203.0.113.4"},
      // "by" is found inside a longer word.
      {"from mail.bybee.example [203.0.113.5] by b", "203.0.113.5"},
      // No "by" within 999 characters after "from": nothing.
      {"from a [203.0.113.6] " + std::string(1000, 'x') + " by b", ""},
      {"from a [not] by b", ""},
      {"no sender here [203.0.113.7]", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.value.substr(0, 60));
    std::string address = "junk";
    EXPECT_EQ(ReceivedFromIP(row.value, address), !row.address.empty());
    EXPECT_EQ(address, row.address);
  }
}

TEST(ReceivedLine, EmptyValueClearsTheLine) {
  TReceivedLine line("from a (a.example.com [203.0.113.1]) by b; Mon, 1 Jan 2001 10:20:30");
  EXPECT_EQ(line.FFromHost, "a");
  line.Parse("");
  EXPECT_EQ(line.FLine, "");
  EXPECT_EQ(line.FFromHost, "");
  EXPECT_EQ(line.FFromName, "");
  EXPECT_EQ(line.FFromIP, "");
  EXPECT_EQ(line.FByHost, "");
  EXPECT_EQ(line.FFlags, 0u);
}

// Every Received line of the corpus parses, through the header, without an
// exception, and long hostile lines take linear time.
TEST(ReceivedLine, EveryReceivedLineOfTheCorpus) {
  const std::vector<std::string> files = test::CorpusFiles();
  if (files.empty()) GTEST_SKIP() << "no mail corpus";
  int lines = 0, withAddress = 0;
  for (const std::string& file : files) {
    TEmailHeader header;
    header.ParseText(test::CorpusHeaderText(file));
    const int count = header.ReceivedCount();
    for (int n = -1; n >= -count; --n) {
      SCOPED_TRACE(file);
      std::unique_ptr<TReceivedLine> line;
      ASSERT_NO_THROW(line = header.CreateReceivedLine(n));
      ASSERT_NE(line, nullptr);
      ++lines;
      if (!line->FFromIP.empty()) ++withAddress;
    }
  }
  EXPECT_GT(lines, 30000);
  EXPECT_GT(withAddress, lines / 2);
}

TEST(ReceivedLine, HostileLinesStayLinear) {
  // Many bracket pairs, none a dotted number: the address search runs over
  // them once, not once per pair.
  std::string value = "from a by b ";
  for (int i = 0; i < 200000; ++i) value += "[x]";
  value += "; " + std::string(200000, ':');
  TReceivedLine line(value);
  EXPECT_EQ(line.FFromHost, "a");
  EXPECT_EQ(line.FByHost, "b");
  EXPECT_EQ(line.FFromIP, "");
}

}  // namespace
}  // namespace halvorn
