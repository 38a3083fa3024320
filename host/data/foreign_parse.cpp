#include "host/data/foreign_parse.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>

#include <sys/stat.h>
#include <unistd.h>

#include "host/data/foreign_bytes.h"
#include "host/data/foreign_formats.h"

namespace host::foreign {
namespace {

void OnError(const char* message, void* ctx) {
  std::string& detail = Context(ctx).detail;
  if (!detail.empty() || message == nullptr) return;  // the first is the cause
  detail = message;
  while (!detail.empty() &&
         (detail.back() == '\n' || detail.back() == '\r' || detail.back() == ' ' || detail.back() == '.')) {
    detail.pop_back();
  }
}

int OpenFile(const char* path, void* io) {
  auto& f = *static_cast<BufferedFile*>(io);
  f.file = std::fopen(path, "rb");
  if (f.file == nullptr) return -1;
  std::setvbuf(f.file, f.buffer.data(), _IOFBF, f.buffer.size());
  struct stat facts {};
  f.size = ::fstat(::fileno(f.file), &facts) == 0 ? facts.st_size : 0;
  f.position = 0;
  if (f.view.head && ::fseeko(f.file, f.view.headEnd, SEEK_SET) != 0) return -1;
  return 0;
}

int CloseFile(void* io) {
  auto& f = *static_cast<BufferedFile*>(io);
  const int status = f.file != nullptr ? std::fclose(f.file) : 0;
  f.file = nullptr;
  return status;
}

readstat_off_t SeekFile(readstat_off_t offset, readstat_io_flags_t whence, void* io) {
  auto& f = *static_cast<BufferedFile*>(io);
  if (f.file == nullptr) return -1;
  std::int64_t target = offset;
  if (whence == READSTAT_SEEK_CUR) target += f.position;
  if (whence == READSTAT_SEEK_END) target += f.view.End(f.size) + f.view.Shift();
  if (target < 0) return -1;
  const std::int64_t inFile = target < f.view.HeadSize() ? f.view.headEnd : target - f.view.Shift();
  if (::fseeko(f.file, inFile, SEEK_SET) != 0) return -1;
  f.position = target;
  return f.position;
}

ssize_t ReadFile(void* buffer, size_t bytes, void* io) {
  auto& f = *static_cast<BufferedFile*>(io);
  if (f.file == nullptr) return -1;
  if (f.view.end >= 0 && !f.view.tail) {
    bytes =
        static_cast<size_t>(std::clamp<std::int64_t>(f.view.end + f.view.Shift() - f.position, 0, std::int64_t(bytes)));
  }
  auto* out = static_cast<char*>(buffer);
  std::size_t fromHead = 0;
  if (f.position < f.view.HeadSize()) {
    fromHead = std::min<std::size_t>(bytes, static_cast<std::size_t>(f.view.HeadSize() - f.position));
    std::memcpy(out, f.view.head->data() + f.position, fromHead);
  }
  std::size_t want = bytes - fromHead;
  // The bytes before the tail come from the file, the rest from the tail.
  const std::int64_t next = f.position + static_cast<std::int64_t>(fromHead) - f.view.Shift();  // in the file
  std::size_t fromTail = 0;
  if (f.view.tail && next + static_cast<std::int64_t>(want) > f.view.tailAt) {
    const std::int64_t before = std::max<std::int64_t>(0, f.view.tailAt - next);
    fromTail = want - static_cast<std::size_t>(before);
    want = static_cast<std::size_t>(before);
  }
  const std::size_t read = want == 0 ? 0 : std::fread(out + fromHead, 1, want, f.file);
  if (fromTail > 0 && read == want) {
    // What the tail holds of the rest; a read past its end gets less, as
    // one past a file's end does.
    const auto at = static_cast<std::size_t>(next + static_cast<std::int64_t>(read) - f.view.tailAt);
    fromTail = std::min(fromTail, f.view.tail->size() - std::min(at, f.view.tail->size()));
    std::memcpy(out + fromHead + read, f.view.tail->data() + std::min(at, f.view.tail->size()), fromTail);
  } else {
    fromTail = 0;
  }
  const std::size_t got = fromHead + read + fromTail;
  if (f.view.strls && read > 0) {
    ApplyStrlRewrite(*f.view.strls, ::fileno(f.file), f.position + std::int64_t(fromHead) - f.view.Shift(),
                     out + fromHead, read);
  }
  if (f.view.strlRecords) {
    // ReadStat reads a strL record's "GSO", then v, o, its type and its
    // length at once (13 bytes in release 117, 17 from 118), then the value.
    // It refuses a binary record (129), and takes a text one's (130) value
    // to end with a NUL, reading on past it where it does not. A binary
    // value that ends with a NUL is shown as text; a text value that does
    // not is not handed over at all (the read fails) rather than read
    // beyond its end. (An empty value has no record.) Any other binary
    // value is left for ReadStat to refuse; its place is noted for the message.
    if (f.textValue > 0 && got == f.textValue && out[got - 1] != '\0') {
      f.unendedStrl = true;
      f.textValue = 0;
      return -1;
    }
    f.textValue = 0;
    const bool recordHead = f.afterGso && (got == 13 || got == 17);
    const auto type = recordHead ? static_cast<unsigned char>(out[got - 5]) : 0;
    if (type == 129 || type == 130) {
      const auto* n = reinterpret_cast<const unsigned char*>(out + got - 4);
      std::uint32_t length = 0;
      for (int i = 0; i < 4; ++i) length = length << 8 | n[f.view.bigEndian ? i : 3 - i];
      // A length past the file's end is damage (or a record written in the
      // other byte order, as pandas 1.5 writes them into a big-endian file):
      // ReadStat would first try to allocate that much.
      const std::int64_t value = f.position + static_cast<std::int64_t>(got) - f.view.Shift();  // in the file
      if (static_cast<std::int64_t>(length) > f.size - value) {
        f.strlPastEnd = length;
        return -1;
      }
      const auto field = [&](std::size_t at, std::size_t size) {
        std::uint64_t x = 0;
        for (std::size_t i = 0; i < size; ++i) {
          x = x << 8 | static_cast<unsigned char>(out[at + (f.view.bigEndian ? i : size - 1 - i)]);
        }
        return x;
      };
      // ReadStat would ask for the whole value at once, and say no more than
      // that memory ran out.
      if (static_cast<std::int64_t>(length) > kReadStatMostBytes) {
        f.strlTooLong = length;
        f.longVariable = field(0, 4);
        f.longCase = field(4, got - 9);  // o: 4 bytes in 117, 8 from 118
        return -1;
      }
      if (type == 130) {
        f.textValue = length;
      } else if (length > 0) {  // rare: a look at the value's last byte
        unsigned char last = 1;
        const bool read = ::pread(::fileno(f.file), &last, 1, value + length - 1) == 1;
        if (read && last == 0) {
          out[got - 5] = static_cast<char>(130);
        } else if (read && f.binaryVariable == 0) {
          f.binaryVariable = field(0, 4);
          f.binaryCase = field(4, got - 9);  // o: 4 bytes in 117, 8 from 118
        }
      }
    }
    f.afterGso = got == 3 && std::memcmp(out, "GSO", 3) == 0;
  }
  f.position += static_cast<std::int64_t>(got);
  if (got < bytes && std::ferror(f.file) != 0) return -1;
  if (got > 0 && got < bytes) f.endedInsideRead = true;
  f.askedAtEnd = got == 0 ? bytes : 0;
  return static_cast<ssize_t>(got);
}

readstat_error_t UpdateFile(long, readstat_progress_handler, void*, void*) { return READSTAT_OK; }

// A transport file is a sequence of 80-byte records, its last case padded
// with blanks to the end of one; ReadStat reads what it finds of a last case
// cut short and takes the rest for padding.
bool WholeRecords(const std::string& path) {
  struct stat facts {};
  return ::stat(path.c_str(), &facts) != 0 || facts.st_size % 80 == 0;
}

constexpr std::string_view kPadding("\n\r\t \0\x1a", 6);

bool IsPadding(std::string_view bytes) { return bytes.find_first_not_of(kPadding) == std::string_view::npos; }

// The file's bytes from `from` to its end, when there are at most `most`.
std::optional<std::string> Tail(const std::string& path, std::int64_t from, std::int64_t most) {
  File file(path);
  struct stat facts {};
  if (file.f == nullptr || ::fstat(::fileno(file.f), &facts) != 0 || from > facts.st_size ||
      facts.st_size - from > most) {
    return std::nullopt;
  }
  std::string tail(static_cast<std::size_t>(facts.st_size - from), '\0');
  if (!file.Read(from, tail.data(), tail.size())) return std::nullopt;
  return tail;
}

// A Stata file of release 117 or later is framed by <stata_dta> ...
// </stata_dta>; ReadStat does not look for the closing tag, and a file cut
// within its value labels reads as one without them. Blank lines, NULs or
// Ctrl-Z after the tag (text tools and old transfers add them) are padding.
bool LacksClosingTag(const std::string& path) {
  static constexpr std::string_view kOpen = "<stata_dta>", kClose = "</stata_dta>";
  static constexpr std::size_t kTail = 512;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;  // ReadStat read it; nothing more to say
  char head[kOpen.size()] = {};
  bool lacks = false;
  if (std::fread(head, 1, sizeof head, file) == sizeof head && std::string_view(head, sizeof head) == kOpen) {
    std::string tail(kTail, '\0');
    const off_t size = ::fseeko(file, 0, SEEK_END) == 0 ? ::ftello(file) : -1;
    const off_t from = std::max<off_t>(0, size - static_cast<off_t>(kTail));
    tail.resize(size >= 0 && ::fseeko(file, from, SEEK_SET) == 0 ? std::fread(tail.data(), 1, tail.size(), file) : 0);
    const std::size_t end = tail.find_last_not_of(kPadding);
    lacks = end == std::string::npos || !std::string_view(tail).substr(0, end + 1).ends_with(kClose);
  }
  std::fclose(file);
  return lacks;
}

// What a SAS data file's first bytes say of its layout: the width of its
// offsets and counts, its byte order, and its size (a header of its own
// length, then pages of one size).
struct SasLayout {
  bool wide = false;  // 64-bit offsets and counts
  bool little = true;
  std::uint64_t header = 0, page = 0, pages = 0;
  std::uint64_t Number(const unsigned char* bytes, std::size_t size) const {
    std::uint64_t n = 0;
    for (std::size_t i = 0; i < size; ++i) n = n << 8 | bytes[little ? size - 1 - i : i];
    return n;
  }
};

// Reads the first 216 bytes, where the sizes end; false when the file is shorter.
bool ReadSasLayout(std::FILE* file, SasLayout& layout) {
  unsigned char h[216] = {};
  if (std::fread(h, 1, sizeof h, file) != sizeof h) return false;
  layout.wide = h[32] == 0x33;
  layout.little = h[37] == 0x01;
  const std::size_t at = h[35] == 0x33 ? 200 : 196;  // four bytes of alignment before the sizes
  layout.header = layout.Number(h + at, 4);
  layout.page = layout.Number(h + at + 4, 4);
  layout.pages = layout.Number(h + at + 8, layout.wide ? 8 : 4);
  return true;
}

// A SAS data file's or catalog's header gives its size. ReadStat says no more of a file
// cut short than that it could not read it; "" when the file is not short
// of that size.
std::string SasShortfall(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return {};
  SasLayout sas;
  const bool whole = ReadSasLayout(file, sas);
  struct stat facts {};
  const bool sized = ::fstat(::fileno(file), &facts) == 0;
  std::fclose(file);
  if (!sized) return {};
  if (!whole) {
    return "the file has " + std::to_string(facts.st_size) +
           " bytes, too few for the header of a SAS file: it is cut short";
  }
  if (sas.page == 0 || sas.pages > (std::uint64_t{1} << 40) / sas.page) return {};
  const std::uint64_t promised = sas.header + sas.page * sas.pages;
  const auto size = static_cast<std::uint64_t>(facts.st_size);
  if (size >= promised) return {};
  return "the file has " + std::to_string(size) + " bytes where its header promises " + std::to_string(promised) +
         ", a header of " + std::to_string(sas.header) + " and " + std::to_string(sas.pages) + " pages of " +
         std::to_string(sas.page) + ": it is cut short";
}

}  // namespace

Parser::Parser() : p(readstat_parser_init()) {
  readstat_set_open_handler(p, OpenFile);
  readstat_set_close_handler(p, CloseFile);
  readstat_set_seek_handler(p, SeekFile);
  readstat_set_read_handler(p, ReadFile);
  readstat_set_update_handler(p, UpdateFile);
  readstat_set_io_ctx(p, &fIo);
}

Parser::~Parser() {
  readstat_parser_free(p);
  CloseFile(&fIo);
}

void Prepare(Parser& parser, const std::string& encoding, FileView view) {
  readstat_set_error_handler(parser.p, OnError);
  parser.encoding = encoding;
  if (!parser.encoding.empty()) readstat_set_file_character_encoding(parser.p, parser.encoding.c_str());
  parser.SetView(std::move(view));
}

TransportMembers ScanTransport(const std::string& path, std::size_t chosen) {
  static constexpr std::string_view kHeader = "HEADER RECORD*******";
  static constexpr std::size_t kRecord = 80;
  TransportMembers members;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return members;  // ReadStat's parse will say why
  std::vector<char> buffer(kRecord << 13);
  std::int64_t offset = 0;
  std::int64_t nameRecord = -1;  // the record that holds the member's name
  bool v8 = false;
  bool inCases = false;  // past the current member's OBS header
  std::size_t got = 0;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), file)) >= kRecord) {
    for (std::size_t at = 0; at + kRecord <= got; at += kRecord, offset += kRecord) {
      const std::string_view record(buffer.data() + at, kRecord);
      if (offset == nameRecord) {
        const std::string_view name = record.substr(8, v8 ? 32 : 8);
        members.names.emplace_back(name.substr(0, name.find_last_not_of(' ') + 1));
        continue;
      }
      if (record.substr(0, kHeader.size()) != kHeader) {
        if (inCases && members.names.size() == chosen + 1) members.hasCases = true;
        continue;
      }
      const std::string_view what = record.substr(kHeader.size(), 8);
      if ((what == "MEMBER  " || what == "MEMBV8  ") && (members.names.empty() || inCases)) {
        members.starts.push_back(offset);
        v8 = what == "MEMBV8  ";
        nameRecord = offset + 2 * static_cast<std::int64_t>(kRecord);  // after the descriptor's header
        inCases = false;
      } else if ((what == "NAMESTR " || what == "NAMSTV8 ") && members.names.size() == chosen + 1 &&
                 members.variables < 0) {
        // The header's count of variables: ten digits.
        const std::string_view count = record.substr(48, 10);
        std::int64_t n = 0;
        const auto [end, error] = std::from_chars(count.data(), count.data() + count.size(), n);
        if (error == std::errc() && end == count.data() + count.size()) members.variables = n;
      } else if (what == "OBS     " || what == "OBSV8   ") {
        inCases = true;
        if (members.names.size() == chosen + 1) members.hasCases = false;
      } else if (inCases && members.names.size() == chosen + 1) {
        members.hasCases = true;
      }
    }
    if (got < buffer.size()) break;
  }
  std::fclose(file);
  return members;
}

