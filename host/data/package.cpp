// Loading a dataset: a data package descriptor (JSON) with its CSV file, or a
// bare CSV file whose dictionary is inferred from the data.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "host/data/cells.h"
#include "host/data/csv_source.h"
#include "host/data/foreign.h"
#include "host/data/formats.h"
#include "host/data/scan.h"
#include "host/dataset.h"

namespace host {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

constexpr int kMaxStringWidth = 32767;

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string Member(const std::string& path, const std::string& key) { return path.empty() ? key : path + "." + key; }
std::string Element(const std::string& path, std::size_t i) { return path + "[" + std::to_string(i) + "]"; }

const char* KindOf(const Json& j) {
  switch (j.type()) {
    case Json::value_t::null: return "null";
    case Json::value_t::object: return "an object";
    case Json::value_t::array: return "an array";
    case Json::value_t::string: return "a string";
    case Json::value_t::boolean: return "true or false";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float: return "a number";
    default: return "a value";
  }
}

// Errors and warnings about the descriptor name its file and the JSON path
// of the property.
class Descriptor {
 public:
  Descriptor(std::string file, std::vector<std::string>& warnings) : fFile(std::move(file)), fWarnings(warnings) {}

  [[noreturn]] void Fail(const std::string& path, const std::string& what) const {
    throw InputError(fFile + ": " + (path.empty() ? "" : path + ": ") + what);
  }
  void Warn(const std::string& path, const std::string& what) const {
    fWarnings.push_back(fFile + ": " + (path.empty() ? "" : path + ": ") + what);
  }
  const std::string& File() const { return fFile; }

  void Expect(const Json& j, const std::string& path, bool ok, const char* wanted) const {
    if (!ok) Fail(path, std::string("expected ") + wanted + ", found " + KindOf(j));
  }
  const Json& Object(const Json& j, const std::string& path) const {
    Expect(j, path, j.is_object(), "an object");
    return j;
  }
  const Json& Array(const Json& j, const std::string& path) const {
    Expect(j, path, j.is_array(), "an array");
    return j;
  }
  std::string String(const Json& j, const std::string& path) const {
    Expect(j, path, j.is_string(), "a string");
    return j.get<std::string>();
  }
  bool Bool(const Json& j, const std::string& path) const {
    Expect(j, path, j.is_boolean(), "true or false");
    return j.get<bool>();
  }
  std::int64_t Integer(const Json& j, const std::string& path) const {
    if (j.is_number_integer() || j.is_number_unsigned()) return j.get<std::int64_t>();
    if (j.is_number_float()) {
      const double d = j.get<double>();
      if (d == std::trunc(d) && std::fabs(d) < 9e15) return static_cast<std::int64_t>(d);
    }
    Fail(path, std::string("expected a whole number, found ") + KindOf(j));
  }
  std::vector<std::string> StringList(const Json& j, const std::string& path) const {
    Array(j, path);
    std::vector<std::string> out;
    for (std::size_t i = 0; i < j.size(); ++i) out.push_back(String(j[i], Element(path, i)));
    return out;
  }

  // Warns about properties this reader does not know. Standard properties
  // that carry nothing for a codebook are passed over silently.
  void CheckKeys(const Json& obj, const std::string& path, std::initializer_list<const char*> known,
                 std::initializer_list<const char*> ignored = {}) const {
    for (auto it = obj.begin(); it != obj.end(); ++it) {
      const std::string& key = it.key();
      auto same = [&](const char* k) { return key == k; };
      if (std::any_of(known.begin(), known.end(), same) || std::any_of(ignored.begin(), ignored.end(), same)) {
        continue;
      }
      Warn(Member(path, key), "unknown property, ignored");
    }
  }

 private:
  std::string fFile;
  std::vector<std::string>& fWarnings;
};

// "file, line L, column C" of a byte of the descriptor.
std::string Position(const std::string& text, std::size_t at, const std::string& file) {
  std::size_t line = 1, column = 1;
  for (std::size_t i = 0; i < at && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      ++column;
    }
  }
  return file + ", line " + std::to_string(line) + ", column " + std::to_string(column);
}

// Arrays and objects nested deeper than this are refused before parsing:
// copying a parsed value recurses once per level, so tens of thousands of
// brackets would overflow the stack, and a descriptor needs only a few levels.
constexpr int kMaxJsonDepth = 512;

// Throws when the text nests deeper than kMaxJsonDepth, naming the first
// bracket too deep. Brackets inside strings do not count.
void CheckJsonDepth(const std::string& text, const std::string& file) {
  int depth = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxJsonDepth) {
        throw InputError(Position(text, i, file) + ": arrays and objects nest more than " +
                         std::to_string(kMaxJsonDepth) + " levels deep; a descriptor needs only a few");
      }
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
}

// The parser's description of a problem, without its own prefix and position.
std::string Description(const Json::exception& e) {
  std::string what = e.what();
  std::size_t cut = what.find(": ");
  if (cut != std::string::npos) return what.substr(cut + 2);
  cut = what.find("] ");
  if (cut != std::string::npos) return what.substr(cut + 2);
  return what;
}

