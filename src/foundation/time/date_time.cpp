#include "foundation/time/date_time.h"

#include <time.h>

#include <array>
#include <cmath>
#include <limits>

#include "foundation/text/code_page_1252.h"
#include "foundation/text/numbers.h"
#include "foundation/text/text_helpers.h"
#include "foundation/time/clock.h"

namespace halvorn {

namespace {

constexpr std::int64_t kMsPerDay = 86400000;

constexpr std::array<const char*, 7> kShortDayNames = {"Sun", "Mon", "Tue", "Wed",
                                                       "Thu", "Fri", "Sat"};
constexpr std::array<const char*, 7> kLongDayNames = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                                      "Thursday", "Friday", "Saturday"};
constexpr std::array<const char*, 12> kShortMonthNames = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::array<const char*, 12> kLongMonthNames = {
    "January", "February", "March",     "April",   "May",      "June",
    "July",    "August",   "September", "October", "November", "December"};

// ---------------------------------------------------------------------------
// Day numbers

// Days since 1 Jan 1970 of a proleptic Gregorian date (Hinnant's algorithm).
std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy =
      (153 * static_cast<unsigned>(m > 2 ? m - 3 : m + 9) + 2) / 5 + static_cast<unsigned>(d) - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0));
}

// The day number (whole days since 30 Dec 1899, chronological) and the
// milliseconds into that day, after rounding to the millisecond. False for
// values outside the accepted range.
bool SplitDateTime(TDateTime value, std::int64_t& dayNumber, std::int64_t& msOfDay) {
  if (!std::isfinite(value)) return false;
  if (value < kMinDateTime - 1 || value > kMaxDateTime + 1) return false;
  double whole = std::trunc(value);
  std::int64_t day = static_cast<std::int64_t>(whole);
  std::int64_t ms = std::llround(std::fabs(value - whole) * static_cast<double>(kMsPerDay));
  if (ms >= kMsPerDay) {
    ms -= kMsPerDay;
    ++day;  // the next day in time, for negative day numbers too
  }
  if (day < static_cast<std::int64_t>(kMinDateTime) ||
      day >= static_cast<std::int64_t>(kMaxDateTime))
    return false;
  dayNumber = day;
  msOfDay = ms;
  return true;
}

// A date-time from a day number and a time-of-day fraction: before 30 Dec
// 1899 the fraction is subtracted, so it still counts forward from midnight.
TDateTime ComposeDateTime(double dayNumber, double timeOfDay) {
  return dayNumber >= 0 ? dayNumber + timeOfDay : dayNumber - timeOfDay;
}

// Days on one straight line (so that differences are durations) and back.
double ToLinear(TDateTime value) {
  if (value >= 0) return value;
  const double whole = std::trunc(value);
  return whole + (whole - value);
}

TDateTime FromLinear(double linear) {
  if (linear >= 0) return linear;
  const double day = std::floor(linear);
  return ComposeDateTime(day, linear - day);
}

// ---------------------------------------------------------------------------
// Small text helpers (bytes; every character up to the space is a blank:
// IsSpaceOrControlChar, TrimTextView)

// Takes the first word of `rest` (up to the next blank) and leaves the rest,
// trimmed, in `rest`.
std::string_view TakeWord(std::string_view& rest) {
  std::size_t end = 0;
  while (end < rest.size() && !IsSpaceOrControlChar(static_cast<unsigned char>(rest[end]))) ++end;
  const std::string_view word = rest.substr(0, end);
  rest = TrimTextView(rest.substr(end));
  return word;
}

// Only digits, 1 to 9 of them.
bool ReadDigits(std::string_view s, int& value) {
  if (s.empty() || s.size() > 9) return false;
  int v = 0;
  for (char c : s) {
    if (!IsDigitChar(static_cast<unsigned char>(c))) return false;
    v = v * 10 + (c - '0');
  }
  value = v;
  return true;
}

