// The central service's match records: how one of its stored messages or
// attachments compares with a message of the user, how often the service saw
// it and how its users voted on it.
//
// These are plain data in the byte layout the service sends (44 bytes a
// record, little-endian, the padding zero), so an array of them can be read
// from and written to the wire as it stands. The incoming processing keeps
// the records of a message on the message; every MIME part keeps one for its
// attachment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace halvorn {

// The user votes per category (in category order 1 to 9) and the category the
// maker's staff gave (0 when nobody reviewed it): 19 bytes, no padding.
#pragma pack(push, 1)
struct TMsgCategoryCounts {
  std::uint16_t ChainLetter;
  std::uint16_t Petition;
  std::uint16_t UrbanLegend;
  std::uint16_t Bulk;
  std::uint16_t Hoax;
  std::uint16_t Joke;
  std::uint16_t Virus;
  std::uint16_t CommercialSpam;
  std::uint16_t Personal;
  std::uint8_t StaffCategory;
};
#pragma pack(pop)

// Kinds of match record.
inline constexpr std::uint8_t kMatchMessage = 1;     // a stored message matched
inline constexpr std::uint8_t kMatchAttachment = 2;  // a stored attachment matched
inline constexpr std::uint8_t kMatchRepetition = 3;  // ItemId / TimesEncountered: repetition

// One match record.
struct TMsgSearchRec {
  std::uint8_t Kind;
  std::uint8_t Padding1[3];
  std::int32_t TimesEncountered;  // how often the service saw the stored item
  TMsgCategoryCounts Counts;      // votes and staff category of the stored item
  std::uint8_t Padding2;
  std::int32_t ItemId;        // the stored item; for an attachment its part checksum
  std::int32_t ExtraCount;    // checksums only in the user's message
  std::int32_t CommonCount;   // checksums in both
  std::int32_t MissingCount;  // checksums only in the stored message
};

static_assert(sizeof(TMsgCategoryCounts) == 19);
static_assert(sizeof(TMsgSearchRec) == 44);
static_assert(offsetof(TMsgSearchRec, Kind) == 0);
static_assert(offsetof(TMsgSearchRec, TimesEncountered) == 4);
static_assert(offsetof(TMsgSearchRec, Counts) == 8);
static_assert(offsetof(TMsgSearchRec, ItemId) == 28);
static_assert(offsetof(TMsgSearchRec, ExtraCount) == 32);
static_assert(offsetof(TMsgSearchRec, CommonCount) == 36);
static_assert(offsetof(TMsgSearchRec, MissingCount) == 40);

using TMsgSearchRecArray = std::vector<TMsgSearchRec>;

// Fills the record with zeros, padding included.
void InitMsgSearchRec(TMsgSearchRec& record);

// The repetition factor of a message's records: ItemId divided by
// TimesEncountered of the first record of kind 3; 0 when there is none or its
// count is not above 0 (a record from the wire may carry any count).
double RepetitionFactor(const TMsgSearchRecArray& records);

}  // namespace halvorn
