// Host aggregation engine: one-pass tables of counts and statistics.
//
// Ownership: an AggregationTable owns its cube; the cube owns the dimensions
// added to it; a dimension owns the ParsedCategory objects handed to it and
// its categories. The table owns its cube aggregator until
// GetCubeAggregators() is called; from then on the caller owns (and deletes)
// the aggregators in the list. StatValues belong to their aggregator.
#pragma once

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "host/api.h"
#include "host/case_block.h"
#include "host/obs.h"

class QUVO_InputCaseIterator;
class QUVO_DataSource;

namespace TableEncryptionCodes {
enum StatisticCodes : int {
  Count = 1,
  Percent = 130,
  Mean = 179,
  Missing = 198,
  StdDev = 203,
  Total = 213,
  Valid = 222,
  Percentile = 468
};
enum DimensionPosition : int { Row = 0 };
}  // namespace TableEncryptionCodes

namespace host {

// The rounding error of t, the sum a + b as rounded: a + b is exactly t
// plus it (Knuth's two-sum, whatever the magnitudes, with no comparison of
// them: a branch, or selects, on every addition). T is double, or a vector
// of doubles, lane by lane.
template <class T>
[[gnu::always_inline]] inline T TwoSumError(T a, T b, T t) {
  const T z = t - a;
  return (a - (t - z)) + (b - z);
}

// A compensated sum: the rounding error of every addition is kept in
// `carry`, so totals of millions of decimal weights stay within an ulp of
// the exact sum. Every running sum a result depends on is one of these, on
// both sides of the interface: the engine's weight totals, category counts,
// the weights of repeated values and the cumulative weights the percentile
// rule walks, and the procedure's sums of what the engine reports.
struct CompensatedSum {
  double sum = 0.0;
  double carry = 0.0;

  void Add(double x) {
    const double t = sum + x;
    carry += TwoSumError(sum, x, t);
    sum = t;
  }
  // Adds x and `error`, a term far smaller than x (what x, itself a sum,
  // rounded away), which goes with x's rounding error into the carry.
  void Add(double x, double error) {
    const double t = sum + x;
    carry += TwoSumError(sum, x, t) + error;
    sum = t;
  }
  // Add for a sum in an array (a category's count) that the next rows may
  // add to again: the same arithmetic, with the sum stored on its own before
  // the carry. Left to itself the compiler stores both as one 16-byte pair,
  // which waits for the carry, the last thing computed, and which a later
  // 8-byte load of either half cannot take its value from until the store
  // is done: where one row in two repeats the category before it, some
  // 15 ns a row instead of 2.
  void AddInPlace(double x) {
    const double t = sum + x;
    const double c = carry + TwoSumError(sum, x, t);
    sum = t;
#if defined(__GNUC__)
    __asm__("" : : "m"(sum));  // the store of sum stays here, alone
#endif
    carry = c;
  }
  void Add(const CompensatedSum& other) {
    Add(other.sum);
    carry += other.carry;
  }
  // A sum past the largest double is infinite, and its carry then holds
  // inf - inf: the sum alone says what it is (a count of weights near 1e308
  // stays an infinite count, not one that is no number and is left out).
  double Value() const { return std::isfinite(sum) ? sum + carry : sum; }
  // What Value() rounded away: Value() + Rest() is sum + carry exactly, the
  // sum a ratio of two of them (a percent) is taken of.
  double Rest() const {
    if (!std::isfinite(sum)) return 0.0;
    return TwoSumError(sum, carry, sum + carry);
  }
};

// A part of a whole in percent, each given as a number and the small rest
// below it (the exact part is part + partRest): the double nearest the exact
// 100 * part / whole. Scaling and dividing in doubles rounds twice, and the
// counts of decimal weights are themselves sums rounded once, which put some
// 40% of weighted percents an ulp off (1.1 of 3.3 gave 33.333333333333336).
// The product by 100 is split into its double and its exact error (a fused
// multiply-add), the quotient's remainder is exact likewise, and the rests
// of part and whole correct that remainder before it corrects the quotient:
// off only where the exact percent lies within some 2^-100 of the midpoint of
// two doubles. A part so large that the product overflows is taken in units
// of 2^64 (exact: the ratio is the same).
inline double PercentOf(double part, double partRest, double whole, double wholeRest) {
  // Each as one double and its exact error (two-sum), whatever the rests.
  const double p = part + partRest;
  const double pe = TwoSumError(part, partRest, p);
  const double w = whole + wholeRest;
  const double we = TwoSumError(whole, wholeRest, w);
  const double scaled = p * 100.0;
  if (!std::isfinite(scaled) && std::isfinite(p) && std::isfinite(w) && w != 0.0) {
    return PercentOf(part * 0x1p-64, partRest * 0x1p-64, whole * 0x1p-64, wholeRest * 0x1p-64);
  }
  if (!std::isfinite(scaled) || !std::isfinite(w) || w == 0.0) return p / w * 100.0;
  const double q = scaled / w;
  if (q == 0.0 || !std::isfinite(q)) return q;
  // 100 p - q w exactly, then the rests: (100 p + 100 pe) - q (w + we).
  const double remainder = std::fma(-q, w, scaled) + (std::fma(p, 100.0, -scaled) + pe * 100.0) - q * we;
  return q + remainder / w;
}
inline double PercentOf(double part, double whole) { return PercentOf(part, 0.0, whole, 0.0); }

class TableImpl;
class DimensionImpl;
class AggregatorImpl;

// One table's share of the block its iterator stands in: the rows it took
// and, while it took them from the block's first row on, how many
// categories it had after each of them. Kept here so that the procedure's
// per-case calls are a few inline instructions; the host gathers the rows a
// block at a time, column by column.
struct CaseTally {
  const CasePosition* position = nullptr;
  std::uint64_t serial = ~std::uint64_t{0};  // the block the rows below are of
  std::size_t first = 0;                     // rows [first, Next()) taken, in order
  std::size_t flushed = 0;                   // rows [first, flushed) already gathered
  // The position's ticket at the case expected next in order (serial and
  // row Next()); none (no position has it) while `serial` is no block's.
  std::uint64_t ticket = ~std::uint64_t{0};

