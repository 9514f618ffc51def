#include "platform/simpleeventloop.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/threadcheck.h"

namespace quillet::platform {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;

// Far above any real wake-up; only a loop that misses the wake-up comes near it.
constexpr auto kLongTimeout = 60s;
constexpr auto kPromptly = 10s;

// Counts when the last copy of a posted callable goes away.
class DestroyCounter {
 public:
  explicit DestroyCounter(std::function<void()> on_destroy) : on_destroy_(std::move(on_destroy)) {}
  ~DestroyCounter() { on_destroy_(); }
  DestroyCounter(const DestroyCounter&) = delete;
  DestroyCounter& operator=(const DestroyCounter&) = delete;

 private:
  std::function<void()> on_destroy_;
};

TEST(SimpleEventLoopTest, KeepsEachThreadsOrderUnderConcurrentPosting) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 5000;
  SimpleEventLoop loop;
  std::vector<std::vector<int>> seen(kThreads);  // loop thread only
  int total = 0;
  std::latch start(kThreads);
  std::vector<std::jthread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int i = 0; i < kPerThread; ++i) {
        loop.Post([&seen, &total, t, i] {
          seen[t].push_back(i);
          ++total;
        });
      }
    });
  }
  ASSERT_TRUE(loop.RunUntil([&] { return total == kThreads * kPerThread; }, kLongTimeout));
  posters.clear();
  EXPECT_EQ(loop.ProcessPending(), 0u);
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(seen[t].size(), static_cast<std::size_t>(kPerThread)) << "thread " << t;
    for (int i = 0; i < kPerThread; ++i) ASSERT_EQ(seen[t][i], i) << "thread " << t;
  }
}

TEST(SimpleEventLoopTest, PostThatHappensAfterAnotherRunsAfterIt) {
  SimpleEventLoop loop;
  for (int round = 0; round < 50; ++round) {
    std::string order;
    std::latch first_posted(1);
    std::jthread a([&] {
      loop.Post([&] { order += 'a'; });
      first_posted.count_down();
    });
    std::jthread b([&] {
      first_posted.wait();
      loop.Post([&] { order += 'b'; });
    });
    ASSERT_TRUE(loop.RunUntil([&] { return order.size() == 2; }, kLongTimeout));
    ASSERT_EQ(order, "ab") << "round " << round;
  }
}

TEST(SimpleEventLoopTest, PostFromAnotherThreadWakesWaitingLoop) {
  SimpleEventLoop loop;
  // The poster starts from inside the loop, so it nearly always posts while the loop
  // already waits; several rounds make a missed wake-up certain to show.
  for (int round = 0; round < 20; ++round) {
    bool done = false;
    std::jthread poster;
    loop.Post([&] { poster = std::jthread([&] { loop.Post([&] { done = true; }); }); });
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(loop.RunUntil([&] { return done; }, kLongTimeout)) << "round " << round;
    ASSERT_LT(std::chrono::steady_clock::now() - start, kPromptly) << "round " << round;
  }
}

TEST(SimpleEventLoopTest, QuitFromAnotherThreadEndsRunAndIsNotLostBeforeARun) {
  SimpleEventLoop loop;
  std::jthread quitter;
  loop.Post([&] { quitter = std::jthread([&] { loop.Quit(); }); });
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(loop.RunUntil([] { return false; }, kLongTimeout));
  EXPECT_LT(std::chrono::steady_clock::now() - start, kPromptly);
  quitter.join();

  loop.Quit();
  start = std::chrono::steady_clock::now();
  loop.RunFor(kLongTimeout);
  EXPECT_LT(std::chrono::steady_clock::now() - start, kPromptly);
}

