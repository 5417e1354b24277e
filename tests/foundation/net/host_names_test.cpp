#include "foundation/net/host_names.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "foundation/app/processes.h"
#include "foundation/threads/heartbeat.h"
#include "foundation/time/clock.h"
#include "support/namespace_dns.h"
#include "support/network_namespace.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

TEST(HostNamesTest, OwnHostNameIsTheSystemsAndStable) {
  char buffer[256] = {};
  ASSERT_EQ(gethostname(buffer, sizeof(buffer) - 1), 0);
  const std::string expected = buffer[0] ? buffer : "LocalHost";
  EXPECT_EQ(GetHostNameOrLocal(), expected);
  EXPECT_EQ(LocalHostName(), "LocalHost");

  // Many threads read the cached name at once (run under the sanitizers).
  std::vector<std::thread> threads;
  std::vector<std::string> seen(8);
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&seen, i] { seen[i] = GetHostNameOrLocal(); });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& name : seen) EXPECT_EQ(name, expected);
}

std::uint32_t Addr(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  const std::uint8_t bytes[4] = {a, b, c, d};
  std::uint32_t number;
  std::memcpy(&number, bytes, 4);
  return number;
}

TEST(HostNamesTest, StrToIPCases) {
  struct Row {
    const char* text;
    std::optional<std::uint32_t> address;  // nullopt: invalid
  } rows[] = {
      {"1.2.3.4", Addr(1, 2, 3, 4)},
      {"1.2.3.4.", Addr(1, 2, 3, 4)},
      {"1.2.3.4..", std::nullopt},
      {"1..3.4", std::nullopt},
      {".1.2.3", std::nullopt},
      {".", std::nullopt},
      {"", std::nullopt},
      {"1.2.3.4.5", std::nullopt},
      {"10.16777215", Addr(10, 255, 255, 255)},
      {"10.16777216", std::nullopt},
      {"1.2.65535", Addr(1, 2, 255, 255)},
      {"1.2.65536", std::nullopt},
      {"0x7F000001", Addr(127, 0, 0, 1)},
      {"2130706433", Addr(127, 0, 0, 1)},
      {"4294967295", Addr(255, 255, 255, 255)},
      {"4294967296", std::nullopt},
      {"0x100000000", std::nullopt},
      {"0x00000000ff", Addr(0, 0, 0, 255)},
      {"010.0.0.1", Addr(8, 0, 0, 1)},
      {"09.0.0.1", std::nullopt},
      {"0x7g.0.0.1", std::nullopt},
      {"0X7f.1", std::nullopt},
      {"+1.2.3.4", Addr(1, 2, 3, 4)},
      {"-1.2.3.4", std::nullopt},
      {"1.2.3.4 junk", std::nullopt},
      {"0.0.0.0", Addr(0, 0, 0, 0)},
      {"256.1.1.1", std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(IsIPAddress(row.text), row.address.has_value());
    EXPECT_EQ(StrToIP(row.text), row.address.value_or(0));
  }
}

// Where the address reader departs from the C library's inet_aton on
// purpose: a single trailing dot is accepted; a part must be a number and
// nothing else (inet_aton stops at a blank and ignores what follows); "0X"
// and a bare "0x" are not hexadecimal; a part may carry a sign ("+1", "-0").
// Answers the text whose inet_aton result ours must equal, or nullopt when
// ours must reject the text.
std::optional<std::string> InetAtonEquivalent(std::string text) {
  if (text.size() > 1 && text.back() == '.' && text[text.size() - 2] != '.') text.pop_back();
  std::string result;
  std::size_t start = 0;
  while (true) {
    const std::size_t dot = text.find('.', start);
    std::string part = text.substr(start, dot == std::string::npos ? dot : dot - start);
    if (part.find_first_of(" \t") != std::string::npos || part.find("0X") == 0 || part == "0x") {
      return std::nullopt;
    }
    if (part.size() > 1 && part[0] == '+') part.erase(0, 1);
    if (part == "-0") part = "0";
    result += part;
    if (dot == std::string::npos) break;
    result += '.';
    start = dot + 1;
  }
  return result;
}

TEST(HostNamesTest, StrToIPAgreesWithInetAton) {
  const std::vector<std::string> tokens = {
      "0",          "1",          "7",           "10",       "127",      "255",
      "256",        "0377",       "0400",        "08",       "010",      "00",
      "0x0",        "0xff",       "0xFF",        "0x100",    "0XFF",     "0x",
      "0xg",        "65535",      "65536",       "16777215", "16777216", "4294967295",
      "4294967296", "0xffffffff", "0x100000000", "+1",       "-0",       "-1",
      "a",          "1a",         " 1",          "1 ",       "1 x",      ""};
  std::vector<std::string> texts;
  for (const auto& a : tokens) {
    texts.push_back(a);
    for (const auto& b : tokens) texts.push_back(a + "." + b);
  }
  std::mt19937 random(1234);
  for (int i = 0; i < 3000; ++i) {
    const int parts = 3 + static_cast<int>(random() % 3);
    std::string text;
    for (int p = 0; p < parts; ++p) {
      if (p > 0) text += '.';
      text += tokens[random() % tokens.size()];
    }
    texts.push_back(text);
  }
  const std::size_t generated = texts.size();
  for (std::size_t i = 0; i < generated; ++i) {
    texts.push_back(texts[i] + ".");
    if (auto equivalent = InetAtonEquivalent(texts[i])) texts.push_back(*equivalent);
    if (auto equivalent = InetAtonEquivalent(texts[i] + ".")) texts.push_back(*equivalent);
  }

  std::string input;
  for (const auto& text : texts) input += text + "\n";
  const test::CommandResult oracle = test::RunPython(R"(
import socket, sys
for line in sys.stdin.read().split("\n")[:-1]:
    try:
        print(socket.inet_aton(line).hex())
    except OSError:
        print("-")
)",
                                                     input);
  ASSERT_EQ(oracle.ExitCode, 0);
  std::map<std::string, std::string> answers;
  std::size_t start = 0;
  for (const auto& text : texts) {
    const std::size_t end = oracle.Output.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    answers[text] = oracle.Output.substr(start, end - start);
    start = end + 1;
  }
  auto ours = [](const std::string& text) {
    if (!IsIPAddress(text)) return std::string("-");
    char hex[9];
    const std::uint32_t number = StrToIP(text);
    const auto* b = reinterpret_cast<const unsigned char*>(&number);
    std::snprintf(hex, sizeof(hex), "%02x%02x%02x%02x", b[0], b[1], b[2], b[3]);
    return std::string(hex);
  };
  int compared = 0;
  for (std::size_t i = 0; i < generated * 2; ++i) {
    const std::string& text = i < generated ? texts[i] : texts[i - generated] + ".";
    const std::optional<std::string> equivalent = InetAtonEquivalent(text);
    const std::string expected = equivalent ? answers.at(*equivalent) : "-";
    EXPECT_EQ(ours(text), expected) << '"' << text << '"';
    ++compared;
  }
  EXPECT_GT(compared, 0);
}

