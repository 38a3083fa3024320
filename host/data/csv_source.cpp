#include "host/data/csv_source.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <iterator>
#include <mutex>
#include <thread>

#include <sys/stat.h>

namespace host {

struct CsvBlockEntry {
  CaseBlock block;
  std::int64_t endOffset = 0;  // where the record after the block's last case starts
};

struct CsvBlockPool {
  std::mutex mutex;
  std::vector<std::unique_ptr<CsvBlockEntry>> entries;
  std::int64_t lastCases = -1;  // cases of the last whole pass
};

namespace {

enum class Mode : std::uint8_t { PlainNumber, PlainInteger, OtherNumber, String };

Mode ModeOf(const CsvColumn& c) {
  if (c.kind == CellKind::String) return Mode::String;
  if (!c.style.Plain()) return Mode::OtherNumber;
  // Plain decimals may skip the missing-text lookup when no missing text is
  // itself a plain decimal (such as "-9").
  for (const std::string& m : c.missingTexts) {
    double v;
    int a, b;
    if (ParseSimpleDecimal(m, v, a, b)) return Mode::OtherNumber;
  }
  if (c.kind == CellKind::Number) return Mode::PlainNumber;
  if (c.kind == CellKind::Integer) return Mode::PlainInteger;
  return Mode::OtherNumber;
}

bool IsUserMissingWeight(const MissingValues& mv, double w) {
  if (mv.hasRange && w >= mv.low && w <= mv.high) return true;
  return std::find(mv.numbers.begin(), mv.numbers.end(), w) != mv.numbers.end();
}

// Parses records into blocks; the state that runs from block to block (the
// reader's position, the previous case's split values) lives here.
class BlockFiller {
 public:
  BlockFiller(const CsvLayout& layout, std::size_t capacity)
      : fLayout(layout),
        fCapacity(capacity),
        fReader(layout.path, layout.displayName, layout.dialect, layout.dataOffset, layout.dataLine) {
    fReader.SetColumnNames(&layout.names);
    fPrevNumbers.resize(layout.splitIndices.size());
    fData.resize(layout.columns.size(), nullptr);
    fPrevStrings.resize(layout.splitIndices.size());
  }

  // Fills the block with up to blockRows cases. Returns false when the file
  // has ended. On bad input the block keeps the cases before the bad record
  // (endOffset: where that record starts) and the error is rethrown.
  bool Fill(CaseBlock& block, std::int64_t& endOffset, const std::atomic<bool>& stop) {
    const std::size_t ncols = fLayout.columns.size();
    const std::size_t capacity = fCapacity;
    Prepare(block, capacity);
    std::size_t r = 0;
    bool more = true;
    try {
      for (; r < capacity; ++r) {
        if ((r & 1023) == 1023 && stop.load(std::memory_order_relaxed)) break;
        endOffset = fReader.Offset();
        std::size_t count = 0;
        if (!fReader.Next(fCells, count)) {
          more = false;
          break;
        }
        if (count != ncols) Ragged(count);
        ReadRow(block, r);
        if (fLayout.weightIndex >= 0) {
          const double w = block.numbers[static_cast<std::size_t>(fLayout.weightIndex)][r];
          block.weights[r] = w == SYSMIS || IsUserMissingWeight(fLayout.weightMissing, w) ? SYSMIS : w;
        }
        if (!fLayout.splitIndices.empty()) block.groupStart[r] = SplitChanged(block, r) ? 1 : 0;
      }
      endOffset = fReader.Offset();
    } catch (...) {
      Finish(block, r);
      throw;
    }
    Finish(block, r);
    return more;
  }

 private:
  void Prepare(CaseBlock& block, std::size_t capacity) {
    const std::size_t ncols = fLayout.columns.size();
    block.rows = 0;
    block.numbers.resize(ncols);
    block.strings.resize(ncols);
    for (std::size_t c = 0; c < ncols; ++c) {
      if (IsNumericKind(fLayout.columns[c].kind)) {
        std::vector<double>& v = block.numbers[c];
        if (v.size() != capacity) v.resize(capacity);
        fData[c] = v.data();
      } else {
        StringColumn& s = block.strings[c];
        s.offsets.clear();
        s.offsets.push_back(0);
        s.bytes.clear();
      }
    }
    if (fLayout.weightIndex >= 0) block.weights.resize(capacity);
    if (!fLayout.splitIndices.empty()) block.groupStart.resize(capacity);
  }

