// The station's options, the slot's states as its tile shows them, the shift's counts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "station/Options.h"
#include "station/Shift.h"
#include "station/SlotState.h"

namespace ostra::station {
namespace {

using ::testing::HasSubstr;

TEST(StationOptionsTest, TheTableDrivesParserAndHelp) {
  const ParsedOptions good =
      ParseOptions({"--job", "line3.json", "--start", "--locked", "--record=cards.sqlite"});
  ASSERT_EQ(good.error, "");
  EXPECT_EQ(good.options.job, "line3.json");
  EXPECT_TRUE(good.options.start && good.options.locked);
  EXPECT_EQ(good.options.record, "cards.sqlite");

  const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
      {{"--job"}, "--job needs an argument (FILE)"},
      {{"--start=yes"}, "--start takes no argument"},
      {{"--record", "x", "--no-record"}, "exclude each other"},
      {{"--colour"}, "unknown option '--colour'"},
      {{"-j"}, "unknown option '-j'"},
      {{"job.json"}, "unexpected argument 'job.json'"},
  };
  for (const auto& [args, error] : bad) {
    EXPECT_THAT(ParseOptions(args).error, HasSubstr(error)) << args.front();
  }
  for (const char* option : {"--job FILE", "--start", "--locked", "--record LOCATION",
                             "--no-record", "--help", "--version"}) {
    EXPECT_THAT(HelpText(), HasSubstr(option));
  }
  EXPECT_EQ(HelpText().rfind("Usage: ostra-station [OPTION]...\n", 0), 0u);
}

RunOutcome Outcome(RunEnd end, Stage stage = Stage::None, std::string text = {},
                   std::optional<uint32_t> serial = std::nullopt) {
  RunOutcome outcome;
  outcome.end = end;
  outcome.stage = stage;
  outcome.failure.text = std::move(text);
  outcome.serialNumber = serial;
  outcome.seconds = 47.6;
  return outcome;
}

// What the tile shows after each event, from a slot just started.
TEST(SlotMachineTest, TheTileFollowsTheCardsThroughTheirStates) {
  using Event = std::function<void(SlotMachine&)>;
  const SteadyTime t0{};
  const Event started = [](SlotMachine& m) { m.Started(); };
  const Event waiting = [](SlotMachine& m) { m.WaitingForCard(); };
  const Event answered = [t0](SlotMachine& m) { m.CardAnswered(t0); };
  const auto stage = [](Stage s) { return Event([s](SlotMachine& m) { m.StageBegins(s); }); };
  const auto progress = [](Stage s, double done) {
    return Event([s, done](SlotMachine& m) { m.Progress(s, done, 200); });
  };
  const auto ended = [](RunOutcome o) { return Event([o](SlotMachine& m) { m.CardEnded(o); }); };
  struct Case {
    const char* name;
    std::vector<Event> events;
    std::string state, note, failure;
  };
  const std::vector<Case> cases = {
      {"started", {started}, "Waiting for card", "", ""},
      {"fixture: the probe finds the card",
       {started, waiting, answered, stage(Stage::Monitor), progress(Stage::Monitor, 85)},
       "Loading: Monitor 42 %",
       "",
       ""},
      {"operator wiring: the stage begins before Continue",
       {started, waiting, stage(Stage::Bootloader), progress(Stage::Bootloader, 10)},
       "Waiting for card",
       "",
       ""},
      {"operator wiring: Continue",
       {started, waiting, stage(Stage::Bootloader), answered},
       "Loading: Bootloader 0 %",
       "",
       ""},
      {"progress of another stage is not shown",
       {started, answered, stage(Stage::Monitor), progress(Stage::Bootloader, 100)},
       "Loading: Monitor 0 %",
       "",
       ""},
      {"loaded", {started, answered, ended(Outcome(RunEnd::Loaded))}, "PASS", "", ""},
      {"the result stays while the next card is awaited",
       {started, answered, ended(Outcome(RunEnd::Loaded)), waiting, stage(Stage::Bootloader)},
       "PASS",
       "",
       ""},
      {"and gives way when it answers",
       {started, answered, ended(Outcome(RunEnd::Loaded)), waiting, answered},
       "Loading",
       "",
       ""},
      {"failed, with its stage and the message on one line",
       {started, answered,
        ended(Outcome(RunEnd::Failed, Stage::Monitor, "Failed to get\r\nerase acknowledge\r\n"))},
       "FAIL",
       "",
       "Monitor: Failed to get erase acknowledge"},
      {"refused before the card was touched",
       {started, answered, ended(Outcome(RunEnd::Refused, Stage::None, "No data to send"))},
       "FAIL",
       "",
       "No data to send"},
      {"stopped while loading",
       {started, answered, stage(Stage::Application),
        ended(Outcome(RunEnd::Cancelled, Stage::Application))},
       "Stopped",
       "Stopped in Application",
       ""},
      {"stopped while the next card was awaited: the result stays",
       {started, answered, ended(Outcome(RunEnd::Loaded)), waiting,
        [](SlotMachine& m) { m.Ended(); }},
       "PASS",
       "Stopped",
       ""},
      {"the port failed",
       {started, [](SlotMachine& m) { m.SlotFailed("Cannot open /dev/x"); }},
       "FAIL",
       "",
       "Cannot open /dev/x"},
      {"started again after the port failed",
       {started, [](SlotMachine& m) { m.SlotFailed("Cannot open /dev/x"); }, started},
       "Waiting for card",
       "",
       ""},
      {"started again after a card failed: the result stays",
       {started, answered, ended(Outcome(RunEnd::Failed, Stage::Bootloader, "x")),
        [](SlotMachine& m) { m.Ended(); }, started},
       "FAIL",
       "",
       "Bootloader: x"},
  };
  for (const Case& c : cases) {
    SlotMachine machine;
    for (const Event& event : c.events) event(machine);
    EXPECT_EQ(StateText(machine.status()), c.state) << c.name;
    EXPECT_EQ(machine.status().note, c.note) << c.name;
    EXPECT_EQ(FailureText(machine.status()), c.failure) << c.name;
  }
}

TEST(SlotMachineTest, NumbersAndTimesAsTheTileShowsThem) {
  SlotMachine machine;
  const SteadyTime t0{};
  machine.Started();
  machine.CardAnswered(t0);
  EXPECT_EQ(ElapsedText(machine.status(), t0 + std::chrono::seconds(75)), "1:15");
  RunOutcome outcome = Outcome(RunEnd::Loaded, Stage::None, "", 1001);
  outcome.ethernetNumber = 0x3E9;
  outcome.seconds = 3723.9;
  machine.CardEnded(outcome);
  EXPECT_EQ(NumbersText(machine.status()), "Serial 1001\nEthernet 02:00:00:00:03:E9");
  // The card's own time once it ended, whenever the tile is shown.
  EXPECT_EQ(ElapsedText(machine.status(), t0 + std::chrono::hours(9)), "1:02:03");
  EXPECT_EQ(ElapsedText(SlotStatus(), t0), "");
}

TEST(ShiftTest, CountsYieldRateAndFailures) {
  const WallTime start{};
  const auto card = [](RunEnd end, std::optional<uint32_t> serial) {
    return CardEnd{1, "/dev/ttyUSB0", {}, Outcome(end, Stage::Monitor, "no ack", serial)};
  };
  struct Case {
    const char* name;
    std::vector<CardEnd> cards;
    std::string line;  // after half an hour
    std::size_t failures;
  };
  const std::vector<Case> cases = {
      {"no card yet", {}, "Loaded 0, failed 0, first-pass yield - %, 0 cards/hour", 0},
      {"three loaded, one failed",
       {card(RunEnd::Loaded, 1), card(RunEnd::Loaded, 2), card(RunEnd::Failed, 3),
        card(RunEnd::Loaded, 4)},
       "Loaded 3, failed 1, first-pass yield 75 %, 8 cards/hour",
       1},
      {"a card loaded again under its number is no first pass",
       {card(RunEnd::Failed, 7), card(RunEnd::Loaded, 7), card(RunEnd::Loaded, 8)},
       "Loaded 2, failed 1, first-pass yield 50 %, 6 cards/hour",
       1},
      {"cards that failed before they had a number each count",
       {card(RunEnd::Failed, std::nullopt), card(RunEnd::Failed, std::nullopt),
        card(RunEnd::Refused, std::nullopt), card(RunEnd::Loaded, 9)},
       "Loaded 1, failed 3, first-pass yield 25 %, 8 cards/hour",
       3},
      {"a stopped card is not counted",
       {card(RunEnd::Cancelled, 5), card(RunEnd::Loaded, 5)},
       "Loaded 1, failed 0, first-pass yield 100 %, 2 cards/hour",
       0},
  };
  for (const Case& c : cases) {
    Shift shift(start);
    for (const CardEnd& e : c.cards) shift.Add(e);
    EXPECT_EQ(shift.Line(start + std::chrono::minutes(30)), c.line) << c.name;
    EXPECT_EQ(shift.failures().size(), c.failures) << c.name;
  }
  Shift shift(start);
  shift.Add(card(RunEnd::Failed, 1));
  shift.Add(card(RunEnd::Loaded, 2));
  EXPECT_EQ(shift.CardsPerHour(start + std::chrono::seconds(5)), 120);  // over a minute at least
  shift.Restart(start + std::chrono::hours(8));
  EXPECT_EQ(shift.Line(start + std::chrono::hours(9)),
            "Loaded 0, failed 0, first-pass yield - %, 0 cards/hour");
  EXPECT_TRUE(shift.failures().empty());
}

}  // namespace
}  // namespace ostra::station
