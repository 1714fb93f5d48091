#include "tests/support/device_client.h"

#include "tests/support/kernel_test.h"

namespace pavtest {

DeviceClient::DeviceClient(PDEVICE_OBJECT device) {
    file_.Type = 5;
    file_.Size = sizeof(FILE_OBJECT);
    file_.DeviceObject = device;
}

DeviceClient::~DeviceClient() {
    std::lock_guard<std::mutex> g(lock_);
    for (PIRP irp : sent_) kio::releaseIrp(irp);
}

std::shared_ptr<Reply> DeviceClient::sendRequest(ULONG code, std::vector<std::uint8_t> buffer,
                                                 bool internal) {
    auto reply = std::make_shared<Reply>();
    auto length = static_cast<ULONG>(buffer.size());
    PIRP irp =
        kio::sendDeviceControl(&file_, code, buffer.data(), length, length, internal,
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

bool DeviceClient::wait(const std::shared_ptr<Reply>& reply) {
    return waitFor([&] { return reply->done.load(); });
}

void DeviceClient::cancel(const std::shared_ptr<Reply>& reply) {
    if (reply->irp) IoCancelIrp(reply->irp);
}

}  // namespace pavtest
