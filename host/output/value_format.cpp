// Value formatting. See value_format.h.
#include "host/output/value_format.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "host/common/text.h"
#include "host/data/dates.h"
#include "host/data/extended_missing.h"

namespace host::valuefmt {

namespace {

// A finite double as decimal digits: value = 0.digits x 10^point.
struct Decimal {
  bool negative = false;
  std::string digits;  // no leading zeros; empty for zero
  int point = 0;
};

Decimal ToDecimal(double value) {
  const ShortestDigits shortest = ShortestDigitsOf(value);
  return Decimal{shortest.negative, std::string(shortest.Digits()), shortest.point};
}

// Rounds half away from zero to `decimals` places after the point.
void RoundTo(Decimal& d, int decimals) {
  long keep = static_cast<long>(d.point) + decimals;
  if (keep >= static_cast<long>(d.digits.size())) return;
  if (keep < 0) {
    d.digits.clear();
    d.point = 0;
    return;
  }
  bool up = d.digits[static_cast<std::size_t>(keep)] >= '5';
  d.digits.resize(static_cast<std::size_t>(keep));
  if (up) {
    long i = keep - 1;
    for (; i >= 0; --i) {
      char& c = d.digits[static_cast<std::size_t>(i)];
      if (c == '9') {
        c = '0';
      } else {
        ++c;
        break;
      }
    }
    if (i < 0) {
      d.digits.insert(d.digits.begin(), '1');
      ++d.point;
    }
  }
  while (!d.digits.empty() && d.digits.back() == '0') d.digits.pop_back();
  if (d.digits.empty()) d.point = 0;
}

std::string Stars(int width) { return std::string(static_cast<std::size_t>(width > 0 ? width : 1), '*'); }

bool Fits(const std::string& text, int width) { return width <= 0 || static_cast<int>(text.size()) <= width; }

std::string PadLeft(std::string text, int width, char fill = ' ') {
  if (width > 0 && static_cast<int>(text.size()) < width)
    text.insert(0, static_cast<std::size_t>(width) - text.size(), fill);
  return text;
}

// Groups the integer digits of a plain decimal text ("-1234.5") by three.
std::string Group(const std::string& text, char separator, char point) {
  std::size_t start = text[0] == '-' ? 1 : 0;
  std::size_t dot = text.find('.');
  std::size_t intEnd = dot == std::string::npos ? text.size() : dot;
  std::string out = text.substr(0, start);
  for (std::size_t i = start; i < intEnd; ++i) {
    out.push_back(text[i]);
    std::size_t left = intEnd - i - 1;
    if (left > 0 && left % 3 == 0) out.push_back(separator);
  }
  if (dot != std::string::npos) {
    out.push_back(point);
    out.append(text, dot + 1, std::string::npos);
  }
  return out;
}

// Scientific notation with `decimals` mantissa decimals: "1.235E+003".
std::string Scientific(double value, int decimals) {
  Decimal d = ToDecimal(value);
  int exponent = 0;
  if (!d.digits.empty()) {
    // Round to decimals + 1 significant digits by shifting the point.
    Decimal m = d;
    m.point = 1;
    RoundTo(m, decimals);
    exponent = d.point - 1 + (m.point - 1);
    m.point = 1;
    d = m;
  }
  std::string out;
  if (d.negative && !d.digits.empty()) out.push_back('-');
  out.push_back(d.digits.empty() ? '0' : d.digits[0]);
  if (decimals > 0) {
    out.push_back('.');
    for (int i = 1; i <= decimals; ++i) {
      out.push_back(static_cast<std::size_t>(i) < d.digits.size() ? d.digits[static_cast<std::size_t>(i)] : '0');
    }
  }
  out.push_back('E');
  out.push_back(exponent < 0 ? '-' : '+');
  char buf[16];
  std::snprintf(buf, sizeof buf, "%03d", exponent < 0 ? -exponent : exponent);
  out.append(buf);
  return out;
}

// Scientific notation with as many mantissa decimals as the width allows
// (at most `maxDecimals`), or asterisks.
std::string ScientificFit(double value, int width, int maxDecimals) {
  for (int k = maxDecimals; k >= 0; --k) {
    std::string text = Scientific(value, k);
    if (Fits(text, width)) return text;
  }
  return Stars(width);
}

// The decimal family (F, COMMA, DOT, DOLLAR, PCT): the full text when it
// fits; otherwise without grouping, without the leading zero of a fraction,
// with fewer decimals, in scientific notation, and at last asterisks.
std::string DecimalFamily(double value, int width, int decimals, char separator, char point, const char* prefix,
                          const char* suffix) {
  auto compose = [&](const std::string& body) {
    std::string text;
    bool negative = !body.empty() && body[0] == '-';
    if (negative) text.push_back('-');
    text += prefix;
    text += negative ? body.substr(1) : body;
    text += suffix;
    return text;
  };
  auto localise = [&](std::string plain) {
    if (point != '.') {
      std::size_t dot = plain.find('.');
      if (dot != std::string::npos) plain[dot] = point;
    }
    return plain;
  };
  std::string plain = Fixed(value, decimals);
  if (separator != 0) {
    std::string grouped = compose(Group(plain, separator, point));
    if (Fits(grouped, width)) return grouped;
  }
  std::string text = compose(localise(plain));
  if (Fits(text, width)) return text;
  for (int k = decimals; k >= 0; --k) {
    std::string p = Fixed(value, k);
    std::size_t zero = p[0] == '-' ? 1 : 0;
    if (k > 0 && p.compare(zero, 2, "0.") == 0) {
      std::string shorter = compose(localise(p.substr(0, zero) + p.substr(zero + 1)));
      if (Fits(shorter, width)) return shorter;
    } else {
      std::string t = compose(localise(p));
      if (Fits(t, width)) return t;
    }
  }
  return ScientificFit(value, width, decimals > 0 ? decimals : 16);
}

// N: the F text padded with leading zeros; digits only, so no sign.
std::string Digits(double value, int width, int decimals) {
  std::string text = Fixed(value, decimals);
  if (text[0] == '-' || !Fits(text, width)) return Stars(width);
  return PadLeft(text, width, '0');
}

// Z: zoned decimal, the value times 10^decimals in digits, the last digit
// overpunched when the value is negative.
std::string Zoned(double value, int width, int decimals) {
  std::string text = Fixed(value, decimals);
  bool negative = text[0] == '-';
  std::string digits;
  for (char c : text) {
    if (c >= '0' && c <= '9') digits.push_back(c);
  }
  std::size_t nonzero = digits.find_first_not_of('0');
  digits = nonzero == std::string::npos ? std::string("0") : digits.substr(nonzero);
  if (!Fits(digits, width)) return Stars(width);
  digits = PadLeft(digits, width, '0');
  if (negative) digits.back() = "}JKLMNOPQR"[digits.back() - '0'];
  return digits;
}

std::string Hex(const unsigned char* bytes, std::size_t n) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    out.push_back(kHex[bytes[i] >> 4]);
    out.push_back(kHex[bytes[i] & 15]);
  }
  return out;
}

