// A pass gathers every block on its own and merges the blocks in file order.
// Read as one block (one pass, nothing merged) and cut into a few hundred
// blocks read by 1, 2 and 4 threads, the same weighted file with user-missing
// values, split groups, quoted line breaks, sets, labelled values and
// category limits that end mid-block must give the same results: counts and
// totals to the last bits a compensated sum can differ in, quartiles
// exactly, and the same categories, flags and case counts.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <sstream>

#include "codebook/stats/variable_statistics.h"
#include "data_test_util.h"
#include "host/data/csv_source.h"
#include "host/dataset.h"
#include "host/engine/pass.h"
#include "host/shards/wire.h"
#include "support/statistics_run.h"

namespace TEC = TableEncryptionCodes;
using codebook::ItemHandle;
using codebook::PlanEntry;
using codebook::VariableStatistics;

namespace {

// The same small congruential generator for every file and block made here,
// so that each is the same on every run and platform.
struct Lcg {
  unsigned state;
  unsigned operator()(unsigned n) {
    state = state * 1103515245u + 12345u;
    return (state >> 8) % n;
  }
};

// A survey-like file; deterministic, about 4,000 cases.
std::string MakeCsv() {
  std::ostringstream csv;
  csv << "g,w,code,many,s,income,age,m1,m2,m3,b1,b2\n";
  Lcg next{12345};
  for (int i = 0; i < 4000; ++i) {
    const int g = i / 700;  // split groups change mid-block
    csv << g << ",";
    const unsigned wk = next(40);
    if (wk == 0) {
      csv << "";
    } else if (wk == 1) {
      csv << "0";
    } else if (wk == 2) {
      csv << "-1";
    } else {
      csv << (next(500) + 1) / 100.0;
    }
    csv << "," << (next(10) == 0 ? 9 : 1 + next(6));
    // A new value every 25 cases: over a limit of 40 around case 1,000.
    csv << "," << (i / 25) * 3 + next(2);
    const unsigned sk = next(12);
    if (sk == 0) {
      csv << ",NA";
    } else if (sk <= 2) {
      // A quoted line break followed by text that reads as the start of a
      // record: a reader that starts after it gets a record of the right
      // length with the wrong cells.
      csv << ",\"note\n1,2,3,4,5\"";
    } else {
      csv << "," << static_cast<char>('a' + next(8));
    }
    csv << ",";
    if (next(15) != 0) csv << (next(2000000) / 7.0);
    csv << "," << 18 + next(60);
    csv << "," << next(2) << "," << next(2) << "," << next(3);
    csv << "," << 1 + next(4) << "," << 1 + next(4) << "\n";
  }
  return csv.str();
}

using testsupport::CategoryResults;
using testsupport::RunResults;

// The entries the default command would plan.
RunResults RunStatistics(std::int32_t maxCats) {
  return testsupport::RunStatistics(testsupport::SurveyEntries({"m1", "m2", "m3"}), maxCats);
}

void ExpectNear(const std::vector<double>& a, const std::vector<double>& b, const std::string& what) {
  ASSERT_EQ(a.size(), b.size()) << what;
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_NEAR(a[i], b[i], 1e-12 * std::max(1.0, std::fabs(b[i]))) << what << " [" << i << "]";
  }
}

void ExpectSame(const RunResults& got, const RunResults& want, const std::string& how) {
  EXPECT_EQ(got.cases, want.cases) << how;
  EXPECT_EQ(got.shown, want.shown) << how;
  EXPECT_NEAR(got.caseTotal, want.caseTotal, 1e-9) << how;
  ASSERT_EQ(got.scale.size(), want.scale.size());
  for (std::size_t i = 0; i < want.scale.size(); ++i) {
    const std::string what = how + ", entry " + std::to_string(i);
    const std::vector<double>& g = got.scale[i];
    const std::vector<double>& w = want.scale[i];
    ASSERT_EQ(g.size(), w.size()) << what;
    if (w.size() == 7) {
      ExpectNear({g.begin(), g.begin() + 4}, {w.begin(), w.begin() + 4}, what + " moments");
      EXPECT_EQ(std::vector<double>(g.begin() + 4, g.end()), std::vector<double>(w.begin() + 4, w.end()))
          << what << " quartiles";
    } else {
      ExpectNear(g, w, what);
    }
    const CategoryResults& gc = got.categories[i];
    const CategoryResults& wc = want.categories[i];
    EXPECT_EQ(gc.texts, wc.texts) << what;
    EXPECT_EQ(gc.members, wc.members) << what;
    ASSERT_EQ(gc.values.size(), wc.values.size()) << what;
    for (std::size_t k = 0; k < wc.values.size(); ++k) EXPECT_EQ(gc.values[k].u, wc.values[k].u) << what;
    ExpectNear(gc.counts, wc.counts, what + " counts");
    ExpectNear(gc.percents, wc.percents, what + " percents");
    EXPECT_NEAR(gc.missing, wc.missing, 1e-9) << what;
    EXPECT_NEAR(gc.total, wc.total, 1e-9) << what;
  }
}

