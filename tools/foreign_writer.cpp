// foreign-writer: writes a dataset the program reads (a data package or a
// CSV file) as a Stata (.dta), SAS (.sas7bdat, with its value labels in a
// .sas7bcat catalog beside it) or SAS transport (.xpt) file, through
// ReadStat's writer. It makes the example files, the test files of every
// release and the benchmark's Stata survey, so that no file comes from
// anyone else's samples.
//
//   foreign-writer [--version N] [--float NAME]... [--strl NAME]... [--on-top FILE]
//                  [--catalog-var NAME]... [--32-bit] [--compress] DATASET OUTPUT
//
// User-missing values become extended missing codes (.a, .b, ... in Stata;
// .A, .B, ... in SAS), discrete ones first, then each value found in the
// range; their value labels go with them. --on-top writes a data package
// descriptor with what these files cannot hold (weight, split variables,
// multiple-response sets, measurement levels and roles the reader would not
// infer, attributes) that points at OUTPUT. --catalog-var puts only the
// named variables' value labels into a SAS catalog (variables with equal
// labels share one format). --32-bit writes a SAS data file with 32-bit
// offsets and counts (as SAS on 32-bit systems did), --compress one whose
// rows are compressed (SAS's COMPRESS=CHAR, run-length coded).
#include <readstat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/common/text.h"
#include "host/data/dataset.h"
#include "host/data/dates.h"
#include "host/dataset.h"

