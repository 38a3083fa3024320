// Value -> slot indexes for categorical counting. A slot is a small integer
// handed out in order of first sight; counts live in a plain vector indexed
// by slot, so the per-case work is one lookup and one add.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "host/common/hash.h"  // HashText

#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace host::wire {
class Writer;
class Reader;
}  // namespace host::wire

namespace host::engine {

inline constexpr std::uint32_t kNoSlot = 0xFFFFFFFFu;

// Whether x is a whole number i with 0 <= i < size (-0 is 0). A truncation
// that gives 2^63 for whatever it cannot convert (NaN, SYSMIS, infinities,
// 2^63 and beyond), which no size passes, and, being unsigned, a negative
// integer too: one comparison where the bounds took two and their branches.
inline bool WholeBelow(double x, std::uint64_t size, std::uint64_t& i) {
#if defined(__SSE2__) && defined(__x86_64__)
  const auto t = static_cast<std::uint64_t>(_mm_cvttsd_si64(_mm_set_sd(x)));
  i = t;
  return t < size && static_cast<double>(static_cast<std::int64_t>(t)) == x;
#else
  if (!(x >= 0.0 && x < static_cast<double>(size))) return false;
  i = static_cast<std::uint64_t>(x);
  return static_cast<double>(i) == x;
#endif
}

// Numbers. Small non-negative integers (the usual codes 1..k) go through a
// dense array; the first value that is not one moves every slot into an open
// addressing hash table keyed by the value's bits.
class NumericCategoryIndex {
 public:
  static constexpr std::uint32_t kDenseLimit = 1u << 16;
  static constexpr std::size_t kKeptDense = 1024;

  // The dense hit, and a hashed value found, are the per-case common paths:
  // kept inline, the rest out of line so that it does not weigh on the
  // caller. A hashed value is looked for along its whole run of probes:
  // at the table's load (a half at most) a value that is there misses its
  // first place about one time in four, and a call for each of those cost
  // more than the loop.
  [[gnu::always_inline]] std::uint32_t FindOrInsert(double x) {
    if (fDense) {
      std::uint64_t i;
      if (WholeBelow(x, fDenseSize, i) && fDenseSlots[i] != kNoSlot) return fDenseSlots[i];
    } else {
      const std::uint64_t key = KeyOf(x);
      for (std::size_t p = Hash(key) & fMask;; p = (p + 1) & fMask) {
        const std::uint32_t slot = fTableSlots[p];
        if (slot == kNoSlot) break;
        if (fKeys[p] == key) return slot;
      }
    }
    return FindOrInsertSlow(x);
  }

  [[gnu::noinline]] std::uint32_t FindOrInsertSlow(double x) {
    if (fDense) {
      if (x >= 0.0 && x < static_cast<double>(kDenseLimit)) {
        const auto i = static_cast<std::uint32_t>(x);
        if (static_cast<double>(i) == x) {
          if (i < fDenseSlots.size() && fDenseSlots[i] != kNoSlot) return fDenseSlots[i];
          return InsertDense(i);
        }
      }
      SwitchToHash();
    }
    return HashFindOrInsert(x);
  }

  std::uint32_t Find(double x) const {
    if (fDense) {
      std::uint64_t i;
      if (!WholeBelow(x, fDenseSize, i)) return kNoSlot;
      return fDenseSlots[i];
    }
    if (fKeys.empty()) return kNoSlot;
    const std::uint64_t key = KeyOf(x);
    for (std::size_t p = Hash(key) & fMask;; p = (p + 1) & fMask) {
      if (fTableSlots[p] == kNoSlot) return kNoSlot;
      if (fKeys[p] == key) return fTableSlots[p];
    }
  }

  // The lookup of a value the index has, copied out of the index: a row
  // loop that stores counts (which might be the index's members, as far as
  // the compiler knows) would otherwise read those again for every row.
  // Valid until the index changes; kNoSlot for a value it does not have or
  // would have to look up out of line.
  struct Quick {
    const std::uint32_t* denseSlots;
    std::uint64_t denseSize;
    const std::uint64_t* keys;
    const std::uint32_t* tableSlots;
    std::size_t mask;
    bool dense;