Json ParseJson(const std::string& text, const std::string& file) {
  CheckJsonDepth(text, file);
  try {
    return Json::parse(text);
  } catch (const Json::parse_error& e) {
    const std::size_t at = e.byte == 0 ? 0 : std::min<std::size_t>(e.byte - 1, text.size());
    throw InputError(Position(text, at, file) + ": the descriptor is not valid JSON (" + Description(e) +
                     "). Check the commas, quotes and brackets around this place");
  } catch (const Json::out_of_range& e) {
    // A number too large for a double ("1e999"). The parser does not say
    // where; its message quotes the number, so find that.
    const std::string what = e.what();
    const std::size_t open = what.find('\'');
    const std::size_t close = open == std::string::npos ? open : what.find('\'', open + 1);
    std::size_t at = std::string::npos;
    if (close != std::string::npos) at = text.find(what.substr(open + 1, close - open - 1));
    throw InputError((at == std::string::npos ? file : Position(text, at, file)) +
                     ": the descriptor holds a number too large to represent (" + Description(e) + ")");
  }
}

std::string ReadWholeFile(const std::string& path) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) throw InputError(path + ": is a folder; name the descriptor file or a CSV file");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw InputError(path + ": cannot open the file; check the path");
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// What the descriptor says about one field, before the data are looked at.
struct FieldSpec {
  std::string path;  // JSON path, for messages
  std::string name;
  std::optional<std::string> title;
  std::optional<CellKind> kind;
  std::optional<int> maxLength;
  std::optional<int> measure;
  int role = Role::Input;
  std::optional<std::string> printFormat;
  std::optional<std::string> writeFormat;
  const Json* categories = nullptr;
  bool categoriesOrdered = false;
  std::vector<std::string> missingTexts{""};
  const Json* userMissing = nullptr;
  const Json* attributes = nullptr;
};

CellKind KindFromType(const Descriptor& d, const std::string& type, const std::string& path) {
  if (type == "number") return CellKind::Number;
  if (type == "integer") return CellKind::Integer;
  if (type == "string") return CellKind::String;
  if (type == "date") return CellKind::Date;
  if (type == "datetime") return CellKind::DateTime;
  if (type == "time") return CellKind::Time;
  d.Fail(path, "\"" + type + "\" is not a field type this program reads; use \"number\", \"integer\", \"string\", "
                              "\"date\", \"datetime\" or \"time\" (or leave the type out to infer it)");
}

FieldSpec ReadField(const Descriptor& d, const Json& j, const std::string& path,
                    const std::vector<std::string>& schemaMissing) {
  d.Object(j, path);
  d.CheckKeys(j, path,
              {"name", "title", "type", "constraints", "measure", "role", "printFormat", "writeFormat", "categories",
               "categoriesOrdered", "missingValues", "userMissing", "attributes"},
              {"description", "example", "rdfType"});
  FieldSpec f;
  f.path = path;
  f.missingTexts = schemaMissing;
  if (!j.contains("name")) d.Fail(path, "a field needs a \"name\"");
  f.name = d.String(j["name"], Member(path, "name"));
  if (j.contains("title")) f.title = d.String(j["title"], Member(path, "title"));
  if (j.contains("type")) f.kind = KindFromType(d, d.String(j["type"], Member(path, "type")), Member(path, "type"));
  if (j.contains("constraints")) {
    const std::string cp = Member(path, "constraints");
    const Json& c = d.Object(j["constraints"], cp);
    d.CheckKeys(c, cp, {"maxLength"}, {"required", "unique", "minLength", "minimum", "maximum", "pattern", "enum"});
    if (c.contains("maxLength")) {
      const std::int64_t n = d.Integer(c["maxLength"], Member(cp, "maxLength"));
      if (n < 1 || n > kMaxStringWidth) {
        d.Fail(Member(cp, "maxLength"), "a string width must be between 1 and " + std::to_string(kMaxStringWidth));
      }
      f.maxLength = static_cast<int>(n);
    }
  }
  if (j.contains("measure")) {
    const std::string m = d.String(j["measure"], Member(path, "measure"));
    if (m == "nominal") f.measure = Measure::Nominal;
    else if (m == "ordinal") f.measure = Measure::Ordinal;
    else if (m == "scale") f.measure = Measure::Scale;
    else if (m == "unknown") f.measure = Measure::Unknown;
    else d.Fail(Member(path, "measure"), "\"" + m + "\" is not a measurement level; use \"nominal\", \"ordinal\", "
                                                    "\"scale\" or \"unknown\"");
  }
  if (j.contains("role")) {
    const std::string r = d.String(j["role"], Member(path, "role"));
    static const std::pair<const char*, int> kRoles[] = {{"input", Role::Input}, {"target", Role::Target},
                                                         {"both", Role::Both},   {"none", Role::None},
                                                         {"partition", Role::Partition}, {"split", Role::Split}};
    bool found = false;
    for (const auto& [text, code] : kRoles) {
      if (r == text) {
        f.role = code;
        found = true;
      }
    }
    if (!found) {
      d.Fail(Member(path, "role"), "\"" + r + "\" is not a role; use \"input\", \"target\", \"both\", \"none\", "
                                              "\"partition\" or \"split\"");
    }
  }
  if (j.contains("printFormat")) f.printFormat = d.String(j["printFormat"], Member(path, "printFormat"));
  if (j.contains("writeFormat")) f.writeFormat = d.String(j["writeFormat"], Member(path, "writeFormat"));
  if (j.contains("categories")) f.categories = &d.Array(j["categories"], Member(path, "categories"));
  if (j.contains("categoriesOrdered")) {
    f.categoriesOrdered = d.Bool(j["categoriesOrdered"], Member(path, "categoriesOrdered"));
  }
  if (j.contains("missingValues")) f.missingTexts = d.StringList(j["missingValues"], Member(path, "missingValues"));
  for (std::string& m : f.missingTexts) m = std::string(TrimBlanks(m));
  if (j.contains("userMissing")) f.userMissing = &d.Object(j["userMissing"], Member(path, "userMissing"));
  if (j.contains("attributes")) f.attributes = &d.Object(j["attributes"], Member(path, "attributes"));
  return f;
}

