// The process-wide pool of string values behind string OBS.
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

#include "host/common/text.h"
#include "host/obs.h"

namespace {

class StringPool {
 public:
  StringPool() { Intern(""); }

  std::uint64_t Intern(std::string_view text) {
    std::lock_guard<std::mutex> lock(fMutex);
    auto found = fIds.find(text);
    if (found != fIds.end()) return found->second;
    fTexts.emplace_back(text);
    const std::uint64_t id = fTexts.size() - 1;
    fIds.emplace(std::string_view(fTexts.back()), id);
    return id;
  }

  std::string_view Text(std::uint64_t id) {
    std::lock_guard<std::mutex> lock(fMutex);
    if (id >= fTexts.size()) return {};
    return fTexts[id];
  }

 private:
  std::mutex fMutex;
  std::deque<std::string> fTexts;  // deque: views into it stay valid as it grows
  std::unordered_map<std::string_view, std::uint64_t> fIds;
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
