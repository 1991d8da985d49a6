// JSON strings any parser reads back as the text the card sent.
#include "cli/Output.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>

namespace ostra::cli {
namespace {

TEST(JsonString, ReadsBackAsTheTextWithStrayBytesAsLatin1) {
  struct Case {
    std::string text;
    std::string readBack;  // UTF-8
  };
  const Case cases[] = {
      {"h\xC3\xA9llo", "h\xC3\xA9llo"},                                    // é as UTF-8
      {"\xE6\x97\xA5 \xF0\x9D\x84\x9E", "\xE6\x97\xA5 \xF0\x9D\x84\x9E"},  // 3 and 4 bytes
      {"\xE9t\xE9", "\xC3\xA9t\xC3\xA9"},                                  // é as Latin-1
      {"ab\xC3", "ab\xC3\x83"},                                            // cut short at the end
                                                                           // cut short by ASCII
      {"\xC0\xAF", "\xC3\x80\xC2\xAF"},                                    // overlong '/'
      {"\xED\xA0\x80", "\xC3\xAD\xC2\xA0\xC2\x80"},                        // a surrogate
      {"\xF4\x90\x80\x80", "\xC3\xB4\xC2\x90\xC2\x80\xC2\x80"},            // beyond U+10FFFF
      {std::string("a\0b\x01\x1B\x7F", 6), std::string("a\0b\x01\x1B\x7F", 6)},
      {"\"quoted\" \\ \t\r\n", "\"quoted\" \\ \t\r\n"},
  };
  for (const Case& c : cases) {
    const std::string json = "{\"text\":" + JsonString(c.text) + "}";
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(json), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << json;
    EXPECT_EQ(document.object().value("text").toString().toStdString(), c.readBack) << json;
  }
  // Characters go out as they are, not as escapes.
  EXPECT_EQ(JsonString("h\xC3\xA9llo"), "\"h\xC3\xA9llo\"");
}

}  // namespace
}  // namespace ostra::cli