void ReadAttributes(const Descriptor& d, const Json& j, const std::string& path, DatasourceAttributes& out) {
  for (auto it = j.begin(); it != j.end(); ++it) {
    const std::string p = Member(path, it.key());
    if (it.key().empty()) d.Fail(path, "an attribute needs a name");
    if (it.value().is_string()) {
      out.Add(it.key(), {it.value().get<std::string>()});
    } else if (it.value().is_array()) {
      out.Add(it.key(), d.StringList(it.value(), p));
    } else {
      d.Fail(p, std::string("expected a string or an array of strings, found ") + KindOf(it.value()));
    }
  }
}

// A numeric value written in the descriptor: a JSON number, or text in the
// form the variable's cells take (a number, or an ISO date for date types).
double NumericValue(const Descriptor& d, const Json& j, const std::string& path, CellKind kind) {
  if (j.is_number()) return j.get<double>();
  if (j.is_string()) {
    const std::string text(TrimBlanks(j.get<std::string>()));
    double v = 0.0;
    if (kind == CellKind::Date || kind == CellKind::DateTime || kind == CellKind::Time) {
      if (ParseDateCell(kind, text, v)) return v;
    }
    if (ParseNumber(text, v)) return v;
    d.Fail(path, "\"" + text + "\" is not a value of this numeric variable");
  }
  d.Fail(path, std::string("expected a number, found ") + KindOf(j));
}

void ReadCategories(const Descriptor& d, const FieldSpec& f, QUVO_Variable& v, CellKind kind) {
  if (f.categories == nullptr) return;
  const std::string base = Member(f.path, "categories");
  const Json& cats = *f.categories;
  for (std::size_t i = 0; i < cats.size(); ++i) {
    const std::string p = Element(base, i);
    const Json& c = cats[i];
    if (!c.is_object()) continue;  // a bare value: a category without a label
    d.CheckKeys(c, p, {"value", "label"});
    if (!c.contains("value")) d.Fail(p, "a category needs a \"value\"");
    if (!c.contains("label")) continue;
    ValueLabel label;
    label.label = d.String(c["label"], Member(p, "label"));
    if (kind == CellKind::String) {
      const std::string value = d.String(c["value"], Member(p, "value"));
      label.value = ObsFromString(value);
    } else {
      label.value = ObsFromNumber(NumericValue(d, c["value"], Member(p, "value"), kind));
    }
    const bool duplicate = std::any_of(v.valueLabels.begin(), v.valueLabels.end(),
                                       [&](const ValueLabel& o) { return o.value.u == label.value.u; });
    if (duplicate) {
      d.Warn(Member(p, "value"), "a second label for the same value; the first one is kept");
      continue;
    }
    v.valueLabels.push_back(std::move(label));
  }
}

void ReadUserMissing(const Descriptor& d, const FieldSpec& f, QUVO_Variable& v, CellKind kind) {
  if (f.userMissing == nullptr) return;
  const std::string base = Member(f.path, "userMissing");
  const Json& um = *f.userMissing;
  d.CheckKeys(um, base, {"values", "range"});
  MissingValues& mv = v.missing;
  if (um.contains("values")) {
    const std::string vp = Member(base, "values");
    const Json& values = d.Array(um["values"], vp);
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (kind == CellKind::String) {
        mv.strings.emplace_back(TrimTrailingBlanks(d.String(values[i], Element(vp, i))));
      } else {
        mv.numbers.push_back(NumericValue(d, values[i], Element(vp, i), kind));
      }
    }
  }
  if (um.contains("range")) {
    const std::string rp = Member(base, "range");
    if (kind == CellKind::String) d.Fail(rp, "a string variable cannot have a range of missing values");
    const Json& range = d.Object(um["range"], rp);
    d.CheckKeys(range, rp, {"low", "high"});
    if (!range.contains("low") || !range.contains("high")) d.Fail(rp, "a range needs both \"low\" and \"high\"");
    auto bound = [&](const char* key, const char* word, double infinite) {
      const Json& b = range[key];
      if (b.is_string() && Lower(TrimBlanks(b.get<std::string>())) == Lower(word)) return infinite;
      return NumericValue(d, b, Member(rp, key), kind);
    };
    mv.hasRange = true;
    mv.low = bound("low", "LO", -HUGE_VAL);
    mv.high = bound("high", "HI", HUGE_VAL);
    if (mv.low > mv.high) d.Fail(rp, "the low end of the range is above the high end; swap them");
  }
  const std::size_t discrete = mv.numbers.size() + mv.strings.size();
  if (!mv.hasRange && discrete > 3) {
    d.Fail(base, "at most three discrete missing values are allowed (" + std::to_string(discrete) + " given)");
  }
  if (mv.hasRange && discrete > 1) {
    d.Fail(base, "a range of missing values allows at most one discrete value besides it (" +
                     std::to_string(discrete) + " given)");
  }
}

