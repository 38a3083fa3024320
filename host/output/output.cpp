// The Bp handles: thin builders over the output model of the run.
#include "host/output.h"

#include <algorithm>
#include <cmath>
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
constexpr int kMaxStatDecimals = 16;

int PrintDecimals(int variableIndex) {
  std::shared_ptr<host::Dataset> dataset = host::ActiveDataset();
  if (!dataset || variableIndex < 0 || static_cast<std::size_t>(variableIndex) >= dataset->variables.size() ||
      !dataset->variables[static_cast<std::size_t>(variableIndex)]) {
    return -1;
  }
  return dataset->variables[static_cast<std::size_t>(variableIndex)]->printFormat.decimals;
}

BpFormatSpec StatFormat(int variableIndex) {
  int decimals = PrintDecimals(variableIndex);
  decimals = decimals < 0 ? kDefaultStatDecimals : std::min(decimals + 2, kMaxStatDecimals);
  return BpFormatSpec(decimals, false);
}

}  // namespace

BpCellText::BpCellText() : fText(std::make_shared<host::CellText>()) {}
BpCellText::~BpCellText() = default;

BpString::BpString(const std::string& text, bool fixed) {
  fText->kind = host::CellKind::String;
  fText->text = text;
  fText->fixed = fixed;
}

BpNumber::BpNumber(double value, const BpFormatSpec& format) {
  fText->kind = host::CellKind::Number;
  fText->decimals = format.Decimals();
  fText->percent = format.IsPercent();
  fText->text = host::valuefmt::Statistic(value, format.Decimals(), format.IsPercent());
  if (value != SYSMIS && std::isfinite(value)) fText->number = value;
}

BpDataValue::BpDataValue(const QUVO_Variable* variable, const OBS& value, int /*preference*/) {
  // Every preference shows the value in the variable's print format; the
  // host has no separate "value and label" display.
  fText->kind = host::CellKind::DataValue;
  QUVO_Format format{8, FormatType::F, 2};
  bool isString = false;
  if (variable != nullptr) {
    format = variable->printFormat;
    isString = variable->IsString();
  }
  if (isString) {
    fText->valueIsString = true;
    fText->valueString = std::string(ObsString(value));
    fText->text = host::valuefmt::String(fText->valueString, format);
  } else {
    if (value.d != SYSMIS && std::isfinite(value.d)) fText->valueNumber = value.d;
    fText->text = host::valuefmt::Numeric(value.d, format);
  }
}

BpVariable::BpVariable(const QUVO_Variable* variable, int show) {
  fText->kind = host::CellKind::Variable;
  if (variable == nullptr) return;
  fText->variable = variable->name;
  fText->text = (show == 1 && variable->label) ? *variable->label : variable->name;
}

void BpCategory::Cell(const BpCellText& text) {
  if (fNode == nullptr) return;
  host::DimensionNode* dimension = fNode->Dimension();
  if (dimension != nullptr && dimension->place == host::kColumns) {
    host::TableNode* table = fNode->Table();
    if (table == nullptr || table->lastRow == nullptr) return;  // no row yet: nowhere to put it
    table->lastRow->cells.push_back(host::Cell{fNode, text.Text()});
    return;
  }
  fNode->cells.push_back(host::Cell{nullptr, text.Text()});
}

BpGroup BpGroup::Group(const BpCellText& label, bool flag, int sort) {
  auto group = std::make_unique<host::GroupNode>();
  group->label = label.Text();
  group->flag = flag;
  group->sort = sort;
  group->parent = fNode;
  group->table = fNode->table;
  host::GroupNode* made = group.get();
  host::Child child;
  child.group = std::move(group);
  fNode->children.push_back(std::move(child));
  return BpGroup(made);
}

BpCategory BpGroup::Category(const BpCellText& label) {
  auto category = std::make_unique<host::CategoryNode>();
  category->label = label.Text();
  category->parent = fNode;
  host::CategoryNode* made = category.get();
  host::Child child;
  child.category = std::move(category);
  fNode->children.push_back(std::move(child));
  host::DimensionNode* dimension = fNode->Dimension();
  if (fNode->table != nullptr && (dimension == nullptr || dimension->place != host::kColumns)) {
    fNode->table->lastRow = made;
  }
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

BpDimension BpPivotTable::Dimension(const BpCellText& label, int sort) {
  auto dimension = std::make_unique<host::DimensionNode>();
  dimension->label = label.Text();
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
  table->title = title.Text();
  table->lookup = lookupName.Text();
  table->flag = flag;
  return BpPivotTable(table);
}

BpProcedure::BpProcedure(std::string name, int /*flags*/) : BpHeading(std::move(name)) {}
BpProcedure::~BpProcedure() = default;

BpFormatSpec BpProcedure::Count() { return BpFormatSpec(0, false); }
BpFormatSpec BpProcedure::Percent() { return BpFormatSpec(1, true); }
BpFormatSpec BpProcedure::Mean(int variableIndex) const { return StatFormat(variableIndex); }
BpFormatSpec BpProcedure::StdDev(int variableIndex) const { return StatFormat(variableIndex); }
