#include "foundation/intercept/intercept_check.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>

#include "foundation/intercept/lsp_binding.h"
#include "foundation/threads/message_loop.h"

namespace halvorn {

namespace {

// The probe connects, asks the listener, sends its line and waits about a
// second for the answer.
constexpr int kProbeTimeOutMs = 5000;

struct TCheckState {
  std::atomic<bool> Done{false};
  std::string Result;
};

// Runs the check in a probe process; the result text lands in the state.
void RunCheck(TCheckState& state) {
  auto* ignoreSlot = static_cast<std::uint32_t*>(LspGetIgnorePid());
  // The slot holds the process id whose connections the library never
  // redirects (ours). The check clears it, so that our own test connection
  // is redirected like any other program's, and always puts it back.
  if (ignoreSlot != nullptr) __atomic_store_n(ignoreSlot, 0u, __ATOMIC_SEQ_CST);
  std::string result;
  int pipeFds[2] = {-1, -1};
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    result = "Could not make connection";
  } else {
    int probe = StartLspProbe("check", pipeFds[1]);
    close(pipeFds[1]);
    if (probe == 0) {
      result = "Could not make connection";
    } else if (!FinishLspProbe(probe, kProbeTimeOutMs)) {
      result = "Read Failed";
    } else {
      char buffer[256];
      ssize_t n = 0;
      while ((n = read(pipeFds[0], buffer, sizeof(buffer))) > 0 && result.size() < 4096)
        result.append(buffer, static_cast<std::size_t>(n));
    }
    close(pipeFds[0]);
  }
  if (ignoreSlot != nullptr)
    __atomic_store_n(ignoreSlot, static_cast<std::uint32_t>(getpid()), __ATOMIC_SEQ_CST);
  state.Result = result;
  state.Done.store(true);
}

}  // namespace

std::string CheckIntercept() {
  if (LspVersion() < 6) return {};
  auto state = std::make_shared<TCheckState>();
  std::thread worker([state]() { RunCheck(*state); });
  // The probe's request is answered by the listener on the main thread, so
  // the main thread keeps handling messages while the check runs.
  for (int turn = 0; turn < 51 && !state->Done.load(); ++turn) {
    for (int slice = 0; slice < 10 && !state->Done.load(); ++slice) {
      ProcessMessagesIfMain();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  worker.join();
  return state->Result;
}

}  // namespace halvorn
