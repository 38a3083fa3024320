// The value -> slot indexes under growth: slots stay stable across rehashes
// and across the switch from the dense array to the hash table.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <string>

#include "host/engine/category_index.h"

using host::engine::kLongText;
using host::engine::kNoSlot;
using host::engine::NumericCategoryIndex;
using host::engine::RecentTexts;
using host::engine::ShortTextKey;
using host::engine::StringCategoryIndex;

namespace {

TEST(EngineCategoryIndex, NumbersKeepTheirSlotsThroughDenseAndHash) {
  NumericCategoryIndex index;
  // Small integers first (dense), then values that force the hash table,
  // then many more to make it grow several times.
  std::vector<double> values{3, 0, 65535, 7, -0.0, 2.5, 65536, -1, 1e300};
  for (int i = 0; i < 5000; ++i) values.push_back(100000.5 + i);
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i == 5) {
      EXPECT_TRUE(index.IsDense());
    }
    const double v = values[i];
    const std::uint32_t expected = i == 4 ? 1u : static_cast<std::uint32_t>(i < 4 ? i : i - 1);  // -0 is 0
    EXPECT_EQ(index.FindOrInsert(v), expected) << v;
  }
  EXPECT_FALSE(index.IsDense());
  EXPECT_EQ(index.Size(), values.size() - 1);
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::uint32_t expected = i == 4 ? 1u : static_cast<std::uint32_t>(i < 4 ? i : i - 1);
    EXPECT_EQ(index.Find(values[i]), expected) << values[i];
    EXPECT_EQ(index.FindOrInsert(values[i]), expected) << values[i];
  }
  EXPECT_EQ(index.Value(1), 0.0);
  EXPECT_FALSE(std::signbit(index.Value(1)));
  EXPECT_EQ(index.Find(4), kNoSlot);
  EXPECT_EQ(index.Find(0.25), kNoSlot);
}

TEST(EngineCategoryIndex, DenseFindDoesNotInsert) {
  NumericCategoryIndex index;
  EXPECT_EQ(index.Find(2), kNoSlot);
  EXPECT_EQ(index.FindOrInsert(2), 0u);
  EXPECT_EQ(index.Find(3), kNoSlot);
  EXPECT_EQ(index.Find(1e9), kNoSlot);
  EXPECT_EQ(index.Size(), 1u);
}

// A dense index takes whole numbers below its size and nothing else, the
// row loops' copy of its lookup as the index itself: values the truncation
// cannot convert, negative ones and fractions just beside whole ones.
TEST(EngineCategoryIndex, DenseLookupTakesOnlyWholeNumbersInRange) {
  NumericCategoryIndex index;
  for (int v = 0; v < 20; ++v) index.FindOrInsert(v);
  ASSERT_TRUE(index.IsDense());
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<double> none{-1,
                                 0.5,
                                 std::nextafter(19.0, 20.0),
                                 std::nextafter(1.0, 0.0),
                                 1e9,
                                 0x1p63,
                                 -0x1p63,
                                 0x1p64,
                                 -0x1p64,
                                 inf,
                                 -inf,
                                 std::nan(""),
                                 -std::numeric_limits<double>::max(),
                                 4.9e-324,
                                 4096};
  const NumericCategoryIndex::Quick quick = index.QuickLookup();
  for (const double x : none) {
    EXPECT_EQ(index.Find(x), kNoSlot) << x;
    EXPECT_EQ(quick.Find(x), kNoSlot) << x;
  }
  for (int v = 0; v < 20; ++v) {
    EXPECT_EQ(index.Find(v), static_cast<std::uint32_t>(v));
    EXPECT_EQ(quick.FindDense(v), static_cast<std::uint32_t>(v));
  }
  EXPECT_EQ(index.Find(-0.0), 0u);
  EXPECT_EQ(quick.Find(-0.0), 0u);
}

