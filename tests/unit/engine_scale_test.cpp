// Percentiles of ScaleAccumulator, whether its values stay in the
// value -> weight table or outgrow it into raw storage (at some point in the
// middle of the cases, with weights that change before or after the switch),
// against a plain sort of every (value, weight) pair. Weights are dyadic so
// that every cumulative weight is exact and the comparison can be exact.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "host/engine/scale.h"
#include "host/obs.h"
#include "host/shards/wire.h"

namespace {

using host::engine::ScaleAccumulator;
using Pair = std::pair<double, double>;

// x(t): the smallest value whose cumulative weight reaches t.
double SortedX(const std::vector<Pair>& sorted, double t) {
  double running = 0.0;
  for (const Pair& p : sorted) {
    running += p.second;
    if (running >= t) return p.first;
  }
  return sorted.back().first;
}

double ReferencePercentile(std::vector<Pair> cases, double p) {
  std::sort(cases.begin(), cases.end());
  double w = 0.0;
  for (const Pair& c : cases) w += c.second;
  const double h = (w + 1.0) * p;
  if (h < 1.0) return cases.front().first;
  if (h >= w) return std::max_element(cases.begin(), cases.end())->first;
  const double k = std::floor(h);
  const double lower = SortedX(cases, k);
  return lower + (h - k) * (SortedX(cases, k + 1.0) - lower);
}

struct Case {
  std::string name;
  int n;
  std::function<double(int)> value;
  std::function<double(int)> weight;
};

TEST(EngineScalePercentiles, TableAndRawStorageMatchASortedReference) {
  const std::vector<Case> cases = {
      {"one value", 1, [](int) { return 7.0; }, [](int) { return 1.0; }},
      {"few codes, unit weights", 10000, [](int i) { return (i * 7) % 50; }, [](int) { return 1.0; }},
      {"few codes, weighted", 10000, [](int i) { return (i * 7) % 50 - 20.5; }, [](int i) { return 0.5 * (i % 4); }},
      {"outgrows the table, unit weights", 40000, [](int i) { return ((i * 7) % 2000 + 2000 * (i / 8000)) * 0.25; },
       [](int) { return 1.0; }},
      {"outgrows the table, weighted from the start", 40000,
       [](int i) { return ((i * 7) % 2000 + 2000 * (i / 8000)) * -0.5; }, [](int i) { return 0.25 * (1 + i % 3); }},
      {"outgrows the table, weights after the switch", 30000, [](int i) { return (i % 9000) + 0.5 * (i % 2); },
       [](int i) { return i < 20000 ? 1.0 : 0.5 * (i % 5); }},
      {"cents in a short span, unit weights", 30000, [](int i) { return ((i * 7919) % 9001 - 4500) * 0.01; },
       [](int) { return 1.0; }},
      {"codes in a long span, unit weights", 30000, [](int i) { return (i * 7919) % 30011 * 100.0; },
       [](int) { return 1.0; }},
      {"many distinct values, few repeats", 50000, [](int i) { return std::sin(i) * 1e6; },
       [](int i) { return i % 7 == 0 ? 2.0 : 1.0; }},
  };
  // Near the ends with few binary digits (2^-13, 15/16), as the quartiles
  // have: h is then exact with at most fifteen significant digits, and taken
  // as it is. (An h of more digits, as a p of 0.0001 or 1 - 2^-13 makes, is
  // read as its fifteen-digit decimal when it lies that close to one.)
  const std::vector<double> ps = {0x1p-13, 0.25, 0.5, 0.75, 0.9375};
  for (const Case& c : cases) {
    ScaleAccumulator acc(true);
    std::vector<Pair> pairs;
    for (int i = 0; i < c.n; ++i) {
      acc.AddValid(c.value(i), c.weight(i));
      pairs.emplace_back(c.value(i), c.weight(i));
    }
    const std::vector<double> got = acc.Percentiles(ps);
    for (std::size_t j = 0; j < ps.size(); ++j) {
      EXPECT_EQ(got[j], ReferencePercentile(pairs, ps[j])) << c.name << " p=" << ps[j];
    }
  }
}

// The pass adds a block's valid values in runs. The weight totals, the kept
// values and so the percentiles must come out as adding them one at a time
// leaves them, bit for bit, whatever the run lengths, across the switch to
// raw storage, the first weight other than 1 and a rescaled sum of squares;
// the moments are summed by run and checked in ExtremeValuesInMergedBlocks.
TEST(EngineScaleRuns, KeepAsOneAtATime) {
  const std::vector<Case> cases = {
      {"codes, decimal weights", 3000, [](int i) { return (i * 7) % 50; }, [](int i) { return 0.1 + 0.37 * (i % 9); }},
      {"codes weighted other than 1 before fractions and new values, then raw", 3000,
       [](int i) { return i < 1000     ? (i * 7) % 40
                          : i % 5 == 0 ? 0.5 + i % 40
                                       : 100 + i; },
       [](int i) { return i >= 500 && i < 1000 ? 1.0 + 0.25 * (i % 4) : 1.0; }},
      {"outgrows the table, weights after the switch", 12000, [](int i) { return (i % 9000) + 0.5 * (i % 2); },
       [](int i) { return i < 10000 ? 1.0 : 0.3 * (i % 5 + 1); }},
      {"deviations that rescale", 2000, [](int i) { return std::sin(i) * std::pow(10.0, 30 * (i % 11)); },
       [](int i) { return 1.0 + (i % 3); }},
      {"tiny deviations that refine, then differences that overflow", 700,
       [](int i) { return i < 300 ? std::sin(i) * 1e-300 : (i % 2 ? 1.7e308 : -1.6e308); },
       [](int i) { return 1.0 + (i % 3); }},
      {"weights whose total nears the largest double", 700, [](int i) { return i % 2 ? 1e308 : -5e307 + i * 1e305; },
       [](int i) { return 2e305 + i * 1e302; }},
  };
  const std::vector<double> ps = {0.0001, 0.25, 0.5, 0.75, 0.9999};
  for (const Case& c : cases) {
    ScaleAccumulator single(true);
    std::vector<double> x;
    std::vector<double> w;
    for (int i = 0; i < c.n; ++i) {
      single.AddValid(c.value(i), c.weight(i));
      x.push_back(c.value(i));
      w.push_back(c.weight(i));
    }
    const std::vector<double> expected = single.Percentiles(ps);
    for (std::size_t run : {std::size_t{1}, std::size_t{7}, ScaleAccumulator::kRun}) {
      ScaleAccumulator runs(true);
      for (std::size_t from = 0; from < x.size(); from += run) {
        runs.AddValidRun(x.data() + from, w.data() + from, std::min(run, x.size() - from));
      }
      const std::string at = c.name + ", runs of " + std::to_string(run);
      EXPECT_EQ(std::bit_cast<std::uint64_t>(runs.ValidWeight()), std::bit_cast<std::uint64_t>(single.ValidWeight()))
          << at;
      EXPECT_EQ(runs.Percentiles(ps), expected) << at;
    }
  }
}

// A fresh table whose first run settles the shortcut to raw storage (the
// 65th distinct value within the first 67) stores those values without
// hashing them: the state must be the one the table, fed one value at a
// time, leaves, bit for bit (every member Save writes: the stored order,
// which the exact mean walks, the flags that later weights and merges read),
// also after later values and a merge into a table, and where the first run
// does not settle it (too many repeats, too short, weighted after a repeat).
TEST(EngineScaleRuns, FirstRunStoresRawAsTheTableWould) {
  struct Start {
    std::string name;
    std::vector<int> repeats;   // positions that repeat an earlier value
    std::vector<int> weighted;  // positions of weight 0.5
    std::size_t n = 256;
    bool zeros = false;  // +0 at 40 after -0 at 2: one key
  };
  const std::vector<Start> starts = {
      {"all new", {}, {}},
      {"both zeros", {}, {}, 256, true},
      {"both zeros, weighted", {}, {9}, 256, true},
      {"one repeat", {10}, {}},
      {"two repeats of one value", {5, 6}, {}},
      {"repeats at the deciding places", {64, 65}, {}},
      {"three repeats", {3, 30, 60}, {}},
      {"a repeat after the deciding value", {66}, {}},
      {"short run", {}, {}, 65},
      {"too short to decide", {}, {}, 64},
      {"weighted, all new", {}, {7}},
      {"weighted deciding value", {}, {64}},
      {"weighted, one repeat", {20}, {3}},
      {"weight on a repeat", {20}, {20}},
      {"weight after the deciding value", {}, {70}},
  };
  for (const Start& s : starts) {
    // Distinct cents with zeros of both signs among them (one table key).
    std::vector<double> x(1000);
    std::vector<double> w(x.size(), 1.0);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = ((static_cast<int>(i) * 7919) % 10007 - 5000) * 0.01;
    x[2] = -0.0;
    if (s.zeros) x[40] = 0.0;
    for (int r : s.repeats) x[static_cast<std::size_t>(r)] = x[static_cast<std::size_t>(r) / 2];
    for (int k : s.weighted) w[static_cast<std::size_t>(k)] = 0.5;
    ScaleAccumulator single(true);
    ScaleAccumulator runs(true);
    // Every member but the running mean and sum of squares (bytes 42 to 58
    // of the saved state), which runs sum by run rather than value by value.
    const auto same = [&](const std::string& at) {
      host::wire::Writer a, b;
      single.Save(a);
      runs.Save(b);
      const std::string_view sa = a.Buffer();
      const std::string_view sb = b.Buffer();
      EXPECT_TRUE(sa.substr(0, 42) == sb.substr(0, 42) && sa.substr(58) == sb.substr(58)) << s.name << ", " << at;
      EXPECT_EQ(single.Percentiles({0.25, 0.5, 0.75}), runs.Percentiles({0.25, 0.5, 0.75})) << s.name << ", " << at;
    };
    for (std::size_t i = 0; i < s.n; ++i) single.AddValid(x[i], w[i]);
    runs.AddValidRun(x.data(), w.data(), s.n);
    same("first run");
    // Then weights other than 1 (a provisional state made a table again).
    for (std::size_t i = s.n; i < 600; ++i) {
      w[i] = i % 3 == 0 ? 0.25 : 1.0;
      single.AddValid(x[i], w[i]);
    }
    for (std::size_t k = s.n; k < 600; k += ScaleAccumulator::kRun) {
      runs.AddValidRun(x.data() + k, w.data() + k, std::min(ScaleAccumulator::kRun, 600 - k));
    }
    same("later runs");
    // Merged after a block of codes that keeps its table.
    for (ScaleAccumulator* into : {&single, &runs}) {
      ScaleAccumulator codes(true);
      for (int i = 0; i < 300; ++i) codes.AddValid(i % 12, 1.0);
      codes.Merge(std::move(*into));
      *into = std::move(codes);
    }
    same("merged");
  }
}

// The selection sums the weights of a partition's parts in their order, so
// the block partition must leave every value where std::partition would:
// sizes around the block's, sorted, reversed and repeated values, pivots
// outside the values.
TEST(EngineScaleSelection, PartitionArrangesAsTheStandardOne) {
  std::mt19937_64 random(7);
  for (int trial = 0; trial < 3000; ++trial) {
    const std::size_t n = trial < 600 ? static_cast<std::size_t>(trial) : random() % 4000;
    const int kind = trial % 4;
    std::vector<host::engine::WeightedValue> values(n);
    for (std::size_t i = 0; i < n; ++i) {
      const double v = kind == 0   ? static_cast<double>(random() % 1000)
                       : kind == 1 ? static_cast<double>(i)
                       : kind == 2 ? static_cast<double>(n - i)
                                   : static_cast<double>(random() % 3);
      values[i] = {v, static_cast<double>(i)};
    }
    double pivot = n > 0 ? values[random() % n].value : 0.0;
    if (trial % 11 == 0) pivot = -1.0;
    if (trial % 13 == 0) pivot = 1e9;
    std::vector<host::engine::WeightedValue> expected = values;
    const auto expectedEnd =
        std::partition(expected.begin(), expected.end(), [pivot](const auto& x) { return x.value < pivot; }) -
        expected.begin();
    const auto end = host::engine::PartitionBelow(values.data(), values.data() + n, pivot) - values.data();
    ASSERT_EQ(end, expectedEnd) << "trial " << trial;
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_EQ(values[i].weight, expected[i].weight) << "trial " << trial << ", position " << i;
    }
  }
}

