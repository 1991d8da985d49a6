#pragma once
// Files as the technician sees them: found whatever the case of their names on disk,
// opened with a clear description when they cannot be.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "formats/PathText.h"

namespace ostra {

// The entry of dir whose name equals name, exactly if there is one, else ignoring
// ASCII case ("Board.SUB" for "board.sub"). Regular files only.
std::optional<std::filesystem::path> FindFile(const std::filesystem::path& dir,
                                              const std::string& name);

// The path itself when it names a regular file, else the entry of its directory whose
// name matches ignoring case.
std::optional<std::filesystem::path> FindFile(const std::filesystem::path& path);

struct OpenedTextFile {
  std::ifstream stream;
  std::uint64_t length = 0;
};

// Opens path for reading (binary: line ends are handled by ReadTextLine). Throws
// LoaderError "Cannot open <path>: <reason>" (a directory, missing, no permission).
OpenedTextFile OpenTextFile(const std::filesystem::path& path, const std::string& source);

}  // namespace ostra
