// A case iterator over hand-made blocks for the engine and statistics tests:
// split-group ends become positions of their own (as the host's iterator
// makes them) and every NextCase call is counted, so tests can see how far
// a pass read.
#pragma once

#include <cstddef>
#include <vector>

#include "host/case_block.h"
#include "host/quvo.h"

namespace enginetest {

class BlockIterator : public ProcDSIterator {
 public:
  BlockIterator(const QUVO_DataSource* source, const std::vector<host::CaseBlock>* blocks)
      : ProcDSIterator(source), fBlocks(blocks) {}

  int NextCase() override {
    ++fCalls;
    if (fPending) {
      fPending = false;
      fPos.Place(fPos.row, false);
      return 1;
    }
    for (;;) {
      if (fBlockIndex >= fBlocks->size()) {
        if (fPos.block != nullptr) SetBlock(nullptr);
        fPos.Place(fPos.row, false);
        return 0;
      }
      const host::CaseBlock& block = (*fBlocks)[fBlockIndex];
      if (fNext < block.rows) {
        if (fPos.block != &block) SetBlock(&block);
        const std::size_t row = fNext++;
        ++fDelivered;
        if (fDelivered > 1 && !block.groupStart.empty() && block.groupStart[row] != 0) {
          fPos.Place(row, true);
          fPending = true;
          return 1;
        }
        fPos.Place(row, false);
        return 1;
      }
      ++fBlockIndex;
      fNext = 0;
    }
  }

  int Calls() const { return fCalls; }
  std::size_t Delivered() const { return fDelivered; }

 private:
  const std::vector<host::CaseBlock>* fBlocks;
  std::size_t fBlockIndex = 0;
  std::size_t fNext = 0;
  std::size_t fDelivered = 0;
  bool fPending = false;
  int fCalls = 0;
};

// One block of numeric columns, optionally weighted.
inline host::CaseBlock NumericBlock(const std::vector<std::vector<double>>& columns,
                                    const std::vector<double>& weights = {}) {
  host::CaseBlock block;
  block.rows = columns.empty() ? weights.size() : columns.front().size();
  block.numbers = columns;
  block.strings.resize(columns.size());
  block.weights = weights;
  return block;
}

}  // namespace enginetest
