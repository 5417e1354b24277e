// Feeds arbitrary bytes to the expanders and the base64 reader: they must not
// crash, must keep their output bounded, and what the writers make must come
// back unchanged.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "foundation/text/text_compression.h"
#include "foundation/text/trite_array.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace halvorn;
  const std::string input(reinterpret_cast<const char*>(data), size);

  // A splay body yields at most eight bytes per byte; a block body is capped.
  const std::size_t bound = std::max(8 * size, kMaxBlockCodedOutput);
  try {
    std::string text = input;
    ExpandString(text);
    Check(text.size() <= bound);
  } catch (const ECompressionError&) {
  }
  try {
    Check(ExpandTextCopy(input).size() <= bound);
  } catch (const ECompressionError&) {
  }
  try {
    Check(TriteArrayFromText(input).size() <= kTriteMaxIndex + 1);
  } catch (const ECompressionError&) {
  }

  const std::string decoded = Base64Decode(input);
  Check(decoded.size() <= size / 4 * 3);
  Check(Base64Decode(Base64Encode(input)) == input);

  std::string packed = input;
  CompressString(packed);
  ExpandString(packed);
  Check(packed == input);
  Check(ExpandTextCopy(CompressBytesToText(input.data(), input.size())) == input);
  return 0;
}