  void Finish(CaseBlock& block, std::size_t rows) {
    block.rows = rows;
    // An empty block is never handed out; its columns keep their sizes for
    // the next use.
    if (rows == 0) return;
    for (std::size_t c = 0; c < fLayout.columns.size(); ++c) {
      if (IsNumericKind(fLayout.columns[c].kind)) {
        std::vector<double>& v = block.numbers[c];
        if (v.size() != rows) v.resize(rows);
      } else {
        StringColumn& s = block.strings[c];
        s.offsets.resize(rows + 1);
        s.bytes.resize(s.offsets.back());
      }
    }
    if (fLayout.weightIndex >= 0) block.weights.resize(rows);
    if (!fLayout.splitIndices.empty()) block.groupStart.resize(rows);
  }

  [[noreturn]] __attribute__((noinline, cold)) void Ragged(std::size_t count) {
    const std::size_t ncols = fLayout.columns.size();
    const std::int64_t line = fReader.RecordLine();
    if (count > ncols) {
      throw InputError(fLayout.displayName + ", line " + std::to_string(line) + ", column " +
                       std::to_string(ncols + 1) + ": the row has " + std::to_string(count) +
                       " cells but the file has " + std::to_string(ncols) +
                       " variables. Quote cells that contain the delimiter, or remove the extra cells");
    }
    throw InputError(fReader.Where(line + fCells[count - 1].lineOffset, count + 1) + ": the row has only " +
                     std::to_string(count) + " cells but the file has " + std::to_string(ncols) +
                     " variables. Add the missing cells (an empty cell is a missing value)");
  }

  void ReadRow(CaseBlock& block, std::size_t r) {
    const std::size_t ncols = fLayout.columns.size();
    const CsvCell* cells = fCells.data();
    for (std::size_t c = 0; c < ncols; ++c) {
      const CsvCell& cell = cells[c];
      switch (static_cast<Mode>(fLayout.modes[c])) {
        case Mode::PlainNumber: {
          // The common cell: a plain decimal without blanks.
          double value;
          int intDigits, fraction;
          fData[c][r] = ParseSimpleDecimal(cell.View(), value, intDigits, fraction)
                            ? value
                            : NumericSlow(c, fLayout.columns[c], cell);
          break;
        }
        case Mode::PlainInteger: {
          double value;
          int intDigits, fraction;
          fData[c][r] = ParseSimpleDecimal(cell.View(), value, intDigits, fraction) && value == std::trunc(value)
                            ? value
                            : NumericSlow(c, fLayout.columns[c], cell);
          break;
        }
        case Mode::OtherNumber:
          fData[c][r] = NumericSlow(c, fLayout.columns[c], cell);
          break;
        case Mode::String: {
          const std::string_view text = TrimTrailingBlanks(cell.View());
          if (text.size() > static_cast<std::size_t>(fLayout.columns[c].width)) TooLong(c, cell, text);
          std::size_t bad = 0;
          if (!ValidUtf8(text, bad)) BadUtf8(c, cell, bad);
          StringColumn& s = block.strings[c];
          s.bytes.append(text);
          s.offsets.push_back(static_cast<std::uint32_t>(s.bytes.size()));
          break;
        }
      }
    }
  }

