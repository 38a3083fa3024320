// codebook: loads a dataset, runs CODEBOOK commands through the procedure
// plug-in, and writes the tables as text, JSON, HTML or Markdown.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <iostream>
#include <new>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "app/allocator.h"
#include "app/messages.h"
#include "app/output_file.h"
#include "app/progress.h"
#include "app/report_layout.h"
#include "app/signals.h"
#include "host/command.h"
#include "host/common/text.h"
#include "host/data/dataset.h"
#include "host/data/files.h"
#include "host/dataset.h"
#include "host/document.h"
#include "host/output/json_writer.h"
#include "host/output/model.h"
#include "host/shards/shards.h"

namespace {

constexpr const char* kVersion = "0.1.0";

constexpr const char* kDescription =
    "codebook documents a dataset: for every variable its dictionary facts (position, label, type,\n"
    "format, measurement level, role, attributes, value labels, missing values) with the counts and\n"
    "percents of its values; for scale variables valid and missing N, mean, standard deviation and\n"
    "quartiles; for multiple-response sets their categories with counts; and, on request, a table\n"
    "about the file as a whole.";

constexpr const char* kFooter =
    "\nDATASET is a data package descriptor (.json, with its CSV file), a bare .csv file, a Stata\n"
    "file (.dta), a SAS data file (.sas7bdat, value labels from NAME.sas7bcat beside it or\n"
    "--catalog), a SAS transport file (.xpt), a .tsv file, a compressed .csv.gz or .csv.zst file,\n"
    "or - for a CSV file on standard input.\n"
    "COMMAND is CODEBOOK command syntax; it defaults to CODEBOOK (every variable and set).\n"
    "Quote it so that the shell leaves brackets and slashes alone.\n"
    "\nExamples:\n"
    "  codebook survey/datapackage.json\n"
    "  codebook survey/datapackage.json 'CODEBOOK age TO income sex [N] $media /STATISTICS COUNT'\n"
    "  codebook survey/datapackage.json 'CODEBOOK /FILEINFO NAME LABEL CASECOUNT /OPTIONS VARORDER=ALPHA'\n"
    "  codebook survey/datapackage.json -o survey.html        (format from the extension)\n"
    "  codebook data.csv --format json -o data-codebook.json\n"
    "  codebook survey.dta 'CODEBOOK /FILEINFO LABEL DOCUMENTS'\n"
    "  codebook survey.sas7bdat --catalog formats.sas7bcat\n"
    "  codebook export.csv --encoding latin1 --delimiter ';' --missing 'NA,-99'\n"
    "  gunzip -c data.csv.gz | codebook -                       (standard input)\n"
    "  codebook survey/datapackage.json --syntax commands.cbk  (several commands, each ending with '.')\n"
    "\nA dataset in parts (a resource whose path lists several CSV files), one part per machine:\n"
    "  codebook parts/datapackage.json --write-plan run.plan      (the commands' tables, no report)\n"
    "  codebook --run-plan run.plan --part 2 -o part2.state       (on any machine, once per part)\n"
    "  codebook --merge run.plan part*.state -o report.html       (the report, as from one machine)\n"
    "  scripts/codebook_dask.py does all three on a Dask cluster; see docs/scale-out.md.\n"
    "\nExit status: 0 success; 1 a command reported an error; 2 usage error, unreadable dataset or\n"
    "output that cannot be written; 128 + N when ended by signal N (the output file is then not written).\n"
    "Documentation: README.md and docs/ in the source tree.";

bool FormatFromName(const std::string& name, host::OutputFormat& format) {
  const std::string n = host::LowerAscii(name);
  if (n == "text" || n == "txt") {
    format = host::OutputFormat::Text;
  } else if (n == "json") {
    format = host::OutputFormat::Json;
  } else if (n == "html" || n == "htm") {
    format = host::OutputFormat::Html;
  } else if (n == "markdown" || n == "md") {
    format = host::OutputFormat::Markdown;
  } else {
    return false;
  }
  return true;
}

// The plug-in: next to the program unless --plugin names it; empty when the
// program's folder is not known. Without /proc (a chroot, a bare container)
// the program's name as it was started says where it is, unless it is a bare
// name: the shell found that on PATH, and the current folder is no place to
// load code from.
std::string DefaultPluginPath(const char* argv0) {
  std::error_code ec;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) {
    if (argv0 == nullptr || std::strchr(argv0, '/') == nullptr) return {};
    self = std::filesystem::absolute(argv0, ec);
    if (ec) return {};
  }
  return (self.parent_path() / "libcodebook.so").string();
}

// Narrower than this, the columns of counts and percents no longer fit.
constexpr int kMinWidth = 40;
// A syntax file larger than this is not one (a data file named by mistake).
constexpr std::size_t kMaxSyntaxBytes = std::size_t{64} << 20;

int TerminalWidth() {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return std::max<int>(size.ws_col, kMinWidth);
  return 80;
}

using codebook_app::Fail;

// What the program is doing, for the message when memory runs out where no
// handler is (another thread, a destructor).
const char* gDoing = "starting";
std::string gDoingFile;

void OnTerminate() {
  std::exception_ptr current = std::current_exception();
  try {
    if (current) std::rethrow_exception(current);
    Fail("internal error: the program ended unexpectedly");
  } catch (const std::bad_alloc&) {
    codebook_app::FailOutOfMemory(gDoing, gDoingFile.c_str());
  } catch (const std::exception& e) {
    if (codebook_app::NoRoomForThread(e)) {
      codebook_app::FailOutOfMemory(gDoing, gDoingFile.c_str());
    } else {
      Fail(std::string("internal error: ") + e.what());
    }
  } catch (...) {
    Fail("internal error: the program ended unexpectedly");
  }
  std::_Exit(2);
}

// After --help or --version: false, with a message, when the text did not
// reach standard output whole.
bool FlushStandardOutput() {
  std::cout.flush();
  if (std::cout.good() && std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return true;
  Fail(std::string("cannot write to standard output: ") + std::strerror(errno != 0 ? errno : EIO) + ".");
  return false;
}

std::string DescriptorName(int fd) {
  if (fd == STDOUT_FILENO) return "standard output";
  if (fd == STDERR_FILENO) return "standard error";
  return "descriptor " + std::to_string(fd);
}

// Standard input among the inputs, when it is a file.
constexpr std::string_view kStandardInput = "/dev/stdin";

// Where commands typed after DATASET come from, in messages.
constexpr std::string_view kCommandLine = "<command line>";

// The program's own files: the executable and the plug-in it loads. A
// report written over either (`-o codebook` in the folder of the program)
// would leave nothing to run.
std::vector<std::string> ProgramFiles(const std::string& pluginPath, const char* argv0) {
  std::error_code ec;
  std::vector<std::string> files{pluginPath.empty() ? DefaultPluginPath(argv0) : pluginPath};
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) files.push_back(self.string());
  return files;
}

