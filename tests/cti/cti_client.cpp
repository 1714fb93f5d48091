#include "tests/cti/cti_client.h"

#include "driver/core/device_context.h"

namespace ctitest {

bool hasCurrentTransaction(DeviceContext* device) {
    CtiState& t = device->cti;
    KIRQL irql = KfAcquireSpinLock(&t.engineLock);
    bool current = t.current != nullptr;
    KfReleaseSpinLock(&t.engineLock, irql);
    return current;
}

std::shared_ptr<Reply> Client::call(ULONG code, Bytes buffer) {
    auto reply = send(code, std::move(buffer));
    wait(reply);
    return reply;
}

std::uint8_t Client::open(bool exclusive, ULONG* session) {
    auto r = call(pav512::IOCTL_CTI_OPEN, header(0, 0, 0, exclusive ? 1 : 0));
    if (session) *session = u32(r->data, 16);
    return r->moduleStatus();
}

std::uint8_t Client::close(ULONG session) {
    return call(pav512::IOCTL_CTI_CLOSE, header(session))->moduleStatus();
}

std::uint8_t Client::lock(ULONG session, ULONG thread, bool tieToThread) {
    return call(pav512::IOCTL_CTI_LOCK, header(session, thread, 0, tieToThread ? 1 : 0))
        ->moduleStatus();
}

std::uint8_t Client::unlock(ULONG session, ULONG thread) {
    return call(pav512::IOCTL_CTI_UNLOCK, header(session, thread))->moduleStatus();
}

std::uint8_t Client::reset(ULONG session) {
    return call(pav512::IOCTL_CTI_RESET, header(session))->moduleStatus();
}

std::uint8_t Client::abortTask(ULONG session, ULONG task) {
    return call(pav512::IOCTL_CTI_ABORT_TASK, header(session, 0, 0, task))->moduleStatus();
}

}  // namespace ctitest
