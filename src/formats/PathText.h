#pragma once
// Paths as the core's text: every path the core holds in a std::string is UTF-8, as the
// window hands it over. On Linux these are the bytes of the name unchanged; on Windows,
// where names are UTF-16, a std::string would otherwise be read in the system's code
// page and "Prüfstand" would name another folder.
#include <filesystem>
#include <string>
#include <string_view>

namespace ostra {

inline std::filesystem::path PathOfText(std::string_view text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

inline std::string TextOfPath(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace ostra
