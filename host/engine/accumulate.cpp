#include "host/engine/accumulate.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <type_traits>

#include "host/check.h"
#include "host/common/thread_room.h"
#include "host/obs.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace host::engine {

namespace {

// A case enters a table only with a positive weight: missing (SYSMIS is
// negative), zero, negative and NaN weights keep it out.
inline bool Enters(double w) { return w > 0.0; }

// A variable's column as a key type reads it (its numbers or its strings),
// and the key of one row of it.
template <class Key>
auto ColumnOf(const CaseBlock& block, const ColumnRule& m) {
  const auto v = static_cast<std::size_t>(m.index);
  if constexpr (std::is_same_v<Key, double>) {
    return block.numbers[v].data();
  } else {
    return &block.strings[v];
  }
}
inline double KeyAt(const double* numbers, std::size_t r) { return numbers[r]; }
inline std::string_view KeyAt(const StringColumn* strings, std::size_t r) { return strings->Cell(r); }

// sum.Add(x) when `take`, else nothing, bit for bit, without a branch: for
// loops in which whether to add is a coin toss.
inline void AddIf(CompensatedSum& sum, double x, bool take) {
  CompensatedSum next = sum;
  next.Add(x);
  const std::uint64_t keep = 0 - static_cast<std::uint64_t>(take);
  const auto pick = [keep](double a, double b) {
    return std::bit_cast<double>((std::bit_cast<std::uint64_t>(a) & keep) | (std::bit_cast<std::uint64_t>(b) & ~keep));
  };
  sum.sum = pick(next.sum, sum.sum);
  sum.carry = pick(next.carry, sum.carry);
}

// A text's slot, through the texts the column met last while its index
// holds few (see RecentTexts): the same slot the index gives, and the index
// is asked, and so grows, exactly when it would be without them.
template <bool kFixed>
inline std::uint32_t TextSlot(StringCategoryIndex& index, RecentTexts& recent, bool& useRecent, std::string_view x) {
  if (!useRecent) return kFixed ? index.Find(x) : index.FindOrInsert(x);
  const std::uint64_t key = ShortTextKey(x);
  std::uint32_t slot;
  if (recent.Find(key, slot)) return slot;
  slot = kFixed ? index.Find(x) : index.FindOrInsert(x);
  recent.Note(key, slot);
  useRecent = RecentTexts::Useful(index.Size());
  return slot;
}

// Adding +0 leaves a finite sum and its carry as they were, unless either
// is -0 (no addend here is, so no error or carry becomes one): a count for
// which this holds can take the weight or +0 for every row, which keeps only
// the sum's own chain from row to row.
inline bool PlainForZeros(const CompensatedSum& sum) {
  return !std::signbit(sum.sum) && std::isfinite(sum.sum) && !(sum.carry == 0.0 && std::signbit(sum.carry));
}
inline double WeightIf(double w, bool take) {
  return std::bit_cast<double>(std::bit_cast<std::uint64_t>(w) & (0 - static_cast<std::uint64_t>(take)));
}

// One numeric dichotomy member's count by selects (AddIf): right whatever
// the count held before, and after an overflow.
void CountDichotomyBySelects(const double* column, double value, const double* weights, std::size_t begin,
                             std::size_t end, CompensatedSum& sum, std::uint8_t* any) {
  CompensatedSum count = sum;
  for (std::size_t r = begin; r < end; ++r) {
    const double w = weights ? weights[r] : 1.0;
    const bool hit = Enters(w) & (column[r] == value);
    AddIf(count, w, hit);
    any[r - begin] |= hit ? 1 : 0;
  }
  sum = count;
}

// Up to this many numeric dichotomy members are counted in one row loop:
// the row's weight read and tested once for all of them, their sums in
// registers.
constexpr std::size_t kDichotomyGroup = 4;

// kMembers members' counts (each PlainForZeros) over rows [begin, end): each
// takes the row's weight where it holds `value` and +0 elsewhere, in row
// order, as in a loop of its own.
template <std::size_t kMembers>
void CountDichotomies(const double* const* columns, double value, const double* weights, std::size_t begin,
                      std::size_t end, CompensatedSum* sums, std::uint8_t* any) {
  CompensatedSum s[kMembers];
  const double* c[kMembers];
  for (std::size_t k = 0; k < kMembers; ++k) {
    s[k] = sums[k];
    c[k] = columns[k];
  }
  for (std::size_t r = begin; r < end; ++r) {
    const double w = weights ? weights[r] : 1.0;
    const bool enters = Enters(w);
    std::uint8_t hits = 0;
    for (std::size_t k = 0; k < kMembers; ++k) {
      const bool hit = enters & (c[k][r] == value);
      s[k].Add(WeightIf(w, hit));
      hits |= hit ? 1 : 0;
    }
    any[r - begin] |= hits;
  }
  for (std::size_t k = 0; k < kMembers; ++k) sums[k] = s[k];
}

#if defined(__SSE2__)
// Two members to a vector, each lane a member's sum and carry: a lane's
// additions are those of the member's own loop, bit for bit (the same
// operations, rounded alike), and the mask that picks the weight or +0 is
// the comparison itself, without a trip through the integer registers.
template <>
void CountDichotomies<4>(const double* const* columns, double value, const double* weights, std::size_t begin,
                         std::size_t end, CompensatedSum* sums, std::uint8_t* any) {
  __m128d sumA = _mm_set_pd(sums[1].sum, sums[0].sum);
  __m128d carryA = _mm_set_pd(sums[1].carry, sums[0].carry);
  __m128d sumB = _mm_set_pd(sums[3].sum, sums[2].sum);
  __m128d carryB = _mm_set_pd(sums[3].carry, sums[2].carry);
  const double* const c0 = columns[0];
  const double* const c1 = columns[1];
  const double* const c2 = columns[2];
  const double* const c3 = columns[3];
  const __m128d counted = _mm_set1_pd(value);
  const __m128d zero = _mm_setzero_pd();
  const auto add = [](__m128d& sum, __m128d& carry, __m128d x) {
    const __m128d t = _mm_add_pd(sum, x);
    const __m128d z = _mm_sub_pd(t, sum);
    carry = _mm_add_pd(carry, _mm_add_pd(_mm_sub_pd(sum, _mm_sub_pd(t, z)), _mm_sub_pd(x, z)));
    sum = t;
  };
  for (std::size_t r = begin; r < end; ++r) {
    const __m128d w = _mm_set1_pd(weights ? weights[r] : 1.0);
    const __m128d enters = _mm_cmpgt_pd(w, zero);
    const __m128d hitA = _mm_and_pd(enters, _mm_cmpeq_pd(_mm_set_pd(c1[r], c0[r]), counted));
    const __m128d hitB = _mm_and_pd(enters, _mm_cmpeq_pd(_mm_set_pd(c3[r], c2[r]), counted));
    add(sumA, carryA, _mm_and_pd(hitA, w));
    add(sumB, carryB, _mm_and_pd(hitB, w));
    any[r - begin] |= _mm_movemask_pd(_mm_or_pd(hitA, hitB)) != 0 ? 1 : 0;
  }
  const auto store = [](__m128d sum, __m128d carry, CompensatedSum* pair) {
    double s[2];
    double c[2];
    _mm_storeu_pd(s, sum);
    _mm_storeu_pd(c, carry);
    for (int lane = 0; lane < 2; ++lane) {
      pair[lane].sum = s[lane];
      pair[lane].carry = c[lane];
    }
  };
  store(sumA, carryA, sums);
  store(sumB, carryB, sums + 2);
}
#endif

// A weighted block's rows counted in its weight codes (see BlockEntry): a
// whole number of the codes' unit per slot, in a room this thread keeps for
// the next column, added onto the counts once at the end (each rounded
// once) with the missing rows' tally. A variable's and a set's counts alike.
class CodedTallies {
 public:
  // Zeroed for `slots` slots when the rows are coded; not used otherwise.
  CodedTallies(bool coded, std::size_t slots) : fRoom(RoomOf(tKept)) {
    if (coded) fRoom.assign(slots, 0);
  }
  std::int64_t* Data() { return fRoom.data(); }
  // A new slot's tally, zero; what Data() gave may have moved.
  std::int64_t* AddSlot() {
    fRoom.push_back(0);
    return fRoom.data();
  }
  void AddTo(std::vector<CompensatedSum>& counts, CompensatedSum& missing, std::int64_t missingTally,
             double unit) const {
    for (std::size_t s = 0; s < counts.size(); ++s) AddTally(counts[s], fRoom[s], unit);
    AddTally(missing, missingTally, unit);
  }

