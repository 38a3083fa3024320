#include "host/data/scan.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "host/data/csv_source.h"
#include "host/dataset.h"

namespace host {
namespace {

constexpr int kMaxDecimals = 16;
constexpr int kMaxNumberWidth = 40;

struct Candidates {
  bool number = true;
  bool numberComma = true;  // when the column allows a decimal comma
  bool date = true;
  bool dateTime = true;
  bool time = true;
};

// Digits after the point and before it, as the text writes the number.
void MeasureNumberText(std::string_view text, double value, int& decimals, int& intDigits, int* digits = nullptr) {
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) text.remove_prefix(1);
  std::size_t expPos = text.find_first_of("eE");
  std::string_view mantissa = text.substr(0, expPos);
  const std::size_t point = mantissa.find('.');
  int fraction = point == std::string_view::npos ? 0 : static_cast<int>(mantissa.size() - point - 1);
  if (digits != nullptr) {
    // Significant digits: "0.00120e-9" has three.
    const std::size_t first = mantissa.find_first_of("123456789");
    *digits = first == std::string_view::npos
                  ? 1
                  : static_cast<int>(mantissa.size() - first) - (point != std::string_view::npos && point > first);
  }
  if (expPos == std::string_view::npos) {
    decimals = fraction;
    intDigits = std::max(1, static_cast<int>(point == std::string_view::npos ? mantissa.size() : point));
    return;
  }
  int exponent = 0;
  std::string_view e = text.substr(expPos + 1);
  bool negative = false;
  if (!e.empty() && (e[0] == '-' || e[0] == '+')) {
    negative = e[0] == '-';
    e.remove_prefix(1);
  }
  for (char c : e) exponent = std::min(exponent * 10 + (c - '0'), 10000);
  if (negative) exponent = -exponent;
  decimals = std::clamp(fraction - exponent, 0, kMaxDecimals);
  const double magnitude = std::fabs(value);
  intDigits = magnitude >= 1.0 ? static_cast<int>(std::floor(std::log10(magnitude))) + 1 : 1;
}

// A whole number written with more digits than its double keeps: an
// identifier of 19 digits read as a number loses its last ones.
bool InexactWhole(std::string_view text, double value) {
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) text.remove_prefix(1);
  while (text.size() > 1 && text[0] == '0') text.remove_prefix(1);
  if (text.size() <= 15 || text.find_first_not_of("0123456789") != std::string_view::npos) return false;
  char exact[400];
  const int n = std::snprintf(exact, sizeof exact, "%.0f", std::fabs(value));
  return n <= 0 || std::string_view(exact, static_cast<std::size_t>(n)) != text;
}

// "1.23457E+15", "-1,2E+11": a number of 12 digits or more as a spreadsheet
// shows it in its General format, and so saves it as CSV: at most six
// significant digits, a capital E, a signed two-digit exponent of 11 or more.
// The digits past the sixth are not in the file (identifiers lose theirs).
bool SheetRounded(std::string_view text) {
  if (!text.empty() && text[0] == '-') text.remove_prefix(1);
  if (text.size() < 5 || text[0] < '1' || text[0] > '9') return false;
  std::size_t at = 1;
  if (text[at] == '.' || text[at] == ',') {
    const std::size_t start = ++at;
    while (at < text.size() && at - start < 6 && text[at] >= '0' && text[at] <= '9') ++at;
    if (at == start || at - start > 5) return false;
  }
  const std::string_view exponent = text.substr(at);
  return exponent.size() == 4 && exponent[0] == 'E' && exponent[1] == '+' && exponent[2] >= '0' && exponent[2] <= '9' &&
         exponent[3] >= '0' && exponent[3] <= '9' && (exponent[2] - '0') * 10 + (exponent[3] - '0') >= 11;
}

// "007", "-012": a whole number whose digits begin with a zero.
bool LeadingZero(std::string_view text) {
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) text.remove_prefix(1);
  return text.size() > 1 && text[0] == '0' && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// "1,25" with a decimal comma, also ",5" as ".5" is read, a plain integer, and
// the longer and exponent forms tools write beside them: pandas' repr of a
// double ("0,3333333333333333", 16 or 17 digits) and R's write.csv2
// ("-2,5e-10", "1e+15"). Digits are measured as the text writes them.
bool ParseCommaDecimal(std::string_view text, double& value, int& intDigits, int& decimals, int* digits = nullptr) {
  const std::size_t comma = text.find(',');
  // A point is no decimal character here: "1.5" beside "2,5" leaves the
  // column to be text, where the pass would refuse the "1.5".
  if (text.find('.') != std::string_view::npos) return false;
  if (comma == std::string_view::npos) {
    if (ParseSimpleDecimal(text, value, intDigits, decimals)) return true;
    if (!ParseNumber(text, value)) return false;
    MeasureNumberText(text, value, decimals, intDigits, digits);
    return true;
  }
  if (comma + 1 == text.size()) return false;
  std::string plain(text);
  plain[comma] = '.';
  const char before = comma > 0 ? plain[comma - 1] : '+';
  const char after = plain[comma + 1];
  if (!(std::isdigit(static_cast<unsigned char>(before)) || before == '+' || before == '-') ||
      !std::isdigit(static_cast<unsigned char>(after))) {
    return false;
  }
  if (ParseSimpleDecimal(plain, value, intDigits, decimals)) return true;
  if (!ParseNumber(plain, value)) return false;
  MeasureNumberText(plain, value, decimals, intDigits, digits);
  return true;
}

// Whether the values so far are few whole codes.
struct CodeCount {
  bool tracking = true;  // false once a value is not whole or there are too many
  std::vector<double> seen;

  void Add(double v) {
    if (!tracking) return;
    if (v != std::trunc(v)) {
      tracking = false;
      return;
    }
    if (std::find(seen.begin(), seen.end(), v) != seen.end()) return;
    if (seen.size() == kMaxCodes) {
      tracking = false;
      return;
    }
    seen.push_back(v);
  }
  bool Few() const { return tracking && !seen.empty(); }
};

}  // namespace

void FittedNumberFormat(const ScanColumn& column, int& width, int& decimals, bool& scientific) {
  decimals = std::min(column.decimals, kMaxDecimals);
  const int intPart = column.intDigits;
  width = std::max(8, intPart + (decimals > 0 ? decimals + 1 : 0));
  // Decimals give way to the integer part only where that makes it fit: a
  // value wider than any F format shows in scientific form whatever the
  // decimals, and taking them all away showed -0.5 beside 1e40 as "-1".
  if (width > kMaxNumberWidth) {
    width = kMaxNumberWidth;
    if (intPart <= kMaxNumberWidth) decimals = std::max(0, std::min(decimals, kMaxNumberWidth - intPart - 1));
  }
  // 1e-20 and 2.5e-18 both listed as 0.0000000000000000: F cannot show a
  // digit past the 16th decimal, E shows every value with the digits it was
  // written with.
  scientific = column.smallest > 0.0 && column.smallest < 0.5 * std::pow(10.0, -decimals);
  if (scientific) {
    decimals = std::clamp(column.digits - 1, 0, kMaxDecimals);
    width = std::max(10, 7 + (decimals > 0 ? decimals + 1 : 0));  // a sign, "E-020"
  }
}