void WidenTransportNamestrs(const std::string& path, FileView& view) {
  static constexpr std::string_view kHeader = "HEADER RECORD*******";
  static constexpr std::size_t kRecord = 80, kWide = 140;
  static constexpr std::size_t kFields = 88;  // a description's fields end with its position in a case
  const auto digits = [](std::string_view text, std::size_t& n) {
    n = 0;
    for (const char c : text) {
      if (c < '0' || c > '9') return false;
      n = n * 10 + static_cast<std::size_t>(c - '0');
    }
    return true;
  };
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return;  // ReadStat's parse will say why
  // The library header, the member's headers and its NAMESTR header: a few records.
  std::string head;
  std::size_t member = std::string::npos, length = kWide, count = 0;
  char record[kRecord];
  while (head.size() < 16 * kRecord && std::fread(record, 1, kRecord, file) == kRecord) {
    const std::string_view r(record, kRecord);
    head.append(r);
    if (r.substr(0, kHeader.size()) != kHeader) continue;
    const std::string_view what = r.substr(kHeader.size(), 8);
    if (what == "MEMBER  " || what == "MEMBV8  ") {
      member = head.size() - kRecord;
      if (!digits(r.substr(74, 4), length)) length = kWide;
    } else if ((what == "NAMESTR " || what == "NAMSTV8 ") && member != std::string::npos) {
      if (!digits(r.substr(48, 10), count)) count = 0;
      break;
    }
  }
  // A length too short to hold a description is no length a writer meant:
  // ReadStat reads such a file as it would without the rewrite.
  if (member == std::string::npos || length == kWide || length < kFields || length > 4 * kWide || count == 0 ||
      count > (std::size_t{1} << 20)) {
    std::fclose(file);
    return;
  }
  std::string described(count * length, '\0');
  const std::size_t got = std::fread(described.data(), 1, described.size(), file);
  std::fclose(file);
  if (got != described.size()) return;  // cut short: ReadStat's parse will say so
  const std::int64_t end =
      static_cast<std::int64_t>(head.size() + (described.size() + kRecord - 1) / kRecord * kRecord);
  head.replace(member + 74, 4, "0140");
  for (std::size_t i = 0; i < count; ++i) {
    head.append(described, i * length, std::min(length, kWide));
    head.append(kWide - std::min(length, kWide), '\0');
  }
  head.append((kRecord - head.size() % kRecord) % kRecord, ' ');
  view.head = std::make_shared<const std::string>(std::move(head));
  view.headEnd = end;
}