 private:
  static inline thread_local std::vector<std::int64_t>* tKept = nullptr;
  std::vector<std::int64_t>& fRoom;
};

// The members of a set whose cells can be read, in order.
std::vector<const ColumnRule*> UsableMembers(const DimensionRule& rule) {
  std::vector<const ColumnRule*> members;
  for (const ColumnRule& m : rule.members) {
    if (m.usable) members.push_back(&m);
  }
  return members;
}

}  // namespace

void TableRules::MarkColumns(std::vector<std::uint8_t>& needed) const {
  auto mark = [&needed](const ColumnRule& c) {
    if (c.known && c.index >= 0 && static_cast<std::size_t>(c.index) < needed.size()) {
      needed[static_cast<std::size_t>(c.index)] = 1;
    }
  };
  if (dimension) {
    for (const ColumnRule& m : dimension->members) mark(m);
  }
  for (const ScaleRule& s : scales) mark(s.column);
}

// ---------------------------------------------------------------- entry

void BlockEntry::Add(const double* weights, std::size_t begin, std::size_t end, std::uint64_t& cases,
                     CompensatedSum& total) {
  std::uint64_t n = 0;
  CompensatedSum t = total;
  for (std::size_t r = begin; r < end; ++r) {
    const double w = weights[r];
    if (!Enters(w)) continue;
    ++n;
    t.Add(w);
  }
  cases += n;
  total = t;
}

BlockEntry BlockEntry::Of(const CaseBlock& block) {
  BlockEntry entry;
  Add(block.weights.data(), 0, block.rows, entry.cases, entry.total);
  // The codes live in this thread's room until it makes the next block's:
  // the tables read them while this thread gathers the block (those that
  // other readers take, too, before it goes on).
  thread_local std::vector<std::int32_t>* codesRoom = nullptr;
  std::vector<std::int32_t>& codes = RoomOf(codesRoom);
  std::int64_t sum = 0;
  if (Code(block.weights.data(), 0, block.rows, codes, entry.unit, sum)) {
    entry.codes = codes.data();
    AddTally(entry.codedTotal, sum, entry.unit);
  }
  return entry;
}

bool BlockEntry::Code(const double* weights, std::size_t begin, std::size_t end, std::vector<std::int32_t>& codes,
                      double& unit, std::int64_t& sum) {
  static constexpr double kUnits[kMostDecimals + 1] = {1.0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6};
  static constexpr std::int64_t kLimit = std::int64_t{1} << 31;
  // Sums of 31-bit codes stay below 2^62.
  if (end - begin >= (std::size_t{1} << 31)) return false;
  if (codes.size() < end) codes.resize(end);
  // The fewest digits that read every weight: a weight that reads as a
  // decimal of d digits reads as one of more digits too, so the unit grows
  // only when a row needs it, and the rows before are scaled to it. Whether
  // the block is coded thus depends on its weights alone.
  int d = 0;
  std::int64_t total = 0;
  for (std::size_t r = begin; r < end;) {
    const double w = weights[r];
    if (!Enters(w)) {
      codes[r++] = 0;
      continue;
    }
    const double scaled = w * kUnits[d];
    if (!(scaled < 0x1p31)) return false;
    // Rounded to the nearest whole number (scaled is below 2^31).
    const double k = (scaled + 0x1p52) - 0x1p52;
    // k / unit is the double nearest the decimal k / 10^d, so w is that
    // decimal's reading; a weight below half a unit gives 0 and fails.
    if (k / kUnits[d] == w) {
      const auto code = static_cast<std::int32_t>(k);
      codes[r++] = code;
      total += code;
      continue;
    }
    if (d == kMostDecimals) return false;
    ++d;  // this row again, in a unit ten times finer
    total = 0;
    for (std::size_t i = begin; i < r; ++i) {
      const std::int64_t code = std::int64_t{codes[i]} * 10;
      if (code >= kLimit) return false;
      codes[i] = static_cast<std::int32_t>(code);
      total += code;
    }
  }
  unit = kUnits[d];
  sum = total;
  return true;
}

