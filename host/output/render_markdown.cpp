// The Markdown renderer: GitHub-flavoured tables, one section per table.
#include <string>

#include "host/output/flat.h"
#include "host/output/render.h"
#include "host/output/text_layout.h"

namespace host {

namespace {

// Escapes text for a table cell or a heading: Markdown punctuation is
// backslash-escaped (so data cannot open links, emphasis or raw HTML), pipes
// cannot end the cell and line feeds become <br>.
std::string Escape(const std::string& text) {
  std::string out;
  for (char c : Sanitize(text)) {
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
  return out;
}

std::string Indent(int depth) {
  std::string out;
  for (int i = 0; i < depth; ++i) out += "&nbsp;&nbsp;&nbsp;&nbsp;";
  return out;
}

void RenderTable(const TableNode& table, std::ostream& out) {
  FlatTable flat = Flatten(table);
  out << "## " << Escape(table.title.text) << "\n\n";
  const DimensionNode* rows = table.RowDimension();
  out << "| " << (rows ? Escape(rows->label.text) : std::string());
  for (const FlatColumn& c : flat.columns) out << " | " << Escape(c.label);
  out << " |\n|:---";
  for (const FlatColumn& c : flat.columns) out << (c.numeric ? "|---:" : "|:---");
  out << "|\n";
  for (const FlatRow& row : flat.rows) {
    if (row.group != nullptr) {
      out << "| " << Indent(row.depth) << "**" << Escape(row.group->label.text) << "**";
      for (std::size_t c = 0; c < flat.columns.size(); ++c) out << " |";
      out << " |\n";
      continue;
    }
    out << "| " << Indent(row.depth) << Escape(row.row->label.text);
    for (const auto& cells : row.cells) out << " | " << Escape(FlatTable::Join(cells));
    out << " |\n";
  }
  out << '\n';
}

}  // namespace

void RenderMarkdown(const OutputDocument& document, std::ostream& out, const RenderOptions& options) {
  out << "# Codebook";
  if (!options.title.empty()) out << ": " << Escape(options.title);
  out << "\n\n";
  for (const Item& item : document.Items()) {
    if (item.IsTable()) {
      RenderTable(*item.table, out);
    } else {
      bool error = item.message.severity == Severity::Error;
      out << "> **" << (error ? "Error" : "Warning") << ":** " << Escape(item.message.text) << "\n\n";
    }
  }
}

}  // namespace host
