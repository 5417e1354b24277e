// Feeds arbitrary bytes to the readers of dates from outside: Date headers,
// Received lines and ISO date-times. Whatever they answer, a date that reads
// must be a real date, and a regular date must read back the same once written.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "foundation/time/clock.h"
#include "foundation/time/date_time.h"

using namespace halvorn;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool clockSet = [] {
    SetZoneForTests(0);
    SetClockForTests(EncodeDateTime(2026, 6, 1, 12, 0, 0, 0));
    return true;
  }();
  (void)clockSet;
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  TDateTime dt = 0;
  TDateTime zone = 0;
  const std::uint16_t flags = ParseDateTime(text, dt, zone);
  if ((flags & kDateBadDate) == 0) {
    TDateTimeFields fields;
    if (!TryDecodeDateTime(dt, fields)) std::abort();
  }
  if ((flags & kDateIrregular) == 0) {
    // A regular date has a zone and a time: writing it and reading it again
    // gives the same moment.
    const std::string written = DateTimeToRfc822(zone, dt);
    TDateTime dt2 = 0;
    TDateTime zone2 = 0;
    const std::uint16_t flags2 = ParseDateTime(written, dt2, zone2);
    if ((flags2 & kDateIrregular) != 0) std::abort();
    if (std::fabs((dt - zone) - (dt2 - zone2)) > 1.0 / 86400.0) std::abort();
  }

  const std::string last = LastDatePart(text);
  if (last.size() > text.size()) std::abort();

  TDateTime iso = 0;
  if (ParseIsoDateTime(text, iso)) {
    TDateTimeFields fields;
    if (!TryDecodeDateTime(iso, fields)) std::abort();
  }
  return 0;
}
