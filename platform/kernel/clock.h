// The one clock behind every wait, deadline, tick and sleep of the models and of
// the simulated camera. Tests may run it faster than real time with a scale
// factor (PAV512_CLOCK_SCALE or setScale); a behaviour that is right at scale 1
// must stay right at any scale.
#pragma once

#include <chrono>

#include "platform/kernel/basetypes.h"

namespace kclock {

using RealTime = std::chrono::steady_clock::time_point;

// 100 ns units since 1601-01-01, the system time the kernel reports.
LONGLONG now();
// Scale factor: virtual seconds per real second (default 1, or PAV512_CLOCK_SCALE).
double scale();
// Changes the scale; set it before devices start, the rebase is not atomic with
// running waits.
void setScale(double factor);

// The real moment at which the virtual time `virtual100ns` is reached.
RealTime realAt(LONGLONG virtual100ns);
// Real duration of a virtual span in 100 ns units.
std::chrono::nanoseconds realSpan(LONGLONG span100ns);
// Sleeps the calling thread for a virtual span (100 ns units).
void sleepFor(LONGLONG span100ns);
inline void sleepMs(LONGLONG ms) { sleepFor(ms * 10000); }
// Virtual milliseconds since the clock started (monotonic).
ULONGLONG milliseconds();

// A waits' time-out argument as the kernel takes it (null: none; negative:
// relative; positive: absolute system time; zero: poll) turned into an
// absolute virtual deadline. Returns false when there is no time-out.
bool deadlineFrom(const LARGE_INTEGER* timeout, LONGLONG* deadline);

}  // namespace kclock

// Kernel entry points on the clock.
void KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval);
ULONG KeQueryTimeIncrement();
void KeQueryTickCount(PLARGE_INTEGER TickCount);