class MergedBlocks : public ::testing::Test {
 protected:
  void SetUp() override {
    fDir.Write("data.csv", MakeCsv());
    std::vector<std::string> warnings;
    fDataset = host::LoadDataset(
        fDir.Write("datapackage.json", testsupport::SurveyDescriptor("data.csv", {"m1", "m2", "m3"}, 250000)),
        warnings);
    const auto* csv = dynamic_cast<const host::CsvCaseSource*>(fDataset->cases.get());
    ASSERT_NE(csv, nullptr);
    fLayout = csv->Layout();
    host::SetActiveDataset(fDataset);
  }
  void Chunks(std::int64_t first, std::int64_t largest) {
    host::CsvLayout layout = fLayout;
    layout.firstChunkBytes = first;
    layout.largestChunkBytes = largest;
    fDataset->cases = std::make_shared<host::CsvCaseSource>(layout);
    fDataset->caseCount.reset();
  }

  datatest::TempDir fDir;
  std::shared_ptr<host::Dataset> fDataset;
  host::CsvLayout fLayout;
};

TEST_F(MergedBlocks, EqualOnePass) {
  for (std::int32_t maxCats : {40, 200, 0}) {
    Chunks(std::int64_t{1} << 30, std::int64_t{1} << 30);
    host::SetThreads(1);
    const RunResults whole = RunStatistics(maxCats);
    ASSERT_EQ(whole.cases, 4000);
    for (int threads : {1, 2, 4}) {
      Chunks(61, 700);
      host::SetThreads(threads);
      ExpectSame(RunStatistics(maxCats), whole,
                 "MAXCATS " + std::to_string(maxCats) + ", " + std::to_string(threads) + " threads");
    }
  }
}

// A pass with only categorical entries stops once none takes a case; cut
// into blocks it stops at the same case and finds the same counts.
TEST_F(MergedBlocks, EarlyStopAtTheSameCase) {
  Chunks(std::int64_t{1} << 30, std::int64_t{1} << 30);
  ProcedureDataSource source;
  auto counts = [&](std::int64_t first, int threads) {
    Chunks(first, 500);
    host::SetThreads(threads);
    auto* h = new ItemHandle();
    h->Item().fDataSource = &source;
    const int index = source.FindVarIndex("many", 0);
    h->Item().fKind = codebook::kItemVariable;
    h->Item().fIndex = index;
    h->Item().fVariable = source.GetVariable(index);
    PlanEntry entry{std::unique_ptr<ItemHandle>(h)};
    entry.SetTreatment(2);
    std::vector<PlanEntry*> plan{&entry};
    std::vector<AggregationStatistic> categoryStatistics{AggregationStatistic(TEC::Count)};
    const std::vector<std::int32_t> scaleCodes{222, 198};
    std::unique_ptr<QUVO_InputCaseIterator> it(source.CreateCaseIterator(0));
    VariableStatistics s(plan, &categoryStatistics, &scaleCodes);
    s.SetUpTables(static_cast<ProcDSIterator*>(it.get()), 10);
    const std::int32_t cases = s.PassCases(10);
    CategoryResults c;
    c.total = s.GetCategoryResults(0, c.counts, c.percents, c.values, c.texts, c.members, c.missing);
    return std::make_pair(cases, c.counts);
  };
  const auto whole = counts(std::int64_t{1} << 30, 1);
  EXPECT_LT(whole.first, 200);
  for (int threads : {1, 2, 4}) EXPECT_EQ(counts(37, threads), whole) << threads;
}

}  // namespace

