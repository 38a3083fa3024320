#include "host/data/paths.h"

#include <uninorm.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "host/common/text.h"
#include "host/data/files.h"
#include "host/dataset.h"

namespace host {

namespace {

namespace fs = std::filesystem;

// Control characters spelled out, so that the message shows the path as it
// is written (and is not cut at a NUL).
std::string Shown(const std::string& path) {
  std::string out;
  for (char c : path) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) {
      static const char kDigits[] = "0123456789ABCDEF";
      out += "\\x";
      out += kDigits[u >> 4];
      out += kDigits[u & 15];
    } else {
      out += c;
    }
  }
  return out;
}

// "http:", "file:", "s3:", and a drive letter "C:" all begin with a scheme:
// a letter, then letters, digits, "+", "-" or ".", then a colon.
bool HasScheme(const std::string& path) {
  if (path.empty() || !std::isalpha(static_cast<unsigned char>(path[0]))) return false;
  for (std::size_t i = 1; i < path.size(); ++i) {
    const auto c = static_cast<unsigned char>(path[i]);
    if (c == ':') return true;
    if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return false;
  }
  return false;
}

// True when `inner` is `outer` or lies beneath it (both canonical).
bool Inside(const fs::path& inner, const fs::path& outer) {
  auto i = inner.begin();
  for (auto o = outer.begin(); o != outer.end(); ++o, ++i) {
    if (o->empty()) continue;  // a trailing separator
    if (i == inner.end() || *i != *o) return false;
  }
  return true;
}

// The file inside `folder` whose path equals `relative` once each part of
// both is put through `key`, as a relative path; "" when there is none.
std::string SameUnder(const fs::path& folder, const fs::path& relative,
                      const std::function<std::string(const std::string&)>& key) {
  fs::path at = folder.empty() ? fs::path(".") : folder;
  fs::path found;
  for (const fs::path& part : relative) {
    if (part.empty() || part == ".") continue;
    std::error_code error;
    fs::path next;
    if (fs::exists(at / part, error)) {
      next = part;
    } else {
      const std::string wanted = key(part.string());
      for (const auto& entry : fs::directory_iterator(at, fs::directory_options::skip_permission_denied, error)) {
        if (key(entry.path().filename().string()) == wanted) {
          next = entry.path().filename();
          break;
        }
      }
      if (next.empty()) return "";
    }
    at /= next;
    found /= next;
  }
  return found.string();
}

// A name with its accented letters composed (NFC): "e" followed by a
// combining acute accent becomes one letter. The name as it is when it is
// not UTF-8.
std::string Composed(const std::string& name) {
  std::size_t length = 0;
  std::uint8_t* out =
      u8_normalize(UNINORM_NFC, reinterpret_cast<const std::uint8_t*>(name.data()), name.size(), nullptr, &length);
  if (out == nullptr) return name;
  std::string result(reinterpret_cast<const char*>(out), length);
  std::free(out);
  return result;
}

}  // namespace

