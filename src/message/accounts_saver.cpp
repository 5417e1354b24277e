#include "message/accounts_saver.h"

#include <memory>
#include <mutex>

namespace halvorn {

namespace {

std::mutex& SaverLock() {
  static std::mutex lock;
  return lock;
}

std::shared_ptr<TAccountsSaver>& Saver() {
  static std::shared_ptr<TAccountsSaver> saver;
  return saver;
}

}  // namespace

void SetAccountsSaver(TAccountsSaver saver) {
  std::lock_guard<std::mutex> lock(SaverLock());
  Saver() = saver ? std::make_shared<TAccountsSaver>(std::move(saver)) : nullptr;
}

std::string SaveAccountsNow() {
  std::shared_ptr<TAccountsSaver> saver;
  {
    std::lock_guard<std::mutex> lock(SaverLock());
    saver = Saver();
  }
  // Called outside the small lock: the save itself is serialised by the
  // accounts file's writer.
  return saver ? (*saver)() : std::string();
}

}  // namespace halvorn
