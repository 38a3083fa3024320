// The command's keywords: one string constant each, made once when the
// library is loaded and compared or passed by reference afterwards.
#pragma once

#include <string>

namespace codebook::kw {

extern const std::string kCodebook;
extern const std::string kVarInfo;
extern const std::string kPosition;
extern const std::string kLabel;  // VARINFO and FILEINFO
extern const std::string kType;
extern const std::string kFormat;
extern const std::string kMeasure;  // VARINFO, and VARORDER=MEASURE
extern const std::string kRole;
extern const std::string kAttributes;  // VARINFO and FILEINFO
extern const std::string kValueLabels;
extern const std::string kMissing;
extern const std::string kReservedAttributes;  // VARINFO and FILEINFO
extern const std::string kFileInfo;
extern const std::string kName;
extern const std::string kLocation;
extern const std::string kCaseCount;
extern const std::string kDocuments;
extern const std::string kWeight;
extern const std::string kStatistics;
extern const std::string kNone;
extern const std::string kCount;
extern const std::string kPercent;
extern const std::string kMean;
extern const std::string kStdDev;
extern const std::string kQuartiles;
extern const std::string kOptions;
extern const std::string kMaxCats;
extern const std::string kVarOrder;
extern const std::string kFile;
extern const std::string kAlpha;
extern const std::string kVarList;
extern const std::string kAttribute;
extern const std::string kSort;
extern const std::string kAscending;
extern const std::string kDescending;
// Words of the variable and set list.
extern const std::string kAll;
extern const std::string kAllSets;
extern const std::string kTo;

}  // namespace codebook::kw