// Output to a file that is one of the inputs, or one of the program's own
// files, would destroy it.
bool OverwritesInput(const std::string& outputPath, int outputFd, const std::vector<std::string>& inputs,
                     const std::vector<std::string>& programFiles = {}) {
  const std::string output =
      outputFd == STDOUT_FILENO && outputPath.empty() ? std::string("(standard output)") : "'" + outputPath + "'";
  auto same = [&](const std::string& file) {
    return outputFd >= 0 ? codebook_app::SameFile(outputFd, file) : codebook_app::SameFile(outputPath, file);
  };
  for (const std::string& input : inputs) {
    if (!same(input)) continue;
    Fail("the output " + output +
         (input == kStandardInput ? std::string(" is the file read as standard input")
                                  : " is the input file '" + input + "'") +
         "; writing it would destroy the input. Name another output file.");
    return true;
  }
  for (const std::string& file : programFiles) {
    if (!same(file)) continue;
    Fail("the output " + output + " is the program's own file '" + file +
         "'; writing it would destroy the program. Name another output file.");
    return true;
  }
  // What was checked is where the output goes, whatever is renamed or
  // linked on the way during the run.
  if (outputFd < 0 && !outputPath.empty()) codebook_app::PinOutputPlace(outputPath);
  return false;
}

// --delimiter: one character, or a name for the ones awkward to type.
bool DelimiterFromText(const std::string& text, char& delimiter) {
  const std::string t = host::LowerAscii(text);
  if (t == "tab" || t == "\\t" || t == "\t") {
    delimiter = '\t';
  } else if (t == "comma") {
    delimiter = ',';
  } else if (t == "semicolon") {
    delimiter = ';';
  } else if (t == "pipe") {
    delimiter = '|';
  } else if (t == "space") {
    delimiter = ' ';
  } else if (text.size() == 1 && text[0] != '"' && text[0] != '\n' && text[0] != '\r') {
    delimiter = text[0];
  } else {
    return false;
  }
  return true;
}

// --missing: texts separated by commas.
std::vector<std::string> SplitTokens(const std::string& text) {
  std::vector<std::string> tokens;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(',', start);
    const std::string_view token = host::TrimBlanks(std::string_view(text).substr(start, end - start));
    if (!token.empty()) tokens.emplace_back(token);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return tokens;
}

// A message that ends with its place, "... (line 3, column 14).": true, with
// the place taken off into `place` ("line 3, column 14") and the period kept.
bool TrailingPlace(std::string& text, std::string& place) {
  static constexpr std::string_view kOpen = " (line ";
  static constexpr std::string_view kClose = ").";
  if (text.size() < kOpen.size() + kClose.size() || text.compare(text.size() - 2, 2, kClose) != 0) return false;
  const std::size_t open = text.rfind(kOpen);
  if (open == std::string::npos) return false;
  const std::string inside = text.substr(open + 2, text.size() - 2 - (open + 2));  // "line 3, column 14"
  std::size_t i = 5;
  const auto digits = [&inside, &i]() {
    const std::size_t start = i;
    while (i < inside.size() && inside[i] >= '0' && inside[i] <= '9') ++i;
    return i > start;
  };
  if (!digits() || inside.compare(i, 9, ", column ") != 0) return false;
  i += 9;
  if (!digits() || i != inside.size()) return false;
  place = inside;
  text.erase(open);
  text += '.';
  return true;
}

// Every error and warning of the run also goes to standard error as it is
// issued, whatever the output format and wherever the output goes: a report
// written to a file must not hide that a command failed. --quiet keeps the
// warnings off the terminal, never the errors.
class MessageEcho {
 public:
  explicit MessageEcho(bool quiet) : fQuiet(quiet) {}

  // Echoes the messages issued since the last call.
  void Flush() {
    const std::vector<host::Item>& items = host::Output().Items();
    for (; fNext < items.size(); ++fNext) {
      if (items[fNext].IsTable()) continue;
      const host::Message& message = items[fNext].message;
      // A message that names its place in the file already needs no more;
      // one about a token of the command ("Duplicate variable or MRset
      // name.") says where that token stands.
      std::string text = message.text;
      if (!message.place.empty() && fSource == kCommandLine) {
        // as the syntax checker's own messages: "... (line 1, column 14)."
        const bool period = !text.empty() && text.back() == '.';
        if (period) text.pop_back();
        text += " (" + message.place + ")" + (period ? "." : "");
      } else if (!message.place.empty()) {
        // "line 1, column 10; why": the why goes after the text.
        const std::size_t why = message.place.find("; ");
        if (why != std::string::npos) {
          const bool period = !text.empty() && text.back() == '.';
          if (period) text.pop_back();
          text += " (" + message.place.substr(why + 2) + ")" + (period ? "." : "");
        }
        text = fSource + ", " + message.place.substr(0, why) + ": " + text;
      } else if (std::string place; !fWhere.empty() && TrailingPlace(text, place)) {
        // "... (line 3, column 14)." of the syntax checker: said as every
        // other token's place in a file is, "survey.cbk, line 3, column 14: ...".
        text = fSource + ", " + place + ": " + text;
      } else if (!fWhere.empty() && message.text.find(fSource + ", line ") == std::string::npos) {
        text = fWhere + text;
      }
      if (message.severity == host::Severity::Error) {
        ++fErrors;
        Fail("error: " + text);
      } else {
        ++fWarnings;
        if (!fQuiet) codebook_app::Warn(text);
      }
    }
  }

  // The messages echoed next come from `command`. Those of a syntax file that
  // say nothing of where they stand ("Duplicate variable or MRset name.")
  // name the file and the command's line on the terminal, so that a file of
  // many commands shows which one; the report keeps the procedure's text.
  void From(const host::Command& command) {
    fSource = command.source;
    fWhere = command.source == kCommandLine || !command.error.empty()
                 ? std::string()
                 : command.source + ", command at line " + std::to_string(command.name.line) + ": ";
  }

  // After the output is written: the count, so that a report holding errors
  // says so where the run was started.
  void Summarise(const std::string& outputPath) const {
    if (fErrors == 0 && (fWarnings == 0 || fQuiet || outputPath.empty())) return;
    std::string text = outputPath.empty() ? std::string("the output") : "the report '" + outputPath + "'";
    if (fErrors > 0) {
      text += " holds " + host::Counted(static_cast<std::size_t>(fErrors), "error");
      if (fWarnings > 0) text += " and " + host::Counted(static_cast<std::size_t>(fWarnings), "warning");
    } else {
      text += " holds " + host::Counted(static_cast<std::size_t>(fWarnings), "warning");
    }
    Fail(text + (fErrors > 0 ? "; exit status 1." : "."));
  }

 private:
  bool fQuiet;
  std::string fSource;  // the current command's file
  std::string fWhere;   // put before the messages of the current command
  std::size_t fNext = 0;
  int fErrors = 0;
  int fWarnings = 0;
};

// When the report was made, in UTC to the minute; SOURCE_DATE_EPOCH (seconds
// since 1970) fixes it, so that a report can be made again byte for byte.
// A value that is not such a number (or beyond the year 9999) is said, not
// silently taken for the current time: whoever set it wants a fixed report.
std::string ReportTime() {
  std::time_t now = std::time(nullptr);
  if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH")) {
    constexpr long long kLastSecondOf9999 = 253402300799;
    const std::string_view text(epoch);
    char* end = nullptr;
    errno = 0;
    const long long seconds = std::strtoll(epoch, &end, 10);
    if (!text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos && errno == 0 &&
        seconds <= kLastSecondOf9999) {
      now = static_cast<std::time_t>(seconds);
    } else if (!text.empty()) {
      codebook_app::Warn("SOURCE_DATE_EPOCH '" + std::string(text) +
                         "' is not a number of seconds since 1970 up to the year 9999; the report shows the "
                         "current time.");
    }
  }
  std::tm utc{};
  if (gmtime_r(&now, &utc) == nullptr) return {};
  char text[32];
  const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &utc);
  return std::string(text, n);
}

