// Ordering of the listed variables and sets by VARORDER and SORT.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codebook/ordering.h"
#include "support/test_dataset.h"

namespace codebook {
namespace {

class OrderingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::DatasetBuilder builder;
    // Names that differ only in case, a name that is the start of another,
    // every measurement level, attribute arrays, values "10" and "9", a
    // hidden attribute and an attribute whose name starts with the key's.
    builder.Numeric("zeta", Measure::Nominal).attributes.Add("Order", {"10"});
    builder.Numeric("Beta", Measure::Ordinal).attributes.Add("order", {"9"});
    builder.Numeric("beta", Measure::Scale).attributes.Add("ORDER", {"b", "a"});
    QUVO_Variable& ab = builder.Numeric("ab", Measure::Unknown);
    ab.attributes.Add("Other", {"q"});
    ab.attributes.Add("Order", {""});
    builder.Numeric("abc", Measure::Scale).attributes.Add("@key", {"1"});
    QUVO_Variable& x9 = builder.Numeric("x9", Measure::Nominal);
    x9.attributes.Add("Order2", {"z"});
    x9.attributes.Add("Order", {"9"});
    x9.attributes.Add("order", {"0"});  // a second match: the first one counts
    builder.Numeric("noattr", Measure::Nominal).attributes.Add("Order", {});
    builder.CategorySet("$s1", "", {"zeta"});
    builder.CategorySet("$S2", "", {"Beta"});
    builder.Activate();
    fSource = std::make_unique<ProcedureDataSource>();
  }

  std::vector<std::string> Order(std::vector<CodebookItem> items, int varOrder, bool ascending,
                                 const std::string& attribute = "") {
    CodebookSettings settings;
    settings.SetVarOrder(varOrder);
    settings.SetSortAscending(ascending);
    settings.SetOrderAttributeName(attribute);
    OrderItems(items, settings, *fSource);
    std::vector<std::string> names;
    for (const CodebookItem& item : items) names.push_back(item.name);
    return names;
  }

  // The list as written: variables and sets mixed, sets indexed after the
  // 7 variables in the order they were added.
  const std::vector<CodebookItem> fList = {{"beta", 2}, {"$S2", 8},  {"zeta", 0}, {"ab", 3},
                                           {"$s1", 7},  {"Beta", 1}, {"abc", 4},  {"x9", 5}};
  std::unique_ptr<ProcedureDataSource> fSource;
};

