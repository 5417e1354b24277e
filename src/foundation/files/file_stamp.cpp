#include "foundation/files/file_stamp.h"

#include <sys/stat.h>

namespace halvorn {

TFileStamp GetFileStamp(const std::string& path) {
  TFileStamp stamp;
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return stamp;
  stamp.Exists = true;
  stamp.ModifiedNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  stamp.Size = static_cast<std::int64_t>(st.st_size);
  stamp.Inode = static_cast<std::uint64_t>(st.st_ino);
  stamp.Device = static_cast<std::uint64_t>(st.st_dev);
  return stamp;
}

}  // namespace halvorn
