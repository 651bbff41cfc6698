// The state model: a snapshot answers from its own state however the index changes after it;
// a refused append publishes nothing; readers and a writer run at once.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "codes/parallel.hpp"
#include "index_test_data.hpp"

namespace qc = quorvalent::codes;
using index_tests::make_codes;

namespace {

TEST(State, ASnapshotKeepsItsStateThroughAppendsAndTableBuilds) {
    const auto d = make_codes(64, 20000);
    qc::code_index index(64, {nullptr, 64});
    qc::job j;
    index.append(d.codes.data(), 1000, j);
    const qc::index_snapshot before = index.snapshot();
    const auto q = d.code(3);
    const auto answer = before.within(q, 64);
    // Enough appends to move the codes to a larger store and rebuild the tables many times.
    for (std::size_t at = 1000; at < d.size(); at += 700) index.append(d.code(at), std::min<std::size_t>(700, d.size() - at), j);
    EXPECT_EQ(index.snapshot().size(), d.size());
    EXPECT_EQ(before.size(), 1000u);
    const auto again = before.within(q, 64);
    ASSERT_EQ(again.size(), answer.size());
    for (std::size_t k = 0; k < again.size(); ++k) EXPECT_EQ(again[k].id, answer[k].id);
    std::uint64_t code;
    EXPECT_FALSE(before.code_of(1000, &code));
    EXPECT_TRUE(index.snapshot().code_of(1000, &code));
    EXPECT_EQ(code, d.codes[1000]);
}

TEST(State, ARefusedOrCancelledAppendPublishesNothing) {
    const auto d = make_codes(64, 10000);
    qc::code_index index(64, {nullptr, 1000});
    qc::job j;
    index.append(d.codes.data(), 100, j);
    // Due for a table build, and cancelled before it: nothing changes.
    qc::job cancelled;
    cancelled.cancel();
    EXPECT_THROW(index.append(d.code(100), 5000, cancelled), qc::operation_cancelled);
    EXPECT_EQ(index.snapshot().size(), 100u);
    EXPECT_TRUE(index.snapshot().tables().empty());
    // The next append lands where the refused one would have.
    index.append(d.code(100), 5000, j);
    const qc::index_snapshot s = index.snapshot();
    EXPECT_EQ(s.size(), 5100u);
    std::uint64_t code;
    ASSERT_TRUE(s.code_of(5099, &code));
    EXPECT_EQ(code, d.codes[5099]);
}

// Readers query while a writer appends; every answer is that of some whole state: the codes
// below 2000 are always all there, and every reported code is exact.
TEST(State, ReadersNeverSeeAHalfWrittenState) {
    const auto d = make_codes(64, 60000);
    qc::code_index index(64, {nullptr, 256});
    qc::job j;
    index.append(d.codes.data(), 2000, j);
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    auto reader = [&](unsigned seed) {
        std::mt19937_64 g(seed);
        while (!stop.load()) {
            const std::size_t from = g() % 2000;
            const qc::index_snapshot s = index.snapshot();
            const auto hits = s.within(d.code(from), 3);
            bool self = false;
            for (const auto& h : hits) {
                std::uint64_t c;
                if (!s.code_of(h.id, &c) || index_tests::model_popcount(c ^ d.codes[from]) != h.dist) ++wrong;
                self |= h.id == static_cast<qc::code_id>(from);
            }
            if (!self) ++wrong;
            qc::job pj(1);
            const auto pairs = s.cross_pairs(s, 0, pj);
            if (pairs.size() < s.size()) ++wrong;  // every code pairs with itself
        }
    };
    std::thread r1(reader, 1), r2(reader, 2);
    for (std::size_t at = 2000; at < d.size(); at += 500) index.append(d.code(at), 500, j);
    stop = true;
    r1.join();
    r2.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(Parallel, AWorkersExceptionReachesTheCallerAfterEveryWorkerStopped) {
    qc::job j(4);
    std::atomic<int> running{0}, ran{0};
    EXPECT_THROW(qc::parallel_for(1000, j,
                                  [&](unsigned, std::size_t unit) {
                                      ++running;
                                      ++ran;
                                      if (unit == 10) throw std::runtime_error("unit 10 failed");
                                      // The other units last until the failure cancels the job (at
                                      // most 200 ms each): under wine, the throw's unwinding took
                                      // longer than 990 units of 50 us, and every unit ran.
                                      const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
                                      while (!j.cancelled() && std::chrono::steady_clock::now() < until) {
                                          std::this_thread::sleep_for(std::chrono::microseconds(50));
                                      }
                                      --running;
                                  }),
                 std::runtime_error);
    EXPECT_EQ(running.load(), 1) << "only the failed unit is left unfinished";
    EXPECT_LT(ran.load(), 1000) << "the failure cancelled the rest";
    EXPECT_TRUE(j.cancelled());
}

TEST(Parallel, UnitsRunOnceEachOnAnyNumberOfThreads) {
    for (unsigned threads : {1u, 2u, 7u}) {
        qc::job j(threads);
        std::vector<std::atomic<int>> seen(500);
        qc::parallel_for(seen.size(), j, [&](unsigned worker, std::size_t unit) {
            EXPECT_LT(worker, threads);
            ++seen[unit];
        });
        for (const auto& s : seen) ASSERT_EQ(s.load(), 1);
        EXPECT_EQ(j.done(), seen.size());
    }
}

}  // namespace
