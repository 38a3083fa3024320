// The hand-written JSON text: strings and numbers are checked against the
// JSON library the documents were first written with (its dump is the
// reference layout scripts have seen), and the cell store behind large tables
// against an independently built expectation.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "host/document.h"
#include "host/output.h"
#include "host/output/json_writer.h"

namespace {

std::string Mine(std::string_view text) {
  std::string out;
  host::json::AppendString(out, text);
  return out;
}

// The library's text, with what our writer escapes beyond JSON's controls
// (so that a raw report is safe in a terminal) escaped after it: DEL, C1
// controls, direction controls and U+2028/U+2029. The same string to a
// reader of JSON.
std::string Reference(const std::string& text) {
  const std::string dumped = nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  std::string out;
  for (std::size_t i = 0; i < dumped.size();) {
    const auto c = static_cast<unsigned char>(dumped[i]);
    const std::size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    char32_t cp = n == 1 ? c : c & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(dumped[i + k]) & 0x3F);
    const bool escaped = cp == 0x7F || (cp >= 0x80 && cp < 0xA0) || cp == 0x061C || cp == 0x200E || cp == 0x200F ||
                         (cp >= 0x2028 && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
    if (escaped) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\u%04x", static_cast<unsigned>(cp));
      out += hex;
    } else {
      out.append(dumped, i, n);
    }
    i += n;
  }
  return out;
}

std::string Number(double value) {
  std::string out;
  host::json::AppendNumber(out, value);
  return out;
}

TEST(OutputJsonWriter, StringsEscapeLikeTheReference) {
  const std::string fffd = "\xEF\xBF\xBD";
  struct Case {
    std::string in;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"plain", "\"plain\""},
      {"a\"b\\c/d", "\"a\\\"b\\\\c/d\""},
      {"\b\f\n\r\t", "\"\\b\\f\\n\\r\\t\""},
      {std::string("\0\x01\x1f", 3), "\"\\u0000\\u0001\\u001f\""},
      {"\x7f", "\"\\u007f\""},  // not a JSON control character, but one to a terminal
      {"\xC2\x9B"
       "31m\xE2\x80\xAEtxt\xE2\x80\xA8",
       "\"\\u009b31m\\u202etxt\\u2028\""},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\""},
      {"\xC3(", "\"" + fffd + "(\""},                                 // a broken sequence: the next byte is read again
      {"\x80x", "\"" + fffd + "x\""},                                 // a lone continuation byte
      {"\xE2\x82", "\"" + fffd + "\""},                               // cut off at the end
      {"\xC0\xAF", "\"" + fffd + fffd + "\""},                        // overlong
      {"\xED\xA0\x80", "\"" + fffd + fffd + fffd + "\""},             // a surrogate
      {"\xF4\x90\x80\x80", "\"" + fffd + fffd + fffd + fffd + "\""},  // above U+10FFFF
      {"\xF5\xFF", "\"" + fffd + fffd + "\""},
      {"\xE2\x82\x41", "\"" + fffd + "A\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Mine(c.in), c.out) << c.in;
    EXPECT_EQ(Mine(c.in), Reference(c.in)) << c.in;
  }
  // Every byte alone and between text, then random byte soup biased towards
  // the bytes that start and continue sequences.
  for (int b = 0; b < 256; ++b) {
    const std::string one(1, static_cast<char>(b));
    EXPECT_EQ(Mine(one), Reference(one)) << b;
    std::string between = "ab";
    between += one;
    between += "\xC3\xA9";
    between += one;
    EXPECT_EQ(Mine(between), Reference(between)) << b;
  }
  std::mt19937 random(12345);
  const unsigned char interesting[] = {0x00, 0x0A, 0x1F, 0x22, 0x41, 0x5C, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0,
                                       0xBF, 0xC0, 0xC2, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
  for (int round = 0; round < 20000; ++round) {
    std::string text(random() % 12, ' ');
    for (char& ch : text) {
      ch = static_cast<char>(random() % 2 ? interesting[random() % sizeof interesting] : random() % 256);
    }
    ASSERT_EQ(Mine(text), Reference(text)) << round;
  }
}