namespace {

namespace fs = std::filesystem;
namespace dates = host::dates;

constexpr double kOrigin1960 = dates::SecondsFromCivil(1960, 1, 1);

enum class Kind { Stata, Sas, Transport };

struct Options {
  long version = 0;
  std::set<std::string> floats;
  std::set<std::string> strls;
  std::set<std::string> catalogVars;
  bool narrow = false;    // SAS: 32-bit offsets and counts
  bool compress = false;  // SAS: run-length coded rows
  std::string onTop;
  std::string dataset;
  std::string output;
};

[[noreturn]] void Die(const std::string& message) {
  std::cerr << "foreign-writer: " << message << "\n";
  std::exit(2);
}

void Check(readstat_error_t error, const char* what) {
  if (error != READSTAT_OK) Die(std::string(what) + ": " + readstat_error_message(error));
}

ssize_t WriteBytes(const void* data, size_t length, void* ctx) {
  return static_cast<ssize_t>(std::fwrite(data, 1, length, static_cast<std::FILE*>(ctx)));
}

// How one variable is written.
struct Column {
  const QUVO_Variable* variable = nullptr;
  readstat_variable_t* out = nullptr;
  readstat_type_t type = READSTAT_TYPE_DOUBLE;
  std::string format;
  int dateUnit = 0;             // 0 none, 1 days, 2 ms (Stata) or s (SAS), 3 months, 4 quarters, 5 weeks
  std::map<double, char> tags;  // user-missing value -> tag
};

// The value a date variable stores in the file's units.
double FileDate(const Column& c, Kind kind, double seconds) {
  const double since = seconds - kOrigin1960;
  switch (c.dateUnit) {
    case 1:
      return std::floor(since / dates::kSecondsPerDay);
    case 2:
      return kind == Kind::Stata ? since * 1000.0 : since;
    case 3:
    case 4:
    case 5: {
      const dates::DateTimeParts p = dates::PartsFromSeconds(seconds);
      const double years = static_cast<double>(p.date.year - 1960);
      if (c.dateUnit == 3) return years * 12 + (p.date.month - 1);
      if (c.dateUnit == 4) return years * 4 + (p.date.month - 1) / 3;
      return years * 52 + std::min(51u, (dates::DayOfYear(p.date) - 1) / 7);
    }
    default:
      return seconds;
  }
}

std::string StataFormat(const QUVO_Variable& v, Column& c) {
  const QUVO_Format f = v.printFormat;
  if (v.IsString()) return "%" + std::to_string(std::min(v.width, 2045)) + "s";
  switch (f.type) {
    case FormatType::DATE:
    case FormatType::ADATE:
    case FormatType::EDATE:
    case FormatType::SDATE:
      c.dateUnit = 1;
      return "%td";
    case FormatType::DATETIME:
      c.dateUnit = 2;
      return "%tc";
    case FormatType::MOYR:
      c.dateUnit = 3;
      return "%tm";
    case FormatType::QYR:
      c.dateUnit = 4;
      return "%tq";
    case FormatType::WKYR:
      c.dateUnit = 5;
      return "%tw";
    default:
      break;
  }
  const int width = std::clamp<int>(f.width, 1, 40);
  if (f.decimals == 0) return "%" + std::to_string(width) + ".0g";
  return "%" + std::to_string(width) + "." + std::to_string(f.decimals) + "f";
}

std::string SasFormat(const QUVO_Variable& v, Column& c) {
  const QUVO_Format f = v.printFormat;
  const std::string w = std::to_string(f.width);
  const std::string d = f.decimals > 0 ? std::to_string(f.decimals) : "";
  if (v.IsString()) return "$" + std::to_string(v.width) + ".";
  switch (f.type) {
    case FormatType::DATE:
      c.dateUnit = 1;
      return "DATE" + std::to_string(std::max<int>(f.width, 9)) + ".";
    case FormatType::ADATE:
      c.dateUnit = 1;
      return "MMDDYY10.";
    case FormatType::DATETIME:
      c.dateUnit = 2;
      return "DATETIME20.";
    case FormatType::TIME:
      return "TIME8.";
    case FormatType::COMMA:
      return "COMMA" + w + "." + d;
    case FormatType::DOLLAR:
      return "DOLLAR" + w + "." + d;
    case FormatType::F:
      return w + "." + d;
    default:
      return "BEST12.";
  }
}

// A SAS format name for a label set: letters only, never ending in a digit.
std::string SasFormatName(const std::string& variable, bool isString) {
  std::string name;
  for (const char ch : variable) {
    if (std::isalpha(static_cast<unsigned char>(ch)) != 0) name += host::UpperAscii(ch);
  }
  name = name.substr(0, 20) + "F";
  return isString ? "$" + name : name;
}

// User-missing values found in the data, in ascending order, for ranges.
std::map<int, std::set<double>> RangeValues(host::Dataset& dataset) {
  std::map<int, std::set<double>> found;
  std::unique_ptr<host::CaseCursor> cursor = dataset.cases->Open();
  while (const host::CaseBlock* block = cursor->NextBlock()) {
    for (std::size_t i = 0; i < dataset.variables.size(); ++i) {
      const QUVO_Variable& v = *dataset.variables[i];
      if (v.IsString() || !v.missing.hasRange) continue;
      for (std::size_t r = 0; r < block->rows; ++r) {
        const double x = block->numbers[i][r];
        if (x != SYSMIS && x >= v.missing.low && x <= v.missing.high) found[static_cast<int>(i)].insert(x);
      }
    }
  }
  return found;
}

readstat_type_t NumericStorage(const QUVO_Variable& v, Kind kind, const Options& options,
                               const std::vector<double>& range) {
  if (kind != Kind::Stata) return READSTAT_TYPE_DOUBLE;
  if (options.floats.count(v.name) != 0) return READSTAT_TYPE_FLOAT;
  // Whole-number codes in a short type, as Stata users store them.
  if (range.size() == 3 && range[2] == 0.0) {
    if (range[0] >= -127 && range[1] <= 100) return READSTAT_TYPE_INT8;
    if (range[0] >= -32767 && range[1] <= 32740) return READSTAT_TYPE_INT16;
    if (range[0] >= -2147483647.0 && range[1] <= 2147483620.0) return READSTAT_TYPE_INT32;
  }
  return READSTAT_TYPE_DOUBLE;
}

// The user-missing values the file could not hold as codes.
nlohmann::ordered_json UserMissing(const MissingValues& mv) {
  nlohmann::ordered_json j = nlohmann::ordered_json::object();
  for (double v : mv.numbers) j["values"].push_back(v);
  for (const std::string& s : mv.strings) j["values"].push_back(s);
  if (mv.hasRange) {
    j["range"]["low"] = std::isinf(mv.low) ? nlohmann::ordered_json("LO") : nlohmann::ordered_json(mv.low);
    j["range"]["high"] = std::isinf(mv.high) ? nlohmann::ordered_json("HI") : nlohmann::ordered_json(mv.high);
  }
  return j;
}

nlohmann::ordered_json OnTopDescriptor(const host::Dataset& dataset, const std::string& dataPath,
                                       const std::set<std::string>& keepMissing,
                                       const std::set<std::string>& labelsWritten, Kind kind) {
  nlohmann::ordered_json j;
  if (dataset.weightIndex >= 0) j["weight"] = dataset.variables[static_cast<std::size_t>(dataset.weightIndex)]->name;
  if (!dataset.splitIndices.empty()) {
    for (int i : dataset.splitIndices) j["splitFile"].push_back(dataset.variables[static_cast<std::size_t>(i)]->name);
  }
  for (const auto& set : dataset.sets) {
    nlohmann::ordered_json s;
    s["name"] = set->name;
    s["label"] = set->label;
    s["type"] = set->type == 2 ? "dichotomies" : "categories";
    if (set->type == 2) s["countedValue"] = set->countedValue;
    s["variables"] = set->members;
    j["multipleResponseSets"].push_back(s);
  }
  nlohmann::ordered_json fields = nlohmann::ordered_json::array();
  static const char* kMeasures[] = {"unknown", "nominal", "ordinal", "scale"};
  static const char* kRoles[] = {"input", "target", "both", "none", "partition", "split"};
  for (const auto& v : dataset.variables) {
    nlohmann::ordered_json f;
    const int inferred = v->IsString() || !v->valueLabels.empty() ? Measure::Nominal : Measure::Scale;
    if (v->measure != inferred && v->measure >= 0 && v->measure <= 3) f["measure"] = kMeasures[v->measure];
    if (v->role != Role::Input && v->role >= 0 && v->role <= 5) f["role"] = kRoles[v->role];
    if (keepMissing.count(v->name) != 0 && !v->missing.Empty()) f["userMissing"] = UserMissing(v->missing);
    // Labels the file could not hold (Stata's of strings, those left out
    // of a SAS catalog), except those of values that became codes.
    if (!v->valueLabels.empty() && labelsWritten.count(v->name) == 0) {
      for (const ValueLabel& l : v->valueLabels) {
        if (v->IsString()) {
          f["categories"].push_back({{"value", std::string(ObsString(l.value))}, {"label", l.label}});
        } else if (!v->IsUserMissingNumber(l.value.d)) {
          f["categories"].push_back({{"value", l.value.d}, {"label", l.label}});
        }
      }
    }
    // Display formats a Stata file cannot hold (times, money, commas).
    if (kind == Kind::Stata && !v->IsString()) {
      static const std::map<int, const char*> kKept = {
          {FormatType::TIME, "TIME"}, {FormatType::DOLLAR, "DOLLAR"}, {FormatType::COMMA, "COMMA"}};
      if (auto it = kKept.find(v->printFormat.type); it != kKept.end()) {
        std::string text = it->second + std::to_string(v->printFormat.width);
        if (v->printFormat.decimals > 0) text += "." + std::to_string(v->printFormat.decimals);
        f["printFormat"] = text;
      }
    }
    for (int a = 0; a < v->attributes.Size(); ++a) {
      f["attributes"][v->attributes.Name(a)] = v->attributes.Values(a);
    }
    if (!f.empty()) {
      nlohmann::ordered_json named = {{"name", v->name}};
      named.update(f);
      fields.push_back(named);
    }
  }
  for (int a = 0; a < dataset.attributes.Size(); ++a)
    j["attributes"][dataset.attributes.Name(a)] = dataset.attributes.Values(a);
  nlohmann::ordered_json resource;
  resource["path"] = dataPath;
  if (!fields.empty()) resource["schema"]["fields"] = fields;
  j["resources"].push_back(resource);
  return j;
}

Kind KindOfOutput(const std::string& output) {
  const std::string ext = fs::path(output).extension().string();
  if (ext == ".dta") return Kind::Stata;
  if (ext == ".sas7bdat") return Kind::Sas;
  if (ext == ".xpt") return Kind::Transport;
  Die("the output must end in .dta, .sas7bdat or .xpt");
}

// Per numeric column: the smallest and largest valid value, and 1 when any
// has a fraction ({0, 0, 0} without values). `rows` counts the cases.
std::vector<std::vector<double>> ValueRanges(const host::Dataset& dataset, std::int64_t& rows) {
  const std::size_t ncols = dataset.variables.size();
  std::vector<double> lo(ncols, HUGE_VAL), hi(ncols, -HUGE_VAL), fraction(ncols, 0.0);
  rows = 0;
  std::unique_ptr<host::CaseCursor> cursor = dataset.cases->Open();
  while (const host::CaseBlock* block = cursor->NextBlock()) {
    rows += static_cast<std::int64_t>(block->rows);
    for (std::size_t i = 0; i < ncols; ++i) {
      if (dataset.variables[i]->IsString()) continue;
      for (std::size_t r = 0; r < block->rows; ++r) {
        const double x = block->numbers[i][r];
        if (x == SYSMIS || dataset.variables[i]->IsUserMissingNumber(x)) continue;
        lo[i] = std::min(lo[i], x);
        hi[i] = std::max(hi[i], x);
        if (x != std::trunc(x)) fraction[i] = 1.0;
      }
    }
  }
  std::vector<std::vector<double>> ranges(ncols);
  for (std::size_t i = 0; i < ncols; ++i)
    ranges[i] = {lo[i] > hi[i] ? 0.0 : lo[i], lo[i] > hi[i] ? 0.0 : hi[i], fraction[i]};
  return ranges;
}

// What the columns leave for the descriptor on top, and the label sets
// written so far (variables with the same labels share one).
struct Written {
  std::set<std::string> keepMissing;
  std::set<std::string> labelsWritten;
  std::map<std::string, std::string> labelSets;  // labels -> set name
  std::map<std::string, readstat_label_set_t*> labelSetOf;
  bool anyLabels = false;
};

// The storage type and, for numbers, the tags of the user-missing values:
// the discrete ones, then the range's.
void ChooseStorage(Column& c, const QUVO_Variable& v, const std::vector<double>& range, const std::set<double>* inRange,
                   Kind kind, const Options& options, bool tagsAllowed, Written& written) {
  if (v.IsString()) {
    written.keepMissing.insert(v.name);
    c.type = kind == Kind::Stata && options.strls.count(v.name) != 0 ? READSTAT_TYPE_STRING_REF : READSTAT_TYPE_STRING;
    return;
  }
  c.type = NumericStorage(v, kind, options, range);
  char next = kind == Kind::Stata ? 'a' : 'A';
  const char last = kind == Kind::Stata ? 'z' : 'Z';
  std::vector<double> missing = v.missing.numbers;
  if (inRange != nullptr) missing.insert(missing.end(), inRange->begin(), inRange->end());
  for (double m : missing) {
    if (tagsAllowed && next <= last && c.tags.count(m) == 0) c.tags[m] = next++;
  }
  if (c.tags.size() < missing.size()) written.keepMissing.insert(v.name);
}

// The variable's value labels as a label set (Stata) or a format in the
// catalog (SAS), shared with an earlier variable of the same labels.
void AddValueLabels(Column& c, const QUVO_Variable& v, Kind kind, readstat_writer_t* labels, Written& written) {
  std::string key = v.IsString() ? "$" : "";
  for (const ValueLabel& l : v.valueLabels) {
    key += (v.IsString() ? std::string(ObsString(l.value)) : std::to_string(l.value.d)) + '\x1f' + l.label + '\x1e';
  }
  for (const auto& [m, t] : c.tags) key += std::to_string(m) + t;
  auto [shared, fresh] =
      written.labelSets.emplace(key, kind == Kind::Stata ? v.name : SasFormatName(v.name, v.IsString()));
  const std::string setName = shared->second;
  written.labelsWritten.insert(v.name);
  if (!fresh) {
    if (kind == Kind::Stata)
      readstat_variable_set_label_set(c.out, written.labelSetOf.at(setName));
    else
      c.format = setName + ".";
    return;
  }
  readstat_label_set_t* set = readstat_add_label_set(
      labels, v.IsString() ? READSTAT_TYPE_STRING : (kind == Kind::Stata ? READSTAT_TYPE_INT32 : READSTAT_TYPE_DOUBLE),
      setName.c_str());
  for (const ValueLabel& l : v.valueLabels) {
    if (v.IsString()) {
      readstat_label_string_value(set, std::string(ObsString(l.value)).c_str(), l.label.c_str());
    } else if (auto tag = c.tags.find(l.value.d); tag != c.tags.end()) {
      if (kind == Kind::Stata) readstat_label_tagged_value(set, tag->second, l.label.c_str());
    } else if (kind == Kind::Stata) {
      if (l.value.d == std::trunc(l.value.d) && std::fabs(l.value.d) < 2e9) {
        readstat_label_int32_value(set, static_cast<std::int32_t>(l.value.d), l.label.c_str());
      }
    } else {
      readstat_label_double_value(set, l.value.d, l.label.c_str());
    }
  }
  written.labelSetOf[setName] = set;
  if (kind == Kind::Stata) readstat_variable_set_label_set(c.out, set);
  if (kind != Kind::Stata) c.format = setName + ".";
  written.anyLabels = true;
}

// ReadStat wants every strL text before the data: one stored text for
// equal values.
std::map<std::string, readstat_string_ref_t*> AddStringRefs(readstat_writer_t* writer, const host::Dataset& dataset,
                                                            const std::vector<Column>& columns) {
  std::map<std::string, readstat_string_ref_t*> refs;
  bool anyRef = false;
  for (const Column& c : columns) anyRef = anyRef || c.type == READSTAT_TYPE_STRING_REF;
  if (!anyRef) return refs;
  std::unique_ptr<host::CaseCursor> cursor = dataset.cases->Open();
  while (const host::CaseBlock* block = cursor->NextBlock()) {
    for (std::size_t i = 0; i < columns.size(); ++i) {
      if (columns[i].type != READSTAT_TYPE_STRING_REF) continue;
      const host::StringColumn& s = block->strings[i];
      for (std::size_t r = 0; r < block->rows; ++r) {
        const std::string text(s.bytes.data() + s.offsets[r], s.offsets[r + 1] - s.offsets[r]);
        if (refs.count(text) == 0) refs[text] = readstat_add_string_ref(writer, text.c_str());
      }
    }
  }
  return refs;
}

// One cell of row r of column i.
void InsertValue(readstat_writer_t* writer, const Column& c, const host::CaseBlock& block, std::size_t i, std::size_t r,
                 Kind kind, const std::map<std::string, readstat_string_ref_t*>& refs) {
  if (c.variable->IsString()) {
    const host::StringColumn& s = block.strings[i];
    const std::string text(s.bytes.data() + s.offsets[r], s.offsets[r + 1] - s.offsets[r]);
    if (c.type == READSTAT_TYPE_STRING_REF) {
      Check(readstat_insert_string_ref(writer, c.out, refs.at(text)), "strL value");
    } else {
      Check(readstat_insert_string_value(writer, c.out, text.c_str()), "string value");
    }
    return;
  }
  const double x = block.numbers[i][r];
  if (x == SYSMIS) {
    Check(readstat_insert_missing_value(writer, c.out), "missing value");
  } else if (auto tag = c.tags.find(x); tag != c.tags.end()) {
    Check(readstat_insert_tagged_missing_value(writer, c.out, tag->second), "tagged value");
  } else {
    const double y = FileDate(c, kind, x);
    switch (c.type) {
      case READSTAT_TYPE_INT8:
        Check(readstat_insert_int8_value(writer, c.out, static_cast<std::int8_t>(y)), "value");
        break;
      case READSTAT_TYPE_INT16:
        Check(readstat_insert_int16_value(writer, c.out, static_cast<std::int16_t>(y)), "value");
        break;
      case READSTAT_TYPE_INT32:
        Check(readstat_insert_int32_value(writer, c.out, static_cast<std::int32_t>(y)), "value");
        break;
      case READSTAT_TYPE_FLOAT:
        Check(readstat_insert_float_value(writer, c.out, static_cast<float>(y)), "value");
        break;
      default:
        Check(readstat_insert_double_value(writer, c.out, y), "value");
        break;
    }
  }
}

// The data file: the dictionary added so far, then every case.
void WriteCases(readstat_writer_t* writer, const std::string& path, Kind kind, std::int64_t rows,
                const host::Dataset& dataset, const std::vector<Column>& columns,
                const std::map<std::string, readstat_string_ref_t*>& refs) {
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) Die("cannot write " + path);
  switch (kind) {
    case Kind::Stata:
      Check(readstat_begin_writing_dta(writer, out, rows), "begin");
      break;
    case Kind::Sas:
      Check(readstat_begin_writing_sas7bdat(writer, out, rows), "begin");
      break;
    case Kind::Transport:
      Check(readstat_begin_writing_xport(writer, out, rows), "begin");
      break;
  }
  std::unique_ptr<host::CaseCursor> cursor = dataset.cases->Open();
  while (const host::CaseBlock* block = cursor->NextBlock()) {
    for (std::size_t r = 0; r < block->rows; ++r) {
      Check(readstat_begin_row(writer), "row");
      for (std::size_t i = 0; i < columns.size(); ++i) InsertValue(writer, columns[i], *block, i, r, kind, refs);
      Check(readstat_end_row(writer), "row");
    }
  }
  Check(readstat_end_writing(writer), "end");
  std::fclose(out);
}

