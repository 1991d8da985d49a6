// The job file: what it holds and how a bad one is refused, the digests it is saved
// with, and the checks that keep a job from starting.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "station/Job.h"
#include "support/ScratchDir.h"

namespace ostra::station {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

TEST(JobFileTest, WrittenJobsReadBackAndBadOnesSayWhy) {
  Job job;
  job.hardwareDirectory = "hardware";
  job.hardwareType = "7eth";
  job.applicationFile = "../app.sr";
  job.memoryInformation = true;
  job.verify = true;
  job.wiring = Wiring::Operator;
  job.numbers = NumberSource::Scanned;
  job.devices = {"/dev/ttyUSB0", "/dev/serial/by-id/usb-FTDI-if00"};
  job.sha256["7eth.mon"] = std::string(64, 'a');
  const JobRead read = ParseJob(JobJson(job));
  ASSERT_EQ(read.fault, JobFault::None) << read.error;
  EXPECT_EQ(read.job, job);

  struct Case {
    const char* json;
    JobFault fault;
    const char* error;
  };
  const std::vector<Case> cases = {
      {"{\"hardwareType\": \"cpu1\"", JobFault::NotJson, "not JSON"},
      {"[1, 2]", JobFault::NotJson, "not a JSON object"},
      {"{\"wiring\": \"robot\"}", JobFault::BadField, "\"operator\" or \"fixture\""},
      {"{\"numbers\": 3}", JobFault::BadField, "\"records\" or \"scanned\""},
      {"{\"slots\": \"/dev/ttyS0\"}", JobFault::BadField, "list of serial devices"},
      {"{\"slots\": [\"/dev/ttyS0\", 4]}", JobFault::BadField, "list of serial devices"},
      {"{\"verify\": \"yes\"}", JobFault::BadField, "'verify' has the wrong type"},
      {"{\"sha256\": {\"cpu1.mon\": \"ABC\"}}", JobFault::BadField, "64 lower-case hex"},
      {"{\"wirng\": \"fixture\"}", JobFault::BadField, "unknown field 'wirng'"},
  };
  for (const Case& c : cases) {
    const JobRead bad = ParseJob(c.json);
    EXPECT_EQ(bad.fault, c.fault) << c.json;
    EXPECT_THAT(bad.error, HasSubstr(c.error)) << c.json;
  }
}

class JobCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir.path() / "hw");
    for (const char* name : {"cpu1.sub", "cpu1.mon", "Upload.sub"}) {
      fs::copy_file(fs::path(OSTRA_DEMO_DIR) / "hardware" / name, dir.path() / "hw" / name);
    }
    fs::copy_file(fs::path(OSTRA_DEMO_DIR) / "small.sr", dir.path() / "app.sr");
    job.hardwareDirectory = "hw";  // relative: from the job file's folder
    job.hardwareType = "CPU1";
    job.applicationFile = "app.sr";
    job.devices = {"/dev/ttyUSB0", "/dev/ttyUSB1"};
    SaveJob(job, file);
  }
  void Append(const std::string& name, const std::string& bytes) {
    std::ofstream(dir.path() / name, std::ios::app | std::ios::binary) << bytes;
  }

  testing::ScratchDir dir;
  fs::path file = dir.path() / "line3.json";
  Job job;
};

TEST_F(JobCheckTest, ASavedJobKeepsItsFilesDigestsAndStarts) {
  const JobRead read = ReadJobFile(file);
  ASSERT_EQ(read.fault, JobFault::None) << read.error;
  EXPECT_FALSE(read.readOnly);
  EXPECT_EQ(read.job.sha256.size(), 3u);
  EXPECT_EQ(read.job.sha256.at("cpu1.mon"), FileDigest(dir.path() / "hw" / "cpu1.mon"));
  const JobCheck check = CheckJob(read.job, dir.path(), true);
  EXPECT_TRUE(check.Ok()) << check.text;
  EXPECT_EQ(check.type, "cpu1");  // as the type list spells it
  EXPECT_TRUE(check.unchecked.empty());

  const DownloadRequest request = RequestOf(read.job, dir.path(), check.type, true);
  EXPECT_EQ(fs::path(request.hardwareDirectory), dir.path() / "hw");
  EXPECT_EQ(fs::path(request.applicationFile), dir.path() / "app.sr");
  EXPECT_EQ(request.serial.from, NumberChoice::From::NextFree);
  EXPECT_EQ(request.ethernet.from, NumberChoice::From::NextFree);
  Job scanned = read.job;
  scanned.numbers = NumberSource::Scanned;
  EXPECT_EQ(RequestOf(scanned, dir.path(), "cpu1", false).serial.from, NumberChoice::From::Ask);
  EXPECT_EQ(RequestOf(scanned, dir.path(), "cpu1", false).ethernet.from, NumberChoice::From::Ask);
}