// An optional sign followed by digits, at most 2^31 either way.
bool IsDecimalInteger(std::string_view s) {
  std::int64_t value = 0;
  return ParseSignedDecimal(s, -2147483648LL, 2147483648LL, value);
}

void AppendNumber(std::string& out, int value, int width) {
  std::string digits = std::to_string(value);
  if (static_cast<int>(digits.size()) < width) out.append(width - digits.size(), '0');
  out += digits;
}

// ---------------------------------------------------------------------------
// Mail dates

struct TZoneName {
  const char* Name;
  double Hours;
};

// The zone names mail writers use, first match wins. BST and NZD are kept with
// the offsets the program has always given them.
constexpr TZoneName kZoneNames[] = {
    {"UT", 0},     {"GMT", 0},    {"EST", -5},  {"EDT", -4},   {"CST", -6},    {"CDT", -5},
    {"MST", -7},   {"MDT", -6},   {"PST", -8},  {"PDT", -7},   {"ATL", -4},    {"ALA", -9},
    {"HAW", -10},  {"AEST", 10},  {"AEDT", 11}, {"ACST", 9.5}, {"ACDT", 10.5}, {"AWST", 8},
    {"WET", 0},    {"AST", -4},   {"UTC", 0},   {"BST", -3},   {"GST", -3},    {"AKDT", -8},
    {"ADT", -3},   {"HDT", -9},   {"HST", -10}, {"SST", -11},  {"IST", 1},     {"WEST", 1},
    {"CET", 1},    {"CEST", 2},   {"EET", 2},   {"EEST", 3},   {"MSK", 3},     {"MSD", 4},
    {"NST", -3.5}, {"NDT", -2.5}, {"WST", -4},  {"WDT", -3},   {"AKS", -9},    {"AKD", -8},
    {"FST", -2},   {"FDT", -1},   {"YST", -9},  {"YDT", -8},   {"NZS", 12},    {"NZD", -1},
    {"EAS", 10},   {"EAD", 11},   {"CAS", 9.5}, {"CAD", 10.5}, {"JST", 9},     {"KST", 9},
    {"KDT", 10},   {"CCT", 8},    {"HKT", 8},   {"WAS", 8},    {"WAD", 9},     {"JT", 7.5},
    {"MEZ", 1},    {"MES", 2},    {"SWT", 1},   {"FWT", 1},    {"WAT", 1},
};

// Military zone letters: a-i = -1..-9 h, k-m = -10..-12 h, n-y = +1..+12 h,
// z = 0. False for any other character (j among them).
bool MilitaryZoneHours(char letter, int& hours) {
  const char c = static_cast<char>(LowerChar1252(static_cast<unsigned char>(letter)));
  if (c >= 'a' && c <= 'i') {
    hours = -(c - 'a' + 1);
  } else if (c >= 'k' && c <= 'm') {
    hours = -(c - 'k' + 10);
  } else if (c >= 'n' && c <= 'y') {
    hours = c - 'n' + 1;
  } else if (c == 'z') {
    hours = 0;
  } else {
    return false;
  }
  return true;
}

// "+hhmm", "-hhmm" or "hhmm" with minutes below 60.
bool ReadNumericZone(std::string_view word, double& days) {
  bool negative = false;
  if (!word.empty() && (word.front() == '+' || word.front() == '-')) {
    negative = word.front() == '-';
    word.remove_prefix(1);
  }
  int hours = 0;
  int minutes = 0;
  if (word.size() != 4 || !ReadDigits(word.substr(0, 2), hours) ||
      !ReadDigits(word.substr(2, 2), minutes) || minutes > 59)
    return false;
  days = hours / 24.0 + minutes / 1440.0;
  if (negative) days = -days;
  return true;
}

