#include "attribute_names.h"

#include <string>

#include "host/quvo.h"

namespace codebook {

bool IsHiddenAttributeName(std::string_view name) { return name.starts_with("@") || name.starts_with("$@"); }

bool IsReservedAttributeName(std::string_view name) { return name.starts_with("$"); }

bool AttributeNamesEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  // The host compares NUL-terminated texts; copies keep views safe.
  const std::string left(a);
  const std::string right(b);
  return QUVOMBstrnicmp_A(left.c_str(), right.c_str(), left.size()) == 0;
}

}  // namespace codebook
