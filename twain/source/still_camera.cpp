#include "twain/source/still_camera.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace pavtw {

namespace {

constexpr char kIdentification[] = "VIDF1A5PID0B2D";
constexpr std::uint32_t kCameraItself = 0xFFFFFFFF;
constexpr std::uint32_t kAnyFormat = 0xFFFFFFFF;
constexpr PAV_GUID kDeviceSet = {0xF8C391FC, 0x4226, 0x4656, {0x93, 0xDA, 0xA0, 0x2C, 0xF7, 0x54, 0xA6, 0x60}};
constexpr PAV_GUID kObjectSet = {0xAF318B4A, 0x4AF9, 0x4250, {0x8D, 0x18, 0xC9, 0xCB, 0xF5, 0x19, 0x7B, 0xBA}};
constexpr PAV_GUID kImageSet = {0x1C6B0076, 0xFA37, 0x48C6, {0xBC, 0x4F, 0xF3, 0x22, 0x1A, 0x75, 0x84, 0xB6}};
constexpr PAV_GUID kDeleteCommand = {0x6D1F3579, 0x33E0, 0x4B26, {0x88, 0x41, 0x66, 0xE7, 0x8D, 0xE6, 0xEF, 0x9F}};
constexpr PAV_GUID kCameraEventSet = {0x00A242B0, 0x920E, 0x11D3, {0xA0, 0x8F, 0x00, 0xA0, 0x24, 0xAD, 0x71, 0xC2}};
constexpr std::uint32_t kDeviceNameKey = 3;
constexpr std::uint32_t kObjectSizeKey = 3;
constexpr std::uint32_t kImageWidthKey = 1;
constexpr std::uint32_t kImageHeightKey = 2;
constexpr std::uint32_t kCameraRoom = 20;
// Pictures larger than this are refused rather than trusted: a camera that
// reports a size it cannot have must not make the source allocate it.
constexpr std::uint64_t kMaxPictureBytes = 64ull << 20;
constexpr std::int32_t kMaxSide = 16384;

bool hex4(const char* p, std::uint32_t* v) {
    std::uint32_t r = 0;
    for (int i = 0; i < 4; ++i) {
        char c = p[i];
        int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
        if (d < 0) return false;
        r = r * 16 + static_cast<std::uint32_t>(d);
    }
    *v = r;
    return true;
}

CameraEntry makeEntry(const char* label, std::uint32_t number) {
    CameraEntry e{};
    std::snprintf(e.label, sizeof e.label, "%s", label);
    e.number = number;
    return e;
}

}  // namespace

bool cameraFilter(const char* identification, std::uint32_t* vid, std::uint32_t* pid) {
    const char* v = std::strstr(identification, "VID");
    const char* p = std::strstr(identification, "PID");
    if (!v || !p || std::strlen(v) < 7 || std::strlen(p) < 7) return false;
    return hex4(v + 3, vid) && hex4(p + 3, pid);
}

StillCamera::StillCamera(DownloadObserver* observer) : observer_(observer) {
    cameras_.push_back(makeEntry("None", 0));
    if (!jpeg_.connected() && observer_) observer_->messageBox("Failed to connect to ijl15.dll");
}

StillCamera::~StillCamera() {
    endPicture();
    stopWatch();
    closeHandle();
}

void StillCamera::closeHandle() {
    if (handle_) binding_.HandleClose(&handle_);
    handle_ = nullptr;
    pictures_.clear();
}

