// A block of consecutive cases in columnar form: what the case iterator walks
// and the aggregation engine reads. Blocks are filled by the dataset readers,
// possibly on another thread, and handed over whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// String cells of one variable: cell r is bytes[offsets[r], offsets[r + 1]),
// with trailing blanks already trimmed.
struct StringColumn {
  std::vector<std::uint32_t> offsets;  // rows + 1 entries
  std::string bytes;

  // The text of row r.
  std::string_view Cell(std::size_t r) const { return {bytes.data() + offsets[r], offsets[r + 1] - offsets[r]}; }
};

// What a pass made of a block on the thread that read it (the aggregation
// tables' share of it), handed over with the block.
struct BlockWork {
  virtual ~BlockWork() = default;
};

struct CaseBlock {
  std::size_t rows = 0;
  // Per variable, by dictionary index: numeric cells (SYSMIS for
  // system-missing); an empty vector for string variables.
  std::vector<std::vector<double>> numbers;
  // Per variable, by dictionary index: string cells; empty for numeric ones.
  std::vector<StringColumn> strings;
  // Per case weight; empty when the file is unweighted.
  std::vector<double> weights;
  // Per case: true when the case starts a new split-file group (the first
  // case of the file included). Empty without split files.
  std::vector<std::uint8_t> groupStart;
  // Set by the pass's gathering step when the source runs it; null otherwise.
  std::shared_ptr<BlockWork> work;
  // True while the source has let the block's cells go, once the reader
  // thread had gathered it (numbers and strings empty, rows and the rest
  // kept): a wide file's cells are tens of megabytes a block, and what the
  // iterator's thread needs of a gathered block is its work. cellsBack puts
  // the same cells back; whatever reads cells on the iterator's thread calls
  // EnsureCells first.
  bool cellsAway = false;
  std::function<void()> cellsBack;
};

// The block's cells, read again if the source let them go: once back, only
// a flag is tested.
inline void EnsureCells(const CaseBlock& block) {
  if (block.cellsAway) block.cellsBack();
}

// Where a case iterator stands: the block, the row in it, and whether the
// position is the end of a split-file group. Every block the iterator moves
// to gets a new serial (from 1), so that tables can tell blocks apart even
// when a reader reuses a block's memory. An iterator moves it with Place.
struct CasePosition {
  const CaseBlock* block = nullptr;
  std::size_t row = 0;
  std::uint64_t serial = 0;
  bool groupEnd = false;
  // The serial and the row in one number, with no row at a group end: a
  // table's per-case check compares it with the one it expects next, one
  // comparison for all three. A serial and a row each take 32 bits; the
  // iterator checks that its blocks' serials and rows stay below kNoRow
  // (four billion rows of one column would take 32 GiB).
  std::uint64_t ticket = Ticket(0, kNoRow);

  static constexpr std::uint64_t kNoRow = 0xFFFFFFFFu;
  static constexpr std::uint64_t Ticket(std::uint64_t serial, std::uint64_t row) { return serial << 32 | row; }
  // The row of a ticket.
  static constexpr std::size_t RowOf(std::uint64_t ticket) { return static_cast<std::size_t>(ticket & kNoRow); }
  // Serial set first.
  void Place(std::size_t at, bool end) {
    row = at;
    groupEnd = end;
    ticket = Ticket(serial, end ? kNoRow : at);
  }
};

}  // namespace host
