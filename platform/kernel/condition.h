// A condition variable for the models' own threads (waiters of dispatcher
// objects, the timer and deferred-call threads) that sleeps on a futex word
// of its own. A thread woken from std::condition_variable takes its mutex
// back marked as contended, so the next unlock makes a system call to wake
// nobody: one more call for every wake-up of a thread that sleeps between
// frames. Here the sleeper takes the mutex back as any thread does.
//
// The rules are those of std::condition_variable: the state waited for is
// changed under the mutex, a wait may return early, and a notify may come
// with or without the mutex held.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

namespace kcond {

class Condition {
  public:
    using Clock = std::chrono::steady_clock;

    Condition() = default;
    Condition(const Condition&) = delete;
    Condition& operator=(const Condition&) = delete;

    void wait(std::unique_lock<std::mutex>& g) { sleep(g, nullptr); }
    template <class Predicate>
    void wait(std::unique_lock<std::mutex>& g, Predicate ready) {
        while (!ready()) sleep(g, nullptr);
    }
    // False when `until` has passed; true may be an early return.
    bool wait_until(std::unique_lock<std::mutex>& g, Clock::time_point until) {
        sleep(g, &until);
        return Clock::now() < until;
    }

    void notify_one() { notify(1); }
    void notify_all() { notify(kAll); }

  private:
    static constexpr int kAll = 0x7FFFFFFF;
    // Lets the mutex go, sleeps until a notify after the word was read (under
    // the mutex) or until `until`, and takes the mutex back.
    void sleep(std::unique_lock<std::mutex>& g, const Clock::time_point* until);
    void notify(int count);

    std::atomic<std::uint32_t> word_{0};
    std::atomic<std::uint32_t> sleepers_{0};
};

}  // namespace kcond
