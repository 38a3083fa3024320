// The side statistics of a pass: see profile.h.
#include "host/engine/profile.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <numeric>

#include "host/common/in_order.h"
#include "host/common/text.h"
#include "host/common/thread_room.h"
#include "host/data/dataset.h"
#include "host/quvo.h"

namespace host::engine {

namespace {

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

constexpr std::int64_t kDay = 86400;

// Dates and date-times are seconds: their bins are whole days.
std::int64_t UnitOf(const QUVO_Variable& variable) {
  return TimeKindOf(variable.printFormat.type) == TimeKind::Date ? kDay : 1;
}

// Whether x is a whole number of units: exact, and cheaper than fmod (a
// multiple k * unit divides back to exactly k).
bool WholeUnits(double x, std::int64_t unit) {
  const double q = unit == 1 ? x : x / static_cast<double>(unit);
  if (!(std::fabs(q) < 9.0e15)) return std::isfinite(q) && std::floor(q) == q;
  return static_cast<double>(static_cast<std::int64_t>(q)) == q;
}

// What every summary has: the totals and, when gathered, the distinct values.
ColumnSummary Counted(bool isString, bool full, const CompensatedSum& valid, const CompensatedSum& missing,
                      std::int64_t validCases, bool exact, std::size_t distinct) {
  ColumnSummary out;
  out.isString = isString;
  out.full = full;
  out.validWeight = valid.Value();
  out.missingWeight = missing.Value();
  out.validCases = validCases;
  if (full) {
    out.distinctOver = !exact;
    out.distinct = exact ? distinct : kDistinctLimit;
  }
  return out;
}

// User-missing values as the tables test them.
NumericMissing MissingOf(const QUVO_Variable& variable) {
  NumericMissing m;
  m.values = variable.missing.numbers;
  m.hasRange = variable.missing.hasRange;
  m.low = variable.missing.low;
  m.high = variable.missing.high;
  m.extended = variable.missing.extended;
  return m;
}

// Sturges' number of bins for n cases, kept within 5 and the display's most.
int BinTarget(std::int64_t cases) {
  // ceil(log2(n)) + 1, in integers.
  const int sturges = cases > 1 ? static_cast<int>(std::bit_width(static_cast<std::uint64_t>(cases - 1))) + 1 : 1;
  return std::clamp(sturges, 5, kMaxHistogramBins);
}

}  // namespace

TimeKind TimeKindOf(int formatType) {
  using namespace FormatType;
  if (formatType == TIME || formatType == DTIME || formatType == MTIME) return TimeKind::Time;
  for (int date : {DATE, ADATE, EDATE, SDATE, JDATE, QYR, MOYR, WKYR, DATETIME, YMDHMS}) {
    if (formatType == date) return TimeKind::Date;
  }
  return TimeKind::None;
}

// ---------------------------------------------------------------- grids

std::int64_t DecimalGrid::Ratio(const DecimalGrid& finer) const {
  // this width / finer width = step * 10^(exponent - finer.exponent) / finer.step
  const int d = exponent - finer.exponent;
  if (d < -18 || d > 18) return 0;
  std::int64_t numerator = step;
  std::int64_t denominator = finer.step;
  constexpr std::int64_t kLimit = std::numeric_limits<std::int64_t>::max() / 10;
  for (int k = 0; k < d; ++k) {
    if (numerator > kLimit) return 0;
    numerator *= 10;
  }
  for (int k = 0; k < -d; ++k) {
    if (denominator > kLimit) return 0;
    denominator *= 10;
  }
  if (numerator % denominator != 0) return 0;
  return numerator / denominator;
}

std::pair<std::int64_t, std::int64_t> BinSpan(const DecimalGrid& grid, double low, double high, bool closeLast) {
  const std::int64_t first = grid.Bin(low);
  std::int64_t last = grid.Bin(high);
  // Measurements from 0 to 1000 in bins of 100 end with [900, 1000], not
  // with a bin of their own for the one value 1000.
  if (closeLast && last > first && grid.Edge(last) == high) --last;
  return {first, last};
}

std::optional<DecimalGrid> ChooseDisplayGrid(double low, double high, std::int64_t cases, bool wholeNumbers,
                                             std::int64_t unit, const DecimalGrid* finest) {
  if (!std::isfinite(low) || !std::isfinite(high) || high < low || unit <= 0) return std::nullopt;
  const int target = BinTarget(cases);
  const double range = (high - low) / static_cast<double>(unit);
  // Values from near -1e308 to near 1e308 span more than a double holds: no
  // grid of decimal bins can cover them, so the column is drawn without bins.
  if (!std::isfinite(range)) return std::nullopt;
  int e;
  if (range > 0.0) {
    // A range of a few subnormals over the bin count is 0, whose logarithm
    // is -inf: no int holds that, and the exponent is clamped below anyway.
    const double exponent = std::floor(std::log10(range / target));
    e = exponent > -DecimalGrid::kMaxExponent ? static_cast<int>(exponent) - 1 : -DecimalGrid::kMaxExponent;
  } else {
    const double magnitude = std::fabs(low) / static_cast<double>(unit);
    e = magnitude > 0.0 ? static_cast<int>(std::floor(std::log10(magnitude))) - 1 : 0;
  }
  if (wholeNumbers) e = std::max(e, 0);
  e = std::clamp(e, -DecimalGrid::kMaxExponent, DecimalGrid::kMaxExponent);
  for (; e <= DecimalGrid::kMaxExponent; ++e) {
    for (std::int64_t m : {1, 2, 5}) {
      const DecimalGrid grid{m * unit, e};
      if (finest != nullptr && grid.Ratio(*finest) == 0) continue;
      if (!grid.Usable(low) || !grid.Usable(high)) continue;
      const auto [first, last] = BinSpan(grid, low, high, !wholeNumbers);
      if (last - first + 1 <= target) return grid;
    }
  }
  return std::nullopt;
}

void DataProfile::Absorb(DataProfile&& later) {
  for (auto& [index, summary] : later.columns) {
    auto kept = columns.find(index);
    if (!summary.counted && kept != columns.end()) {
      if (!kept->second.counted) kept->second.validAtLeast = std::max(kept->second.validAtLeast, summary.validAtLeast);
      continue;
    }
    columns[index] = std::move(summary);
  }
  for (auto& [name, summary] : later.sets) sets[name] = summary;
}

// ---------------------------------------------------------------- numbers

namespace {

// The bins of values in ascending order: Bin(x) is computed again only when
// x passes the upper edge of the bin before, and gives the same as Bin(x)
// for every value.
class AscendingBins {
 public:
  explicit AscendingBins(const DecimalGrid& grid) : fGrid(grid) {}
  // Whether x starts another bin than the value before.
  bool Next(double x) {
    if (fStarted && x < fUpper) return false;
    if (fStarted) {
      // Sorted values mostly go on to the next bin: one edge decides that,
      // where Bin takes several divisions and a floor.
      const double above = fGrid.Edge(fBin + 2);
      if (x < above) {
        ++fBin;
        fUpper = above;
        return true;
      }
    }
    fStarted = true;
    fBin = fGrid.Bin(x);
    fUpper = fGrid.Edge(fBin + 1);
    return true;
  }
  std::int64_t Bin() const { return fBin; }

