#include "app/output_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <streambuf>
#include <string_view>
#include <vector>

#include "app/messages.h"
#include "app/signals.h"

namespace codebook_app {

namespace {

// Writes everything; on failure returns the error number.
int WriteAll(int fd, std::string_view text) {
  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t written = ::write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  return 0;
}

// An output stream buffer onto a file descriptor; remembers the first failed
// write and its reason, and writes nothing after it.
class FdBuffer : public std::streambuf {
 public:
  explicit FdBuffer(int fd) : fFd(fd), fBuffer(1 << 16) { setp(fBuffer.data(), fBuffer.data() + fBuffer.size()); }
  int Error() const { return fError; }

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
        fError = WriteAll(fFd, std::string_view(data, static_cast<std::size_t>(n)));
        return fError == 0 ? n : 0;
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
    if (fError == 0) fError = WriteAll(fFd, pending);
    return fError == 0;
  }

  int fFd;
  std::vector<char> fBuffer;
  int fError = 0;
};

// Runs `write` onto the descriptor; the error number of the first failed
// write, or 0.
int StreamAll(int fd, const Writer& write) {
  FdBuffer buffer(fd);
  std::ostream out(&buffer);
  write(out);
  out.flush();
  if (buffer.Error() != 0) return buffer.Error();
  return out.good() ? 0 : EIO;
}

std::string Describe(const std::string& what, const std::string& path, int error) {
  return "cannot " + what + " '" + path + "': " + std::strerror(error) + ".";
}

// Follows symbolic links from `path` to the name that is finally written
// (which need not exist yet).
bool FollowLinks(const std::string& path, std::string& target, std::string& error) {
  namespace fs = std::filesystem;
  fs::path current(path);
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info {};
    if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
      target = current.string();
      return true;
    }
    std::vector<char> buffer(PATH_MAX + 1);
    const ssize_t n = ::readlink(current.c_str(), buffer.data(), buffer.size() - 1);
    if (n < 0) {
      error = Describe("follow the link", path, errno);
      return false;
    }
    const fs::path next(std::string(buffer.data(), static_cast<std::size_t>(n)));
    current = next.is_absolute() ? next : current.parent_path() / next;
  }
  error = Describe("follow the link", path, ELOOP);
  return false;
}

// ".name.tmp-XXXXXX" beside the target, the name shortened so that the
// temporary name fits where the target's name does.
std::string TemporaryPattern(const std::filesystem::path& target) {
  constexpr std::size_t kAdded = 1 + 11;  // "." and ".tmp-XXXXXX"
  long nameMax = ::pathconf(target.has_parent_path() ? target.parent_path().c_str() : ".", _PC_NAME_MAX);
  if (nameMax <= 0) nameMax = NAME_MAX;
  std::string base = target.filename().string();
  const std::size_t room = static_cast<std::size_t>(nameMax) > kAdded ? static_cast<std::size_t>(nameMax) - kAdded : 1;
  if (base.size() > room) {
    base.resize(room);
    // Do not leave half a UTF-8 sequence at the end.
    while (!base.empty() && (static_cast<unsigned char>(base.back()) & 0xC0) == 0x80) base.pop_back();
    if (!base.empty() && static_cast<unsigned char>(base.back()) >= 0xC0) base.pop_back();
  }
  const std::filesystem::path folder = target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
  return (folder / ("." + base + ".tmp-XXXXXX")).string();
}

