// The pieces of a "Received" header value that the rest of the program looks
// at: the host named after "from", the name the receiving server wrote in
// parentheses behind it, the sending address in brackets or parentheses, the
// host named after "by", and the date text; with the anomalies of the line as
// flag bits of the header's error set (header_errors.h).
//
// The readers are text functions of one value: they keep no state and may
// run on any thread at once. Searches are case-sensitive unless a function
// says otherwise, and "from" and "by" are looked for as plain substrings, so
// they are also found inside longer words: the readers take the lines as
// they are written, not as the grammar says they should be. None of them
// raises: every failure inside gives an empty output (and, for the date
// text, the date-missing flag); an abandoned worker's EThreadAbandoned
// passes through.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace halvorn {

// One parsed Received value. A plain value; its owner guards it.
class TReceivedLine {
 public:
  TReceivedLine() = default;
  // Parses the value (see Parse).
  explicit TReceivedLine(std::string_view value) { Parse(value); }

  // An empty value clears every field. Otherwise FLine takes the value and
  // the other fields and the flags are filled by ReceivedFromHost,
  // ReceivedFromName, ReceivedFromIP, GetReceivedByHost and ReceivedDateText,
  // in that order.
  void Parse(std::string_view value);

  std::string FLine;         // the value as given (unfolded by the header)
  std::uint32_t FFlags = 0;  // the OR of the readers' flags
  std::string FFromHost;     // ReceivedFromHost
  std::string FFromName;     // ReceivedFromName
  std::string FFromIP;       // ReceivedFromIP
  std::string FByHost;       // GetReceivedByHost
};

// The host word after a leading "from". The value is trimmed; when it does
// not begin with "from" (letter case ignored) the host is empty and the
// answer is heReceivedFromNameMissing, or nothing when the value contains
// "qmail", "127.", "from network" or "invoked". Otherwise the text up to the
// first blank is dropped (a value without a blank keeps it all) and the host
// is what stands before the next blank, "(" or "[", trimmed. Flags:
// heReceivedFromNameNotADomain when the host is "localhost" (any case) and
// the value does not contain "from mail pickup service by hotmail";
// heReceivedFromNameIP when the host is a dotted number (IsDottedNumberText)
// that begins with neither "192" nor "127".
std::uint32_t ReceivedFromHost(std::string_view value, std::string& host);

// The name in parentheses behind the from-host. No from-host gives no name
// and no flag. Otherwise the rest of the value after the from-host's first
// occurrence is trimmed and cut after the "b" of its first "by " (letter
// case ignored; without "by " nothing is left); the name is the text inside
// the first "(" ... ")" of that rest, trimmed and cut before its first "[".
// A dotted number or "unverified" (any case) gives no name and no flag;
// any other name, an empty one included, is kept and flagged
// heReceivedFromPTRNotDomain when it is not a valid domain name.
std::uint32_t ReceivedFromName(std::string_view value, std::string& name);

// The sending address: true when a dotted number was found. In the
// lower-cased value, the text between the first "from" and the first "by"
// within the 999 characters after it is the from part (no "from" or no such
// "by": nothing). The pieces in "[" "]" of the from part are tried in order,
// then those in "(" ")", then both kinds again over the whole value; within
// one kind an empty piece ends the search of that kind. The first piece
// whose trimmed inner text is a dotted number is the answer.
bool ReceivedFromIP(std::string_view value, std::string& address);

// The host word after "by ". The search starts at the last character of the
// from-host's first occurrence (at the start of the value when there is no
// from-host) and finds "by " with letter case ignored; the host is the text
// after it, trimmed, up to the first blank, ";" or "(", trimmed. Flag
// heReceivedByNameMissing when that is empty, and when there is no "by "
// unless the value contains "qmail", "127.", "from network" or "invoked".
std::uint32_t GetReceivedByHost(std::string_view value, std::string& host);

// The date text: the piece after the value's last ";" (the whole value
// without one), trimmed, from its start to the end of the time's seconds
// (the second character after the second ":"), trimmed. Flags:
// heReceivedDateTimeNotPadded when the time, counted from after the last
// blank before its first ":", is shorter than eight characters;
// heReceivedDateYearLast when the character two places after the seconds is
// a digit (the text then runs over that number: "10:20:30 2003");
// otherwise heReceivedDate12HrClock when "AM" or "PM" (any case) follows the
// seconds directly (the text then runs four characters further). A piece
// without two ":" or shorter than the end found gives an empty text; an
// empty text adds heReceivedDateMissing.
std::uint32_t ReceivedDateText(std::string_view value, std::string& text);

}  // namespace halvorn
