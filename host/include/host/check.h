// Broken internal invariants: programming errors, not user errors. One funnel
// for the host and the procedure: say which unit, which condition and where,
// then stop.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace host {

[[noreturn]] inline void InvariantFailed(const char* unit, const char* condition, const char* file, int line) {
  std::fprintf(stderr, "%s: internal error: %s (%s:%d)\n", unit, condition, file, line);
  std::fflush(stderr);
  std::abort();
}

}  // namespace host

// CB_CHECK("cbkparser", index >= 0): the unit names the part of the system
// whose invariant broke.
#define CB_CHECK(unit, condition) \
  ((condition) ? static_cast<void>(0) : ::host::InvariantFailed(unit, #condition, __FILE__, __LINE__))
