#include "platform/simpleeventloop.h"

#include <algorithm>
#include <iterator>

#include "platform/threadcheck.h"

namespace quillet::platform {

// Claims the loop thread for the outermost run; nested runs must stay on it.
class SimpleEventLoop::RunScope {
 public:
  explicit RunScope(SimpleEventLoop& loop) : loop_(loop) {
    if (loop_.run_depth_.fetch_add(1) == 0) {
      loop_.loop_thread_.store(std::this_thread::get_id());
    } else {
      QUILLET_ASSERT_LOOP_THREAD(loop_);
    }
  }
  ~RunScope() { loop_.run_depth_.fetch_sub(1); }
  RunScope(const RunScope&) = delete;
  RunScope& operator=(const RunScope&) = delete;

 private:
  SimpleEventLoop& loop_;
};

SimpleEventLoop::SimpleEventLoop() : SimpleEventLoop(SteadyClock::Instance()) {}

SimpleEventLoop::SimpleEventLoop(Clock& clock)
    : clock_(&clock), loop_thread_(std::this_thread::get_id()) {}

SimpleEventLoop::~SimpleEventLoop() = default;

void SimpleEventLoop::Post(std::function<void()> fn, const void* owner) {
  std::lock_guard lock(mutex_);
  posts_.push_back(PendingPost{std::move(fn), owner});
  // Notified under the lock: once the loop can see the post, this thread no longer touches
  // the loop, so the loop may be destroyed right after running it.
  wake_.notify_one();
}

void SimpleEventLoop::RemovePostsFromOwner(const void* owner) {
  std::deque<PendingPost> dropped;
  {
    std::lock_guard lock(mutex_);
    auto keep = std::stable_partition(posts_.begin(), posts_.end(),
                                      [owner](const PendingPost& p) { return p.owner != owner; });
    std::move(keep, posts_.end(), std::back_inserter(dropped));
    posts_.erase(keep, posts_.end());
  }
  // Destroyed outside the lock: a captured object's destructor may post again.
}

TimerId SimpleEventLoop::StartTimer(std::chrono::milliseconds interval, bool repeating,
                                    std::function<void()> fn) {
  QUILLET_ASSERT_LOOP_THREAD(*this);
  interval =
      std::max(interval, repeating ? std::chrono::milliseconds(1) : std::chrono::milliseconds(0));
  const TimerId id = ++last_timer_id_;
  const TimePoint due = SaturatingAdd(clock_->Now(), interval);
  timers_.emplace(
      id, Timer{due, interval, repeating, std::make_shared<std::function<void()>>(std::move(fn))});
  schedule_.emplace(due, id);
  return id;
}

void SimpleEventLoop::StopTimer(TimerId id) {
  QUILLET_ASSERT_LOOP_THREAD(*this);
  auto it = timers_.find(id);
  if (it == timers_.end()) return;
  schedule_.erase({it->second.due, id});
  timers_.erase(it);
}

bool SimpleEventLoop::IsLoopThread() const {
  return loop_thread_.load() == std::this_thread::get_id();
}

bool SimpleEventLoop::RunUntil(const std::function<bool()>& condition,
                               std::chrono::milliseconds timeout) {
  RunScope scope(*this);
  const TimePoint deadline = SaturatingAdd(clock_->Now(), timeout);
  for (;;) {
    if (condition()) return true;
    if (TakeQuit()) break;
    // Timers first: they fire at most once per due time, so they cannot starve posts,
    // while a busy post queue could starve them.
    if (RunOneTimer(clock_->Now()) || RunOnePost()) continue;

    std::unique_lock lock(mutex_);
    if (!posts_.empty() || quit_) continue;
    if (clock_->Now() >= deadline) break;
    TimePoint wake_at = deadline;
    if (!schedule_.empty()) wake_at = std::min(wake_at, schedule_.begin()->first);
    clock_->WaitUntil(wake_, lock, wake_at, [this] { return !posts_.empty() || quit_; });
  }
  // Another thread may have made it true meanwhile.
  return condition();
}

void SimpleEventLoop::RunFor(std::chrono::milliseconds duration) {
  RunUntil([] { return false; }, duration);
}

void SimpleEventLoop::Quit() {
  std::lock_guard lock(mutex_);
  quit_ = true;
  wake_.notify_one();
}

std::size_t SimpleEventLoop::ProcessPending() {
  RunScope scope(*this);
  std::size_t batch;
  {
    std::lock_guard lock(mutex_);
    batch = posts_.size();
  }
  const TimePoint now = clock_->Now();
  std::size_t ran = 0;
  // A repeating timer is always rescheduled after `now`, so this ends.
  while (RunOneTimer(now)) ++ran;
  // Fewer than `batch` may be left if posts were removed meanwhile.
  while (batch-- > 0 && RunOnePost()) ++ran;
  return ran;
}

bool SimpleEventLoop::RunOneTimer(TimePoint now) {
  if (schedule_.empty() || schedule_.begin()->first > now) return false;
  const auto [due, id] = *schedule_.begin();
  schedule_.erase(schedule_.begin());
  auto it = timers_.find(id);
  std::shared_ptr<std::function<void()>> fn = it->second.fn;
  if (it->second.repeating) {
    // A late loop skips the beats it missed instead of firing them in a burst.
    TimePoint next = SaturatingAdd(due, it->second.interval);
    if (next <= now) next = SaturatingAdd(now, it->second.interval);
    it->second.due = next;
    schedule_.emplace(next, id);
  } else {
    timers_.erase(it);
  }
  (*fn)();
  return true;
}

bool SimpleEventLoop::RunOnePost() {
  PendingPost post;
  {
    std::lock_guard lock(mutex_);
    if (posts_.empty()) return false;
    post = std::move(posts_.front());
    posts_.pop_front();
  }
  post.fn();
  return true;
}

bool SimpleEventLoop::TakeQuit() {
  std::lock_guard lock(mutex_);
  return std::exchange(quit_, false);
}

}  // namespace quillet::platform
