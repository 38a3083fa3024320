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
enum VarOrder : std::int32_t { kOrderFile = 0, kOrderAlpha = 1, kOrderVarList = 2, kOrderMeasure = 3, kOrderAttribute = 4 };

class CodebookSettings {
 public:
  // Getters: the run reads only these.
  const std::vector<CodebookItem>& items() const { return fItems; }
  bool allSetsListed() const { return fAllSetsListed; }

  bool varInfoGiven() const { return fVarInfoGiven; }
  bool varInfoPosition() const { return fVarInfo[0]; }
  bool varInfoLabel() const { return fVarInfo[1]; }
  bool varInfoType() const { return fVarInfo[2]; }
  bool varInfoFormat() const { return fVarInfo[3]; }
  bool varInfoMeasure() const { return fVarInfo[4]; }
  bool varInfoRole() const { return fVarInfo[5]; }
  bool varInfoAttributes() const { return fVarInfo[6]; }
  bool varInfoValueLabels() const { return fVarInfo[7]; }
  bool varInfoMissing() const { return fVarInfo[8]; }
  bool varInfoReservedAttributes() const { return fVarInfo[9]; }

  bool fileInfoGiven() const { return fFileInfoGiven; }
  bool fileInfoName() const { return fFileInfo[0]; }
  bool fileInfoLocation() const { return fFileInfo[1]; }
  bool fileInfoCaseCount() const { return fFileInfo[2]; }
  bool fileInfoLabel() const { return fFileInfo[3]; }
  bool fileInfoAttributes() const { return fFileInfo[4]; }
  bool fileInfoDocuments() const { return fFileInfo[5]; }
  bool fileInfoWeight() const { return fFileInfo[6]; }
  bool fileInfoReservedAttributes() const { return fFileInfo[7]; }

  bool statisticsGiven() const { return fStatisticsGiven; }
  bool statisticsNone() const { return fStatisticsNone; }
  bool statCount() const { return fStat[0]; }
  bool statPercent() const { return fStat[1]; }
  bool statMean() const { return fStat[2]; }
  bool statStdDev() const { return fStat[3]; }
  bool statQuartiles() const { return fStat[4]; }

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
    fVarInfo[0] = position;
    fVarInfo[1] = label;
    fVarInfo[2] = type;
    fVarInfo[3] = format;
    fVarInfo[4] = measure;
    fVarInfo[5] = role;
    fVarInfo[6] = attributes;
    fVarInfo[7] = valueLabels;
    fVarInfo[8] = missing;
    fVarInfo[9] = reservedAttributes;
  }
  void SetFileInfoGiven(bool value) { fFileInfoGiven = value; }
  void SetFileInfo(bool name, bool location, bool caseCount, bool label, bool attributes, bool documents,
                   bool weight, bool reservedAttributes) {
    fFileInfo[0] = name;
    fFileInfo[1] = location;
    fFileInfo[2] = caseCount;
    fFileInfo[3] = label;
    fFileInfo[4] = attributes;
    fFileInfo[5] = documents;
    fFileInfo[6] = weight;
    fFileInfo[7] = reservedAttributes;
  }
  void SetStatisticsGiven(bool value) { fStatisticsGiven = value; }
  // Setting it true also clears the five statistic flags.
  void SetStatisticsNone(bool value) {
    fStatisticsNone = value;
    if (value) SetStatistics(false, false, false, false, false);
  }
  void SetStatistics(bool count, bool percent, bool mean, bool stdDev, bool quartiles) {
    fStat[0] = count;
    fStat[1] = percent;
    fStat[2] = mean;
    fStat[3] = stdDev;
    fStat[4] = quartiles;
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
  bool fVarInfo[10] = {};
  bool fFileInfoGiven = false;
  bool fFileInfo[8] = {};
  bool fStatisticsGiven = false;
  bool fStatisticsNone = false;
  bool fStat[5] = {true, true, true, true, true};
  std::int32_t fMaxCats = 200;
  bool fSortAscending = true;
  std::int32_t fVarOrder = kOrderVarList;
  std::string fOrderAttributeName;
  std::vector<std::int32_t> fTreatment;
};

}  // namespace codebook
