// parallel_ordered_map on the real pool of this process (sized from the
// environment of the test run): order, in-place results, failures, concurrent
// callers, and how batches are cut into pieces.
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <future>
#include <mutex>
#include <numeric>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "failure/internal_failure.hpp"
#include "parallel/parallel_ordered_map.hpp"
#include "failure/fault_injection.hpp"

namespace {

namespace par = marlinox::parallel;
namespace detail = marlinox::parallel::detail;
using marlinox::InternalFailure;

std::vector<std::size_t> iota(std::size_t n) {
    std::vector<std::size_t> items(n);
    std::iota(items.begin(), items.end(), std::size_t{0});
    return items;
}

// Busy work whose length depends on `units`; the empty asm statement that
// takes the value keeps the loop from being optimised away.
void burn(std::size_t units) {
    std::uint64_t x = units + 1;
    for (std::size_t i = 0; i < units * 64; ++i) x = x * 6364136223846793005ull + 1442695040888963407ull;
    asm volatile("" : : "r"(x) : "memory");
}

std::string thread_name() {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

// Pieces that a batch of n items yields when nobody takes over a piece from
// another worker: the first split comes from outside the pool, so both its
// halves count as moved.
std::size_t pieces_without_stealing(std::size_t len, std::size_t budget, bool moved, std::size_t threads) {
    if (!detail::split_piece(len, budget, moved, threads)) return 1;
    return pieces_without_stealing(len / 2, budget, false, threads) +
           pieces_without_stealing(len - len / 2, budget, false, threads);
}
std::size_t batch_pieces_without_stealing(std::size_t n, std::size_t threads) {
    std::size_t budget = threads;
    if (!detail::split_piece(n, budget, false, threads)) return 1;
    return pieces_without_stealing(n / 2, budget, true, threads) +
           pieces_without_stealing(n - n / 2, budget, true, threads);
}

std::size_t floor_log2(std::size_t x) {
    std::size_t r = 0;
    while (x >>= 1) ++r;
    return r;
}

// --- the piece rule ------------------------------------------------------------

TEST(ParallelPieceRule, Table) {
    std::size_t b = 5;
    EXPECT_FALSE(detail::split_piece(0, b, false, 4));
    EXPECT_FALSE(detail::split_piece(1, b, true, 4));
    EXPECT_EQ(b, 5u);
    EXPECT_TRUE(detail::split_piece(2, b, false, 4));
    EXPECT_EQ(b, 2u);
    b = 0;
    EXPECT_FALSE(detail::split_piece(2, b, false, 4));
    EXPECT_TRUE(detail::split_piece(2, b, true, 4));  // a moved piece gets the pool size again
    EXPECT_EQ(b, 4u);
    b = 100;
    EXPECT_TRUE(detail::split_piece(3, b, true, 4));
    EXPECT_EQ(b, 50u);
    b = 1;
    EXPECT_TRUE(detail::split_piece(1000, b, false, 1));
    EXPECT_EQ(b, 0u);
}

TEST(ParallelPieceRule, PieceCountsForLargeBatches) {
    EXPECT_EQ(batch_pieces_without_stealing(1 << 20, 1), 8u);
    EXPECT_EQ(batch_pieces_without_stealing(1 << 20, 4), 32u);
    EXPECT_EQ(batch_pieces_without_stealing(1 << 20, 255), 1024u);
    for (std::size_t t = 1; t <= 255; ++t) {
        const std::size_t pieces = batch_pieces_without_stealing(1 << 20, t);
        EXPECT_EQ(pieces, std::size_t{1} << (floor_log2(t) + 3)) << "T=" << t;
        EXPECT_GE(pieces, 4 * t + 4) << "T=" << t;
        EXPECT_LE(pieces, std::max<std::size_t>(8 * t, 8)) << "T=" << t;
    }
}

TEST(ParallelPieceRule, NeverMorePiecesThanItems) {
    for (std::size_t t : {1u, 2u, 3u, 4u, 7u, 8u, 64u, 255u})
        for (std::size_t n = 1; n <= 3000; ++n)
            ASSERT_LE(batch_pieces_without_stealing(n, t), n) << "T=" << t << " N=" << n;
}

// --- pieces' results -------------------------------------------------------------

struct ReleaseLog {
    std::vector<std::pair<std::size_t, std::size_t>> calls;
    detail::BatchOps ops() {
        return {this, [](void*, std::size_t, std::size_t) {},
                [](void* self, std::size_t first, std::size_t count) noexcept {
                    static_cast<ReleaseLog*>(self)->calls.emplace_back(first, count);
                }};
    }
};

TEST(ParallelResults, AdjacentRangesJoin) {
    ReleaseLog log;
    const auto ops = log.ops();
    const auto joined = detail::join_written({4, 3}, {7, 5}, ops);
    EXPECT_EQ(joined.start, 4u);
    EXPECT_EQ(joined.count, 8u);
    EXPECT_TRUE(log.calls.empty());
}

TEST(ParallelResults, RangesWithAGapDropTheRightOne) {
    ReleaseLog log;
    const auto ops = log.ops();
    const auto kept = detail::join_written({4, 2}, {7, 5}, ops);
    EXPECT_EQ(kept.start, 4u);
    EXPECT_EQ(kept.count, 2u);
    ASSERT_EQ(log.calls.size(), 1u);
    EXPECT_EQ(log.calls[0], std::make_pair(std::size_t{7}, std::size_t{5}));
}

TEST(ParallelResults, TotalWritesMessage) {
    try {
        detail::fail_total_writes(5, 3);
        FAIL() << "no failure";
    } catch (const InternalFailure& failure) {
        EXPECT_STREQ(failure.what(), "expected 5 total writes, but got 3");
    }
}

TEST(ParallelResults, WriterRefusesToPassItsSlots) {
    alignas(int) unsigned char storage[2 * sizeof(int)];
    int* slots = reinterpret_cast<int*>(storage);
    detail::SlotWriter<int> writer(slots, 1);
    writer.emplace_with([] { return 7; });
    EXPECT_EQ(writer.written(), 1u);
    EXPECT_EQ(slots[0], 7);
    try {
        writer.emplace_with([] { return 8; });
        FAIL() << "no failure";
    } catch (const InternalFailure& failure) {
        EXPECT_STREQ(failure.what(), "too many values pushed to consumer");
    }
    EXPECT_EQ(writer.written(), 1u);
}

// --- the map -------------------------------------------------------------------

TEST(ParallelMap, ResultsInInputOrderForManySizes) {
    std::vector<std::size_t> sizes;
    for (std::size_t n = 0; n <= 70; ++n) sizes.push_back(n);
    for (std::size_t n : {100u, 127u, 128u, 129u, 255u, 256u, 257u, 1000u, 1023u, 4096u, 100003u})
        sizes.push_back(n);
    for (std::size_t n : sizes) {
        const auto items = iota(n);
        auto out = par::parallel_ordered_map(std::span<const std::size_t>(items),
                                             [](const std::size_t& i) { return i * 3 + 1; });
        ASSERT_EQ(out.size(), n);
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(out[i], i * 3 + 1) << "N=" << n << " i=" << i;
    }
}

TEST(ParallelMap, ResultsInInputOrderWithUnevenCosts) {
    std::mt19937 rng(12345);
    for (int shape = 0; shape < 4; ++shape) {
        for (std::size_t n : {2u, 3u, 17u, 64u, 333u, 2000u}) {
            std::vector<std::size_t> cost(n);
            for (std::size_t i = 0; i < n; ++i) {
                switch (shape) {
                    case 0: cost[i] = i < n / 8 ? 400 : 1; break;       // slow front
                    case 1: cost[i] = i >= n - n / 8 ? 400 : 1; break;  // slow back
                    case 2: cost[i] = rng() % 200; break;               // random
                    default: cost[i] = i % 7 == 0 ? 300 : 0; break;     // spikes
                }
            }
            const auto items = iota(n);
            auto out = par::parallel_ordered_map(std::span<const std::size_t>(items), [&](const std::size_t& i) {
                burn(cost[i]);
                return std::to_string(i);
            });
            ASSERT_EQ(out.size(), n);
            for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(out[i], std::to_string(i));
        }
    }
}

// A result that can be neither copied nor moved: it can only be built where it stays.
struct Pinned {
    explicit Pinned(std::size_t v) : value(v), self(this) {}
    Pinned(const Pinned&) = delete;
    Pinned& operator=(const Pinned&) = delete;
    std::size_t value;
    const Pinned* self;
};

TEST(ParallelMap, ResultsAreBuiltInTheirSlots) {
    const auto items = iota(5000);
    auto out = par::parallel_ordered_map(std::span<const std::size_t>(items),
                                         [](const std::size_t& i) { return Pinned(i); });
    ASSERT_EQ(out.size(), items.size());
    EXPECT_EQ(out.capacity(), items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        ASSERT_EQ(out[i].value, i);
        ASSERT_EQ(out[i].self, &out[i]);
    }
}

// Counts live results and the constructions of each slot's value.
struct Census {
    explicit Census(std::size_t n) : built(n) {}
    std::vector<std::atomic<int>> built;
    std::atomic<long> live{0};
};

struct Tracked {
    Tracked(Census& c, std::size_t i) : census(&c), index(i) {
        census->built[i].fetch_add(1);
        census->live.fetch_add(1);
    }
    Tracked(const Tracked&) = delete;
    Tracked& operator=(const Tracked&) = delete;
    ~Tracked() { census->live.fetch_sub(1); }
    Census* census;
    std::size_t index;
};

TEST(ParallelMap, EveryItemWrittenExactlyOnce) {
    for (std::size_t n : {0u, 1u, 2u, 3u, 31u, 32u, 33u, 1000u, 65537u}) {
        Census census(n);
        std::vector<std::atomic<int>> calls(n);
        const auto items = iota(n);
        {
            auto out = par::parallel_ordered_map(std::span<const std::size_t>(items), [&](const std::size_t& i) {
                calls[i].fetch_add(1);
                return Tracked(census, i);
            });
            ASSERT_EQ(out.size(), n);
            EXPECT_EQ(census.live.load(), static_cast<long>(n));
            for (std::size_t i = 0; i < n; ++i) {
                ASSERT_EQ(calls[i].load(), 1) << "N=" << n << " i=" << i;
                ASSERT_EQ(census.built[i].load(), 1) << "N=" << n << " i=" << i;
                ASSERT_EQ(out[i].index, i);
            }
        }
        EXPECT_EQ(census.live.load(), 0) << "N=" << n;
    }
}

// --- failures ------------------------------------------------------------------

TEST(ParallelMap, FirstFailingItemInInputOrderWins) {
    for (std::size_t n : {8u, 10u, 16u, 100u, 1000u}) {
        for (int round = 0; round < 50; ++round) {
            const auto items = iota(n);
            try {
                par::parallel_ordered_map(std::span<const std::size_t>(items), [&](const std::size_t& i) {
                    // Item 7 fails at once; the earlier items take a while, so
                    // item 3's failure usually comes later in time.
                    if (i < 7) burn(round % 2 ? 50 : 0);
                    if (i == 3) throw InternalFailure("item 3");
                    if (i == 7) throw InternalFailure("item 7");
                    return i;
                });
                FAIL() << "no failure";
            } catch (const InternalFailure& failure) {
                ASSERT_STREQ(failure.what(), "item 3") << "N=" << n;
            }
        }
    }
}

TEST(ParallelMap, ManyFailingItemsReportTheFirst) {
    const std::size_t n = 3000;
    const auto items = iota(n);
    for (std::size_t first : {0u, 1u, 2u, 1499u, 1500u, 2999u}) {
        try {
            par::parallel_ordered_map(std::span<const std::size_t>(items), [&](const std::size_t& i) {
                if (i >= first && i % 2 == first % 2) throw std::runtime_error("item " + std::to_string(i));
                return i;
            });
            FAIL() << "no failure";
        } catch (const std::runtime_error& failure) {
            EXPECT_EQ(std::string(failure.what()), "item " + std::to_string(first));
        }
    }
}

TEST(ParallelMap, AnyExceptionTypeComesBack) {
    const auto items = iota(64);
    EXPECT_THROW(par::parallel_ordered_map(std::span<const std::size_t>(items),
                                           [](const std::size_t& i) -> int {
                                               if (i == 40) throw 42;
                                               return 0;
                                           }),
                 int);
    EXPECT_THROW(par::parallel_ordered_map(std::span<const std::size_t>(items.data(), 1),
                                           [](const std::size_t&) -> int { throw std::logic_error("x"); }),
                 std::logic_error);
}

TEST(ParallelMap, FailureReleasesWrittenResults) {
    for (std::size_t n : {1u, 2u, 5u, 64u, 5000u}) {
        for (std::size_t failing : {std::size_t{0}, n / 2, n - 1}) {
            Census census(n);
            const auto items = iota(n);
            std::atomic<std::size_t> calls{0};
            try {
                par::parallel_ordered_map(std::span<const std::size_t>(items), [&](const std::size_t& i) {
                    calls.fetch_add(1);
                    if (i == failing) throw InternalFailure("item " + std::to_string(i));
                    return Tracked(census, i);
                });
                FAIL() << "no failure";
            } catch (const InternalFailure& failure) {
                EXPECT_EQ(std::string(failure.what()), "item " + std::to_string(failing));
            }
            EXPECT_EQ(census.live.load(), 0) << "N=" << n << " failing=" << failing;
            for (std::size_t i = 0; i < n; ++i) ASSERT_LE(census.built[i].load(), 1);
            // The failing run stops; pieces split off from it still run.
            EXPECT_LE(calls.load(), n);
        }
    }
}

TEST(ParallelMap, AFailingRunStopsAtItsFailingItem) {
    // A batch of 1 is one run on the calling thread: nothing after the failure runs.
    std::size_t calls = 0;
    const std::vector<int> one = {1};
    EXPECT_THROW(par::parallel_ordered_map(std::span<const int>(one),
                                           [&](const int&) -> int {
                                               ++calls;
                                               throw InternalFailure("x");
                                           }),
                 InternalFailure);
    EXPECT_EQ(calls, 1u);
}

// The caller's own work runs once on the calling thread, whatever the batch
// size; its failure comes back only when the batch succeeded, after the
// batch's results are released.
TEST(ParallelMap, CallerWorkRunsOnceAndTheBatchFailureComesFirst) {
    const auto caller = std::this_thread::get_id();
    for (std::size_t n : {0u, 1u, 2u, 64u, 5000u}) {
        for (int failing : {0, 1, 2}) {  // nothing, the caller's work, the batch and the caller's work
            Census census(n);
            const auto items = iota(n);
            int runs = 0;
            try {
                auto out = par::parallel_ordered_map(
                    std::span<const std::size_t>(items),
                    [&](const std::size_t& i) {
                        if (failing == 2 && i == n / 2) throw InternalFailure("item");
                        return Tracked(census, i);
                    },
                    [&] {
                        ++runs;
                        EXPECT_EQ(std::this_thread::get_id(), caller);
                        if (failing != 0) throw std::runtime_error("caller");
                    });
                EXPECT_EQ(failing, 0);
                ASSERT_EQ(out.size(), n);
            } catch (const InternalFailure&) {
                EXPECT_EQ(failing, 2);
                EXPECT_GT(n, 0u);
            } catch (const std::runtime_error&) {
                EXPECT_TRUE(failing == 1 || (failing == 2 && n == 0)) << "N=" << n;
            }
            EXPECT_EQ(runs, 1) << "N=" << n;
            EXPECT_EQ(census.live.load(), 0) << "N=" << n << " failing=" << failing;
        }
    }
}

// --- where batches run ---------------------------------------------------------

TEST(ParallelMap, SmallBatchesRunOnTheCallingThread) {
    const auto caller = std::this_thread::get_id();
    int calls = 0;
    auto none = par::parallel_ordered_map(std::span<const std::size_t>(), [&](const std::size_t& i) {
        ++calls;
        return i;
    });
    EXPECT_EQ(none.size(), 0u);
    EXPECT_EQ(calls, 0);
    const std::vector<std::size_t> one = {41};
    auto out = par::parallel_ordered_map(std::span<const std::size_t>(one), [&](const std::size_t& i) {
        EXPECT_EQ(std::this_thread::get_id(), caller);
        return i + 1;
    });
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], 42u);
}

