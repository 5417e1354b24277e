// The installation's link key: made once from the system's randomness, kept
// in the registry file readable by the user alone, replaced when broken; and
// the links that carry it only to this machine.
#include "message/link_key.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "foundation/files/registry_settings.h"
#include "message/quor_url.h"

namespace halvorn {
namespace {

class LinkKey : public testing::Test {
 protected:
  void SetUp() override { SetLinkKeyForTesting(""); }
  void TearDown() override { SetLinkKeyForTesting(""); }
};

TEST_F(LinkKey, MadeOnceStoredPrivatelyAndReplacedWhenMalformed) {
  RegWriteString("HttpServer", "LinkKey", "");
  SetLinkKeyForTesting("");
  const std::string key = LoadLinkKey();
  ASSERT_EQ(key.size(), 32u);
  EXPECT_EQ(key.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(RegReadString("HttpServer", "LinkKey", ""), key);
  struct stat st{};
  ASSERT_EQ(stat(GetRegistryFilePath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // Read back as it is on the next start.
  SetLinkKeyForTesting("");
  EXPECT_EQ(LoadLinkKey(), key);
  // A broken value is replaced.
  for (const char* broken : {"short", "0123456789abcdef0123456789abcdeg",
                             "0123456789abcdef0123456789abcdef0"}) {
    SCOPED_TRACE(broken);
    RegWriteString("HttpServer", "LinkKey", broken);
    SetLinkKeyForTesting("");
    const std::string fresh = LoadLinkKey();
    EXPECT_EQ(fresh.size(), 32u);
    EXPECT_NE(fresh, broken);
    EXPECT_EQ(RegReadString("HttpServer", "LinkKey", ""), fresh);
  }
  EXPECT_NE(MakeLinkKey(), MakeLinkKey());
}

TEST_F(LinkKey, MatchesOnlyTheWholeKey) {
  SetLinkKeyForTesting("0123456789abcdef0123456789abcdef");
  EXPECT_TRUE(LinkKeyMatches("0123456789abcdef0123456789abcdef"));
  for (const char* other : {"", "0123456789abcdef0123456789abcde", "0123456789abcdef0123456789abcdeF",
                            "0123456789abcdef0123456789abcdef0", "1123456789abcdef0123456789abcdef"})
    EXPECT_FALSE(LinkKeyMatches(other)) << other;
}

TEST_F(LinkKey, TravelsOnlyToThisMachine) {
  SetLinkKeyForTesting("0123456789abcdef0123456789abcdef");
  const struct {
    const char* Host;
    bool Keeps;
  } rows[] = {{"LocalHost", true}, {"localhost", true}, {"127.0.0.1", true},
              {"127.9.8.7", true}, {"::1", true},       {"example.com", false},
              {"10.0.0.1", false}, {"127.example.com", false}, {"localhost.example", false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Host);
    TQuorUrl url;
    url.Document = "MsgInfo";
    url.SetValue("MsgId", "5");
    url.Host = row.Host;
    const std::string keyPair = "LinkKey=0123456789abcdef0123456789abcdef";
    EXPECT_EQ(url.GetQuery(), row.Keeps ? keyPair + "&MsgId=5" : "MsgId=5");
    EXPECT_EQ(url.GetUrl().find("LinkKey") != std::string::npos, row.Keeps);
    EXPECT_EQ(url.GetRelativeUrl().find("LinkKey") != std::string::npos, row.Keeps);
  }
}

}  // namespace
}  // namespace halvorn
