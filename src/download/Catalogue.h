#pragma once
// The hardware-type catalogue: the fixed entries of HWtypes and the types whose
// bootloader file (<type>.sub) lies in the hardware directory.
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace ostra {

// The four entries that head the list whatever the directory holds.
const std::vector<std::string>& FixedHardwareTypes();

// The types found in dir: every regular file whose name ends in ".sub" in any case,
// in lower case and cut before its first ".sub" ("Board.SUB" gives "board"). Names
// that would give an empty type (".sub") are left out. Sorted, so the list reads the
// same whatever order the file system returns. A directory that cannot be listed
// gives no types and sets error.
std::vector<std::string> HardwareTypesIn(const std::filesystem::path& dir, std::error_code& error);

// The type a chosen hardware file stands for: its name up to, not including, its first
// "." ("Board.mon" gives "Board"; a name without "." gives "").
std::string TypeOfHardwareFile(const std::string& fileName);

// The index of the entry equal to type ignoring ASCII case, -1 when none is.
int FindHardwareType(const std::vector<std::string>& entries, const std::string& type);

}  // namespace ostra
