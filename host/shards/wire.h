// The byte layout of plans and partial states: little-endian integers,
// doubles as their IEEE 754 bits, lengths before strings and arrays. A
// Writer appends to a string; a Reader reads from a view and throws Damaged
// on anything that runs past the end, so that a cut or corrupted record is
// an error, not a crash.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace host::wire {

// Bytes that do not hold what the writer wrote.
class Damaged : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Writer {
 public:
  void U8(std::uint8_t v) { fOut.push_back(static_cast<char>(v)); }
  void Bool(bool v) { U8(v ? 1 : 0); }
  void U32(std::uint32_t v) { Little(v, 4); }
  void U64(std::uint64_t v) { Little(v, 8); }
  void I64(std::int64_t v) { U64(static_cast<std::uint64_t>(v)); }
  void F64(double v) { U64(std::bit_cast<std::uint64_t>(v)); }
  void Count(std::size_t n) { U64(n); }
  void Bytes(std::string_view s) {
    Count(s.size());
    fOut.append(s.data(), s.size());
  }
  void F64s(const std::vector<double>& values) {
    Count(values.size());
    if constexpr (std::endian::native == std::endian::little) {
      fOut.append(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(double));
    } else {
      for (double v : values) F64(v);
    }
  }
  void U32s(const std::vector<std::uint32_t>& values) {
    Count(values.size());
    for (std::uint32_t v : values) U32(v);
  }
  void Strings(const std::vector<std::string>& values) {
    Count(values.size());
    for (const std::string& s : values) Bytes(s);
  }

  std::string& Buffer() { return fOut; }
  std::size_t Size() const { return fOut.size(); }

 private:
  void Little(std::uint64_t v, int bytes) {
    char b[8];
    for (int i = 0; i < bytes; ++i) b[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    fOut.append(b, static_cast<std::size_t>(bytes));
  }

  std::string fOut;
};

class Reader {
 public:
  explicit Reader(std::string_view data) : fData(data) {}

  std::uint8_t U8() { return static_cast<std::uint8_t>(Take(1)[0]); }
  bool Bool() {
    const std::uint8_t v = U8();
    if (v > 1) throw Damaged("a flag holds " + std::to_string(v));
    return v == 1;
  }
  std::uint32_t U32() { return static_cast<std::uint32_t>(Little(4)); }
  std::uint64_t U64() { return Little(8); }
  std::int64_t I64() { return static_cast<std::int64_t>(U64()); }
  double F64() { return std::bit_cast<double>(U64()); }
  // A count of elements of `size` bytes each that must still be there.
  std::size_t Count(std::size_t size) {
    const std::uint64_t n = U64();
    if (size > 0 && n > Remaining() / size) throw Damaged("a length runs past the end");
    return static_cast<std::size_t>(n);
  }
  std::string_view View() {
    const std::size_t n = Count(1);
    return Take(n);
  }
  std::string String() { return std::string(View()); }
  std::vector<double> F64s() {
    const std::size_t n = Count(8);
    std::vector<double> out(n);
    if constexpr (std::endian::native == std::endian::little) {
      const std::string_view bytes = Take(n * 8);
      if (n > 0) std::memcpy(out.data(), bytes.data(), n * 8);
    } else {
      for (double& v : out) v = F64();
    }
    return out;
  }
  std::vector<std::uint32_t> U32s() {
    const std::size_t n = Count(4);
    std::vector<std::uint32_t> out(n);
    for (std::uint32_t& v : out) v = U32();
    return out;
  }
  std::vector<std::string> Strings() {
    const std::size_t n = Count(8);
    std::vector<std::string> out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) out.push_back(String());
    return out;
  }

  std::size_t Remaining() const { return fData.size() - fPos; }
  bool AtEnd() const { return fPos == fData.size(); }
  // Throws unless everything was read.
  void ExpectEnd() const {
    if (!AtEnd()) throw Damaged(std::to_string(Remaining()) + " bytes more than expected");
  }

 private:
  std::string_view Take(std::size_t n) {
    if (n > Remaining()) throw Damaged("the data end too soon");
    const std::string_view out = fData.substr(fPos, n);
    fPos += n;
    return out;
  }
  std::uint64_t Little(int bytes) {
    const std::string_view b = Take(static_cast<std::size_t>(bytes));
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(b[static_cast<std::size_t>(i)]);
    return v;
  }

  std::string_view fData;
  std::size_t fPos = 0;
};

}  // namespace host::wire
