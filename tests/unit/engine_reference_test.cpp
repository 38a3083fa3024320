// The engine against the independent reference (tests/reference): every
// dataset in expected/*.json is rebuilt in memory, passed through the host's
// case iterator into one table per listed dimension or scale variable, and
// every count, percent, total and statistic is compared.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>

#include "engine_block_iterator.h"
#include "host/aggregation.h"
#include "host/dataset.h"
#include "host/engine/scale.h"
#include "host/quvo.h"
#include "support/test_dataset.h"

using nlohmann::json;
namespace TEC = TableEncryptionCodes;

namespace {

const std::filesystem::path kExpected = std::filesystem::path(CODEBOOK_SOURCE_DIR) / "tests/reference/expected";

json Load(const std::string& name) {
  std::ifstream in(kExpected / (name + ".json"));
  return json::parse(in);
}

double Num(const json& v) { return v.is_null() ? SYSMIS : v.get<double>(); }

void ExpectClose(double actual, const json& expected, const std::string& what) {
  const double e = Num(expected);
  if (e == SYSMIS || actual == SYSMIS) {
    EXPECT_EQ(actual, e) << what;
    return;
  }
  EXPECT_NEAR(actual, e, 1e-9 * std::max(1.0, std::fabs(e))) << what;
}

// With percentiles asked the values are kept and the mean is the double
// nearest the exact mean of the values and weights as stored, to the bit.
void ExpectExactMean(double actual, const json& expected, const std::string& what) {
  if (!expected.contains("mean_stored")) return;
  EXPECT_EQ(actual, expected["mean_stored"].get<double>()) << what << " mean, exactly";
}

int IndexOf(const json& ds, const std::string& name) {
  const json& vars = ds["variables"];
  for (std::size_t i = 0; i < vars.size(); ++i) {
    if (vars[i]["name"] == name) return static_cast<int>(i);
  }
  return -1;
}

std::shared_ptr<host::Dataset> BuildDataset(const json& ds) {
  testsupport::DatasetBuilder b;
  return b.FromReference(ds, false).BlockRows(7).Activate();
}

std::vector<AggregationStatistic> ScaleStatistics(int v) {
  std::vector<AggregationStatistic> s{{v, TEC::Valid}, {v, TEC::Missing}, {v, TEC::Mean}, {v, TEC::StdDev}};
  for (double cut : {25.0, 50.0, 75.0}) {
    s.emplace_back(v, TEC::Percentile);
    s.back().SetPTileCutPoint(cut);
  }
  return s;
}

struct Built {
  std::unique_ptr<AggregationTable> table;
  AggregationVariable* dimension = nullptr;
  std::vector<OBS> counted;
};

Built MakeTable(QUVO_InputCaseIterator& it, const json& ds, const json& spec) {
  Built b;
  b.table = std::make_unique<AggregationTable>(it, false, true, -1);
  AggregationCube* cube = b.table->CreateCube();
  const std::string kind = spec["kind"];
  if (kind == "scale") {
    cube->CreateCubeAggregator();
    cube->AddScaleStatistics(ScaleStatistics(IndexOf(ds, spec["variable"])));
    return b;
  }
  std::vector<int> members;
  if (spec.contains("members")) {
    for (const json& m : spec["members"]) members.push_back(IndexOf(ds, m));
  }
  if (kind == "variable") {
    const int v = IndexOf(ds, spec["variable"]);
    b.dimension = new AggregationVariable(v, spec["variable"]);
    if (spec.contains("predefined")) {
      std::vector<ParsedCategory*> cats;
      for (const json& x : spec["predefined"]) {
        cats.push_back(new ParsedCategory(x.is_string() ? ObsFromString(x.get<std::string>()) : ObsFromNumber(x), 0));
      }
      b.dimension->SetPredefinedCategories(cats);
    }
  } else if (kind == "categoryset") {
    b.dimension = new AggregationMCSet(members, "$mc");
  } else {
    // The counted value as the procedure keeps it: blank-padded 8-byte units
    // over the widest member for strings, one double for numbers.
    int widest = 0;
    for (int m : members) widest = std::max(widest, ds["variables"][m]["width"].get<int>());
    const std::string text = spec["counted"];
    int length = 8;
    if (widest > 0) {
      const int units = widest > 8 ? (widest + 7) / 8 : 1;
      b.counted.resize(static_cast<std::size_t>(units));
      std::memset(b.counted.data(), ' ', b.counted.size() * sizeof(OBS));
      std::memcpy(b.counted.data(), text.data(), std::min(text.size(), b.counted.size() * sizeof(OBS)));
      length = units;
    } else {
      b.counted.push_back(ObsFromNumber(std::atof(text.c_str())));
    }
    b.dimension = new AggregationMDSet(members, "$md", b.counted.data(), length, false);
  }
  b.dimension->SetIsTotalNo(false);
  b.dimension->SetIsEmptyCategoriesNo(false);
  cube->AddCategoricalVariable(b.dimension, TEC::Row);
  // The engine keeps its own copy of the counted value from here on.
  if (!b.counted.empty()) std::memset(b.counted.data(), '#', b.counted.size() * sizeof(OBS));
  cube->CreateCubeAggregator();
  cube->AddCategoryAndTotalStatistics({AggregationStatistic(TEC::Count), AggregationStatistic(TEC::Percent)},
                                      b.dimension,
                                      {AggregationStatistic(TEC::Missing), AggregationStatistic(TEC::Total)});
  return b;
}

void CheckTable(const json& ds, const json& spec, Built& b, const std::string& where) {
  std::unique_ptr<CubeAggregator> aggregator(b.table->GetCubeAggregators().front());
  const json& e = spec["expect"];
  if (spec["kind"] == "scale") {
    const StatValues* v = aggregator->GetStatValues({}, -1);
    ASSERT_NE(v, nullptr) << where;
    ASSERT_EQ(v->NumOfValues(), 7) << where;
    const char* keys[] = {"valid", "missing", "mean", "sd", "p25", "p50", "p75"};
    const int shown = spec.value("moments_only", false) ? 4 : 7;
    for (int j = 0; j < shown; ++j) ExpectClose(v->GetStatValue(j)->GetValue1(), e[keys[j]], where + " " + keys[j]);
    ExpectExactMean(v->GetStatValue(2)->GetValue1(), e, where);
    return;
  }
  TableDimension* dim = b.dimension->GetTableDimension();
  EXPECT_EQ(dim, b.table->GetTableMetaData()->GetDimension(0)) << where;
  EXPECT_EQ(dynamic_cast<TableMCSet*>(dim) != nullptr, spec["kind"] == "categoryset") << where;
  EXPECT_EQ(dynamic_cast<TableMDSet*>(dim) != nullptr, spec["kind"] == "dichotomyset") << where;
  EXPECT_EQ(dim->GetNumberOfValues(), e["distinct"].get<std::size_t>()) << where;
  const auto cats = dim->GetCategoryPointers();
  const json& expected = e["categories"];
  ASSERT_EQ(cats.size(), expected.size() + 1) << where;
  for (std::size_t k = 0; k < expected.size(); ++k) {
    const json& x = expected[k];
    const std::string at = where + " category " + std::to_string(k);
    EXPECT_FALSE(cats[k]->IsTotal()) << at;
    EXPECT_EQ(cats[k]->GetText(), x["text"].get<std::string>()) << at;
    if (x["value"].is_string()) {
      EXPECT_EQ(ObsString(cats[k]->GetValue()), x["value"].get<std::string>()) << at;
    } else {
      EXPECT_EQ(cats[k]->GetValue().d, x["value"].get<double>()) << at;
    }
    EXPECT_EQ(cats[k]->GetMemberIndex(), x["member"].is_null() ? -1 : IndexOf(ds, x["member"])) << at;
    const StatValues* v = aggregator->GetStatValues({cats[k]}, -1);
    ASSERT_NE(v, nullptr) << at;
    ASSERT_EQ(v->NumOfValues(), 2) << at;
    ExpectClose(v->GetStatValue(0)->GetValue1(), x["count"], at + " count");
    ExpectClose(v->GetStatValue(1)->GetValue1(), x["percent"], at + " percent");
  }
  ASSERT_TRUE(cats.back()->IsTotal()) << where;
  const StatValues* total = aggregator->GetStatValues({cats.back()}, -1);
  ASSERT_NE(total, nullptr) << where;
  ASSERT_EQ(total->NumOfValues(), 2) << where;
  EXPECT_EQ(total->GetCellStatistics().GetStatistics()[0].GetSummaryStatistic(), TEC::Missing) << where;
  ExpectClose(total->GetStatValue(0)->GetValue1(), e["missing"], where + " missing");
  ExpectClose(total->GetStatValue(1)->GetValue1(), e["total"], where + " total");
  // A categorical table has no whole-table cell.
  EXPECT_EQ(aggregator->GetStatValues({}, -1), nullptr) << where;
  // Read after the pass, the results are kept apart from the freed index:
  // they read the same a second time.
  EXPECT_EQ(dim->GetNumberOfValues(), e["distinct"].get<std::size_t>()) << where;
  EXPECT_EQ(dim->GetCategoryPointers(), cats) << where;
  if (!expected.empty()) {
    EXPECT_EQ(cats[0]->GetText(), expected[0]["text"].get<std::string>()) << where;
    ExpectClose(aggregator->GetStatValues({cats[0]}, -1)->GetStatValue(0)->GetValue1(), expected[0]["count"],
                where + " count read again");
  }
}

void RunDataset(const json& ds, const std::string& name) {
  BuildDataset(ds);
  ProcedureDataSource source;
  std::unique_ptr<QUVO_InputCaseIterator> it(source.CreateCaseIterator(0));
  std::vector<Built> tables;
  for (const json& spec : ds["tables"]) tables.push_back(MakeTable(*it, ds, spec));
  auto& pit = static_cast<ProcDSIterator&>(*it);
  while (it->NextCase() != 0) {
    if (pit.SplitGroupEnd()) continue;
    for (Built& b : tables) b.table->AddNewCase();
  }
  for (std::size_t i = 0; i < tables.size(); ++i) {
    CheckTable(ds, ds["tables"][i], tables[i], name + " table " + std::to_string(i));
  }
}

class ReferenceDataset : public ::testing::TestWithParam<std::string> {};

TEST_P(ReferenceDataset, EveryTableMatchesTheReference) { RunDataset(Load(GetParam()), GetParam()); }

INSTANTIATE_TEST_SUITE_P(Expected, ReferenceDataset,
                         ::testing::Values("weighted_mixed", "unweighted_mixed", "fractional_weights", "single_case",
                                           "two_cases_half_weights", "nothing_enters", "all_missing", "ties",
                                           "worked_example", "whole_cumulative", "huge_values", "mean_small_counts",
                                           "mean_binary_fractions", "mean_mixed_magnitudes",
                                           "mean_mixed_magnitudes_weighted", "mean_largest_cancel"));

// Random decimal weights whose cumulative weights often land on whole
// numbers, with few and with many distinct values: percentiles, category
// counts and missing totals against exact rational arithmetic.
TEST(ReferenceProperty, DecimalWeightsOnWholeCumulativeWeights) {
  const json all = Load("decimal_weights");
  ASSERT_GE(all["datasets"].size(), 40u);
  for (const json& ds : all["datasets"]) RunDataset(ds, ds["name"]);
}

// 20,000 cases weighted 500.00 to 5000.00 with no system-missing value: the
// missing weight less the user-missing categories (the sum the variable
// table makes) must stay below the 1e-8 that would show a "System" row.
TEST(ReferenceProperty, MissingWeightEqualsItsCategories) {
  const json e = Load("realistic_weights");
  const std::size_t n = e["n"];
  testsupport::DatasetBuilder b;
  b.Numeric("w");
  b.Numeric("code").missing.numbers = {6, 7};
  b.Weight("w");
  b.Activate();
  ProcedureDataSource source;
  std::vector<host::CaseBlock> blocks;
  std::uint64_t state = 1;  // the reference's generator
  for (std::size_t start = 0; start < n; start += 4096) {
    std::vector<double> weights;
    std::vector<double> codes;
    for (std::size_t i = start; i < std::min(n, start + 4096); ++i) {
      state = state * 6364136223846793005ULL + 1442695040888963407ULL;
      weights.push_back(static_cast<double>(50000 + (state >> 33) % 450001) / 100.0);
      codes.push_back(static_cast<double>(1 + (state >> 20) % 7));
    }
    blocks.push_back(enginetest::NumericBlock({weights, codes}, weights));
  }
  enginetest::BlockIterator it(&source, &blocks);
  json spec = {{"kind", "variable"}, {"variable", "code"}};
  json ds = {{"variables", {{{"name", "w"}, {"width", 0}}, {{"name", "code"}, {"width", 0}}}}};
  Built table = MakeTable(it, ds, spec);
  while (it.NextCase() != 0) table.table->AddNewCase();
  std::unique_ptr<CubeAggregator> aggregator(table.table->GetCubeAggregators().front());
  const auto cats = table.dimension->GetTableDimension()->GetCategoryPointers();
  const json& expected = e["expect"]["categories"];
  ASSERT_EQ(cats.size(), expected.size() + 1);
  double userMissing = 0.0;
  for (std::size_t k = 0; k < expected.size(); ++k) {
    const double count = aggregator->GetStatValues({cats[k]}, -1)->GetStatValue(0)->GetValue1();
    ExpectClose(count, expected[k]["count"], "count of " + expected[k]["value"].dump());
    if (expected[k]["value"] == 6 || expected[k]["value"] == 7) userMissing += count;
  }
  const double missing = aggregator->GetStatValues({cats.back()}, -1)->GetStatValue(0)->GetValue1();
  ExpectClose(missing, e["expect"]["missing"], "missing");
  EXPECT_LE(std::fabs(missing - userMissing), 1e-8);
}

// A million values of 1e9 plus noise: the standard deviation must survive the
// cancellation that naive sums of squares suffer.
TEST(EngineStability, LargeOffsetKeepsStandardDeviationAndQuartiles) {
  const json e = Load("stable_large");
  const std::size_t n = e["n"];
  testsupport::DatasetBuilder b;
  b.Numeric("x");
  b.Activate();
  ProcedureDataSource source;
  std::vector<host::CaseBlock> blocks;
  for (std::size_t start = 0; start < n; start += 65536) {
    std::vector<double> column;
    for (std::size_t i = start; i < std::min(n, start + 65536); ++i) {
      column.push_back(1e9 + static_cast<double>((i * 7919) % 1000) / 1000.0);
    }
    blocks.push_back(enginetest::NumericBlock({column}));
  }
  enginetest::BlockIterator it(&source, &blocks);
  AggregationTable table(it, false, true, -1);
  table.CreateCube()->CreateCubeAggregator();
  table.CreateCube()->AddScaleStatistics(ScaleStatistics(0));
  while (it.NextCase() != 0) table.AddNewCase();
  std::unique_ptr<CubeAggregator> aggregator(table.GetCubeAggregators().front());
  const StatValues* v = aggregator->GetStatValues({}, -1);
  ASSERT_NE(v, nullptr);
  const char* keys[] = {"valid", "missing", "mean", "sd", "p25", "p50", "p75"};
  for (int j = 0; j < 7; ++j) ExpectClose(v->GetStatValue(j)->GetValue1(), e["expect"][keys[j]], keys[j]);
  ExpectExactMean(v->GetStatValue(2)->GetValue1(), e["expect"], "stable_large");
}

// Weighted selection: the smallest value whose cumulative weight reaches t.
// The per-case check: a table takes exactly the cases it is given, however
// the calls come: cases skipped, a case given twice, calls at a split-group
// end (no case there), over blocks of several rows, of one row and after a
// block the table skipped whole.
TEST(EngineTally, TakesExactlyTheCasesItIsGiven) {
  testsupport::DatasetBuilder b;
  b.Numeric("code");
  b.Activate();
  ProcedureDataSource source;
  // Case n has the code n; groups start at cases 4, 6 and 9.
  const std::vector<std::size_t> sizes{5, 1, 3, 6};
  std::vector<host::CaseBlock> blocks;
  double code = 0;
  for (std::size_t rows : sizes) {
    std::vector<double> column;
    for (std::size_t r = 0; r < rows; ++r) column.push_back(++code);
    blocks.push_back(enginetest::NumericBlock({column}));
    blocks.back().groupStart.assign(rows, 0);
  }
  blocks[0].groupStart[3] = 1;
  blocks[1].groupStart[0] = 1;
  blocks[2].groupStart[2] = 1;
  // Calls per case: none for the third block and every multiple of 5, two
  // for every multiple of 4, one otherwise.
  const auto calls = [](int n) { return (n >= 7 && n <= 9) || n % 5 == 0 ? 0 : n % 4 == 0 ? 2 : 1; };
  enginetest::BlockIterator it(&source, &blocks);
  json spec = {{"kind", "variable"}, {"variable", "code"}};
  json ds = {{"variables", {{{"name", "code"}, {"width", 0}}}}};
  Built table = MakeTable(it, ds, spec);
  int n = 0;
  int groupEnds = 0;
  while (it.NextCase() != 0) {
    if (it.SplitGroupEnd()) {
      ++groupEnds;
      table.table->AddNewCase();
      continue;
    }
    for (int k = calls(++n); k > 0; --k) table.table->AddNewCase();
  }
  ASSERT_EQ(n, 15);
  ASSERT_EQ(groupEnds, 3);
  std::unique_ptr<CubeAggregator> aggregator(table.table->GetCubeAggregators().front());
  const auto cats = table.dimension->GetTableDimension()->GetCategoryPointers();
  std::vector<double> seen;
  double total = 0;
  for (const AggregationCategory* c : cats) {
    if (c->IsTotal()) continue;
    const double count = aggregator->GetStatValues({c}, -1)->GetStatValue(0)->GetValue1();
    EXPECT_EQ(count, calls(static_cast<int>(c->GetValue().d))) << "code " << c->GetValue().d;
    seen.push_back(c->GetValue().d);
    total += count;
  }
  EXPECT_EQ(seen, (std::vector<double>{1, 2, 3, 4, 6, 11, 12, 13, 14})) << "the codes given at least once";
  EXPECT_EQ(aggregator->GetStatValues({cats.back()}, -1)->GetStatValue(1)->GetValue1(), total);
  EXPECT_EQ(total, 11);
}

TEST(EngineWeightedSelect, CumulativeWeightRule) {
  const std::vector<host::engine::WeightedValue> values{{5, 1}, {1, 0.5}, {3, 1}, {3, 1.5}, {9, 2}};
  // Sorted: 1 (0.5), 3 (2.5 cumulative 3.0), 5 (4.0), 9 (6.0).
  const struct {
    double t;
    double x;
  } cases[] = {{0.25, 1}, {0.5, 1}, {0.75, 3}, {3.0, 3}, {3.5, 5}, {4.0, 5}, {4.5, 9}, {6.0, 9}, {7.0, 9}};
  auto shared = values;  // one array through every selection, as the engine uses it
  std::vector<double> targets;
  for (const auto& c : cases) {
    auto fresh = values;
    EXPECT_EQ(host::engine::WeightedSelect(fresh, c.t), c.x) << c.t;
    EXPECT_EQ(host::engine::WeightedSelect(shared, c.t), c.x) << c.t;
    targets.insert(targets.begin(), c.t);  // descending: the order must not matter
  }
  auto many = values;
  const std::vector<double> found = host::engine::WeightedSelectMany(many, targets);
  for (std::size_t i = 0; i < targets.size(); ++i) {
    EXPECT_EQ(found[i], cases[std::size(cases) - 1 - i].x) << targets[i];
  }
}

}  // namespace
