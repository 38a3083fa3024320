// Loading a dataset: a data package descriptor (JSON) with its CSV file, or a
// bare CSV file whose dictionary is inferred from the data.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <thread>
#include <unordered_set>

#include <sys/resource.h>
#include <sys/stat.h>

#include "host/common/text.h"
#include "host/data/cells.h"
#include "host/data/csv_parts.h"
#include "host/data/csv_source.h"
#include "host/data/extended_missing.h"
#include "host/data/files.h"
#include "host/data/foreign.h"
#include "host/data/formats.h"
#include "host/data/input.h"
#include "host/data/json_load.h"
#include "host/data/names.h"
#include "host/data/paths.h"
#include "host/data/scan.h"
#include "host/dataset.h"

namespace host {
namespace {

namespace fs = std::filesystem;

constexpr int kMaxStringWidth = 32767;

// Every property read gets its path, for messages; made in one allocation
// (a wide descriptor's fields make some hundred thousand of them).
std::string Member(const std::string& path, const std::string& key) {
  if (path.empty()) return key;
  std::string member;
  member.reserve(path.size() + 1 + key.size());
  member.append(path).append(1, '.').append(key);
  return member;
}
std::string Element(const std::string& path, std::size_t i) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, i).ptr;
  std::string element;
  element.reserve(path.size() + 2 + static_cast<std::size_t>(end - digits));
  element.append(path).append(1, '[').append(digits, end).append(1, ']');
  return element;
}

const char* KindOf(const Json& j) {
  switch (j.type()) {
    case Json::value_t::null:
      return "null";
    case Json::value_t::object:
      return "an object";
    case Json::value_t::array:
      return "an array";
    case Json::value_t::string:
      return "a string";
    case Json::value_t::boolean:
      return "true or false";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float:
      return "a number";
    default:
      return "a value";
  }
}

// Tools that publish packages write a property they have no value for as
// null ("title": null, "format": null, "missingValues": null): such a
// property is read as absent. Rows written inline keep their nulls, which
// are empty cells there.
void DropNullProperties(Json& j) {
  if (j.is_object()) {
    for (auto it = j.begin(); it != j.end();) {
      if (it->is_null()) {
        it = j.erase(it);
        continue;
      }
      if (it.key() != "data") DropNullProperties(*it);
      ++it;
    }
  } else if (j.is_array()) {
    for (Json& e : j) DropNullProperties(e);
  }
}

// Thrown after a problem is recorded: the property at hand is skipped and
// the reading goes on, so that one run reports every problem.
struct DescriptorAbort {};

// Errors and warnings about the descriptor name its file and the JSON path
// of the property. Errors are collected; Flush throws them all at once.
class Descriptor {
 public:
  Descriptor(std::string file, std::vector<std::string>& warnings) : fFile(std::move(file)), fWarnings(warnings) {}

  void Error(const std::string& path, const std::string& what) const {
    fErrors.push_back(fFile + ": " + (path.empty() ? "" : path + ": ") + what);
  }
  [[noreturn]] void Fail(const std::string& path, const std::string& what) const {
    Error(path, what);
    throw DescriptorAbort{};
  }
  // Runs one part of the reading; a problem in it skips the rest of that part.
  template <class F>
  void Try(F&& part) const {
    try {
      part();
    } catch (const DescriptorAbort&) {
    }
  }
  // Throws every problem recorded so far, one per line.
  void Flush() const {
    if (fErrors.empty()) return;
    constexpr std::size_t kShown = 50;
    std::string text;
    for (std::size_t i = 0; i < fErrors.size() && i < kShown; ++i) text += (i > 0 ? "\n" : "") + fErrors[i];
    if (fErrors.size() > kShown) {
      text += "\n" + fFile + ": ... and " + std::to_string(fErrors.size() - kShown) + " more problems";
    }
    fErrors.clear();
    throw InputError(text);
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
  // One byte, for dialect characters; empty allowed when emptyOk.
  char Character(const Json& j, const std::string& path, bool emptyOk) const {
    const std::string text = String(j, path);
    if (text.empty() && emptyOk) return 0;
    if (text.size() != 1 || text[0] == '\n' || text[0] == '\r') {
      Fail(path, std::string("expected one character (one byte), not a line break") + (emptyOk ? ", or \"\"" : ""));
    }
    return text[0];
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
      // A property that names its vendor (x-ckan, dcat:issued) or belongs to
      // JSON-LD (@context, as repositories publish packages) is an
      // extension, not a misspelt property.
      if (key.rfind("x-", 0) == 0 || key.rfind("x_", 0) == 0 || key.rfind('@', 0) == 0 ||
          key.find(':') != std::string::npos) {
        continue;
      }
      Warn(Member(path, key), "unknown property, ignored");
    }
  }

 private:
  std::string fFile;
  std::vector<std::string>& fWarnings;
  mutable std::vector<std::string> fErrors;
};

// What the descriptor says about one field, before the data are looked at.
struct FieldSpec {
  std::string path;  // JSON path, for messages
  std::string name;
  std::string givenName;  // as written, when the name had to be made valid
  std::optional<std::string> title;
  std::optional<std::string> description;
  std::optional<CellKind> kind;
  std::optional<int> maxLength;
  std::optional<int> measure;
  int role = Role::Input;
  std::optional<std::string> printFormat;
  std::optional<std::string> writeFormat;
  const Json* categories = nullptr;
  bool categoriesOrdered = false;
  std::vector<std::string> missingTexts{""};
  // Missing values written as objects with a label ({"value": "-9", "label":
  // "refused"}, as newer schemas write them): the text and its label.
  std::vector<std::pair<std::string, std::string>> labelledMissing;
  const Json* userMissing = nullptr;
  const Json* attributes = nullptr;
  NumberStyle style;
  std::vector<std::string> trueValues{"true", "True", "TRUE", "1"};
  std::vector<std::string> falseValues{"false", "False", "FALSE", "0"};
  std::string datePattern;  // date, datetime, time: the field's strptime-style format
  // A date or date-time field whose format is "any": ISO 8601, or the one
  // pattern the file's values all follow (found by the scan).
  bool anyDateFormat = false;
  // A bare CSV column (or a package without a schema): its numbers may be
  // few whole codes, and (when the delimiter is not a comma) written with a
  // decimal comma.
  bool inferLikeBareCsv = false;
};

// Every Table Schema type. Types without a host counterpart (JSON values,
// geographic points, lists) are read as their text.
CellKind KindFromType(const Descriptor& d, const std::string& type, const std::string& path) {
  static const std::pair<const char*, CellKind> kTypes[] = {
      {"number", CellKind::Number},     {"integer", CellKind::Integer},   {"string", CellKind::String},
      {"date", CellKind::Date},         {"datetime", CellKind::DateTime}, {"time", CellKind::Time},
      {"boolean", CellKind::Boolean},   {"year", CellKind::Year},         {"yearmonth", CellKind::YearMonth},
      {"duration", CellKind::Duration}, {"object", CellKind::String},     {"array", CellKind::String},
      {"list", CellKind::String},       {"geopoint", CellKind::String},   {"geojson", CellKind::String},
      {"any", CellKind::String}};
  for (const auto& [name, kind] : kTypes) {
    if (type == name) return kind;
  }
  // The type names databases and CKAN's data dictionary write for fields
  // (exported with a package by hand or by a portal's tools).
  static const std::pair<const char*, const char*> kLike[] = {
      {"int", "integer"},  {"int4", "integer"},      {"int8", "integer"},  {"bigint", "integer"},
      {"text", "string"},  {"varchar", "string"},    {"str", "string"},    {"numeric", "number"},
      {"float", "number"}, {"float8", "number"},     {"double", "number"}, {"decimal", "number"},
      {"bool", "boolean"}, {"timestamp", "datetime"}};
  std::string meant;
  for (const auto& [name, standard] : kLike) {
    if (LowerAscii(type) == name) meant = std::string(" (\"") + standard + "\" is the Table Schema type for it)";
  }
  d.Fail(path, "\"" + type + "\" is not a field type" + meant +
                   "; use one of number, integer, string, boolean, date, time, "
                   "datetime, year, yearmonth, duration, object, array, list, geopoint, geojson, any (or "
                   "leave the type out to infer it)");
}

// missingValues: texts, or (as newer schemas write them) objects with a
// "value" and perhaps a "label", which go to `labelled` too.
std::vector<std::string> MissingTexts(const Descriptor& d, const Json& j, const std::string& path,
                                      std::vector<std::pair<std::string, std::string>>& labelled) {
  d.Array(j, path);
  std::vector<std::string> out;
  labelled.clear();
  for (std::size_t i = 0; i < j.size(); ++i) {
    const std::string p = Element(path, i);
    if (j[i].is_object() && j[i].contains("value")) {
      out.push_back(d.String(j[i]["value"], Member(p, "value")));
      if (j[i].contains("label")) {
        labelled.emplace_back(TrimBlanks(out.back()), d.String(j[i]["label"], Member(p, "label")));
      }
    } else if (j[i].is_number()) {
      // Codes written as numbers, as hand-written schemas give them: the
      // list compares the cells' texts, so the text is what to write.
      d.Error(p, "expected a string, found a number; missing values are the texts of the cells, so write \"" +
                     j[i].dump() + "\"");
    } else {
      out.push_back(d.String(j[i], p));
    }
  }
  for (std::string& m : out) m = std::string(TrimBlanks(m));
  return out;
}

void ReadConstraints(const Descriptor& d, const Json& j, const std::string& cp, FieldSpec& f) {
  const Json& c = d.Object(j, cp);
  d.CheckKeys(c, cp, {"maxLength"},
              {"required", "unique", "minLength", "minimum", "maximum", "pattern", "enum", "exclusiveMinimum",
               "exclusiveMaximum", "jsonSchema"});
  if (c.contains("maxLength")) {
    const std::int64_t n = d.Integer(c["maxLength"], Member(cp, "maxLength"));
    if (n < 1 || n > kMaxStringWidth) {
      d.Fail(Member(cp, "maxLength"), "a string width must be between 1 and " + std::to_string(kMaxStringWidth));
    }
    f.maxLength = static_cast<int>(n);
  }
}

void ReadMeasureAndRole(const Descriptor& d, const Json& j, const std::string& path, FieldSpec& f) {
  if (j.contains("measure")) {
    d.Try([&] {
      const std::string m = d.String(j["measure"], Member(path, "measure"));
      if (m == "nominal")
        f.measure = Measure::Nominal;
      else if (m == "ordinal")
        f.measure = Measure::Ordinal;
      else if (m == "scale")
        f.measure = Measure::Scale;
      else if (m == "unknown")
        f.measure = Measure::Unknown;
      else
        d.Fail(Member(path, "measure"), "\"" + m +
                                            "\" is not a measurement level; use \"nominal\", \"ordinal\", "
                                            "\"scale\" or \"unknown\"");
    });
  }
  if (j.contains("role")) {
    d.Try([&] {
      const std::string r = d.String(j["role"], Member(path, "role"));
      static const std::pair<const char*, int> kRoles[] = {{"input", Role::Input},         {"target", Role::Target},
                                                           {"both", Role::Both},           {"none", Role::None},
                                                           {"partition", Role::Partition}, {"split", Role::Split}};
      for (const auto& [text, code] : kRoles) {
        if (r == text) {
          f.role = code;
          return;
        }
      }
      d.Fail(Member(path, "role"), "\"" + r +
                                       "\" is not a role; use \"input\", \"target\", \"both\", \"none\", "
                                       "\"partition\" or \"split\"");
    });
  }
}

// format: for dates and times a strptime-style pattern ("default" and "any"
// read ISO 8601); for other types it says nothing a codebook needs.
void ReadDatePattern(const Descriptor& d, const Json& j, const std::string& path, FieldSpec& f) {
  std::string format = d.String(j, path);
  const bool dated = f.kind == CellKind::Date || f.kind == CellKind::DateTime || f.kind == CellKind::Time;
  f.anyDateFormat = format == "any" && (f.kind == CellKind::Date || f.kind == CellKind::DateTime);
  if (!dated || format == "default" || format == "any") return;
  // The first Table Schema drafts wrote a pattern as "fmt:%d/%m/%Y", and
  // descriptors of that time still carry it.
  if (format.starts_with("fmt:")) format.erase(0, 4);
  if (format.find('%') == std::string::npos || !dates::PatternIsReadable(format)) {
    d.Fail(path, "\"" + format +
                     "\" is not a date pattern this program reads; use %Y %y %m %d %j %H %I %p %M %S %f "
                     "%b %B %z and other characters as themselves (such as \"%d/%m/%Y\"), or \"default\" for ISO 8601");
  }
  f.datePattern = format;
}

// decimalChar, groupChar, bareNumber (numbers); trueValues, falseValues (booleans).
void ReadTypeOptions(const Descriptor& d, const Json& j, const std::string& path, FieldSpec& f) {
  if (j.contains("decimalChar")) {
    d.Try([&] { f.style.decimalChar = d.Character(j["decimalChar"], Member(path, "decimalChar"), false); });
  }
  if (j.contains("groupChar")) {
    const Json& group = j["groupChar"];
    // A no-break space, as spreadsheets write between groups of digits:
    // a space as the group character reads those too.
    if (group.is_string() && NoBreakSpacesAsSpaces(group.get<std::string>()) == " ") {
      f.style.groupChar = ' ';
    } else {
      d.Try([&] { f.style.groupChar = d.Character(group, Member(path, "groupChar"), true); });
    }
  }
  if (j.contains("bareNumber")) d.Try([&] { f.style.bare = d.Bool(j["bareNumber"], Member(path, "bareNumber")); });
  // Whole numbers have no decimal character: an integer field grouped by
  // points ("1.234", as German offices write 1234) names only its groupChar,
  // and a comma then stands where the point would, so "1,5" is no whole number.
  if (f.kind == CellKind::Integer && !j.contains("decimalChar") && f.style.groupChar == '.') {
    f.style.decimalChar = ',';
  }
  if (f.style.groupChar != 0 && f.style.groupChar == f.style.decimalChar) {
    d.Error(path, "decimalChar and groupChar must differ");
  }
  if (j.contains("trueValues"))
    d.Try([&] { f.trueValues = d.StringList(j["trueValues"], Member(path, "trueValues")); });
  if (j.contains("falseValues")) {
    d.Try([&] { f.falseValues = d.StringList(j["falseValues"], Member(path, "falseValues")); });
  }
}