namespace {

// "1.234", "-12.500": one to three digits, a point and three digits, as a
// thousands separator writes them where commas are decimal.
bool PointThousands(std::string_view text) {
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) text.remove_prefix(1);
  const std::size_t point = text.find('.');
  return point >= 1 && point <= 3 && text.size() == point + 4 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c == '.' || (c >= '0' && c <= '9'); });
}

// "1,234", "-12,500": one to three digits, the first not a zero, a comma
// and three digits, as a thousands separator writes them where points are
// decimal ("0,125" is a decimal comma whichever way).
bool CommaThousands(std::string_view text) {
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) text.remove_prefix(1);
  const std::size_t comma = text.find(',');
  return comma >= 1 && comma <= 3 && text.size() == comma + 4 && text[0] != '0' &&
         std::all_of(text.begin(), text.end(), [](char c) { return c == ',' || (c >= '0' && c <= '9'); });
}

// Whether a plain number read in the column's own way also reads with the
// other decimal character ("1.5" has no decimal comma, "2,5" no point;
// "1.234" and "1,234" read either way, as thousands).
bool OtherDecimalReads(const ScanColumn& col, std::string_view text) {
  return col.allowDecimalComma ? text.find(',') == std::string_view::npos || CommaThousands(text)
                               : text.find('.') == std::string_view::npos || PointThousands(text);
}

// A date column that mixes ISO 8601 with another way of writing dates
// (ScanColumn::dateMix): one more value of it, once its date candidates fell.
void FollowDateMix(ScanColumn& col, std::string_view text, std::int64_t line) {
  if (col.dateMix < 0 || std::find(col.missingTexts.begin(), col.missingTexts.end(), text) != col.missingTexts.end()) {
    return;
  }
  double seconds = 0.0;
  if (col.dateMix == 1 && dates::ParseIsoDateTime(text, seconds)) {
    if (col.isoDates++ == 0) col.isoDateExample = text;
    return;
  }
  if ((TextShapesOf(text, col.allowDecimalComma, col.otherDateSeparator) &
       (kNumericDates | kMonthName | kMonthNameShort | kYearFirst)) == 0) {
    col.dateMix = -1;
    return;
  }
  col.dateMix = 1;
  if (col.otherDates++ == 0) {
    col.otherDateExample = text;
    col.otherDateLine = line;
  }
}

// What one cell leaves of a column's candidate types (number with a dot or
// a comma, date, date and time, time), and the codes and missing texts it
// shows.
void NarrowCandidates(ScanColumn& col, Candidates& can, CodeCount& codes, std::string_view raw, std::int64_t line) {
  const bool open = can.number || can.numberComma || can.date || can.dateTime || can.time;
  if (!open && !col.countCodes) return;
  const std::string_view text = TrimBlanks(raw);
  if (std::find(col.missingTexts.begin(), col.missingTexts.end(), text) != col.missingTexts.end()) {
    if (col.countCodes && !text.empty() && col.missingSeen.size() < 3 &&
        std::find(col.missingSeen.begin(), col.missingSeen.end(), text) == col.missingSeen.end()) {
      col.missingSeen.emplace_back(text);
    }
    return;
  }
  if (!open) return;
  if (can.number || can.numberComma) {
    double value = 0.0, commaValue = 0.0;
    int decimals = 0, intDigits = 1, commaDecimals = 0, commaIntDigits = 1, digits = 0;
    bool dot = can.number && ParseSimpleDecimal(text, value, intDigits, decimals);
    if (can.number && !dot && ParseNumber(text, value)) {
      dot = true;
      MeasureNumberText(text, value, decimals, intDigits, &digits);
      if (InexactWhole(text, value) && col.inexactWholes++ == 0) col.inexactExample = text;
    }
    int commaDigits = 0;
    const bool comma =
        can.numberComma && ParseCommaDecimal(text, commaValue, commaIntDigits, commaDecimals, &commaDigits);
    if (dot || comma) {
      can.number = dot;
      can.numberComma = comma;
      if (!dot) {
        value = commaValue;
        decimals = commaDecimals;
        intDigits = commaIntDigits;
        digits = commaDigits;  // an exponent's decimals say nothing of the digits written
      }
      ++col.numberCells;
      if (SheetRounded(text) && col.sheetRounded++ == 0) col.sheetRoundedExample = text;
      if (LeadingZero(text) && col.leadingZeros++ == 0) col.leadingZeroExample = text;
      if (decimals > 0 && dot && !col.pointDecimals) col.pointDecimals = !PointThousands(text);
      if (comma && !dot && !col.otherCommas && text.find(',') != std::string_view::npos) {
        if (!CommaThousands(text)) {
          col.otherCommas = true;
        } else if (col.commaThousands++ == 0) {
          col.commaThousandsExample = text;
        }
      }
      if (col.allowDecimalComma && dot && !comma && text.find('.') != std::string_view::npos) {
        if (!PointThousands(text)) {
          col.otherPoints = true;
        } else if (col.pointThousands++ == 0) {
          col.pointThousandsExample = text;
        }
      }
      col.decimals = std::max(col.decimals, decimals);
      col.intDigits = std::max(col.intDigits, std::max(intDigits, 1) + (text[0] == '-' ? 1 : 0));
      // Plain decimals count their digits from the point's both sides (a
      // leading "0" too: a bound is enough for an E format's decimals).
      col.digits = std::max(col.digits, digits > 0 ? digits : intDigits + decimals);
      const double magnitude = std::fabs(value);
      if (magnitude > 0.0 && (col.smallest == 0.0 || magnitude < col.smallest)) col.smallest = magnitude;
      if (col.countCodes) codes.Add(value);
      can.date = can.dateTime = can.time = false;  // a number is never a date
      return;
    }
    can.number = can.numberComma = false;
  }
  double seconds = 0.0;
  // A day past its month's end ("2021-02-29") among dates is a slip: it
  // makes the column text all the same, but the note names it, where the
  // column's other values would point to a pattern that cannot read it.
  if ((can.date || can.dateTime) && dates::IsoDateOfNoDay(text)) {
    if (col.datesOfNoDay++ == 0) {
      col.dateOfNoDay = text;
      col.dateOfNoDayLine = line;
    }
    can.date = can.date && text.size() == 10;
    can.time = false;
    return;
  }
  const bool wasDate = can.date || can.dateTime;
  if (can.date && !dates::ParseIsoDate(text, seconds)) can.date = false;
  int offset = 0;
  if (can.dateTime && !dates::ParseIsoDateTime(text, seconds, &offset)) {
    can.dateTime = false;
  } else if (can.dateTime && offset != 0 && col.zoneOffsets++ == 0) {
    col.zoneExample = text;
  }
  if (can.date || can.dateTime) {
    if (col.isoDates++ == 0) col.isoDateExample = text;
  } else if (wasDate) {
    FollowDateMix(col, text, line);
  }
  if (can.time && !dates::ParseIsoTime(text, seconds)) {
    // A time of day in a zone ("10:30:00+02:00", as databases write a time
    // with time zone): no date says which offset, summer time or not, so it
    // is no time here; the column stays text, but the note says why.
    int east = 0;
    if (text.size() > 5 && text[2] == ':' && dates::detail::ParseClock(text, 0, 23, 2, 0.0, seconds, &east) &&
        east != 0) {
      if (col.timeOffsets++ == 0) col.timeOffsetExample = text;
    } else {
      can.time = false;
    }
  }
}

