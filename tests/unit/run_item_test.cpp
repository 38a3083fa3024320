// Resolution of list items into variables and multiple-response sets.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "codebook/item.h"
#include "support/test_dataset.h"

namespace codebook {
namespace {

class ItemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::DatasetBuilder builder;
    // 40 variables so that set indices start at 40.
    builder.Numeric("q1", Measure::Nominal);
    builder.Numeric("q2", Measure::Nominal);
    builder.String("s8", 8);
    builder.String("s9", 9);
    builder.String("s20", 20);
    builder.Numeric("longnumericname", Measure::Nominal);
    builder.Numeric("$odd", Measure::Nominal);  // a variable whose name looks like a set's
    for (int i = static_cast<int>(builder.Facts().variables.size()); i < 40; ++i) {
      builder.Numeric("f" + std::to_string(i));
    }
    builder.ValueLabel("q1", 1, "Yes").ValueLabel("q1", 2, "No").ValueLabel("q1", 3, "Maybe");
    builder.ValueLabel("q2", 1, "Yes");
    builder.CategorySet("$cat", "", {"q1", "nosuch", "q2"});               // 40
    builder.CategorySet("$Twin", "First twin", {"q2"});                    // 41
    builder.CategorySet("$TWIN", "Second twin", {"q1"});                   // 42
    builder.DichotomySet("$str8", "Eight", "yes", {"s8"});                 // 43
    builder.DichotomySet("$str9", "Nine", "yes", {"s8", "s9"});            // 44
    builder.DichotomySet("$str20", "", "yes", {"s20", "s8"});              // 45
    builder.DichotomySet("$strname", "", "y", {"s8", "longnumericname"});  // 46
    builder.DichotomySet("$num", "", "  12abc", {"q1", "q2"});             // 47
    builder.DichotomySet("$nonnum", "", "abc", {"q1"});                    // 48
    builder.DichotomySet("$ghosts", "Ghosts", "1", {"nosuch", "gone"});    // 49
    builder.CategorySet("$ghostcat", "", {"nosuch"});                      // 50
    builder.CategorySet("$odd", "Not this", {"q1"});                       // 51
    builder.Activate();
    fSource = std::make_unique<ProcedureDataSource>();
  }

  std::unique_ptr<ProcedureDataSource> fSource;
};

