#include "host/data/json_load.h"

#include <charconv>
#include <cmath>
#include <iterator>
#include <memory>
#include <new>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "host/data/files.h"
#include "host/dataset.h"

namespace host {

namespace {

// A character iterator that records how far the parser has read, so that
// the events it reports (a key, a bracket) can be placed in the text.
class TrackingIterator {
 public:
  using iterator_category = std::forward_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  TrackingIterator() = default;
  TrackingIterator(const char* at, const char** furthest) : fAt(at), fFurthest(furthest) {}
  reference operator*() const { return *fAt; }
  // The parser reads each character once, in order (it keeps its own
  // look-ahead), so the last position reached is the furthest.
  TrackingIterator& operator++() {
    *fFurthest = ++fAt;
    return *this;
  }
  TrackingIterator operator++(int) {
    TrackingIterator before = *this;
    ++*this;
    return before;
  }
  bool operator==(const TrackingIterator& other) const { return fAt == other.fAt; }
  bool operator!=(const TrackingIterator& other) const { return fAt != other.fAt; }

 private:
  const char* fAt = nullptr;
  const char** fFurthest = nullptr;
};

// The parser's description of a problem, without its own prefix and position.
std::string Description(const nlohmann::detail::exception& e) {
  std::string what = e.what();
  std::size_t cut = what.find(": ");
  if (cut != std::string::npos) return what.substr(cut + 2);
  cut = what.find("] ");
  if (cut != std::string::npos) return what.substr(cut + 2);
  return what;
}

// Builds the value from the parser's events. Object members are appended
// directly (the text's order kept); duplicate keys are found through a hash
// index once an object has more than a few members.
class Builder {
 public:
  Builder(const std::string& text, const std::string& file, const char* const* furthest)
      : fText(text), fFile(file), fFurthest(furthest) {}

  Json Take() { return std::move(fRoot); }

  bool null() { return Add(Json(nullptr)) != nullptr; }
  bool boolean(bool value) { return Add(Json(value)) != nullptr; }
  bool number_integer(Json::number_integer_t value) { return Add(Json(value)) != nullptr; }
  bool number_unsigned(Json::number_unsigned_t value) { return Add(Json(value)) != nullptr; }
  bool number_float(Json::number_float_t value, const Json::string_t&) { return Add(Json(value)) != nullptr; }
  bool string(Json::string_t& value) { return Add(Json(std::move(value))) != nullptr; }
  bool binary(Json::binary_t&) { return true; }  // JSON text has no binary values

  bool start_object(std::size_t) {
    Open(Add(Json::object()));
    return true;
  }
  bool start_array(std::size_t) {
    Open(Add(Json::array()));
    return true;
  }
  bool end_object() {
    fKeyOffsets.resize(fStack.back().firstKey);
    fStack.pop_back();
    return true;
  }
  bool end_array() {
    fStack.pop_back();
    return true;
  }

  bool key(Json::string_t& name) {
    Frame& frame = fStack.back();
    // The ordered object is a vector of members underneath; appending to the
    // vector skips the object's own search for the key.
    Json::object_t::Container& members = frame.value->get_ref<Json::object_t&>();
    const std::size_t at = KeyStart();
    const std::size_t* offsets = fKeyOffsets.data() + frame.firstKey;
    constexpr std::size_t kIndexFrom = 16;
    std::size_t first = std::string::npos;
    if (members.size() < kIndexFrom) {
      for (std::size_t i = 0; i < members.size(); ++i) {
        if (members[i].first == name) first = offsets[i];
      }
    } else {
      if (!frame.index) {
        frame.index = std::make_unique<std::unordered_map<std::string, std::size_t>>();
        for (std::size_t i = 0; i < members.size(); ++i) frame.index->emplace(members[i].first, offsets[i]);
      }
      const auto [it, fresh] = frame.index->emplace(name, at);
      if (!fresh) first = it->second;
    }
    if (first != std::string::npos) {
      const std::string firstAt = Position(fText, first, fFile);
      throw InputError(Position(fText, at, fFile) + ": the property \"" + name +
                       "\" is given twice in the same object (first at " + firstAt.substr(fFile.size() + 2) +
                       "); keep one of them");
    }
    members.emplace_back(std::move(name), nullptr);
    fKeyOffsets.push_back(at);
    fPendingMember = &members.back().second;
    return true;
  }

