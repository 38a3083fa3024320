// The host's dataset: the dictionary (variables, sets, file facts) and the
// source of its cases.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/case_block.h"
#include "host/dataset.h"
#include "host/quvo.h"

namespace host {

namespace engine {
struct DataProfile;
}

// Reads the cases of one pass, a block at a time.
class CaseCursor {
 public:
  virtual ~CaseCursor() = default;
  // The next block of cases, or null at the end of the data. The block stays
  // valid until the next call. Throws InputError on bad data.
  virtual const CaseBlock* NextBlock() = 0;
  // The number of cases not yet delivered, found without parsing cells (a
  // record count). Used when a pass stopped early.
  virtual std::int64_t CountRemaining() = 0;
};

// What a pass wants from a reading of the cases.
struct ReadPlan {
  // Per variable (dictionary index): nonzero when something reads its cells.
  // A source may leave the other columns empty; empty: every column.
  std::vector<std::uint8_t> columns;
  // Run on each block once it is read, on the thread that read it; it may
  // attach its result to the block (CaseBlock::work). Optional for sources:
  // one that does not run it hands out blocks without work.
  std::function<void(CaseBlock&)> gather;
  // Threads that may read and gather at once (0: every core).
  int threads = 0;
  // Where the reading reports its progress; empty: the program's function.
  // A source that reads several files reports for all of them at once.
  ProgressFunction progress;
  // The pass the plan serves (null: no table). Sources whose cases were read
  // elsewhere, or that have none, hand the pass what its tables gathered
  // there (Pass::Adopt) or run it dry (host/shards).
  Pass* pass = nullptr;
};

class CaseSource {
 public:
  virtual ~CaseSource() = default;
  virtual std::unique_ptr<CaseCursor> Open() const = 0;
  // A reading for a pass. Blocks must not depend on the plan's thread count:
  // results are merged block by block. The default ignores the plan.
  virtual std::unique_ptr<CaseCursor> OpenFor(const ReadPlan& plan) const {
    (void)plan;
    return Open();
  }
  // Bytes of input, for progress reports; 0 when unknown.
  virtual std::int64_t SizeInBytes() const { return 0; }
};

class DatasetIterator;

class Dataset {
 public:
  // Dictionary.
  std::vector<std::unique_ptr<QUVO_Variable>> variables;
  std::vector<std::unique_ptr<VariableSetImpl>> sets;  // multiple-response sets, in order
  std::optional<std::string> label;                    // file label
  std::vector<std::vector<std::string>> documents;     // document blocks
  DatasourceAttributes attributes;                     // data-file attributes
  int weightIndex = -1;
  std::vector<int> splitIndices;
  // Per variable of a Stata or SAS file, the name the file gives it where
  // that was made valid ("BY" became BY_), else empty: a descriptor on top
  // may still use it.
  std::vector<std::string> givenNames;
  std::optional<std::string> fileSpec;  // folder + "\" + file name
  // Every file read for the dataset (descriptor, data file, catalog), as
  // opened; the program never writes its output over one of them.
  std::vector<std::string> files;
  bool fatal = false;  // failed to load

  // Cases.
  std::shared_ptr<CaseSource> cases;
  // The number of cases, once a pass has read them all or counted them.
  std::optional<std::int64_t> caseCount;
  // The iterator of the pass in progress, if any (for counting the cases of
  // a pass that stopped early).
  DatasetIterator* liveIterator = nullptr;
  // The side statistics of the columns (host/engine/profile.h), from the
  // passes that read every case; null before the first. Gathered only when
  // wanted (the reports with an overview): they cost a pass a fair share of
  // its time.
  bool profileWanted = false;
  std::shared_ptr<engine::DataProfile> profile;
  void KeepProfile(engine::DataProfile&& later);

  // Call after the variables are filled: builds the name index.
  void IndexNames();
  // Index of a variable, names matched ignoring ASCII case; -1 when none.
  int Find(std::string_view name) const;
  // The number of cases, counting the file when no pass has done so.
  std::int64_t CaseCount();

 private:
  std::unordered_map<std::string, int> fByFoldedName;
};

// A case source over blocks held in memory (tests, small inferred files).
class MemoryCaseSource : public CaseSource {
 public:
  explicit MemoryCaseSource(std::vector<CaseBlock> blocks) : fBlocks(std::move(blocks)) {}
  std::unique_ptr<CaseCursor> Open() const override;
  const std::vector<CaseBlock>& Blocks() const { return fBlocks; }

 private:
  std::vector<CaseBlock> fBlocks;
};

// The progress function set by the program (empty when none).
const ProgressFunction& CurrentProgressFunction();
// The least time between two progress reports of a reading (tests set 0 to
// have every block reported).
inline constexpr std::chrono::milliseconds kProgressInterval{250};
std::chrono::milliseconds ProgressInterval();
void SetProgressInterval(std::chrono::milliseconds interval);

}  // namespace host
