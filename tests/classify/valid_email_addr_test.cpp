// The return-address check: the SMTP dialogue against scripted servers (an
// in-memory client in place of the TCP one), the reply reader, the cache's
// reuse and filing rules, DNS outcomes against dnsmasq, and a check thread
// whose message goes while its peer stays silent.
#include "classify/valid_email_addr.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "foundation/crypto/random_source.h"
#include "foundation/dns/dns_lookups.h"
#include "foundation/net/host_names.h"
#include "foundation/net/quor_client_socket.h"
#include "foundation/text/string_list.h"
#include "foundation/time/clock.h"
#include "foundation/time/date_time.h"
#include "address_check_support.h"
#include "support/dns_test_servers.h"

namespace halvorn {
namespace {

using test::ScriptedSmtp;
using test::ServerScript;

const std::uint32_t kServerIP = StrToIP("203.0.113.5");

// What the cache knows of bob@mx.test's server before a dialogue test: its
// name and address (so no DNS is asked), nothing of its catch-all.
TValidEmailAddrRec KnownServer(const std::string& address = "bob@mx.test") {
  TValidEmailAddrRec r;
  r.Address = address;
  r.MailServer = "mx.mx.test";
  r.MailServerIP = kServerIP;
  r.Level = acl_Format;
  r.Result = ear_Timeout;
  return r;
}

class AddressCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearAddressCache();
    SetExternalHostName("helo.test");
  }
  void TearDown() override {
    ClearAddressCache();
    SetExternalHostName({});
  }

  // Runs the check at `requested` against the script; the record.
  TValidEmailAddrRec Run(const ServerScript& script, TEAddrCheckLevel requested,
                         const std::string& address = "bob@mx.test") {
    Written = std::make_shared<std::vector<std::string>>();
    auto written = Written;
    TScopedAddrCheckSocketMaker maker(
        [script, written] { return std::make_unique<ScriptedSmtp>(script, written); });
    TAddrCheckState state;
    CheckEmailAddress(address, requested, state, nullptr);
    return state.Snapshot();
  }

  std::shared_ptr<std::vector<std::string>> Written;
  ScopedClockForTests Clock{EncodeDateTime(2026, 12, 11, 9, 8, 7)};
};

