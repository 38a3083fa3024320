// Text helpers shared by the renderers: what data text may hold that a
// terminal or a display of mixed-direction text would act on.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// Replaces control characters (C0 other than line feed, DEL, C1) and the
// line and paragraph separators U+2028 and U+2029 with blanks, so data
// cannot move the cursor or switch colours in a terminal, and drops
// bidirectional marks, embeddings, overrides and isolates, which take no
// column and could reverse the rest of a line.
std::string Sanitize(std::string_view text);

// What a character from the data is to a terminal or to the display of
// mixed-direction text, when it is more than a character to show.
enum class Invisible {
  None,       // shown as it is
  Control,    // a C1 control (U+0080..U+009F): U+009B is a CSI to many terminals
  Separator,  // U+2028 or U+2029: a line break to some viewers, nothing to others
  Direction,  // a mark, embedding, override or isolate (U+061C, U+200E, U+200F,
              // U+202A..U+202E, U+2066..U+2069): reorders what follows it
};
// The kind of the UTF-8 sequence at text[i], with its length in bytes (0 for
// None).
inline Invisible InvisibleAt(std::string_view text, std::size_t i, std::size_t& length) {
  length = 0;
  const auto byte = [&text](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char c = byte(i);
  if (c == 0xC2 && i + 1 < text.size() && byte(i + 1) >= 0x80 && byte(i + 1) < 0xA0) {
    length = 2;
    return Invisible::Control;
  }
  if (c == 0xD8 && i + 1 < text.size() && byte(i + 1) == 0x9C) {
    length = 2;
    return Invisible::Direction;
  }
  if (c != 0xE2 || i + 2 >= text.size()) return Invisible::None;
  const unsigned char c1 = byte(i + 1);
  const unsigned char c2 = byte(i + 2);
  length = 3;
  if (c1 == 0x80 && (c2 == 0xA8 || c2 == 0xA9)) return Invisible::Separator;
  if (c1 == 0x80 && (c2 == 0x8E || c2 == 0x8F || (c2 >= 0xAA && c2 <= 0xAE))) return Invisible::Direction;
  if (c1 == 0x81 && c2 >= 0xA6 && c2 <= 0xA9) return Invisible::Direction;
  length = 0;
  return Invisible::None;
}

// Splits text at line feeds and wraps each line at blanks to at most
// `width` display columns; words longer than that are cut. Width 0 or less
// means no wrapping. Always at least one (possibly empty) line.
std::vector<std::string> Wrap(const std::string& text, std::size_t width);

}  // namespace host
