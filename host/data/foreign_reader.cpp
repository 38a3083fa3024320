// Stata and SAS files through ReadStat: the dictionary comes from one parse
// that skips the cases (plus, when a display format or an unbounded string
// width depends on the values, one look at just those columns); the cases
// from the case source in foreign_source.cpp.
#include <readstat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <unordered_map>
#include <unordered_set>

#include "host/common/text.h"
#include "host/data/cells.h"
#include "host/data/dataset.h"
#include "host/data/extended_missing.h"
#include "host/data/files.h"
#include "host/data/foreign.h"
#include "host/data/foreign_formats.h"
#include "host/data/foreign_parse.h"
#include "host/data/foreign_source.h"
#include "host/data/foreign_strl.h"
#include "host/data/input.h"
#include "host/data/names.h"
#include "host/dataset.h"

namespace host {
namespace {

namespace fs = std::filesystem;
using foreign::Context;
using foreign::Convert;
using foreign::FailingCase;
using foreign::Failure;
using foreign::ForeignCaseSource;
using foreign::ForeignColumn;
using foreign::ForeignLayout;
using foreign::ParseContext;
using foreign::Parser;
using foreign::Prepare;
using foreign::Run;

constexpr int kMaxStringWidth = static_cast<int>(foreign::kWidestString);

// ---------------------------------------------------------------- dictionary

struct LabelEntry {
  bool isString = false;
  double number = 0.0;
  std::string text;
  std::string label;
};

struct VarInfo {
  std::string name;
  std::string label;
  std::string format;
  std::string labelSet;
  readstat_type_t type = READSTAT_TYPE_DOUBLE;
  std::size_t storageWidth = 0;
};

struct DictContext : ParseContext {
  ForeignKind kind = ForeignKind::None;
  long release = 0;  // the file format's release (Stata: 104 to 119)
  std::int64_t rows = -1;
  foreign::FileView view;
  bool viaLatin1 = false;  // ReadStat decodes the file's text as ISO-8859-1 (see LoadForeign)
  std::string fileLabel;
  std::vector<VarInfo> vars;
  std::vector<std::pair<int, std::string>> notes;                      // by their number in the file
  std::unordered_map<std::string, std::vector<LabelEntry>> labelSets;  // by name (SAS: in upper case)
};

DictContext& Dict(void* ctx) { return static_cast<DictContext&>(Context(ctx)); }

int OnMetadata(readstat_metadata_t* metadata, void* ctx) {
  DictContext& d = Dict(ctx);
  d.rows = d.view.rowsRaised ? 0 : readstat_get_row_count(metadata);
  d.release = readstat_get_file_format_version(metadata);
  if (const char* label = readstat_get_file_label(metadata)) {
    d.fileLabel = d.viaLatin1 ? foreign::Latin1Bytes(label) : label;
  }
  const int count = readstat_get_var_count(metadata);
  if (count > 0 && count < 1000000) d.vars.reserve(static_cast<std::size_t>(count));
  return READSTAT_HANDLER_OK;
}

// Stata keeps a file's notes as characteristics note1, note2, ... and their
// count as note0, which ReadStat hands on as a note of its own. The notes
// come in the order the file keeps the characteristics, not by number.
int OnNote(int index, const char* note, void* ctx) {
  if (note != nullptr && index != 0) Dict(ctx).notes.emplace_back(index, note);
  return READSTAT_HANDLER_OK;
}

// Text in a fixed field, which a damaged file may leave without its NUL.
std::string Field(const char* text, std::size_t size) {
  return text == nullptr ? std::string() : std::string(text, ::strnlen(text, size));
}

// The size of a Stata file's value-label name field: ReadStat hands the field
// itself, unterminated when the file is damaged.
std::size_t LabelSetNameSize(long release) {
  if (release >= 118) return 129;
  return release >= 110 ? 33 : 9;
}

int OnVariable(int /*index*/, readstat_variable_t* variable, const char* labelSet, void* ctx) {
  DictContext& d = Dict(ctx);
  VarInfo v;
  v.name = Field(variable->name, sizeof variable->name);
  v.label = Field(variable->label, sizeof variable->label);
  if (d.viaLatin1) {
    v.name = foreign::Latin1Bytes(v.name);
    v.label = foreign::Latin1Bytes(v.label);
  }
  v.format = Field(variable->format, sizeof variable->format);
  if (labelSet != nullptr) {
    v.labelSet = Field(labelSet, d.kind == ForeignKind::Stata ? LabelSetNameSize(d.release) : 256);
  }
  v.type = readstat_variable_get_type(variable);
  v.storageWidth = readstat_variable_get_storage_width(variable);
  d.vars.push_back(std::move(v));
  return READSTAT_HANDLER_OK;
}

int OnValueLabel(const char* labelSet, readstat_value_t value, const char* label, void* ctx) {
  if (labelSet == nullptr) return READSTAT_HANDLER_OK;
  // The set is in the file, even when none of its labels can be kept.
  // Stata's label names are case-sensitive ("yes" and "Yes" are two sets);
  // SAS's format names are not (the variables name them in upper case).
  DictContext& d = Dict(ctx);
  std::vector<LabelEntry>& set = d.labelSets[d.kind == ForeignKind::Stata ? labelSet : UpperAscii(labelSet)];
  if (label == nullptr) return READSTAT_HANDLER_OK;
  LabelEntry e;
  std::string bytes;
  e.label = foreign::TextAsUtf8(foreign::FileText(label, d.viaLatin1, bytes));
  if (readstat_value_type_class(value) == READSTAT_TYPE_CLASS_STRING) {
    e.isString = true;
    const char* s = readstat_string_value(value);
    e.text = std::string(
        TrimTrailingBlanks(foreign::TextAsUtf8(foreign::FileText(s != nullptr ? s : "", d.viaLatin1, bytes))));
  } else if (readstat_value_is_tagged_missing(value)) {
    e.number = ExtendedMissing(readstat_value_tag(value));
    if (e.number == 0.0) return READSTAT_HANDLER_OK;  // a tag this program does not know
  } else if (readstat_value_is_system_missing(value)) {
    return READSTAT_HANDLER_OK;  // "." cannot carry a label here
  } else {
    e.number = readstat_double_value(value);
    if (!std::isfinite(e.number)) return READSTAT_HANDLER_OK;
  }
  set.push_back(std::move(e));
  return READSTAT_HANDLER_OK;
}

// Values the dictionary needs from the data: the widest value of an
// unbounded string, the decimals of a %g or BEST format.
struct ScanColumn {
  bool scan = false;
  bool isString = false;
  bool isFloat = false;
  std::size_t maxBytes = 0;
  std::size_t overlong = 0;       // values longer than the widest string a variable holds
  std::int64_t overlongCase = 0;  // the case of the longest (from 1)
  int decimals = 0;
};

struct ScanContext : ParseContext {
  std::vector<ScanColumn>* columns = nullptr;
  bool viaLatin1 = false;
  std::int64_t rows = 0;
};

ScanContext& Scan(void* ctx) { return static_cast<ScanContext&>(Context(ctx)); }

int OnScanVariable(int index, readstat_variable_t* /*variable*/, const char* /*labelSet*/, void* ctx) {
  Scan(ctx).inCases = true;
  const std::vector<ScanColumn>& columns = *Scan(ctx).columns;
  const bool wanted =
      index >= 0 && static_cast<std::size_t>(index) < columns.size() && columns[static_cast<std::size_t>(index)].scan;
  return wanted ? READSTAT_HANDLER_OK : READSTAT_HANDLER_SKIP_VARIABLE;
}

int OnScanValue(int obs, readstat_variable_t* variable, readstat_value_t value, void* ctx) {
  ScanContext& s = Scan(ctx);
  s.caseIndex = obs;
  s.rows = std::max<std::int64_t>(s.rows, std::int64_t{obs} + 1);
  const int index = readstat_variable_get_index(variable);
  if (index < 0 || static_cast<std::size_t>(index) >= s.columns->size()) return READSTAT_HANDLER_OK;
  ScanColumn& c = (*s.columns)[static_cast<std::size_t>(index)];
  if (c.isString) {
    const char* text = readstat_string_value(value);
    if (text != nullptr) {
      std::string undone;
      const std::string_view raw = foreign::FileText(text, s.viaLatin1, undone);
      std::size_t bad = 0;
      const std::size_t bytes =
          ValidUtf8(raw, bad) ? TrimTrailingBlanks(raw).size() : TrimTrailingBlanks(foreign::TextAsUtf8(raw)).size();
      if (bytes > foreign::kWidestString) {
        ++c.overlong;
        if (bytes > c.maxBytes) c.overlongCase = std::int64_t{obs} + 1;
      }
      c.maxBytes = std::max(c.maxBytes, bytes);
    }
  } else if (c.decimals < 6 && !readstat_value_is_missing(value, variable)) {
    c.decimals = std::max(c.decimals, foreign::DecimalsOf(readstat_double_value(value), c.isFloat));
  }
  return READSTAT_HANDLER_OK;
}

// ---------------------------------------------------------------- names

void RefuseNamesEqualIgnoringCase(const std::string& path, const std::vector<std::string>& names) {
  std::unordered_map<std::string, std::size_t> first;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const auto [at, fresh] = first.emplace(LowerAscii(names[i]), i);
    if (fresh) continue;
    const std::size_t j = at->second;
    throw InputError(path + ": variables " + std::to_string(j + 1) + " and " + std::to_string(i + 1) + ", \"" +
                     names[j] + "\" and \"" + names[i] +
                     "\", have names that are equal ignoring case, and variable names are compared ignoring case "
                     "here. Rename one of them in the file and save it again (or save the data as CSV, whose "
                     "headers are made unique)");
  }
}

// ---------------------------------------------------------------- loading

std::vector<std::string> NoteLines(const std::string& note) {
  std::vector<std::string> lines;
  std::string line;
  for (const char c : foreign::TextAsUtf8(note)) {
    if (c == '\n') {
      lines.push_back(std::move(line));
      line.clear();
    } else if (c != '\r') {
      line += c;
    }
  }
  lines.push_back(std::move(line));
  return lines;
}

// The first 64 bytes of a file (fewer when it is shorter). Returns 0, or the
// errno of an open or read that failed.
int FirstBytes(const std::string& path, std::string& head) {
  head.assign(64, '\0');
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return errno != 0 ? errno : EIO;
  const std::size_t got = std::fread(head.data(), 1, head.size(), file);
  const int error = std::ferror(file) != 0 ? (errno != 0 ? errno : EIO) : 0;
  std::fclose(file);
  head.resize(got);
  return error;
}

// The release of a Stata file, from its first bytes; 0 when they do not say.
int StataRelease(const std::string& path) {
  std::string head;
  if (FirstBytes(path, head) != 0 || head.empty()) return 0;
  static constexpr std::string_view kRelease = "<stata_dta><header><release>";
  if (head.rfind(kRelease, 0) != 0) return static_cast<unsigned char>(head[0]);
  const std::string digits = head.substr(kRelease.size(), 3);
  return digits.size() == 3 && std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })
             ? std::stoi(digits)
             : 0;
}

