// The option table: every number form the prompts take, both spellings of an argument,
// and the usage errors.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/Options.h"

namespace ostra::cli {
namespace {

using ::testing::HasSubstr;

TEST(OptionsTest, NumbersTakeThePromptsFormsAndEverythingElseIsAUsageError) {
  const ParsedOptions good =
      ParseOptions({"-s", "&H3E9", "--nic=02:00:00:00:07:D1", "--upload-start", "0x20000",
                    "--upload-size", "&O1000", "-c", "3", "-t", "Firmware 5830", "-y", "--port",
                    "COM2", "--port=/dev/ttyUSB0", "--memory-info", "yes"});
  ASSERT_EQ(good.error, "");
  EXPECT_EQ(good.options.serial, 1001);
  EXPECT_EQ(good.options.nic, 0x7D1);
  EXPECT_EQ(good.options.uploadStart, 0x20000);
  EXPECT_EQ(good.options.uploadSize, 512);
  EXPECT_EQ(good.options.cards, 3);
  EXPECT_EQ(good.options.type, "Firmware 5830");
  EXPECT_TRUE(good.options.yes && good.options.memoryInformation);
  EXPECT_EQ(good.options.ports, (std::vector<std::string>{"COM2", "/dev/ttyUSB0"}));

  const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
      {{"--serial", "&HZZ"}, "'&HZZ' is not a number"},
      {{"--nic", "04:00:00:00:00:01"}, "--nic"},
      {{"--cards", "0"}, "--cards takes a whole number"},
      {{"--cards", "2.5"}, "--cards takes a whole number"},
      {{"--memory-info", "maybe"}, "yes or no"},
      {{"--type"}, "--type needs an argument"},
      {{"--yes=no"}, "--yes takes no argument"},
      {{"--colour"}, "unknown option '--colour'"},
      {{"app.sr"}, "unexpected argument 'app.sr'"},
  };
  for (const auto& [args, error] : bad) {
    EXPECT_THAT(ParseOptions(args).error, HasSubstr(error)) << args.front();
  }
}

TEST(OptionsTest, HelpNamesEveryOptionInTheLayoutManualPagesAreMadeFrom) {
  const std::string help = HelpText();
  EXPECT_EQ(help.rfind("Usage: ostra-load [OPTION]...\n", 0), 0u);
  for (const char* option : {"--port DEVICE",
                             "--hardware DIR",
                             "--type TYPE",
                             "--app FILE",
                             "--serial N",
                             "--nic N",
                             "--memory-info yes|no",
                             "--upload-start N",
                             "--upload-size N",
                             "--output FILE",
                             "--reload",
                             "--cards N",
                             "--yes",
                             "--json",
                             "--log FILE",
                             "--command TEXT",
                             "--list-ports",
                             "--list-types",
                             "--help",
                             "--version",
                             "Exit status:"}) {
    EXPECT_THAT(help, HasSubstr(option));
  }
  EXPECT_EQ(VersionText(), "ostra-load " OSTRA_VERSION_EXPECTED "\n");
}

}  // namespace
}  // namespace ostra::cli