// Short blocks (a wide file's) of mostly new values store them raw before
// their table is full: merged in file order they must still give the sorted
// reference, whether the merged state is empty, a table or raw, and when
// weights other than 1 come within such a block or in a later one. So must
// blocks that keep tables, merged into raw values.
TEST(EngineScalePercentiles, ShortBlocksMergeToTheSortedReference) {
  const auto continuous = [](int i) { return ((i * 7919) % 10007) * 0.25; };
  const std::vector<Case> cases = {
      {"unit weights", 6000, continuous, [](int) { return 1.0; }},
      {"weights within the first block", 3000, continuous, [](int i) { return i < 400 ? 1.0 : 0.25 * (1 + i % 3); }},
      {"weights after the merged state went raw", 6000, continuous,
       [](int i) { return i < 3000 ? 1.0 : 0.5 * (1 + i % 4); }},
      {"codes, new values, one weighted stretch", 4000,
       [continuous](int i) { return i < 300 ? (i % 30) : continuous(i); },
       [](int i) { return i >= 2000 && i < 2100 ? 2.0 : 1.0; }},
      // Blocks with repeats keep tables; once the merged state is raw they
      // wait as parts (tenths, then quarters: two kinds of part).
      {"block tables after the merged state went raw", 9000,
       [](int i) { return i % 4 == 0 ? 0.0 : (i * 7919) % 1201 * (i < 6000 ? 0.5 : 0.25) - 100.0; },
       [](int) { return 1.0; }},
      // Thirds (no decimal codes) first, then cents that wait as parts.
      {"cents waiting behind thirds", 5000, [](int i) { return i < 580 ? i / 3.0 : (i * 7919) % 10007 * 0.01; },
       [](int) { return 1.0; }},
      // Weighted blocks whose first values do not repeat store their cases
      // as pairs from there on; the first block's are made a table again
      // when it is merged, the others join the raw merged state as pairs.
      {"weighted blocks as pairs", 6000, continuous, [](int i) { return 0.25 * (1 + i % 3); }},
      // The fourth block repeats a value early and keeps its table.
      {"weighted pairs around a block with a repeat", 4000,
       [continuous](int i) { return i == 1750 ? continuous(1749) : continuous(i); },
       [](int i) { return 0.5 * (1 + i % 2); }},
      // Pairs blocks into a merged table (codes first): made tables again.
      {"weighted pairs into a merged table", 4000, [continuous](int i) { return i < 580 ? (i % 30) : continuous(i); },
       [](int i) { return 0.5 * (1 + i % 2); }},
  };
  const std::vector<double> ps = {0.0001, 0.25, 0.5, 0.75, 0.9999};
  for (const Case& c : cases) {
    ScaleAccumulator merged(true);
    std::vector<Pair> pairs;
    for (int from = 0; from < c.n; from += 580) {
      ScaleAccumulator block(true);
      std::vector<double> x;
      std::vector<double> w;
      for (int i = from; i < std::min(c.n, from + 580); ++i) {
        x.push_back(c.value(i));
        w.push_back(c.weight(i));
        pairs.emplace_back(c.value(i), c.weight(i));
      }
      for (std::size_t k = 0; k < x.size(); k += ScaleAccumulator::kRun) {
        block.AddValidRun(x.data() + k, w.data() + k, std::min(ScaleAccumulator::kRun, x.size() - k));
      }
      merged.Merge(std::move(block));
    }
    // The results at the end of a pass read the waiting parts from a copy;
    // then as settled in place: the same bits.
    double mean = 0.0;
    const std::vector<double> atEnd = merged.Results(ps, &mean);
    const std::vector<double> got = merged.Percentiles(ps);
    EXPECT_EQ(atEnd, got) << c.name;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(mean), std::bit_cast<std::uint64_t>(merged.Mean())) << c.name;
    for (std::size_t j = 0; j < ps.size(); ++j) {
      EXPECT_EQ(got[j], ReferencePercentile(pairs, ps[j])) << c.name << " p=" << ps[j];
    }
  }
}

