// Running ReadStat over a Stata or SAS file: the parser with buffered reads,
// what every parse keeps for its messages, and the callbacks that count cases.
// Shared by the dictionary reader and the case source.
#pragma once

#include <readstat.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "host/data/foreign.h"

namespace host::foreign {

// What every parse keeps: ReadStat's own words about a failure, and the
// case it had reached.
struct ParseContext {
  std::string detail;
  std::int64_t caseIndex = -1;  // 0-based index of the last case seen
  bool inCases = false;         // the dictionary was read: failures are in the cases
};

inline ParseContext& Context(void* ctx) { return *static_cast<ParseContext*>(ctx); }

// ReadStat reads a case per system call on its own: the parser reads through
// the C library's streams with a large buffer instead.
struct BufferedFile {
  std::FILE* file = nullptr;
  std::vector<char> buffer = std::vector<char>(std::size_t{1} << 20);
};

class Parser {
 public:
  Parser();
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;
  ~Parser();

  readstat_parser_t* p;

 private:
  BufferedFile fIo;
};

// Sets the error callback and, when given, the file's encoding.
void Prepare(Parser& parser, const std::string& encoding);
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
