#include "host/engine/pass.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "host/check.h"
#include "host/common/thread_room.h"
#include "host/data/share_parts.h"
#include "host/engine/engine_state.h"
#include "host/shards/wire.h"

namespace host {

// A wide pass's per-block accumulators: thousands of tables, each growing
// its index and count lists from nothing in every block, made on a reader
// and freed on another cost malloc and free about a tenth of the pass. A
// freed block's tables come back here and the next block's gathering resets
// them (TableAccumulator::Reset keeps their room). Narrow passes do not keep
// them: a few tables, cheap to make, but a block's index of distinct values
// may be large.
struct SpareTables {
  std::mutex mutex;
  std::vector<std::vector<std::unique_ptr<engine::TableAccumulator>>> sets;
};

GatheredBlock::~GatheredBlock() {
  if (!spares || tables.empty()) return;
  try {
    std::lock_guard<std::mutex> lock(spares->mutex);
    spares->sets.push_back(std::move(tables));
  } catch (...) {
    // No room to keep them: they are freed instead.
  }
}

namespace {
constexpr std::uint64_t kNone = ~std::uint64_t{0};
constexpr std::size_t kReuseTablesFrom = 256;
// Tables with scale statistics from which their results are computed beside
// the procedure's making of its tables rather than before it.
constexpr std::size_t kFinalBesideFrom = 256;
// Stored values from which a table's percentiles and its mean and standard
// deviation are computed on two threads at once.
constexpr std::size_t kSplitFinalFrom = std::size_t{1} << 15;
// What a table reports in a dry run: more categories than any limit a
// procedure can set (its limits are 32-bit), small enough to stay positive
// in any signed type it may be read into.
constexpr std::size_t kDryRunCategories = std::size_t{1} << 40;
}  // namespace

Pass::Pass(const CasePosition& position) : fPos(position) { ReleaseKeptStates(); }

Pass::~Pass() {
  if (fFinal) fFinal->Stop();
  // The iterator goes: its block must have been left already. Tables that
  // outlive it see a position that matches no tally.
  for (TableImpl* t : fTables) {
    if (t == nullptr) continue;
    t->pass = nullptr;
    t->tally.position = &t->detached;
    t->tally.Leave();
    t->tally.viewSerial = kNone;
  }
}

void Pass::Register(TableImpl& table) {
  table.pass = this;
  table.slot = fTables.size();
  table.tally.position = &fPos;
  fTables.push_back(&table);
  fNewRows.emplace_back();
  fLocal.emplace_back();
  fTaken.push_back(0);
}

void Pass::Unregister(TableImpl& table) {
  if (table.pass != this) return;
  if (table.tally.serial == fPos.serial && fPos.block != nullptr) Settle(table);
  // Released while a block is in hand: the procedure let the table go before
  // the end of the pass, which may end here (NoteStopped).
  if (fPos.block != nullptr && !fDryRun) {
    try {
      int column = -1;
      if (const std::size_t atLeast = AtLeast(table, column); atLeast > 0)
        fReleasedAtLeast.emplace_back(column, atLeast);
    } catch (const std::bad_alloc&) {
      // No room for the note: the overview goes without it.
    }
  }
  fTables[table.slot] = nullptr;
  if (fShared && table.slot < fShared->rules.size()) fShared->idle[table.slot].store(true);
  table.pass = nullptr;
  table.tally.position = &table.detached;
}

void Pass::AddGatherer(BlockGatherer gatherer) { fGatherers.push_back(std::move(gatherer)); }

std::vector<std::shared_ptr<const engine::TableRules>> Pass::RegisteredRules() const {
  std::vector<std::shared_ptr<const engine::TableRules>> rules;
  for (TableImpl* table : fTables) {
    if (table != nullptr) rules.push_back(table->state->Rules());
  }
  return rules;
}

ReadPlan Pass::Plan(std::size_t columns) {
  auto shared = std::make_shared<Shared>();
  shared->rules.resize(fTables.size());
  shared->idle = std::make_unique<std::atomic<bool>[]>(fTables.size());
  ReadPlan plan;
  plan.columns.assign(columns, 0);
  for (std::size_t i = 0; i < fTables.size(); ++i) {
    shared->idle[i].store(fTables[i] == nullptr);
    if (fTables[i] == nullptr) continue;
    shared->rules[i] = fTables[i]->state->Rules();
    shared->rules[i]->MarkColumns(plan.columns);
  }
  shared->gatherers = fGatherers;
  for (const BlockGatherer& g : fGatherers) {
    for (int v : g.columns) {
      if (v >= 0 && static_cast<std::size_t>(v) < columns) plan.columns[static_cast<std::size_t>(v)] = 1;
    }
  }
  fShared = shared;
  const void* token = shared.get();
  auto spares = fTables.size() >= kReuseTablesFrom ? std::make_shared<SpareTables>() : nullptr;
  plan.gather = [shared, token, spares](CaseBlock& block) {
    auto work = std::make_shared<GatheredBlock>();
    work->pass = token;
    if (spares) {
      std::lock_guard<std::mutex> lock(spares->mutex);
      if (!spares->sets.empty()) {
        work->tables = std::move(spares->sets.back());
        spares->sets.pop_back();
      }
    }
    work->tables.resize(shared->rules.size());
    // The entering cases' weight total is the same for every table: added
    // up once here (if a table needs it), not once per table.
    std::optional<engine::BlockEntry> entry;
    std::vector<std::size_t> taking;
    for (std::size_t i = 0; i < shared->rules.size(); ++i) {
      std::unique_ptr<engine::TableAccumulator>& acc = work->tables[i];
      if (!shared->rules[i] || shared->idle[i].load(std::memory_order_relaxed)) {
        acc.reset();
        continue;
      }
      const engine::TableRules& rules = *shared->rules[i];
      if (!entry && rules.dimension && !block.weights.empty()) entry = engine::BlockEntry::Of(block);
      if (acc) {
        acc->Reset(rules);
      } else {
        acc = std::make_unique<engine::TableAccumulator>(rules);
      }
      taking.push_back(i);
    }
    // Each table gathers into its own accumulator: readers with nothing
    // left to read may take some of them.
    ShareParts(taking.size(), [&](std::size_t j) {
      const std::size_t i = taking[j];
      work->tables[i]->AddRows(*shared->rules[i], block, 0, block.rows, entry ? &*entry : nullptr);
    });
    work->spares = spares;
    for (const BlockGatherer& g : shared->gatherers) work->others.push_back(g.gather(block));
    block.work = std::move(work);
  };
  return plan;
}

std::vector<std::shared_ptr<const engine::TableRules>> Pass::Rules() const {
  return fShared ? fShared->rules : std::vector<std::shared_ptr<const engine::TableRules>>{};
}

std::shared_ptr<BlockWork> Pass::Adopt(std::vector<std::unique_ptr<engine::TableAccumulator>> tables,
                                       const std::string_view* side) const {
  auto work = std::make_shared<GatheredBlock>();
  work->pass = fShared.get();
  work->tables = std::move(tables);
  work->cellsElsewhere = true;
  for (const BlockGatherer& g : fGatherers) {
    std::unique_ptr<BlockWork> loaded;
    if (g.load && side != nullptr) {
      wire::Reader in(*side);
      loaded = g.load(in);
      in.ExpectEnd();
    }
    work->others.push_back(std::move(loaded));
  }
  return work;
}

void Pass::StartDryRun() { fDryRun = true; }

bool Pass::CellsElsewhere() const {
  const CaseBlock* block = fPos.block;
  const auto* work = block != nullptr ? dynamic_cast<const GatheredBlock*>(block->work.get()) : nullptr;
  return work != nullptr && work->cellsElsewhere;
}

engine::TableAccumulator* Pass::WholeBlock(TableImpl& table, bool make) {
  const CaseBlock* block = fPos.block;
  if (block == nullptr) return nullptr;
  if (auto* work = dynamic_cast<GatheredBlock*>(block->work.get());
      work != nullptr && fShared && work->pass == fShared.get() && table.slot < work->tables.size() &&
      work->tables[table.slot]) {
    return work->tables[table.slot].get();
  }
  if (CellsElsewhere()) return nullptr;
  if (fLocalSerial != fPos.serial) {
    for (auto& local : fLocal) local.reset();
    fLocalSerial = fPos.serial;
  }
  std::unique_ptr<engine::TableAccumulator>& local = fLocal[table.slot];
  if (!local && make) {
    EnsureCells(*block);
    const engine::TableRules& rules = *table.state->Rules();
    local = std::make_unique<engine::TableAccumulator>(rules);
    local->AddRows(rules, *block, 0, block->rows);
  }
  return local.get();
}

void Pass::Gather(TableImpl& table, std::size_t begin, std::size_t end) {
  if (fDryRun) {
    fTaken[table.slot] += end - begin;
    return;
  }
  TableState& s = *table.state;
  const engine::TableRules& rules = *s.Rules();
  engine::TableAccumulator& merged = s.Merged();
  if (begin == 0 && end == fPos.block->rows) {
    if (engine::TableAccumulator* whole = WholeBlock(table, true)) {
      merged.Merge(rules, std::move(*whole));
      ++s.generation;
      return;
    }
  }
  if (CellsElsewhere()) {
    // Part of a block gathered elsewhere: only the table the procedure lets
    // go in this block takes part of it, and such a table is not read.
    s.incomplete = true;
    ++s.generation;
    return;
  }
  EnsureCells(*fPos.block);
  engine::TableAccumulator part(rules);
  part.AddRows(rules, *fPos.block, begin, end);
  merged.Merge(rules, std::move(part));
  ++s.generation;
}

void Pass::Settle(TableImpl& table) {
  CaseTally& t = table.tally;
  if (t.serial != fPos.serial || fPos.block == nullptr) return;
  if (t.Next() > t.flushed) {
    // A table that took the whole block from its first row gets the block
    // gathered whole (Gather sees the whole range).
    Gather(table, t.flushed, t.Next());
    t.flushed = t.Next();
  }
  t.viewSerial = kNone;
}

void Pass::LeaveBlock() {
  const CaseBlock* block = fPos.block;
  if (block == nullptr) return;
  for (TableImpl* table : fTables) {
    if (table == nullptr) continue;
    CaseTally& t = table->tally;
    const bool whole = t.serial == fPos.serial && t.first == 0 && t.Next() == block->rows;
    if (t.serial == fPos.serial) Settle(*table);
    t.Leave();
    t.viewSerial = kNone;
    // A table that let cases of this block go is not expected to take more
    // (its category limit ended it): readers stop gathering for it.
    if (!whole && fShared && table->slot < fShared->rules.size()) fShared->idle[table->slot].store(true);
  }
  for (auto& local : fLocal) local.reset();
  if (fDryRun) return;  // no cells to gather
  auto* work = dynamic_cast<GatheredBlock*>(block->work.get());
  if (work != nullptr && (!fShared || work->pass != fShared.get())) work = nullptr;
  // A block replayed from a partial state has no cells: a gatherer gets what
  // the block brought for it, or nothing.
  const bool elsewhere = CellsElsewhere();
  for (std::size_t j = 0; j < fGatherers.size(); ++j) {
    BlockWork* gathered = work != nullptr && j < work->others.size() ? work->others[j].get() : nullptr;
    std::unique_ptr<BlockWork> here;
    if (gathered == nullptr && !elsewhere) {
      EnsureCells(*block);
      here = fGatherers[j].gather(*block);
      gathered = here.get();
    }
    fGatherers[j].merge(gathered);
  }
}

void Pass::Finish(int threads) {
  std::vector<TableState*> states;
  for (TableImpl* t : fTables) {
    if (t != nullptr && !t->state->scaleRules.empty()) states.push_back(t->state.get());
  }
  for (TableState* s : states) s->Settle();
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  const std::size_t n = std::min<std::size_t>(states.size(), threads > 0 ? static_cast<std::size_t>(threads) : cores);
  // A wide pass: the procedure's thread goes on to make its tables (the
  // wide file's 5,000 took about as long as its percentiles on two threads)
  // while the other threads compute the results, instead of waiting for
  // them with a core idle afterwards.
  if (n > 1 && states.size() >= kFinalBesideFrom && !fFinal) {
    std::vector<std::shared_ptr<TableState>> owned;
    owned.reserve(states.size());
    for (TableImpl* t : fTables) {
      if (t == nullptr || t->state->scaleRules.empty()) continue;
      t->state->Merged();  // made here: the other threads only read it
      owned.push_back(t->state);
    }
    fFinal = FinalJobs::Start(std::move(owned), n - 1);
    if (fFinal) {
      fFinished = true;
      return;
    }
  }
  const std::size_t threadCount = threads > 0 ? static_cast<std::size_t>(threads) : cores;
  if (threadCount == 1 || states.empty()) {
    engine::RunFinalJobs(1, states.size(), [&](std::size_t i) { states[i]->Finalize(); });
    fFinished = true;
    return;
  }
  // A table's percentiles and its mean and standard deviation are two jobs:
  // the survey's three weighted continuous variables were three jobs for
  // two threads, the third on one thread while the other idled (a third of
  // the finish on a quiet machine).
  // A table with few stored values stays one job: its results take less
  // than a thread's start (a run of `CODEBOOK age` starts none).
  std::vector<char> halves(states.size());
  std::size_t jobs = states.size();
  for (std::size_t i = 0; i < states.size(); ++i) {
    halves[i] = states[i]->BeginFinal(kSplitFinalFrom) ? 1 : 0;
    jobs += halves[i];
  }
  engine::RunFinalJobs(std::min(jobs, threadCount), 2 * states.size(), [&](std::size_t j) {
    TableState& s = *states[j / 2];
    if (halves[j / 2] != 0) {
      s.FinalHalf(static_cast<int>(j % 2));
    } else if (j % 2 == 0) {
      s.Finalize();
    }
  });
  for (std::size_t i = 0; i < states.size(); ++i) {
    if (halves[i] != 0) states[i]->EndFinal();
  }
  fFinished = true;
}

std::shared_ptr<FinalJobs> FinalJobs::Start(std::vector<std::shared_ptr<TableState>> states, std::size_t threads) {
  std::shared_ptr<FinalJobs> jobs(new FinalJobs);
  jobs->fStatus = std::make_unique<std::atomic<int>[]>(states.size());
  for (std::size_t i = 0; i < states.size(); ++i) jobs->fStatus[i].store(kPending, std::memory_order_relaxed);
  jobs->fStates = std::move(states);
  try {
    jobs->fWorker = std::thread([raw = jobs.get(), threads] {
      ThreadRooms rooms;
      raw->Work(threads);
    });
  } catch (const std::system_error&) {
    return nullptr;  // no room for a thread (a limit on memory)
  }
  for (std::size_t i = 0; i < jobs->fStates.size(); ++i) {
    jobs->fStates[i]->pendingFinal = jobs;
    jobs->fStates[i]->finalJob = i;
  }
  return jobs;
}

FinalJobs::~FinalJobs() { Stop(); }

void FinalJobs::Work(std::size_t threads) {
  try {
    engine::RunFinalJobs(threads, fStates.size(), [this](std::size_t job) {
      if (!fStopped.load(std::memory_order_relaxed) && Take(job)) Run(job);
    });
  } catch (...) {
    // The jobs not taken are computed where they are read.
  }
}

bool FinalJobs::Take(std::size_t job) {
  int expected = kPending;
  return fStatus[job].compare_exchange_strong(expected, kTaken, std::memory_order_acq_rel);
}

void FinalJobs::Done(std::size_t job) {
  {
    std::lock_guard<std::mutex> lock(fMutex);
    fStatus[job].store(kDone, std::memory_order_release);
  }
  fChanged.notify_all();
}

void FinalJobs::Run(std::size_t job) {
  try {
    fStates[job]->Finalize();
  } catch (...) {
    // Left unfinished: the state computes its results again when read,
    // where a failure reaches the procedure.
  }
  Done(job);
}

void FinalJobs::Await(std::size_t job, TableState& state) {
  if (Take(job)) {
    try {
      state.Finalize();
    } catch (...) {
      Done(job);
      throw;
    }
    Done(job);
    return;
  }
  if (fStatus[job].load(std::memory_order_acquire) == kDone) return;
  // Under way on another thread, which goes on with the jobs after it: the
  // next one still pending is done here meanwhile (the procedure comes to it
  // soon), so that neither thread waits for the other as they move along the
  // tables together.
  for (std::size_t next = job + 1; next < fStates.size() && !fStopped.load(std::memory_order_relaxed); ++next) {
    if (Take(next)) {
      Run(next);
      break;
    }
  }
  std::unique_lock<std::mutex> lock(fMutex);
  fChanged.wait(lock, [&] { return fStatus[job].load(std::memory_order_acquire) == kDone; });
}

void FinalJobs::Stop() {
  fStopped.store(true, std::memory_order_relaxed);
  if (fWorker.joinable()) fWorker.join();
  fStates.clear();
}

void Pass::NoteCategories(engine::DataProfile& profile) const {
  // A dry run's tables answer a count above any limit.
  if (fDryRun) return;
  for (const TableImpl* t : fTables) {
    // Only a table that let cases go was ended by its limit.
    if (t == nullptr || !fShared || t->slot >= fShared->rules.size() || !fShared->idle[t->slot].load()) continue;
    int column = -1;
    const std::size_t atLeast = AtLeast(*t, column);
    if (atLeast == 0) continue;
    auto found = profile.columns.find(column);
    if (found == profile.columns.end() || found->second.full) continue;
    // Several tables of one variable (the groups of a split file): the most.
    found->second.validAtLeast = std::max(found->second.validAtLeast, atLeast);
  }
  for (const auto& [column, atLeast] : fReleasedAtLeast) {
    auto found = profile.columns.find(column);
    if (found != profile.columns.end() && !found->second.full)
      found->second.validAtLeast = std::max(found->second.validAtLeast, atLeast);
  }
}

void Pass::NoteStopped(engine::DataProfile& profile) const {
  for (const auto& [column, atLeast] : fReleasedAtLeast) {
    engine::ColumnSummary& summary = profile.columns[column];
    summary.full = false;
    summary.counted = false;
    summary.validAtLeast = std::max(summary.validAtLeast, atLeast);
  }
}

std::size_t Pass::AtLeast(const TableImpl& table, int& column) const {
  if (!table.state || !fShared || table.slot >= fShared->rules.size()) return 0;
  const DimensionImpl* dimension = table.state->Dimension();
  const std::shared_ptr<const engine::TableRules>& rules = fShared->rules[table.slot];
  if (dimension == nullptr || dimension->Table() == nullptr || !rules || !rules->dimension) return 0;
  const engine::DimensionRule& rule = *rules->dimension;
  // Pre-defined categories count only the values given.
  if (rule.kind != DimensionKind::Variable || rule.fixed || rule.members.size() != 1) return 0;
  const engine::ColumnRule& member = rule.members.front();
  // Categories include the user-missing values seen: at most as many as
  // are defined, and with a range no bound can be told.
  std::size_t missing = 0;
  if (member.checkMissing) {
    if (member.isString) {
      missing = member.stringMissing.size();
    } else {
      if (member.numericMissing.hasRange) return 0;
      missing = member.numericMissing.values.size() + (member.numericMissing.extended ? 27 : 0);
    }
  }
  // A table the procedure never fed (more value labels than its limit)
  // counted nothing and tells nothing.
  const std::size_t counted = dimension->Table()->LastNumberOfValues();
  if (counted <= missing) return 0;
  column = member.index;
  return counted - missing;
}

void Pass::Enter(TableImpl& table) {
  CaseTally& t = table.tally;
  t.Expect(fPos.serial, fPos.row);
  t.first = t.flushed = fPos.row;
  t.viewSerial = kNone;
}

void Pass::Add(TableImpl& table) {
  if (fPos.block == nullptr || fPos.groupEnd) return;
  CaseTally& t = table.tally;
  if (t.serial != fPos.serial) {
    Enter(table);
    // A block gathered elsewhere holds the state of every table that may
    // take its first case; a table that takes a case of one without it
    // would count cases nobody gathered.
    CB_CHECK("engine", fDryRun || !CellsElsewhere() || WholeBlock(table, false) != nullptr);
  }
  if (fPos.row == t.Next()) {
    t.SetNext(fPos.row + 1);
    return;
  }
  // Out of order: what is pending goes in first, then this case by itself.
  Settle(table);
  Gather(table, fPos.row, fPos.row + 1);
  t.first = 1;  // not the block from its start any more
  t.flushed = fPos.row + 1;
  t.SetNext(fPos.row + 1);
}

std::size_t Pass::NumberOfValues(TableImpl& table) {
  TableState& s = *table.state;
  const DimensionImpl* dimension = s.Dimension();
  if (dimension == nullptr) return 0;
  if (fDryRun) return kDryRunCategories;
  const engine::DimensionRule& rule = s.Rules()->dimension.value();
  if (fPos.block != nullptr && !fPos.groupEnd) {
    CaseTally& t = table.tally;
    if (t.serial != fPos.serial) Enter(table);
    if (t.first == 0 && t.flushed == 0) {
      // The table took the block from its start: the categories after each
      // row are the merged ones plus those the block adds, at the rows where
      // the whole block first had them.
      const engine::TableAccumulator* whole = WholeBlock(table, true);
      const engine::DimensionCounts& merged = *s.Merged().Dimension();
      if (whole == nullptr) {
        // Gathered elsewhere without this table, which has taken none of the
        // block's cases: the categories are those before the block.
        CB_CHECK("engine", t.Next() == t.first);
        return merged.NumberOfValues(rule);
      }
      std::vector<std::uint32_t>& rows = fNewRows[table.slot];
      merged.NewCategoryRows(rule, *whole->Dimension(), rows);
      t.viewSerial = fPos.serial;
      t.base = merged.NumberOfValues(rule);
      t.newRows = rows.data();
      t.newCount = rows.size();
      t.newSeen = 0;
      while (t.newSeen < t.newCount && t.newRows[t.newSeen] < t.Next()) ++t.newSeen;
      return t.base + t.newSeen;
    }
    Settle(table);
  }
  CB_CHECK("engine", !s.incomplete);
  return s.Merged().Dimension()->NumberOfValues(rule);
}

}  // namespace host
