#include "message/msg_category.h"

#include "foundation/text/code_page_1252.h"

namespace halvorn {

namespace {

// Indexed by category value.
constexpr std::string_view kDisplayNames[] = {
    "Unknown", "Chain Letter", "Petition", "Urban Legend",    "Bulk",
    "Hoax",    "Joke",         "Virus",    "Commercial Spam", "Personal"};

constexpr std::string_view kEnumNames[] = {
    "Mc_Unknown", "Mc_ChainLetter", "Mc_Petition", "Mc_UrbanLegend",    "Mc_Bulk",
    "Mc_Hoax",    "Mc_Joke",        "Mc_Virus",    "Mc_CommercialSpam", "Mc_Personal"};

}  // namespace

std::string MsgCategoryToName(std::uint8_t category) {
  category &= 0x7F;
  return std::string(category <= Mc_Personal ? kDisplayNames[category] : kDisplayNames[0]);
}

TMsgCategory MsgCategoryFromName(std::string_view name) {
  for (std::uint8_t value = Mc_Unknown; value <= Mc_Personal; ++value)
    if (SameText1252(name, kDisplayNames[value])) return static_cast<TMsgCategory>(value);
  return Mc_Unknown;
}

std::string MsgCategoryEnumName(std::uint8_t category) {
  return std::string(category <= Mc_Personal ? kEnumNames[category] : kEnumNames[0]);
}

}  // namespace halvorn
