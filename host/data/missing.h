// The one test for user-missing numbers, used by the dictionary
// (QUVO_Variable), the case readers (weights) and the engine's copy of a
// variable's missing values (engine::NumericMissing).
#pragma once

#include <span>

#include "host/data/extended_missing.h"
#include "host/quvo.h"

namespace host {

// Whether x is a listed value, inside the range, or an extended missing code
// of a variable that may hold them. System-missing is not user-missing: a
// caller that can meet it tests it first (a range from LO would take it in).
inline bool IsUserMissingNumber(double x, std::span<const double> listed, bool hasRange, double low, double high,
                                bool extended) {
  if (extended && IsExtendedMissing(x)) return true;
  for (double v : listed) {
    if (x == v) return true;
  }
  return hasRange && x >= low && x <= high;
}

inline bool IsUserMissingNumber(double x, const MissingValues& m) {
  return IsUserMissingNumber(x, m.numbers, m.hasRange, m.low, m.high, m.extended);
}

}  // namespace host
