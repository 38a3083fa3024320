// Text helpers shared by the plain-text and Markdown renderers.
#pragma once

#include <string>
#include <vector>

namespace host {

// Replaces control characters (C0 other than line feed, DEL, C1) with blanks,
// so data cannot move the cursor or switch colours in a terminal, and drops
// bidirectional marks, embeddings, overrides and isolates, which take no
// column and could reverse the rest of a line.
std::string Sanitize(std::string_view text);

// Splits text at line feeds and wraps each line at blanks to at most
// `width` display columns; words longer than that are cut. Width 0 or less
// means no wrapping. Always at least one (possibly empty) line.
std::vector<std::string> Wrap(const std::string& text, std::size_t width);

}  // namespace host