 private:
  DecimalGrid fGrid;
  bool fStarted = false;
  std::int64_t fBin = 0;
  double fUpper = 0.0;
};

// The number of bins of `grid` the values (ascending) fall in, counted up to
// limit + 1; the largest size_t when the grid cannot number them.
std::size_t BinsAt(const std::vector<double>& sorted, const DecimalGrid& grid, std::size_t limit) {
  if (sorted.empty()) return 0;
  if (!grid.Usable(sorted.front()) || !grid.Usable(sorted.back())) return std::numeric_limits<std::size_t>::max();
  AscendingBins bins(grid);
  std::size_t count = 0;
  for (double x : sorted) {
    if (bins.Next(x) && ++count > limit) break;
  }
  return count;
}

}  // namespace

void NumericProfile::Add(const double* values, const double* weights, std::size_t rows, int binHint) {
  if (weights == nullptr) {
    AddRows<false>(values, weights, rows, binHint);
  } else {
    AddRows<true>(values, weights, rows, binHint);
  }
}

namespace {

// Per reader thread: the valid values of the block's column being profiled.
struct Scratch {
  std::vector<double> values;
  std::vector<WeightedValue> weighted;
  std::vector<std::uint64_t> keys;  // for the sorts
  std::vector<std::uint64_t> keysBuffer;
  std::vector<WeightedValue> weightedBuffer;
  std::vector<CompensatedSum> slots;     // by integer
  std::vector<std::uint32_t> unitSlots;  // by integer, weights all 1
  std::vector<double> edges;             // of the bins of a block's range
  std::vector<std::uint32_t> counts;     // by bin (BinAtOnce: whole counts)
  // By decimal (DecimalSlots): counts, all zero between calls, and a bit
  // per slot with a count.
  std::vector<std::uint32_t> decimalCounts;
  std::vector<std::uint64_t> decimalUsed;
};

Scratch& ThreadScratch() {
  thread_local Scratch* scratch = nullptr;
  return RoomOf(scratch);
}

// Values of weight 1 that are all decimals of a few digits after the point
// (each the double nearest to k / 10^d for a whole k, as "50.23" reads from
// a file), within a span of k that a table of counts holds: their distinct
// values ascending with their counts, counted in a slot per k instead of
// sorted (the first blocks of a column of amounts, before the pass's
// profile has bins). The lists are the ones the sort gives: k / 10^d is the
// one double of each k, a larger k a larger value, and +0 and -0 are both
// k = 0, one value +0. False (nothing written) when the values are not of
// that kind.
constexpr int kMostDecimals = 4;
constexpr double kTens[kMostDecimals + 1] = {1.0, 10.0, 100.0, 1000.0, 10000.0};
constexpr std::size_t kFewestForSlots = 32;  // fewer sort faster than a table is walked
constexpr std::int64_t kDecimalSlots = std::int64_t{1} << 17;

bool DecimalSlots(const double* values, std::size_t n, double low, double high, Scratch& scratch,
                  std::vector<double>& distinct, std::vector<std::uint32_t>& counts) {
  // Below this a bound on k keeps every product x * 10^d an exact integer's
  // neighbour: |k| < 2^50 rounds back to k.
  constexpr double kLargest = 0x1p50 / 1e4;
  if (!(std::fabs(low) < kLargest && std::fabs(high) < kLargest)) return false;
  // The whole number nearest to v (|v| < 2^51): adding 1.5 x 2^52 leaves no
  // bit below the units, and taking it away again is exact. Cheaper than a
  // call to the library's rounding, and any near whole number does, since the
  // quotient is tested.
  const auto Whole = [](double v) {
    constexpr double kShift = 0x1.8p52;
    return (v + kShift) - kShift;
  };
  // The fewest digits that hold every value: a value on the grid of d digits
  // is on that of d + 1 too (10k / 10^(d+1) is the same quotient).
  int d = 0;
  double scale = 1.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double x = values[i];
    while (Whole(x * scale) / scale != x) {
      if (++d > kMostDecimals) return false;
      scale = kTens[d];
    }
  }
  const auto first = static_cast<std::int64_t>(Whole(low * scale));
  const std::int64_t span = static_cast<std::int64_t>(Whole(high * scale)) - first + 1;
  if (span > kDecimalSlots) return false;
  const auto slots = static_cast<std::size_t>(span);
  const std::size_t words = (slots + 63) / 64;
  std::vector<std::uint32_t>& slotCounts = scratch.decimalCounts;
  std::vector<std::uint64_t>& used = scratch.decimalUsed;
  if (slotCounts.size() < slots) slotCounts.resize(slots);
  if (used.size() < words) used.resize(words);
  std::uint32_t* const count = slotCounts.data();
  std::uint64_t* const bits = used.data();
  for (std::size_t i = 0; i < n; ++i) {
    const auto k = static_cast<std::size_t>(static_cast<std::int64_t>(Whole(values[i] * scale)) - first);
    ++count[k];
    bits[k / 64] |= std::uint64_t{1} << (k % 64);
  }
  std::size_t many = 0;
  for (std::size_t w = 0; w < words; ++w) many += static_cast<std::size_t>(std::popcount(bits[w]));
  distinct.resize(many);
  counts.resize(many);
  std::size_t at = 0;
  for (std::size_t w = 0; w < words; ++w) {
    for (std::uint64_t b = bits[w]; b != 0; b &= b - 1) {
      const std::size_t k = w * 64 + static_cast<std::size_t>(std::countr_zero(b));
      distinct[at] = static_cast<double>(first + static_cast<std::int64_t>(k)) / scale;
      counts[at++] = count[k];
      count[k] = 0;
    }
    bits[w] = 0;
  }
  return true;
}

// The slots by integer: weight sums, or counts with unit weights.
template <bool kWeighted>
auto& Slots(Scratch& scratch) {
  if constexpr (kWeighted) {
    return scratch.slots;
  } else {
    return scratch.unitSlots;
  }
}

// Distinct values of a list sorted by `before` (equal ones adjacent), and
// the sum of each one's weights in list order (or its count).
template <typename Item, typename Sum, typename Before, typename ValueOf, typename Add>
void Distinct(const Item* items, std::size_t n, std::vector<double>& values, std::vector<Sum>& sums, Before before,
              ValueOf valueOf, Add add) {
  std::size_t distinct = n > 0 ? 1 : 0;
  for (std::size_t i = 1; i < n; ++i) distinct += before(valueOf(items[i - 1]), valueOf(items[i])) ? 1 : 0;
  values.reserve(distinct);
  sums.reserve(distinct);
  for (std::size_t i = 0; i < n; ++i) {
    const double x = valueOf(items[i]);
    if (i == 0 || before(valueOf(items[i - 1]), x)) {
      values.push_back(x == 0.0 ? 0.0 : x);  // one value for +0 and -0
      sums.emplace_back();
    }
    add(sums.back(), items[i]);
  }
}

// A number as an unsigned key in the same order (not NaN; +0 and -0 one key).
std::uint64_t SortKey(double x) {
  const auto bits = std::bit_cast<std::uint64_t>(x == 0.0 ? 0.0 : x);
  return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

// The number a SortKey stands for (+0 for either zero).
double FromSortKey(std::uint64_t key) {
  return std::bit_cast<double>((key >> 63) != 0 ? key & ~(std::uint64_t{1} << 63) : ~key);
}

// A stable sort by an unsigned key, a byte at a time from the lowest: no
// comparison to mispredict, which a comparison sort of scattered values
// pays for on every other step. Bytes that all keys share are skipped.
// kDigits: the key's bytes to sort on, from the lowest.
template <int kDigits = 8, typename Item, typename KeyOf>
void RadixSort(Item* items, Item* buffer, std::size_t n, KeyOf keyOf) {
  if (n < 2) return;
  std::uint32_t counts[kDigits][256] = {};
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t key = keyOf(items[i]);
    for (int d = 0; d < kDigits; ++d) ++counts[d][(key >> (8 * d)) & 0xFF];
  }
  const std::uint64_t firstKey = keyOf(items[0]);
  Item* from = items;
  Item* to = buffer;
  for (int d = 0; d < kDigits; ++d) {
    std::uint32_t* count = counts[d];
    if (count[(firstKey >> (8 * d)) & 0xFF] == n) continue;
    std::uint32_t at = 0;
    for (int b = 0; b < 256; ++b) {
      const std::uint32_t c = count[b];
      count[b] = at;
      at += c;
    }
    for (std::size_t i = 0; i < n; ++i) to[count[(keyOf(from[i]) >> (8 * d)) & 0xFF]++] = from[i];
    std::swap(from, to);
  }
  if (from != items) std::copy(from, from + n, items);
}

// Sorts keys ascending: by their upper halves a byte at a time (half the
// passes of the whole key), then each run of keys with one upper half by the
// rest. Distinct values read from a file mostly differ in their upper
// halves (sign, exponent and the first 20 bits of the fraction), so runs are
// mostly one value's repeats, which insertion leaves where they are; a long
// run is sorted by comparison, so no input costs more than n log n.
void SortKeys(std::uint64_t* keys, std::uint64_t* buffer, std::size_t n) {
  RadixSort<4>(keys, buffer, n, [](std::uint64_t key) { return key >> 32; });
  constexpr std::size_t kShortRun = 16;
  std::size_t i = 0;
  while (i < n) {
    const std::uint64_t upper = keys[i] >> 32;
    std::size_t j = i + 1;
    while (j < n && keys[j] >> 32 == upper) ++j;
    if (j - i > kShortRun) {
      std::sort(keys + i, keys + j);
    } else {
      for (std::size_t k = i + 1; k < j; ++k) {
        const std::uint64_t key = keys[k];
        std::size_t at = k;
        for (; at > i && keys[at - 1] > key; --at) keys[at] = keys[at - 1];
        keys[at] = key;
      }
    }
    i = j;
  }
}

// Sorts weighted values by value (stable) and takes the distinct values
// with the sums of their weights in case order.
void SortedDistinct(std::vector<WeightedValue>& items, std::vector<WeightedValue>& buffer, std::size_t n, bool anyNaN,
                    std::vector<double>& values, std::vector<CompensatedSum>& sums) {
  const auto valueOf = [](const WeightedValue& v) { return v.value; };
  const auto add = [](CompensatedSum& sum, const WeightedValue& v) { sum.Add(v.weight); };
  if (anyNaN) {
    std::stable_sort(items.begin(), items.begin() + static_cast<std::ptrdiff_t>(n),
                     [](const WeightedValue& a, const WeightedValue& b) { return ValueBefore(a.value, b.value); });
    Distinct(items.data(), n, values, sums, ValueBefore, valueOf, add);
    return;
  }
  if (buffer.size() < n) buffer.resize(n);
  RadixSort(items.data(), buffer.data(), n, [](const WeightedValue& v) { return SortKey(v.value); });
  Distinct(
      items.data(), n, values, sums, [](double a, double b) { return a < b; }, valueOf, add);
}

// The same for values that weigh 1 each: a value's weight is its count.
// The values are sorted as their keys.
void SortedDistinct(std::vector<double>& items, std::vector<std::uint64_t>& keys, std::vector<std::uint64_t>& buffer,
                    std::size_t n, bool anyNaN, std::vector<double>& values, std::vector<std::uint32_t>& counts) {
  if (anyNaN) {
    std::sort(items.begin(), items.begin() + static_cast<std::ptrdiff_t>(n), ValueBefore);
    Distinct(
        items.data(), n, values, counts, ValueBefore, [](double x) { return x; },
        [](std::uint32_t& count, double) { ++count; });
    return;
  }
  if (keys.size() < n) keys.resize(n);
  if (buffer.size() < n) buffer.resize(n);
  for (std::size_t i = 0; i < n; ++i) keys[i] = SortKey(items[i]);
  SortKeys(keys.data(), buffer.data(), n);
  std::size_t distinct = 1;
  for (std::size_t i = 1; i < n; ++i) distinct += keys[i] != keys[i - 1] ? 1 : 0;
  values.reserve(distinct);
  counts.reserve(distinct);
  for (std::size_t i = 0; i < n; ++i) {
    if (i == 0 || keys[i] != keys[i - 1]) {
      values.push_back(FromSortKey(keys[i]));
      counts.push_back(0);
    }
    ++counts.back();
  }
}

// What a kept weight adds to a bin or a mode: a count is a sum of ones
// (exact, no carry), so both give the same double.
double WeightOf(const CompensatedSum& sum) { return sum.Value(); }
double WeightOf(std::uint32_t count) { return static_cast<double>(count); }

std::vector<CompensatedSum> AsSums(const std::vector<std::uint32_t>& counts) {
  std::vector<CompensatedSum> sums(counts.size());
  for (std::size_t k = 0; k < counts.size(); ++k) sums[k] = CompensatedSum{static_cast<double>(counts[k]), 0.0};
  return sums;
}

// Counts stay below this: the count of a value is at most the cases kept.
constexpr std::int64_t kMaxCount = std::numeric_limits<std::uint32_t>::max();

// The union of two ascending lists of keys with a weight each (b after a),
// into the first: a key in both gets combine(a's weight, b's weight). Merged
// from the back into the first lists' room, grown as a vector grows: a
// thousand columns merged block after block reuse the memory they have
// instead of taking two fresh lists each time.
template <typename Key, typename Weight, typename Before, typename Combine>
void Unite(std::vector<Key>& keys, std::vector<Weight>& weights, const std::vector<Key>& laterKeys,
           const std::vector<Weight>& laterWeights, Before before, Combine combine) {
  const std::size_t n = keys.size();
  const std::size_t m = laterKeys.size();
  if (m == 0) return;
  keys.resize(n + m);
  weights.resize(n + m);
  // The next place to fill from the back stays at or above i + j, so an
  // entry of the first list is read before anything is written over it.
  std::size_t i = n;
  std::size_t j = m;
  std::size_t k = n + m;
  while (j > 0) {
    --k;
    if (i > 0 && before(laterKeys[j - 1], keys[i - 1])) {
      --i;
      keys[k] = keys[i];
      weights[k] = weights[i];
    } else if (i == 0 || before(keys[i - 1], laterKeys[j - 1])) {
      --j;
      keys[k] = laterKeys[j];
      weights[k] = laterWeights[j];
    } else {
      --i;
      --j;
      keys[k] = keys[i];
      weights[k] = combine(weights[i], laterWeights[j]);
    }
  }
  // The first i entries are in place; keys in both left a gap before the rest.
  if (k > i) {
    const auto to = static_cast<std::ptrdiff_t>(i);
    const auto from = static_cast<std::ptrdiff_t>(k);
    keys.erase(keys.begin() + to, keys.begin() + from);
    weights.erase(weights.begin() + to, weights.begin() + from);
  }
}

// The values of a column a missing test takes (system-missing, or any
// user-missing value when kCheck).
template <bool kCheck>
bool MissingNumber(const NumericMissing& missing, double x) {
  return x == SYSMIS || (kCheck && missing.Test(x));
}

// The column loops below take two values at a time: SSE2 vectors of two
// doubles, and their comparisons' masks (all ones where true).
using Pair = double __attribute__((vector_size(16)));
using PairMask = std::int64_t __attribute__((vector_size(16)));

Pair LoadPair(const double* at) {
  Pair x;
  std::memcpy(&x, at, sizeof x);
  return x;
}

// The common user-missing rule, at most three listed values (no range, no
// extended codes), as a test without branches: system-missing or one of the
// first kListed of a, b, c.
template <int kListed>
struct ListedMissing {
  double a = SYSMIS;
  double b = SYSMIS;
  double c = SYSMIS;
  bool operator()(double x) const {
    bool missing = x == SYSMIS;
    if constexpr (kListed >= 1) missing |= x == a;
    if constexpr (kListed >= 2) missing |= x == b;
    if constexpr (kListed >= 3) missing |= x == c;
    return missing;
  }
  PairMask operator()(Pair x) const {
    PairMask missing = x == Pair{SYSMIS, SYSMIS};
    if constexpr (kListed >= 1) missing |= x == Pair{a, a};
    if constexpr (kListed >= 2) missing |= x == Pair{b, b};
    if constexpr (kListed >= 3) missing |= x == Pair{c, c};
    return missing;
  }
};

// Calls run with the column's missing test: a ListedMissing when the rule
// is one, else the general test.
template <typename Run>
auto WithMissing(const NumericMissing& missing, bool check, Run run) {
  const std::vector<double>& v = missing.values;
  if (!check) return run(ListedMissing<0>{});
  if (!missing.hasRange && !missing.extended) {
    switch (v.size()) {
      case 1:
        return run(ListedMissing<1>{v[0]});
      case 2:
        return run(ListedMissing<2>{v[0], v[1]});
      case 3:
        return run(ListedMissing<3>{v[0], v[1], v[2]});
      default:
        break;
    }
  }
  return run([&missing](auto x) {
    if constexpr (std::is_same_v<decltype(x), Pair>) {
      return PairMask{MissingNumber<true>(missing, x[0]) ? -1 : 0, MissingNumber<true>(missing, x[1]) ? -1 : 0};
    } else {
      return MissingNumber<true>(missing, x);
    }
  });
}

// What KeepValid finds: the kept values' count, their range and whether
// they are all finite or hold a NaN.
struct KeptRange {
  std::size_t n = 0;
  double low = std::numeric_limits<double>::infinity();
  double high = -std::numeric_limits<double>::infinity();
  bool finite = true;
  bool anyNaN = false;
};

template <typename Missing>
std::int64_t CountMissing(const Missing& missing, const double* values, std::size_t rows) {
  PairMask counted = {};
  std::size_t r = 0;
  for (; r + 2 <= rows; r += 2) counted -= missing(LoadPair(values + r));
  std::int64_t count = counted[0] + counted[1];
  for (; r < rows; ++r) count += missing(values[r]) ? 1 : 0;
  return count;
}

// The range of n values as std::min and std::max take it in case order
// (NaNs passed over, and of +0 and -0 the first one seen), and whether one
// is not finite (x - x is 0 only for finite x), two at a time. A lane's
// minimum and maximum are those of its values, so the lanes' are the
// column's; only a zero's sign can depend on the order, and a range that
// ends in a zero takes the column's first zero, as the loop in case order
// does.
KeptRange RangeOf(const double* kept, std::size_t n) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  Pair low = {kInf, kInf};
  Pair high = {-kInf, -kInf};
  PairMask odd = {};
  std::size_t i = 0;
  for (; i + 2 <= n; i += 2) {
    const Pair x = LoadPair(kept + i);
    low = x < low ? x : low;
    high = high < x ? x : high;
    odd |= x - x != Pair{0.0, 0.0};
  }
  KeptRange out;
  out.n = n;
  double lo = std::min(std::min(out.low, low[0]), low[1]);
  double hi = std::max(std::max(out.high, high[0]), high[1]);
  bool anyOdd = (odd[0] | odd[1]) != 0;
  for (; i < n; ++i) {
    const double x = kept[i];
    lo = std::min(lo, x);
    hi = std::max(hi, x);
    anyOdd = anyOdd || !(x - x == 0.0);
  }
  if (lo == 0.0 || hi == 0.0) {
    const double* zero = std::find(kept, kept + n, 0.0);
    if (lo == 0.0) lo = *zero;
    if (hi == 0.0) hi = *zero;
  }
  out.low = lo;
  out.high = hi;
  if (anyOdd) {
    for (std::size_t k = 0; k < n; ++k) {
      out.finite = out.finite && std::isfinite(kept[k]);
      out.anyNaN = out.anyNaN || std::isnan(kept[k]);
    }
  }
  return out;
}

