// Summary statistics of one variable over the valid cases of a table.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "host/aggregation.h"
#include "host/check.h"
#include "host/data/missing.h"
#include "host/engine/category_index.h"

namespace host::engine {

struct DeviationSums;
struct ProductSum;

// User-missing values of a numeric variable, copied out of the dictionary so
// that the per-case test is inline: discrete values and a range.
struct NumericMissing {
  std::vector<double> values;
  bool hasRange = false;
  double low = 0.0;
  double high = 0.0;
  bool extended = false;  // extended missing codes are missing too

  bool Any() const { return !values.empty() || hasRange || extended; }
  bool Test(double x) const { return IsUserMissingNumber(x, values, hasRange, low, high, extended); }
};

// How far below a whole cumulative weight a computed one may fall and still
// count as reaching it. Weights are read from decimal text, so each carries a
// relative representation error below 2^-53 and a cumulative weight within a
// total W is off by less than W * 2^-52 even when summed exactly: 0.3 ten
// times is 2.9999999999999999 in binary, yet the user's cumulative weight is 3.
// Decimal weights of any sensible precision never come closer to a whole
// number than this without being equal to it. Capped at 2^-12 (reached at a
// total of 2^38): whole weights sum exactly, and a slack of a unit or more
// would let 6e14 cases of 1 reach the median of 1.2e15 + 1 cases, which
// repeating the cases puts at the next value. Decimal weights keep their
// margin up to a total of 2^40, with up to three decimals at any total.
inline double CumulativeSlack(double total) { return std::min(std::fabs(total) * 0x1p-50, 0x1p-12); }

// Valid values (or their weights) as stored for exact percentiles, in case
// order. Stored in chunks of a fixed size, so that the storage never doubles
// and is never copied whole to grow, and as 4-byte codes k standing for
// k / 10^d (bit for bit the double the value is: counts, amounts in cents,
// weights with four decimals) while the values are such decimals. A value
// that is none within the codes' range is kept aside as an exception while
// they are few (a sum of several weights); past that, or when a value needs
// more digits than the codes so far allow, the column turns to plain doubles.
// A full chunk whose codes all fit in two bytes (weights with four decimals
// below 3.2768, ages, scores) is kept in two bytes a code: a million weights
// take 2 MB of fresh memory instead of 4, and every fresh megabyte costs
// the pass about a millisecond of CPU while the system zeroes it.
class RawColumn {
 public:
  static constexpr std::size_t kChunk = std::size_t{1} << 16;

  std::size_t Size() const { return fSize; }
  bool Empty() const { return fSize == 0; }
  void Append(const double* x, std::size_t n);
  void Append(double x) { Append(&x, 1); }
  void AppendRepeated(double x, std::size_t n);
  void Append(const RawColumn& other);
  // About `more` values are to come (a block's rows): the first chunk, which
  // otherwise grows as a vector does, takes room for them at once when it
  // must grow, instead of being copied at every doubling.
  void Expect(std::size_t more) { fExpected = fSize + more; }
  void Clear() { *this = RawColumn{}; }
  // Empty as a new column, keeping the first chunk's room for the next
  // values (a wide file's per-block tables are reused block after block).
  void Reset();

  // For a column that only waits to be appended to another (the values of
  // merged blocks, see ScaleAccumulator::fLater): takes a copy of `part`'s
  // values as codes of two bytes each when they all fit (amounts in cents
  // below 327.68, ages, scores) and this column is empty or such codes of
  // the same digits already; false, with nothing taken, otherwise. Half the
  // memory of four-byte codes, and room in short chunks instead of one that
  // doubles. Only Size, Empty and Append(const RawColumn&) read a narrowed
  // column; nothing else is appended to it.
  bool TakeNarrow(const RawColumn& part);
  bool Narrowed() const { return fNarrowed; }

