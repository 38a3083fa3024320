// Temporary renderers until the real ones land.
#include "host/output/render.h"

namespace host {
void RenderHtml(const OutputDocument&, std::ostream&, const RenderOptions&) {}
void RenderMarkdown(const OutputDocument&, std::ostream&, const RenderOptions&) {}
}  // namespace host