  std::size_t Next() const { return CasePosition::RowOf(ticket); }
  void Expect(std::uint64_t block, std::size_t next) {
    serial = block;
    ticket = CasePosition::Ticket(block, next);
  }
  void SetNext(std::size_t next) { ticket = CasePosition::Ticket(serial, next); }
  void Leave() {
    serial = ~std::uint64_t{0};
    ticket = ~std::uint64_t{0};
  }
  // Categories: `base` before the block, plus one at each of newRows.
  std::uint64_t viewSerial = ~std::uint64_t{0};
  std::size_t base = 0;
  const std::uint32_t* newRows = nullptr;
  std::size_t newCount = 0;
  std::size_t newSeen = 0;
};
}  // namespace host

class HOST_API AggregationStatistic {
 public:
  explicit AggregationStatistic(TableEncryptionCodes::StatisticCodes code) : fCode(code) {}
  AggregationStatistic(int variableIndex, TableEncryptionCodes::StatisticCodes code)
      : fVariable(variableIndex), fCode(code) {}

  void SetPTileCutPoint(double cutPoint) { fCutPoint = cutPoint; }
  double GetPTileCutPoint() const { return fCutPoint; }
  TableEncryptionCodes::StatisticCodes GetSummaryStatistic() const { return fCode; }
  int GetVariableIndex() const { return fVariable; }

 private:
  int fVariable = -1;
  TableEncryptionCodes::StatisticCodes fCode;
  double fCutPoint = 0.0;
};

// One category of a dimension: its value (variables and category sets), the
// member it belongs to (sets), and its text. A listing of a million values
// makes a million of them, so the text is made when asked for, from the value
// or the member.
class HOST_API AggregationCategory {
 public:
  OBS GetValue() const { return fValue; }
  int GetMemberIndex() const { return fMemberIndex; }
  std::string GetText() const;
  bool IsTotal() const { return fIsTotal; }
  int Index() const { return fIndex; }

