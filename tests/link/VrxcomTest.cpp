// The serial library over a real pseudo-terminal pair; the test plays the card on the
// master side.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <termios.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "link/PtyPeer.h"
#include "vrxcom/OpenFailure.h"
#include "vrxcom/Vrxcom.h"

using ostra::testing::Peer;
using ostra::testing::Pty;
using Clock = std::chrono::steady_clock;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

namespace {

constexpr int kPort = 7;

VrErrorInfo ErrorOf(int32_t handle) {
  VrErrorInfo info;
  std::memset(&info, 0x55, sizeof info);
  EXPECT_EQ(VrGetErrorInfo(handle, &info), 1);
  return info;
}

int64_t MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class VrxcomTest : public ::testing::Test {
 protected:
  void SetUp() override { Open(); }
  void TearDown() override {
    if (handle_ != 0) {
      EXPECT_EQ(VrCloseConnection(handle_), 1);
    }
  }

  void Open() {
    pty_ = std::make_unique<Pty>();
    ASSERT_TRUE(pty_->Ok());
    pty_->BecomePort(kPort);
    handle_ = VrOpenConnection(1, kPort, 0);
    ASSERT_NE(handle_, 0) << ErrorOf(0).text;
    ASSERT_EQ(VrSetConnectionTimeout(handle_, 2000), 1);
  }

  // One VrSendAscii into a buffer of `size` blanks; returns the result.
  int32_t Ascii(std::string_view text, uint8_t endByte, int32_t size = 255) {
    reply_.assign(static_cast<std::size_t>(size), ' ');
    return VrSendAscii(handle_, text.data(), static_cast<int16_t>(text.size()), reply_.data(), size,
                       endByte);
  }

  std::unique_ptr<Pty> pty_;
  int32_t handle_ = 0;
  std::string reply_;
};

TEST_F(VrxcomTest, EndByteEndsTheExchangeAndLaterBytesWaitForTheNextCall) {
  std::string heard;
  Peer card([&] {
    heard = pty_->Read(3);
    pty_->Write("OK\rNEXT\r");
  });
  EXPECT_EQ(Ascii("ID\r", '\r'), 3);
  card.Join();
  EXPECT_EQ(heard, "ID\r");
  EXPECT_EQ(reply_.substr(0, 4), "OK\r ");

  // Count 0 sends nothing and takes the kept bytes.
  EXPECT_EQ(Ascii(std::string_view("x", 0), '\r'), 5);
  EXPECT_EQ(reply_.substr(0, 6), "NEXT\r ");
  EXPECT_TRUE(pty_->Quiet());
}

TEST_F(VrxcomTest, CountZeroSendsNothingAndStillWaitsForTheReply) {
  Peer card([&] { pty_->Write("R\n"); });
  EXPECT_EQ(Ascii(std::string_view("abc", 0), '\n'), 2);
  card.Join();
  EXPECT_EQ(reply_.substr(0, 2), "R\n");
  EXPECT_TRUE(pty_->Quiet());
}

TEST_F(VrxcomTest, ReplyLargerThanTheBufferStoresOnlyTheBuffersSize) {
  ASSERT_TRUE(pty_->Write("ABCDEFGH\rZ"));
  std::string buffer(16, '#');
  EXPECT_EQ(VrSendAscii(handle_, "", 0, buffer.data(), 4, '\r'), 9);
  EXPECT_EQ(buffer, "ABCD" + std::string(12, '#'));

  // The byte after the end byte survived; no buffer at all is also allowed.
  EXPECT_EQ(VrSendAscii(handle_, "", 0, nullptr, 0, 'Z'), 1);
}

TEST_F(VrxcomTest, TimeoutEndsTheExchangeNearItsDeadline) {
  for (const int32_t timeout : {50, 120}) {
    ASSERT_EQ(VrSetConnectionTimeout(handle_, timeout), 1);
    const auto start = Clock::now();
    EXPECT_EQ(Ascii("?", '\r'), 0);
    const auto elapsed = MillisecondsSince(start);
    EXPECT_GE(elapsed, timeout);
    EXPECT_LT(elapsed, timeout + 200);
    EXPECT_EQ(ErrorOf(handle_).number, VRXCOM_TIMED_OUT);
    EXPECT_EQ(pty_->Read(1), "?");
  }
  // What arrived before the deadline is in the reply but not kept.
  ASSERT_TRUE(pty_->Write("AB"));
  EXPECT_EQ(Ascii("", '\r'), 0);
  EXPECT_EQ(reply_.substr(0, 3), "AB ");
  ASSERT_TRUE(pty_->Write("C\r"));
  ASSERT_EQ(VrSetConnectionTimeout(handle_, 2000), 1);
  EXPECT_EQ(Ascii("", '\r'), 2);
}

TEST_F(VrxcomTest, LineSettingsAreWhatTheOtherSideSees) {
  termios t{};
  for (const int32_t baud : {38400, 9600, 19200}) {
    ASSERT_EQ(VrInitConnection(handle_, baud, 0, 8, 0), 1);
    ASSERT_EQ(tcgetattr(pty_->Master(), &t), 0);
    const speed_t expected = baud == 38400 ? B38400 : baud == 9600 ? B9600 : B19200;
    EXPECT_EQ(cfgetospeed(&t), expected) << baud;
    EXPECT_EQ(cfgetispeed(&t), expected) << baud;
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
  }

  // Settings the line cannot take are refused and leave the speed as it was.
  EXPECT_EQ(VrInitConnection(handle_, 0, 0, 8, 0), 0);
  EXPECT_EQ(VrInitConnection(handle_, 9600, 0, 9, 0), 0);
  EXPECT_EQ(VrInitConnection(handle_, 9600, 7, 8, 0), 0);
  EXPECT_EQ(ErrorOf(handle_).number, VRXCOM_BAD_SETTINGS);
  ASSERT_EQ(tcgetattr(pty_->Master(), &t), 0);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
  EXPECT_EQ(VrSetConnectionTimeout(handle_, -1), 0);
}

TEST_F(VrxcomTest, EveryByteValuePassesBothWaysUnchanged) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  std::string heard;
  Peer card([&] {
    heard = pty_->Read(256);
    pty_->Write(heard);
  });
  EXPECT_EQ(Ascii(all, 0xFF, 300), 256);
  card.Join();
  EXPECT_EQ(heard, all);
  EXPECT_EQ(reply_.substr(0, 256), all);
}