FieldSpec ReadField(const Descriptor& d, const Json& j, const std::string& path,
                    const std::vector<std::string>& schemaMissing,
                    const std::vector<std::pair<std::string, std::string>>& schemaLabelled = {}) {
  d.Object(j, path);
  d.CheckKeys(j, path, {"name",        "title",       "description", "type",       "constraints",       "measure",
                        "role",        "printFormat", "writeFormat", "categories", "categoriesOrdered", "missingValues",
                        "userMissing", "attributes",  "decimalChar", "groupChar",  "bareNumber",        "trueValues",
                        "falseValues", "format"},
              {"example", "rdfType", "delimiter", "itemType"});
  FieldSpec f;
  f.path = path;
  f.missingTexts = schemaMissing;
  f.labelledMissing = schemaLabelled;
  if (!j.contains("name")) {
    // CKAN's data dictionary names a field by its "id".
    d.Fail(path, j.contains("id") && j["id"].is_string()
                     ? "a field needs a \"name\" (this one has an \"id\", as CKAN's data dictionary names fields: "
                       "write it as \"name\")"
                     : "a field needs a \"name\"");
  }
  f.name = d.String(j["name"], Member(path, "name"));
  if (j.contains("title")) d.Try([&] { f.title = d.String(j["title"], Member(path, "title")); });
  if (j.contains("description")) {
    d.Try([&] { f.description = d.String(j["description"], Member(path, "description")); });
  }
  if (j.contains("type")) {
    d.Try([&] { f.kind = KindFromType(d, d.String(j["type"], Member(path, "type")), Member(path, "type")); });
  }
  if (j.contains("format")) d.Try([&] { ReadDatePattern(d, j["format"], Member(path, "format"), f); });
  if (j.contains("constraints")) d.Try([&] { ReadConstraints(d, j["constraints"], Member(path, "constraints"), f); });
  ReadMeasureAndRole(d, j, path, f);
  ReadTypeOptions(d, j, path, f);
  if (j.contains("printFormat")) {
    d.Try([&] { f.printFormat = d.String(j["printFormat"], Member(path, "printFormat")); });
  }
  if (j.contains("writeFormat")) {
    d.Try([&] { f.writeFormat = d.String(j["writeFormat"], Member(path, "writeFormat")); });
  }
  if (j.contains("categories")) d.Try([&] { f.categories = &d.Array(j["categories"], Member(path, "categories")); });
  if (j.contains("categoriesOrdered")) {
    d.Try([&] { f.categoriesOrdered = d.Bool(j["categoriesOrdered"], Member(path, "categoriesOrdered")); });
  }
  if (j.contains("missingValues")) {
    d.Try([&] {
      f.missingTexts = MissingTexts(d, j["missingValues"], Member(path, "missingValues"), f.labelledMissing);
    });
  }
  if (j.contains("userMissing")) {
    d.Try([&] { f.userMissing = &d.Object(j["userMissing"], Member(path, "userMissing")); });
  }
  if (j.contains("attributes")) d.Try([&] { f.attributes = &d.Object(j["attributes"], Member(path, "attributes")); });
  // A Table Schema number may be "NaN": no value, as a statistics package
  // holds it. (Its infinities stay errors: no statistic can take them.)
  if (f.kind == CellKind::Number) {
    for (const char* nan : {"NaN", "nan", "NAN"}) {
      if (std::find(f.missingTexts.begin(), f.missingTexts.end(), nan) == f.missingTexts.end()) {
        f.missingTexts.emplace_back(nan);
      }
    }
  }
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
// Over a Stata or SAS file (codes), also an extended missing code as the
// file's report writes it: ".a" (Stata), ".A" or "._" (SAS).
double NumericValue(const Descriptor& d, const Json& j, const std::string& path, CellKind kind, bool codes = false) {
  if (j.is_number()) return j.get<double>();
  if (j.is_string()) {
    const std::string text(TrimBlanks(j.get<std::string>()));
    double v = 0.0;
    if (codes && text.size() == 2 && text[0] == '.' && ExtendedMissing(text[1]) != 0.0) return ExtendedMissing(text[1]);
    if (kind != CellKind::Number && kind != CellKind::Integer && kind != CellKind::Boolean) {
      if (ParseDateCell(kind, text, v)) return v;
    }
    if (ParseNumber(text, v)) return v;
    d.Fail(path, "\"" + text + "\" is not a value of this numeric variable");
  }
  d.Fail(path, std::string("expected a number, found ") + KindOf(j));
}

void ReadCategories(const Descriptor& d, const FieldSpec& f, QUVO_Variable& v, CellKind kind, bool codes = false) {
  if (f.categories == nullptr) return;
  const std::string base = Member(f.path, "categories");
  const Json& cats = *f.categories;
  std::unordered_set<std::uint64_t> labelled;  // values seen (numbers: -0 as 0)
  for (std::size_t i = 0; i < cats.size(); ++i) {
    d.Try([&] {
      const std::string p = Element(base, i);
      const Json& c = cats[i];
      if (!c.is_object()) return;  // a bare value: a category without a label
      d.CheckKeys(c, p, {"value", "label"});
      if (!c.contains("value")) d.Fail(p, "a category needs a \"value\"");
      if (!c.contains("label")) return;
      ValueLabel label;
      label.label = d.String(c["label"], Member(p, "label"));
      if (kind == CellKind::String) {
        label.value = ObsFromString(d.String(c["value"], Member(p, "value")));
      } else {
        // -0 and 0 are one value, labelled once (as 0).
        label.value = ObsFromNumber(NumericValue(d, c["value"], Member(p, "value"), kind, codes) + 0.0);
      }
      if (!labelled.insert(label.value.u).second) {
        d.Warn(Member(p, "value"), "a second label for the same value; the first one is kept");
        return;
      }
      v.valueLabels.push_back(std::move(label));
    });
  }
}

void ReadUserMissing(const Descriptor& d, const FieldSpec& f, QUVO_Variable& v, CellKind kind, bool codes = false) {
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
        mv.numbers.push_back(NumericValue(d, values[i], Element(vp, i), kind, codes));
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
      if (b.is_string() && LowerAscii(TrimBlanks(b.get<std::string>())) == LowerAscii(word)) return infinite;
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
    d.Fail(base, "a range of missing values allows at most one discrete value besides it (" + std::to_string(discrete) +
                     " given)");
  }
}

QUVO_Format FormatOf(const Descriptor& d, const std::optional<std::string>& text, const std::string& path, int width,
                     QUVO_Format fallback) {
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

// Everything needed to build the dictionary of one CSV file.
struct Plan {
  std::string csvPath;     // the file the reader opens (perhaps a decoded copy)
  std::string csvDisplay;  // the file as the user knows it, in messages
  std::shared_ptr<CsvInput> input;
  InputRequest request;  // how input was made from the user's file
  // The resource's other files, when its path lists several (the parts of
  // one file of cases): to open, and in messages.
  std::vector<std::pair<std::string, std::string>> moreParts;
  CsvDialect dialect;
  std::vector<FieldSpec> fields;
  std::string nullSequence;        // the dialect's text for "no value" in every column
  bool headerIgnoresCase = false;  // the dialect says the header's letter case does not count
  bool inferAll = false;           // no schema: fields come from the header
  // How the schema's fields meet the header's columns (the schema's
  // "fieldsMatch"): "exact", the default, is every field in order; the others
  // match by name.
  std::string fieldsMatch = "exact";
  std::vector<std::string> schemaMissing{""};  // for columns the schema leaves out
  std::vector<std::string> bareMissing;        // inferAll: texts that are missing in numeric columns
  // A schema or dialect read from a file of its own: fields point into it.
  std::vector<std::unique_ptr<Json>> referenced;
  std::vector<std::string> referencedFiles;  // inputs, which the output must not be
};

// Reads the header (when the dialect has one) and returns the offset and
// line of the first case. Every header cell that is not UTF-8 is reported.
// What a header one name short of its rows was taken as.
enum class ShortHeader { No, RowNames, TrailingDelimiter, HeaderDelimiter };

// Records looked at to decide that a header is one name short.
constexpr std::size_t kShortHeaderRows = 20;

std::vector<std::string> ReadHeader(const Plan& plan, std::int64_t& dataOffset, std::int64_t& dataLine,
                                    std::int64_t& headerLine, FileStamp& stamp, ShortHeader& shortHeader) {
  shortHeader = ShortHeader::No;
  CsvReader reader(plan.csvPath, plan.csvDisplay, plan.dialect);
  stamp = reader.Stamp();
  std::vector<CsvCell> cells;
  std::size_t count = 0;
  std::vector<std::string> names;
  if (!plan.dialect.header) {
    dataOffset = reader.Offset();  // after a byte order mark
    dataLine = reader.Line();      // after a "sep=" line
    if (plan.inferAll && reader.Next(cells, count)) {
      for (std::size_t i = 0; i < count; ++i) names.push_back("V" + std::to_string(i + 1));
    } else if (!plan.inferAll && plan.fields.size() >= 2 && reader.Next(cells, count) && count == plan.fields.size()) {
      // A header row under "header": false would be one more case, and
      // under string fields nothing else would show it.
      std::string listed;
      for (std::size_t i = 0; i < count; ++i) {
        const FieldSpec& f = plan.fields[i];
        if (!EqualsIgnoringCase(TrimBlanks(cells[i].View()), f.givenName.empty() ? f.name : f.givenName)) {
          return names;
        }
        listed += (i == 0 ? "\"" : ", \"") + std::string(TrimBlanks(cells[i].View())) + "\"";
      }
      throw InputError(plan.csvDisplay + ", line " + std::to_string(reader.RecordLine()) +
                       ": the first row names the fields (" + listed +
                       ") as a header row does, but the resource says \"header\": false, which would read it as a "
                       "case; leave out \"header\": false (a header row is the default)");
    }
    return names;
  }
  if (!reader.Next(cells, count)) {
    throw InputError(plan.csvDisplay +
                     ": the file is empty; it needs a header row of variable names (then one "
                     "row per case)");
  }
  std::string problems;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string_view raw = cells[i].View();
    std::size_t bad = 0;
    if (raw.find('\0') != std::string_view::npos) {
      // Every other byte NUL: UTF-16 text that lost (or never had) its mark.
      throw InputError(reader.Where(reader.RecordLine(), i + 1) +
                       ": the header holds NUL bytes, so the file is probably UTF-16 text without a byte order "
                       "mark. Name its encoding with --encoding utf-16le (or utf-16be), or save it as UTF-8");
    }
    if (!ValidUtf8(raw, bad)) {
      problems += (problems.empty() ? "" : "\n") + reader.Where(reader.RecordLine(), i + 1) + ": " +
                  NotUtf8HeaderText(raw, bad);
    }
    names.emplace_back(TrimBlanks(raw));
  }
  if (!problems.empty()) throw InputError(problems);
  dataOffset = reader.Offset();
  dataLine = reader.Line();
  headerLine = reader.RecordLine();
  // Rows of one cell more than the header: R's write.table writes the row
  // names as a first column without a name, and some programs end every
  // row, but not the header, with a delimiter (its last cell then empty).
  // (A header of one name is left alone: more often the delimiter is not
  // the one the rows use.)
  // The other way round, a header that ends with a delimiter the rows do not
  // have: its last name is empty and every row one cell short of it.
  if (plan.inferAll && plan.moreParts.empty() && names.size() >= 2) {
    std::size_t rows = 0;
    bool oneMore = true, lastEmpty = true;
    bool oneFewer = names.size() >= 3 && names.back().empty();
    try {
      while ((oneMore || oneFewer) && rows < kShortHeaderRows && reader.Next(cells, count)) {
        ++rows;
        oneMore = oneMore && count == names.size() + 1;
        oneFewer = oneFewer && count + 1 == names.size();
        lastEmpty = lastEmpty && oneMore && TrimBlanks(cells[count - 1].View()).empty();
      }
    } catch (const InputError&) {
      oneMore = oneFewer = false;  // a broken record: the scan reports it, naming its variable
    }
    if (oneMore && rows > 0) {
      shortHeader = lastEmpty ? ShortHeader::TrailingDelimiter : ShortHeader::RowNames;
      names.insert(lastEmpty ? names.end() : names.begin(), std::string());
    } else if (oneFewer && rows > 0) {
      shortHeader = ShortHeader::HeaderDelimiter;
      names.pop_back();
    }
  }
  return names;
}

// A bare CSV file's columns: header texts made into names (the text kept as
// the label), all else inferred.
void NameInferredFields(Plan& plan, const std::vector<std::string>& header, const std::string& headerWhere,
                        std::vector<std::string>& notes) {
  const std::vector<MadeName> names = MakeVariableNames(header, false);
  for (std::size_t i = 0; i < header.size(); ++i) {
    FieldSpec f;
    f.name = names[i].name;
    f.path = "column " + std::to_string(i + 1);
    if (names[i].renamed && !header[i].empty()) f.title = header[i];
    f.missingTexts = plan.bareMissing;
    f.inferLikeBareCsv = true;
    plan.fields.push_back(std::move(f));
  }
  if (std::any_of(names.begin(), names.end(), [](const MadeName& n) { return n.renamed; })) {
    notes.push_back(RenameNote(headerWhere, "header", "column", header, names));
  }
}

// A descriptor's field names: "$" names and names equal ignoring case are
// errors; other names that are not valid are made valid, the name as given
// kept as the label when the field has no title.
void NameDeclaredFields(Plan& plan, const Descriptor& d, std::vector<std::string>& notes) {
  std::vector<std::string> given;
  std::unordered_map<std::string, std::size_t> seen;
  for (std::size_t i = 0; i < plan.fields.size(); ++i) {
    const FieldSpec& f = plan.fields[i];
    given.push_back(f.name);
    const std::string path = Member(f.path, "name");
    if (!f.name.empty() && f.name[0] == '$') {
      d.Error(path, "the name \"" + f.name +
                        "\" begins with \"$\", which marks multiple-response sets in command "
                        "syntax; rename the field");
    }
    if (const auto [it, fresh] = seen.emplace(UpperAscii(f.name), i); !fresh) {
      d.Error(path, "the variable name \"" + f.name + "\" is used twice (field " + std::to_string(it->second + 1) +
                        " is \"" + plan.fields[it->second].name +
                        "\"; names are compared ignoring case). Rename one "
                        "of them");
    }
  }
  const std::vector<MadeName> names = MakeVariableNames(given, true);
  bool any = false;
  for (std::size_t i = 0; i < plan.fields.size(); ++i) {
    if (!names[i].renamed) continue;
    FieldSpec& f = plan.fields[i];
    f.givenName = f.name;
    f.name = names[i].name;
    if (!f.title) f.title = f.givenName;
    any = true;
  }
  if (any) notes.push_back(RenameNote(d.File(), "field name", "field", given, names));
}

// With a header row, the header must list the fields' names as given, in order.
void MatchHeader(const Plan& plan, const std::vector<std::string>& header, const std::string& headerWhere) {
  std::string problems;
  auto add = [&](const std::string& text) { problems += (problems.empty() ? "" : "\n") + text; };
  if (header.size() != plan.fields.size()) {
    add(headerWhere + ": the header has " + Counted(header.size(), "column") + " but the descriptor lists " +
        Counted(plan.fields.size(), "field") + ". The fields must match the header's columns, in order");
  }
  for (std::size_t i = 0; i < header.size() && i < plan.fields.size(); ++i) {
    const FieldSpec& f = plan.fields[i];
    const std::string& given = f.givenName.empty() ? f.name : f.givenName;
    if (header[i] == given || (plan.headerIgnoresCase && EqualsIgnoringCase(header[i], given))) continue;
    add(headerWhere + ", column " + std::to_string(i + 1) + ": the header names \"" + header[i] +
        "\" but the descriptor's field " + std::to_string(i + 1) + " (" + f.path + ") is \"" + given + "\"" +
        (EqualsIgnoringCase(header[i], given)
             ? " (they differ only in letter case: make them the same, or give the dialect \"headerCase\": false)"
             : std::string()) +
        ". The fields must match the header's columns, in order");
  }
  double number = 0.0;
  if (!problems.empty() && header.size() == plan.fields.size() &&
      std::any_of(header.begin(), header.end(), [&](const std::string& h) { return ParseNumber(h, number); }) &&
      std::none_of(header.begin(), header.end(), [&](const std::string& h) {
        return std::any_of(plan.fields.begin(), plan.fields.end(), [&](const FieldSpec& f) {
          return EqualsIgnoringCase(h, f.givenName.empty() ? f.name : f.givenName);
        });
      })) {
    // A file written without a header row: its first line is a case.
    add(headerWhere +
        ": the first line names no field and holds numbers, as a case does; if the file has no header row, give "
        "the resource's dialect \"header\": false");
  }
  if (!problems.empty()) {
    // The same names in another order, as where a schema lists its fields
    // sorted, or a schema of some of the columns (or of more): the schema
    // may say that they match by name.
    std::vector<std::string> fields, columns = header;
    for (const FieldSpec& f : plan.fields) fields.push_back(f.givenName.empty() ? f.name : f.givenName);
    std::sort(fields.begin(), fields.end());
    std::sort(columns.begin(), columns.end());
    const bool unique = std::adjacent_find(columns.begin(), columns.end()) == columns.end();
    if (fields == columns) {
      add(headerWhere +
          ": the header names the same fields in another order; to read them by name, in the file's "
          "order, give the schema \"fieldsMatch\": \"equal\"");
    } else if (unique && !fields.empty() &&
               std::includes(columns.begin(), columns.end(), fields.begin(), fields.end())) {
      add(headerWhere + ": the header names every field, and " +
          Counted(columns.size() - fields.size(), "other column") +
          "; to read the fields by name and the other columns as found in the data, give the schema "
          "\"fieldsMatch\": \"subset\"");
    } else if (unique && !columns.empty() &&
               std::includes(fields.begin(), fields.end(), columns.begin(), columns.end())) {
      add(headerWhere + ": every column of the header is a field, and the schema lists " +
          Counted(fields.size() - columns.size(), "field") +
          " more, which no column names; to read the columns by name and leave those fields out, give the schema "
          "\"fieldsMatch\": \"superset\"");
    }
  }
  if (!problems.empty()) throw InputError(problems);
}

