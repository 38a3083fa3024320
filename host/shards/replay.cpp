// Step 3 (shards.h): the merge. The dataset has the plan's dictionary and a
// case source whose blocks come from the partial states: each holds the
// number of cases of a block read by a part's pass, its split-group starts,
// and the states its tables gathered, handed to the pass as the block's work
// (Pass::Adopt). The procedure walks the cases as over the data, and every
// table merges the blocks it takes, in the order a pass over all the parts
// would merge them.
#include <sys/stat.h>

#include <algorithm>
#include <unordered_map>

#include "host/data/dataset.h"
#include "host/engine/pass.h"
#include "host/shards/container.h"
#include "host/shards/plan_file.h"
#include "host/shards/state_file.h"
#include "host/shards/wire.h"

namespace host::shards {

namespace {

// A state checked whole once, at the start of the merge.
struct PartState {
  std::string path;
  StateHead head;
  StateTail tail;
};

PartState CheckState(const std::string& path, const Plan& plan) {
  PartState state;
  state.path = path;
  RecordReader file(path, FileKind::State);
  Tag tag;
  std::string payload;
  bool head = false, tail = false;
  const std::size_t split = plan.layout.splitIndices.size();
  while (file.NextTag(tag)) {
    // The blocks are read and checked when they are replayed: here only
    // their frames are, without reading them.
    if (tag == Tag::Block && head && !tail) {
      file.SkipPayload();
      continue;
    }
    file.Payload(payload);
    wire::Reader in(payload);
    try {
      if (tag == Tag::StateHead && !head) {
        state.head = LoadHead(in);
        head = true;
        if (state.head.planDigest != plan.digest) {
          throw InputError(path + ": the partial state was made with another plan than " + plan.path +
                           "; run the part again with this plan (codebook --run-plan " + plan.path + " --part " +
                           std::to_string(state.head.part + 1) + ")");
        }
        if (state.head.parts != plan.parts.size()) throw wire::Damaged("the number of parts differs from the plan's");
        // The merge needs no part; but where it sees one, a part changed
        // since its pass would make a report of data that are no more.
        const PartPlan& part = plan.parts[state.head.part];
        const PartStamp now = StampOf(part.path);
        if (now.Known() && now != state.head.stamp) {
          throw InputError(path + ": part " + std::to_string(state.head.part + 1) + " (" + part.displayName +
                           ") changed since this partial state was written (its size or modification time "
                           "differ); run the part again (codebook --run-plan " +
                           plan.path + " --part " + std::to_string(state.head.part + 1) + ")");
        }
        in.ExpectEnd();
      } else if (tag == Tag::Tail && head && !tail) {
        state.tail = LoadTail(in, split);
        tail = true;
        in.ExpectEnd();
      } else {
        throw wire::Damaged("its records are out of order");
      }
    } catch (const wire::Damaged& e) {
      file.Damaged(e.what());
    }
  }
  if (!head || !tail) file.Damaged("a part of the state is missing");
  return state;
}

class ReplayCursor : public CaseCursor {
 public:
  ReplayCursor(const Plan& plan, const std::vector<PartState>& parts, std::size_t passIndex, Pass* pass)
      : fPlan(plan), fParts(parts), fPassIndex(passIndex), fPass(pass) {
    if (fPass != nullptr) fRules = fPass->Rules();
  }

  const CaseBlock* NextBlock() override {
    fBlock = CaseBlock{};
    for (;;) {
      if (!fFile) {
        if (fPart >= fParts.size()) return nullptr;
        fFile = std::make_unique<RecordReader>(fParts[fPart].path, FileKind::State);
        fReadInPart = 0;
        fFirstInPart = true;
        fTailGiven = false;
      }
      Tag tag;
      std::string payload;
      if (!fFile->Next(tag, payload)) {
        NextPart();
        continue;
      }
      try {
        wire::Reader in(payload);
        if (tag == Tag::Block) {
          ReadBlock(in);
          in.ExpectEnd();
          fReadInPart += fBlock.rows;
          if (fBlock.rows > 0) return &fBlock;
        } else if (tag == Tag::Tail) {
          // The cases a part's pass only counted: no table takes them.
          const StateTail& tail = fParts[fPart].tail;
          if (fReadInPart != tail.casesRead) throw wire::Damaged("its blocks hold other cases than it counts");
          if (tail.cases > tail.casesRead && !fTailGiven) {
            fTailGiven = true;
            fBlock.rows = static_cast<std::size_t>(tail.cases - tail.casesRead);
            fBlock.work = fPass != nullptr ? fPass->Adopt({}) : nullptr;
            fReadInPart = tail.cases;
            return &fBlock;
          }
        }
      } catch (const wire::Damaged& e) {
        fFile->Damaged(e.what());
      }
    }
  }

