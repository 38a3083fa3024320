// The dataset's name index, the in-memory case source and the active dataset.
#include "host/data/dataset.h"
#include "host/common/text.h"

#include <atomic>
#include <mutex>

#include "host/engine/profile.h"

namespace host {

void Dataset::IndexNames() {
  fByFoldedName.clear();
  for (std::size_t i = 0; i < variables.size(); ++i) {
    fByFoldedName.emplace(UpperAscii(variables[i]->name), static_cast<int>(i));
  }
}

void Dataset::KeepProfile(engine::DataProfile&& later) {
  if (!profile) profile = std::make_shared<engine::DataProfile>();
  profile->Absorb(std::move(later));
}

int Dataset::Find(std::string_view name) const {
  auto found = fByFoldedName.find(UpperAscii(name));
  return found == fByFoldedName.end() ? -1 : found->second;
}

namespace {

class MemoryCursor : public CaseCursor {
 public:
  explicit MemoryCursor(const std::vector<CaseBlock>& blocks) : fBlocks(blocks) {}

  const CaseBlock* NextBlock() override {
    if (fNext >= fBlocks.size()) return nullptr;
    return &fBlocks[fNext++];
  }

  std::int64_t CountRemaining() override {
    std::int64_t count = 0;
    for (std::size_t i = fNext; i < fBlocks.size(); ++i) count += static_cast<std::int64_t>(fBlocks[i].rows);
    return count;
  }

 private:
  const std::vector<CaseBlock>& fBlocks;
  std::size_t fNext = 0;
};

std::mutex gActiveMutex;
std::shared_ptr<Dataset> gActive;
ProgressFunction gProgress;
std::atomic<std::int64_t> gProgressInterval{kProgressInterval.count()};
std::atomic<int> gThreads{0};

}  // namespace

std::vector<std::string> DatasetFiles(const Dataset& dataset) { return dataset.files; }

std::unique_ptr<CaseCursor> MemoryCaseSource::Open() const { return std::make_unique<MemoryCursor>(fBlocks); }

void SetActiveDataset(std::shared_ptr<Dataset> dataset) {
  std::lock_guard<std::mutex> lock(gActiveMutex);
  gActive = std::move(dataset);
}

std::shared_ptr<Dataset> ActiveDataset() {
  std::lock_guard<std::mutex> lock(gActiveMutex);
  return gActive;
}

void SetProgressFunction(ProgressFunction function) { gProgress = std::move(function); }

const ProgressFunction& CurrentProgressFunction() { return gProgress; }

std::chrono::milliseconds ProgressInterval() { return std::chrono::milliseconds(gProgressInterval.load()); }

void SetProgressInterval(std::chrono::milliseconds interval) { gProgressInterval.store(interval.count()); }

void SetThreads(int threads) { gThreads.store(threads < 0 ? 0 : threads); }

int Threads() { return gThreads.load(); }

}  // namespace host
