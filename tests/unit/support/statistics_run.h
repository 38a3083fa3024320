// The statistics object of the procedure over the active dataset, driven as
// a run drives it (set-up, the pass, the results read once the case iterator
// is gone), with the entries a test names: for the engine tests that compare
// whole passes read in different ways.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codebook/item.h"
#include "host/obs.h"

namespace testsupport {

// One plan entry: a variable (one name) or a set (its members).
struct EntrySpec {
  std::vector<std::string> variables;
  codebook::ItemKind kind = codebook::kItemVariable;
  std::uint32_t treatment = 2;  // 1: scale statistics
  bool labels = false;          // its value labels as the categories
};

struct CategoryResults {
  std::vector<double> counts, percents;
  std::vector<OBS> values;
  std::vector<std::string> texts;
  std::vector<std::int32_t> members;
  double missing = 0;
  double total = 0;
};

struct RunResults {
  std::int32_t cases = 0;
  std::int64_t caseCount = 0;  // the data source's
  std::vector<bool> shown;
  std::vector<std::vector<double>> scale;
  std::vector<CategoryResults> categories;  // empty for entries not read
  double caseTotal = 0;
};

// Default statistics (counts, percents, every scale statistic). With
// `readHidden` false the category results of entries over MAXCATS are not
// read, as a run does not read them.
RunResults RunStatistics(const std::vector<EntrySpec>& entries, std::int32_t maxCats, bool readHidden = true);

// The survey-like file the tests of merged passes share: a split variable g,
// a weight w, a labelled code with a user-missing value, a variable with many
// categories, a string with a missing text, an income with a missing range
// from `incomeMissingLow` up, an age with labelled values, a dichotomy set
// $m over `dichotomies` and a category set $b over b1 and b2; its data in
// `csvPath`, with the columns in this order.
std::string SurveyDescriptor(const std::string& csvPath, const std::vector<std::string>& dichotomies,
                             int incomeMissingLow);
// The entries a default command plans for that file: the categorical tables,
// scale statistics of income and age, age's labelled values, the sets and
// the string's scale entry.
std::vector<EntrySpec> SurveyEntries(const std::vector<std::string>& dichotomies);

}  // namespace testsupport
