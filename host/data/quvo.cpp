// The procedure's view of the active dataset: dictionary getters, the case
// iterator over the dataset's blocks, and the host's name functions.
#include "host/quvo.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

#include "host/check.h"
#include "host/common/in_order.h"
#include "host/common/text.h"
#include "host/data/dataset.h"
#include "host/data/missing.h"
#include "host/dataset.h"
#include "host/engine/pass.h"
#include "host/engine/profile.h"
#include "host/shards/wire.h"

// ---------------------------------------------------------------- value labels

int QUVO_ValueLabelMap::GetNextPair(OBS& value, const char*& label) {
  if (fLabels == nullptr || fNext >= fLabels->size()) return 0;
  const ValueLabel& pair = (*fLabels)[fNext++];
  value = pair.value;
  label = pair.label.c_str();
  return 1;
}

const char* QUVO_ValueLabelMap::GetLabel(const OBS& value) const {
  if (fLabels == nullptr) return nullptr;
  for (const ValueLabel& pair : *fLabels) {
    const bool equal = fIsString ? pair.value.u == value.u : pair.value.d == value.d;
    if (equal) return pair.label.c_str();
  }
  return nullptr;
}

// ---------------------------------------------------------------- variables

bool QUVO_Variable::IsUserMissingNumber(double value) const {
  return value != SYSMIS && host::IsUserMissingNumber(value, missing);
}

bool QUVO_Variable::IsUserMissingString(std::string_view value) const {
  const std::string_view trimmed = host::TrimTrailingBlanks(value);
  for (const std::string& s : missing.strings) {
    if (host::TrimTrailingBlanks(s) == trimmed) return true;
  }
  return false;
}

int QUVO_Variable::IsMissing(const OBS& value) const {
  if (IsString()) return IsUserMissingString(ObsString(value)) ? 1 : 0;
  return IsUserMissingNumber(value.d) ? 1 : 0;
}

// ---------------------------------------------------------------- sets and documents

std::string VariableSet::GetName(int /*changeCase*/) const { return fImpl->name; }
std::string VariableSet::GetLabel() const { return fImpl->label; }
int VariableSet::GetType() const { return fImpl->type; }
std::string VariableSet::GetValue() const { return fImpl->countedValue; }
std::vector<std::string> VariableSet::GetVariableNames(int /*changeCase*/) const { return fImpl->members; }

VariableSets::VariableSets(const QUVO_DataSource& source, int kind) {
  if (kind != 1) return;  // multiple-response sets are the only kind the host has
  for (const VariableSetImpl* set : source.GetMRSets()) fSets.emplace_back(set);
}

std::vector<DSDocument> GetDocuments(const QUVO_DataSource& source) {
  std::vector<DSDocument> documents;
  if (const host::Dataset* dataset = source.Dataset()) {
    for (const auto& block : dataset->documents) documents.emplace_back(block);
  }
  return documents;
}

// ---------------------------------------------------------------- case iteration

QUVO_InputCaseIterator::~QUVO_InputCaseIterator() = default;

ProcDSIterator::ProcDSIterator(const QUVO_DataSource* source) : fSource(source) {}

ProcDSIterator::~ProcDSIterator() {
  // A subclass whose blocks die with it has left its block already
  // (SetBlock(nullptr)); otherwise the block is still there to gather from.
  if (fPass) fPass->LeaveBlock();
}

const QUVO_Variable& ProcDSIterator::Variable(int var) const { return *fSource->GetVariable(var); }

host::Pass& ProcDSIterator::Pass() {
  if (!fPass) fPass = std::make_unique<host::Pass>(fPos);
  return *fPass;
}

void ProcDSIterator::SetBlock(const host::CaseBlock* block) {
  if (fPass && fPos.block != nullptr) fPass->LeaveBlock();
  fPos.block = block;
  ++fPos.serial;
  // A ticket holds the serial and the row in 32 bits each.
  CB_CHECK("engine",
           fPos.serial < host::CasePosition::kNoRow && (block == nullptr || block->rows < host::CasePosition::kNoRow));
  fPos.Place(0, fPos.groupEnd);
}

