// The one way the index runs work on several threads. Work is cut into units; threads take the
// next unit until none is left or the job is cancelled. The calling thread is one of them.
//
// Nothing escapes a worker: the first exception any unit throws cancels the job and is thrown
// again in the calling thread once every worker has stopped. A thread that cannot be started
// (too many threads, too little memory) ends the run the same way, with thread_start_error.
#ifndef QUORVALENT_CODES_PARALLEL_HPP
#define QUORVALENT_CODES_PARALLEL_HPP

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "quorvalent/job.hpp"

namespace quorvalent::codes {

// Threads worth starting for `units` units of work.
inline unsigned threads_for(const job& j, std::size_t units) noexcept {
    return static_cast<unsigned>(std::max<std::size_t>(1, std::min<std::size_t>(j.threads(), units)));
}

// Runs task(worker, unit) for every unit in [0, units); worker is 0..threads_for(j, units)-1
// and indexes per-thread state. Throws operation_cancelled when the job is cancelled before
// every unit ran.
template <class Task>
void parallel_for(std::size_t units, job& j, Task&& task) {
    std::atomic<std::size_t> next{0};
    std::exception_ptr failure;
    std::mutex failure_mutex;
    auto worker = [&](unsigned id) noexcept {
        try {
            for (;;) {
                if (j.cancelled()) return;
                const std::size_t unit = next.fetch_add(1, std::memory_order_relaxed);
                if (unit >= units) return;
                task(id, unit);
                j.advance();
            }
        } catch (...) {
            std::lock_guard<std::mutex> lock(failure_mutex);
            if (!failure) failure = std::current_exception();
            j.cancel();
        }
    };
    const unsigned threads = threads_for(j, units);
    std::vector<std::thread> pool;
    try {
        pool.reserve(threads - 1);
        for (unsigned k = 1; k < threads; ++k) pool.emplace_back(worker, k);
    } catch (const std::exception& e) {
        j.cancel();
        for (auto& t : pool) t.join();
        throw thread_start_error(std::string("could not start a worker thread: ") + e.what());
    }
    worker(0);
    for (auto& t : pool) t.join();
    if (failure) std::rethrow_exception(failure);
    if (j.cancelled()) throw operation_cancelled();
}

// For loops inside one unit that may run long (a bucket of a million equal codes): throws
// operation_cancelled once the job is cancelled.
inline void check_cancelled(const job& j) {
    if (j.cancelled()) throw operation_cancelled();
}

}  // namespace quorvalent::codes

#endif