// The valid values in case order into `kept` (room for `rows`), with the
// range and finiteness RangeOf finds. Every value is stored and the place
// moves on only past a valid one: no branch per row.
template <typename Missing>
KeptRange KeepValid(const Missing& missing, const double* values, std::size_t rows, double* kept) {
  std::size_t n = 0;
  std::size_t r = 0;
  for (; r + 2 <= rows; r += 2) {
    const PairMask gone = missing(LoadPair(values + r));
    kept[n] = values[r];
    n += static_cast<std::size_t>(gone[0] + 1);
    kept[n] = values[r + 1];
    n += static_cast<std::size_t>(gone[1] + 1);
  }
  for (; r < rows; ++r) {
    kept[n] = values[r];
    n += missing(values[r]) ? 0 : 1;
  }
  return RangeOf(kept, n);
}

// Whether every value is a whole number (WholeUnits with a unit of 1):
// below 2^52 a value is whole when adding and taking away 2^52 gives it
// back, at or above it every finite double is. Sixteen values at a time
// without a branch; the first group with a fraction ends it (a column of
// decimals is seen to be one in its first values).
bool AllWhole(const double* values, std::size_t n) {
  constexpr double kBig = 0x1p52;
  constexpr double kInf = std::numeric_limits<double>::infinity();
  constexpr std::size_t kGroup = 16;
  const Pair big = {kBig, kBig};
  const Pair inf = {kInf, kInf};
  std::size_t i = 0;
  for (; i + kGroup <= n; i += kGroup) {
    PairMask whole = {-1, -1};
    for (std::size_t k = 0; k < kGroup; k += 2) {
      const Pair x = LoadPair(values + i + k);
      const Pair a = x < Pair{0.0, 0.0} ? -x : x;
      whole &= (a < inf) & ((a >= big) | (a == (a + big) - big));
    }
    if ((whole[0] & whole[1]) == 0) return false;
  }
  for (; i < n; ++i) {
    if (!WholeUnits(values[i], 1)) return false;
  }
  return true;
}

}  // namespace

