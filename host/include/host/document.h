// The host output of one program run: every table and message in the order
// produced, and its renderers. Used by the program.
#pragma once

#include <memory>
#include <ostream>
#include <string>

#include "host/api.h"

namespace host {

class OutputDocument;

enum class Severity { Warning, Error };

// The output of this run; procedures add tables to it through the Bp
// classes and messages through ParserMessage.
HOST_API OutputDocument& Output();
HOST_API void AddMessage(Severity severity, const std::string& text);
// A message about a place in the current command ("line 2, column 14"): the
// program names it where it echoes the message; reports keep the text alone.
HOST_API void AddMessage(Severity severity, const std::string& text, const std::string& place);
HOST_API int ErrorCount();
// Forgets everything produced so far (tests).
HOST_API void ResetOutput();

enum class OutputFormat { Text, Json, Html, Markdown };

// The words of a procedure's tables that a report's page layout goes by. The
// renderers know no procedure: the program that runs one fills this in
// (app/report_layout.h). Left empty, every table is laid out alike: no page
// header table, no labels in the contents, no overview rows or charts.
struct ReportLayout {
  std::string documentName;   // the report's kind: page title without a dataset title, its prefix otherwise
  std::string fileTable;      // lookup name of the table about the file: in the page header, not the contents
  std::string variableTable;  // lookup name of a variable's (or set's) table: one overview row each
  std::string labelRow;       // the row whose cell labels a table in the contents (a fixed text there: none)
  std::string setPrefix;      // a table whose title starts with it is about a set
  std::string countColumn;    // a category's weighted count
  std::string percentColumn;  // a category's percent (HTML draws it as a bar)
  std::string valueColumn;    // a category's value label, a statistic's value
  std::string scaleGroup;     // the group of counts only a scale table has
  std::string validGroup;     // the groups listing valid and missing categories
  std::string missingGroup;
  std::string statisticsGroup;  // the group of summary statistics, and its mean row
  std::string meanRow;
  std::string setGroup;  // a set's listing of categories
};

struct RenderOptions {
  int width = 80;         // text: the line width to wrap at
  bool color = false;     // text: ANSI colours
  std::string title;      // html/markdown: document title when the dataset has no label of its own
  bool overview = false;  // text: the dataset line and the overview first (html and markdown always)
  std::string file;       // the dataset line: the dataset's file as the user named it
  std::string madeAt;     // the dataset line: when the report was made
  std::string version;    // the dataset line: the program's name and version
  ReportLayout layout;
};

// The report written while the commands run instead of after them: each
// item once it is complete and, of a table built in order, each row once it
// is final, so that a long listing is never held whole. It takes the items of
// Output() from its making to Finish.
class HOST_API ReportStream {
 public:
  virtual ~ReportStream();
  // A command has ended: everything made so far is complete.
  virtual void CompleteItems() = 0;
  // Writes what is left and the end of the report.
  virtual void Finish() = 0;
};

// False when the format needs the whole document first (HTML, Markdown and
// text open with an overview or lay tables out as a whole): JSON only.
HOST_API bool CanStreamReport(OutputFormat format);
// Null when it cannot.
HOST_API std::unique_ptr<ReportStream> StreamReport(OutputFormat format, std::ostream& out,
                                                    const RenderOptions& options);

HOST_API void Render(const OutputDocument& document, OutputFormat format, std::ostream& out,
                     const RenderOptions& options);

}  // namespace host
