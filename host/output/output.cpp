// The Bp handles: thin builders over the output model of the run.
#include "host/output.h"

#include <cmath>
#include <optional>
#include <utility>

#include "host/data/dataset.h"
#include "host/dataset.h"
#include "host/output/model.h"
#include "host/output/value_format.h"
#include "host/quvo.h"

namespace {

// Decimals of means and standard deviations when the variable cannot be
// found: those of the default print format (F8.2) plus two.
constexpr int kDefaultStatDecimals = 4;

std::optional<QUVO_Format> PrintFormatOf(int variableIndex) {
  std::shared_ptr<host::Dataset> dataset = host::ActiveDataset();
  if (!dataset || variableIndex < 0 || static_cast<std::size_t>(variableIndex) >= dataset->variables.size() ||
      !dataset->variables[static_cast<std::size_t>(variableIndex)]) {
    return std::nullopt;
  }
  return dataset->variables[static_cast<std::size_t>(variableIndex)]->printFormat;
}

enum class Clock { None, Date, Time, Duration };

// Dates and date-times are points in time; TIME and MTIME times of day (or
// short durations); DTIME durations in days. Names of days and months are
// codes, not clock values.
Clock ClockOf(int type) {
  using namespace FormatType;
  if (type == TIME || type == MTIME) return Clock::Time;
  if (type == DTIME) return Clock::Duration;
  for (int date : {DATE, ADATE, EDATE, JDATE, SDATE, QYR, MOYR, WKYR, DATETIME, YMDHMS}) {
    if (type == date) return Clock::Date;
  }
  return Clock::None;
}

BpFormatSpec StatFormat(int variableIndex, bool spread) {
  const std::optional<QUVO_Format> format = PrintFormatOf(variableIndex);
  if (!format) return BpFormatSpec(kDefaultStatDecimals, false);
  const Clock clock = ClockOf(format->type);
  // Two more than the variable shows, also past the 16 decimals a format can
  // have: an F40.16 variable's mean has 18.
  // A variable shown in scientific form keeps it, with two more digits: its
  // values may be too small for any number of decimals (1e-20).
  if (format->type == FormatType::E) return BpFormatSpec::PrintFormat(FormatType::E, 0, format->decimals + 2);
  if (clock == Clock::None) return BpFormatSpec(format->decimals + 2, false);
  // A mean or percentile is a point in the variable's own terms; a standard
  // deviation is a length of time, shown as wide as it needs.
  if (!spread) return BpFormatSpec::PrintFormat(format->type, format->width, format->decimals);
  const int type = clock == Clock::Time ? FormatType::TIME : FormatType::DTIME;
  return BpFormatSpec::PrintFormat(type, 0, format->decimals);
}

}  // namespace

// Every text is made as a label, which can carry the origin JSON reports;
// cells keep only the CellText part.
BpCellText::BpCellText() : fText(std::make_shared<host::LabelText>()) {}

namespace {
host::LabelText& Label(const std::shared_ptr<host::CellText>& text) { return static_cast<host::LabelText&>(*text); }
const host::LabelText& Label(const BpCellText& text) { return static_cast<const host::LabelText&>(text.Text()); }
}  // namespace
BpCellText::~BpCellText() = default;

BpString::BpString(const std::string& text, bool fixed) {
  fText->kind = host::CellOrigin::String;
  fText->text = text;
  fText->fixed = fixed;
}

BpNumber::BpNumber(double value, const BpFormatSpec& format) {
  fText->kind = host::CellOrigin::Number;
  fText->percent = format.IsPercent();
  fText->decimals = static_cast<std::int16_t>(format.Decimals());
  if (format.PrintType() != 0) {
    const QUVO_Format print{static_cast<std::uint16_t>(format.PrintWidth()),
                            static_cast<std::uint8_t>(format.PrintType()),
                            static_cast<std::uint8_t>(format.Decimals())};
    fText->text = host::valuefmt::Numeric(value, print);
  } else {
    fText->text = host::valuefmt::Statistic(value, format.Decimals(), format.IsPercent());
  }
  if (value != SYSMIS && std::isfinite(value)) {
    fText->number = value;
    fText->hasNumber = true;
  }
}