// A schema whose fieldsMatch is not "exact" meets the header by name: the
// fields are put in the header's order (the file's columns are the
// variables' positions), columns the schema leaves out are inferred as in a
// package without a schema, and fields without a column are left out, as far
// as the mode allows each.
void AlignFieldsToHeader(Plan& plan, const std::vector<std::string>& header, const std::string& headerWhere,
                         std::vector<std::string>& notes) {
  const std::string& mode = plan.fieldsMatch;
  const bool extraColumnsAllowed = mode == "subset" || mode == "partial";
  const bool missingFieldsAllowed = mode == "superset" || mode == "partial";
  const std::string byMode = "the schema's fieldsMatch \"" + mode + "\"";
  auto given = [](const FieldSpec& f) -> const std::string& { return f.givenName.empty() ? f.name : f.givenName; };
  std::vector<bool> used(plan.fields.size(), false);
  std::vector<std::size_t> fieldOf(header.size(), plan.fields.size());  // none: a column the schema leaves out
  for (std::size_t c = 0; c < header.size(); ++c) {
    for (std::size_t i = 0; i < plan.fields.size(); ++i) {
      if (used[i]) continue;
      if (header[c] == given(plan.fields[i]) ||
          (plan.headerIgnoresCase && EqualsIgnoringCase(header[c], given(plan.fields[i])))) {
        used[i] = true;
        fieldOf[c] = i;
        break;
      }
    }
  }
  std::vector<std::string> unmatchedFields, extraColumns;
  for (std::size_t i = 0; i < plan.fields.size(); ++i) {
    if (!used[i]) unmatchedFields.push_back("\"" + given(plan.fields[i]) + "\"");
  }
  for (std::size_t c = 0; c < header.size(); ++c) {
    if (fieldOf[c] == plan.fields.size()) extraColumns.push_back(std::to_string(c + 1) + " " + QuoteCell(header[c]));
  }
  std::string problems;
  if (!unmatchedFields.empty() && !missingFieldsAllowed) {
    problems = headerWhere + ": the header has no column for " +
               (unmatchedFields.size() == 1 ? "the field " : Counted(unmatchedFields.size(), "field") + " ") +
               ShortList(unmatchedFields, 5) + ", which " + byMode +
               " does not allow. Give the header's names to the fields, or give fieldsMatch \"superset\" or "
               "\"partial\" when the file may lack some";
  }
  if (!extraColumns.empty() && !extraColumnsAllowed) {
    problems += (problems.empty() ? "" : "\n") + headerWhere + ": the header names " +
                (extraColumns.size() == 1 ? "a column" : Counted(extraColumns.size(), "column")) +
                " that no field names (" + (extraColumns.size() == 1 ? "column " : "columns ") +
                ShortList(extraColumns, 5) + "), which " + byMode +
                " does not allow. Add a field for each, or give fieldsMatch \"subset\" or \"partial\" to have "
                "their types found from the data";
  }
  if (problems.empty() && unmatchedFields.size() == plan.fields.size() && !plan.fields.empty()) {
    problems = headerWhere + ": the header names none of the schema's fields, and " + byMode +
               " needs at least one. Give the header's names to the fields";
  }
  if (!problems.empty()) throw InputError(problems);

  // Names for the columns the schema leaves out, free of the fields' names.
  std::vector<std::string> texts;
  for (std::size_t c = 0; c < header.size(); ++c) {
    if (fieldOf[c] != plan.fields.size()) texts.push_back(plan.fields[fieldOf[c]].name);
  }
  const std::size_t declared = texts.size();
  for (std::size_t c = 0; c < header.size(); ++c) {
    if (fieldOf[c] == plan.fields.size()) texts.push_back(header[c]);
  }
  const std::vector<MadeName> names = MakeVariableNames(texts, false);
  std::vector<FieldSpec> aligned;
  std::vector<std::string> inferred;
  std::size_t extra = declared;
  for (std::size_t c = 0; c < header.size(); ++c) {
    if (fieldOf[c] != plan.fields.size()) {
      aligned.push_back(std::move(plan.fields[fieldOf[c]]));
      continue;
    }
    FieldSpec f;
    f.name = names[extra].name;
    f.path = "column " + std::to_string(c + 1);
    if (names[extra].renamed && !header[c].empty()) f.title = header[c];
    f.missingTexts = plan.schemaMissing;
    for (const std::string& m : plan.bareMissing) {
      if (std::find(f.missingTexts.begin(), f.missingTexts.end(), m) == f.missingTexts.end())
        f.missingTexts.push_back(m);
    }
    f.inferLikeBareCsv = true;
    inferred.push_back(f.name);
    aligned.push_back(std::move(f));
    ++extra;
  }
  if (!inferred.empty()) {
    notes.push_back(headerWhere + ": " + Counted(inferred.size(), "column") + " that no field names (" +
                    ShortList(inferred, 5) + ") " + (inferred.size() == 1 ? "is" : "are") +
                    " read with types found from the data, as " + byMode + " allows");
  }
  if (!unmatchedFields.empty()) {
    notes.push_back(headerWhere + ": " + Counted(unmatchedFields.size(), "field") + " of the schema (" +
                    ShortList(unmatchedFields, 5) + ") " + (unmatchedFields.size() == 1 ? "has" : "have") +
                    " no column in the file and " + (unmatchedFields.size() == 1 ? "is" : "are") + " left out, as " +
                    byMode + " allows");
  }
  plan.fields = std::move(aligned);
}

// Scans the data when the descriptor leaves a type or a string width open.
// The rows of a spreadsheet's sheet: a file of exactly so many was most
// likely cut when a spreadsheet opened it.
constexpr std::int64_t kSpreadsheetRows = 1048576;

std::vector<ScanColumn> ScanData(const Plan& plan, const std::vector<ScanFile>& files,
                                 const std::vector<std::string>& header, std::optional<std::int64_t>& caseCount,
                                 std::vector<std::string>& warnings) {
  const std::size_t ncols = plan.fields.size();
  std::vector<ScanColumn> scan(ncols);
  bool needScan = false;
  for (std::size_t i = 0; i < ncols; ++i) {
    const FieldSpec& f = plan.fields[i];
    scan[i].inferType = !f.kind.has_value() || f.anyDateFormat;
    scan[i].measureWidth = !f.maxLength && (!f.kind || *f.kind == CellKind::String);
    scan[i].missingTexts = f.missingTexts;
    scan[i].widthLimit = kMaxStringWidth;
    scan[i].allowDecimalComma = f.inferLikeBareCsv && plan.dialect.delimiter != ',';
    scan[i].countCodes = f.inferLikeBareCsv;
    needScan = needScan || scan[i].inferType || scan[i].measureWidth;
  }
  if (needScan) {
    std::vector<std::string> names;
    for (const FieldSpec& f : plan.fields) names.push_back(f.name);
    const bool whole = plan.dialect.header && header.size() == ncols;
    const ScanResult result = ScanCsv(files, plan.dialect, names, scan, whole ? &header : nullptr);
    caseCount = result.cases;
    if (result.repeatedHeaders > 0) {
      // Exports joined with `cat`: every header after the first is a case
      // that makes its columns text.
      const std::int64_t others = result.repeatedHeaders - 1;
      warnings.push_back(
          plan.csvDisplay + ", line " + std::to_string(result.firstRepeatedHeader) + ": the row repeats the header" +
          (result.repeatedHeaderMark ? " after a byte order mark" : "") +
          ", as where files were joined one after another" +
          (others > 0 ? " (and " + Counted(static_cast<std::size_t>(others), "later row") + " too)" : "") +
          "; such rows are read as cases, which makes columns of numbers text. Remove them, or give "
          "each file as a part of the resource's \"path\"");
    }
    if (result.titleAboveHeader && result.titleNotesRows == 0) {
      warnings.push_back(plan.csvDisplay + ": the header names only its first column (" + QuoteCell(header[0]) +
                         "), and the next row is text in every column, as when a title stands above the header "
                         "row; such a row is read as a case, which makes columns of numbers text. If the first line is "
                         "a title, remove it, so that the file begins with its header row");
    } else if (result.titleAboveHeader) {
      warnings.push_back(
          plan.csvDisplay + ", line " + std::to_string(result.titleHeaderLine) +
          ": the header names only its first column (" + QuoteCell(header[0]) + "), " +
          (result.titleNotesRows == 1
               ? std::string("the row below it holds")
               : "the " + Counted(static_cast<std::size_t>(result.titleNotesRows), "row") + " below it hold") +
          " nothing after the first cell, and this row is text in every column, as "
          "when a title and notes stand above the header row; such rows are read as cases, which "
          "makes columns of numbers text. If the lines above this one are a title and notes, remove "
          "them, so that the file begins with its header row");
    }
    std::vector<std::string> madeText;  // columns of numbers that the label row made text
    for (const std::size_t c : result.labelRowColumns) {
      if (scan[c].inferType && scan[c].kind == CellKind::String) madeText.push_back(names[c]);
    }
    if (!madeText.empty()) {
      // A header with blank or repeated cells above such a row is the first
      // of a header on two rows, as a sheet's merged cells save it ("2019",
      // "" or "2019", "2019" over "Male", "Female").
      bool spanning = false;
      for (std::size_t c = 1; c < header.size() && !spanning; ++c) {
        spanning =
            header[c].empty() || std::any_of(header.begin(), header.begin() + static_cast<std::ptrdiff_t>(c),
                                             [&](const std::string& h) { return EqualsIgnoringCase(h, header[c]); });
      }
      warnings.push_back(plan.csvDisplay + ", line " + std::to_string(result.labelRowLine) +
                         ": the first row is text in every column, and the rows after it hold only numbers in " +
                         Counted(madeText.size(), "column") + " (" + ShortList(madeText, 3) +
                         "), which that one row makes text. " +
                         (spanning ? "The header has blank or repeated cells, as the first of a header on two rows "
                                     "has them (a group's name over its columns): join the two rows into one row of "
                                     "names. If the row holds the columns' labels instead"
                                   : "If that row holds the columns' labels") +
                         ", as statistics offices' downloads have them below the header, remove it (a descriptor can "
                         "give the labels as the fields' titles)");
    }
    if (result.totalRowCase > 0 && result.totalRowCase == result.cases - result.rowsAfterData) {
      // Copied with its table's totals row, the file holds every case twice
      // over in its sums: counts, means and percents all take it as a case.
      warnings.push_back(plan.csvDisplay + ", line " + std::to_string(result.totalRowLine) +
                         ": the last row is headed \"" + result.totalRowText +
                         "\", as a table's totals row is; it is read as one more case, and its sums enter every count "
                         "and statistic. If it totals the rows above, remove it");
    }
    if (result.notesAtEnd > 0 && result.cases > result.rowsAfterData) {
      // Notes below a sheet's table, saved padded to its width: no error
      // stops them, and each is one more case.
      const bool alone = result.rowsAfterData == 1;
      warnings.push_back(plan.csvDisplay + ", line " + std::to_string(result.firstRowAfterData) + ": " +
                         (alone ? std::string("the last row holds")
                                : "the last " + std::to_string(result.rowsAfterData) + " rows hold") +
                         " nothing but text in the first column (" + QuoteCell(result.firstNoteText) + ")" +
                         (result.notesAtEnd < result.rowsAfterData ? " or no value at all" : "") +
                         ", as notes below a table (a source, footnotes) do when a spreadsheet saves them; " +
                         (alone ? "it is read as a case" : "they are read as cases") + ". If " +
                         (alone ? "it is a note" : "they are notes") + ", remove " + (alone ? "it" : "them") +
                         ", so that the file ends with its last row of data");
    }
    if (result.emptyRowsAtEnd > 0 && result.notesAtEnd == 0) {
      warnings.push_back(plan.csvDisplay + ", line " + std::to_string(result.firstEmptyRowAtEnd) + ": " +
                         (result.emptyRowsAtEnd == 1
                              ? std::string("the last row has")
                              : "the last " + std::to_string(result.emptyRowsAtEnd) + " rows have") +
                         " no value in any column, as a spreadsheet saves rows that once held something; they are "
                         "read as cases whose every value is missing. Delete those rows in the spreadsheet before "
                         "saving, or delete those lines from the file");
    }
    if (plan.dialect.header && result.cases + 1 == kSpreadsheetRows) {
      warnings.push_back(plan.csvDisplay +
                         ": the file holds 1,048,576 rows with its header, the most a spreadsheet's "
                         "sheet holds; rows after these may have been left out when it was saved. "
                         "Export the data from where they came from, not from the spreadsheet");
    }
  }
  return scan;
}

// The measurement level a field gets when the descriptor names none.
int DefaultMeasure(const FieldSpec& f, const ScanColumn& s, CellKind kind) {
  if (f.categoriesOrdered) return Measure::Ordinal;
  if (f.categories != nullptr || kind == CellKind::String || kind == CellKind::Boolean) return Measure::Nominal;
  if (!f.kind && kind == CellKind::Number && s.fewCodes) return Measure::Nominal;
  return Measure::Scale;
}

QUVO_Format StandardFormat(const FieldSpec& f, const ScanColumn& s, CellKind kind, int width) {
  switch (kind) {
    case CellKind::String:
      return {static_cast<std::uint16_t>(width), FormatType::A, 0};
    case CellKind::Integer:
      return {8, FormatType::F, 0};
    case CellKind::Number:
      if (f.kind) return {8, FormatType::F, 2};
      {
        int fitted = 8, decimals = 0;
        bool scientific = false;
        FittedNumberFormat(s, fitted, decimals, scientific);
        return {static_cast<std::uint16_t>(fitted), scientific ? FormatType::E : FormatType::F,
                static_cast<std::uint8_t>(decimals)};
      }
    case CellKind::Date:
      return {11, FormatType::DATE, 0};
    case CellKind::DateTime:
      return {20, FormatType::DATETIME, 0};
    case CellKind::Time:
      return {8, FormatType::TIME, 0};
    case CellKind::Boolean:
      return {1, FormatType::F, 0};
    case CellKind::Year:
      return {4, FormatType::F, 0};
    case CellKind::YearMonth:
      return {8, FormatType::MOYR, 0};
    case CellKind::Duration:
      return {17, FormatType::DTIME, 0};
  }
  return {8, FormatType::F, 2};
}

int StringWidth(const FieldSpec& f, const ScanColumn& s, const std::string& display) {
  if (f.maxLength) return *f.maxLength;
  if (s.maxBytes > kMaxStringWidth) {
    throw InputError(display + " (variable " + f.name + "): a value has " + std::to_string(s.maxBytes) +
                     " bytes; string values may have at most " + std::to_string(kMaxStringWidth));
  }
  return std::max(1, s.maxBytes);
}

// The variable of one field, with the column the case source reads.
// Missing values written with a label say why a value is missing ("-9":
// "refused"); as system-missing the reason would be lost. When the field
// gives no userMissing of its own, up to three of them that are values of
// the variable (numbers of a numeric one, any text of a string) are read as
// user-missing values with their labels, so the codebook counts each under
// "Missing Values" by its label. Returns their texts, which the cells then
// read as values.
std::vector<std::string> LabelledMissingAsUserMissing(const FieldSpec& f, CellKind kind, QUVO_Variable& v) {
  std::vector<std::string> kept;
  const bool numeric = kind == CellKind::Number || kind == CellKind::Integer || kind == CellKind::Year;
  if (f.userMissing != nullptr || (!numeric && kind != CellKind::String)) return kept;
  for (const auto& [text, label] : f.labelledMissing) {
    if (kept.size() == 3) break;
    ValueLabel vl;
    vl.label = label;
    double value = 0.0;
    if (kind == CellKind::String) {
      // The empty text too: a label says that a blank answer is a reason
      // ("no answer"), as userMissing [""] would.
      v.missing.strings.emplace_back(TrimTrailingBlanks(text));
      vl.value = ObsFromString(std::string(TrimTrailingBlanks(text)));
    } else {
      if (!ParseNumber(text, value) || (kind != CellKind::Number && value != std::trunc(value))) continue;
      v.missing.numbers.push_back(value + 0.0);
      vl.value = ObsFromNumber(value + 0.0);
    }
    kept.push_back(text);
    const bool labelled = std::any_of(v.valueLabels.begin(), v.valueLabels.end(),
                                      [&](const ValueLabel& l) { return l.value.u == vl.value.u; });
    if (!labelled) v.valueLabels.push_back(std::move(vl));
  }
  return kept;
}

std::unique_ptr<QUVO_Variable> MakeVariable(const Descriptor& d, const Plan& plan, const FieldSpec& f,
                                            const ScanColumn& s, CsvColumn& col) {
  const CellKind kind = f.kind ? *f.kind : s.kind;
  auto v = std::make_unique<QUVO_Variable>();
  v->name = f.name;
  v->label = f.title;
  if (kind == CellKind::String) v->width = StringWidth(f, s, plan.csvDisplay);
  v->role = f.role;
  v->measure = f.measure ? *f.measure : DefaultMeasure(f, s, kind);
  const QUVO_Format standard = StandardFormat(f, s, kind, v->width);
  d.Try([&] { v->printFormat = FormatOf(d, f.printFormat, Member(f.path, "printFormat"), v->width, standard); });
  d.Try([&] { v->writeFormat = FormatOf(d, f.writeFormat, Member(f.path, "writeFormat"), v->width, v->printFormat); });
  if (kind == CellKind::Boolean && f.categories == nullptr) {
    v->valueLabels.push_back({ObsFromNumber(1.0), "true"});
    v->valueLabels.push_back({ObsFromNumber(0.0), "false"});
  }
  ReadCategories(d, f, *v, kind);
  d.Try([&] { ReadUserMissing(d, f, *v, kind); });
  const std::vector<std::string> keptAsValues = LabelledMissingAsUserMissing(f, kind, *v);
  if (f.inferLikeBareCsv && kind == CellKind::String) {
    // "NA" and the like in a text column: values that say "no value", so
    // user-missing (a string has no system-missing value).
    for (std::size_t i = 0; i < s.missingSeen.size() && i < 3; ++i) v->missing.strings.push_back(s.missingSeen[i]);
  }
  if (f.description) v->attributes.Add("Description", {*f.description});
  if (f.attributes != nullptr) {
    d.Try([&] { ReadAttributes(d, *f.attributes, Member(f.path, "attributes"), v->attributes); });
  }

  col.name = f.name;
  col.kind = kind;
  col.width = v->width;
  col.style = f.style;
  if (!f.kind && s.decimalComma) col.style.decimalChar = ',';
  col.trueValues = f.trueValues;
  col.falseValues = f.falseValues;
  col.datePattern = f.datePattern;
  for (const std::string& m : f.missingTexts) {
    if (!m.empty() && std::find(keptAsValues.begin(), keptAsValues.end(), m) == keptAsValues.end()) {
      col.missingTexts.push_back(m);
    }
  }
  col.emptyIsMissing = std::find(f.missingTexts.begin(), f.missingTexts.end(), "") != f.missingTexts.end();
  return v;
}

