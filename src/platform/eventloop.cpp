#include "platform/eventloop.h"

namespace quillet::platform {

// Out of line so the vtable lives in one object file.
EventLoop::~EventLoop() = default;

}  // namespace quillet::platform
