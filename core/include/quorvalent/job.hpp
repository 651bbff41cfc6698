// One long operation's control: how many threads it may use, a cancellation flag that any
// thread may raise, progress counters, and how much memory its result may take. Every
// operation that can run long (joins, batches of queries, table builds) takes one, runs its
// work through parallel_for (codes/parallel.hpp), and stops soon after cancel().
#ifndef QUORVALENT_JOB_HPP
#define QUORVALENT_JOB_HPP

#include <atomic>
#include <cstddef>
#include <limits>
#include <new>
#include <stdexcept>

namespace quorvalent::codes {

class job {
   public:
    explicit job(unsigned threads = 1, std::size_t result_budget = std::numeric_limits<std::size_t>::max()) noexcept
        : result_budget(result_budget), threads_(threads ? threads : 1) {}
    // A part of `parent` that may fail on its own (a trial with a smaller budget): cancelling the
    // parent cancels it, while its own failure leaves the parent running.
    job(const job& parent, std::size_t result_budget) noexcept
        : result_budget(result_budget), threads_(parent.threads_), parent_(&parent) {}
    job(const job&) = delete;  // a job is shared by reference; see the constructor above for a part
    job& operator=(const job&) = delete;

    unsigned threads() const noexcept { return threads_; }

    void cancel() noexcept { cancelled_.store(true, std::memory_order_relaxed); }
    bool cancelled() const noexcept {
        return cancelled_.load(std::memory_order_relaxed) || (parent_ != nullptr && parent_->cancelled());
    }

    // Progress in work units: the total is set once the work is laid out.
    void set_total(std::size_t units) noexcept { total_.store(units, std::memory_order_relaxed); }
    void advance(std::size_t units = 1) noexcept { done_.fetch_add(units, std::memory_order_relaxed); }
    std::size_t done() const noexcept { return done_.load(std::memory_order_relaxed); }
    std::size_t total() const noexcept { return total_.load(std::memory_order_relaxed); }

    // The most bytes a result may take. A result that would pass it raises result_too_large
    // before the memory is asked for: the operating system may otherwise grant more than the
    // machine has and end the process later.
    std::size_t result_budget = std::numeric_limits<std::size_t>::max();

   private:
    unsigned threads_;
    const job* parent_ = nullptr;
    std::atomic<bool> cancelled_{false};
    std::atomic<std::size_t> done_{0}, total_{0};
};

// Thrown by an operation whose job was cancelled; no partial result is ever returned.
struct operation_cancelled : std::exception {
    const char* what() const noexcept override { return "operation cancelled"; }
};

// A worker thread could not be started; the threads that had started have been joined.
struct thread_start_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A result larger than the job's result_budget.
struct result_too_large : std::bad_alloc {
    explicit result_too_large(std::size_t bytes) noexcept : bytes(bytes) {}
    const char* what() const noexcept override { return "result larger than the memory allowed"; }
    std::size_t bytes;
};

}  // namespace quorvalent::codes

#endif
