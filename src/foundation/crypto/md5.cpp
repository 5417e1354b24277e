#include "foundation/crypto/md5.h"

#include <cstring>

namespace halvorn {
namespace {

constexpr std::uint32_t RotateLeft(std::uint32_t x, int n) {
  return (x << n) | (x >> (32 - n));
}

// Per-step shift amounts and the sine-derived constants of RFC 1321.
constexpr int kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                            5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                            4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                            6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

constexpr std::uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

void Transform(std::array<std::uint32_t, 4>& state, const std::uint8_t* block) {
  std::uint32_t x[16];
  for (int i = 0; i < 16; ++i) {
    x[i] = std::uint32_t(block[4 * i]) | (std::uint32_t(block[4 * i + 1]) << 8) |
           (std::uint32_t(block[4 * i + 2]) << 16) | (std::uint32_t(block[4 * i + 3]) << 24);
  }
  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (int i = 0; i < 64; ++i) {
    std::uint32_t f;
    int g;
    if (i < 16) {
      f = (b & c) | (~b & d);
      g = i;
    } else if (i < 32) {
      f = (b & d) | (c & ~d);
      g = (5 * i + 1) % 16;
    } else if (i < 48) {
      f = b ^ c ^ d;
      g = (3 * i + 5) % 16;
    } else {
      f = c ^ (b | ~d);
      g = (7 * i) % 16;
    }
    std::uint32_t next = b + RotateLeft(a + f + kSine[i] + x[g], kShift[i]);
    a = d;
    d = c;
    c = b;
    b = next;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

}  // namespace

void MD5Init(TMD5Context& context) {
  context.State = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  context.Count = {0, 0};
  context.Buffer.fill(0);
}

void MD5Update(TMD5Context& context, const void* bytes, std::size_t count) {
  const auto* input = static_cast<const std::uint8_t*>(bytes);
  std::size_t used = (context.Count[0] >> 3) & 63;

  // The bit count is kept modulo 2^64, as RFC 1321 asks.
  std::uint64_t bits = (std::uint64_t(context.Count[1]) << 32) | context.Count[0];
  bits += std::uint64_t(count) << 3;
  context.Count[0] = static_cast<std::uint32_t>(bits);
  context.Count[1] = static_cast<std::uint32_t>(bits >> 32);

  std::size_t room = 64 - used;
  if (count < room) {
    if (count > 0) std::memcpy(context.Buffer.data() + used, input, count);
    return;
  }
  std::memcpy(context.Buffer.data() + used, input, room);
  Transform(context.State, context.Buffer.data());
  std::size_t i = room;
  for (; i + 64 <= count; i += 64) Transform(context.State, input + i);
  if (i < count) std::memcpy(context.Buffer.data(), input + i, count - i);
}

void MD5Update(TMD5Context& context, std::string_view bytes) {
  MD5Update(context, bytes.data(), bytes.size());
}

void MD5Final(TMD5Context& context, TMD5Digest& digest) {
  std::uint8_t length[8];
  for (int i = 0; i < 4; ++i) {
    length[i] = static_cast<std::uint8_t>(context.Count[0] >> (8 * i));
    length[i + 4] = static_cast<std::uint8_t>(context.Count[1] >> (8 * i));
  }
  // Pad with 0x80 and zeros to 56 bytes modulo 64, then the 64-bit length.
  static const std::uint8_t kPadding[64] = {0x80};
  std::size_t used = (context.Count[0] >> 3) & 63;
  std::size_t padLength = used < 56 ? 56 - used : 120 - used;
  MD5Update(context, kPadding, padLength);
  MD5Update(context, length, 8);

  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) {
      digest[4 * i + j] = static_cast<std::uint8_t>(context.State[i] >> (8 * j));
    }
  }
  // Leave nothing of the input behind in the caller's memory.
  volatile std::uint8_t* wipe = reinterpret_cast<volatile std::uint8_t*>(&context);
  for (std::size_t i = 0; i < sizeof(context); ++i) wipe[i] = 0;
}

TMD5Digest MD5String(std::string_view text) {
  TMD5Context context;
  MD5Init(context);
  MD5Update(context, text);
  TMD5Digest digest;
  MD5Final(context, digest);
  return digest;
}

namespace {

std::string DigestToHex(const TMD5Digest& digest, const char (&digits)[17]) {
  std::string hex;
  hex.reserve(32);
  for (std::uint8_t byte : digest) {
    hex += digits[byte >> 4];
    hex += digits[byte & 15];
  }
  return hex;
}

}  // namespace

std::string MD5DigestToHex(const TMD5Digest& digest) {
  return DigestToHex(digest, "0123456789abcdef");
}

std::string MD5Hex(std::string_view text) {
  return MD5DigestToHex(MD5String(text));
}

std::string MD5HexUpper(std::string_view text) {
  return DigestToHex(MD5String(text), "0123456789ABCDEF");
}

std::uint32_t HashText(std::string_view text) {
  const TMD5Digest digest = MD5String(text);
  std::uint32_t hash = 0;
  for (int word = 0; word < 4; ++word) {
    std::uint32_t value = 0;
    for (int k = 3; k >= 0; --k) value = (value << 8) | digest[word * 4 + k];
    hash ^= value;
  }
  return hash;
}

}  // namespace halvorn
