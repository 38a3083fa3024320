#include "host/output/flat.h"

#include <map>

namespace host {

namespace {

bool HasCategory(const GroupNode& group) {
  for (const Child& c : group.children) {
    if (c.category) return true;
    if (c.group && HasCategory(*c.group)) return true;
  }
  return false;
}

void Walk(const GroupNode& group, int depth, std::vector<FlatRow>& rows) {
  for (const Child& c : group.children) {
    if (c.category) {
      FlatRow r;
      r.depth = depth;
      r.row = c.category.get();
      rows.push_back(std::move(r));
    } else if (c.group && HasCategory(*c.group)) {
      FlatRow r;
      r.depth = depth;
      r.group = c.group.get();
      rows.push_back(std::move(r));
      Walk(*c.group, depth + 1, rows);
    }
  }
}

}  // namespace

std::string FlatTable::Join(const std::vector<const CellText*>& cells) {
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
    columns->ForEachCategory([&](const CategoryNode& c) {
      FlatColumn col;
      col.category = &c;
      col.label = c.label.text;
      candidates.push_back(col);
    });
  }
  candidates.push_back(FlatColumn{});

  std::map<const CategoryNode*, std::size_t> index;
  for (std::size_t i = 0; i < candidates.size(); ++i) index[candidates[i].category] = i;

  std::vector<std::vector<std::vector<const CellText*>>> cells(flat.rows.size());
  std::vector<bool> used(candidates.size(), false);
  std::vector<bool> numeric(candidates.size(), true);
  for (std::size_t r = 0; r < flat.rows.size(); ++r) {
    cells[r].resize(candidates.size());
    if (flat.rows[r].row == nullptr) continue;
    for (const Cell& cell : flat.rows[r].row->cells) {
      auto it = index.find(cell.column);
      std::size_t c = it == index.end() ? candidates.size() - 1 : it->second;
      cells[r][c].push_back(&cell.text);
      used[c] = true;
      if (!cell.text.RightAligned()) numeric[c] = false;
    }
  }
  std::vector<std::size_t> keep;
  for (std::size_t c = 0; c < candidates.size(); ++c) {
    if (!used[c]) continue;
    candidates[c].numeric = numeric[c];
    flat.columns.push_back(candidates[c]);
    keep.push_back(c);
  }
  for (std::size_t r = 0; r < flat.rows.size(); ++r) {
    if (flat.rows[r].row == nullptr) continue;
    for (std::size_t c : keep) flat.rows[r].cells.push_back(std::move(cells[r][c]));
  }
  for (FlatRow& row : flat.rows) {
    if (row.group != nullptr) row.cells.resize(flat.columns.size());
  }
  return flat;
}

std::size_t DisplayWidth(const std::string& text) {
  std::size_t n = 0;
  for (unsigned char c : text) {
    if ((c & 0xC0) != 0x80) ++n;
  }
  return n;
}

}  // namespace host