void StillCamera::refreshCameraList() {
    std::uint32_t previous = cameras_[current_].number;
    std::uint32_t vid = 0, pid = 0;
    cameraFilter(kIdentification, &vid, &pid);
    std::vector<std::uint32_t> numbers(kCameraRoom);
    std::uint32_t count = 0;
    if (binding_.CameraEnum(vid, pid, numbers.data(), kCameraRoom, &count) != kPaciSuccess) count = 0;
    if (count > kCameraRoom) {
        // The library counts every match; ask again with room for all.
        numbers.resize(std::min<std::uint32_t>(count, 256));
        std::uint32_t again = 0;
        if (binding_.CameraEnum(vid, pid, numbers.data(), static_cast<std::uint32_t>(numbers.size()), &again) !=
            kPaciSuccess)
            again = 0;
        count = again;
    }
    count = std::min<std::uint32_t>(count, static_cast<std::uint32_t>(numbers.size()));
    std::vector<CameraEntry> list;
    list.push_back(makeEntry("None", 0));
    for (std::uint32_t i = 0; i < count; ++i) {
        char label[32];
        std::snprintf(label, sizeof label, "USB%u", numbers[i]);
        CameraEntry e = makeEntry(label, numbers[i]);
        PaciHandle h = nullptr;
        if (binding_.HandleOpen(numbers[i], &h) == kPaciSuccess && h) {
            PaciStream s = nullptr;
            if (binding_.PropertyStreamRead(h, kCameraItself, &s) == kPaciSuccess && s) {
                char name[32] = {};
                if (binding_.PropertyGet(h, s, &kDeviceSet, kDeviceNameKey, sizeof name, name) == kPaciSuccess) {
                    name[31] = '\0';
                    std::memcpy(e.deviceName, name, sizeof name);
                }
                binding_.PropertyStreamFree(h, s);
            }
            binding_.HandleClose(&h);
        }
        list.push_back(e);
    }
    cameras_ = std::move(list);
    current_ = 0;
    if (previous != 0)
        for (std::size_t i = 1; i < cameras_.size(); ++i)
            if (cameras_[i].number == previous) current_ = i;
}

bool StillCamera::selectCamera(std::size_t index) {
    if (index >= cameras_.size()) return false;
    stopWatch();
    closeHandle();
    current_ = 0;
    if (index == 0) return true;
    PaciHandle h = nullptr;
    if (binding_.HandleOpen(cameras_[index].number, &h) != kPaciSuccess || !h) return false;
    handle_ = h;
    current_ = index;
    startWatch();
    return true;
}

bool StillCamera::renameCamera(std::size_t index, const std::string& name) {
    if (index == 0 || index >= cameras_.size() || index != current_ || !handle_) return false;
    std::string text = name.substr(0, 31);
    PaciStream s = nullptr;
    if (binding_.PropertyStreamRead(handle_, kCameraItself, &s) != kPaciSuccess || !s) return false;
    PaciStatus st = binding_.PropertySet(handle_, s, &kDeviceSet, kDeviceNameKey,
                                         static_cast<std::uint32_t>(text.size() + 1), text.c_str());
    if (st == kPaciSuccess) st = binding_.PropertyStreamWrite(handle_, kCameraItself, s);
    binding_.PropertyStreamFree(handle_, s);
    if (st != kPaciSuccess) return false;
    std::memset(cameras_[index].deviceName, 0, sizeof cameras_[index].deviceName);
    std::memcpy(cameras_[index].deviceName, text.c_str(), text.size());
    return true;
}

bool StillCamera::listPictures() {
    pictures_.clear();
    if (!handle_) return true;
    std::uint32_t count = 0;
    if (binding_.ObjectEnum(handle_, kAnyFormat, 0, nullptr, 0, &count) != kPaciSuccess) return false;
    if (count == 0) return true;
    std::vector<std::uint32_t> ids(std::min<std::uint32_t>(count, 100000));
    std::uint32_t total = 0;
    if (binding_.ObjectEnum(handle_, kAnyFormat, 0, ids.data(), static_cast<std::uint32_t>(ids.size()), &total) !=
        kPaciSuccess)
        return false;
    ids.resize(std::min<std::size_t>(ids.size(), total));
    pictures_ = std::move(ids);
    return true;
}

bool StillCamera::readPictureProperties(std::uint32_t id, std::uint32_t* size, std::int32_t* width,
                                        std::int32_t* height) {
    if (!handle_) return false;
    PaciStream s = nullptr;
    if (binding_.PropertyStreamRead(handle_, id, &s) != kPaciSuccess || !s) return false;
    std::uint32_t objectSize = 0, w = 0, h = 0;
    bool ok = binding_.PropertyGet(handle_, s, &kObjectSet, kObjectSizeKey, 4, &objectSize) == kPaciSuccess &&
              binding_.PropertyGet(handle_, s, &kImageSet, kImageWidthKey, 4, &w) == kPaciSuccess &&
              binding_.PropertyGet(handle_, s, &kImageSet, kImageHeightKey, 4, &h) == kPaciSuccess;
    binding_.PropertyStreamFree(handle_, s);
    if (!ok) return false;
    if (size) *size = objectSize;
    *width = static_cast<std::int32_t>(w);
    *height = static_cast<std::int32_t>(h);
    return true;
}

