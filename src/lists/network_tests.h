// The one process-wide switch for the tests that ask the network about a
// message: DNS block lists, the URI block list, DCC, and the look-ups of
// other tests that honour it (the return-address check, the rule set's
// block-list rules).
//
// On by default, and the program keeps it on; a run that must judge mail
// without sending anything anywhere turns it off. While it is off those
// tests post nothing (no question, no datagram, no ping, no look-up of a
// server's name) and record what a message that was never checked records:
// undecided standard tests, no list code, no DCC counts. Lives below
// classification so that the lists' own clients can honour it too.
//
// Header only: every library that includes it shares the one atomic.
#pragma once

#include <atomic>

namespace halvorn {

inline std::atomic<bool> gNetworkTestsOn{true};

// Safe from any thread.
inline bool NetworkTestsOn() {
  return gNetworkTestsOn.load();
}
inline void SetNetworkTestsOn(bool on) {
  gNetworkTestsOn.store(on);
}

// Sets the switch for a scope and restores the value before when it goes
// (tests). Not copyable.
class TScopedNetworkTests {
 public:
  explicit TScopedNetworkTests(bool on) : FOld(gNetworkTestsOn.exchange(on)) {}
  ~TScopedNetworkTests() { gNetworkTestsOn.store(FOld); }
  TScopedNetworkTests(const TScopedNetworkTests&) = delete;
  TScopedNetworkTests& operator=(const TScopedNetworkTests&) = delete;

 private:
  bool FOld;
};

}  // namespace halvorn
