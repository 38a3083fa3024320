// Reading input files whole (descriptors, syntax files), with the checks
// every such input gets: folders refused, a size cap, the system's reason in
// every message, one byte-order mark at most, UTF-16 made UTF-8.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "host/api.h"

namespace host {

// Reads the whole file. A pipe or other stream is read once, to its end; a
// folder is refused, and so is a file of more than maxBytes. A leading UTF-8
// byte-order mark is removed; a second one right after it is an error. Text
// that begins with a UTF-16 byte-order mark is converted to UTF-8.
// `what` names the kind of file in messages ("descriptor", "syntax file").
// Throws InputError naming the file (and the system's reason where there is
// one); running out of memory gives "out of memory while reading FILE".
HOST_API std::string ReadInputFile(const std::string& path, std::size_t maxBytes, const std::string& what);

// "out of memory while reading FILE".
HOST_API std::string OutOfMemoryWhileReading(const std::string& path);

// `bytes` in `encoding` made UTF-8 in one call to iconv. kUnknown: iconv does
// not know the encoding (`out` empty); kStopped: bytes that are not text in
// it (`out` holds what was converted before them, for a message's position).
enum class Utf8Conversion { kDone, kUnknown, kStopped };
Utf8Conversion ConvertToUtf8(std::string_view bytes, const char* encoding, std::string& out);

// What a path that is no regular file is, in a message's words: "a socket",
// "a named pipe", "a device"; empty for a file, a folder or no such path.
// Opening a socket fails with "No such device or address", which says
// nothing of what to do.
std::string SpecialFileKind(const std::string& path);

// Sizes in messages: "64 MiB".
std::string MebibytesText(std::size_t bytes);

}  // namespace host