QUVO_Format FormatOf(const Descriptor& d, const std::optional<std::string>& text, const std::string& path,
                     int width, QUVO_Format fallback) {
  if (!text) return fallback;
  std::string why;
  const std::optional<QUVO_Format> format = ParseFormatText(*text, width, why);
  if (!format) d.Fail(path, "\"" + *text + "\" is not a format: " + why);
  if (IsStringFormatType(format->type) != (width > 0)) {
    d.Fail(path, width > 0 ? "a string variable needs a string format (A" + std::to_string(width) + " or AHEX)"
                           : "a numeric variable cannot have a string format (" + *text + ")");
  }
  return *format;
}

bool ValidSetName(const std::string& name) {
  if (name.size() < 2 || name.size() > 64 || name[0] != '$') return false;
  for (std::size_t i = 1; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (!(std::isalnum(c) || c == '_' || c == '.' || c == '@' || c == '#' || c == '$' || c >= 0x80)) return false;
  }
  return true;
}

std::string NumberText(double v) {
  if (v == std::trunc(v) && std::fabs(v) < 1e15) return std::to_string(static_cast<long long>(v));
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

// Everything needed to build the dictionary of one CSV file.
struct Plan {
  std::string csvPath;
  std::string csvDisplay;
  CsvDialect dialect;
  std::vector<FieldSpec> fields;
  bool inferAll = false;  // no schema: fields come from the header
};

// Reads the header (when the dialect has one) and returns the offset and
// line of the first case.
std::vector<std::string> ReadHeader(const Plan& plan, std::int64_t& dataOffset, std::int64_t& dataLine,
                                    std::int64_t& headerLine) {
  CsvReader reader(plan.csvPath, plan.csvDisplay, plan.dialect);
  std::vector<CsvCell> cells;
  std::size_t count = 0;
  std::vector<std::string> names;
  if (plan.dialect.header) {
    if (!reader.Next(cells, count)) {
      throw InputError(plan.csvDisplay + ": the file is empty; it needs a header row of variable names (then one "
                                         "row per case)");
    }
    for (std::size_t i = 0; i < count; ++i) {
      const std::string_view raw = cells[i].View();
      std::size_t bad = 0;
      if (!ValidUtf8(raw, bad)) {
        throw InputError(reader.Where(reader.RecordLine(), i + 1) + ": the header is not valid UTF-8. Save the "
                                                                    "file in UTF-8");
      }
      names.emplace_back(TrimBlanks(raw));
    }
    dataOffset = reader.Offset();
    dataLine = reader.Line();
    headerLine = reader.RecordLine();
  } else {
    dataOffset = reader.Offset();  // after a byte order mark
    dataLine = 1;
    if (plan.inferAll && reader.Next(cells, count)) {
      for (std::size_t i = 0; i < count; ++i) {
        std::string name = "V";
        name += std::to_string(i + 1);
        names.push_back(std::move(name));
      }
    }
  }
  return names;
}

void CheckName(const std::string& name, const std::string& where) {
  // ValidateQUVOName sees the name up to its first NUL byte only; a name that
  // holds one would pass as its prefix and then match nothing by that name.
  if (name.find('\0') != std::string::npos || ValidateQUVOName(name.c_str()) != 0) {
    std::string shown;  // control bytes spelled out, so the message shows them and is not cut at a NUL
    for (char c : name) {
      const auto u = static_cast<unsigned char>(c);
      if (u < 0x20 || u == 0x7F) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02X", u);
        shown += hex;
      } else {
        shown += c;
      }
    }
    throw InputError(where + ": \"" + shown + "\" is not a valid variable name. A name begins with a letter, @, # or "
                                             "$, goes on with letters, digits, _, ., @, # or $, has at most 64 "
                                             "bytes and is not a reserved word (ALL, AND, BY, EQ, GE, GT, LE, LT, NE, "
                                             "NOT, OR, TO, WITH)");
  }
}