TEST(HostNamesTest, NumbersAndTexts) {
  EXPECT_EQ(IPToStr(Addr(127, 0, 0, 1)), "127.0.0.1");
  EXPECT_EQ(IPToStr2(Addr(255, 1, 0, 10)), "255.1.0.10");
  EXPECT_EQ(IPToReversedText(Addr(1, 2, 3, 4)), "4.3.2.1");
  EXPECT_EQ(htonl(0x7F000001u), Addr(127, 0, 0, 1));  // wire order
  EXPECT_EQ(SwapBytes16(0x1234), 0x3412);

  struct {
    const char *in, *out;
  } reversed[] = {{"", ""}, {"a", "a"}, {"a.b.c", "c.b.a"}, {"a..b", "b..a"}, {".a", "a."}};
  for (const auto& row : reversed) {
    SCOPED_TRACE(row.in);
    EXPECT_EQ(ReverseDottedLabels(row.in), row.out);
  }

  struct {
    const char* text;
    std::uint32_t address;
  } hex[] = {{"7F000001", 0x7F000001u},
             {"000000FF", 0xFFu},
             {"1", 1},
             {"", 0},
             {"ZZ000001", 1},
             {"12Z45678", 0x12005678u},
             {"7f0000011234", 0x7F000001u}};
  for (const auto& row : hex) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(HexToIP(row.text), row.address);
  }

  struct {
    const char *address, *low, *high;
    bool in;
  } ranges[] = {
      {"127.0.0.5", "127.0.0.2", "127.0.0.200", true},
      {"10.0.1.1", "10.0.0.1", "10.0.0.255", false},
      {"10.0.0.1", "10.0.0.1", "10.0.0.1", true},
      {"9.255.255.255", "10.0.0.0", "10.255.255.255", false},
      {"200.0.0.1", "10.0.0.0", "100.0.0.0", false},  // first byte most significant
      {"1.2.3.4", "0.0.0.0", "1.2.3.4", true},
      {"1.2.3.4", "1.2.3.4", "0.0.0.0", true},
      {"1.2.3.5", "1.2.3.4", "0.0.0.0", false},
      {"junk", "0.0.0.0", "255.255.255.255", false},
      {"1.2.3.4", "x", "255.255.255.255", false},
  };
  for (const auto& row : ranges) {
    SCOPED_TRACE(std::string(row.address) + " " + row.low + " " + row.high);
    EXPECT_EQ(IsIPInRange(row.address, row.low, row.high), row.in);
  }

  for (int i = 0; i < 200; ++i) {
    const std::uint32_t address = RandomLoopbackAddress();
    const auto* b = reinterpret_cast<const unsigned char*>(&address);
    ASSERT_EQ(b[0], 127);
    ASSERT_LE(b[1], 254);
    ASSERT_LE(b[2], 254);
    ASSERT_LE(b[3], 254);
  }
}