TEST(ParallelMap, LargerBatchesRunOnlyOnWorkers) {
    const auto caller = std::this_thread::get_id();
    for (std::size_t n : {2u, 3u, 4u, 9u, 100u, 10000u}) {
        const auto items = iota(n);
        std::mutex mutex;
        std::set<std::string> names;
        std::atomic<bool> on_caller{false};
        par::parallel_ordered_map(std::span<const std::size_t>(items), [&](const std::size_t& i) {
            if (std::this_thread::get_id() == caller) on_caller = true;
            if (i % 50 == 0) {
                std::lock_guard lock(mutex);
                names.insert(thread_name());
            }
            return i;
        });
        EXPECT_FALSE(on_caller) << "N=" << n;
        for (const std::string& name : names) EXPECT_EQ(name.rfind("marlinox-wk-", 0), 0u) << name;
    }
}

TEST(ParallelMap, NestedBatchFromAnItem) {
    const auto outer = iota(40);
    auto out = par::parallel_ordered_map(std::span<const std::size_t>(outer), [](const std::size_t& i) {
        const auto inner = iota(i);
        auto sums = par::parallel_ordered_map(std::span<const std::size_t>(inner),
                                              [i](const std::size_t& j) { return i * 1000 + j; });
        std::size_t total = 0;
        for (std::size_t j = 0; j < sums.size(); ++j) total += sums[j];
        return total;
    });
    for (std::size_t i = 0; i < outer.size(); ++i) {
        std::size_t expected = 0;
        for (std::size_t j = 0; j < i; ++j) expected += i * 1000 + j;
        ASSERT_EQ(out[i], expected);
    }
}

