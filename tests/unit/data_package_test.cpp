// Loading data packages and bare CSV files: dictionary facts, cases, blocks,
// and the messages for bad input.
#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "data_test_util.h"
#include "host/data/csv_source.h"
#include "support/case_file.h"

using datatest::Pass;
using datatest::ReadAll;
using datatest::TempDir;

namespace {

std::string FormatText(QUVO_Format f) {
  static const std::map<int, std::string> kNames = {{FormatType::A, "A"},
                                                    {FormatType::F, "F"},
                                                    {FormatType::DATE, "DATE"},
                                                    {FormatType::TIME, "TIME"},
                                                    {FormatType::DATETIME, "DATETIME"},
                                                    {FormatType::DOLLAR, "DOLLAR"},
                                                    {FormatType::E, "E"},
                                                    {FormatType::YMDHMS, "YMDHMS"}};
  std::string s = kNames.count(f.type) ? kNames.at(f.type) : "?" + std::to_string(f.type);
  s += std::to_string(f.width);
  if (f.decimals) s += "." + std::to_string(f.decimals);
  return s;
}

std::shared_ptr<host::Dataset> Load(const std::string& path, std::vector<std::string>* warningsOut = nullptr) {
  std::vector<std::string> warnings;
  auto ds = host::LoadDataset(path, warnings);
  if (warningsOut) *warningsOut = warnings;
  return ds;
}

// A copy of a loaded CSV dataset's source that reads the file in stretches
// starting at `bytes` bytes (so that small files make many blocks, cut at
// every kind of place).
std::shared_ptr<host::CaseSource> WithChunkBytes(const host::Dataset& ds, std::int64_t bytes) {
  const auto* csv = dynamic_cast<const host::CsvCaseSource*>(ds.cases.get());
  EXPECT_NE(csv, nullptr);
  host::CsvLayout layout = csv->Layout();
  layout.firstChunkBytes = bytes;
  layout.largestChunkBytes = std::int64_t{4} << 20;
  return std::make_shared<host::CsvCaseSource>(layout);
}

// The same, in stretches of `bytes` bytes throughout.
host::CsvCaseSource InEqualStretches(const host::Dataset& ds, std::int64_t bytes) {
  host::CsvLayout layout = dynamic_cast<const host::CsvCaseSource&>(*ds.cases).Layout();
  layout.firstChunkBytes = layout.largestChunkBytes = bytes;
  return host::CsvCaseSource(layout);
}

TEST(DataPackage, SurveyDictionaryAndCases) {
  std::vector<std::string> warnings;
  const std::string path = std::string(CODEBOOK_SOURCE_DIR) + "/tests/data/survey/datapackage.json";
  auto ds = Load(path, &warnings);

  EXPECT_EQ(warnings,
            std::vector<std::string>{path + ": multipleResponseSets[1].variables[2]: \"gone\" names no variable; "
                                            "the set keeps it, and the codebook skips it"});

  EXPECT_EQ(*ds->fileSpec, std::string(CODEBOOK_SOURCE_DIR) + "/tests/data/survey\\datapackage.json");
  EXPECT_EQ(*ds->label, "Household survey 2024");
  ASSERT_EQ(ds->documents.size(), 2u);
  EXPECT_EQ(ds->documents[0], (std::vector<std::string>{"Collected in spring.", "Second line."}));
  ASSERT_EQ(ds->attributes.Size(), 2);
  EXPECT_EQ(ds->attributes.Name(1), "Waves");
  EXPECT_EQ(ds->attributes.Values(1).size(), 3u);

  // name, width, print, write, measure, role, label
  struct Facts {
    const char* name;
    int width;
    const char* print;
    const char* write;
    int measure;
    int role;
    const char* label;
  };
  const Facts expected[] = {
      {"id", 0, "F8", "F8", Measure::Scale, Role::Input, nullptr},
      {"region", 5, "A5", "A5", Measure::Nominal, Role::Input, "Region"},
      {"age", 0, "F3", "F3", Measure::Scale, Role::Target, "Age in years"},
      {"sat", 0, "F8", "F8", Measure::Ordinal, Role::Input, nullptr},
      {"city", 6, "A6", "A6", Measure::Nominal, Role::Input, nullptr},
      {"born", 0, "DATE11", "DATE11", Measure::Scale, Role::Input, nullptr},
      {"seen", 0, "DATETIME20", "YMDHMS19", Measure::Scale, Role::Input, nullptr},
      {"dur", 0, "TIME8", "TIME8", Measure::Unknown, Role::Input, nullptr},
      {"income", 0, "DOLLAR10.2", "DOLLAR10.2", Measure::Scale, Role::Input, nullptr},
      {"wt", 0, "F8.2", "F8.2", Measure::Scale, Role::Input, nullptr},
  };
  ASSERT_EQ(ds->variables.size(), 15u);
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    const QUVO_Variable& v = *ds->variables[i];
    SCOPED_TRACE(v.name);
    EXPECT_EQ(v.name, expected[i].name);
    EXPECT_EQ(v.width, expected[i].width);
    EXPECT_EQ(FormatText(v.printFormat), expected[i].print);
    EXPECT_EQ(FormatText(v.writeFormat), expected[i].write);
    EXPECT_EQ(v.measure, expected[i].measure);
    EXPECT_EQ(v.role, expected[i].role);
    EXPECT_EQ(v.label.has_value(), expected[i].label != nullptr);
    if (expected[i].label) {
      EXPECT_EQ(*v.label, expected[i].label);
    }
  }
  const QUVO_Variable& age = *ds->variables[2];
  EXPECT_EQ(age.missing.numbers, std::vector<double>{-1});
  EXPECT_TRUE(age.missing.hasRange);
  EXPECT_EQ(age.missing.low, 998);
  EXPECT_TRUE(std::isinf(age.missing.high));
  ASSERT_EQ(age.attributes.Size(), 2);
  EXPECT_EQ(age.attributes.Name(1), "$@Hidden");
  const QUVO_Variable& sat = *ds->variables[3];
  ASSERT_EQ(sat.valueLabels.size(), 3u);
  EXPECT_EQ(sat.valueLabels[2].value.d, 3);
  EXPECT_EQ(sat.valueLabels[2].label, "High");
  EXPECT_EQ(sat.missing.numbers, (std::vector<double>{9, 8}));
  const QUVO_Variable& city = *ds->variables[4];
  ASSERT_EQ(city.valueLabels.size(), 1u);
  EXPECT_EQ(city.valueLabels[0].value.u, ObsFromString("ROM").u);
  EXPECT_EQ(city.missing.strings, std::vector<std::string>{"XX"});

  EXPECT_EQ(ds->weightIndex, 9);
  EXPECT_EQ(ds->splitIndices, std::vector<int>{1});
  ASSERT_EQ(ds->sets.size(), 2u);
  EXPECT_EQ(ds->sets[0]->name, "$media");
  EXPECT_EQ(ds->sets[0]->type, 2);
  EXPECT_EQ(ds->sets[0]->countedValue, "1");
  EXPECT_EQ(ds->sets[0]->label, "Media used");
  EXPECT_EQ(ds->sets[1]->type, 1);
  EXPECT_EQ(ds->sets[1]->members, (std::vector<std::string>{"why1", "why2", "gone"}));

