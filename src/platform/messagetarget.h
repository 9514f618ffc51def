#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/eventloop.h"
#include "platform/payload.h"

namespace quillet::platform {

// An object on a loop that other threads send numbered messages to (the codes are the
// users' constants, e.g. XM_STANZA). Messages arrive on the loop thread in posting order.
//
// The target is destroyed on the loop thread, before its loop. Destruction drops every
// pending message and frees its payload; the handler is never called afterwards. A thread
// that may outlive the target posts through a Poster, never through the target itself.
class MessageTarget {
 public:
  using Handler = std::function<void(std::uint32_t code, Payload payload)>;

  // A copyable handle for other threads. Posting after the target is gone is harmless:
  // the message is dropped and its payload freed at once.
  class Poster {
   public:
    Poster() = default;
    // Any thread. False when the target is gone (or the poster is empty).
    bool Post(std::uint32_t code, Payload payload = {}) const;

   private:
    friend class MessageTarget;
    struct State;
    explicit Poster(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
  };

  MessageTarget(EventLoop& loop, Handler handler);
  ~MessageTarget();

  MessageTarget(const MessageTarget&) = delete;
  MessageTarget& operator=(const MessageTarget&) = delete;

  // Any thread, while the target exists.
  void Post(std::uint32_t code, Payload payload = {});
  Poster GetPoster() const { return Poster(state_); }
  EventLoop& loop() const { return loop_; }

 private:
  EventLoop& loop_;
  std::shared_ptr<Poster::State> state_;
};

}  // namespace quillet::platform
