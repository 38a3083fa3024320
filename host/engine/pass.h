// The gathering side of a data pass. The procedure still adds cases one at a
// time (AggregationTable::AddNewCase), but that only moves a counter in the
// table's tally; the rows a table took from a block are gathered column by
// column when the iterator leaves the block, or sooner when a result is read.
//
// A table takes a prefix of each block in practice (every case until its
// category limit ends it), so the block gathered whole on a reader thread
// (ReadPlan::gather) is usually what it took, and is merged as it is. Blocks
// merge in file order on the iterator's thread; what a table gathers does not
// depend on which thread read a block or how many threads there were.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "host/case_block.h"
#include "host/data/dataset.h"
#include "host/engine/accumulate.h"
#include "host/engine/profile.h"

namespace host::wire {
class Reader;
}

namespace host {

class FinalJobs;
class TableImpl;

// A per-block step beside the tables', for whatever else wants every case
// the pass reads (a per-variable summary, say): run on the reader threads a
// block at a time, in any order, and merged on the iterator's thread in file
// order, once for every block the pass read (whole blocks, also the one in
// which an early stop came).
struct BlockGatherer {
  std::vector<int> columns;  // the variables it reads
  std::function<std::unique_ptr<BlockWork>(const CaseBlock&)> gather;
  // Null for a block whose cells were read elsewhere and that brought
  // nothing for it: the gatherer has not seen every case. The work stays
  // with the block (merge may move from it) and is freed with the block's
  // tables, on the reader thread that reuses the block.
  std::function<void(BlockWork*)> merge;
  // A block whose cells were read elsewhere (Pass::Adopt) brings what a pass
  // there saved of it: the overview's profile (engine::PassProfile::Save).
  // The work from those bytes; unset: the gatherer cannot take such blocks.
  std::function<std::unique_ptr<BlockWork>(wire::Reader&)> load;
};

// Per-block accumulators kept for later blocks (see Pass::Plan).
struct SpareTables;

// The tables' share of one block, made on the thread that read it.
struct GatheredBlock : BlockWork {
  GatheredBlock() = default;
  GatheredBlock(const GatheredBlock&) = delete;
  GatheredBlock& operator=(const GatheredBlock&) = delete;
  ~GatheredBlock() override;  // the tables go to `spares` when set

  const void* pass = nullptr;                                     // the plan it was made for
  std::vector<std::unique_ptr<engine::TableAccumulator>> tables;  // by table number; null: not gathered
  std::vector<std::unique_ptr<BlockWork>> others;                 // by gatherer number
  // The block's cells were read elsewhere (a pass over the parts of a
  // dataset, host/shards): the block holds no cells, only what the tables
  // gathered from it there.
  bool cellsElsewhere = false;
  std::shared_ptr<SpareTables> spares;
};

class Pass {
 public:
  // Lets the states an earlier wide pass kept go (ReleaseKeptStates).
  explicit Pass(const CasePosition& position);
  ~Pass();
  Pass(const Pass&) = delete;
  Pass& operator=(const Pass&) = delete;

  void Register(TableImpl& table);
  void Unregister(TableImpl& table);
  // Before the first case is read.
  void AddGatherer(BlockGatherer gatherer);
  // What the tables registered so far read (the overview profiles the same),
  // before Plan freezes them.
  std::vector<std::shared_ptr<const engine::TableRules>> RegisteredRules() const;

  // What the tables read and the gathering step for the readers. Freezes the
  // rules of the tables registered so far.
  ReadPlan Plan(std::size_t columns);

  // For sources that bring the tables' states from elsewhere: the rules
  // frozen by Plan, by table number (null: a table already released), and
  // the work that hands such states to the tables with a block, with the
  // side statistics saved beside them (null: none came) for the gatherers
  // that load them. Throws wire::Damaged when those bytes do not load.
  std::vector<std::shared_ptr<const engine::TableRules>> Rules() const;
  std::shared_ptr<BlockWork> Adopt(std::vector<std::unique_ptr<engine::TableAccumulator>> tables,
                                   const std::string_view* side = nullptr) const;

  // A pass over cases without cells, to learn how the procedure uses its
  // tables (writing the plan of a pass that runs elsewhere): the tables
  // gather nothing, every table reports more categories than any limit
  // could allow, and the pass counts the cases each table took.
  void StartDryRun();
  bool DryRun() const { return fDryRun; }
  // By table number.
  const std::vector<std::uint64_t>& Taken() const { return fTaken; }

  // The iterator is about to leave its block.
  void LeaveBlock();
  // The pass read the last case: the tables' states are final; their costly
  // results are computed on up to `threads` threads (0: every core).
  void Finish(int threads);
  // Finish has run: every block was read and gathered, no case comes any more.
  bool Finished() const { return fFinished; }
  // After Finish, for the report's overview, which sees only what a table
  // lists: the valid values a variable has at least, by the categories its
  // table had counted when its category limit ended it (user-missing
  // values it may have left out). Set on the profile's columns that are not
  // profiled in full.
  void NoteCategories(engine::DataProfile& profile) const;
  // For a pass the procedure let go before its end (every table past its
  // limit, each released on the way): the same notes, from the tables as
  // they were released, as columns whose totals are unknown.
  void NoteStopped(engine::DataProfile& profile) const;
  // Tables registered, released ones included.
  std::size_t TableCount() const { return fTables.size(); }
  // What the table took and has not gathered yet goes into its state.
  void Settle(TableImpl& table);
  // AddNewCase off its inline path: a new block, a group end, a case out of
  // order or a table whose iterator is gone.
  void Add(TableImpl& table);
  // The table's number of categories now (off the inline path).
  std::size_t NumberOfValues(TableImpl& table);

 private:
  // Shared with the gathering step on reader threads.
  struct Shared {
    std::vector<std::shared_ptr<const engine::TableRules>> rules;  // by table number
    std::unique_ptr<std::atomic<bool>[]> idle;                     // the table is not expected to take more cases
    std::vector<BlockGatherer> gatherers;
  };

  // The table's accumulator of the whole current block: gathered by a reader,
  // or here when `make` (and then kept until the block is left).
  // Null when the block's cells were read elsewhere and the table's
  // accumulator did not come with it.
  engine::TableAccumulator* WholeBlock(TableImpl& table, bool make);
  bool CellsElsewhere() const;
  void Enter(TableImpl& table);
  void Gather(TableImpl& table, std::size_t begin, std::size_t end);
  // The valid values the table's variable has at least, by its count when
  // its limit ended it, with the variable's index; 0 when it tells none.
  std::size_t AtLeast(const TableImpl& table, int& column) const;

  const CasePosition& fPos;
  std::vector<TableImpl*> fTables;  // by table number; null once released
  std::shared_ptr<Shared> fShared;
  std::uint64_t fLocalSerial = 0;
  std::vector<std::unique_ptr<engine::TableAccumulator>> fLocal;  // gathered here, for fLocalSerial
  std::vector<std::vector<std::uint32_t>> fNewRows;               // per table, for its tally's view
  std::vector<BlockGatherer> fGatherers;
  bool fDryRun = false;
  bool fFinished = false;
  std::shared_ptr<FinalJobs> fFinal;                          // a wide pass's results computed beside the procedure
  std::vector<std::uint64_t> fTaken;                          // dry run: cases taken, by table number
  std::vector<std::pair<int, std::size_t>> fReleasedAtLeast;  // AtLeast of tables released before the end
};

}  // namespace host
