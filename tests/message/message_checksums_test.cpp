#include "message/message_checksums.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "message/simple_html.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

std::uint32_t Typed(int type, const std::string& text) {
  std::uint32_t checksum = CheckSumOfText(text);
  SetCheckSumType(type, checksum);
  return checksum;
}

std::vector<std::string> Lines(const TStringList& list) {
  std::vector<std::string> lines;
  for (int i = 0; i < list.Count(); ++i) lines.push_back(list[i]);
  return lines;
}

// Hashes and the pair layout against hashlib and struct: other installations
// compute the same values, so every bit counts.
TEST(MessageChecksumsTest, HashesAndPairsAgreeWithPython) {
  std::vector<std::string> texts = {
      "",
      "a",
      "Hello World",
      "HELLO WORLD",
      "hello world",
      "www.example.com/x?y=Z",
      std::string("Caf\xC9 \xE9\xC0 \x00 ZZ", 13),  // 8-bit letters keep their case
  };
  std::vector<std::string> streams;
  for (const std::size_t size : {0, 1, 1023, 1024, 1025, 4000}) {
    std::string stream;
    for (std::size_t i = 0; i < size; ++i) stream += static_cast<char>((i * 7 + 3) % 256);
    streams.push_back(stream);
  }
  struct Pair {
    std::uint32_t value;
    int index, type;
  };
  const Pair pairs[] = {
      {0x0100000A, 0, 5}, {0x070200C0, 1, 5},   {0xFFFFFFFF, 127, 7},
      {0, 0, 5},          {0x12345678, 200, 5},  // only the index's low 7 bits are kept
  };

  std::ostringstream input;
  for (const auto& text : texts) input << "T " << test::HexOf(text) << "\n";
  for (const auto& stream : streams) input << "S " << test::HexOf(stream) << "\n";
  for (const auto& pair : pairs)
    input << "P " << pair.value << " " << pair.index << " " << pair.type << "\n";
  const test::CommandResult python = test::RunPython(R"(
import hashlib, struct, sys
def hash24(data):
    return struct.unpack('<I', hashlib.md5(data).digest()[:4])[0] >> 8
for line in sys.stdin:
    kind, *rest = line.split()
    data = bytes.fromhex(rest[0]) if kind in 'TS' and rest else b''
    if kind == 'T':
        print(hash24(data.lower()))
    elif kind == 'S':
        print(hash24(data[-1024:]))
    else:
        value, index, kind = map(int, rest)
        low = struct.pack('<BHB', 0x80 | (index & 0x7F), value & 0xFFFF, kind)
        high = struct.pack('<BHB', index & 0x7F, value >> 16, kind)
        print(struct.unpack('<I', low)[0], struct.unpack('<I', high)[0])
)",
                                                     input.str());
  ASSERT_EQ(python.ExitCode, 0);
  std::istringstream expected(python.Output);
  for (const auto& text : texts) {
    std::uint32_t want = 0;
    expected >> want;
    EXPECT_EQ(CheckSumOfText(text), want) << test::HexOf(text);
  }
  for (const auto& stream : streams) {
    std::uint32_t want = 0;
    expected >> want;
    EXPECT_EQ(CheckSumOfStream(stream), want) << stream.size() << " bytes";
  }
  for (const auto& pair : pairs) {
    std::uint32_t low = 0, high = 0;
    expected >> low >> high;
    SCOPED_TRACE(pair.value);
    const auto made = MakeChecksumPair(pair.value, pair.index, pair.type);
    EXPECT_EQ(made[0], low);
    EXPECT_EQ(made[1], high);
    const TPairChecksumParts lowParts = SplitPairChecksum(made[0]);
    const TPairChecksumParts highParts = SplitPairChecksum(made[1]);
    EXPECT_EQ(lowParts.Index, pair.index & 0x7F);
    EXPECT_TRUE(lowParts.LowHalf);
    EXPECT_FALSE(highParts.LowHalf);
    EXPECT_EQ((std::uint32_t{highParts.Half} << 16) | lowParts.Half, pair.value);
  }
  ASSERT_FALSE(expected.fail());

  EXPECT_EQ(CheckSumOfText("MiXeD Case"), CheckSumOfText("mixed case"));
  // Only the last 1024 bytes of a stream count.
  EXPECT_EQ(CheckSumOfStream(streams[4]), CheckSumOfStream(streams[4].substr(1)));
  EXPECT_NE(CheckSumOfStream(streams[3]), CheckSumOfStream(streams[3].substr(1)));
}