// The package's weight, split variables and multiple-response sets, named
// by the variables of the dataset.
void ReadPackageLevel(const Descriptor* d, const Json& p, Dataset* dataset) {
  if (p.contains("weight")) {
    const std::string w = d->String(p["weight"], "weight");
    const int index = dataset->Find(w);
    if (index < 0) d->Fail("weight", "\"" + w + "\" names no variable of the dataset");
    if (dataset->variables[static_cast<std::size_t>(index)]->IsString()) {
      d->Fail("weight", "the weight variable \"" + w + "\" is a string; weights must be numeric");
    }
    dataset->weightIndex = index;
  }
  if (p.contains("splitFile")) {
    const std::vector<std::string> split = d->StringList(p["splitFile"], "splitFile");
    for (std::size_t i = 0; i < split.size(); ++i) {
      const int index = dataset->Find(split[i]);
      if (index < 0) d->Fail(Element("splitFile", i), "\"" + split[i] + "\" names no variable of the dataset");
      if (std::find(dataset->splitIndices.begin(), dataset->splitIndices.end(), index) ==
          dataset->splitIndices.end()) {
        dataset->splitIndices.push_back(index);
      }
    }
  }
  if (p.contains("multipleResponseSets")) {
    const Json& sets = d->Array(p["multipleResponseSets"], "multipleResponseSets");
    std::unordered_map<std::string, std::size_t> seen;
    for (std::size_t i = 0; i < sets.size(); ++i) {
      const std::string sp = Element("multipleResponseSets", i);
      const Json& s = d->Object(sets[i], sp);
      d->CheckKeys(s, sp, {"name", "label", "type", "countedValue", "variables"});
      auto set = std::make_unique<VariableSetImpl>();
      if (!s.contains("name")) d->Fail(sp, "a set needs a \"name\"");
      set->name = d->String(s["name"], Member(sp, "name"));
      if (set->name.empty() || set->name[0] != '$') {
        d->Fail(Member(sp, "name"), "the set name \"" + set->name + "\" must begin with \"$\" (e.g. \"$" +
                                        set->name + "\")");
      }
      if (!ValidSetName(set->name)) {
        d->Fail(Member(sp, "name"), "\"" + set->name + "\" is not a valid set name: \"$\" followed by letters, "
                                                        "digits, _, ., @, # or $, at most 64 bytes");
      }
      if (const auto [it, fresh] = seen.emplace(FoldName(set->name), i); !fresh) {
        d->Fail(Member(sp, "name"), "the set name \"" + set->name + "\" is used twice (names are compared "
                                                                     "ignoring case)");
      }
      if (s.contains("label")) set->label = d->String(s["label"], Member(sp, "label"));
      std::string type = s.contains("countedValue") ? "dichotomies" : "categories";
      if (s.contains("type")) type = d->String(s["type"], Member(sp, "type"));
      if (type == "categories") {
        set->type = 1;
        if (s.contains("countedValue")) {
          d->Warn(Member(sp, "countedValue"), "only multiple dichotomy sets have a counted value; ignored");
        }
      } else if (type == "dichotomies") {
        set->type = 2;
        if (!s.contains("countedValue")) {
          d->Fail(sp, "a multiple dichotomy set needs a \"countedValue\" (the value that counts a member as "
                      "chosen, e.g. \"1\")");
        }
        const Json& cv = s["countedValue"];
        if (cv.is_number()) {
          set->countedValue = NumberText(cv.get<double>());
        } else {
          set->countedValue = d->String(cv, Member(sp, "countedValue"));
        }
      } else {
        d->Fail(Member(sp, "type"), "\"" + type + "\" is not a set type; use \"categories\" or \"dichotomies\"");
      }
      if (!s.contains("variables")) d->Fail(sp, "a set needs its \"variables\"");
      set->members = d->StringList(s["variables"], Member(sp, "variables"));
      if (set->members.size() < 2) {
        d->Fail(Member(sp, "variables"), "a set needs at least two variables (" +
                                             std::to_string(set->members.size()) + " given)");
      }
      for (std::size_t m = 0; m < set->members.size(); ++m) {
        if (dataset->Find(set->members[m]) < 0) {
          d->Warn(Element(Member(sp, "variables"), m),
                  "\"" + set->members[m] + "\" names no variable; the set keeps it, and the codebook skips it");
        }
      }
      dataset->sets.push_back(std::move(set));
    }
  }
}

