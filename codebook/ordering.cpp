#include "ordering.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "attribute_names.h"

namespace codebook {

namespace {

// Byte strings by unsigned byte value, a proper prefix first.
int CompareBytes(std::string_view a, std::string_view b) {
  const std::size_t common = std::min(a.size(), b.size());
  if (common != 0) {
    const int result = std::memcmp(a.data(), b.data(), common);
    if (result != 0) return result;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool IsSetItem(const CodebookItem& item) { return item.IsSet(); }

const QUVO_Variable* VariableOf(const CodebookItem& item, const QUVO_DataSource& source) {
  if (IsSetItem(item) || item.index < 0 || item.index >= source.ColumnCount()) return nullptr;
  return source.GetVariable(item.index);
}

// ALPHA: ascending by name then index; descending by name from greatest.
void SortAlpha(std::vector<CodebookItem>& items, bool ascending) {
  if (ascending) {
    std::sort(items.begin(), items.end(), [](const CodebookItem& a, const CodebookItem& b) {
      const int byName = CompareBytes(a.name, b.name);
      return byName != 0 ? byName < 0 : a.index < b.index;
    });
  } else {
    std::sort(items.begin(), items.end(), [](const CodebookItem& a, const CodebookItem& b) {
      const int byName = CompareBytes(a.name, b.name);
      return byName != 0 ? byName > 0 : a.index > b.index;
    });
  }
}

void SortFile(std::vector<CodebookItem>& items, bool ascending) {
  std::stable_sort(items.begin(), items.end(), [ascending](const CodebookItem& a, const CodebookItem& b) {
    return ascending ? a.index < b.index : a.index > b.index;
  });
}

// The measurement key: sets go with the nominal variables; variables of
// unknown level come last in both directions.
int MeasureKey(const CodebookItem& item, const QUVO_DataSource& source, bool ascending) {
  int level = Measure::Nominal;
  if (!IsSetItem(item)) {
    const QUVO_Variable* variable = VariableOf(item, source);
    level = variable != nullptr ? variable->GetMeasurementLevel() : Measure::Unknown;
  }
  switch (level) {
    case Measure::Nominal:
      return ascending ? 1 : -1;
    case Measure::Ordinal:
      return ascending ? 2 : -2;
    case Measure::Scale:
      return ascending ? 3 : -3;
    default:
      return ascending ? 4 : 0;
  }
}

void SortMeasure(std::vector<CodebookItem>& items, const QUVO_DataSource& source, bool ascending) {
  struct Keyed {
    int key;
    CodebookItem item;
  };
  std::vector<Keyed> keyed;
  keyed.reserve(items.size());
  for (CodebookItem& item : items) keyed.push_back({MeasureKey(item, source, ascending), std::move(item)});
  std::sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
    if (a.key != b.key) return a.key < b.key;
    const int byName = CompareBytes(a.item.name, b.item.name);
    return byName != 0 ? byName < 0 : a.item.index < b.item.index;
  });
  for (std::size_t i = 0; i < items.size(); ++i) items[i] = std::move(keyed[i].item);
}

// The value of the requested attribute: the first attribute whose name
// equals the requested one ignoring case and is not hidden; its first
// element, or "" when it has none. False when the item has no such attribute.
bool AttributeValue(const CodebookItem& item, const QUVO_DataSource& source, const std::string& attributeName,
                    std::string& value) {
  const QUVO_Variable* variable = VariableOf(item, source);
  if (variable == nullptr) return false;
  const DatasourceAttributes& attributes = variable->GetAttributes();
  for (int i = 0; i < attributes.Size(); ++i) {
    const std::string& name = attributes.Name(i);
    if (!AttributeNamesEqual(name, attributeName) || IsHiddenAttributeName(name)) continue;
    const std::vector<std::string>& values = attributes.Values(i);
    value = values.empty() ? std::string() : values.front();
    return true;
  }
  return false;
}

void SortAttribute(std::vector<CodebookItem>& items, const QUVO_DataSource& source, const std::string& attributeName,
                   bool ascending) {
  struct Valued {
    std::string value;
    CodebookItem item;
  };
  std::vector<CodebookItem> without;
  std::vector<Valued> with;
  for (CodebookItem& item : items) {
    std::string value;
    if (AttributeValue(item, source, attributeName, value)) {
      with.push_back({std::move(value), std::move(item)});
    } else {
      without.push_back(std::move(item));
    }
  }
  SortAlpha(without, ascending);
  std::sort(with.begin(), with.end(), [ascending](const Valued& a, const Valued& b) {
    int order = CompareBytes(a.value, b.value);
    if (order == 0) order = CompareBytes(a.item.name, b.item.name);
    if (order == 0) order = a.item.index < b.item.index ? -1 : (a.item.index > b.item.index ? 1 : 0);
    return ascending ? order < 0 : order > 0;
  });

  items.clear();
  items.reserve(without.size() + with.size());
  if (ascending) {
    for (CodebookItem& item : without) items.push_back(std::move(item));
    for (Valued& entry : with) items.push_back(std::move(entry.item));
  } else {
    for (Valued& entry : with) items.push_back(std::move(entry.item));
    for (CodebookItem& item : without) items.push_back(std::move(item));
  }
}

}  // namespace

void OrderItems(std::vector<CodebookItem>& items, const CodebookSettings& settings, const QUVO_DataSource& source) {
  const bool ascending = settings.sortAscending();
  switch (settings.varOrder()) {
    case kOrderFile:
      SortFile(items, ascending);
      break;
    case kOrderAlpha:
      SortAlpha(items, ascending);
      break;
    case kOrderVarList:
      if (!ascending) std::reverse(items.begin(), items.end());
      break;
    case kOrderMeasure:
      SortMeasure(items, source, ascending);
      break;
    case kOrderAttribute:
      SortAttribute(items, source, settings.orderAttributeName(), ascending);
      break;
    default:
      break;
  }
}

}  // namespace codebook