  std::int64_t CountRemaining() override {
    std::uint64_t count = 0;
    if (fFile) count += fParts[fPart].tail.cases - fReadInPart;
    for (std::size_t k = fFile ? fPart + 1 : fPart; k < fParts.size(); ++k) count += fParts[k].tail.cases;
    fFile.reset();
    fPart = fParts.size();
    return static_cast<std::int64_t>(count);
  }

 private:
  void NextPart() {
    if (fParts[fPart].tail.hasCases) {
      fLast = fParts[fPart].tail.last;
      fHaveLast = true;
    }
    fFile.reset();
    ++fPart;
  }

  void ReadBlock(wire::Reader& in) {
    const std::uint64_t rows = in.U64();
    if (rows > (std::uint64_t{1} << 40)) throw wire::Damaged("a block is too large");
    fBlock.rows = static_cast<std::size_t>(rows);
    const std::vector<std::uint32_t> starts = in.U32s();
    if (!fPlan.layout.splitIndices.empty()) {
      fBlock.groupStart.assign(fBlock.rows, 0);
      for (std::uint32_t r : starts) {
        if (r >= fBlock.rows) throw wire::Damaged("a split group starts outside its block");
        fBlock.groupStart[r] = 1;
      }
      if (fFirstInPart && fBlock.rows > 0) {
        // The part's first case starts a group when the case before it, the
        // last of the part before, has other split values.
        const SplitValues& first = fParts[fPart].tail.first;
        const bool changed = !fHaveLast || first.numbers != fLast.numbers || first.strings != fLast.strings;
        fBlock.groupStart[0] = changed ? 1 : 0;
      }
    }
    if (fBlock.rows > 0) fFirstInPart = false;
    const std::size_t passes = in.Count(8);
    if (passes != fPlan.passes.size()) throw wire::Damaged("a block has another number of passes than the plan");
    std::vector<std::unique_ptr<engine::TableAccumulator>> tables(fRules.size());
    std::string_view side;  // the overview's side statistics of the block
    for (std::size_t p = 0; p < passes; ++p) {
      const std::string_view section = in.View();
      if (p != fPassIndex) continue;
      wire::Reader s(section);
      if (s.Count(1) != fRules.size()) throw wire::Damaged("a block has another number of tables than the pass");
      for (std::size_t i = 0; i < fRules.size(); ++i) {
        if (!s.Bool()) continue;
        if (!fRules[i]) throw wire::Damaged("a block has a state for a table the pass does not have");
        auto acc = std::make_unique<engine::TableAccumulator>(*fRules[i]);
        acc->Load(*fRules[i], s);
        tables[i] = std::move(acc);
      }
      side = s.View();
      s.ExpectEnd();
    }
    fBlock.work = fPass != nullptr ? fPass->Adopt(std::move(tables), &side) : nullptr;
  }

  const Plan& fPlan;
  const std::vector<PartState>& fParts;
  std::size_t fPassIndex;
  Pass* fPass;
  std::vector<std::shared_ptr<const engine::TableRules>> fRules;

  std::size_t fPart = 0;
  std::unique_ptr<RecordReader> fFile;
  std::uint64_t fReadInPart = 0;
  bool fFirstInPart = true;
  bool fTailGiven = false;
  bool fHaveLast = false;
  SplitValues fLast;
  CaseBlock fBlock;
};

class ReplaySource : public CaseSource {
 public:
  ReplaySource(Plan plan, std::vector<PartState> parts) : fPlan(std::move(plan)), fParts(std::move(parts)) {}

  std::unique_ptr<CaseCursor> Open() const override {
    // A count of the cases, not a pass.
    return std::make_unique<ReplayCursor>(fPlan, fParts, 0, nullptr);
  }

