#include "host/data/csv_source.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/common/thread_room.h"
#include "host/data/missing.h"
#include "host/data/scan.h"
#include "host/data/share_parts.h"
#include "host/data/skip_cells.h"

namespace host {

struct CsvBlockEntry {
  CaseBlock block;
};

struct CsvBlockPool {
  std::mutex mutex;
  std::vector<std::unique_ptr<CsvBlockEntry>> entries;
  std::int64_t lastCases = -1;  // cases of the last whole pass
};

namespace {

// How a column's cells are converted; Skip: no table reads the column.
// IsoDate: an ISO 8601 date column whose missing texts are no such dates.
enum class Mode : std::uint8_t { PlainNumber, PlainInteger, IsoDate, OtherNumber, String, Skip };

Mode ModeOf(const CsvColumn& c) {
  if (c.kind == CellKind::String) return Mode::String;
  if (c.kind == CellKind::Date) {
    double v;
    const bool plain =
        c.datePattern.empty() && std::none_of(c.missingTexts.begin(), c.missingTexts.end(),
                                              [&](const std::string& m) { return dates::ParseIsoDate(m, v); });
    return plain ? Mode::IsoDate : Mode::OtherNumber;
  }
  if (!c.style.Plain()) return Mode::OtherNumber;
  // Plain decimals may skip the missing-text lookup when no missing text is
  // itself a plain decimal (such as "-9").
  for (const std::string& m : c.missingTexts) {
    double v;
    int a, b;
    if (ParseSimpleDecimal(m, v, a, b)) return Mode::OtherNumber;
  }
  if (c.kind == CellKind::Number) return Mode::PlainNumber;
  if (c.kind == CellKind::Integer) return Mode::PlainInteger;
  return Mode::OtherNumber;
}

// Converts a cell of a numeric column: any cell a plain column's quick
// path leaves, and every cell of the other columns. False when the text is
// not a value of the column; `why` (when given) then says why, for a message
// that names the cell.
bool ConvertNumericCell(const CsvColumn& col, std::string_view cellText, double& value, std::string* why) {
  const std::string_view text = TrimBlanks(cellText);
  const auto fail = [why](const auto& message) {
    if (why != nullptr) *why = message();
    return false;
  };
  const auto missingHint = ", or add the text to the field's missingValues";
  if (text.empty()) {
    if (col.emptyIsMissing) {
      value = SYSMIS;
      return true;
    }
    return fail([] {
      return std::string(
          "the cell is empty, and \"\" is not among the field's missingValues. Fill the cell, or add \"\" to "
          "missingValues");
    });
  }
  for (const std::string& m : col.missingTexts) {
    if (text == m) {
      value = SYSMIS;
      return true;
    }
  }
  const auto notNumber = [&] {
    std::size_t bad = 0;
    if (!ValidUtf8(text, bad)) return NotUtf8Text(text, bad);
    if (BeyondDoubleRange(text)) {
      return QuoteCell(text) + " is beyond the range of numbers (about -1.8e308 to 1.8e308)" + missingHint;
    }
    if (InfinityText(text)) {
      // R and pandas write infinities so; a mean or a quartile has no room for one.
      return QuoteCell(text) +
             " is an infinite number, which no statistic takes; add the text to the field's missingValues to read it "
             "as no value";
    }
    if (text.find("\xE2\x88\x92") != std::string_view::npos && col.style.bare) {
      return QuoteCell(text) +
             " is not a number: its minus sign is U+2212, not the hyphen. Write -, or give the field \"bareNumber\": "
             "false, which reads that sign";
    }
    return QuoteCell(text) + " is not a number. Write numbers in C-locale form (such as -12.5 or 1.5e6)" + missingHint;
  };
  switch (col.kind) {
    case CellKind::Number:
      if (!ParseStyledNumber(text, col.style, value)) return fail(notNumber);
      return true;
    case CellKind::Integer:
      if (!ParseStyledNumber(text, col.style, value)) return fail(notNumber);
      if (value != std::trunc(value)) {
        return fail([&] {
          return QuoteCell(text) +
                 " is not a whole number, and the field's type is \"integer\". Declare the type \"number\", or "
                 "correct the cell";
        });
      }
      return true;
    case CellKind::Date:
    case CellKind::DateTime:
    case CellKind::Time:
      if (!col.datePattern.empty()) {
        if (dates::ParsePatternDate(text, col.datePattern, value)) return true;
        return fail([&] {
          bool noDay = false;
          dates::ParsePatternDate(text, col.datePattern, value, &noDay);
          if (noDay) return QuoteCell(text) + " names a day its month does not have; correct the date" + missingHint;
          return QuoteCell(text) + " does not follow the field's format \"" + col.datePattern + "\"" + missingHint;
        });
      }
      if (ParseDateCell(col.kind, text, value)) return true;
      return fail([&] {
        if (col.kind != CellKind::Time && dates::IsoDateOfNoDay(text)) {
          return QuoteCell(text) + " names a day its month does not have; correct the date" + missingHint;
        }
        if (col.kind == CellKind::Date) {
          return QuoteCell(text) + " is not a date. Write dates as YYYY-MM-DD (ISO 8601)" + missingHint;
        }
        if (col.kind == CellKind::DateTime) {
          return QuoteCell(text) +
                 " is not a date and time. Write them as YYYY-MM-DDTHH:MM:SS or YYYY-MM-DD HH:MM:SS (ISO 8601)" +
                 missingHint;
        }
        return QuoteCell(text) + " is not a time. Write times as HH:MM:SS (ISO 8601)" + missingHint;
      });
    case CellKind::Boolean:
      if (ParseBooleanCell(text, col.trueValues, col.falseValues, value)) return true;
      return fail([&] {
        return QuoteCell(text) +
               " is neither a true nor a false value of this boolean field. Add it to the field's trueValues or "
               "falseValues" +
               missingHint;
      });
    case CellKind::Year:
      if (ParseDateCell(col.kind, text, value)) return true;
      return fail(
          [&] { return QuoteCell(text) + " is not a year. Write years as whole numbers such as 2024" + missingHint; });
    case CellKind::YearMonth:
      if (ParseDateCell(col.kind, text, value)) return true;
      return fail(
          [&] { return QuoteCell(text) + " is not a year and month. Write them as YYYY-MM (ISO 8601)" + missingHint; });
    case CellKind::Duration:
      if (ParseDateCell(col.kind, text, value)) return true;
      return fail([&] {
        return QuoteCell(text) + " is not a duration. Write durations as ISO 8601 periods such as P1DT2H30M" +
               missingHint;
      });
    case CellKind::String:
      break;
  }
  value = 0.0;
  return true;
}

// The bytes of x that are zero, as their top bits (exact for every byte: no
// carry crosses a byte).
constexpr std::uint64_t ZeroBytes(std::uint64_t x) {
  constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
  return ~(((x & kLow7) + kLow7) | x) & ~kLow7;
}

// Read buffers handed from one stretch's reader to the next: fresh ones would
// cost a page fault every 4 KiB. One that a huge record made far larger than
// usual is let go rather than kept for the rest of the pass.
class ReadBufferPool {
 public:
  std::vector<char> Take() {
    std::lock_guard<std::mutex> lock(fMutex);
    if (fFree.empty()) return {};
    std::vector<char> buffer = std::move(fFree.back());
    fFree.pop_back();
    return buffer;
  }
  void Give(std::vector<char> buffer) {
    if (buffer.capacity() > 4 * CsvReader::kUsualBufferBytes) return;
    std::lock_guard<std::mutex> lock(fMutex);
    fFree.push_back(std::move(buffer));
  }

