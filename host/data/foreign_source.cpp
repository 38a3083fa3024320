#include "host/data/foreign_source.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

#include "host/common/thread_room.h"
#include "host/data/cells.h"
#include "host/data/extended_missing.h"
#include "host/data/foreign_parse.h"
#include "host/dataset.h"

namespace host::foreign {

void CheckUnchanged(const std::string& path, const std::string& display, const FileStamp& stamp) {
  struct stat facts {};
  if (stamp.known && (::stat(path.c_str(), &facts) != 0 || !(FileStampOf(facts) == stamp))) ThrowFileChanged(display);
}

std::int64_t CountRows(const ForeignLayout& layout) {
  Parser parser;
  Prepare(parser, layout.encoding, layout.view);
  readstat_set_variable_handler(parser.p, OnCountVariable);
  readstat_set_value_handler(parser.p, OnCountValue);
  ParseContext ctx;
  const readstat_error_t error = Run(parser, layout.kind, layout.path, &ctx);
  if (error != READSTAT_OK) {
    throw InputError(Failure(layout.display, layout.kind, error, ctx, FailingCase(ctx, layout.rows)));
  }
  return ctx.caseIndex + 1;
}

namespace {

class ForeignCursor;

struct BlockEntry {
  CaseBlock block;
};

// The producer's side of a pass: ReadStat's callbacks fill the block in hand.
struct ProducerContext : ParseContext {
  ForeignCursor* cursor = nullptr;
  const ForeignLayout* layout = nullptr;
  std::unique_ptr<BlockEntry> entry;
  std::size_t row = 0;
  std::int64_t obs = -1;  // the case being filled
  std::int64_t produced = 0;
  std::vector<double*> numbers;
  const std::vector<std::uint8_t>* wanted = nullptr;  // per column: read its cells
  std::exception_ptr failure;                         // thrown where ReadStat must not see it
  // Split-file values of the previous case.
  bool firstCase = true;
  std::vector<double> prevNumbers;
  std::vector<std::string> prevStrings;
};

class ForeignCursor : public CaseCursor {
 public:
  ForeignCursor(std::shared_ptr<const ForeignLayout> layout, std::int64_t size, const ReadPlan& plan)
      : fLayout(std::move(layout)), fSize(size), fGather(plan.gather) {
    // Only the columns the pass reads (its weight and split variables among
    // them) are converted; the others stay empty in the blocks.
    const std::size_t ncols = fLayout->columns.size();
    fWanted.assign(ncols, plan.columns.empty() ? 1 : 0);
    for (std::size_t c = 0; c < ncols && c < plan.columns.size(); ++c) fWanted[c] = plan.columns[c] != 0 ? 1 : 0;
    auto want = [&](int c) {
      if (c >= 0 && static_cast<std::size_t>(c) < ncols) fWanted[static_cast<std::size_t>(c)] = 1;
    };
    want(fLayout->weightIndex);
    for (int c : fLayout->splitIndices) want(c);
  }

  ~ForeignCursor() override { StopProducer(); }

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
      fDelivered += static_cast<std::int64_t>(fCurrent->block.rows);
      Report();
      return &fCurrent->block;
    }
    fFinished = true;
    if (fError) {
      std::exception_ptr error = fError;
      fError = nullptr;
      std::rethrow_exception(error);
    }
    fReachedEnd = true;
    return nullptr;
  }

  std::int64_t CountRemaining() override {
    StopProducer();
    if (fReachedEnd) return 0;
    fFinished = true;
    const std::int64_t total = fLayout->rows >= 0 ? fLayout->rows : CountRows(*fLayout);
    return std::max<std::int64_t>(0, total - fDelivered);
  }

  // Called on the producer thread when a block is full: hands it over and
  // takes a free one. False when the pass was stopped.
  bool Publish(ProducerContext& p) {
    try {
      FinishBlock(p, p.row);
    } catch (...) {
      p.failure = std::current_exception();
      return false;
    }
    std::unique_lock<std::mutex> lock(fMutex);
    fReady.push_back(std::move(p.entry));
    fChanged.notify_all();
    fChanged.wait(lock, [&] { return fStop.load() || !fFree.empty(); });
    if (fStop.load()) return false;
    p.entry = std::move(fFree.back());
    fFree.pop_back();
    lock.unlock();
    PrepareBlock(p);
    return true;
  }

