// The plain-text renderer: readable tables for a terminal or a pager.
#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/common/text.h"
#include "host/data/dataset.h"
#include "host/output/flat.h"
#include "host/output/overview.h"
#include "host/output/render.h"
#include "host/output/text_layout.h"

namespace host {

namespace {

constexpr std::size_t kGap = 2;           // blanks between columns
constexpr std::size_t kIndent = 2;        // per level of row grouping
constexpr std::size_t kMinWrapped = 12;   // narrowest a wrapped column gets while the line allows
constexpr std::size_t kWholeLabels = 24;  // row labels up to this wide stay whole while the line allows
constexpr std::size_t kWholeWords = 24;   // words of text up to this wide stay whole while the line allows
constexpr std::size_t kMinSqueezed = 6;   // narrowest a column of text gets on a very narrow line

struct Style {
  bool color = false;
  std::string Wrap(const std::string& code, const std::string& text) const {
    return color ? "\x1b[" + code + "m" + text + "\x1b[0m" : text;
  }
};

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (true) {
    std::size_t nl = text.find('\n', start);
    lines.push_back(text.substr(start, nl == std::string::npos ? std::string::npos : nl - start));
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
  return lines;
}

std::size_t LongestLine(std::string_view text) {
  std::size_t n = 0;
  while (true) {
    const std::size_t nl = text.find('\n');
    n = std::max(n, DisplayWidth(text.substr(0, nl)));
    if (nl == std::string_view::npos) return n;
    text.remove_prefix(nl + 1);
  }
}

std::size_t LongestLine(CellList cells) {
  std::size_t n = 0;
  for (const CellText* c : cells) n = std::max(n, LongestLine(c->text));
  return n;
}

// The widest run of text between blanks or line breaks: the narrowest a
// column can be without cutting a word (or a number) in two.
std::size_t LongestWord(std::string_view text) {
  std::size_t n = 0;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find_first_of(" \n", start);
    if (end == std::string_view::npos) end = text.size();
    n = std::max(n, DisplayWidth(text.substr(start, end - start)));
    start = end + 1;
  }
  return n;
}

std::string Pad(const std::string& text, std::size_t width, bool right) {
  std::size_t w = DisplayWidth(text);
  if (w >= width) return text;
  std::string fill(width - w, ' ');
  return right ? fill + text : text + fill;
}

// Appends text padded to `width`, sanitized, to out. Plain ASCII (nearly
// every cell) is appended as it is.
void AppendPadded(std::string& out, std::string_view text, std::size_t width, bool right) {
  std::string cleaned;
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c >= 0x7F) {
      cleaned = Sanitize(std::string(text));
      text = cleaned;
      break;
    }
  }
  const std::size_t w = DisplayWidth(text);
  const std::size_t fill = w < width ? width - w : 0;
  if (right) out.append(fill, ' ');
  out.append(text);
  if (!right) out.append(fill, ' ');
}

void TrimLine(std::string& out, std::size_t lineStart) {
  out.resize(lineStart + TrimTrailingBlanks(std::string_view(out).substr(lineStart)).size());
}

// A column of the laid-out table; column 0 is the row labels.
struct Column {
  std::size_t width = 0;
  std::size_t natural = 0;
  bool right = false;
  bool wrappable = true;
  std::size_t whole = 0;  // narrowest width that cuts no word of up to kWholeWords
};

constexpr std::size_t kFlushAt = 1 << 16;

// A table laid out for the line width: its rows flattened, its column
// headers, and the width of every column.
struct TextLayout {
  FlatTable flat;
  std::vector<std::string> header;
  std::vector<Column> cols;  // n + 1
  std::size_t limit = 0;     // the line width; 0: none

  std::size_t Total() const {
    std::size_t t = cols[0].width;
    for (std::size_t c = 1; c < cols.size(); ++c) t += kGap + cols[c].width;
    return t;
  }
};