std::string PibHex(double value, int width) {
  double r = std::round(value);
  if (r < 0 || r >= 18446744073709551616.0) return Stars(width);
  std::uint64_t u = static_cast<std::uint64_t>(r);
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  do {
    out.insert(out.begin(), kHex[u & 15]);
    u >>= 4;
  } while (u != 0);
  if (!Fits(out, width)) return Stars(width);
  return PadLeft(out, width, '0');
}

std::string RbHex(double value, int width) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  unsigned char bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
  std::string out = Hex(bytes, 8);
  if (width > 0 && static_cast<int>(out.size()) > width) out.resize(static_cast<std::size_t>(width));
  return out;
}

// ---- dates and times ----

const char* const kMonths[] = {"JANUARY", "FEBRUARY", "MARCH",     "APRIL",   "MAY",      "JUNE",
                               "JULY",    "AUGUST",   "SEPTEMBER", "OCTOBER", "NOVEMBER", "DECEMBER"};
const char* const kDays[] = {"SUNDAY", "MONDAY", "TUESDAY", "WEDNESDAY", "THURSDAY", "FRIDAY", "SATURDAY"};

std::string Two(std::int64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02lld", static_cast<long long>(v));
  return buf;
}

std::string Digits(std::int64_t v, int n) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%0*lld", n, static_cast<long long>(v));
  return buf;
}

