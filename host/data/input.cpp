#include "host/data/input.h"
#include "host/common/text.h"

#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "host/data/csv_reader.h"
#include "host/data/files.h"
#include "host/data/foreign.h"
#include "host/dataset.h"

namespace host {
namespace {

constexpr std::size_t kChunk = std::size_t{1} << 17;
// The end-of-file mark of DOS (and CP/M) text files: Ctrl-Z.
constexpr char kEofMark = '\x1A';

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// A stream of bytes; Read returns 0 at the end. Throws InputError.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual std::size_t Read(char* buffer, std::size_t size) = 0;
};

class FdSource : public ByteSource {
 public:
  FdSource(int fd, bool owned, std::string name) : fFd(fd), fOwned(owned), fName(std::move(name)) {}
  ~FdSource() override {
    if (fOwned) ::close(fFd);
  }
  std::size_t Read(char* buffer, std::size_t size) override {
    for (;;) {
      const ssize_t n = ::read(fFd, buffer, size);
      if (n >= 0) return static_cast<std::size_t>(n);
      if (errno != EINTR) throw InputError(fName + ": cannot read the file (" + std::strerror(errno) + ")");
    }
  }

 private:
  int fFd;
  bool fOwned;
  std::string fName;
};

// Lets the first bytes be looked at before they are read.
class PeekSource : public ByteSource {
 public:
  explicit PeekSource(std::unique_ptr<ByteSource> inner) : fInner(std::move(inner)) {}
  // The first n bytes (fewer when the stream is shorter).
  std::string_view Peek(std::size_t n) {
    while (fHead.size() < n && !fEnded) {
      char buffer[64];
      const std::size_t got = fInner->Read(buffer, std::min(sizeof buffer, n - fHead.size()));
      if (got == 0) fEnded = true;
      fHead.append(buffer, got);
    }
    return std::string_view(fHead).substr(0, std::min(n, fHead.size()));
  }
  std::size_t Read(char* buffer, std::size_t size) override {
    if (fUsed < fHead.size()) {
      const std::size_t n = std::min(size, fHead.size() - fUsed);
      std::memcpy(buffer, fHead.data() + fUsed, n);
      fUsed += n;
      return n;
    }
    return fInner->Read(buffer, size);
  }

 private:
  std::unique_ptr<ByteSource> fInner;
  std::string fHead;
  std::size_t fUsed = 0;
  bool fEnded = false;
};

// gzip (several members one after the other, as gzip itself writes them).
class GzipSource : public ByteSource {
 public:
  GzipSource(std::unique_ptr<ByteSource> inner, std::string name)
      : fInner(std::move(inner)), fName(std::move(name)), fIn(kChunk) {
    if (inflateInit2(&fStream, 15 + 32) != Z_OK) throw InputError(fName + ": cannot start the gzip decoder");
  }
  ~GzipSource() override { inflateEnd(&fStream); }

  std::size_t Read(char* buffer, std::size_t size) override {
    fStream.next_out = reinterpret_cast<Bytef*>(buffer);
    fStream.avail_out = static_cast<uInt>(size);
    while (fStream.avail_out == size) {
      if (fStream.avail_in == 0) {
        const std::size_t n = fInner->Read(fIn.data(), fIn.size());
        if (n == 0) {
          if (fInMember) Fail("the compressed data ends early; the file is probably cut short");
          return 0;
        }
        fStream.next_in = reinterpret_cast<Bytef*>(fIn.data());
        fStream.avail_in = static_cast<uInt>(n);
      }
      if (!fInMember && *fStream.next_in == 0) {
        // Zero bytes after the last member (a file padded to a block size,
        // as tape and archive tools leave it): gzip ignores them too. No
        // member starts with a zero byte.
        while (fStream.avail_in > 0 && *fStream.next_in == 0) {
          ++fStream.next_in;
          --fStream.avail_in;
        }
        if (fStream.avail_in == 0) continue;
        Fail("the gzip data are damaged (data after the zero bytes that follow the compressed data)");
      }
      fInMember = true;
      const int status = inflate(&fStream, Z_NO_FLUSH);
      if (status == Z_STREAM_END) {
        fInMember = false;
        inflateReset(&fStream);
      } else if (status != Z_OK && status != Z_BUF_ERROR) {
        Fail(std::string("the gzip data are damaged (") + (fStream.msg != nullptr ? fStream.msg : "zlib error") + ")");
      }
    }
    return size - fStream.avail_out;
  }

 private:
  [[noreturn]] void Fail(const std::string& what) const { throw InputError(fName + ": " + what); }

  std::unique_ptr<ByteSource> fInner;
  std::string fName;
  std::vector<char> fIn;
  z_stream fStream{};
  bool fInMember = false;
};

class ZstdSource : public ByteSource {
 public:
  ZstdSource(std::unique_ptr<ByteSource> inner, std::string name)
      : fInner(std::move(inner)), fName(std::move(name)), fIn(ZSTD_DStreamInSize()), fContext(ZSTD_createDCtx()) {
    if (fContext == nullptr) throw InputError(fName + ": cannot start the zstd decoder");
  }
  ~ZstdSource() override { ZSTD_freeDCtx(fContext); }

  std::size_t Read(char* buffer, std::size_t size) override {
    ZSTD_outBuffer out{buffer, size, 0};
    while (out.pos == 0) {
      if (fInput.pos == fInput.size) {
        const std::size_t n = fInner->Read(fIn.data(), fIn.size());
        if (n == 0) {
          if (fInFrame) throw InputError(fName + ": the compressed data ends early; the file is probably cut short");
          return 0;
        }
        fInput = ZSTD_inBuffer{fIn.data(), n, 0};
      }
      const std::size_t status = ZSTD_decompressStream(fContext, &out, &fInput);
      if (ZSTD_isError(status)) {
        throw InputError(fName + ": the zstd data are damaged (" + ZSTD_getErrorName(status) + ")");
      }
      fInFrame = status != 0;
    }
    return out.pos;
  }

 private:
  std::unique_ptr<ByteSource> fInner;
  std::string fName;
  std::vector<char> fIn;
  ZSTD_DCtx* fContext;
  ZSTD_inBuffer fInput{nullptr, 0, 0};
  bool fInFrame = false;
};

// Text in another encoding, converted to UTF-8 by the C library's iconv.
class IconvSource : public ByteSource {
 public:
  // watchControls: the encoding gives bytes 0x80-0x9F to invisible control
  // characters (latin1); the first one read is kept for a warning.
  IconvSource(std::unique_ptr<ByteSource> inner, std::string name, const std::string& encoding, bool watchControls)
      : fInner(std::move(inner)),
        fName(std::move(name)),
        fEncoding(encoding),
        fIn(kChunk),
        fWatchControls(watchControls) {
    fConverter = iconv_open("UTF-8", encoding.c_str());
    if (fConverter == reinterpret_cast<iconv_t>(-1)) {
      throw InputError("the encoding \"" + encoding +
                       "\" is not one this system converts; use an iconv name such as latin1, cp1252, utf-16 or "
                       "shift_jis (iconv -l lists them)" +
                       UnknownEncodingHint(encoding));
    }
  }
  ~IconvSource() override { iconv_close(fConverter); }

