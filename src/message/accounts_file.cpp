#include "message/accounts_file.h"

#include <mutex>

#include "foundation/app/log.h"
#include "foundation/files/atomic_file.h"
#include "foundation/files/quor_ini_file.h"
#include "foundation/threads/mutex_critical_section.h"
#include "message/accounts.h"

namespace halvorn {
namespace {

std::mutex gHookMutex;
std::function<void()> gSaveHook;

TMutexCriticalSection& SaveLock() {
  static TMutexCriticalSection* lock = [] {
    auto* created = new TMutexCriticalSection("AccountsFileSave_CS");
    // A save writes and flushes a file while it holds the lock.
    created->SetTimeOut(kAccountsSaveLockTimeOut);
    return created;
  }();
  return *lock;
}

void RunSaveHook() {
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> lock(gHookMutex);
    hook = gSaveHook;
  }
  if (hook) hook();
}

}  // namespace

std::string SaveAccountsFile(const std::string& path, const std::string& currentUserId,
                             bool encrypted) {
  std::string error;
  try {
    TCriticalSectionGuard saveGuard(SaveLock());
    TQuorIniFile ini("", true);
    // The settings file writes back the form it read: starting from the bare
    // header makes this object write the enciphered form.
    if (encrypted) ini.LoadFromStream(kEncryptedIniHeader);
    ini.SetProcessMessages(false);
    GlobalLocalAccounts().Save(ini);
    ini.WriteString("CurrentAccount", "UserId", currentUserId);
    RunSaveHook();
    error = WriteFileAtomically(path, ini.SaveToStream());
  } catch (const ECriticalSectionException& e) {
    error = e.what();
  } catch (const EQuorIniFileError& e) {
    error = e.what();
  }
  if (!error.empty()) Log("Error", "Failed to save account information: " + error, 10, true);
  return error;
}

void SetAccountsSaveHookForTests(std::function<void()> hook) {
  std::lock_guard<std::mutex> lock(gHookMutex);
  gSaveHook = std::move(hook);
}

}  // namespace halvorn