// A variable named as the descriptor wrote it: by its name, or by the name
// given to a field whose name had to be made valid. A name written exactly
// as a variable's comes first; one that matches only ignoring case comes
// after the given names (a Stata file's "_merge", made "V_merge", is found
// by either spelling).
int FindNamed(const Dataset& dataset, const Plan* plan, const std::string& name) {
  const int index = dataset.Find(name);
  if (index >= 0 && dataset.variables[static_cast<std::size_t>(index)]->name == name) return index;
  for (std::size_t i = 0; plan != nullptr && i < plan->fields.size(); ++i) {
    if (!plan->fields[i].givenName.empty() && plan->fields[i].givenName == name) return static_cast<int>(i);
  }
  for (std::size_t i = 0; i < dataset.givenNames.size(); ++i) {
    if (!dataset.givenNames[i].empty() && dataset.givenNames[i] == name) return static_cast<int>(i);
  }
  return index;
}

std::unique_ptr<VariableSetImpl> ReadSet(const Descriptor& d, const Json& s, const std::string& sp,
                                         const Dataset& dataset, const Plan* plan) {
  d.Object(s, sp);
  d.CheckKeys(s, sp, {"name", "label", "type", "countedValue", "variables"});
  auto set = std::make_unique<VariableSetImpl>();
  if (!s.contains("name")) d.Fail(sp, "a set needs a \"name\"");
  set->name = d.String(s["name"], Member(sp, "name"));
  if (set->name.empty() || set->name[0] != '$') {
    d.Fail(Member(sp, "name"),
           "the set name \"" + set->name + "\" must begin with \"$\" (e.g. \"$" + set->name + "\")");
  }
  if (!ValidSetName(set->name)) {
    d.Fail(Member(sp, "name"), "\"" + set->name +
                                   "\" is not a valid set name: \"$\" followed by letters, digits, _, "
                                   "., @, # or $, at most 64 bytes");
  }
  if (s.contains("label")) set->label = d.String(s["label"], Member(sp, "label"));
  std::string type = s.contains("countedValue") ? "dichotomies" : "categories";
  if (s.contains("type")) type = d.String(s["type"], Member(sp, "type"));
  if (type == "categories") {
    set->type = 1;
    if (s.contains("countedValue")) {
      d.Warn(Member(sp, "countedValue"), "only multiple dichotomy sets have a counted value; ignored");
    }
  } else if (type == "dichotomies") {
    set->type = 2;
    if (!s.contains("countedValue")) {
      d.Fail(sp,
             "a multiple dichotomy set needs a \"countedValue\" (the value that counts a member as chosen, e.g. "
             "\"1\")");
    }
    const Json& cv = s["countedValue"];
    set->countedValue = cv.is_number() ? NumberText(cv.get<double>()) : d.String(cv, Member(sp, "countedValue"));
  } else {
    d.Fail(Member(sp, "type"), "\"" + type + "\" is not a set type; use \"categories\" or \"dichotomies\"");
  }
  if (!s.contains("variables")) d.Fail(sp, "a set needs its \"variables\"");
  set->members = d.StringList(s["variables"], Member(sp, "variables"));
  if (set->members.size() < 2) {
    d.Fail(Member(sp, "variables"),
           "a set needs at least two variables (" + std::to_string(set->members.size()) + " given)");
  }
  // The members' values are counted as one kind: a category set's categories
  // and a dichotomy set's counted value take the first member's type, so the
  // values of a member of the other type are not counted: say so.
  int first = -1;
  for (std::size_t m = 0; m < set->members.size(); ++m) {
    const int index = FindNamed(dataset, plan, set->members[m]);
    if (index >= 0) {
      const QUVO_Variable& member = *dataset.variables[static_cast<std::size_t>(index)];
      set->members[m] = member.name;
      if (first < 0) {
        first = index;
      } else if (member.IsString() != dataset.variables[static_cast<std::size_t>(first)]->IsString()) {
        const QUVO_Variable& one = *dataset.variables[static_cast<std::size_t>(first)];
        d.Warn(Element(Member(sp, "variables"), m),
               "\"" + member.name + "\" is " + (member.IsString() ? "a string" : "numeric") + " but \"" + one.name +
                   "\" is " + (one.IsString() ? "a string" : "numeric") +
                   "; the set counts only the values of variables of its first variable's type");
      }
    } else {
      d.Warn(Element(Member(sp, "variables"), m),
             "\"" + set->members[m] + "\" names no variable; the set keeps it, and the codebook skips it");
    }
  }
  // A numeric set reads its counted value as far as it is a number (from
  // "yes" nothing, so 0): say so rather than count zeros without a word.
  if (set->type == 2 && first >= 0 && !dataset.variables[static_cast<std::size_t>(first)]->IsString()) {
    const char* text = set->countedValue.c_str();
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    while (*end == ' ') ++end;
    if (end != text && *end == '\0' && !std::isfinite(value)) {
      // "inf" and "nan" read as such, but no cell holds an infinity or NaN.
      d.Warn(Member(sp, "countedValue"), "\"" + set->countedValue +
                                             "\" is no value a numeric variable holds (infinities and NaN are not "
                                             "read from cells), so the set counts no case");
    } else if (end == text || *end != '\0') {
      d.Warn(Member(sp, "countedValue"), "\"" + set->countedValue +
                                             "\" is not a number, but the set's variables are numeric: it counts "
                                             "the value " +
                                             NumberText(value));
    }
  }
  return set;
}

// The package properties that name variables: weight, split file, sets.
// plan (names as given) and layout (the CSV case source) are null over a
// Stata or SAS file.
void ReadPackageLinks(const Descriptor& d, const Json& p, const Plan* plan, Dataset& dataset, CsvLayout* layout) {
  if (p.contains("weight")) {
    d.Try([&] {
      const std::string w = d.String(p["weight"], "weight");
      const int index = FindNamed(dataset, plan, w);
      if (index < 0) d.Fail("weight", "\"" + w + "\" names no variable of the dataset");
      if (dataset.variables[static_cast<std::size_t>(index)]->IsString()) {
        d.Fail("weight", "the weight variable \"" + w + "\" is a string; weights must be numeric");
      }
      dataset.weightIndex = index;
      if (layout != nullptr) {
        layout->weightIndex = index;
        layout->weightMissing = dataset.variables[static_cast<std::size_t>(index)]->missing;
      }
    });
  }
  if (p.contains("splitFile")) {
    d.Try([&] {
      const std::vector<std::string> split = d.StringList(p["splitFile"], "splitFile");
      for (std::size_t i = 0; i < split.size(); ++i) {
        const int index = FindNamed(dataset, plan, split[i]);
        if (index < 0) {
          d.Error(Element("splitFile", i), "\"" + split[i] + "\" names no variable of the dataset");
        } else if (std::find(dataset.splitIndices.begin(), dataset.splitIndices.end(), index) ==
                   dataset.splitIndices.end()) {
          dataset.splitIndices.push_back(index);
        }
      }
      if (layout != nullptr) layout->splitIndices = dataset.splitIndices;
    });
  }
  if (p.contains("multipleResponseSets")) {
    d.Try([&] {
      const Json& sets = d.Array(p["multipleResponseSets"], "multipleResponseSets");
      std::unordered_map<std::string, std::size_t> seen;
      for (std::size_t i = 0; i < sets.size(); ++i) {
        const std::string sp = Element("multipleResponseSets", i);
        d.Try([&] {
          std::unique_ptr<VariableSetImpl> set = ReadSet(d, sets[i], sp, dataset, plan);
          if (const auto [it, fresh] = seen.emplace(UpperAscii(set->name), i); !fresh) {
            d.Fail(Member(sp, "name"), "the set name \"" + set->name +
                                           "\" is used twice (names are compared "
                                           "ignoring case)");
          }
          dataset.sets.push_back(std::move(set));
        });
      }
    });
  }
}

// Fills the dataset's dictionary and case source from the plan (and, for a
// data package, its descriptor d and package object).
// A column of numbers made text by a few texts that most likely mean "no
// value" (n/a, -, #N/A): the note names them and how to declare them, which
// keeps the column numeric.
std::string NoValueTextsNote(const Plan& plan, bool descriptor, std::size_t i, const ScanColumn& s) {
  std::string texts, list;
  for (std::size_t k = 0; k < s.noValueTexts.size(); ++k) {
    const auto& [text, count] = s.noValueTexts[k];
    if (k > 0) texts += k + 1 == s.noValueTexts.size() ? " or " : ", ";
    texts += "\"" + text + "\" (" + Counted(static_cast<std::size_t>(count), "cell") + ")";
    list += (list.empty() ? "" : ",") + text;
  }
  std::string how;
  if (descriptor) {
    how = "add " + std::string(s.noValueTexts.size() == 1 ? "it" : "them") +
          " to the field's missingValues (or the schema's)";
  } else {
    std::string all;
    for (const std::string& m : plan.bareMissing) {
      if (!m.empty()) all += m + ",";
    }
    how = "--missing '" + all + list + "' keeps the usual ones too";
  }
  // Infinities are values, but none that a mean or a quartile can take.
  const bool infinite = std::any_of(s.noValueTexts.begin(), s.noValueTexts.end(),
                                    [](const auto& seen) { return InfinityText(seen.first); });
  const bool one = s.noValueTexts.size() == 1;
  return plan.csvDisplay + ", column " + std::to_string(i + 1) + " (variable " + plan.fields[i].name +
         "): every cell that is neither a number nor empty is " + texts + ", so the column is text; " +
         (infinite ? "infinite values enter no statistic: to read the other cells as numbers, name "
                   : (one ? "if it means no value, name " : "if they mean no value, name ")) +
         (one ? "it as a missing value (" : "them as missing values (") + how + ")";
}

// A field's name as the header writes it, which a descriptor's field must
// give: a header renamed to be a valid name keeps its text as the label.
std::string NameAsInHeader(const FieldSpec& f) {
  if (!f.givenName.empty()) return f.givenName;
  if (f.inferLikeBareCsv && f.title && !f.title->empty()) return *f.title;
  return f.name;
}

// The time of day a column's dates show, as the end of a date pattern ("" when
// they show none).
std::string ClockPattern(unsigned shapes) {
  if ((shapes & kClockColonSeconds) != 0) return ":%H:%M:%S";
  if ((shapes & kClockSecondsPm) != 0) return " %I:%M:%S %p";
  if ((shapes & kClockMinutesPm) != 0) return " %I:%M %p";
  if ((shapes & kClockSeconds) != 0) return " %H:%M:%S";
  if ((shapes & kClockMinutes) != 0) return " %H:%M";
  return "";
}

// A text column whose values are all numbers, dates or booleans written in a
// shape that inference does not read ("1,234", "12%", "12/31/2020",
// "TRUE"): the note says what they look like and the field that reads them.
std::string TextShapeNote(const Plan& plan, bool descriptor, std::size_t i, const ScanColumn& s) {
  const FieldSpec& f = plan.fields[i];
  const bool comma = s.allowDecimalComma;
  std::string what, field;
  const unsigned shapes = s.textShapes;
  const std::string clock = ClockPattern(shapes);
  if ((shapes & kMinusSign) != 0) {
    what = "numbers written with the minus sign U+2212 (\xE2\x88\x92) rather than a hyphen";
    field = comma && s.shapeExample.find(',') != std::string::npos
                ? R"("type": "number", "bareNumber": false, "decimalChar": ",")"
                : R"("type": "number", "bareNumber": false)";
  } else if ((shapes & kOtherDecimals) != 0 && (shapes & kNumberShapes & ~kOtherDecimals) == 0) {
    // Numbers with the other decimal character than the file's: the field
    // names both characters.
    what = comma ? "numbers written with a decimal point" : "numbers written with a decimal comma";
    field = comma ? R"("type": "number", "decimalChar": ".", "groupChar": ",")"
                  : R"("type": "number", "decimalChar": ",", "groupChar": ".")";
    if ((shapes & (kOtherDecimal | kOtherDecimalSigned)) == 0) {
      // Groups apart by spaces: a field grouping by " " reads the no-break
      // spaces too.
      what += " and spaces between groups of digits";
      field = comma ? R"("type": "number", "decimalChar": ".", "groupChar": " ")"
                    : R"("type": "number", "decimalChar": ",", "groupChar": " ")";
    } else if ((shapes & kOtherDecimal) == 0) {
      what += ", some with a sign around them";
      field += R"(, "bareNumber": false)";
    }
  } else if ((shapes & kGroupedNumber) != 0) {
    what = "numbers written with thousands separators";
    field =
        comma ? R"("type": "number", "groupChar": ".", "decimalChar": ",")" : R"("type": "number", "groupChar": ",")";
  } else if ((shapes & kSpaceGroupedNumber) != 0) {
    what = "numbers written with spaces between groups of digits";
    field =
        comma ? R"("type": "number", "groupChar": " ", "decimalChar": ",")" : R"("type": "number", "groupChar": " ")";
  } else if ((shapes & kFlaggedNumber) != 0) {
    // Files whose delimiter is not a comma may write decimal points too.
    what = "numbers followed by a flag or a unit";
    field = comma && s.shapeExample.find(',') != std::string::npos
                ? R"("type": "number", "bareNumber": false, "decimalChar": ",")"
                : R"("type": "number", "bareNumber": false)";
  } else if ((shapes & (kPercent | kCurrency | kParenthesized)) != 0) {
    // Signs around the digits: only a field that reads past them takes them.
    if ((shapes & kPercent) != 0) {
      what = "percentages";
    } else if ((shapes & kCurrency) != 0) {
      what = "amounts with a currency sign";
    } else {
      what = s.shapeExample.starts_with('(')
                 ? "amounts with negatives in parentheses"
                 : "numbers written with currency signs, percent signs or thousands separators";
    }
    field = comma ? R"("type": "number", "bareNumber": false, "groupChar": ".", "decimalChar": ",")"
                  : R"("type": "number", "bareNumber": false, "groupChar": ",")";
  } else if ((shapes & kNumericDates) != 0) {
    const std::string sep(1, s.dateSeparator);
    // Four-digit years when every value has them, else two ("12/31/20").
    const bool full = (shapes & (kMonthFirst | kDayFirst)) != 0;
    const unsigned monthFirstShape = full ? kMonthFirst : kMonthFirstShort;
    const unsigned dayFirstShape = full ? kDayFirst : kDayFirstShort;
    const std::string year = full ? "%Y" : "%y";
    const std::string dayFirst = "%d" + sep + "%m" + sep + year, monthFirst = "%m" + sep + "%d" + sep + year;
    const std::string type = clock.empty() ? "date" : "datetime";
    const std::string dates = clock.empty() ? "dates" : "dates and times";
    if ((shapes & dayFirstShape) == 0) {
      what = dates + " written month first";
      field = R"("type": ")" + type + R"(", "format": ")" + monthFirst + clock + "\"";
    } else if ((shapes & monthFirstShape) == 0) {
      what = dates + " written day first";
      field = R"("type": ")" + type + R"(", "format": ")" + dayFirst + clock + "\"";
    } else {
      what = dates + " that do not show whether the day or the month comes first";
      field = R"("type": ")" + type + R"(", "format": ")" + dayFirst + clock + "\" (or \"" + monthFirst + clock + "\")";
    }
    if (!full) what += " with two-digit years (00 to 68 are read as 20xx, 69 to 99 as 19xx)";
  } else if ((shapes & kYearFirst) != 0) {
    const std::string sep(1, s.dateSeparator);
    what = clock.empty() ? "dates written year first" : "dates and times written year first";
    field = R"("type": ")" + std::string(clock.empty() ? "date" : "datetime") + R"(", "format": "%Y)" + sep + "%m" +
            sep + "%d" + clock + "\"";
  } else if ((shapes & (kMonthName | kMonthNameShort)) != 0) {
    const std::string sep = s.dateSeparator == kNoDateSeparator ? "" : std::string(1, s.dateSeparator);
    const bool full = (shapes & kMonthName) != 0;
    what = clock.empty() ? "dates written with the month's name" : "dates and times written with the month's name";
    if (!full) what += " and two-digit years (00 to 68 are read as 20xx, 69 to 99 as 19xx)";
    field = R"("type": ")" + std::string(clock.empty() ? "date" : "datetime") + R"(", "format": "%d)" + sep + "%b" +
            sep + (full ? "%Y" : "%y") + clock + "\"";
  } else if ((shapes & kYearMonth) != 0) {
    what = "years and months";
    field = R"("type": "yearmonth")";
  } else if ((shapes & kTrueFalse) != 0) {
    what = "true or false";
    field = R"("type": "boolean")";
  } else {
    // "WAHR" and "FALSCH": the field names its words.
    std::size_t k = 0;
    while (k + 1 < std::size(kLocalBooleans) && (shapes & (kLocalTrueFalse << k)) == 0) ++k;
    what = "true or false";
    // A sheet saves the words in capitals; typed ones may be in any of the
    // three spellings, which the field then lists, as its defaults do.
    const auto spellings = [&](std::string word) {
      std::string list = "[\"" + word + "\"";
      if ((shapes & kLocalInCapitals) == 0) {
        for (std::size_t c = 1; c < word.size(); ++c) word[c] = static_cast<char>(word[c] - 'A' + 'a');
        list += ", \"" + word + "\"";
        word[0] = static_cast<char>(word[0] - 'A' + 'a');
        list += ", \"" + word + "\"";
      }
      return list + "]";
    };
    field = std::string(R"("type": "boolean", "trueValues": )") + spellings(kLocalBooleans[k].yes) +
            R"(, "falseValues": )" + spellings(kLocalBooleans[k].no);
  }
  // Quoted and escaped as JSON, to be pasted into a descriptor.
  auto quoted = [](const std::string& text) { return Json(text).dump(-1, ' ', false, Json::error_handler_t::replace); };
  // The texts that mean no value here are none in a descriptor's field
  // unless it names them.
  if (!s.missingSeen.empty() || !s.shapeNoValueTexts.empty()) {
    field += ", \"missingValues\": [\"\"";
    for (const std::string& m : s.missingSeen) field += ", " + quoted(m);
    for (const std::string& m : s.shapeNoValueTexts) field += ", " + quoted(m);
    field += "]";
  }
  const char* as = (shapes & kNumberShapes) != 0                                             ? "numbers"
                   : (shapes & (kTrueFalse | kLocalTrueFalses | kLocalInCapitals)) == shapes ? "booleans"
                                                                                             : "dates";
  return plan.csvDisplay + ", column " + std::to_string(i + 1) + " (variable " + f.name + "): every value is " + what +
         " (such as \"" + s.shapeExample + "\"), so the column is text; to read them as " + as +
         ", declare the field " + (descriptor ? "in the schema" : "in a data package descriptor") +
         " as {\"name\": " + quoted(NameAsInHeader(f)) + ", " + field + "}";
}