// --- several callers -----------------------------------------------------------

TEST(ParallelMap, ConcurrentCallersShareThePool) {
    constexpr int kCallers = 8;
    std::vector<std::thread> callers;
    std::atomic<int> mismatches{0};
    for (int c = 0; c < kCallers; ++c) {
        callers.emplace_back([c, &mismatches] {
            std::mt19937 rng(static_cast<unsigned>(c));
            for (int round = 0; round < 150; ++round) {
                const std::size_t n = rng() % 3 == 0 ? rng() % 5 : rng() % 3000;
                const auto items = iota(n);
                const bool fails = round % 10 == 9 && n > 10;
                try {
                    auto out = par::parallel_ordered_map(std::span<const std::size_t>(items),
                                                         [c, n, fails](const std::size_t& i) {
                                                             if (fails && (i == n / 3 || i == n - 1))
                                                                 throw InternalFailure(std::to_string(i));
                                                             if (i % 97 == 0) burn(20);
                                                             return i * 10 + static_cast<std::size_t>(c);
                                                         });
                    if (fails || out.size() != n) ++mismatches;
                    for (std::size_t i = 0; i < out.size(); ++i)
                        if (out[i] != i * 10 + static_cast<std::size_t>(c)) ++mismatches;
                } catch (const InternalFailure& failure) {
                    if (!fails || failure.message() != std::to_string(n / 3)) ++mismatches;
                }
            }
        });
    }
    for (auto& t : callers) t.join();
    EXPECT_EQ(mismatches.load(), 0);
}