 private:
  std::mutex fMutex;
  std::vector<std::vector<char>> fFree;
};

// Parses the records of one stretch of the file into a block: from a record
// start, every record that begins before a byte limit.
class BlockFiller {
 public:
  // Reads the records that begin in [offset, limit).
  // `buffer`: the memory to read into (see CsvReader).
  BlockFiller(const CsvLayout& layout, const std::uint8_t* modes, std::int64_t offset, std::int64_t line,
              std::int64_t limit, std::vector<char> buffer)
      : fLayout(layout),
        fModes(modes),
        fLimit(limit),
        fReader(layout.path, layout.displayName, layout.dialect, offset, line, &layout.stamp, limit, std::move(buffer)),
        fSkipper(layout.dialect.delimiter, layout.dialect.quoting ? layout.dialect.quote : '\n') {
    fReader.SetColumnNames(&layout.names);
    fPrevNumbers.resize(layout.splitIndices.size());
    fData.resize(layout.columns.size(), nullptr);
    fPrevStrings.resize(layout.splitIndices.size());
    const CsvDialect& d = layout.dialect;
    // The quick path reads a number's sign, digits and point before it looks
    // for the cell's end, so none of them may be the delimiter.
    fQuick = std::string_view("0123456789+-.\r\n").find(d.delimiter) == std::string_view::npos &&
             !(d.quoting && d.quote == d.delimiter) && !layout.columns.empty();
    if (d.quoting) fQuoteByte = static_cast<unsigned char>(d.quote);
    fEnds[static_cast<unsigned char>(d.delimiter)] = 1;
    fEnds[static_cast<unsigned char>('\n')] = 1;
    fEnds[static_cast<unsigned char>('\r')] = 1;
    // Runs of columns no one reads, the last column aside (its cell ends the
    // record).
    const std::size_t ncols = layout.columns.size();
    fSkipRun.assign(ncols, 0);
    for (std::size_t c = ncols; c-- > 1;) {
      if (static_cast<Mode>(modes[c - 1]) == Mode::Skip) fSkipRun[c - 1] = fSkipRun[c] + 1;
    }
    fEmptyIsMissing.resize(ncols);
    fTextOf.assign(ncols, 0);
    for (std::size_t c = 0; c < ncols; ++c) {
      const CsvColumn& column = layout.columns[c];
      fEmptyIsMissing[c] = column.emptyIsMissing ? 1 : 0;
      if (Converted(c) && !IsNumericKind(column.kind)) {
        fTextOf[c] = static_cast<std::uint32_t>(fTexts.size());
        fTexts.push_back({nullptr, nullptr, 0, 0, static_cast<std::uint32_t>(std::max(column.width, 0))});
      }
    }
  }

  // Fills the block with the records that begin before the limit. On bad
  // input the block keeps the cases before the bad record and the error is
  // rethrown. Returns the offset where the record after the last one starts.
  // `rowsHint`: how many records the stretch probably holds (room is made
  // for them at once; more still fit). `rowsRoom`: how many the longest
  // stretch of the pass probably holds (0: not known yet).
  std::int64_t Fill(CaseBlock& block, std::size_t rowsHint, std::size_t rowsRoom, const std::atomic<bool>& stop) {
    const std::int64_t limit = fLimit;
    const std::size_t ncols = fLayout.columns.size();
    Prepare(block, rowsHint, rowsRoom);
    std::size_t r = 0;
    try {
      for (;; ++r) {
        if ((r & 1023) == 1023 && stop.load(std::memory_order_relaxed)) break;
        if (fReader.Offset() >= limit) break;
        if (r == fCapacity) Grow(block);
        // A row the quick path gives up on is read again whole, the cells it
        // had converted too. That is needed, not only simpler: a cell the
        // buffer's end cut short looks complete to the quick path, and the
        // general path (which reads on) is the one to convert it. The rows
        // that give up are few (a doubled quote, a line break in a cell, a
        // fault, the buffer's end), and little is taken back: a row's text ends
        // at offsets[r + 1], which the general path writes again from where
        // the row's texts began.
        if (!fQuick || !QuickRow(block, r)) {
          for (TextCursor& t : fTexts) t.used = t.offsets[r];
          std::size_t count = 0;
          if (!fReader.Next(fCells, count)) break;
          if (count != ncols) Ragged(count);
          ReadRow(block, r);
        }
        if (fLayout.weightIndex >= 0) {
          const double w = block.numbers[static_cast<std::size_t>(fLayout.weightIndex)][r];
          block.weights[r] = w == SYSMIS || IsUserMissingNumber(w, fLayout.weightMissing) ? SYSMIS : w;
        }
        if (!fLayout.splitIndices.empty()) block.groupStart[r] = SplitChanged(block, r) ? 1 : 0;
      }
    } catch (...) {
      Finish(block, r);
      throw;
    }
    Finish(block, r);
    return fReader.Offset();
  }

  // Lines read so far, from the starting line on.
  std::int64_t Line() const { return fReader.Line(); }
  // The read buffer, for the next filler: nothing more can be read.
  std::vector<char> ReleaseBuffer() { return fReader.ReleaseBuffer(); }
  const std::vector<double>& LastSplitNumbers() const { return fPrevNumbers; }
  const std::vector<std::string>& LastSplitStrings() const { return fPrevStrings; }

 private:
  // Where each string column's texts go while a block fills, side by side:
  // a wide file's row reaches a thousand string columns, and the column's
  // own vectors (each on lines of its own, gone from the cache by the next
  // row) cost two dependent cache misses before a text could be stored.
  struct TextCursor {
    char* bytes;             // the column's bytes
    std::uint32_t* offsets;  // the column's offsets
    std::size_t room;        // the bytes' length
    std::uint32_t used;      // where the next text starts: offsets[r] while row r is read
    std::uint32_t width;     // the longest text the column takes
  };

  bool Converted(std::size_t c) const { return static_cast<Mode>(fModes[c]) != Mode::Skip; }

  // A block is used again for later stretches, which are longer while they
  // double: a column that must grow is emptied first (its old cells need no
  // copying) and given room for the longest stretch at once, so that it
  // grows once rather than once per doubling. Room that no cell reaches is
  // never touched, and costs no memory.
  void Prepare(CaseBlock& block, std::size_t rowsHint, std::size_t rowsRoom) {
    const std::size_t ncols = fLayout.columns.size();
    block.rows = 0;
    block.work.reset();
    block.numbers.resize(ncols);
    block.strings.resize(ncols);
    fCapacity = std::max<std::size_t>(rowsHint, 256);
    fGuessed = rowsHint > 0;
    const auto ready = [&](auto& v) {
      if (v.capacity() < fCapacity) {
        v.clear();
        v.reserve(std::max(fCapacity, rowsRoom));
      }
      v.resize(fCapacity);
    };
    for (std::size_t c = 0; c < ncols; ++c) {
      if (!Converted(c)) {
        block.numbers[c].clear();
        block.strings[c] = StringColumn{};
      } else if (IsNumericKind(fLayout.columns[c].kind)) {
        std::vector<double>& v = block.numbers[c];
        ready(v);
        fData[c] = v.data();
      } else {
        // Row r's text ends at offsets[r + 1], written as the row is read
        // (again, when the general path reads a row the quick one gave up).
        // The bytes keep their length: room for AddString, not texts.
        StringColumn& s = block.strings[c];
        if (s.offsets.capacity() < fCapacity + 1) {
          s.offsets.clear();
          s.offsets.reserve(std::max(fCapacity, rowsRoom) + 1);
        }
        s.offsets.resize(fCapacity + 1);
        s.offsets[0] = 0;
        TextCursor& t = fTexts[fTextOf[c]];
        t.bytes = s.bytes.data();
        t.offsets = s.offsets.data();
        t.room = s.bytes.size();
        t.used = 0;
      }
    }
    if (fLayout.weightIndex >= 0) ready(block.weights);
    if (!fLayout.splitIndices.empty()) ready(block.groupStart);
  }

  // More rows than room for them: twice the room when the stretch's rows
  // were not guessed, an eighth more when they were (the guess is close, and
  // a block keeps its room when it is used again).
  void Grow(CaseBlock& block) {
    fCapacity = fGuessed ? fCapacity + fCapacity / 8 + 64 : fCapacity * 2;
    const auto grow = [](auto& v, std::size_t size) {
      if (v.capacity() < size) v.reserve(size);
      v.resize(size);
    };
    for (std::size_t c = 0; c < fLayout.columns.size(); ++c) {
      if (!Converted(c)) continue;
      if (IsNumericKind(fLayout.columns[c].kind)) {
        grow(block.numbers[c], fCapacity);
        fData[c] = block.numbers[c].data();
      } else {
        grow(block.strings[c].offsets, fCapacity + 1);
        fTexts[fTextOf[c]].offsets = block.strings[c].offsets.data();
      }
    }
    if (fLayout.weightIndex >= 0) grow(block.weights, fCapacity);
    if (!fLayout.splitIndices.empty()) grow(block.groupStart, fCapacity);
  }

  void Finish(CaseBlock& block, std::size_t rows) {
    block.rows = rows;
    for (std::size_t c = 0; c < fLayout.columns.size(); ++c) {
      if (!Converted(c)) continue;
      if (IsNumericKind(fLayout.columns[c].kind)) {
        block.numbers[c].resize(rows);
      } else {
        StringColumn& s = block.strings[c];
        s.offsets.resize(rows + 1);
        s.bytes.resize(s.offsets[rows]);
      }
    }
    if (fLayout.weightIndex >= 0) block.weights.resize(rows);
    if (!fLayout.splitIndices.empty()) block.groupStart.resize(rows);
  }