// What a file sent compressed or in an archive begins with; null for other files.
const char* PackedKind(std::string_view head) {
  switch (PackingOf(head)) {
    case Packing::Gzip:
      return "a gzip-compressed file";
    case Packing::Zstd:
      return "a zstd-compressed file";
    case Packing::Xz:
      return "an xz-compressed file";
    case Packing::Bzip2:
      return "a bzip2-compressed file";
    case Packing::Zip:
      return "a zip archive";
    case Packing::SevenZip:
      return "a 7-Zip archive";
    default:
      return nullptr;
  }
}

// The name of a zip archive's first entry, from its local header (the
// name's length at byte 26, the name from byte 30); empty when unreadable.
std::string ZipFirstEntry(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return {};
  unsigned char fixed[30];
  std::string name;
  if (std::fread(fixed, 1, sizeof fixed, file) == sizeof fixed) {
    name.resize(static_cast<std::size_t>(fixed[26] | fixed[27] << 8));
    if (std::fread(name.data(), 1, name.size(), file) != name.size()) name.clear();
  }
  std::fclose(file);
  return name;
}

// A Stata or SAS file kept compressed (survey.dta.gz) or zipped (a .zip
// holding survey.dta first) is named as what it holds, with the command
// that takes it out: ReadStat moves about in these files, so they are not
// read through a decompressing stream as CSV files are. Empty for others.
std::string PackedForeignFile(const std::string& path, std::string_view head) {
  const fs::path named(path);
  const Packing packing = PackingOf(head);
  std::string inside, command;
  switch (packing) {
    case Packing::Zip:
      inside = ZipFirstEntry(path);
      command = "unzip";
      break;
    case Packing::Gzip:
      command = "gunzip -k";
      break;
    case Packing::Zstd:
      command = "unzstd";
      break;
    case Packing::Xz:
      command = "unxz -k";
      break;
    case Packing::Bzip2:
      command = "bunzip2 -k";
      break;
    case Packing::SevenZip:
      command = "7z x";
      break;
    default:
      return {};
  }
  const bool archive = packing == Packing::Zip || packing == Packing::SevenZip;
  // data/survey.dta of data/survey.dta.gz; what unzip makes in the folder it runs in.
  if (packing != Packing::Zip) inside = path.substr(0, path.size() - named.extension().string().size());
  const ForeignKind kind = ForeignKindOfExtension(fs::path(inside).extension().string());
  if (kind == ForeignKind::None || kind == ForeignKind::SasCatalog) return {};
  return path + ": " +
         (packing == Packing::Zip ? "a zip archive that holds " + ForeignKindText(kind) + ", " + inside + ","
                                  : ForeignKindText(kind) + " in " + PackedKind(head) + ",") +
         " which this program does not read " + (archive ? "from an archive" : "compressed") + ": take it out first (" +
         command + " " + path + ") and name " + inside;
}