  OBS fValue{};
  const host::DimensionImpl* fDimension = nullptr;  // the one it belongs to
  int fMemberIndex = -1;
  int fIndex = 0;  // position in the dimension's category list
  bool fIsTotal = false;
};

class HOST_API TableDimension {
 public:
  explicit TableDimension(host::DimensionImpl* impl) : fImpl(impl) {}
  virtual ~TableDimension();
  // The number of distinct categories seen so far (total category excluded).
  std::size_t GetNumberOfValues() const {
    if (fTally != nullptr) {
      host::CaseTally& t = *fTally;
      if (t.viewSerial == t.position->serial && t.serial == t.viewSerial) {
        while (t.newSeen < t.newCount && t.newRows[t.newSeen] < t.Next()) ++t.newSeen;
        return fLastAnswer = t.base + t.newSeen;
      }
    }
    return fLastAnswer = NumberOfValuesSlow();
  }
  // Host-internal: what GetNumberOfValues last answered. For a table that
  // the caller let go past its category limit, the count that ended it (the
  // same in a run over parts, where the table's counts stop at a block).
  std::size_t LastNumberOfValues() const { return fLastAnswer; }
  // The categories in the engine's order, the total category last. The
  // pointers stay valid while the dimension lives and the pass is over.
  std::vector<AggregationCategory*> GetCategoryPointers() const;
  // The caller has read what it needs of the categories and holds none of
  // their pointers: once the pass is over their storage goes (a listing of a
  // million values: 32 MB), and GetCategoryPointers makes them again.
  void ReleaseCategories();

  // Host-internal: the tally of the table the dimension belongs to.
  void SetTally(host::CaseTally* tally) { fTally = tally; }

 protected:
  std::size_t NumberOfValuesSlow() const;

  host::DimensionImpl* fImpl;
  host::CaseTally* fTally = nullptr;
  mutable std::size_t fLastAnswer = 0;
};

class HOST_API TableMCSet : public TableDimension {
 public:
  using TableDimension::TableDimension;
};

class HOST_API TableMDSet : public TableDimension {
 public:
  using TableDimension::TableDimension;
};

class HOST_API TableMetadata {
 public:
  TableMetadata() = default;
  TableDimension* GetDimension(int position) const { return position == 0 ? fDimension : nullptr; }

  // Host-internal: set when the cube gets its categorical dimension.
  void SetDimension(TableDimension* dimension) { fDimension = dimension; }

 private:
  TableDimension* fDimension = nullptr;
};

// A pre-defined category: one value that a dimension is limited to.
class HOST_API ParsedCategory {
 public:
  ParsedCategory(const OBS& value, int flags) : fValue(value), fFlags(flags) {}
  const OBS& Value() const { return fValue; }

 private:
  OBS fValue;
  int fFlags;
};

// A categorical dimension over a variable's values.
class HOST_API AggregationVariable {
 public:
  AggregationVariable(int variableIndex, const std::string& name);
  virtual ~AggregationVariable();
  AggregationVariable(const AggregationVariable&) = delete;
  AggregationVariable& operator=(const AggregationVariable&) = delete;

  // Limits the categories to these values, in this order; takes ownership.
  void SetPredefinedCategories(const std::vector<ParsedCategory*>& categories);
  // false: the category list ends with a total category.
  void SetIsTotalNo(bool noTotal);
  // Accepted for the procedure's call sequence; categories without cases
  // follow the engine's rules whatever the flag.
  void SetIsEmptyCategoriesNo(bool noEmpty);
  TableDimension* GetTableDimension();

  host::DimensionImpl* Impl() const { return fImpl.get(); }

 protected:
  AggregationVariable(std::unique_ptr<host::DimensionImpl> impl);
  std::unique_ptr<host::DimensionImpl> fImpl;
};

// A multiple-category set: members' values pooled into one dimension.
class HOST_API AggregationMCSet : public AggregationVariable {
 public:
  AggregationMCSet(const std::vector<int>& members, const std::string& name);
};

