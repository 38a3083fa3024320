// Confinement of the paths a descriptor names: a data package is a folder,
// and what it refers to stays inside it.
#pragma once

#include <string>

namespace host {

struct ResourcePath {
  std::string open;     // the file to open: its real path, links resolved
  std::string display;  // as messages show it: the descriptor's folder joined with the path
};

// Resolves `relative`, a resource path written in the descriptor at
// `descriptor`, against the descriptor's folder. Refused (InputError naming
// the descriptor, `where` and the path): an empty path, a path holding NUL,
// an absolute path, a URL or anything beginning with a scheme ("http:",
// "file:", "C:"), a ".." component, a path whose symbolic links lead outside
// the folder, a symbolic link to nothing, and a file that is not a regular
// file (a named pipe would be waited on). A path that does not exist is
// returned as it is (the reader then reports that it cannot open it).
// A backslash separates folders, as where such a package was written: the
// path is read with '/' in its place.
ResourcePath ConfineResourcePath(const std::string& descriptor, const std::string& relative, const std::string& where);

// The path with every backslash made a '/'.
std::string SlashSeparated(std::string path);

}  // namespace host
