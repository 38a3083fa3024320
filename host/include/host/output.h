// Host procedure output: pivot tables built top-down (table, dimensions,
// groups, categories, cells) under a procedure heading. The Bp classes are
// small handles onto the host's output model; copying a handle does not copy
// the table. Tables join the host output when they are created.
#pragma once

#include <memory>
#include <string>

#include "host/api.h"
#include "host/obs.h"

class QUVO_Variable;

namespace host {
struct CellText;
struct TableNode;
struct GroupNode;
struct CategoryNode;
}  // namespace host

// How a number is shown: a number of decimals, and a "%" after it or not;
// or, for the statistics of date and time variables, a print format (format
// type code, width, decimals) that shows it as a date, a time or a duration.
class HOST_API BpFormatSpec {
 public:
  BpFormatSpec(int decimals = 0, bool percent = false) : fDecimals(decimals), fPercent(percent) {}
  // Width 0: as wide as the text needs.
  static BpFormatSpec PrintFormat(int type, int width, int decimals) {
    BpFormatSpec spec(decimals, false);
    spec.fPrintType = type;
    spec.fPrintWidth = width;
    return spec;
  }
  int Decimals() const { return fDecimals; }
  bool IsPercent() const { return fPercent; }
  int PrintType() const { return fPrintType; }  // 0: a plain number
  int PrintWidth() const { return fPrintWidth; }

 private:
  int fDecimals;
  bool fPercent;
  int fPrintType = 0;
  int fPrintWidth = 0;
};

// The text of a cell or of a category label.
class HOST_API BpCellText {
 public:
  virtual ~BpCellText();
  const host::CellText& Text() const { return *fText; }

 protected:
  BpCellText();
  std::shared_ptr<host::CellText> fText;
};

// Text. fixed is true for the procedure's own wording, false for text taken
// from the data.
class HOST_API BpString : public BpCellText {
 public:
  BpString(const std::string& text, bool fixed);
};

class HOST_API BpNumber : public BpCellText {
 public:
  BpNumber(double value, const BpFormatSpec& format);
};

// A data value of a variable, shown in the variable's print format.
// Preference 2 shows as preference 0.
class HOST_API BpDataValue : public BpCellText {
 public:
  BpDataValue(const QUVO_Variable* variable, const OBS& value, int preference);
};

// A variable: show 0 is its name, show 1 its label (its name when it has none).
class HOST_API BpVariable : public BpCellText {
 public:
  BpVariable(const QUVO_Variable* variable, int show);
};

class HOST_API BpCategory {
 public:
  explicit BpCategory(host::CategoryNode* node) : fNode(node) {}
  // On a row category: a cell of that row (several are kept in order). On a
  // column category: the cell of the row made last, in that column.
  void Cell(const BpCellText& text);

 private:
  host::CategoryNode* fNode;
};

class HOST_API BpGroup {
 public:
  explicit BpGroup(host::GroupNode* node) : fNode(node) {}
  BpGroup Group(const BpCellText& label, bool flag, int sort);
  BpCategory Category(const BpCellText& label);

 protected:
  host::GroupNode* fNode;
};

class HOST_API BpDimension : public BpGroup {
 public:
  using BpGroup::BpGroup;
  // place 0: rows; place 1: columns.
  void Position(int place, int index, bool flag1, bool flag2);
};

class HOST_API BpPivotTable {
 public:
  explicit BpPivotTable(host::TableNode* node) : fNode(node) {}
  void MinDataColumnWidth(int width);
  BpDimension Dimension(const BpCellText& label, int sort);
  // Says that the table is built in order from here on: its dimensions are
  // made and placed, each row gets all its cells before the next row is
  // made, and nothing is added once the next table or message starts. The
  // host may then write rows out, and forget them, as they are final (a
  // listing of a million values is never held whole).
  void InOrder();

 private:
  host::TableNode* fNode;
};

class HOST_API BpHeading {
 public:
  explicit BpHeading(std::string name);
  virtual ~BpHeading();
  BpPivotTable PivotTable(const BpString& title, const BpString& lookupName, bool flag);
  const std::string& Name() const { return fName; }

 private:
  std::string fName;
};

class HOST_API BpProcedure : public BpHeading {
 public:
  BpProcedure(std::string name, int flags);
  ~BpProcedure() override;

  // Counts: no decimals.
  static BpFormatSpec Count();
  // Percents: one decimal followed by "%".
  static BpFormatSpec Percent();
  // The variable's print decimals plus two; for date and time variables the
  // mean (and percentiles) in the variable's own print format, and the
  // standard deviation as a duration: DTIME for dates, date-times and DTIME
  // variables, TIME for TIME and MTIME variables.
  BpFormatSpec Mean(int variableIndex) const;
  BpFormatSpec StdDev(int variableIndex) const;
};
