// Feeds any bytes as the name and extension of a unique path (they come from
// subjects and attachment names) and checks that the file name handed out
// stays inside its folder: never empty, "." or "..", no "/" or byte outside
// the file-name characters, at most 255 bytes. Both the branch for an
// existing folder and the one that creates the folder run on every input.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "foundation/files/install_folders.h"
#include "foundation/files/unique_paths.h"
#include "foundation/text/text_helpers.h"

namespace {

// One fixed folder, reused by every run: GetUniquePath makes no files, and
// libFuzzer ends without running exit handlers that could remove it.
const std::string& ScratchFolder() {
  static const std::string folder = [] {
    std::string path = "/tmp/halvorn_unique_paths_fuzz";
    if (!halvorn::CreateFolderTree(path)) std::abort();
    return path;
  }();
  return folder;
}

void CheckFileName(const std::string& folder, const std::string& path) {
  if (path.compare(0, folder.size() + 1, folder + "/") != 0) std::abort();
  const std::string fileName = path.substr(folder.size() + 1);
  if (fileName.empty() || fileName == "." || fileName == "..") std::abort();
  if (fileName.size() > halvorn::kMaxFileNameBytes) std::abort();
  for (unsigned char c : fileName) {
    if (!halvorn::IsFileNameChar(c)) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // First byte: keep spaces (bit 0) and where the extension starts.
  const bool keepSpaces = (data[0] & 1) != 0;
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::size_t split = rest.empty() ? 0 : (data[0] >> 1) % (rest.size() + 1);
  const std::string name(rest.substr(split));
  const std::string extension(rest.substr(0, split));

  const std::string& existing = ScratchFolder();
  std::string path;
  halvorn::GetUniquePath(existing, name, extension, path, keepSpaces);
  CheckFileName(existing, path);

  const std::string fresh = existing + "/new";
  ::rmdir(fresh.c_str());
  halvorn::GetUniquePath(fresh, name, extension, path, keepSpaces);
  CheckFileName(fresh, path);
  ::rmdir(fresh.c_str());
  return 0;
}