std::string Transcript(const std::vector<std::string>& texts) {
  std::string t;
  for (const std::string& text : texts) t += (t.empty() ? "" : "\r\n") + ("09:08:07 - " + text);
  return t;
}

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST_F(AddressCheck, DialogueOutcomes) {
  SeedRandomForThisThread(7);
  const std::string probe =
      "RCPT TO: <WillYouAcceptMailForAnyone" + std::to_string(RandomInt(999)) + "@mx.test>";
  const std::vector<std::string> head = {"Checking email address \"bob@mx.test\"",
                                         "Address has a valid format.",
                                         "Found mail server \"mx.mx.test\" in cache.",
                                         "Found mail server IP of 203.0.113.5 in cache."};
  const std::vector<std::string> toRcpt = {"Read banner:220 ready",
                                           "Wrote: HELO helo.test",
                                           "Read HELO response: 250 hi",
                                           "Wrote: MAIL FROM: <>",
                                           "Read MAIL FROM response: 250 ok",
                                           "Wrote: RCPT TO: <bob@mx.test>",
                                           "Read RCPT TO response: 250 ok"};
  const std::vector<std::string> ok3 = {"250 hi"};
  const std::vector<std::string> ok = {"250 ok"};
  struct Case {
    const char* Name;
    ServerScript Script;
    TEAddrCheckLevel Requested;
    TEAddrCheckLevel Level;
    TEAddrResult Result;
    std::uint8_t CatchAll;
    std::vector<std::string> Tail;  // after `head`
  };
  const Case cases[] = {
      {"connect only", {true, {"220 ready"}, {}}, acl_Connect, acl_Connect, ear_Valid, 2, {}},
      {"connect refused", {false, {}, {}}, acl_Data, acl_Connect, ear_PermError, 2,
       {"Failed to connect to mail server."}},
      {"554 banner at banner level", {true, {"554 go away"}, {}}, acl_Banner, acl_Banner,
       ear_Valid, 2, {"Read banner:554 go away"}},
      {"554 banner", {true, {"554 go away"}, {}}, acl_Data, acl_Banner, ear_PermError, 2,
       {"Read banner:554 go away", "Permenantly rejected by the banner."}},
      {"421 banner", {true, {"421 busy"}, {}}, acl_Data, acl_Banner, ear_TransError, 2,
       {"Read banner:421 busy", "Temporarily rejected by the banner.."}},
      {"silent server", {true, {}, {}}, acl_Data, acl_Banner, ear_TransError, 2,
       {"Failed to read mail server banner."}},
      {"multi-line banner", {true, {"220-a", "220-b", "220 c"}, {}}, acl_Banner, acl_Banner,
       ear_Valid, 2, {"Read banner:220-a\r\n220-b\r\n220 c"}},
      {"four-character first line is one line", {true, {"220-", "220 later"}, {}}, acl_Banner,
       acl_Banner, ear_Valid, 2, {"Read banner:220-"}},
      {"four-character later line continues", {true, {"220-a", "220-", "220 c"}, {}},
       acl_Banner, acl_Banner, ear_Valid, 2, {"Read banner:220-a\r\n220-\r\n220 c"}},
      {"reply cut mid-line", {true, {"220-a", "~22"}, {}}, acl_Data, acl_Banner, ear_TransError,
       2, {"Failed to read multiline response. Response so far is:\r\n220-a"}},
      {"multi-line ends in silence", {true, {"220-a"}, {}}, acl_Banner, acl_Banner, ear_Valid, 2,
       {"Read banner:220-a\r\n"}},
      {"non-numeric HELO reply accepted", {true, {"220 ready"}, {{"hello there"}}}, acl_Helo,
       acl_Helo, ear_Valid, 2,
       {"Read banner:220 ready", "Wrote: HELO helo.test", "Read HELO response: hello there"}},
      {"HELO 501", {true, {"220 ready"}, {{"501 bad"}}}, acl_Data, acl_Helo, ear_PermError, 2,
       {"Read banner:220 ready", "Wrote: HELO helo.test", "Read HELO response: 501 bad",
        "HELO permenantly rejected."}},
      {"line dropped after MAIL FROM", {true, {"220 ready"}, {ok3, {"DROP"}}}, acl_Data,
       acl_MailFrom, ear_Timeout, 2,
       {"Read banner:220 ready", "Wrote: HELO helo.test", "Read HELO response: 250 hi",
        "Wrote: MAIL FROM: <>", "Failed to read MAIL FROM response."}},
      {"reply then dropped at MAIL FROM", {true, {"220 ready"}, {ok3, {"250 ok", "DROP"}}},
       acl_Data, acl_MailFrom, ear_TransError, 2,
       {"Read banner:220 ready", "Wrote: HELO helo.test", "Read HELO response: 250 hi",
        "Wrote: MAIL FROM: <>", "Server disconnected."}},
      {"RCPT 550", {true, {"220 ready"}, {ok3, ok, {"550 no such user"}}}, acl_RcptTo, acl_RcptTo,
       ear_PermError, 2,
       Concat(std::vector<std::string>(toRcpt.begin(), toRcpt.end() - 1),
              {"Read RCPT TO response: 550 no such user", "RCPT TO permenantly rejected."})},
      {"RCPT 451", {true, {"220 ready"}, {ok3, ok, {"451 later"}}}, acl_RcptTo, acl_RcptTo,
       ear_TransError, 2,
       Concat(std::vector<std::string>(toRcpt.begin(), toRcpt.end() - 1),
              {"Read RCPT TO response: 451 later", "RCPT TO temporarily rejected."})},
      {"RCPT accepted", {true, {"220 ready"}, {ok3, ok, ok}}, acl_RcptTo, acl_RcptTo, ear_Valid, 2,
       toRcpt},
      {"accepts anyone", {true, {"220 ready"}, {ok3, ok, ok, ok, {"354 go"}}}, acl_Data, acl_Data,
       ear_Valid, 0,
       Concat(toRcpt, {"Wrote: " + probe, "Read RCPT TO response: 250 ok", "Wrote: DATA",
                       "Read DATA response: 354 go", "Wrote: Email contents", "Disconnected."})},
      {"probe rejected", {true, {"220 ready"}, {ok3, ok, ok, {"550 unknown"}, {"354 go"}}},
       acl_Data, acl_Data, ear_Valid, 1,
       Concat(toRcpt, {"Wrote: " + probe, "Read RCPT TO response: 550 unknown",
                       "RCPT TO permenantly rejected.", "Wrote: DATA",
                       "Read DATA response: 354 go", "Wrote: Email contents", "Disconnected."})},
      {"probe too many recipients",
       {true, {"220 ready"}, {ok3, ok, ok, {"452 Too many recipients"}, {"354 go"}}}, acl_Data,
       acl_Data, ear_Valid, 0,
       Concat(toRcpt, {"Wrote: " + probe, "Read RCPT TO response: 452 Too many recipients",
                       "RCPT TO reply ambiguous", "Wrote: DATA", "Read DATA response: 354 go",
                       "Wrote: Email contents", "Disconnected."})},
      {"probe 451", {true, {"220 ready"}, {ok3, ok, ok, {"451 later"}, {"354 go"}}}, acl_Data,
       acl_Data, ear_Valid, 1,
       Concat(toRcpt, {"Wrote: " + probe, "Read RCPT TO response: 451 later",
                       "RCPT TO temporarily rejected.", "Wrote: DATA",
                       "Read DATA response: 354 go", "Wrote: Email contents", "Disconnected."})},
      {"probe unanswered", {true, {"220 ready"}, {ok3, ok, ok, {"DROP"}}}, acl_Data, acl_RcptTo,
       ear_Timeout, 2, Concat(toRcpt, {"Wrote: " + probe, "Failed to read RCPT TO response."})},
      {"probe answered, then dropped", {true, {"220 ready"}, {ok3, ok, ok, {"550 x", "DROP"}}},
       acl_Data, acl_RcptTo, ear_Timeout, 1,
       Concat(toRcpt, {"Wrote: " + probe, "Server disconnected."})},
      {"DATA 554", {true, {"220 ready"}, {ok3, ok, ok, {"550 x"}, {"554 no"}}}, acl_Data, acl_Data,
       ear_PermError, 1,
       Concat(toRcpt, {"Wrote: " + probe, "Read RCPT TO response: 550 x",
                       "RCPT TO permenantly rejected.", "Wrote: DATA", "Read DATA response: 554 no",
                       "DATA permenantly rejected."})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    ClearAddressCache();
    SetAddressCacheEntries({KnownServer()});
    SeedRandomForThisThread(7);
    const TValidEmailAddrRec r = Run(c.Script, c.Requested);
    EXPECT_EQ(r.Address, "bob@mx.test");
    EXPECT_EQ(r.Level, c.Level);
    EXPECT_EQ(r.Result, c.Result);
    EXPECT_EQ(static_cast<int>(r.CatchAll), static_cast<int>(c.CatchAll));
    EXPECT_EQ(r.MailServer, "mx.mx.test");
    EXPECT_EQ(r.MailServerIP, kServerIP);
    EXPECT_EQ(r.HostIP, 0u);
    EXPECT_EQ(r.Transcript, Transcript(Concat(head, c.Tail)));
    // Never a completed message: no end-of-data line, no QUIT.
    for (const std::string& line : *Written) {
      EXPECT_NE(line, ".");
      EXPECT_NE(line, "QUIT");
    }
    // The outcome is filed (appended: the older entry's time-out is above
    // most results and is never overwritten by a better one).
    const auto cache = AddressCacheEntries();
    ASSERT_FALSE(cache.empty());
    EXPECT_EQ(cache.back(), r);
  }
}

TEST_F(AddressCheck, CommandsWrittenToAnAcceptingServer) {
  SetAddressCacheEntries({KnownServer()});
  SeedRandomForThisThread(3);
  const std::string n = std::to_string(RandomInt(999));
  SeedRandomForThisThread(3);
  Run({true, {"220 ready"}, {{"250 hi"}, {"250 ok"}, {"250 ok"}, {"250 ok"}, {"354 go"}}},
      acl_Data);
  const std::vector<std::string> expected = {
      "HELO helo.test", "MAIL FROM: <>", "RCPT TO: <bob@mx.test>",
      "RCPT TO: <WillYouAcceptMailForAnyone" + n + "@mx.test>", "DATA", "Email contents"};
  EXPECT_EQ(*Written, expected);
}

TEST_F(AddressCheck, HeloNamePreference) {
  struct Case {
    std::string ExternalName;
    std::uint32_t External;
    std::string Helo;
  } cases[] = {
      {"name.test", StrToIP("198.51.100.7"), "HELO name.test"},
      {"", StrToIP("198.51.100.7"), "HELO 198.51.100.7"},
      {"", 0, "HELO " + GetHostNameOrLocal()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Helo);
    ClearAddressCache();
    SetAddressCacheEntries({KnownServer()});
    SetExternalHostName(c.ExternalName);
    ExternalIP.store(c.External);
    Run({true, {"220 ready"}, {{"250 hi"}}}, acl_Helo);
    ExternalIP.store(0);
    ASSERT_FALSE(Written->empty());
    EXPECT_EQ(Written->front(), c.Helo);
  }
}

// Prior cache entries, a request, and what the check answers and files.
TEST_F(AddressCheck, CacheReuseAndFiling) {
  auto entry = [](const std::string& address, TEAddrCheckLevel level, TEAddrResult result,
                  std::uint8_t catchAll = 2, const std::string& server = {},
                  std::uint32_t ip = 0) {
    TValidEmailAddrRec r;
    r.Address = address;
    r.Transcript = "earlier " + address;
    r.MailServer = server;
    r.MailServerIP = ip;
    r.Level = level;
    r.Result = result;
    r.CatchAll = catchAll;
    return r;
  };
  const std::string found = "\r\n09:08:07 - Found address in cache.";
  struct Case {
    const char* Name;
    std::vector<TValidEmailAddrRec> Prior;
    std::string Address;
    TEAddrCheckLevel Requested;
    TEAddrCheckLevel Level;
    TEAddrResult Result;
    std::string Transcript;  // whole; empty: not compared
    std::size_t CacheSize;
  };
  const Case cases[] = {
      {"level 0, nothing cached", {}, "a@x.test", acl_Cache, acl_Cache, ear_TransError,
       Transcript({"Checking email address \"a@x.test\""}), 0},
      {"cached PermError reused at any level", {entry("a@x.test", acl_Format, ear_PermError)},
       "a@x.test", acl_Data, acl_Format, ear_PermError, "earlier a@x.test" + found, 1},
      {"cached Valid reused", {entry("a@x.test", acl_Helo, ear_Valid)}, "a@x.test", acl_Data,
       acl_Helo, ear_Valid, "earlier a@x.test" + found, 1},
      {"cached time-out deep enough", {entry("a@x.test", acl_RcptTo, ear_Timeout)}, "a@x.test",
       acl_Helo, acl_RcptTo, ear_Timeout, "earlier a@x.test" + found, 1},
      {"address compared with case", {entry("A@x.test", acl_Helo, ear_Valid)}, "a@x.test",
       acl_Cache, acl_Cache, ear_TransError, "", 1},
      {"newest entry wins",
       {entry("a@x.test", acl_Helo, ear_Valid), entry("a@x.test", acl_Format, ear_PermError)},
       "a@x.test", acl_Data, acl_Format, ear_PermError, "earlier a@x.test" + found, 2},
      {"bad format filed", {}, "no-at-sign", acl_Data, acl_Format, ear_PermError,
       Transcript({"Checking email address \"no-at-sign\"",
                   "Address has an invalid format. i.e. It is not a valid email address."}),
       1},
      {"format level filed", {}, "a@x.test", acl_Format, acl_Format, ear_Valid, "", 1},
      {"filing overwrites a shallower entry, its result not above, ignoring case",
       {entry("A@X.test", acl_Cache, ear_Valid)}, "a@x.test", acl_Format, acl_Format, ear_Valid,
       "", 1},
      {"filing appends beside a deeper entry", {entry("A@X.test", acl_Helo, ear_Valid)},
       "a@x.test", acl_Format, acl_Format, ear_Valid, "", 2},
      {"filing appends beside an entry with a worse result",
       {entry("A@X.test", acl_Cache, ear_Timeout)}, "a@x.test", acl_Format, acl_Format,
       ear_Valid, "", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    SetAddressCacheEntries(c.Prior);
    const TValidEmailAddrRec r = Run({}, c.Requested, c.Address);
    EXPECT_EQ(r.Level, c.Level);
    EXPECT_EQ(r.Result, c.Result);
    if (!c.Transcript.empty()) {
      EXPECT_EQ(r.Transcript, c.Transcript);
    }
    EXPECT_EQ(AddressCacheEntries().size(), c.CacheSize);
  }
}

// Another sender at a server known to accept anyone: the check lends the
// server's knowledge but keeps its own address and transcript, and is filed
// under its own address.
TEST_F(AddressCheck, KnownCatchAllServerKeepsOwnAddress) {
  TValidEmailAddrRec other = KnownServer("carol@mx.test");
  other.Transcript = "carol's transcript";
  other.Level = acl_Data;
  other.Result = ear_Valid;
  other.CatchAll = 0;
  TValidEmailAddrRec self = KnownServer();
  SetAddressCacheEntries({other, self});
  const TValidEmailAddrRec r = Run({}, acl_Data);
  EXPECT_EQ(r.Address, "bob@mx.test");
  EXPECT_EQ(r.CatchAll, 0);
  EXPECT_EQ(r.Level, acl_Data);
  EXPECT_EQ(r.Result, ear_Valid);
  EXPECT_EQ(r.MailServerIP, kServerIP);
  EXPECT_EQ(r.Transcript,
            Transcript({"Checking email address \"bob@mx.test\"", "Address has a valid format.",
                        "Found mail server \"mx.mx.test\" in cache.",
                        "Mail server accepts mail for any address (known from an earlier "
                        "check)."}));
  EXPECT_TRUE(Written->empty());  // no connection
  TValidEmailAddrRec filed;
  ASSERT_TRUE(FindCachedAddress("bob@mx.test", filed));
  EXPECT_EQ(filed, r);
  ASSERT_TRUE(FindCachedAddress("carol@mx.test", filed));
  EXPECT_EQ(filed, other);
}

TEST_F(AddressCheck, CacheKeepsTheNewestEntries) {
  std::vector<TValidEmailAddrRec> full(kAddressCacheCapacity);
  for (std::size_t i = 0; i < full.size(); ++i) full[i].Address = std::to_string(i) + "@x.test";
  SetAddressCacheEntries(full);
  TValidEmailAddrRec fresh;
  fresh.Address = "new@x.test";
  FileAddressCacheEntry("new@x.test", acl_Data, fresh);
  const auto cache = AddressCacheEntries();
  ASSERT_EQ(cache.size(), kAddressCacheCapacity);
  EXPECT_EQ(cache.front().Address, "1@x.test");
  EXPECT_EQ(cache.back().Address, "new@x.test");
}

// The reply reader: the lines up to the one that ends the reply, nothing
// read beyond it.
TEST(SmtpReply, ReaderAndCode) {
  struct Case {
    std::vector<std::string> Lines;
    bool Ok;
    std::string Reply;
    int Code;
    std::size_t Left;  // lines not read
  } cases[] = {
      {{"250 ok", "next"}, true, "250 ok", 250, 1},
      {{"250-a", "250 b", "next"}, true, "250-a\r\n250 b", 250, 1},
      {{"250-", "next"}, true, "250-", 250, 1},
      {{"250-a", "250-", "250 c", "next"}, true, "250-a\r\n250-\r\n250 c", 250, 1},
      {{"25x-a", "b"}, true, "25x-a\r\nb", -1, 0},
      {{"ab"}, true, "ab", -1, 0},
      {{"250-a", "~25"}, false, "250-a", 250, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Reply);
    auto written = std::make_shared<std::vector<std::string>>();
    ServerScript script{true, c.Lines, {}};
    ScriptedSmtp socket(script, written);
    socket.Connect();
    std::string reply;
    ASSERT_TRUE(socket.ReadLn(reply));
    EXPECT_EQ(CollectSmtpReply(socket, reply), c.Ok);
    EXPECT_EQ(reply, c.Reply);
    EXPECT_EQ(SmtpReplyCode(reply), c.Code);
    std::size_t left = 0;
    std::string line;
    while (socket.ReadLn(line)) ++left;
    EXPECT_EQ(left, c.Left) << "read beyond the reply";
  }
}

TEST(AddressCheckNames, InputIndexAndNames) {
  EXPECT_EQ(RetAddrInputIndex(acl_Cache, ear_TransError), 2);
  EXPECT_EQ(RetAddrInputIndex(acl_Data, ear_Timeout), 39);
  EXPECT_EQ(RetAddrInputIndex(acl_Format, ear_PermError), 5);
  EXPECT_STREQ(AddrCheckLevelName(acl_MXResolve), "acl_MXResolve");
  EXPECT_STREQ(AddrResultName(ear_Timeout), "ear_Timeout");
}

}  // namespace
}  // namespace halvorn

