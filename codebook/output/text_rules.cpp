#include "output/text_rules.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace codebook {

namespace {

// One constant text per type code, built once.
const std::array<const char*, 256>& TypeNames() {
  static const std::array<const char*, 256> names = [] {
    std::array<const char*, 256> table{};
    table.fill("badFormat");
    const struct {
      int code;
      const char* name;
    } known[] = {{1, "A"},      {2, "AHEX"},   {3, "COMMA"},  {4, "DOLLAR"}, {5, "F"},      {6, "IB"},
                 {7, "PIBHEX"}, {8, "P"},      {9, "PIB"},    {10, "PK"},    {11, "RB"},    {12, "RBHEX"},
                 {15, "Z"},     {16, "N"},     {17, "E"},     {20, "DATE"},  {21, "TIME"},  {22, "DATETIME"},
                 {23, "ADATE"}, {24, "JDATE"}, {25, "DTIME"}, {26, "WKDAY"}, {27, "MONTH"}, {28, "MOYR"},
                 {29, "QYR"},   {30, "WKYR"},  {31, "PCT"},   {32, "DOT"},   {33, "CCA"},   {34, "CCB"},
                 {35, "CCC"},   {36, "CCD"},   {37, "CCE"},   {38, "EDATE"}, {39, "SDATE"}, {40, "G"},
                 {85, "MTIME"}, {86, "YMDHMS"}};
    for (const auto& entry : known) table[static_cast<std::size_t>(entry.code)] = entry.name;
    return table;
  }();
  return names;
}

int DecimalDigits(int value) {
  int digits = 1;
  while (value >= 10) {
    value /= 10;
    ++digits;
  }
  return digits;
}

}  // namespace

const char* FormatTypeName(std::uint8_t type) { return TypeNames()[type]; }

std::string FormatText(const QUVO_Format& format) {
  // Longest: "badFormat" + 5 width digits + "." + 3 decimal digits.
  char buffer[32];
  if (format.decimals == 0) {
    std::snprintf(buffer, sizeof buffer, "%s%d", FormatTypeName(format.type), static_cast<int>(format.width));
  } else {
    std::snprintf(buffer, sizeof buffer, "%s%d.%d", FormatTypeName(format.type), static_cast<int>(format.width),
                  static_cast<int>(format.decimals));
  }
  return buffer;
}

std::string AttributeElementName(std::string_view name, int element, int count) {
  std::string text(name);
  if (count == 1) return text;
  char buffer[32];
  // A count has at most ten digits; saying so lets the compiler see the text fits.
  const int width = std::clamp(DecimalDigits(count > 0 ? count : 1), 1, 10);
  std::snprintf(buffer, sizeof buffer, "[%0*d]", width, element + 1);
  text += buffer;
  return text;
}

}  // namespace codebook
