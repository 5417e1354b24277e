#include "foundation/host_names.h"

#include <unistd.h>

#include <cstring>
#include <mutex>

namespace halvorn {

namespace {

constexpr char kLocalHostName[] = "LocalHost";

std::mutex& HostNameMutex() {
  static std::mutex mutex;
  return mutex;
}

std::string& CachedHostName() {
  static std::string name;
  return name;
}

}  // namespace

std::string GetHostNameOrLocal() {
  std::lock_guard<std::mutex> lock(HostNameMutex());
  std::string& cached = CachedHostName();
  if (cached.empty() || cached == kLocalHostName) {
    char buffer[256];
    std::memset(buffer, 0, sizeof(buffer));
    // One byte is kept back so that a truncated name is still terminated.
    if (gethostname(buffer, sizeof(buffer) - 1) == 0 && buffer[0] != '\0') {
      cached.assign(buffer, strnlen(buffer, sizeof(buffer) - 1));
    }
    if (cached.empty()) cached = kLocalHostName;
  }
  return cached;
}

std::string LocalHostName() {
  return kLocalHostName;
}

}  // namespace halvorn
