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

// A row holding a text of the data, or "<none>" when there is none.
void TextRow(BpDimension& rows, const char* title, const char* text) {
  BpCategory row = rows.Category(BpString(title, true));
  if (text != nullptr) {
    row.Cell(BpString(text, false));
  } else {
    row.Cell(BpString(kNone, true));
  }
}

// The file's name and folder. The path is split at its last backslash, the
// only separator the host writes between folder and file name.
void PathRows(BpDimension& rows, const CodebookSettings& settings, const ProcedureDataSource& source) {
  const char* spec = source.GetFileSpec();
  const std::string path = spec != nullptr ? std::string(spec) : std::string();
  const std::string::size_type split = spec != nullptr ? path.rfind('\\') : std::string::npos;
  const bool known = split != std::string::npos && split >= 1;
  if (settings.fileInfoName()) {
    const std::string name = known ? path.substr(split + 1) : std::string();
    TextRow(rows, "File Name", known ? name.c_str() : nullptr);
  }
  if (settings.fileInfoLocation()) {
    const std::string folder = known ? path.substr(0, split) : std::string();
    TextRow(rows, "Location", known ? folder.c_str() : nullptr);
  }
}

void DocumentsRow(BpDimension& rows, const ProcedureDataSource& source) {
  BpCategory row = rows.Category(BpString("Documents", true));
  for (const DSDocument& document : GetDocuments(source)) {
    std::string text;
    for (int line = 0; line < document.Size(); ++line) {
      if (line > 0) text += '\n';
      text += document[line];
    }
    row.Cell(BpString(text, false));
  }
}

// The cases as counted (of the whole file when split) and as weighted.
void CaseCountRows(BpDimension& rows, const ProcedureDataSource& source, double weightedCaseTotal) {
  std::int64_t caseCount = source.GetCaseCount();
  if (const QUVO_DataSource* parent = source.Parent()) caseCount = parent->GetCaseCount();
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

}  // namespace

void CodebookRun::WriteFileInformation(double weightedCaseTotal) {
  const CodebookSettings& settings = *fSettings;
  BpPivotTable table =
      fProcedure->PivotTable(BpString("File Information", true), BpString("FileInformation", false), true);
  table.MinDataColumnWidth(200);
  BpDimension rows = table.Dimension(BpString("Attributes", true), 2);
  rows.Position(0, 1, true, false);
  table.InOrder();  // every row gets its cells before the next is made

  PathRows(rows, settings, *fDataSource);
  if (settings.fileInfoLabel()) TextRow(rows, "Label", fDataSource->GetLabel());
  if (settings.fileInfoDocuments()) DocumentsRow(rows, *fDataSource);
  if (settings.fileInfoWeight()) {
    const int weightIndex = fDataSource->GetWeightVarIndex();
    const QUVO_Variable* weight = weightIndex >= 0 ? fDataSource->GetVariable(weightIndex) : nullptr;
    TextRow(rows, "Weight Variable", weight != nullptr ? weight->GetName() : nullptr);
  }
  if (settings.fileInfoCaseCount()) CaseCountRows(rows, *fDataSource, weightedCaseTotal);
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
