// A table laid flat for the renderers: its visible columns (the leaf
// categories of the column dimension that hold at least one cell) and its
// rows in display order, group headings included. Groups without any
// category beneath them are left out; JSON, which shows everything, does not
// use this.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "host/output/model.h"

namespace host {

struct FlatColumn {
  const CategoryNode* category = nullptr;  // null: cells set on rows directly
  std::string_view label;
  bool numeric = false;  // every cell in it is a right-aligned value
};

struct FlatRow {
  int depth = 0;                      // nesting below the row dimension
  const GroupNode* group = nullptr;   // set for a group heading
  const CategoryNode* row = nullptr;  // set for a category row

  const CellText& Label() const { return group ? group->label : row->label; }
};

// The cells at one row and column, in the order set (several cells on one
// row and column are shown one under the other).
using CellList = std::span<const CellText* const>;

struct FlatTable {
  const TableNode* table = nullptr;
  std::vector<FlatColumn> columns;
  std::vector<FlatRow> rows;
  bool hasColumnDimension = false;

  // The cells of row r in visible column c; empty for group headings.
  CellList Cells(std::size_t r, std::size_t c) const {
    const std::size_t at = r * columns.size() + c;
    return {refs.data() + start[at], refs.data() + start[at + 1]};
  }

  // The text of one cell position: the cells joined by line feeds.
  static std::string Join(CellList cells);

  // Every cell of every row, grouped by row then column; start[r * columns +
  // c] is where the cells of row r, column c begin.
  std::vector<const CellText*> refs;
  std::vector<std::uint32_t> start;
};

FlatTable Flatten(const TableNode& table);

// Display width of UTF-8 text in terminal columns: two for wide characters
// (CJK ideographs, kana, Hangul, fullwidth forms), none for combining marks
// and zero-width characters, one for the rest (a control character counts
// one: the text renderer shows it as a blank).
std::size_t DisplayWidth(std::string_view text);

// The number of bytes of text's first code points that fill at most `columns`
// terminal columns, at least one code point when text is not empty.
std::size_t PrefixForColumns(std::string_view text, std::size_t columns);
std::size_t DisplayWidth(std::string_view text);

}  // namespace host