TEST_F(VrxcomTest, HangUpFailsAtOnceAndThePortOpensAgain) {
  ASSERT_EQ(VrSetConnectionTimeout(handle_, 5000), 1);
  Peer card([&] {
    pty_->Read(1);
    pty_->CloseMaster();
  });
  auto start = Clock::now();
  EXPECT_EQ(Ascii("?", '\r'), 0);
  EXPECT_LT(MillisecondsSince(start), 2500);
  card.Join();
  const VrErrorInfo lost = ErrorOf(handle_);
  EXPECT_EQ(lost.number, VRXCOM_LINE_LOST);
  EXPECT_NE(std::string(lost.text).find("lost"), std::string::npos) << lost.text;

  // Later exchanges fail the same way without waiting.
  start = Clock::now();
  EXPECT_EQ(VrPutStatus(handle_, 8), 0);
  EXPECT_EQ(Ascii("", '\r'), 0);
  EXPECT_LT(MillisecondsSince(start), 2500);
  EXPECT_EQ(ErrorOf(handle_).number, VRXCOM_LINE_LOST);

  ASSERT_EQ(VrCloseConnection(handle_), 1);
  handle_ = 0;
  Open();
  Peer again([&] { pty_->Write("back\r"); });
  EXPECT_EQ(Ascii("", '\r'), 5);
  again.Join();

  // A line already gone when the exchange starts fails on its first write.
  ASSERT_EQ(VrSetConnectionTimeout(handle_, 5000), 1);
  pty_->CloseMaster();
  start = Clock::now();
  EXPECT_EQ(Ascii("?", '\r'), 0);
  EXPECT_LT(MillisecondsSince(start), 2500);
  EXPECT_EQ(ErrorOf(handle_).number, VRXCOM_LINE_LOST);
}

TEST_F(VrxcomTest, SendDataWritesTheMessageAndReadsACountedReply) {
  const std::string message("\x00\xFF\x10\x11", 4);
  std::string heard;
  Peer card([&] {
    heard = pty_->Read(4);
    pty_->Write(
        std::string("\x02\xAA\x0D"
                    "T",
                    4));
  });
  std::string reply(512, '\0');
  EXPECT_EQ(VrSendData(handle_, 20, message.data(), 4, reply.data(), 512), 1);
  card.Join();
  EXPECT_EQ(heard, message);
  EXPECT_EQ(reply.substr(0, 4), std::string("\x02\xAA\x0D\0", 4));
  EXPECT_EQ(VrSendAscii(handle_, "", 0, nullptr, 0, 'T'), 1);

  // A short buffer keeps its size; the whole counted reply is still taken.
  ASSERT_TRUE(pty_->Write("\x03xyz!"));
  std::string small(4, '#');
  EXPECT_EQ(VrSendData(handle_, 20, "", 0, small.data(), 2), 1);
  EXPECT_EQ(small, "\x03x##");
  EXPECT_EQ(VrSendAscii(handle_, "", 0, nullptr, 0, '!'), 1);

  // Another kind is refused before anything is sent; a count byte alone times out.
  EXPECT_EQ(VrSendData(handle_, 21, "m", 1, reply.data(), 512), 0);
  EXPECT_EQ(ErrorOf(handle_).number, VRXCOM_BAD_ARGUMENT);
  EXPECT_TRUE(pty_->Quiet());
  ASSERT_EQ(VrSetConnectionTimeout(handle_, 50), 1);
  ASSERT_TRUE(
      pty_->Write("\x05"
                  "ab"));
  EXPECT_EQ(VrSendData(handle_, 20, "", 0, reply.data(), 512), 0);
  EXPECT_EQ(ErrorOf(handle_).number, VRXCOM_TIMED_OUT);
}

