// The process-wide pool of string values behind string OBS.
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/common/hash.h"
#include "host/common/text.h"
#include "host/obs.h"

namespace {

// Texts are packed into chunks that never move (views handed out stay valid
// as the pool grows); an id is a position in a list of places, 8 bytes each
// (chunk, offset, length), and an open-addressing table of ids finds a text
// again. A listing of a million distinct values interns each of them: this
// costs about 30 bytes a value beside its text, where a node-based map and a
// string per value cost 90.
class StringPool {
 public:
  StringPool() { Intern(""); }

  std::uint64_t Intern(std::string_view text) {
    std::lock_guard<std::mutex> lock(fMutex);
    const std::uint64_t hash = host::HashText(text);
    if (2 * (fPlaces.size() + 1) > fSlots.size()) Grow();
    const std::size_t mask = fSlots.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      const std::uint32_t slot = fSlots[i];
      if (slot == 0) {
        fSlots[i] = static_cast<std::uint32_t>(fPlaces.size() + 1);
        fPlaces.push_back(Store(text));
        return fPlaces.size() - 1;
      }
      if (View(fPlaces[slot - 1]) == text) return slot - 1;
    }
  }

  std::string_view Text(std::uint64_t id) {
    std::lock_guard<std::mutex> lock(fMutex);
    if (id >= fPlaces.size()) return {};
    return View(fPlaces[id]);
  }

 private:
  // A place: a long text's number in fLong with the top bit set, or a
  // chunk's number, the offset in it and the length, 20 bits each of the
  // last two (chunks hold at most kChunk bytes).
  static constexpr int kBits = 20;
  static constexpr std::size_t kChunk = std::size_t{1} << kBits;
  static constexpr std::uint64_t kField = kChunk - 1;
  static constexpr std::uint64_t kLongText = std::uint64_t{1} << 63;

  std::string_view View(std::uint64_t place) const {
    if (place & kLongText) return *fLong[place & ~kLongText];
    const std::size_t size = place & kField;
    if (size == 0) return {};
    return {fChunks[place >> (2 * kBits)].get() + ((place >> kBits) & kField), size};
  }

  std::uint64_t Store(std::string_view text) {
    if (text.empty()) return 0;
    if (text.size() > kChunk / 4) {
      // Long texts are kept apart rather than wasting a chunk's end.
      fLong.push_back(std::make_unique<const std::string>(text));
      return kLongText | (fLong.size() - 1);
    }
    if (fChunks.empty() || fUsed + text.size() > fChunkSize) {
      // Chunks grow from a page to kChunk: a run with a few labels stays small.
      fChunkSize = std::max(text.size(), fChunks.empty() ? std::size_t{4096} : std::min(kChunk, 2 * fChunkSize));
      fChunks.push_back(std::unique_ptr<char[]>(new char[fChunkSize]));
      fUsed = 0;
    }
    std::memcpy(fChunks.back().get() + fUsed, text.data(), text.size());
    const std::uint64_t place =
        (static_cast<std::uint64_t>(fChunks.size() - 1) << (2 * kBits)) | (fUsed << kBits) | text.size();
    fUsed += text.size();
    return place;
  }

  void Grow() {
    std::vector<std::uint32_t> slots(fSlots.empty() ? 1024 : 2 * fSlots.size(), 0);
    const std::size_t mask = slots.size() - 1;
    for (std::size_t id = 0; id < fPlaces.size(); ++id) {
      std::size_t i = host::HashText(View(fPlaces[id])) & mask;
      while (slots[i] != 0) i = (i + 1) & mask;
      slots[i] = static_cast<std::uint32_t>(id + 1);
    }
    fSlots = std::move(slots);
  }

  std::mutex fMutex;
  std::vector<std::unique_ptr<char[]>> fChunks;  // the last one is being filled
  std::vector<std::unique_ptr<const std::string>> fLong;
  std::size_t fChunkSize = 0;          // of the last chunk
  std::size_t fUsed = 0;               // bytes used of the last chunk
  std::vector<std::uint64_t> fPlaces;  // by id
  std::vector<std::uint32_t> fSlots;   // 1 + id, 0 empty; at most half full
};

StringPool& Pool() {
  static StringPool* pool = new StringPool();  // never destroyed: values may outlive static destructors
  return *pool;
}

}  // namespace

OBS ObsFromString(std::string_view text) {
  OBS o;
  o.u = Pool().Intern(host::TrimTrailingBlanks(text));
  return o;
}

std::string_view ObsString(const OBS& value) { return Pool().Text(value.u); }