void EndBeforeTransportPadding(const std::string& path, FileView& view) {
  static constexpr std::int64_t kRecord = 80;
  struct stat facts {};
  if (view.end >= 0 || ::stat(path.c_str(), &facts) != 0 || facts.st_size % kRecord == 0) return;
  const std::int64_t whole = facts.st_size - facts.st_size % kRecord;
  if (const std::optional<std::string> tail = Tail(path, whole, kRecord); tail && IsPadding(*tail)) view.end = whole;
}

// Releases 108 to 115 lay a file out as: a header of 109 bytes; per
// variable its type, name, sort entry, format, label set name and label;
// the expansion fields up to an empty one; the rows; then the value-label
// tables to the file's end, each a length, a name, 3 bytes of padding and
// that many bytes. Release 108 gives names 9 bytes (33 from 110) and an
// expansion field's length 2 bytes (4 from 110). (The older releases are
// left as ReadStat reads them.)
void ShowOldStataTables(const std::string& path, FileView& view) {
  static constexpr std::int64_t kMostPadding = 1 << 16;
  static constexpr std::int64_t kMostTables = std::int64_t{1} << 26;  // ReadStat holds none past 16 MiB
  File file(path);
  if (file.f == nullptr) return;  // ReadStat's parse will say why
  struct stat facts {};
  const std::int64_t size = ::fstat(::fileno(file.f), &facts) == 0 ? facts.st_size : 0;
  unsigned char h[10] = {};
  const bool headed = file.Read(0, h, sizeof h);
  const int release = h[0];
  const bool big = h[1] == 1;
  if (!headed || release < 108 || release > 115 || release == 109 || (h[1] != 1 && h[1] != 2)) return;
  const auto number = [big](const unsigned char* b, std::size_t n) { return Unsigned(b, n, big); };
  const auto read = [&](std::int64_t at, unsigned char* into, std::size_t n) { return file.Read(at, into, n); };
  const std::int64_t name = release >= 110 ? 33 : 9, lengthField = release >= 110 ? 4 : 2;
  const auto vars = static_cast<std::int64_t>(number(h + 4, 2));
  const auto rows = static_cast<std::int64_t>(number(h + 6, 4));
  std::vector<unsigned char> types(static_cast<std::size_t>(vars));
  std::int64_t at = 109;
  std::int64_t rowLength = 0;
  bool known = read(at, types.data(), types.size());
  for (const unsigned char t : types) {
    if (release >= 111) {
      rowLength += t >= 1 && t <= 244 ? t : t == 251 ? 1 : t == 252 ? 2 : t == 253 || t == 254 ? 4 : t == 255 ? 8 : 0;
      known = known && (t >= 1 && t <= 244 ? true : t >= 251);
    } else {
      const int w = t > 0x7F ? t - 0x7F : t == 'b' ? 1 : t == 'i' ? 2 : t == 'l' || t == 'f' ? 4 : t == 'd' ? 8 : 0;
      rowLength += w;
      known = known && w > 0;
    }
  }
  at += vars * (1 + name + 2 + (release >= 114 ? 49 : 12) + name + 81) + 2;
  unsigned char field[5];
  bool fields = false;                                                                      // their end was found
  while (known && !fields && read(at, field, static_cast<std::size_t>(1 + lengthField))) {  // the expansion fields
    fields = field[0] == 0;
    at += 1 + lengthField + (fields ? 0 : static_cast<std::int64_t>(number(field + 1, lengthField)));
  }
  known = known && fields;
  at += rows * rowLength;
  if (!known || at > size) return;
  const std::int64_t tables = at, head = 4 + name + 3;  // a table's length, name and padding
  unsigned char table[4];
  while (at < size && read(at, table, sizeof table)) {  // the value-label tables
    const auto length = static_cast<std::int64_t>(number(table, 4));
    if (length < 8 || length > size - at - head) break;
    at += head + length;
  }
  const std::optional<std::string> rest = Tail(path, at, kMostPadding);
  const bool padded = at < size && rest && IsPadding(*rest);
  // Only where a whole table was found there: were the layout read wrong,
  // the view would change the rows instead.
  if (release == 108 && at > tables && size - tables <= kMostTables) {
    std::optional<std::string> bytes = Tail(path, tables, kMostTables);
    if (!bytes) return;
    if (padded) bytes->resize(static_cast<std::size_t>(at - tables));
    std::string wide;
    wide.reserve(bytes->size() + bytes->size() / 4);
    std::size_t from = 0;
    while (from < bytes->size()) {
      if (bytes->size() - from < static_cast<std::size_t>(head)) {
        wide.append(*bytes, from);  // a table cut within its name: ReadStat says the file is cut
        break;
      }
      const auto length = static_cast<std::size_t>(number(reinterpret_cast<const unsigned char*>(&(*bytes)[from]), 4));
      wide.append(*bytes, from, 4 + 9);
      wide.append(33 - 9, '\0');
      const std::size_t body = std::min(length + 3, bytes->size() - from - 13);
      wide.append(*bytes, from + 13, body);
      from += 13 + body;
    }
    view.tail = std::make_shared<const std::string>(std::move(wide));
    view.tailAt = tables;
    return;
  }
  if (padded && at <= size && size - at <= kMostPadding) view.end = at;
}