    std::uint32_t Find(double x) const { return dense ? FindDense(x) : FindHashed(x); }
    // Find for a dense index, and for a hashed one: a row loop made for
    // one of them tests no flag per row.
    std::uint32_t FindDense(double x) const {
      std::uint64_t i;
      return WholeBelow(x, denseSize, i) ? denseSlots[i] : kNoSlot;
    }
    std::uint32_t FindHashed(double x) const {
      const std::uint64_t key = KeyOf(x);
      for (std::size_t p = Hash(key) & mask;; p = (p + 1) & mask) {
        const std::uint32_t slot = tableSlots[p];
        if (slot == kNoSlot || keys[p] == key) return slot;
      }
    }
  };
  Quick QuickLookup() const {
    return {fDenseSlots.data(), fDenseSize, fKeys.data(), fTableSlots.data(), fMask, fDense || fKeys.empty()};
  }

  std::size_t Size() const { return fValues.size(); }
  double Value(std::uint32_t slot) const { return fValues[slot]; }
  bool IsDense() const { return fDense; }

  // Keeps only the values (Size and Value), for a finished index whose
  // listing is made next: the lookup (32 bytes a value when hashed) goes
  // before the listing's copies come. Clear makes it whole again.
  void DropLookup() {
    std::vector<std::uint32_t>().swap(fDenseSlots);
    std::vector<std::uint64_t>().swap(fKeys);
    std::vector<std::uint32_t>().swap(fTableSlots);
    fDense = true;
    fDenseSize = 0;
    fMask = 0;
  }

  // Empty again, as a new index, keeping the room it grew (a wide file's
  // per-block tables are reused block after block). A short dense array
  // keeps its length, every entry free: the same slots come in the same
  // order; a long one (a code near 65,535) would cost its clearing in every
  // block and goes.
  void Clear() {
    if (!fDense || fDenseSlots.size() > kKeptDense) std::vector<std::uint32_t>().swap(fDenseSlots);
    std::fill(fDenseSlots.begin(), fDenseSlots.end(), kNoSlot);
    fDense = true;
    fDenseSize = fDenseSlots.size();
    fValues.clear();
    fKeys.clear();
    fTableSlots.clear();
    fMask = 0;
  }

  // The values in slot order. Loading inserts them again into an empty index,
  // which hands out the same slots and takes the same path (dense or hashed).
  void Save(wire::Writer& out) const;
  void Load(wire::Reader& in);

 private:
  static std::uint64_t KeyOf(double x) {
    if (x == 0.0) x = 0.0;  // one key for +0 and -0
    return std::bit_cast<std::uint64_t>(x);
  }
  static std::size_t Hash(std::uint64_t key) {
    key ^= key >> 33;
    key *= 0xff51afd7ed558ccdULL;
    key ^= key >> 33;
    return static_cast<std::size_t>(key);
  }

  std::uint32_t InsertDense(std::uint32_t i) {
    if (i >= fDenseSlots.size()) {
      std::size_t n = fDenseSlots.empty() ? 16 : fDenseSlots.size();
      while (n <= i) n *= 2;
      fDenseSlots.resize(n, kNoSlot);
      fDenseSize = n;
    }
    const auto slot = static_cast<std::uint32_t>(fValues.size());
    fValues.push_back(static_cast<double>(i));
    fDenseSlots[i] = slot;
    return slot;
  }

  void SwitchToHash() {
    fDense = false;
    fDenseSlots.clear();
    fDenseSlots.shrink_to_fit();
    fDenseSize = 0;
    Rehash(fValues.size() < 8 ? 32 : fValues.size() * 4);
  }

  void Rehash(std::size_t capacity) {
    std::size_t n = std::bit_ceil(capacity);
    fKeys.assign(n, 0);
    fTableSlots.assign(n, kNoSlot);
    fMask = n - 1;
    for (std::uint32_t s = 0; s < fValues.size(); ++s) Place(KeyOf(fValues[s]), s);
  }

  void Place(std::uint64_t key, std::uint32_t slot) {
    std::size_t p = Hash(key) & fMask;
    while (fTableSlots[p] != kNoSlot) p = (p + 1) & fMask;
    fKeys[p] = key;
    fTableSlots[p] = slot;
  }