namespace host {

// Walks the blocks of one pass. With split files, the end of every group
// (including the last) is a position of its own that carries no case.
class DatasetIterator : public ProcDSIterator {
 public:
  DatasetIterator(const QUVO_DataSource* source, Dataset* dataset)
      : ProcDSIterator(source), fDataset(dataset), fSplit(!dataset->splitIndices.empty()) {
    fDataset->liveIterator = this;
  }

  ~DatasetIterator() override {
    if (fRetiring.joinable()) fRetiring.join();
    SetBlock(nullptr);  // the cursor owns the block: gather before it goes
    if (fProfile) NoteEarlyStop();
    if (fDataset->liveIterator == this) fDataset->liveIterator = nullptr;
  }

  int NextCase() override {
    // The next row of the block in hand, outside split files: nearly every
    // call, and what the rest below would do for it.
    if (fPos.row + 1 < fQuickEnd) {
      ++fDelivered;
      fPos.Place(fPos.row + 1, false);
      return 1;
    }
    fQuickEnd = 0;
    if (fEnded) return 0;
    if (!fOpened) Open();
    if (fPendingCase) {  // the case that opened the group whose predecessor just ended
      fPendingCase = false;
      fPos.Place(fPos.row, false);
      return 1;
    }
    std::size_t next = fStarted ? fPos.row + 1 : 0;
    fStarted = true;
    while (fPos.block == nullptr || next >= fPos.block->rows) {
      const CaseBlock* block = nullptr;
      if (fCursor) {
        SetBlock(nullptr);  // the tables gather from it before the reader reuses it
        block = fCursor->NextBlock();
      }
      SetBlock(block);
      next = 0;
      if (block == nullptr) {
        RetireReader();  // ends any read-ahead at once
        fDataset->caseCount = fDelivered;
        if (host::Pass* pass = ExistingPass()) pass->Finish(Threads());
        // Every block was read and merged: the side statistics are complete.
        if (fProfile) {
          if (fProfile->complete) {
            engine::DataProfile profile = fProfile->profile.Finalize(HelperThreadAllowed());
            if (const host::Pass* pass = ExistingPass()) pass->NoteCategories(profile);
            fDataset->KeepProfile(std::move(profile));
          }
        }
        RetireProfiles();
        if (fSplit && fDelivered > 0 && !fFinalEnd) {
          fFinalEnd = true;
          fPos.Place(fPos.row, true);
          return 1;
        }
        fEnded = true;
        fPos.Place(fPos.row, false);
        return 0;
      }
      fBlockRowsSeen += static_cast<std::int64_t>(block->rows);
    }
    ++fDelivered;
    const CaseBlock& block = *fPos.block;
    if (fSplit && fDelivered > 1 && !block.groupStart.empty() && block.groupStart[next] != 0) {
      fPos.Place(next, true);
      fPendingCase = true;
      return 1;
    }
    fPos.Place(next, false);
    if (!fSplit) fQuickEnd = block.rows;
    return 1;
  }

  // Cases in the whole file: those in the blocks read so far plus a record
  // count of the rest, which is not parsed.
  std::int64_t CountTotal() {
    if (!fOpened) return fDataset->cases ? fDataset->cases->Open()->CountRemaining() : 0;
    if (!fCursor) return fBlockRowsSeen;
    return fBlockRowsSeen + fCursor->CountRemaining();
  }