std::shared_ptr<Dataset> Build(const Plan& planIn, const Descriptor* d, std::vector<std::string>& warnings,
                               const Json* package) {
  Plan plan = planIn;
  auto dataset = std::make_shared<Dataset>();

  // A descriptor with an empty field list is a dataset without variables:
  // there is nothing to read from the CSV file.
  const bool noVariables = !plan.inferAll && plan.fields.empty();
  std::int64_t dataOffset = 0, dataLine = 1;
  std::vector<std::string> header;
  std::int64_t headerLine = 1;
  if (!noVariables) header = ReadHeader(plan, dataOffset, dataLine, headerLine);
  const std::string headerWhere = plan.csvDisplay + ", line " + std::to_string(headerLine);

  if (plan.inferAll) {
    for (std::size_t i = 0; i < header.size(); ++i) {
      FieldSpec f;
      f.name = header[i];
      f.path = "column " + std::to_string(i + 1);
      if (f.name.empty()) {
        throw InputError(headerWhere + ", column " + std::to_string(i + 1) +
                         ": the header has an empty name; give every column a variable name");
      }
      CheckName(f.name, headerWhere + ", column " + std::to_string(i + 1));
      plan.fields.push_back(std::move(f));
    }
  } else {
    for (const FieldSpec& f : plan.fields) CheckName(f.name, d->File() + ": " + Member(f.path, "name"));
    if (plan.dialect.header && !noVariables) {
      if (header.size() != plan.fields.size()) {
        throw InputError(headerWhere + ": the header has " + std::to_string(header.size()) + " columns but the "
                         "descriptor lists " + std::to_string(plan.fields.size()) +
                         " fields. The fields must match the header's columns, in order");
      }
      for (std::size_t i = 0; i < header.size(); ++i) {
        if (header[i] != plan.fields[i].name) {
          throw InputError(headerWhere + ", column " + std::to_string(i + 1) + ": the header names \"" + header[i] +
                           "\" but the descriptor's field " + std::to_string(i + 1) + " (" + plan.fields[i].path +
                           ") is \"" + plan.fields[i].name + "\". The fields must match the header's columns, in "
                           "order");
        }
      }
    }
  }

  // Names equal ignoring case would make lookups ambiguous.
  {
    std::unordered_map<std::string, std::size_t> seen;
    for (std::size_t i = 0; i < plan.fields.size(); ++i) {
      const auto [it, fresh] = seen.emplace(FoldName(plan.fields[i].name), i);
      if (!fresh) {
        const std::string where = plan.inferAll ? headerWhere + ", column " + std::to_string(i + 1)
                                                : d->File() + ": " + Member(plan.fields[i].path, "name");
        throw InputError(where + ": the variable name \"" + plan.fields[i].name + "\" is used twice (variable " +
                         std::to_string(it->second + 1) + " is \"" + plan.fields[it->second].name +
                         "\"; names are compared ignoring case). Rename one of them");
      }
    }
  }

  // Scan the data when the descriptor leaves a type or a string width open.
  const std::size_t ncols = plan.fields.size();
  std::vector<ScanColumn> scan(ncols);
  bool needScan = false;
  for (std::size_t i = 0; i < ncols; ++i) {
    const FieldSpec& f = plan.fields[i];
    scan[i].inferType = !f.kind.has_value();
    scan[i].measureWidth = !f.maxLength && (!f.kind || *f.kind == CellKind::String);
    scan[i].missingTexts = f.missingTexts;
    needScan = needScan || scan[i].inferType || scan[i].measureWidth;
  }
  std::vector<std::string> names;
  for (const FieldSpec& f : plan.fields) names.push_back(f.name);
  if (needScan) {
    const ScanResult result =
        ScanCsv(plan.csvPath, plan.csvDisplay, plan.dialect, dataOffset, dataLine, names, scan);
    dataset->caseCount = result.cases;
  }

  CsvLayout layout;
  layout.path = plan.csvPath;
  layout.displayName = plan.csvDisplay;
  layout.dialect = plan.dialect;
  layout.dataOffset = dataOffset;
  layout.dataLine = dataLine;

  Descriptor fallback(plan.csvDisplay, warnings);
  const Descriptor& dd = d != nullptr ? *d : fallback;
  for (std::size_t i = 0; i < ncols; ++i) {
    const FieldSpec& f = plan.fields[i];
    const ScanColumn& s = scan[i];
    const CellKind kind = f.kind ? *f.kind : s.kind;
    auto v = std::make_unique<QUVO_Variable>();
    v->name = f.name;
    v->label = f.title;
    if (kind == CellKind::String) {
      if (f.maxLength) {
        v->width = *f.maxLength;
      } else if (s.maxBytes > kMaxStringWidth) {
        throw InputError(plan.csvDisplay + " (variable " + f.name + "): a value has " + std::to_string(s.maxBytes) +
                         " bytes; string values may have at most " + std::to_string(kMaxStringWidth));
      } else {
        v->width = std::max(1, s.maxBytes);
      }
    }
    v->role = f.role;
    if (f.measure) {
      v->measure = *f.measure;
    } else if (f.categoriesOrdered) {
      v->measure = Measure::Ordinal;
    } else if (f.categories != nullptr || kind == CellKind::String) {
      v->measure = Measure::Nominal;
    } else {
      v->measure = Measure::Scale;
    }
    QUVO_Format standard;
    switch (kind) {
      case CellKind::String: standard = {static_cast<std::uint16_t>(v->width), FormatType::A, 0}; break;
      case CellKind::Integer: standard = {8, FormatType::F, 0}; break;
      case CellKind::Number:
        if (f.kind) {
          standard = {8, FormatType::F, 2};
        } else {
          int width = 8, decimals = 0;
          FittedNumberFormat(s, width, decimals);
          standard = {static_cast<std::uint16_t>(width), FormatType::F, static_cast<std::uint8_t>(decimals)};
        }
        break;
      case CellKind::Date: standard = {11, FormatType::DATE, 0}; break;
      case CellKind::DateTime: standard = {20, FormatType::DATETIME, 0}; break;
      case CellKind::Time: standard = {8, FormatType::TIME, 0}; break;
    }
    v->printFormat = FormatOf(dd, f.printFormat, Member(f.path, "printFormat"), v->width, standard);
    v->writeFormat = FormatOf(dd, f.writeFormat, Member(f.path, "writeFormat"), v->width, v->printFormat);
    ReadCategories(dd, f, *v, kind);
    ReadUserMissing(dd, f, *v, kind);
    if (f.attributes != nullptr) ReadAttributes(dd, *f.attributes, Member(f.path, "attributes"), v->attributes);

    CsvColumn col;
    col.name = f.name;
    col.kind = kind;
    col.width = v->width;
    for (const std::string& m : f.missingTexts) {
      if (m.empty()) {
        col.emptyIsMissing = true;
      } else {
        col.missingTexts.push_back(m);
      }
    }
    col.emptyIsMissing = std::find(f.missingTexts.begin(), f.missingTexts.end(), "") != f.missingTexts.end();
    layout.columns.push_back(std::move(col));
    dataset->variables.push_back(std::move(v));
  }
  dataset->IndexNames();

  if (package != nullptr) {
    ReadPackageLevel(d, *package, dataset.get());
    layout.weightIndex = dataset->weightIndex;
    if (dataset->weightIndex >= 0) {
      layout.weightMissing = dataset->variables[static_cast<std::size_t>(dataset->weightIndex)]->missing;
    }
    layout.splitIndices = dataset->splitIndices;
  }

  if (noVariables) {
    dataset->cases = std::make_shared<MemoryCaseSource>(std::vector<CaseBlock>{});
    dataset->caseCount = 0;
  } else {
    dataset->cases = std::make_shared<CsvCaseSource>(std::move(layout));
  }
  return dataset;
}

std::string FileSpecOf(const std::string& path) {
  std::error_code ec;
  fs::path abs = fs::absolute(fs::path(path), ec);
  if (ec) abs = fs::path(path);
  abs = abs.lexically_normal();
  std::string folder = abs.parent_path().string();
  return folder + "\\" + abs.filename().string();
}

