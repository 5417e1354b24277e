#include "foundation/files/file_helpers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <vector>

#include "foundation/text/code_page_1252.h"
#include "platform/mime_database.h"

namespace halvorn {

namespace fs = std::filesystem;

namespace {

std::string WithTrailingSlash(const std::string& folder) {
  if (!folder.empty() && folder.back() == '/') return folder;
  return folder + "/";
}

// The entries of a folder in name order; empty when it cannot be read.
std::vector<fs::directory_entry> SortedEntries(const std::string& folder) {
  std::vector<fs::directory_entry> entries;
  std::error_code error;
  fs::directory_iterator it(folder, error);
  if (error) return entries;
  for (; it != fs::directory_iterator(); it.increment(error)) {
    if (error) break;
    entries.push_back(*it);
  }
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return a.path().filename() < b.path().filename(); });
  return entries;
}

// A plain file, possibly reached through a symbolic link; never a folder.
bool IsPlainFile(const fs::directory_entry& entry) {
  std::error_code error;
  return entry.is_regular_file(error);
}

// A real folder: symbolic links to folders do not count.
bool IsRealFolder(const fs::directory_entry& entry) {
  std::error_code error;
  if (entry.is_symlink(error)) return false;
  return entry.is_directory(error);
}

// Creation time in seconds since 1970 (UTC): the birth time where the file
// system records one, else the modification time. False when the file cannot
// be examined.
bool FileCreationSeconds(const std::string& path, double& seconds) {
  struct statx info;
  std::memset(&info, 0, sizeof(info));
  if (statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME | STATX_MTIME, &info) != 0) return false;
  if (info.stx_mask & STATX_BTIME) {
    seconds = static_cast<double>(info.stx_btime.tv_sec) + info.stx_btime.tv_nsec / 1e9;
  } else {
    seconds = static_cast<double>(info.stx_mtime.tv_sec) + info.stx_mtime.tv_nsec / 1e9;
  }
  return true;
}

// The later of the file's last access and last modification, in seconds
// since 1970; false when it cannot be looked at.
bool FileLastUseSeconds(const std::string& path, double& seconds) {
  struct statx info;
  std::memset(&info, 0, sizeof(info));
  if (statx(AT_FDCWD, path.c_str(), 0, STATX_ATIME | STATX_MTIME, &info) != 0) return false;
  const double modified =
      static_cast<double>(info.stx_mtime.tv_sec) + info.stx_mtime.tv_nsec / 1e9;
  const double accessed =
      (info.stx_mask & STATX_ATIME)
          ? static_cast<double>(info.stx_atime.tv_sec) + info.stx_atime.tv_nsec / 1e9
          : modified;
  seconds = std::max(modified, accessed);
  return true;
}

// A date-time as seconds since 1970, taken as UTC as it stands (no zone
// conversion). False for a value that is no date-time or lies before 1601,
// where file times begin.
bool DateTimeAsFileSeconds(TDateTime date, double& seconds) {
  TDateTimeFields fields;
  if (!TryDecodeDateTime(date, fields) || fields.Year < 1601) return false;
  seconds = static_cast<double>(DateTimeToUnix(date));
  return true;
}

bool RealDeleteFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0;
}

std::mutex& DeleteSeamMutex() {
  static std::mutex mutex;
  return mutex;
}

std::function<bool(const std::string&)>& DeleteSeam() {
  static std::function<bool(const std::string&)> seam;
  return seam;
}

bool DeleteOneFile(const std::string& path) {
  std::function<bool(const std::string&)> seam;
  {
    std::lock_guard<std::mutex> lock(DeleteSeamMutex());
    seam = DeleteSeam();
  }
  return seam ? seam(path) : RealDeleteFile(path);
}

}  // namespace

