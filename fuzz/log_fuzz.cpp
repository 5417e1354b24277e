// Feeds arbitrary bytes to the reader of log record lines, which the log
// viewer runs over whatever file it is pointed at. Whatever the line, the
// reader must answer a time of day within one day either side of midnight.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "foundation/app/log.h"

using namespace halvorn;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  const TLogRec rec = ParseLogLine(line);
  if (!std::isfinite(rec.Time) || std::fabs(rec.Time) > 1.0) std::abort();
  if (rec.Service.size() > size || rec.Text.size() > size) std::abort();
  return 0;
}
