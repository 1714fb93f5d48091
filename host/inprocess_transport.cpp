#include "host/inprocess_transport.h"

#include <atomic>

#include "host/channel_host.h"
#include "platform/user/handles.h"

namespace host {
namespace {

// In this process a client's event handle is a handle of the user-mode table,
// and the event object behind it is what the driver signals.
class OwnProcessTable : public kobj::ClientObjectTable {
  public:
    NTSTATUS referenceEvent(std::uint32_t handle, PKEVENT* event) override {
        void* object = uhandle::reference(uhandle::fromWire(handle), uhandle::Kind::Event);
        if (!object) return STATUS_INVALID_HANDLE;
        if (kobj::typeOf(object) != *ExEventObjectType) {
            ObfDereferenceObject(object);
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
        *event = static_cast<PKEVENT>(object);
        return STATUS_SUCCESS;
    }
};

OwnProcessTable ownProcess;

class InProcessChannel : public uchannel::Channel {
  public:
    explicit InProcessChannel(std::unique_ptr<HostChannel> host) : host_(std::move(host)) {}
    ~InProcessChannel() override { close(); }

    std::uint64_t submit(std::uint32_t code, const void* input, std::uint32_t inputLength,
                         std::uint32_t outputLength, uchannel::ReplyFn done) override {
        std::uint64_t id = nextId_.fetch_add(1);
        host_->submit(id, code, input, inputLength, outputLength, std::move(done));
        return id;
    }
    void cancel(std::uint64_t id) override { host_->cancel(id); }
    void cancelAll() override { host_->cancelAll(); }
    void close() override { host_->close(); }

  private:
    std::unique_ptr<HostChannel> host_;
    std::atomic<std::uint64_t> nextId_{1};
};

class InProcessTransport : public uchannel::Transport {
  public:
    DWORD enumerateInterfaces(const GUID& classGuid, std::vector<std::string>* paths) override {
        *paths = enabledInterfacePaths(classGuid);
        return ERROR_SUCCESS;
    }

    DWORD open(const std::string& path, std::unique_ptr<uchannel::Channel>* channel) override {
        std::unique_ptr<HostChannel> host;
        NTSTATUS st = HostChannel::open(path, &ownProcess, &host);
        if (!NT_SUCCESS(st)) return uchannel::win32ErrorOf(st);
        *channel = std::make_unique<InProcessChannel>(std::move(host));
        return ERROR_SUCCESS;
    }
};

}  // namespace

std::shared_ptr<uchannel::Transport> makeInProcessTransport() {
    return std::make_shared<InProcessTransport>();
}

}  // namespace host
