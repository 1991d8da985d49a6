#include "link/VrConnection.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "support/ScriptedVr.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN  // without it windows.h renames SetPort to SetPortA
#include <winsock2.h>
#else
#include <arpa/inet.h>
#endif

using ostra::VrConnection;
using ostra::testing::ScriptedVr;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class VrConnectionTest : public ::testing::Test {
 protected:
  VrConnectionTest() : scope_(vr_) {
    connection_ = std::make_unique<VrConnection>();
    connection_->SetMessageSink([this](const std::string& m) { messages_.push_back(m); });
  }
  ~VrConnectionTest() override {
    // Tests that leave a handle open count the close below; ignore its call.
    vr_.close = [](int32_t) { return 1; };
    connection_.reset();
  }

  ScriptedVr vr_;
  ScriptedVr::Scope scope_;
  std::unique_ptr<VrConnection> connection_;
  std::vector<std::string> messages_;
};

TEST_F(VrConnectionTest, FreshObjectOpensPortOneAt19200WithTheDefaultTimeout) {
  EXPECT_EQ(connection_->ConnectionID(), 0);
  ASSERT_TRUE(connection_->Connect());
  EXPECT_EQ(connection_->ConnectionID(), 7);
  EXPECT_THAT(vr_.CallNames(),
              ElementsAre("VrOpenConnection", "VrInitConnection", "VrSetConnectionTimeout"));
  EXPECT_THAT(vr_.calls[0].args, ElementsAre(1, 1, 0));
  EXPECT_THAT(vr_.calls[1].args, ElementsAre(7, 19200, 0, 8, 0));
  EXPECT_THAT(vr_.calls[2].args, ElementsAre(7, 250));
  EXPECT_THAT(messages_, IsEmpty());
  EXPECT_EQ(connection_->HostNode(), 32000);
  EXPECT_EQ(connection_->TargetNode(), 0);
}

TEST_F(VrConnectionTest, OpenFailureReturnsFalseSilently) {
  vr_.open = [](int32_t, int32_t, uint32_t) { return 0; };
  EXPECT_FALSE(connection_->Connect());
  EXPECT_EQ(connection_->ConnectionID(), 0);
  EXPECT_THAT(vr_.CallNames(), ElementsAre("VrOpenConnection"));
  EXPECT_THAT(messages_, IsEmpty());
}

TEST_F(VrConnectionTest, SettingFailuresAreShownButConnectStillSucceeds) {
  vr_.init = [](int32_t, int32_t) { return 0; };
  vr_.setTimeout = [](int32_t, int32_t) { return 2; };
  EXPECT_TRUE(connection_->Connect());
  EXPECT_EQ(connection_->ConnectionID(), 7);
  EXPECT_THAT(messages_, ElementsAre("Failed to set BAUD rate.", "Failed to set timeout."));
}

TEST_F(VrConnectionTest, OpenConnectionIsReusedAndReconfigured) {
  ASSERT_TRUE(connection_->Connect());
  connection_->SetBaudRate(38400);
  connection_->SetTimeoutValue(900);
  connection_->SetPort(3);
  vr_.calls.clear();
  // Property writes alone never reach the library.
  EXPECT_THAT(vr_.calls, IsEmpty());
  ASSERT_TRUE(connection_->Connect());
  EXPECT_THAT(vr_.CallNames(), ElementsAre("VrInitConnection", "VrSetConnectionTimeout"));
  EXPECT_THAT(vr_.calls[0].args, ElementsAre(7, 38400, 0, 8, 0));
  EXPECT_THAT(vr_.calls[1].args, ElementsAre(7, 900));
}

TEST_F(VrConnectionTest, OtherConnectionTypesOpenWithTheAddressAndSetOnlyTheTimeout) {
  connection_->SetConnectionType(2);
  connection_->SetIpAddress("10.1.2.3");
  EXPECT_EQ(connection_->ipAddress(), "10.1.2.3");
  ASSERT_TRUE(connection_->Connect());
  EXPECT_THAT(vr_.CallNames(), ElementsAre("VrOpenConnection", "VrSetConnectionTimeout"));
  EXPECT_THAT(vr_.calls[0].args, ElementsAre(2, 1, inet_addr("10.1.2.3")));
}

TEST_F(VrConnectionTest, IpAddressKeepsTextAndNumberUnchecked) {
  connection_->SetIpAddress("192.168.0.1");
  EXPECT_EQ(connection_->NumericAddress(), inet_addr("192.168.0.1"));
  connection_->SetIpAddress("not an address");
  EXPECT_EQ(connection_->ipAddress(), "not an address");
  EXPECT_EQ(connection_->NumericAddress(), 0xFFFFFFFFu);
}

TEST_F(VrConnectionTest, DisconnectClosesOnlyAnOpenConnection) {
  EXPECT_TRUE(connection_->Disconnect());
  EXPECT_THAT(vr_.calls, IsEmpty());

  ASSERT_TRUE(connection_->Connect());
  vr_.calls.clear();
  EXPECT_TRUE(connection_->Disconnect());
  EXPECT_EQ(connection_->ConnectionID(), 0);
  EXPECT_THAT(vr_.calls[0].args, ElementsAre(7));
}

