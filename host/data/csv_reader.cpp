#include "host/data/csv_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <new>

#include "host/common/text.h"
#include "host/data/files.h"
#include "host/dataset.h"

namespace host {

std::string RowWidthMismatch(std::size_t cells, std::size_t variables, bool only) {
  return std::string("the row has ") + (only ? "only " : "") + Counted(cells, "cell") + " but the file has " +
         Counted(variables, "variable");
}
char SeparatorLine(std::string_view head, std::size_t& bytes) {
  bytes = 0;
  if (head.size() < 5 || head.substr(0, 4) != "sep=") return 0;
  const char delimiter = head[4];
  if (delimiter == '\n' || delimiter == '\r' || delimiter == '"') return 0;
  std::size_t end = 5;
  if (end < head.size() && head[end] == '\r') ++end;
  if (end < head.size() && head[end] == '\n') ++end;
  if (end == 5 && end != head.size()) return 0;  // more text on the line: a header cell
  bytes = end;
  return delimiter;
}

namespace {

constexpr std::size_t kInitialBuffer = CsvReader::kUsualBufferBytes;
// An open-ended reader's first buffer: most read a header or a sample and
// stop, and a buffer of the usual size would cost its pages and a read of
// half a megabyte first; one that reads on doubles it up to the usual size.
constexpr std::size_t kFirstOpenBuffer = std::size_t{1} << 16;
// How far past its stopping point a reader of a stretch reads at a time.
constexpr std::size_t kReadPast = std::size_t{1} << 16;
// A record this long is almost surely a quote that was never closed; stop
// before the whole file ends up in memory.
constexpr std::size_t kMaxRecordBytes = std::size_t{256} << 20;

// Compares the open file with its stamp.
void CheckUnchanged(int fd, const FileStamp& stamp, const std::string& displayName) {
  struct stat st {};
  if (stamp.known && (::fstat(fd, &st) != 0 || !(FileStampOf(st) == stamp))) ThrowFileChanged(displayName);
}

int OpenForReading(const std::string& path, const std::string& displayName, std::int64_t& size, FileStamp& stamp,
                   const FileStamp* expected) {
  // Opened without waiting: opening a named pipe would otherwise wait for a
  // writer. Only regular files are read, so the flag goes once that is known.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    throw InputError(displayName + ": cannot open the file (" + std::strerror(errno) +
                     "); check the path (a data package's resource path is relative to the descriptor)");
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int error = errno;
    ::close(fd);
    throw InputError(displayName + ": cannot read the file (" + std::strerror(error) + ")");
  }
  if (S_ISDIR(st.st_mode)) {
    ::close(fd);
    throw InputError(displayName + ": is a folder, not a CSV file");
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    throw InputError(displayName +
                     ": is not a regular file (a pipe, a device or a socket); the data are read more "
                     "than once, so save them to a file first");
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  stamp = FileStampOf(st);
  if (expected != nullptr && expected->known && !(*expected == stamp)) {
    ::close(fd);
    ThrowFileChanged(displayName);
  }
  size = static_cast<std::int64_t>(st.st_size);
#ifdef POSIX_FADV_SEQUENTIAL
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
  return fd;
}

}  // namespace

FileStamp FileStampOf(const struct stat& st) {
  FileStamp stamp;
  stamp.known = true;
  stamp.device = static_cast<std::uint64_t>(st.st_dev);
  stamp.inode = static_cast<std::uint64_t>(st.st_ino);
  stamp.size = static_cast<std::int64_t>(st.st_size);
  stamp.modifiedSeconds = static_cast<std::int64_t>(st.st_mtim.tv_sec);
  stamp.modifiedNanoseconds = static_cast<std::int64_t>(st.st_mtim.tv_nsec);
  return stamp;
}

void ThrowFileChanged(const std::string& displayName) {
  throw InputError(displayName +
                   ": the file changed while it was being read (its size or modification time is not "
                   "what it was when its dictionary was read). Run again once nothing writes to it");
}

