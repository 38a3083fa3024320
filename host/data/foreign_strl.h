// Stata releases 117 to 119: where the rows lie, from the file's map.
//
// Release 119 keeps a strL value's reference (v, o) in a row as 3
// bytes of variable number and 5 of observation number, where release 118
// has 2 and 6. ReadStat reads both releases as 118 and finds none of the
// strings of a 119 file written that way (every value comes out empty). The
// parser's reads rewrite each reference as it arrives into the 118 layout
// that ReadStat looks up; a 119 file whose references are already in that
// layout (as ReadStat's own writer makes them) is left as it is.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace host::foreign {

// Where the rows of a Stata file of release 117 to 119 lie, from its map.
struct StataRows {
  int release = 0;
  bool bigEndian = false;
  std::int64_t dataStart = 0;  // the first row
  std::int64_t rowLength = 0;
  std::int64_t rows = 0;
  std::vector<std::int64_t> strlColumns;  // where each strL reference lies in a row
  bool strlPastShort = false;             // a strL variable numbered past 65,535
  std::int64_t strlsStart = 0;            // the first string record
};
std::optional<StataRows> ReadStataRows(const std::string& path);

// The number of variables and cases a Stata file's header gives (any
// release); nullopt when the header cannot be read.
struct StataCounts {
  std::uint64_t variables = 0;
  std::uint64_t cases = 0;
};
std::optional<StataCounts> ReadStataCounts(const std::string& path);

// ReadStat allocates a part it reads (a value-label table, a strL value, the
// variables' descriptions) in one piece of at most this size, and says only
// that memory could not be allocated for one larger, or for a size that damage
// made up.
constexpr std::int64_t kReadStatMostBytes = std::int64_t{1} << 24;

// What in a Stata file ReadStat could not allocate memory for: a header that
// gives more variables than the file holds, a value-label table whose length
// runs past the file's end (both damage: `damaged` is set) or a whole table
// larger than ReadStat reads. Empty when none of these is found.
std::string StataOversize(const std::string& path, bool& damaged);

// The case (1-based) a Stata file of release 117 to 119 is cut short in, by
// its size: ReadStat looks at the sections after the rows first and does not
// say. 0 when its rows are whole or the file is of another release.
std::int64_t StataCaseCutIn(const std::string& path);

struct StrlRewrite {
  bool bigEndian = false;
  std::int64_t dataStart = 0;  // the first row
  std::int64_t rowLength = 0;
  std::int64_t rows = 0;
  std::vector<std::int64_t> columns;  // where each strL reference lies in a row
  // Where the string records (GSO) of variables past 65,535 keep their (v, o):
  // their v does not fit the 118 layout, so both halves are rewritten alike.
  std::vector<std::int64_t> wideRecords;
};

// The rewrite a Stata file needs; null for every file but a release 119 one
// with strL references in the 3 + 5 layout.
std::shared_ptr<const StrlRewrite> PlanStrlRewrite(const std::string& path);

// Rewrites the bytes [position, position + size) just read from file (whose
// descriptor is fd) where they hold references or string records.
void ApplyStrlRewrite(const StrlRewrite& rewrite, int fd, std::int64_t position, char* bytes, std::size_t size);

// One reference (v in the low 24 bits, o above) in the 118 layout (v in the
// low 16 bits, o above), v's high bits moved to the top of o; and the same
// move for a string record's separate v and o.
std::uint64_t ReferenceAs118(std::uint64_t reference);
void RecordAs118(std::uint32_t& v, std::uint64_t& o);

}  // namespace host::foreign
