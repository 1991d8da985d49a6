// The card protocol classes: the bytes each step puts on the line, the byte it waits
// for, and the failure of a step that gets no answer.
#include <gtest/gtest.h>

#include <functional>

#include "protocols/CardLink.h"
#include "support/RecordLines.h"
#include "support/ScriptedVr.h"

namespace ostra::testing {
namespace {

TEST(CardLink, EachStepSendsItsBytesAndAwaitsItsAnswer) {
  ScriptedVr vr;
  ScriptedVr::Scope scope(vr);
  bool answer = true;
  vr.sendAscii = [&](int32_t, std::string_view, uint8_t end, std::string& reply) {
    reply = std::string(1, static_cast<char>(end));
    return answer ? 1 : 0;
  };
  VrConnection link;
  link.Connect();
  card::BootRom rom(link);
  card::FlashBootloader flash(link);
  card::UploadBootloader upload(link);
  card::Monitor monitor(link);
  struct Step {
    std::function<bool()> run;
    std::string sent;  // every call's bytes, joined
    int awaited;       // the last call's end byte
  };
  const Step steps[] = {
      {[&] { return rom.Sync(); }, Bytes({0x00}), 0x00},
      {[&] { return rom.MatchSpeed(); }, Bytes({0x55}), 0xAA},
      {[&] { return rom.SendLength(0x0102); }, Bytes({0x01, 0x02}), 0x02},
      {[&] { return rom.SendLastByte(0x42); }, Bytes({0x42}), 0xAA},
      {[&] {
         return flash.Erase({0x00000, 0x38000});
       },
       Bytes({'W', 2, 0, 0, 0, 0, 0, 3, 0x80, 0}), 0x06},
      {[&] { return flash.SetRange(0x1000, 0x41); }, Bytes({0, 0, 0x10, 0, 0, 0, 0, 0x41}), 0x11},
      {[&] {
         return flash.SendBlock(Bytes({1, 2}));
       },
       Bytes({0x11, 1, 2}), 0x11},
      {[&] { return flash.SendChecksum(); }, Bytes({0x11, 0xFC}), 0x06},
      {[&] { return flash.StartMonitor(); }, Bytes({'B', 0, 0, 3, 0xF4}), 0x11},
      {[&] { return upload.RequestRange(0x2000, 0x80); },
       Bytes({'R', 0, 0, 0x20, 0, 0, 0, 0, 0x80}), 0x11},
      {[&] { return monitor.RequestFastSpeed(); }, "3", '3'},
      {[&] { return monitor.SendRecord("S9030000FC"); }, "S9030000FC", 0x13},
  };
  for (const auto& step : steps) {
    vr.calls.clear();
    EXPECT_TRUE(step.run()) << step.sent;
    std::string sent;
    for (const auto& call : vr.CallsTo("VrSendAscii")) sent += call.bytes;
    EXPECT_EQ(sent, step.sent);
    EXPECT_EQ(vr.CallsTo("VrSendAscii").back().args[3], step.awaited) << step.sent;
  }
  answer = false;
  for (const auto& step : steps) EXPECT_FALSE(step.run()) << step.sent;
  EXPECT_EQ(card::FlashBootloader::SectorsTouched(0x7000, 0x3F3FF),
            (std::vector<uint32_t>{0x00000, 0x08000, 0x10000, 0x18000, 0x20000, 0x28000, 0x30000,
                                   0x38000, 0x3F000}));
}

}  // namespace
}  // namespace ostra::testing
