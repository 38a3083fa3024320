#include "host/engine/scale.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <charconv>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <numeric>
#include <system_error>
#include <thread>

#include "host/check.h"
#include "host/common/thread_room.h"
#include "host/engine/category_index.h"
#include "host/obs.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace host::engine {

namespace {

constexpr double kPow10[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};

}  // namespace

// Codes as many of x as the current digits allow, up to the first that they
// do not; returns how many.
std::size_t RawColumn::EncodeRun(const double* x, std::size_t n, std::vector<std::int32_t>& chunk) const {
  const double scale = fScale;
  std::int32_t codes[256];
  std::size_t done = 0;
  while (done < n) {
    const std::size_t m = std::min(std::size(codes), n - done);
    std::size_t i = 0;
#if defined(__SSE2__)
    // Two values at a time, as Encode does each: the division that checks a
    // code is most of the cost, and one instruction divides two. A pair with
    // a value that does not code is left to Encode below.
    const __m128d scales = _mm_set1_pd(scale);
    const __m128d limit = _mm_set1_pd(static_cast<double>(kExceptionBase - 1));
    const __m128d sign = _mm_set1_pd(-0.0);
    const __m128d half = _mm_set1_pd(0.5);
    for (; i + 2 <= m; i += 2) {
      const __m128d v = _mm_loadu_pd(x + done + i);
      const __m128d s = _mm_mul_pd(v, scales);
      const __m128d inRange = _mm_cmplt_pd(_mm_andnot_pd(sign, s), limit);  // false for NaN
      const __m128d t = _mm_and_pd(s, inRange);                             // out of range: 0, refused below
      // t - 0.5 below zero, t + 0.5 otherwise (-0 rounds to the same 0 either way).
      const __m128i k = _mm_cvttpd_epi32(_mm_add_pd(t, _mm_or_pd(half, _mm_and_pd(t, sign))));
      const __m128d back = _mm_div_pd(_mm_cvtepi32_pd(k), scales);
      const int same = _mm_movemask_epi8(_mm_cmpeq_epi32(_mm_castpd_si128(back), _mm_castpd_si128(v)));
      if (same != 0xFFFF || _mm_movemask_pd(inRange) != 3) break;
      _mm_storel_epi64(reinterpret_cast<__m128i*>(codes + i), k);
    }
#endif
    while (i < m && Encode(x[done + i], scale, codes[i])) ++i;
    chunk.insert(chunk.end(), codes, codes + i);
    done += i;
    if (i < m) break;
  }
  return done;
}

// The last chunk while it has room, else a new one of full size (the first
// grows as a vector does, so that a small column stays small).
std::vector<std::int32_t>& RawColumn::CodeRoom() {
  CB_CHECK("engine", !fNarrowed);
  if (fCodes.empty()) {
    fCodes.push_back(std::move(fSpareCodes));
    fSpareCodes = {};
  } else if (fCodes.back().size() == kChunk) {
    const std::size_t full = fCodes.size() - 1;
    // A packed chunk's four-byte room is the next chunk's: the same pages.
    std::vector<std::int32_t> room;
    if (Pack(full)) {
      room = std::move(fCodes[full]);
      fCodes[full] = std::vector<std::int32_t>{};
    }
    fCodes.push_back(std::move(room));
    fCodes.back().reserve(kChunk);
  }
  return fCodes.back();
}

namespace {

// Every code within [-32768, 32767] (an exception's code is not); no branch
// per code.
bool FitTwoBytes(const std::vector<std::int32_t>& codes) {
  std::uint32_t outside = 0;
  for (const std::int32_t k : codes) outside |= (static_cast<std::uint32_t>(k) + 0x8000u) >> 16;
  return outside == 0;
}

}  // namespace

bool RawColumn::Pack(std::size_t c) {
  std::vector<std::int32_t>& chunk = fCodes[c];
  if (chunk.empty() || !FitTwoBytes(chunk)) return false;
  if (fPacked.size() <= c) fPacked.resize(c + 1);
  std::vector<std::int16_t>& packed = fPacked[c];
  packed.resize(chunk.size());
  for (std::size_t i = 0; i < chunk.size(); ++i) packed[i] = static_cast<std::int16_t>(chunk[i]);
  chunk.clear();  // its room stays for the caller
  return true;
}

void RawColumn::Unpack() {
  for (std::size_t c = 0; c < fPacked.size(); ++c) {
    if (fPacked[c].empty()) continue;
    fCodes[c].assign(fPacked[c].begin(), fPacked[c].end());
    std::vector<std::int16_t>().swap(fPacked[c]);
  }
  fPacked.clear();
}

// Room for `take` more values in the last chunk. Only the first chunk ever
// lacks it (the others are made whole); it is given room for every value
// expected, or twice its room past that, at most a chunk: without that
// it doubled in steps from a few values on, and every step copied it into
// fresh memory (a block's column of 45,000 values: fifteen copies, their
// page faults most of the cost).
template <class T>
void RawColumn::MakeRoom(std::vector<T>& chunk, std::size_t take) const {
  const std::size_t need = chunk.size() + take;
  if (need <= chunk.capacity()) return;
  const std::size_t before = fSize - chunk.size();  // values in earlier chunks
  const std::size_t expected = fExpected > before ? fExpected - before : 0;
  chunk.reserve(std::min(kChunk, std::max({need, expected, 2 * chunk.capacity()})));
}

void RawColumn::Reset() {
  std::vector<std::int32_t> spare;
  if (!fCodes.empty()) spare = std::move(fCodes.front());
  if (spare.capacity() < fSpareCodes.capacity()) spare = std::move(fSpareCodes);
  spare.clear();
  std::vector<std::vector<std::int32_t>> codes = std::move(fCodes);
  codes.clear();
  *this = RawColumn{};
  fCodes = std::move(codes);
  fSpareCodes = std::move(spare);
}

std::vector<double>& RawColumn::DoubleRoom() {
  if (fDoubles.empty() || fDoubles.back().size() == kChunk) {
    fDoubles.emplace_back();
    if (fDoubles.size() > 1) fDoubles.back().reserve(kChunk);
  }
  return fDoubles.back();
}

void RawColumn::Append(const double* x, std::size_t n) {
  while (n > 0) {
    if (!fCoded) {
      std::vector<double>& chunk = DoubleRoom();
      const std::size_t take = std::min(n, kChunk - chunk.size());
      MakeRoom(chunk, take);
      chunk.insert(chunk.end(), x, x + take);
      fSize += take;
      x += take;
      n -= take;
      continue;
    }
    std::vector<std::int32_t>& chunk = CodeRoom();
    const std::size_t take = std::min(n, kChunk - chunk.size());
    MakeRoom(chunk, take);
    const std::size_t done = EncodeRun(x, take, chunk);
    fSize += done;
    x += done;
    n -= done;
    if (done < take) {
      AppendOne(*x);
      ++x;
      --n;
    }
  }
}

// More digits when the value needs them and every code so far takes them;
// else an exception while they are few; else plain doubles from now on.
void RawColumn::AppendOne(double x) {
  std::int32_t k = 0;
  for (int d = fDigits + 1; d <= kMaxDigits; ++d) {
    if (!Encode(x, kPow10[d], k)) continue;
    if (RaiseDigits(d)) {
      CodeRoom().push_back(k);
      ++fSize;
      return;
    }
    break;
  }
  if (fExceptions.size() < 64 + fSize / 64 && fExceptions.size() < static_cast<std::size_t>(kExceptionBase) - 1) {
    CodeRoom().push_back(kExceptionBase + static_cast<std::int32_t>(fExceptions.size()));
    fExceptions.push_back(x);
    ++fSize;
    return;
  }
  ToDoubles();
  DoubleRoom().push_back(x);
  ++fSize;
}

// k / 10^d and k * 10^e / 10^(d + e) are the one double nearest the same
// number, so codes move to more digits exactly while they stay in range.
// A failure is remembered: codes only get more, so it would fail again.
bool RawColumn::RaiseDigits(int digits) {
  if (digits >= fCeiling) return false;
  const auto factor = static_cast<std::int64_t>(kPow10[digits - fDigits]);
  const auto fits = [factor](std::int32_t k) {
    const std::int64_t v = static_cast<std::int64_t>(k) * factor;
    return k >= kExceptionBase || (v > -(kExceptionBase - 1) && v < kExceptionBase - 1);
  };
  for (std::size_t c = 0; c < fCodes.size(); ++c) {
    if (!WithCodes(c, [&](const auto* k, std::size_t n) { return std::all_of(k, k + n, fits); })) {
      fCeiling = digits;
      return false;
    }
  }
  Unpack();  // rare: digits rise early in a column, if at all
  for (std::vector<std::int32_t>& chunk : fCodes) {
    for (std::int32_t& k : chunk) {
      if (k < kExceptionBase) k = static_cast<std::int32_t>(k * factor);
    }
  }
  fDigits = digits;
  fScale = kPow10[digits];
  return true;
}

// Chunk by chunk, each freed once decoded, so that the column is never held
// twice.
void RawColumn::ToDoubles() {
  fDoubles.reserve(fCodes.size());
  for (std::size_t c = 0; c < fCodes.size(); ++c) {
    std::vector<double>& out = fDoubles.emplace_back();
    out.reserve(fDoubles.size() > 1 ? kChunk : ChunkSize(c));
    WithCodes(c, [&](const auto* k, std::size_t n) {
      for (std::size_t i = 0; i < n; ++i) out.push_back(Decode(k[i]));
    });
    std::vector<std::int32_t>().swap(fCodes[c]);
    if (c < fPacked.size()) std::vector<std::int16_t>().swap(fPacked[c]);
  }
  fCodes.clear();
  fCodes.shrink_to_fit();
  fPacked.clear();
  fPacked.shrink_to_fit();
  fExceptions.clear();
  fExceptions.shrink_to_fit();
  fCoded = false;
}

void RawColumn::AppendRepeated(double x, std::size_t n) {
  if (n == 0) return;
  std::int32_t k = 0;
  if (fCoded && !Encode(x, fScale, k)) {
    AppendOne(x);
    --n;
    if (fCoded) k = fCodes.back().back();
  }
  while (n > 0) {
    std::size_t take = 0;
    if (fCoded) {
      std::vector<std::int32_t>& chunk = CodeRoom();
      take = std::min(n, kChunk - chunk.size());
      MakeRoom(chunk, take);
      chunk.insert(chunk.end(), take, k);
    } else {
      std::vector<double>& chunk = DoubleRoom();
      take = std::min(n, kChunk - chunk.size());
      MakeRoom(chunk, take);
      chunk.insert(chunk.end(), take, x);
    }
    fSize += take;
    n -= take;
  }
}

void RawColumn::Append(const RawColumn& other) {
  if (other.fNarrowed) {
    AppendCodes(other, [&other](std::size_t c, auto&& f) {
      return f(static_cast<const std::int16_t*>(other.fNarrowCodes[c].data()), other.fNarrowCodes[c].size());
    });
  } else {
    AppendCodes(other, [&other](std::size_t c, auto&& f) { return other.WithCodes(c, f); });
  }
}

// `visit(c, f)`: f(codes, n) with the other column's chunk c as it keeps
// its codes (unused when it keeps doubles). Its chunks are walked in turn:
// a narrowed column's are shorter.
template <class Visit>
void RawColumn::AppendCodes(const RawColumn& other, Visit&& visit) {
  fExpected = std::max(fExpected, fSize + other.fSize);
  std::size_t done = 0;  // values of `other` taken
  std::size_t c = 0;     // the chunk of `other` they are taken from
  std::size_t at = 0;    // and the place in it
  if (fCoded && other.Keyed() && (other.fDigits <= fDigits || RaiseDigits(other.fDigits))) {
    // Codes in the same or fewer digits: scaled, no double in between.
    const auto factor = static_cast<std::int64_t>(kPow10[fDigits - other.fDigits]);
    bool stopped = false;  // a code out of range at `at`
    while (done < other.fSize && !stopped) {
      visit(c, [&](const auto* codes, std::size_t length) {
        while (at < length && done < other.fSize) {
          const auto* from = codes + at;
          std::vector<std::int32_t>& room = CodeRoom();
          const std::size_t take = std::min({kChunk - room.size(), length - at, other.fSize - done});
          MakeRoom(room, take);
          std::size_t j = 0;
          if (factor == 1) {
            room.insert(room.end(), from, from + take);
            j = take;
          }
          for (; j < take; ++j) {
            const std::int64_t v = static_cast<std::int64_t>(from[j]) * factor;
            if (v <= -(kExceptionBase - 1) || v >= kExceptionBase - 1) break;
            room.push_back(static_cast<std::int32_t>(v));
          }
          fSize += j;
          done += j;
          at += j;
          if (j < take) {
            stopped = true;
            return;
          }
        }
      });
      if (!stopped) {
        ++c;
        at = 0;
      }
    }
    if (done == other.fSize) return;
  }
  double buffer[256];
  while (done < other.fSize) {
    std::size_t m = 0;
    if (other.fCoded) {
      m = visit(c, [&](const auto* codes, std::size_t length) {
        const std::size_t k = std::min<std::size_t>(std::size(buffer), length - at);
        for (std::size_t i = 0; i < k; ++i) buffer[i] = other.Decode(codes[at + i]);
        return k;
      });
    } else {
      const std::vector<double>& chunk = other.fDoubles[c];
      m = std::min<std::size_t>(std::size(buffer), chunk.size() - at);
      std::copy_n(chunk.data() + at, m, buffer);
    }
    if (m == 0) {
      ++c;
      at = 0;
      continue;
    }
    Append(buffer, m);
    done += m;
    at += m;
  }
}

