#include "cardsim/Card.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace ostra::cardsim {
namespace {

constexpr std::uint8_t kXon = 0x11;
constexpr std::uint8_t kXoff = 0x13;
constexpr std::uint8_t kAck = 0x06;
constexpr unsigned kMonitorBaud = 19200;
constexpr unsigned kFastBaud = 38400;
constexpr unsigned kFirmwareBaud = 9600;
constexpr std::size_t kMaxText = 1024;
constexpr std::size_t kMaxTerminalLines = 100;

// The flash sectors: each runs from its boundary up to the next.
constexpr std::array<std::uint32_t, 13> kSectorBounds = {
    0x00000, 0x08000, 0x10000, 0x18000, 0x20000, 0x28000, 0x30000,
    0x38000, 0x3F000, 0x3F400, 0x3F800, 0x3FC00, 0x40000};

constexpr std::uint64_t kFnvOffset = 14695981039346656037ull;
constexpr std::uint64_t kFnvPrime = 1099511628211ull;

std::uint64_t Fnv(std::uint64_t h, const std::uint8_t* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    h ^= data[i];
    h *= kFnvPrime;
  }
  return h;
}

std::string Hex64(std::uint64_t v) {
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
  return buf;
}

std::string Hex8(std::uint32_t v) {
  char buf[9];
  std::snprintf(buf, sizeof buf, "%08X", static_cast<unsigned>(v));
  return buf;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The byte at line[pos], pos+1 as two hex digits; -1 when they are not.
int HexByte(const std::string& line, std::size_t pos) {
  if (pos + 1 >= line.size()) return -1;
  int hi = HexDigit(line[pos]);
  int lo = HexDigit(line[pos + 1]);
  return hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
}

std::uint32_t BigEndian(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         p[3];
}

}  // namespace

std::string Digest(const std::uint8_t* data, std::size_t size) {
  return Hex64(Fnv(kFnvOffset, data, size));
}

Card::Card() : flash_(kFlashSize, 0xFF) {
  PowerOn(Role::BootRom);
}

void Card::Configure(const Fault& fault, bool bootOnly9600) {
  fault_ = fault;
  bootOnly9600_ = bootOnly9600;
  HoldStuckCells();
}

void Card::Store(std::uint32_t address, const std::vector<std::uint8_t>& bytes) {
  for (std::size_t i = 0; i < bytes.size() && std::uint64_t{address} + i < flash_.size(); ++i) {
    flash_[address + i] = bytes[i];
  }
  HoldStuckCells();
}

// A stuck cell is held here, in the array, rather than on each read: the upload, the
// record, Flash() and the flash file all see what the cell holds.
void Card::HoldStuckCells() {
  for (const StuckByte& cell : fault_.stuckBytes) {
    if (cell.address < flash_.size()) flash_[cell.address] = cell.value;
  }
}

void Card::SetRole(Role role) {
  role_ = role;
  rec_.role = RoleName(role);
  rec_.baud = baud_;
}

void Card::PowerOn(Role role) {
  rec_.cards += 1;
  rec_.stages.clear();
  acc_.clear();
  boot_ = Boot::Probe;
  bootLen_ = bootCount_ = 0;
  loader_ = Loader::Idle;
  blocks_ = 0;
  mon_ = Mon::Idle;
  line_.clear();
  lineNo_ = dataLines_ = 0;
  afterLine_ = endRecord_ = false;
  pending_.clear();
  appHash_ = kFnvOffset;
  rec_.lines = rec_.applicationLines = rec_.badRecords = 0;
  rec_.applicationBytes = 0;
  rec_.applicationDigest = Hex64(appHash_);
  rec_.memoryInfoLines.clear();
  if (role == Role::Monitor) {
    baud_ = kMonitorBaud;
  } else if (role == Role::Firmware) {
    baud_ = kFirmwareBaud;
  } else {
    role = Role::BootRom;
    baud_ = 0;
  }
  SetRole(role);
}

void Card::HangUp() {
  Reached("hang-up");
  SetRole(Role::HungUp);
}

void Card::Reached(const char* stage) {
  if (std::find(rec_.stages.begin(), rec_.stages.end(), stage) == rec_.stages.end()) {
    rec_.stages.emplace_back(stage);
  }
}

