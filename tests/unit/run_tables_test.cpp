// The file information, variable and set tables of whole runs on in-memory
// datasets. Expected numbers are worked out by hand from the cases below.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "run_support.h"
#include "support/test_dataset.h"

namespace {

using runtest::Join;
using runtest::RunCommand;

TEST(FileInformationTable, PathSplitsAtTheLastBackslash) {
  struct Case {
    std::optional<std::string> path;
    const char* name;
    const char* location;
  };
  const Case cases[] = {
      {"C:\\data\\survey.dat", "survey.dat", "C:\\data"},
      {"/home/ana/data\\survey.json", "survey.json", "/home/ana/data"},
      {"/home/ana/survey.json", "<none>", "<none>"},  // a slash is no separator
      {std::nullopt, "<none>", "<none>"},
      {"\\survey.dat", "<none>", "<none>"},  // only backslash first
      {"C:\\data\\", "", "C:\\data"},        // ends in a backslash
      {"a\\\\b", "b", "a\\"},
  };
  for (const Case& c : cases) {
    testsupport::DatasetBuilder b;
    b.Numeric("x");
    b.Facts().fileSpec = c.path;
    b.Activate();
    // Keywords in any order give the same row order.
    const std::string expected = std::string("table File Information (FileInformation)\n") + "  File Name: =" + c.name +
                                 "\n" + "  Location: =" + c.location + "\n";
    const auto lines = RunCommand("CODEBOOK x /VARINFO POSITION /FILEINFO LOCATION NAME /STATISTICS NONE.");
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0] + "\n" + lines[1] + "\n" + lines[2] + "\n", expected) << c.path.value_or("(null)");
  }
}

TEST(FileInformationTable, EveryRowInFixedOrder) {
  testsupport::DatasetBuilder b;
  b.Numeric("id");
  b.Numeric("w");
  b.Weight("w");
  b.Case({1, 1}).Case({2, 2}).Case({3, 1}).Case({4, 1}).Case({5, 1});
  host::Dataset& facts = b.Facts();
  facts.fileSpec = "C:\\data\\survey.dat";
  facts.label = "";
  facts.documents = {{"line 1", "line 2"}, {}};
  std::vector<std::string> tags;
  for (int i = 1; i <= 12; ++i) tags.push_back("t" + std::to_string(i));
  facts.attributes.Add("Tags", tags);
  facts.attributes.Add("Note", {""});
  facts.attributes.Add("@hidden", {"x"});
  facts.attributes.Add("$@sys", {"y"});
  facts.attributes.Add("Empty", {});
  facts.attributes.Add("$res", {"r"});
  b.Activate();

  // Weighted total 6 from id's valid plus missing weights; 5 cases.
  const auto lines = RunCommand(
      "CODEBOOK id /VARINFO POSITION "
      "/FILEINFO RESERVEDATTRIBUTES ATTRIBUTES CASECOUNT WEIGHT DOCUMENTS LABEL LOCATION NAME "
      "/STATISTICS COUNT.");
  std::string table;
  for (const std::string& line : lines) {
    if (line == "table id (Variable Information)") break;
    table += line + "\n";
  }
  EXPECT_EQ(table,
            "table File Information (FileInformation)\n"
            "  File Name: =survey.dat\n"
            "  Location: =C:\\data\n"
            "  Label: =\n"
            "  Documents: =line 1\nline 2 =\n"
            "  Weight Variable: =w\n"
            "  [Number of Cases]\n"
            "    Unweighted: =5\n"
            "    Weighted: =6\n"
            "  [Custom Attributes]\n"
            "    Tags[01]: =t1\n    Tags[02]: =t2\n    Tags[03]: =t3\n    Tags[04]: =t4\n"
            "    Tags[05]: =t5\n    Tags[06]: =t6\n    Tags[07]: =t7\n    Tags[08]: =t8\n"
            "    Tags[09]: =t9\n    Tags[10]: =t10\n    Tags[11]: =t11\n    Tags[12]: =t12\n"
            "    Note: = \n"
            "    $res: =r\n"
            "  [Reserved Attributes]\n"
            "    $res: =r\n");
}

