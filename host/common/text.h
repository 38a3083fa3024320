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

// True when the bytes are well-formed UTF-8 (no overlongs, no surrogates,
// nothing above U+10FFFF). Returns the offset of the first bad byte in bad.
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
    const unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      bad = i;
      return false;
    }
    if (i + len > n || s[i + 1] < lo || s[i + 1] > hi) {
      bad = i;
      return false;
    }
    for (std::size_t k = 2; k < len; ++k) {
      if (s[i + k] < 0x80 || s[i + k] > 0xBF) {
        bad = i;
        return false;
      }
    }
    i += len;
  }
  return true;
}

}  // namespace host