  // Dates: seconds since 1582-10-14, from Python's proleptic Gregorian
  // datetime arithmetic.
  const Pass pass = ReadAll(*ds);
  const std::vector<std::string> cases = {
      "1|'north'|34|1|'ROM'|12862281600|13929877800|5400|1200.5|1.5|1|0|1|'price'|'taste'",
      "2|'north'|.|3|'Turin'|0|13929926399.5|10|.|2|0|0|0|''|'price'",
      "3|'south'|999|9|'It's'|13171161600|12219379200|360000|-3.25|0|1|1|1|'a;b'|''",
      "4|'south'|-1|.|'Napoli'|.|.|.|7|.|0|1|0|'taste'|'taste'",
  };
  EXPECT_EQ(pass.cases, cases);
  EXPECT_EQ(pass.weights, (std::vector<double>{1.5, 2, 0, SYSMIS}));
  EXPECT_EQ(pass.groupStarts, (std::vector<int>{1, 0, 1, 0}));
}

// Bare CSV files: everything is inferred from the data. The facts as the case
// file shows them: the case count; name, type, print format, level and
// user-missing texts; then the cases as read.
std::string InferredFacts(const std::string& csv) {
  static const char* const kLevels[] = {"unknown", "nominal", "ordinal", "scale"};
  TempDir dir;
  auto ds = Load(dir.Write("data.csv", csv));
  std::string out = std::to_string(ds->caseCount.value_or(-1)) + " cases\n";
  for (const auto& v : ds->variables) {
    out += v->name + ": " + (v->width ? "string " + std::to_string(v->width) : "numeric") + " " +
           FormatText(v->printFormat) + " " + kLevels[v->measure];
    for (const std::string& missing : v->missing.strings) out += ", missing '" + missing + "'";
    out += "\n";
  }
  for (const std::string& line : ReadAll(*ds).cases) out += line + "\n";
  return out;
}

TEST(DataPackage, InferenceFromBareCsv) {
  for (const testsupport::TextCase& c : testsupport::ReadCases("bare_csv_inference.txt")) {
    SCOPED_TRACE(c.where);
    EXPECT_EQ(InferredFacts(c.Block("data.csv")), c.Text());
  }
  // A byte order mark and CRLF line ends; the width counts bytes.
  EXPECT_EQ(InferredFacts("\xEF\xBB\xBFname\r\n\xC3\xA9t\xC3\xA9\r\n"),
            "1 cases\nname: string 5 A5 nominal\n'\xC3\xA9t\xC3\xA9'\n");
}

// Dialect variants and edge numbers through the whole reader.
TEST(DataPackage, DialectsAndEdgeNumbers) {
  TempDir dir;
  // No header row: the fields name the columns; tab-delimited, no quoting.
  dir.Write("t.csv", "1e308\t\"a\n-0\t b \n");
  auto ds = Load(dir.Write("t.json", R"({"resources": [{"path": "t.csv",
      "dialect": {"header": false, "delimiter": "\t", "quoteChar": ""},
      "schema": {"fields": [{"name": "x", "type": "number"}, {"name": "s", "type": "string",
                            "constraints": {"maxLength": 2}}]}}]})"));
  EXPECT_EQ(ReadAll(*ds).cases, (std::vector<std::string>{"1e+308|'\"a'", "-0|' b'"}));

  // No header and no schema: V1, V2, ...
  dir.Write("n.csv", "1,2\n3,4\n");
  auto named = Load(dir.Write("n.json", R"({"resources": [{"path": "n.csv", "dialect": {"header": false}}]})"));
  ASSERT_EQ(named->variables.size(), 2u);
  EXPECT_EQ(named->variables[1]->name, "V2");
  EXPECT_EQ(ReadAll(*named).cases.size(), 2u);

  // Extreme doubles come back bit for bit (reference: strtod).
  const char* texts[] = {"-0",
                         "4.9406564584124654e-324",
                         "2.2250738585072009e-308",
                         "1.7976931348623157e308",
                         "0.30000000000000004",
                         "123456789012345678",
                         " 7 ",
                         "+1.5"};
  std::string csv = "x\n";
  for (const char* t : texts) csv += std::string(t) + "\n";
  auto edge = Load(dir.Write("edge.csv", csv));
  auto cursor = edge->cases->Open();
  const host::CaseBlock* b = cursor->NextBlock();
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(b->rows, std::size(texts));
  for (std::size_t i = 0; i < std::size(texts); ++i) {
    const double want = std::strtod(texts[i], nullptr);
    EXPECT_EQ(std::memcmp(&b->numbers[0][i], &want, sizeof want), 0) << texts[i];
  }
}

// Texts in missingValues are system-missing, numeric-looking ones included
// (an empty cell of c, where "" is not missing, is in package_messages.txt).
TEST(DataPackage, MissingValueTexts) {
  TempDir dir;
  dir.Write("m.csv", "a,b,c\n-9,NA,-9\n5, NA ,7\n,3,-9.0\n");
  auto ds = Load(dir.Write("m.json", R"({"resources": [{"path": "m.csv", "schema": {
      "missingValues": ["", "NA"],
      "fields": [{"name": "a", "type": "number", "missingValues": ["-9", ""]},
                 {"name": "b", "type": "integer"},
                 {"name": "c", "type": "integer", "missingValues": ["-9"]}]}}]})"));
  EXPECT_EQ(ReadAll(*ds).cases, (std::vector<std::string>{".|.|.", "5|.|7", ".|3|-9"}));
}

TEST(DataPackage, EmptyFieldListAndNoScan) {
  TempDir dir;
  // No CSV file at all: a dataset without variables reads nothing.
  auto ds =
      Load(dir.Write("p.json", R"({"title": "", "resources": [{"path": "absent.csv", "schema": {"fields": []}}]})"));
  EXPECT_TRUE(ds->variables.empty());
  EXPECT_EQ(*ds->label, "");
  EXPECT_TRUE(ReadAll(*ds).cases.empty());

  // Declared types and widths: no pre-scan, so bad cells surface in the pass.
  dir.Write("d.csv", "a,s\n1,x\nbad,y\n");
  auto typed = Load(dir.Write("t.json", R"({"resources": [{"path": "d.csv", "schema": {"fields": [
      {"name": "a", "type": "number"}, {"name": "s", "type": "string", "constraints": {"maxLength": 3}}]}}]})"));
  EXPECT_FALSE(typed->caseCount.has_value());
  EXPECT_THROW(ReadAll(*typed), host::InputError);
}

// What loading a folder of files says: its warnings, then its error at load
// or, with "in the pass", while the cases are read (the folder shown as <DIR>).
bool InPass(const testsupport::TextCase& c) {
  return std::find(c.body.begin(), c.body.end(), "in the pass") != c.body.end();
}

std::string Messages(const testsupport::TextCase& c) {
  TempDir dir;
  for (const auto& [name, bytes] : c.blocks) {
    if (name != "error" && name != "warnings") dir.Write(name, bytes);
  }
  std::string out;
  try {
    std::vector<std::string> warnings;
    auto ds = Load(dir.Path() + (c.Has("pkg.json") ? "/pkg.json" : "/data.csv"), &warnings);
    for (const std::string& warning : warnings) out += warning + "\n";
    if (InPass(c)) ReadAll(*ds);
    if (c.Has("error")) out += InPass(c) ? "no error in the pass\n" : "loaded without error\n";
  } catch (const host::InputError& e) {
    out += (InPass(c) ? "" : "at load: ") + std::string(e.what()) + "\n";
  }
  for (std::size_t at; (at = out.find(dir.Path())) != std::string::npos;) out.replace(at, dir.Path().size(), "<DIR>");
  return out;
}