// The column loop, apart for unweighted files: there every weight is 1, so
// the totals are counts, summed exactly in integers and added once. A full
// profile collects the valid values, sorts them and takes them as distinct
// values with their weights (each summed in case order, as one by one).
template <bool kWeighted>
void NumericProfile::AddRows(const double* values, const double* weights, std::size_t rows, int binHint) {
  const bool checkMissing = fMissing.Any();
  std::int64_t validRows = 0;
  std::int64_t missingRows = 0;
  Scratch& scratch = ThreadScratch();
  std::vector<double>& kept = scratch.values;
  std::vector<WeightedValue>& keptWeighted = scratch.weighted;
  if (fFull) {
    if constexpr (kWeighted) {
      keptWeighted.resize(rows);
    } else {
      kept.resize(rows);
    }
  }
  // What the values say beyond their weights (range, whether a grid holds
  // them) is found in the same loop as they are kept: the column is read
  // once, and the kept values once less.
  std::size_t n = 0;
  double low = std::numeric_limits<double>::infinity();
  double high = -std::numeric_limits<double>::infinity();
  bool finite = true;
  bool anyNaN = false;
  const bool full = fFull;
  if constexpr (!kWeighted) {
    // Unit weights: the loops apart by what they keep (a wide file's
    // thousands of columns go through here), with the same totals, range
    // and kept values as the general loop below.
    if (!full) {
      missingRows =
          WithMissing(fMissing, checkMissing, [&](const auto& missing) { return CountMissing(missing, values, rows); });
      fValid.Add(static_cast<double>(static_cast<std::int64_t>(rows) - missingRows));
      fMissingWeight.Add(static_cast<double>(missingRows));
      return;
    }
    const KeptRange range = WithMissing(
        fMissing, checkMissing, [&](const auto& missing) { return KeepValid(missing, values, rows, kept.data()); });
    n = range.n;
    low = range.low;
    high = range.high;
    finite = range.finite;
    anyNaN = range.anyNaN;
    validRows = static_cast<std::int64_t>(n);
    missingRows = static_cast<std::int64_t>(rows - n);
    rows = 0;  // the general loop has nothing left to do
  }
  for (std::size_t r = 0; r < rows; ++r) {
    double w = 1.0;
    if constexpr (kWeighted) {
      w = weights[r];
      if (!(w > 0.0)) continue;  // missing (SYSMIS is negative), zero, negative or NaN
    }
    const double x = values[r];
    if (x == SYSMIS || (checkMissing && fMissing.Test(x))) {
      if constexpr (kWeighted) {
        fMissingWeight.Add(w);
      } else {
        ++missingRows;
      }
      continue;
    }
    if constexpr (kWeighted) {
      fValid.Add(w);
    } else {
      ++validRows;
    }
    if (full) {
      if constexpr (kWeighted) {
        keptWeighted[n++] = WeightedValue{x, w};
      } else {
        kept[n++] = x;
      }
      low = std::min(low, x);
      high = std::max(high, x);
      finite = finite && std::isfinite(x);
      anyNaN = anyNaN || std::isnan(x);
    }
  }
  if constexpr (!kWeighted) {
    fValid.Add(static_cast<double>(validRows));
    fMissingWeight.Add(static_cast<double>(missingRows));
  }
  if (!full || n == 0) return;

  // Whether they are whole units.
  const auto valueAt = [&](std::size_t i) { return kWeighted ? keptWeighted[i].value : kept[i]; };
  fMin = std::min(fMin, low);
  fMax = std::max(fMax, high);
  if (!finite) fUnbinnable = true;
  if (!kWeighted && fUnit == 1) {
    fWhole = fWhole && AllWhole(kept.data(), n);
  } else {
    for (std::size_t i = 0; i < n && fWhole; ++i) {
      if (!WholeUnits(valueAt(i), fUnit)) fWhole = false;
    }
  }
  fValidCases += static_cast<std::int64_t>(n);
  if (binHint != kNoBinHint && finite) {
    if constexpr (kWeighted) {
      if (BinAtOnce(keptWeighted.data(), n, low, high, binHint)) return;
    } else {
      if (BinAtOnce(kept.data(), n, low, high, binHint)) return;
    }
  }

  std::vector<double> distinct;
  // The weights of the distinct values: sums, or counts with unit weights.
  std::conditional_t<kWeighted, std::vector<CompensatedSum>, std::vector<std::uint32_t>> sums;
  if (fExact && fValues.empty()) {
    // A fresh profile: its own lists (with the room a Reset left them).
    distinct.swap(fValues);
    distinct.clear();
    if constexpr (kWeighted) {
      sums.swap(fWeights);
    } else {
      sums.swap(fCounts);
    }
    sums.clear();
  }
  // Integers in a short span (codes, counts, ages, years) are counted in a
  // slot per integer: no sort at all.
  const double span = high - low;
  bool integers = finite && span <= static_cast<double>(std::max<std::size_t>(256, 2 * n)) && std::fabs(low) < 0x1p52 &&
                  std::fabs(high) < 0x1p52;
  // Whole units of 1 below 2^52 are integers already (the check above).
  const bool known = fWhole && fUnit == 1;
  for (std::size_t i = 0; i < n && integers && !known; ++i) {
    const double x = valueAt(i);
    integers = static_cast<double>(static_cast<std::int64_t>(x)) == x;
  }
  if (integers) {
    const auto first = static_cast<std::int64_t>(low);
    auto& slots = Slots<kWeighted>(scratch);
    slots.assign(static_cast<std::size_t>(span) + 1, {});
    for (std::size_t i = 0; i < n; ++i) {
      const auto slot = static_cast<std::size_t>(static_cast<std::int64_t>(valueAt(i)) - first);
      if constexpr (kWeighted) {
        slots[slot].Add(keptWeighted[i].weight);  // in case order, as one by one
      } else {
        ++slots[slot];
      }
    }
    // Every weight is positive: a slot with a sum had a value.
    const auto used = static_cast<std::size_t>(
        std::count_if(slots.begin(), slots.end(), [](const auto& c) { return WeightOf(c) != 0.0; }));
    distinct.reserve(used);
    sums.reserve(used);
    for (std::size_t k = 0; k < slots.size(); ++k) {
      if (WeightOf(slots[k]) == 0.0) continue;
      distinct.push_back(static_cast<double>(first + static_cast<std::int64_t>(k)));
      sums.push_back(slots[k]);
    }
  } else if constexpr (kWeighted) {
    SortedDistinct(keptWeighted, scratch.weightedBuffer, n, anyNaN, distinct, sums);
  } else if (!finite || n < kFewestForSlots || !DecimalSlots(kept.data(), n, low, high, scratch, distinct, sums)) {
    SortedDistinct(kept, scratch.keys, scratch.keysBuffer, n, anyNaN, distinct, sums);
  }
  if constexpr (kWeighted) {
    AddDistinct(std::move(distinct), std::move(sums));
  } else {
    AddCounted(std::move(distinct), std::move(sums));
  }
}

