// The pass's side statistics for the overview: against the independent
// reference (tests/reference/profile_reference.py), in one pass and merged
// from chunks cut at random, plus the grid arithmetic the bin rule rests on.

#include <gtest/gtest.h>

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <new>
#include <nlohmann/json.hpp>
#include <random>
#include <set>

#include "host/engine/profile.h"
#include "host/shards/wire.h"
#include "support/test_dataset.h"

// Bytes the test binary holds on the heap now, to see what a profile keeps.
namespace {
std::atomic<long long> gHeldBytes{0};
}  // namespace

void* operator new(std::size_t n) {
  void* p = std::malloc(n == 0 ? 1 : n);
  if (p == nullptr) throw std::bad_alloc();
  gHeldBytes += static_cast<long long>(malloc_usable_size(p));
  return p;
}
void operator delete(void* p) noexcept {
  if (p == nullptr) return;
  gHeldBytes -= static_cast<long long>(malloc_usable_size(p));
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
// std::stable_sort's buffer comes from the nothrow form: it must be counted
// and freed by the same pair (the address sanitizer's own would not match).
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return operator new(n);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* p, const std::nothrow_t&) noexcept { operator delete(p); }

using host::engine::DecimalGrid;
using nlohmann::json;

namespace {

const std::filesystem::path kReference = std::filesystem::path(CODEBOOK_SOURCE_DIR) / "tests/reference/profile";

std::shared_ptr<host::Dataset> Build(const json& ds) {
  testsupport::DatasetBuilder b;
  return b.FromReference(ds, true).BlockRows(37).Build();
}

host::engine::PassProfile Wanting(const host::Dataset& dataset) {
  host::engine::PassProfile p(dataset);
  p.Want(std::vector<std::uint8_t>(dataset.variables.size(), 1));
  return p;
}

const std::vector<host::CaseBlock>& Blocks(const host::Dataset& dataset) {
  return static_cast<const host::MemoryCaseSource&>(*dataset.cases).Blocks();
}

// Cuts the blocks into consecutive chunks at random, profiles each on its
// own and merges them in order.
host::engine::DataProfile Chunked(const host::Dataset& dataset, std::mt19937& random) {
  const auto& blocks = Blocks(dataset);
  std::vector<host::engine::PassProfile> chunks;
  std::bernoulli_distribution cut(0.3);
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    if (chunks.empty() || cut(random)) chunks.push_back(Wanting(dataset));
    chunks.back().Add(blocks[b]);
  }
  host::engine::PassProfile whole = Wanting(dataset);
  for (auto& chunk : chunks) whole.Merge(std::move(chunk));
  return whole.Finalize();
}

void ExpectNear(double actual, const json& expected, const std::string& what) {
  const double e = expected.get<double>();
  EXPECT_NEAR(actual, e, 1e-9 * std::max(1.0, std::fabs(e))) << what;
}

