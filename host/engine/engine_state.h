// Inner state of the aggregation engine: what a table accumulates while the
// cases pass and how its cells are read afterwards. Host-internal.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/aggregation.h"
#include "host/engine/category_index.h"
#include "host/engine/scale.h"
#include "host/quvo.h"

namespace host {

enum class DimensionKind { Variable, CategorySet, DichotomySet };

// One categorical dimension and its counts.
class DimensionImpl {
 public:
  DimensionImpl(DimensionKind kind, std::vector<int> variables, std::string name);
  ~DimensionImpl();

  DimensionKind Kind() const { return fKind; }
  TableDimension* Table() const { return fTableDimension.get(); }

  void SetPredefined(const std::vector<ParsedCategory*>& categories);
  void SetNoTotal(bool noTotal) { fNoTotal = noTotal; }
  void SetCountedValue(const OBS* value, int length);

  // Resolves the variables against the dictionary and copies the counted
  // value; called when the dimension is added to a cube, while the caller's
  // counted value is still alive.
  void Prepare(const QUVO_DataSource& source);
  void Add(const ProcDSIterator& it, double w) {
    ++fAdded;
    fTotal.Add(w);
    switch (fKind) {
      case DimensionKind::Variable:
        AddVariable(it, w);
        break;
      case DimensionKind::CategorySet:
        AddCategorySet(it, w);
        break;
      case DimensionKind::DichotomySet:
        AddDichotomySet(it, w);
        break;
    }
  }

  std::size_t NumberOfValues() const;
  // Builds the category list for the counts so far (total last); a no-op
  // when no case came since the last call.
  void BuildCategories();
  const std::vector<std::unique_ptr<AggregationCategory>>& Categories() const { return fCategories; }
  // The count of a real category by its position in the list.
  double CategoryCount(int position) const { return fCounts[fOrder[static_cast<std::size_t>(position)]].Value(); }
  double MissingWeight() const { return fMissing.Value(); }
  double TotalWeight() const { return fTotal.Value(); }

 private:
  struct Member {
    int index = -1;
    const QUVO_Variable* variable = nullptr;  // null: unknown to the dictionary
    bool isString = false;
    bool checkMissing = false;
    engine::NumericMissing numericMissing;
    bool usable = false;  // known and of the dimension's type
  };

  [[gnu::always_inline]] std::uint32_t Slot(double x) {
    const std::uint32_t s = fFixed ? fNumbers.Find(x) : fNumbers.FindOrInsert(x);
    if (s != engine::kNoSlot && s >= fCounts.size()) fCounts.resize(s + 1);
    return s;
  }
  [[gnu::always_inline]] std::uint32_t Slot(std::string_view x) {
    const std::uint32_t s = fFixed ? fStrings.Find(x) : fStrings.FindOrInsert(x);
    if (s != engine::kNoSlot && s >= fCounts.size()) fCounts.resize(s + 1);
    return s;
  }
  [[gnu::always_inline]] void Count(std::uint32_t slot, double w) {
    if (slot == engine::kNoSlot) return;
    if (fFixed && fCounts[slot].sum == 0.0) ++fFixedSeen;
    fCounts[slot].Add(w);
  }

  void AddVariable(const ProcDSIterator& it, double w);
  void AddCategorySet(const ProcDSIterator& it, double w);
  void AddDichotomySet(const ProcDSIterator& it, double w);
  int MemberIndexOf(const OBS& value) const;

  DimensionKind fKind;
  std::vector<int> fVariables;  // the variable, or the members in set order
  std::string fName;
  std::unique_ptr<TableDimension> fTableDimension;
  std::vector<std::unique_ptr<ParsedCategory>> fPredefined;
  bool fNoTotal = false;
  const OBS* fCountedSource = nullptr;  // borrowed until Prepare
  int fCountedLength = 0;

  // Set by Prepare.
  bool fPrepared = false;
  bool fIsString = false;
  std::vector<Member> fMembers;  // one for a variable
  bool fFixed = false;           // pre-defined categories only
  std::size_t fKnownMembers = 0;
  std::size_t fFixedSeen = 0;
  std::string fCountedText;  // dichotomy sets over strings, trailing blanks trimmed
  double fCountedNumber = 0.0;

