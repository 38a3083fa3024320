#include "host/data/foreign_formats.h"
#include "host/common/text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>

#include "host/data/cells.h"
#include "host/data/dates.h"
#include "host/data/formats.h"

namespace host::foreign {
namespace {

constexpr double kOrigin1960 = dates::SecondsFromCivil(1960, 1, 1);

// The midnights that followed each leap second so far (UTC), in seconds
// since 1582-10-14: Stata's %tC clock counts these seconds, %tc does not.
constexpr double kAfterLeapSecond[] = {
    dates::SecondsFromCivil(1972, 7, 1), dates::SecondsFromCivil(1973, 1, 1), dates::SecondsFromCivil(1974, 1, 1),
    dates::SecondsFromCivil(1975, 1, 1), dates::SecondsFromCivil(1976, 1, 1), dates::SecondsFromCivil(1977, 1, 1),
    dates::SecondsFromCivil(1978, 1, 1), dates::SecondsFromCivil(1979, 1, 1), dates::SecondsFromCivil(1980, 1, 1),
    dates::SecondsFromCivil(1981, 7, 1), dates::SecondsFromCivil(1982, 7, 1), dates::SecondsFromCivil(1983, 7, 1),
    dates::SecondsFromCivil(1985, 7, 1), dates::SecondsFromCivil(1988, 1, 1), dates::SecondsFromCivil(1990, 1, 1),
    dates::SecondsFromCivil(1991, 1, 1), dates::SecondsFromCivil(1992, 7, 1), dates::SecondsFromCivil(1993, 7, 1),
    dates::SecondsFromCivil(1994, 7, 1), dates::SecondsFromCivil(1996, 1, 1), dates::SecondsFromCivil(1997, 7, 1),
    dates::SecondsFromCivil(1999, 1, 1), dates::SecondsFromCivil(2006, 1, 1), dates::SecondsFromCivil(2009, 1, 1),
    dates::SecondsFromCivil(2012, 7, 1), dates::SecondsFromCivil(2015, 7, 1), dates::SecondsFromCivil(2017, 1, 1),
};

// A %tC time without the leap seconds before it. The host's clock has no
// 23:59:60: a time within a leap second shows as the second before it.
double WithoutLeapSeconds(double seconds) {
  double leap = 0;
  for (const double after : kAfterLeapSecond) {
    if (seconds < after + leap) break;  // before this leap second began
    ++leap;
  }
  return seconds - leap;
}

// Reads digits at pos; -1 when there are none.
long Number(std::string_view text, std::size_t& pos) {
  const std::size_t start = pos;
  long n = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
    if (n < 100000) n = n * 10 + (text[pos] - '0');
    ++pos;
  }
  return pos > start ? n : -1;
}

// A host format of the given type, its width and decimals brought within the
// type's limits (a width the type cannot show takes the type's usual width).
QUVO_Format Host(const char* type, long width, long decimals, int stringWidth) {
  std::string why;
  std::string text = type;
  if (width > 0) {
    text += std::to_string(width);
    if (decimals > 0) text += "." + std::to_string(decimals);
  }
  if (std::optional<QUVO_Format> f = ParseFormatText(text, stringWidth, why)) return *f;
  if (width > 0 && decimals > 0) {  // too many decimals for the width: keep the width
    const long fit = std::min<long>(decimals, std::min<long>(16, width - 1));
    if (fit > 0) {
      if (std::optional<QUVO_Format> f = ParseFormatText(
              std::string(type) + std::to_string(width) + "." + std::to_string(fit), stringWidth, why)) {
        return *f;
      }
    }
  }
  return *ParseFormatText(type, stringWidth, why);
}

QUVO_Format StringFormat(int stringWidth) { return Host("A", std::max(1, stringWidth), 0, stringWidth); }

}  // namespace