  // Codes order as the values they stand for (no exceptions): selection may
  // compare codes.
  bool Keyed() const { return fCoded && fExceptions.empty(); }
  bool Coded() const { return fCoded; }
  double Decode(std::int32_t k) const {
    if (k >= kExceptionBase) [[unlikely]]
      return fExceptions[static_cast<std::size_t>(k - kExceptionBase)];
    return static_cast<double>(k) / fScale;
  }
  // A sum of codes (none an exception) as the value it stands for, rounded
  // once.
  double DecodeSum(std::int64_t sum) const { return static_cast<double>(sum) / fScale; }
  static bool IsException(std::int32_t k) { return k >= kExceptionBase; }
  // Chunk c holds the values from c * kChunk on; codes while Coded(),
  // doubles otherwise.
  std::size_t Chunks() const {
    CB_CHECK("engine", !fNarrowed);
    return fCoded ? fCodes.size() : fDoubles.size();
  }
  // The number of values in chunk c.
  std::size_t ChunkSize(std::size_t c) const {
    if (!fCoded) return fDoubles[c].size();
    return Packed(c) ? fPacked[c].size() : fCodes[c].size();
  }
  std::int32_t CodeAt(std::size_t c, std::size_t j) const { return Packed(c) ? fPacked[c][j] : fCodes[c][j]; }
  // f(codes, n) with chunk c's codes as they are kept: a pointer to
  // std::int32_t, or to std::int16_t for a packed chunk.
  template <class F>
  decltype(auto) WithCodes(std::size_t c, F&& f) const {
    if (Packed(c)) return f(static_cast<const std::int16_t*>(fPacked[c].data()), fPacked[c].size());
    return f(static_cast<const std::int32_t*>(fCodes[c].data()), fCodes[c].size());
  }
  const std::vector<double>& DoubleChunk(std::size_t c) const { return fDoubles[c]; }
  // Every value, decoded, in order.
  void CopyTo(double* out) const;
  // Values from..from + n - 1 of chunk c, decoded into out.
  void Decode(std::size_t c, std::size_t from, std::size_t n, double* out) const;
  // Of a column that is not empty.
  void MinMax(double& smallest, double& largest) const;
  // The smallest and largest code of a column keeping codes, not empty.
  void CodeRange(std::int32_t& low, std::int32_t& high) const;
  template <class F>
  void ForEach(F&& f) const {
    for (std::size_t c = 0; c < fCodes.size(); ++c) {
      WithCodes(c, [&](const auto* k, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) f(Decode(k[i]));
      });
    }
    for (const std::vector<double>& chunk : fDoubles) {
      for (const double x : chunk) f(x);
    }
  }

 private:
  // Codes lie in (-kExceptionBase, kExceptionBase); exception i is coded
  // kExceptionBase + i.
  static constexpr std::int32_t kExceptionBase = std::int32_t{1} << 30;
  static constexpr int kMaxDigits = 9;

  // k = x * 10^d rounded, kept only when k / 10^d gives x back to the bit
  // (so -0, NaN and anything not a decimal of at most d digits stay out).
  static bool Encode(double x, double scale, std::int32_t& k) {
    const double s = x * scale;
    if (!(std::fabs(s) < static_cast<double>(kExceptionBase - 1))) return false;
    k = static_cast<std::int32_t>(s < 0.0 ? s - 0.5 : s + 0.5);
    return std::bit_cast<std::uint64_t>(static_cast<double>(k) / scale) == std::bit_cast<std::uint64_t>(x);
  }
  std::size_t EncodeRun(const double* x, std::size_t n, std::vector<std::int32_t>& chunk) const;
  void AppendOne(double x);  // a value the current digits cannot code
  bool RaiseDigits(int digits);
  void ToDoubles();
  std::vector<std::int32_t>& CodeRoom();
  bool Packed(std::size_t c) const { return c < fPacked.size() && !fPacked[c].empty(); }
  // Chunk c (full) into two bytes a code when every code fits; true when
  // packed, its four-byte room left empty for the caller to reuse.
  bool Pack(std::size_t c);
  // Every packed chunk back to four bytes a code.
  void Unpack();
  std::vector<double>& DoubleRoom();
  template <class T>
  void MakeRoom(std::vector<T>& chunk, std::size_t take) const;
  template <class Visit>
  void AppendCodes(const RawColumn& other, Visit&& visit);