// The text with its parenthesised comments (nested, with backslash escapes)
// replaced by blanks, trimmed. An unclosed comment runs to the end.
std::string WithoutComments(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  std::size_t depth = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (depth > 0) {
      if (c == '\\') {
        ++i;
      } else if (c == '(') {
        ++depth;
      } else if (c == ')') {
        if (--depth == 0) out += ' ';
      }
    } else if (c == '(') {
      depth = 1;
    } else {
      out += c;
    }
  }
  return std::string(TrimTextView(out));
}

std::string ReplaceColonBlank(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    out += s[i];
    if (s[i] == ':' && i + 1 < s.size() && s[i + 1] == ' ') ++i;
  }
  return out;
}

// "h:m" or "h:m:s", one or two digits each. A leap second (60) reads as 59.
bool ReadTime(std::string_view s, TDateTime& result) {
  int parts[3] = {0, 0, 0};
  int count = 0;
  while (true) {
    const std::size_t colon = s.find(':');
    if (count == 3) return false;
    const std::string_view piece = s.substr(0, colon);
    if (piece.size() > 2 || !ReadDigits(piece, parts[count])) return false;
    ++count;
    if (colon == std::string_view::npos) break;
    s.remove_prefix(colon + 1);
  }
  if (count < 2) return false;
  if (parts[2] == 60) parts[2] = 59;
  return TryEncodeTime(parts[0], parts[1], parts[2], 0, result);
}

int MonthNumber(std::string_view name) {
  for (std::size_t i = 0; i < kShortMonthNames.size(); ++i)
    if (SameText1252(name, kShortMonthNames[i])) return static_cast<int>(i) + 1;
  return 0;
}

bool IsDayName(std::string_view name) {
  for (const char* day : kShortDayNames)
    if (SameText1252(name, day)) return true;
  return false;
}

// The current year's last two digits, as a text.
std::string CurrentYearDigits() {
  TDateTimeFields now;
  int year = TryDecodeDateTime(Now(), now) ? now.Year : 2000;
  std::string out;
  AppendNumber(out, year % 100, 2);
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// Calendar

bool IsLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

bool IsValidDate(int year, int month, int day) {
  return year >= 1 && year <= 9999 && day >= 1 && day <= DaysInMonth(year, month);
}

bool IsValidTime(int hour, int minute, int second, int millisecond) {
  return hour >= 0 && hour < 24 && minute >= 0 && minute < 60 && second >= 0 && second < 60 &&
         millisecond >= 0 && millisecond < 1000;
}

bool TryEncodeDate(int year, int month, int day, TDateTime& result) {
  if (!IsValidDate(year, month, day)) return false;
  result = static_cast<double>(DaysFromCivil(year, month, day)) + kUnixEpochDateTime;
  return true;
}

bool TryEncodeTime(int hour, int minute, int second, int millisecond, TDateTime& result) {
  if (!IsValidTime(hour, minute, second, millisecond)) return false;
  result = static_cast<double>(((hour * 60 + minute) * 60 + second) * 1000 + millisecond) /
           static_cast<double>(kMsPerDay);
  return true;
}

bool TryEncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                       int millisecond, TDateTime& result) {
  TDateTime date = 0;
  TDateTime time = 0;
  if (!TryEncodeDate(year, month, day, date) ||
      !TryEncodeTime(hour, minute, second, millisecond, time))
    return false;
  result = ComposeDateTime(date, time);
  return true;
}

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                         int millisecond) {
  TDateTime result = 0;
  if (!TryEncodeDateTime(year, month, day, hour, minute, second, millisecond, result))
    throw EConvertError("Invalid argument to date encode");
  return result;
}

bool TryDecodeDateTime(TDateTime value, TDateTimeFields& fields) {
  std::int64_t day = 0;
  std::int64_t ms = 0;
  if (!SplitDateTime(value, day, ms)) return false;
  TDateTimeFields f;
  CivilFromDays(day - static_cast<std::int64_t>(kUnixEpochDateTime), f.Year, f.Month, f.Day);
  f.Millisecond = static_cast<int>(ms % 1000);
  f.Second = static_cast<int>(ms / 1000 % 60);
  f.Minute = static_cast<int>(ms / 60000 % 60);
  f.Hour = static_cast<int>(ms / 3600000);
  f.DayOfWeek = static_cast<int>(((day % 7) + 7 + 6) % 7) + 1;  // day 0 was a Saturday
  fields = f;
  return true;
}

