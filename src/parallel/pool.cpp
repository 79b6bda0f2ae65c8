// The process-wide worker pool and the scheduling of parallel_ordered_map.
//
// Scheduling: every worker owns a small deque of queued right halves. A worker
// that splits a piece queues the right half at the back of its own deque, runs
// the left half, then takes the right half back from the back if it is still
// there; otherwise another worker has taken it over from the front, and the
// splitting worker helps with other queued work until that half is done.
// Batches from threads outside the pool enter through a shared injection
// queue. The deques and the injection queue are guarded by mutexes, so every
// hand-over between threads is ordered by a lock; the few lock-free reads
// (queue sizes, sleeper counts, done flags) are sequentially consistent
// where they decide whether someone has to be woken.
//
// Idle workers spin briefly (pause, then yield), then sleep on their own
// condition variable until a new job is queued or the half they wait for is done.
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "failure/fault_injection.hpp"
#include "failure/internal_failure.hpp"
#include "parallel/parallel_ordered_map.hpp"
#include "parallel/pool_size.hpp"

namespace marlinox::parallel {
namespace detail {
namespace {

constexpr std::size_t kStackSize = std::size_t{2} << 20;
constexpr unsigned kPauseRounds = 6;   // rounds of 1, 2, 4, ... 32 pause instructions
constexpr unsigned kYieldRounds = 32;  // then rounds of sched_yield, then sleep
constexpr unsigned kCallerPauseRounds = 4;
constexpr unsigned kCallerYieldRounds = 32;

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__arm__) || defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

// One round of waiting that does not give up the processor for long.
inline void idle_pause(unsigned round, unsigned pause_rounds) noexcept {
    if (round < pause_rounds) {
        for (unsigned i = 0; i < (1u << round); ++i) cpu_relax();
    } else {
        sched_yield();
    }
}

class Pool;
struct Worker;

struct Job {
    explicit Job(void (*run)(Job*, Worker&)) noexcept : execute(run) {}
    void (*execute)(Job* self, Worker& worker);
    Job* next = nullptr;  // link in the injection queue
};

// The owner pushes and takes back at the back; other workers take from the
// front, so the oldest (largest) queued half is the one that moves.
class JobDeque {
public:
    bool push(Job* job) {
        std::lock_guard lock(mutex_);
        if (count_ == kCapacity) return false;
        jobs_[(head_ + count_) % kCapacity] = job;
        size_.store(++count_);
        return true;
    }
    // Removes `job` if it is still at the back.
    bool take_back(Job* job) {
        std::lock_guard lock(mutex_);
        if (count_ == 0 || jobs_[(head_ + count_ - 1) % kCapacity] != job) return false;
        size_.store(--count_);
        return true;
    }
    Job* steal() {
        if (empty()) return nullptr;
        std::lock_guard lock(mutex_);
        if (count_ == 0) return nullptr;
        Job* job = jobs_[head_];
        head_ = (head_ + 1) % kCapacity;
        size_.store(--count_);
        return job;
    }
    bool empty() const noexcept { return size_.load() == 0; }

private:
    // A worker's queue holds at most one half per nested split that is still
    // running (about log2 of the batch size); when it is full the half simply
    // stays with the worker that split it.
    static constexpr std::size_t kCapacity = 128;
    std::mutex mutex_;
    Job* jobs_[kCapacity] = {};
    std::size_t head_ = 0;
    std::size_t count_ = 0;
    std::atomic<std::size_t> size_{0};
};

struct alignas(64) Worker {
    Pool* pool = nullptr;
    std::size_t index = 0;
    std::uint32_t rng = 1;
    JobDeque deque;
    // Sleep state, guarded by the pool's sleep mutex.
    std::condition_variable wake;
    bool asleep = false;
    bool woken = false;
};

thread_local Worker* tls_worker = nullptr;

class Pool {
public:
    explicit Pool(std::size_t size) : size_(size), workers_(new Worker[size]), threads_(size) {
        asleep_.reserve(size);
        for (std::size_t i = 0; i < size; ++i) {
            workers_[i].pool = this;
            workers_[i].index = i;
            workers_[i].rng = static_cast<std::uint32_t>(i) * 0x9E3779B9u + 1u;
        }
    }
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    std::size_t size() const noexcept { return size_; }

