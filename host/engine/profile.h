// Side statistics of a data pass for the report's overview: per variable the
// weighted valid and missing totals and, when asked for in full (variables
// with a scale table), the number of distinct valid values (exact up to a
// bound), the smallest and largest valid number, the most frequent valid
// value and a weighted histogram; per multiple-response set its valid and
// missing totals.
//
// The pass hands every block of cases to a PassProfile (Add). A pass split
// into chunks keeps one PassProfile per chunk and merges them in chunk order
// (Merge); Finalize gives the summaries. Every result but the floating-point
// rounding of weight sums is the same whatever the chunking, the histogram
// bins included: see DecimalGrid and the bin rule in docs/output-formats.md.
// A profile saved as bytes (Save) and loaded into one of no case with the
// same wants (Load) merges bit for bit as the original would: a pass over
// the parts of a dataset gathers it on other machines (host/shards).
#pragma once

#include <atomic>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/case_block.h"
#include "host/engine/accumulate.h"
#include "host/engine/category_index.h"
#include "host/engine/scale.h"

class QUVO_Variable;
class VariableSetImpl;

namespace host {
class Dataset;
}

namespace host::engine {

// Distinct valid values are counted exactly up to this many; beyond, the
// summary says "more than" this.
inline constexpr std::size_t kDistinctLimit = 1000;
// The most fine histogram bins a variable keeps once its values are no
// longer kept one by one (see NumericProfile).
inline constexpr std::size_t kFineBinLimit = 512;
// The most bins a histogram shows.
inline constexpr int kMaxHistogramBins = 20;
// A categorical variable with more value labels than this is profiled in
// full (PassProfile::WantTables).
inline constexpr std::int64_t kCodeList = 60;

// What a print format makes of a number: a date or date-time (seconds since
// 1582, binned in whole days), a time of day or duration, or neither.
enum class TimeKind { None, Date, Time };
TimeKind TimeKindOf(int formatType);

// Equal bins on the number line: bin i is [Edge(i), Edge(i + 1)), with the
// width step x 10^exponent. Edges are the doubles nearest to the exact
// decimal products, so the value 0.3 read from a file falls in the bin that
// starts at 0.3, and the edges of a grid whose width is a multiple of
// another's are edges of that other grid too (bins nest exactly).
struct DecimalGrid {
  std::int64_t step = 1;  // positive
  int exponent = 0;       // within +-kMaxExponent

  static constexpr int kMaxExponent = 22;  // powers of ten that doubles hold exactly
  // Bin indexes stay where integers times a step are exact in a double.
  static constexpr std::int64_t kMaxIndex = std::int64_t{1} << 50;

  double Width() const {
    const auto s = static_cast<double>(step);
    return exponent >= 0 ? s * Power(exponent) : s / Power(-exponent);
  }
  double Edge(std::int64_t i) const {
    // i * step is exact (Usable keeps it below 2^53), and one multiplication
    // or division by an exact power of ten rounds once: the nearest double to
    // the decimal edge, whichever grid it is computed on.
    const auto n = static_cast<double>(i * step);
    return exponent >= 0 ? n * Power(exponent) : n / Power(-exponent);
  }
  // The bin holding x; x must be finite and within Usable().
  std::int64_t Bin(double x) const {
    auto i = static_cast<std::int64_t>(std::floor(x / Width()));
    while (Edge(i) > x) --i;
    while (Edge(i + 1) <= x) ++i;
    return i;
  }
  // Whether x's bin index stays within kMaxIndex.
  bool Usable(double x) const {
    if (!std::isfinite(x)) return false;
    return std::fabs(x / Width()) + 2.0 < static_cast<double>(kMaxIndex / step);
  }
  // How many bins of `finer` make one bin of this grid, when every bin of
  // this grid is a union of bins of `finer` (0 otherwise).
  std::int64_t Ratio(const DecimalGrid& finer) const;

  bool operator==(const DecimalGrid&) const = default;

 private:
  static double Power(int e) {
    static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                         1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    return kPowers[e];
  }
};

// A histogram for display: bin k is [grid.Edge(first + k), grid.Edge(first + k + 1)).
struct Histogram {
  DecimalGrid grid;
  std::int64_t first = 0;
  std::vector<double> weights;

