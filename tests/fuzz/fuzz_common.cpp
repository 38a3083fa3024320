#include "fuzz_common.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "codebook/procedure.h"
#include "host/command.h"
#include "host/dataset.h"
#include "host/document.h"

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
  for (host::OutputFormat format : {host::OutputFormat::Text, host::OutputFormat::Json, host::OutputFormat::Html,
                                    host::OutputFormat::Markdown}) {
    host::Render(host::Output(), format, sink, options);
  }
  host::ResetOutput();
}

}  // namespace fuzzsupport