// Stored values are kept as decimal codes where that is exact; whatever the
// values (cents, integers, more digits later on, -0, NaN, huge or
// non-decimal ones, sums of weights) and however they are appended (runs,
// repeats, another column, across chunks), every value must come back bit
// for bit, in order.
TEST(EngineRawColumn, KeepsEveryValueBitForBit) {
  using host::engine::RawColumn;
  const std::size_t n = RawColumn::kChunk * 2 + 123;
  const std::vector<std::pair<std::string, std::function<double(std::size_t)>>> kinds = {
      {"cents", [](std::size_t i) { return static_cast<double>(i % 500000) / 100.0 - 1000.0; }},
      {"integers, then tenths", [](std::size_t i) { return i < 70000 ? i * 3.0 : i / 10.0; }},
      {"tenths, then integers", [](std::size_t i) { return i < 20000 ? i / 10.0 : i * 3.0; }},
      {"out of range for more digits", [](std::size_t i) { return i == 5000 ? 0.001 : i * 1e5; }},
      {"-0, NaN and huge among codes",
       [](std::size_t i) {
         return i % 1000 == 1 ? -0.0 : i % 1000 == 2 ? std::nan("") : i % 1000 == 3 ? 1e300 : i * 0.5;
       }},
      {"sums of decimals", [](std::size_t i) { return 0.1 * static_cast<double>(i % 7) + 0.2; }},
      {"not decimals", [](std::size_t i) { return std::sin(static_cast<double>(i)); }},
      // Codes that fit in two bytes after the first third (see `narrowed`),
      // appended to codes of more digits, of fewer, and to doubles.
      {"tenths, then small integers", [](std::size_t i) { return i < 40000 ? (i % 3000) / 10.0 : i % 3000 * 1.0; }},
      {"small integers, then tenths", [](std::size_t i) { return i < 50000 ? i % 1000 * 1.0 : (i % 30000) / 10.0; }},
      {"not decimals, then cents",
       [](std::size_t i) {
         return i < 43731 ? std::sin(static_cast<double>(i)) : (static_cast<double>(i % 6000) - 2000.0) / 100.0;
       }},
      // Full chunks of codes that fit in two bytes are packed; then more
      // digits, values that are no decimals, an exception inside a chunk
      // and codes at the edges of two bytes.
      {"small integers, then hundredths",
       [](std::size_t i) { return i < 70000 ? (i % 30000) * 1.0 - 15000.0 : (i % 3000) / 100.0; }},
      {"small integers, then not decimals",
       [](std::size_t i) { return i < 70000 ? i % 1000 * 1.0 : std::sin(i * 1.0); }},
      {"small integers with an exception per chunk",
       [](std::size_t i) { return i % 40000 == 7 ? 0.1 + 0.2 : (i % 300) / 10.0; }},
      {"tenths of both signs in two bytes",
       [](std::size_t i) { return (static_cast<double>(i * 7919 % 65535) - 32767.0) / 10.0; }},
      {"codes at the edges of two bytes",
       [](std::size_t i) {
         return i % 4 == 0 ? -32768.0 : i % 4 == 1 ? 32767.0 : i % 4 == 2 ? -1.0 : i % 2001 * 1.0;
       }},
      {"codes just past two bytes in the second chunk",
       [](std::size_t i) {
         return i == RawColumn::kChunk + 9 ? 32768.0 : i == 2 * RawColumn::kChunk ? -32769.0 : 1.0;
       }},
  };
  const auto same = [](double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; };
  for (const auto& [name, value] : kinds) {
    std::vector<double> x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = value(i);
    RawColumn single;
    RawColumn runs;
    RawColumn halves;
    RawColumn later;
    for (std::size_t i = 0; i < n; ++i) single.Append(x[i]);
    for (std::size_t i = 0; i < n; i += 1000) runs.Append(x.data() + i, std::min<std::size_t>(1000, n - i));
    halves.Append(x.data(), n / 3);
    later.Append(x.data() + n / 3, n - n / 3);
    halves.Append(later);
    // Later parts waiting as two-byte codes where they fit (joined into one
    // when their digits agree) append as the parts themselves would.
    RawColumn narrowed;
    narrowed.Append(x.data(), n / 3);
    RawColumn first;
    RawColumn second;
    first.Append(x.data() + n / 3, n / 3);
    second.Append(x.data() + 2 * (n / 3), n - 2 * (n / 3));
    RawColumn waiting;
    const bool took = waiting.TakeNarrow(first) && waiting.TakeNarrow(second);
    const bool narrows = name == "tenths, then small integers" || name == "small integers, then tenths" ||
                         name == "not decimals, then cents" || name == "codes at the edges of two bytes" ||
                         name == "tenths of both signs in two bytes";
    EXPECT_EQ(took, narrows) << name;
    if (took) {
      narrowed.Append(waiting);
    } else {
      narrowed.Append(first);
      narrowed.Append(second);
    }
    // A column packed in parts appended whole to one that is not.
    RawColumn appended;
    appended.Append(x.data(), 5);
    appended.Append(single);
    bool hasNaN = false;
    double smallest = x[0];
    double largest = x[0];
    for (const double v : x) {
      hasNaN = hasNaN || std::isnan(v);
      smallest = std::min(smallest, v);
      largest = std::max(largest, v);
    }
    for (const RawColumn* column : {&single, &runs, &halves, &narrowed, &appended}) {
      const std::size_t skip = column == &appended ? 5 : 0;
      ASSERT_EQ(column->Size(), n + skip) << name;
      std::size_t i = 0;
      bool equal = true;
      column->ForEach([&](double v) {
        equal = equal && (i < skip ? same(v, x[i]) : same(v, x[i - skip]));
        ++i;
      });
      EXPECT_TRUE(equal) << name;
      // Every other way of reading them back.
      std::vector<double> copy(column->Size());
      column->CopyTo(copy.data());
      std::vector<double> decoded;
      for (std::size_t c = 0; c < column->Chunks(); ++c) {
        const std::size_t m = column->ChunkSize(c);
        decoded.resize(decoded.size() + m);
        // In two pieces: a start inside a chunk.
        column->Decode(c, 0, m / 3, decoded.data() + decoded.size() - m);
        column->Decode(c, m / 3, m - m / 3, decoded.data() + decoded.size() - m + m / 3);
      }
      ASSERT_EQ(decoded.size(), column->Size()) << name;
      for (std::size_t k = 0; k < copy.size(); ++k) {
        const double want = k < skip ? x[k] : x[k - skip];
        equal = equal && same(copy[k], want) && same(decoded[k], want);
      }
      EXPECT_TRUE(equal) << name << ", copied and decoded";
      if (!hasNaN) {
        double low = 0.0;
        double high = 0.0;
        column->MinMax(low, high);
        EXPECT_TRUE(low == smallest && high == largest) << name << ": " << low << " " << high;
      }
    }
    RawColumn repeated;
    repeated.Append(x.data(), 10);
    repeated.AppendRepeated(x[n - 1], RawColumn::kChunk + 5);
    std::size_t i = 0;
    bool equal = true;
    repeated.ForEach([&](double v) {
      equal = equal && same(v, i < 10 ? x[i] : x[n - 1]);
      ++i;
    });
    EXPECT_TRUE(equal && i == RawColumn::kChunk + 15) << name << ", repeated";
  }
}