bool Card::Quiet(Step step, int k) const {
  if (fault_.silentAt != step || fault_.garbage) return false;
  return k == 0 || fault_.index == k;
}

void Card::Send(Step step, int k, const std::vector<std::uint8_t>& answer, std::vector<Emit>& out) {
  bool garbage = fault_.silentAt == step && fault_.garbage && (k == 0 || fault_.index == k);
  if (!garbage) {
    for (std::uint8_t b : answer) out.push_back({b, baud_});
    return;
  }
  // Bytes that cannot be mistaken for the awaited one (the last of the answer).
  std::uint8_t awaited = answer.empty() ? 0 : answer.back();
  std::uint8_t first = answer.empty() ? 0x5A : static_cast<std::uint8_t>(~answer.front());
  for (std::uint8_t b : {first, std::uint8_t{0xFE}, std::uint8_t{0x7F}}) {
    if (b != awaited) out.push_back({b, baud_});
  }
}

void Card::Send(Step step, int k, const std::string& answer, std::vector<Emit>& out) {
  Send(step, k, std::vector<std::uint8_t>(answer.begin(), answer.end()), out);
}

// True when the running program waits for a command, so that a 0x00 can only
// be the boot-ROM probe of the next card.
bool Card::AtCommand() const {
  switch (role_) {
    case Role::FlashBootloader:
    case Role::UploadBootloader:
      return loader_ == Loader::Idle || loader_ == Loader::Upload;
    case Role::Monitor:
    case Role::Firmware:
      return mon_ != Mon::Packet;
    default:
      return false;
  }
}

bool Card::Receive(std::uint8_t b, unsigned lineBaud, std::vector<Emit>& out) {
  if (role_ == Role::HungUp) return false;
  if (b == 0x00 && AtCommand()) PowerOn(Role::BootRom);
  if (role_ == Role::BootRom && boot_ == Boot::Probe) {
    if (lineBaud == 0 || (bootOnly9600_ && lineBaud != 9600)) return false;
    baud_ = lineBaud;  // the boot ROM matches the speed of the probe
    rec_.baud = baud_;
  } else if (lineBaud != baud_) {
    return false;
  }
  switch (role_) {
    case Role::BootRom:
      BootRom(b, lineBaud, out);
      break;
    case Role::FlashBootloader:
    case Role::UploadBootloader:
      Bootloader(b, out);
      break;
    case Role::Monitor:
    case Role::Firmware:
      Monitor(b, out);
      break;
    case Role::HungUp:
      break;
  }
  return true;
}

// ---- boot ROM --------------------------------------------------------------

void Card::BootRom(std::uint8_t b, unsigned /*lineBaud*/, std::vector<Emit>& out) {
  switch (boot_) {
    case Boot::Probe:
      if (b == 0x00) {
        if (Quiet(Step::BootProbe)) return;
        Reached("boot-probe");
        Send(Step::BootProbe, 0, std::vector<std::uint8_t>{0x00}, out);
      } else if (b == 0x55) {
        if (Quiet(Step::BaudMatch)) return;
        Reached("boot-speed");
        Send(Step::BaudMatch, 0, std::vector<std::uint8_t>{0xAA}, out);
        boot_ = Boot::LenHi;
      }
      return;
    case Boot::LenHi:
      if (Quiet(Step::SizeEcho)) return;
      bootLen_ = std::uint32_t{b} << 8;
      Send(Step::SizeEcho, 0, std::vector<std::uint8_t>{b}, out);
      boot_ = Boot::LenLo;
      return;
    case Boot::LenLo:
      if (Quiet(Step::SizeEcho)) return;
      bootLen_ |= b;
      Send(Step::SizeEcho, 0, std::vector<std::uint8_t>{b}, out);
      Reached("boot-size");
      bootCount_ = 0;
      boot_ = bootLen_ == 0 ? Boot::Probe : Boot::Data;
      return;
    case Boot::Data: {
      int k = static_cast<int>(bootCount_) + 1;
      if (bootCount_ + 1 < bootLen_) {
        if (Quiet(Step::DataEcho, k)) return;
        ++bootCount_;
        Send(Step::DataEcho, k, std::vector<std::uint8_t>{b}, out);
        return;
      }
      if (Quiet(Step::FinalAck)) return;
      Send(Step::FinalAck, 0, std::vector<std::uint8_t>{0xAA}, out);
      rec_.bootImageSize = bootLen_;
      Reached("boot-image");
      loader_ = Loader::Idle;
      acc_.clear();
      SetRole(Role::FlashBootloader);  // the received program runs at the speed of the handshake
      return;
    }
  }
}

