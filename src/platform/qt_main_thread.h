// The main thread's answers on Qt: fills the seam of main_thread.h and keeps
// the "application is terminating" state the progress window asks about.
#pragma once

namespace halvorn::platform {

// Installs the main-thread hooks: ProcessMessages handles the pending events
// of the calling thread (QCoreApplication::processEvents), ShowMessage shows
// the program's message dialog captioned "Halvorn" with an OK button. Also
// marks the application as terminating once Qt is about to quit. Call on the
// main thread after the QApplication exists.
void InstallQtMainThreadHooks();

// True once the application has been asked to terminate (its event loop
// ends). Safe from any thread.
bool ApplicationTerminating();
// Sets or clears that state (the main window's exit path; tests).
void SetApplicationTerminating(bool terminating);

}  // namespace halvorn::platform
