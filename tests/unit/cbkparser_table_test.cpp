// The CODEBOOK parser, driven by tests/unit/cases/codebook_parser.txt:
// command -> acceptance, messages (in order), items, treatment slots, options.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codebook/parser/cbkparser.h"
#include "host/command.h"
#include "host/document.h"
#include "host/output/model.h"
#include "support/case_file.h"
#include "support/test_dataset.h"

namespace {

// The dictionary the case file describes; `withSets` adds $fruit and $Tools.
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

// What a parse gives, in the case file's form: "ok"/"fails", the messages,
// then the items, the treatment slots and the settings.
std::string Parse(const std::string& arguments) {
  host::ResetOutput();
  std::vector<host::Command> commands = host::SplitCommands("CODEBOOK " + arguments, "test");
  if (commands.size() != 1) return "bad test input\n";
  host::SetCurrentCommand(commands[0]);
  ProcedureDataSource source;
  ParserMessage messages;
  codebook::CodebookParser parser(source, messages);
  std::string out = parser.parse() ? "ok\n" : "fails\n";
  for (const host::Item& item : host::Output().Items()) {
    if (item.IsTable()) continue;
    out += (item.message.severity == host::Severity::Error ? "E: " : "W: ") + item.message.text + "\n";
  }
  const codebook::CodebookSettings& s = *parser.GetSettings();
  std::string items;
  for (const codebook::CodebookItem& item : s.items()) {
    items += (items.empty() ? "" : " ") + item.name + "#" + std::to_string(item.index);
  }
  if (!items.empty()) out += "items: " + items + "\n";
  out += "treatment: ";
  for (std::size_t k = 0; k < s.treatment().size(); ++k) {
    if (static_cast<int>(k) == source.ColumnCount()) out += "|";
    out += std::to_string(s.treatment()[k]);
  }
  auto bit = [](bool b) { return b ? "1" : "0"; };
  out += std::string("\noptions: vi=") + bit(s.varInfoGiven()) + ":";
  for (bool b :
       {s.varInfoPosition(), s.varInfoLabel(), s.varInfoType(), s.varInfoFormat(), s.varInfoMeasure(), s.varInfoRole(),
        s.varInfoAttributes(), s.varInfoValueLabels(), s.varInfoMissing(), s.varInfoReservedAttributes()}) {
    out += bit(b);
  }
  out += std::string(" fi=") + bit(s.fileInfoGiven()) + ":";
  for (bool b : {s.fileInfoName(), s.fileInfoLocation(), s.fileInfoCaseCount(), s.fileInfoLabel(),
                 s.fileInfoAttributes(), s.fileInfoDocuments(), s.fileInfoWeight(), s.fileInfoReservedAttributes()}) {
    out += bit(b);
  }
  out += std::string(" st=") + bit(s.statisticsGiven()) + "/" + bit(s.statisticsNone()) + ":";
  for (bool b : {s.statCount(), s.statPercent(), s.statMean(), s.statStdDev(), s.statQuartiles()}) out += bit(b);
  out += " max=" + std::to_string(s.maxCats()) + " ord=" + std::to_string(s.varOrder()) +
         " asc=" + bit(s.sortAscending()) + " attr=" + s.orderAttributeName() + "\n";
  return out;
}

// Drops the lines of `actual` whose key the expected text leaves out (the
// treatment and the settings are compared where a case gives them).
std::string Keep(std::string actual, const std::string& expected) {
  for (const char* key : {"treatment: ", "options: "}) {
    if (expected.find(std::string("\n") + key) != std::string::npos) continue;
    const std::size_t at = actual.find(std::string("\n") + key);
    if (at != std::string::npos) actual.erase(at + 1, actual.find('\n', at + 1) - at);
  }
  return actual;
}

TEST(CodebookParser, CaseFile) {
  for (testsupport::TextCase& c : testsupport::ReadCases("codebook_parser.txt")) {
    SCOPED_TRACE(c.where + ": CODEBOOK " + c.title);
    const std::string dictionary = c.Take("dictionary");
    if (dictionary == "no variables") {
      testsupport::DatasetBuilder().Activate();
    } else {
      MakeDictionary(dictionary != "without sets");
    }
    const std::string expected = c.Text();
    EXPECT_EQ(Keep(Parse(c.title), expected), expected);
  }
}

}  // namespace