 private:
  // The reading starts with the first case, once the tables are set up: they
  // say which columns to convert and gather blocks on the reader threads.
  void Open() {
    fOpened = true;
    if (!fDataset->cases) return;
    ReadPlan plan;
    if (host::Pass* pass = ExistingPass()) {
      if (fDataset->profileWanted) AddProfile(*pass);
      plan = pass->Plan(fDataset->variables.size());
    }
    if (!plan.columns.empty()) {
      if (fDataset->weightIndex >= 0) plan.columns[static_cast<std::size_t>(fDataset->weightIndex)] = 1;
      for (int v : fDataset->splitIndices) plan.columns[static_cast<std::size_t>(v)] = 1;
    }
    plan.threads = Threads();
    plan.pass = ExistingPass();
    fCursor = fDataset->cases->OpenFor(plan);
  }

  // The pass is over: its reader (blocks, buffers, a wide pass's spare
  // per-block accumulators) goes before the tables' results are computed,
  // and its profiles once the overview's summaries are taken. Freeing a wide
  // pass's thousands of accumulators and profiles takes a while: with more
  // than one thread it is done on a thread of its own, beside the tables'
  // results and the procedure's making of its tables, and waited for when
  // the iterator goes.
  void RetireReader() {
    if (!fCursor) return;
    FreeAside([cursor = std::move(fCursor)]() mutable { cursor.reset(); });
  }

  // The procedure let the pass go before its end: every table had passed its
  // category limit. The cases read tell no totals, but each table's count at
  // its limit still says its variable has more values than that, which the
  // overview shows rather than an empty row.
  void NoteEarlyStop() noexcept {
    const host::Pass* pass = ExistingPass();
    if (pass == nullptr) return;
    try {
      engine::DataProfile stopped;
      pass->NoteStopped(stopped);
      if (!stopped.columns.empty()) fDataset->KeepProfile(std::move(stopped));
    } catch (...) {
      // No room for the note: the overview goes without it.
    }
  }

  void RetireProfiles() {
    struct Leftovers {
      std::shared_ptr<ProfileSpares> spares;
      std::optional<engine::PassProfile> profile;
      void Free() {
        if (spares) {
          std::vector<engine::PassProfile> profiles;
          std::lock_guard<std::mutex> lock(spares->mutex);
          profiles.swap(spares->profiles);
        }
        profile.reset();
      }
    };
    if (!fProfileSpares && !fProfile) return;
    Leftovers left;
    left.spares = std::move(fProfileSpares);
    if (fProfile) left.profile.emplace(std::move(fProfile->profile));
    fProfile.reset();
    // The reader's blocks gave their profiles back to the spares: FreeAside
    // waits for the reader to be gone first.
    FreeAside([left = std::move(left)]() mutable { left.Free(); });
  }

  // Runs `free` on a thread of its own when the run has more than one
  // (waited for before the next one and when the iterator goes), else here.
  // Should no thread start, what `free` holds is freed here all the same.
  template <class Free>
  void FreeAside(Free free) {
    if (fRetiring.joinable()) fRetiring.join();
    if (Threads() != 1) {
      try {
        fRetiring = std::thread(std::move(free));
        return;
      } catch (...) {
        // No thread: freed here.
      }
    }
    free();
  }

