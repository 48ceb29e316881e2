// A network whose connections misbehave the way real sockets may: short
// sends of 3 bytes, receptions of 2, and every call interrupted (EINTR)
// once before it goes through. A correct client must not notice.
#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"

namespace vtl::test {

class FaultyConnection final : public Connection {
 public:
  explicit FaultyConnection(std::unique_ptr<Connection> inner) : inner_(std::move(inner)) {}

  IoResult Send(const char* data, size_t size, Millis timeout) override {
    if (++sends_ % 2 == 1) return {IoStatus::Interrupted, 0};
    return inner_->Send(data, size < 3 ? size : 3, timeout);
  }

  IoResult Receive(char* buffer, size_t size, Millis timeout) override {
    if (++receives_ % 2 == 1) return {IoStatus::Interrupted, 0};
    return inner_->Receive(buffer, size < 2 ? size : 2, timeout);
  }

  size_t Unread() override { return inner_->Unread(); }
  std::string LocalAddressLiteral() override { return inner_->LocalAddressLiteral(); }

 private:
  std::unique_ptr<Connection> inner_;
  unsigned sends_ = 0;
  unsigned receives_ = 0;
};

class FaultyNetwork final : public Network {
 public:
  explicit FaultyNetwork(Network& inner) : inner_(inner) {}

  ConnectOutcome Connect(const std::string& host, uint16_t port, Millis timeout) override {
    ConnectOutcome outcome = inner_.Connect(host, port, timeout);
    if (outcome.connection)
      outcome.connection = std::make_unique<FaultyConnection>(std::move(outcome.connection));
    return outcome;
  }

 private:
  Network& inner_;
};

}  // namespace vtl::test
