// Extended missing values: the codes Stata (.a to .z) and SAS (._, .A to .Z)
// keep apart from the plain system-missing ".".
//
// A numeric cell is a double, so each code is a reserved double above every
// value a Stata file can hold (Stata's largest valid double is just below
// 2^1023; Stata itself stores .a as 2^1023 * (1 + 2^-12) and so on). Codes
// therefore sort after every valid value, and a variable that may hold them
// treats them as user-missing (MissingValues::extended). The bit patterns:
//   Stata .a + k   0x7FE0'01'00'0000'0000 + (k << 40)   k = 0..25
//   SAS   ._       0x7FE0'40'00'0000'0000
//   SAS   .A + k   0x7FE0'41'00'0000'0000 + (k << 40)   k = 0..25
// so SAS's ._ sorts before .A, as SAS orders them.
#pragma once

#include <bit>
#include <cstdint>
#include <string>

namespace host {

namespace extended_missing_detail {
inline constexpr std::uint64_t kHigh = 0x7FE0000000000000ULL;
inline constexpr std::uint64_t kLow40 = (std::uint64_t{1} << 40) - 1;

// The code byte (bits 40..47) of a reserved double, or 0 when it is none.
inline unsigned CodeByte(double value) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  if ((bits & ~(std::uint64_t{0xFF} << 40)) != kHigh) return 0;
  const auto b = static_cast<unsigned>((bits >> 40) & 0xFF);
  return (b >= 0x01 && b <= 0x1A) || (b >= 0x40 && b <= 0x5A) ? b : 0;
}
}  // namespace extended_missing_detail

// The smallest code: every code is at least this, every valid value below.
inline constexpr double kFirstExtendedMissing = std::bit_cast<double>(0x7FE0010000000000ULL);

// The code of a Stata tag ('a'..'z') or a SAS tag ('_', 'A'..'Z'); 0.0 for
// any other character (not a code).
inline double ExtendedMissing(char tag) {
  using namespace extended_missing_detail;
  std::uint64_t b = 0;
  if (tag >= 'a' && tag <= 'z')
    b = 0x01 + static_cast<std::uint64_t>(tag - 'a');
  else if (tag >= 'A' && tag <= 'Z')
    b = 0x41 + static_cast<std::uint64_t>(tag - 'A');
  else if (tag == '_')
    b = 0x40;
  else
    return 0.0;
  return std::bit_cast<double>(kHigh | (b << 40));
}

// True when the value is one of the codes.
inline bool IsExtendedMissing(double value) {
  return value >= kFirstExtendedMissing && extended_missing_detail::CodeByte(value) != 0;
}

// ".a" (Stata) or ".A" / "._" (SAS); empty when the value is not a code.
inline std::string ExtendedMissingText(double value) {
  if (!(value >= kFirstExtendedMissing)) return {};
  const unsigned b = extended_missing_detail::CodeByte(value);
  if (b == 0) return {};
  std::string text = ".";
  if (b <= 0x1A)
    text += static_cast<char>('a' + (b - 0x01));
  else if (b == 0x40)
    text += '_';
  else
    text += static_cast<char>('A' + (b - 0x41));
  return text;
}

}  // namespace host
