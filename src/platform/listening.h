// What the loopback listeners of both systems share: the accept's deadline,
// waited out through signals and connections gone before they were taken.
// No OS header here.
#pragma once

#include <chrono>
#include <memory>
#include <new>

#include "platform/platform.h"

namespace vtl::platform {

class DeadlineListener : public Listener {
 public:
  std::unique_ptr<Connection> Accept(Millis timeout, IoStatus& status) final {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    try {
      for (;;) {
        std::unique_ptr<Connection> accepted =
            AcceptOnce(std::chrono::ceil<Millis>(deadline - Clock::now()), status);
        if (accepted != nullptr || status != IoStatus::Interrupted) return accepted;
        if (Clock::now() >= deadline) {
          status = IoStatus::TimedOut;
          return nullptr;
        }
      }
    } catch (const std::bad_alloc&) {
      status = IoStatus::Failed;
      return nullptr;
    }
  }

 protected:
  // One wait of up to `left` (which may be negative: then none) and one
  // connection taken: the connection with status Ok, or null with
  // TimedOut, Failed, or Interrupted when woken for nothing.
  virtual std::unique_ptr<Connection> AcceptOnce(Millis left, IoStatus& status) = 0;
};

}  // namespace vtl::platform