CsvReader::CsvReader(const std::string& path, const std::string& displayName, const CsvDialect& dialect,
                     std::int64_t offset, std::int64_t line, const FileStamp* expected, std::int64_t readUpTo,
                     std::vector<char> buffer)
    : fDisplayName(displayName),
      fDialect(dialect),
      fBuffer(std::move(buffer)),
      fBase(offset),
      fReadUpTo(readUpTo),
      fLine(line),
      fRecordLine(line) {
  fFd = OpenForReading(path, displayName, fFileSize, fStamp, expected);
  try {
    if (offset > 0 && ::lseek(fFd, offset, SEEK_SET) != offset) {
      throw InputError(displayName + ": cannot read the file (" + std::strerror(errno) + ")");
    }
    std::size_t initial = readUpTo >= 0 ? kInitialBuffer : kFirstOpenBuffer;
    if (readUpTo >= 0) {
      // The stretch and the end of the record that crosses its end.
      const auto stretch = static_cast<std::size_t>(std::max<std::int64_t>(readUpTo - offset, 0));
      initial = std::min(initial, std::bit_ceil(stretch + kReadPast));
    }
    if (fBuffer.size() < initial + kReadablePastEnd) fBuffer.resize(initial + kReadablePastEnd);
    fBuffer[0] = '\n';
    fSpecial[static_cast<unsigned char>('\n')] = 1;
    fSpecial[static_cast<unsigned char>('\r')] = 1;
    fSpecial[static_cast<unsigned char>(fDialect.delimiter)] = 1;
    if (fDialect.quoting) fSpecial[static_cast<unsigned char>(fDialect.quote)] = 1;
    if (offset == 0) {
      // Skip a UTF-8 byte order mark; a second one is a broken save, and
      // would otherwise end up in the first variable's name.
      while (fEnd < 6 && Fill()) {
      }
      constexpr char kMark[] = "\xEF\xBB\xBF";
      if (fEnd >= 3 && std::memcmp(fBuffer.data(), kMark, 3) == 0) {
        if (fEnd >= 6 && std::memcmp(fBuffer.data() + 3, kMark, 3) == 0) {
          throw InputError(displayName +
                           ", line 1, column 1: the file begins with two byte-order marks (EF BB BF "
                           "twice); save it as UTF-8 with one mark or none");
        }
        fPos = 3;
      }
      while (fEnd - fPos < 8 && Fill()) {
      }
      std::size_t sepBytes = 0;
      const std::string_view head(fBuffer.data() + fPos, std::min<std::size_t>(fEnd - fPos, 8));
      if (const char named = SeparatorLine(head, sepBytes); named != 0) {
        if (named != fDialect.delimiter) {
          throw InputError(displayName + ", line 1: the first line \"sep=" + std::string(1, named) +
                           "\" names the delimiter '" + std::string(1, named) + "', but the file is read with '" +
                           std::string(1, fDialect.delimiter) +
                           "'; remove the line or make the two agree (--delimiter, or the resource's dialect)");
        }
        fPos += sepBytes;
        fLine = fRecordLine = line + 1;
      }
    }
  } catch (...) {
    ::close(fFd);
    fFd = -1;
    throw;
  }
}

CsvReader::~CsvReader() {
  if (fFd >= 0) ::close(fFd);
}

std::string CsvReader::Where(std::int64_t line, std::size_t column) const {
  std::string text = fDisplayName + ", line " + std::to_string(line) + ", column " + std::to_string(column);
  if (fNames != nullptr && column >= 1 && column <= fNames->size()) {
    text += " (variable " + (*fNames)[column - 1] + ")";
  }
  return text;
}

void CsvReader::Unterminated(std::int64_t line, std::size_t column) const {
  throw InputError(Where(line, column) +
                   ": a quoted cell is not closed before the end of the file. Close the quote, and write a quote "
                   "inside a quoted cell as two quotes (\"\")");
}

void CsvReader::RunawayRecord() const {
  // The record is the whole buffer: find where its last cell begins.
  std::size_t column = 1;
  std::int64_t line = fLine, cellLine = fLine;
  bool inQuote = false, cellStart = true;
  for (std::size_t i = 0; i < fEnd; ++i) {
    const char c = fBuffer[i];
    if (cellStart) {
      cellStart = false;
      cellLine = line;
      if (fDialect.quoting && c == fDialect.quote) {
        inQuote = true;
        continue;
      }
    }
    if (c == '\n') {
      ++line;
    } else if (inQuote) {
      if (c == fDialect.quote) inQuote = false;  // a doubled quote re-opens at once
    } else if (fDialect.quoting && c == fDialect.quote && i > 0 && fBuffer[i - 1] == fDialect.quote) {
      inQuote = true;
    } else if (c == fDialect.delimiter) {
      ++column;
      cellStart = true;
    }
  }
  throw InputError(Where(cellLine, column) +
                   ": the cell runs on for more than 256 MiB; a quoted cell is probably "
                   "not closed. Close the quote, and write a quote inside a quoted cell "
                   "as two quotes (\"\")");
}