TDateTimeFields DecodeDateTime(TDateTime value) {
  TDateTimeFields fields;
  if (!TryDecodeDateTime(value, fields)) throw EConvertError("Invalid argument to date decode");
  return fields;
}

int DayOfWeek(TDateTime value) {
  TDateTimeFields fields;
  return TryDecodeDateTime(value, fields) ? fields.DayOfWeek : 0;
}

TDateTime UnixToDateTime(std::int64_t seconds) {
  return FromLinear(static_cast<double>(seconds) / 86400.0 + kUnixEpochDateTime);
}

std::int64_t DateTimeToUnix(TDateTime value) {
  if (!std::isfinite(value)) return 0;
  if (value < kMinDateTime) value = kMinDateTime;
  if (value > kMaxDateTime) value = kMaxDateTime;
  return std::llround((ToLinear(value) - kUnixEpochDateTime) * 86400.0);
}

TDateTime UtcToLocal(TDateTime utc) {
  const long offset = UtcOffsetSecondsAt(DateTimeToUnix(utc));
  return FromLinear(ToLinear(utc) + offset / 86400.0);
}

TDateTime LocalToUtc(TDateTime local) {
  // The offset at the local time read as UTC is off by at most the offset
  // itself; one more look-up settles it except within a change of the clocks.
  const std::int64_t asUtc = DateTimeToUnix(local);
  const long guess = UtcOffsetSecondsAt(asUtc);
  const long offset = UtcOffsetSecondsAt(asUtc - guess);
  return FromLinear(ToLinear(local) - offset / 86400.0);
}

std::string FormatDateTime(std::string_view format, TDateTime value) {
  TDateTimeFields f;
  if (!TryDecodeDateTime(value, f)) return {};
  std::string out;
  std::size_t i = 0;
  while (i < format.size()) {
    const char c = format[i];
    if (c == '"' || c == '\'') {
      std::size_t end = format.find(c, i + 1);
      if (end == std::string_view::npos) end = format.size();
      out.append(format.substr(i + 1, end - i - 1));
      i = end + 1;
      continue;
    }
    const char lower = static_cast<char>(LowerChar1252(static_cast<unsigned char>(c)));
    std::size_t run = 1;
    while (i + run < format.size() && LowerChar1252(static_cast<unsigned char>(format[i + run])) ==
                                          static_cast<unsigned char>(lower))
      ++run;
    switch (lower) {
      case 'y':
        if (run >= 3) {
          AppendNumber(out, f.Year, 4);
        } else {
          AppendNumber(out, f.Year % 100, 2);
        }
        break;
      case 'm':
        if (run >= 4) {
          out += kLongMonthNames[f.Month - 1];
        } else if (run == 3) {
          out += kShortMonthNames[f.Month - 1];
        } else {
          AppendNumber(out, f.Month, static_cast<int>(run));
        }
        break;
      case 'd':
        if (run >= 4) {
          out += kLongDayNames[f.DayOfWeek - 1];
        } else if (run == 3) {
          out += kShortDayNames[f.DayOfWeek - 1];
        } else {
          AppendNumber(out, f.Day, static_cast<int>(run));
        }
        break;
      case 'h':
        AppendNumber(out, f.Hour, run >= 2 ? 2 : 1);
        break;
      case 'n':
        AppendNumber(out, f.Minute, run >= 2 ? 2 : 1);
        break;
      case 's':
        AppendNumber(out, f.Second, run >= 2 ? 2 : 1);
        break;
      case 'z':
        AppendNumber(out, f.Millisecond, run >= 2 ? 3 : 1);
        break;
      default:
        out.append(format.substr(i, run));
        break;
    }
    i += run;
  }
  return out;
}

