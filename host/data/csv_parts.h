// A resource split over several CSV files (a data package resource whose
// path is an array, in Frictionless terms a multipart resource): the parts
// are read one after another as one file of cases. Each part is a CSV file of
// its own with the resource's dialect and, when the dialect has a header, the
// same header row as the first, or none (parts cut from one file go on with
// cases after the first part's header). A block never spans two parts, so a part read
// alone (a shard, host/shards) gives the same blocks as within the whole.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/data/csv_source.h"

namespace host {

// Another part with the layout of `first`: prepared as the first was
// (decoded, re-encoded, its dialect rewritten), its header read and checked
// against the first's, its first case found. Throws InputError naming the
// part.
CsvLayout OpenCsvPart(const CsvLayout& first, const std::string& path, const std::string& displayName);

// The split values of one case of a block.
SplitValues SplitValuesAt(const CaseBlock& block, std::size_t row, const std::vector<int>& splitIndices);

class CsvPartsSource : public CaseSource {
 public:
  explicit CsvPartsSource(std::vector<CsvLayout> parts);
  std::unique_ptr<CaseCursor> Open() const override;
  std::unique_ptr<CaseCursor> OpenFor(const ReadPlan& plan) const override;
  std::int64_t SizeInBytes() const override;
  const std::vector<std::shared_ptr<CsvCaseSource>>& Parts() const { return fParts; }

 private:
  std::vector<std::shared_ptr<CsvCaseSource>> fParts;
};

// The layouts of the CSV files a dataset's cases come from, in order: one for
// a CSV file, one per part for a resource in parts; empty for other sources.
std::vector<const CsvLayout*> CsvPartsOf(const CaseSource* source);

}  // namespace host
