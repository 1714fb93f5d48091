// The camera side of the data source: the camera list, the chosen camera's
// pictures, their download, decode and scaling, and the current picture that
// the transfer triplets hand over.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "twain/source/image_adapters.h"
#include "twain/source/still_camera_binding.h"

namespace pavtw {

// What a download needs from the dialog: its progress dialog and whether the
// user has pressed Cancel (asking lets the dialog process its messages).
class DownloadObserver {
  public:
    virtual ~DownloadObserver() = default;
    virtual void progressBegin(std::uint32_t pictureNumber, std::uint32_t range, std::uint32_t step) = 0;
    virtual void progressSet(std::uint32_t position) = 0;
    virtual void progressEnd() = 0;
    virtual bool cancelRequested() = 0;
    virtual void messageBox(const std::string& text) = 0;
};

struct CameraEntry {
    char deviceName[32];
    char label[32];
    std::uint32_t number;
};
static_assert(sizeof(CameraEntry) == 68);

struct ScalingSettings {
    bool on = false;
    std::uint32_t percent = 100;
};

// The camera filter: the vendor and product numbers written after "VID" and
// "PID" in the identification string.
bool cameraFilter(const char* identification, std::uint32_t* vid, std::uint32_t* pid);

constexpr std::uint32_t kBlockSize = 2048;
constexpr std::uint32_t kThumbnailBlockSize = 14440;

class StillCamera {
  public:
    explicit StillCamera(DownloadObserver* observer);
    ~StillCamera();
    StillCamera(const StillCamera&) = delete;
    StillCamera& operator=(const StillCamera&) = delete;

    StillCameraBinding& binding() { return binding_; }
    void setScaling(const ScalingSettings& s) { scaling_ = s; }
    const ScalingSettings& scaling() const { return scaling_; }

    // Camera list.
    void refreshCameraList();
    const std::vector<CameraEntry>& cameras() const { return cameras_; }
    std::size_t currentIndex() const { return current_; }
    bool cameraSelected() const { return current_ != 0 && handle_ != nullptr; }
    bool selectCamera(std::size_t index);
    bool renameCamera(std::size_t index, const std::string& name);

    // Pictures of the chosen camera.
    bool listPictures();
    const std::vector<std::uint32_t>& pictures() const { return pictures_; }
    // The camera's own size of a picture.
    bool pictureSize(std::size_t index, std::int32_t* width, std::int32_t* height);
    // The size after the scaling settings.
    void scaledSize(std::int32_t* width, std::int32_t* height) const;
    bool thumbnail(std::size_t index, std::vector<std::uint8_t>* block);
    bool clearCamera();
    void cancelDownload();
    // A bitmap block (header and pixels) or an empty vector: no picture.
    std::vector<std::uint8_t> downloadPicture(std::size_t index);

    // The camera-state watch; true when the camera changed since the last
    // poll (the watch is then set up again on the same camera).
    bool pollCameraState();

    // Current picture (the transfer triplets).
    void setCurrentPicture(std::vector<std::uint8_t> block);
    bool hasCurrentPicture() const { return !current_picture_.empty(); }
    const BitmapInfoHeader* currentHeader() const;
    const std::uint8_t* currentPixels() const;
    void endPicture();
    std::uint32_t rowsDelivered() const { return rows_delivered_; }
    bool lastRowDelivered() const { return last_row_delivered_; }
    // Copies as many whole rows as fit, top row first, BGR turned into RGB.
    std::uint32_t memoryRows(std::uint8_t* buffer, std::uint32_t size, std::uint32_t* rows);
    void resetRowCount() {
        rows_delivered_ = 0;
        last_row_delivered_ = false;
    }

    std::uint16_t pendingCount() const { return pending_; }
    void setPendingCount(std::uint16_t n) { pending_ = n; }

  private:
    bool readPictureProperties(std::uint32_t id, std::uint32_t* size, std::int32_t* width,
                               std::int32_t* height);
    void closeHandle();
    void startWatch();
    void stopWatch();

    DownloadObserver* observer_;
    StillCameraBinding binding_;
    JpegBinding jpeg_;
    ScalingSettings scaling_;
    std::vector<CameraEntry> cameras_;
    std::size_t current_ = 0;
    PaciHandle handle_ = nullptr;
    std::vector<std::uint32_t> pictures_;

    PavpiHandle watch_handle_ = nullptr;
    PAV_EVENT watch_event_ = nullptr;

    std::vector<std::uint8_t> current_picture_;
    std::uint32_t rows_delivered_ = 0;
    bool last_row_delivered_ = false;
    std::uint16_t pending_ = 0;
};

}  // namespace pavtw
