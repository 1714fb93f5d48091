// Libraries bound at run time by name, one entry point at a time, the way the
// library binds the JPEG decoder and the scaler: a missing library or entry
// point is an ordinary answer, never a failure to start.
#pragma once

#include <memory>
#include <string>

namespace pavstills {

class Module {
  public:
    // A name with a slash is opened as it is. A bare name is looked for
    // first beside the module that holds this code (so the scaler that ships
    // beside libpav512u is the one used), then along the loader's own search
    // path. Null when the library cannot be loaded.
    static std::unique_ptr<Module> load(const std::string& name);
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // The entry point of that name, or null when the library has none.
    void* symbol(const char* name) const;

  private:
    explicit Module(void* handle) : handle_(handle) {}
    void* handle_;
};

// The directory of the module (shared library or program) that holds this
// code, with its trailing slash; empty when it cannot be told.
std::string ownModuleDirectory();

// The names the bindings load: the JPEG decoder (libjpeg-turbo's TurboJPEG
// library) and the scaler that ships with the library. The environment
// variables PAV512_JPEG_LIBRARY and PAV512_SCALER_LIBRARY, when set, name
// other files (a test that needs a missing library, a system whose decoder
// lives elsewhere).
constexpr char kJpegLibraryName[] = "libturbojpeg.so.0";
constexpr char kScalerLibraryName[] = "libpavscale.so";
std::string jpegLibraryName();
std::string scalerLibraryName();

}  // namespace pavstills