// After a column's number candidate fell on a text that looks like "no
// value": each later cell is a number, one of at most three such texts, or
// ends the watch.
void WatchNoValueTexts(ScanColumn& col, std::string_view text) {
  if (std::find(col.missingTexts.begin(), col.missingTexts.end(), text) != col.missingTexts.end()) return;
  for (auto& [seen, count] : col.noValueTexts) {
    if (seen == text) {
      ++count;
      return;
    }
  }
  double value = 0.0;
  int decimals = 0, intDigits = 0;
  if (ParseNumber(text, value) || (col.allowDecimalComma && ParseCommaDecimal(text, value, intDigits, decimals))) {
    ++col.numberCells;
    if (!OtherDecimalReads(col, text)) (col.allowDecimalComma ? col.otherCommas : col.pointDecimals) = true;
  } else if (col.noValueTexts.size() < 3 && (LooksLikeNoValue(text) || InfinityText(text))) {
    col.noValueTexts.emplace_back(text, 1);
  } else if (const unsigned shapes = TextShapesOf(text, col.allowDecimalComma, col.dateSeparator) & kNumberShapes;
             shapes != 0 && std::none_of(col.noValueTexts.begin(), col.noValueTexts.end(),
                                         [](const auto& seen) { return InfinityText(seen.first); })) {
    // Numbers in a shape a field reads, beside the texts for no value
    // (":" beside "8979.9 p"): the shapes are followed from here on.
    for (const auto& seen : col.noValueTexts) col.shapeNoValueTexts.push_back(seen.first);
    col.noValueTexts.clear();
    col.textShapes = shapes;
    col.shapeExample = text;
  } else {
    col.noValueTexts.clear();
  }
}

// After a column's number candidate fell: each later value that is no
// missing text narrows the shapes all its values fit.
void WatchTextShapes(ScanColumn& col, std::string_view text) {
  if (std::find(col.missingTexts.begin(), col.missingTexts.end(), text) != col.missingTexts.end()) return;
  if ((col.textShapes & kNumberShapes) != 0 && LooksLikeNoValue(text)) {
    auto& seen = col.shapeNoValueTexts;
    if (std::find(seen.begin(), seen.end(), text) != seen.end()) return;
    if (seen.size() < 3) {
      seen.emplace_back(text);
      return;
    }
  }
  double value = 0.0;
  int decimals = 0, intDigits = 0;
  if (ParseNumber(text, value) || (col.allowDecimalComma && ParseCommaDecimal(text, value, intDigits, decimals))) {
    col.textShapes &= kNumberShapes;
    // "1.5" beside "2,5": no one decimal character reads both.
    if (!OtherDecimalReads(col, text)) col.textShapes &= ~kOtherDecimals;
  } else {
    col.textShapes &= TextShapesOf(text, col.allowDecimalComma, col.dateSeparator);
    // "WAHR" beside "VRAI" is no one language's pair, in capitals or not.
    if ((col.textShapes & kLocalTrueFalses) == 0) col.textShapes &= ~kLocalInCapitals;
    // Dates with and without a time of day (or with two ways of writing
    // it) have no one pattern to declare.
    if ((col.textShapes & kClocks) == 0) col.textShapes &= ~(kNumericDates | kMonthName | kMonthNameShort | kYearFirst);
    // A time of day is a shape only after a date: dates written day first
    // beside others written month first ("13/02/2021", "04/13/2021") leave
    // no date shape, and their clock alone is none.
    if ((col.textShapes & (kNumericDates | kMonthName | kMonthNameShort | kYearFirst)) == 0) col.textShapes &= ~kClocks;
  }
}

// Digits, with groups of three after a separator when `group` is given
// ("1,234,567"), then a decimal part; a sign first when `sign`.
bool GroupedDigits(std::string_view text, char group, char decimal, bool sign) {
  if (sign && !text.empty() && (text[0] == '-' || text[0] == '+')) text.remove_prefix(1);
  const std::size_t point = text.find(decimal);
  std::string_view whole = text.substr(0, point);
  if (point != std::string_view::npos) {
    const std::string_view fraction = text.substr(point + 1);
    if (fraction.empty() || fraction.find_first_not_of("0123456789") != std::string_view::npos) return false;
  }
  if (whole.empty()) return false;
  const std::size_t first = whole.find(group);
  if (first == std::string_view::npos) return whole.find_first_not_of("0123456789") == std::string_view::npos;
  if (first == 0 || first > 3) return false;
  for (std::size_t i = 0; i < whole.size(); ++i) {
    const bool separator = i >= first && (i - first) % 4 == 0;
    if (separator ? whole[i] != group : !std::isdigit(static_cast<unsigned char>(whole[i]))) return false;
  }
  return (whole.size() - first) % 4 == 0;
}

// A number with or without groups, in the file's decimal style.
bool AnyNumberText(std::string_view text, bool decimalComma, bool sign) {
  return GroupedDigits(text, decimalComma ? '.' : ',', decimalComma ? ',' : '.', sign);
}

// A row whose cells are the header's names: the header of a file joined
// after another, with its byte order mark when it had one.
bool RepeatsHeader(const std::vector<CsvCell>& cells, const std::vector<std::string>& header, ScanResult& result) {
  bool mark = false;
  if (WithoutByteOrderMark(TrimBlanks(cells[0].View()), mark) != header[0]) return false;
  for (std::size_t c = 1; c < header.size(); ++c) {
    if (TrimBlanks(cells[c].View()) != header[c]) return false;
  }
  if (mark && result.repeatedHeaders == 0) result.repeatedHeaderMark = true;
  return true;
}

// Whether every cell of a row is empty or blanks.
bool AllBlank(const std::vector<CsvCell>& cells, std::size_t ncols) {
  for (std::size_t c = 0; c < ncols; ++c) {
    if (!TrimBlanks(cells[c].View()).empty()) return false;
  }
  return true;
}

