#include "platform/user/device_io.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "platform/kernel/object.h"
#include "platform/user/channel_protocol.h"
#include "platform/user/channel_transport.h"

namespace {

OBJECT_TYPE channelType{"Channel"};

// The object behind a channel handle. Destroying it (the last CloseHandle)
// closes the channel, which cancels its pending requests and waits for them.
struct ChannelFile {
    std::unique_ptr<uchannel::Channel> channel;
    bool overlapped = false;
    // Signalled to waiters of GetOverlappedResult without an event.
    std::mutex lock;
    std::condition_variable completed;
    // Overlapped requests still pending, by their OVERLAPPED: a waiter of
    // GetOverlappedResult may then read its own answer (waitDirect). Under
    // `lock`; a completion takes its entry out before it sets the status.
    std::map<const OVERLAPPED*, std::uint64_t> inflight;
    // Buffers of AllocateDeviceBuffer: true when shared with the host (the
    // channel's), false when this process's own. Under `lock`.
    std::map<void*, bool> buffers;

    ~ChannelFile() {
        if (channel) channel->close();
        for (auto& [memory, shared] : buffers)
            if (!shared) std::free(memory);
    }
};

struct FileRef : uhandle::Ref<ChannelFile> {
    explicit FileRef(HANDLE h) : Ref(h, uhandle::Kind::File, &channelType) {}
};

ULONG_PTR_W loadInternal(const LPOVERLAPPED ov) {
    return std::atomic_ref<ULONG_PTR_W>(ov->Internal).load(std::memory_order_acquire);
}

constexpr ULONG_PTR_W kPending = static_cast<ULONG_PTR_W>(static_cast<ULONG>(STATUS_PENDING));

BOOL finish(NTSTATUS status, std::uint32_t information, LPDWORD bytes) {
    if (bytes) *bytes = information;
    if (NT_SUCCESS(status)) return TRUE;
    SetLastError(uchannel::win32ErrorOf(status));
    return FALSE;
}

}  // namespace