  // Counts.
  engine::NumericCategoryIndex fNumbers;
  engine::StringCategoryIndex fStrings;
  // Compensated like the missing and total weights, so that a missing
  // weight equals the sum of its categories to far better than 1e-8.
  std::vector<engine::CompensatedSum> fCounts;  // by slot (by member for dichotomy sets)
  engine::CompensatedSum fMissing;
  engine::CompensatedSum fTotal;
  std::vector<std::uint32_t> fCaseSlots;  // scratch: categories of the current case

  // Result view.
  std::uint64_t fAdded = 0;
  std::uint64_t fBuiltGeneration = ~std::uint64_t{0};
  std::vector<std::unique_ptr<AggregationCategory>> fCategories;
  std::vector<std::uint32_t> fOrder;  // position -> slot
  std::vector<std::unique_ptr<AggregationCategory>> fRetired;  // keeps old pointers valid
};

engine::NumericMissing NumericMissingOf(const QUVO_Variable& variable);

// Scale statistics of one variable over the whole table.
struct ScaleVariable {
  int index = -1;
  const QUVO_Variable* variable = nullptr;
  bool isString = false;
  bool checkMissing = false;
  engine::NumericMissing numericMissing;
  engine::ScaleAccumulator acc;

  ScaleVariable(int i, bool keepValues) : index(i), acc(keepValues) {}
  void Add(const ProcDSIterator& it, double w) {
    if (variable == nullptr) return;
    if (isString) {
      if (checkMissing && variable->IsUserMissingString(it.String(index))) {
        acc.AddMissing(w);
      } else {
        acc.AddValidWithoutValue(w);
      }
      return;
    }
    const double x = it.Number(index);
    if (x == SYSMIS || (checkMissing && numericMissing.Test(x))) {
      acc.AddMissing(w);
    } else {
      acc.AddValid(x, w);
    }
  }
};

// Everything a table accumulates. Shared by the table and its aggregator so
// that either may be released first.
struct TableState {
  ProcDSIterator* iterator = nullptr;
  std::unique_ptr<AggregationVariable> dimension;  // position 0
  std::vector<std::unique_ptr<AggregationVariable>> otherDimensions;
  bool aggregatorCreated = false;

  std::unique_ptr<CellStatistics> scaleCell;
  std::unique_ptr<CellStatistics> categoryCell;
  std::unique_ptr<CellStatistics> totalCell;
  std::vector<ScaleVariable> scales;
  std::vector<std::size_t> scaleOfStatistic;  // scale statistic -> entry of scales

  std::uint64_t generation = 0;  // cases entered

  DimensionImpl* Dimension() const { return dimension ? dimension->Impl() : nullptr; }
  void Add() {
    const ProcDSIterator& it = *iterator;
    if (it.SplitGroupEnd()) return;
    const double w = it.Weight();
    if (!(w > 0.0)) return;  // missing (SYSMIS is negative), zero, negative or NaN
    ++generation;
    for (ScaleVariable& s : scales) s.Add(it, w);
    if (DimensionImpl* d = Dimension()) d->Add(it, w);
  }
};

class TableImpl {
 public:
  explicit TableImpl(ProcDSIterator& it);
  ~TableImpl();

  std::shared_ptr<TableState> state;
  std::unique_ptr<AggregationCube> cube;
  std::unique_ptr<TableMetadata> metadata;
  std::unique_ptr<CubeAggregator> ownedAggregator;  // until handed out
  CubeAggregator* aggregator = nullptr;
};

class AggregatorImpl {
 public:
  explicit AggregatorImpl(std::shared_ptr<TableState> state) : fState(std::move(state)) {}
  const StatValues* GetStatValues(const std::vector<const AggregationCategory*>& categories);

 private:
  const StatValues* Keep(std::unique_ptr<StatValues>& slot, std::unique_ptr<StatValues> values);
  void Refresh();

  std::shared_ptr<TableState> fState;
  std::uint64_t fGeneration = ~std::uint64_t{0};
  std::unique_ptr<StatValues> fWhole;
  std::vector<std::unique_ptr<StatValues>> fByCategory;
  std::vector<std::unique_ptr<StatValues>> fRetired;
};

}  // namespace host
