// Passing over a run of cells no table reads, as the block filler does
// between the columns a run converts.
#pragma once

#include <bit>
#include <cstddef>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace host {

// From p, a cell's start, passes over up to `cells` (at least one) unquoted cells of a
// record and stops early at a line end ('\n', '\r') or `quote` (pass '\n'
// for a dialect without quoting): the start of the cell after the last one
// passed, and in `passed` how many; null when none was. The caller reads the
// cell it stopped in by itself. A line end must follow p in readable memory
// (the read buffer's sentinel '\n'). A byte at a time: the reference for
// the vector search below, and its stand-in where there is none.
inline const char* SkipCellsBytewise(const char* p, std::size_t cells, char delimiter, char quote,
                                     std::size_t& passed) {
  passed = 0;
  for (;; ++p) {
    const char ch = *p;
    if (ch == delimiter) {
      if (++passed == cells) return p + 1;
    } else if (ch == '\n' || ch == '\r' || ch == quote) {
      break;
    }
  }
  if (passed == 0) return nullptr;
  while (p[-1] != delimiter) --p;
  return p;
}

// Passes runs of cells as SkipCellsBytewise does, for one dialect.
#if defined(__SSE2__)
// Sixteen bytes at a time (SSE2, which every x86-64 has). Whole vectors are
// loaded from p on, so the 15 bytes after the line end that stops a run must
// be readable too (the read buffer keeps 16 past its sentinel). A vector's
// delimiters are counted by adding up its byte lanes (psadbw: SSE2 has no bit
// count), and only the vector where the run ends is walked delimiter by
// delimiter; a cell-by-cell walk took a loop turn for every cell, where a run
// of short codes has several in every word. The bytes searched for are kept
// as vectors, made once for a dialect rather than at every run.
class CellSkipper {
 public:
  CellSkipper(char delimiter, char quote)
      : fDelimiter(delimiter),
        fDelimiters(_mm_set1_epi8(delimiter)),
        fLineFeeds(_mm_set1_epi8('\n')),
        fReturns(_mm_set1_epi8('\r')),
        fQuotes(_mm_set1_epi8(quote)) {}

  const char* Skip(const char* p, std::size_t cells, std::size_t& passed) const {
    const __m128i ones = _mm_set1_epi8(1);
    passed = 0;
    for (;; p += 16) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const __m128i isDelim = _mm_cmpeq_epi8(x, fDelimiters);
      const auto stops = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(
          _mm_or_si128(_mm_cmpeq_epi8(x, fLineFeeds), _mm_cmpeq_epi8(x, fReturns)), _mm_cmpeq_epi8(x, fQuotes))));
      const __m128i sums = _mm_sad_epu8(_mm_and_si128(isDelim, ones), _mm_setzero_si128());
      const auto n = static_cast<std::size_t>(_mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4));
      if (stops == 0 && passed + n < cells) {
        passed += n;
        continue;
      }
      // The run ends in this vector: at its last cell's delimiter, or at a
      // stop (the delimiters after it belong to another record or cell).
      auto found = static_cast<unsigned>(_mm_movemask_epi8(isDelim));
      if (stops != 0) found &= (stops & (~stops + 1)) - 1;
      for (; found != 0; found &= found - 1) {
        if (++passed == cells) return p + std::countr_zero(found) + 1;
      }
      if (passed == 0) return nullptr;
      const char* q = p + std::countr_zero(stops);
      while (q[-1] != fDelimiter) --q;  // a delimiter was passed: the stop's cell starts after it
      return q;
    }
  }

 private:
  char fDelimiter;
  __m128i fDelimiters, fLineFeeds, fReturns, fQuotes;
};
#else
class CellSkipper {
 public:
  CellSkipper(char delimiter, char quote) : fDelimiter(delimiter), fQuote(quote) {}
  const char* Skip(const char* p, std::size_t cells, std::size_t& passed) const {
    return SkipCellsBytewise(p, cells, fDelimiter, fQuote, passed);
  }

 private:
  char fDelimiter, fQuote;
};
#endif

}  // namespace host
