// The clock every composition test reads: Thursday 9 March 2023,
// 01:42:58.123 in Japan (+0900).
#pragma once

#include "platform/platform.h"

namespace vtl::test {

inline LocalTime FixedTime() {
  return LocalTime{.year = 2023,
                   .month = 3,
                   .day = 9,
                   .dayOfWeek = 4,
                   .hour = 1,
                   .minute = 42,
                   .second = 58,
                   .millisecond = 123,
                   .utcOffsetMinutes = 540};
}

}  // namespace vtl::test
