// Case tables kept as text files under tests/unit/cases/, so that a reviewer
// reads inputs and expected results without C++ quoting around them.
//
//   # a comment (before the first case, or in a case's body)
//   === title of the case
//   expected line          the case's body: its lines, blank and # lines aside
//   --- name               a block: the following lines verbatim, up to the
//   block text             next "---" or "===" line, trailing blank lines
//                          dropped; each line ends in "\n" (a "#" line
//                          there is text of the block)
#pragma once

#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

struct TextCase {
  std::string where;  // "file:line", for failure messages
  std::string title;
  std::vector<std::string> body;
  std::vector<std::pair<std::string, std::string>> blocks;

  // The text of a block ("" when absent) and whether it is there.
  std::string Block(const std::string& name) const;
  bool Has(const std::string& name) const;
  // Removes the body line "key: value" and returns its value ("" when absent).
  std::string Take(const std::string& key);
  // The body as text, one "\n"-ended line each.
  std::string Text() const;
};

// Parameterised tests name a case by its place and title.
inline void PrintTo(const TextCase& c, std::ostream* os) { *os << c.where << ": " << c.title; }

// Reads tests/unit/cases/<name>; a file that cannot be read fails the test
// run with a message.
std::vector<TextCase> ReadCases(const std::string& name);

}  // namespace testsupport