// The first of these files beside the data file, else one whose name is one
// of them in other letter cases (as a file copied from a system that ignores
// case may be named); empty when none is there. Under another case only a
// plain file counts: a link is followed under its exact name alone, which is
// what a data package's folder check looks at.
std::string FileBeside(const std::string& path, std::initializer_list<std::string> names) {
  const fs::path folder = fs::path(path).parent_path();
  std::error_code ec;
  for (const std::string& name : names) {
    const fs::path file = folder / name;
    if (fs::is_regular_file(file, ec)) return file.string();
  }
  std::string found;
  for (fs::directory_iterator it(folder.empty() ? fs::path(".") : folder, ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    const bool named = std::any_of(names.begin(), names.end(), [&](const std::string& n) {
      return name.size() == n.size() && LowerAscii(name) == LowerAscii(n);
    });
    std::error_code kind;
    if (named && it->symlink_status(kind).type() == fs::file_type::regular && (found.empty() || name < found)) {
      found = name;
    }
  }
  return found.empty() ? std::string() : (folder / found).string();
}

// The catalog of a SAS data file: the one given, else NAME.sas7bcat beside
// the data (in any letter case); empty when there is none.
std::string FindCatalog(const std::string& path, const std::string& given) {
  if (!given.empty()) return given;
  const std::string stem = fs::path(path).stem().string();
  return FileBeside(path, {stem + ".sas7bcat", stem + ".SAS7BCAT"});
}

// given: named with --catalog (else found beside the data file).
void ReadCatalog(const std::string& catalog, bool given, const std::string& encoding, DictContext& dict) {
  std::error_code ec;
  std::string head;
  const std::string where =
      given ? "; name the catalog's file (.sas7bcat) with --catalog" : ", found beside the data file";
  // ReadStat reads a catalog by its offsets: a folder, a device or a pipe
  // (--catalog <(...)) is named as what it is, not as a missing file.
  const fs::file_status status = fs::status(catalog, ec);
  if (!ec && fs::is_directory(status)) throw InputError(catalog + ": is a folder, not a SAS format catalog" + where);
  if (!ec && !fs::is_regular_file(status)) {
    throw InputError(catalog +
                     ": is not a regular file (a pipe, a device or a socket), so it cannot be read as a SAS " +
                     "format catalog" + where);
  }
  const int openError = ec ? ec.value() : FirstBytes(catalog, head);
  if (openError != 0) {
    throw InputError(catalog + ": cannot open the SAS format catalog (" + std::strerror(openError) + ")" +
                     (given ? "; check the path given with --catalog" : ", found beside the data file"));
  }
  if (const ForeignKind kind = SniffForeign(head); kind != ForeignKind::SasCatalog) {
    // Most often the data file itself, or another dataset, named in its place.
    std::string what = kind != ForeignKind::None ? ForeignKindText(kind) : "";
    if (const char* packed = PackedKind(head); what.empty() && packed != nullptr) what = packed;
    throw InputError(catalog + ": not a SAS format catalog (.sas7bcat): its first bytes are not those of one" +
                     (what.empty() ? std::string() : "; it is " + what) +
                     (given ? "; --catalog names the catalog that holds the data file's formats" : ""));
  }
  foreign::FileView view;
  if (!encoding.empty()) foreign::HideSasEncoding(catalog, view);
  Parser parser;
  Prepare(parser, encoding, std::move(view));
  readstat_set_value_label_handler(parser.p, OnValueLabel);
  const readstat_error_t error = Run(parser, ForeignKind::SasCatalog, catalog, &dict);
  if (error != READSTAT_OK) throw InputError(Failure(catalog, ForeignKind::SasCatalog, error, dict, 0));
}

}  // namespace

// ---------------------------------------------------------------- public

ForeignKind SniffForeign(std::string_view head) {
  static constexpr unsigned char kSasMagic[32] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                  0x00, 0xC2, 0xEA, 0x81, 0x60, 0xB3, 0x14, 0x11, 0xCF, 0xBD, 0x92,
                                                  0x08, 0x00, 0x09, 0xC7, 0x31, 0x8C, 0x18, 0x1F, 0x10, 0x11};
  if (head.substr(0, 11) == "<stata_dta>") return ForeignKind::Stata;
  if (head.size() >= 4) {
    const auto* b = reinterpret_cast<const unsigned char*>(head.data());
    // Releases before 117: the release number, the byte order, the file type.
    if (b[0] >= 104 && b[0] <= 115 && (b[1] == 1 || b[1] == 2) && b[2] == 1 && b[3] == 0) return ForeignKind::Stata;
  }
  // Data files and catalogs share the magic number but for one byte.
  if (head.size() >= sizeof kSasMagic && std::memcmp(head.data(), kSasMagic, 15) == 0 &&
      std::memcmp(head.data() + 16, kSasMagic + 16, sizeof kSasMagic - 16) == 0) {
    if (head[15] == '\x60') return ForeignKind::Sas;
    if (head[15] == '\x63') return ForeignKind::SasCatalog;
  }
  if (head.substr(0, 23) == "HEADER RECORD*******LIB") return ForeignKind::Transport;
  return ForeignKind::None;
}

