#include "host/daemon/daemon.h"

#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/registry/hives.h"

#include "driver/core/driver.h"
#include "platform/usb/libusb_backend.h"
#include "platform/user/runtime_dir.h"
#include "sim/scenario.h"
#include "sim/sim_camera.h"

namespace host {
namespace {

// Simulated cameras on a bus of their own. A camera keeps its instance path
// (from its scenario's name) across restarts, so its driver key and its
// camera number stay the same.
class SimulatedSource : public DeviceSource {
  public:
    explicit SimulatedSource(std::vector<std::shared_ptr<sim::SimCamera>> cameras)
        : bus_("pav512sim"), cameras_(std::move(cameras)) {}
    std::string name() const override { return "simulated cameras"; }
    void attach(usbbus::BusListener* listener) override {
        bus_.setListener(listener);
        for (const auto& camera : cameras_) {
            std::string error;
            const sim::Scenario& s = camera->scenario();
            if (!bus_.plug(camera, sim::instancePathFor(s), &error))
                problems_.push_back(s.name + ": " + error);
        }
    }
    void detach() override { bus_.setListener(nullptr); }
    const std::vector<std::string>& problems() const { return problems_; }

  private:
    usbbus::Bus bus_;
    std::vector<std::shared_ptr<sim::SimCamera>> cameras_;
    std::vector<std::string> problems_;
};

class UsbSource : public DeviceSource {
  public:
    UsbSource() : bus_("pav512usb"), watcher_(bus_) {}
    ~UsbSource() override { watcher_.stop(); }
    std::string name() const override { return "USB"; }
    bool start(std::string* error) { return watcher_.start(error); }
    void attach(usbbus::BusListener* listener) override { bus_.setListener(listener); }
    void detach() override {
        // Arrivals after this point would find no one to build their stack.
        watcher_.stop();
        bus_.setListener(nullptr);
    }

  private:
    usbbus::Bus bus_;
    usbbus::LibusbWatcher watcher_;
};

}  // namespace

std::unique_ptr<DeviceSource> makeSimulatedSource(const std::vector<std::string>& scenarioFiles,
                                                  bool withDefault, std::string* error) {
    std::vector<sim::Scenario> scenarios;
    if (withDefault) scenarios.push_back(sim::defaultScenario());
    for (const std::string& file : scenarioFiles) {
        std::string problem;
        sim::Scenario s = sim::loadScenario(file, &problem);
        if (!problem.empty()) {
            *error = file + ": " + problem;
            return nullptr;
        }
        for (const sim::Scenario& other : scenarios) {
            if (sim::instancePathFor(other) == sim::instancePathFor(s)) {
                *error = file + ": name: \"" + s.name + "\" is used by another simulated camera";
                return nullptr;
            }
        }
        scenarios.push_back(std::move(s));
    }
    // The content is made now, so that a camera whose objects cannot be
    // built stops the start with the object named instead of arriving
    // without them.
    std::vector<std::shared_ptr<sim::SimCamera>> cameras;
    for (std::size_t i = 0; i < scenarios.size(); ++i) {
        auto camera = sim::SimCamera::create(scenarios[i]);
        if (!camera->contentProblems().empty()) {
            std::size_t file = withDefault ? i - 1 : i;
            *error =
                (i == 0 && withDefault ? std::string("the default camera") : scenarioFiles[file]) +
                ": " + camera->contentProblems().front();
            return nullptr;
        }
        cameras.push_back(std::move(camera));
    }
    return std::make_unique<SimulatedSource>(std::move(cameras));
}

Daemon::Daemon() = default;

Daemon::~Daemon() {
    shutdown();
}

namespace {

// The folder of the machine hive when the host runs as a service: shared with
// the group, whose members' libraries read, write and watch the same values,
// and kept in the group (set-group-id) for every file made in it later.
bool prepareServiceState(std::optional<gid_t> group, std::string* error) {
    std::filesystem::path folder =
        std::filesystem::path(regstore::hivePath(regstore::Hive::Machine)).parent_path();
    std::error_code ec;
    if (!std::filesystem::exists(folder, ec)) {
        std::filesystem::create_directories(folder.parent_path(), ec);
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
            *error = "cannot create " + folder.string() + ": " + std::strerror(errno);
            return false;
        }
        if (group) {
            if (::chown(folder.c_str(), static_cast<uid_t>(-1), *group) != 0 ||
                ::chmod(folder.c_str(), 02770) != 0) {
                *error = "cannot give " + folder.string() + " to its group: " +
                         std::strerror(errno);
                return false;
            }
        }
    }
    return true;
}

}  // namespace

bool Daemon::start(const DaemonOptions& options, std::string* error) {
    std::optional<gid_t> group;
    if (!options.group.empty()) {
        group_ = options.group;
        struct group* g = ::getgrnam(options.group.c_str());
        if (!g) {
            *error = "no group named " + options.group;
            return false;
        }
        group = g->gr_gid;
    } else if (options.service) {
        if (struct group* g = ::getgrnam("pav512")) {
            group = g->gr_gid;
            group_ = "pav512";
        } else {
            warnings_.push_back("no group pav512: only root and the host's user may use it");
        }
    }
    if (options.service) {
        // The driver's machine values live where every client of the service
        // looks for them (hives.h), not in the state of the host's own user.
        ::setenv("PAV512_SERVICE", "1", 1);
        regstore::closeHives();
        if (!prepareServiceState(group, error)) return false;
    }
    socketPath_ = options.socketPath;
    if (socketPath_.empty() && options.listenFd >= 0) {
        // A socket handed over is known by its own address.
        sockaddr_un addr{};
        socklen_t length = sizeof addr;
        if (::getsockname(options.listenFd, reinterpret_cast<sockaddr*>(&addr), &length) == 0 &&
            addr.sun_family == AF_UNIX && addr.sun_path[0] != 0)
            socketPath_.assign(addr.sun_path, strnlen(addr.sun_path, sizeof addr.sun_path));
    }
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
    if (options.simulatedDefault || !options.scenarios.empty()) {
        auto sim = makeSimulatedSource(options.scenarios, options.simulatedDefault, error);
        if (!sim) return false;
        sources_.push_back(std::move(sim));
    }
    pnp_ = std::make_unique<PnpManager>();
    NTSTATUS st = pnp_->loadDriver("pav512", PAV512_DriverEntry);
    if (!NT_SUCCESS(st)) {
        *error = "the driver did not load";
        return false;
    }
    for (auto& s : sources_) s->attach(pnp_.get());
    if (options.usb) {
        auto usb = std::make_unique<UsbSource>();
        usb->attach(pnp_.get());
        std::string why;
        if (usb->start(&why)) {
            sources_.push_back(std::move(usb));
        } else {
            usb->detach();
            warnings_.push_back("real cameras are not watched: " + why);
        }
    }
    pnp_->settle();

    SocketServer::Options o;
    o.socketPath = socketPath_;
    o.dispatchThreads = options.dispatchThreads;
    o.group = group;
    o.limits = options.limits;
    o.inheritedListener = options.listenFd;
    server_ = SocketServer::start(o, error);
    return server_ != nullptr;
}

int Daemon::shutdown(std::chrono::milliseconds grace) {
    if (down_) return 0;
    down_ = true;
    // Channels first: each closes as if its client had closed it, which
    // releases its sessions and streams, so no stop is vetoed for them.
    if (server_) server_->stop(grace);
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
