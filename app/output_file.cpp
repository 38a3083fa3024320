#include "app/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

namespace codebook_app {

namespace {

bool WriteAll(int fd, const std::string& text) {
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

std::string Describe(const std::string& what, const std::string& path) {
  return "cannot " + what + " '" + path + "': " + std::strerror(errno) + ".";
}

}  // namespace

bool WriteFileAtomically(const std::string& path, const std::string& text, std::string& error) {
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
    const bool ok = WriteAll(fd, text);
    if (!ok) error = Describe("write", path);
    ::close(fd);
    return ok;
  }

  const std::filesystem::path target(path);
  std::string pattern = (target.parent_path().empty() ? std::filesystem::path(".") : target.parent_path()) /
                        ("." + target.filename().string() + ".tmp-XXXXXX");
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = ::mkstemp(name.data());
  if (fd < 0) {
    error = Describe("create a file in the folder of", path);
    return false;
  }
  const std::string temporary(name.data());
  bool ok = WriteAll(fd, text) && ::fsync(fd) == 0;
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