ForeignKind SniffForeignFile(const std::string& path, std::string_view extension) {
  std::error_code ec;
  const ForeignKind promised = ForeignKindOfExtension(extension);
  if (!fs::is_regular_file(path, ec)) {
    if (promised != ForeignKind::None && !fs::exists(path, ec)) {
      throw InputError(path + ": cannot open the file (" + std::strerror(ENOENT) + "); check the path");
    }
    // A pipe (or a device) is read once, from its start; these files are
    // read more than once, and ReadStat moves about in them.
    if (promised != ForeignKind::None && !fs::is_directory(path, ec)) {
      const std::string kind = SpecialFileKind(path);
      throw InputError(path + ": is " + (kind.empty() ? std::string("a pipe or a device") : kind) + ", not a file; " +
                       ForeignKindText(promised) + " is read from a file: save it to one and name that");
    }
    return ForeignKind::None;
  }
  std::string head;
  if (const int error = FirstBytes(path, head); error != 0) {
    // Other files are left to the CSV reader, which says the same.
    if (promised == ForeignKind::None) return ForeignKind::None;
    throw InputError(path + ": cannot open the file (" + std::strerror(error) + ")");
  }
  if (head.empty() && promised != ForeignKind::None) {
    throw InputError(path + ": the file is empty (0 bytes), so it is not " + ForeignKindText(promised));
  }
  if (promised == ForeignKind::None) {
    if (const std::string packed = PackedForeignFile(path, head); !packed.empty()) throw InputError(packed);
  }
  // Releases 102 and 103 (Stata 1 to 3) begin as the later ones do; ReadStat
  // reads from 104 on. Said so, rather than that the file is no Stata file.
  if (head.size() >= 4) {
    const auto* b = reinterpret_cast<const unsigned char*>(head.data());
    if ((b[0] == 102 || b[0] == 103) && (b[1] == 1 || b[1] == 2) && b[2] == 1 && b[3] == 0) {
      throw InputError(path + ": a Stata data file of release " + std::to_string(b[0]) +
                       ", earlier than the releases this program reads (104 to 119); open it in Stata and save "
                       "it again, which writes a later release");
    }
  }
  const ForeignKind kind = SniffForeign(head);
  if (kind == ForeignKind::SasCatalog) {
    throw InputError(path +
                     ": is a SAS format catalog, which holds value labels but no cases. Name the SAS data "
                     "file (.sas7bdat); the catalog is found beside it as NAME.sas7bcat, or give it with "
                     "--catalog FILE");
  }
  // SAS's other transport layout, of PROC CPORT, comes under .xpt as often
  // as not; only SAS reads it. Its first record is text, so it would be
  // taken for a CSV file under another name.
  if (kind == ForeignKind::None && promised != ForeignKind::None &&
      head.rfind("**COMPRESSED** **COMPRESSED**", 0) == 0) {
    throw InputError(path + ": not " + ForeignKindText(promised) +
                     ": it is a SAS CPORT file (written by PROC CPORT), whose layout only SAS reads; ask for the "
                     "data as a transport file written with the XPORT engine, or as a SAS data file (.sas7bdat)");
  }
  if (kind == ForeignKind::None && promised != ForeignKind::None) {
    std::size_t bad = 0;
    const bool text = !head.empty() && head.find('\0') == std::string::npos && ValidUtf8(head.substr(0, 60), bad);
    const char* packed = PackedKind(head);
    throw InputError(path + ": not " + ForeignKindText(promised) + ": its first bytes are not those of such a file" +
                     (packed != nullptr
                          ? std::string(" (they are those of ") + packed + ": take the file out of it first)"
                      : text ? " (they are text: is it a CSV file under another name?)"
                             : "") +
                     ". The program reads " + ReadableDatasetsText());
  }
  return kind;
}

ForeignKind ForeignKindOfExtension(std::string_view extension) {
  const std::string ext = LowerAscii(extension);
  if (ext == ".dta") return ForeignKind::Stata;
  if (ext == ".sas7bdat") return ForeignKind::Sas;
  if (ext == ".xpt") return ForeignKind::Transport;
  if (ext == ".sas7bcat") return ForeignKind::SasCatalog;
  return ForeignKind::None;
}

std::string ForeignKindText(ForeignKind kind) {
  switch (kind) {
    case ForeignKind::Stata:
      return "a Stata data file (.dta)";
    case ForeignKind::Sas:
      return "a SAS data file (.sas7bdat)";
    case ForeignKind::Transport:
      return "a SAS transport file (.xpt)";
    case ForeignKind::SasCatalog:
      return "a SAS format catalog (.sas7bcat)";
    case ForeignKind::None:
      break;
  }
  return "a dataset";
}

std::string ReadableDatasetsText() {
  return "a data package descriptor (.json), a CSV file (.csv), a Stata data file (.dta), a SAS data file "
         "(.sas7bdat, with its value labels from a .sas7bcat catalog) or a SAS transport file (.xpt)";
}

