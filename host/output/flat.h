// A table laid flat for the renderers: its visible columns (the leaf
// categories of the column dimension that hold at least one cell) and its
// rows in display order, group headings included. Groups without any
// category beneath them are left out; JSON, which shows everything, does not
// use this.
#pragma once

#include <string>
#include <vector>

#include "host/output/model.h"

namespace host {

struct FlatColumn {
  const CategoryNode* category = nullptr;  // null: cells set on rows directly
  std::string label;
  bool numeric = false;  // every cell in it is a right-aligned value
};

struct FlatRow {
  int depth = 0;                       // nesting below the row dimension
  const GroupNode* group = nullptr;    // set for a group heading
  const CategoryNode* row = nullptr;   // set for a category row
  // Per visible column, the cells set there, in order (several cells on one
  // row and column are shown one under the other).
  std::vector<std::vector<const CellText*>> cells;

  const CellText& Label() const { return group ? group->label : row->label; }
};

struct FlatTable {
  const TableNode* table = nullptr;
  std::vector<FlatColumn> columns;
  std::vector<FlatRow> rows;
  bool hasColumnDimension = false;

  // The text of one cell position: the cells joined by line feeds.
  static std::string Join(const std::vector<const CellText*>& cells);
};

FlatTable Flatten(const TableNode& table);

// Display width of UTF-8 text in terminal columns (one per code point).
std::size_t DisplayWidth(const std::string& text);

}  // namespace host