  // The side statistics of the report's overview, gathered beside the tables
  // a block at a time on the reader threads and merged in file order (what
  // engine::PassProfile::WantTables says). A block replayed from a partial
  // state brings them as bytes.
  void AddProfile(host::Pass& pass) {
    // What each block's profile wants; never changed once reading starts.
    auto wants = std::make_shared<engine::PassProfile>(*fDataset);
    wants->WantTables(pass.RegisteredRules());
    auto whole = std::make_shared<WholeProfile>(wants->Fresh());
    fProfile = whole;
    auto spares = std::make_shared<ProfileSpares>();
    fProfileSpares = spares;
    struct Part : BlockWork {
      Part(engine::PassProfile p, std::shared_ptr<ProfileSpares> s) : profile(std::move(p)), spares(std::move(s)) {}
      ~Part() override {
        if (!spares) return;
        try {
          std::lock_guard<std::mutex> lock(spares->mutex);
          spares->profiles.push_back(std::move(profile));
        } catch (...) {
          // No room to keep it: it is freed instead.
        }
      }
      Part(const Part&) = delete;
      Part& operator=(const Part&) = delete;
      engine::PassProfile profile;
      std::shared_ptr<ProfileSpares> spares;
    };
    std::shared_ptr<const engine::PassProfile> fresh = wants;
    BlockGatherer gatherer;
    gatherer.gather = [fresh, spares](const CaseBlock& block) -> std::unique_ptr<BlockWork> {
      std::optional<engine::PassProfile> reused;
      {
        std::lock_guard<std::mutex> lock(spares->mutex);
        if (!spares->profiles.empty()) {
          reused.emplace(std::move(spares->profiles.back()));
          spares->profiles.pop_back();
        }
      }
      if (!reused || !reused->Reset()) reused.emplace(fresh->Fresh());
      auto part = std::make_unique<Part>(std::move(*reused), spares);
      part->profile.Add(block);
      return part;
    };
    gatherer.load = [fresh](wire::Reader& in) -> std::unique_ptr<BlockWork> {
      auto part = std::make_unique<Part>(fresh->Fresh(), nullptr);
      part->profile.Load(in);
      return part;
    };
    gatherer.merge = [whole](BlockWork* work) {
      auto* part = dynamic_cast<Part*>(work);
      if (part == nullptr) {
        whole->complete = false;
      } else {
        whole->profile.Merge(std::move(part->profile));
      }
    };
    pass.AddGatherer(std::move(gatherer));
  }

  // A block's profile goes back here when its block's work is freed (on a
  // reader thread, when the reader refills the block) and is reset for a
  // later block: thousands of columns are not made and freed per block.
  struct ProfileSpares {
    std::mutex mutex;
    std::vector<engine::PassProfile> profiles;
  };

  Dataset* fDataset;
  std::unique_ptr<CaseCursor> fCursor;
  std::shared_ptr<ProfileSpares> fProfileSpares;
  std::thread fRetiring;
  struct WholeProfile {
    explicit WholeProfile(engine::PassProfile p) : profile(std::move(p)) {}
    engine::PassProfile profile;
    bool complete = true;  // every block read was profiled
  };
  std::shared_ptr<WholeProfile> fProfile;  // kept only when the pass reads every case
  bool fSplit;
  bool fOpened = false;
  bool fStarted = false;
  bool fEnded = false;
  bool fPendingCase = false;
  std::size_t fQuickEnd = 0;  // rows of the block in hand that NextCase may step to at once
  bool fFinalEnd = false;
  std::int64_t fDelivered = 0;
  std::int64_t fBlockRowsSeen = 0;
};

std::int64_t Dataset::CaseCount() {
  if (caseCount) return *caseCount;
  std::int64_t count = 0;
  if (liveIterator != nullptr) {
    count = liveIterator->CountTotal();
  } else if (cases) {
    std::unique_ptr<CaseCursor> cursor = cases->Open();
    count = cursor->CountRemaining();
  }
  caseCount = count;
  return count;
}

}  // namespace host

// ---------------------------------------------------------------- data sources

QUVO_DataSource::QUVO_DataSource(std::shared_ptr<host::Dataset> dataset) : fDataset(std::move(dataset)) {
  if (fDataset) {
    for (const auto& set : fDataset->sets) fSets.push_back(set.get());
  }
}

QUVO_DataSource::~QUVO_DataSource() = default;

int QUVO_DataSource::ColumnCount() const { return fDataset ? static_cast<int>(fDataset->variables.size()) : 0; }

std::int64_t QUVO_DataSource::GetCaseCount() const { return fDataset ? fDataset->CaseCount() : -1; }

int QUVO_DataSource::FindVarIndex(const char* name, int /*flags*/) const {
  if (!fDataset || name == nullptr) return -1;
  return fDataset->Find(name);
}