TextLayout LayOut(const TableNode& table, const RenderOptions& options) {
  TextLayout lay{Flatten(table), {}, {}, options.width > 0 ? static_cast<std::size_t>(options.width) : 0};
  const FlatTable& flat = lay.flat;
  const std::size_t n = flat.columns.size();
  std::vector<Column>& cols = lay.cols;
  cols.resize(n + 1);
  for (std::size_t r = 0; r < flat.rows.size(); ++r) {
    const std::size_t indent = kIndent * static_cast<std::size_t>(flat.rows[r].depth);
    // Group headings may run across the data columns; they do not widen the
    // label column.
    if (flat.rows[r].row == nullptr) continue;
    cols[0].natural = std::max(cols[0].natural, indent + LongestLine(flat.rows[r].Label().text));
    for (std::size_t c = 0; c < n; ++c)
      cols[c + 1].natural = std::max(cols[c + 1].natural, LongestLine(flat.Cells(r, c)));
  }
  lay.header.resize(n);
  for (std::size_t c = 0; c < n; ++c) {
    lay.header[c] = Sanitize(std::string(flat.columns[c].label));
    cols[c + 1].natural = std::max(cols[c + 1].natural, DisplayWidth(lay.header[c]));
    cols[c + 1].right = flat.columns[c].numeric;
    cols[c + 1].wrappable = !flat.columns[c].numeric;
  }
  for (Column& c : cols) c.width = c.natural;
  if (lay.limit == 0 || lay.Total() <= lay.limit) return lay;

  // Narrow the widest wrappable column until the table fits the line: first
  // the columns of text to their longest word (a number in scientific form,
  // an e-mail address), then to kMinWrapped, the row labels (the program's own
  // wording: "Standard Deviation") kept whole; then the row labels to their
  // longest word ("Measurement" is never cut in two); on a line still too
  // narrow, the columns of text down to kMinSqueezed, and the row labels to
  // kMinWrapped only when nothing else is left.
  std::size_t longestWord = 0;
  for (std::size_t r = 0; r < flat.rows.size(); ++r) {
    if (flat.rows[r].row == nullptr) continue;
    longestWord = std::max(
        longestWord, kIndent * static_cast<std::size_t>(flat.rows[r].depth) + LongestWord(flat.rows[r].Label().text));
    for (std::size_t c = 0; c < n; ++c) {
      Column& col = cols[c + 1];
      if (!col.wrappable || col.whole >= kWholeWords) continue;
      for (const CellText* cell : flat.Cells(r, c)) col.whole = std::max(col.whole, LongestWord(cell->text));
      col.whole = std::min(col.whole, kWholeWords);
    }
  }
  std::vector<std::size_t> floors(cols.size(), kMinWrapped);
  for (std::size_t c = 1; c < cols.size(); ++c) floors[c] = std::max(kMinWrapped, cols[c].whole);
  const auto narrow = [&lay, &cols, &floors]() {
    while (lay.Total() > lay.limit) {
      Column* widest = nullptr;
      for (std::size_t c = 0; c < cols.size(); ++c) {
        Column& col = cols[c];
        if (col.wrappable && col.width > floors[c] && (widest == nullptr || col.width > widest->width)) widest = &col;
      }
      if (widest == nullptr) return;
      widest->width -= 1;
    }
  };
  floors[0] = std::max(kMinWrapped, std::min(cols[0].natural, kWholeLabels));
  narrow();  // words of text up to kWholeWords wide stay whole
  std::fill(floors.begin() + 1, floors.end(), kMinWrapped);
  narrow();
  floors[0] = std::max(kMinWrapped, longestWord);
  narrow();
  for (std::size_t c = 1; c < cols.size(); ++c) floors[c] = kMinSqueezed;
  narrow();
  floors[0] = kMinWrapped;
  narrow();
  return lay;
}

// The title, the column headers and the rule under them.
void AppendHeading(const TableNode& table, const TextLayout& lay, std::string& out, const Style& style) {
  const std::size_t n = lay.header.size();
  const std::size_t tableWidth = std::max<std::size_t>(lay.Total(), DisplayWidth(table.title.text));
  out += style.Wrap("1", Sanitize(table.title.text));
  out += '\n';
  if (lay.flat.hasColumnDimension && n > 0) {
    std::string line = std::string(lay.cols[0].width, ' ');
    for (std::size_t c = 0; c < n; ++c) {
      line += std::string(kGap, ' ');
      line += Pad(lay.header[c], lay.cols[c + 1].width, lay.cols[c + 1].right);
    }
    line.resize(TrimTrailingBlanks(line).size());
    out += style.Wrap("1", line);
    out += '\n';
  }
  out.append(std::min(tableWidth, lay.limit > 0 ? lay.limit : tableWidth), '-');
  out += '\n';
}