  // The encoding was told by the file's byte order mark, not named: text
  // it cannot read is damage (a copy cut after an odd byte), not a wrong name.
  void SetByMark() { fByMark = true; }

  // The first control character U+0080-U+009F read (0: none) and its line.
  unsigned char ControlByte() const { return fControl; }
  std::int64_t ControlLine() const { return fControlLine; }

  std::size_t Read(char* buffer, std::size_t size) override {
    char* out = buffer;
    std::size_t outLeft = size;
    while (out == buffer) {
      if (fInEnd == fInPos || fNeedMore) {
        // Keep an incomplete sequence at the front and read more after it.
        std::memmove(fIn.data(), fIn.data() + fInPos, fInEnd - fInPos);
        fInEnd -= fInPos;
        fInPos = 0;
        const std::size_t n = fInner->Read(fIn.data() + fInEnd, fIn.size() - fInEnd);
        if (n == 0) {
          if (fInEnd > 0) Bad("the text ends inside a character");
          return 0;
        }
        fInEnd += n;
        fNeedMore = false;
      }
      char* in = fIn.data() + fInPos;
      std::size_t inLeft = fInEnd - fInPos;
      const std::size_t done = iconv(fConverter, &in, &inLeft, &out, &outLeft);
      fInPos = static_cast<std::size_t>(in - fIn.data());
      if (done == static_cast<std::size_t>(-1)) {
        if (errno == EILSEQ) {
          CountLines(buffer, out);
          Bad("a byte sequence is not " + fEncoding + " text");
        }
        if (errno == EINVAL) fNeedMore = true;  // E2BIG: the output is full
      }
    }
    CountLines(buffer, out);
    return static_cast<std::size_t>(out - buffer);
  }

 private:
  // Line breaks are LF, CR LF or a lone CR, as for the reader; a CR at the
  // end of one piece of output may have its LF at the start of the next.
  void CountLines(const char* from, const char* to) {
    for (const char* p = from; p < to; ++p) {
      // U+0080-U+009F in UTF-8: C2 80 to C2 9F (the pair may span two reads).
      const auto byte = static_cast<unsigned char>(*p);
      if (fWatchControls && fControl == 0 && fAfterC2 && byte >= 0x80 && byte <= 0x9F) {
        fControl = byte;
        fControlLine = fLines + 1;
      }
      fAfterC2 = byte == 0xC2;
      if (*p == '\n') {
        fLines += fAfterCr ? 0 : 1;
      } else if (*p == '\r') {
        ++fLines;
      }
      fAfterCr = *p == '\r';
    }
  }

  [[noreturn]] void Bad(const std::string& what) const {
    throw InputError(fName + ", line " + std::to_string(fLines + 1) + ": " + what +
                     (fByMark ? "; the file begins with a " + fEncoding +
                                    " byte order mark, so it is damaged or cut short: save or copy it again"
                              : std::string("; check the encoding named with --encoding (or the resource's "
                                            "\"encoding\")")));
  }

  std::unique_ptr<ByteSource> fInner;
  std::string fName;
  std::string fEncoding;
  iconv_t fConverter;
  std::vector<char> fIn;
  std::size_t fInPos = 0, fInEnd = 0;
  bool fNeedMore = false;
  std::int64_t fLines = 0;
  bool fAfterCr = false;
  bool fWatchControls;
  bool fByMark = false;
  bool fAfterC2 = false;
  unsigned char fControl = 0;
  std::int64_t fControlLine = 0;
};

// Leaves out the end-of-file mark (Ctrl-Z) that DOS tools write after the
// text, and the run of them CP/M ones pad the last block with: no part of
// the data, and read as a row it would be a ragged one. Marks followed by
// anything else are kept.
class EofMarkSource : public ByteSource {
 public:
  explicit EofMarkSource(std::unique_ptr<ByteSource> inner) : fInner(std::move(inner)), fIn(kChunk) {}

  std::size_t Read(char* buffer, std::size_t size) override {
    while (fOutPos == fOut.size()) {
      fOut.clear();
      fOutPos = 0;
      const std::size_t n = fInner->Read(fIn.data(), fIn.size());
      if (n == 0) return 0;  // the marks held back ended the text
      std::size_t keep = n;
      while (keep > 0 && fIn[keep - 1] == kEofMark) --keep;
      if (keep == 0) {
        fHeld += n;
        continue;
      }
      fOut.append(fHeld, kEofMark);
      fOut.append(fIn.data(), keep);
      fHeld = n - keep;
    }
    const std::size_t n = std::min(size, fOut.size() - fOutPos);
    std::memcpy(buffer, fOut.data() + fOutPos, n);
    fOutPos += n;
    return n;
  }

 private:
  std::unique_ptr<ByteSource> fInner;
  std::vector<char> fIn;
  std::string fOut;
  std::size_t fOutPos = 0;
  std::size_t fHeld = 0;
};

// Rewrites a CSV dialect (escape characters, quotes that are not doubled,
// blanks after delimiters, comment lines) into RFC 4180 with '"' quotes.
// Comment lines become blank lines, and the line breaks inside cells are
// kept, so line numbers in later messages stay those of the original.
class DialectSource : public ByteSource {
 public:
  DialectSource(std::unique_ptr<ByteSource> inner, const DialectRewrite& dialect)
      : fInner(std::move(inner)), fDialect(dialect), fIn(kChunk) {}

  std::size_t Read(char* buffer, std::size_t size) override {
    while (fOut.size() - fOutPos < size && !fEnded) Refill();
    const std::size_t n = std::min(size, fOut.size() - fOutPos);
    std::memcpy(buffer, fOut.data() + fOutPos, n);
    fOutPos += n;
    if (fOutPos == fOut.size()) {
      fOut.clear();
      fOutPos = 0;
    }
    return n;
  }

 private:
  enum class State { LineStart, CellStart, Unquoted, Quoted, AfterQuote, Comment };

  void Refill() {
    const std::size_t n = fInner->Read(fIn.data(), fIn.size());
    if (n == 0) {
      fEnded = true;
      if (fBackslash) fCell.push_back('\\');
      fBackslash = false;
      if (fState == State::Quoted) {
        // An unclosed quote stays unclosed, so that the reader reports it
        // (written as a whole quoted cell, it passed as a value).
        fOut.push_back('"');
        for (char c : fCell) {
          fOut.push_back(c);
          if (c == '"') fOut.push_back('"');
        }
        fCell.clear();
        return;
      }
      if (fState != State::LineStart && fState != State::Comment) EndRecord();
      return;
    }
    for (std::size_t i = 0; i < n; ++i) Take(fIn[i]);
  }

