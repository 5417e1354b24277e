// Dates and times.
//
// Every time in the program is a date-time: days since 30 December 1899 as a
// double, the fraction being the time of day. A date before that day has a
// negative whole part while its fraction still counts forward from midnight
// (-1.25 is 29 December 1899, 06:00). This file holds the calendar, the RFC 822
// dates of mail headers, the unit conversions, file-time and DOS-date
// conversions and the clock-safe timer checks. "Now" comes from clock.h.
//
// Every function here is safe from any thread and never raises unless it says
// so.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace halvorn {

using TDateTime = double;

// Raised where a text or value cannot be converted (a number that is not a
// number, a date that does not exist).
class EConvertError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// 1 January 1970 00:00 as a date-time.
inline constexpr TDateTime kUnixEpochDateTime = 25569.0;
// The range every conversion accepts: 1 January 0001 to 31 December 9999.
inline constexpr TDateTime kMinDateTime = -693593.0;
inline constexpr TDateTime kMaxDateTime = 2958466.0;  // exclusive

// ---------------------------------------------------------------------------
// Calendar (proleptic Gregorian, years 1 to 9999)

struct TDateTimeFields {
  int Year = 0;
  int Month = 0;  // 1 to 12
  int Day = 0;    // 1 to 31
  int Hour = 0;
  int Minute = 0;
  int Second = 0;
  int Millisecond = 0;
  int DayOfWeek = 0;  // 1 Sunday ... 7 Saturday
};

bool IsLeapYear(int year);
int DaysInMonth(int year, int month);  // 0 when the month is not 1 to 12
bool IsValidDate(int year, int month, int day);
bool IsValidTime(int hour, int minute, int second, int millisecond);

// False (and `result` untouched) when a field is out of range.
bool TryEncodeDate(int year, int month, int day, TDateTime& result);
bool TryEncodeTime(int hour, int minute, int second, int millisecond, TDateTime& result);
bool TryEncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                       int millisecond, TDateTime& result);
// Raises EConvertError when a field is out of range.
TDateTime EncodeDateTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                         int millisecond = 0);

// Splits a date-time into its fields after rounding it to the nearest
// millisecond, so 10:15:00 stored as 10:14:59.99999 reads as 10:15:00. False
// for NaN, infinities and values outside kMinDateTime..kMaxDateTime.
bool TryDecodeDateTime(TDateTime value, TDateTimeFields& fields);
// The same; raises EConvertError where TryDecodeDateTime answers false.
TDateTimeFields DecodeDateTime(TDateTime value);

// 1 Sunday ... 7 Saturday; 0 for a value outside the range.
int DayOfWeek(TDateTime value);

// Seconds since 1 Jan 1970 (no zone conversion) and back; DateTimeToUnix
// rounds to the nearest second.
TDateTime UnixToDateTime(std::int64_t seconds);
std::int64_t DateTimeToUnix(TDateTime value);

// Local date-time of a UTC date-time and back, by the zone at that moment.
TDateTime UtcToLocal(TDateTime utc);
TDateTime LocalToUtc(TDateTime local);

// Formats a date-time. Tokens: "yyyy" "yy" year; "mmmm" "mmm" "mm" "m" month
// (name, short name, two digits, digits); "dddd" "ddd" "dd" "d" day (name,
// short name, two digits, digits); "hh" "h" hour (24-hour clock); "nn" "n"
// minute; "ss" "s" second; "zzz" millisecond. "m" always means the month (use
// "n" for minutes). Text in double or single quotes is copied without the
// quotes; every other character is copied. English names. An empty text for
// a value outside the range.
std::string FormatDateTime(std::string_view format, TDateTime value);

// The program's one short date format, used wherever a date is shown or read
// "in the short date format".
inline constexpr const char* kShortDateFormat = "mm/d/yyyy";
std::string ShortDateText(TDateTime value);

// ---------------------------------------------------------------------------
// Zone and mail dates

// Local time minus UTC now, in days, daylight saving included; 0 when the zone
// cannot be read.
TDateTime LocalTimeZoneBias();

// "Tue, 3 Dec 2002 10:15:00 +0100": the date-time as written in a zone that is
// `zone` days east of UTC. A zone of 0 or below is written with "-" (so UTC is
// "-0000"). An empty text for a value outside the range.
std::string DateTimeToRfc822(TDateTime zone, TDateTime value);