  std::uint32_t HashFindOrInsert(double x) {
    const std::uint64_t key = KeyOf(x);
    std::size_t p = Hash(key) & fMask;
    for (;; p = (p + 1) & fMask) {
      if (fTableSlots[p] == kNoSlot) break;
      if (fKeys[p] == key) return fTableSlots[p];
    }
    const auto slot = static_cast<std::uint32_t>(fValues.size());
    fValues.push_back(x == 0.0 ? 0.0 : x);
    if (fValues.size() * 2 > fKeys.size()) {
      Rehash(fKeys.size() * 2);
    } else {
      fKeys[p] = key;
      fTableSlots[p] = slot;
    }
    return slot;
  }

  bool fDense = true;
  std::vector<std::uint32_t> fDenseSlots;  // value -> slot while dense
  std::uint64_t fDenseSize = 0;            // its size
  std::vector<double> fValues;             // slot -> value
  std::vector<std::uint64_t> fKeys;        // hash table (when not dense)
  std::vector<std::uint32_t> fTableSlots;
  std::size_t fMask = 0;
};

// Whether two texts are equal; those of up to 16 bytes (codes, names,
// postcodes) without a call to the library: two loads from each, from the
// front and from the back, which overlap for shorter texts.
inline bool SameText(std::string_view a, std::string_view b) {
  const std::size_t n = a.size();
  if (n != b.size()) return false;
  const char* p = a.data();
  const char* q = b.data();
  if (n >= 8) {
    if (n > 16) return std::memcmp(p, q, n) == 0;
    std::uint64_t p0, p1, q0, q1;
    std::memcpy(&p0, p, 8);
    std::memcpy(&p1, p + n - 8, 8);
    std::memcpy(&q0, q, 8);
    std::memcpy(&q1, q + n - 8, 8);
    return ((p0 ^ q0) | (p1 ^ q1)) == 0;
  }
  if (n >= 4) {
    std::uint32_t p0, p1, q0, q1;
    std::memcpy(&p0, p, 4);
    std::memcpy(&p1, p + n - 4, 4);
    std::memcpy(&q0, q, 4);
    std::memcpy(&q1, q + n - 4, 4);
    return ((p0 ^ q0) | (p1 ^ q1)) == 0;
  }
  // 0 to 3 bytes: the first, the middle and the last are all of them.
  return n == 0 || (p[0] == q[0] && p[n / 2] == q[n / 2] && p[n - 1] == q[n - 1]);
}

// Strings (already trimmed). The bytes of every distinct value are kept once
// in an arena; the table holds slots and compares hashes before bytes. A
// million-value listing keeps two of these at once while blocks merge, so a
// value costs what it must: an 8-byte offset (its length is the distance to
// the next one) and the low 32 bits of its hash, enough to pass over nearly
// every other value before its bytes are compared.
class StringCategoryIndex {
 public:
  StringCategoryIndex() { Rehash(64); }

  std::uint32_t FindOrInsert(std::string_view s) {
    const auto h = static_cast<std::uint32_t>(HashText(s));
    std::size_t p = h & fMask;
    for (;; p = (p + 1) & fMask) {
      const std::uint32_t slot = fTable[p];
      if (slot == kNoSlot) break;
      if (fHashes[slot] == h && SameText(Value(slot), s)) return slot;
    }
    const auto slot = static_cast<std::uint32_t>(Size());
    fArena.append(s.data(), s.size());
    fBounds.push_back(fArena.size());
    fHashes.push_back(h);
    if (Size() * 2 > fTable.size()) {
      Rehash(fTable.size() * 2);
    } else {
      fTable[p] = slot;
    }
    return slot;
  }

  std::uint32_t Find(std::string_view s) const {
    const auto h = static_cast<std::uint32_t>(HashText(s));
    for (std::size_t p = h & fMask;; p = (p + 1) & fMask) {
      const std::uint32_t slot = fTable[p];
      if (slot == kNoSlot) return kNoSlot;
      if (fHashes[slot] == h && SameText(Value(slot), s)) return slot;
    }
  }