// A date field whose format is "any": its values are ISO 8601, or all
// written in one pattern that the scan recognised ("31/12/2020",
// "2020/01/05", "31dec2020"), which the field then reads. Dates that do not
// show whether the day or the month comes first are an error that names
// both patterns, and so are dates with a time of day in a date field; other
// values are reported by the pass, cell by cell.
void SettleAnyDateFormat(Plan& plan, std::size_t i, ScanColumn& s, std::vector<std::string>& notes) {
  FieldSpec& f = plan.fields[i];
  s.inferType = false;  // the field keeps its type
  if (s.kind != CellKind::String) return;
  const unsigned shapes = s.textShapes;
  const std::string clock = ClockPattern(shapes);
  if (!clock.empty() && f.kind != CellKind::DateTime) {
    // A date holds no time of day: read as dates, every value would be
    // refused as "not a date" without saying why.
    throw InputError(plan.csvDisplay + ", column " + std::to_string(i + 1) + " (variable " + f.name +
                     "): the field's type is \"date\", but its values show a time of day (such as \"" + s.shapeExample +
                     "\"); declare it with \"type\": \"datetime\" to read them");
  }
  const std::string sep = s.dateSeparator == kNoDateSeparator ? "" : std::string(1, s.dateSeparator);
  std::string pattern;
  if ((shapes & kNumericDates) != 0) {
    const bool full = (shapes & (kMonthFirst | kDayFirst)) != 0;
    const std::string year = full ? "%Y" : "%y";
    const std::string dayFirst = "%d" + sep + "%m" + sep + year + clock;
    const std::string monthFirst = "%m" + sep + "%d" + sep + year + clock;
    if ((shapes & (full ? kDayFirst : kDayFirstShort)) == 0) {
      pattern = monthFirst;
    } else if ((shapes & (full ? kMonthFirst : kMonthFirstShort)) == 0) {
      pattern = dayFirst;
    } else {
      throw InputError(plan.csvDisplay + ", column " + std::to_string(i + 1) + " (variable " + f.name +
                       "): the field's format is \"any\", and no value shows whether the day or the month comes "
                       "first (such as \"" +
                       s.shapeExample + "\"); give the pattern the dates follow as the field's format, \"" + dayFirst +
                       "\" or \"" + monthFirst + "\"");
    }
  } else if ((shapes & kYearFirst) != 0) {
    pattern = "%Y" + sep + "%m" + sep + "%d" + clock;
  } else if ((shapes & (kMonthName | kMonthNameShort)) != 0) {
    pattern = "%d" + sep + "%b" + sep + ((shapes & kMonthName) != 0 ? "%Y" : "%y") + clock;
  } else {
    return;
  }
  f.datePattern = pattern;
  notes.push_back(plan.csvDisplay + ", column " + std::to_string(i + 1) + " (variable " + f.name +
                  "): the field's format is \"any\", and every value follows the pattern \"" + pattern +
                  "\" (such as \"" + s.shapeExample + "\"), which reads them");
}

void Build(Plan& plan, const Descriptor* d, const Json* package, Dataset& dataset, std::vector<std::string>& warnings,
           std::vector<std::string>& notes) {
  // A descriptor with an empty field list is a dataset without variables:
  // there is nothing to read from the CSV file.
  const bool noVariables = !plan.inferAll && plan.fields.empty();
  std::int64_t dataOffset = 0, dataLine = 1, headerLine = 1;
  std::vector<std::string> header;
  FileStamp stamp;  // the data file as first opened; every later read checks it
  ShortHeader shortHeader = ShortHeader::No;
  if (!noVariables) header = ReadHeader(plan, dataOffset, dataLine, headerLine, stamp, shortHeader);
  const std::string headerWhere = plan.csvDisplay + ", line " + std::to_string(headerLine);
  if (shortHeader == ShortHeader::HeaderDelimiter) {
    notes.push_back(headerWhere +
                    ": the header ends with a delimiter that the rows do not have; its empty last "
                    "name is no column");
  } else if (shortHeader != ShortHeader::No) {
    notes.push_back(headerWhere + ": the header names one column fewer than the rows hold" +
                    (shortHeader == ShortHeader::RowNames
                         ? ", as R's write.table writes row names: the first column is read as a variable "
                           "of its own (the row names), without a header"
                         : ", and the rows end with a delimiter: their last, empty cells are read as a variable "
                           "of its own, without a header"));
  }
  Descriptor fallback(plan.csvDisplay, warnings);
  const Descriptor& dd = d != nullptr ? *d : fallback;

  if (plan.inferAll) {
    NameInferredFields(plan, header, headerWhere, notes);
    // A file written without a header row: its first case became the names,
    // and is missing from every count.
    double number = 0.0;
    if (plan.dialect.header && !header.empty() &&
        std::all_of(header.begin(), header.end(), [&](const std::string& h) { return ParseNumber(h, number); })) {
      warnings.push_back(headerWhere +
                         ": every cell of the header row is a number, so the file probably has no header row; its "
                         "first line was taken as the variable names, not as a case. Add a row of names, or read "
                         "the file through a data package whose dialect says \"header\": false");
    } else if (plan.dialect.header) {
      // Names beside numbers that no column is named by: a fraction or a
      // sign ("1.5", "-3"), where years and codes ("2019", "7") are whole.
      // Tools that write the data apart from their names (a script that
      // reads the data, as R's write.foreign writes for other programs)
      // leave such a first case.
      const auto caseNumber = [&](const std::string& h) {
        return ParseNumber(h, number) && h.find_first_of(".eE-+") != std::string::npos;
      };
      if (const auto first = std::find_if(header.begin(), header.end(), caseNumber); first != header.end()) {
        warnings.push_back(headerWhere + ": the header row holds a number with a fraction or a sign (" +
                           QuoteCell(*first) +
                           "), as a case does, so the file probably has no header row; its first line was taken "
                           "as the variable names, not as a case. Add a row of names, or read the file through a "
                           "data package whose dialect says \"header\": false");
      }
    }
  } else if (plan.dialect.header && !noVariables && plan.fieldsMatch != "exact") {
    AlignFieldsToHeader(plan, header, headerWhere, notes);
  } else if (plan.dialect.header && !noVariables) {
    MatchHeader(plan, header, headerWhere);
  }

  CsvLayout layout;
  layout.path = plan.csvPath;
  layout.displayName = plan.csvDisplay;
  layout.input = plan.input;
  layout.dialect = plan.dialect;
  layout.dataOffset = dataOffset;
  layout.dataLine = dataLine;
  layout.stamp = stamp;
  layout.request = plan.request;
  if (plan.dialect.header) layout.header = header;
  // The other parts: prepared like the first, with the same header.
  std::vector<CsvLayout> parts;
  for (const auto& [path, display] : plan.moreParts) parts.push_back(OpenCsvPart(layout, path, display));
  std::vector<ScanFile> files{{plan.csvPath, plan.csvDisplay, dataOffset, dataLine, &layout.stamp}};
  for (const CsvLayout& part : parts) {
    files.push_back({part.path, part.displayName, part.dataOffset, part.dataLine, &part.stamp});
  }
  std::vector<ScanColumn> scan = ScanData(plan, files, header, dataset.caseCount, warnings);
  for (std::size_t i = 0; i < plan.fields.size(); ++i) {
    if (plan.fields[i].anyDateFormat) SettleAnyDateFormat(plan, i, scan[i], notes);
  }
  // A column written with decimal commas, which makes a point elsewhere in
  // the file more likely a thousands separator.
  std::size_t commaColumn = scan.size();
  for (std::size_t i = 0; i < scan.size() && commaColumn == scan.size(); ++i) {
    if (scan[i].inferType && scan[i].kind == CellKind::Number && scan[i].decimalComma) commaColumn = i;
  }
  for (std::size_t i = 0; i < plan.fields.size(); ++i) {
    CsvColumn col;
    dataset.variables.push_back(MakeVariable(dd, plan, plan.fields[i], scan[i], col));
    if (col.kind == CellKind::Number && scan[i].inexactWholes > 0) {
      // Identifiers of many digits, most likely: their values are not what
      // the file says, and equal ones may merge.
      char read[400];
      double value = 0.0;
      ParseNumber(scan[i].inexactExample, value);
      std::snprintf(read, sizeof read, "%.0f", value);
      warnings.push_back(plan.csvDisplay + ", column " + std::to_string(i + 1) + " (variable " + plan.fields[i].name +
                         "): " + Counted(static_cast<std::size_t>(scan[i].inexactWholes), "whole number") +
                         (scan[i].inexactWholes == 1 ? " has" : " have") +
                         " more digits than a number keeps exactly (\"" + scan[i].inexactExample + "\" reads as " +
                         read + "); a descriptor that gives the field the type \"string\" keeps them as written");
    }
    if (col.kind == CellKind::Number && scan[i].sheetRounded > 0) {
      // A spreadsheet saved these as it showed them: the file holds six
      // significant digits, so identifiers of 12 digits or more may have
      // become one another, and amounts are rounded. Nothing reads the lost
      // digits back; the sheet has to be saved again.
      std::string example = scan[i].sheetRoundedExample;
      std::replace(example.begin(), example.end(), ',', '.');
      double value = 0.0;
      ParseNumber(example, value);
      char read[400];
      std::snprintf(read, sizeof read, "%.0f", value);
      const auto n = static_cast<std::size_t>(scan[i].sheetRounded);
      warnings.push_back(plan.csvDisplay + ", column " + std::to_string(i + 1) + " (variable " + plan.fields[i].name +
                         "): " + Counted(n, "number") + (n == 1 ? " is" : " are") +
                         " written with at most 6 significant digits in scientific form (\"" +
                         scan[i].sheetRoundedExample + "\" reads as " + read +
                         "), as a spreadsheet saves numbers of 12 digits or more that it shows in its General "
                         "format; their other digits are not in the file, so identifiers may have become equal. "
                         "Format the column as text (identifiers) or as a number in the sheet, and save it again");
    }
    if (col.kind == CellKind::Number && scan[i].leadingZeros > 0) {
      // Codes and identifiers ("007", a postal code "02134") keep their
      // value as numbers but not their spelling.
      double value = 0.0;
      ParseNumber(scan[i].leadingZeroExample, value);
      notes.push_back(plan.csvDisplay + ", column " + std::to_string(i + 1) + " (variable " + plan.fields[i].name +
                      "): " + Counted(static_cast<std::size_t>(scan[i].leadingZeros), "number") +
                      (scan[i].leadingZeros == 1 ? " is" : " are") + " written with leading zeros (\"" +
                      scan[i].leadingZeroExample + "\" reads as " + NumberText(value) +
                      "), as codes and identifiers are; a descriptor that gives the field the type \"string\" keeps "
                      "them as written");
    }
    if (col.kind == CellKind::Number && commaColumn < scan.size() && !scan[i].decimalComma &&
        scan[i].pointThousands > 0 && !scan[i].otherPoints) {
      // German and French offices write 1.234 for 1234 beside 12,5; read
      // with a decimal point, such a column is a thousand times too small.
      warnings.push_back(plan.csvDisplay + ", column " + std::to_string(i + 1) + " (variable " + plan.fields[i].name +
                         "): every number written with a point has three digits after it (such as \"" +
                         scan[i].pointThousandsExample + "\"), in a file whose column " +
                         std::to_string(commaColumn + 1) + " (variable " + plan.fields[commaColumn].name +
                         ") writes decimal commas; they are read with a decimal point, so if the point separates "
                         "thousands there (\"1.234\" for 1234) they are a thousand times too small: a descriptor "
                         "reads them so with {\"name\": \"" +
                         plan.fields[i].name + R"(", "type": "number", "groupChar": ".", "decimalChar": ","})");
    }
    if (col.kind == CellKind::Number && scan[i].decimalComma && scan[i].commaThousands > 0 && !scan[i].otherCommas) {
      // A spreadsheet in English writes 1,234 for 1234 into a file whose
      // delimiter is a tab or a semicolon; read with a decimal comma, such
      // a column is a thousand times too small, and nothing else shows it.
      warnings.push_back(plan.csvDisplay + ", column " + std::to_string(i + 1) + " (variable " + plan.fields[i].name +
                         "): every number written with a comma has three digits after it (such as \"" +
                         scan[i].commaThousandsExample +
                         "\"); they are read with a decimal comma, so if the comma separates thousands there "
                         "(\"1,234\" for 1234) they are a thousand times too small: a descriptor reads them so with "
                         "{\"name\": \"" +
                         plan.fields[i].name + R"(", "type": "number", "groupChar": ","})");
    }
    if (col.kind == CellKind::DateTime && scan[i].zoneOffsets > 0) {
      // The clock a reader sees in the report is not the one in the file.
      notes.push_back(plan.csvDisplay + ", column " + std::to_string(i + 1) + " (variable " + plan.fields[i].name +
                      "): " + Counted(static_cast<std::size_t>(scan[i].zoneOffsets), "date-time") +
                      (scan[i].zoneOffsets == 1 ? " is" : " are") + " written with a UTC offset (such as \"" +
                      scan[i].zoneExample + "\"); each is read as the moment it names and shown in UTC");
    }
    if (col.kind == CellKind::String && scan[i].datesOfNoDay > 0) {
      // A slip such as 29 February of a common year: the pattern the other
      // values suggest could not read it either.
      const std::int64_t more = scan[i].datesOfNoDay - 1;
      notes.push_back(
          plan.csvDisplay + ", line " + std::to_string(scan[i].dateOfNoDayLine) + ", column " + std::to_string(i + 1) +
          " (variable " + plan.fields[i].name + "): every value is an ISO 8601 date" +
          (scan[i].dateOfNoDay.size() > 10 ? " or date-time" : "") + " but \"" + scan[i].dateOfNoDay + "\"" +
          (more > 0 ? " (and " + std::to_string(more) + " more)" : "") +
          ", which names a day its month does not have, so the column is text; correct " + (more > 0 ? "them" : "it") +
          " in the file, or name " + (more > 0 ? "them as missing values" : "it as a missing value") + " (" +
          (d == nullptr ? "--missing, which replaces the default list" : "missingValues in the schema") +
          "), to read the column as dates");
    } else if (col.kind == CellKind::String && scan[i].timeOffsets > 0) {
      notes.push_back(plan.csvDisplay + ", column " + std::to_string(i + 1) + " (variable " + plan.fields[i].name +
                      "): every value is a time of day, but " + std::to_string(scan[i].timeOffsets) +
                      (scan[i].timeOffsets == 1 ? " is" : " are") + " written with a UTC offset (such as \"" +
                      scan[i].timeOffsetExample +
                      "\"), which a time of day does not take (without a date, its summer time is not known), so "
                      "the column is text; write the times without the offset, or each with its date as a date-time "
                      "(\"2024-03-15T" +
                      scan[i].timeOffsetExample + "\"), which is read as the moment it names");
    } else if (col.kind == CellKind::String && !scan[i].noValueTexts.empty() && scan[i].numberCells > 0) {
      notes.push_back(NoValueTextsNote(plan, d != nullptr, i, scan[i]));
    } else if (col.kind == CellKind::String && scan[i].textShapes != 0) {
      notes.push_back(TextShapeNote(plan, d != nullptr, i, scan[i]));
    } else if (col.kind == CellKind::String && scan[i].dateMix > 0) {
      // Rows typed by hand beside rows a program wrote: each half alone
      // would be dates, together no one pattern reads them (a shape that
      // reads both, "2020-1-5" beside "2021-12-31", is named above).
      notes.push_back(plan.csvDisplay + ", line " + std::to_string(scan[i].otherDateLine) + ", column " +
                      std::to_string(i + 1) + " (variable " + plan.fields[i].name + "): every value is a date, but " +
                      std::to_string(scan[i].isoDates) + (scan[i].isoDates == 1 ? " is" : " are") +
                      " written in ISO 8601 (such as \"" + scan[i].isoDateExample + "\") and " +
                      std::to_string(scan[i].otherDates) + " otherwise (such as \"" + scan[i].otherDateExample +
                      "\"), which no one pattern reads, so the column is text; write every date as ISO 8601 does "
                      "(YYYY-MM-DD), which is read as dates");
    } else if (col.kind == CellKind::String && scan[i].numberRowsBeforeText > 0) {
      // A spreadsheet's error value or a "n/a" far down turned a column of
      // numbers into text; its statistics are gone without a word otherwise.
      notes.push_back(plan.csvDisplay + ", line " + std::to_string(scan[i].firstTextLine) + ", column " +
                      std::to_string(i + 1) + " (variable " + plan.fields[i].name + "): \"" + scan[i].firstText +
                      "\" is the first cell that is not a number, after " +
                      Counted(static_cast<std::size_t>(scan[i].numberRowsBeforeText), "row") +
                      " of numbers or no value, so the column is text; if it means no value, name it as a missing "
                      "value (" +
                      (d == nullptr ? "--missing, which replaces the default list" : "missingValues in the schema") +
                      ")");
    }
    layout.columns.push_back(std::move(col));
  }
  dataset.IndexNames();
  if (package != nullptr) ReadPackageLinks(*d, *package, &plan, dataset, &layout);
  dd.Flush();

  if (noVariables) {
    dataset.cases = std::make_shared<MemoryCaseSource>(std::vector<CaseBlock>{});
    dataset.caseCount = 0;
  } else if (parts.empty()) {
    dataset.cases = std::make_shared<CsvCaseSource>(std::move(layout));
  } else {
    std::vector<CsvLayout> all;
    for (const CsvLayout& opened : parts) {
      CsvLayout part = layout;
      part.path = opened.path;
      part.displayName = opened.displayName;
      part.input = opened.input;
      part.request = opened.request;
      part.dataOffset = opened.dataOffset;
      part.dataLine = opened.dataLine;
      part.stamp = opened.stamp;
      all.push_back(std::move(part));
    }
    all.insert(all.begin(), std::move(layout));
    dataset.cases = std::make_shared<CsvPartsSource>(std::move(all));
  }
}

