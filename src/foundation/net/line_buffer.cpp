#include "foundation/net/line_buffer.h"

namespace halvorn {

bool TLineBuffer::Append(std::string_view data) {
  if (FOverflowed) return false;
  const char* p = data.data();
  const char* end = p + data.size();
  while (p < end) {
    // Copy the run of ordinary bytes in one go.
    const char* q = p;
    while (q < end && *q != '\r' && *q != '\n' && *q != '\0') ++q;
    if (q > p) {
      FAfterCR = false;
      if (FPartial.size() + static_cast<std::size_t>(q - p) > FMaxLineLength) {
        FOverflowed = true;
        FPartial.clear();
        FPartial.shrink_to_fit();
        return false;
      }
      FPartial.append(p, static_cast<std::size_t>(q - p));
    }
    if (q == end) break;
    const char c = *q;
    p = q + 1;
    if (c == '\0') continue;  // dropped alone; a pending CR stays pending
    if (c == '\n' && FAfterCR) {
      FAfterCR = false;  // second half of CR LF
      continue;
    }
    FAfterCR = (c == '\r');
    FLines.push_back(std::move(FPartial));
    FPartial.clear();
  }
  return true;
}

bool TLineBuffer::TakeLine(std::string& line) {
  if (FLines.empty()) return false;
  line = std::move(FLines.front());
  FLines.pop_front();
  return true;
}

void TLineBuffer::Clear() {
  ResetInput();
  FAfterCR = false;
  FOverflowed = false;
}

void TLineBuffer::ResetInput() {
  FLines.clear();
  FPartial.clear();
}

}  // namespace halvorn
