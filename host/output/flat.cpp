#include "host/output/flat.h"

#include <unordered_map>

namespace host {

namespace {

bool HasCategory(const GroupNode& group) {
  for (const Child& c : group.children) {
    if (c.Category()) return true;
    if (c.Group() && HasCategory(*c.Group())) return true;
  }
  return false;
}

void Walk(const GroupNode& group, int depth, std::vector<FlatRow>& rows) {
  for (const Child& c : group.children) {
    if (c.Category()) {
      rows.push_back(FlatRow{depth, nullptr, c.Category()});
    } else if (c.Group() && HasCategory(*c.Group())) {
      rows.push_back(FlatRow{depth, c.Group(), nullptr});
      Walk(*c.Group(), depth + 1, rows);
    }
  }
}

// Finds the candidate column of a cell. Tables have a handful of columns, so
// a scan beats hashing; wide column dimensions get a hash table.
class ColumnIndex {
 public:
  explicit ColumnIndex(const std::vector<FlatColumn>& candidates) : fCandidates(candidates) {
    if (candidates.size() > kScanUpTo) {
      for (std::size_t i = 0; i < candidates.size(); ++i) fHash.emplace(candidates[i].category, i);
    }
  }
  std::size_t Of(const CategoryNode* column) const {
    if (fCandidates.size() > kScanUpTo) {
      auto it = fHash.find(column);
      return it == fHash.end() ? fCandidates.size() - 1 : it->second;
    }
    for (std::size_t i = 0; i < fCandidates.size(); ++i) {
      if (fCandidates[i].category == column) return i;
    }
    return fCandidates.size() - 1;  // cells of columns outside the dimension: with the row's own
  }

 private:
  static constexpr std::size_t kScanUpTo = 16;
  const std::vector<FlatColumn>& fCandidates;
  std::unordered_map<const CategoryNode*, std::size_t> fHash;
};

}  // namespace

std::string FlatTable::Join(CellList cells) {
  if (cells.size() == 1) return cells[0]->text.str();
  std::string out;
  for (std::size_t i = 0; i < cells.size(); ++i) {
    if (i > 0) out.push_back('\n');
    out += cells[i]->text;
  }
  return out;
}

FlatTable Flatten(const TableNode& table) {
  FlatTable flat;
  flat.table = &table;
  if (const DimensionNode* rows = table.RowDimension()) Walk(*rows, 0, flat.rows);

  // Candidate columns: the leaf categories of the column dimension, then one
  // for cells set on rows directly.
  std::vector<FlatColumn> candidates;
  const DimensionNode* columns = table.ColumnDimension();
  flat.hasColumnDimension = columns != nullptr;
  if (columns != nullptr) {
    columns->ForEachCategory([&](const CategoryNode& c) { candidates.push_back(FlatColumn{&c, c.label.text, false}); });
  }
  candidates.push_back(FlatColumn{});
  const ColumnIndex index(candidates);

  std::vector<bool> used(candidates.size(), false);
  std::vector<bool> numeric(candidates.size(), true);
  std::size_t cellCount = 0;
  for (const FlatRow& row : flat.rows) {
    if (row.row == nullptr) continue;
    for (const Cell& cell : row.row->Cells()) {
      const std::size_t c = index.Of(cell.column);
      used[c] = true;
      if (!cell.text.RightAligned()) numeric[c] = false;
      ++cellCount;
    }
  }
  std::vector<std::size_t> keep;
  for (std::size_t c = 0; c < candidates.size(); ++c) {
    if (!used[c]) continue;
    candidates[c].numeric = numeric[c];
    flat.columns.push_back(candidates[c]);
    keep.push_back(c);
  }

  // Bucket each row's cells by visible column, keeping their order.
  const std::size_t n = flat.columns.size();
  flat.refs.reserve(cellCount);
  flat.start.reserve(flat.rows.size() * n + 1);
  for (const FlatRow& row : flat.rows) {
    for (std::size_t k = 0; k < n; ++k) {
      flat.start.push_back(static_cast<std::uint32_t>(flat.refs.size()));
      if (row.row == nullptr) continue;
      for (const Cell& cell : row.row->Cells()) {
        if (index.Of(cell.column) == keep[k]) flat.refs.push_back(&cell.text);
      }
    }
  }
  flat.start.push_back(static_cast<std::uint32_t>(flat.refs.size()));
  return flat;
}

std::size_t DisplayWidth(std::string_view text) {
  std::size_t n = 0;
  for (unsigned char c : text) {
    if ((c & 0xC0) != 0x80) ++n;
  }
  return n;
}

}  // namespace host
