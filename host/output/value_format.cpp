// Value formatting. See value_format.h.
#include "host/output/value_format.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>

namespace host::valuefmt {

namespace {

// A finite double as decimal digits: value = 0.digits x 10^point.
struct Decimal {
  bool negative = false;
  std::string digits;  // no leading zeros; empty for zero
  int point = 0;
};

Decimal ToDecimal(double value) {
  Decimal d;
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string s(buf, res.ptr);
  std::size_t i = 0;
  if (s[i] == '-') {
    d.negative = true;
    ++i;
  }
  std::size_t e = s.find('e');
  std::string mant = s.substr(i, e - i);
  int exponent = std::stoi(s.substr(e + 1));
  for (char c : mant) {
    if (c != '.') d.digits.push_back(c);
  }
  d.point = exponent + 1;
  std::size_t lead = d.digits.find_first_not_of('0');
  if (lead == std::string::npos) {
    d.digits.clear();
    d.point = 0;
  }
  while (!d.digits.empty() && d.digits.back() == '0') d.digits.pop_back();
  return d;
}

// Rounds half away from zero to `decimals` places after the point.
void RoundTo(Decimal& d, int decimals) {
  long keep = static_cast<long>(d.point) + decimals;
  if (keep >= static_cast<long>(d.digits.size())) return;
  if (keep < 0) {
    d.digits.clear();
    d.point = 0;
    return;
  }
  bool up = d.digits[static_cast<std::size_t>(keep)] >= '5';
  d.digits.resize(static_cast<std::size_t>(keep));
  if (up) {
    long i = keep - 1;
    for (; i >= 0; --i) {
      char& c = d.digits[static_cast<std::size_t>(i)];
      if (c == '9') {
        c = '0';
      } else {
        ++c;
        break;
      }
    }
    if (i < 0) {
      d.digits.insert(d.digits.begin(), '1');
      ++d.point;
    }
  }
  while (!d.digits.empty() && d.digits.back() == '0') d.digits.pop_back();
  if (d.digits.empty()) d.point = 0;
}

std::string DigitsAsFixed(const Decimal& d, int decimals) {
  std::string out;
  if (d.negative && !d.digits.empty()) out.push_back('-');
  if (d.point <= 0) {
    out.push_back('0');
  } else {
    for (int i = 0; i < d.point; ++i) {
      out.push_back(static_cast<std::size_t>(i) < d.digits.size() ? d.digits[static_cast<std::size_t>(i)] : '0');
    }
  }
  if (decimals > 0) {
    out.push_back('.');
    for (int i = 0; i < decimals; ++i) {
      long pos = static_cast<long>(d.point) + i;
      out.push_back(pos >= 0 && pos < static_cast<long>(d.digits.size()) ? d.digits[static_cast<std::size_t>(pos)]
                                                                         : '0');
    }
  }
  return out;
}

}  // namespace

std::string Fixed(double value, int decimals) {
  if (decimals < 0) decimals = 0;
  Decimal d = ToDecimal(value);
  RoundTo(d, decimals);
  return DigitsAsFixed(d, decimals);
}

std::string Statistic(double value, int decimals, bool percent) {
  if (value == SYSMIS || !std::isfinite(value)) return ".";
  std::string text = Fixed(value, decimals);
  if (percent) text.push_back('%');
  return text;
}

std::string Field(double value, QUVO_Format format) {
  if (value == SYSMIS || !std::isfinite(value)) {
    std::string out(format.width > 0 ? format.width - 1 : 0, ' ');
    return out + ".";
  }
  std::string text = Fixed(value, format.decimals);
  if (text.size() < format.width) text.insert(0, format.width - text.size(), ' ');
  return text;
}

std::string Numeric(double value, QUVO_Format format) {
  std::string field = Field(value, format);
  std::size_t start = field.find_first_not_of(' ');
  return start == std::string::npos ? std::string() : field.substr(start);
}

std::string String(std::string_view value, QUVO_Format /*format*/) {
  std::size_t end = value.find_last_not_of(' ');
  return end == std::string_view::npos ? std::string() : std::string(value.substr(0, end + 1));
}

}  // namespace host::valuefmt