// A note below a table, as the offices write them: a heading with a colon
// ("Source: ONS", "Notes:"), a footnote's mark ("* provisional", "1. Rounded",
// "(a) ...", "© Crown copyright") or a word that begins one ("Source ONS").
bool NoteText(std::string_view text) {
  if (text.find(':') != std::string_view::npos) return true;
  if (text[0] == '*' || text[0] == '(' || text[0] == '[' || text.starts_with("\xC2\xA9") ||
      text.starts_with("\xE2\x80\xA0")) {  // (c), dagger
    return true;
  }
  std::size_t digits = 0;
  while (digits < text.size() && digits < 3 && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
  if (digits > 0 && digits + 1 < text.size() && (text[digits] == '.' || text[digits] == ')') &&
      text[digits + 1] == ' ') {
    return true;
  }
  std::size_t end = 0;
  while (end < text.size() && std::isalpha(static_cast<unsigned char>(text[end]))) ++end;
  static constexpr std::string_view kWords[] = {"source",    "sources", "note",    "notes",     "footnote",
                                                "footnotes", "quelle",  "quellen", "anmerkung", "copyright"};
  const std::string word = LowerAscii(text.substr(0, end));
  return std::find(std::begin(kWords), std::end(kWords), word) != std::end(kWords);
}

// A row whose only value is a note in its first column (NoteText), in a
// table of several columns.
bool NoteRow(const std::vector<CsvCell>& cells, std::size_t ncols) {
  if (ncols < 2) return false;
  const std::string_view text = TrimBlanks(cells[0].View());
  double v = 0.0;
  if (text.empty() || !NoteText(text) || ParseNumber(text, v)) return false;
  for (std::size_t c = 1; c < ncols; ++c) {
    if (!TrimBlanks(cells[c].View()).empty()) return false;
  }
  return true;
}

// Whether every cell of a row holds text that is not a number.
bool AllText(const std::vector<CsvCell>& cells, std::size_t ncols) {
  for (std::size_t c = 0; c < ncols; ++c) {
    const std::string_view text = TrimBlanks(cells[c].View());
    double v = 0.0;
    if (text.empty() || ParseNumber(text, v)) return false;
  }
  return true;
}

// A row of the columns' labels: text in every column, none of it a number
// in a shape a descriptor reads ("(1,234.50)", "12%"), which is data. Below
// a blank first header, the first cell may be blank too: pandas writes the
// levels of its columns' names so, over an index column without a name.
bool LabelsRow(const std::vector<CsvCell>& cells, const std::vector<ScanColumn>& columns, bool blankFirstHeader) {
  const std::size_t from = blankFirstHeader && TrimBlanks(cells[0].View()).empty() ? 1 : 0;
  if (from == columns.size()) return false;
  for (std::size_t c = from; c < columns.size(); ++c) {
    const std::string_view text = TrimBlanks(cells[c].View());
    double v = 0.0;
    if (text.empty() || ParseNumber(text, v)) return false;
    char separator = 0;
    if ((TextShapesOf(text, columns[c].allowDecimalComma, separator) & kNumberShapes) != 0) return false;
  }
  return true;
}

// The line psql prints below a query's rows in its unaligned output
// (psql -A -F, > data.csv): "(1 row)", "(25 rows)". The number of rows it
// counts; -1 for any other text.
std::int64_t PsqlRowCount(std::string_view text) {
  text = TrimBlanks(text);
  if (text.size() < 7 || text.front() != '(' || text.back() != ')') return -1;
  text = text.substr(1, text.size() - 2);
  std::size_t digits = 0;
  while (digits < text.size() && digits < 18 && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits == 0) return -1;
  const std::string_view rest = text.substr(digits);
  if (rest != " row" && rest != " rows") return -1;
  return std::stoll(std::string(text.substr(0, digits)));
}

const char* const kPsqlFooterAdvice =
    ": it is the count of rows that psql prints below a query's result, no case. Remove the line, or export "
    "with psql --csv (or \\copy (query) TO 'file.csv' WITH CSV HEADER), which writes none";

// The heading of a table's totals row, in the languages of the offices
// whose tables are most often downloaded.
bool TotalsHeading(std::string_view text) {
  if (text.ends_with(':')) text.remove_suffix(1);
  if (text.empty() || text.size() > 14) return false;
  static constexpr std::string_view kWords[] = {"total",   "totals",    "grand total", "all",      "sum",
                                                "overall", "insgesamt", "gesamt",      "zusammen", "ensemble",
                                                "totaal",  "totale",    "totalt"};
  const std::string lower = LowerAscii(TrimBlanks(text));
  return std::find(std::begin(kWords), std::end(kWords), lower) != std::end(kWords);
}

// A header that names only its first column: perhaps a spreadsheet's title
// row, which it pads with delimiters to the width of the table.
bool TitleHeader(const std::vector<std::string>& header, std::size_t ncols) {
  if (ncols < 2 || header.size() != ncols || header[0].empty()) return false;
  for (std::size_t c = 1; c < ncols; ++c) {
    if (!header[c].empty()) return false;
  }
  return true;
}

// A row with nothing after its first cell: below such a title, the lines of
// a subtitle, a source or a date, or an empty line, padded the same way.
bool FirstCellOnly(const std::vector<CsvCell>& cells, std::size_t ncols) {
  for (std::size_t c = 1; c < ncols; ++c) {
    if (!TrimBlanks(cells[c].View()).empty()) return false;
  }
  return true;
}

// The column's type: the candidate that every cell left standing.
void SettleKind(ScanColumn& col, const Candidates& can, const CodeCount& codes) {
  // A column of numbers that also held dates has lost both candidates.
  if (can.number || can.numberComma) {
    col.kind = CellKind::Number;
    col.decimalComma = !can.number;
    col.fewCodes = col.countCodes && codes.Few();
  } else if (col.datesOfNoDay > 0 && (can.date || can.dateTime)) {
    col.kind = CellKind::String;  // dates but for those days (ScanColumn::datesOfNoDay)
  } else if (can.date) {
    col.kind = CellKind::Date;
  } else if (can.dateTime) {
    col.kind = CellKind::DateTime;
  } else if (can.time && col.timeOffsets == 0) {
    col.kind = CellKind::Time;
  } else {
    col.kind = CellKind::String;
  }
  if (col.kind != CellKind::String || !(can.date || can.dateTime)) col.datesOfNoDay = 0;
  if (col.kind != CellKind::String || !can.time) col.timeOffsets = 0;
  if (col.kind != CellKind::String || col.isoDates == 0 || col.otherDates == 0) col.dateMix = -1;
}

}  // namespace

