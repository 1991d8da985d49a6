// ostra-load end to end: the program itself, run as a technician runs it, against the
// card simulator on a pseudo-terminal served from this process.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <QDeadlineTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <sstream>

#include "cardsim/CardSim.h"
#include "support/QtEnvironment.h"
#include "support/RecordLines.h"

namespace ostra::testing {
namespace {

using ::testing::HasSubstr;
namespace fs = std::filesystem;

const auto* const kQt = ::testing::AddGlobalTestEnvironment(new QtEnvironment);
const std::string kHardware = OSTRA_SOURCE_DIR "/demo/hardware";
const std::string kApplication = OSTRA_SOURCE_DIR "/demo/small.sr";

struct Finished {
  int status = -1;
  std::string out;
  std::string err;
};

class LoadProgramTest : public ::testing::Test {
 protected:
  void StartCard(cardsim::Role role, cardsim::Fault fault = {}, bool wireTiming = false) {
    cardsim::SimOptions options;
    options.powerOnRole = role;
    options.fault = fault;
    options.wireTiming = wireTiming;
    sim = std::make_unique<cardsim::Simulator>(options);
    sim->Start();
  }

  void Start(QStringList args) {
    Prepare(std::move(args));
    process.start();
    ASSERT_TRUE(process.waitForStarted(10000));
  }

  // The program, its arguments and its environment, not started yet.
  void Prepare(QStringList args) {
    if (sim) args << "--port" << QString::fromStdString(sim->DevicePath());
    process.setProgram(OSTRA_LOAD_PROGRAM);
    process.setArguments(args << "--hardware" << QString::fromStdString(kHardware) << "--yes");
    process.setStandardInputFile(QProcess::nullDevice());
    // The default card records go to this test's folder, never the user's own.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_DATA_HOME", QString::fromStdString(data.string()));
    process.setProcessEnvironment(environment);
  }

  Finished Wait(int ms = 60000) {
    EXPECT_TRUE(process.waitForFinished(ms)) << "still running after " << ms << " ms";
    return {process.exitCode(), process.readAllStandardOutput().toStdString(),
            process.readAllStandardError().toStdString()};
  }

  Finished Load(const QStringList& args) {
    Start(args);
    return Wait();
  }

  fs::path temp = fs::temp_directory_path() / ("ostra-load-test-" + std::to_string(getpid()));
  std::unique_ptr<cardsim::Simulator> sim;
  QProcess process;

  fs::path data = temp.string() + "-data";  // the user's data folder of the program run