void AddTally(CompensatedSum& sum, std::int64_t tally, double unit) {
  const auto add = [&](std::int64_t part) {
    const auto x = static_cast<double>(part);  // exact: at most 53 significant bits
    const double q = x / unit;
    // The remainder of a correctly rounded division is a double, and the
    // fused multiply-add gives it exactly.
    const double r = std::fma(-q, unit, x);
    sum.Add(q);
    sum.carry += r / unit;
  };
  if (tally == 0) return;
  if (tally < (std::int64_t{1} << 53)) {
    add(tally);
    return;
  }
  const std::int64_t low = tally & ((std::int64_t{1} << 20) - 1);
  add(tally - low);
  add(low);
}

// ---------------------------------------------------------------- dimension

DimensionCounts::DimensionCounts(const DimensionRule& rule) {
  if (rule.kind == DimensionKind::DichotomySet) {
    fCounts.resize(rule.members.size());
    fFirstRow.resize(rule.members.size(), 0);
    return;
  }
  if (!rule.fixed) return;
  // Pre-defined categories take the first slots, in the order given; a
  // repeated value keeps its first position.
  if (rule.isString) {
    for (const std::string& s : rule.predefinedStrings) (void)fStrings.FindOrInsert(s);
    fCounts.resize(fStrings.Size());
  } else {
    for (double x : rule.predefinedNumbers) (void)fNumbers.FindOrInsert(x);
    fCounts.resize(fNumbers.Size());
  }
  fFirstRow.resize(fCounts.size(), 0);
}

void DimensionCounts::Reset(const DimensionRule& rule) {
  // Every member a count or a total; the index and the count lists keep
  // their room.
  fMissing = {};
  fTotal = {};
  fFixedSeen = 0;
  fCases = 0;
  if (rule.kind != DimensionKind::DichotomySet && !rule.fixed) {
    fNumbers.Clear();
    fStrings.Clear();
    fCounts.clear();
    fFirstRow.clear();
    return;
  }
  // Slots fixed by the rule (members, pre-defined values) stay with their
  // index; moved from (the first block merged), or without any, all is
  // made again.
  if (fCounts.empty()) {
    *this = DimensionCounts(rule);
    return;
  }
  std::fill(fCounts.begin(), fCounts.end(), CompensatedSum{});
  std::fill(fFirstRow.begin(), fFirstRow.end(), 0);
}

std::uint32_t DimensionCounts::NewSlot(std::uint32_t row) {
  fCounts.emplace_back();
  fFirstRow.push_back(row);
  return static_cast<std::uint32_t>(fCounts.size() - 1);
}

// Whether each slot's value is user-missing, worked out once per slot
// rather than once per case: the test depends on the value alone, and a slot
// holds one value (a number's bits, +0 and -0 aside, which the test does not
// tell apart; a text's bytes).
template <class Key>
std::vector<std::uint8_t> DimensionCounts::MissingSlots(const ColumnRule& m) const {
  std::vector<std::uint8_t> missingSlot(fCounts.size());
  for (std::uint32_t s = 0; s < missingSlot.size(); ++s) {
    if constexpr (std::is_same_v<Key, double>) {
      missingSlot[s] = m.IsUserMissing(fNumbers.Value(s)) ? 1 : 0;
    } else {
      missingSlot[s] = m.IsUserMissing(fStrings.Value(s)) ? 1 : 0;
    }
  }
  return missingSlot;
}

void DimensionCounts::AddVariable(const DimensionRule& rule, const CaseBlock& block, std::size_t begin, std::size_t end,
                                  const BlockEntry* entry) {
  const ColumnRule& m = rule.members.front();
  const double* weights = block.weights.empty() ? nullptr : block.weights.data();
  if (!m.usable) {
    // Nothing to read: every entering case is missing.
    for (std::size_t r = begin; r < end; ++r) {
      const double w = weights ? weights[r] : 1.0;
      if (!Enters(w)) continue;
      fMissing.Add(w);
    }
    return;
  }
  const auto count = [&]<class Key, bool kFixed>() {
    const BlockEntry* coded = entry != nullptr && entry->codes != nullptr ? entry : nullptr;
    if (weights == nullptr) {
      if (m.checkMissing) {
        CountColumn<Key, kFixed, true, false>(m, block, weights, begin, end, nullptr);
      } else {
        CountColumn<Key, kFixed, false, false>(m, block, weights, begin, end, nullptr);
      }
    } else if (m.checkMissing) {
      CountColumn<Key, kFixed, true, true>(m, block, weights, begin, end, coded);
    } else {
      CountColumn<Key, kFixed, false, true>(m, block, weights, begin, end, coded);
    }
  };
  if (rule.isString) {
    if (rule.fixed) {
      count.template operator()<std::string_view, true>();
    } else {
      count.template operator()<std::string_view, false>();
    }
  } else if (rule.fixed) {
    count.template operator()<double, true>();
  } else {
    count.template operator()<double, false>();
  }
}

