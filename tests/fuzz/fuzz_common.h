// Shared pieces of the fuzz targets: a scratch folder in memory and a run of
// commands against the active dataset that keeps every outcome contained.
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

}  // namespace fuzzsupport
