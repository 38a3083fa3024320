#include "support/fuzz_inputs.h"

#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "app/report_layout.h"
#include "codebook/procedure.h"
#include "host/command.h"
#include "host/dataset.h"
#include "host/document.h"
#include "support/test_dataset.h"

namespace fuzzsupport {

const std::string& ScratchDir() {
  static const std::string dir = [] {
    const std::filesystem::path base = std::filesystem::exists("/dev/shm") ? "/dev/shm" : "/tmp";
    std::filesystem::path path = base / ("codebook-fuzz-" + std::to_string(::getpid()));
    std::filesystem::create_directories(path);
    return path.string();
  }();
  return dir;
}

void WriteFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void RunCommands(std::string_view syntax, int limit) {
  int run = 0;
  try {
    for (const host::Command& command : host::SplitCommands(syntax, "<fuzz>")) {
      if (run++ >= limit) break;
      if (!command.error.empty()) continue;
      std::string name = command.name.text;
      for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      if (name != "CODEBOOK") continue;
      host::SetCurrentCommand(command);
      codebook::RunCodebookCommand();
    }
  } catch (const host::InputError&) {
    // A bad cell found during the pass: the program reports it and exits 2.
  }
  std::ostringstream sink;
  host::RenderOptions options;
  options.layout = codebook_app::CodebookReportLayout();
  for (host::OutputFormat format :
       {host::OutputFormat::Text, host::OutputFormat::Json, host::OutputFormat::Html, host::OutputFormat::Markdown}) {
    host::Render(host::Output(), format, sink, options);
  }
  host::ResetOutput();
}

namespace {

// A small dictionary that reaches every kind of item: labelled, user-missing,
// string and scale-string variables, both kinds of set (one with an unknown
// member), attributes, a weight and a few cases.
std::shared_ptr<host::Dataset> CommandDataset() {
  testsupport::DatasetBuilder b;
  b.Numeric("age", Measure::Scale);
  b.Numeric("sex", Measure::Nominal).valueLabels = {{ObsFromNumber(1), "Male"}, {ObsFromNumber(2), "Female"}};
  b.Numeric("Sex2", Measure::Ordinal).missing.numbers = {9};
  b.String("city", 8, Measure::Nominal);
  b.String("note", 12, Measure::Scale);
  b.Numeric("m1", Measure::Nominal);
  b.Numeric("m2", Measure::Nominal);
  b.Numeric("w", Measure::Scale);
  b.Variable("age").attributes.Add("Question", {"How old?"});
  b.Variable("sex").attributes.Add("$Reserved", {"a", "b"});
  b.CategorySet("$cats", "Categories", {"m1", "m2"});
  b.DichotomySet("$dich", "", "1", {"m1", "m2", "nosuch"});
  b.Weight("w");
  b.Case({34, 1, 9, "Oslo", "x", 1, 0, 1.5});
  b.Case({SYSMIS, 2, 1, "Lisbon", "", 0, 1, 0.0});
  b.Case({51, 2, 2, "Oslo", "y", 1, 1, 2.0});
  b.Facts().label = "Fuzz";
  b.Facts().fileSpec = "/tmp\\fuzz.json";
  return b.Build();
}

// Loads a file as the active dataset and runs one command on it.
Outcome LoadAndRun(const std::string& path, std::string_view syntax) {
  Outcome outcome;
  std::vector<std::string> warnings;
  try {
    host::SetActiveDataset(host::LoadDataset(path, warnings));
  } catch (const host::InputError& error) {
    // Rejected with a message: the expected outcome for bad files.
    outcome.loaded = false;
    outcome.error = error.what();
    return outcome;
  }
  RunCommands(syntax, 1);
  host::SetActiveDataset(nullptr);
  return outcome;
}

}  // namespace

Outcome RunCommandInput(std::string_view bytes) {
  static const std::shared_ptr<host::Dataset> dataset = CommandDataset();
  host::SetActiveDataset(dataset);
  RunCommands(bytes, 8);
  return {};
}

Outcome RunCsvInput(std::string_view bytes) {
  const std::string path = ScratchDir() + "/cases.csv";
  WriteFile(path, bytes);
  return LoadAndRun(path, "CODEBOOK /FILEINFO CASECOUNT.");
}

Outcome RunPackageInput(std::string_view bytes) {
  const std::string& dir = ScratchDir();
  static const bool csvWritten = [&] {
    WriteFile(dir + "/data.csv", "a,b,c\n1,x,2026-01-02\n2,y,2026-02-03\n,z,\n1,,2026-01-02\n");
    // Columns in another order than data.csv's, dates in a pattern other than
    // ISO 8601 and an offset on a time: for fieldsMatch and date format "any".
    WriteFile(dir + "/other.csv",
              "c,a,d,e\n13/01/2026,1,2020-01-05T13:45:00+01:00,1e308\n03/02/2026,2,2020-01-05T12:45:00.5Z,"
              "-1.7976931348623157e308\n,,,\n");
    return true;
  }();
  (void)csvWritten;
  const std::string path = dir + "/datapackage.json";
  WriteFile(path, bytes);
  return LoadAndRun(path,
                    "CODEBOOK /FILEINFO NAME LOCATION LABEL DOCUMENTS WEIGHT CASECOUNT ATTRIBUTES "
                    "RESERVEDATTRIBUTES /VARINFO POSITION LABEL TYPE FORMAT MEASURE ROLE ATTRIBUTES "
                    "VALUELABELS MISSING RESERVEDATTRIBUTES.");
}

Outcome RunForeignInput(std::string_view bytes) {
  // Named .dta, but the first bytes choose the reader: Stata, SAS or transport.
  const std::string path = ScratchDir() + "/data.dta";
  WriteFile(path, bytes);
  return LoadAndRun(path, "CODEBOOK /FILEINFO LABEL DOCUMENTS CASECOUNT.");
}

Outcome RunTargetInput(std::string_view target, std::string_view bytes) {
  if (target == "fuzz_command") return RunCommandInput(bytes);
  if (target == "fuzz_csv") return RunCsvInput(bytes);
  if (target == "fuzz_package") return RunPackageInput(bytes);
  if (target == "fuzz_foreign") return RunForeignInput(bytes);
  throw std::invalid_argument("no fuzz target named " + std::string(target));
}

}  // namespace fuzzsupport
