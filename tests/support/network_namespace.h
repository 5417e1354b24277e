// Running one test inside a network and mount namespace of its own, so that
// what it sends can reach nothing but the namespace's loopback and files it
// mounts (a private /etc/resolv.conf, say) are seen by it alone (as root,
// with "unshare -n -m"). The test's body starts with
//
//   HALVORN_IN_OWN_NETWORK_NAMESPACE(false);
//
// Outside, that runs this test program again as a child in fresh
// namespaces, with only this test selected, checks that the child passed it,
// and returns; where no namespace can be made the test is skipped. Inside
// the child, it brings the loopback up and lets the body run. So the test
// shows once, as passed, failed or skipped, wherever it runs.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace halvorn::test {

enum class NamespaceRun { RunHere, RanInChild, SkippedInChild, NotAllowed };

// The work behind the macro. With `childMaySkip`, a child that skipped the
// test makes the caller skip too (SkippedInChild, its output in `skipText`);
// otherwise a skip in the child is a failure.
NamespaceRun RunInOwnNetworkNamespace(bool childMaySkip, std::string& skipText);

}  // namespace halvorn::test

#define HALVORN_IN_OWN_NETWORK_NAMESPACE(childMaySkip)                                            \
  do {                                                                                            \
    std::string halvornSkipText_;                                                                 \
    switch (::halvorn::test::RunInOwnNetworkNamespace(childMaySkip, halvornSkipText_)) {          \
      case ::halvorn::test::NamespaceRun::NotAllowed:                                             \
        GTEST_SKIP() << "network namespaces are not allowed here (needs root and unshare -n -m)"; \
      case ::halvorn::test::NamespaceRun::SkippedInChild:                                         \
        GTEST_SKIP() << halvornSkipText_;                                                         \
      case ::halvorn::test::NamespaceRun::RanInChild:                                             \
        return;                                                                                   \
      case ::halvorn::test::NamespaceRun::RunHere:                                                \
        break;                                                                                    \
    }                                                                                             \
  } while (false)