TEST_F(VrxcomTest, PutStatusSendsAFramedPacketAndWantsAnAck) {
  std::string heard;
  Peer card([&] {
    heard = pty_->Read(6);
    pty_->Write("\x06");
  });
  EXPECT_EQ(VrPutStatus(handle_, 8), 1);
  card.Join();
  EXPECT_EQ(heard, std::string("\x01\x04\x73\x08\x84\xFF", 6));

  ASSERT_TRUE(pty_->Write("\x15"));
  EXPECT_EQ(VrPutStatus(handle_, 0x8D), 0);
  EXPECT_EQ(pty_->Read(6), std::string("\x01\x04\x73\x8D\xFF\xFF", 6));
  EXPECT_EQ(ErrorOf(handle_).number, VRXCOM_NOT_ACKNOWLEDGED);

  ASSERT_EQ(VrSetConnectionTimeout(handle_, 50), 1);
  EXPECT_EQ(VrPutStatus(handle_, 8), 0);
  EXPECT_EQ(ErrorOf(handle_).number, VRXCOM_TIMED_OUT);
}

TEST_F(VrxcomTest, UnknownHandlesFailWithoutHarm) {
  char reply[8];
  EXPECT_EQ(VrSendAscii(0, "x", 1, reply, 8, '\r'), 0);
  EXPECT_EQ(VrSendAscii(handle_ + 1000, "x", 1, reply, 8, '\r'), 0);
  EXPECT_EQ(VrSendData(0, 20, "x", 1, reply, 8), 0);
  EXPECT_EQ(VrInitConnection(0, 19200, 0, 8, 0), 0);
  EXPECT_EQ(VrSetConnectionTimeout(-3, 100), 0);
  EXPECT_EQ(VrPutStatus(0, 8), 0);
  EXPECT_EQ(VrCloseConnection(0), 0);
  EXPECT_EQ(ErrorOf(0).number, VRXCOM_BAD_HANDLE);
  EXPECT_EQ(ErrorOf(handle_ + 77).number, VRXCOM_BAD_HANDLE);
  EXPECT_EQ(VrGetErrorInfo(handle_, nullptr), 0);
  EXPECT_TRUE(pty_->Quiet());

  // Bad arguments on a good handle are refused too.
  EXPECT_EQ(VrSendAscii(handle_, "x", -1, reply, 8, '\r'), 0);
  EXPECT_EQ(VrSendAscii(handle_, nullptr, 1, reply, 8, '\r'), 0);
  EXPECT_EQ(VrSendAscii(handle_, "x", 1, nullptr, 8, '\r'), 0);
  EXPECT_EQ(ErrorOf(handle_).number, VRXCOM_BAD_ARGUMENT);
  EXPECT_TRUE(pty_->Quiet());

  // A closed handle is unknown from then on.
  const int32_t closed = handle_;
  ASSERT_EQ(VrCloseConnection(closed), 1);
  handle_ = 0;
  EXPECT_EQ(VrCloseConnection(closed), 0);
  EXPECT_EQ(VrSendAscii(closed, "x", 1, reply, 8, '\r'), 0);
}

TEST_F(VrxcomTest, EachHandleHasItsOwnPortAndError) {
  Pty other;
  ASSERT_TRUE(other.Ok());
  other.BecomePort(kPort + 1);
  const int32_t second = VrOpenConnection(1, kPort + 1, 0);
  ASSERT_NE(second, 0);
  EXPECT_NE(second, handle_);
  EXPECT_EQ(ErrorOf(second).number, VRXCOM_NO_ERROR);
  EXPECT_STREQ(ErrorOf(second).text, "No error");

  ASSERT_EQ(VrSetConnectionTimeout(second, 50), 1);
  ASSERT_TRUE(pty_->Write("mine\r"));
  EXPECT_EQ(VrSendAscii(second, "s", 1, nullptr, 0, '\r'), 0);
  EXPECT_EQ(ErrorOf(second).number, VRXCOM_TIMED_OUT);
  EXPECT_EQ(ErrorOf(handle_).number, VRXCOM_NO_ERROR);
  EXPECT_EQ(other.Read(1), "s");
  EXPECT_EQ(Ascii("", '\r'), 5);
  EXPECT_EQ(VrCloseConnection(second), 1);
}