TEST(ParallelMap, EachCallerWaitsOnlyForItsOwnBatch) {
    if (par::current_num_threads() < 2) GTEST_SKIP() << "needs two workers";
    std::atomic<bool> release{false};
    std::atomic<bool> blocked{false};
    auto slow = std::async(std::launch::async, [&] {
        const auto items = iota(2);
        return par::parallel_ordered_map(std::span<const std::size_t>(items), [&](const std::size_t& i) {
                   if (i == 0) {
                       blocked = true;
                       const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
                       while (!release && std::chrono::steady_clock::now() < deadline)
                           std::this_thread::sleep_for(std::chrono::microseconds(100));
                   }
                   return i;
               }).size();
    });
    while (!blocked) std::this_thread::sleep_for(std::chrono::microseconds(100));
    auto quick = std::async(std::launch::async, [] {
        const auto items = iota(50);
        return par::parallel_ordered_map(std::span<const std::size_t>(items),
                                         [](const std::size_t& i) { return i; })
            .size();
    });
    // Generous bounds on a busy machine, not timings: the slow item waits two
    // minutes at most, the quick batch is given one.
    const bool quick_done = quick.wait_for(std::chrono::minutes(1)) == std::future_status::ready;
    const bool slow_still_running = !release && slow.wait_for(std::chrono::seconds(0)) != std::future_status::ready;
    release = true;
    EXPECT_TRUE(quick_done);
    EXPECT_TRUE(slow_still_running);
    EXPECT_EQ(quick.get(), 50u);
    EXPECT_EQ(slow.get(), 2u);
}