namespace {
// A bin's tally: whether the bin had a value, and its weight.
bool Tallied(std::uint32_t count) { return count != 0; }
bool Tallied(const CompensatedSum& sum) { return sum.sum != 0.0; }  // every weight is positive
double TallyWeight(std::uint32_t count) { return static_cast<double>(count); }
double TallyWeight(const CompensatedSum& sum) { return sum.Value(); }
}  // namespace

template <typename Tally, typename ValueAt, typename AddTo>
bool NumericProfile::BinAtOnceBy(std::vector<Tally>& tallies, std::size_t n, double low, double high, int exponent,
                                 ValueAt value, AddTo add) {
  if (!fExact || !fValues.empty() || !fBins.empty() || fUnbinnable) return false;
  const DecimalGrid grid{fUnit, exponent};
  if (exponent < -DecimalGrid::kMaxExponent || exponent > DecimalGrid::kMaxExponent) return false;
  if (!grid.Usable(low) || !grid.Usable(high)) return false;
  const std::int64_t first = grid.Bin(low);
  const std::int64_t span = grid.Bin(high) - first + 1;
  if (span > static_cast<std::int64_t>(std::max<std::size_t>(2 * kFineBinLimit, n))) return false;
  const auto bins = static_cast<std::size_t>(span);
  std::vector<double>& edges = ThreadScratch().edges;
  edges.resize(bins + 1);
  for (std::size_t k = 0; k <= bins; ++k) edges[k] = grid.Edge(first + static_cast<std::int64_t>(k));
  tallies.assign(bins, Tally{});
  // A guess from the width, then the edges decide: edges[0] <= x < edges[bins].
  const double inverse = 1.0 / grid.Width();
  const auto top = static_cast<std::int64_t>(bins) - 1;
  for (std::size_t i = 0; i < n; ++i) {
    const double x = value(i);
    // Truncated rather than floored (|x / width| < 2^50, see Usable): a
    // negative guess one bin high is set right by the edges like any other.
    auto k = std::clamp<std::int64_t>(static_cast<std::int64_t>(x * inverse) - first, 0, top);
    while (edges[static_cast<std::size_t>(k)] > x) --k;
    while (edges[static_cast<std::size_t>(k) + 1] <= x) ++k;
    add(tallies[static_cast<std::size_t>(k)], i);
  }
  fExact = false;
  fGrid = grid;
  // The bins with a value, written in place: the lists are empty here (a
  // fresh profile), and sized once instead of grown bin by bin.
  std::size_t used = 0;
  for (std::size_t k = 0; k < bins; ++k) used += Tallied(tallies[k]) ? 1 : 0;
  fBins.resize(used);
  fBinWeights.resize(used);
  std::size_t at = 0;
  for (std::size_t k = 0; k < bins; ++k) {
    if (!Tallied(tallies[k])) continue;
    fBins[at] = first + static_cast<std::int64_t>(k);
    fBinWeights[at++] = TallyWeight(tallies[k]);
  }
  FitBins();
  return true;
}

// A fresh profile's values of weight 1 straight into bins of the hinted
// grid, counted by bin without sorting them: each bin gets the whole number
// of its values, as binning the sorted distinct values would give it. False
// (nothing kept) when the grid does not suit the values or the profile is
// not fresh.
bool NumericProfile::BinAtOnce(const double* values, std::size_t n, double low, double high, int exponent) {
  return BinAtOnceBy(
      ThreadScratch().counts, n, low, high, exponent, [values](std::size_t i) { return values[i]; },
      [](std::uint32_t& count, std::size_t) { ++count; });
}

// Weighted values straight into bins of the hinted grid, as above: a bin's
// weight is the compensated sum of its values' weights in case order,
// within rounding of the sum of the sorted distinct values' sums it would
// otherwise be (the histogram's heights, nothing more precise, read it).
bool NumericProfile::BinAtOnce(const WeightedValue* values, std::size_t n, double low, double high, int exponent) {
  return BinAtOnceBy(
      ThreadScratch().slots, n, low, high, exponent, [values](std::size_t i) { return values[i].value; },
      [values](CompensatedSum& sum, std::size_t i) { sum.AddInPlace(values[i].weight); });
}

void NumericProfile::AddDistinct(std::vector<double>&& values, std::vector<CompensatedSum>&& weights) {
  if (values.empty()) return;
  if (!fExact) {
    if (!fUnbinnable) AddToBins(values, weights);
    return;
  }
  if (fCounted) ToWeights();
  if (fValues.empty()) {
    fValues = std::move(values);
    fWeights = std::move(weights);
  } else {
    Unite(fValues, fWeights, values, weights, ValueBefore, [](CompensatedSum sum, const CompensatedSum& later) {
      sum.Add(later);
      return sum;
    });
  }
  if (fValues.size() > kDistinctLimit) ToBins();
}

void NumericProfile::AddCounted(std::vector<double>&& values, std::vector<std::uint32_t>&& counts) {
  if (values.empty()) return;
  if (!fExact) {
    if (!fUnbinnable) AddToBins(values, counts);
    return;
  }
  if (!fCounted || fValidCases > kMaxCount) {
    AddDistinct(std::move(values), AsSums(counts));
    return;
  }
  if (fValues.empty()) {
    fValues = std::move(values);
    fCounts = std::move(counts);
  } else {
    Unite(fValues, fCounts, values, counts, ValueBefore,
          [](std::uint32_t count, std::uint32_t later) { return count + later; });
  }
  if (fValues.size() > kDistinctLimit) ToBins();
}

