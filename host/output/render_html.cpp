// The HTML renderer: one self-contained page (no network, no external
// scripts or fonts) with a filterable table of contents, light and dark
// schemes and a print style sheet. Built to open quickly with thousands of
// tables: sections are laid out lazily by the browser (content-visibility)
// and the only script is the small filter.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "host/common/in_order.h"
#include "host/data/dataset.h"
#include "host/output/flat.h"
#include "host/output/html_chart.h"
#include "host/output/overview.h"
#include "host/output/render.h"
#include "host/output/text_layout.h"

namespace host {

// Appends text escaped for element content and for attribute values
// (quoted with either quote). Control characters other than line feeds and
// tabs are dropped: they are not allowed in HTML, and the raw page may be
// printed to a terminal. So are bidirectional controls: a tooltip (an
// attribute, a chart's title) cannot isolate them as the page's cells do,
// and an override there reverses the rest of it.
void HtmlEscape(std::string& out, std::string_view text) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    std::size_t run = i;
    std::size_t invisible = 0;
    while (run < n) {
      const auto c = static_cast<unsigned char>(text[run]);
      if (c == '&' || c == '<' || c == '>' || c == '"' || c == '\'' || (c < 0x20 && c != '\n' && c != '\t') ||
          c == 0x7F) {
        break;
      }
      if (c == 0xC2 || c == 0xD8 || c == 0xE2) {
        const Invisible kind = InvisibleAt(text, run, invisible);
        if (kind == Invisible::Control || kind == Invisible::Direction) break;
        invisible = 0;
      }
      ++run;
    }
    out.append(text.data() + i, run - i);
    if (run == n) break;
    if (invisible > 0) {
      i = run + invisible;  // dropped
      continue;
    }
    switch (text[run]) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        break;  // a control character: dropped
    }
    i = run + 1;
  }
}