// The report's title: the dataset's file name; a data package is usually
// named datapackage.json, and its folder says more.
std::string ReportTitle(const std::string& datasetPath) {
  if (datasetPath == "-") return "standard input";
  const std::filesystem::path datasetFile(datasetPath);
  std::string title = datasetFile.filename().string();
  if (host::LowerAscii(title) == "datapackage.json") {
    const std::string folder = std::filesystem::absolute(datasetFile).parent_path().filename().string();
    if (!folder.empty()) title = folder;
  }
  return title;
}

// --plan-info: the plan's parts and passes, as JSON on standard output.
int PrintPlanInfo(const std::string& planPath) {
  host::shards::PlanSummary summary;
  try {
    summary = host::shards::SummarizePlan(planPath);
  } catch (const host::InputError& e) {
    Fail(e.what());
    return 2;
  }
  std::string text = "{\"parts\": [";
  for (std::size_t i = 0; i < summary.parts.size(); ++i) {
    if (i > 0) text += ", ";
    host::json::AppendString(text, summary.parts[i]);
  }
  text += "], \"passes\": " + std::to_string(summary.passes) + "}\n";
  std::cout << text;
  return FlushStandardOutput() ? 0 : 2;
}

// What a step writes.
enum class RunFile { Report, Plan, State };

// A file of a run in parts is replaced only by one of its kind: a plan by a
// plan, a state by a state (of its own part: RunPlanPart). Anything else
// over it (a report, a plan over a state, a state over a plan) comes of a
// name typed for the other step and would lose it without a word, a part's
// pass or the plan its states merge by; true, with the message, then.
bool OverwritesRunFile(const std::string& path, RunFile writing) {
  const int held = host::shards::KindOfRunFile(path);
  if (held == 0) return false;
  const char* what = writing == RunFile::Report ? "a report" : writing == RunFile::Plan ? "a plan" : "a partial state";
  if (held == 1 && writing != RunFile::Plan) {
    Fail("the output '" + path + "' holds the plan of a run in parts (--write-plan); writing " + what +
         " over it would lose it, and its partial states merge only with it. Name another file, or remove it first.");
    return true;
  }
  if (held == 2 && writing != RunFile::State) {
    const std::size_t part = host::shards::PartOfAnyState(path);
    Fail("the output '" + path + "' holds " +
         (part != 0 ? "the partial state of part " + std::to_string(part) + " of a plan"
                    : std::string("a partial state of a run in parts")) +
         "; writing " + what + " over it would lose that part's pass. Name another file, or remove it first.");
    return true;
  }
  return false;
}

// --run-plan: one part's pass, its partial state written to `outputPath`.
int RunPlanPart(const std::string& planPath, std::size_t part, const std::string& outputPath,
                const std::vector<std::string>& programFiles) {
  if (part == 0) {
    Fail("--run-plan needs --part N: the part to read (1 for the first file of the resource).");
    return 2;
  }
  if (outputPath.empty() || codebook_app::DescriptorNamed(outputPath) >= 0) {
    Fail("--run-plan writes the partial state to a file; name it with -o FILE.");
    return 2;
  }
  gDoing = "reading";
  try {
    const host::shards::PlanSummary summary = host::shards::SummarizePlan(planPath);
    // Every file of the plan's dataset, not only the part read: a state
    // written over another part, or over the descriptor, would destroy it
    // before its own --run-plan comes.
    std::vector<std::string> inputs{planPath};
    inputs.insert(inputs.end(), summary.paths.begin(), summary.paths.end());
    inputs.insert(inputs.end(), summary.files.begin(), summary.files.end());
    if (OverwritesInput(outputPath, -1, inputs, programFiles)) return 2;
    std::vector<std::string> sources{planPath};
    sources.insert(sources.end(), summary.paths.begin(), summary.paths.end());
    codebook_app::FollowSourcePermissions(sources);
    // Running the part again over its own state is the usual way to renew
    // it; over another part's state (a slip of the digit) it would lose that
    // part's pass without a word.
    if (const std::size_t held = host::shards::PartOfState(outputPath, summary.digest); held != 0 && held != part) {
      Fail("the output '" + outputPath + "' holds the partial state of part " + std::to_string(held) +
           " of this plan; writing part " + std::to_string(part) +
           "'s over it would lose that part's pass. Name another file, or remove it first.");
      return 2;
    }
    std::string error;
    const auto write = [&](std::ostream& out) { host::shards::RunPart(planPath, part, out); };
    if (!codebook_app::WriteFileAtomically(outputPath, write, error)) {
      Fail(error);
      return 2;
    }
  } catch (const host::InputError& e) {
    Fail(e.what());
    return 2;
  } catch (const std::bad_alloc&) {
    codebook_app::FailOutOfMemory("reading", planPath.c_str());
    return 2;
  }
  return 0;
}

// The command line, as given.
struct Arguments {
  std::string formatName;
  std::string outputPath;
  std::string syntaxPath;
  std::string pluginPath;
  std::string datasetPath;
  std::vector<std::string> commandWords;
  bool quiet = false;
  bool overview = false;
  int width = 0;
  host::LoadOptions loadOptions;
  std::string delimiterText;
  std::string missingText;
  CLI::Option* missingOption = nullptr;
  int threads = 0;
  std::string writePlanPath;
  std::string runPlanPath;
  std::size_t part = 0;
  std::vector<std::string> mergeArguments;
  std::string planInfoPath;
};

// An option given an empty value refused, saying `what` it was given.
CLI::Validator NotEmpty(const char* what) {
  return CLI::Validator([what](const std::string& text) { return text.empty() ? std::string(what) : std::string(); },
                        "");
}

// An empty file name (`-o "$OUT"` with OUT unset) is a mistake, not a wish
// for the default: without this check it would silently mean standard
// output, or plain CODEBOOK instead of the commands of a syntax file.
const CLI::Validator kFileName = NotEmpty("an empty file name");

// The same for the reading options (`--encoding "$ENC"` with ENC unset would
// read the file as UTF-8, and its message would ask for --encoding).
const CLI::Validator kGiven = NotEmpty("an empty value");

