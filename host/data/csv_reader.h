// A streaming RFC 4180 record reader: large buffered reads, no allocation per
// record or cell. Cells are views into the reader's buffer, valid until the
// next record is read.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace host {

struct CsvDialect {
  char delimiter = ',';
  char quote = '"';
  bool quoting = true;  // false: quotes are ordinary characters
  bool header = true;
};

// A data file as it was when first opened. Every later open, and the end of
// every read, compares the file with it: a file that changed between the
// dictionary scan and the data pass (or during a pass) would give a mixed
// result, so it is an error.
struct FileStamp {
  bool known = false;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t modifiedSeconds = 0;
  std::int64_t modifiedNanoseconds = 0;

  bool operator==(const FileStamp&) const = default;
};

FileStamp FileStampOf(const struct stat& st);
// The error for a data file whose stamp is not what it was.
[[noreturn]] void ThrowFileChanged(const std::string& displayName);

// "the row has 1 cell but the file has 2 variables": the start of every
// message about a row with the wrong number of cells ("only" when it is short).
std::string RowWidthMismatch(std::size_t cells, std::size_t variables, bool only = false);

// A first line "sep=;" (spreadsheet programs write it before the header to
// name the delimiter): the delimiter it names, or 0 when `head` (the file's
// start, after a byte order mark) does not begin with one. `bytes` gets the
// line's length with its line break. Such a line is not a record.
char SeparatorLine(std::string_view head, std::size_t& bytes);

struct CsvCell {
  const char* data;
  std::uint32_t size;
  std::uint32_t lineOffset;  // lines between the record's first line and this cell
  bool quoted;

  std::string_view View() const { return std::string_view(data, size); }
};

class CsvReader {
 public:
  // Opens the file and positions at a byte offset that is the start of a
  // record (0: the start of the file, where a UTF-8 byte order mark is
  // skipped); line is the number of the line found there. Only regular files
  // are read (the data are read more than once). When `expected` is given
  // and known, the file must still be as it describes. Throws InputError.
  // `readUpTo` (when not negative): the caller stops at the first record
  // that begins at or past this offset, so the reader reads little beyond it
  // and starts with a buffer no larger than the stretch needs.
  // `buffer` (optional): memory to read into, the reader's from then on;
  // ReleaseBuffer hands it (grown as needed) to the next reader, which then
  // uses pages that are already there.
  CsvReader(const std::string& path, const std::string& displayName, const CsvDialect& dialect, std::int64_t offset = 0,
            std::int64_t line = 1, const FileStamp* expected = nullptr, std::int64_t readUpTo = -1,
            std::vector<char> buffer = {});
  ~CsvReader();
  CsvReader(const CsvReader&) = delete;
  CsvReader& operator=(const CsvReader&) = delete;

  // The size of a read buffer; it grows past this only for a record longer
  // than it. Half a mebibyte: larger ones are mapped on pages of their own
  // (see app/allocator.cpp), a wide file's two stretch readers held 4 MiB
  // more at its peak for no fewer instructions, and what a read brings is
  // still in the core's cache when the cells are converted.
  static constexpr std::size_t kUsualBufferBytes = std::size_t{1} << 19;

  // Bytes that may be read from BufferEnd() on (its sentinel '\n' first,
  // then bytes of no meaning): a caller may load a word that starts before
  // the buffer's end without asking where that end is.
  static constexpr std::size_t kReadablePastEnd = 16;

  // Gives up the read buffer, for the next reader: nothing more can be read.
  std::vector<char> ReleaseBuffer() { return std::move(fBuffer); }

  // Reads the next record into cells[0, count) (cells grows as needed and
  // never shrinks); false at the end of the file. Blank lines are skipped. Throws InputError for an
  // unterminated quote or text after a closing quote.
  bool Next(std::vector<CsvCell>& cells, std::size_t& count);

  // For a caller that reads the plainest records itself, straight from the
  // buffer: the bytes read from the file but not yet taken, [Unread(),
  // BufferEnd()); a '\n' follows them. TakeLine(next) takes the bytes up to
  // `next` as one record on one line (no blank line before it, no line break
  // inside it), as Next would have.
  const char* Unread() const { return fBuffer.data() + fPos; }
  const char* BufferEnd() const { return fBuffer.data() + fEnd; }
  // Reads on when fewer than `bytes` are unread and the file has more before
  // the reading's end (see readUpTo), without growing the buffer: such a
  // caller then finds the next record whole where it would have found the
  // buffer's end inside it and left the record to Next. Moves the unread
  // bytes (Unread() changes).
  void ReadAhead(std::size_t bytes) {
    if (fEnd - fPos < bytes && fPos > 0 && !fEof &&
        (fReadUpTo < 0 ? fBuffer.size() > kUsualBufferBytes : fBase + static_cast<std::int64_t>(fEnd) < fReadUpTo)) {
      Fill();
    }
  }
  void TakeLine(const char* next) {
    fRecordLine = fLine;
    ++fLine;
    fPos = static_cast<std::size_t>(next - fBuffer.data());
  }

  // The line on which the last record read begins.
  std::int64_t RecordLine() const { return fRecordLine; }
  // The byte offset just past the last record read (its terminator included).
  std::int64_t Offset() const { return fBase + static_cast<std::int64_t>(fPos); }
  // The line number of the next record's first line (blank lines aside).
  std::int64_t Line() const { return fLine; }
  std::int64_t FileSize() const { return fFileSize; }
  // The file as it was opened.
  const FileStamp& Stamp() const { return fStamp; }

  // Names used in messages for columns (optional).
  void SetColumnNames(const std::vector<std::string>* names) { fNames = names; }

  // Builds the text of an error at a cell: "file, line L, column C (variable
  // V): what".
  std::string Where(std::int64_t line, std::size_t column) const;

 private:
  enum class Outcome { Record, NeedData, End };
  Outcome Parse(std::vector<CsvCell>& cells, std::size_t& count);
  bool Fill();  // false when nothing more could be read
  [[noreturn]] __attribute__((noinline, cold)) void Unterminated(std::int64_t line, std::size_t column) const;
  [[noreturn]] __attribute__((noinline, cold)) void TooManyCells(std::int64_t line) const;
  // `next`: the byte after the closing quote.
  [[noreturn]] __attribute__((noinline, cold)) void TextAfterQuote(std::int64_t line, std::size_t column, char next,
                                                                   bool backslash) const;
  // A record longer than the buffer may grow: names the cell that runs on.
  [[noreturn]] __attribute__((noinline, cold)) void RunawayRecord() const;

  std::string fDisplayName;
  CsvDialect fDialect;
  int fFd = -1;
  std::int64_t fFileSize = 0;
  FileStamp fStamp;
  std::vector<char> fBuffer;
  std::size_t fPos = 0;    // start of the next record in fBuffer
  std::size_t fEnd = 0;    // end of valid data in fBuffer
  std::int64_t fBase = 0;  // file offset of fBuffer[0]
  std::int64_t fReadUpTo = -1;
  bool fEof = false;
  std::int64_t fLine = 1;
  std::int64_t fRecordLine = 1;
  unsigned char fSpecial[256] = {};
  const std::vector<std::string>* fNames = nullptr;
};

// Counts the records from a byte offset (the start of a record) to the end of
// the file, quote-aware, without looking at the cells. Blank lines are not
// records. `expected` as for CsvReader.
std::int64_t CountCsvRecords(const std::string& path, const CsvDialect& dialect, std::int64_t offset,
                             const FileStamp* expected = nullptr);

}  // namespace host
