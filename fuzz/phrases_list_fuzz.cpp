// Reads the phrase lists out of arbitrary settings text. It must never crash,
// and whatever loads must save, load again and save to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "foundation/files/quor_ini_file.h"
#include "foundation/time/clock.h"
#include "lists/phrases_list.h"

namespace {

std::string LoadAndSave(std::string_view text) {
  halvorn::TQuorIniFile in("");
  in.LoadFromStream(text);
  halvorn::TPhrasesList set;
  set.LoadFromIni(in, "Global");
  halvorn::TQuorIniFile out("");
  set.SaveToIni(out, "Global");
  return out.SaveToStream();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Entries never stamped are written with the time of saving.
  static const bool clockSet = [] {
    halvorn::SetClockForTests(halvorn::EncodeDateTime(2024, 3, 15, 10, 0, 0));
    return true;
  }();
  (void)clockSet;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string saved = LoadAndSave(input);
  if (LoadAndSave(saved) != saved) std::abort();
  return 0;
}
