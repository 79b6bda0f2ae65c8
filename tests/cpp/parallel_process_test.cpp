// Checks of the process-wide pool that need a process of their own: the pool
// size is read from the environment once per process, and a pool that failed
// to start stays failed. Each check runs in a freshly executed copy of this
// test binary (GoogleTest's "threadsafe" death-test style re-executes the
// binary for just this test), sets the environment there, and reports by its
// exit status: 0 when every check held, otherwise 1 with the reason on stderr.
#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "failure/internal_failure.hpp"
#include "parallel/parallel_ordered_map.hpp"
#include "parallel/pool_size.hpp"
#include "failure/fault_injection.hpp"

namespace {

namespace par = marlinox::parallel;
using marlinox::InternalFailure;

void check(bool ok, const std::string& what) {
    if (ok) return;
    std::fprintf(stderr, "check failed: %s\n", what.c_str());
    std::exit(1);
}

// Threads of this process named like pool workers.
std::size_t worker_threads() {
    std::size_t count = 0;
    DIR* dir = opendir("/proc/self/task");
    if (!dir) return 0;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string name;
        std::getline(comm, name);
        if (name.rfind("marlinox-wk-", 0) == 0) ++count;
    }
    closedir(dir);
    return count;
}

void set_env(const char* name, const char* value) {
    if (value) setenv(name, value, 1);
    else unsetenv(name);
}

std::vector<std::size_t> iota(std::size_t n) {
    std::vector<std::size_t> items(n);
    std::iota(items.begin(), items.end(), std::size_t{0});
    return items;
}

// Pool size in a fresh process with the given variables (nullptr: unset).
std::size_t pool_size_with(const char* num_threads, const char* rs_num_cpus) {
    set_env("RAYON_NUM_THREADS", num_threads);
    set_env("RAYON_RS_NUM_CPUS", rs_num_cpus);
    const std::size_t size = par::current_num_threads();
    check(worker_threads() == size, "worker threads " + std::to_string(worker_threads()) +
                                        " == pool size " + std::to_string(size));
    return size;
}

bool pool_running() {
#ifdef MARLINOX_TEST_HOOKS
    return marlinox::fault_injection::pool_running();
#else
    return worker_threads() != 0;
#endif
}

class ParallelProcess : public ::testing::Test {
protected:
    void SetUp() override {
        saved_style_ = GTEST_FLAG_GET(death_test_style);
        GTEST_FLAG_SET(death_test_style, "threadsafe");
    }
    void TearDown() override { GTEST_FLAG_SET(death_test_style, saved_style_); }

private:
    std::string saved_style_;
};

#define EXPECT_IN_FRESH_PROCESS(...) \
    EXPECT_EXIT(                     \
        {                            \
            __VA_ARGS__;             \
            std::exit(0);            \
        },                           \
        ::testing::ExitedWithCode(0), "")

TEST_F(ParallelProcess, OneWorkerRunsEveryLargerBatch) {
    EXPECT_IN_FRESH_PROCESS({
        check(pool_size_with("1", nullptr) == 1, "RAYON_NUM_THREADS=1 gives 1");
        const auto caller = std::this_thread::get_id();
        for (std::size_t n : {2u, 3u, 10u, 1000u, 100000u}) {
            const auto items = iota(n);
            std::atomic<bool> on_caller{false};
            auto out = par::parallel_ordered_map(std::span<const std::size_t>(items), [&](const std::size_t& i) {
                if (std::this_thread::get_id() == caller) on_caller = true;
                return i * 2;
            });
            check(!on_caller, "batch of " + std::to_string(n) + " stays off the calling thread");
            check(out.size() == n, "size");
            for (std::size_t i = 0; i < n; ++i) check(out[i] == i * 2, "order");
        }
        const std::vector<std::size_t> one = {5};
        auto single = par::parallel_ordered_map(std::span<const std::size_t>(one), [&](const std::size_t& i) {
            check(std::this_thread::get_id() == caller, "a batch of one runs on the calling thread");
            return i;
        });
        check(single.size() == 1 && single[0] == 5, "single result");
    });
}

TEST_F(ParallelProcess, EmptyBatchCreatesThePool) {
    EXPECT_IN_FRESH_PROCESS({
        set_env("RAYON_NUM_THREADS", "3");
        check(worker_threads() == 0, "no workers before first use");
        check(!pool_running(), "no pool before first use");
        auto out = par::parallel_ordered_map(std::span<const int>(), [](const int& i) { return i; });
        check(out.size() == 0, "empty result");
        check(worker_threads() == 3, "three workers after an empty batch");
        set_env("RAYON_NUM_THREADS", "5");  // read once: later changes have no effect
        check(par::current_num_threads() == 3, "size stays 3");
    });
}

TEST_F(ParallelProcess, RequestAbove255GivesAPoolOf255) {
    EXPECT_IN_FRESH_PROCESS({
        check(pool_size_with("1000", nullptr) == 255, "RAYON_NUM_THREADS=1000 gives 255");
        const auto items = iota(20000);
        auto out = par::parallel_ordered_map(std::span<const std::size_t>(items),
                                             [](const std::size_t& i) { return i + 1; });
        for (std::size_t i = 0; i < items.size(); ++i) check(out[i] == i + 1, "order with 255 workers");
    });
}

