#include "foundation/files/unique_paths.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "foundation/files/durability_batch.h"
#include "foundation/files/install_folders.h"
#include "foundation/text/random_texts.h"
#include "foundation/text/text_helpers.h"

namespace halvorn {

namespace {

// Suffixes drawn before giving up. With 62^5 suffixes a collision is rare;
// the bound only matters when every look at the disk fails (a folder that
// cannot be searched), and then the caller's own file operation fails too.
constexpr int kMaxSuffixDraws = 1000;

std::string KeepFileNameChars(std::string_view text, bool spacesToUnderscores) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u == ' ' && spacesToUnderscores) {
      out += '_';
    } else if (IsFileNameChar(u)) {
      out += c;
    }
  }
  return out;
}

// A name the file system would read as no file of our own: the folder itself
// or its parent.
bool NamesNoFile(std::string_view fileName) {
  return fileName.empty() || fileName == "." || fileName == "..";
}

bool IsFolder(const std::string& path) {
  std::error_code error;
  return std::filesystem::is_directory(path, error);
}

// True unless the path is known to be free. A dangling link counts as taken,
// so that nobody writes through it; a path that cannot be looked at counts as
// taken too, and so does a name a durability batch has staged a file for.
bool IsTaken(const std::string& path) {
  if (IsReservedPath(path)) return true;
  std::error_code error;
  const auto status = std::filesystem::symlink_status(path, error);
  if (status.type() == std::filesystem::file_type::not_found) return false;
  return true;
}

std::string RandomSuffix() {
  return "(" + RandomPrintable(static_cast<int>(kUniqueSuffixBytes) - 2) + ")";
}

}  // namespace

void CleanUniquePathParts(std::string_view name, std::string_view extension, bool keepSpaces,
                          std::string& cleanName, std::string& cleanExtension) {
  cleanExtension = KeepFileNameChars(extension, false);
  if (cleanExtension.size() > kMaxUniqueExtensionBytes) {
    cleanExtension.resize(kMaxUniqueExtensionBytes);
  }
  cleanName = KeepFileNameChars(name, !keepSpaces);
  // Room for the suffix is kept even when none is added, so a name is cut
  // the same way whichever branch GetUniquePath takes.
  const std::size_t room = kMaxFileNameBytes - kUniqueSuffixBytes - cleanExtension.size();
  if (cleanName.size() > room) cleanName.resize(room);
}

void GetUniquePath(const std::string& folder, const std::string& name, const std::string& extension,
                   std::string& path, bool keepSpaces) {
  std::string cleanName;
  std::string cleanExtension;
  CleanUniquePathParts(name, extension, keepSpaces, cleanName, cleanExtension);

  const std::string dir = AddTrailingBackslash(folder.empty() ? GetTempDir() : folder);

  if (!IsFolder(dir)) {
    // A folder that cannot be made still yields the path; the caller's file
    // operation reports the failure.
    CreateFolderTree(dir);
    const std::string plain = cleanName + cleanExtension;
    if (!NamesNoFile(plain)) {
      path = dir + plain;
      return;
    }
  }

  for (int draw = 1;; ++draw) {
    path = dir + cleanName + RandomSuffix() + cleanExtension;
    if (!IsTaken(path) || draw >= kMaxSuffixDraws) return;
  }
}

int MoveAsideNoReplace(const std::string& path, const std::string& suffix, std::string& target) {
  target = path + suffix;
  int error = RenameFileInBatch(path, target, false);
  for (int attempt = 0; error == EEXIST && attempt < 10; ++attempt) {
    const std::filesystem::path whole(path);
    GetUniquePath(whole.parent_path().string(), whole.filename().string() + suffix, "", target,
                  true);
    error = RenameFileInBatch(path, target, false);
  }
  return error;
}

}  // namespace halvorn