  void Take(char c) {
    if (fBackslash) {
      fBackslash = false;
      if (c == fDialect.quote) {
        fCell.push_back(c);
        return;
      }
      fCell.push_back('\\');  // a backslash before anything else is itself
    }
    if (fEscaped) {
      fEscaped = false;
      const std::string& null = fDialect.nullSequence;
      if (!fQuoted && fCell.empty() && null.size() == 2 && null[0] == fDialect.escapeChar && null[1] == c) {
        fCell = null;
        return;
      }
      fCell.push_back(c);
      return;
    }
    if (fSkipLf) {
      fSkipLf = false;
      if (c == '\n') return;
    }
    switch (fState) {
      case State::Comment:
        if (c == '\n' || c == '\r') {
          fOut.push_back('\n');
          fSkipLf = c == '\r';
          fState = State::LineStart;
        }
        return;
      case State::LineStart:
        if (fDialect.commentChar != 0 && c == fDialect.commentChar) {
          fState = State::Comment;
          return;
        }
        if (c == '\n' || c == '\r') {
          fOut.push_back('\n');
          fSkipLf = c == '\r';
          return;
        }
        fState = State::CellStart;
        [[fallthrough]];
      case State::CellStart:
        if (fDialect.skipInitialSpace && c == ' ') return;
        if (fDialect.quote != 0 && c == fDialect.quote) {
          fQuoted = true;
          fState = State::Quoted;
          return;
        }
        fState = State::Unquoted;
        [[fallthrough]];
      case State::Unquoted:
        if (c == fDialect.escapeChar && fDialect.escapeChar != 0) {
          fEscaped = true;
        } else if (!EndsCell(c)) {
          fCell.push_back(c);
        }
        return;
      case State::Quoted:
        if (c == fDialect.escapeChar && fDialect.escapeChar != 0) {
          fEscaped = true;
        } else if (c == '\\' && fDialect.backslashQuote) {
          fBackslash = true;
        } else if (c == fDialect.quote) {
          fState = State::AfterQuote;
        } else {
          fCell.push_back(c);
        }
        return;
      case State::AfterQuote:
        if (c == fDialect.quote && fDialect.doubleQuote) {
          fCell.push_back(c);
          fState = State::Quoted;
        } else if (!EndsCell(c)) {
          fCell.push_back(c);  // text after the closing quote joins the cell
          fState = State::Unquoted;
        }
        return;
    }
  }

  // A delimiter or line break outside quotes ends the cell (and the record).
  bool EndsCell(char c) {
    if (c == fDialect.delimiter) {
      EndCell();
    } else if (c == '\n' || c == '\r') {
      fSkipLf = c == '\r';
      EndRecord();
    } else {
      return false;
    }
    return true;
  }

  void EndCell() {
    const bool quote =
        fQuoted || fCell.find_first_of(std::string{'"', fDialect.delimiter, '\n', '\r'}) != std::string::npos;
    if (quote) {
      AppendQuotedCell(fOut, fCell);
    } else {
      fOut.append(fCell);
    }
    fOut.push_back(fDialect.delimiter);
    fCell.clear();
    fQuoted = false;
    fState = State::CellStart;
  }

  void EndRecord() {
    EndCell();
    fOut.back() = '\n';
    fState = State::LineStart;
  }