MappedFormat MapStataFormat(std::string_view text, int stringWidth) {
  MappedFormat m;
  if (stringWidth > 0) {
    m.format = StringFormat(stringWidth);
    return m;
  }
  std::size_t pos = 0;
  if (pos < text.size() && text[pos] == '%') ++pos;
  while (pos < text.size() && (text[pos] == '-' || text[pos] == '~')) ++pos;
  // Dates: %t followed by the unit, or the old %d for days.
  if (pos < text.size() && (text[pos] == 't' || text[pos] == 'd')) {
    char unit = text[pos];
    if (unit == 't') unit = pos + 1 < text.size() ? text[pos + 1] : '\0';
    switch (unit) {
      case 'd':
        m.format = Host("DATE", 11, 0, 0);
        m.convert = Convert::StataDays;
        return m;
      case 'c':
      case 'C':
        m.format = Host("DATETIME", 20, 0, 0);
        m.convert = unit == 'C' ? Convert::StataLeapMillis : Convert::StataMillis;
        return m;
      case 'm':
        m.format = Host("MOYR", 8, 0, 0);
        m.convert = Convert::StataMonths;
        return m;
      case 'q':
        m.format = Host("QYR", 8, 0, 0);
        m.convert = Convert::StataQuarters;
        return m;
      case 'w':
        m.format = Host("WKYR", 10, 0, 0);
        m.convert = Convert::StataWeeks;
        return m;
      case 'y':
        m.format = Host("F", 4, 0, 0);
        return m;
      default:
        return m;  // half-years, business calendars: F8.2
    }
  }
  if (pos < text.size() && text[pos] == '0') ++pos;  // leading zeros: a display detail
  const long width = Number(text, pos);
  // "%9,2f" shows a decimal comma; the numbers are those of "%9.2f".
  if (width <= 0 || pos >= text.size() || (text[pos] != '.' && text[pos] != ',')) return m;
  ++pos;
  const long decimals = Number(text, pos);
  if (decimals < 0 || pos >= text.size()) return m;
  const char kind = text[pos++];
  if (pos < text.size() && text[pos] == 'c') ++pos;
  if (pos != text.size()) return m;
  switch (kind) {
    case 'f':
    case 'e':
      m.format = Host("F", width, decimals, 0);
      return m;
    case 'g':
      m.format = Host("F", width, 0, 0);
      m.decimalsFromData = true;
      return m;
    default:
      return m;
  }
}

std::string SasFormatName(std::string_view text) {
  std::string name;
  std::size_t end = text.size();
  while (end > 0 && text[end - 1] == '.') --end;
  // A name never ends in a digit: what follows it is the width (and, after a
  // point, the decimals).
  std::size_t cut = end;
  while (cut > 0 && ((text[cut - 1] >= '0' && text[cut - 1] <= '9') || text[cut - 1] == '.')) --cut;
  for (std::size_t i = 0; i < cut; ++i) name += UpperAscii(text[i]);
  return name;
}

MappedFormat MapSasFormat(std::string_view text, int stringWidth) {
  MappedFormat m;
  const std::string name = SasFormatName(text);
  std::size_t pos = name.size();
  const long width = Number(text, pos);
  long decimals = 0;
  if (pos < text.size() && text[pos] == '.') {
    ++pos;
    decimals = std::max<long>(0, Number(text, pos));
  }
  if (stringWidth > 0) {
    m.format = name == "$" && width > 0 ? Host("A", width, 0, stringWidth) : StringFormat(stringWidth);
    return m;
  }
  if (name.empty() || name == "F") {
    if (width > 0) m.format = Host("F", width, decimals, 0);
  } else if (name == "BEST") {
    m.format = Host("F", width > 0 ? width : 12, 0, 0);
    m.decimalsFromData = true;
  } else if (name == "DATE") {
    m.format = Host("DATE", width, 0, 0);
    m.convert = Convert::SasDays;
  } else if (name == "MMDDYY") {
    m.format = Host("ADATE", width, 0, 0);
    m.convert = Convert::SasDays;
  } else if (name == "DATETIME") {
    m.format = Host("DATETIME", width, decimals, 0);
    m.convert = Convert::SasSeconds;
  } else if (name == "TIME") {
    m.format = Host("TIME", width, decimals, 0);
  } else if (name == "COMMA") {
    m.format = Host("COMMA", width, decimals, 0);
  } else if (name == "DOLLAR") {
    m.format = Host("DOLLAR", width, decimals, 0);
  }
  return m;
}

double ConvertValue(Convert convert, double v) {
  switch (convert) {
    case Convert::None:
      return v;
    case Convert::StataDays:
    case Convert::SasDays:
      return kOrigin1960 + v * dates::kSecondsPerDay;
    case Convert::StataMillis:
      return kOrigin1960 + v / 1000.0;
    case Convert::StataLeapMillis:
      return WithoutLeapSeconds(kOrigin1960 + v / 1000.0);
    case Convert::SasSeconds:
      return kOrigin1960 + v;
    case Convert::StataMonths:
    case Convert::StataQuarters:
    case Convert::StataWeeks: {
      if (!std::isfinite(v) || std::fabs(v) > 1e12) return v;  // no calendar date: leave it be
      const auto n = static_cast<std::int64_t>(std::floor(v));
      const std::int64_t per = convert == Convert::StataMonths ? 12 : convert == Convert::StataQuarters ? 4 : 52;
      const std::int64_t year = 1960 + (n >= 0 ? n / per : -((-n + per - 1) / per));
      const std::int64_t within = n - (year - 1960) * per;
      if (convert == Convert::StataWeeks) {
        return dates::SecondsFromCivil(year, 1, 1) + static_cast<double>(within) * 7.0 * dates::kSecondsPerDay;
      }
      const auto month = static_cast<unsigned>(convert == Convert::StataMonths ? within + 1 : within * 3 + 1);
      return dates::SecondsFromCivil(year, month, 1);
    }
  }
  return v;
}

