// Compressed texts and base64.
//
// Several stored values (test-result arrays, test settings, network weights,
// links of the local web server, the results sent to QCH) are kept as a
// compressed container, usually in its base64 text form so that it is safe in
// a settings line or a link. The container is one method byte followed by the
// body:
//   0      splay-coded: the bit stream of an adaptive splay-tree prefix coder;
//   1      block-coded: blocks of a byte-pair coder (read, never written);
//   other  stored: the bytes unchanged (written with method 2).
// What one side writes the other reads back byte for byte, so the formats
// here must not change.
//
// Every function works on byte strings, keeps no state between calls and may
// be called from any thread, several at once.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace halvorn {

// Raised by the expanders for a container they cannot read: a block length
// outside 0..32767 ("Read blocksize too big. BlockSize=" + the length), or a
// block-coded body that is malformed or would expand beyond the output cap.
class ECompressionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The largest text a block-coded container may expand to; beyond it the
// expansion raises ECompressionError instead of filling memory.
inline constexpr std::size_t kMaxBlockCodedOutput = 64u * 1024 * 1024;

// Replaces `text` with its container. An empty text stays empty. A text
// shorter than 3 bytes, or one that begins with "..", gets ".." put in front
// first; the result is stored when that text is shorter than 100 bytes and
// splay-coded otherwise. Never fails.
void CompressString(std::string& text);

// Replaces the container `text` with the text it holds, removing a ".." that
// CompressString put in front. A text shorter than 8 bytes is left as it is
// unless it begins with the byte 2, the stored containers CompressString
// makes for short texts. A splay-coded body cut short gives what was decoded.
// Raises ECompressionError for an unreadable block-coded body (the text is
// then unchanged).
void ExpandString(std::string& text);

// Base64 of CompressString; an empty text stays empty. Never fails.
void CompressText(std::string& text);

// ExpandString of the base64-decoded text; an empty text stays empty.
// Raises what ExpandString raises.
void ExpandText(std::string& text);

// The `count` bytes at `memory` given to CompressText. The two names are the
// same operation. `memory` may be null when `count` is 0.
std::string CompressBytesToText(const void* memory, std::size_t count);
std::string CompressBufferToText(const void* memory, std::size_t count);

// ExpandText of a copy of `text`. Raises what ExpandString raises.
std::string ExpandTextCopy(const std::string& text);

// RFC 4648 base64, standard alphabet, "=" padding, no line breaks.
std::string Base64Encode(std::string_view bytes);

// Reads `text` in groups of four characters from its start; a last group of
// fewer than four is ignored. Within a group only the 64 alphabet characters
// count, in order; n counted characters give n - 1 bytes. Never fails: what
// cannot be read gives fewer bytes or an empty result.
std::string Base64Decode(std::string_view text);

}  // namespace halvorn