void Compare(const host::engine::DataProfile& got, const json& ds, const std::string& how) {
  const json& expect = ds["expect"];
  for (std::size_t v = 0; v < ds["variables"].size(); ++v) {
    const std::string name = ds["variables"][v]["name"];
    const std::string what = std::string(ds["name"]) + " " + name + " (" + how + ")";
    const host::engine::ColumnSummary* c = got.Column(static_cast<int>(v));
    ASSERT_NE(c, nullptr) << what;
    const json& e = expect["columns"][name];
    ExpectNear(c->validWeight, e["valid"], what + " valid");
    ExpectNear(c->missingWeight, e["missing"], what + " missing");
    EXPECT_EQ(c->validCases, e["validCases"].get<std::int64_t>()) << what;
    if (e["distinct"].is_null()) {
      EXPECT_TRUE(c->distinctOver) << what;
      EXPECT_FALSE(c->hasMode) << what;
    } else {
      EXPECT_FALSE(c->distinctOver) << what;
      EXPECT_EQ(c->distinct, e["distinct"].get<std::size_t>()) << what;
    }
    if (!e["mode"].is_null()) {
      ASSERT_TRUE(c->hasMode) << what;
      if (c->isString) {
        EXPECT_EQ(c->modeString, e["mode"]["value"].get<std::string>()) << what;
      } else {
        EXPECT_EQ(c->modeNumber, e["mode"]["value"].get<double>()) << what;
      }
      ExpectNear(c->modeWeight, e["mode"]["weight"], what + " mode weight");
    }
    if (!e.contains("histogram")) {
      EXPECT_TRUE(c->histogram.Empty()) << what;
      continue;
    }
    EXPECT_EQ(c->min, e["min"].get<double>()) << what;
    EXPECT_EQ(c->max, e["max"].get<double>()) << what;
    const json& h = e["histogram"];
    EXPECT_EQ(c->histogram.grid.step, h["step"].get<std::int64_t>()) << what;
    EXPECT_EQ(c->histogram.grid.exponent, h["exponent"].get<int>()) << what;
    EXPECT_EQ(c->histogram.first, h["first"].get<std::int64_t>()) << what;
    ASSERT_EQ(c->histogram.weights.size(), h["weights"].size()) << what;
    for (std::size_t k = 0; k < c->histogram.weights.size(); ++k) {
      ExpectNear(c->histogram.weights[k], h["weights"][k], what + " bin " + std::to_string(k));
    }
  }
  for (const auto& [name, e] : expect["sets"].items()) {
    const host::engine::SetSummary* s = got.Set(name);
    ASSERT_NE(s, nullptr) << name;
    ExpectNear(s->validWeight, e["valid"], how + " " + name + " valid");
    ExpectNear(s->missingWeight, e["missing"], how + " " + name + " missing");
  }
}

TEST(EngineProfile, MatchesTheReferenceInOnePassAndInMergedChunks) {
  std::size_t files = 0;
  std::mt19937 random(20261206);
  for (const auto& entry : std::filesystem::directory_iterator(kReference)) {
    std::ifstream in(entry.path());
    const json ds = json::parse(in);
    const auto dataset = Build(ds);
    host::engine::PassProfile one = Wanting(*dataset);
    for (const host::CaseBlock& block : Blocks(*dataset)) one.Add(block);
    Compare(one.Finalize(), ds, "one pass");
    for (int round = 0; round < 3; ++round) Compare(Chunked(*dataset, random), ds, "chunks");
    ++files;
  }
  EXPECT_GE(files, 3u);
}

// A block's profile is reused for a later block once merged: reset, it must
// be what a fresh one is (every member a Save writes), and the merged chunks
// must still match the reference.
TEST(EngineProfile, AProfileResetAfterItsMergeIsAFreshOne) {
  for (const auto& entry : std::filesystem::directory_iterator(kReference)) {
    std::ifstream in(entry.path());
    const json ds = json::parse(in);
    const auto dataset = Build(ds);
    host::wire::Writer fresh;
    Wanting(*dataset).Save(fresh);
    host::engine::PassProfile whole = Wanting(*dataset);
    host::engine::PassProfile part = Wanting(*dataset);
    const auto& blocks = Blocks(*dataset);
    for (std::size_t b = 0; b < blocks.size(); ++b) {
      part.Add(blocks[b]);
      if (b % 3 != 2 && b + 1 < blocks.size()) continue;
      whole.Merge(std::move(part));
      ASSERT_TRUE(part.Reset());
      host::wire::Writer reset;
      part.Save(reset);
      EXPECT_EQ(reset.Buffer(), fresh.Buffer()) << entry.path() << " after block " << b;
    }
    Compare(whole.Finalize(), ds, "reused chunks");
  }
}

