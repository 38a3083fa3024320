// Conversion of CSV cell texts into case values: numbers, dates, strings.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <fast_float/fast_float.h>

#include "host/common/text.h"  // TrimBlanks, TrimTrailingBlanks, ValidUtf8
#include "host/data/dates.h"

namespace host {

// How a column's cells become values.
enum class CellKind : std::uint8_t {
  Number,
  Integer,
  String,
  Date,
  DateTime,
  Time,
  Boolean,    // cells in the column's true or false texts: 1 or 0
  Year,       // a whole number of years, such as 2024
  YearMonth,  // "YYYY-MM": the first day of the month, as a date
  Duration,   // ISO 8601 "P1DT2H": seconds
};

// How a number column writes its numbers, beyond C-locale text.
struct NumberStyle {
  char decimalChar = '.';
  char groupChar = 0;  // 0: none
  bool bare = true;    // false: text such as a currency sign or "%" may come before or after the number

  bool Plain() const { return decimalChar == '.' && groupChar == 0 && bare; }
};

inline bool IsNumericKind(CellKind kind) { return kind != CellKind::String; }

namespace detail {
inline constexpr double kPow10[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                    1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
}

// The digits of the common cell from p: optional sign, digits with an
// optional point, no exponent. The scan stops at the first byte that is
// neither, and (when kBounded) at e; unbounded, the caller knows such a byte
// comes before e (a sentinel).
struct SimpleDecimal {
  const char* end;  // where the scan stopped
  std::uint64_t mantissa;
  std::ptrdiff_t intDigits;  // digits before the point
  std::ptrdiff_t fraction;   // digits after it
  bool negative;

