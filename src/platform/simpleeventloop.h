#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "platform/clock.h"
#include "platform/eventloop.h"

namespace quillet::platform {

// The loop of quillet-cli and the tests. Whichever thread calls a run function
// (RunUntil, RunFor, ProcessPending) is the loop thread; before the first run it is the
// thread that constructed the loop. The loop must outlive every object that posts to it.
class SimpleEventLoop final : public EventLoop {
 public:
  SimpleEventLoop();
  // `clock` must outlive the loop.
  explicit SimpleEventLoop(Clock& clock);
  ~SimpleEventLoop() override;

  SimpleEventLoop(const SimpleEventLoop&) = delete;
  SimpleEventLoop& operator=(const SimpleEventLoop&) = delete;

  void Post(std::function<void()> fn, const void* owner = nullptr) override;
  void RemovePostsFromOwner(const void* owner) override;
  // A repeating interval is at least 1 ms so a timer cannot starve the loop.
  TimerId StartTimer(std::chrono::milliseconds interval, bool repeating,
                     std::function<void()> fn) override;
  void StopTimer(TimerId id) override;
  bool IsLoopThread() const override;

  // Runs posts and timers until `condition` holds (checked before the first and after
  // every unit of work), Quit() is called or `timeout` has passed. Returns the final value
  // of `condition`.
  bool RunUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);
  void RunFor(std::chrono::milliseconds duration);
  // Any thread. Ends the current run; with none running, the next run returns at once, so
  // a Quit racing with the start of a run is not lost.
  void Quit();
  // Runs the timers due now and the posts queued at the call, without waiting. Work they
  // add waits for the next call. Returns the number of units run.
  std::size_t ProcessPending();

 private:
  using TimePoint = Clock::TimePoint;
  struct PendingPost {
    std::function<void()> fn;
    const void* owner = nullptr;
  };
  struct Timer {
    TimePoint due;
    std::chrono::milliseconds interval;
    bool repeating;
    // Shared so a callback that stops its own timer does not destroy itself mid-call.
    std::shared_ptr<std::function<void()>> fn;
  };
  class RunScope;

  bool RunOneTimer(TimePoint now);
  bool RunOnePost();
  bool TakeQuit();

  Clock* clock_;
  std::atomic<std::thread::id> loop_thread_;
  std::atomic<int> run_depth_{0};

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<PendingPost> posts_;  // guarded by mutex_
  bool quit_ = false;              // guarded by mutex_

  // Loop thread only.
  TimerId last_timer_id_ = kNoTimer;
  std::map<TimerId, Timer> timers_;
  // Ordered by due time, then by id, which is start order.
  std::set<std::pair<TimePoint, TimerId>> schedule_;
};

}  // namespace quillet::platform