std::string SlashSeparated(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

ResourcePath ConfineResourcePath(const std::string& descriptor, const std::string& written, const std::string& where) {
  // A package published on Windows may separate folders with backslashes
  // ("data\\cases.csv"); read so, "..\\x" and "\\x" are refused like "../x" and "/x".
  const std::string relative = SlashSeparated(written);
  const auto refuse = [&](const std::string& why) {
    throw InputError(descriptor + ": " + where + ": the path \"" + Shown(written) + "\" " + why +
                     ". A resource path names a file inside the descriptor's folder, relative to it (such as "
                     "\"data.csv\" or \"data/cases.csv\")");
  };
  if (relative.empty()) refuse("is empty");
  if (relative.find('\0') != std::string::npos) refuse("holds a NUL character");
  if (relative[0] == '/') refuse("is absolute");
  if (HasScheme(relative)) {
    // Portals (datahub, CKAN) publish descriptors whose paths are addresses
    // on the web: what to do is to download the file, under its own name.
    const std::string scheme = LowerAscii(relative.substr(0, relative.find(':')));
    std::string name = relative.substr(0, relative.find_first_of("?#"));
    name = name.substr(name.find_last_of('/') + 1);
    if ((scheme == "http" || scheme == "https" || scheme == "ftp") && !name.empty()) {
      refuse(
          "is an address on the web, and nothing is fetched: download the file into the descriptor's folder "
          "and give its name as the path (\"" +
          Shown(name) + "\")");
    }
    refuse("is a URL or begins with a scheme or drive; only local files are read");
  }
  const fs::path path(relative);
  for (const fs::path& part : path) {
    if (part == "..") refuse("goes up out of the folder (\"..\")");
  }
  if (relative.back() == '/') refuse("ends in a slash, as the name of a folder does; name the file without it");

  const fs::path folder = fs::path(descriptor).parent_path();
  fs::path joined = folder.empty() ? path : folder / path;
  ResourcePath result;
  result.display = joined.lexically_normal().string();
  std::error_code error;
  fs::path real = fs::canonical(joined, error);
  if (std::error_code linkError; error && !fs::is_symlink(joined, linkError)) {
    // A package unpacked from a zip made on a Mac keeps its file names with
    // accents decomposed ("cafe" and a combining accent), while the
    // descriptor spells them composed: the same name to the Mac and to the
    // person who wrote it, so the file is read.
    if (const std::string stored = SameUnder(folder, path, Composed); !stored.empty()) {
      const fs::path other = folder.empty() ? fs::path(stored) : folder / stored;
      std::error_code otherError;
      if (fs::path found = fs::canonical(other, otherError); !otherError) {
        joined = other;
        real = std::move(found);
        result.display = joined.lexically_normal().string();
        error.clear();
      }
    }
  }
  if (error) {
    // A missing (or unreadable) file is reported when opened, with the
    // system's reason. A link that points nowhere cannot be checked, and its
    // target may appear before it is opened.
    std::error_code linkError;
    if (fs::is_symlink(joined, linkError)) {
      // Links that lead back to themselves (a copy that kept relative links
      // among each other) point at no file either, but for another reason.
      refuse(error == std::errc::too_many_symbolic_link_levels
                 ? "is a loop of symbolic links that never reaches a file; replace the link with the file"
                 : "is a symbolic link to a file that does not exist");
    }
    // A package written where names ignore letter case may say "Data.CSV"
    // for data.csv: name the file it probably means.
    std::string written = path.lexically_normal().string();
    if (written.size() > 1 && written.back() == '/') written.pop_back();
    if (const std::string meant = SameUnder(folder, path, [](const std::string& s) { return LowerAscii(s); });
        !meant.empty() && meant != written) {
      refuse("names no file; \"" + Shown(meant) +
             "\" differs only in letter case, which matters here. Write the name as the file has it");
    }
    // A path written from the folder above the package's (as a repository
    // names its files: "pkg/data/cases.csv" in pkg/datapackage.json).
    if (const fs::path normal = path.lexically_normal(); std::distance(normal.begin(), normal.end()) > 1) {
      const fs::path rest = normal.lexically_relative(*normal.begin());
      const fs::path realFolder = fs::weakly_canonical(folder.empty() ? fs::path(".") : folder, linkError);
      if (!linkError && realFolder.filename() == *normal.begin() && fs::is_regular_file(folder / rest, linkError)) {
        refuse(
            "names no file; it begins with the name of the descriptor's own folder, and paths are read from "
            "that folder: write \"" +
            Shown(rest.string()) + "\"");
      }
    }
    // A descriptor named through a link (ln -s pkg/datapackage.json .)
    // reads its paths beside the link; say where the file is.
    if (fs::is_symlink(descriptor, linkError)) {
      const fs::path target = fs::canonical(descriptor, linkError);
      if (!linkError && fs::exists(target.parent_path() / path, linkError)) {
        refuse("names no file beside the descriptor as it was named; the descriptor is a symbolic link to \"" +
               Shown(target.string()) +
               "\", beside which the file is, but paths are read from the folder the "
               "descriptor is named in. Name \"" +
               Shown(target.string()) + "\" instead");
      }
    }
    result.open = joined.string();
    return result;
  }
  const fs::path realFolder = fs::canonical(folder.empty() ? fs::path(".") : folder, error);
  if (error || !Inside(real, realFolder)) {
    refuse("leads out of the folder through a symbolic link (to \"" + Shown(real.string()) + "\")");
  }
  // A descriptor whose resource is itself (a slip when the path was
  // written) would be read as CSV text; also under another name (a hard
  // link, as a copy kept with cp -l is).
  if (fs::equivalent(descriptor, real, error) && !error) {
    refuse("names the descriptor itself; name the file that holds the cases");
  }
  // A named pipe in a received package would make the reader wait for a
  // writer that never comes; a device could be read without end.
  const fs::file_status status = fs::status(real, error);
  if (!error && fs::is_directory(status)) refuse("is a folder, not a file; name the file in it that holds the data");
  if (!error && !fs::is_regular_file(status)) {
    const std::string kind = SpecialFileKind(real.string());
    refuse("is not a regular file (" + (kind.empty() ? std::string("a pipe, a device or a socket") : kind) + ")");
  }
  result.open = real.string();
  return result;
}

}  // namespace host
