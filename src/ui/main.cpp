// Halvorn's entry point.
#include <cstdio>

#include "platform/main_thread.h"

int main(int /*argc*/, char** /*argv*/) {
  halvorn::platform::MarkMainThread();
  std::printf("Halvorn\n");
  return 0;
}