  std::size_t fSize = 0;
  std::size_t fExpected = 0;  // values expected in all (Expect)
  bool fCoded = true;
  int fDigits = 0;
  double fScale = 1.0;                             // 10^fDigits
  int fCeiling = kMaxDigits + 1;                   // the codes do not fit in this many digits
  std::vector<std::vector<std::int32_t>> fCodes;   // by chunk; empty where packed
  std::vector<std::vector<std::int16_t>> fPacked;  // by chunk, while not empty: the packed ones
  std::vector<double> fExceptions;
  std::vector<std::vector<double>> fDoubles;
  std::vector<std::int32_t> fSpareCodes;  // empty; room for the first chunk (Reset)
  static constexpr std::size_t kNarrowChunk = 2048;
  bool fNarrowed = false;                               // the codes are in fNarrowCodes (TakeNarrow)
  std::vector<std::vector<std::int16_t>> fNarrowCodes;  // chunks of kNarrowChunk, the last one filling
};

// Weighted moments and, when asked, the stored values for percentiles.
// The moments are updated Welford-style around the first valid value, so a
// million values of 1e9 plus small noise keep their standard deviation; the
// sum of squares is kept in units of a power of two that grows with the
// deviations, so values near 1e200 still have a finite one.
class ScaleAccumulator {
 public:
  explicit ScaleAccumulator(bool keepValues) : fKeepValues(keepValues) {}
  // As new, keeping the room its table and stored values grew.
  void Reset();

  void AddValid(double x, double w) {
    const double before = fWeight.sum;
    const double beforeValue = fWeight.Value();
    fWeight.Add(w);
    if (fWeight.sum >= kHeavyWeight) [[unlikely]]
      Heavier(before);
    if (!fHasShift) {
      fShift = x * fValueScale;
      fHasShift = true;
    }
    AddMoments(x, w, beforeValue);
    if (fKeepValues) Keep(x, w);
  }
  // AddValid for n values in turn, with exactly its arithmetic: the running
  // weight, its division, the moments and the table's known values in one
  // loop, the other kept values after it. The mean's chain of dependent
  // operations bounds that loop; the rest runs beside it instead of in loops
  // of its own (2.5 times faster than one loop per step, without the table).
  void AddValidRun(const double* x, const double* w, std::size_t n);
  static constexpr std::size_t kRun = 256;  // n at most
  // Up to n valid values are to come (a block's rows): stored values take
  // room for them at once.
  void ExpectRows(std::size_t n) {
    if (!fKeepValues) return;
    fValues.Expect(n);
    fWeights.Expect(n);
  }
  void AddValidWithoutValue(double w) { fWeight.Add(w); }
  void AddMissing(double w) { fMissing.Add(w); }
  // Takes in what an accumulator gathered from later cases: weights add,
  // moments combine (Chan et al.), stored values and value tables unite.
  void Merge(ScaleAccumulator&& later);
  // Appends the stored values merged but not yet appended (see fLater);
  // every reading of them does it first.
  void SettleValues() const {
    if (!fLater.empty()) AppendLater();
  }
  // Nothing waits to be appended: reading the stored values changes nothing,
  // so two threads may read them at once.
  bool ValuesSettled() const { return fLater.empty(); }
  // The stored values appended so far (none while the table keeps them
  // aggregated).
  std::size_t StoredValueCount() const { return fValues.Size(); }

  double ValidWeight() const { return fWeight.Value(); }
  double MissingWeight() const { return fMissing.Value(); }
  double ValidRest() const { return fWeight.Rest(); }
  double MissingRest() const { return fMissing.Rest(); }
  // SYSMIS when there is no valid case. Where the values are kept (for
  // percentiles) the running mean is corrected by the compensated mean
  // deviation of the kept values from it, which makes it the double nearest
  // the exact weighted mean but in near ties; otherwise it is the running
  // mean, within a few ulps of it.
  double Mean() const;
  // SYSMIS when the valid weight is 1 or less. The running one.
  double StdDev() const;
  // Where the values are kept, from a walk over them (StdDevOf): the double
  // nearest the exact one but in near ties; else the running one.
  double StdDevKept() const;
  bool KeepsValues() const { return fKeepValues; }
  // The percentile p (0..1) by the (W + 1)p rule on the weighted empirical
  // distribution; SYSMIS when there is no valid case. Works on a copy (of
  // the stored values' codes where they are coded).
  double Percentile(double p) const;
  // Several percentiles at once, sharing one copy of the values.
  std::vector<double> Percentiles(const std::vector<double>& ps) const;
  // Percentiles(ps) and, with `mean`, Mean() into it, as a table's results
  // are made at the end of a pass: stored values still waiting to be
  // appended (fLater) are read from one copy of them all that goes when
  // done, and keep waiting in their short codes. Appended in place, the
  // thousand continuous variables of a wide file took their 4-byte codes
  // in fresh memory at the end, where their parts' freed room was of no use.
  std::vector<double> Results(const std::vector<double>& ps, double* mean, double* sd = nullptr) const;

