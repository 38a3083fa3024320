// The pool behind string values: one id per text, texts that stay where they
// are while the pool grows (its table is rebuilt, its storage is not).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/obs.h"

namespace {

TEST(StringPool, KeepsEveryTextAndItsIdAcrossGrowth) {
  // Short, empty, chunk-sized and longer-than-a-chunk texts, enough of
  // them to rebuild the table several times.
  std::vector<std::string> texts = {"", std::string(5000, 'a'), std::string(300000, 'b'), "x"};
  for (int i = 0; i < 200000; ++i) texts.push_back("pool-" + std::to_string(i));
  std::vector<OBS> values;
  std::vector<std::string_view> views;
  for (const std::string& t : texts) {
    values.push_back(ObsFromString(t));
    views.push_back(ObsString(values.back()));
  }
  for (std::size_t i = 0; i < texts.size(); ++i) {
    ASSERT_EQ(ObsFromString(texts[i]).u, values[i].u) << texts[i].substr(0, 20);
    ASSERT_EQ(ObsString(values[i]), texts[i]);
    ASSERT_EQ(ObsString(values[i]).data(), views[i].data()) << "a text moved";
    if (i > 0) {
      ASSERT_NE(values[i].u, values[i - 1].u);
    }
  }
  // Trailing blanks are not part of a value; leading ones are.
  EXPECT_EQ(ObsFromString("pool-7   ").u, ObsFromString("pool-7").u);
  EXPECT_NE(ObsFromString(" pool-7").u, ObsFromString("pool-7").u);
  EXPECT_EQ(ObsFromString("   ").u, ObsFromString("").u);
}

}  // namespace