// The weighted selection works on codes when both columns are coded: it must
// partition, sum and answer exactly as on the decoded pairs, with decimal
// weights (whose sums depend on their order) and with weights kept aside as
// exceptions.
TEST(EngineScaleSelection, CodesSelectAsTheDecodedPairs) {
  using host::engine::RawColumn;
  std::mt19937_64 random(11);
  for (const bool exceptions : {false, true}) {
    const std::size_t n = 150000;
    RawColumn values;
    RawColumn weights;
    std::vector<host::engine::WeightedValue> pairs(n);
    double total = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      const double x = static_cast<double>(random() % 2000000) / 100.0;
      double w = static_cast<double>(3000 + random() % 27000) / 10000.0;
      if (exceptions && i % 50 == 0) w += 0.1;
      values.Append(x);
      weights.Append(w);
      pairs[i] = {x, w};
      total += w;
    }
    ASSERT_TRUE(values.Keyed() && weights.Coded());
    const std::vector<double> targets = {
        1.0, std::floor(total / 4), std::floor(total / 2) + 1, std::floor(total * 0.75), total - 1.0, total + 5.0};
    const std::vector<double> decoded = host::engine::WeightedSelectMany(pairs, targets);
    EXPECT_EQ(host::engine::WeightedSelectMany(values, weights, targets), decoded)
        << (exceptions ? "with exceptions" : "codes only");
    // A total summed elsewhere (here plainly, in case order) moves only how
    // early a target counts as reached, by far less than any weight.
    EXPECT_EQ(host::engine::WeightedSelectMany(values, weights, targets, total), decoded)
        << (exceptions ? "with exceptions, a given total" : "codes only, a given total");
  }
}

