#include "tests/cti/cti_client.h"

#include <cstring>

#include "tests/support/kernel_test.h"

namespace ctitest {

Block controlOut(std::uint8_t request, std::uint16_t value, Bytes data) {
    Block b;
    b.request = request;
    b.value = value;
    b.data = std::move(data);
    return b;
}

Block controlIn(std::uint8_t request, std::uint16_t value, std::size_t length) {
    Block b;
    b.request = request;
    b.value = value;
    b.data.assign(length, 0);
    return b;
}

Block bulkIn(std::size_t length, std::size_t slack) {
    Block b;
    b.control = false;
    b.data.assign(length, 0);
    b.slack = slack;
    return b;
}

Block bulkOut(Bytes data) {
    Block b;
    b.control = false;
    b.toCamera = true;
    b.data = std::move(data);
    return b;
}

namespace {

void put32(Bytes& b, std::size_t at, std::uint32_t v) {
    std::memcpy(b.data() + at, &v, 4);
}

}  // namespace

std::uint32_t u32(const Bytes& b, std::size_t at) {
    std::uint32_t v = 0;
    if (at + 4 <= b.size()) std::memcpy(&v, b.data() + at, 4);
    return v;
}

Bytes header(ULONG session, ULONG thread, ULONG task, ULONG value) {
    Bytes b(sizeof(pav512::CommandHeader), 0);
    b[0] = pav512::kModuleStatusUnanswered;
    put32(b, 4, session);
    put32(b, 8, thread);
    put32(b, 12, task);
    put32(b, 16, value);
    return b;
}

std::size_t blockOffset(const std::vector<Block>& blocks, std::size_t i) {
    std::size_t at = pav512::kTransactionListOffset;
    for (std::size_t k = 0; k < i; ++k) at += 24 + blocks[k].data.size() + blocks[k].slack;
    return at;
}

Bytes transaction(ULONG session, ULONG thread, ULONG task, const std::vector<Block>& blocks) {
    Bytes b = header(session, thread, task);
    for (const Block& block : blocks) {
        std::size_t at = b.size();
        b.resize(at + 24 + block.data.size() + block.slack, 0xAB);
        put32(b, at, static_cast<std::uint32_t>(24 + block.data.size() + block.slack));
        put32(b, at + 4, block.control ? 1 : 0);
        put32(b, at + 8, block.toCamera ? 1 : 0);
        put32(b, at + 12, static_cast<std::uint32_t>(block.data.size()));
        b[at + 16] = 0xFF;  // the block status, preset as the library does
        b[at + 17] = block.request;
        b[at + 18] = static_cast<std::uint8_t>(block.value >> 8);
        b[at + 19] = static_cast<std::uint8_t>(block.value);
        b[at + 20] = static_cast<std::uint8_t>(block.index >> 8);
        b[at + 21] = static_cast<std::uint8_t>(block.index);
        b[at + 22] = b[at + 23] = 0;
        if (!block.data.empty())
            std::memcpy(b.data() + at + 24, block.data.data(), block.data.size());
    }
    b.resize(b.size() + 4 + 24, 0);  // the terminator and the library's spare room
    return b;
}

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
