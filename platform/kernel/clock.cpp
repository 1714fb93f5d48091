#include "platform/kernel/clock.h"

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/kernel/ntstatus.h"

namespace kclock {
namespace {

// Seconds between 1601-01-01 and 1970-01-01.
constexpr LONGLONG kEpochDelta100ns = 116444736000000000LL;

struct Base {
    RealTime real0;
    LONGLONG virtual0;  // 100 ns units at real0
    double factor;
};

struct ClockState {
    std::mutex lock;  // serialises rebases
    // The base in force, read without a lock by every clock read (the
    // completion paths read the clock per packet). A rebase publishes a new
    // base; the old ones stay allocated, as a reader may still hold one.
    std::atomic<const Base*> current{nullptr};
    std::vector<std::unique_ptr<Base>> bases;
    RealTime start;
    ClockState() {
        double f = 1.0;
        if (const char* env = std::getenv("PAV512_CLOCK_SCALE")) {
            char* end = nullptr;
            double v = std::strtod(env, &end);
            if (end != env && v > 0.0 && v <= 10000.0) f = v;
        }
        auto wall = std::chrono::system_clock::now().time_since_epoch();
        start = std::chrono::steady_clock::now();
        publish(Base{start,
                     kEpochDelta100ns +
                         std::chrono::duration_cast<std::chrono::nanoseconds>(wall).count() / 100,
                     f});
    }
    // Lock held (or in the constructor).
    void publish(const Base& b) {
        bases.push_back(std::make_unique<Base>(b));
        current.store(bases.back().get(), std::memory_order_release);
    }
};

ClockState& state() {
    static ClockState* s = new ClockState();  // lives for the process; threads may outlive main
    return *s;
}

Base snapshot() {
    return *state().current.load(std::memory_order_acquire);
}

}  // namespace

LONGLONG now() {
    Base b = snapshot();
    auto realNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - b.real0)
            .count();
    return b.virtual0 + static_cast<LONGLONG>(static_cast<double>(realNs) * b.factor / 100.0);
}

double scale() { return snapshot().factor; }

void setScale(double factor) {
    if (!(factor > 0.0)) return;
    LONGLONG v = now();
    ClockState& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    s.publish(Base{std::chrono::steady_clock::now(), v, factor});
}

RealTime realAt(LONGLONG virtual100ns) {
    Base b = snapshot();
    double realNs = static_cast<double>(virtual100ns - b.virtual0) * 100.0 / b.factor;
    if (realNs > 1e17) realNs = 1e17;  // far future: avoid overflow of the time point
    return b.real0 + std::chrono::nanoseconds(static_cast<LONGLONG>(realNs));
}

std::chrono::nanoseconds realSpan(LONGLONG span100ns) {
    double ns = static_cast<double>(span100ns) * 100.0 / scale();
    if (ns < 0) ns = 0;
    return std::chrono::nanoseconds(static_cast<LONGLONG>(ns));
}

void sleepFor(LONGLONG span100ns) {
    if (span100ns <= 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(realSpan(span100ns));
}

ULONGLONG milliseconds() {
    Base b = snapshot();
    auto realNs = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() -
                                                                       state().start)
                      .count();
    return static_cast<ULONGLONG>(static_cast<double>(realNs) * b.factor / 1e6);
}

bool deadlineFrom(const LARGE_INTEGER* timeout, LONGLONG* deadline) {
    if (timeout == nullptr) return false;
    if (timeout->QuadPart <= 0)
        *deadline = now() - timeout->QuadPart;
    else
        *deadline = timeout->QuadPart;
    return true;
}

}  // namespace kclock

void KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = kclock::now(); }

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
    // A 10 MHz counter on the virtual clock.
    if (PerformanceFrequency) PerformanceFrequency->QuadPart = 10000000;
    LARGE_INTEGER v;
    v.QuadPart = kclock::now();
    return v;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
    if (Interval == nullptr) return STATUS_INVALID_PARAMETER;
    if (Interval->QuadPart < 0) {
        kclock::sleepFor(-Interval->QuadPart);
    } else {
        std::this_thread::sleep_until(kclock::realAt(Interval->QuadPart));
    }
    return STATUS_SUCCESS;
}

ULONG KeQueryTimeIncrement() { return 156250; }  // 15.625 ms in 100 ns units

void KeQueryTickCount(PLARGE_INTEGER TickCount) {
    TickCount->QuadPart = static_cast<LONGLONG>(kclock::milliseconds() * 10000 / KeQueryTimeIncrement());
}