bool RawColumn::TakeNarrow(const RawColumn& part) {
  if (part.fSize == 0 || part.fNarrowed || !part.Keyed() || !part.fPacked.empty()) return false;
  if (fSize > 0 && !(fNarrowed && fDigits == part.fDigits)) return false;
  if (!std::all_of(part.fCodes.begin(), part.fCodes.end(), FitTwoBytes)) return false;
  for (const std::vector<std::int32_t>& chunk : part.fCodes) {
    for (std::size_t i = 0; i < chunk.size();) {
      if (fNarrowCodes.empty() || fNarrowCodes.back().size() == kNarrowChunk) fNarrowCodes.emplace_back();
      std::vector<std::int16_t>& room = fNarrowCodes.back();
      const std::size_t take = std::min(kNarrowChunk - room.size(), chunk.size() - i);
      // The first chunk grows as a vector does (a short column stays short),
      // the others are made whole.
      if (room.size() + take > room.capacity()) {
        room.reserve(fNarrowCodes.size() > 1
                         ? kNarrowChunk
                         : std::min(kNarrowChunk, std::max(room.size() + take, 2 * room.capacity())));
      }
      const std::size_t at = room.size();
      room.resize(at + take);
      std::int16_t* to = room.data() + at;
      const std::int32_t* from = chunk.data() + i;
      for (std::size_t j = 0; j < take; ++j) to[j] = static_cast<std::int16_t>(from[j]);
      i += take;
    }
  }
  fSize += part.fSize;
  fDigits = part.fDigits;
  fScale = part.fScale;
  fNarrowed = true;
  return true;
}

void RawColumn::Decode(std::size_t c, std::size_t from, std::size_t n, double* out) const {
  if (!fCoded) {
    std::copy_n(fDoubles[c].data() + from, n, out);
    return;
  }
  if (Packed(c)) {
    const std::int16_t* k = fPacked[c].data() + from;
    if (fDigits == 0) {
      for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<double>(k[i]);
      return;
    }
    std::size_t i = 0;
#if defined(__SSE2__)
    // Four codes at a time, two to a division (the weights of the mean's
    // and the standard deviation's walk are such codes): each code widened
    // to 32 bits with its sign, converted and divided as one by one.
    const __m128d scales = _mm_set1_pd(fScale);
    for (; i + 4 <= n; i += 4) {
      const __m128i four = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(k + i));
      const __m128i wide = _mm_srai_epi32(_mm_unpacklo_epi16(four, four), 16);
      _mm_storeu_pd(out + i, _mm_div_pd(_mm_cvtepi32_pd(wide), scales));
      _mm_storeu_pd(out + i + 2, _mm_div_pd(_mm_cvtepi32_pd(_mm_shuffle_epi32(wide, 0xEE)), scales));
    }
#endif
    for (; i < n; ++i) out[i] = static_cast<double>(k[i]) / fScale;
    return;
  }
  const std::int32_t* k = fCodes[c].data() + from;
  std::size_t i = 0;
  if (fExceptions.empty() && fDigits == 0) {
    for (; i < n; ++i) out[i] = static_cast<double>(k[i]);  // whole numbers: no division
  } else if (fExceptions.empty()) {
#if defined(__SSE2__)
    // Two at a time: the division is most of the cost, and one instruction
    // divides two (the same quotients as one by one).
    const __m128d scales = _mm_set1_pd(fScale);
    for (; i + 2 <= n; i += 2) {
      const __m128i pair = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(k + i));
      _mm_storeu_pd(out + i, _mm_div_pd(_mm_cvtepi32_pd(pair), scales));
    }
#endif
  }
  for (; i < n; ++i) out[i] = Decode(k[i]);
}

void RawColumn::CopyTo(double* out) const {
  if (fCoded) {
    ForEach([&out](double x) { *out++ = x; });
  } else {
    for (const std::vector<double>& chunk : fDoubles) out = std::copy(chunk.begin(), chunk.end(), out);
  }
}

double ScaleAccumulator::Mean() const {
  SettleValues();
  if (!std::isfinite(fWeight.sum)) {
    ScaleAccumulator lighter(true);
    if (Lighter(lighter)) return lighter.Mean();
  }
  return MeanOf(fValues);
}

double ScaleAccumulator::StdDevKept() const {
  if (!fKeepValues) return StdDev();
  SettleValues();
  if (!std::isfinite(fWeight.sum)) {
    ScaleAccumulator lighter(true);
    if (Lighter(lighter)) return lighter.StdDevKept();
  }
  return StdDevOf(fValues);
}

// A weight total past the largest double leaves nothing to divide by, though
// the mean, the standard deviation and the quartiles of the values are
// finite (weights of 1e308 on a few values). Neither changes when every
// weight is taken in units of a power of two, so the kept values are taken
// again with weights in units that bring their total below 2^400: far from
// overflowing, and so far above 1 that the rule's W + 1 is W in them as it
// is in the user's (the 1 is far below the last digit of such a total).
// Weights that the units make 0 weigh less than 2^-600 of the total and
// change nothing shown. Every kept value has its own finite weight then:
// past a total of kHeavyWeight they are stored as pairs (KeepApart), so a
// value repeated with weights that overflow together is still there weight
// by weight.
bool ScaleAccumulator::Lighter(ScaleAccumulator& lighter) const {
  if (!fKeepValues || std::isfinite(fWeight.sum) || !fHasShift) return false;
  SettleValues();
  double largest = 0.0;
  std::size_t count = 0;
  bool finite = true;
  ForEachKept(fValues, [&](const double*, const double* w, const double*, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      const double weight = w != nullptr ? w[i] : 1.0;
      finite = finite && std::isfinite(weight);
      largest = std::max(largest, weight);
    }
    count += n;
  });
  if (!finite || !(largest > 0.0)) return false;
  const double unit = std::ldexp(1.0, 399 - std::ilogb(largest) - static_cast<int>(std::bit_width(count)));
  ForEachKept(fValues, [&](const double* x, const double* w, const double*, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      const double weight = (w != nullptr ? w[i] : 1.0) * unit;
      if (weight > 0.0) lighter.AddValid(x[i], weight);
    }
  });
  return lighter.fHasShift;
}

bool ScaleAccumulator::RunningMean(double& mean) const {
  mean = SYSMIS;
  // A weight total beyond the largest double leaves nothing to divide by.
  if (!fHasShift || !(ValidWeight() > 0.0) || !std::isfinite(ValidWeight())) return false;
  const double running = (fShift + fMean) / fValueScale;
  if (!std::isfinite(running)) return false;
  mean = running;
  return true;
}

double ScaleAccumulator::MeanOf(const RawColumn& values) const {
  double mean = SYSMIS;
  if (!RunningMean(mean) || !fKeepValues) return mean;
  const double corrected = CorrectedMean(values, mean);
  return std::isfinite(corrected) ? corrected : mean;
}

const RawColumn& ScaleAccumulator::StoredValues(RawColumn& copy) const {
  if (fWeighted) SettleValues();  // (weights other than 1 settle the parts when they come)
  if (fLater.empty()) return fValues;
  std::size_t n = fValues.Size();
  for (const RawColumn& part : fLater) n += part.Size();
  copy.Expect(n);
  copy.Append(fValues);
  for (const RawColumn& part : fLater) copy.Append(part);
  return copy;
}

std::vector<double> ScaleAccumulator::Results(const std::vector<double>& ps, double* mean, double* sd) const {
  if (!std::isfinite(fWeight.sum)) {
    SettleValues();
    ScaleAccumulator lighter(true);
    if (Lighter(lighter)) return lighter.Results(ps, mean, sd);
  }
  RawColumn copy;
  const RawColumn& values = StoredValues(copy);
  std::vector<double> out = ps.empty() ? std::vector<double>{} : PercentilesOf(values, ps);
  if (mean != nullptr && sd != nullptr && MeanAndStdDevOf(values, *mean, *sd)) return out;
  if (mean != nullptr) *mean = MeanOf(values);
  if (sd != nullptr) *sd = StdDevOf(values);
  return out;
}

template <class F>
void ScaleAccumulator::ForEachKept(const RawColumn& values, F&& f) const {
  double x[256];
  double w[256];
  if (!fRaw) {
    double rest[256];
    for (std::uint32_t slot = 0; slot < fSums.size();) {
      const std::size_t n = std::min<std::size_t>(std::size(x), fSums.size() - slot);
      for (std::size_t i = 0; i < n; ++i, ++slot) {
        x[i] = fTable.Value(slot);
        w[i] = fSums[slot].sum;
        rest[i] = fSums[slot].carry;
      }
      f(x, w, rest, n);
    }
    return;
  }
  // The weights are chunked as the values are.
  for (std::size_t c = 0; c < values.Chunks(); ++c) {
    const std::size_t length = values.ChunkSize(c);
    for (std::size_t at = 0; at < length; at += std::size(x)) {
      const std::size_t n = std::min(std::size(x), length - at);
      values.Decode(c, at, n, x);
      if (fWeighted) fWeights.Decode(c, at, n, w);
      f(x, fWeighted ? w : nullptr, static_cast<const double*>(nullptr), n);
    }
  }
}

