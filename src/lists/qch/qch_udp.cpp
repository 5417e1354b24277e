#include "lists/qch/qch_udp.h"

#include <atomic>
#include <deque>
#include <exception>
#include <mutex>
#include <stdexcept>

#include "foundation/log/log_sink.h"
#include "foundation/net/host_names.h"
#include "foundation/net/udp_client.h"
#include "foundation/threads/abandonment.h"
#include "foundation/threads/mutex_critical_section.h"
#include "foundation/time/clock.h"
#include "lists/qch/qch_service.h"

namespace halvorn {

namespace {

constexpr const char* kLogService = "QCH";
constexpr int kDefaultPollIntervalMs = 5000;
// A redirect-free name of the service is looked up within this time.
constexpr int kResolveTimeOutMs = 1000;

// The service host is not known: logged once per run, not at every send.
class EQchHostNotFound : public std::runtime_error {
 public:
  EQchHostNotFound() : std::runtime_error("Central service host not found") {}
};

struct TUdpState {
  TMutexCriticalSection UdpLock{"QchUdpCriticalSection"};
  TMutexCriticalSection QueueLock{"QchUdpListCriticalSection"};
  // Under QueueLock.
  std::deque<std::unique_ptr<TQchUdpMsg>> Queue;
  bool QueueFullLogged = false;
  // Under UdpLock.
  std::unique_ptr<TUdpClient> Client;
  std::atomic<bool> Polling{true};
  std::atomic<bool> HavePolled{false};
  std::atomic<std::int64_t> LastPoll{0};
  std::atomic<int> PollIntervalMs{kDefaultPollIntervalMs};
};

// Made on first use and never freed: a sender on another thread may still
// reach it while the process ends.
TUdpState& State() {
  static TUdpState* state = new TUdpState;
  return *state;
}

struct TStopCodesState {
  std::mutex Lock;  // a leaf
  std::shared_ptr<const TStopCodesQchUdpMsg> Current;
};

TStopCodesState& StopCodesState() {
  static TStopCodesState* state = new TStopCodesState;
  return *state;
}

// The client for the service's current address; under the UDP lock.
TUdpClient& Client(TUdpState& state) {
  const std::uint32_t address = ResolveQchHost(QchServiceHost(), kResolveTimeOutMs);
  if (address == 0) {
    ReportQchHostNotFound();
    throw EQchHostNotFound();
  }
  const std::string dotted = IPToStr(address);
  const int port = QchUdpPort();
  if (!state.Client || state.Client->Address() != dotted || state.Client->Port() != port)
    state.Client = std::make_unique<TUdpClient>(dotted, port);
  return *state.Client;
}

// A send that failed stops the sending of some datagrams.
void StopSendingSome() {
  auto stopCodes = QchStopCodes();
  if (stopCodes->TransSendSomeUdp()) {
    auto reset = std::make_shared<TStopCodesQchUdpMsg>(*stopCodes);
    reset->ResetTransUdpMin();
    SetQchStopCodes(std::move(reset));
  }
}

void SendFailed(const std::string& error) {
  StopSendingSome();
  Log(kLogService, "A report to the central service was not sent: " + error, 3, true);
}

// Runs a send; a service host that cannot be found was reported already.
template <class Work>
void Sending(Work work) {
  CatchAllButAbandonment(
      [&] {
        try {
          work();
        } catch (const EQchHostNotFound&) {
          StopSendingSome();
        }
      },
      SendFailed);
}

// Sends what waits in the queue when its lock is free at once; under the UDP
// lock. A failure drops the rest: nothing is retried.
void FlushQueue(TUdpState& state) {
  std::deque<std::unique_ptr<TQchUdpMsg>> waiting;
  {
    TTryEnterGuard guard(state.QueueLock);
    if (!guard.Taken()) return;
    waiting.swap(state.Queue);
    state.QueueFullLogged = false;
  }
  if (waiting.empty()) return;
  TUdpClient& client = Client(state);
  for (const auto& datagram : waiting) client.Send(datagram->Bytes());
}

void Enqueue(TUdpState& state, std::unique_ptr<TQchUdpMsg> datagram) {
  TCriticalSectionGuard guard(state.QueueLock);
  if (state.Queue.size() >= kMaxQchUdpQueue) {
    if (!state.QueueFullLogged)
      Log(kLogService, "The queue of reports to the central service is full; reports are dropped",
          3, true);
    state.QueueFullLogged = true;
    return;
  }
  state.Queue.push_back(std::move(datagram));
}

void PollStopCodes(TUdpState& state) {
  if (!state.Polling.load()) return;
  const std::int64_t now = SteadyMilliseconds();
  const int interval = state.PollIntervalMs.load();
  if (state.HavePolled.load() && interval > 0 && now - state.LastPoll.load() <= interval) return;
  state.LastPoll.store(now);
  state.HavePolled.store(true);
  std::unique_ptr<TQchUdpMsg> received = QchUdpReceive(1);
  if (!received) return;
  if (received->Kind() == kQchUdpStopCodes) {
    ReplaceQchStopCodes(received->Bytes(), "a polled datagram");
  } else {
    Log(kLogService,
        "A datagram of kind " + std::to_string(received->Kind()) + " from the central service is dropped",
        3, true);
  }
}

}  // namespace

void QchUdpSend(std::unique_ptr<TQchUdpMsg> datagram) {
  if (!datagram) return;
  TUdpState& state = State();
  Sending([&] {
    TTryEnterGuard guard(state.UdpLock);
    if (!guard.Taken()) {
      Enqueue(state, std::move(datagram));
      return;
    }
    PollStopCodes(state);
    FlushQueue(state);
    Client(state).Send(datagram->Bytes());
  });
}

std::unique_ptr<TQchUdpMsg> QchUdpReceive(int waitMs) {
  TUdpState& state = State();
  TTryEnterGuard guard(state.UdpLock);
  if (!guard.Taken()) return nullptr;
  Sending([&] { FlushQueue(state); });
  return CatchAllButAbandonment(
      [&]() -> std::unique_ptr<TQchUdpMsg> {
        try {
          std::optional<std::string> bytes = Client(state).Receive(waitMs);
          if (!bytes) return nullptr;
          return QchUdpParse(*bytes);
        } catch (const EQchHostNotFound&) {
          return nullptr;
        }
      },
      [](const std::string& error) -> std::unique_ptr<TQchUdpMsg> {
        Log(kLogService, "Reading from the central service failed: " + error, 3, true);
        return nullptr;
      });
}

std::shared_ptr<const TStopCodesQchUdpMsg> QchStopCodes() {
  TStopCodesState& state = StopCodesState();
  std::lock_guard<std::mutex> guard(state.Lock);
  if (!state.Current) state.Current = std::make_shared<const TStopCodesQchUdpMsg>();
  return state.Current;
}

void SetQchStopCodes(std::shared_ptr<const TStopCodesQchUdpMsg> stopCodes) {
  if (!stopCodes) stopCodes = std::make_shared<const TStopCodesQchUdpMsg>();
  TStopCodesState& state = StopCodesState();
  std::lock_guard<std::mutex> guard(state.Lock);
  state.Current = std::move(stopCodes);
}

bool ReplaceQchStopCodes(std::string_view bytes, const std::string& source) {
  const std::int32_t kind = TQchUdpMsg(std::string(bytes)).Kind();
  if (kind != kQchUdpStopCodes || bytes.size() < TStopCodesQchUdpMsg::kMinReceivedSize) {
    Log(kLogService,
        "Stop codes from " + source + " are not taken: kind " + std::to_string(kind) + ", " +
            std::to_string(bytes.size()) + " bytes",
        5, true);
    return false;
  }
  SetQchStopCodes(std::make_shared<const TStopCodesQchUdpMsg>(std::string(bytes)));
  return true;
}

void SetQchUdpPolling(bool on) {
  State().Polling.store(on);
}

std::size_t QchUdpQueueCount() {
  TUdpState& state = State();
  TCriticalSectionGuard guard(state.QueueLock);
  return state.Queue.size();
}

void StartQchUdp() {
  TUdpState& state = State();
  SetQchStopCodes(nullptr);
  state.Polling.store(true);
  state.HavePolled.store(false);
  state.LastPoll.store(0);
}

void EndQchUdp() {
  TUdpState& state = State();
  CatchAllButAbandonment(
      [&] {
        {
          TCriticalSectionGuard guard(state.UdpLock);
          state.Client.reset();
        }
        TCriticalSectionGuard guard(state.QueueLock);
        state.Queue.clear();
        state.QueueFullLogged = false;
      },
      [](const std::string& error) {
        Log(kLogService, "The UDP report path did not end cleanly: " + error, 5, true);
      });
}

void SetQchUdpPollIntervalForTests(int ms) {
  State().PollIntervalMs.store(ms < 0 ? kDefaultPollIntervalMs : ms);
}

TMutexCriticalSection& QchUdpLockForTests() {
  return State().UdpLock;
}

}  // namespace halvorn