  [[noreturn]] __attribute__((noinline, cold)) void Ragged(std::size_t count) {
    const std::size_t ncols = fLayout.columns.size();
    const std::int64_t line = fReader.RecordLine();
    if (count > ncols) {
      throw InputError(fLayout.displayName + ", line " + std::to_string(line) + ", column " +
                       std::to_string(ncols + 1) + ": " + RowWidthMismatch(count, ncols) +
                       ". Quote cells that contain the delimiter, or remove the extra cells");
    }
    throw InputError(fReader.Where(line + fCells[count - 1].lineOffset, count + 1) + ": " +
                     RowWidthMismatch(count, ncols, true) +
                     ". Add the missing cells (an empty cell is a missing value)");
  }

  // Reads the next record straight from the reader's buffer, finding its
  // cells and converting them in one go, when it is of the common kind: one
  // line, no quoted cell, as many cells as columns, every cell a value of its
  // column, and all of it in the buffer. Anything else returns false with
  // the row as it was, and the general path reads the record (and reports
  // its faults).
  __attribute__((noinline)) bool QuickRow(CaseBlock& block, std::size_t r) {
    const char* p = fReader.Unread();
    if (fReader.BufferEnd() - p < fRowRoom) {
      fReader.ReadAhead(static_cast<std::size_t>(fRowRoom));
      p = fReader.Unread();
    }
    const char* const e = fReader.BufferEnd();
    if (p == e || *p == '\n' || *p == '\r') return false;  // a blank line, or no data buffered
    if (*p == ' ' || *p == '\t') {
      const char* q = p;
      while (*q == ' ' || *q == '\t') ++q;         // the buffer's sentinel '\n' stops it
      if (*q == '\n' || *q == '\r') return false;  // a line of blanks: the general path skips it
    }
    // Every cell but the last is followed by a delimiter, the last by a line
    // end: two copies of the cell's step, so that no cell asks which it is.
    // What every cell reads is passed in locals: a member read again after
    // each store of a number (which, as far as the compiler knows, could
    // have changed a byte of it) costs a load per cell.
    const std::size_t lastColumn = fLayout.columns.size() - 1;
    const char delim = fLayout.dialect.delimiter;
    double* const* const data = fData.data();
    const std::uint8_t* const modes = fModes;
    for (std::size_t c = 0; c < lastColumn; ++c) {
      if (!QuickStep<false>(block, c, r, p, e, delim, data, modes)) return false;
    }
    if (std::size_t c = lastColumn; !QuickStep<true>(block, c, r, p, e, delim, data, modes)) return false;
    // p is at the line end.
    if (*p == '\r') {
      if (p + 1 >= e) return false;  // the general path knows whether a '\n' follows
      if (*++p == '\n') ++p;
    } else {
      ++p;
    }
    // Room for two rows like this one when the next starts: rows are read
    // from the buffer only when whole in it.
    fRowRoom = std::min<std::ptrdiff_t>(2 * (p - fReader.Unread()) + 64, kMostRowRoom);
    fReader.TakeLine(p);
    return true;
  }

  // One cell of QuickRow from p, its start: converted, and p left at the
  // next cell's start (kLast: at the record's line end). A run of unread
  // columns is passed at once, c then being the run's last column. False
  // when the cell is not of the quick kind.
  template <bool kLast>
  __attribute__((always_inline)) bool QuickStep(CaseBlock& block, std::size_t& c, std::size_t r, const char*& cell,
                                                const char* const e, const char delim, double* const* const data,
                                                const std::uint8_t* const modes) {
    const char* p = cell;
    const auto mode = static_cast<Mode>(modes[c]);
    if (mode == Mode::PlainNumber || mode == Mode::PlainInteger) {
      // Codes of one or two digits, most cells of a survey, and numbers of
      // one or two digits, a point and one or two digits (amounts, scores,
      // shares), without the scan's loops: the digits as one whole number,
      // divided once by the power of ten of its decimals as the scan does.
      // A byte after a digit or the point is read only once it is known to
      // be no sentinel, so it is there to read. A longer number's scan goes
      // on from the digits read.
      SimpleDecimal d;
      if (const unsigned d0 = static_cast<unsigned>(p[0] - '0'); d0 >= 10) {
        if (!kLast && *p == delim && fEmptyIsMissing[c]) {  // an empty cell, without the scan
          data[c][r] = SYSMIS;
          cell = p + 1;
          return true;
        }
        // The buffer's sentinel '\n' stops the scan.
        d = ScanSimpleDecimal<false>(p, e);
      } else if (kLast) {
        d = ScanSimpleDecimalAfter(p, p + 1, d0);
      } else if (p[1] == delim) {
        data[c][r] = static_cast<double>(d0);
        cell = p + 2;
        return true;
      } else {
        const unsigned d1 = static_cast<unsigned>(p[1] - '0');
        if (d1 < 10 && p[2] == delim) {
          data[c][r] = static_cast<double>(d0 * 10 + d1);
          cell = p + 3;
          return true;
        }
        const char* const at = d1 < 10 ? p + 2 : p + 1;
        const unsigned whole = d1 < 10 ? d0 * 10 + d1 : d0;
        if (mode == Mode::PlainNumber && *at == '.') {
          if (const unsigned f0 = static_cast<unsigned>(at[1] - '0'); f0 < 10) {
            if (at[2] == delim) {
              data[c][r] = static_cast<double>(whole * 10 + f0) / detail::kPow10[1];
              cell = at + 3;
              return true;
            }
            if (const unsigned f1 = static_cast<unsigned>(at[2] - '0'); f1 < 10 && at[3] == delim) {
              data[c][r] = static_cast<double>(whole * 100 + f0 * 10 + f1) / detail::kPow10[2];
              cell = at + 4;
              return true;
            }
          }
        }
        d = ScanSimpleDecimalAfter(p, at, whole);
      }
      const char* const q = d.end;
      const bool ends = kLast ? q != e && (*q == '\n' || *q == '\r') : *q == delim;
      if (ends && d.Fits() && (mode == Mode::PlainNumber || d.fraction == 0)) {
        data[c][r] = d.Value();
        // The delimiter is known to be there (the store above could have
        // changed any byte, as far as the compiler knows).
        cell = kLast ? q : q + 1;
        return true;
      }
      if (ends && q == p && fEmptyIsMissing[c]) {
        data[c][r] = SYSMIS;
      } else if (!QuickCell(block, c, r, p, mode)) {
        return false;
      }
    } else if (mode == Mode::String) {
      if (!QuickShortText(block, c, r, p, delim) && !QuickCell(block, c, r, p, mode)) return false;
    } else if (mode == Mode::IsoDate && e - p > 10 && (kLast ? p[10] == '\n' || p[10] == '\r' : p[10] == delim) &&
               QuickDate(p, data[c][r])) {
      p += 10;
    } else if (!kLast && mode == Mode::Skip && fSkipRun[c] > 1) {
      std::size_t passed = 0;
      if (const char* next = fSkipper.Skip(p, fSkipRun[c], passed)) {
        cell = next;  // the start of the next cell read
        c += passed - 1;
        return true;
      }
      if (!QuickCell(block, c, r, p, mode)) return false;
    } else if (!QuickCell(block, c, r, p, mode)) {
      return false;
    }
    // p is at the cell's end.
    if (kLast) {
      cell = p;
      return p != e && (*p == '\n' || *p == '\r');
    }
    if (*p != delim) return false;
    cell = p + 1;
    return true;
  }

