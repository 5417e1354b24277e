#include "foundation/text/number_text.h"

#include <gtest/gtest.h>

#include <string>

namespace halvorn {
namespace {

TEST(NumberTextTest, ReadsWholeDecimalNumbers) {
  const struct {
    std::string text;
    bool ok;
    std::int32_t value;
  } rows[] = {
      {"0", true, 0},           {"6173", true, 6173},   {" 8\t", true, 8},
      {"+12", true, 12},        {"-40", true, -40},     {"005", true, 5},
      {"2147483647", true, 2147483647},                 {"-2147483648", true, INT32_MIN},
      {"2147483648", false, 0}, {"99999999999", false, 0},
      {"", false, 0},           {"  ", false, 0},       {"-", false, 0},
      {"12a", false, 0},        {"1 2", false, 0},      {"0x10", false, 0},
      {"abc", false, 0},        {"--1", false, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    std::int32_t value = 777;
    EXPECT_EQ(TryStrToInt(row.text, value), row.ok);
    EXPECT_EQ(value, row.ok ? row.value : 777);
    EXPECT_EQ(StrToIntDef(row.text, -9), row.ok ? row.value : -9);
  }
}

}  // namespace
}  // namespace halvorn