// Files a text file cannot show.
std::vector<testsupport::TextCase> BytesCases() {
  auto bare = [](const char* what, std::string csv, const char* error, bool inPass = false) {
    return testsupport::TextCase{"data_package_test.cpp",
                                 what,
                                 {inPass ? "in the pass" : ""},
                                 {{"data.csv", std::move(csv)}, {"error", std::string(error) + "\n"}}};
  };
  std::vector<testsupport::TextCase> cases = {
      bare("header not utf-8", "a,\xE9t\xE9\n1,2\n",
           "<DIR>/data.csv, line 1, column 2: the header is not valid UTF-8 (at byte 1: 0xE9, which is \"é\" in "
           "cp1252). "
           "Name the file's encoding with --encoding (such as --encoding cp1252), or save it as UTF-8"),
      bare("cell not utf-8", "a\n\xE9t\xE9\n",
           "<DIR>/data.csv, line 2, column 1 (variable a): the cell is not valid UTF-8 (at byte 1 of the cell: 0xE9, "
           "which is \"é\" in cp1252). "
           "Name the file's encoding with --encoding (such as --encoding cp1252), or save it as UTF-8"),
      bare("invalid utf-8, scanned", "s\nok\nb\xC3(d\n",
           "<DIR>/data.csv, line 3, column 1 (variable s): the cell is not valid UTF-8 (at byte 2 of the cell: 0xC3, "
           "which is \"Ã\" in cp1252). "
           "Name the file's encoding with --encoding (such as --encoding cp1252), or save it as UTF-8"),
      bare("csv with two byte-order marks",
           "\xEF\xBB\xBF\xEF\xBB\xBF"
           "a\n1\n",
           "<DIR>/data.csv, line 1, column 1: the file begins with two byte-order marks (EF BB BF twice); save it as "
           "UTF-8 with one mark or none"),
      bare("a cell over the string width limit", "a,s\n1,x\n2," + std::string(40000, 'y') + "\n",
           "<DIR>/data.csv, line 3, column 2 (variable s): the value has 40000 bytes; string values may have at most "
           "32767"),
      bare("invalid utf-8, in the pass", "s\nok\n\xED\xA0\x80\n",
           "<DIR>/data.csv, line 3, column 1 (variable s): the cell is not valid UTF-8 (at byte 1 of the cell: 0xED, "
           "which is \"í\" in cp1252). "
           "Name the file's encoding with --encoding (such as --encoding cp1252), or save it as UTF-8",
           true),
      bare("descriptor with two byte-order marks", "a\n1\n",
           "<DIR>/pkg.json, line 1, column 1: the file begins with two byte-order marks (EF BB BF twice); save it as "
           "UTF-8 with one mark or none"),
  };
  cases[5].blocks.emplace_back(
      "pkg.json",
      R"({"resources": [{"path": "data.csv", "schema": {"fields": [{"name": "s", "type": "string", "constraints": {"maxLength": 9}}]}}]})");
  cases[6].blocks.emplace_back("pkg.json", "\xEF\xBB\xBF\xEF\xBB\xBF{\"resources\": [{\"path\": \"data.csv\"}]}");
  return cases;
}

class PackageMessages : public ::testing::TestWithParam<testsupport::TextCase> {};

TEST_P(PackageMessages, AreTheExpectedOnes) {
  const testsupport::TextCase& c = GetParam();
  SCOPED_TRACE(c.where);
  const std::string error = c.Has("error") ? (InPass(c) ? "" : "at load: ") + c.Block("error") : "";
  EXPECT_EQ(Messages(c), c.Block("warnings") + error);
}

std::string CaseName(const ::testing::TestParamInfo<testsupport::TextCase>& info) {
  std::string name;
  for (char ch : info.param.title) name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(File, PackageMessages, ::testing::ValuesIn(testsupport::ReadCases("package_messages.txt")),
                         CaseName);
INSTANTIATE_TEST_SUITE_P(Bytes, PackageMessages, ::testing::ValuesIn(BytesCases()), CaseName);

// -0 and 0 are one value: the second label is a duplicate, whichever comes
// first, and the label kept is found for both.
TEST(DataPackage, NegativeZeroSharesTheLabelOfZero) {
  TempDir dir;
  dir.Write("data.csv", "a,b\n0,-0\n");
  std::vector<std::string> warnings;
  auto ds = Load(dir.Write("pkg.json", R"({"resources": [{"path": "data.csv", "schema": {"fields": [
      {"name": "a", "type": "number", "categories": [{"value": -0.0, "label": "minus"}, {"value": 0, "label": "zero"}]},
      {"name": "b", "type": "number", "categories": [{"value": 0, "label": "zero"}, {"value": "-0", "label": "text"}]}
      ]}}]})"),
                 &warnings);
  const std::string second = ".value: a second label for the same value; the first one is kept";
  EXPECT_EQ(warnings,
            (std::vector<std::string>{dir.Path() + "/pkg.json: resources[0].schema.fields[0].categories[1]" + second,
                                      dir.Path() + "/pkg.json: resources[0].schema.fields[1].categories[1]" + second}));
  for (const auto& [variable, kept] : {std::pair{0, "minus"}, std::pair{1, "zero"}}) {
    const QUVO_Variable& v = *ds->variables[static_cast<std::size_t>(variable)];
    ASSERT_EQ(v.valueLabels.size(), 1u);
    EXPECT_EQ(v.valueLabels[0].label, kept);
    EXPECT_FALSE(std::signbit(v.valueLabels[0].value.d)) << "the value kept is 0";
  }
}

// A resource path may reach its file through symbolic links as long as the
// file stays inside the descriptor's folder; the descriptor itself may be
// reached through a link to its folder.
TEST(DataPackage, ResourceLinksStayInsideTheFolder) {
  namespace fs = std::filesystem;
  TempDir dir;
  fs::create_directories(dir.Path() + "/pkg/data");
  dir.Write("pkg/data/cases.csv", "a\n1\n2\n");
  dir.Write("secret.csv", "a\n7\n");
  fs::create_directory_symlink("data", dir.Path() + "/pkg/current");
  fs::create_symlink("data/cases.csv", dir.Path() + "/pkg/inside.csv");
  fs::create_symlink("../secret.csv", dir.Path() + "/pkg/outside.csv");
  fs::create_directory_symlink("..", dir.Path() + "/pkg/up");
  fs::create_symlink("/etc/hostname", dir.Path() + "/pkg/system.csv");
  fs::create_directory_symlink(dir.Path() + "/pkg", dir.Path() + "/alias");
  const auto load = [&](const std::string& descriptorFolder, const std::string& resource) {
    return Load(dir.Write(descriptorFolder + "/p.json", "{\"resources\": [{\"path\": \"" + resource + "\"}]}"));
  };
  for (const char* inside : {"inside.csv", "current/cases.csv", "./data/cases.csv"}) {
    EXPECT_EQ(ReadAll(*load("pkg", inside)).cases, (std::vector<std::string>{"1", "2"})) << inside;
  }
  EXPECT_EQ(ReadAll(*load("alias", "inside.csv")).cases, (std::vector<std::string>{"1", "2"}));
  for (const char* outside : {"outside.csv", "up/secret.csv", "system.csv"}) {
    try {
      load("pkg", outside);
      ADD_FAILURE() << outside << " was read";
    } catch (const host::InputError& e) {
      EXPECT_NE(std::string(e.what()).find("p.json: resources[0].path: the path \"" + std::string(outside) +
                                           "\" leads out of the folder through a symbolic link"),
                std::string::npos)
          << e.what();
    }
  }
}

