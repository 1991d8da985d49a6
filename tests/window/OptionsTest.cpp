// The loader program's command line, read before any window exists.
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/Options.h"

namespace ostra::app {
namespace {

Options Parse(std::vector<const char*> args) {
  args.insert(args.begin(), "ostra-bootloader");
  return ParseOptions(static_cast<int>(args.size()), args.data());
}

TEST(Options, ActionsDevicesAndMistakes) {
  using A = Options::Action;
  struct Case {
    std::vector<const char*> args;
    A action;
    std::map<int, std::string> devices;
  };
  for (const Case& c : std::vector<Case>{
           {{}, A::Run, {}},
           {{"--com2", "/dev/ttyUSB0"}, A::Run, {{2, "/dev/ttyUSB0"}}},
           {{"--com1=/tmp/card", "--com3", "x"}, A::Run, {{1, "/tmp/card"}, {3, "x"}}},
           {{"--com2", "a", "--help"}, A::Help, {{2, "a"}}},
           {{"--version"}, A::Version, {}},
           {{"--com2"}, A::Usage, {}},
           {{"--com4", "x"}, A::Usage, {}},
           {{"--bogus"}, A::Usage, {}},
           {{"file.sr"}, A::Usage, {}}}) {
    const Options o = Parse(c.args);
    EXPECT_EQ(o.action, c.action) << (c.args.empty() ? "" : c.args[0]);
    EXPECT_EQ(o.devices, c.devices);
    EXPECT_EQ(o.error.empty(), c.action != A::Usage);
  }
  const Options r = Parse({"--record=", "--no-record"});
  EXPECT_TRUE(r.record == "" && r.noRecord && Parse({"--record"}).action == A::Usage);
  // help2man reads this layout.
  EXPECT_EQ(HelpText().rfind("Usage: ostra-bootloader [OPTION]...\n", 0), 0u);
  EXPECT_NE(HelpText().find("\n  --com2 DEVICE   "), std::string::npos);
  EXPECT_EQ(VersionText().rfind("ostra-bootloader 0.", 0), 0u);
}

TEST(Options, AWindowWithoutADisplayIsRefusedInOneLine) {
  const auto saved = [](const char* name) {
    const char* value = std::getenv(name);
    return std::string(value != nullptr ? value : "");
  };
  const std::string platform = saved("QT_QPA_PLATFORM"), display = saved("DISPLAY");
  ::unsetenv("QT_QPA_PLATFORM");
  ::setenv("DISPLAY", "", 1);
  ::unsetenv("WAYLAND_DISPLAY");
  const std::string missing = MissingDisplay();
  EXPECT_NE(missing.find("xvfb-run"), std::string::npos);
  EXPECT_EQ(missing.find('\n'), std::string::npos);
  ::setenv("DISPLAY", ":0", 1);
  EXPECT_EQ(MissingDisplay(), "");
  ::setenv("DISPLAY", display.c_str(), 1);
  if (!platform.empty()) ::setenv("QT_QPA_PLATFORM", platform.c_str(), 1);
}

}  // namespace
}  // namespace ostra::app