namespace {

// Shows `bytes` at `offset` of the file in the view's head, which is widened
// to reach past them. A head shown so is the file's first bytes, changed.
bool ShowBytes(const std::string& path, FileView& view, std::size_t offset, std::string_view bytes) {
  const std::size_t shown = view.head ? view.head->size() : 0;
  std::string head(std::max(offset + bytes.size(), shown), '\0');
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;  // ReadStat's parse will say why
  const bool whole = std::fread(head.data(), 1, head.size(), file) == head.size();
  std::fclose(file);
  if (!whole) return false;
  if (view.head) head.replace(0, shown, *view.head);
  head.replace(offset, bytes.size(), bytes);
  view.head = std::make_shared<const std::string>(std::move(head));
  view.headEnd = static_cast<std::int64_t>(view.head->size());
  return true;
}

}  // namespace

void HideSasEncoding(const std::string& path, FileView& view) {
  static constexpr std::size_t kEncoding = 70;  // the code's offset, the same in every layout
  unsigned char code = 0;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return;  // ReadStat's parse will say why
  const bool read = ::fseeko(file, kEncoding, SEEK_SET) == 0 && std::fread(&code, 1, 1, file) == 1;
  std::fclose(file);
  if (read && code != 0) ShowBytes(path, view, kEncoding, std::string_view("\0", 1));
}

