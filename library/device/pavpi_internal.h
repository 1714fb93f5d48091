// What the parts of the video property interface share inside the library.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "pav512u/pavpi.h"
#include "platform/user/handles.h"

struct PAVPI_HANDLE_S {
    std::uint32_t magic;
    std::uint32_t token;  // what the lock record holds for this handle
    std::uint32_t camera;
    std::atomic<HANDLE> channel;
    HANDLE removal = nullptr;  // auto-reset, registered for camera removal
    HANDLE stop = nullptr;     // auto-reset, ends the watcher
    std::thread watcher;
    HANDLE heartbeatStop = nullptr;  // manual-reset, ends the heartbeat early
    std::thread heartbeat;
};

namespace pavu {

constexpr std::uint32_t kPropertyHandleMagic = 0x50415650;  // "PVAP"

// The result byte of a property-family request as a PAVPI status.
PAVPI_STATUS mapPavpiResult(std::uint8_t result);
const char* pavpiStatusName(PAVPI_STATUS status);

// The handle is in this process's list and carries its magic.
bool validHandle(PAVPI_HANDLE handle);
// Closes the handle's channel once (later requests answer CAMERA_REMOVED).
void closeChannel(PAVPI_HANDLE handle);

// The identification request: the camera's USB vendor and product ids.
PAVPI_STATUS deviceIds(HANDLE channel, std::uint32_t* vendor, std::uint32_t* product);
PAVPI_STATUS enumerateCameras(std::uint32_t vendor, std::uint32_t product, std::uint32_t* numbers,
                              std::uint32_t capacity, std::uint32_t* count);

// The video-capture lock record in the shared data section.
struct VfwLockRecord {
    std::uint32_t camera;  // 0: unlocked
    std::uint32_t processId;
    std::uint32_t handle;  // the owner's handle token
    std::uint32_t heartbeat;
    std::uint32_t vendorId;
    std::uint32_t productId;
};
VfwLockRecord* lockRecord();
HANDLE vpiMutex();

// Load and unload of the interface's process-wide state.
bool vpiAttach();
void vpiDetach();
HANDLE shutdownEvent();
// Closes the handle's part in the lock (as its close does).
void releaseLockOf(PAVPI_HANDLE handle);
void stopDispatcher();
void closeAllHandles();

// For the tests: how many watch callbacks have run in this process.
unsigned watchRounds();

}  // namespace pavu