  // A text cell of fewer than 16 bytes, unquoted, ASCII and without trailing
  // blanks (codes, names, short answers: most texts of a survey), from `cell`
  // (at or before the buffer's end): its end found in two 8-byte words and
  // the words stored as they were loaded, where QuickCell looks at it byte
  // by byte, then again from its end for blanks. `cell` is left at the
  // cell's end; false (with `cell` as it was) for any other cell, which
  // QuickCell then reads.
  __attribute__((always_inline)) bool QuickShortText(CaseBlock& block, std::size_t c, std::size_t r, const char*& cell,
                                                     const char delim) {
    if constexpr (std::endian::native != std::endian::little) return false;
    const char* const p = cell;
    if (static_cast<unsigned char>(*p) == fQuoteByte) return false;
    constexpr std::uint64_t kOnes = 0x0101010101010101ull;
    constexpr std::uint64_t kHigh = 0x8080808080808080ull;
    const std::uint64_t delimiters = kOnes * static_cast<unsigned char>(delim);
    const auto ends = [delimiters](std::uint64_t x) {
      return ZeroBytes(x ^ delimiters) | ZeroBytes(x ^ (kOnes * '\n')) | ZeroBytes(x ^ (kOnes * '\r'));
    };
    std::uint64_t low, high;
    std::memcpy(&low, p, 8);
    std::memcpy(&high, p + 8, 8);
    std::size_t size;
    std::uint64_t upper;  // the top bits of the text's bytes: none for ASCII
    if (const std::uint64_t stop = ends(low); stop != 0) {
      size = static_cast<std::size_t>(std::countr_zero(stop)) / 8;
      upper = low & ((stop & (~stop + 1)) - 1) & kHigh;
    } else if (const std::uint64_t later = ends(high); later != 0) {
      size = 8 + static_cast<std::size_t>(std::countr_zero(later)) / 8;
      upper = (low | (high & ((later & (~later + 1)) - 1))) & kHigh;
    } else {
      return false;
    }
    if (upper != 0 || (size > 0 && p[size - 1] == ' ')) return false;
    TextCursor& t = fTexts[fTextOf[c]];
    if (size > t.width) return false;
    const std::size_t used = t.used;
    if (t.room - used < size + kTextWord) MakeRoom(block.strings[c].bytes, t, used + size + kTextWord);
    char* const to = t.bytes + used;
    std::memcpy(to, &low, 8);  // the bytes past the text are overwritten by the next one, or cut
    std::memcpy(to + 8, &high, 8);
    t.used = static_cast<std::uint32_t>(used + size);
    t.offsets[r + 1] = t.used;
    cell = p + size;
    return true;
  }

  // A cell of the quick path that is not a plain decimal, from `cell` to its
  // end (a delimiter or line end, unless a quoted cell has text after its
  // closing quote), where `cell` is left. `mode`: the column's.
  __attribute__((always_inline)) bool QuickCell(CaseBlock& block, std::size_t c, std::size_t r, const char*& cell,
                                                const Mode mode) {
    // The scan runs on a copy of the caller's pointer: a store to the pointer
    // itself at every byte could change any byte, as far as the compiler
    // knows, and the table of ends and the quote would be read again.
    const char* p = cell;
    const char* start = p;
    const char* end;
    unsigned char bytes = 0;  // every byte or'ed: ASCII text is UTF-8
    const char quote = fLayout.dialect.quote;
    if (*p == quote && fLayout.dialect.quoting) {
      // A quoted cell on one line without a doubled quote: its text is what
      // the quotes enclose. p is left after the closing quote.
      start = ++p;
      while (*p != quote && *p != '\n' && *p != '\r') bytes |= static_cast<unsigned char>(*p++);
      if (*p == '\n' || *p == '\r' || p[1] == quote) return false;  // a line break, the end, or ""
      end = p++;
    } else {
      // The byte that ends the cell is or'ed too: every such byte but an
      // unusual delimiter is ASCII, and that one costs a UTF-8 check only.
      for (;; ++p) {
        const auto ch = static_cast<unsigned char>(*p);
        bytes |= ch;
        if (fEnds[ch]) break;
      }
      end = p;
    }
    cell = p;
    if (mode == Mode::String) {
      return AddString(block, c, r, std::string_view(start, static_cast<std::size_t>(end - start)), (bytes & 0x80) == 0,
                       fReader.BufferEnd());
    }
    return mode == Mode::Skip ||
           ConvertNumericCell(fLayout.columns[c], std::string_view(start, static_cast<std::size_t>(end - start)),
                              fData[c][r], nullptr);
  }

  // "YYYY-MM-DD" at p (ten bytes), as dates::ParseIsoDate reads it. A date
  // whose "YYYY-MM-" was read before takes its month's day 0 and length from
  // a small table instead of the calendar arithmetic: whole days times
  // 86,400 are exact, so the sum is the same double.
  __attribute__((always_inline)) bool QuickDate(const char* p, double& seconds) {
    std::uint64_t head;
    std::memcpy(&head, p, sizeof head);
    const unsigned tens = static_cast<unsigned>(p[8] - '0');
    const unsigned units = static_cast<unsigned>(p[9] - '0');
    const unsigned day = tens * 10 + units;
    // Consecutive months of a few years take different places.
    const unsigned place = ((static_cast<unsigned>(p[2]) & 15) * 130 + (static_cast<unsigned>(p[3]) & 15) * 13 +
                            (static_cast<unsigned>(p[5]) & 1) * 10 + (static_cast<unsigned>(p[6]) & 15)) %
                           std::size(fMonths);
    MonthSeen& seen = fMonths[place];
    if (seen.head == head && tens < 10 && units < 10 && day >= 1 && day <= seen.days) {
      seconds = seen.dayZero + static_cast<double>(day) * dates::kSecondsPerDay;
      return true;
    }
    if (!dates::ParseIsoDate(std::string_view(p, 10), seconds)) return false;
    const unsigned year =
        static_cast<unsigned>((p[0] - '0') * 1000 + (p[1] - '0') * 100 + (p[2] - '0') * 10 + (p[3] - '0'));
    const unsigned month = static_cast<unsigned>((p[5] - '0') * 10 + (p[6] - '0'));
    seen.head = head;
    seen.days = dates::DaysInMonth(year, month);
    seen.dayZero = seconds - static_cast<double>(day) * dates::kSecondsPerDay;
    return true;
  }

  void ReadRow(CaseBlock& block, std::size_t r) {
    const std::size_t ncols = fLayout.columns.size();
    const CsvCell* cells = fCells.data();
    for (std::size_t c = 0; c < ncols; ++c) {
      const CsvCell& cell = cells[c];
      switch (static_cast<Mode>(fModes[c])) {
        case Mode::Skip:
          break;
        case Mode::PlainNumber: {
          // The common cell: a plain decimal without blanks.
          double value;
          int intDigits, fraction;
          fData[c][r] = ParseSimpleDecimal(cell.View(), value, intDigits, fraction)
                            ? value
                            : NumericSlow(c, fLayout.columns[c], cell);
          break;
        }
        case Mode::PlainInteger: {
          double value;
          int intDigits, fraction;
          fData[c][r] = ParseSimpleDecimal(cell.View(), value, intDigits, fraction) && value == std::trunc(value)
                            ? value
                            : NumericSlow(c, fLayout.columns[c], cell);
          break;
        }
        case Mode::IsoDate:
        case Mode::OtherNumber:
          fData[c][r] = NumericSlow(c, fLayout.columns[c], cell);
          break;
        case Mode::String:
          if (!AddString(block, c, r, cell.View(), false)) BadString(c, cell);
          break;
      }
    }
  }

  // Adds a string cell's text, its trailing blanks dropped, to its column as
  // row r's;
  // false (nothing added) when it is longer than the column's width or not
  // UTF-8. `ascii`: every byte is known to be below 0x80. `readable`: the
  // text's bytes may be read up to there (with one byte more), so a short
  // text is copied as one fixed-size word instead of through a call; null
  // when not known.
  //
  // While a block fills, a string column's bytes are longer than its texts
  // (the offset after the last row's says where they end): room is made a stretch
  // at a time, not per cell, and Finish cuts the bytes to the texts.
  __attribute__((always_inline)) bool AddString(CaseBlock& block, std::size_t c, std::size_t r, std::string_view cell,
                                                bool ascii, const char* readable = nullptr) {
    const std::string_view text = TrimTrailingBlanks(cell);
    std::size_t bad = 0;
    TextCursor& t = fTexts[fTextOf[c]];
    if (text.size() > t.width) return false;
    if (!ascii && !ValidUtf8(text, bad)) return false;
    const std::size_t used = t.used;
    if (t.room - used < text.size() + kTextWord) MakeRoom(block.strings[c].bytes, t, used + text.size() + kTextWord);
    char* const to = t.bytes + used;
    if (text.size() <= kTextWord && readable != nullptr &&
        readable - text.data() >= static_cast<std::ptrdiff_t>(kTextWord)) {
      std::memcpy(to, text.data(), kTextWord);  // the bytes past the text are overwritten by the next one, or cut
    } else {
      std::memcpy(to, text.data(), text.size());
    }
    t.used = static_cast<std::uint32_t>(used + text.size());
    t.offsets[r + 1] = t.used;
    return true;
  }