TEST(SimpleEventLoopTest, RemovePostsFromOwnerDestroysThemWithoutRunning) {
  ManualClock clock;
  SimpleEventLoop loop(clock);
  int a = 0;
  int b = 0;
  std::vector<std::string> ran;
  int destroyed = 0;
  auto post = [&](const void* owner, std::string name) {
    auto token = std::make_shared<DestroyCounter>([&destroyed] { ++destroyed; });
    loop.Post([&ran, name, token] { ran.push_back(name); }, owner);
  };
  post(&a, "a1");
  post(&b, "b1");
  post(nullptr, "n1");
  post(&a, "a2");
  post(&b, "b2");

  loop.RemovePostsFromOwner(&a);
  EXPECT_EQ(destroyed, 2);
  EXPECT_EQ(loop.ProcessPending(), 3u);
  EXPECT_THAT(ran, ElementsAre("b1", "n1", "b2"));
  EXPECT_EQ(destroyed, 5);
}

TEST(SimpleEventLoopTest, RemovedPostMayPostFromItsDestructor) {
  ManualClock clock;
  SimpleEventLoop loop(clock);
  int owner = 0;
  bool follow_up_ran = false;
  {
    auto token =
        std::make_shared<DestroyCounter>([&] { loop.Post([&] { follow_up_ran = true; }); });
    loop.Post([token] {}, &owner);
  }
  loop.RemovePostsFromOwner(&owner);  // must not deadlock on the loop's own lock
  EXPECT_EQ(loop.ProcessPending(), 1u);
  EXPECT_TRUE(follow_up_ran);
}

TEST(SimpleEventLoopTest, ProcessPendingRunsOnlyWhatIsDueNow) {
  ManualClock clock;
  SimpleEventLoop loop(clock);
  std::vector<std::string> log;
  loop.StartTimer(10ms, false, [&] { log.push_back("timer"); });
  loop.Post([&] {
    log.push_back("post");
    loop.Post([&] { log.push_back("later"); });
  });
  EXPECT_EQ(loop.ProcessPending(), 1u);
  EXPECT_THAT(log, ElementsAre("post"));

  clock.Advance(10ms);
  EXPECT_EQ(loop.ProcessPending(), 2u);
  EXPECT_THAT(log, ElementsAre("post", "timer", "later"));
  EXPECT_EQ(loop.ProcessPending(), 0u);
}

TEST(SimpleEventLoopTest, RunUntilReturnsConditionAtTimeout) {
  ManualClock clock;
  SimpleEventLoop loop(clock);
  const auto start = clock.Now();
  EXPECT_FALSE(loop.RunUntil([] { return false; }, 5s));
  EXPECT_EQ(clock.Now() - start, 5s);

  int runs = 0;
  loop.Post([&] { ++runs; });
  loop.Post([&] { ++runs; });
  // Checked after each unit of work, so the second post is left for later.
  EXPECT_TRUE(loop.RunUntil([&] { return runs == 1; }, 5s));
  EXPECT_EQ(loop.ProcessPending(), 1u);
  EXPECT_EQ(runs, 2);
}

TEST(SimpleEventLoopTest, LoopThreadIsTheThreadThatRuns) {
  SimpleEventLoop loop;
  EXPECT_TRUE(loop.IsLoopThread());  // the constructing thread until a run starts
  bool inside = false;
  std::latch checked(1);
  std::jthread runner([&] { loop.RunUntil([] { return false; }, kLongTimeout); });
  loop.Post([&] {
    inside = loop.IsLoopThread();
    checked.count_down();
  });
  checked.wait();
  EXPECT_TRUE(inside);
  EXPECT_FALSE(loop.IsLoopThread());
  loop.Quit();
}

TEST(ThreadCheckDeathTest, TimerCallOffTheLoopThreadAborts) {
#ifdef NDEBUG
  GTEST_SKIP() << "thread checks are compiled out with NDEBUG";
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  SimpleEventLoop loop;
  QUILLET_ASSERT_LOOP_THREAD(loop);  // passes on the loop thread
  EXPECT_DEATH(std::jthread([&] { loop.StartTimer(1ms, false, [] {}); }), "off the loop thread");
#endif
}

}  // namespace
}  // namespace quillet::platform
