// Display formats written as text ("F8.2", "A20", "DATE11", "DOLLAR10.2").
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "host/quvo.h"

namespace host {

// Reads a format text: a type name (any case), an optional width and, after
// a point, optional decimals. A missing width takes the type's usual width
// ("DATE" is DATE11, "A" is A<stringWidth>, "AHEX" twice that). Returns no
// value and sets why when the text is not a format.
std::optional<QUVO_Format> ParseFormatText(std::string_view text, int stringWidth, std::string& why);

// True for the types that show strings (A, AHEX).
bool IsStringFormatType(int type);

}  // namespace host
