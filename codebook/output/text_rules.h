// Text rules shared by the tables: format texts and the row names of attribute
// arrays. The tests on attribute names are in attribute_names.h.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "attribute_names.h"
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

}  // namespace codebook
