#pragma once
// What the window owns for the program's lifetime: the one connection, the cached
// images with the remembered identity numbers, the memory-information cache, the
// upload defaults and the log. The stages take it by reference.
#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "formats/LogText.h"
#include "formats/SRecord.h"
#include "link/VrConnection.h"
#include "protocols/CardProtocol.h"

namespace ostra {

struct MonitorImage {
  std::string FileName;  // the file whose complete read it holds
  std::vector<uint8_t> Data = std::vector<uint8_t>(0x40001, 0);  // by card address
  double StartAddress = -1;
  int32_t ByteCount = 0;
  double SerialNumber = 0;  // last serial number entered
  double NicNumber = 0;     // last Ethernet-address number entered
};

struct MemoryInformationCache {
  std::string AnalysedFileName;        // the name shown in the log, "" = none
  std::filesystem::path analysedPath;  // full path, size and time of the file scanned
  std::uintmax_t analysedSize = 0;
  std::filesystem::file_time_type analysedTime{};
  std::array<double, 8> RegionStart{-1, -1, -1, -1, -1, -1, -1, -1};
  std::array<double, 8> RegionEnd{-1, -1, -1, -1, -1, -1, -1, -1};
};

struct UploadDefaults {
  double UploadStart = 0;
  int32_t UploadSize = 0;
  std::vector<uint8_t> UploadBuffer = std::vector<uint8_t>(262145, 0);
  bool ChecksumMatched = true;  // the last upload's checksum agreed with the card's
};

class CardRecords;

// How the last download ended, for the front ends and the card records.
struct RunOutcome {
  bool loaded = false;      // the procedure reached its end: the card is loaded
  std::string failedStage;  // the first stage that failed, "" when none did
  std::string message;      // the first failure the technician was shown, "" when none
};

struct LoaderState {
  VrConnection connection;
  BootImage bootImage;
  MonitorImage monitorImage;
  MemoryInformationCache memoryInformation;
  UploadDefaults upload;
  LogModel log;
  bool downloadRunning = false;    // a download command is in progress
  RunOutcome lastRun;              // set by every download command
  CardRecords* records = nullptr;  // where the cards are recorded, when a front end wants it
};

}  // namespace ostra
