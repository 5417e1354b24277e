// A second instance of the program, as far as the single-instance guard is
// concerned: it tries the guard and, finding a first instance, posts the
// restore request to that instance's main window and ends.
// Exit codes: 0 the guard was taken and the request went out, 1 the guard
// was free (no first instance).
#include "foundation/app/main_window_notifications.h"
#include "platform/single_instance.h"

int main() {
  using namespace halvorn;
  platform::SingleInstanceGuard guard(SingleInstanceName("Halvorn"));
  if (guard.Acquire()) return 1;
  PostToMainFormByClass(WM_RESTORE_WINDOW);
  return 0;
}