// A long stored column is selected on brackets found from a sample, without
// a whole copy. Against a sort of every pair (dyadic weights: every
// cumulative weight exact, targets on them and between them) and against the
// whole-copy selection on the decoded pairs (decimal weights); columns in
// row order, with few distinct values, and targets past either end, which
// the brackets leave to the whole copy.
TEST(EngineScaleSelection, BracketsSelectAsTheWholeColumn) {
  using host::engine::RawColumn;
  struct Shape {
    const char* name;
    std::function<double(std::size_t, std::mt19937_64&)> value;
    std::function<double(std::mt19937_64&)> weight;
    bool dyadic;
    bool bracketed;  // the sample's brackets must serve every target
  };
  const auto cents = [](std::size_t, std::mt19937_64& r) { return static_cast<double>(r() % 5000000) / 100.0; };
  const auto quarters = [](std::mt19937_64& r) { return static_cast<double>(1 + r() % 12) / 4.0; };
  const auto decimals = [](std::mt19937_64& r) { return static_cast<double>(3000 + r() % 27000) / 10000.0; };
  const std::vector<Shape> shapes = {
      {"random values, quarter weights", cents, quarters, true, true},
      {"values in row order, decimal weights", [](std::size_t i, std::mt19937_64&) { return static_cast<double>(i); },
       decimals, false, true},
      {"random values, decimal weights", cents, decimals, false, true},
      {"fifty distinct values", [](std::size_t, std::mt19937_64& r) { return static_cast<double>(r() % 50); }, quarters,
       true, false},
      // A decimal plus 0.1 is seldom k / 10^4 to the bit: kept as an exception.
      {"random values, decimal weights, some kept aside", cents,
       [&decimals](std::mt19937_64& r) { return decimals(r) + (r() % 50 == 0 ? 0.1 : 0.0); }, false, true},
  };
  for (const Shape& shape : shapes) {
    std::mt19937_64 random(23);
    const std::size_t n = 200000;
    RawColumn values;
    RawColumn weights;
    std::vector<host::engine::WeightedValue> pairs(n);
    std::vector<Pair> sorted(n);
    double total = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      const double x = shape.value(i, random);
      const double w = shape.weight(random);
      values.Append(x);
      weights.Append(w);
      pairs[i] = {x, w};
      sorted[i] = {x, w};
      total += w;
    }
    ASSERT_TRUE(values.Keyed() && weights.Coded()) << shape.name;
    EXPECT_EQ(weights.Keyed(), std::string(shape.name).find("aside") == std::string::npos) << shape.name;
    std::sort(sorted.begin(), sorted.end());
    std::vector<double> targets;
    for (const double share : {0.25, 0.5, 0.75}) {
      targets.push_back(std::floor(total * share));
      targets.push_back(std::floor(total * share) + 1.0);
      targets.push_back(std::floor(total * share) + 0.125);
    }
    std::vector<host::engine::WeightedValue> copy = pairs;
    const std::vector<double> whole = host::engine::WeightedSelectMany(copy, targets);
    std::vector<double> bracketed;
    const bool served = host::engine::BracketSelectMany(values, weights, targets, total, bracketed);
    if (shape.bracketed) {
      ASSERT_TRUE(served) << shape.name;
      EXPECT_EQ(bracketed, whole) << shape.name;
    }
    EXPECT_EQ(host::engine::WeightedSelectMany(values, weights, targets, total), whole) << shape.name;
    EXPECT_EQ(host::engine::WeightedSelectMany(values, weights, targets), whole) << shape.name << ", no total";
    if (shape.dyadic) {
      for (std::size_t i = 0; i < targets.size(); ++i) EXPECT_EQ(whole[i], SortedX(sorted, targets[i])) << shape.name;
    }
    // Past either end: the whole copy answers.
    const std::vector<double> ends = {0.5, total + 5.0};
    std::vector<double> unused;
    EXPECT_FALSE(host::engine::BracketSelectMany(values, weights, {total * 0.5, total + 5.0}, total, unused))
        << shape.name;
    copy = pairs;
    EXPECT_EQ(host::engine::WeightedSelectMany(values, weights, ends, total),
              host::engine::WeightedSelectMany(copy, ends))
        << shape.name;
  }
}