  // Every member, bit for bit, so that a loaded accumulator merges and
  // answers exactly as the saved one would.
  void Save(wire::Writer& out) const;
  void Load(wire::Reader& in);

 private:
  // While the distinct values are few (codes, ages, dates, counts) only a
  // value -> weight table is kept: little memory and no pass over every
  // value at the end. Past kTableLimit distinct values the table becomes the
  // seed of the raw storage, once.
  static constexpr std::size_t kTableLimit = 4096;
  // Continuous values fill the table with nearly one value per case: once a
  // thousand distinct values are there and more than one value in four was
  // new, plain storage is cheaper than hashing every case, especially with
  // thousands of tables whose hash tables would not stay in the cache.
  static constexpr std::size_t kDensityCheck = 1024;
  // A table that took nearly only new values for its first kShortcutCheck
  // distinct ones (a continuous variable in a short block of a wide file)
  // stores the rest raw at once, provisionally: while every weight is 1 the
  // values give the same quartiles either way, and a merged accumulator that
  // is raw already takes them in one copy. Should a weight other than 1 come,
  // or a merged table take them, the table they would have made is rebuilt
  // exactly (Retable), so weighted results do not change. Marked by fKept.
  static constexpr std::size_t kShortcutCheck = 64;
  // At most this many repeats among them: a continuous variable has one or
  // two, a 365-day date column about six, codes many more.
  static constexpr std::size_t kShortcutRepeats = 2;
  static constexpr std::size_t kProvisional = ~std::size_t{0};
  // The same for weighted values, when their first kShortcutCheck + 1 came
  // without a single repeat (the survey's amounts and weights): the table
  // holds each value with its own weight, so the raw pairs are the cases as
  // they came. A merged accumulator that is raw already takes the pairs as
  // they are (the weighted selection and the mean's correction treat a
  // value's cases alike whether summed first or not: the same order
  // statistics, the same result but for a cumulative weight within rounding
  // of a target); a merged table gets the table they would have made,
  // exactly (Retable). Every merge happens in file order, on the values of
  // whole blocks, so the outcome does not depend on the threads.
  static constexpr std::size_t kProvisionalPairs = kProvisional - 1;

