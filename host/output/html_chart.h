// Inline SVG charts for the HTML report, drawn by the renderer itself (no
// script, no library): bars for categories, a histogram for scale values.
#pragma once

#include <string>
#include <string_view>

#include "host/output/overview.h"

namespace host {

// Appends text escaped for HTML element content and for attribute values.
void HtmlEscape(std::string& out, std::string_view text);

// Appends the chart as an inline SVG: a small one for an overview row, or
// the figure at the head of a table's section. Nothing for ChartKind::None.
void AppendChartSvg(std::string& out, const Chart& chart, bool small);

}  // namespace host
