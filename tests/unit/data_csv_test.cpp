// The CSV record reader, number and date cells, and format texts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "data_test_util.h"
#include "host/data/cells.h"
#include "host/data/csv_reader.h"
#include "host/data/dates.h"
#include "host/data/formats.h"
#include "host/data/skip_cells.h"

using datatest::TempDir;

namespace {

// A small fixed-seed generator: the random inputs are the same in every run.
struct XorShift {
  std::uint64_t state;
  std::uint64_t operator()() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  }
};

// Records as "cell|cell" lines, each prefixed with its first line number.
std::vector<std::string> Records(const std::string& path, const host::CsvDialect& dialect) {
  host::CsvReader reader(path, "t.csv", dialect);
  std::vector<host::CsvCell> cells;
  std::size_t count = 0;
  std::vector<std::string> out;
  while (reader.Next(cells, count)) {
    std::string line = std::to_string(reader.RecordLine()) + ":";
    for (std::size_t i = 0; i < count; ++i) line += (i ? "|" : "") + std::string(cells[i].View());
    out.push_back(line);
  }
  return out;
}

struct ReaderCase {
  const char* name;
  std::string bytes;
  std::vector<std::string> records;
  char delimiter = ',';
  char quote = '"';
  bool quoting = true;
};

TEST(DataCsv, RecordEdgeCases) {
  const ReaderCase cases[] = {
      {"plain", "a,b\n1,2\n", {"1:a|b", "2:1|2"}},
      {"no final newline", "a,b\n1,2", {"1:a|b", "2:1|2"}},
      {"crlf", "a,b\r\n1,2\r\n", {"1:a|b", "2:1|2"}},
      {"lone cr", "a\r1\r", {"1:a", "2:1"}},
      {"empty cells", ",\n,,x\n", {"1:|", "2:||x"}},
      {"quoted delimiter and quotes", "\"a,b\",\"say \"\"hi\"\"\"\n", {"1:a,b|say \"hi\""}},
      {"quoted line breaks count lines", "\"x\ny\r\nz\",1\n2,3\n", {"1:x\ny\r\nz|1", "4:2|3"}},
      {"quoted empty and trailing", "\"\",\"\"\n", {"1:|"}},
      {"quote inside an unquoted cell", "ab\"c,d\n", {"1:ab\"c|d"}},
      {"blank lines skipped", "\n\na\r\n\r\n\nb\n\n", {"3:a", "6:b"}},
      {"byte order mark",
       "\xEF\xBB\xBF"
       "a,b\n",
       {"1:a|b"}},
      {"only a byte order mark", "\xEF\xBB\xBF", {}},
      {"empty", "", {}},
      {"semicolons", "a;b,c\n", {"1:a|b,c"}, ';'},
      {"tabs and single quotes", "'a\tb'\tc\n", {"1:a\tb|c"}, '\t', '\''},
      {"no quoting", "\"a,b\"\n", {"1:\"a|b\""}, ',', '"', false},
      {"quoted at end of file", "a,\"b\"", {"1:a|b"}},
  };
  for (const ReaderCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir.Write("t.csv", c.bytes);
    host::CsvDialect dialect;
    dialect.delimiter = c.delimiter;
    dialect.quote = c.quote;
    dialect.quoting = c.quoting;
    EXPECT_EQ(Records(path, dialect), c.records);
    EXPECT_EQ(host::CountCsvRecords(path, dialect, 0), static_cast<std::int64_t>(c.records.size()));
  }
}

// Records longer than the read buffer, and quoted cells that straddle reads.
TEST(DataCsv, RecordsAcrossBufferRefills) {
  TempDir dir;
  std::string bytes;
  std::vector<std::string> expected;
  std::string big(3 << 20, 'q');  // longer than the reader's first buffer
  for (int i = 0; i < 5000; ++i) {
    std::string cell = std::string(static_cast<std::size_t>(i % 700), 'x') + "\"\"";
    bytes += "\"" + cell + "\"," + std::to_string(i) + "\n";
    expected.push_back(std::string(static_cast<std::size_t>(i % 700), 'x') + "\"|" + std::to_string(i));
  }
  bytes += big + ",\"" + big + "\"\n";
  expected.push_back(big + "|" + big);
  const std::string path = dir.Write("t.csv", bytes);
  host::CsvReader reader(path, "t.csv", host::CsvDialect{});
  std::vector<host::CsvCell> cells;
  std::size_t count = 0;
  std::size_t n = 0;
  while (reader.Next(cells, count)) {
    ASSERT_LT(n, expected.size());
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(std::string(cells[0].View()) + "|" + std::string(cells[1].View()), expected[n]) << "record " << n;
    ++n;
  }
  EXPECT_EQ(n, expected.size());
  EXPECT_EQ(host::CountCsvRecords(path, host::CsvDialect{}, 0), static_cast<std::int64_t>(expected.size()));
}

