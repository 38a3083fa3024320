// What one aggregation table reads from the cases (its rules) and what it
// has gathered from some of them (its accumulator). A pass gathers every
// block of cases into an accumulator of its own, column at a time, possibly on
// a worker thread, and merges those accumulators in block order into the
// table's state: the result is the same whatever thread gathered a block.
//
// Rules and accumulators hold values only (numbers, strings in their own
// arenas, slot numbers): no pointers into the dictionary or into shared
// pools, so that a state could be written out and merged elsewhere.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/case_block.h"
#include "host/engine/category_index.h"
#include "host/engine/scale.h"

namespace host {

enum class DimensionKind { Variable, CategorySet, DichotomySet };

namespace engine {

// How one variable's cells are read.
struct ColumnRule {
  int index = -1;
  bool known = false;   // in the dictionary
  bool usable = false;  // known and of the type its dimension counts
  bool isString = false;
  bool checkMissing = false;
  NumericMissing numericMissing;
  std::vector<std::string> stringMissing;  // trailing blanks trimmed

  bool IsUserMissing(double x) const { return checkMissing && numericMissing.Test(x); }
  bool IsUserMissing(std::string_view s) const {
    if (!checkMissing) return false;
    for (const std::string& m : stringMissing) {
      if (m == s) return true;
    }
    return false;
  }
};

struct DimensionRule {
  DimensionKind kind = DimensionKind::Variable;
  bool isString = false;
  std::vector<ColumnRule> members;  // one for a variable
  bool fixed = false;               // pre-defined categories only
  std::vector<double> predefinedNumbers;
  std::vector<std::string> predefinedStrings;
  std::string countedText;  // dichotomy sets over strings, trailing blanks trimmed
  double countedNumber = 0.0;
  std::size_t knownMembers = 0;
};

struct ScaleRule {
  ColumnRule column;
  bool keepValues = false;  // percentiles wanted
};

struct TableRules {
  std::optional<DimensionRule> dimension;
  std::vector<ScaleRule> scales;

  // Marks the columns the table reads.
  void MarkColumns(std::vector<std::uint8_t>& needed) const;
  // Rules written and read back compare equal byte for byte.
  void Save(wire::Writer& out) const;
  static TableRules Load(wire::Reader& in);
};

// What the tables of one block share: the cases that enter (those with a
// positive weight) and the compensated total of their weights, added in case
// order from zero. Every categorical table gathers this same total; the pass
// adds it up once per block and hands it to the fresh accumulators, whose
// own loop would have made the same additions in the same order.
struct BlockEntry {
  std::uint64_t cases = 0;
  CompensatedSum total;
  // Weights read from text are mostly decimals of a few digits. When every
  // entering weight of the block is one of at most kMostDecimals digits,
  // `codes` holds each row's weight as a whole number of 1/unit (0 for a
  // case that does not enter) and `codedTotal` their exact sum, divided once:
  // a category's count is then a sum of whole numbers, exact and order-free,
  // instead of a compensated sum of binary approximations on every row.
  // Null codes otherwise. Points into the room of the thread that made it.
  const std::int32_t* codes = nullptr;
  double unit = 0.0;
  CompensatedSum codedTotal;
  static constexpr int kMostDecimals = 6;

  // Of a weighted block's rows [begin, end), added onto `total`.
  static void Add(const double* weights, std::size_t begin, std::size_t end, std::uint64_t& cases,
                  CompensatedSum& total);
  // Of a whole weighted block.
  static BlockEntry Of(const CaseBlock& block);
  // Rows [begin, end)'s weights as whole numbers of 1/unit into the same
  // places of `codes` (made at least `end` long), and their sum; false when
  // an entering weight is no decimal of at most kMostDecimals digits or its
  // code would not fit in 31 bits.
  static bool Code(const double* weights, std::size_t begin, std::size_t end, std::vector<std::int32_t>& codes,
                   double& unit, std::int64_t& sum);
};

// Adds tally / unit, `tally` a whole number (at least 0) of 1/unit, onto
// `sum`: the quotient rounded once, and the remainder that rounding left
// (exact, by a fused multiply-add) into its carry.
void AddTally(CompensatedSum& sum, std::int64_t tally, double unit);

// The counts of one categorical dimension. Slots are handed out in order of
// first sight; `firstRow` keeps, per slot, the row of the gathered block at
// which the slot's first case was counted, so that a pass can tell how many
// categories a table had after any case of a block it gathered whole.
class DimensionCounts {
 public:
  explicit DimensionCounts(const DimensionRule& rule);
  // As new under the same rule, keeping the room its index and counts grew.
  void Reset(const DimensionRule& rule);

