#include "platform/registry/hives.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>

namespace regstore {
namespace {

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

std::string homeDirectory() {
    std::string home = env("HOME");
    if (!home.empty()) return home;
    if (passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/tmp";
}

std::string serviceFolder() {
    std::string explicitDir = env("PAV512_SERVICE_STATE_DIR");
    return explicitDir.empty() ? std::string("/var/lib/pav512") : explicitDir;
}

bool service() {
    return env("PAV512_SERVICE") == "1";
}

std::string userFolder() {
    std::string state = env("XDG_STATE_HOME");
    // Relative values are invalid by the base-directory rules and are ignored.
    if (state.empty() || state[0] != '/') state = homeDirectory() + "/.local/state";
    return state + "/pav512";
}

std::string defaultFolder() {
    return service() ? serviceFolder() : userFolder();
}

// The machine's values are one set for the whole machine: a client uses the
// service's machine hive whenever it may read and write it, so that the
// driver in the service and the library in the client see the same
// "CameraChange", "DebugUserModeErr" and scaling values.
std::string machineFolder() {
    if (service()) return serviceFolder();
    std::string shared = serviceFolder() + "/machine.db";
    if (::access(shared.c_str(), R_OK | W_OK) == 0 &&
        ::access(serviceFolder().c_str(), R_OK | W_OK | X_OK) == 0)
        return serviceFolder();
    return userFolder();
}

struct Open {
    std::mutex lock;
    pid_t owner = 0;
    std::shared_ptr<Store> stores[2];
};

Open& open() {
    static Open* o = new Open();
    return *o;
}

}  // namespace

std::string hivePath(Hive hive) {
    std::string explicitPath =
        env(hive == Hive::Machine ? "PAV512_MACHINE_HIVE" : "PAV512_USER_HIVE");
    if (!explicitPath.empty()) return explicitPath;
    if (hive == Hive::Machine) return machineFolder() + "/machine.db";
    return defaultFolder() + "/user.db";
}

Status hive(Hive which, std::shared_ptr<Store>* out) {
    try {
        Open& o = open();
        std::lock_guard<std::mutex> g(o.lock);
        if (o.owner != getpid()) {
            // Inherited across fork: the parent's connections and watcher
            // thread are not ours to use, and closing them would drop the
            // parent's file locks. Let them go without closing.
            for (auto& s : o.stores)
                if (s) new std::shared_ptr<Store>(std::move(s));
            o.owner = getpid();
        }
        std::shared_ptr<Store>& slot = o.stores[which == Hive::Machine ? 0 : 1];
        if (!slot) {
            Status st = Store::open(hivePath(which), &slot);
            if (st != Status::Ok) {
                out->reset();
                return st;
            }
        }
        *out = slot;
        return Status::Ok;
    } catch (...) {
        out->reset();
        return Status::StoreFailed;
    }
}

void closeHives() {
    Open& o = open();
    std::shared_ptr<Store> released[2];
    {
        std::lock_guard<std::mutex> g(o.lock);
        if (o.owner != getpid()) return;
        released[0] = std::move(o.stores[0]);
        released[1] = std::move(o.stores[1]);
    }
}

}  // namespace regstore