  double NumericSlow(std::size_t c, const CsvColumn& col, const CsvCell& cell) {
    const std::string_view text = TrimBlanks(cell.View());
    if (text.empty()) {
      if (col.emptyIsMissing) return SYSMIS;
      CellError(c, cell, "the cell is empty, and \"\" is not among the field's missingValues. Fill the cell, or add "
                         "\"\" to missingValues");
    }
    for (const std::string& m : col.missingTexts) {
      if (text == m) return SYSMIS;
    }
    double value = 0.0;
    switch (col.kind) {
      case CellKind::Number:
        if (!ParseStyledNumber(text, col.style, value)) NotNumber(c, cell, text);
        break;
      case CellKind::Integer:
        if (!ParseStyledNumber(text, col.style, value)) NotNumber(c, cell, text);
        if (value != std::trunc(value)) {
          CellError(c, cell, QuoteCell(text) + " is not a whole number, and the field's type is \"integer\". Declare "
                                               "the type \"number\", or correct the cell");
        }
        break;
      case CellKind::Date:
        if (!ParseDateCell(col.kind, text, value)) {
          CellError(c, cell, QuoteCell(text) + " is not a date. Write dates as YYYY-MM-DD (ISO 8601)" + MissingHint());
        }
        break;
      case CellKind::DateTime:
        if (!ParseDateCell(col.kind, text, value)) {
          CellError(c, cell, QuoteCell(text) + " is not a date and time. Write them as YYYY-MM-DDTHH:MM:SS or "
                                               "YYYY-MM-DD HH:MM:SS (ISO 8601)" + MissingHint());
        }
        break;
      case CellKind::Time:
        if (!ParseDateCell(col.kind, text, value)) {
          CellError(c, cell, QuoteCell(text) + " is not a time. Write times as HH:MM:SS (ISO 8601)" + MissingHint());
        }
        break;
      case CellKind::Boolean:
        if (!ParseBooleanCell(text, col.trueValues, col.falseValues, value)) {
          CellError(c, cell, QuoteCell(text) + " is neither a true nor a false value of this boolean field. Add it to "
                                               "the field's trueValues or falseValues" + MissingHint());
        }
        break;
      case CellKind::Year:
        if (!ParseDateCell(col.kind, text, value)) {
          CellError(c, cell, QuoteCell(text) + " is not a year. Write years as whole numbers such as 2024" +
                                 MissingHint());
        }
        break;
      case CellKind::YearMonth:
        if (!ParseDateCell(col.kind, text, value)) {
          CellError(c, cell, QuoteCell(text) + " is not a year and month. Write them as YYYY-MM (ISO 8601)" +
                                 MissingHint());
        }
        break;
      case CellKind::Duration:
        if (!ParseDateCell(col.kind, text, value)) {
          CellError(c, cell, QuoteCell(text) + " is not a duration. Write durations as ISO 8601 periods such as "
                                               "P1DT2H30M" + MissingHint());
        }
        break;
      case CellKind::String:
        break;
    }
    return value;
  }

  static std::string MissingHint() { return ", or add the text to the field's missingValues"; }

  [[noreturn]] __attribute__((noinline, cold)) void NotNumber(std::size_t c, const CsvCell& cell, std::string_view text) {
    std::size_t bad = 0;
    if (!ValidUtf8(text, bad)) BadUtf8(c, cell, bad);
    CellError(c, cell, QuoteCell(text) + " is not a number. Write numbers in C-locale form (such as -12.5 or "
                                         "1.5e6)" + MissingHint());
  }

  [[noreturn]] __attribute__((noinline, cold)) void TooLong(std::size_t c, const CsvCell& cell, std::string_view text) {
    CellError(c, cell, "the value has " + std::to_string(text.size()) + " bytes, more than the variable's width of " +
                           std::to_string(fLayout.columns[c].width) +
                           ". Raise the field's constraints.maxLength, or shorten the value");
  }

  [[noreturn]] __attribute__((noinline, cold)) void BadUtf8(std::size_t c, const CsvCell& cell, std::size_t bad) {
    CellError(c, cell, NotUtf8Text(bad));
  }

  [[noreturn]] __attribute__((noinline, cold)) void CellError(std::size_t c, const CsvCell& cell, const std::string& what) {
    throw InputError(fReader.Where(fReader.RecordLine() + cell.lineOffset, c + 1) + ": " + what);
  }