// Result bits of ParseDateTime.
enum : std::uint16_t {
  kDateIrregular = 0x0001,      // not a complete, regular date: the bit callers test
  kDateEmpty = 0x0002,          // empty text
  kDateZoneLetter = 0x0004,     // the zone is one letter
  kDateZoneNumeric = 0x0008,    // the zone is a numeric offset
  kDateZoneName = 0x0010,       // the zone is a name
  kDateNoZone = 0x0020,         // no zone
  kDateZoneUnknown = 0x0040,    // the zone is not recognised
  kDateBadWeekday = 0x0080,     // the weekday is not a known name
  kDateWrongWeekday = 0x0100,   // the weekday does not match the date
  kDateNoWeekday = 0x0200,      // no weekday
  kDateBadTime = 0x0800,        // the time is not readable
  kDateBadDate = 0x1000,        // the date is not readable
  kDateYearCompleted = 0x2000,  // a two- or three-digit year was completed
};

// Reads an RFC 822 style date ("Tue, 3 Dec 2002 10:15:00 +0100" and its common
// variants) and answers the flag bits above. On success of the date part `dt`
// becomes the date and time as written (in the writer's zone; UTC is dt -
// zone); when the date cannot be read `dt` keeps its value, so callers set it
// to a fallback (usually Now()) beforehand. `zone` (days east of UTC) is set
// only when the zone was recognised. Never raises; any text, of any length, is
// accepted.
std::uint16_t ParseDateTime(std::string_view text, TDateTime& dt, TDateTime& zone);

// The last ";"-separated piece of the text, trimmed, that ParseDateTime reads
// without kDateIrregular, trying from the last piece backwards (the date of a
// Received line). When none does, the last piece untrimmed; "" for "".
std::string LastDatePart(std::string_view text);

// "2003-01-05T10:15:00": every part a whole decimal number, the date and time
// valid. False (and `result` untouched) otherwise, including for fractions of
// a second and zone suffixes.
bool ParseIsoDateTime(std::string_view text, TDateTime& result);

// ---------------------------------------------------------------------------
// File times and DOS file dates

// A Windows file time (100 ns units since 1 Jan 1601, UTC) as a local
// date-time, by the zone at that moment.
TDateTime FileTimeToDateTime(std::uint64_t fileTime);
// The same file time as its low and high 32-bit halves.
TDateTime FileTimeToLocalDateTime(std::uint32_t low, std::uint32_t high);

// A DOS file date-time (date in the high 16 bits, time in the low 16 bits,
// two-second steps) given as decimal text, as a date-time. Raises
// EConvertError when the text is not a 32-bit integer or the packed date or
// time does not exist.
TDateTime FileDateTextToDateTime(std::string_view text);
// The DOS file date-time of a date-time as signed decimal text; "0" for a date
// outside 1980 to 2107.
std::string DateTimeToFileDateText(TDateTime value);

// ---------------------------------------------------------------------------
// Time of day as an integer (the Ti field of log records)

// The time-of-day fraction x 2147483647, truncated; 0 for NaN.
std::int32_t TimeOfDayToInt(TDateTime value);
// value / 2147483647.
TDateTime TimeOfDayFromInt(std::int32_t value);

// ---------------------------------------------------------------------------
// Clock-safe timer checks

// Now minus `stored`. When that is negative (the clock was set back) `stored`
// is set to now and 0 is answered.
TDateTime ElapsedSince(TDateTime& stored);

// True when the deadline has passed. When the period is at least 1000 ms and
// the deadline is more than period + 1000 ms away from now in either direction
// (the clock was set back or forward), the deadline is set to now and the
// answer is true. The caller sets the next deadline itself.
bool TimerElapsed(TDateTime& deadline, std::int64_t periodMs);

// Kernel plus user CPU time of the calling thread in units of 100 us,
// wrapping at 32 bits.
std::int32_t ThreadCpuTime();

// ---------------------------------------------------------------------------
// Unit conversions

inline TDateTime MsToDateTime(double ms) {
  return ms / 86400000.0;
}
inline double DateTimeToMs(TDateTime days) {
  return days * 86400000.0;
}
inline TDateTime SecondsToDateTime(double s) {
  return s / 86400.0;
}
inline double DateTimeToSeconds(TDateTime days) {
  return days * 86400.0;
}
inline TDateTime MinutesToDateTime(double minutes) {
  return minutes / 1440.0;
}
inline double DateTimeToMinutes(TDateTime days) {
  return days * 1440.0;
}
inline TDateTime HoursToDateTime(double hours) {
  return hours / 24.0;
}
inline double DateTimeToHours(TDateTime days) {
  return days * 24.0;
}

// Whole minutes nearest to the milliseconds, halves to the even minute.
std::int64_t MsToMinutes(std::int64_t ms);
inline std::int64_t MinutesToMs(std::int64_t minutes) {
  return minutes * 60000;
}

}  // namespace halvorn
