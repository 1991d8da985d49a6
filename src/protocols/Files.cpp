#include "protocols/Files.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <system_error>

#include "formats/LoaderError.h"

namespace ostra {

namespace fs = std::filesystem;

namespace {

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

bool IsRegularFile(const fs::path& p) {
  std::error_code ec;
  return fs::is_regular_file(p, ec);
}

}  // namespace

std::optional<fs::path> FindFile(const fs::path& dir, const std::string& name) {
  if (name.empty()) return std::nullopt;
  fs::path exact = dir / PathOfText(name);
  if (IsRegularFile(exact)) return exact;
  std::error_code ec;
  fs::directory_iterator it(dir.empty() ? fs::path(".") : dir, ec);
  if (ec) return std::nullopt;
  std::optional<fs::path> found;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const std::string entry = it->path().filename().string();
    if (SameIgnoringCase(entry, name) && IsRegularFile(it->path())) {
      // Several spellings of one name: take the first in name order, so the choice
      // does not depend on the order the directory lists them.
      if (!found || entry < found->filename().string()) found = it->path();
    }
  }
  return found;
}

std::optional<fs::path> FindFile(const fs::path& path) {
  if (path.empty()) return std::nullopt;
  if (IsRegularFile(path)) return path;
  return FindFile(path.parent_path(), path.filename().string());
}

OpenedTextFile OpenTextFile(const fs::path& path, const std::string& source) {
  std::error_code ec;
  const auto status = fs::status(path, ec);
  if (ec || !fs::exists(status)) {
    throw LoaderError("Cannot open " + path.string() + ": no such file", source);
  }
  if (fs::is_directory(status)) {
    throw LoaderError("Cannot open " + path.string() + ": it is a folder, not a file", source);
  }
  OpenedTextFile file;
  file.stream.open(path, std::ios::in | std::ios::binary);
  if (!file.stream) {
    throw LoaderError("Cannot open " + path.string() + ": " + std::strerror(errno), source);
  }
  const auto size = fs::file_size(path, ec);
  file.length = ec ? 0 : static_cast<std::uint64_t>(size);
  return file;
}

}  // namespace ostra