  bool Stopped() const { return fStop.load(std::memory_order_relaxed); }

  std::size_t Capacity() const { return fCapacity; }

 private:
  static constexpr std::size_t kBlocksInFlight = 4;

  void Start() {
    fStarted = true;
    fProgress = CurrentProgressFunction();
    fLastReport = std::chrono::steady_clock::now();
    fCapacity = fLayout->blockRows;
    if (fLayout->rows > 0) fCapacity = std::min<std::size_t>(fCapacity, static_cast<std::size_t>(fLayout->rows));
    fCapacity = std::max<std::size_t>(1, fCapacity);
    for (std::size_t i = 0; i + 1 < kBlocksInFlight; ++i) fFree.push_back(std::make_unique<BlockEntry>());
    fThread = std::thread([this] {
      ThreadRooms rooms;
      Produce();
    });
  }

  void PrepareBlock(ProducerContext& p) const {
    CaseBlock& block = p.entry->block;
    const std::size_t ncols = fLayout->columns.size();
    block.rows = 0;
    block.work.reset();
    block.numbers.resize(ncols);
    block.strings.resize(ncols);
    p.numbers.assign(ncols, nullptr);
    for (std::size_t c = 0; c < ncols; ++c) {
      if (fWanted[c] == 0) {
        block.numbers[c].clear();
        block.strings[c].offsets.clear();
        block.strings[c].bytes.clear();
        continue;
      }
      if (fLayout->columns[c].isString) {
        StringColumn& s = block.strings[c];
        s.offsets.clear();
        s.offsets.push_back(0);
        s.bytes.clear();
      } else {
        std::vector<double>& v = block.numbers[c];
        v.assign(fCapacity, SYSMIS);  // a cell ReadStat does not deliver stays missing
        p.numbers[c] = v.data();
      }
    }
    p.row = 0;
  }

  void FinishBlock(ProducerContext& p, std::size_t rows) const {
    CaseBlock& block = p.entry->block;
    const ForeignLayout& layout = *fLayout;
    block.rows = rows;
    for (std::size_t c = 0; c < layout.columns.size(); ++c) {
      if (fWanted[c] == 0) continue;
      if (layout.columns[c].isString) {
        StringColumn& s = block.strings[c];
        while (s.offsets.size() < rows + 1) s.offsets.push_back(static_cast<std::uint32_t>(s.bytes.size()));
        s.offsets.resize(rows + 1);
      } else {
        block.numbers[c].resize(rows);
      }
    }
    if (layout.weightIndex >= 0) {
      const std::vector<double>& w = block.numbers[static_cast<std::size_t>(layout.weightIndex)];
      const MissingValues& mv = layout.weightMissing;
      block.weights.resize(rows);
      for (std::size_t r = 0; r < rows; ++r) {
        const double x = w[r];
        const bool userMissing = (mv.hasRange && x >= mv.low && x <= mv.high) ||
                                 std::find(mv.numbers.begin(), mv.numbers.end(), x) != mv.numbers.end();
        block.weights[r] = x == SYSMIS || IsExtendedMissing(x) || userMissing ? SYSMIS : x;
      }
    }
    if (!layout.splitIndices.empty()) {
      block.groupStart.resize(rows);
      for (std::size_t r = 0; r < rows; ++r) block.groupStart[r] = SplitChanged(p, block, r) ? 1 : 0;
    }
    if (fGather) fGather(block);  // the pass's share of the block, on this thread
  }

  bool SplitChanged(ProducerContext& p, const CaseBlock& block, std::size_t r) const {
    bool changed = p.firstCase;
    p.firstCase = false;
    const std::vector<int>& split = fLayout->splitIndices;
    for (std::size_t k = 0; k < split.size(); ++k) {
      const auto v = static_cast<std::size_t>(split[k]);
      if (fLayout->columns[v].isString) {
        const StringColumn& s = block.strings[v];
        const std::string_view x = s.Cell(r);
        if (x != p.prevStrings[k]) {
          changed = true;
          p.prevStrings[k].assign(x);
        }
      } else if (block.numbers[v][r] != p.prevNumbers[k]) {
        changed = true;
        p.prevNumbers[k] = block.numbers[v][r];
      }
    }
    return changed;
  }

