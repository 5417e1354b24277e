// Feeds arbitrary bytes to the registry file parser: it must never crash,
// its text must read back to the same text, and every value it holds must
// read without fault.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/registry_store.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using halvorn::platform::RegistryStore;
  using halvorn::platform::RegValue;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  RegistryStore store = RegistryStore::Parse(input);
  std::string text = store.Text();
  if (RegistryStore::Parse(text).Text() != text) std::abort();

  // Ask for a key and value named by the first bytes, then write one.
  std::string_view key = input.substr(0, std::min<std::size_t>(size, 24));
  std::string_view name = input.substr(std::min<std::size_t>(size, 24), 8);
  store.KeyExists(key);
  store.Read(key, name);
  if (store.Write(key, name, RegValue::Text(std::string(input)))) {
    auto back = RegistryStore::Parse(store.Text()).Read(key, name);
    if (!back || back->Bytes != input) std::abort();
  }
  return 0;
}
