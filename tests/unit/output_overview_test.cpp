// The report overview: its numbers equal the tables' wherever both show one
// (the overview takes valid and missing totals and the most frequent value
// from the pass's own side statistics, so this checks two computations
// against each other), and the HTML and Markdown link every row to its table.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "app/report_layout.h"
#include "host/data/dataset.h"
#include "host/dataset.h"
#include "host/output/overview.h"
#include "host/output/value_format.h"
#include "run_support.h"
#include "support/test_dataset.h"

namespace {

host::RenderOptions CodebookOptions() {
  host::RenderOptions options;
  options.layout = codebook_app::CodebookReportLayout();
  return options;
}

const host::GroupNode* Group(const host::TableNode& table, const std::string& label) {
  const host::GroupNode* found = nullptr;
  const host::DimensionNode* rows = table.RowDimension();
  if (rows == nullptr) return nullptr;
  for (const host::Child& c : rows->children) {
    if (c.Group() != nullptr && c.Group()->label.text == label) found = c.Group();
  }
  return found;
}

const host::CellText* CellIn(const host::CategoryNode& row, const std::string& column) {
  for (const host::Cell& cell : row.Cells()) {
    if (cell.column != nullptr && cell.column->label.text == column) return &cell.text;
  }
  return nullptr;
}

// The rows of a group with their Count and Percent cells.
struct Listed {
  const host::CategoryNode* row;
  const host::CellText* count;
  const host::CellText* percent;
};
std::vector<Listed> Rows(const host::GroupNode* group) {
  std::vector<Listed> out;
  if (group == nullptr) return out;
  for (const host::Child& c : group->children) {
    if (c.Category() != nullptr)
      out.push_back({c.Category(), CellIn(*c.Category(), "Count"), CellIn(*c.Category(), "Percent")});
  }
  return out;
}

std::string Count(double x) { return host::valuefmt::Statistic(x, 0, false); }

// Every figure of every overview row that its table also shows.
int CheckAgainstTables(const std::string& command) {
  SCOPED_TRACE(command);
  runtest::RunCommand(command);
  const std::shared_ptr<host::Dataset> dataset = host::ActiveDataset();
  const host::Overview overview = host::BuildOverview(host::Output(), dataset.get(), CodebookOptions());
  int compared = 0;
  for (const host::OverviewRow& row : overview.rows) {
    SCOPED_TRACE(row.name);
    const host::TableNode& table = *row.table;
    if (const host::GroupNode* n = Group(table, "N")) {
      for (const Listed& r : Rows(n)) {
        const std::string shown = r.row->Cells().front().text.text.str();
        EXPECT_EQ(shown, r.row->label.text == "Valid" ? row.valid : row.missing);
        ++compared;
      }
      for (const Listed& r : Rows(Group(table, "Central Tendency and Dispersion"))) {
        if (r.row->label.text != "Mean") continue;
        EXPECT_EQ(r.row->Cells().front().text.text, row.center);
        ++compared;
      }
      continue;
    }
    if (row.isSet) {
      // Percent = count / (cases with and without a counted value).
      const std::vector<Listed> rows = Rows(Group(table, "Multiple Response Categories"));
      const Listed* top = nullptr;
      for (const Listed& r : rows) {
        if (r.count == nullptr || r.percent == nullptr || !r.percent->hasNumber || r.percent->number == 0.0) continue;
        const double total = r.count->number / r.percent->number * 100.0;
        EXPECT_NEAR(std::stod(row.valid) + std::stod(row.missing), total, 1.0);
        if (top == nullptr || r.count->number > top->count->number) top = &r;
        ++compared;
      }
      if (top != nullptr) {
        EXPECT_NE(row.center.find("(" + top->percent->text.str() + ")"), std::string::npos) << row.center;
        ++compared;
      }
      continue;
    }
    const std::vector<Listed> valid = Rows(Group(table, "Valid Values"));
    const std::vector<Listed> missing = Rows(Group(table, "Missing Values"));
    if (valid.empty() || valid.front().count == nullptr) continue;  // no counts listed
    double validSum = 0.0;
    double missingSum = 0.0;
    const Listed* top = nullptr;
    for (const Listed& r : valid) {
      validSum += r.count->number;
      if (top == nullptr || r.count->number > top->count->number) top = &r;
    }
    for (const Listed& r : missing) missingSum += r.count->number;
    EXPECT_EQ(Count(validSum), row.valid);
    EXPECT_EQ(Count(missingSum), row.missing);
    const host::CellText* label = CellIn(*top->row, "Value");
    const std::string name = (label != nullptr ? label->text : top->row->label.text).str();
    EXPECT_EQ(row.center.rfind(name, 0), 0u) << row.center << " vs " << name;
    EXPECT_NE(row.center.find("(" + top->percent->text.str() + ")"), std::string::npos) << row.center;
    compared += 3;
  }
  return compared;
}

class OverviewOfTheExample : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::vector<std::string> warnings;
    auto dataset = host::LoadDataset(std::string(CODEBOOK_SOURCE_DIR) + "/examples/survey/datapackage.json", warnings);
    dataset->profileWanted = true;
    host::SetActiveDataset(dataset);
  }
};