bool StillCamera::pictureSize(std::size_t index, std::int32_t* width, std::int32_t* height) {
    if (index >= pictures_.size()) return false;
    return readPictureProperties(pictures_[index], nullptr, width, height);
}

void StillCamera::scaledSize(std::int32_t* width, std::int32_t* height) const {
    if (!scaling_.on) return;
    *width = static_cast<std::int32_t>(static_cast<std::int64_t>(*width) * scaling_.percent / 100);
    *height = static_cast<std::int32_t>(static_cast<std::int64_t>(*height) * scaling_.percent / 100);
}

bool StillCamera::thumbnail(std::size_t index, std::vector<std::uint8_t>* block) {
    if (index >= pictures_.size() || !handle_) return false;
    block->assign(kThumbnailBlockSize, 0);
    return binding_.ReadPreview(handle_, pictures_[index], block->data(), kThumbnailBlockSize) == kPaciSuccess;
}

bool StillCamera::clearCamera() {
    if (!handle_) return false;
    return binding_.Command(handle_, &kDeleteCommand, 0, 0xFFFFFFFF, 0) == kPaciSuccess;
}

void StillCamera::cancelDownload() {
    if (handle_) binding_.CancelBlockTransfer(handle_);
}

std::vector<std::uint8_t> StillCamera::downloadPicture(std::size_t index) {
    std::vector<std::uint8_t> none;
    if (index >= pictures_.size() || !handle_) return none;
    std::uint32_t id = pictures_[index];
    std::uint32_t objectSize = 0;
    std::int32_t width = 0, height = 0;
    if (!readPictureProperties(id, &objectSize, &width, &height)) return none;
    if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide || objectSize == 0 ||
        objectSize > kMaxPictureBytes)
        return none;
    const std::size_t imageBytes = static_cast<std::size_t>(width) * height * 3;
    std::vector<std::uint8_t> target(imageBytes + kInfoHeaderSize, 0);
    std::vector<std::uint8_t> compressed(objectSize);

    binding_.CancelBlockTransfer(handle_);  // clears a transfer an earlier failure left open
    std::uint32_t got = 0;
    PaciStatus st = binding_.ReadFirstBlock(handle_, id, compressed.data(), std::min(kBlockSize, objectSize), &got);
    if (st != kPaciSuccess && st != kPaciMoreData) return none;
    std::uint32_t received = std::min(got, objectSize);
    if (observer_) observer_->progressBegin(static_cast<std::uint32_t>(index + 1), objectSize, kBlockSize);
    bool cancelled = false;
    while (received < objectSize && st == kPaciMoreData) {
        if (observer_ && observer_->cancelRequested()) {
            binding_.CancelBlockTransfer(handle_);
            cancelled = true;
            break;
        }
        std::uint32_t want = std::min(kBlockSize, objectSize - received);
        std::uint32_t n = 0, sofar = 0;
        st = binding_.ReadNextBlock(handle_, compressed.data() + received, want, &n, &sofar);
        if (st != kPaciSuccess && st != kPaciMoreData) break;
        received += std::min(n, want);
        if (observer_) observer_->progressSet(received);
    }
    if (observer_) observer_->progressEnd();
    if (cancelled || received < objectSize) {
        if (!cancelled) binding_.CancelBlockTransfer(handle_);
        return none;
    }
    if (!jpeg_.entryPointsPresent()) {
        if (observer_) observer_->messageBox("Failed Decode");
        return none;
    }
    if (jpeg_.decode(compressed.data(), objectSize, target.data() + kInfoHeaderSize, width, height) != 0)
        return none;
    initInfoHeader(reinterpret_cast<BitmapInfoHeader*>(target.data()), width, height);
    if (scaling_.on) {
        std::int32_t tw = width, th = height;
        scaledSize(&tw, &th);
        if (tw <= 0 || th <= 0 || tw > kMaxSide || th > kMaxSide) return none;
        std::vector<std::uint8_t> scaled(static_cast<std::size_t>(tw) * th * 3 + kInfoHeaderSize, 0);
        if (!scalePixels(target.data() + kInfoHeaderSize, width, height, scaled.data() + kInfoHeaderSize, tw, th))
            return none;
        // The header is the original's with the new size.
        std::memcpy(scaled.data(), target.data(), kInfoHeaderSize);
        auto* h = reinterpret_cast<BitmapInfoHeader*>(scaled.data());
        h->biWidth = tw;
        h->biHeight = th;
        h->biSizeImage = static_cast<std::uint32_t>(tw) * th * 3;
        target = std::move(scaled);
    }
    return target;
}

