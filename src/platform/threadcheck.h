#pragma once

// Debug-only thread affinity checks: wrong-thread calls are the bugs that are hardest to
// find later, so entry points that belong to one thread say so.

namespace quillet::platform::detail {
[[noreturn]] void FailThreadCheck(const char* expr, const char* file, int line);
}  // namespace quillet::platform::detail

#ifdef NDEBUG
// sizeof keeps the argument "used" without evaluating it.
#define QUILLET_ASSERT_LOOP_THREAD(loop) static_cast<void>(sizeof((loop).IsLoopThread()))
#else
#define QUILLET_ASSERT_LOOP_THREAD(loop) \
  ((loop).IsLoopThread()                 \
       ? static_cast<void>(0)            \
       : ::quillet::platform::detail::FailThreadCheck(#loop, __FILE__, __LINE__))
#endif
