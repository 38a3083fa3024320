// The order in which the listed variables and sets are reported (VARORDER
// and SORT of the OPTIONS subcommand).
#pragma once

#include <vector>

#include "host/quvo.h"
#include "parser/settings.h"

namespace codebook {

// Reorders the list in place by the settings' varOrder, sortAscending and
// orderAttributeName. Reads measurement levels and variable attributes from
// the data source, no case data. An unknown varOrder leaves the list as it is.
void OrderItems(std::vector<CodebookItem>& items, const CodebookSettings& settings, const QUVO_DataSource& source);

}  // namespace codebook
