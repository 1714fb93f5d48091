// What the session interfaces of the library (command transport, PTP client)
// have in common: a process-wide list of their handles, the lock request
// repeated until it succeeds or its time runs out, and the status text copy.
#pragma once

#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/user/handles.h"

namespace pavu {

// Every handle of one kind in this process, newest first, under one lock. A
// handle is valid only while it is listed and carries its kind's magic word:
// a stale or foreign pointer is refused without being read. `T` has the
// members `std::uint32_t magic` and `T* next`.
template <typename T>
class HandleList {
  public:
    explicit HandleList(std::uint32_t magic) : magic_(magic) {}

    void insert(T* h) {
        std::lock_guard<std::mutex> g(lock_);
        h->next = head_;
        head_ = h;
    }
    // False when it was not listed.
    bool remove(T* h) {
        std::lock_guard<std::mutex> g(lock_);
        for (T** at = &head_; *at; at = &(*at)->next) {
            if (*at == h) {
                *at = h->next;
                h->next = nullptr;
                return true;
            }
        }
        return false;
    }
    bool valid(const T* h) const {
        if (!h) return false;
        std::lock_guard<std::mutex> g(lock_);
        return listed(h) && h->magic == magic_;
    }
    // Runs `f(h)` under the list lock if `h` is valid; false otherwise.
    template <typename F>
    bool withValid(T* h, F&& f) {
        if (!h) return false;
        std::lock_guard<std::mutex> g(lock_);
        if (!listed(h) || h->magic != magic_) return false;
        f(h);
        return true;
    }
    // The handles listed now (for closing them all at unload).
    std::vector<T*> snapshot() const {
        std::lock_guard<std::mutex> g(lock_);
        std::vector<T*> out;
        for (T* h = head_; h; h = h->next) out.push_back(h);
        return out;
    }
    std::mutex& lock() { return lock_; }

  private:
    bool listed(const T* h) const {
        for (const T* at = head_; at; at = at->next)
            if (at == h) return true;
        return false;
    }

    const std::uint32_t magic_;
    mutable std::mutex lock_;
    T* head_ = nullptr;
};

// Sends the lock request (`attempt` answers its status) for as long as it is
// refused with `busy` and, unless the time-out is INFINITE, the tick count has
// not reached start + time-out: at least one attempt, and no sleep between
// them. Any other status ends the loop at once (a camera that is gone would
// otherwise be asked for ever). The result is the last attempt's status. Tick
// arithmetic is modular, so a tick count that wraps during the wait neither
// ends nor extends it.
template <typename Status, typename F>
Status repeatLock(DWORD timeoutMs, Status busy, F&& attempt) {
    const DWORD start = GetTickCount();
    for (;;) {
        Status st = attempt();
        if (st != busy) return st;
        if (timeoutMs != INFINITE && GetTickCount() - start >= timeoutMs) return st;
    }
}

// The status text rule of the session families: "Unknown Error Code" or the
// status's name, cut to `length` - 1 characters and always terminated inside
// the buffer. `name` null: unknown. Answers whether the name was known.
// `length` 0 writes nothing (there is no room even for the terminator).
inline bool copyStatusText(const char* name, char* text, std::uint32_t length) {
    if (length == 0) return name != nullptr;
    const char* source = name ? name : "Unknown Error Code";
    std::size_t n = std::strlen(source);
    if (n > length - 1) n = length - 1;
    std::memcpy(text, source, n);
    text[n] = '\0';
    return name != nullptr;
}

}  // namespace pavu
