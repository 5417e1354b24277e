#include "foundation/files/atomic_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <utility>

namespace halvorn {

namespace {

// A pending injected failure: step in the high bits, errno in the low 16.
std::atomic<int> gInjectedFailure{0};

// Takes the injected failure for this write, if any.
std::pair<AtomicWriteStep, int> TakeInjectedFailure() {
  int packed = gInjectedFailure.exchange(0);
  return {static_cast<AtomicWriteStep>(packed >> 16), packed & 0xFFFF};
}

std::string ErrorText(const std::string& what, const std::string& path, int error) {
  return what + " " + path + ": " + std::strerror(error);
}

// Splits a path into its folder ("." when none) and its last name.
void SplitPath(const std::string& path, std::string& folder, std::string& name) {
  std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) {
    folder = ".";
    name = path;
  } else {
    folder = slash == 0 ? "/" : path.substr(0, slash);
    name = path.substr(slash + 1);
  }
}

bool WriteAll(int fd, const std::string& bytes, int& error) {
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::write(fd, data, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      return false;
    }
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

void FailNextAtomicWriteForTests(AtomicWriteStep step, int error) {
  gInjectedFailure.store((static_cast<int>(step) << 16) | (error & 0xFFFF));
}

namespace {

std::mutex gRenameHookMutex;
std::function<void(const std::string&)> gBeforeNoReplaceRename;

void CallRenameHook(const std::string& target) {
  std::function<void(const std::string&)> hook;
  {
    std::lock_guard<std::mutex> lock(gRenameHookMutex);
    hook = gBeforeNoReplaceRename;
  }
  if (hook) hook(target);
}

void FlushFolder(const std::string& folder) {
  // The rename is only durable once the folder's entry is on the disk. The
  // new content is in place whatever happens here, so a failure to open or
  // flush the folder is not reported as a failed write.
  int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
}

// Writes the bytes to a flushed temporary file beside `path` and hands it to
// `place`, which renames it into place and answers 0 or an errno together
// with the path it took. The temporary file is removed on every failure.
std::string WriteThroughTemporary(
    const std::string& path, const std::string& bytes, mode_t mode,
    const std::function<int(const std::string& tempPath, std::string& placed)>& place,
    std::string& placedPath) {
  placedPath.clear();
  const std::pair<AtomicWriteStep, int> failure = TakeInjectedFailure();
  const AtomicWriteStep failStep = failure.first;
  const int failError = failure.second;
  auto injected = [&](AtomicWriteStep step) { return failStep == step; };

  std::string folder;
  std::string name;
  SplitPath(path, folder, name);
  if (name.empty()) return "Cannot write " + path + ": not a file name";

  // Hidden, in the same folder (so the rename stays on one file system), and
  // short enough to be a valid name whatever the target's length.
  std::string tempPath = folder + "/." + name.substr(0, 200) + ".XXXXXX";
  int fd = injected(AtomicWriteStep::Create) ? (errno = failError, -1)
                                             : ::mkostemp(tempPath.data(), O_CLOEXEC);
  if (fd < 0) return ErrorText("Cannot create a temporary file beside", path, errno);

  auto fail = [&](const std::string& what, int error) {
    ::close(fd);
    ::unlink(tempPath.c_str());
    return ErrorText(what, path, error);
  };

  int error = 0;
  if (::fchmod(fd, mode) != 0) return fail("Cannot set the mode of the new", errno);
  if (injected(AtomicWriteStep::Write)) return fail("Cannot write", failError);
  if (!WriteAll(fd, bytes, error)) return fail("Cannot write", error);
  if (injected(AtomicWriteStep::Sync)) return fail("Cannot flush", failError);
  if (::fsync(fd) != 0) return fail("Cannot flush", errno);
  if (::close(fd) != 0) {
    error = errno;
    ::unlink(tempPath.c_str());
    return ErrorText("Cannot close", path, error);
  }
  std::string placed;
  error = injected(AtomicWriteStep::Rename) ? failError : place(tempPath, placed);
  if (error != 0) {
    ::unlink(tempPath.c_str());
    return ErrorText(error == EEXIST ? "Cannot write a new file at" : "Cannot replace",
                     placed.empty() ? path : placed, error);
  }
  FlushFolder(folder);
  placedPath = placed;
  return {};
}

}  // namespace

std::string WriteFileAtomically(const std::string& path, const std::string& bytes, mode_t mode) {
  std::string placed;
  return WriteThroughTemporary(
      path, bytes, mode,
      [&path](const std::string& tempPath, std::string& target) {
        target = path;
        return ::rename(tempPath.c_str(), path.c_str()) == 0 ? 0 : errno;
      },
      placed);
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

std::string WriteNewFileAtomically(const std::string& path, const std::string& bytes,
                                   const std::function<std::string()>& drawPath,
                                   std::string& writtenPath, mode_t mode) {
  constexpr int kMaxNames = 100;
  return WriteThroughTemporary(
      path, bytes, mode,
      [&](const std::string& tempPath, std::string& target) {
        target = path;
        for (int attempt = 1;; ++attempt) {
          CallRenameHook(target);
          const int error = RenameNoReplace(tempPath, target);
          if (error != EEXIST || !drawPath || attempt >= kMaxNames) return error;
          target = drawPath();
          if (target.empty()) return EEXIST;
        }
      },
      writtenPath);
}

void SetBeforeNoReplaceRenameForTests(std::function<void(const std::string& target)> hook) {
  std::lock_guard<std::mutex> lock(gRenameHookMutex);
  gBeforeNoReplaceRename = std::move(hook);
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