// One column of a variable dimension, with the column's type, whether its
// categories are pre-defined, whether it has user-missing values and whether
// the cases are weighted fixed at compile time: the row loop keeps only the
// tests that depend on the row. Unweighted counts are whole numbers, which a
// plain sum keeps exact (the compensated sum would add nothing to its
// carry), and so is the missing count; weighted ones are compensated, or,
// for a column without pre-defined categories whose rows have their weights'
// codes (`coded`, see BlockEntry), whole numbers of the codes' unit summed
// per slot and divided once at the end: exact, and an integer addition a row
// instead of a compensated one.
template <class Key, bool kFixed, bool kCheck, bool kWeighted>
void DimensionCounts::CountColumn(const ColumnRule& m, const CaseBlock& block, const double* weights, std::size_t begin,
                                  std::size_t end, const BlockEntry* coded) {
  constexpr bool kCodable = kWeighted && !kFixed;
  const std::int32_t* const codes = kCodable && coded != nullptr ? coded->codes : nullptr;
  const auto column = ColumnOf<Key>(block, m);
  std::vector<std::uint8_t> missingSlot;
  if constexpr (kCheck) missingSlot = MissingSlots<Key>(m);
  // The running totals and the slots' places in locals: the counts' stores
  // could otherwise alias them, and they would go through memory on every
  // row.
  CompensatedSum missingWeight = fMissing;
  std::uint64_t missingCases = 0;
  std::int64_t missingTally = 0;
  const auto addMissing = [&](double w, std::size_t r) {
    if constexpr (kCodable) {
      if (codes != nullptr) {
        missingTally += codes[r];
        return;
      }
    }
    if constexpr (kWeighted) {
      missingWeight.Add(w);
    } else {
      ++missingCases;
    }
  };
  CompensatedSum* counts = fCounts.data();
  const std::uint8_t* slotMissing = missingSlot.data();
  auto slots = static_cast<std::uint32_t>(fCounts.size());
  CodedTallies tallied(codes != nullptr, slots);
  std::int64_t* tallies = codes != nullptr ? tallied.Data() : nullptr;
  RecentTexts recent;
  bool useRecent = RecentTexts::Useful(fStrings.Size());
  if constexpr (std::is_same_v<Key, double> && kFixed) {
    // Pre-defined categories: the index never grows, so every row is
    // looked up without a call, in one loop that no row leaves (a row that
    // is no category is tested for user-missing here, as below). The same
    // additions in the same order as the loop below.
    const NumericCategoryIndex::Quick quick = fNumbers.QuickLookup();
    const std::uint8_t* const missingOf = slotMissing;
    CompensatedSum missingRun = missingWeight;
    std::uint64_t missingRunCases = missingCases;
    const auto rows = [&]<bool kDense>() {
      for (std::size_t r = begin; r < end; ++r) {
        double w = 1.0;
        if constexpr (kWeighted) {
          w = weights[r];
          if (!Enters(w)) continue;
        }
        const double x = column[r];
        std::uint32_t slot = kDense ? quick.FindDense(x) : quick.FindHashed(x);
        if (x == SYSMIS) slot = kNoSlot;  // never a category
        bool missing = false;
        if (slot >= slots) {
          missing = x == SYSMIS || (kCheck && m.IsUserMissing(x));
        } else {
          if (counts[slot].sum == 0.0) [[unlikely]] {
            ++fFixedSeen;
            fFirstRow[slot] = static_cast<std::uint32_t>(r);
          }
          if constexpr (kCheck) missing = missingOf[slot] != 0;
        }
        if (missing) {
          if constexpr (kWeighted) {
            missingRun.Add(w);
          } else {
            ++missingRunCases;
          }
        }
        if (slot >= slots) continue;
        if constexpr (kWeighted) {
          counts[slot].AddInPlace(w);
        } else {
          counts[slot].sum += 1.0;
        }
      }
    };
    if (quick.dense) {
      rows.template operator()<true>();
    } else {
      rows.template operator()<false>();
    }
    missingWeight = missingRun;
    missingCases = missingRunCases;
    begin = end;
  }
  for (std::size_t r = begin; r < end; ++r) {
    if constexpr (std::is_same_v<Key, double> && !kFixed) {
      // Rows whose value has its slot already, found without a call, in a
      // loop of their own: a call anywhere in a loop (a new value's insert)
      // makes the compiler keep its running sums and the row's weight and
      // value in memory for every row. The first row that needs more leaves
      // it for the loop below, which takes it as before.
      const NumericCategoryIndex::Quick quick = fNumbers.QuickLookup();
      const std::uint32_t known = slots;
      const std::uint8_t* const missingOf = slotMissing;
      CompensatedSum missingRun = missingWeight;
      std::uint64_t missingRunCases = missingCases;
      std::int64_t missingRunTally = missingTally;
      std::int64_t* const tally = tallies;
      // Made for a dense index or a hashed one, and for codes or weights,
      // so that no row tests which.
      const auto knownRows = [&]<bool kDense, bool kCoded>() {
        for (; r < end; ++r) {
          [[maybe_unused]] double w = 1.0;
          [[maybe_unused]] std::int64_t k = 0;
          if constexpr (kCoded) {
            k = codes[r];
            if (k == 0) continue;  // the case does not enter
          } else if constexpr (kWeighted) {
            w = weights[r];
            if (!Enters(w)) continue;
          }
          const double x = column[r];
          const std::uint32_t slot = kDense ? quick.FindDense(x) : quick.FindHashed(x);
          if (slot >= known) {
            // SYSMIS, which is never given a slot, is tested only here,
            // off the path of the rows that find theirs.
            if (x != SYSMIS) break;
            if constexpr (kCoded) {
              missingRunTally += k;
            } else if constexpr (kWeighted) {
              missingRun.Add(w);
            } else {
              ++missingRunCases;
            }
            continue;
          }
          if constexpr (kCheck) {
            if (missingOf[slot] != 0) {
              if constexpr (kCoded) {
                missingRunTally += k;
              } else if constexpr (kWeighted) {
                missingRun.Add(w);
              } else {
                ++missingRunCases;
              }
            }
          }
          if constexpr (kCoded) {
            tally[slot] += k;
          } else if constexpr (kWeighted) {
            counts[slot].AddInPlace(w);
          } else {
            counts[slot].sum += 1.0;
          }
        }
      };
      if (codes != nullptr) {
        if constexpr (kCodable) {
          if (quick.dense) {
            knownRows.template operator()<true, true>();
          } else {
            knownRows.template operator()<false, true>();
          }
        }
      } else if (quick.dense) {
        knownRows.template operator()<true, false>();
      } else {
        knownRows.template operator()<false, false>();
      }
      missingWeight = missingRun;
      missingCases = missingRunCases;
      missingTally = missingRunTally;
      if (r == end) break;
    }
    double w = 1.0;
    if constexpr (kWeighted) {
      w = weights[r];
      if (!Enters(w)) continue;
    }
    const Key x = KeyAt(column, r);
    if constexpr (std::is_same_v<Key, double>) {
      if (x == SYSMIS) {
        addMissing(w, r);
        continue;
      }
    }
    std::uint32_t slot;
    if constexpr (std::is_same_v<Key, double>) {
      slot = kFixed ? fNumbers.Find(x) : fNumbers.FindOrInsert(x);
    } else {
      slot = TextSlot<kFixed>(fStrings, recent, useRecent, x);
    }
    if constexpr (kFixed) {
      if (slot == kNoSlot) {
        // Not one of the categories, but it may still be missing.
        if constexpr (kCheck) {
          if (m.IsUserMissing(x)) addMissing(w, r);
        }
        continue;
      }
      if (counts[slot].sum == 0.0) {
        ++fFixedSeen;
        fFirstRow[slot] = static_cast<std::uint32_t>(r);
      }
    } else if (slot == slots) {
      NewSlot(static_cast<std::uint32_t>(r));
      if constexpr (kCheck) {
        missingSlot.push_back(m.IsUserMissing(x) ? 1 : 0);
        slotMissing = missingSlot.data();
      }
      counts = fCounts.data();
      if (codes != nullptr) tallies = tallied.AddSlot();
      ++slots;
    }
    if constexpr (kCheck) {
      if (slotMissing[slot] != 0) addMissing(w, r);
    }
    if constexpr (kCodable) {
      if (codes != nullptr) {
        tallies[slot] += codes[r];
        continue;
      }
    }
    if constexpr (kWeighted) {
      counts[slot].AddInPlace(w);
    } else {
      counts[slot].sum += 1.0;
    }
  }
  if (codes != nullptr) tallied.AddTo(fCounts, missingWeight, missingTally, coded->unit);
  if constexpr (kWeighted) {
    fMissing = missingWeight;
  } else if (missingCases > 0) {
    fMissing.Add(static_cast<double>(missingCases));
  }
}

