// The start-up scans of TRegExpr: the byte filters on their own, and the
// property that matters, that a search with the scans finds exactly what a
// search trying every position finds.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "foundation/regex/reg_expr.h"
#include "foundation/regex/reg_expr_program.h"
#include "support/test_support.h"

namespace halvorn::regexpr_internal {
namespace {

using Tests = std::vector<std::pair<std::int32_t, CharSet>>;

// The filter passes every position where all tests hold (it may pass more:
// its probes hold supersets), and FindFiltered answers the first position
// where its own probes hold, across vector blocks and their tails.
TEST(RegExprScan, FilterNeverMissesAWantedPosition) {
  std::mt19937 rng(424242);
  auto randomSet = [&](int kind) {
    CharSet s;
    switch (kind) {
      case 0:  // one byte
        s.Add(static_cast<unsigned char>(rng()));
        break;
      case 1: {  // a letter and its other case
        unsigned char c = 'a' + rng() % 26;
        s.Add(c);
        s.Add(c ^ 0x20);
        break;
      }
      case 2:  // a few bytes
        for (int i = 0; i < 4; ++i) s.Add(static_cast<unsigned char>(rng()));
        break;
      default:  // many bytes: more than eight nibble buckets
        for (int i = 0; i < 90; ++i) s.Add(static_cast<unsigned char>(rng()));
        break;
    }
    return s;
  };
  for (int round = 0; round < 400; ++round) {
    // Tests at distinct offsets, as the compiler makes them.
    std::vector<std::int32_t> offsets{-1, 0, 1, 2, 3, 4};
    std::shuffle(offsets.begin(), offsets.end(), rng);
    Tests tests;
    for (int i = 1 + static_cast<int>(rng() % 4); i > 0; --i)
      tests.emplace_back(offsets[i], randomSet(rng() % 4));
    ByteFilter filter = ChooseByteFilter(tests, true);
    ASSERT_GE(filter.Count, 1);
    for (int i = 0; i < filter.Count; ++i) {
      const ByteProbe& p = filter.Probes[i];
      for (const auto& [offset, set] : tests) {
        if (offset != p.Offset) continue;
        for (int c = 0; c < 256; ++c) {
          const auto byte = static_cast<unsigned char>(c);
          ASSERT_TRUE(!set.Has(byte) || p.Set.Has(byte)) << "offset " << offset << " byte " << c;
        }
      }
    }
    // Texts mostly of one filler byte, so that long stretches hold nothing.
    std::string text(rng() % 300, static_cast<char>(rng()));
    for (char& c : text)
      if (rng() % 16 == 0) c = static_cast<char>(rng());
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::int32_t len = static_cast<std::int32_t>(text.size());
    // Every q in [lo, hi] keeps q + offset inside the text, for offsets -1..4.
    const std::int32_t lo = 1, hi = len - 5;
    for (std::int32_t from = lo; from <= hi + 1; from += 1 + static_cast<std::int32_t>(rng() % 7)) {
      std::int32_t want = -1;
      for (std::int32_t q = from; q <= hi && want < 0; ++q) {
        bool all = true;
        for (int i = 0; i < filter.Count; ++i)
          all = all && filter.Probes[i].Set.Has(s[q + filter.Probes[i].Offset]);
        if (all) want = q;
      }
      ASSERT_EQ(FindFiltered(filter, s, from, hi), want) << "round " << round << " from " << from;
    }
  }
}

// Patterns of literal words, classes, anchors, groups, back-references and
// every kind of repeat, over texts of mail-like pieces in long runs of
// filler: the scans have something to skip and something to find.
class ScanCaseGen {
 public:
  explicit ScanCaseGen(std::uint32_t seed) : Rng(seed) {}

  // One in four is anchored at a line start or the input's start; one in
  // five begins with an unbounded repeat of a class.
  std::string Pattern() {
    Groups = 0;
    std::string p = Alt(0);
    if (R(5) == 0) {
      static const char* runs[] = {"[ab]+", "\\w+", "[^:]*", "\\d{2,}", "[\\w.-]+?", ".+"};
      p = runs[R(6)] + Concat(0);
    }
    if (R(4) == 0) p = (R(3) == 0 ? "\\A(" : "^(") + p + ")";
    return p;
  }

