// Feeds any bytes to the line splitter twice, whole and cut where the first
// byte says, with a small cap: both must give the same lines, no line may hold
// a line end or a NUL, and no line or partial line may pass the cap.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/net/line_buffer.h"

namespace {

struct Result {
  std::vector<std::string> Lines;
  std::string Partial;
  bool Overflowed;
};

Result Split(std::string_view input, std::size_t step) {
  halvorn::TLineBuffer buffer(64);
  for (std::size_t pos = 0; pos < input.size(); pos += step) buffer.Append(input.substr(pos, step));
  Result r{{}, buffer.PartialLine(), buffer.Overflowed()};
  std::string line;
  while (buffer.TakeLine(line)) r.Lines.push_back(line);
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t step = 1 + data[0] % 16;
  std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  Result whole = Split(input, input.size() + 1);
  Result cut = Split(input, step);
  if (whole.Overflowed != cut.Overflowed || whole.Partial != cut.Partial) std::abort();
  if (whole.Lines != cut.Lines) std::abort();
  for (const std::string& line : cut.Lines) {
    if (line.size() > 64 || line.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
      std::abort();
  }
  if (cut.Partial.size() > 64) std::abort();
  return 0;
}
