// Reads the test list out of arbitrary settings text, with the scripted test
// class bound besides the classes of the table (those not built yet load as
// placeholders). It must never crash, and whatever loads must save, load again
// and save to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "classify/test_list.h"
#include "foundation/files/quor_ini_file.h"
#include "support/scripted_test.h"

namespace {

std::string LoadAndSave(std::string_view text) {
  halvorn::TQuorIniFile in("");
  in.LoadFromStream(text);
  halvorn::TTestList list;
  list.LoadFromIni(in, "Global");
  halvorn::TQuorIniFile out("");
  list.SaveToIni(out, "Global");
  return out.SaveToStream();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const halvorn::test::TScriptedTestBinding scripted;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string saved = LoadAndSave(input);
  if (LoadAndSave(saved) != saved) std::abort();
  return 0;
}