bool FileExists(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool MatchesFileMask(std::string_view name, std::string_view mask) {
  if (mask == "*.*") return true;
  // Greedy matching with one back-tracking point: linear in practice and
  // never exponential, whatever the mask.
  std::size_t n = 0;
  std::size_t m = 0;
  std::size_t starMask = std::string_view::npos;
  std::size_t starName = 0;
  while (n < name.size()) {
    if (m < mask.size() && mask[m] == '*') {
      starMask = m++;
      starName = n;
    } else if (m < mask.size() &&
               (mask[m] == '?' || LowerChar1252(static_cast<unsigned char>(mask[m])) ==
                                      LowerChar1252(static_cast<unsigned char>(name[n])))) {
      ++n;
      ++m;
    } else if (starMask != std::string_view::npos) {
      m = starMask + 1;
      n = ++starName;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

void ListSubfolders(const std::string& folder, bool recursive, TStringList& list) {
  // An explicit stack instead of recursion: deep trees cannot exhaust the
  // thread's stack.
  std::vector<std::string> pending{WithTrailingSlash(folder)};
  while (!pending.empty()) {
    std::string current = std::move(pending.back());
    pending.pop_back();
    std::vector<std::string> found;
    for (const auto& entry : SortedEntries(current)) {
      if (IsRealFolder(entry)) found.push_back(current + entry.path().filename().string() + "/");
    }
    if (!recursive) {
      for (auto& path : found) list.Add(std::move(path));
      continue;
    }
    // Depth first, in name order: each folder is listed just before its own
    // subfolders. Listing happens as folders are taken from the stack.
    for (auto it = found.rbegin(); it != found.rend(); ++it) pending.push_back(*it);
    if (current != WithTrailingSlash(folder)) list.Add(current);
  }
}

void ListFilesInDir(const std::string& folder, const std::string& mask, bool withSubfolders,
                    int maxCount, TStringList& list) {
  std::error_code error;
  if (folder.size() <= 1 || !fs::is_directory(folder, error)) return;
  const std::string base = WithTrailingSlash(folder);
  auto listFolder = [&](const std::string& path) {
    for (const auto& entry : SortedEntries(path)) {
      if (list.Count() >= maxCount) return;
      const std::string name = entry.path().filename().string();
      if (IsPlainFile(entry) && MatchesFileMask(name, mask)) list.Add(path + name);
    }
  };
  listFolder(base);
  if (list.Count() >= maxCount || !withSubfolders) return;
  TStringList subfolders;
  ListSubfolders(base, true, subfolders);
  for (int i = 0; i < subfolders.Count() && list.Count() < maxCount; ++i) listFolder(subfolders[i]);
}

int DeleteFilesOlderThan(const std::string& folder, const std::string& mask, TDateTime date) {
  return DeleteFilesOlderThan(folder, mask, date, TFileAge::Created);
}

int DeleteFilesOlderThan(const std::string& folder, const std::string& mask, TDateTime date,
                         TFileAge age) {
  std::error_code error;
  double cutOff = 0;
  if (!fs::is_directory(folder, error) || !DateTimeAsFileSeconds(date, cutOff)) return -1;
  const std::string base = WithTrailingSlash(folder);
  int deleted = 0;
  for (const auto& entry : SortedEntries(base)) {
    const std::string name = entry.path().filename().string();
    if (!IsPlainFile(entry) || !MatchesFileMask(name, mask)) continue;
    double stamp = 0;
    const bool known = age == TFileAge::LastUse ? FileLastUseSeconds(base + name, stamp)
                                                : FileCreationSeconds(base + name, stamp);
    if (!known || stamp >= cutOff) continue;
    if (DeleteOneFile(base + name)) ++deleted;
  }
  return deleted;
}

std::int64_t FileSizeOf(const std::string& path) {
  std::error_code error;
  const auto slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.find_first_of("*?") == std::string::npos) {
    if (!fs::is_regular_file(path, error)) return -1;
    auto size = fs::file_size(path, error);
    return error ? -1 : static_cast<std::int64_t>(size);
  }
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  for (const auto& entry : SortedEntries(folder)) {
    if (!IsPlainFile(entry) || !MatchesFileMask(entry.path().filename().string(), name)) continue;
    auto size = entry.file_size(error);
    return error ? -1 : static_cast<std::int64_t>(size);
  }
  return -1;
}

bool AppendTextToFile(std::string_view text, const std::string& path, bool onlyExisting) {
  if (text.empty()) return false;
  int flags = O_WRONLY | O_APPEND | O_CLOEXEC;
  if (!onlyExisting) flags |= O_CREAT;
  int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0) return false;
  std::size_t written = 0;
  while (written < text.size()) {
    ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  const bool closed = ::close(fd) == 0;
  return written == text.size() && closed;
}

bool IsPlainFileName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

std::string GetFileExtension(std::string_view fileName) {
  std::size_t end = fileName.size();
  while (end > 0 && fileName[end - 1] == '.') --end;
  std::string_view name = fileName.substr(0, end);
  auto dot = name.find_last_of("./\\:");
  if (dot == std::string_view::npos || name[dot] != '.') return {};
  return std::string(name.substr(dot));
}

bool ContentTypeForExtension(std::string_view extension, std::string& type) {
  std::string dotted(extension);
  if (dotted.empty() || dotted.front() != '.') dotted.insert(0, ".");
  if (platform::MimeTypeForExtension(dotted, type)) return true;
  type = "application/octet-stream";
  return false;
}

bool ContentTypeForFileName(std::string_view fileName, std::string& type) {
  return ContentTypeForExtension(GetFileExtension(fileName), type);
}

bool ExtensionForContentType(std::string_view type, std::string& extension) {
  if (platform::ExtensionForMimeType(type, extension)) return true;
  extension = ".txt";
  return false;
}

std::string ProgramForExtension(std::string_view /*extension*/) {
  return {};
}

namespace detail {
void SetDeleteFileForTests(std::function<bool(const std::string&)> deleteFile) {
  std::lock_guard<std::mutex> lock(DeleteSeamMutex());
  DeleteSeam() = std::move(deleteFile);
}
}  // namespace detail

}  // namespace halvorn