QUVO_Variable* QUVO_DataSource::GetVariable(int index) const {
  if (!fDataset || index < 0 || index >= ColumnCount()) return nullptr;
  return fDataset->variables[static_cast<std::size_t>(index)].get();
}

const char* QUVO_DataSource::GetFileSpec() const {
  return fDataset && fDataset->fileSpec ? fDataset->fileSpec->c_str() : nullptr;
}

const char* QUVO_DataSource::GetLabel() const {
  return fDataset && fDataset->label ? fDataset->label->c_str() : nullptr;
}

const DatasourceAttributes& QUVO_DataSource::GetAttributes() const {
  static const DatasourceAttributes kNone;
  return fDataset ? fDataset->attributes : kNone;
}

const std::vector<VariableSetImpl*>& QUVO_DataSource::GetMRSets() const { return fSets; }

ProcedureDataSource::ProcedureDataSource() : QUVO_DataSource(host::ActiveDataset()) {}

ProcedureDataSource::~ProcedureDataSource() = default;

bool ProcedureDataSource::FatalError() const { return !fDataset || fDataset->fatal; }

int ProcedureDataSource::GetWeightVarIndex() const { return fDataset ? fDataset->weightIndex : -1; }

QUVO_InputCaseIterator* ProcedureDataSource::CreateCaseIterator(int /*flags*/) {
  if (!fDataset) return nullptr;
  return new host::DatasetIterator(this, fDataset.get());
}

// ---------------------------------------------------------------- names

namespace {

unsigned char Fold(unsigned char c) { return static_cast<unsigned char>(host::UpperAscii(static_cast<char>(c))); }

bool IsNameStart(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c >= 0x80 || c == '@' || c == '#' || c == '$';
}

bool IsNameChar(unsigned char c) { return IsNameStart(c) || (c >= '0' && c <= '9') || c == '.' || c == '_'; }

}  // namespace

int QUVOMBstricmp_A(const char* a, const char* b) {
  const auto* x = reinterpret_cast<const unsigned char*>(a);
  const auto* y = reinterpret_cast<const unsigned char*>(b);
  for (;; ++x, ++y) {
    const int d = static_cast<int>(Fold(*x)) - static_cast<int>(Fold(*y));
    if (d != 0 || *x == 0) return d;
  }
}

int QUVOMBstrnicmp_A(const char* a, const char* b, std::size_t length) {
  const auto* x = reinterpret_cast<const unsigned char*>(a);
  const auto* y = reinterpret_cast<const unsigned char*>(b);
  for (std::size_t i = 0; i < length; ++i) {
    const int d = static_cast<int>(Fold(x[i])) - static_cast<int>(Fold(y[i]));
    if (d != 0 || x[i] == 0) return d;
  }
  return 0;
}

void QUVOMBCopyToFixed_A(char* buffer, int bufferLength, const char* text, int textLength) {
  if (buffer == nullptr || text == nullptr || bufferLength <= 0 || textLength <= 0) return;
  std::memcpy(buffer, text, static_cast<std::size_t>(std::min(bufferLength, textLength)));
}

int ValidateQUVOName(const char* name) {
  static constexpr std::array<const char*, 13> kReserved = {"ALL", "AND", "BY",  "EQ", "GE", "GT",  "LE",
                                                            "LT",  "NE",  "NOT", "OR", "TO", "WITH"};
  if (name == nullptr || name[0] == '\0') return 1;
  const std::size_t length = std::strlen(name);
  if (length > 64) return 2;
  const auto* bytes = reinterpret_cast<const unsigned char*>(name);
  if (!IsNameStart(bytes[0])) return 3;
  for (std::size_t i = 1; i < length; ++i) {
    if (!IsNameChar(bytes[i])) return 3;
  }
  if (bytes[length - 1] == '.') return 3;  // a final period would read as the end of a command
  for (const char* word : kReserved) {
    if (QUVOMBstricmp_A(name, word) == 0) return 4;
  }
  return 0;
}
