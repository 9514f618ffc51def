#include "platform/messagetarget.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "platform/simpleeventloop.h"

namespace quillet::platform {
namespace {

using namespace std::chrono_literals;

constexpr auto kLongTimeout = 60s;
// Codes are the users' constants; these stand in for them.
constexpr std::uint32_t kItem = 1024;
constexpr std::uint32_t kDestroy = 1025;

struct Item {
  int thread;
  int seq;
};

// Destructions may happen on any thread, hence atomic.
class Counted {
 public:
  explicit Counted(std::atomic<int>* destroyed) : destroyed_(destroyed) {}
  ~Counted() { ++*destroyed_; }
  Counted(const Counted&) = delete;
  Counted& operator=(const Counted&) = delete;

 private:
  std::atomic<int>* destroyed_;
};

TEST(MessageTargetTest, DeliversOnTheLoopThreadInPostingOrder) {
  constexpr int kThreads = 3;
  constexpr int kPerThread = 2000;
  SimpleEventLoop loop;
  std::vector<std::vector<int>> seen(kThreads);
  int total = 0;
  bool off_thread = false;
  MessageTarget target(loop, [&](std::uint32_t code, Payload payload) {
    off_thread = off_thread || !loop.IsLoopThread();
    ASSERT_EQ(code, kItem);
    std::unique_ptr<Item> item = payload.Take<Item>();
    ASSERT_NE(item, nullptr);
    seen[item->thread].push_back(item->seq);
    ++total;
  });
  {
    std::vector<std::jthread> posters;
    for (int t = 0; t < kThreads; ++t) {
      posters.emplace_back([&target, t] {
        for (int i = 0; i < kPerThread; ++i) target.Post(kItem, Payload::Make<Item>(t, i));
      });
    }
    ASSERT_TRUE(loop.RunUntil([&] { return total == kThreads * kPerThread; }, kLongTimeout));
  }
  EXPECT_FALSE(off_thread);
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(seen[t].size(), static_cast<std::size_t>(kPerThread));
    for (int i = 0; i < kPerThread; ++i) ASSERT_EQ(seen[t][i], i) << "thread " << t;
  }
}

TEST(MessageTargetTest, DestroyedTargetFreesPendingPayloadsAndIsNeverCalled) {
  ManualClock clock;
  SimpleEventLoop loop(clock);
  std::atomic<int> destroyed{0};
  int handled = 0;
  auto handler_state = std::make_shared<int>(0);
  std::weak_ptr<int> handler_alive = handler_state;
  auto target = std::make_unique<MessageTarget>(
      loop, [&handled, handler_state](std::uint32_t, Payload) { ++handled; });
  handler_state.reset();
  const MessageTarget::Poster poster = target->GetPoster();
  for (int i = 0; i < 5; ++i) target->Post(kItem, Payload::Make<Counted>(&destroyed));
  std::jthread([&] {
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(poster.Post(kItem, Payload::Make<Counted>(&destroyed)));
  }).join();
  int unrelated = 0;
  loop.Post([&] { ++unrelated; });
  EXPECT_EQ(destroyed, 0);

  target.reset();
  EXPECT_EQ(destroyed, 10);              // freed by the destruction itself, not later by the loop
  EXPECT_TRUE(handler_alive.expired());  // even though a poster still holds on

  // A poster that outlives its target drops the message and frees the payload at once.
  EXPECT_FALSE(poster.Post(kItem, Payload::Make<Counted>(&destroyed)));
  EXPECT_EQ(destroyed, 11);

  EXPECT_EQ(loop.ProcessPending(), 1u);  // only the unrelated post is left
  EXPECT_EQ(unrelated, 1);
  EXPECT_EQ(handled, 0);
  EXPECT_FALSE(MessageTarget::Poster().Post(kItem));
}

TEST(MessageTargetTest, HandlerMayDestroyItsOwnTarget) {
  ManualClock clock;
  SimpleEventLoop loop(clock);
  std::atomic<int> destroyed{0};
  std::vector<std::uint32_t> handled;
  auto handler_state = std::make_shared<int>(0);
  std::weak_ptr<int> handler_alive = handler_state;
  std::unique_ptr<MessageTarget> target;
  target = std::make_unique<MessageTarget>(loop, [&, handler_state](std::uint32_t code, Payload) {
    handled.push_back(code);
    if (code == kDestroy) target.reset();
    ++*handler_state;  // still usable after its target is gone
  });
  handler_state.reset();
  target->Post(kItem, Payload::Make<Counted>(&destroyed));
  target->Post(kDestroy, Payload::Make<Counted>(&destroyed));
  target->Post(kItem, Payload::Make<Counted>(&destroyed));

  while (loop.ProcessPending() > 0) {
  }

  EXPECT_EQ(target, nullptr);
  EXPECT_EQ(handled, (std::vector<std::uint32_t>{kItem, kDestroy}));
  EXPECT_EQ(destroyed, 3);
  EXPECT_TRUE(handler_alive.expired());  // the handler went with its target
}

TEST(MessageTargetTest, PostingWhileTheTargetIsDestroyedIsSafe) {
  SimpleEventLoop loop;
  std::atomic<int> made{0};
  std::atomic<int> destroyed{0};
  for (int round = 0; round < 300; ++round) {
    int delivered = 0;
    bool target_alive = true;
    int after_death = 0;
    auto target = std::make_unique<MessageTarget>(loop, [&](std::uint32_t, Payload) {
      if (!target_alive) ++after_death;
      ++delivered;
    });
    const MessageTarget::Poster poster = target->GetPoster();
    // Keeps posting until the target is gone, so some posts race with the destructor.
    std::jthread producer([&poster, &made, &destroyed](std::stop_token stop) {
      do {
        ++made;
      } while (poster.Post(kItem, Payload::Make<Counted>(&destroyed)) && !stop.stop_requested());
    });
    const bool got_some = loop.RunUntil([&] { return delivered >= 3; }, kLongTimeout);
    target_alive = false;
    target.reset();
    ++made;
    const bool posted_to_dead = poster.Post(kItem, Payload::Make<Counted>(&destroyed));
    if (posted_to_dead) producer.request_stop();  // it would never see the target die
    producer.join();
    ASSERT_TRUE(got_some) << "round " << round;
    ASSERT_FALSE(posted_to_dead) << "round " << round;
    loop.ProcessPending();
    ASSERT_EQ(after_death, 0) << "round " << round;
    ASSERT_EQ(made.load(), destroyed.load()) << "round " << round;
  }
}

}  // namespace
}  // namespace quillet::platform
