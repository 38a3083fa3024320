// The case source of a CSV file: each pass re-reads the file, parsing
// stretches of it on worker threads a few blocks ahead of the consumer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/data/cells.h"
#include "host/data/csv_reader.h"
#include "host/data/dataset.h"
#include "host/data/input.h"
#include "host/dataset.h"

namespace host {

struct CsvColumn {
  std::string name;
  CellKind kind = CellKind::Number;
  int width = 0;                          // string columns: the most bytes a value may have
  std::vector<std::string> missingTexts;  // numeric columns: texts (trimmed) that are system-missing
  bool emptyIsMissing = true;             // "" is among missingTexts
  NumberStyle style;                      // number and integer columns
  std::vector<std::string> trueValues;    // boolean columns
  std::vector<std::string> falseValues;
  std::string datePattern;  // date, datetime, time: a strptime-style format; empty: ISO 8601
};

struct CsvLayout {
  std::string path;                 // to open
  std::string displayName;          // in messages
  std::shared_ptr<CsvInput> input;  // keeps a decoded copy of the input (path) alive
  // How the user's file became `path` (its name, encoding and dialect
  // rewrite): another part of the same resource, or the same file read on
  // another machine, is prepared the same way.
  InputRequest request;
  // The header row's cells, trimmed (empty without a header): every part of
  // a resource starts with the same.
  std::vector<std::string> header;
  CsvDialect dialect;
  std::int64_t dataOffset = 0;  // byte offset of the first case
  std::int64_t dataLine = 1;    // its line number
  FileStamp stamp;              // the file as its dictionary was read; a pass over a changed file fails
  std::vector<CsvColumn> columns;
  int weightIndex = -1;
  MissingValues weightMissing;  // user-missing weights count as missing
  std::vector<int> splitIndices;
  // The first stretch of the file read as one block, in bytes; later ones
  // double up to a few megabytes. Small first blocks let a pass that stops
  // early stop soon; tests make them tiny to cut the file in many places.
  std::int64_t firstChunkBytes = std::int64_t{64} << 10;
  // The largest stretch; 0: 4 MiB or 32 KiB per column, whichever is less,
  // or 2 KiB per column for wide files, whose first stretch then also holds
  // at least 256 bytes per column.
  std::int64_t largestChunkBytes = 0;

  // Filled by CsvCaseSource, once for all passes.
  std::vector<std::string> names;   // of the columns, for messages
  std::vector<std::uint8_t> modes;  // how each column's cells are converted
};

// The split variables' values of one case (by position in splitIndices;
// numbers for numeric variables, texts for string ones).
struct SplitValues {
  std::vector<double> numbers;
  std::vector<std::string> strings;
};

// Blocks kept from one pass to the next, so that a pass over a wide file does
// not allocate its columns anew.
struct CsvBlockPool;

class CsvCaseSource : public CaseSource {
 public:
  explicit CsvCaseSource(CsvLayout layout);
  std::unique_ptr<CaseCursor> Open() const override;
  std::unique_ptr<CaseCursor> OpenFor(const ReadPlan& plan) const override;
  // A reading that continues another file: its first case starts a split
  // group only when its split values differ from `before` (the last case of
  // the file before).
  std::unique_ptr<CaseCursor> OpenAfter(const ReadPlan& plan, const SplitValues& before) const;
  std::int64_t SizeInBytes() const override { return fSize; }
  const CsvLayout& Layout() const { return *fLayout; }

 private:
  std::shared_ptr<const CsvLayout> fLayout;
  std::shared_ptr<CsvBlockPool> fPool;
  std::int64_t fSize = 0;
};

}  // namespace host