TEST_F(ParallelProcess, PlusFourGivesFour) {
    EXPECT_IN_FRESH_PROCESS(check(pool_size_with("+4", "3") == 4, "RAYON_NUM_THREADS=+4 gives 4"));
}

TEST_F(ParallelProcess, ZeroSelectsTheDefaultAndIgnoresRsNumCpus) {
    EXPECT_IN_FRESH_PROCESS({
        const std::size_t fallback = std::min<std::size_t>(par::detail::default_pool_size(), 255);
        const std::string other = std::to_string(fallback + 1);
        check(pool_size_with("0", other.c_str()) == fallback, "RAYON_NUM_THREADS=0 gives the default");
    });
}

TEST_F(ParallelProcess, UnsetGivesTheDefault) {
    EXPECT_IN_FRESH_PROCESS({
        const std::size_t fallback = std::min<std::size_t>(par::detail::default_pool_size(), 255);
        check(pool_size_with(nullptr, nullptr) == fallback, "no variables give the default");
    });
}

TEST_F(ParallelProcess, UnparseableNumThreadsLetsRsNumCpusDecide) {
    for (const char* text : {" 4", "4 ", "-4", "four", ""}) {
        SCOPED_TRACE(std::string("RAYON_NUM_THREADS='") + text + "'");
        EXPECT_IN_FRESH_PROCESS(check(pool_size_with(text, "3") == 3, "RAYON_RS_NUM_CPUS decides"));
    }
}

TEST_F(ParallelProcess, RsNumCpusAlone) {
    EXPECT_IN_FRESH_PROCESS(check(pool_size_with(nullptr, "2") == 2, "RAYON_RS_NUM_CPUS=2 gives 2"));
}

#if defined(__SANITIZE_THREAD__)
#define MARLINOX_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define MARLINOX_UNDER_TSAN 1
#endif
#endif

#ifndef MARLINOX_UNDER_TSAN
// The child of a fork has no workers; it must get a pool of its own instead
// of waiting for the parent's.
void batch_in_forked_child() {
    set_env("RAYON_NUM_THREADS", "2");
    const auto items = iota(1000);
    auto twice = [](const std::size_t& i) { return i * 2; };
    check(par::parallel_ordered_map(std::span<const std::size_t>(items), twice).size() == 1000,
          "batch before fork");
    const pid_t child = fork();
    check(child >= 0, "fork");
    if (child == 0) {
        auto out = par::parallel_ordered_map(std::span<const std::size_t>(items), twice);
        bool ok = out.size() == items.size() && worker_threads() == 2;
        for (std::size_t i = 0; ok && i < out.size(); ++i) ok = out[i] == i * 2;
        std::_Exit(ok ? 0 : 1);
    }
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            check(false, "the forked child's batch finishes");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    check(WIFEXITED(status) && WEXITSTATUS(status) == 0, "the forked child's batch is right");
    check(par::parallel_ordered_map(std::span<const std::size_t>(items), twice).size() == 1000,
          "batch after fork in the parent");
}
#endif

TEST_F(ParallelProcess, ForkedChildGetsAPoolOfItsOwn) {
#ifdef MARLINOX_UNDER_TSAN
    GTEST_SKIP() << "the thread sanitizer does not support threads after a multi-threaded fork";
#else
    EXPECT_IN_FRESH_PROCESS(batch_in_forked_child());
#endif
}

#ifdef MARLINOX_TEST_HOOKS

// A worker fails to start: the pool stays failed for good, and every call says so.
void expect_pool_failure(std::size_t failing_worker) {
    set_env("RAYON_NUM_THREADS", "4");
    marlinox::fault_injection::fail_worker_start(failing_worker);
    const std::string prefix = "The global thread pool has not been initialized.";
    std::string first;
    try {
        par::current_num_threads();
        check(false, "current_num_threads fails");
    } catch (const InternalFailure& failure) {
        first = failure.message();
    }
    check(first.rfind(prefix, 0) == 0, "message begins with the sentence: " + first);
    check(worker_threads() == 0, "the workers already started are stopped");
    check(!marlinox::fault_injection::pool_running(), "pool not running");

    marlinox::fault_injection::fail_worker_start(SIZE_MAX);  // creation is never tried again anyway
    for (std::size_t n : {0u, 1u, 5u}) {
        const auto items = iota(n);
        bool ran = false;
        try {
            par::parallel_ordered_map(std::span<const std::size_t>(items), [&](const std::size_t& i) {
                ran = true;
                return i;
            });
            check(false, "a batch of " + std::to_string(n) + " fails");
        } catch (const InternalFailure& failure) {
            check(failure.message() == first, "same failure: " + failure.message());
        }
        check(!ran, "no item runs");
    }
    try {
        par::current_num_threads();
        check(false, "current_num_threads fails again");
    } catch (const InternalFailure& failure) {
        check(failure.message() == first, "same failure again");
    }
    check(worker_threads() == 0, "still no workers");
}

TEST_F(ParallelProcess, PoolCreationFailureIsPermanent) {
    EXPECT_IN_FRESH_PROCESS(expect_pool_failure(2));
}

TEST_F(ParallelProcess, PoolCreationFailureAtTheFirstWorker) {
    EXPECT_IN_FRESH_PROCESS(expect_pool_failure(0));
}

#endif  // MARLINOX_TEST_HOOKS

}  // namespace