void DefineOptions(CLI::App& app, Arguments& a) {
  app.footer(kFooter);
  app.get_formatter()->column_width(30);
  app.add_option("--format,-f", a.formatName,
                 "Output format: text, json, html or markdown (default: from -o, else text)")
      ->option_text("FORMAT");
  app.add_option("-o,--output", a.outputPath, "Write to FILE instead of standard output (written whole, then renamed)")
      ->check(kFileName)
      ->option_text("FILE");
  app.add_option("--syntax,-s", a.syntaxPath, "Run the commands in FILE (- for standard input) instead of COMMAND")
      ->check(kFileName)
      ->option_text("FILE");
  app.add_option("--plugin", a.pluginPath, "Load the CODEBOOK procedure from PATH (default: next to the program)")
      ->option_text("PATH");
  app.add_option("--width", a.width, "Line width of the text output, at least 40 (default: the terminal's, else 80)")
      ->option_text("N");
  app.add_option("--encoding", a.loadOptions.encoding,
                 "Text encoding of CSV data, or of a Stata/SAS file that declares none or the wrong one (iconv name: "
                 "latin1, cp1252, utf-16, ...)")
      ->check(kGiven)
      ->option_text("NAME");
  app.add_option("--catalog", a.loadOptions.catalog,
                 "SAS format catalog with the value labels of a .sas7bdat file (default: NAME.sas7bcat beside it)")
      ->check(kFileName)
      ->option_text("FILE");
  app.add_flag("--overview", a.overview,
               "Text output: start with the dataset line and the overview (HTML and Markdown always do)");
  app.add_flag("--quiet,-q", a.quiet,
               "No progress indicator, warnings or notes on standard error (errors still go there)");
  app.add_option(
         "--delimiter", a.delimiterText,
         "Delimiter of a bare CSV file: one character, or tab, comma, semicolon, pipe or space (default: sniffed)")
      ->check(kGiven)
      ->option_text("C");
  a.missingOption =
      app.add_option("--missing", a.missingText,
                     "Texts that mean no value in a bare CSV file, comma-separated (default: NA,N/A,NaN,NULL,.)")
          ->option_text("TEXTS");
  app.add_option("--resource", a.loadOptions.resource,
                 "Data package resource to read, by name or number from 1 (default: the first table)")
      ->check(kGiven)
      ->option_text("NAME");
  app.add_option("--threads", a.threads,
                 "Threads that read and count the cases (default: every core); the output is the same for any number")
      ->check(CLI::Range(1, 1024))
      ->option_text("N");
  app.add_option("--write-plan", a.writePlanPath,
                 "Write the plan of the commands' passes over a dataset in parts to PLAN, instead of a report")
      ->option_text("PLAN");
  app.add_option("--run-plan", a.runPlanPath,
                 "Run PLAN's passes over one part of its dataset (--part), writing the "
                 "partial state to -o FILE")
      ->option_text("PLAN");
  app.add_option("--part", a.part, "The part --run-plan reads: 1 for the first file of the resource")
      ->check(CLI::PositiveNumber)
      ->option_text("N");
  app.add_option("--merge", a.mergeArguments, "Merge the partial states of every part and write the report")
      ->expected(1, -1)  // the plan alone is told below, in words of this program
      ->option_text("PLAN STATE...");
  app.add_option("--plan-info", a.planInfoPath, "Print the parts and passes of PLAN as JSON")->option_text("PLAN");
  app.set_version_flag("--version,-V", std::string("codebook ") + kVersion);
  app.add_option("DATASET", a.datasetPath,
                 "Data package descriptor (.json), .csv, Stata .dta, SAS .sas7bdat or .xpt file, or - (standard input)")
      ->type_name("");
  app.add_option("COMMAND", a.commandWords, "CODEBOOK command syntax (default: CODEBOOK)")->type_name("");
}

// Options that do not go together, and values out of range: false, with the
// message given.
bool CheckCombinations(const Arguments& a) {
  // The steps of a run in parts (docs/scale-out.md).
  const int steps = static_cast<int>(!a.writePlanPath.empty()) + static_cast<int>(!a.runPlanPath.empty()) +
                    static_cast<int>(!a.mergeArguments.empty()) + static_cast<int>(!a.planInfoPath.empty());
  if (steps > 1) {
    Fail("give one of --write-plan, --run-plan, --merge and --plan-info.");
    return false;
  }
  if (a.mergeArguments.size() == 1) {
    Fail("--merge takes the plan and then the state of every part: --merge " + a.mergeArguments[0] +
         " part1.state part2.state ...");
    return false;
  }
  if (a.part != 0 && a.runPlanPath.empty()) {
    Fail("--part goes with --run-plan.");
    return false;
  }
  const bool fromPlan = !a.runPlanPath.empty() || !a.mergeArguments.empty() || !a.planInfoPath.empty();
  if (fromPlan && (!a.datasetPath.empty() || !a.commandWords.empty() || !a.syntaxPath.empty())) {
    Fail("the plan names the dataset and holds the commands; give no DATASET, COMMAND or --syntax with " +
         std::string(!a.runPlanPath.empty()      ? "--run-plan"
                     : !a.mergeArguments.empty() ? "--merge"
                                                 : "--plan-info") +
         ".");
    return false;
  }
  // The plan fixes how the parts are read, and only the merge writes a
  // report: an option that would change either, given to a step that does
  // not use it, would be dropped without a word, and the user would believe
  // the parts were read, or the report written, as asked.
  const std::string step = !a.runPlanPath.empty()      ? "--run-plan"
                           : !a.mergeArguments.empty() ? "--merge"
                           : !a.planInfoPath.empty()   ? "--plan-info"
                                                       : "--write-plan";
  if (fromPlan) {
    const char* reading = !a.loadOptions.encoding.empty()   ? "--encoding"
                          : !a.loadOptions.resource.empty() ? "--resource"
                          : !a.loadOptions.catalog.empty()  ? "--catalog"
                          : !a.delimiterText.empty()        ? "--delimiter"
                          : a.missingOption->count() > 0    ? "--missing"
                                                            : nullptr;
    if (reading != nullptr) {
      Fail(std::string(reading) + " does not go with " + step +
           ": the plan fixes how the parts are read; give it with --write-plan, and run the parts and the merge "
           "with that plan.");
      return false;
    }
  }
  if (!a.writePlanPath.empty() || !a.runPlanPath.empty() || !a.planInfoPath.empty()) {
    const char* report = !a.formatName.empty() ? "--format"
                         : a.width != 0        ? "--width"
                         : a.overview          ? "--overview"
                                               : nullptr;
    if (report != nullptr) {
      Fail(std::string(report) + " does not go with " + step + ": the report is written by --merge; give it there.");
      return false;
    }
  }
  if (!a.planInfoPath.empty() && !a.outputPath.empty()) {
    Fail("--plan-info prints to standard output; drop -o (redirect it: > FILE).");
    return false;
  }
  if (!fromPlan && a.datasetPath.empty()) {
    Fail("DATASET is required.");
    std::cerr << "Run with --help for more information.\n";
    return false;
  }
  if (!a.planInfoPath.empty()) return true;
  if (!a.writePlanPath.empty() && !a.outputPath.empty()) {
    Fail("--write-plan writes the plan, not a report; drop -o.");
    return false;
  }
  if (a.width != 0 && a.width < kMinWidth) {
    Fail("--width " + std::to_string(a.width) + " is too narrow: the text output needs at least " +
         std::to_string(kMinWidth) + " columns.");
    return false;
  }
  return true;
}

// The output format: --format, else the output file's extension, else text.
bool ChooseFormat(const Arguments& a, int outputFd, host::OutputFormat& format) {
  format = host::OutputFormat::Text;
  if (!a.formatName.empty()) {
    if (!FormatFromName(a.formatName, format)) {
      Fail("unknown output format '" + a.formatName + "': use text, json, html or markdown.");
      return false;
    }
  } else if (outputFd < 0) {
    const std::string extension = std::filesystem::path(a.outputPath).extension().string();
    if (!extension.empty() && !FormatFromName(extension.substr(1), format) && a.outputPath != "/dev/null") {
      Fail("cannot tell the output format from '" + a.outputPath +
           "': name a .txt, .json, .html or .md file, or give --format.");
      return false;
    }
  }
  return true;
}

