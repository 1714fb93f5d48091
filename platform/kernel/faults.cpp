#include "platform/kernel/faults.h"

#include <atomic>

namespace kfault {
namespace {
std::atomic<int> armed[KindCount];
}

void arm(Kind kind, int count) { armed[kind].store(count); }

bool take(Kind kind) {
    int n = armed[kind].load();
    while (n > 0) {
        if (armed[kind].compare_exchange_weak(n, n - 1)) return true;
    }
    return false;
}

void clearAll() {
    for (auto& a : armed) a.store(0);
}

}  // namespace kfault
