// Inner state of the aggregation engine: what a table is set up to read, what
// it has gathered, and how its cells are read afterwards. Host-internal.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "host/aggregation.h"
#include "host/engine/accumulate.h"
#include "host/quvo.h"

namespace host {

class FinalJobs;
class Pass;
class TableImpl;
struct TableState;

// One categorical dimension: its setup, and the category list of its
// table's counts.
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
  const engine::DimensionRule& Rule() const { return fRule; }
  // The table whose state holds the counts (set when added to a cube).
  void Attach(TableState* state, CaseTally* tally);

  // Off the inline path of TableDimension::GetNumberOfValues.
  std::size_t NumberOfValues();
  // Builds the category list for the counts so far (total last); a no-op
  // when nothing was gathered since the last call. Once the pass is over the
  // list is final: a count per category is kept beside it and the table's
  // category index is freed (a listing of a million values would hold it,
  // some 70 bytes a category, while the procedure makes its rows).
  void BuildCategories();
  // Once final, the categories can be let go and made again when asked for,
  // from their values alone (8 bytes a category instead of 32).
  void ReleaseCategories();
  const std::vector<AggregationCategory>& Categories() const { return fCategories; }
  std::vector<AggregationCategory>& Categories() { return fCategories; }
  // The count of a real category by its position in the list.
  double CategoryCount(int position) const;
  // What the count of a category and the total rounded away (Rest of their
  // sums), for percents of the exact sums.
  double CategoryRest(int position) const;
  double TotalRest() const;
  double MissingRest() const;
  // The text of one of the dimension's categories.
  std::string TextOf(const AggregationCategory& category) const;
  double MissingWeight() const;
  double TotalWeight() const;

 private:
  const engine::DimensionCounts* Counts() const;
  int MemberIndexOf(const OBS& value) const;
  void Freeze(engine::DimensionCounts& counts);
  void MakeCategories(std::vector<OBS> values, std::vector<int> members);

  DimensionKind fKind;
  std::vector<int> fVariables;  // the variable, or the members in set order
  std::string fName;
  std::unique_ptr<TableDimension> fTableDimension;
  std::vector<std::unique_ptr<ParsedCategory>> fPredefined;
  bool fNoTotal = false;
  const OBS* fCountedSource = nullptr;  // borrowed until Prepare
  int fCountedLength = 0;

  bool fPrepared = false;
  engine::DimensionRule fRule;
  std::vector<const QUVO_Variable*> fMemberVariables;  // null: unknown to the dictionary
  TableState* fState = nullptr;

  // Result view: the categories side by side (a listing of a million values
  // makes a million of them), total last.
  std::uint64_t fBuiltGeneration = ~std::uint64_t{0};
  std::vector<AggregationCategory> fCategories;
  std::vector<std::uint32_t> fOrder;                       // position -> slot
  std::vector<std::vector<AggregationCategory>> fRetired;  // keeps old pointers valid

  // The final results once the index is freed: counts by position.
  bool fFrozen = false;
  std::vector<double> fFrozenCounts;
  double fFrozenMissing = 0.0;
  double fFrozenMissingRest = 0.0;
  double fFrozenTotal = 0.0;
  std::vector<double> fFrozenRests;  // by count; empty when every one is 0
  double fFrozenTotalRest = 0.0;
  std::size_t fFrozenValues = 0;
  // Released final categories: their values (and members, for sets).
  bool fReleased = false;
  std::vector<OBS> fKeptValues;
  std::vector<int> fKeptMembers;
};

engine::ColumnRule ColumnRuleOf(const QUVO_DataSource& source, int index);

// Everything a table is set up with and has gathered. Shared by the table
// and its aggregator so that either may be released first.
struct TableState {
  std::unique_ptr<AggregationVariable> dimension;  // position 0
  std::vector<std::unique_ptr<AggregationVariable>> otherDimensions;

  std::unique_ptr<CellStatistics> scaleCell;
  std::unique_ptr<CellStatistics> categoryCell;
  std::unique_ptr<CellStatistics> totalCell;
  std::vector<engine::ScaleRule> scaleRules;
  std::vector<std::size_t> scaleOfStatistic;  // scale statistic -> entry of scaleRules

  // The table while it lives (for cases it took and has not gathered yet).
  TableImpl* table = nullptr;
  // Every change of `merged` moves the generation on; result views rebuild.
  std::uint64_t generation = 0;
  // Part of a block gathered elsewhere was taken and could not be gathered
  // (host/shards): the procedure has let the table go and must not read it.
  bool incomplete = false;

