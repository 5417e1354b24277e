#include "foundation/text/environment_texts.h"

#include <cstdlib>

namespace halvorn {

std::string GetEnvironmentVar(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  return value ? std::string(value) : std::string();
}

std::string ExpandEnvironmentText(const std::string& text) {
  if (text.find('%') == std::string::npos) return text;
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t open = text.find('%', i);
    if (open == std::string::npos) {
      out.append(text, i, std::string::npos);
      break;
    }
    out.append(text, i, open - i);
    std::size_t close = text.find('%', open + 1);
    if (close == std::string::npos) {
      out.append(text, open, std::string::npos);
      break;
    }
    std::string name = text.substr(open + 1, close - open - 1);
    const char* value =
        name.empty() || name.find('\0') != std::string::npos ? nullptr : std::getenv(name.c_str());
    if (value) {
      out += value;
      i = close + 1;
    } else {
      // Not a reference: keep "%NAME" and let the closing "%" start the next.
      out.append(text, open, close - open);
      i = close;
    }
    if (out.size() > kMaxExpandedLength) return text;
  }
  if (out.empty() || out.size() > kMaxExpandedLength) return text;
  return out;
}

}  // namespace halvorn
