// The anomalies a message header and its Received lines can show. Each is a
// bit of the header's flag word: the value of an error is its bit position,
// so heMissingEndBoundary is the flag 0x1 and heReceivedByNameMissing the
// flag 0x80000. The classification reads the set as features; the names are
// its feature names, so they are kept exactly, misspelling included.
#pragma once

#include <cstdint>

namespace halvorn {

enum THeaderError : int {
  heMissingEndBoundary = 0,              // 0x1: no boundary line in a multipart body
  heMalformedParameter = 1,              // 0x2: a parameter value not in double quotes
  heMissingContentType = 2,              // 0x4
  heMissingContentTransferEncoding = 3,  // 0x8
  heNonBinaryEncodingOfMultipart = 4,    // 0x10
  heUnknownContentTransferEncoding = 5,  // 0x20
  heIllegalCharsInFileName = 6,          // 0x40
  heCharsetWithoutText = 7,              // 0x80
  heUnspecifiedDisposition = 8,          // 0x100
  heReceivedLineNotWraped = 9,           // 0x200: a single-line Received value
  heReceivedOutOfOrder = 10,             // 0x400: a Received line below another header
  heReceivedDateMissing = 11,            // 0x800
  heReceivedDateYearLast = 12,           // 0x1000: "10:20:30 2003"
  heReceivedDate12HrClock = 13,          // 0x2000: "10:20:30PM"
  heReceivedDateTimeNotPadded = 14,      // 0x4000: "9:20:30"
  heReceivedFromNameMissing = 15,        // 0x8000: the line does not begin with "from"
  heReceivedFromNameNotADomain = 16,     // 0x10000: the from-host is "localhost"
  heReceivedFromNameIP = 17,             // 0x20000: the from-host is a public dotted number
  heReceivedFromPTRNotDomain = 18,       // 0x40000: the name in parentheses is no domain
  heReceivedByNameMissing = 19,          // 0x80000
};

// The flag bit of an error.
constexpr std::uint32_t HeaderErrorBit(THeaderError error) {
  return std::uint32_t{1} << error;
}

}  // namespace halvorn
