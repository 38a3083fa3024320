// Text from the data is hostile: markup, ampersands, quotes, control
// characters, right-to-left controls and 10,000-character strings in labels,
// names, attribute values, cells and document lines. The JSON keeps it exactly
// (golden case hostile_text); here the HTML must show it as text and run
// nothing, and the plain text must keep its columns and be safe to print to a
// terminal.
#include <gtest/gtest.h>

#include <cctype>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "app/report_layout.h"
#include "codebook/procedure.h"
#include "host/command.h"
#include "host/common/text.h"
#include "host/dataset.h"
#include "host/document.h"
#include "host/output/render.h"
#include "host/output/text_layout.h"

namespace {

const char* kCommand =
    "CODEBOOK /FILEINFO NAME LOCATION LABEL DOCUMENTS ATTRIBUTES RESERVEDATTRIBUTES CASECOUNT "
    "/VARINFO POSITION LABEL TYPE FORMAT MEASURE ROLE ATTRIBUTES RESERVEDATTRIBUTES VALUELABELS MISSING.";

std::string RenderHostile(host::OutputFormat format, int width = 80) {
  host::ResetOutput();
  std::vector<std::string> warnings;
  host::SetActiveDataset(
      host::LoadDataset(std::string(CODEBOOK_SOURCE_DIR) + "/tests/golden-data/hostile/datapackage.json", warnings));
  for (const host::Command& command : host::SplitCommands(kCommand, "<test>")) {
    host::SetCurrentCommand(command);
    codebook::RunCodebookCommand();
  }
  std::ostringstream out;
  host::RenderOptions options;
  options.layout = codebook_app::CodebookReportLayout();
  options.width = width;
  host::Render(host::Output(), format, out, options);
  return out.str();
}

// The code points of UTF-8 text (malformed bytes come out as themselves).
std::vector<char32_t> CodePoints(const std::string& text) {
  std::vector<char32_t> out;
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const int n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    char32_t cp = n == 1 ? c : c & (0x3F >> (n - 1));
    for (int k = 1; k < n && i + k < text.size(); ++k)
      cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    out.push_back(cp);
    i += static_cast<std::size_t>(n);
  }
  return out;
}

bool IsBidiControl(char32_t c) {
  return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

TEST(HostileText, SanitizeBlanksControlsAndDropsBidiControls) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"plain <&>\"'", "plain <&>\"'"},
      {"a\tb\rc\x1b[2Jd\x7f"
       "e\nf",
       "a b c [2Jd e\nf"},
      {"csi \xC2\x9B"
       "31m nel\xC2\x85",
       "csi  31m nel "},                                                 // C1 controls
      {"\xC2\xA0nbsp \xC3\xA9", "\xC2\xA0nbsp \xC3\xA9"},                // U+00A0 and letters stay
      {"\xE2\x80\xAEtxt.exe\xE2\x80\xAC", "txt.exe"},                    // override and pop
      {"\xE2\x80\x8F\xD7\xA9\xD7\x9D\xE2\x80\x8E", "\xD7\xA9\xD7\x9D"},  // marks around Hebrew
      {"\xE2\x81\xA7open isolate", "open isolate"},                      // U+2067 left open
      {"\xD8\x9C"
       "arabic mark",
       "arabic mark"},                                                       // U+061C
      {"\xE2\x80\x94 dash \xE2\x80\xA6", "\xE2\x80\x94 dash \xE2\x80\xA6"},  // other punctuation stays
      {"cut \xE2\x80", "cut \xE2\x80"},                                      // a truncated sequence is left alone
      {"line\xE2\x80\xA8"
       "sep\xE2\x80\xA9"
       "end",
       "line sep end"},  // U+2028, U+2029
  };
  for (const Case& c : cases) EXPECT_EQ(host::Sanitize(c.in), c.out) << c.in;
}

TEST(HostileText, TextKeepsItsColumnsAndIsSafeForATerminal) {
  for (int width : {80, 60}) {
    const std::string text = RenderHostile(host::OutputFormat::Text, width);
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    std::set<std::size_t> percentEnds;
    while (std::getline(lines, line)) {
      ++number;
      const std::vector<char32_t> cps = CodePoints(line);
      EXPECT_LE(cps.size(), static_cast<std::size_t>(width)) << "line " << number << ": " << line;
      for (char32_t c : cps) {
        ASSERT_FALSE(c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0) || IsBidiControl(c))
            << "line " << number << " holds U+" << std::hex << static_cast<unsigned>(c) << ": " << line;
      }
      // The percent column lines up on every value row of a table.
      if (line.rfind("----", 0) == 0) percentEnds.clear();
      if (!cps.empty() && cps.back() == U'%') {
        percentEnds.insert(cps.size());
        EXPECT_EQ(percentEnds.size(), 1u) << "line " << number << " at width " << width << ": " << line;
      }
    }
    EXPECT_NE(text.find("<script>alert('doc')</script>"), std::string::npos) << "text shows markup as it is";
  }
}

