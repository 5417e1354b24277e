#include "foundation/text/trite_array.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "foundation/text/text_compression.h"

namespace halvorn {
namespace {

constexpr TTrite Y = kTriteYes, N = kTriteNo, U = kTriteUnknown;

TEST(TriteArray, PlainTextForm) {
  struct Row {
    TTriteArray array;
    std::string text;
    TTriteArray readBack;
  } rows[] = {
      {{}, "", {}},
      {{Y, U, N, U, U}, "yun", {Y, U, N}},
      {{U, U, U}, "u", {U}},
      {{U}, "u", {U}},
      {{N}, "n", {N}},
      {{U, U, Y}, "uuy", {U, U, Y}},
      // Values other than yes and no are written as unknown.
      {{7, Y, 200}, "uy", {U, Y}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text);
    EXPECT_EQ(TriteArrayToText(r.array), r.text);
    EXPECT_EQ(TriteArrayFromText(r.text), r.readBack);
    const std::string compressed = TriteArrayToCompressedText(r.array);
    EXPECT_EQ(compressed.empty(), r.array.empty());
    EXPECT_EQ(TriteArrayFromText(compressed), r.readBack);
  }
}

TEST(TriteArray, ReadsLettersStrictly) {
  struct Row {
    std::string text;
    TTriteArray array;
  } rows[] = {
      {"YN", {U}},  // capitals do not count here
      {"yYnN", {Y, U, N}},
      {"x", {U}},
      {"uuuu", {U}},
      {"?n?", {U, N}},
      {std::string("y\0n", 3), {Y, U, N}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text);
    EXPECT_EQ(TriteArrayFromText(r.text), r.array);
  }
}

TEST(TriteArray, CompressedFormIsBangAndCompressText) {
  const std::string plain = "yunnnyuuy";
  std::string compressed = plain;
  CompressText(compressed);
  EXPECT_EQ(TriteArrayToCompressedText(TriteArrayFromText(plain)), "!" + compressed);
  EXPECT_EQ(TriteArrayFromText("!" + compressed), TriteArrayFromText(plain));
  // A compressed form of a compressed form is read through.
  std::string twice = "!" + compressed;
  CompressText(twice);
  EXPECT_EQ(TriteArrayFromText("!" + twice), TriteArrayFromText(plain));
  // "!" alone and a "!" form that is no base64 give an empty array.
  EXPECT_EQ(TriteArrayFromText("!"), TTriteArray{});
  EXPECT_EQ(TriteArrayFromText("!****"), TTriteArray{});
}

TEST(TriteArray, EndlessNestingReadsAsEmpty) {
  std::string text = "y";
  for (int i = 0; i < 30; ++i) {
    CompressText(text);
    text.insert(0, "!");
  }
  EXPECT_EQ(TriteArrayFromText(text), TTriteArray{});
}

TEST(TriteArray, ArraysOfEveryLengthRoundTrip) {
  std::mt19937 gen(5);
  std::uniform_int_distribution<int> value(0, 2);
  for (int length = 0; length <= 3000; length += (length < 40 ? 1 : 97)) {
    SCOPED_TRACE(length);
    TTriteArray array(static_cast<std::size_t>(length));
    for (TTrite& t : array) t = static_cast<TTrite>(value(gen));
    if (length > 0 && (length % 3 == 0)) array.back() = Y;
    // What reading back gives: cut after the last yes or no, at least one entry.
    TTriteArray expected = array;
    while (!expected.empty() && expected.back() == U) expected.pop_back();
    if (expected.empty() && !array.empty()) expected = {U};
    EXPECT_EQ(TriteArrayFromText(TriteArrayToText(array)), expected);
    EXPECT_EQ(TriteArrayFromText(TriteArrayToCompressedText(array)), expected);
  }
}

TEST(TriteArray, SetGrowsWithinTheIndexLimit) {
  TTriteArray a;
  TriteSet(a, 5001, Y, false);
  TriteSet(a, -1, Y, false);
  EXPECT_TRUE(a.empty());
  TriteSet(a, 5000, N, false);
  ASSERT_EQ(a.size(), 5001u);
  EXPECT_EQ(std::count(a.begin(), a.end(), U), 5000);
  EXPECT_EQ(TriteGet(a, 5000), N);
  EXPECT_EQ(TriteGet(a, 5001), U);
  EXPECT_EQ(TriteGet(a, -3), U);
  // A text longer than the limit keeps the entries up to the highest index.
  EXPECT_EQ(TriteArrayFromText(std::string(6000, 'y')).size(), 5001u);
  TriteArrayClear(a);
  EXPECT_TRUE(a.empty());
}

TEST(TriteArray, SetOnlyIfUnknownAndResolve) {
  struct Row {
    const char* name;
    TTrite before;  // U also stands for "beyond the end"
    void (*op)(TTriteArray&);
    TTrite after;
  } rows[] = {
      {"bool only-if-unknown keeps no", N, [](TTriteArray& a) { TriteSetBool(a, 2, true, true); },
       N},
      {"bool only-if-unknown sets unknown", U,
       [](TTriteArray& a) { TriteSetBool(a, 2, true, true); }, Y},
      {"bool overwrites", N, [](TTriteArray& a) { TriteSetBool(a, 2, true, false); }, Y},
      {"bool false is no", Y, [](TTriteArray& a) { TriteSetBool(a, 2, false, false); }, N},
      {"resolve keeps yes", Y, [](TTriteArray& a) { TriteResolve(a, 2, false); }, Y},
      {"resolve makes unknown no", U, [](TTriteArray& a) { TriteResolve(a, 2, false); }, N},
      {"resolve keeps no", N, [](TTriteArray& a) { TriteResolve(a, 2, false); }, N},
      {"forced resolve sets yes", N, [](TTriteArray& a) { TriteResolve(a, 2, true); }, Y},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    for (bool withinArray : {true, false}) {
      if (!withinArray && r.before != U) continue;
      TTriteArray a = withinArray ? TTriteArray{N, Y, r.before} : TTriteArray{N};
      r.op(a);
      EXPECT_EQ(TriteGet(a, 2), r.after);
      EXPECT_EQ(TriteGet(a, 0), N);
      EXPECT_EQ(a.size(), 3u);
    }
  }
}

TEST(TriteArray, SingleValues) {
  struct Row {
    std::string text;
    TTrite fromText;
  } rows[] = {{"y", Y},   {"Y", Y}, {"n", N},  {"N", N},   {"u", U},
              {"yes", U}, {"", U},  {" y", U}, {"\xDD", U}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text);
    EXPECT_EQ(TextToTrite(r.text), r.fromText);
    if (r.text.size() == 1) {
      EXPECT_EQ(CharToTrite(r.text[0]), r.fromText);
    }
  }
  EXPECT_EQ(std::string() + TriteToChar(Y) + TriteToChar(N) + TriteToChar(U) + TriteToChar(9),
            "ynuu");
  EXPECT_TRUE(TriteIsYes(Y));
  EXPECT_FALSE(TriteIsYes(N));
  EXPECT_FALSE(TriteIsYes(U));
}

}  // namespace
}  // namespace halvorn
