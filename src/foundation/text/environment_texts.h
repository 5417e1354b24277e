// The environment's values, and references to them in texts, such as the
// folders of settings that name "%HOME%/Mail".
#pragma once

#include <string>

namespace halvorn {

// The environment variable's value, empty when it is not set. Safe from any
// thread while no thread changes the environment.
std::string GetEnvironmentVar(const std::string& name);

// The text with each %NAME% replaced by the value of the environment
// variable NAME (names compare exactly, as the environment does). A name that
// is not set, an empty name ("%%") and a "%" without a partner stay as
// written. When the expansion yields an empty text, or one longer than
// kMaxExpandedLength, the text is answered unchanged. Safe from any thread
// while no thread changes the environment.
std::string ExpandEnvironmentText(const std::string& text);

// The longest text ExpandEnvironmentText answers: a reference to a huge
// variable cannot make it fill memory.
inline constexpr std::size_t kMaxExpandedLength = 32767;

}  // namespace halvorn
