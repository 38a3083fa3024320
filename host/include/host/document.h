// The host output of one program run: every table and message in the order
// produced, and its renderers. Used by the program.
#pragma once

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
HOST_API int ErrorCount();
// Forgets everything produced so far (tests).
HOST_API void ResetOutput();

enum class OutputFormat { Text, Json, Html, Markdown };

struct RenderOptions {
  int width = 80;          // text: the line width to wrap at
  bool color = false;      // text: ANSI colours
  std::string title;       // html/markdown: document title when the dataset has no label of its own
  bool overview = false;   // text: the dataset line and the overview first (html and markdown always)
  std::string file;        // the dataset line: the dataset's file as the user named it
  std::string madeAt;      // the dataset line: when the report was made
  std::string version;     // the dataset line: the program's name and version
};

HOST_API void Render(const OutputDocument& document, OutputFormat format, std::ostream& out,
                     const RenderOptions& options);

}  // namespace host