  bool parse_error(std::size_t position, const std::string& token, const nlohmann::detail::exception& e) {
    const std::size_t at = position == 0 ? 0 : std::min<std::size_t>(position - 1, fText.size());
    if (e.id == 406) {  // a number too large for a double ("1e999"), just read
      const std::size_t start = position >= token.size() ? position - token.size() : 0;
      throw InputError(Position(fText, start, fFile) + ": the descriptor holds a number too large to represent (" +
                       Description(e) + ")");
    }
    throw InputError(Position(fText, at, fFile) + ": the descriptor is not valid JSON (" + Description(e) +
                     "). Check the commas, quotes and brackets around this place");
  }

 private:
  struct Frame {
    Json* value;
    std::size_t firstKey;  // objects: where their key offsets begin in fKeyOffsets
    std::unique_ptr<std::unordered_map<std::string, std::size_t>> index;  // many keys: key -> offset
  };

  // Places a value: the root, the next element of an array, or the value of
  // the member whose key came last.
  Json* Add(Json&& value) {
    if (fStack.empty()) {
      fRoot = std::move(value);
      return &fRoot;
    }
    Json& parent = *fStack.back().value;
    if (parent.is_array()) {
      Json::array_t& elements = parent.get_ref<Json::array_t&>();
      elements.push_back(std::move(value));
      return &elements.back();
    }
    *fPendingMember = std::move(value);
    return fPendingMember;
  }

  void Open(Json* value) {
    if (static_cast<int>(fStack.size()) >= kMaxJsonDepth) {
      throw InputError(Position(fText, Offset() - 1, fFile) + ": arrays and objects nest more than " +
                       std::to_string(kMaxJsonDepth) + " levels deep; a descriptor needs only a few");
    }
    fStack.push_back(Frame{value, fKeyOffsets.size(), nullptr});
  }

  std::size_t Offset() const { return static_cast<std::size_t>(*fFurthest - fText.data()); }

  // The parser has just read a key's closing quote; its opening quote is the
  // nearest one before that is not escaped.
  std::size_t KeyStart() const {
    std::size_t i = Offset() - 1;
    while (i > 0) {
      --i;
      if (fText[i] != '"') continue;
      std::size_t backslashes = 0;
      while (i > backslashes && fText[i - 1 - backslashes] == '\\') ++backslashes;
      if (backslashes % 2 == 0) return i;
    }
    return i;
  }

  const std::string& fText;
  const std::string& fFile;
  const char* const* fFurthest;
  Json fRoot;
  std::vector<Frame> fStack;
  std::vector<std::size_t> fKeyOffsets;  // where each key of the open objects begins, object after object
  Json* fPendingMember = nullptr;
};

// Reads the plain JSON a descriptor almost always is, several times faster
// than the library's parser (which copies every character into a token
// buffer). It takes no decision of its own: whatever it does not read the
// way the library would (an error of any kind, a repeated key, a number the
// library would turn into another type, a surrogate pair, deep nesting) makes
// it give up, and the library's parser reads the text again and says what is
// wrong where.
class QuickReader {
 public:
  QuickReader(const char* begin, const char* end) : fAt(begin), fEnd(end) {}

  bool Document(Json& out) {
    SkipBlanks();
    if (!Value(out, 0)) return false;
    SkipBlanks();
    return fAt == fEnd;
  }

 private:
  // Deeper documents are left to the library's parser, which refuses the
  // deepest with its message.
  static constexpr int kDepth = 64;
  // Objects with more members find a repeated key through a set.
  static constexpr std::size_t kIndexFrom = 16;

  void SkipBlanks() {
    while (fAt != fEnd && (*fAt == ' ' || *fAt == '\n' || *fAt == '\r' || *fAt == '\t')) ++fAt;
  }

  bool Take(char c) {
    if (fAt == fEnd || *fAt != c) return false;
    ++fAt;
    return true;
  }

  bool Value(Json& out, int depth) {
    if (fAt == fEnd || depth > kDepth) return false;
    switch (*fAt) {
      case '{':
        return Object(out, depth);
      case '[':
        return Array(out, depth);
      case '"': {
        std::string text;
        if (!String(text)) return false;
        out = Json(std::move(text));
        return true;
      }
      case 't':
        return Literal("true", Json(true), out);
      case 'f':
        return Literal("false", Json(false), out);
      case 'n':
        return Literal("null", Json(nullptr), out);
      default:
        return Number(out);
    }
  }

