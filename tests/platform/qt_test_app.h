// The one QApplication of a test executable, made on first use (offscreen
// under CTest) and kept for the rest of the run: destroying it from the exit
// handlers, after Qt's own statics are gone, would crash.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>

#include <functional>

namespace halvorn::test {

inline QApplication& EnsureQtApplication() {
  static int argc = 1;
  static char name[] = "halvorn-test";
  static char* argv[] = {name, nullptr};
  // Tests never use a display, whatever the environment says.
  static QApplication* app = [] {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    return new QApplication(argc, argv);
  }();
  return *app;
}

// Runs the event loop until `done` answers true or the time-out passes;
// answers `done`'s last answer.
inline bool RunEventsUntil(const std::function<bool()>& done, int timeoutMs) {
  QEventLoop loop;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
    if (done()) loop.quit();
  });
  QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
  poll.start(5);
  if (!done()) loop.exec();
  return done();
}

// Runs `act` on the modal window of that kind that opens next, from inside
// its own event loop. The window must open before control returns to an
// event loop of the test's own.
template <class Window>
void WhenOpen(std::function<void(Window*)> act) {
  QTimer::singleShot(0, [act] {
    auto* window = dynamic_cast<Window*>(QApplication::activeModalWidget());
    ASSERT_NE(window, nullptr) << "the expected dialog is not open";
    act(window);
  });
}

}  // namespace halvorn::test
