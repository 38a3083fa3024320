// The plan as the three steps share it (shards.h), and its records.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/data/csv_source.h"
#include "host/engine/accumulate.h"
#include "host/shards/shards.h"
#include "host/shards/state_file.h"

namespace host::shards {

// One table of a pass, by its number in the pass.
struct TablePlan {
  // The table's rules; null for a table released before the first case.
  std::shared_ptr<const engine::TableRules> rules;
  std::string rulesBytes;  // as saved, to compare with the tables of a merge
  // The table took the first case of the dry run: a part gathers for it.
  bool active = false;
  // The procedure lets the table go once it has more than `limit`
  // categories after its first `limit` cases (the dry run told every table
  // it had more than any limit: it took limit + 1 cases). Unset: the table
  // takes every case, or the dry run ended before the procedure asked.
  std::optional<std::uint64_t> limit;
};

struct PassPlan {
  std::vector<TablePlan> tables;
};

struct PartPlan {
  std::string path;         // the file to open (absolute)
  std::string displayName;  // in messages
  PartStamp stamp;          // the file as the dictionary was read
};

struct Plan {
  std::string path;  // of the plan file
  std::uint64_t digest = 0;
  RunFacts facts;
  std::shared_ptr<Dataset> dictionary;  // no cases
  CsvLayout layout;                     // how every part is read (the first part's)
  std::vector<PartPlan> parts;
  std::vector<PassPlan> passes;
  // Reading the dictionary counted the cases (a run over the data knows
  // their number without a pass): the merge knows it as early.
  bool counted = false;
  // The files the dictionary and the commands were read from (the
  // descriptor, a schema, the syntax file; not the parts), absolute, as the
  // plan was written: the merge refuses a report from a plan that no longer
  // says what they say.
  std::vector<std::pair<std::string, PartStamp>> inputs;
};

// Reads and checks a plan; throws InputError naming the file.
Plan LoadPlan(const std::string& path);

// The rules of a pass's tables as bytes, table by table ("" for none).
std::string RulesBytes(const engine::TableRules* rules);

}  // namespace host::shards
