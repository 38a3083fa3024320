#include "app/signals.h"

#include <limits.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace codebook_app {

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The handler reads these only; the flag is set after the name is complete.
char gTemporary[PATH_MAX + 1];
std::atomic<bool> gHasTemporary{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the handler needs a lock-free flag");

extern "C" void OnSignal(int signal) {
  if (gHasTemporary.load()) ::unlink(gTemporary);
  // End by the signal itself, so that the parent sees how the program ended.
  std::signal(signal, SIG_DFL);
  ::raise(signal);
}

}  // namespace

void InstallSignalHandlers() {
  for (int signal : kSignals) {
    struct sigaction current {};
    if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (int other : kSignals) sigaddset(&action.sa_mask, other);
    ::sigaction(signal, &action, nullptr);
  }
  std::signal(SIGXFSZ, SIG_IGN);
}

SignalsBlocked::SignalsBlocked() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : kSignals) sigaddset(&set, signal);
  ::pthread_sigmask(SIG_BLOCK, &set, &fOld);
}

SignalsBlocked::~SignalsBlocked() { ::pthread_sigmask(SIG_SETMASK, &fOld, nullptr); }

void SetTemporaryFile(const char* path) {
  gHasTemporary.store(false);
  if (path == nullptr || std::strlen(path) > PATH_MAX) return;
  std::strcpy(gTemporary, path);
  gHasTemporary.store(true);
}

}  // namespace codebook_app