    // Starts every worker. On failure stops those already started and returns
    // what went wrong.
    std::optional<std::string> start() {
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, kStackSize);
        std::optional<std::string> error;
        for (std::size_t i = 0; i < size_; ++i) {
            const int rc = fault_injection::worker_start_refused(i)
                               ? EAGAIN
                               : pthread_create(&threads_[i], &attr, &thread_entry, &workers_[i]);
            if (rc == 0) {
                // Named here rather than by the thread itself, so the name is
                // in place before the pool is handed out.
                char name[16];  // the kernel keeps at most 15 characters
                std::snprintf(name, sizeof name, "marlinox-wk-%u", static_cast<unsigned>(i % 1000));
                pthread_setname_np(threads_[i], name);
            } else {
                stop(i);
                error = "failed to start worker thread " + std::to_string(i) + " of " +
                        std::to_string(size_) + ": " + std::system_category().message(rc) +
                        " (os error " + std::to_string(rc) + ")";
                break;
            }
        }
        pthread_attr_destroy(&attr);
        return error;
    }

    // Queues a batch from a thread outside the pool.
    void inject(Job* job) {
        {
            std::lock_guard lock(inject_mutex_);
            job->next = nullptr;
            if (inject_tail_) inject_tail_->next = job;
            else inject_head_ = job;
            inject_tail_ = job;
            injected_.fetch_add(1);
        }
        notify_new_job();
    }

    // Queues a right half on the worker's own deque; false if it is full.
    bool push_local(Worker& worker, Job* job) {
        if (!worker.deque.push(job)) return false;
        notify_new_job();
        return true;
    }

    // Runs other queued work until `latch` is set.
    void wait_until(Worker& worker, const std::atomic<bool>& latch) {
        while (!latch.load(std::memory_order_acquire)) {
            if (Job* job = wait_for_work(worker, &latch)) job->execute(job, worker);
        }
    }

    // Wakes `worker` if it sleeps (for a latch it waits on that was just set).
    void wake_if_asleep(Worker& worker) {
        if (sleeping_.load() == 0) return;
        {
            std::lock_guard lock(sleep_mutex_);
            if (!worker.asleep || worker.woken) return;
            worker.woken = true;
            std::erase(asleep_, &worker);
        }
        worker.wake.notify_one();
    }

private:
    static void* thread_entry(void* arg) {
        auto& worker = *static_cast<Worker*>(arg);
        worker.pool->worker_main(worker);
        return nullptr;
    }

    void worker_main(Worker& worker) noexcept {
        tls_worker = &worker;
        while (Job* job = wait_for_work(worker, nullptr)) job->execute(job, worker);
    }

    // Stops the first `started` workers (they can only be idle) and joins them.
    void stop(std::size_t started) {
        std::vector<Worker*> sleepers;
        {
            std::lock_guard lock(sleep_mutex_);
            terminating_.store(true);
            for (Worker* worker : asleep_) worker->woken = true;
            sleepers.swap(asleep_);
        }
        for (Worker* worker : sleepers) worker->wake.notify_one();
        for (std::size_t i = 0; i < started; ++i) pthread_join(threads_[i], nullptr);
    }

    // Wakes a sleeping worker for a newly queued job, unless a worker is
    // already looking for work (it will find the job, or see it when it
    // re-checks before sleeping).
    void notify_new_job() {
        if (spinning_.load() != 0 || sleeping_.load() == 0) return;
        Worker* worker;
        {
            std::lock_guard lock(sleep_mutex_);
            if (asleep_.empty()) return;
            worker = asleep_.back();
            asleep_.pop_back();
            worker->woken = true;
        }
        worker->wake.notify_one();
    }

    // A worker looks for work only when its own deque is empty: either no
    // split of its own is pending, or it waits for a half that was taken
    // over, and every half it queued before that one was taken first.
    Job* find_work(Worker& worker) {
        if (Job* job = steal(worker)) return job;
        return pop_injected();
    }

