// The CODEBOOK parser, driven by a table: command -> messages (in order),
// acceptance, items, treatment slots and options.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codebook/parser/cbkparser.h"
#include "host/command.h"
#include "host/document.h"
#include "host/output/model.h"
#include "support/test_dataset.h"

namespace {

// Index: name (type, level)
//  0 id (numeric, unknown)   1 sex (numeric, nominal)   2 educ (numeric, ordinal)
//  3 income (numeric, scale) 4 inc (numeric, scale; a prefix of income)
//  5 city (string, nominal)  6 code (string, scale)     7 grade (string, ordinal)
//  8 note (string, unknown)  9 q1 (numeric, nominal; attributes Wave, $Reserved)
// 10 q2 (numeric, scale; attribute Topic)
// Sets: $fruit (category set), $Tools (dichotomy set).
void MakeDictionary(bool withSets) {
  testsupport::DatasetBuilder b;
  b.Numeric("id", Measure::Unknown);
  b.Numeric("sex", Measure::Nominal);
  b.Numeric("educ", Measure::Ordinal);
  b.Numeric("income", Measure::Scale);
  b.Numeric("inc", Measure::Scale);
  b.String("city", 8, Measure::Nominal);
  b.String("code", 4, Measure::Scale);
  b.String("grade", 2, Measure::Ordinal);
  b.String("note", 10, Measure::Unknown);
  QUVO_Variable& q1 = b.Numeric("q1", Measure::Nominal);
  q1.attributes.Add("Wave", {"1"});
  q1.attributes.Add("$Reserved", {"x"});
  b.Numeric("q2", Measure::Scale).attributes.Add("Topic", {"food"});
  if (withSets) {
    b.CategorySet("$fruit", "Fruit", {"q1", "q2"});
    b.DichotomySet("$Tools", "Tools", "1", {"sex", "q1"});
  }
  b.Activate();
}

struct Outcome {
  bool ok = false;
  std::vector<std::string> messages;
  std::string items;
  std::string treatment;
  std::string options;
};

Outcome Run(const std::string& arguments) {
  host::ResetOutput();
  std::vector<host::Command> commands = host::SplitCommands("CODEBOOK " + arguments, "test");
  Outcome out;
  if (commands.size() != 1) return out;
  host::SetCurrentCommand(commands[0]);
  ProcedureDataSource source;
  ParserMessage messages;
  codebook::CodebookParser parser(source, messages);
  out.ok = parser.parse();
  for (const host::Item& item : host::Output().Items()) {
    if (item.IsTable()) continue;
    out.messages.push_back((item.message.severity == host::Severity::Error ? "E: " : "W: ") + item.message.text);
  }
  const codebook::CodebookSettings& s = *parser.GetSettings();
  for (const codebook::CodebookItem& item : s.items()) {
    out.items += (out.items.empty() ? "" : " ") + item.name + "#" + std::to_string(item.index);
  }
  const int columns = source.ColumnCount();
  for (std::size_t k = 0; k < s.treatment().size(); ++k) {
    if (static_cast<int>(k) == columns) out.treatment += "|";
    out.treatment += std::to_string(s.treatment()[k]);
  }
  auto bit = [](bool b) { return b ? "1" : "0"; };
  std::string o = "vi=" + std::string(bit(s.varInfoGiven())) + ":";
  for (bool b : {s.varInfoPosition(), s.varInfoLabel(), s.varInfoType(), s.varInfoFormat(), s.varInfoMeasure(),
                 s.varInfoRole(), s.varInfoAttributes(), s.varInfoValueLabels(), s.varInfoMissing(),
                 s.varInfoReservedAttributes()}) {
    o += bit(b);
  }
  o += " fi=" + std::string(bit(s.fileInfoGiven())) + ":";
  for (bool b : {s.fileInfoName(), s.fileInfoLocation(), s.fileInfoCaseCount(), s.fileInfoLabel(),
                 s.fileInfoAttributes(), s.fileInfoDocuments(), s.fileInfoWeight(), s.fileInfoReservedAttributes()}) {
    o += bit(b);
  }
  o += " st=" + std::string(bit(s.statisticsGiven())) + "/" + bit(s.statisticsNone()) + ":";
  for (bool b : {s.statCount(), s.statPercent(), s.statMean(), s.statStdDev(), s.statQuartiles()}) o += bit(b);
  o += " max=" + std::to_string(s.maxCats()) + " ord=" + std::to_string(s.varOrder()) + " asc=" +
       bit(s.sortAscending()) + " attr=" + s.orderAttributeName();
  out.options = o;
  return out;
}

const char* const kDefaults = "vi=0:0000000000 fi=0:00000000 st=0/0:00000 max=200 ord=2 asc=1 attr=";
const char* const kInitial = "11111111111|22";
const char* const kAllNames = "id#0 sex#1 educ#2 income#3 inc#4 city#5 code#6 grade#7 note#8 q1#9 q2#10";
const char* const kDup = "E: Duplicate variable or MRset name.";
const char* const kSyntax = "E: Error in < CODEBOOK > command.";
const char* const kBadLevel = "W: Invalid measurement level.";
const char* const kStringScale = "W: Scale (continuous) measurement.";
const char* const kImproperTo =
    "E: The keyword TO is used improperly in a variable list: a range needs two different variable names, as in a TO "
    "c.";

struct Case {
  const char* command;
  bool ok;
  std::vector<std::string> messages;
  const char* items;      // a list that fails stores none
  const char* treatment;  // "" = not checked
  const char* options;    // "" = not checked
};

void Check(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("CODEBOOK ") + c.command);
    Outcome out = Run(c.command);
    EXPECT_EQ(out.ok, c.ok);
    EXPECT_EQ(out.messages, c.messages);
    EXPECT_EQ(out.items, c.items);
    if (*c.treatment != '\0') {
      EXPECT_EQ(out.treatment, c.treatment);
    }
    if (*c.options != '\0') {
      EXPECT_EQ(out.options, c.options);
    }
  }
}

