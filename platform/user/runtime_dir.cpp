#include "platform/user/runtime_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

std::string privateFolderIn(const std::string& parent) {
    const std::string folder = parent + "/pav512-" + std::to_string(::getuid());
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return std::string();
    struct stat st {};
    // lstat: a link is not followed to wherever it points. Nobody else may
    // add, remove or rename what is in it.
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() ||
        (st.st_mode & 022) != 0)
        return std::string();
    return folder;
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
