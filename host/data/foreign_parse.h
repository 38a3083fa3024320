// Running ReadStat over a Stata or SAS file: the parser with buffered reads,
// what every parse keeps for its messages, and the callbacks that count cases.
// Shared by the dictionary reader and the case source.
#pragma once

#include <readstat.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/data/foreign.h"
#include "host/data/foreign_strl.h"

namespace host::foreign {

// What every parse keeps: ReadStat's own words about a failure, and the
// case it had reached.
struct ParseContext {
  std::string detail;
  std::int64_t caseIndex = -1;  // 0-based index of the last case seen
  bool inCases = false;         // the dictionary was read: failures are in the cases
  std::string encoding;         // the encoding the parse was given (Run sets it), if any
  bool whole = false;           // the file is whole; ReadStat cannot read what it holds
  bool placeUnknown = false;    // cases are missing, but where among them is not known
  bool sizeDamaged = false;     // a size ReadStat could not allocate is one the file cannot hold
};

inline ParseContext& Context(void* ctx) { return *static_cast<ParseContext*>(ctx); }

// ReadStat reads a case per system call on its own: the parser reads through
// the C library's streams with a large buffer instead.
// A read that gets some of the bytes asked for, but not all, means a Stata
// file ends inside a record: ReadStat takes it for the end of the value
// labels, so it is noted here. So does a last read that gets nothing where
// more than a value-label table's length (2 or 4 bytes) was asked for: the
// file ends after a table's length or its name, and ReadStat stops there.
// What ReadStat is shown of a file: a transport file of several members as
// if it ended where the second begins (ReadStat would read its headers as
// cases); a transport file whose headers are rewritten (below); a Stata 119
// file with its strL references rewritten.
struct FileView {
  std::int64_t end = -1;  // -1: the file's own end (an offset in the file, not in the view)
  std::shared_ptr<const StrlRewrite> strls;
  // The file's first headEnd bytes are shown as head, the rest follows it.
  std::shared_ptr<const std::string> head;
  std::int64_t headEnd = 0;
  // The file's bytes from tailAt (an offset in the file) on are shown as
  // tail: a Stata file of release 108 has its value-label tables shown with
  // their names widened as ReadStat reads them (ShowOldStataTables).
  std::shared_ptr<const std::string> tail;
  std::int64_t tailAt = 0;
  // A Stata file of release 117 on with strL values: its binary strL
  // records (type 129), which ReadStat refuses, are shown as text ones (130)
  // where the value ends with a NUL, as a text record's does.
  bool strlRecords = false;
  bool bigEndian = false;  // the byte order of such a file
  // A SAS data file without cases shown as one of a case (ShowSasRows):
  // ReadStat's complaint that the case is missing is the file's end.
  bool rowsRaised = false;

  std::int64_t HeadSize() const { return head ? static_cast<std::int64_t>(head->size()) : 0; }
  // Where a byte of the file (at or after headEnd) is in the view.
  std::int64_t Shift() const { return HeadSize() - (head ? headEnd : 0); }
  // Where the view ends, as an offset in the file (of `size` bytes).
  std::int64_t End(std::int64_t size) const {
    return tail ? tailAt + static_cast<std::int64_t>(tail->size()) : end >= 0 ? end : size;
  }
};

struct BufferedFile {
  static constexpr std::size_t kLengthField = 4;
  std::FILE* file = nullptr;
  std::vector<char> buffer = std::vector<char>(std::size_t{1} << 20);
  bool endedInsideRead = false;
  std::size_t askedAtEnd = 0;     // bytes the last read asked for, when it got none
  bool afterGso = false;          // the last read was a strL record's "GSO"
  bool unendedStrl = false;       // a text strL value without its closing NUL was met
  std::uint32_t strlPastEnd = 0;  // the length of a strL value that runs past the file's end
  // A strL value longer than ReadStat reads: its length, variable and case (1-based).
  std::uint32_t strlTooLong = 0;
  std::uint64_t longVariable = 0, longCase = 0;
  // A binary strL value that ReadStat cannot read: its variable and case (1-based).
  std::uint64_t binaryVariable = 0, binaryCase = 0;
  std::uint32_t textValue = 0;  // the length of the text strL value ReadStat reads next
  FileView view;
  std::int64_t position = 0;  // in the view; while within its head, the file stands at headEnd
  std::int64_t size = 0;      // of the file
};

class Parser {
 public:
  Parser();
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;
  ~Parser();

