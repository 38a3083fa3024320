// The statistics object: table set-up, the single pass with its MAXCATS
// withdrawal and early stop, and the result readers.

#include <gtest/gtest.h>

#include <memory>

#include "codebook/stats/variable_statistics.h"
#include "engine_block_iterator.h"
#include "host/dataset.h"
#include "support/test_dataset.h"

namespace TEC = TableEncryptionCodes;
using codebook::ItemHandle;
using codebook::PlanEntry;
using codebook::VariableStatistics;

namespace {

const std::vector<std::int32_t> kAllScaleCodes{222, 198, 179, 203, 468};

// One run's worth of statistics objects over a dataset built by the test.
struct Harness {
  std::shared_ptr<host::Dataset> dataset;
  std::unique_ptr<ProcedureDataSource> source;
  std::unique_ptr<enginetest::BlockIterator> iterator;
  std::vector<std::unique_ptr<PlanEntry>> entries;
  std::vector<AggregationStatistic> categoryStatistics{AggregationStatistic(TEC::Count),
                                                       AggregationStatistic(TEC::Percent)};
  std::vector<std::int32_t> scaleCodes = kAllScaleCodes;
  std::unique_ptr<VariableStatistics> stats;

  explicit Harness(testsupport::DatasetBuilder& builder) {
    dataset = builder.Activate();
    source = std::make_unique<ProcedureDataSource>();
    const auto& blocks = static_cast<host::MemoryCaseSource&>(*dataset->cases).Blocks();
    iterator = std::make_unique<enginetest::BlockIterator>(source.get(), &blocks);
  }

