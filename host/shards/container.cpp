#include "host/shards/container.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "host/dataset.h"
#include "host/shards/shards.h"
#include "host/shards/wire.h"

namespace host::shards {

namespace {

// Eight bytes that no text file starts with and that a transfer in text mode
// would change (the line ends and the ^Z).
constexpr char kMagic[8] = {'\x89', 'C', 'B', 'K', '\r', '\n', '\x1a', '\n'};
// A record longer than this is damage, not data (a block's states are tens
// of megabytes at most).
constexpr std::uint64_t kMaxRecord = std::uint64_t{1} << 36;

std::uint32_t Crc(std::uint32_t tag, std::uint64_t length, std::string_view payload) {
  wire::Writer head;
  head.U32(tag);
  head.U64(length);
  uLong crc = crc32(0L, Z_NULL, 0);
  crc = crc32(crc, reinterpret_cast<const Bytef*>(head.Buffer().data()), static_cast<uInt>(head.Size()));
  // zlib takes at most 4 GiB at a time.
  std::size_t done = 0;
  while (done < payload.size()) {
    const std::size_t n = std::min<std::size_t>(payload.size() - done, std::size_t{1} << 30);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(payload.data() + done), static_cast<uInt>(n));
    done += n;
  }
  return static_cast<std::uint32_t>(crc);
}

}  // namespace

const char* KindText(FileKind kind) { return kind == FileKind::Plan ? "plan" : "partial state"; }

RecordWriter::RecordWriter(std::ostream& out, FileKind kind) : fOut(out), fDigesting(kind == FileKind::Plan) {
  wire::Writer head;
  head.Buffer().append(kMagic, sizeof kMagic);
  head.U32(kFormatVersion);
  head.U32(static_cast<std::uint32_t>(kind));
  Put(head.Buffer());
}

void RecordWriter::Put(std::string_view bytes) {
  if (fDigesting) fDigest.Add(bytes);
  fOut.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void RecordWriter::Write(Tag tag, std::string_view payload) {
  wire::Writer head;
  head.U32(static_cast<std::uint32_t>(tag));
  head.U64(payload.size());
  Put(head.Buffer());
  Put(payload);
  wire::Writer tail;
  tail.U32(Crc(static_cast<std::uint32_t>(tag), payload.size(), payload));
  Put(tail.Buffer());
  ++fRecords;
}

void RecordWriter::Finish() {
  wire::Writer count;
  count.U64(fRecords);
  Write(Tag::End, count.Buffer());
}

RecordReader::RecordReader(const std::string& path, FileKind kind) : fPath(path), fDigesting(kind == FileKind::Plan) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) throw InputError(path + ": is a folder, not a " + KindText(kind));
  fIn.open(path, std::ios::binary);
  if (!fIn) {
    throw InputError(path + ": cannot open the " + std::string(KindText(kind)) + " (" + std::strerror(errno) + ")");
  }
  fIn.seekg(0, std::ios::end);
  fLeft = static_cast<std::uint64_t>(std::max<std::streamoff>(fIn.tellg(), 0));
  fIn.seekg(0, std::ios::beg);
  char head[16];
  fIn.read(head, sizeof head);
  const bool whole = fIn.gcount() == static_cast<std::streamsize>(sizeof head);
  if (!whole || std::memcmp(head, kMagic, sizeof kMagic) != 0) {
    throw InputError(path + ": not a " + KindText(kind) + " written by codebook" +
                     (kind == FileKind::Plan ? " --write-plan" : " --run-plan"));
  }
  if (fDigesting) fDigest.Add(std::string_view(head, sizeof head));
  fLeft -= sizeof head;
  wire::Reader r(std::string_view(head + 8, 8));
  const std::uint32_t version = r.U32();
  const std::uint32_t found = r.U32();
  if (found != static_cast<std::uint32_t>(kind)) {
    const FileKind other = found == static_cast<std::uint32_t>(FileKind::Plan) ? FileKind::Plan : FileKind::State;
    throw InputError(path + ": is a " + KindText(other) + ", not a " + KindText(kind));
  }
  if (version != kFormatVersion) {
    throw InputError(path + ": the " + KindText(kind) + " has format version " + std::to_string(version) +
                     "; this program reads version " + std::to_string(kFormatVersion) +
                     ". Write the plan and the partial states again with this program");
  }
}

