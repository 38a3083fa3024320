// The JSON renderer: one object {"items": [...]} whose structure automated
// checks read, so key names and order are fixed.
#include <nlohmann/json.hpp>

#include "host/output/render.h"

namespace host {

namespace {

using Json = nlohmann::ordered_json;

Json CellJson(const Cell& cell) {
  Json j;
  j["column"] = cell.column ? Json(cell.column->label.text) : Json(nullptr);
  j["text"] = cell.text.text;
  switch (cell.text.kind) {
    case CellKind::Number:
      j["number"] = cell.text.number ? Json(*cell.text.number) : Json(nullptr);
      break;
    case CellKind::String:
      j["fixed"] = cell.text.fixed;
      break;
    default:
      break;
  }
  return j;
}

Json CategoryJson(const CategoryNode& category, bool isColumn) {
  Json j;
  j["category"] = category.label.text;
  if (category.label.kind == CellKind::DataValue) {
    if (category.label.valueIsString) {
      j["value"] = category.label.valueString;
    } else {
      j["value"] = category.label.valueNumber ? Json(*category.label.valueNumber) : Json(nullptr);
    }
  } else if (category.label.kind == CellKind::Variable) {
    j["variable"] = category.label.variable;
  }
  if (!isColumn) {
    Json cells = Json::array();
    for (const Cell& c : category.cells) cells.push_back(CellJson(c));
    j["cells"] = std::move(cells);
  }
  return j;
}

Json ChildrenJson(const GroupNode& group, bool isColumn) {
  Json children = Json::array();
  for (const Child& c : group.children) {
    if (c.category) {
      children.push_back(CategoryJson(*c.category, isColumn));
    } else if (c.group) {
      Json g;
      g["group"] = c.group->label.text;
      g["children"] = ChildrenJson(*c.group, isColumn);
      children.push_back(std::move(g));
    }
  }
  return children;
}

const char* PlaceName(int place) {
  switch (place) {
    case kColumns:
      return "column";
    case kLayers:
      return "layer";
    default:
      return "row";
  }
}

Json TableJson(const TableNode& table) {
  Json j;
  j["kind"] = "table";
  j["title"] = table.title.text;
  j["lookup"] = table.lookup.text;
  j["flag"] = table.flag;
  Json dims = Json::array();
  for (const auto& d : table.dimensions) {
    Json dj;
    dj["label"] = d->label.text;
    dj["place"] = PlaceName(d->place);
    dj["children"] = ChildrenJson(*d, d->place == kColumns);
    dims.push_back(std::move(dj));
  }
  j["dimensions"] = std::move(dims);
  return j;
}

}  // namespace

void RenderJson(const OutputDocument& document, std::ostream& out, const RenderOptions& /*options*/) {
  Json items = Json::array();
  for (const Item& item : document.Items()) {
    if (item.IsTable()) {
      items.push_back(TableJson(*item.table));
    } else {
      Json m;
      m["kind"] = "message";
      m["severity"] = item.message.severity == Severity::Error ? "error" : "warning";
      m["text"] = item.message.text;
      items.push_back(std::move(m));
    }
  }
  Json root;
  root["items"] = std::move(items);
  // Invalid UTF-8 from the data must not abort the run: replace it.
  out << root.dump(2, ' ', false, Json::error_handler_t::replace) << '\n';
}

}  // namespace host