// On random CSV-like bytes the record count (used when a pass stops early)
// agrees with the parser wherever the parser accepts the file, and the
// parser never fails other than with an InputError.
TEST(DataCsv, RecordCountAgreesWithParserOnRandomInput) {
  XorShift next{0x9E3779B97F4A7C15ULL};
  const char alphabet[] = {'a', 'b', ',', '"', '\n', '\r', ' ', '\t'};
  TempDir dir;
  int accepted = 0;
  for (int i = 0; i < 3000; ++i) {
    std::string bytes = i % 5 == 0 ? "sep=,\n" : "";  // a spreadsheet's first line is no record
    const std::size_t n = next() % 40;
    for (std::size_t k = 0; k < n; ++k) bytes += alphabet[next() % sizeof alphabet];
    const std::string path = dir.Write("r.csv", bytes);
    std::int64_t parsed = -1;
    try {
      parsed = static_cast<std::int64_t>(Records(path, host::CsvDialect{}).size());
    } catch (const host::InputError&) {
      continue;
    }
    ++accepted;
    ASSERT_EQ(host::CountCsvRecords(path, host::CsvDialect{}, 0), parsed)
        << "input: " << ::testing::PrintToString(bytes);
  }
  EXPECT_GT(accepted, 1000);
}

// Runs of unread cells passed sixteen bytes at a time stop where a byte at a
// time does: at the run's last delimiter, or in the cell of the first line
// end or quote (null when no delimiter came before it), with as many cells
// passed. Random bytes of a few kinds, runs longer than a vector and stops
// on every lane; the bytes after the sentinel line end are noise that
// contains every byte searched for.
TEST(DataCsv, CellRunsPassedAsByteByByte) {
  XorShift next{0x2545F4914F6CDD1DULL};
  struct Dialect {
    char delimiter, quote;
  };
  for (const Dialect d : {Dialect{',', '"'}, Dialect{';', '\n'}, Dialect{'\t', '\''}}) {
    const char alphabet[] = {'a', 'b', '7', ' ', d.delimiter, d.delimiter, d.delimiter, '"', '\'', '\n', '\r', '\t'};
    const host::CellSkipper skipper(d.delimiter, d.quote);
    for (int i = 0; i < 20000; ++i) {
      // Mostly plain cells, so that runs reach past several vectors.
      const std::size_t n = next() % 90;
      std::string bytes;
      for (std::size_t k = 0; k < n; ++k) {
        bytes += next() % 8 == 0 ? alphabet[next() % sizeof alphabet] : alphabet[next() % 7];
      }
      bytes += '\n';
      const std::size_t end = bytes.size();
      bytes += std::string("\",;\r\n'\t\",;\r\n'\t\",") + d.delimiter;  // past the sentinel: 16 readable bytes
      const std::size_t cells = 1 + next() % 24;
      std::size_t passed = 99, wanted = 99;
      const char* got = skipper.Skip(bytes.data(), cells, passed);
      const char* want = host::SkipCellsBytewise(bytes.data(), cells, d.delimiter, d.quote, wanted);
      const std::string shown = ::testing::PrintToString(bytes.substr(0, end)) + ", cells " + std::to_string(cells);
      ASSERT_EQ(got, want) << shown;
      ASSERT_EQ(passed, wanted) << shown;
      if (want != nullptr) {
        ASSERT_EQ(want[-1], d.delimiter) << shown;
        ASSERT_LE(static_cast<std::size_t>(want - bytes.data()), end) << shown;
      }
    }
  }
  // Hand-picked: the run's end and a stop in one vector, a quote that opens
  // the next cell, a line end right after the last delimiter, and no
  // delimiter before the stop.
  const host::CellSkipper comma(',', '"');
  const auto skip = [&](const std::string& text, std::size_t cells) {
    const std::string bytes = text + std::string(16, ',');
    std::size_t passed = 0;
    const char* at = comma.Skip(bytes.data(), cells, passed);
    return std::to_string(passed) + "@" + (at == nullptr ? "null" : std::to_string(at - bytes.data()));
  };
  EXPECT_EQ(skip("a,b,c,d\n", 2), "2@4");
  EXPECT_EQ(skip("a,b,c,d\n", 9), "3@6");
  EXPECT_EQ(skip("a,b,\"c,d\"\n", 9), "2@4");
  EXPECT_EQ(skip("a,b,x\"y,z\n", 9), "2@4");
  EXPECT_EQ(skip("a,b,\r\n", 9), "2@4");
  EXPECT_EQ(skip("abc\r\n", 1), "0@null");
  EXPECT_EQ(skip("\"a,b\",c\n", 1), "0@null");
  EXPECT_EQ(skip(std::string(40, ',') + "\n", 33), "33@33");
  EXPECT_EQ(skip(std::string(40, ',') + "\n", 41), "40@40");
}

