// A spin lock held for one scope.
#pragma once

#include "platform/kernel/wdm.h"

class SpinGuard {
  public:
    explicit SpinGuard(KSPIN_LOCK& lock) : lock_(lock), irql_(KfAcquireSpinLock(&lock)) {}
    ~SpinGuard() { KfReleaseSpinLock(&lock_, irql_); }
    SpinGuard(const SpinGuard&) = delete;
    SpinGuard& operator=(const SpinGuard&) = delete;

  private:
    KSPIN_LOCK& lock_;
    KIRQL irql_;
};
