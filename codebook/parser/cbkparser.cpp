// The CODEBOOK command: descriptor, parse order, the variable and set list,
// and the readers of VARINFO, FILEINFO, STATISTICS and OPTIONS.
#include "parser/cbkparser.h"

#include <algorithm>

#include "host/check.h"
#include "parser/keywords.h"

namespace codebook {

namespace {

const char* const kMsgSyntax = "Error in < ^1 > command.";
const char* const kMsgBadName = "^1 Invalid or non-existent variable name.";
const char* const kMsgDuplicate = "Duplicate variable or MRset name.";
const char* const kMsgNoSets = "No MRSet.";
const char* const kMsgSetRange = "^1 TO ^2 keyword used for multiple response sets.";
const char* const kMsgBadLevel = "Invalid measurement level.";
const char* const kMsgStringScale = "Scale (continuous) measurement.";
const char* const kMsgEmptySubcommand = "< ^1 > must be followed by one or more keywords. This subcommand ignored.";
const char* const kMsgMaxCats = "MAXCATS must be a positive integer.";
const char* const kMsgVarOrderAttribute = "Invalid attribute name specified for VARORDER.";

bool IsNominalOrOrdinal(int level) { return level == Measure::Nominal || level == Measure::Ordinal; }

void AddKeywords(SubComDescriptor& sub, std::initializer_list<const std::string*> keywords) {
  for (const std::string* keyword : keywords) {
    sub.addParamDesc(*keyword, UPSpecTypes::ParamKeyword, false, true, UPSpecTypes::NoBrackets);
  }
}

void BuildDescriptor(CommandDescriptor& command) {
  {
    SubComDescriptor list("", UPSpecTypes::SubComPlain, false, false);
    list.allowSubComEmpty(true);
    list.setExportParamDesc(UPSpecTypes::ParamTokenList, false);
    command.addSubComDesc(list);
  }
  {
    SubComDescriptor varInfo(kw::kVarInfo, UPSpecTypes::SubComPlain, false, false);
    varInfo.allowSubComEmpty(true);
    AddKeywords(varInfo, {&kw::kPosition, &kw::kLabel, &kw::kType, &kw::kFormat, &kw::kMeasure, &kw::kRole,
                          &kw::kAttributes, &kw::kValueLabels, &kw::kMissing, &kw::kReservedAttributes});
    command.addSubComDesc(varInfo);
  }
  {
    SubComDescriptor fileInfo(kw::kFileInfo, UPSpecTypes::SubComPlain, false, false);
    fileInfo.allowSubComEmpty(true);
    AddKeywords(fileInfo, {&kw::kName, &kw::kLocation, &kw::kCaseCount, &kw::kLabel, &kw::kAttributes, &kw::kDocuments,
                           &kw::kWeight, &kw::kReservedAttributes});
    command.addSubComDesc(fileInfo);
  }
  {
    SubComDescriptor statistics(kw::kStatistics, UPSpecTypes::SubComPlain, false, false);
    statistics.allowSubComEmpty(true);
    AddKeywords(statistics, {&kw::kNone, &kw::kCount, &kw::kPercent, &kw::kMean, &kw::kStdDev, &kw::kQuartiles});
    command.addSubComDesc(statistics);
  }
  {
    SubComDescriptor options(kw::kOptions, UPSpecTypes::SubComPlain, false, false);
    options.allowSubComEmpty(true);
    options.setExportParamDesc(UPSpecTypes::ParamTokenList, false);
    options.addParamDesc(kw::kMaxCats, UPSpecTypes::ParamInteger, false, true, UPSpecTypes::NoBrackets);
    {
      ParamDescriptor varOrder(kw::kVarOrder, UPSpecTypes::ParamQualified, false, true, UPSpecTypes::NoBrackets);
      varOrder.addQualifDesc(kw::kFile);
      varOrder.addQualifDesc(kw::kAlpha);
      varOrder.addQualifDesc(kw::kVarList);
      varOrder.addQualifDesc(kw::kMeasure);
      {
        ParamDescriptor attribute(kw::kAttribute, UPSpecTypes::ParamString, false, true, UPSpecTypes::NoBrackets);
        varOrder.addQualifDesc(attribute);
      }
      options.addParamDesc(varOrder);
    }
    {
      ParamDescriptor sort(kw::kSort, UPSpecTypes::ParamString, false, true, UPSpecTypes::NoBrackets);
      sort.addStringValue(kw::kAscending);
      sort.addStringValue(kw::kDescending);
      options.addParamDesc(sort);
    }
    command.addSubComDesc(options);
  }
}

}  // namespace

bool NamesEqual(const std::string& a, const std::string& b) {
  return a.size() == b.size() && QUVOMBstrnicmp_A(a.c_str(), b.c_str(), a.size()) == 0;
}

CodebookParser::CodebookParser(ProcedureDataSource& source, ParserMessage& messages)
    : fDataSource(source), fSettings(std::make_unique<CodebookSettings>()), fMessages(messages) {
  const int columns = fDataSource.ColumnCount();
  std::vector<std::int32_t> treatment(static_cast<std::size_t>(columns), kTreatScale);
  treatment.insert(treatment.end(), fDataSource.GetMRSets().size(), kTreatNominal);
  fSettings->SetTreatment(std::move(treatment));
  fNextSetIndex = columns;
}

CodebookParser::~CodebookParser() = default;

CodebookSettings* CodebookParser::GetSettings() { return fSettings.get(); }

bool CodebookParser::parse() {
  CommandSpec spec;
  int result = 0;
  {
    CommandDescriptor descriptor(kw::kCodebook);
    BuildDescriptor(descriptor);
    QUVO_TokenSequence tokens(true);
    UniversalParser checker(tokens, spec, descriptor);
    result = checker.getCommandSpecifications();
  }
  // The host parser has reported the problem already.
  if (result != 0) return false;

  // The list comes first: VARORDER=ATTRIBUTE looks at the listed variables.
  if (SubComObj* list = spec.getSubComObj("")) {
    if (!ParseList(*list)) return false;
  } else {
    MakeDefaultList();
  }
  return ReadVarInfo(spec) && ReadFileInfo(spec) && ReadStatistics(spec) && ReadOptions(spec);
}

// ---- the list ----

bool CodebookParser::ParseList(SubComObj& list) {
  fWorkItems.clear();
  fWorkTreatment = fSettings->treatment();
  fListed.assign(static_cast<std::size_t>(fDataSource.ColumnCount()), false);
  const int count = list.getTokenListSize();
  auto upper = [&list](int k) -> std::string { return list.getTokenObj(k)->getUpperString(); };
  bool ok = true;
  int i = 0;
  while (ok && i < count) {
    int next = i + 1;
    const std::string word = upper(i);
    if (word == kw::kAll) {
      ok = AllVariables(list, i, next);
    } else if (word == kw::kAllSets) {
      ok = AllSets(i, next);
    } else if (i + 1 < count && upper(i + 1) == kw::kTo) {
      ok = Range(list, i, 0, next);
    } else if (i + 4 < count && upper(i + 1) == "[" && upper(i + 3) == "]" && upper(i + 4) == kw::kTo) {
      ok = Range(list, i, 3, next);
    } else if (list.getTokenObj(i)->getString()[0] == '$') {
      ok = OneSet(list, i, next);
    } else {
      ok = OneVariable(list, i, next);
    }
    i = next;
  }
  fSettings->SetTreatment(fWorkTreatment);
  if (!ok) return false;
  fSettings->SetItems(std::move(fWorkItems));
  fWorkItems.clear();
  return true;
}

void CodebookParser::MakeDefaultList() {
  std::vector<CodebookItem> items;
  std::vector<std::int32_t> treatment = fSettings->treatment();
  const int columns = fDataSource.ColumnCount();
  for (int k = 0; k < columns; ++k) {
    const QUVO_Variable* variable = fDataSource.GetVariable(k);
    CB_CHECK("cbkparser", variable != nullptr);
    // No string rule here: a string variable of scale or unknown level keeps
    // the scale treatment when nothing is listed.
    treatment[static_cast<std::size_t>(k)] =
        IsNominalOrOrdinal(variable->GetMeasurementLevel()) ? kTreatNominal : kTreatScale;
    items.push_back({variable->GetName(), k});
  }
  for (const VariableSetImpl* set : fDataSource.GetMRSets()) items.push_back({set->Name(), fNextSetIndex++});
  fSettings->SetTreatment(std::move(treatment));
  fSettings->SetItems(std::move(items));
}

bool CodebookParser::HaveTokenList(SubComObj& list) {
  ParamObj* exported = list.exportParamObj();
  CB_CHECK("cbkparser", exported != nullptr);
  std::vector<TokenInfoObj> tokens;
  if (!exported->getTokenList(tokens)) {
    ReportSyntaxError();
    return false;
  }
  return true;
}

void CodebookParser::ReportSyntaxError() { fMessages.GenericError(kMsgSyntax, kw::kCodebook.c_str()); }

CodebookParser::Qualifier CodebookParser::ReadQualifier(SubComObj& list, int position) const {
  Qualifier qualifier;
  const int count = list.getTokenListSize();
  if (position + 1 >= count || std::string(list.getTokenObj(position + 1)->getUpperString()) != "[") return qualifier;
  if (position + 3 < count && std::string(list.getTokenObj(position + 3)->getUpperString()) == "]") {
    qualifier.present = true;
    qualifier.level = list.getTokenObj(position + 2)->getUpperString();
    qualifier.text = list.getTokenObj(position + 2)->getString();
  } else {
    qualifier.broken = true;
  }
  return qualifier;
}

bool CodebookParser::LookUp(const std::string& name, std::int32_t& index) {
  index = -1;
  if (ValidateQUVOName(name.c_str()) == 0) index = fDataSource.FindVarIndex(name.c_str(), 0);
  if (index < 0) {
    fMessages.GenericError(kMsgBadName, name.c_str());
    return false;
  }
  return true;
}

bool CodebookParser::IsListedVariable(std::int32_t index) const { return fListed[static_cast<std::size_t>(index)]; }

void CodebookParser::AppendVariable(const std::string& name, std::int32_t index) {
  fWorkItems.push_back({name, index});
  fListed[static_cast<std::size_t>(index)] = true;
}

std::int32_t CodebookParser::DefaultTreatment(std::int32_t index) const {
  const QUVO_Variable* variable = fDataSource.GetVariable(index);
  CB_CHECK("cbkparser", variable != nullptr);
  if (IsNominalOrOrdinal(variable->GetMeasurementLevel())) return kTreatNominal;
  // A string variable of scale or unknown level has no numbers to summarise.
  return variable->GetType() != 0 ? kTreatNominal : kTreatScale;
}

bool CodebookParser::ApplyVariableQualifier(std::int32_t index, const Qualifier& qualifier) {
  if (qualifier.broken) {
    ReportSyntaxError();
    return false;
  }
  CB_CHECK("cbkparser", !fWorkItems.empty());
  const QUVO_Variable* variable = fDataSource.GetVariable(index);
  CB_CHECK("cbkparser", variable != nullptr);
  std::int32_t slot = DefaultTreatment(index);
  const bool isString = variable->GetType() != 0;
  if (qualifier.present) {
    if (qualifier.level == "N") {
      slot = kTreatNominal;
    } else if (qualifier.level == "O") {
      slot = kTreatOrdinal;
    } else if (!isString && qualifier.level == "S") {
      slot = kTreatScale;
    } else if (!isString) {
      fMessages.GenericWarning(kMsgBadLevel, variable->GetName(), qualifier.text.c_str());
    } else {
      slot = kTreatNominal;
      fMessages.GenericWarning(kMsgStringScale, variable->GetName(), qualifier.text.c_str());
    }
  }
  // Only nominal and ordinal string variables may be ordinal; the rest are
  // nominal whatever was asked.
  if (isString && !IsNominalOrOrdinal(variable->GetMeasurementLevel())) slot = kTreatNominal;
  fWorkTreatment[static_cast<std::size_t>(index)] = slot;
  return true;
}

bool CodebookParser::ApplySetQualifier(const std::string& name, const Qualifier& qualifier) {
  if (qualifier.broken) {
    ReportSyntaxError();
    return false;
  }
  // Sets are always counted as nominal; anything else is only warned about.
  if (qualifier.present && qualifier.level != "N") {
    fMessages.GenericWarning(kMsgBadLevel, name.c_str(), qualifier.text.c_str());
  }
  return true;
}

bool CodebookParser::AllVariables(SubComObj& list, int i, int& next) {
  if (!HaveTokenList(list)) return false;
  const Qualifier qualifier = ReadQualifier(list, i);
  const int columns = fDataSource.ColumnCount();
  for (int k = 0; k < columns; ++k) {
    if (IsListedVariable(k)) {
      fMessages.GenericError(kMsgDuplicate, list.getTokenObj(i)->getString());
      return false;
    }
    AppendVariable(fDataSource.GetVariable(k)->GetName(), k);
    if (!ApplyVariableQualifier(k, qualifier)) return false;
  }
  next = i + 1 + (qualifier.present ? 3 : 0);
  return true;
}

bool CodebookParser::AllSets(int i, int& next) {
  const std::vector<VariableSetImpl*>& sets = fDataSource.GetMRSets();
  if (sets.empty()) {
    fMessages.GenericError(kMsgNoSets);
    return false;
  }
  fSettings->SetAllSetsListed(true);
  // Sets named before are not looked for: they are listed again.
  for (const VariableSetImpl* set : sets) fWorkItems.push_back({set->Name(), fNextSetIndex++});
  next = i + 1;
  return true;
}

bool CodebookParser::Range(SubComObj& list, int i, int skip, int& next) {
  if (!HaveTokenList(list)) return false;
  const int count = list.getTokenListSize();
  if (count < i + skip + 3) {
    fMessages.KeywordImproperVarList(kw::kTo.c_str(), nullptr, nullptr);
    return false;
  }
  const std::string first = list.getTokenObj(i)->getString();
  const std::string second = list.getTokenObj(i + skip + 2)->getString();
  if ((!first.empty() && first[0] == '$') || (!second.empty() && second[0] == '$')) {
    fMessages.GenericError(kMsgSetRange, first.c_str(), second.c_str());
    return false;
  }
  std::int32_t firstIndex = -1;
  std::int32_t secondIndex = -1;
  if (!LookUp(first, firstIndex) || !LookUp(second, secondIndex)) return false;
  if (firstIndex == secondIndex) {
    fMessages.KeywordImproperVarList(kw::kTo.c_str(), nullptr, nullptr);
    return false;
  }
  const Qualifier firstQualifier = skip != 0 ? ReadQualifier(list, i) : Qualifier{};
  const Qualifier secondQualifier = ReadQualifier(list, i + skip + 2);
  const std::int32_t low = std::min(firstIndex, secondIndex);
  const std::int32_t high = std::max(firstIndex, secondIndex);
  for (std::int32_t k = low; k <= high; ++k) {
    if (IsListedVariable(k)) {
      // Variables listed before are skipped inside the range, but an
      // endpoint listed twice is the user's mistake.
      if (k == low || k == high) {
        fMessages.GenericError(kMsgDuplicate);
        return false;
      }
      continue;
    }
    AppendVariable(fDataSource.GetVariable(k)->GetName(), k);
    fWorkTreatment[static_cast<std::size_t>(k)] = DefaultTreatment(k);
    if (k == firstIndex && !ApplyVariableQualifier(k, firstQualifier)) return false;
    if (k == secondIndex && !ApplyVariableQualifier(k, secondQualifier)) return false;
  }
  next = i + skip + 3 + (secondQualifier.present ? 3 : 0);
  return true;
}

bool CodebookParser::OneSet(SubComObj& list, int i, int& next) {
  const std::string name = list.getTokenObj(i)->getString();
  if (fSettings->allSetsListed()) {
    fMessages.GenericError(kMsgDuplicate);
    return false;
  }
  const std::vector<VariableSetImpl*>& sets = fDataSource.GetMRSets();
  const bool known = std::any_of(sets.begin(), sets.end(),
                                 [&name](const VariableSetImpl* set) { return NamesEqual(set->Name(), name); });
  if (!known) {
    fMessages.GenericError(kMsgBadName, name.c_str());
    return false;
  }
  for (const QuvoVarName& listed : fListedSetNames) {
    if (NamesEqual(listed.str(), name)) {
      fMessages.GenericError(kMsgDuplicate);
      return false;
    }
  }
  fListedSetNames.emplace_back(name.c_str());
  fWorkItems.push_back({name, fNextSetIndex++});
  const Qualifier qualifier = ReadQualifier(list, i);
  if (!ApplySetQualifier(name, qualifier)) return false;
  next = i + 1 + (qualifier.present ? 3 : 0);
  return true;
}

bool CodebookParser::OneVariable(SubComObj& list, int i, int& next) {
  if (!HaveTokenList(list)) return false;
  const std::string name = list.getTokenObj(i)->getString();
  std::int32_t index = -1;
  if (!LookUp(name, index)) return false;
  if (IsListedVariable(index)) {
    fMessages.GenericError(kMsgDuplicate);
    return false;
  }
  AppendVariable(name, index);
  const Qualifier qualifier = ReadQualifier(list, i);
  if (!ApplyVariableQualifier(index, qualifier)) return false;
  next = i + 1 + (qualifier.present ? 3 : 0);
  return true;
}

// ---- named subcommands ----

namespace {

// Reads the bare keywords of VARINFO or FILEINFO into flags; true when the
// subcommand was given with at least one of them.
bool ReadFlags(CommandSpec& spec, const std::string& subcommand, std::initializer_list<const std::string*> keywords,
               bool* flags, ParserMessage& messages) {
  SubComObj* sub = spec.getSubComObj(subcommand);
  if (sub == nullptr) return false;
  bool any = false;
  for (const std::string* keyword : keywords) {
    *flags = sub->getParamObj(*keyword) != nullptr;
    any = any || *flags;
    ++flags;
  }
  if (!any) messages.GenericWarning(kMsgEmptySubcommand, subcommand.c_str());
  return any;
}

}  // namespace

bool CodebookParser::ReadVarInfo(CommandSpec& spec) {
  bool f[10] = {};
  const bool given = ReadFlags(spec, kw::kVarInfo,
                               {&kw::kPosition, &kw::kLabel, &kw::kType, &kw::kFormat, &kw::kMeasure, &kw::kRole,
                                &kw::kAttributes, &kw::kValueLabels, &kw::kMissing, &kw::kReservedAttributes},
                               f, fMessages);
  fSettings->SetVarInfoGiven(given);
  fSettings->SetVarInfo(f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8], f[9]);
  return true;
}

