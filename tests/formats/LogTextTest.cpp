#include "formats/LogText.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace ostra {
namespace {

TEST(LogModel, NewestLineFirst) {
  LogModel log;
  log.LogLine("first");
  log.LogLine("second");
  EXPECT_EQ(log.Text(), "second\r\nfirst\r\n");
  log.LogLine("");
  EXPECT_EQ(log.Text(), "\r\nsecond\r\nfirst\r\n");
  log.LogLine("a\r\nb");  // a message of several lines keeps their order
  EXPECT_EQ(log.Text(), "a\r\nb\r\n\r\nsecond\r\nfirst\r\n");
  EXPECT_EQ(log.Size(), log.Text().size());
  EXPECT_EQ(log.FirstChar(), 'a');
}

TEST(LogModel, TopOfLogOperations) {
  LogModel log;
  EXPECT_EQ(log.FirstChar(), '\0');
  log.DropFirstChar();
  log.DropTopLine();
  EXPECT_EQ(log.Text(), "");

  log.PutAtTop("no line end");
  log.DropTopLine();  // no CR: nothing is lost
  EXPECT_EQ(log.Text(), "no line end");
  log.Clear();

  log.LogLine("old");
  log.PutAtTop("Data at 1000");
  EXPECT_EQ(log.Text(), "Data at 1000old\r\n");
  log.DropTopLine();  // everything before the first CR; the CR LF stays
  EXPECT_EQ(log.Text(), "\r\n");
  log.PutAtTop("-");
  log.DropFirstChar();
  log.PutAtTop("\\");
  EXPECT_EQ(log.Text(), "\\\r\n");
  EXPECT_EQ(log.FirstChar(), '\\');
  log.Clear();
  EXPECT_EQ(log.Text(), "");
  EXPECT_EQ(log.Size(), 0u);
}

TEST(LogModel, DataAtIsTrackedAcrossWriteBoundaries) {
  LogModel log;
  EXPECT_FALSE(log.ContainsDataAt());
  log.PutAtTop(" at");
  EXPECT_FALSE(log.ContainsDataAt());
  log.PutAtTop("Data");  // completes "Data at" across two writes
  EXPECT_TRUE(log.ContainsDataAt());
  log.DropFirstChar();  // "ata at"
  EXPECT_FALSE(log.ContainsDataAt());
  log.PutAtTop("D");
  EXPECT_TRUE(log.ContainsDataAt());
  log.Clear();
  EXPECT_FALSE(log.ContainsDataAt());
}

// Mirrors the observer's edits on a plain string.
class Mirror : public LogObserver {
 public:
  void LogInsertedAtTop(std::string_view text) override { text_.insert(0, text); }
  void LogRemovedFromTop(std::size_t count) override {
    ASSERT_LE(count, text_.size());
    text_.erase(0, count);
  }
  void LogCleared() override { text_.clear(); }
  std::string text_;
};

TEST(LogModel, RandomEditsKeepCountAndObserverInStep) {
  std::mt19937 random(7);
  const std::vector<std::string> pieces{
      "Data at ", "Data", " at", "D", "ata at", "\r\n", "x", "Data at 0x1000\r\n", "at"};
  LogModel log;
  Mirror mirror;
  log.SetObserver(&mirror);
  for (int step = 0; step < 5000; ++step) {
    const unsigned op = random() % 10;
    const std::string& piece = pieces[random() % pieces.size()];
    if (op < 4) {
      log.PutAtTop(piece);
    } else if (op < 5) {
      log.LogLine(piece);
    } else if (op < 7) {
      log.DropFirstChar();
    } else if (op < 9) {
      log.DropTopLine();
    } else if (random() % 50 == 0) {
      log.Clear();
    }
    const std::string text = log.Text();
    ASSERT_EQ(log.ContainsDataAt(), text.find("Data at") != std::string::npos) << step;
    ASSERT_EQ(log.Contains("at D"), text.find("at D") != std::string::npos) << step;
    ASSERT_EQ(mirror.text_, text) << step;
  }
}

// The line-end rewrite done literally: each pass takes the first pair, puts the piece
// before it in front of the collection, and goes on after the pair.
std::string ReferencePass(std::string text, const std::string& pair) {
  std::string collection;
  for (auto p = text.find(pair); p != std::string::npos; p = text.find(pair)) {
    collection = text.substr(0, p) + "\r\n" + collection;
    text = text.substr(p + 2);
  }
  return text + collection;
}

TEST(FixLineEnds, ExamplesOfEachPair) {
  std::string text = "no line ends";
  EXPECT_EQ(FixLineEnds(text), "no line ends");
  text = "A\r\nB\r\n";
  EXPECT_EQ(FixLineEnds(text), "B\r\nA\r\n");
  text = "A\r\nB";
  EXPECT_EQ(FixLineEnds(text), "BA\r\n");
  text = "A\n\r";
  EXPECT_EQ(FixLineEnds(text), "A\r\n");
  text = "A\r\r";
  EXPECT_EQ(FixLineEnds(text), "A\r\n");
  text = "lone\rCR and lone\nLF";
  EXPECT_EQ(FixLineEnds(text), "lone\rCR and lone\nLF");
  text = "";
  EXPECT_EQ(FixLineEnds(text), "");
}

TEST(FixLineEnds, ArgumentKeepsTheSecondPassAndEmptyLinesAreSplitAgain) {
  std::string text = "X\r\n\r\nB\r\n";
  const std::string result = FixLineEnds(text);
  // Pass 1 gives B CR LF CR LF X CR LF; its CR LF CR LF holds an LF CR that pass 2 splits.
  EXPECT_EQ(text, "\nX\r\nB\r\r\n");
  EXPECT_EQ(result, "\n\nX\r\nB\r\n");
}

TEST(FixLineEnds, MatchesTheLiteralRewriteOnRandomText) {
  std::mt19937 random(11);
  for (int round = 0; round < 2000; ++round) {
    std::string text(random() % 24, ' ');
    for (char& c : text) c = "AB\r\n"[random() % 4];
    const std::string expected2 = ReferencePass(ReferencePass(text, "\r\n"), "\n\r");
    const std::string expected = ReferencePass(expected2, "\r\r");
    std::string argument = text;
    ASSERT_EQ(FixLineEnds(argument), expected) << ::testing::PrintToString(text);
    ASSERT_EQ(argument, expected2) << ::testing::PrintToString(text);
  }
}

TEST(FixLineEnds, LongRepliesAreHandledWhole) {
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "line\r\n";
  const std::string result = FixLineEnds(text);
  EXPECT_EQ(result.size(), 20000u * 6);
}

TEST(StripChar, RemovesEveryOccurrence) {
  const char xon = 0x11, xoff = 0x13;
  EXPECT_EQ(StripChar(std::string{xon} + "letters" + xon, xon), "letters");
  EXPECT_EQ(StripChar("letters", xon), "letters");
  EXPECT_EQ(StripChar(std::string{xoff, xoff, 'a', xoff, 'b'}, xoff), "ab");
  EXPECT_EQ(StripChar(std::string{xon, xon}, xon), "");
  EXPECT_EQ(StripChar(std::string("a\0b", 3), '\0'), "ab");
}

}  // namespace
}  // namespace ostra
