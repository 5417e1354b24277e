// The program's application object: Qt's, with one addition. An exception
// that escapes an event handler (a timer, a button, a socket event) reaches
// QApplication::notify, where this class catches it and hands it to the
// exception hook the main window installs (TMainQuorForm::AppException), so
// the program goes on instead of ending. Without a hook the exception is
// dropped after a line on standard error.
#pragma once

#include <QApplication>

#include <exception>
#include <functional>

namespace halvorn {

// Called with the caught exception; null for an exception that is no
// std::exception. Main thread only.
using TAppExceptionHook = std::function<void(const std::exception* error)>;

class THalvornApplication : public QApplication {
 public:
  THalvornApplication(int& argc, char** argv);

  // Replaces the hook (empty: none).
  void SetExceptionHook(TAppExceptionHook hook) { FHook = std::move(hook); }

  bool notify(QObject* receiver, QEvent* event) override;

 private:
  TAppExceptionHook FHook;
};

}  // namespace halvorn