// Most rows fit on one line: one text per position, no line feeds, no
// wrapping. They are written straight out.
bool FitsOneLine(const TextLayout& lay, std::size_t r, std::string_view label, std::size_t labelRoom) {
  if (label.find('\n') != std::string::npos || DisplayWidth(label) > labelRoom) return false;
  for (std::size_t c = 0; c < lay.header.size(); ++c) {
    CellList cells = lay.flat.Cells(r, c);
    if (cells.size() > 1) return false;
    if (cells.size() == 1) {
      const std::string_view t = cells[0]->text;
      const Column& col = lay.cols[c + 1];
      if (t.find('\n') != std::string::npos || (col.wrappable && col.width != 0 && DisplayWidth(t) > col.width)) {
        return false;
      }
    }
  }
  return true;
}

// A row whose label or cells take several lines: each wrapped to its column.
void AppendWrappedRow(const TextLayout& lay, std::size_t r, std::size_t indent, std::size_t labelRoom,
                      std::string& out) {
  const std::size_t n = lay.header.size();
  std::vector<std::vector<std::string>> cellLines(n + 1);
  cellLines[0] = Wrap(Sanitize(lay.flat.rows[r].row->label.text), labelRoom);
  std::size_t height = cellLines[0].size();
  for (std::size_t c = 0; c < n; ++c) {
    const std::string text = Sanitize(FlatTable::Join(lay.flat.Cells(r, c)));
    cellLines[c + 1] = lay.cols[c + 1].wrappable ? Wrap(text, lay.cols[c + 1].width) : SplitLines(text);
    height = std::max(height, cellLines[c + 1].size());
  }
  for (std::size_t k = 0; k < height; ++k) {
    const std::size_t lineStart = out.size();
    out.append(indent, ' ');
    AppendPadded(out, k < cellLines[0].size() ? std::string_view(cellLines[0][k]) : std::string_view(), labelRoom,
                 false);
    for (std::size_t c = 0; c < n; ++c) {
      out.append(kGap, ' ');
      AppendPadded(out, k < cellLines[c + 1].size() ? std::string_view(cellLines[c + 1][k]) : std::string_view(),
                   lay.cols[c + 1].width, lay.cols[c + 1].right);
    }
    TrimLine(out, lineStart);
    out += '\n';
  }
}

void RenderTable(const TableNode& table, std::string& out, std::ostream& stream, const RenderOptions& options,
                 const Style& style) {
  const TextLayout lay = LayOut(table, options);
  const std::size_t n = lay.header.size();
  AppendHeading(table, lay, out, style);
  for (std::size_t r = 0; r < lay.flat.rows.size(); ++r) {
    if (out.size() >= kFlushAt) {
      stream << out;
      out.clear();
    }
    const FlatRow& row = lay.flat.rows[r];
    const std::size_t indent = kIndent * static_cast<std::size_t>(row.depth);
    if (row.group != nullptr) {
      std::size_t room = lay.limit > indent ? lay.limit - indent : 0;
      for (const std::string& l : Wrap(Sanitize(row.group->label.text), room)) {
        out.append(indent, ' ');
        out += style.Wrap("1;36", l);
        out += '\n';
      }
      continue;
    }
    const std::size_t labelRoom = lay.cols[0].width > indent ? lay.cols[0].width - indent : 1;
    const std::string_view label = row.row->label.text;
    if (!FitsOneLine(lay, r, label, labelRoom)) {
      AppendWrappedRow(lay, r, indent, labelRoom, out);
      continue;
    }
    const std::size_t lineStart = out.size();
    out.append(indent, ' ');
    AppendPadded(out, label, labelRoom, false);
    for (std::size_t c = 0; c < n; ++c) {
      out.append(kGap, ' ');
      CellList cells = lay.flat.Cells(r, c);
      AppendPadded(out, cells.empty() ? std::string_view() : std::string_view(cells[0]->text), lay.cols[c + 1].width,
                   lay.cols[c + 1].right);
    }
    TrimLine(out, lineStart);
    out += '\n';
  }
}

}  // namespace

std::string Sanitize(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if ((c < 0x20 && c != '\n') || c == 0x7F) {
      out += ' ';
      continue;
    }
    if (c < 0x80) {
      out += text[i];
      continue;
    }
    std::size_t length = 0;
    switch (InvisibleAt(text, i, length)) {
      case Invisible::None:
        out += text[i];
        continue;
      case Invisible::Control:
      case Invisible::Separator:
        out += ' ';
        break;
      case Invisible::Direction:
        // Dropped: they take no column, so they would shift the columns
        // after them, and an override or isolate left open reverses the rest
        // of the line (counts included) on terminals that apply the bidi
        // algorithm. Letters keep their own direction.
        break;
    }
    i += length - 1;
  }
  return out;
}