// The results of a pass's tables are computed on several threads, a thread
// with no table left taking parts of the others' selections: the answers
// must be those of one thread, and a table's error must come out once every
// job has ended, not hang the others.
TEST(EngineScaleSelection, SharedSelectionsAnswerAsOneThread) {
  using host::engine::RawColumn;
  std::mt19937_64 random(5);
  RawColumn values;
  RawColumn weights;
  double total = 0.0;
  for (std::size_t i = 0; i < 300000; ++i) {
    const double w = static_cast<double>(3000 + random() % 27000) / 10000.0;
    values.Append(static_cast<double>(random() % 5000000) / 100.0);
    weights.Append(w);
    total += w;
  }
  const std::vector<double> targets = {std::floor(total / 4),     std::floor(total / 4) + 1, std::floor(total / 2),
                                       std::floor(total / 2) + 1, std::floor(total * 0.75),  total - 1.0};
  const std::vector<double> alone = host::engine::WeightedSelectMany(values, weights, targets);
  std::vector<std::vector<double>> shared(5);
  // Three long selections and two empty jobs on two threads: one thread is
  // idle while a selection still runs.
  host::engine::RunFinalJobs(2, shared.size(), [&](std::size_t i) {
    if (i % 2 == 0) shared[i] = host::engine::WeightedSelectMany(values, weights, targets);
  });
  for (std::size_t i = 0; i < shared.size(); i += 2) EXPECT_EQ(shared[i], alone) << "job " << i;

  std::atomic<int> ran{0};
  EXPECT_THROW(host::engine::RunFinalJobs(2, 6,
                                          [&](std::size_t i) {
                                            ++ran;
                                            if (i == 1) throw std::runtime_error("job 1");
                                          }),
               std::runtime_error);
  EXPECT_EQ(ran.load(), 6);
}

