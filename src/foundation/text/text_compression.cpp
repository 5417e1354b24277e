#include "foundation/text/text_compression.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace halvorn {
namespace {

constexpr char kMethodSplay = 0;
constexpr char kMethodBlocks = 1;
constexpr char kMethodStored = 2;

// Texts at least this long are splay-coded; shorter ones are stored.
constexpr std::size_t kStoreBelow = 100;
// The writer codes its input in chunks of this many bytes, each closed by the
// end symbol and padded to a byte boundary.
constexpr std::size_t kChunkSize = 32767;
// A block of a block-coded body holds at most this many bytes.
constexpr std::int64_t kMaxBlockLength = 32767;
// A block is coded from at most one chunk of its writer's input; twice that
// leaves room for any writer while keeping a crafted block from growing.
constexpr std::size_t kMaxBlockOutput = 2 * kChunkSize + 2;
constexpr int kMaxPairCodes = 127;
constexpr int kFirstPairCode = 129;
constexpr unsigned char kEscape = 128;

// Conversions run to the end once started and never look at a stop request:
// a value cut short would be stored or used as if it were whole. Their cost is
// bounded by the input (splay decoding yields at most eight bytes per input
// byte, block decoding is capped), so they never hold a worker for long.

// The adaptive prefix code of the splay coder. Inner nodes 0..255 (0 is the
// root), leaves 256..512; the leaf of symbol s is s + 256, symbol 256 ends a
// chunk. Each conversion owns one tree.
class TSplayTree {
 public:
  static constexpr int kEndSymbol = 256;
  static constexpr int kFirstLeaf = 256;
  static constexpr int kNodes = 513;

  TSplayTree() {
    for (int i = 0; i < 256; ++i) {
      FLeft[i] = static_cast<std::uint16_t>(2 * i + 1);
      FRight[i] = static_cast<std::uint16_t>(2 * i + 2);
    }
    FParent[0] = 0;
    for (int k = 1; k < kNodes; ++k) FParent[k] = static_cast<std::uint8_t>((k - 1) / 2);
  }

  int Left(int node) const { return FLeft[node]; }
  int Right(int node) const { return FRight[node]; }
  int Parent(int node) const { return FParent[node]; }

  // Moves the leaf of `symbol` up: each step swaps the node with its uncle,
  // then the walk goes on from the grandparent.
  void Splay(int symbol) {
    int a = symbol + kFirstLeaf;
    do {
      const int c = FParent[a];
      if (c == 0) break;
      const int d = FParent[c];
      int b;
      if (FLeft[d] == c) {
        b = FRight[d];
        FRight[d] = static_cast<std::uint16_t>(a);
      } else {
        b = FLeft[d];
        FLeft[d] = static_cast<std::uint16_t>(a);
      }
      if (FLeft[c] == a) {
        FLeft[c] = static_cast<std::uint16_t>(b);
      } else {
        FRight[c] = static_cast<std::uint16_t>(b);
      }
      FParent[a] = static_cast<std::uint8_t>(d);
      FParent[b] = static_cast<std::uint8_t>(c);
      a = d;
    } while (a != 0);
  }

 private:
  std::array<std::uint16_t, 256> FLeft;
  std::array<std::uint16_t, 256> FRight;
  std::array<std::uint8_t, kNodes> FParent;
};

// Packs bits from the least significant end of each byte.
class TBitWriter {
 public:
  explicit TBitWriter(std::string& out) : FOut(out) {}
  void Put(bool bit) {
    if (bit) FByte = static_cast<unsigned char>(FByte | (1u << FCount));
    if (++FCount == 8) Flush();
  }
  // Emits a partly filled byte with its unused high bits 0.
  void Flush() {
    if (FCount == 0) return;
    FOut.push_back(static_cast<char>(FByte));
    FByte = 0;
    FCount = 0;
  }