std::string FileSpecOf(const std::string& path) {
  std::error_code ec;
  fs::path abs = fs::absolute(fs::path(path), ec);
  if (ec) abs = fs::path(path);
  abs = abs.lexically_normal();
  std::string folder = abs.parent_path().string();
  return folder + "\\" + abs.filename().string();
}

// The extension of a file name, lower case, under a .gz or .zst one.
std::string TableExtension(std::string path) {
  path = LowerAscii(path);
  for (const char* packed : {".gz", ".zst"}) {
    const std::string tail = packed;
    if (path.size() > tail.size() && path.compare(path.size() - tail.size(), tail.size(), tail) == 0) {
      path.resize(path.size() - tail.size());
    }
  }
  return fs::path(path).extension().string();
}

bool HasTableExtension(const std::string& path) {
  const std::string ext = TableExtension(path);
  return ext == ".csv" || ext == ".tsv";
}

// Tabular resources: those with a schema or a tabular profile, format or file.
bool IsTabular(const Json& r) {
  if (!r.is_object()) return false;
  if (r.contains("schema")) return true;
  if (r.contains("data") && !r.contains("path")) return true;  // rows written inline
  // The second standard says so in the resource's type.
  if (r.contains("type") && r["type"].is_string() && r["type"].get<std::string>() == "table") return true;
  if (r.contains("profile") && r["profile"].is_string() &&
      r["profile"].get<std::string>().find("tabular") != std::string::npos) {
    return true;
  }
  if (r.contains("format") && r["format"].is_string()) {
    const std::string f = LowerAscii(r["format"].get<std::string>());
    if (f == "csv" || f == "tsv") return true;
  }
  if (r.contains("mediatype") && r["mediatype"].is_string()) {
    const std::string m = LowerAscii(r["mediatype"].get<std::string>());
    if (m == "text/csv" || m == "text/tab-separated-values" || m == "text/tsv") return true;
  }
  if (r.contains("format") && r["format"].is_string()) {
    const std::string f = LowerAscii(r["format"].get<std::string>());
    if (f == "dta" || f == "sas7bdat" || f == "xpt") return true;
  }
  // A resource in parts is told by its first file.
  const Json* first = r.contains("path") ? &r["path"] : nullptr;
  if (first != nullptr && first->is_array() && !first->empty()) first = &(*first)[0];
  if (first == nullptr || !first->is_string()) return false;
  // "data.csv/" is still a table: reading it then says what is wrong with
  // the path, where "no resource is a table" would not.
  std::string path = first->get<std::string>();
  while (!path.empty() && (path.back() == '/' || path.back() == '\\')) path.pop_back();
  const ForeignKind foreign = ForeignKindOfExtension(fs::path(path).extension().string());
  return HasTableExtension(path) || (foreign != ForeignKind::None && foreign != ForeignKind::SasCatalog);
}

// A resource that says it is something else than a table (a format such as
// "pdf", a file such as README.md); a CSV file named .txt or .dat that
// --resource names is still read.
bool ClearlyNotTabular(const Json& r) {
  if (IsTabular(r)) return false;
  if (r.is_object() && r.contains("format")) return true;
  const Json* first = r.is_object() && r.contains("path") ? &r["path"] : nullptr;
  if (first != nullptr && first->is_array() && !first->empty()) first = &(*first)[0];
  if (first == nullptr || !first->is_string()) return false;
  fs::path file(SlashSeparated(LowerAscii(first->get<std::string>())));
  if (file.extension() == ".gz" || file.extension() == ".zst") file = file.stem();
  const std::string ext = file.extension().string();
  return !ext.empty() && ext != ".txt" && ext != ".dat";
}

std::string ResourceName(const Json& r, std::size_t i) {
  if (r.is_object() && r.contains("name") && r["name"].is_string()) return r["name"].get<std::string>();
  return "resources[" + std::to_string(i) + "]";
}

// The resource to read: the one --resource names, else the first tabular one.
// The others are listed in a note.
std::size_t ChooseResource(const Descriptor& d, const Json& resources, const std::string& wanted,
                           std::vector<std::string>& notes) {
  std::size_t chosen = resources.size();
  for (std::size_t i = 0; i < resources.size() && chosen == resources.size(); ++i) {
    const bool named = resources[i].is_object() && resources[i].contains("name") && resources[i]["name"] == wanted;
    if (wanted.empty() ? IsTabular(resources[i]) : named) chosen = i;
  }
  // No resource of that name: a number is the resource's position, counted
  // from 1 as the note below shows it ("3 of 4"). Portals' packages do not
  // always name their resources.
  if (chosen == resources.size() && !wanted.empty() && wanted.size() <= 6 &&
      wanted.find_first_not_of("0123456789") == std::string::npos) {
    const std::size_t position = std::stoul(wanted);
    if (position < 1 || position > resources.size()) {
      d.Fail("resources", "no resource is named \"" + wanted + "\", and the package has " +
                              Counted(resources.size(), "resource") + ", numbered from 1");
    }
    chosen = position - 1;
  }
  std::string others;
  for (std::size_t i = 0; i < resources.size(); ++i) {
    if (i != chosen) others += std::string(others.empty() ? "" : ", ") + "\"" + ResourceName(resources[i], i) + "\"";
  }
  if (chosen == resources.size()) {
    if (!wanted.empty()) {
      // Resource names are compared exactly, as the package defines them.
      for (std::size_t i = 0; i < resources.size(); ++i) {
        const std::string name = ResourceName(resources[i], i);
        if (EqualsIgnoringCase(name, wanted)) {
          d.Fail("resources", "no resource is named \"" + wanted + "\"; \"" + name +
                                  "\" differs only in letter case (names are matched exactly)");
        }
      }
      d.Fail("resources", "no resource is named \"" + wanted + "\"; the package has " + others);
    }
    // A path that says nothing of what it holds (/etc/passwd, /dev/zero) is
    // refused by what it is, naming it, rather than passed over as no table.
    for (std::size_t i = 0; i < resources.size(); ++i) {
      const Json& r = resources[i];
      if (!r.is_object() || !r.contains("path") || ClearlyNotTabular(r)) continue;
      const Json* first = &r["path"];
      if (first->is_array() && !first->empty()) first = &(*first)[0];
      if (first->is_string()) {
        ConfineResourcePath(d.File(), first->get<std::string>(), Member(Element("resources", i), "path"));
      }
    }
    d.Fail("resources", "no resource is a table (a CSV file, or a resource with a schema); the package has " + others);
  }
  const std::string chosenName = ResourceName(resources[chosen], chosen);
  if (!wanted.empty() && ClearlyNotTabular(resources[chosen])) {
    // A README or a PDF would be read as CSV text and fail on its second line.
    std::string tables;
    for (std::size_t i = 0; i < resources.size(); ++i) {
      if (IsTabular(resources[i]))
        tables += std::string(tables.empty() ? "" : ", ") + "\"" + ResourceName(resources[i], i) + "\"";
    }
    d.Fail(Element("resources", chosen),
           "the resource \"" + chosenName +
               "\" is not a table (a CSV, Stata or SAS file, or a resource with a "
               "schema); " +
               (tables.empty() ? std::string("the package has none") : "the tables are " + tables));
  }
  if (resources.size() > 1) {
    notes.push_back(d.File() + ": reading the resource \"" + ResourceName(resources[chosen], chosen) + "\" (" +
                    std::to_string(chosen + 1) + " of " + std::to_string(resources.size()) + "); the others are " +
                    others + ". Choose one with --resource NAME (or its number)");
  }
  return chosen;
}

// Where the header is and whether its letter case counts, as a dialect says
// it and as a layout (where older tools wrote it) does. Rows given by number:
// the header on the first row is what every reader assumes; any other layout
// would silently turn header or comment rows into cases, so it is refused.
void ReadHeaderSettings(const Descriptor& d, const Json& from, const std::string& at, Plan& plan,
                        std::initializer_list<const char*> caseKeys) {
  for (const char* key : caseKeys) {
    if (from.contains(key)) {
      d.Try([&] { plan.headerIgnoresCase = plan.headerIgnoresCase || !d.Bool(from[key], Member(at, key)); });
    }
  }
  if (from.contains("header")) {
    d.Try([&] { plan.dialect.header = d.Bool(from["header"], Member(at, "header")); });
  }
  if (!from.contains("headerRows") || !plan.dialect.header) return;
  d.Try([&] {
    const std::string hp = Member(at, "headerRows");
    const Json& rows = d.Array(from["headerRows"], hp);
    if (!(rows.size() == 1 && rows[0].is_number_integer() && rows[0].get<std::int64_t>() == 1)) {
      d.Fail(hp,
             "only a header on the first row is read ([1]); remove the other rows from the file, or "
             "give \"header\": false");
    }
  });
}

// A resource's "layout", where Frictionless tools of 2021-22 wrote what
// later went into the dialect: the header's place and letter case are read
// as the dialect's; rows or columns picked or skipped by number or count
// are refused, since reading them all would count rows the package leaves
// out (a title, notes) as cases.
void ReadLayout(const Descriptor& d, const Json& lj, const std::string& lp, Plan& plan) {
  const Json& layout = d.Object(lj, lp);
  static const char* const kPicks[] = {"skipRows",   "pickRows",   "limitRows",   "offsetRows",
                                       "pickFields", "skipFields", "limitFields", "offsetFields"};
  d.CheckKeys(layout, lp,
              {"header", "headerRows", "headerCase", "skipRows", "pickRows", "limitRows", "offsetRows", "pickFields",
               "skipFields", "limitFields", "offsetFields"},
              {"headerJoin"});
  ReadHeaderSettings(d, layout, lp, plan, {"headerCase"});
  for (const char* key : kPicks) {
    if (!layout.contains(key) || (layout[key].is_array() && layout[key].empty())) continue;
    d.Error(Member(lp, key),
            "rows and columns picked or skipped by the layout are not read (every row of the file is a case, "
            "every column a variable); remove the rows or columns from the file, and mark comment lines with "
            "the dialect's \"commentChar\"");
  }
}

void ReadDialect(const Descriptor& d, const Json& dj, const std::string& dp, Plan& plan, DialectRewrite& rewrite) {
  const Json& dialect = d.Object(dj, dp);
  d.CheckKeys(
      dialect, dp,
      {"delimiter", "header", "quoteChar", "doubleQuote", "escapeChar", "skipInitialSpace", "commentChar",
       "lineTerminator", "csv", "headerRows", "commentRows", "nullSequence", "caseSensitiveHeader", "headerCase"},
      // The second dialect standard's settings for JSON, spreadsheet and
      // database tables: nothing to a CSV file.
      {"csvddfVersion", "$schema", "headerJoin", "skipBlankRows", "property", "itemType", "itemKeys", "sheetNumber",
       "sheetName", "table"});
  // The CSV settings, at the dialect's top (the standard's place) or in a
  // "csv" object (where packages written by newer Frictionless tools put
  // them); a delimiter left out of either would read the file wrongly.
  auto controls = [&](const Json& from, const std::string& at) {
    auto get = [&](const char* key, auto read) {
      if (from.contains(key)) d.Try([&] { read(from[key], Member(at, key)); });
    };
    get("delimiter", [&](const Json& j, const std::string& p) { rewrite.delimiter = d.Character(j, p, false); });
    get("quoteChar", [&](const Json& j, const std::string& p) { rewrite.quote = d.Character(j, p, true); });
    get("doubleQuote", [&](const Json& j, const std::string& p) { rewrite.doubleQuote = d.Bool(j, p); });
    get("escapeChar", [&](const Json& j, const std::string& p) { rewrite.escapeChar = d.Character(j, p, true); });
    get("skipInitialSpace", [&](const Json& j, const std::string& p) { rewrite.skipInitialSpace = d.Bool(j, p); });
    get("commentChar", [&](const Json& j, const std::string& p) { rewrite.commentChar = d.Character(j, p, true); });
    get("nullSequence", [&](const Json& j, const std::string& p) {
      plan.nullSequence = TrimBlanks(d.String(j, p));
      rewrite.nullSequence = plan.nullSequence;
    });
    get("lineTerminator", [&](const Json& j, const std::string& p) {
      const std::string t = d.String(j, p);
      if (t != "\r\n" && t != "\n" && t != "\r") {
        d.Fail(p, "records end with line breaks (LF, CRLF or CR, all read alike); other terminators are not read");
      }
    });
  };
  controls(dialect, dp);
  if (dialect.contains("csv")) {
    d.Try([&] {
      const std::string cp = Member(dp, "csv");
      const Json& csv = d.Object(dialect["csv"], cp);
      d.CheckKeys(csv, cp,
                  {"delimiter", "quoteChar", "doubleQuote", "escapeChar", "skipInitialSpace", "commentChar",
                   "lineTerminator", "nullSequence"});
      controls(csv, cp);
    });
  }
  // Letter case in the header counts unless the dialect says it does not
  // (caseSensitiveHeader in the first dialect standard, headerCase in the
  // second).
  ReadHeaderSettings(d, dialect, dp, plan, {"caseSensitiveHeader", "headerCase"});
  if (dialect.contains("commentRows")) {
    d.Try([&] {
      const std::string cp = Member(dp, "commentRows");
      if (!d.Array(dialect["commentRows"], cp).empty()) {
        d.Fail(cp,
               "rows skipped by number are not read; remove them from the file, or mark them with "
               "\"commentChar\"");
      }
    });
  }
  if (rewrite.quote != 0 && rewrite.quote == rewrite.delimiter)
    d.Error(dp, "the delimiter and the quote character must differ");
  if (rewrite.Needed() && rewrite.delimiter == '"') {
    d.Error(Member(dp, "delimiter"),
            "a '\"' delimiter cannot be combined with escapeChar, doubleQuote false, "
            "skipInitialSpace or commentChar");
  }
  plan.dialect.delimiter = rewrite.delimiter;
  plan.dialect.quoting = rewrite.quote != 0 || rewrite.Needed();  // a rewritten file quotes with '"'
  plan.dialect.quote = rewrite.Needed() ? '"' : (rewrite.quote != 0 ? rewrite.quote : '"');
}

