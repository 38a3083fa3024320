#include "host/common/text.h"

#include <charconv>

namespace host {

std::string LowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = LowerAscii(c);
  return out;
}

std::string Counted(std::size_t n, std::string_view noun) {
  return std::to_string(n) + " " + std::string(noun) + (n == 1 ? "" : "s");
}

std::string ShortList(const std::vector<std::string>& items, std::size_t most) {
  std::string out;
  for (std::size_t i = 0; i < items.size() && i < most; ++i) out += (i > 0 ? ", " : "") + items[i];
  if (items.size() > most) out += " and " + std::to_string(items.size() - most) + " more";
  return out;
}

std::string ShownLineBreaks(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += c;
    }
  }
  return out;
}

std::string UpperAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = UpperAscii(c);
  return out;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (UpperAscii(a[i]) != UpperAscii(b[i])) return false;
  }
  return true;
}

ShortestDigits ShortestDigitsOf(double value) {
  ShortestDigits d;
  char sci[40];
  const auto result = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
  const char* p = sci;
  if (p < result.ptr && *p == '-') {
    d.negative = true;
    ++p;
  }
  for (; p < result.ptr && *p != 'e'; ++p) {
    if (*p != '.' && d.count < static_cast<int>(sizeof d.digits)) d.digits[d.count++] = *p;
  }
  int exponent = 0;
  if (p < result.ptr) {
    ++p;  // past the 'e'
    if (p < result.ptr && *p == '+') ++p;
    std::from_chars(p, result.ptr, exponent);
  }
  while (d.count > 0 && d.digits[d.count - 1] == '0') --d.count;
  d.point = d.count == 0 ? 0 : exponent + 1;
  return d;
}

std::string NumberText(double value) {
  if (value == 0.0) return "0";
  const ShortestDigits d = ShortestDigitsOf(value);
  const int exponent = d.point - 1;
  if (exponent < -5 || exponent > 15) {
    char sci[40];
    const auto result = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
    return std::string(sci, result.ptr);
  }
  const std::string_view digits = d.Digits();
  std::string out = d.negative ? "-" : "";
  if (exponent >= 0) {
    const auto whole = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= whole) {
      out += digits;
      out.append(whole - digits.size(), '0');
    } else {
      out += digits.substr(0, whole);
      out += '.';
      out += digits.substr(whole);
    }
  } else {
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += digits;
  }
  return out;
}

}  // namespace host