TEST(HostNamesTest, SocketErrorsAndResults) {
  struct {
    int code;
    TDNSResult result;
  } toResult[] = {{0, dns_NoError},
                  {10000, dns_NoError},
                  {11001, dns_NoError},
                  {11003, dns_NoError},
                  {11004, dns_NoError},
                  {10064, dns_NoContactServer},
                  {-2, dns_BadResultReturned},
                  {10060, dns_Timeout},
                  {11002, dns_Timeout},
                  {-1, dns_NotPerformed},
                  {10050, dns_InternalError},
                  {12345, dns_InternalError}};
  for (const auto& row : toResult) {
    SCOPED_TRACE(row.code);
    EXPECT_EQ(SocketErrorToDNSResult(row.code), row.result);
  }
  const int back[] = {0, 10064, -2, 10060, 10050, -1, 10036};
  for (int result = 0; result <= 6; ++result) {
    SCOPED_TRACE(result);
    EXPECT_EQ(DNSResultToSocketError(result), back[result]);
  }
}

TEST(HostNamesTest, JudgingNames) {
  struct {
    const char* name;
    bool dynamic;
  } dynamic[] = {
      {"ppp123", true},
      {"ppp123.example.net", false},  // the match must cover the whole name
      {"24-56-78-90.cable.example.com", true},
      {"127-0-0-1", false},
      {"192-168-1-5", false},
      {"10.1.2.3", false},
      {"", false},
      {"mail.example.com", false},
      {"dsl-1-2", true},
      {"adsl-10-20-more.example", true},
      {"host-1-2-3-4", true},
      {"c-12-34", true},
      {"1pool2x.a.b", false},  // the pattern ends with a dot
      {"1pool2x.a.", true},
      {"127.1.2.3.example.com", false},
  };
  for (const auto& row : dynamic) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(IsDynamicHostName(row.name), row.dynamic);
  }

  EXPECT_TRUE(IsWebmailRelayHostName("bay0-omc1-s12.bay0.hotmail.com"));
  EXPECT_FALSE(IsWebmailRelayHostName("bay0-omc1-s12.bay0.hotmail.com.evil.example"));
  EXPECT_FALSE(IsWebmailRelayHostName("mail.hotmail.com"));
  EXPECT_FALSE(IsWebmailRelayHostName(""));

  struct {
    const char* name;
    bool valid;
  } domains[] = {{"example.com", true},  {"Example.COM", true},   {"user@mail.example.com", true},
                 {"example.c0m", false}, {"example.c", false},    {".example.com", false},
                 {"a..com", false},      {"abc", false},          {"a.bc", true},
                 {"a.b", false},         {"exa mple.com", false}, {"exa_mple.com", false},
                 {"1.2.3.4", false}};
  for (const auto& row : domains) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(IsValidDomainName(row.name), row.valid);
  }

  struct {
    const char *a, *b;
    int count;
  } labels[] = {{"a.b.c", "A.B.d", 2}, {"a.b", "a.b", 2}, {"a.b", "a.b.c", 2},
                {"x.b", "a.b", 0},     {"", "a", 0},      {"a.", "a.", 2}};
  for (const auto& row : labels) {
    SCOPED_TRACE(std::string(row.a) + " " + row.b);
    EXPECT_EQ(CountCommonLeadingLabels(row.a, row.b), row.count);
  }

  TStringList list{"mail.example.com", "www.example.com", "pop3.example.com", "SMTPAUTH.x",
                   "mx.example.com",   "mx1.example.com", "dns.example.com",  "news.example.com"};
  KeepMailServerHostNames(list);
  EXPECT_EQ(list.Count(), 4);
  EXPECT_EQ(list[0], "mail.example.com");
  EXPECT_EQ(list[1], "pop3.example.com");
  EXPECT_EQ(list[2], "SMTPAUTH.x");
  EXPECT_EQ(list[3], "mx.example.com");
}

