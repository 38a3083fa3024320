// Work that the threads reading a file may share.
#pragma once

#include <cstddef>
#include <functional>

namespace host {

// Runs part(i) for every i < count and returns once every part has run; a
// part's exception comes out here, after the others have run. Called from a
// plan's gather on a CSV reader thread, the parts may also run on reader
// threads that have nothing left to read (the last blocks of a file would
// otherwise be gathered by one thread while the others wait); anywhere else
// they run here, in order.
void ShareParts(std::size_t count, const std::function<void(std::size_t)>& part);

}  // namespace host
