#include "lists/default_phrases.h"

#include <cstddef>

#include "foundation/files/atomic_file.h"
#include "foundation/files/file_stamp.h"
#include "foundation/files/install_folders.h"

namespace halvorn {

namespace detail {
extern const unsigned char kShippedDefaultPhrases[];
extern const std::size_t kShippedDefaultPhrasesSize;
}  // namespace detail

std::string_view ShippedDefaultPhrases() {
  return {reinterpret_cast<const char*>(detail::kShippedDefaultPhrases),
          detail::kShippedDefaultPhrasesSize};
}

std::string InstallDefaultPhrasesFile() {
  const std::string path = GetDefaultPhrasesFilePath();
  if (GetFileStamp(path).Exists) return {};
  return WriteFileAtomically(path, std::string(ShippedDefaultPhrases()));
}

}  // namespace halvorn