  bool Literal(std::string_view word, Json value, Json& out) {
    if (static_cast<std::size_t>(fEnd - fAt) < word.size() || std::string_view(fAt, word.size()) != word) return false;
    fAt += word.size();
    out = std::move(value);
    return true;
  }

  // The members are gathered on a stack shared by all open objects and
  // moved into the object at its end, made to size: a growing vector of
  // the object's own would copy its keys (they are const) at every growth.
  bool Object(Json& out, int depth) {
    ++fAt;
    const std::size_t first = fMembers.size();
    std::unique_ptr<std::unordered_set<std::string>> keys;
    SkipBlanks();
    if (!Take('}')) {
      for (;;) {
        std::string key;
        if (fAt == fEnd || *fAt != '"' || !String(key)) return false;
        const std::size_t count = fMembers.size() - first;
        if (count < kIndexFrom) {
          for (std::size_t i = first; i < fMembers.size(); ++i) {
            if (fMembers[i].first == key) return false;
          }
        } else {
          if (!keys) {
            keys = std::make_unique<std::unordered_set<std::string>>();
            for (std::size_t i = first; i < fMembers.size(); ++i) keys->insert(fMembers[i].first);
          }
          if (!keys->insert(key).second) return false;
        }
        SkipBlanks();
        if (!Take(':')) return false;
        SkipBlanks();
        fMembers.emplace_back(std::move(key), nullptr);
        Json value;
        if (!Value(value, depth + 1)) return false;
        fMembers[first + count].second = std::move(value);
        SkipBlanks();
        if (Take('}')) break;
        if (!Take(',')) return false;
        SkipBlanks();
      }
    }
    out = Json::object();
    Json::object_t::Container& members = out.get_ref<Json::object_t&>();
    members.reserve(fMembers.size() - first);
    for (std::size_t i = first; i < fMembers.size(); ++i) {
      members.emplace_back(std::move(fMembers[i].first), std::move(fMembers[i].second));
    }
    fMembers.resize(first);
    return true;
  }

  bool Array(Json& out, int depth) {
    ++fAt;
    out = Json::array();
    Json::array_t& elements = out.get_ref<Json::array_t&>();
    SkipBlanks();
    if (Take(']')) return true;
    for (;;) {
      elements.emplace_back();
      if (!Value(elements.back(), depth + 1)) return false;
      SkipBlanks();
      if (Take(']')) return true;
      if (!Take(',')) return false;
      SkipBlanks();
    }
  }

  // At the opening quote.
  bool String(std::string& out) {
    ++fAt;
    const char* run = fAt;
    while (fAt != fEnd) {
      const auto c = static_cast<unsigned char>(*fAt);
      if (c == '"') {
        out.append(run, fAt);
        ++fAt;
        return true;
      }
      if (c == '\\') {
        out.append(run, fAt);
        ++fAt;
        if (!Escape(out)) return false;
        run = fAt;
      } else if (c < 0x20) {
        return false;  // a control character must be escaped
      } else if (c < 0x80) {
        ++fAt;
      } else if (!Utf8()) {
        return false;
      }
    }
    return false;
  }

  // After the backslash.
  bool Escape(std::string& out) {
    if (fAt == fEnd) return false;
    const char c = *fAt++;
    switch (c) {
      case '"':
      case '\\':
      case '/':
        out += c;
        return true;
      case 'b':
        out += '\b';
        return true;
      case 'f':
        out += '\f';
        return true;
      case 'n':
        out += '\n';
        return true;
      case 'r':
        out += '\r';
        return true;
      case 't':
        out += '\t';
        return true;
      case 'u':
        break;
      default:
        return false;
    }
    if (fEnd - fAt < 4) return false;
    unsigned code = 0;
    for (int i = 0; i < 4; ++i) {
      const char h = *fAt++;
      unsigned digit = 0;
      if (h >= '0' && h <= '9') {
        digit = static_cast<unsigned>(h - '0');
      } else if (h >= 'a' && h <= 'f') {
        digit = static_cast<unsigned>(h - 'a' + 10);
      } else if (h >= 'A' && h <= 'F') {
        digit = static_cast<unsigned>(h - 'A' + 10);
      } else {
        return false;
      }
      code = code * 16 + digit;
    }
    if (code >= 0xD800 && code <= 0xDFFF) return false;  // surrogates: the library pairs them
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
    return true;
  }

