#include "classify/vector_file_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <vector>

#include "foundation/crypto/random_source.h"
#include "foundation/files/durability_batch.h"
#include "foundation/files/unique_paths.h"
#include "foundation/log/log_sink.h"

namespace halvorn {

namespace {

constexpr const char* kLogService = "VectorStore";
constexpr int kHeaderFields = 6;

std::string SystemError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

// Reads up to `count` bytes at `offset`; what lies beyond the end stays 0.
bool ReadAt(int fd, void* buffer, std::size_t count, std::int64_t offset) {
  if (count == 0) return true;  // a store of vector size 0 has no buffer
  auto* bytes = static_cast<char*>(buffer);
  std::memset(bytes, 0, count);
  std::size_t done = 0;
  while (done < count) {
    const ssize_t got = ::pread(fd, bytes + done, count - done, offset + static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

bool WriteAt(int fd, const void* buffer, std::size_t count, std::int64_t offset) {
  if (count == 0) return true;
  const auto* bytes = static_cast<const char*>(buffer);
  std::size_t done = 0;
  while (done < count) {
    const ssize_t put = ::pwrite(fd, bytes + done, count - done, offset + static_cast<off_t>(done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<std::size_t>(put);
  }
  return true;
}

}  // namespace

std::uint8_t QuantiseVectorValue(double value) {
  if (!(value > 0)) return 0;  // NaN too
  if (value >= 1) return 255;
  // nearbyint rounds half to even in the default rounding mode.
  return static_cast<std::uint8_t>(std::nearbyint(value * 255));
}

TVectorFileStore::TVectorFileStore(const std::string& path) : FPath(path) { Open(); }

TVectorFileStore::~TVectorFileStore() {
  if (FFd < 0) return;
  try {
    WriteHeader();
  } catch (const std::exception& error) {
    Log(kLogService, error.what(), 5, true);
  }
  ::close(FFd);
}

void TVectorFileStore::Open() {
  FFd = ::open(FPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (FFd < 0) throw EVectorStoreError(SystemError("Cannot open the training set", FPath));
  struct stat info {};
  if (::fstat(FFd, &info) != 0) throw EVectorStoreError(SystemError("Cannot examine", FPath));
  const std::int64_t size = info.st_size;
  std::int32_t fields[kHeaderFields] = {kVectorStoreHeaderSize, 0, 0, 0, kVectorStoreCapacity,
                                        kVectorStoreVersion};
  std::string damage;
  if (size >= 4) {
    if (!ReadAt(FFd, &fields[0], 4, 0)) throw EVectorStoreError(SystemError("Cannot read", FPath));
    if (fields[0] < 24 || fields[0] > kMaxVectorStoreHeaderSize)
      damage = "header size " + std::to_string(fields[0]);
    else if (size >= fields[0] && !ReadAt(FFd, &fields[1], 4 * (kHeaderFields - 1), 4))
      throw EVectorStoreError(SystemError("Cannot read", FPath));
  }
  const auto [header, count, writeCount, vectorSize, capacity, version] = fields;
  if (damage.empty()) {
    if (vectorSize < 0 || vectorSize > kMaxVectorStoreVectorSize)
      damage = "vector size " + std::to_string(vectorSize);
    else if (capacity < 1 || capacity > kMaxVectorStoreCapacity)
      damage = "capacity " + std::to_string(capacity);
    else if (count < 0 || count > capacity || count > writeCount)
      damage = "count " + std::to_string(count) + " of write count " + std::to_string(writeCount);
  }
  if (!damage.empty()) {
    SetAsideDamaged(damage);
    return;
  }
  FHeaderSize = header;
  FCount = count;
  FWriteCount = writeCount;
  FVectorSize = vectorSize;
  FCapacity = capacity;
  FVersion = version;
  WriteHeader();
}

void TVectorFileStore::SetAsideDamaged(const std::string& why) {
  Log(kLogService, "The training set " + FPath + " is damaged (" + why + "); it is kept as " +
                       FPath + ".damaged and a new one begins", 5, true);
  ::close(FFd);
  FFd = -1;
  std::string target;
  const int error = MoveAsideNoReplace(FPath, ".damaged", target);
  if (error != 0) {
    errno = error;
    throw EVectorStoreError(SystemError("Cannot set aside the damaged training set", FPath));
  }
  StartFresh();
}

void TVectorFileStore::StartFresh() {
  FFd = ::open(FPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (FFd < 0) throw EVectorStoreError(SystemError("Cannot create the training set", FPath));
  FHeaderSize = kVectorStoreHeaderSize;
  FCount = 0;
  FWriteCount = 0;
  FVectorSize = 0;
  FCapacity = kVectorStoreCapacity;
  FVersion = kVectorStoreVersion;
  if (::ftruncate(FFd, 0) != 0) throw EVectorStoreError(SystemError("Cannot empty", FPath));
  WriteHeader();
}

void TVectorFileStore::WriteHeader() {
  std::vector<char> header(static_cast<std::size_t>(FHeaderSize), 0);
  const std::int32_t fields[kHeaderFields] = {FHeaderSize, FCount,    FWriteCount,
                                              FVectorSize, FCapacity, FVersion};
  std::memcpy(header.data(), fields, sizeof fields);
  if (!WriteAt(FFd, header.data(), header.size(), 0))
    throw EVectorStoreError(SystemError("Cannot write the header of", FPath));
  // Written in place: the change rides on the writer's batch, if it has one.
  AddToCurrentBatch(FPath, false);
}

void TVectorFileStore::Clear() {
  TCriticalSectionGuard guard(FLock);
  FCount = 0;
  FWriteCount = 0;
  if (::ftruncate(FFd, 0) != 0) throw EVectorStoreError(SystemError("Cannot empty", FPath));
  WriteHeader();
}

void TVectorFileStore::SetVectorSize(std::int32_t size) {
  if (size < 0 || size > kMaxVectorStoreVectorSize)
    throw std::invalid_argument("A training vector of " + std::to_string(size) +
                                " values cannot be stored");
  TCriticalSectionGuard guard(FLock);
  if (size == FVectorSize) return;
  FVectorSize = size;
  Clear();
}

std::int32_t TVectorFileStore::AddVector(const TVectorFloat& vector) {
  TCriticalSectionGuard guard(FLock);
  std::vector<std::uint8_t> record(static_cast<std::size_t>(FVectorSize), 0);
  for (std::size_t i = 0; i < record.size() && i < vector.size(); ++i)
    record[i] = QuantiseVectorValue(vector[i]);
  std::int64_t physical;
  std::int32_t logical;
  if (FCount < FCapacity) {
    physical = FCount;
    logical = FCount;
    ++FCount;
  } else {
    physical = FWriteCount % FCount;
    logical = FCount - 1;
  }
  // The write count keeps its place in the ring when it would pass 32 bits.
  std::int64_t next = std::int64_t{FWriteCount} + 1;
  if (next > INT32_MAX) next = FCount + next % FCount;
  FWriteCount = static_cast<std::int32_t>(next);
  const std::int64_t offset = FHeaderSize + physical * FVectorSize;
  if (!WriteAt(FFd, record.data(), record.size(), offset))
    throw EVectorStoreError(SystemError("Cannot write a record of", FPath));
  AddToCurrentBatch(FPath, false);
  if (RandomInt(10) == 1) WriteHeader();
  return logical;
}

TVectorFloat TVectorFileStore::ReadVector(std::int32_t k) {
  TCriticalSectionGuard guard(FLock);
  TVectorFloat result(static_cast<std::size_t>(FVectorSize), 0.0);
  if (static_cast<std::uint32_t>(k) >= static_cast<std::uint32_t>(FCount)) return result;
  std::int64_t physical = k;
  if (FCount < FWriteCount) physical = (std::int64_t{FWriteCount} + k) % FCount;
  std::vector<std::uint8_t> record(result.size(), 0);
  if (!ReadAt(FFd, record.data(), record.size(), FHeaderSize + physical * FVectorSize))
    throw EVectorStoreError(SystemError("Cannot read a record of", FPath));
  for (std::size_t i = 0; i < record.size(); ++i) result[i] = record[i] / 255.0;
  return result;
}

std::int32_t TVectorFileStore::Count() const {
  TCriticalSectionGuard guard(FLock);
  return FCount;
}

std::int32_t TVectorFileStore::VectorSize() const {
  TCriticalSectionGuard guard(FLock);
  return FVectorSize;
}

std::int32_t TVectorFileStore::WriteCount() const {
  TCriticalSectionGuard guard(FLock);
  return FWriteCount;
}

std::int32_t TVectorFileStore::Capacity() const {
  TCriticalSectionGuard guard(FLock);
  return FCapacity;
}

std::int32_t TVectorFileStore::HeaderSize() const {
  TCriticalSectionGuard guard(FLock);
  return FHeaderSize;
}

std::shared_ptr<TVectorFileStore> OpenSharedVectorStore(const std::string& path) {
  static std::mutex mutex;
  static std::map<std::string, std::weak_ptr<TVectorFileStore>> stores;
  const std::string key = std::filesystem::path(path).lexically_normal().string();
  std::lock_guard<std::mutex> lock(mutex);
  for (auto it = stores.begin(); it != stores.end();)
    it = it->second.expired() ? stores.erase(it) : std::next(it);
  if (auto open = stores[key].lock()) return open;
  auto store = std::make_shared<TVectorFileStore>(path);
  stores[key] = store;
  return store;
}

}  // namespace halvorn