// Whether `word` is `target` mistyped: at most two letters left out, added,
// changed or swapped (CODBOOK, CODEBOOKS, COEDBOOK; --fromat), or, when
// `prefixes`, its start of four letters or more (CODE), ignoring case.
bool Mistyped(const std::string& typed, const std::string& target, bool prefixes) {
  const std::string word = host::LowerAscii(typed);
  if (prefixes && word.size() >= 4 && word.size() < target.size() && target.compare(0, word.size(), word) == 0) {
    return true;
  }
  if (word.size() + 2 < target.size() || word.size() > target.size() + 2) return false;
  // Optimal string alignment distance.
  const std::size_t n = word.size();
  const std::size_t m = target.size();
  std::vector<std::vector<std::size_t>> d(n + 1, std::vector<std::size_t>(m + 1));
  for (std::size_t i = 0; i <= n; ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= m; ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= n; ++i) {
    for (std::size_t j = 1; j <= m; ++j) {
      const std::size_t cost = word[i - 1] == target[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && word[i - 1] == target[j - 2] && word[i - 2] == target[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[n][m] <= 2;
}

bool NearlyCodebook(const std::string& name) { return Mistyped(name, "codebook", true); }

// The option parser's messages said as the program's own: what was wrong
// with which option, and for an unknown option the one probably meant.
std::string ExplainParseError(const CLI::ParseError& e, const CLI::App& app) {
  const std::string what = e.what();
  if (dynamic_cast<const CLI::ExtrasError*>(&e) != nullptr) {
    const std::size_t colon = what.find(": ");
    std::istringstream words(colon == std::string::npos ? std::string() : what.substr(colon + 2));
    std::string text;
    for (std::string word; words >> word;) {
      if (!text.empty()) text += "; ";
      if (word.size() < 2 || word[0] != '-') {
        text += "unexpected argument '" + word + "'";
        continue;
      }
      text += "unknown option " + word;
      const std::size_t start = word.find_first_not_of('-');
      const std::string name = start == std::string::npos ? std::string() : word.substr(start, word.find('=') - start);
      const auto meant = [&app, &name]() -> std::string {
        for (const CLI::Option* option : app.get_options()) {
          for (const std::string& known : option->get_lnames()) {
            if (name.size() > 1 && Mistyped(name, known, false)) return known;
          }
        }
        return {};
      }();
      if (!meant.empty()) text += " (did you mean --" + meant + "?)";
    }
    return text.empty() ? what : text + ".";
  }
  if (dynamic_cast<const CLI::ConversionError*>(&e) != nullptr && what.rfind("Could not convert: ", 0) == 0) {
    const std::string rest = what.substr(19);  // "--width = abc"
    const std::size_t eq = rest.find(" = ");
    if (eq != std::string::npos) {
      return rest.substr(0, eq) + " needs a whole number, not '" + rest.substr(eq + 3) + "'.";
    }
  }
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) != nullptr && what.size() > 8 &&
      what.compare(what.size() - 8, 8, " missing") == 0 && what.find(": ") != std::string::npos) {
    return what.substr(0, what.find(": ")) + " needs a value after it.";
  }
  return what;
}

// Whether `path` is what standard input is (/dev/stdin, /dev/fd/0, or the
// file the shell redirected in).
bool IsStandardInput(const std::string& path) {
  struct stat in {};
  struct stat named {};
  return path == "-" || (::fstat(STDIN_FILENO, &in) == 0 && ::stat(path.c_str(), &named) == 0 &&
                         in.st_dev == named.st_dev && in.st_ino == named.st_ino);
}

// A named pipe holds its reader until some program opens it to write, and a
// run that waits on one no program writes to would look hung: when a moment
// passes without the pipe being opened, the run says what it waits for. A
// watch on the pipe's opening (not a reader of our own, which would let a
// writer come and go before the reader proper opens it) tells.
class WatchedPipe {
 public:
  WatchedPipe(const std::string& path, const char* what) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISFIFO(info.st_mode)) return;
    fNotify = ::inotify_init1(IN_CLOEXEC);
    if (fNotify < 0 || ::inotify_add_watch(fNotify, path.c_str(), IN_OPEN) < 0 || ::pipe2(fWake, O_CLOEXEC) != 0) {
      return;
    }
    try {
      fWatcher = std::thread([this, path, what] {
        pollfd watch[2] = {{fNotify, POLLIN, 0}, {fWake[0], POLLIN, 0}};
        if (::poll(watch, 2, 1000) == 0) {
          codebook_app::Note("waiting for a program to write to the named pipe '" + path + "' (" + what +
                             "): none has opened it yet. Ctrl-C stops the run.");
        }
      });
    } catch (const std::system_error&) {  // no room for a thread: no note either
    }
  }
  ~WatchedPipe() {
    if (fWatcher.joinable()) {
      [[maybe_unused]] const ssize_t woken = ::write(fWake[1], "", 1);
      fWatcher.join();
    }
    for (const int fd : {fNotify, fWake[0], fWake[1]}) {
      if (fd >= 0) ::close(fd);
    }
  }
  WatchedPipe(const WatchedPipe&) = delete;
  WatchedPipe& operator=(const WatchedPipe&) = delete;

 private:
  int fNotify = -1;
  int fWake[2] = {-1, -1};
  std::thread fWatcher;
};

// A web address would be taken for a file name and not found; the program
// fetches nothing, by design, and says so.
bool RefusesAddress(const std::string& path, const char* what) {
  const std::size_t colon = path.find("://");
  if (colon == std::string::npos || colon == 0 || !std::isalpha(static_cast<unsigned char>(path[0]))) return false;
  for (std::size_t i = 0; i < colon; ++i) {
    const char c = path[i];
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return false;
  }
  if (struct stat info{}; ::stat(path.c_str(), &info) == 0) return false;  // a folder named so, after all
  Fail(path + ": a web address; the program reads files only and fetches nothing. Download the " + what +
       " and name the copy.");
  return true;
}