  std::unique_ptr<ByteSource> fInner;
  DialectRewrite fDialect;
  std::vector<char> fIn;
  std::string fOut;
  std::size_t fOutPos = 0;
  std::string fCell;
  State fState = State::LineStart;
  bool fQuoted = false;
  bool fEscaped = false;
  bool fBackslash = false;  // a backslash in a quoted cell, under backslashQuote
  bool fSkipLf = false;
  bool fEnded = false;
};

// An unnamed file in the temporary folder, open for reading and writing.
int OpenSpool(const std::string& displayName) {
  std::error_code ec;
  std::string folder = std::filesystem::temp_directory_path(ec).string();
  if (ec || folder.empty()) folder = "/tmp";
#ifdef O_TMPFILE
  int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
#endif
  std::string pattern = folder + "/codebook-input-XXXXXX";
  fd = ::mkstemp(pattern.data());
  if (fd < 0) {
    throw InputError(displayName + ": cannot make a temporary copy in " + folder + " (" + std::strerror(errno) +
                     "); set TMPDIR to a folder with room");
  }
  ::unlink(pattern.c_str());  // the open descriptor keeps the file until it is closed
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  return fd;
}

void WriteAll(int fd, const char* data, std::size_t size, const std::string& displayName) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw InputError(displayName + ": cannot write the temporary copy of the data (" + std::strerror(errno) +
                       "); set TMPDIR to a folder with room");
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

// True when iconv converts from `name` to UTF-8.
bool IconvKnows(const std::string& name) {
  const iconv_t converter = iconv_open("UTF-8", name.c_str());
  if (converter == reinterpret_cast<iconv_t>(-1)) return false;
  iconv_close(converter);
  return true;
}

// A regular file's last byte (a space when it cannot be read).
char LastByte(int fd) {
  struct stat st {};
  char last = ' ';
  if (::fstat(fd, &st) != 0 || st.st_size == 0 || ::pread(fd, &last, 1, st.st_size - 1) != 1) return ' ';
  return last;
}

// An encoding name in lower case without its dashes and underscores, so
// that "UTF-16LE", "utf_16le" and "utf16le" compare alike.
std::string CompactEncodingName(const std::string& encoding) {
  std::string e = LowerAscii(encoding);
  e.erase(std::remove_if(e.begin(), e.end(), [](char c) { return c == '-' || c == '_'; }), e.end());
  return e;
}

// Whether an iconv name is one of the Unicode encodings that a byte order
// mark may begin (UTF-16, UTF-32 and their older names).
bool UnicodeName(const std::string& encoding) {
  const std::string e = CompactEncodingName(encoding);
  return e.starts_with("utf") || e.starts_with("ucs") || e.starts_with("unicode");
}

// The encoding a byte order mark at the start says, or null. UTF-32's
// little-endian mark begins as UTF-16's does (Python's "utf-32" and
// PowerShell's -Encoding UTF32 write it).
const char* MarkedUnicode(std::string_view start) {
  if (start.substr(0, 4) == std::string_view("\xFF\xFE\0\0", 4) ||
      start.substr(0, 4) == std::string_view("\0\0\xFE\xFF", 4)) {
    return "UTF-32";
  }
  if (start.substr(0, 2) == "\xFF\xFE" || start.substr(0, 2) == "\xFE\xFF") return "UTF-16";
  return nullptr;
}

// Whether an iconv name is one of UTF-16 and UTF-32, whose text of ASCII
// characters holds zero bytes.
bool WideUnicodeName(const std::string& encoding) {
  const std::string e = CompactEncodingName(encoding);
  return e.starts_with("utf16") || e.starts_with("utf32") || e.starts_with("ucs2") || e.starts_with("ucs4") ||
         e == "unicode";
}

// Text named to be in a legacy encoding that is UTF-8 (its first 64 KiB
// well formed, with characters beyond ASCII): read so, every accented
// letter becomes two ("Zürich" as latin1 is "ZÃ¼rich"). The first such
// word, its line and its reading in the encoding; no word when the text is
// not UTF-8 or holds nothing but ASCII.
struct Utf8Sample {
  std::size_t line = 0;
  std::string word, read;
};
Utf8Sample Utf8UnderOtherEncoding(std::string_view head, bool whole, const std::string& encoding) {
  if (!whole) head = head.substr(0, head.find_last_of('\n') + 1);  // no character cut
  const auto high = [](char c) { return (static_cast<unsigned char>(c) & 0x80) != 0; };
  const auto first = std::find_if(head.begin(), head.end(), high);
  std::size_t bad = 0;
  if (first == head.end() || !ValidUtf8(head, bad)) return {};
  const auto inWord = [&](char c) {
    return high(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
  };
  const std::size_t at = static_cast<std::size_t>(first - head.begin());
  std::size_t from = at, to = at;
  while (from > 0 && at - from < 24 && inWord(head[from - 1])) --from;
  while (to < head.size() && to - at < 24 && inWord(head[to])) ++to;
  while (to < head.size() && (static_cast<unsigned char>(head[to]) & 0xC0) == 0x80) ++to;  // whole characters
  Utf8Sample sample;
  sample.word = std::string(head.substr(from, to - from));
  sample.line = static_cast<std::size_t>(std::count(head.begin(), first, '\n')) + 1;
  // A word the encoding cannot read still shows that the file is UTF-8.
  if (ConvertToUtf8(sample.word, encoding.c_str(), sample.read) != Utf8Conversion::kDone) sample.read.clear();
  return sample;
}

// The warning for a control character U+0080-U+009F read from text named
// ISO-8859-1: the byte is most likely Windows-1252's.
std::string ControlUnderLatin1(unsigned char byte, std::int64_t line, const std::string& displayName,
                               const std::string& given) {
  const std::string windows = WindowsReadingOfControl(byte);
  if (windows.empty()) return {};  // a byte Windows-1252 leaves undefined: no better reading to offer
  return displayName + ", line " + std::to_string(line) + ": byte " +
         HexBytes(std::string(1, static_cast<char>(byte))) + " is an invisible control character in " + given +
         ", where Windows-1252 has \"" + windows +
         "\"; if the file was saved on Windows, name --encoding cp1252 (or the resource's \"encoding\")";
}

}  // namespace

bool ControlsAt80(const std::string& encoding) {
  const std::string e = CompactEncodingName(encoding);
  return e == "latin1" || e == "l1" || e == "iso88591" || e == "iso88591:1987" || e == "isolatin1" || e == "cp819" ||
         e == "ibm819" || e == "88591" || e == "latin9" || e == "l9" || e == "latin0" || e == "iso885915";
}

std::string WindowsReadingOfControl(unsigned char byte) {
  const char bytes[] = {static_cast<char>(byte)};
  std::string windows;
  if (ConvertToUtf8(std::string_view(bytes, 1), "CP1252", windows) != Utf8Conversion::kDone) return {};
  return windows;
}

std::string HexBytes(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (!out.empty()) out += ' ';
    out += "0x";
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

bool IsUtf8Name(const std::string& encoding) {
  const std::string e = LowerAscii(IconvName(encoding));
  return e.empty() || e == "utf-8" || e == "utf8";
}

void AppendQuotedCell(std::string& csv, std::string_view cell) {
  csv.push_back('"');
  for (const char c : cell) {
    csv.push_back(c);
    if (c == '"') csv.push_back('"');
  }
  csv.push_back('"');
}

std::string IconvName(const std::string& encoding) {
  // "utf-8-sig" (Python's name) and "UTF-8-BOM" (an editor's) are UTF-8
  // with a mark, which is skipped anyway.
  std::string e = LowerAscii(encoding);
  std::string bare = e;
  std::erase_if(bare, [](char c) { return c == '-' || c == '_' || c == ' '; });
  if (bare == "utf8sig" || bare == "utf8bom" || bare == "utf8withbom") return "utf-8";
  if (e.empty() || IconvKnows(encoding)) return encoding;
  std::replace(e.begin(), e.end(), '_', '-');
  if (e == "mac-roman" || e == "macroman" || e == "x-mac-roman") return "macintosh";
  if (IconvKnows(e)) return e;
  // "8859-1", the standard's number without its body's name.
  if (e.starts_with("8859") && IconvKnows("iso-" + e)) return "iso-" + e;
  e.erase(std::remove(e.begin(), e.end(), '-'), e.end());
  if (IconvKnows(e)) return e;
  // "windows1252": iconv wants a dash between the name and its number.
  const auto digit = std::find_if(e.begin(), e.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (digit != e.begin() && digit != e.end()) {
    std::string dashed = std::string(e.begin(), digit) + "-" + std::string(digit, e.end());
    if (IconvKnows(dashed)) return dashed;
  }
  return encoding;
}

std::string UnknownEncodingHint(const std::string& encoding) {
  if (LowerAscii(encoding) != "ansi") return "";
  // Notepad and Excel call the machine's code page "ANSI": which one it is
  // depends on the machine's region.
  return "; \"ANSI\" is what Windows calls the code page of the machine that saved the file: cp1252 in Western "
         "Europe and the Americas, cp1250 in Central Europe, cp1251 for Cyrillic, cp932 in Japan";
}

CsvInput::~CsvInput() {
  if (fSpoolFd >= 0) ::close(fSpoolFd);
}

bool IsCompressedName(const std::string& path) {
  const std::string lower = LowerAscii(path);
  return EndsWith(lower, ".gz") || EndsWith(lower, ".zst");
}

Packing PackingOf(std::string_view head) {
  auto starts = [&](std::string_view m) { return head.substr(0, m.size()) == m; };
  if (starts("\x1F\x8B")) return Packing::Gzip;
  // A zstd file may begin with a skippable frame (magic 0x184D2A50-5F), as
  // pzstd writes its files; the decoder passes over such frames.
  if (starts("\x28\xB5\x2F\xFD") ||
      (head.size() >= 4 && (head[0] & 0xF0) == 0x50 && head.substr(1, 3) == "\x2A\x4D\x18")) {
    return Packing::Zstd;
  }
  if (starts(std::string_view("\xFD"
                              "7zXZ\0",
                              6))) {
    return Packing::Xz;
  }
  if (starts("BZh") && head.size() >= 10 && head[3] >= '1' && head[3] <= '9' &&
      head.substr(4, 6) == "\x31\x41\x59\x26\x53\x59") {
    return Packing::Bzip2;
  }
  if (starts("PK\x03\x04") || starts("PK\x05\x06")) return Packing::Zip;
  if (starts("7z\xBC\xAF\x27\x1C")) return Packing::SevenZip;
  if (starts("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1")) return Packing::OfficeDocument;
  return Packing::None;
}

namespace {

// Files that are plainly no CSV text by their first bytes: other compressors
// and archives, and spreadsheet workbooks. Read as text they would give a
// message about NUL bytes or ragged rows; this says what the file is.
// Text that is plainly no CSV: a web page or an XML file saved under a CSV
// name (a download that gave a sign-in or error page instead of the data),
// or JSON (a descriptor piped in as standard input). Read as CSV it would
// fail on some later line, or pass as a column or two of its text.
std::string TextKindAdvice(std::string_view head, bool named) {
  const auto skipBlanks = [](std::string_view& text) {
    while (!text.empty() &&
           (text.front() == ' ' || text.front() == '\t' || text.front() == '\r' || text.front() == '\n')) {
      text.remove_prefix(1);
    }
  };
  if (head.substr(0, 3) == "\xEF\xBB\xBF") head.remove_prefix(3);
  skipBlanks(head);
  const std::string start = LowerAscii(head.substr(0, 14));
  if (start.starts_with("<!doctype html") || start.starts_with("<html")) {
    return "is a web page (HTML), not CSV data: a download that gave a sign-in or error page instead of the file? "
           "Download the CSV file again";
  }
  if (start.starts_with("<?xml")) return "is XML, not CSV data; export the data as CSV";
  if (!head.empty() && (head.front() == '{' || head.front() == '[')) {
    std::string_view rest = head.substr(1);
    skipBlanks(rest);
    if (!rest.empty() && (rest.front() == '"' || rest.front() == '{' || rest.front() == '}' || rest.front() == '[')) {
      // A resource's file that is JSON was named by a descriptor: most often
      // the descriptor itself under another name (a copy or a hard link).
      return named ? "is JSON, not CSV data; a data package descriptor is named as a file (its resource paths are "
                     "read from its folder), not given as standard input or under a CSV name"
                   : "is JSON, not CSV data; a resource's path names the CSV file that holds its cases";
    }
  }
  return {};
}

std::string NotCsvAdvice(Packing packing) {
  switch (packing) {
    case Packing::Xz:
      return "is compressed with xz, which this program does not read; decompress it (xz -d) or compress it with "
             "gzip or zstd";
    case Packing::Bzip2:
      return "is compressed with bzip2, which this program does not read; decompress it (bunzip2) or compress it "
             "with gzip or zstd";
    case Packing::Zip:
      return "is a zip archive (an .xlsx or .ods workbook is one too), which this program does not read; take the "
             "CSV file out of it, or save the sheet as CSV";
    case Packing::OfficeDocument:
      return "is an old Excel workbook (.xls) or another Office document, which this program does not read; save "
             "the sheet as CSV";
    case Packing::SevenZip:
      return "is a 7-Zip archive, which this program does not read; take the CSV file out of it";
    default:
      return {};
  }
}

// Tables in the binary formats that data portals and analysis tools also
// publish, and documents downloaded in a data file's place: read as text
// they would give a message about the encoding or NUL bytes.
std::string BinaryKindAdvice(std::string_view head) {
  const auto starts = [&](std::string_view magic) { return head.substr(0, magic.size()) == magic; };
  // "PAR1" may also begin a header ("PAR1,PAR2"): a Parquet file goes on
  // with binary bytes.
  const auto binaryAt = [&](std::size_t at) {
    const unsigned char c = at < head.size() ? static_cast<unsigned char>(head[at]) : 'x';
    return (c < 0x20 && c != '\t' && c != '\r' && c != '\n') || c >= 0x7F;
  };
  if (starts("PAR1") && binaryAt(4)) {
    return "is a Parquet file, which this program does not read; save the table as CSV";
  }
  if (starts(std::string_view("ARROW1\0", 7)))
    return "is an Arrow (Feather) file, which this program does not read; save the table as CSV";
  if (starts("\x89HDF\r\n\x1A\n")) return "is an HDF5 file, which this program does not read; save the table as CSV";
  if (starts(std::string_view("SQLite format 3\0", 16))) {
    return "is an SQLite database, which this program does not read; export a table of it as CSV (sqlite3 -header "
           "-csv FILE 'select * from TABLE' > data.csv)";
  }
  if (starts("%PDF-")) {
    return "is a PDF document, not CSV data: a download that gave a report instead of the data? Download the CSV "
           "file";
  }
  return {};
}

// A file whose first bytes are all zero was never written: room set aside
// for a download or a copy that did not finish, or a disk image's hole. Read
// as text it would be a header of NUL bytes (taken for UTF-16) or one cell
// running on for the whole file.
constexpr std::size_t kZeroLook = 4096;

void RefuseZeroStart(std::string_view head, const std::string& displayName) {
  if (head.empty() || head.find_first_not_of('\0') != std::string_view::npos) return;
  throw InputError(displayName +
                   ": the file begins with nothing but zero bytes (NUL), not text: it was never written, as a "
                   "download or copy that did not finish leaves the room set aside for it; get the file again");
}

}  // namespace

std::shared_ptr<CsvInput> PrepareCsvInput(const InputRequest& request) {
  if (request.text) {
    const int spool = OpenSpool(request.displayName);
    auto input = std::make_shared<CsvInput>("/proc/self/fd/" + std::to_string(spool), spool);
    WriteAll(spool, request.text->data(), request.text->size(), request.displayName);
    return input;
  }
  const bool fromStdin = request.path == "-";
  int fd = STDIN_FILENO;
  if (fromStdin && ::isatty(STDIN_FILENO) != 0) {
    throw InputError(
        "standard input is a terminal; pipe or redirect a CSV file into the program (codebook - < "
        "data.csv), or name the file");
  }
  if (!fromStdin) {
    fd = ::open(request.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && SpecialFileKind(request.path) == "a socket") {
      throw InputError(request.displayName +
                       ": is a socket (a program's connection point), not a file of data; save the data to a file "
                       "and name that");
    }
    if (fd < 0) {
      throw InputError(request.displayName + ": cannot open the file (" + std::strerror(errno) + "); check the path" +
                       (request.named ? "" : " (a data package's resource path is relative to the descriptor)"));
    }
  }
  struct stat st {};
  const bool stated = ::fstat(fd, &st) == 0;
  if (!fromStdin && stated && S_ISDIR(st.st_mode)) {
    ::close(fd);
    throw InputError(request.displayName + ": is a folder, not a CSV file");
  }
  const bool regular = stated && S_ISREG(st.st_mode);
  // Data that are not a regular file are copied once before they are read;
  // a device such as /dev/zero or /dev/urandom would be copied until the
  // disk is full. A pipe ends when its writer does.
  if (stated && S_ISCHR(st.st_mode) && ::isatty(fd) == 0) {
    if (!fromStdin) ::close(fd);
    throw InputError((fromStdin ? std::string("standard input") : request.displayName) +
                     ": is a device (such as /dev/zero or /dev/urandom), not a file of data, and may never end; save "
                     "the data to a file and name that");
  }
  auto source = std::make_unique<PeekSource>(std::make_unique<FdSource>(fd, !fromStdin, request.displayName));

  // (Peeked before head is taken: a longer peek moves the bytes it views.)
  RefuseZeroStart(source->Peek(kZeroLook), request.displayName);
  // Compression is told by the first bytes, whatever the name says.
  const std::string_view head = source->Peek(64);
  const std::string_view magic = head.substr(0, 10);
  const Packing packing = PackingOf(magic);
  if (std::string advice = NotCsvAdvice(packing);
      !advice.empty() || !(advice = TextKindAdvice(head, request.named || fromStdin)).empty() ||
      !(advice = BinaryKindAdvice(head)).empty()) {
    throw InputError(request.displayName + ": the file " + advice);
  }
  // ReadStat reads a Stata or SAS file by seeking in it, so such a file
  // piped in cannot be read; its zero bytes would otherwise be taken for
  // UTF-16 text.
  if (const ForeignKind kind = fromStdin ? SniffForeign(head) : ForeignKind::None; kind != ForeignKind::None) {
    throw InputError(request.displayName + ": the data is " + ForeignKindText(kind) +
                     ", which is read from a file, not from standard input: save it to a file and name that");
  }
  const bool gzip = packing == Packing::Gzip;
  const bool zstd = packing == Packing::Zstd;
  if (!fromStdin && regular && !gzip && !zstd && IsUtf8Name(request.encoding) && !request.dialect.Needed()) {
    // The common case: a plain file read as it is (unless it starts with a
    // UTF-16 or UTF-32 byte order mark, which only a conversion reads, or ends with
    // the end-of-file mark of DOS tools, which the copy leaves out).
    const bool utf16 = MarkedUnicode(magic) != nullptr;
    const char last = LastByte(fd);
    // UTF-16 text without its mark has zero bytes in its first line: the
    // reader says what it probably is.
    const std::size_t zero = head.find('\0');
    const bool wide = zero != std::string_view::npos && zero < head.find('\n');
    if (!utf16 && !wide && last == '\0') {
      // Text that ends in zero bytes was not written to its end (a crash or
      // a full disk while it was saved, the rest of its room left zero):
      // read on, the zeros would be one more case, or a value of blanks.
      throw InputError(request.displayName +
                       ": the file ends with zero bytes (NUL) instead of text, as a file does that was not written "
                       "to its end (a crash or a full disk while it was saved); check its last cases, then remove "
                       "the zero bytes (tr -d '\\000')");
    }
    if (!utf16 && last != kEofMark) return std::make_shared<CsvInput>(request.path, -1);
  }

  std::unique_ptr<PeekSource> decoded;
  if (gzip) {
    decoded = std::make_unique<PeekSource>(std::make_unique<GzipSource>(std::move(source), request.displayName));
  } else if (zstd) {
    decoded = std::make_unique<PeekSource>(std::make_unique<ZstdSource>(std::move(source), request.displayName));
  } else {
    decoded = std::move(source);
  }
  if (gzip || zstd) RefuseZeroStart(decoded->Peek(kZeroLook), request.displayName);
  std::unique_ptr<ByteSource> text;
  std::string encoding = IsUtf8Name(request.encoding) ? std::string() : IconvName(request.encoding);
  if (encoding.empty()) {
    if (const char* marked = MarkedUnicode(decoded->Peek(4))) encoding = marked;
  }
  std::vector<std::string> warnings;
  if (!encoding.empty() && !UnicodeName(encoding)) {
    // A byte order mark says what the text is; read in the encoding named
    // instead, the mark and every character after the first 127 would come
    // out as other characters.
    const char* marked = MarkedUnicode(decoded->Peek(4));  // before the view below: a peek may move the bytes
    const std::string_view mark = decoded->Peek(3);
    const char* kind = mark == "\xEF\xBB\xBF" ? "UTF-8" : marked;
    if (kind != nullptr && mark == "\xEF\xBB\xBF") {
      // Unless the text after the mark is no UTF-8, as when a header saved
      // with the mark was joined to rows in a code page: then nothing but
      // the named encoding reads it, and the mark is no part of the data.
      constexpr std::size_t kLook = 64 * 1024;
      const std::string_view look = decoded->Peek(kLook).substr(3);
      const std::size_t whole = look.size() + 3 < kLook ? look.size() : look.find_last_of('\n');
      std::size_t bad = 0;
      if (whole != std::string_view::npos && !ValidUtf8(look.substr(0, whole), bad)) {
        const auto line = 1 + std::count(look.begin(), look.begin() + static_cast<std::ptrdiff_t>(bad), '\n');
        warnings.push_back(
            request.displayName + ": the file begins with a UTF-8 byte order mark, but its text is not UTF-8 (line " +
            std::to_string(line) + "); the mark is passed over and the text read as " + request.encoding);
        char skipped[3];
        decoded->Read(skipped, sizeof skipped);
        kind = nullptr;
      }
    }
    if (kind != nullptr) {
      throw InputError(request.displayName + ": the file begins with a " + kind + " byte order mark, so its text is " +
                       kind + ", not " + request.encoding +
                       "; leave out --encoding (or the resource's \"encoding\"): the mark is enough");
    }
  }
  if (WideUnicodeName(encoding) && MarkedUnicode(decoded->Peek(4)) == nullptr) {
    // UTF-16 or UTF-32 text of CSV data has zero bytes in its first line,
    // in the delimiters and line breaks if nowhere else. UTF-8 text read as
    // UTF-16 gives a header of Chinese-looking characters and no case.
    const std::string_view head = decoded->Peek(4096);
    std::size_t bad = 0;
    if (!head.empty() && head.find('\0') == std::string_view::npos && head.find('\n') != std::string_view::npos &&
        ValidUtf8(head.substr(0, head.find_last_of('\n')), bad)) {
      throw InputError(request.displayName + ": the file is not " + request.encoding +
                       " text but UTF-8 (it has none of the zero bytes that text in " + request.encoding +
                       " has around its commas and line breaks); leave out --encoding (or the resource's "
                       "\"encoding\")");
    }
  }
  Utf8Sample utf8;
  if (!encoding.empty() && !UnicodeName(encoding)) {
    constexpr std::size_t kLook = 64 * 1024;
    const std::string_view look = decoded->Peek(kLook);
    utf8 = Utf8UnderOtherEncoding(look, look.size() < kLook, encoding);
    if (!utf8.word.empty() && !utf8.read.empty()) {
      warnings.push_back(request.displayName + ", line " + std::to_string(utf8.line) + ": the text is UTF-8 (\"" +
                         utf8.word + "\"), but it is read as " + request.encoding + ", which makes \"" + utf8.read +
                         "\" of it; leave out --encoding (or the resource's \"encoding\") unless the file is truly " +
                         request.encoding);
    }
  }
  IconvSource* converter = nullptr;
  if (!encoding.empty()) {
    auto iconvSource = std::make_unique<IconvSource>(std::move(decoded), request.displayName, encoding,
                                                     ControlsAt80(encoding) && utf8.word.empty());
    if (IsUtf8Name(request.encoding)) iconvSource->SetByMark();
    converter = iconvSource.get();
    text = std::move(iconvSource);
  } else {
    text = std::move(decoded);
  }
  text = std::make_unique<EofMarkSource>(std::move(text));
  if (request.dialect.Needed()) text = std::make_unique<DialectSource>(std::move(text), request.dialect);

  const int spool = OpenSpool(request.displayName);
  auto input = std::make_shared<CsvInput>("/proc/self/fd/" + std::to_string(spool), spool);
  std::vector<char> buffer(kChunk);
  try {
    for (;;) {
      const std::size_t n = text->Read(buffer.data(), buffer.size());
      if (n == 0) break;
      WriteAll(spool, buffer.data(), n, request.displayName);
    }
  } catch (const InputError& e) {
    // Text the encoding cannot read, that is UTF-8: say so.
    if (converter == nullptr || utf8.word.empty()) throw;
    throw InputError(std::string(e.what()) + "; the file is UTF-8 text (\"" + utf8.word + "\" on line " +
                     std::to_string(utf8.line) + "), which needs no --encoding");
  }
  if (converter != nullptr && converter->ControlByte() != 0) {
    std::string warning =
        ControlUnderLatin1(converter->ControlByte(), converter->ControlLine(), request.displayName, request.encoding);
    if (!warning.empty()) warnings.push_back(std::move(warning));
  }
  input->warnings = std::move(warnings);
  return input;
}

bool ConvertibleEncoding(const std::string& encoding) {
  return IsUtf8Name(encoding) || IconvKnows(IconvName(encoding));
}

namespace {

// The sample of a file the sniffers look at: its first 64 KiB.
constexpr std::size_t kSample = std::size_t{64} << 10;

std::string ReadSample(const std::string& path, const std::string& displayName) {
  std::string head(kSample, '\0');
  std::size_t size = 0;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw InputError(displayName + ": cannot open the file (" + std::strerror(errno) + ")");
  FdSource source(fd, true, displayName);
  while (size < kSample) {
    const std::size_t n = source.Read(head.data() + size, kSample - size);
    if (n == 0) break;
    size += n;
  }
  head.resize(size);
  return head;
}

// Whether a file's name ends in .tsv, also under .gz or .zst, any case.
bool TsvName(std::string_view name) {
  std::string lower = LowerAscii(name);
  if (IsCompressedName(lower)) lower.erase(lower.rfind('.'));
  return EndsWith(lower, ".tsv");
}

// Where a quoted cell whose text starts at `from` closes, as RFC 4180 reads
// it ("" inside is one quote); the text's size when the sample ends first.
std::size_t ClosingQuote(std::string_view text, std::size_t from) {
  std::size_t k = from;
  for (; k < text.size(); ++k) {
    if (text[k] != '"') continue;
    if (k + 1 < text.size() && text[k + 1] == '"') {
      ++k;
      continue;
    }
    break;
  }
  return k;
}

}  // namespace

bool SniffSpacedQuotes(const std::string& path, const std::string& displayName, char delimiter) {
  const std::string head = ReadSample(path, displayName);
  const std::string_view text(head);
  const std::size_t n = text.size();
  // Spaces only: the dialect's skipInitialSpace skips no tabs.
  auto blank = [&](std::size_t i) { return i < n && text[i] == ' ' && text[i] != delimiter; };
  auto ends = [&](std::size_t i) { return i >= n || text[i] == delimiter || text[i] == '\n' || text[i] == '\r'; };
  std::size_t i = 0;  // where a cell starts
  while (i < n) {
    std::size_t j = i;
    while (blank(j)) ++j;
    if (j < n && text[j] == '"') {
      const std::size_t k = ClosingQuote(text, j + 1);
      if (k >= n) return false;  // the sample ends inside the cell
      std::size_t after = k + 1;
      while (blank(after)) ++after;
      // Blanks, a quoted text, blanks: a cell quoted after its blanks.
      if (j > i && ends(after)) return true;
      if (j == i) i = after;  // a quoted cell, passed over whole
    }
    while (!ends(i)) ++i;
    ++i;
  }
  return false;
}

bool SniffBackslashQuotes(const std::string& path, const std::string& displayName, char delimiter) {
  const std::string head = ReadSample(path, displayName);
  const std::string_view text(head);
  const std::size_t n = text.size();
  bool cellStart = true;
  for (std::size_t i = 0; i < n; ++i) {
    const char c = text[i];
    if (c == '"' && cellStart) {
      const std::size_t k = ClosingQuote(text, i + 1);
      if (k + 1 >= n) return false;  // the sample ends inside or right after it
      const char next = text[k + 1];
      // Its closing quote comes after a backslash and before more text:
      // the backslash quoted that quote.
      if (text[k - 1] == '\\' && k - 1 > i && next != delimiter && next != '\n' && next != '\r') return true;
      i = k;
      cellStart = false;
      continue;
    }
    cellStart = c == delimiter || c == '\n' || c == '\r';
  }
  return false;
}

char SniffDelimiter(const std::string& path, const std::string& displayName) {
  constexpr std::size_t kMaxRecords = 50;
  const std::string head = ReadSample(path, displayName);
  const bool whole = head.size() < kSample;
  std::string_view text(head);
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  std::size_t sepBytes = 0;
  if (const char named = SeparatorLine(text, sepBytes); named != 0) return named;

  const std::array<char, 4> candidates = {',', ';', '\t', '|'};
  char best = ',';
  double bestShare = 0.0;
  std::size_t bestCells = 1;
  // A file named .tsv has tabs between its cells whenever tabs split its rows
  // as evenly as the best other candidate: a statistics office's TSV puts
  // commas between the parts of its first column (`unit,geo\time`), which
  // would otherwise win when those parts outnumber the columns of figures.
  const bool tsvName = TsvName(displayName);
  double tabShare = -1.0;
  // Commas in text ("Doe, John") are followed by a blank; a delimiter seldom
  // is. On a tie, a candidate that is not always so beats one that is: a
  // two-column file of semicolons whose header and every row hold one such
  // comma splits as evenly by both.
  bool bestProse = false;
  for (char delimiter : candidates) {
    std::vector<std::size_t> counts;
    std::size_t cells = 1, seen = 0, blankAfter = 0;
    bool inQuote = false, content = false;
    for (std::size_t i = 0; i < text.size() && counts.size() < kMaxRecords; ++i) {
      const char c = text[i];
      if (c == '"') {
        inQuote = !inQuote;
        content = true;
      } else if (inQuote) {
        continue;
      } else if (c == delimiter) {
        ++cells;
        content = true;
        ++seen;
        if (i + 1 < text.size() && text[i + 1] == ' ') ++blankAfter;
      } else if (c == '\n' || c == '\r') {
        if (content) counts.push_back(cells);
        cells = 1;
        content = false;
      } else if (c != ' ' && c != '\t') {
        content = true;  // a line of blanks is a blank line
      }
    }
    if (content && whole && !inQuote) counts.push_back(cells);  // a last line without a line break
    // A header longer than the sample (thousands of question texts): the
    // cells it has shown so far decide, rather than one column.
    if (counts.empty() && content && !whole) counts.push_back(cells);
    if (counts.empty()) continue;
    // The most frequent cell count and the share of rows that have it.
    std::vector<std::size_t> sorted = counts;
    std::sort(sorted.begin(), sorted.end());
    std::size_t mode = sorted[0], modeRun = 0;
    for (std::size_t i = 0; i < sorted.size();) {
      std::size_t j = i;
      while (j < sorted.size() && sorted[j] == sorted[i]) ++j;
      if (j - i > modeRun || (j - i == modeRun && sorted[i] > mode)) {
        mode = sorted[i];
        modeRun = j - i;
      }
      i = j;
    }
    if (mode < 2) continue;
    const double share = static_cast<double>(modeRun) / static_cast<double>(counts.size());
    if (delimiter == '\t') tabShare = share;
    const bool prose = seen > 0 && blankAfter == seen;
    if (share > bestShare + 1e-9 ||
        (share > bestShare - 1e-9 && (mode > bestCells || (mode == bestCells && bestProse && !prose)))) {
      best = delimiter;
      bestShare = share;
      bestCells = mode;
      bestProse = prose;
    }
  }
  if (tsvName && tabShare > bestShare - 1e-9) return '\t';
  return best;
}

}  // namespace host

namespace host {
namespace {

// `bytes` converted from `encoding` to UTF-8; empty when iconv cannot.
std::string ConvertedOrNothing(std::string_view bytes, const char* encoding) {
  std::string out;
  if (ConvertToUtf8(bytes, encoding, out) != Utf8Conversion::kDone) out.clear();
  return out;
}

bool High(unsigned char b) { return b >= 0x80; }

// Whether a byte alone is a letter in Windows-1252 (À to ÿ but × and ÷; Š Œ
// Ž š œ ž Ÿ), as the accented letters of Western European words are.
bool Cp1252Letter(unsigned char b) {
  if (b >= 0xC0) return b != 0xD7 && b != 0xF7;
  return b == 0x8A || b == 0x8C || b == 0x8E || b == 0x9A || b == 0x9C || b == 0x9E || b == 0x9F;
}

// The length of the double-byte encoding's character that begins at `at`.
std::size_t CharLength(std::string_view text, std::size_t at, bool shiftJis) {
  const auto b = static_cast<unsigned char>(text[at]);
  if (!High(b)) return 1;
  if (shiftJis) return (b >= 0xA1 && b <= 0xDF) ? 1 : 2;                             // half-width katakana are one byte
  if (at + 1 < text.size() && text[at + 1] >= '0' && text[at + 1] <= '9') return 4;  // GB18030's four-byte form
  return 2;
}

struct EncodingGuess {
  std::string shown;       // the bytes at fault and what they read as
  std::string suggestion;  // the --encoding advice
};

// Which encoding a text that is not UTF-8 is most likely in, judged by the
// text itself. Western European text (Windows-1252, Latin-1, MacRoman) has
// single bytes above 0x7F among ASCII letters, mostly accented letters;
// Japanese (Shift-JIS, as Windows writes it: cp932) and Chinese (GB18030)
// text has runs of such bytes, two to a character. Either way the message
// shows the bytes and what they read as, so that the user can tell.
EncodingGuess GuessEncoding(std::string_view text, std::size_t bad) {
  std::size_t letters = 0;
  std::size_t runs = 0;
  for (std::size_t i = 0; i < text.size();) {
    if (!High(static_cast<unsigned char>(text[i]))) {
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < text.size() && High(static_cast<unsigned char>(text[end]))) ++end;
    const auto letterAt = [&](std::size_t k) { return Cp1252Letter(static_cast<unsigned char>(text[k])); };
    const auto asciiLetterAt = [&](std::size_t k) {
      return k < text.size() && std::isalpha(static_cast<unsigned char>(text[k])) != 0;
    };
    // Two accented letters side by side inside a word ("Größe", "informação")
    // are Western text, not one double-byte character.
    const bool latinPair =
        end - i == 2 && letterAt(i) && letterAt(i + 1) && ((i > 0 && asciiLetterAt(i - 1)) || asciiLetterAt(end));
    if (latinPair) {
      letters += 2;
    } else if (end - i >= 2) {
      ++runs;
    } else if (letterAt(i)) {
      ++letters;
    }
    i = end;
  }
  // A lone byte above 0x7F before ASCII may begin a double-byte character
  // too (0x92 0x74 is a kanji in cp932, "’t" in cp1252): without a run
  // of such bytes the text is taken as single-byte.
  if (runs > 0 && runs >= letters) {
    for (const bool shiftJis : {true, false}) {
      const char* name = shiftJis ? "CP932" : "GB18030";
      if (ConvertedOrNothing(text, name).empty()) continue;
      std::size_t at = 0;  // the character that holds the byte at fault
      while (at + CharLength(text, at, shiftJis) <= bad) at += CharLength(text, at, shiftJis);
      const std::string_view one = text.substr(at, CharLength(text, at, shiftJis));
      const std::string reading = ConvertedOrNothing(one, name);
      // A code of the encodings' user-defined area reads as an invisible
      // private-use character: no reading to offer.
      const bool privateUse =
          reading.size() >= 2 &&
          (static_cast<unsigned char>(reading[0]) == 0xEE ||
           (static_cast<unsigned char>(reading[0]) == 0xEF && static_cast<unsigned char>(reading[1]) <= 0xA3));
      if (reading.empty() || one.size() < 2 || privateUse) continue;
      const std::string encoding = shiftJis ? "cp932" : "gb18030";
      return {HexBytes(one) + ", which is \"" + reading + "\" in " + encoding,
              "such as --encoding " + encoding + (shiftJis ? ", Shift-JIS as Windows writes it" : "")};
    }
  }
  const std::string_view one = text.substr(bad, 1);
  const std::string windows = ConvertedOrNothing(one, "CP1252");
  const auto b = static_cast<unsigned char>(one[0]);
  if (b < 0xA0) {
    // Where Windows-1252 has punctuation (or nothing), MacRoman and the
    // code page of DOS, in which Excel saves "CSV (MS-DOS)", have their
    // accented letters: "caf\x82" is "café" in cp850.
    return {HexBytes(one) + ", which is " + (windows.empty() ? "no character" : "\"" + windows + "\"") +
                " in cp1252, \"" + ConvertedOrNothing(one, "MACINTOSH") + "\" in mac_roman and \"" +
                ConvertedOrNothing(one, "CP850") + "\" in cp850",
            std::string("such as --encoding ") + (windows.empty() ? "" : "cp1252, or ") +
                "mac_roman for a file from an old Mac, or cp850 for one saved as \"CSV (MS-DOS)\""};
  }
  if (windows.empty()) return {HexBytes(one), "such as --encoding latin1 or cp1252"};
  std::string shown = HexBytes(one) + ", which is \"" + windows + "\" in cp1252";
  std::string suggestion = "such as --encoding cp1252";
  if (b == 0xA4) {
    shown += " and \"" + ConvertedOrNothing(one, "ISO-8859-15") + "\" in iso-8859-15";
    suggestion += ", or iso-8859-15";
  }
  return {shown, suggestion};
}

}  // namespace

std::string NotUtf8Text(std::string_view text, std::size_t bad) {
  const EncodingGuess guess = GuessEncoding(text, bad);
  return "the cell is not valid UTF-8 (at byte " + std::to_string(bad + 1) + " of the cell: " + guess.shown +
         "). Name the file's encoding with --encoding (" + guess.suggestion + "), or save it as UTF-8";
}

std::string NotUtf8HeaderText(std::string_view text, std::size_t bad) {
  const EncodingGuess guess = GuessEncoding(text, bad);
  return "the header is not valid UTF-8 (at byte " + std::to_string(bad + 1) + ": " + guess.shown +
         "). Name the file's encoding with --encoding (" + guess.suggestion + "), or save it as UTF-8";
}

}  // namespace host
