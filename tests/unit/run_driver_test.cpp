// Whole runs of CODEBOOK on in-memory datasets: when a run happens, the
// plan's aggregation indices, "Empty dataset." and the closing warnings.
// Expected numbers are worked out by hand from the cases below.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "host/data/dataset.h"
#include "host/dataset.h"

#include "codebook/cbkoutput.h"
#include "run_support.h"
#include "support/test_dataset.h"

namespace {

using runtest::Join;
using runtest::RunCommand;

// id 1..5; sex with a user-missing 9 and a system-missing case; rating a
// scale variable with three value labels (3 never occurs).
void SurveyDataset(bool withCases = true) {
  testsupport::DatasetBuilder b;
  b.Numeric("id", Measure::Scale);
  QUVO_Variable& sex = b.Numeric("sex", Measure::Nominal);
  sex.missing.numbers = {9};
  b.Numeric("rating", Measure::Scale, 1);
  b.ValueLabel("sex", 1, "Male").ValueLabel("sex", 2, "Female").ValueLabel("sex", 9, "No answer");
  b.ValueLabel("rating", 1, "Poor").ValueLabel("rating", 3, "Fair").ValueLabel("rating", 5, "Good");
  if (withCases) {
    b.Case({1, 1, 1}).Case({2, 2, 2}).Case({3, 2, 5}).Case({4, 9, 5}).Case({5, SYSMIS, 4});
  }
  b.Activate();
}

TEST(RunDriver, NoRunWithoutAGoodParseOrAUsableDataset) {
  SurveyDataset();
  // A syntax error: its message, and nothing else.
  const auto lines = RunCommand("CODEBOOK nosuch.");
  ASSERT_EQ(lines.size(), 1u) << Join(lines);
  EXPECT_EQ(lines[0].rfind("error: ", 0), 0u) << lines[0];

  // No variables: nothing at all.
  testsupport::DatasetBuilder empty;
  empty.Activate();
  EXPECT_EQ(Join(RunCommand("CODEBOOK.")), "");

  // A dataset that failed to load: nothing at all.
  testsupport::DatasetBuilder broken;
  broken.Numeric("x");
  broken.Facts().fatal = true;
  broken.Activate();
  EXPECT_EQ(Join(RunCommand("CODEBOOK x.")), "");
}

TEST(RunDriver, ParseWarningsStayBeforeTheTables) {
  SurveyDataset();
  const auto lines = RunCommand("CODEBOOK id /VARINFO /STATISTICS NONE.");
  ASSERT_GE(lines.size(), 2u) << Join(lines);
  EXPECT_EQ(lines[0].rfind("warning: ", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1], "table id (Variable Information)");
}

// Cases whose reading fails, as a file with a bad cell does.
class FailingCases : public host::CaseSource {
 public:
  std::unique_ptr<host::CaseCursor> Open() const override {
    struct Cursor : host::CaseCursor {
      const host::CaseBlock* NextBlock() override { throw host::InputError("cases.csv:2:3: not a number"); }
      std::int64_t CountRemaining() override { return 0; }
    };
    return std::make_unique<Cursor>();
  }
};

TEST(RunDriver, InputErrorsDuringThePassLeaveTheRunCleanly) {
  SurveyDataset();
  host::ActiveDataset()->cases = std::make_shared<FailingCases>();
  // The error goes to the caller; everything the run made is released (the
  // sanitizer build checks that nothing leaks).
  EXPECT_THROW(RunCommand("CODEBOOK rating sex."), host::InputError);
}

// Whole runs on the survey dataset, with and without its cases; the expected
// summaries are in tests/unit/cases/driver_runs.txt.
TEST(RunDriver, CaseFile) {
  runtest::CheckRuns("driver_runs.txt",
                     {{"survey", [] { SurveyDataset(); }}, {"survey without cases", [] { SurveyDataset(false); }}});
}

void LabelDataset() {
  testsupport::DatasetBuilder b;
  b.Numeric("A", Measure::Nominal);
  b.Numeric("B", Measure::Nominal);
  b.Numeric("C", Measure::Nominal);
  b.Numeric("D", Measure::Nominal);
  b.ValueLabel("A", 1, "one").ValueLabel("A", 2, "two");
  b.ValueLabel("B", 1, "one").ValueLabel("B", 2, "two");
  b.ValueLabel("C", 1, "one");
  b.Case({1, 1, 1, 1}).Case({2, 2, 1, 2}).Case({1, 2, 1, 3});
  b.Activate();
}

TEST(RunDriver, ClosingWarningsNameTheItemsExactly) {
  LabelDataset();
  struct Case {
    const char* command;
    const char* warnings;  // the message lines, in order
  };
  const Case cases[] = {
      // D has no labels, so with only MISSING or VALUELABELS nothing of it
      // is shown: "name ," per item, and only the last comma goes.
      {"CODEBOOK D A C /VARINFO MISSING /STATISTICS NONE.", "warning: No Variable Information for D .\n"},
      {"CODEBOOK D A /VARINFO VALUELABELS /STATISTICS NONE.", "warning: No Variable Information for D .\n"},
      // More labels than MAXCATS, labels shown, nothing counted.
      {"CODEBOOK D A /STATISTICS NONE /OPTIONS MAXCATS=1.",
       "warning: Value labels, counts, and/or percents not displayed for A.\n"},
      {"CODEBOOK D A B C /STATISTICS NONE /OPTIONS MAXCATS=1.",
       "warning: Value labels, counts, and/or percents not displayed for A,B.\n"},
      // Value labels not shown: no label warning whatever their number; too
      // many labels to list leaves nothing shown.
      {"CODEBOOK A B /VARINFO MISSING /STATISTICS NONE /OPTIONS MAXCATS=1.",
       "warning: No Variable Information for A ,B .\n"},
      // Counted: A and B exceed MAXCATS by their labels, D in the data.
      {"CODEBOOK A B C D /STATISTICS COUNT /OPTIONS MAXCATS=1.",
       "warning: Value labels, counts, and/or percents not displayed for A,B,D.\n"},
      {"CODEBOOK D /STATISTICS PERCENT /OPTIONS MAXCATS=2.",
       "warning: Value labels, counts, and/or percents not displayed for D.\n"},
  };
  for (const Case& c : cases) {
    std::string messages;
    for (const std::string& line : RunCommand(c.command)) {
      if (line.rfind("warning: ", 0) == 0 || line.rfind("error: ", 0) == 0) messages += line + "\n";
    }
    EXPECT_EQ(messages, c.warnings) << c.command;
  }
}

TEST(RunDriver, NoInformationWarningListsNamesWithBlankAndComma) {
  testsupport::DatasetBuilder b;
  b.Numeric("A", Measure::Nominal);
  b.Numeric("B", Measure::Nominal);
  b.Numeric("C", Measure::Nominal);
  b.ValueLabel("C", 1, "one");
  b.CategorySet("$s", "", {"A"});
  b.Case({1, 1, 1});
  b.Activate();
  const auto lines = RunCommand("CODEBOOK A C B /VARINFO MISSING /STATISTICS NONE.");
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "warning: No Variable Information for A ,B .");
  // A set with nothing to show is named too.
  const auto withSet = RunCommand("CODEBOOK A $s /VARINFO MEASURE /STATISTICS NONE.");
  ASSERT_GE(withSet.size(), 2u);
  EXPECT_EQ(withSet.back(), "warning: No Variable Information for $s .");
}

