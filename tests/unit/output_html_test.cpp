// The HTML page: hostile data stays text, the page keeps its parts in the
// order produced, and a large codebook renders quickly. Also writes the
// sample page that the browser test opens when the program is not built.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>

#include "app/report_layout.h"
#include "host/dataset.h"
#include "host/document.h"
#include "host/output/model.h"
#include "output_sample.h"

namespace {

std::string RenderHtml() {
  std::ostringstream out;
  host::RenderOptions options;
  options.layout = codebook_app::CodebookReportLayout();
  options.title = "survey <2024>.json";
  host::Render(host::Output(), host::OutputFormat::Html, out, options);
  return out.str();
}

std::size_t Count(const std::string& haystack, const std::string& needle) {
  std::size_t n = 0;
  for (std::size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++n;
  return n;
}

TEST(OutputHtml, DataTextIsEscapedEverywhere) {
  outputsample::Variables vars;
  outputsample::Build(vars);
  const std::string html = RenderHtml();
  // Nothing from the data opens an element or ends an attribute.
  for (const char* raw : {"<script>alert", "<img", "<b>", "</table> ", "\"quotes\"", "'too'", "<2024>"}) {
    EXPECT_EQ(html.find(raw), std::string::npos) << raw;
  }
  EXPECT_EQ(Count(html, "<script"), 1u) << "only the page's own filter script";
  // The label shows as text in the contents (and its tooltip), the heading
  // and the table.
  EXPECT_EQ(Count(html, "&lt;script&gt;alert(1)&lt;/script&gt; &amp; &quot;quotes&quot; &#39;too&#39;"), 4u);
  EXPECT_NE(html.find("title=\"q&lt;b&gt;: &lt;script&gt;"), std::string::npos);
  EXPECT_NE(html.find("&lt;img src=x onerror=alert(2)&gt;"), std::string::npos);
  EXPECT_NE(html.find("<title>Codebook: survey &lt;2024&gt;.json</title>"), std::string::npos);
  // No resource is fetched from anywhere.
  for (const char* external : {"http:", "https:", " src=\"", "@import", "url("}) {
    EXPECT_EQ(html.find(external), std::string::npos) << external;
  }
}

// The renderers know no procedure's table names: without the program's
// layout no table is singled out, and none is taken for another (an empty
// name must not match an empty label).
TEST(OutputHtml, WithoutALayoutEveryTableIsAlike) {
  outputsample::Variables vars;
  outputsample::Build(vars);
  std::ostringstream out;
  host::RenderOptions options;
  options.title = "survey";
  host::Render(host::Output(), host::OutputFormat::Html, out, options);
  const std::string html = out.str();
  const std::size_t toc = html.find("<ul id=\"toc\">");
  const std::string contents = html.substr(toc, html.find("</ul>", toc) - toc);
  EXPECT_EQ(Count(contents, "<li>"), 6u) << "the file information is one of the tables";
  EXPECT_EQ(Count(contents, "class=\"l\""), 0u);
  EXPECT_EQ(Count(contents, "class=\"badge\""), 0u);
  EXPECT_EQ(Count(html, "<th scope=\"col\" class=\"num pct\">"), 0u);
  EXPECT_NE(html.find("<title>survey</title>"), std::string::npos);
  EXPECT_EQ(html.find("<svg"), std::string::npos) << "no overview rows, no charts";
}

TEST(OutputHtml, LayoutFollowsTheDocument) {
  outputsample::Variables vars;
  outputsample::Build(vars);
  const std::string html = RenderHtml();
  // The contents list every variable and set table with its label, but not
  // the file information, which heads the page.
  const std::size_t toc = html.find("<ul id=\"toc\">");
  const std::size_t tocEnd = html.find("</ul>", toc);
  const std::string contents = html.substr(toc, tocEnd - toc);
  EXPECT_EQ(Count(contents, "<li>"), 5u);
  EXPECT_NE(contents.find("<span class=\"n\">age</span><span class=\"l\">Age in years</span>"), std::string::npos);
  EXPECT_NE(contents.find("<span class=\"n\">$shops</span><span class=\"badge\">set</span>"), std::string::npos);
  EXPECT_EQ(contents.find("File Information"), std::string::npos);
  EXPECT_EQ(contents.find("&lt;none&gt;"), std::string::npos) << "fixed wording is not a label";
  const std::size_t header = html.find("<header>");
  const std::size_t fileInfo = html.find(">File Information</h2>");
  const std::size_t headerEnd = html.find("</header>");
  EXPECT_TRUE(header < fileInfo && fileInfo < headerEnd);
  // Messages stay where they were produced: the first before the first
  // variable table, the last two after the set table.
  const std::size_t firstWarning = html.find("Unknown property");
  const std::size_t age = html.find("<h2 id=\"h2\">");
  const std::size_t set = html.find("<span class=\"n\">$shops</span><span class=\"l\">Shops visited</span></h2>");
  EXPECT_LT(firstWarning, age);
  EXPECT_LT(set, html.find("No Variable Information"));
  EXPECT_LT(html.find("No Variable Information"), html.find("<strong>Error:</strong> Empty dataset."));
  // Value rows carry a percent bar; row headings are scoped.
  EXPECT_NE(html.find("<td class=\"num pct\" style=\"--f:0.6000\">60.0%</td>"), std::string::npos);
  EXPECT_NE(html.find("<th scope=\"rowgroup\" colspan=\"4\">Valid Values</th>"), std::string::npos);
  EXPECT_NE(html.find("<th scope=\"row\" class=\"d1\">Position</th>"), std::string::npos);
  // Empty groups are not shown.
  EXPECT_EQ(html.find("Custom Attributes"), std::string::npos);
  EXPECT_EQ(html.find("Reserved Attributes"), std::string::npos);
}

TEST(OutputHtml, TableWithoutCountsHasNoCountColumn) {
  {
    BpProcedure proc("Codebook", 1);
    BpPivotTable t = proc.PivotTable(BpString("x", false), BpString("Variable Information", false), false);
    BpDimension rows = t.Dimension(BpString("Attributes", true), 2);
    rows.Position(0, 1, true, false);
    BpDimension cols = t.Dimension(BpString("Values", true), 2);
    cols.Position(1, 1, true, false);
    BpCategory value = cols.Category(BpString("Value", true));
    cols.Category(BpString("Count", true));
    cols.Category(BpString("Percent", true));
    rows.Group(BpString("Standard Attributes", true), true, 2).Category(BpString("Type", true));
    value.Cell(BpString("Numeric", true));
  }
  const std::string html = RenderHtml();
  EXPECT_NE(html.find("<th scope=\"col\">Value</th>"), std::string::npos);
  EXPECT_EQ(html.find(">Count</th>"), std::string::npos);
  EXPECT_EQ(html.find(">Percent</th>"), std::string::npos);
}

TEST(OutputHtml, TwoThousandVariablesMakeASmallPage) {
  outputsample::Variables vars;
  outputsample::Build(vars, 2000);
  // How fast the page opens is the browser test's to measure; here only
  // its size, which grows with every byte a table repeats.
  const std::string html = RenderHtml();
  EXPECT_LT(html.size(), 12u << 20) << "a page that browsers open without waiting";
  EXPECT_EQ(Count(html, "<li>"), 2005u);
  // The page the browser test opens when the program is not there.
  std::ofstream(std::string(CODEBOOK_BINARY_DIR) + "/tests/output_sample.html") << html;
}

// A page of many tables is rendered a batch at a time on two threads; a
// table too long to hold aside is rendered in its place. The bytes are those
// of one thread.
TEST(OutputHtml, ManyTablesOnTwoThreadsMakeThePageOfOne) {
  outputsample::Variables vars;
  outputsample::Build(vars, 300);
  {
    BpProcedure proc("Codebook", 1);
    QUVO_Variable listed;
    listed.name = "id";
    listed.printFormat = {8, FormatType::F, 0};
    std::vector<std::tuple<OBS, std::string, double>> values;
    for (int i = 0; i < 5000; ++i) values.emplace_back(ObsFromNumber(i), "", 1);
    outputsample::VariableTable(proc, listed, 400, values, 5000, 0);
    host::AddMessage(host::Severity::Warning, "Between the tables.");
    outputsample::VariableTable(proc, vars.sex, 401, {{ObsFromNumber(1), "Male", 9}}, 9, 0);
  }
  const int threads = host::Threads();
  host::SetThreads(1);
  const std::string one = RenderHtml();
  host::SetThreads(2);
  const std::string two = RenderHtml();
  host::SetThreads(threads);
  EXPECT_EQ(Count(one, "<section class=\"tbl\""), 308u);
  EXPECT_GT(Count(one, "<tr><th scope=\"row\""), 5000u);
  EXPECT_TRUE(one == two) << "the pages differ from byte "
                          << std::distance(one.begin(),
                                           std::mismatch(one.begin(), one.end(), two.begin(), two.end()).first);
}

}  // namespace
