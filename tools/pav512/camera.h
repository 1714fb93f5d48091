// The camera through the library's video property exports: which cameras
// are there, one camera's handle, and what its statuses mean to a user.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pav512u/pavpi.h"

namespace pav512 {

// Property sets of the camera's video properties.
extern const PAV_GUID kDeviceSet;     // {2BBD8342-6AA2-11D3-A076-00A024AD71C2}
extern const PAV_GUID kPictureSet;    // {38CE9640-DB87-11D6-A406-00A024AD7171}
extern const PAV_GUID kBandwidthSet;  // {B22B1ADE-17F3-487A-975C-6111ECF5F9D1}
extern const PAV_GUID kControlSet;    // {D0520B30-F8B4-11D6-A40C-00A024AD7171}
extern const PAV_GUID kFirmwareSet;   // {A4EA9080-B407-11D4-A446-005004478CB4}

constexpr std::uint32_t kVendorId = 0xF1A5;
constexpr std::uint32_t kProductId = 0x0B2D;

struct CameraInfo {
    std::uint32_t number = 0;
    std::string name;
    std::string firmware;     // "1-02"
    std::string sensor;       // "19A0"
    std::uint32_t maxWidth = 0, maxHeight = 0;
};

// Every present camera, by number.
std::vector<std::uint32_t> cameraNumbers();
// The camera `requested` (0: the first present); throws ToolError when none.
std::uint32_t pickCamera(std::uint32_t requested);

class VideoHandle {
  public:
    explicit VideoHandle(std::uint32_t cameraNumber);  // throws ToolError
    ~VideoHandle();
    VideoHandle(const VideoHandle&) = delete;
    VideoHandle& operator=(const VideoHandle&) = delete;
    PAVPI_HANDLE get() const { return h_; }
    std::uint32_t number() const { return number_; }
    // Get and set by property address; failures throw ToolError naming `what`.
    void read(const PAV_GUID& set, std::uint32_t id, void* value, std::uint32_t size, const std::string& what);
    void write(const PAV_GUID& set, std::uint32_t id, const void* value, std::uint32_t size,
               const std::string& what);
    PAVPI_STATUS tryRead(const PAV_GUID& set, std::uint32_t id, void* value, std::uint32_t size);

  private:
    PAVPI_HANDLE h_ = nullptr;
    std::uint32_t number_;
};

CameraInfo describeCamera(std::uint32_t number);

// "PAVPI_STATUS_IN_USE" and the like.
std::string pavpiStatusName(PAVPI_STATUS status);
// Throws the ToolError a user should see for a failed video property call.
[[noreturn]] void failPavpi(PAVPI_STATUS status, const std::string& what, std::uint32_t camera);

}  // namespace pav512
