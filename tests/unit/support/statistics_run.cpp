#include "support/statistics_run.h"

#include <memory>

#include "codebook/stats/variable_statistics.h"

namespace testsupport {

RunResults RunStatistics(const std::vector<EntrySpec>& specs, std::int32_t maxCats, bool readHidden) {
  namespace TEC = TableEncryptionCodes;
  ProcedureDataSource source;
  std::vector<std::unique_ptr<codebook::PlanEntry>> entries;
  for (const EntrySpec& spec : specs) {
    auto* h = new codebook::ItemHandle();
    h->Item().fDataSource = &source;
    h->Item().fKind = spec.kind;
    if (spec.kind == codebook::kItemVariable) {
      const int index = source.FindVarIndex(spec.variables.front().c_str(), 0);
      h->Item().fIndex = index;
      h->Item().fVariable = source.GetVariable(index);
      h->SetCategoryCount(static_cast<std::uint32_t>(source.GetVariable(index)->valueLabels.size()));
    } else {
      h->Item().fIndex = source.ColumnCount();
      h->Item().fDisplayText = "$set";
      for (const std::string& m : spec.variables) h->Item().fMemberIndices.push_back(source.FindVarIndex(m.c_str(), 0));
      if (spec.kind == codebook::kItemDichotomySet) h->Item().fCountedValue = {ObsFromNumber(1)};
      h->Item().fCountedValueLength = 8;
      h->SetCategoryCount(static_cast<std::uint32_t>(spec.variables.size()));
    }
    entries.push_back(std::make_unique<codebook::PlanEntry>(std::unique_ptr<codebook::ItemHandle>(h)));
    entries.back()->SetTreatment(spec.treatment);
    entries.back()->SetValueLabelsAsCategories(spec.labels);
  }
  std::vector<AggregationStatistic> categoryStatistics{AggregationStatistic(TEC::Count),
                                                       AggregationStatistic(TEC::Percent)};
  const std::vector<std::int32_t> scaleCodes{222, 198, 179, 203, 468};
  std::vector<codebook::PlanEntry*> plan;
  for (auto& e : entries) plan.push_back(e.get());
  RunResults out;
  std::unique_ptr<QUVO_InputCaseIterator> it(source.CreateCaseIterator(0));
  codebook::VariableStatistics s(plan, &categoryStatistics, &scaleCodes);
  s.SetUpTables(static_cast<ProcDSIterator*>(it.get()), maxCats);
  out.cases = s.PassCases(maxCats);
  out.caseCount = source.GetCaseCount();
  it.reset();
  out.shown = s.GetCategoriesShown();
  for (std::uint32_t i = 0; i < plan.size() && out.cases > 0; ++i) {
    std::vector<double> scale;
    s.GetScaleResults(i, scale);
    out.scale.push_back(scale);
    CategoryResults c;
    if (readHidden || out.shown[i]) {
      c.total = s.GetCategoryResults(i, c.counts, c.percents, c.values, c.texts, c.members, c.missing);
    }
    out.categories.push_back(c);
  }
  out.caseTotal = s.GetWeightedCaseTotal();
  return out;
}

std::string SurveyDescriptor(const std::string& csvPath, const std::vector<std::string>& dichotomies,
                             int incomeMissingLow) {
  std::string members, fields;
  for (const std::string& m : dichotomies) {
    members += (members.empty() ? "\"" : ", \"") + m + "\"";
    fields += R"({"name": ")" + m + R"(", "type": "integer"}, )";
  }
  return R"({
  "weight": "w", "splitFile": ["g"],
  "multipleResponseSets": [
    {"name": "$m", "type": "dichotomies", "countedValue": "1", "variables": [)" +
         members + R"(]},
    {"name": "$b", "type": "categories", "variables": ["b1", "b2"]}],
  "resources": [{"path": ")" +
         csvPath + R"(", "schema": {"fields": [
    {"name": "g", "type": "integer"},
    {"name": "w", "type": "number"},
    {"name": "code", "type": "integer", "measure": "nominal", "userMissing": {"values": [9]},
     "categories": [{"value": 1, "label": "one"}, {"value": 2, "label": "two"}]},
    {"name": "many", "type": "integer", "measure": "nominal"},
    {"name": "s", "type": "string", "userMissing": {"values": ["NA"]}},
    {"name": "income", "type": "number", "userMissing": {"range": {"low": )" +
         std::to_string(incomeMissingLow) + R"(, "high": "HI"}}},
    {"name": "age", "type": "integer", "measure": "scale",
     "categories": [{"value": 30, "label": "thirty"}, {"value": 20, "label": "twenty"}]},
    )" + fields +
         R"({"name": "b1", "type": "integer", "measure": "nominal"},
    {"name": "b2", "type": "integer", "measure": "nominal"}]}}]})";
}

std::vector<EntrySpec> SurveyEntries(const std::vector<std::string>& dichotomies) {
  return {
      {{"code"}},
      {{"many"}},
      {{"s"}},
      {{"income"}, codebook::kItemVariable, 1},
      {{"age"}, codebook::kItemVariable, 1},
      {{"age"}, codebook::kItemVariable, 2, true},  // its labelled values as categories
      {{"age"}},
      {dichotomies, codebook::kItemDichotomySet},
      {{"b1", "b2"}, codebook::kItemCategorySet},
      {{"s"}, codebook::kItemVariable, 1},
  };
}

}  // namespace testsupport