// Plain records are read and converted in one go, the others the general
// way; the two kinds mixed, and cut at every place, give the same cases, and
// a bad cell after plain records is named at its own line. Dates: days since
// 1582-10-14 (Python's datetime) times 86400.
TEST(DataPackage, PlainAndOtherRecordsMixed) {
  TempDir dir;
  dir.Write("q.csv",
            "s,n,i,d\r\n"
            "ab,1.5,2,2024-02-29\r\n"
            "x,\"7\",3,2024-01-01\r\n"
            "\n"
            "\"a\"\"b\", 7 ,-0,\r"
            "caf\xC3\xA9  ,1e3,3.0, 2024-03-01 \n"
            "\"two\nlines\",+.5,5.,NA\n"
            ",1234567890123456,,2024-12-31\n"
            "z,-.25,+4,2024-12-31");
  auto ds = Load(dir.Write("q.json", R"({"resources": [{"path": "q.csv", "schema": {"missingValues": ["", "NA"],
      "fields": [{"name": "s", "type": "string"}, {"name": "n", "type": "number"},
                 {"name": "i", "type": "integer"}, {"name": "d", "type": "date"}]}}]})"));
  const std::vector<std::string> expected = {"'ab'|1.5|2|13928544000", "'x'|7|3|13923446400",
                                             "'a\"b'|7|-0|.",          "'caf\xC3\xA9'|1000|3|13928630400",
                                             "'two\nlines'|0.5|5|.",   "''|1234567890123456|.|13954982400",
                                             "'z'|-0.25|4|13954982400"};
  for (std::int64_t bytes : {1, 6, 23, 1 << 16}) {
    for (int threads : {1, 2}) {
      host::SetThreads(threads);
      ds->cases = WithChunkBytes(*ds, bytes);
      EXPECT_EQ(ReadAll(*ds).cases, expected) << bytes;
    }
    // Only the dates read: the cells before them are passed over.
    host::ReadPlan plan;
    plan.columns = {0, 0, 0, 1};
    auto cursor = WithChunkBytes(*ds, bytes)->OpenFor(plan);
    std::vector<double> dates;
    while (const host::CaseBlock* b = cursor->NextBlock())
      dates.insert(dates.end(), b->numbers[3].begin(), b->numbers[3].end());
    EXPECT_EQ(dates,
              (std::vector<double>{13928544000, 13923446400, SYSMIS, 13928630400, SYSMIS, 13954982400, 13954982400}))
        << bytes;
  }

  const auto error = [&](const std::string& csv, const std::string& type) {
    dir.Write("bad.csv", csv);
    try {
      ReadAll(*Load(dir.Write("bad.json", R"({"resources": [{"path": "bad.csv", "schema": {"fields": [
          {"name": "a", "type": "integer"}, {"name": "b", "type": ")" +
                                              type + R"("}]}}]})")));
    } catch (const host::InputError& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_NE(error("a,b\r\n1,2\r\n\r\n3,4\r5,x\n6,7\n", "integer")
                .find("bad.csv, line 5, column 2 (variable b): \"x\" is not a number"),
            std::string::npos);
  EXPECT_NE(error("a,b\n1,\"2\"\n2,\"3\"z\n4,5\n", "number")
                .find("bad.csv, line 3, column 2 (variable b): unexpected text after the closing quote"),
            std::string::npos);
}

// Short codes and texts of every length, as the quick path reads them: one
// and two digits, and one or two digits with one or two decimals, without
// the scan (longer numbers scanned on from the digits read), texts copied a
// word at a time (up to the buffer's end), and rows it gives up on after
// some texts were added (a line break in the last cell) read again.
// Expected: the texts as written and strtod's numbers.
TEST(DataPackage, ShortCodesAndTextsOfEveryLength) {
  TempDir dir;
  std::mt19937 random(17);
  const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
  const std::vector<std::string> integers = {"0", "7",   "42",  "99",    "100",   "05", "-3", "+4",
                                             "",  " 7 ", "3.0", "12345", "10.00", "7.", "1.0"};
  const std::vector<std::string> numbers = {"1",      "10",    "7.",     ".5",  "12.25", "",       "1e3",
                                            "-0",     "09",    "3.5e-1", "0.5", "99.99", "07.10",  "1.5e3",
                                            "1.2345", "123.4", "12.345", "8.0", "0.07",  "1234.56"};
  const auto number = [](const std::string& text) {
    const std::size_t a = text.find_first_not_of(' ');
    if (a == std::string::npos) return std::string(".");
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", std::strtod(text.c_str() + a, nullptr));
    return std::string(buf);
  };
  std::string csv = "s,a,n,t,z\n";
  std::vector<std::string> expected;
  for (int row = 0; row < 3000; ++row) {
    std::string s(pick(41), 'x');
    for (char& ch : s) ch = static_cast<char>('a' + pick(26));
    std::string shown = s;
    const std::string blanks = pick(5) == 0 ? "  " : "";  // trailing blanks are dropped
    std::string sCell = s + blanks;
    if (pick(6) == 0) {
      sCell = "\"" + s + blanks + "\"";
    } else if (pick(20) == 0) {
      sCell = "\"" + s + "\"\"q" + blanks + "\"";  // a doubled quote: the general path
      shown += "\"q";
    }
    const std::string a = integers[pick(integers.size())];
    const std::string n = numbers[pick(numbers.size())];
    const std::string t = pick(30) == 0 ? "two\nlines" : std::string(pick(3) + 1, 'k');
    const std::string z = std::to_string(pick(120));
    csv += sCell + "," + a + "," + n + "," + (t.find('\n') != std::string::npos ? "\"" + t + "\"" : t) + "," + z + "\n";
    expected.push_back("'" + shown + "'|" + number(a) + "|" + number(n) + "|'" + t + "'|" + z);
  }
  dir.Write("codes.csv", csv);
  auto ds = Load(dir.Write("codes.json", R"({"resources": [{"path": "codes.csv", "schema": {"missingValues": [""],
      "fields": [{"name": "s", "type": "string"}, {"name": "a", "type": "integer"}, {"name": "n", "type": "number"},
                 {"name": "t", "type": "string"}, {"name": "z", "type": "integer"}]}}]})"));
  for (std::int64_t bytes : {1, 100, 4096, 1 << 20}) {
    for (int threads : {1, 2}) {
      host::SetThreads(threads);
      ds->cases = WithChunkBytes(*ds, bytes);
      const std::vector<std::string> cases = ReadAll(*ds).cases;
      ASSERT_EQ(cases.size(), expected.size()) << bytes;
      for (std::size_t i = 0; i < cases.size(); ++i) ASSERT_EQ(cases[i], expected[i]) << bytes << ", row " << i;
    }
  }
  // A byte that is not UTF-8 anywhere in a text, short (its end found a
  // word at a time) or long, is an error naming its cell, as is a short
  // text longer than its column's width; texts that are UTF-8 but not ASCII,
  // with blanks inside or after them, and in the last column before a CR LF
  // read as written. Rows follow the text, so that the words are read from
  // it.
  const auto read = [&](const std::string& csv, int width) {
    dir.Write("t.csv", csv + "zz,1\nzz,1\nzz,1\nzz,1\n");
    return ReadAll(*Load(dir.Write("t.json", R"({"resources": [{"path": "t.csv", "schema": {"fields": [
        {"name": "s", "type": "string", "constraints": {"maxLength": )" +
                                                 std::to_string(width) + R"(}},
        {"name": "a", "type": "integer"}]}}]})")));
  };
  const auto error = [&](const std::string& text, int width) {
    try {
      read("s,a\nab,1\n" + text + ",1\n", width);
    } catch (const host::InputError& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  for (std::size_t size : {1, 7, 8, 9, 15, 16, 20}) {
    for (std::size_t at = 0; at < size; ++at) {
      std::string text(size, 'x');
      text[at] = '\xFF';
      EXPECT_NE(error(text, 40).find("line 3, column 1 (variable s): "), std::string::npos) << size << ", " << at;
    }
  }
  for (std::size_t size : {7, 8, 15}) {
    EXPECT_NE(error(std::string(size, 'y'), 6)
                  .find("line 3, column 1 (variable s): the value has " + std::to_string(size) +
                        " bytes, more than the variable's width of 6"),
              std::string::npos)
        << size;
  }
  EXPECT_EQ(read("s,a\n\xC3\xA9,1\nna\xC3\xAFve,2\na b  ,3\n,4\n   ,5\n", 6).cases,
            (std::vector<std::string>{"'\xC3\xA9'|1", "'na\xC3\xAFve'|2", "'a b'|3", "''|4", "''|5", "'zz'|1", "'zz'|1",
                                      "'zz'|1", "'zz'|1"}));
  dir.Write("last.csv", "a,s\r\n1,abc\r\n2,\r\n3,de  \r\n4,fifteen-bytes!!\r\n5,x\r\n6,x\r\n7,x\r\n");
  EXPECT_EQ(ReadAll(*Load(dir.Write("last.json", R"({"resources": [{"path": "last.csv", "schema": {"fields": [
                {"name": "a", "type": "integer"}, {"name": "s", "type": "string"}]}}]})")))
                .cases,
            (std::vector<std::string>{"1|'abc'", "2|''", "3|'de'", "4|'fifteen-bytes!!'", "5|'x'", "6|'x'", "7|'x'"}));
}

