// A progress line on standard error while a data pass takes long.
#pragma once

#include <chrono>
#include <cstdint>

namespace codebook_app {

class Progress {
 public:
  explicit Progress(bool enabled) : fEnabled(enabled) {}
  ~Progress() { Finish(); }
  // Before each command: reports begin once the pass has run about a second.
  void Start();
  // After each command: clears the line if one was shown.
  void Finish();

 private:
  void Report(std::int64_t cases, std::int64_t bytesRead, std::int64_t bytesTotal);

  bool fEnabled;
  bool fActive = false;
  bool fShown = false;
  std::chrono::steady_clock::time_point fStart;
  std::chrono::steady_clock::time_point fLast;
};

}  // namespace codebook_app
