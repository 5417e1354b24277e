// Reads any bytes as a comma text and checks that the list it gives survives
// being written and read back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "foundation/text/string_list.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  halvorn::TStringList first;
  first.SetCommaText(input);
  const std::string comma = first.CommaText();
  halvorn::TStringList second;
  second.SetCommaText(comma);
  if (!(second == first) || second.CommaText() != comma) std::abort();
  return 0;
}
