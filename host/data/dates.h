// Calendar arithmetic for date and time values.
//
// Dates and date-times are held as numbers: seconds since 1582-10-14
// 00:00:00 in the proleptic Gregorian calendar (the first day of that
// calendar's adoption, so historic data keeps small positive values).
// Times of day and durations are plain seconds. Everything here is
// header-only and allocation-free so that the CSV reader's hot loop and the
// output's value formatting can share it.
#pragma once

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>

#include "host/common/text.h"

namespace host::dates {

// Days since 1970-01-01 of a proleptic Gregorian date (month 1-12, day 1-31).
// Howard Hinnant's days_from_civil: exact for any year an int64 can hold.
constexpr std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(year - era * 400);                        // [0, 399]
  const unsigned doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;  // [0, 365]
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;                          // [0, 146096]
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

struct CivilDate {
  std::int64_t year;
  unsigned month;  // 1-12
  unsigned day;    // 1-31
};

// The inverse of DaysFromCivil.
constexpr CivilDate CivilFromDays(std::int64_t days) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(days - era * 146097);             // [0, 146096]
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // [0, 399]
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);                // [0, 365]
  const unsigned mp = (5 * doy + 2) / 153;                                     // [0, 11]
  const unsigned day = doy - (153 * mp + 2) / 5 + 1;
  const unsigned month = mp < 10 ? mp + 3 : mp - 9;
  return CivilDate{static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

constexpr bool IsLeapYear(std::int64_t year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

constexpr unsigned DaysInMonth(std::int64_t year, unsigned month) {
  constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Day number of 1582-10-14, the origin of date values.
inline constexpr std::int64_t kEpochDays = DaysFromCivil(1582, 10, 14);
inline constexpr double kSecondsPerDay = 86400.0;

// Seconds since the origin of midnight of a date.
constexpr double SecondsFromCivil(std::int64_t year, unsigned month, unsigned day) {
  return static_cast<double>(DaysFromCivil(year, month, day) - kEpochDays) * kSecondsPerDay;
}

// A date value split into its calendar day and the seconds into that day.
struct DateTimeParts {
  CivilDate date;
  unsigned hour;
  unsigned minute;
  double second;           // with its fraction
  std::int64_t dayNumber;  // days since the origin
};

// True when a value can be shown as a calendar date: finite and within
// about a hundred million years of the origin.
inline bool InDateRange(double seconds) { return std::fabs(seconds) < 3e15; }

// Splits a date or date-time value (seconds since the origin). Values before
// the origin work too; the seconds into the day are always in [0, 86400).
// Values outside InDateRange are taken as the origin.
inline DateTimeParts PartsFromSeconds(double seconds) {
  if (!InDateRange(seconds)) seconds = 0.0;
  double dayCount = std::floor(seconds / kSecondsPerDay);
  double rest = seconds - dayCount * kSecondsPerDay;
  if (rest >= kSecondsPerDay) {  // rounding at the top of a day
    rest -= kSecondsPerDay;
    dayCount += 1;
  }
  const auto days = static_cast<std::int64_t>(dayCount);
  DateTimeParts p{};
  p.dayNumber = days;
  p.date = CivilFromDays(days + kEpochDays);
  const auto whole = static_cast<unsigned>(rest);
  p.hour = whole / 3600;
  p.minute = whole / 60 % 60;
  p.second = rest - static_cast<double>(p.hour * 3600 + p.minute * 60);
  return p;
}

// Day of the week of a day number since the origin: 1 Sunday ... 7 Saturday.
// (1582-10-14 was a Thursday.)
constexpr unsigned Weekday(std::int64_t daysSinceOrigin) {
  const std::int64_t r = ((daysSinceOrigin + 4) % 7 + 7) % 7;  // 0 Sunday
  return static_cast<unsigned>(r) + 1;
}

// Day of the year, 1-366.
constexpr unsigned DayOfYear(const CivilDate& d) {
  return static_cast<unsigned>(DaysFromCivil(d.year, d.month, d.day) - DaysFromCivil(d.year, 1, 1)) + 1;
}

namespace detail {
// Reads exactly n digits at text[pos]; false when they are not all digits.
constexpr bool Digits(std::string_view text, std::size_t pos, std::size_t n, unsigned& value) {
  if (pos + n > text.size()) return false;
  value = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const char c = text[pos + i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return true;
}

// The digits after a decimal point as the double nearest their value (a sum
// of tenths, hundredths, ... would round at every step: ".3" gave
// 0.30000000000000004). Digits past the 38th cannot change a double here.
inline double DecimalFraction(std::string_view digits) {
  double fraction = 0.0;
  if (digits.empty()) return fraction;
  char buffer[40] = {'0', '.'};
  const std::size_t n = std::min(digits.size(), sizeof buffer - 2);
  std::copy_n(digits.data(), n, buffer + 2);
  std::from_chars(buffer, buffer + 2 + n, fraction);
  return fraction;
}

// A UTC offset "+HH:MM", "+HHMM" or "+HH" (or "-"), the whole of zone, in
// seconds east of UTC. Zero is how tools write UTC where others write "Z"
// (pandas and Python's isoformat "+00:00", also "+0000", "+00", "-00:00").
constexpr bool UtcOffset(std::string_view zone, int& offset) {
  if (zone.size() < 3 || (zone[0] != '+' && zone[0] != '-')) return false;
  unsigned h = 0, m = 0;
  if (!Digits(zone, 1, 2, h) || h > 23) return false;
  if (zone.size() == 6) {
    if (zone[3] != ':' || !Digits(zone, 4, 2, m)) return false;
  } else if (zone.size() == 5) {
    if (!Digits(zone, 3, 2, m)) return false;
  } else if (zone.size() != 3) {
    return false;
  }
  if (m > 59) return false;
  offset = (zone[0] == '-' ? -1 : 1) * static_cast<int>(h * 3600 + m * 60);
  return true;
}

// "HH:MM[:SS[.fff]]" starting at pos, running to the end of the text (an
// optional trailing "Z" or zero offset is accepted; another UTC offset only
// when `offset` is given, which then holds it in seconds). maxHour bounds the
// hour field. The result is base (whole seconds) plus the clock, rounded once:
// the whole seconds add exactly and the fraction is read as a decimal, so
// "00:00:00.3" is the double nearest 0.3.
inline bool ParseClock(std::string_view text, std::size_t pos, unsigned maxHour, std::size_t hourDigits, double base,
                       double& seconds, int* offset = nullptr) {
  unsigned h = 0, m = 0, s = 0;
  if (!Digits(text, pos, hourDigits, h) || h > maxHour) return false;
  pos += hourDigits;
  if (pos >= text.size() || text[pos] != ':') return false;
  if (!Digits(text, pos + 1, 2, m) || m > 59) return false;
  pos += 3;
  std::string_view digits;
  if (pos < text.size() && text[pos] == ':') {
    // A leap second, 23:59:60 (as clocks kept to UTC show it, and ISO 8601
    // writes it): the host's seconds have none, so it is the next minute's
    // :00, as the patterns below (%S) and R and PostgreSQL read it.
    if (!Digits(text, pos + 1, 2, s) || s > 60) return false;
    pos += 3;
    if (pos < text.size() && (text[pos] == '.' || text[pos] == ',')) {
      const std::size_t start = ++pos;
      while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') ++pos;
      if (pos == start) return false;
      digits = text.substr(start, pos - start);
    }
  }
  int east = 0;
  if (pos < text.size() && (text[pos] == 'Z' || text[pos] == 'z')) {
    ++pos;
  } else if (int zone = 0; pos < text.size() && UtcOffset(text.substr(pos), zone) && (zone == 0 || offset != nullptr)) {
    east = zone;
    pos = text.size();
  }
  if (pos != text.size()) return false;
  if (offset != nullptr) *offset = east;
  seconds = (base + (static_cast<double>(h) * 3600.0 + m * 60.0 + s - east)) + DecimalFraction(digits);
  return true;
}
}  // namespace detail

// "YYYY-MM-DD" -> seconds since the origin.
inline bool ParseIsoDate(std::string_view text, double& seconds) {
  unsigned y = 0, m = 0, d = 0;
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
  if (!detail::Digits(text, 0, 4, y) || !detail::Digits(text, 5, 2, m) || !detail::Digits(text, 8, 2, d)) return false;
  if (m < 1 || m > 12 || d < 1 || d > DaysInMonth(y, m)) return false;
  seconds = SecondsFromCivil(y, m, d);
  return true;
}

// "YYYY-MM-DDTHH:MM[:SS[.fff]]" (a blank may stand for the "T") or a bare
// date (midnight) -> seconds since the origin. A UTC offset after the clock
// ("-04:00", "+01", "+0530", as pandas, databases and R write a moment in a
// time zone) names a moment: the result is that moment in UTC, so a column
// written in several zones, or across a change to summer time, keeps its
// order. `offset` (optional) receives the offset, in seconds east of UTC.
inline bool ParseIsoDateTime(std::string_view text, double& seconds, int* offset = nullptr) {
  int east = 0;
  if (offset != nullptr) *offset = 0;
  if (text.size() == 10) return ParseIsoDate(text, seconds);
  // RFC 3339 lets the "T" (and the "Z") be written in lower case.
  if (text.size() < 16 || (text[10] != 'T' && text[10] != 't' && text[10] != ' ')) return false;
  double day = 0.0;
  if (!ParseIsoDate(text.substr(0, 10), day)) return false;
  if (!detail::ParseClock(text, 11, 24, 2, day, seconds, &east)) return false;
  // 24:00 is the end of the day, the next day's midnight (as ISO 8601 and
  // schedules write it); no later clock of hour 24 is.
  if (text[11] == '2' && text[12] == '4' && seconds != day + kSecondsPerDay - east) return false;
  if (offset != nullptr) *offset = east;
  return true;
}

// A text written as an ISO 8601 date (or date-time) whose day is past the
// end of its month: "2021-02-29", "2023-04-31 10:00". Such a value most
// often is a slip in a column of dates.
inline bool IsoDateOfNoDay(std::string_view text) {
  unsigned y = 0, m = 0, d = 0;
  if (text.size() < 10 || text[4] != '-' || text[7] != '-') return false;
  if (!detail::Digits(text, 0, 4, y) || !detail::Digits(text, 5, 2, m) || !detail::Digits(text, 8, 2, d)) return false;
  if (m < 1 || m > 12 || d <= DaysInMonth(y, m) || d > 31) return false;
  std::string real(text);
  real[8] = '0';
  real[9] = '1';
  double seconds = 0.0;
  return ParseIsoDateTime(real, seconds);
}

// "HH:MM[:SS[.fff]]" -> seconds. The hours may run past 23 (durations) and
// a leading "-" makes a negative duration.
inline bool ParseIsoTime(std::string_view text, double& seconds) {
  bool negative = false;
  if (!text.empty() && text[0] == '-') {
    negative = true;
    text.remove_prefix(1);
  }
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0 || colon > 6) return false;
  if (!detail::ParseClock(text, 0, 999999, colon, 0.0, seconds)) return false;
  if (negative) seconds = -seconds;
  return true;
}

// "YYYY-MM" -> seconds since the origin of the first day of that month.
inline bool ParseIsoYearMonth(std::string_view text, double& seconds) {
  unsigned y = 0, m = 0;
  if (text.size() != 7 || text[4] != '-') return false;
  if (!detail::Digits(text, 0, 4, y) || !detail::Digits(text, 5, 2, m) || m < 1 || m > 12) return false;
  seconds = SecondsFromCivil(y, m, 1);
  return true;
}

// An ISO 8601 duration "PnYnMnWnDTnHnMnS" (each part optional, a fraction
// allowed, a leading "-" negates) -> seconds. Years and months have no fixed
// length; they count as their average Gregorian length (365.2425 days and a
// twelfth of that).
inline bool ParseIsoDuration(std::string_view text, double& seconds) {
  bool negative = false;
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.size() < 2 || text[0] != 'P') return false;
  constexpr double kYear = 365.2425 * kSecondsPerDay;
  double total = 0.0;
  bool inTime = false, any = false;
  std::size_t pos = 1;
  const char* order = "YMWD";  // the date designators still allowed, in order
  while (pos < text.size()) {
    if (text[pos] == 'T') {
      if (inTime) return false;
      inTime = true;
      order = "HMS";
      ++pos;
      continue;
    }
    const std::size_t start = pos;
    std::size_t point = std::string_view::npos;
    while (pos < text.size() && ((text[pos] >= '0' && text[pos] <= '9') || text[pos] == '.' || text[pos] == ',')) {
      if (text[pos] == '.' || text[pos] == ',') {
        if (point != std::string_view::npos) return false;
        point = pos;
      }
      ++pos;
    }
    if (pos == start || pos >= text.size()) return false;
    // The number read with one rounding ("PT0.3S" is the double nearest 0.3).
    double value = 0.0;
    std::string number(text.substr(start, pos - start));
    if (point != std::string_view::npos) number[point - start] = '.';
    if (std::from_chars(number.data(), number.data() + number.size(), value).ec != std::errc()) return false;
    const char unit = text[pos++];
    while (*order != '\0' && *order != unit) ++order;
    if (*order == '\0') return false;
    ++order;
    double length = 0.0;
    if (!inTime) {
      length = unit == 'Y' ? kYear : unit == 'M' ? kYear / 12 : unit == 'W' ? 7 * kSecondsPerDay : kSecondsPerDay;
    } else {
      length = unit == 'H' ? 3600.0 : unit == 'M' ? 60.0 : 1.0;
    }
    total += value * length;
    any = true;
  }
  // Digits past the range of a double read as an infinite duration, which
  // no statistic takes: the cell is no duration, as "1e400" is no number.
  if (!any || !std::isfinite(total)) return false;
  seconds = negative ? -total : total;
  return true;
}

// A date, date-time or time written after a strptime-style pattern (a
// Table Schema field "format"): %Y %y %m %d %j %H %I %p %M %S %f %b %B %%, and
// any other character as itself. A pattern without a date part gives the
// seconds into the day (times); with one, seconds since the origin. False
// when the text does not follow the pattern or names no real day; `noDay`
// (optional) then tells the second case, a day past its month's end such as
// 29/02/2021. (Longer than most functions here: one switch over the
// directives, each case filling one field, reads best whole.)
inline bool ParsePatternDate(std::string_view text, std::string_view pattern, double& seconds, bool* noDay = nullptr) {
  static constexpr const char* kMonths[] = {"january", "february", "march",     "april",   "may",      "june",
                                            "july",    "august",   "september", "october", "november", "december"};
  std::int64_t year = 1970;
  unsigned month = 1, day = 1, dayOfYear = 0, hour = 0, minute = 0, second = 0;
  double fraction = 0.0;
  int east = 0;  // %z: the UTC offset, seconds east
  bool hasDate = false, pm = false, hasAmPm = false;
  std::size_t t = 0;
  auto number = [&](std::size_t maxDigits, unsigned& out) {
    std::size_t n = 0;
    out = 0;
    while (n < maxDigits && t < text.size() && text[t] >= '0' && text[t] <= '9')
      out = out * 10 + (text[t++] - '0'), ++n;
    return n > 0;
  };
  for (std::size_t p = 0; p < pattern.size(); ++p) {
    if (pattern[p] != '%' || p + 1 == pattern.size()) {
      if (t >= text.size() || text[t] != pattern[p]) return false;
      ++t;
      continue;
    }
    const char directive = pattern[++p];
    unsigned v = 0;
    switch (directive) {
      case 'Y':
        if (!number(4, v)) return false;
        year = v;
        hasDate = true;
        break;
      case 'y':
        if (!number(2, v)) return false;
        year = v < 69 ? 2000 + v : 1900 + v;
        hasDate = true;
        break;
      case 'm':
        if (!number(2, month)) return false;
        hasDate = true;
        break;
      case 'd':
        if (!number(2, day)) return false;
        hasDate = true;
        break;
      case 'j':
        if (!number(3, dayOfYear)) return false;
        hasDate = true;
        break;
      case 'H':
      case 'I':
        if (!number(2, hour)) return false;
        break;
      case 'M':
        if (!number(2, minute)) return false;
        break;
      case 'S':
        if (!number(2, second)) return false;
        break;
      case 'f': {
        const std::size_t start = t;
        while (t < text.size() && text[t] >= '0' && text[t] <= '9') ++t;
        if (t == start) return false;
        fraction = detail::DecimalFraction(text.substr(start, t - start));
        break;
      }
      case 'p': {
        if (t + 2 > text.size()) return false;
        const std::string_view ampm = text.substr(t, 2);
        if (LowerAscii(ampm[1]) != 'm' || (LowerAscii(ampm[0]) != 'a' && LowerAscii(ampm[0]) != 'p')) return false;
        pm = LowerAscii(ampm[0]) == 'p';
        hasAmPm = true;
        t += 2;
        break;
      }
      case 'b':
      case 'B': {
        bool found = false;
        for (unsigned m = 0; m < 12 && !found; ++m) {
          const std::string_view name(kMonths[m]);
          const std::size_t len = directive == 'b' ? 3 : name.size();
          if (t + len > text.size()) continue;
          bool same = true;
          for (std::size_t k = 0; k < len; ++k) same = same && LowerAscii(text[t + k]) == name[k];
          if (same) month = m + 1, t += len, found = true;
        }
        if (!found) return false;
        hasDate = true;
        break;
      }
      case 'z': {
        // "Z", or an offset "+HH:MM", "+HHMM" or "+HH", as strftime's %z
        // and ISO 8601 write it.
        if (t < text.size() && text[t] == 'Z') {
          ++t;
          break;
        }
        std::size_t end = t + 1;
        while (end < text.size() && end < t + 6 && ((text[end] >= '0' && text[end] <= '9') || text[end] == ':')) ++end;
        if (t >= text.size() || !detail::UtcOffset(text.substr(t, end - t), east)) return false;
        t = end;
        break;
      }
      case '%':
        if (t >= text.size() || text[t] != '%') return false;
        ++t;
        break;
      default:
        return false;
    }
  }
  if (t != text.size()) return false;
  if (hasAmPm) {
    if (hour < 1 || hour > 12) return false;
    hour = hour % 12 + (pm ? 12 : 0);
  }
  if (hour > 23 || minute > 59 || second > 60) return false;
  // Whole seconds add exactly; the fraction is rounded in once, at the end.
  const double clock = hour * 3600.0 + minute * 60.0 + second - east;
  if (!hasDate) {
    seconds = clock + fraction;
    return true;
  }
  if (noDay != nullptr) {
    *noDay = dayOfYear > 0 ? dayOfYear == 366 && !IsLeapYear(year)
                           : month >= 1 && month <= 12 && day > DaysInMonth(year, month) && day <= 31;
  }
  if (dayOfYear > 0) {
    if (dayOfYear > (IsLeapYear(year) ? 366u : 365u)) return false;
    seconds = (SecondsFromCivil(year, 1, 1) + (dayOfYear - 1) * kSecondsPerDay + clock) + fraction;
    return true;
  }
  if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) return false;
  seconds = (SecondsFromCivil(year, month, day) + clock) + fraction;
  return true;
}

// True for the directives ParsePatternDate reads.
inline bool PatternIsReadable(std::string_view pattern) {
  for (std::size_t p = 0; p < pattern.size(); ++p) {
    if (pattern[p] != '%') continue;
    if (++p == pattern.size() || std::string_view("YymdjHIpMSfbBz%").find(pattern[p]) == std::string_view::npos) {
      return false;
    }
  }
  return true;
}

}  // namespace host::dates