TEST(VrxcomOpen, PortsThatCannotBeOpenedGiveNoHandleAndSayWhy) {
  setenv("VRXCOM_COM9", "/dev/no-such-serial-port", 1);
  EXPECT_EQ(VrOpenConnection(1, 9, 0), 0);
  VrErrorInfo info{};
  ASSERT_EQ(VrGetErrorInfo(0, &info), 1);
  EXPECT_EQ(info.number, VRXCOM_OPEN_FAILED);
  EXPECT_NE(std::string(info.text).find("/dev/no-such-serial-port"), std::string::npos)
      << info.text;
  // The device and the system's reason, with the fix where there is a usual one.
  const std::string dir = ::testing::TempDir();
  for (const auto& [device, reason] : std::vector<std::pair<std::string, std::string>>{
           {"/dev/no-such-serial-port", "No such file or directory"},
           {dir, "Is a directory"},
           {"/dev/null", "not a serial device"}}) {
    setenv("VRXCOM_COM9", device.c_str(), 1);
    EXPECT_EQ(VrOpenConnection(1, 9, 0), 0);
    ASSERT_EQ(VrGetErrorInfo(0, &info), 1);
    EXPECT_EQ(std::string(info.text).rfind("Cannot open " + device + ": " + reason, 0), 0u)
        << info.text;
  }
  EXPECT_NE(
      ostra::vrxcom::OpenFailureReason(EACCES, "dialout").find("add yourself to the group dialout"),
      std::string::npos);
  EXPECT_EQ(VrOpenConnection(2, 9, 0x0100007F), 0);
  EXPECT_EQ(VrOpenConnection(1, 0, 0), 0);
  EXPECT_EQ(VrGetErrorInfo(0, &info), 1);
  EXPECT_EQ(info.number, VRXCOM_BAD_ARGUMENT);
}

// A port another open holds: the second open names who holds it, from the port's lock file.
TEST(VrxcomOpen, ABusyPortSaysWhichProgramHoldsIt) {
  Pty pty;
  ASSERT_TRUE(pty.Ok());
  pty.BecomePort(9);
  const auto failure = [] {
    EXPECT_EQ(VrOpenConnection(1, 9, 0), 0);
    return std::string(ErrorOf(0).text);
  };
  const std::string self = std::to_string(getpid());

  const int32_t first = VrOpenConnection(1, 9, 0);
  ASSERT_NE(first, 0) << ErrorOf(0).text;
  EXPECT_THAT(failure(), ::testing::AllOf(HasSubstr("already open in this program, "),
                                          HasSubstr("(process " + self)));
  ASSERT_EQ(VrCloseConnection(first), 1);

  // A path too long for a lock file of its name.
  const fs::path deep =
      fs::temp_directory_path() / ("ostra-" + self) / std::string(150, 'a') / std::string(120, 'b');
  fs::create_directories(deep.parent_path());
  fs::create_symlink(pty.SlavePath(), deep);
  setenv("VRXCOM_COM9", deep.c_str(), 1);
  EXPECT_THAT(failure(),
              HasSubstr("more than a file name may have (255): give the device by a shorter path"));
  fs::remove_all(fs::temp_directory_path() / ("ostra-" + self));
}

TEST_F(VrxcomTest, CancelEndsAWaitingExchangeAndRefusesLaterOnesUntilCleared) {
  ASSERT_EQ(VrSetConnectionTimeout(handle_, 10000), 1);
  // The card receives the request and never answers; the cancel comes meanwhile.
  std::thread canceller([this] {
    pty_->Read(1);
    VrxcomRequestCancel();
  });
  const auto start = Clock::now();
  EXPECT_EQ(Ascii("?", 0x11), 0);
  EXPECT_LT(MillisecondsSince(start), 1000);
  canceller.join();
  EXPECT_EQ(ErrorOf(handle_).number, VRXCOM_CANCELLED);

  EXPECT_EQ(VrPutStatus(handle_, 8), 0);  // refused at once: nothing reaches the card
  EXPECT_TRUE(pty_->Quiet());
  EXPECT_EQ(VrCloseConnection(handle_), 1);  // the port can still be put back
  handle_ = VrOpenConnection(1, kPort, 0);
  ASSERT_NE(handle_, 0);

  VrxcomClearCancel();
  ASSERT_TRUE(pty_->Write("ok\x11"));
  EXPECT_EQ(Ascii("?", 0x11), 3);
}

}  // namespace