void StillCamera::startWatch() {
    if (!current_) return;
    if (binding_.PavpiHandleOpen(cameras_[current_].number, &watch_handle_) != kPaciSuccess) {
        watch_handle_ = nullptr;
        return;
    }
    if (!watch_event_) watch_event_ = binding_.CreateEvent(true);
    if (watch_event_) binding_.PavpiNotificationSet(watch_handle_, &kCameraEventSet, 0, watch_event_);
}

void StillCamera::stopWatch() {
    if (watch_handle_) binding_.PavpiHandleClose(&watch_handle_);
    watch_handle_ = nullptr;
    if (watch_event_) binding_.CloseEvent(watch_event_);
    watch_event_ = nullptr;
}

bool StillCamera::pollCameraState() {
    if (!watch_event_ || !binding_.EventSignalled(watch_event_)) return false;
    if (watch_handle_) binding_.PavpiHandleClose(&watch_handle_);
    watch_handle_ = nullptr;
    binding_.ResetEvent(watch_event_);
    if (current_ && binding_.PavpiHandleOpen(cameras_[current_].number, &watch_handle_) == kPaciSuccess)
        binding_.PavpiNotificationSet(watch_handle_, &kCameraEventSet, 0, watch_event_);
    else
        watch_handle_ = nullptr;
    return true;
}

void StillCamera::setCurrentPicture(std::vector<std::uint8_t> block) {
    endPicture();
    current_picture_ = std::move(block);
}

const BitmapInfoHeader* StillCamera::currentHeader() const {
    return current_picture_.empty() ? nullptr : reinterpret_cast<const BitmapInfoHeader*>(current_picture_.data());
}

const std::uint8_t* StillCamera::currentPixels() const {
    return current_picture_.empty() ? nullptr : current_picture_.data() + kInfoHeaderSize;
}

void StillCamera::endPicture() {
    current_picture_.clear();
    current_picture_.shrink_to_fit();
    resetRowCount();
}

std::uint32_t StillCamera::memoryRows(std::uint8_t* buffer, std::uint32_t size, std::uint32_t* rows) {
    const BitmapInfoHeader* h = currentHeader();
    *rows = 0;
    if (!h) return 0;
    const std::uint32_t width = static_cast<std::uint32_t>(h->biWidth);
    const std::uint32_t height = static_cast<std::uint32_t>(h->biHeight);
    const std::uint32_t bytesPerRow = width * 3;
    const std::uint8_t* pixels = currentPixels();
    std::uint32_t written = 0;
    while (rows_delivered_ < height && size - written >= bytesPerRow) {
        // Row 0 is the top of the picture, the last row in memory.
        const std::uint8_t* src = pixels + static_cast<std::size_t>(height - 1 - rows_delivered_) * bytesPerRow;
        std::uint8_t* dst = buffer + written;
        for (std::uint32_t x = 0; x < width; ++x) {
            dst[3 * x] = src[3 * x + 2];
            dst[3 * x + 1] = src[3 * x + 1];
            dst[3 * x + 2] = src[3 * x];
        }
        written += bytesPerRow;
        ++rows_delivered_;
        ++*rows;
    }
    if (rows_delivered_ >= height) last_row_delivered_ = true;
    return written;
}

}  // namespace pavtw