bool CodebookParser::ReadFileInfo(CommandSpec& spec) {
  bool f[8] = {};
  const bool given = ReadFlags(spec, kw::kFileInfo,
                               {&kw::kName, &kw::kLocation, &kw::kCaseCount, &kw::kLabel, &kw::kAttributes,
                                &kw::kDocuments, &kw::kWeight, &kw::kReservedAttributes},
                               f, fMessages);
  fSettings->SetFileInfoGiven(given);
  fSettings->SetFileInfo(f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7]);
  return true;
}

bool CodebookParser::ReadStatistics(CommandSpec& spec) {
  fSettings->SetStatisticsGiven(false);
  bool f[5] = {};
  SubComObj* sub = spec.getSubComObj(kw::kStatistics);
  if (sub != nullptr) {
    const bool none = sub->getParamObj(kw::kNone) != nullptr;
    const std::string* keywords[5] = {&kw::kCount, &kw::kPercent, &kw::kMean, &kw::kStdDev, &kw::kQuartiles};
    bool any = false;
    for (int k = 0; k < 5; ++k) {
      f[k] = sub->getParamObj(*keywords[k]) != nullptr;
      any = any || f[k];
    }
    if (none && any) {
      fMessages.ParamExclAnyOther(kw::kNone.c_str(), kw::kStatistics.c_str());
      return false;
    }
    if (!none && !any) {
      fMessages.GenericWarning(kMsgEmptySubcommand, kw::kStatistics.c_str());
    } else {
      fSettings->SetStatisticsGiven(true);
    }
    if (none) {
      fSettings->SetStatisticsNone(true);
      return true;
    }
  }
  fSettings->SetStatistics(f[0], f[1], f[2], f[3], f[4]);
  return true;
}