  DimensionImpl* Dimension() const { return dimension ? dimension->Impl() : nullptr; }
  // The rules, frozen at the first use so that worker threads may share them.
  const std::shared_ptr<const engine::TableRules>& Rules();
  engine::TableAccumulator& Merged();
  // Gathers what the table took and has not gathered yet.
  void Settle();
  // No further case can reach the state: the table or its pass is gone, or
  // the iterator has passed its last block.
  bool PassOver() const;
  // Computes what is costly to read (the percentiles) for the state as it
  // is; a pass does it for every table at once on its threads.
  void Finalize();
  // Finalize in two halves that two of a pass's threads may run at once:
  // the percentiles (half 0) and the mean and standard deviation (half 1)
  // read the same stored values and write apart. BeginFinal on one thread
  // first (false: nothing to do, fewer than `atLeast` stored values, or the
  // halves would each copy stored values still waiting to be appended;
  // Finalize then), EndFinal after both.
  bool BeginFinal(std::size_t atLeast);
  void FinalHalf(int half);
  void EndFinal();
  // One scale variable's percentiles and/or mean and standard deviation.
  void FinalFor(std::size_t v, bool percentiles, bool moments);
  // A wide pass computes those results on threads of their own while the
  // procedure makes its tables (FinalJobs, pass.cpp): until this state's
  // are known, whatever reads the state on the procedure's thread first
  // waits for them, or computes them there when no thread has taken them
  // up yet.
  std::shared_ptr<FinalJobs> pendingFinal;
  std::size_t finalJob = 0;
  std::vector<double> Percentiles(std::size_t scale, const std::vector<double>& ps);
  // The mean of a scale variable: a walk over its stored values, so made by
  // Finalize beside the percentiles where the cell asks for it.
  double Mean(std::size_t scale);
  // The standard deviation likewise, where the values are kept.
  double StdDev(std::size_t scale);

 private:
  void AwaitFinal();
  std::vector<double> PercentileTargets(std::size_t scale) const;
  // Whether the cell asks statistic `code` of the scale rule.
  bool Wants(std::size_t scale, int code) const;

  std::uint64_t fFinalGeneration = ~std::uint64_t{0};
  std::vector<std::vector<double>> fPercentiles;  // by scale rule, for PercentileTargets
  std::vector<std::optional<double>> fMeans;      // by scale rule, where the mean is asked
  std::vector<std::optional<double>> fStdDevs;    // by scale rule, where asked and the values kept
  std::shared_ptr<const engine::TableRules> fRules;
  std::unique_ptr<engine::TableAccumulator> fMerged;
};

// The costly results of a wide pass's tables (TableState::Finalize),
// computed on threads of their own, first table first, while the procedure
// reads the tables in the same order: each state is finalized once, by the
// first of those threads or the procedure's to come to it, with the same
// results as anywhere else.
class FinalJobs {
 public:
  // Null when no thread could start (the caller finalizes them itself).
  static std::shared_ptr<FinalJobs> Start(std::vector<std::shared_ptr<TableState>> states, std::size_t threads);
  ~FinalJobs();
  FinalJobs(const FinalJobs&) = delete;
  FinalJobs& operator=(const FinalJobs&) = delete;

  // On the procedure's thread: the state's results are known on return
  // (or, when computing them threw, left for the state to compute again).
  void Await(std::size_t job, TableState& state);
  // No state is taken up any more; waits for those being computed. The
  // states left are finalized by whoever reads them.
  void Stop();

 private:
  FinalJobs() = default;
  void Work(std::size_t threads);
  // Moves a job from pending to taken; false when another has it.
  bool Take(std::size_t job);
  // Finalizes a taken job's state, a failure left for its reader.
  void Run(std::size_t job);
  void Done(std::size_t job);

  enum : int { kPending, kTaken, kDone };
  std::vector<std::shared_ptr<TableState>> fStates;  // by job; the worker's, cleared by Stop
  std::unique_ptr<std::atomic<int>[]> fStatus;
  std::atomic<bool> fStopped{false};
  std::mutex fMutex;
  std::condition_variable fChanged;
  std::thread fWorker;
};

// Frees the states a finished wide pass kept when the procedure let its
// tables go (they are otherwise left for the process's end).
void ReleaseKeptStates();

class TableImpl {
 public:
  // The tally lives in the procedure's AggregationTable, beside what its
  // inline AddNewCase reads.
  TableImpl(ProcDSIterator& it, CaseTally& tally);
  ~TableImpl();

  std::shared_ptr<TableState> state;
  std::unique_ptr<AggregationCube> cube;
  std::unique_ptr<TableMetadata> metadata;
  std::unique_ptr<CubeAggregator> ownedAggregator;  // until handed out
  CubeAggregator* aggregator = nullptr;

  CaseTally& tally;
  CasePosition detached;  // where the tally points once the iterator is gone
  Pass* pass = nullptr;   // null once the iterator is gone
  std::size_t slot = 0;   // the table's number in its pass
};

class AggregatorImpl {
 public:
  explicit AggregatorImpl(std::shared_ptr<TableState> state) : fState(std::move(state)) {}
  const StatValues* GetStatValues(const std::vector<const AggregationCategory*>& categories);

 private:
  void Refresh();

  std::shared_ptr<TableState> fState;
  std::uint64_t fGeneration = ~std::uint64_t{0};
  std::unique_ptr<StatValues> fWhole;
  // The values of the category asked for last: made on demand, in one
  // object, since the procedure reads a category's values before it asks
  // for the next (one object per category cost 80 bytes each in a listing
  // of a million values).
  std::unique_ptr<StatValues> fCategory;
  std::vector<std::unique_ptr<StatValues>> fRetired;
};

}  // namespace host