TEST(MessageChecksumsTest, TypesAndTheirRanges) {
  std::uint32_t checksum = 0xFFFFFFFF;
  SetCheckSumType(cstImage, checksum);
  EXPECT_EQ(checksum, 0x02FFFFFFu);
  SetCheckSumType(0x1FF, checksum);  // the type's low 8 bits
  EXPECT_EQ(checksum, 0xFFFFFFFFu);

  const struct {
    std::uint32_t checksum;
    int type;
    bool pair;
  } rows[] = {
      {0, cstNone, false},     {0x00123456, cstNone, false},    {0x01000000, cstBodyText, false},
      {0x05ABCDEF, 5, true},   {0x06000001, cstBodyUrl, false}, {0x07000000, 7, true},
      {0x0AFFFFFF, 10, false}, {0x0B000000, cstNone, false},    {0xFF000005, cstNone, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.checksum);
    EXPECT_EQ(CheckSumType(row.checksum), row.type);
    EXPECT_EQ(IsPairChecksum(row.checksum), row.pair);
  }
}

TEST(MessageChecksumsTest, AddressPairsContinueTheIndexes) {
  // Received addresses 10.0.0.1 and 192.0.2.7, first byte lowest.
  const std::vector<std::uint32_t> addresses = {0x0100000A, 0x070200C0};
  TCheckSumArray array = {Typed(cstBodyText, "one")};
  AppendAddressPairChecksums(addresses, cstReceivedAddrPair, array);
  ASSERT_EQ(array.size(), 5u);
  EXPECT_EQ(array[1], 0x05000A80u);  // low half of 10.0.0.1, index 0
  EXPECT_EQ(array[2], 0x05010000u);  // its high half
  EXPECT_EQ(array[3], 0x0500C081u);
  EXPECT_EQ(array[4], 0x05070201u);

  // Pairs with indexes 0 to 2 already there (one of the second kind): the
  // next ones start at 3. Other types never count, however their low byte.
  array = {MakeChecksumPair(1, 0, 5)[0], MakeChecksumPair(1, 2, 7)[1], MakeChecksumPair(1, 1, 5)[1],
           0x0100007F};
  AppendAddressPairChecksums(addresses, cstReceivedAddrPair, array);
  ASSERT_EQ(array.size(), 8u);
  EXPECT_EQ(SplitPairChecksum(array[4]).Index, 3);
  EXPECT_EQ(SplitPairChecksum(array[7]).Index, 4);

  // After index 127 comes 0.
  array = {MakeChecksumPair(1, 127, 5)[0]};
  AppendAddressPairChecksums(addresses, cstReceivedAddrPair, array);
  EXPECT_EQ(SplitPairChecksum(array[1]).Index, 0);
  EXPECT_EQ(SplitPairChecksum(array[3]).Index, 1);

  array = {0x0100007F};
  AppendAddressPairChecksums({}, cstReceivedAddrPair, array);
  EXPECT_EQ(array, TCheckSumArray{0x0100007F});
}

TEST(MessageChecksumsTest, OwnImagesAreRecognisedByTheirTypedChecksum) {
  const std::string spacer = "GIF89a spacer";
  const std::string logo = "GIF89a" + std::string(2000, 'L');
  RecordOwnImageChecksums({spacer, logo});
  std::uint32_t checksum = CheckSumOfStream(logo);
  EXPECT_FALSE(IsOwnImageChecksum(checksum));  // an untyped checksum is another value
  SetCheckSumType(cstImage, checksum);
  EXPECT_TRUE(IsOwnImageChecksum(checksum));
  EXPECT_EQ(OwnImageChecksums().size(), 2u);
  RecordOwnImageChecksums({spacer});  // a new record replaces the old one
  EXPECT_FALSE(IsOwnImageChecksum(checksum));
  RecordOwnImageChecksums({});
  EXPECT_TRUE(OwnImageChecksums().empty());
}

// The removal rule exactly as it reads: quadratic, and the reference for the
// faster form.
bool ReferenceRemoveDuplicates(TCheckSumArray& array) {
  std::size_t length = array.size();
  bool removed = false;
  for (std::size_t i = 0; i < length; ++i) {
    std::size_t j = i + 1;
    while (j < length) {
      if (array[j] == array[i]) {
        array[j] = array[length - 1];
        --length;
        removed = true;
      } else {
        ++j;
      }
    }
  }
  array.resize(length);
  return removed;
}

