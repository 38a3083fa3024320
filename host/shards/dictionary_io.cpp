#include "host/shards/dictionary_io.h"

#include <filesystem>

#include "host/data/dataset.h"
#include "host/shards/wire.h"

namespace host::shards {

namespace {

using wire::Damaged;

void SaveFormat(wire::Writer& out, const QUVO_Format& f) {
  out.U32(f.width);
  out.U8(f.type);
  out.U8(f.decimals);
}

QUVO_Format LoadFormat(wire::Reader& in) {
  QUVO_Format f;
  const std::uint32_t width = in.U32();
  if (width > 0xFFFF) throw Damaged("a format is too wide");
  f.width = static_cast<std::uint16_t>(width);
  f.type = in.U8();
  f.decimals = in.U8();
  return f;
}

void SaveAttributes(wire::Writer& out, const DatasourceAttributes& a) {
  out.Count(static_cast<std::size_t>(a.Size()));
  for (int i = 0; i < a.Size(); ++i) {
    out.Bytes(a.Name(i));
    out.Strings(a.Values(i));
  }
}

DatasourceAttributes LoadAttributes(wire::Reader& in) {
  DatasourceAttributes a;
  const std::size_t n = in.Count(16);
  for (std::size_t i = 0; i < n; ++i) {
    std::string name = in.String();
    a.Add(std::move(name), in.Strings());
  }
  return a;
}

void SaveOptional(wire::Writer& out, const std::optional<std::string>& text) {
  out.Bool(text.has_value());
  if (text) out.Bytes(*text);
}

std::optional<std::string> LoadOptional(wire::Reader& in) {
  if (!in.Bool()) return std::nullopt;
  return in.String();
}

void SaveVariable(wire::Writer& out, const QUVO_Variable& v) {
  out.Bytes(v.name);
  SaveOptional(out, v.label);
  out.I64(v.width);
  out.I64(v.measure);
  out.I64(v.role);
  SaveFormat(out, v.printFormat);
  SaveFormat(out, v.writeFormat);
  out.Count(v.valueLabels.size());
  for (const ValueLabel& l : v.valueLabels) {
    // A string value is a reference into this process's pool: its text.
    if (v.IsString()) {
      out.Bytes(ObsString(l.value));
    } else {
      out.F64(l.value.d);
    }
    out.Bytes(l.label);
  }
  SaveMissing(out, v.missing);
  SaveAttributes(out, v.attributes);
}

std::unique_ptr<QUVO_Variable> LoadVariable(wire::Reader& in) {
  auto v = std::make_unique<QUVO_Variable>();
  v->name = in.String();
  v->label = LoadOptional(in);
  const std::int64_t width = in.I64();
  if (width < 0 || width > (std::int64_t{1} << 20)) throw Damaged("a string width is out of range");
  v->width = static_cast<int>(width);
  v->measure = static_cast<int>(in.I64());
  v->role = static_cast<int>(in.I64());
  v->printFormat = LoadFormat(in);
  v->writeFormat = LoadFormat(in);
  const std::size_t labels = in.Count(16);
  for (std::size_t i = 0; i < labels; ++i) {
    ValueLabel l;
    l.value = v->IsString() ? ObsFromString(in.View()) : ObsFromNumber(in.F64());
    l.label = in.String();
    v->valueLabels.push_back(std::move(l));
  }
  v->missing = LoadMissing(in);
  v->attributes = LoadAttributes(in);
  return v;
}

int LoadIndex(wire::Reader& in, std::size_t variables) {
  const std::int64_t i = in.I64();
  if (i < -1 || i >= static_cast<std::int64_t>(variables)) throw Damaged("a variable number is out of range");
  return static_cast<int>(i);
}

}  // namespace

void SaveMissing(wire::Writer& out, const MissingValues& m) {
  out.F64s(m.numbers);
  out.Strings(m.strings);
  out.Bool(m.hasRange);
  out.F64(m.low);
  out.F64(m.high);
  out.Bool(m.extended);
}

MissingValues LoadMissing(wire::Reader& in) {
  MissingValues m;
  m.numbers = in.F64s();
  m.strings = in.Strings();
  m.hasRange = in.Bool();
  m.low = in.F64();
  m.high = in.F64();
  m.extended = in.Bool();
  return m;
}

void SaveDictionary(const Dataset& d, wire::Writer& out) {
  out.Count(d.variables.size());
  for (const auto& v : d.variables) SaveVariable(out, *v);
  out.Count(d.sets.size());
  for (const auto& s : d.sets) {
    out.Bytes(s->name);
    out.Bytes(s->label);
    out.I64(s->type);
    out.Bytes(s->countedValue);
    out.Strings(s->members);
  }
  SaveOptional(out, d.label);
  out.Count(d.documents.size());
  for (const auto& block : d.documents) out.Strings(block);
  SaveAttributes(out, d.attributes);
  out.I64(d.weightIndex);
  out.Count(d.splitIndices.size());
  for (int i : d.splitIndices) out.I64(i);
  SaveOptional(out, d.fileSpec);
  // Absolute: the later steps, run from any folder, refuse to write over
  // these, and a name relative to the folder the plan was written in would
  // name another file there (or none), letting a state replace the descriptor.
  std::vector<std::string> files;
  for (const std::string& file : d.files) {
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(file, ec);
    files.push_back(ec ? file : absolute.string());
  }
  out.Strings(files);
}

void LoadDictionary(wire::Reader& in, Dataset& d) {
  const std::size_t variables = in.Count(32);
  for (std::size_t i = 0; i < variables; ++i) d.variables.push_back(LoadVariable(in));
  const std::size_t sets = in.Count(40);
  for (std::size_t i = 0; i < sets; ++i) {
    auto s = std::make_unique<VariableSetImpl>();
    s->name = in.String();
    s->label = in.String();
    s->type = static_cast<int>(in.I64());
    s->countedValue = in.String();
    s->members = in.Strings();
    d.sets.push_back(std::move(s));
  }
  d.label = LoadOptional(in);
  const std::size_t blocks = in.Count(8);
  for (std::size_t i = 0; i < blocks; ++i) d.documents.push_back(in.Strings());
  d.attributes = LoadAttributes(in);
  d.weightIndex = LoadIndex(in, d.variables.size());
  const std::size_t split = in.Count(8);
  for (std::size_t i = 0; i < split; ++i) {
    const int index = LoadIndex(in, d.variables.size());
    if (index < 0) throw Damaged("a split variable has no number");
    d.splitIndices.push_back(index);
  }
  d.fileSpec = LoadOptional(in);
  d.files = in.Strings();
  if (d.weightIndex >= 0 && d.variables[static_cast<std::size_t>(d.weightIndex)]->IsString()) {
    throw Damaged("the weight variable is a string");
  }
  d.IndexNames();
}

}  // namespace host::shards
