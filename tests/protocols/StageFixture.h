#pragma once
// A stage under test: the scripted library installed, a connected state, a scripted
// window and a scratch directory.
#include <gtest/gtest.h>

#include "protocols/StageTestSupport.h"
#include "protocols/Stages.h"
#include "support/ScriptedVr.h"
#include "support/ScriptedWindow.h"

namespace ostra::testing {

class StageFixture : public ::testing::Test {
 protected:
  StageFixture() {
    state.connection.Connect();
    vr.calls.clear();
  }

  // The speed the line runs at now (the last VrInitConnection).
  int64_t LineSpeed() const {
    const auto speeds = SpeedsSet(vr);
    return speeds.empty() ? 19200 : speeds.back();
  }

  // Every ending leaves the line open at the stage's entry speed and time-out, and the
  // window as it was before the stage.
  void ExpectRestored(int32_t baud = 19200, int32_t timeout = 250) const {
    EXPECT_EQ(LineSpeed(), baud);
    EXPECT_EQ(TimeoutsSet(vr).back(), timeout);
    EXPECT_EQ(state.connection.BaudRate(), baud);
    EXPECT_EQ(state.connection.Timeout(), timeout);
    EXPECT_NE(state.connection.ConnectionID(), 0);
    EXPECT_TRUE(window.commandVisible);
    EXPECT_FALSE(window.progressVisible);
    EXPECT_FALSE(window.busy);
    EXPECT_LE(window.maxProgress, 100.0);
  }

  ScriptedVr vr;
  ScriptedVr::Scope scope{vr};
  LoaderState state;
  ScriptedWindow window{state};
  ScratchDir dir;
};

}  // namespace ostra::testing
