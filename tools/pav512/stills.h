// The camera's stored files through the still camera exports: the numbered
// list, storages, downloads block by block, previews and deletion.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "pav512u/paci.h"

namespace pav512 {

struct StoredObject {
    std::size_t number = 0;  // 1-based position in the list
    PACI_ID id = 0;
    std::uint32_t storage = 0;  // PTP StorageID
    std::uint16_t format = 0;
    std::uint64_t size = 0;
    std::uint32_t width = 0, height = 0;
    std::string name;       // the camera's name of the file, without extension
    std::string kind;       // picture, sound, clip, file
    std::string extension;  // jpg, wav, avi, bin
    std::string date;       // when the camera tells it, else empty
    std::string fileName() const { return name + "." + extension; }
};

struct StorageInfo {
    PACI_ID id = 0;
    std::uint64_t capacity = 0;
    std::uint64_t freeBytes = 0;
    std::uint32_t freeImages = 0;
    std::string description;
    std::string label;
};

struct DeviceSummary {
    std::string name;
    std::string vendor;     // the camera's own description of itself
    std::string firmware;
    std::string sensor;
    std::string patch;
};

// kind and extension of a PTP object format
void describeFormat(std::uint16_t format, std::string* kind, std::string* extension);

// Maps a still camera status to what the user is told (throws ToolError).
[[noreturn]] void failPaci(PACI_STATUS status, const std::string& what, std::uint32_t camera);

class StillCamera {
  public:
    // Waits up to `waitSeconds` for a camera that another program holds (the
    // driver gives the camera to one user at a time: a running video stream
    // keeps the stored files out of reach until it stops), saying so on
    // standard error once unless `quiet`. Throws ToolError.
    explicit StillCamera(std::uint32_t cameraNumber, double waitSeconds = 0, bool quiet = true);
    ~StillCamera();
    StillCamera(const StillCamera&) = delete;
    StillCamera& operator=(const StillCamera&) = delete;

    std::vector<StoredObject> list();
    std::vector<StorageInfo> storages();
    DeviceSummary summary();

    enum class Outcome { Done, Interrupted };
    // Reads the object block by block, handing each block to `sink` and the
    // running total to `progress`. Between blocks `stop` is asked; when it
    // says yes the transfer is cancelled on the camera. A false from `sink`
    // (the disk is full) cancels too and throws what `sink` left in `error`.
    Outcome download(const StoredObject& object, const std::function<bool(const void*, std::size_t)>& sink,
                     const std::function<void(std::uint64_t)>& progress, const std::function<bool()>& stop);
    // The 80 x 60 preview as a BMP file's bytes (file header added).
    std::vector<std::uint8_t> previewBmp(const StoredObject& object);
    void remove(const StoredObject& object);
    void removeAll();
    std::uint32_t number() const { return number_; }

  private:
    PACI_HANDLE h_ = nullptr;
    // Throws the ToolError for `st`, a failure of `what`: for a failure that
    // does not say, the camera's removal when the camera leaves meanwhile.
    [[noreturn]] void fail(PACI_STATUS st, const std::string& what) const;

    std::uint32_t number_;
};

}  // namespace pav512