  bool Empty() const { return weights.empty(); }
  double Low(std::size_t k) const { return grid.Edge(first + static_cast<std::int64_t>(k)); }
  double High(std::size_t k) const { return grid.Edge(first + static_cast<std::int64_t>(k) + 1); }
};

// The first and last bins of [low, high] on a grid. Bins are closed below
// and open above; with closeLast (values that are not all whole numbers of
// the unit) the last one also holds its upper edge.
std::pair<std::int64_t, std::int64_t> BinSpan(const DecimalGrid& grid, double low, double high, bool closeLast);

// The display grid: the narrowest "nice" width (1, 2 or 5 times a power of
// ten, times `unit`) that spans [low, high] in at most the Sturges number of
// bins for `cases` valid cases (between 5 and kMaxHistogramBins). Whole
// numbers get bins at least one unit wide; with `finest` the width is a
// multiple of its width. Empty (nullopt) when no grid can hold the range.
std::optional<DecimalGrid> ChooseDisplayGrid(double low, double high, std::int64_t cases, bool wholeNumbers,
                                             std::int64_t unit, const DecimalGrid* finest);

// What the overview shows of one variable.
struct ColumnSummary {
  bool isString = false;
  bool full = true;             // distinct values, range, mode and histogram were gathered
  double validWeight = 0.0;     // weighted valid cases
  double missingWeight = 0.0;   // weighted user- and system-missing cases
  std::int64_t validCases = 0;  // unweighted
  std::size_t distinct = 0;     // distinct valid values, exact unless distinctOver
  bool distinctOver = false;    // more than kDistinctLimit
  bool hasRange = false;        // numbers with a valid value
  double min = 0.0;
  double max = 0.0;
  bool hasMode = false;  // set when the distinct values were counted exactly
  double modeNumber = 0.0;
  std::string modeString;
  double modeWeight = 0.0;
  Histogram histogram;  // numbers with a valid value, when a grid holds them
  // Not in full: the valid values there are at least, when a table's
  // category limit ended its count (Pass::NoteCategories); 0: unknown.
  std::size_t validAtLeast = 0;
  // False when the pass stopped early (every table past its limit): then
  // only validAtLeast is known, no total.
  bool counted = true;
};

struct SetSummary {
  double validWeight = 0.0;    // cases with a counted value in some member
  double missingWeight = 0.0;  // cases with none
};

// The summaries of complete passes: by dictionary index and by set name,
// for the columns and sets that the passes' tables read.
struct DataProfile {
  std::map<int, ColumnSummary> columns;
  std::map<std::string, SetSummary> sets;

  const ColumnSummary* Column(int index) const {
    auto found = columns.find(index);
    return found == columns.end() ? nullptr : &found->second;
  }
  const SetSummary* Set(const std::string& name) const {
    auto found = sets.find(name);
    return found == sets.end() ? nullptr : &found->second;
  }
  // Takes the summaries of a later pass over the same data: columns and sets
  // it has replace those kept, except that a column a pass that stopped early
  // could not count never replaces one that was counted.
  void Absorb(DataProfile&& later);
};

// The order numeric values are kept in: ascending, with NaNs (which no grid
// holds) last by their bits, so that any input sorts. Two values neither of
// which comes before the other are one value (+0 and -0 among them).
inline bool ValueBefore(double a, double b) {
  if (a < b) return true;
  if (b < a || a == b) return false;
  if (std::isnan(a) != std::isnan(b)) return std::isnan(b);
  return std::bit_cast<std::uint64_t>(a) < std::bit_cast<std::uint64_t>(b);
}

// One numeric variable. Valid values are kept one by one with their weights
// while there are at most kDistinctLimit of them; beyond that only fine
// histogram bins are kept, of the width unit x 10^e for the smallest e on
// which the values seen take at most kFineBinLimit bins. That grid does not
// depend on the order the values came in, so chunks merge exactly, and every
// display width (1, 2 or 5 units x 10^k, k >= e) is a multiple of it.
//
// Values and bins are kept in ascending order: a block's values are sorted
// once (on the thread that read it), and merging two profiles or binning
// values is then a walk over two sorted lists, with no hashing per value.
class NumericProfile {
 public:
  // Without `full`, only the valid and missing totals are kept (what a
  // categorical table does not show when it lists no counts).
  NumericProfile(NumericMissing missing, std::int64_t unit, bool full = true)
      : fMissing(std::move(missing)), fUnit(unit), fFull(full) {}

