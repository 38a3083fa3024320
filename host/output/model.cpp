// The output document and the navigation helpers of its nodes.
#include "host/output/model.h"

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

TableNode* OutputDocument::AddTable(std::string heading) {
  Item item;
  item.table = std::make_unique<TableNode>();
  item.table->heading = std::move(heading);
  TableNode* table = item.table.get();
  fItems.push_back(std::move(item));
  return table;
}

void OutputDocument::AddMessage(Severity severity, std::string text) {
  Item item;
  item.message.severity = severity;
  item.message.text = std::move(text);
  if (severity == Severity::Error) ++fErrors;
  fItems.push_back(std::move(item));
}

void OutputDocument::Clear() {
  fItems.clear();
  fErrors = 0;
}

OutputDocument& Output() {
  static OutputDocument document;
  return document;
}

void AddMessage(Severity severity, const std::string& text) { Output().AddMessage(severity, text); }

int ErrorCount() { return Output().Errors(); }

void ResetOutput() { Output().Clear(); }

}  // namespace host