// The SAS catalog beside the data file (NAME.sas7bcat).
void WriteCatalog(readstat_writer_t* catalog, const std::string& output) {
  const std::string path = (fs::path(output).parent_path() / fs::path(output).stem()).string() + ".sas7bcat";
  std::FILE* cat = std::fopen(path.c_str(), "wb");
  if (cat == nullptr) Die("cannot write " + path);
  Check(readstat_writer_set_file_timestamp(catalog, 1767225600), "timestamp");
  Check(readstat_begin_writing_sas7bcat(catalog, cat), "catalog");
  Check(readstat_end_writing(catalog), "catalog end");
  std::fclose(cat);
  // ReadStat's catalog writer loses formats in some catalogs of more than
  // one: read it back, so that a bad catalog is never handed on.
  readstat_parser_t* parser = readstat_parser_init();
  const readstat_error_t readBack = readstat_parse_sas7bcat(parser, path.c_str(), nullptr);
  readstat_parser_free(parser);
  if (readBack != READSTAT_OK) {
    Die(path + ": ReadStat cannot read back the catalog it wrote (" + readstat_error_message(readBack) +
        "); give fewer formats with --catalog-var NAME");
  }
}

void Write(const Options& options) {
  const Kind kind = KindOfOutput(options.output);
  std::vector<std::string> warnings;
  std::shared_ptr<host::Dataset> dataset;
  try {
    dataset = host::LoadDataset(options.dataset, warnings);
  } catch (const host::InputError& e) {
    Die(e.what());
  }
  const std::size_t ncols = dataset->variables.size();
  std::int64_t rows = 0;
  const std::vector<std::vector<double>> ranges = ValueRanges(*dataset, rows);
  const std::map<int, std::set<double>> inRange = RangeValues(*dataset);

  readstat_writer_t* writer = readstat_writer_init();
  readstat_set_data_writer(writer, WriteBytes);
  Check(readstat_writer_set_file_timestamp(writer, 1767225600), "timestamp");  // 2026-01-01, so files repeat
  if (options.version != 0) {
    Check(readstat_writer_set_file_format_version(writer, static_cast<std::uint8_t>(options.version)), "version");
  }
  if (dataset->label) Check(readstat_writer_set_file_label(writer, dataset->label->c_str()), "file label");
  if (options.narrow) Check(readstat_writer_set_file_format_is_64bit(writer, 0), "32-bit");
  if (options.compress) Check(readstat_writer_set_compression(writer, READSTAT_COMPRESS_ROWS), "compression");
  const bool tagsAllowed = kind != Kind::Stata || options.version == 0 || options.version >= 113;

  // Catalog of a SAS data file: its own writer.
  readstat_writer_t* catalog = kind == Kind::Sas ? readstat_writer_init() : nullptr;
  if (catalog != nullptr) readstat_set_data_writer(catalog, WriteBytes);
  readstat_writer_t* labels = catalog != nullptr ? catalog : writer;

  std::vector<Column> columns(ncols);
  Written written;
  for (std::size_t i = 0; i < ncols; ++i) {
    const QUVO_Variable& v = *dataset->variables[i];
    Column& c = columns[i];
    c.variable = &v;
    const auto found = inRange.find(static_cast<int>(i));
    ChooseStorage(c, v, ranges[i], found != inRange.end() ? &found->second : nullptr, kind, options, tagsAllowed,
                  written);
    c.format = kind == Kind::Stata ? StataFormat(v, c) : SasFormat(v, c);
    std::size_t width = v.IsString() ? static_cast<std::size_t>(v.width) : 0;
    if (kind == Kind::Stata && c.type == READSTAT_TYPE_STRING) width = std::min<std::size_t>(width, 2045);
    c.out = readstat_add_variable(writer, v.name.c_str(), c.type, width);
    if (v.label) readstat_variable_set_label(c.out, v.label->c_str());
    const bool inCatalog = kind == Kind::Stata || options.catalogVars.empty() || options.catalogVars.count(v.name) != 0;
    if (!v.valueLabels.empty() && !(kind == Kind::Stata && v.IsString()) && inCatalog) {
      AddValueLabels(c, v, kind, labels, written);
    }
    readstat_variable_set_format(c.out, c.format.c_str());
  }
  for (const auto& block : dataset->documents) {
    std::string note;
    for (const std::string& line : block) note += (note.empty() ? "" : "\n") + line;
    readstat_add_note(writer, note.c_str());
  }
  const std::map<std::string, readstat_string_ref_t*> refs = AddStringRefs(writer, *dataset, columns);

  WriteCases(writer, options.output, kind, rows, *dataset, columns, refs);
  readstat_writer_free(writer);

  if (catalog != nullptr && written.anyLabels) WriteCatalog(catalog, options.output);
  if (catalog != nullptr) readstat_writer_free(catalog);

  if (!options.onTop.empty()) {
    const fs::path relative = fs::relative(fs::absolute(options.output), fs::absolute(options.onTop).parent_path());
    std::ofstream(options.onTop)
        << OnTopDescriptor(*dataset, relative.string(), written.keepMissing, written.labelsWritten, kind).dump(2)
        << "\n";
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Die(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--version")
      options.version = std::stol(value());
    else if (arg == "--float")
      options.floats.insert(value());
    else if (arg == "--strl")
      options.strls.insert(value());
    else if (arg == "--on-top")
      options.onTop = value();
    else if (arg == "--catalog-var")
      options.catalogVars.insert(value());
    else if (arg == "--32-bit")
      options.narrow = true;
    else if (arg == "--compress")
      options.compress = true;
    else if (arg.rfind("--", 0) == 0)
      Die("unknown option " + arg);
    else
      positional.push_back(arg);
  }
  if (positional.size() != 2) {
    Die("usage: foreign-writer [--version N] [--float NAME]... [--strl NAME]... [--on-top FILE] "
        "[--catalog-var NAME]... [--32-bit] [--compress] DATASET OUTPUT");
  }
  options.dataset = positional[0];
  options.output = positional[1];
  Write(options);
  return 0;
}
