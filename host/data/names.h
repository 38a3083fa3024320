// Variable names made from header texts and field names as they come: a text
// that is not a valid name becomes one, and its text is kept for the label.
#pragma once

#include <string>
#include <vector>

namespace host {

struct MadeName {
  std::string name;
  bool renamed = false;  // name differs from the text given
};

// Names for texts[i] (column i + 1): a valid name that is free ignoring case
// is kept ("$" names only when keepDollar); any other text becomes letters,
// digits and "_" with a leading letter, at most 64 bytes, made unique by a
// suffix "_2", "_3", ...; a blank text becomes "V<column>". Texts that need
// no change keep their name even when an earlier text would have become it.
std::vector<MadeName> MakeVariableNames(const std::vector<std::string>& texts, bool keepDollar);

// The note that lists every renamed column: `what` names the texts
// ("header", "field name"), `place` the file and line, `position` what a
// text's number counts ("column" in a CSV's header, "field" in a schema,
// "variable" in a Stata or SAS file).
std::string RenameNote(const std::string& place, const std::string& what, const std::string& position,
                       const std::vector<std::string>& texts, const std::vector<MadeName>& names);

}  // namespace host
