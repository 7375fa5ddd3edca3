// The program's start on the monotonic clock.
#include "run_time.h"

#include <chrono>

namespace ql::flash {

double SecondsSinceStart() {
  static const auto start = std::chrono::steady_clock::now();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace ql::flash