// The most cells a record may have: more columns than any table this
// program is meant for, and few enough to stay within memory.
constexpr std::size_t kMaxCells = 1000000;
constexpr const char* kMaxCellsText = "1,000,000";

void CsvReader::TooManyCells(std::int64_t line) const {
  throw InputError(fDisplayName + ", line " + std::to_string(line) + ": the row has more than " +
                   std::string(kMaxCellsText) + " cells, more columns than this program reads");
}

void CsvReader::TextAfterQuote(std::int64_t line, std::size_t column, char next, bool backslash) const {
  // R's write.table, by default, quotes its texts and puts a blank between
  // cells: the first quoted header is followed by a blank.
  const bool blanks = next == ' ' && fDialect.delimiter != ' ';
  throw InputError(Where(line, column) +
                   ": unexpected text after the closing quote of a quoted cell. Inside a quoted cell, write a "
                   "quote as two quotes (\"\")" +
                   (blanks ? std::string("; if blanks separate the cells, as R's write.table writes them by default, "
                                         "name the delimiter (--delimiter space, or \"delimiter\": \" \" in a "
                                         "data package's dialect)")
                           : std::string()) +
                   // R's write.table quotes a quote with a backslash unless told
                   // otherwise; found in a bare file's first rows, it is read so.
                   (backslash && !blanks
                        ? std::string("; a backslash before the quote escapes it, as R's write.table writes quotes by "
                                      "default: write the file with write.csv (or qmethod = \"double\"), or name the "
                                      "escape character in a data package's dialect (\"escapeChar\": \"\\\\\")")
                        : std::string()));
}

bool CsvReader::Fill() {
  if (fEof) return false;
  if (fPos > 0) {
    std::memmove(fBuffer.data(), fBuffer.data() + fPos, fEnd - fPos);
    fBase += static_cast<std::int64_t>(fPos);
    fEnd -= fPos;
    fPos = 0;
  }
  const bool rampUp = fReadUpTo < 0 && fBuffer.size() <= kInitialBuffer;
  if (fEnd + kReadablePastEnd >= fBuffer.size() || rampUp) {
    if (fEnd >= kMaxRecordBytes) RunawayRecord();
    try {
      fBuffer.resize(fBuffer.size() * 2);
    } catch (const std::bad_alloc&) {
      throw InputError(OutOfMemoryWhileReading(fDisplayName));
    }
  }
  std::size_t want = fBuffer.size() - kReadablePastEnd - fEnd;
  if (fReadUpTo >= 0) {
    // Up to the caller's stopping point and a little past it (the record that
    // crosses it); a longer record is read on in such steps.
    const std::int64_t ahead = std::max<std::int64_t>(fReadUpTo - (fBase + static_cast<std::int64_t>(fEnd)), 0);
    want = std::min(want, static_cast<std::size_t>(ahead) + kReadPast);
  }
  ssize_t n;
  do {
    n = ::read(fFd, fBuffer.data() + fEnd, want);
  } while (n < 0 && errno == EINTR);
  if (n < 0) throw InputError(fDisplayName + ": cannot read the file (" + std::strerror(errno) + ")");
  if (n == 0) {
    fEof = true;
    CheckUnchanged(fFd, fStamp, fDisplayName);
  }
  fEnd += static_cast<std::size_t>(n);
  fBuffer[fEnd] = '\n';  // sentinel: stops the cell scan at the end of the data
  return n > 0;
}

bool CsvReader::Next(std::vector<CsvCell>& cells, std::size_t& count) {
  for (;;) {
    count = 0;
    switch (Parse(cells, count)) {
      case Outcome::Record:
        return true;
      case Outcome::End:
        return false;
      case Outcome::NeedData:
        Fill();
        break;
    }
  }
}

