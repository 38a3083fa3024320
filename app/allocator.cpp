#include "app/allocator.h"

#include <malloc.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace codebook_app {
namespace {

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

constexpr int kOwnPagesFrom = 1 << 20;
constexpr int kKeptFreeBytes = 4 << 20;

bool HugePagesOffered() {
  std::ifstream in("/sys/kernel/mm/transparent_hugepage/enabled");
  std::string modes;
  if (!std::getline(in, modes)) return false;
  return modes.find("[never]") == std::string::npos;
}

// Started as "ld.so codebook ...", the running file is the loader, which
// would take the first argument for the program.
bool StartedByLoader() {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return true;
  self[n] = '\0';
  const char* slash = std::strrchr(self, '/');
  const char* name = slash == nullptr ? self : slash + 1;
  return std::strncmp(name, "ld-", 3) == 0 || std::strncmp(name, "ld.so", 5) == 0;
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

}  // namespace

void UseHugePages(char** argv) {
#if defined(__SANITIZE_ADDRESS__)
  (void)argv;
#else
  if (PutBackUserTunables()) return;  // this is the started program
  if (std::getenv("CODEBOOK_SMALL_PAGES") != nullptr || std::getenv("LD_PRELOAD") != nullptr) return;
  const char* user = std::getenv("GLIBC_TUNABLES");
  if (user != nullptr && std::strstr(user, "glibc.malloc.") != nullptr) return;
  if (!HugePagesOffered() || StartedByLoader()) return;
  const std::string mark = user == nullptr ? std::string() : "=" + std::string(user);
  const std::string tunables = user == nullptr || *user == '\0' ? kTunables : std::string(user) + ":" + kTunables;
  if (setenv(kRestartMark, mark.c_str(), 1) != 0 || setenv("GLIBC_TUNABLES", tunables.c_str(), 1) != 0) {
    PutBackUserTunables();
    return;
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