bool CodebookParser::AttributeListed(const std::string& name) const {
  for (const CodebookItem& item : fSettings->items()) {
    if (item.IsSet()) continue;
    const QUVO_Variable* variable = fDataSource.GetVariable(item.index);
    CB_CHECK("cbkparser", variable != nullptr);
    const DatasourceAttributes& attributes = variable->GetAttributes();
    for (int k = 0; k < attributes.Size(); ++k) {
      const std::string& attribute = attributes.Name(k);
      // Names beginning with "$" are the host's reserved attributes.
      if (!attribute.empty() && attribute[0] != '$' && NamesEqual(attribute, name)) return true;
    }
  }
  return false;
}

bool CodebookParser::ReadOptions(CommandSpec& spec) {
  SubComObj* sub = spec.getSubComObj(kw::kOptions);
  if (sub == nullptr) return true;
  bool result = true;
  bool nothingUsable = true;
  std::int32_t order = kOrderVarList;
  bool ascending = true;

  if (ParamObj* maxCats = sub->getParamObj(kw::kMaxCats)) {
    int value = 200;
    if (maxCats->getIntegerValue(value) && value > 0) {
      fSettings->SetMaxCats(value);
      nothingUsable = false;
    } else {
      fSettings->SetMaxCats(200);
      fMessages.GenericWarning(kMsgMaxCats);
    }
  }

  if (ParamObj* varOrder = sub->getParamObj(kw::kVarOrder)) {
    ParamObj value;
    varOrder->getStringAndQual(value, nullptr, nullptr);
    const std::string name = value.getParamName();
    if (NamesEqual(name, kw::kFile)) {
      order = kOrderFile;
    } else if (NamesEqual(name, kw::kAlpha)) {
      order = kOrderAlpha;
    } else if (NamesEqual(name, kw::kVarList)) {
      order = kOrderVarList;
    } else if (NamesEqual(name, kw::kMeasure)) {
      order = kOrderMeasure;
    } else if (NamesEqual(name, kw::kAttribute)) {
      std::string attribute;
      value.getStringGeneric(attribute);
      if (AttributeListed(attribute)) {
        fSettings->SetOrderAttributeName(attribute);
        order = kOrderAttribute;
      } else {
        order = kOrderVarList;
        fMessages.GenericWarning(kMsgVarOrderAttribute);
      }
    } else {
      result = false;
    }
    if (result) nothingUsable = false;
  }

  if (ParamObj* sort = sub->getParamObj(kw::kSort)) {
    ParamObj value;
    sort->getStringAndQual(value, nullptr, nullptr);
    const std::string name = value.getParamName();
    if (NamesEqual(name, kw::kAscending)) {
      ascending = true;
      nothingUsable = false;
    } else if (NamesEqual(name, kw::kDescending)) {
      ascending = false;
      nothingUsable = false;
    } else {
      result = false;
    }
  }

  if (nothingUsable) fMessages.GenericWarning(kMsgEmptySubcommand, kw::kOptions.c_str());
  fSettings->SetSortAscending(ascending);
  fSettings->SetVarOrder(order);
  return result;
}

}  // namespace codebook
