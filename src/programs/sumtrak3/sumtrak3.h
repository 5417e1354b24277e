// libSumtrak3.so: the checksum library that the DCC binding
// (message/dcc_checksums.h) loads to compute a message's sums.
//
// These are Halvorn's own sums, not DCC's. No public standard defines the
// body and fuzzy checksums the public DCC servers count, so these cannot
// match theirs; they are of our own design and serve this machine only: the
// spam-checksum list, the held-mail expiry and the processing thread compare
// messages by them. Each is an MD5 digest (RFC 1321).
//
// The input is the message as fed line by line: the texts given to
// DccChecksumLine, taken together, split at each LF; a CR just before an LF
// belongs to the line end. A last text without an LF still makes a line.
//   header: the lines before the first empty line;
//   body:   the lines after it, joined by LF (empty without an empty line).
//
// The sums, each in the slot of its own number (slot 5 for type 5 ...), with
// target count 0; every other byte of the record is zero:
//   5 (Message-ID): the value of the first header field whose name (the text
//     before the line's first ":", blanks and tabs after it ignored) is
//     "Message-ID" in any case: the text after the colon, with the field's
//     continuation lines (lines that begin with a blank or a tab) appended as
//     they stand, then blanks and tabs removed at both ends.
//   7 (body): the body with every byte of code 32 or below removed.
//   8 (FUZ1): the tag-free body's ASCII letters, lower-cased. The tag-free
//     body is the body with each run from "<" through the next ">" removed
//     (an unclosed "<" through the end).
//   9 (FUZ2): the distinct words of the tag-free body, sorted bytewise and
//     joined by single blanks. A word is a maximal run of ASCII letters 3 to
//     20 letters long, lower-cased (longer and shorter runs are not words).
// Types 8 and 9 are left out when the tag-free body has fewer than 8
// distinct words: short notes would share them, and a fuzzy sum on the
// spam-checksum list would then condemn every such note. A type whose input
// comes out empty (no Message-ID value, a body of blanks only) gets no slot.
//
// The exports use the C calling convention and never raise. A computation is
// named by a 32-bit context value that the library maps to its state; any
// number of computations may run at once, from any threads, each context
// used by one thread at a time.
#pragma once

#include <cstdint>

#define SUMTRAK3_EXPORT extern "C" __attribute__((visibility("default")))

// Starts a computation: sets *context to its non-zero value and answers 0.
// Answers 1, with *context 0, when no state can be had (memory, or 4096
// computations already open).
SUMTRAK3_EXPORT int DccInit(std::uint32_t* context) noexcept;

// Takes a zero-terminated text into the computation. An unknown context or a
// null text is ignored.
SUMTRAK3_EXPORT void DccChecksumLine(const char* text, std::uint32_t context) noexcept;

// Ends the computation: writes its sums into the 560-byte record (all of it,
// see above), sets *context to 0 and answers 0. Answers 1, writing nothing,
// for an unknown context or a null record, and when taking a text failed for
// want of memory; the computation is ended either way.
SUMTRAK3_EXPORT int DccFinalize(void* record, std::uint32_t* context) noexcept;