  void SetUp() override { fs::create_directories(temp); }
  void TearDown() override {
    fs::remove_all(temp);
    fs::remove_all(data);
  }
};

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string text;
  for (const uint8_t b : bytes) {
    static const char* const kDigits = "0123456789ABCDEF";
    text += kDigits[b >> 4];
    text += kDigits[b & 15];
  }
  return text;
}

TEST_F(LoadProgramTest, EveryProcedureLoadsItsCard) {
  struct Case {
    const char* name;
    cardsim::Role role;
    QStringList args;
    std::function<void(const cardsim::Record&)> check;
  };
  const std::vector<Case> cases = {
      {"card type with serial and Ethernet numbers",
       cardsim::Role::BootRom,
       {"--type", "7eth", "--app", kApplication.c_str(), "--serial", "&H3E9", "--nic",
        "02:00:00:00:07:D1"},
       [](const cardsim::Record& r) {
         EXPECT_EQ(Hex({r.identityA.begin(), r.identityA.end()}), "000003E9");
         EXPECT_EQ(Hex({r.identityB.begin(), r.identityB.end()}), "0200000007D1");
         EXPECT_EQ(r.doneCount, 1);
       }},
      {"None with an application",
       cardsim::Role::Monitor,
       {"--type", "None", "--app", kApplication.c_str()},
       [](const cardsim::Record& r) {
         EXPECT_GT(r.applicationLines, 0);
         EXPECT_EQ(r.doneCount, 1);
       }},
      {"Firmware 5830",
       cardsim::Role::Firmware,
       {"--type", "Firmware 5830", "--app", kApplication.c_str()},
       [](const cardsim::Record& r) {
         EXPECT_EQ(r.statusPackets, 1);
         EXPECT_EQ(r.doneCount, 1);
       }},
      {"Firmware 5846",
       cardsim::Role::Firmware,
       {"--type", "firmware 5846", "--app", kApplication.c_str()},
       [](const cardsim::Record& r) {
         EXPECT_EQ(r.firmwareRequests, 1);
         EXPECT_EQ(r.doneCount, 1);
       }},
      {"module ends after its monitor stage",
       cardsim::Role::BootRom,
       {"--type", "ovmod", "--app", kApplication.c_str()},
       [](const cardsim::Record& r) {
         EXPECT_TRUE(r.checksumOk);
         EXPECT_EQ(r.lines, 0);
       }},
      {"card type without an application",
       cardsim::Role::BootRom,
       {"--type", "cpu1"},
       [](const cardsim::Record& r) { EXPECT_EQ(r.lines, 0); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StartCard(c.role);
    const Finished run = Load(c.args);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_THAT(run.err, HasSubstr("1 of 1 cards loaded"));
    c.check(sim->GetRecord());
  }
}

TEST_F(LoadProgramTest, UploadWritesEveryByteValueBackToTheFile) {
  StartCard(cardsim::Role::BootRom);
  std::vector<uint8_t> bytes(0x300);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
  sim->SetFlash(0x20000, bytes);
  const fs::path output = temp / "card.mon";
  const Finished run = Load({"--type", "Upload", "--upload-start", "0x20000", "--upload-size",
                             "&H300", "--output", QString::fromStdString(output.string())});
  ASSERT_EQ(run.status, 0) << run.err;
  // S1 lines: count of data bytes, 16-bit address, data.
  std::ifstream in(output);
  std::string line;
  std::vector<uint8_t> read;
  while (std::getline(in, line)) {
    if (line.rfind("S1", 0) != 0) continue;
    const int n = std::stoi(line.substr(2, 2), nullptr, 16);
    for (int i = 0; i < n; ++i) read.push_back(std::stoi(line.substr(8 + 2 * i, 2), nullptr, 16));
  }
  EXPECT_EQ(Hex(read), Hex(bytes));
}

TEST_F(LoadProgramTest, CardsInARowCountTheirNumbersUp) {
  StartCard(cardsim::Role::BootRom);
  const fs::path log = temp / "batch.log";
  std::ofstream(log) << "the earlier batch\n";
  const Finished run =
      Load({"--type", "7eth", "--app", kApplication.c_str(), "--serial", "1001", "--nic", "0x7D1",
            "--cards", "3", "--json", "--log", QString::fromStdString(log.string())});
  EXPECT_EQ(run.status, 0) << run.err;
  for (const char* result :
       {"\"card\":1,\"ok\":true,\"interrupted\":false,\"stage\":null,"
        "\"message\":null,\"serial\":1001,\"ethernet\":\"02:00:00:00:07:D1\"",
        "\"card\":3,\"ok\":true,\"interrupted\":false,\"stage\":null,"
        "\"message\":null,\"serial\":1003,\"ethernet\":\"02:00:00:00:07:D3\""}) {
    EXPECT_THAT(run.out, HasSubstr(result));
  }
  std::stringstream logged;
  logged << std::ifstream(log).rdbuf();
  EXPECT_THAT(logged.str(), HasSubstr(" #=0 0 3 EB\n"));  // the lines with their times
  EXPECT_EQ(std::distance(fs::directory_iterator(temp), fs::directory_iterator()), 1);
  const cardsim::Record card = sim->GetRecord();
  EXPECT_EQ(card.cards, 3);
  EXPECT_EQ(Hex({card.identityA.begin(), card.identityA.end()}), "000003EB");
}

TEST_F(LoadProgramTest, SeveralPortsLoadAtOnceAndAFailingOneStopsNoOther) {
  cardsim::Fault silent;  // the second port's card fails
  silent.silentAt = cardsim::Step::Checksum;
  std::vector<std::unique_ptr<cardsim::Simulator>> cards;
  // Each port takes its own serial number from the one card-records file.
  QStringList args = {"--type", "cpu1", "--json", "--record",
                      QString::fromStdString((temp / "records.sqlite").string())};
  for (const cardsim::Fault& fault : {cardsim::Fault{}, silent, cardsim::Fault{}}) {
    cardsim::SimOptions options;
    options.fault = fault;
    cards.push_back(std::make_unique<cardsim::Simulator>(options));
    cards.back()->Start();
    args << "--port" << QString::fromStdString(cards.back()->DevicePath());
  }
  const Finished run = Load(args);
  EXPECT_EQ(run.status, 1);
  std::set<std::string> serials;
  for (std::size_t i = 0; i < cards.size(); ++i) {
    const std::string port = "\"port\":\"" + cards[i]->DevicePath() + "\",\"card\":1,\"ok\":";
    EXPECT_THAT(run.out, HasSubstr(port + (i == 1 ? "false" : "true")));
    const cardsim::Record card = cards[i]->GetRecord();
    serials.insert(Hex({card.identityA.begin(), card.identityA.end()}));
  }
  EXPECT_EQ(serials, (std::set<std::string>{"00000001", "00000002", "00000003"}));
  EXPECT_THAT(run.out, HasSubstr("\"event\":\"summary\""));
}

TEST_F(LoadProgramTest, CardRecordsGiveEachNumberOnce) {
  StartCard(cardsim::Role::BootRom);
  const QString store = QString::fromStdString((temp / "records.sqlite").string());
  const QStringList card = {"--type", "7eth", "--app", kApplication.c_str(), "--record", store};
  Finished run = Load(QStringList(card) << "--cards"
                                        << "2"
                                        << "--json");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("\"serial\":1,\"ethernet\":\"02:00:00:00:00:01\""));
  EXPECT_THAT(run.out, HasSubstr("\"serial\":2,\"ethernet\":\"02:00:00:00:00:02\""));
  // A number another card has is refused before anything is sent, unless it is reused.
  run = Load(QStringList(card) << "--serial"
                               << "2");
  EXPECT_EQ(run.status, 2);
  EXPECT_THAT(run.err, HasSubstr("Serial number 2 was given already to the card loaded "));
  run = Load(QStringList(card) << "--serial"
                               << "2"
                               << "--reuse");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("NIC=020000000003"));
  run = Load({"--records", "--record", store, "--serial", "2", "--csv"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 3) << run.out;  // head, 2 cards
  // A store that cannot be reached stops the run before the card is touched.
  run = Load({"--type", "cpu1", "--record", "postgresql://nobody@/none?host=/nonexistent"});
  EXPECT_EQ(run.status, 4);
  EXPECT_THAT(run.err, HasSubstr("Cannot reach the card records at"));
}

TEST_F(LoadProgramTest, EachKindOfFailureHasItsExitStatus) {
  const std::string unreadable = (temp / "missing.sr").string();
  struct Case {
    QStringList args;
    int status;
    std::string said;  // on standard output (JSON) or standard error
  };
  const std::vector<Case> cases = {
      {{"--type", "cpu1", "--json"},
       1,
       R"("stage":"Monitor","message":"Failed to get Data Acknowledge")"},
      {{"--type", "Upload", "--upload-size", "64", "--output", (temp / "up.mon").c_str(), "--json"},
       1,  // the window only warns; a card that sent wrong data has not been read
       R"("stage":"Upload","message":"Checksum mismatch)"},
      {{"--type", "nosuch"}, 2, "Unknown hardware type 'nosuch'"},
      {{"--type", "cpu1", "--serial", "12x"}, 2, "'12x' is not a number"},
      {{"--type", "cpu1", "--app", unreadable.c_str()}, 2, unreadable},
      {{"--type", "cpu1", "--bogus"}, 2, "unknown option '--bogus'"},
  };
  cardsim::Fault fault;
  fault.silentAt = cardsim::Step::Block;
  fault.index = 3;
  fault.wrongUploadChecksum = true;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.said);
    StartCard(cardsim::Role::BootRom, fault);
    const Finished run = Load(c.args);
    EXPECT_EQ(run.status, c.status);
    EXPECT_THAT(run.out + run.err, HasSubstr(c.said));
    if (c.status == 2) {
      EXPECT_EQ(sim->GetRecord().bytesIn, 0u);
    }
  }
  sim.reset();
  const Finished noPort = Load({"--type", "cpu1", "--port", "/nonexistent/ttyOSTRA"});
  EXPECT_EQ(noPort.status, 3);
  EXPECT_THAT(noPort.err, HasSubstr("/nonexistent/ttyOSTRA"));
}

