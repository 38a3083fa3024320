// The process-wide pool of string values behind string OBS.
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/common/text.h"
#include "host/obs.h"

namespace {

// Texts are packed into large chunks that never move (views handed out stay
// valid as the pool grows), ids are positions in one list of views, and an
// open-addressing table of ids finds a text again. A listing of a million
// distinct values interns each of them: this costs about 40 bytes a value
// beside its text, where a node-based map and a string per value cost 90.
class StringPool {
 public:
  StringPool() { Intern(""); }

  std::uint64_t Intern(std::string_view text) {
    std::lock_guard<std::mutex> lock(fMutex);
    const std::uint64_t hash = Hash(text);
    if (2 * (fViews.size() + 1) > fSlots.size()) Grow();
    const std::size_t mask = fSlots.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      const std::uint32_t slot = fSlots[i];
      if (slot == 0) {
        fSlots[i] = static_cast<std::uint32_t>(fViews.size() + 1);
        fViews.push_back(Store(text));
        return fViews.size() - 1;
      }
      if (fViews[slot - 1] == text) return slot - 1;
    }
  }

  std::string_view Text(std::uint64_t id) {
    std::lock_guard<std::mutex> lock(fMutex);
    if (id >= fViews.size()) return {};
    return fViews[id];
  }

 private:
  static constexpr std::size_t kChunk = std::size_t{1} << 20;

  static std::uint64_t Hash(std::string_view text) {
    std::uint64_t h = 1469598103934665603ull;  // FNV-1a, then mixed: the table is a power of two
    for (const char c : text) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    h ^= h >> 29;
    h *= 0xbf58476d1ce4e5b9ull;
    return h ^ (h >> 32);
  }

  std::string_view Store(std::string_view text) {
    if (text.empty()) return {};
    if (text.size() > kChunk / 4) {
      // Long texts get a block of their own rather than wasting a chunk's end.
      fLong.push_back(std::make_unique<char[]>(text.size()));
      std::memcpy(fLong.back().get(), text.data(), text.size());
      return {fLong.back().get(), text.size()};
    }
    if (fChunks.empty() || fUsed + text.size() > fChunkSize) {
      // Chunks grow from a page to kChunk: a run with a few labels stays small.
      fChunkSize = std::max(text.size(), fChunks.empty() ? std::size_t{4096} : std::min(kChunk, 2 * fChunkSize));
      fChunks.push_back(std::unique_ptr<char[]>(new char[fChunkSize]));
      fUsed = 0;
    }
    char* at = fChunks.back().get() + fUsed;
    std::memcpy(at, text.data(), text.size());
    fUsed += text.size();
    return {at, text.size()};
  }

  void Grow() {
    std::vector<std::uint32_t> slots(fSlots.empty() ? 1024 : 2 * fSlots.size(), 0);
    const std::size_t mask = slots.size() - 1;
    for (std::size_t id = 0; id < fViews.size(); ++id) {
      std::size_t i = Hash(fViews[id]) & mask;
      while (slots[i] != 0) i = (i + 1) & mask;
      slots[i] = static_cast<std::uint32_t>(id + 1);
    }
    fSlots = std::move(slots);
  }

  std::mutex fMutex;
  std::vector<std::unique_ptr<char[]>> fChunks;  // the last one is being filled
  std::vector<std::unique_ptr<char[]>> fLong;
  std::size_t fChunkSize = 0;            // of the last chunk
  std::size_t fUsed = 0;                 // bytes used of the last chunk
  std::vector<std::string_view> fViews;  // by id
  std::vector<std::uint32_t> fSlots;     // 1 + id, 0 empty; at most half full
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
