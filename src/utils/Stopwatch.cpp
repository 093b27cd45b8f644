#include <chrono>

#include "native64/Utils.h"

namespace Oskelo::CV::Native64::Utils {
namespace {

using Clock = std::chrono::steady_clock;

// The counter: nanoseconds of the monotonic clock as a signed 64-bit count.
std::int64_t ReadCounter() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

constexpr std::int64_t kCountsPerSecond = 1000000000;

}  // namespace

Stopwatch::Stopwatch() : startCount(0), stopCount(0), frequency(kCountsPerSecond) {}

void Stopwatch::Start() { startCount = ReadCounter(); }

void Stopwatch::Stop() { stopCount = ReadCounter(); }

double Stopwatch::GetElapsedTime() const {
  const std::int64_t elapsed = stopCount - startCount;
  return static_cast<double>(elapsed) / static_cast<double>(frequency);
}

double Stopwatch::LIToSecs(const std::int64_t& count) const {
  return static_cast<double>(count) / static_cast<double>(frequency);
}

}  // namespace Oskelo::CV::Native64::Utils
