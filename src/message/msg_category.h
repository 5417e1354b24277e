// The nine message categories, their names, and a set of them.
//
// Every judgement of a message (a test's category probability, the central
// service's votes, the user's own categorisation) speaks of these categories.
// A category travels as one byte; stored and received bytes may carry the
// flag 0x80 on top of the value, which the name functions ignore.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace halvorn {

enum TMsgCategory : std::uint8_t {
  Mc_Unknown = 0,
  Mc_ChainLetter = 1,
  Mc_Petition = 2,
  Mc_UrbanLegend = 3,
  Mc_Bulk = 4,
  Mc_Hoax = 5,
  Mc_Joke = 6,
  Mc_Virus = 7,
  Mc_CommercialSpam = 8,
  Mc_Personal = 9,
};

// The categories 1 to 9 in their order (the order of every per-category
// array and text form); Mc_Unknown is not one of them.
inline constexpr int kMsgCategoryCount = 9;
inline constexpr TMsgCategory kMsgCategories[kMsgCategoryCount] = {
    Mc_ChainLetter, Mc_Petition, Mc_UrbanLegend, Mc_Bulk,         Mc_Hoax,
    Mc_Joke,        Mc_Virus,    Mc_CommercialSpam, Mc_Personal};

// True for the values 1 to 9.
constexpr bool IsMsgCategory(int value) { return value >= Mc_ChainLetter && value <= Mc_Personal; }

// The display name: "Unknown", "Chain Letter", "Petition", "Urban Legend",
// "Bulk", "Hoax", "Joke", "Virus", "Commercial Spam", "Personal" for 0 to 9,
// after the bit 0x80 is masked off; "Unknown" for any other value.
std::string MsgCategoryToName(std::uint8_t category);

// The category whose display name equals the text, ignoring case; Mc_Unknown
// when none does.
TMsgCategory MsgCategoryFromName(std::string_view name);

// The enumeration name, "Mc_Unknown" to "Mc_Personal" (the log writes it);
// "Mc_Unknown" for a value outside 0 to 9. The bit 0x80 is not masked off.
std::string MsgCategoryEnumName(std::uint8_t category);

// A set of categories 0 to 9 (excluded categories of a search, for example).
// Values above 9 are never members.
class TMsgCategorySet {
 public:
  constexpr TMsgCategorySet() = default;
  constexpr TMsgCategorySet(std::initializer_list<TMsgCategory> categories) {
    for (TMsgCategory c : categories) Include(c);
  }
  constexpr bool Contains(std::uint8_t category) const {
    return category <= Mc_Personal && (FBits & (1u << category)) != 0;
  }
  constexpr void Include(std::uint8_t category) {
    if (category <= Mc_Personal) FBits = static_cast<std::uint16_t>(FBits | (1u << category));
  }
  constexpr void Exclude(std::uint8_t category) {
    if (category <= Mc_Personal) FBits = static_cast<std::uint16_t>(FBits & ~(1u << category));
  }
  constexpr bool Empty() const { return FBits == 0; }
  constexpr bool operator==(const TMsgCategorySet&) const = default;

 private:
  std::uint16_t FBits = 0;
};

}  // namespace halvorn