// A multiple-dichotomy set: one category per member, counting cases whose
// member value equals the counted value. For string sets the counted value is
// `length` blank-padded 8-byte units; for numeric sets `length` is 8 and the
// value is one double.
class HOST_API AggregationMDSet : public AggregationVariable {
 public:
  AggregationMDSet(const std::vector<int>& members, const std::string& name, const OBS* countedValue, int length,
                   bool flag);
};

class HOST_API AggregationResult {
 public:
  explicit AggregationResult(double value = 0.0, double rest = 0.0) : fValue(value), fRest(rest) {}
  // SYSMIS when the statistic cannot be computed.
  double GetValue1() const { return fValue; }
  // What the value rounded away, for a sum of weights (a count, the missing
  // or total weight): the exact sum is GetValue1() + Rest(). 0 otherwise.
  double Rest() const { return fRest; }

 private:
  double fValue;
  double fRest;
};

// The statistics of one cell, in value order.
class HOST_API CellStatistics {
 public:
  CellStatistics() = default;
  explicit CellStatistics(std::vector<AggregationStatistic> statistics) : fStatistics(std::move(statistics)) {}
  virtual ~CellStatistics();
  const std::vector<AggregationStatistic>& GetStatistics() const { return fStatistics; }

 private:
  std::vector<AggregationStatistic> fStatistics;
};

class HOST_API StatValues {
 public:
  StatValues(const CellStatistics* statistics, std::vector<AggregationResult> values)
      : fStatistics(statistics), fValues(std::move(values)) {}
  int NumOfValues() const { return static_cast<int>(fValues.size()); }
  const AggregationResult* GetStatValue(int j) const { return &fValues[static_cast<std::size_t>(j)]; }
  const CellStatistics& GetCellStatistics() const { return *fStatistics; }

 private:
  const CellStatistics* fStatistics;
  std::vector<AggregationResult> fValues;
};

class HOST_API CubeAggregator {
 public:
  explicit CubeAggregator(std::unique_ptr<host::AggregatorImpl> impl);
  virtual ~CubeAggregator();
  // The values of one cell: the whole table (no category) or one category of
  // dimension 0. Null when the cell has none.
  const StatValues* GetStatValues(const std::vector<const AggregationCategory*>& categories, int flags);

 private:
  std::unique_ptr<host::AggregatorImpl> fImpl;
};

class HOST_API AggregationCube {
 public:
  AggregationCube(host::TableImpl* table, const QUVO_DataSource* source) : fTable(table), fSource(source) {}
  // Takes ownership of the dimension.
  void AddCategoricalVariable(AggregationVariable* dimension, TableEncryptionCodes::DimensionPosition position);
  void CreateCubeAggregator();
  void AddScaleStatistics(const std::vector<AggregationStatistic>& statistics);
  void AddCategoryAndTotalStatistics(const std::vector<AggregationStatistic>& categoryStatistics,
                                     AggregationVariable* dimension,
                                     const std::vector<AggregationStatistic>& totalStatistics);

 private:
  host::TableImpl* fTable;
  const QUVO_DataSource* fSource;
};

class HOST_API AggregationTable {
 public:
  AggregationTable(QUVO_InputCaseIterator& cases, bool flag1, bool flag2, int flags);
  virtual ~AggregationTable();
  AggregationTable(const AggregationTable&) = delete;
  AggregationTable& operator=(const AggregationTable&) = delete;

  AggregationCube* CreateCube();
  // Adds the iterator's current case. Cases taken in order cost a few
  // instructions here; the host gathers them a block at a time.
  void AddNewCase() {
    host::CaseTally& t = fTally;
    const host::CasePosition& p = *t.position;
    if (p.ticket == t.ticket) [[likely]] {  // the same block, the next row, not a group end
      ++t.ticket;
      return;
    }
    AddNewCaseSlow();
  }
  TableMetadata* GetTableMetaData() { return fMetadata; }
  // The table's aggregators (one); the caller owns them from now on.
  std::vector<CubeAggregator*> GetCubeAggregators();

 private:
  void AddNewCaseSlow();

  // Here, not behind a pointer: the per-case call reads the table object
  // alone (and the iterator's position, which every table shares).
  host::CaseTally fTally;
  std::unique_ptr<host::TableImpl> fImpl;
  TableMetadata* fMetadata;
};
