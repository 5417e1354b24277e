#include "foundation/files/atomic_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "foundation/files/durability_batch.h"

namespace halvorn {

namespace {

// A batch of one file, committed at once: the content is flushed before the
// rename and the folder after it (durability_batch.h).
std::string WriteAlone(const std::string& path, const std::string& bytes, mode_t mode,
                       bool replace, const std::function<std::string()>& drawPath,
                       std::string& placedPath) {
  placedPath.clear();
  TDurabilityBatch batch;
  std::string error;
  TStagedFileRef staged = batch.StageWrite(path, bytes, mode, replace, drawPath, error);
  if (!staged) return error;
  error = batch.Commit();
  if (staged->State != TStagedFile::Placed)
    return error.empty() ? "Cannot write " + path + ": not placed" : error;
  placedPath = staged->PlacedPath;
  return error;
}

}  // namespace

std::string WriteFileAtomically(const std::string& path, const std::string& bytes, mode_t mode) {
  std::string placed;
  return WriteAlone(path, bytes, mode, true, nullptr, placed);
}

std::string WriteNewFileAtomically(const std::string& path, const std::string& bytes,
                                   const std::function<std::string()>& drawPath,
                                   std::string& writtenPath, mode_t mode) {
  return WriteAlone(path, bytes, mode, false, drawPath, writtenPath);
}

int RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  const int error = errno;
  if (error != EINVAL && error != ENOSYS && error != ENOTSUP) return error;
  // The file system does not take the flag: look first, then rename.
  struct stat st {};
  if (::lstat(to.c_str(), &st) == 0) return EEXIST;
  if (errno != ENOENT) return errno;
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

std::string ReadFileBytes(const std::string& path, std::size_t maxBytes, std::string& bytes,
                          const std::string& kind) {
  bytes.clear();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "Cannot open " + path + ": " + std::strerror(errno);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::uintmax_t>(st.st_size) > maxBytes) {
    ::close(fd);
    return "Cannot read " + path + ": not a " + kind;
  }
  bytes.reserve(static_cast<std::size_t>(st.st_size));
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int error = errno;
      ::close(fd);
      bytes.clear();
      return "Cannot read " + path + ": " + std::strerror(error);
    }
    if (n == 0) break;
    // The file may grow while it is read.
    if (bytes.size() + static_cast<std::size_t>(n) > maxBytes) {
      ::close(fd);
      bytes.clear();
      return "Cannot read " + path + ": not a " + kind;
    }
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return {};
}

}  // namespace halvorn