std::vector<std::string> Wrap(const std::string& text, std::size_t width) {
  std::vector<std::string> result;
  for (const std::string& paragraph : SplitLines(text)) {
    if (width == 0 || DisplayWidth(paragraph) <= width) {
      result.push_back(paragraph);
      continue;
    }
    std::string line;
    std::size_t lineWidth = 0;
    std::size_t i = 0;
    while (i < paragraph.size()) {
      std::size_t end = paragraph.find(' ', i);
      if (end == std::string::npos) end = paragraph.size();
      std::string word = paragraph.substr(i, end - i);
      i = end + 1;
      std::size_t w = DisplayWidth(word);
      if (lineWidth > 0 && lineWidth + 1 + w <= width) {
        line += ' ' + word;
        lineWidth += 1 + w;
        continue;
      }
      if (lineWidth > 0) {
        result.push_back(line);
        line.clear();
        lineWidth = 0;
      }
      // A word longer than the line is cut at code point boundaries; each
      // piece is measured once, so a label of a megabyte (a header cell with
      // no line break) is cut in linear time.
      std::string_view rest = word;
      while (w > width) {
        const std::string_view piece = rest.substr(0, PrefixForColumns(rest, width));
        result.emplace_back(piece);
        w -= DisplayWidth(piece);
        rest.remove_prefix(piece.size());
      }
      line = rest;
      lineWidth = w;
    }
    result.push_back(line);
  }
  if (result.empty()) result.emplace_back();
  return result;
}

namespace {

constexpr std::size_t kOverviewColumns = 9;

// The overview as a table of its own, laid out like every other table:
// `shown` picks its columns (Label, Distribution, Type, Valid, Missing,
// Distinct, Min, Max, Mean or mode), in the order given.
void AddOverviewTable(const Overview& overview, const std::string& title, const std::vector<std::size_t>& shown,
                      OutputDocument& into) {
  TableNode* table = into.AddTable("");
  table->title.text = title;
  auto dimension = [table](int place, const char* label) {
    auto d = std::make_unique<DimensionNode>();
    d->place = place;
    d->table = table;
    d->label.text = label;
    DimensionNode* made = d.get();
    table->dimensions.push_back(std::move(d));
    return made;
  };
  DimensionNode* rows = dimension(kRows, "Name");
  DimensionNode* columns = dimension(kColumns, "Overview");
  const char* const headers[kOverviewColumns] = {"Label",    "Distribution", "Type", "Valid",       "Missing",
                                                 "Distinct", "Min",          "Max",  "Mean or mode"};
  std::vector<const CategoryNode*> heads(kOverviewColumns, nullptr);
  for (std::size_t k : shown) {
    CellText label;
    label.text = headers[k];
    CategoryNode& c = table->NewCategory(columns, label);
    columns->children.push_back(Child(&c));
    heads[k] = &c;
  }
  for (const OverviewRow& row : overview.rows) {
    CellText name;
    name.text = row.name;
    CategoryNode& line = table->NewCategory(rows, name);
    rows->children.push_back(Child(&line));
    const std::string texts[] = {row.label,         Sparkline(row.chart, 24),
                                 TypeAndLevel(row), row.valid,
                                 MissingText(row),  row.distinct,
                                 row.min,           row.max,
                                 row.center};
    for (std::size_t k : shown) {
      // A column no row fills (Min and Max without a scale variable, Label
      // in a file without labels) is left out, as in every table.
      if (texts[k].empty()) continue;
      CellText cell;
      cell.text = texts[k];
      // Counts and the range align to the right, as numbers do.
      if (k >= 3 && k <= 7) cell.kind = CellOrigin::Number;
      table->AddCell(line, heads[k], cell);
    }
  }
}

// Whether the whole overview fits its line with every chart and type on one
// line, and no word of a label or mode (a number, an address) cut in two.
bool OverviewFits(const TextLayout& lay) {
  if (lay.Total() > lay.limit) return false;
  for (std::size_t c = 0; c < lay.header.size(); ++c) {
    const Column& col = lay.cols[c + 1];
    if ((lay.header[c] == "Distribution" || lay.header[c] == "Type") && col.width < col.natural) return false;
    if (col.width < col.whole) return false;  // a mode's number or address cut in two
  }
  return true;
}

// The overview's columns in tables that each fit the line: what each item
// is and how complete it is, then its values; on a line too narrow for those
// two (below some 75 columns), as many tables as it takes, the columns in
// the same order, each row's name in every one.
std::vector<std::vector<std::size_t>> OverviewParts(const Overview& overview, const RenderOptions& options) {
  const auto fits = [&](const std::vector<std::size_t>& shown) {
    OutputDocument trial;
    AddOverviewTable(overview, "Overview", shown, trial);
    return OverviewFits(LayOut(*trial.Items().front().table, options));
  };
  std::vector<std::vector<std::size_t>> parts{{0, 2, 3, 4, 5}, {1, 6, 7, 8}};
  if (fits(parts[0]) && fits(parts[1])) return parts;
  parts.clear();
  std::vector<std::size_t> current;
  for (const std::size_t k : {0, 2, 3, 4, 5, 1, 6, 7, 8}) {
    current.push_back(k);
    if (current.size() > 1 && !fits(current)) {
      current.pop_back();
      parts.push_back(std::move(current));
      current = {k};
    }
  }
  parts.push_back(std::move(current));
  return parts;
}

}  // namespace