// ---- bootloader ------------------------------------------------------------

void Card::Bootloader(std::uint8_t b, std::vector<Emit>& out) {
  switch (loader_) {
    case Loader::Idle:
      acc_.clear();
      if (b == 'W') loader_ = Loader::EraseCount;
      if (b == 'R') loader_ = Loader::ReadCmd;
      if (b == 'B') loader_ = Loader::StartCmd;
      return;

    case Loader::EraseCount:
      eraseCount_ = b;
      loader_ = Loader::EraseAddrs;
      if (eraseCount_ != 0) return;
      [[fallthrough]];
    case Loader::EraseAddrs: {
      if (eraseCount_ != 0) acc_.push_back(b);
      if (acc_.size() < eraseCount_ * 4) return;
      if (Quiet(Step::Erase)) {
        loader_ = Loader::Idle;
        return;
      }
      SetRole(Role::FlashBootloader);
      for (std::size_t i = 0; i + 3 < acc_.size(); i += 4) {
        std::uint32_t address = BigEndian(&acc_[i]);
        for (std::size_t s = 0; s + 1 < kSectorBounds.size(); ++s) {
          if (address >= kSectorBounds[s] && address < kSectorBounds[s + 1]) {
            std::fill(flash_.begin() + kSectorBounds[s], flash_.begin() + kSectorBounds[s + 1],
                      0xFF);
          }
        }
      }
      HoldStuckCells();
      Reached("erase");
      Send(Step::Erase, 0, std::vector<std::uint8_t>{kAck}, out);
      acc_.clear();
      loader_ = Loader::AddrSize;
      return;
    }

    case Loader::AddrSize:
      acc_.push_back(b);
      if (acc_.size() < 8) return;
      if (Quiet(Step::Address)) {
        acc_.clear();
        return;
      }
      progAddr_ = BigEndian(&acc_[0]);
      progSize_ = BigEndian(&acc_[4]);
      progDone_ = 0;
      progSum_ = 0;
      blocks_ = 0;
      rec_.programmedStart = progAddr_;
      rec_.programmedSize = progSize_;
      rec_.checksumOk = false;
      Reached("address");
      Send(Step::Address, 0, std::vector<std::uint8_t>{kXon}, out);
      loader_ = progSize_ == 0 ? Loader::ChecksumXon : Loader::BlockXon;
      return;

    case Loader::BlockXon:
      if (b == kXon) {
        acc_.clear();
        blockLen_ = std::min<std::uint32_t>(64, progSize_ - progDone_);
        loader_ = Loader::BlockData;
      }
      return;

    case Loader::BlockData: {
      acc_.push_back(b);
      if (acc_.size() < blockLen_) return;
      bool full = blockLen_ == 64;
      Step step = full ? Step::Block : Step::LastBlock;
      int k = full ? blocks_ + 1 : 0;
      loader_ = Loader::BlockXon;
      if (Quiet(step, k)) return;
      for (std::uint32_t i = 0; i < blockLen_; ++i) {
        std::uint64_t address = std::uint64_t{progAddr_} + progDone_ + i;
        // Programming can only clear bits: an unerased cell keeps its zeros.
        if (address < flash_.size()) flash_[address] &= acc_[i];
        progSum_ = static_cast<std::uint8_t>(progSum_ + acc_[i]);
      }
      HoldStuckCells();
      progDone_ += blockLen_;
      if (full) ++blocks_;
      Reached("data");
      Send(step, k, std::vector<std::uint8_t>{kXon}, out);
      if (progDone_ >= progSize_) loader_ = Loader::ChecksumXon;
      return;
    }

    case Loader::ChecksumXon:
      if (b == kXon) loader_ = Loader::ChecksumByte;
      return;

    case Loader::ChecksumByte:
      loader_ = Loader::ChecksumXon;
      if (Quiet(Step::Checksum)) return;
      loader_ = Loader::Idle;
      rec_.checksumOk = b == static_cast<std::uint8_t>(~progSum_);
      Reached("checksum");
      // A wrong checksum is not acknowledged.
      if (rec_.checksumOk) Send(Step::Checksum, 0, std::vector<std::uint8_t>{kAck}, out);
      return;

    case Loader::StartCmd:
      acc_.push_back(b);
      if (acc_.size() < 4) return;
      loader_ = Loader::Idle;
      if (Quiet(Step::Start)) return;
      StartMonitor(kMonitorBaud);
      Reached("monitor");
      Send(Step::Start, 0, std::vector<std::uint8_t>{kXon}, out);
      return;

    case Loader::ReadCmd: {
      acc_.push_back(b);
      if (acc_.size() < 8) return;
      if (Quiet(Step::Address)) {
        loader_ = Loader::Idle;
        return;
      }
      rec_.uploadStart = static_cast<std::int32_t>(BigEndian(&acc_[0]));
      rec_.uploadSize = static_cast<std::int32_t>(BigEndian(&acc_[4]));
      std::int64_t size = rec_.uploadSize;
      upPackets_ = size > 0 ? static_cast<std::uint32_t>((size + 63) / 64) : 0;
      upSent_ = 0;
      upSum_ = 0;
      SetRole(Role::UploadBootloader);
      Reached("upload");
      Send(Step::Address, 0, std::vector<std::uint8_t>{kXon}, out);
      loader_ = Loader::Upload;
      return;
    }

    case Loader::Upload: {
      if (b != kXon) {
        loader_ = Loader::Idle;
        Bootloader(b, out);
        return;
      }
      if (upSent_ < upPackets_) {
        int k = static_cast<int>(upSent_) + 1;
        if (Quiet(Step::UploadPacket, k)) return;
        std::vector<std::uint8_t> packet;
        packet.reserve(65);
        for (std::int64_t i = 0; i < 64; ++i) {
          std::int64_t address = std::int64_t{rec_.uploadStart} + std::int64_t{upSent_} * 64 + i;
          // Outside the flash the card reads as erased.
          std::uint8_t v = address >= 0 && address < static_cast<std::int64_t>(flash_.size())
                               ? flash_[static_cast<std::size_t>(address)]
                               : 0xFF;
          packet.push_back(v);
          upSum_ = static_cast<std::uint8_t>(upSum_ + v);
        }
        packet.push_back(kXon);
        ++upSent_;
        Send(Step::UploadPacket, k, packet, out);
        return;
      }
      if (Quiet(Step::UploadChecksum)) return;
      std::uint8_t sum =
          fault_.wrongUploadChecksum ? static_cast<std::uint8_t>(upSum_ + 1) : upSum_;
      Reached("upload-checksum");
      Send(Step::UploadChecksum, 0, std::vector<std::uint8_t>{sum, kAck}, out);
      loader_ = Loader::Idle;
      return;
    }
  }
}

