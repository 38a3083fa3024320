// The Markdown renderer: GitHub-flavoured tables, one section per table.
#include <algorithm>
#include <map>
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

constexpr std::size_t kFlushAt = 1 << 16;

// Appends text escaped for a table cell or a heading: control characters
// (C0, DEL, C1) become blanks and bidirectional controls are dropped, as in
// the plain text, so that the raw file is safe in a terminal and a direction
// override cannot reorder the rest of the row; Markdown punctuation is
// backslash-escaped (so data cannot open links, emphasis or raw HTML), pipes
// cannot end the cell and line feeds become <br>. Parentheses, braces and "!"
// stay as they are, so that "Female (52.5%)" reads plainly in the raw file:
// with both brackets escaped they can make no link or image.
void Escape(std::string& out, std::string_view raw) {
  const std::string text = Sanitize(std::string(raw));
  for (char c : text) {
    switch (c) {
      case '\n':
        out += "<br>";
        break;
      case '&':
        out += "&amp;";
        break;
      case '\\':
      case '`':
      case '*':
      case '_':
      case '[':
      case ']':
      case '<':
      case '>':
      case '|':
      case '#':
      case '~':
        out.push_back('\\');
        out.push_back(c);
        break;
      default:
        out.push_back(c);
    }
  }
}

void Indent(std::string& out, int depth) {
  for (int i = 0; i < depth; ++i) out += "&nbsp;&nbsp;&nbsp;&nbsp;";
}

// The anchor a Markdown viewer gives a heading: lower case, punctuation
// dropped, blanks as hyphens; a repeated one gets "-1", "-2" and so on.
class Anchors {
 public:
  std::string Of(std::string_view heading) {
    std::string slug;
    for (std::size_t i = 0; i < heading.size(); ++i) {
      const auto c = static_cast<unsigned char>(LowerAscii(heading[i]));
      if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-') {
        slug.push_back(static_cast<char>(c));
      } else if (c == ' ') {
        slug.push_back('-');
      } else if (c >= 0xC0) {
        // A letter of another script is kept; controls, general punctuation
        // and direction marks (U+0080..U+009F, U+061C, U+2000..U+206F,
        // U+FEFF) are dropped as viewers drop them.
        std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
        length = std::min(length, heading.size() - i);
        const std::string_view point = heading.substr(i, length);
        const auto b1 = length > 1 ? static_cast<unsigned char>(point[1]) : 0;
        const bool dropped = (c == 0xC2 && b1 < 0xA0) || (c == 0xD8 && b1 == 0x9C) ||
                             (c == 0xE2 && (b1 == 0x80 || b1 == 0x81)) || point == "\xEF\xBB\xBF";
        if (!dropped) slug.append(point);
        i += length - 1;
      }
    }
    const int seen = fSeen[slug]++;
    return seen == 0 ? slug : slug + "-" + std::to_string(seen);
  }

 private:
  std::map<std::string, int> fSeen;
};

void Cell(std::string& out, const std::string& text) {
  out += " | ";
  Escape(out, text);
}

