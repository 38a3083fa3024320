// Running the data passes of a run on a dataset split into parts, each part
// on whatever machine has it (docs/scale-out.md). Three steps:
//
// 1. The plan: the program runs the commands over cases without cells (a
//    dry run), which sets up every table the procedure wants; the plan file
//    holds the dictionary, how the parts are read, and per pass the tables'
//    rules and how far the procedure lets each one take cases.
// 2. One part: a pass over one CSV file of the dataset, without the
//    procedure, writes what every table gathered from each block of cases.
// 3. The merge: the program runs the commands again over the partial states
//    in part and block order. The tables merge exactly the blocks a pass
//    over all the parts on one machine merges, in the same order, so the
//    report is the same byte for byte.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace host {
class Dataset;
}

namespace host::shards {

// What the report says about the dataset besides its dictionary.
struct RunFacts {
  std::string title;         // the report's title
  std::string fileName;      // the dataset's file name
  std::string syntax;        // the commands
  std::string syntaxSource;  // where they came from, for messages
};

// Step 1. Construction swaps the dataset's cases for the dry run (throws
// InputError when the dataset's cases cannot be read in parts elsewhere);
// after the commands ran, Write writes the plan.
class PlanRecorder {
 public:
  explicit PlanRecorder(std::shared_ptr<Dataset> dataset);
  ~PlanRecorder();
  PlanRecorder(const PlanRecorder&) = delete;
  PlanRecorder& operator=(const PlanRecorder&) = delete;

  void Write(std::ostream& out, const RunFacts& facts) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> fImpl;
};

// The parts a plan reads (as the user named them) and the passes it holds.
struct PlanSummary {
  std::vector<std::string> parts;  // as messages name them
  std::vector<std::string> paths;  // as opened
  std::vector<std::string> files;  // the dataset's files as the plan was written (descriptor, parts, ...)
  std::size_t passes = 0;
  std::uint64_t digest = 0;  // what its partial states carry
};
PlanSummary SummarizePlan(const std::string& planPath);

// The part (1 for the first) whose partial state, made with the plan of
// `planDigest`, the regular file at `path` holds; 0 when it holds none (not
// there, something else, a state of another plan).
std::size_t PartOfState(const std::string& path, std::uint64_t planDigest);
// The same for a state made with any plan.
std::size_t PartOfAnyState(const std::string& path);
// What the regular file at `path` holds by its frame, whatever the format's
// version: a plan (1), a partial state (2), or neither (0: not there, not a
// regular file, anything else). Opens nothing but a regular file.
int KindOfRunFile(const std::string& path);

// Step 2: part `part` (1 for the first) of the plan's dataset; writes the
// partial state. Throws InputError (a bad cell names file, line and column).
void RunPart(const std::string& planPath, std::size_t part, std::ostream& out);

// Step 3: the dataset to run the plan's commands over, whose passes replay
// the partial states (one per part, in any order). Throws InputError for a
// state that is damaged, of another plan, or missing or given twice.
struct MergeRun {
  std::shared_ptr<Dataset> dataset;
  RunFacts facts;
};
MergeRun PrepareMerge(const std::string& planPath, const std::vector<std::string>& statePaths);

}  // namespace host::shards
