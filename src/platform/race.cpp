#include "platform/race.h"

#include <algorithm>

#include "platform/attempts.h"

namespace vtl::platform {

RaceOutcome Race(Racer& racer, size_t count, Millis limit, Millis delay) {
  const SteadyTime start = racer.Now();
  const SteadyTime deadline = start + limit;
  std::vector<SteadyTime> began(count, start);
  std::vector<std::string> why(count), what(count);
  std::vector<Millis> within(count, Attempts::kUntimed);  // how long a silent one was waited for
  std::vector<size_t> racing;
  std::vector<Racer::Ended> ended;
  size_t next = 0;
  bool madeSocket = false;
  SteadyTime nextStart = start;
  RaceOutcome outcome;

  auto won = [&](size_t index) {
    for (const size_t other : racing)
      if (other != index) racer.Drop(other);
    outcome.result = 0;
    outcome.winner = index;
    return outcome;
  };
  for (;;) {
    const SteadyTime now = racer.Now();
    const bool mayStart = next < count && racing.size() < kMaxRacing && now < deadline;
    // The next address when its time has come, or at once when nothing is
    // under way.
    if (mayStart && (racing.empty() || now >= nextStart)) {
      const size_t index = next++;
      // The first attempt's time is the limit itself, however late the
      // machine got to it.
      if (index > 0) began[index] = now;
      switch (racer.Begin(index, why[index])) {
        case Racer::Began::Connected:
          return won(index);
        case Racer::Began::Pending:
          madeSocket = true;
          racing.push_back(index);
          nextStart = now + delay;
          break;
        case Racer::Began::NoSocket:
          what[index] = "no socket: ";
          break;
        case Racer::Began::Failed:
          madeSocket = true;
          break;
      }
      continue;
    }
    if (racing.empty() || now >= deadline) break;
    SteadyTime until = deadline;
    if (mayStart) until = std::min(until, nextStart);
    ended.clear();
    racer.Wait(racing, std::chrono::ceil<Millis>(until - now), ended);
    for (const Racer::Ended& e : ended) {
      if (e.connected) return won(e.index);
      racing.erase(std::remove(racing.begin(), racing.end(), e.index), racing.end());
      racer.Drop(e.index);
      // The system's own time-out, should it come first, is reported as ours.
      why[e.index] = e.timedOut ? "no answer" : e.why;
      if (e.timedOut) within[e.index] = std::chrono::ceil<Millis>(racer.Now() - began[e.index]);
      // A failed attempt makes way for the next at once.
      nextStart = racer.Now();
    }
  }
  for (const size_t index : racing) {
    racer.Drop(index);
    why[index] = "no answer";
    within[index] = std::chrono::ceil<Millis>(deadline - began[index]);
  }
  Attempts attempts;
  for (size_t i = 0; i < count; ++i)
    attempts.Failed(racer.Name(i), i < next ? why[i] : "not tried", what[i].c_str(),
                    i < next ? within[i] : limit);
  // 3 only when no address got a socket; one the time left untried might.
  outcome.result = madeSocket || next < count ? 4 : 3;
  outcome.detail = attempts.Text(outcome.result == 3);
  return outcome;
}

}  // namespace vtl::platform