// Columns no table reads are passed over without their cells being read:
// runs of them between and after the columns read, quoted cells (with the
// delimiter, a doubled quote or a line break inside), quotes inside
// unquoted cells, CR LF and lone CR line ends, blank lines, a last line
// without its line end and records across the read buffer's end. What the
// read columns get is what they get when every column is read; a record
// with a cell too few or too many in an unread run is the same error.
TEST(DataPackage, UnreadColumnsPassedOver) {
  TempDir dir;
  std::mt19937 random(41);
  const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
  const std::vector<std::string> texts = {
      "",           "x", "word",     "\"q,r\"",   "\"a\"\"b\"", "\"l1\nl2\"",  "ab\"c",     "\" p \"", "\"\"",
      "\"x\r\ny\"", "7", "\"\"\"\"", "a b c d e", "-",          "\"ends,\r\"", "\"\"\",\"", "0.5"};
  const auto text = [&] {
    if (pick(4) != 0) return texts[pick(texts.size())];
    std::string t(pick(40), 'a');
    for (char& ch : t) ch = static_cast<char>('a' + pick(26));
    return t;
  };
  // a and b integers, s1..s8 strings: a s1 s2 s3 s4 s5 b s6 s7 s8
  const auto rows = [&](std::size_t count, const std::string& bad) {
    std::string csv = "a,s1,s2,s3,s4,s5,b,s6,s7,s8\n";
    for (std::size_t row = 0; row < count; ++row) {
      if (row == count / 2 && !bad.empty()) csv += bad;
      std::string record = std::to_string(pick(100));
      for (int k = 0; k < 5; ++k) record += "," + text();
      record += "," + (pick(10) == 0 ? std::string() : std::to_string(pick(1000)));
      for (int k = 0; k < 3; ++k) record += "," + text();
      const std::size_t end = pick(20);
      csv += record + (end == 0 ? "\r\n" : end == 1 ? "\r" : end == 2 ? "\n\n" : "\n");
    }
    return csv + "1,,,,,,2,,,last";  // no line end
  };
  const auto load = [&](const std::string& name, const std::string& csv) {
    dir.Write(name + ".csv", csv);
    std::string fields = R"({"name": "a", "type": "integer"})";
    for (const char* f : {"s1", "s2", "s3", "s4", "s5", "b", "s6", "s7", "s8"}) {
      const std::string type = f[0] == 'b' ? R"("integer"})" : R"("string", "constraints": {"maxLength": 60}})";
      fields += std::string(R"(, {"name": ")") + f + R"(", "type": )" + type;
    }
    return Load(dir.Write(
        name + ".json", R"({"resources": [{"path": ")" + name + R"(.csv", "schema": {"fields": [)" + fields + "]}}]}"));
  };
  // The cells of `read` (column numbers) of every case, with only those read.
  const auto cellsOf = [](host::CaseSource& source, const std::vector<std::size_t>& read) {
    host::ReadPlan plan;
    plan.columns.assign(10, 0);
    for (std::size_t c : read) plan.columns[c] = 1;
    std::vector<std::string> out;
    auto cursor = source.OpenFor(plan);
    while (const host::CaseBlock* b = cursor->NextBlock()) {
      for (std::size_t r = 0; r < b->rows; ++r) {
        std::string line;
        for (std::size_t c : read) line += datatest::CellText(*b, c, r) + "|";
        out.push_back(line);
      }
    }
    return out;
  };
  const auto every = [&](const std::shared_ptr<host::Dataset>& ds, const std::vector<std::size_t>& read) {
    return cellsOf(*ds->cases, read);
  };
  const std::vector<std::vector<std::size_t>> plans = {{0, 6}, {6}, {9}, {3}, {0}, {}};
  auto ds = load("runs", rows(6000, ""));  // over 512 KiB: records across the read buffer's end
  for (const auto& read : plans) {
    std::vector<std::size_t> all(10);
    for (std::size_t c = 0; c < 10; ++c) all[c] = c;
    std::vector<std::string> expected;
    for (const std::string& line : every(ds, all)) {
      // The read columns' cells of the line with every column read.
      std::vector<std::string> cells;
      std::size_t from = 0;
      for (std::size_t at; (at = line.find('|', from)) != std::string::npos; from = at + 1) {
        cells.push_back(line.substr(from, at - from));
      }
      std::string picked;
      for (std::size_t c : read) picked += cells[c] + "|";
      expected.push_back(picked);
    }
    ASSERT_EQ(expected.size(), 6001u);
    for (std::int64_t bytes : {1, 23, 4096, 1 << 20}) {
      for (int threads : {1, 2}) {
        host::SetThreads(threads);
        EXPECT_EQ(cellsOf(*WithChunkBytes(*ds, bytes), read), expected) << bytes << ", " << read.size();
      }
    }
  }
  // A cell too few or too many among the unread ones, also inside a run.
  for (const std::string record : {"1,a,b,c,d,2,x,y,z\n", "1,a,b,c,d,e,f,2,x,y,z\n", "1,a,b,c,d,e,2,x,y\r\n",
                                   "1,a,b,c,d,e,2,x,y,z,w\n", "1,a,b,\"c,d\",e,2,x,y,z\n"}) {
    auto bad = load("bad", rows(300, record));
    std::string whole = "no error";
    try {
      every(bad, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    } catch (const host::InputError& e) {
      whole = e.what();
    }
    EXPECT_NE(whole.find("bad.csv, line "), std::string::npos) << whole;
    for (const auto& read : plans) {
      for (std::int64_t bytes : {1, 4096}) {
        std::string error = "no error";
        try {
          cellsOf(*WithChunkBytes(*bad, bytes), read);
        } catch (const host::InputError& e) {
          error = e.what();
        }
        EXPECT_EQ(error, whole) << record << ", " << read.size() << ", " << bytes;
      }
    }
  }
}

// Rows of a few bytes to tens of kilobytes in stretches longer than the read
// buffer: the quick path reads on before a row that may not be whole in
// what is left of the buffer, and the row, the ones after it and the line a
// message names are what a sequential read gives.
TEST(DataPackage, LongRowsAcrossReadBuffers) {
  TempDir dir;
  std::mt19937 random(29);
  std::string csv = "s,n\n";
  std::vector<std::string> expected;
  for (int row = 0; row < 1200; ++row) {
    std::string s(random() % 3 == 0 ? random() % 30000 : random() % 40, 'a');
    for (char& ch : s) ch = static_cast<char>('a' + random() % 26);
    const std::string n = std::to_string(row);
    csv += s + "," + n + "\n";
    expected.push_back("'" + s + "'|" + n);
  }
  const auto load = [&](const std::string& name, const std::string& bytes) {
    dir.Write(name + ".csv", bytes);
    return Load(dir.Write(name + ".json", R"({"resources": [{"path": ")" + name + R"(.csv", "schema": {
        "fields": [{"name": "s", "type": "string", "constraints": {"maxLength": 30000}},
                   {"name": "n", "type": "integer"}]}}]})"));
  };
  auto ds = load("long", csv);
  auto bad = load("bad", csv + "x,y\n");
  for (std::int64_t bytes : {std::int64_t{1} << 16, std::int64_t{4} << 20}) {
    for (int threads : {1, 2}) {
      host::SetThreads(threads);
      ds->cases = WithChunkBytes(*ds, bytes);
      EXPECT_EQ(ReadAll(*ds).cases, expected) << bytes;
      bad->cases = WithChunkBytes(*bad, bytes);
      try {
        ReadAll(*bad);
        ADD_FAILURE() << "the last row's word was read as a number";
      } catch (const host::InputError& e) {
        EXPECT_NE(std::string(e.what()).find("bad.csv, line 1202, column 2 (variable n)"), std::string::npos)
            << e.what();
      }
    }
  }
}