// --- pieces on the real pool (needs the test hooks) --------------------------------

#ifdef MARLINOX_TEST_HOOKS

class NoStealing : public ::testing::Test {
protected:
    void SetUp() override { marlinox::fault_injection::set_stealing(false); }
    void TearDown() override { marlinox::fault_injection::set_stealing(true); }
};

TEST_F(NoStealing, LargeBatchIsCutIntoTheNominalPieceCount) {
    const std::size_t t = par::current_num_threads();
    const std::size_t nominal = std::size_t{1} << (floor_log2(t) + 3);
    for (std::size_t n : {nominal, nominal + 1, 10 * nominal + 3, std::size_t{100000}}) {
        const auto items = iota(n);
        std::mutex mutex;
        std::set<std::thread::id> threads;
        marlinox::fault_injection::reset_pieces_run();
        auto out = par::parallel_ordered_map(std::span<const std::size_t>(items), [&](const std::size_t& i) {
            std::lock_guard lock(mutex);
            threads.insert(std::this_thread::get_id());
            return i;
        });
        EXPECT_EQ(marlinox::fault_injection::pieces_run(), nominal) << "N=" << n << " T=" << t;
        EXPECT_EQ(threads.size(), 1u);  // nobody took a piece over
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(out[i], i);
    }
}