// Values near the smallest and the largest doubles, and ordinary ones that
// are hard for running sums (a spread of 1e-3 around 1e9, a first value far
// from all others, values in order), added one at a time or in the pass's
// runs, in blocks of several sizes, and merged: mean and standard deviation
// within a few ulps of a two-pass reference in long double (whose range holds
// their squares).
TEST(EngineScaleMoments, ExtremeValuesInMergedBlocks) {
  const std::vector<Case> cases = {
      {"tiny", 40, [](int i) { return (1 + i % 7) * 1e-300; }, [](int) { return 1.0; }},
      {"tiny and zero", 40, [](int i) { return (i % 5) * 1e-300; }, [](int i) { return 1.0 + i % 2; }},
      {"subnormal", 40, [](int i) { return (i % 9) * 0x1p-1060; }, [](int i) { return 1.0 + i % 2; }},
      {"huge of both signs", 40, [](int i) { return (i % 2 ? 1.0 : -1.0) * (i < 4 ? 5e307 : 1.5e308 - i * 1e306); },
       [](int) { return 1.0; }},
      {"huge after ordinary", 40, [](int i) { return i < 20 ? i : (i % 2 ? 8e307 : -7e307); }, [](int) { return 1.0; }},
      {"near 1e200 after ordinary", 600, [](int i) { return i < 300 ? i * 0.5 : std::sin(i) * 1e200; },
       [](int i) { return 0.5 + i % 3; }},
      // The weight total passes 2^500 within the blocks or only when they
      // merge, and ends near the largest double.
      {"huge weights and values", 40, [](int i) { return i % 2 ? 1e308 : -5e307 + i * 1e305; },
       [](int i) { return 4e306 + i * 1e304; }},
      {"huge weights, small values", 40, [](int i) { return i * 0.5; }, [](int i) { return i < 3 ? 1e150 : 4e306; }},
  };
  // Hard for running sums, not for the range: merged from blocks of one or
  // three values they lose a few ulps, one at a time or in runs alike.
  const std::vector<Case> ordinary = {
      {"1e9 and a spread of 1e-3", 3000, [](int i) { return 1e9 + std::sin(i) * 1e-3; },
       [](int i) { return 0.25 + (i * 7919 % 1000) * 0.0013; }},
      {"a first value far from the rest", 3000, [](int i) { return i == 0 ? -1e6 : 1e9 + (i * 7919 % 1000) * 1e-3; },
       [](int i) { return 1.5 + i % 3; }},
      {"values in order", 3000, [](int i) { return i * 1.25 - 7.0; }, [](int i) { return 0.5 + (i % 7) * 0.1; }},
  };
#if defined(__SIZEOF_FLOAT128__)
  __extension__ typedef __float128 Wide;  // 113 bits: the spread around 1e9 needs more than 64
#else
  typedef long double Wide;
#endif
  std::vector<std::pair<Case, double>> all;  // with the ulps allowed
  for (const Case& c : cases) all.emplace_back(c, 2.0);
  for (const Case& c : ordinary) all.emplace_back(c, 10.0);
  for (const auto& [c, ulps] : all) {
    Wide weight = 0;
    Wide sum = 0;
    for (int i = 0; i < c.n; ++i) {
      weight += c.weight(i);
      sum += c.weight(i) * static_cast<Wide>(c.value(i));
    }
    const Wide mean = sum / weight;
    Wide squares = 0;
    for (int i = 0; i < c.n; ++i) squares += c.weight(i) * (c.value(i) - mean) * (c.value(i) - mean);
    const double sd = static_cast<double>(std::sqrt(static_cast<long double>(squares / (weight - 1))));
    // The mean within the ulps of either the deviations or the mean itself.
    const double m = std::fabs(static_cast<double>(mean));
    const double meanSlack = ulps * std::max(0x1p-52 * sd, std::nextafter(m, INFINITY) - m);
    for (bool runs : {false, true}) {
      for (int block : {1, 3, 40, 580}) {
        ScaleAccumulator merged(false);
        for (int from = 0; from < c.n; from += block) {
          ScaleAccumulator part(false);
          const int to = std::min(c.n, from + block);
          if (runs) {
            std::vector<double> x;
            std::vector<double> w;
            for (int i = from; i < to; ++i) {
              x.push_back(c.value(i));
              w.push_back(c.weight(i));
            }
            for (std::size_t k = 0; k < x.size(); k += ScaleAccumulator::kRun) {
              part.AddValidRun(x.data() + k, w.data() + k, std::min(ScaleAccumulator::kRun, x.size() - k));
            }
          } else {
            for (int i = from; i < to; ++i) part.AddValid(c.value(i), c.weight(i));
          }
          merged.Merge(std::move(part));
        }
        const std::string at = c.name + (runs ? ", runs" : ", one at a time") + ", blocks of " + std::to_string(block);
        EXPECT_NEAR(merged.Mean(), static_cast<double>(mean), meanSlack) << at;
        EXPECT_NEAR(merged.StdDev(), sd, ulps * 0x1p-52 * sd) << at;
      }
    }
  }
}