std::string ShortDateText(TDateTime value) {
  return FormatDateTime(kShortDateFormat, value);
}

// ---------------------------------------------------------------------------
// Zone and mail dates

TDateTime LocalTimeZoneBias() {
  return UtcOffsetSecondsAt(DateTimeToUnix(NowUtc())) / 86400.0;
}

std::string DateTimeToRfc822(TDateTime zone, TDateTime value) {
  std::string out = FormatDateTime("ddd, d mmm yyyy hh:nn:ss ", value);
  if (out.empty()) return out;
  if (!std::isfinite(zone)) zone = 0;
  out += zone > 0 ? '+' : '-';
  // Four digits whatever the value: offsets beyond 99:59 are not zones.
  std::int64_t minutes = std::llround(std::fabs(zone) * 1440.0);
  if (minutes > 99 * 60 + 59) minutes = 99 * 60 + 59;
  AppendNumber(out, static_cast<int>(minutes / 60), 2);
  AppendNumber(out, static_cast<int>(minutes % 60), 2);
  return out;
}

std::uint16_t ParseDateTime(std::string_view text, TDateTime& dt, TDateTime& zone) {
  std::string_view rest = TrimTextView(text);
  if (rest.empty()) return kDateIrregular | kDateEmpty;

  std::uint16_t flags = 0;
  std::string_view weekdayWord;
  std::string_view dayWord = TakeWord(rest);
  if (!IsDecimalInteger(dayWord)) {
    weekdayWord = dayWord;
    // "Wed,29 May 2002 ...": the blank after the comma is optional.
    const std::size_t comma = weekdayWord.find(',');
    if (comma != std::string_view::npos && comma + 1 < weekdayWord.size()) {
      dayWord = weekdayWord.substr(comma + 1);
      weekdayWord = weekdayWord.substr(0, comma + 1);
    } else {
      dayWord = TakeWord(rest);
    }
  } else {
    flags |= kDateNoWeekday | kDateIrregular;
  }
  const std::string_view monthWord = TakeWord(rest);
  const std::string_view yearWord = TakeWord(rest);

  // "10: 15: 00" is a time too. Everything after the time word is the zone,
  // less any comment such as "(CET)".
  const std::string tail = ReplaceColonBlank(rest);
  std::string_view tailView = tail;
  const std::string_view timeWord = TakeWord(tailView);
  const std::string zoneWord = WithoutComments(tailView);

  // The weekday word loses its last character (the comma).
  std::string_view weekday;
  if (!weekdayWord.empty()) {
    weekday = TrimTextView(weekdayWord.substr(0, weekdayWord.size() - 1));
    if (!weekday.empty() && !IsDayName(weekday)) flags |= kDateBadWeekday | kDateIrregular;
  }

  // Two-digit years pivot on the current year; three-digit years count from
  // 1900 as RFC 5322 has it. A one-digit year is not a year.
  int year = 0;
  bool yearRead = false;
  if (!yearWord.empty() && yearWord.size() < 4 && ReadDigits(yearWord, year)) {
    if (yearWord.size() == 2) {
      flags |= kDateYearCompleted;
      year += yearWord > std::string_view(CurrentYearDigits()) ? 1900 : 2000;
      yearRead = true;
    } else if (yearWord.size() == 3) {
      flags |= kDateYearCompleted;
      year += 1900;
      yearRead = true;
    }
  } else {
    yearRead = ReadDigits(yearWord, year);
  }

  int day = 0;
  const int month = MonthNumber(monthWord);
  TDateTime date = 0;
  const bool dateRead =
      yearRead && month != 0 && ReadDigits(dayWord, day) && TryEncodeDate(year, month, day, date);
  if (!dateRead) flags |= kDateBadDate | kDateIrregular;

  if (dateRead && !weekday.empty()) {
    const int dow = DayOfWeek(date);
    if (dow == 0 || !SameText1252(weekday, kShortDayNames[dow - 1]))
      flags |= kDateWrongWeekday | kDateIrregular;
  }

  // Without a date the time is checked but not applied: adding it to the
  // caller's fallback would make a time that no one wrote.
  TDateTime time = 0;
  const bool timeRead = ReadTime(timeWord, time);
  if (!timeRead) flags |= kDateBadTime | kDateIrregular;
  if (dateRead) dt = timeRead ? ComposeDateTime(date, time) : date;

  if (zoneWord.empty()) {
    flags |= kDateNoZone | kDateIrregular;
  } else if (zoneWord.size() == 1) {
    flags |= kDateZoneLetter;
    int hours = 0;
    if (MilitaryZoneHours(zoneWord[0], hours)) {
      zone = hours / 24.0;
    } else {
      flags |= kDateZoneUnknown | kDateIrregular;
    }
  } else if (IsDecimalInteger(zoneWord)) {
    flags |= kDateZoneNumeric;
    double days = 0;
    if (ReadNumericZone(zoneWord, days)) {
      zone = days;
    } else {
      flags |= kDateZoneUnknown | kDateIrregular;
    }
  } else {
    flags |= kDateZoneName;
    bool found = false;
    for (const TZoneName& entry : kZoneNames) {
      if (SameText1252(zoneWord, entry.Name)) {
        zone = entry.Hours / 24.0;
        found = true;
        break;
      }
    }
    if (!found) flags |= kDateZoneUnknown | kDateIrregular;
  }
  return flags;
}