namespace {

// A flag written right after a figure: one to three asterisks, daggers or
// superscript digits, one to three letters in parentheses or brackets
// ("(P)", "[e]"); empty when the text ends in none.
std::string_view AttachedFlag(std::string_view text) {
  if (text.size() < 2) return {};
  auto letters = [](std::string_view t) {
    return !t.empty() && t.size() <= 3 &&
           std::all_of(t.begin(), t.end(), [](char c) { return std::isalpha(static_cast<unsigned char>(c)); });
  };
  // Typeset tables mark footnotes with daggers, a section sign or superscript
  // digits ("12.5†", "3¹"), which survive a copy into a sheet.
  static constexpr std::string_view kMarks[] = {
      "\xE2\x80\xA0", "\xE2\x80\xA1", "\xC2\xA7",     "\xC2\xB9",     "\xC2\xB2",     "\xC2\xB3",    "\xE2\x81\xB0",
      "\xE2\x81\xB4", "\xE2\x81\xB5", "\xE2\x81\xB6", "\xE2\x81\xB7", "\xE2\x81\xB8", "\xE2\x81\xB9"};
  std::size_t marked = 0;
  for (int count = 0; count < 3; ++count) {
    const std::string_view rest = text.substr(0, text.size() - marked);
    const auto mark = std::find_if(std::begin(kMarks), std::end(kMarks),
                                   [&](std::string_view m) { return rest.size() > m.size() && rest.ends_with(m); });
    if (mark == std::end(kMarks)) break;
    marked += mark->size();
  }
  if (marked > 0) return text.substr(text.size() - marked);
  const char last = text.back();
  if (last == '*') {
    const std::size_t stars = text.size() - 1 - text.find_last_not_of('*');
    return stars <= 3 && stars < text.size() ? text.substr(text.size() - stars) : std::string_view{};
  }
  if (last == ')' || last == ']') {
    const std::size_t open = text.rfind(last == ')' ? '(' : '[');
    if (open == std::string_view::npos || open == 0) return {};
    const std::string_view flag = text.substr(open);
    return letters(flag.substr(1, flag.size() - 2)) ? flag : std::string_view{};
  }
  return {};  // a letter alone ("12a") is as often a code as a flag
}

}  // namespace

// The shape of a time of day after a date: "13:45", "13:45:10", "1:45 PM"
// (the hour one or two digits, minutes and seconds two); 0 for any other text.
unsigned ClockShape(std::string_view text) {
  bool pm = false;
  if (text.size() > 3 && text[text.size() - 3] == ' ') {
    const std::string suffix = LowerAscii(text.substr(text.size() - 2));
    if (suffix != "am" && suffix != "pm") return 0;
    pm = true;
    text.remove_suffix(3);
  }
  auto twoDigits = [&](std::size_t at) {
    return at + 2 <= text.size() && std::isdigit(static_cast<unsigned char>(text[at])) &&
           std::isdigit(static_cast<unsigned char>(text[at + 1]));
  };
  const std::size_t colon = text.find(':');
  if (colon < 1 || colon > 2 || !std::isdigit(static_cast<unsigned char>(text[0])) ||
      (colon == 2 && !std::isdigit(static_cast<unsigned char>(text[1]))) || !twoDigits(colon + 1)) {
    return 0;
  }
  if (text.size() == colon + 3) return pm ? kClockMinutesPm : kClockMinutes;
  if (text.size() == colon + 6 && text[colon + 3] == ':' && twoDigits(colon + 4)) {
    return pm ? kClockSecondsPm : kClockSeconds;
  }
  return 0;
}

