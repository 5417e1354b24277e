#include "message/host_and_domain.h"
#include "message/link_key.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/files/folder_test_env.h"
#include "foundation/threads/quor_thread.h"
#include "message/email_info.h"
#include "message/registration_suffixes.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

TEST(HostAndDomainTest, NormalizeUrl) {
  const struct {
    std::string text;
    bool ok;
    std::string after;
  } rows[] = {
      {"www.example.com/path/page.htm", true, "http://www.example.com/path/page.htm"},
      {"  https://Example.com:8443/a/  ", true, "https://Example.com:8443/a"},
      {"http://www.example.com/a+b", true, "http://www.example.com/a%20b"},
      {"://host/x", true, "://host/x"},  // the protocol is assumed; the text stays
      {"http://", false, "http://"},
      {"two words.com", false, "two words.com"},
      {"x.com/a(b)", false, "x.com/a(b)"},  // "(" is not URL-safe
      {"   ", false, "   "},
      {"", false, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    std::string text = row.text;
    EXPECT_EQ(NormalizeUrl(text), row.ok);
    EXPECT_EQ(text, row.after);
  }
}

TEST(HostAndDomainTest, UrlForms) {
  const struct {
    std::string url, host, withoutScheme;
  } rows[] = {
      {"http://joe:pw@Www.Example.com:8080/a b/c.html?q=a+b&r=%2B", "Www.Example.com",
       "Www.Example.com:8080/a%20b/c.html?q=a%20b&r=+"},  // the checksum form keeps "+"
      {"https://host/", "host", "host"},
      {"ftp://files.example.org:21/pub/dir/", "files.example.org", "files.example.org:21/pub/dir"},
      {"www.example.com", "www.example.com", "www.example.com"},
      // The checksum form reads a ":" after the host as other installations
      // do: the host runs to it. HostOfUrl ends the host at the first "/".
      {"http://a.com/x:y", "a.com", "a.com/x/y"},
      {"http://www.example.com/r/http://evil.com/p", "www.example.com",
       "www.example.com/r/http//evil.com/p"},
      {"http://h:8080/a:b", "h", "h:8080/a:b"},
      {"", "", ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.url);
    EXPECT_EQ(HostOfUrl(row.url), row.host);
    EXPECT_EQ(UrlWithoutScheme(row.url), row.withoutScheme);
  }
  const struct {
    std::string text, last;
  } segments[] = {{"a/b/c.htm", "c.htm"}, {"a/b/", "b"}, {"abc", "abc"},
                  {"/x", "x"},             {"a//", ""},   {"", ""}};
  for (const auto& row : segments) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(LastPathSegment(row.text), row.last);
  }
}

class DecodeLinkTest : public test::FolderEnvTest {};

TEST_F(DecodeLinkTest, LinksResolveThroughTheirRecord) {
  const std::string target = "http://LocalHost:6173/GetBackup?UserId=A&File=x%20y.eml&FileExt=.eml";
  TEmailInfo* record = nullptr;
  AcquireEmailInfo(0x1234ABCD, record);
  std::string link;
  ASSERT_TRUE(record->MakeDecodeLink(target, link));
  EXPECT_EQ(link, "http://LocalHost:6173/Decode?1234ABCD0&LinkKey=" + GetLinkKey());
  // While the record is live...
  EXPECT_EQ(ResolveDecodeLink(link), target);
  ReleaseEmailInfo(record);
  // ...and from its file once it is saved.
  std::string resolved;
  EXPECT_TRUE(ResolveDecodeLink(link, resolved));
  EXPECT_EQ(resolved, target);

  const std::string others[] = {
      "http://LocalHost:6173/Decode?1234ABCD1",  // no such position
      "http://LocalHost:6173/Decode?1234ABCE0",  // no such record
      "http://LocalHost:6173/GetBackup?1234ABCD0",
      "http://LocalHost:6173/Decode",
      "not a link at all",
  };
  for (const std::string& other : others) {
    SCOPED_TRACE(other);
    resolved = "stale";
    EXPECT_FALSE(ResolveDecodeLink(other, resolved));
    EXPECT_EQ(resolved, "");
    EXPECT_EQ(ResolveDecodeLink(other), "");
  }
  EXPECT_EQ(LiveEmailInfoCount(), 0);
}

// A worker that resolves a link once it is let go, and tells what escaped.
class TResolvingWorker : public TQuorThread {
 public:
  struct State {
    std::promise<void> Entered;
    std::promise<void> Release;
    std::atomic<bool> Escaped{false};
    std::atomic<bool> Done{false};
  };
  explicit TResolvingWorker(std::shared_ptr<State> state) : FState(std::move(state)) {}

 protected:
  void Execute() override {
    FState->Entered.set_value();
    FState->Release.get_future().wait();
    try {
      ResolveDecodeLink("http://LocalHost:6173/Decode?000000010");
    } catch (const EThreadAbandoned&) {
      FState->Escaped = true;
    }
    FState->Done = true;
  }
  std::shared_ptr<State> FState;
};

// An abandoned worker must unwind: the resolver's catch-all lets the
// abandonment (raised by the registry's lock) pass instead of answering false.
TEST_F(DecodeLinkTest, AnAbandonedWorkerUnwindsThroughTheResolver) {
  InitializeThreadList();
  auto state = std::make_shared<TResolvingWorker::State>();
  auto* worker = CreateQuorThread<TResolvingWorker>(false, state);
  const TThreadHandle handle = worker->Handle();
  state->Entered.get_future().wait();
  ASSERT_TRUE(KillThread(worker));
  state->Release.set_value();
  ASSERT_TRUE(test::Eventually([&] { return state->Done.load(); }));
  EXPECT_TRUE(state->Escaped);
  EXPECT_TRUE(test::Eventually([&] { return !ThreadHandleAlive(handle); }));
  EXPECT_EQ(LiveEmailInfoCount(), 0);
}