  std::unique_ptr<CaseCursor> OpenFor(const ReadPlan& read) const override {
    const std::size_t index = fOpened++;
    if (index >= fPlan.passes.size()) Mismatch("the commands read the data more often than when it was written");
    const PassPlan& planned = fPlan.passes[index];
    const std::vector<std::shared_ptr<const engine::TableRules>> rules =
        read.pass != nullptr ? read.pass->Rules() : std::vector<std::shared_ptr<const engine::TableRules>>{};
    if (rules.size() != planned.tables.size()) Mismatch("a pass has another number of tables");
    for (std::size_t i = 0; i < rules.size(); ++i) {
      if (RulesBytes(rules[i].get()) != planned.tables[i].rulesBytes) Mismatch("a table reads the cases otherwise");
    }
    return std::make_unique<ReplayCursor>(fPlan, fParts, index, read.pass);
  }

  std::int64_t Cases() const {
    std::uint64_t cases = 0;
    for (const PartState& p : fParts) cases += p.tail.cases;
    return static_cast<std::int64_t>(cases);
  }

 private:
  [[noreturn]] void Mismatch(const std::string& what) const {
    throw InputError(fPlan.path + ": the merge does not run the passes the plan was written for (" + what +
                     "); write the plan again and run the parts with it");
  }

  Plan fPlan;
  std::vector<PartState> fParts;
  mutable std::size_t fOpened = 0;
};

}  // namespace

MergeRun PrepareMerge(const std::string& planPath, const std::vector<std::string>& statePaths) {
  Plan plan = LoadPlan(planPath);
  for (const auto& [path, stamp] : plan.inputs) {
    const PartStamp now = StampOf(path);
    if (stamp.Known() && now.Known() && now != stamp) {
      throw InputError(path + ": changed since the plan " + planPath +
                       " was written (its size or modification time differ), and the plan holds the dictionary and "
                       "the commands as they were then; write the plan again and run the parts with it");
    }
  }
  std::vector<PartState> byPart(plan.parts.size());
  std::vector<bool> have(plan.parts.size(), false);
  for (const std::string& path : statePaths) {
    PartState state = CheckState(path, plan);
    const std::size_t k = static_cast<std::size_t>(state.head.part);
    if (have[k]) {
      throw InputError(path + ": part " + std::to_string(k + 1) + " (" + state.head.displayName +
                       ") comes twice, also as " + byPart[k].path + "; give each part's state once");
    }
    have[k] = true;
    byPart[k] = std::move(state);
  }
  std::string missing;
  for (std::size_t k = 0; k < have.size(); ++k) {
    if (!have[k])
      missing += (missing.empty() ? "" : ", ") + std::to_string(k + 1) + " (" + plan.parts[k].displayName + ")";
  }
  if (!missing.empty()) {
    throw InputError("the merge lacks the partial state of part" +
                     std::string(missing.find(',') == std::string::npos ? " " : "s ") + missing + " of the plan " +
                     planPath + "; run codebook --run-plan for each part");
  }

  MergeRun run;
  run.facts = plan.facts;
  // Taken out of the plan: the source keeps the plan, the dataset keeps the
  // source, and a dataset inside the plan would keep itself alive.
  run.dataset = std::move(plan.dictionary);
  run.dataset->files.push_back(planPath);
  for (const std::string& path : statePaths) run.dataset->files.push_back(path);
  // The case count is known from the states' tails, but, as in a run over
  // the data, the dataset has it only when reading the dictionary counted the
  // cases, once a pass read every case, or when a command asks for it
  // (Dataset::CaseCount): a report's dataset line then shows it exactly when
  // a single run's would.
  const bool counted = plan.counted;
  auto source = std::make_shared<ReplaySource>(std::move(plan), std::move(byPart));
  if (counted) run.dataset->caseCount = source->Cases();
  run.dataset->cases = std::move(source);
  return run;
}

namespace {

// The head of the partial state the regular file at `path` holds, if any.
bool StateHeadOf(const std::string& path, StateHead& head) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;  // a pipe would wait for a writer
  try {
    RecordReader file(path, FileKind::State);
    Tag tag;
    std::string payload;
    if (!file.Next(tag, payload) || tag != Tag::StateHead) return false;
    wire::Reader in(payload);
    head = LoadHead(in);
    return true;
  } catch (const InputError&) {
  } catch (const wire::Damaged&) {
  }
  return false;
}

}  // namespace

std::size_t PartOfState(const std::string& path, std::uint64_t planDigest) {
  StateHead head;
  return StateHeadOf(path, head) && head.planDigest == planDigest ? static_cast<std::size_t>(head.part) + 1 : 0;
}

std::size_t PartOfAnyState(const std::string& path) {
  StateHead head;
  return StateHeadOf(path, head) ? static_cast<std::size_t>(head.part) + 1 : 0;
}

}  // namespace host::shards
