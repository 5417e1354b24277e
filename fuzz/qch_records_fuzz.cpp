// Takes arbitrary bytes as match records (44 bytes each; the first byte
// picks a threshold): overlaps stay within 0 and 1, sorting gives a stable
// permutation by falling overlap, weighted counts are held at 65535 rather
// than wrapping, and the verdict names a counted category or the staff's.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "lists/qch/qch_records.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace halvorn;
  if (size == 0) return 0;
  const double threshold = data[0] / 200.0;
  TMsgSearchRecArray records((size - 1) / sizeof(TMsgSearchRec));
  for (std::size_t i = 0; i < records.size(); ++i)
    std::memcpy(&records[i], data + 1 + i * sizeof(TMsgSearchRec), sizeof(TMsgSearchRec));

  for (const TMsgSearchRec& r : records) {
    const double o = QchMatchOverlap(r), e = QchMatchExtra(r), m = QchMatchMissing(r);
    Check(o >= 0 && o <= 1 && e >= 0 && e <= 1 && m >= 0 && m <= 1);
    Check(o + e + m == 0 || std::fabs(o + e + m - 1) < 1e-9);
  }

  // Sorting: the same records, by falling overlap, ties in their order.
  TMsgSearchRecArray sorted = records;
  for (std::size_t i = 0; i < sorted.size(); ++i) sorted[i].ItemId = static_cast<std::int32_t>(i);
  SortMsgSearchRecs(sorted);
  std::vector<bool> seen(sorted.size(), false);
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    const auto index = static_cast<std::size_t>(sorted[i].ItemId);
    Check(index < seen.size() && !seen[index]);
    seen[index] = true;
    TMsgSearchRec original = records[index];
    original.ItemId = sorted[i].ItemId;
    Check(std::memcmp(&original, &sorted[i], sizeof original) == 0);
    if (i > 0) {
      const double before = QchMatchOverlap(sorted[i - 1]), now = QchMatchOverlap(sorted[i]);
      Check(before > now || (before == now && sorted[i - 1].ItemId < sorted[i].ItemId));
    }
  }

  // Weighted counts, against the sums taken here.
  TMsgCategoryCounts counts;
  WeightedQchCategoryCounts(records, counts, threshold);
  Check(counts.StaffCategory == 0);
  for (TMsgCategory c : kMsgCategories) {
    double sum = 0;
    for (const TMsgSearchRec& r : records) {
      const double o = QchMatchOverlap(r);
      if (r.Kind == kMatchMessage && threshold <= o) sum += o * CategoryCount(r.Counts, c);
    }
    const double hundredfold = sum * 100;
    Check(CategoryCount(counts, c) ==
          (hundredfold >= 65535 ? 65535 : static_cast<std::uint16_t>(hundredfold)));
  }

  TMsgCategory category = Mc_Unknown;
  std::int32_t votes = 0;
  bool staff = false;
  GetQchMatchCategory(records, category, votes, staff);
  if (staff) {
    Check(votes == -1 && category != 0);
  } else {
    Check(votes >= 0 && votes <= 65535 && category <= Mc_Personal);
    Check((votes == 0) == (category == Mc_Unknown));
  }
  return 0;
}
