#include "platform/threadcheck.h"

#include <cstdio>
#include <cstdlib>

namespace quillet::platform::detail {

void FailThreadCheck(const char* expr, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: called off the loop thread of %s\n", file, line, expr);
  std::abort();
}

}  // namespace quillet::platform::detail
