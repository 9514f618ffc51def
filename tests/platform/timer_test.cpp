#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/simpleeventloop.h"

namespace quillet::platform {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::Pair;

// Virtual time: the idle loop jumps to its next deadline, so these run without waiting.
class TimerTest : public ::testing::Test {
 protected:
  std::int64_t ElapsedMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(clock_.Now() - start_).count();
  }

  ManualClock clock_;
  const Clock::TimePoint start_ = clock_.Now();
  SimpleEventLoop loop_{clock_};
};

TEST_F(TimerTest, FireInDueOrderAndInStartOrderWhenDueTogether) {
  std::vector<std::pair<std::string, std::int64_t>> fired;
  auto record = [&](std::string name) {
    return [this, &fired, name] { fired.emplace_back(name, ElapsedMs()); };
  };
  loop_.StartTimer(30ms, false, record("30"));
  loop_.StartTimer(10ms, false, record("10a"));
  loop_.StartTimer(20ms, false, record("20"));
  loop_.StartTimer(10ms, false, record("10b"));
  loop_.StartTimer(0ms, false, record("0"));
  clock_.Advance(5ms);
  // Started later but due at the same moment as "20": it goes after it.
  loop_.StartTimer(15ms, false, record("20late"));

  loop_.RunFor(100ms);

  EXPECT_THAT(fired, ElementsAre(Pair("0", 5), Pair("10a", 10), Pair("10b", 10), Pair("20", 20),
                                 Pair("20late", 20), Pair("30", 30)));
  EXPECT_EQ(ElapsedMs(), 105);
}

TEST_F(TimerTest, RepeatingTimerRepeatsUntilItStopsItself) {
  std::vector<std::int64_t> at;
  TimerId id = kNoTimer;
  id = loop_.StartTimer(10ms, true, [&] {
    at.push_back(ElapsedMs());
    if (at.size() == 3) loop_.StopTimer(id);
  });
  EXPECT_NE(id, kNoTimer);

  loop_.RunFor(1s);

  EXPECT_THAT(at, ElementsAre(10, 20, 30));
}

TEST_F(TimerTest, StoppedTimerNeverFiresAndOneShotFiresOnce) {
  int once = 0;
  int stopped = 0;
  loop_.StartTimer(10ms, false, [&] { ++once; });
  const TimerId id = loop_.StartTimer(10ms, false, [&] { ++stopped; });
  loop_.StopTimer(id);
  loop_.StopTimer(id);        // twice is harmless
  loop_.StopTimer(kNoTimer);  // so is an id never handed out

  loop_.RunFor(1s);

  EXPECT_EQ(once, 1);
  EXPECT_EQ(stopped, 0);
}

TEST_F(TimerTest, LateRepeatingTimerSkipsMissedBeats) {
  int fired = 0;
  loop_.StartTimer(10ms, true, [&] { ++fired; });
  clock_.Advance(55ms);
  EXPECT_EQ(loop_.ProcessPending(), 1u);
  EXPECT_EQ(fired, 1);
  // Next beat is one interval after the late one, not a burst of the five missed.
  clock_.Advance(9ms);
  EXPECT_EQ(loop_.ProcessPending(), 0u);
  clock_.Advance(1ms);
  EXPECT_EQ(loop_.ProcessPending(), 1u);
  EXPECT_EQ(fired, 2);
}

TEST(RealClockTimerTest, TimerDeadlineWakesTheWaitingLoop) {
  SimpleEventLoop loop;
  bool fired = false;
  const auto start = std::chrono::steady_clock::now();
  loop.StartTimer(20ms, false, [&] { fired = true; });
  ASSERT_TRUE(loop.RunUntil([&] { return fired; }, 60s));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, 20ms);  // never early
  EXPECT_LT(elapsed, 10s);
}

}  // namespace
}  // namespace quillet::platform