 private:
  std::string& FOut;
  unsigned char FByte = 0;
  int FCount = 0;
};

void EncodeSymbol(TSplayTree& tree, TBitWriter& bits, int symbol) {
  // A leaf lies at most 256 edges below the root (one per inner node).
  std::array<bool, 257> path;
  int depth = 0;
  for (int node = symbol + TSplayTree::kFirstLeaf; node != 0;) {
    const int parent = tree.Parent(node);
    path[depth++] = tree.Right(parent) == node;
    node = parent;
  }
  while (depth > 0) bits.Put(path[--depth]);
  tree.Splay(symbol);
}

std::string SplayEncode(std::string_view input) {
  std::string out;
  out.reserve(input.size() / 2 + 16);
  TSplayTree tree;
  TBitWriter bits(out);
  for (std::size_t start = 0; start < input.size(); start += kChunkSize) {
    const std::string_view chunk = input.substr(start, kChunkSize);
    for (const char c : chunk) EncodeSymbol(tree, bits, static_cast<unsigned char>(c));
    EncodeSymbol(tree, bits, TSplayTree::kEndSymbol);
    bits.Flush();
  }
  return out;
}

// Every leaf lies at least one edge below the root, so the output is at most
// eight bytes per input byte.
std::string SplayDecode(std::string_view body) {
  std::string out;
  out.reserve(body.size() * 2);
  TSplayTree tree;
  int node = 0;
  for (const char c : body) {
    const unsigned byte = static_cast<unsigned char>(c);
    for (int bit = 0; bit < 8; ++bit) {
      node = (byte >> bit) & 1u ? tree.Right(node) : tree.Left(node);
      if (node < TSplayTree::kFirstLeaf) continue;
      const int symbol = node - TSplayTree::kFirstLeaf;
      tree.Splay(symbol);
      node = 0;
      if (symbol == TSplayTree::kEndSymbol) break;  // the rest of the byte is padding
      out.push_back(static_cast<char>(symbol));
    }
  }
  return out;
}

// Appends the expansion of one block of a block-coded body to `out`.
void DecodeBlock(std::string_view block, std::string& out) {
  if (block.empty()) return;
  const auto at = [&block](std::size_t i) { return static_cast<unsigned char>(block[i]); };
  if (at(0) < 128) {
    out.append(block);
    return;
  }
  if (block.size() < 3) return;
  const std::size_t codedLength = at(1) | (static_cast<std::size_t>(at(2)) << 8);
  if (codedLength > block.size() - 3) return;  // a block that cannot hold its data gives nothing
  const std::string_view coded = block.substr(3, codedLength);
  const std::string_view table = block.substr(3 + codedLength);
  const int codes = static_cast<int>(std::min<std::size_t>(table.size() / 2, kMaxPairCodes));

  // A pair may only hold codes below its own, so nesting ends after at most
  // 127 levels and no pair can refer to itself; each level leaves at most one
  // pending byte on the stack.
  struct TPending {
    unsigned char Byte;
    int Below;  // codes taken from this entry must be below this value
  };
  std::array<TPending, 2 * (kMaxPairCodes + 2)> stack;
  std::size_t top = 0;
  std::size_t next = 0;
  bool escaped = false;
  std::size_t produced = 0;
  for (;;) {
    unsigned char b;
    int below;
    if (top > 0) {
      --top;
      b = stack[top].Byte;
      below = stack[top].Below;
    } else if (next < coded.size()) {
      b = static_cast<unsigned char>(coded[next++]);
      below = 256;
    } else {
      break;
    }
    if (b < kEscape) {
      if (++produced > kMaxBlockOutput || out.size() >= kMaxBlockCodedOutput) {
        throw ECompressionError("Compressed block expands too far");
      }
      out.push_back(static_cast<char>(escaped ? b + kEscape : b));
      escaped = false;
    } else if (b == kEscape) {
      escaped = true;
    } else {
      const int entry = b - kFirstPairCode;
      if (b >= below || entry >= codes || top + 2 > stack.size()) {
        throw ECompressionError("Bad pair code in compressed block: " + std::to_string(b));
      }
      // The table keeps the second byte of a pair first; the first byte must
      // come off the stack next.
      stack[top++] = {static_cast<unsigned char>(table[2 * entry]), b};
      stack[top++] = {static_cast<unsigned char>(table[2 * entry + 1]), b};
    }
  }
}

std::string BlockDecode(std::string_view body) {
  std::string out;
  std::size_t pos = 0;
  while (body.size() - pos >= 4) {
    const std::uint32_t raw =
        static_cast<std::uint32_t>(static_cast<unsigned char>(body[pos])) |
        static_cast<std::uint32_t>(static_cast<unsigned char>(body[pos + 1])) << 8 |
        static_cast<std::uint32_t>(static_cast<unsigned char>(body[pos + 2])) << 16 |
        static_cast<std::uint32_t>(static_cast<unsigned char>(body[pos + 3])) << 24;
    const std::int32_t length = static_cast<std::int32_t>(raw);
    pos += 4;
    if (length < 0 || length > kMaxBlockLength) {
      throw ECompressionError("Read blocksize too big. BlockSize=" + std::to_string(length));
    }
    // A last block cut short is read as far as it goes.
    const std::size_t take =
        std::min<std::size_t>(static_cast<std::size_t>(length), body.size() - pos);
    DecodeBlock(body.substr(pos, take), out);
    pos += take;
  }
  return out;
}

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The 6-bit value of each alphabet character, -1 for every other byte.
constexpr std::array<signed char, 256> MakeBase64Values() {
  std::array<signed char, 256> values{};
  for (auto& v : values) v = -1;
  for (int i = 0; i < 64; ++i)
    values[static_cast<unsigned char>(kBase64Alphabet[i])] = static_cast<signed char>(i);
  return values;
}
constexpr std::array<signed char, 256> kBase64Values = MakeBase64Values();

}  // namespace