namespace {

void Esc(std::string& out, std::string_view text) { HtmlEscape(out, text); }

// A label or overview cell longer than this (in bytes) repeats its text as a
// tooltip: it may be cut at three lines.
constexpr std::size_t kClampedTitle = 80;

// A long name breaks where its words meet (after "_", "." or "-", and where
// a lower-case letter meets a capital) when its column is narrow, rather than
// anywhere in a word; a short one never needs to.
constexpr std::size_t kBreakableName = 12;

void EscName(std::string& out, std::string_view name) {
  const auto lower = [](char c) { return c >= 'a' && c <= 'z'; };
  const auto upper = [](char c) { return c >= 'A' && c <= 'Z'; };
  const auto joiner = [](char c) { return c == '_' || c == '.' || c == '-'; };
  std::size_t start = 0;
  if (name.size() > kBreakableName) {
    for (std::size_t i = 1; i + 1 < name.size(); ++i) {
      const char before = name[i - 1];
      const char c = name[i];
      if ((joiner(before) && !joiner(c)) || (lower(before) && upper(c))) {
        Esc(out, name.substr(start, i - start));
        out += "<wbr>";
        start = i;
      }
    }
  }
  Esc(out, name.substr(start));
}

std::string Esc(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  Esc(out, text);
  return out;
}

// What a table's section shows besides the table: the chart of its overview
// row and the line that says its counts are weighted.
struct TableExtras {
  const Chart* chart = nullptr;
  std::string weightNote;
};

// A percent cell's bar is centred on the cell's first line (padding, then
// half of the 1.45 line less half the bar), beside its number: centred on
// the cell, it sat between the lines of a row whose label wraps.
const char kStyle[] = R"CSS(
:root{color-scheme:light dark;--bg:#fff;--fg:#1f2328;--muted:#59636e;--line:#d1d9e0;--head:#f6f8fa;--grp:#eef1f5;
--bar:#8fb8f6;--link:#0550ae;--mark:#fff8c5;--warn-bg:#fff8c5;--warn-fg:#4d2d00;--warn-line:#d4a72c;--err-bg:#ffebe9;
--err-fg:#82071e;--err-line:#ff8182;--focus:#0969da;--chart:#3b7dd8;--chart-miss:#c2410c}
@media (prefers-color-scheme:dark){:root{--bg:#0d1117;--fg:#e6edf3;--muted:#9198a1;--line:#3d444d;--head:#151b23;
--grp:#1b222c;--bar:#1f5fb8;--link:#58a6ff;--warn-bg:#2e2608;--warn-fg:#f2cc60;--warn-line:#9e6a03;--err-bg:#3a1216;
--err-fg:#ffa198;--err-line:#da3633;--focus:#58a6ff;--chart:#5a9cf0;--chart-miss:#f0883e}}
*{box-sizing:border-box}
html{background:var(--bg);color:var(--fg);font:15px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,"Noto Sans",
"Liberation Sans",sans-serif}
body{margin:0}
a{color:var(--link)}
:focus-visible{outline:2px solid var(--focus);outline-offset:1px}
.skip{position:absolute;left:-999px;top:0;background:var(--bg);padding:.5rem 1rem;z-index:2}
.skip:focus{left:.5rem}
.vh{position:absolute;width:1px;height:1px;overflow:hidden;clip:rect(0 0 0 0);white-space:nowrap}
.layout{display:grid;grid-template-columns:minmax(13rem,18rem) minmax(0,1fr);min-height:100vh}
nav{position:sticky;top:0;height:100vh;display:flex;flex-direction:column;border-right:1px solid var(--line);
background:var(--head)}
nav h2{font-size:.8rem;text-transform:uppercase;letter-spacing:.06em;color:var(--muted);margin:1rem 1rem .4rem}
.filter{padding:0 1rem .6rem}
.filter label{display:block;font-size:.85rem;color:var(--muted);margin-bottom:.2rem}
.filter input{width:100%;font:inherit;padding:.35rem .55rem;border:1px solid var(--line);border-radius:6px;
background:var(--bg);color:var(--fg)}
.count{font-size:.8rem;color:var(--muted);margin-top:.3rem}
#toc{list-style:none;margin:0;padding:0 .5rem 1rem;overflow:auto;flex:1}
#toc a{display:block;padding:.2rem .5rem;border-radius:6px;text-decoration:none;color:var(--fg);overflow:hidden;
text-overflow:ellipsis;white-space:nowrap}
#toc a:hover,#toc a:focus{background:var(--grp)}
#toc .n{font-family:ui-monospace,"SFMono-Regular",Menlo,Consolas,"Liberation Mono",monospace;font-size:.88em;
font-weight:600}
#toc .l{color:var(--muted);margin-left:.45rem}
.badge{font-size:.7rem;border:1px solid var(--line);border-radius:1em;padding:0 .4em;margin-left:.35rem;
color:var(--muted);vertical-align:.1em}
main{padding:1.25rem 2rem 3rem;max-width:80rem;min-width:0}
header h1{font-size:1.6rem;margin:.2rem 0 .1rem}
header .sub{color:var(--muted);margin:0 0 1rem}
header .kick{font-size:.8rem;text-transform:uppercase;letter-spacing:.06em;color:var(--muted);margin:0}
section.ov{margin:0 0 2.2rem}
section.ov h2{font-size:1.15rem;margin:0 0 .45rem}
.ovw{overflow-x:auto}
.ovt{min-width:59rem;font-size:.84rem}
.ovr{display:grid;grid-template-columns:minmax(6rem,8.5rem) minmax(var(--lw,8rem),1.3fr) 6.8rem 8.4rem 4.4rem 6.4rem 4.4rem
minmax(max(6.5rem,min(var(--rw,0px),11vw)),.8fr) minmax(max(8rem,min(var(--mw,0px),11vw)),1.2fr);align-items:center;border-bottom:1px solid var(--line)}
.ovr[hidden]{display:none}
.ovr>span{padding:.2rem .4rem;overflow-wrap:break-word;min-width:0}
.ovh .ovr{background:var(--head);color:var(--muted);font-weight:600;border-bottom-width:2px}
.ovg{content-visibility:auto;contain-intrinsic-size:auto 200rem}
.ovg .ovr:hover{background:var(--grp);cursor:pointer}
.ovg .ovr>span:first-child{font-family:ui-monospace,"SFMono-Regular",Menlo,Consolas,"Liberation Mono",monospace;
font-weight:600}
.ovr>.num{white-space:nowrap;width:auto}.ovr>.dn{white-space:normal}
.ovr>.lc{display:-webkit-box;-webkit-box-orient:vertical;-webkit-line-clamp:3;line-clamp:3;overflow:hidden}
.ovr .pc{color:var(--muted)}
.ovr>.ch{padding-top:.1rem;padding-bottom:.1rem}
svg.spark{display:block;width:6rem;height:1.4rem}
.cv{fill:var(--chart)}.cm{fill:var(--chart-miss)}
figure.chart{margin:0 0 .7rem;max-width:34rem}
svg.big{display:block;width:100%;height:5.5rem;border-bottom:1px solid var(--line)}
figure.chart figcaption{display:flex;justify-content:space-between;gap:1rem;font-size:.8rem;color:var(--muted);
margin-top:.15rem}
figure.bars figcaption{justify-content:flex-start}
.kv,.km{display:inline-block;width:.7em;height:.7em;margin-right:.3em;vertical-align:-.05em}
.kv{background:var(--chart)}.km{background:var(--chart-miss)}
.wnote{font-size:.85rem;color:var(--muted);margin:.35rem 0 0}
.blank{color:var(--muted);font-style:italic}
section.tbl{content-visibility:auto;contain-intrinsic-size:auto 28rem;margin:0 0 2rem}
section.tbl h2{font-size:1.15rem;margin:0 0 .45rem;scroll-margin-top:1rem}
section.tbl h2 .n{font-family:ui-monospace,"SFMono-Regular",Menlo,Consolas,"Liberation Mono",monospace}
section.tbl h2 .l{font-weight:400;color:var(--muted);margin-left:.5rem}
section.tbl h2{display:-webkit-box;-webkit-box-orient:vertical;-webkit-line-clamp:3;line-clamp:3;overflow:hidden}
table{border-collapse:collapse;width:100%;font-variant-numeric:tabular-nums;table-layout:fixed}
col.stub{width:34%}
th,td{padding:.28rem .6rem;border-bottom:1px solid var(--line);text-align:left;vertical-align:top;
white-space:pre-wrap;overflow-wrap:anywhere}
thead th{background:var(--head);font-size:.85rem;color:var(--muted);font-weight:600;border-bottom-width:2px}
tbody th{font-weight:400}
tr.g th{background:var(--grp);font-weight:600;font-size:.9rem}
.d1{padding-left:1.6rem}.d2{padding-left:2.6rem}.d3{padding-left:3.6rem}
.num{text-align:right;white-space:nowrap;width:6.5rem}
td.pct,th.pct{width:11rem}
td.pct{background-image:linear-gradient(var(--bar),var(--bar));background-repeat:no-repeat;
background-position:.6rem calc(.28rem + .375em);background-size:calc((100% - 5.4rem) * var(--f,0)) .7em}
td.doc div+div{margin-top:.5rem;padding-top:.5rem;border-top:1px dashed var(--line)}
.notice{margin:0 0 1.2rem;padding:.55rem .8rem;border-left:4px solid var(--warn-line);background:var(--warn-bg);
color:var(--warn-fg);border-radius:0 6px 6px 0}
.notice.error{border-color:var(--err-line);background:var(--err-bg);color:var(--err-fg)}
.empty{color:var(--muted)}
@media (max-width:50rem){.layout{display:block}nav{position:static;height:auto;max-height:45vh;border-right:0;
border-bottom:1px solid var(--line)}main{padding:1rem}
section.tbl{overflow-x:auto}table{table-layout:auto}col.stub{width:auto}th,td{padding:.28rem .4rem;
overflow-wrap:break-word}.num,td.pct,th.pct{width:auto}td.pct{background:none}}
@media print{html{font-size:10pt;background:#fff;color:#000}.layout{display:block}nav,.skip{display:none}
main{max-width:none;padding:0}section.tbl{content-visibility:visible;break-inside:avoid}
thead th,tr.g th{background:none;color:#000}td.pct{background:none}a{color:inherit;text-decoration:none}
.notice{border:1px solid #000;background:none;color:#000}}
th,td,#toc .n,#toc .l,h2 span,.ovr>span{unicode-bidi:isolate}
)CSS";

// The filter: narrows the table of contents as you type. "/" focuses it,
// Enter opens the first match, the arrow keys walk the visible entries, and
// a page address ending in #filter=TEXT starts with TEXT filled in.
const char kScript[] = R"JS(
(function(){
var input=document.getElementById('filter');if(!input)return;
var list=document.getElementById('toc'),count=document.getElementById('count');
var items=Array.prototype.slice.call(list.children);
var keys=items.map(function(li){return li.textContent.toLowerCase();});
var ovb=document.getElementById('ovb'),rows=null,rkeys=null;
function filterRows(q){
  if(!ovb||(!q&&!rows))return;
  if(!rows){rows=Array.prototype.slice.call(ovb.querySelectorAll('.ovg .ovr'));
    rkeys=rows.map(function(r){return (r.children[0].textContent+' '+r.children[1].textContent).toLowerCase();});}
  for(var i=0;i<rows.length;i++)rows[i].hidden=!!q&&rkeys[i].indexOf(q)<0;
}
if(ovb)ovb.addEventListener('click',function(e){
  if(e.target.closest('a'))return;
  var r=e.target.closest('.ovg .ovr'),a=r&&r.querySelector('a');if(a)a.click();
});
function apply(){
  var q=input.value.trim().toLowerCase(),n=0;
  for(var i=0;i<items.length;i++){var show=!q||keys[i].indexOf(q)>=0;items[i].hidden=!show;if(show)n++;}
  filterRows(q);
  list.setAttribute('data-matches',String(n));
  count.textContent=q?(n+' of '+items.length+' match'):(items.length+(items.length===1?' table':' tables'));
}
function visible(){return items.filter(function(li){return !li.hidden;}).map(function(li){return li.firstChild;});}
input.addEventListener('input',apply);
input.addEventListener('keydown',function(e){
  var v=visible();
  if(e.key==='Enter'&&v.length){e.preventDefault();v[0].click();}
  else if(e.key==='ArrowDown'&&v.length){e.preventDefault();v[0].focus();}
  else if(e.key==='Escape'){input.value='';apply();}
});
list.addEventListener('keydown',function(e){
  if(e.key!=='ArrowDown'&&e.key!=='ArrowUp')return;
  var v=visible(),i=v.indexOf(document.activeElement);if(i<0)return;
  e.preventDefault();
  if(e.key==='ArrowDown'&&i+1<v.length)v[i+1].focus();
  else if(e.key==='ArrowUp'){if(i>0)v[i-1].focus();else input.focus();}
});
document.addEventListener('keydown',function(e){
  if(e.key==='/'&&document.activeElement!==input&&!e.ctrlKey&&!e.metaKey&&!e.altKey){e.preventDefault();input.focus();}
});
function fromAddress(){
  var m=/^#filter=(.*)$/.exec(location.hash);
  if(m){try{input.value=decodeURIComponent(m[1]);}catch(err){input.value=m[1];}}
  apply();
}
window.addEventListener('hashchange',function(){if(/^#filter=/.test(location.hash))fromAddress();});
fromAddress();
})();
)JS";

// The table about the file, shown in the page header.
bool IsFileTable(const TableNode& table, const ReportLayout& layout) {
  return !layout.fileTable.empty() && table.lookup.text == layout.fileTable;
}

// The label shown beside a table in the contents: its label row, unless
// that holds the procedure's own wording (such as "<none>").
std::string TableLabel(const TableNode& table, const ReportLayout& layout) {
  if (layout.labelRow.empty()) return {};
  const CategoryNode* row = table.FindRow(layout.labelRow);
  if (row == nullptr || row->cellCount == 0) return {};
  const CellText& t = row->Cells().front().text;
  if (t.kind == CellOrigin::String && t.fixed) return {};
  return t.text.str();
}

void AppendPercentStyle(std::string& out, const CellText& t) {
  if (t.kind != CellOrigin::Number || !t.percent || !t.hasNumber) return;
  double f = std::clamp(t.number / 100.0, 0.0, 1.0);
  char buf[48];
  const int len = std::snprintf(buf, sizeof buf, " style=\"--f:%.4f\"", f);
  if (len > 0) out.append(buf, static_cast<std::size_t>(len));
}

void RenderCells(CellList cells, const FlatColumn& column, std::string& out) {
  bool pct = cells.size() == 1 && cells[0]->kind == CellOrigin::Number && cells[0]->percent;
  out += "<td";
  if (column.numeric || cells.size() > 1) {
    out += " class=\"";
    if (column.numeric) out += pct ? "num pct" : "num";
    if (cells.size() > 1) out += column.numeric ? " doc" : "doc";
    out += '"';
  }
  if (pct) AppendPercentStyle(out, *cells[0]);
  out += '>';
  if (cells.size() > 1) {
    for (const CellText* c : cells) {
      out += "<div>";
      Esc(out, c->text);
      out += "</div>";
    }
  } else if (!cells.empty()) {
    Esc(out, cells[0]->text);
  }
  out += "</td>";
}

void AppendDepth(std::string& out, int depth) {
  if (depth <= 0) return;
  out += " class=\"d";
  out += static_cast<char>('0' + std::min(depth, 3));
  out += '"';
}

constexpr std::size_t kFlushAt = std::size_t{1} << 20;

// Hands what is written so far to the stream, so the page is never held
// whole (a table can have a million rows). A table rendered aside (no
// stream) is a short one.
void FlushIfLarge(std::string& out, std::ostream* stream) {
  if (stream != nullptr && out.size() > kFlushAt) {
    *stream << out;
    out.clear();
  }
}
void FlushIfLarge(std::string& out, std::ostream& stream) { FlushIfLarge(out, &stream); }

// The section's opening: its heading (the name, and the label beside it)
// and the chart.
void AppendTableHeading(const TableNode& table, const std::string& sid, const TableExtras& extras,
                        const ReportLayout& layout, std::string& out) {
  const bool fileTable = IsFileTable(table, layout);
  const std::string label = fileTable ? std::string() : TableLabel(table, layout);
  out += "<section class=\"tbl\" id=\"t" + sid + "\" aria-labelledby=\"h" + sid + "\">\n<h2 id=\"h" + sid + "\"";
  // A heading is cut at three lines: a label of a paragraph's length is
  // whole in its tooltip (and in the table's Label row).
  if (label.size() > kClampedTitle) {
    out += " title=\"";
    Esc(out, label);
    out += '"';
  }
  out += '>';
  if (fileTable) {
    Esc(out, table.title.text);
  } else {
    out += "<span class=\"n\">";
    EscName(out, table.title.text);
    out += "</span>";
    if (!label.empty()) {
      out += "<span class=\"l\">";
      Esc(out, label);
      out += "</span>";
    }
  }
  out += "</h2>\n";
  if (extras.chart != nullptr) AppendChartSvg(out, *extras.chart, false);
}

// The column headers; a table without a column dimension gets hidden ones,
// for screen readers.
void AppendColumnHeads(const TableNode& table, const FlatTable& flat, const ReportLayout& layout, std::string& out) {
  const DimensionNode* rows = table.RowDimension();
  out += flat.hasColumnDimension ? "<thead><tr><th scope=\"col\">" : "<thead class=\"vh\"><tr><th scope=\"col\">";
  if (rows != nullptr) Esc(out, rows->label.text);
  out += "</th>";
  for (const FlatColumn& c : flat.columns) {
    if (!flat.hasColumnDimension) {
      out += "<th scope=\"col\">Value</th>";
      continue;
    }
    const bool percent = !layout.percentColumn.empty() && c.label == layout.percentColumn;
    out += c.numeric ? (percent ? "<th scope=\"col\" class=\"num pct\">" : "<th scope=\"col\" class=\"num\">")
                     : "<th scope=\"col\">";
    Esc(out, c.label);
    out += "</th>";
  }
  out += "</tr></thead>\n";
}

// The rows: a body per top-level group, group headings across the table.
void AppendRows(const FlatTable& flat, std::string& out, std::ostream* stream) {
  const std::string spanText = std::to_string(flat.columns.size() + 1);
  bool open = false;
  for (std::size_t r = 0; r < flat.rows.size(); ++r) {
    const FlatRow& row = flat.rows[r];
    if (row.group != nullptr && row.depth == 0) {
      if (open) out += "</tbody>\n";
      out += "<tbody>";
      open = true;
    } else if (!open) {
      out += "<tbody>";
      open = true;
    }
    if (row.group != nullptr) {
      out += "<tr class=\"g\"><th scope=\"rowgroup\" colspan=\"";
      out += spanText;
      out += '"';
      AppendDepth(out, row.depth);
      out += '>';
      Esc(out, row.group->label.text);
      out += "</th></tr>\n";
      continue;
    }
    out += "<tr><th scope=\"row\"";
    AppendDepth(out, row.depth);
    out += '>';
    // An empty string value would leave its row without a name: it reads
    // as the overview and the charts name it.
    if (const CellText& label = row.row->label;
        label.text.empty() && label.kind == CellOrigin::DataValue && label.valueIsString) {
      out += "<span class=\"blank\">(blank)</span>";
    } else {
      Esc(out, label.text);
    }
    out += "</th>";
    for (std::size_t c = 0; c < flat.columns.size(); ++c) RenderCells(flat.Cells(r, c), flat.columns[c], out);
    out += "</tr>\n";
    FlushIfLarge(out, stream);
  }
  if (open) out += "</tbody>\n";
  if (flat.rows.empty()) {
    out += "<tbody><tr><td class=\"empty\" colspan=\"" + spanText + "\">Nothing to show.</td></tr></tbody>\n";
  }
}

void RenderTable(const TableNode& table, const FlatTable& flat, int id, const TableExtras& extras,
                 const ReportLayout& layout, std::string& out, std::ostream* stream) {
  const std::string sid = std::to_string(id);
  AppendTableHeading(table, sid, extras, layout, out);
  out += "<table aria-labelledby=\"h" + sid + "\"><colgroup><col class=\"stub\"></colgroup>\n";
  AppendColumnHeads(table, flat, layout, out);
  AppendRows(flat, out, stream);
  out += "</table>\n";
  if (!extras.weightNote.empty()) {
    out += "<p class=\"wnote\">";
    Esc(out, extras.weightNote);
    out += "</p>\n";
  }
  out += "</section>\n";
}

void RenderMessage(const Message& message, std::string& out) {
  bool error = message.severity == Severity::Error;
  out += error ? "<p class=\"notice error\" role=\"note\"><strong>Error:</strong> "
               : "<p class=\"notice\" role=\"note\"><strong>Warning:</strong> ";
  Esc(out, message.text);
  out += "</p>\n";
}

}  // namespace

namespace {

// The overview: one row per variable and set table; a row's name leads to
// its table (and so does a click anywhere on the row).
// Rows of the overview laid out together: the browser skips the layout of
// groups out of view, so thousands of rows open as fast as a few.
constexpr std::size_t kOverviewGroup = 100;

// Items rendered a batch at a time (and the overview's rows a group at a
// time); a document of a few hundred items or more shares them with a second
// thread. A table of more rows than kRowsAside is not held aside whole but
// rendered in order, flushed.
constexpr std::size_t kItemBatch = 32;
constexpr std::size_t kItemsShared = 256;
constexpr std::size_t kBatchesAhead = 8;
constexpr std::size_t kRowsAside = 4096;

// The width in characters of the longest blank-free run of `text`.
std::size_t LongestRun(std::string_view text) {
  std::size_t longest = 0;
  while (!text.empty()) {
    const std::size_t blank = text.find(' ');
    longest = std::max(longest, DisplayWidth(text.substr(0, blank)));
    if (blank == std::string_view::npos) break;
    text.remove_prefix(blank + 1);
  }
  return longest;
}

// Every row is a grid of its own (so that groups of rows can be laid out
// lazily), so column widths cannot follow their content: the Range and Mean
// columns are widened for all rows (inline, as characters) when a number
// there would not fit its default width and would be cut in two, as the
// sixteen decimals of values a program wrote would be; the Label column
// gives up some of its minimum for them. Each takes at most a ninth of the
// window, so that the overview still fits a window it fitted before.
std::string NumberColumnWidths(const Overview& overview) {
  constexpr std::size_t kRangeFits = 11, kMeanFits = 14, kWidest = 24;
  std::size_t range = 0, mean = 0;
  for (const OverviewRow& row : overview.rows) {
    if (!row.min.empty()) range = std::max({range, LongestRun(row.min), LongestRun(row.max)});
    if (row.centerIsMean) mean = std::max(mean, LongestRun(row.center));
  }
  std::string style;
  if (range > kRangeFits || mean > kMeanFits) style += "--lw:6rem;";  // the labels give some room
  if (range > kRangeFits) style += "--rw:calc(" + std::to_string(std::min(range, kWidest)) + "ch + .8rem);";
  if (mean > kMeanFits) style += "--mw:calc(" + std::to_string(std::min(mean, kWidest)) + "ch + .8rem);";
  return style;
}

void RenderOverview(const Overview& overview, std::string& out, std::ostream& stream) {
  if (overview.rows.empty()) return;
  // A table in ARIA roles over a grid layout: a real table cannot be laid
  // out lazily a group of rows at a time.
  out +=
      "<section class=\"ov\" id=\"overview\" aria-labelledby=\"ovh\">\n<h2 id=\"ovh\">Overview</h2>\n"
      "<div class=\"ovw\"><div class=\"ovt\" id=\"ovb\"";
  if (const std::string widths = NumberColumnWidths(overview); !widths.empty()) out += " style=\"" + widths + "\"";
  out += " role=\"table\" aria-labelledby=\"ovh\" aria-rowcount=\"";
  out += std::to_string(overview.rows.size() + 1);
  out +=
      "\">\n<div class=\"ovh\" role=\"rowgroup\"><div class=\"ovr\" role=\"row\">"
      "<span role=\"columnheader\">Name</span><span role=\"columnheader\">Label</span>"
      "<span role=\"columnheader\">Distribution</span><span role=\"columnheader\">Type</span>"
      "<span role=\"columnheader\" class=\"num\">Valid</span><span role=\"columnheader\" class=\"num\">Missing</span>"
      "<span role=\"columnheader\" class=\"num\">Distinct</span><span role=\"columnheader\">Range</span>"
      "<span role=\"columnheader\">Mean or mode</span></div></div>\n";
  // The rows a group at a time, on two threads when there are many.
  const std::size_t groups = (overview.rows.size() + kOverviewGroup - 1) / kOverviewGroup;
  std::vector<std::string> made(groups);
  const auto makeGroup = [&overview, &made](std::size_t g) {
    std::string& into = made[g];
    const auto cell = [&into](const std::string& text, const char* kind) {
      into += "<span role=\"cell\"";
      if (kind != nullptr) {
        into += " class=\"";
        into += kind;
        into += '"';
      }
      into += '>';
      Esc(into, text);
      into += "</span>";
    };
    // `isolated` bytes at the start are text from the data set apart, so
    // that a right-to-left name does not carry the percent after it over
    // to its left.
    const auto clamped = [&into](const std::string& text, std::size_t isolated) {
      into += "<span role=\"cell\" class=\"lc\"";
      if (text.size() > kClampedTitle) {
        into += " title=\"";
        Esc(into, text);
        into += '"';
      }
      into += '>';
      if (isolated > 0 && isolated < text.size()) {
        into += "<bdi>";
        Esc(into, std::string_view(text).substr(0, isolated));
        into += "</bdi>";
        Esc(into, std::string_view(text).substr(isolated));
      } else {
        Esc(into, text);
      }
      into += "</span>";
    };
    if (g > 0) into += "</div>\n";
    into += "<div class=\"ovg\" role=\"rowgroup\">\n";
    const std::size_t end = std::min(overview.rows.size(), (g + 1) * kOverviewGroup);
    for (std::size_t k = g * kOverviewGroup; k < end; ++k) {
      const OverviewRow& row = overview.rows[k];
      into += "<div class=\"ovr\" role=\"row\"><span role=\"rowheader\"><a href=\"#t";
      into += std::to_string(row.tableId);
      into += "\">";
      EscName(into, row.name);
      into += "</a></span>";
      // A label or mode of a paragraph's length would make its row a page
      // tall: three lines of it, the whole in the tooltip and the table.
      clamped(row.label, 0);
      into += "<span role=\"cell\" class=\"ch\">";
      AppendChartSvg(into, row.chart, true);
      into += "</span>";
      cell(TypeAndLevel(row), nullptr);
      cell(row.valid, "num");
      into += "<span role=\"cell\" class=\"num\">";
      Esc(into, row.missing);
      if (!row.missingPercent.empty()) {
        into += " <span class=\"pc\">(";
        Esc(into, row.missingPercent);
        into += ")</span>";
      }
      into += "</span>";
      // "more than 1000" takes two lines rather than run into the range.
      cell(row.distinct, row.distinct.find(' ') == std::string::npos ? "num" : "num dn");
      cell(row.min.empty() ? row.min : row.min + " \xE2\x80\x93 " + row.max, nullptr);  // an en dash
      clamped(row.center, row.modeNameBytes);
      into += "</div>\n";
    }
  };
  MakeInOrder(groups, overview.rows.size() >= kItemsShared && HelperThreadAllowed(), kBatchesAhead, makeGroup,
              [&](std::size_t g) {
                out += made[g];
                std::string().swap(made[g]);
                FlushIfLarge(out, stream);
              });
  out += "</div>\n</div></div>\n";
  if (const std::string note = OverviewWeightNote(overview); !note.empty()) {
    out += "<p class=\"wnote\">";
    Esc(out, note);
    out += "</p>\n";
  }
  out += "</section>\n";
}

// The charts of the sections, by table number, from the overview rows.
std::vector<const Chart*> ChartsByTable(const Overview& overview) {
  std::vector<const Chart*> charts;
  for (const OverviewRow& row : overview.rows) {
    if (row.tableId <= 0) continue;
    if (charts.size() < static_cast<std::size_t>(row.tableId) + 1)
      charts.resize(static_cast<std::size_t>(row.tableId) + 1);
    if (row.chart.kind != ChartKind::None) charts[static_cast<std::size_t>(row.tableId)] = &row.chart;
  }
  return charts;
}

// The page's head and the navigation's opening: the filter and the count of
// tables it lists.
void AppendHead(const std::string& title, std::size_t tables, std::string& out) {
  out +=
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">\n"
      "<meta name=\"color-scheme\" content=\"light dark\">\n<title>" +
      Esc(title) + "</title>\n<style>" + kStyle +
      "</style>\n</head>\n<body>\n"
      "<a class=\"skip\" href=\"#main\">Skip to the tables</a>\n<div class=\"layout\">\n"
      "<nav aria-label=\"Contents\">\n<h2>Contents</h2>\n<div class=\"filter\" role=\"search\">"
      "<label for=\"filter\">Filter by name or label</label>"
      "<input id=\"filter\" type=\"search\" autocomplete=\"off\" spellcheck=\"false\" "
      "aria-controls=\"toc ovb\" aria-describedby=\"count\" placeholder=\"Type / to filter\">"
      "<div class=\"count\" id=\"count\" aria-live=\"polite\">" +
      std::to_string(tables) + (tables == 1 ? " table" : " tables") + "</div></div>\n<ul id=\"toc\">\n";
}

// The contents: a link to every table but the one in the page header.
void AppendContents(const std::vector<Item>& items, const TableNode* fileInfo, const ReportLayout& layout,
                    std::string& out, std::ostream& stream) {
  int id = 0;
  for (const Item& item : items) {
    if (!item.IsTable()) continue;
    ++id;
    const TableNode& t = *item.table;
    if (&t == fileInfo) continue;
    const std::string label = TableLabel(t, layout);
    out += "<li><a href=\"#t";
    out += std::to_string(id);
    out += "\" title=\"";
    Esc(out, t.title.text);
    if (!label.empty()) {
      out += ": ";
      Esc(out, label);
    }
    out += "\"><span class=\"n\">";
    Esc(out, t.title.text);
    out += "</span>";
    if (IsSetTable(t, layout)) out += "<span class=\"badge\">set</span>";
    if (!label.empty()) {
      out += "<span class=\"l\">";
      Esc(out, label);
      out += "</span>";
    }
    out += "</a></li>\n";
    FlushIfLarge(out, stream);
  }
  out += "</ul>\n</nav>\n";
}

}  // namespace

void RenderHtml(const OutputDocument& document, std::ostream& stream, const RenderOptions& options) {
  const std::vector<Item>& items = document.Items();
  const ReportLayout& layout = options.layout;
  std::string out;
  out.reserve(std::min<std::size_t>(4096 + items.size() * 2600, std::size_t{3} << 20));
  const std::shared_ptr<Dataset> dataset = ActiveDataset();
  const Overview overview = BuildOverview(document, dataset.get(), options);
  const bool ownTitle = dataset && dataset->label && !dataset->label->empty();
  const std::string title = PageTitle(dataset.get(), options);
  const std::vector<const Chart*> charts = ChartsByTable(overview);
  const auto extrasOf = [&](const TableNode& table, int id) {
    TableExtras extras;
    if (static_cast<std::size_t>(id) < charts.size()) extras.chart = charts[static_cast<std::size_t>(id)];
    extras.weightNote = WeightNote(table, dataset.get(), layout);
    return extras;
  };

  // The first table about the file goes in the header; every other item
  // stays in the order produced.
  const TableNode* fileInfo = nullptr;
  int fileInfoId = 0;
  std::size_t tables = 0;
  for (const Item& item : items) {
    if (!item.IsTable()) continue;
    ++tables;
    if (fileInfo == nullptr && IsFileTable(*item.table, layout)) {
      fileInfo = item.table.get();
      fileInfoId = static_cast<int>(tables);
    }
  }
  if (fileInfo != nullptr) --tables;

  AppendHead(title, tables, out);
  AppendContents(items, fileInfo, layout, out, stream);
  out += "<main id=\"main\">\n<header>\n";
  if (ownTitle && !layout.documentName.empty()) out += "<p class=\"kick\">" + Esc(layout.documentName) + "</p>\n";
  out += "<h1>" + Esc(title) + "</h1>\n";
  const std::string facts = FactsLine(overview.facts);
  if (!facts.empty()) out += "<p class=\"sub\">" + Esc(facts) + "</p>\n";
  if (fileInfo != nullptr) {
    RenderTable(*fileInfo, Flatten(*fileInfo), fileInfoId, extrasOf(*fileInfo, fileInfoId), layout, out, &stream);
  }
  out += "</header>\n";
  RenderOverview(overview, out, stream);

  // The items after the header, a batch at a time: made aside (on a second
  // thread when the run may) up to the first long table, which is rendered
  // in order here, flushed as it goes.
  std::vector<int> ids(items.size(), 0);
  int id = 0;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (items[i].IsTable()) ids[i] = ++id;
  }
  const auto renderItem = [&](std::size_t i, const FlatTable* flat, std::string& into, std::ostream* to) {
    const Item& item = items[i];
    if (!item.IsTable()) {
      RenderMessage(item.message, into);
      return;
    }
    if (item.table.get() == fileInfo) return;
    const TableExtras extras = extrasOf(*item.table, ids[i]);
    if (flat != nullptr) {
      RenderTable(*item.table, *flat, ids[i], extras, layout, into, to);
    } else {
      RenderTable(*item.table, Flatten(*item.table), ids[i], extras, layout, into, to);
    }
  };
  const std::size_t batches = (items.size() + kItemBatch - 1) / kItemBatch;
  std::vector<std::string> made(batches);
  std::vector<std::size_t> madeUpTo(batches);
  MakeInOrder(
      batches, items.size() >= kItemsShared && HelperThreadAllowed(), kBatchesAhead,
      [&](std::size_t b) {
        const std::size_t end = std::min(items.size(), (b + 1) * kItemBatch);
        std::size_t i = b * kItemBatch;
        for (; i < end; ++i) {
          if (!items[i].IsTable() || items[i].table.get() == fileInfo) {
            renderItem(i, nullptr, made[b], nullptr);
            continue;
          }
          const FlatTable flat = Flatten(*items[i].table);
          if (flat.rows.size() > kRowsAside) break;
          renderItem(i, &flat, made[b], nullptr);
        }
        madeUpTo[b] = i;
      },
      [&](std::size_t b) {
        out += made[b];
        std::string().swap(made[b]);
        FlushIfLarge(out, stream);
        const std::size_t end = std::min(items.size(), (b + 1) * kItemBatch);
        for (std::size_t i = madeUpTo[b]; i < end; ++i) {
          renderItem(i, nullptr, out, &stream);
          FlushIfLarge(out, stream);
        }
      });
  out += "</main>\n</div>\n<script>";
  out += kScript;
  out += "</script>\n</body>\n</html>\n";
  stream << out;
}

}  // namespace host