void ReadSchema(const Descriptor& d, const Json& sj, const std::string& sp, Plan& plan) {
  const Json& schema = d.Object(sj, sp);
  d.CheckKeys(schema, sp, {"fields", "missingValues", "fieldsMatch"},
              {"primaryKey", "foreignKeys", "uniqueKeys", "$schema", "profile"});
  std::vector<std::string> schemaMissing{""};
  std::vector<std::pair<std::string, std::string>> schemaLabelled;
  if (schema.contains("missingValues")) {
    d.Try([&] { schemaMissing = MissingTexts(d, schema["missingValues"], sp + ".missingValues", schemaLabelled); });
  }
  plan.schemaMissing = schemaMissing;
  if (schema.contains("fieldsMatch")) {
    d.Try([&] {
      const std::string mode = d.String(schema["fieldsMatch"], sp + ".fieldsMatch");
      static const char* const kModes[] = {"exact", "equal", "subset", "superset", "partial"};
      if (std::find(std::begin(kModes), std::end(kModes), mode) == std::end(kModes)) {
        d.Fail(sp + ".fieldsMatch", "\"" + mode +
                                        "\" is not a way of matching fields; use \"exact\", \"equal\", \"subset\", "
                                        "\"superset\" or \"partial\"");
      }
      plan.fieldsMatch = mode;
    });
  }
  if (!schema.contains("fields")) d.Fail(sp, "a schema needs \"fields\" (one per column of the CSV file)");
  const Json& fields = d.Array(schema["fields"], sp + ".fields");
  for (std::size_t i = 0; i < fields.size(); ++i) {
    d.Try([&] {
      plan.fields.push_back(ReadField(d, fields[i], Element(sp + ".fields", i), schemaMissing, schemaLabelled));
    });
  }
}

// Whether a part of a resource is a Stata or SAS file, by its name or its
// first bytes.
ForeignKind ForeignPartKind(const std::string& open, const std::string& display) {
  ForeignKind kind = ForeignKindOfExtension(fs::path(display).extension().string());
  if (kind == ForeignKind::None) {
    std::ifstream in(open, std::ios::binary);
    std::string head(64, '\0');
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<std::size_t>(std::max<std::streamsize>(0, in.gcount())));
    kind = SniffForeign(head);
  }
  return kind;
}

// A schema or dialect may be given as the path of a JSON file of its own
// (`"schema": "schema.json"`): the file is read, held to the package's folder
// as a resource path is (a URL is refused, never fetched), and kept in
// `holder` while anything points into it. `where` then names the file too.
const Json& Referenced(const std::string& descriptorPath, const Json& value, std::string& where,
                       std::vector<std::unique_ptr<Json>>& holder, std::vector<std::string>& files) {
  if (!value.is_string()) return value;
  const std::string written = value.get<std::string>();
  const ResourcePath file = ConfineResourcePath(descriptorPath, written, where);
  const std::string text = ReadInputFile(file.open, kMaxDescriptorBytes, "descriptor");
  holder.push_back(std::make_unique<Json>(ParseDescriptorJson(text, file.display)));
  DropNullProperties(*holder.back());
  files.push_back(file.open);
  where += " (" + written + ")";
  return *holder.back();
}

// A resource published as tab-separated values (its format, media type or
// file name says so) has tabs between its cells unless its dialect names
// another delimiter, as the tools that write such packages read it.
bool TabSeparated(const Json& res) {
  auto text = [&](const char* key) {
    return res.contains(key) && res[key].is_string() ? LowerAscii(res[key].get<std::string>()) : std::string();
  };
  if (res.contains("format")) return text("format") == "tsv";
  const std::string media = text("mediatype");
  if (media == "text/tab-separated-values" || media == "text/tsv") return true;
  if (media == "text/csv") return false;
  const Json* first = res.contains("path") ? &res["path"] : nullptr;
  if (first != nullptr && first->is_array() && !first->empty()) first = &(*first)[0];
  if (first == nullptr || !first->is_string()) return false;
  return TableExtension(first->get<std::string>()) == ".tsv";
}

// The resource's schema, or the note that everything is inferred.
void ReadResourceSchema(const Descriptor& d, const Json& res, const std::string& rp, const std::string& descriptorPath,
                        Plan& plan) {
  if (res.contains("schema")) {
    d.Try([&] {
      std::string where = Member(rp, "schema");
      ReadSchema(d, Referenced(descriptorPath, res["schema"], where, plan.referenced, plan.referencedFiles), where,
                 plan);
    });
  } else {
    plan.inferAll = true;
    plan.bareMissing = {""};
  }
  // The dialect's null sequence (\N as database exports write it) means no
  // value in every column, beside each field's own missing values.
  if (!plan.nullSequence.empty()) {
    plan.bareMissing.push_back(plan.nullSequence);
    for (FieldSpec& f : plan.fields) f.missingTexts.push_back(plan.nullSequence);
  }
}

// One cell of rows written inline, as CSV text: strings as written, numbers
// in their shortest exact form, booleans as true/false (a boolean field's
// default texts), null as the empty cell, objects and arrays as JSON.
void AppendInlineCell(std::string& csv, const Json& cell, bool alone) {
  std::string text;
  if (cell.is_string()) {
    text = cell.get<std::string>();
  } else if (cell.is_boolean()) {
    text = cell.get<bool>() ? "true" : "false";
  } else if (!cell.is_null()) {
    text = cell.dump();
  }
  // Alone in its row, an empty or blank cell would make a blank line.
  if (!alone && text.find_first_of(",\"\r\n") == std::string::npos) {
    csv += text;
    return;
  }
  AppendQuotedCell(csv, text);
}

// A resource whose rows stand in the descriptor ("data"): an array of rows,
// each an array of cells (the first row the header, unless the dialect says
// there is none) or an object of cells by field name (the header is then
// the schema's fields, else the names in the order first met). The rows are
// written as CSV into the temporary file, and read from there like a file;
// messages name them by the property and count the header as line 1.
void ReadInlineResource(const Descriptor& d, const Json& res, const std::string& rp, const std::string& descriptorPath,
                        Plan& plan, InputRequest& request) {
  const std::string where = Member(rp, "data");
  const Json& data = res["data"];
  if (!data.is_array()) d.Fail(where, "expected the rows of a table (an array of arrays or of objects)");
  // No rows at all: a table of no case when the schema names the fields,
  // which then make the header, as for rows written as objects.
  const bool objects = data.empty() || data[0].is_object();
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (objects ? !data[i].is_object() : !data[i].is_array()) {
      d.Fail(Element(where, i), std::string("expected a row ") + (objects ? "object" : "array") +
                                    " like the first, found " + data[i].type_name());
    }
  }
  if (res.contains("dialect")) {
    d.Try([&] {
      std::string dialectWhere = Member(rp, "dialect");
      const Json& dialect =
          Referenced(descriptorPath, res["dialect"], dialectWhere, plan.referenced, plan.referencedFiles);
      DialectRewrite unused;
      ReadDialect(d, dialect, dialectWhere, plan, unused);
    });
  }
  if (res.contains("layout")) ReadLayout(d, res["layout"], Member(rp, "layout"), plan);
  // The rows are written as plain CSV: of the dialect only the header counts.
  const bool header = plan.dialect.header || objects;
  plan.dialect = CsvDialect{};
  plan.dialect.header = header;
  ReadResourceSchema(d, res, rp, descriptorPath, plan);
  if (data.empty() && plan.inferAll) {
    d.Fail(where,
           "no rows, and no schema to name the fields; give the resource a schema (a table of no case), "
           "or write its header row as the first row");
  }

  std::string csv;
  if (objects) {
    std::vector<std::string> names;
    for (const FieldSpec& f : plan.fields) names.push_back(f.name);  // as given: renaming comes later
    if (plan.inferAll) {
      std::set<std::string> seen;
      for (const Json& row : data) {
        for (const auto& [key, value] : row.items()) {
          if (seen.insert(key).second) names.push_back(key);
        }
      }
    }
    for (std::size_t c = 0; c < names.size(); ++c) {
      if (c > 0) csv += ',';
      AppendInlineCell(csv, Json(names[c]), names.size() == 1);
    }
    csv += '\n';
    for (const Json& row : data) {
      for (std::size_t c = 0; c < names.size(); ++c) {
        if (c > 0) csv += ',';
        AppendInlineCell(csv, row.contains(names[c]) ? row[names[c]] : Json(), names.size() == 1);
      }
      csv += '\n';
    }
  } else {
    for (const Json& row : data) {
      for (std::size_t c = 0; c < row.size(); ++c) {
        if (c > 0) csv += ',';
        AppendInlineCell(csv, row[c], row.size() == 1);
      }
      csv += '\n';
    }
  }
  plan.csvDisplay = d.File() + " (" + where + ")";
  request.path = descriptorPath;
  request.displayName = plan.csvDisplay;
  request.text = std::move(csv);
}

// The resource's file, dialect, encoding and schema.
void ReadResource(const Descriptor& d, const Json& res, const std::string& rp, const std::string& descriptorPath,
                  const LoadOptions& options, Plan& plan, InputRequest& request) {
  d.Object(res, rp);
  d.CheckKeys(res, rp, {"path", "data", "dialect", "schema", "encoding", "layout"},
              {"name", "profile", "title", "description", "format", "mediatype", "bytes", "hash", "sources", "licenses",
               "scheme", "type", "compression", "homepage", "$schema", "hashing", "stats", "url"});
  if (res.contains("data") && !res.contains("path")) {
    ReadInlineResource(d, res, rp, descriptorPath, plan, request);
    return;
  }
  if (!res.contains("path") && res.contains("url") && res["url"].is_string()) {
    // Portals (CKAN, Zenodo) name a resource's file by its address only.
    d.Fail(rp, "the resource names its file only by \"url\" (" + res["url"].get<std::string>() +
                   "), which this program does not fetch; download the file into the descriptor's folder and "
                   "name it with \"path\"");
  }
  if (!res.contains("path")) d.Fail(rp, "a resource needs a \"path\" to its CSV file");
  // A path, or the paths of the files that hold the cases one after another.
  std::vector<std::pair<std::string, std::string>> files;
  auto add = [&](const Json& j, const std::string& where) {
    const ResourcePath csv = ConfineResourcePath(descriptorPath, d.String(j, where), where);
    files.emplace_back(csv.open, csv.display);
  };
  if (res["path"].is_array()) {
    const Json& paths = res["path"];
    if (paths.empty()) d.Fail(Member(rp, "path"), "an empty list of files; name at least one CSV file");
    std::map<std::pair<dev_t, ino_t>, std::size_t> seen;  // the parts' files, by identity
    for (std::size_t i = 0; i < paths.size(); ++i) {
      const std::string where = Element(Member(rp, "path"), i);
      add(paths[i], where);
      // A file named twice (a slip when the list was written, or two names
      // of one file) would count its cases twice.
      struct stat st {};
      if (::stat(files.back().first.c_str(), &st) == 0) {
        const auto [at, added] = seen.emplace(std::make_pair(st.st_dev, st.st_ino), i);
        if (!added) {
          d.Fail(where, files.back().second + " is the same file as " + Element(Member(rp, "path"), at->second) +
                            "; name each part once, or its cases are counted twice");
        }
      }
      // A Stata or SAS file among the parts would be read as CSV text.
      if (const ForeignKind kind = ForeignPartKind(files.back().first, files.back().second);
          kind != ForeignKind::None) {
        d.Fail(where, files.back().second + " is " + ForeignKindText(kind) +
                          "; the parts of a resource must all be CSV files. Stata and SAS files are read one at "
                          "a time: give each a resource of its own");
      }
    }
  } else {
    add(res["path"], Member(rp, "path"));
  }
  plan.moreParts.assign(files.begin() + 1, files.end());
  plan.csvDisplay = files.front().second;
  request.path = files.front().first;
  request.displayName = plan.csvDisplay;
  request.encoding = options.encoding;
  if (res.contains("encoding") && options.encoding.empty()) {
    d.Try([&] {
      request.encoding = d.String(res["encoding"], Member(rp, "encoding"));
      if (!ConvertibleEncoding(request.encoding)) {
        d.Fail(Member(rp, "encoding"), "\"" + request.encoding +
                                           "\" is not an encoding this system converts; use an iconv name such as "
                                           "latin1, cp1252, utf-16 or shift_jis (iconv -l lists them)" +
                                           UnknownEncodingHint(request.encoding));
      }
    });
  }
  if (TabSeparated(res)) {
    request.dialect.delimiter = '\t';
    plan.dialect.delimiter = '\t';
  }
  if (res.contains("dialect")) {
    d.Try([&] {
      std::string where = Member(rp, "dialect");
      const Json& dialect = Referenced(descriptorPath, res["dialect"], where, plan.referenced, plan.referencedFiles);
      ReadDialect(d, dialect, where, plan, request.dialect);
    });
  }
  if (res.contains("layout")) ReadLayout(d, res["layout"], Member(rp, "layout"), plan);
  ReadResourceSchema(d, res, rp, descriptorPath, plan);
}

// The package's title, documents and attributes (over a Stata or SAS file,
// they replace the file's own).
void ReadPackageFacts(const Descriptor& d, const Json& j, Dataset& dataset) {
  if (j.contains("title")) d.Try([&] { dataset.label = d.String(j["title"], "title"); });
  if (j.contains("documents")) {
    d.Try([&] {
      const Json& docs = d.Array(j["documents"], "documents");
      dataset.documents.clear();
      for (std::size_t i = 0; i < docs.size(); ++i) {
        d.Try([&] { dataset.documents.push_back(d.StringList(docs[i], Element("documents", i))); });
      }
    });
  }
  if (j.contains("attributes")) {
    d.Try([&] {
      dataset.attributes = DatasourceAttributes{};
      ReadAttributes(d, d.Object(j["attributes"], "attributes"), "attributes", dataset.attributes);
    });
  }
}

// A resource whose path ends in .dta, .sas7bdat or .xpt, or whose format
// says so, is a Stata or SAS file.
ForeignKind ForeignResourceKind(const Descriptor& d, const Json& res, const std::string& rp) {
  ForeignKind kind = ForeignKind::None;
  const Json* first = res.contains("path") ? &res["path"] : nullptr;
  if (first != nullptr && first->is_array() && !first->empty()) first = &(*first)[0];
  if (res.contains("format")) {
    const std::string format = LowerAscii(d.String(res["format"], Member(rp, "format")));
    if (format == "dta") kind = ForeignKind::Stata;
    if (format == "sas7bdat") kind = ForeignKind::Sas;
    if (format == "xpt") kind = ForeignKind::Transport;
  }
  if (kind == ForeignKind::None && first != nullptr && first->is_string()) {
    kind = ForeignKindOfExtension(fs::path(first->get<std::string>()).extension().string());
    if (kind == ForeignKind::SasCatalog) kind = ForeignKind::None;
  }
  if (kind != ForeignKind::None && first != nullptr && res["path"].is_array()) {
    d.Fail(Member(rp, "path"),
           "Stata and SAS files are read one at a time; the parts of a resource must be CSV "
           "files");
  }
  return kind;
}

// One field of a descriptor over a Stata or SAS file: what it gives wins.
void OverlayField(const Descriptor& d, const FieldSpec& f, const Json& field, const std::string& file,
                  Dataset& dataset) {
  const int index = FindNamed(dataset, nullptr, f.name);
  if (index < 0) {
    d.Fail(Member(f.path, "name"), "\"" + f.name + "\" names no variable of " + file +
                                       "; the descriptor may "
                                       "only describe the file's own variables");
  }
  QUVO_Variable& v = *dataset.variables[static_cast<std::size_t>(index)];
  const CellKind cellKind = v.IsString() ? CellKind::String : CellKind::Number;
  if (f.title) v.label = f.title;
  if (f.measure)
    v.measure = *f.measure;
  else if (f.categoriesOrdered)
    v.measure = Measure::Ordinal;
  v.role = field.contains("role") ? f.role : v.role;
  v.printFormat = FormatOf(d, f.printFormat, Member(f.path, "printFormat"), v.width, v.printFormat);
  v.writeFormat = FormatOf(d, f.writeFormat, Member(f.path, "writeFormat"), v.width,
                           f.printFormat && !f.writeFormat ? v.printFormat : v.writeFormat);
  if (f.categories != nullptr) {
    v.valueLabels.clear();
    ReadCategories(d, f, v, cellKind, v.missing.extended);
    if (!f.measure && !f.categoriesOrdered && !v.IsString()) v.measure = Measure::Nominal;
  }
  if (f.userMissing != nullptr) {
    const bool extended = v.missing.extended;
    v.missing = MissingValues{};
    ReadUserMissing(d, f, v, cellKind, extended);
    v.missing.extended = extended;  // the file's own codes stay missing
  }
  if (f.description) v.attributes.Add("Description", {*f.description});
  if (f.attributes != nullptr) {
    v.attributes = DatasourceAttributes{};
    ReadAttributes(d, *f.attributes, Member(f.path, "attributes"), v.attributes);
  }
}

