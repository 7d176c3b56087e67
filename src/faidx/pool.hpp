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

// Work that the calling thread hands out as it prepares it: [0, n) in chunks of `chunk` items
// (the last one shorter), [k * chunk, min(n, (k + 1) * chunk)). produce(begin, end) runs on the
// calling thread for one chunk after the other, in order; once it returns true, consume(begin,
// end) of that chunk runs once, on a worker while the caller produces later chunks, or on the
// caller once all are produced. produce returns false to stop the call: the chunks produced
// that nobody has taken yet are dropped, and when parallel_stream returns no consume is running
// or will run. Returns true when every chunk was produced and consumed, false when produce
// stopped. An exception from either is rethrown the same way (the first one; the rest of the
// work is dropped). Nested inside a body, or with no pool, each chunk is produced and then
// consumed inline.
bool parallel_stream(std::size_t n, std::size_t chunk,
                     const std::function<bool(std::size_t, std::size_t)>& produce,
                     const std::function<void(std::size_t, std::size_t)>& consume);

// Number of threads that parallel_for uses, the calling thread included (starting the pool if
// needed): one per processor that the process may run on.
std::size_t worker_count();

// parallel_for, unless another call holds the pool: then false at once, and body is not run.
// For work that may be done otherwise, which must not wait behind a long batch.
bool parallel_for_if_idle(std::size_t n,
                          const std::function<void(std::size_t, std::size_t)>& body);

// True on the pool's workers, and on a thread while its parallel_for runs: a parallel_for made
// now would run inline on this thread.
bool inside_parallel_for();

// Sets the number of threads (the caller included) of the pool when it next starts: before the
// first parallel_for of the process, or in a child after fork(). 0 means one per processor that
// the process may use (its affinity mask, capped by a cgroup CPU quota).
void set_pool_threads(std::size_t threads);

}  // namespace tavlo
