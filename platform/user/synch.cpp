#include "platform/user/synch.h"

#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <chrono>

#include "platform/kernel/clock.h"
#include "platform/kernel/object.h"
#include "platform/user/shared_area.h"

namespace {

OBJECT_TYPE mutexObjectType{"Mutant"};

struct UserMutex {
    pthread_mutex_t* mutex = nullptr;  // in the shared area, or `own`
    pthread_mutex_t own;
    bool local = false;

    ~UserMutex() {
        if (local) pthread_mutex_destroy(&own);
    }
};

timespec monotonicDeadline(DWORD ms) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    auto span = kclock::realSpan(static_cast<LONGLONG>(ms) * 10000);
    long long ns = now.tv_nsec + span.count() % 1000000000LL;
    timespec t{};
    t.tv_sec = now.tv_sec + static_cast<time_t>(span.count() / 1000000000LL) + ns / 1000000000LL;
    t.tv_nsec = ns % 1000000000LL;
    return t;
}

}  // namespace

namespace umutex {

bool isMutex(void* object) { return object && kobj::typeOf(object) == &mutexObjectType; }

DWORD wait(void* object, DWORD milliseconds) {
    auto* m = static_cast<UserMutex*>(object);
    int rc;
    if (milliseconds == INFINITE) {
        rc = pthread_mutex_lock(m->mutex);
    } else if (milliseconds == 0) {
        rc = pthread_mutex_trylock(m->mutex);
        if (rc == EBUSY) rc = ETIMEDOUT;
    } else {
        timespec t = monotonicDeadline(milliseconds);
        rc = pthread_mutex_clocklock(m->mutex, CLOCK_MONOTONIC, &t);
    }
    switch (rc) {
        case 0:
            return WAIT_OBJECT_0;
        case EOWNERDEAD:
            // The holder died holding it: the waiter owns it now, and the
            // state it guards is the waiter's to judge.
            pthread_mutex_consistent(m->mutex);
            return WAIT_ABANDONED;
        case ETIMEDOUT:
            return WAIT_TIMEOUT;
        default:
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
    }
}

}  // namespace umutex

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCSTR lpName) {
    auto* m = kobj::create<UserMutex>(&mutexObjectType);
    if (!m) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    bool existed = false;
    if (lpName == nullptr) {
        pthread_mutexattr_t a;
        pthread_mutexattr_init(&a);
        pthread_mutexattr_settype(&a, PTHREAD_MUTEX_RECURSIVE);
        pthread_mutex_init(&m->own, &a);
        pthread_mutexattr_destroy(&a);
        m->local = true;
        m->mutex = &m->own;
        if (bInitialOwner) pthread_mutex_lock(m->mutex);
    } else {
        ushared::MutexSlot* slot = ushared::findOrCreateMutex(lpName, bInitialOwner != 0, &existed);
        if (!slot) {
            ObfDereferenceObject(m);
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        m->mutex = ushared::mutexOf(slot);
    }
    // As on the platform, a mutex that existed is not taken for the caller.
    HANDLE h = uhandle::insert(m, uhandle::Kind::Mutex);
    ObfDereferenceObject(m);
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

BOOL ReleaseMutex(HANDLE hMutex) {
    uhandle::Ref<UserMutex> m(hMutex, uhandle::Kind::Mutex, &mutexObjectType);
    if (!m) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (pthread_mutex_unlock(m->mutex) != 0) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    return TRUE;
}

HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)); }

BOOL DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle, HANDLE hTargetProcessHandle,
                     LPHANDLE lpTargetHandle, DWORD, BOOL, DWORD dwOptions) {
    if (hSourceProcessHandle != GetCurrentProcess() || hTargetProcessHandle != GetCurrentProcess() ||
        lpTargetHandle == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    HANDLE copy = uhandle::duplicate(hSourceHandle);
    if (!copy) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *lpTargetHandle = copy;
    if (dwOptions & DUPLICATE_CLOSE_SOURCE) CloseHandle(hSourceHandle);
    return TRUE;
}