BpDataValue::BpDataValue(const QUVO_Variable* variable, const OBS& value, int /*preference*/) {
  // Every preference shows the value in the variable's print format; the
  // host has no separate "value and label" display.
  fText->kind = host::CellOrigin::DataValue;
  QUVO_Format format{8, FormatType::F, 2};
  bool isString = false;
  if (variable != nullptr) {
    format = variable->printFormat;
    isString = variable->IsString();
  }
  if (isString) {
    fText->valueIsString = true;
    std::string raw(ObsString(value));
    fText->text = host::valuefmt::String(raw, format);
    Label(fText).SetOrigin(std::move(raw));
  } else {
    if (value.d != SYSMIS && std::isfinite(value.d)) {
      fText->number = value.d;
      fText->hasNumber = true;
    }
    fText->text = host::valuefmt::Numeric(value.d, format);
  }
}

BpVariable::BpVariable(const QUVO_Variable* variable, int show) {
  fText->kind = host::CellOrigin::Variable;
  if (variable == nullptr) return;
  fText->text = (show == 1 && variable->label) ? *variable->label : variable->name;
  Label(fText).SetOrigin(variable->name);
}

void BpCategory::Cell(const BpCellText& text) {
  if (fNode == nullptr) return;
  host::DimensionNode* dimension = fNode->Dimension();
  if (dimension != nullptr && dimension->place == host::kColumns) {
    host::TableNode* table = fNode->Table();
    CB_CHECK("output", table == nullptr || !table->streamed || !table->complete);
    if (table == nullptr || table->lastRow == nullptr) return;  // no row yet: nowhere to put it
    table->AddCell(*table->lastRow, fNode, text.Text());
    return;
  }
  if (host::TableNode* table = fNode->Table()) table->AddCell(*fNode, nullptr, text.Text());
}

BpGroup BpGroup::Group(const BpCellText& label, bool flag, int sort) {
  if (fNode->table->streamed) CB_CHECK("output", !fNode->table->complete && !fNode->closed);
  host::GroupNode* made = &fNode->table->NewGroup();
  made->label = Label(label);
  made->flag = flag;
  made->sort = sort;
  made->parent = fNode;
  made->table = fNode->table;
  fNode->children.push_back(host::Child(made));
  if (fNode->table->streamed) fNode->table->current = made;
  return BpGroup(made);
}

BpCategory BpGroup::Category(const BpCellText& label) {
  host::TableNode* table = fNode->table;
  host::DimensionNode* dimension = fNode->Dimension();
  const bool row = dimension == nullptr || dimension->place != host::kColumns;
  if (table->streamed) {
    // Built in order: nothing comes after the next item began, nor into a
    // group written out because another was made after it.
    CB_CHECK("output", !table->complete && !fNode->closed);
    table->current = fNode;
    if (row) table->document->RowFinished(*table);
  }
  host::CategoryNode* made = &table->NewCategory(fNode, Label(label));
  fNode->children.push_back(host::Child(made));
  if (row) table->lastRow = made;
  return BpCategory(made);
}

void BpDimension::Position(int place, int index, bool flag1, bool flag2) {
  auto* dimension = static_cast<host::DimensionNode*>(fNode);
  dimension->place = place;
  dimension->index = index;
  dimension->flag1 = flag1;
  dimension->flag2 = flag2;
}

void BpPivotTable::MinDataColumnWidth(int width) { fNode->minDataColumnWidth = width; }

void BpPivotTable::InOrder() {
  // Without a report written as the commands run there is nothing to gain:
  // the table is kept whole as any other.
  if (fNode->document != nullptr && fNode->document->Streaming() && !fNode->complete) fNode->streamed = true;
}

BpDimension BpPivotTable::Dimension(const BpCellText& label, int sort) {
  auto dimension = std::make_unique<host::DimensionNode>();
  dimension->label = Label(label);
  dimension->sort = sort;
  dimension->table = fNode;
  host::DimensionNode* made = dimension.get();
  fNode->dimensions.push_back(std::move(dimension));
  return BpDimension(made);
}

BpHeading::BpHeading(std::string name) : fName(std::move(name)) {}
BpHeading::~BpHeading() = default;

BpPivotTable BpHeading::PivotTable(const BpString& title, const BpString& lookupName, bool flag) {
  host::TableNode* table = host::Output().AddTable(fName);
  table->title = Label(title);
  table->lookup = Label(lookupName);
  table->flag = flag;
  return BpPivotTable(table);
}

BpProcedure::BpProcedure(std::string name, int /*flags*/) : BpHeading(std::move(name)) {}
BpProcedure::~BpProcedure() = default;

BpFormatSpec BpProcedure::Count() { return BpFormatSpec(0, false); }
BpFormatSpec BpProcedure::Percent() { return BpFormatSpec(1, true); }
BpFormatSpec BpProcedure::Mean(int variableIndex) const { return StatFormat(variableIndex, false); }
BpFormatSpec BpProcedure::StdDev(int variableIndex) const { return StatFormat(variableIndex, true); }