void CompressString(std::string& text) {
  if (text.empty()) return;
  // The ".." marker lets the reader tell a real text from its marker, and
  // makes every container long enough to carry a method byte and a body.
  if (text.size() < 3 || text.starts_with("..")) text.insert(0, "..");
  std::string container;
  if (text.size() < kStoreBelow) {
    container.reserve(text.size() + 1);
    container.push_back(kMethodStored);
    container.append(text);
  } else {
    container.push_back(kMethodSplay);
    container.append(SplayEncode(text));
  }
  text = std::move(container);
}

void ExpandString(std::string& text) {
  // Short stored containers (texts of up to six bytes with their marker) are
  // read too, so that every value CompressString makes comes back.
  if (text.size() < 8 && (text.empty() || text[0] != kMethodStored)) return;
  const std::string_view body = std::string_view(text).substr(1);
  std::string out;
  switch (text[0]) {
    case kMethodSplay:
      out = SplayDecode(body);
      break;
    case kMethodBlocks:
      out = BlockDecode(body);
      break;
    default:
      out.assign(body);
      break;
  }
  if (out.size() > 2 && out.starts_with("..")) out.erase(0, 2);
  text = std::move(out);
}

void CompressText(std::string& text) {
  if (text.empty()) return;
  CompressString(text);
  text = Base64Encode(text);
}

void ExpandText(std::string& text) {
  if (text.empty()) return;
  std::string bytes = Base64Decode(text);
  ExpandString(bytes);
  text = std::move(bytes);
}

std::string CompressBytesToText(const void* memory, std::size_t count) {
  if (count == 0) return {};
  std::string text(static_cast<const char*>(memory), count);
  CompressText(text);
  return text;
}

std::string CompressBufferToText(const void* memory, std::size_t count) {
  return CompressBytesToText(memory, count);
}

std::string ExpandTextCopy(const std::string& text) {
  std::string copy = text;
  ExpandText(copy);
  return copy;
}

std::string Base64Encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  const auto byte = [&bytes](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t group = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
    out.push_back(kBase64Alphabet[group >> 18 & 63]);
    out.push_back(kBase64Alphabet[group >> 12 & 63]);
    out.push_back(kBase64Alphabet[group >> 6 & 63]);
    out.push_back(kBase64Alphabet[group & 63]);
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t group = byte(i) << 16;
    if (rest == 2) group |= byte(i + 1) << 8;
    out.push_back(kBase64Alphabet[group >> 18 & 63]);
    out.push_back(kBase64Alphabet[group >> 12 & 63]);
    out.push_back(rest == 2 ? kBase64Alphabet[group >> 6 & 63] : '=');
    out.push_back('=');
  }
  return out;
}

std::string Base64Decode(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i + 4 <= text.size(); i += 4) {
    // Characters outside the alphabet (the padding among them) are passed
    // over; the counted ones are read in their order.
    std::uint32_t group = 0;
    int counted = 0;
    for (std::size_t k = i; k < i + 4; ++k) {
      const int value = kBase64Values[static_cast<unsigned char>(text[k])];
      if (value < 0) continue;
      group = group << 6 | static_cast<std::uint32_t>(value);
      ++counted;
    }
    if (counted < 2) continue;
    group <<= 6 * (4 - counted);
    for (int b = 0; b < counted - 1; ++b)
      out.push_back(static_cast<char>(group >> (16 - 8 * b) & 0xFF));
  }
  return out;
}

}  // namespace halvorn
