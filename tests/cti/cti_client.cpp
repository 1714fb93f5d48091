#include "tests/cti/cti_client.h"

#include <cstring>

#include "tests/support/kernel_test.h"

namespace ctitest {

Client::Client(PDEVICE_OBJECT device) {
    file_.Type = 5;
    file_.Size = sizeof(FILE_OBJECT);
    file_.DeviceObject = device;
}

Client::~Client() {
    std::lock_guard<std::mutex> g(lock_);
    for (PIRP irp : sent_) kio::releaseIrp(irp);
}

std::shared_ptr<Reply> Client::send(ULONG code, Bytes buffer) {
    auto reply = std::make_shared<Reply>();
    auto length = static_cast<ULONG>(buffer.size());
    PIRP irp =
        kio::sendDeviceControl(&file_, code, buffer.data(), length, length, false,
                               [reply](NTSTATUS status, ULONG_PTR information, const void* data) {
                                   reply->status = status;
                                   reply->information = information;
                                   auto* bytes = static_cast<const std::uint8_t*>(data);
                                   if (bytes) reply->data.assign(bytes, bytes + information);
                                   reply->done.store(true);
                               });
    if (irp) {
        reply->irp = irp;
        std::lock_guard<std::mutex> g(lock_);
        sent_.push_back(irp);
    }
    return reply;
}

std::shared_ptr<Reply> Client::call(ULONG code, Bytes buffer) {
    auto reply = send(code, std::move(buffer));
    wait(reply);
    return reply;
}

bool Client::wait(const std::shared_ptr<Reply>& reply) {
    return pavtest::waitFor([&] { return reply->done.load(); });
}

void Client::cancel(const std::shared_ptr<Reply>& reply) {
    if (reply->irp) IoCancelIrp(reply->irp);
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
