#include "lists/default_phrases.h"

#include "foundation/files/atomic_file.h"
#include "foundation/files/file_stamp.h"
#include "foundation/files/install_folders.h"

namespace halvorn {

std::string InstallDefaultPhrasesFile() {
  const std::string path = GetDefaultPhrasesFilePath();
  if (GetFileStamp(path).Exists) return {};
  return WriteFileAtomically(path, std::string(ShippedDefaultPhrases()));
}

}  // namespace halvorn