TEST_F(LoadProgramTest, InterruptEndsTheUploadAndLeavesTheOldFile) {
  StartCard(cardsim::Role::BootRom, {}, /*wireTiming=*/true);
  const fs::path output = temp / "Upload.mon";
  std::ofstream(output) << "the earlier upload\n";
  Start({"--type", "Upload", "--upload-size", "0x8000", "--output",
         QString::fromStdString(output.string()), "--json"});
  // The upload's packets are under way once the card has acknowledged the request.
  std::string seen;
  const QDeadlineTimer deadline(60000);
  while (seen.find("Uploading Data") == std::string::npos && !deadline.hasExpired() &&
         process.waitForReadyRead(static_cast<int>(deadline.remainingTime()))) {
    seen += process.readAllStandardOutput().toStdString();
  }
  ASSERT_THAT(seen, HasSubstr("Uploading Data"));
  ::kill(static_cast<pid_t>(process.processId()), SIGINT);

  const Finished run = Wait(3000);  // a second for the exchange, the rest for the exit
  EXPECT_EQ(run.status, 130);
  EXPECT_THAT(seen + run.out, HasSubstr("Interrupted in the Upload stage."));
  std::ifstream in(output);
  std::stringstream kept;
  kept << in.rdbuf();
  EXPECT_EQ(kept.str(), "the earlier upload\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(temp), fs::directory_iterator()), 1);
}

TEST_F(LoadProgramTest, AReaderThatGoesAwayEndsTheRunAsSigtermDoes) {
  // ostra-load ... | head: the reader leaves after three lines, mid-card. The port is put
  // back and the card recorded as interrupted by SIGPIPE, not killed with its record left
  // unfinished.
  const QString store = QString::fromStdString((temp / "records.sqlite").string());
  StartCard(cardsim::Role::BootRom, {}, /*wireTiming=*/true);
  Prepare({"--type", "cpu1", "--record", store, "--json"});
  QStringList args = process.arguments();
  args.prepend(OSTRA_LOAD_PROGRAM);
  args.prepend(R"(set -o pipefail; "$0" "$@" | head -n 3 >/dev/null)");
  args.prepend("-c");
  process.setProgram("bash");
  process.setArguments(args);
  process.start();
  const Finished run = Wait(20000);
  EXPECT_EQ(run.status, 130) << run.err;  // ostra-load's own status, through pipefail

  const Finished records = Load({"--records", "--csv", "--record", store});
  EXPECT_EQ(records.status, 0) << records.err;
  EXPECT_THAT(records.out, HasSubstr(",interrupted,"));
  EXPECT_THAT(records.out, HasSubstr("SIGPIPE"));
}

TEST_F(LoadProgramTest, AStoreThatDoesNotAnswerHoldsNobody) {
  const fs::path file = temp / "records.sqlite";
  const QString store = QString::fromStdString(file.string());
  StartCard(cardsim::Role::BootRom);
  ASSERT_EQ(Load({"--type", "cpu1", "--record", store}).status, 0);
  {
    // Another program holds the store's lock and keeps it: SIGTERM still ends the run.
    QSqlDatabase holder = QSqlDatabase::addDatabase("QSQLITE", "holder");
    holder.setDatabaseName(store);
    ASSERT_TRUE(holder.open());
    QSqlQuery lock(holder);
    ASSERT_TRUE(lock.exec("BEGIN EXCLUSIVE"));
    const uint64_t bytesBefore = sim->GetRecord().bytesIn;
    Start({"--type", "cpu1", "--record", store, "--json"});
    process.waitForReadyRead(500);  // it waits for the lock now, before the card
    ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
    EXPECT_TRUE(process.waitForFinished(1000)) << "still running 1 s after SIGTERM";
    EXPECT_EQ(process.exitCode(), 130);
    EXPECT_EQ(sim->GetRecord().bytesIn, bytesBefore);  // the second card was never touched
    lock.exec("ROLLBACK");
    holder.close();
  }
  QSqlDatabase::removeDatabase("holder");

  // The store removed: refused, numbers do not start again at 1, until a new one is asked for.
  fs::remove(file);
  Finished run = Load({"--type", "cpu1", "--record", store});
  EXPECT_EQ(run.status, 4);
  EXPECT_THAT(run.err, HasSubstr("are missing; they held serial numbers up to 1"));
  EXPECT_THAT(run.err, HasSubstr("--new-store"));
  sim->PowerOn();
  run = Load({"--type", "cpu1", "--record", store, "--new-store", "--json"});
  EXPECT_EQ(run.status, 0) << run.err;
}

TEST_F(LoadProgramTest, AWarningTheRunGoesPastLeavesTheCardLoaded) {
  // An S5 record: the memory information is not generated (the technician is told), the
  // file is sent as it is, and the card confirms it.
  const fs::path app = temp / "s5.sr";
  std::ofstream(app) << Record('1', 0x1000, std::vector<uint8_t>(16, 0x5A)) << "\r\n"
                     << Record('5', 0x0001, {}) << "\r\n"
                     << Record('9', 0x1000, {}) << "\r\n";
  StartCard(cardsim::Role::Firmware);
  const QString store = QString::fromStdString((temp / "records.sqlite").string());
  const Finished run =
      Load({"--type", "Firmware 5830", "--app", QString::fromStdString(app.string()),
            "--memory-info", "yes", "--json", "--record", store});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr(R"("ok":true,"interrupted":false,"stage":null,"message":null)"));
  EXPECT_THAT(
      run.out,
      HasSubstr(
          R"("end":"loaded","kind":null,"warnings":[{"kind":"file_record_refused","text":"Not an S record File,"}])"));
  EXPECT_EQ(sim->GetRecord().doneCount, 1);
  // The card's record says the same: loaded, with the warning.
  const Finished listed = Load({"--records", "--record", store, "--csv"});
  EXPECT_THAT(listed.out, HasSubstr(",loaded,"));
  EXPECT_THAT(listed.out, HasSubstr("file_record_refused"));
}

