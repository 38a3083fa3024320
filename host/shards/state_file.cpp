#include "host/shards/state_file.h"

#include <sys/stat.h>

#include "host/shards/wire.h"

namespace host::shards {

namespace {

void SaveSplit(wire::Writer& out, const SplitValues& v) {
  out.F64s(v.numbers);
  out.Strings(v.strings);
}

SplitValues LoadSplit(wire::Reader& in, std::size_t split) {
  SplitValues v;
  v.numbers = in.F64s();
  v.strings = in.Strings();
  if (v.numbers.size() != split || v.strings.size() != split) throw wire::Damaged("split values do not fit the plan");
  return v;
}

}  // namespace

PartStamp StampOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  return {static_cast<std::int64_t>(st.st_size), static_cast<std::int64_t>(st.st_mtim.tv_sec)};
}

void SaveStamp(wire::Writer& out, const PartStamp& stamp) {
  out.I64(stamp.size);
  out.I64(stamp.modified);
}

PartStamp LoadStamp(wire::Reader& in) {
  PartStamp stamp;
  stamp.size = in.I64();
  stamp.modified = in.I64();
  return stamp;
}

void SaveHead(wire::Writer& out, const StateHead& head) {
  out.U64(head.planDigest);
  out.U64(head.part);
  out.U64(head.parts);
  out.Bytes(head.displayName);
  SaveStamp(out, head.stamp);
}

StateHead LoadHead(wire::Reader& in) {
  StateHead head;
  head.planDigest = in.U64();
  head.part = in.U64();
  head.parts = in.U64();
  head.displayName = in.String();
  head.stamp = LoadStamp(in);
  if (head.part >= head.parts) throw wire::Damaged("the part number is out of range");
  return head;
}

void SaveTail(wire::Writer& out, const StateTail& tail) {
  out.U64(tail.cases);
  out.U64(tail.casesRead);
  out.Bool(tail.hasCases);
  SaveSplit(out, tail.first);
  SaveSplit(out, tail.last);
}

StateTail LoadTail(wire::Reader& in, std::size_t split) {
  StateTail tail;
  tail.cases = in.U64();
  tail.casesRead = in.U64();
  tail.hasCases = in.Bool();
  tail.first = LoadSplit(in, split);
  tail.last = LoadSplit(in, split);
  if (tail.casesRead > tail.cases || tail.hasCases != (tail.cases > 0)) throw wire::Damaged("the case counts disagree");
  return tail;
}

}  // namespace host::shards
