// Step 2 (shards.h): one part's pass. Every block is gathered, on the reader
// threads, by every table that may take its first case in a run over all the
// parts, and written in file order. A table the procedure lets go once it has
// more categories than its limit stops gathering when this part alone shows
// more: in the whole run it has as many at that case or more, so the
// procedure has let it go by then. When no table gathers any more, the rest
// of the part is only counted. Beside the tables, every block written gets
// the side statistics of the report's overview for each pass, whatever
// report the merge writes (the plan does not know it).
#include <atomic>
#include <cerrno>
#include <cstring>

#include "host/check.h"
#include "host/data/csv_parts.h"
#include "host/data/dataset.h"
#include "host/engine/profile.h"
#include "host/shards/container.h"
#include "host/shards/plan_file.h"
#include "host/shards/state_file.h"
#include "host/shards/wire.h"

namespace host::shards {

namespace {

// One table of one pass, as this part gathers it.
struct Job {
  std::size_t pass = 0;
  std::size_t table = 0;
  std::shared_ptr<const engine::TableRules> rules;
  std::optional<std::uint64_t> limit;
  std::unique_ptr<engine::TableAccumulator> seen;  // limited tables: the categories so far
};

struct Shared {
  std::vector<Job> jobs;
  std::unique_ptr<std::atomic<bool>[]> active;  // by job
  std::vector<engine::PassProfile> wants;       // by pass: what the overview wants, of no case
};

struct PartWork : BlockWork {
  std::vector<std::unique_ptr<engine::TableAccumulator>> gathered;  // by job; null: not gathered
  std::vector<engine::PassProfile> profiles;                        // by pass; empty: not gathered
};

void Gather(const Shared& shared, const CaseBlock& block, PartWork& work) {
  work.gathered.resize(shared.jobs.size());
  for (std::size_t j = 0; j < shared.jobs.size(); ++j) {
    if (!shared.active[j].load(std::memory_order_relaxed) || work.gathered[j]) continue;
    const engine::TableRules& rules = *shared.jobs[j].rules;
    auto acc = std::make_unique<engine::TableAccumulator>(rules);
    acc->AddRows(rules, block, 0, block.rows);
    work.gathered[j] = std::move(acc);
  }
  if (!work.profiles.empty()) return;
  for (const engine::PassProfile& wants : shared.wants) {
    work.profiles.push_back(wants.Fresh());
    work.profiles.back().Add(block);
  }
}

// The tables this part gathers, and what the overview wants of every pass.
std::shared_ptr<Shared> PlanJobs(const Plan& plan) {
  auto shared = std::make_shared<Shared>();
  for (std::size_t p = 0; p < plan.passes.size(); ++p) {
    std::vector<std::shared_ptr<const engine::TableRules>> rules;
    for (const TablePlan& t : plan.passes[p].tables) rules.push_back(t.rules);
    shared->wants.emplace_back(*plan.dictionary);
    shared->wants.back().WantTables(rules);
    for (std::size_t i = 0; i < plan.passes[p].tables.size(); ++i) {
      const TablePlan& t = plan.passes[p].tables[i];
      if (!t.active) continue;
      Job job{p, i, t.rules, t.limit, nullptr};
      if (t.limit) job.seen = std::make_unique<engine::TableAccumulator>(*t.rules);
      shared->jobs.push_back(std::move(job));
    }
  }
  shared->active = std::make_unique<std::atomic<bool>[]>(shared->jobs.size());
  for (std::size_t j = 0; j < shared->jobs.size(); ++j) shared->active[j].store(true);
  return shared;
}

ReadPlan PartReadPlan(const Plan& plan, const std::shared_ptr<Shared>& shared) {
  ReadPlan read;
  read.columns.assign(plan.dictionary->variables.size(), 0);
  // Every table's columns, as a pass over all the parts converts them: the
  // overview profiles them also for a table that takes no case.
  for (const PassPlan& pass : plan.passes) {
    for (const TablePlan& t : pass.tables) {
      if (t.rules) t.rules->MarkColumns(read.columns);
    }
  }
  if (plan.layout.weightIndex >= 0) read.columns[static_cast<std::size_t>(plan.layout.weightIndex)] = 1;
  for (int v : plan.layout.splitIndices) read.columns[static_cast<std::size_t>(v)] = 1;
  read.threads = Threads();
  read.gather = [shared](CaseBlock& block) {
    auto work = std::make_shared<PartWork>();
    Gather(*shared, block, *work);
    block.work = std::move(work);
  };
  return read;
}

// A block's record: its rows, where split groups start in it, and per pass
// the states of the tables that gathered it and the overview's statistics.
std::string BlockRecord(const Plan& plan, const Shared& shared, const CaseBlock& block, const PartWork& work,
                        bool firstBlock) {
  const std::vector<int>& split = plan.layout.splitIndices;
  const std::size_t jobs = shared.jobs.size();
  wire::Writer record;
  record.U64(block.rows);
  std::vector<std::uint32_t> starts;
  if (!split.empty()) {
    for (std::size_t r = firstBlock ? 1 : 0; r < block.rows; ++r) {
      if (block.groupStart[r] != 0) starts.push_back(static_cast<std::uint32_t>(r));
    }
  }
  record.U32s(starts);
  record.Count(plan.passes.size());
  std::size_t j = 0;
  for (std::size_t p = 0; p < plan.passes.size(); ++p) {
    const PassPlan& pass = plan.passes[p];
    wire::Writer section;
    section.Count(pass.tables.size());
    for (std::size_t i = 0; i < pass.tables.size(); ++i) {
      const bool mine = j < jobs && shared.jobs[j].pass == p && shared.jobs[j].table == i;
      const bool gathered = mine && shared.active[j].load() && work.gathered[j];
      section.Bool(gathered);
      if (gathered) work.gathered[j]->Save(*pass.tables[i].rules, section);
      if (mine) ++j;
    }
    wire::Writer profile;
    work.profiles[p].Save(profile);
    section.Bytes(profile.Buffer());
    record.Bytes(section.Buffer());
  }
  return std::move(record.Buffer());
}

// Limited tables: the categories of this part so far; a table past its
// limit gathers no more. Returns how many tables stopped.
std::size_t StopPastLimits(Shared& shared, PartWork& work) {
  std::size_t stopped = 0;
  for (std::size_t k = 0; k < shared.jobs.size(); ++k) {
    Job& job = shared.jobs[k];
    if (!job.limit || !shared.active[k].load() || !work.gathered[k]) continue;
    const engine::TableRules& rules = *job.rules;
    job.seen->Merge(rules, std::move(*work.gathered[k]));
    if (job.seen->Dimension()->NumberOfValues(*rules.dimension) > *job.limit) {
      shared.active[k].store(false);
      job.seen.reset();
      ++stopped;
    }
  }
  return stopped;
}

}  // namespace

void RunPart(const std::string& planPath, std::size_t part, std::ostream& out) {
  const Plan plan = LoadPlan(planPath);
  if (part < 1 || part > plan.parts.size()) {
    throw InputError("the plan " + planPath + " has " + std::to_string(plan.parts.size()) + " part" +
                     (plan.parts.size() == 1 ? "" : "s") + "; there is no part " + std::to_string(part));
  }
  const PartPlan& me = plan.parts[part - 1];
  const std::string which = "part " + std::to_string(part) + " (" + me.displayName + ")";
  const PartStamp stamp = StampOf(me.path);
  if (!stamp.Known()) {
    // On another machine the plan's paths are often what is wrong: say
    // which path was tried, not only the name the user typed elsewhere.
    throw InputError(which + ": cannot open '" + me.path + "' (" + std::strerror(errno) +
                     "). The plan names the parts by the paths of the machine that wrote it: every machine that "
                     "runs a part must reach them under the same path (shared storage mounted at the same place)");
  }
  if (plan.counted && me.stamp.Known() && stamp != me.stamp) {
    // The plan's types and string widths were read from the file as it
    // was; the part read now may not fit them, or fit and count otherwise
    // than one run over the data as it is would.
    throw InputError(which + ": the file changed since the plan " + planPath +
                     " was written (its size or modification time differ), and the plan's types and string widths "
                     "were read from it; write the plan again");
  }
  // The first part's name is not in the plan's layout; a header that
  // differs from it names it.
  CsvLayout first = plan.layout;
  first.displayName = plan.parts.front().displayName;
  CsvCaseSource source(OpenCsvPart(first, me.path, me.displayName));
  const std::vector<int>& split = plan.layout.splitIndices;
  const std::shared_ptr<Shared> shared = PlanJobs(plan);
  const std::size_t jobs = shared->jobs.size();

  RecordWriter file(out, FileKind::State);
  {
    wire::Writer head;
    SaveHead(head, StateHead{plan.digest, part - 1, plan.parts.size(), me.displayName, stamp});
    file.Write(Tag::StateHead, head.Buffer());
  }

  StateTail tail;
  tail.first.numbers.resize(split.size());
  tail.first.strings.resize(split.size());
  tail.last = tail.first;
  std::unique_ptr<CaseCursor> cursor = source.OpenFor(PartReadPlan(plan, shared));
  std::size_t activeJobs = jobs;
  bool firstBlock = true;
  // Once no table gathers, the rest of the part is only counted (as a pass
  // over the whole dataset would count it after its early stop).
  while (activeJobs > 0) {
    const CaseBlock* block = cursor->NextBlock();
    if (block == nullptr) break;
    auto* work = dynamic_cast<PartWork*>(block->work.get());
    PartWork local;
    if (work == nullptr) {
      Gather(*shared, *block, local);
      work = &local;
    }
    work->gathered.resize(jobs);
    if (!split.empty()) {
      if (firstBlock) tail.first = SplitValuesAt(*block, 0, split);
      tail.last = SplitValuesAt(*block, block->rows - 1, split);
    }
    file.Write(Tag::Block, BlockRecord(plan, *shared, *block, *work, firstBlock));
    activeJobs -= StopPastLimits(*shared, *work);
    tail.casesRead += block->rows;
    firstBlock = false;
  }
  tail.cases = tail.casesRead + static_cast<std::uint64_t>(cursor->CountRemaining());
  tail.hasCases = tail.cases > 0;
  cursor.reset();
  wire::Writer record;
  SaveTail(record, tail);
  file.Write(Tag::Tail, record.Buffer());
  file.Finish();
}

}  // namespace host::shards