HANDLE CreateFileA(LPCSTR lpFileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES,
                   DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE) {
    if (lpFileName == nullptr || dwCreationDisposition != OPEN_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto transport = uchannel::currentTransport();
    std::unique_ptr<uchannel::Channel> channel;
    DWORD err = transport ? transport->open(lpFileName, &channel) : ERROR_FILE_NOT_FOUND;
    if (err != ERROR_SUCCESS || !channel) {
        SetLastError(err != ERROR_SUCCESS ? err : ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    auto* file = kobj::create<ChannelFile>(&channelType);
    if (!file) {
        channel->close();
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    file->channel = std::move(channel);
    file->overlapped = (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    HANDLE h = uhandle::insert(file, uhandle::Kind::File);
    ObfDereferenceObject(file);
    SetLastError(ERROR_SUCCESS);
    return h;
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                     LPOVERLAPPED lpOverlapped) {
    return DeviceIoControlSplit(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                                nOutBufferSize, nullptr, 0, lpBytesReturned, lpOverlapped);
}

BOOL DeviceIoControlSplit(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                          DWORD nInBufferSize, LPVOID lpOutHead, DWORD nOutHeadSize,
                          LPVOID lpOutRest, DWORD nOutRestSize, LPDWORD lpBytesReturned,
                          LPOVERLAPPED lpOverlapped) {
    return DeviceIoControlParts(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize, nullptr, 0,
                                lpOutHead, nOutHeadSize, lpOutRest, nOutRestSize, lpBytesReturned,
                                lpOverlapped);
}

BOOL DeviceIoControlParts(HANDLE hDevice, DWORD dwIoControlCode, LPCVOID lpInHead,
                          DWORD nInHeadSize, LPCVOID lpInRest, DWORD nInRestSize, LPVOID lpOutHead,
                          DWORD nOutHeadSize, LPVOID lpOutRest, DWORD nOutRestSize,
                          LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
    FileRef ref(hDevice);
    if (!ref) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if ((nInHeadSize && !lpInHead) || (nInRestSize && !lpInRest) ||
        nInRestSize > 0xFFFFFFFFu - nInHeadSize || (nOutHeadSize && !lpOutHead) ||
        (nOutRestSize && !lpOutRest) || nOutRestSize > 0xFFFFFFFFu - nOutHeadSize) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ChannelFile* file = ref.get();
    uchannel::InputParts input;
    input.part[0] = static_cast<const std::uint8_t*>(lpInHead);
    input.length[0] = nInHeadSize;
    input.part[1] = static_cast<const std::uint8_t*>(lpInRest);
    input.length[1] = nInRestSize;
    const DWORD nOutBufferSize = nOutHeadSize + nOutRestSize;
    // The answer is put where it belongs (received there when the transport
    // can), never first into a buffer of this layer.
    uchannel::ReplyPlace place;
    place.part[0] = static_cast<std::uint8_t*>(lpOutHead);
    place.length[0] = nOutHeadSize;
    place.part[1] = static_cast<std::uint8_t*>(lpOutRest);
    place.length[1] = nOutRestSize;

    if (lpOverlapped && file->overlapped) {
        HANDLE event = lpOverlapped->hEvent;
        if (event) ResetEvent(event);
        std::atomic_ref<ULONG_PTR_W>(lpOverlapped->InternalHigh).store(0);
        std::atomic_ref<ULONG_PTR_W>(lpOverlapped->Internal)
            .store(kPending, std::memory_order_release);
        // The channel waits for every completion before the file goes away,
        // so the completion may use `file` without a reference of its own.
        const std::uint64_t id = file->channel->submitParts(
            dwIoControlCode, input, nOutBufferSize, place,
            [file, lpOverlapped, nOutBufferSize, event](NTSTATUS st, std::uint32_t info,
                                                        const std::uint8_t*) {
                std::uint32_t n = std::min<std::uint32_t>(info, nOutBufferSize);
                {
                    std::lock_guard<std::mutex> g(file->lock);
                    file->inflight.erase(lpOverlapped);
                    std::atomic_ref<ULONG_PTR_W>(lpOverlapped->InternalHigh).store(n);
                    std::atomic_ref<ULONG_PTR_W>(lpOverlapped->Internal)
                        .store(static_cast<ULONG_PTR_W>(static_cast<ULONG>(st)),
                               std::memory_order_release);
                }
                file->completed.notify_all();
                // The caller may reuse the OVERLAPPED as soon as it sees the
                // status, so only the captured event handle is used from here.
                if (event) SetEvent(event);
            });
        {
            // Known only while it is still pending: a completion that came
            // first has already set the status (under the same lock).
            std::lock_guard<std::mutex> g(file->lock);
            if (id != 0 && loadInternal(lpOverlapped) == kPending)
                file->inflight[lpOverlapped] = id;
        }
        ULONG_PTR_W internal = loadInternal(lpOverlapped);
        if (internal == kPending) {
            SetLastError(ERROR_IO_PENDING);
            return FALSE;
        }
        return finish(static_cast<NTSTATUS>(static_cast<ULONG>(internal)),
                      static_cast<std::uint32_t>(lpOverlapped->InternalHigh), lpBytesReturned);
    }

    // Synchronous: wait here for the completion.
    struct Wait {
        std::mutex lock;
        std::condition_variable cv;
        bool done = false;
        NTSTATUS status = STATUS_PENDING;
        std::uint32_t information = 0;
    };
    auto wait = std::make_shared<Wait>();
    const std::uint64_t id = file->channel->submitParts(
        dwIoControlCode, input, nOutBufferSize, place,
        [wait, nOutBufferSize](NTSTATUS st, std::uint32_t info, const std::uint8_t*) {
            std::uint32_t n = std::min<std::uint32_t>(info, nOutBufferSize);
            std::lock_guard<std::mutex> g(wait->lock);
            wait->status = st;
            wait->information = n;
            wait->done = true;
            wait->cv.notify_all();
        },
        /*waited=*/true);
    // Read the answer here when the channel lets us: one thread fewer to wake.
    // (Called whatever the id: submitWaited may have kept the channel for it.)
    file->channel->waitDirect(id);
    std::unique_lock<std::mutex> g(wait->lock);
    wait->cv.wait(g, [&] { return wait->done; });
    return finish(wait->status, wait->information, lpBytesReturned);
}

BOOL DeviceIoControlHold(HANDLE hDevice, BOOL bHold) {
    FileRef ref(hDevice);
    if (!ref) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ref->channel->holdRequests(bHold != FALSE);
    return TRUE;
}

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                         LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
    if (!lpOverlapped) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (loadInternal(lpOverlapped) == kPending) {
        if (!bWait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        // A request of this channel still pending: read its answer here when
        // the channel lets us, rather than be woken by the thread that would.
        if (FileRef ref(hFile); ref) {
            std::uint64_t id = 0;
            {
                std::lock_guard<std::mutex> g(ref->lock);
                auto it = ref->inflight.find(lpOverlapped);
                if (it != ref->inflight.end()) id = it->second;
            }
            if (id != 0) ref->channel->waitDirect(id);
        }
        if (lpOverlapped->hEvent) {
            // The event may be signalled by its owner for other reasons; the
            // status decides.
            while (loadInternal(lpOverlapped) == kPending) {
                if (WaitForSingleObject(lpOverlapped->hEvent, INFINITE) == WAIT_FAILED)
                    return FALSE;
            }
        } else {
            FileRef ref(hFile);
            if (!ref) {
                SetLastError(ERROR_INVALID_HANDLE);
                return FALSE;
            }
            std::unique_lock<std::mutex> g(ref->lock);
            ref->completed.wait(g, [&] { return loadInternal(lpOverlapped) != kPending; });
        }
    }
    ULONG_PTR_W internal = loadInternal(lpOverlapped);
    return finish(static_cast<NTSTATUS>(static_cast<ULONG>(internal)),
                  static_cast<std::uint32_t>(lpOverlapped->InternalHigh),
                  lpNumberOfBytesTransferred);
}

LPVOID AllocateDeviceBuffer(HANDLE hDevice, DWORD nSize) {
    FileRef ref(hDevice);
    if (!ref) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (nSize == 0 || nSize > uproto::kMaxBuffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    void* memory = ref->channel->shareMemory(nSize);
    const bool shared = memory != nullptr;
    if (!memory) memory = std::calloc(nSize, 1);
    if (!memory) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    std::lock_guard<std::mutex> g(ref->lock);
    ref->buffers.emplace(memory, shared);
    return memory;
}

BOOL FreeDeviceBuffer(HANDLE hDevice, LPVOID lpBuffer) {
    FileRef ref(hDevice);
    if (!ref) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    bool shared;
    {
        std::lock_guard<std::mutex> g(ref->lock);
        auto it = ref->buffers.find(lpBuffer);
        if (it == ref->buffers.end()) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        shared = it->second;
        ref->buffers.erase(it);
    }
    if (shared)
        ref->channel->unshareMemory(static_cast<std::uint8_t*>(lpBuffer));
    else
        std::free(lpBuffer);
    return TRUE;
}

BOOL CancelIo(HANDLE hFile) {
    FileRef ref(hFile);
    if (!ref) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ref->channel->cancelAll();
    return TRUE;
}
