#include "message/category_probability.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <stdexcept>

#include "foundation/text/list_helpers.h"
#include "foundation/text/numbers.h"
#include "foundation/files/file_helpers.h"
#include "foundation/text/string_list.h"

namespace halvorn {

namespace {

constexpr std::size_t IndexOf(TMsgCategory category) { return category - 1u; }

// A 64-bit sum or product held at the ends of the 32-bit range.
std::int32_t Saturate32(std::int64_t value) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(value, INT32_MIN, INT32_MAX));
}

// trunc of a double held at the ends of the 64-bit range (a cast of a value
// outside it is undefined).
std::int64_t TruncTo64(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 9.2e18) return INT64_MAX;
  if (value <= -9.2e18) return INT64_MIN;
  return static_cast<std::int64_t>(std::trunc(value));
}

std::uint32_t AddToCounter(std::uint32_t counter, std::int64_t amount) {
  return static_cast<std::uint32_t>(
      std::clamp<std::int64_t>(static_cast<std::int64_t>(counter) + amount, 0, UINT32_MAX));
}

std::array<std::atomic<std::uint32_t>, kMsgCategoryCount> GCategoryCounts{};

}  // namespace

// ---------------------------------------------------------------------------
// TCategoryProbability

std::int32_t TCategoryProbability::Percentage(std::uint8_t category) const {
  return IsMsgCategory(category) ? FPercentages[IndexOf(TMsgCategory(category))] : 0;
}

std::int32_t TCategoryProbability::Weight(std::uint8_t category) const {
  return IsMsgCategory(category) ? FWeights[IndexOf(TMsgCategory(category))] : 0;
}

void TCategoryProbability::SetPercentage(std::uint8_t category, std::int32_t percentage) {
  if (IsMsgCategory(category)) FPercentages[IndexOf(TMsgCategory(category))] = percentage;
}

void TCategoryProbability::SetWeight(std::uint8_t category, std::int32_t weight) {
  if (IsMsgCategory(category)) FWeights[IndexOf(TMsgCategory(category))] = weight;
}

void TCategoryProbability::Clear() {
  FPercentages.fill(0);
  FWeights.fill(0);
}

bool TCategoryProbability::IsEmpty() const {
  auto zero = [](std::int32_t v) { return v == 0; };
  return std::all_of(FPercentages.begin(), FPercentages.end(), zero) &&
         std::all_of(FWeights.begin(), FWeights.end(), zero);
}

bool TCategoryProbability::Validate(TMsgCategorySet) const { return true; }

void TCategoryProbability::SetCategory(std::uint8_t category) {
  Clear();
  if (!IsMsgCategory(category)) return;
  auto definite = [this](TMsgCategory c, std::int32_t percentage) {
    SetPercentage(c, percentage);
    SetWeight(c, kDefiniteWeight);
  };
  definite(TMsgCategory(category), 100);
  if (category == Mc_Bulk || category == Mc_CommercialSpam) definite(Mc_Personal, 0);
  if (category == Mc_Personal) {
    definite(Mc_CommercialSpam, 0);
    definite(Mc_Bulk, 0);
  }
}

void TCategoryProbability::ClampValues() {
  for (std::int32_t& p : FPercentages) p = std::clamp(p, 0, 100);
}

void TCategoryProbability::CurveValues() {
  for (std::int32_t& p : FPercentages) {
    const double centred = 2.0 * p / 100.0 - 1.0;
    // nearbyint rounds halves to even in the default rounding mode.
    const double curved = std::nearbyint(100.0 * (centred * centred * centred + 1.0) / 2.0);
    p = Saturate32(TruncTo64(curved));
  }
}