bool IsTransportZero(double value) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  return bits >> 48 == 0xFFFF && (bits & 0xFFFFFFFFFF) == 0;
}

int DecimalsOf(double value, bool isFloat) {
  if (!std::isfinite(value) || value == std::trunc(value)) return 0;
  char buffer[400];
  const std::to_chars_result r =
      isFloat ? std::to_chars(buffer, buffer + sizeof buffer, static_cast<float>(value), std::chars_format::fixed)
              : std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
  if (r.ec != std::errc()) return 6;
  const std::string_view text(buffer, static_cast<std::size_t>(r.ptr - buffer));
  const std::size_t point = text.find('.');
  if (point == std::string_view::npos) return 0;
  return static_cast<int>(std::min<std::size_t>(6, text.size() - point - 1));
}

namespace {

// True when text is the first bytes of a UTF-8 character of more bytes.
bool CutCharacter(std::string_view text) {
  if (text.empty()) return false;
  const auto lead = static_cast<unsigned char>(text[0]);
  const std::size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                             : lead >= 0xE0 && lead <= 0xEF ? 3
                             : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                            : 0;
  return text.size() < length && std::all_of(text.begin() + 1, text.end(),
                                             [](char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; });
}

}  // namespace

std::size_t CutPoint(std::string_view text, std::size_t width) {
  if (text.size() <= width) return text.size();
  std::size_t cut = width;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return cut;
}

std::string LabelAsUtf8(std::string_view text, std::size_t fieldWidth) {
  std::size_t bad = 0;
  if (text.size() == fieldWidth && !ValidUtf8(text, bad) && CutCharacter(text.substr(bad))) {
    // A lone byte that begins a character of three or four bytes is as
    // likely the code page's last letter ("é" is 0xE9 in Windows-1252); a
    // lead byte of two (0xC2-0xDF: capitals there) or a lead byte with
    // what follows it is a cut.
    const auto lead = static_cast<unsigned char>(text[bad]);
    if (text.size() - bad >= 2 || lead <= 0xDF) return std::string(text.substr(0, bad));
  }
  return TextAsUtf8(text);
}

std::string TextAsUtf8(std::string_view text) {
  std::size_t bad = 0;
  if (ValidUtf8(text, bad)) return std::string(text);
  // UTF-8 text cut by bytes inside its last character, as a value cut to
  // its field's width: the cut character is left out. Only when the text
  // before it holds a character of several bytes, so that it is UTF-8 and
  // not a code page ("café" in Windows-1252 ends in what begins a UTF-8
  // character of three bytes).
  if (CutCharacter(text.substr(bad)) && std::any_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(bad),
                                                    [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
    return std::string(text.substr(0, bad));
  }
  // Windows-1252 positions 0x80-0x9F; the five it leaves undefined are kept
  // as the C1 controls of the same number, as the encoders do.
  static constexpr char16_t kHigh[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                         0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                         0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                         0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  std::string out;
  out.reserve(text.size() + text.size() / 2);
  // Only the bytes that begin no UTF-8 character are read as the code page:
  // a UTF-8 value cut inside a character (Stata cuts str# values by bytes)
  // keeps the characters before the cut.
  do {
    out.append(text.substr(0, bad));
    const auto c = static_cast<unsigned char>(text[bad]);
    const char32_t u = c <= 0x9F ? kHigh[c - 0x80] : c;
    if (u < 0x800) {
      out += static_cast<char>(0xC0 | (u >> 6));
      out += static_cast<char>(0x80 | (u & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (u >> 12));
      out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (u & 0x3F));
    }
    text.remove_prefix(bad + 1);
  } while (!ValidUtf8(text, bad));
  out.append(text);
  return out;
}

std::string Latin1Bytes(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if ((c == 0xC2 || c == 0xC3) && i + 1 < text.size()) {
      out += static_cast<char>(((c & 0x03) << 6) | (static_cast<unsigned char>(text[++i]) & 0x3F));
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace host::foreign