TEST(MessageChecksumsTest, RemovingDuplicatesKeepsTheRulesOrder) {
  const struct {
    TCheckSumArray before, after;
    bool removed;
  } rows[] = {
      {{}, {}, false},
      {{7}, {7}, false},
      {{1, 2, 3}, {1, 2, 3}, false},
      {{1, 1, 1}, {1}, true},
      {{1, 2, 1, 3, 4}, {1, 2, 4, 3}, true},  // the last entry fills the hole
      {{1, 2, 1, 3, 1}, {1, 2, 3}, true},     // a repeat at the tail is dropped first
      {{5, 6, 5, 6, 7, 6}, {5, 6, 7}, true},
  };
  for (const auto& row : rows) {
    TCheckSumArray array = row.before;
    EXPECT_EQ(RemoveDuplicateChecksums(array), row.removed);
    EXPECT_EQ(array, row.after);
  }

  std::mt19937 random(13);
  for (int round = 0; round < 3000; ++round) {
    TCheckSumArray array(random() % 80);
    const std::uint32_t range = 1 + random() % 40;
    for (auto& value : array) value = random() % range;
    TCheckSumArray expected = array;
    const bool expectedRemoved = ReferenceRemoveDuplicates(expected);
    const TCheckSumArray before = array;
    ASSERT_EQ(RemoveDuplicateChecksums(array), expectedRemoved) << ::testing::PrintToString(before);
    ASSERT_EQ(array, expected) << ::testing::PrintToString(before);
  }
}