void RenderText(const OutputDocument& document, std::ostream& stream, const RenderOptions& options) {
  Style style{options.color};
  std::string out;
  const std::shared_ptr<Dataset> dataset = ActiveDataset();
  if (options.overview) {
    const Overview overview = BuildOverview(document, dataset.get(), options);
    const std::string title = PageTitle(dataset.get(), options);
    if (!title.empty()) {
      for (const std::string& line : Wrap(Sanitize(title), static_cast<std::size_t>(std::max(options.width, 0)))) {
        out += style.Wrap("1", line) + '\n';
      }
    }
    const std::string facts = FactsLine(overview.facts);
    if (!facts.empty()) {
      for (const std::string& line : Wrap(Sanitize(facts), static_cast<std::size_t>(std::max(options.width, 0)))) {
        out += line + '\n';
      }
    }
    if (!overview.rows.empty()) {
      // Ten columns need some 120 terminal columns even with their texts
      // wrapped (numbers never wrap). On a line too narrow for them, or so
      // narrow that a row's chart or type would wrap (a chart cut in two
      // reads as two charts), the overview is two tables, each row's name in
      // both: what each item is and how complete it is, then its values.
      OutputDocument whole;
      AddOverviewTable(overview, "Overview", {0, 1, 2, 3, 4, 5, 6, 7, 8}, whole);
      const TableNode& table = *whole.Items().front().table;
      if (options.width <= 0 || OverviewFits(LayOut(table, options))) {
        out += '\n';
        RenderTable(table, out, stream, options, style);
      } else {
        OutputDocument parts;
        for (const std::vector<std::size_t>& shown : OverviewParts(overview, options)) {
          AddOverviewTable(overview, parts.Items().empty() ? "Overview" : "Overview (continued)", shown, parts);
        }
        for (const Item& part : parts.Items()) {
          out += '\n';
          RenderTable(*part.table, out, stream, options, style);
        }
      }
      if (const std::string note = OverviewWeightNote(overview); !note.empty()) out += Sanitize(note) + '\n';
    }
    out += '\n';
  }
  // Tables stand apart from what comes before and after them by a blank
  // line; consecutive messages stay together.
  bool first = true;
  bool lastWasTable = false;
  for (const Item& item : document.Items()) {
    if (!first && (item.IsTable() || lastWasTable)) out += '\n';
    lastWasTable = item.IsTable();
    if (item.IsTable()) {
      RenderTable(*item.table, out, stream, options, style);
      const std::string note = WeightNote(*item.table, dataset.get(), options.layout);
      if (!note.empty()) out += Sanitize(note) + '\n';
    } else {
      bool error = item.message.severity == Severity::Error;
      const std::string head = error ? "Error: " : "Warning: ";
      // Wrapped at the line width as table text is; the head keeps its colour.
      const std::vector<std::string> lines =
          Wrap(head + Sanitize(item.message.text), static_cast<std::size_t>(std::max(options.width, 0)));
      for (std::size_t k = 0; k < lines.size(); ++k) {
        if (k == 0 && lines[0].compare(0, head.size(), head) == 0) {
          out += style.Wrap(error ? "1;31" : "1;33", head);
          out += std::string_view(lines[0]).substr(head.size());
        } else {
          out += lines[k];
        }
        out += '\n';
      }
    }
    first = false;
    if (out.size() >= kFlushAt) {
      stream << out;
      out.clear();
    }
  }
  stream << out;
}

}  // namespace host
