// Loading a descriptor's JSON. Linear in the size of the text however large
// its objects are (the JSON library's ordered objects search every earlier
// key on each insertion), and every problem named by line and column: text
// that is not JSON, a key given twice in one object, nesting too deep, a
// number too large.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace host {

using Json = nlohmann::ordered_json;

// A descriptor larger than this is not one (and would take several times
// its size in memory once parsed).
constexpr std::size_t kMaxDescriptorBytes = std::size_t{128} << 20;

// Arrays and objects nested deeper than this are refused: a descriptor needs
// only a few levels, and deep values are expensive to copy and destroy.
constexpr int kMaxJsonDepth = 512;

// Parses the text (a byte-order mark already removed). Throws InputError.
Json ParseDescriptorJson(const std::string& text, const std::string& file);

// The same value for the plain JSON a descriptor almost always is, read
// quickly; false, with `out` undefined, for anything else (errors included),
// which ParseDescriptorJson then reads with the library's parser.
bool QuickParseJson(std::string_view text, Json& out);

// Reads the file (at most kMaxDescriptorBytes, one byte-order mark at most)
// and parses it. Throws InputError; out of memory gives "out of memory while
// reading FILE".
Json LoadDescriptorJson(const std::string& path);

// "file, line L, column C" of a byte of the text.
std::string Position(const std::string& text, std::size_t at, const std::string& file);

}  // namespace host