namespace {

// The dictionary: variables, labels, notes and value labels, the cases
// skipped. Throws InputError naming the case the damage is in, if it is in one.
void ReadDictionary(const std::string& path, ForeignKind kind, const std::string& encoding, DictContext& dict) {
  Parser parser;
  Prepare(parser, encoding, dict.view);
  readstat_set_metadata_handler(parser.p, OnMetadata);
  readstat_set_note_handler(parser.p, OnNote);
  readstat_set_variable_handler(parser.p, OnVariable);
  readstat_set_value_label_handler(parser.p, OnValueLabel);
  const readstat_error_t error = Run(parser, kind, path, &dict);
  if (error == READSTAT_OK) return;
  // The dictionary read skips the cases; a second look finds the case the
  // damage is in, if it is in one.
  ParseContext where;
  if (!dict.vars.empty()) {
    Parser counter;
    Prepare(counter, encoding, dict.view);
    readstat_set_variable_handler(counter.p, foreign::OnCountVariable);
    readstat_set_value_handler(counter.p, foreign::OnCountValue);
    Run(counter, kind, path, &where);
  }
  std::int64_t failing = FailingCase(where, dict.rows);
  if (failing == 0 && kind == ForeignKind::Stata) failing = foreign::StataCaseCutIn(path);
  throw InputError(Failure(path, kind, error, dict, failing));
}

// A SAS file's value labels from its format catalog; the files read.
std::vector<std::string> ReadLabelsCatalog(const std::string& path, ForeignKind kind, const ForeignOptions& options,
                                           DictContext& dict, std::vector<std::string>& warnings) {
  std::vector<std::string> files{path};
  if (kind == ForeignKind::Sas) {
    const std::string catalog = FindCatalog(path, options.catalog);
    if (!catalog.empty()) {
      ReadCatalog(catalog, !options.catalog.empty(), options.encoding, dict);
      files.push_back(catalog);
    } else if (const std::string library =
                   FileBeside(path, {"formats.sas7bcat", "FORMATS.SAS7BCAT", "formats.SAS7BCAT"});
               !library.empty()) {
      // SAS keeps a library's formats in its catalog FORMATS: a file that
      // comes with its formats mostly comes with formats.sas7bcat.
      warnings.push_back(library + ": a SAS format catalog beside " + path + ", not read with it (that would be " +
                         fs::path(path).stem().string() +
                         ".sas7bcat, which is not there); give it with --catalog FILE to take the value labels "
                         "from it");
    }
  } else if (!options.catalog.empty()) {
    warnings.push_back(options.catalog + ": a format catalog belongs to a SAS data file (.sas7bdat); ignored for " +
                       path);
  }
  return files;
}

// What the dictionary leaves open about each column: the width of strings
// without one (strL) and the decimals of numbers whose format leaves them
// to the data. A pass over the cases settles them when any column needs it.
struct ColumnFacts {
  std::vector<ScanColumn> scan;
  std::vector<foreign::MappedFormat> mapped;  // numbers
  std::vector<int> widths;                    // strings of a declared width
  std::int64_t rows = -1;
};

ColumnFacts ScanColumns(const std::string& path, ForeignKind kind, const std::string& encoding,
                        const DictContext& dict) {
  const std::size_t ncols = dict.vars.size();
  ColumnFacts facts;
  facts.scan.resize(ncols);
  facts.mapped.resize(ncols);
  facts.widths.assign(ncols, 0);
  facts.rows = dict.rows;
  bool needScan = false;
  for (std::size_t i = 0; i < ncols; ++i) {
    const VarInfo& info = dict.vars[i];
    ScanColumn& s = facts.scan[i];
    s.isString = readstat_type_class(info.type) == READSTAT_TYPE_CLASS_STRING;
    s.isFloat = info.type == READSTAT_TYPE_FLOAT;
    if (s.isString) {
      // Stata's str# comes with room for a terminating NUL; strL has no width.
      std::size_t width = info.storageWidth;
      if (kind == ForeignKind::Stata && width > 0) --width;
      if (width == 0) {
        s.scan = true;
      } else {
        facts.widths[i] = static_cast<int>(std::min<std::size_t>(width, kMaxStringWidth));
      }
    } else {
      facts.mapped[i] =
          kind == ForeignKind::Stata ? foreign::MapStataFormat(info.format, 0) : foreign::MapSasFormat(info.format, 0);
      const bool wholeStorage =
          info.type == READSTAT_TYPE_INT8 || info.type == READSTAT_TYPE_INT16 || info.type == READSTAT_TYPE_INT32;
      s.scan = facts.mapped[i].decimalsFromData && !wholeStorage;
    }
    needScan = needScan || s.scan;
  }
  if (!needScan) return facts;
  ScanContext ctx;
  ctx.columns = &facts.scan;
  ctx.viaLatin1 = dict.viaLatin1;
  Parser parser;
  Prepare(parser, encoding, dict.view);
  readstat_set_variable_handler(parser.p, OnScanVariable);
  readstat_set_value_handler(parser.p, OnScanValue);
  const readstat_error_t error = Run(parser, kind, path, &ctx);
  if (error != READSTAT_OK) throw InputError(Failure(path, kind, error, ctx, FailingCase(ctx, facts.rows)));
  if (facts.rows < 0) facts.rows = ctx.rows;
  return facts;
}

// Value labels: a Stata label set by name; a SAS format from the catalog.
void AddValueLabels(QUVO_Variable& v, const std::string& setName, const DictContext& dict) {
  const auto found = dict.labelSets.find(setName);
  if (setName.empty() || found == dict.labelSets.end()) return;
  // A value labelled twice keeps its first label. Sets of tens of thousands
  // of labels (postal codes, occupations) are looked up, not searched.
  std::unordered_set<std::uint64_t> seen;
  for (const LabelEntry& e : found->second) {
    if (e.isString != v.IsString()) continue;
    ValueLabel label;
    label.value = e.isString ? ObsFromString(e.text) : ObsFromNumber(e.number == 0.0 ? 0.0 : e.number);
    label.label = e.label;
    if (seen.insert(label.value.u).second) v.valueLabels.push_back(std::move(label));
  }
}

// Column i as a variable of the dictionary, and how its cells are read.
std::unique_ptr<QUVO_Variable> MakeVariable(const DictContext& dict, const ColumnFacts& facts, std::size_t i,
                                            ForeignKind kind, ForeignColumn& column) {
  const VarInfo& info = dict.vars[i];
  const ScanColumn& scan = facts.scan[i];
  auto v = std::make_unique<QUVO_Variable>();
  // A transport file of version 5 holds a label in 40 bytes.
  if (!info.label.empty()) {
    v->label = kind == ForeignKind::Transport ? foreign::LabelAsUtf8(info.label, 40) : foreign::TextAsUtf8(info.label);
  }
  column.isString = scan.isString;
  if (scan.isString) {
    v->width = scan.scan ? static_cast<int>(std::clamp<std::size_t>(scan.maxBytes, 1, kMaxStringWidth))
                         : std::max(1, facts.widths[i]);
    const foreign::MappedFormat m = kind == ForeignKind::Stata ? foreign::MapStataFormat(info.format, v->width)
                                                               : foreign::MapSasFormat(info.format, v->width);
    v->printFormat = m.format;
  } else {
    v->width = 0;
    QUVO_Format f = facts.mapped[i].format;
    if (scan.scan) {
      f.decimals = static_cast<std::uint8_t>(std::min<int>(scan.decimals, std::max(0, static_cast<int>(f.width) - 1)));
    }
    v->printFormat = f;
    column.convert = facts.mapped[i].convert;
    v->missing.extended = true;
  }
  v->writeFormat = v->printFormat;
  v->role = Role::Input;
  AddValueLabels(*v, kind == ForeignKind::Stata ? info.labelSet : foreign::SasFormatName(info.format), dict);
  v->measure = v->IsString() || !v->valueLabels.empty() ? Measure::Nominal : Measure::Scale;
  return v;
}

// A Stata file before release 117 has no end mark: one cut exactly before a
// value-label table reads as a whole file without the tables from there on.
// Variables naming a set the file lacks are the only sign of it, and Stata
// also lets a variable name a set never defined: a warning, not an error.
void WarnOfAbsentLabelSets(const std::string& path, const DictContext& dict, std::vector<std::string>& warnings) {
  if (dict.kind != ForeignKind::Stata || dict.release >= 117) return;
  std::vector<std::pair<std::string, std::vector<std::string>>> absent;  // a set and the variables naming it
  for (const VarInfo& info : dict.vars) {
    if (info.labelSet.empty() || dict.labelSets.count(info.labelSet) != 0) continue;
    auto set = std::find_if(absent.begin(), absent.end(), [&](const auto& a) { return a.first == info.labelSet; });
    if (set == absent.end()) set = absent.insert(absent.end(), {info.labelSet, {}});
    set->second.push_back(foreign::TextAsUtf8(info.name));
  }
  if (absent.empty()) return;
  std::string text = path + ": ";
  text += absent.size() == 1 ? "a set of value labels that variables name is"
                             : std::to_string(absent.size()) + " sets of value labels that variables name are";
  text +=
      " not in the file, so their values show without labels: either never defined, or the file is cut short "
      "before them:";
  for (const auto& [set, names] : absent) {
    text += "\n  \"" + foreign::TextAsUtf8(set) + "\" (" + ShortList(names, 10) + ")";
  }
  warnings.push_back(std::move(text));
}

// A strL value may be longer than the widest string a variable holds (Stata
// takes up to 2 GB); such values are cut to that width, as the dictionary
// says, and the user is told which variables lost text.
void WarnOfOverlongStrings(const std::string& path, const ColumnFacts& facts, const Dataset& dataset,
                           std::vector<std::string>& warnings) {
  for (std::size_t i = 0; i < facts.scan.size(); ++i) {
    const ScanColumn& s = facts.scan[i];
    if (s.overlong == 0) continue;
    warnings.push_back(path + ": variable " + dataset.variables[i]->name + " holds " + Counted(s.overlong, "value") +
                       " longer than 32,767 bytes, the widest string a variable holds here (the longest, in case " +
                       std::to_string(s.overlongCase) + ", has " + std::to_string(s.maxBytes) +
                       " bytes); they are cut to their first 32,767 bytes");
  }
}

// Stata labels numbers only; a file from another writer may still name a
// set for a string variable. Its labels cannot apply, and would go unseen.
void WarnOfLabelledStrings(const std::string& path, const DictContext& dict, std::vector<std::string>& warnings) {
  if (dict.kind != ForeignKind::Stata) return;
  std::vector<std::string> named;
  for (const VarInfo& info : dict.vars) {
    if (!info.labelSet.empty() && readstat_type_class(info.type) == READSTAT_TYPE_CLASS_STRING &&
        dict.labelSets.count(info.labelSet) != 0) {
      named.push_back(foreign::TextAsUtf8(info.name) + " (\"" + foreign::TextAsUtf8(info.labelSet) + "\")");
    }
  }
  if (named.empty()) return;
  std::string text = path + ": value labels apply to numeric variables only; " +
                     (named.size() == 1 ? std::string("a string variable names")
                                        : std::to_string(named.size()) + " string variables name") +
                     " a set of them, not shown: " + ShortList(named, 10);
  warnings.push_back(std::move(text));
}

// A catalog none of whose formats a variable names is most likely another
// file's: the values would show without labels, without a word.
void WarnOfForeignCatalog(const std::string& path, const std::string& catalog, const DictContext& dict,
                          std::vector<std::string>& warnings) {
  if (dict.labelSets.empty()) return;
  for (const VarInfo& info : dict.vars) {
    if (dict.labelSets.count(foreign::SasFormatName(info.format)) != 0) return;
  }
  const std::size_t n = dict.labelSets.size();
  warnings.push_back(catalog + ": " +
                     (n == 1 ? std::string("the one format in this catalog is used by no variable")
                             : "none of the " + std::to_string(n) + " formats in this catalog is used by a variable") +
                     " of " + path + ", so no value labels come from it: is it the catalog of another file?");
}

// Which of a transport file's datasets --resource names: by name (ignoring
// ASCII case, as SAS names are) or by number from 1. Throws naming them all
// when none is meant.
std::size_t ChosenMember(const std::string& path, const std::string& wanted) {
  const foreign::TransportMembers all = foreign::ScanTransport(path);
  std::vector<std::string> names;
  for (std::size_t i = 0; i < all.names.size(); ++i) {
    names.push_back(foreign::TextAsUtf8(all.names[i]));
    if (LowerAscii(names.back()) == LowerAscii(wanted)) return i;
  }
  std::size_t number = 0;
  const auto [end, error] = std::from_chars(wanted.data(), wanted.data() + wanted.size(), number);
  if (error == std::errc() && end == wanted.data() + wanted.size() && number >= 1 && number <= names.size()) {
    return number - 1;
  }
  throw InputError(path + ": the transport file has no dataset \"" + wanted + "\" (--resource); its " +
                   (names.size() == 1 ? std::string("one dataset is ") + names[0]
                                      : std::to_string(names.size()) + " datasets are " + ShortList(names, 20)));
}

// A transport file may hold several datasets, one after another; ReadStat
// reads on from the first into the next one's headers, so the file is shown
// to it as if it ended where the next begins, and a later one as if it
// followed the library header at once. Transport files do not record their
// number of cases: one whose last member has none may also be cut right
// after its headers.
void ReadTransportMembers(const std::string& path, const ForeignOptions& options, foreign::FileView& view,
                          std::vector<std::string>& warnings) {
  std::string wanted = options.member;
  // A descriptor names its resource after the dataset it documents, as
  // archives describe each dataset of a transport library in a resource of
  // its own that names the one file.
  if (wanted.empty() && options.resourceName && !options.resourceName->empty()) {
    for (const std::string& name : foreign::ScanTransport(path).names) {
      if (LowerAscii(foreign::TextAsUtf8(name)) == LowerAscii(*options.resourceName)) wanted = *options.resourceName;
    }
  }
  const std::size_t chosen = wanted.empty() ? 0 : ChosenMember(path, wanted);
  const foreign::TransportMembers members = foreign::ScanTransport(path, chosen);
  const std::string name =
      chosen < members.names.size() ? foreign::TextAsUtf8(members.names[chosen]) : std::string("dataset");
  // ReadStat refuses a dataset without variables as if memory had run out.
  if (members.variables == 0) {
    throw InputError(path + ": the transport file's " + name + " has no variables, so there is nothing to document");
  }
  if (members.names.size() > 1 && wanted.empty()) {
    std::vector<std::string> others;
    for (std::size_t i = 1; i < members.names.size(); ++i) others.push_back(foreign::TextAsUtf8(members.names[i]));
    warnings.push_back(path + ": the transport file holds " + std::to_string(members.names.size()) +
                       " datasets; only the first, " + name + ", is read (the others: " + ShortList(others, 20) +
                       (options.resourceName ? "; a resource \"name\" that is one of them reads that one)"
                                             : "; --resource NAME reads another)"));
  }
  if (!members.hasCases && chosen + 1 >= members.names.size()) {  // with another member after it, it is whole
    warnings.push_back(path +
                       ": the transport file has no cases after its headers (it does not record their number: a "
                       "file cut right after its headers reads the same)");
  }
  if (chosen + 1 < members.starts.size()) view.end = members.starts[chosen + 1];
  if (chosen > 0 && chosen < members.starts.size()) {
    std::string library(static_cast<std::size_t>(foreign::kTransportLibraryHeader), '\0');
    if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
      library.resize(std::fread(library.data(), 1, library.size(), file));
      std::fclose(file);
    }
    view.head = std::make_shared<const std::string>(std::move(library));
    view.headEnd = members.starts[chosen];
  }
}

