// The dictionary of a dataset as bytes, for a plan: every fact the procedure
// or a pass reads (variables with their labels, formats, value labels,
// missing values and attributes; sets; file label, documents, attributes;
// weight and split variables; the file's name). A field added to the
// dictionary must be added here too, or a merged run would lose it.
#pragma once

struct MissingValues;

namespace host {
class Dataset;
namespace wire {
class Writer;
class Reader;
}  // namespace wire
}  // namespace host

namespace host::shards {

void SaveDictionary(const Dataset& dataset, wire::Writer& out);
void SaveMissing(wire::Writer& out, const MissingValues& missing);
MissingValues LoadMissing(wire::Reader& in);
// Into an empty dataset; throws wire::Damaged.
void LoadDictionary(wire::Reader& in, Dataset& dataset);

}  // namespace host::shards
