#include "library/stills/module.h"

#include <dlfcn.h>

#include <cstdlib>

namespace pavstills {

std::unique_ptr<Module> Module::load(const std::string& name) {
    if (name.empty()) return nullptr;
    void* handle = nullptr;
    if (name.find('/') == std::string::npos) {
        const std::string beside = ownModuleDirectory();
        if (!beside.empty()) handle = ::dlopen((beside + name).c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    if (!handle) handle = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) return nullptr;
    return std::unique_ptr<Module>(new Module(handle));
}

Module::~Module() {
    if (handle_) ::dlclose(handle_);
}

void* Module::symbol(const char* name) const {
    return handle_ && name ? ::dlsym(handle_, name) : nullptr;
}

std::string ownModuleDirectory() {
    Dl_info info{};
    if (!::dladdr(reinterpret_cast<void*>(&ownModuleDirectory), &info) || !info.dli_fname)
        return {};
    std::string path = info.dli_fname;
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {};
    return path.substr(0, slash + 1);
}

namespace {
std::string fromEnvironment(const char* variable, const char* fallback) {
    const char* value = std::getenv(variable);
    return value && *value ? value : fallback;
}
}  // namespace

std::string jpegLibraryName() {
    return fromEnvironment("PAV512_JPEG_LIBRARY", kJpegLibraryName);
}

std::string scalerLibraryName() {
    return fromEnvironment("PAV512_SCALER_LIBRARY", kScalerLibraryName);
}

}  // namespace pavstills
