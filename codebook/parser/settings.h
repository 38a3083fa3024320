// The parsed options of one CODEBOOK command.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace codebook {

// One entry of the variable and set list. An item is a set exactly when its
// name begins with "$"; a set's index is the number of variables plus the
// number of sets added to the list before it.
struct CodebookItem {
  std::string name;
  std::int32_t index = -1;

  bool IsSet() const { return !name.empty() && name[0] == '$'; }
  bool operator==(const CodebookItem&) const = default;
};

// Statistics treatment of a variable.
enum Treatment : std::int32_t { kTreatScale = 1, kTreatNominal = 2, kTreatOrdinal = 3 };

// Values of varOrder.
enum VarOrder : std::int32_t {
  kOrderFile = 0,
  kOrderAlpha = 1,
  kOrderVarList = 2,
  kOrderMeasure = 3,
  kOrderAttribute = 4
};

class CodebookSettings {
 public:
  // Getters: the run reads only these.
  const std::vector<CodebookItem>& items() const { return fItems; }
  bool allSetsListed() const { return fAllSetsListed; }

  bool varInfoGiven() const { return fVarInfoGiven; }
  bool varInfoPosition() const { return fVarInfoPosition; }
  bool varInfoLabel() const { return fVarInfoLabel; }
  bool varInfoType() const { return fVarInfoType; }
  bool varInfoFormat() const { return fVarInfoFormat; }
  bool varInfoMeasure() const { return fVarInfoMeasure; }
  bool varInfoRole() const { return fVarInfoRole; }
  bool varInfoAttributes() const { return fVarInfoAttributes; }
  bool varInfoValueLabels() const { return fVarInfoValueLabels; }
  bool varInfoMissing() const { return fVarInfoMissing; }
  bool varInfoReservedAttributes() const { return fVarInfoReservedAttributes; }

  bool fileInfoGiven() const { return fFileInfoGiven; }
  bool fileInfoName() const { return fFileInfoName; }
  bool fileInfoLocation() const { return fFileInfoLocation; }
  bool fileInfoCaseCount() const { return fFileInfoCaseCount; }
  bool fileInfoLabel() const { return fFileInfoLabel; }
  bool fileInfoAttributes() const { return fFileInfoAttributes; }
  bool fileInfoDocuments() const { return fFileInfoDocuments; }
  bool fileInfoWeight() const { return fFileInfoWeight; }
  bool fileInfoReservedAttributes() const { return fFileInfoReservedAttributes; }

  bool statisticsGiven() const { return fStatisticsGiven; }
  bool statisticsNone() const { return fStatisticsNone; }
  bool statCount() const { return fStatCount; }
  bool statPercent() const { return fStatPercent; }
  bool statMean() const { return fStatMean; }
  bool statStdDev() const { return fStatStdDev; }
  bool statQuartiles() const { return fStatQuartiles; }

  std::int32_t maxCats() const { return fMaxCats; }
  bool sortAscending() const { return fSortAscending; }
  std::int32_t varOrder() const { return fVarOrder; }
  const std::string& orderAttributeName() const { return fOrderAttributeName; }
  const std::vector<std::int32_t>& treatment() const { return fTreatment; }

  // Setters: a group's flags are set at once, in field order.
  void SetItems(std::vector<CodebookItem> items) { fItems = std::move(items); }
  void SetAllSetsListed(bool value) { fAllSetsListed = value; }
  void SetVarInfoGiven(bool value) { fVarInfoGiven = value; }
  void SetVarInfo(bool position, bool label, bool type, bool format, bool measure, bool role, bool attributes,
                  bool valueLabels, bool missing, bool reservedAttributes) {
    fVarInfoPosition = position;
    fVarInfoLabel = label;
    fVarInfoType = type;
    fVarInfoFormat = format;
    fVarInfoMeasure = measure;
    fVarInfoRole = role;
    fVarInfoAttributes = attributes;
    fVarInfoValueLabels = valueLabels;
    fVarInfoMissing = missing;
    fVarInfoReservedAttributes = reservedAttributes;
  }
  void SetFileInfoGiven(bool value) { fFileInfoGiven = value; }
  void SetFileInfo(bool name, bool location, bool caseCount, bool label, bool attributes, bool documents, bool weight,
                   bool reservedAttributes) {
    fFileInfoName = name;
    fFileInfoLocation = location;
    fFileInfoCaseCount = caseCount;
    fFileInfoLabel = label;
    fFileInfoAttributes = attributes;
    fFileInfoDocuments = documents;
    fFileInfoWeight = weight;
    fFileInfoReservedAttributes = reservedAttributes;
  }
  void SetStatisticsGiven(bool value) { fStatisticsGiven = value; }
  // Setting it true also clears the five statistic flags.
  void SetStatisticsNone(bool value) {
    fStatisticsNone = value;
    if (value) SetStatistics(false, false, false, false, false);
  }
  void SetStatistics(bool count, bool percent, bool mean, bool stdDev, bool quartiles) {
    fStatCount = count;
    fStatPercent = percent;
    fStatMean = mean;
    fStatStdDev = stdDev;
    fStatQuartiles = quartiles;
  }
  void SetMaxCats(std::int32_t value) { fMaxCats = value; }
  void SetSortAscending(bool value) { fSortAscending = value; }
  void SetVarOrder(std::int32_t value) { fVarOrder = value; }
  void SetOrderAttributeName(std::string value) { fOrderAttributeName = std::move(value); }
  void SetTreatment(std::vector<std::int32_t> value) { fTreatment = std::move(value); }

 private:
  std::vector<CodebookItem> fItems;
  bool fAllSetsListed = false;
  bool fVarInfoGiven = false;
  bool fVarInfoPosition = false;
  bool fVarInfoLabel = false;
  bool fVarInfoType = false;
  bool fVarInfoFormat = false;
  bool fVarInfoMeasure = false;
  bool fVarInfoRole = false;
  bool fVarInfoAttributes = false;
  bool fVarInfoValueLabels = false;
  bool fVarInfoMissing = false;
  bool fVarInfoReservedAttributes = false;
  bool fFileInfoGiven = false;
  bool fFileInfoName = false;
  bool fFileInfoLocation = false;
  bool fFileInfoCaseCount = false;
  bool fFileInfoLabel = false;
  bool fFileInfoAttributes = false;
  bool fFileInfoDocuments = false;
  bool fFileInfoWeight = false;
  bool fFileInfoReservedAttributes = false;
  bool fStatisticsGiven = false;
  bool fStatisticsNone = false;
  bool fStatCount = true;
  bool fStatPercent = true;
  bool fStatMean = true;
  bool fStatStdDev = true;
  bool fStatQuartiles = true;
  std::int32_t fMaxCats = 200;
  bool fSortAscending = true;
  std::int32_t fVarOrder = kOrderVarList;
  std::string fOrderAttributeName;
  std::vector<std::int32_t> fTreatment;
};

}  // namespace codebook
