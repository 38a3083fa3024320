// The host's output model: the run's document, holding tables and messages in
// the order produced. The Bp classes of host/output.h build into it; the
// renderers (host/output/render_*.cpp) read it.
//
// Ownership: the document owns its items and, in one arena, every group,
// category and cell of its tables (groups link to their children); a table
// owns its dimensions. Nodes and cells never move once made, so the raw
// pointers in the Bp handles and in the groups stay valid until
// ResetOutput().
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/check.h"
#include "host/document.h"

namespace host {

// What a cell text or a label was made from. The renderers show `text`
// everywhere; JSON also reports the raw facts kept beside it. (Not the kind
// of a column's cells in a data file: that is host/data/cells.h's CellKind.)
enum class CellOrigin : std::uint8_t { String, Number, DataValue, Variable };

// The text of a cell or label in 12 bytes (a std::string takes 32): up to
// 11 bytes in place (counts, percents, most codes and short values), longer
// texts in a block of their own that starts with their length. A listing of
// a million values holds three million of them.
class ShortText {
 public:
  ShortText() noexcept { fBytes[kLast] = 0; }
  ShortText(std::string_view text) { Set(text); }                            // NOLINT: a text is a text
  ShortText(const std::string& text) : ShortText(std::string_view(text)) {}  // NOLINT
  ShortText(const char* text) : ShortText(std::string_view(text)) {}         // NOLINT
  ShortText(const ShortText& other) { Set(other.view()); }
  ShortText(ShortText&& other) noexcept {
    std::memcpy(fBytes, other.fBytes, sizeof fBytes);
    other.fBytes[kLast] = 0;
  }
  ShortText& operator=(const ShortText& other) {
    if (this != &other) Assign(other.view());
    return *this;
  }
  ShortText& operator=(ShortText&& other) noexcept {
    if (this != &other) {
      Free();
      std::memcpy(fBytes, other.fBytes, sizeof fBytes);
      other.fBytes[kLast] = 0;
    }
    return *this;
  }
  ShortText& operator=(std::string_view text) {
    Assign(text);
    return *this;
  }
  ShortText& operator=(const std::string& text) { return *this = std::string_view(text); }
  ShortText& operator=(const char* text) { return *this = std::string_view(text); }
  ~ShortText() { Free(); }

  std::string_view view() const {
    if (!OnHeap()) return {fBytes, static_cast<unsigned char>(fBytes[kLast])};
    const char* block = Block();
    std::size_t size = 0;
    std::memcpy(&size, block, sizeof size);
    return {block + sizeof size, size};
  }
  operator std::string_view() const { return view(); }  // NOLINT: read as a view
  std::string str() const { return std::string(view()); }
  const char* data() const { return view().data(); }
  std::size_t size() const { return view().size(); }
  bool empty() const { return size() == 0; }
  bool starts_with(std::string_view prefix) const { return view().starts_with(prefix); }

  friend bool operator==(const ShortText& a, const ShortText& b) { return a.view() == b.view(); }
  friend bool operator==(const ShortText& a, std::string_view b) { return a.view() == b; }
  friend bool operator==(const ShortText& a, const std::string& b) { return a.view() == b; }
  friend bool operator==(const ShortText& a, const char* b) { return a.view() == b; }
  friend std::ostream& operator<<(std::ostream& out, const ShortText& t) { return out << t.view(); }

 private:
  static constexpr std::size_t kLast = 11;
  static constexpr char kHeap = static_cast<char>(0x80);

  bool OnHeap() const { return fBytes[kLast] == kHeap; }
  char* Block() const {
    char* block = nullptr;
    std::memcpy(&block, fBytes, sizeof block);
    return block;
  }
  void Free() {
    if (OnHeap()) delete[] Block();
    fBytes[kLast] = 0;
  }
  void Assign(std::string_view text) {
    // `text` may be this text's own bytes: copy before freeing.
    ShortText copy(text);
    *this = std::move(copy);
  }
  void Set(std::string_view text) {
    const std::size_t size = text.size();
    if (size <= kLast) {
      if (size != 0) std::memcpy(fBytes, text.data(), size);
      fBytes[kLast] = static_cast<char>(size);
      return;
    }
    char* block = new char[sizeof size + size];
    std::memcpy(block, &size, sizeof size);
    std::memcpy(block + sizeof size, text.data(), size);
    std::memcpy(fBytes, &block, sizeof block);
    fBytes[kLast] = kHeap;
  }