  // `weights` null: every case weighs 1. Cases whose weight is not positive
  // are left out, as the tables leave them out. `binHint`: the exponent of the
  // fine grid of a profile of earlier cases that keeps bins (kNoBinHint:
  // none); a fresh profile of unit weights then bins its values at once.
  static constexpr int kNoBinHint = std::numeric_limits<int>::min();
  void Add(const double* values, const double* weights, std::size_t rows, int binHint = kNoBinHint);
  void Merge(NumericProfile&& later);
  // Back to no case, with the same wants; lists keep their room.
  void Reset();
  static constexpr std::size_t kKeptRoom = 256;  // values whose room Reset keeps
  // The exponent of the fine grid while bins are kept, else kNoBinHint.
  int BinHint() const { return fExact || fUnbinnable ? kNoBinHint : fGrid.exponent; }
  ColumnSummary Finalize() const;
  // Everything gathered; Load expects a profile of no case.
  void Save(wire::Writer& out) const;
  void Load(wire::Reader& in);

 private:
  template <bool kWeighted>
  void AddRows(const double* values, const double* weights, std::size_t rows, int binHint);
  bool BinAtOnce(const double* values, std::size_t n, double low, double high, int exponent);
  // The same for weighted values: each bin's weight their compensated sum in
  // case order.
  bool BinAtOnce(const WeightedValue* values, std::size_t n, double low, double high, int exponent);
  // The walk of both: value(i) is the i-th value, add(tally, i) counts it
  // in its bin's tally (a whole count or a compensated sum).
  template <typename Tally, typename ValueAt, typename AddTo>
  bool BinAtOnceBy(std::vector<Tally>& tallies, std::size_t n, double low, double high, int exponent, ValueAt value,
                   AddTo add);
  // Takes distinct values in ascending order with their weights, or with
  // their counts (each case weighing 1).
  void AddDistinct(std::vector<double>&& values, std::vector<CompensatedSum>&& weights);
  void AddCounted(std::vector<double>&& values, std::vector<std::uint32_t>&& counts);
  // The counts kept so far become weights (the same numbers: a sum of ones
  // is exact and has no carry).
  void ToWeights();
  template <typename Weight>
  void AddToBins(const std::vector<double>& values, const std::vector<Weight>& weights);
  void MergeBins(const std::vector<std::int64_t>& bins, const std::vector<double>& weights);
  void ToBins();
  void Coarsen();
  void FitBins();
  void DropBins();

  NumericMissing fMissing;
  std::int64_t fUnit;
  bool fFull;
  CompensatedSum fValid;
  CompensatedSum fMissingWeight;
  std::int64_t fValidCases = 0;
  double fMin = std::numeric_limits<double>::infinity();
  double fMax = -std::numeric_limits<double>::infinity();
  bool fWhole = true;  // every valid value is a whole number of units

  // While exact: the distinct values, ascending, and their weights. While
  // every case weighed 1 (fCounted) a value's weight is its count, four
  // bytes instead of a 16-byte sum: a wide file's thousand continuous
  // variables keep up to a thousand values each, per block in flight and
  // merged.
  bool fExact = true;
  bool fCounted = true;
  std::vector<double> fValues;
  std::vector<std::uint32_t> fCounts;    // while fCounted
  std::vector<CompensatedSum> fWeights;  // otherwise
  // Once binned: fine bins on fGrid, ascending by index, and their weights.
  DecimalGrid fGrid;
  std::vector<std::int64_t> fBins;
  std::vector<double> fBinWeights;
  bool fUnbinnable = false;  // values beyond what a grid holds: no histogram
};

// One string variable: distinct valid values (trimmed) and their weights
// while there are at most kDistinctLimit.
class StringProfile {
 public:
  explicit StringProfile(std::vector<std::string> missing, bool full = true)
      : fMissing(std::move(missing)), fFull(full) {}

  void Add(const StringColumn& column, const double* weights, std::size_t rows);
  void Merge(StringProfile&& later);
  void Reset();
  ColumnSummary Finalize() const;
  void Save(wire::Writer& out) const;
  void Load(wire::Reader& in);

 private:
  void AddValid(std::string_view s, double w);
  void Overflow();