namespace {

// Two doubles as one vector: every operation on it rounds each lane as the
// scalar operation would, so sums kept in two lanes (even and odd values,
// two chains of additions side by side) come out to the bit as in two
// scalar chains, with half the instructions.
using Lanes = double __attribute__((vector_size(16)));

[[gnu::always_inline]] inline Lanes LoadLanes(const double* p) {
  Lanes v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
[[gnu::always_inline]] inline void StoreLanes(double* p, Lanes v) { std::memcpy(p, &v, sizeof v); }

template <bool kHardwareFma>
[[gnu::always_inline]] inline double FmaOf(double a, double b, double c) {
  if constexpr (kHardwareFma) {
    return __builtin_fma(a, b, c);
  } else {
    return std::fma(a, b, c);
  }
}

// a·b + c rounded once, lane by lane.
template <bool kHardwareFma>
[[gnu::always_inline]] inline Lanes FmaOf(Lanes a, Lanes b, Lanes c) {
  return Lanes{FmaOf<kHardwareFma>(a[0], b[0], c[0]), FmaOf<kHardwareFma>(a[1], b[1], c[1])};
}

// hi + lo += x + error, `error` a term far smaller than x.
[[gnu::always_inline]] inline void AddPair(double& hi, double& lo, double x, double error) {
  const double t = hi + x;
  lo += TwoSumError(hi, x, t) + error;
  hi = t;
}

// hi + lo += p lane by lane; the second form adds the product's rounding
// error too (the first is for values without weights, which have none).
[[gnu::always_inline]] inline void AddLanes(Lanes& hi, Lanes& lo, Lanes p) {
  const Lanes t = hi + p;
  lo += TwoSumError(hi, p, t);
  hi = t;
}
[[gnu::always_inline]] inline void AddLanes(Lanes& hi, Lanes& lo, Lanes p, Lanes error) {
  const Lanes t = hi + p;
  lo += TwoSumError(hi, p, t) + error;
  hi = t;
}

}  // namespace

// Unevaluated sums hi + lo of the squared deviations and of the deviations,
// each in two lanes (even and odd values), every rounding error of what is
// added carried in lo.
struct DeviationSums {
  double squaresHi[2] = {0.0, 0.0};
  double squaresLo[2] = {0.0, 0.0};
  double hi[2] = {0.0, 0.0};
  double lo[2] = {0.0, 0.0};
};

namespace {

// One value's terms into lane 0 of s, as the loop below adds a pair's.
template <bool kHardwareFma>
[[gnu::always_inline]] inline void AddDeviation(DeviationSums& s, double x, const double* w, const double* wRest,
                                                double c) {
  const double d = x - c;
  const double dz = d - x;
  const double dRest = (x - (d - dz)) + (-c - dz);
  const double d2 = d * d;
  const double d2Rest = FmaOf<kHardwareFma>(d, d, -d2) + 2.0 * d * dRest;
  if (w == nullptr) {
    AddPair(s.squaresHi[0], s.squaresLo[0], d2, d2Rest);
    AddPair(s.hi[0], s.lo[0], d, dRest);
    return;
  }
  const double p = *w * d2;
  const double q = *w * d;
  double pRest = FmaOf<kHardwareFma>(*w, d2, -p) + *w * d2Rest;
  double qRest = FmaOf<kHardwareFma>(*w, d, -q) + *w * dRest;
  if (wRest != nullptr) {
    pRest += *wRest * d2;
    qRest += *wRest * d;
  }
  AddPair(s.squaresHi[0], s.squaresLo[0], p, pRest);
  AddPair(s.hi[0], s.lo[0], q, qRest);
}

// Σ w·(x - c)² and Σ w·(x - c) over n values, w + wRest their weights (null:
// 1), the deviation, its square and the products each split into their
// double and its exact error; two values at a time, one in each lane.
template <bool kHardwareFma>
[[gnu::always_inline]] inline void AddDeviationsWith(DeviationSums& s, const double* x, const double* w,
                                                     const double* wRest, std::size_t n, double c) {
  Lanes squaresHi = LoadLanes(s.squaresHi);
  Lanes squaresLo = LoadLanes(s.squaresLo);
  Lanes hi = LoadLanes(s.hi);
  Lanes lo = LoadLanes(s.lo);
  const Lanes centre = {c, c};
  const Lanes minusCentre = {-c, -c};
  std::size_t i = 0;
  for (; i + 2 <= n; i += 2) {
    const Lanes xx = LoadLanes(x + i);
    const Lanes d = xx - centre;
    const Lanes dz = d - xx;
    const Lanes dRest = (xx - (d - dz)) + (minusCentre - dz);
    const Lanes d2 = d * d;
    const Lanes d2Rest = FmaOf<kHardwareFma>(d, d, -d2) + 2.0 * d * dRest;
    if (w == nullptr) {
      AddLanes(squaresHi, squaresLo, d2, d2Rest);
      AddLanes(hi, lo, d, dRest);
      continue;
    }
    const Lanes ww = LoadLanes(w + i);
    const Lanes p = ww * d2;
    const Lanes q = ww * d;
    Lanes pRest = FmaOf<kHardwareFma>(ww, d2, -p) + ww * d2Rest;
    Lanes qRest = FmaOf<kHardwareFma>(ww, d, -q) + ww * dRest;
    if (wRest != nullptr) {
      const Lanes r = LoadLanes(wRest + i);
      pRest += r * d2;
      qRest += r * d;
    }
    AddLanes(squaresHi, squaresLo, p, pRest);
    AddLanes(hi, lo, q, qRest);
  }
  StoreLanes(s.squaresHi, squaresHi);
  StoreLanes(s.squaresLo, squaresLo);
  StoreLanes(s.hi, hi);
  StoreLanes(s.lo, lo);
  if (i < n) {
    AddDeviation<kHardwareFma>(s, x[i], w == nullptr ? nullptr : w + i, wRest == nullptr ? nullptr : wRest + i, c);
  }
}

void AddDeviationsPortable(DeviationSums& s, const double* x, const double* w, const double* wRest, std::size_t n,
                           double c) {
  if (w == nullptr) {
    AddDeviationsWith<false>(s, x, nullptr, nullptr, n, c);
  } else {
    AddDeviationsWith<false>(s, x, w, wRest, n, c);
  }
}

// The exact fma of either gives the same sums; only the speed differs.
#if defined(__x86_64__) && !defined(__FMA__)
[[gnu::target("fma")]] void AddDeviationsFma(DeviationSums& s, const double* x, const double* w, const double* wRest,
                                             std::size_t n, double c) {
  // Each form its own loop: the tests on w stay out of it.
  if (w == nullptr) {
    AddDeviationsWith<true>(s, x, nullptr, nullptr, n, c);
  } else if (wRest == nullptr) {
    AddDeviationsWith<true>(s, x, w, nullptr, n, c);
  } else {
    AddDeviationsWith<true>(s, x, w, wRest, n, c);
  }
}
void AddDeviations(DeviationSums& s, const double* x, const double* w, const double* wRest, std::size_t n, double c) {
  static const bool hardware = __builtin_cpu_supports("fma");
  if (hardware) {
    AddDeviationsFma(s, x, w, wRest, n, c);
  } else {
    AddDeviationsPortable(s, x, w, wRest, n, c);
  }
}
#else
void AddDeviations(DeviationSums& s, const double* x, const double* w, const double* wRest, std::size_t n, double c) {
  AddDeviationsPortable(s, x, w, wRest, n, c);
}
#endif

}  // namespace

// The running sum of squares rounds at every case: where weighted values
// cancel it ends some ulps off. With the values kept, one more walk sums the
// squared deviations from the running mean c with their rounding errors,
// and Σ w(x - c)² - (Σ w(x - c))² / W is the sum around the exact mean
// whatever c is; dividing by W - 1 and the square root are each corrected by
// their exact remainders, so the result is the exact one rounded once but in
// near ties. Values in other units (near the largest or smallest doubles)
// and weights past kHeavyWeight keep the running one, as does a sum that
// overflows or comes near the subnormal numbers.
double ScaleAccumulator::StdDevOf(const RawColumn& values) const {
  double c = 0.0;
  if (!DeviationCentre(c)) return StdDev();
  DeviationSums sums;
  ForEachKept(values, [&](const double* x, const double* w, const double* rest, std::size_t n) {
    AddDeviations(sums, x, w, rest, n, c);
  });
  return StdDevFrom(sums);
}

bool ScaleAccumulator::DeviationCentre(double& centre) const {
  const double running = StdDev();
  // Squares of deviations below 2^-400 lose digits among the subnormals,
  // those past 2^400 may overflow: such spreads keep the running one.
  if (running == SYSMIS || !(running > 0x1p-400 && running < 0x1p400) || fValueScale != 1.0 ||
      fWeight.sum >= kHeavyWeight) {
    return false;
  }
  centre = fShift + fMean;
  return true;
}

double ScaleAccumulator::StdDevFrom(const DeviationSums& lanes) const {
  const double running = StdDev();
  double squaresHi = lanes.squaresHi[0];
  double squaresLo = lanes.squaresLo[0] + lanes.squaresLo[1];
  AddPair(squaresHi, squaresLo, lanes.squaresHi[1], 0.0);
  double hi = lanes.hi[0];
  double lo = lanes.lo[0] + lanes.lo[1];
  AddPair(hi, lo, lanes.hi[1], 0.0);
  // W - 1 as a pair, exactly.
  const double weight = fWeight.sum;
  const double less = weight - 1.0;
  const double lessRest = TwoSumError(weight, -1.0, less) + fWeight.carry;
  const double offset = hi + lo;
  AddPair(squaresHi, squaresLo, -(offset * offset / fWeight.Value()), 0.0);
  const double sum = squaresHi + squaresLo;
  const double sumRest = TwoSumError(squaresHi, squaresLo, sum);
  if (!std::isfinite(sum) || !std::isfinite(offset)) return running;
  if (!(sum > 0.0)) return running;
  const double variance = sum / less;
  const double varianceRest = (std::fma(-variance, less, sum) + sumRest - variance * lessRest) / less;
  const double sd = std::sqrt(variance);
  const double sdRest = (std::fma(-sd, sd, variance) + varianceRest) / (2.0 * sd);
  const double result = sd + sdRest;
  return std::isfinite(result) ? result : running;
}

// Σ w·x as the unevaluated sums hi + lo of two lanes (even and odd values,
// so that the two chains of additions run side by side): the rounding error
// of every product (by fma) and of every addition (two-sum) goes to lo.
// Exact to far below an ulp of the mean unless the partial sums exceed the
// total by some 10^9.
struct ProductSum {
  double hi[2] = {0.0, 0.0};
  double lo[2] = {0.0, 0.0};
};

namespace {

template <bool kHardwareFma>
[[gnu::always_inline]] inline double ProductError(double w, double x, double p) {
  if constexpr (kHardwareFma) {
    return __builtin_fma(w, x, -p);
  } else {
    return std::fma(w, x, -p);
  }
}

// hi + lo += w·x (w null: x), the errors carried as above.
template <bool kHardwareFma>
[[gnu::always_inline]] inline void AddProduct(double& hi, double& lo, double x, const double* w) {
  double p = x;
  double error = 0.0;
  if (w) {
    p = *w * x;
    error = ProductError<kHardwareFma>(*w, x, p);
  }
  AddPair(hi, lo, p, error);
}

// Σ w[i]·x[i] into s, the product errors by the library's fma where the
// processor has none. The fma is exact on any machine, so the result is the
// same whether the processor or the library computes it; only the speed
// differs.
void AddProductsPortable(ProductSum& s, const double* x, const double* w, std::size_t n) {
  double hi0 = s.hi[0];
  double hi1 = s.hi[1];
  double lo0 = s.lo[0];
  double lo1 = s.lo[1];
  std::size_t i = 0;
  for (; i + 2 <= n; i += 2) {
    AddProduct<false>(hi0, lo0, x[i], w + i);
    AddProduct<false>(hi1, lo1, x[i + 1], w + i + 1);
  }
  if (i < n) AddProduct<false>(hi0, lo0, x[i], w + i);
  s.hi[0] = hi0;
  s.hi[1] = hi1;
  s.lo[0] = lo0;
  s.lo[1] = lo1;
}

// Σ x[i] into s. Without weights the scalar form adds an error of +0 to
// each lane's rounding error, which changes nothing: it can only turn a -0
// error into +0, and lo, which starts at +0 and gains no -0 that way, is
// the same after adding either.
void AddValues(ProductSum& s, const double* x, std::size_t n) {
  Lanes hi = LoadLanes(s.hi);
  Lanes lo = LoadLanes(s.lo);
  std::size_t i = 0;
  for (; i + 2 <= n; i += 2) AddLanes(hi, lo, LoadLanes(x + i));
  StoreLanes(s.hi, hi);
  StoreLanes(s.lo, lo);
  if (i < n) AddProduct<false>(s.hi[0], s.lo[0], x[i], nullptr);
}

#if defined(__x86_64__) && !defined(__FMA__)
[[gnu::target("fma")]] void AddProductsFma(ProductSum& s, const double* x, const double* w, std::size_t n) {
  Lanes hi = LoadLanes(s.hi);
  Lanes lo = LoadLanes(s.lo);
  std::size_t i = 0;
  for (; i + 2 <= n; i += 2) {
    const Lanes wx = LoadLanes(w + i);
    const Lanes xx = LoadLanes(x + i);
    const Lanes p = wx * xx;
    // w·x - p rounded once, lane by lane: the fma of the scalar form.
    const Lanes error = {__builtin_fma(wx[0], xx[0], -p[0]), __builtin_fma(wx[1], xx[1], -p[1])};
    AddLanes(hi, lo, p, error);
  }
  StoreLanes(s.hi, hi);
  StoreLanes(s.lo, lo);
  if (i < n) AddProduct<true>(s.hi[0], s.lo[0], x[i], w + i);
}
void AddProducts(ProductSum& s, const double* x, const double* w, std::size_t n) {
  static const bool hardware = __builtin_cpu_supports("fma");
  if (!w) {
    AddValues(s, x, n);
  } else if (hardware) {
    AddProductsFma(s, x, w, n);
  } else {
    AddProductsPortable(s, x, w, n);
  }
}
#else
void AddProducts(ProductSum& s, const double* x, const double* w, std::size_t n) {
  if (!w) {
    AddValues(s, x, n);
  } else {
    AddProductsPortable(s, x, w, n);
  }
}
#endif

// A batch of kept values (see ForEachKept) into the mean's Σ w·x, in units
// of 1 / scale (x is scaled in place) and the weights in units of
// 1 / weightScale; the carries of a table's weights go to `carries`,
// Σ carry·x in order.
void AddKeptProducts(ProductSum& sum, double& carries, double* x, const double* w, const double* rest, std::size_t n,
                     double scale, double weightScale = 1.0) {
  if (scale != 1.0) {
    for (std::size_t i = 0; i < n; ++i) x[i] *= scale;
  }
  double lighter[256];
  if (weightScale != 1.0) {
    for (std::size_t i = 0; i < n; ++i) lighter[i] = (w != nullptr ? w[i] : 1.0) * weightScale;
    w = lighter;
  }
  if (rest != nullptr) {
    for (std::size_t i = 0; i < n; ++i) carries += rest[i] * weightScale * x[i];
  }
  AddProducts(sum, x, w, n);
}

}  // namespace

// The running mean m rounds at every case, so it ends a few ulps from the
// exact mean, or further when values cancel (the largest double below the
// system-missing value, its negative and 1.5 leave m at 0). One walk over the
// kept values sums w·x nearly exactly, and m + (Σ w·x - W·m) / W is then the
// exact mean rounded once. At quarter scale (values near the largest
// doubles) the values are quartered first; a sum that overflows even so
// leaves the running mean.
// Values and weights whose products come near the smallest doubles (values
// near 1e-308 with weights below 1) lose digits there, which no error term
// can carry: their products are then taken in units a power of two finer,
// so that Σ w·x is about 1 in them, unless values far larger than the mean
// overflow in those units.
double ScaleAccumulator::CorrectedMean(const RawColumn& values, double mean) const {
  int magnitude = 0;
  if (FinerMeanUnits(mean, magnitude)) {
    const double finer = CorrectedMeanAt(values, mean, std::ldexp(1.0, std::min(-magnitude, 1000)));
    if (std::isfinite(finer)) return finer;
  }
  const double corrected = CorrectedMeanAt(values, mean, fValueScale);
  if (std::isfinite(corrected)) return corrected;
  // Σ w·x overflows even at quarter scale (weights near 1e307 on values near
  // the largest double): the weights in units of a power of two that brings
  // their total below 1, which changes no ratio, so no partial sum can pass
  // the largest value (at quarter scale).
  const double lighter = CorrectedMeanAt(values, mean, fValueScale, std::ldexp(1.0, -(std::ilogb(fWeight.sum) + 1)));
  return std::isfinite(lighter) ? lighter : mean;
}

bool ScaleAccumulator::FinerMeanUnits(double mean, int& magnitude) const {
  if (fValueScale != 1.0 || mean == 0.0) return false;
  magnitude = std::ilogb(mean) + std::ilogb(fWeight.sum);
  return magnitude < -400;
}

// The corrected mean with values in units of 1 / scale (a power of two),
// or infinity when Σ w·x overflows in them.
double ScaleAccumulator::CorrectedMeanAt(const RawColumn& values, double mean, double scale, double weightScale) const {
  ProductSum sum;
  double carries = 0.0;  // Σ of each table entry's weight carry times its value
  ForEachKept(values, [&](double* x, const double* w, const double* rest, std::size_t n) {
    AddKeptProducts(sum, carries, x, w, rest, n, scale, weightScale);
  });
  if (!fRaw) sum.lo[0] += carries;
  return CorrectedMeanFrom(sum, mean, scale, weightScale);
}

double ScaleAccumulator::CorrectedMeanFrom(const ProductSum& sum, double mean, double scale, double weightScale) const {
  // r = Σ w·x - W·m, with W·m exact by fma and the large terms cancelling
  // exactly (two-sum).
  const double m = mean * scale;
  const double weight = fWeight.sum * weightScale;
  const double q = weight * m;
  const double qError = std::fma(weight, m, -q) + fWeight.carry * weightScale * m;
  double hi = sum.hi[0];
  double lo = sum.lo[0] + sum.lo[1];
  AddProduct<false>(hi, lo, sum.hi[1], nullptr);
  AddProduct<false>(hi, lo, -q, nullptr);
  const double r = hi + (lo - qError);
  if (!std::isfinite(r)) return std::numeric_limits<double>::infinity();
  return (m + r / (fWeight.Value() * weightScale)) / scale;
}

// MeanOf and StdDevOf where both walk the kept values in their own units:
// one walk feeds both sums, batch by batch as each would alone, so both come
// out to the bit as they would.
bool ScaleAccumulator::MeanAndStdDevOf(const RawColumn& values, double& mean, double& sd) const {
  double running = SYSMIS;
  double centre = 0.0;
  int magnitude = 0;
  if (!fKeepValues || !RunningMean(running) || !DeviationCentre(centre) || FinerMeanUnits(running, magnitude)) {
    return false;
  }
  ProductSum products;
  double carries = 0.0;
  DeviationSums deviations;
  ForEachKept(values, [&](double* x, const double* w, const double* rest, std::size_t n) {
    AddKeptProducts(products, carries, x, w, rest, n, 1.0);
    AddDeviations(deviations, x, w, rest, n, centre);
  });
  if (!fRaw) products.lo[0] += carries;
  const double corrected = CorrectedMeanFrom(products, running, 1.0);
  mean = std::isfinite(corrected) ? corrected : running;
  sd = StdDevFrom(deviations);
  return true;
}

double ScaleAccumulator::StdDev() const {
  const double w = ValidWeight();
  if (!fHasShift || !(w > 1.0) || !std::isfinite(w)) return SYSMIS;
  const double variance = fM2 / ((w - 1.0) * WeightUnit(fWeight.sum));
  // Beyond the largest double it has no value to show.
  const double sd = std::sqrt(std::max(variance, 0.0)) / fInvScale / fValueScale;
  return std::isfinite(sd) ? sd : SYSMIS;
}

bool ScaleAccumulator::Adjust(double x, double delta) {
  bool moved = false;
  if (!std::isfinite(delta)) {
    if (!std::isfinite(x) || fValueScale != 1.0) return false;
    ToQuarterScale();
    delta = (x * fValueScale - fShift) - fMean;
    moved = true;
  }
  ScaleUnits(delta);
  return moved;
}

void ScaleAccumulator::ScaleUnits(double delta) {
  if (std::fabs(delta) > fScaleLimit) {
    Rescale(delta);
  } else if (std::fabs(delta) < fTinyLimit && delta != 0.0) {
    Refine(delta);
  }
}

void ScaleAccumulator::ToQuarterScale() {
  fValueScale = 0.25;
  fShift *= 0.25;
  fMean *= 0.25;
  // Deviations a quarter as large in units four times as fine: fM2 stays.
  fInvScale *= 4.0;
  fScaleLimit *= 0.25;
  fTinyLimit *= 0.25;
}

// A deviation whose square underflows in the present units (values near
// 1e-300): finer units, so that it is about 2^-60 in them, while the sum so
// far stays far from overflowing. Otherwise the square is far below an ulp of
// that sum and finer units are never needed again.
void ScaleAccumulator::Refine(double delta) {
  const int steps = -60 - std::ilogb(delta) - std::ilogb(fInvScale);
  if (fM2 != 0.0 && std::ilogb(fM2) + 2 * steps > 500) {
    fTinyLimit = 0.0;
    return;
  }
  fM2 = std::ldexp(fM2, 2 * steps);
  fInvScale = std::ldexp(fInvScale, steps);
  fScaleLimit = 0x1p256 / fInvScale;
  fTinyLimit = 0x1p-400 / fInvScale;
}

// A deviation too large to square safely: the sum of squares moves to units
// of a larger power of two (exact), with room for 2^256-sized deviations in
// the new units before the next move.
void ScaleAccumulator::Rescale(double delta) {
  if (!std::isfinite(delta)) return;
  const double inv = std::ldexp(1.0, -(std::ilogb(delta) - 200));
  const double ratio = inv / fInvScale;
  fM2 *= ratio * ratio;
  fInvScale = inv;
  // Finite, so that a difference that overflows still comes out of scale.
  fScaleLimit = std::min(0x1p256 / inv, std::numeric_limits<double>::max());
  fTinyLimit = 0x1p-400 / inv;
}

double ScaleAccumulator::QuarterScale(double mean) {
  fMean = mean;
  ToQuarterScale();
  return fMean;
}

namespace {

const double* Quarters(const double* x, std::size_t n, double* out) {
  for (std::size_t i = 0; i < n; ++i) out[i] = x[i] * 0.25;
  return out;
}

}  // namespace

bool ScaleAccumulator::AddRunMoments(const double* x, const double* w, std::size_t n) {
  // Deviations at quarter scale or in the heavy weights' units take the
  // step-by-step path, as do runs with deviations that would need other
  // units (checked after the loop, before anything is stored).
  if (fValueScale != 1.0 || !(fWeight.sum < kHeavyWeight)) return false;
  CompensatedSum weight = fWeight;
  const double shift = fShift;
  const double mean = fMean;
  const double inv = fInvScale;
  // Two lanes side by side, two values to an operation (each lane rounds as
  // its scalar operation would); the sums' additions wait for each other only
  // every other value, and the weights' chain is the loop's bound.
  typedef double Pair __attribute__((vector_size(16)));
  typedef std::int64_t Bits __attribute__((vector_size(16)));
  const Pair shifts = {shift, shift};
  const Pair means = {mean, mean};
  const Pair invs = {inv, inv};
  const Bits magnitude = {std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::max()};
  const Bits none = {std::bit_cast<std::int64_t>(std::numeric_limits<double>::infinity()),
                     std::bit_cast<std::int64_t>(std::numeric_limits<double>::infinity())};
  Pair s1 = {};   // Σ w·g, g = x - shift - mean
  Pair c1 = {};   // its rounding errors (two-sum)
  Pair s2 = {};   // Σ w·g² in the units of fM2
  Pair big = {};  // the largest |g|
  Pair small = {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity()};  // nonzero
  const auto two = [&](const double* xs, const double* ws) {
    Pair xv;
    Pair wv;
    std::memcpy(&xv, xs, sizeof xv);
    std::memcpy(&wv, ws, sizeof wv);
    const Pair g = (xv - shifts) - means;
    const Pair a = reinterpret_cast<Pair>(reinterpret_cast<Bits>(g) & magnitude);
    big = a > big ? a : big;
    // |g|, or infinity where g is 0 (its bits are all 0).
    const Pair nonzero = reinterpret_cast<Pair>(reinterpret_cast<Bits>(a) | ((a == 0.0) & none));
    small = nonzero < small ? nonzero : small;
    const Pair p = wv * g;
    const Pair t = s1 + p;
    c1 += TwoSumError(s1, p, t);
    s1 = t;
    s2 += (p * invs) * (g * invs);
  };
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    for (std::size_t l = 0; l < 4; ++l) weight.Add(w[i + l]);
    two(x + i, w + i);
    two(x + i + 2, w + i + 2);
  }
  if (i < n) {
    // The last one to three values, padded with the last value at weight 0
    // (a deviation already seen, adding 0 to every sum).
    double xs[4] = {x[n - 1], x[n - 1], x[n - 1], x[n - 1]};
    double ws[4] = {0.0, 0.0, 0.0, 0.0};
    for (std::size_t l = 0; i + l < n; ++l) {
      weight.Add(w[i + l]);
      xs[l] = x[i + l];
      ws[l] = w[i + l];
    }
    two(xs, ws);
    two(xs + 2, ws + 2);
  }
  CompensatedSum sum1;
  sum1.Add(s1[0]);
  sum1.Add(s1[1]);
  sum1.carry += c1[0] + c1[1];
  const double sum2 = s2[0] + s2[1];
  const double largest = std::max(big[0], big[1]);
  const double smallest = std::min(small[0], small[1]);
  const double s = sum1.Value();
  const double total = weight.Value();
  const double before = fWeight.Value();
  // A deviation beyond the units' room, or a nonzero one so small that a
  // difference of two near it might underflow in them (the step-by-step
  // path refines the units), a value that is no number, a total that
  // reaches the heavy weights.
  if (!std::isfinite(sum2) || !std::isfinite(s) || largest > fScaleLimit || smallest < fTinyLimit * 0x1p60 ||
      !(weight.sum < kHeavyWeight) || !(total > 0.0)) {
    return false;
  }
  // The weight so far at least half the run's: around the mean so far, the
  // sum of squares gains Σ w·g² - (Σ w·g)² / W, of which the second term is
  // at most the run's share of the first (Cauchy-Schwarz), two thirds of it
  // at the most: no cancellation to speak of.
  if (!(2.0 * before >= total - before)) return false;
  const double step = s / total;
  fWeight = weight;
  fMean = mean + step;
  fM2 += sum2 - (s * inv) * (step * inv);
  return true;
}