  std::unique_ptr<ItemHandle> NewHandle() {
    auto h = std::make_unique<ItemHandle>();
    h->Item().fDataSource = source.get();
    return h;
  }
  void AddVariable(const std::string& name, std::uint32_t treatment, bool labelsAsCategories = false) {
    auto h = NewHandle();
    const int index = dataset->Find(name);
    h->Item().fKind = codebook::kItemVariable;
    h->Item().fIndex = index;
    h->Item().fVariable = source->GetVariable(index);
    h->SetCategoryCount(static_cast<std::uint32_t>(source->GetVariable(index)->valueLabels.size()));
    Add(std::move(h), treatment, labelsAsCategories);
  }
  void AddSet(codebook::ItemKind kind, const std::vector<std::string>& members, std::vector<OBS> counted = {}) {
    auto h = NewHandle();
    h->Item().fKind = kind;
    h->Item().fIndex = source->ColumnCount();
    h->Item().fDisplayText = "$set";
    for (const std::string& m : members) h->Item().fMemberIndices.push_back(dataset->Find(m));
    h->Item().fCountedValue = std::move(counted);
    h->Item().fCountedValueLength = 8;
    h->SetCategoryCount(
        kind == codebook::kItemDichotomySet
            ? static_cast<std::uint32_t>(members.size())
            : static_cast<std::uint32_t>(source->GetVariable(dataset->Find(members[0]))->valueLabels.size()));
    Add(std::move(h), 2, false);
  }
  void Add(std::unique_ptr<ItemHandle> h, std::uint32_t treatment, bool labelsAsCategories) {
    entries.push_back(std::make_unique<PlanEntry>(std::move(h)));
    entries.back()->SetTreatment(treatment);
    entries.back()->SetValueLabelsAsCategories(labelsAsCategories);
  }
  VariableStatistics& SetUp(std::int32_t maxCats) {
    std::vector<PlanEntry*> plan;
    for (auto& e : entries) plan.push_back(e.get());
    stats = std::make_unique<VariableStatistics>(plan, &categoryStatistics, &scaleCodes);
    stats->SetUpTables(iterator.get(), maxCats);
    return *stats;
  }
};

struct CategoryResults {
  std::vector<double> counts, percents;
  std::vector<OBS> values;
  std::vector<std::string> texts;
  std::vector<std::int32_t> members;
  double missing = -1;
  double total = -1;
};

CategoryResults Categories(const VariableStatistics& s, std::uint32_t index) {
  CategoryResults r;
  r.total = s.GetCategoryResults(index, r.counts, r.percents, r.values, r.texts, r.members, r.missing);
  return r;
}

testsupport::DatasetBuilder OneVariable(const std::vector<double>& values, int labels = 0) {
  testsupport::DatasetBuilder b;
  b.Numeric("x", Measure::Nominal);
  for (int l = 0; l < labels; ++l) b.ValueLabel("x", 100 + l, "label");
  for (double v : values) b.Case({v});
  return b;
}

// MAXCATS withdrawal in the data: the table takes cases while its dimension
// has at most maxCats values; the test starts with case maxCats + 1.
struct WithdrawalCase {
  const char* name;
  std::int32_t maxCats;
  std::vector<double> values;
  bool flag;          // final shown flag
  double added;       // cases the table took
  std::int32_t pass;  // PassCases result
  int reads;          // NextCase calls
};

class Withdrawal : public ::testing::TestWithParam<WithdrawalCase> {};

TEST_P(Withdrawal, FlagCasesAndEarlyStop) {
  const WithdrawalCase& c = GetParam();
  auto b = OneVariable(c.values);
  Harness h(b);
  h.AddVariable("x", 2);
  VariableStatistics& s = h.SetUp(c.maxCats);
  ASSERT_TRUE(s.GetCategoriesShown()[0]);
  EXPECT_EQ(s.PassCases(c.maxCats), c.pass);
  EXPECT_EQ(s.GetCategoriesShown()[0], c.flag);
  EXPECT_EQ(Categories(s, 0).total, c.added);
  EXPECT_EQ(h.iterator->Calls(), c.reads);
}

INSTANTIATE_TEST_SUITE_P(MaxCats, Withdrawal,
                         ::testing::Values(
                             // 1,2,3,4 with MAXCATS 3: the fourth is added, then the flag falls;
                             // the fifth case, which no table takes, ends the pass after one more
                             // read.
                             WithdrawalCase{"FourthValueWithdraws", 3, {1, 2, 3, 4, 5, 6, 7, 8}, false, 4, 5, 6},
                             WithdrawalCase{"FourthValueLastCase", 3, {1, 2, 3, 4}, false, 4, 4, 5},
                             // The fourth value comes late: the test before it still saw three.
                             WithdrawalCase{"LateFourthValueKept", 3, {1, 1, 2, 2, 3, 3, 4}, true, 7, 7, 8},
                             WithdrawalCase{"ExactlyMaxCats", 3, {1, 2, 3, 1, 2, 3}, true, 6, 6, 7},
                             WithdrawalCase{"MaxCatsPlusOneThenMore", 3, {1, 2, 3, 3, 4, 5, 1, 1}, false, 5, 6, 7},
                             WithdrawalCase{"ZeroMaxCats", 0, {7, 7, 7, 7}, false, 1, 2, 3}),
                         [](const auto& info) { return std::string(info.param.name); });

// Split-group ends are positions without a case: not counted, fed nowhere.
TEST(StatsPass, SplitGroupEndsAreNotCounted) {
  testsupport::DatasetBuilder b;
  b.Numeric("g");
  b.Numeric("x");
  b.Split({"g"});
  for (auto [g, x] : std::vector<std::pair<double, double>>{{1, 4}, {1, 5}, {2, 6}, {2, 7}, {2, SYSMIS}, {3, 9}}) {
    b.Case({g, x});
  }
  Harness h(b);
  h.AddVariable("x", 1);
  VariableStatistics& s = h.SetUp(200);
  EXPECT_EQ(s.PassCases(200), 6);
  EXPECT_EQ(h.iterator->Delivered(), 6u);
  std::vector<double> r;
  s.GetScaleResults(0, r);
  ASSERT_EQ(r.size(), 7u);
  EXPECT_EQ(r[0], 5);  // valid
  EXPECT_EQ(r[1], 1);  // missing
  EXPECT_DOUBLE_EQ(r[2], 6.2);
  EXPECT_EQ(s.GetWeightedCaseTotal(), 6);
}

TEST(StatsPass, ThroughTheHostIteratorWithSplitFiles) {
  testsupport::DatasetBuilder b;
  b.Numeric("g");
  b.Numeric("x", Measure::Nominal);
  b.Split({"g"});
  for (double g : {1, 1, 2, 3, 3}) b.Case({g, g * 10});
  Harness h(b);
  h.AddVariable("x", 2);
  std::unique_ptr<QUVO_InputCaseIterator> it(h.source->CreateCaseIterator(0));
  std::vector<PlanEntry*> plan{h.entries[0].get()};
  VariableStatistics s(plan, &h.categoryStatistics, &h.scaleCodes);
  s.SetUpTables(static_cast<ProcDSIterator*>(it.get()), 200);
  EXPECT_EQ(s.PassCases(200), 5);
  const CategoryResults r = Categories(s, 0);
  EXPECT_EQ(r.counts, (std::vector<double>{2, 1, 2}));
  EXPECT_EQ(r.total, 5);
}

TEST(StatsPass, NoEntriesCountsOneCaseAndStops) {
  auto b = OneVariable({1, 2, 3});
  Harness h(b);
  VariableStatistics& s = h.SetUp(200);
  EXPECT_EQ(s.PassCases(200), 1);
  EXPECT_EQ(h.iterator->Calls(), 2);
  EXPECT_TRUE(s.GetCategoriesShown().empty());
  EXPECT_EQ(s.GetWeightedCaseTotal(), -1.0);
}

TEST(StatsPass, AllCategoricalOverMaxCatsStopsAfterFirstCase) {
  testsupport::DatasetBuilder b;
  b.Numeric("x", Measure::Nominal);
  b.Numeric("y", Measure::Nominal);
  for (int l = 0; l < 4; ++l) b.ValueLabel("x", l, "a").ValueLabel("y", l, "b");
  for (int r = 0; r < 10; ++r) b.Case({r, r});
  Harness h(b);
  h.AddVariable("x", 2);
  h.AddVariable("y", 3);
  VariableStatistics& s = h.SetUp(3);
  EXPECT_EQ(s.GetCategoriesShown(), (std::vector<bool>{false, false}));
  EXPECT_EQ(s.PassCases(3), 1);
  EXPECT_EQ(h.iterator->Calls(), 2);  // the first case and one more
  EXPECT_EQ(Categories(s, 0).total, 0);
}

TEST(StatsPass, EmptyDatasetGivesZeroAndNoAggregators) {
  auto b = OneVariable({});
  Harness h(b);
  h.AddVariable("x", 1);
  VariableStatistics& s = h.SetUp(200);
  EXPECT_EQ(s.PassCases(200), 0);
  EXPECT_EQ(s.GetWeightedCaseTotal(), -1.0);
}

// Initial flags: dictionary category counts against MAXCATS, scale entries
// always shown, nothing shown without category statistics.
TEST(StatsSetUp, InitialFlags) {
  testsupport::DatasetBuilder b;
  b.Numeric("five", Measure::Nominal);
  b.Numeric("six", Measure::Nominal);
  b.Numeric("scale");
  for (int l = 0; l < 6; ++l) {
    if (l < 5) b.ValueLabel("five", l, "v");
    b.ValueLabel("six", l, "v").ValueLabel("scale", l, "v");
  }
  std::vector<std::string> members;
  for (int m = 0; m < 12; ++m) {
    members.push_back("d" + std::to_string(m));
    b.Numeric(members.back());
  }
  b.Case(std::vector<testsupport::Cell>(15, testsupport::Cell(1)));
  Harness h(b);
  h.AddVariable("five", 2);
  h.AddVariable("six", 2);
  h.AddVariable("scale", 1);
  h.AddSet(codebook::kItemDichotomySet, members, {ObsFromNumber(1)});
  EXPECT_EQ(h.SetUp(5).GetCategoriesShown(), (std::vector<bool>{true, false, true, false}));
  EXPECT_EQ(h.SetUp(10).GetCategoriesShown(), (std::vector<bool>{true, true, true, false}));
  EXPECT_EQ(h.SetUp(12).GetCategoriesShown(), (std::vector<bool>{true, true, true, true}));
  h.categoryStatistics.clear();
  EXPECT_EQ(h.SetUp(200).GetCategoriesShown(), (std::vector<bool>{false, false, true, false}));
}

TEST(StatsSetUp, ScaleStatisticsExpandQuartiles) {
  auto b = OneVariable({1});
  Harness h(b);
  h.SetUp(200);
  std::vector<AggregationStatistic> list;
  h.stats->MakeScaleStatistics(list, 0);
  ASSERT_EQ(list.size(), 7u);
  const int codes[] = {222, 198, 179, 203, 468, 468, 468};
  for (std::size_t i = 0; i < 7; ++i) {
    EXPECT_EQ(list[i].GetSummaryStatistic(), codes[i]);
    EXPECT_EQ(list[i].GetVariableIndex(), 0);
  }
  EXPECT_EQ(list[4].GetPTileCutPoint(), 25.0);
  EXPECT_EQ(list[5].GetPTileCutPoint(), 50.0);
  EXPECT_EQ(list[6].GetPTileCutPoint(), 75.0);
}

TEST(StatsResults, ScaleResultsFollowTheCodes) {
  testsupport::DatasetBuilder b;
  b.Numeric("x");
  b.String("s", 4);
  for (double v : {1, 2, 3, 4}) b.Case({v, "a"});
  {
    Harness h(b);
    h.scaleCodes = {222, 198, 179};
    h.AddVariable("x", 1);
    h.AddVariable("s", 1);
    VariableStatistics& s = h.SetUp(200);
    ASSERT_EQ(s.PassCases(200), 4);
    std::vector<double> r;
    s.GetScaleResults(0, r);
    EXPECT_EQ(r, (std::vector<double>{4, 0, 2.5}));
    s.GetScaleResults(1, r);
    EXPECT_EQ(r, (std::vector<double>{4, 0, SYSMIS}));  // strings: no mean
  }
}

// Sets: a dichotomy set reports member indices only; a category set values
// and member indices, one per real category. Counts are weighted.
TEST(StatsResults, SetCategoriesAndWeightedTotal) {
  testsupport::DatasetBuilder b;
  b.Numeric("w");
  b.Numeric("a", Measure::Nominal);
  b.Numeric("b", Measure::Nominal);
  b.ValueLabel("b", 2, "two");
  b.Weight("w");
  b.Case({2, 1, 2}).Case({1, 2, 2}).Case({0, 1, 1}).Case({0.5, SYSMIS, SYSMIS}).Case({1, 3, 1});
  Harness h(b);
  h.AddSet(codebook::kItemCategorySet, {"a", "b"});
  h.AddSet(codebook::kItemDichotomySet, {"a", "b"}, {ObsFromNumber(1)});
  VariableStatistics& s = h.SetUp(200);
  ASSERT_EQ(s.PassCases(200), 5);

  const CategoryResults mc = Categories(s, 0);
  ASSERT_EQ(mc.values.size(), 3u);
  EXPECT_EQ(mc.values[0].d, 1);
  EXPECT_EQ(mc.values[2].d, 3);
  EXPECT_EQ(mc.texts, (std::vector<std::string>{"1", "2", "3"}));
  EXPECT_EQ(mc.members, (std::vector<std::int32_t>{1, 2, 1}));  // 2 is labelled in b only
  EXPECT_EQ(mc.counts, (std::vector<double>{3, 3, 1}));
  EXPECT_DOUBLE_EQ(mc.percents[0], 3 / 4.5 * 100);
  EXPECT_EQ(mc.missing, 0.5);
  EXPECT_EQ(mc.total, 4.5);

  const CategoryResults md = Categories(s, 1);
  EXPECT_TRUE(md.values.empty());
  EXPECT_EQ(md.members, (std::vector<std::int32_t>{1, 2}));
  EXPECT_EQ(md.texts, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(md.counts, (std::vector<double>{2, 1}));
  EXPECT_EQ(md.missing, 1.5);
  EXPECT_EQ(s.GetWeightedCaseTotal(), 4.5);
}

// The labelled values of a scale variable: only those that occur, in label
// order; the case total comes from the first shown entry.
TEST(StatsResults, LabelledValuesEntryAndCaseTotal) {
  testsupport::DatasetBuilder b;
  b.Numeric("w");
  b.Numeric("nominal", Measure::Nominal);
  b.Numeric("x");
  for (double v : {3, 1, 2, 7}) b.ValueLabel("x", v, "l");
  for (int l = 0; l < 5; ++l) b.ValueLabel("nominal", l, "l");
  b.Weight("w");
  b.Case({1.5, 1, 1}).Case({1, 2, 2}).Case({1, 3, 5}).Case({2, 4, 1}).Case({1, 5, SYSMIS}).Case({-1, 6, 3});
  Harness h(b);
  h.AddVariable("nominal", 2);
  h.AddVariable("x", 1);
  h.AddVariable("x", 2, true);
  VariableStatistics& s = h.SetUp(4);
  EXPECT_EQ(s.PassCases(4), 6);
  EXPECT_EQ(s.GetCategoriesShown(), (std::vector<bool>{false, true, true}));
  const CategoryResults r = Categories(s, 2);
  EXPECT_EQ(r.texts, (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(r.counts, (std::vector<double>{3.5, 1}));
  EXPECT_EQ(r.total, 6.5);
  EXPECT_EQ(r.missing, 1);
  EXPECT_EQ(s.GetWeightedCaseTotal(), 6.5);  // the scale entry's valid + missing
  std::vector<double> scale;
  s.GetScaleResults(2, scale);
  EXPECT_TRUE(scale.empty());
  EXPECT_EQ(Categories(s, 1).total, 0.0);
}

}  // namespace