namespace halvorn {
namespace {

// The DNS steps against dnsmasq on the loopback (the global resolver asks
// nothing else); the connection, when one is made, goes to the in-memory
// server.
TEST_F(AddressCheck, DnsOutcomes) {
  test::DnsmasqServer dns({"mx-host=good.test,mx.good.test,10", "host-record=mx.good.test,203.0.113.8",
                           "host-record=direct.test,203.0.113.9",
                           "mx-host=noaddr.test,mx.noaddr.test,10",
                           "mx-host=loop.test,mx.loop.test,10", "host-record=mx.loop.test,127.0.0.1",
                           "mx-host=zero.test,mx.zero.test,10", "host-record=mx.zero.test,0.0.0.1",
                           "host-record=self.test,127.0.0.2"});
  ASSERT_TRUE(dns.Ok()) << dns.Error();
  GlobalDnsResolver().SetPort(dns.Port());
  GlobalDnsResolver().SetServers(TStringList{"127.0.0.1"});
  const ServerScript accepting{true, {"220 ready"}, {}};
  const std::string noMx = "Address has no mail server associated with it.";
  const std::string direct =
      "Host doesn't have a mail server registered to it.  Attempting direct connection...";
  struct Case {
    std::string Address;
    TEAddrCheckLevel Requested;
    TEAddrCheckLevel Level;
    TEAddrResult Result;
    std::string MailServer;
    std::string MailServerIP;
    std::string HostIP;
    std::vector<std::string> Tail;  // after the first two lines
    bool Connects;
  } cases[] = {
      {"a@good.test", acl_MXResolve, acl_MXResolve, ear_Valid, "mx.good.test", "203.0.113.8",
       "0.0.0.0", {"Found mail server \"mx.good.test\"", "Found mail server IP of 203.0.113.8"},
       false},
      {"a@good.test", acl_Connect, acl_Connect, ear_Valid, "mx.good.test", "203.0.113.8",
       "0.0.0.0", {"Found mail server \"mx.good.test\"", "Found mail server IP of 203.0.113.8"},
       true},
      {"a@direct.test", acl_MXLookup, acl_MXLookup, ear_PermError, "", "0.0.0.0", "0.0.0.0",
       {noMx}, false},
      {"a@direct.test", acl_Connect, acl_Connect, ear_Valid, "", "0.0.0.0", "203.0.113.9",
       {noMx, direct, "Found host IP of 203.0.113.9"}, true},
      {"a@nowhere.test", acl_Data, acl_MXLookup, ear_PermError, "", "0.0.0.0", "0.0.0.0",
       {noMx, direct, "Host doesn't have an IP address."}, false},
      {"a@noaddr.test", acl_Data, acl_MXResolve, ear_PermError, "mx.noaddr.test", "0.0.0.0",
       "0.0.0.0",
       {"Found mail server \"mx.noaddr.test\"", "Mail server doesn't have an IP address."}, false},
      {"a@loop.test", acl_Data, acl_MXResolve, ear_PermError, "mx.loop.test", "127.0.0.1",
       "0.0.0.0",
       {"Found mail server \"mx.loop.test\"", "Found mail server IP of 127.0.0.1",
        "Mail server address is this computer (127.0.0.1)."},
       false},
      {"a@zero.test", acl_Data, acl_MXResolve, ear_PermError, "mx.zero.test", "0.0.0.1", "0.0.0.0",
       {"Found mail server \"mx.zero.test\"", "Found mail server IP of 0.0.0.1",
        "Mail server address is this computer (0.0.0.1)."},
       false},
      {"a@self.test", acl_Data, acl_MXLookup, ear_PermError, "", "0.0.0.0", "127.0.0.2",
       {noMx, direct, "Found host IP of 127.0.0.2",
        "Mail server address is this computer (127.0.0.2)."},
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Address + " " + AddrCheckLevelName(c.Requested));
    ClearAddressCache();
    const TValidEmailAddrRec r = Run(accepting, c.Requested, c.Address);
    EXPECT_EQ(r.Level, c.Level);
    EXPECT_EQ(r.Result, c.Result);
    EXPECT_EQ(r.MailServer, c.MailServer);
    EXPECT_EQ(IPToStr(r.MailServerIP), c.MailServerIP);
    EXPECT_EQ(IPToStr(r.HostIP), c.HostIP);
    EXPECT_EQ(r.Transcript, Transcript(Concat({"Checking email address \"" + c.Address + "\"",
                                               "Address has a valid format."},
                                              c.Tail)));
    EXPECT_EQ(!Written->empty() || c.Connects, c.Connects);
  }
}

}  // namespace
}  // namespace halvorn
