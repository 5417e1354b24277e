// The fixed shapes of MIME boundaries and Message-Ids that known mailing
// programs write, and the counters, dates and addresses those shapes carry.
// The classification compares them with what a message's Received lines say
// about its origin.
//
// Pure functions: they keep no state and may run on any thread at once.
// Dates are local date-times of the Windows file time the shape carries, by
// the zone of the program's clock (clock.h).
#pragma once

#include <cstdint>
#include <string>

#include "foundation/time/date_time.h"

namespace halvorn {

// The numbers a known boundary carries.
struct TBoundaryPatternRec {
  std::int32_t Counter = -1;   // -1: none
  std::int32_t Counter2 = -1;  // -1: none
  TDateTime Date = 0;          // 0: none
};

// The numbers a known Message-Id carries.
struct TMessageIdRec {
  std::int32_t Counter = -1;  // -1: none
  TDateTime Date = 0;         // 0: none
  std::string Reserved;       // always empty
  std::string SenderIP;       // a dotted address, or empty
};

// The kind of a boundary (with or without its leading "--"), 1 to 5; the
// record is reset first. The whole boundary is matched (RegExMatchesWhole,
// dot-all and greedy) against, in this order:
//   2 "(--)?----_=_NextPart_[0-9A-F]{3}_[0-9A-F]{8}\.[0-9A-F]{8}"
//   4 "(--)?----=_NextPart_[0-9A-F]{3}_[0-9A-F]{4}_[0-9A-F]{8}\.[0-9A-F]{8}"
//   5 "(--)?_NextPart_[0-9A-F]{3}\_[0-9A-F]{8}"
//   3 "(--)?Boundary_\(ID_.{22}\)"
// and is kind 1 when none matches. Kind 2 gives Counter from its three
// digits and Date from the two groups of eight (the file time's high and
// low halves); kind 4 gives Counter, Counter2 from its four digits, and
// Date. Groups are hexadecimal numbers (HexToIP). A boundary the engine
// cannot match (too long for its budget) is kind 1.
int ParseBoundaryPattern(const std::string& boundary, TBoundaryPatternRec& rec);

// The kind of a Message-Id written with its angle brackets, 1 to 8; the
// record is reset first. The whole text is matched, in this order, against
//   2 "<[0-9a-f]{8}\$[0-9a-f]{8}\$[0-9a-f]{8}@[A-Za-z0-9\.]+>"
//   3 "<[0-9a-f]{12}\$[0-9a-f]{8}\$[0-9a-f]{8}@[A-Za-z0-9\.]+>"
//   4 "<[A-Z]{28}\..+@.+>"
//   5 "<[0-9A-F]{38}@.+>"
//   6 "<[0-9A-F]{40}@.+>"
//   7 "<[0-9A-F]{8}\.[0-9]{5,7}@.+>"
//   8 "<[0-9A-F]{8}\.[0-9A-F]{3}%[0-9]{5,7}@.+>"
// and is kind 1 when none matches. Kind 2 ("hhhhhhhh$llllllll$aaaaaaaa@")
// gives Date from the file time's high and low halves and SenderIP from the
// third group; kind 3 ("ccccHHHHHHHH$llllllll$aaaaaaaa@") also Counter from
// its first four digits. The address group holds the address least
// significant byte first, as the sending program's memory did: "0200a8c0"
// is 192.168.0.2. Other kinds fill nothing.
int ParseMessageIdPattern(const std::string& messageId, TMessageIdRec& rec);

}  // namespace halvorn