void NumericProfile::ToWeights() {
  if (!fCounted) return;
  fWeights = AsSums(fCounts);
  std::vector<std::uint32_t>().swap(fCounts);
  fCounted = false;
}

// The values outgrew the exact list: from now on fine bins on the finest
// power-of-ten grid that holds the values seen in at most kFineBinLimit bins.
void NumericProfile::ToBins() {
  fExact = false;
  fBins.clear();
  fBinWeights.clear();
  if (!fUnbinnable) {
    const double range = (fMax - fMin) / static_cast<double>(fUnit);
    int e = range > 0.0 ? static_cast<int>(std::floor(std::log10(range / kFineBinLimit))) : 0;
    e = std::clamp(e, -DecimalGrid::kMaxExponent, DecimalGrid::kMaxExponent);
    const auto bins = [this](int exponent) { return BinsAt(fValues, DecimalGrid{fUnit, exponent}, kFineBinLimit); };
    while (e > -DecimalGrid::kMaxExponent && bins(e - 1) <= kFineBinLimit) --e;
    while (e <= DecimalGrid::kMaxExponent && bins(e) > kFineBinLimit) ++e;
    if (e > DecimalGrid::kMaxExponent) {
      fUnbinnable = true;
    } else {
      fGrid = DecimalGrid{fUnit, e};
      if (fCounted) {
        AddToBins(fValues, fCounts);
      } else {
        AddToBins(fValues, fWeights);
      }
    }
  }
  // Swapped with empty lists to free them: assigning {} to a vector picks
  // its initializer-list assignment, which keeps the room (a wide file's
  // thousand binned variables held some 45 MB of lists nobody read).
  std::vector<double>().swap(fValues);
  std::vector<std::uint32_t>().swap(fCounts);
  std::vector<CompensatedSum>().swap(fWeights);
}

// Distinct values (ascending) join the bins: each adds its weight to its
// bin's, in value order.
template <typename Weight>
void NumericProfile::AddToBins(const std::vector<double>& values, const std::vector<Weight>& weights) {
  if (values.empty()) return;
  while (!(fGrid.Usable(values.front()) && fGrid.Usable(values.back())) && !fUnbinnable) Coarsen();
  if (fUnbinnable) return;
  std::vector<std::int64_t> bins;
  std::vector<double> sums;
  std::size_t k = 0;  // the next bin kept
  AscendingBins at(fGrid);
  for (std::size_t i = 0; i < values.size(); ++i) {
    const double w = WeightOf(weights[i]);
    if (!at.Next(values[i])) {
      sums.back() += w;
      continue;
    }
    const std::int64_t bin = at.Bin();
    while (k < fBins.size() && fBins[k] < bin) {
      bins.push_back(fBins[k]);
      sums.push_back(fBinWeights[k++]);
    }
    bins.push_back(bin);
    sums.push_back(k < fBins.size() && fBins[k] == bin ? fBinWeights[k++] + w : w);
  }
  bins.insert(bins.end(), fBins.begin() + static_cast<std::ptrdiff_t>(k), fBins.end());
  sums.insert(sums.end(), fBinWeights.begin() + static_cast<std::ptrdiff_t>(k), fBinWeights.end());
  fBins = std::move(bins);
  fBinWeights = std::move(sums);
  FitBins();
}

// Bins of another profile on the same grid (ascending) join these.
void NumericProfile::MergeBins(const std::vector<std::int64_t>& bins, const std::vector<double>& weights) {
  Unite(
      fBins, fBinWeights, bins, weights, [](std::int64_t a, std::int64_t b) { return a < b; },
      [](double sum, double later) { return sum + later; });
  FitBins();
}

void NumericProfile::FitBins() {
  while (fBins.size() > kFineBinLimit && !fUnbinnable) Coarsen();
}

void NumericProfile::DropBins() {
  std::vector<std::int64_t>().swap(fBins);
  std::vector<double>().swap(fBinWeights);
}

// Ten fine bins become one: exact, since the coarse grid's edges are edges
// of the fine one.
void NumericProfile::Coarsen() {
  if (fGrid.exponent >= DecimalGrid::kMaxExponent) {
    fUnbinnable = true;
    DropBins();
    return;
  }
  ++fGrid.exponent;
  std::size_t out = 0;
  for (std::size_t s = 0; s < fBins.size(); ++s) {
    const std::int64_t bin = FloorDiv(fBins[s], 10);
    if (out > 0 && fBins[out - 1] == bin) {
      fBinWeights[out - 1] += fBinWeights[s];
    } else {
      fBins[out] = bin;
      fBinWeights[out++] = fBinWeights[s];
    }
  }
  fBins.resize(out);
  fBinWeights.resize(out);
}

void NumericProfile::Reset() {
  fValid = {};
  fMissingWeight = {};
  fValidCases = 0;
  fMin = std::numeric_limits<double>::infinity();
  fMax = -std::numeric_limits<double>::infinity();
  fWhole = true;
  fExact = true;
  // A long list's room goes: once the pass keeps bins, later blocks bin at
  // once and would only hold it.
  if (fValues.capacity() > kKeptRoom) {
    std::vector<double>().swap(fValues);
    std::vector<std::uint32_t>().swap(fCounts);
    std::vector<CompensatedSum>().swap(fWeights);
  }
  fValues.clear();
  fCounts.clear();
  fWeights.clear();
  fCounted = true;
  fGrid = {};
  fBins.clear();
  fBinWeights.clear();
  fUnbinnable = false;
}

void NumericProfile::Merge(NumericProfile&& later) {
  fValid.Add(later.fValid);
  fMissingWeight.Add(later.fMissingWeight);
  fMin = std::min(fMin, later.fMin);
  fMax = std::max(fMax, later.fMax);
  fValidCases += later.fValidCases;
  fWhole = fWhole && later.fWhole;
  fUnbinnable = fUnbinnable || later.fUnbinnable;
  if (fUnbinnable && !fExact) DropBins();

  if (later.fExact) {
    if (later.fCounted) {
      AddCounted(std::move(later.fValues), std::move(later.fCounts));
    } else {
      AddDistinct(std::move(later.fValues), std::move(later.fWeights));
    }
    return;
  }
  if (fExact) {
    // The later chunk is binned: its grid is the finest the union can have.
    // Its bins are taken over and this chunk's values join them.
    const std::vector<double> values = std::move(fValues);
    const std::vector<std::uint32_t> counts = std::move(fCounts);
    const std::vector<CompensatedSum> weights = std::move(fWeights);
    std::vector<double>().swap(fValues);
    std::vector<std::uint32_t>().swap(fCounts);
    std::vector<CompensatedSum>().swap(fWeights);
    fExact = false;
    fGrid = later.fGrid;
    fBins = std::move(later.fBins);
    fBinWeights = std::move(later.fBinWeights);
    if (fUnbinnable) {
      DropBins();
      return;
    }
    if (fCounted) {
      AddToBins(values, counts);
    } else {
      AddToBins(values, weights);
    }
    return;
  }
  if (fUnbinnable) return;
  while (fGrid.exponent < later.fGrid.exponent && !fUnbinnable) Coarsen();
  while (later.fGrid.exponent < fGrid.exponent && !later.fUnbinnable) later.Coarsen();
  if (fUnbinnable || later.fUnbinnable) {
    fUnbinnable = true;
    DropBins();
    return;
  }
  MergeBins(later.fBins, later.fBinWeights);
}