TEST_F(OverviewOfTheExample, NumbersEqualTheTablesWhereBothShowThem) {
  EXPECT_GT(CheckAgainstTables("CODEBOOK"), 70);
  EXPECT_GT(CheckAgainstTables("CODEBOOK /STATISTICS COUNT PERCENT"), 50);
  // Level qualifiers change which table a variable gets.
  EXPECT_GT(CheckAgainstTables("CODEBOOK age [N] sex [S] region [O] $media /OPTIONS MAXCATS=100"), 10);
}

TEST_F(OverviewOfTheExample, RowsFollowTheTablesAndSayWhatTheTablesDoNot) {
  runtest::RunCommand("CODEBOOK income sex $media /OPTIONS VARORDER=ALPHA");
  const auto dataset = host::ActiveDataset();
  const host::Overview o = host::BuildOverview(host::Output(), dataset.get(), CodebookOptions());
  ASSERT_EQ(o.rows.size(), 3u);
  EXPECT_EQ(o.rows[0].name, "$media");
  EXPECT_EQ(o.rows[1].name, "income");
  EXPECT_EQ(o.rows[2].name, "sex");
  const host::OverviewRow& income = o.rows[1];
  EXPECT_EQ(income.chart.kind, host::ChartKind::Histogram);
  EXPECT_FALSE(income.min.empty());
  EXPECT_EQ(income.min.front(), '$') << "shown as the variable shows its values: " << income.min;
  EXPECT_EQ(o.rows[2].chart.kind, host::ChartKind::Bars);
  EXPECT_TRUE(o.rows[2].min.empty()) << "no range for categories";
  EXPECT_TRUE(o.rows[2].chart.bars.back().missing);
  EXPECT_NE(o.rows[2].chart.summary.find("missing"), std::string::npos) << o.rows[2].chart.summary;
  EXPECT_EQ(o.facts.weight, "weight");
}

TEST(Overview, AWeightedFileWithFractionsAndMissingCodes) {
  testsupport::DatasetBuilder b;
  b.Numeric("wt");
  b.Numeric("code", Measure::Nominal).missing.numbers = {8, 9};
  QUVO_Variable& score = b.Numeric("score", Measure::Scale, 2);
  score.missing.hasRange = true;
  score.missing.low = 90;
  score.missing.high = 1e300;
  b.String("fruit", 6).missing.strings = {"NA"};
  b.Numeric("d1", Measure::Nominal);
  b.Numeric("d2", Measure::Nominal);
  b.DichotomySet("$d", "Either", "1", {"d1", "d2"});
  b.Weight("wt");
  const double weights[] = {0.25, 1.5, 2, 0, -1, 0.75, 3.25};
  for (int i = 0; i < 140; ++i) {
    b.Case({weights[i % 7], (i * 7) % 10, i % 13 == 0 ? SYSMIS : (i * 37 % 1000) / 10.0,
            i % 5 == 0 ? "NA" : (i % 3 ? "fig" : "kiwi"), i % 4 == 0 ? 1 : 0, i % 6 == 0 ? 1 : SYSMIS});
  }
  b.Activate()->profileWanted = true;
  EXPECT_GT(CheckAgainstTables("CODEBOOK"), 10);
  EXPECT_GT(CheckAgainstTables("CODEBOOK code [S] score [N] /OPTIONS MAXCATS=1000"), 4);
}

TEST(Overview, APassThatStopsEarlyAddsOnlyWhatTheLimitTells) {
  testsupport::DatasetBuilder b;
  b.Numeric("id", Measure::Nominal);
  for (int i = 0; i < 50; ++i) b.Case({i});
  b.Activate()->profileWanted = true;
  // More categories than MAXCATS and nothing else: the pass stops early.
  runtest::RunCommand("CODEBOOK id /OPTIONS MAXCATS=3");
  const auto dataset = host::ActiveDataset();
  const host::Overview o = host::BuildOverview(host::Output(), dataset.get(), CodebookOptions());
  ASSERT_EQ(o.rows.size(), 1u);
  EXPECT_EQ(o.rows[0].type, "Numeric");
  EXPECT_TRUE(o.rows[0].valid.empty());
  EXPECT_TRUE(o.rows[0].missing.empty());
  EXPECT_EQ(o.rows[0].distinct, "more than 3");
  EXPECT_EQ(o.rows[0].chart.kind, host::ChartKind::None);
}

TEST(Overview, NothingIsGatheredForOutputsWithoutAnOverview) {
  testsupport::DatasetBuilder b;
  b.Numeric("x");
  for (int i = 0; i < 20; ++i) b.Case({i});
  const auto dataset = b.Activate();  // profileWanted stays false, as for JSON
  runtest::RunCommand("CODEBOOK x");
  EXPECT_EQ(dataset->profile, nullptr);
}

std::string Render(host::OutputFormat format) {
  std::ostringstream out;
  host::RenderOptions options;
  options.layout = codebook_app::CodebookReportLayout();
  options.title = "survey";
  host::Render(host::Output(), format, out, options);
  return out.str();
}

