// Reading a card back through its upload bootloader: the range the monitor stage
// programmed, to prove that the flash holds it (verify), and the identity block, to
// know which card it is (identify).
#include <filesystem>
#include <string>

#include "files/AtomicFile.h"
#include "formats/Hex.h"
#include "formats/PathText.h"
#include "formats/SRecord.h"
#include "protocols/CardProtocol.h"
#include "protocols/ReadBack.h"
#include "protocols/StageFrame.h"
#include "protocols/Stages.h"

namespace ostra {

namespace {

constexpr const char* kSource = "Verify";

// The upload bootloader's failures in the words the memory upload uses for them; true
// when the read failed (or was stopped).
bool ReadFailed(RunContext& run, const ReadBackResult& read) {
  struct Told {
    ReadBackFailure failure;
    FailureKind kind;
    const char* text;
  };
  static constexpr Told kTold[] = {
      {ReadBackFailure::SizeRefused, FailureKind::Unexpected,
       "The range to read back is larger than the card's flash"},
      {ReadBackFailure::AddressNotAcknowledged, FailureKind::UploadNotAcknowledged,
       "Failed to get Data Address Acknowledge"},
      {ReadBackFailure::PacketMissing, FailureKind::UploadNotAcknowledged,
       "Failed to get Data Packet"},
      {ReadBackFailure::ChecksumMissing, FailureKind::UploadNotAcknowledged,
       "Failed to get Checksum"},
  };
  if (read.failure == ReadBackFailure::None) return false;
  if (read.failure == ReadBackFailure::ChecksumMismatch) {
    run.Fail(FailureKind::UploadChecksumMismatch,
             "Checksum mismatch " + ByteToHex(read.cardSum.value_or(0)) + ByteToHex(read.sum));
  }
  for (const Told& told : kTold) {
    if (told.failure == read.failure) run.Fail(told.kind, told.text);
  }
  return true;  // ReadBackFailure::Stopped: the run was stopped, nothing to tell
}

ReadBackResult Read(RunContext& run, uint32_t start, uint32_t size) {
  return ReadCardMemory(
      run.state.connection, start, size,
      [&run](uint32_t done, uint32_t total) { run.Progress(done, total); },
      [&run] { return run.Stopped(); });
}

// What was read, kept for the technician beside the run's other files.
std::string KeepWhatWasRead(RunContext& run, uint32_t start, const std::vector<uint8_t>& bytes) {
  const std::string name =
      "verify-" +
      (run.outcome.serialNumber ? std::to_string(*run.outcome.serialNumber) : std::string("card")) +
      ".mon";
  const std::filesystem::path folder = PathOfText(run.request.verifyFolder);
  const std::filesystem::path path = folder.empty() ? PathOfText(name) : folder / name;
  files::AtomicFileWriter file(path, kSource);
  WriteUploadFile(file.stream(), start, bytes.data(), bytes.size());
  file.Commit();
  return TextOfPath(path);
}

}  // namespace

bool VerifyCard(RunContext& run, const std::string& uploadBootloader) {
  return stage::Run(run, Stage::Verify, [&] {
    const ProgrammedRange& programmed = run.state.programmed;
    if (programmed.bytes.empty()) {
      throw LoaderError("Nothing was programmed to read back", kSource);
    }
    if (!PutBootloader(run, uploadBootloader,
                       {Notice::CycleWiring, MessageIcon::None,
                        "For the read-back: Power off, Set Card Links to Boot positions, "
                        "Connect to COM2, Apply Power to Card"})) {
      return false;
    }
    const auto size = static_cast<uint32_t>(programmed.bytes.size());
    run.Log("Reading back 0x" + stage::Hex(size) + " bytes at 0x" +
            stage::AddressText(programmed.start));
    const ReadBackResult read = Read(run, programmed.start, size);
    if (ReadFailed(run, read)) return false;
    VerifyResult result = CompareWithImage(programmed.bytes, programmed.start, read.bytes);
    if (!result.ok) result.readFile = KeepWhatWasRead(run, programmed.start, read.bytes);
    run.outcome.verify = result;
    if (result.ok) {
      run.Log("Verified " + std::to_string(result.bytes) + " bytes");
      return true;
    }
    run.Log("What was read is kept in " + result.readFile);
    run.Fail(FailureKind::VerifyMismatch,
             "Verify failed at 0x" + HexDigits(result.firstDifference.value_or(0), 8) + ": wrote " +
                 ByteToHex(result.wrote) + ", read " + ByteToHex(result.read) + " (" +
                 std::to_string(result.differences) + " bytes differ)");
    return false;
  });
}

bool ReadCardIdentity(RunContext& run, const std::string& uploadBootloader) {
  return stage::Run(run, Stage::Identify, [&] {
    if (!PutBootloader(
            run, uploadBootloader,
            {Notice::BootWiring, MessageIcon::None,
             "Set Card Links to Boot positions, Connect to COM2, Apply Power to Card"})) {
      return false;
    }
    run.Log("Reading the card's identity");
    const ReadBackResult read = Read(run, card::kIdentityBlockStart, card::kIdentityBlockSize);
    if (ReadFailed(run, read)) return false;
    const CardIdentity identity =
        ParseIdentityBlock(read.bytes, std::span<const uint8_t, 3>(NicVendorPrefix, 3));
    run.outcome.identity = identity;
    run.state.lastIdentity = identity;
    if (identity.erased) {
      run.Log("The card carries no identity");
      return true;
    }
    run.Log("Serial number " + std::to_string(identity.serialNumber));
    std::string address;
    for (int i = 0; i < 6; ++i) address += (i > 0 ? ":" : "") + ByteToHex(identity.ethernet[i]);
    run.Log("Ethernet address " + address +
            (identity.prefixOk ? "" : " (not under the cards' prefix)"));
    return true;
  });
}

}  // namespace ostra
