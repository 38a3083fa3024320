// The tricky pieces of the Stata and SAS reader: extended missing codes,
// display formats, date conversion, decimals from the data, text decoding,
// file sniffing, and the stream's early stop. Whole files are checked against
// pandas (tests/reference/foreign_reference.py) and by the golden cases.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <vector>

#include "data_test_util.h"
#include "host/data/dates.h"
#include "host/data/extended_missing.h"
#include "host/data/foreign.h"
#include "host/data/foreign_formats.h"
#include "host/output/value_format.h"
#include "host/quvo.h"

namespace {

using host::foreign::Convert;
using host::foreign::MappedFormat;

std::string Text(QUVO_Format f) {
  static const std::map<int, std::string> kNames = {{FormatType::F, "F"},          {FormatType::A, "A"},
                                                    {FormatType::DATE, "DATE"},    {FormatType::DATETIME, "DATETIME"},
                                                    {FormatType::MOYR, "MOYR"},    {FormatType::QYR, "QYR"},
                                                    {FormatType::WKYR, "WKYR"},    {FormatType::TIME, "TIME"},
                                                    {FormatType::ADATE, "ADATE"},  {FormatType::COMMA, "COMMA"},
                                                    {FormatType::DOLLAR, "DOLLAR"}};
  std::string t = kNames.count(f.type) ? kNames.at(f.type) : "?";
  t += std::to_string(f.width);
  if (f.decimals > 0) t += "." + std::to_string(f.decimals);
  return t;
}

// A file's format text, the host format it becomes and what its values need.
struct FormatCase {
  const char* text;
  int width;  // string width, 0 for numbers
  const char* format;
  Convert convert;
  bool fromData;
};

void ExpectFormats(const std::vector<FormatCase>& cases, MappedFormat (*map)(std::string_view, int)) {
  for (const FormatCase& c : cases) {
    const MappedFormat m = map(c.text, c.width);
    EXPECT_EQ(Text(m.format), c.format) << c.text;
    EXPECT_EQ(m.convert, c.convert) << c.text;
    EXPECT_EQ(m.decimalsFromData, c.fromData) << c.text;
  }
}

TEST(DataForeign, ExtendedMissingCodesSortAfterValuesAndReadBack) {
  const double largestStata = std::nextafter(std::ldexp(1.0, 1023), 0.0);  // Stata's largest valid double
  double previous = largestStata;
  // Stata's codes in their order, then SAS's (._ first, as SAS sorts them).
  std::string tags = "abcdefghijklmnopqrstuvwxyz";
  for (char t : tags) {
    const double code = host::ExtendedMissing(t);
    EXPECT_GT(code, previous) << t;
    EXPECT_TRUE(host::IsExtendedMissing(code));
    EXPECT_EQ(host::ExtendedMissingText(code), std::string(".") + t);
    previous = code;
  }
  previous = largestStata;
  for (char t : std::string("_ABCDEFGHIJKLMNOPQRSTUVWXYZ")) {
    const double code = host::ExtendedMissing(t);
    EXPECT_GT(code, previous) << t;
    EXPECT_EQ(host::ExtendedMissingText(code), std::string(".") + t);
    previous = code;
  }
  // Not codes: system-missing, ordinary and huge numbers, Stata's own "." and other tags.
  for (double v : {SYSMIS, 0.0, -1.0, 1e300, largestStata, std::ldexp(1.0, 1023), DBL_MAX, -host::ExtendedMissing('a'),
                   std::nan(""), HUGE_VAL}) {
    EXPECT_FALSE(host::IsExtendedMissing(v)) << v;
    EXPECT_EQ(host::ExtendedMissingText(v), "");
  }
  EXPECT_EQ(host::ExtendedMissing('1'), 0.0);
  EXPECT_EQ(host::ExtendedMissing('.'), 0.0);
}

TEST(DataForeign, ExtendedMissingIsUserMissingAndShowsInEveryFormat) {
  QUVO_Variable v;
  const double a = host::ExtendedMissing('a');
  EXPECT_FALSE(v.IsUserMissingNumber(a));  // only for variables that may hold codes
  v.missing.extended = true;
  EXPECT_FALSE(v.missing.Empty());
  EXPECT_TRUE(v.IsUserMissingNumber(a));
  EXPECT_TRUE(v.IsMissing(ObsFromNumber(host::ExtendedMissing('Z'))));
  EXPECT_FALSE(v.IsUserMissingNumber(SYSMIS));
  EXPECT_FALSE(v.IsUserMissingNumber(12.0));
  for (QUVO_Format f : {QUVO_Format{8, FormatType::F, 2}, QUVO_Format{11, FormatType::DATE, 0},
                        QUVO_Format{10, FormatType::DOLLAR, 2}, QUVO_Format{8, FormatType::TIME, 0}}) {
    EXPECT_EQ(host::valuefmt::Numeric(a, f), ".a") << Text(f);
  }
}

TEST(DataForeign, StataFormats) {
  const std::vector<FormatCase> cases = {
      {"%9.0g", 0, "F9", Convert::None, true},
      {"%10.2f", 0, "F10.2", Convert::None, false},
      {"%-12.3e", 0, "F12.3", Convert::None, false},
      {"%9.2fc", 0, "F9.2", Convert::None, false},
      {"%09.2f", 0, "F9.2", Convert::None, false},
      {"%td", 0, "DATE11", Convert::StataDays, false},
      {"%tdDD/NN/CCYY", 0, "DATE11", Convert::StataDays, false},
      {"%d", 0, "DATE11", Convert::StataDays, false},
      {"%tc", 0, "DATETIME20", Convert::StataMillis, false},
      {"%tCDDmonCCYY_HH:MM", 0, "DATETIME20", Convert::StataLeapMillis, false},
      {"%9,2f", 0, "F9.2", Convert::None, false},
      {"%10,0gc", 0, "F10", Convert::None, true},
      {"%tm", 0, "MOYR8", Convert::StataMonths, false},
      {"%tq", 0, "QYR8", Convert::StataQuarters, false},
      {"%tw", 0, "WKYR10", Convert::StataWeeks, false},
      {"%ty", 0, "F4", Convert::None, false},
      {"%th", 0, "F8.2", Convert::None, false},
      {"%21x", 0, "F8.2", Convert::None, false},
      {"%5.4f", 0, "F5.4", Convert::None, false},
      {"%3.20f", 0, "F3.2", Convert::None, false},
      {"", 0, "F8.2", Convert::None, false},
      {"%-9s", 12, "A12", Convert::None, false},
      {"%td", 5, "A5", Convert::None, false},
  };
  ExpectFormats(cases, host::foreign::MapStataFormat);
}

TEST(DataForeign, SasFormats) {
  const std::vector<FormatCase> cases = {
      {"8.2", 0, "F8.2", Convert::None, false},
      {"12.", 0, "F12", Convert::None, false},
      {"BEST12.", 0, "F12", Convert::None, true},
      {"BEST", 0, "F12", Convert::None, true},
      {"DATE9.", 0, "DATE9", Convert::SasDays, false},
      {"DATE9", 0, "DATE9", Convert::SasDays, false},
      {"DATE.", 0, "DATE11", Convert::SasDays, false},
      {"DATE7.", 0, "DATE11", Convert::SasDays, false},
      {"MMDDYY10.", 0, "ADATE10", Convert::SasDays, false},
      {"DATETIME20.", 0, "DATETIME20", Convert::SasSeconds, false},
      {"TIME8.", 0, "TIME8", Convert::None, false},
      {"COMMA10.2", 0, "COMMA10.2", Convert::None, false},
      {"DOLLAR12.2", 0, "DOLLAR12.2", Convert::None, false},
      {"YYMMDD10.", 0, "F8.2", Convert::None, false},
      {"SEXF.", 0, "F8.2", Convert::None, false},
      {"$20.", 12, "A20", Convert::None, false},
      {"$CHAR.", 12, "A12", Convert::None, false},
      {"", 7, "A7", Convert::None, false},
  };
  ExpectFormats(cases, host::foreign::MapSasFormat);
  EXPECT_EQ(host::foreign::SasFormatName("SEXFMT5."), "SEXFMT");
  EXPECT_EQ(host::foreign::SasFormatName("$yesno."), "$YESNO");
  EXPECT_EQ(host::foreign::SasFormatName("8.2"), "");
  EXPECT_EQ(host::foreign::SasFormatName("best12"), "BEST");
}

TEST(DataForeign, DatesBecomeSecondsSince1582) {
  using host::foreign::ConvertValue;
  const auto day = [](int y, unsigned m, unsigned d) { return host::dates::SecondsFromCivil(y, m, d); };
  struct Case {
    Convert convert;
    double value;
    double expected;
  };
  const Case cases[] = {
      {Convert::StataDays, 0, day(1960, 1, 1)},
      {Convert::StataDays, 21915, day(2020, 1, 1)},
      {Convert::StataDays, -1, day(1959, 12, 31)},
      {Convert::SasDays, 366, day(1961, 1, 1)},
      {Convert::StataMillis, 86400000.0 + 1500, day(1960, 1, 2) + 1.5},
      {Convert::SasSeconds, 3600, day(1960, 1, 1) + 3600},
      {Convert::StataMonths, 725, day(2020, 6, 1)},
      {Convert::StataMonths, -1, day(1959, 12, 1)},
      {Convert::StataQuarters, 240, day(2020, 1, 1)},
      {Convert::StataQuarters, -3, day(1959, 4, 1)},
      {Convert::StataWeeks, 0, day(1960, 1, 1)},
      {Convert::StataWeeks, 51, day(1960, 12, 23)},
      {Convert::StataWeeks, 52, day(1961, 1, 1)},
      {Convert::StataWeeks, -1, day(1959, 12, 24)},
      {Convert::None, 12.5, 12.5},
      // %tC counts the 27 leap seconds from 1972-06-30 to 2016-12-31; one
      // within a leap second shows as the second before it.
      {Convert::StataLeapMillis, 4383 * 86400000.0, day(1972, 1, 1)},
      {Convert::StataLeapMillis, 4565 * 86400000.0 - 500, day(1972, 7, 1) - 0.5},
      {Convert::StataLeapMillis, 4565 * 86400000.0 + 500, day(1972, 7, 1) - 0.5},
      {Convert::StataLeapMillis, 4565 * 86400000.0 + 1000, day(1972, 7, 1)},
      {Convert::StataLeapMillis, 20820 * 86400000.0 + 26000, day(2017, 1, 1) - 1},
      {Convert::StataLeapMillis, 20820 * 86400000.0 + 27000, day(2017, 1, 1)},
      {Convert::StataLeapMillis, -86400000.0, day(1959, 12, 31)},
  };
  for (const Case& c : cases) {
    EXPECT_DOUBLE_EQ(ConvertValue(c.convert, c.value), c.expected) << static_cast<int>(c.convert) << " " << c.value;
  }
}

TEST(DataForeign, DecimalsFromTheData) {
  using host::foreign::DecimalsOf;
  EXPECT_EQ(DecimalsOf(2.0, false), 0);
  EXPECT_EQ(DecimalsOf(-1e20, false), 0);
  EXPECT_EQ(DecimalsOf(1.5, false), 1);
  EXPECT_EQ(DecimalsOf(123.456, false), 3);
  EXPECT_EQ(DecimalsOf(0.1, false), 1);
  EXPECT_EQ(DecimalsOf(static_cast<double>(0.1f), true), 1);   // a float shows as the float it is
  EXPECT_EQ(DecimalsOf(static_cast<double>(0.1f), false), 6);  // not as the double it widens to
  EXPECT_EQ(DecimalsOf(1.0 / 3.0, false), 6);
  EXPECT_EQ(DecimalsOf(1e-10, false), 6);
}

TEST(DataForeign, TextWithoutItsEncodingIsReadAsWindows1252) {
  using host::foreign::TextAsUtf8;
  EXPECT_EQ(TextAsUtf8("Zürich"), "Zürich");  // valid UTF-8 stays
  EXPECT_EQ(TextAsUtf8("Z\xFCrich"), "Zürich");
  EXPECT_EQ(TextAsUtf8("\x80 \x93x\x94"), "€ “x”");
  EXPECT_EQ(TextAsUtf8("\x81"), "\xC2\x81");  // undefined in the code page: the C1 control
  EXPECT_EQ(TextAsUtf8("\xC3"), "Ã");         // a cut UTF-8 sequence is not UTF-8
  // UTF-8 cut inside its last character (a value cut by bytes to its
  // width) loses the cut character; with a stray byte, the rest stays UTF-8.
  EXPECT_EQ(TextAsUtf8("Z\xC3\xBCr\xC3"), "Zür");
  EXPECT_EQ(TextAsUtf8("\xC3\xA4 \xE2\x82"), "ä ");
  EXPECT_EQ(TextAsUtf8("\xC3\xA4\xF0\x9F\x98"), "ä");
  EXPECT_EQ(TextAsUtf8("\xE2\x82\xAC \x80 \xE2\x82"), "€ € â‚");
  // Without a character of several bytes before it, the last byte is the
  // code page's: "café" and "manhã" in Windows-1252 end as a cut would.
  EXPECT_EQ(TextAsUtf8("caf\xE9"), "café");
  EXPECT_EQ(TextAsUtf8("manh\xE3"), "manhã");
  EXPECT_EQ(TextAsUtf8("\xC3\xA4 \xE9t\xE9"), "ä été");  // not cut: é (E9) is followed by a t
  // A label that fills its field (a transport file's 40 bytes) was cut by its
  // writer: ASCII before the cut character is no sign of a code page there.
  using host::foreign::LabelAsUtf8;
  const std::string ascii39(39, 'a');
  EXPECT_EQ(LabelAsUtf8(ascii39 + "\xC3", 40), ascii39);
  EXPECT_EQ(LabelAsUtf8(std::string(38, 'a') + "\xE2\x82", 40), std::string(38, 'a'));
  EXPECT_EQ(LabelAsUtf8("caf\xE9", 40), "café");                // shorter than its field: not cut
  EXPECT_EQ(LabelAsUtf8(ascii39 + "\xE9", 40), ascii39 + "é");  // a whole Windows-1252 é
  // Text ReadStat decoded as ISO-8859-1 goes back to the file's bytes first.
  using host::foreign::Latin1Bytes;
  EXPECT_EQ(Latin1Bytes("ZÃ¼rich \xC2\x81 \xC3\xBF"), "Z\xC3\xBCrich \x81 \xFF");
  // "Ã©" in UTF-8 (C3 83 C2 A9) stays "Ã©"; "café" in Windows-1252 (E9) and 0x80 are read as such.
  EXPECT_EQ(TextAsUtf8(Latin1Bytes("\xC3\x83\xC2\x83\xC3\x82\xC2\xA9 caf\xC3\xA9 \xC2\x80")), "Ã© café €");
}

TEST(DataForeign, FilesAreKnownByTheirFirstBytes) {
  using host::ForeignKind;
  using host::SniffForeign;
  EXPECT_EQ(SniffForeign("<stata_dta><header><release>118"), ForeignKind::Stata);
  EXPECT_EQ(SniffForeign(std::string("\x72\x02\x01\x00", 4)), ForeignKind::Stata);  // release 114
  EXPECT_EQ(SniffForeign(std::string("\x72\x03\x01\x00", 4)), ForeignKind::None);   // no such byte order
  EXPECT_EQ(SniffForeign(std::string("\x74\x02\x01\x00", 4)), ForeignKind::None);   // release 116 never was
  std::string sas(12, '\0');
  sas += std::string("\xC2\xEA\x81\x60\xB3\x14\x11\xCF\xBD\x92\x08\x00\x09\xC7\x31\x8C\x18\x1F\x10\x11", 20);
  EXPECT_EQ(SniffForeign(sas), ForeignKind::Sas);
  sas[15] = '\x63';
  EXPECT_EQ(SniffForeign(sas), ForeignKind::SasCatalog);
  EXPECT_EQ(SniffForeign("HEADER RECORD*******LIBRARY HEADER RECORD!!!!!!!"), ForeignKind::Transport);
  EXPECT_EQ(SniffForeign("HEADER RECORD*******LIBV8   HEADER RECORD!!!!!!!"), ForeignKind::Transport);
  EXPECT_EQ(SniffForeign("id,age\n1,2\n"), ForeignKind::None);
  EXPECT_EQ(SniffForeign(""), ForeignKind::None);

  // A CSV file named .dta is refused: the golden case foreign_not_stata.
}

// A Stata file of several blocks: every case once, in order; a pass
// abandoned after one block ends ReadStat's parse (the producer is waiting
// with the next block) and the case count still comes out right.
TEST(DataForeign, StreamsInBlocksAndStopsEarly) {
  datatest::TempDir dir;
  std::string csv = "n,s\n";
  constexpr int kCases = 20000;
  for (int i = 1; i <= kCases; ++i)
    csv += std::to_string(i) + "," + (i % 3 == 0 ? "" : "x" + std::to_string(i % 7)) + "\n";
  dir.Write("data.csv", csv);
  const std::string dta = dir.Path() + "/data.dta";
  const std::string command = std::string(CODEBOOK_BINARY_DIR) + "/foreign-writer " + dir.Path() + "/data.csv " + dta;
  ASSERT_EQ(std::system(command.c_str()), 0) << command;

  std::vector<std::string> warnings;
  std::shared_ptr<host::Dataset> ds = host::LoadDataset(dta, warnings);
  ASSERT_EQ(ds->variables.size(), 2u);
  const datatest::Pass pass = datatest::ReadAll(*ds);
  ASSERT_EQ(pass.cases.size(), static_cast<std::size_t>(kCases));
  EXPECT_GT(pass.blockRows.size(), 2u);
  for (int i : {1, 2, 3, 8192, 8193, kCases}) {
    const std::string s = i % 3 == 0 ? "" : "x" + std::to_string(i % 7);
    EXPECT_EQ(pass.cases[static_cast<std::size_t>(i - 1)], std::to_string(i) + "|'" + s + "'");
  }
  for (int round = 0; round < 3; ++round) {
    std::unique_ptr<host::CaseCursor> cursor = ds->cases->Open();
    const host::CaseBlock* block = cursor->NextBlock();
    ASSERT_NE(block, nullptr);
    EXPECT_LT(block->rows, static_cast<std::size_t>(kCases));
    EXPECT_EQ(cursor->CountRemaining(), kCases - static_cast<std::int64_t>(block->rows));
  }
  {
    std::unique_ptr<host::CaseCursor> cursor = ds->cases->Open();
    ASSERT_NE(cursor->NextBlock(), nullptr);
  }  // destroyed mid-file: the producer must end, not hang
  EXPECT_EQ(ds->CaseCount(), kCases);

  // A file written to after its dictionary was read (still being copied or
  // saved) would mix old and new cases, or fail as damaged: every later
  // pass fails, saying that it changed.
  for (const bool replaced : {true, false}) {
    std::vector<std::string> ignored;
    std::shared_ptr<host::Dataset> changing = host::LoadDataset(dta, ignored);
    if (replaced) {
      ASSERT_EQ(std::system(command.c_str()), 0) << command;  // the same bytes, saved again
    } else {
      std::ofstream(dta, std::ios::app) << "more";
    }
    try {
      datatest::ReadAll(*changing);
      ADD_FAILURE() << "no error, replaced " << replaced;
    } catch (const host::InputError& e) {
      EXPECT_NE(std::string(e.what()).find(dta + ": the file changed while it was being read"), std::string::npos)
          << e.what();
    }
  }
}

}  // namespace
