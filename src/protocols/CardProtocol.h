#pragma once
// The card's protocol: every command byte, control byte, time-out and firmware packet
// the loader puts on the line, and what the card does with each. The classes in
// CardLink.h are the only code that sends them.
#include <array>
#include <cstdint>
#include <string_view>

namespace ostra {

// Control bytes on the line.
inline constexpr char kXon = 0x11;   // the card is ready for more; requests a packet / a reply
inline constexpr char kXoff = 0x13;  // the monitor has a line and is working on it
inline constexpr char kAck = 0x06;   // the card accepted a command or a checksum

namespace card {

// --- Boot ROM (the processor's serial boot mode) ---
inline constexpr uint8_t kBootSync = 0x00;   // matched to the line speed, echoed once it locks
inline constexpr uint8_t kBootProbe = 0x55;  // answered with kBootMatch when the speed matched
inline constexpr uint8_t kBootMatch = 0xAA;  // the answer to the probe and to the last byte
inline constexpr int32_t kBootByteTimeoutMs = 50;    // each echoed byte of the boot transfer
inline constexpr int32_t kBootFinalTimeoutMs = 500;  // the last byte: the ROM starts the loader
inline constexpr int kBootFallbackBaud = 9600;       // the speed every boot ROM answers at

// --- Flash bootloader (programs the monitor) ---
inline constexpr char kEraseCommand = 'W';  // W, sector count, sector start addresses: erase
inline constexpr char kStartCommand = 'B';  // B, entry address: jump there (start the monitor)
inline constexpr std::size_t kFlashBlockSize = 64;       // bytes in one acknowledged data block
inline constexpr uint32_t kMonitorEntry = 0x3F4;         // where the started monitor begins
inline constexpr int32_t kFlashTimeoutMs = 500;          // erase, range and every data block
inline constexpr int32_t kMonitorStartTimeoutMs = 5000;  // the started monitor's first XON
inline constexpr uint32_t kFlashTop = 0x40000;           // the end of the card's flash
// The card flash: 12 erasable sectors, each from its boundary up to the next.
inline constexpr std::array<uint32_t, 13> kFlashSectors = {
    0x00000, 0x08000, 0x10000, 0x18000, 0x20000, 0x28000, 0x30000,
    0x38000, 0x3F000, 0x3F400, 0x3F800, 0x3FC00, 0x40000};

// --- Upload bootloader (reads memory back) ---
inline constexpr char kReadCommand = 'R';  // R, address, size: send that range in packets
inline constexpr std::size_t kUploadPacketSize = 64;  // bytes per packet, each ended by XON
inline constexpr int32_t kUploadTimeoutMs = 500;      // the command and every packet

// --- The card's identity, stamped into the monitor image at programming ---
inline constexpr uint32_t kSerialNumberAt = 0x7FC4;     // 4 bytes, most significant first
inline constexpr uint32_t kEthernetAddressAt = 0x7FD0;  // 6 bytes, the vendor prefix first
// Both in one read: 0x7FC4 .. 0x7FD5, which one upload packet holds.
inline constexpr uint32_t kIdentityBlockStart = kSerialNumberAt;
inline constexpr uint32_t kIdentityBlockSize = kEthernetAddressAt + 6 - kSerialNumberAt;
static_assert(kIdentityBlockSize == 18 && kIdentityBlockSize <= kUploadPacketSize);

// --- Monitor (takes the application's S-records) ---
inline constexpr int kMonitorBaud = 19200;          // the speed a started monitor talks at
inline constexpr int kFastBaud = 38400;             // the speed of the application transfer
inline constexpr char kFastBaudCommand = '3';       // echoed, then the monitor moves to kFastBaud
inline constexpr int32_t kContactTimeoutMs = 1000;  // XON contact and every record line
inline constexpr int32_t kRecordReplyTimeoutMs = 5000;  // each reply line to an S0 record
inline constexpr int32_t kFlashEraseTimeoutMs = 10000;  // each line once the monitor erases
// In a reply to an S0 record: the monitor now erases flash before each line.
inline constexpr std::string_view kEraseBusyMarker = "00000010";

// --- Firmware mode (the two controller models with firmware loading) ---
inline constexpr int kFirmwareBaud = 9600;      // both models' command speed
inline constexpr int32_t kResetStatus5830 = 8;  // status byte that resets a 5830
// Unframed requests (FramePacket adds the trailer): enter programming mode.
inline constexpr std::string_view kProgrammingMode5830{"\x01\x05\x69\x86\x03", 5};
inline constexpr std::string_view kProgrammingMode5846{"\x01\x04\x69\x06", 4};
inline constexpr char kProgrammingModeReply = 'd';  // 2nd of the 4 characters of a yes

}  // namespace card
}  // namespace ostra
