// Feeds arbitrary bytes to the settings-file reader, as a plain file and as
// the body of an enciphered one. It must never crash; what it read must be
// written in a form that reads back to the same form; and a value written
// with a name taken from the input must read back as stored.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "foundation/files/quor_ini_file.h"

namespace {

void CheckStable(halvorn::TQuorIniFile& ini) {
  std::string saved = ini.SaveToStream();
  // A plain text whose first 21 bytes hold the enciphered form's marker reads
  // as enciphered; such a text ("[]" CR LF "Encrypted File v...") is not a
  // settings file anyone writes.
  if (!ini.Encrypted() && saved.substr(0, 21).find("Encrypted File v") != std::string::npos) return;
  halvorn::TQuorIniFile again("");
  again.LoadFromStream(saved);
  if (again.Encrypted() != ini.Encrypted() || again.SaveToStream() != saved) std::abort();
}

std::string Flattened(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c == '\r' || c == '\n' || c == '\0') c = ' ';
  return out;
}

bool AllBlank(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) <= ' '; });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using halvorn::TQuorIniFile;
  std::string_view input(reinterpret_cast<const char*>(data), size);

  TQuorIniFile plain("");
  plain.LoadFromStream(input);
  CheckStable(plain);

  TQuorIniFile enciphered("");
  enciphered.LoadFromStream(std::string(halvorn::kEncryptedIniHeader) + std::string(input));
  if (!enciphered.Encrypted()) std::abort();
  CheckStable(enciphered);

  // Names and a value taken from the input.
  std::string section(input.substr(0, std::min<std::size_t>(size, 12)));
  std::string ident(input.substr(std::min<std::size_t>(size, 12), 8));
  std::string value(input.substr(std::min<std::size_t>(size, 20)));
  std::string text;
  plain.TryReadString(section, ident, text);
  plain.ReadInteger(section, ident, 0);
  plain.ReadTrite(section, ident, 2);
  bool flag = false;
  plain.TryReadBool(section, ident, flag);

  plain.WriteString(section, ident, value);
  TQuorIniFile back("");
  back.LoadFromStream(plain.SaveToStream());
  std::string flatIdent = Flattened(ident);
  auto first = std::find_if(flatIdent.begin(), flatIdent.end(),
                            [](char c) { return static_cast<unsigned char>(c) > ' '; });
  bool storable =
      (first == flatIdent.end() || *first != '[') && flatIdent.find('=') == std::string::npos;
  if (storable && !AllBlank(Flattened(value)) && back.Encrypted() == plain.Encrypted()) {
    std::string read;
    if (!back.TryReadString(section, ident, read) || read != Flattened(value)) std::abort();
  }
  CheckStable(back);
  return 0;
}
