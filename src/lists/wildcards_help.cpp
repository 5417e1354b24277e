#include "lists/wildcards_help.h"

#include "foundation/files/atomic_file.h"
#include "foundation/files/install_folders.h"

namespace halvorn {

std::string WildcardsHelpPagePath() {
  return GetInstallDir() + "/Help/PhraseWildcards.html";
}

std::string InstallWildcardsHelpPage() {
  const std::string folder = GetInstallDir() + "/Help";
  const std::string path = WildcardsHelpPagePath();
  const std::string_view page = ShippedWildcardsHelpPage();
  std::string present;
  if (ReadFileBytes(path, page.size() + 1, present).empty() && present == page) return {};
  if (!CreateFolderTree(folder)) return "Cannot create the folder " + folder;
  return WriteFileAtomically(path, std::string(page));
}

}  // namespace halvorn