TEST(EngineProfile, ColumnsLeftOutOfABlockAndUnwantedOnesAreNotSummarised) {
  testsupport::DatasetBuilder c;
  c.Numeric("x");
  c.Numeric("y");
  for (int i = 0; i < 5; ++i) c.Case({i, i * 2});
  const auto dataset = c.Build();
  host::engine::PassProfile p(*dataset);
  p.WantColumn(1);
  host::CaseBlock partial = Blocks(*dataset).front();
  partial.numbers[1].clear();  // a reader that did not convert y in this block
  p.Add(partial);
  for (std::size_t k = 1; k < Blocks(*dataset).size(); ++k) p.Add(Blocks(*dataset)[k]);
  const host::engine::DataProfile got = p.Finalize();
  EXPECT_EQ(got.Column(0), nullptr);  // never asked for
  EXPECT_EQ(got.Column(1), nullptr);  // not in every block: a partial summary would mislead
}

TEST(EngineProfile, DistinctValuesAreExactUpToTheBoundAndSayMoreBeyond) {
  for (std::size_t n : {host::engine::kDistinctLimit, host::engine::kDistinctLimit + 1}) {
    host::engine::NumericProfile p({}, 1);
    std::vector<double> values;
    for (std::size_t i = 0; i < n; ++i) values.push_back(static_cast<double>(i) / 8.0);
    p.Add(values.data(), nullptr, values.size());
    const host::engine::ColumnSummary s = p.Finalize();
    EXPECT_EQ(s.distinctOver, n > host::engine::kDistinctLimit) << n;
    EXPECT_EQ(s.hasMode, n <= host::engine::kDistinctLimit) << n;
    if (!s.distinctOver) {
      EXPECT_EQ(s.distinct, n);
    }
    double total = 0.0;
    for (double w : s.histogram.weights) total += w;
    EXPECT_EQ(total, static_cast<double>(n)) << "every value in some bin";
  }
}

TEST(EngineProfile, ValuesNoGridHoldsGiveNoHistogramButTheirRange) {
  host::engine::NumericProfile p({}, 1);
  std::vector<double> values;
  for (int i = 0; i < 2000; ++i) values.push_back(i % 2 ? 1e300 : -static_cast<double>(i));
  p.Add(values.data(), nullptr, values.size());
  const host::engine::ColumnSummary s = p.Finalize();
  EXPECT_EQ(s.max, 1e300);
  EXPECT_EQ(s.min, -1998.0);
  EXPECT_TRUE(s.histogram.Empty());
}