  static int OnValue(int obs, readstat_variable_t* variable, readstat_value_t value, void* ctx);

  // Columns the pass does not read are skipped by ReadStat itself.
  static int OnVariable(int index, readstat_variable_t*, const char*, void* ctx) {
    const auto& p = static_cast<const ProducerContext&>(Context(ctx));
    const bool wanted = index >= 0 && static_cast<std::size_t>(index) < p.wanted->size() &&
                        (*p.wanted)[static_cast<std::size_t>(index)] != 0;
    return wanted ? READSTAT_HANDLER_OK : READSTAT_HANDLER_SKIP_VARIABLE;
  }

  void Produce() {
    ProducerContext p;
    p.cursor = this;
    p.layout = fLayout.get();
    p.prevNumbers.assign(fLayout->splitIndices.size(), 0.0);
    p.prevStrings.assign(fLayout->splitIndices.size(), std::string());
    p.entry = std::make_unique<BlockEntry>();
    p.wanted = &fWanted;
    std::exception_ptr error;
    try {
      PrepareBlock(p);
      Parser parser;
      Prepare(parser, fLayout->encoding, fLayout->view);
      readstat_set_variable_handler(parser.p, OnVariable);
      readstat_set_value_handler(parser.p, OnValue);
      CheckUnchanged(fLayout->path, fLayout->display, fLayout->stamp);
      const readstat_error_t status = Run(parser, fLayout->kind, fLayout->path, &p);
      // A file written to during the pass most often fails as damaged, or
      // reads on into what was added: that it changed is the cause.
      if (!fStop.load()) CheckUnchanged(fLayout->path, fLayout->display, fLayout->stamp);
      if (p.failure) std::rethrow_exception(p.failure);
      if (fStop.load()) return;
      if (p.obs >= 0) {  // the last case read
        ++p.row;
        ++p.produced;
      }
      if (status != READSTAT_OK) {
        p.inCases = true;
        error = std::make_exception_ptr(
            InputError(Failure(fLayout->display, fLayout->kind, status, p, FailingCase(p, fLayout->rows))));
      } else if (fLayout->rows >= 0 && p.produced != fLayout->rows) {
        error = std::make_exception_ptr(InputError(fLayout->display + ", case " + std::to_string(p.produced + 1) +
                                                   ": the file ends after " + std::to_string(p.produced) +
                                                   " cases, but its header promises " + std::to_string(fLayout->rows) +
                                                   ". The file is damaged or incomplete"));
      }
      if (p.entry && p.row > 0) FinishBlock(p, p.row);
    } catch (...) {
      error = std::current_exception();
      p.entry.reset();
    }
    std::lock_guard<std::mutex> lock(fMutex);
    if (p.entry && p.row > 0) fReady.push_back(std::move(p.entry));
    if (error) fError = std::move(error);
    fDone = true;
    fChanged.notify_all();
  }

  void StopProducer() {
    {
      std::lock_guard<std::mutex> lock(fMutex);
      fStop.store(true);
    }
    fChanged.notify_all();
    if (fThread.joinable()) fThread.join();
  }

  void Report() {
    if (!fProgress) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - fLastReport < ProgressInterval()) return;
    fLastReport = now;
    std::int64_t bytes = 0;
    if (fLayout->rows > 0) {
      bytes = static_cast<std::int64_t>(static_cast<double>(fSize) * static_cast<double>(fDelivered) /
                                        static_cast<double>(fLayout->rows));
    }
    fProgress(fDelivered, bytes, fLayout->rows > 0 ? fSize : 0);
  }

  std::shared_ptr<const ForeignLayout> fLayout;
  std::int64_t fSize;
  std::function<void(CaseBlock&)> fGather;
  std::vector<std::uint8_t> fWanted;
  std::size_t fCapacity = 1;
  std::int64_t fDelivered = 0;
  bool fStarted = false;
  bool fFinished = false;
  bool fReachedEnd = false;
  ProgressFunction fProgress;
  std::chrono::steady_clock::time_point fLastReport;

  std::mutex fMutex;
  std::condition_variable fChanged;
  std::deque<std::unique_ptr<BlockEntry>> fReady;
  std::vector<std::unique_ptr<BlockEntry>> fFree;
  std::unique_ptr<BlockEntry> fCurrent;
  bool fDone = false;
  std::exception_ptr fError;
  std::atomic<bool> fStop{false};
  std::thread fThread;
};

