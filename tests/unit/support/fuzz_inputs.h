// The code paths the fuzz targets drive, shared with the unit test that
// replays the inputs they found (tests/fuzz/regressions/<target>/*), so that a
// finding is re-run exactly as the fuzzer ran it.
#pragma once

#include <string>
#include <string_view>

namespace fuzzsupport {

// A per-process scratch folder (under /dev/shm when it exists).
const std::string& ScratchDir();
void WriteFile(const std::string& path, std::string_view bytes);
// Runs the commands of a syntax text (at most `limit`) with the procedure,
// renders the output in every format to a discarded stream, then forgets it.
// Data errors found during a pass are expected outcomes, not crashes.
void RunCommands(std::string_view syntax, int limit);

// What became of one input: a file that was rejected carries the message.
struct Outcome {
  bool loaded = true;
  std::string error;
};

// fuzz_command: the input is syntax, run against a fixed in-memory dataset.
Outcome RunCommandInput(std::string_view bytes);
// fuzz_csv: the input is a bare CSV file, loaded and run.
Outcome RunCsvInput(std::string_view bytes);
// fuzz_package: the input is a package descriptor beside a fixed CSV file.
Outcome RunPackageInput(std::string_view bytes);
// fuzz_foreign: the input is a Stata, SAS or SAS transport file (by its
// first bytes), loaded and run.
Outcome RunForeignInput(std::string_view bytes);
// Runs an input through the named target's path ("fuzz_command", ...).
Outcome RunTargetInput(std::string_view target, std::string_view bytes);

}  // namespace fuzzsupport