// Values are sorted per chunk (a slot per integer when they are whole and
// close, else a radix sort, with NaNs apart) and chunks merge as sorted
// lists: any order and chunking must give the same summary. Weights are
// binary fractions, so every sum is exact whatever its order. A chunk may
// be binned at once on the grid the merged chunks had some merges before (a
// stale hint), its values counted or their weights summed by bin unsorted:
// the same summary again.
TEST(EngineProfile, AnyOrderAndChunkingGiveTheSameSummary) {
  const std::pair<std::size_t, bool> kinds[] = {{300, false}, {1500, false}, {300, true}, {1500, true}};
  for (const auto& [fractions, unit] : kinds) {  // exact, then binned; weighted, then unit weights
    std::vector<double> values;
    for (int i = 0; i < 900; ++i) values.push_back(static_cast<double>(i % 37) - 12.0);
    for (std::size_t i = 0; i < 2 * fractions; ++i)
      values.push_back(-3.75 + static_cast<double>(i % fractions) * 0.125);
    for (double x : {-0.0, 0.0, 1e15, -1e15}) values.push_back(x);
    std::vector<double> weights;
    for (std::size_t i = 0; i < values.size(); ++i) weights.push_back(0.5 + static_cast<double>(i % 3));
    const auto profile = [&](const std::vector<std::size_t>& order, std::size_t chunk, bool hinted = false) {
      host::engine::NumericProfile whole({}, 1);
      std::vector<int> hints = {host::engine::NumericProfile::kNoBinHint};
      std::vector<double> x;
      std::vector<double> w;
      for (std::size_t at = 0; at < order.size(); at += chunk) {
        x.clear();
        w.clear();
        for (std::size_t k = at; k < std::min(order.size(), at + chunk); ++k) {
          x.push_back(values[order[k]]);
          w.push_back(weights[order[k]]);
        }
        host::engine::NumericProfile part({}, 1);
        const int hint = hinted ? hints[hints.size() > 2 ? hints.size() - 3 : 0] : hints.front();
        part.Add(x.data(), unit ? nullptr : w.data(), x.size(), hint);
        whole.Merge(std::move(part));
        hints.push_back(whole.BinHint());
      }
      return whole.Finalize();
    };
    std::vector<std::size_t> order(values.size());
    for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
    const host::engine::ColumnSummary one = profile(order, order.size());
    std::set<double> distinct(values.begin(), values.end());  // +0 and -0 are one
    EXPECT_EQ(one.distinctOver, distinct.size() > host::engine::kDistinctLimit);
    if (!one.distinctOver) {
      EXPECT_EQ(one.distinct, distinct.size());
    }
    EXPECT_EQ(one.min, -1e15);
    EXPECT_EQ(one.max, 1e15);
    std::mt19937 random(7);
    for (const std::size_t chunk : {1u, 7u, 64u, 500u}) {
      for (const bool hinted : {false, true}) {
        std::shuffle(order.begin(), order.end(), random);
        const host::engine::ColumnSummary got = profile(order, chunk, hinted);
        const std::string what = std::to_string(fractions) + " fractions, " + (unit ? "unit weights" : "weighted") +
                                 ", chunks of " + std::to_string(chunk) + (hinted ? ", hinted" : "");
        EXPECT_EQ(got.validWeight, one.validWeight) << what;
        EXPECT_EQ(got.distinct, one.distinct) << what;
        EXPECT_EQ(got.distinctOver, one.distinctOver) << what;
        EXPECT_EQ(got.modeNumber, one.modeNumber) << what;
        EXPECT_EQ(got.modeWeight, one.modeWeight) << what;
        EXPECT_EQ(got.histogram.grid, one.histogram.grid) << what;
        EXPECT_EQ(got.histogram.first, one.histogram.first) << what;
        EXPECT_EQ(got.histogram.weights, one.histogram.weights) << what;
      }
    }
  }
}

// Lists a profile no longer reads are freed, not only emptied: a wide
// file's thousand variables binned after their first blocks kept their
// exact lists' room to the end of the pass.
TEST(EngineProfile, ListsLeftBehindAreFreed) {
  std::vector<double> first;
  std::vector<double> second;
  for (int i = 0; i < 900; ++i) {
    first.push_back(i * 0.5);
    second.push_back(1000.0 + i * 0.5);
  }
  const auto heldBy = [](auto make) {
    make();  // the reader's scratch lists, made once per thread
    const long long before = gHeldBytes.load();
    auto profile = make();
    return gHeldBytes.load() - before;
  };
  // 1,800 distinct values outgrow the exact list: bins (well under 100 of
  // them) stay, the lists of values and weights (1,800 x 24 bytes) go.
  const long long binned = heldBy([&] {
    host::engine::NumericProfile merged(host::engine::NumericMissing{}, 1);
    merged.Add(first.data(), nullptr, first.size());
    host::engine::NumericProfile later(host::engine::NumericMissing{}, 1);
    later.Add(second.data(), nullptr, second.size());
    merged.Merge(std::move(later));
    return merged;
  });
  EXPECT_LT(binned, 8 * 1024);
  // Reset keeps a short list's room for the next block, not a long one's.
  const long long reset = heldBy([&] {
    host::engine::NumericProfile profile(host::engine::NumericMissing{}, 1);
    profile.Add(first.data(), nullptr, first.size());
    profile.Reset();
    return profile;
  });
  EXPECT_LT(reset, 8 * 1024);
}