// Whether a word of the command line names a syntax file: a regular file
// named with a folder or an extension (a command's words never look so) that
// is not a command itself.
bool NamesSyntaxFile(const std::string& word) {
  if (word.find_first_of("/.") == std::string::npos) return false;
  const std::string_view trimmed = host::TrimBlanks(word);
  if (trimmed.size() >= 8 && host::EqualsIgnoringCase(trimmed.substr(0, 8), "CODEBOOK") &&
      (trimmed.size() == 8 || trimmed[8] == ' ' || trimmed[8] == '.' || trimmed[8] == '/')) {
    return false;
  }
  struct stat info {};
  return ::stat(word.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The commands to run: a syntax file, the words after DATASET, or CODEBOOK.
bool ReadCommands(const Arguments& a, host::shards::RunFacts& facts) {
  if (!a.syntaxPath.empty()) {
    if (!a.commandWords.empty()) {
      Fail("give either --syntax FILE or a COMMAND on the command line, not both.");
      return false;
    }
    // `--syntax -`: the commands come on standard input (`... | codebook
    // data.csv --syntax -`), unless the data do.
    const bool fromInput = a.syntaxPath == "-";
    if (fromInput && a.datasetPath == "-") {
      Fail("--syntax - and the dataset - both name standard input; name the syntax file or the dataset.");
      return false;
    }
    // The same under other names (`--syntax /dev/stdin`): the commands
    // would be read from the data, or find nothing left to read.
    if (IsStandardInput(a.syntaxPath) && IsStandardInput(a.datasetPath)) {
      Fail("--syntax " + a.syntaxPath + " and the dataset " + a.datasetPath +
           " both read standard input; name the syntax file or the dataset.");
      return false;
    }
    if (fromInput && isatty(STDIN_FILENO) != 0) {
      Fail(
          "--syntax -: standard input is a terminal; pipe the commands in (echo 'CODEBOOK age.' | codebook "
          "DATASET --syntax -) or name a syntax file.");
      return false;
    }
    if (RefusesAddress(a.syntaxPath, "syntax file")) return false;
    try {
      const WatchedPipe pipe(a.syntaxPath, "the syntax file");
      facts.syntax =
          host::ReadInputFile(fromInput ? std::string(kStandardInput) : a.syntaxPath, kMaxSyntaxBytes, "syntax file");
    } catch (const host::InputError& e) {
      Fail(e.what());
      return false;
    }
    facts.syntaxSource = fromInput ? std::string("standard input") : a.syntaxPath;
    // An empty file, or one of comments only (a wrong file chosen, or a
    // save that failed), would give an empty report and no word why.
    if (!a.quiet) {
      const std::vector<std::string> swallowed = host::CommandsInComments(facts.syntax, facts.syntaxSource);
      for (const std::string& warning : swallowed) codebook_app::Warn(warning);
      if (swallowed.empty() && host::SplitCommands(facts.syntax, facts.syntaxSource).empty()) {
        codebook_app::Warn(a.syntaxPath + " holds no command (it is empty, or all comments); the report is empty.");
      }
    }
    return true;
  }
  facts.syntaxSource = std::string(kCommandLine);
  if (a.commandWords.empty()) {
    facts.syntax = "CODEBOOK";
    return true;
  }
  // A syntax file named where the command goes (`codebook data.csv
  // commands.cbk`) would run its name as a command, an error that does not
  // say what to type instead.
  if (a.commandWords.size() == 1 && NamesSyntaxFile(a.commandWords.front())) {
    Fail("'" + a.commandWords.front() +
         "' is a file, not a command; to run the commands in a syntax file, give it with " + "--syntax " +
         a.commandWords.front() + ".");
    return false;
  }
  // A word that ends with a period ends its command, as a period at the end
  // of a line does: 'CODEBOOK age.' 'CODEBOOK sex.' are two commands (joined
  // by a blank, the first period would sit inside a line and "age." read as
  // a name).
  for (std::size_t i = 0; i < a.commandWords.size(); ++i) {
    if (i > 0) {
      const std::string_view before = host::TrimBlanks(a.commandWords[i - 1]);
      facts.syntax += !before.empty() && before.back() == '.' ? '\n' : ' ';
    }
    facts.syntax += a.commandWords[i];
  }
  return true;
}

// The dataset: read from DATASET, or (--merge) the plan's dictionary over the
// partial states, which also bring the commands and the report's names.
// Null, with the message given, when it cannot be had.
std::shared_ptr<host::Dataset> OpenDataset(Arguments& a, host::shards::RunFacts& facts) {
  if (!a.delimiterText.empty() && !DelimiterFromText(a.delimiterText, a.loadOptions.delimiter)) {
    Fail("--delimiter '" + a.delimiterText + "' is not one character; give one, such as ';', or tab.");
    return nullptr;
  }
  if (a.missingOption->count() > 0) a.loadOptions.missing = SplitTokens(a.missingText);
  facts.title = ReportTitle(a.datasetPath);
  facts.fileName = std::filesystem::path(a.datasetPath).filename().string();
  gDoing = "reading";
  gDoingFile = a.datasetPath;
  try {
    if (!a.mergeArguments.empty()) {
      gDoingFile = a.mergeArguments.front();
      const std::vector<std::string> states(a.mergeArguments.begin() + 1, a.mergeArguments.end());
      host::shards::MergeRun merge = host::shards::PrepareMerge(a.mergeArguments.front(), states);
      facts = merge.facts;
      return std::move(merge.dataset);
    }
    std::vector<std::string> warnings;
    std::vector<std::string> notes;
    if (RefusesAddress(a.datasetPath, "dataset")) return nullptr;
    const WatchedPipe pipe(a.datasetPath, "the dataset");
    std::shared_ptr<host::Dataset> dataset = host::LoadDataset(a.datasetPath, a.loadOptions, warnings, notes);
    if (!a.quiet) {
      for (const std::string& warning : warnings) codebook_app::Warn(warning);
      for (const std::string& note : notes) codebook_app::Note(note);
    }
    return dataset;
  } catch (const host::InputError& e) {
    Fail(e.what());
  } catch (const std::bad_alloc&) {
    codebook_app::FailOutOfMemory("reading", gDoingFile.c_str());
  }
  return nullptr;
}

using Procedure = void (*)();

// The procedure's entry point in the plug-in; null, with the message given,
// when the plug-in cannot be loaded.
Procedure LoadProcedure(std::string& pluginPath, const char* argv0) {
  if (pluginPath.empty()) pluginPath = DefaultPluginPath(argv0);
  if (pluginPath.empty()) {
    Fail(
        "cannot tell the program's folder, where the CODEBOOK procedure is (/proc is not mounted): name it with "
        "--plugin PATH, or start the program by its path.");
    return nullptr;
  }
  void* plugin = dlopen(pluginPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (plugin == nullptr) {
    Fail(std::string("cannot load the CODEBOOK procedure: ") + dlerror() +
         ". Build it (make) or name it with --plugin PATH.");
    return nullptr;
  }
  auto procedure = reinterpret_cast<Procedure>(dlsym(plugin, "CODEBOOK"));
  if (procedure == nullptr) Fail("the library '" + pluginPath + "' does not export CODEBOOK.");
  return procedure;
}

// Runs every command; a command that is not CODEBOOK, or that does not
// parse, becomes an error in the output. False, with the message given, when
// the run cannot go on (unreadable cases, no memory).
bool RunCommands(Procedure procedure, const host::shards::RunFacts& facts, const Arguments& a, MessageEcho& echo,
                 host::ReportStream* stream = nullptr) {
  codebook_app::Progress progress(!a.quiet && isatty(STDERR_FILENO) != 0);
  try {
    bool first = true;
    for (const host::Command& command : host::SplitCommands(facts.syntax, facts.syntaxSource)) {
      echo.Flush();
      echo.From(command);
      // Words typed after the dataset that leave out the command's name
      // ('/FILEINFO LABEL', 'age sex') are the likeliest slip on the command
      // line: say what to write instead of what went wrong in a file.
      const bool isFirst = first;
      const bool typedFirst = isFirst && command.source == kCommandLine;
      first = false;
      if (!command.error.empty()) {
        host::AddMessage(host::Severity::Error, command.error);
        continue;
      }
      if (command.name.text == "/") {
        std::ostringstream message;
        message << "A command begins with \"/\" (" << command.source << ", line " << command.name.line << ", column "
                << command.name.column << "): a subcommand must continue its command, but ";
        if (isFirst) {
          // Nothing came before it: the command's name was left out.
          message << "no command came before it. Begin with the command's name (CODEBOOK /FILEINFO ...); the "
                     "command was skipped.";
        } else {
          // A subcommand on a line of its own after a line that ended with a
          // period: the period ended the command before it.
          message << "a period at the end of the line before ended that command. Remove that period; the command "
                     "was skipped.";
        }
        host::AddMessage(host::Severity::Error, message.str());
        continue;
      }
      if (!host::EqualsIgnoringCase(command.name.text, "CODEBOOK")) {
        std::ostringstream message;
        message << "Unrecognized command " << command.name.text << " (" << command.source << ", line "
                << command.name.line << ", column " << command.name.column
                << "). This program runs the CODEBOOK command only; the command was skipped.";
        if (NearlyCodebook(command.name.text)) {
          message << " Did you mean CODEBOOK? Its name is written in full.";
        } else if (typedFirst) {
          message << " To document some variables, name them after it: CODEBOOK " << command.name.text << " ...";
        }
        host::AddMessage(host::Severity::Error, message.str());
        continue;
      }
      host::SetCurrentCommand(command);
      progress.Start();
      procedure();
      progress.Finish();
      if (stream != nullptr) stream->CompleteItems();
    }
    echo.Flush();
    return true;
  } catch (const host::InputError& e) {
    progress.Finish();
    Fail(e.what());
  } catch (const std::bad_alloc&) {
    progress.Finish();
    codebook_app::FailOutOfMemory("reading", a.datasetPath.c_str());
  } catch (const std::exception& e) {
    progress.Finish();
    if (codebook_app::NoRoomForThread(e)) {
      codebook_app::FailOutOfMemory("reading", a.datasetPath.c_str());
    } else {
      Fail(std::string("internal error: ") + e.what());
    }
  }
  return false;
}

// --write-plan: the report of a plan is made by the merge; the commands'
// messages come there too.
int WritePlan(host::shards::PlanRecorder& recorder, const std::string& planPath, const host::shards::RunFacts& facts) {
  gDoing = "writing";
  gDoingFile = planPath;
  std::string error;
  if (!codebook_app::WriteFileAtomically(
          planPath, [&](std::ostream& out) { recorder.Write(out, facts); }, error)) {
    Fail(error);
    return 2;
  }
  return 0;
}

host::RenderOptions ReportOptions(const Arguments& a, int outputFd, host::OutputFormat format,
                                  const host::shards::RunFacts& facts) {
  host::RenderOptions options;
  const bool toTerminal = outputFd >= 0 && isatty(outputFd) != 0;
  options.width = a.width > 0 ? a.width : (toTerminal ? TerminalWidth() : 80);
  options.color = format == host::OutputFormat::Text && toTerminal && std::getenv("NO_COLOR") == nullptr;
  options.title = facts.title;
  options.overview = a.overview;
  options.file = facts.fileName;
  // Only a report with a dataset line shows the time (and warns of a bad SOURCE_DATE_EPOCH).
  if (format == host::OutputFormat::Html || format == host::OutputFormat::Markdown || a.overview) {
    options.madeAt = ReportTime();
  }
  options.version = std::string("codebook ") + kVersion;
  options.layout = codebook_app::CodebookReportLayout();
  return options;
}

// The report, to standard output, an open descriptor or a file, once the
// commands have run.
bool WriteReport(const Arguments& a, int outputFd, host::OutputFormat format, const host::shards::RunFacts& facts) {
  const host::RenderOptions options = ReportOptions(a, outputFd, format, facts);
  // The renderers write piece by piece, so a large document is never held
  // in memory whole; a file still appears only once complete.
  const auto render = [&](std::ostream& out) { host::Render(host::Output(), format, out, options); };
  gDoing = "writing";
  gDoingFile = outputFd >= 0 ? std::string() : a.outputPath;
  std::string error;
  try {
    const bool written = outputFd >= 0
                             ? codebook_app::WriteToDescriptor(outputFd, DescriptorName(outputFd), render, error)
                             : codebook_app::WriteFileAtomically(a.outputPath, render, error);
    if (!written) Fail(error);
    return written;
  } catch (const std::bad_alloc&) {
    codebook_app::FailOutOfMemory("writing",
                                  gDoingFile.empty() ? DescriptorName(outputFd).c_str() : gDoingFile.c_str());
    return false;
  }
}

// Thrown out of the report's writer when the commands could not run: the
// temporary file goes, the message is given already.
struct RunAbandoned {};

// Runs the commands while the report is written, for a format that can be
// written as it is made (JSON) to a file that is seen only once complete (a
// temporary file renamed at the end; the null device): a listing of a million
// values is then never held whole. Returns 0 when written, else the exit
// status.
int RunIntoReport(Procedure procedure, const host::shards::RunFacts& facts, const Arguments& a, MessageEcho& echo,
                  host::OutputFormat format) {
  const host::RenderOptions options = ReportOptions(a, -1, format, facts);
  const auto write = [&](std::ostream& out) {
    std::unique_ptr<host::ReportStream> stream = host::StreamReport(format, out, options);
    if (!RunCommands(procedure, facts, a, echo, stream.get())) throw RunAbandoned{};
    gDoing = "writing";
    gDoingFile = a.outputPath;
    stream->Finish();
  };
  std::string error;
  try {
    if (codebook_app::WriteFileAtomically(a.outputPath, write, error)) return 0;
    Fail(error);
  } catch (const RunAbandoned&) {
  } catch (const std::bad_alloc&) {
    codebook_app::FailOutOfMemory("writing", a.outputPath.c_str());
  }
  return 2;
}

// Ends a run whose report is written, with its status: the dictionary, the
// plug-in and what the commands left are not taken apart one piece at a time
// (tens of milliseconds for thousands of variables, on one thread, after
// everything else is done) but given back at once by the process's end. A
// build with the address sanitizer returns instead, so that its leak check
// runs after a complete teardown.
int LeaveTheRest(int status) {
#if defined(__SANITIZE_ADDRESS__)
  return status;
#else
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  std::_Exit(status);
#endif
}

}  // namespace

// Standard descriptors the caller left closed (`>&-`, a daemon's job) would
// be handed to the next file the program opens, and a report for standard
// output written into that file: into the spooled copy of data read from
// standard input, with exit status 0 and nothing shown. Each is held on the
// null device instead; the result has bit N set when descriptor N was closed.
unsigned HoldStandardDescriptors() {
  unsigned closed = 0;
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    closed |= 1u << fd;
    const int null = ::open("/dev/null", (fd == STDIN_FILENO ? O_RDONLY : O_WRONLY) | O_NOCTTY);
    if (null >= 0 && null != fd) {
      ::dup2(null, fd);
      ::close(null);
    }
  }
  return closed;
}

// The first word of the command line that names an existing file but would
// be read as options (a file name from a script's loop that begins with a
// dash: -survey.csv reads as -s urvey.csv), or "": a word in an option's
// place, not an option's value and before "--".
std::string DashedFileName(const CLI::App& app, int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--") break;
    if (word.size() < 2 || word[0] != '-') continue;
    const CLI::Option* option = app.get_option_no_throw(word);
    if (option != nullptr) {
      if (option->get_items_expected_min() > 0) ++i;  // its value may begin with a dash
      continue;
    }
    if (struct stat file{}; ::stat(word.c_str(), &file) == 0) return word;
  }
  return {};
}