// Texts compared in words from both ends: every pair of texts of up to 20
// bytes that differ in one byte, or in length only, is told apart.
TEST(EngineCategoryIndex, SameTextComparesEveryByte) {
  for (std::size_t n = 0; n <= 20; ++n) {
    const std::string a(n, 'x');
    EXPECT_TRUE(host::engine::SameText(a, std::string(n, 'x'))) << n;
    EXPECT_FALSE(host::engine::SameText(a, a + 'x')) << n;
    for (std::size_t i = 0; i < n; ++i) {
      std::string b = a;
      b[i] = '\0';
      EXPECT_FALSE(host::engine::SameText(a, b)) << n << " at " << i;
      EXPECT_FALSE(host::engine::SameText(b, a)) << n << " at " << i;
    }
  }
}

TEST(EngineCategoryIndex, StringsKeepTheirSlotsAndBytes) {
  StringCategoryIndex index;
  std::vector<std::string> values{"", "a", "A", "a\0b", "\xc3\xa9"};
  values[3] = std::string("a\0b", 3);
  for (int i = 0; i < 3000; ++i) values.push_back("value-" + std::to_string(i));
  for (std::size_t i = 0; i < values.size(); ++i) EXPECT_EQ(index.FindOrInsert(values[i]), i) << values[i];
  EXPECT_EQ(index.Size(), values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(index.Find(values[i]), i);
    EXPECT_EQ(index.Value(static_cast<std::uint32_t>(i)), values[i]);
  }
  EXPECT_EQ(index.Find("value-3000"), kNoSlot);
  EXPECT_EQ(index.Find("a "), kNoSlot);  // callers trim; the index compares bytes
}

// Two texts that share a word would share a slot: every text of up to 7
// bytes over an alphabet with a zero byte, a high byte and one letter (texts
// that differ only in length, or in a byte the overlapping loads read twice)
// has a word of its own; 8 bytes and more have none.
TEST(EngineCategoryIndex, ShortTextWordsTellEveryShortTextApart) {
  const std::string alphabet("\0a\xff", 3);
  std::vector<std::string> texts{""};
  for (std::size_t from = 0; texts.back().size() < 7;) {
    const std::size_t to = texts.size();
    for (std::size_t i = from; i < to; ++i) {
      for (const char c : alphabet) texts.push_back(texts[i] + c);
    }
    from = to;
  }
  std::set<std::uint64_t> words;
  for (const std::string& t : texts) {
    const std::uint64_t w = ShortTextKey(t);
    EXPECT_NE(w, kLongText) << t.size();
    EXPECT_TRUE(words.insert(w).second) << "length " << t.size();
  }
  EXPECT_EQ(ShortTextKey("abcdefgh"), kLongText);
  EXPECT_EQ(ShortTextKey(std::string(100, 'a')), kLongText);
}

TEST(EngineCategoryIndex, RecentTextsGiveBackWhatWasNotedOrNothing) {
  RecentTexts recent;
  std::uint32_t slot = 7;
  EXPECT_FALSE(recent.Find(ShortTextKey(""), slot));
  EXPECT_FALSE(recent.Find(kLongText, slot));
  recent.Note(kLongText, 1);  // long texts are not kept
  EXPECT_FALSE(recent.Find(kLongText, slot));
  // More texts than places: a later one may take an earlier one's place,
  // but a text found is always given its own slot (kNoSlot included).
  for (std::uint32_t i = 0; i < 200; ++i) recent.Note(ShortTextKey(std::to_string(i)), i == 5 ? kNoSlot : i);
  int found = 0;
  for (std::uint32_t i = 0; i < 200; ++i) {
    if (!recent.Find(ShortTextKey(std::to_string(i)), slot)) continue;
    ++found;
    EXPECT_EQ(slot, i == 5 ? kNoSlot : i);
  }
  EXPECT_GT(found, 0);
  EXPECT_FALSE(recent.Find(ShortTextKey("200"), slot));
}

}  // namespace