void DimensionCounts::AddCategorySet(const DimensionRule& rule, const CaseBlock& block, std::size_t begin,
                                     std::size_t end, const BlockEntry* entry) {
  const BlockEntry* coded = entry != nullptr && entry->codes != nullptr ? entry : nullptr;
  if (rule.isString) {
    if (rule.fixed) {
      CountSet<std::string_view, true>(rule, block, begin, end, nullptr);
    } else {
      CountSet<std::string_view, false>(rule, block, begin, end, coded);
    }
  } else if (rule.fixed) {
    CountSet<double, true>(rule, block, begin, end, nullptr);
  } else {
    CountSet<double, false>(rule, block, begin, end, coded);
  }
}

// A category set's members, with their type and whether the categories are
// pre-defined fixed at compile time, as for a variable.
template <class Key, bool kFixed>
void DimensionCounts::CountSet(const DimensionRule& rule, const CaseBlock& block, std::size_t begin, std::size_t end,
                               const BlockEntry* coded) {
  const double* weights = block.weights.empty() ? nullptr : block.weights.data();
  // With the block's codes (never for pre-defined categories, see
  // CountColumn) the rows are counted in whole numbers, as for a variable.
  const std::int32_t* const codes = coded != nullptr ? coded->codes : nullptr;
  CodedTallies tallied(codes != nullptr, fCounts.size());
  std::int64_t missingTally = 0;
  // The usable members and their columns, looked up once; the categories a
  // case has counted so far, in a vector made once.
  const std::vector<const ColumnRule*> members = UsableMembers(rule);
  using Column = decltype(ColumnOf<Key>(block, rule.members.front()));
  std::vector<Column> columns;
  for (const ColumnRule* m : members) columns.push_back(ColumnOf<Key>(block, *m));
  std::vector<std::uint32_t> caseSlots(members.size());
  auto slots = static_cast<std::uint32_t>(fCounts.size());
  CompensatedSum missing = fMissing;
  // One entering row, each member's value looked up or given a slot.
  const auto countRow = [&](std::size_t r, double w) {
    std::size_t taken = 0;
    for (std::size_t k = 0; k < members.size(); ++k) {
      caseSlots[k] = kNoSlot;
      const Key x = KeyAt(columns[k], r);
      std::uint32_t slot;
      if constexpr (std::is_same_v<Key, double>) {
        if (x == SYSMIS || members[k]->IsUserMissing(x)) continue;
        slot = kFixed ? fNumbers.Find(x) : fNumbers.FindOrInsert(x);
      } else {
        if (members[k]->IsUserMissing(x)) continue;
        slot = kFixed ? fStrings.Find(x) : fStrings.FindOrInsert(x);
      }
      if (slot == kNoSlot) continue;
      // A case counts once per category, however many members hold it. The
      // slots of every member before this one are compared (kNoSlot where
      // a member counted nothing): a loop as long as the member's place,
      // not as the categories taken so far, whose end no predictor guesses.
      bool seen = false;
      for (std::size_t j = 0; j < k; ++j) seen |= caseSlots[j] == slot;
      if (seen) continue;
      caseSlots[k] = slot;
      ++taken;
      if constexpr (kFixed) {
        if (fCounts[slot].sum == 0.0) {
          ++fFixedSeen;
          fFirstRow[slot] = static_cast<std::uint32_t>(r);
        }
      } else if (slot == slots) {
        NewSlot(static_cast<std::uint32_t>(r));
        if (codes != nullptr) tallied.AddSlot();
        ++slots;
      }
      if (codes != nullptr) {
        tallied.Data()[slot] += codes[r];
      } else {
        fCounts[slot].AddInPlace(w);
      }
    }
    if (taken == 0) {
      if (codes != nullptr) {
        missingTally += codes[r];
      } else {
        missing.Add(w);
      }
    }
  };
  std::size_t r = begin;
  if constexpr (std::is_same_v<Key, double> && !kFixed) {
    // Rows whose members all hold values with a slot, or none, looked up
    // without a call and counted from locals, as the dense path of a
    // variable is; the first row with a new value is counted by countRow,
    // and the loop goes on after it. The same additions in the same order.
    constexpr std::size_t kQuickMembers = 8;
    const std::size_t n = members.size();
    const double* cells[kQuickMembers];
    const ColumnRule* checked[kQuickMembers];
    bool anyChecked = false;
    for (std::size_t k = 0; k < n && k < kQuickMembers; ++k) {
      cells[k] = columns[k];
      checked[k] = members[k]->checkMissing ? members[k] : nullptr;
      anyChecked = anyChecked || members[k]->checkMissing;
    }
    // kN members (n when 0) and whether any has user-missing values fixed at
    // compile time: the member loops unroll, and the tests that cannot apply
    // go.
    const auto quickRows = [&]<std::size_t kN, bool kCheck, bool kCoded>() {
      const std::size_t memberCount = kN != 0 ? kN : n;
      NumericCategoryIndex::Quick quick = fNumbers.QuickLookup();
      CompensatedSum* counts = fCounts.data();
      std::int64_t* tally = tallied.Data();
      std::int64_t missingRun = missingTally;
      for (; r < end; ++r) {
        [[maybe_unused]] std::int64_t code = 0;
        double w = 1.0;
        if constexpr (kCoded) {
          code = codes[r];
          if (code == 0) continue;  // the case does not enter
        } else {
          w = weights ? weights[r] : 1.0;
          if (!Enters(w)) continue;
        }
        std::uint32_t found[kQuickMembers];
        bool known = true;
        for (std::size_t k = 0; k < memberCount; ++k) {
          const double x = cells[k][r];
          std::uint32_t slot = quick.Find(x);
          // A user-missing value may have a slot through another member
          // (members may differ in their missing values); SYSMIS never has.
          const bool userMissing = kCheck && checked[k] != nullptr && checked[k]->numericMissing.Test(x);
          if (slot >= slots) {
            if (x != SYSMIS && !userMissing) {
              known = false;
              break;
            }
            slot = kNoSlot;
          } else if (userMissing) {
            slot = kNoSlot;
          }
          found[k] = slot;
        }
        if (!known) {
          if constexpr (kCoded) {
            missingTally = missingRun;
            countRow(r, weights[r]);
            missingRun = missingTally;
            tally = tallied.Data();
          } else {
            countRow(r, w);
          }
          quick = fNumbers.QuickLookup();
          counts = fCounts.data();
          continue;
        }
        bool taken = false;
        for (std::size_t k = 0; k < memberCount; ++k) {
          const std::uint32_t slot = found[k];
          if (slot == kNoSlot) continue;
          bool seen = false;
          for (std::size_t j = 0; j < k; ++j) seen |= found[j] == slot;
          if (seen) continue;
          if constexpr (kCoded) {
            tally[slot] += code;
          } else {
            counts[slot].AddInPlace(w);
          }
          taken = true;
        }
        if (!taken) {
          if constexpr (kCoded) {
            missingRun += code;
          } else {
            missing.Add(w);
          }
        }
      }
      missingTally = missingRun;
    };
    const auto byMembers = [&]<bool kCheck, bool kCoded>() {
      switch (n) {
        case 2:
          quickRows.template operator()<2, kCheck, kCoded>();
          break;
        case 3:
          quickRows.template operator()<3, kCheck, kCoded>();
          break;
        case 4:
          quickRows.template operator()<4, kCheck, kCoded>();
          break;
        default:
          quickRows.template operator()<0, kCheck, kCoded>();
          break;
      }
    };
    if (n <= kQuickMembers) {
      if (anyChecked) {
        if (codes != nullptr) {
          byMembers.template operator()<true, true>();
        } else {
          byMembers.template operator()<true, false>();
        }
      } else if (codes != nullptr) {
        byMembers.template operator()<false, true>();
      } else {
        byMembers.template operator()<false, false>();
      }
    }
  }
  for (; r < end; ++r) {
    const double w = weights ? weights[r] : 1.0;
    if (!Enters(w)) continue;
    countRow(r, w);
  }
  if (codes != nullptr) tallied.AddTo(fCounts, missing, missingTally, coded->unit);
  fMissing = missing;
}