ColumnSummary NumericProfile::Finalize() const {
  ColumnSummary out = Counted(false, fFull, fValid, fMissingWeight, fValidCases, fExact, fValues.size());
  if (!fFull || fValidCases == 0) return out;
  out.hasRange = true;
  out.min = fMin;
  out.max = fMax;
  if (fExact) {
    for (std::size_t s = 0; s < fValues.size(); ++s) {
      const double w = fCounted ? WeightOf(fCounts[s]) : WeightOf(fWeights[s]);
      const double x = fValues[s];
      if (!out.hasMode || w > out.modeWeight || (w == out.modeWeight && x < out.modeNumber)) {
        out.hasMode = true;
        out.modeNumber = x;
        out.modeWeight = w;
      }
    }
  }
  if (fUnbinnable) return out;
  const std::optional<DecimalGrid> grid =
      ChooseDisplayGrid(fMin, fMax, fValidCases, fWhole, fUnit, fExact ? nullptr : &fGrid);
  if (!grid) return out;
  Histogram& h = out.histogram;
  h.grid = *grid;
  const auto [first, last] = BinSpan(*grid, fMin, fMax, !fWhole);
  h.first = first;
  h.weights.assign(static_cast<std::size_t>(last - first + 1), 0.0);
  // Summed in value order (values and bins are kept ascending), so the
  // result does not depend on the order the values came in.
  const auto add = [&h](std::int64_t bin, double w) {
    const std::int64_t k = std::clamp<std::int64_t>(bin - h.first, 0, static_cast<std::int64_t>(h.weights.size()) - 1);
    h.weights[static_cast<std::size_t>(k)] += w;
  };
  if (fExact) {
    for (std::size_t s = 0; s < fValues.size(); ++s) {
      add(grid->Bin(fValues[s]), fCounted ? WeightOf(fCounts[s]) : WeightOf(fWeights[s]));
    }
  } else {
    const std::int64_t ratio = grid->Ratio(fGrid);
    for (std::size_t s = 0; s < fBins.size(); ++s) add(FloorDiv(fBins[s], ratio), fBinWeights[s]);
  }
  return out;
}

// ---------------------------------------------------------------- strings

void StringProfile::Add(const StringColumn& column, const double* weights, std::size_t rows) {
  const auto isMissing = [this](std::string_view s) {
    return std::any_of(fMissing.begin(), fMissing.end(), [s](const std::string& m) { return m == s; });
  };
  const auto at = [&column](std::size_t r) { return column.Cell(r); };
  if (weights == nullptr && !fFull) {
    // Totals only, every weight 1: counts, summed exactly and added once.
    std::size_t missing = 0;
    if (!fMissing.empty()) {
      for (std::size_t r = 0; r < rows; ++r) missing += isMissing(at(r)) ? 1 : 0;
    }
    fValid.Add(static_cast<double>(rows - missing));
    fMissingWeight.Add(static_cast<double>(missing));
    fValidCases += static_cast<std::int64_t>(rows - missing);
    return;
  }
  for (std::size_t r = 0; r < rows; ++r) {
    const double w = weights != nullptr ? weights[r] : 1.0;
    if (!(w > 0.0)) continue;
    const std::string_view s = at(r);
    if (isMissing(s)) {
      fMissingWeight.Add(w);
    } else {
      AddValid(s, w);
    }
  }
}

void StringProfile::AddValid(std::string_view s, double w) {
  fValid.Add(w);
  ++fValidCases;
  if (!fFull || !fExact) return;
  const std::uint32_t slot = fValues.FindOrInsert(s);
  if (slot >= fWeights.size()) fWeights.resize(slot + 1);
  fWeights[slot].Add(w);
  if (fValues.Size() > kDistinctLimit) Overflow();
}

void StringProfile::Overflow() {
  fExact = false;
  fValues = StringCategoryIndex();
  std::vector<CompensatedSum>().swap(fWeights);
}

void StringProfile::Reset() {
  fValid = {};
  fMissingWeight = {};
  fValidCases = 0;
  fExact = true;
  fValues = StringCategoryIndex{};
  fWeights.clear();
}

void StringProfile::Merge(StringProfile&& later) {
  fValid.Add(later.fValid);
  fMissingWeight.Add(later.fMissingWeight);
  fValidCases += later.fValidCases;
  if (!fExact) return;
  if (!later.fExact) {
    Overflow();
    return;
  }
  for (std::uint32_t s = 0; s < later.fValues.Size(); ++s) {
    const std::uint32_t slot = fValues.FindOrInsert(later.fValues.Value(s));
    if (slot >= fWeights.size()) fWeights.resize(slot + 1);
    fWeights[slot].Add(later.fWeights[s]);
  }
  if (fValues.Size() > kDistinctLimit) Overflow();
}

ColumnSummary StringProfile::Finalize() const {
  ColumnSummary out = Counted(true, fFull, fValid, fMissingWeight, fValidCases, fExact, fValues.Size());
  if (!fFull || !fExact) return out;
  std::string_view mode;
  for (std::uint32_t s = 0; s < fValues.Size(); ++s) {
    const double w = fWeights[s].Value();
    const std::string_view x = fValues.Value(s);
    if (!out.hasMode || w > out.modeWeight || (w == out.modeWeight && x < mode)) {
      out.hasMode = true;
      mode = x;
      out.modeWeight = w;
    }
  }
  out.modeString = std::string(mode);
  return out;
}

// ---------------------------------------------------------------- sets

SetProfile::SetProfile(const Dataset& dataset, const VariableSetImpl& set) : fDichotomy(set.type == 2) {
  bool typeKnown = false;
  int width = 0;  // of the widest member, a numeric one counting its name's length
  for (const std::string& name : set.members) {
    const int index = dataset.Find(name);
    if (index < 0) continue;
    const QUVO_Variable* variable = dataset.variables[static_cast<std::size_t>(index)].get();
    width = std::max(width, variable->IsString() ? variable->width : static_cast<int>(variable->name.size()));
    if (!typeKnown) {
      fIsString = variable->IsString();
      typeKnown = true;
    }
    if (variable->IsString() != fIsString) continue;  // the engine leaves such members out too
    fMembers.push_back(Member{index, variable});
  }
  if (fDichotomy) {
    if (fIsString) {
      // As the procedure passes it: in a blank-padded field of 8-byte units
      // as wide as the widest member, so longer texts are cut.
      const std::size_t room = static_cast<std::size_t>(width > 8 ? (width + 7) / 8 : 1) * 8;
      std::string_view counted = set.countedValue;
      if (counted.size() > room) counted = counted.substr(0, room);
      fCountedText = std::string(TrimTrailingBlanks(counted));
    } else {
      // As the procedure reads it: the number that starts the text, else 0.
      fCountedNumber = std::strtod(set.countedValue.c_str(), nullptr);
    }
  }
}

void SetProfile::Add(const CaseBlock& block, const double* weights) {
  const std::size_t rows = block.rows;
  fHas.assign(rows, 0);
  for (const Member& m : fMembers) {
    const auto v = static_cast<std::size_t>(m.index);
    if (fIsString) {
      if (v >= block.strings.size() || block.strings[v].offsets.size() != rows + 1) {
        fComplete = false;
        return;
      }
      const StringColumn& column = block.strings[v];
      for (std::size_t r = 0; r < rows; ++r) {
        if (fHas[r] != 0) continue;
        const std::string_view s = column.Cell(r);
        fHas[r] = fDichotomy ? (s == fCountedText) : !m.variable->IsUserMissingString(s);
      }
    } else {
      if (v >= block.numbers.size() || block.numbers[v].size() != rows) {
        fComplete = false;
        return;
      }
      const double* x = block.numbers[v].data();
      for (std::size_t r = 0; r < rows; ++r) {
        if (fHas[r] != 0) continue;
        fHas[r] = fDichotomy ? (x[r] == fCountedNumber) : (x[r] != SYSMIS && !m.variable->IsUserMissingNumber(x[r]));
      }
    }
  }
  for (std::size_t r = 0; r < rows; ++r) {
    const double w = weights != nullptr ? weights[r] : 1.0;
    if (!(w > 0.0)) continue;
    if (fHas[r] != 0) {
      fValid.Add(w);
    } else {
      fMissing.Add(w);
    }
  }
}

void SetProfile::Reset() {
  fValid = {};
  fMissing = {};
  fComplete = true;
}

void SetProfile::Merge(SetProfile&& later) {
  fValid.Add(later.fValid);
  fMissing.Add(later.fMissing);
  fComplete = fComplete && later.fComplete;
}

// ---------------------------------------------------------------- the pass

PassProfile::PassProfile(const Dataset& dataset) : fDataset(&dataset) {}

PassProfile::BinHints::BinHints(std::size_t n) : exponents(std::make_unique<std::atomic<int>[]>(n)), size(n) {
  for (std::size_t i = 0; i < n; ++i) exponents[i].store(NumericProfile::kNoBinHint, std::memory_order_relaxed);
}