// One start tag of a page: its name and attributes (name, value).
struct Tag {
  std::string name;
  std::vector<std::pair<std::string, std::string>> attributes;
};

// The start tags of an HTML text, read the way a browser tokenizes them
// (quoted attribute values may hold anything); null when a "<" that is not
// escaped starts something other than a tag, end tag, comment or doctype.
std::optional<std::vector<Tag>> StartTags(const std::string& html) {
  std::vector<Tag> tags;
  auto isSpace = [](char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r' || c == '\f'; };
  for (std::size_t i = html.find('<'); i != std::string::npos; i = html.find('<', i)) {
    ++i;
    if (i < html.size() && (html[i] == '!' || html[i] == '/')) {
      i = html.find('>', i);
      if (i == std::string::npos) return std::nullopt;
      continue;
    }
    Tag tag;
    while (i < html.size() && std::isalnum(static_cast<unsigned char>(html[i]))) tag.name += html[i++];
    if (tag.name.empty()) return std::nullopt;
    while (i < html.size() && html[i] != '>') {
      if (isSpace(html[i]) || html[i] == '/') {
        ++i;
        continue;
      }
      std::string name, value;
      while (i < html.size() && !isSpace(html[i]) && html[i] != '=' && html[i] != '>') name += html[i++];
      if (i < html.size() && html[i] == '=') {
        ++i;
        if (i < html.size() && (html[i] == '"' || html[i] == '\'')) {
          const std::size_t end = html.find(html[i], i + 1);
          if (end == std::string::npos) return std::nullopt;
          value = html.substr(i + 1, end - i - 1);
          i = end + 1;
        } else {
          while (i < html.size() && !isSpace(html[i]) && html[i] != '>') value += html[i++];
        }
      }
      tag.attributes.emplace_back(name, value);
    }
    tags.push_back(std::move(tag));
  }
  return tags;
}

// The text with the element `name` (the page's own script or style) cut out.
std::string WithoutElement(std::string html, const std::string& name) {
  const std::size_t from = html.find("<" + name + ">");
  const std::size_t to = html.find("</" + name + ">", from);
  if (from != std::string::npos && to != std::string::npos) html.erase(from, to + name.size() + 3 - from);
  return html;
}

TEST(HostileText, HtmlShowsDataAsTextAndRunsNothing) {
  // The page's own style sheet and script are not data; everything else is.
  const std::string html = WithoutElement(WithoutElement(RenderHostile(host::OutputFormat::Html), "style"), "script");
  EXPECT_EQ(html.find("<script"), std::string::npos);
  EXPECT_EQ(html.find("<style"), std::string::npos);
  // Every tag is the page's own, with none of the attributes that run code.
  const std::set<std::string> known = {
      "a",       "body",   "col",        "colgroup", "div",   "h1",     "h2",    "h3",    "head",
      "header",  "html",   "input",      "label",    "li",    "main",   "meta",  "nav",   "p",
      "section", "span",   "table",      "tbody",    "td",    "th",     "thead", "title", "tr",
      "ul",      "button", "caption",    "footer",   "small", "strong", "em",    "code",  "details",
      "summary", "figure", "figcaption", "svg",      "path",  "i",      "bdi"};
  const std::optional<std::vector<Tag>> tags = StartTags(html);
  ASSERT_TRUE(tags.has_value()) << "a \"<\" that starts no tag";
  for (const Tag& tag : *tags) {
    EXPECT_TRUE(known.count(tag.name)) << "<" << tag.name;
    for (const auto& [name, value] : tag.attributes) {
      EXPECT_NE(name.rfind("on", 0), 0u) << "<" << tag.name << " " << name;
      EXPECT_EQ(value.find("javascript:"), std::string::npos) << "<" << tag.name << " " << name;
      EXPECT_EQ(value.find('"'), std::string::npos) << "<" << tag.name << " " << name;
    }
  }
  // The data shows as written, escaped.
  for (const char* shown :
       {"File &lt;b&gt;label&lt;/b&gt; &amp; &quot;quotes&quot;",
        "&lt;/td&gt;&lt;/tr&gt;&lt;tr&gt;&lt;td onclick=alert(1)&gt;",
        "&lt;img src=x onerror=alert(1)&gt; &amp; &quot;Q&quot;", "&lt;/script&gt;&lt;script&gt;alert(",
        "Note&lt;&amp;&gt;", "&amp;lt;already escaped&amp;gt;", "Set &lt;i&gt;&amp;amp;&lt;/i&gt;"}) {
    EXPECT_NE(html.find(shown), std::string::npos) << shown;
  }
  // No control character other than line feed and tab reaches the page,
  // nor a direction control: tooltips and chart titles cannot isolate one.
  for (char32_t c : CodePoints(html)) {
    EXPECT_FALSE((c < 0x20 && c != U'\n' && c != U'\t') || c == 0x7F || (c >= 0x80 && c < 0xA0) || IsBidiControl(c))
        << "U+" << std::hex << static_cast<unsigned>(c);
  }
}

TEST(HostileText, RawJsonIsSafeToPrintAndKeepsTheText) {
  const std::string json = RenderHostile(host::OutputFormat::Json);
  for (char32_t c : CodePoints(json)) {
    EXPECT_FALSE(c < 0x20 && c != U'\n') << "U+" << std::hex << static_cast<unsigned>(c);
    EXPECT_FALSE(c == 0x7F || (c >= 0x80 && c < 0xA0) || IsBidiControl(c) || c == 0x2028 || c == 0x2029)
        << "U+" << std::hex << static_cast<unsigned>(c);
  }
  // As escapes, the same text for a reader of JSON.
  EXPECT_NE(json.find("\\u202etxt.exe\\u202c"), std::string::npos);
  EXPECT_NE(json.find("delete\\u007f tab"), std::string::npos);
}

TEST(HostileText, MarkdownCannotTurnDataIntoMarkup) {
  const std::string md = RenderHostile(host::OutputFormat::Markdown);
  // Data "<" is backslash-escaped; the renderer's own line breaks are the
  // only markup.
  for (std::size_t i = md.find('<'); i != std::string::npos; i = md.find('<', i + 1)) {
    EXPECT_TRUE((i > 0 && md[i - 1] == '\\') || md.compare(i, 4, "<br>") == 0) << md.substr(i, 40);
  }
  EXPECT_NE(md.find("\\<img src=x onerror=alert(1)\\>"), std::string::npos);
  // The raw file is as safe in a terminal as the plain text: the only
  // bidirectional controls are the renderer's own isolates around a
  // category's name, each closed before anything else of the kind.
  bool isolated = false;
  for (char32_t c : CodePoints(md)) {
    if (c == 0x2068 && !isolated) {
      isolated = true;
      continue;
    }
    if (c == 0x2069 && isolated) {
      isolated = false;
      continue;
    }
    ASSERT_FALSE((c < 0x20 && c != U'\n') || c == 0x7F || (c >= 0x80 && c < 0xA0) || IsBidiControl(c) ||
                 (isolated && c == U'\n'))
        << "U+" << std::hex << static_cast<unsigned>(c);
  }
  EXPECT_FALSE(isolated);
}

}  // namespace

