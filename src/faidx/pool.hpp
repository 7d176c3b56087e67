// The process-wide worker pool that runs batch fetches. Holds no Python object.
#pragma once

#include <cstddef>
#include <functional>

namespace tavlo {

// Calls body(begin, end) on contiguous sub-ranges that together cover [0, n) exactly once, spread
// over the process-wide worker pool (started on first use, one worker per processor available to
// the process), and returns when every sub-range is done. An exception thrown by body is caught on
// the worker; the first one is rethrown here after all work has stopped.
void parallel_for(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body);

// Number of threads that parallel_for uses (starting the pool if needed).
std::size_t worker_count();

}  // namespace tavlo