TEST(FileInformationTable, FixedWordingAndDataTextAreMarked) {
  testsupport::DatasetBuilder b;
  b.Numeric("x");
  b.Facts().label = "<none>";  // data text that looks like the fixed wording
  b.Activate();
  RunCommand("CODEBOOK x /VARINFO POSITION /FILEINFO LABEL WEIGHT ATTRIBUTES /STATISTICS NONE.");
  const nlohmann::json table = runtest::OutputJson()["items"][0];
  ASSERT_EQ(table["title"], "File Information");
  EXPECT_EQ(table["flag"], true);
  const nlohmann::json& rows = table["dimensions"][0]["children"];
  ASSERT_EQ(rows.size(), 3u) << rows.dump();
  EXPECT_EQ(rows[0]["cells"][0]["fixed"], false);  // the file's label
  EXPECT_EQ(rows[1]["cells"][0]["text"], "<none>");
  EXPECT_EQ(rows[1]["cells"][0]["fixed"], true);  // no weight
  EXPECT_EQ(rows[2]["group"], "Custom Attributes");
  EXPECT_TRUE(rows[2]["children"].empty());
}

void AttributesDataset() {
  testsupport::DatasetBuilder b;
  QUVO_Variable& v = b.Numeric("v", Measure::Unknown, 2);
  v.label = "";
  v.role = 6;
  std::vector<std::string> ten;
  for (int i = 1; i <= 10; ++i) ten.push_back(std::to_string(i));
  v.attributes.Add("Colors", {"red", "green", "blue"});
  v.attributes.Add("Ten", ten);
  v.attributes.Add("Blank", {""});
  v.attributes.Add("@hid", {"h"});
  v.attributes.Add("$@sys", {"s"});
  v.attributes.Add("$res", {"r"});
  v.attributes.Add("None", {});
  QUVO_Variable& s = b.String("s", 12);
  s.role = -1;
  s.writeFormat = QUVO_Format{12, 13, 0};
  b.Case({1, "x"});
  b.Activate();
}

void LimitsDataset() {
  testsupport::DatasetBuilder b;
  b.Numeric("few", Measure::Nominal);
  b.Numeric("many", Measure::Nominal);
  QUVO_Variable& m = b.Numeric("m", Measure::Nominal);
  m.missing.numbers = {8, 9};
  // few: 1,1,2,2,3,3,4 — the pass keeps feeding (three values when the
  // last case comes) but four values exceed MAXCATS 3 in the table.
  b.Case({1, 1, 1}).Case({1, 2, 8}).Case({2, 3, 9}).Case({2, 1, SYSMIS}).Case({3, 1, SYSMIS});
  b.Case({3, 1, 1}).Case({4, 1, 2});
  b.Activate();
}

void SetDataset() {
  testsupport::DatasetBuilder b;
  b.Numeric("q1", Measure::Nominal).label = "First";
  b.Numeric("q2", Measure::Nominal);
  b.Numeric("c1", Measure::Nominal);
  b.Numeric("c2", Measure::Nominal);
  b.ValueLabel("c1", 1, "Red").ValueLabel("c1", 2, "Green").ValueLabel("c1", 3, "Blue");
  b.ValueLabel("c2", 4, "Grey");
  b.DichotomySet("$d", "", "1", {"q1", "q2"});
  b.CategorySet("$c", "Colours", {"c1", "c2"});
  b.Case({1, 0, 1, 2}).Case({1, 1, 2, SYSMIS}).Case({0, 1, 3, 1}).Case({0, 0, SYSMIS, SYSMIS});
  b.Activate();
}

// The variable and set tables of the datasets above; the expected summaries
// are in tests/unit/cases/table_runs.txt.
TEST(VariableAndSetTables, CaseFile) {
  runtest::CheckRuns("table_runs.txt",
                     {{"attributes", AttributesDataset}, {"limits", LimitsDataset}, {"sets", SetDataset}});
}

TEST(SetTable, DichotomyMembersNameTheirVariables) {
  SetDataset();
  RunCommand("CODEBOOK $d $c.");
  const nlohmann::json items = runtest::OutputJson()["items"];
  EXPECT_EQ(items[0]["flag"], true);
  EXPECT_EQ(items[0]["dimensions"][0]["children"][1]["children"][0]["variable"], "q1");
}

}  // namespace
