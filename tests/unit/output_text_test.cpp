// Text and Markdown layout: wrapping at the line width, hidden empty groups
// and columns, several cells on one row, messages, and terminal safety.
#include <gtest/gtest.h>

#include <sstream>

#include "app/report_layout.h"
#include "host/document.h"
#include "host/output.h"
#include "host/output/flat.h"
#include "host/output/model.h"
#include "host/output/text_layout.h"
#include "host/quvo.h"

namespace {

std::string Render(host::OutputFormat format, int width = 40, bool color = false) {
  std::ostringstream out;
  host::RenderOptions options;
  options.layout = codebook_app::CodebookReportLayout();
  options.width = width;
  options.color = color;
  host::Render(host::Output(), format, out, options);
  return out.str();
}

// A value table whose Percent column stays empty and whose custom
// attributes group has no row.
void BuildValueTable(const std::string& label) {
  static QUVO_Variable v;
  v.name = "score";
  v.printFormat = {1, FormatType::F, 0};
  BpProcedure proc("Codebook", 1);
  BpPivotTable t = proc.PivotTable(BpString("score", false), BpString("Variable Information", false), false);
  BpDimension rows = t.Dimension(BpString("Attributes", true), 2);
  rows.Position(0, 1, true, false);
  BpDimension cols = t.Dimension(BpString("Values", true), 2);
  cols.Position(1, 1, true, false);
  BpCategory value = cols.Category(BpString("Value", true));
  BpCategory count = cols.Category(BpString("Count", true));
  cols.Category(BpString("Percent", true));
  rows.Group(BpString("Standard Attributes", true), true, 2).Category(BpString("Label", true));
  value.Cell(BpString(label, false));
  rows.Group(BpString("Custom Attributes", true), true, 2);
  BpGroup valid = rows.Group(BpString("Valid Values", true), true, 2);
  valid.Category(BpDataValue(&v, ObsFromNumber(1), 0));
  value.Cell(BpString("Yes", false));
  count.Cell(BpNumber(12, BpProcedure::Count()));
  valid.Category(BpDataValue(&v, ObsFromNumber(2), 0));
  count.Cell(BpNumber(3, BpProcedure::Count()));
  host::AddMessage(host::Severity::Warning, "w");
}

TEST(OutputText, WrapsToTheWidthAndHidesWhatIsEmpty) {
  BuildValueTable("A rather long label that must wrap somewhere");
  const std::string expected =
      "score\n"
      "         Value                     Count\n"
      "----------------------------------------\n"
      "Standard Attributes\n"
      "  Label  A rather long label that\n"
      "         must wrap somewhere\n"
      "Valid Values\n"
      "  1      Yes                          12\n"
      "  2                                    3\n"
      "\n"
      "Warning: w\n";
  EXPECT_EQ(Render(host::OutputFormat::Text, 40), expected);
  // Wide enough: nothing wraps.
  EXPECT_NE(Render(host::OutputFormat::Text, 120).find("A rather long label that must wrap somewhere"),
            std::string::npos);
}

TEST(OutputText, ColourOnlyWhenAskedAndDataCannotEscape) {
  BuildValueTable("red \x1b[31mtext\x07");
  const std::string plain = Render(host::OutputFormat::Text, 80, false);
  EXPECT_EQ(plain.find('\x1b'), std::string::npos);
  EXPECT_EQ(plain.find('\x07'), std::string::npos);
  EXPECT_NE(plain.find("red  [31mtext"), std::string::npos);
  const std::string colored = Render(host::OutputFormat::Text, 80, true);
  EXPECT_NE(colored.find("\x1b[1mscore\x1b[0m"), std::string::npos);
  EXPECT_EQ(colored.find("\x1b[31mtext"), std::string::npos);
}

TEST(OutputText, SeveralCellsOfARowStackInOrder) {
  {
    BpProcedure proc("Codebook", 1);
    BpPivotTable t = proc.PivotTable(BpString("File Information", true), BpString("FileInformation", true), true);
    BpDimension rows = t.Dimension(BpString("Attributes", true), 2);
    rows.Position(0, 1, true, false);
    BpCategory docs = rows.Category(BpString("Documents", true));
    docs.Cell(BpString("first block\nsecond line", false));
    docs.Cell(BpString("next | block", false));
    BpGroup cases = rows.Group(BpString("Number of Cases", true), true, 2);
    cases.Category(BpString("Unweighted", true)).Cell(BpNumber(20, BpProcedure::Count()));
    host::AddMessage(host::Severity::Error, "bad");
    host::AddMessage(host::Severity::Warning, "then this");
  }
  EXPECT_EQ(Render(host::OutputFormat::Text),
            "File Information\n"
            "--------------------------\n"
            "Documents     first block\n"
            "              second line\n"
            "              next | block\n"
            "Number of Cases\n"
            "  Unweighted  20\n"
            "\n"
            "Error: bad\n"
            "Warning: then this\n");
  EXPECT_EQ(Render(host::OutputFormat::Markdown),
            "# Codebook\n\n"
            "## File Information\n\n"
            "| Attributes |  |\n"
            "|:---|:---|\n"
            "| Documents | first block<br>second line<br>next \\| block |\n"
            "| **Number of Cases** | |\n"
            "| &nbsp;&nbsp;&nbsp;&nbsp;Unweighted | 20 |\n\n"
            "> **Error:** bad\n\n"
            "> **Warning:** then this\n\n");
}

TEST(OutputText, MarkdownEscapesDataText) {
  BuildValueTable("a|b\n*c* <d> [e](f) _g_ `h` &");
  const std::string md = Render(host::OutputFormat::Markdown);
  EXPECT_NE(md.find(";Label | a\\|b<br>\\*c\\* \\<d\\> \\[e\\](f) \\_g\\_ \\`h\\` &amp; |"), std::string::npos) << md;
  EXPECT_NE(md.find("|:---|:---|---:|\n"), std::string::npos) << "Count is a numeric column; Percent is hidden";
  EXPECT_EQ(md.find("Custom Attributes"), std::string::npos);
}

TEST(OutputText, WrapBreaksAtBlanksAndCutsLongWords) {
  struct Case {
    std::string text;
    std::size_t width;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"", 10, {""}},
      {"abc def", 3, {"abc", "def"}},
      {"abc def", 7, {"abc def"}},
      {"abcdefgh", 3, {"abc", "def", "gh"}},
      {"a\nb", 0, {"a", "b"}},
      {"x abcdefgh y", 4, {"x", "abcd", "efgh", "y"}},
      {"h\xC3\xA9llo w\xC3\xB6rld", 5, {"h\xC3\xA9llo", "w\xC3\xB6rld"}},
      // Ideographs take two columns each, a combining accent none.
      {"\xE6\x9D\xB1\xE4\xBA\xAC\xE9\x83\xBD", 4, {"\xE6\x9D\xB1\xE4\xBA\xAC", "\xE9\x83\xBD"}},
      {"\xE6\x9D\xB1\xE4\xBA\xAC \xE9\x83\xBD", 5, {"\xE6\x9D\xB1\xE4\xBA\xAC", "\xE9\x83\xBD"}},
      {"\xE6\x9D\xB1x", 1, {"\xE6\x9D\xB1", "x"}},
      {"cafe\xCC\x81s", 5, {"cafe\xCC\x81s"}},
  };
  for (const Case& c : cases) EXPECT_EQ(host::Wrap(c.text, c.width), c.lines) << c.text << " @" << c.width;
}