std::string Month3(unsigned month) { return std::string(kMonths[month - 1], 3); }

// Seconds rounded half away from zero to `decimals` places, as an exact
// count of 10^-decimals units.
std::int64_t Units(double seconds, int decimals) {
  double scaled = seconds * std::pow(10.0, decimals);
  return static_cast<std::int64_t>(std::llround(scaled));
}

// "hh:mm", "hh:mm:ss" or "hh:mm:ss.ff..." of a count of units; the leading
// field is not bounded (a duration may run past 24 hours, or 60 minutes for
// MTIME). Fields shown: hours and minutes, or minutes alone (mtime).
std::string Clock(std::int64_t units, int decimals, bool seconds, bool hours) {
  std::int64_t scale = 1;
  for (int i = 0; i < decimals; ++i) scale *= 10;
  std::int64_t whole = units / scale;
  std::int64_t fraction = units % scale;
  std::string out;
  if (hours) {
    out = Two(whole / 3600) + ":" + Two(whole / 60 % 60);
  } else {
    out = Two(whole / 60);
  }
  if (seconds) {
    out += ':';
    out += Two(whole % 60);
    if (decimals > 0) {
      out += '.';
      out += Digits(fraction, decimals);
    }
  }
  return out;
}

// How many second decimals a date-time layout can show: `base` is the width
// of its layout with whole seconds; a fraction needs a point and a digit.
// At most nine second decimals: finer than a double keeps for dates anyway.
constexpr int kMaxSecondDecimals = 9;

int SecondDecimals(int width, int base, int decimals) {
  if (width <= base + 1) return 0;
  return std::min({decimals, width - base - 1, kMaxSecondDecimals});
}

// Seconds beyond about 300 million years fit no date or time field and would
// overflow the integer arithmetic below.
constexpr double kMaxClockSeconds = 1e16;

std::string DateText(int type, double value, int width) {
  using namespace host::dates;
  if (std::fabs(value) > kMaxClockSeconds) return Stars(width);
  // Whole days only: a date is never rounded up into the next day.
  const auto dayNumber = static_cast<std::int64_t>(std::floor(value / kSecondsPerDay));
  const CivilDate d = CivilFromDays(dayNumber + kEpochDays);
  if (d.year < 0 || d.year > 9999) return Stars(width);
  const std::int64_t yy = d.year % 100;
  auto year = [&](bool four) { return four ? Digits(d.year, 4) : Two(yy); };
  std::string text;
  switch (type) {
    case FormatType::DATE: {
      bool four = width >= 11;
      text = Two(d.day) + "-" + Month3(d.month) + "-" + year(four);
      break;
    }
    case FormatType::ADATE:
      text = Two(d.month) + "/" + Two(d.day) + "/" + year(width >= 10);
      break;
    case FormatType::EDATE:
      text = Two(d.day) + "." + Two(d.month) + "." + year(width >= 10);
      break;
    case FormatType::SDATE:
      text = year(width >= 10) + "/" + Two(d.month) + "/" + Two(d.day);
      break;
    case FormatType::JDATE:
      text = year(width >= 7) + Digits(DayOfYear(d), 3);
      break;
    case FormatType::QYR:
      text = std::to_string((d.month - 1) / 3 + 1) + " Q " + year(width >= 8);
      break;
    case FormatType::MOYR:
      text = Month3(d.month) + " " + year(width >= 8);
      break;
    case FormatType::WKYR:
      text = Two((DayOfYear(d) - 1) / 7 + 1) + " WK " + year(width >= 10);
      break;
    default:
      break;
  }
  return text;
}