    Job* steal(Worker& thief) {
        if (size_ < 2 || !fault_injection::stealing_enabled()) return nullptr;
        thief.rng ^= thief.rng << 13;
        thief.rng ^= thief.rng >> 17;
        thief.rng ^= thief.rng << 5;
        const std::size_t start = thief.rng % size_;
        for (std::size_t k = 0; k < size_; ++k) {
            Worker& victim = workers_[(start + k) % size_];
            if (&victim == &thief) continue;
            if (Job* job = victim.deque.steal()) return job;
        }
        return nullptr;
    }

    Job* pop_injected() {
        if (injected_.load() == 0) return nullptr;
        std::lock_guard lock(inject_mutex_);
        Job* job = inject_head_;
        if (!job) return nullptr;
        inject_head_ = job->next;
        if (!inject_head_) inject_tail_ = nullptr;
        injected_.fetch_sub(1);
        return job;
    }

    // Whether `worker` would find a job now.
    bool work_visible(const Worker& worker) const {
        if (injected_.load() != 0) return true;
        if (!fault_injection::stealing_enabled()) return false;
        for (std::size_t i = 0; i < size_; ++i)
            if (&workers_[i] != &worker && !workers_[i].deque.empty()) return true;
        return false;
    }

    // Finds a job for `worker`, spinning and then sleeping while there is
    // none. Returns nullptr once `latch` (if any) is set, or when the pool stops.
    Job* wait_for_work(Worker& worker, const std::atomic<bool>* latch) {
        spinning_.fetch_add(1);
        unsigned round = 0;
        for (;;) {
            if (latch && latch->load(std::memory_order_acquire)) break;
            if (Job* job = find_work(worker)) {
                spinning_.fetch_sub(1);
                return job;
            }
            if (terminating_.load()) break;
            if (round < kPauseRounds + kYieldRounds) {
                idle_pause(round++, kPauseRounds);
                continue;
            }
            spinning_.fetch_sub(1);
            sleep(worker, latch);
            spinning_.fetch_add(1);
            round = 0;
        }
        spinning_.fetch_sub(1);
        return nullptr;
    }

    // Sleeps until woken, unless a job, the latch or the stop has turned up.
    // A waker first makes its change visible and then reads sleeping_; this
    // side first counts itself in sleeping_ and then looks for the change, so
    // one of the two sees the other.
    void sleep(Worker& worker, const std::atomic<bool>* latch) {
        std::unique_lock lock(sleep_mutex_);
        sleeping_.fetch_add(1);
        if (!(latch && latch->load()) && !terminating_.load() && !work_visible(worker)) {
            worker.asleep = true;
            asleep_.push_back(&worker);
            while (!worker.woken) worker.wake.wait(lock);
            worker.asleep = false;
            worker.woken = false;
        }
        sleeping_.fetch_sub(1);
    }

    const std::size_t size_;
    const std::unique_ptr<Worker[]> workers_;
    std::vector<pthread_t> threads_;

    std::mutex inject_mutex_;
    Job* inject_head_ = nullptr;
    Job* inject_tail_ = nullptr;
    std::atomic<std::size_t> injected_{0};

