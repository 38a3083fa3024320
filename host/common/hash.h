// The hash of texts that tables of texts (category indexes, the string
// value pool) use.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace host {

// A hash of a text's bytes, for tables of texts. The texts are mostly short
// (codes, names, postcodes), for which the library's general hash spends more on its set-up
// than on the bytes: here eight bytes at a time, the last eight read
// overlapping those before (the length is hashed too), then a 64-bit
// finaliser, so that the low bits a table uses depend on every byte.
inline std::uint64_t HashText(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  std::size_t n = s.size();
  const auto load8 = [](const unsigned char* q) {
    std::uint64_t v;
    std::memcpy(&v, q, 8);
    return v;
  };
  const auto mix = [](std::uint64_t h, std::uint64_t v) {
    h = (h ^ v) * 0xff51afd7ed558ccdULL;
    return h ^ (h >> 32);
  };
  std::uint64_t h = 0x9e3779b97f4a7c15ULL ^ (static_cast<std::uint64_t>(n) * 0xc2b2ae3d27d4eb4fULL);
  if (n >= 8) {
    for (; n > 8; p += 8, n -= 8) h = mix(h, load8(p));
    h = mix(h, load8(p + n - 8));
  } else if (n >= 4) {
    std::uint32_t a;
    std::uint32_t b;
    std::memcpy(&a, p, 4);
    std::memcpy(&b, p + n - 4, 4);
    h = mix(h, (static_cast<std::uint64_t>(a) << 32) | b);
  } else if (n > 0) {
    h = mix(h, p[0] | (static_cast<std::uint64_t>(p[n / 2]) << 8) | (static_cast<std::uint64_t>(p[n - 1]) << 16));
  }
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  return h ^ (h >> 33);
}

}  // namespace host