TEST_F(OverviewOfTheExample, HtmlRowsLeadToTheirTablesAndChartsHaveTextAlternatives) {
  runtest::RunCommand("CODEBOOK /FILEINFO NAME");
  const std::string html = Render(host::OutputFormat::Html);
  EXPECT_NE(html.find("<title>Community Survey 2026 (fictional example)</title>"), std::string::npos);
  const std::size_t start = html.find("<div class=\"ovt\" id=\"ovb\"");
  const std::size_t end = html.find("</section>", start);
  ASSERT_NE(start, std::string::npos);
  const std::string overview = html.substr(start, end - start);
  const std::regex link(
      "<div class=\"ovr\" role=\"row\"><span role=\"rowheader\"><a href=\"#(t\\d+)\">((?:[^<]|<wbr>)*)</a>");
  int rows = 0;
  for (auto it = std::sregex_iterator(overview.begin(), overview.end(), link); it != std::sregex_iterator(); ++it) {
    // The section it leads to is the table of that name.
    const std::string id = (*it)[1];
    const std::size_t section = html.find("<section class=\"tbl\" id=\"" + id + "\"");
    ASSERT_NE(section, std::string::npos) << id;
    EXPECT_EQ(
        html.compare(html.find("<span class=\"n\">", section) + 16, (*it)[2].length() + 7, (*it)[2].str() + "</span>"),
        0)
        << id;
    ++rows;
  }
  EXPECT_EQ(rows, 24);
  // Every chart is an image with a text alternative; nothing is fetched.
  const std::regex svg("<svg [^>]*role=\"img\"( aria-label=\"[^\"]+\">|><title>[^<]+</title>)");
  int charts = 0;
  for (auto it = std::sregex_iterator(html.begin(), html.end(), svg); it != std::sregex_iterator(); ++it) ++charts;
  EXPECT_GE(charts, 40);
  const std::regex anySvg("<svg ");
  EXPECT_EQ(charts, std::distance(std::sregex_iterator(html.begin(), html.end(), anySvg), std::sregex_iterator()))
      << "every chart has a text alternative";
  EXPECT_EQ(html.find("http"), std::string::npos);
  EXPECT_NE(html.find("<p class=\"wnote\">Counts weighted by weight</p>"), std::string::npos);
  // The file information table has no weight note: its case counts say
  // themselves which is weighted.
  const std::size_t fileInfo = html.find("File Information");
  EXPECT_EQ(html.substr(fileInfo, html.find("</section>", fileInfo) - fileInfo).find("wnote"), std::string::npos);
}

TEST(Overview, MarkdownLinksReachTheirHeadingsEvenWhenNamesRepeat) {
  testsupport::DatasetBuilder b;
  b.Numeric("Overview", Measure::Nominal);
  b.Numeric("media", Measure::Nominal);
  b.Numeric("m2", Measure::Nominal);
  b.DichotomySet("$media", "", "1", {"media", "m2"});
  for (int i = 0; i < 6; ++i) b.Case({i % 2, i % 3, 1});
  b.Activate();
  runtest::RunCommand("CODEBOOK Overview media $media");
  const std::string md = Render(host::OutputFormat::Markdown);
  // The anchors a Markdown viewer gives the headings, in order.
  std::vector<std::string> anchors;
  std::map<std::string, int> seen;
  std::istringstream lines(md);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("#", 0) != 0) continue;
    std::string slug;
    for (char c : line.substr(line.find(' ') + 1)) {
      if (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_')
        slug += static_cast<char>(std::tolower(c));
      if (c == ' ') slug += '-';
    }
    slug.erase(std::remove(slug.begin(), slug.end(), '\\'), slug.end());
    const int n = seen[slug]++;
    anchors.push_back(n == 0 ? slug : slug + "-" + std::to_string(n));
  }
  std::set<std::string> targets(anchors.begin(), anchors.end());
  const std::regex link("\\]\\(#([^)]+)\\)");
  std::vector<std::string> linked;
  for (auto it = std::sregex_iterator(md.begin(), md.end(), link); it != std::sregex_iterator(); ++it) {
    linked.push_back((*it)[1]);
    EXPECT_TRUE(targets.count((*it)[1])) << (*it)[1];
  }
  EXPECT_EQ(linked, (std::vector<std::string>{"overview-1", "media", "media-1"}));
}

// Values near the largest double make histogram weights overflow: a bar as
// heavy as the tallest, both infinite, is drawn full (their ratio is NaN).
TEST(Overview, SparklineBarsOfInfiniteWeightAreFull) {
  host::Chart chart;
  chart.kind = host::ChartKind::Histogram;
  const double inf = std::numeric_limits<double>::infinity();
  chart.bars = {{"a", inf, false}, {"b", 1.0, false}, {"c", 0.0, false}, {"d", inf, false}};
  EXPECT_EQ(host::Sparkline(chart, 10), "\xE2\x96\x88\xE2\x96\x81 \xE2\x96\x88");
}

}  // namespace
