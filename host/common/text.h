// Small text rules the whole host shares: ASCII case folding, blank
// trimming, the plain text of a number and the UTF-8 check. Names, keywords, extensions and
// codes compare without regard to case in ASCII only; other bytes (UTF-8
// sequences among them) pass unchanged, whatever the locale.
//
// The procedure cannot include this file (it sees host/include/host/ alone);
// it compares names through QUVOMBstricmp_A and QUVOMBstrnicmp_A.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace host {

constexpr char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
constexpr char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

std::string LowerAscii(std::string_view text);
std::string UpperAscii(std::string_view text);
bool EqualsIgnoringCase(std::string_view a, std::string_view b);
// "1 cell", "2 cells": a count with a noun that takes an "s" in the plural.
std::string Counted(std::size_t n, std::string_view noun);
// The first `most` items apart by commas, and how many more there are:
// "a, b, c and 4 more".
std::string ShortList(const std::vector<std::string>& items, std::size_t most);
// Text quoted in a message with its line breaks shown as \n and \r, not
// made: a message that lists several things has one per line.
std::string ShownLineBreaks(std::string_view text);

// Blanks around a cell or a listed value: spaces and tabs at both ends.
constexpr std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// A text whose UTF-8 byte order mark, if it begins with one, is taken off
// (as the header row of a file joined after another still has it).
constexpr std::string_view WithoutByteOrderMark(std::string_view text, bool& had) {
  had = text.starts_with("\xEF\xBB\xBF");
  if (had) text.remove_prefix(3);
  return text;
}

// A string value without the spaces that pad it on the right: string values
// that differ only there are the same value.
constexpr std::string_view TrimTrailingBlanks(std::string_view text) {
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

// The shortest decimal digits that read back as a double: value =
// 0.d1d2...dn * 10^point, digits without leading or trailing zeros (none for
// zero).
struct ShortestDigits {
  bool negative = false;
  char digits[20] = {};
  int count = 0;
  int point = 0;

  std::string_view Digits() const { return {digits, static_cast<std::size_t>(count)}; }
};
ShortestDigits ShortestDigitsOf(double value);

// A finite number as the shortest text that reads back as the same double,
// in plain decimals for decimal exponents -5..15 and as d.ddde+XX beyond
// (codes and counts never show an exponent): "3", "0.1", "-2.5e-07".
std::string NumberText(double value);

// Length of the well-formed UTF-8 sequence at text[i] (1 for ASCII; no
// overlongs, no surrogates, nothing above U+10FFFF), or 0 when the bytes
// there are not one. Then `bad` is how many bytes the invalid part spans (a
// byte that cannot start a sequence counts alone, a broken sequence up to,
// not including, the byte that breaks it), and `cut` is set when the text
// ends inside a sequence that was well-formed so far.
inline std::size_t Utf8SequenceAt(std::string_view text, std::size_t i, std::size_t& bad, bool& cut) {
  const auto b0 = static_cast<unsigned char>(text[i]);
  if (b0 < 0x80) return 1;
  std::size_t need = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // the allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    if (b0 == 0xE0) lo = 0xA0;  // no overlong forms
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    if (b0 == 0xF0) lo = 0x90;  // no overlong forms
    if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    bad = 1;
    return 0;
  }
  for (std::size_t k = 1; k <= need; ++k) {
    if (i + k >= text.size()) {
      cut = true;
      bad = k;
      return 0;
    }
    const auto b = static_cast<unsigned char>(text[i + k]);
    if (k == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) {
      bad = k;
      return 0;
    }
  }
  return need + 1;
}

// True when the bytes are well-formed UTF-8. Returns the offset of the
// first bad byte in bad.
inline bool ValidUtf8(std::string_view text, std::size_t& bad) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    // Eight ASCII bytes at a time.
    while (i + 8 <= n) {
      std::uint64_t chunk;
      __builtin_memcpy(&chunk, s + i, 8);
      if (chunk & 0x8080808080808080ULL) break;
      i += 8;
    }
    if (i >= n) break;
    std::size_t span = 0;
    bool cut = false;
    const std::size_t length = Utf8SequenceAt(text, i, span, cut);
    if (length == 0) {
      bad = i;
      return false;
    }
    i += length;
  }
  return true;
}

}  // namespace host