// One record from the buffer. Long on purpose: it is the loop every byte of
// a CSV file goes through, and its pointers and dialect live in registers
// only while the whole scanner is one function.
CsvReader::Outcome CsvReader::Parse(std::vector<CsvCell>& cells, std::size_t& count) {
  char* const buf = fBuffer.data();
  const char* const e = buf + fEnd;
  const char* p = buf + fPos;
  const char delim = fDialect.delimiter;
  const char quote = fDialect.quote;
  const bool quoting = fDialect.quoting;

  // Blank lines are not records, nor are lines of only spaces and tabs
  // (unless they delimit cells): an editor's stray indentation is no case.
  for (;;) {
    while (p < e && (*p == '\n' || *p == '\r')) {
      if (*p == '\r' && p + 1 < e && p[1] == '\n') ++p;
      if (*p == '\r' && p + 1 == e && !fEof) {
        fPos = static_cast<std::size_t>(p - buf);
        return Outcome::NeedData;
      }
      ++p;
      ++fLine;
    }
    if (p == e || (*p != ' ' && *p != '\t') || *p == delim) break;
    const char* q = p;
    while ((*q == ' ' || *q == '\t') && *q != delim) ++q;  // the sentinel '\n' stops it
    if (q == e && !fEof) {
      fPos = static_cast<std::size_t>(p - buf);
      return Outcome::NeedData;
    }
    if (q != e && *q != '\n' && *q != '\r') break;
    p = q;
  }
  fPos = static_cast<std::size_t>(p - buf);
  if (p == e) return fEof ? Outcome::End : Outcome::NeedData;

  std::uint32_t lineOffset = 0;
  bool anyEscaped = false;
  count = 0;
  for (;;) {
    if (count == cells.size()) {
      // A row of a few hundred MiB of delimiters (a small compressed file can
      // hold one) would otherwise take some tens of bytes per cell here and a
      // few KiB per variable after.
      if (count >= kMaxCells) TooManyCells(fLine);
      cells.resize(std::min(count * 2 + 8, kMaxCells));
    }
    CsvCell& cell = cells[count];
    if (quoting && *p == quote) {
      const char* start = p + 1;
      const char* q = start;
      bool escaped = false;
      for (;;) {
        q = static_cast<const char*>(std::memchr(q, quote, static_cast<std::size_t>(e - q)));
        if (q == nullptr) {
          if (!fEof) return Outcome::NeedData;
          Unterminated(fLine + lineOffset, count + 1);
        }
        if (q + 1 < e) {
          if (q[1] == quote) {
            escaped = true;
            q += 2;
            continue;
          }
          break;
        }
        if (!fEof) return Outcome::NeedData;
        break;
      }
      cell.data = start;
      cell.size = static_cast<std::uint32_t>(q - start);
      cell.lineOffset = lineOffset;
      cell.quoted = true;
      lineOffset += static_cast<std::uint32_t>(std::count(start, q, '\n'));
      if (std::memchr(start, '\r', static_cast<std::size_t>(q - start)) != nullptr) {
        // A lone CR is a line break too (files with old Mac line ends).
        for (const char* r = start; r < q; ++r) lineOffset += *r == '\r' && (r + 1 == q || r[1] != '\n') ? 1 : 0;
      }
      if (escaped) {
        // Mark with the top bit of the size; undone after the record is whole.
        anyEscaped = true;
        cell.lineOffset |= 0x80000000u;
      }
      ++count;
      p = q + 1;
      if (p != e && (*p == ' ' || *p == '\t') && *p != delim) {
        // Blanks between the closing quote and the delimiter, as files typed
        // by hand have them ("x" ,1): R and pandas read past them, and a
        // value's trailing blanks are no part of it anyway.
        const char* b = p;
        while (b != e && (*b == ' ' || *b == '\t') && *b != delim) ++b;
        if (b == e && !fEof) return Outcome::NeedData;
        if (b == e || *b == delim || *b == '\n' || *b == '\r') p = b;
      }
      if (p == e) {
        if (!fEof) return Outcome::NeedData;
        break;
      }
      const char c = *p;
      if (c == delim) {
        ++p;
        continue;
      }
      if (c == '\n') {
        ++p;
        break;
      }
      if (c == '\r') {
        if (p + 1 == e && !fEof) return Outcome::NeedData;
        ++p;
        if (p < e && *p == '\n') ++p;
        break;
      }
      TextAfterQuote(fLine + lineOffset, count, c, q[-1] == '\\');
    }
    const char* start = p;
    for (;;) {
      while (!fSpecial[static_cast<unsigned char>(*p)]) ++p;
      if (p == e || *p != quote || !quoting) break;
      ++p;  // a quote inside an unquoted cell is an ordinary character
    }
    if (p == e && !fEof) return Outcome::NeedData;
    cell.data = start;
    cell.size = static_cast<std::uint32_t>(p - start);
    cell.lineOffset = lineOffset;
    cell.quoted = false;
    ++count;
    if (p == e) break;
    const char c = *p;
    if (c == delim) {
      ++p;
      continue;
    }
    if (c == '\n') {
      ++p;
      break;
    }
    // '\r'
    if (p + 1 == e && !fEof) return Outcome::NeedData;
    ++p;
    if (p < e && *p == '\n') ++p;
    break;
  }

  if (anyEscaped) {
    for (std::size_t i = 0; i < count; ++i) {
      CsvCell& cell = cells[i];
      if ((cell.lineOffset & 0x80000000u) == 0) continue;
      cell.lineOffset &= 0x7FFFFFFFu;
      char* dst = const_cast<char*>(cell.data);
      const char* src = cell.data;
      const char* end = cell.data + cell.size;
      while (src < end) {
        const char c = *src++;
        *dst++ = c;
        if (c == quote) ++src;  // the second quote of a doubled pair
      }
      cell.size = static_cast<std::uint32_t>(dst - cell.data);
    }
  }
  fRecordLine = fLine;
  fLine += lineOffset + 1;
  fPos = static_cast<std::size_t>(p - buf);
  return Outcome::Record;
}

