// Opens a training set from arbitrary bytes, adds vectors and reads records:
// every read gives a vector of the set's size with values in [0, 1], and the
// writes stay within the header and the capacity's records (a file already
// longer than that is not cut, and not grown).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "classify/vector_file_store.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

const std::string& Folder() {
  static const std::string folder = [] {
    std::string pattern = "/tmp/hv-fuzz-store-XXXXXX";
    Check(::mkdtemp(pattern.data()) != nullptr);
    return pattern;
  }();
  return folder;
}

std::int64_t SizeOf(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_size : -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace halvorn;
  const std::string path = Folder() + "/set.dat";
  std::filesystem::remove_all(Folder());
  std::filesystem::create_directory(Folder());
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  Check(fd >= 0);
  Check(::write(fd, data, size) == static_cast<ssize_t>(size));
  ::close(fd);
  try {
    TVectorFileStore store(path);
    const std::int64_t limit =
        std::max<std::int64_t>(SizeOf(path), store.HeaderSize() +
                                                 std::int64_t{store.Capacity()} * store.VectorSize());
    for (int k = 0; k < 3; ++k) {
      const std::int32_t number = store.AddVector({1.0, 0.5, -1.0, 2.0, 0.25});
      Check(number >= 0 && number < store.Count());
      Check(store.Count() <= store.Capacity());
    }
    const std::int32_t count = store.Count();
    for (std::int32_t k : {0, count - 1, count, -1, count / 2}) {
      const TVectorFloat vector = store.ReadVector(k);
      Check(static_cast<std::int32_t>(vector.size()) == store.VectorSize());
      for (double value : vector) Check(value >= 0 && value <= 1);
    }
    Check(SizeOf(path) <= limit);
  } catch (const EVectorStoreError&) {
  }
  return 0;
}