// The package's title, documents and attributes (over a Stata or SAS file,
// they replace the file's own).
void ReadPackageTexts(const Descriptor& d, const Json& j, Dataset& dataset) {
  if (j.contains("title")) dataset.label = d.String(j["title"], "title");
  if (j.contains("documents")) {
    const Json& docs = d.Array(j["documents"], "documents");
    dataset.documents.clear();  // over a Stata file, they replace its notes
    for (std::size_t i = 0; i < docs.size(); ++i) {
      dataset.documents.push_back(d.StringList(docs[i], Element("documents", i)));
    }
  }
  if (j.contains("attributes")) {
    dataset.attributes = DatasourceAttributes{};
    ReadAttributes(d, d.Object(j["attributes"], "attributes"), "attributes", dataset.attributes);
  }
}

// A resource whose path ends in .dta, .sas7bdat or .xpt, or whose format
// says so, is a Stata or SAS file.
ForeignKind ForeignResourceKind(const Descriptor& d, const Json& res, const std::string& relative) {
  if (res.contains("format")) {
    const std::string format = Lower(d.String(res["format"], "resources[0].format"));
    if (format == "dta") return ForeignKind::Stata;
    if (format == "sas7bdat") return ForeignKind::Sas;
    if (format == "xpt") return ForeignKind::Transport;
  }
  const ForeignKind kind = ForeignKindOfExtension(fs::path(relative).extension().string());
  return kind == ForeignKind::SasCatalog ? ForeignKind::None : kind;
}

// A descriptor on top of a Stata or SAS file: the file's dictionary first,
// then whatever the descriptor gives wins.
std::shared_ptr<Dataset> LoadOnForeign(const Descriptor& d, const Json& j, const Json& res, const std::string& file,
                                       ForeignKind promised, const LoadOptions& options,
                                       std::vector<std::string>& warnings) {
  ForeignKind kind = SniffForeignFile(file, fs::path(file).extension().string());
  if (kind == ForeignKind::None) {
    if (!fs::exists(file)) d.Fail("resources[0].path", "cannot open " + file + "; check the path");
    d.Fail("resources[0].path", file + " is not " + ForeignKindText(promised) + ": its first bytes are not those of "
                                "such a file");
  }
  std::shared_ptr<Dataset> dataset = LoadForeign(file, kind, ForeignOptions{options.encoding, options.catalog}, warnings);
  if (res.contains("schema")) {
    const std::string sp = "resources[0].schema";
    const Json& schema = d.Object(res["schema"], sp);
    d.CheckKeys(schema, sp, {"fields"}, {"primaryKey", "foreignKeys", "missingValues"});
    const Json& fields = schema.contains("fields") ? d.Array(schema["fields"], sp + ".fields") : Json::array();
    for (std::size_t i = 0; i < fields.size(); ++i) {
      const FieldSpec f = ReadField(d, fields[i], Element(sp + ".fields", i), {""});
      const int index = dataset->Find(f.name);
      if (index < 0) {
        d.Fail(Member(f.path, "name"), "\"" + f.name + "\" names no variable of " + file + "; the descriptor may "
                                       "only describe the file's own variables");
      }
      QUVO_Variable& v = *dataset->variables[static_cast<std::size_t>(index)];
      const CellKind cellKind = v.IsString() ? CellKind::String : CellKind::Number;
      if (f.title) v.label = f.title;
      if (f.measure) v.measure = *f.measure;
      else if (f.categoriesOrdered) v.measure = Measure::Ordinal;
      v.role = fields[i].contains("role") ? f.role : v.role;
      v.printFormat = FormatOf(d, f.printFormat, Member(f.path, "printFormat"), v.width, v.printFormat);
      v.writeFormat = FormatOf(d, f.writeFormat, Member(f.path, "writeFormat"), v.width,
                               f.printFormat && !f.writeFormat ? v.printFormat : v.writeFormat);
      if (f.categories != nullptr) {
        v.valueLabels.clear();
        ReadCategories(d, f, v, cellKind);
        if (!f.measure && !f.categoriesOrdered && !v.IsString()) v.measure = Measure::Nominal;
      }
      if (f.userMissing != nullptr) {
        const bool extended = v.missing.extended;
        v.missing = MissingValues{};
        ReadUserMissing(d, f, v, cellKind);
        v.missing.extended = extended;  // the file's own codes stay missing
      }
      if (f.attributes != nullptr) {
        v.attributes = DatasourceAttributes{};
        ReadAttributes(d, *f.attributes, Member(f.path, "attributes"), v.attributes);
      }
    }
  }
  dataset->files.insert(dataset->files.begin(), d.File());
  ReadPackageLevel(&d, j, dataset.get());
  UpdateForeignWeighting(*dataset);
  ReadPackageTexts(d, j, *dataset);
  return dataset;
}