class CodebookParserTable : public ::testing::Test {
 protected:
  void SetUp() override { MakeDictionary(true); }
};

TEST_F(CodebookParserTable, DefaultListAndSingleNames) {
  Check({
      {"", true, {}, "id#0 sex#1 educ#2 income#3 inc#4 city#5 code#6 grade#7 note#8 q1#9 q2#10 $fruit#11 $Tools#12",
       // No string rule for the default list: code and note stay scale.
       "12211212121|22", kDefaults},
      {"/STATISTICS NONE", true, {}, "id#0 sex#1 educ#2 income#3 inc#4 city#5 code#6 grade#7 note#8 q1#9 q2#10 $fruit#11 $Tools#12",
       "", "vi=0:0000000000 fi=0:00000000 st=1/1:00000 max=200 ord=2 asc=1 attr="},
      // Names keep the case written; lookups ignore it.
      {"INCOME inc", true, {}, "INCOME#3 inc#4", kInitial, kDefaults},
      {"income INCOME", false, {kDup}, "", "", ""},
      {"inco", false, {"E: inco Invalid or non-existent variable name."}, "", "", ""},
      {"incomes", false, {"E: incomes Invalid or non-existent variable name."}, "", "", ""},
      {"TO", false, {"E: TO Invalid or non-existent variable name."}, "", "", ""},
      {"sex 'x y'", false, {"E: x y Invalid or non-existent variable name."}, "", "", ""},
      {"sex city code grade note", true, {}, "sex#1 city#5 code#6 grade#7 note#8", "12111222211|22", ""},
      {"sex sex", false, {kDup}, "", "", ""},
      // An error ends the list at once: later problems are not reported.
      {"q2 [X] nosuch other", false, {kBadLevel, "E: nosuch Invalid or non-existent variable name."}, "", "", ""},
  });
}

