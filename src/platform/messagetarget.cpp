#include "platform/messagetarget.h"

#include <mutex>
#include <utility>

#include "platform/threadcheck.h"

namespace quillet::platform {

// Shared by the target, its posters and its queued posts, so no post ever points at
// freed memory. Its address is the owner of the target's posts on the loop.
struct MessageTarget::Poster::State {
  State(EventLoop& l, Handler h) : loop(l), handler(std::move(h)) {}

  EventLoop& loop;

  // Held across the check and the loop post, so once the destructor has cleared `alive`
  // no post of this target can still be on its way into the queue.
  std::mutex mutex;
  bool alive = true;  // guarded by mutex

  // Loop thread only.
  Handler handler;
  int dispatching = 0;

  static bool Post(const std::shared_ptr<State>& state, std::uint32_t code, Payload payload);
  static void Deliver(const std::shared_ptr<State>& state, std::uint32_t code, Payload payload);
};

namespace {

// std::function needs a copyable callable; the payload itself is move-only.
struct Message {
  std::uint32_t code;
  Payload payload;
};

}  // namespace

bool MessageTarget::Poster::Post(std::uint32_t code, Payload payload) const {
  return state_ && State::Post(state_, code, std::move(payload));
}

bool MessageTarget::Poster::State::Post(const std::shared_ptr<State>& state, std::uint32_t code,
                                        Payload payload) {
  std::lock_guard lock(state->mutex);
  // A dead target's payload is freed by the posting thread on return.
  if (!state->alive) return false;
  auto message = std::make_shared<Message>(Message{code, std::move(payload)});
  state->loop.Post(
      [state, message = std::move(message)] {
        Deliver(state, message->code, std::move(message->payload));
      },
      state.get());
  return true;
}

void MessageTarget::Poster::State::Deliver(const std::shared_ptr<State>& state, std::uint32_t code,
                                           Payload payload) {
  {
    std::lock_guard lock(state->mutex);
    if (!state->alive) return;
  }
  // The handler may destroy the target; the destructor then leaves the handler to us.
  ++state->dispatching;
  state->handler(code, std::move(payload));
  if (--state->dispatching == 0) {
    std::unique_lock lock(state->mutex);
    if (!state->alive) {
      lock.unlock();
      state->handler = nullptr;
    }
  }
}

MessageTarget::MessageTarget(EventLoop& loop, Handler handler)
    : loop_(loop), state_(std::make_shared<Poster::State>(loop, std::move(handler))) {}

MessageTarget::~MessageTarget() {
  QUILLET_ASSERT_LOOP_THREAD(loop_);
  {
    std::lock_guard lock(state_->mutex);
    state_->alive = false;
  }
  // Frees the payloads now rather than whenever the loop gets to them.
  loop_.RemovePostsFromOwner(state_.get());
  // Posters may keep the state for long; what the handler captured goes with the target.
  if (state_->dispatching == 0) state_->handler = nullptr;
}

void MessageTarget::Post(std::uint32_t code, Payload payload) {
  Poster::State::Post(state_, code, std::move(payload));
}

}  // namespace quillet::platform