TEST(HostNamesTest, LocalAddressesWithoutLookups) {
  EXPECT_TRUE(IsLocalHost(Addr(127, 0, 0, 1)));
  EXPECT_TRUE(IsLocalHost(Addr(127, 9, 8, 7)));
  EXPECT_TRUE(IsLocalHostAddress("127.0.0.1"));
  EXPECT_FALSE(IsLocalHostAddress("not an address"));
  TInAddrArray addresses{Addr(9, 9, 9, 9)};
  TStringList aliases{"old"};
  EXPECT_EQ(LookupHostAddresses("anything.example", addresses, aliases, 0), dns_Timeout);
  EXPECT_TRUE(addresses.empty());
  EXPECT_EQ(aliases.Count(), 0);
  std::uint32_t address = 0;
  EXPECT_EQ(ResolveHostAddress("10.0.0.7", address, 0), dns_NoError);
  EXPECT_EQ(address, Addr(10, 0, 0, 7));

  THostLookup* handle = reinterpret_cast<THostLookup*>(1);
  int code = 0;
  EXPECT_TRUE(PollHostLookup(nullptr, addresses, aliases, code));
  EXPECT_EQ(code, 10050);
  ASSERT_TRUE(StartHostLookup("localhost", handle, true));
  EXPECT_EQ(handle, nullptr);
  EndHostLookup(nullptr);
}

// ---------------------------------------------------------------------------
// Runs in a network namespace of its own (the test reruns itself there),
// whose loopback gets an address that no host name leads to.
TEST(HostNamesTest, EveryInterfaceAddressIsLocal) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(false);
  ASSERT_EQ(test::RunCommand({"ip", "addr", "add", "10.200.0.7/32", "dev", "lo"}).ExitCode, 0);
  EXPECT_TRUE(IsLocalHostAddress("10.200.0.7"));
  EXPECT_FALSE(IsLocalHostAddress("10.200.0.8"));
}

// Look-ups against a real DNS server. The C library asks only port 53 of the
// servers in /etc/resolv.conf, so these run in namespaces of their own
// (support/network_namespace.h) where the test mounts its own resolver files
// and starts dnsmasq on 127.0.0.1:53 (support/namespace_dns.h).

