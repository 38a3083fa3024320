// The aggregation engine alone: one table fed 1,000,000 cases held in memory,
// reported as cell updates (cases added to a table) per second. The case
// source is an in-memory block iterator, so reading and parsing cost nothing.

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <random>
#include <string>

#include "engine_block_iterator.h"
#include "host/aggregation.h"
#include "host/data/dataset.h"
#include "host/dataset.h"

namespace TEC = TableEncryptionCodes;

namespace {

constexpr std::size_t kCases = 1'000'000;
constexpr std::size_t kBlockRows = 65'536;

enum Column { kCode = 0, kFruit = 1, kIncome = 2, kFraction = 3, kColumns = 4 };

// The dictionary and the cases, made once for every benchmark.
struct Data {
  std::shared_ptr<host::Dataset> dataset = std::make_shared<host::Dataset>();
  std::vector<host::CaseBlock> plain;
  std::vector<host::CaseBlock> weighted;
  std::unique_ptr<ProcedureDataSource> source;

  Data() {
    auto add = [&](const char* name, int width) {
      auto v = std::make_unique<QUVO_Variable>();
      v->name = name;
      v->width = width;
      dataset->variables.push_back(std::move(v));
    };
    add("code", 0);
    add("fruit", 12);
    add("income", 0);
    add("fraction", 0);
    dataset->variables[kCode]->missing.numbers = {9};
    dataset->variables[kIncome]->missing.hasRange = true;
    dataset->variables[kIncome]->missing.low = -std::numeric_limits<double>::infinity();
    dataset->variables[kIncome]->missing.high = -1;
    dataset->IndexNames();
    host::SetActiveDataset(dataset);
    source = std::make_unique<ProcedureDataSource>();

    std::mt19937_64 rng(42);
    std::uniform_int_distribution<int> code(1, 9);
    std::uniform_int_distribution<int> fruit(0, 49);
    std::lognormal_distribution<double> income(10.0, 0.8);
    std::uniform_int_distribution<int> weight(0, 7);
    const double weights[] = {1, 2, 0.5, 1.5, 0, 3, 1.25, -1};
    for (std::size_t start = 0; start < kCases; start += kBlockRows) {
      host::CaseBlock b;
      b.rows = std::min(kBlockRows, kCases - start);
      b.numbers.resize(kColumns);
      b.strings.resize(kColumns);
      b.strings[kFruit].offsets.push_back(0);
      for (std::size_t r = 0; r < b.rows; ++r) {
        b.numbers[kCode].push_back(code(rng));
        const std::string f = "fruit-" + std::to_string(fruit(rng));
        b.strings[kFruit].bytes += f;
        b.strings[kFruit].offsets.push_back(static_cast<std::uint32_t>(b.strings[kFruit].bytes.size()));
        b.numbers[kIncome].push_back(std::round(income(rng) * 100) / 100);
        b.numbers[kFraction].push_back(static_cast<double>(code(rng)) / 4.0 + 0.1);
      }
      plain.push_back(b);
      for (std::size_t r = 0; r < b.rows; ++r) b.weights.push_back(weights[weight(rng)]);
      weighted.push_back(std::move(b));
    }
  }
};

Data& TheData() {
  static Data data;
  return data;
}

std::vector<AggregationStatistic> Scale(int v) {
  std::vector<AggregationStatistic> s{{v, TEC::Valid}, {v, TEC::Missing}, {v, TEC::Mean}, {v, TEC::StdDev}};
  for (double cut : {25.0, 50.0, 75.0}) {
    s.emplace_back(v, TEC::Percentile);
    s.back().SetPTileCutPoint(cut);
  }
  return s;
}

// Sets one table up, passes every case and reads every cell once.
void Run(benchmark::State& state, int column, bool scale, bool weighted) {
  Data& data = TheData();
  for (auto _ : state) {
    enginetest::BlockIterator it(data.source.get(), weighted ? &data.weighted : &data.plain);
    AggregationTable table(it, false, true, -1);
    AggregationCube* cube = table.CreateCube();
    AggregationVariable* dim = nullptr;
    if (!scale) {
      dim = new AggregationVariable(column, "v");
      dim->SetIsTotalNo(false);
      cube->AddCategoricalVariable(dim, TEC::Row);
    }
    cube->CreateCubeAggregator();
    if (scale) {
      cube->AddScaleStatistics(Scale(column));
    } else {
      cube->AddCategoryAndTotalStatistics({AggregationStatistic(TEC::Count), AggregationStatistic(TEC::Percent)}, dim,
                                          {AggregationStatistic(TEC::Missing), AggregationStatistic(TEC::Total)});
    }
    while (it.NextCase() != 0) table.AddNewCase();
    std::unique_ptr<CubeAggregator> aggregator(table.GetCubeAggregators().front());
    if (scale) {
      benchmark::DoNotOptimize(aggregator->GetStatValues({}, -1)->GetStatValue(6)->GetValue1());
    } else {
      for (AggregationCategory* c : dim->GetTableDimension()->GetCategoryPointers()) {
        benchmark::DoNotOptimize(aggregator->GetStatValues({c}, -1));
      }
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kCases));
  state.counters["cases"] = static_cast<double>(kCases);
}

// The case iterator alone: the floor under every figure above.
void BM_IteratorOnly(benchmark::State& state) {
  Data& data = TheData();
  for (auto _ : state) {
    enginetest::BlockIterator it(data.source.get(), &data.plain);
    double sum = 0.0;
    while (it.NextCase() != 0) sum += it.Number(kCode);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kCases));
}

void BM_CategoricalSmallIntegers(benchmark::State& s) { Run(s, kCode, false, false); }
void BM_CategoricalFractions(benchmark::State& s) { Run(s, kFraction, false, false); }
void BM_CategoricalStrings(benchmark::State& s) { Run(s, kFruit, false, false); }
void BM_ScaleWithQuartiles(benchmark::State& s) { Run(s, kIncome, true, false); }
void BM_WeightedCategoricalSmallIntegers(benchmark::State& s) { Run(s, kCode, false, true); }
void BM_WeightedScaleWithQuartiles(benchmark::State& s) { Run(s, kIncome, true, true); }

BENCHMARK(BM_IteratorOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CategoricalSmallIntegers)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CategoricalFractions)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CategoricalStrings)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScaleWithQuartiles)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WeightedCategoricalSmallIntegers)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WeightedScaleWithQuartiles)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