namespace {

// The shapes of a value in the file's own reading of numbers.
unsigned OwnTextShapes(std::string_view text, bool decimalComma, char& separator) {
  unsigned shapes = 0;
  const char group = decimalComma ? '.' : ',';
  if (text.find(group) != std::string_view::npos && AnyNumberText(text, decimalComma, true)) shapes |= kGroupedNumber;
  if (text.ends_with("%")) {
    std::string_view number = TrimBlanks(text.substr(0, text.size() - 1));
    if (AnyNumberText(number, decimalComma, true)) shapes |= kPercent;
  }
  if (const std::size_t blank = text.rfind(' ');
      blank != std::string_view::npos && text.size() - blank - 1 >= 1 && text.size() - blank - 1 <= 3) {
    const std::string_view flag = text.substr(blank + 1);
    const std::string_view number = TrimBlanks(text.substr(0, blank));
    if (std::all_of(flag.begin(), flag.end(), [](char c) { return c >= 'a' && c <= 'z'; }) &&
        (AnyNumberText(number, decimalComma, true) || (decimalComma && AnyNumberText(number, false, true)))) {
      shapes |= kFlaggedNumber;
    }
  }
  // The same flags written onto the figure: "123.4(P)" as preliminary,
  // "5*" or "5**" for a footnote.
  if (const std::string_view flag = AttachedFlag(text); !flag.empty()) {
    const std::string_view number = text.substr(0, text.size() - flag.size());
    if (AnyNumberText(number, decimalComma, true) || (decimalComma && AnyNumberText(number, false, true))) {
      shapes |= kFlaggedNumber;
    }
  }
  if (text.find(' ') != std::string_view::npos || text.find('\xC2') != std::string_view::npos ||
      text.find('\xE2') != std::string_view::npos) {
    if (GroupedDigits(NoBreakSpacesAsSpaces(text), ' ', decimalComma ? ',' : '.', true)) shapes |= kSpaceGroupedNumber;
  }
  // A currency sign before the number (after its sign) or after it.
  static constexpr std::string_view kSigns[] = {"$", "\xE2\x82\xAC", "\xC2\xA3", "\xC2\xA5"};  // $ euro pound yen
  std::string_view body = text;
  if (!body.empty() && body[0] == '-') body.remove_prefix(1);
  for (std::string_view sign : kSigns) {
    if (body.substr(0, sign.size()) == sign) {
      if (AnyNumberText(TrimBlanks(body.substr(sign.size())), decimalComma, true)) shapes |= kCurrency;
    } else if (text.ends_with(sign)) {
      if (AnyNumberText(TrimBlanks(text.substr(0, text.size() - sign.size())), decimalComma, true)) {
        shapes |= kCurrency;
      }
    }
  }
  // A time of day after the date, as spreadsheets save date-times: the
  // date's shapes are those of the text before it.
  const std::string_view whole = text;
  unsigned clock = kDateOnly;
  for (std::size_t space = text.find(' '); space != std::string_view::npos; space = text.find(' ', space + 1)) {
    if (const unsigned shape = ClockShape(text.substr(space + 1)); shape != 0) {
      clock = shape;
      text = text.substr(0, space);
      break;
    }
  }
  if (const std::size_t colon = text.find(':'); clock == kDateOnly && colon != std::string_view::npos && colon >= 7 &&
                                                ClockShape(text.substr(colon + 1)) == kClockSeconds) {
    clock = kClockColonSeconds;
    text = text.substr(0, colon);
  }
  // Dates of a four-digit year (or two after slashes) after a day and a
  // month, one separator.
  const std::size_t s1 = text.find_first_of("/.-");
  if (s1 >= 1 && s1 <= 2 && (separator == 0 || text[s1] == separator)) {
    const char sep = text[s1];
    const std::size_t s2 = text.find(sep, s1 + 1);
    auto digits = [&](std::size_t from, std::size_t to) {
      if (to <= from) return -1;
      int n = 0;
      for (std::size_t i = from; i < to; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return -1;
        n = n * 10 + (text[i] - '0');
      }
      return n;
    };
    const std::size_t yearDigits = s2 == std::string_view::npos ? 0 : text.size() - s2 - 1;
    if (s2 != std::string_view::npos && s2 - s1 - 1 >= 1 && s2 - s1 - 1 <= 2 &&
        (yearDigits == 4 || (yearDigits == 2 && sep == '/'))) {
      const int a = digits(0, s1), b = digits(s1 + 1, s2), year = digits(s2 + 1, text.size());
      if (a >= 1 && b >= 1 && (year >= 1000 || (yearDigits == 2 && year >= 0))) {
        if (a <= 12 && b <= 31) shapes |= yearDigits == 4 ? kMonthFirst : kMonthFirstShort;
        if (a <= 31 && b <= 12) shapes |= yearDigits == 4 ? kDayFirst : kDayFirstShort;
        if ((shapes & kNumericDates) != 0) separator = sep;
      }
    }
  }
  // Dates with the month's English abbreviation, as Stata, SAS and
  // spreadsheets write them: a day, the month, a four-digit year (or two).
  std::size_t day = 0;
  while (day < text.size() && day < 3 && std::isdigit(static_cast<unsigned char>(text[day]))) ++day;
  if (day >= 1 && day <= 2 && text.size() >= day + 5) {
    const char sep = text[day] == '-' || text[day] == ' ' ? text[day] : kNoDateSeparator;
    const std::size_t month = day + (sep == kNoDateSeparator ? 0 : 1);
    const std::size_t year = month + 3 + (sep == kNoDateSeparator ? 0 : 1);
    static constexpr std::string_view kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                                   "jul", "aug", "sep", "oct", "nov", "dec"};
    const std::string name = LowerAscii(text.substr(month, 3));
    const bool named = std::find(std::begin(kMonths), std::end(kMonths), name) != std::end(kMonths);
    const bool apart = sep == kNoDateSeparator || text[month + 3] == sep;
    const std::string_view digits = text.substr(std::min(year, text.size()));
    if (named && apart && (year + 4 == text.size() || year + 2 == text.size()) &&
        digits.find_first_not_of("0123456789") == std::string_view::npos && (separator == 0 || separator == sep) &&
        std::stoi(std::string(text.substr(0, day))) >= 1) {
      shapes |= year + 4 == text.size() ? kMonthName : kMonthNameShort;
      separator = sep;
    }
  }
  if (text.size() == 7 && text[4] == '-' &&
      std::all_of(text.begin(), text.begin() + 4, [](char c) { return c >= '0' && c <= '9'; }) &&
      std::isdigit(static_cast<unsigned char>(text[5])) && std::isdigit(static_cast<unsigned char>(text[6]))) {
    const int month = (text[5] - '0') * 10 + (text[6] - '0');
    if (month >= 1 && month <= 12) shapes |= kYearMonth;
  }
  // The year first, then a month and a day of one or two digits.
  if (text.size() >= 8 && text.size() <= 10 && s1 == 4 && (separator == 0 || text[4] == separator)) {
    const char sep = text[4];
    const std::size_t s2 = text.find(sep, 5);
    auto number = [&](std::size_t from, std::size_t to) {
      if (to <= from || to - from > 2) return -1;
      int n = 0;
      for (std::size_t i = from; i < to; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return -1;
        n = n * 10 + (text[i] - '0');
      }
      return n;
    };
    if (s2 != std::string_view::npos && std::isdigit(static_cast<unsigned char>(text[0])) &&
        std::all_of(text.begin(), text.begin() + 4, [](char c) { return c >= '0' && c <= '9'; })) {
      const int month = number(5, s2), day = number(s2 + 1, text.size());
      if (month >= 1 && month <= 12 && day >= 1 && day <= 31) {
        shapes |= kYearFirst;
        separator = sep;
      }
    }
  }
  if ((shapes & (kNumericDates | kMonthName | kMonthNameShort | kYearFirst)) != 0 &&
      (clock != kClockColonSeconds || (shapes & kMonthName) != 0)) {
    shapes |= clock;
  }
  // What "bareNumber": false reads in parentheses reads as a negative amount.
  if ((shapes & (kGroupedNumber | kPercent | kCurrency | kFlaggedNumber)) != 0) shapes |= kParenthesized;
  if (whole.size() > 2 && whole.front() == '(' && whole.back() == ')') {
    const std::string_view inner = TrimBlanks(whole.substr(1, whole.size() - 2));
    char none = 0;
    if (AnyNumberText(inner, decimalComma, false) || (OwnTextShapes(inner, decimalComma, none) & kParenthesized) != 0) {
      shapes |= kParenthesized;
    }
  }
  static constexpr std::string_view kBooleans[] = {"TRUE", "FALSE", "true", "false", "True", "False"};
  if (std::find(std::begin(kBooleans), std::end(kBooleans), whole) != std::end(kBooleans)) shapes |= kTrueFalse;
  // Typed by hand or written by a program rather than saved by a sheet,
  // the words come in small letters too ("wahr", "Faux").
  const auto spelled = [&](std::string_view word) {
    if (whole.size() != word.size()) return 0u;
    if (whole == word) return kLocalTrueFalse | kLocalInCapitals;
    const bool capital = whole[0] == word[0];
    for (std::size_t i = 1; i < word.size(); ++i) {
      if (whole[i] != static_cast<char>(word[i] - 'A' + 'a')) return 0u;
    }
    return capital || whole[0] == static_cast<char>(word[0] - 'A' + 'a') ? kLocalTrueFalse : 0u;
  };
  for (std::size_t k = 0; k < std::size(kLocalBooleans); ++k) {
    const unsigned found = spelled(kLocalBooleans[k].yes) | spelled(kLocalBooleans[k].no);
    if (found != 0) shapes |= (kLocalTrueFalse << k) | (found & kLocalInCapitals);
  }
  return shapes;
}

}  // namespace

unsigned TextShapesOf(std::string_view text, bool decimalComma, char& separator) {
  // The minus sign U+2212 in place of the hyphen: a plain number so written
  // is a shape of its own; in another shape ("−$5", "−1,234") it is what a
  // field that reads past the text around a number reads.
  constexpr std::string_view kMinus = "\xE2\x88\x92";
  if (const std::size_t at = text.find(kMinus); at != std::string_view::npos) {
    std::string hyphen(text);
    hyphen.replace(at, kMinus.size(), "-");
    if (hyphen.find(kMinus) != std::string::npos) return 0;
    double value = 0.0;
    int intDigits = 0, decimals = 0;
    if (ParseNumber(hyphen, value) || (decimalComma && ParseCommaDecimal(hyphen, value, intDigits, decimals))) {
      return kMinusSign | kParenthesized;
    }
    char none = 0;
    return OwnTextShapes(hyphen, decimalComma, none) & kParenthesized;
  }
  unsigned shapes = OwnTextShapes(text, decimalComma, separator);
  // Read with the other decimal character: a comma can stand in a value of
  // a comma-delimited file only when it is quoted.
  double value = 0.0;
  int intDigits = 0, decimals = 0;
  char none = 0;
  if (decimalComma ? AnyNumberText(text, false, true)
                   : ParseCommaDecimal(text, value, intDigits, decimals) || AnyNumberText(text, true, true)) {
    // Without a group separator ("2,5") a field that groups by spaces reads
    // it too.
    const bool grouped = text.find(decimalComma ? ',' : '.') != std::string_view::npos;
    shapes |= kOtherDecimal | kOtherDecimalSigned | (grouped ? 0u : kOtherDecimalSpaced);
  } else if (const unsigned other = OwnTextShapes(text, !decimalComma, none);
             (other & (kPercent | kCurrency | kParenthesized)) != 0) {
    shapes |= kOtherDecimalSigned;
  } else if ((other & kSpaceGroupedNumber) != 0) {
    // "1 234,56" with a no-break space, as a sheet in French saves it: no
    // field that reads past the text around a number reads the space.
    shapes |= kOtherDecimalSpaced;
  }
  return shapes;
}

