#include "foundation/regex/url_extraction.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace halvorn {
namespace {

TEST(UrlExtractionTest, ExtractUrls) {
  std::string text =
      "See http://www.example.com/page.html, ftp://10.0.0.1/file and "
      "https://user:pw@host.org/a?b=1&c='x' but not http://nopath.com or "
      "http://example.com/r?u=http://other.net/x\r\nSEE HTTP://WWW.EXAMPLE.COM/page.html";
  TStringList urls;
  ExtractUrls(text, urls);
  EXPECT_EQ(text.find("\r\n"), std::string::npos);
  EXPECT_EQ(
      urls.ToVector(),
      (std::vector<std::string>{"http://www.example.com/page.html,",  // "," is a path character
                                "ftp://10.0.0.1/file", "https://user:pw@host.org/a?b=1&c='x",
                                "http://example.com/r?u=http",  // ":" is no path character
                                "HTTP://WWW.EXAMPLE.COM/page.html"}));
}

}  // namespace
}  // namespace halvorn