  int Modifiers() {
    int m = 0;
    if (R(3) == 0) m |= TRegExpr::kModI;
    if (R(2) == 0) m |= TRegExpr::kModM;
    if (R(2) == 0) m |= TRegExpr::kModS;
    if (R(5) != 0) m |= TRegExpr::kModG;
    if (R(2) == 0) m |= TRegExpr::kModR;
    return m;
  }

  std::string PairedSeparator() {
    static const char* pairs[] = {"\r\n", "", "ab"};
    return pairs[R(3)];
  }

  std::string Text() {
    if (R(2) == 0) {
      // Bytes of a small alphabet, where matches and near misses are dense.
      static const char alphabet[] = "aAbB1 .@:-\r\nzx\xE9\xC9";
      std::string t(static_cast<std::size_t>(R(150)), ' ');
      for (char& c : t) c = alphabet[R(sizeof alphabet - 1)];
      return t;
    }
    static const char* pieces[] = {
        "Subject: free offer", "subject:", "viagra", "CIALIS", "http://a.b/c", "https://x",
        "a@b.cd", "\r\n", "\n", "\r", "ab", "aab", "xyz", "\xC9T\xE9", "\x9A", " ", "1 2 3",
        "the quick brown fox ", "%"};
    std::string t;
    std::size_t n = static_cast<std::size_t>(std::vector<int>{0, 1, 6, 40, 200, 700}[R(6)]);
    while (t.size() < n) {
      if (R(10) < 3)
        t += pieces[R(sizeof pieces / sizeof *pieces)];
      else
        t += std::string(1 + R(90), "zz. "[R(4)]);
    }
    return t;
  }

 private:
  int R(int n) { return static_cast<int>(Rng() % static_cast<std::uint32_t>(n)); }

  std::string Atom(int depth) {
    static const char* words[] = {"Subject:", "From", "ab",   "Ab", "viagra", "cialis", "http",
                                  "://",      "x",    "\\r\\n", "@",  "free",   "aa",     "b",
                                  "\\xE9t\\xC9", "\\x8A", "ba",   "\\.", "%",      "1",      " ",
                                  "a",        "A",    ":",    "\\n"};
    static const char* classes[] = {"[ab]", "[^a]", "[a-z]", "\\d", "\\w", "\\s",
                                    "\\W",  ".",    "[\\xE0-\\xFF]", "[Ss]", "[:@]", "[^\\r\\n]"};
    static const char* anchors[] = {"^", "$", "\\A", "\\Z"};
    int k = R(100);
    if (k < 45) return words[R(sizeof words / sizeof *words)];
    if (k < 65) return classes[R(sizeof classes / sizeof *classes)];
    if (k < 75) return anchors[R(4)];
    if (k < 95 && depth < 3 && Groups < 9) {
      ++Groups;
      return "(" + Alt(depth + 1) + ")";
    }
    return Groups > 0 ? "\\" + std::to_string(1 + R(Groups)) : "a";
  }

  std::string Quantified(int depth) {
    std::string a = Atom(depth);
    if (a == "^" || a == "$" || a == "\\A" || a == "\\Z" || R(100) >= 35) return a;
    static const char* quantifiers[] = {"*", "+", "?", "{2}", "{1,3}", "{0,2}", "{2,}", "{3}"};
    return a + quantifiers[R(8)] + (R(5) == 0 ? "?" : "");
  }

  std::string Concat(int depth) {
    std::string s;
    for (int n = 1 + R(4); n > 0; --n) s += Quantified(depth);
    return s;
  }

  std::string Alt(int depth) {
    std::string s = Concat(depth);
    while (R(4) == 0) s += "|" + Concat(depth);
    return s;
  }

