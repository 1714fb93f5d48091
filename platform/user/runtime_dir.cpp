#include "platform/user/runtime_dir.h"

#include <cstdlib>

#include "platform/user/channel_protocol.h"

namespace uruntime {
namespace {

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v && *v ? std::string(v) : std::string();
}

}  // namespace

std::string hostDirectory(bool service) {
    std::string explicitDir = env("PAV512_RUNTIME_DIR");
    if (!explicitDir.empty()) return explicitDir;
    if (service) return kServiceDir;
    std::string xdg = env("XDG_RUNTIME_DIR");
    if (!xdg.empty()) return xdg + "/pav512";
    return std::string();
}

std::vector<std::string> clientSocketPaths() {
    std::vector<std::string> out;
    std::string explicitDir = env("PAV512_RUNTIME_DIR");
    if (!explicitDir.empty()) {
        out.push_back(socketPathIn(explicitDir));
        return out;
    }
    std::string xdg = env("XDG_RUNTIME_DIR");
    if (!xdg.empty()) out.push_back(socketPathIn(xdg + "/pav512"));
    out.push_back(socketPathIn(kServiceDir));
    return out;
}

std::string socketPathIn(const std::string& directory) {
    return directory + "/" + uproto::kSocketName;
}

}  // namespace uruntime
