// What the parts of the command transport share inside the library: the
// session handle and the task, their lists, the plain requests and the
// status family.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "library/device/cti_handles.h"
#include "pav512u/cti.h"
#include "pav512u/pavpi.h"
#include "platform/user/device_io.h"

struct CtiHandle {
    std::uint32_t magic = 0;
    // The control channel; INVALID_HANDLE_VALUE once closed or removed.
    std::atomic<HANDLE> file{INVALID_HANDLE_VALUE};
    std::uint32_t session = 0;
    std::atomic<std::uint32_t> taskCounter{0};
    std::uint32_t camera = 0;
    HANDLE removal = nullptr;  // auto-reset; the driver signals it on camera removal
    HANDLE stop = nullptr;     // auto-reset; ends the watcher at close
    std::thread watcher;
    // The property handle that carries the removal notification; under the
    // handle-list lock, null once the watcher or close has closed it.
    PAVPI_HANDLE property = nullptr;
    CtiHandle* next = nullptr;
};

// One command of a list as the request carries it, with where its results go.
struct CtiPlannedCommand {
    std::uint8_t request;
    std::uint8_t valueHigh, valueLow, indexHigh, indexLow;
    void* data;
    std::uint32_t dataLength;
    std::uint32_t* returnedLength;
    CTISTATUS* status;
};

struct CtiTask {
    std::uint32_t magic = 0;
    std::uint32_t id = 0;
    CtiHandle* owner = nullptr;
    std::vector<CtiPlannedCommand> commands;
    void* data = nullptr;  // the data phase, null when there is none
    std::uint32_t dataLength = 0;
    std::uint32_t* returned = nullptr;
    bool write = false;
    std::uint8_t* request = nullptr;
    std::uint32_t requestSize = 0;
    DWORD bytesReturned = 0;
    OVERLAPPED overlapped{};
};

namespace pavu {

constexpr std::uint32_t kCtiHandleMagic = 0xED155AA5;
constexpr std::uint32_t kCtiTaskMagic = 0xED15A55A;
constexpr std::uint32_t kCtiFirstTaskId = 0x0ED15000;
// How long a synchronous command may take before it is aborted.
constexpr DWORD kCtiSynchronousWaitMs = 5000;

HandleList<CtiHandle>& ctiHandles();

// The result byte of a request (the driver's module status or the wrapper's
// transport codes) in this family, and the family's names.
CTISTATUS mapCtiResult(std::uint8_t result);
const char* ctiStatusName(CTISTATUS status);

// One plain request of the family on the handle's channel (everything but the
// transaction): header with the session, the caller's thread and `value`;
// `*value` receives what the driver left there. Answers the mapped status.
CTISTATUS ctiRequest(CtiHandle* h, DWORD code, std::uint32_t* value);
CTISTATUS ctiRequest(CtiHandle* h, DWORD code, std::uint32_t value);

// Completes and frees the tasks of a handle whose channel has just closed
// (closing it cancelled what they had pending); later queries of them find
// no task.
void ctiForgetTasks(CtiHandle* h);

// Closes every handle still open (library unload).
void ctiDetach();

}  // namespace pavu
