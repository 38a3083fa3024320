// The host's output model: the run's document, holding tables and messages in
// the order produced. The Bp classes of host/output.h build into it; the
// renderers (host/output/render_*.cpp) read it.
//
// Ownership: the document owns its items; a table owns its dimensions, a
// group owns its children. Nodes never move once made (they are held by
// unique_ptr), so the raw pointers in the Bp handles stay valid until
// ResetOutput().
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/document.h"

namespace host {

// What a cell text or a label was made from. The renderers show `text`
// everywhere; JSON also reports the raw facts kept beside it.
enum class CellKind { String, Number, DataValue, Variable };

struct CellText {
  CellKind kind = CellKind::String;
  std::string text;  // as rendered (leading blanks of right-aligned fields trimmed)

  // String: true for the procedure's own wording, false for data text.
  bool fixed = false;

  // Number: the unrounded value; absent for system-missing (and for values
  // that are not finite), which show ".".
  std::optional<double> number;
  int decimals = 0;
  bool percent = false;

  // DataValue: the raw value, a number (absent for system-missing) or a
  // string.
  bool valueIsString = false;
  std::optional<double> valueNumber;
  std::string valueString;

  // Variable: the variable's name.
  std::string variable;

  // True for numbers and numeric data values: text renderers align them to
  // the right.
  bool RightAligned() const {
    return kind == CellKind::Number || (kind == CellKind::DataValue && !valueIsString);
  }
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
  CellText label;
  GroupNode* parent = nullptr;
  std::vector<Cell> cells;  // rows only; in the order set

  DimensionNode* Dimension() const;
  TableNode* Table() const;
};

// A child of a group: exactly one of the two is set.
struct Child {
  std::unique_ptr<GroupNode> group;
  std::unique_ptr<CategoryNode> category;
};

struct GroupNode {
  virtual ~GroupNode() = default;

  CellText label;
  bool flag = true;
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
      if (c.category) {
        f(*c.category);
      } else if (c.group) {
        c.group->ForEachCategory(f);
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

struct TableNode {
  std::string heading;  // the procedure heading it opened under
  CellText title;
  CellText lookup;
  bool flag = false;
  int minDataColumnWidth = 0;
  std::vector<std::unique_ptr<DimensionNode>> dimensions;  // in the order made

  // The row category made last: a cell set on a column category joins it.
  CategoryNode* lastRow = nullptr;

  const DimensionNode* RowDimension() const;     // the first at place 0, or null
  const DimensionNode* ColumnDimension() const;  // the first at place 1, or null
  // The category of the row dimension whose label text is `label`, searched
  // depth first; null when none.
  const CategoryNode* FindRow(const std::string& label) const;
};

struct Message {
  Severity severity = Severity::Warning;
  std::string text;
};

struct Item {
  std::unique_ptr<TableNode> table;  // set for tables
  Message message;                   // otherwise a message

  bool IsTable() const { return table != nullptr; }
};

class OutputDocument {
 public:
  TableNode* AddTable(std::string heading);
  void AddMessage(Severity severity, std::string text);
  void Clear();

  const std::vector<Item>& Items() const { return fItems; }
  int Errors() const { return fErrors; }

 private:
  std::vector<Item> fItems;
  int fErrors = 0;
};

}  // namespace host