  bool SplitChanged(const CaseBlock& block, std::size_t r) {
    bool changed = fFirstCase;
    fFirstCase = false;
    for (std::size_t k = 0; k < fLayout.splitIndices.size(); ++k) {
      const auto v = static_cast<std::size_t>(fLayout.splitIndices[k]);
      if (IsNumericKind(fLayout.columns[v].kind)) {
        const double x = block.numbers[v][r];
        if (x != fPrevNumbers[k]) {
          changed = true;
          fPrevNumbers[k] = x;
        }
      } else {
        const StringColumn& s = block.strings[v];
        const std::string_view x(s.bytes.data() + s.offsets[r], s.offsets[r + 1] - s.offsets[r]);
        if (x != fPrevStrings[k]) {
          changed = true;
          fPrevStrings[k].assign(x);
        }
      }
    }
    return changed;
  }

  const CsvLayout& fLayout;
  std::size_t fCapacity;
  CsvReader fReader;
  std::vector<double*> fData;  // per numeric column: the block's cells
  std::vector<CsvCell> fCells;
  bool fFirstCase = true;
  std::vector<double> fPrevNumbers;
  std::vector<std::string> fPrevStrings;
};

class CsvCursor : public CaseCursor {
 public:
  CsvCursor(std::shared_ptr<const CsvLayout> layout, std::shared_ptr<CsvBlockPool> pool, std::int64_t size)
      : fLayout(std::move(layout)), fPool(std::move(pool)), fSize(size), fDeliveredOffset(fLayout->dataOffset) {}

  ~CsvCursor() override {
    StopProducer();
    // Hand the blocks back for the next pass.
    std::lock_guard<std::mutex> lock(fPool->mutex);
    if (fReachedEnd) fPool->lastCases = fCases;
    auto keep = [&](std::unique_ptr<Entry>& e) {
      if (e && fPool->entries.size() < kBlocksInFlight) fPool->entries.push_back(std::move(e));
    };
    // Least recently used first, so that the pool's back is the block used last.
    for (auto& e : fFree) keep(e);
    for (auto& e : fReady) keep(e);
    keep(fCurrent);
  }

  const CaseBlock* NextBlock() override {
    if (fFinished) return nullptr;
    if (!fStarted) Start();
    std::unique_lock<std::mutex> lock(fMutex);
    if (fCurrent) {
      fFree.push_back(std::move(fCurrent));
      fChanged.notify_all();
    }
    fChanged.wait(lock, [&] { return !fReady.empty() || fDone; });
    if (!fReady.empty()) {
      fCurrent = std::move(fReady.front());
      fReady.pop_front();
      lock.unlock();
      fChanged.notify_all();
      fDeliveredOffset = fCurrent->endOffset;
      fCases += static_cast<std::int64_t>(fCurrent->block.rows);
      Report(false);
      return &fCurrent->block;
    }
    fFinished = true;
    if (fError) {
      std::exception_ptr error = fError;
      fError = nullptr;
      std::rethrow_exception(error);
    }
    fReachedEnd = true;
    lock.unlock();
    Report(true);
    return nullptr;
  }

  std::int64_t CountRemaining() override {
    StopProducer();
    if (fReachedEnd) return 0;
    fFinished = true;
    return CountCsvRecords(fLayout->path, fLayout->dialect, fDeliveredOffset);
  }

 private:
  using Entry = CsvBlockEntry;
  static constexpr std::size_t kBlocksInFlight = 4;  // one held by the consumer, the rest parsed ahead

  void Start() {
    fStarted = true;
    fProgress = CurrentProgressFunction();
    fLastReport = std::chrono::steady_clock::now();
    {
      std::lock_guard<std::mutex> lock(fPool->mutex);
      fLastCases = fPool->lastCases;
      // The producer takes from the back: put the most recently used block
      // there, as its columns already have the right sizes.
      const std::size_t reused = std::min(kBlocksInFlight, fPool->entries.size());
      while (fFree.size() < kBlocksInFlight - reused) fFree.push_back(std::make_unique<Entry>());
      const auto from = fPool->entries.end() - static_cast<std::ptrdiff_t>(reused);
      std::move(from, fPool->entries.end(), std::back_inserter(fFree));
      fPool->entries.erase(from, fPool->entries.end());
    }
    // A file known to be small is read as one full block, which spares
    // resizing the columns of a wide file on every pass.
    fCapacity = fLayout->blockRows;
    const auto ncols = static_cast<std::int64_t>(std::max<std::size_t>(1, fLayout->columns.size()));
    if (fLastCases > 0 && fLastCases * ncols <= (std::int64_t{1} << 20)) fCapacity = static_cast<std::size_t>(fLastCases);
    fThread = std::thread([this] { Produce(); });
  }

