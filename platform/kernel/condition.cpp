#include "platform/kernel/condition.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace kcond {

namespace {

// The futex is the atomic's own word.
static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
              std::atomic<std::uint32_t>::is_always_lock_free);

long futex(std::atomic<std::uint32_t>* word, int op, std::uint32_t value, const timespec* timeout) {
    return ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), op, value, timeout, nullptr,
                     FUTEX_BITSET_MATCH_ANY);
}

}  // namespace

void Condition::sleep(std::unique_lock<std::mutex>& g, const Clock::time_point* until) {
    // Read under the mutex: a notify that follows a change made under it
    // moves the word past this value, and the futex then does not sleep.
    const std::uint32_t seen = word_.load(std::memory_order_seq_cst);
    timespec at{};
    if (until) {
        // steady_clock is CLOCK_MONOTONIC, the clock of an absolute
        // FUTEX_WAIT_BITSET.
        const auto ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(until->time_since_epoch()).count();
        if (ns <= 0) return;
        at.tv_sec = static_cast<time_t>(ns / 1000000000);
        at.tv_nsec = static_cast<long>(ns % 1000000000);
    }
    sleepers_.fetch_add(1, std::memory_order_seq_cst);
    g.unlock();
    if (word_.load(std::memory_order_seq_cst) == seen)
        futex(&word_, FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, seen, until ? &at : nullptr);
    sleepers_.fetch_sub(1, std::memory_order_seq_cst);
    g.lock();
}

void Condition::notify(int count) {
    word_.fetch_add(1, std::memory_order_seq_cst);
    // A sleeper counted after this load reads the new word and does not
    // sleep; one counted before it is woken.
    if (sleepers_.load(std::memory_order_seq_cst) != 0)
        futex(&word_, FUTEX_WAKE | FUTEX_PRIVATE_FLAG, static_cast<std::uint32_t>(count), nullptr);
}

}  // namespace kcond