// Numbers are read with correct rounding: strtod is the reference.
TEST(DataCsv, NumbersAtTheEdges) {
  const char* good[] = {"0",
                        "-0",
                        "1e308",
                        "-1.7976931348623157e308",
                        "1.7976931348623157e308",
                        "4.9406564584124654e-324",
                        "2.2250738585072009e-308",
                        "2.2250738585072014e-308",
                        "0.1",
                        "0.30000000000000004",
                        "9007199254740993",
                        "123456789.12345678",
                        "1.00000000000000011102230246251565404236316680908203125",
                        "+5",
                        ".5",
                        "5.",
                        "1E-5",
                        "-2.5e+3",
                        "1e-400"};
  for (const char* text : good) {
    double got = 0.0;
    ASSERT_TRUE(host::ParseNumber(text, got)) << text;
    const double want = std::strtod(text, nullptr);
    EXPECT_EQ(std::memcmp(&got, &want, sizeof got), 0) << text << " read as " << got;
  }
  const char* bad[] = {"",         "-",     "+",      ".",    "e5",  "1e",  "1e+", "inf", "-inf",  "nan", "NaN",
                       "infinity", "1e309", "-1e400", "0x10", "1,5", "--1", "+-1", "1 2", "12abc", "١٢"};
  for (const char* text : bad) {
    double got = 0.0;
    EXPECT_FALSE(host::ParseNumber(text, got)) << text;
  }
}

// Random plain decimals (the reader's fast path) and random exponent forms
// agree bit for bit with strtod.
TEST(DataCsv, RandomNumbersMatchStrtod) {
  XorShift next{88172645463325252ULL};
  for (int i = 0; i < 200000; ++i) {
    std::string text = next() % 2 ? "-" : "";
    const int intDigits = static_cast<int>(next() % 12);
    const int fraction = static_cast<int>(next() % 12);
    for (int k = 0; k < intDigits; ++k) text += static_cast<char>('0' + next() % 10);
    if (fraction > 0 || intDigits == 0) {
      text += '.';
      for (int k = 0; k < std::max(fraction, 1); ++k) text += static_cast<char>('0' + next() % 10);
    }
    if (i % 5 == 0) text += "e" + std::to_string(static_cast<int>(next() % 580) - 290);
    double got = 0.0;
    ASSERT_TRUE(host::ParseNumber(text, got)) << text;
    const double want = std::strtod(text.c_str(), nullptr);
    ASSERT_EQ(std::memcmp(&got, &want, sizeof got), 0) << text;
    if (i % 5 != 0) {
      // The reader's scan without bounds, stopped by the byte after the cell.
      const std::string cell = text + ",";
      const host::SimpleDecimal d = host::ScanSimpleDecimal<false>(cell.data(), cell.data() + cell.size());
      ASSERT_EQ(d.end, cell.data() + text.size()) << text;
      if (!d.Fits()) continue;
      const double quick = d.Value();
      ASSERT_EQ(std::memcmp(&quick, &want, sizeof quick), 0) << text;
    }
  }
}