// Makes the temporary file named by `pattern` (its last six characters
// "XXXXXX" replaced by letters and digits, as mkstemp does) with `mode` before
// the umask, so that a new report gets what the folder's default ACL or the
// umask gives a file the shell creates there (mkstemp's fixed 0600, widened
// afterwards from the umask, would ignore a folder's default ACL and show a
// private folder's report to everyone). -1 with errno on failure.
int CreateTemporary(std::vector<char>& name, mode_t mode) {
  static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  char* const suffix = name.data() + std::strlen(name.data()) - 6;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    unsigned char random[6];
    if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
      const auto seed = static_cast<unsigned long>(::getpid()) * 2654435761UL + static_cast<unsigned long>(attempt) +
                        static_cast<unsigned long>(::time(nullptr));
      for (std::size_t i = 0; i < sizeof random; ++i) random[i] = static_cast<unsigned char>(seed >> (i * 5));
    }
    for (std::size_t i = 0; i < sizeof random; ++i) suffix[i] = kLetters[random[i] % (sizeof kLetters - 1)];
    const int fd = ::open(name.data(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

// Gives the temporary file `fd` the permissions of the file `target` it
// replaces (`info`): its mode, and its access ACL when it has one, since the
// mode alone reads an ACL's mask as the group's bits (a group the ACL shuts
// out would be let in) and drops the users the ACL names. An ACL the
// temporary file took from the folder's default ACL is removed when the old
// file had none.
void KeepPermissions(int fd, const std::string& target, const struct stat& info) {
  constexpr const char* kAcl = "system.posix_acl_access";
  const mode_t mode = info.st_mode & 01777;  // not set-user-ID or set-group-ID: a report is no program
  std::vector<char> acl(256);
  ssize_t size = ::getxattr(target.c_str(), kAcl, acl.data(), acl.size());
  if (size < 0 && errno == ERANGE) {
    size = ::getxattr(target.c_str(), kAcl, nullptr, 0);
    if (size > 0) {
      acl.resize(static_cast<std::size_t>(size));
      size = ::getxattr(target.c_str(), kAcl, acl.data(), acl.size());
    }
  }
  if (size > 0) {
    if (::fsetxattr(fd, kAcl, acl.data(), static_cast<std::size_t>(size), 0) == 0) {
      ::fchmod(fd, mode);  // the group's bits are the ACL's mask, as they were
      return;
    }
    // An ACL that cannot be copied: none of the group's bits, rather than
    // the mask's, which the ACL may not give the group.
    ::fremovexattr(fd, kAcl);
    ::fchmod(fd, mode & ~static_cast<mode_t>(S_IRWXG));
    return;
  }
  ::fremovexattr(fd, kAcl);
  ::fchmod(fd, mode);
}

// A run killed outright (SIGKILL, the out-of-memory killer, a power cut)
// cannot remove its temporary file. Every run holds a lock on its own while
// it writes it, so a later run to the same target removes those of earlier
// runs that no process holds: named as ours would be (`pattern`), a regular
// file of one link owned by this user, left untouched for a minute (a run
// that has only just made its file may not have locked it yet) and free to
// lock. Anything else in the folder is left alone.
void ClearStaleTemporaries(const std::string& pattern, const std::string& own) {
  const std::filesystem::path patternPath(pattern);
  const std::string folder = patternPath.parent_path().string();
  std::string prefix = patternPath.filename().string();
  prefix.resize(prefix.size() - 6);  // "XXXXXX"
  const std::string ownName = std::filesystem::path(own).filename().string();
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  const int dirFd = ::dirfd(dir);
  const time_t now = ::time(nullptr);
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name(entry->d_name);
    if (name.size() != prefix.size() + 6 || name.substr(0, prefix.size()) != prefix || name == ownName) continue;
    bool generated = true;
    for (const char c : name.substr(prefix.size())) {
      generated = generated && ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'));
    }
    struct stat info {};
    if (!generated || ::fstatat(dirFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(info.st_mode) || info.st_nlink != 1 || info.st_uid != ::geteuid() || now - info.st_mtime < 60) {
      continue;
    }
    const int fd = ::openat(dirFd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat opened {};
    if (::fstat(fd, &opened) == 0 && opened.st_dev == info.st_dev && opened.st_ino == info.st_ino &&
        ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      ::unlinkat(dirFd, entry->d_name, 0);
    }
    ::close(fd);
  }
  ::closedir(dir);
}

bool& StandardOutputAllowed() {
  static bool allowed = true;
  return allowed;
}

// Why no temporary file could be made beside `path`, whose folder is
// `folder`: the reason, and for a folder the user may not write, what to
// change; for a file that `exists`, also why the folder matters when the
// file itself may be written.
std::string NoTemporaryFile(const std::string& path, const std::filesystem::path& folder, int reason, bool exists) {
  if (reason == ENOENT) {
    return "cannot write '" + path + "': the folder '" + folder.string() + "' does not exist; create it first.";
  }
  if (reason == EROFS) {  // no file can be made there at all: how it would be made does not matter
    return "cannot write '" + path + "': " + std::strerror(reason) + " (the folder '" + folder.string() +
           "' is on a file system mounted read-only); name a file elsewhere.";
  }
  const char* instead = StandardOutputAllowed() ? ", or write to standard output." : ".";
  if ((reason == EACCES || reason == EPERM) && !exists) {
    return "cannot write '" + path + "': " + std::strerror(reason) + " (you may not make files in the folder '" +
           folder.string() + "'); name a file in a folder you may write to" + instead;
  }
  std::string error = Describe("create a file in the folder of", path, reason);
  if (reason == EACCES || reason == EPERM) {
    error +=
        " The output is written whole to a temporary file in the same folder, then renamed over it; "
        "name a file in a folder you may write to";
    error += instead;
  }
  return error;
}

// Opens a device or a named pipe for writing, as the shell's > does. A
// named pipe waits for a program to read it, as it should (its reader may
// well start later: `cat PIPE` in another terminal), but a run that waits
// without a word looks hung: when no reader has it open yet, a note says
// what the run waits for. -1 with errno on failure.
int OpenDirectly(const std::string& path, const std::string& target, bool pipe) {
  if (pipe) {
    const int fd = ::open(target.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd >= 0) {  // a reader is there: write as to any pipe, waiting while it is full
      if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0) return fd;
      const int reason = errno;
      ::close(fd);
      errno = reason;
      return -1;
    }
    if (errno != ENXIO) return -1;
    Note("waiting for a program to read the named pipe '" + path +
         "' (the output): none has it open. Ctrl-C stops the run.");
  }
  return ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
}

// False when the file system of `info` has no room left at all: no block
// free (counting the blocks kept for root when we are root), or, when a file
// is to be made (`newFile`), no inode. File systems that keep no count (zero
// blocks or files in all) are taken to have room.
bool HasRoom(const struct statvfs& info, bool newFile) {
  const fsblkcnt_t blocks = ::geteuid() == 0 ? info.f_bfree : info.f_bavail;
  if (info.f_blocks > 0 && blocks == 0) return false;
  return !newFile || info.f_files == 0 || info.f_favail > 0;
}

std::filesystem::path FolderOf(const std::string& target) {
  const std::filesystem::path path(target);
  return path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
}

// The output's folder as it was when the run checked that the output is
// none of its inputs (PinOutputPlace): `target` names the file through the
// open folder (/proc/self/fd/N/name), so that a folder on the way replaced
// by a link during a long run (into the data's folder, say) changes nothing.
struct PinnedPlace {
  std::string path;    // as the user named it
  std::string target;  // through the open folder
  std::string folder;  // as the user would know it, for messages
  int fd = -1;
};

PinnedPlace& Pinned() {
  static PinnedPlace pinned;
  return pinned;
}

// The permissions a new output file is made with, before the umask or the
// folder's default ACL (FollowSourcePermissions).
mode_t& NewFileMode() {
  static mode_t mode = 0666;
  return mode;
}

}  // namespace

void PinOutputPlace(const std::string& path) {
  if (DescriptorNamed(path) >= 0) return;
  std::string target;
  std::string error;
  if (!FollowLinks(path, target, error)) return;
  const std::string name = std::filesystem::path(target).filename().string();
  if (name.empty() || name == "." || name == "..") return;
  const std::filesystem::path folder = FolderOf(target);
  const int fd = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  // Without /proc the names of the folder are used as they stand.
  const std::string through = "/proc/self/fd/" + std::to_string(fd);
  struct stat viaProc {};
  struct stat opened {};
  if (::stat(through.c_str(), &viaProc) != 0 || ::fstat(fd, &opened) != 0 || viaProc.st_dev != opened.st_dev ||
      viaProc.st_ino != opened.st_ino) {
    ::close(fd);
    return;
  }
  PinnedPlace& pinned = Pinned();
  if (pinned.fd >= 0) ::close(pinned.fd);
  pinned = PinnedPlace{path, through + "/" + name, folder.string(), fd};
}

void OnlyFilesTakeTheOutput() { StandardOutputAllowed() = false; }

void FollowSourcePermissions(const std::vector<std::string>& sources) {
  mode_t mode = 0666;
  for (const std::string& source : sources) {
    struct stat info {};
    if (::stat(source.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
    if ((info.st_mode & S_IRGRP) == 0) mode &= ~static_cast<mode_t>(S_IRGRP | S_IWGRP);
    if ((info.st_mode & S_IROTH) == 0) mode &= ~static_cast<mode_t>(S_IROTH | S_IWOTH);
  }
  NewFileMode() = mode;
}

bool CheckOutputPlace(const std::string& path, std::string& error) {
  if (const int fd = DescriptorNamed(path); fd >= 0) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) {
      error = "cannot write to '" + path + "': descriptor " + std::to_string(fd) + " is not open.";
      return false;
    }
    if ((flags & O_ACCMODE) == O_RDONLY) {
      error = "cannot write to '" + path + "': descriptor " + std::to_string(fd) + " is open for reading only.";
      return false;
    }
    return DescriptorHasRoom(fd, "'" + path + "'", error);
  }
  std::string target;
  if (!FollowLinks(path, target, error)) return false;
  struct stat info {};
  const bool exists = ::stat(target.c_str(), &info) == 0;
  if (exists) {
    if (S_ISDIR(info.st_mode)) {
      error = "cannot write the output to '" + path + "': it is a folder; name a file.";
      return false;
    }
    if (S_ISSOCK(info.st_mode)) {  // opened, it would fail only after the pass
      error = "cannot write the output to '" + path + "': it is a socket; name a file.";
      return false;
    }
    if (S_ISBLK(info.st_mode)) {  // a report written over a disk would destroy what is on it
      error = "cannot write the output to '" + path + "': it is a block device (a disk or a partition); name a file.";
      return false;
    }
    if (!S_ISREG(info.st_mode)) return true;  // a character device or a pipe, written directly
    if (::access(target.c_str(), W_OK) != 0 && (errno == EACCES || errno == EROFS)) {
      error = Describe("write", path, errno);
      return false;
    }
  } else if (errno != ENOENT) {
    error = Describe("write", path, errno);
    return false;
  } else if (target.back() == '/') {
    // Not "the folder does not exist": made, it would be refused as a folder.
    error = "cannot write the output to '" + path + "': a name that ends with '/' is a folder; name a file.";
    return false;
  }
  const std::filesystem::path folder = FolderOf(target);
  struct stat place {};
  if (::stat(folder.c_str(), &place) != 0) {
    error = NoTemporaryFile(path, folder, errno, exists);
    return false;
  }
  if (!S_ISDIR(place.st_mode)) {
    error = NoTemporaryFile(path, folder, ENOTDIR, exists);
    return false;
  }
  if (::access(folder.c_str(), W_OK | X_OK) != 0) {
    error = NoTemporaryFile(path, folder, errno, exists);
    return false;
  }
  // A full disk would fail the write only after the whole data pass; the
  // report needs at least a new file (the temporary one) and a block.
  if (struct statvfs room{}; ::statvfs(folder.c_str(), &room) == 0 && !HasRoom(room, true)) {
    error = "cannot write '" + path + "': " + std::strerror(ENOSPC) + " (its file system is full).";
    return false;
  }
  // In a folder with the sticky bit (/tmp) only a file's owner, the folder's
  // owner or root may rename over it: another user's report there, even one
  // anybody may write, would be refused only by the final rename, after the
  // whole data pass.
  const uid_t me = ::geteuid();
  if (exists && (place.st_mode & S_ISVTX) != 0 && me != 0 && info.st_uid != me && place.st_uid != me) {
    error = "cannot replace '" + path +
            "': it belongs to another user, and in a folder with the sticky bit (such as /tmp) only its owner may "
            "replace it. The output is written whole to a temporary file, then renamed over it; name another file.";
    return false;
  }
  return true;
}

bool DescriptorHasRoom(int fd, const std::string& name, std::string& error) {
  struct stat info {};
  struct statvfs room {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && ::fstatvfs(fd, &room) == 0 && !HasRoom(room, false)) {
    error = "cannot write to " + name + ": " + std::strerror(ENOSPC) + " (its file system is full).";
    return false;
  }
  return true;
}

int DescriptorNamed(const std::string& path) {
  if (path == "-" || path == "/dev/stdout") return STDOUT_FILENO;
  if (path == "/dev/stderr") return STDERR_FILENO;
  // Followed as a link, /dev/stdin would name the file standard input was
  // redirected from, and the report would replace it; as a descriptor it is
  // refused when open for reading only, as it almost always is.
  if (path == "/dev/stdin") return STDIN_FILENO;
  for (const char* prefix : {"/dev/fd/", "/proc/self/fd/"}) {
    const std::size_t n = std::strlen(prefix);
    if (path.size() > n && path.size() <= n + 6 && path.compare(0, n, prefix) == 0 &&
        path.find_first_not_of("0123456789", n) == std::string::npos) {
      return std::stoi(path.substr(n));
    }
  }
  return -1;
}

bool WriteToDescriptor(int fd, const std::string& name, const Writer& write, std::string& error) {
  const int failure = StreamAll(fd, write);
  if (failure != 0) error = "cannot write to " + name + ": " + std::strerror(failure) + ".";
  return failure == 0;
}

bool WriteFileAtomically(const std::string& path, const std::string& text, std::string& error) {
  return WriteFileAtomically(
      path, [&text](std::ostream& out) { out.write(text.data(), static_cast<std::streamsize>(text.size())); }, error);
}

bool WriteFileAtomically(const std::string& path, const Writer& write, std::string& error) {
  std::string target;
  std::filesystem::path shownFolder;
  const PinnedPlace& pinned = Pinned();
  const bool pin = pinned.fd >= 0 && pinned.path == path;
  if (pin) {
    // Links were followed when the place was pinned; a link made at the
    // name since is replaced, not followed.
    target = pinned.target;
    shownFolder = pinned.folder;
  } else {
    if (!FollowLinks(path, target, error)) return false;
    shownFolder = FolderOf(target);
  }
  struct stat info {};
  bool exists = (pin ? ::lstat(target.c_str(), &info) : ::stat(target.c_str(), &info)) == 0;
  if (exists && S_ISLNK(info.st_mode)) exists = false;
  if (exists && S_ISDIR(info.st_mode)) {
    error = "cannot write the output to '" + path + "': it is a folder; name a file.";
    return false;
  }
  if (exists && S_ISBLK(info.st_mode)) {
    error = "cannot write the output to '" + path + "': it is a block device (a disk or a partition); name a file.";
    return false;
  }
  if (exists && !S_ISREG(info.st_mode)) {
    const int fd = OpenDirectly(path, target, S_ISFIFO(info.st_mode));
    if (fd < 0) {
      error = Describe("open", path, errno);
      return false;
    }
    int failure = 0;
    try {
      failure = StreamAll(fd, write);
    } catch (...) {
      ::close(fd);
      throw;
    }
    if (::close(fd) != 0 && failure == 0 && errno != EINTR) failure = errno;
    if (failure != 0) error = Describe("write", path, failure);
    return failure == 0;
  }
  if (exists && ::access(target.c_str(), W_OK) != 0 && (errno == EACCES || errno == EROFS)) {
    error = Describe("write", path, errno);
    return false;
  }

  std::string pattern = TemporaryPattern(std::filesystem::path(target));
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  int fd = -1;
  {
    SignalsBlocked blocked;
    // A file that replaces another stays private until it takes that
    // file's permissions; a new one is made as the shell would make it.
    fd = CreateTemporary(name, exists ? 0600 : NewFileMode());
    if (fd >= 0) SetTemporaryFile(name.data());
  }
  if (fd < 0) {
    error = NoTemporaryFile(path, shownFolder, errno, exists);
    return false;
  }
  const std::string temporary(name.data());
  // Held until the file is closed, whole and renamed, or the run ends
  // however it ends: an unlocked temporary file is one nobody writes.
  ::flock(fd, LOCK_EX | LOCK_NB);
  ClearStaleTemporaries(pattern, temporary);
  int failure = 0;
  try {
    failure = StreamAll(fd, write);
  } catch (...) {
    // A writer that fails on its input (a bad cell in the data it streams)
    // leaves nothing behind either.
    ::close(fd);
    SignalsBlocked blocked;
    ::unlink(temporary.c_str());
    SetTemporaryFile(nullptr);
    throw;
  }
  if (failure == 0 && ::fsync(fd) != 0) failure = errno;
  // A file that is replaced keeps its permissions and, where allowed, its
  // owner.
  if (exists) {
    if (info.st_uid != ::geteuid() || info.st_gid != ::getegid()) {
      [[maybe_unused]] const int ignored = ::fchown(fd, info.st_uid, info.st_gid);
    }
    KeepPermissions(fd, target, info);
  }
  if (::close(fd) != 0 && failure == 0) failure = errno;
  if (failure != 0) error = Describe("write", path, failure);
  SignalsBlocked blocked;
  if (failure == 0 && std::rename(temporary.c_str(), target.c_str()) != 0) {
    failure = errno;
    error = Describe("replace", path, failure);
  }
  if (failure != 0) ::unlink(temporary.c_str());
  SetTemporaryFile(nullptr);
  return failure == 0;
}

bool ShownOnlyWhole(const std::string& path) {
  std::string target;
  std::string error;
  if (DescriptorNamed(path) >= 0 || !FollowLinks(path, target, error)) return false;
  struct stat info {};
  if (::stat(target.c_str(), &info) != 0) return errno == ENOENT;
  if (S_ISREG(info.st_mode)) return true;
  struct stat null {};
  return S_ISCHR(info.st_mode) && ::stat("/dev/null", &null) == 0 && S_ISCHR(null.st_mode) &&
         info.st_rdev == null.st_rdev;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat first {};
  struct stat second {};
  return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
         first.st_ino == second.st_ino;
}

bool SameFile(int fd, const std::string& b) {
  struct stat first {};
  struct stat second {};
  return ::fstat(fd, &first) == 0 && ::stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
         first.st_ino == second.st_ino;
}

}  // namespace codebook_app