std::shared_ptr<Dataset> LoadPackage(const std::string& path, std::vector<std::string>& warnings,
                                     const LoadOptions& options) {
  const std::string text = ReadWholeFile(path);
  const Json j = ParseJson(text, path);
  const Descriptor d(path, warnings);
  d.Object(j, "");
  d.CheckKeys(j, "",
              {"title", "documents", "attributes", "weight", "splitFile", "multipleResponseSets", "resources"},
              {"name", "id", "profile", "licenses", "description", "homepage", "version", "sources", "contributors",
               "keywords", "image", "created", "$schema"});

  if (!j.contains("resources")) d.Fail("", "a data package needs \"resources\" (the CSV file of cases)");
  const Json& resources = d.Array(j["resources"], "resources");
  if (resources.empty()) d.Fail("resources", "a data package needs at least one resource (the CSV file of cases)");
  if (resources.size() > 1) d.Warn("resources", "only the first resource is read");
  const Json& res = d.Object(resources[0], "resources[0]");
  d.CheckKeys(res, "resources[0]", {"path", "dialect", "schema", "encoding"},
              {"name", "profile", "title", "description", "format", "mediatype", "bytes", "hash", "sources",
               "licenses", "scheme", "type"});
  if (!res.contains("path")) d.Fail("resources[0]", "a resource needs a \"path\" to its CSV file");
  const std::string relative = d.String(res["path"], "resources[0].path");
  if (res.contains("encoding")) {
    const std::string enc = Lower(d.String(res["encoding"], "resources[0].encoding"));
    if (enc != "utf-8" && enc != "utf8") d.Warn("resources[0].encoding", "only UTF-8 is read; the file is read as UTF-8");
  }

  const fs::path base = fs::path(path).parent_path();
  if (const ForeignKind kind = ForeignResourceKind(d, res, relative); kind != ForeignKind::None) {
    const fs::path file = fs::path(relative).is_absolute() ? fs::path(relative) : base / relative;
    return LoadOnForeign(d, j, res, file.lexically_normal().string(), kind, options, warnings);
  }

  Plan plan;
  const fs::path csv = fs::path(relative).is_absolute() ? fs::path(relative) : base / relative;
  plan.csvPath = csv.string();
  plan.csvDisplay = csv.lexically_normal().string();

  if (res.contains("dialect")) {
    const std::string dp = "resources[0].dialect";
    const Json& dialect = d.Object(res["dialect"], dp);
    d.CheckKeys(dialect, dp, {"delimiter", "header", "quoteChar", "doubleQuote"},
                {"lineTerminator", "caseSensitiveHeader", "csvddfVersion"});
    if (dialect.contains("delimiter")) {
      const std::string delim = d.String(dialect["delimiter"], dp + ".delimiter");
      if (delim.size() != 1 || delim[0] == '\n' || delim[0] == '\r') {
        d.Fail(dp + ".delimiter", "the delimiter must be one character (one byte), not a line break");
      }
      plan.dialect.delimiter = delim[0];
    }
    if (dialect.contains("header")) plan.dialect.header = d.Bool(dialect["header"], dp + ".header");
    if (dialect.contains("quoteChar")) {
      const std::string quote = d.String(dialect["quoteChar"], dp + ".quoteChar");
      if (quote.size() > 1 || quote == "\n" || quote == "\r") {
        d.Fail(dp + ".quoteChar", "the quote character must be one character (one byte), or \"\" for none");
      }
      plan.dialect.quoting = !quote.empty();
      if (!quote.empty()) plan.dialect.quote = quote[0];
    }
    if (dialect.contains("doubleQuote") && !d.Bool(dialect["doubleQuote"], dp + ".doubleQuote")) {
      d.Fail(dp + ".doubleQuote", "only doubled quotes (\"\") are read inside quoted cells; remove doubleQuote");
    }
    if (plan.dialect.quoting && plan.dialect.quote == plan.dialect.delimiter) {
      d.Fail(dp, "the delimiter and the quote character must differ");
    }
  }

  std::vector<std::string> schemaMissing{""};
  if (res.contains("schema")) {
    const std::string sp = "resources[0].schema";
    const Json& schema = d.Object(res["schema"], sp);
    d.CheckKeys(schema, sp, {"fields", "missingValues"}, {"primaryKey", "foreignKeys"});
    if (schema.contains("missingValues")) schemaMissing = d.StringList(schema["missingValues"], sp + ".missingValues");
    if (!schema.contains("fields")) d.Fail(sp, "a schema needs \"fields\" (one per column of the CSV file)");
    const Json& fields = d.Array(schema["fields"], sp + ".fields");
    for (std::size_t i = 0; i < fields.size(); ++i) {
      plan.fields.push_back(ReadField(d, fields[i], Element(sp + ".fields", i), schemaMissing));
    }
  } else {
    plan.inferAll = true;
  }

  std::shared_ptr<Dataset> dataset = Build(plan, &d, warnings, &j);
  dataset->files = {path, plan.csvPath};
  ReadPackageTexts(d, j, *dataset);
  return dataset;
}


std::shared_ptr<Dataset> LoadBareCsv(const std::string& path, std::vector<std::string>& warnings) {
  Plan plan;
  plan.csvPath = path;
  plan.csvDisplay = path;
  plan.inferAll = true;
  std::shared_ptr<Dataset> dataset = Build(plan, nullptr, warnings, nullptr);
  dataset->files = {path};
  return dataset;
}

}  // namespace

std::shared_ptr<Dataset> LoadDataset(const std::string& path, std::vector<std::string>& warnings,
                                     const LoadOptions& options) {
  const std::string ext = Lower(fs::path(path).extension().string());
  std::shared_ptr<Dataset> dataset;
  if (const ForeignKind kind = SniffForeignFile(path, ext); kind != ForeignKind::None) {
    dataset = LoadForeign(path, kind, ForeignOptions{options.encoding, options.catalog}, warnings);
  } else if (ext == ".json") {
    dataset = LoadPackage(path, warnings, options);
  } else if (ext == ".csv") {
    dataset = LoadBareCsv(path, warnings);
  } else {
    throw InputError(path + ": not a dataset this program reads; name " + ReadableDatasetsText());
  }
  dataset->fileSpec = FileSpecOf(path);
  return dataset;
}

std::shared_ptr<Dataset> LoadDataset(const std::string& path, std::vector<std::string>& warnings) {
  return LoadDataset(path, warnings, LoadOptions{});
}

}  // namespace host