TEST_F(CodebookParserTable, LevelQualifiers) {
  Check({
      {"id [O] sex [S] educ [N] income [n]", true, {}, "id#0 sex#1 educ#2 income#3", "31221111111|22", ""},
      {"q2 [X]", true, {kBadLevel}, "q2#10", kInitial, ""},
      {"q1 [X]", true, {kBadLevel}, "q1#9", "11111111121|22", ""},
      {"city [S]", true, {kStringScale}, "city#5", "11111211111|22", ""},
      {"city [O] grade [O]", true, {}, "city#5 grade#7", "11111313111|22", ""},
      {"city [X]", true, {kStringScale}, "city#5", "11111211111|22", ""},
      // Strings whose level is neither nominal nor ordinal end nominal, without a word about it.
      {"code [O] note [N]", true, {}, "code#6 note#8", "11111121211|22", ""},
      {"code [S]", true, {kStringScale}, "code#6", "11111121111|22", ""},
      {"q1 [N", false, {kSyntax}, "", "", ""},
      {"q1 [ N X ]", false, {kSyntax}, "", "", ""},
      {"q1 [N] [O]", false, {"E: [ Invalid or non-existent variable name."}, "", "", ""},
      // The duplicate is found before the broken qualifier.
      {"q1 q1 [N", false, {kDup}, "", "", ""},
      {"nosuch [N", false, {"E: nosuch Invalid or non-existent variable name."}, "", "", ""},
  });
}

TEST_F(CodebookParserTable, AllVariables) {
  Check({
      {"ALL", true, {}, kAllNames, "12211222221|22", kDefaults},
      {"all $all", true, {}, "id#0 sex#1 educ#2 income#3 inc#4 city#5 code#6 grade#7 note#8 q1#9 q2#10 $fruit#11 $Tools#12",
       "12211222221|22", ""},
      {"ALL [O]", true, {}, kAllNames, "33333323233|22", ""},
      {"ALL [X]",
       true,
       {kBadLevel, kBadLevel, kBadLevel, kBadLevel, kBadLevel, kStringScale, kStringScale, kStringScale, kStringScale,
        kBadLevel, kBadLevel},
       kAllNames,
       "12211222221|22",
       ""},
      {"sex ALL", false, {kDup}, "", "", ""},
      {"ALL sex", false, {kDup}, "", "", ""},
      {"ALL [N", false, {kSyntax}, "", "", ""},
      {"ALL $fruit", true, {}, "id#0 sex#1 educ#2 income#3 inc#4 city#5 code#6 grade#7 note#8 q1#9 q2#10 $fruit#11", "", ""},
  });
}

TEST_F(CodebookParserTable, Ranges) {
  Check({
      {"sex TO income", true, {}, "sex#1 educ#2 income#3", "12211111111|22", ""},
      {"income to sex", true, {}, "sex#1 educ#2 income#3", "12211111111|22", ""},
      {"city TO note", true, {}, "city#5 code#6 grade#7 note#8", "11111222211|22", ""},
      {"sex TO sex", false, {kImproperTo}, "", "", ""},
      {"sex TO SEX", false, {kImproperTo}, "", "", ""},
      {"sex TO", false, {kImproperTo}, "", "", ""},
      {"sex [N] TO", false, {kImproperTo}, "", "", ""},
      {"educ sex TO income", true, {}, "educ#2 sex#1 income#3", "", ""},
      {"sex TO income educ", false, {kDup}, "", "", ""},
      {"sex TO income income", false, {kDup}, "", "", ""},
      {"sex TO income educ TO inc", false, {kDup}, "", "", ""},
      {"id inc TO sex", true, {}, "id#0 sex#1 educ#2 income#3 inc#4", "", ""},
      {"sex TO $fruit", false, {"E: sex TO $fruit keyword used for multiple response sets."}, "", "", ""},
      {"$fruit TO sex", false, {"E: $fruit TO sex keyword used for multiple response sets."}, "", "", ""},
      {"sex TO nosuch", false, {"E: nosuch Invalid or non-existent variable name."}, "", "", ""},
      {"nosuch TO zzz", false, {"E: nosuch Invalid or non-existent variable name."}, "", "", ""},
      // Each endpoint takes its own qualifier; inner variables get their defaults.
      {"sex [O] TO income [N]", true, {}, "sex#1 educ#2 income#3", "13221111111|22", ""},
      {"income [O] TO sex", true, {}, "sex#1 educ#2 income#3", "12231111111|22", ""},
      {"city TO grade [S]", true, {kStringScale}, "city#5 code#6 grade#7", "11111222111|22", ""},
      {"sex TO income [N", false, {kSyntax}, "", "", ""},
      {"sex TO income [X] q1", true, {kBadLevel}, "sex#1 educ#2 income#3 q1#9", "12211111121|22", ""},
  });
}