int main(int argc, char** argv) {
  codebook_app::UseHugePages(argv);
  codebook_app::SetAllocatorThresholds();
  CLI::App app{kDescription, "codebook"};
  Arguments a;
  DefineOptions(app, a);
  std::set_terminate(OnTerminate);
  codebook_app::InstallSignalHandlers();
  if (const std::string name = DashedFileName(app, argc, argv); !name.empty()) {
    Fail("'" + name + "' reads as options; to name the file " + name + ", write ./" + name + " or put -- before it.");
    return 2;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    app.exit(e);
    return FlushStandardOutput() ? 0 : 2;
  } catch (const CLI::CallForVersion& e) {
    app.exit(e);
    return FlushStandardOutput() ? 0 : 2;
  } catch (const CLI::ParseError& e) {
    Fail(ExplainParseError(e, app));
    std::cerr << "Run with --help for more information.\n";
    return 2;
  }
  if (a.quiet) codebook_app::QuietNotes();
  // A file or folder named with a line feed is one name in a message, not
  // the end of one message and the start of another.
  for (const std::string* path : {&a.outputPath, &a.syntaxPath, &a.pluginPath, &a.datasetPath, &a.loadOptions.catalog,
                                  &a.writePlanPath, &a.runPlanPath, &a.planInfoPath}) {
    codebook_app::LineFeedsAreText(*path);
  }
  for (const std::string& path : a.mergeArguments) codebook_app::LineFeedsAreText(path);
  std::error_code noFolder;
  codebook_app::LineFeedsAreText(std::filesystem::current_path(noFolder).string());
  codebook_app::LineFeedsAreText(argv[0]);
  if (!CheckCombinations(a)) return 2;
  // Before any file is opened, and so that a report for a closed standard
  // output is refused now, not lost after the pass.
  const unsigned closed = HoldStandardDescriptors();
  const bool toStandardOutput =
      !a.planInfoPath.empty() || (a.writePlanPath.empty() && a.runPlanPath.empty() && a.outputPath.empty());
  if (const int named = toStandardOutput ? STDOUT_FILENO : codebook_app::DescriptorNamed(a.outputPath);
      named >= 0 && named <= STDERR_FILENO && (closed & (1u << named)) != 0) {
    Fail("cannot write to " + (toStandardOutput ? std::string("standard output") : "'" + a.outputPath + "'") +
         ": descriptor " + std::to_string(named) + " is not open.");
    return 2;
  }
  const auto standardInput = [](const std::string& path) { return path == "-" || path == kStandardInput; };
  if ((closed & (1u << STDIN_FILENO)) != 0 && (standardInput(a.datasetPath) || standardInput(a.syntaxPath))) {
    Fail("cannot read standard input: descriptor 0 is not open.");
    return 2;
  }
  if (!a.planInfoPath.empty()) return PrintPlanInfo(a.planInfoPath);

  // A destination that cannot take the output (a missing folder, a folder,
  // a read-only file) is reported now, not after a long data pass.
  if (!a.writePlanPath.empty() && codebook_app::DescriptorNamed(a.writePlanPath) >= 0) {
    Fail("--write-plan writes the plan to a file that --run-plan and --merge read; name a file, not '" +
         a.writePlanPath + "'.");
    return 2;
  }
  const std::string& destination = a.writePlanPath.empty() ? a.outputPath : a.writePlanPath;
  if (!a.writePlanPath.empty() || !a.runPlanPath.empty()) codebook_app::OnlyFilesTakeTheOutput();
  if (std::string error; !destination.empty() && !codebook_app::CheckOutputPlace(destination, error)) {
    Fail(error);
    return 2;
  }
  // A plan over a partial state, a state over a plan or a report over either
  // (a name typed for another step) would lose it without a word, as
  // --run-plan over another part's state would.
  if (!destination.empty() && codebook_app::DescriptorNamed(destination) < 0 &&
      OverwritesRunFile(destination, !a.writePlanPath.empty() ? RunFile::Plan
                                     : !a.runPlanPath.empty() ? RunFile::State
                                                              : RunFile::Report)) {
    return 2;
  }
  if (std::string error;
      destination.empty() && !codebook_app::DescriptorHasRoom(STDOUT_FILENO, "standard output", error)) {
    Fail(error);
    return 2;
  }

  // Where the output goes: standard output, another open descriptor, or a file.
  const int outputFd = a.outputPath.empty() ? STDOUT_FILENO : codebook_app::DescriptorNamed(a.outputPath);
  host::SetThreads(a.threads);
  if (!a.runPlanPath.empty()) {
    return RunPlanPart(a.runPlanPath, a.part, a.outputPath, ProgramFiles(a.pluginPath, argv[0]));
  }

  host::OutputFormat format;
  host::shards::RunFacts facts;
  // The syntax file first and the dataset second (`codebook commands.cbk
  // data.csv`) is a slip the reader's "not a dataset" would not explain.
  if (a.mergeArguments.empty() && std::filesystem::path(a.datasetPath).extension() == ".cbk") {
    Fail(a.datasetPath +
         ": a syntax file, not a dataset; name the dataset first and give the syntax file with --syntax " +
         a.datasetPath + ".");
    return 2;
  }
  if (!ChooseFormat(a, outputFd, format) || !ReadCommands(a, facts)) return 2;
  const std::shared_ptr<host::Dataset> dataset = OpenDataset(a, facts);
  if (!dataset) return 2;
  // The overview's side statistics cost the data pass time: gathered only
  // for the reports that show them (a merge of parts reads them from the
  // partial states, where every part's pass wrote them).
  dataset->profileWanted = format == host::OutputFormat::Html || format == host::OutputFormat::Markdown || a.overview;
  host::SetActiveDataset(dataset);

  // The output must not be one of the files the run reads.
  std::vector<std::string> inputs = host::DatasetFiles(*dataset);
  for (const std::string& file : inputs) codebook_app::LineFeedsAreText(file);
  if (!a.syntaxPath.empty() && a.syntaxPath != "-") inputs.push_back(a.syntaxPath);
  // Data or commands on standard input may be a file (`codebook - -o
  // data.csv < data.csv`).
  struct stat in {};
  if ((a.datasetPath == "-" || a.syntaxPath == "-") && ::fstat(STDIN_FILENO, &in) == 0 && S_ISREG(in.st_mode)) {
    inputs.emplace_back(kStandardInput);
  }
  // A new report, plan or state is kept from those who may not read the
  // data (a merge's data are the plan and the states, made so in turn).
  std::vector<std::string> sources = a.mergeArguments.empty() ? host::DatasetFiles(*dataset) : a.mergeArguments;
  if (a.datasetPath == "-" && S_ISREG(in.st_mode)) sources.emplace_back(kStandardInput);
  codebook_app::FollowSourcePermissions(sources);
  const std::vector<std::string> programFiles = ProgramFiles(a.pluginPath, argv[0]);
  if (!a.writePlanPath.empty() ? OverwritesInput(a.writePlanPath, -1, inputs, programFiles)
                               : OverwritesInput(a.outputPath, outputFd, inputs, programFiles)) {
    return 2;
  }

  // Writing a plan: the commands run over cases without cells.
  std::unique_ptr<host::shards::PlanRecorder> recorder;
  if (!a.writePlanPath.empty()) {
    // The commands are copied into the plan, but the syntax file is an input
    // of the whole run: a merge's report written over it (the Dask driver
    // passes the same --syntax and -o) would destroy it.
    struct stat syntax {};
    if (!a.syntaxPath.empty() && a.syntaxPath != "-" && ::stat(a.syntaxPath.c_str(), &syntax) == 0 &&
        S_ISREG(syntax.st_mode)) {
      dataset->files.push_back(a.syntaxPath);
    }
    try {
      recorder = std::make_unique<host::shards::PlanRecorder>(dataset);
    } catch (const host::InputError& e) {
      Fail(std::string(e.what()) + ".");
      return 2;
    }
  }

  const Procedure procedure = LoadProcedure(a.pluginPath, argv[0]);
  if (procedure == nullptr) return 2;
  // A plan's commands run over cases without cells, fed until every table
  // has shown its MAXCATS limit: a warning there (too many categories) says
  // nothing of the data. The merge gives the commands' warnings; errors in
  // the commands are shown now as well.
  MessageEcho echo(a.quiet || recorder != nullptr);
  if (!recorder && outputFd < 0 && host::CanStreamReport(format) && codebook_app::ShownOnlyWhole(a.outputPath)) {
    if (const int status = RunIntoReport(procedure, facts, a, echo, format); status != 0) return status;
  } else {
    if (!RunCommands(procedure, facts, a, echo)) return 2;
    if (recorder) return WritePlan(*recorder, a.writePlanPath, facts);
    if (!WriteReport(a, outputFd, format, facts)) return 2;
  }
  echo.Summarise(a.outputPath);
  return LeaveTheRest(host::ErrorCount() > 0 ? 1 : 0);
}