// ---- monitor ---------------------------------------------------------------

void Card::StartMonitor(unsigned baud) {
  baud_ = baud;
  mon_ = Mon::Idle;
  line_.clear();
  afterLine_ = endRecord_ = false;
  SetRole(baud == kFirmwareBaud ? Role::Firmware : Role::Monitor);
}

void Card::Monitor(std::uint8_t b, std::vector<Emit>& out) {
  switch (mon_) {
    case Mon::Idle:
      if (b == kXon) {
        MonitorXon(out);
      } else if (b == '3') {
        afterLine_ = false;
        if (Quiet(Step::SpeedRequest)) return;
        Send(Step::SpeedRequest, 0, std::string("3"), out);
        baud_ = kFastBaud;  // the echo still goes at the old speed
        SetRole(Role::Monitor);
        Reached("speed-38400");
      } else if (b == 'S') {
        line_ = "S";
        mon_ = Mon::Record;
      } else if (b == 0x01) {
        acc_.assign(1, b);
        mon_ = Mon::Packet;
      } else if (b == '\r') {
        Terminal("", out);
      } else if (b != '\n') {
        line_.assign(1, static_cast<char>(b));
        mon_ = Mon::Text;
      }
      return;

    case Mon::Record: {
      line_.push_back(static_cast<char>(b));
      if (b == '\r') {  // too short for a record: a terminal command
        line_.pop_back();
        mon_ = Mon::Idle;
        Terminal(line_, out);
        return;
      }
      if (line_.size() == 2 && !(b >= '0' && b <= '9')) mon_ = Mon::Text;
      if (line_.size() == 4 && HexByte(line_, 2) < 0) mon_ = Mon::Text;
      if (line_.size() >= 4 && mon_ == Mon::Record &&
          line_.size() == 4 + 2 * static_cast<std::size_t>(HexByte(line_, 2))) {
        HandleRecord(out);
      }
      return;
    }

    case Mon::Text:
      if (b == '\r') {
        mon_ = Mon::Idle;
        Terminal(line_, out);
      } else if (line_.size() < kMaxText) {
        line_.push_back(static_cast<char>(b));
      }
      return;

    case Mon::Packet:
      acc_.push_back(b);
      if (acc_.size() == 2 && b < 2) {  // no room for the packet's own two bytes
        mon_ = Mon::Idle;
        return;
      }
      if (acc_.size() >= 2 && acc_.size() == std::size_t{acc_[1]} + 2u) HandlePacket(out);
      return;
  }
}