TEST(OutputJsonWriter, NumbersAreShortestAndLaidOutLikeTheReference) {
  const std::vector<std::pair<double, std::string>> cases = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1.0, "1.0"},
      {-3.0, "-3.0"},
      {0.1, "0.1"},
      {2.25, "2.25"},
      {100.0 / 3.0, "33.333333333333336"},
      {1e14, "100000000000000.0"},
      {123456789012345.6, "123456789012345.6"},
      {1e15, "1e+15"},
      {123456789012345678.0, "1.2345678901234568e+17"},
      {0.0001, "0.0001"},
      {0.00001, "1e-05"},
      {1.5e-7, "1.5e-07"},
      {1e100, "1e+100"},
      {5e-324, "5e-324"},
      {DBL_MAX, "1.7976931348623157e+308"},
      {-DBL_MAX, "-1.7976931348623157e+308"},
      {9.999999999999999e-05, "9.999999999999999e-05"},
      {NAN, "null"},
      {INFINITY, "null"},
  };
  for (const auto& [value, text] : cases) {
    EXPECT_EQ(Number(value), text) << text;
    if (std::isfinite(value)) {
      EXPECT_EQ(Number(value), nlohmann::json(value).dump()) << text;
    }
  }
  // Random doubles of every magnitude, and decimals as statistics produce
  // them: each reads back exactly, and is never longer than the reference.
  std::mt19937_64 random(777);
  int same = 0;
  const int rounds = 50000;
  for (int round = 0; round < rounds; ++round) {
    double value;
    if (round % 2 == 0) {
      const std::uint64_t bits = random();
      std::memcpy(&value, &bits, sizeof value);
      if (!std::isfinite(value)) continue;
    } else {
      value = static_cast<double>(random() % 100000) / std::pow(10.0, static_cast<double>(random() % 8));
    }
    const std::string mine = Number(value);
    const std::string reference = nlohmann::json(value).dump();
    ASSERT_EQ(std::strtod(mine.c_str(), nullptr), value) << mine;
    ASSERT_LE(mine.size(), reference.size()) << mine << " " << reference;
    if (mine == reference) ++same;
  }
  // The reference's digit generation is shortest in all but rare cases.
  EXPECT_GT(same, rounds * 99 / 100 - 200);
}

// Rows of a large table whose cells arrive in every order the Bp handles
// allow: through the column categories (onto the newest row), onto the row
// itself, and late onto rows made long before. Each row must keep its cells,
// in the order set, whatever the store did to keep them together.
TEST(OutputJsonWriter, LargeTablesKeepEveryCellOfEveryRowInOrder) {
  const int rowsWanted = 30000;
  std::vector<std::vector<std::string>> expected(rowsWanted);
  {
    BpProcedure proc("Codebook", 1);
    BpPivotTable table = proc.PivotTable(BpString("big", false), BpString("Variable Information", false), false);
    BpDimension rows = table.Dimension(BpString("Attributes", true), 2);
    rows.Position(0, 1, true, false);
    BpDimension columns = table.Dimension(BpString("Values", true), 2);
    columns.Position(1, 1, true, false);
    BpCategory count = columns.Category(BpString("Count", true));
    std::vector<BpCategory> made;
    made.reserve(rowsWanted);
    for (int r = 0; r < rowsWanted; ++r) {
      made.push_back(rows.Category(BpString(std::to_string(r), false)));
      const int cells = r % 4;
      for (int k = 0; k < cells; ++k) {
        std::string text = std::to_string(r);
        text += '.';
        text += std::to_string(k);
        if (k % 2 == 0) {
          count.Cell(BpString(text, false));
        } else {
          made.back().Cell(BpString(text, false));
        }
        expected[r].push_back(text);
      }
      // Now and then an older row grows again, and one row keeps growing far
      // past a block.
      if (r % 997 == 0 && r > 0) {
        const int old = r / 3;
        const std::string text = std::to_string(-r);
        made[old].Cell(BpString(text, false));
        expected[old].push_back(text);
      }
      if (r % 2 == 1 && r > 7) {
        const std::string text = std::to_string(r) + "L";
        made[7].Cell(BpString(text, false));
        expected[7].push_back(text);
      }
    }
  }
  std::ostringstream out;
  host::Render(host::Output(), host::OutputFormat::Json, out, host::RenderOptions{});
  const nlohmann::json doc = nlohmann::json::parse(out.str());
  const nlohmann::json& children = doc["items"][0]["dimensions"][0]["children"];
  ASSERT_EQ(children.size(), static_cast<std::size_t>(rowsWanted));
  for (int r = 0; r < rowsWanted; ++r) {
    std::vector<std::string> actual;
    for (const nlohmann::json& cell : children[r]["cells"]) actual.push_back(cell["text"].get<std::string>());
    ASSERT_EQ(actual, expected[r]) << "row " << r;
  }
}

}  // namespace