  // At most 15 digits, at least one: the mantissa and the power of ten are
  // then exact doubles, so one division rounds correctly.
  bool Fits() const { return intDigits + fraction > 0 && intDigits + fraction <= 15; }
  double Value() const {
    // Below 10^15: the signed conversion (one instruction, the unsigned one
    // takes a branch and several) gives the same double.
    double v = static_cast<double>(static_cast<std::int64_t>(mantissa));
    if (fraction > 0) v /= detail::kPow10[fraction];
    return negative ? -v : v;
  }
};

template <bool kBounded>
inline SimpleDecimal ScanSimpleDecimal(const char* p, const char* e) {
  auto digit = [&](const char* q) { return (!kBounded || q != e) && static_cast<unsigned>(*q - '0') < 10; };
  // The mantissa in a local until the end: kept in the struct, it went
  // through memory at every digit in the CSV reader's quick path.
  const bool negative = (!kBounded || p != e) && *p == '-';
  if ((!kBounded || p != e) && (*p == '-' || *p == '+')) ++p;
  std::uint64_t mantissa = 0;
  const char* const digits = p;
  while (digit(p)) mantissa = mantissa * 10 + static_cast<unsigned>(*p++ - '0');
  const std::ptrdiff_t intDigits = p - digits;
  std::ptrdiff_t fraction = 0;
  if ((!kBounded || p != e) && *p == '.') {
    const char* const f = ++p;
    while (digit(p)) mantissa = mantissa * 10 + static_cast<unsigned>(*p++ - '0');
    fraction = p - f;
  }
  return SimpleDecimal{p, mantissa, intDigits, fraction, negative};
}

// ScanSimpleDecimal<false> of a text at `start` that begins with a digit,
// going on from `at`, where its first digits (`mantissa`) end: a reader that
// has read them, looking for a short code, does not read them again.
inline SimpleDecimal ScanSimpleDecimalAfter(const char* start, const char* at, std::uint64_t mantissa) {
  const char* p = at;
  while (static_cast<unsigned>(*p - '0') < 10) mantissa = mantissa * 10 + static_cast<unsigned>(*p++ - '0');
  const std::ptrdiff_t intDigits = p - start;
  std::ptrdiff_t fraction = 0;
  if (*p == '.') {
    const char* const f = ++p;
    while (static_cast<unsigned>(*p - '0') < 10) mantissa = mantissa * 10 + static_cast<unsigned>(*p++ - '0');
    fraction = p - f;
  }
  return SimpleDecimal{p, mantissa, intDigits, fraction, false};
}

// The common cell, the whole text (see SimpleDecimal). Returns false (value
// untouched) for any other text; intDigits and fraction count the digits
// before and after the point.
inline bool ParseSimpleDecimal(std::string_view text, double& value, int& intDigits, int& fraction) {
  const char* const e = text.data() + text.size();
  const SimpleDecimal d = ScanSimpleDecimal<true>(text.data(), e);
  intDigits = static_cast<int>(d.intDigits);
  fraction = static_cast<int>(d.fraction);
  if (d.end != e || !d.Fits()) return false;
  value = d.Value();
  return true;
}

// A C-locale decimal number, the whole (already trimmed) text: optional sign,
// digits with an optional point, optional exponent. Read with correct
// rounding. Infinities, NaN and numbers beyond the double range are not
// numbers.
inline bool ParseNumber(std::string_view text, double& value) {
  int intDigits = 0, fraction = 0;
  if (ParseSimpleDecimal(text, value, intDigits, fraction)) return true;
  const char* first = text.data();
  const char* last = first + text.size();
  if (first != last && *first == '+') {
    ++first;
    if (first != last && *first == '-') return false;
  }
  if (first == last) return false;
  // Only digits, a point or a sign may start a number ("inf", "nan" may not).
  const char c0 = *first == '-' && first + 1 != last ? first[1] : *first;
  if (!((c0 >= '0' && c0 <= '9') || c0 == '.')) return false;
  const auto result = fast_float::from_chars(first, last, value);
  if (result.ec != std::errc() || result.ptr != last) return false;
  return std::isfinite(value);
}

// A number in C-locale form that no double holds (1e999): not a number, but
// a message should say why rather than ask for the form it is already in.
inline bool BeyondDoubleRange(std::string_view text) {
  const char* first = text.data();
  const char* last = first + text.size();
  if (first != last && *first == '+') ++first;
  if (first == last || !((*first >= '0' && *first <= '9') || *first == '.' || *first == '-')) return false;
  if (*first == '-' && (first + 1 == last || !((first[1] >= '0' && first[1] <= '9') || first[1] == '.'))) return false;
  double value = 0.0;
  const auto result = fast_float::from_chars(first, last, value);
  return result.ptr == last && (std::isinf(value) || result.ec == std::errc::result_out_of_range) &&
         std::fabs(value) > 1.0;
}

// Parses a date, date-time, time, year, year-month or duration text of a
// column of that kind.
inline bool ParseDateCell(CellKind kind, std::string_view text, double& value) {
  switch (kind) {
    case CellKind::Date:
      return dates::ParseIsoDate(text, value);
    case CellKind::DateTime:
      return dates::ParseIsoDateTime(text, value);
    case CellKind::Time:
      return dates::ParseIsoTime(text, value);
    case CellKind::YearMonth:
      return dates::ParseIsoYearMonth(text, value);
    case CellKind::Duration:
      return dates::ParseIsoDuration(text, value);
    case CellKind::Year:
      return ParseNumber(text, value) && value == std::trunc(value) && std::fabs(value) < 1e6;
    default:
      return false;
  }
}

// `text` with its no-break spaces (U+00A0, and U+202F as French typography
// writes between groups of digits) and the thin and figure spaces that
// typeset tables put there (U+2009, U+2007) as plain spaces.
inline std::string NoBreakSpacesAsSpaces(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text.substr(i, 2) == "\xC2\xA0") {
      out += ' ';
      i += 1;
    } else if (const std::string_view three = text.substr(i, 3);
               three == "\xE2\x80\xAF" || three == "\xE2\x80\x89" || three == "\xE2\x80\x87") {
      out += ' ';
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// A number written in a style: the group character dropped, the decimal
// character read as a point, and (unless bare) text around the number
// ignored, as in "$1,200" or "15%". The text around may carry the sign, as
// money is written: "-$5", "$-5", "(5)" and "5-" are all minus five; a
// second sign ("-(5)") makes the cell no number rather than a guess.
inline bool ParseStyledNumber(std::string_view text, const NumberStyle& style, double& value) {
  if (style.Plain()) return ParseNumber(text, value);
  // A space as the group character stands for the no-break spaces that
  // spreadsheets write between groups too.
  std::string spaced;
  if (style.groupChar == ' ' &&
      (text.find('\xC2') != std::string_view::npos || text.find('\xE2') != std::string_view::npos)) {
    spaced = NoBreakSpacesAsSpaces(text);
    text = spaced;
  }
  std::string plain;
  plain.reserve(text.size() + 1);
  if (!style.bare) {
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    // The minus sign of typeset text and of some spreadsheets' exports
    // (U+2212) is a sign like the hyphen; passed over as text, "−5" would
    // read as 5.
    constexpr std::string_view kMinusSign = "\xE2\x88\x92";
    int minus = 0;
    bool open = false;
    while (!text.empty() && !digit(text.front()) && text.front() != style.decimalChar) {
      if (text.starts_with(kMinusSign)) {
        ++minus;
        text.remove_prefix(kMinusSign.size());
        continue;
      }
      minus += text.front() == '-';
      open |= text.front() == '(';
      text.remove_prefix(1);
    }
    while (!text.empty() && !digit(text.back())) {
      if (text.ends_with(kMinusSign)) {
        ++minus;
        text.remove_suffix(kMinusSign.size());
        continue;
      }
      minus += text.back() == '-';
      if (text.back() == ')' && open) {
        ++minus;
        open = false;
      }
      text.remove_suffix(1);
    }
    if (minus > 1) return false;
    if (minus == 1) plain += '-';
  }
  for (char c : text) {
    if (style.groupChar != 0 && c == style.groupChar) continue;
    if (c == style.decimalChar) {
      plain += '.';
    } else if (c == '.' && style.decimalChar != '.') {
      return false;  // a point where a comma is the decimal character is not a number
    } else {
      plain += c;
    }
  }
  return ParseNumber(plain, value);
}

// A boolean cell: 1 for a true text, 0 for a false one.
inline bool ParseBooleanCell(std::string_view text, const std::vector<std::string>& trueValues,
                             const std::vector<std::string>& falseValues, double& value) {
  for (const std::string& t : trueValues) {
    if (text == t) {
      value = 1.0;
      return true;
    }
  }
  for (const std::string& f : falseValues) {
    if (text == f) {
      value = 0.0;
      return true;
    }
  }
  return false;
}

// The message for a cell that is not UTF-8 (its first bad byte at `bad`):
// the bytes, what they read as in the encoding they most likely are in, and
// the --encoding that reads them. (input.cpp, where iconv is.)
std::string NotUtf8Text(std::string_view text, std::size_t bad);
// The same for a header cell.
std::string NotUtf8HeaderText(std::string_view text, std::size_t bad);

// A cell text quoted for a message, shortened when long.
inline std::string QuoteCell(std::string_view text) {
  constexpr std::size_t kMax = 40;
  std::string out = "\"";
  const bool cut = text.size() > kMax;
  if (cut) {
    std::size_t at = kMax;  // not inside a UTF-8 sequence
    while (at > 0 && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) --at;
    text = text.substr(0, at);
  }
  out += ShownLineBreaks(text);
  if (cut) out += "...";
  out += "\"";
  return out;
}

}  // namespace host