// Text said to be Latin-1 (--encoding latin1) whose labels are UTF-8 in the
// file (each accented letter read as two), or hold a control character
// U+0080-U+009F: Latin-1 gives bytes 0x80-0x9F to such invisible
// characters, where Windows-1252, in which Stata and SAS on Windows write,
// has the euro sign, curly quotes and dashes. The first one is named, with
// what to give instead: nothing for a file that declares no encoding (a
// Stata file of a release before 118, a transport file), whose text is read
// as UTF-8 where it is and as Windows-1252 elsewhere.
void WarnOfLatin1Controls(const std::string& path, const std::string& given, bool declaresNone, const Dataset& dataset,
                          std::vector<std::string>& warnings) {
  std::vector<std::pair<std::string, const std::string*>> labels;  // where, text
  if (dataset.label) labels.emplace_back("the file label", &*dataset.label);
  for (const auto& v : dataset.variables) {
    if (v->label) labels.emplace_back("the label of variable " + v->name, &*v->label);
    for (const ValueLabel& l : v->valueLabels) labels.emplace_back("a value label of variable " + v->name, &l.label);
  }
  // Text that is UTF-8 in the file ("Zürich" read as "ZÃ¼rich").
  for (const auto& [where, text] : labels) {
    const std::string bytes = foreign::Latin1Bytes(*text);
    std::size_t bad = 0;
    if (bytes != *text && ValidUtf8(bytes, bad)) {
      warnings.push_back(path + ": " + where + " is UTF-8 text (\"" + bytes + "\"), read as " + given + " (\"" + *text +
                         "\") as --encoding says; leave out --encoding for this file");
      return;
    }
  }
  for (const auto& [where, text] : labels) {
    unsigned char byte = 0;
    for (std::size_t i = 0; byte == 0 && i + 1 < text->size(); ++i) {
      const auto next = static_cast<unsigned char>((*text)[i + 1]);
      if ((*text)[i] == '\xC2' && next >= 0x80 && next <= 0x9F) byte = next;  // U+0080-U+009F in UTF-8
    }
    const std::string windows = byte != 0 ? WindowsReadingOfControl(byte) : std::string();
    if (windows.empty()) continue;
    warnings.push_back(path + ": " + where + " holds an invisible control character, which " + given +
                       " makes of byte " + HexBytes(std::string(1, static_cast<char>(byte))) +
                       ", where Windows-1252 has \"" + windows + "\"; " +
                       (declaresNone ? "leave out --encoding: the text of a file that declares no encoding is read as "
                                       "UTF-8 where it is UTF-8 and as Windows-1252 elsewhere"
                                     : "if the file was written on Windows, name --encoding cp1252"));
    return;
  }
}

}  // namespace