// With every weight 1 a value's weight is kept as a count (12 bytes a value
// with the value, not 24). A count stands for the sum of ones it replaces:
// unit-weight chunks mixed with weighted ones, in either order of merging,
// and a profile saved and loaded in between, give the bytes that the same
// chunks give with their ones written out as weights.
TEST(EngineProfile, UnitWeightsAreCountsThatMergeAsSumsOfOnes) {
  for (const std::size_t fractions : {250u, 1500u}) {  // exact, then binned
    std::vector<double> values;
    for (int i = 0; i < 600; ++i) values.push_back(static_cast<double>(i % 40));  // integer chunks
    for (std::size_t i = 0; i < 3 * fractions; ++i) values.push_back(-10.0 + static_cast<double>(i % fractions) * 0.25);
    values.push_back(SYSMIS);
    constexpr std::size_t kChunk = 50;
    const auto profile = [&](bool onesWritten) {
      host::engine::NumericProfile whole({}, 1);
      std::vector<double> w;
      for (std::size_t at = 0, c = 0; at < values.size(); at += kChunk, ++c) {
        const std::size_t n = std::min(kChunk, values.size() - at);
        const bool weighted = c % 4 == 1;
        w.assign(n, 1.0);
        for (std::size_t k = 0; k < n && weighted; k += 2) w[k] = 2.5;
        host::engine::NumericProfile part({}, 1);
        part.Add(values.data() + at, weighted || onesWritten ? w.data() : nullptr, n);
        if (c % 4 == 3) {
          whole.Merge(std::move(part));
        } else {
          // The chunk merges the chunks so far into itself.
          part.Merge(std::move(whole));
          std::swap(part, whole);
        }
        if (c == 5) {  // as a shard's state, saved and loaded again
          host::wire::Writer saved;
          whole.Save(saved);
          host::wire::Reader in(saved.Buffer());
          whole = host::engine::NumericProfile({}, 1);
          whole.Load(in);
        }
      }
      host::wire::Writer out;
      whole.Save(out);
      return out.Buffer();
    };
    EXPECT_EQ(profile(false), profile(true)) << fractions << " fractions";
  }
  // Counts alone, with no chunk weighted: again the bytes of written ones.
  const auto unitOnly = [](bool onesWritten) {
    std::vector<double> values;
    for (int i = 0; i < 900; ++i) values.push_back(static_cast<double>(i % 300) * 0.5);
    const std::vector<double> ones(values.size(), 1.0);
    host::engine::NumericProfile profile({}, 1);
    profile.Add(values.data(), onesWritten ? ones.data() : nullptr, values.size());
    host::wire::Writer out;
    profile.Save(out);
    return out.Buffer();
  };
  EXPECT_EQ(unitOnly(false), unitOnly(true));

  std::vector<double> distinct;
  for (int i = 0; i < 1000; ++i) distinct.push_back(i * 0.5);
  const auto held = [&] {
    host::engine::NumericProfile p(host::engine::NumericMissing{}, 1);
    p.Add(distinct.data(), nullptr, distinct.size());  // the scratch lists, made once per thread
    const long long before = gHeldBytes.load();
    host::engine::NumericProfile profile(host::engine::NumericMissing{}, 1);
    profile.Add(distinct.data(), nullptr, distinct.size());
    return gHeldBytes.load() - before;
  }();
  EXPECT_LT(held, 13 * 1000 + 256);
}

