// Text1 follows the log through every kind of edit, one edit at a time.
#include <random>

#include <gtest/gtest.h>
#include <QPlainTextEdit>
#include <QTextDocument>

#include "window/LogView.h"

namespace ostra::window {
namespace {

TEST(LogDisplay, LineEndsBreakLinesAndControlBytesShowAsPictures) {
  EXPECT_EQ(LogDisplayText("b\r\na\r\n"), QString("b\na\n"));
  EXPECT_EQ(LogDisplayText(std::string("x\0y", 3)), QString::fromUtf16(u"x\u2400y"));
  EXPECT_EQ(LogDisplayText("\x11ok\x7f"), QString::fromUtf16(u"\u2411ok\u2421"));
  EXPECT_EQ(LogDisplayText("\xe9t\xe9"), QString::fromUtf16(u"\u00e9t\u00e9"));  // not UTF-8
  EXPECT_EQ(LogDisplayText("caf\xc3\xa9 \xf0\x9f\x98\x80"),
            QString::fromUtf16(u"caf\u00e9 \U0001F600"));
  EXPECT_EQ(LogDisplayText("\xc0\xaf\xed\xa0\x80"),
            QString::fromUtf16(u"\u00c0\u00af\u00ed\u00a0\u0080"));
  EXPECT_EQ(LogDisplayText("lone\nLF"), QString("loneLF"));
}

TEST(LogView, BoxShowsTheLogAfterAnyMixOfEdits) {
  QPlainTextEdit box;
  LogView view(&box);
  LogModel log;
  log.SetObserver(&view);

  std::mt19937 random(1234);
  const std::string pieces[] = {"Data at 1000", "\r\n", "\r", "\n",          "ab\r\ncd",
                                "\x11",         "",     "OK", "caf\xc3\xa9", "\xf0\x9f\x98\x80"};
  for (int i = 0; i < 3000; ++i) {
    switch (random() % 6) {
      case 0:
      case 1:
        log.LogLine(pieces[random() % std::size(pieces)]);
        break;
      case 2:
        log.PutAtTop(pieces[random() % std::size(pieces)]);
        break;
      case 3:
        log.DropTopLine();
        break;
      case 4:
        log.DropFirstChar();
        break;
      case 5:
        if (random() % 50 == 0) log.Clear();
        break;
    }
    ASSERT_EQ(box.document()->toPlainText(), LogDisplayText(log.Text())) << "after edit " << i;
  }
  log.SetObserver(nullptr);
}

}  // namespace
}  // namespace ostra::window