  // Makes a string column's bytes at least `size` long, with an eighth more
  // (and 64 bytes) of room. Not more: room is zeroed, so it takes pages
  // that the texts would not, and a wide file has thousands of string
  // columns in every block in flight (room up to the memory's capacity
  // raised its peak by 10 to 25 MiB).
  __attribute__((noinline)) static void MakeRoom(std::string& bytes, TextCursor& t, std::size_t size) {
    bytes.resize(std::min(std::max(bytes.capacity(), size), size + size / 8 + 64));
    t.bytes = bytes.data();
    t.room = bytes.size();
  }

  // Why AddString refused a cell.
  [[noreturn]] __attribute__((noinline, cold)) void BadString(std::size_t c, const CsvCell& cell) {
    const std::string_view text = TrimTrailingBlanks(cell.View());
    std::size_t bad = 0;
    if (text.size() > static_cast<std::size_t>(fLayout.columns[c].width)) TooLong(c, cell, text);
    ValidUtf8(text, bad);
    BadUtf8(c, cell, text, bad);
  }

  double NumericSlow(std::size_t c, const CsvColumn& col, const CsvCell& cell) {
    double value = 0.0;
    if (!ConvertNumericCell(col, cell.View(), value, nullptr)) BadCell(c, col, cell);
    return value;
  }

  [[noreturn]] __attribute__((noinline, cold)) void BadCell(std::size_t c, const CsvColumn& col, const CsvCell& cell) {
    double value = 0.0;
    std::string why;
    ConvertNumericCell(col, cell.View(), value, &why);
    // The column's own name among its numbers: the header of a file joined
    // after another (with its byte order mark when it had one).
    bool mark = false;
    const std::string_view text = WithoutByteOrderMark(TrimBlanks(cell.View()), mark);
    if (c < fLayout.header.size() && !text.empty() && text == fLayout.header[c]) {
      why = QuoteCell(text) + " is the column's header: the row repeats the header row" +
            (mark ? " after a byte order mark" : "") +
            ", as where files were joined one after another. Remove such rows, or give each file as a part of the "
            "resource's \"path\"";
    }
    CellError(c, cell, why);
  }

  [[noreturn]] __attribute__((noinline, cold)) void TooLong(std::size_t c, const CsvCell& cell, std::string_view text) {
    CellError(c, cell,
              "the value has " + std::to_string(text.size()) + " bytes, more than the variable's width of " +
                  std::to_string(fLayout.columns[c].width) +
                  ". Raise the field's constraints.maxLength, or shorten the value");
  }

  [[noreturn]] __attribute__((noinline, cold)) void BadUtf8(std::size_t c, const CsvCell& cell, std::string_view text,
                                                            std::size_t bad) {
    CellError(c, cell, NotUtf8Text(text, bad));
  }

  [[noreturn]] __attribute__((noinline, cold)) void CellError(std::size_t c, const CsvCell& cell,
                                                              const std::string& what) {
    throw InputError(fReader.Where(fReader.RecordLine() + cell.lineOffset, c + 1) + ": " + what);
  }

  bool SplitChanged(const CaseBlock& block, std::size_t r) {
    bool changed = fFirstCase;
    fFirstCase = false;
    for (std::size_t k = 0; k < fLayout.splitIndices.size(); ++k) {
      const auto v = static_cast<std::size_t>(fLayout.splitIndices[k]);
      if (IsNumericKind(fLayout.columns[v].kind)) {
        const double x = block.numbers[v][r];
        if (x != fPrevNumbers[k]) {
          changed = true;
          fPrevNumbers[k] = x;
        }
      } else {
        const StringColumn& s = block.strings[v];
        const std::string_view x = s.Cell(r);
        if (x != fPrevStrings[k]) {
          changed = true;
          fPrevStrings[k].assign(x);
        }
      }
    }
    return changed;
  }

  const CsvLayout& fLayout;
  const std::uint8_t* fModes;
  std::int64_t fLimit;
  // What QuickRow wants unread before it reads a row (see ReadAhead), at
  // most a quarter of a usual buffer.
  static constexpr std::ptrdiff_t kMostRowRoom = CsvReader::kUsualBufferBytes / 4;
  // A short text is copied as one word of this many bytes (room for it is
  // kept past a column's texts), and may be loaded so from the buffer.
  static constexpr std::size_t kTextWord = 16;
  static_assert(CsvReader::kReadablePastEnd >= kTextWord);
  std::ptrdiff_t fRowRoom = 0;
  std::size_t fCapacity = 0;
  bool fGuessed = false;  // the block's room was made for the rows the stretch probably holds
  CsvReader fReader;
  std::vector<double*> fData;                 // per numeric column: the block's cells
  std::vector<TextCursor> fTexts;             // per converted string column
  std::vector<std::uint32_t> fTextOf;         // per column: its place in fTexts
  std::vector<std::uint8_t> fEmptyIsMissing;  // per column, as dense as the modes
  std::vector<CsvCell> fCells;
  std::vector<std::uint32_t> fSkipRun;  // per column: unread columns from it on (the last one aside)
  CellSkipper fSkipper;                 // passes such runs
  bool fQuick = false;                  // the dialect allows the quick path
  unsigned char fEnds[256] = {};        // the bytes that end an unquoted cell
  int fQuoteByte = -1;                  // the byte that starts a quoted cell; -1: no quoting
  // Months of ISO dates read so far (QuickDate), by a hash of their
  // "YYYY-MM-": its bytes, the seconds of the month's day 0, its days.
  struct MonthSeen {
    std::uint64_t head = 0;
    double dayZero = 0.0;
    unsigned days = 0;
  };
  MonthSeen fMonths[64] = {};
  bool fFirstCase = true;
  std::vector<double> fPrevNumbers;
  std::vector<std::string> fPrevStrings;
};

// The offset just past the first line end at or after `from - 1`: where a
// record starts if `from` is not inside a quoted cell. The end of the file
// when there is none.
std::int64_t LineStartAfter(int fd, std::int64_t from, std::int64_t size) {
  std::vector<char> buffer(1 << 16);
  std::int64_t at = std::max<std::int64_t>(from - 1, 0);
  while (at < size) {
    const ssize_t n = ::pread(fd, buffer.data(), buffer.size(), at);
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      const char c = buffer[static_cast<std::size_t>(i)];
      if (c == '\n') return at + i + 1;
      if (c == '\r') {
        if (i + 1 < n) {
          if (buffer[static_cast<std::size_t>(i) + 1] != '\n') return at + i + 1;
        } else {
          char next = 0;
          if (::pread(fd, &next, 1, at + i + 1) != 1 || next != '\n') return at + i + 1;
        }
      }
    }
    at += n;
  }
  return size;
}

// The parts of one block's gathering (ShareParts) that reader threads with
// nothing left to read may take.
struct SharedParts {
  std::size_t count = 0;
  const std::function<void(std::size_t)>* part = nullptr;
  std::atomic<std::size_t> next{0};  // the next part to take
  std::atomic<std::size_t> done{0};  // parts that have run
  std::exception_ptr error;          // the first a part threw (under the reader's mutex)
};

// A new thread starts on its parent's core, and when no core is idle (another
// program busy on the rest) the kernel's balancer parts the two only some
// 100 ms later: most of a pass spent sharing one core while the other
// program has a core to itself. So a reader moves off the iterator's core at
// once and then gives the kernel its whole choice back; nothing is pinned.
void StartAwayFrom(int home) {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (home < 0 || home >= CPU_SETSIZE || ::sched_getaffinity(0, sizeof allowed, &allowed) != 0) return;
  if (!CPU_ISSET(home, &allowed) || CPU_COUNT(&allowed) < 2) return;
  cpu_set_t elsewhere = allowed;
  CPU_CLR(home, &elsewhere);
  if (::sched_setaffinity(0, sizeof elsewhere, &elsewhere) == 0) ::sched_setaffinity(0, sizeof allowed, &allowed);
}

// The reader whose worker runs on this thread; null on any other thread.
class PartSharer {
 public:
  virtual void Share(std::size_t count, const std::function<void(std::size_t)>& part) = 0;

