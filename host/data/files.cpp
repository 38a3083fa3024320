#include "host/data/files.h"

#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "host/dataset.h"

namespace host {

namespace {

constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

class FileCloser {
 public:
  explicit FileCloser(int fd) : fFd(fd) {}
  ~FileCloser() { ::close(fFd); }
  FileCloser(const FileCloser&) = delete;
  FileCloser& operator=(const FileCloser&) = delete;

 private:
  int fFd;
};

[[noreturn]] void TooLarge(const std::string& path, std::size_t maxBytes, const std::string& what) {
  throw InputError(path + ": the " + what + " is larger than " + MebibytesText(maxBytes) + ", more than any " + what +
                   " needs; check that this is the right file");
}

}  // namespace

std::string SpecialFileKind(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return {};
  if (S_ISSOCK(info.st_mode)) return "a socket";
  if (S_ISFIFO(info.st_mode)) return "a named pipe";
  if (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode)) return "a device";
  return {};
}

namespace {

std::string ReadAll(const std::string& path, std::size_t maxBytes, const std::string& what) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0 && SpecialFileKind(path) == "a socket") {
    throw InputError(path + ": is a socket, not a file; name the " + what + " itself");
  }
  if (fd < 0) {
    throw InputError(path + ": cannot open the " + what + " (" + std::strerror(errno) + "); check the path");
  }
  FileCloser closer(fd);
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    throw InputError(path + ": cannot read the " + what + " (" + std::strerror(errno) + ")");
  }
  if (S_ISDIR(info.st_mode)) throw InputError(path + ": is a folder; name the " + what + " itself");
  std::string text;
  if (S_ISREG(info.st_mode)) {
    if (static_cast<std::uint64_t>(info.st_size) > maxBytes) TooLarge(path, maxBytes, what);
    text.reserve(static_cast<std::size_t>(info.st_size));
  }
  // Pipes and devices are read once, as they come; the cap also ends an
  // endless one such as /dev/zero.
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw InputError(path + ": cannot read the " + what + " (" + std::strerror(errno) + ")");
    }
    if (n == 0) break;
    if (text.size() + static_cast<std::size_t>(n) > maxBytes) TooLarge(path, maxBytes, what);
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

// Text saved as UTF-16 with a byte order mark (Windows editors' "Unicode",
// PowerShell's Out-File), made UTF-8. The line breaks stay where they were,
// so positions in later messages are lines of the file as saved.
std::string FromUtf16(const std::string& text, const std::string& path, const std::string& what) {
  std::string out;
  // "UTF-16": the mark says which byte order.
  switch (ConvertToUtf8(text, "UTF-16", out)) {
    case Utf8Conversion::kUnknown:
      throw InputError(path + ": the " + what + " is UTF-16 text, which this system cannot convert; save it as UTF-8");
    case Utf8Conversion::kStopped: {
      const std::size_t line = 1 + static_cast<std::size_t>(std::count(out.begin(), out.end(), '\n'));
      throw InputError(path + ", line " + std::to_string(line) + ": the " + what +
                       " begins with a UTF-16 byte order mark but is not UTF-16 text from here on; save it as UTF-8");
    }
    case Utf8Conversion::kDone:
      break;
  }
  if (out.compare(0, 3, kByteOrderMark) == 0) out.erase(0, 3);  // iconv may keep the mark
  return out;
}

}  // namespace

Utf8Conversion ConvertToUtf8(std::string_view bytes, const char* encoding, std::string& out) {
  out.clear();
  const iconv_t converter = iconv_open("UTF-8", encoding);
  if (converter == reinterpret_cast<iconv_t>(-1)) return Utf8Conversion::kUnknown;
  // Three bytes of UTF-8 for each byte in is room enough: a character of one
  // byte needs at most three, one of two or more bytes at most four.
  out.resize(bytes.size() * 3 + 16);
  char* in = const_cast<char*>(bytes.data());
  std::size_t inLeft = bytes.size();
  char* to = out.data();
  std::size_t outLeft = out.size();
  const std::size_t done = iconv(converter, &in, &inLeft, &to, &outLeft);
  iconv_close(converter);
  out.resize(static_cast<std::size_t>(to - out.data()));
  return done == static_cast<std::size_t>(-1) || inLeft != 0 ? Utf8Conversion::kStopped : Utf8Conversion::kDone;
}

std::string MebibytesText(std::size_t bytes) { return std::to_string(bytes >> 20) + " MiB"; }

std::string OutOfMemoryWhileReading(const std::string& path) { return "out of memory while reading " + path; }

std::string ReadInputFile(const std::string& path, std::size_t maxBytes, const std::string& what) {
  std::string text;
  try {
    text = ReadAll(path, maxBytes, what);
  } catch (const std::bad_alloc&) {
    throw InputError(OutOfMemoryWhileReading(path));
  }
  if (text.compare(0, 3, kByteOrderMark) == 0) {
    if (text.compare(3, 3, kByteOrderMark) == 0) {
      throw InputError(path +
                       ", line 1, column 1: the file begins with two byte-order marks (EF BB BF twice); "
                       "save it as UTF-8 with one mark or none");
    }
    text.erase(0, 3);
  } else if (text.compare(0, 2, "\xFF\xFE") == 0 || text.compare(0, 2, "\xFE\xFF") == 0) {
    text = FromUtf16(text, path, what);
  }
  // DOS editors end a text file with Ctrl-Z, their end-of-file mark: no
  // part of a descriptor or a command.
  while (!text.empty() && text.back() == '\x1A') text.pop_back();
  return text;
}

}  // namespace host
