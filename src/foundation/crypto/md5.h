// MD5 digests (RFC 1321) for message checksums, resolver keys, hexadecimal
// digests and the web server's password checks.
//
// The functions keep no shared state; a context belongs to its caller and may
// be used from one thread at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace halvorn {

// 16 bytes in the RFC 1321 byte order.
using TMD5Digest = std::array<std::uint8_t, 16>;

// The running state of one digest.
struct TMD5Context {
  std::array<std::uint32_t, 4> State{};  // A, B, C, D
  std::array<std::uint32_t, 2> Count{};  // bits processed, low word first
  std::array<std::uint8_t, 64> Buffer{};
};

// Sets the initial state, a zero count and a zeroed buffer.
void MD5Init(TMD5Context& context);

// Feeds `count` bytes; may be called any number of times between MD5Init and
// MD5Final.
void MD5Update(TMD5Context& context, const void* bytes, std::size_t count);
void MD5Update(TMD5Context& context, std::string_view bytes);

// Pads, appends the length, writes the digest and overwrites the whole
// context with zeros (MD5Init is needed before it is used again).
void MD5Final(TMD5Context& context, TMD5Digest& digest);

// The digest of the text's bytes as stored (no terminator, no conversion).
TMD5Digest MD5String(std::string_view text);

// 32 lower-case hexadecimal digits, two per byte in digest order, the high
// half of each byte first.
std::string MD5DigestToHex(const TMD5Digest& digest);

// 32 lower-case (upper-case) hexadecimal digits of the text's digest.
std::string MD5Hex(std::string_view text);
std::string MD5HexUpper(std::string_view text);
// The exclusive-or of the digest's four 32-bit words (little-endian).
std::uint32_t HashText(std::string_view text);

}  // namespace halvorn