void PassProfile::EnsureHints() {
  if (!fHints) fHints = std::make_shared<BinHints>(fDataset->variables.size());
}

PassProfile::~PassProfile() = default;
PassProfile::PassProfile(PassProfile&&) noexcept = default;
PassProfile& PassProfile::operator=(PassProfile&&) noexcept = default;

void PassProfile::WantColumn(int variable, bool full) {
  if (variable < 0 || static_cast<std::size_t>(variable) >= fDataset->variables.size()) return;
  auto at = std::lower_bound(fColumns.begin(), fColumns.end(), variable,
                             [](const auto& column, int v) { return column.first < v; });
  if (at != fColumns.end() && at->first == variable) {
    if (!full || at->second->full) return;
    fColumns.erase(at);  // asked again, for everything
    WantColumn(variable, true);
    return;
  }
  EnsureHints();
  auto column = std::make_unique<Column>();
  column->full = full;
  const QUVO_Variable& v = *fDataset->variables[static_cast<std::size_t>(variable)];
  if (v.IsString()) {
    column->strings.emplace(v.missing.strings, full);
  } else {
    column->numbers.emplace(MissingOf(v), UnitOf(v), full);
  }
  fColumns.emplace(at, variable, std::move(column));
}

void PassProfile::WantSet(const std::vector<int>& members, bool dichotomy) {
  for (std::size_t s = 0; s < fDataset->sets.size(); ++s) {
    const VariableSetImpl& set = *fDataset->sets[s];
    if ((set.type == 2) != dichotomy || set.members.size() != members.size()) continue;
    bool same = true;
    for (std::size_t k = 0; k < members.size() && same; ++k) same = fDataset->Find(set.members[k]) == members[k];
    const bool kept = std::any_of(fSets.begin(), fSets.end(), [s](const auto& known) { return known.first == s; });
    if (same && !kept) fSets.emplace_back(s, SetProfile(*fDataset, set));
  }
}

void PassProfile::Want(const std::vector<std::uint8_t>& columns) {
  for (std::size_t v = 0; v < columns.size(); ++v) {
    if (columns[v] != 0) WantColumn(static_cast<int>(v));
  }
  for (std::size_t s = 0; s < fDataset->sets.size(); ++s) {
    const VariableSetImpl& set = *fDataset->sets[s];
    bool known = false;
    bool read = true;
    for (const std::string& name : set.members) {
      const int index = fDataset->Find(name);
      if (index < 0) continue;
      known = true;
      read = read && static_cast<std::size_t>(index) < columns.size() && columns[static_cast<std::size_t>(index)] != 0;
    }
    const bool kept = std::any_of(fSets.begin(), fSets.end(), [s](const auto& set) { return set.first == s; });
    if (known && read && !kept) fSets.emplace_back(s, SetProfile(*fDataset, set));
  }
}

void PassProfile::WantTables(const std::vector<std::shared_ptr<const TableRules>>& rules) {
  for (const auto& table : rules) {
    if (!table) continue;
    for (const ScaleRule& scale : table->scales) WantColumn(scale.column.index, !scale.column.isString);
    if (!table->dimension) continue;
    const DimensionRule& d = *table->dimension;
    if (d.kind == DimensionKind::Variable) {
      // A code list (more value labels than a table would list) may have
      // its table left out past MAXCATS before any case is counted: the
      // overview then has only what is profiled here. Such variables are
      // few, so profiling them in full costs little.
      const int index = d.members.front().index;
      const bool codeList = index >= 0 && static_cast<std::size_t>(index) < fDataset->variables.size() &&
                            fDataset->variables[static_cast<std::size_t>(index)]->GetValueLabels().Size() > kCodeList;
      WantColumn(index, codeList);
      continue;
    }
    std::vector<int> members;
    for (const ColumnRule& m : d.members) members.push_back(m.index);
    WantSet(members, d.kind == DimensionKind::DichotomySet);
  }
}

bool PassProfile::Reset() {
  fRows = 0;
  for (auto& [index, column] : fColumns) {
    if (!column) return false;
    column->rows = 0;
    if (column->numbers) column->numbers->Reset();
    if (column->strings) column->strings->Reset();
  }
  for (auto& [index, set] : fSets) set.Reset();
  return true;
}

PassProfile PassProfile::Fresh() const {
  PassProfile out(*fDataset);
  out.fHints = fHints;
  for (const auto& [index, column] : fColumns) out.WantColumn(index, column->full);
  for (const auto& [index, set] : fSets) out.fSets.emplace_back(index, SetProfile(*fDataset, *fDataset->sets[index]));
  return out;
}

void PassProfile::Add(const CaseBlock& block) {
  if (block.rows == 0) return;
  const double* weights = block.weights.empty() ? nullptr : block.weights.data();
  fRows += block.rows;
  for (auto& [index, column] : fColumns) {
    const auto v = static_cast<std::size_t>(index);
    if (column->strings) {
      if (v >= block.strings.size() || block.strings[v].offsets.size() != block.rows + 1) continue;
      column->strings->Add(block.strings[v], weights, block.rows);
    } else {
      if (v >= block.numbers.size() || block.numbers[v].size() != block.rows) continue;
      const int hint = fHints && v < fHints->size ? fHints->exponents[v].load(std::memory_order_relaxed)
                                                  : NumericProfile::kNoBinHint;
      column->numbers->Add(block.numbers[v].data(), weights, block.rows, hint);
    }
    column->rows += block.rows;
  }
  for (auto& [index, set] : fSets) set.Add(block, weights);
}

void PassProfile::Merge(PassProfile&& later) {
  fRows += later.fRows;
  for (auto& [index, theirs] : later.fColumns) {
    auto at = std::lower_bound(fColumns.begin(), fColumns.end(), index,
                               [](const auto& column, int v) { return column.first < v; });
    if (at == fColumns.end() || at->first != index) {
      fColumns.emplace(at, index, std::move(theirs));
      continue;
    }
    Column& mine = *at->second;
    if (mine.numbers && theirs->numbers) {
      mine.numbers->Merge(std::move(*theirs->numbers));
      const auto v = static_cast<std::size_t>(index);
      if (fHints && v < fHints->size) fHints->exponents[v].store(mine.numbers->BinHint(), std::memory_order_relaxed);
    }
    if (mine.strings && theirs->strings) mine.strings->Merge(std::move(*theirs->strings));
    mine.rows += theirs->rows;
  }
  for (auto& [index, theirs] : later.fSets) {
    auto mine = std::find_if(fSets.begin(), fSets.end(), [at = index](const auto& kept) { return kept.first == at; });
    if (mine == fSets.end()) {
      fSets.emplace_back(index, std::move(theirs));
    } else {
      mine->second.Merge(std::move(theirs));
    }
  }
}

DataProfile PassProfile::Finalize(bool shared) const {
  DataProfile out;
  // A column's summary reads only its own profile: those of a wide file
  // are made a batch at a time, on two threads when allowed, and kept in
  // index order.
  std::vector<const std::pair<int, std::unique_ptr<Column>>*> complete;
  for (const auto& column : fColumns) {
    if (column.second->rows == fRows) complete.push_back(&column);
  }
  constexpr std::size_t kBatch = 64;
  const std::size_t batches = (complete.size() + kBatch - 1) / kBatch;
  std::vector<ColumnSummary> summaries(complete.size());
  MakeInOrder(
      batches, shared && complete.size() >= 4 * kBatch, batches,
      [&](std::size_t b) {
        const std::size_t end = std::min(complete.size(), (b + 1) * kBatch);
        for (std::size_t k = b * kBatch; k < end; ++k) {
          const Column& column = *complete[k]->second;
          summaries[k] = column.numbers ? column.numbers->Finalize() : column.strings->Finalize();
        }
      },
      [](std::size_t) {});
  for (std::size_t k = 0; k < complete.size(); ++k) {
    out.columns.emplace_hint(out.columns.end(), complete[k]->first, std::move(summaries[k]));
  }
  for (const auto& [index, set] : fSets) {
    if (set.Complete()) out.sets[fDataset->sets[index]->name] = set.Finalize();
  }
  return out;
}

}  // namespace host::engine