  char fBytes[12];
};
static_assert(sizeof(ShortText) == 12, "a text takes 12 bytes");

// What a cell shows. Kept small (a codebook can hold millions of cells): the
// text in 12 bytes, flags in bits, and the number beside it serves both statistics and
// numeric data values.
struct CellText {
  // Number: the unrounded value. DataValue (numeric): the raw value. Only
  // meaningful when hasNumber; system-missing and values that are not
  // finite have none (they show ".").
  double number = 0.0;
  ShortText text;  // as rendered (leading blanks of right-aligned fields trimmed)
  CellOrigin kind = CellOrigin::String;
  bool hasNumber : 1 = false;
  bool fixed : 1 = false;          // String: the procedure's own wording (not data text)
  bool percent : 1 = false;        // Number: shown with "%"
  bool valueIsString : 1 = false;  // DataValue: a string value
  std::int16_t decimals = 0;       // Number: decimals shown

  // True for numbers and numeric data values: text renderers align them to
  // the right.
  bool RightAligned() const { return kind == CellOrigin::Number || (kind == CellOrigin::DataValue && !valueIsString); }
};
static_assert(sizeof(CellText) == 24, "a cell's text stays small");

// A label (of a table, dimension, group or category): a cell text plus what
// JSON reports about its origin. `extra` is kept only when it differs from
// the text, which for data values and variable names it rarely does.
struct LabelText : CellText {
  std::string extra;
  bool hasExtra = false;

  LabelText() = default;
  LabelText(const CellText& t) : CellText(t) {}  // NOLINT: a plain text is a label

  // DataValue (string): the raw value. Variable: the variable's name.
  std::string_view Origin() const { return hasExtra ? std::string_view(extra) : text.view(); }
  void SetOrigin(std::string origin) {
    hasExtra = !(text == origin);
    extra = hasExtra ? std::move(origin) : std::string();
  }
};

// Storage for many nodes of one kind that never moves them: chunks that
// grow geometrically, so a table of a dozen nodes allocates once and small,
// and one of millions needs few allocations.
template <typename T, std::size_t kFirst>
class NodeStore {
 public:
  T& Add() {
    if (fUsed == fCapacity) {
      fCapacity = fChunks.empty() ? kFirst : std::min(kLargest, fCapacity * 2);
      fChunks.push_back(std::make_unique<T[]>(fCapacity));
      fUsed = 0;
    }
    return fChunks.back()[fUsed++];
  }

 private:
  static constexpr std::size_t kLargest = 4096;
  std::vector<std::unique_ptr<T[]>> fChunks;
  std::size_t fUsed = 0;
  std::size_t fCapacity = 0;
};

struct CategoryNode;
struct GroupNode;
struct DimensionNode;
struct TableNode;

// One cell of a row: the column category it was set on (null when set on the
// row itself) and its text.
struct Cell {
  const CategoryNode* column = nullptr;
  CellText text;
};

struct CategoryNode {
  // The label's origin, when it differs from the text, is kept by the table
  // (categories are many; such origins are few): see Origin().
  CellText label;
  GroupNode* parent = nullptr;
  // The row's cells in the order set (rows only): a run in the table's cell
  // store, which never moves them.
  Cell* firstCell = nullptr;
  std::uint32_t cellCount = 0;
  std::uint32_t origin : 30 = 0;  // 1 + index into the table's origins; 0: the label text
  std::uint32_t spilled : 1 = 0;  // the cells live in the table's spilled runs
  std::uint32_t written : 1 = 0;  // streamed table: written out, the node free for another row

  std::span<const Cell> Cells() const { return {firstCell, cellCount}; }
  // DataValue (string): the raw value. Variable: the variable's name.
  std::string_view Origin() const;
  DimensionNode* Dimension() const;
  TableNode* Table() const;
};

// A child of a group: a group or a category (the table owns both), in one
// tagged pointer, since a listing of a million values has a million of them.
class Child {
 public:
  explicit Child(GroupNode* group) : fBits(reinterpret_cast<std::uintptr_t>(group) | kGroup) {}
  explicit Child(CategoryNode* category) : fBits(reinterpret_cast<std::uintptr_t>(category)) {}
  GroupNode* Group() const { return (fBits & kGroup) ? reinterpret_cast<GroupNode*>(fBits & ~kGroup) : nullptr; }
  CategoryNode* Category() const { return (fBits & kGroup) ? nullptr : reinterpret_cast<CategoryNode*>(fBits); }

 private:
  static constexpr std::uintptr_t kGroup = 1;  // nodes are aligned: the low bit is free
  std::uintptr_t fBits;
};

struct GroupNode {
  virtual ~GroupNode() = default;

  LabelText label;
  bool flag = true;
  bool closed = false;  // streamed table: written out to its end
  int sort = 0;
  GroupNode* parent = nullptr;  // null for a dimension
  TableNode* table = nullptr;
  std::vector<Child> children;  // in the order made

  DimensionNode* Dimension();
  const DimensionNode* Dimension() const;

