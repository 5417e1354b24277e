#include "platform/qt_main_thread.h"

#include <QCoreApplication>

#include <atomic>

#include "platform/dialogs.h"
#include "platform/main_thread.h"

namespace halvorn::platform {
namespace {

std::atomic<bool> GTerminating{false};

}  // namespace

void InstallQtMainThreadHooks() {
  MainThreadHooks hooks;
  hooks.ProcessMessages = [] {
    if (QCoreApplication::instance() != nullptr) QCoreApplication::processEvents();
  };
  hooks.ShowMessage = [](const std::string& text) {
    QuorMessageDlg(text, mtCustom, mbOK, std::string(), 0, std::string(), 0, mrNone);
  };
  SetMainThreadHooks(std::move(hooks));
  if (QCoreApplication* app = QCoreApplication::instance())
    QObject::connect(app, &QCoreApplication::aboutToQuit, app,
                     [] { SetApplicationTerminating(true); });
}

bool ApplicationTerminating() {
  return GTerminating.load();
}

void SetApplicationTerminating(bool terminating) {
  GTerminating.store(terminating);
}

}  // namespace halvorn::platform