  std::vector<std::string> fMissing;
  bool fFull;
  CompensatedSum fValid;
  CompensatedSum fMissingWeight;
  std::int64_t fValidCases = 0;
  bool fExact = true;  // distinct values still counted
  StringCategoryIndex fValues;
  std::vector<CompensatedSum> fWeights;
};

// One multiple-response set: valid when a case has a counted value in some
// member (a dichotomy set: the counted value; a category set: any valid
// value), by the aggregation engine's rules.
class SetProfile {
 public:
  SetProfile(const Dataset& dataset, const VariableSetImpl& set);

  void Add(const CaseBlock& block, const double* weights);
  void Merge(SetProfile&& later);
  void Reset();
  SetSummary Finalize() const { return SetSummary{fValid.Value(), fMissing.Value()}; }
  // False when a member column was not in a block: the set cannot be told.
  bool Complete() const { return fComplete; }
  void Save(wire::Writer& out) const;
  void Load(wire::Reader& in);

 private:
  struct Member {
    int index = -1;
    const QUVO_Variable* variable = nullptr;
  };
  bool fDichotomy = false;
  bool fIsString = false;
  std::vector<Member> fMembers;  // known members of the set's type
  std::string fCountedText;
  double fCountedNumber = 0.0;
  CompensatedSum fValid;
  CompensatedSum fMissing;
  bool fComplete = true;
  std::vector<std::uint8_t> fHas;  // scratch: per row of the block
};

// Everything one pass profiles: the variables and sets asked for (Want...).
// A variable whose column some block lacks is left out of the summaries.
class PassProfile {
 public:
  explicit PassProfile(const Dataset& dataset);
  ~PassProfile();
  PassProfile(PassProfile&&) noexcept;
  PassProfile& operator=(PassProfile&&) noexcept;

  // A variable: with `full` every statistic, else its valid and missing
  // totals only. Full wins when asked for both.
  void WantColumn(int variable, bool full = true);
  // A set, known by its members (dictionary indexes, in set order) and kind.
  void WantSet(const std::vector<int>& members, bool dichotomy);
  // Every column marked (by dictionary index), and every set whose known
  // members are all marked.
  void Want(const std::vector<std::uint8_t>& columns);
  // What the overview shows beside the tables of a pass (null rules: none):
  // for a scale table's variable every statistic, for a categorical table's
  // its totals (the table lists the rest), for a set its totals.
  void WantTables(const std::vector<std::shared_ptr<const TableRules>>& rules);
  // A profile of no case yet that wants what this one wants (one per block).
  PassProfile Fresh() const;
  void Add(const CaseBlock& block);
  // `later` profiles the cases after this one's, with the same wants.
  void Merge(PassProfile&& later);
  // A profile merged into another (moved from) or one that took blocks,
  // back to what Fresh gives, keeping its columns and their lists' room: the
  // per-block profiles of a wide file are made once per reader instead of
  // thousands of columns made and freed for every block. False when Merge
  // took a column away from it (it wanted one the other lacked): make a
  // fresh one then.
  bool Reset();
  // The summaries; with a second thread allowed (`shared`), a profile of
  // many columns has them made on two threads (the same summaries).
  DataProfile Finalize(bool shared = false) const;
  // Save writes the wants with what was gathered; Load reads into a profile
  // of no case (Fresh) and throws wire::Damaged when the bytes want other
  // columns or sets than it does.
  void Save(wire::Writer& out) const;
  void Load(wire::Reader& in);

 private:
  struct Column;
  const Dataset* fDataset;
  // What the merged profile tells the fresh ones of later blocks (shared by
  // every profile made by Fresh): per dictionary index, the exponent of the
  // fine grid of a numeric variable once it keeps bins. Unit-weight blocks
  // bin on it right away: their bins hold whole counts, which coarsen
  // exactly to whatever grid the merged profile has when they reach it, so
  // the result does not depend on when the hint was read.
  struct BinHints {
    explicit BinHints(std::size_t n);
    std::unique_ptr<std::atomic<int>[]> exponents;
    std::size_t size;
  };
  void EnsureHints();
  std::shared_ptr<BinHints> fHints;
  std::vector<std::pair<int, std::unique_ptr<Column>>> fColumns;  // by dictionary index, ascending
  std::vector<std::pair<std::size_t, SetProfile>> fSets;          // by position among the dataset's sets
  std::uint64_t fRows = 0;
};

struct PassProfile::Column {
  bool full = true;
  std::optional<NumericProfile> numbers;
  std::optional<StringProfile> strings;
  std::uint64_t rows = 0;  // rows seen; a column some block lacked is left out
};

}  // namespace host::engine
