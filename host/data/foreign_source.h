// The case source of a Stata or SAS file: each pass runs ReadStat on a thread
// of its own that fills blocks of cases a few ahead of the consumer; an early
// stop aborts the parse from its value callback.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/data/csv_reader.h"
#include "host/data/dataset.h"
#include "host/data/foreign.h"
#include "host/data/foreign_formats.h"
#include "host/data/foreign_parse.h"
#include "host/quvo.h"

namespace host::foreign {

struct ForeignColumn {
  bool isString = false;
  Convert convert = Convert::None;
};

// The widest string a variable holds: a longer strL value (Stata takes up to
// 2 GB) is cut to it, at a character's start, as the dictionary's width says.
constexpr std::size_t kWidestString = 32767;

struct ForeignLayout {
  std::string path;
  std::string display;
  ForeignKind kind = ForeignKind::None;
  std::string encoding;
  bool viaLatin1 = false;  // text decoded as ISO-8859-1 by ReadStat, to be taken back to the file's bytes
  std::vector<ForeignColumn> columns;
  std::int64_t rows = -1;  // from the file's header; -1 when it does not say
  FileView view;           // what ReadStat is shown of the file
  // The file as its dictionary was read: a pass over a file that changed
  // since (a file still being written or copied) would mix old and new.
  FileStamp stamp;
  std::size_t blockRows = 8192;
  int weightIndex = -1;
  MissingValues weightMissing;
  std::vector<int> splitIndices;
};

// Throws when the file at `path` is not as `stamp` says (a file still being
// written or copied): that, not damage, is why a read of it failed or would mix.
void CheckUnchanged(const std::string& path, const std::string& display, const FileStamp& stamp);

// The number of cases, counted by a parse (for files whose header does not say).
std::int64_t CountRows(const ForeignLayout& layout);

class ForeignCaseSource : public CaseSource {
 public:
  ForeignCaseSource(std::shared_ptr<const ForeignLayout> layout, std::int64_t size)
      : fLayout(std::move(layout)), fSize(size) {}
  std::unique_ptr<CaseCursor> Open() const override;
  // Converts only the columns the plan reads and runs its gathering step on
  // the reading thread.
  std::unique_ptr<CaseCursor> OpenFor(const ReadPlan& plan) const override;
  std::int64_t SizeInBytes() const override { return fSize; }
  const ForeignLayout& Layout() const { return *fLayout; }
  void SetLayout(std::shared_ptr<const ForeignLayout> layout) { fLayout = std::move(layout); }

 private:
  std::shared_ptr<const ForeignLayout> fLayout;
  std::int64_t fSize;
};

}  // namespace host::foreign