void Card::MonitorXon(std::vector<Emit>& out) {
  if (!afterLine_) {
    if (Quiet(Step::XonContact)) return;
    Reached("contact");
    Send(Step::XonContact, 0, std::string("Monitor ready\r\n\x11"), out);
    return;
  }
  afterLine_ = false;
  if (Quiet(Step::XonAfterLine, lineNo_)) return;
  if (!endRecord_) {
    Send(Step::XonAfterLine, lineNo_, pending_ + "\x11", out);
    return;
  }
  endRecord_ = false;
  Send(Step::XonAfterLine, lineNo_, std::string("\x11"), out);
  if (Quiet(Step::Done)) return;
  Send(Step::Done, 0, std::string("Done\r\n"), out);
  rec_.doneCount += 1;
  Reached("done");
}

void Card::HandleRecord(std::vector<Emit>& out) {
  mon_ = Mon::Idle;
  const std::string line = line_;
  line_.clear();
  ++lineNo_;
  afterLine_ = false;
  if (Quiet(Step::Line, lineNo_)) return;
  rec_.lines += 1;

  // The count byte and every byte after it sum to 0xFF.
  const int count = HexByte(line, 2);
  std::vector<std::uint8_t> bytes;
  bool ok = true;
  int sum = count;
  for (int i = 0; i < count; ++i) {
    int v = HexByte(line, 4 + 2 * static_cast<std::size_t>(i));
    if (v < 0) {
      ok = false;
      break;
    }
    bytes.push_back(static_cast<std::uint8_t>(v));
    sum += v;
  }
  ok = ok && (sum & 0xFF) == 0xFF;
  const char type = line[1];
  const int addressBytes = type == '2' || type == '8' ? 3 : type == '3' || type == '7' ? 4 : 2;
  std::uint32_t address = 0;
  for (int i = 0; i < addressBytes && i < static_cast<int>(bytes.size()); ++i) {
    address = (address << 8) | bytes[static_cast<std::size_t>(i)];
  }
  if (!ok) rec_.badRecords += 1;

  std::string reply(1, static_cast<char>(kXoff));
  pending_ = "-";
  if (type == '0') {
    bool memoryInfo = line.compare(0, 4, "S00D") == 0;
    if (memoryInfo) {
      rec_.memoryInfoLines.push_back(line);
      Reached("memory-info");
      if (ok) {
        // Fields after the address: region start, region end + 1, memory top.
        reply += "Memory " + line.substr(4, 8) + " to " + line.substr(12, 8) + " top " +
                 line.substr(20, 8) + " status 00000010\r\n";
      } else {
        reply += "Memory record checksum error\r\n";
      }
    } else {
      reply += ok ? "Header record\r\n" : "Header record checksum error\r\n";
    }
  } else if (type == '1' || type == '2' || type == '3') {
    Reached("lines");
    rec_.applicationLines += 1;
    if (count > addressBytes)
      rec_.applicationBytes += static_cast<unsigned>(count - addressBytes - 1);
    appHash_ = Fnv(appHash_, reinterpret_cast<const std::uint8_t*>(line.data()), line.size());
    const std::uint8_t lf = '\n';
    appHash_ = Fnv(appHash_, &lf, 1);
    rec_.applicationDigest = Hex64(appHash_);
    if (!ok) {
      pending_ = "Checksum error at " + Hex8(address) + "\r\n";
    } else if (++dataLines_ % 16 == 0) {
      pending_ = "Data at " + Hex8(address) + "\r\n";
    }
  } else if (type == '7' || type == '8' || type == '9') {
    Reached("end-record");
    endRecord_ = true;
  }
  afterLine_ = true;
  Send(Step::Line, lineNo_, reply, out);
}