TEST_F(LoadProgramTest, VerifyReadsBackWhatWasProgrammedAndIdentifyKnowsTheCard) {
  const QString store = QString::fromStdString((temp / "records.sqlite").string());
  cardsim::Fault stuck;
  stuck.stuckBytes = {{0x7FC6, 0x00}};  // the serial number's third byte always reads 00
  struct Case {
    const char* name;
    cardsim::Fault fault;
    QStringList args;
    int status;
    std::vector<std::string> said;
  };
  const std::vector<Case> cases = {
      {"a card type with its application",
       {},
       {"--type", "7eth", "--app", kApplication.c_str(), "--serial", "4660"},
       0,
       {R"("verify":{"ok":true,"bytes":32727,"differences":0,"first_difference":null})",
        "Verified 32727 bytes"}},
      {"a stuck flash cell",
       stuck,
       {"--type", "7eth", "--app", kApplication.c_str(), "--serial", "4661"},
       1,
       {R"x("stage":"Verify","message":"Verify failed at 0x00007FC6: wrote 12, read 00 (1 bytes differ)")x",
        R"("kind":"verify_mismatch")", R"("first_difference":"0x00007FC6")"}},
      {"a module", {}, {"--type", "ovmod"}, 0, {R"("verify":{"ok":true)"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StartCard(cardsim::Role::BootRom, c.fault);
    const Finished run = Load(QStringList(c.args) << "--verify"
                                                  << "--json"
                                                  << "--record" << store << "--output"
                                                  << QString::fromStdString((temp / "x").string()));
    EXPECT_EQ(run.status, c.status) << run.err;
    for (const std::string& said : c.said) EXPECT_THAT(run.out, HasSubstr(said));
  }
  EXPECT_TRUE(fs::exists(temp / "verify-4661.mon"));  // what was read, kept beside --output
  const Finished failed = Load({"--records", "--record", store, "--serial", "4661", "--csv"});
  EXPECT_THAT(failed.out, HasSubstr(",failed,"));
  EXPECT_THAT(failed.out, HasSubstr("verify_mismatch"));

  // The card identified: the numbers it carries and its last record.
  StartCard(cardsim::Role::BootRom);
  Load({"--type", "7eth", "--app", kApplication.c_str(), "--serial", "4662", "--nic", "0x123456",
        "--record", store});
  sim->PowerOn();
  Finished run = Load({"--identify", "--json", "--record", store});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr(R"("event":"identity")"));
  EXPECT_THAT(
      run.out,
      HasSubstr(
          R"("serial":4662,"ethernet":"02:00:00:12:34:56","prefix_ok":true,"record":{"type":"7eth")"));

  // Loaded again with its own numbers: the same card programmed again, no number taken.
  sim->PowerOn();
  run = Load({"--type", "7eth", "--app", kApplication.c_str(), "--serial", "keep", "--nic", "keep",
              "--json", "--record", store});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr(R"("serial":4662,"ethernet":"02:00:00:12:34:56")"));
  run = Load({"--records", "--record", store, "--serial", "4662", "--csv"});
  EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 3) << run.out;  // head, 2 cards
  // An erased card has no identity.
  sim = nullptr;
  StartCard(cardsim::Role::BootRom);
  sim->SetFlash(0x7FC4, std::vector<uint8_t>(18, 0xFF));
  run = Load({"--identify"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("no identity"));
}

}  // namespace
}  // namespace ostra::testing
