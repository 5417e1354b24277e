#include "foundation/threads/heartbeat.h"

#include <array>
#include <mutex>
#include <utility>

#include "foundation/time/clock.h"
#include "platform/thread_identity.h"

namespace halvorn {

std::atomic<bool> FirstTimeRun{false};
std::atomic<std::int32_t> UserNumber{0};
std::atomic<std::int32_t> CategoryRequestPort{6173};
std::atomic<bool> SelectiveOpenRelay{false};
std::atomic<std::int32_t> RelayedProbeCount{0};
std::atomic<std::int32_t> RelayedProbeLimit{10};
std::atomic<TDateTime> RelayedProbeDay{0};
std::atomic<TDateTime> LastNetworkSuccess{0};
std::atomic<std::uint32_t> OwnIPAddress{0};
std::atomic<bool> InWindowProc{false};
std::atomic<std::int32_t> UiMode{kUiModeLite};

namespace {

// Callbacks without a text reach the callback at most this often.
constexpr TDateTime kThrottleDays = 0.2 / 86400.0;

// One progress-callback slot. The thread is held by its life record, which
// tells whether it has ended (a bare id could not: ids are never reused here,
// but the record is what says the thread is gone).
struct TThreadCallbackSlot {
  platform::ThreadLifeRef Thread;  // null: free
  TProgressCallback Callback;
  TDateTime LastCall = 0;
};

struct SlotTable {
  std::mutex Mutex;
  std::array<TThreadCallbackSlot, kThreadCallbackSlots> Slots;
};

SlotTable& Table() {
  static SlotTable table;
  return table;
}

TThreadCallbackSlot* FindSlot(SlotTable& table, platform::ThreadId id) {
  for (auto& slot : table.Slots) {
    if (slot.Thread && slot.Thread->Id == id) return &slot;
  }
  return nullptr;
}

}  // namespace

bool Heartbeat(const std::string& text, int position, int maximum) {
  return CatchAllButAbandonment(
      [&]() -> bool {
        if (TQuorThread* worker = CurrentQuorThread()) {
          worker->StampAlive();
          if (worker->CheckTerminated()) return true;
        }
        TProgressCallback callback;
        {
          SlotTable& table = Table();
          std::lock_guard<std::mutex> lock(table.Mutex);
          TThreadCallbackSlot* slot = FindSlot(table, platform::CurrentThreadId());
          if (slot == nullptr) return false;
          const TDateTime now = Now();
          if (text.empty() && now - slot->LastCall < kThrottleDays && now >= slot->LastCall) {
            return false;
          }
          slot->LastCall = now;
          callback = slot->Callback;
        }
        // Called without the table's lock: the callback may do anything, its own
        // heartbeat included.
        return callback && callback(text, position, maximum);
      },
      [&](const std::string&) -> bool {
        return false;
      });
}

void RegisterThreadCallback(TProgressCallback callback) {
  if (!callback) return;
  platform::ThreadLifeRef me = platform::CurrentThreadLife();
  SlotTable& table = Table();
  std::lock_guard<std::mutex> lock(table.Mutex);
  if (TThreadCallbackSlot* own = FindSlot(table, me->Id)) {
    own->Callback = std::move(callback);
    return;
  }
  for (auto& slot : table.Slots) {
    if (!slot.Thread || slot.Thread->Ended.load()) {
      slot.Thread = std::move(me);
      slot.Callback = std::move(callback);
      slot.LastCall = 0;
      return;
    }
  }
}

void UnregisterThreadCallback() {
  SlotTable& table = Table();
  TProgressCallback old;
  std::lock_guard<std::mutex> lock(table.Mutex);
  if (TThreadCallbackSlot* own = FindSlot(table, platform::CurrentThreadId())) {
    old = std::move(own->Callback);
    *own = TThreadCallbackSlot{};
  }
}

void ClearThreadCallbacks() {
  SlotTable& table = Table();
  std::lock_guard<std::mutex> lock(table.Mutex);
  for (auto& slot : table.Slots) slot = TThreadCallbackSlot{};
}

}  // namespace halvorn
