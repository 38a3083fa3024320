// The renderers of the output document, one per output format.
#pragma once

#include <ostream>

#include "host/document.h"
#include "host/output/model.h"

namespace host {

void RenderJson(const OutputDocument& document, std::ostream& out, const RenderOptions& options);
void RenderText(const OutputDocument& document, std::ostream& out, const RenderOptions& options);
void RenderHtml(const OutputDocument& document, std::ostream& out, const RenderOptions& options);
void RenderMarkdown(const OutputDocument& document, std::ostream& out, const RenderOptions& options);

}  // namespace host