// The unit-weight loops (missing values counted apart; values kept, then
// sorted on the upper halves of their keys and each run on the rest) against
// the general loop fed weights of one: the same bytes. The values put many
// keys in one upper half (a long run sorted by comparison, a short one by
// insertion), repeat, hold both zeros, user-missing and non-finite values.
TEST(EngineProfile, UnitWeightLoopsAgreeWithWeightsOfOne) {
  std::vector<double> values;
  for (int k = 0; k < 40; ++k) values.push_back(1.0 + std::ldexp(k * 7 % 40, -40));
  for (int k = 0; k < 12; ++k) values.push_back(-3.0 - std::ldexp(k * 5 % 12, -44));
  for (int k = 0; k < 30; ++k) values.push_back(static_cast<double>(k % 9) * 0.75 - 2.0);
  values.insert(values.end(), {-0.0, 0.0, 9.0, SYSMIS, 9.0, 1e300, -1e300, 1.0});
  std::shuffle(values.begin(), values.end(), std::mt19937(3));
  host::engine::NumericMissing nine;
  nine.values = {9.0};
  for (const double odd : {0.0, std::numeric_limits<double>::infinity(), std::nan("")}) {
    std::vector<double> x = values;
    if (odd != 0.0) x.insert(x.begin() + 17, odd);  // NaN too
    const std::vector<double> ones(x.size(), 1.0);
    for (const bool full : {true, false}) {
      for (const bool checkNine : {false, true}) {
        const auto bytes = [&](const double* weights) {
          host::engine::NumericProfile profile(checkNine ? nine : host::engine::NumericMissing{}, 1, full);
          profile.Add(x.data(), weights, x.size());
          host::wire::Writer out;
          profile.Save(out);
          return out.Buffer();
        };
        EXPECT_EQ(bytes(nullptr), bytes(ones.data()))
            << "odd " << odd << (full ? ", full" : ", totals") << (checkNine ? ", 9 missing" : "");
      }
    }
  }
  // The loops take values two at a time with a scalar tail, count missing
  // values by listed ones, find the range lane by lane and test whole
  // numbers sixteen at a time: every length, every missing rule, zeros of
  // either sign first at either end of the range, and whole numbers up to
  // and past 2^52 give the general loop's bytes.
  const double big = std::ldexp(1.0, 52);
  const std::vector<std::vector<double>> columns = {
      {3.0, -0.0, 0.0, 5.0, SYSMIS},
      {0.0, -0.0, 2.0},
      {-4.0, 0.0, -0.0, 9.0},
      {-0.0, -1.0, SYSMIS, 0.0},
      {SYSMIS, SYSMIS, SYSMIS},
      {1.0,  2.0, 9.0,       4.0,  2.0,       8.0,  -7.0,
       3.0,  1.0, 0.0,       6.0,  5.0,       4.0,  3.0,
       2.0,  1.0, big - 1.0, big,  big + 2.0, -big, 2.0 * big + 4.0,
       9.0,  1.0, 2.0,       3.0,  4.0,       5.0,  6.0,
       7.0,  8.0, 9.0,       10.0, 11.0,      12.0, 13.0,
       14.0, 15.0},
  };
  std::vector<host::engine::NumericMissing> rules(6);
  rules[1].values = {9.0};
  rules[2].values = {9.0, 8.0};
  rules[3].values = {9.0, 8.0, -7.0};
  rules[4].values = {9.0, 8.0, -7.0, 2.0};
  rules[5].hasRange = true;
  rules[5].low = 8.0;
  rules[5].high = 9.0;
  for (std::size_t c = 0; c < columns.size(); ++c) {
    for (const double fraction : {0.0, 0.5, std::numeric_limits<double>::infinity()}) {
      std::vector<double> x = columns[c];
      if (fraction != 0.0 && x.size() > 20) x[20] = fraction;  // past the first sixteen
      for (std::size_t n = 1; n <= x.size(); ++n) {
        for (std::size_t m = 0; m < rules.size(); ++m) {
          for (const bool full : {true, false}) {
            const std::vector<double> ones(n, 1.0);
            const auto bytes = [&](const double* weights) {
              host::engine::NumericProfile profile(rules[m], 1, full);
              profile.Add(x.data(), weights, n);
              host::wire::Writer out;
              profile.Save(out);
              return out.Buffer();
            };
            EXPECT_EQ(bytes(nullptr), bytes(ones.data())) << "column " << c << ", fraction " << fraction << ", first "
                                                          << n << ", rule " << m << (full ? ", full" : ", totals");
          }
        }
      }
    }
  }

  std::set<double> distinct;
  for (double v : values) {
    if (v != SYSMIS) distinct.insert(v);  // +0 and -0 are one
  }
  host::engine::NumericProfile profile({}, 1);
  profile.Add(values.data(), nullptr, values.size());
  const host::engine::ColumnSummary summary = profile.Finalize();
  EXPECT_EQ(summary.distinct, distinct.size());
  EXPECT_EQ(summary.min, -1e300);
  EXPECT_EQ(summary.max, 1e300);
}

