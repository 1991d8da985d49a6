// The memory-information records sent ahead of an application: up to eight regions
// the application occupies, and the top of memory it needs.
#include <algorithm>
#include <filesystem>
#include <string>
#include <system_error>

#include "download/Download.h"
#include "formats/Hex.h"
#include "formats/LoaderError.h"
#include "formats/SRecord.h"
#include "formats/TextLines.h"
#include "protocols/StageFrame.h"

namespace ostra {

namespace fs = std::filesystem;

namespace {

constexpr int kRegions = 8;
constexpr double kTop128K = 0x1FFF0;
constexpr double kTop256K = 0x3FFF0;
constexpr const char* kSource = "CheckMemoryInformation";

struct FileKey {
  bool known = false;
  std::uintmax_t size = 0;
  fs::file_time_type time{};
};

FileKey KeyOf(const fs::path& path) {
  FileKey key;
  std::error_code sizeError, timeError;
  key.size = fs::file_size(path, sizeError);
  key.time = fs::last_write_time(path, timeError);
  key.known = !sizeError && !timeError;
  return key;
}

bool CacheHolds(const MemoryInformationCache& cache, const fs::path& path, const std::string& name,
                const FileKey& key) {
  return key.known && !cache.AnalysedFileName.empty() && cache.AnalysedFileName == name &&
         cache.analysedPath == path && cache.analysedSize == key.size &&
         cache.analysedTime == key.time;
}

void ForgetAnalysis(MemoryInformationCache& cache) {
  cache.AnalysedFileName.clear();
  cache.analysedPath.clear();
  cache.analysedSize = 0;
  cache.analysedTime = {};
  cache.RegionStart.fill(-1);
  cache.RegionEnd.fill(-1);
}

enum class ScanEnd { Complete, NoInformation };

struct Scan {
  int regionCount = 0;
  double memoryTop = kTop128K;
};

// Reads every record of the file into the cache's regions. NoInformation: the
// technician has been told why (or declined), and nothing is to be generated.
ScanEnd ScanFile(RunContext& run, const fs::path& path, Scan& scan) {
  MemoryInformationCache& cache = run.state.memoryInformation;
  OpenedTextFile file = OpenTextFile(path, kSource);
  const double length = static_cast<double>(file.length);
  double charactersRead = 0;
  run.Progress(0, 1);
  run.Log("Checking Memory Data for Application");

  double remembered = 0;  // address of the last record read; -1 after one without
  std::string line;
  while (ReadTextLine(file.stream, line)) {
    const RecordLine record =
        !line.empty() && line[0] == 'S' ? ParseRecordLine(line) : RecordLine{};
    if (record.status != RecordStatus::NotARecord) {
      // The download goes on without memory information, the file sent unchanged.
      if (record.status == RecordStatus::BadChecksum) {
        run.Warn(WarningKind::FileRecordRefused, std::string(kInvalidChecksum) + line);
        return ScanEnd::NoInformation;
      }
      if (record.status == RecordStatus::BadType) {
        run.Warn(WarningKind::FileRecordRefused, std::string(kNotAnSRecordFile));
        return ScanEnd::NoInformation;
      }
      switch (record.type) {
        case '0':
          if (remembered == 0 && record.count != 13) {
            if (!run.Ask(Question::MemoryInformation,
                         "File does not have memory information\r\nGenerate information for file ?",
                         MessageIcon::Stop)) {
              run.Log("Default boot parameters will be used");
              return ScanEnd::NoInformation;
            }
          }
          remembered = -1;
          break;
        case '7':
        case '8':
        case '9':
          remembered = -1;
          break;
        case '1':
        case '2':
        case '3': {
          const double address = record.address;
          const int n = record.dataCount;
          remembered = address;
          if (scan.regionCount == 0) {
            scan.regionCount = 1;
            cache.RegionStart[0] = address;
            cache.RegionEnd[0] = address + n - 1;
          } else {
            const double end = cache.RegionEnd[scan.regionCount - 1];
            if (end < address && address < end + 64) {
              cache.RegionEnd[scan.regionCount - 1] = address + n - 1;
            } else {
              if (scan.regionCount == kRegions) {
                throw LoaderError(path.filename().string() + " uses more than 8 memory regions",
                                  kSource);
              }
              ++scan.regionCount;
              cache.RegionStart[scan.regionCount - 1] = address;
              cache.RegionEnd[scan.regionCount - 1] = address + n - 1;
            }
          }
          if (address < kTop256K) scan.memoryTop = address + n > kTop128K ? kTop256K : kTop128K;
          break;
        }
        default:
          break;
      }
    }
    charactersRead += static_cast<double>(line.size());
    run.Progress(std::min(charactersRead, length), length > 0 ? length : 1);
  }
  return ScanEnd::Complete;
}

// The region count and memory top of stored regions (a one-byte region is passed over).
Scan Recount(const MemoryInformationCache& cache) {
  Scan scan;
  scan.memoryTop = 0;
  for (int i = 0; i < kRegions; ++i) {
    const double start = cache.RegionStart[i];
    const double end = cache.RegionEnd[i];
    if (start < end) {
      scan.regionCount = i + 1;
      if (end < kTop256K) {
        scan.memoryTop = (scan.memoryTop == kTop128K && end > kTop128K) ? kTop256K : kTop128K;
      }
    }
  }
  return scan;
}

std::string Record(const MemoryInformationCache& cache, const Scan& scan, int q) {
  std::string body = NumberToHex(cache.RegionStart[q - 1], 8) +
                     NumberToHex(cache.RegionEnd[q - 1] + 1, 8) +
                     (q == scan.regionCount ? NumberToHex(scan.memoryTop, 8) : "00000000");
  int sum = 13;
  for (std::size_t i = 0; i < body.size(); i += 2) {
    sum += static_cast<int>(HexToNumber(std::string_view(body).substr(i, 2), 1));
  }
  return "S00D" + body + NumberToHex(255 - sum % 256, 2);
}

}  // namespace

std::string CheckMemoryInformation(RunContext& run, const fs::path& path, int16_t recordNumber) {
  MemoryInformationCache& cache = run.state.memoryInformation;
  const std::string name = path.filename().string();
  const FileKey key = KeyOf(path);
  Scan scan;
  if (!CacheHolds(cache, path, name, key)) {
    // Until the scan completes nothing may be reused, whatever stops it.
    ForgetAnalysis(cache);
    if (ScanFile(run, path, scan) == ScanEnd::NoInformation) return "";
    cache.AnalysedFileName = name;
    cache.analysedPath = path;
    cache.analysedSize = key.size;
    cache.analysedTime = key.time;
  } else {
    run.Log("Memory " + std::to_string(recordNumber) + " data for " + cache.AnalysedFileName);
    scan = Recount(cache);
  }
  std::string result;
  if (recordNumber >= 1 && recordNumber <= scan.regionCount) {
    result = Record(cache, scan, recordNumber);
  }
  return result;
}

}  // namespace ostra
