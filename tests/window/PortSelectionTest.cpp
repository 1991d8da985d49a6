// Port and speed handlers on plain controls, against the scripted library.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "link/PortDevice.h"
#include "support/ScriptedVr.h"
#include "support/ScriptedWindow.h"
#include "window/PortDevices.h"
#include "window/PortSelection.h"

namespace ostra::window {
namespace {

using ostra::testing::ScriptedVr;
using ostra::testing::ScriptedWindow;

class PortSelection : public ::testing::Test {
 protected:
  PortSelection() : scope_(vr_), window_(state_) {}
  void Open() {
    ASSERT_TRUE(state_.connection.Connect());
    vr_.calls.clear();
  }
  std::vector<int64_t> OpenedPorts() const {
    std::vector<int64_t> ports;
    for (const auto& c : vr_.CallsTo("VrOpenConnection")) ports.push_back(c.args[1]);
    return ports;
  }
  ScriptedVr vr_;
  ScriptedVr::Scope scope_;
  LoaderState state_;
  ScriptedWindow window_;
  PortControls controls_;
  int shows_ = 0;
  ShowControls show_ = [this] { ++shows_; };
};

TEST_F(PortSelection, Com2AndCom3ReopenOnTheirPortAndEnableTheButton) {
  Open();
  controls_.downloadEnabled = false;
  COM2_Click(state_, window_, controls_, show_);
  EXPECT_EQ(state_.connection.Port(), 2);
  EXPECT_TRUE(controls_.com2 && !controls_.com1 && !controls_.com3);
  EXPECT_TRUE(controls_.downloadEnabled);
  COM3_Click(state_, window_, controls_, show_);
  EXPECT_EQ(state_.connection.Port(), 3);
  EXPECT_TRUE(controls_.com3 && !controls_.com1 && !controls_.com2);
  EXPECT_EQ(vr_.CallNames(), (std::vector<std::string>{
                                 "VrCloseConnection", "VrOpenConnection", "VrInitConnection",
                                 "VrSetConnectionTimeout", "VrCloseConnection", "VrOpenConnection",
                                 "VrInitConnection", "VrSetConnectionTimeout"}));
  EXPECT_EQ(OpenedPorts(), (std::vector<int64_t>{2, 3}));
  EXPECT_TRUE(window_.messages.empty());
  EXPECT_GE(shows_, 4);  // shown before the link work and at the end, each time
}

TEST_F(PortSelection, FailedOpenOfCom2HidesSpeedsUntilAnotherPortOpens) {
  Open();
  vr_.open = [](int32_t, int32_t port, uint32_t) { return port == 2 ? 0 : 9; };
  COM2_Click(state_, window_, controls_, show_);
  EXPECT_EQ(window_.MessageTexts(), std::vector<std::string>{"Failed to open Serial Port"});
  EXPECT_EQ(window_.messages[0].icon, MessageIcon::Warning);
  EXPECT_FALSE(controls_.com1 || controls_.com2 || controls_.com3);
  EXPECT_FALSE(controls_.speedVisible);
  EXPECT_FALSE(controls_.downloadEnabled);

  COM3_Click(state_, window_, controls_, show_);
  EXPECT_TRUE(controls_.speedVisible);
  EXPECT_TRUE(controls_.downloadEnabled);
  EXPECT_EQ(window_.messages.size(), 1u);
}

TEST_F(PortSelection, FailedOpenOfCom3KeepsSpeedsVisible) {
  vr_.open = [](int32_t, int32_t, uint32_t) { return 0; };
  COM3_Click(state_, window_, controls_, show_);
  EXPECT_EQ(window_.MessageTexts(), std::vector<std::string>{"Failed to open Serial Port"});
  EXPECT_FALSE(controls_.com3);
  EXPECT_TRUE(controls_.speedVisible);
  EXPECT_FALSE(controls_.downloadEnabled);
}

TEST_F(PortSelection, FailedCloseIsReportedAndThePortStillChanges) {
  Open();
  vr_.close = [](int32_t) { return 0; };
  COM2_Click(state_, window_, controls_, show_);
  COM3_Click(state_, window_, controls_, show_);
  EXPECT_EQ(window_.MessageTexts(), (std::vector<std::string>{"Failed to close Serial Port",
                                                              "Failed to close Serial Port"}));
  EXPECT_EQ(state_.connection.Port(), 3);
  // The old handle still counts as open and is reused.
  EXPECT_TRUE(vr_.CallsTo("VrOpenConnection").empty());
}

TEST_F(PortSelection, Com1FromAnotherPortReopensOnPort1WithItsOwnWords) {
  Open();
  COM2_Click(state_, window_, controls_, show_);
  ASSERT_FALSE(controls_.com1);
  vr_.close = [](int32_t) { return 0; };
  vr_.open = [](int32_t, int32_t, uint32_t) { return 0; };
  state_.connection.Disconnect();  // still open: the close fails
  COM1_Click(state_, window_, controls_, show_);
  EXPECT_EQ(window_.MessageTexts(), std::vector<std::string>{"Failed to close Serial Port2"});
  EXPECT_EQ(state_.connection.Port(), 1);
  EXPECT_TRUE(controls_.downloadEnabled);  // the old handle counts as open

  vr_.close = [](int32_t) { return 1; };
  state_.connection.Disconnect();
  controls_.com1 = false;
  COM1_Click(state_, window_, controls_, show_);
  EXPECT_EQ(window_.MessageTexts().back(), "Failed to open Serial Port 1");
  EXPECT_FALSE(controls_.com1);
  EXPECT_FALSE(controls_.downloadEnabled);
  EXPECT_TRUE(controls_.portButtonsVisible && controls_.speedVisible && !controls_.udpVisible);
}

TEST_F(PortSelection, Com1WhenSelectedShowsTheUdpDisplayAndLeavesTheLinkAlone) {
  Open();
  controls_.speed = 38400;
  COM1_Click(state_, window_, controls_, show_);
  EXPECT_TRUE(vr_.calls.empty());
  EXPECT_TRUE(window_.messages.empty());
  EXPECT_FALSE(controls_.portButtonsVisible || controls_.speedVisible);
  EXPECT_FALSE(controls_.com1 || controls_.com2 || controls_.com3);
  EXPECT_TRUE(controls_.udpVisible);
  EXPECT_TRUE(controls_.downloadEnabled);
  EXPECT_NE(state_.connection.ConnectionID(), 0);
}

TEST_F(PortSelection, SpeedClicksSelectTheirButtonAndReopenAtTheirSpeed) {
  Open();
  controls_.downloadEnabled = false;
  for (int baud : {38400, 19200, 9600}) {
    SpeedClick(state_, window_, controls_, baud, show_);
    EXPECT_EQ(controls_.speed, baud);
    EXPECT_EQ(state_.connection.BaudRate(), baud);
    EXPECT_EQ(vr_.CallsTo("VrInitConnection").back().args[1], baud);
  }
  EXPECT_FALSE(controls_.downloadEnabled);  // speeds never touch the button
  EXPECT_TRUE(window_.messages.empty());
}

TEST_F(PortSelection, SpeedClickFailuresUseEachButtonsWords) {
  Open();
  vr_.close = [](int32_t) { return 0; };
  SpeedClick(state_, window_, controls_, 19200, show_);
  SpeedClick(state_, window_, controls_, 9600, show_);
  SpeedClick(state_, window_, controls_, 38400, show_);
  EXPECT_EQ(window_.MessageTexts(), (std::vector<std::string>{"Failed to close Serial Port 1.",
                                                              "Failed to close Serial Port",
                                                              "Failed to close Serial Port"}));
}

TEST_F(PortSelection, SpeedClickWithNoPortOpenStillTriesToOpenSilently) {
  vr_.open = [](int32_t, int32_t, uint32_t) { return 0; };
  controls_.downloadEnabled = false;
  SpeedClick(state_, window_, controls_, 19200, show_);
  EXPECT_EQ(state_.connection.BaudRate(), 19200);
  EXPECT_EQ(vr_.CallsTo("VrOpenConnection").size(), 1u);
  EXPECT_TRUE(window_.messages.empty());
  EXPECT_FALSE(controls_.downloadEnabled);
}

TEST_F(PortSelection, EachOpenIsLoggedWithDeviceAndSpeedAndAFailureWithItsReason) {
  SetCommandLineDevice(2, "/dev/ttyUSB7");
  Open();
  COM2_Click(state_, window_, controls_, show_);
  SpeedClick(state_, window_, controls_, 9600, show_);
  EXPECT_EQ(window_.LogLines()[0], "COM2 = /dev/ttyUSB7, 9600 baud");
  EXPECT_EQ(window_.LogLines()[1], "COM2 = /dev/ttyUSB7, 19200 baud");

  const char reason[] = "Cannot open /dev/ttyUSB7: Permission denied; add yourself to dialout.";
  vr_.open = [](int32_t, int32_t, uint32_t) { return 0; };
  vr_.errorInfo = [&reason](int32_t, VrErrorInfo* info) {
    std::strcpy(info->text, reason);
    return 1;
  };
  COM2_Click(state_, window_, controls_, show_);
  EXPECT_EQ(window_.LogLines()[0], std::string("COM2: ") + reason);
  EXPECT_EQ(window_.MessageTexts(), std::vector<std::string>{"Failed to open Serial Port"});
  SetCommandLineDevice(2, "");
}

TEST(PortDevices, AnAdapterIsOfferedByItsStableName) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::path(::testing::TempDir()) / "ostra-by-id";
  fs::remove_all(dir);
  fs::create_directories(dir / "by-id");
  std::ofstream(dir / "ttyUSB0") << "";
  std::ofstream(dir / "ttyUSB1") << "";
  fs::create_symlink("../ttyUSB0", dir / "by-id" / "usb-FTDI_A1-if00-port0");
  EXPECT_EQ(StableDeviceName((dir / "ttyUSB0").string(), (dir / "by-id").string()),
            (dir / "by-id" / "usb-FTDI_A1-if00-port0").string());
  EXPECT_EQ(StableDeviceName((dir / "ttyUSB1").string(), (dir / "by-id").string()),
            (dir / "ttyUSB1").string());
  EXPECT_EQ(StableDeviceName("/dev/ttyS0", (dir / "none").string()), "/dev/ttyS0");
  EXPECT_EQ(DeviceLabel("/dev/ttyUSB1", "FT232R", "", " A1 "), "/dev/ttyUSB1 \u2014 FT232R, A1");
  fs::remove_all(dir);
}

}  // namespace
}  // namespace ostra::window
