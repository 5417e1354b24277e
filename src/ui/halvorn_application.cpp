#include "ui/halvorn_application.h"

#include <cstdio>

namespace halvorn {

THalvornApplication::THalvornApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool THalvornApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& error) {
    if (FHook) {
      FHook(&error);
    } else {
      std::fprintf(stderr, "halvorn: unhandled error: %s\n", error.what());
    }
  } catch (...) {
    if (FHook) {
      FHook(nullptr);
    } else {
      std::fprintf(stderr, "halvorn: unhandled error\n");
    }
  }
  return false;
}

}  // namespace halvorn