void ShowSasRows(const std::string& path, FileView& view) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return;  // ReadStat's parse will say why
  SasLayout sas;
  const bool plausible = ReadSasLayout(file, sas) && sas.page > 0 && sas.page <= (std::uint64_t{1} << 24) &&
                         sas.header <= (std::uint64_t{1} << 20);
  // The first page: its header, then a pointer (offset, length, ...) per
  // subheader. Its row size subheader (F7F7F7F7) holds the number of cases.
  const std::size_t word = sas.wide ? 8 : 4, pageHead = sas.wide ? 40 : 24, pointer = sas.wide ? 24 : 12;
  std::vector<unsigned char> page(plausible ? sas.page : 0);
  const bool read = !page.empty() && ::fseeko(file, static_cast<off_t>(sas.header), SEEK_SET) == 0 &&
                    std::fread(page.data(), 1, page.size(), file) == page.size();
  std::fclose(file);
  if (!read || page.size() < pageHead) return;
  const std::uint64_t count = sas.Number(&page[pageHead - 4], 2);
  for (std::uint64_t i = 0; i < count && pageHead + (i + 1) * pointer <= page.size(); ++i) {
    const unsigned char* p = &page[pageHead + i * pointer];
    const std::uint64_t offset = sas.Number(p, word), length = sas.Number(p + word, word);
    static constexpr unsigned char kRowSize[4] = {0xF7, 0xF7, 0xF7, 0xF7};
    const std::size_t signature = sas.wide && !sas.little ? 4 : 0;  // big-endian: in the word's last four bytes
    const std::uint64_t rowsAt = offset + 6 * word;
    if (offset > page.size() || length < 7 * word || length > page.size() - offset ||
        std::memcmp(&page[offset + signature], kRowSize, 4) != 0) {
      continue;
    }
    if (sas.Number(&page[rowsAt], word) != 0) return;
    std::string one(word, '\0');
    one[sas.little ? 0 : word - 1] = 1;
    view.rowsRaised = ShowBytes(path, view, sas.header + rowsAt, one);
    return;
  }
}

