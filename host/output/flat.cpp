#include "host/output/flat.h"

#include <unictype.h>
#include <unistr.h>
#include <uniwidth.h>

#include <unordered_map>

namespace host {

namespace {

bool HasCategory(const GroupNode& group) {
  for (const Child& c : group.children) {
    if (c.Category()) return true;
    if (c.Group() && HasCategory(*c.Group())) return true;
  }
  return false;
}

void Walk(const GroupNode& group, int depth, std::vector<FlatRow>& rows) {
  for (const Child& c : group.children) {
    if (c.Category()) {
      rows.push_back(FlatRow{depth, nullptr, c.Category()});
    } else if (c.Group() && HasCategory(*c.Group())) {
      rows.push_back(FlatRow{depth, c.Group(), nullptr});
      Walk(*c.Group(), depth + 1, rows);
    }
  }
}

// Finds the candidate column of a cell. Tables have a handful of columns, so
// a scan beats hashing; wide column dimensions get a hash table.
class ColumnIndex {
 public:
  explicit ColumnIndex(const std::vector<FlatColumn>& candidates) : fCandidates(candidates) {
    if (candidates.size() > kScanUpTo) {
      for (std::size_t i = 0; i < candidates.size(); ++i) fHash.emplace(candidates[i].category, i);
    }
  }
  std::size_t Of(const CategoryNode* column) const {
    if (fCandidates.size() > kScanUpTo) {
      auto it = fHash.find(column);
      return it == fHash.end() ? fCandidates.size() - 1 : it->second;
    }
    for (std::size_t i = 0; i < fCandidates.size(); ++i) {
      if (fCandidates[i].category == column) return i;
    }
    return fCandidates.size() - 1;  // cells of columns outside the dimension: with the row's own
  }

 private:
  static constexpr std::size_t kScanUpTo = 16;
  const std::vector<FlatColumn>& fCandidates;
  std::unordered_map<const CategoryNode*, std::size_t> fHash;
};

}  // namespace

std::string FlatTable::Join(CellList cells) {
  if (cells.size() == 1) return cells[0]->text.str();
  std::string out;
  for (std::size_t i = 0; i < cells.size(); ++i) {
    if (i > 0) out.push_back('\n');
    out += cells[i]->text;
  }
  return out;
}

FlatTable Flatten(const TableNode& table) {
  FlatTable flat;
  flat.table = &table;
  if (const DimensionNode* rows = table.RowDimension()) Walk(*rows, 0, flat.rows);

  // Candidate columns: the leaf categories of the column dimension, then one
  // for cells set on rows directly.
  std::vector<FlatColumn> candidates;
  const DimensionNode* columns = table.ColumnDimension();
  flat.hasColumnDimension = columns != nullptr;
  if (columns != nullptr) {
    columns->ForEachCategory([&](const CategoryNode& c) { candidates.push_back(FlatColumn{&c, c.label.text, false}); });
  }
  candidates.push_back(FlatColumn{});
  const ColumnIndex index(candidates);

  std::vector<bool> used(candidates.size(), false);
  std::vector<bool> numeric(candidates.size(), true);
  std::size_t cellCount = 0;
  for (const FlatRow& row : flat.rows) {
    if (row.row == nullptr) continue;
    for (const Cell& cell : row.row->Cells()) {
      const std::size_t c = index.Of(cell.column);
      used[c] = true;
      if (!cell.text.RightAligned()) numeric[c] = false;
      ++cellCount;
    }
  }
  std::vector<std::size_t> keep;
  for (std::size_t c = 0; c < candidates.size(); ++c) {
    if (!used[c]) continue;
    candidates[c].numeric = numeric[c];
    flat.columns.push_back(candidates[c]);
    keep.push_back(c);
  }

  // Bucket each row's cells by visible column, keeping their order.
  const std::size_t n = flat.columns.size();
  flat.refs.reserve(cellCount);
  flat.start.reserve(flat.rows.size() * n + 1);
  for (const FlatRow& row : flat.rows) {
    for (std::size_t k = 0; k < n; ++k) {
      flat.start.push_back(static_cast<std::uint32_t>(flat.refs.size()));
      if (row.row == nullptr) continue;
      for (const Cell& cell : row.row->Cells()) {
        if (index.Of(cell.column) == keep[k]) flat.refs.push_back(&cell.text);
      }
    }
  }
  flat.start.push_back(static_cast<std::uint32_t>(flat.refs.size()));
  return flat;
}

namespace {

bool IsRegionalIndicator(ucs4_t c) { return c >= 0x1F1E6 && c <= 0x1F1FF; }
bool IsEmojiModifier(ucs4_t c) { return c >= 0x1F3FB && c <= 0x1F3FF; }
constexpr ucs4_t kZeroWidthJoiner = 0x200D;
constexpr ucs4_t kEmojiPresentation = 0xFE0F;

ucs4_t Decode(const std::uint8_t* s, const std::uint8_t* end, int& bytes) {
  ucs4_t uc = 0;
  bytes = u8_mbtouc(&uc, s, static_cast<std::size_t>(end - s));
  return uc;
}

// The columns of the character at s (a byte that is not UTF-8 counts as one
// character, as U+FFFD) and its length in bytes. An emoji is one picture of
// two columns however it is spelled: with the presentation selector U+FE0F
// (a narrow symbol such as U+2764 then shows wide), with a skin tone, as a
// sequence joined by U+200D (a family, a flag with a rainbow) or as a pair of
// regional indicators (a country flag); terminals draw each as one glyph, so
// counting its parts would shift the columns after it.
std::size_t NextWidth(const std::uint8_t* s, const std::uint8_t* end, int& bytes) {
  if (*s < 0x80) {
    bytes = 1;
    return 1;
  }
  const ucs4_t uc = Decode(s, end, bytes);
  const int w = uc_width(uc, "UTF-8");  // ambiguous widths narrow, as outside East Asian locales
  std::size_t width = w < 0 ? 1 : static_cast<std::size_t>(w);
  const std::uint8_t* p = s + bytes;
  if (IsRegionalIndicator(uc)) {
    int next = 0;
    if (p < end && IsRegionalIndicator(Decode(p, end, next))) {
      bytes += next;
      return 2;
    }
    return width;
  }
  if (!uc_is_property_extended_pictographic(uc)) return width;
  while (p < end) {
    int n = 0;
    const ucs4_t c = Decode(p, end, n);
    if (c == kEmojiPresentation) {
      width = 2;
    } else if (IsEmojiModifier(c)) {
      // part of the picture before it
    } else if (c == kZeroWidthJoiner && p + n < end) {
      int joined = 0;
      if (!uc_is_property_extended_pictographic(Decode(p + n, end, joined))) break;
      n += joined;
    } else {
      break;
    }
    p += n;
  }
  bytes = static_cast<int>(p - s);
  return width;
}

}  // namespace

std::size_t DisplayWidth(std::string_view text) {
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto* end = s + text.size();
  std::size_t n = 0;
  while (s < end) {
    int bytes = 1;
    n += NextWidth(s, end, bytes);
    s += bytes;
  }
  return n;
}

std::size_t PrefixForColumns(std::string_view text, std::size_t columns) {
  const auto* begin = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto* end = begin + text.size();
  const auto* s = begin;
  std::size_t used = 0;
  while (s < end) {
    int bytes = 1;
    const std::size_t w = NextWidth(s, end, bytes);
    if (used + w > columns && s != begin) break;
    used += w;
    s += bytes;
  }
  return static_cast<std::size_t>(s - begin);
}

}  // namespace host