int ForeignCursor::OnValue(int obs, readstat_variable_t* variable, readstat_value_t value, void* ctx) {
  auto& p = static_cast<ProducerContext&>(Context(ctx));
  if (obs != p.obs) {  // a new case: the previous one is complete
    if (p.obs >= 0) {
      ++p.row;
      ++p.produced;
      if (p.row == p.cursor->Capacity() && !p.cursor->Publish(p)) return READSTAT_HANDLER_ABORT;
      if (p.cursor->Stopped()) return READSTAT_HANDLER_ABORT;
    }
    p.obs = obs;
    p.caseIndex = obs;
  }
  const int index = variable->index;
  const std::vector<ForeignColumn>& columns = p.layout->columns;
  if (index < 0 || static_cast<std::size_t>(index) >= columns.size()) return READSTAT_HANDLER_OK;
  const auto c = static_cast<std::size_t>(index);
  if (columns[c].isString) {
    StringColumn& s = p.entry->block.strings[c];
    while (s.offsets.size() < p.row + 1) s.offsets.push_back(static_cast<std::uint32_t>(s.bytes.size()));
    if (s.offsets.size() > p.row + 1) return READSTAT_HANDLER_OK;  // a second value for the cell
    const char* text = readstat_string_value(value);
    std::string bytes;
    const std::string_view raw = TrimTrailingBlanks(
        foreign::FileText(text != nullptr ? std::string_view(text) : std::string_view(), p.layout->viaLatin1, bytes));
    std::size_t bad = 0;
    const std::size_t start = s.bytes.size();
    if (ValidUtf8(raw, bad)) {
      s.bytes.append(raw);
    } else {
      s.bytes.append(TrimTrailingBlanks(foreign::TextAsUtf8(raw)));
    }
    if (s.bytes.size() - start > kWidestString) {
      s.bytes.resize(start + CutPoint(std::string_view(s.bytes).substr(start), kWidestString));
    }
    s.offsets.push_back(static_cast<std::uint32_t>(s.bytes.size()));
    return READSTAT_HANDLER_OK;
  }
  // The value's fields are read in place: this runs once per cell.
  double x;
  if (value.is_tagged_missing) {
    x = ExtendedMissing(value.tag);
    if (x == 0.0) x = SYSMIS;
  } else if (value.is_system_missing) {
    x = SYSMIS;
  } else {
    switch (value.type) {
      case READSTAT_TYPE_INT8:
        x = value.v.i8_value;
        break;
      case READSTAT_TYPE_INT16:
        x = value.v.i16_value;
        break;
      case READSTAT_TYPE_INT32:
        x = value.v.i32_value;
        break;
      case READSTAT_TYPE_FLOAT:
        x = value.v.float_value;
        break;
      case READSTAT_TYPE_DOUBLE:
        x = value.v.double_value;
        break;
      default:
        x = readstat_double_value(value);
        break;
    }
    if (std::isnan(x) && p.layout->kind == ForeignKind::Transport && foreign::IsTransportZero(x)) x = 0.0;
    if (!std::isfinite(x)) {
      x = SYSMIS;
    } else if (columns[c].convert != Convert::None) {
      x = foreign::ConvertValue(columns[c].convert, x);
    }
  }
  p.numbers[c][p.row] = x;
  return READSTAT_HANDLER_OK;
}

}  // namespace

std::unique_ptr<CaseCursor> ForeignCaseSource::Open() const { return OpenFor(ReadPlan{}); }

std::unique_ptr<CaseCursor> ForeignCaseSource::OpenFor(const ReadPlan& plan) const {
  return std::make_unique<ForeignCursor>(fLayout, fSize, plan);
}

}  // namespace host::foreign
