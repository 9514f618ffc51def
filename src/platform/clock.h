#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace quillet::platform {

// Time source of a SimpleEventLoop. It also decides how the idle loop waits, which is what
// lets ManualClock run timer tests without sleeping.
class Clock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  virtual ~Clock();
  virtual TimePoint Now() const = 0;

  // Called with `lock` held; returns once `wake` holds (it is signalled through `cv`) or
  // `until` has come. `until` may be TimePoint::max().
  virtual void WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                         TimePoint until, const std::function<bool()>& wake) = 0;
};

class SteadyClock final : public Clock {
 public:
  TimePoint Now() const override;
  void WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, TimePoint until,
                 const std::function<bool()>& wake) override;

  // Shared default; it has no state.
  static SteadyClock& Instance();
};

// Virtual time: it moves only through Advance() or when an idle loop waits, which jumps it
// straight to the loop's next deadline. Meant for single-threaded timer tests.
class ManualClock final : public Clock {
 public:
  ManualClock() = default;
  explicit ManualClock(TimePoint start) : now_(start) {}

  TimePoint Now() const override;
  void WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, TimePoint until,
                 const std::function<bool()>& wake) override;
  void Advance(std::chrono::steady_clock::duration by);

 private:
  mutable std::mutex mutex_;
  // Not the epoch, so code that treats a zero time point as "unset" is still exercised.
  TimePoint now_{std::chrono::hours(1)};
};

// now + d without overflowing; huge time-outs mean "no deadline".
Clock::TimePoint SaturatingAdd(Clock::TimePoint t, std::chrono::steady_clock::duration d);
Clock::TimePoint SaturatingAdd(Clock::TimePoint t, std::chrono::milliseconds d);

}  // namespace quillet::platform
