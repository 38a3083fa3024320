// Value formatting: every print format type, worked out by hand from the
// format rules (widths, rounding half away from zero, fallbacks).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "host/output/value_format.h"

namespace {

using host::valuefmt::Field;
using host::valuefmt::Numeric;
using host::valuefmt::Statistic;

namespace T = FormatType;

QUVO_Format Fmt(int type, int width, int decimals) {
  return QUVO_Format{static_cast<std::uint16_t>(width), static_cast<std::uint8_t>(type),
                     static_cast<std::uint8_t>(decimals)};
}

struct NumericCase {
  const char* what;
  double value;
  QUVO_Format format;
  const char* expected;
};

// 2020-03-05 (a Thursday, day 65 of the year, week 10) in seconds since
// 1582-10-14, and 13:04:05.678 into that day.
constexpr double kDay = 13802745600.0;
constexpr double kClock = 47045.678;
// 1999-12-31.
constexpr double kNewYearsEve = 13165977600.0;
// 10000-01-01 00:00:00, the first instant no date layout can show.
constexpr double kEndOf9999 = 265621680000.0;

const NumericCase kNumericCases[] = {
    // F: fixed, half away from zero on the decimal digits, then fallbacks.
    {"F plain", 3.14159, Fmt(T::F, 8, 2), "3.14"},
    {"F half up (decimal, not binary, half)", 2.675, Fmt(T::F, 8, 2), "2.68"},
    {"F half away from zero, negative", -2.675, Fmt(T::F, 8, 2), "-2.68"},
    {"F no decimals half", 2.5, Fmt(T::F, 8, 0), "3"},
    {"F no decimals negative half", -2.5, Fmt(T::F, 8, 0), "-3"},
    {"F no negative zero", -0.001, Fmt(T::F, 8, 2), "0.00"},
    {"F tiny", 1e-5, Fmt(T::F, 8, 3), "0.000"},
    {"F too wide drops decimals", 123.456, Fmt(T::F, 5, 2), "123.5"},
    {"F too wide drops leading zero", 0.5, Fmt(T::F, 3, 2), ".50"},
    {"F too wide goes scientific", 123456789, Fmt(T::F, 8, 0), "1.2E+008"},
    {"F far too wide gives stars", 123456, Fmt(T::F, 4, 0), "****"},
    {"F scientific keeps to the format's decimals", 1234567890123, Fmt(T::F, 10, 1), "1.2E+012"},
    {"F without decimals takes what fits", 1234567890123, Fmt(T::F, 10, 0), "1.235E+012"},
    {"F width 0 is unbounded", 1234.5, Fmt(T::F, 0, 2), "1234.50"},
    {"F system-missing", SYSMIS, Fmt(T::F, 8, 2), "."},
    // COMMA, DOT, DOLLAR, PCT.
    {"COMMA grouped", 1234.5, Fmt(T::COMMA, 9, 2), "1,234.50"},
    {"COMMA negative millions", -1234567, Fmt(T::COMMA, 12, 0), "-1,234,567"},
    {"COMMA drops grouping when narrow", 1234.5, Fmt(T::COMMA, 7, 2), "1234.50"},
    {"COMMA rounding carries into a group", 999.6, Fmt(T::COMMA, 5, 0), "1,000"},
    {"COMMA small", 12.5, Fmt(T::COMMA, 6, 1), "12.5"},
    {"DOT grouped with decimal comma", 1234.5, Fmt(T::DOT, 9, 2), "1.234,50"},
    {"DOT ungrouped when narrow", 1234.5, Fmt(T::DOT, 7, 2), "1234,50"},
    {"DOLLAR", 1234.5, Fmt(T::DOLLAR, 10, 2), "$1,234.50"},
    {"DOLLAR negative", -1234.5, Fmt(T::DOLLAR, 10, 2), "-$1,234.50"},
    {"DOLLAR whole", 999, Fmt(T::DOLLAR, 6, 0), "$999"},
    {"PCT", 45.25, Fmt(T::PCT, 6, 1), "45.3%"},
    {"PCT whole", 100, Fmt(T::PCT, 4, 0), "100%"},
    // E: mantissa decimals, three-digit exponent.
    {"E", 1234.5, Fmt(T::E, 10, 3), "1.235E+003"},
    {"E negative small loses a digit to fit", -0.000123, Fmt(T::E, 10, 3), "-1.23E-004"},
    {"E zero", 0, Fmt(T::E, 9, 2), "0.00E+000"},
    {"E rounding carries into the exponent", 9.996, Fmt(T::E, 10, 2), "1.00E+001"},
    // N and Z: digit fields.
    {"N zero-padded", 42, Fmt(T::N, 5, 0), "00042"},
    {"N with decimals", 3.5, Fmt(T::N, 6, 2), "003.50"},
    {"N negative", -3, Fmt(T::N, 4, 0), "****"},
    {"N too wide", 12345, Fmt(T::N, 3, 0), "***"},
    {"Z positive", 42, Fmt(T::Z, 5, 0), "00042"},
    {"Z negative overpunch", -42, Fmt(T::Z, 5, 0), "0004K"},
    {"Z implied decimals", 1.25, Fmt(T::Z, 5, 2), "00125"},
    {"Z negative zero digit", -10, Fmt(T::Z, 3, 0), "01}"},
    // Dates.
    {"DATE11", kDay, Fmt(T::DATE, 11, 0), "05-MAR-2020"},
    {"DATE9", kDay, Fmt(T::DATE, 9, 0), "05-MAR-20"},
    {"DATE too narrow", kDay, Fmt(T::DATE, 8, 0), "********"},
    {"DATE origin", 0, Fmt(T::DATE, 11, 0), "14-OCT-1582"},
    {"DATE never rounds into the next day", kNewYearsEve + 86399.7, Fmt(T::DATE, 11, 0), "31-DEC-1999"},
    {"DATETIME20 at the end of 9999 stays there", kEndOf9999 - 0.001, Fmt(T::DATETIME, 20, 0), "31-DEC-9999 23:59:59"},
    {"DATETIME17 at the end of 9999 stays there", kEndOf9999 - 1, Fmt(T::DATETIME, 17, 0), "31-DEC-9999 23:59"},
    {"YMDHMS19 at the end of 9999 stays there", kEndOf9999 - 0.4, Fmt(T::YMDHMS, 19, 0), "9999-12-31 23:59:59"},
    {"DATETIME past 9999 is stars", kEndOf9999, Fmt(T::DATETIME, 20, 0), "********************"},
    {"DATE system-missing", SYSMIS, Fmt(T::DATE, 11, 0), "."},
    // A day's last fraction of a second stays in that day in every date
    // layout, and a time before the origin is in the day before it.
    {"ADATE never rounds into the next day", kNewYearsEve + 86399.7, Fmt(T::ADATE, 10, 0), "12/31/1999"},
    {"EDATE never rounds into the next day", kNewYearsEve + 86399.7, Fmt(T::EDATE, 10, 0), "31.12.1999"},
    {"SDATE never rounds into the next day", kNewYearsEve + 86399.7, Fmt(T::SDATE, 10, 0), "1999/12/31"},
    {"JDATE never rounds into the next year", kNewYearsEve + 86399.7, Fmt(T::JDATE, 7, 0), "1999365"},
    {"QYR never rounds into the next year", kNewYearsEve + 86399.7, Fmt(T::QYR, 8, 0), "4 Q 1999"},
    {"WKYR the year's last day is in week 53", kNewYearsEve, Fmt(T::WKYR, 10, 0), "53 WK 1999"},
    {"DATE before the origin is the day before", -0.4, Fmt(T::DATE, 11, 0), "13-OCT-1582"},
    {"JDATE before the origin is the day before", -0.4, Fmt(T::JDATE, 7, 0), "1582286"},
    {"ADATE10", kDay, Fmt(T::ADATE, 10, 0), "03/05/2020"},
    {"ADATE8", kDay, Fmt(T::ADATE, 8, 0), "03/05/20"},
    {"EDATE10", kDay, Fmt(T::EDATE, 10, 0), "05.03.2020"},
    {"EDATE8", kDay, Fmt(T::EDATE, 8, 0), "05.03.20"},
    {"JDATE7", kDay, Fmt(T::JDATE, 7, 0), "2020065"},
    {"JDATE5", kDay, Fmt(T::JDATE, 5, 0), "20065"},
    {"SDATE10", kDay, Fmt(T::SDATE, 10, 0), "2020/03/05"},
    {"SDATE8", kDay, Fmt(T::SDATE, 8, 0), "20/03/05"},
    {"QYR8", kDay, Fmt(T::QYR, 8, 0), "1 Q 2020"},
    {"QYR6", kNewYearsEve, Fmt(T::QYR, 6, 0), "4 Q 99"},
    {"MOYR8", kDay, Fmt(T::MOYR, 8, 0), "MAR 2020"},
    {"MOYR6", kDay, Fmt(T::MOYR, 6, 0), "MAR 20"},
    {"WKYR10", kDay, Fmt(T::WKYR, 10, 0), "10 WK 2020"},
    {"WKYR8", kDay, Fmt(T::WKYR, 8, 0), "10 WK 20"},
    // Date-times: rounded at the shown resolution, carrying into the date.
    {"DATETIME20", kDay + kClock, Fmt(T::DATETIME, 20, 0), "05-MAR-2020 13:04:06"},
    {"DATETIME17 minutes", kDay + kClock, Fmt(T::DATETIME, 17, 0), "05-MAR-2020 13:04"},
    {"DATETIME23.2", kDay + kClock, Fmt(T::DATETIME, 23, 2), "05-MAR-2020 13:04:05.68"},
    {"DATETIME22.2 room for one decimal", kDay + kClock, Fmt(T::DATETIME, 22, 2), "05-MAR-2020 13:04:05.7"},
    {"DATETIME carry into the next year", kNewYearsEve + 86399.7, Fmt(T::DATETIME, 20, 0), "01-JAN-2000 00:00:00"},
    {"YMDHMS19", kDay + kClock, Fmt(T::YMDHMS, 19, 0), "2020-03-05 13:04:06"},
    {"YMDHMS16", kDay + kClock, Fmt(T::YMDHMS, 16, 0), "2020-03-05 13:04"},
    // Durations.
    {"TIME8", kClock, Fmt(T::TIME, 8, 0), "13:04:06"},
    {"TIME5", kClock, Fmt(T::TIME, 5, 0), "13:04"},
    {"TIME11.2", kClock, Fmt(T::TIME, 11, 2), "13:04:05.68"},
    {"TIME past a day", 90000, Fmt(T::TIME, 8, 0), "25:00:00"},
    {"TIME a half second before a day rounds to it", 86399.5, Fmt(T::TIME, 8, 0), "24:00:00"},
    {"TIME a negative that rounds to zero has no sign", -0.4, Fmt(T::TIME, 8, 0), "00:00:00"},
    {"DTIME a negative half second away from zero", -0.5, Fmt(T::DTIME, 11, 0), "-00 00:00:01"},
    {"DTIME a half second before a day rounds to it", 86399.5, Fmt(T::DTIME, 11, 0), "01 00:00:00"},
    {"TIME negative", -3661, Fmt(T::TIME, 9, 0), "-01:01:01"},
    {"TIME negative keeps its sign past the width", -3661, Fmt(T::TIME, 8, 0), "-01:01:01"},
    {"TIME negative and too wide without the sign", -360000, Fmt(T::TIME, 8, 0), "********"},
    {"DTIME negative", -93784, Fmt(T::DTIME, 11, 0), "-01 02:03:04"},
    {"DTIME11", 93784, Fmt(T::DTIME, 11, 0), "01 02:03:04"},
    {"DTIME8", 93784, Fmt(T::DTIME, 8, 0), "01 02:03"},
    {"MTIME5", 125, Fmt(T::MTIME, 5, 0), "02:05"},
    {"MTIME8.2", 125.256, Fmt(T::MTIME, 8, 2), "02:05.26"},
    {"MTIME past an hour", 3600, Fmt(T::MTIME, 5, 0), "60:00"},
    // Names.
    {"WKDAY9", 5, Fmt(T::WKDAY, 9, 0), "THURSDAY"},
    {"WKDAY3", 1, Fmt(T::WKDAY, 3, 0), "SUN"},
    {"WKDAY2", 7, Fmt(T::WKDAY, 2, 0), "SA"},
    {"WKDAY out of range", 8, Fmt(T::WKDAY, 9, 0), "*********"},
    {"MONTH9", 9, Fmt(T::MONTH, 9, 0), "SEPTEMBER"},
    {"MONTH3", 12, Fmt(T::MONTH, 3, 0), "DEC"},
    {"MONTH out of range", 0, Fmt(T::MONTH, 3, 0), "***"},
    // Hex and fallbacks.
    {"PIBHEX", 255, Fmt(T::PIBHEX, 4, 0), "00FF"},
    {"RBHEX", 1.0, Fmt(T::RBHEX, 16, 0), "3FF0000000000000"},
    {"binary format shows as F", 1.5, Fmt(T::IB, 8, 2), "1.50"},
    {"unknown type 0 shows as F", 1.5, Fmt(0, 8, 2), "1.50"},
    {"unknown type 200 shows as F", 1.5, Fmt(200, 8, 1), "1.5"},
    {"A on a number shows as F", 7, Fmt(T::A, 8, 0), "7"},
};

TEST(OutputValueFormat, NumericFormats) {
  for (const NumericCase& c : kNumericCases) {
    EXPECT_EQ(Numeric(c.value, c.format), c.expected) << c.what;
  }
}

// Whatever the value, a field never runs past its width (but for the sign of
// a negative time) and never crashes.
TEST(OutputValueFormat, ExtremeValuesStayWithinTheField) {
  const double values[] = {0.0,
                           -0.0,
                           1e-300,
                           -1e-300,
                           0.5,
                           -0.5,
                           123.456,
                           -98765.4321,
                           4e18,
                           -4e18,
                           1e300,
                           -1e300,
                           std::numeric_limits<double>::max(),
                           SYSMIS,
                           std::numeric_limits<double>::infinity(),
                           std::nan("")};
  const int types[] = {T::F,     T::COMMA,  T::DOT,   T::DOLLAR, T::PCT,      T::E,      T::N,
                       T::Z,     T::PIBHEX, T::RBHEX, T::DATE,   T::ADATE,    T::EDATE,  T::JDATE,
                       T::SDATE, T::QYR,    T::MOYR,  T::WKYR,   T::DATETIME, T::YMDHMS, T::TIME,
                       T::DTIME, T::MTIME,  T::WKDAY, T::MONTH,  T::IB,       0,         255};
  for (int type : types) {
    for (int width : {1, 2, 6, 8, 12, 40, 300}) {
      for (int decimals : {0, 2, 16, 255}) {
        for (double v : values) {
          const std::string text = Numeric(v, Fmt(type, width, decimals));
          EXPECT_FALSE(text.empty()) << type << " " << width << "." << decimals << " " << v;
          const bool signedTime = (type == T::TIME || type == T::DTIME || type == T::MTIME) && v < 0;
          EXPECT_LE(text.size(), static_cast<std::size_t>(width + (signedTime ? 1 : 0)))
              << type << " " << width << "." << decimals << " " << v;
        }
      }
    }
  }
}

TEST(OutputValueFormat, FieldsKeepTheirPadding) {
  EXPECT_EQ(Field(3.14159, Fmt(T::F, 8, 2)), "    3.14");
  EXPECT_EQ(Field(SYSMIS, Fmt(T::F, 4, 0)), "   .");
  EXPECT_EQ(Field(1, Fmt(T::WKDAY, 9, 0)), "SUNDAY   ");
  EXPECT_EQ(Field(42, Fmt(T::N, 5, 0)), "00042");
}

TEST(OutputValueFormat, Strings) {
  struct Case {
    const char* value;
    QUVO_Format format;
    const char* expected;
  };
  const Case cases[] = {
      {"abc   ", Fmt(T::A, 8, 0), "abc"},     {"", Fmt(T::A, 8, 0), ""},
      {"  lead", Fmt(T::A, 8, 0), "  lead"},  {"ab", Fmt(T::AHEX, 8, 0), "61622020"},
      {"abcdef", Fmt(T::AHEX, 4, 0), "6162"}, {"\xC3\xA9t\xC3\xA9", Fmt(T::A, 5, 0), "\xC3\xA9t\xC3\xA9"},
  };
  for (const Case& c : cases) EXPECT_EQ(host::valuefmt::String(c.value, c.format), c.expected) << c.value;
}

TEST(OutputValueFormat, Statistics) {
  struct Case {
    double value;
    int decimals;
    bool percent;
    const char* expected;
  };
  const Case cases[] = {
      {1234.5, 0, false, "1235"},
      {12.5, 0, false, "13"},
      {60, 1, true, "60.0%"},
      {0.05, 1, true, "0.1%"},
      {-0.04, 1, true, "0.0%"},
      {1.005, 2, false, "1.01"},
      {2.5, 4, false, "2.5000"},
      {SYSMIS, 1, true, "."},
      {1e21, 0, false, "1000000000000000000000"},
      {33.333333333333336, 1, true, "33.3%"},
      {99.95, 1, true, "100.0%"},
      {0.6, 0, false, "1"},
      {-0.5, 0, false, "-1"},
      {9.995, 2, false, "10.00"},
      {-999.5, 0, false, "-1000"},
      {999999.99995, 4, false, "1000000.0000"},
      {0.00049, 3, false, "0.000"},
      {1.23e-8, 12, false, "0.000000012300"},
      {-0.0, 2, false, "0.00"},
      {-3.0, 2, true, "-3.00%"},
      {9007199254740991.0, 1, false, "9007199254740991.0"},
      // Decimal data's halves an ulp low in binary: fifteen digits decide
      // while the decimals shown end before them, the shortest digits after.
      {10.049999999999999, 1, true, "10.1%"},
      {-0.10049999999999992, 3, false, "-0.101"},
      {0.12499999999999999, 2, false, "0.13"},
      {0.12499999999999999, 17, false, "0.12499999999999999"},
      {0.12499999999999, 2, false, "0.12"},
      {2.4999999999999996, 0, false, "3"},
      {99.94999999999999, 1, true, "100.0%"},
      // Wider than any field: scientific, never hundreds of digits.
      {1.5e308, 2, false, "1.50E+308"},
      {-7.25e307, 2, false, "-7.25E+307"},
      {1e36, 2, false, "1000000000000000000000000000000000000.00"},
      {1e37, 2, false, "1.00E+037"},
      // A count shows the digits it has, up to four decimals; never rounded past the largest double.
      {1.7e308, 0, false, "1.7E+308"},
      {1.7976931348623157e308, 0, false, "1.7977E+308"},
      {8.539125638299666e307, 4, false, "8.5391E+307"},
      {1e308, 0, false, "1E+308"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Statistic(c.value, c.decimals, c.percent), c.expected) << c.value;
  }
}

}  // namespace
