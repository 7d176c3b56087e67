// The process-wide worker pool that runs batch fetches. Holds no Python object.
#pragma once

#include <cstddef>
#include <functional>

namespace tavlo {

// Calls body(begin, end) on contiguous sub-ranges that together cover [0, n) exactly once, spread
// over the process-wide worker pool (started on first use, one worker per processor available to
// the process), and returns when every sub-range is done. An exception thrown by body is caught on
// the worker; the first one is rethrown here after all work has stopped. Calls from several
// threads take turns on the pool; a call made from inside body runs inline on its thread.
void parallel_for(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body);

// Number of threads that parallel_for uses, the calling thread included (starting the pool if
// needed): one per processor that the process may run on.
std::size_t worker_count();

// True on the pool's workers, and on a thread while its parallel_for runs: a parallel_for made
// now would run inline on this thread.
bool inside_parallel_for();

namespace testing {

// Sets the number of threads (the caller included) of the pool when it next starts: before the
// first parallel_for of the process, or in a child after fork(). 0 means one per processor.
void set_pool_threads(std::size_t threads);

}  // namespace testing

}  // namespace tavlo
