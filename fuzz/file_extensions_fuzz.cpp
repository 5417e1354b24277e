// Loads any bytes as a file-extension table file. Properties: the table is
// in strictly ascending order of extension (no extension twice); each entry
// is found where it stands; what loads, saved and loaded again, saves the
// same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "foundation/text/code_page_1252.h"
#include "lists/file_extensions.h"

namespace {

using namespace halvorn;

void Check(bool condition) {
  if (!condition) std::abort();
}

std::string Saved(TFileExtensionList& table) {
  std::string bytes;
  table.SaveToStream(bytes);
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;  // an empty text loads the built-in table
  TFileExtensionList table;
  table.SetText(std::string(reinterpret_cast<const char*>(data), size));
  table.LoadBuiltIn();
  for (int i = 0; i < table.Count(); ++i) {
    const auto entry = table.Items(i);
    Check(!entry->Extension.empty());
    if (i > 0) Check(CompareText1252(table.Items(i - 1)->Extension, entry->Extension) < 0);
    int index = -1;
    Check(table.Find(entry->Extension, index) && index == i);
  }
  const std::string first = Saved(table);
  if (first.empty()) return 0;
  TFileExtensionList again;
  again.SetText(first);
  again.LoadBuiltIn();
  Check(Saved(again) == first);
  return 0;
}
