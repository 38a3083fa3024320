// Host aggregation engine: one-pass tables of counts and statistics.
//
// Ownership: an AggregationTable owns its cube; the cube owns the dimensions
// added to it; a dimension owns the ParsedCategory objects handed to it and
// its categories. The table owns its cube aggregator until
// GetCubeAggregators() is called; from then on the caller owns (and deletes)
// the aggregators in the list. StatValues belong to their aggregator.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/api.h"
#include "host/obs.h"

class QUVO_InputCaseIterator;

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
class TableImpl;
class DimensionImpl;
class AggregatorImpl;
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
// member it belongs to (sets), and its text.
class HOST_API AggregationCategory {
 public:
  OBS GetValue() const { return fValue; }
  int GetMemberIndex() const { return fMemberIndex; }
  const std::string& GetText() const { return fText; }
  bool IsTotal() const { return fIsTotal; }
  int Index() const { return fIndex; }

  OBS fValue{};
  int fMemberIndex = -1;
  std::string fText;
  bool fIsTotal = false;
  int fIndex = 0;  // position in the dimension's category list
};

class HOST_API TableDimension {
 public:
  explicit TableDimension(host::DimensionImpl* impl) : fImpl(impl) {}
  virtual ~TableDimension();
  // The number of distinct categories seen so far (total category excluded).
  std::size_t GetNumberOfValues() const;
  // The categories in the engine's order, the total category last. The
  // pointers stay valid while the dimension lives and the pass is over.
  std::vector<AggregationCategory*> GetCategoryPointers() const;

 protected:
  host::DimensionImpl* fImpl;
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
  explicit TableMetadata(host::TableImpl* impl) : fImpl(impl) {}
  TableDimension* GetDimension(int position) const;

 private:
  host::TableImpl* fImpl;
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
  explicit AggregationResult(double value = 0.0) : fValue(value) {}
  // SYSMIS when the statistic cannot be computed.
  double GetValue1() const { return fValue; }

 private:
  double fValue;
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
  explicit AggregationCube(host::TableImpl* table) : fTable(table) {}
  // Takes ownership of the dimension.
  void AddCategoricalVariable(AggregationVariable* dimension, TableEncryptionCodes::DimensionPosition position);
  void CreateCubeAggregator();
  void AddScaleStatistics(const std::vector<AggregationStatistic>& statistics);
  void AddCategoryAndTotalStatistics(const std::vector<AggregationStatistic>& categoryStatistics,
                                     AggregationVariable* dimension,
                                     const std::vector<AggregationStatistic>& totalStatistics);

 private:
  host::TableImpl* fTable;
};

class HOST_API AggregationTable {
 public:
  AggregationTable(QUVO_InputCaseIterator& cases, bool flag1, bool flag2, int flags);
  virtual ~AggregationTable();
  AggregationTable(const AggregationTable&) = delete;
  AggregationTable& operator=(const AggregationTable&) = delete;

  AggregationCube* CreateCube();
  // Adds the iterator's current case.
  void AddNewCase();
  TableMetadata* GetTableMetaData();
  // The table's aggregators (one); the caller owns them from now on.
  std::vector<CubeAggregator*> GetCubeAggregators();

 private:
  std::unique_ptr<host::TableImpl> fImpl;
};