// A descriptor on top of a Stata or SAS file: the file's dictionary first,
// then whatever the descriptor gives wins.
std::shared_ptr<Dataset> LoadOnForeign(const Descriptor& d, const Json& j, const Json& res, const std::string& rp,
                                       const std::string& file, const std::string& relative, ForeignKind promised,
                                       const LoadOptions& options, std::vector<std::string>& warnings) {
  const ForeignKind kind = SniffForeignFile(file, fs::path(file).extension().string());
  if (kind == ForeignKind::None) {
    if (!fs::exists(file)) d.Fail(Member(rp, "path"), "cannot open " + file + "; check the path");
    d.Fail(Member(rp, "path"), file + " is not " + ForeignKindText(promised) +
                                   ": its first bytes are not those of "
                                   "such a file");
  }
  // The format catalog beside a SAS file is read with it: it is held to the
  // package's folder as the file is (a link out of it, a pipe are refused).
  if (kind == ForeignKind::Sas && options.catalog.empty()) {
    const fs::path data(SlashSeparated(relative));
    for (const char* ext : {".sas7bcat", ".SAS7BCAT"}) {
      const fs::path catalog = data.parent_path() / (data.stem().string() + ext);
      std::error_code error;
      if (fs::symlink_status(fs::path(file).parent_path() / catalog.filename(), error).type() !=
          fs::file_type::not_found) {
        ConfineResourcePath(d.File(), catalog.string(), Member(rp, "path") + " (its format catalog)");
      }
    }
  }
  std::shared_ptr<Dataset> dataset = LoadForeign(
      file, kind,
      ForeignOptions{options.encoding,
                     options.catalog,
                     {},
                     res.contains("name") && res["name"].is_string() ? res["name"].get<std::string>() : std::string()},
      warnings);
  if (res.contains("schema")) {
    std::string sp = Member(rp, "schema");
    std::vector<std::unique_ptr<Json>> referenced;
    std::vector<std::string> referencedFiles;
    const Json& schema = d.Object(Referenced(d.File(), res["schema"], sp, referenced, referencedFiles), sp);
    dataset->files.insert(dataset->files.end(), referencedFiles.begin(), referencedFiles.end());
    d.CheckKeys(schema, sp, {"fields"},
                {"primaryKey", "foreignKeys", "missingValues", "fieldsMatch", "uniqueKeys", "$schema", "profile"});
    const Json& fields = schema.contains("fields") ? d.Array(schema["fields"], sp + ".fields") : Json::array();
    for (std::size_t i = 0; i < fields.size(); ++i) {
      d.Try([&] {
        OverlayField(d, ReadField(d, fields[i], Element(sp + ".fields", i), {""}), fields[i], file, *dataset);
      });
    }
  }
  dataset->files.insert(dataset->files.begin(), d.File());
  ReadPackageLinks(d, j, nullptr, *dataset, nullptr);
  d.Flush();
  UpdateForeignWeighting(*dataset);
  ReadPackageFacts(d, j, *dataset);
  d.Flush();
  return dataset;
}

std::shared_ptr<Dataset> ReadPackage(const Descriptor& d, const Json& j, const std::string& path,
                                     const LoadOptions& options, std::vector<std::string>& warnings,
                                     std::vector<std::string>& notes);

// A descriptor of thousands of fields is a tree of some hundred thousand
// small allocations: taking it apart is some 24 million instructions that
// every core would wait for before the data pass can start. With more than
// one thread it is freed on a thread of its own while the pass gets going.
// Not under a limit on the address space (ulimit -v): the thread's stack and
// the allocator's arena for it count against the limit, and the pass's own
// threads would then find less room.
void FreeDescriptorAside(Json&& j, const std::string& path) {
  constexpr std::uintmax_t kLargeDescriptor = std::uintmax_t{256} << 10;
  std::error_code error;
  const std::uintmax_t bytes = fs::file_size(path, error);
  if (error || bytes < kLargeDescriptor || Threads() == 1) return;
  if (rlimit limit{}; ::getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur != RLIM_INFINITY) return;
  try {
    std::thread([tree = std::move(j)]() mutable { tree = Json(); }).detach();
  } catch (...) {
    // No thread: the caller's tree (moved from or not) is freed as usual.
  }
}

std::shared_ptr<Dataset> LoadPackage(const std::string& path, const LoadOptions& options,
                                     std::vector<std::string>& warnings, std::vector<std::string>& notes) {
  Json j = LoadDescriptorJson(path);
  DropNullProperties(j);
  const Descriptor d(path, warnings);
  try {
    std::shared_ptr<Dataset> dataset = ReadPackage(d, j, path, options, warnings, notes);
    FreeDescriptorAside(std::move(j), path);
    return dataset;
  } catch (const DescriptorAbort&) {
    d.Flush();  // every problem recorded, the one that stopped the reading last
    throw;
  }
}

std::shared_ptr<Dataset> ReadPackage(const Descriptor& d, const Json& j, const std::string& path,
                                     const LoadOptions& options, std::vector<std::string>& warnings,
                                     std::vector<std::string>& notes) {
  if (!j.is_object()) {
    // An array is most often data written as JSON records, not a descriptor.
    d.Error("", std::string("expected an object, found ") + KindOf(j) +
                    (j.is_array() ? "; a data package descriptor is a JSON object that names its CSV file in "
                                    "\"resources\" (data written as JSON records are not read: save them as CSV)"
                                  : ""));
    d.Flush();
  }
  if (!j.contains("resources") && j.contains("dimension") && (j.contains("value") || j.contains("class"))) {
    // JSON-stat, as statistics offices publish cubes: values by dimensions.
    d.Error("",
            "this is a JSON-stat dataset (values by \"dimension\"), not a data package descriptor; save its values as "
            "a CSV table, one row per value and one column per dimension, and name that");
    d.Flush();
  }
  d.CheckKeys(j, "", {"title", "documents", "attributes", "weight", "splitFile", "multipleResponseSets", "resources"},
              {"name", "id", "profile", "licenses", "description", "homepage", "version", "sources", "contributors",
               "keywords", "image", "created", "$schema", "views", "readme"});
  auto dataset = std::make_shared<Dataset>();
  ReadPackageFacts(d, j, *dataset);

  Plan plan;
  InputRequest request;
  const Json* foreign = nullptr;
  ForeignKind foreignKind = ForeignKind::None;
  std::string rp;
  d.Try([&] {
    if (!j.contains("resources") && j.contains("fields")) {
      // A Table Schema on its own (schema.json beside the data) names no data.
      d.Fail("",
             "this is a table schema (it has \"fields\"), not a data package descriptor; name a descriptor whose "
             "resource refers to it, such as {\"resources\": [{\"path\": \"data.csv\", \"schema\": \"" +
                 fs::path(path).filename().string() + "\"}]}");
    }
    if (!j.contains("resources") && j.contains("items") && j["items"].is_array()) {
      // Our own JSON report, named where its dataset was meant.
      d.Fail("",
             "this is a codebook report (its \"items\" are the tables and messages that --format json writes), not "
             "a data package descriptor; name the dataset the report was made from");
    }
    if (!j.contains("resources")) d.Fail("", "a data package needs \"resources\" (the CSV file of cases)");
    const Json& resources = d.Array(j["resources"], "resources");
    if (resources.empty()) d.Fail("resources", "a data package needs at least one resource (the CSV file of cases)");
    const std::size_t chosen = ChooseResource(d, resources, options.resource, notes);
    rp = Element("resources", chosen);
    foreignKind = ForeignResourceKind(d, resources[chosen], rp);
    const Json& res = resources[chosen];
    if (foreignKind == ForeignKind::None && res.is_object() && res.contains("path") && res["path"].is_string()) {
      // A Stata or SAS file under a CSV name is told by its first bytes, as
      // on the command line.
      const ResourcePath file = ConfineResourcePath(path, res["path"].get<std::string>(), Member(rp, "path"));
      foreignKind = ForeignPartKind(file.open, file.display);
    }
    if (foreignKind != ForeignKind::None) {
      foreign = &resources[chosen];
    } else {
      ReadResource(d, resources[chosen], rp, path, options, plan, request);
    }
  });
  NameDeclaredFields(plan, d, notes);
  if (foreign != nullptr) {
    d.Flush();
    const std::string relative = d.String((*foreign)["path"], Member(rp, "path"));
    const ResourcePath file = ConfineResourcePath(path, relative, Member(rp, "path"));
    return LoadOnForeign(d, j, *foreign, rp, file.display, relative, foreignKind, options, warnings);
  }
  d.Flush();
  const bool noVariables = !plan.inferAll && plan.fields.empty();
  if (!noVariables) {
    plan.input = PrepareCsvInput(request);
    warnings.insert(warnings.end(), plan.input->warnings.begin(), plan.input->warnings.end());
    plan.csvPath = plan.input->Path();
    plan.request = request;
  }
  Build(plan, &d, &j, *dataset, warnings, notes);
  dataset->files = {path};
  dataset->files.insert(dataset->files.end(), plan.referencedFiles.begin(), plan.referencedFiles.end());
  if (!noVariables) {
    dataset->files.push_back(request.path);
    for (const auto& part : plan.moreParts) dataset->files.push_back(part.first);
  }
  return dataset;
}

std::shared_ptr<Dataset> LoadBareCsv(const std::string& path, const LoadOptions& options,
                                     std::vector<std::string>& warnings, std::vector<std::string>& notes) {
  Plan plan;
  InputRequest request;
  request.path = path;
  request.displayName = path == "-" ? "standard input" : path;
  request.encoding = options.encoding;
  request.named = true;
  plan.input = PrepareCsvInput(request);
  warnings.insert(warnings.end(), plan.input->warnings.begin(), plan.input->warnings.end());
  plan.csvPath = plan.input->Path();
  plan.csvDisplay = request.displayName;
  plan.request = request;
  plan.dialect.delimiter = options.delimiter != 0 ? options.delimiter : SniffDelimiter(plan.csvPath, plan.csvDisplay);
  const bool spacedQuotes = SniffSpacedQuotes(plan.csvPath, plan.csvDisplay, plan.dialect.delimiter);
  const bool backslashQuotes = SniffBackslashQuotes(plan.csvPath, plan.csvDisplay, plan.dialect.delimiter);
  if (spacedQuotes || backslashQuotes) {
    // Rewritten once with the blanks after each delimiter skipped, or the
    // quotes R escapes with a backslash made plain, from the copy just made
    // (standard input cannot be read again).
    InputRequest spaced;
    spaced.path = plan.csvPath;
    spaced.displayName = request.displayName;
    spaced.dialect.delimiter = plan.dialect.delimiter;
    spaced.dialect.skipInitialSpace = spacedQuotes;
    spaced.dialect.backslashQuote = backslashQuotes;
    const std::shared_ptr<CsvInput> first = plan.input;  // open while it is copied
    plan.input = PrepareCsvInput(spaced);
    plan.csvPath = plan.input->Path();
    plan.request.dialect = spaced.dialect;
  }
  plan.inferAll = true;
  plan.bareMissing = {"", "NA", "N/A", "NaN", "NULL", "."};
  if (options.missing) {
    plan.bareMissing = {""};
    for (const std::string& m : *options.missing) plan.bareMissing.emplace_back(TrimBlanks(m));
  }
  auto dataset = std::make_shared<Dataset>();
  Build(plan, nullptr, nullptr, *dataset, warnings, notes);
  if (path != "-") dataset->files = {path};
  return dataset;
}

}  // namespace

std::shared_ptr<Dataset> LoadDataset(const std::string& path, const LoadOptions& given,
                                     std::vector<std::string>& warnings, std::vector<std::string>& notes) {
  LoadOptions options = given;
  options.encoding = IconvName(options.encoding);  // "latin-1" as Python spells it: latin1
  const std::string ext = LowerAscii(fs::path(path).extension().string());
  if (path != "-") {
    if (const ForeignKind kind = SniffForeignFile(path, ext); kind != ForeignKind::None) {
      // A transport file may hold several datasets: --resource picks one.
      if (options.delimiter != 0 || options.missing || (!options.resource.empty() && kind != ForeignKind::Transport)) {
        throw InputError(
            "--delimiter, --missing and --resource apply to CSV files and data packages (--resource "
            "also to a SAS transport file's datasets); " +
            path + " is " + ForeignKindText(kind));
      }
      std::shared_ptr<Dataset> dataset = LoadForeign(
          path, kind, ForeignOptions{options.encoding, options.catalog, options.resource, std::nullopt}, warnings);
      dataset->fileSpec = FileSpecOf(path);
      return dataset;
    }
  }
  const bool package = ext == ".json";
  const bool bare = path == "-" || HasTableExtension(path);
  if (std::error_code error; path != "-" && fs::is_directory(path, error)) {
    // A data package is a folder: its descriptor is what to name.
    const fs::path descriptor = fs::path(path) / "datapackage.json";
    throw InputError(path + ": is a folder; name " +
                     (fs::exists(descriptor, error)
                          ? "the data package's descriptor in it (" + descriptor.string() + ")"
                          : std::string("a dataset file")));
  }
  if (ext == ".yaml" || ext == ".yml") {
    // Frictionless tools also write descriptors as YAML.
    throw InputError(path +
                     ": a descriptor in YAML, which this program does not read; save the same descriptor "
                     "as JSON (datapackage.json beside it) and name that");
  }
  if (ext == ".zip") {
    // Portals offer a data package for download as one zip file.
    throw InputError(path + ": a zip archive, which this program does not read; unpack it (unzip " +
                     fs::path(path).filename().string() +
                     ") and name the data package's descriptor (datapackage.json) or the CSV file it holds");
  }
  if (ext == ".xlsx" || ext == ".xls" || ext == ".xlsm" || ext == ".ods" || ext == ".numbers") {
    throw InputError(path +
                     ": a spreadsheet workbook, which this program does not read; save the sheet as CSV (\"CSV "
                     "UTF-8\" where the program offers it) and name that file");
  }
  if (!package && !bare) {
    // A name typed wrong (survey.dat for survey.dta) is not there at all:
    // that, not its extension, is what to say.
    if (struct stat facts{};
        path != "-" && ::stat(path.c_str(), &facts) != 0 && (errno == ENOENT || errno == ENOTDIR)) {
      const int error = errno;
      std::string hint = "; check the path";
      if (std::error_code ec; path.size() > 1 && path.back() == '/' &&
                              fs::is_regular_file(path.substr(0, path.find_last_not_of('/') + 1), ec)) {
        hint = "; a name ending in a slash is a folder's: name the file without the slash";
      }
      throw InputError(path + ": cannot open the file (" + std::strerror(error) + ")" + hint);
    }
    // Spreadsheets save "Unicode Text" and "Formatted Text" as .txt and .prn,
    // R's write.table and many exports as .txt or .dat: delimited text under a
    // name that does not say so.
    const bool text = ext == ".txt" || ext == ".dat" || ext == ".tab" || ext == ".prn";
    throw InputError(path + ": not a dataset this program reads; name " + ReadableDatasetsText() +
                     "; a CSV file may also be .tsv, compressed (.csv.gz, .csv.zst) or - for standard input" +
                     (text ? " (when this file holds delimited text, as spreadsheets and R's write.table save it "
                             "under such a name, read it so: codebook - < " +
                                 fs::path(path).filename().string() + ")"
                           : std::string()));
  }
  if (package && (options.delimiter != 0 || options.missing)) {
    throw InputError(std::string(options.delimiter != 0 ? "--delimiter" : "--missing") +
                     " applies to a bare CSV file; a data package says this in its resource's dialect and schema");
  }
  if (bare && !options.resource.empty()) {
    throw InputError("--resource applies to a data package; " + path + " is a CSV file");
  }
  if (bare && !options.catalog.empty()) {
    warnings.push_back(options.catalog + ": a format catalog belongs to a SAS data file (.sas7bdat); ignored for " +
                       (path == "-" ? std::string("standard input") : path));
  }
  std::shared_ptr<Dataset> dataset =
      package ? LoadPackage(path, options, warnings, notes) : LoadBareCsv(path, options, warnings, notes);
  if (path != "-") dataset->fileSpec = FileSpecOf(path);
  return dataset;
}

std::shared_ptr<Dataset> LoadDataset(const std::string& path, std::vector<std::string>& warnings,
                                     const LoadOptions& options) {
  std::vector<std::string> notes;
  return LoadDataset(path, options, warnings, notes);
}

std::shared_ptr<Dataset> LoadDataset(const std::string& path, std::vector<std::string>& warnings) {
  std::vector<std::string> notes;
  return LoadDataset(path, LoadOptions{}, warnings, notes);
}

}  // namespace host
