// CSV input as it comes: from standard input, compressed (gzip, zstd), in
// another character encoding, or in a dialect the record reader does not read
// itself. Such input is decoded once into an unnamed temporary file of plain
// UTF-8 RFC 4180 text, which every later pass (the dictionary scan, the data
// pass, the record count after an early stop) reads like any CSV file. The
// file has no name in any folder, so it disappears when the program ends,
// however it ends.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// What the record reader cannot read itself; the decoder rewrites it.
struct DialectRewrite {
  char delimiter = ',';
  char quote = '"';         // 0: no quoting
  bool doubleQuote = true;  // "" inside a quoted cell is one quote
  char escapeChar = 0;      // 0: none; else escapes the next character
  // A backslash before a quote inside a quoted cell makes it one quote, and
  // every other backslash is itself (R's write.table escapes quotes only).
  bool backslashQuote = false;
  bool skipInitialSpace = false;
  char commentChar = 0;  // 0: none; else a line starting with it is skipped
  // The dialect's text for "no value": when it is the escape character and
  // one more (\N, as database exports write it), a cell of just that is
  // kept as written rather than read as the escaped character.
  std::string nullSequence;

  bool Needed() const {
    return !doubleQuote || escapeChar != 0 || backslashQuote || skipInitialSpace || commentChar != 0;
  }
};

struct InputRequest {
  std::string path;         // "-": standard input
  std::string displayName;  // in messages
  std::string encoding;     // iconv name; empty: UTF-8 (a UTF-16 byte order mark is honoured)
  DialectRewrite dialect;   // rewritten when Needed()
  // The data themselves, as UTF-8 CSV (the rows a descriptor holds inline):
  // copied into the temporary file; path only names their descriptor.
  std::optional<std::string> text;
  bool named = false;  // named on the command line, not by a descriptor
};

// The file the record reader opens. Holds the temporary copy open, if any:
// keep it as long as anything reads the path.
class CsvInput {
 public:
  CsvInput(std::string path, int spoolFd) : fPath(std::move(path)), fSpoolFd(spoolFd) {}
  ~CsvInput();
  CsvInput(const CsvInput&) = delete;
  CsvInput& operator=(const CsvInput&) = delete;

  const std::string& Path() const { return fPath; }
  bool Spooled() const { return fSpoolFd >= 0; }

  // What the copy found that the reader cannot (text in another encoding
  // than the one named), for the caller's warnings.
  std::vector<std::string> warnings;

 private:
  std::string fPath;
  int fSpoolFd;
};

// Decodes the input when it needs it, else names the file itself. Throws
// InputError naming the file (and the line, for text that is not in the
// encoding).
std::shared_ptr<CsvInput> PrepareCsvInput(const InputRequest& request);

// True for names that end in .gz or .zst (any case).
bool IsCompressedName(const std::string& path);
// What a file's first bytes (ten are enough) say of it when it is packed:
// compressed (gzip, zstd, xz, bzip2), an archive (zip, 7-Zip; workbooks of
// today are zip archives) or an old Office document.
enum class Packing { None, Gzip, Zstd, Xz, Bzip2, Zip, SevenZip, OfficeDocument };
Packing PackingOf(std::string_view head);

// The delimiter of a CSV file, sniffed from its first rows among , ; tab and
// |: the one that splits the rows into the same number of cells (more than
// one), quotes respected. ',' when none does.
char SniffDelimiter(const std::string& path, const std::string& displayName);
// Whether a CSV file's first rows hold a cell quoted after blanks
// (`1, "Smith, John", 34`), as people and some programs write CSV: such a
// file is read with the blanks after each delimiter skipped.
bool SniffSpacedQuotes(const std::string& path, const std::string& displayName, char delimiter);
// Whether a CSV file's first rows quote a quote with a backslash inside a
// quoted cell (`"say \"hi\""`), as R's write.table writes texts by default:
// read as RFC 4180, the cell would end at that quote.
bool SniffBackslashQuotes(const std::string& path, const std::string& displayName, char delimiter);
// The name iconv knows for an encoding as Python and web pages may also
// spell it ("latin-1", "utf_16_le", "mac_roman", "utf-8-sig"); the name as
// given when iconv knows it, or when no spelling is known.
std::string IconvName(const std::string& encoding);
// Whether an iconv name is ISO-8859-1 or -15, which give bytes 0x80-0x9F to
// invisible control characters where Windows-1252 has letters and signs
// (the euro sign, curly quotes, dashes): files saved on Windows are often
// said to be Latin-1.
bool ControlsAt80(const std::string& encoding);
// What Windows-1252 has at byte 0x80-0x9F ("€" for 0x80); empty for the
// five bytes it leaves undefined.
std::string WindowsReadingOfControl(unsigned char byte);
// The bytes of a text shown for a message: "0xE9 0x73".
std::string HexBytes(std::string_view bytes);
// No encoding given, or a name of UTF-8 in any of its spellings.
bool IsUtf8Name(const std::string& encoding);

// Appends `cell` to CSV text as a quoted cell, its quotes doubled.
void AppendQuotedCell(std::string& csv, std::string_view cell);

// Whether text in ENCODING (an iconv name; empty or UTF-8: no conversion)
// can be read.
bool ConvertibleEncoding(const std::string& encoding);
// What to add to the message about an encoding name iconv does not know:
// for "ANSI", as Windows names its code page, which code pages it means.
std::string UnknownEncodingHint(const std::string& encoding);

}  // namespace host