    std::mutex sleep_mutex_;
    std::vector<Worker*> asleep_;  // guarded by sleep_mutex_
    std::atomic<std::size_t> spinning_{0};
    std::atomic<std::size_t> sleeping_{0};
    std::atomic<bool> terminating_{false};
};

// The pool, created on first use and never destroyed (its threads live until
// the process ends), or the reason it could not be created.
struct GlobalPool {
    std::mutex mutex;
    std::atomic<Pool*> pool{nullptr};
    std::optional<std::string> failure;
    std::size_t requested_size = 0;  // 0: from the environment
};

std::atomic<GlobalPool*>& global_slot() {
    static std::atomic<GlobalPool*> slot{new GlobalPool};
    return slot;
}

GlobalPool& global_pool() { return *global_slot().load(std::memory_order_acquire); }

// A child made by fork() has none of the workers; left alone, its first batch
// would wait for them forever. It gets a fresh, not yet created pool instead
// (the parent's pool state is left untouched, its locks may be held).
void forget_pool_in_child() {
    global_slot().store(new GlobalPool, std::memory_order_release);
    tls_worker = nullptr;
}

Pool& the_pool() {
    GlobalPool& global = global_pool();
    if (Pool* pool = global.pool.load(std::memory_order_acquire)) return *pool;
    std::unique_lock lock(global.mutex);
    if (Pool* pool = global.pool.load(std::memory_order_relaxed)) return *pool;
    if (!global.failure) {
        const std::size_t size =
            global.requested_size != 0
                ? std::min(global.requested_size, kMaxThreads)
                : decide_pool_size(
                      [](const char* name) -> std::optional<std::string> {
                          const char* value = std::getenv(name);
                          if (!value) return std::nullopt;
                          return std::string(value);
                      },
                      default_pool_size);
        auto pool = std::make_unique<Pool>(size);
        if (auto error = pool->start()) {
            global.failure = "The global thread pool has not been initialized.: " + *error;
        } else {
            static const bool fork_handler_installed =
                pthread_atfork(nullptr, nullptr, &forget_pool_in_child) == 0;
            (void)fork_handler_installed;
            global.pool.store(pool.get(), std::memory_order_release);
            fault_injection::note_pool_running();
            return *pool.release();
        }
    }
    std::string message = *global.failure;
    lock.unlock();
    fail(std::move(message));
}

WrittenRange run_piece(const BatchOps& ops, std::size_t first, std::size_t count) {
    fault_injection::count_piece_run();
    ops.run(ops.context, first, count);
    return {first, count};
}

WrittenRange split(Worker& worker, const BatchOps& ops, std::size_t first, std::size_t count,
                   std::size_t budget, bool left_moved, bool right_moved);

WrittenRange process(Worker& worker, const BatchOps& ops, std::size_t first, std::size_t count,
                     std::size_t budget, bool moved) {
    if (!split_piece(count, budget, moved, worker.pool->size())) return run_piece(ops, first, count);
    return split(worker, ops, first, count, budget, false, false);
}

// A right half queued by the worker that split it off.
struct PieceJob final : Job {
    PieceJob(const BatchOps& batch, std::size_t first_item, std::size_t items, std::size_t split_budget,
             Worker& splitter, bool always_moved) noexcept
        : Job(&execute_stolen), ops(&batch), first(first_item), count(items), budget(split_budget),
          origin(&splitter), moved(always_moved) {}

    // Runs the half on `thief`, a worker that took it over from `origin`.
    static void execute_stolen(Job* job, Worker& thief) {
        auto& piece = static_cast<PieceJob&>(*job);
        try {
            piece.result = process(thief, *piece.ops, piece.first, piece.count, piece.budget,
                                   piece.moved || &thief != piece.origin);
        } catch (...) {
            piece.error = std::current_exception();
        }
        Worker& origin = *piece.origin;
        piece.done.store(true);
        // The splitting worker may return and drop `piece` from here on.
        origin.pool->wake_if_asleep(origin);
    }

    const BatchOps* ops;
    std::size_t first;
    std::size_t count;
    std::size_t budget;
    Worker* origin;
    bool moved;  // counts as moved whoever runs it
    WrittenRange result{};
    std::exception_ptr error;
    std::atomic<bool> done{false};
};

WrittenRange split(Worker& worker, const BatchOps& ops, std::size_t first, std::size_t count,
                   std::size_t budget, bool left_moved, bool right_moved) {
    const std::size_t mid = count / 2;
    PieceJob right(ops, first + mid, count - mid, budget, worker, right_moved);
    const bool queued = worker.pool->push_local(worker, &right);

    WrittenRange left{first, 0};
    std::exception_ptr left_error;
    try {
        left = process(worker, ops, first, mid, budget, left_moved);
    } catch (...) {
        left_error = std::current_exception();
    }

    // The right half runs to completion even when the left one failed.
    if (!queued || worker.deque.take_back(&right)) {
        try {
            right.result = process(worker, ops, right.first, right.count, budget, right_moved);
        } catch (...) {
            right.error = std::current_exception();
        }
    } else {
        worker.pool->wait_until(worker, right.done);
    }

    // The left half's failure wins, so the first failing item in input order
    // is the one reported.
    if (left_error) {
        if (!right.error) ops.release(ops.context, right.result.start, right.result.count);
        std::rethrow_exception(left_error);
    }
    if (right.error) {
        ops.release(ops.context, left.start, left.count);
        std::rethrow_exception(right.error);
    }
    return join_written(left, right.result, ops);
}

// A whole batch from a thread outside the pool, after its first split: both
// halves count as moved. The caller blocks until a worker has run it.
struct RootJob final : Job {
    RootJob(const BatchOps& batch, std::size_t items, std::size_t split_budget) noexcept
        : Job(&execute_root), ops(&batch), count(items), budget(split_budget) {}

