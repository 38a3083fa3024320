// The limit a CSV pass can reach on this machine: every field of a CSV file
// converted to a double (fast_float), and per column the count of numbers and
// their sum, printed at the end. No dictionary, no statistics, no output
// worth the name: what is left of our program when everything but reading
// and converting is taken away. With --strings it instead counts the distinct
// texts of the first column (the counting limit for a listing of distinct
// values).
//
//   limit [--threads N] [--strings] FILE.csv
//
// The file is mapped and cut into N parts at line ends; quoted fields are
// skipped over (a quoted line break inside a part is handled, one across a
// cut is not: the benchmark files have none).
#include <fast_float/fast_float.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <vector>

namespace {

struct Totals {
  std::vector<long long> count;
  std::vector<double> sum;
  std::unordered_set<std::string_view> distinct;
};

// One field from p: its text (quotes stripped, doubled quotes left as they
// are) and the position after its delimiter or line end.
inline const char* Field(const char* p, const char* end, std::string_view& text, bool& lineEnd) {
  const char* start = p;
  if (p < end && *p == '"') {
    ++p;
    start = p;
    for (;;) {
      p = static_cast<const char*>(std::memchr(p, '"', static_cast<std::size_t>(end - p)));
      if (p == nullptr) {
        p = end;
        break;
      }
      if (p + 1 < end && p[1] == '"') {
        p += 2;
        continue;
      }
      break;
    }
    text = std::string_view(start, static_cast<std::size_t>(p - start));
    if (p < end) ++p;  // the closing quote
  } else {
    while (p < end && *p != ',' && *p != '\n' && *p != '\r') ++p;
    text = std::string_view(start, static_cast<std::size_t>(p - start));
  }
  lineEnd = p >= end || *p != ',';
  if (p < end && *p == '\r') ++p;
  if (p < end) ++p;
  return p;
}

void Part(const char* p, const char* end, std::size_t columns, bool strings, Totals& t) {
  t.count.assign(columns, 0);
  t.sum.assign(columns, 0.0);
  while (p < end) {
    std::size_t c = 0;
    bool lineEnd = false;
    while (!lineEnd) {
      std::string_view text;
      p = Field(p, end, text, lineEnd);
      if (strings) {
        if (c == 0) t.distinct.insert(text);
      } else if (c < columns) {
        double value;
        const auto r = fast_float::from_chars(text.data(), text.data() + text.size(), value);
        if (r.ec == std::errc() && r.ptr == text.data() + text.size()) {
          ++t.count[c];
          t.sum[c] += value;
        }
      }
      ++c;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  int threads = 1;
  bool strings = false;
  const char* path = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--threads") == 0 && i + 1 < argc) {
      threads = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--strings") == 0) {
      strings = true;
    } else {
      path = argv[i];
    }
  }
  if (path == nullptr) {
    std::fprintf(stderr, "usage: limit [--threads N] [--strings] FILE.csv\n");
    return 2;
  }
  const int fd = ::open(path, O_RDONLY);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    std::perror(path);
    return 2;
  }
  const auto size = static_cast<std::size_t>(st.st_size);
  const char* data = static_cast<const char*>(::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0));
  if (data == MAP_FAILED) {
    std::perror(path);
    return 2;
  }
  const char* end = data + size;
  // The header: the number of columns.
  const char* body = static_cast<const char*>(std::memchr(data, '\n', size));
  body = body ? body + 1 : end;
  std::size_t columns = 1;
  for (const char* q = data; q < body; ++q) columns += *q == ',';
  std::vector<const char*> cuts{body};
  for (int k = 1; k < threads; ++k) {
    const char* at =
        body + static_cast<std::size_t>(end - body) * static_cast<std::size_t>(k) / static_cast<std::size_t>(threads);
    const char* nl = static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(end - at)));
    cuts.push_back(nl ? nl + 1 : end);
  }
  cuts.push_back(end);
  std::vector<Totals> totals(static_cast<std::size_t>(threads));
  std::vector<std::thread> workers;
  for (int k = 0; k < threads; ++k) {
    workers.emplace_back([&, k] {
      Part(cuts[static_cast<std::size_t>(k)], cuts[static_cast<std::size_t>(k) + 1], columns, strings,
           totals[static_cast<std::size_t>(k)]);
    });
  }
  for (std::thread& w : workers) w.join();
  if (strings) {
    std::unordered_set<std::string_view> all;
    for (const Totals& t : totals) all.insert(t.distinct.begin(), t.distinct.end());
    std::printf("%zu distinct\n", all.size());
    return 0;
  }
  for (std::size_t c = 0; c < columns; ++c) {
    long long n = 0;
    double s = 0.0;
    for (const Totals& t : totals) {
      n += t.count[c];
      s += t.sum[c];
    }
    std::printf("%zu %lld %.17g\n", c, n, s);
  }
  return 0;
}
