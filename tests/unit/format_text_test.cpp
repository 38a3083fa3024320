// Format texts, attribute element names and attribute name tests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codebook/output/text_rules.h"

namespace codebook {
namespace {

TEST(FormatText, TypeNamesWidthsAndDecimals) {
  struct Case {
    int type, width, decimals;
    const char* text;
  };
  const Case cases[] = {
      {5, 8, 2, "F8.2"},
      {1, 8, 0, "A8"},
      {20, 11, 0, "DATE11"},
      {13, 8, 0, "badFormat8"},
      {0, 8, 0, "badFormat8"},
      {200, 8, 0, "badFormat8"},
      {14, 1, 1, "badFormat1.1"},
      {18, 3, 0, "badFormat3"},
      {19, 3, 0, "badFormat3"},
      {41, 3, 0, "badFormat3"},
      {84, 3, 0, "badFormat3"},
      {87, 3, 0, "badFormat3"},
      {255, 65535, 255, "badFormat65535.255"},
      {85, 10, 0, "MTIME10"},
      {86, 19, 0, "YMDHMS19"},
      {40, 0, 0, "G0"},
      {3, 12, 10, "COMMA12.10"},
      {17, 10, 3, "E10.3"},
      {5, 1, 0, "F1"},
      {5, 10, 0, "F10"},
  };
  for (const Case& c : cases) {
    const QUVO_Format format{static_cast<std::uint16_t>(c.width), static_cast<std::uint8_t>(c.type),
                             static_cast<std::uint8_t>(c.decimals)};
    EXPECT_EQ(FormatText(format), c.text) << "type " << c.type;
  }
}

TEST(FormatText, EveryCodeHasANameAndOnlyTheDefinedOnesAreGood) {
  const std::vector<std::pair<int, std::string>> defined = {
      {1, "A"},      {2, "AHEX"},   {3, "COMMA"},  {4, "DOLLAR"},    {5, "F"},      {6, "IB"},     {7, "PIBHEX"},
      {8, "P"},      {9, "PIB"},    {10, "PK"},    {11, "RB"},       {12, "RBHEX"}, {15, "Z"},     {16, "N"},
      {17, "E"},     {20, "DATE"},  {21, "TIME"},  {22, "DATETIME"}, {23, "ADATE"}, {24, "JDATE"}, {25, "DTIME"},
      {26, "WKDAY"}, {27, "MONTH"}, {28, "MOYR"},  {29, "QYR"},      {30, "WKYR"},  {31, "PCT"},   {32, "DOT"},
      {33, "CCA"},   {34, "CCB"},   {35, "CCC"},   {36, "CCD"},      {37, "CCE"},   {38, "EDATE"}, {39, "SDATE"},
      {40, "G"},     {85, "MTIME"}, {86, "YMDHMS"}};
  for (int code = 0; code < 256; ++code) {
    std::string expected = "badFormat";
    for (const auto& [known, name] : defined) {
      if (known == code) expected = name;
    }
    EXPECT_EQ(FormatTypeName(static_cast<std::uint8_t>(code)), expected) << "code " << code;
  }
}

TEST(AttributeElementName, PaddedToTheDigitsOfTheCount) {
  struct Case {
    int element, count;
    const char* name;
  };
  const Case cases[] = {
      {0, 1, "Key"},          {0, 2, "Key[1]"},         {2, 3, "Key[3]"},         {8, 9, "Key[9]"},
      {0, 10, "Key[01]"},     {9, 10, "Key[10]"},       {0, 12, "Key[01]"},       {11, 12, "Key[12]"},
      {98, 99, "Key[99]"},    {0, 100, "Key[001]"},     {99, 100, "Key[100]"},    {0, 999, "Key[001]"},
      {0, 1000, "Key[0001]"}, {999, 1000, "Key[1000]"}, {0, 10000, "Key[00001]"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(AttributeElementName("Key", c.element, c.count), c.name) << c.element << " of " << c.count;
  }
}

TEST(AttributeNames, HiddenReservedAndEqual) {
  struct Case {
    const char* name;
    bool hidden, reserved;
  };
  const Case cases[] = {
      {"@x", true, false}, {"@", true, false},    {"$@x", true, true},  {"$@", true, true},
      {"$x", false, true}, {"$", false, true},    {"x@", false, false}, {"x$", false, false},
      {"", false, false},  {"a$@", false, false}, {"@$", true, false},  {"Order", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsHiddenAttributeName(c.name), c.hidden) << c.name;
    EXPECT_EQ(IsReservedAttributeName(c.name), c.reserved) << c.name;
  }

  struct Pair {
    const char* a;
    const char* b;
    bool equal;
  };
  const Pair pairs[] = {
      {"Order", "order", true},
      {"ORDER", "order", true},
      {"Order", "Order2", false},
      {"Order2", "Order", false},
      {"", "", true},
      {"a", "b", false},
      {"$Key", "$key", true},
      {"caf\xc3\xa9", "CAF\xc3\xa9", true},
      {"caf\xc3\xa9", "caf\xc3\x89", false},
  };
  for (const Pair& p : pairs) EXPECT_EQ(AttributeNamesEqual(p.a, p.b), p.equal) << p.a << " / " << p.b;
}

}  // namespace
}  // namespace codebook
