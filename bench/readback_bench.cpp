// Reading card memory back from the card simulator with wire timing, at 19200 baud:
// 32 KiB through the upload bootloader, as a verify reads a monitor. Prints the wall
// time of the read, the time its bytes need on the wire (every byte both ways, 10 bits
// at 19200 baud, one after the other as the exchanges serialize them) and their ratio;
// then the same read without wire timing, per packet.

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "BenchSetup.h"
#include "cardsim/CardSim.h"
#include "protocols/BootProgram.h"
#include "protocols/ReadBack.h"

namespace {

constexpr uint32_t kStart = 0x10000;
constexpr uint32_t kSize = 32 * 1024;

std::vector<uint8_t> Pattern(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::vector<uint8_t> out(n);
  for (auto& b : out) b = static_cast<uint8_t>(gen());
  return out;
}

struct Figures {
  bool ok;
  double wall;
  double wire;
  uint64_t bytes;
};

// The read alone, against a fresh card whose upload bootloader is running.
Figures Read(bool wireTiming, const std::vector<uint8_t>& flash) {
  ostra::cardsim::SimOptions options;
  options.wireTiming = wireTiming;
  ostra::cardsim::Simulator sim(options);
  ::setenv("VRXCOM_COM1", sim.DevicePath().c_str(), 1);
  sim.SetFlash(kStart, flash);
  sim.Start();
  ostra::VrConnection link;
  link.Connect();  // port 1, 19200 baud
  if (!ostra::testing::BootProgram(link, Pattern(64, 3))) {
    std::fprintf(stderr, "the upload bootloader did not start\n");
    return {false, 0, 0, 0};
  }
  const auto before = sim.GetRecord();
  const auto t0 = std::chrono::steady_clock::now();
  const ostra::ReadBackResult read = ostra::ReadCardMemory(link, kStart, kSize);
  const auto t1 = std::chrono::steady_clock::now();
  const auto after = sim.GetRecord();
  const uint64_t bytes = (after.bytesIn - before.bytesIn) + (after.bytesOut - before.bytesOut);
  link.Disconnect();
  sim.Stop();
  return {read.Ok() && read.bytes == flash, std::chrono::duration<double>(t1 - t0).count(),
          bytes * 10.0 / 19200.0, bytes};
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ostra::bench::WakeWithoutSlack();
  const std::vector<uint8_t> flash = Pattern(kSize, 2);

  std::printf("Reading card memory back from the card simulator, wire timing on, 19200 baud\n");
  const Figures timed = Read(true, flash);
  std::printf("%-26s %s  wall %8.3f s  wire %8.3f s  (%llu bytes)  ratio %.4f\n",
              "read back 32 KiB", timed.ok ? "ok    " : "FAILED", timed.wall, timed.wire,
              static_cast<unsigned long long>(timed.bytes),
              timed.wire > 0 ? timed.wall / timed.wire : 0.0);

  // The same without wire timing: what the loader, the serial library, the
  // pseudo-terminal and the simulator cost per packet, with no wire.
  const Figures untimed = Read(false, flash);
  std::printf("without wire timing: read back %.3f s (%.1f us per packet of %u)\n", untimed.wall,
              untimed.wall / (kSize / 64) * 1e6, kSize / 64);
  return timed.ok && untimed.ok ? 0 : 1;
}