TEST_F(NoStealing, SmallBatchesNeverYieldMorePiecesThanItems) {
    const std::size_t t = par::current_num_threads();
    for (std::size_t n = 0; n <= 300; ++n) {
        const auto items = iota(n);
        marlinox::fault_injection::reset_pieces_run();
        par::parallel_ordered_map(std::span<const std::size_t>(items), [](const std::size_t& i) { return i; });
        const std::size_t pieces = marlinox::fault_injection::pieces_run();
        EXPECT_EQ(pieces, batch_pieces_without_stealing(n, t)) << "N=" << n;
        EXPECT_LE(pieces, std::max<std::size_t>(n, 1)) << "N=" << n;
    }
}

TEST(ParallelPieces, WithStealingNeverMorePiecesThanItems) {
    for (std::size_t n : {2u, 3u, 5u, 8u, 13u, 64u, 100u, 1000u, 20000u}) {
        const auto items = iota(n);
        for (int round = 0; round < 20; ++round) {
            marlinox::fault_injection::reset_pieces_run();
            par::parallel_ordered_map(std::span<const std::size_t>(items), [](const std::size_t& i) {
                burn(i % 5);
                return i;
            });
            ASSERT_LE(marlinox::fault_injection::pieces_run(), n) << "N=" << n;
        }
    }
}

TEST(ParallelPieces, SlowPiecesAreTakenOverByIdleWorkers) {
    const std::size_t t = par::current_num_threads();
    if (t < 2) GTEST_SKIP() << "needs two workers";
    // Item 0 holds its thread until another thread has run an item: only an
    // idle worker taking pieces over lets the batch finish. However late that
    // worker gets a processor, the test waits for it; the deadline only
    // bounds a pool that never hands work over.
    const std::size_t n = 4096;
    const auto items = iota(n);
    std::mutex mutex;
    std::condition_variable another_thread_ran;
    std::set<std::thread::id> threads;
    bool taken_over = true;
    par::parallel_ordered_map(std::span<const std::size_t>(items), [&](const std::size_t& i) {
        std::unique_lock lock(mutex);
        if (threads.insert(std::this_thread::get_id()).second) another_thread_ran.notify_all();
        if (i == 0)
            taken_over = another_thread_ran.wait_for(lock, std::chrono::minutes(2),
                                                     [&] { return threads.size() >= 2; });
        return i;
    });
    EXPECT_TRUE(taken_over) << "no other thread ran an item while item 0 waited";
    EXPECT_GE(threads.size(), 2u);
}

#endif  // MARLINOX_TEST_HOOKS

}  // namespace