std::string DateTimeText(int type, double value, int width, int decimals) {
  using namespace host::dates;
  // Width of the layout with whole seconds; narrower fields show minutes.
  const bool ymd = type == FormatType::YMDHMS;
  const int secondsWidth = ymd ? 19 : 20;
  const bool showSeconds = width <= 0 || width >= secondsWidth;
  if (std::fabs(value) > kMaxClockSeconds) return Stars(width);
  const int dec = showSeconds ? (width <= 0 ? std::min(decimals, kMaxSecondDecimals)
                                            : SecondDecimals(width, secondsWidth, decimals))
                              : 0;
  // Round at the shown resolution; a carry may move into the next day.
  std::int64_t units;
  std::int64_t perDay = 86400;
  for (int i = 0; i < dec; ++i) perDay *= 10;
  if (showSeconds) {
    units = Units(value, dec);
  } else {
    units = Units(value / 60.0, 0) * 60;
  }
  std::int64_t days = units >= 0 ? units / perDay : -((-units + perDay - 1) / perDay);
  std::int64_t inDay = units - days * perDay;
  // The last instant of 9999 (a warehouse's "end of time", Stata's largest
  // date-time) must not round into a year no layout can show: it stays at
  // the last unit shown, 23:59:59 (or 23:59).
  constexpr std::int64_t kEndDays = DaysFromCivil(10000, 1, 1) - kEpochDays;
  if (days == kEndDays && value < static_cast<double>(kEndDays) * kSecondsPerDay) {
    days = kEndDays - 1;
    inDay = perDay - (showSeconds ? 1 : 60);
  }
  const CivilDate d = CivilFromDays(days + kEpochDays);
  if (d.year < 0 || d.year > 9999) return Stars(width);
  std::string clock = Clock(inDay, dec, showSeconds, true);
  if (ymd) return Digits(d.year, 4) + "-" + Two(d.month) + "-" + Two(d.day) + " " + clock;
  return Two(d.day) + "-" + Month3(d.month) + "-" + Digits(d.year, 4) + " " + clock;
}

// TIME, DTIME and MTIME: durations, possibly negative.
std::string DurationText(int type, double value, int width, int decimals) {
  bool negative = value < 0;
  double magnitude = std::fabs(value);
  if (magnitude > kMaxClockSeconds) return Stars(width);
  // Width of the layout with whole seconds, without the leading field's
  // extra digits.
  int secondsWidth = type == FormatType::TIME ? 8 : type == FormatType::DTIME ? 11 : 5;
  bool showSeconds = type == FormatType::MTIME || width <= 0 || width >= secondsWidth;
  int dec = 0;
  if (showSeconds)
    dec = width <= 0 ? std::min(decimals, kMaxSecondDecimals) : SecondDecimals(width, secondsWidth, decimals);
  std::int64_t units = showSeconds ? Units(magnitude, dec) : Units(magnitude / 60.0, 0) * 60;
  std::string text;
  if (type == FormatType::DTIME) {
    std::int64_t perDay = 86400;
    for (int i = 0; i < dec; ++i) perDay *= 10;
    text = Two(units / perDay);
    text += ' ';
    text += Clock(units % perDay, dec, showSeconds, true);
  } else if (type == FormatType::MTIME) {
    text = Clock(units, dec, true, false);
  } else {
    text = Clock(units, dec, showSeconds, true);
  }
  if (negative && units != 0) {
    std::string sign = "-";
    sign += text;
    return sign;
  }
  return text;
}

std::string NameText(int type, double value, int width) {
  double r = std::floor(value);
  int limit = type == FormatType::WKDAY ? 7 : 12;
  if (r < 1 || r > limit) return Stars(width);
  std::string name = type == FormatType::WKDAY ? kDays[static_cast<int>(r) - 1] : kMonths[static_cast<int>(r) - 1];
  if (width > 0 && static_cast<int>(name.size()) > width) name.resize(static_cast<std::size_t>(width));
  return name;
}