// Expected values from Python: (datetime(...) - datetime(1582, 10, 14)).total_seconds().
TEST(DataCsv, DateCells) {
  struct Case {
    host::CellKind kind;
    const char* text;
    bool ok;
    double seconds;
  };
  using K = host::CellKind;
  const Case cases[] = {
      {K::Date, "1582-10-14", true, 0.0},
      {K::Date, "1582-10-13", true, -86400.0},
      {K::Date, "1970-01-01", true, 12219379200.0},
      {K::Date, "2000-02-29", true, 13171161600.0},
      {K::Date, "1900-02-29", false, 0},
      {K::Date, "2023-02-29", false, 0},
      {K::Date, "2024-13-01", false, 0},
      {K::Date, "2024-1-01", false, 0},
      {K::Date, "2024-01-01T00:00", false, 0},
      {K::DateTime, "2024-03-15T10:30:00", true, 13929877800.0},
      {K::DateTime, "2024-03-15 10:30", true, 13929877800.0},
      {K::DateTime, "2024-03-15T23:59:59.5", true, 13929926399.5},
      {K::DateTime, "2024-03-15", true, 13929840000.0},
      {K::DateTime, "2024-03-15T10:30:00Z", true, 13929877800.0},
      // 24:00 ends the day: the next midnight (Python: datetime(2024, 3, 16)).
      {K::DateTime, "2024-03-15T24:00:00", true, 13929926400.0},
      {K::DateTime, "2024-03-15 24:00", true, 13929926400.0},
      {K::DateTime, "2024-12-31T24:00:00.000Z", true, 13955068800.0},
      {K::DateTime, "2024-03-15T24:00:01", false, 0},
      {K::DateTime, "2024-03-15T24:00:00.5", false, 0},
      {K::DateTime, "2024-03-15T25:00:00", false, 0},
      {K::DateTime, "2024-03-15t10:30:00z", true, 13929877800.0},
      {K::DateTime, "2024-03-15T10:60:00", false, 0},
      // A leap second is the next minute's :00 (Python: datetime(2017, 1, 1),
      // datetime(2015, 7, 1) for the one written two hours east of UTC).
      {K::DateTime, "2016-12-31T23:59:60", true, 13702608000.0},
      {K::DateTime, "2016-12-31 23:59:60.5Z", true, 13702608000.5},
      {K::DateTime, "2015-07-01T01:59:60+02:00", true, 13655088000.0},
      {K::DateTime, "2016-12-31T23:59:61", false, 0},
      {K::DateTime, "2016-12-31T24:00:60", false, 0},
      {K::DateTime, "2024-03-15X10:30:00", false, 0},
      // UTC as pandas writes it; another offset names a moment, read in UTC
      // (expected values from Python's datetime.fromisoformat).
      {K::DateTime, "2024-03-15 10:30:00+00:00", true, 13929877800.0},
      {K::DateTime, "2024-03-15T10:30:00+01:00", true, 13929874200.0},
      {K::DateTime, "2024-03-15 10:30:00-04:00", true, 13929892200.0},
      {K::DateTime, "2024-01-02 11:30:00+01", true, 13923570600.0},
      {K::DateTime, "2024-06-30 23:59:59.5+02", true, 13939163999.5},
      {K::DateTime, "2024-03-15T00:30:00+0530", true, 13929822000.0},
      {K::DateTime, "2024-03-15T10:30:00+24:00", false, 0},
      {K::DateTime, "2024-03-15T10:30:00+01:60", false, 0},
      {K::DateTime, "2024-03-15T10:30:00+1", false, 0},
      {K::DateTime, "2024-03-15T10:30:00+01:0", false, 0},
      {K::DateTime, "2024-03-15T10:30:00Z+01:00", false, 0},
      {K::Time, "10:30:00+01:00", false, 0},
      {K::Time, "10:30:00+00:00", true, 37800.0},
      {K::Time, "10:30:00-0000", true, 37800.0},
      {K::DateTime, "2024-03-15T10:30:00.3", true, 13929877800.3},
      {K::Time, "10:30:00", true, 37800.0},
      {K::Time, "00:00", true, 0.0},
      {K::Time, "100:00:01.25", true, 360001.25},
      {K::Time, "-01:30", true, -5400.0},
      // Fractions are decimals read with one rounding, not sums of tenths.
      {K::Time, "00:00:00.3", true, 0.3},
      {K::Time, "00:00:00.123456789012345678", true, 0.123456789012345678},
      {K::Time, "23:59:60", true, 86400.0},
      {K::Time, "10:30:61", false, 0},
      {K::Time, "1030", false, 0},
      {K::Time, "10:3", false, 0},
  };
  for (const Case& c : cases) {
    double got = 0.0;
    EXPECT_EQ(host::ParseDateCell(c.kind, c.text, got), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(got, c.seconds) << c.text;
    }
  }
}