  void Produce() {
    try {
      BlockFiller filler(*fLayout, fCapacity);
      for (;;) {
        std::unique_ptr<Entry> entry;
        {
          std::unique_lock<std::mutex> lock(fMutex);
          fChanged.wait(lock, [&] { return fStop.load() || !fFree.empty(); });
          if (fStop.load()) return;
          entry = std::move(fFree.back());
          fFree.pop_back();
        }
        bool more = true;
        std::exception_ptr error;
        try {
          more = filler.Fill(entry->block, entry->endOffset, fStop);
        } catch (...) {
          error = std::current_exception();
        }
        if (fStop.load()) return;
        const bool last = error || !more;
        {
          std::lock_guard<std::mutex> lock(fMutex);
          if (entry->block.rows > 0) {
            fReady.push_back(std::move(entry));
          } else {
            fFree.insert(fFree.begin(), std::move(entry));  // used last next time
          }
          // Moved, not copied: the consumer holds the only reference.
          if (error) fError = std::move(error);
          if (last) fDone = true;
        }
        fChanged.notify_all();
        if (last) return;
      }
    } catch (...) {
      {
        std::lock_guard<std::mutex> lock(fMutex);
        fError = std::current_exception();
        fDone = true;
      }
      fChanged.notify_all();
    }
  }

  void StopProducer() {
    {
      std::lock_guard<std::mutex> lock(fMutex);
      fStop.store(true);
    }
    fChanged.notify_all();
    if (fThread.joinable()) fThread.join();
  }

  void Report(bool atEnd) {
    if (!fProgress) return;
    const auto now = std::chrono::steady_clock::now();
    if (atEnd ? !fReported : now - fLastReport < std::chrono::milliseconds(250)) return;
    fLastReport = now;
    fReported = true;
    fProgress(fCases, fDeliveredOffset, fSize);
  }

  std::shared_ptr<const CsvLayout> fLayout;
  std::shared_ptr<CsvBlockPool> fPool;
  std::int64_t fLastCases = -1;
  std::size_t fCapacity = 1;
  std::int64_t fSize;
  std::int64_t fDeliveredOffset;
  std::int64_t fCases = 0;
  bool fStarted = false;
  bool fFinished = false;
  bool fReachedEnd = false;
  ProgressFunction fProgress;
  std::chrono::steady_clock::time_point fLastReport;
  bool fReported = false;

  std::mutex fMutex;
  std::condition_variable fChanged;
  std::deque<std::unique_ptr<Entry>> fReady;
  std::vector<std::unique_ptr<Entry>> fFree;
  std::unique_ptr<Entry> fCurrent;
  bool fDone = false;
  std::exception_ptr fError;
  std::atomic<bool> fStop{false};
  std::thread fThread;
};

}  // namespace

CsvCaseSource::CsvCaseSource(CsvLayout layout) {
  const std::size_t ncols = std::max<std::size_t>(1, layout.columns.size());
  // Wide files get shorter blocks (about 2 MB of cells) so that the blocks
  // in flight stay small and their columns stay in cache.
  layout.blockRows = std::max<std::size_t>(1, std::min(layout.blockRows, (std::size_t{1} << 18) / ncols));
  fPool = std::make_shared<CsvBlockPool>();
  layout.names.clear();
  layout.modes.clear();
  for (const CsvColumn& c : layout.columns) {
    layout.names.push_back(c.name);
    layout.modes.push_back(static_cast<std::uint8_t>(ModeOf(c)));
  }
  struct stat st {};
  if (::stat(layout.path.c_str(), &st) == 0) fSize = static_cast<std::int64_t>(st.st_size);
  fLayout = std::make_shared<const CsvLayout>(std::move(layout));
}

std::unique_ptr<CaseCursor> CsvCaseSource::Open() const {
  return std::make_unique<CsvCursor>(fLayout, fPool, fSize);
}

}  // namespace host
