#include "lists/qch/qch_identity.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <filesystem>
#include <mutex>

#include "foundation/files/install_folders.h"
#include "foundation/files/quor_ini_file.h"
#include "foundation/log/log_sink.h"
#include "foundation/threads/heartbeat.h"

namespace halvorn {

namespace {

constexpr const char* kSection = "Security";
constexpr const char* kUserNumberIdent = "UserNumber";
constexpr const char* kKeyIdent = "Key";
constexpr const char* kLogService = "QCH";

struct TIdentityState {
  std::mutex Lock;  // a leaf: nothing else is taken while it is held
  std::condition_variable Changed;
  TQchIdentity Identity;
  int Handshakes = 0;
};

TIdentityState& State() {
  static TIdentityState state;
  return state;
}

// Writes of the settings file by assignments, one at a time.
std::mutex& FileLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace

TQchIdentity GetQchIdentity() {
  TIdentityState& state = State();
  std::lock_guard<std::mutex> guard(state.Lock);
  return state.Identity;
}

void SetQchIdentity(std::int32_t userId, const std::string& key) {
  TIdentityState& state = State();
  {
    std::lock_guard<std::mutex> guard(state.Lock);
    state.Identity.UserId = userId;
    state.Identity.Key = key;
    UserNumber.store(userId);
  }
  state.Changed.notify_all();
}

void StoreAssignedQchIdentity(std::int32_t userId, const std::string& key) {
  SetQchIdentity(userId, key);
  std::lock_guard<std::mutex> guard(FileLock());
  try {
    TQuorIniFile settings(GetSettingsFilePath());
    SaveQchIdentity(settings);
    settings.UpdateFile();
  } catch (const std::exception& e) {
    Log(kLogService, std::string("The assigned user number is not saved: ") + e.what(), 8, true);
  }
}

void SaveQchIdentity(TQuorIniFile& settings) {
  const TQchIdentity identity = GetQchIdentity();
  settings.WriteInteger(kSection, kUserNumberIdent, identity.UserId);
  settings.WriteString(kSection, kKeyIdent, identity.Key);
}

void LoadQchIdentity() {
  const std::string path = GetSettingsFilePath();
  try {
    std::error_code error;
    if (!std::filesystem::exists(path, error)) {
      SetQchIdentity(0, "");
      return;
    }
    TQuorIniFile settings(path);
    const std::int64_t id = settings.ReadInteger(kSection, kUserNumberIdent, 0);
    const std::string key = settings.ReadString(kSection, kKeyIdent, "");
    SetQchIdentity(static_cast<std::int32_t>(id), key);
  } catch (const std::exception& e) {
    SetQchIdentity(0, "");
    Log(kLogService, std::string("The user number cannot be read: ") + e.what(), 8, true);
  }
}

bool IsValidQchKey(const std::string& key) {
  const std::size_t end = key.find('\0');
  const std::string_view used = std::string_view(key).substr(0, end);
  if (used.empty()) return false;
  for (unsigned char c : used)
    if (c < 33 || c > 126) return false;
  return true;
}

TQchHandshakeScope::TQchHandshakeScope() {
  TIdentityState& state = State();
  std::lock_guard<std::mutex> guard(state.Lock);
  ++state.Handshakes;
}

TQchHandshakeScope::~TQchHandshakeScope() {
  TIdentityState& state = State();
  {
    std::lock_guard<std::mutex> guard(state.Lock);
    --state.Handshakes;
  }
  state.Changed.notify_all();
}

TQchIdentity WaitForQchIdentity(int tries, int stepMs) {
  TIdentityState& state = State();
  std::unique_lock<std::mutex> guard(state.Lock);
  const auto ready = [&] { return state.Identity.UserId != 0 || state.Handshakes == 0; };
  state.Changed.wait_for(guard, std::chrono::milliseconds(static_cast<long long>(tries) * stepMs),
                         ready);
  return state.Identity;
}

}  // namespace halvorn
