// The probability combination against mpmath at 50 digits, over a table that
// reaches below the smallest double (products far under 1e-308), the clamps
// at 0 and 1, and the fixed values.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "classify/combine_probabilities.h"
#include "support/neural_net_support.h"

namespace halvorn {
namespace {

struct TRow {
  long double A, B, C, D;
};

std::string Text(long double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.25Lg", value);
  return buffer;
}

TEST(CombineProbabilities, FixedValues) {
  EXPECT_EQ(CombineProbabilities(0, 0, 0, 0), 0.5L);
  EXPECT_NEAR(static_cast<double>(CombineTwoProbabilities(0.9L, 0.1L)), 0.756, 1e-15);
  EXPECT_EQ(CombineTwoProbabilities(0.5L, 0.5L), 0.5L);
  EXPECT_FALSE(std::isnan(CombineProbabilities(NAN, NAN, 0.5L, 0.5L)));
  EXPECT_FALSE(std::isnan(CombineProbabilities(INFINITY, 1, INFINITY, 1)));
}

TEST(CombineProbabilities, AgreesWithMpmath) {
  const std::vector<TRow> rows = {
      {0.9L, 0.5L, 0.1L, 0.5L},       {0.5L, 0.5L, 0.5L, 0.5L},
      {0, 0, 0, 0},                   {1, 1, 1, 1},
      {1, 1, 0, 0},                   {0, 0, 1, 1},
      {1e-300L, 1e-300L, 1e-301L, 1e-302L},  // products near 1e-600
      {1e-320L, 1e-310L, 1e-200L, 1e-200L},
      {5e-324L, 5e-324L, 5e-324L, 1e-10L},
      {0.3L, 0.7L, 0.2L, 0.3L},       {0.01L, 0.99L, 0.02L, 0.01L},
      {0.999999L, 0.5L, 0.000001L, 0.5L}, {2.0L, 0.5L, -1.0L, 0.5L},
      {0.25L, 0.75L, 0.75L, 0.25L},   {1e-5L, 0.9L, 3e-5L, 0.1L},
  };
  std::string input;
  for (const TRow& row : rows)
    input += Text(row.A) + " " + Text(row.B) + " " + Text(row.C) + " " + Text(row.D) + "\n";
  const auto result = test::RunNetOracle(
      "import mpmath\n"
      "for line in sys.stdin:\n"
      "    print(mpmath.nstr(o.combine(*map(mpmath.mpf, line.split())), 30))\n",
      input);
  ASSERT_EQ(result.ExitCode, 0) << result.Output;
  const std::vector<std::string> expected = test::OutputLines(result.Output);
  ASSERT_EQ(expected.size(), rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const TRow& row = rows[i];
    SCOPED_TRACE(Text(row.A) + " " + Text(row.B) + " " + Text(row.C) + " " + Text(row.D));
    const long double got = CombineProbabilities(row.A, row.B, row.C, row.D);
    const long double want = std::strtold(expected[i].c_str(), nullptr);
    EXPECT_LE(std::fabs(got - want), 1e-15L * std::fabs(want)) << Text(got) << " vs " << expected[i];
  }
}

}  // namespace
}  // namespace halvorn