void ScaleAccumulator::AddRunsMoments(const double* x, const double* w, std::size_t n) {
  std::size_t i = 0;
  std::size_t most = n;
  if (fWeight.sum == 0.0) {
    // A fresh accumulator takes its first values one at a time, which keeps
    // short columns' moments as they were and gives the runs a mean to go
    // around; then runs as long as what it has taken, so that each weighs
    // about as much as the weight before it.
    i = std::min(n, kFirstSteps);
    StepMoments(x, w, i);
    most = i;
  }
  while (i < n) {
    const std::size_t take = std::min(n - i, most);
    if (!AddRunMoments(x + i, w + i, take)) StepMoments(x + i, w + i, take);
    i += take;
    most += take;
  }
}

void ScaleAccumulator::StepMoments(const double* x, const double* w, std::size_t n) {
  CompensatedSum weight = fWeight;
  double shift = fShift;
  // The values for the moments: x itself, or a quarter of each at quarter
  // scale (exact), so that the loop needs no multiplication.
  double quarters[kRun];
  const double* xm = x;
  if (fValueScale != 1.0) xm = Quarters(x, n, quarters);
  double mean = fMean;
  double m2 = fM2;
  double inv = fInvScale;
  double limit = fScaleLimit;
  double tiny = fTinyLimit;
  // The weight unit of the sum of squares, and the total at which it changes.
  double unit = WeightUnit(weight.sum);
  double heavyAt = unit == 1.0 ? kHeavyWeight : std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < n; ++i) {
    const double before = weight.Value();
    weight.Add(w[i]);
    if (weight.sum >= heavyAt) [[unlikely]] {
      m2 *= kHeavyUnit;
      unit = kHeavyUnit;
      heavyAt = std::numeric_limits<double>::infinity();
    }
    const double ratio = w[i] / weight.Value();
    double d = xm[i] - shift;
    double delta = d - mean;
    if (OutOfScale(delta, limit, tiny)) [[unlikely]] {
      if (!std::isfinite(delta) && std::isfinite(x[i]) && xm == x) {
        // (The mean goes there and back by value: a store of it to fMean
        // on this rare path makes the whole loop twice as slow.)
        mean = QuarterScale(mean);
        shift = fShift;
        xm = Quarters(x, n, quarters);
        d = xm[i] - shift;
        delta = d - mean;
      }
      fM2 = m2;
      ScaleUnits(delta);
      m2 = fM2;
      inv = fInvScale;
      limit = fScaleLimit;
      tiny = fTinyLimit;
    }
    if (ratio > 0.5) [[unlikely]] {
      // The new value outweighs all before it: its deviation from the new
      // mean is delta times the old share, which 1 - ratio would lose (a
      // weight of 1e300 after weights of 1: the old part gone).
      const double rest = before / weight.Value();
      mean = d - delta * rest;
      m2 += (w[i] * unit) * (delta * inv) * ((delta * rest) * inv);
    } else {
      mean += delta * ratio;
      m2 += (w[i] * unit) * (delta * inv) * ((d - mean) * inv);
    }
  }
  fWeight = weight;
  fMean = mean;
  fM2 = m2;
}

void ScaleAccumulator::AddValidRun(const double* x, const double* w, std::size_t n) {
  if (n == 0) return;
  CB_CHECK("engine", n <= kRun);
  if (!fHasShift) {
    fShift = x[0] * fValueScale;
    fHasShift = true;
  }
  // The moments first: where they take the valid weight to kHeavyWeight,
  // the values go on as pairs before the table could take them.
  AddRunsMoments(x, w, n);
  if (fKeepValues && fWeight.sum >= kHeavyWeight) [[unlikely]]
    KeepApart();
  // While the values are kept in the table and each is one it has already,
  // the value's weight is added to its entry here; the first value the table
  // does not have yet, or a value that needs more than a lookup, ends that,
  // and the values from it on are kept after this loop, in order, as Keep
  // would have kept them one by one.
  std::size_t kept = n;  // values kept in the loop
  bool weighted = fWeighted;
  if (fKeepValues && !fRaw) {
    const std::uint32_t entries = static_cast<std::uint32_t>(fSums.size());
    CompensatedSum* const sums = fSums.data();
    const NumericCategoryIndex::Quick quick = fTable.QuickLookup();
    std::size_t i = 0;
    // Made for a dense table or a hashed one, so that no value tests which.
    const auto knownValues = [&]<bool kDense>() {
      for (; i < n; ++i) {
        const std::uint32_t slot = kDense ? quick.FindDense(x[i]) : quick.FindHashed(x[i]);
        if (slot >= entries) break;
        sums[slot].AddInPlace(w[i]);
        weighted = weighted || w[i] != 1.0;
      }
    };
    if (quick.dense) {
      knownValues.template operator()<true>();
    } else {
      knownValues.template operator()<false>();
    }
    kept = i;
  }
  if (!fKeepValues) return;
  SettleValues();
  if (!fRaw) {
    fKept += kept;
    fWeighted = weighted;
  }
  // Once the values are stored raw they are appended as they come: with
  // their weights, or alone while every weight is 1.
  std::size_t i = fRaw ? 0 : kept;
  if (i == 0 && !fRaw && fKept == 0 && !fRetabling) i = StartRaw(x, w, n);
  while (i < n) {
    if (!fRaw) {
      Keep(x[i], w[i]);
      ++i;
    } else if (fWeighted) {
      fValues.Append(x + i, n - i);
      fWeights.Append(w + i, n - i);
      return;
    } else {
      std::size_t j = i;
      while (j < n && w[j] == 1.0) ++j;
      fValues.Append(x + i, j - i);
      if (j < n) {
        Keep(x[j], w[j]);  // the first other weight: pairs from here on
        ++j;
      }
      i = j;
    }
  }
}

