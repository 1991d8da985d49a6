#pragma once
// Reading text files line by line, as every reader of the loader does.
#include <cstdint>
#include <filesystem>
#include <istream>
#include <string>
#include <string_view>

namespace ostra {

// Whether text begins with prefix (case-sensitive, as hardware types are compared).
inline bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// Reads the next line without its line end. CR LF, LF and a lone CR all end a line.
// Returns false at end of input when nothing was read. Never throws on binary input.
bool ReadTextLine(std::istream& in, std::string& line);

// True when the stream has nothing more to read.
bool AtEnd(std::istream& in);

}  // namespace ostra
