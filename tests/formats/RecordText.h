#pragma once
// Builds record lines for tests, independently of the code under test.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "support/RecordLines.h"

namespace ostra::testing {

inline std::string S1(std::uint32_t address, const std::vector<std::uint8_t>& data) {
  return Record('1', 2, address, data);
}

}  // namespace ostra::testing