void TCategoryProbability::Normalize() {
  ClampValues();
  CurveValues();
  std::int32_t& c = FPercentages[IndexOf(Mc_CommercialSpam)];
  std::int32_t& p = FPercentages[IndexOf(Mc_Personal)];
  const std::int64_t wc = FWeights[IndexOf(Mc_CommercialSpam)];
  const std::int64_t wp = FWeights[IndexOf(Mc_Personal)];
  if (wp == 0 && wc == 0) {
    p = 50;
    c = 50;
  } else if (wp == 0) {
    p = 100 - c;
  } else if (wc == 0) {
    c = 100 - p;
  } else {
    // p and c are 0..100 here, so the products and their sum fit in 64 bits.
    const std::int64_t personal = p * wp;
    const std::int64_t sum = personal + c * wc;
    if (sum == 0) {
      const bool personalWins = p > c;
      p = personalWins ? 100 : 0;
      c = personalWins ? 0 : 100;
    } else {
      const std::int64_t share = TruncTo64(100.0 * static_cast<double>(personal) /
                                           static_cast<double>(sum));
      // |share| can exceed 100 only with negative weights; clamping it first
      // gives what clamping P and 100 - P afterwards would.
      p = static_cast<std::int32_t>(std::min<std::int64_t>(share < 0 ? -share : share, 100));
      c = 100 - p;
    }
  }
  ClampValues();
}

void TCategoryProbability::GetMaxCategory(TMsgCategorySet excluded, std::int32_t& percentage,
                                          TMsgCategory& category) const {
  percentage = 0;
  category = Mc_Unknown;
  auto offer = [&](TMsgCategory c) {
    if (excluded.Contains(c)) return;
    if (Percentage(c) >= percentage) {
      percentage = Percentage(c);
      category = c;
    }
  };
  for (TMsgCategory c : {Mc_CommercialSpam, Mc_Personal, Mc_ChainLetter, Mc_Petition,
                         Mc_UrbanLegend, Mc_Bulk, Mc_Joke, Mc_Virus, Mc_Hoax})
    offer(c);
  if (percentage == 50 && category == Mc_Hoax) {
    offer(Mc_CommercialSpam);
    offer(Mc_Personal);
  }
}

std::string TCategoryProbability::SaveToText() const {
  TStringList values;
  for (std::int32_t p : FPercentages) values.Add(std::to_string(p));
  for (std::int32_t w : FWeights) values.Add(std::to_string(w));
  return values.CommaText();
}

void TCategoryProbability::LoadFromText(const std::string& text) {
  Clear();
  if (text.empty()) return;
  TStringList values;
  values.SetCommaText(text);
  for (int i = 0; i < 2 * kMsgCategoryCount; ++i) {
    std::int64_t value = 0;
    if (i >= values.Count() || !ParseTrimmedDecimal(values[i], INT32_MIN, INT32_MAX, value)) return;
    std::int32_t& slot = i < kMsgCategoryCount ? FPercentages[static_cast<std::size_t>(i)]
                                               : FWeights[static_cast<std::size_t>(i) - kMsgCategoryCount];
    slot = static_cast<std::int32_t>(value);
  }
}

std::string TCategoryProbability::ToDisplayText() const {
  std::string text;
  for (TMsgCategory c : kMsgCategories) {
    if (!text.empty()) text += " | ";
    // The enumeration name without its "Mc_".
    text += MsgCategoryEnumName(c).substr(3) + " Prob=" + std::to_string(Percentage(c)) +
            " Weight = " + std::to_string(Weight(c));
  }
  return text;
}

// ---------------------------------------------------------------------------
// TCategoryProbabilityList

void TCategoryProbabilityList::Combine(TCategoryProbability& probability) const {
  probability.Clear();
  for (TMsgCategory c : kMsgCategories) {
    std::int64_t weight = 0;
    std::int64_t percentage = 0;
    std::int64_t count = 0;
    for (const TCategoryProbability& item : FItems) {
      if (item.Weight(c) == 0) continue;
      weight += item.Weight(c);
      percentage += item.Percentage(c);
      ++count;
    }
    if (count != 0) weight /= count;
    probability.SetWeight(c, Saturate32(weight));
    probability.SetPercentage(c, Saturate32(percentage));
  }
}

// ---------------------------------------------------------------------------
// TTestCategoryStats, TTestStats

std::string TTestCategoryStats::SaveToText() const {
  if (*this == TTestCategoryStats{}) return "";
  return std::to_string(TruePositives) + "|" + std::to_string(FalsePositives) + "|" +
         std::to_string(TrueNegatives) + "|" + std::to_string(FalseNegatives);
}

TTestCategoryStats& TTestStats::Category(std::uint8_t category) {
  if (!IsMsgCategory(category)) throw std::out_of_range("TTestStats: no category " + std::to_string(category));
  return FStats[IndexOf(TMsgCategory(category))];
}

const TTestCategoryStats& TTestStats::Category(std::uint8_t category) const {
  return const_cast<TTestStats*>(this)->Category(category);
}