namespace {

// A gatherer beside the tables sees every block once, in file order, however
// many threads read them.
struct RowCount : host::BlockWork {
  std::size_t rows = 0;
  double first = 0;
};

TEST_F(MergedBlocks, GatherersSeeEveryBlockInOrder) {
  for (int threads : {1, 3}) {
    Chunks(61, 700);
    host::SetThreads(threads);
    ProcedureDataSource source;
    std::unique_ptr<QUVO_InputCaseIterator> it(source.CreateCaseIterator(0));
    const int many = source.FindVarIndex("many", 0);
    std::size_t rows = 0;
    std::vector<double> firsts;
    host::BlockGatherer g;
    g.columns = {many};
    g.gather = [many](const host::CaseBlock& b) {
      auto w = std::make_unique<RowCount>();
      w->rows = b.rows;
      w->first = b.numbers[static_cast<std::size_t>(many)][0];
      return std::unique_ptr<host::BlockWork>(std::move(w));
    };
    g.merge = [&](host::BlockWork* w) {
      const auto& r = static_cast<const RowCount&>(*w);
      rows += r.rows;
      firsts.push_back(r.first);
    };
    auto* cases = static_cast<ProcDSIterator*>(it.get());
    cases->Pass().AddGatherer(std::move(g));
    std::vector<double> seen;  // the first case of every block, as the iterator walks them
    while (it->NextCase() != 0) {
      if (!cases->SplitGroupEnd() && cases->Position().row == 0) seen.push_back(cases->Number(many));
    }
    EXPECT_EQ(rows, 4000u);
    EXPECT_GT(firsts.size(), 100u);
    EXPECT_EQ(firsts, seen) << threads;
  }
}

// A block gathered whole, with the entering weights' total added once for
// every table and each category's missing flag worked out once, holds
// exactly what the same rows added one at a time hold: every running sum
// made of the same additions in the same order. Its missing weight is the
// one summed here, pre-defined categories or not.
// A block of codes (8 and 9 user-missing), texts ("b" user-missing) and
// continuous values, weighted (some weights unusable) or not.
host::CaseBlock CodesBlock(unsigned seed, bool weighted) {
  host::CaseBlock block;
  block.rows = 3000;
  block.numbers.resize(3);
  block.strings.resize(3);
  block.strings[1].offsets.push_back(0);
  Lcg next{seed};
  const double nan = std::nan("");
  for (std::size_t r = 0; r < block.rows; ++r) {
    block.numbers[0].push_back(next(15) == 0 ? SYSMIS : 1 + next(9));
    const std::string s(1, static_cast<char>('a' + next(5)));
    block.strings[1].bytes += s;
    block.strings[1].offsets.push_back(static_cast<std::uint32_t>(block.strings[1].bytes.size()));
    block.numbers[2].push_back(next(50) == 0 ? SYSMIS : next(1000000) / 100.0);
    const unsigned k = next(20);
    if (weighted) block.weights.push_back(k == 0 ? 0.0 : k == 1 ? -1.0 : k == 2 ? nan : (1 + next(700)) / 100.0);
  }
  return block;
}

// Tables of every dimension kind over CodesBlock's columns, and scales.
std::vector<host::engine::TableRules> CodesRules() {
  host::engine::ColumnRule code;
  code.index = 0;
  code.known = code.usable = code.checkMissing = true;
  code.numericMissing.values = {9};
  code.numericMissing.hasRange = true;
  code.numericMissing.low = 8;
  code.numericMissing.high = 8;
  host::engine::ColumnRule text;
  text.index = 1;
  text.known = text.usable = text.isString = text.checkMissing = true;
  text.stringMissing = {"b"};
  host::engine::ColumnRule amount;
  amount.index = 2;
  amount.known = amount.usable = true;
  std::vector<host::engine::TableRules> all(8);
  for (std::size_t t = 0; t < 7; ++t) all[t].dimension.emplace();
  all[0].dimension->members = {code};
  all[1].dimension->members = {text};
  all[1].dimension->isString = true;
  all[2].dimension->members = {code};
  all[2].dimension->fixed = true;
  all[2].dimension->predefinedNumbers = {3, 9, 1};  // 8 missing but not among them
  all[3].dimension->members = {text};
  all[3].dimension->isString = true;
  all[3].dimension->fixed = true;
  all[3].dimension->predefinedStrings = {"c", "a"};
  all[4].dimension->kind = host::DimensionKind::CategorySet;
  all[4].dimension->members = {code, code};
  all[5].dimension->members = {code};
  all[5].scales = {{code, true}};
  all[6].dimension->kind = host::DimensionKind::DichotomySet;
  all[6].dimension->members = {code, code};
  all[6].dimension->countedNumber = 2;
  all[6].dimension->knownMembers = 2;
  all[7].scales = {{amount, true}, {code, false}};
  return all;
}

// The same counts, totals and missing weights, to the bit (a saved state
// also keeps how a sum is split between its value and its carry).
void ExpectSameCounts(const host::engine::DimensionCounts& a, const host::engine::DimensionCounts& b,
                      const std::string& what) {
  ASSERT_EQ(a.Slots(), b.Slots()) << what;
  for (std::uint32_t s = 0; s < a.Slots(); ++s) EXPECT_EQ(a.Count(s), b.Count(s)) << what << ", slot " << s;
  EXPECT_EQ(a.Cases(), b.Cases()) << what;
  EXPECT_EQ(a.TotalWeight(), b.TotalWeight()) << what;
  EXPECT_EQ(a.MissingWeight(), b.MissingWeight()) << what;
}

TEST(GatheredBlock, SharedTotalEqualsRowByRow) {
  const host::CaseBlock block = CodesBlock(777, true);
  std::vector<host::engine::TableRules> all = CodesRules();
  all.resize(6);
  // The missing weight, summed here: a code that is system- or
  // user-missing, a text that is "b" (for a set: no member with a category).
  double missingCode = 0.0, missingText = 0.0;
  for (std::size_t r = 0; r < block.rows; ++r) {
    const double w = block.weights[r];
    if (!(w > 0.0)) continue;
    const double x = block.numbers[0][r];
    if (x == SYSMIS || x == 8 || x == 9) missingCode += w;
    if (block.strings[1].bytes[r] == 'b') missingText += w;
  }
  const host::engine::BlockEntry entry = host::engine::BlockEntry::Of(block);
  ASSERT_NE(entry.codes, nullptr);
  for (std::size_t t = 0; t < all.size(); ++t) {
    const host::engine::TableRules& rules = all[t];
    host::engine::TableAccumulator whole(rules);
    whole.AddRows(rules, block, 0, block.rows, &entry);
    // The block's shared entry and codes give what the table's own loop
    // over the block gives, as it is saved.
    host::engine::TableAccumulator alone(rules);
    alone.AddRows(rules, block, 0, block.rows);
    host::wire::Writer a, b;
    whole.Save(rules, a);
    alone.Save(rules, b);
    EXPECT_EQ(a.Buffer(), b.Buffer()) << "table " << t;
    host::engine::TableAccumulator byRow(rules);
    if (rules.scales.empty()) {
      for (std::size_t r = 0; r < block.rows; ++r) byRow.AddRows(rules, block, r, r + 1);
    } else {
      // Scale moments are summed by run, so the rows come in one call: the
      // block's total is still summed by the table itself.
      byRow.AddRows(rules, block, 0, block.rows);
    }
    ExpectSameCounts(*whole.Dimension(), *byRow.Dimension(), "table " + std::to_string(t));
    const bool text = t == 1 || t == 3;
    EXPECT_NEAR(whole.Dimension()->MissingWeight(), text ? missingText : missingCode, 1e-9) << "table " << t;
  }
}

// Weights of at most six decimals are counted as whole numbers of their
// unit: each count, missing weight and total is the exact decimal sum
// rounded once, whatever the category kind counted that way (numbers,
// texts, a category set), and a category that every case falls in has the
// total's very value. Against sums of the weights' cents.
TEST(GatheredBlock, CodedWeightsCountExactDecimalSums) {
  host::CaseBlock block = CodesBlock(2024, true);
  // Cents of each row as written (0 for a case that does not enter).
  std::vector<std::int64_t> cents(block.rows, 0);
  for (std::size_t r = 0; r < block.rows; ++r) {
    const double w = block.weights[r];
    if (w > 0.0) cents[r] = std::llround(w * 100.0);
  }
  const host::engine::BlockEntry entry = host::engine::BlockEntry::Of(block);
  ASSERT_NE(entry.codes, nullptr);
  const auto exact = [](std::int64_t c) { return static_cast<double>(c) / 100.0; };
  std::int64_t total = 0;
  for (std::int64_t c : cents) total += c;
  const std::vector<host::engine::TableRules> all = CodesRules();
  for (const std::size_t t : {0, 1, 4}) {
    const host::engine::TableRules& rules = all[t];
    const bool text = t == 1;
    std::map<std::string, std::int64_t> expected;
    std::int64_t missing = 0;
    for (std::size_t r = 0; r < block.rows; ++r) {
      if (cents[r] == 0) continue;
      if (text) {
        const std::string s = std::string(block.strings[1].Cell(r));
        expected[s] += cents[r];
        missing += s == "b" ? cents[r] : 0;
      } else {
        const double x = block.numbers[0][r];
        const bool valid = x != SYSMIS && x != 8 && x != 9;
        if (x != SYSMIS && (t == 0 || valid)) expected[std::to_string(x)] += cents[r];
        missing += valid ? 0 : cents[r];
      }
    }
    host::engine::TableAccumulator acc(rules);
    acc.AddRows(rules, block, 0, block.rows, &entry);
    const host::engine::DimensionCounts& counts = *acc.Dimension();
    ASSERT_EQ(counts.Slots(), expected.size()) << "table " << t;
    for (std::uint32_t s = 0; s < counts.Slots(); ++s) {
      const std::string key = text ? std::string(counts.String(s)) : std::to_string(counts.Number(s));
      EXPECT_EQ(counts.Count(s), exact(expected[key])) << "table " << t << ", " << key;
    }
    EXPECT_EQ(counts.MissingWeight(), exact(missing)) << "table " << t;
    EXPECT_EQ(counts.TotalWeight(), exact(total)) << "table " << t;
  }
  // Every case in one category: its count is the total, to the bit.
  host::CaseBlock one = block;
  std::fill(one.numbers[0].begin(), one.numbers[0].end(), 3.0);
  const host::engine::BlockEntry oneEntry = host::engine::BlockEntry::Of(one);
  for (const std::size_t t : {0, 4}) {
    host::engine::TableAccumulator acc(all[t]);
    acc.AddRows(all[t], one, 0, one.rows, &oneEntry);
    ASSERT_EQ(acc.Dimension()->Slots(), 1u);
    EXPECT_EQ(acc.Dimension()->Count(0), acc.Dimension()->TotalWeight()) << "table " << t;
  }
}

// Which weights a block is coded for: the fewest decimals that read every
// entering weight (rows before one that needs more are scaled to it), a
// case that does not enter coded 0; no codes past six decimals, for a weight
// below half the unit or one whose code needs more than 31 bits.
TEST(GatheredBlock, WeightCodes) {
  const double nan = std::nan("");
  struct Case {
    std::vector<double> weights;
    bool coded;
    double unit;
    std::vector<std::int32_t> codes;
  };
  const std::vector<Case> cases = {
      {{1.0, 2.0, 0.0, -1.0, nan, SYSMIS, 7.0}, true, 1.0, {1, 2, 0, 0, 0, 0, 7}},
      {{1.0, 0.5, 2.25, 0.125, 3.0}, true, 1e3, {1000, 500, 2250, 125, 3000}},
      {{2.2616, 0.5845, 1.0}, true, 1e4, {22616, 5845, 10000}},
      {{0.1, 0.000001, 1234.5}, true, 1e6, {100000, 1, 1234500000}},
      {{0.1, 0.0000001}, false, 0.0, {}},
      {{1.0, 1.0 / 3.0}, false, 0.0, {}},
      {{3e9, 1.0}, false, 0.0, {}},
      {{1e9, 0.5}, false, 0.0, {}},  // 1e9 in tenths is past 2^31
      {{0.0, -2.0}, true, 1.0, {0, 0}},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    std::vector<std::int32_t> codes;
    double unit = 0.0;
    std::int64_t sum = -1;
    const bool coded = host::engine::BlockEntry::Code(c.weights.data(), 0, c.weights.size(), codes, unit, sum);
    ASSERT_EQ(coded, c.coded) << "case " << i;
    if (!coded) continue;
    EXPECT_EQ(unit, c.unit) << "case " << i;
    codes.resize(c.weights.size());
    EXPECT_EQ(codes, c.codes) << "case " << i;
    std::int64_t expected = 0;
    for (std::int32_t k : c.codes) expected += k;
    EXPECT_EQ(sum, expected) << "case " << i;
  }
  // A tally folded in: the decimal rounded once, also past 2^53 units.
  for (const std::int64_t tally : {std::int64_t{1}, std::int64_t{22616}, (std::int64_t{1} << 53) + 12345}) {
    host::CompensatedSum sum;
    host::engine::AddTally(sum, tally, 1e4);
    EXPECT_EQ(sum.Value(), static_cast<double>(static_cast<long double>(tally) / 1e4L)) << tally;
  }
}

// A wide pass resets its per-block accumulators for later blocks: reset,
// one must gather a block exactly as a new one, also after the first
// block's merge moved its contents out, and after its values went raw.
// A dichotomy set counts a member's weights where it holds the counted
// value: weights 0, -1 and NaN keep a case out, and a member whose count
// passes the largest double is counted again by the careful loop. Against
// sums in long double.
TEST(GatheredBlock, DichotomyCountsAgreeWithPlainSums) {
  host::CaseBlock block = CodesBlock(4242, true);
  const host::engine::TableRules rules = CodesRules()[6];
  for (const bool huge : {false, true}) {
    if (huge) {
      block.weights[0] = block.weights[1] = 1e308;
      block.numbers[0][0] = block.numbers[0][1] = 2;
    }
    long double expected = 0.0L, missing = 0.0L;
    for (std::size_t r = 0; r < block.rows; ++r) {
      const double w = block.weights[r];
      if (!(w > 0.0)) continue;
      if (block.numbers[0][r] == 2) {
        expected += w;
      } else {
        missing += w;
      }
    }
    host::engine::TableAccumulator acc(rules);
    acc.AddRows(rules, block, 0, block.rows);
    const host::engine::DimensionCounts& counts = *acc.Dimension();
    for (std::uint32_t member = 0; member < 2; ++member) {
      if (huge) {
        EXPECT_FALSE(std::isfinite(counts.Count(member)));
      } else {
        EXPECT_DOUBLE_EQ(counts.Count(member), static_cast<double>(expected));
      }
    }
    if (!huge) {
      EXPECT_DOUBLE_EQ(counts.MissingWeight(), static_cast<double>(missing));
    }
  }
}

// A variable's counts are taken by a row loop that stops at the first value
// new to the block and goes on after it: codes (some user-missing) that
// turn from the dense lookup to the hashed one mid-block, and amounts new
// nearly every row. Each category's count, the missing weight and the
// slots' order of first sight, against sums in long double.
TEST(GatheredBlock, VariableCountsAgreeWithPlainSums) {
  for (const bool weighted : {true, false}) {
    host::CaseBlock block = CodesBlock(weighted ? 99 : 98, weighted);
    for (std::size_t r = 1500; r < block.rows; r += 97) block.numbers[0][r] = 2.5;
    const std::vector<host::engine::TableRules> all = CodesRules();
    host::engine::TableRules amounts = all[0];
    amounts.dimension->members.front().index = 2;
    amounts.dimension->members.front().checkMissing = false;
    for (const host::engine::TableRules* rules : {&all[0], static_cast<const host::engine::TableRules*>(&amounts)}) {
      const std::size_t column = static_cast<std::size_t>(rules->dimension->members.front().index);
      std::vector<double> order;
      std::map<double, long double> expected;
      long double missing = 0.0L;
      for (std::size_t r = 0; r < block.rows; ++r) {
        const double w = weighted ? block.weights[r] : 1.0;
        if (!(w > 0.0)) continue;
        const double x = block.numbers[column][r];
        if (x == SYSMIS) {
          missing += w;
          continue;
        }
        if (expected.count(x) == 0) order.push_back(x);
        expected[x] += w;
        if (column == 0 && (x == 8 || x == 9)) missing += w;
      }
      host::engine::TableAccumulator acc(*rules);
      acc.AddRows(*rules, block, 0, block.rows);
      const host::engine::DimensionCounts& counts = *acc.Dimension();
      ASSERT_EQ(counts.Slots(), order.size()) << column;
      for (std::uint32_t s = 0; s < order.size(); ++s) {
        ASSERT_EQ(counts.Number(s), order[s]) << column << ", slot " << s;
        EXPECT_DOUBLE_EQ(counts.Count(s), static_cast<double>(expected[order[s]])) << column << ", slot " << s;
      }
      EXPECT_DOUBLE_EQ(counts.MissingWeight(), static_cast<double>(missing)) << column;
    }
  }
}

// Pre-defined categories (the labelled values of a scale variable) are
// counted in a loop of their own: only the values given, in their order, with
// every user-missing value missing whether given or not, and the number of
// categories seen. Looked up in a short array (whole values) and in a hashed
// index (a fraction among them), weighted and not, against plain sums.
TEST(GatheredBlock, PredefinedCountsAgreeWithPlainSums) {
  for (const bool weighted : {true, false}) {
    host::CaseBlock block = CodesBlock(weighted ? 4242 : 4243, weighted);
    for (std::size_t r = 700; r < block.rows; r += 53) block.numbers[0][r] = 2.5;
    for (const std::vector<double>& given : {std::vector<double>{3, 9, 1}, std::vector<double>{3, 2.5, 9, -1, 1e6}}) {
      host::engine::TableRules rules = CodesRules()[2];
      rules.dimension->predefinedNumbers = given;
      std::vector<long double> expected(given.size(), 0.0L);
      long double missing = 0.0L;
      std::size_t seen = 0;
      for (std::size_t r = 0; r < block.rows; ++r) {
        const double w = weighted ? block.weights[r] : 1.0;
        if (!(w > 0.0)) continue;
        const double x = block.numbers[0][r];
        if (x == SYSMIS || x == 8 || x == 9) missing += w;
        for (std::size_t k = 0; k < given.size(); ++k) {
          if (x != given[k]) continue;
          if (expected[k] == 0.0L) ++seen;
          expected[k] += w;
        }
      }
      host::engine::TableAccumulator acc(rules);
      acc.AddRows(rules, block, 0, block.rows);
      const host::engine::DimensionCounts& counts = *acc.Dimension();
      const std::string what =
          std::string(weighted ? "weighted" : "unweighted") + ", " + std::to_string(given.size()) + " given";
      ASSERT_EQ(counts.Slots(), given.size()) << what;
      for (std::uint32_t s = 0; s < given.size(); ++s) {
        EXPECT_EQ(counts.Number(s), given[s]) << what;
        EXPECT_DOUBLE_EQ(counts.Count(s), static_cast<double>(expected[s])) << what << ", slot " << s;
      }
      EXPECT_DOUBLE_EQ(counts.MissingWeight(), static_cast<double>(missing)) << what;
      EXPECT_EQ(counts.NumberOfValues(*rules.dimension), seen) << what;
    }
  }
}

// Up to four numeric members are counted in one row loop (two to a vector
// where the processor has them), the rest one at a time: five members over
// different columns, one of which overflows, each counted as alone.
TEST(GatheredBlock, DichotomyMembersCountedTogether) {
  host::CaseBlock block = CodesBlock(31337, true);
  const std::size_t first = block.numbers.size();
  host::engine::ColumnRule base = CodesRules()[0].dimension->members.front();
  host::engine::TableRules rules = CodesRules()[6];
  rules.dimension->members.clear();
  for (std::size_t j = 0; j < 5; ++j) {
    std::vector<double> column = block.numbers[0];
    for (double& x : column) {
      if (x != SYSMIS) x = std::fmod(x + static_cast<double>(j), 9.0) + 1;
    }
    block.numbers.push_back(column);
    base.index = static_cast<int>(first + j);
    rules.dimension->members.push_back(base);
  }
  rules.dimension->knownMembers = 5;
  constexpr std::size_t kOthers[] = {0, 1, 3, 4};
  for (const bool huge : {false, true}) {
    if (huge) {
      // The third member overflows; the others stay as they were.
      for (std::size_t r = 0; r < 2; ++r) {
        block.weights[r] = 1e308;
        block.numbers[first + 2][r] = 2;
        for (const std::size_t j : kOthers) block.numbers[first + j][r] = 5;
      }
    }
    std::vector<long double> expected(5, 0.0L);
    long double missing = 0.0L;
    for (std::size_t r = 0; r < block.rows; ++r) {
      const double w = block.weights[r];
      if (!(w > 0.0)) continue;
      bool any = false;
      for (std::size_t j = 0; j < 5; ++j) {
        if (block.numbers[first + j][r] != 2) continue;
        expected[j] += w;
        any = true;
      }
      if (!any) missing += w;
    }
    host::engine::TableAccumulator acc(rules);
    acc.AddRows(rules, block, 0, block.rows);
    const host::engine::DimensionCounts& counts = *acc.Dimension();
    for (std::uint32_t j = 0; j < 5; ++j) {
      if (huge && j == 2) {
        EXPECT_FALSE(std::isfinite(counts.Count(j)));
      } else {
        EXPECT_DOUBLE_EQ(counts.Count(j), static_cast<double>(expected[j])) << "member " << j << (huge ? ", huge" : "");
      }
    }
    EXPECT_DOUBLE_EQ(counts.MissingWeight(), static_cast<double>(missing)) << (huge ? "huge" : "");
  }
}

// A category set counts a case once per category its members hold, in
// member order: members with missing values of their own (a value missing
// for one member is a category through another), system-missing cells, a
// value new mid-block and one that turns the lookup from dense to hashed,
// over 2 to 9 members. Each category's count, its order of first sight and
// the missing weight against sums in long double; the block gathered whole
// holds the same bits as row by row.
TEST(GatheredBlock, CategorySetCountsAgreeWithPlainSums) {
  host::CaseBlock block = CodesBlock(2718, true);
  const std::size_t first = block.numbers.size();
  host::engine::ColumnRule code = CodesRules()[0].dimension->members.front();  // 8 and 9 missing
  std::vector<host::engine::ColumnRule> kinds(3, code);
  kinds[1].checkMissing = false;
  kinds[2].numericMissing = {};
  kinds[2].numericMissing.hasRange = true;
  kinds[2].numericMissing.low = 4;
  kinds[2].numericMissing.high = 6;
  const auto missingFor = [](std::size_t kind, double x) {
    if (x == SYSMIS) return true;
    if (kind == 0) return x == 8 || x == 9;
    return kind == 2 && x >= 4 && x <= 6;
  };
  for (std::size_t j = 0; j < 9; ++j) {
    std::vector<double> column = block.numbers[0];
    for (std::size_t r = 0; r < column.size(); ++r) {
      double& x = column[r];
      if (x != SYSMIS) x = std::fmod(x + static_cast<double>(j * r % 5), 9.0) + 1;
      if (j == 1 && r == 700) x = 40;                   // new, still dense
      if (j == 2 && r >= 1900 && r % 50 == 0) x = 2.5;  // hashed from here on
    }
    block.numbers.push_back(column);
  }
  for (const std::size_t n : {2, 3, 4, 5, 9}) {
    host::engine::TableRules rules = CodesRules()[4];
    rules.dimension->members.clear();
    for (std::size_t j = 0; j < n; ++j) {
      host::engine::ColumnRule m = kinds[j % 3];
      m.index = static_cast<int>(first + j);
      rules.dimension->members.push_back(m);
    }
    std::vector<double> order;
    std::map<double, long double> expected;
    long double missing = 0.0L;
    for (std::size_t r = 0; r < block.rows; ++r) {
      const double w = block.weights[r];
      if (!(w > 0.0)) continue;
      std::vector<double> held;
      for (std::size_t j = 0; j < n; ++j) {
        const double x = block.numbers[first + j][r];
        if (missingFor(j % 3, x) || std::find(held.begin(), held.end(), x) != held.end()) continue;
        held.push_back(x);
        if (expected.count(x) == 0) order.push_back(x);
        expected[x] += w;
      }
      if (held.empty()) missing += w;
    }
    host::engine::TableAccumulator whole(rules);
    whole.AddRows(rules, block, 0, block.rows);
    const host::engine::DimensionCounts& counts = *whole.Dimension();
    ASSERT_EQ(counts.Slots(), order.size()) << n;
    for (std::uint32_t s = 0; s < order.size(); ++s) {
      ASSERT_EQ(counts.Number(s), order[s]) << n << " members, slot " << s;
      EXPECT_DOUBLE_EQ(counts.Count(s), static_cast<double>(expected[order[s]])) << n << " members, slot " << s;
    }
    EXPECT_DOUBLE_EQ(counts.MissingWeight(), static_cast<double>(missing)) << n;
    host::engine::TableAccumulator byRow(rules);
    for (std::size_t r = 0; r < block.rows; ++r) byRow.AddRows(rules, block, r, r + 1);
    ExpectSameCounts(counts, *byRow.Dimension(), std::to_string(n) + " members");
  }
}

TEST(GatheredBlock, ResetEqualsNew) {
  const host::CaseBlock weighted = CodesBlock(777, true);
  const host::CaseBlock plain = CodesBlock(4242, false);
  const std::vector<host::engine::TableRules> all = CodesRules();
  for (std::size_t t = 0; t < all.size(); ++t) {
    const host::engine::TableRules& rules = all[t];
    const auto expect = [&](host::engine::TableAccumulator& reused, const host::CaseBlock& block, const char* how) {
      reused.Reset(rules);
      reused.AddRows(rules, block, 0, block.rows);
      host::engine::TableAccumulator fresh(rules);
      fresh.AddRows(rules, block, 0, block.rows);
      host::wire::Writer a, b;
      reused.Save(rules, a);
      fresh.Save(rules, b);
      EXPECT_EQ(a.Buffer(), b.Buffer()) << "table " << t << ", " << how;
    };
    host::engine::TableAccumulator acc(rules);
    acc.AddRows(rules, plain, 0, plain.rows);
    host::engine::TableAccumulator merged(rules);
    merged.Merge(rules, std::move(acc));  // the first block: moved out
    expect(acc, weighted, "after a move");
    expect(acc, plain, "after a weighted block");
    expect(acc, plain, "after an unweighted block");
    expect(acc, weighted, "weighted after unweighted");
  }
}

}  // namespace