TEST(MessageChecksumsTest, SentenceSplitting) {
  const struct {
    std::string text;
    bool keepAll;
    std::vector<std::string> sentences;
  } rows[] = {
      // No sentence mark: the whole text, and once more as the last piece.
      {"Hello world", false, {"helloworld", "helloworld"}},
      // "ok" ends at "?" and is dropped; "yes" ends at "." and joins the last.
      {"Buy now. It is great! Ok? Yes.", false, {"buynow", "itisgreatyes", "yes"}},
      // A short first piece starts an empty first sentence.
      {"Hi. Buy cheap meds now.", false, {"hi", "buycheapmedsnow", "buycheapmedsnow"}},
      {"Mr. Smith e.g. said hi.", false, {"mrsmithegsaidhi", "mrsmithegsaidhi"}},
      {"Write to Joe@Example.com today", false, {"writetotoday", "writetotoday"}},
      {"Visit www.example.com for deals", false, {"visitfordeals", "visitfordeals"}},
      // A short piece joins an empty first sentence and is added once more.
      {"Tiny", false, {"tiny", "tiny"}},
      {"", false, {""}},
      // Keeping all: quote marks and line breaks go, blanks and commas stay.
      {"> Hello there, friend\r\n> bye",
       true,
       {"hello there, friend bye", "hello there, friend bye"}},
      // Two blanks since the last sentence stop a short piece from joining.
      {"one two three. ab. cd.", true, {"one two threeab", "cd"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    std::string text = row.text;
    TStringList sentences = {"stale"};
    SplitIntoSentences(text, sentences, row.keepAll);
    EXPECT_EQ(Lines(sentences), row.sentences);
  }

  // Many short pieces join one sentence without quadratic copying.
  std::string text;
  for (int i = 0; i < 200000; ++i) text += "ab. ";
  TStringList sentences;
  SplitIntoSentences(text, sentences, false);
  ASSERT_EQ(sentences.Count(), 1);  // the last piece, after "ab. ", is empty
  EXPECT_EQ(sentences[0].size(), 400000u);
}

TEST(MessageChecksumsTest, SpecialBodyChecksums) {
  const std::string body =
      "Contact Sales@Example.com or bob@example.org today.\r\n"
      "Go to http://zeta.example.com/buy?id=1+2 and http://alpha.example.com:8080/a/b.html twice: "
      "http://zeta.example.com/buy?id=1+2<br>\r\n"
      "<a href=\"http://127.0.0.1:6173/GetReport?x=1\">classify</a> http://localhost.example.com/x "
      "http://www.hotmail.com/ads/x http://mail.Yahoo.com/x http://LocalHost.example.com/y \r\n"
      "Also www.deals.example.net here.\r\n";
  const std::vector<std::pair<int, std::string>> expected = {
      // Addresses in the order found, as written.
      {cstBodyEmailAddr, "Sales@Example.com"},
      {cstBodyEmailAddr, "bob@example.org"},
      // URLs sorted, each once, in canonical form (the query decoded and
      // encoded again); the local web server, "localhost" and the free-mail
      // providers' hosts skipped, but "LocalHost" is another text.
      {cstBodyUrl, "alpha.example.com:8080/a/b.html"},
      {cstBodyUrl, "LocalHost.example.com/y"},
      {cstBodyUrl, "zeta.example.com/buy?id=1%202"},
      // Fragments of the plain text as found, repeats included.
      {cstBodyPartialUrls, "Sales@Example.com"},
      {cstBodyPartialUrls, "bob@example.org"},
      {cstBodyPartialUrls, "http://zeta.example.com/buy?id=1+2"},
      {cstBodyPartialUrls, "http://alpha.example.com:8080/a/b.html"},
      {cstBodyPartialUrls, "http://zeta.example.com/buy?id=1+2"},
      {cstBodyPartialUrls, "http://LocalHost.example.com/y"},
      {cstBodyPartialUrls, "www.deals.example.net"},
  };
  TCheckSumArray want = {0x01000001};  // what the array held stays in front
  for (const auto& [type, text] : expected) want.push_back(Typed(type, text));

  {
    test::ScopedEnv developer("IsVostek", "Yes");
    TCheckSumArray array = {0x01000001};
    TSimpleHtml trace;
    GetSpecialBodyChecksums(body, array, &trace);
    ASSERT_EQ(array, want);
    ASSERT_EQ(trace.Count(), static_cast<int>(expected.size()));
    const auto label = [](int type) {
      return type == cstBodyEmailAddr ? " cstBodyEmailAddr "
             : type == cstBodyUrl     ? " cstBodyUrl "
                                      : " cstBodyPartialUrls ";
    };
    for (std::size_t i = 0; i < expected.size(); ++i) {
      EXPECT_TRUE(trace[i].ends_with(std::to_string(want[i + 1]) + label(expected[i].first) +
                                     expected[i].second))
          << trace[i];
      EXPECT_EQ(trace.GetLevel(static_cast<int>(i)), 11);
    }
  }
  {
    test::ScopedEnv ordinary("IsVostek", "");
    TCheckSumArray array = {0x01000001};
    TSimpleHtml trace;
    GetSpecialBodyChecksums(body, array, &trace);
    EXPECT_EQ(array, want);
    EXPECT_EQ(trace.Count(), 0);
  }

  // A free-mail fragment is skipped whatever its case; an empty text adds
  // nothing.
  TCheckSumArray array;
  GetSpecialBodyChecksums("see www.Yahoo.com/x and WWW.HOTMAIL.COM today", array, nullptr);
  EXPECT_TRUE(array.empty());
  GetSpecialBodyChecksums("", array, nullptr);
  EXPECT_TRUE(array.empty());
}

TEST(MessageChecksumsTest, FreeMailFooters) {
  const std::string rule(50, '_');
  const struct {
    const char* name;
    bool (*strip)(TStringList&);
    std::vector<std::string> before, after;
  } rows[] = {
      {"text footer",
       StripFreeMailTextFooter,
       {"Hello", "See you", rule, "Get your FREE e-mail at http://www.HotMail.com", "more"},
       {"Hello", "See you"}},
      {"text footer after a short rule",
       StripFreeMailTextFooter,
       {"Hello", rule.substr(1), "Get your FREE e-mail at http://www.hotmail.com"},
       {"Hello", rule.substr(1), "Get your FREE e-mail at http://www.hotmail.com"}},
      {"text footer too far from its rule",
       StripFreeMailTextFooter,
       {"Hello", rule, std::string(200, 'x') + "hotmail.com"},
       {"Hello", rule, std::string(200, 'x') + "hotmail.com"}},
      {"text footer of the other provider",
       StripFreeMailTextFooter,
       {"Hello", rule, "Get your mail at yahoo.com"},
       {"Hello", rule, "Get your mail at yahoo.com"}},
      {"HTML footer",
       StripFreeMailHtmlFooter,
       {"<html><body>Hi", "<hr>Get mail at <a href=http://www.hotmail.com>now</a>",
        "</body></html>"},
       {"<html><body>Hi", "</html>"}},
      {"HTML footer in capitals",
       StripFreeMailHtmlFooter,
       {"<html><body>Hi", "<HR>Get mail at http://www.hotmail.com", "</body></html>"},
       {"<html><body>Hi", "<HR>Get mail at http://www.hotmail.com", "</body></html>"}},
      {"tagline",
       StripFreeMailTagline,
       {"Thanks", "", "Do you Yahoo!?", "Free mail - now with more space"},
       {"Thanks", ""}},
      {"tagline without its mark",
       StripFreeMailTagline,
       {"Thanks", "do you yahoo", "x"},
       {"Thanks"}},
      {"no tagline", StripFreeMailTagline, {"Do you know?"}, {"Do you know?"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TStringList lines;
    for (const auto& line : row.before) lines.Add(line);
    EXPECT_EQ(row.strip(lines), row.before != row.after);
    EXPECT_EQ(Lines(lines), row.after);
  }
}

}  // namespace
}  // namespace halvorn
