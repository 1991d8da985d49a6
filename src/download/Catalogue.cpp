#include "download/Catalogue.h"

#include "protocols/HardwareType.h"

#include <algorithm>

#include "protocols/Files.h"

namespace ostra {

namespace {

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string LowerCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), Lower);
  return text;
}

bool EqualIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return Lower(x) == Lower(y); });
}

}  // namespace

const std::vector<std::string>& FixedHardwareTypes() {
  static const std::vector<std::string> fixed{"None", "Upload", "Firmware 5830", "Firmware 5846"};
  return fixed;
}

std::vector<std::string> HardwareTypesIn(const std::filesystem::path& dir, std::error_code& ec) {
  std::vector<std::string> types;
  std::filesystem::directory_iterator it(dir, ec);
  if (ec) return types;
  for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
    std::error_code typeError;
    if (!it->is_regular_file(typeError)) continue;
    const std::string name = LowerCase(it->path().filename().string());
    if (name.size() < 4 || name.compare(name.size() - 4, 4, ".sub") != 0) continue;
    const std::string type = name.substr(0, name.find(".sub"));
    if (!type.empty() && FindHardwareType(FixedHardwareTypes(), type) < 0) types.push_back(type);
  }
  if (ec) return {};
  std::sort(types.begin(), types.end());
  types.erase(std::unique(types.begin(), types.end()), types.end());
  return types;
}

std::string TypeOfHardwareFile(const std::string& fileName) {
  const auto dot = fileName.find('.');
  return dot == std::string::npos ? std::string() : fileName.substr(0, dot);
}

int FindHardwareType(const std::vector<std::string>& entries, const std::string& type) {
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (EqualIgnoringCase(entries[i], type)) return static_cast<int>(i);
  }
  return -1;
}

std::vector<std::string> MissingHardwareFiles(const std::filesystem::path& dir,
                                              const std::string& type) {
  std::vector<std::string> missing;
  for (const std::string& name : HardwareFilesFor(type)) {
    if (!FindFile(dir, name)) missing.push_back(name);
  }
  return missing;
}

std::string MissingHardwareFilesText(const std::vector<std::string>& missing,
                                     const std::string& dir) {
  std::string names;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) names += i + 1 == missing.size() ? " and " : ", ";
    names += missing[i];
  }
  return "The hardware files don't all exist: " + names + (missing.size() == 1 ? " is" : " are") +
         " missing in " + dir;
}

}  // namespace ostra