void DimensionCounts::AddDichotomySet(const DimensionRule& rule, const CaseBlock& block, std::size_t begin,
                                      std::size_t end, const BlockEntry* entry) {
  const double* weights = block.weights.empty() ? nullptr : block.weights.data();
  if (weights != nullptr && entry != nullptr && entry->codes != nullptr) {
    CountCodedDichotomies(rule, block, begin, end, *entry);
    return;
  }
  // A member holds the counted value in about every other case, which no
  // branch predictor guesses, so each row's weight is added or not without
  // a branch, with the members' sums in registers; the same additions in the
  // same order as row by row. The rows no member counted are missing, added
  // in row order afterwards.
  std::vector<std::uint8_t> any(end - begin, 0);
  // Numeric members whose counts can take +0 for a row they do not count,
  // four at a time in one row loop; the others one at a time by selects.
  std::vector<std::size_t> plain;
  for (const ColumnRule* m : UsableMembers(rule)) {
    // A member's slot is its place among the members.
    const auto slot = static_cast<std::size_t>(m - rule.members.data());
    CompensatedSum& sum = fCounts[slot];
    if (rule.isString) {
      const StringColumn& column = *ColumnOf<std::string_view>(block, *m);
      CompensatedSum count = sum;
      for (std::size_t r = begin; r < end; ++r) {
        const double w = weights ? weights[r] : 1.0;
        const bool hit = Enters(w) && column.Cell(r) == rule.countedText;
        AddIf(count, w, hit);
        any[r - begin] |= hit ? 1 : 0;
      }
      sum = count;
    } else if (PlainForZeros(sum)) {
      plain.push_back(slot);
    } else {
      CountDichotomyBySelects(ColumnOf<double>(block, *m), rule.countedNumber, weights, begin, end, sum, any.data());
    }
  }
  std::vector<CompensatedSum> starts;
  for (const std::size_t slot : plain) starts.push_back(fCounts[slot]);
  for (std::size_t first = 0; first < plain.size(); first += kDichotomyGroup) {
    const std::size_t n = std::min(kDichotomyGroup, plain.size() - first);
    const double* columns[kDichotomyGroup];
    CompensatedSum sums[kDichotomyGroup];
    for (std::size_t k = 0; k < n; ++k) {
      columns[k] = ColumnOf<double>(block, rule.members[plain[first + k]]);
      sums[k] = fCounts[plain[first + k]];
    }
    const auto count = [&]<std::size_t kMembers>() {
      CountDichotomies<kMembers>(columns, rule.countedNumber, weights, begin, end, sums, any.data());
    };
    switch (n) {
      case 1:
        count.template operator()<1>();
        break;
      case 2:
        count.template operator()<2>();
        break;
      case 3:
        count.template operator()<3>();
        break;
      default:
        count.template operator()<4>();
        break;
    }
    for (std::size_t k = 0; k < n; ++k) fCounts[plain[first + k]] = sums[k];
  }
  // A count that overflowed is counted again by selects.
  for (std::size_t i = 0; i < plain.size(); ++i) {
    CompensatedSum& sum = fCounts[plain[i]];
    if (std::isfinite(sum.sum)) continue;
    sum = starts[i];
    CountDichotomyBySelects(ColumnOf<double>(block, rule.members[plain[i]]), rule.countedNumber, weights, begin, end,
                            sum, any.data());
  }
  CompensatedSum missing = fMissing;
  for (std::size_t r = begin; r < end; ++r) {
    const double w = weights ? weights[r] : 1.0;
    if (Enters(w) && any[r - begin] == 0) missing.Add(w);
  }
  fMissing = missing;
}