TEST_F(JobCheckTest, WhatKeepsAJobFromStarting) {
  struct Case {
    const char* name;
    std::function<void(Job&)> change;
    bool recording;
    JobProblem problem;
    std::string text;
  };
  const auto devices = [](std::vector<std::string> d) { return [d](Job& j) { j.devices = d; }; };
  const std::vector<Case> cases = {
      {"no slot", devices({}), true, JobProblem::NoSlots, "The job has no slots"},
      {"a slot without device", devices({"/dev/ttyUSB0", ""}), true, JobProblem::NoSlots,
       "Slot 2 has no device"},
      {"nine slots", devices(std::vector<std::string>(9, "x")), true, JobProblem::TooManySlots,
       "The job has 9 slots; a station has at most 8"},
      {"one device twice", devices({"/dev/ttyUSB0", "/dev/ttyUSB0"}), true, JobProblem::SlotTwice,
       "Two slots use /dev/ttyUSB0"},
      {"no type", [](Job& j) { j.hardwareType.clear(); }, true, JobProblem::Incomplete,
       "The job names no hardware directory and type"},
      {"a type the directory lacks", [](Job& j) { j.hardwareType = "7eth"; }, true,
       JobProblem::UnknownType, "There is no hardware type 7eth in "},
      {"upload", [](Job& j) { j.hardwareType = "Upload"; }, true, JobProblem::NotForStation,
       "Upload reads a card back; the station loads cards"},
      {"a fixture with a running card", [](Job& j) { j.hardwareType = "None"; }, true,
       JobProblem::FixtureNeedsBoot, "A fixture finds each card by its boot ROM"},
      {"the application gone", [](Job& j) { j.applicationFile = "gone.sr"; }, true,
       JobProblem::FileMissing, "gone.sr is missing"},
      {"numbers without records", [](Job&) {}, false, JobProblem::NumbersNeedRecords,
       "The job takes its numbers from the card records, and none are kept"},
  };
  for (const Case& c : cases) {
    Job changed = job;
    c.change(changed);
    const JobCheck check = CheckJob(changed, dir.path(), c.recording);
    EXPECT_EQ(check.problem, c.problem) << c.name;
    EXPECT_THAT(check.text, HasSubstr(c.text)) << c.name;
  }
  Job byOperator = job;
  byOperator.hardwareType = "None";
  byOperator.wiring = Wiring::Operator;
  EXPECT_TRUE(CheckJob(byOperator, dir.path(), true).Ok());
}

TEST_F(JobCheckTest, AFileChangedSinceTheJobWasSavedIsRefusedUntilItIsSavedAgain) {
  for (const char* name : {"hw/cpu1.mon", "app.sr"}) {
    Append(name, "S9030000FC\r\n");
    const JobCheck check = CheckJob(job, dir.path(), true);
    EXPECT_EQ(check.problem, JobProblem::FileChanged) << name;
    EXPECT_EQ(check.text,
              fs::path(name).filename().string() + " has changed since the job was saved");
    SaveJob(job, file);
    EXPECT_TRUE(CheckJob(ReadJobFile(file).job, dir.path(), true).Ok()) << name;
  }
  // A job written by hand, without digests, starts; its files are named as unchecked.
  Job byHand = job;
  byHand.sha256.clear();
  EXPECT_EQ(CheckJob(byHand, dir.path(), true).unchecked,
            (std::vector<std::string>{"cpu1.sub", "cpu1.mon", "app.sr"}));
}

TEST_F(JobCheckTest, AJobFileThatCannotBeWrittenIsReadOnly) {
  fs::permissions(file, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  EXPECT_TRUE(ReadJobFile(file).readOnly);
  const JobRead missing = ReadJobFile(dir.path() / "none.json");
  EXPECT_EQ(missing.fault, JobFault::Unreadable);
  EXPECT_THAT(missing.error, HasSubstr("no such file"));
}

}  // namespace
}  // namespace ostra::station
