#include "workflows/ParallelFor.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace dotcal {

void ParallelFor(std::size_t count, int threads, const std::function<void(std::size_t)>& work,
                 const std::function<void()>& done) {
  if (count == 0) return;
  std::vector<std::exception_ptr> failures(count);
  std::atomic<std::size_t> next{0};
  std::mutex doneMutex;
  // Each thread takes the next item until none is left.
  const auto drain = [&] {
    for (std::size_t i = next++; i < count; i = next++) {
      try {
        work(i);
      } catch (...) {
        failures[i] = std::current_exception();
      }
      const std::lock_guard<std::mutex> lock(doneMutex);
      done();
    }
  };
  const std::size_t extra =
      std::min<std::size_t>(count, static_cast<std::size_t>(std::max(threads, 1))) - 1;
  std::vector<std::thread> pool;
  pool.reserve(extra);
  for (std::size_t t = 0; t < extra; ++t) pool.emplace_back(drain);
  drain();
  for (std::thread& thread : pool) thread.join();
  for (const std::exception_ptr& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
}

int HardwareThreads() { return std::max(1, static_cast<int>(std::thread::hardware_concurrency())); }

}  // namespace dotcal