bool LooksLikeNoValue(std::string_view text) {
  if (text.empty() || text.size() > 12) return false;
  if (text[0] == '#') {  // #N/A, #DIV/0!, #VALUE!, #REF!, #NAME?, #NUM!, #NULL!, #NA
    return std::all_of(text.begin(), text.end(), [](char c) {
      return std::isalnum(static_cast<unsigned char>(c)) || c == '#' || c == '/' || c == '!' || c == '?';
    });
  }
  // Statistics offices mark figures they do not give with punctuation (":"
  // at Eurostat, "/" and "..." in German tables, "-"), a dash, a letter
  // ("x", "F", "s") or a short code in brackets ("[x]", "[c]", "[z]" in
  // British releases, "(c)"); beside numbers, none of them is an answer.
  if (text.find_first_not_of("-?*.:/") == std::string_view::npos) return true;
  // Eurostat flags its mark as it flags figures, after a blank: ": c"
  // (confidential), ": z" (not applicable), ": bu".
  if (const std::size_t blank = text.find(' ');
      blank != std::string_view::npos && blank > 0 &&
      text.substr(0, blank).find_first_not_of("-?*.:/") == std::string_view::npos) {
    const std::string_view flag = text.substr(blank + 1);
    return !flag.empty() && flag.size() <= 3 &&
           std::all_of(flag.begin(), flag.end(), [](char c) { return c >= 'a' && c <= 'z'; });
  }
  if (text == "\xE2\x80\x93" || text == "\xE2\x80\x94") return true;  // en and em dash
  auto letters = [](std::string_view t) {
    return !t.empty() && t.size() <= 4 &&
           std::all_of(t.begin(), t.end(), [](char c) { return std::isalpha(static_cast<unsigned char>(c)); });
  };
  if (text.size() == 1 && letters(text)) return true;
  // Stata's extended missing values (.a to .z) and SAS's special ones (._,
  // .A to .Z), as their exports to CSV write them.
  if (text.size() == 2 && text[0] == '.' && (text[1] == '_' || letters(text.substr(1)))) return true;
  if (text.size() >= 3 &&
      ((text.front() == '[' && text.back() == ']') || (text.front() == '(' && text.back() == ')')) &&
      letters(text.substr(1, text.size() - 2))) {
    return true;
  }
  static constexpr std::string_view kWords[] = {"na",   "n/a", "n.a.",    "n.a",  "nan", "null", "nil",
                                                "none", "\\n", "missing", "-nan", "np",  "nd"};
  const std::string lower = LowerAscii(text);
  return std::find(std::begin(kWords), std::end(kWords), lower) != std::end(kWords);
}

bool InfinityText(std::string_view text) {
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) text.remove_prefix(1);
  const std::string lower = LowerAscii(text.substr(0, 9));
  return (text.size() <= 8 && (lower == "inf" || lower == "infinity")) || BeyondDoubleRange(text);
}

ScanResult ScanCsv(const std::string& path, const std::string& displayName, const CsvDialect& dialect,
                   std::int64_t dataOffset, std::int64_t dataLine, const std::vector<std::string>& names,
                   std::vector<ScanColumn>& columns, const FileStamp* expected) {
  return ScanCsv({ScanFile{path, displayName, dataOffset, dataLine, expected}}, dialect, names, columns);
}