TEST_F(CodebookParserTable, Sets) {
  Check({
      {"$fruit", true, {}, "$fruit#11", kInitial, ""},
      {"$tools $FRUIT", true, {}, "$tools#11 $FRUIT#12", "", ""},
      {"$fruit $fruit", false, {kDup}, "", "", ""},
      {"$fruit $FRUIT", false, {kDup}, "", "", ""},
      {"$nosuch", false, {"E: $nosuch Invalid or non-existent variable name."}, "", "", ""},
      {"$fru", false, {"E: $fru Invalid or non-existent variable name."}, "", "", ""},
      {"$ALL", true, {}, "$fruit#11 $Tools#12", "", ""},
      {"$ALL $fruit", false, {kDup}, "", "", ""},
      {"$fruit $ALL", true, {}, "$fruit#11 $fruit#12 $Tools#13", "", ""},
      {"$ALL [N]", false, {"E: [ Invalid or non-existent variable name."}, "", "", ""},
      {"$fruit [O]", true, {kBadLevel}, "$fruit#11", "", ""},
      {"$fruit [n]", true, {}, "$fruit#11", "", ""},
      {"$fruit [N", false, {kSyntax}, "", "", ""},
      {"sex $Tools income $fruit", true, {}, "sex#1 $Tools#11 income#3 $fruit#12", "", ""},
  });
}