  // A value seen before only adds its weight: kept inline. A new one, and
  // raw storage, go out of line.
  [[gnu::always_inline]] void Keep(double x, double w) {
    if (!fRaw) {
      ++fKept;
      const std::uint32_t slot = fTable.FindOrInsert(x);
      if (slot < fSums.size()) [[likely]] {
        fSums[slot].AddInPlace(w);
        if (w != 1.0) fWeighted = true;
        return;
      }
    }
    KeepMore(x, w);
  }
  // A value new to the table (already inserted in it), or any value once raw.
  [[gnu::noinline]] void KeepMore(double x, double w) {
    SettleValues();
    if (!fRaw) {
      if (fSums.size() == kShortcutCheck && !fRetabling) {  // fKept counts this value
        if (!fWeighted && w == 1.0 && fKept <= kShortcutCheck + 1 + kShortcutRepeats) {
          fSums.push_back({w, 0.0});
          SwitchToRaw();
          fKept = kProvisional;
          return;
        }
        if (fKept == kShortcutCheck + 1) {  // weighted (else the above), no repeat
          fSums.push_back({w, 0.0});
          fWeighted = true;
          SwitchToRaw();
          fKept = kProvisionalPairs;
          return;
        }
      }
      const bool dense = fSums.size() >= kDensityCheck && fSums.size() * 4 > fKept;
      if (fSums.size() < kTableLimit && !dense) {
        fSums.push_back({w, 0.0});
        if (w != 1.0) fWeighted = true;
        return;
      }
      SwitchToRaw();
    }
    if (w != 1.0 && !fWeighted) {
      if (Provisional()) {
        Retable();
        Keep(x, w);
        return;
      }
      fWeighted = true;
      fWeights.AppendRepeated(1.0, fValues.Size());
    }
    fValues.Append(x);
    if (fWeighted) fWeights.Append(w);
  }
  [[gnu::noinline]] void SwitchToRaw();
  // A valid weight at kHeavyWeight or past it (`before`: the total without
  // the value just added): the sum of squares takes its units, and kept
  // values go on as stored pairs (KeepApart).
  [[gnu::noinline]] void Heavier(double before);
  // From a valid weight of kHeavyWeight on, every kept value is stored with
  // its own weight: two weights of 1e308 on one value would overflow that
  // value's sum in the table, and then nothing could say what it weighs
  // beside the others (a lighter copy, Lighter, takes every weight in
  // smaller units). Below that total no sum in the table can overflow. A
  // provisional store stays as it is, pairs or repeats, and is no longer
  // provisional: a table rebuilt from it could overflow likewise.
  void KeepApart();
  // For a table that has kept nothing yet: when the first values of the run
  // x, w decide the shortcut above, stores them as SwitchToRaw would have
  // (the table's values in slot order, each as often as it came, or the
  // pairs) and returns how many it took; 0, with nothing changed, when they
  // do not. A short block of a wide file hashed its first 65 values one at
  // a time only to let the table go (7% of such a run).
  std::size_t StartRaw(const double* x, const double* w, std::size_t n);
  [[gnu::noinline]] void AppendLater() const;
  // Stored values of a later accumulator, to follow these (see fLater).
  void TakeLater(RawColumn& values);
  bool Provisional() const { return fRaw && fKept == kProvisional; }
  bool ProvisionalPairs() const { return fRaw && fWeighted && fKept == kProvisionalPairs; }
  // A provisionally raw accumulator back to the table it would have kept:
  // its values are in the order the table took them (its first distinct
  // values expanded in slot order, then case order), and every weight is 1;
  // or, for pairs, the cases with their weights in case order.
  void Retable();
  // The moments of a run and its weights: sums side by side around the mean
  // so far, as a block is merged (Chan et al.), for a run that weighs at most
  // twice what came before it; false, with nothing changed, otherwise or when
  // a deviation needs other units (values near 1e-300 or 1e300, weights past
  // kHeavyWeight), which StepMoments then handles as AddMoments would, one
  // value at a time.
  bool AddRunMoments(const double* x, const double* w, std::size_t n);
  // AddRunMoments over parts of a run that it can take.
  void AddRunsMoments(const double* x, const double* w, std::size_t n);
  static constexpr std::size_t kFirstSteps = 32;
  void StepMoments(const double* x, const double* w, std::size_t n);
  // The moments of x with weight w, already in fWeight (`before`: the
  // weight without it), as StepMoments makes them.
  void AddMoments(double x, double w, double before) {
    double d = x * fValueScale - fShift;
    double delta = d - fMean;
    if (OutOfScale(delta, fScaleLimit, fTinyLimit) && Adjust(x, delta)) [[unlikely]] {
      d = x * fValueScale - fShift;
      delta = d - fMean;
    }
    const double ratio = w / fWeight.Value();
    if (ratio > 0.5) [[unlikely]] {
      const double rest = before / fWeight.Value();
      fMean = d - delta * rest;
      fM2 += (w * WeightUnit(fWeight.sum)) * (delta * fInvScale) * ((delta * rest) * fInvScale);
    } else {
      fMean += delta * ratio;
      fM2 += (w * WeightUnit(fWeight.sum)) * (delta * fInvScale) * ((d - fMean) * fInvScale);
    }
  }
  // The sum of squares counts weights in units of kHeavyUnit once the valid
  // weight reaches kHeavyWeight: deviations are kept below 2^256 in its
  // units, so a weight total near the largest double (weights of 1e307)
  // would overflow it though the variance is finite. The unit follows from
  // the weight total alone, so a saved state needs no more than it has, and
  // below that total nothing changes (a multiplication by 1).
  static constexpr double kHeavyWeight = 0x1p500;
  static constexpr double kHeavyUnit = 0x1p-520;
  static double WeightUnit(double weightSum) { return weightSum >= kHeavyWeight ? kHeavyUnit : 1.0; }
  // A deviation whose square would overflow the units of fM2, or underflow
  // in them (0 squares exactly).
  static bool OutOfScale(double delta, double limit, double tiny) {
    const double a = std::fabs(delta);
    return a > limit || (a < tiny && a != 0.0);
  }
  // Units for such a deviation. Values whose difference overflows move to
  // quarter scale first: true when they did, and the deviation is to be
  // computed again.
  [[gnu::noinline]] bool Adjust(double x, double delta);
  // ToQuarterScale for a run whose mean is `mean`; returns the new one.
  [[gnu::noinline]] double QuarterScale(double mean);
  // Rescale or Refine as the deviation needs.
  [[gnu::noinline]] void ScaleUnits(double delta);
  [[gnu::noinline]] void Rescale(double delta);
  [[gnu::noinline]] void Refine(double delta);
  // The values from now on in units of 4 (exact): the difference of two
  // doubles of opposite signs near the largest may overflow, a quarter of it
  // cannot, nor can the mean's steps.
  void ToQuarterScale();
  // Keeps a value that stands for `w` of weight (a table entry of a merged
  // accumulator).
  void KeepAggregated(double x, const CompensatedSum& w);
  bool Empty() const { return !fHasShift && fWeight.sum == 0.0 && fMissing.sum == 0.0; }
  std::vector<double> TableSelect(const std::vector<double>& targets) const;
  std::vector<double> RawSelect(const RawColumn& values, const std::vector<double>& targets) const;
  std::vector<double> PercentilesOf(const RawColumn& values, const std::vector<double>& ps) const;
  // PercentilesOf for weight totals past 2^52.
  std::vector<double> HugePercentilesOf(const RawColumn& values, const std::vector<double>& ps) const;
  // f(x, w, rest, n) for the kept values, at most 256 at a time and in
  // their order: the table's values with their weights' sums and carries, or
  // the stored values with their weights (w null while every weight is 1,
  // rest null). f may change x.
  template <class F>
  void ForEachKept(const RawColumn& values, F&& f) const;
  // This accumulator's kept values with lighter weights, when its weight
  // total is past the largest double; false, with `lighter` left empty,
  // otherwise or where they cannot stand for it.
  bool Lighter(ScaleAccumulator& lighter) const;
  // The standard deviation from a walk over the kept values (see Results).
  double StdDevOf(const RawColumn& values) const;
  // The running mean as a walk over the kept values centres their
  // deviations on; false when the running standard deviation stays.
  bool DeviationCentre(double& centre) const;
  double StdDevFrom(const DeviationSums& sums) const;
  double MeanOf(const RawColumn& values) const;
  // The running mean, false with SYSMIS in it when there is none.
  bool RunningMean(double& mean) const;
  // Mean and standard deviation from one walk over the kept values where
  // both walk them in their own units: false, with neither set, otherwise.
  bool MeanAndStdDevOf(const RawColumn& values, double& mean, double& sd) const;
  // The stored values in order: fValues once settled, else `copy` made of
  // fValues and the waiting parts (the same values in the same order).
  const RawColumn& StoredValues(RawColumn& copy) const;
  // The running mean `mean` corrected by the kept values.
  double CorrectedMean(const RawColumn& values, double mean) const;
  // Weights in units of 1 / weightScale (a power of two) where Σ w·x
  // overflows even at quarter scale.
  double CorrectedMeanAt(const RawColumn& values, double mean, double scale, double weightScale = 1.0) const;
  // Whether the mean's walk takes the values in units finer than its own.
  bool FinerMeanUnits(double mean, int& magnitude) const;
  // The mean from Σ w·x over the kept values in units of 1 / scale.
  double CorrectedMeanFrom(const ProductSum& sum, double mean, double scale, double weightScale = 1.0) const;

