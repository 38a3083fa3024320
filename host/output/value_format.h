// Rendering values as text: statistics numbers (counts, percents, means) and
// data values in a variable's print format. Pure functions, no state.
#pragma once

#include <string>
#include <string_view>

#include "host/quvo.h"

namespace host::valuefmt {

// `value` rounded half away from zero to `decimals` places, in plain decimal
// notation ("-0" never appears). Rounding works on the shortest decimal
// text that reads back as the same double, so 2.675 rounds to 2.68 as a
// person would expect. Values that are not finite show ".".
std::string Fixed(double value, int decimals);

// A statistic: `decimals` places, then "%" when percent. System-missing and
// values that are not finite show ".".
std::string Statistic(double value, int decimals, bool percent);

// A numeric value in a print format, as the field would show it with its
// leading blanks trimmed. System-missing shows ".". Unknown types show as F.
// A negative time or duration keeps its sign, one character past the width
// if need be. Width 0: no limit.
std::string Numeric(double value, QUVO_Format format);

// A string value (trailing blanks already trimmed) in a print format: A shows
// the text with trailing blanks trimmed, AHEX its bytes in hexadecimal
// (upper case, two digits a byte, limited to the field).
std::string String(std::string_view value, QUVO_Format format);

// The whole field, right-aligned and blank-padded to the format's width
// (tests, fixed-width layouts). Numeric() is Field() with blanks trimmed.
std::string Field(double value, QUVO_Format format);

}  // namespace host::valuefmt
