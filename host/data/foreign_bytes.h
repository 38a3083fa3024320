// Reading a Stata or SAS file's own bytes where ReadStat does not say what
// the host needs (where rows lie, what follows the last record).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace host::foreign {

// An n-byte whole number in the file's byte order.
inline std::uint64_t Unsigned(const unsigned char* p, std::size_t n, bool bigEndian) {
  std::uint64_t x = 0;
  for (std::size_t i = 0; i < n; ++i) {
    x |= static_cast<std::uint64_t>(p[bigEndian ? n - 1 - i : i]) << (8 * i);
  }
  return x;
}

// A file open for reading at given offsets; closed on leaving.
class File {
 public:
  explicit File(const std::string& path) : f(std::fopen(path.c_str(), "rb")) {}
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File() {
    if (f != nullptr) std::fclose(f);
  }
  // n bytes at `at`, all of them or false.
  bool Read(std::int64_t at, void* into, std::size_t n) {
    return f != nullptr && at >= 0 && ::fseeko(f, at, SEEK_SET) == 0 && std::fread(into, 1, n, f) == n;
  }
  std::FILE* f;
};

}  // namespace host::foreign