  // A well-formed UTF-8 sequence of two to four bytes (no overlong forms,
  // no surrogates, nothing above U+10FFFF), the only ones the library takes.
  bool Utf8() {
    const auto* p = reinterpret_cast<const unsigned char*>(fAt);
    const auto left = static_cast<std::size_t>(fEnd - fAt);
    const unsigned lead = p[0];
    std::size_t length = 0;
    unsigned low = 0x80, high = 0xBF;  // the second byte's range
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (left < length || p[1] < low || p[1] > high) return false;
    for (std::size_t i = 2; i < length; ++i) {
      if (p[i] < 0x80 || p[i] > 0xBF) return false;
    }
    fAt += length;
    return true;
  }

  // The library's grammar; a whole number is unsigned, or signed when it
  // has a minus sign, as the library types it.
  bool Number(Json& out) {
    const char* start = fAt;
    const bool negative = Take('-');
    if (fAt == fEnd) return false;
    if (*fAt == '0') {
      ++fAt;
    } else if (*fAt >= '1' && *fAt <= '9') {
      while (fAt != fEnd && *fAt >= '0' && *fAt <= '9') ++fAt;
    } else {
      return false;
    }
    const char* integerEnd = fAt;
    bool whole = true;
    if (Take('.')) {
      whole = false;
      if (!Digits()) return false;
    }
    if (fAt != fEnd && (*fAt == 'e' || *fAt == 'E')) {
      whole = false;
      ++fAt;
      if (fAt != fEnd && (*fAt == '+' || *fAt == '-')) ++fAt;
      if (!Digits()) return false;
    }
    if (whole) {
      const char* digits = start + (negative ? 1 : 0);
      // Longer numbers may not fit the library's types; it decides.
      if (integerEnd - digits > 18) return false;
      std::uint64_t value = 0;
      for (const char* d = digits; d != integerEnd; ++d) value = value * 10 + static_cast<unsigned>(*d - '0');
      if (negative) {
        out = Json(static_cast<Json::number_integer_t>(-static_cast<std::int64_t>(value)));
      } else {
        out = Json(static_cast<Json::number_unsigned_t>(value));
      }
      return true;
    }
    double value = 0;
    const auto [end, error] = std::from_chars(start, fAt, value);
    // Too large or too small for a double: the library's parser decides.
    if (error != std::errc() || end != fAt || !std::isfinite(value)) return false;
    out = Json(value);
    return true;
  }

  bool Digits() {
    const char* first = fAt;
    while (fAt != fEnd && *fAt >= '0' && *fAt <= '9') ++fAt;
    return fAt != first;
  }

  const char* fAt;
  const char* fEnd;
  std::vector<std::pair<std::string, Json>> fMembers;  // of the open objects, object after object
};
}  // namespace

std::string Position(const std::string& text, std::size_t at, const std::string& file) {
  std::size_t line = 1, column = 1;
  for (std::size_t i = 0; i < at && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      ++column;
    }
  }
  return file + ", line " + std::to_string(line) + ", column " + std::to_string(column);
}

bool QuickParseJson(std::string_view text, Json& out) {
  QuickReader reader(text.data(), text.data() + text.size());
  return reader.Document(out);
}

Json ParseDescriptorJson(const std::string& text, const std::string& file) {
  {
    Json quick;
    if (QuickParseJson(text, quick)) return quick;
  }
  const char* furthest = text.data();
  Builder builder(text, file, &furthest);
  TrackingIterator first(text.data(), &furthest);
  TrackingIterator last(text.data() + text.size(), &furthest);
  Json::sax_parse(first, last, &builder);
  return builder.Take();
}

Json LoadDescriptorJson(const std::string& path) {
  const std::string text = ReadInputFile(path, kMaxDescriptorBytes, "descriptor");
  try {
    return ParseDescriptorJson(text, path);
  } catch (const std::bad_alloc&) {
    throw InputError(OutOfMemoryWhileReading(path));
  }
}

}  // namespace host