// A block's values of weight 1 that are decimals of a few digits are
// counted in a slot per decimal instead of sorted: the lists (and so the
// saved bytes) are those of the general loop fed weights of one, which
// sorts. Digits 0 to 4 and one too many, both zeros, negative values, a
// value that no short decimal is (0.1 + 0.2), spans at and past the table's
// size, magnitudes at the bound, and lengths around the fewest slotted.
TEST(EngineProfile, DecimalsCountedInSlotsGiveTheSortedLists) {
  std::mt19937 random(17);
  const auto column = [&](int digits, std::int64_t span, std::size_t n, double offset) {
    std::vector<double> x;
    std::uniform_int_distribution<std::int64_t> pick(0, span - 1);
    const double scale = std::pow(10.0, digits);
    for (std::size_t i = 0; i < n; ++i) x.push_back((static_cast<double>(pick(random)) + offset * scale) / scale);
    if (n > 3) {  // the span's ends, so that it is the one asked for
      x[0] = offset;
      x[1] = (static_cast<double>(span - 1) + offset * scale) / scale;
    }
    return x;
  };
  std::vector<std::vector<double>> columns;
  for (int digits = 0; digits <= 5; ++digits) {
    for (const std::size_t n : {31u, 32u, 33u, 600u}) {
      columns.push_back(column(digits, 10000, n, 0.0));
      columns.push_back(column(digits, 500, n, -2.5));
    }
  }
  for (const std::int64_t span : {std::int64_t{1} << 17, (std::int64_t{1} << 17) + 1}) {
    columns.push_back(column(2, span, 700, -100.0));
  }
  columns.push_back(column(1, 1000, 300, 0.0));
  columns.back()[7] = 0.1 + 0.2;
  columns.push_back(column(2, 1000, 300, -5.0));
  columns.back()[9] = -0.0;
  columns.back()[10] = 0.0;
  columns.back()[11] = -0.0;
  columns.push_back(column(3, 400, 300, 0.0));
  columns.back()[5] = 1.25;  // fewer digits than the rest
  columns.back()[6] = 7.0;
  for (const double big : {1e11, 1.2e11}) {
    columns.push_back(column(4, 300, 100, big));
    columns.push_back(column(0, 300, 100, -big));
  }
  for (std::size_t c = 0; c < columns.size(); ++c) {
    const std::vector<double>& x = columns[c];
    const std::vector<double> ones(x.size(), 1.0);
    const auto bytes = [&](const double* weights) {
      host::engine::NumericProfile profile({}, 1);
      profile.Add(x.data(), weights, x.size());
      host::wire::Writer out;
      profile.Save(out);
      return out.Buffer();
    };
    EXPECT_EQ(bytes(nullptr), bytes(ones.data())) << "column " << c;
    std::set<double> distinct(x.begin(), x.end());  // +0 and -0 are one
    host::engine::NumericProfile profile({}, 1);
    profile.Add(x.data(), nullptr, x.size());
    const host::engine::ColumnSummary summary = profile.Finalize();
    if (!summary.distinctOver) {
      EXPECT_EQ(summary.distinct, distinct.size()) << "column " << c;
    }
  }
}