  std::mt19937 Rng;
  int Groups = 0;
};

// Every match of a text the way ExecNext walks them (at most 20), with all
// group bounds, ending in the search's final answer.
std::string Walk(const Program& program, const std::string& text, StartScans scans) {
  MatchScratch scratch;
  std::string out;
  std::int32_t from = 0;
  for (int n = 0; n < 20 && from <= static_cast<std::int32_t>(text.size()); ++n) {
    int r = Search(program, text, from, scratch, scans);
    if (r != 1) return out + "=" + std::to_string(r);
    for (int g = 0; g <= program.GroupCount; ++g)
      out += std::to_string(scratch.Start[g]) + "," + std::to_string(scratch.End[g]) + " ";
    out += "| ";
    from = scratch.End[0] + (scratch.End[0] == scratch.Start[0] ? 1 : 0);
  }
  return out;
}

TEST(RegExprScan, ScansFindWhatTryingEveryPositionFinds) {
  ScanCaseGen gen(20240612);
  int compared = 0, unscannedRanOut = 0;
  std::vector<std::string> faults;
  for (int p = 0; p < 3000; ++p) {
    std::string pattern = gen.Pattern();
    int mods = gen.Modifiers();
    std::string pair = gen.PairedSeparator();
    Program program;
    if (CompileProgram(pattern, mods, pair, program).Code != 0) continue;
    for (int t = 0; t < 3; ++t) {
      std::string text = gen.Text();
      std::string scanned = Walk(program, text, StartScans::On);
      std::string every = Walk(program, text, StartScans::Off);
      bool everyRanOut = every.size() > 2 && every.compare(every.size() - 2, 2, "=0") != 0 &&
                         every.compare(every.size() - 2, 2, "=1") != 0;
      // The scans spend no steps, so they may finish a search that trying
      // every position gave up on; never the other way round.
      if (scanned != every && everyRanOut) {
        ++unscannedRanOut;
        continue;
      }
      ++compared;
      if (scanned != every)
        faults.push_back("pattern " + test::HexOf(pattern) + " mods " + std::to_string(mods) +
                         " pair " + test::HexOf(pair) + " text " + test::HexOf(text) +
                         "\n  scanned " + scanned + "\n  every   " + every);
    }
  }
  std::string report;
  for (std::size_t i = 0; i < faults.size() && i < 10; ++i) report += faults[i] + "\n";
  EXPECT_TRUE(faults.empty()) << faults.size() << " disagreements:\n" << report;
  EXPECT_GT(compared, 50 * (unscannedRanOut + 1));
}

// What the analysis knows about a few typical patterns: each fact lets the
// scans skip work, and losing one only shows as lost speed.
TEST(RegExprScan, AnalysisFindsPrefixRequiredTextAndAnchor) {
  struct Row {
    const char* pattern;
    int mods;
    std::size_t prefix;
    const char* required;
    std::int32_t minOffset;
    StartAnchor anchor;
    bool leadingRun;
    bool runBeforeRequired = false;
  } rows[] = {
      {"^Subject:.*(free|win)", TRegExpr::kModI | TRegExpr::kModM, 8, "Subject:", 0,
       StartAnchor::LineStart, false},
      {"viagra|cialis", TRegExpr::kModI, 6, "", 0, StartAnchor::None, false},
      {"[\\w.%-]+@[\\w.-]+\\.[a-z]{2,6}", 0, 1, "@", 1, StartAnchor::None, true, true},
      {"\\w*\\w@", 0, 0, "@", 1, StartAnchor::None, true, false},
      {"https?://x", 0, 4, "http", 0, StartAnchor::None, false},
      {"a{3}(b|cd)e{2,}ff", 0, 4, "ff", 6, StartAnchor::None, false},
      {"\\Aab", 0, 2, "ab", 0, StartAnchor::InputStart, false},
      {"(a|)b", 0, 0, "b", 0, StartAnchor::None, false},
      {"\\d{4}-\\d\\d", 0, 7, "-", 4, StartAnchor::None, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.pattern);
    Program p;
    ASSERT_EQ(CompileProgram(r.pattern, r.mods | TRegExpr::kModG, "\r\n", p).Code, 0);
    EXPECT_EQ(p.Prefix.size(), r.prefix);
    EXPECT_EQ(p.Required.Bytes, r.required);
    EXPECT_EQ(p.Required.MinOffset, r.minOffset);
    EXPECT_EQ(p.Anchor, r.anchor);
    EXPECT_EQ(p.LeadingRun, r.leadingRun);
    EXPECT_EQ(p.RunBeforeRequired, r.runBeforeRequired);
  }
  // Under i the required text keeps both cases of each letter.
  Program p;
  ASSERT_EQ(CompileProgram("Subject:", TRegExpr::kModI, "\r\n", p).Code, 0);
  EXPECT_TRUE(p.Required.Folded);
  EXPECT_EQ(p.Required.Other, "sUBJECT:");
}

}  // namespace
}  // namespace halvorn::regexpr_internal
