#pragma once

#include <cstddef>
#include <functional>

namespace dotcal {

// Runs work(0), ..., work(count - 1) on up to `threads` threads (at least one; the calling thread
// when it is 1), each item exactly once, and calls done() after each item, one call at a time.
// Items must not share mutable state. When items throw, every item still runs and the exception
// of the lowest item is rethrown, so that a failing run reports what a run on one thread reports.
void ParallelFor(std::size_t count, int threads, const std::function<void(std::size_t)>& work,
                 const std::function<void()>& done);

// The number of threads the machine runs at once (1 when it cannot say).
int HardwareThreads();

}  // namespace dotcal