// Columns after a label in Japanese, Chinese or Korean line up: the padding
// counts an ideograph, kana or Hangul syllable as two terminal columns.
TEST(OutputText, WideCharactersTakeTwoColumns) {
  BuildValueTable("\xE6\x9D\xB1\xE4\xBA\xAC \xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4 \xE3\x81\x8B\xE3\x81\xAA");
  const std::string text = Render(host::OutputFormat::Text, 80);
  // The Value column is as wide as the label (4 + 1 + 6 + 1 + 4 columns), so
  // Count starts after the row labels (7), the gap (2), the Value column (16)
  // and the gap (2).
  const std::size_t count = text.find("Count");
  const std::size_t headerStart = text.rfind('\n', count) + 1;
  EXPECT_EQ(host::DisplayWidth(text.substr(headerStart, count - headerStart)), 27u) << text;
}

// An emoji is one two-column picture however it is spelled; counting its
// parts (2 + 0 + 2 + 0 + 2 for a family) shifts every column after it.
TEST(OutputText, EmojiTakeTwoColumnsHoweverSpelled) {
  const std::pair<const char*, std::size_t> cases[] = {
      {"\U0001F642", 2},                                  // one emoji
      {"\U0001F469\u200D\U0001F469\u200D\U0001F467", 2},  // a family joined by ZWJ
      {"\U0001F44D\U0001F3FD", 2},                        // a skin tone
      {"\u2764\uFE0F", 2},                                // a narrow symbol in emoji presentation
      {"\u2764", 1},                                      // the same symbol as text
      {"\U0001F1E9\U0001F1EA", 2},                        // a country flag
      {"\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7", 4},    // two flags
      {"\U0001F1E9", 1},                                  // a lone regional indicator
      {"\U0001F3F3\uFE0F\u200D\U0001F308", 2},            // a rainbow flag
      {"a\u200Db", 2},                                    // ZWJ between letters joins nothing
      {"e\u0301", 1},
      {"\U0001F642x", 3},
  };
  for (const auto& [text, width] : cases) EXPECT_EQ(host::DisplayWidth(text), width) << text;
  // A wrapped line never cuts a picture apart.
  const std::string family = "\U0001F469\u200D\U0001F469\u200D\U0001F467";
  EXPECT_EQ(host::Wrap(family + family, 2), (std::vector<std::string>{family, family}));
}

}  // namespace
