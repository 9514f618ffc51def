#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace quillet::platform {

using TimerId = std::uint64_t;
// Never handed out, so callers can use it for "no timer running".
inline constexpr TimerId kNoTimer = 0;

// The main loop as the engine sees it. The desktop client adapts Qt's loop to this,
// quillet-cli and the tests use SimpleEventLoop.
class EventLoop {
 public:
  virtual ~EventLoop();

  // Any thread. Runs `fn` on the loop thread; posts run strictly in the order they were
  // queued, whichever threads queued them.
  virtual void Post(std::function<void()> fn, const void* owner = nullptr) = 0;

  // Any thread. Pending posts of `owner` are destroyed without running, so nothing queued
  // for an object outlives it. A post that is already running is not affected.
  virtual void RemovePostsFromOwner(const void* owner) = 0;

  // Loop thread only, like the timers of any GUI toolkit. Timers due at the same moment
  // fire in the order they were started. A callback may stop its own timer.
  virtual TimerId StartTimer(std::chrono::milliseconds interval, bool repeating,
                             std::function<void()> fn) = 0;
  // Unknown or already finished ids are ignored.
  virtual void StopTimer(TimerId id) = 0;

  virtual bool IsLoopThread() const = 0;
};

}  // namespace quillet::platform
