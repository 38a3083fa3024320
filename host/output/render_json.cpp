// The JSON renderer: one object {"items": [...]} whose structure automated
// checks read, so key names and order are fixed. Written straight to the
// stream in the layout the documents have always had (two-space indent,
// "key": value), without building a document tree first: a codebook with
// millions of rows must not need a second copy of itself in memory.
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// Writes items in order, a table as far as it is final: a table built in
// order and still growing is written up to its row made last, and the rows
// written are handed back to it (when `release`), so that it reuses their
// storage. A whole document (every table complete) goes through the same
// steps, so both ways give the same bytes.
class ItemWriter {
 public:
  ItemWriter(Writer& w, bool release) : fW(w), fRelease(release) {}

  // True once the item is written whole.
  bool Write(const Item& item, bool whole) {
    if (!item.IsTable()) {
      fW.BeginObject();
      fW.Key("kind");
      fW.String("message");
      fW.Key("severity");
      fW.String(item.message.severity == Severity::Error ? "error" : "warning");
      fW.Key("text");
      fW.String(item.message.text);
      fW.EndObject();
      return true;
    }
    return WriteTable(*item.table, whole || item.table->complete);
  }

 private:
  bool WriteTable(const TableNode& table, bool complete) {
    const auto& dimensions = table.dimensions;
    // Only the first dimension's rows can go before the table is complete:
    // what follows them may still change.
    if (!complete && (!table.streamed || dimensions.empty() || dimensions.front()->place != kRows)) return false;
    if (fTable != &table) {
      fTable = &table;
      fDimension = 0;
      fPath.clear();
      fW.BeginObject();
      fW.Key("kind");
      fW.String("table");
      fW.Key("title");
      fW.String(table.title.text);
      fW.Key("lookup");
      fW.String(table.lookup.text);
      fW.Key("flag");
      fW.Bool(table.flag);
      fW.Key("dimensions");
      fW.BeginArray();
    }
    for (; fDimension < dimensions.size(); ++fDimension) {
      DimensionNode& d = *dimensions[fDimension];
      if (fPath.empty()) {
        if (!complete && fDimension > 0) return false;
        fW.BeginObject();
        fW.Key("label");
        fW.String(d.label.text);
        fW.Key("place");
        fW.String(PlaceName(d.place));
        fW.Key("children");
        fW.BeginArray();
        fPath.push_back({&d, 0});
      }
      if (!WriteChildren(table, d.place == kColumns, complete)) return false;
      fW.EndObject();
    }
    fW.EndArray();
    fW.EndObject();
    fTable = nullptr;
    return true;
  }

  // Walks on from where the last call stopped; false at a row that is not
  // final yet (a container cannot close while the table grows).
  bool WriteChildren(const TableNode& table, bool isColumn, bool complete) {
    while (!fPath.empty()) {
      auto& [group, next] = fPath.back();
      if (next == group->children.size()) {
        if (!complete && table.MayGrow(*group)) return false;
        if (fRelease) group->closed = true;
        fW.EndArray();
        fPath.pop_back();
        if (!fPath.empty()) fW.EndObject();  // a group's object; the dimension's is the caller's
        continue;
      }
      const Child child = group->children[next++];
      if (GroupNode* inner = child.Group()) {
        fW.BeginObject();
        fW.Key("group");
        fW.String(inner->label.text);
        fW.Key("children");
        fW.BeginArray();
        fPath.push_back({inner, 0});
        continue;
      }
      CategoryNode* category = child.Category();
      if (!complete && category == table.lastRow) {
        --next;
        return false;
      }
      WriteCategory(fW, *category, isColumn);
      if (fRelease && table.streamed && !isColumn) Forget(*category, fPath.back());
    }
    return true;
  }

  // A streamed row is written: its node goes back to the table, and the
  // written start of its group's list is dropped now and then.
  static void Forget(CategoryNode& row, std::pair<GroupNode*, std::size_t>& at) {
    GroupNode& group = *at.first;
    row.Table()->Release(row);
    constexpr std::size_t kDropAt = 4096;
    if (at.second >= kDropAt && 2 * at.second >= group.children.size()) {
      group.children.erase(group.children.begin(), group.children.begin() + static_cast<std::ptrdiff_t>(at.second));
      at.second = 0;
    }
  }

  Writer& fW;
  bool fRelease;
  const TableNode* fTable = nullptr;  // the table written in part
  std::size_t fDimension = 0;
  // Open containers, next child of each. Held non-const because the writer
  // that releases (the streaming one, which owns the live document) marks
  // written groups closed and hands written rows back through them.
  std::vector<std::pair<GroupNode*, std::size_t>> fPath;
};

// The report written while the commands run.
class JsonStream final : public ItemSink, public ReportStream {
 public:
  explicit JsonStream(std::ostream& out) : fW(out), fItems(fW, true) {
    fW.BeginObject();
    fW.Key("items");
    fW.BeginArray();
    Output().SetSink(this);
  }
  ~JsonStream() override { Output().SetSink(nullptr); }

  bool Write(Item& item) override { return fItems.Write(item, false); }
  void CompleteItems() override { Output().CompleteAll(); }
  void Finish() override {
    Output().CompleteAll();
    Output().SetSink(nullptr);
    fW.EndArray();
    fW.EndObject();
    fW.Newline();
    fW.Flush();
  }

 private:
  Writer fW;
  ItemWriter fItems;
};

}  // namespace

void RenderJson(const OutputDocument& document, std::ostream& out, const RenderOptions& /*options*/) {
  Writer w(out);
  ItemWriter items(w, false);
  w.BeginObject();
  w.Key("items");
  w.BeginArray();
  for (const Item& item : document.Items()) items.Write(item, true);
  w.EndArray();
  w.EndObject();
  w.Newline();
}

ReportStream::~ReportStream() = default;

bool CanStreamReport(OutputFormat format) { return format == OutputFormat::Json; }

std::unique_ptr<ReportStream> StreamReport(OutputFormat format, std::ostream& out, const RenderOptions& /*options*/) {
  if (!CanStreamReport(format)) return nullptr;
  return std::make_unique<JsonStream>(out);
}

}  // namespace host
