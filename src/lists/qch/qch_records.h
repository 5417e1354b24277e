// The central service's record of a stored message, and what the program
// draws from the match records of a message: the overlap shares, their order,
// the overlap-weighted votes and the verdict (one category and its votes).
//
// Plain data and pure functions: no locks, no input or output; safe from any
// thread on values the caller owns. The match records themselves
// (TMsgSearchRec, 44 bytes in the wire layout) are the message model's.
// Records come from the network, so every count may hold any value: the
// numbers here never divide by zero, never leave 0..1 and never wrap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "foundation/time/date_time.h"
#include "message/dcc_checksums.h"
#include "message/message_checksums.h"
#include "message/msg_category.h"
#include "message/msg_search_rec.h"

namespace halvorn {

// The service's record of one stored message. A value: copying copies the
// text and the checksum array.
struct TMessageRec {
  std::int32_t MsgNumber = 0;  // the service's number (kept as QCHMsgId)
  TDateTime FirstSeen = 0;
  TDateTime LastSeen = 0;
  // Extra-information comma text; for a submission or a user update the
  // text being sent.
  std::string ExtraInfo;
  std::int32_t TimesEncountered = 0;
  // Votes and staff category; for a submission StaffCategory carries the
  // category the user gives.
  TMsgCategoryCounts Counts{};
  TCheckSumArray CheckSums;
  TDigest16 Fuz1Sum{};
  TDigest16 Fuz2Sum{};
  TDigest16 BodySum{};

  // Field by field (the dates as numbers, the 19 count bytes as bytes).
  bool operator==(const TMessageRec& other) const;
};

// The nine counts and the staff category zero.
void InitMsgCategoryCounts(TMsgCategoryCounts& counts);

// Everything zero or empty, except FirstSeen and LastSeen (now) and
// TimesEncountered (1).
void InitMessageRec(TMessageRec& record);

// The shares of a match record's checksums: common, only in the user's
// message, only in the stored one, each over the sum of the three. 0.0 when
// the record's Kind is not 1, when a count is negative, or when all three are
// 0; otherwise 0.0 to 1.0.
double QchMatchOverlap(const TMsgSearchRec& record);
double QchMatchExtra(const TMsgSearchRec& record);
double QchMatchMissing(const TMsgSearchRec& record);

// -1 when the overlap of a is at least that of b, else 1.
int CompareMsgSearchRecs(const TMsgSearchRec& a, const TMsgSearchRec& b);

// Best overlap first; records of equal overlap keep their order, so records
// that are no message match (overlap 0) sink behind every positive match.
// Takes n log n steps whatever the service sent.
void SortMsgSearchRecs(TMsgSearchRecArray& records);

// The verdict of a message's match records. A perfect match is a record of
// Kind 1 with overlap exactly 1.0. The first perfect match with a staff
// category decides at once: category = that byte as it came (the flag 0x80
// included), votes -1, staffCategorised true. Otherwise the counts of the last
// perfect match (or, without one, the weighted counts at threshold 0.25) give
// the category with the most votes, the lower category on a tie, category 0
// with votes 0 when every count is 0. Answers whether a perfect match exists.
bool GetQchMatchCategory(const TMsgSearchRecArray& records, TMsgCategory& category,
                         std::int32_t& votes, bool& staffCategorised);

// The votes of the message matches whose overlap reaches the threshold, each
// weighted by its overlap: count c = trunc(100 x sum of overlap x votes for
// c), held at 65535 when larger. The staff category of the result is 0.
void WeightedQchCategoryCounts(const TMsgSearchRecArray& records, TMsgCategoryCounts& counts,
                               double threshold);

// Where the 16-bit count of a category (0x80 masked off) lies within the 19
// bytes of a TMsgCategoryCounts; none for a category outside 1 to 9. The
// counts are packed, so they are read and written through CategoryCount and
// SetCategoryCount (memcpy), never through a pointer.
std::optional<std::size_t> GetCategoryCountPtr(std::uint8_t category);

// The count of a category (0x80 masked off); 0 for a category outside 1 to 9.
std::uint16_t CategoryCount(const TMsgCategoryCounts& counts, std::uint8_t category);
// Sets it; a category outside 1 to 9 changes nothing.
void SetCategoryCount(TMsgCategoryCounts& counts, std::uint8_t category, std::uint16_t value);

}  // namespace halvorn
