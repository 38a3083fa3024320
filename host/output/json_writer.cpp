#include "host/output/json_writer.h"

#include <cmath>
#include <cstdlib>

#include "host/common/text.h"
#include "host/output/text_layout.h"

namespace host::json {

void AppendString(std::string& out, std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  out.push_back('"');
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    // Plain printable ASCII goes out in one piece.
    std::size_t run = i;
    while (run < n) {
      const auto c = static_cast<unsigned char>(text[run]);
      if (c < 0x20 || c == '"' || c == '\\' || c >= 0x7F) break;
      ++run;
    }
    if (run > i) {
      out.append(text.data() + i, run - i);
      i = run;
      if (i == n) break;
    }
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == 0x7F) {
      out += "\\u007f";
      ++i;
      continue;
    }
    if (c < 0x80) {
      switch (c) {
        case '"':
          out += "\\\"";
          break;
        case '\\':
          out += "\\\\";
          break;
        case '\b':
          out += "\\b";
          break;
        case '\f':
          out += "\\f";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        default:
          out += "\\u00";
          out.push_back(kHex[c >> 4]);
          out.push_back(kHex[c & 0xF]);
      }
      ++i;
      continue;
    }
    std::size_t bad = 0;
    bool cut = false;  // a cut sequence is as bad as any other here
    const std::size_t len = Utf8SequenceAt(text, i, bad, cut);
    if (len > 0) {
      // What a terminal or a display of mixed-direction text would act on
      // goes as an escape (the same string to a reader of JSON), so that
      // the raw file is safe to print: C1 controls, direction controls and
      // the line separators that end a line in a JavaScript string.
      std::size_t invisible = 0;
      if (InvisibleAt(text, i, invisible) != Invisible::None) {
        const char32_t cp = len == 2 ? ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3Fu)
                                     : ((c & 0x0Fu) << 12) | ((static_cast<unsigned char>(text[i + 1]) & 0x3Fu) << 6) |
                                           (static_cast<unsigned char>(text[i + 2]) & 0x3Fu);
        out += "\\u";
        for (int shift = 12; shift >= 0; shift -= 4) out.push_back(kHex[(cp >> shift) & 0xF]);
      } else {
        out.append(text.data() + i, len);
      }
      i += len;
    } else {
      out += "\xEF\xBF\xBD";
      i += bad;
    }
  }
  out.push_back('"');
}

void AppendNumber(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  // The shortest digits that read back as `value`.
  const ShortestDigits d = ShortestDigitsOf(value);
  if (d.negative) out.push_back('-');
  if (d.count == 0) {
    out += "0.0";
    return;
  }
  const char* digits = d.digits;
  const int k = d.count;
  // Where the decimal point falls after the k digits: value = 0.digits * 10^n.
  const int n = d.point;
  if (k <= n && n <= 15) {
    out.append(digits, static_cast<std::size_t>(k));
    out.append(static_cast<std::size_t>(n - k), '0');
    out += ".0";
  } else if (0 < n && n <= 15) {
    out.append(digits, static_cast<std::size_t>(n));
    out.push_back('.');
    out.append(digits + n, static_cast<std::size_t>(k - n));
  } else if (-4 < n && n <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-n), '0');
    out.append(digits, static_cast<std::size_t>(k));
  } else {
    out.push_back(digits[0]);
    if (k > 1) {
      out.push_back('.');
      out.append(digits + 1, static_cast<std::size_t>(k - 1));
    }
    out.push_back('e');
    int e = n - 1;
    out.push_back(e < 0 ? '-' : '+');
    e = std::abs(e);
    if (e >= 100) out.push_back(static_cast<char>('0' + e / 100));
    out.push_back(static_cast<char>('0' + e / 10 % 10));
    out.push_back(static_cast<char>('0' + e % 10));
  }
}

}  // namespace host::json
