// The "File Information" table: the data file as a whole.
#include <string>

#include "cbkoutput.h"
#include "output/text_rules.h"

namespace codebook {

namespace {

const char* const kNone = "<none>";
const char* const kUnknown = "<unknown>";

// One row per attribute element, for the attributes that pass the test.
template <typename Take>
void AttributeRows(BpGroup& group, const DatasourceAttributes& attributes, Take take) {
  for (int i = 0; i < attributes.Size(); ++i) {
    const std::string& name = attributes.Name(i);
    const std::vector<std::string>& values = attributes.Values(i);
    if (values.empty() || !take(name)) continue;
    const int count = static_cast<int>(values.size());
    for (int j = 0; j < count; ++j) {
      BpCategory row = group.Category(BpString(AttributeElementName(name, j, count), false));
      const std::string& value = values[static_cast<std::size_t>(j)];
      row.Cell(BpString(value.empty() ? std::string(" ") : value, false));
    }
  }
}

}  // namespace

void CodebookRun::WriteFileInformation(double weightedCaseTotal) {
  const CodebookSettings& settings = *fSettings;
  BpPivotTable table =
      fProcedure->PivotTable(BpString("File Information", true), BpString("FileInformation", false), true);
  table.MinDataColumnWidth(200);
  BpDimension rows = table.Dimension(BpString("Attributes", true), 2);
  rows.Position(0, 1, true, false);

  // The path is split at its last backslash, the only separator the host
  // writes between folder and file name.
  const char* spec = fDataSource->GetFileSpec();
  const std::string path = spec != nullptr ? std::string(spec) : std::string();
  const std::string::size_type found = spec != nullptr ? path.rfind('\\') : std::string::npos;
  const long split = found == std::string::npos ? -1 : static_cast<long>(found);

  if (settings.fileInfoName()) {
    BpCategory row = rows.Category(BpString("File Name", true));
    if (split >= 1) {
      row.Cell(BpString(path.substr(static_cast<std::size_t>(split) + 1), false));
    } else {
      row.Cell(BpString(kNone, true));
    }
  }
  if (settings.fileInfoLocation()) {
    BpCategory row = rows.Category(BpString("Location", true));
    if (split >= 1) {
      row.Cell(BpString(path.substr(0, static_cast<std::size_t>(split)), false));
    } else {
      row.Cell(BpString(kNone, true));
    }
  }
  if (settings.fileInfoLabel()) {
    BpCategory row = rows.Category(BpString("Label", true));
    const char* label = fDataSource->GetLabel();
    if (label != nullptr) {
      row.Cell(BpString(label, false));
    } else {
      row.Cell(BpString(kNone, true));
    }
  }
  if (settings.fileInfoDocuments()) {
    BpCategory row = rows.Category(BpString("Documents", true));
    for (const DSDocument& document : GetDocuments(*fDataSource)) {
      std::string text;
      for (int line = 0; line < document.Size(); ++line) {
        if (line > 0) text += '\n';
        text += document[line];
      }
      row.Cell(BpString(text, false));
    }
  }
  if (settings.fileInfoWeight()) {
    BpCategory row = rows.Category(BpString("Weight Variable", true));
    const int weightIndex = fDataSource->GetWeightVarIndex();
    const QUVO_Variable* weight = weightIndex >= 0 ? fDataSource->GetVariable(weightIndex) : nullptr;
    if (weight != nullptr) {
      row.Cell(BpString(weight->GetName(), false));
    } else {
      row.Cell(BpString(kNone, true));
    }
  }
  if (settings.fileInfoCaseCount()) {
    std::int64_t caseCount = fDataSource->GetCaseCount();
    if (const QUVO_DataSource* parent = fDataSource->Parent()) caseCount = parent->GetCaseCount();
    BpGroup group = rows.Group(BpString("Number of Cases", true), true, 2);
    BpCategory unweighted = group.Category(BpString("Unweighted", true));
    if (caseCount >= 0) {
      unweighted.Cell(BpNumber(static_cast<double>(caseCount), BpProcedure::Count()));
    } else {
      unweighted.Cell(BpString(kUnknown, true));
    }
    BpCategory weighted = group.Category(BpString("Weighted", true));
    if (weightedCaseTotal > 0.0) {  // also false for a total that is not a number
      weighted.Cell(BpNumber(weightedCaseTotal, BpProcedure::Count()));
    } else {
      weighted.Cell(BpString(kUnknown, true));
    }
  }
  if (settings.fileInfoAttributes()) {
    BpGroup group = rows.Group(BpString("Custom Attributes", true), true, 2);
    AttributeRows(group, fDataSource->GetAttributes(),
                  [](const std::string& name) { return !IsHiddenAttributeName(name); });
  }
  if (settings.fileInfoReservedAttributes()) {
    BpGroup group = rows.Group(BpString("Reserved Attributes", true), true, 2);
    AttributeRows(group, fDataSource->GetAttributes(), [](const std::string& name) {
      return IsReservedAttributeName(name) && !IsHiddenAttributeName(name);
    });
  }
}

}  // namespace codebook