ScanResult ScanCsv(const std::vector<ScanFile>& files, const CsvDialect& dialect, const std::vector<std::string>& names,
                   std::vector<ScanColumn>& columns, const std::vector<std::string>* header) {
  const std::size_t ncols = columns.size();
  std::vector<Candidates> candidates(ncols);
  std::vector<CodeCount> codes(ncols);
  for (std::size_t c = 0; c < ncols; ++c) candidates[c].numberComma = columns[c].allowDecimalComma;
  std::vector<std::size_t> active;
  for (std::size_t c = 0; c < ncols; ++c) {
    if (columns[c].inferType || columns[c].measureWidth) active.push_back(c);
  }
  const ProgressFunction progress = CurrentProgressFunction();
  auto lastReport = std::chrono::steady_clock::now();
  const auto interval = ProgressInterval();

  ScanResult result;
  std::vector<CsvCell> cells;
  std::size_t count = 0;
  std::int64_t psqlLine = 0;         // the last case, when it is psql's count of the rows above it
  std::vector<char> labelRowNumber;  // a column below a row of labels holds a number
  bool titleOpen = false;            // the rows so far may be a title and its notes
  constexpr std::int64_t kTitleLines = 10;
  std::string psqlText, psqlWhere;
  for (const ScanFile& file : files) {
    CsvReader reader(file.path, file.displayName, dialect, file.dataOffset, file.dataLine, file.expected);
    reader.SetColumnNames(&names);
    while (reader.Next(cells, count)) {
      if (count != ncols) {
        const std::int64_t line = reader.RecordLine();
        // Portals put a title above the header and a source below the data.
        std::string advice =
            ". Quote cells that contain the delimiter, and give every row one cell per variable "
            "(an empty cell is a missing value)";
        // A narrow "header" followed within a few lines by a wider row: a
        // block of notes (a title, a source, a date) above the header, as
        // portals write them ("Data Source","...", then "Last Updated Date").
        constexpr std::int64_t kNoteLines = 10;
        if (count == 1 && ncols > 1 && PsqlRowCount(cells[0].View()) >= 0) {
          throw InputError(reader.Where(line, 1) + ": \"" + std::string(TrimBlanks(cells[0].View())) + "\"" +
                           kPsqlFooterAdvice);
        }
        if ((result.cases < kNoteLines || ncols == 1) && count > ncols && file.dataLine > 1) {
          advice =
              ". If the lines above are a title or notes rather than the header row, remove them, so that the "
              "file begins with its header row; otherwise quote cells that contain the delimiter";
        } else if (double v = 0.0; count == 1 && ncols > 1 && result.cases == 0 && file.dataLine > 1 &&
                                   !ParseNumber(TrimBlanks(cells[0].View()), v)) {
          // A lone cell right below the "header": that line was a title with
          // a delimiter in it ("Population by region, 2023"), and this is
          // the next note above the real header.
          advice =
              ". If the first lines are a title or notes above the header row, remove them, so that the file "
              "begins with its header row; otherwise give every row one cell per variable (an empty cell is a "
              "missing value)";
        } else if (double v = 0.0; count == 1 && ncols > 1 && !TrimBlanks(cells[0].View()).empty() &&
                                   !ParseNumber(TrimBlanks(cells[0].View()), v)) {
          advice =
              ". If this line and those after it are notes below the data (a source, footnotes), remove "
              "them; otherwise give every row one cell per variable (an empty cell is a missing value)";
        }
        throw InputError(reader.Where(line, std::min(count, ncols) + 1) + ": " + RowWidthMismatch(count, ncols) +
                         advice);
      }
      ++result.cases;
      // In a file of one column the count would be one more value, and make
      // a column of numbers text: it is known by the number it gives.
      if (ncols == 1 && header != nullptr && PsqlRowCount(cells[0].View()) == result.cases - 1) {
        psqlLine = reader.RecordLine();
        psqlText = TrimBlanks(cells[0].View());
        psqlWhere = reader.Where(psqlLine, 1);
      } else if (psqlLine > 0) {
        psqlLine = 0;
      }
      if (ncols > 1 && TrimBlanks(cells[0].View()).empty() && AllBlank(cells, ncols)) {
        if (result.emptyRowsAtEnd++ == 0) result.firstEmptyRowAtEnd = reader.RecordLine();
        if (result.rowsAfterData++ == 0) result.firstRowAfterData = reader.RecordLine();
      } else {
        result.emptyRowsAtEnd = 0;
        if (NoteRow(cells, ncols)) {
          if (result.notesAtEnd++ == 0) result.firstNoteText = TrimBlanks(cells[0].View());
          if (result.rowsAfterData++ == 0) result.firstRowAfterData = reader.RecordLine();
        } else {
          result.notesAtEnd = 0;
          result.rowsAfterData = 0;
        }
      }
      // A title above the header, perhaps with lines of notes below it, then
      // the real header: texts (no number) in every column.
      if (result.cases == 1) titleOpen = header != nullptr && TitleHeader(*header, ncols);
      if (titleOpen) {
        if (AllText(cells, ncols)) {
          result.titleAboveHeader = true;
          result.titleHeaderLine = reader.RecordLine();
          result.titleNotesRows = result.cases - 1;
          titleOpen = false;
        } else if (!FirstCellOnly(cells, ncols) || result.cases >= kTitleLines) {
          titleOpen = false;
        }
      }
      if (result.cases == 1 && header != nullptr && ncols > 1 && !result.titleAboveHeader &&
          LabelsRow(cells, columns, !header->empty() && TrimBlanks((*header)[0]).empty())) {
        result.labelRowLine = reader.RecordLine();
      } else if (result.cases >= 2 && result.labelRowLine > 0) {
        // Only columns whose every later cell is a number (or empty), one at
        // least a number, were made text by that one row.
        if (result.cases == 2) {
          for (std::size_t c = 0; c < ncols; ++c) result.labelRowColumns.push_back(c);
          labelRowNumber.assign(ncols, 0);
        }
        std::erase_if(result.labelRowColumns, [&](std::size_t c) {
          const std::string_view text = TrimBlanks(cells[c].View());
          double v = 0.0;
          const bool number = ParseNumber(text, v);
          if (number) labelRowNumber[c] = 1;
          return !text.empty() && !number;
        });
      }
      if (ncols > 1 && TotalsHeading(TrimBlanks(cells[0].View()))) {
        double v = 0.0;
        for (std::size_t c = 1; c < ncols; ++c) {
          if (ParseNumber(TrimBlanks(cells[c].View()), v)) {
            result.totalRowCase = result.cases;
            result.totalRowLine = reader.RecordLine();
            result.totalRowText = TrimBlanks(cells[0].View());
            break;
          }
        }
      }
      if (header != nullptr && ncols > 0 && RepeatsHeader(cells, *header, result)) {
        if (result.repeatedHeaders++ == 0) result.firstRepeatedHeader = reader.RecordLine();
      }
      if (progress && (result.cases & 4095) == 0) {
        const auto now = std::chrono::steady_clock::now();
        if (now - lastReport >= interval) {
          lastReport = now;
          progress(result.cases, reader.Offset(), reader.FileSize());
        }
      }
      for (std::size_t c : active) {
        ScanColumn& col = columns[c];
        const CsvCell& cell = cells[c];
        const std::string_view raw = TrimTrailingBlanks(cell.View());
        std::size_t bad = 0;
        if (!ValidUtf8(raw, bad)) {
          throw InputError(reader.Where(reader.RecordLine() + cell.lineOffset, c + 1) + ": " + NotUtf8Text(raw, bad));
        }
        if (col.measureWidth && col.widthLimit > 0 && raw.size() > static_cast<std::size_t>(col.widthLimit)) {
          throw InputError(reader.Where(reader.RecordLine() + cell.lineOffset, c + 1) + ": the value has " +
                           std::to_string(raw.size()) + " bytes; string values may have at most " +
                           std::to_string(col.widthLimit));
        }
        col.maxBytes = std::max(col.maxBytes, static_cast<int>(std::min<std::size_t>(raw.size(), 1u << 30)));
        if (col.inferType) {
          Candidates& can = candidates[c];
          const bool numbers = can.number || can.numberComma;
          const bool datesMixed = col.dateMix == 1;
          NarrowCandidates(col, can, codes[c], raw, reader.RecordLine() + cell.lineOffset);
          if (datesMixed) FollowDateMix(col, TrimBlanks(raw), reader.RecordLine() + cell.lineOffset);
          if (!numbers && !col.noValueTexts.empty()) {
            WatchNoValueTexts(col, TrimBlanks(raw));
          } else if (numbers && !can.number && !can.numberComma) {
            const std::string_view text = TrimBlanks(raw);
            if (result.cases > kNumbersBeforeTextNoted) {
              col.numberRowsBeforeText = result.cases - 1;
              col.firstTextLine = reader.RecordLine() + cell.lineOffset;
              col.firstText = text;
            }
            if (LooksLikeNoValue(text) || InfinityText(text)) col.noValueTexts.emplace_back(text, 1);
            col.textShapes = TextShapesOf(text, col.allowDecimalComma, col.dateSeparator) &
                             (col.numberCells > 0 ? kNumberShapes : ~0u) &
                             ((col.allowDecimalComma ? col.otherCommas : col.pointDecimals) ? ~kOtherDecimals : ~0u);
            if (col.textShapes != 0) col.shapeExample = text;
          } else if (!numbers && col.textShapes != 0) {
            WatchTextShapes(col, TrimBlanks(raw));
          }
        }
      }
    }
  }
  std::erase_if(result.labelRowColumns, [&](std::size_t c) { return labelRowNumber[c] == 0; });
  if (psqlLine > 0) throw InputError(psqlWhere + ": \"" + psqlText + "\"" + kPsqlFooterAdvice);
  for (std::size_t c : active) {
    if (columns[c].inferType) SettleKind(columns[c], candidates[c], codes[c]);
  }
  return result;
}

}  // namespace host
