// Text rules shared by the tables and the variable ordering: format texts,
// the row names of attribute arrays, and the tests on attribute names.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "host/quvo.h"

namespace codebook {

// The name of a format type code; "badFormat" for codes the host does not
// define.
const char* FormatTypeName(std::uint8_t type);

// Type name, width and, when there are decimals, "." and the decimals:
// "F8.2", "A8", "DATE11".
std::string FormatText(const QUVO_Format& format);

// The row name of element `element` (0-based) of an attribute with `count`
// values: the bare name for a single value, else "name[j]" with j counted
// from 1 and zero-padded to the number of digits of `count`.
std::string AttributeElementName(std::string_view name, int element, int count);

// Hidden attributes ("@..." or "$@...") are never listed with the custom ones.
bool IsHiddenAttributeName(std::string_view name);
// Reserved attributes begin with "$".
bool IsReservedAttributeName(std::string_view name);
// Same byte length and equal ignoring case.
bool AttributeNamesEqual(std::string_view a, std::string_view b);

}  // namespace codebook