// Bytes that are not UTF-8 (a file or folder named in another encoding) leave
// a text, HTML or Markdown report as U+FFFD, one per maximal invalid
// subsequence, as Python's decode(errors="replace") gives them, however the
// renderer's writes cut the text.
TEST(HostileText, BytesThatAreNotUtf8LeaveTheReportAsReplacementCharacters) {
  const std::string given =
      "ok \xe9 caf\xc3\xa9 \xf0\x9f\x98 x\xed\xa0\x80 \xe2\x82\xac \xf0\x9f\x98\x80 \xc0\xaf end\xe2\x82";
  // b"...".decode("utf-8", "replace").encode("utf-8")
  const std::string expected =
      "ok \xef\xbf\xbd caf\xc3\xa9 \xef\xbf\xbd x\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd \xe2\x82\xac \xf0\x9f\x98\x80 "
      "\xef\xbf\xbd\xef\xbf\xbd end\xef\xbf\xbd";
  for (std::size_t a = 0; a <= given.size(); ++a) {
    for (std::size_t b = a; b <= given.size(); b += 3) {
      std::ostringstream out;
      host::ValidUtf8Buffer valid(out.rdbuf());
      std::ostream filtered(&valid);
      filtered.write(given.data(), static_cast<std::streamsize>(a));
      filtered.write(given.data() + a, static_cast<std::streamsize>(b - a));
      if (b < given.size()) filtered.put(given[b]);
      if (b + 1 < given.size())
        filtered.write(given.data() + b + 1, static_cast<std::streamsize>(given.size() - b - 1));
      filtered.flush();
      ASSERT_TRUE(valid.Finish());
      ASSERT_EQ(out.str(), expected) << "cut at " << a << " and " << b;
    }
  }
  // Such a name in a report, in every format but JSON (whose writer replaces
  // them itself).
  host::ResetOutput();
  host::AddMessage(host::Severity::Warning, "caf\xe9.csv");
  for (const host::OutputFormat format :
       {host::OutputFormat::Text, host::OutputFormat::Markdown, host::OutputFormat::Html}) {
    std::ostringstream out;
    host::Render(host::Output(), format, out, host::RenderOptions{});
    std::size_t bad = 0;
    EXPECT_TRUE(host::ValidUtf8(out.str(), bad)) << static_cast<int>(format);
    EXPECT_NE(out.str().find("caf\xef\xbf\xbd.csv"), std::string::npos) << static_cast<int>(format);
  }
}