std::string LastDatePart(std::string_view text) {
  if (text.empty()) return {};
  std::size_t end = text.size();
  std::string_view lastPiece;
  bool first = true;
  while (true) {
    const std::size_t semicolon = end == 0 ? std::string_view::npos : text.rfind(';', end - 1);
    const std::size_t start = semicolon == std::string_view::npos ? 0 : semicolon + 1;
    const std::string_view piece = text.substr(start, end - start);
    if (first) {
      lastPiece = piece;
      first = false;
    }
    const std::string_view trimmed = TrimTextView(piece);
    TDateTime dt = 0;
    TDateTime zone = 0;
    if ((ParseDateTime(trimmed, dt, zone) & kDateIrregular) == 0) return std::string(trimmed);
    if (semicolon == std::string_view::npos) break;
    end = semicolon;
  }
  return std::string(lastPiece);
}

bool ParseIsoDateTime(std::string_view text, TDateTime& result) {
  const std::size_t t = text.find('T');
  if (t == std::string_view::npos) return false;
  auto readThree = [](std::string_view s, char separator, int(&parts)[3]) {
    for (int i = 0; i < 3; ++i) {
      const std::size_t sep = i < 2 ? s.find(separator) : std::string_view::npos;
      if (i < 2 && sep == std::string_view::npos) return false;
      if (!ReadDigits(s.substr(0, sep), parts[i])) return false;
      if (i < 2) s.remove_prefix(sep + 1);
    }
    return true;
  };
  int date[3];
  int time[3];
  if (!readThree(text.substr(0, t), '-', date) || !readThree(text.substr(t + 1), ':', time))
    return false;
  return TryEncodeDateTime(date[0], date[1], date[2], time[0], time[1], time[2], 0, result);
}

// ---------------------------------------------------------------------------
// File times and DOS file dates

TDateTime FileTimeToDateTime(std::uint64_t fileTime) {
  constexpr std::int64_t kTicksPerSecond = 10000000;
  constexpr std::int64_t kUnixEpochSeconds = 11644473600;  // 1601 to 1970
  const std::int64_t unixSeconds =
      static_cast<std::int64_t>(fileTime / kTicksPerSecond) - kUnixEpochSeconds;
  const long offset = UtcOffsetSecondsAt(unixSeconds);
  const __int128 local =
      static_cast<__int128>(fileTime) + static_cast<__int128>(offset) * kTicksPerSecond;
  const double linear = static_cast<double>(local - 94353120000000000LL) / 864000000000.0;
  return FromLinear(linear);
}

