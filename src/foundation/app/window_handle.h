// The handle of a window: a receiver registered with the platform's window
// messages (platform/window_messages.h). 0 is none. Shared by the posting
// functions and the process and window facts, so both speak of one type; and
// the test every handle of the program goes through.
#pragma once

#include <cstdint>

namespace halvorn {

using TWindowHandle = std::uintptr_t;

// False for 0 and -1 (the two "no handle" values); true for anything else,
// as the platform offers no general way to ask about a handle. Safe from any
// thread.
inline bool IsValidHandle(std::intptr_t handle) {
  return handle != 0 && handle != -1;
}

}  // namespace halvorn