// The quick path keeps the months it has read: a month met again, the same
// place in its table taken by another year's month, a leap day, and a day
// its month does not have (after that month was kept; the first record goes
// the general way). Expected: days since 1582-10-14 (Python's datetime)
// times 86400.
TEST(DataPackage, DatesOfMonthsReadBefore) {
  TempDir dir;
  const auto read = [&](const std::string& days) {
    dir.Write("d.csv", "d\n" + days);
    auto ds = Load(dir.Write("d.json", R"({"resources": [{"path": "d.csv", "schema": {
        "fields": [{"name": "d", "type": "date"}]}}]})"));
    return ReadAll(*ds).cases;
  };
  EXPECT_EQ(read("2024-02-01\n2024-02-29\n2023-02-28\n2024-02-15\n1924-02-15\n2023-02-01\n2026-12-31\n1926-12-31\n"
                 "2026-12-01\n"),
            (std::vector<std::string>{"13926124800", "13928544000", "13896921600", "13927334400", "10771574400",
                                      "13894588800", "14018054400", "10862294400", "14015462400"}));
  try {
    read("2023-02-01\n2023-02-28\n2023-02-29\n");
    ADD_FAILURE() << "a day February 2023 does not have was read";
  } catch (const host::InputError& e) {
    EXPECT_NE(std::string(e.what()).find(
                  "d.csv, line 4, column 1 (variable d): \"2023-02-29\" names a day its month does not have"),
              std::string::npos)
        << e.what();
  }
}

// A file several blocks long, with weights and split groups across block
// boundaries, read with tiny blocks and any number of threads.
TEST(DataPackage, BlocksWeightsAndSplitGroups) {
  TempDir dir;
  std::string csv = "g,s,w,x\n";
  std::vector<std::string> expectCases;
  std::vector<int> expectStarts;
  std::vector<double> expectWeights;
  const char* groups[] = {"a", "a", "a", "b", "b", "a", "a", "a", "a", "c", "c"};
  for (int i = 0; i < 11; ++i) {
    const int g = i < 4 ? 1 : 2;
    const std::string s = groups[i];
    const std::string w = i % 4 == 3 ? "" : std::to_string(i % 3);
    csv += std::to_string(g) + "," + s + "," + w + ",\"" + std::to_string(i) + "\"\r\n";
    expectStarts.push_back(i == 0 || groups[i] != std::string(groups[i - 1]) || i == 4);
    expectWeights.push_back(w.empty() ? SYSMIS : i % 3);
    expectCases.push_back(std::to_string(g) + "|'" + s + "'|" + (w.empty() ? "." : w) + "|" + std::to_string(i));
  }
  dir.Write("data.csv", csv);
  auto ds = Load(dir.Write("pkg.json", R"({"weight": "w", "splitFile": ["g", "s"],
      "resources": [{"path": "data.csv"}]})"));
  for (std::int64_t bytes : {1, 7, 30, 1 << 16}) {
    for (int threads : {1, 2, 4}) {
      host::SetThreads(threads);
      ds->cases = WithChunkBytes(*ds, bytes);
      const Pass pass = ReadAll(*ds);
      EXPECT_EQ(pass.blockRows.size() > 1, bytes < 100) << bytes;
      EXPECT_EQ(pass.cases, expectCases);
      EXPECT_EQ(pass.groupStarts, expectStarts);
      EXPECT_EQ(pass.weights, expectWeights);
    }
  }
}

// Later passes reuse the blocks of earlier ones and read the same cases.
TEST(DataPackage, RepeatedPasses) {
  TempDir dir;
  const std::string path = dir.Write("data.csv", "a,s\n1,x\n2,yy\n3,\n4,z\n5,w\n");
  auto ds = Load(path);
  ds->cases = WithChunkBytes(*ds, 5);
  const Pass first = ReadAll(*ds);
  EXPECT_GT(first.blockRows.size(), 1u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ReadAll(*ds).cases, first.cases);
}