std::size_t ScaleAccumulator::StartRaw(const double* x, const double* w, std::size_t n) {
  // Keep decides at the (kShortcutCheck + 1)-th distinct value, and goes
  // raw only while at most kShortcutRepeats values came before it again.
  constexpr std::size_t kLook = kShortcutCheck + 1 + kShortcutRepeats;
  if (n <= kShortcutCheck || !fSums.empty() || !fLater.empty()) return 0;
  // The distinct values so far by their table keys (one for +0 and -0), in
  // a small open-addressed set: where each was first seen, plus 1; 0 free.
  constexpr std::size_t kPlaces = 256;
  std::uint64_t keys[kPlaces];
  std::uint8_t firstSeen[kPlaces] = {};
  std::size_t repeatAt[kShortcutRepeats];
  std::size_t repeatOf[kShortcutRepeats];
  std::size_t repeats = 0;
  std::size_t distinct = 0;
  bool weighted = fWeighted;
  const auto tableValue = [](double v) { return v == 0.0 ? 0.0 : v; };
  const std::size_t look = std::min(n, kLook);
  for (std::size_t i = 0; i < look; ++i) {
    const auto key = std::bit_cast<std::uint64_t>(tableValue(x[i]));
    std::uint64_t h = (key ^ (key >> 33)) * 0xff51afd7ed558ccdULL;
    std::size_t p = (h ^ (h >> 33)) & (kPlaces - 1);
    while (firstSeen[p] != 0 && keys[p] != key) p = (p + 1) & (kPlaces - 1);
    if (firstSeen[p] != 0) {
      if (repeats == kShortcutRepeats) return 0;  // the table it stays
      repeatAt[repeats] = i;
      repeatOf[repeats] = firstSeen[p] - 1u;
      ++repeats;
      weighted = weighted || w[i] != 1.0;
      continue;
    }
    if (distinct < kShortcutCheck) {
      keys[p] = key;
      firstSeen[p] = static_cast<std::uint8_t>(i + 1);
      ++distinct;
      weighted = weighted || w[i] != 1.0;
      continue;
    }
    // The deciding value. Unit weights go raw (i < kLook: few repeats);
    // others only without a single repeat before them, as pairs.
    const bool unit = !weighted && w[i] == 1.0;
    if (!unit && i != kShortcutCheck) return 0;
    double values[kLook];
    std::size_t m = 0;
    for (std::size_t j = 0; j <= i; ++j) {
      bool repeat = false;
      for (std::size_t r = 0; r < repeats; ++r) repeat = repeat || repeatAt[r] == j;
      if (repeat) continue;
      const double v = tableValue(x[j]);
      values[m++] = v;
      for (std::size_t r = 0; r < repeats; ++r) {
        if (repeatOf[r] == j) values[m++] = v;
      }
    }
    fValues.Append(values, m);
    if (unit) {
      fKept = kProvisional;
    } else {
      fWeights.Append(w, m);
      fWeighted = true;
      fKept = kProvisionalPairs;
    }
    fRaw = true;
    return i + 1;
  }
  return 0;
}

double ScaleAccumulator::Percentile(double p) const { return Percentiles({p}).front(); }

namespace {

// Unweighted order statistics: the values at the given 0-based ranks, found
// by successive selections over a shrinking tail instead of a full sort.
// Works on codes as well as on doubles: the rank of a value does not depend
// on how the values are compared, only on their order.
template <class T>
std::vector<T> OrderStatistics(std::vector<T>& a, std::vector<std::size_t> ranks) {
  std::vector<std::size_t> sorted = ranks;
  std::sort(sorted.begin(), sorted.end());
  sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
  std::size_t lo = 0;
  for (std::size_t r : sorted) {
    std::nth_element(a.begin() + static_cast<std::ptrdiff_t>(lo), a.begin() + static_cast<std::ptrdiff_t>(r), a.end());
    lo = r + 1;
  }
  std::vector<T> out;
  out.reserve(ranks.size());
  for (std::size_t r : ranks) out.push_back(a[r]);
  return out;
}

// A stored value and its weight as codes of their columns (8 bytes instead
// of 16): codes compare as the values do, so every comparison, and so every
// partition, comes out as on the decoded pairs, and the weights are decoded
// to the same doubles where they are summed.
struct CodedPair {
  std::int32_t value;
  std::int32_t weight;
};

template <class Pair>
using KeyOf = decltype(Pair::value);

// Threads that a long weighted selection may hand part of its work to while
// they have nothing else to do (RunFinalJobs').
class IdleHelpers {
 public:
  // Runs `task` on an idle thread and returns true, or returns false at once
  // when no thread is idle (the caller runs it itself then).
  bool Offer(std::function<void()>& task) {
    std::lock_guard<std::mutex> lock(fMutex);
    if (fIdle <= fTasks.size()) return false;
    fTasks.push_back(std::move(task));
    fChanged.notify_one();
    return true;
  }

  // Runs jobs as RunFinalJobs says.
  void Run(std::size_t threads, std::size_t count, const std::function<void(std::size_t)>& job);

 private:
  void Work(std::size_t count, const std::function<void(std::size_t)>& job, bool share);

  std::mutex fMutex;
  std::condition_variable fChanged;
  std::deque<std::function<void()>> fTasks;
  std::size_t fIdle = 0;   // threads waiting for a task
  std::size_t fEnded = 0;  // jobs done
  std::atomic<std::size_t> fNext{0};
  std::exception_ptr fError;  // the first a job threw
};

thread_local IdleHelpers* tIdleHelpers = nullptr;

// A large copy is mapped on its own and asks for huge pages: a page fault
// is a trip through the kernel (in a virtual machine several microseconds),
// and a million pairs on 4 KiB pages cost some 2,000 of them, on 2 MiB pages
// four (8 MiB first written: about 50 ms against 1 ms when measured here).
// A kernel that takes no such advice makes the pages in one call instead
// (MAP_POPULATE: the copy is written whole, so none is made in vain), about
// half the cost of faulting them in. Small copies, and a system that
// refuses the mapping, take the heap.
struct CopyRelease {
  void* base = nullptr;  // the mapping; null: from the heap
  std::size_t mapped = 0;
  void operator()(CodedPair* p) const {
#if defined(__linux__) && defined(MAP_POPULATE) && defined(MADV_HUGEPAGE)
    if (base != nullptr) {
      ::munmap(base, mapped);
      return;
    }
#endif
    delete[] p;
  }
};
using CopyMemory = std::unique_ptr<CodedPair[], CopyRelease>;
CopyMemory MakeCopyMemory(std::size_t n) {
#if defined(__linux__) && defined(MAP_POPULATE) && defined(MADV_HUGEPAGE)
  constexpr std::size_t kMapFrom = std::size_t{1} << 20;  // bytes
  constexpr std::size_t kHuge = std::size_t{2} << 20;     // a huge page
  const std::size_t bytes = n * sizeof(CodedPair);
  if (bytes >= kMapFrom) {
    // Room to start on a huge page's boundary.
    const std::size_t mapped = bytes + kHuge;
    void* base = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base != MAP_FAILED) {
      const auto at = (reinterpret_cast<std::uintptr_t>(base) + kHuge - 1) & ~(std::uintptr_t{kHuge} - 1);
      void* start = reinterpret_cast<void*>(at);
      if (::madvise(start, bytes, MADV_HUGEPAGE) != 0) {
        ::munmap(base, mapped);
        base = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        if (base != MAP_FAILED) return CopyMemory(static_cast<CodedPair*>(base), CopyRelease{base, bytes});
      } else {
        return CopyMemory(static_cast<CodedPair*>(start), CopyRelease{base, mapped});
      }
    }
  }
#endif
  return CopyMemory(new CodedPair[n], CopyRelease{});
}

// The copy a weighted selection works on: while the thread runs
// RunFinalJobs' jobs, one kept for its next selection (a fresh copy of a
// million pairs costs some two thousand page faults), else its own.
class SelectionCopy {
 public:
  explicit SelectionCopy(std::size_t n) {
    Kept& kept = Mine();
    if (!kept.keep) {
      fOwn = MakeCopyMemory(n);
      fPairs = fOwn.get();
      return;
    }
    if (kept.size < n) {
      kept.data.reset();
      kept.data = MakeCopyMemory(n);
      kept.size = n;
    }
    fPairs = kept.data.get();
  }
  CodedPair* Pairs() const { return fPairs; }

  // From Keep() on, the thread keeps its copy until Drop().
  static void Keep() { Mine().keep = true; }
  static void Drop() { Mine() = Kept{}; }
  // A selection that makes a copy of another kind: the kept one goes first,
  // so that two copies never take memory at once.
  static void Free() {
    Kept& kept = Mine();
    kept.data.reset();
    kept.size = 0;
  }

 private:
  struct Kept {
    CopyMemory data;
    std::size_t size = 0;
    bool keep = false;
  };
  static Kept& Mine() {
    thread_local Kept* kept = nullptr;
    return RoomOf(kept);
  }
  CopyMemory fOwn;
  CodedPair* fPairs = nullptr;
};

// The parts of one selection handed to idle threads, and waiting for them.
class HandedParts {
 public:
  // Ranges shorter than this are selected where they are: handing them out
  // costs more than it saves.
  static constexpr std::ptrdiff_t kShortest = std::ptrdiff_t{1} << 15;

  // Hands `part` (of `length` pairs) to an idle thread; false when there is
  // none or the range is short.
  template <class Part>
  bool HandOut(std::ptrdiff_t length, Part part) {
    IdleHelpers* helpers = tIdleHelpers;
    if (helpers == nullptr || length < kShortest) return false;
    {
      std::lock_guard<std::mutex> lock(fMutex);
      ++fOut;
    }
    std::function<void()> task = [this, part]() mutable {
      part();
      std::lock_guard<std::mutex> lock(fMutex);
      if (--fOut == 0) fDone.notify_all();
    };
    if (helpers->Offer(task)) return true;
    std::lock_guard<std::mutex> lock(fMutex);
    --fOut;
    return false;
  }
  void Wait() {
    std::unique_lock<std::mutex> lock(fMutex);
    fDone.wait(lock, [this] { return fOut == 0; });
  }

 private:
  std::mutex fMutex;
  std::condition_variable fDone;
  int fOut = 0;
};

// Edelkamp and Weiss's block partition pairs the misplaced values in the
// same order as std::partition: the offsets of the misplaced values of a
// block from each end are noted without branches, then swapped pair by pair.
// When the two ends come too close for another block, std::partition goes on
// from the first misplaced value not yet paired, as it would have itself.
template <class Pair>
Pair* PartitionPairs(Pair* first, Pair* last, KeyOf<Pair> pivot) {
  constexpr std::ptrdiff_t kBlock = 128;
  std::uint8_t frontOffsets[kBlock];
  std::uint8_t backOffsets[kBlock];
  std::ptrdiff_t frontCount = 0;
  std::ptrdiff_t backCount = 0;
  std::ptrdiff_t frontNext = 0;
  std::ptrdiff_t backNext = 0;
  Pair* front = first;  // values before it are scanned
  Pair* back = last;    // values from it on are scanned
  Pair* frontBlock = first;
  Pair* backBlock = last;  // the back block's values lie below it
  const auto below = [pivot](const Pair& x) { return x.value < pivot; };
  while (true) {
    const std::ptrdiff_t need = (frontCount == 0 ? kBlock : 0) + (backCount == 0 ? kBlock : 0);
    if (back - front < need) break;
    if (frontCount == 0) {
      frontBlock = front;
      frontNext = 0;
      for (std::ptrdiff_t i = 0; i < kBlock; ++i) {
        frontOffsets[frontCount] = static_cast<std::uint8_t>(i);
        frontCount += below(front[i]) ? 0 : 1;
      }
      front += kBlock;
    }
    if (backCount == 0) {
      backBlock = back;
      backNext = 0;
      for (std::ptrdiff_t i = 0; i < kBlock; ++i) {
        backOffsets[backCount] = static_cast<std::uint8_t>(i);
        backCount += below(back[-1 - i]) ? 1 : 0;
      }
      back -= kBlock;
    }
    const std::ptrdiff_t pairs = std::min(frontCount, backCount);
    for (std::ptrdiff_t k = 0; k < pairs; ++k) {
      std::swap(frontBlock[frontOffsets[frontNext + k]], backBlock[-1 - backOffsets[backNext + k]]);
    }
    frontCount -= pairs;
    backCount -= pairs;
    frontNext += pairs;
    backNext += pairs;
  }
  if (frontCount > 0) return std::partition(frontBlock + frontOffsets[frontNext], back, below);
  if (backCount > 0) return std::partition(front, backBlock - backOffsets[backNext], below);
  return std::partition(front, back, below);
}

// Three-way weighted quickselect for several targets at once: one partition
// serves every target, and only the parts that hold a target are visited.
// targets[i] are cumulative weights, ascending; `base` is the compensated
// weight of everything below [first, last), and a target counts as reached
// `slack` early (see CumulativeSlack).
//
// When a thread that computes results is idle, the lower part of a long range
// goes to it while this frame goes on with the upper part (`parts` counts
// what was handed out; the selection waits for it).
template <class Pair, class WeightOf>
void SelectMany(Pair* first, Pair* last, CompensatedSum base, const double* targets, KeyOf<Pair>* results,
                std::size_t count, KeyOf<Pair> largest, double slack, const WeightOf& weightOf, HandedParts& parts) {
  using Key = KeyOf<Pair>;
  while (count > 0) {
    if (first == last) {
      for (std::size_t i = 0; i < count; ++i) results[i] = largest;
      return;
    }
    const Key p = first->value;
    const Key q = first[(last - first) / 2].value;
    const Key r = (last - 1)->value;
    const Key pivot = std::max(std::min(p, q), std::min(std::max(p, q), r));
    Pair* m1 = PartitionPairs(first, last, pivot);
    Pair* m2 = std::partition(m1, last, [pivot](const Pair& x) { return x.value == pivot; });
    CompensatedSum throughLower = base;
    for (const Pair* it = first; it != m1; ++it) throughLower.Add(weightOf(it->weight));
    CompensatedSum throughPivot = throughLower;
    for (const Pair* it = m1; it != m2; ++it) throughPivot.Add(weightOf(it->weight));
    const double reachLower = throughLower.Value() + slack;
    const double reachPivot = throughPivot.Value() + slack;
    // Targets in the lower part, at the pivot, and in the upper part.
    std::size_t lower = 0;
    while (lower < count && targets[lower] <= reachLower) ++lower;
    std::size_t atPivot = lower;
    while (atPivot < count && targets[atPivot] <= reachPivot) ++atPivot;
    for (std::size_t i = lower; i < atPivot; ++i) results[i] = pivot;
    if (lower > 0 && !(atPivot < count && parts.HandOut(m1 - first, [=, &weightOf, &parts] {
          SelectMany(first, m1, base, targets, results, lower, largest, slack, weightOf, parts);
        }))) {
      SelectMany(first, m1, base, targets, results, lower, largest, slack, weightOf, parts);
    }
    // Continue with the upper part in this frame.
    targets += atPivot;
    results += atPivot;
    count -= atPivot;
    base = throughPivot;
    first = m2;
  }
}