  readstat_parser_t* p;
  bool EndedInsideRead() const { return fIo.endedInsideRead || fIo.askedAtEnd > BufferedFile::kLengthField; }
  bool UnendedStrl() const { return fIo.unendedStrl; }
  std::uint32_t StrlPastEnd() const { return fIo.strlPastEnd; }
  std::uint32_t StrlTooLong() const { return fIo.strlTooLong; }
  std::pair<std::uint64_t, std::uint64_t> LongStrl() const { return {fIo.longVariable, fIo.longCase}; }
  std::pair<std::uint64_t, std::uint64_t> BinaryStrl() const { return {fIo.binaryVariable, fIo.binaryCase}; }
  const FileView& View() const { return fIo.view; }
  void SetView(FileView view) { fIo.view = std::move(view); }
  std::string encoding;  // given to ReadStat, if any

 private:
  BufferedFile fIo;
};

// Sets the error callback, the file's encoding when given, and the view of
// the file ReadStat gets.
void Prepare(Parser& parser, const std::string& encoding, FileView view = {});

// The members (datasets) of a SAS transport file, found by their header
// records in one read of the file, and facts about the one to read.
struct TransportMembers {
  std::vector<std::string> names;
  std::vector<std::int64_t> starts;  // where each member's header record is
  bool hasCases = true;              // records follow the chosen member's OBS header
  std::int64_t variables = -1;       // from the chosen member's NAMESTR header; -1 when it does not say
};
TransportMembers ScanTransport(const std::string& path, std::size_t chosen = 0);
// The file's library header: the first three records, before any member.
inline constexpr std::int64_t kTransportLibraryHeader = 3 * 80;
// A transport file's first member describes each variable in a NAMESTR
// record of 140 bytes, or of 136 as VAX/VMS wrote them; ReadStat reads 140
// whatever the header says. For another length, the view gets a head in
// which the records are 140 bytes long.
void WidenTransportNamestrs(const std::string& path, FileView& view);
// Line breaks, blanks, NULs and Ctrl-Z after a file's last byte are padding
// (text tools and old transfers add them), not a record cut short. The view
// of a transport file whose last whole 80-byte record is followed by such
// bytes ends where they begin.
void EndBeforeTransportPadding(const std::string& path, FileView& view);
// A Stata file of release 108 to 115: the view ends where padding after its
// last value-label table begins. Release 108 names a table in 9 bytes where
// later releases take 33, and ReadStat 1.1.8 reads 33 whatever the release,
// losing every table (and calling the file cut short): the view shows such a
// file's tables with their names widened to 33 bytes.
void ShowOldStataTables(const std::string& path, FileView& view);
// A SAS data file or catalog names its encoding in its header by a code, and
// ReadStat refuses a code it does not know even when the encoding is given.
// With an encoding given, the view shows the code as 0 (none named): the
// given encoding is used whatever the header says.
void HideSasEncoding(const std::string& path, FileView& view);
// ReadStat 1.1.8 refuses a SAS data file without cases whose column
// descriptions go on past its first page (a wide empty extract) as invalid;
// told of one case, it reads every page. The view shows such a count, and
// Run takes the missing case for the end of the file.
void ShowSasRows(const std::string& path, FileView& view);
// Parses the file. A file that ReadStat reads to its end without complaint but
// that is cut short (a Stata file that ends inside a record or, from release
// 117, lacks its closing tag; a transport file that is no whole number of
// records) is a read error too: ReadStat would drop the value labels or the
// last case of such a file without a word.
readstat_error_t Run(Parser& parser, ForeignKind kind, const std::string& path, ParseContext* ctx);

// "FILE, case N: cannot read this Stata data file (.dta): REASON (DETAIL)";
// failingCase 0 when the failure is not within a case.
std::string Failure(const std::string& display, ForeignKind kind, readstat_error_t error, const ParseContext& ctx,
                    std::int64_t failingCase);
// The case a parse failed in (1-based), or 0 when that is not known.
std::int64_t FailingCase(const ParseContext& ctx, std::int64_t rows);

// The pair of callbacks that counts cases by the first variable alone.
// (ReadStat's value callback needs a variable callback beside it.)
int OnCountVariable(int index, readstat_variable_t* variable, const char* labelSet, void* ctx);
int OnCountValue(int obs, readstat_variable_t* variable, readstat_value_t value, void* ctx);

}  // namespace host::foreign