// A data file that changes after its dictionary was read (grown, or
// rewritten with the same size) would give a mixed result: every later pass
// and count fails, naming the file.
TEST(DataPackage, ChangedDataFileIsAnError) {
  TempDir dir;
  const std::string path = dir.Write("data.csv", "a,s\n1,x\n2,yy\n3,\n");
  const auto expectChanged = [&](const char* what, auto&& read) {
    try {
      read();
      ADD_FAILURE() << what << ": no error";
    } catch (const host::InputError& e) {
      EXPECT_EQ(std::string(e.what()), path +
                                           ": the file changed while it was being read (its size or modification "
                                           "time is not what it was when its dictionary was read). Run again once "
                                           "nothing writes to it")
          << what;
    }
  };
  auto grown = Load(path);
  std::ofstream(path, std::ios::app) << "4,u\n";
  expectChanged("grown", [&] { ReadAll(*grown); });
  expectChanged("grown, counted", [&] { grown->cases->Open()->CountRemaining(); });

  dir.Write("data.csv", "a,s\n1,x\n2,yy\n3,\n");
  auto rewritten = Load(path);
  timespec times[2] = {{0, UTIME_OMIT}, {1, 0}};  // same bytes and size, another modification time
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  expectChanged("same size, touched", [&] { ReadAll(*rewritten); });

  // Inferred types: the change falls between the scan and the pass.
  dir.Write("data.csv", "a,s\n1,x\n2,yy\n3,\n");
  auto inferred = Load(dir.Write("p.json", R"({"resources": [{"path": "data.csv"}]})"));
  dir.Write("data.csv", "a,s\n1,x\n2,yy\n3,zz\n");
  expectChanged("rewritten after the scan", [&] { ReadAll(*inferred); });
}

TEST(DataPackage, UserMissingWeightIsMissing) {
  TempDir dir;
  dir.Write("data.csv", "w\n1\n9\n2\n");
  auto ds = Load(dir.Write("pkg.json", R"({"weight": "w", "resources": [{"path": "data.csv", "schema": {"fields": [
      {"name": "w", "type": "number", "userMissing": {"values": [9]}}]}}]})"));
  EXPECT_EQ(ReadAll(*ds).weights, (std::vector<double>{1, SYSMIS, 2}));
}

// CountRemaining counts the records after the last block handed out, with
// quoted line breaks and blank lines taken into account.
TEST(DataPackage, CountRemaining) {
  TempDir dir;
  std::string csv = "a,b\n";
  for (int i = 0; i < 10; ++i)
    csv += std::to_string(i) + (i % 3 == 0 ? ",\"x\ny\"\n" : ",z\r\n") + (i == 5 ? "\n" : "");
  auto ds = Load(dir.Write("data.csv", csv));
  ds->cases = WithChunkBytes(*ds, 16);
  {
    auto cursor = ds->cases->Open();
    EXPECT_EQ(cursor->CountRemaining(), 10);
  }
  {
    auto cursor = ds->cases->Open();
    const host::CaseBlock* block = cursor->NextBlock();
    ASSERT_NE(block, nullptr);
    const auto first = static_cast<std::int64_t>(block->rows);
    EXPECT_LT(first, 10);
    EXPECT_EQ(cursor->CountRemaining(), 10 - first);
    EXPECT_EQ(cursor->NextBlock(), nullptr);
  }
  {
    auto cursor = ds->cases->Open();
    while (cursor->NextBlock()) {
    }
    EXPECT_EQ(cursor->CountRemaining(), 0);
  }
}

// A pass that stops early stops the parsing thread at once, and bad cells
// beyond the point reached are not reported.
// Abandoning a pass (destroying its cursor after the first block) stops its
// readers: they never run more than threads + 1 stretches ahead of the block
// handed out, so what they read does not grow with the file. Read to the
// end, no more threads read than asked for, and past the first blocks they
// still stay a few stretches ahead of a slow consumer, not the whole file.
TEST(DataPackage, AbandonedPassStopsReading) {
  TempDir dir;
  std::string csv = "a,b\n";
  const int rows = 300000;
  csv.reserve(rows * 12);
  for (int i = 0; i < rows; ++i) csv += std::to_string(i) + ",1.25\n";
  csv += "oops,2\n";
  dir.Write("data.csv", csv);
  auto ds = Load(dir.Write("pkg.json", R"({"resources": [{"path": "data.csv", "schema": {"fields": [
      {"name": "a", "type": "integer"}, {"name": "b", "type": "number"}]}}]})"));
  // Stretches of 4 KiB: the file is some 700 of them.
  const host::CsvCaseSource source = InEqualStretches(*ds, 4096);
  for (int threads : {1, 2, 4}) {
    std::atomic<int> blocks{0};
    host::ReadPlan plan;
    plan.threads = threads;
    plan.gather = [&](host::CaseBlock&) { ++blocks; };
    {
      auto cursor = source.OpenFor(plan);
      const host::CaseBlock* block = cursor->NextBlock();
      ASSERT_NE(block, nullptr);
      EXPECT_EQ(block->numbers[0][0], 0);
      if (threads == 1) {
        EXPECT_EQ(cursor->CountRemaining() + static_cast<std::int64_t>(block->rows), rows + 1);
      }
    }
    EXPECT_GE(blocks.load(), 1);
    EXPECT_LE(blocks.load(), threads + 2) << threads << " threads";
  }
  // The iterator's thread is one of the readers: read to the end, the blocks
  // are gathered on no more threads than asked for, with one thread on the
  // iterator's own (no hand-off), and the cases come in file order.
  for (int threads : {1, 2, 3}) {
    std::mutex mutex;
    std::set<std::thread::id> readers;
    std::atomic<int> gathered{0};
    host::ReadPlan plan;
    plan.threads = threads;
    plan.gather = [&](host::CaseBlock&) {
      ++gathered;
      std::lock_guard<std::mutex> lock(mutex);
      readers.insert(std::this_thread::get_id());
    };
    auto cursor = source.OpenFor(plan);
    double next = 0;
    int handed = 0, mostAhead = 0;
    try {
      while (const host::CaseBlock* b = cursor->NextBlock()) {
        ASSERT_EQ(b->numbers[0][0], next) << threads << " threads";
        next += static_cast<double>(b->rows);
        mostAhead = std::max(mostAhead, gathered.load() - ++handed);
        if (handed % 4 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));  // a slow consumer
      }
    } catch (const host::InputError&) {
    }
    EXPECT_EQ(next, rows) << threads << " threads";
    EXPECT_LE(mostAhead, threads + 6) << threads << " threads";
    EXPECT_LE(readers.size(), static_cast<std::size_t>(threads));
    if (threads == 1) {
      EXPECT_EQ(readers, std::set<std::thread::id>{std::this_thread::get_id()});
    }
  }
  // Read to the end, the bad cell is found, after every good case.
  auto cursor = source.Open();
  std::int64_t seen = 0;
  try {
    while (const host::CaseBlock* b = cursor->NextBlock()) seen += static_cast<std::int64_t>(b->rows);
    ADD_FAILURE() << "no error";
  } catch (const host::InputError& e) {
    EXPECT_NE(std::string(e.what()).find("line " + std::to_string(rows + 2)), std::string::npos) << e.what();
  }
  EXPECT_EQ(seen, rows);
}

