#include "platform/clock.h"

#include <algorithm>

namespace quillet::platform {

Clock::~Clock() = default;

Clock::TimePoint SteadyClock::Now() const {
  return std::chrono::steady_clock::now();
}

void SteadyClock::WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                            TimePoint until, const std::function<bool()>& wake) {
  if (until == TimePoint::max()) {
    cv.wait(lock, wake);
  } else {
    cv.wait_until(lock, until, wake);
  }
}

SteadyClock& SteadyClock::Instance() {
  static SteadyClock clock;
  return clock;
}

Clock::TimePoint ManualClock::Now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

void ManualClock::WaitUntil(std::condition_variable&, std::unique_lock<std::mutex>&,
                            TimePoint until, const std::function<bool()>& wake) {
  if (wake()) return;
  std::lock_guard lock(mutex_);
  now_ = std::max(now_, until);
}

void ManualClock::Advance(std::chrono::steady_clock::duration by) {
  std::lock_guard lock(mutex_);
  now_ = SaturatingAdd(now_, by);
}

Clock::TimePoint SaturatingAdd(Clock::TimePoint t, std::chrono::steady_clock::duration d) {
  if (d <= d.zero()) return t;
  if (d >= Clock::TimePoint::max() - t) return Clock::TimePoint::max();
  return t + d;
}

Clock::TimePoint SaturatingAdd(Clock::TimePoint t, std::chrono::milliseconds d) {
  using Duration = std::chrono::steady_clock::duration;
  // milliseconds::max() does not fit in the clock's nanoseconds.
  if (d >= std::chrono::duration_cast<std::chrono::milliseconds>(Duration::max())) {
    return Clock::TimePoint::max();
  }
  return SaturatingAdd(t, std::chrono::duration_cast<Duration>(d));
}

}  // namespace quillet::platform
