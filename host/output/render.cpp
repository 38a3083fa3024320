// Render(): picks the renderer for the format asked for.
#include "host/output/render.h"

namespace host {

void Render(const OutputDocument& document, OutputFormat format, std::ostream& out, const RenderOptions& options) {
  switch (format) {
    case OutputFormat::Json:
      RenderJson(document, out, options);
      break;
    case OutputFormat::Html:
      RenderHtml(document, out, options);
      break;
    case OutputFormat::Markdown:
      RenderMarkdown(document, out, options);
      break;
    case OutputFormat::Text:
    default:
      RenderText(document, out, options);
      break;
  }
}

}  // namespace host
