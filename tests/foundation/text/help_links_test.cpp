#include "foundation/text/help_links.h"

#include <gtest/gtest.h>

#include <string>

namespace halvorn {
namespace {

TEST(HelpLinksTest, ReplacesEveryPlaceholder) {
  const std::string site = kHelpSite;
  const std::string categorize = site + "/Halvorn/help/Categorize.htm";
  const std::string buttons = site + "/Halvorn/help/Advanced/ReceivingTab.htm";
  struct Row {
    std::string Text;
    std::string Expected;
  } rows[] = {
      {"", ""},
      {"no placeholders here", "no placeholders here"},
      {"<a href=Help_Categorize>", "<a href=" + categorize + ">"},
      {"Help_ButtonsHelp_Buttons", buttons + buttons},
      {"Help_Categorize and Help_Buttons", categorize + " and " + buttons},
      {"help_buttons Help_Button", "help_buttons Help_Button"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Text);
    EXPECT_EQ(InsertHelpLinks(row.Text), row.Expected);
  }
}

}  // namespace
}  // namespace halvorn
