// Item resolution: the dictionary facts of one list item (a variable or a
// multiple-response set), the handle that owns them and the plan entry that
// files a handle for the statistics.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/quvo.h"
#include "parser/settings.h"

namespace codebook {

enum ItemKind : std::int32_t { kItemNone = 0, kItemVariable = 1, kItemCategorySet = 2, kItemDichotomySet = 3 };

struct ResolvedItem {
  const QUVO_DataSource* fDataSource = nullptr;
  const QUVO_Variable* fVariable = nullptr;
  std::int32_t fIndex = -1;
  std::vector<std::int32_t> fMemberIndices;
  std::vector<OBS> fCountedValue;  // empty until a dichotomy set is resolved
  std::int32_t fCountedValueLength = 0;
  std::string fDisplayText;
  std::string fLabel;
  ItemKind fKind = kItemNone;
};

class ItemHandle {
 public:
  ItemHandle() = default;
  ItemHandle(const ItemHandle&) = delete;
  ItemHandle& operator=(const ItemHandle&) = delete;

  ItemKind Kind() const { return fItem.fKind; }
  std::int32_t Index() const { return fItem.fIndex; }
  const QUVO_Variable* Variable() const { return fItem.fVariable; }
  std::vector<std::int32_t> MemberIndices() const { return fItem.fMemberIndices; }
  const std::string& DisplayText() const { return fItem.fDisplayText; }
  const std::string& Label() const { return fItem.fLabel; }
  // The counted value units (null when there is none) and their length.
  const OBS* CountedValue() const { return fItem.fCountedValue.empty() ? nullptr : fItem.fCountedValue.data(); }
  std::int32_t CountedValueLength() const { return fItem.fCountedValueLength; }
  std::uint32_t CategoryCount() const { return fCategoryCount; }

  ResolvedItem& Item() { return fItem; }
  const ResolvedItem& Item() const { return fItem; }
  void SetCategoryCount(std::uint32_t count) { fCategoryCount = count; }

 private:
  ResolvedItem fItem;
  std::uint32_t fCategoryCount = 0;
};

bool ResolveVariable(ItemHandle& handle, const QUVO_DataSource* source, std::int32_t index);
bool ResolveItemByName(ItemHandle& handle, const QUVO_DataSource* source, const CodebookItem& item);
bool IsStringItem(const ItemHandle& handle);
std::uint32_t ItemStringWidth(const ItemHandle& handle);

class PlanEntry {
 public:
  explicit PlanEntry(std::unique_ptr<ItemHandle> handle) : fHandle(std::move(handle)) {}

  ItemHandle* Handle() const { return fHandle.get(); }
  std::uint32_t Treatment() const { return fTreatment; }
  void SetTreatment(std::uint32_t treatment) { fTreatment = treatment; }
  bool ValueLabelsAsCategories() const { return fValueLabelsAsCategories; }
  void SetValueLabelsAsCategories(bool value) { fValueLabelsAsCategories = value; }
  void ReleaseHandle() { fHandle.reset(); }

 private:
  std::unique_ptr<ItemHandle> fHandle;
  std::uint32_t fTreatment = 0;
  bool fValueLabelsAsCategories = false;
};

// The name of an entry's item: a variable's name, a set's display text, or
// the empty string once the handle is released.
std::string ItemName(const PlanEntry& entry);

}  // namespace codebook
