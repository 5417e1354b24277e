// Single-line uuencoding, the decoder of encoded words in header texts
// ("=?charset?B?...?=" and its Q and U forms), blank trimming and the
// dotted-number test used by the Received-line and header checks.
//
// All functions are pure: nothing is kept between calls, so they may be
// called from any thread at once.
#pragma once

#include <string>
#include <string_view>

namespace halvorn {

// One uuencoded line, without a line end, for at most 45 bytes: the length
// character (count + 32) and four characters per three bytes, each 6-bit
// value + 32 with 0 written as "`". No bytes give "`" alone. Raises
// std::runtime_error "UUEncode: String too long" for more than 45 bytes.
std::string UUEncode(std::string_view bytes);

// The bytes of one uuencoded line. The first character gives the count (its
// code - 32) and must lie between "!" and "a"; otherwise (an empty line
// included) raises std::runtime_error "UUDecode: Incorrect string format".
// The rest is read in groups of four characters, a short last group padded
// with 0; each character stands for its code - 32 taken to 6 bits ("`" and
// " " are 0). The result is cut to the count; a line that carries fewer
// bytes than its count is not padded. A line that starts with "`" gives every
// byte its groups carry ("`" alone gives none).
std::string UUDecode(std::string_view line);

// The text without blanks (the character 32 only) at either end.
std::string TrimBlanks(std::string_view text);

// The header text with its encoded words decoded. The text is trimmed of
// blanks first. Each word is found from the first "=?": the charset runs to
// the next "?", the word ends at the first "?=" after that, moved to a later
// "?=" when one follows (so a Q text that starts with "=" does not end the
// word early). B words are base64 (cut at the first zero byte), Q words
// quoted-printable with "_" for blank, U words one uuencoded line; any other
// letter counts as Q. The decoded bytes replace the word as they are (the
// charset is not used) and the scan goes on from just before the decoded
// text, so a word that decodes into the start of another is decoded too.
// A word without its closing "?" or "?=" ends the decoding: the rest stays
// as written. A U word whose line does not decode is left as written and
// the scan goes on after it. Blanks between adjacent words stay. Never
// raises; linear in the text's length.
std::string DecodeEncodedWords(std::string_view text);

// Decodes the part of one encoded word between the charset's closing "?" and
// the word's closing "?=", such as "Q?Caf=E9": the letter before the "?"
// (B, Q or U, any case; anything else or no such form counts as Q) chooses
// the decoder, which reads from the third character on. Raises
// std::runtime_error for a U line that does not decode.
std::string DecodeEncodedWordInner(std::string_view inner);

// True when the text holds at least one "." and every piece before a "."
// reads as a decimal integer (an optional sign and digits within 32 bits;
// an empty piece or one that reads as -1 does not count). The piece after
// the last "." is not examined.
bool IsDottedNumberText(std::string_view text);

}  // namespace halvorn