 protected:
  ~PartSharer() = default;
};
thread_local PartSharer* tSharer = nullptr;

// Reads the file in stretches ("chunks") on worker threads and hands their
// blocks out in file order.
//
// Chunk k covers the records that begin in [bound(k), bound(k + 1)); the
// bounds depend only on the file, so the blocks (and what is merged from
// them) are the same for any number of threads. A worker cannot know whether
// bound(k) falls inside a quoted cell, so it starts at the first line end
// after it and the consumer checks that guess against where chunk k - 1
// really ended; a wrong guess (a quoted line break across the bound), or a
// chunk whose parse failed, is read again on the consumer's thread from the
// right offset and line, so messages name the right line. Chunks start small
// and double, so that a pass that stops early has read little.
class CsvCursor : public CaseCursor, private PartSharer {
 public:
  CsvCursor(std::shared_ptr<const CsvLayout> layout, std::shared_ptr<CsvBlockPool> pool, std::int64_t size,
            ReadPlan plan, const SplitValues* before)
      : fLayout(std::move(layout)),
        fPool(std::move(pool)),
        fSize(size),
        fPlan(std::move(plan)),
        fDeliveredOffset(fLayout->dataOffset),
        fExpectedStart(fLayout->dataOffset),
        fExpectedLine(fLayout->dataLine) {
    fModes = fLayout->modes;
    if (!fPlan.columns.empty()) {
      for (std::size_t c = 0; c < fModes.size(); ++c) {
        if (c >= fPlan.columns.size() || fPlan.columns[c] == 0) fModes[c] = static_cast<std::uint8_t>(Mode::Skip);
      }
    }
    fThreads = fPlan.threads > 0 ? fPlan.threads : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    // Bounds: small first chunks that double up to a few megabytes, but to
    // no more than 32 KiB per column: a row takes at least a byte per column,
    // so a block then holds at most 32,768 rows. A block's category indexes
    // grow with its distinct values, which for an identifier are its rows,
    // and they are held twice while blocks merge: a listing of a million
    // distinct strings in 4 MiB blocks peaked at 195 MiB, in 64 KiB ones at
    // 110 MiB. Wide files get longer ones (a few dozen rows at first, some
    // hundreds later): every block costs each table an accumulator and a merge.
    const auto columns = static_cast<std::int64_t>(fModes.size());
    const bool tuned = fLayout->largestChunkBytes > 0;
    const std::int64_t widest =
        tuned ? fLayout->largestChunkBytes
              : std::max(std::min(kLargest, columns * kLargestPerColumn), columns * std::int64_t{2048});
    std::int64_t bound = fLayout->dataOffset;
    std::int64_t step =
        tuned ? fLayout->firstChunkBytes : std::max<std::int64_t>(fLayout->firstChunkBytes, columns * 256);
    fBounds.push_back(bound);
    while (bound < fSize) {
      const std::int64_t next = std::min(fSize, bound + step);
      fLongest = std::max(fLongest, next - bound);
      bound = next;
      fBounds.push_back(bound);
      step = std::min(widest, step * 2);
    }
    fChunks.resize(fBounds.size() - 1);
    // A gathered block is its tables' and profile's share: its cells go
    // back to the reader that filled them, for its next stretch, so that
    // only the blocks being read hold cells (one per reader, not the blocks
    // parsed ahead and the iterator's too). A wide file's cells are tens of
    // megabytes a block; a narrow file's readers run several stretches
    // ahead, and each held its cells (a megabyte or two) in fresh pages that
    // cost CPU time on this kind of machine, the more so on a busy one. The
    // iterator asks for a block's cells only where a table lets cases of it
    // go (its category limit): one stretch read again per such block. Split
    // files keep theirs: the iterator compares a block's first split values.
    fCellsGoBack = fPlan.gather && fLayout->splitIndices.empty();
    if (before != nullptr) {
      fHaveLast = true;
      fLastNumbers = before->numbers;
      fLastStrings = before->strings;
    }
  }

  ~CsvCursor() override {
    StopWorkers();
    std::lock_guard<std::mutex> lock(fPool->mutex);
    if (fReachedEnd) fPool->lastCases = fCases;
    auto keep = [&](std::unique_ptr<Entry>& e) {
      if (e && fPool->entries.size() < kPooled) {
        e->block.work.reset();
        e->block.cellsBack = nullptr;
        e->block.cellsAway = false;
        fPool->entries.push_back(std::move(e));
      }
    };
    // The readers' cells first: pooled, the next pass's blocks start with them.
    for (SpareCells& cells : fSpareCells) {
      if (cells.numbers.empty() && cells.strings.empty()) continue;
      auto e = std::make_unique<Entry>();
      e->block.numbers = std::move(cells.numbers);
      e->block.strings = std::move(cells.strings);
      keep(e);
    }
    for (auto& e : fFree) keep(e);
    for (auto& c : fChunks) keep(c.entry);
    keep(fCurrent);
  }

  const CaseBlock* NextBlock() override {
    if (fFinished) return nullptr;
    if (fPendingError) {
      fFinished = true;
      std::exception_ptr error = fPendingError;
      fPendingError = nullptr;
      std::rethrow_exception(error);
    }
    if (!fStarted) Start();
    if (fCurrent) Release(std::move(fCurrent));
    while (fNextChunk < fChunks.size()) {
      const std::size_t k = fNextChunk;
      Chunk& chunk = fChunks[k];
      WaitOrRead(chunk);
      if (chunk.failed || chunk.start != fExpectedStart) {
        Release(std::move(chunk.entry));
        Reread(k);
      }
      fCurrent = std::move(chunk.entry);
      if (fCurrent->block.cellsAway) {
        fCurrent->block.cellsBack = [this, e = fCurrent.get(), k, start = chunk.start, line = fExpectedLine] {
          PutCellsBack(*e, k, start, line);
        };
      }
      fExpectedStart = chunk.stop;
      fExpectedLine += chunk.lines;
      fDeliveredOffset = chunk.stop;
      {
        std::lock_guard<std::mutex> lock(fMutex);
        ++fNextChunk;
      }
      fChanged.notify_all();
      CaseBlock& block = fCurrent->block;
      if (block.rows == 0) {
        if (fPendingError) return NextBlock();
        Release(std::move(fCurrent));
        continue;
      }
      MarkGroupStart(block, chunk);
      fCases += static_cast<std::int64_t>(block.rows);
      Report(false);
      return &block;
    }
    fFinished = true;
    fReachedEnd = true;
    Report(true);
    return nullptr;
  }

  std::int64_t CountRemaining() override {
    StopWorkers();
    if (fReachedEnd) return 0;
    fFinished = true;
    return CountCsvRecords(fLayout->path, fLayout->dialect, fDeliveredOffset, &fLayout->stamp);
  }

 private:
  using Entry = CsvBlockEntry;
  static constexpr std::int64_t kLargest = std::int64_t{4} << 20;
  static constexpr std::int64_t kLargestPerColumn = std::int64_t{32} << 10;
  static constexpr std::size_t kPooled = 8;
  static constexpr std::size_t kWideColumns = 256;
  // Blocks handed out before readers of a narrow file may run further ahead,
  // and how many more stretches they may then read (see MayTakeNext).
  static constexpr std::size_t kSettledAfter = 8;
  static constexpr std::size_t kSettledSlack = 5;

  // A reader's block cells between its stretches (see fCellsGoBack).
  struct SpareCells {
    std::vector<std::vector<double>> numbers;
    std::vector<StringColumn> strings;
  };

  struct Chunk {
    bool ready = false;
    bool failed = false;
    std::int64_t start = 0;  // where the parse began
    std::int64_t line = 1;   // the line number it began with
    std::int64_t stop = 0;   // where the record after its last one starts
    std::int64_t lines = 0;  // lines it read
    std::unique_ptr<Entry> entry;
    std::vector<double> lastNumbers;  // split values of its last case
    std::vector<std::string> lastStrings;
  };

  void Start() {
    fStarted = true;
    fProgress = fPlan.progress ? fPlan.progress : CurrentProgressFunction();
    fLastReport = std::chrono::steady_clock::now();
    fInterval = ProgressInterval();
    {
      std::lock_guard<std::mutex> lock(fPool->mutex);
      while (!fPool->entries.empty()) {
        fFree.push_back(std::move(fPool->entries.back()));
        fPool->entries.pop_back();
      }
    }
    if (fChunks.empty()) return;
    const int fd = ::open(fLayout->path.c_str(), O_RDONLY | O_CLOEXEC);
    fFd = fd;
    // The iterator's thread reads stretches too whenever the block it waits
    // for is not ready (WaitOrRead), so it is one of the threads asked for:
    // the run never has more threads busy than that, and a reader the system
    // has descheduled holds up only its own stretch. One thread reads it all
    // there, without a hand-off.
    const int workers = std::min<int>(fThreads - 1, static_cast<int>(fChunks.size()));
    const int home = ::sched_getcpu();
    fSpareCells.resize(static_cast<std::size_t>(std::max(workers, 0)) + 1);
    for (int i = 0; i < workers; ++i) {
      // Workers take chunks in turn and the iterator's thread reads what
      // they leave, so a worker the system will not start (no room for its
      // stack under a limit on memory) is done without.
      try {
        fWorkers.emplace_back([this, i, home] {
          StartAwayFrom(home);
          ThreadRooms rooms;
          Work(fSpareCells[static_cast<std::size_t>(i)]);
        });
      } catch (const std::system_error&) {
        break;
      }
    }
  }

