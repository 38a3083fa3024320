#include "host/data/foreign_strl.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string_view>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>

#include "host/data/foreign_bytes.h"

namespace host::foreign {
namespace {

constexpr std::uint16_t kStrlType = 32768;
constexpr std::size_t kSample = 1000;       // references and records looked at to tell the layouts apart
constexpr std::size_t kMostReads = 100000;  // references read to find them (empty ones name no record)

void Store(std::uint64_t x, unsigned char* p, std::size_t n, bool bigEndian) {
  for (std::size_t i = 0; i < n; ++i) p[bigEndian ? n - 1 - i : i] = static_cast<unsigned char>(x >> (8 * i));
}

// The bytes a type of release 118/119 takes in a row; 0 for a type unknown.
std::int64_t TypeWidth(std::uint16_t type) {
  if (type >= 1 && type <= 2045) return type;
  switch (type) {
    case kStrlType:
    case 65526:  // double
      return 8;
    case 65527:  // float
    case 65528:  // long
      return 4;
    case 65529:  // int
      return 2;
    case 65530:  // byte
      return 1;
    default:
      return 0;
  }
}

// The value after a tag such as "<K>" in the header, n bytes.
bool After(std::string_view head, std::string_view tag, std::size_t n, bool bigEndian, std::uint64_t& value) {
  const std::size_t at = head.find(tag);
  if (at == std::string_view::npos || at + tag.size() + n > head.size()) return false;
  value = Unsigned(reinterpret_cast<const unsigned char*>(head.data() + at + tag.size()), n, bigEndian);
  return true;
}

// What the header of a file of release 117 or later gives: the release,
// the byte order and the counts of variables and cases.
struct XmlHead {
  int release = 0;
  bool bigEndian = false;
  std::uint64_t variables = 0;
  std::uint64_t cases = 0;
};

std::optional<XmlHead> ReadXmlHead(std::string_view head) {
  static constexpr std::string_view kStart = "<stata_dta><header><release>", kOrder = "</release><byteorder>";
  if (!head.starts_with(kStart) || head.size() < kStart.size() + 3 + kOrder.size() + 3 ||
      head.substr(kStart.size() + 3, kOrder.size()) != kOrder) {
    return std::nullopt;
  }
  XmlHead h;
  h.release = std::atoi(std::string(head.substr(kStart.size(), 3)).c_str());
  h.bigEndian = head.substr(kStart.size() + 3 + kOrder.size(), 3) == "MSF";
  if (!After(head, "<K>", h.release == 119 ? 4 : 2, h.bigEndian, h.variables) ||
      !After(head, "<N>", h.release == 117 ? 4 : 8, h.bigEndian, h.cases)) {
    return std::nullopt;
  }
  return h;
}

// The first kilobyte of a file (less when it is shorter).
std::string HeadOf(File& file) {
  std::string head(1024, '\0');
  head.resize(std::fread(head.data(), 1, head.size(), file.f));
  return head;
}

}  // namespace

std::uint64_t ReferenceAs118(std::uint64_t reference) {
  const std::uint64_t v = reference & 0xFFFFFF;
  const std::uint64_t o = reference >> 24;
  return (v & 0xFFFF) | ((o | ((v >> 16) << 40)) << 16);
}

void RecordAs118(std::uint32_t& v, std::uint64_t& o) {
  o |= static_cast<std::uint64_t>(v >> 16) << 40;
  v &= 0xFFFF;
}

std::optional<StataRows> ReadStataRows(const std::string& path) {
  File file(path);
  if (file.f == nullptr) return std::nullopt;
  const std::string head = HeadOf(file);
  const std::optional<XmlHead> h = ReadXmlHead(head);
  if (!h || h->release < 117 || h->release > 119) return std::nullopt;
  StataRows rows;
  rows.release = h->release;
  rows.bigEndian = h->bigEndian;
  const std::uint64_t k = h->variables, n = h->cases;
  const std::size_t mapAt = head.find("<map>");
  if (mapAt == std::string::npos || k == 0 || k > 1000000) return std::nullopt;
  unsigned char raw[14 * 8];
  if (!file.Read(static_cast<std::int64_t>(mapAt + 5), raw, sizeof raw)) return std::nullopt;
  std::uint64_t map[14];
  for (std::size_t i = 0; i < 14; ++i) map[i] = Unsigned(raw + 8 * i, 8, rows.bigEndian);
  std::vector<unsigned char> types(2 * k);
  if (!file.Read(static_cast<std::int64_t>(map[2] + 16), types.data(), types.size())) {  // <variable_types>
    return std::nullopt;
  }
  for (std::uint64_t i = 0; i < k; ++i) {
    const auto type = static_cast<std::uint16_t>(Unsigned(types.data() + 2 * i, 2, rows.bigEndian));
    const std::int64_t width = TypeWidth(type);
    if (width == 0) return std::nullopt;  // ReadStat will say what is wrong
    if (type == kStrlType) {
      rows.strlColumns.push_back(rows.rowLength);
      rows.strlPastShort = rows.strlPastShort || i + 1 > 0xFFFF;
    }
    rows.rowLength += width;
  }
  if (map[9] > (std::uint64_t{1} << 60) || map[10] > (std::uint64_t{1} << 60)) return std::nullopt;
  rows.dataStart = static_cast<std::int64_t>(map[9]) + 6;    // <data>
  rows.strlsStart = static_cast<std::int64_t>(map[10]) + 7;  // <strls>
  // A number of cases whose rows could not be in any file: ReadStat will say so.
  if (n > static_cast<std::uint64_t>((std::int64_t{1} << 62) / rows.rowLength)) return std::nullopt;
  rows.rows = static_cast<std::int64_t>(n);
  return rows;
}

std::optional<StataCounts> ReadStataCounts(const std::string& path) {
  File file(path);
  if (file.f == nullptr) return std::nullopt;
  const std::string head = HeadOf(file);
  StataCounts counts;
  if (head.starts_with("<stata_dta>")) {
    const std::optional<XmlHead> h = ReadXmlHead(head);
    if (!h) return std::nullopt;
    counts.variables = h->variables;
    counts.cases = h->cases;
    return counts;
  }
  // Before release 117: the release, the byte order (1: high byte first),
  // the file type and a byte unused, then 2 bytes of variables and 4 of cases.
  if (head.size() < 10) return std::nullopt;
  const auto* h = reinterpret_cast<const unsigned char*>(head.data());
  counts.variables = Unsigned(h + 4, 2, h[1] == 1);
  counts.cases = Unsigned(h + 6, 4, h[1] == 1);
  return counts;
}

std::string StataOversize(const std::string& path, bool& damaged) {
  damaged = false;
  File file(path);
  struct stat facts {};
  if (file.f == nullptr || ::fstat(::fileno(file.f), &facts) != 0) return {};
  const std::int64_t size = facts.st_size;
  const std::string head = HeadOf(file);
  const std::optional<StataCounts> counts = ReadStataCounts(path);
  // Every variable takes at least its type and a name of 9 bytes or more.
  if (counts && counts->variables > static_cast<std::uint64_t>(size / 10)) {
    damaged = true;
    return "its header gives " + std::to_string(counts->variables) + " variables, more than a file of " +
           std::to_string(size) + " bytes holds";
  }
  const std::optional<XmlHead> h = ReadXmlHead(head);
  const std::size_t mapAt = head.find("<map>");
  if (!h || mapAt == std::string::npos) return {};
  // From release 118 a variable's label alone takes 321 bytes, and ReadStat
  // reads the descriptions of all the variables at once: it reads 52,252 of
  // them (a file of ReadStat's own writing), not 52,265 (one of pandas').
  if (constexpr std::uint64_t kMostVariables = 50000;
      h->release >= 118 && counts && counts->variables > kMostVariables) {
    return "a file of " + std::to_string(counts->variables) +
           " variables, more than the about 52,000 whose descriptions ReadStat reads at once: save the variables "
           "in files of at most 50,000 each to read them here";
  }
  unsigned char raw[8];
  if (!file.Read(static_cast<std::int64_t>(mapAt + 5 + 11 * 8), raw, sizeof raw)) return {};  // <value_labels>
  // Each table: "<lbl>", its length (4 bytes), its name, 3 bytes of padding,
  // the table, "</lbl>".
  static constexpr std::string_view kOpen = "<value_labels>", kTable = "<lbl>", kClose = "</lbl>";
  const std::int64_t nameSize = h->release == 117 ? 33 : 129;
  std::int64_t at = static_cast<std::int64_t>(std::min<std::uint64_t>(Unsigned(raw, 8, h->bigEndian), size));
  char tag[kOpen.size()];
  if (!file.Read(at, tag, kOpen.size()) || std::string_view(tag, kOpen.size()) != kOpen) return {};
  at += static_cast<std::int64_t>(kOpen.size());
  std::vector<char> fields(kTable.size() + 4 + static_cast<std::size_t>(nameSize));
  while (file.Read(at, fields.data(), fields.size()) && std::string_view(fields.data(), kTable.size()) == kTable) {
    const auto length = static_cast<std::int64_t>(
        Unsigned(reinterpret_cast<const unsigned char*>(fields.data() + kTable.size()), 4, h->bigEndian));
    const std::string name(fields.data() + kTable.size() + 4,
                           ::strnlen(fields.data() + kTable.size() + 4, static_cast<std::size_t>(nameSize)));
    const std::int64_t table = at + static_cast<std::int64_t>(fields.size()) + 3;
    if (length > size - table) {
      damaged = true;
      return "the length of value-label set \"" + name + "\", " + std::to_string(length) +
             " bytes, runs past the file's end";
    }
    if (length > kReadStatMostBytes) {
      return "value-label set \"" + name + "\" takes " + std::to_string(length) +
             " bytes, more than the 16 MiB ReadStat reads in one set: shorten its labels, or drop the set in "
             "Stata (label drop " +
             name + ") and save the file again, to read it here";
    }
    at = table + length + static_cast<std::int64_t>(kClose.size());
  }
  return {};
}

std::int64_t StataCaseCutIn(const std::string& path) {
  const std::optional<StataRows> rows = ReadStataRows(path);
  struct stat facts {};
  if (!rows || ::stat(path.c_str(), &facts) != 0 || facts.st_size < rows->dataStart) return 0;
  const std::int64_t whole = (facts.st_size - rows->dataStart) / rows->rowLength;
  return whole < rows->rows ? whole + 1 : 0;
}

std::shared_ptr<const StrlRewrite> PlanStrlRewrite(const std::string& path) {
  const std::optional<StataRows> rows = ReadStataRows(path);
  if (!rows || rows->release != 119 || rows->strlColumns.empty()) return nullptr;
  File file(path);
  auto rewrite = std::make_shared<StrlRewrite>();
  rewrite->bigEndian = rows->bigEndian;
  rewrite->dataStart = rows->dataStart;
  rewrite->rowLength = rows->rowLength;
  rewrite->rows = rows->rows;
  rewrite->columns = rows->strlColumns;
  const bool wide = rows->strlPastShort;

  // The string records: "GSO", v (4 bytes), o (8), type (1), length (4), bytes.
  std::set<std::pair<std::uint64_t, std::uint64_t>> records;
  std::int64_t at = rows->strlsStart;
  unsigned char record[20];
  while (file.Read(at, record, sizeof record) && std::memcmp(record, "GSO", 3) == 0) {
    const std::uint64_t v = Unsigned(record + 3, 4, rewrite->bigEndian);
    if (records.size() < kSample) records.emplace(v, Unsigned(record + 7, 8, rewrite->bigEndian));
    if (v > 0xFFFF) rewrite->wideRecords.push_back(at + 3);
    if (!wide && records.size() >= kSample) break;
    at += 20 + static_cast<std::int64_t>(Unsigned(record + 16, 4, rewrite->bigEndian));
  }
  // Which layout the references follow: the one whose (v, o) name records.
  std::size_t as119 = 0, as118 = 0, seen = 0, reads = 0;
  for (std::int64_t row = 0; row < rewrite->rows && seen < kSample && reads < kMostReads; ++row) {
    for (const std::int64_t column : rewrite->columns) {
      unsigned char ref[8];
      if (++reads > kMostReads || !file.Read(rewrite->dataStart + row * rewrite->rowLength + column, ref, sizeof ref)) {
        reads = kMostReads;
        break;
      }
      const std::uint64_t x = Unsigned(ref, 8, rewrite->bigEndian);
      if (x == 0) continue;  // an empty string
      ++seen;
      as119 += records.count({x & 0xFFFFFF, x >> 24});
      as118 += records.count({x & 0xFFFF, x >> 16});
    }
  }
  if (as119 <= as118) return nullptr;
  return rewrite;
}

namespace {

// Rewrites the n-byte field at offset where it overlaps the bytes read.
template <typename Rewrite>
void Patch(int fd, std::int64_t offset, std::size_t n, std::int64_t position, char* bytes, std::size_t size,
           Rewrite rewrite) {
  const std::int64_t end = position + static_cast<std::int64_t>(size);
  if (offset + static_cast<std::int64_t>(n) <= position || offset >= end) return;
  unsigned char field[16];
  if (offset >= position && offset + static_cast<std::int64_t>(n) <= end) {
    std::memcpy(field, bytes + (offset - position), n);
  } else if (::pread(fd, field, n, offset) != static_cast<ssize_t>(n)) {
    return;  // the file ends inside it: ReadStat finds that out
  }
  rewrite(field);
  const std::int64_t from = std::max(offset, position);
  const std::int64_t to = std::min(offset + static_cast<std::int64_t>(n), end);
  std::memcpy(bytes + (from - position), field + (from - offset), static_cast<std::size_t>(to - from));
}

}  // namespace

void ApplyStrlRewrite(const StrlRewrite& rewrite, int fd, std::int64_t position, char* bytes, std::size_t size) {
  const bool big = rewrite.bigEndian;
  const std::int64_t end = position + static_cast<std::int64_t>(size);
  const std::int64_t dataEnd = rewrite.dataStart + rewrite.rows * rewrite.rowLength;
  const std::int64_t from = std::max(position, rewrite.dataStart), to = std::min(end, dataEnd);
  if (from < to && rewrite.rowLength > 0) {
    for (std::int64_t row = (from - rewrite.dataStart) / rewrite.rowLength;
         row <= (to - 1 - rewrite.dataStart) / rewrite.rowLength; ++row) {
      for (const std::int64_t column : rewrite.columns) {
        Patch(fd, rewrite.dataStart + row * rewrite.rowLength + column, 8, position, bytes, size,
              [big](unsigned char* f) { Store(ReferenceAs118(Unsigned(f, 8, big)), f, 8, big); });
      }
    }
  }
  const auto first = std::lower_bound(rewrite.wideRecords.begin(), rewrite.wideRecords.end(), position - 11);
  for (auto at = first; at != rewrite.wideRecords.end() && *at < end; ++at) {
    Patch(fd, *at, 12, position, bytes, size, [big](unsigned char* f) {
      auto v = static_cast<std::uint32_t>(Unsigned(f, 4, big));
      std::uint64_t o = Unsigned(f + 4, 8, big);
      RecordAs118(v, o);
      Store(v, f, 4, big);
      Store(o, f + 4, 8, big);
    });
  }
}

}  // namespace host::foreign
