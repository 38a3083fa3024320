// The pieces of JSON text the renderer writes by hand: strings and numbers.
// Both match the layout of the JSON library the output was first written
// with, so documents stay byte for byte what scripts have seen.
#pragma once

#include <string>
#include <string_view>

namespace host::json {

// Appends `text` as a JSON string with its quotes. Quotes, backslashes and
// control characters are escaped (\b \f \n \r \t, others as \u00xx); other
// characters are written as they are. Bytes that are not valid UTF-8 become
// U+FFFD, one for each maximal invalid subsequence, so data text can never
// make the document unreadable.
void AppendString(std::string& out, std::string_view text);

// Appends a finite number in its shortest form that reads back as the same
// double: plain notation with ".0" for whole numbers up to 1e15 and down to
// 1e-4, exponent notation ("1e+20", "2.5e-07") outside. Numbers that are not
// finite are written as null.
void AppendNumber(std::string& out, double value);

}  // namespace host::json
