#include "app/allocator.h"

#include <dlfcn.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <sstream>
#include <string>

namespace codebook_app {
namespace {

constexpr int kOwnPagesFrom = 1 << 20;
constexpr int kKeptFreeBytes = 4 << 20;

// The address sanitizer brings its own allocator: nothing below is used there.
#if !defined(__SANITIZE_ADDRESS__)

// The started program finds this variable: empty when the user had no
// GLIBC_TUNABLES, "=" and the user's value otherwise.
constexpr const char* kRestartMark = "CODEBOOK_RESTARTED_FOR_HUGE_PAGES";

// Every heap grows 64 MiB at a time and keeps that much when it shrinks, so
// that the memory a pass makes and frees lies in whole huge pages and is not
// given back and faulted in again (on the 5,000-variable file fewer than a
// twentieth of the faults with a smaller step). The price is memory kept
// resident: a listing of a million distinct values peaks near 200 MiB
// instead of 113 MiB.
constexpr const char* kTunables = "glibc.malloc.hugetlb=1:glibc.malloc.top_pad=67108864";

bool HugePagesOffered() {
  std::ifstream in("/sys/kernel/mm/transparent_hugepage/enabled");
  std::string modes;
  if (!std::getline(in, modes)) return false;
  return modes.find("[never]") == std::string::npos;
}

// The C library's own allocator serves malloc: not one of a profiler (which
// may have taken itself out of LD_PRELOAD), a leak checker or a preloaded
// allocator, which the started program would lose or not need.
bool LibraryAllocator() {
  void* libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
  if (libc == nullptr) return false;
  const bool own = dlsym(RTLD_DEFAULT, "malloc") == dlsym(libc, "malloc");
  dlclose(libc);
  return own;
}

// The running file is this program's, not a loader or an emulator that runs
// it ("ld.so codebook ...", a memory checker): started again, those would
// take the first argument for the program, or leave it unwatched.
bool RunningFileIsOurs() {
  struct stat self {};
  if (stat("/proc/self/exe", &self) != 0) return false;
  const auto here = reinterpret_cast<std::uintptr_t>(&UseHugePages);
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    // start-end perms offset dev inode path
    std::istringstream in(line);
    std::string range, perms, offset, device;
    unsigned long long inode = 0;
    if (!(in >> range >> perms >> offset >> device >> inode)) continue;
    const std::size_t dash = range.find('-');
    if (dash == std::string::npos) continue;
    const auto start = std::stoull(range.substr(0, dash), nullptr, 16);
    const auto end = std::stoull(range.substr(dash + 1), nullptr, 16);
    if (here >= start && here < end) return inode == self.st_ino;
  }
  return false;
}

// A run under a limit of its address space or data (ulimit -v, ulimit -d)
// keeps small steps: a 64 MiB step is refused where the few kilobytes asked
// for would fit, and the C++ library, failing its first allocation at start,
// could not even report running out of memory.
bool RoomForLargeSteps() {
  constexpr rlim_t kEnough = rlim_t{8} << 30;
  for (const int resource : {RLIMIT_AS, RLIMIT_DATA}) {
    struct rlimit limit {};
    if (getrlimit(resource, &limit) != 0) return false;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < kEnough) return false;
  }
  return true;
}

bool PutBackUserTunables() {
  const char* mark = std::getenv(kRestartMark);
  if (mark == nullptr) return false;
  if (mark[0] == '=') {
    setenv("GLIBC_TUNABLES", mark + 1, 1);
  } else {
    unsetenv("GLIBC_TUNABLES");
  }
  unsetenv(kRestartMark);
  return true;
}

#endif

}  // namespace

void UseHugePages(char** argv) {
#if defined(__SANITIZE_ADDRESS__)
  (void)argv;
#else
  if (PutBackUserTunables()) return;  // this is the started program
  if (std::getenv("CODEBOOK_SMALL_PAGES") != nullptr || std::getenv("LD_PRELOAD") != nullptr) return;
  const char* user = std::getenv("GLIBC_TUNABLES");
  if (user != nullptr && std::strstr(user, "glibc.malloc.") != nullptr) return;
  // The limits first: the checks after them allocate.
  if (!RoomForLargeSteps()) return;
  try {
    if (!HugePagesOffered() || !LibraryAllocator() || !RunningFileIsOurs()) return;
    const std::string mark = user == nullptr ? std::string() : "=" + std::string(user);
    const std::string tunables = user == nullptr || *user == '\0' ? kTunables : std::string(user) + ":" + kTunables;
    if (setenv(kRestartMark, mark.c_str(), 1) != 0 || setenv("GLIBC_TUNABLES", tunables.c_str(), 1) != 0) {
      PutBackUserTunables();
      return;
    }
  } catch (const std::exception&) {
    return;  // whatever failed, the run goes on as started
  }
  execv("/proc/self/exe", argv);
  PutBackUserTunables();  // no /proc, or not allowed: run as started
#endif
}

void SetAllocatorThresholds() {
  // Blocks of a mebibyte or more get pages of their own, given back to the
  // system when freed. The allocator's default raises that bound (up to 32
  // MiB) each time such a block is freed, after which the large tables and
  // vectors a pass grows and frees stay resident as holes in the heap: a
  // listing of a million values peaked a quarter higher.
  mallopt(M_MMAP_THRESHOLD, kOwnPagesFrom);
  // Freed memory at the top of a heap stays while it is under a few
  // mebibytes, instead of going back to the system from 128 KiB on: a pass
  // frees and makes its per-block accumulators block after block, and every
  // page given back cost a page fault when it came again.
  mallopt(M_TRIM_THRESHOLD, kKeptFreeBytes);
}

}  // namespace codebook_app