  // The next stretch to read, if one may be read now (at most `ahead` past
  // the block handed out); under fMutex.
  bool MayTakeNext() const {
    // One chunk more than the threads may wait parsed for the consumer; not
    // for a wide file, whose block (with its tables' accumulators and its
    // profile) is tens of megabytes of fresh pages.
    const bool wide = fModes.size() >= kWideColumns;
    // While the iterator's thread parses a stretch itself it holds no block,
    // so a worker may parse one more: a wide file's worker otherwise sat at
    // the limit for about a third of the pass, its next stretch waiting for
    // the iterator to finish the one it took.
    std::size_t ahead = static_cast<std::size_t>(fThreads) + (wide ? (fIteratorParsing ? 1 : 0) : 1);
    // Past its first stretches a pass is not one that stops early, and a
    // narrow file's block is a megabyte or two: its readers may then run
    // further ahead. With another program holding a core, the iterator's
    // thread often shares one and comes late, or is parsing a stretch itself,
    // and a worker held at the tighter bound sat idle on a core of its own.
    if (!wide && fNextChunk >= kSettledAfter) ahead += kSettledSlack;
    return fNextToParse < fChunks.size() && fNextToParse < fNextChunk + ahead;
  }

  // Waits until `chunk` is parsed; meanwhile the iterator's thread reads the
  // next stretch no worker has taken rather than sleep, so that with fewer
  // cores free than threads the blocks still come at the pace of the cores.
  void WaitOrRead(const Chunk& chunk) {
    std::unique_lock<std::mutex> lock(fMutex);
    while (!chunk.ready) {
      if (!fStop.load() && MayTakeNext()) {
        const std::size_t k = fNextToParse++;
        ++fParsing;
        fIteratorParsing = true;
        lock.unlock();
        if (fModes.size() >= kWideColumns) fChanged.notify_all();  // see MayTakeNext
        PartSharer* const before = tSharer;
        tSharer = this;
        ReadChunk(k, fSpareCells.back());
        tSharer = before;
        lock.lock();
        fIteratorParsing = false;
        continue;
      }
      fChanged.wait(lock);
    }
  }

  std::unique_ptr<Entry> TakeEntry() {
    std::lock_guard<std::mutex> lock(fMutex);
    if (fFree.empty()) return std::make_unique<Entry>();
    std::unique_ptr<Entry> e = std::move(fFree.back());
    fFree.pop_back();
    return e;
  }

  // A wide block's work (its tables' and gatherers' per-block accumulators,
  // thousands of them) stays until Parse takes the entry again and is freed
  // there, on a worker: freed here it would cost the iterator's thread,
  // whose time is the pass's. The iterator never sees the block again before
  // that. A narrow block's work is a few tables, cheap to free but possibly
  // large (the index of a block's distinct strings): kept with every idle
  // block it raised a listing's peak memory by a tenth, so it goes at once.
  void Release(std::unique_ptr<Entry> e) {
    if (!e) return;
    constexpr std::size_t kFreeOnReaderFrom = 256;  // columns
    if (fModes.size() < kFreeOnReaderFrom) e->block.work.reset();
    std::lock_guard<std::mutex> lock(fMutex);
    fFree.push_back(std::move(e));
  }

  // Parses chunk k from `start` (a record start), numbering lines from
  // `line`, and runs the plan's gathering step on its block. `spare`: the
  // reader's cells, which the block fills and, gathered, gives back (see
  // fCellsGoBack); null: the block keeps what it fills.
  void Parse(std::size_t k, std::int64_t start, std::int64_t line, Chunk& out, std::unique_ptr<Entry>& entry,
             SpareCells* spare) {
    out.start = start;
    out.line = line;
    out.stop = start;
    out.lines = 0;
    // What the block held before goes first, whatever happens next (see
    // Release): on a worker, that is where it is freed.
    CaseBlock& block = entry->block;
    block.rows = 0;
    block.work.reset();
    block.cellsBack = nullptr;
    block.cellsAway = false;
    if (spare != nullptr && (!spare->numbers.empty() || !spare->strings.empty())) {
      // The reader's own cells (in its own heap, the pages already there);
      // what the entry held, cells read back for the iterator, goes.
      std::swap(block.numbers, spare->numbers);
      std::swap(block.strings, spare->strings);
      spare->numbers = {};
      spare->strings = {};
    }
    if (start >= fBounds[k + 1] || start >= fSize) return;
    BlockFiller filler(*fLayout, fModes.data(), start, line, fBounds[k + 1], fReadBuffers.Take());
    // Room for the records the stretch probably holds, judged by the bytes a
    // record took in the stretches read so far (a guess: it only saves the
    // block's columns from growing, or from being much too long). A
    // stretch's mean record is close to the last one's; the room past the
    // guess is a thirty-second: a wide file's blocks in flight hold tens of
    // megabytes of numbers, and room no row reaches still takes pages.
    const std::int64_t perRow = fBytesPerRow.load(std::memory_order_relaxed);
    const auto rowsIn = [perRow](std::int64_t bytes) {
      return perRow > 0 ? static_cast<std::size_t>(bytes * 33 / (perRow * 32)) + 16 : std::size_t{0};
    };
    const std::size_t hint = rowsIn(fBounds[k + 1] - start);
    const std::size_t room = rowsIn(fLongest);
    out.stop = filler.Fill(entry->block, hint, room, fStop);
    if (entry->block.rows > 0) {
      fBytesPerRow.store(std::max<std::int64_t>(1, (out.stop - start) / static_cast<std::int64_t>(entry->block.rows)),
                         std::memory_order_relaxed);
    }
    out.lines = filler.Line() - line;
    out.lastNumbers = filler.LastSplitNumbers();
    out.lastStrings = filler.LastSplitStrings();
    fReadBuffers.Give(filler.ReleaseBuffer());
    if (block.rows > 0 && fPlan.gather && !fStop.load()) {
      fPlan.gather(block);
      if (spare != nullptr && fCellsGoBack && block.work) {
        spare->numbers = std::move(block.numbers);
        spare->strings = std::move(block.strings);
        block.numbers.clear();
        block.strings.clear();
        block.cellsAway = true;
      }
    }
  }

  // The cells of chunk k's block, let go once gathered, read again here on
  // the iterator's thread: the same records from the same offset, so the
  // same cells (a file changed since fails as any read of it does).
  void PutCellsBack(Entry& e, std::size_t k, std::int64_t start, std::int64_t line) {
    if (!e.block.cellsAway) return;
    CaseBlock cells;
    BlockFiller filler(*fLayout, fModes.data(), start, line, fBounds[k + 1], fReadBuffers.Take());
    const std::atomic<bool> never{false};
    filler.Fill(cells, e.block.rows, e.block.rows, never);
    fReadBuffers.Give(filler.ReleaseBuffer());
    if (cells.rows != e.block.rows) {
      throw InputError(fLayout->displayName + ": the file changed while it was being read (" +
                       std::to_string(e.block.rows) + " cases from offset " + std::to_string(start) + ", then " +
                       std::to_string(cells.rows) + ")");
    }
    e.block.numbers = std::move(cells.numbers);
    e.block.strings = std::move(cells.strings);
    e.block.cellsAway = false;
  }

  void Work(SpareCells& spare) {
    tSharer = this;
    for (;;) {
      std::size_t k;
      {
        std::unique_lock<std::mutex> lock(fMutex);
        fChanged.wait(lock, [&] { return fStop.load() || fNextToParse >= fChunks.size() || MayTakeNext(); });
        if (fStop.load()) return;
        if (fNextToParse >= fChunks.size()) {
          HelpToEnd(lock);
          return;
        }
        k = fNextToParse++;
        ++fParsing;
      }
      if (!ReadChunk(k, spare)) return;
    }
  }

