// The heartbeat every long operation calls, the per-thread progress callbacks
// behind it, and the global values of the utility module that several
// subsystems share.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "foundation/time/date_time.h"
#include "foundation/threads/quor_thread.h"  // ShuttingDown

namespace halvorn {

// ---------------------------------------------------------------------------
// Shared global values. Read and written from any thread, hence atomics; the
// start-up of the utility module (module_startup.h) sets their first values.
// ShuttingDown (quor_thread.h) belongs here too: it only ever goes from false
// to true.

// This is the program's first run ("-FirstTimeRun" or no settings file).
extern std::atomic<bool> FirstTimeRun;
// The local web server's port for the links in messages (6173 until the
// settings say otherwise).
extern std::atomic<std::int32_t> CategoryRequestPort;
// Act as a selective open relay for relay probes (a hidden option).
extern std::atomic<bool> SelectiveOpenRelay;
// Relay probes passed on during RelayedProbeDay, and the daily limit. The
// processing that uses them updates count and day together under its own
// lock; each value on its own is safe to read anywhere.
extern std::atomic<std::int32_t> RelayedProbeCount;
extern std::atomic<std::int32_t> RelayedProbeLimit;
extern std::atomic<TDateTime> RelayedProbeDay;
// When the last outgoing connection, ping or DCC exchange succeeded (0:
// never).
extern std::atomic<TDateTime> LastNetworkSuccess;
// This machine's address as the system-information report found it (0:
// unknown); wire order, first byte lowest.
extern std::atomic<std::uint32_t> OwnIPAddress;
// Set while the main window's message procedure hands a message on.
extern std::atomic<bool> InWindowProc;
// The user-interface mode: 0 Lite (at start), 1 Advanced, 2 Power User.
// Written by the main window (which pauses the incoming processing thread
// first), read by processing and transport.
extern std::atomic<std::int32_t> UiMode;
inline constexpr std::int32_t kUiModeLite = 0;
inline constexpr std::int32_t kUiModeAdvanced = 1;
inline constexpr std::int32_t kUiModePowerUser = 2;
// The program's user number, set at start-up; only shown, scrambled, in the
// Received line of downloaded mail (0 until set).
extern std::atomic<std::int32_t> UserNumber;

// ---------------------------------------------------------------------------
// Heartbeat and progress callbacks.

// A progress callback: (text, position, maximum) -> true to ask the caller to
// stop. Called on the thread that registered it.
using TProgressCallback = std::function<bool(const std::string&, int, int)>;

// The number of progress-callback slots.
constexpr int kThreadCallbackSlots = 5;

// Called between the steps of every long operation. On a registered worker it
// stamps LastAlive and answers true at once when the worker must stop (no
// callback is called then). Otherwise, when the calling thread has a progress
// callback, calls it with the text, position and maximum and answers its
// result; callers without progress pass -1, -1, and callers without a text
// pass "" (such calls reach the callback at most every 0.2 s by the program
// clock). Answers false when there is nothing to ask. Never raises, except
// that an abandoned worker's heartbeat raises EThreadAbandoned so it unwinds:
// every other error, a callback's included, reads as "go on".
bool Heartbeat(const std::string& text, int position, int maximum);

// Gives the calling thread a progress callback: replaces its own slot's
// callback, or takes the first slot that is free or whose thread has ended.
// An empty callback, or no free slot, does nothing.
void RegisterThreadCallback(TProgressCallback callback);

// Frees the calling thread's slot; a thread without one changes nothing.
void UnregisterThreadCallback();

// Clears every slot (module start-up, tests).
void ClearThreadCallbacks();

}  // namespace halvorn