std::shared_ptr<Dataset> LoadForeign(const std::string& path, ForeignKind kind, const ForeignOptions& options,
                                     std::vector<std::string>& warnings) {
  // ReadStat says no more of an encoding iconv does not know than that the
  // file's is not supported, and asks for the one given.
  if (!options.encoding.empty() && !ConvertibleEncoding(options.encoding)) {
    throw InputError(path + ": the encoding \"" + options.encoding +
                     "\" is not one this system converts; use an iconv name such as latin1, cp1252 or shift_jis "
                     "(iconv -l lists them)" +
                     UnknownEncodingHint(options.encoding));
  }
  // ReadStat takes a release after 119 for a damaged file. Stata 18 on
  // writes 120 and 121 (118 and 119 with alias variables of other frames).
  const int release = kind == ForeignKind::Stata ? StataRelease(path) : 0;
  if (release > 119) {
    throw InputError(path + ": a Stata data file of release " + std::to_string(release) +
                     ", later than the releases this program reads (104 to 119); Stata 18 and later write release "
                     "120 or 121 for a dataset with alias variables: save it without them (or with saveold) to "
                     "read it here");
  }
  // ReadStat refuses a Stata file without variables (Stata saves one made
  // with only `set obs`) as invalid: it is whole.
  if (const auto counts = kind == ForeignKind::Stata ? foreign::ReadStataCounts(path) : std::nullopt;
      counts && counts->variables == 0) {
    throw InputError(path + ": a Stata data file without variables (its header gives " + std::to_string(counts->cases) +
                     " cases), so there is nothing to document");
  }
  struct stat info {};
  const FileStamp stamp = ::stat(path.c_str(), &info) == 0 ? FileStampOf(info) : FileStamp{};
  DictContext dict;
  dict.kind = kind;
  if (kind == ForeignKind::Transport) {
    ReadTransportMembers(path, options, dict.view, warnings);
    // (A later dataset of a file written on VAX/VMS is shown as it is.)
    if (!dict.view.head) foreign::WidenTransportNamestrs(path, dict.view);
    foreign::EndBeforeTransportPadding(path, dict.view);
  }
  if (kind == ForeignKind::Stata) {
    foreign::ShowOldStataTables(path, dict.view);
    dict.view.strls = foreign::PlanStrlRewrite(path);
    if (const std::optional<foreign::StataRows> rows = foreign::ReadStataRows(path)) {
      dict.view.strlRecords = !rows->strlColumns.empty();
      dict.view.bigEndian = rows->bigEndian;
    }
  }
  if (kind == ForeignKind::Sas) foreign::ShowSasRows(path, dict.view);
  if (kind == ForeignKind::Sas && !options.encoding.empty()) foreign::HideSasEncoding(path, dict.view);
  // A Stata file before release 118 does not say how its text is encoded:
  // the machine's code page (mostly Windows-1252), or UTF-8 as newer
  // writers put into the old releases too. ReadStat takes every such file
  // for Windows-1252, turning UTF-8 into "Ã©" and refusing the bytes that
  // code page leaves undefined (0x81 of "Á", "с" and many more in UTF-8).
  // Told it is ISO-8859-1, which leaves no byte undefined, it hands on text
  // that is taken back to the file's bytes, for TextAsUtf8 to keep what is
  // UTF-8 and read the rest as Windows-1252, as the notes always were.
  dict.viaLatin1 = kind == ForeignKind::Stata && options.encoding.empty() && release < 118;
  // From release 118 on the format holds UTF-8 text; --encoding still wins
  // (a file another writer got wrong), but given for a batch of old and new
  // files it turns every accented letter of the new ones into two.
  if (kind == ForeignKind::Stata && !IsUtf8Name(options.encoding) && release >= 118) {
    warnings.push_back(path + ": a Stata data file of release " + std::to_string(release) +
                       " holds UTF-8 text (as every release from 118, Stata 14, on does), read here as " +
                       options.encoding +
                       " as --encoding says; if its labels show accented letters as two (\"Ã©\" for \"é\"), "
                       "leave out --encoding for this file");
  }
  const std::string encoding = dict.viaLatin1 ? std::string("ISO-8859-1") : options.encoding;
  // A read that fails on a file written to meanwhile fails for that reason.
  const auto unlessChanged = [&](auto read) {
    try {
      return read();
    } catch (const InputError&) {
      foreign::CheckUnchanged(path, path, stamp);
      throw;
    }
  };
  unlessChanged([&] { ReadDictionary(path, kind, encoding, dict); });
  WarnOfAbsentLabelSets(path, dict, warnings);
  WarnOfLabelledStrings(path, dict, warnings);
  std::vector<std::string> files = ReadLabelsCatalog(path, kind, options, dict, warnings);
  if (files.size() > 1) WarnOfForeignCatalog(path, files[1], dict, warnings);
  const ColumnFacts facts = unlessChanged([&] { return ScanColumns(path, kind, encoding, dict); });
  const std::size_t ncols = dict.vars.size();

  auto dataset = std::make_shared<Dataset>();
  dataset->files = std::move(files);
  auto layout = std::make_shared<ForeignLayout>();
  layout->path = path;
  layout->display = path;
  layout->kind = kind;
  layout->encoding = encoding;
  layout->viaLatin1 = dict.viaLatin1;
  layout->view = dict.view;
  layout->stamp = stamp;
  layout->rows = facts.rows;
  layout->blockRows =
      std::max<std::size_t>(1, std::min<std::size_t>(8192, (std::size_t{1} << 18) / std::max<std::size_t>(1, ncols)));

  // Names as for CSV headers: Stata's "_merge" or a reserved word such as
  // "to" become valid names. Names are compared ignoring case here, so two
  // that are equal ignoring case (Stata's "Age" and "AGE") would be one
  // variable: such a file is refused, naming both, rather than read with
  // one of them renamed behind the user's back.
  std::vector<std::string> originals;
  for (const VarInfo& info : dict.vars) originals.push_back(foreign::TextAsUtf8(info.name));
  RefuseNamesEqualIgnoringCase(path, originals);
  const std::vector<MadeName> names = MakeVariableNames(originals, false);
  bool anyRenamed = false;
  for (std::size_t i = 0; i < ncols; ++i) {
    ForeignColumn column;
    auto v = MakeVariable(dict, facts, i, kind, column);
    v->name = names[i].name;
    if (names[i].renamed) {
      anyRenamed = true;
      if (!v->label) v->label = originals[i];
      dataset->givenNames.resize(ncols);
      dataset->givenNames[i] = originals[i];
    }
    layout->columns.push_back(column);
    dataset->variables.push_back(std::move(v));
  }
  if (anyRenamed) warnings.push_back(RenameNote(path, "variable name", "variable", originals, names));
  WarnOfOverlongStrings(path, facts, *dataset, warnings);
  dataset->IndexNames();
  if (!dict.fileLabel.empty()) dataset->label = foreign::TextAsUtf8(dict.fileLabel);
  std::stable_sort(dict.notes.begin(), dict.notes.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& note : dict.notes) dataset->documents.push_back(NoteLines(note.second));

  // (Release 118 on holds UTF-8 text, said above.)
  if (ControlsAt80(options.encoding) && !(kind == ForeignKind::Stata && release >= 118)) {
    const bool declaresNone = (kind == ForeignKind::Stata && release < 118) || kind == ForeignKind::Transport;
    WarnOfLatin1Controls(path, options.encoding, declaresNone, *dataset, warnings);
  }
  if (ncols == 0) {  // nothing to read, but the cases still count
    dataset->cases = std::make_shared<MemoryCaseSource>(std::vector<CaseBlock>{});
    dataset->caseCount = std::max<std::int64_t>(0, facts.rows);
    return dataset;
  }
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  dataset->cases = std::make_shared<ForeignCaseSource>(std::move(layout), ec ? 0 : static_cast<std::int64_t>(size));
  return dataset;
}

bool IsForeignDataset(const Dataset& dataset) {
  return dynamic_cast<const ForeignCaseSource*>(dataset.cases.get()) != nullptr;
}

void UpdateForeignWeighting(Dataset& dataset) {
  auto* source = dynamic_cast<ForeignCaseSource*>(dataset.cases.get());
  if (source == nullptr) return;
  auto layout = std::make_shared<ForeignLayout>(source->Layout());
  layout->weightIndex = dataset.weightIndex;
  layout->weightMissing = MissingValues{};
  if (dataset.weightIndex >= 0) {
    layout->weightMissing = dataset.variables[static_cast<std::size_t>(dataset.weightIndex)]->missing;
  }
  layout->splitIndices = dataset.splitIndices;
  source->SetLayout(std::move(layout));
}

}  // namespace host