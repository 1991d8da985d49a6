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
// that would give an empty type (".sub") are left out, and so are names equal, ignoring
// case, to a fixed entry ("Upload.sub" is the upload bootloader, not a card type). Sorted, so the
// list reads the same whatever order the file system returns. A directory that cannot be listed
// gives no types and sets error.
std::vector<std::string> HardwareTypesIn(const std::filesystem::path& dir, std::error_code& error);

// The type a chosen hardware file stands for: its name up to, not including, its first
// "." ("Board.mon" gives "Board"; a name without "." gives "").
std::string TypeOfHardwareFile(const std::string& fileName);

// The index of the entry equal to type ignoring ASCII case, -1 when none is.
int FindHardwareType(const std::vector<std::string>& entries, const std::string& type);

// The hardware files of a card type that dir lacks, of "<type>.mon" and "<type>.sub" in
// that order (each found whatever the case of its name); empty when both are there.
std::vector<std::string> MissingHardwareFiles(const std::filesystem::path& dir,
                                              const std::string& type);

// The message for missing hardware files, naming exactly those missing:
// "The hardware files don't all exist: cpu1.sub is missing in demo/hardware".
std::string MissingHardwareFilesText(const std::vector<std::string>& missing,
                                     const std::string& dir);

}  // namespace ostra
