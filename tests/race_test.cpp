// The connect race on a clock of its own: which address is tried when, who
// wins, and what the detail says when none does. The system's sockets are
// raced in session_test.cpp.
#include "platform/race.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vtl::platform {
namespace {

// An address as the fake sockets play it: connects or is refused `afterMs`
// after its attempt began, or never answers; or no socket can be made.
struct Script {
  enum Kind { Connects, Refused, Silent, NoSocket } kind;
  long long afterMs = 0;
};

class FakeRacer final : public Racer {
 public:
  explicit FakeRacer(std::vector<Script> scripts) : scripts_(std::move(scripts)) {}

  SteadyTime Now() override { return SteadyTime{} + Millis{now_}; }

  Began Begin(size_t i, std::string& why) override {
    starts.append(starts.empty() ? "" : " ").append(std::to_string(now_));
    const Script& s = scripts_[i];
    ends_.resize(scripts_.size(), -1);
    if (s.kind == Script::NoSocket) return why = "too many open files", Began::NoSocket;
    if (s.kind != Script::Silent && s.afterMs == 0) {
      if (s.kind == Script::Connects) return Began::Connected;
      return why = "connection refused", Began::Failed;
    }
    if (s.kind != Script::Silent) ends_[i] = now_ + s.afterMs;
    return Began::Pending;
  }

  void Wait(const std::vector<size_t>& racing, Millis timeout, std::vector<Ended>& ended) override {
    long long first = now_ + timeout.count();
    for (size_t i : racing)
      if (ends_[i] >= 0 && ends_[i] < first) first = ends_[i];
    now_ = first;
    for (size_t i : racing)
      if (ends_[i] == now_)
        ended.push_back({i, scripts_[i].kind == Script::Connects, false, "connection refused"});
  }

  std::string Name(size_t i) override { return std::string(1, static_cast<char>('a' + i)); }

  void Drop(size_t i) override {
    dropped.append(dropped.empty() ? "" : " ").append(std::to_string(i));
  }

  std::string starts, dropped;  // when each attempt began (ms); which were closed

 private:
  std::vector<Script> scripts_;
  std::vector<long long> ends_;
  long long now_ = 0;
};

// `n` addresses scripted alike, then `rest`.
std::vector<Script> Alike(size_t n, Script script, std::vector<Script> rest = {}) {
  std::vector<Script> all(n, script);
  all.insert(all.end(), rest.begin(), rest.end());
  return all;
}

TEST(Race, TriesTheNextAddressWhileTheFirstIsSilent) {
  using S = Script;
  const struct {
    const char* what;
    std::vector<Script> scripts;
    long long limitMs;
    int result;
    size_t winner;
    const char* starts;
    const char* dropped;
    const char* detail;
  } kCases[] = {
      {"first silent", {{S::Silent}, {S::Connects, 10}}, 30000, 0, 1, "0 250", "0", ""},
      {"first refused: the next at once",
       {{S::Refused, 5}, {S::Connects, 10}},
       30000,
       0,
       1,
       "0 5",
       "0",
       ""},
      {"refused on the spot", {{S::Refused}, {S::Connects}}, 30000, 0, 1, "0 0", "", ""},
      {"first slow, yet before the next began",
       {{S::Connects, 100}, {S::Connects, 1}},
       30000,
       0,
       0,
       "0",
       "",
       ""},
      {"a later one overtakes",
       {{S::Connects, 400}, {S::Connects, 50}, {S::Silent}},
       30000,
       0,
       1,
       "0 250",
       "0",
       ""},
      {"IPv4 only, one address", {{S::Connects, 3}}, 30000, 0, 0, "0", "", ""},
      {"connected at once while another is under way",
       {{S::Silent}, {S::Connects}},
       30000,
       0,
       1,
       "0 250",
       "0",
       ""},
      {"no time left at all", {{S::Silent}}, 0, 4, 0, "", "", "a not tried within 0 s"},
      {"all silent: one limit for the whole",
       {{S::Silent}, {S::Silent}, {S::Silent}},
       1000,
       4,
       0,
       "0 250 500",
       "0 1 2",
       "a no answer within 1 s; b no answer within 0.75 s; c no answer within 0.5 s"},
      {"refused and silent, and one never reached",
       {{S::Refused, 20}, {S::Silent}, {S::Silent}, {S::Silent}},
       300,
       4,
       0,
       "0 20 270",
       "0 1 2",
       "a connection refused; b no answer within 0.28 s; c no answer within 0.03 s; d not tried "
       "within 0.3 s"},
      {"past the first eight, the rest counted by reason, a wait's by its kind",
       Alike(9, {S::Refused}, Alike(1, {S::NoSocket}, Alike(5, {S::Silent}))), 600, 4, 0,
       "0 0 0 0 0 0 0 0 0 0 0 250 500", "10 11 12",
       "a connection refused; b connection refused; c connection refused; d connection refused; "
       "e connection refused; f connection refused; g connection refused; h connection refused; "
       "and 7 more: 1 connection refused, 1 no socket: too many open files, 3 no answer within "
       "0.1 to 0.6 s, 2 not tried within 0.6 s"},
      {"past the first eight, all for one reason", Alike(10, {S::Refused}), 30000, 4, 0,
       "0 0 0 0 0 0 0 0 0 0", "",
       "a connection refused; b connection refused; c connection refused; d connection refused; "
       "e connection refused; f connection refused; g connection refused; h connection refused; "
       "and 2 more: 2 connection refused"},
      {"no socket anywhere",
       {{S::NoSocket}, {S::NoSocket}},
       30000,
       3,
       0,
       "0 0",
       "",
       "too many open files"},
  };
  for (const auto& c : kCases) {
    FakeRacer racer(c.scripts);
    const RaceOutcome outcome = Race(racer, c.scripts.size(), Millis{c.limitMs});
    EXPECT_EQ(c.result, outcome.result) << c.what;
    if (c.result == 0) {
      EXPECT_EQ(c.winner, outcome.winner) << c.what;
    }
    EXPECT_EQ(c.starts, racer.starts) << c.what;
    EXPECT_EQ(c.dropped, racer.dropped) << c.what;
    EXPECT_EQ(c.detail, outcome.detail) << c.what;
  }
}

TEST(Race, FamiliesTakeTurnsFromTheFirstAddresss) {
  auto family = [](const std::string& a) { return a.find(':') != std::string::npos; };
  using V = std::vector<std::string>;
  EXPECT_EQ((V{"::1", "10.0.0.1", "::2", "10.0.0.2", "::3"}),
            Interleaved(V{"::1", "::2", "::3", "10.0.0.1", "10.0.0.2"}, family));
  EXPECT_EQ((V{"10.0.0.1", "::1", "10.0.0.2"}),
            Interleaved(V{"10.0.0.1", "10.0.0.2", "::1"}, family));
  EXPECT_EQ((V{"10.0.0.1", "10.0.0.2"}), Interleaved(V{"10.0.0.1", "10.0.0.2"}, family));
  EXPECT_EQ(V{}, Interleaved(V{}, family));
}

}  // namespace
}  // namespace vtl::platform