// A weighted block's rows in its weight codes (see CodedTallies): each
// member's count and the missing weight as whole numbers of the codes' unit,
// divided once, so that they are the numbers nearest the exact sums of the
// decimals as written, as a variable's counts are (the doubles' sums put
// such a count an ulp off, and its percent with it). A row that enters no
// table has the code 0 and adds nothing.
void DimensionCounts::CountCodedDichotomies(const DimensionRule& rule, const CaseBlock& block, std::size_t begin,
                                            std::size_t end, const BlockEntry& entry) {
  const std::int32_t* const codes = entry.codes;
  std::vector<std::uint8_t> any(end - begin, 0);
  for (const ColumnRule* m : UsableMembers(rule)) {
    const auto slot = static_cast<std::size_t>(m - rule.members.data());
    std::int64_t tally = 0;
    if (rule.isString) {
      const StringColumn& column = *ColumnOf<std::string_view>(block, *m);
      for (std::size_t r = begin; r < end; ++r) {
        const bool hit = column.Cell(r) == rule.countedText;
        tally += hit ? codes[r] : 0;
        any[r - begin] |= hit ? 1 : 0;
      }
    } else {
      const double* const column = ColumnOf<double>(block, *m);
      const double value = rule.countedNumber;
      for (std::size_t r = begin; r < end; ++r) {
        const bool hit = column[r] == value;
        tally += hit ? codes[r] : 0;
        any[r - begin] |= hit ? 1 : 0;
      }
    }
    AddTally(fCounts[slot], tally, entry.unit);
  }
  std::int64_t missing = 0;
  for (std::size_t r = begin; r < end; ++r) missing += any[r - begin] == 0 ? codes[r] : 0;
  AddTally(fMissing, missing, entry.unit);
}

void DimensionCounts::AddEntry(const CaseBlock& block, std::size_t begin, std::size_t end, const BlockEntry* entry) {
  if (block.weights.empty()) {
    // Whole numbers: one exact addition gives the sum and carry that one
    // per case would.
    fCases += end - begin;
    fTotal.Add(static_cast<double>(end - begin));
  } else if (entry != nullptr) {
    CB_CHECK("engine", fCases == 0 && begin == 0 && end == block.rows);
    fCases = entry->cases;
    // Counted in the codes, the total is too: a category that every case
    // falls in has the total's very sum.
    fTotal = entry->codes != nullptr ? entry->codedTotal : entry->total;
  } else {
    BlockEntry::Add(block.weights.data(), begin, end, fCases, fTotal);
  }
}

namespace {

// Whether a dimension's rows are counted in the block's weight codes when it
// has them (see CountColumn and CountSet).
bool Coded(const DimensionRule& rule) {
  if (rule.fixed) return false;
  switch (rule.kind) {
    case DimensionKind::Variable:
      return rule.members.front().usable;
    case DimensionKind::CategorySet:
      return true;
    case DimensionKind::DichotomySet:
      return true;
  }
  return false;
}

}  // namespace

void DimensionCounts::AddRows(const DimensionRule& rule, const CaseBlock& block, std::size_t begin, std::size_t end,
                              const BlockEntry* entry) {
  // Every entering case takes part in the total, in case order, whatever
  // the dimension makes of it.
  BlockEntry own;
  if (entry != nullptr && entry->codes != nullptr && !Coded(rule)) {
    // A variable or a category set without pre-defined categories is
    // counted in the codes (pre-defined ones tell a category seen by its
    // sum on the way); the others' totals stay in the weights' own sums.
    own = *entry;
    own.codes = nullptr;
    entry = &own;
  } else if (entry == nullptr && !block.weights.empty() && Coded(rule)) {
    // Rows of a block gathered apart (a table's cases up to where it
    // stopped taking them): coded here as a whole block's are, so that they
    // count alike however the file is cut into blocks.
    thread_local std::vector<std::int32_t>* partCodesRoom = nullptr;
    std::vector<std::int32_t>& partCodes = RoomOf(partCodesRoom);
    std::int64_t sum = 0;
    if (BlockEntry::Code(block.weights.data(), begin, end, partCodes, own.unit, sum)) {
      own.codes = partCodes.data();
      CompensatedSum weights;  // (the cases are what is wanted here)
      BlockEntry::Add(block.weights.data(), begin, end, fCases, weights);
      AddTally(fTotal, sum, own.unit);
      entry = &own;
    }
  }
  if (entry != &own || own.codes == nullptr) AddEntry(block, begin, end, entry);
  switch (rule.kind) {
    case DimensionKind::Variable:
      AddVariable(rule, block, begin, end, entry);
      break;
    case DimensionKind::CategorySet:
      AddCategorySet(rule, block, begin, end, entry);
      break;
    case DimensionKind::DichotomySet:
      AddDichotomySet(rule, block, begin, end, entry);
      break;
  }
}

std::size_t DimensionCounts::NumberOfValues(const DimensionRule& rule) const {
  if (rule.kind == DimensionKind::DichotomySet) return rule.knownMembers;
  if (rule.fixed) return fFixedSeen;
  return rule.isString ? fStrings.Size() : fNumbers.Size();
}