TDateTime FileTimeToLocalDateTime(std::uint32_t low, std::uint32_t high) {
  return FileTimeToDateTime(static_cast<std::uint64_t>(high) << 32 | low);
}

TDateTime FileDateTextToDateTime(std::string_view text) {
  auto fail = [text](const char* what) {
    std::string shown(text.substr(0, 100));
    return EConvertError("'" + shown + "' is not a valid " + what);
  };
  std::int64_t value = 0;
  if (!ParseSignedDecimal(text, std::numeric_limits<std::int32_t>::min(),
                          std::numeric_limits<std::uint32_t>::max(), value))
    throw fail("integer value");
  const auto packed = static_cast<std::uint32_t>(value);
  const std::uint32_t date = packed >> 16;
  const std::uint32_t time = packed & 0xFFFF;
  TDateTime result = 0;
  if (!TryEncodeDateTime(static_cast<int>((date >> 9) + 1980), static_cast<int>((date >> 5) & 15),
                         static_cast<int>(date & 31), static_cast<int>(time >> 11),
                         static_cast<int>((time >> 5) & 63), static_cast<int>((time & 31) * 2), 0,
                         result))
    throw fail("DOS file date");
  return result;
}

std::string DateTimeToFileDateText(TDateTime value) {
  TDateTimeFields f;
  if (!TryDecodeDateTime(value, f) || f.Year < 1980 || f.Year > 2107) return "0";
  const std::uint32_t date = static_cast<std::uint32_t>(f.Year - 1980) << 9 |
                             static_cast<std::uint32_t>(f.Month) << 5 |
                             static_cast<std::uint32_t>(f.Day);
  const std::uint32_t time = static_cast<std::uint32_t>(f.Hour) << 11 |
                             static_cast<std::uint32_t>(f.Minute) << 5 |
                             static_cast<std::uint32_t>(f.Second / 2);
  return std::to_string(static_cast<std::int32_t>(date << 16 | time));
}

// ---------------------------------------------------------------------------
// Time of day as an integer

std::int32_t TimeOfDayToInt(TDateTime value) {
  if (!std::isfinite(value)) return 0;
  const double fraction = std::fabs(value - std::trunc(value));
  return static_cast<std::int32_t>(fraction * 2147483647.0);
}

TDateTime TimeOfDayFromInt(std::int32_t value) {
  return value == 0 ? 0.0 : static_cast<double>(value) / 2147483647.0;
}

// ---------------------------------------------------------------------------
// Clock-safe timer checks

TDateTime ElapsedSince(TDateTime& stored) {
  const TDateTime now = Now();
  const TDateTime elapsed = now - stored;
  if (elapsed < 0) {
    stored = now;
    return 0;
  }
  return elapsed;
}

bool TimerElapsed(TDateTime& deadline, std::int64_t periodMs) {
  const TDateTime now = Now();
  const double remaining = DateTimeToMs(deadline - now);
  const double slack = static_cast<double>(periodMs) + 1000.0;
  if (periodMs >= 1000 && (remaining > slack || remaining < -slack)) {
    deadline = now;
    return true;
  }
  return remaining < 0;
}

std::int32_t ThreadCpuTime() {
  timespec ts{};
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) != 0) return 0;
  const std::uint64_t ns = static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ULL +
                           static_cast<std::uint64_t>(ts.tv_nsec);
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(ns / 100000));
}

std::int64_t MsToMinutes(std::int64_t ms) {
  std::int64_t minutes = ms / 60000;
  std::int64_t remainder = ms % 60000;
  if (remainder < 0) {
    remainder += 60000;
    --minutes;
  }
  if (remainder > 30000 || (remainder == 30000 && minutes % 2 != 0)) ++minutes;
  return minutes;
}

}  // namespace halvorn
