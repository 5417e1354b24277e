// Message checksums: short typed 32-bit values that describe a message to the
// central categorisation service and to the checksum-based tests: one per
// sentence of the body, per attached image, per e-mail address, URL and
// web-address fragment of the body, and a pair per IPv4 address of the
// Received lines.
//
// A checksum keeps its type in the top byte and a 24-bit hash (the first
// bytes of an MD5 digest) in the low three. Other installations compute the
// same values for the same mail and the service compares them, so every rule
// here, odd ones included, is part of the value: change none of them.
//
// Everything here works on the caller's values only and keeps no shared
// state, so it may be called from any thread at once. Nothing raises for
// ordinary input; EThreadAbandoned always passes.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/crypto/md5.h"
#include "foundation/text/string_list.h"

namespace halvorn {

class TSimpleHtml;

// The checksums of a message, in the order they were added.
using TCheckSumArray = std::vector<std::uint32_t>;

// Checksum types (the top byte). Types 3, 4 and 9 are not produced here.
inline constexpr int cstNone = 0;              // type not set
inline constexpr int cstBodyText = 1;          // a body sentence, blanks removed
inline constexpr int cstImage = 2;             // the decoded content of an attachment
inline constexpr int cstReceivedAddrPair = 5;  // half of a Received line's IPv4 address
inline constexpr int cstBodyUrl = 6;           // a body URL in canonical form
inline constexpr int cstOtherPair = 7;         // a pair kind no producer here makes
inline constexpr int cstBodyEmailAddr = 8;     // an e-mail address of the body
inline constexpr int cstBodyPartialUrls = 10;  // a web-address fragment of the body, as found

// The hash bits of a checksum.
inline constexpr std::uint32_t CheckSumMask = 0xFFFFFF;

// The first four digest bytes read as a little-endian number, shifted right
// by 8: digest byte 1 is the low byte of the result, byte 3 the high one.
std::uint32_t Md5To24Bits(const TMD5Digest& digest);

// The hash of the text with A to Z lower-cased (no other byte changes);
// type 0.
std::uint32_t CheckSumOfText(std::string_view text);

// The hash of the stream's last 1024 bytes (the whole stream when it holds
// 1024 bytes or fewer); type 0.
std::uint32_t CheckSumOfStream(std::string_view stream);

// Keeps the checksum's low 24 bits and puts the type (its low 8 bits) into
// the top byte.
void SetCheckSumType(int type, std::uint32_t& checksum);

// The top byte, or 0 for the value 0 and for any value of type 11 or above.
int CheckSumType(std::uint32_t checksum);

// True for the types 5 and 7.
bool IsPairChecksum(std::uint32_t checksum);

// A pair checksum taken apart. Layout from the least significant byte: byte
// 0 holds the index in bits 0-6 and the half flag in bit 7 (set for the low
// half); bytes 1 and 2 the 16-bit half of the source value (its low 16 bits
// when the flag is set, its high 16 bits otherwise); byte 3 the type.
struct TPairChecksumParts {
  int Index = 0;           // 0 to 127
  bool LowHalf = false;    // the half flag
  std::uint16_t Half = 0;  // the half of the source value
};

// The two checksums of the value: the low-half one first, then the high-half
// one, both with the index's low 7 bits and the type's low 8 bits.
std::array<std::uint32_t, 2> MakeChecksumPair(std::uint32_t value, int index, int type);

// The index, half flag and half of a pair checksum (of any checksum, read
// by the pair layout).
TPairChecksumParts SplitPairChecksum(std::uint32_t checksum);

// Appends a pair of checksums of the type for each value, in order: the
// low-half one, then the high-half one. The first pair takes the index one
// above the largest index of the pair checksums (types 5 and 7) already in
// the array, 0 when there are none; each further value the next index, all
// kept to 7 bits (after 127 comes 0). Nothing happens without values.
void AppendAddressPairChecksums(const std::vector<std::uint32_t>& values, int type,
                                TCheckSumArray& array);

// Removes every repeated value: for each position from the front, every
// later entry equal to it is replaced by the array's current last entry
// (which is compared again) and the array shortened by one. The first
// occurrence of each value keeps its place; the others may move. True when
// anything was removed. Runs in O(n log n), not the quadratic scan the rule
// describes, with exactly its result.
bool RemoveDuplicateChecksums(TCheckSumArray& array);

// The checksums of the local web server's own images, which it records when
// it loads them: the program's notices insert those images into messages,
// and a part that carries one of them is taken out again. Safe from any
// thread; the record starts empty.
//
// Replaces the record by the stream checksum of each image, given type 2.
void RecordOwnImageChecksums(const std::vector<std::string>& images);
// A copy of the record.
TCheckSumArray OwnImageChecksums();
// True when the checksum is one of the record's.
bool IsOwnImageChecksum(std::uint32_t checksum);

// Appends the special body checksums of the text (HTML with its entities
// decoded, or plain text), each step starting from the unchanged text:
//  1. every valid e-mail address (ExtractEmailAddresses), in the order
//     found, type 8;
//  2. the http, https and ftp URLs (ExtractUrls), sorted and without
//     repeats, each in its canonical form (UrlWithoutScheme), type 6;
//  3. the dotted web addresses (CutWebAddresses) of the text turned into
//     plain text (HtmlToPlainText), in the order found and as found, type 10.
// URLs and fragments are skipped when they contain "localhost" (exact case)
// or ":6173" (the local web server), or when their host holds a free-mail
// provider's domain (kFreeMailDomains, any case). In developer mode each
// checksum adds a line of detail level 11 to the trace, when one is given.
void GetSpecialBodyChecksums(const std::string& text, TCheckSumArray& array, TSimpleHtml* trace);

// The prefetch hook for a message's body text; it computes nothing.
void PrefetchSpecialBodyChecksums(const std::string& text);

// Splits the text into sentences, replacing the list. The text is changed on
// the way: "." appended; abbreviation dots removed, lower-cased, quote
// prefixes removed, punctuation collapsed, e-mail addresses cut out, line
// breaks removed (while URLs are collected), web addresses cut out; then,
// with keepAll, control characters removed, else everything but a to z and
// "!", "." and "?". At each "!", "." or "?" the trimmed piece since the
// previous one becomes a sentence when longer than 4 characters; a shorter
// piece before a "." is appended to the last sentence when fewer than 2
// spaces were met since the last sentence added. The last piece examined is
// added once more when it is not empty. Entries may be empty.
void SplitIntoSentences(std::string& text, TStringList& sentences, bool keepAll);

// Each removes a free-mail footer from the lines (joined with CR LF for one
// regular-expression replacement) and answers true when the lines changed:
//  - the text footer: a line of 50 or more underscores followed within 200
//    characters by the first provider's domain, to the end of the text;
//  - the HTML footer: from "<hr" within 200 characters to that domain and on
//    to the last "</html>", which is kept;
//  - the tagline: the second provider's advertising line ("Do you" and its
//    name, an optional "!") to the end of the text.
// A pattern the engine gives up on leaves the lines as they were.
bool StripFreeMailTextFooter(TStringList& lines);
bool StripFreeMailHtmlFooter(TStringList& lines);
bool StripFreeMailTagline(TStringList& lines);

}  // namespace halvorn