void DimensionCounts::NewCategoryRows(const DimensionRule& rule, const DimensionCounts& later,
                                      std::vector<std::uint32_t>& rows) const {
  rows.clear();
  if (rule.kind == DimensionKind::DichotomySet) return;
  if (rule.fixed) {
    for (std::size_t s = 0; s < later.fCounts.size(); ++s) {
      if (later.fCounts[s].sum != 0.0 && fCounts[s].sum == 0.0) rows.push_back(later.fFirstRow[s]);
    }
    std::sort(rows.begin(), rows.end());
    return;
  }
  // Slots are handed out in order of first sight, so their rows ascend.
  for (std::uint32_t s = 0; s < later.fCounts.size(); ++s) {
    const bool known = rule.isString ? fStrings.Find(later.fStrings.Value(s)) != kNoSlot
                                     : fNumbers.Find(later.fNumbers.Value(s)) != kNoSlot;
    if (!known) rows.push_back(later.fFirstRow[s]);
  }
}

void DimensionCounts::Merge(const DimensionRule& rule, DimensionCounts&& later) {
  if (later.fCases == 0) return;
  if (fCases == 0) {
    *this = std::move(later);
    return;
  }
  fCases += later.fCases;
  fMissing.Add(later.fMissing);
  fTotal.Add(later.fTotal);
  if (rule.kind == DimensionKind::DichotomySet || rule.fixed) {
    // The same slots on both sides: members, or the pre-defined values.
    for (std::size_t s = 0; s < later.fCounts.size(); ++s) {
      if (rule.fixed && later.fCounts[s].sum != 0.0 && fCounts[s].sum == 0.0) ++fFixedSeen;
      fCounts[s].Add(later.fCounts[s]);
    }
    return;
  }
  for (std::uint32_t s = 0; s < later.fCounts.size(); ++s) {
    const std::uint32_t slot =
        rule.isString ? fStrings.FindOrInsert(later.fStrings.Value(s)) : fNumbers.FindOrInsert(later.fNumbers.Value(s));
    if (slot == fCounts.size()) NewSlot(0);
    fCounts[slot].Add(later.fCounts[s]);
  }
}

// ---------------------------------------------------------------- table

TableAccumulator::TableAccumulator(const TableRules& rules) {
  if (rules.dimension) fDimension.emplace(*rules.dimension);
  fScales.reserve(rules.scales.size());
  for (const ScaleRule& s : rules.scales) fScales.emplace_back(s.keepValues);
}

void TableAccumulator::Reset(const TableRules& rules) {
  fCases = 0;
  if (fDimension) fDimension->Reset(*rules.dimension);
  if (fScales.size() != rules.scales.size()) {  // moved from
    fScales.clear();
    for (const ScaleRule& s : rules.scales) fScales.emplace_back(s.keepValues);
    return;
  }
  for (ScaleAccumulator& s : fScales) s.Reset();
}

void TableAccumulator::AddRows(const TableRules& rules, const CaseBlock& block, std::size_t begin, std::size_t end,
                               const BlockEntry* entry) {
  const double* weights = block.weights.empty() ? nullptr : block.weights.data();
  if (weights == nullptr || fCases != 0) entry = nullptr;
  // The cases that enter (positive weight): every row without weights, the
  // block's entry when given; else counted on the way by the dimension or a
  // numeric scale column when there is one, by a loop of their own
  // otherwise.
  std::optional<std::uint64_t> entered;
  if (!weights) entered = end - begin;
  if (entry != nullptr) entered = entry->cases;
  if (fDimension) {
    const std::uint64_t before = fDimension->Cases();
    fDimension->AddRows(*rules.dimension, block, begin, end, entry);
    entered = fDimension->Cases() - before;
  }
  for (std::size_t k = 0; k < fScales.size(); ++k) {
    const ColumnRule& c = rules.scales[k].column;
    if (!c.known) continue;
    ScaleAccumulator& acc = fScales[k];
    const std::size_t v = static_cast<std::size_t>(c.index);
    if (c.isString) {
      const StringColumn& column = block.strings[v];
      for (std::size_t r = begin; r < end; ++r) {
        const double w = weights ? weights[r] : 1.0;
        if (!Enters(w)) continue;
        if (c.IsUserMissing(column.Cell(r))) {
          acc.AddMissing(w);
        } else {
          acc.AddValidWithoutValue(w);
        }
      }
      continue;
    }
    // The valid values of a stretch of rows are picked out first, then
    // added in one run (ScaleAccumulator::AddValidRun).
    // Whether the rows are weighted and the column has user-missing values
    // fixed at compile time, as for the counts: the row loop keeps only the
    // tests that depend on the row.
    const double* x = block.numbers[v].data();
    acc.ExpectRows(end - begin);
    double values[ScaleAccumulator::kRun];
    double valueWeights[ScaleAccumulator::kRun];
    std::uint64_t taken = 0;
    const auto pick = [&]<bool kWeighted, bool kCheck>() {
      for (std::size_t from = begin; from < end; from += ScaleAccumulator::kRun) {
        const std::size_t to = std::min(end, from + ScaleAccumulator::kRun);
        std::size_t n = 0;
        for (std::size_t r = from; r < to; ++r) {
          double w = 1.0;
          if constexpr (kWeighted) {
            w = weights[r];
            if (!Enters(w)) continue;
          }
          ++taken;
          const double value = x[r];
          if (value == SYSMIS || (kCheck && c.numericMissing.Test(value))) {
            acc.AddMissing(w);
            continue;
          }
          values[n] = value;
          valueWeights[n] = w;
          ++n;
        }
        acc.AddValidRun(values, valueWeights, n);
      }
    };
    if (weights != nullptr) {
      if (c.checkMissing) {
        pick.template operator()<true, true>();
      } else {
        pick.template operator()<true, false>();
      }
    } else if (c.checkMissing) {
      pick.template operator()<false, true>();
    } else {
      pick.template operator()<false, false>();
    }
    if (!entered) entered = taken;
  }
  if (!entered) {
    std::uint64_t count = 0;
    for (std::size_t r = begin; r < end; ++r) count += Enters(weights[r]) ? 1 : 0;
    entered = count;
  }
  fCases += *entered;
}

void TableAccumulator::Merge(const TableRules& rules, TableAccumulator&& later) {
  if (later.fCases == 0) return;
  if (fCases == 0) {
    *this = std::move(later);
    return;
  }
  fCases += later.fCases;
  if (fDimension) fDimension->Merge(*rules.dimension, std::move(*later.fDimension));
  for (std::size_t k = 0; k < fScales.size(); ++k) fScales[k].Merge(std::move(later.fScales[k]));
}

}  // namespace host::engine
