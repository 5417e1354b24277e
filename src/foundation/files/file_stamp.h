// What a file looked like when it was last read, so that a reader can tell
// cheaply whether it must read it again.
//
// The stamp is the file's modification time in nanoseconds, its size, its
// inode and its device. A change in the same second, a copy put in place
// with an older time and a file replaced by rename all give another stamp;
// comparing stamps for equality (not for "newer") catches them all.
#pragma once

#include <cstdint>
#include <string>

namespace halvorn {

struct TFileStamp {
  bool Exists = false;  // false: no file (or it cannot be looked at)
  std::int64_t ModifiedNs = 0;
  std::int64_t Size = 0;
  std::uint64_t Inode = 0;
  std::uint64_t Device = 0;

  bool operator==(const TFileStamp&) const = default;
};

// The stamp of the file at `path` (following symbolic links). A missing
// path, or one that cannot be looked at, gives a stamp with Exists false.
// Safe from any thread; never raises.
TFileStamp GetFileStamp(const std::string& path);

}  // namespace halvorn
