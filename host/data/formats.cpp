#include "host/data/formats.h"
#include "host/common/text.h"

#include <algorithm>
#include <cctype>

namespace host {
namespace {

struct FormatInfo {
  const char* name;
  std::uint8_t type;
  int defaultWidth;  // 0: from the string width
  int defaultDecimals;
  int minWidth;
  bool hasDecimals;
};

// Longest names first where one name is a prefix of another is not needed:
// names are matched whole (the letters before the first digit).
constexpr FormatInfo kFormats[] = {
    {"A", FormatType::A, 0, 0, 1, false},
    {"AHEX", FormatType::AHEX, 0, 0, 2, false},
    {"COMMA", FormatType::COMMA, 8, 2, 1, true},
    {"DOLLAR", FormatType::DOLLAR, 8, 2, 2, true},
    {"F", FormatType::F, 8, 2, 1, true},
    {"IB", FormatType::IB, 4, 0, 1, true},
    {"PIBHEX", FormatType::PIBHEX, 4, 0, 2, false},
    {"P", FormatType::P, 8, 0, 1, true},
    {"PIB", FormatType::PIB, 4, 0, 1, true},
    {"PK", FormatType::PK, 8, 0, 1, true},
    {"RB", FormatType::RB, 8, 0, 2, false},
    {"RBHEX", FormatType::RBHEX, 16, 0, 4, false},
    {"Z", FormatType::Z, 8, 0, 1, true},
    {"N", FormatType::N, 8, 0, 1, false},
    {"E", FormatType::E, 10, 3, 6, true},
    {"DATE", FormatType::DATE, 11, 0, 9, false},
    {"TIME", FormatType::TIME, 8, 0, 5, true},
    {"DATETIME", FormatType::DATETIME, 20, 0, 17, true},
    {"ADATE", FormatType::ADATE, 10, 0, 8, false},
    {"JDATE", FormatType::JDATE, 7, 0, 5, false},
    {"DTIME", FormatType::DTIME, 11, 0, 8, true},
    {"WKDAY", FormatType::WKDAY, 9, 0, 2, false},
    {"MONTH", FormatType::MONTH, 9, 0, 3, false},
    {"MOYR", FormatType::MOYR, 8, 0, 6, false},
    {"QYR", FormatType::QYR, 8, 0, 6, false},
    {"WKYR", FormatType::WKYR, 10, 0, 8, false},
    {"PCT", FormatType::PCT, 8, 2, 1, true},
    {"DOT", FormatType::DOT, 8, 2, 1, true},
    {"CCA", FormatType::CCA, 8, 2, 1, true},
    {"CCB", FormatType::CCB, 8, 2, 1, true},
    {"CCC", FormatType::CCC, 8, 2, 1, true},
    {"CCD", FormatType::CCD, 8, 2, 1, true},
    {"CCE", FormatType::CCE, 8, 2, 1, true},
    {"EDATE", FormatType::EDATE, 10, 0, 8, false},
    {"SDATE", FormatType::SDATE, 10, 0, 8, false},
    {"G", FormatType::G, 8, 2, 1, true},
    {"MTIME", FormatType::MTIME, 5, 0, 5, true},
    {"YMDHMS", FormatType::YMDHMS, 19, 0, 12, true},
};

constexpr int kMaxStringWidth = 32767;
constexpr int kMaxNumericWidth = 40;
constexpr int kMaxDecimals = 16;

}  // namespace

bool IsStringFormatType(int type) { return type == FormatType::A || type == FormatType::AHEX; }

std::optional<QUVO_Format> ParseFormatText(std::string_view text, int stringWidth, std::string& why) {
  std::size_t pos = 0;
  std::string name;
  while (pos < text.size() && std::isalpha(static_cast<unsigned char>(text[pos]))) {
    name.push_back(UpperAscii(text[pos]));
    ++pos;
  }
  const FormatInfo* info = nullptr;
  for (const FormatInfo& f : kFormats) {
    if (name == f.name) info = &f;
  }
  if (info == nullptr) {
    why = name.empty() ? "a format begins with its type name, such as F, A, DATE or DOLLAR"
                       : "\"" + name + "\" is not a format type (use e.g. F8.2, A20, DATE11, DOLLAR10.2)";
    return std::nullopt;
  }
  auto readNumber = [&](long& out) {
    const std::size_t start = pos;
    out = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && out <= 1000000) {
      out = out * 10 + (text[pos] - '0');
      ++pos;
    }
    return pos > start;
  };
  long width = 0;
  long decimals = 0;
  const bool hasWidth = readNumber(width);
  bool hasDecimals = false;
  if (pos < text.size() && text[pos] == '.') {
    ++pos;
    hasDecimals = readNumber(decimals);
    if (!hasDecimals) {
      why = "a point in a format must be followed by the number of decimals";
      return std::nullopt;
    }
  }
  if (pos != text.size()) {
    why = "unexpected \"" + std::string(text.substr(pos)) + "\" after the format";
    return std::nullopt;
  }
  QUVO_Format format;
  format.type = info->type;
  const bool isString = IsStringFormatType(info->type);
  if (!hasWidth) {
    if (info->type == FormatType::A) {
      width = stringWidth > 0 ? stringWidth : 8;
    } else if (info->type == FormatType::AHEX) {
      width = stringWidth > 0 ? 2L * stringWidth : 16;
    } else {
      width = info->defaultWidth;
    }
    if (!hasDecimals) decimals = info->defaultDecimals;
  }
  const long maxWidth =
      isString ? (info->type == FormatType::AHEX ? 2L * kMaxStringWidth : kMaxStringWidth) : kMaxNumericWidth;
  if (width < info->minWidth || width > maxWidth) {
    why = "the width of " + std::string(info->name) + " must be between " + std::to_string(info->minWidth) + " and " +
          std::to_string(maxWidth);
    return std::nullopt;
  }
  if (hasDecimals && !info->hasDecimals && decimals != 0) {
    why = std::string(info->name) + " formats take no decimals";
    return std::nullopt;
  }
  if (decimals > kMaxDecimals || (decimals > 0 && decimals >= width)) {
    why = "too many decimals for the width (at most " + std::to_string(std::min<long>(kMaxDecimals, width - 1)) + ")";
    return std::nullopt;
  }
  format.width = static_cast<std::uint16_t>(width);
  format.decimals = static_cast<std::uint8_t>(decimals);
  return format;
}

}  // namespace host