  // Walks the categories under this group, depth first in order.
  template <typename F>
  void ForEachCategory(F&& f) const {
    for (const Child& c : children) {
      if (CategoryNode* category = c.Category()) {
        f(*category);
      } else if (GroupNode* group = c.Group()) {
        group->ForEachCategory(f);
      }
    }
  }
};

enum Place : int { kRows = 0, kColumns = 1, kLayers = 2 };

struct DimensionNode : GroupNode {
  int place = kRows;
  int index = 0;
  bool flag1 = false;
  bool flag2 = false;
};

// Where the groups, categories and cells of every table of a document live:
// shared by the tables, so a table of a dozen rows leaves no half-empty
// chunk behind, and freed all at once with the document.
struct NodeArena {
  NodeStore<GroupNode, 64> groups;
  NodeStore<CategoryNode, 256> categories;
  std::vector<std::vector<Cell>> cellBlocks;  // each filled only up to its capacity
};

class OutputDocument;

struct TableNode {
  std::string heading;  // the procedure heading it opened under
  LabelText title;
  LabelText lookup;
  bool flag = false;
  int minDataColumnWidth = 0;
  std::vector<std::unique_ptr<DimensionNode>> dimensions;  // in the order made

  // Storage of the nodes below the dimensions (the document's). Node stores
  // and cell blocks never move what they hold, so node and cell pointers
  // stay valid.
  NodeArena* arena = nullptr;
  OutputDocument* document = nullptr;
  std::vector<std::string> origins;  // of category labels that differ from their text
  // Rows that got cells again after other rows had theirs keep them here.
  std::unordered_map<const CategoryNode*, std::vector<Cell>> spilledCells;

  GroupNode& NewGroup() { return arena->groups.Add(); }
  CategoryNode& NewCategory(GroupNode* parent, const LabelText& label);
  // Appends a cell to a row, keeping the row's cells one contiguous run.
  void AddCell(CategoryNode& row, const CategoryNode* column, const CellText& text);

  // The row category made last: a cell set on a column category joins it.
  CategoryNode* lastRow = nullptr;

  // Built in order (BpPivotTable::InOrder) while the document streams: a row
  // is final once the next one starts, the table once the next item does.
  // Rows are written out as they become final and their nodes reused; the
  // cells of the row made last sit in rowCells until it is written (or, when
  // earlier rows still wait, moved to the cell blocks).
  bool streamed = false;
  bool complete = false;  // no more rows or cells will come
  // The group made last or given a row last: it and the groups around it
  // may still grow; any other group is done (the table is made in the
  // order it is shown).
  const GroupNode* current = nullptr;
  bool MayGrow(const GroupNode& group) const;
  std::vector<Cell> rowCells;
  std::vector<CategoryNode*> freeRows;
  // A streamed row written out: its storage goes back for the next rows.
  void Release(CategoryNode& row);
  // The row made last is final: its cells leave rowCells if it was not written.
  void KeepWaitingRow(CategoryNode& row);

  const DimensionNode* RowDimension() const;     // the first at place 0, or null
  const DimensionNode* ColumnDimension() const;  // the first at place 1, or null
  // The category of the row dimension whose label text is `label`, searched
  // depth first; null when none.
  const CategoryNode* FindRow(const std::string& label) const;
};

struct Message {
  Severity severity = Severity::Warning;
  std::string text;
  std::string place;  // "line L, column C" in the command it is about, or ""
};

struct Item {
  std::unique_ptr<TableNode> table;  // set for tables
  Message message;                   // otherwise a message

  bool IsTable() const { return table != nullptr; }
};

// Takes the document's items in order while the commands run (a report
// written as it is made).
class ItemSink {
 public:
  virtual ~ItemSink() = default;
  // Writes what is final of the item; true once all of it is written.
  virtual bool Write(Item& item) = 0;
};

class OutputDocument {
 public:
  TableNode* AddTable(std::string heading);
  void AddMessage(Severity severity, std::string text, std::string place = {});
  void Clear();

  const std::vector<Item>& Items() const { return fItems; }
  int Errors() const { return fErrors; }

  // With a sink, items go to it as they are complete: messages at once, a
  // table built in order once the next item starts (and its rows as they
  // are final), any other table when CompleteAll says so.
  void SetSink(ItemSink* sink) { fSink = sink; }
  bool Streaming() const { return fSink != nullptr; }
  // A streamed table starts a new row: the one made last is final.
  void RowFinished(TableNode& table);
  // Everything made so far is complete (a command has ended).
  void CompleteAll();

 private:
  void Pump();

  std::vector<Item> fItems;
  std::unique_ptr<NodeArena> fArena = std::make_unique<NodeArena>();
  int fErrors = 0;
  ItemSink* fSink = nullptr;
  std::size_t fWritten = 0;  // items before this one went to the sink whole
};

}  // namespace host
