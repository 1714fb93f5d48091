// The PTP* exports: PTP handles with their process-wide list, the session and
// lock requests, and the transfer and command requests of the driver's PTP
// transport.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "library/device/device_registry.h"
#include "library/device/export_guard.h"
#include "library/device/ptp_internal.h"
#include "library/device/request.h"
#include "pav512/buffers.h"
#include "pav512/ioctl.h"

struct PTP_HANDLE_S {
    std::uint32_t magic = 0;
    std::atomic<HANDLE> channel{INVALID_HANDLE_VALUE};
    std::uint32_t session = 0;  // the driver's session identifier
    std::uint32_t camera = 0;
};

namespace pavu {
namespace {

constexpr std::uint32_t kPtpHandleMagic = 0xED155AA5;
// The largest data area one request may carry: what a control channel moves
// in one buffer, less the header. Asking for more would only allocate a
// buffer no channel takes.
constexpr std::uint32_t kMaxData = (16u << 20) - pav512::kPtpDataOffset;

using Handle = std::shared_ptr<PTP_HANDLE_S>;

// The list and its lock live for the whole process: a handle closed by one
// thread while another still uses it stays allocated until that use ends.
std::mutex& listLock() {
    static auto* m = new std::mutex();
    return *m;
}
std::vector<Handle>& handleList() {
    static auto* v = new std::vector<Handle>();
    return *v;
}

// The handle if it is in the list and carries its magic. Only a pointer
// found in the list is ever read.
Handle acquire(PTP_HANDLE h) {
    if (!h) return nullptr;
    std::lock_guard<std::mutex> g(listLock());
    for (const Handle& x : handleList())
        if (x.get() == h) return x->magic == kPtpHandleMagic ? x : nullptr;
    return nullptr;
}

using pav512::fields::get16;
using pav512::fields::get32;
using pav512::fields::put16;
using pav512::fields::put32;

// A request of the header alone (open, close, lock, unlock, version): the
// session identifier in, the first parameter word out.
PTPSTATUS headerRequest(HANDLE channel, DWORD code, std::uint32_t session,
                        std::uint32_t* firstValue = nullptr) {
    pav512::PtpHeader header{};
    header.sessionId = session;
    std::uint8_t result = sendRequest(channel, code, &header, static_cast<DWORD>(sizeof header));
    PTPSTATUS status = mapPtpResult(result);
    if (status == PTPSTATUS_SUCCESS && firstValue) *firstValue = header.parameters[0];
    return status;
}

void closeChannel(PTP_HANDLE_S* h) {
    HANDLE old = h->channel.exchange(INVALID_HANDLE_VALUE);
    if (old != INVALID_HANDLE_VALUE && old != nullptr) CloseHandle(old);
}

// Takes the handle out of the list (once), tells the driver the session ends
// and closes the channel. The record itself goes with its last user.
PTPSTATUS closeHandle(PTP_HANDLE h) {
    Handle mine;
    {
        std::lock_guard<std::mutex> g(listLock());
        auto& list = handleList();
        auto it =
            std::find_if(list.begin(), list.end(), [&](const Handle& x) { return x.get() == h; });
        if (it == list.end() || (*it)->magic != kPtpHandleMagic) return PTPSTATUS_INVALID_HANDLE;
        mine = *it;
        list.erase(it);
    }
    headerRequest(mine->channel.load(), pav512::IOCTL_PTP_CLOSE, mine->session);  // answer ignored
    mine->magic = 0;
    closeChannel(mine.get());
    return PTPSTATUS_SUCCESS;
}

// Opens the channel and connects. Camera 0 searches from 1; a camera that
// refuses the connect ends a plain open and is passed over by the
// picture-service form.
PTPSTATUS connect(const Handle& h, std::uint8_t cameraNumber, PtpConnect variant) {
    const DWORD code =
        variant == PtpConnect::Plain ? pav512::IOCTL_PTP_OPEN : pav512::IOCTL_PTP_OPEN_WIA;
    const bool search = cameraNumber == 0;
    DWORD from = search ? 1 : cameraNumber;
    while (from <= kMaxCameraNumber) {
        HANDLE channel = INVALID_HANDLE_VALUE;
        DWORD found = 0;
        if (!openControlChannel(&channel, from, search, &found)) break;
        std::uint32_t session = 0;
        if (headerRequest(channel, code, 0, &session) == PTPSTATUS_SUCCESS) {
            h->channel.store(channel);
            h->session = session;
            h->camera = found;
            return PTPSTATUS_SUCCESS;
        }
        CloseHandle(channel);
        if (!search || variant == PtpConnect::Plain) break;
        from = found + 1;
    }
    return PTPSTATUS_CAMERA_NOT_FOUND;
}

PTPSTATUS open(std::uint8_t cameraNumber, std::uint8_t* cameraOpened, PTP_HANDLE* handle,
               PtpConnect variant) {
    if (cameraOpened) *cameraOpened = 0;
    if (!handle) return PTPSTATUS_NULL_POINTER;
    *handle = nullptr;
    Handle h(new (std::nothrow) PTP_HANDLE_S());
    if (!h) return PTPSTATUS_ALLOC_FAILED;
    h->magic = kPtpHandleMagic;
    PTPSTATUS status = connect(h, cameraNumber, variant);
    if (status != PTPSTATUS_SUCCESS) return status;
    {
        std::lock_guard<std::mutex> g(listLock());
        handleList().push_back(h);
    }
    std::uint32_t version = 0;
    status = headerRequest(h->channel.load(), pav512::IOCTL_PTP_VERSION, h->session, &version);
    if (status == PTPSTATUS_SUCCESS && (version & 0xFFFF) != PTP_VERSION)
        status = PTPSTATUS_DRIVER_VERSION_MISMATCH;
    if (status != PTPSTATUS_SUCCESS) {
        closeHandle(h.get());
        return status;
    }
    if (cameraOpened) *cameraOpened = static_cast<std::uint8_t>(h->camera);
    *handle = h.get();
    return PTPSTATUS_SUCCESS;
}

// Between two refused lock attempts: at once at first, as a lock usually
// comes free within a transaction; later a millisecond apart, so that a
// client waiting out a long hold does not keep the host busy answering it.
void pauseBeforeRetry(DWORD waited) {
    if (waited < 2)
        std::this_thread::yield();
    else
        Sleep(1);
}

}  // namespace

PTPSTATUS ptpOpen(std::uint8_t cameraNumber, std::uint8_t* cameraOpened, PTP_HANDLE* handle,
                  PtpConnect variant) {
    return open(cameraNumber, cameraOpened, handle, variant);
}

std::uint32_t ptpSessionIdentifier(PTP_HANDLE handle) {
    Handle h = acquire(handle);
    return h ? h->session : 0;
}

void ptpDetach() {
    std::vector<Handle> left;
    {
        std::lock_guard<std::mutex> g(listLock());
        left = handleList();
    }
    for (const Handle& h : left) closeHandle(h.get());
}

}  // namespace pavu

