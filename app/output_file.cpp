#include "app/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <filesystem>
#include <streambuf>
#include <vector>

namespace codebook_app {

namespace {

bool WriteAll(int fd, std::string_view text) {
  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t written = ::write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  return true;
}

// An output stream buffer onto a file descriptor; remembers a failed write.
class FdBuffer : public std::streambuf {
 public:
  explicit FdBuffer(int fd) : fFd(fd), fBuffer(1 << 16) { setp(fBuffer.data(), fBuffer.data() + fBuffer.size()); }
  bool Failed() const { return fFailed; }

 protected:
  int_type overflow(int_type ch) override {
    if (!Drain()) return traits_type::eof();
    if (!traits_type::eq_int_type(ch, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(ch);
      pbump(1);
    }
    return traits_type::not_eof(ch);
  }
  std::streamsize xsputn(const char* data, std::streamsize n) override {
    if (n > epptr() - pptr()) {
      if (!Drain()) return 0;
      if (n >= static_cast<std::streamsize>(fBuffer.size())) {  // large pieces skip the buffer
        if (!WriteAll(fFd, std::string_view(data, static_cast<std::size_t>(n)))) return Fail();
        return n;
      }
    }
    std::copy(data, data + n, pptr());
    pbump(static_cast<int>(n));
    return n;
  }
  int sync() override { return Drain() ? 0 : -1; }

 private:
  bool Drain() {
    const std::string_view pending(pbase(), static_cast<std::size_t>(pptr() - pbase()));
    setp(fBuffer.data(), fBuffer.data() + fBuffer.size());
    if (fFailed || !WriteAll(fFd, pending)) {
      fFailed = true;
      return false;
    }
    return true;
  }
  std::streamsize Fail() {
    fFailed = true;
    return 0;
  }

  int fFd;
  std::vector<char> fBuffer;
  bool fFailed = false;
};

// Runs `write` onto the descriptor; false when any write failed.
bool StreamAll(int fd, const std::function<void(std::ostream&)>& write) {
  FdBuffer buffer(fd);
  std::ostream out(&buffer);
  write(out);
  out.flush();
  return !buffer.Failed() && out.good();
}

std::string Describe(const std::string& what, const std::string& path) {
  return "cannot " + what + " '" + path + "': " + std::strerror(errno) + ".";
}

}  // namespace

bool WriteFileAtomically(const std::string& path, const std::string& text, std::string& error) {
  return WriteFileAtomically(path, [&text](std::ostream& out) { out.write(text.data(), static_cast<std::streamsize>(text.size())); }, error);
}

bool WriteFileAtomically(const std::string& path, const std::function<void(std::ostream&)>& write,
                         std::string& error) {
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
    if (S_ISDIR(info.st_mode)) {
      error = "cannot write the output to '" + path + "': it is a folder; name a file.";
      return false;
    }
    const int fd = ::open(path.c_str(), O_WRONLY);
    if (fd < 0) {
      error = Describe("open", path);
      return false;
    }
    const bool ok = StreamAll(fd, write);
    if (!ok) error = Describe("write", path);
    ::close(fd);
    return ok;
  }

  const std::filesystem::path target(path);
  std::string temporaryName = ".";
  temporaryName += target.filename().string();
  temporaryName += ".tmp-XXXXXX";
  std::string pattern =
      (target.parent_path().empty() ? std::filesystem::path(".") : target.parent_path()) / temporaryName;
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = ::mkstemp(name.data());
  if (fd < 0) {
    error = Describe("create a file in the folder of", path);
    return false;
  }
  const std::string temporary(name.data());
  bool ok = StreamAll(fd, write) && ::fsync(fd) == 0;
  if (!ok) error = Describe("write", path);
  // Output files get the usual permissions, not mkstemp's private ones.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = Describe("write", path);
  }
  if (ok && std::rename(temporary.c_str(), path.c_str()) != 0) {
    ok = false;
    error = Describe("replace", path);
  }
  if (!ok) ::unlink(temporary.c_str());
  return ok;
}

}  // namespace codebook_app
