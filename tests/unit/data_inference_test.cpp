// Reading data as it comes: names made from headers, delimiter sniffing,
// dialects rewritten, Table Schema cell texts, decoded input.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "data_test_util.h"
#include "host/data/cells.h"
#include "host/data/input.h"
#include "host/data/names.h"

namespace {

using datatest::TempDir;

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(HeaderNames, ValidNamesStayOthersBecomeValidAndUnique) {
  struct Case {
    std::vector<std::string> texts;
    std::vector<std::string> names;
  };
  const std::string long70(70, 'x');
  const Case cases[] = {
      {{"age", "How old are you?", "Q2: rate (1-5)"}, {"age", "How_old_are_you", "Q2_rate_1_5"}},
      // Blank headers take the column number; leading digits and "_" get a "V".
      {{"", "2020", "_id", "  "}, {"V1", "V2020", "V_id", "V4"}},
      // "$" marks sets; reserved words get a "_".
      {{"$x", "TO", "by"}, {"x", "TO_", "by_"}},
      // A later valid name keeps its name; the made name gives way.
      {{"a b", "a_b"}, {"a_b_2", "a_b"}},
      // Equal ignoring case: the second is renamed.
      {{"Age", "AGE", "age"}, {"Age", "AGE_2", "age_3"}},
      // Letters outside ASCII stay; punctuation outside ASCII separates.
      {{"\xC3\xA9t\xC3\xA9", "caf\xC3\xA9 \xE2\x80\x93 bar"}, {"\xC3\xA9t\xC3\xA9", "caf\xC3\xA9_bar"}},
      // A no-break or zero-width space, which a command reads as a blank,
      // makes a header no name; a sign it reads as part of a name does not.
      {{"x\u00A0y", "a\u200Bb", "Preis\u20AC"}, {"x_y", "a_b", "Preis\u20AC"}},
      // At most 64 bytes, suffix included, never inside a character.
      {{long70, long70}, {std::string(64, 'x'), std::string(62, 'x') + "_2"}},
      {{std::string(63, 'y') + "\xC3\xA9"}, {std::string(63, 'y')}},
  };
  for (const Case& c : cases) {
    const std::vector<host::MadeName> made = host::MakeVariableNames(c.texts, false);
    std::vector<std::string> names;
    for (const host::MadeName& m : made) names.push_back(m.name);
    EXPECT_EQ(names, c.names);
  }
  EXPECT_EQ(host::MakeVariableNames({"$x"}, true)[0].name, "$x");
}

TEST(Sniffing, PicksTheDelimiterThatSplitsRowsAlike) {
  struct Case {
    const char* text;
    char delimiter;
  };
  const Case cases[] = {
      {"a,b,c\n1,2,3\n", ','},
      {"a;b\n1,5;2,5\n3;4\n", ';'},  // decimal commas do not fool it
      {"a\tb\tc\n1\t2\t3\n", '\t'},
      {"a|b\n1|2\n", '|'},
      {"name,comment\nAna,\"hi; there; you\"\nBen,ok\n", ','},  // delimiters inside quotes do not count
      {"\xEF\xBB\xBFx;y\r\n1;2\r\n", ';'},
      {"single\n1\n2\n", ','},
  };
  for (const Case& c : cases) {
    TempDir dir;
    EXPECT_EQ(host::SniffDelimiter(dir.Write("d.csv", c.text), "d.csv"), c.delimiter) << c.text;
  }
  // A header row longer than the sample is split as far as it goes.
  std::string wide = "\"Q0: a, b\"";
  for (int i = 1; i < 8000; ++i) wide += ";question_" + std::to_string(i);
  TempDir dir;
  EXPECT_EQ(host::SniffDelimiter(dir.Write("d.csv", wide + "\n" + wide + "\n"), "d.csv"), ';');
}

TEST(Sniffing, TellsCellsQuotedAfterBlanks) {
  struct Case {
    const char* text;
    bool spaced;
  };
  const Case cases[] = {
      {"id, name, age\n1, \"Smith, John\", 34\n", true},
      {"id,name\n1,  \"x\"\n", true},
      {"id,name\n1,\t\"x\"\n", false},                  // the rewrite skips spaces only
      {"id,name\n1,\"a, \"\" \"\"b\"\n2, x\n", false},  // quotes and blanks inside an RFC quoted cell
      {"id,name\n1, x\n2, 5\" ruler\n", false},         // a quote within a cell's text
      {"id,name\n1, \"quoted\" word\n", false},         // text after the quote: the cell as written
      {"id,name\n1,\"x\" \n", false},                   // blanks after a quoted cell only
  };
  for (const Case& c : cases) {
    TempDir dir;
    EXPECT_EQ(host::SniffSpacedQuotes(dir.Write("d.csv", c.text), "d.csv", ','), c.spaced) << c.text;
  }
}

TEST(Dialects, AreRewrittenToPlainCsvKeepingLineNumbers) {
  struct Case {
    host::DialectRewrite dialect;
    const char* in;
    const char* out;
  };
  host::DialectRewrite escape;
  escape.escapeChar = '\\';
  escape.doubleQuote = false;
  host::DialectRewrite spaced;
  spaced.skipInitialSpace = true;
  spaced.commentChar = '#';
  spaced.delimiter = ';';
  host::DialectRewrite single;
  single.quote = '\'';
  single.commentChar = '%';
  const Case cases[] = {
      {escape, "a,b\nsay \\\"hi\\\",x\\,y\n\"q\\\"\",2\n", "a,b\n\"say \"\"hi\"\"\",\"x,y\"\n\"q\"\"\",2\n"},
      {spaced, "# note\na; b\n1;  \"x;y\"\n#c\n", "\na;b\n1;\"x;y\"\n\n"},
      {single, "'it''s';\"q\"\n%\r\n1,2", "\"it's;\"\"q\"\"\"\n\n1,2\n"},
      // A line break inside a quoted cell stays, so later lines keep their numbers.
      {escape, "\"a\nb\",c\n", "\"a\nb\",c\n"},
      // A quote never closed stays open, for the reader to report.
      {spaced, "a;b\n1; \"x\ny\n", "a;b\n1;\"x\ny\n"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    host::InputRequest request;
    request.path = dir.Write("d.csv", c.in);
    request.displayName = "d.csv";
    request.dialect = c.dialect;
    auto input = host::PrepareCsvInput(request);
    EXPECT_TRUE(input->Spooled());
    EXPECT_EQ(Slurp(input->Path()), c.out) << c.in;
  }
}

TEST(Input, PlainFilesAreReadInPlaceAndOthersDecodedOnce) {
  TempDir dir;
  host::InputRequest request;
  request.path = dir.Write("plain.csv", "a\n1\n");
  request.displayName = "plain.csv";
  auto plain = host::PrepareCsvInput(request);
  EXPECT_FALSE(plain->Spooled());
  EXPECT_EQ(plain->Path(), request.path);

  request.path = dir.Write("latin.csv", "v\n\xE9t\xE9\n");
  request.encoding = "latin1";
  auto latin = host::PrepareCsvInput(request);
  EXPECT_TRUE(latin->Spooled());
  EXPECT_EQ(Slurp(latin->Path()), "v\n\xC3\xA9t\xC3\xA9\n");

  request.encoding = "cp1252";
  request.path = dir.Write("cp.csv", "v\nok\n\x81\n");
  try {
    host::PrepareCsvInput(request);
    ADD_FAILURE() << "no error";
  } catch (const host::InputError& e) {
    EXPECT_EQ(std::string(e.what()),
              "plain.csv, line 3: a byte sequence is not cp1252 text; check the encoding named with --encoding (or the "
              "resource's \"encoding\")");
  }
}

TEST(TableSchemaCells, YearMonthDurationBooleanAndStyledNumbers) {
  using host::CellKind;
  double v = 0;
  ASSERT_TRUE(host::ParseDateCell(CellKind::YearMonth, "1582-11", v));
  EXPECT_EQ(v, 18 * 86400.0);  // 1582-11-01 is 18 days after 1582-10-14
  EXPECT_FALSE(host::ParseDateCell(CellKind::YearMonth, "2024-13", v));
  struct Duration {
    const char* text;
    double seconds;
  };
  const Duration durations[] = {{"PT30M", 1800},     {"P1DT2H", 93600},         {"P2W", 14 * 86400},
                                {"-PT1.5S", -1.5},   {"P1Y", 365.2425 * 86400}, {"P1M", 365.2425 * 86400 / 12},
                                {"PT1H30M15S", 5415}};
  for (const Duration& d : durations) {
    ASSERT_TRUE(host::ParseDateCell(CellKind::Duration, d.text, v)) << d.text;
    EXPECT_DOUBLE_EQ(v, d.seconds) << d.text;
  }
  ASSERT_TRUE(host::ParseDateCell(CellKind::Duration, "PT0,3S", v));
  EXPECT_EQ(v, 0.3);  // the nearest double, not a sum of tenths
  for (const char* bad : {"P", "PT", "1D", "P1H", "PT1D", "P1D2Y", "P1.5.5D", "P.D"}) {
    EXPECT_FALSE(host::ParseDateCell(CellKind::Duration, bad, v)) << bad;
  }
  // Each part fits a double, their seconds do not: no infinite duration.
  const std::string years = "P" + std::string(302, '9') + "Y";
  EXPECT_FALSE(host::ParseDateCell(CellKind::Duration, years, v));
  EXPECT_FALSE(
      host::ParseDateCell(CellKind::Duration, "P1" + std::string(307, '0') + "DT1" + std::string(307, '0') + "H", v));
  ASSERT_TRUE(host::ParseDateCell(CellKind::Year, "2024", v));
  EXPECT_EQ(v, 2024);
  EXPECT_FALSE(host::ParseDateCell(CellKind::Year, "2024.5", v));

  EXPECT_TRUE(host::ParseBooleanCell("Y", {"Y"}, {"N"}, v) && v == 1);
  EXPECT_TRUE(host::ParseBooleanCell("N", {"Y"}, {"N"}, v) && v == 0);
  EXPECT_FALSE(host::ParseBooleanCell("y", {"Y"}, {"N"}, v));

  host::NumberStyle european{',', '.', true};
  EXPECT_TRUE(host::ParseStyledNumber("1.234,5", european, v) && v == 1234.5);
  host::NumberStyle comma{',', 0, true};
  EXPECT_FALSE(host::ParseStyledNumber("1.5", comma, v));
  host::NumberStyle money{'.', ',', false};
  EXPECT_TRUE(host::ParseStyledNumber("$1,200.50", money, v) && v == 1200.5);
  EXPECT_TRUE(host::ParseStyledNumber("-15%", money, v) && v == -15);
  // The text around the number may hold its sign, as money is written.
  for (const char* minusFive : {"-$5", "$-5", "($5.00)", "5-", "USD -5", "\u22125", "$\u22125", "5 \u2212"}) {
    EXPECT_TRUE(host::ParseStyledNumber(minusFive, money, v) && v == -5) << minusFive;
  }
  EXPECT_FALSE(host::ParseStyledNumber("-($5)", money, v));
  EXPECT_FALSE(host::ParseStyledNumber("\u2212($5)", money, v));
}

TEST(TableSchemaCells, DatePatterns) {
  using host::dates::SecondsFromCivil;
  struct Case {
    const char* pattern;
    const char* text;
    double seconds;  // NAN: not read
  };
  const Case cases[] = {
      {"%d/%m/%Y", "31/01/2024", SecondsFromCivil(2024, 1, 31)},
      {"%d/%m/%Y", "1/2/2024", SecondsFromCivil(2024, 2, 1)},
      {"%m/%d/%y", "02/29/24", SecondsFromCivil(2024, 2, 29)},
      {"%m/%d/%y", "02/29/23", NAN},  // no such day
      {"%y", "69", SecondsFromCivil(1969, 1, 1)},
      {"%d %b %Y", "5 MAR 1999", SecondsFromCivil(1999, 3, 5)},
      {"%B %d, %Y", "September 9, 2001", SecondsFromCivil(2001, 9, 9)},
      {"%Y-%j", "2024-366", SecondsFromCivil(2024, 12, 31)},
      {"%Y-%j", "2023-366", NAN},
      {"%Y%m%d %H%M", "20240102 0930", SecondsFromCivil(2024, 1, 2) + 9.5 * 3600},
      {"%I:%M %p", "12:15 am", 15 * 60},
      {"%I:%M %p", "12:15 PM", 12 * 3600 + 15 * 60},
      {"%H:%M:%S.%f", "23:59:59.25", 86399.25},
      {"%H:%M", "24:00", NAN},
      {"%d/%m/%Y", "31/01/2024 ", NAN},  // text left over
      {"%d.%m.%Y", "31/01/2024", NAN},   // literal characters must match
      // %z: the moment in UTC (as Python's strptime with %z gives it; Python
      // does not take the hours alone, "+05", which ISO 8601 and DuckDB write).
      {"%Y-%m-%dT%H:%M:%S%z", "2024-03-15T10:30:00+0100", SecondsFromCivil(2024, 3, 15) + 9.5 * 3600},
      {"%Y-%m-%d %H:%M%z", "2024-03-15 23:30-05:00", SecondsFromCivil(2024, 3, 16) + 4.5 * 3600},
      {"%Y-%m-%dT%H:%M:%S%z", "2024-03-15T10:30:00Z", SecondsFromCivil(2024, 3, 15) + 10.5 * 3600},
      {"%d/%m/%Y %H:%M %z", "15/03/2024 00:30 +05", SecondsFromCivil(2024, 3, 14) + 19.5 * 3600},
      {"%H:%M%z", "10:30+01:00", 9.5 * 3600},
      {"%Y-%m-%d %H:%M%z", "2024-03-15 23:30+2400", NAN},
      {"%Y-%m-%d %H:%M%z", "2024-03-15 23:30+1", NAN},
      {"%Y-%m-%d %H:%M%z", "2024-03-15 23:30", NAN},
  };
  for (const Case& c : cases) {
    double v = -1;
    const bool read = host::dates::ParsePatternDate(c.text, c.pattern, v);
    EXPECT_EQ(read, !std::isnan(c.seconds)) << c.pattern << " " << c.text;
    if (read && !std::isnan(c.seconds)) {
      EXPECT_DOUBLE_EQ(v, c.seconds) << c.pattern << " " << c.text;
    }
  }
  double tenths = 0;  // a fraction is the nearest double, not a sum of tenths
  EXPECT_TRUE(host::dates::ParsePatternDate("00:00:00.3", "%H:%M:%S.%f", tenths) && tenths == 0.3);
  EXPECT_TRUE(host::dates::PatternIsReadable("%d/%m/%Y %H:%M"));
  EXPECT_FALSE(host::dates::PatternIsReadable("%d/%m/%Y %Z"));
  EXPECT_FALSE(host::dates::PatternIsReadable("%"));
}

}  // namespace
