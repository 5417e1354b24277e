// TVectorFileStore: a file of the network input vectors of messages the user
// categorised, so that a learning test can retrain its network at any later
// time. A ring of fixed-size records: it fills up to its capacity, then each
// new record overwrites the oldest.
//
// File (integers int32 little-endian):
//   0 header size H (256)   4 count   8 write count (records written since
//   the last Clear)   12 vector size S (bytes per record)   16 capacity
//   (5000)   20 version (1)   24 .. H-1 zero bytes
//   H + k * S: physical record k, byte i = the value i clamped to [0, 1]
//   times 255, rounded half to even (NaN stores 0).
// Logical record numbers run from 0 (oldest) to count - 1 (newest). Before
// the ring wraps, logical k is physical k; afterwards it is (write count +
// k) mod count. A record is written at H + k * S, exactly where it is read.
//
// The header in the file may lag the counts in memory by a few additions
// (it is written at every tenth addition on average, and by Clear,
// SetVectorSize and the destructor): after a crash the store reopens with a
// smaller count and overwrites the records beyond it. Nothing here flushes:
// every write (records and header) rides on the writing thread's durability
// batch (the walk of the user's categorisations opens one and commits it at
// its end), and without a batch it is as durable as the system makes it.
// A header that does not hold together (24 <= H <= 65536, 0 <= S <= 65536,
// 1 <= capacity <= 1000000, 0 <= count <= capacity, count <= write count)
// is logged, the file is kept as "<name>.damaged" (or a free name
// beside it: never replacing a file) and a fresh store starts.
//
// One store object per file per process: get it from OpenSharedVectorStore,
// so that two tests of one type share the file, its counts and its lock.
//
// Threads. Every operation may be called from any thread; each takes the
// store's lock "TVectorFileStore_CS" (a leaf) for its whole duration, and
// raises ECriticalSectionException when it cannot have it in time. Not
// copyable.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "classify/neural_net.h"
#include "foundation/threads/mutex_critical_section.h"

namespace halvorn {

// A store file that cannot be opened, created, set aside or written.
class EVectorStoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr std::int32_t kVectorStoreHeaderSize = 256;
inline constexpr std::int32_t kVectorStoreCapacity = 5000;
inline constexpr std::int32_t kVectorStoreVersion = 1;
inline constexpr std::int32_t kMaxVectorStoreHeaderSize = 65536;
inline constexpr std::int32_t kMaxVectorStoreVectorSize = 65536;
inline constexpr std::int32_t kMaxVectorStoreCapacity = 1000000;

class TVectorFileStore {
 public:
  // Opens the file for reading and writing, creating it (mode 0600) when
  // missing, and writes the header. EVectorStoreError when the file cannot
  // be opened or created, or a damaged one cannot be set aside.
  explicit TVectorFileStore(const std::string& path);
  // Writes the header and closes the file; failures are logged.
  ~TVectorFileStore();
  TVectorFileStore(const TVectorFileStore&) = delete;
  TVectorFileStore& operator=(const TVectorFileStore&) = delete;

  // Count and write count 0, the file cut to its header.
  void Clear();
  // A new vector size drops every record (Clear); the same size keeps them.
  // std::invalid_argument outside 0 .. kMaxVectorStoreVectorSize.
  void SetVectorSize(std::int32_t size);
  // Stores the vector (cut or padded with 0 to the vector size) as the
  // newest record and answers its logical number. A write error raises
  // EVectorStoreError; the write count has risen all the same.
  std::int32_t AddVector(const TVectorFloat& vector);
  // Logical record k as VectorSize() values in [0, 1]; all 0 for a number
  // outside the count, 0 for bytes beyond the end of the file.
  TVectorFloat ReadVector(std::int32_t k);

  std::int32_t Count() const;
  std::int32_t VectorSize() const;
  std::int32_t WriteCount() const;
  std::int32_t Capacity() const;
  std::int32_t HeaderSize() const;
  const std::string& Path() const { return FPath; }

 private:
  void Open();
  void StartFresh();
  void SetAsideDamaged(const std::string& why);
  // The six fields after H zero bytes, at offset 0.
  void WriteHeader();

  mutable TMutexCriticalSection FLock{"TVectorFileStore_CS"};
  const std::string FPath;
  int FFd = -1;
  std::int32_t FHeaderSize = kVectorStoreHeaderSize;
  std::int32_t FCount = 0;
  std::int32_t FWriteCount = 0;
  std::int32_t FVectorSize = 0;
  std::int32_t FCapacity = kVectorStoreCapacity;
  std::int32_t FVersion = kVectorStoreVersion;
};

// The byte a value is stored as: clamped to [0, 1] (NaN 0), times 255,
// rounded half to even (0.5 -> 128).
std::uint8_t QuantiseVectorValue(double value);

// The process's one store for the path: the open one while anyone holds it,
// else a new one. Raises what the constructor raises. Any thread.
std::shared_ptr<TVectorFileStore> OpenSharedVectorStore(const std::string& path);

}  // namespace halvorn