  // Parses chunk k, taken (counted in fParsing) by this thread, and hands it
  // over; false when the pass stopped meanwhile.
  bool ReadChunk(std::size_t k, SpareCells& spare) {
    Chunk result;
    std::unique_ptr<Entry> entry = TakeEntry();
    try {
      const std::int64_t start = k == 0 ? fLayout->dataOffset : LineStartAfter(fFd, fBounds[k], fSize);
      // Lines are numbered from 1 for now: a chunk read at the wrong place
      // or with an error is read again with the true numbers.
      Parse(k, start, 1, result, entry, &spare);
    } catch (...) {
      result.failed = true;
    }
    if (fStop.load()) {
      {
        std::lock_guard<std::mutex> lock(fMutex);
        --fParsing;
      }
      fChanged.notify_all();
      return false;
    }
    {
      std::lock_guard<std::mutex> lock(fMutex);
      --fParsing;
      Chunk& chunk = fChunks[k];
      chunk.failed = result.failed;
      chunk.start = result.start;
      chunk.line = result.line;
      chunk.stop = result.stop;
      chunk.lines = result.lines;
      chunk.lastNumbers = std::move(result.lastNumbers);
      chunk.lastStrings = std::move(result.lastStrings);
      chunk.entry = std::move(entry);
      chunk.ready = true;
    }
    fChanged.notify_all();
    return true;
  }

  // A worker's gathering in parts: published for the workers that have
  // nothing left to read, run here as far as they do not take the parts.
  void Share(std::size_t count, const std::function<void(std::size_t)>& part) override {
    auto shared = std::make_shared<SharedParts>();
    shared->count = count;
    shared->part = &part;
    {
      std::lock_guard<std::mutex> lock(fMutex);
      fShared.push_back(shared);
      if (fHelping > 0) fChanged.notify_all();
    }
    RunParts(*shared, false);
    std::unique_lock<std::mutex> lock(fMutex);
    std::erase(fShared, shared);
    fChanged.wait(lock, [&] { return shared->done.load() == shared->count; });
    if (shared->error) std::rethrow_exception(shared->error);
  }

  void RunParts(SharedParts& shared, bool helping) {
    for (std::size_t i = shared.next++; i < shared.count; i = shared.next++) {
      try {
        (*shared.part)(i);
      } catch (...) {
        std::lock_guard<std::mutex> lock(fMutex);
        if (!shared.error) shared.error = std::current_exception();
      }
      if (shared.done.fetch_add(1) + 1 == shared.count && helping) {
        // The owner may be waiting for this part.
        std::lock_guard<std::mutex> lock(fMutex);
        fChanged.notify_all();
      }
    }
  }

  // Past the last chunk: takes parts of the other workers' gatherings until
  // none is parsing or gathering any more.
  void HelpToEnd(std::unique_lock<std::mutex>& lock) {
    ++fHelping;
    for (;;) {
      fChanged.wait(lock, [&] { return fStop.load() || !fShared.empty() || fParsing == 0; });
      if (fStop.load() || fShared.empty()) break;
      std::shared_ptr<SharedParts> shared = fShared.front();
      lock.unlock();
      RunParts(*shared, true);
      lock.lock();
      std::erase(fShared, shared);  // every part is taken
    }
    --fHelping;
  }

  // Reads chunk k again here, from where the chunk before it ended. An input
  // error is raised after the cases before the bad record are handed out.
  void Reread(std::size_t k) {
    Chunk& chunk = fChunks[k];
    chunk.entry = TakeEntry();
    chunk.failed = false;
    try {
      Parse(k, fExpectedStart, fExpectedLine, chunk, chunk.entry, nullptr);
    } catch (const InputError&) {
      fPendingError = std::current_exception();
      chunk.lines = 0;
      if (chunk.entry->block.rows > 0 && fPlan.gather) fPlan.gather(chunk.entry->block);
    }
  }

  // The first case of a chunk starts a split group when its split values
  // differ from the last case of the chunk before.
  void MarkGroupStart(CaseBlock& block, const Chunk& chunk) {
    const std::vector<int>& split = fLayout->splitIndices;
    if (split.empty()) return;
    if (fHaveLast) {
      bool changed = false;
      for (std::size_t i = 0; i < split.size(); ++i) {
        const auto v = static_cast<std::size_t>(split[i]);
        if (IsNumericKind(fLayout->columns[v].kind)) {
          changed = changed || block.numbers[v][0] != fLastNumbers[i];
        } else {
          const StringColumn& s = block.strings[v];
          changed = changed || std::string_view(s.bytes.data(), s.offsets[1]) != fLastStrings[i];
        }
      }
      block.groupStart[0] = changed ? 1 : 0;
    }
    fHaveLast = true;
    fLastNumbers = chunk.lastNumbers;
    fLastStrings = chunk.lastStrings;
  }

  void StopWorkers() {
    {
      std::lock_guard<std::mutex> lock(fMutex);
      fStop.store(true);
    }
    fChanged.notify_all();
    for (std::thread& t : fWorkers) t.join();
    fWorkers.clear();
    if (fFd >= 0) {
      ::close(fFd);
      fFd = -1;
    }
  }

  void Report(bool atEnd) {
    if (!fProgress) return;
    const auto now = std::chrono::steady_clock::now();
    if (atEnd ? !fReported : now - fLastReport < fInterval) return;
    fLastReport = now;
    fReported = true;
    fProgress(fCases, fDeliveredOffset, fSize);
  }

  std::shared_ptr<const CsvLayout> fLayout;
  std::shared_ptr<CsvBlockPool> fPool;
  std::int64_t fSize;
  ReadPlan fPlan;
  std::vector<std::uint8_t> fModes;
  int fThreads = 1;
  std::vector<std::int64_t> fBounds;
  std::int64_t fLongest = 0;  // the longest stretch, in bytes
  std::vector<Chunk> fChunks;
  int fFd = -1;
  bool fCellsGoBack = false;
  std::vector<SpareCells> fSpareCells;  // by worker

  std::int64_t fDeliveredOffset;
  std::int64_t fExpectedStart;
  std::int64_t fExpectedLine;
  std::int64_t fCases = 0;
  bool fStarted = false;
  bool fFinished = false;
  bool fReachedEnd = false;
  std::exception_ptr fPendingError;
  bool fHaveLast = false;
  std::vector<double> fLastNumbers;
  std::vector<std::string> fLastStrings;
  ProgressFunction fProgress;
  std::chrono::steady_clock::time_point fLastReport;
  std::chrono::milliseconds fInterval{0};
  bool fReported = false;

  std::mutex fMutex;
  std::condition_variable fChanged;
  std::size_t fNextToParse = 0;  // the next chunk a worker takes
  std::size_t fNextChunk = 0;    // the next chunk handed out
  std::vector<std::unique_ptr<Entry>> fFree;
  ReadBufferPool fReadBuffers;
  std::unique_ptr<Entry> fCurrent;
  std::atomic<bool> fStop{false};
  std::atomic<std::int64_t> fBytesPerRow{0};          // of the last stretch read: a capacity hint
  int fParsing = 0;                                   // workers parsing or gathering a chunk
  bool fIteratorParsing = false;                      // the iterator's thread parsing a chunk
  int fHelping = 0;                                   // workers past the last chunk, taking others' parts
  std::vector<std::shared_ptr<SharedParts>> fShared;  // gatherings with parts to take
  std::vector<std::thread> fWorkers;
};

}  // namespace

void ShareParts(std::size_t count, const std::function<void(std::size_t)>& part) {
  if (tSharer != nullptr && count > 1) {
    tSharer->Share(count, part);
    return;
  }
  for (std::size_t i = 0; i < count; ++i) part(i);
}

CsvCaseSource::CsvCaseSource(CsvLayout layout) {
  layout.firstChunkBytes = std::max<std::int64_t>(1, layout.firstChunkBytes);
  fPool = std::make_shared<CsvBlockPool>();
  layout.names.clear();
  layout.modes.clear();
  for (const CsvColumn& c : layout.columns) {
    layout.names.push_back(c.name);
    layout.modes.push_back(static_cast<std::uint8_t>(ModeOf(c)));
  }
  struct stat st {};
  if (::stat(layout.path.c_str(), &st) == 0) fSize = static_cast<std::int64_t>(st.st_size);
  fLayout = std::make_shared<const CsvLayout>(std::move(layout));
}

std::unique_ptr<CaseCursor> CsvCaseSource::Open() const {
  ReadPlan plan;
  plan.threads = Threads();
  return OpenFor(plan);
}

std::unique_ptr<CaseCursor> CsvCaseSource::OpenFor(const ReadPlan& plan) const {
  return std::make_unique<CsvCursor>(fLayout, fPool, fSize, plan, nullptr);
}

std::unique_ptr<CaseCursor> CsvCaseSource::OpenAfter(const ReadPlan& plan, const SplitValues& before) const {
  return std::make_unique<CsvCursor>(fLayout, fPool, fSize, plan, &before);
}

}  // namespace host
