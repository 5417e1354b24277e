// Reads arbitrary bytes as the outside file of a phrase list (the first byte
// picks the list type). It must never crash, and whatever loads must save,
// load again and save to the same bytes.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "foundation/files/atomic_file.h"
#include "foundation/files/install_folders.h"
#include "foundation/time/clock.h"
#include "lists/phrases.h"

namespace {

std::string ReadAndSave(const std::string& path, std::uint8_t type, const std::string& out) {
  halvorn::TPhrases list;
  list.SetListType(type);
  list.SetFilePath(path);
  if (!list.SaveToFile(out).empty()) std::abort();
  std::string bytes;
  if (!halvorn::ReadFileBytes(out, SIZE_MAX, bytes).empty()) std::abort();
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string folder = [] {
    halvorn::SetClockForTests(halvorn::EncodeDateTime(2024, 3, 15, 10, 0, 0));
    return halvorn::GetTempDir() + "phrases_file_fuzz." + std::to_string(::getpid());
  }();
  if (size == 0) return 0;
  halvorn::CreateFolderTree(folder);
  const std::string input = folder + "/input.txt";
  const std::string first = folder + "/first.txt";
  const std::string second = folder + "/second.txt";
  if (!halvorn::WriteFileAtomically(input, std::string(reinterpret_cast<const char*>(data) + 1,
                                                       size - 1))
           .empty())
    std::abort();
  const auto type = static_cast<std::uint8_t>(data[0] % 3);
  const std::string saved = ReadAndSave(input, type, first);
  if (ReadAndSave(first, type, second) != saved) std::abort();
  return 0;
}