TEST_F(VrConnectionTest, FailedCloseKeepsTheHandleForTheNextConnect) {
  ASSERT_TRUE(connection_->Connect());
  vr_.close = [](int32_t) { return 0; };
  EXPECT_FALSE(connection_->Disconnect());
  EXPECT_EQ(connection_->ConnectionID(), 7);
  vr_.calls.clear();
  vr_.open = [](int32_t, int32_t, uint32_t) { return 9; };
  ASSERT_TRUE(connection_->Connect());
  EXPECT_EQ(connection_->ConnectionID(), 7);
  EXPECT_THAT(vr_.CallNames(), ElementsAre("VrInitConnection", "VrSetConnectionTimeout"));
  EXPECT_THAT(messages_, IsEmpty());
}

TEST_F(VrConnectionTest, DestructionClosesAndReportsAFailedClose) {
  ASSERT_TRUE(connection_->Connect());
  vr_.close = [](int32_t) { return 0; };
  std::vector<std::string> lastWords;
  connection_->SetMessageSink([&](const std::string& m) { lastWords.push_back(m); });
  connection_.reset();
  EXPECT_THAT(lastWords, ElementsAre("Failed to close connection."));
  EXPECT_EQ(vr_.CallsTo("VrCloseConnection").size(), 1u);

  // A closed object makes no call at all when it goes.
  vr_.calls.clear();
  auto closed = std::make_unique<VrConnection>();
  closed.reset();
  EXPECT_THAT(vr_.calls, IsEmpty());
}

TEST_F(VrConnectionTest, SetTimeoutPassesTheStoredValueEvenWithoutAHandle) {
  connection_->SetTimeoutValue(5000);
  EXPECT_THAT(vr_.calls, IsEmpty());
  vr_.setTimeout = [](int32_t handle, int32_t) { return handle == 0 ? 0 : 1; };
  connection_->SetTimeout();
  ASSERT_EQ(vr_.calls.size(), 1u);
  EXPECT_THAT(vr_.calls[0].args, ElementsAre(0, 5000));
  EXPECT_THAT(messages_, ElementsAre("Failed to set timeout."));
}

TEST_F(VrConnectionTest, ConfigurationReplyIsTheCountByteAndThatManyMore) {
  ASSERT_TRUE(connection_->Connect());
  vr_.sendData = [](int32_t, int32_t, std::string_view, std::string& reply) {
    reply = std::string(
        "\x03"
        "abcXYZ",
        7);
    return 1;
  };
  const std::string message("q\0r", 3);
  EXPECT_EQ(connection_->GetSetConfiguration(message),
            "\x03"
            "abc");
  const auto call = vr_.CallsTo("VrSendData").at(0);
  EXPECT_THAT(call.args, ElementsAre(7, 20, 3, 512));
  EXPECT_EQ(call.bytes, message);

  // A count byte of 255 needs all of 256 characters, high bytes intact.
  vr_.sendData = [](int32_t, int32_t, std::string_view, std::string& reply) {
    reply.assign(1, '\xFF');
    for (int i = 0; i < 255; ++i) reply.push_back(static_cast<char>(0x80 + i % 128));
    return 1;
  };
  const std::string full = connection_->GetSetConfiguration("x");
  ASSERT_EQ(full.size(), 256u);
  EXPECT_EQ(full.back(), static_cast<char>(0x80 + 254 % 128));
  EXPECT_THAT(messages_, IsEmpty());
}

TEST_F(VrConnectionTest, FailedConfigurationExchangeShowsTheLibraryError) {
  ASSERT_TRUE(connection_->Connect());
  vr_.sendData = [](int32_t, int32_t, std::string_view, std::string& reply) {
    reply = "\x05junk";
    return 0;
  };
  vr_.errorInfo = [](int32_t handle, VrErrorInfo* info) {
    EXPECT_EQ(handle, 7);
    EXPECT_EQ(info->number, 0);  // handed over zeroed
    info->number = -42;
    std::strcpy(info->text, "Line lost");
    std::strcpy(info->text + 10, "after the NUL");
    return 1;
  };
  EXPECT_EQ(connection_->GetSetConfiguration("m"), "");
  EXPECT_THAT(messages_, ElementsAre("Error: -42 Line lost"));

  // A record that fills all 256 characters is read to its end and no further.
  vr_.errorInfo = [](int32_t, VrErrorInfo* info) {
    info->number = 3;
    std::memset(info->text, 'E', sizeof info->text);
    return 1;
  };
  messages_.clear();
  EXPECT_EQ(connection_->GetSetConfiguration("m"), "");
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0], "Error: 3 " + std::string(256, 'E'));

  // Without error information nothing is shown.
  vr_.errorInfo = [](int32_t, VrErrorInfo*) { return 0; };
  messages_.clear();
  EXPECT_EQ(connection_->GetSetConfiguration("m"), "");
  EXPECT_THAT(messages_, IsEmpty());
}

TEST_F(VrConnectionTest, MessageTooLongForItsCountIsNotSent) {
  ASSERT_TRUE(connection_->Connect());
  vr_.calls.clear();
  EXPECT_EQ(connection_->GetSetConfiguration(std::string(40000, 'a')), "");
  EXPECT_THAT(vr_.calls, IsEmpty());
  EXPECT_THAT(messages_, IsEmpty());
}

}  // namespace
