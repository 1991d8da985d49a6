// The terminal line against the scripted library.
#include <gtest/gtest.h>

#include "protocols/Terminal.h"
#include "support/ScriptedVr.h"
#include "support/ScriptedWindow.h"

namespace ostra::window {
namespace {

using ostra::testing::ScriptedVr;
using ostra::testing::ScriptedWindow;

class TerminalLine : public ::testing::Test {
 protected:
  TerminalLine() : scope_(vr_), window_(state_) {
    state_.connection.SetMessageSink([this](const std::string& text) {
      window_.Tell({Notice::Warning, MessageIcon::Warning, text});
    });
    state_.connection.Connect();
    vr_.calls.clear();
  }
  void Reply(std::string reply, int32_t result = 1) {
    vr_.sendAscii = [reply, result](int32_t, std::string_view, uint8_t, std::string& out) {
      out = reply;
      return result;
    };
  }
  std::vector<int64_t> TimeoutsSet() const {
    std::vector<int64_t> t;
    for (const auto& c : vr_.CallsTo("VrSetConnectionTimeout")) t.push_back(c.args[1]);
    return t;
  }
  ScriptedVr vr_;
  ScriptedVr::Scope scope_;
  LoaderState state_;
  ScriptedWindow window_;
  int scrolls_ = 0;
  std::function<void()> scroll_ = [this] { ++scrolls_; };
};

TEST_F(TerminalLine, SendsTheCommandWithCrAndLogsTheReplyNewestFirst) {
  Reply("ok\r\nline2\r\n\x11" + std::string(10, ' '));
  SendTerminalLine(state_, window_, "ver", scroll_);

  const auto sends = vr_.CallsTo("VrSendAscii");
  ASSERT_EQ(sends.size(), 1u);
  EXPECT_EQ(sends[0].bytes, "ver\r");
  EXPECT_EQ(sends[0].args[0], state_.connection.ConnectionID());
  EXPECT_EQ(sends[0].args[1], 4);     // count, CR included
  EXPECT_EQ(sends[0].args[2], 2000);  // reply buffer
  EXPECT_EQ(sends[0].args[3], 17);    // ends at XON
  EXPECT_EQ(state_.log.Text(), "line2\r\nok\r\n\r\nver\r\n");
  EXPECT_EQ(scrolls_, 1);
  EXPECT_TRUE(window_.messages.empty());
  // 2000 ms for the exchange, the old time-out afterwards.
  EXPECT_EQ(TimeoutsSet(), (std::vector<int64_t>{2000, 250}));
  EXPECT_EQ(state_.connection.Timeout(), 250);
}

TEST_F(TerminalLine, ReplyLosesXonXoffAndTrailingBlanksOnly) {
  Reply(
      "\x13"
      "ab\r\n\x11   ");
  SendTerminalLine(state_, window_, "x", scroll_);
  EXPECT_EQ(state_.log.Text(), "ab\r\n\r\nx\r\n");
}

TEST_F(TerminalLine, NoReplyWarnsLogsOnlyTheCommandAndRestoresTheTimeout) {
  state_.connection.SetTimeoutValue(700);
  Reply("partial", 0);
  SendTerminalLine(state_, window_, "dump", scroll_);
  ASSERT_EQ(window_.messages.size(), 1u);
  EXPECT_EQ(window_.messages[0].text, "Failed to get response.");
  EXPECT_EQ(window_.messages[0].icon, MessageIcon::Warning);
  EXPECT_EQ(state_.log.Text(), "dump\r\n");
  EXPECT_EQ(TimeoutsSet(), (std::vector<int64_t>{2000, 700}));
}

TEST_F(TerminalLine, EmptyCommandSendsOneCarriageReturnAndLogsAnEmptyLine) {
  Reply("\x11");
  SendTerminalLine(state_, window_, "", scroll_);
  const auto sends = vr_.CallsTo("VrSendAscii");
  ASSERT_EQ(sends.size(), 1u);
  EXPECT_EQ(sends[0].bytes, "\r");
  EXPECT_EQ(sends[0].args[1], 1);
  EXPECT_EQ(state_.log.Text(), "\r\n\r\n");
}

TEST_F(TerminalLine, WorksWithNoOpenConnectionThroughHandleZero) {
  state_.connection.Disconnect();
  vr_.calls.clear();
  vr_.setTimeout = [](int32_t handle, int32_t) { return handle == 0 ? 0 : 1; };
  Reply("", 0);
  SendTerminalLine(state_, window_, "a", scroll_);
  EXPECT_EQ(vr_.CallsTo("VrSendAscii").at(0).args[0], 0);
  EXPECT_EQ(window_.MessageTexts(),
            (std::vector<std::string>{"Failed to set timeout.", "Failed to get response.",
                                      "Failed to set timeout."}));
}

TEST_F(TerminalLine, OverlongCommandIsCutSoTheCountFitsSixteenBits) {
  Reply("\x11");
  SendTerminalLine(state_, window_, std::string(40000, 'a'), scroll_);
  const auto sends = vr_.CallsTo("VrSendAscii");
  ASSERT_EQ(sends.size(), 1u);
  EXPECT_EQ(sends[0].args[1], kTerminalMaxCommand + 1);
  EXPECT_EQ(sends[0].bytes.back(), '\r');
}

}  // namespace
}  // namespace ostra::window
