// One cell value of the host: a double for numeric variables, or a reference
// to a string held by the host's string pool for string variables.
#pragma once

#include <cstdint>
#include <limits>
#include <string_view>

#include "host/api.h"

union OBS {
  double d;
  unsigned char c[8];
  std::uint64_t u;
};
static_assert(sizeof(OBS) == 8, "a cell value is 8 bytes");

// The system-missing value of numeric variables.
inline constexpr double SYSMIS = -std::numeric_limits<double>::max();

inline OBS ObsFromNumber(double value) {
  OBS o;
  o.d = value;
  return o;
}

// A string value: trailing blanks are trimmed, equal texts give equal values
// (the pool deduplicates), so two string OBS are equal exactly when their
// `u` members are equal. The pool lives as long as the process.
HOST_API OBS ObsFromString(std::string_view text);
// The text of a string value made by ObsFromString.
HOST_API std::string_view ObsString(const OBS& value);
