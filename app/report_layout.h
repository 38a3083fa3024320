// The page layout of a CODEBOOK report: the words of the procedure's tables
// that the renderers go by (the page header, the contents, the overview).
// Header-only, so that the tests and the fuzz targets lay reports out as the
// program does.
#pragma once

#include "host/document.h"

namespace codebook_app {

inline host::ReportLayout CodebookReportLayout() {
  host::ReportLayout layout;
  layout.documentName = "Codebook";
  layout.fileTable = "FileInformation";
  layout.variableTable = "Variable Information";
  layout.labelRow = "Label";
  layout.setPrefix = "$";
  layout.countColumn = "Count";
  layout.percentColumn = "Percent";
  layout.valueColumn = "Value";
  layout.scaleGroup = "N";
  layout.validGroup = "Valid Values";
  layout.missingGroup = "Missing Values";
  layout.statisticsGroup = "Central Tendency and Dispersion";
  layout.meanRow = "Mean";
  layout.setGroup = "Multiple Response Categories";
  return layout;
}

}  // namespace codebook_app
