#include "host/data/json_load.h"

#include <cctype>
#include <cstdint>
#include <iterator>
#include <memory>
#include <new>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <simdjson.h>

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
    // A second object that begins a line after a whole first one: JSON Lines,
    // one record per line, as databases and log tools write data.
    const bool jsonLines = std::string_view(e.what()).find("expected end of input") != std::string_view::npos &&
                           at < fText.size() && fText[at] == '{' && at > 0 && fText[at - 1] == '\n';
    // What hand-written descriptors carry from JSON5 and editors' settings
    // files: comments, and a comma after the last member or element.
    const bool comment = at + 1 < fText.size() && fText[at] == '/' && (fText[at + 1] == '/' || fText[at + 1] == '*');
    std::size_t before = at;
    while (before > 0 && std::isspace(static_cast<unsigned char>(fText[before - 1]))) --before;
    const bool trailingComma =
        at < fText.size() && (fText[at] == '}' || fText[at] == ']') && before > 0 && fText[before - 1] == ',';
    std::string advice = ". Check the commas, quotes and brackets around this place";
    if (jsonLines) {
      advice =
          "; the file holds one JSON object per line (JSON Lines), which is data, not a data package descriptor: "
          "save the records as a CSV file and name that";
    } else if (comment) {
      advice = "; JSON has no comments: remove them (or keep notes in a \"description\" property)";
    } else if (trailingComma) {
      advice = "; JSON allows no comma after the last member or element: remove the comma before this bracket";
    }
    throw InputError(Position(fText, at, fFile) + ": the descriptor is not valid JSON (" + Description(e) + ")" +
                     advice);
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

// Converts simdjson's reading of a descriptor into the library's ordered
// tree, giving up (false) wherever the library would read the text to
// another value or refuse it with a message: a repeated key, nesting the
// library refuses, a whole number it types otherwise. simdjson itself
// refuses what is not JSON (control characters and lone surrogates in
// strings, invalid UTF-8, numbers beyond a double or beyond 64 bits), and
// the library's parser then reads the text again and says what is wrong
// where.
class Converter {
 public:
  bool Value(simdjson::dom::element element, Json& out, int depth) {
    using Type = simdjson::dom::element_type;
    switch (element.type()) {
      case Type::OBJECT:
        return depth < kDepth && Object(element.get_object().value_unsafe(), out, depth);
      case Type::ARRAY: {
        if (depth >= kDepth) return false;
        const simdjson::dom::array array = element.get_array().value_unsafe();
        out = Json::array();
        Json::array_t& elements = out.get_ref<Json::array_t&>();
        elements.reserve(array.size());
        for (const simdjson::dom::element item : array) {
          elements.emplace_back();
          if (!Value(item, elements.back(), depth + 1)) return false;
        }
        return true;
      }
      case Type::STRING:
        out = Json(std::string(element.get_string().value_unsafe()));
        return true;
      case Type::INT64: {
        // The library types a whole number without a sign as unsigned.
        const std::int64_t value = element.get_int64().value_unsafe();
        if (value >= 0) {
          out = Json(static_cast<Json::number_unsigned_t>(value));
        } else {
          out = Json(static_cast<Json::number_integer_t>(value));
        }
        return true;
      }
      case Type::UINT64:
        out = Json(static_cast<Json::number_unsigned_t>(element.get_uint64().value_unsafe()));
        return true;
      case Type::DOUBLE:
        out = Json(element.get_double().value_unsafe());
        return true;
      case Type::BOOL:
        out = Json(element.get_bool().value_unsafe());
        return true;
      case Type::NULL_VALUE:
        out = Json(nullptr);
        return true;
    }
    return false;
  }

 private:
  // Deeper documents are left to the library's parser, which refuses the
  // deepest with its message.
  static constexpr int kDepth = 64;
  // Objects with more members find a repeated key through a set.
  static constexpr std::size_t kIndexFrom = 16;

  bool Object(simdjson::dom::object object, Json& out, int depth) {
    out = Json::object();
    Json::object_t::Container& members = out.get_ref<Json::object_t&>();
    members.reserve(object.size());
    std::unique_ptr<std::unordered_set<std::string_view>> keys;
    for (const simdjson::dom::key_value_pair member : object) {
      if (members.size() < kIndexFrom) {
        for (const auto& earlier : members) {
          if (earlier.first == member.key) return false;
        }
      } else {
        if (!keys) {
          keys = std::make_unique<std::unordered_set<std::string_view>>();
          for (const auto& earlier : members) keys->insert(earlier.first);
        }
        if (!keys->insert(member.key).second) return false;
      }
      members.emplace_back(std::string(member.key), nullptr);
      if (!Value(member.value, members.back().second, depth + 1)) return false;
    }
    return true;
  }
};

// "-0" is a signed whole number to the library and an unsigned one once
// converted (simdjson reads it as 0): such a text goes to the library.
bool HasNegativeWholeZero(std::string_view text) {
  for (std::size_t at = text.find("-0"); at != std::string_view::npos; at = text.find("-0", at + 2)) {
    const char next = at + 2 < text.size() ? text[at + 2] : ' ';
    if (next != '.' && next != 'e' && next != 'E') return true;
  }
  return false;
}

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
  if (HasNegativeWholeZero(text)) return false;
  simdjson::dom::parser parser;
  simdjson::dom::element root;
  if (parser.parse(simdjson::padded_string(text)).get(root) != simdjson::SUCCESS) return false;
  return Converter().Value(root, out, 0);
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
