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
  std::string title;       // html/markdown: document title (the dataset's file name)
};

HOST_API void Render(const OutputDocument& document, OutputFormat format, std::ostream& out,
                     const RenderOptions& options);

}  // namespace host