    static void execute_root(Job* job, Worker& worker) {
        auto& root = static_cast<RootJob&>(*job);
        try {
            root.result = split(worker, *root.ops, 0, root.count, root.budget, true, true);
        } catch (...) {
            root.error = std::current_exception();
        }
        // Notify under the lock: the caller can only return (and drop `root`)
        // after it has taken the lock itself.
        std::lock_guard lock(root.mutex);
        root.done = true;
        root.done_hint.store(true, std::memory_order_release);
        root.cv.notify_one();
    }

    void wait() {
        // Small batches finish within microseconds; look a few times before
        // blocking.
        for (unsigned round = 0; round < kCallerPauseRounds + kCallerYieldRounds &&
                                 !done_hint.load(std::memory_order_acquire);
             ++round)
            idle_pause(round, kCallerPauseRounds);
        std::unique_lock lock(mutex);
        cv.wait(lock, [this] { return done; });
    }

    const BatchOps* ops;
    std::size_t count;
    std::size_t budget;
    WrittenRange result{};
    std::exception_ptr error;
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;  // guarded by mutex
    std::atomic<bool> done_hint{false};
};

}  // namespace

namespace {

// Runs the caller's own work and keeps its failure for later: the batch must
// finish, and its failure comes first, before the caller's is rethrown.
std::exception_ptr run_caller_work(CallerWork work) noexcept {
    if (work.run == nullptr) return nullptr;
    try {
        work.run(work.context);
    } catch (...) {
        return std::current_exception();
    }
    return nullptr;
}

WrittenRange after_caller_work(const BatchOps& ops, WrittenRange written, std::exception_ptr caller_error) {
    if (caller_error) {
        ops.release(ops.context, written.start, written.count);
        std::rethrow_exception(caller_error);
    }
    return written;
}

}  // namespace

WrittenRange run_batch(const BatchOps& ops, std::size_t n, CallerWork meanwhile) {
    Pool& pool = the_pool();
    std::size_t budget = pool.size();
    // Called from a worker (an item that maps a batch of its own): the batch
    // is just another piece of work on this worker.
    if (Worker* worker = tls_worker; worker && worker->pool == &pool) {
        std::exception_ptr caller_error = run_caller_work(meanwhile);
        return after_caller_work(ops, process(*worker, ops, 0, n, budget, false), caller_error);
    }
    if (!split_piece(n, budget, false, pool.size())) {
        std::exception_ptr caller_error = run_caller_work(meanwhile);
        return after_caller_work(ops, run_piece(ops, 0, n), caller_error);
    }
    RootJob root(ops, n, budget);
    pool.inject(&root);
    std::exception_ptr caller_error = run_caller_work(meanwhile);
    root.wait();
    if (root.error) std::rethrow_exception(root.error);
    return after_caller_work(ops, root.result, caller_error);
}

WrittenRange join_written(WrittenRange left, WrittenRange right, const BatchOps& ops) noexcept {
    if (left.start + left.count == right.start) return {left.start, left.count + right.count};
    ops.release(ops.context, right.start, right.count);
    return left;
}

void fail_total_writes(std::size_t expected, std::size_t got) {
    fail("expected " + std::to_string(expected) + " total writes, but got " + std::to_string(got));
}

}  // namespace detail

std::size_t current_num_threads() { return detail::the_pool().size(); }

bool request_pool_size(std::size_t threads) {
    detail::GlobalPool& global = detail::global_pool();
    std::lock_guard lock(global.mutex);
    if (global.pool.load(std::memory_order_relaxed) != nullptr || global.failure) return false;
    global.requested_size = threads;
    return true;
}

}  // namespace marlinox::parallel