namespace {

// A pass of 256 or more scale tables computes their quartiles on threads of
// their own while the procedure goes on (the last table first, the
// procedure's thread taking any it comes to first, or waiting for one under
// way): whichever thread computes a table's results, and whether they are
// read while the pass lives or after it is gone, they are those of one
// thread, bit for bit.
std::vector<std::vector<double>> WideScaleResults(int threads, bool whileLive, bool backwards) {
  host::SetThreads(threads);
  namespace TEC = TableEncryptionCodes;
  ProcedureDataSource source;
  std::vector<std::unique_ptr<PlanEntry>> entries;
  for (int v = 0; v < source.ColumnCount(); ++v) {
    auto* h = new ItemHandle();
    h->Item().fDataSource = &source;
    h->Item().fKind = codebook::kItemVariable;
    h->Item().fIndex = v;
    h->Item().fVariable = source.GetVariable(v);
    entries.push_back(std::make_unique<PlanEntry>(std::unique_ptr<ItemHandle>(h)));
    entries.back()->SetTreatment(1);
  }
  std::vector<PlanEntry*> plan;
  for (auto& e : entries) plan.push_back(e.get());
  std::vector<AggregationStatistic> categoryStatistics{AggregationStatistic(TEC::Count)};
  const std::vector<std::int32_t> scaleCodes{222, 198, 179, 203, 468};
  std::unique_ptr<QUVO_InputCaseIterator> it(source.CreateCaseIterator(0));
  VariableStatistics s(plan, &categoryStatistics, &scaleCodes);
  s.SetUpTables(static_cast<ProcDSIterator*>(it.get()), 0);
  EXPECT_EQ(s.PassCases(0), 600);
  if (!whileLive) it.reset();
  std::vector<std::vector<double>> results(plan.size());
  for (std::uint32_t k = 0; k < plan.size(); ++k) {
    const std::uint32_t i = backwards ? static_cast<std::uint32_t>(plan.size()) - 1 - k : k;
    s.GetScaleResults(i, results[i]);
  }
  return results;
}

TEST(WidePass, ResultsBesideTheProcedureEqualOneThread) {
  datatest::TempDir dir;
  std::ostringstream csv;
  constexpr int kColumns = 300;
  csv << "w";
  for (int c = 0; c < kColumns; ++c) csv << ",x" << c;
  csv << "\n";
  Lcg next{77};
  for (int r = 0; r < 600; ++r) {
    csv << (r % 3 == 0 ? 1.0 : (1 + next(300)) / 100.0);
    for (int c = 0; c < kColumns; ++c) {
      csv << ",";
      if (next(20) == 0) continue;  // missing
      // Cents in a short span, a few values repeated, and spread doubles.
      if (c % 3 == 0) {
        csv << next(5000) / 100.0;
      } else if (c % 3 == 1) {
        csv << next(7);
      } else {
        csv << (next(2000000) / 7.0 - 1e5);
      }
    }
    csv << "\n";
  }
  dir.Write("data.csv", csv.str());
  for (const bool weighted : {false, true}) {
    std::string fields = R"({"name": "w", "type": "number"})";
    for (int c = 0; c < kColumns; ++c) fields += R"(, {"name": "x)" + std::to_string(c) + R"(", "type": "number"})";
    const std::string weight = weighted ? R"("weight": "w", )" : "";
    std::vector<std::string> warnings;
    auto dataset = host::LoadDataset(
        dir.Write("datapackage.json",
                  "{" + weight + R"("resources": [{"path": "data.csv", "schema": {"fields": [)" + fields + "]}}]}"),
        warnings);
    ASSERT_NE(dataset, nullptr);
    host::SetActiveDataset(dataset);
    const auto one = WideScaleResults(1, false, false);
    ASSERT_EQ(one.size(), kColumns + 1u);
    EXPECT_EQ(one[1].size(), 7u);
    for (int threads : {2, 4}) {
      for (const bool whileLive : {false, true}) {
        for (const bool backwards : {false, true}) {
          EXPECT_EQ(WideScaleResults(threads, whileLive, backwards), one)
              << threads << " threads, weighted " << weighted << ", read while the pass lives " << whileLive
              << ", backwards " << backwards;
        }
      }
    }
  }
}

}  // namespace
