#include "foundation/threads/on_idle_object.h"

#include <utility>

namespace halvorn {

TOnIdleObject::TOnIdleObject() = default;
TOnIdleObject::~TOnIdleObject() = default;

void TOnIdleObject::Add(TOnIdleCallback callback) {
  if (!callback) return;
  TCriticalSectionGuard guard(FOnIdleCriticalSection);
  FList.push_back(std::move(callback));
}

std::int32_t TOnIdleObject::Run(std::int32_t level) {
  TCriticalSectionGuard guard(FOnIdleCriticalSection);
  if (FList.empty()) return 0;
  std::int32_t best = -2147483647;
  std::size_t bestIndex = FList.size();
  for (std::size_t i = FList.size(); i-- > 0;) {
    std::int32_t priority = FList[i](kOnIdleQueryCode);
    // Visiting from the back, ">=" lets the earlier entry win a tie.
    if (priority >= best) {
      best = priority;
      bestIndex = i;
    }
  }
  if (bestIndex < FList.size() && best >= level) FList[bestIndex](level);
  return best;
}

void TOnIdleObject::AppIdle(bool& done) {
  done = Run(1) == 0;
}

TOnIdleObject& GlobalOnIdle() {
  // Never destroyed: the event loop may still call it while statics go.
  static TOnIdleObject* dispatcher = new TOnIdleObject();
  return *dispatcher;
}

}  // namespace halvorn