void TTestStats::Clear() { FStats.fill(TTestCategoryStats{}); }

std::string TTestStats::SaveToText() const {
  TStringList pieces;
  bool any = false;
  for (const TTestCategoryStats& stats : FStats) {
    pieces.Add(stats.SaveToText());
    any = any || !pieces[pieces.Count() - 1].empty();
  }
  return any ? JoinStringList(pieces, ";") : "";
}

void TTestStats::LoadFromText(const std::string& text) {
  Clear();
  TStringList pieces;
  SplitToList(text, ";", pieces);
  for (int i = 0; i < pieces.Count() && i < kMsgCategoryCount; ++i) {
    TStringList values;
    SplitToList(pieces[i], "|", values);
    auto read = [&values](int index) -> std::uint32_t {
      std::int64_t value = 0;
      if (index >= values.Count() || !ParseTrimmedDecimal(values[index], 0, UINT32_MAX, value)) return 0;
      return static_cast<std::uint32_t>(value);
    };
    TTestCategoryStats& stats = FStats[static_cast<std::size_t>(i)];
    stats.TruePositives = read(0);
    stats.FalsePositives = read(1);
    stats.TrueNegatives = read(2);
    stats.FalseNegatives = read(3);
  }
}

void TTestStats::AddVerdict(const TCategoryProbability& probability, TTrite verdict,
                            double factor) {
  if (verdict != kTriteYes && verdict != kTriteNo) return;
  for (TMsgCategory c : kMsgCategories) {
    const std::int64_t p = probability.Percentage(c);
    if (p < 0 || p == 50) continue;
    const std::int64_t a = TruncTo64(static_cast<double>(p) * factor);
    const std::int64_t b = TruncTo64(static_cast<double>(100 - p) * factor);
    TTestCategoryStats& stats = Category(c);
    if (verdict == kTriteYes) {
      stats.TruePositives = AddToCounter(stats.TruePositives, a);
      stats.FalsePositives = AddToCounter(stats.FalsePositives, b);
    } else {
      stats.TrueNegatives = AddToCounter(stats.TrueNegatives, a);
      stats.FalseNegatives = AddToCounter(stats.FalseNegatives, b);
    }
  }
}

void TTestStats::GetProbability(TTrite half, TCategoryProbability& probability) const {
  const double total = static_cast<double>(GlobalCategoryTotal());
  for (TMsgCategory c : kMsgCategories) {
    const TTestCategoryStats& stats = Category(c);
    if (half != kTriteYes && half != kTriteNo) {
      probability.SetPercentage(c, 0);
      probability.SetWeight(c, 0);
      continue;
    }
    const std::uint64_t x = half == kTriteYes ? stats.TruePositives : stats.TrueNegatives;
    const std::uint64_t y = half == kTriteYes ? stats.FalsePositives : stats.FalseNegatives;
    // Two 32-bit counters: their sum needs 33 bits.
    const std::uint64_t sum = x + y;
    if (sum == 0) {
      probability.SetPercentage(c, 0);
      probability.SetWeight(c, 1);
      continue;
    }
    probability.SetWeight(c, static_cast<std::int32_t>(std::min<std::uint64_t>(sum, 2147483646)));
    const double share = static_cast<double>(x) / static_cast<double>(sum) -
                         static_cast<double>(GlobalCategoryCount(c)) / total;
    // A count raised while the total was read can put the share below -1.
    probability.SetPercentage(
        c, static_cast<std::int32_t>(std::clamp(std::trunc(100.0 * share), 0.0, 100.0)));
  }
}

// ---------------------------------------------------------------------------
// Global category counts

std::uint32_t GlobalCategoryCount(std::uint8_t category) {
  return IsMsgCategory(category) ? GCategoryCounts[IndexOf(TMsgCategory(category))].load() : 0;
}

void SetGlobalCategoryCount(std::uint8_t category, std::uint32_t count) {
  if (IsMsgCategory(category)) GCategoryCounts[IndexOf(TMsgCategory(category))].store(count);
}

std::uint64_t GlobalCategoryTotal() {
  std::uint64_t total = 0;
  for (const auto& count : GCategoryCounts) total += count.load();
  return std::max<std::uint64_t>(total, 1);
}

}  // namespace halvorn
