// The output document and the navigation helpers of its nodes.
#include "host/output/model.h"

#include <algorithm>
#include <utility>

namespace host {

DimensionNode* GroupNode::Dimension() {
  GroupNode* g = this;
  while (g->parent != nullptr) g = g->parent;
  return static_cast<DimensionNode*>(g);  // the outermost group is always a dimension
}

const DimensionNode* GroupNode::Dimension() const { return const_cast<GroupNode*>(this)->Dimension(); }

DimensionNode* CategoryNode::Dimension() const { return parent ? parent->Dimension() : nullptr; }

TableNode* CategoryNode::Table() const { return parent ? parent->table : nullptr; }

std::string_view CategoryNode::Origin() const {
  if (origin == 0) return label.text;
  return Table()->origins[origin - 1];
}

bool TableNode::MayGrow(const GroupNode& group) const {
  if (complete) return false;
  for (const GroupNode* g = current; g != nullptr; g = g->parent) {
    if (g == &group) return true;
  }
  return false;
}

const DimensionNode* TableNode::RowDimension() const {
  for (const auto& d : dimensions) {
    if (d->place == kRows) return d.get();
  }
  return nullptr;
}

const DimensionNode* TableNode::ColumnDimension() const {
  for (const auto& d : dimensions) {
    if (d->place == kColumns) return d.get();
  }
  return nullptr;
}

const CategoryNode* TableNode::FindRow(const std::string& label) const {
  const DimensionNode* rows = RowDimension();
  if (rows == nullptr) return nullptr;
  const CategoryNode* found = nullptr;
  rows->ForEachCategory([&](const CategoryNode& c) {
    if (found == nullptr && c.label.text == label) found = &c;
  });
  return found;
}

CategoryNode& TableNode::NewCategory(GroupNode* parent, const LabelText& label) {
  CategoryNode* reused = nullptr;
  if (!freeRows.empty()) {
    reused = freeRows.back();
    freeRows.pop_back();
    *reused = CategoryNode{};
  }
  CategoryNode& category = reused != nullptr ? *reused : arena->categories.Add();
  category.label = label;
  category.parent = parent;
  if (label.hasExtra) {
    origins.push_back(label.extra);
    category.origin = static_cast<std::uint32_t>(origins.size());
  }
  return category;
}

namespace {
// Cell blocks grow geometrically from a small first block, so a document of
// a dozen cells reserves little and one of millions needs few blocks.
constexpr std::size_t kFirstCellBlock = 16;
constexpr std::size_t kLargestCellBlock = 8192;
}  // namespace

void TableNode::AddCell(CategoryNode& row, const CategoryNode* column, const CellText& text) {
  CB_CHECK("output", !row.written);
  if (streamed && &row == lastRow && !row.spilled && (row.cellCount == 0 || row.firstCell == rowCells.data())) {
    rowCells.push_back(Cell{column, text});
    row.firstCell = rowCells.data();
    ++row.cellCount;
    return;
  }
  if (row.spilled) {
    std::vector<Cell>& cells = spilledCells[&row];
    cells.push_back(Cell{column, text});
    row.firstCell = cells.data();
    ++row.cellCount;
    return;
  }
  std::vector<std::vector<Cell>>& cellBlocks = arena->cellBlocks;
  std::vector<Cell>* block = cellBlocks.empty() ? nullptr : &cellBlocks.back();
  const bool atEnd =
      row.cellCount == 0 || (block != nullptr && row.firstCell + row.cellCount == block->data() + block->size());
  if (atEnd && block != nullptr && block->size() < block->capacity()) {
    if (row.cellCount == 0) row.firstCell = block->data() + block->size();
    block->push_back(Cell{column, text});
    ++row.cellCount;
    return;
  }
  const std::size_t need = static_cast<std::size_t>(row.cellCount) + 1;
  if (!atEnd) {
    // Other rows' cells follow this row's: it grows on in a run of its own
    // (procedures rarely come back to an earlier row).
    std::vector<Cell>& cells = spilledCells[&row];
    cells.reserve(std::max<std::size_t>(8, 2 * need));
    cells.assign(row.firstCell, row.firstCell + row.cellCount);
    cells.push_back(Cell{column, text});
    row.firstCell = cells.data();
    ++row.cellCount;
    row.spilled = 1;
    return;
  }
  // The block is full: the row's run moves to the start of a new block, which
  // is at least twice its length, and grows there. The old copies stay
  // behind unused.
  const std::size_t grown =
      std::min(kLargestCellBlock, kFirstCellBlock << std::min<std::size_t>(cellBlocks.size(), 16));
  cellBlocks.emplace_back().reserve(std::max(grown, 2 * need));
  block = &cellBlocks.back();
  Cell* moved = block->data();
  for (std::uint32_t i = 0; i < row.cellCount; ++i) block->push_back(row.firstCell[i]);
  block->push_back(Cell{column, text});
  row.firstCell = moved;
  ++row.cellCount;
}

void TableNode::KeepWaitingRow(CategoryNode& row) {
  if (row.written || row.spilled || row.cellCount == 0 || row.firstCell != rowCells.data()) return;
  // Earlier rows are not written yet: this one waits among them, its cells
  // where a table that is not streamed keeps them.
  const std::vector<Cell> cells(rowCells.begin(), rowCells.begin() + row.cellCount);
  row.cellCount = 0;
  row.firstCell = nullptr;
  const bool wasStreamed = streamed;
  streamed = false;
  for (const Cell& cell : cells) AddCell(row, cell.column, cell.text);
  streamed = wasStreamed;
}

void TableNode::Release(CategoryNode& row) {
  if (row.spilled) spilledCells.erase(&row);
  if (row.origin != 0) {
    if (row.origin == origins.size()) {
      origins.pop_back();
    } else {
      std::string().swap(origins[row.origin - 1]);
    }
  }
  if (&row == lastRow) {
    lastRow = nullptr;
    rowCells.clear();
  }
  row.written = 1;
  freeRows.push_back(&row);
}

TableNode* OutputDocument::AddTable(std::string heading) {
  // A table built in order is complete once another item starts.
  if (!fItems.empty() && fItems.back().IsTable() && fItems.back().table->streamed) fItems.back().table->complete = true;
  Item item;
  item.table = std::make_unique<TableNode>();
  item.table->heading = std::move(heading);
  item.table->arena = fArena.get();
  item.table->document = this;
  TableNode* table = item.table.get();
  fItems.push_back(std::move(item));
  Pump();
  return table;
}

void OutputDocument::AddMessage(Severity severity, std::string text, std::string place) {
  if (!fItems.empty() && fItems.back().IsTable() && fItems.back().table->streamed) fItems.back().table->complete = true;
  Item item;
  item.message.severity = severity;
  item.message.text = std::move(text);
  item.message.place = std::move(place);
  if (severity == Severity::Error) ++fErrors;
  fItems.push_back(std::move(item));
  Pump();
}

void OutputDocument::Clear() {
  fItems.clear();
  fArena = std::make_unique<NodeArena>();
  fErrors = 0;
  fWritten = 0;
}

void OutputDocument::RowFinished(TableNode& table) {
  CategoryNode* row = table.lastRow;
  if (row == nullptr) return;
  table.lastRow = nullptr;
  Pump();
  table.KeepWaitingRow(*row);
  table.rowCells.clear();
}

void OutputDocument::CompleteAll() {
  for (std::size_t i = fWritten; i < fItems.size(); ++i) {
    if (fItems[i].IsTable()) fItems[i].table->complete = true;
  }
  Pump();
}

void OutputDocument::Pump() {
  if (fSink == nullptr) return;
  while (fWritten < fItems.size() && fSink->Write(fItems[fWritten])) ++fWritten;
}

OutputDocument& Output() {
  // Never destroyed: taking apart millions of nodes at exit would only cost
  // time (a fifth of a wide run); the process gives the memory back at once.
  static OutputDocument* document = new OutputDocument;
  return *document;
}

void AddMessage(Severity severity, const std::string& text) { Output().AddMessage(severity, text); }
void AddMessage(Severity severity, const std::string& text, const std::string& place) {
  Output().AddMessage(severity, text, place);
}

int ErrorCount() { return Output().Errors(); }

void ResetOutput() { Output().Clear(); }

}  // namespace host