// A wide file's blocks let their cells go once a reader has gathered them;
// the iterator's thread gets the same cells back when it asks (EnsureCells),
// whatever the threads. Blocks it does not ask about leave their cells to
// the readers' later stretches, and a stretch that starts inside a quoted
// line break is read again on the iterator's thread, keeping its cells.
TEST(DataPackage, WideBlocksPutTheirCellsBack) {
  TempDir dir;
  constexpr int kColumns = 300, kRows = 400;
  std::string csv, fields;
  for (int c = 0; c < kColumns; ++c) {
    const std::string name = "v" + std::to_string(c);
    const char* type = c % 3 == 0 ? "integer" : c % 3 == 1 ? "number" : "string";
    csv += (c > 0 ? "," : "") + name;
    fields += std::string(c > 0 ? "," : "") + R"({"name": ")" + name + R"(", "type": ")" + type + R"("})";
  }
  csv += "\n";
  for (int r = 0; r < kRows; ++r) {
    for (int c = 0; c < kColumns; ++c) {
      if (c > 0) csv += ',';
      const int k = r * 7 + c;
      if (c % 3 == 0) {
        csv += std::to_string(k % 11);
      } else if (c % 3 == 1) {
        if (k % 13 != 0) csv += std::to_string(k % 1000) + "." + std::to_string(k % 10);
      } else {
        csv += k % 97 == 0 ? "\"two\nlines\"" : "t" + std::to_string(k % 5);
      }
    }
    csv += "\n";
  }
  dir.Write("w.csv", csv);
  auto ds = Load(dir.Write("w.json", R"({"resources": [{"path": "w.csv", "schema": {"fields": [)" + fields + "]}}]}"));
  const host::CsvCaseSource source = InEqualStretches(*ds, 8192);
  const auto rowText = [](const host::CaseBlock& b, std::size_t r) {
    std::string line;
    for (std::size_t v = 0; v < kColumns; ++v) line += datatest::CellText(b, v, r) + "|";
    return line;
  };
  // Without a gathering step every block keeps its cells.
  std::vector<std::string> want;
  {
    auto cursor = source.Open();
    while (const host::CaseBlock* b = cursor->NextBlock()) {
      EXPECT_FALSE(b->cellsBack);
      for (std::size_t r = 0; r < b->rows; ++r) want.push_back(rowText(*b, r));
    }
  }
  ASSERT_EQ(want.size(), static_cast<std::size_t>(kRows));
  for (int threads : {1, 2, 4}) {
    host::ReadPlan plan;
    plan.threads = threads;
    plan.gather = [](host::CaseBlock& b) { b.work = std::make_shared<host::BlockWork>(); };
    auto cursor = source.OpenFor(plan);
    std::size_t row = 0, blocks = 0, away = 0, compared = 0;
    while (const host::CaseBlock* b = cursor->NextBlock()) {
      if (b->cellsBack) {
        ++away;
        EXPECT_TRUE(b->numbers.empty() && b->strings.empty());
      }
      if (blocks++ % 3 != 2) {
        host::EnsureCells(*b);
        host::EnsureCells(*b);  // once back, they stay
        for (std::size_t r = 0; r < b->rows; ++r, ++compared) {
          ASSERT_LT(row + r, want.size());
          EXPECT_EQ(rowText(*b, r), want[row + r]) << threads << " threads, row " << row + r;
        }
      }
      row += b->rows;
    }
    EXPECT_EQ(row, want.size()) << threads;
    EXPECT_GT(compared, want.size() / 2) << threads;
    EXPECT_GT(away, blocks / 2) << threads << " threads: " << away << " of " << blocks;
  }
}

// A wide file (300 columns, stretches of a few rows) with two threads: while
// the iterator's thread parses a stretch itself (its block was not ready),
// the worker goes on to the stretch after it instead of waiting for the
// iterator to hand out a block; no further. The iterator's first gathering
// waits until three blocks are gathered in all, which without that stretch
// never happens (the wait gives up after a minute, failing).
TEST(DataPackage, WideWorkerReadsOnWhileTheIteratorReads) {
  TempDir dir;
  constexpr int kColumns = 300, kRows = 200;
  std::string csv, fields;
  for (int c = 0; c < kColumns; ++c) {
    csv += (c > 0 ? ",v" : "v") + std::to_string(c);
    fields += std::string(c > 0 ? "," : "") + R"({"name": "v)" + std::to_string(c) + R"(", "type": "integer"})";
  }
  csv += "\n";
  for (int r = 0; r < kRows; ++r) {
    csv += std::to_string(r);
    for (int c = 1; c < kColumns; ++c) csv += "," + std::to_string((r + c) % 7);
    csv += "\n";
  }
  dir.Write("w.csv", csv);
  auto ds = Load(dir.Write("w.json", R"({"resources": [{"path": "w.csv", "schema": {"fields": [)" + fields + "]}}]}"));
  const host::CsvCaseSource source = InEqualStretches(*ds, 4096);
  std::mutex mutex;
  std::condition_variable changed;
  bool iteratorGathering = false;
  int gathered = 0, besideTheIterator = 0;
  bool sawThree = false;
  const std::thread::id iterator = std::this_thread::get_id();
  host::ReadPlan plan;
  plan.threads = 2;
  plan.gather = [&](host::CaseBlock&) {
    std::unique_lock<std::mutex> lock(mutex);
    ++gathered;
    if (std::this_thread::get_id() == iterator) {
      if (iteratorGathering) return;
      iteratorGathering = true;
      changed.notify_all();
      sawThree = changed.wait_for(lock, std::chrono::minutes(1), [&] { return gathered >= 3; });
      return;
    }
    // The worker holds its first block until the iterator reads one itself.
    ++besideTheIterator;
    if (besideTheIterator == 1) changed.wait_for(lock, std::chrono::minutes(1), [&] { return iteratorGathering; });
    changed.notify_all();
  };
  {
    auto cursor = source.OpenFor(plan);
    ASSERT_NE(cursor->NextBlock(), nullptr);
  }
  EXPECT_TRUE(iteratorGathering);
  EXPECT_TRUE(sawThree) << gathered << " blocks gathered";
  EXPECT_LE(gathered, plan.threads + 2);
}

// Every block is reported when the interval allows it, and the last report
// covers the whole file.
TEST(DataPackage, ProgressIsReported) {
  TempDir dir;
  std::string csv = "a\n";
  for (int i = 0; i < 200000; ++i) csv += "1\n";
  auto ds = Load(dir.Write("data.csv", csv));
  ds->cases = WithChunkBytes(*ds, 1024);
  std::int64_t lastCases = 0, lastBytes = 0, total = 0;
  int calls = 0;
  host::SetProgressFunction([&](std::int64_t c, std::int64_t b, std::int64_t t) {
    ++calls;
    lastCases = c;
    lastBytes = b;
    total = t;
  });
  host::SetProgressInterval(std::chrono::milliseconds(0));
  auto cursor = ds->cases->Open();
  int blocks = 0;
  while (cursor->NextBlock()) ++blocks;
  EXPECT_GE(blocks, 5);
  EXPECT_GE(calls, blocks);
  EXPECT_EQ(lastCases, 200000);
  EXPECT_EQ(lastBytes, static_cast<std::int64_t>(csv.size()));
  EXPECT_EQ(total, static_cast<std::int64_t>(csv.size()));
}

}  // namespace
