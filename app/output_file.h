// Writing an output file so that it never exists half-written.
#pragma once

#include <functional>
#include <ostream>
#include <string>

namespace codebook_app {

// Writes the text to a temporary file beside `path` and renames it over
// `path` once complete. Devices and pipes (e.g. /dev/null) are written
// directly. On failure returns false with a message, leaving nothing behind.
bool WriteFileAtomically(const std::string& path, const std::string& text, std::string& error);

// The same, with the text produced piece by piece: `write` is handed a
// stream onto the (temporary) file, so a large document never has to be
// held in memory whole.
bool WriteFileAtomically(const std::string& path, const std::function<void(std::ostream&)>& write,
                         std::string& error);

}  // namespace codebook_app