// WeightedSelectMany on n pairs of either kind, whose largest key and
// weight total (summed in their order) the caller found; `decode` turns a
// found key into its value.
template <class Pair, class WeightOf, class Decode>
std::vector<double> SelectPairs(Pair* values, std::size_t n, KeyOf<Pair> largest, double total,
                                const std::vector<double>& targets, const WeightOf& weightOf, const Decode& decode) {
  using Key = KeyOf<Pair>;
  std::vector<double> results(targets.size(), SYSMIS);
  if (n == 0 || targets.empty()) return results;
  std::vector<std::size_t> order(targets.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return targets[a] < targets[b]; });
  std::vector<double> sorted(targets.size());
  for (std::size_t i = 0; i < order.size(); ++i) sorted[i] = targets[order[i]];
  std::vector<Key> found(targets.size(), largest);
  HandedParts parts;
  SelectMany(values, values + n, CompensatedSum{}, sorted.data(), found.data(), sorted.size(), largest,
             CumulativeSlack(total), weightOf, parts);
  parts.Wait();
  for (std::size_t i = 0; i < order.size(); ++i) results[order[i]] = decode(found[i]);
  return results;
}

void IdleHelpers::Work(std::size_t count, const std::function<void(std::size_t)>& job, bool share) {
  tIdleHelpers = share ? this : nullptr;
  SelectionCopy::Keep();
  for (std::size_t i = fNext++; i < count; i = fNext++) {
    std::exception_ptr error;
    try {
      job(i);
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(fMutex);
    if (error && !fError) fError = error;
    if (++fEnded == count) fChanged.notify_all();
  }
  SelectionCopy::Drop();
  std::unique_lock<std::mutex> lock(fMutex);
  ++fIdle;
  for (;;) {
    // A job that handed out parts waits for them before it ends: once every
    // job has ended, no task comes any more.
    fChanged.wait(lock, [&] { return !fTasks.empty() || fEnded == count; });
    if (fTasks.empty()) break;
    std::function<void()> task = std::move(fTasks.front());
    fTasks.pop_front();
    --fIdle;
    lock.unlock();
    task();
    lock.lock();
    ++fIdle;
  }
  tIdleHelpers = nullptr;
}

void IdleHelpers::Run(std::size_t threads, std::size_t count, const std::function<void(std::size_t)>& job) {
  const std::size_t n = std::max<std::size_t>(1, std::min(threads, count));
  std::vector<std::thread> others;
  for (std::size_t k = 1; k < n; ++k) {
    // A thread the system will not start (no room for its stack under a
    // limit on memory) leaves the jobs to those that did start: a helper
    // left unjoined would end the program.
    try {
      others.emplace_back([&] {
        ThreadRooms rooms;
        Work(count, job, true);
      });
    } catch (const std::system_error&) {
      break;
    }
  }
  Work(count, job, !others.empty());
  for (std::thread& t : others) t.join();
  if (fError) std::rethrow_exception(fError);
}

}  // namespace

void RunFinalJobs(std::size_t threads, std::size_t count, const std::function<void(std::size_t)>& job) {
  IdleHelpers helpers;
  helpers.Run(threads, count, job);
}

WeightedValue* PartitionBelow(WeightedValue* first, WeightedValue* last, double pivot) {
  return PartitionPairs(first, last, pivot);
}

std::vector<double> WeightedSelectMany(std::vector<WeightedValue>& values, const std::vector<double>& targets) {
  const auto same = [](double x) { return x; };
  double largest = values.empty() ? 0.0 : values[0].value;
  CompensatedSum total;
  for (const WeightedValue& x : values) {
    largest = std::max(largest, x.value);
    total.Add(x.weight);
  }
  return SelectPairs(values.data(), values.size(), largest, total.Value(), targets, same, same);
}

double WeightedSelect(std::vector<WeightedValue>& values, double t) { return WeightedSelectMany(values, {t}).front(); }

// The table's distinct values become the raw storage. Unit weights expand
// back into repeated values so that plain selection still applies; other
// weights stay aggregated, one pair per distinct value, which the weighted
// (W + 1)p rule treats exactly as the equal values it replaces.
void ScaleAccumulator::SwitchToRaw() {
  SettleValues();
  const std::size_t distinct = fSums.size();
  if (fWeighted) {
    // A run at a time: appended one by one, each value and weight paid for
    // finding its chunk and room and for coding a run of one (a block of a
    // weighted continuous variable seeds a thousand of them).
    // A value's weight sum is compensated; its one double would drop the
    // part below it, and the corrected mean, which sums w·x over the stored
    // pairs, would then miss that part times the value (weighted values
    // that cancel: 7 ulps). That part follows as a pair of its own, a tiny
    // weight of either sign on the same value, which the selection sums
    // with the value's other weight as it sums equal values.
    double values[2 * kRun];
    double weights[2 * kRun];
    for (std::size_t from = 0; from < distinct; from += kRun) {
      const std::size_t n = std::min(kRun, distinct - from);
      std::size_t k = 0;
      for (std::size_t i = 0; i < n; ++i) {
        const auto s = static_cast<std::uint32_t>(from + i);
        const CompensatedSum& sum = fSums[s];
        const double whole = sum.Value();
        values[k] = fTable.Value(s);
        weights[k++] = whole;
        if (!std::isfinite(whole)) continue;
        const double rest = sum.Rest();
        if (rest != 0.0) {
          values[k] = fTable.Value(s);
          weights[k++] = rest;
        }
      }
      fValues.Append(values, k);
      fWeights.Append(weights, k);
    }
  } else {
    // Unit weights: every sum is a whole count, exact in a double.
    for (std::uint32_t s = 0; s < distinct; ++s) {
      fValues.AppendRepeated(fTable.Value(s), static_cast<std::size_t>(fSums[s].sum));
    }
  }
  fRaw = true;
  // The table is let go, also a short one (a block's, gone raw at its first
  // values): kept for the block the accumulator is reused for, a wide file's
  // thousand continuous variables held some 6 KB each of it in every block
  // in flight, for lookups a few microseconds make again.
  fTable = NumericCategoryIndex{};
  std::vector<CompensatedSum>().swap(fSums);
}

void ScaleAccumulator::Heavier(double before) {
  if (before < kHeavyWeight) fM2 *= kHeavyUnit;
  if (fKeepValues) KeepApart();
}

void ScaleAccumulator::KeepApart() {
  if (!fRaw) {
    SwitchToRaw();
  } else if (fKept == kProvisional || fKept == kProvisionalPairs) {
    fKept = 0;
  }
}

void ScaleAccumulator::Reset() {
  NumericCategoryIndex table = std::move(fTable);
  std::vector<CompensatedSum> sums = std::move(fSums);
  RawColumn values = std::move(fValues);
  RawColumn weights = std::move(fWeights);
  *this = ScaleAccumulator(fKeepValues);
  table.Clear();
  sums.clear();
  values.Reset();
  weights.Reset();
  fTable = std::move(table);
  fSums = std::move(sums);
  fValues = std::move(values);
  fWeights = std::move(weights);
}

void ScaleAccumulator::Retable() {
  SettleValues();
  const bool pairs = ProvisionalPairs();
  std::vector<double> values(fValues.Size());
  fValues.CopyTo(values.data());
  fValues.Clear();
  std::vector<double> weights(pairs ? values.size() : 0);
  if (pairs) fWeights.CopyTo(weights.data());
  fWeights.Clear();
  fRaw = false;
  fKept = 0;
  fWeighted = false;
  fRetabling = true;
  for (std::size_t i = 0; i < values.size(); ++i) Keep(values[i], pairs ? weights[i] : 1.0);
  fRetabling = false;
}

void ScaleAccumulator::KeepAggregated(double x, const CompensatedSum& w) {
  SettleValues();
  if (!fRaw) {
    ++fKept;
    const std::uint32_t slot = fTable.FindOrInsert(x);
    if (slot < fSums.size()) {
      fSums[slot].Add(w);
      return;
    }
    // With unit weights a table that mostly grows goes raw as in Keep: the
    // quartiles are order statistics of the same values either way, and
    // thousands of such tables (one per continuous variable) taken entry by
    // entry would not stay in the cache.
    const bool dense = !fWeighted && fSums.size() >= kDensityCheck && fSums.size() * 4 > fKept;
    if (fSums.size() < kTableLimit && !dense) {
      fSums.push_back(w);
      return;
    }
    SwitchToRaw();
  }
  if (!fWeighted) {
    // Unit weights: the entry's weight is how many times the value came.
    fValues.AppendRepeated(x, static_cast<std::size_t>(w.sum));
    return;
  }
  fValues.Append(x);
  fWeights.Append(w.Value());
}

void ScaleAccumulator::TakeLater(RawColumn& values) {
  if (values.Empty()) return;
  if (!fLater.empty() && fLater.back().TakeNarrow(values)) {
    values.Reset();
    return;
  }
  RawColumn narrow;
  if (narrow.TakeNarrow(values)) {
    fLater.push_back(std::move(narrow));
    values.Reset();
    return;
  }
  fLater.push_back(std::move(values));
  values = RawColumn{};
}

// Room for all of them at once, and each part freed as soon as it is copied.
void ScaleAccumulator::AppendLater() const {
  std::size_t more = 0;
  for (const RawColumn& part : fLater) more += part.Size();
  fValues.Expect(more);
  for (RawColumn& part : fLater) {
    fValues.Append(part);
    part = RawColumn{};
  }
  std::vector<RawColumn>().swap(fLater);
}

void ScaleAccumulator::Merge(ScaleAccumulator&& later) {
  if (later.Empty()) return;
  if (Empty()) {
    *this = std::move(later);
    return;
  }
  const double na = fWeight.Value();
  const double nb = later.fWeight.Value();
  const double unitA = WeightUnit(fWeight.sum);
  const double unitB = WeightUnit(later.fWeight.sum);
  fWeight.Add(later.fWeight);
  // Both sums of squares in the weight unit of the merged total.
  const double unit = WeightUnit(fWeight.sum);
  if (unit != unitA) fM2 *= unit / unitA;
  if (unit != unitB) later.fM2 *= unit / unitB;
  fMissing.Add(later.fMissing);
  if (later.fHasShift) {
    if (!fHasShift) {
      fHasShift = true;
      fShift = later.fShift;
      fMean = later.fMean;
      fM2 = later.fM2;
      fInvScale = later.fInvScale;
      fScaleLimit = later.fScaleLimit;
      fTinyLimit = later.fTinyLimit;
      fValueScale = later.fValueScale;
    } else {
      // Both at quarter scale when either is or when the means' difference
      // overflows at full scale.
      double delta = ((later.fShift - fShift) + later.fMean) - fMean;
      if (fValueScale != later.fValueScale ||
          (!std::isfinite(delta) && std::isfinite(fShift + fMean) && std::isfinite(later.fShift + later.fMean))) {
        if (fValueScale == 1.0) ToQuarterScale();
        if (later.fValueScale == 1.0) later.ToQuarterScale();
        delta = ((later.fShift - fShift) + later.fMean) - fMean;
      }
      // Both sums of squares in the coarser units, coarser still when the
      // means lie further apart than those units allow. A side without
      // deviations yet has no say in the units (a block of one value near
      // 1e-300 beside finer ones).
      if (later.fM2 != 0.0 && (later.fInvScale < fInvScale || fM2 == 0.0)) {
        const double ratio = later.fInvScale / fInvScale;
        if (fM2 != 0.0) fM2 *= ratio * ratio;
        fInvScale = later.fInvScale;
        fScaleLimit = later.fScaleLimit;
        fTinyLimit = later.fTinyLimit;
      }
      if (std::fabs(delta) > fScaleLimit) {
        Rescale(delta);
      } else if (later.fM2 == 0.0 && std::fabs(delta) < fTinyLimit && delta != 0.0) {
        Refine(delta);
      }
      const double ratio = fInvScale / later.fInvScale;
      const double n = na + nb;
      // From the heavier side, whose share of the step is the smaller.
      fMean = nb > na ? (fMean + delta) - delta * (na / n) : fMean + delta * (nb / n);
      const double laterM2 = later.fM2 == 0.0 ? 0.0 : later.fM2 * ratio * ratio;
      fM2 += laterM2 + (delta * fInvScale) * (delta * fInvScale) * ((na * (nb / n)) * unit);
    }
  }
  if (!fKeepValues || !later.fKeepValues) return;
  later.SettleValues();
  if (fWeight.sum >= kHeavyWeight) {
    KeepApart();
    later.KeepApart();
  }
  if (Provisional() || ProvisionalPairs()) Retable();
  if (later.ProvisionalPairs() && !fRaw) later.Retable();
  if (later.Provisional()) {
    // A merged table of weight 1 that took nearly only new values (at most
    // one repeat in eight: a continuous variable, not a 365-day date) goes
    // raw now instead of taking block after block entry by entry until the
    // density check: the quartiles are the same order statistics either way.
    if (!fRaw && !fWeighted && fSums.size() >= kShortcutCheck && fKept <= fSums.size() + fSums.size() / 8) {
      SwitchToRaw();
    }
    if (fRaw && !fWeighted) {
      // Unit weights on both sides: the same values as the later table's
      // entries repeated, taken as they are.
      TakeLater(later.fValues);
      return;
    }
    later.Retable();
  }
  // One weight flag for the union: values kept as repeats become pairs of
  // value and weight 1 once either side has another weight.
  if (later.fWeighted && !fWeighted) {
    SettleValues();
    fWeighted = true;
    if (fRaw) fWeights.AppendRepeated(1.0, fValues.Size());
  }
  if (!later.fRaw) {
    if (fRaw && !fWeighted) {  // nor the later one (see above)
      // The later table's entries expanded (each value as many times as it
      // came, in slot order) are what KeepAggregated would append: made
      // into a part of their own, they wait beside the other later parts,
      // in two bytes a value where they fit, instead of growing this
      // column (a wide file's continuous variables, block after block).
      // The later table keeps its room for the block it is reused for.
      std::size_t values = 0;
      for (const CompensatedSum& count : later.fSums) values += static_cast<std::size_t>(count.sum);
      thread_local RawColumn* room = nullptr;
      RawColumn& part = RoomOf(room);  // kept for the next
      part.Reset();
      part.Expect(values);
      for (std::uint32_t s = 0; s < later.fSums.size(); ++s) {
        part.AppendRepeated(later.fTable.Value(s), static_cast<std::size_t>(later.fSums[s].sum));
      }
      TakeLater(part);
      return;
    }
    for (std::uint32_t s = 0; s < later.fSums.size(); ++s) KeepAggregated(later.fTable.Value(s), later.fSums[s]);
    return;
  }
  if (!fRaw) SwitchToRaw();
  if (!fWeighted) {  // nor the later one (see above)
    TakeLater(later.fValues);
    return;
  }
  SettleValues();
  fValues.Append(later.fValues);
  if (later.fWeighted) {
    fWeights.Append(later.fWeights);
  } else {
    fWeights.AppendRepeated(1.0, fValues.Size() - fWeights.Size());
  }
}