int CountOccurrences(const std::string& text, const std::string& part) {
  int count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

using test::Eventually;

TEST(HostLookupTest, AgainstDnsmasqInAPrivateNetwork) {
  if (!test::DnsmasqInstalled()) GTEST_SKIP() << "dnsmasq is not installed";
  HALVORN_IN_OWN_NETWORK_NAMESPACE(false);
  // A UDP listener that never answers, for the time-out.
  const int silent = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(silent, 0);
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(5300);
  where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&where), sizeof(where)), 0);

  const test::PrivateNetworkDns dns(
      {"server=/slow.example/127.0.0.1#5300", "host-record=mail.test,192.0.2.10",
       "host-record=mail.test,192.0.2.11", "cname=alias.test,mail.test",
       "host-record=sentinel.test,192.0.2.99"});
  ASSERT_TRUE(dns.Ok()) << dns.Error();
  TInAddrArray addresses;
  TStringList aliases;
  ASSERT_TRUE(Eventually([&] {
    return LookupHostAddresses("mail.test", addresses, aliases, 1000) == dns_NoError &&
           !addresses.empty();
  })) << dns.LogText();

  // An address (two of them).
  EXPECT_EQ(LookupHostAddresses("mail.test", addresses, aliases, 5000), dns_NoError);
  EXPECT_EQ(std::set<std::uint32_t>(addresses.begin(), addresses.end()),
            (std::set<std::uint32_t>{Addr(192, 0, 2, 10), Addr(192, 0, 2, 11)}));
  EXPECT_EQ(HostToIP("sentinel.test", 5000), Addr(192, 0, 2, 99));

  // Aliases: the name asked for is an alias of the canonical name.
  EXPECT_EQ(LookupHostAddresses("alias.test", addresses, aliases, 5000), dns_NoError);
  EXPECT_EQ(addresses.size(), 2u);
  EXPECT_GE(aliases.IndexOf("alias.test"), 0);

  // A name that does not exist: no error, no address.
  EXPECT_EQ(LookupHostAddresses("nothere.test", addresses, aliases, 5000), dns_NoError);
  EXPECT_TRUE(addresses.empty());
  std::uint32_t address = 1;
  EXPECT_FALSE(ResolveHost("nothere.test", address, 5000));
  EXPECT_EQ(address, 0u);

  // A server that never answers: the caller's time-out holds.
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(LookupHostAddresses("www.slow.example", addresses, aliases, 300), dns_Timeout);
  EXPECT_TRUE(addresses.empty());
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(3));

  // The driven form.
  THostLookup* handle = nullptr;
  ASSERT_TRUE(StartHostLookup("www.slow.example", handle, false));
  int code = 0;
  EXPECT_FALSE(PollHostLookup(handle, addresses, aliases, code));
  EXPECT_EQ(code, -1);
  EndHostLookup(handle);  // still running: its answer is dropped
  ASSERT_TRUE(StartHostLookup("alias.test", handle, false));
  addresses.clear();
  aliases.Clear();
  EXPECT_TRUE(Eventually([&] { return PollHostLookup(handle, addresses, aliases, code); }));
  EXPECT_EQ(code, 0);
  EXPECT_EQ(addresses.size(), 2u);
  EXPECT_GE(aliases.IndexOf("alias.test"), 0);
  EndHostLookup(handle);
  ASSERT_TRUE(StartHostLookup("nothere.test", handle, false));
  EXPECT_TRUE(Eventually([&] { return PollHostLookup(handle, addresses, aliases, code); }));
  EXPECT_EQ(code, 11001);
  EndHostLookup(handle);

  // The own host name does not resolve here: the local-host test asks the
  // server once and then remembers that it found nothing.
  const std::string own = GetHostNameOrLocal();
  if (own != "LocalHost" && own != "localhost") {
    FinalizeHostNames();
    const std::string query = "query[A] " + own;
    EXPECT_FALSE(IsLocalHost(Addr(192, 0, 2, 50)));
    EXPECT_TRUE(IsLocalHost(htonl(INADDR_LOOPBACK)));
    EXPECT_FALSE(IsLocalHostAddress("0.0.0.0"));  // a failed look-up is no match
    EXPECT_FALSE(IsLocalHost(0));
    ASSERT_TRUE(Eventually([&] { return CountOccurrences(dns.LogText(), query) > 0; }));
    const int asked = CountOccurrences(dns.LogText(), query);
    EXPECT_FALSE(IsLocalHost(Addr(192, 0, 2, 51)));
    EXPECT_FALSE(IsLocalHostAddress("192.0.2.52"));
    // The server logs in order: once the sentinel shows, so would a repeat.
    EXPECT_EQ(HostToIP("sentinel.test", 5000), Addr(192, 0, 2, 99));
    ASSERT_TRUE(Eventually([&] {
      const std::string text = dns.LogText();
      return CountOccurrences(text, "query[A] sentinel.test") >= 2;
    }));
    EXPECT_EQ(CountOccurrences(dns.LogText(), query), asked);

    // OwnIPAddress counts as this machine's.
    OwnIPAddress.store(Addr(192, 0, 2, 60));
    EXPECT_TRUE(IsLocalHost(Addr(192, 0, 2, 60)));
    OwnIPAddress.store(0);
  }
  // "LocalHost" comes from the hosts file and is then answered from the cache.
  EXPECT_EQ(LookupHostAddresses("LOCALHOST", addresses, aliases, 5000), dns_NotPerformed);
  EXPECT_EQ(addresses, TInAddrArray{htonl(INADDR_LOOPBACK)});

  close(silent);
}

}  // namespace
}  // namespace halvorn
