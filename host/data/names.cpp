#include "host/data/names.h"
#include "host/common/text.h"

#include <unordered_set>

#include "host/data/dataset.h"
#include "host/quvo.h"

namespace host {
namespace {

constexpr std::size_t kMaxNameBytes = 64;

// Characters outside ASCII that are punctuation, symbols or spaces rather
// than letters: they separate words like ASCII punctuation does.
bool IsSeparator(char32_t cp) {
  return (cp >= 0x80 && cp <= 0xBF) || cp == 0xD7 || cp == 0xF7 || (cp >= 0x2000 && cp <= 0x2BFF) ||
         (cp >= 0x3000 && cp <= 0x303F) || (cp >= 0xFE30 && cp <= 0xFE4F) || cp == 0xFEFF ||
         (cp >= 0xFF00 && cp <= 0xFF0F) || (cp >= 0xFF1A && cp <= 0xFF20) || (cp >= 0xFF3B && cp <= 0xFF40) ||
         (cp >= 0xFF5B && cp <= 0xFF65);
}

// The length of the UTF-8 sequence at text[i] and its code point; an invalid
// byte counts as one separator byte.
std::size_t NextChar(const std::string& text, std::size_t i, char32_t& cp) {
  const auto c = static_cast<unsigned char>(text[i]);
  std::size_t len = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
  if (len == 0 || i + len > text.size()) {
    cp = 0xBF;
    return 1;
  }
  cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
  for (std::size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(text[i + k]);
    if ((b & 0xC0) != 0x80) {
      cp = 0xBF;
      return 1;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  return len;
}

// Cuts to at most max bytes without splitting a UTF-8 sequence.
std::string Cut(const std::string& text, std::size_t max) {
  if (text.size() <= max) return text;
  std::size_t cut = max;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut);
}

bool IsAsciiWordChar(char32_t cp) {
  return (cp >= 'a' && cp <= 'z') || (cp >= 'A' && cp <= 'Z') || (cp >= '0' && cp <= '9') || cp == '_';
}

// Letters, digits and "_" from the text, each run of other characters one "_".
std::string Sanitise(const std::string& text, std::size_t column) {
  std::string out;
  bool gap = false;
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    const std::size_t len = NextChar(text, i, cp);
    const bool word = IsAsciiWordChar(cp) || (cp >= 0x80 && !IsSeparator(cp));
    if (word) {
      if (gap && !out.empty()) out += '_';
      gap = false;
      out.append(text, i, len);
      // The name keeps at most kMaxNameBytes: the rest of a header of
      // megabytes (a file with no line break) need not be looked at.
      if (out.size() >= kMaxNameBytes + 8) break;
    } else {
      gap = true;
    }
    i += len;
  }
  if (out.empty()) return "V" + std::to_string(column);
  if ((out[0] >= '0' && out[0] <= '9') || out[0] == '_') out.insert(0, "V");
  out = Cut(out, kMaxNameBytes);
  if (ValidateQUVOName(out.c_str()) == 4) out = Cut(out, kMaxNameBytes - 1) + "_";  // a reserved word such as TO
  return out;
}

// Whether a text holds a space that command syntax reads as a blank (the
// no-break spaces that spreadsheets put between words, a zero-width space,
// a byte order mark): a name that held one could not be written in a
// command, which would read two names there.
bool HoldsSyntaxBlank(const std::string& text) {
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    i += NextChar(text, i, cp);
    if (cp == 0xA0 || cp == 0x202F || cp == 0x2007 || cp == 0x200B || cp == 0xFEFF) return true;
  }
  return false;
}

bool Keeps(const std::string& text, bool keepDollar) {
  return !text.empty() && text.find('\0') == std::string::npos && ValidateQUVOName(text.c_str()) == 0 &&
         (keepDollar || text[0] != '$') && !HoldsSyntaxBlank(text);
}

// Long question texts are cut in the note; the label keeps them whole.
// A header's text as the note shows it: shortened, and a line break (a
// quoted header may hold one) shown, not made, so that the note keeps one
// rename per line.
std::string Shortened(const std::string& text) {
  constexpr std::size_t kShown = 80;
  return ShownLineBreaks(text.size() <= kShown ? text : Cut(text, kShown) + "...");
}

}  // namespace

std::vector<MadeName> MakeVariableNames(const std::vector<std::string>& texts, bool keepDollar) {
  std::vector<MadeName> names(texts.size());
  std::unordered_set<std::string> used;
  std::vector<bool> kept(texts.size(), false);
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (Keeps(texts[i], keepDollar) && used.insert(UpperAscii(texts[i])).second) {
      names[i].name = texts[i];
      kept[i] = true;
    }
  }
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (kept[i]) continue;
    const std::string base = Sanitise(texts[i], i + 1);
    std::string name = base;
    for (int k = 2; !used.insert(UpperAscii(name)).second; ++k) {
      const std::string suffix = "_" + std::to_string(k);
      name = Cut(base, kMaxNameBytes - suffix.size()) + suffix;
    }
    names[i].name = name;
    names[i].renamed = true;
  }
  return names;
}

std::string RenameNote(const std::string& place, const std::string& what, const std::string& position,
                       const std::vector<std::string>& texts, const std::vector<MadeName>& names) {
  std::size_t count = 0;
  for (const MadeName& n : names) count += n.renamed ? 1 : 0;
  std::string note = place + ": " + std::to_string(count) + " " + what +
                     (count == 1 ? " is not a valid, unique variable name and became this one"
                                 : "s are not valid, unique variable names and became these") +
                     " (the text is kept as the label):";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (!names[i].renamed) continue;
    note += "\n  " + position + " " + std::to_string(i + 1) + ": ";
    note += texts[i].empty() ? std::string("(blank)") : "\"" + Shortened(texts[i]) + "\"";
    note += " -> " + names[i].name;
  }
  return note;
}

}  // namespace host