void RecordReader::Damaged(const std::string& what) const {
  throw InputError(fPath + ": the file is damaged (" + what + "); make it again");
}

void RecordReader::Get(char* data, std::size_t size, const char* what) {
  fIn.read(data, static_cast<std::streamsize>(size));
  if (fIn.gcount() != static_cast<std::streamsize>(size)) {
    Damaged(std::string("it ends in the middle of a ") + what);
  }
  if (fDigesting) fDigest.Add(std::string_view(data, size));
  fLeft -= size;
}

bool RecordReader::NextTag(Tag& tag) {
  if (fEnded) return false;
  if (fIn.peek() == std::char_traits<char>::eof()) {
    Damaged("it ends after " + std::to_string(fRecords) + " records, without its end record");
  }
  char head[12];
  Get(head, sizeof head, "record");
  wire::Reader r(std::string_view(head, sizeof head));
  fTag = r.U32();
  fLength = r.U64();
  if (fLength > kMaxRecord || fLength + 4 > fLeft) {
    Damaged("record " + std::to_string(fRecords + 1) + " claims " + std::to_string(fLength) +
            " bytes, more than the "
            "file has left");
  }
  tag = static_cast<Tag>(fTag);
  if (tag != Tag::End) {
    ++fRecords;
    return true;
  }
  std::string payload;
  Payload(payload);
  wire::Reader count(payload);
  std::uint64_t n = 0;
  try {
    n = count.U64();
    count.ExpectEnd();
  } catch (const wire::Damaged&) {
    Damaged("the end record is malformed");
  }
  if (n != fRecords)
    Damaged("the end record counts " + std::to_string(n) + " records, the file has " + std::to_string(fRecords));
  if (fIn.peek() != std::char_traits<char>::eof()) Damaged("bytes follow the end record");
  fEnded = true;
  return false;
}

void RecordReader::Payload(std::string& payload) {
  payload.resize(static_cast<std::size_t>(fLength));
  Get(payload.data(), payload.size(), "record");
  char crcBytes[4];
  Get(crcBytes, sizeof crcBytes, "record");
  if (wire::Reader(std::string_view(crcBytes, 4)).U32() != Crc(fTag, fLength, payload)) {
    Damaged("record " + std::to_string(fRecords) + " fails its checksum");
  }
}

void RecordReader::SkipPayload() {
  if (fDigesting) {  // a plan's digest covers every byte
    std::string payload;
    Payload(payload);
    return;
  }
  fIn.seekg(static_cast<std::streamoff>(fLength + 4), std::ios::cur);
  fLeft -= fLength + 4;
}

bool RecordReader::Next(Tag& tag, std::string& payload) {
  if (!NextTag(tag)) return false;
  Payload(payload);
  return true;
}

int KindOfRunFile(const std::string& path) {
  // Only a regular file is opened: opening a device may act on it, and a
  // pipe's other end would take us for its reader.
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return 0;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return 0;
  char head[16];
  const bool read = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                    ::read(fd, head, sizeof head) == static_cast<ssize_t>(sizeof head);
  ::close(fd);
  if (!read || std::memcmp(head, kMagic, sizeof kMagic) != 0) return 0;
  wire::Reader r(std::string_view(head + 8, 8));
  r.U32();  // the version: a file of an older one is still a run's work
  const std::uint32_t kind = r.U32();
  return kind == static_cast<std::uint32_t>(FileKind::Plan) || kind == static_cast<std::uint32_t>(FileKind::State)
             ? static_cast<int>(kind)
             : 0;
}

}  // namespace host::shards