  bool fKeepValues;
  CompensatedSum fWeight;
  CompensatedSum fMissing;
  bool fHasShift = false;
  double fShift = 0.0;
  double fMean = 0.0;            // of x * fValueScale - fShift
  double fM2 = 0.0;              // sum of squared scaled deviations times fInvScale^2
  double fInvScale = 1.0;        // a power of two
  double fScaleLimit = 0x1p256;  // deviations beyond this rescale
  double fTinyLimit = 0x1p-400;  // nonzero deviations below this refine
  double fValueScale = 1.0;      // 1, or 1/4 once differences overflowed

  bool fRaw = false;                  // the values outgrew the table
  std::size_t fKept = 0;              // values offered to the table; kProvisional
  bool fRetabling = false;            // in Retable: no shortcut
  NumericCategoryIndex fTable;        // distinct values while !fRaw
  std::vector<CompensatedSum> fSums;  // their weight sums, in case order
  // The stored values. Those of later accumulators merged whole with unit
  // weights on both sides wait in fLater, in order, and join fValues when
  // anything else needs them (SettleValues): in one copy into room made for
  // all of them, on the thread that finishes the table, instead of block
  // after block into a column that doubles on the thread that merges (a
  // wide file's thousand continuous variables took as much fresh memory
  // again as they keep). Reading them settles them, hence mutable.
  mutable RawColumn fValues;
  mutable std::vector<RawColumn> fLater;
  bool fWeighted = false;  // a weight other than 1 was seen
  RawColumn fWeights;      // empty while every weight is 1
};