using namespace pavu;

extern "C" {

PAV512U_API PTPSTATUS PTPGetErrorText(PTPSTATUS status, char* text, uint32_t length) {
    if (!text) return PTPSTATUS_NULL_POINTER;
    // No room even for the terminator: nothing can be written.
    if (length == 0) return PTPSTATUS_BUFFER_TOO_SMALL;
    const char* name = ptpStatusName(status);
    const char* shown = name ? name : "Unknown Error Code";
    std::size_t n = std::min<std::size_t>(std::strlen(shown), length - 1);
    std::memcpy(text, shown, n);
    text[n] = '\0';
    return name ? PTPSTATUS_SUCCESS : PTPSTATUS_INVALID_STATUS;
}

PAV512U_API PTPSTATUS PTPHandleOpen(uint8_t cameraNumber, uint8_t* cameraOpened,
                                    PTP_HANDLE* handle) {
    return guarded<PTPSTATUS>(PTPSTATUS_ALLOC_FAILED, [&] {
        return open(cameraNumber, cameraOpened, handle, PtpConnect::Plain);
    });
}

PAV512U_API PTPSTATUS PTPHandleClose(PTP_HANDLE handle) {
    return guarded<PTPSTATUS>(PTPSTATUS_ALLOC_FAILED, [&] { return closeHandle(handle); });
}

PAV512U_API PTPSTATUS PTPHandleLock(PTP_HANDLE handle, uint32_t timeoutMs) {
    return guarded<PTPSTATUS>(PTPSTATUS_ALLOC_FAILED, [&] {
        Handle h = acquire(handle);
        if (!h) return PTPSTATUS_INVALID_HANDLE;
        const DWORD start = GetTickCount();
        for (;;) {
            PTPSTATUS status = headerRequest(h->channel.load(), pav512::IOCTL_PTP_LOCK, h->session);
            if (status == PTPSTATUS_SUCCESS) return status;
            // A camera that is gone, or a driver that answers garbage, will
            // not give the lock however long we ask.
            if (status == PTPSTATUS_CAMERA_REMOVED || status == PTPSTATUS_TRANSPORT_FAILED)
                return status;
            const DWORD waited = GetTickCount() - start;
            if (timeoutMs != PTP_TIMEOUT_INFINITE && waited >= timeoutMs) return status;
            pauseBeforeRetry(waited);
        }
    });
}

PAV512U_API PTPSTATUS PTPHandleUnlock(PTP_HANDLE handle) {
    return guarded<PTPSTATUS>(PTPSTATUS_ALLOC_FAILED, [&] {
        Handle h = acquire(handle);
        if (!h) return PTPSTATUS_INVALID_HANDLE;
        return headerRequest(h->channel.load(), pav512::IOCTL_PTP_UNLOCK, h->session);
    });
}

PAV512U_API PTPSTATUS PTPTransfer(PTP_HANDLE handle, PtpTransferBlock* block, uint32_t length,
                                  void* buffer) {
    return guarded<PTPSTATUS>(PTPSTATUS_ALLOC_FAILED, [&]() -> PTPSTATUS {
        Handle h = acquire(handle);
        if (!h) return PTPSTATUS_INVALID_HANDLE;
        if (!block) return PTPSTATUS_NULL_POINTER;
        if (length > 0 && !buffer) return PTPSTATUS_BAD_PARAMETER;
        const std::uint16_t kind = block->kind;
        if (kind < PTP_TRANSFER_COMMAND || kind > PTP_TRANSFER_RESPONSE)
            return PTPSTATUS_BAD_PARAMETER;
        if (length > kMaxData) return PTPSTATUS_BUFFER_TOO_LARGE;

        // Not cleared first: a download's large buffers are not written
        // twice. A data phase's data area goes in straight from the caller's
        // buffer; a response phase sends zeros.
        const bool fromCaller = kind != PTP_TRANSFER_RESPONSE && length > 0;
        const std::size_t size = pav512::kPtpDataOffset + std::size_t{length};
        std::unique_ptr<std::uint8_t[]> request(new std::uint8_t[size]);
        std::uint8_t* b = request.get();
        std::memset(b, 0, pav512::kPtpDataOffset);
        put32(b, offsetof(pav512::PtpTransfer, sessionId), h->session);
        put16(b, offsetof(pav512::PtpTransfer, kind), kind);
        put16(b, offsetof(pav512::PtpTransfer, word10), block->code);
        put32(b, offsetof(pav512::PtpTransfer, word12), block->sessionNumber);
        put32(b, offsetof(pav512::PtpTransfer, word16), block->totalLength);
        put32(b, offsetof(pav512::PtpTransfer, dataLength), length);
        put32(b, offsetof(pav512::PtpTransfer, word24), block->chunkOffset);
        if (!fromCaller && length) std::memset(b + pav512::kPtpDataOffset, 0, length);

        // The answer comes back whole into the request's buffer: only what
        // a good answer says is there reaches the caller's.
        // sendRequest answers a short reply (not the request's size) as a
        // transport failure, so a success here has every byte.
        const std::uint8_t result =
            fromCaller ? sendRequestFrom(h->channel.load(), pav512::IOCTL_PTP_TRANSFER, b,
                                         static_cast<DWORD>(pav512::kPtpDataOffset), buffer,
                                         static_cast<DWORD>(length))
                       : sendRequest(h->channel.load(), pav512::IOCTL_PTP_TRANSFER, b,
                                     static_cast<DWORD>(size));
        PTPSTATUS status = mapPtpResult(result);
        if (status != PTPSTATUS_SUCCESS || kind == PTP_TRANSFER_COMMAND) return status;
        const std::uint32_t chunk = get32(b, offsetof(pav512::PtpTransfer, dataLength));
        // A reply claiming more bytes than the caller's buffer holds would
        // leave the caller reading what it never got.
        if (chunk > length) return PTPSTATUS_TRANSPORT_FAILED;
        if (chunk) std::memcpy(buffer, b + pav512::kPtpDataOffset, chunk);
        block->kind = get16(b, offsetof(pav512::PtpTransfer, kind));
        block->code = get16(b, offsetof(pav512::PtpTransfer, word10));
        block->sessionNumber = get32(b, offsetof(pav512::PtpTransfer, word12));
        block->totalLength = get32(b, offsetof(pav512::PtpTransfer, word16));
        block->chunkLength = chunk;
        block->chunkOffset = get32(b, offsetof(pav512::PtpTransfer, word24));
        if (block->kind == PTP_TRANSFER_RESPONSE && block->code != PTP_RESPONSE_OK)
            return PTPSTATUS_RESPONSE_BASE + block->code;
        return PTPSTATUS_SUCCESS;
    });
}

PAV512U_API PTPSTATUS PTPCommand(PTP_HANDLE handle, PtpCommandBlock* block, uint32_t length,
                                 void* buffer) {
    return guarded<PTPSTATUS>(PTPSTATUS_ALLOC_FAILED, [&]() -> PTPSTATUS {
        Handle h = acquire(handle);
        if (!h) return PTPSTATUS_INVALID_HANDLE;
        if (!block) return PTPSTATUS_NULL_POINTER;
        if (length > 0 && !buffer) return PTPSTATUS_BAD_PARAMETER;
        if (length > kMaxData) return PTPSTATUS_BUFFER_TOO_LARGE;

        std::vector<std::uint8_t> request(pav512::kPtpDataOffset + std::size_t{length});
        std::uint8_t* b = request.data();
        const bool toCamera = block->direction == 0;
        put32(b, offsetof(pav512::PtpCommand, sessionId), h->session);
        put32(b, offsetof(pav512::PtpCommand, dataAreaSize), length);
        put32(b, offsetof(pav512::PtpCommand, dataLength), toCamera ? length : block->dataLength);
        put32(b, offsetof(pav512::PtpCommand, direction), block->direction);
        b[offsetof(pav512::PtpCommand, classRequest)] = block->requestCode;
        put16(b, offsetof(pav512::PtpCommand, word22), block->commandValue);
        if (toCamera && length) std::memcpy(b + pav512::kPtpDataOffset, buffer, length);

        PTPSTATUS status = mapPtpResult(sendRequest(h->channel.load(), pav512::IOCTL_PTP_COMMAND, b,
                                                    static_cast<DWORD>(request.size())));
        if (status != PTPSTATUS_SUCCESS) return status;
        const std::uint32_t moved = get32(b, offsetof(pav512::PtpCommand, dataLength));
        if (!toCamera) {
            if (moved > length) return PTPSTATUS_TRANSPORT_FAILED;
            if (moved) std::memcpy(buffer, b + pav512::kPtpDataOffset, moved);
        }
        block->dataLength = moved;
        block->requestCode = b[offsetof(pav512::PtpCommand, classRequest)];
        block->direction = get32(b, offsetof(pav512::PtpCommand, direction));
        block->commandValue = get16(b, offsetof(pav512::PtpCommand, word22));
        return PTPSTATUS_SUCCESS;
    });
}

PAV512U_API PTPSTATUS PTPWaitEvent(void) {
    return PTPSTATUS_SUCCESS;
}

}  // extern "C"
