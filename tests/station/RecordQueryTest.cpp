// The Records view's filters: what the engineer types, and the cards the store and the
// filters find together.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QStringList>
#include <set>

#include "station/RecordQuery.h"
#include "support/QtEnvironment.h"
#include "support/ScratchDir.h"

namespace ostra::station {
namespace {

using ::testing::HasSubstr;

const auto* const kQt = ::testing::AddGlobalTestEnvironment(new testing::QtEnvironment);
const QString kPrefix = "020000";

TEST(RecordQueryTest, TypedFiltersAreReadOrRefused) {
  RecordQueryText text;
  text.serial = "1001";
  text.ethernet = "02:00:00:00:07:d1";
  text.type = " 7eth ";
  text.since = "2026-12-07";
  text.until = "2026-12-07";
  text.outcome = OutcomeFilter::Failed;
  const ParsedQuery good = ParseQuery(text, kPrefix);
  ASSERT_EQ(good.error, "");
  EXPECT_EQ(good.query.serial, 1001u);
  EXPECT_EQ(good.query.ethernet, "0200000007D1");
  EXPECT_EQ(good.query.type, "7eth");
  EXPECT_EQ(good.query.since, QDate(2026, 12, 7).startOfDay());
  EXPECT_EQ(good.query.until, QDate(2026, 12, 8).startOfDay());  // the whole day
  text.ethernet = "2001";                                        // the address's number
  EXPECT_EQ(ParseQuery(text, kPrefix).query.ethernet, "0200000007D1");

  struct Case {
    RecordQueryText text;
    const char* error;
  };
  const std::vector<Case> bad = {
      {{"12a", {}, {}, {}, {}, {}}, "Serial number: '12a' is not a number"},
      {{"4294967296", {}, {}, {}, {}, {}}, "Serial number: '4294967296'"},
      {{{}, "xyz", {}, {}, {}, {}}, "Ethernet address: 'xyz' is neither an address"},
      {{{}, "16777216", {}, {}, {}, {}}, "Ethernet address: '16777216'"},
      {{{}, {}, {}, {}, "yesterday", {}}, "Since: 'yesterday' is not a date"},
      {{{}, {}, {}, {}, {}, "12/07/2026"}, "Until: '12/07/2026' is not a date"},
      {{{}, {}, {}, {}, "2026-12-08", "2026-12-06"}, "Until 2026-12-06 is not after since"},
  };
  for (const Case& c : bad) {
    EXPECT_THAT(ParseQuery(c.text, kPrefix).error.toStdString(), HasSubstr(c.error)) << c.error;
  }
}

TEST(RecordQueryTest, TheStoreAndTheFiltersFindTheSameCards) {
  const testing::ScratchDir dir;
  const auto store = records::RecordStore::Open(QString::fromStdString(dir.PathOf("r.sqlite")));
  struct Card {
    const char* type;
    const char* bench;
    std::optional<uint32_t> serial;
    const char* outcome;  // "" unfinished
  };
  const std::vector<Card> cards = {{"cpu1", "bench-a", 1, "loaded"},
                                   {"7eth", "bench-b", 2, "failed"},
                                   {"cpu1", "bench-b", 3, "loaded"},
                                   {"cpu1", "bench-a", std::nullopt, ""}};
  for (const Card& c : cards) {
    const int64_t id = store->BeginCard({"ostra-station", "/dev/ttyUSB0", c.type, "0.1", c.bench});
    if (c.serial) store->ReserveSerial(id, *c.serial, false);
    if (c.serial == 2u) store->ReserveEthernet(id, kPrefix, 7, false);
    if (*c.outcome != '\0') {
      records::CardFinish finish;
      const bool failed = std::string(c.outcome) == "failed";
      finish.end = failed ? records::CardEnd::kFailed : records::CardEnd::kLoaded;
      if (failed) {
        finish.failureMessage = "no ack";
        finish.failureStage = "Monitor";
      }
      store->Finish(id, finish);
    }
  }
  const auto serials = [&](RecordQueryText text) {
    std::set<int> found;
    for (const auto& r : FindRecords(*store, ParseQuery(text, kPrefix).query, 100).cards) {
      found.insert(r.serialNumber ? static_cast<int>(*r.serialNumber) : 0);
    }
    return found;
  };
  const QString tomorrow = QDate::currentDate().addDays(1).toString(Qt::ISODate);
  const QString yesterday = QDate::currentDate().addDays(-1).toString(Qt::ISODate);
  struct Case {
    const char* name;
    RecordQueryText text;
    std::set<int> serials;  // 0: the card without one
  };
  const std::vector<Case> cases = {
      {"everything", {}, {0, 1, 2, 3}},
      {"a type, any case", {{}, {}, "CPU1", {}, {}, {}}, {0, 1, 3}},
      {"a bench", {{}, {}, {}, "bench-b", {}, {}}, {2, 3}},
      {"failed", {{}, {}, {}, {}, {}, {}, OutcomeFilter::Failed}, {2}},
      {"unfinished", {{}, {}, {}, {}, {}, {}, OutcomeFilter::Unfinished}, {0}},
      {"a serial number", {"3", {}, {}, {}, {}, {}}, {3}},
      {"an Ethernet address by its number", {{}, "7", {}, {}, {}, {}}, {2}},
      {"since tomorrow", {{}, {}, {}, {}, tomorrow, {}}, {}},
      {"until yesterday", {{}, {}, {}, {}, {}, yesterday}, {}},
      {"today", {{}, {}, "cpu1", "bench-a", yesterday, tomorrow, OutcomeFilter::Loaded}, {1}},
  };
  for (const Case& c : cases) EXPECT_EQ(serials(c.text), c.serials) << c.name;

  records::CardRecord stopped;
  stopped.outcome = "interrupted";
  RecordQuery query;
  query.outcome = OutcomeFilter::Interrupted;
  EXPECT_TRUE(Matches(stopped, query));
  query.outcome = OutcomeFilter::Failed;
  EXPECT_FALSE(Matches(stopped, query));

  const FoundRecords newest = FindRecords(*store, {}, 2);
  EXPECT_EQ(newest.matching, 4u);
  ASSERT_EQ(newest.cards.size(), 2u);
  EXPECT_FALSE(newest.cards[0].serialNumber);  // the newest first
  const QStringList csv = QString::fromStdString(RecordsCsv(newest.cards)).split('\n');
  ASSERT_EQ(csv.size(), 4);  // the header, two cards, the end of the last line
  EXPECT_TRUE(csv[0].startsWith("id,started_at,"));
}

}  // namespace
}  // namespace ostra::station