void RenderOverview(const Overview& overview, const std::vector<std::string>& anchors, std::string& out) {
  if (overview.rows.empty()) return;
  out +=
      "## Overview\n\n| Name | Label | Distribution | Type | Valid | Missing | Distinct | Min | Max | Mean or mode |\n"
      "|:---|:---|:---|:---|---:|---:|---:|---:|---:|:---|\n";
  for (const OverviewRow& row : overview.rows) {
    out += "| [";
    Escape(out, row.name);
    out += "](#";
    const auto at = static_cast<std::size_t>(row.tableId);
    if (at < anchors.size()) out += anchors[at];
    out += ")";
    Cell(out, row.label);
    Cell(out, Sparkline(row.chart, 24));
    Cell(out, TypeAndLevel(row));
    Cell(out, row.valid);
    out += " | " + MissingText(row);  // the program's own figures: nothing to escape
    Cell(out, row.distinct);
    Cell(out, row.min);
    Cell(out, row.max);
    const std::string_view center(row.center);
    const std::string_view modeName = center.substr(0, std::min(row.modeNameBytes, center.size()));
    if (row.modeNameBytes > 0 && row.modeNameBytes < center.size() &&
        std::any_of(modeName.begin(), modeName.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
      // The category's name in an isolate (FSI ... PDI, invisible), so
      // that a right-to-left name does not carry its percent to its left.
      // Only a name beyond ASCII can be right-to-left: other names go
      // without, since a pager or an editor shows the two marks as <U+2068>.
      out += " | \u2068";
      Escape(out, modeName);
      out += "\u2069";
      Escape(out, center.substr(row.modeNameBytes));
    } else {
      Cell(out, row.center);
    }
    out += " |\n";
  }
  out += '\n';
  if (const std::string note = OverviewWeightNote(overview); !note.empty()) {
    out += '*';
    Escape(out, note);
    out += "*\n\n";
  }
}

void RenderTable(const TableNode& table, const std::string& weightNote, std::string& out, std::ostream& stream) {
  FlatTable flat = Flatten(table);
  out += "## ";
  Escape(out, table.title.text);
  out += "\n\n";
  const DimensionNode* rows = table.RowDimension();
  out += "| ";
  if (rows != nullptr) Escape(out, rows->label.text);
  for (const FlatColumn& c : flat.columns) {
    out += " | ";
    Escape(out, c.label);
  }
  out += " |\n|:---";
  for (const FlatColumn& c : flat.columns) out += c.numeric ? "|---:" : "|:---";
  out += "|\n";
  for (std::size_t r = 0; r < flat.rows.size(); ++r) {
    const FlatRow& row = flat.rows[r];
    if (row.group != nullptr) {
      out += "| ";
      Indent(out, row.depth);
      out += "**";
      Escape(out, row.group->label.text);
      out += "**";
      for (std::size_t c = 0; c < flat.columns.size(); ++c) out += " |";
      out += " |\n";
      continue;
    }
    out += "| ";
    Indent(out, row.depth);
    // An empty string value is named as the overview names it, not left a
    // row without a name.
    if (const CellText& label = row.row->label;
        label.text.empty() && label.kind == CellOrigin::DataValue && label.valueIsString) {
      out += "*(blank)*";
    } else {
      Escape(out, label.text);
    }
    for (std::size_t c = 0; c < flat.columns.size(); ++c) {
      out += " | ";
      CellList cells = flat.Cells(r, c);
      for (std::size_t k = 0; k < cells.size(); ++k) {
        if (k > 0) out += "<br>";
        Escape(out, cells[k]->text);
      }
    }
    out += " |\n";
    if (out.size() >= kFlushAt) {
      stream << out;
      out.clear();
    }
  }
  out += '\n';
  if (!weightNote.empty()) {
    out += '*';
    Escape(out, weightNote);
    out += "*\n\n";
  }
}

}  // namespace

void RenderMarkdown(const OutputDocument& document, std::ostream& stream, const RenderOptions& options) {
  const std::shared_ptr<Dataset> dataset = ActiveDataset();
  const Overview overview = BuildOverview(document, dataset.get(), options);
  const bool ownTitle = dataset && dataset->label && !dataset->label->empty();
  const std::string title = PageTitle(dataset.get(), options);

  // Every heading's anchor, in document order, so the overview can link to
  // the tables (by their position among the tables).
  Anchors anchors;
  (void)anchors.Of(title);
  if (!overview.rows.empty()) (void)anchors.Of("Overview");
  std::vector<std::string> tableAnchors(1);
  for (const Item& item : document.Items()) {
    if (item.IsTable()) tableAnchors.push_back(anchors.Of(item.table->title.text));
  }

  std::string out;
  out += "# ";
  Escape(out, title);
  out += "\n\n";
  const std::string facts = FactsLine(overview.facts);
  if (!facts.empty()) {
    if (ownTitle && !options.layout.documentName.empty()) {
      Escape(out, options.layout.documentName);
      out += " \xC2\xB7 ";
    }
    Escape(out, facts);
    out += "\n\n";
  }
  RenderOverview(overview, tableAnchors, out);
  for (const Item& item : document.Items()) {
    if (item.IsTable()) {
      RenderTable(*item.table, WeightNote(*item.table, dataset.get(), options.layout), out, stream);
    } else {
      bool error = item.message.severity == Severity::Error;
      out += "> **";
      out += error ? "Error" : "Warning";
      out += ":** ";
      Escape(out, item.message.text);
      out += "\n\n";
    }
    if (out.size() >= kFlushAt) {
      stream << out;
      out.clear();
    }
  }
  stream << out;
}

}  // namespace host