std::string Unpadded(double value, QUVO_Format format) {
  const int width = format.width;
  const int decimals = format.decimals;
  if (value == SYSMIS || !std::isfinite(value)) return ".";
  if (IsExtendedMissing(value)) return ExtendedMissingText(value);
  switch (format.type) {
    case FormatType::COMMA:
      return DecimalFamily(value, width, decimals, ',', '.', "", "");
    case FormatType::DOT:
      return DecimalFamily(value, width, decimals, '.', ',', "", "");
    case FormatType::DOLLAR:
      return DecimalFamily(value, width, decimals, ',', '.', "$", "");
    case FormatType::PCT:
      return DecimalFamily(value, width, decimals, 0, '.', "", "%");
    case FormatType::E: {
      std::string text = Scientific(value, decimals);
      return Fits(text, width) ? text : ScientificFit(value, width, decimals);
    }
    case FormatType::N:
      return Digits(value, width, decimals);
    case FormatType::Z:
      return Zoned(value, width, decimals);
    case FormatType::PIBHEX:
      return PibHex(value, width);
    case FormatType::RBHEX:
      return RbHex(value, width);
    case FormatType::DATE:
    case FormatType::ADATE:
    case FormatType::EDATE:
    case FormatType::JDATE:
    case FormatType::SDATE:
    case FormatType::QYR:
    case FormatType::MOYR:
    case FormatType::WKYR: {
      std::string text = DateText(format.type, value, width);
      return Fits(text, width) ? text : Stars(width);
    }
    case FormatType::DATETIME:
    case FormatType::YMDHMS: {
      std::string text = DateTimeText(format.type, value, width, decimals);
      return Fits(text, width) ? text : Stars(width);
    }
    case FormatType::TIME:
    case FormatType::DTIME:
    case FormatType::MTIME: {
      std::string text = DurationText(format.type, value, width, decimals);
      // A negative time keeps its sign even where the field leaves no room
      // for one: "-01:30:00" in TIME8, never asterisks for a sign.
      return Fits(text, width > 0 && value < 0 ? width + 1 : width) ? text : Stars(width);
    }
    case FormatType::WKDAY:
    case FormatType::MONTH:
      return NameText(format.type, value, width);
    default:
      // F, the binary formats and any unknown type show as F.
      return DecimalFamily(value, width, decimals, 0, '.', "", "");
  }
}

}  // namespace

std::string Fixed(double value, int decimals) {
  if (!std::isfinite(value)) return ".";
  if (decimals < 0) decimals = 0;
  // RoundTo on the shortest digits in place, and the text made at its
  // length at once: a report's every count, percent and statistic comes
  // through here, and the digits' and the text's strings cost more than
  // the rounding.
  if (std::fabs(value) < 0x1p53 && value == std::trunc(value)) {
    // A whole number below 2^53: its shortest digits are its own (a
    // neighbour is at most 1 away), so it shows as itself; counts are.
    const auto whole = static_cast<std::int64_t>(value);
    char text[24];
    const auto end = std::to_chars(text, text + sizeof text, whole).ptr;
    std::string out(text, end);
    if (decimals > 0) {
      out += '.';
      out.append(static_cast<std::size_t>(decimals), '0');
    }
    return out;
  }
  const ShortestDigits shortest = ShortestDigitsOf(value);
  char room[sizeof shortest.digits + 1];
  char* digits = room + 1;  // a carry may add a digit in front
  std::memcpy(digits, shortest.digits, sizeof shortest.digits);
  long count = shortest.count;
  long point = shortest.point;
  const long keep = point + decimals;
  if (keep < count) {
    if (keep < 0) {
      count = 0;
    } else {
      const bool up = digits[keep] >= '5';
      count = keep;
      long i = count - 1;
      for (; up && i >= 0; --i) {
        if (digits[i] != '9') {
          ++digits[i];
          break;
        }
        digits[i] = '0';
      }
      if (up && i < 0) {
        *--digits = '1';
        ++count;
        ++point;
      }
      while (count > 0 && digits[count - 1] == '0') --count;
    }
    if (count == 0) point = 0;
  }
  const bool negative = shortest.negative && count > 0;
  const long whole = point > 0 ? point : 1;
  std::string out(static_cast<std::size_t>(negative + whole + (decimals > 0 ? 1 + decimals : 0)), '0');
  char* o = out.data();
  if (negative) *o++ = '-';
  for (long i = 0; i < point && i < count; ++i) o[i] = digits[i];
  o += whole;
  if (decimals > 0) {
    *o++ = '.';
    for (long i = 0; i < decimals; ++i) {
      const long at = point + i;
      if (at >= 0 && at < count) o[i] = digits[at];
    }
  }
  return out;
}

