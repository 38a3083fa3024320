#include "app/progress.h"

#include <cstdio>
#include <string>

#include "host/dataset.h"

namespace codebook_app {

namespace {

std::string Grouped(std::int64_t n) {
  std::string digits = std::to_string(n);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

}  // namespace

void Progress::Start() {
  if (!fEnabled) return;
  fActive = true;
  fShown = false;
  fStart = fLast = std::chrono::steady_clock::now();
  host::SetProgressFunction([this](std::int64_t cases, std::int64_t bytesRead, std::int64_t bytesTotal) {
    Report(cases, bytesRead, bytesTotal);
  });
}

void Progress::Report(std::int64_t cases, std::int64_t bytesRead, std::int64_t bytesTotal) {
  const auto now = std::chrono::steady_clock::now();
  const double elapsed = std::chrono::duration<double>(now - fStart).count();
  if (elapsed < 1.0 || now - fLast < std::chrono::milliseconds(200)) return;
  fLast = now;
  fShown = true;
  const double rate = elapsed > 0 ? static_cast<double>(cases) / elapsed : 0.0;
  if (bytesTotal > 0) {
    const double fraction = static_cast<double>(bytesRead) / static_cast<double>(bytesTotal);
    std::fprintf(stderr, "\rReading cases: %s (%.0f%% of the file), %s cases/s   ", Grouped(cases).c_str(),
                 fraction * 100.0, Grouped(static_cast<std::int64_t>(rate)).c_str());
  } else {
    std::fprintf(stderr, "\rReading cases: %s, %s cases/s   ", Grouped(cases).c_str(),
                 Grouped(static_cast<std::int64_t>(rate)).c_str());
  }
  std::fflush(stderr);
}

void Progress::Finish() {
  if (!fActive) return;
  fActive = false;
  host::SetProgressFunction({});
  if (fShown) {
    std::fprintf(stderr, "\r%80s\r", "");
    std::fflush(stderr);
  }
}

}  // namespace codebook_app