namespace {

readstat_error_t Parse(Parser& parser, ForeignKind kind, const std::string& path, ParseContext* ctx) {
  switch (kind) {
    case ForeignKind::Stata:
      return readstat_parse_dta(parser.p, path.c_str(), ctx);
    case ForeignKind::Sas:
      return readstat_parse_sas7bdat(parser.p, path.c_str(), ctx);
    case ForeignKind::Transport:
      return readstat_parse_xport(parser.p, path.c_str(), ctx);
    case ForeignKind::SasCatalog:
      return readstat_parse_sas7bcat(parser.p, path.c_str(), ctx);
    case ForeignKind::None:
      break;
  }
  return READSTAT_ERROR_PARSE;
}

}  // namespace

readstat_error_t Run(Parser& parser, ForeignKind kind, const std::string& path, ParseContext* ctx) {
  if (ctx != nullptr) ctx->encoding = parser.encoding;
  const readstat_error_t error = Parse(parser, kind, path, ctx);
  if (error == READSTAT_ERROR_ROW_COUNT_MISMATCH && parser.View().rowsRaised) {
    if (ctx != nullptr) ctx->detail.clear();
    return READSTAT_OK;  // no case, as the file says
  }
  if (error != READSTAT_OK) {
    // A file short of the size its header gives is cut: that, not what
    // ReadStat met first, is the cause to name.
    if ((kind == ForeignKind::Sas || kind == ForeignKind::SasCatalog) && ctx != nullptr) {
      if (std::string shortfall = SasShortfall(path); !shortfall.empty()) {
        ctx->detail = std::move(shortfall);
      } else if (error == READSTAT_ERROR_ROW_COUNT_MISMATCH) {
        // A file of its full size that holds fewer cases than its header
        // says lacks them where ReadStat could not read a page, not after
        // the last it read.
        ctx->placeUnknown = true;
      }
    }
    if (const auto [variable, row] = parser.BinaryStrl(); variable > 0 && ctx != nullptr) {
      // ReadStat's refusal reads as if the file were damaged: it is not.
      ctx->detail = "the strL value of variable " + std::to_string(variable) + " in case " + std::to_string(row) +
                    " is binary (not text), which ReadStat does not read";
      ctx->whole = true;
    } else if (parser.UnendedStrl() && ctx != nullptr && ctx->detail.empty()) {
      ctx->detail = "a text strL value lacks the NUL that ends it";
    } else if (parser.StrlPastEnd() > 0 && ctx != nullptr && ctx->detail.empty()) {
      ctx->detail =
          "a strL value's length, " + std::to_string(parser.StrlPastEnd()) + " bytes, runs past the file's end";
    } else if (const auto [longVariable, longCase] = parser.LongStrl(); longVariable > 0 && ctx != nullptr) {
      // The file is whole: only ReadStat's limit stands in the way.
      ctx->detail = "the strL value of variable " + std::to_string(longVariable) + " in case " +
                    std::to_string(longCase) + " is " + std::to_string(parser.StrlTooLong()) +
                    " bytes long, more than the 16 MiB ReadStat reads; this program shows at most 32,767 bytes of "
                    "a value: shorten the longer ones in Stata (replace VAR = substr(VAR, 1, 32767)) and save the "
                    "file again, to read it here";
      ctx->whole = true;
    } else if (kind == ForeignKind::Stata && error == READSTAT_ERROR_MALLOC && ctx != nullptr) {
      bool damaged = false;
      if (std::string oversize = StataOversize(path, damaged); !oversize.empty()) {
        ctx->detail = std::move(oversize);
        ctx->whole = !damaged;
        ctx->sizeDamaged = damaged;
      }
    }
    return error;
  }
  const char* cut = nullptr;
  if (kind == ForeignKind::Stata && parser.EndedInsideRead()) {
    cut = "the file ends inside a record";
  } else if (kind == ForeignKind::Stata && LacksClosingTag(path)) {
    cut = "the file ends before its closing </stata_dta> tag";
  } else if (kind == ForeignKind::Transport && parser.View().end < 0 && !WholeRecords(path)) {
    cut = "the file ends inside an 80-byte record";
  }
  if (cut == nullptr) return READSTAT_OK;
  if (ctx != nullptr && ctx->detail.empty()) ctx->detail = cut;
  return READSTAT_ERROR_READ;
}