TEST(DataCsv, CalendarRoundTripAndWeekdays) {
  namespace d = host::dates;
  // Every day over several centuries goes there and back; days are consecutive.
  std::int64_t previous = d::DaysFromCivil(1499, 12, 31);
  for (std::int64_t y = 1500; y <= 2500; ++y) {
    for (unsigned m = 1; m <= 12; ++m) {
      for (unsigned day = 1; day <= d::DaysInMonth(y, m); ++day) {
        const std::int64_t n = d::DaysFromCivil(y, m, day);
        ASSERT_EQ(n, previous + 1) << y << "-" << m << "-" << day;
        previous = n;
        const d::CivilDate back = d::CivilFromDays(n);
        ASSERT_TRUE(back.year == y && back.month == m && back.day == day);
      }
    }
  }
  // 1582-10-15 was a Friday, 2024-03-15 a Friday, 2000-01-01 a Saturday.
  EXPECT_EQ(d::Weekday(1), 6u);
  EXPECT_EQ(d::Weekday(d::DaysFromCivil(2024, 3, 15) - d::kEpochDays), 6u);
  EXPECT_EQ(d::Weekday(d::DaysFromCivil(2000, 1, 1) - d::kEpochDays), 7u);
  EXPECT_EQ(d::DayOfYear({2024, 12, 31}), 366u);

  const d::DateTimeParts p = d::PartsFromSeconds(13929926399.5);
  EXPECT_EQ(p.date.year, 2024);
  EXPECT_EQ(p.date.month, 3u);
  EXPECT_EQ(p.date.day, 15u);
  EXPECT_EQ(p.hour, 23u);
  EXPECT_EQ(p.minute, 59u);
  EXPECT_EQ(p.second, 59.5);
  EXPECT_FALSE(d::InDateRange(1e300));
  EXPECT_FALSE(d::InDateRange(std::nan("")));
  EXPECT_EQ(d::PartsFromSeconds(-1e300).date.year, 1582);     // out of range: the origin, no overflow
  const d::DateTimeParts before = d::PartsFromSeconds(-1.0);  // the last second of 1582-10-13
  EXPECT_EQ(before.date.day, 13u);
  EXPECT_EQ(before.hour, 23u);
}

TEST(DataCsv, FormatTexts) {
  struct Case {
    const char* text;
    int stringWidth;
    const char* want;  // "type width decimals", or null for an error
  };
  const Case cases[] = {
      {"F8.2", 0, "5 8 2"},
      {"f8", 0, "5 8 0"},
      {"F", 0, "5 8 2"},
      {"A20", 20, "1 20 0"},
      {"A", 12, "1 12 0"},
      {"AHEX", 6, "2 12 0"},
      {"DATE11", 0, "20 11 0"},
      {"DATE", 0, "20 11 0"},
      {"DOLLAR10.2", 0, "4 10 2"},
      {"COMMA9.1", 0, "3 9 1"},
      {"PCT", 0, "31 8 2"},
      {"E10.3", 0, "17 10 3"},
      {"N5", 0, "16 5 0"},
      {"Z4", 0, "15 4 0"},
      {"ADATE10", 0, "23 10 0"},
      {"EDATE", 0, "38 10 0"},
      {"JDATE", 0, "24 7 0"},
      {"SDATE", 0, "39 10 0"},
      {"QYR", 0, "29 8 0"},
      {"MOYR", 0, "28 8 0"},
      {"WKYR", 0, "30 10 0"},
      {"DATETIME20", 0, "22 20 0"},
      {"YMDHMS19", 0, "86 19 0"},
      {"TIME8", 0, "21 8 0"},
      {"DTIME", 0, "25 11 0"},
      {"MTIME", 0, "85 5 0"},
      {"WKDAY", 0, "26 9 0"},
      {"MONTH", 0, "27 9 0"},
      {"DATE5", 0, nullptr},
      {"Q8", 0, nullptr},
      {"F8.", 0, nullptr},
      {"F8.2x", 0, nullptr},
      {"F0", 0, nullptr},
      {"F41", 0, nullptr},
      {"F8.8", 0, nullptr},
      {"DATE11.2", 0, nullptr},
      {"", 0, nullptr},
      {"8.2", 0, nullptr},
  };
  for (const Case& c : cases) {
    std::string why;
    const auto f = host::ParseFormatText(c.text, c.stringWidth, why);
    if (c.want == nullptr) {
      EXPECT_FALSE(f.has_value()) << c.text;
      EXPECT_FALSE(why.empty()) << c.text;
      continue;
    }
    ASSERT_TRUE(f.has_value()) << c.text << ": " << why;
    EXPECT_EQ(std::to_string(f->type) + " " + std::to_string(f->width) + " " + std::to_string(f->decimals), c.want)
        << c.text;
  }
}

TEST(DataCsv, Utf8Validation) {
  const char* good[] = {
      "", "plain ascii text!", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xEF\xBF\xBF", "\xF4\x8F\xBF\xBF"};
  const char* bad[] = {"\x80",         "\xC0\xAF",         "\xC3", "\xE0\x80\x80",
                       "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xFF", "abcdefgh\xC3(z"};
  std::size_t at = 0;
  for (const char* s : good) EXPECT_TRUE(host::ValidUtf8(s, at)) << s;
  for (const char* s : bad) EXPECT_FALSE(host::ValidUtf8(s, at)) << s;
  EXPECT_FALSE(host::ValidUtf8("abcdefgh\xC3(z", at));
  EXPECT_EQ(at, 8u);
}

}  // namespace