TEST(RunDriver, ItemsFollowTheChosenOrder) {
  SurveyDataset();
  std::string titles;
  for (const std::string& line :
       RunCommand("CODEBOOK sex rating id /VARINFO POSITION /OPTIONS VARORDER=ALPHA SORT=DESCENDING.")) {
    if (line.rfind("table ", 0) == 0) titles += line.substr(6, line.find(' ', 6) - 6) + " ";
  }
  EXPECT_EQ(titles, "sex rating id ");
}

}  // namespace

namespace codebook {
namespace {

TEST(RunStatisticsLists, CodesFollowTheStatisticsKeywords) {
  struct Case {
    bool given, count, percent, mean, stdDev, quartiles;
    std::vector<std::int32_t> scale;
    std::vector<int> category;
  };
  const Case cases[] = {
      {false, false, false, false, false, false, {222, 198, 179, 203, 468}, {1, 130}},
      {true, false, false, false, false, true, {222, 198, 468}, {}},
      {true, true, false, false, false, false, {222, 198}, {1}},
      {true, false, true, false, false, false, {222, 198}, {1, 130}},  // percents need the counts
      {true, false, false, true, true, false, {222, 198, 179, 203}, {}},
      {true, true, true, true, true, true, {222, 198, 179, 203, 468}, {1, 130}},
  };
  for (const Case& c : cases) {
    CodebookSettings settings;
    settings.SetStatisticsGiven(c.given);
    settings.SetStatistics(c.count, c.percent, c.mean, c.stdDev, c.quartiles);
    CodebookRun run(&settings, nullptr, nullptr, nullptr);
    run.MakeScaleStatCodes(!c.given);
    std::vector<AggregationStatistic> list;
    run.MakeCategoryStatistics(list, !c.given);
    std::vector<int> category;
    for (const AggregationStatistic& statistic : list) category.push_back(statistic.GetSummaryStatistic());
    EXPECT_EQ(run.ScaleStatCodes(), c.scale);
    EXPECT_EQ(category, c.category);
  }
}

}  // namespace
}  // namespace codebook