std::int64_t CountCsvRecords(const std::string& path, const CsvDialect& dialect, std::int64_t offset,
                             const FileStamp* expected) {
  std::int64_t size = 0;
  FileStamp stamp;
  const int fd = OpenForReading(path, path, size, stamp, expected);
  if (offset > 0 && ::lseek(fd, offset, SEEK_SET) != offset) {
    ::close(fd);
    return 0;
  }
  unsigned char special[256] = {};
  special[static_cast<unsigned char>('\n')] = 1;
  special[static_cast<unsigned char>('\r')] = 1;
  special[static_cast<unsigned char>(dialect.delimiter)] = 1;
  if (dialect.quoting) special[static_cast<unsigned char>(dialect.quote)] = 1;
  const char delim = dialect.delimiter;
  const char quote = dialect.quote;

  std::vector<char> buffer(kInitialBuffer + 1);
  std::int64_t records = 0;
  bool inQuote = false;
  bool canOpen = true;  // a quote here opens a quoted cell (or re-opens one: "")
  bool hasContent = false;
  bool first = offset == 0;
  for (;;) {
    ssize_t n = ::read(fd, buffer.data(), kInitialBuffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const char* p = buffer.data();
    const char* const e = p + n;
    buffer[static_cast<std::size_t>(n)] = '\n';  // sentinel: stops the scan of ordinary bytes
    if (first) {
      first = false;
      if (n >= 3 && std::memcmp(p, "\xEF\xBB\xBF", 3) == 0) p += 3;
      std::size_t sepBytes = 0;
      if (SeparatorLine(std::string_view(p, static_cast<std::size_t>(e - p)), sepBytes) != 0) p += sepBytes;
    }
    while (p < e) {
      if (inQuote) {
        const char* q = static_cast<const char*>(std::memchr(p, quote, static_cast<std::size_t>(e - p)));
        if (q == nullptr) break;
        p = q + 1;
        inQuote = false;
        canOpen = true;
        continue;
      }
      const char* start = p;
      while (!special[static_cast<unsigned char>(*p)]) ++p;
      if (p != start) {
        // A line of only spaces and tabs is blank, as for the reader.
        if (!hasContent) hasContent = std::any_of(start, p, [](char c) { return c != ' ' && c != '\t'; });
        canOpen = false;
      }
      if (p == e) break;
      const char c = *p++;
      if (c == '\n' || c == '\r') {
        if (hasContent) ++records;
        hasContent = false;
        canOpen = true;
      } else if (c == delim) {
        hasContent = true;
        canOpen = true;
      } else {  // a quote
        hasContent = true;
        inQuote = canOpen;
        canOpen = false;
      }
    }
  }
  try {
    CheckUnchanged(fd, stamp, path);
  } catch (...) {
    ::close(fd);
    throw;
  }
  ::close(fd);
  if (hasContent || inQuote) ++records;
  return records;
}

}  // namespace host