// With stored values the mean is the exact weighted mean rounded once.
// Values are multiples of 2^-40 (up to 50 significant bits, so that their
// sums round) and weights whole, so the exact Σ w·x is a 128-bit integer
// count of 2^-40; the quotient in quad precision (113 bits, more than twice
// 53 + 1) rounds to the same double as the exact one. Odd and even counts,
// unit and other weights, values kept in a table (few distinct) or raw, in
// one block or merged from several.
TEST(EngineScaleMoments, StoredValuesGiveTheExactMeanAndStdDevRoundedOnce) {
#if !defined(__SIZEOF_INT128__) || !defined(__SIZEOF_FLOAT128__)
  GTEST_SKIP() << "no 128-bit integers or quad precision here";
#else
  __extension__ typedef __int128 Exact;
  __extension__ typedef __float128 Quad;
  struct MeanCase {
    std::string name;
    int n;
    std::function<std::int64_t(int)> units;  // the value in units of 2^-40
    std::function<int(int)> weight;
  };
  std::mt19937_64 random(17);
  std::vector<std::int64_t> drawn(4001);
  for (std::int64_t& a : drawn)
    a = static_cast<std::int64_t>(random() % (std::uint64_t{1} << 51)) - (std::int64_t{1} << 50);
  const auto many = [&drawn](int i) { return drawn[static_cast<std::size_t>(i)]; };
  const auto few = [&drawn](int i) { return drawn[static_cast<std::size_t>(i % 7)]; };
  const std::vector<MeanCase> cases = {
      {"raw, unit weights, odd count", 4001, many, [](int) { return 1; }},
      {"raw, unit weights, even count", 4000, many, [](int) { return 1; }},
      {"raw, weighted, odd count", 3999, many, [](int i) { return 1 + i % 3; }},
      {"raw, weighted, even count", 2, many, [](int i) { return 2 + i; }},
      {"one value", 1, many, [](int) { return 3; }},
      {"table, unit weights", 3001, few, [](int) { return 1; }},
      {"table, weighted", 3001, few, [](int i) { return 1 + i % 5; }},
  };
  for (const MeanCase& c : cases) {
    Exact sum = 0;
    Exact weight = 0;
    for (int i = 0; i < c.n; ++i) {
      sum += static_cast<Exact>(c.units(i)) * c.weight(i);
      weight += c.weight(i);
    }
    const auto expected = static_cast<double>(static_cast<Quad>(sum) / (static_cast<Quad>(weight) * 0x1p40));
    // The deviations from the exact mean times W are whole numbers of
    // units: Σ w·d² in quad precision (113 bits, each square and addition
    // rounded far below a double's last bit), over W²(W - 1), its root by
    // Newton's steps.
    Quad squares = 0;
    for (int i = 0; i < c.n; ++i) {
      const auto d = static_cast<Quad>(static_cast<Exact>(c.units(i)) * weight - sum);
      squares += static_cast<Quad>(c.weight(i)) * d * d;
    }
    double expectedSd = 0.0;
    if (squares > 0) {
      const auto w = static_cast<Quad>(weight);
      const Quad variance = squares / (w * w * (w - 1));
      Quad root = std::sqrt(static_cast<double>(variance));
      for (int step = 0; step < 4; ++step) root = (root + variance / root) / 2;
      expectedSd = static_cast<double>(root * static_cast<Quad>(0x1p-40));
    }
    const auto valueOf = [&c](int i) { return std::ldexp(static_cast<double>(c.units(i)), -40); };
    const auto bits = [](double x) { return std::bit_cast<std::uint64_t>(x); };
    for (int block : {c.n, 577}) {
      ScaleAccumulator merged(true);
      for (int from = 0; from < c.n; from += block) {
        ScaleAccumulator part(true);
        for (int i = from; i < std::min(c.n, from + block); ++i) part.AddValid(valueOf(i), c.weight(i));
        merged.Merge(std::move(part));
      }
      const std::string where = c.name + ", blocks of " + std::to_string(block);
      // Both in one walk at the end of a pass, then each alone.
      double mean = 0.0;
      double sd = 0.0;
      merged.Results({}, &mean, &sd);
      EXPECT_EQ(bits(mean), bits(expected)) << where << ": " << mean << " against " << expected;
      EXPECT_EQ(bits(sd), bits(expectedSd)) << where << ": " << sd << " against " << expectedSd;
      EXPECT_EQ(bits(merged.Mean()), bits(expected)) << where;
      EXPECT_EQ(bits(merged.StdDevKept()), bits(expectedSd)) << where;
    }
  }
#endif
}

TEST(EngineScalePercentiles, NoValidCaseGivesSystemMissing) {
  ScaleAccumulator acc(true);
  acc.AddMissing(1.0);
  EXPECT_EQ(acc.Percentile(0.5), SYSMIS);
  EXPECT_EQ(ScaleAccumulator(true).Percentiles({0.25, 0.75}), std::vector<double>(2, SYSMIS));
}

}  // namespace
