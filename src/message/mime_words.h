// The decoder of encoded words in header values ("=?charset?Q?...?=" and
// its B form, RFC 2047) that the message header applies to every decoded
// value it hands out, and the ISO-2022-JP to Shift-JIS conversion it uses.
//
// This is not the Foundation's DecodeEncodedWords (encoded_words.h), which
// serves attachment names: the two read words differently on purpose, and
// header values and their checksums depend on this one's exact rules.
//
// Both functions are pure and may be called from any thread at once.
#pragma once

#include <string>
#include <string_view>

namespace halvorn {

// The header value with its encoded words decoded; never raises, and takes
// time and stack linear in the text's length.
//
// Where a word starts: the first "=?ISO" of the text (letter case ignored);
// when there is none, the first "=?WINDOWS", then "=?US-ASCII", "=?UTF-",
// "=?CP-" and last any "=?". The prefix found first in this order wins even
// when a word of another prefix stands before it, and the words before it
// stay as written. From two characters after the start, the next "?" ends
// the charset and the next "?" after it the encoding letter (the character
// right after the charset's "?"); the first "?=" after that ends the word.
// When one of them is missing, nothing more is decoded.
//
// An encoded text that is only the closing "?=" gives nothing. Letter "Q"
// (either case): "_" gives a blank, "=" and two hexadecimal digits (either
// case) before the closing "?=" give that byte, and every other character,
// an "=" that starts no escape included, stays. Any other letter is base64:
// each four characters of the encoded text (the closing "?=" counted in)
// give three bytes, characters outside the alphabet ("=" and "?" too)
// counting 0, and a shorter rest is dropped. Charset "ISO-2022-JP" (case
// ignored) converts the decoded bytes with JisToShiftJis; every other
// charset keeps the bytes as they are.
//
// After a word the rest of the text is decoded by the same rules; when that
// changed the rest and the rest begins with "=?", the decoded rest loses
// its blanks (the space character) at both ends. Other blanks between words
// stay. Last, every NUL byte of the result is removed, also when nothing
// was decoded (base64 padding decodes to NULs).
std::string DecodeMimeWords(std::string_view text);

// ISO-2022-JP bytes as Shift-JIS. Bytes are copied until ESC "$B" or ESC
// "$@" switches to two-byte mode (JIS X 0208); ESC "(B" or ESC "(J"
// switches back. Any other escape sequence is skipped (three bytes, fewer at
// the end) without a change of mode. In two-byte mode each pair j1, j2
// becomes the standard JIS X 0208 to Shift-JIS pair; a lone last byte is
// dropped.
std::string JisToShiftJis(std::string_view jis);

}  // namespace halvorn
