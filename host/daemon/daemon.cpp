#include "host/daemon/daemon.h"

#include "driver/core/driver.h"
#include "host/test_bus.h"
#include "platform/user/runtime_dir.h"

namespace host {
namespace {

class TestBusSource : public DeviceSource {
  public:
    explicit TestBusSource(int devices) : devices_(devices) {}
    std::string name() const override { return "test bus"; }
    void attach(usbbus::BusListener* listener) override {
        bus_.setListener(listener);
        for (int n = 1; n <= devices_; ++n)
            bus_.plug("USB\\VID_F1A5&PID_0B2D\\testbus-" + std::to_string(n));
    }
    void detach() override { bus_.setListener(nullptr); }

  private:
    TestBus bus_;
    int devices_;
};

}  // namespace

std::unique_ptr<DeviceSource> makeTestBusSource(int devices) {
    return std::make_unique<TestBusSource>(devices);
}

Daemon::Daemon() = default;

Daemon::~Daemon() {
    shutdown();
}

bool Daemon::start(const DaemonOptions& options, std::string* error) {
    socketPath_ = options.socketPath;
    if (socketPath_.empty()) {
        std::string dir = uruntime::hostDirectory(options.service);
        if (dir.empty()) {
            *error =
                "no runtime directory: set PAV512_RUNTIME_DIR or XDG_RUNTIME_DIR, or run as a "
                "service";
            return false;
        }
        socketPath_ = uruntime::socketPathIn(dir);
    }
    // The PnP manager goes before the sources whose devices it removes.
    if (options.testDevices > 0) sources_.push_back(makeTestBusSource(options.testDevices));
    pnp_ = std::make_unique<PnpManager>();
    NTSTATUS st = pnp_->loadDriver("pav512", PAV512_DriverEntry);
    if (!NT_SUCCESS(st)) {
        *error = "the driver did not load";
        return false;
    }
    for (auto& s : sources_) s->attach(pnp_.get());
    pnp_->settle();

    SocketServer::Options o;
    o.socketPath = socketPath_;
    o.dispatchThreads = options.dispatchThreads;
    server_ = SocketServer::start(o, error);
    return server_ != nullptr;
}

int Daemon::shutdown() {
    if (down_) return 0;
    down_ = true;
    // Channels first: each closes as if its client had closed it, which
    // releases its sessions and streams, so no stop is vetoed for them.
    if (server_) server_->stop();
    for (auto& s : sources_) s->detach();
    int removed = 0;
    if (pnp_) {
        pnp_->settle();
        for (PDEVICE_OBJECT pdo : pnp_->devices()) {
            if (NT_SUCCESS(pnp_->queryStop(pdo)))
                pnp_->stop(pdo);
            else
                pnp_->cancelStop(pdo);
            if (!NT_SUCCESS(pnp_->queryRemove(pdo))) pnp_->surpriseRemoval(pdo);
            if (NT_SUCCESS(pnp_->remove(pdo))) ++removed;
        }
        pnp_.reset();
    }
    sources_.clear();
    server_.reset();
    return removed;
}

}  // namespace host
