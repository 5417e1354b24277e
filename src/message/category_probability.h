// Category probabilities: how a test judges a message, and how well each test
// has agreed with the user so far.
//
// A judgement (TCategoryProbability) gives each of the nine categories a
// percentage and a weight; a weight of 0 means the percentage does not count,
// and kDefiniteWeight marks a category as certain (the user's own verdict).
// The judgements gathered for one message (TCategoryProbabilityList) are
// combined into one, which the message normalises and stores.
//
// TTestStats keeps, per category, how often a test's judgements agreed with
// the user's categorisations, and turns those counts back into a judgement
// measured against the global category counts below.
//
// Weights are multiplied and summed in 64 bits: a definite weight times a
// percentage, or two definite weights added, do not fit in 32 bits.
//
// The objects are plain values without locks; whoever shares one guards it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/text/trite_array.h"
#include "message/msg_category.h"

namespace halvorn {

// The weight of a definite category: the largest 32-bit signed value.
inline constexpr std::int32_t kDefiniteWeight = 2147483647;

class TCategoryProbability {
 public:
  // A name for logs and reports; Clear keeps it.
  std::string Name;

  // Name empty, all 18 values 0.
  TCategoryProbability() = default;
  explicit TCategoryProbability(std::string name) : Name(std::move(name)) {}

  // The percentage and weight of a category 1 to 9. Reading any other value
  // answers 0; setting it changes nothing (stored category bytes are not
  // trusted to be in range).
  std::int32_t Percentage(std::uint8_t category) const;
  std::int32_t Weight(std::uint8_t category) const;
  void SetPercentage(std::uint8_t category, std::int32_t percentage);
  void SetWeight(std::uint8_t category, std::int32_t weight);

  // Sets the 18 values to 0.
  void Clear();
  // All 18 values are 0.
  bool IsEmpty() const;
  // Always true (kept for callers that validate against a set).
  bool Validate(TMsgCategorySet categories) const;

  // Clears, then gives the category 100 with kDefiniteWeight. Bulk and
  // CommercialSpam also fix Personal at 0, Personal fixes CommercialSpam and
  // Bulk at 0, each with kDefiniteWeight. A value outside 1 to 9 leaves
  // everything 0.
  void SetCategory(std::uint8_t category);

  // Limits each percentage to 0..100.
  void ClampValues();
  // Pulls each percentage p towards 50: round(100 x ((2p/100 - 1)^3 + 1) / 2),
  // halves to even; 0, 50 and 100 stay. Results beyond the 32-bit range
  // (only from percentages far outside 0..100) are held at its ends.
  void CurveValues();
  // Clamps, curves, then balances CommercialSpam (C) against Personal (P) by
  // their weights: both weights 0 gives 50 each; one weight 0 makes that
  // side 100 minus the other; otherwise P becomes
  // |trunc(100 x P.wP / (P.wP + C.wC))| and C 100 - P, or, when the sum is
  // 0, 100 to the larger of the two (C on a tie) and 0 to the other. Ends
  // clamped to 0..100.
  void Normalize();

  // The winning category, skipping the excluded ones: the categories are
  // offered in the order CommercialSpam, Personal, ChainLetter, Petition,
  // UrbanLegend, Bulk, Joke, Virus, Hoax, each taking over when its
  // percentage is at least the best so far (start: 0 and category 0). A
  // result of exactly 50 on Hoax offers CommercialSpam and then Personal
  // again. Every percentage 0 answers Hoax with 0 unless Hoax is excluded.
  void GetMaxCategory(TMsgCategorySet excluded, std::int32_t& percentage,
                      TMsgCategory& category) const;

  // The nine percentages then the nine weights in decimal, as a comma text.
  std::string SaveToText() const;
  // Clears, then reads the 18 values of SaveToText's form in order; the first
  // value missing or not a 32-bit integer ends the read, leaving it and the
  // rest 0. Never fails.
  void LoadFromText(const std::string& text);
  // "ChainLetter Prob=<p> Weight = <w>" for each category in order, joined
  // by " | ".
  std::string ToDisplayText() const;

  bool operator==(const TCategoryProbability&) const = default;