  std::size_t Size() const { return fBounds.size() - 1; }
  // Keeps only the values (Size and Value), as for numbers.
  void DropLookup() {
    std::vector<std::uint32_t>().swap(fTable);
    std::vector<std::uint32_t>().swap(fHashes);
    fMask = 0;
  }
  // Empty again keeping its room, as for numbers (also after a move).
  void Clear() {
    fArena.clear();
    fBounds.assign(1, 0);
    fHashes.clear();
    if (fTable.size() < 64) {
      Rehash(64);
    } else {
      std::fill(fTable.begin(), fTable.end(), kNoSlot);
    }
  }
  std::string_view Value(std::uint32_t slot) const {
    return std::string_view(fArena.data() + fBounds[slot], fBounds[slot + 1] - fBounds[slot]);
  }

  // The values in slot order, as for numbers.
  void Save(wire::Writer& out) const;
  void Load(wire::Reader& in);

 private:
  void Rehash(std::size_t n) {
    fTable.assign(n, kNoSlot);
    fMask = n - 1;
    for (std::uint32_t s = 0; s < Size(); ++s) {
      std::size_t p = fHashes[s] & fMask;
      while (fTable[p] != kNoSlot) p = (p + 1) & fMask;
      fTable[p] = s;
    }
  }

  std::string fArena;
  std::vector<std::size_t> fBounds{0};  // value s has the arena's bytes [fBounds[s], fBounds[s + 1])
  std::vector<std::uint32_t> fHashes;
  std::vector<std::uint32_t> fTable;
  std::size_t fMask = 0;
};

// A text of at most 7 bytes as one word: its bytes, little-endian, and its
// length in the top byte, so that no two such texts share a word. Longer
// texts get kLongText, which no short text has (their top byte is at most 7).
inline constexpr std::uint64_t kLongText = ~std::uint64_t{0} - 1;
inline std::uint64_t ShortTextKey(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  std::uint64_t v = 0;
  if (n >= 8) return kLongText;
  if (n >= 4) {
    // Two loads that overlap when n < 8: the bytes they share are the same.
    std::uint32_t a;
    std::uint32_t b;
    std::memcpy(&a, p, 4);
    std::memcpy(&b, p + n - 4, 4);
    v = a | (static_cast<std::uint64_t>(b) << (8 * (n - 4)));
  } else if (n > 0) {
    v = p[0] | (static_cast<std::uint64_t>(p[n / 2]) << (8 * (n / 2))) |
        (static_cast<std::uint64_t>(p[n - 1]) << (8 * (n - 1)));
  }
  return v | (static_cast<std::uint64_t>(n) << 56);
}

// The slots of the short texts a column met last, in a small direct-mapped
// table: a column of a few distinct short texts (codes, answers) finds a
// row's slot by one word compared instead of a hash, a probe and a byte
// comparison. Made for one column of one block (a local of the row loop);
// it leaves the index as it is, so slots are handed out as without it. A
// column with many distinct texts turns it off, where it would only miss.
class RecentTexts {
 public:
  RecentTexts() { std::fill(std::begin(fKeys), std::end(fKeys), kEmpty); }

  // What the index said for `key` (kNoSlot too, for a fixed index), or
  // false when the table does not have it.
  bool Find(std::uint64_t key, std::uint32_t& slot) const {
    const std::size_t at = Place(key);
    if (fKeys[at] != key) return false;
    slot = fSlots[at];
    return true;
  }
  void Note(std::uint64_t key, std::uint32_t slot) {
    if (key == kLongText) return;
    const std::size_t at = Place(key);
    fKeys[at] = key;
    fSlots[at] = slot;
  }
  // Worth asking while the index holds few texts.
  static bool Useful(std::size_t distinct) { return distinct <= kUseful; }

 private:
  static constexpr std::size_t kSize = 32;
  static constexpr std::size_t kUseful = 64;
  static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};  // neither a short text's word nor kLongText
  static std::size_t Place(std::uint64_t key) { return static_cast<std::size_t>((key * 0x9e3779b97f4a7c15ULL) >> 59); }

  std::uint64_t fKeys[kSize];
  std::uint32_t fSlots[kSize];
};

}  // namespace host::engine