TEST_F(OrderingTest, EveryOrderingBothDirections) {
  using Names = std::vector<std::string>;
  struct Case {
    int varOrder;
    bool ascending;
    const char* attribute;
    Names expected;
  };
  const Case cases[] = {
      {kOrderFile, true, "", {"zeta", "Beta", "beta", "ab", "abc", "x9", "$s1", "$S2"}},
      {kOrderFile, false, "", {"$S2", "$s1", "x9", "abc", "ab", "beta", "Beta", "zeta"}},
      // Bytes: "$" < capitals < small letters; "S" < "s"; a prefix first.
      {kOrderAlpha, true, "", {"$S2", "$s1", "Beta", "ab", "abc", "beta", "x9", "zeta"}},
      {kOrderAlpha, false, "", {"zeta", "x9", "beta", "abc", "ab", "Beta", "$s1", "$S2"}},
      {kOrderVarList, true, "", {"beta", "$S2", "zeta", "ab", "$s1", "Beta", "abc", "x9"}},
      {kOrderVarList, false, "", {"x9", "abc", "Beta", "$s1", "ab", "zeta", "$S2", "beta"}},
      // Sets go with the nominal variables; unknown level last either way;
      // names ascending within a level in both directions.
      {kOrderMeasure, true, "", {"$S2", "$s1", "x9", "zeta", "Beta", "abc", "beta", "ab"}},
      {kOrderMeasure, false, "", {"abc", "beta", "Beta", "$S2", "$s1", "x9", "zeta", "ab"}},
      // Values as text ("" < "10" < "9" < "b"); ties ("9") by name; the
      // first element of an array; name matched ignoring case; hidden and
      // longer names never match; sets never have the attribute.
      {kOrderAttribute, true, "order", {"$S2", "$s1", "abc", "ab", "zeta", "Beta", "x9", "beta"}},
      {kOrderAttribute, false, "order", {"beta", "x9", "Beta", "zeta", "ab", "abc", "$s1", "$S2"}},
      {kOrderAttribute, true, "@key", {"$S2", "$s1", "Beta", "ab", "abc", "beta", "x9", "zeta"}},
      {kOrderAttribute, true, "Order2", {"$S2", "$s1", "Beta", "ab", "abc", "beta", "zeta", "x9"}},
      {kOrderAttribute, false, "ORDER2", {"x9", "zeta", "beta", "abc", "ab", "Beta", "$s1", "$S2"}},
      {kOrderAttribute, true, "Orde", {"$S2", "$s1", "Beta", "ab", "abc", "beta", "x9", "zeta"}},
      // An unknown code leaves the list as written.
      {7, true, "", {"beta", "$S2", "zeta", "ab", "$s1", "Beta", "abc", "x9"}},
      {-1, false, "", {"beta", "$S2", "zeta", "ab", "$s1", "Beta", "abc", "x9"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Order(fList, c.varOrder, c.ascending, c.attribute), c.expected)
        << "varOrder " << c.varOrder << (c.ascending ? " ascending " : " descending ") << c.attribute;
  }
}

TEST_F(OrderingTest, EmptyAndSingleListsAndEmptyAttributeArrays) {
  for (int varOrder = kOrderFile; varOrder <= kOrderAttribute; ++varOrder) {
    for (const bool ascending : {true, false}) {
      EXPECT_TRUE(Order({}, varOrder, ascending, "Order").empty());
      EXPECT_EQ(Order({{"abc", 4}}, varOrder, ascending, "Order"), std::vector<std::string>{"abc"});
    }
  }
  // An attribute without values still counts, with the empty value.
  EXPECT_EQ(Order({{"zeta", 0}, {"noattr", 6}, {"abc", 4}}, kOrderAttribute, true, "Order"),
            (std::vector<std::string>{"abc", "noattr", "zeta"}));
  EXPECT_EQ(Order({{"zeta", 0}, {"noattr", 6}, {"abc", 4}}, kOrderAttribute, false, "Order"),
            (std::vector<std::string>{"zeta", "noattr", "abc"}));
}

TEST_F(OrderingTest, SetListedTwiceStaysTwice) {
  const std::vector<CodebookItem> list = {{"$s1", 7}, {"zeta", 0}, {"$s1", 7}, {"$S2", 8}};
  EXPECT_EQ(Order(list, kOrderAlpha, true), (std::vector<std::string>{"$S2", "$s1", "$s1", "zeta"}));
  EXPECT_EQ(Order(list, kOrderFile, false), (std::vector<std::string>{"$S2", "$s1", "$s1", "zeta"}));
}

TEST(OrderingScale, ThousandsOfVariablesSortQuickly) {
  testsupport::DatasetBuilder builder;
  std::vector<CodebookItem> list;
  const int count = 20000;
  for (int i = 0; i < count; ++i) {
    const std::string name = "v" + std::to_string((i * 7919) % count);
    builder.Numeric(name, 1 + i % 3).attributes.Add("Key", {std::to_string(i % 97)});
    list.push_back({name, i});
  }
  builder.Activate();
  ProcedureDataSource source;
  for (const int varOrder : {kOrderAlpha, kOrderMeasure, kOrderAttribute}) {
    CodebookSettings settings;
    settings.SetVarOrder(varOrder);
    settings.SetOrderAttributeName("key");
    std::vector<CodebookItem> items = list;
    OrderItems(items, settings, source);
    ASSERT_EQ(items.size(), list.size());
    if (varOrder == kOrderAlpha) {
      for (std::size_t i = 1; i < items.size(); ++i) EXPECT_LT(items[i - 1].name, items[i].name);
    }
  }
}

}  // namespace
}  // namespace codebook