  // Counts rows [begin, end) of the block that have a positive weight.
  // `entry`, when given, is the whole block's (begin = 0, end = rows) and
  // these counts have none yet.
  void AddRows(const DimensionRule& rule, const CaseBlock& block, std::size_t begin, std::size_t end,
               const BlockEntry* entry = nullptr);
  // Adds counts gathered from later cases.
  void Merge(const DimensionRule& rule, DimensionCounts&& later);
  // The number of distinct categories seen (known members for dichotomy sets).
  std::size_t NumberOfValues(const DimensionRule& rule) const;
  // The rows of `later` (ascending) at which it first counted a category that
  // these counts do not have.
  void NewCategoryRows(const DimensionRule& rule, const DimensionCounts& later, std::vector<std::uint32_t>& rows) const;

  // Keeps the counts and the values but not their lookup, when no case can
  // come any more: nothing can be added or merged after (until Reset).
  void DropLookup() {
    fNumbers.DropLookup();
    fStrings.DropLookup();
    std::vector<std::uint32_t>().swap(fFirstRow);
  }

  // Saved and loaded under the same rule (the index of a dimension with
  // pre-defined categories comes from the rule).
  void Save(const DimensionRule& rule, wire::Writer& out) const;
  void Load(const DimensionRule& rule, wire::Reader& in);

  std::uint64_t Cases() const { return fCases; }
  std::size_t Slots() const { return fCounts.size(); }
  double Count(std::uint32_t slot) const { return fCounts[slot].Value(); }
  double Number(std::uint32_t slot) const { return fNumbers.Value(slot); }
  std::string_view String(std::uint32_t slot) const { return fStrings.Value(slot); }
  double MissingWeight() const { return fMissing.Value(); }
  double TotalWeight() const { return fTotal.Value(); }
  const CompensatedSum& CountSum(std::uint32_t slot) const { return fCounts[slot]; }
  const CompensatedSum& TotalSum() const { return fTotal; }
  const CompensatedSum& MissingSum() const { return fMissing; }

 private:
  // `entry`: as for AddRows; its codes, when it has them, count the rows.
  void AddVariable(const DimensionRule& rule, const CaseBlock& block, std::size_t begin, std::size_t end,
                   const BlockEntry* entry);
  void AddCategorySet(const DimensionRule& rule, const CaseBlock& block, std::size_t begin, std::size_t end,
                      const BlockEntry* entry);
  void AddDichotomySet(const DimensionRule& rule, const CaseBlock& block, std::size_t begin, std::size_t end,
                       const BlockEntry* entry);
  void CountCodedDichotomies(const DimensionRule& rule, const CaseBlock& block, std::size_t begin, std::size_t end,
                             const BlockEntry& entry);
  // The entering cases and their weights' total, for a weighted block.
  void AddEntry(const CaseBlock& block, std::size_t begin, std::size_t end, const BlockEntry* entry);
  std::uint32_t NewSlot(std::uint32_t row);
  template <class Key>
  std::vector<std::uint8_t> MissingSlots(const ColumnRule& m) const;
  template <class Key, bool kFixed, bool kCheck, bool kWeighted>
  void CountColumn(const ColumnRule& m, const CaseBlock& block, const double* weights, std::size_t begin,
                   std::size_t end, const BlockEntry* coded);
  template <class Key, bool kFixed>
  void CountSet(const DimensionRule& rule, const CaseBlock& block, std::size_t begin, std::size_t end,
                const BlockEntry* coded);

  NumericCategoryIndex fNumbers;
  StringCategoryIndex fStrings;
  std::vector<CompensatedSum> fCounts;  // by slot (by member for dichotomy sets)
  std::vector<std::uint32_t> fFirstRow;
  CompensatedSum fMissing;
  CompensatedSum fTotal;
  std::size_t fFixedSeen = 0;
  std::uint64_t fCases = 0;
};

// Everything one table gathers.
class TableAccumulator {
 public:
  explicit TableAccumulator(const TableRules& rules);
  // As new under the same rules, keeping the room it grew: a wide file's
  // per-block accumulators are reused block after block instead of
  // thousands being made and freed for every block.
  void Reset(const TableRules& rules);

  // `entry`: the block's shared entry (BlockEntry::Of) when the rows are
  // the whole weighted block; used only while nothing is gathered yet.
  void AddRows(const TableRules& rules, const CaseBlock& block, std::size_t begin, std::size_t end,
               const BlockEntry* entry = nullptr);
  void Merge(const TableRules& rules, TableAccumulator&& later);
  void Save(const TableRules& rules, wire::Writer& out) const;
  // Into an accumulator made for the same rules.
  void Load(const TableRules& rules, wire::Reader& in);

  std::uint64_t Cases() const { return fCases; }
  DimensionCounts* Dimension() { return fDimension ? &*fDimension : nullptr; }
  const DimensionCounts* Dimension() const { return fDimension ? &*fDimension : nullptr; }
  const std::vector<ScaleAccumulator>& Scales() const { return fScales; }

 private:
  std::optional<DimensionCounts> fDimension;
  std::vector<ScaleAccumulator> fScales;  // one per scale rule
  std::uint64_t fCases = 0;               // cases with a positive weight
};

}  // namespace engine
}  // namespace host