 private:
  std::array<std::int32_t, kMsgCategoryCount> FPercentages{};
  std::array<std::int32_t, kMsgCategoryCount> FWeights{};
};

// The judgements gathered for one message, in the order they were added.
class TCategoryProbabilityList {
 public:
  void Add(TCategoryProbability item) { FItems.push_back(std::move(item)); }
  int Count() const { return static_cast<int>(FItems.size()); }
  // Item i (0-based); throws std::out_of_range outside 0 .. Count()-1.
  const TCategoryProbability& Items(int i) const { return FItems.at(static_cast<std::size_t>(i)); }
  TCategoryProbability& Items(int i) { return FItems.at(static_cast<std::size_t>(i)); }
  void Clear() { FItems.clear(); }

  // Clears the result (its name stays), then for each category sums the
  // weights and the percentages of the items whose weight for it is not 0;
  // each summed weight is divided by the number of such items (toward zero).
  // Percentages are summed, not averaged: Normalize limits them later. Sums
  // beyond the 32-bit range are held at its ends.
  void Combine(TCategoryProbability& probability) const;

 private:
  std::vector<TCategoryProbability> FItems;
};

// A test's agreement with the user for one category.
struct TTestCategoryStats {
  std::uint32_t TruePositives = 0;
  std::uint32_t FalsePositives = 0;
  std::uint32_t TrueNegatives = 0;
  std::uint32_t FalseNegatives = 0;

  // "a|b|c|d" in decimal; empty when all four are 0.
  std::string SaveToText() const;
  bool operator==(const TTestCategoryStats&) const = default;
};

class TTestStats {
 public:
  // The counters of a category 1 to 9; throws std::out_of_range for any
  // other value.
  TTestCategoryStats& Category(std::uint8_t category);
  const TTestCategoryStats& Category(std::uint8_t category) const;

  // Zeroes all 36 counters.
  void Clear();
  void Assign(const TTestStats& other) { *this = other; }

  // The nine category texts joined by ";"; empty when every counter is 0.
  std::string SaveToText() const;
  // Zeroes everything, then reads the ";"-separated pieces in category order
  // (an empty last piece dropped, pieces beyond nine ignored); each piece's
  // "|"-separated values in counter order, a value missing or not an
  // unsigned 32-bit number giving 0. Never fails.
  void LoadFromText(const std::string& text);

  // Adds one judgement against the user's verdict (kTriteYes: the user's
  // category agreed with the test's claim; kTriteNo: it did not; anything
  // else changes nothing). For each category with percentage p, unless p is
  // negative or exactly 50: trunc(p x factor) and trunc((100 - p) x factor)
  // go to the true and false positives (yes) or to the true negatives and
  // false negatives (no). A counter never goes below 0 or past its largest
  // value.
  void AddVerdict(const TCategoryProbability& probability, TTrite verdict, double factor);

  // Fills the 18 values of the probability (its name stays) from the counter
  // pair of `half` (0: true and false positives, 1: true negatives and false
  // negatives, else every value 0). With x and y the pair, T the category's
  // global count and G GlobalCategoryTotal(): the weight is x + y, at most
  // 2147483646; the percentage trunc(100 x (x / (x + y) - T / G)), clamped
  // to 0..100. When x + y is 0 the percentage is 0 and the weight 1.
  void GetProbability(TTrite half, TCategoryProbability& probability) const;

  bool operator==(const TTestStats&) const = default;

 private:
  std::array<TTestCategoryStats, kMsgCategoryCount> FStats{};
};

// The global category counts: one per category, the priors of
// TTestStats::GetProbability. The main window loads and saves them with the
// rules; a test's probability step overwrites them from the incoming
// processing thread. Each count is read and written atomically, from any
// thread; categories outside 1 to 9 read 0 and are not set.
std::uint32_t GlobalCategoryCount(std::uint8_t category);
void SetGlobalCategoryCount(std::uint8_t category, std::uint32_t count);
// The sum of the nine counts, at least 1. Each count is read atomically, but
// the nine together are no snapshot while a writer changes them.
std::uint64_t GlobalCategoryTotal();

}  // namespace halvorn
