#pragma once
// The one connection to a card: its settings, the library handle, opening,
// configuring and closing, and one request/reply exchange.
#include <cstdint>
#include <functional>
#include <string>

namespace ostra {

class VrConnection {
 public:
  // Receives the connection's warnings ("Failed to set BAUD rate.", ...); the window
  // shows them as warning boxes. Without a sink they are dropped.
  using MessageSink = std::function<void(const std::string&)>;

  VrConnection() = default;
  ~VrConnection();
  VrConnection(const VrConnection&) = delete;
  VrConnection& operator=(const VrConnection&) = delete;

  void SetMessageSink(MessageSink sink) { sink_ = std::move(sink); }
  const MessageSink& MessageSinkInUse() const { return sink_; }

  // Says whether the run using this connection was asked to stop: once it was, every
  // exchange made through the card classes fails at once without reaching the line.
  void SetStopCheck(std::function<bool()> check) { stopCheck_ = std::move(check); }
  bool StopRequested() const { return stopCheck_ && stopCheck_(); }

  int32_t Timeout() const { return timeout_; }
  void SetTimeoutValue(int32_t ms) { timeout_ = ms; }  // stored only; see SetTimeout
  void SetTimeout();                                   // applies Timeout to the library

  bool Connect();
  bool Disconnect();
  std::string GetSetConfiguration(const std::string& message);

  const std::string& ipAddress() const { return ipAddress_; }
  void SetIpAddress(const std::string& text);  // keeps the text and its inet_addr number
  uint32_t NumericAddress() const { return numericAddress_; }

  int32_t TargetNode() const { return targetNode_; }
  void SetTargetNode(int32_t v) { targetNode_ = v; }
  int32_t HostNode() const { return hostNode_; }
  void SetHostNode(int32_t v) { hostNode_ = v; }
  int32_t BaudRate() const { return baudRate_; }
  void SetBaudRate(int32_t v) { baudRate_ = v; }
  int32_t Port() const { return port_; }
  void SetPort(int32_t v) { port_ = v; }
  int32_t ConnectionType() const { return connectionType_; }
  void SetConnectionType(int32_t v) { connectionType_ = v; }

  int32_t ConnectionID() const { return connectionId_; }

 private:
  void Warn(const std::string& text) const;

  int32_t connectionType_ = 1;
  int32_t port_ = 1;
  int32_t baudRate_ = 19200;
  int32_t hostNode_ = 32000;
  int32_t targetNode_ = 0;
  uint32_t numericAddress_ = 0;
  std::string ipAddress_;
  int32_t timeout_ = 250;
  int32_t connectionId_ = 0;
  MessageSink sink_;
  std::function<bool()> stopCheck_;
};

}  // namespace ostra