// x(t) for every target t from the table: only the distinct values are
// sorted, and the cumulative weights are read off their summed weights.
std::vector<double> ScaleAccumulator::TableSelect(const std::vector<double>& targets) const {
  const std::vector<CompensatedSum>& sums = fSums;
  const NumericCategoryIndex& index = fTable;
  std::vector<std::uint32_t> order(sums.size());
  for (std::uint32_t s = 0; s < order.size(); ++s) order[s] = s;
  std::sort(order.begin(), order.end(),
            [&index](std::uint32_t a, std::uint32_t b) { return index.Value(a) < index.Value(b); });
  std::vector<double> cumulative(order.size());
  CompensatedSum running;
  for (std::size_t i = 0; i < order.size(); ++i) {
    running.Add(sums[order[i]]);
    cumulative[i] = running.Value();
  }
  const double slack = CumulativeSlack(running.Value());
  std::vector<double> out;
  out.reserve(targets.size());
  for (double t : targets) {
    const auto at = std::lower_bound(cumulative.begin(), cumulative.end(), t - slack);
    const std::size_t i = at == cumulative.end() ? order.size() - 1 : static_cast<std::size_t>(at - cumulative.begin());
    out.push_back(index.Value(order[i]));
  }
  return out;
}

void RawColumn::CodeRange(std::int32_t& low, std::int32_t& high) const {
  low = high = CodeAt(0, 0);
  for (std::size_t c = 0; c < fCodes.size(); ++c) {
    WithCodes(c, [&](const auto* k, std::size_t n) {
      // In locals: through the references every step stored both, and the
      // loop was not vectorised (12 instructions a code).
      std::int32_t lo = low;
      std::int32_t hi = high;
      for (std::size_t i = 0; i < n; ++i) {
        lo = std::min<std::int32_t>(lo, k[i]);
        hi = std::max<std::int32_t>(hi, k[i]);
      }
      low = lo;
      high = hi;
    });
  }
}

void RawColumn::MinMax(double& smallest, double& largest) const {
  if (Keyed()) {
    std::int32_t low = 0;
    std::int32_t high = 0;
    CodeRange(low, high);
    smallest = Decode(low);
    largest = Decode(high);
    return;
  }
  // The first smallest and the last largest, as std::minmax_element (0 and
  // -0 compare equal).
  bool first = true;
  ForEach([&](double x) {
    if (first) {
      smallest = largest = x;
      first = false;
    }
    if (x < smallest) smallest = x;
    if (!(x < largest)) largest = x;
  });
}

namespace {
// Columns shorter than this are selected on a whole copy: the sample and the
// walk cost more than they save there.
constexpr std::size_t kBracketFrom = std::size_t{1} << 17;
// Pairs sampled, at even steps through the column; a target is bracketed
// this far (as a share of the weight) on either side of where the sample
// puts it: four standard errors of a sampled quantile at most.
constexpr std::size_t kSampled = std::size_t{1} << 14;
constexpr double kBracketShare = 2.0 / 128.0;
}  // namespace

bool BracketSelectMany(const RawColumn& values, const RawColumn& weights, const std::vector<double>& targets,
                       std::optional<double> total, std::vector<double>& results) {
  const std::size_t n = values.Size();
  if (n < kSampled || n >= (std::size_t{1} << 32) || targets.empty() || !values.Keyed() || !weights.Coded() ||
      weights.Size() != n) {
    return false;
  }
  std::vector<std::size_t> order(targets.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return targets[a] < targets[b]; });
  std::vector<double> sorted(targets.size());
  for (std::size_t i = 0; i < order.size(); ++i) sorted[i] = targets[order[i]];
  if (!std::isfinite(sorted.front()) || !std::isfinite(sorted.back())) return false;

  // The sample, by key, with its cumulative weights.
  struct Drawn {
    std::int32_t key;
    double weight;
  };
  std::vector<Drawn> sample(kSampled);
  for (std::size_t k = 0; k < kSampled; ++k) {
    const std::size_t i = (k * n + n / 2) / kSampled;
    const std::size_t c = i / RawColumn::kChunk;
    const std::size_t j = i % RawColumn::kChunk;
    sample[k] = {values.CodeAt(c, j), weights.Decode(weights.CodeAt(c, j))};
  }
  std::sort(sample.begin(), sample.end(), [](const Drawn& a, const Drawn& b) { return a.key < b.key; });
  std::vector<double> through(kSampled);
  double sampled = 0.0;
  for (std::size_t k = 0; k < kSampled; ++k) through[k] = sampled += sample[k].weight;
  const double whole = total ? *total : sampled * static_cast<double>(n) / static_cast<double>(kSampled);
  if (!(sampled > 0.0) || !std::isfinite(sampled) || !(whole > 0.0) || !std::isfinite(whole)) return false;
  // The first sampled key whose cumulative weight reaches the share.
  const auto keyAt = [&](double share) -> std::int64_t {
    const auto it = std::lower_bound(through.begin(), through.end(), share * sampled);
    return it == through.end() ? std::numeric_limits<std::int32_t>::max() : sample[it - through.begin()].key;
  };
  struct Bracket {
    std::int64_t low;
    std::int64_t high;  // keys low..high
  };
  std::vector<Bracket> brackets;
  for (const double t : sorted) {
    const double share = t / whole;
    const std::int64_t low =
        share - kBracketShare <= 0.0 ? std::numeric_limits<std::int32_t>::min() : keyAt(share - kBracketShare);
    const std::int64_t high =
        share + kBracketShare >= 1.0 ? std::numeric_limits<std::int32_t>::max() : keyAt(share + kBracketShare);
    if (!brackets.empty() && low <= brackets.back().high + 1) {
      brackets.back().high = std::max(brackets.back().high, high);
    } else {
      brackets.push_back({low, high});
    }
  }
  // Brackets holding much of the sample would copy much of the column.
  std::size_t within = 0;
  for (const Drawn& d : sample) {
    for (const Bracket& b : brackets) within += d.key >= b.low && d.key <= b.high ? 1 : 0;
  }
  if (within > kSampled / 4) return false;

  // One walk: a key's place among the brackets' bounds is even between
  // brackets and odd within one. Its weight goes to that place's sum (four
  // lanes, rows in turn: a place's sum is a chain through memory, and a
  // sorted column puts long runs in one place); a pair within a bracket is
  // copied too. Columns of 2^32 values or more are left to the whole copy
  // (the sums of codes stay within 64 bits below that).
  constexpr std::size_t kLanes = 4;
  constexpr std::size_t kMostBrackets = 4;
  // Room for four brackets: eight bounds, the unused ones beyond every key
  // (codes lie within +-kExceptionBase). A key's place is how many bounds it
  // has reached, and bounds ascend: the trailing ones of the mask of bounds
  // it is past.
  if (brackets.size() > kMostBrackets) return false;
  alignas(16) std::int32_t pastBound[2 * kMostBrackets];  // a key reaches bound b when key > pastBound[b]
  std::fill(std::begin(pastBound), std::end(pastBound), std::numeric_limits<std::int32_t>::max());
  for (std::size_t k = 0; k < brackets.size(); ++k) {
    const auto clamp = [](std::int64_t v) {
      return static_cast<std::int32_t>(std::clamp<std::int64_t>(v, std::numeric_limits<std::int32_t>::min(),
                                                                std::numeric_limits<std::int32_t>::max()));
    };
    pastBound[2 * k] = clamp(brackets[k].low - 1);
    pastBound[2 * k + 1] = clamp(brackets[k].high);
  }
  const std::size_t places = 2 * brackets.size() + 1;
  std::vector<std::vector<CodedPair>> inside(brackets.size());
  for (auto& pairs : inside) pairs.reserve(static_cast<std::size_t>(static_cast<double>(n) * 2.5 * kBracketShare) + 64);
  std::int32_t largest = values.CodeAt(0, 0);
#if defined(__SSE2__)
  const __m128i pastLow = _mm_load_si128(reinterpret_cast<const __m128i*>(pastBound));
  const __m128i pastHigh = _mm_load_si128(reinterpret_cast<const __m128i*>(pastBound + 4));
  const auto placeOf = [&](std::int32_t key) {
    const __m128i k = _mm_set1_epi32(key);
    const int low = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(k, pastLow)));
    const int high = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(k, pastHigh)));
    return static_cast<std::size_t>(std::countr_one(static_cast<unsigned>(low | high << 4)));
  };
#else
  const auto placeOf = [&](std::int32_t key) {
    std::size_t place = 0;
    for (const std::int32_t b : pastBound) place += key > b ? 1 : 0;
    return place;
  };
#endif
  // A weight's code k stands for k / 10^d: a place's codes are summed
  // exactly as integers (no division, no compensation) and divided once,
  // which gives their exact decimal total rounded once. The few weights kept
  // as exceptions (sums of several) are decoded and summed compensated.
  std::vector<std::int64_t> codeSums(kLanes * places);
  std::vector<CompensatedSum> exceptionSums(places);
  std::int32_t top = largest;
  std::int64_t* const codeSum = codeSums.data();
  // The chunk's codes, the largest key and the sums in locals: the copies'
  // stores could otherwise alias them, as far as the compiler knows, and
  // every row would read them again.
  const auto walk = [&](const auto* const x, const auto* const w, std::size_t m) {
    for (std::size_t j = 0; j < m; ++j) {
      const std::int32_t key = x[j];
      const std::int32_t code = w[j];
      top = std::max(top, key);
      const std::size_t place = placeOf(key);
      if (RawColumn::IsException(code)) [[unlikely]] {
        exceptionSums[place].Add(weights.Decode(code));
      } else {
        codeSum[kLanes * place + (j & (kLanes - 1))] += code;
      }
      if ((place & 1) != 0) [[unlikely]]
        inside[place >> 1].push_back({key, code});
    }
  };
  for (std::size_t c = 0; c < values.Chunks(); ++c) {
    values.WithCodes(c, [&](const auto* x, std::size_t m) {
      weights.WithCodes(c, [&](const auto* w, std::size_t) { walk(x, w, m); });
    });
  }
  largest = top;
  // The weight below each bracket and through it, in the order of the places.
  std::vector<CompensatedSum> below(brackets.size());
  std::vector<double> reached(brackets.size());
  CompensatedSum running;
  std::int64_t codesSoFar = 0;
  CompensatedSum exceptionsSoFar;
  for (std::size_t place = 0; place < places; ++place) {
    if ((place & 1) != 0) below[place >> 1] = running;
    for (std::size_t lane = 0; lane < kLanes; ++lane) codesSoFar += codeSum[kLanes * place + lane];
    exceptionsSoFar.Add(exceptionSums[place]);
    running = CompensatedSum{weights.DecodeSum(codesSoFar), 0.0};
    running.Add(exceptionsSoFar);
    if ((place & 1) != 0) reached[place >> 1] = running.Value();
  }
  const double weightTotal = total ? *total : running.Value();
  const double slack = CumulativeSlack(weightTotal);
  // A target must lie clearly within its bracket: past what comes before it
  // and reached by its end, by more than the sums' orders could move them
  // (which grows with the total, where the slack stops growing).
  const double margin = std::fabs(weightTotal) * 0x1p-50;
  std::vector<std::int32_t> found(sorted.size(), largest);
  std::size_t i = 0;
  for (std::size_t k = 0; k < brackets.size() && i < sorted.size(); ++k) {
    const double from = below[k].Value() + slack + margin;
    const double to = reached[k] + slack - margin;
    const std::size_t first = i;
    while (i < sorted.size() && sorted[i] > from && sorted[i] <= to) ++i;
    if (i < sorted.size() && sorted[i] <= to) return false;  // reached before this bracket
    if (i == first) continue;
    const auto weightOf = [&weights](std::int32_t code) { return weights.Decode(code); };
    HandedParts parts;
    CodedPair* const pairs = inside[k].data();
    SelectMany(pairs, pairs + inside[k].size(), below[k], sorted.data() + first, found.data() + first, i - first,
               largest, slack, weightOf, parts);
    parts.Wait();
  }
  if (i < sorted.size()) return false;  // past every bracket
  results.assign(targets.size(), SYSMIS);
  for (std::size_t t = 0; t < order.size(); ++t) results[order[t]] = values.Decode(found[t]);
  return true;
}