struct WeightedValue {
  double value;
  double weight;
};

// Runs job(0) ... job(count - 1) once each, in any order, on up to
// `threads` threads (this one among them), as the results of a pass's tables
// are computed. A thread that finds no job left helps with the long weighted
// selections of the jobs still running: a few continuous variables take most
// of the time, and their number rarely divides by the threads'. A selection's
// parts are disjoint ranges of its copy, so the results do not depend on who
// ran them. Rethrows the first exception of a job once every job has ended.
void RunFinalJobs(std::size_t threads, std::size_t count, const std::function<void(std::size_t)>& job);

// Moves the values below `pivot` to the front and returns where they end:
// exactly std::partition's arrangement (the k-th value from the front that is
// not below the pivot swaps with the k-th from the back that is, while they
// have not crossed), so that the weights the selection sums come in the same
// order, but found a block at a time without a branch per value. Exposed for
// tests.
WeightedValue* PartitionBelow(WeightedValue* first, WeightedValue* last, double pivot);

// Smallest x whose cumulative weight (sum of the weights of values <= x)
// reaches t, within CumulativeSlack of the total weight; the largest value
// when t exceeds the total. Expected linear time (three-way quickselect);
// reorders the array. Exposed for tests.
double WeightedSelect(std::vector<WeightedValue>& values, double t);
// The same for several cumulative weights at once (any order), sharing the
// partitions between them.
std::vector<double> WeightedSelectMany(std::vector<WeightedValue>& values, const std::vector<double>& targets);
// The same over stored values and their weights (a copy, in their order): on
// their codes when both are coded, with the same partitions, the same sums
// and so the same results as on the decoded pairs. `total`, when given, is
// their weight total as the caller summed it (an accumulator's valid weight,
// the same sum in another order), which only sets how early a target counts
// as reached; else it is summed over the pairs in their order. A long keyed
// column is selected without the whole copy where BracketSelectMany can.
std::vector<double> WeightedSelectMany(const RawColumn& values, const RawColumn& weights,
                                       const std::vector<double>& targets, std::optional<double> total = std::nullopt);
// The same for a long keyed column without a copy of it: a sample of the
// pairs brackets each target between two keys, one walk over the column sums
// the weights below and copies the pairs within the brackets, and the
// selection runs on those copies. False, with `results` unset, when a target
// falls outside its bracket (the sample misled) or the brackets would hold
// much of the column: the caller selects on a whole copy then. The weights
// are summed in another order than a whole copy's partitions sum them, so a
// cumulative weight may differ from theirs in its last bits, far inside
// CumulativeSlack: a target within a few ulps of the slack's edge is left to
// the whole copy. Exposed for tests.
bool BracketSelectMany(const RawColumn& values, const RawColumn& weights, const std::vector<double>& targets,
                       std::optional<double> total, std::vector<double>& results);

}  // namespace host::engine
