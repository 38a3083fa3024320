// The Markdown renderer: GitHub-flavoured tables, one section per table.
#include <string>
#include <string_view>

#include "host/output/flat.h"
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
// cannot end the cell and line feeds become <br>.
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
      case '\\': case '`': case '*': case '_': case '[': case ']': case '<': case '>': case '|': case '#':
      case '~': case '!': case '{': case '}': case '(': case ')':
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

void RenderTable(const TableNode& table, std::string& out, std::ostream& stream) {
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
    Escape(out, row.row->label.text);
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
}

}  // namespace

void RenderMarkdown(const OutputDocument& document, std::ostream& stream, const RenderOptions& options) {
  std::string out;
  out += "# Codebook";
  if (!options.title.empty()) {
    out += ": ";
    Escape(out, options.title);
  }
  out += "\n\n";
  for (const Item& item : document.Items()) {
    if (item.IsTable()) {
      RenderTable(*item.table, out, stream);
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