TEST_F(CodebookParserTable, NamedSubcommands) {
  Check({
      {"sex /VARINFO", true, {"W: < VARINFO > must be followed by one or more keywords. This subcommand ignored."},
       "sex#1", "", kDefaults},
      {"sex /VARINFO RESERVEDATTRIBUTES", true, {}, "sex#1", "",
       "vi=1:0000000001 fi=0:00000000 st=0/0:00000 max=200 ord=2 asc=1 attr="},
      {"sex /VARINFO LABEL POSITION MISSING", true, {}, "sex#1", "",
       "vi=1:1100000010 fi=0:00000000 st=0/0:00000 max=200 ord=2 asc=1 attr="},
      {"sex /varinfo missing position label", true, {}, "sex#1", "",
       "vi=1:1100000010 fi=0:00000000 st=0/0:00000 max=200 ord=2 asc=1 attr="},
      {"sex /VARINFO POSITION LABEL TYPE FORMAT MEASURE ROLE ATTRIBUTES VALUELABELS MISSING RESERVEDATTRIBUTES", true,
       {}, "sex#1", "", "vi=1:1111111111 fi=0:00000000 st=0/0:00000 max=200 ord=2 asc=1 attr="},
      {"sex /FILEINFO", true, {"W: < FILEINFO > must be followed by one or more keywords. This subcommand ignored."},
       "sex#1", "", kDefaults},
      {"sex /FILEINFO NAME WEIGHT", true, {}, "sex#1", "",
       "vi=0:0000000000 fi=1:10000010 st=0/0:00000 max=200 ord=2 asc=1 attr="},
      {"sex /FILEINFO NAME LOCATION CASECOUNT LABEL ATTRIBUTES DOCUMENTS WEIGHT RESERVEDATTRIBUTES", true, {}, "sex#1",
       "", "vi=0:0000000000 fi=1:11111111 st=0/0:00000 max=200 ord=2 asc=1 attr="},
      {"sex /STATISTICS COUNT MEAN", true, {}, "sex#1", "",
       "vi=0:0000000000 fi=0:00000000 st=1/0:10100 max=200 ord=2 asc=1 attr="},
      {"sex /STATISTICS QUARTILES STDDEV PERCENT", true, {}, "sex#1", "",
       "vi=0:0000000000 fi=0:00000000 st=1/0:01011 max=200 ord=2 asc=1 attr="},
      {"sex /STATISTICS NONE", true, {}, "sex#1", "",
       "vi=0:0000000000 fi=0:00000000 st=1/1:00000 max=200 ord=2 asc=1 attr="},
      {"sex /STATISTICS", true,
       {"W: < STATISTICS > must be followed by one or more keywords. This subcommand ignored."}, "sex#1", "", kDefaults},
      // OPTIONS is not read after STATISTICS failed: no MAXCATS warning.
      {"sex /STATISTICS NONE COUNT /OPTIONS MAXCATS=0", false,
       {"E: The keyword NONE on the STATISTICS subcommand cannot be combined with any other keyword."}, "sex#1", "",
       ""},
      // A failing list stops before the subcommands are read.
      {"nosuch /VARINFO", false, {"E: nosuch Invalid or non-existent variable name."}, "", "", ""},
      // The host parser's errors come alone.
      {"sex /VARINFO LABLE", false,
       {"E: Unknown keyword LABLE on the /VARINFO subcommand; the valid keywords are POSITION, LABEL, TYPE, FORMAT, "
        "MEASURE, ROLE, ATTRIBUTES, VALUELABELS, MISSING and RESERVEDATTRIBUTES (line 1, column 23)."},
       "", "", ""},
      {"/STATISTICS MEAN=3", false,
       {"E: The keyword MEAN on the /STATISTICS subcommand takes no value, but \"=\" follows it (line 1, column 26)."},
       "", "", ""},
      {"nosuch /STATISTICS MEDIAN", false,
       {"E: Unknown keyword MEDIAN on the /STATISTICS subcommand; the valid keywords are NONE, COUNT, PERCENT, MEAN, "
        "STDDEV and QUARTILES (line 1, column 29)."},
       "", "", ""},
      {"sex /OPTIONS SORT=UP", false,
       {"E: SORT=UP is not valid on the /OPTIONS subcommand; use SORT=ASCENDING or DESCENDING (line 1, column 28)."}, "",
       "", ""},
      {"sex /OPTIONS MAXCATS", false,
       {"E: The keyword MAXCATS on the /OPTIONS subcommand needs a value, as in MAXCATS=n (line 1, column 23)."}, "", "",
       ""},
      {"sex /STATISTICS COUNT /OPTIONS SORT=DESCENDING /VARINFO LABEL", true, {}, "sex#1", "",
       "vi=1:0100000000 fi=0:00000000 st=1/0:10000 max=200 ord=2 asc=0 attr="},
  });
}

