// The records of a partial state (docs/scale-out.md):
//
//   StateHead  plan digest, part number (from 0), number of parts, the part's
//              name, and the part's file as the pass found it
//   Block      one per block read, in file order: its number of cases, the
//              cases that start a split group, and per pass a section with
//              the state of every table that gathered the block
//   Tail       the part's number of cases, whether the pass stopped before
//              its end, and the split values of its first and last case
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/data/csv_source.h"

namespace host::wire {
class Writer;
class Reader;
}  // namespace host::wire

namespace host::shards {

// A part's file at one moment: its size and modification time in whole
// seconds (what shared storage shows every machine alike, and what a copy
// that keeps times keeps), to tell that it changed between two steps.
struct PartStamp {
  std::int64_t size = -1;  // -1: the file could not be seen
  std::int64_t modified = 0;

  bool Known() const { return size >= 0; }
  bool operator==(const PartStamp&) const = default;
};

// The stamp of the file at `path` now; on failure an unknown stamp, with
// errno set.
PartStamp StampOf(const std::string& path);
void SaveStamp(wire::Writer& out, const PartStamp& stamp);
PartStamp LoadStamp(wire::Reader& in);

struct StateHead {
  std::uint64_t planDigest = 0;
  std::uint64_t part = 0;
  std::uint64_t parts = 0;
  std::string displayName;
  PartStamp stamp;  // the part's file as its pass read it
};

struct StateTail {
  std::uint64_t cases = 0;      // in the part
  std::uint64_t casesRead = 0;  // in its blocks
  bool hasCases = false;
  SplitValues first;  // of the first case
  SplitValues last;   // of the last case read
};

void SaveHead(wire::Writer& out, const StateHead& head);
StateHead LoadHead(wire::Reader& in);
void SaveTail(wire::Writer& out, const StateTail& tail);
// Split values have `split` entries (the plan's split variables).
StateTail LoadTail(wire::Reader& in, std::size_t split);

}  // namespace host::shards
