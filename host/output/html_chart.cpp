// Inline SVG charts: see html_chart.h.
//
// A chart is a viewBox of 10 units per bar and 100 units high, stretched to
// its box (preserveAspectRatio none), with every bar of one kind in a single
// path: a few hundred bytes per chart, so thousands of them keep a report
// small and quick to open. Colours come from the page's style sheet, which
// follows the light and dark schemes.
#include <algorithm>
#include <cmath>

#include "host/output/html_chart.h"

namespace host {

namespace {

constexpr int kSlot = 10;     // viewBox units per bar
constexpr int kHeight = 100;  // viewBox units of the tallest bar
constexpr int kMinBar = 4;    // a bar with any count stays visible

void AppendInt(std::string& out, long value) { out += std::to_string(value); }

// One bar as a path segment: x, width, height from the bottom.
void AppendBar(std::string& out, long x, long width, long height) {
  out += 'M';
  AppendInt(out, x);
  out += ' ';
  AppendInt(out, kHeight - height);
  out += 'h';
  AppendInt(out, width);
  out += 'v';
  AppendInt(out, height);
  out += 'h';
  AppendInt(out, -width);
  out += 'z';
}

}  // namespace

void AppendChartSvg(std::string& out, const Chart& chart, bool small) {
  if (chart.kind == ChartKind::None || chart.bars.empty()) return;
  const bool histogram = chart.kind == ChartKind::Histogram;
  double top = 0.0;
  bool anyMissing = false;
  for (const ChartBar& bar : chart.bars) {
    top = std::max(top, bar.weight);
    anyMissing = anyMissing || bar.missing;
  }
  // Missing categories stand apart from the valid ones by one empty slot.
  const long slots = static_cast<long>(chart.bars.size()) + (anyMissing ? 1 : 0);
  const long width = std::max<long>(slots * kSlot, 4 * kSlot);
  const long barWidth = histogram ? kSlot - 1 : kSlot - 3;

  std::string valid;
  std::string missing;
  long x = histogram ? 0 : 1;
  bool inMissing = false;
  for (const ChartBar& bar : chart.bars) {
    if (bar.missing && !inMissing) {
      x += kSlot;
      inMissing = true;
    }
    if (bar.weight > 0.0 && top > 0.0) {
      const long h = std::max<long>(kMinBar, std::lround(bar.weight / top * kHeight));
      AppendBar(bar.missing ? missing : valid, x, barWidth, h);
    }
    x += kSlot;
  }

  // A bar chart is narrower than its figure: its legend keys ("bars") sit
  // side by side under it, where spread to the figure's edges "missing" stood
  // far from any bar. A histogram's low and high ends span its whole width.
  if (!small) out += histogram ? "<figure class=\"chart\">" : "<figure class=\"chart bars\">";
  out += small ? "<svg class=\"spark\" viewBox=\"0 0 " : "<svg class=\"big\" viewBox=\"0 0 ";
  AppendInt(out, width);
  out += ' ';
  AppendInt(out, kHeight);
  out += '"';
  if (!small && !histogram) {
    // A few categories make a narrow chart, not a few wide slabs.
    out += " style=\"max-width:";
    AppendInt(out, std::clamp<long>(slots * 2, 8, 34));
    out += "rem\"";
  }
  out += " preserveAspectRatio=\"none\" role=\"img\"";
  if (small) {
    out += " aria-label=\"";
    HtmlEscape(out, chart.summary);
    out += "\">";
  } else {
    // Both the accessible name and the tooltip: every bar with its count.
    out += "><title>";
    HtmlEscape(out, chart.details);
    out += "</title>";
  }
  if (!valid.empty()) out += "<path class=\"cv\" d=\"" + valid + "\"/>";
  if (!missing.empty()) out += "<path class=\"cm\" d=\"" + missing + "\"/>";
  out += "</svg>";
  if (small) return;
  out += "<figcaption>";
  if (histogram) {
    out += "<span>";
    HtmlEscape(out, chart.low);
    out += "</span><span>";
    HtmlEscape(out, chart.high);
    out += "</span>";
  } else {
    out += "<span><i class=\"kv\"></i>valid</span>";
    if (anyMissing) out += "<span><i class=\"km\"></i>missing</span>";
  }
  out += "</figcaption></figure>\n";
}

}  // namespace host
