// Tests on attribute names, shared by the variable ordering (ordering by an
// attribute's value) and the tables (which attributes are listed).
#pragma once

#include <string_view>

namespace codebook {

// Hidden attributes ("@..." or "$@...") are never listed with the custom ones.
bool IsHiddenAttributeName(std::string_view name);
// Reserved attributes begin with "$".
bool IsReservedAttributeName(std::string_view name);
// Same byte length and equal ignoring case.
bool AttributeNamesEqual(std::string_view a, std::string_view b);

}  // namespace codebook
