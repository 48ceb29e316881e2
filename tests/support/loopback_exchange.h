// The check both systems' loopback listeners pass: a client on 127.0.0.1,
// and on [::1] where the system has it, is accepted on the address it
// connected to, and bytes go both ways through the connection.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "support/sockets.h"

namespace vtl::test {

// A blocking client connected to `host`:`port`, or kNoSocket.
inline SocketHandle ConnectedClient(const std::string& host, uint16_t port) {
  sockaddr_storage address;
  const socklen_t length = SocketAddress(host, port, address);
  const SocketHandle s = ::socket(address.ss_family, SOCK_STREAM, IPPROTO_TCP);
  if (s != kNoSocket && ::connect(s, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    CloseSocket(s);
    return kNoSocket;
  }
  return s;
}

inline bool HaveIpv6Loopback() {
  const SocketHandle s = BoundSocket("::1", 0);
  if (s == kNoSocket) return false;
  CloseSocket(s);
  return true;
}

inline void ExpectBytesBothWaysOnEachLoopbackAddress(Listener& listener) {
  const SocketsUser sockets;
  const struct {
    const char* host;
    const char* literal;
  } kRows[] = {{"127.0.0.1", "[127.0.0.1]"}, {"::1", "[IPv6:::1]"}};
  for (const auto& row : kRows) {
    if (std::string(row.host) == "::1" && !HaveIpv6Loopback()) {
      std::printf("skipped [::1]: no IPv6 loopback here\n");
      continue;
    }
    const SocketHandle client = ConnectedClient(row.host, listener.Port());
    ASSERT_NE(kNoSocket, client) << row.host;
    IoStatus status = IoStatus::Failed;
    const std::unique_ptr<Connection> accepted = listener.Accept(Millis{10'000}, status);
    ASSERT_NE(nullptr, accepted) << row.host;
    EXPECT_EQ(IoStatus::Ok, status);
    EXPECT_EQ(row.literal, accepted->LocalAddressLiteral());
    ASSERT_EQ(4, SendSome(client, "ping", 4));
    char buffer[16] = {};
    const IoResult in = accepted->Receive(buffer, sizeof buffer, Millis{10'000});
    EXPECT_EQ(IoStatus::Ok, in.status);
    EXPECT_EQ("ping", std::string(buffer, in.bytes));
    EXPECT_EQ(4u, accepted->Send("pong", 4, Millis{10'000}).bytes);
    EXPECT_EQ(4, ReceiveSome(client, buffer, sizeof buffer));
    EXPECT_EQ("pong", std::string(buffer, 4));
    CloseSocket(client);
    EXPECT_EQ(IoStatus::Closed, accepted->Receive(buffer, sizeof buffer, Millis{10'000}).status);
    // A peer gone: a failure to report (on POSIX never a SIGPIPE).
    IoResult out;
    for (int i = 0; i < 100 && out.status != IoStatus::Failed; ++i)
      out = accepted->Send("x", 1, Millis{1000});
    EXPECT_EQ(IoStatus::Failed, out.status);
  }
}

}  // namespace vtl::test