void Card::HandlePacket(std::vector<Emit>& out) {
  mon_ = Mon::Idle;
  const std::size_t n = acc_[1];  // length of the packet before its checksum and 0xFF
  if (acc_[n + 1] != 0xFF) return;
  int sum = 0;
  for (std::size_t i = 2; i < n; ++i) sum += acc_[i];
  if (acc_[n] != 255 - (sum % 256)) return;
  if (n >= 3 && acc_[2] == 0x73) {
    rec_.statusPackets += 1;
    Reached("firmware-status");
    out.push_back({kAck, baud_});
  } else if (n >= 3 && acc_[2] == 0x69) {
    rec_.firmwareRequests += 1;
    Reached("firmware-request");
    for (std::uint8_t b : {0x03, 0x64, 0x00, 0x00}) out.push_back({b, baud_});
  }
}

void Card::Terminal(const std::string& text, std::vector<Emit>& out) {
  afterLine_ = false;
  if (rec_.terminalLines.size() >= kMaxTerminalLines) {
    rec_.terminalLines.erase(rec_.terminalLines.begin());
  }
  rec_.terminalLines.push_back(text);
  Reached("terminal");
  std::string reply;
  if (text.empty()) {
    reply = "Monitor ready\r\n";
  } else if (text == "?" || text == "help") {
    reply = "Commands: ? ver\r\n";
  } else if (text == "ver") {
    reply = "Monitor 1.0\r\n";
  } else {
    reply = "Unknown command " + text + "\r\n";
  }
  for (char c : reply + "\x11") out.push_back({static_cast<std::uint8_t>(c), baud_});
}

Record Card::Snapshot() const {
  Record r = rec_;
  std::uint64_t start = std::min<std::uint64_t>(r.programmedStart, flash_.size());
  std::uint64_t end =
      std::min<std::uint64_t>(std::uint64_t{r.programmedStart} + r.programmedSize, flash_.size());
  r.flashDigest = Digest(flash_.data() + start, static_cast<std::size_t>(end - start));
  for (std::size_t i = 0; i < 4; ++i) r.identityA[i] = flash_[0x7FC4 + i];
  for (std::size_t i = 0; i < 6; ++i) r.identityB[i] = flash_[0x7FD0 + i];
  return r;
}

// ---- names -----------------------------------------------------------------

namespace {
struct StepNameEntry {
  Step step;
  const char* name;
};
constexpr StepNameEntry kStepNames[] = {
    {Step::None, "none"},
    {Step::BootProbe, "boot-probe"},
    {Step::BaudMatch, "baud-match"},
    {Step::SizeEcho, "size-echo"},
    {Step::DataEcho, "data-echo"},
    {Step::FinalAck, "final-ack"},
    {Step::Erase, "erase"},
    {Step::Address, "address"},
    {Step::Block, "block"},
    {Step::LastBlock, "last-block"},
    {Step::Checksum, "checksum"},
    {Step::Start, "start"},
    {Step::XonContact, "xon-contact"},
    {Step::SpeedRequest, "speed-request"},
    {Step::Line, "line"},
    {Step::XonAfterLine, "xon-after-line"},
    {Step::Done, "done"},
    {Step::UploadPacket, "upload-packet"},
    {Step::UploadChecksum, "upload-checksum"},
};
}  // namespace

const char* StepName(Step step) {
  for (const auto& e : kStepNames) {
    if (e.step == step) return e.name;
  }
  return "none";
}

bool StepFromName(const std::string& name, Step& step) {
  for (const auto& e : kStepNames) {
    if (name == e.name) {
      step = e.step;
      return true;
    }
  }
  return false;
}

const char* RoleName(Role role) {
  switch (role) {
    case Role::BootRom:
      return "boot-rom";
    case Role::FlashBootloader:
      return "bootloader";
    case Role::UploadBootloader:
      return "upload-bootloader";
    case Role::Monitor:
      return "monitor";
    case Role::Firmware:
      return "firmware";
    case Role::HungUp:
      return "hung-up";
  }
  return "unknown";
}

}  // namespace ostra::cardsim
