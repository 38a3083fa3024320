// The JSON renderer: one object {"items": [...]} whose structure automated
// checks read, so key names and order are fixed. Written straight to the
// stream in the layout the documents have always had (two-space indent,
// "key": value), without building a document tree first: a codebook with
// millions of rows must not need a second copy of itself in memory.
#include <string>
#include <string_view>

#include "host/data/extended_missing.h"
#include "host/output/json_writer.h"
#include "host/output/render.h"

namespace host {

namespace {

class Writer {
 public:
  explicit Writer(std::ostream& out) : fOut(out) { fBuffer.reserve(kFlushAt + 4096); }
  ~Writer() { Flush(); }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // Containers. Every value inside one starts on its own line; an empty one
  // is written as {} or [] on the spot.
  void BeginObject() { Open('{'); }
  void EndObject() { Close('}'); }
  void BeginArray() { Open('['); }
  void EndArray() { Close(']'); }

  void Key(std::string_view key) {
    NextValue();
    json::AppendString(fBuffer, key);
    fBuffer += ": ";
    fAfterKey = true;
  }
  void String(std::string_view text) {
    NextValue();
    json::AppendString(fBuffer, text);
  }
  void Number(double value) {
    NextValue();
    json::AppendNumber(fBuffer, value);
  }
  void Bool(bool value) {
    NextValue();
    fBuffer += value ? "true" : "false";
  }
  void Null() {
    NextValue();
    fBuffer += "null";
  }
  void Newline() { fBuffer.push_back('\n'); }

  void Flush() {
    fOut.write(fBuffer.data(), static_cast<std::streamsize>(fBuffer.size()));
    fBuffer.clear();
  }

 private:
  static constexpr std::size_t kFlushAt = 1 << 16;

  void NextValue() {
    if (fAfterKey) {  // the value of a key follows it on the same line
      fAfterKey = false;
      return;
    }
    if (fDepth == 0) return;
    fBuffer += fEmpty ? "\n" : ",\n";
    fEmpty = false;
    fBuffer.append(2 * fDepth, ' ');
    if (fBuffer.size() >= kFlushAt) Flush();
  }
  void Open(char bracket) {
    NextValue();
    fBuffer.push_back(bracket);
    ++fDepth;
    fEmpty = true;
  }
  void Close(char bracket) {
    --fDepth;
    if (!fEmpty) {
      fBuffer.push_back('\n');
      fBuffer.append(2 * fDepth, ' ');
    }
    fBuffer.push_back(bracket);
    fEmpty = false;
  }

  std::ostream& fOut;
  std::string fBuffer;
  std::size_t fDepth = 0;
  bool fEmpty = true;  // nothing written yet in the innermost container
  bool fAfterKey = false;
};

void WriteCell(Writer& w, const Cell& cell) {
  w.BeginObject();
  w.Key("column");
  if (cell.column != nullptr) {
    w.String(cell.column->label.text);
  } else {
    w.Null();
  }
  w.Key("text");
  w.String(cell.text.text);
  switch (cell.text.kind) {
    case CellOrigin::Number:
      w.Key("number");
      if (cell.text.hasNumber) {
        w.Number(cell.text.number);
      } else {
        w.Null();
      }
      break;
    case CellOrigin::String:
      w.Key("fixed");
      w.Bool(cell.text.fixed);
      break;
    default:
      break;
  }
  w.EndObject();
}

void WriteCategory(Writer& w, const CategoryNode& category, bool isColumn) {
  const CellText& label = category.label;
  w.BeginObject();
  w.Key("category");
  w.String(label.text);
  if (label.kind == CellOrigin::DataValue) {
    w.Key("value");
    if (label.valueIsString) {
      w.String(category.Origin());
    } else if (label.hasNumber && IsExtendedMissing(label.number)) {
      w.String(ExtendedMissingText(label.number));  // ".a": the code as its users write it
    } else if (label.hasNumber) {
      w.Number(label.number);
    } else {
      w.Null();
    }
  } else if (label.kind == CellOrigin::Variable) {
    w.Key("variable");
    w.String(category.Origin());
  }
  if (!isColumn) {
    w.Key("cells");
    w.BeginArray();
    for (const Cell& c : category.Cells()) WriteCell(w, c);
    w.EndArray();
  }
  w.EndObject();
}

void WriteChildren(Writer& w, const GroupNode& group, bool isColumn) {
  w.BeginArray();
  for (const Child& c : group.children) {
    if (c.Category() != nullptr) {
      WriteCategory(w, *c.Category(), isColumn);
    } else if (c.Group() != nullptr) {
      w.BeginObject();
      w.Key("group");
      w.String(c.Group()->label.text);
      w.Key("children");
      WriteChildren(w, *c.Group(), isColumn);
      w.EndObject();
    }
  }
  w.EndArray();
}

const char* PlaceName(int place) {
  switch (place) {
    case kColumns:
      return "column";
    case kLayers:
      return "layer";
    default:
      return "row";
  }
}

void WriteTable(Writer& w, const TableNode& table) {
  w.BeginObject();
  w.Key("kind");
  w.String("table");
  w.Key("title");
  w.String(table.title.text);
  w.Key("lookup");
  w.String(table.lookup.text);
  w.Key("flag");
  w.Bool(table.flag);
  w.Key("dimensions");
  w.BeginArray();
  for (const auto& d : table.dimensions) {
    w.BeginObject();
    w.Key("label");
    w.String(d->label.text);
    w.Key("place");
    w.String(PlaceName(d->place));
    w.Key("children");
    WriteChildren(w, *d, d->place == kColumns);
    w.EndObject();
  }
  w.EndArray();
  w.EndObject();
}

}  // namespace

void RenderJson(const OutputDocument& document, std::ostream& out, const RenderOptions& /*options*/) {
  Writer w(out);
  w.BeginObject();
  w.Key("items");
  w.BeginArray();
  for (const Item& item : document.Items()) {
    if (item.IsTable()) {
      WriteTable(w, *item.table);
    } else {
      w.BeginObject();
      w.Key("kind");
      w.String("message");
      w.Key("severity");
      w.String(item.message.severity == Severity::Error ? "error" : "warning");
      w.Key("text");
      w.String(item.message.text);
      w.EndObject();
    }
  }
  w.EndArray();
  w.EndObject();
  w.Newline();
}

}  // namespace host
