// ostra-station itself, started as an operator starts it, on a simulated card.
#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <filesystem>

#include "cardsim/CardSim.h"
#include "records/RecordStore.h"
#include "station/Job.h"
#include "support/ScratchDir.h"

namespace ostra::station {
namespace {

namespace fs = std::filesystem;

TEST(StationProgramTest, SigtermStopsTheSlotsAndRecordsTheCardInProgress) {
  const testing::ScratchDir dir;
  cardsim::SimOptions options;
  options.wireTiming = true;  // a card takes long enough to be stopped in the middle
  cardsim::Simulator card(options);
  card.Start();
  Job job;
  job.hardwareDirectory = OSTRA_DEMO_DIR "/hardware";
  job.hardwareType = "cpu1";
  job.devices = {card.DevicePath()};
  SaveJob(job, dir.path() / "job.json");

  const QString store = QString::fromStdString(dir.PathOf("records.sqlite"));
  QProcess station;
  station.setProgram(OSTRA_STATION_PROGRAM);
  station.setArguments(
      {"--job", QString::fromStdString(dir.PathOf("job.json")), "--start", "--record", store});
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("QT_QPA_PLATFORM", "offscreen");
  station.setProcessEnvironment(environment);
  station.start();
  ASSERT_TRUE(station.waitForStarted(10000));
  // Stopped once the monitor is being programmed.
  QDeadlineTimer deadline(60000);
  while (card.GetRecord().role != "bootloader" && !deadline.hasExpired()) {
    ASSERT_FALSE(station.waitForFinished(20)) << station.readAllStandardError().toStdString();
  }
  ASSERT_EQ(card.GetRecord().role, "bootloader");
  station.terminate();  // SIGTERM
  ASSERT_TRUE(station.waitForFinished(5000));
  EXPECT_EQ(station.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(station.exitCode(), 0);

  const auto records = records::RecordStore::Open(store);
  const std::vector<records::CardRecord> cards = records->Find();
  ASSERT_EQ(cards.size(), 1u);
  EXPECT_FALSE(cards[0].outcome.isEmpty());  // ended, not left unfinished
  EXPECT_NE(cards[0].outcome, "loaded");
}

}  // namespace
}  // namespace ostra::station