TEST(DecimalGrid, EdgesAreTheDecimalsAValueIsReadAs) {
  const DecimalGrid tenths{1, -1};
  EXPECT_EQ(tenths.Bin(0.3), 3);  // 0.3 / 0.1 is 2.9999999999999996
  EXPECT_EQ(tenths.Bin(0.1 * 3), 3);
  EXPECT_EQ(tenths.Bin(-0.1), -1);
  EXPECT_EQ(tenths.Bin(-0.05), -1);
  EXPECT_EQ(tenths.Edge(3), 0.3);
  const DecimalGrid days{86400 * 5, 0};
  EXPECT_EQ(days.Bin(86400.0 * 5), 1);
  EXPECT_EQ(days.Bin(86400.0 * 5 - 1), 0);
}

TEST(DecimalGrid, CoarserGridsNestExactlyInFinerOnes) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> cents(-1'000'000, 1'000'000);
  const DecimalGrid fine{1, -3};
  for (const DecimalGrid coarse : {DecimalGrid{2, -2}, DecimalGrid{5, -1}, DecimalGrid{1, 1}, DecimalGrid{2, 0}}) {
    const std::int64_t ratio = coarse.Ratio(fine);
    ASSERT_GT(ratio, 0);
    for (int k = 0; k < 20000; ++k) {
      const double x = cents(random) / 100.0;
      const std::int64_t b = fine.Bin(x);
      const std::int64_t floorDiv = b / ratio - ((b % ratio != 0) && (b < 0) ? 1 : 0);
      ASSERT_EQ(coarse.Bin(x), floorDiv) << x;
    }
  }
  EXPECT_EQ((DecimalGrid{2, -2}).Ratio(DecimalGrid{5, -3}), 4);
  EXPECT_EQ((DecimalGrid{5, -2}).Ratio(DecimalGrid{2, -2}), 0) << "0.05 is no multiple of 0.02";
}

TEST(DecimalGrid, DisplayGridsFollowTheRule) {
  // 18 to 89 whole years, 334 cases: at most 10 bins of a nice width.
  auto g = host::engine::ChooseDisplayGrid(18, 89, 334, true, 1, nullptr);
  ASSERT_TRUE(g.has_value());
  EXPECT_EQ(g->Width(), 10.0);
  // A five-point scale keeps one bin per point.
  g = host::engine::ChooseDisplayGrid(1, 5, 200, true, 1, nullptr);
  ASSERT_TRUE(g.has_value());
  EXPECT_EQ(g->Width(), 1.0);
  // Measurements from 0 to 1000 end with the bin [900, 1000].
  g = host::engine::ChooseDisplayGrid(0.5, 1000, 5000, false, 1, nullptr);
  ASSERT_TRUE(g.has_value());
  const auto [first, last] = host::engine::BinSpan(*g, 0.5, 1000, true);
  EXPECT_EQ(g->Edge(last + 1), 1000.0);
  EXPECT_LE(last - first + 1, host::engine::kMaxHistogramBins);
  // Values from -1e308 to 1e308 span more than a double: no bins, and no
  // infinite logarithm cast to an exponent on the way.
  EXPECT_FALSE(host::engine::ChooseDisplayGrid(-1e308, 1e308, 3, false, 1, nullptr).has_value());
  EXPECT_FALSE(host::engine::ChooseDisplayGrid(-1e308, 1e308, 3, true, 1, nullptr).has_value());
  // Values from 0 to the smallest subnormal: a range over the bin count of 0
  // (a logarithm of -inf), drawn in the finest bins, one each side of 0.
  for (const double low : {0.0, -4.9e-324}) {
    g = host::engine::ChooseDisplayGrid(low, 4.9e-324, 1000, false, 1, nullptr);
    ASSERT_TRUE(g.has_value());
    const auto [lowest, highest] = host::engine::BinSpan(*g, low, 4.9e-324, true);
    EXPECT_LE(highest - lowest, 1);
  }
}

}  // namespace
