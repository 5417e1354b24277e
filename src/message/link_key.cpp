#include "message/link_key.h"

#include <sys/random.h>

#include <cerrno>
#include <atomic>
#include <mutex>
#include <stdexcept>

#include "foundation/files/registry_settings.h"
#include "foundation/log/log_sink.h"
#include "foundation/text/numbers.h"

namespace halvorn {

namespace {

constexpr char kSection[] = "HttpServer";
constexpr std::size_t kKeyBytes = 16;

std::string& Key() {
  static std::string key;
  return key;
}
std::mutex gKeyLock;
std::atomic<bool> gLoaded{false};

bool WellFormed(const std::string& key) {
  if (key.size() != 2 * kKeyBytes) return false;
  for (char c : key)
    if (HexDigitValue(c) < 0) return false;
  return true;
}

void Load() {
  std::string stored;
  const bool found = RegTryReadString(kSection, kLinkKeyName, stored);
  if (found && WellFormed(stored)) {
    Key() = stored;
    return;
  }
  Key() = MakeLinkKey();
  if (found) Log("HttpServer", "The stored link key was malformed; a new one was made", 5, true);
  if (!RegWriteString(kSection, kLinkKeyName, Key()))
    Log("HttpServer", "The link key could not be stored; links of this run will not work later",
        5, true);
}

}  // namespace

std::string MakeLinkKey() {
  unsigned char bytes[kKeyBytes];
  std::size_t got = 0;
  while (got < kKeyBytes) {
    const ssize_t n = getrandom(bytes + got, kKeyBytes - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("getrandom failed");
    }
    got += static_cast<std::size_t>(n);
  }
  static const char kDigits[] = "0123456789abcdef";
  std::string key;
  for (unsigned char b : bytes) {
    key += kDigits[b >> 4];
    key += kDigits[b & 15];
  }
  return key;
}

const std::string& LoadLinkKey() {
  if (!gLoaded.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> lock(gKeyLock);
    if (!gLoaded.load(std::memory_order_relaxed)) {
      Load();
      gLoaded.store(true, std::memory_order_release);
    }
  }
  return Key();
}

const std::string& GetLinkKey() {
  return LoadLinkKey();
}

bool LinkKeyMatches(std::string_view presented) {
  const std::string& key = GetLinkKey();
  if (key.empty() || presented.size() != key.size()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < key.size(); ++i)
    diff |= static_cast<unsigned char>(key[i] ^ presented[i]);
  return diff == 0;
}

void SetLinkKeyForTesting(const std::string& key) {
  std::lock_guard<std::mutex> lock(gKeyLock);
  Key() = key;
  gLoaded.store(!key.empty(), std::memory_order_release);
}

}  // namespace halvorn
