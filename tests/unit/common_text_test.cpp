// The host's shared text rules: case folding that leaves UTF-8 alone, and
// the number text used for category codes and counted values.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <string>

#include "host/common/text.h"

namespace {

TEST(CommonText, CaseFoldingTouchesAsciiLettersOnly) {
  // "é" (C3 A9) and "É" (C3 89) must pass through unchanged: folding them
  // byte by byte with a locale would corrupt the sequence.
  EXPECT_EQ(host::UpperAscii("abz_AZ09 \xC3\xA9"), "ABZ_AZ09 \xC3\xA9");
  EXPECT_EQ(host::LowerAscii("ABZ@[`{ \xC3\x89"), "abz@[`{ \xC3\x89");
  EXPECT_TRUE(host::EqualsIgnoringCase("Codebook", "CODEBOOK"));
  EXPECT_FALSE(host::EqualsIgnoringCase("\xC3\xA9", "\xC3\x89"));
  EXPECT_FALSE(host::EqualsIgnoringCase("ab", "abc"));
  EXPECT_FALSE(host::EqualsIgnoringCase("@", "`"));  // 0x40 and 0x60 differ by the case bit, not letters
}

TEST(CommonText, TrimmingKeepsInnerBlanks) {
  EXPECT_EQ(host::TrimBlanks(" \ta b\t "), "a b");
  EXPECT_EQ(host::TrimBlanks(" \t "), "");
  EXPECT_EQ(host::TrimTrailingBlanks("  a b  "), "  a b");
  EXPECT_EQ(host::TrimTrailingBlanks("a\t"), "a\t");  // padding is spaces only
}

TEST(CommonText, NumberTextIsPlainInTheUsualRange) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {0.0, "0"},
      {-0.0, "0"},
      {3.0, "3"},
      {-12.0, "-12"},
      {0.1, "0.1"},
      {-2.5, "-2.5"},
      {1e15, "1000000000000000"},
      {1e16, "1e+16"},
      {123456.789, "123456.789"},
      {0.00001, "0.00001"},
      {1.5e-5, "0.000015"},
      {2.5e-7, "2.5e-07"},
      {9007199254740993.0, "9007199254740992"},
  };
  for (const auto& c : cases) EXPECT_EQ(host::NumberText(c.value), c.text) << c.text;
}

TEST(CommonText, NumberTextReadsBackAsTheSameDouble) {
  std::mt19937_64 random(7);
  std::uniform_int_distribution<int> exponent(-12, 20);
  std::uniform_real_distribution<double> mantissa(-10.0, 10.0);
  for (int i = 0; i < 20000; ++i) {
    const double x = mantissa(random) * std::pow(10.0, exponent(random));
    const std::string text = host::NumberText(x);
    EXPECT_EQ(std::strtod(text.c_str(), nullptr), x) << text;
    const host::ShortestDigits d = host::ShortestDigitsOf(x);
    ASSERT_GT(d.count, 0);
    EXPECT_NE(d.digits[0], '0');
    EXPECT_NE(d.digits[d.count - 1], '0');
  }
}

}  // namespace