TEST(HostAndDomainTest, RegisteredDomain) {
  const struct {
    std::string host, domain;
  } rows[] = {
      {"bbc.co.uk", "bbc.co.uk"},  // three labels under a two-label suffix
      {"news.bbc.co.uk", "bbc.co.uk"},
      {"a.b.news.bbc.co.uk", "bbc.co.uk"},
      {"co.uk", "co.uk"},  // a suffix alone matches no entry
      {"www.example.com", "example.com"},
      {"a.b.c.example.org", "example.org"},
      {"example.net", "example.net"},
      {"localhost", "localhost"},
      {"WWW.Example.COM.AU", "example.com.au"},
      {"192.168.1.20", "192.168.1.20"},
      // The suffix the host ends with counts, also when it occurs earlier.
      {"mail.com.au.evil.com.au", "evil.com.au"},
      {"co.uk.example.co.uk", "example.co.uk"},
      // "co.im" stands before the three-label "ltd.co.im" and wins.
      {"shop.ltd.co.im", "ltd.co.im"},
      {"ltd.co.im", "ltd.co.im"},
      {".co.uk", ".co.uk"},
      {"", ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.host);
    EXPECT_EQ(RegisteredDomain(row.host), row.domain);
  }
}

TEST(HostAndDomainTest, SuffixTableIsOrderedAndClean) {
  const auto suffixes = RegistrationSuffixes();
  ASSERT_GT(suffixes.size(), 500u);
  std::set<std::string_view> seen;
  bool generic = false;
  int threeLabels = 0;
  for (const std::string_view suffix : suffixes) {
    SCOPED_TRACE(std::string(suffix));
    EXPECT_TRUE(seen.insert(suffix).second) << "listed twice";
    const auto dots = std::count(suffix.begin(), suffix.end(), '.');
    EXPECT_TRUE(dots == 1 || dots == 2);
    EXPECT_EQ(suffix.find_first_of("*!ABCDEFGHIJKLMNOPQRSTUVWXYZ"), std::string_view::npos);
    const bool countryCode = suffix.size() - suffix.rfind('.') - 1 == 2;
    if (!countryCode) generic = true;
    EXPECT_FALSE(generic && countryCode) << "country codes come first";
    if (dots == 2) {
      ++threeLabels;
      EXPECT_TRUE(countryCode);
      EXPECT_TRUE(seen.count(suffix.substr(suffix.find('.') + 1)))
          << "the two-label suffix it ends with comes first";
    }
  }
  EXPECT_GT(threeLabels, 0);
}

// Debian's psl, given the table's entries as its list, is the reference, on
// hosts under many of the entries and under none. Where the two differ on
// purpose the table below says how; each listed host must still differ.
TEST(HostAndDomainTest, AgreesWithPsl) {
  test::TempFolder folder;
  std::string list;
  std::vector<std::string> hosts;
  const auto suffixes = RegistrationSuffixes();
  for (std::size_t i = 0; i < suffixes.size(); ++i) {
    list += std::string(suffixes[i]) + "\n";
    const bool threeLabels = std::count(suffixes[i].begin(), suffixes[i].end(), '.') == 2;
    if (i % 8 == 0 && !threeLabels) {
      hosts.push_back("shop." + std::string(suffixes[i]));
      hosts.push_back("www.shop." + std::string(suffixes[i]));
    }
  }
  for (const char* host :
       {"www.example.com", "example.com", "a.b.c.d.example.org", "mail.example.de",
        "x.y.kawasaki.jp", "www.city.example.jp", "host.example.", "a..b.co.uk", "xn--bcher-kva.de",
        "www.example.co.zz", "deep.er.still.example.net"}) {
    hosts.push_back(host);
  }
  const std::map<std::string, std::string> differences = {
      {"co.uk", "a suffix alone is its own registered domain (psl: none)"},
      {"com.au", "a suffix alone is its own registered domain (psl: none)"},
      {"localhost", "one label is its own registered domain (psl: none)"},
      {"10.1.2.3", "dotted addresses come back unchanged (psl: the last two labels)"},
      {"shop.ltd.co.im",
       "the first entry that fits wins, \"co.im\" before \"ltd.co.im\" (psl: the longest)"},
      {"www.shop.plc.co.im",
       "the first entry that fits wins, \"co.im\" before \"plc.co.im\" (psl: the longest)"},
  };
  for (const auto& [host, why] : differences) hosts.push_back(host);

  ASSERT_TRUE(test::WriteFileBytes(folder.Sub("table.dat"), list));
  std::string input;
  for (const std::string& host : hosts) input += host + "\n";
  const test::CommandResult psl = test::RunCommand(
      {"psl", "--load-psl-file", folder.Sub("table.dat"), "--print-reg-domain"}, input);
  ASSERT_EQ(psl.ExitCode, 0) << "psl is one of the test packages of scripts/setup.sh";
  std::istringstream lines(psl.Output);
  int differing = 0;
  for (const std::string& host : hosts) {
    std::string line;
    ASSERT_TRUE(std::getline(lines, line));
    ASSERT_EQ(line.rfind(host + ": ", 0), 0u) << line;
    const std::string expected = line.substr(host.size() + 2);
    const auto known = differences.find(host);
    if (known == differences.end()) {
      EXPECT_EQ(RegisteredDomain(host), expected) << host;
    } else {
      EXPECT_NE(RegisteredDomain(host), expected) << host << " is listed as different: " << known->second;
      ++differing;
    }
  }
  EXPECT_EQ(differing, static_cast<int>(differences.size()));
}

}  // namespace
}  // namespace halvorn