// A statistic computed from decimal data carries the data's binary error in
// its last digits: weights of 1.005 and 8.995 give a percent of
// 10.049999999999999 for the decimal 10.05, a weighted mean of 0.3675 comes
// out as 0.36749999999999999. Its sixteenth and seventeenth digits are that
// noise, so where the decimals shown end before the fifteenth significant
// digit the statistic is taken to fifteen digits first (10.0500000000000,
// shown 10.1%). Only a statistic that truly lies within about 5e-16 of its
// size below a half of the last decimal shown is rounded up with it.
namespace {
double FifteenDigits(double value, int decimals) {
  static constexpr int kSignificant = 15;
  Decimal d = ToDecimal(value);
  if (static_cast<int>(d.digits.size()) <= kSignificant || d.point + decimals >= kSignificant) return value;
  RoundTo(d, kSignificant - d.point);
  if (d.digits.empty()) return 0.0;
  std::string text = d.negative ? "-0." : "0.";
  text += d.digits;
  text += 'e';
  text += std::to_string(d.point);
  double rounded = value;
  std::from_chars(text.data(), text.data() + text.size(), rounded);
  return rounded;
}
}  // namespace

std::string Statistic(double value, int decimals, bool percent) {
  if (value == SYSMIS || !std::isfinite(value)) return ".";
  value = FifteenDigits(value, decimals);
  // Beyond the widest field a variable can have, the digits are mostly the
  // zeros of a binary value's decimal expansion, and a report would wrap them
  // over lines: such a statistic is shown in scientific notation instead,
  // with its own decimals, and up to four more where the value has them: a
  // count (no decimals) of 1.7E+308 would read 2E+308, more than any double
  // holds, while seventeen digits of a standard deviation tell a reader no
  // more than five.
  static constexpr std::size_t kWidestFixed = 40;
  static constexpr int kScientificDecimals = 4;
  std::string text = Fixed(value, decimals);
  if (text.size() > kWidestFixed) {
    const int digits = static_cast<int>(ToDecimal(value).digits.size());
    text = Scientific(value, std::max(decimals, std::min(digits - 1, kScientificDecimals)));
  }
  if (percent) text.push_back('%');
  return text;
}

std::string Field(double value, QUVO_Format format) {
  std::string text = Unpadded(value, format);
  // Names of days and months are left-aligned; everything else right.
  if (format.type == FormatType::WKDAY || format.type == FormatType::MONTH) {
    if (text.size() < format.width) text.append(format.width - text.size(), ' ');
    return text;
  }
  return PadLeft(text, format.width);
}

std::string Numeric(double value, QUVO_Format format) { return Unpadded(value, format); }

std::string String(std::string_view value, QUVO_Format format) {
  const std::string_view trimmed = TrimTrailingBlanks(value);
  if (format.type == FormatType::AHEX) {
    // The field shows the blank-padded value's bytes, two digits each.
    std::size_t bytes = format.width / 2;
    std::string padded(trimmed);
    if (bytes > 0) {
      if (padded.size() < bytes) padded.append(bytes - padded.size(), ' ');
      if (padded.size() > bytes) padded.resize(bytes);
    }
    return Hex(reinterpret_cast<const unsigned char*>(padded.data()), padded.size());
  }
  return std::string(trimmed);
}

}  // namespace host::valuefmt
