#include "formats/TextLines.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

namespace ostra {
namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> lines;
  std::string line;
  while (ReadTextLine(in, line)) lines.push_back(line);
  return lines;
}

using V = std::vector<std::string>;

TEST(ReadTextLine, EveryKindOfLineEndEndsALine) {
  EXPECT_EQ(Lines("a\r\nb\r\n"), (V{"a", "b"}));
  EXPECT_EQ(Lines("a\nb\n"), (V{"a", "b"}));
  EXPECT_EQ(Lines("a\rb\r"), (V{"a", "b"}));
  EXPECT_EQ(Lines("a\r\r\nb"), (V{"a", "", "b"}));
  EXPECT_EQ(Lines("a\n\rb"), (V{"a", "", "b"}));
  EXPECT_EQ(Lines("a\n\nb\n"), (V{"a", "", "b"}));
}

TEST(ReadTextLine, LastLineWithoutLineEndAndEmptyInput) {
  EXPECT_EQ(Lines("a\nlast"), (V{"a", "last"}));
  EXPECT_EQ(Lines(""), V{});
  EXPECT_EQ(Lines("\n"), V{""});
  EXPECT_EQ(Lines("\r\n\r\n"), (V{"", ""}));
}

TEST(ReadTextLine, KeepsNulAndBinaryBytes) {
  const std::string binary("S1\0\xff\x80z\n\x01", 8);
  EXPECT_EQ(Lines(binary), (V{std::string("S1\0\xff\x80z", 6), "\x01"}));
}

TEST(ReadTextLine, VeryLongLineIsReadWhole) {
  const std::string longLine(1 << 20, 'S');
  EXPECT_EQ(Lines(longLine + "\nx"), (V{longLine, "x"}));
}

TEST(ReadTextLine, DoesNotThrowOnAStreamSetToThrow) {
  std::istringstream in("a\nb");
  in.exceptions(std::ios::eofbit | std::ios::failbit | std::ios::badbit);
  std::string line;
  EXPECT_NO_THROW({
    EXPECT_TRUE(ReadTextLine(in, line));
    EXPECT_EQ(line, "a");
    EXPECT_TRUE(ReadTextLine(in, line));
    EXPECT_EQ(line, "b");
    EXPECT_FALSE(ReadTextLine(in, line));
    EXPECT_EQ(line, "");
  });
}

TEST(AtEnd, TellsWhetherAnythingIsLeft) {
  std::istringstream in("a\n\n");
  std::string line;
  EXPECT_FALSE(AtEnd(in));
  ASSERT_TRUE(ReadTextLine(in, line));
  EXPECT_FALSE(AtEnd(in));
  ASSERT_TRUE(ReadTextLine(in, line));
  EXPECT_EQ(line, "");
  EXPECT_TRUE(AtEnd(in));
}

}  // namespace
}  // namespace ostra
