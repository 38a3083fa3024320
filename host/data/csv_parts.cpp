#include "host/data/csv_parts.h"

#include <algorithm>
#include <cctype>

#include "host/data/cells.h"
#include "host/data/csv_reader.h"
#include "host/data/input.h"

namespace host {

namespace {

// Whether a later part's first row is a header: the first part's header, or
// one that differs from it but still names some of its columns (a cell that
// is one of its names, letter case aside, and no number). Any other row is
// the first case of a part without a header.
bool LooksLikeHeader(const std::vector<CsvCell>& cells, std::size_t count, const std::vector<std::string>& header) {
  for (std::size_t i = 0; i < count; ++i) {
    const std::string_view cell = TrimBlanks(cells[i].View());
    double number = 0.0;
    if (cell.empty() || ParseNumber(cell, number)) continue;
    for (const std::string& name : header) {
      if (name.size() == cell.size() && std::equal(name.begin(), name.end(), cell.begin(), [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
          })) {
        return true;
      }
    }
  }
  return false;
}

}  // namespace

CsvLayout OpenCsvPart(const CsvLayout& first, const std::string& path, const std::string& displayName) {
  CsvLayout part = first;
  part.request.path = path;
  part.request.displayName = displayName;
  part.input = PrepareCsvInput(part.request);
  part.path = part.input->Path();
  part.displayName = displayName;
  CsvReader reader(part.path, displayName, part.dialect);
  part.stamp = reader.Stamp();  // this file as first opened
  if (!part.dialect.header) {
    part.dataOffset = reader.Offset();  // after a byte order mark
    part.dataLine = reader.Line();
    return part;
  }
  const std::int64_t startOffset = reader.Offset();  // after a byte order mark
  const std::int64_t startLine = reader.Line();
  std::vector<CsvCell> cells;
  std::size_t count = 0;
  if (!reader.Next(cells, count)) {
    throw InputError(displayName + ": the file is empty; as a part of the resource it needs the header row that " +
                     first.displayName + " has");
  }
  if (!LooksLikeHeader(cells, count, first.header)) {
    // Parts cut from one file (split, or written for the parts to be
    // joined with cat) have the header in the first part only: this one
    // goes on with cases.
    part.dataOffset = startOffset;
    part.dataLine = startLine;
    return part;
  }
  for (std::size_t i = 0; i < std::max(count, first.header.size()); ++i) {
    const std::string_view got = i < count ? TrimBlanks(cells[i].View()) : std::string_view();
    const bool missing = i >= count;
    const bool extra = i >= first.header.size();
    if (!missing && !extra && got == first.header[i]) continue;
    std::string what;
    if (missing) {
      what = "the header ends before \"" + first.header[i] + "\"";
    } else if (extra) {
      what = "the header has a cell \"" + std::string(got) + "\" more";
    } else {
      what = "the header has \"" + std::string(got) + "\" where";
      what += " the first part has \"" + first.header[i] + "\"";
    }
    throw InputError(reader.Where(reader.RecordLine(), std::min(i, count) + 1) + ": " + what + " (" +
                     first.displayName + "); every part of a resource starts with the same header row");
  }
  part.dataOffset = reader.Offset();
  part.dataLine = reader.Line();
  return part;
}

SplitValues SplitValuesAt(const CaseBlock& block, std::size_t row, const std::vector<int>& splitIndices) {
  SplitValues out;
  out.numbers.resize(splitIndices.size());
  out.strings.resize(splitIndices.size());
  for (std::size_t i = 0; i < splitIndices.size(); ++i) {
    const auto v = static_cast<std::size_t>(splitIndices[i]);
    if (!block.numbers[v].empty()) {
      out.numbers[i] = block.numbers[v][row];
    } else {
      const StringColumn& s = block.strings[v];
      out.strings[i].assign(s.Cell(row));
    }
  }
  return out;
}

namespace {

class PartsCursor : public CaseCursor {
 public:
  PartsCursor(const std::vector<std::shared_ptr<CsvCaseSource>>& parts, ReadPlan plan)
      : fParts(parts), fPlan(std::move(plan)) {
    // Progress over all the parts: the cases and bytes of the parts before
    // the one being read are added to its own.
    const ProgressFunction report = fPlan.progress ? fPlan.progress : CurrentProgressFunction();
    if (report) {
      std::int64_t total = 0;
      for (const auto& p : fParts) total += p->SizeInBytes();
      fPlan.progress = [this, report, total](std::int64_t cases, std::int64_t bytes, std::int64_t) {
        report(fCasesBefore + cases, fBytesBefore + bytes, total);
      };
    }
  }

  const CaseBlock* NextBlock() override {
    for (;;) {
      if (!fCursor) {
        if (fNext >= fParts.size()) return nullptr;
        const CsvCaseSource& part = *fParts[fNext++];
        fSplit = part.Layout().splitIndices;
        fCursor = fHaveLast ? part.OpenAfter(fPlan, fLast) : part.OpenFor(fPlan);
      }
      const CaseBlock* block = fCursor->NextBlock();
      if (block != nullptr) {
        if (!fSplit.empty()) {
          fLast = SplitValuesAt(*block, block->rows - 1, fSplit);
          fHaveLast = true;
        }
        fCasesInPart += static_cast<std::int64_t>(block->rows);
        return block;
      }
      fCursor.reset();
      fCasesBefore += fCasesInPart;
      fCasesInPart = 0;
      fBytesBefore += fParts[fNext - 1]->SizeInBytes();
    }
  }

  std::int64_t CountRemaining() override {
    std::int64_t count = fCursor ? fCursor->CountRemaining() : 0;
    fCursor.reset();
    for (; fNext < fParts.size(); ++fNext) count += fParts[fNext]->Open()->CountRemaining();
    return count;
  }

 private:
  const std::vector<std::shared_ptr<CsvCaseSource>>& fParts;
  ReadPlan fPlan;
  std::size_t fNext = 0;
  std::unique_ptr<CaseCursor> fCursor;
  std::vector<int> fSplit;
  bool fHaveLast = false;
  SplitValues fLast;
  std::int64_t fCasesBefore = 0;  // in the parts read
  std::int64_t fCasesInPart = 0;
  std::int64_t fBytesBefore = 0;
};

}  // namespace

CsvPartsSource::CsvPartsSource(std::vector<CsvLayout> parts) {
  for (CsvLayout& layout : parts) fParts.push_back(std::make_shared<CsvCaseSource>(std::move(layout)));
}

std::unique_ptr<CaseCursor> CsvPartsSource::Open() const {
  ReadPlan plan;
  plan.threads = Threads();
  return OpenFor(plan);
}

std::unique_ptr<CaseCursor> CsvPartsSource::OpenFor(const ReadPlan& plan) const {
  return std::make_unique<PartsCursor>(fParts, plan);
}

std::int64_t CsvPartsSource::SizeInBytes() const {
  std::int64_t size = 0;
  for (const auto& p : fParts) size += p->SizeInBytes();
  return size;
}

std::vector<const CsvLayout*> CsvPartsOf(const CaseSource* source) {
  std::vector<const CsvLayout*> out;
  if (const auto* csv = dynamic_cast<const CsvCaseSource*>(source)) {
    out.push_back(&csv->Layout());
  } else if (const auto* parts = dynamic_cast<const CsvPartsSource*>(source)) {
    for (const auto& p : parts->Parts()) out.push_back(&p->Layout());
  }
  return out;
}

}  // namespace host
