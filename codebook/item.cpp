// Item resolution: turns one list entry into the dictionary facts that the
// statistics setup, the set table and the run's warnings read.
#include "item.h"

#include <cstdlib>
#include <cstring>

namespace codebook {

namespace {

// The print format of a variable: type code and width.
void PrintFormat(const QUVO_Variable* variable, int& type, int& width) {
  int decimals = 0;
  type = 0;
  width = 0;
  if (variable != nullptr) variable->GetFormatEx(type, width, decimals);
}

const QUVO_Variable* FirstMember(const ResolvedItem& item) {
  if (item.fMemberIndices.empty() || item.fDataSource == nullptr) return nullptr;
  return item.fDataSource->GetVariable(item.fMemberIndices.front());
}

}  // namespace

bool ResolveVariable(ItemHandle& handle, const QUVO_DataSource* source, std::int32_t index) {
  ResolvedItem& item = handle.Item();
  item.fDataSource = source;
  if (source == nullptr || index < 0) return false;
  item.fIndex = index;
  item.fVariable = source->GetVariable(index);
  handle.SetCategoryCount(
      item.fVariable != nullptr ? static_cast<std::uint32_t>(item.fVariable->GetValueLabels().Size()) : 0u);
  item.fKind = kItemVariable;
  return true;
}

bool ResolveItemByName(ItemHandle& handle, const QUVO_DataSource* source, const CodebookItem& listItem) {
  ResolvedItem& item = handle.Item();
  item.fDataSource = source;
  if (source == nullptr) return false;

  // A variable wins over a set, even for a name that begins with "$".
  const int variableIndex = source->FindVarIndex(listItem.name.c_str(), 0);
  if (variableIndex >= 0) return ResolveVariable(handle, source, variableIndex);
  if (listItem.name.empty() || listItem.name[0] != '$') return false;

  // The set list is read afresh on every resolution; the first set whose
  // name matches ignoring case is the one meant.
  VariableSets sets(*source, 1);
  int position = -1;
  for (int i = 0; i < sets.Size(); ++i) {
    if (QUVOMBstricmp_A(sets[i].GetName(2).c_str(), listItem.name.c_str()) == 0) {
      position = i;
      break;
    }
  }
  if (position < 0) return false;
  const VariableSet set = sets[position];

  item.fLabel = set.GetLabel();
  for (const std::string& member : set.GetVariableNames(1)) {
    const int memberIndex = source->FindVarIndex(member.c_str(), 0);
    if (memberIndex >= 0) item.fMemberIndices.push_back(memberIndex);
  }
  item.fIndex = source->ColumnCount() + position;
  item.fDisplayText = item.fLabel.empty() ? set.GetName(2) : item.fLabel;

  switch (set.GetType()) {
    case 1: {
      item.fKind = kItemCategorySet;
      const QUVO_Variable* first = FirstMember(item);
      handle.SetCategoryCount(first != nullptr ? static_cast<std::uint32_t>(first->GetValueLabels().Size()) : 0u);
      break;
    }
    case 2: {
      item.fKind = kItemDichotomySet;
      handle.SetCategoryCount(static_cast<std::uint32_t>(item.fMemberIndices.size()));
      const std::string value = set.GetValue();
      if (IsStringItem(handle)) {
        const std::uint32_t width = ItemStringWidth(handle);
        const std::uint32_t units = width > 8 ? (width + 7) / 8 : 1;
        item.fCountedValue.assign(units, OBS{});
        char* bytes = reinterpret_cast<char*>(item.fCountedValue.data());
        std::memset(bytes, ' ', units * sizeof(OBS));
        QUVOMBCopyToFixed_A(bytes, static_cast<int>(units * sizeof(OBS)), value.c_str(),
                            static_cast<int>(value.size()));
        item.fCountedValueLength = static_cast<std::int32_t>(units);
      } else {
        // The same conversion as atof: leading blanks skipped, the longest
        // number that starts the text, 0 when none does.
        item.fCountedValue.assign(1, ObsFromNumber(std::strtod(value.c_str(), nullptr)));
        item.fCountedValueLength = static_cast<std::int32_t>(sizeof(double));
      }
      break;
    }
    default:
      // Other set types keep kind 0: the run has nothing to show for them.
      break;
  }
  return true;
}

bool IsStringItem(const ItemHandle& handle) {
  const ResolvedItem& item = handle.Item();
  int type = 0;
  int width = 0;
  switch (item.fKind) {
    case kItemVariable:
      PrintFormat(item.fVariable, type, width);
      return type == FormatType::A;
    case kItemCategorySet:
    case kItemDichotomySet: {
      const QUVO_Variable* first = FirstMember(item);
      if (first == nullptr) return false;
      PrintFormat(first, type, width);
      return type == FormatType::A;
    }
    default:
      return false;
  }
}

std::uint32_t ItemStringWidth(const ItemHandle& handle) {
  const ResolvedItem& item = handle.Item();
  int type = 0;
  int width = 0;
  switch (item.fKind) {
    case kItemVariable:
      PrintFormat(item.fVariable, type, width);
      return type == FormatType::A ? static_cast<std::uint32_t>(width) : 0u;
    case kItemCategorySet: {
      const QUVO_Variable* first = FirstMember(item);
      if (first == nullptr) return 0;
      PrintFormat(first, type, width);
      return type == FormatType::A ? static_cast<std::uint32_t>(width) : 0u;
    }
    case kItemDichotomySet: {
      // The counted value must be as wide as the widest member so that the
      // blank-padded comparison sees every byte.
      std::uint32_t widest = 0;
      for (const std::int32_t index : item.fMemberIndices) {
        const QUVO_Variable* member = item.fDataSource->GetVariable(index);
        if (member == nullptr) continue;
        const std::uint32_t memberWidth = member->GetType() != 0
                                              ? static_cast<std::uint32_t>(member->GetType())
                                              : static_cast<std::uint32_t>(std::strlen(member->GetName()));
        if (memberWidth > widest) widest = memberWidth;
      }
      return widest;
    }
    default:
      return 0;
  }
}

std::string ItemName(const PlanEntry& entry) {
  const ItemHandle* handle = entry.Handle();
  if (handle == nullptr) return std::string();
  const ResolvedItem& item = handle->Item();
  if (item.fKind == kItemVariable)
    return item.fVariable != nullptr ? std::string(item.fVariable->GetName()) : std::string();
  return item.fDisplayText;
}

}  // namespace codebook
