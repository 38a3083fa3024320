#include "app/messages.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <vector>

namespace codebook_app {

namespace {

// The length of the UTF-8 sequence at text[i] and its code point; 0 when the
// bytes there are not a well-formed sequence.
std::size_t DecodeUtf8(std::string_view text, std::size_t i, char32_t& code) {
  const auto b0 = static_cast<unsigned char>(text[i]);
  std::size_t length = 0;
  char32_t min = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2, code = b0 & 0x1Fu, min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3, code = b0 & 0x0Fu, min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4, code = b0 & 0x07u, min = 0x10000;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const auto b = static_cast<unsigned char>(text[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    code = (code << 6) | (b & 0x3Fu);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

// Characters that change how the rest of a line is shown without being
// visible themselves.
bool IsFormatControl(char32_t c) {
  return (c >= 0x80 && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069) || c == 0x2028 || c == 0x2029;
}

void WriteAll(const char* data, std::size_t size) noexcept {
  while (size > 0) {
    const ssize_t n = ::write(STDERR_FILENO, data, size);
    if (n <= 0) return;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

}  // namespace

std::string EscapeControls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  char hex[16];
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if ((c >= 0x20 && c < 0x7F) || c == '\n') {
      out += text[i++];
      continue;
    }
    char32_t code = 0;
    const std::size_t length = c < 0x80 ? 0 : DecodeUtf8(text, i, code);
    if (length == 0) {
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
      ++i;
    } else if (IsFormatControl(code)) {
      std::snprintf(hex, sizeof hex, "\\u%04X", static_cast<unsigned>(code));
      out += hex;
      i += length;
    } else {
      out.append(text.substr(i, length));
      i += length;
    }
  }
  return out;
}

std::string ShortenLongWords(std::string_view text) {
  constexpr std::size_t kLongWord = 1000;  // longer than any path a user types
  constexpr std::size_t kKept = 200;
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t end = text.find_first_of(" \n", i);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view word = text.substr(i, end - i);
    if (word.size() > kLongWord) {
      std::size_t cut = kKept;
      while (cut > 0 && (static_cast<unsigned char>(word[cut]) & 0xC0) == 0x80) --cut;  // whole characters
      out += word.substr(0, cut);
      // The quote and colon that close a quoted name stay, so that the
      // message still reads "cannot write '/path…': reason".
      std::size_t tail = 0;
      while (tail < 4 && std::string_view("'\":;,.)]").find(word[word.size() - 1 - tail]) != std::string_view::npos) {
        ++tail;
      }
      out += "\xE2\x80\xA6 (" + std::to_string(word.size()) + " bytes in all)";
      out += word.substr(word.size() - tail);
    } else {
      out += word;
    }
    if (end < text.size()) out += text[end];
    i = end + 1;
  }
  return out;
}

namespace {

// The names given to LineFeedsAreText that hold a line feed, each with the
// slashes around it where it has them, so that a name of line feeds alone
// does not take every line break of a message for its own.
std::vector<std::string>& NamesWithLineFeeds() {
  static std::vector<std::string> names;
  return names;
}

// The message with the line feeds of those names written as \x0A.
std::string ShowNamedLineFeeds(std::string_view message) {
  std::string text(message);
  for (const std::string& name : NamesWithLineFeeds()) {
    std::string shown;
    for (const char c : name) shown += c == '\n' ? std::string("\\x0A") : std::string(1, c);
    for (std::size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + shown.size())) {
      text.replace(at, name.size(), shown);
    }
  }
  return text;
}

// A message that lists several problems has one per line; each line gets
// the prefix.
void WriteLines(std::string_view prefix, std::string_view original) {
  const std::string shown = NamesWithLineFeeds().empty() ? std::string() : ShowNamedLineFeeds(original);
  std::string_view message = NamesWithLineFeeds().empty() ? original : std::string_view(shown);
  std::string text;
  for (;;) {
    const std::size_t end = message.find('\n');
    text += "codebook: ";
    text += prefix;
    text += EscapeControls(ShortenLongWords(message.substr(0, end)));
    text += '\n';
    if (end == std::string_view::npos) break;
    message.remove_prefix(end + 1);
  }
  WriteAll(text.data(), text.size());
}
}  // namespace

void LineFeedsAreText(std::string_view path) {
  for (std::size_t start = 0; start < path.size();) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view name = path.substr(start, end - start);
    if (name.find('\n') != std::string_view::npos) {
      const bool onlyLineFeeds = name.find_first_not_of('\n') == std::string_view::npos;
      const std::size_t from = onlyLineFeeds && start > 0 ? start - 1 : start;
      const std::size_t to = onlyLineFeeds && end < path.size() ? end + 1 : end;
      std::vector<std::string>& names = NamesWithLineFeeds();
      const std::string kept(path.substr(from, to - from));
      if (std::find(names.begin(), names.end(), kept) == names.end()) names.push_back(kept);
    }
    start = end + 1;
  }
}

void Fail(std::string_view message) { WriteLines("", message); }

void Warn(std::string_view message) { WriteLines("warning: ", message); }

namespace {
std::atomic<bool> gQuietNotes{false};  // read on the pipe watcher's thread
}  // namespace

void QuietNotes() { gQuietNotes.store(true, std::memory_order_relaxed); }

void Note(std::string_view message) {
  if (!gQuietNotes.load(std::memory_order_relaxed)) WriteLines("note: ", message);
}

bool NoRoomForThread(const std::exception& e) noexcept {
  const auto* system = dynamic_cast<const std::system_error*>(&e);
  return system != nullptr && (system->code() == std::errc::resource_unavailable_try_again ||
                               system->code() == std::errc::not_enough_memory);
}

void FailOutOfMemory(const char* doing, const char* file) noexcept {
  try {
    std::string message = "out of memory while ";
    message += doing;
    if (file != nullptr && *file != '\0') message += ' ', message += file;
    Fail(message);
    return;
  } catch (...) {
  }
  // Not even the message fits: write it in pieces, the file name byte by
  // byte with every byte outside printable ASCII as \xHH.
  static const char kPrefix[] = "codebook: out of memory while ";
  WriteAll(kPrefix, sizeof kPrefix - 1);
  WriteAll(doing, std::strlen(doing));
  if (file != nullptr && *file != '\0') {
    WriteAll(" ", 1);
    for (const char* p = file; *p != '\0'; ++p) {
      const auto c = static_cast<unsigned char>(*p);
      if (c >= 0x20 && c < 0x7F) {
        WriteAll(p, 1);
      } else {
        static const char kDigits[] = "0123456789ABCDEF";
        const char escaped[4] = {'\\', 'x', kDigits[c >> 4], kDigits[c & 15]};
        WriteAll(escaped, 4);
      }
    }
  }
  WriteAll("\n", 1);
}

}  // namespace codebook_app