// "FILE, case N: cannot read this Stata data file (.dta): REASON (DETAIL)";
// failingCase 0 when the failure is not within a case.
std::string Failure(const std::string& display, ForeignKind kind, readstat_error_t error, const ParseContext& ctx,
                    std::int64_t failingCase) {
  std::string message = display;
  if (failingCase > 0) message += ", case " + std::to_string(failingCase);
  message += ": cannot read this " + ForeignKindText(kind).substr(2) + ": ";
  const char* reason = readstat_error_message(error);
  const std::string because = reason != nullptr ? reason : "unknown error";
  message += because;
  // ReadStat's own words, without its prefix and the C library's errno.
  std::string detail = ctx.detail;
  if (detail.rfind("ReadStat: ", 0) == 0) detail.erase(0, 10);
  if (const std::size_t cut = detail.find(" (retval"); cut != std::string::npos) detail.resize(cut);
  if (!detail.empty() && detail != because) message += " (" + foreign::TextAsUtf8(detail) + ")";
  if (error == READSTAT_ERROR_UNSUPPORTED_CHARSET || error == READSTAT_ERROR_CONVERT ||
      error == READSTAT_ERROR_CONVERT_BAD_STRING) {
    message += ctx.encoding.empty() ? ". Give the file's encoding with --encoding NAME (for example latin1 or cp1252)"
                                    : ". Its text is not in the encoding given, " + ctx.encoding +
                                          ": give the file's own with --encoding NAME (for example latin1 or cp1252)";
  } else if (kind == ForeignKind::SasCatalog && error == READSTAT_ERROR_MALLOC) {
    // A catalog is a few pages: ReadStat asks for memory by a size it read
    // from the file, so the size, not the memory, is what is wrong.
    message +=
        ", for a size read from the catalog itself: the catalog is damaged, or laid out in a way ReadStat does "
        "not read. Without it the data are read without their value labels (move it away, or leave out "
        "--catalog)";
  } else if (error == READSTAT_ERROR_MALLOC && !ctx.whole) {
    // ReadStat allocates by sizes read from the file, each at most 16 MiB:
    // a size it could not allocate is damage, or a part larger than that.
    message += ctx.sizeDamaged ? ". The file is damaged"
                               : ", for a size read from the file itself: the file is damaged, or holds a part "
                                 "larger than the 16 MiB ReadStat reads at once";
  } else if (!ctx.whole && (error == READSTAT_ERROR_READ || error == READSTAT_ERROR_SEEK ||
                            error == READSTAT_ERROR_PARSE || error == READSTAT_ERROR_ROW_COUNT_MISMATCH)) {
    message += ". The file is damaged or incomplete";
  }
  return message;
}

// The case a parse failed in (1-based): the one after the last case whose
// values came, when the failure came after the dictionary and before the
// end of the cases; 0 otherwise.
std::int64_t FailingCase(const ParseContext& ctx, std::int64_t rows) {
  if (!ctx.inCases || ctx.caseIndex < 0 || ctx.placeUnknown) return 0;  // not known to be within a case
  const std::int64_t n = ctx.caseIndex + 2;
  return rows >= 0 && n > rows ? 0 : n;
}

int OnCountVariable(int index, readstat_variable_t*, const char*, void* ctx) {
  Context(ctx).inCases = true;
  return index == 0 ? READSTAT_HANDLER_OK : READSTAT_HANDLER_SKIP_VARIABLE;
}

int OnCountValue(int obs, readstat_variable_t*, readstat_value_t, void* ctx) {
  Context(ctx).caseIndex = std::max<std::int64_t>(Context(ctx).caseIndex, obs);
  return READSTAT_HANDLER_OK;
}

}  // namespace host::foreign
