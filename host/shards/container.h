// The file frame of plans and partial states (docs/scale-out.md): a header
// that says what the file is and which version of the format it has, then
// records, each with a tag, a length and a CRC-32, and an end record that
// counts them. A reader streams the records one at a time and turns every
// surprise into an InputError that names the file.
#pragma once

#include <cstdint>
#include <fstream>
#include <ostream>
#include <string>
#include <string_view>

namespace host::shards {

// What a file holds.
enum class FileKind : std::uint32_t { Plan = 1, State = 2 };

// The format version both kinds share; a reader accepts only its own.
inline constexpr std::uint32_t kFormatVersion = 6;

// Record tags.
enum class Tag : std::uint32_t {
  End = 0,
  // Plan.
  PlanHead = 1,
  Dictionary = 2,
  Source = 3,
  PassPlan = 4,
  Inputs = 5,
  // State.
  StateHead = 16,
  Block = 17,
  Tail = 18,
};

// A 64-bit FNV-1a digest, to tell plans apart (not a security measure).
class Digest {
 public:
  void Add(std::string_view bytes) {
    for (unsigned char c : bytes) {
      fValue ^= c;
      fValue *= 0x100000001b3ULL;
    }
  }
  std::uint64_t Value() const { return fValue; }

 private:
  std::uint64_t fValue = 0xcbf29ce484222325ULL;
};

// Writes the frame to a stream; a plan's digest covers every byte written.
class RecordWriter {
 public:
  RecordWriter(std::ostream& out, FileKind kind);
  void Write(Tag tag, std::string_view payload);
  // The end record; the file is complete after it.
  void Finish();
  std::uint64_t DigestValue() const { return fDigest.Value(); }

 private:
  void Put(std::string_view bytes);

  std::ostream& fOut;
  bool fDigesting;
  Digest fDigest;
  std::uint64_t fRecords = 0;
};

// Reads the frame of a file; throws InputError naming the file.
class RecordReader {
 public:
  RecordReader(const std::string& path, FileKind kind);
  // The next record, or false after the end record (which must be there).
  bool Next(Tag& tag, std::string& payload);
  // The next record's tag (false after the end record), then its payload
  // read and checked, or passed over unread.
  bool NextTag(Tag& tag);
  void Payload(std::string& payload);
  void SkipPayload();
  // Plans: the digest of every byte read so far (after the end: of the file).
  std::uint64_t DigestValue() const { return fDigest.Value(); }
  const std::string& Path() const { return fPath; }
  // "FILE: the file is damaged (WHAT)", for a problem in a record's payload.
  [[noreturn]] void Damaged(const std::string& what) const;

 private:
  void Get(char* data, std::size_t size, const char* what);

  std::uint32_t fTag = 0;  // of the record whose payload comes next
  std::uint64_t fLength = 0;
  std::string fPath;
  std::ifstream fIn;
  std::uint64_t fLeft = 0;  // bytes not read yet
  bool fDigesting;          // plans only: states are large and need none
  Digest fDigest;
  std::uint64_t fRecords = 0;
  bool fEnded = false;
};

// What a file kind is called in messages.
const char* KindText(FileKind kind);

}  // namespace host::shards