TEST_F(ItemTest, VariablesAndSetsResolveToTheirFacts) {
  struct Case {
    const char* name;
    ItemKind kind;
    std::int32_t index;
    std::vector<std::int32_t> members;
    std::uint32_t categoryCount;
    const char* displayText;
    const char* label;
    bool isString;
    std::uint32_t width;
  };
  const Case cases[] = {
      {"q1", kItemVariable, 0, {}, 3, "", "", false, 0},
      {"Q1", kItemVariable, 0, {}, 3, "", "", false, 0},
      {"s9", kItemVariable, 3, {}, 0, "", "", true, 9},
      // A variable's name wins over a set of the same name.
      {"$odd", kItemVariable, 6, {}, 0, "", "", false, 0},
      // Unknown members are dropped; the count is the first member's labels.
      {"$cat", kItemCategorySet, 40, {0, 1}, 3, "$cat", "", false, 0},
      {"$CAT", kItemCategorySet, 40, {0, 1}, 3, "$cat", "", false, 0},
      // Two sets equal ignoring case: the first in the host's order wins.
      {"$twin", kItemCategorySet, 41, {1}, 1, "First twin", "First twin", false, 0},
      {"$str8", kItemDichotomySet, 43, {2}, 1, "Eight", "Eight", true, 8},
      {"$str9", kItemDichotomySet, 44, {2, 3}, 2, "Nine", "Nine", true, 9},
      {"$str20", kItemDichotomySet, 45, {4, 2}, 2, "$str20", "", true, 20},
      // A numeric member counts with the length of its name.
      {"$strname", kItemDichotomySet, 46, {2, 5}, 2, "$strname", "", true, 15},
      // The width of a dichotomy set does not depend on its being a string
      // set: numeric members count with their names' length.
      {"$num", kItemDichotomySet, 47, {0, 1}, 2, "$num", "", false, 2},
      {"$ghosts", kItemDichotomySet, 49, {}, 0, "Ghosts", "Ghosts", false, 0},
      {"$ghostcat", kItemCategorySet, 50, {}, 0, "$ghostcat", "", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ItemHandle handle;
    ASSERT_TRUE(ResolveItemByName(handle, fSource.get(), CodebookItem{c.name, -1}));
    EXPECT_EQ(handle.Kind(), c.kind);
    EXPECT_EQ(handle.Index(), c.index);
    EXPECT_EQ(handle.MemberIndices(), c.members);
    EXPECT_EQ(handle.CategoryCount(), c.categoryCount);
    EXPECT_EQ(handle.DisplayText(), c.displayText);
    EXPECT_EQ(handle.Label(), c.label);
    EXPECT_EQ(IsStringItem(handle), c.isString);
    EXPECT_EQ(ItemStringWidth(handle), c.width);
    EXPECT_EQ(handle.Item().fDataSource, fSource.get());
    if (c.kind == kItemVariable) {
      ASSERT_NE(handle.Variable(), nullptr);
      EXPECT_EQ(handle.Variable(), fSource->GetVariable(c.index));
    }
    if (c.kind != kItemDichotomySet) {
      EXPECT_EQ(handle.CountedValue(), nullptr);
      EXPECT_EQ(handle.CountedValueLength(), 0);
    }
  }
}

TEST_F(ItemTest, CountedValuesOfDichotomySets) {
  struct Case {
    const char* name;
    std::int32_t units;  // string sets: 8-byte units; numeric sets: 8 and one double
    const char* bytes;   // string sets: the blank-padded value
    double number;
  };
  const Case cases[] = {
      {"$str8", 1, "yes     ", 0},
      {"$str9", 2, "yes             ", 0},
      {"$str20", 3, "yes                     ", 0},
      {"$strname", 2, "y               ", 0},
      {"$num", 8, nullptr, 12.0},    // leading blanks skipped, trailing text ignored
      {"$nonnum", 8, nullptr, 0.0},  // no number: 0
      {"$ghosts", 8, nullptr, 1.0},  // no member: not a string set
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ItemHandle handle;
    ASSERT_TRUE(ResolveItemByName(handle, fSource.get(), CodebookItem{c.name, -1}));
    ASSERT_NE(handle.CountedValue(), nullptr);
    EXPECT_EQ(handle.CountedValueLength(), c.units);
    if (c.bytes != nullptr) {
      ASSERT_EQ(handle.Item().fCountedValue.size(), static_cast<std::size_t>(c.units));
      const std::string bytes(reinterpret_cast<const char*>(handle.CountedValue()),
                              8u * static_cast<std::size_t>(c.units));
      EXPECT_EQ(bytes, c.bytes);
    } else {
      ASSERT_EQ(handle.Item().fCountedValue.size(), 1u);
      EXPECT_EQ(handle.CountedValue()->d, c.number);
    }
  }
}

TEST_F(ItemTest, FailuresLeaveTheRecordUnresolved) {
  struct Case {
    const char* name;
    bool withSource;
  };
  const Case cases[] = {{"nosuch", true}, {"$nosuch", true}, {"", true}, {"q1", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ItemHandle handle;
    const QUVO_DataSource* source = c.withSource ? fSource.get() : nullptr;
    EXPECT_FALSE(ResolveItemByName(handle, source, CodebookItem{c.name, -1}));
    EXPECT_EQ(handle.Kind(), kItemNone);
    EXPECT_EQ(handle.Index(), -1);
    EXPECT_EQ(handle.Item().fDataSource, source);
    EXPECT_FALSE(IsStringItem(handle));
    EXPECT_EQ(ItemStringWidth(handle), 0u);
  }
  ItemHandle negative;
  EXPECT_FALSE(ResolveVariable(negative, fSource.get(), -1));
  EXPECT_EQ(negative.Kind(), kItemNone);
  ItemHandle noSource;
  EXPECT_FALSE(ResolveVariable(noSource, nullptr, 0));
  EXPECT_EQ(noSource.Kind(), kItemNone);
}

TEST_F(ItemTest, ItemNamesOfPlanEntries) {
  struct Case {
    const char* name;
    const char* itemName;
  };
  const Case cases[] = {{"Q1", "q1"}, {"$cat", "$cat"}, {"$TWIN", "First twin"}, {"$str20", "$str20"}};
  for (const Case& c : cases) {
    auto handle = std::make_unique<ItemHandle>();
    ASSERT_TRUE(ResolveItemByName(*handle, fSource.get(), CodebookItem{c.name, -1}));
    PlanEntry entry(std::move(handle));
    EXPECT_EQ(ItemName(entry), c.itemName);
    entry.ReleaseHandle();
    EXPECT_EQ(entry.Handle(), nullptr);
    EXPECT_EQ(ItemName(entry), "");
  }
}

}  // namespace
}  // namespace codebook
