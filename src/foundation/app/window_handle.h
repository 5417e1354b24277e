// The handle of a window: a receiver registered with the platform's window
// messages (platform/window_messages.h). 0 is none. Shared by the posting
// functions and the process and window facts, so both speak of one type.
#pragma once

#include <cstdint>

namespace halvorn {

using TWindowHandle = std::uintptr_t;

}  // namespace halvorn
