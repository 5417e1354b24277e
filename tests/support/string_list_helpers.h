// Building string lists in tests.
#pragma once

#include <string>
#include <vector>

#include "foundation/text/string_list.h"

namespace halvorn::test {

using Lines = std::vector<std::string>;

// A list holding the lines in order, without objects.
inline TStringList ListOf(const Lines& lines) {
  TStringList list;
  for (const auto& line : lines) list.Add(line);
  return list;
}

}  // namespace halvorn::test