std::vector<double> WeightedSelectMany(const RawColumn& values, const RawColumn& weights,
                                       const std::vector<double>& targets, std::optional<double> total) {
  const std::size_t n = values.Size();
  CB_CHECK("engine", weights.Size() == n);
  if (values.Keyed() && weights.Coded()) {
    if (n >= kBracketFrom) {
      std::vector<double> results;
      if (BracketSelectMany(values, weights, targets, total, results)) return results;
    }
    // The copy is written whole before it is read: no zeroing first. The
    // largest key, and the weight total when not given, come from the same
    // walk; a given total leaves a plain copy (the sum's chain, with a
    // division to decode every weight, was most of the walk).
    const SelectionCopy copy(n);
    CodedPair* const pairs = copy.Pairs();
    const auto weightOf = [&weights](std::int32_t k) { return weights.Decode(k); };
    const auto decode = [&values](std::int32_t k) { return values.Decode(k); };
    std::int32_t largest = n == 0 ? 0 : values.CodeAt(0, 0);
    CompensatedSum sum;
    std::size_t i = 0;
    const auto take = [&](const auto* const x, const auto* const w, std::size_t m) {
      CodedPair* const to = pairs + i;
      for (std::size_t j = 0; j < m; ++j) {
        to[j] = {x[j], w[j]};
        largest = std::max<std::int32_t>(largest, x[j]);
      }
      if (!total) {
        for (std::size_t j = 0; j < m; ++j) sum.Add(weightOf(w[j]));
      }
      i += m;
    };
    for (std::size_t c = 0; c < values.Chunks(); ++c) {
      values.WithCodes(c, [&](const auto* x, std::size_t m) {
        weights.WithCodes(c, [&](const auto* w, std::size_t) { take(x, w, m); });
      });
    }
    return SelectPairs(pairs, n, largest, total ? *total : sum.Value(), targets, weightOf, decode);
  }
  SelectionCopy::Free();
  std::vector<WeightedValue> pairs(n);
  std::size_t i = 0;
  values.ForEach([&](double x) { pairs[i++].value = x; });
  i = 0;
  weights.ForEach([&](double x) { pairs[i++].weight = x; });
  return WeightedSelectMany(pairs, targets);
}

namespace {

// The values at the given 0-based ranks of a keyed column whose codes lie
// in a short span (a continuous variable's cents from 0 to 100, thousands of
// values each): a count per code and one walk up the counts, instead of a
// copy and successive selections over it. The same codes come out, so the
// same values. False, with nothing done, when the span is long against the
// values (the counts would cost more memory or time than the copy).
bool CountedRanks(const RawColumn& column, const std::vector<std::size_t>& ranks, std::vector<double>& found) {
  const std::size_t n = column.Size();
  if (n == 0 || n > std::numeric_limits<std::uint32_t>::max()) return false;
  std::int32_t low = 0;
  std::int32_t high = 0;
  column.CodeRange(low, high);
  // Codes lie within +-2^30: the span fits.
  const std::size_t span = static_cast<std::size_t>(static_cast<std::int64_t>(high) - low) + 1;
  if (span / 8 > n || span > std::max<std::size_t>(2 * n, std::size_t{1} << 18)) return false;
  std::vector<std::uint32_t> counts(span, 0);
  for (std::size_t c = 0; c < column.Chunks(); ++c) {
    column.WithCodes(c, [&](const auto* k, std::size_t m) {
      for (std::size_t i = 0; i < m; ++i) ++counts[static_cast<std::size_t>(k[i] - low)];
    });
  }
  std::vector<std::size_t> order(ranks.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&ranks](std::size_t a, std::size_t b) { return ranks[a] < ranks[b]; });
  found.assign(ranks.size(), 0.0);
  std::size_t below = 0;  // values with codes under low + code
  std::size_t code = 0;
  for (const std::size_t i : order) {
    // The rank-th value is the code whose counts take the running total past it.
    while (below + counts[code] <= ranks[i]) below += counts[code++];
    found[i] = column.Decode(static_cast<std::int32_t>(low + static_cast<std::int64_t>(code)));
  }
  return true;
}

}  // namespace

// x(t) for every target t from the stored values: by counting where their
// codes lie in a short span, otherwise on one copy of them (of their codes
// where the columns are coded: 4 or 8 bytes a value instead of 8 or 16).
std::vector<double> ScaleAccumulator::RawSelect(const RawColumn& values, const std::vector<double>& targets) const {
  if (targets.empty()) return {};
  if (fWeighted) return WeightedSelectMany(values, fWeights, targets, ValidWeight());
  SelectionCopy::Free();
  // Unit weights: x(t) for whole t is the t-th smallest value.
  const std::size_t n = values.Size();
  std::vector<std::size_t> ranks;
  for (double t : targets) ranks.push_back(std::min(static_cast<std::size_t>(t) - 1, n - 1));
  if (values.Keyed()) {
    std::vector<double> found;
    if (CountedRanks(values, ranks, found)) return found;
    std::vector<std::int32_t> codes;
    codes.reserve(n);
    for (std::size_t c = 0; c < values.Chunks(); ++c) {
      values.WithCodes(c, [&](const auto* k, std::size_t m) { codes.insert(codes.end(), k, k + m); });
    }
    for (const std::int32_t k : OrderStatistics(codes, ranks)) found.push_back(values.Decode(k));
    return found;
  }
  std::vector<double> copy(n);
  values.CopyTo(copy.data());
  return OrderStatistics(copy, ranks);
}

std::vector<double> ScaleAccumulator::Percentiles(const std::vector<double>& ps) const {
  SettleValues();
  if (!std::isfinite(fWeight.sum)) {
    ScaleAccumulator lighter(true);
    if (Lighter(lighter)) return lighter.Percentiles(ps);
  }
  return PercentilesOf(fValues, ps);
}

namespace {

// h's whole part and fraction as decimal weights make it. (W + 1)p computed
// in binary carries the weights' error in its last bits (weights 0.3 and 3
// give W = 3.2999999999999998 and h = 3.2249999999999996 at the 75th
// percentile), and the step multiplies it into the result: 0.25 and 3 give
// 0.868749999999999 for the decimal 0.86875, shown 0.8687. Even an h that
// is the double nearest its decimal leaves h - floor(h) with the error of
// the whole h (4.975 - 4 is 0.97499999999999964, not the double nearest
// 0.975). So an h within h * 2^-50 of a number of fifteen significant digits
// is taken as that number, its fraction read as written (0.225, 0.975);
// other h stay as they are. The fraction is also given as the decimal
// digits / `scale` (a power of ten; 1 when it stays binary), since even the
// double nearest 0.5875 carries an error that the step multiplies: -1.5 and
// 1 at h = 1.5875 gave -0.03124999999999994 for -0.03125, shown -0.0312.
void SplitH(double h, double& whole, double& frac, double& digits, double& scale) {
  whole = std::floor(h);
  frac = h - whole;
  digits = frac;
  scale = 1.0;
  char text[48];
  const auto sci = std::to_chars(text, text + sizeof text, h, std::chars_format::scientific, 14);
  double near = h;
  if (sci.ec != std::errc() || std::from_chars(text, sci.ptr, near).ec != std::errc()) return;
  if (!(std::fabs(near - h) <= std::fabs(h) * 0x1p-50) || std::floor(near) != whole) return;
  const auto fixed = std::to_chars(text, text + sizeof text, near, std::chars_format::fixed);
  if (fixed.ec != std::errc()) return;
  char* const point = std::find(text, fixed.ptr, '.');
  if (point == fixed.ptr) return;
  // "0.225": the fraction's digits after a zero, read as one decimal number.
  char* const start = point - 1;
  *start = '0';
  double decimal = frac;
  if (std::from_chars(start, fixed.ptr, decimal).ec != std::errc()) return;
  frac = decimal;
  // At most fifteen significant digits, so they and their power of ten are
  // exact doubles.
  double whole_digits = 0.0;
  if (std::from_chars(point + 1, fixed.ptr, whole_digits).ec != std::errc()) return;
  digits = whole_digits;
  scale = std::pow(10.0, static_cast<double>(fixed.ptr - point - 1));
}

// x(k) + the fraction's share of the step to x(k + 1), rounded once. In
// extended precision the step and its share keep the bits a double would
// round away, so -2.5 and 0.1 at h = 1.75 give -0.55, not
// -0.5499999999999998; a decimal fraction's share is its digits times the
// step over their power of ten (see SplitH). The step between values of
// opposite signs near the largest double overflows where long double is no
// wider than double; each share of it does not.
double Interpolate(double lower, double upper, double frac, double digits, double scale) {
  const long double step = static_cast<long double>(upper) - lower;
  const long double share =
      scale == 1.0 ? static_cast<long double>(frac) * step : static_cast<long double>(digits) * step / scale;
  return std::isfinite(step) && std::isfinite(share) ? static_cast<double>(lower + share)
                                                     : lower * (1.0 - frac) + upper * frac;
}

}  // namespace

// Past 2^52 a weight total, and so h and the cumulative weights, may need
// more digits than a double has: weights 1e16, 1e16 and 1 on 1, 2 and 3 put
// the median at h = 1e16 + 1, which rounds to 1e16, the cumulative weight of
// the 1. Such totals come only from whole weights of that size, so the rule
// is applied there on the sorted values with h and every cumulative weight
// kept as a pair of doubles (a rare case: no selection, one sort).
std::vector<double> ScaleAccumulator::HugePercentilesOf(const RawColumn& values, const std::vector<double>& ps) const {
  struct Entry {
    double x;
    double w;
    double rest;
  };
  std::vector<Entry> entries;
  ForEachKept(values, [&](const double* x, const double* w, const double* rest, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      entries.push_back({x[i], w != nullptr ? w[i] : 1.0, rest != nullptr ? rest[i] : 0.0});
    }
  });
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.x < b.x; });
  // The smallest value whose cumulative weight reaches t (a pair), a
  // cumulative weight short of it by at most the slack counting as reaching.
  const double slack = CumulativeSlack(fWeight.sum);
  const auto at = [&](double tHi, double tLo) {
    CompensatedSum through;
    for (const Entry& e : entries) {
      through.Add(e.w);
      through.carry += e.rest;
      if ((through.sum - tHi) + (through.carry - tLo) >= -slack) return e.x;
    }
    return entries.back().x;
  };
  // W + 1 as a pair.
  const double a = fWeight.sum + 1.0;
  const double az = a - fWeight.sum;
  const double aRest = ((fWeight.sum - (a - az)) + (1.0 - az)) + fWeight.carry;
  std::vector<double> out;
  for (const double p : ps) {
    double hHi = a * p;
    double hLo = std::fma(a, p, -hHi) + aRest * p;
    const double nearest = std::round(hHi + hLo);
    if (std::fabs((hHi - nearest) + hLo) <= slack) {
      hHi = nearest;
      hLo = 0.0;
    }
    // floor(h) as a pair, and the fraction.
    double kHi = std::floor(hHi);
    double kLo = 0.0;
    if (kHi == hHi) {
      kLo = std::floor(hLo);
    }
    double frac = (hHi - kHi) + (hLo - kLo);
    // hHi's own fraction and a rest of the other sign may carry the pair's
    // fraction past a whole number.
    if (frac < 0.0) {
      kLo -= 1.0;
      frac += 1.0;
    } else if (frac >= 1.0) {
      kLo += 1.0;
      frac -= 1.0;
    }
    if ((hHi - 1.0) + hLo < 0.0) {
      out.push_back(entries.front().x);
    } else if ((hHi - fWeight.sum) + (hLo - fWeight.carry) >= -slack) {
      out.push_back(entries.back().x);
    } else {
      const double lower = at(kHi, kLo);
      const double upper = at(kHi, kLo + 1.0);
      // The fraction read as the decimal it is within rounding of, as for
      // smaller totals (weights 2.5e16, 2.5e16, 1.5 and 0.1 put the median at
      // 0.3 of its step: 0.9 between 0 and 3, where binary gave
      // 0.9000000000000001); its error, a few ulps of the rests, is far
      // below frac * 2^-50.
      double whole = 0.0;
      double decimal = frac;
      double digits = frac;
      double scale = 1.0;
      SplitH(frac, whole, decimal, digits, scale);
      out.push_back(Interpolate(lower, upper, decimal, digits, scale));
    }
  }
  return out;
}

std::vector<double> ScaleAccumulator::PercentilesOf(const RawColumn& values, const std::vector<double>& ps) const {
  std::vector<double> out(ps.size(), SYSMIS);
  const double w = ValidWeight();
  if ((fRaw ? values.Empty() : fSums.empty()) || !(w > 0.0) || !std::isfinite(w)) return out;
  if (w >= 0x1p52 && w < kHeavyWeight) return HugePercentilesOf(values, ps);

  // Per percentile: h = (W + 1)p; below 1 the smallest value, from W on the
  // largest, otherwise x(floor h) plus the fraction of the step to the next.
  // An h that misses a whole number only by the error of decimal weights is
  // that number, so that W = 3 from ten weights of 0.3 gives P75 = x(3).
  struct Plan {
    int kind;  // 0 smallest, 1 largest, 2 interpolate
    double k;
    double frac;
    double digits;  // frac as digits / scale (scale a power of ten, or 1)
    double scale;
  };
  std::vector<Plan> plans;
  std::vector<double> targets;  // x(k) and x(k + 1) of every interpolating plan
  const double slack = CumulativeSlack(w + 1.0);
  for (double p : ps) {
    double h = (w + 1.0) * p;
    const double whole = std::round(h);
    if (std::fabs(h - whole) <= slack) h = whole;
    if (h < 1.0) {
      plans.push_back({0, 0, 0, 0, 1});
    } else if (h >= w - slack) {
      plans.push_back({1, 0, 0, 0, 1});
    } else {
      double k = 0.0;
      double frac = 0.0;
      double digits = 0.0;
      double scale = 1.0;
      SplitH(h, k, frac, digits, scale);
      plans.push_back({2, k, frac, digits, scale});
      targets.push_back(k);
      targets.push_back(k + 1.0);
    }
  }

  double smallest = 0.0;
  double largest = 0.0;
  std::vector<double> found;
  if (fRaw) {
    values.MinMax(smallest, largest);
    found = RawSelect(values, targets);
  } else {
    smallest = largest = fTable.Value(0);
    for (std::uint32_t s = 1; s < fSums.size(); ++s) {
      const double v = fTable.Value(s);
      if (v < smallest) smallest = v;
      if (largest < v) largest = v;
    }
  }
  if (!fRaw && !targets.empty()) found = TableSelect(targets);
  std::size_t f = 0;
  for (std::size_t i = 0; i < plans.size(); ++i) {
    const Plan& plan = plans[i];
    if (plan.kind == 0) {
      out[i] = smallest;
    } else if (plan.kind == 1) {
      out[i] = largest;
    } else {
      const double lower = found[f++];
      const double upper = found[f++];
      out[i] = Interpolate(lower, upper, plan.frac, plan.digits, plan.scale);
    }
  }
  return out;
}

}  // namespace host::engine
