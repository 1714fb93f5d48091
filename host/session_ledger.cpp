#include "host/session_ledger.h"

#include <cstring>

#include "pav512/buffers.h"

namespace host {
namespace {

std::uint32_t u32At(const std::uint8_t* p, std::size_t offset) {
    std::uint32_t v;
    std::memcpy(&v, p + offset, 4);
    return v;
}

// A reply the driver answered with module status 0: a successful completion
// that returned at least the code's header.
bool answeredOk(std::uint32_t code, NTSTATUS status, std::uint32_t information,
                const std::uint8_t* reply) {
    std::uint32_t need = pav512::minimumLength(code);
    return NT_SUCCESS(status) && need != 0 && reply != nullptr && information >= need &&
           reply[0] == pav512::kModuleStatusSuccess;
}

template <typename T>
std::vector<std::uint8_t> bufferOf(const T& header) {
    std::vector<std::uint8_t> b(sizeof(T));
    std::memcpy(b.data(), &header, sizeof(T));
    b[0] = pav512::kModuleStatusUnanswered;
    return b;
}

template <typename Multiset>
void eraseOne(Multiset& s, std::uint32_t v) {
    auto it = s.find(v);
    if (it != s.end()) s.erase(it);
}

}  // namespace

void SessionLedger::observe(std::uint32_t code, const std::uint8_t* request,
                            std::uint32_t requestLength, NTSTATUS status, std::uint32_t information,
                            const std::uint8_t* reply) {
    using namespace pav512;
    std::uint32_t need = minimumLength(code);
    if (need == 0 || request == nullptr || requestLength < need) return;
    const bool ok = answeredOk(code, status, information, reply);
    std::lock_guard<std::mutex> g(lock_);
    switch (code) {
        case IOCTL_CTI_OPEN:
            // The new session comes back in the value word, not at offset 4.
            if (ok) commandSessions_.insert(u32At(reply, offsetof(CommandHeader, value)));
            break;
        case IOCTL_CTI_CLOSE:
            // A close the driver answered with a failure (it could not get
            // its lock) closed nothing: the session stays to be closed later.
            if (ok) {
                std::uint32_t session = u32At(request, offsetof(CommandHeader, sessionId));
                eraseOne(commandSessions_, session);
                std::erase_if(commandLocks_, [&](const auto& l) { return l.first == session; });
            }
            break;
        case IOCTL_CTI_LOCK:
            if (ok)
                commandLocks_.emplace(u32At(request, offsetof(CommandHeader, sessionId)),
                                      u32At(request, offsetof(CommandHeader, threadId)));
            break;
        case IOCTL_CTI_UNLOCK:
            if (ok) commandLocks_.erase({u32At(request, 4), u32At(request, 8)});
            break;
        case IOCTL_PTP_OPEN:
        case IOCTL_PTP_OPEN_WIA:
            if (ok) ptpSessions_.insert(u32At(reply, kPtpOpenSessionOffset));
            break;
        case IOCTL_PTP_CLOSE:
            if (NT_SUCCESS(status)) {
                std::uint32_t session = u32At(request, offsetof(PtpHeader, sessionId));
                eraseOne(ptpSessions_, session);
                ptpLocks_.erase(session);
            }
            break;
        case IOCTL_PTP_LOCK:
            if (ok) ptpLocks_.insert(u32At(request, offsetof(PtpHeader, sessionId)));
            break;
        case IOCTL_PTP_UNLOCK:
            if (ok) ptpLocks_.erase(u32At(request, offsetof(PtpHeader, sessionId)));
            break;
        case IOCTL_STREAM_OPEN:
            if (ok) streams_.insert(u32At(reply, offsetof(StreamHeader, streamHandle)));
            break;
        case IOCTL_STREAM_CLOSE:
            if (NT_SUCCESS(status))
                eraseOne(streams_, u32At(request, offsetof(StreamHeader, streamHandle)));
            break;
        case IOCTL_VPI_NOTIFICATION_SET:
            if (ok)
                eventHandles_.insert(u32At(request, offsetof(PropertyHeader, dataLengthOrEvent)));
            break;
        case IOCTL_VPI_NOTIFICATION_CLEAR:
            // One clear removes every registration of the handle.
            if (NT_SUCCESS(status))
                eventHandles_.erase(u32At(request, offsetof(PropertyHeader, dataLengthOrEvent)));
            break;
        default:
            break;
    }
}

std::vector<ClosingRequest> SessionLedger::closingRequests() const {
    using namespace pav512;
    std::vector<ClosingRequest> out;
    std::lock_guard<std::mutex> g(lock_);
    for (const auto& [session, thread] : commandLocks_) {
        CommandHeader h{};
        h.sessionId = session;
        h.threadId = thread;
        out.push_back({IOCTL_CTI_UNLOCK, bufferOf(h)});
    }
    for (std::uint32_t session : ptpLocks_) {
        PtpHeader h{};
        h.sessionId = session;
        out.push_back({IOCTL_PTP_UNLOCK, bufferOf(h)});
    }
    for (std::uint32_t stream : streams_) {
        StreamStateRequest stop{};
        stop.streamHandle = stream;
        stop.state = 0;
        out.push_back({IOCTL_STREAM_SET_STATE, bufferOf(stop)});
        StreamHeader close{};
        close.streamHandle = stream;
        out.push_back({IOCTL_STREAM_CLOSE, bufferOf(close)});
    }
    for (std::uint32_t session : ptpSessions_) {
        PtpHeader h{};
        h.sessionId = session;
        out.push_back({IOCTL_PTP_CLOSE, bufferOf(h)});
    }
    for (std::uint32_t session : commandSessions_) {
        CommandHeader h{};
        h.sessionId = session;
        out.push_back({IOCTL_CTI_CLOSE, bufferOf(h)});
    }
    for (std::uint32_t handle : eventHandles_) {
        PropertyHeader h{};
        h.dataLengthOrEvent = handle;
        out.push_back({IOCTL_VPI_NOTIFICATION_CLEAR, bufferOf(h)});
    }
    return out;
}

bool SessionLedger::empty() const {
    std::lock_guard<std::mutex> g(lock_);
    return commandSessions_.empty() && commandLocks_.empty() && ptpSessions_.empty() &&
           ptpLocks_.empty() && streams_.empty() && eventHandles_.empty();
}

}  // namespace host