TEST_F(CodebookParserTable, Options) {
  const char* kMax = "W: MAXCATS must be a positive integer.";
  const char* kIgnored = "W: < OPTIONS > must be followed by one or more keywords. This subcommand ignored.";
  Check({
      {"sex /OPTIONS MAXCATS=7", true, {}, "sex#1", "", "vi=0:0000000000 fi=0:00000000 st=0/0:00000 max=7 ord=2 asc=1 attr="},
      {"sex /OPTIONS MAXCATS=+3", true, {}, "sex#1", "", "vi=0:0000000000 fi=0:00000000 st=0/0:00000 max=3 ord=2 asc=1 attr="},
      {"sex /OPTIONS MAXCATS=+0", true, {kMax, kIgnored}, "sex#1", "", kDefaults},
      {"sex /OPTIONS MAXCATS=0", true, {kMax, kIgnored}, "sex#1", "", kDefaults},
      {"sex /OPTIONS MAXCATS=-1", true, {kMax, kIgnored}, "sex#1", "", kDefaults},
      {"sex /OPTIONS MAXCATS=2.5", true, {kMax, kIgnored}, "sex#1", "", kDefaults},
      {"sex /OPTIONS MAXCATS=many", true, {kMax, kIgnored}, "sex#1", "", kDefaults},
      {"sex /OPTIONS MAXCATS=0 SORT=DESCENDING", true, {kMax}, "sex#1", "",
       "vi=0:0000000000 fi=0:00000000 st=0/0:00000 max=200 ord=2 asc=0 attr="},
      {"sex /OPTIONS", true, {kIgnored}, "sex#1", "", kDefaults},
      {"sex /OPTIONS VARORDER=FILE", true, {}, "sex#1", "", "vi=0:0000000000 fi=0:00000000 st=0/0:00000 max=200 ord=0 asc=1 attr="},
      {"sex /OPTIONS varorder=alpha", true, {}, "sex#1", "", "vi=0:0000000000 fi=0:00000000 st=0/0:00000 max=200 ord=1 asc=1 attr="},
      {"sex /OPTIONS VARORDER=VARLIST SORT=ASCENDING", true, {}, "sex#1", "", kDefaults},
      {"sex /OPTIONS VARORDER=MEASURE", true, {}, "sex#1", "", "vi=0:0000000000 fi=0:00000000 st=0/0:00000 max=200 ord=3 asc=1 attr="},
      // The attribute name is matched ignoring case and kept as written.
      {"q1 /OPTIONS VARORDER=ATTRIBUTE(wave)", true, {}, "q1#9", "",
       "vi=0:0000000000 fi=0:00000000 st=0/0:00000 max=200 ord=4 asc=1 attr=wave"},
      // Only listed variables count.
      {"sex /OPTIONS VARORDER=ATTRIBUTE(Wave)", true, {"W: Invalid attribute name specified for VARORDER."}, "sex#1", "",
       kDefaults},
      {"$fruit /OPTIONS VARORDER=ATTRIBUTE(Wave)", true, {"W: Invalid attribute name specified for VARORDER."},
       "$fruit#11", "", kDefaults},
      // Reserved attributes ("$...") never order the list.
      {"q1 /OPTIONS VARORDER=ATTRIBUTE($Reserved)", true, {"W: Invalid attribute name specified for VARORDER."}, "q1#9",
       "", kDefaults},
      {"q1 /OPTIONS VARORDER=ATTRIBUTE(Wav)", true, {"W: Invalid attribute name specified for VARORDER."}, "q1#9", "",
       kDefaults},
      // The default list holds q2, which carries Topic.
      {"/OPTIONS VARORDER=ATTRIBUTE(TOPIC) SORT=DESCENDING MAXCATS=3", true, {},
       "id#0 sex#1 educ#2 income#3 inc#4 city#5 code#6 grade#7 note#8 q1#9 q2#10 $fruit#11 $Tools#12", "",
       "vi=0:0000000000 fi=0:00000000 st=0/0:00000 max=3 ord=4 asc=0 attr=TOPIC"},
  });
}

TEST(CodebookParserDictionary, WithoutSets) {
  MakeDictionary(false);
  Check({
      {"", true, {}, kAllNames, "12211212121", ""},
      {"$ALL", false, {"E: No MRSet."}, "", "", ""},
      {"$fruit", false, {"E: $fruit Invalid or non-existent variable name."}, "", "", ""},
  });
}

TEST(CodebookParserDictionary, NoVariables) {
  testsupport::DatasetBuilder().Activate();
  Check({
      {"", true, {}, "", "", kDefaults},
      {"ALL [X]", true, {}, "", "", ""},
      {"x", false, {"E: x Invalid or non-existent variable name."}, "", "", ""},
  });
}

}  // namespace
