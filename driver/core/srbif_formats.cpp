// The stream interface's format list: the data ranges the camera engine adds,
// the picture-size change, matching a requested format, data intersection,
// and the stream-class constants and event sets it announces.
#include <algorithm>
#include <cstring>

#include "driver/core/device_context.h"
#include "driver/core/srbif.h"
#include "driver/core/srbif_internal.h"
#include "pav512/buffers.h"
#include "pav512/guids.h"

const GUID KSDATAFORMAT_TYPE_VIDEO = {
    0x73646976, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
const GUID KSDATAFORMAT_SPECIFIER_VIDEOINFO = {
    0x05589F80, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};
const GUID PINNAME_VIDEO_CAPTURE = {
    0xFB6C4281, 0x0353, 0x11D1, {0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};
const GUID KSCATEGORY_CAPTURE = {
    0x65E8773D, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
const GUID KSPROPSETID_Connection = {
    0x1D58C920, 0xAC9B, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
const GUID PROPSETID_VIDCAP_DROPPEDFRAMES = {
    0xC6E13344, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};

namespace {

constexpr KSEVENT_ITEM eventItem(ULONG id) {
    return {id, kEventDataSize, 0, 0, 0, 0};
}

template <std::size_t N>
constexpr std::array<KSEVENT_ITEM, N> itemsOf(const std::array<std::uint32_t, N>& ids) {
    std::array<KSEVENT_ITEM, N> out{};
    for (std::size_t i = 0; i < N; ++i) out[i] = eventItem(ids[i]);
    return out;
}

constexpr auto kCameraItems = itemsOf(pav512::kEventSetCameraItems);
constexpr auto kInputItems = itemsOf(pav512::kEventSetInputItems);
static_assert(kCameraItems.size() == kCameraEventCount && kInputItems.size() == kInputEventCount);

constexpr ULONG kFourccPavx = 0x58564150;  // "PAVX"

class FormatLockGuard {
  public:
    explicit FormatLockGuard(SrbifState& s) : lock_(s.formatLock), irql_(KfAcquireSpinLock(&lock_)) {}
    ~FormatLockGuard() { KfReleaseSpinLock(&lock_, irql_); }
    FormatLockGuard(const FormatLockGuard&) = delete;
    FormatLockGuard& operator=(const FormatLockGuard&) = delete;

  private:
    KSPIN_LOCK& lock_;
    KIRQL irql_;
};

LONG absolute(LONG v) {
    return v < 0 ? -v : v;
}

// A size lies on the range's grid: within its output limits and a whole
// number of granularity steps above its minimum.
bool onGrid(const KS_VIDEO_STREAM_CONFIG_CAPS& c, LONG width, LONG height) {
    const LONG gx = std::max<LONG>(c.OutputGranularityX, 1);
    const LONG gy = std::max<LONG>(c.OutputGranularityY, 1);
    return width >= c.MinOutputSize.cx && width <= c.MaxOutputSize.cx &&
           height >= c.MinOutputSize.cy && height <= c.MaxOutputSize.cy &&
           (width - c.MinOutputSize.cx) % gx == 0 && (height - c.MinOutputSize.cy) % gy == 0;
}

// Fills *out from the range with the given picture; false when the image
// size is beyond what the compression's rule allows for it.
bool acceptOn(const KS_DATARANGE_VIDEO& range, LONG width, LONG height, ULONG imageSize,
              LONGLONG frameInterval, KS_DATAFORMAT_VIDEOINFOHEADER* out) {
    const KS_BITMAPINFOHEADER& rb = range.VideoInfoHeader.bmiHeader;
    const ULONG rule = SRBIF_ImageSize(rb.biCompression, static_cast<ULONG>(width),
                                       static_cast<ULONG>(height), rb.biBitCount);
    if (imageSize == 0) imageSize = rule;
    if (imageSize > rule || frameInterval < 0) return false;
    KS_DATAFORMAT_VIDEOINFOHEADER f{};
    f.DataFormat = range.DataRange;
    f.DataFormat.FormatSize = sizeof(KS_DATAFORMAT_VIDEOINFOHEADER);
    f.DataFormat.SampleSize = imageSize;
    f.VideoInfoHeader = range.VideoInfoHeader;
    f.VideoInfoHeader.AvgTimePerFrame = frameInterval;
    f.VideoInfoHeader.bmiHeader.biWidth = width;
    f.VideoInfoHeader.bmiHeader.biHeight = height;
    f.VideoInfoHeader.bmiHeader.biSizeImage = imageSize;
    *out = f;
    return true;
}

}  // namespace

const KSEVENT_ITEM kCameraEventItemTable[kCameraEventCount] = {
    kCameraItems[0],  kCameraItems[1],  kCameraItems[2],  kCameraItems[3],  kCameraItems[4],
    kCameraItems[5],  kCameraItems[6],  kCameraItems[7],  kCameraItems[8],  kCameraItems[9],
    kCameraItems[10], kCameraItems[11], kCameraItems[12], kCameraItems[13], kCameraItems[14],
    kCameraItems[15], kCameraItems[16], kCameraItems[17], kCameraItems[18], kCameraItems[19],
    kCameraItems[20], kCameraItems[21]};
const KSEVENT_ITEM kInputEventItemTable[kInputEventCount] = {
    kInputItems[0],  kInputItems[1],  kInputItems[2],  kInputItems[3],  kInputItems[4],
    kInputItems[5],  kInputItems[6],  kInputItems[7],  kInputItems[8],  kInputItems[9],
    kInputItems[10], kInputItems[11], kInputItems[12], kInputItems[13], kInputItems[14],
    kInputItems[15], kInputItems[16], kInputItems[17], kInputItems[18], kInputItems[19],
    kInputItems[20], kInputItems[21], kInputItems[22], kInputItems[23], kInputItems[24],
    kInputItems[25], kInputItems[26], kInputItems[27], kInputItems[28], kInputItems[29],
    kInputItems[30], kInputItems[31], kInputItems[32], kInputItems[33], kInputItems[34]};
const KSEVENT_SET kDeviceEventSets[2] = {
    {&pav512::kEventSetCamera, kCameraEventCount, kCameraEventItemTable},
    {&pav512::kEventSetInput, kInputEventCount, kInputEventItemTable}};

ULONG SRBIF_ImageSize(ULONG compression, ULONG width, ULONG height, ULONG bitCount) {
    const ULONGLONG pixels = ULONGLONG{width} * height;
    ULONGLONG size;
    if (compression == kFourccMjpg)
        size = 2 * pixels + 608;
    else if (compression == kFourccPavx)
        size = pixels * bitCount / 8 + 1024;
    else
        size = pixels * bitCount / 8;
    return static_cast<ULONG>(std::min<ULONGLONG>(size, 0xFFFFFFFFull));
}

NTSTATUS SRBIF_AddFormat(DeviceContext* device, const CameraVideoFormat& format) {
    SrbifState& s = device->srbifState;
    if (format.maximumFps == 0 || format.minimumFps == 0 || format.minimumWidth == 0 ||
        format.minimumHeight == 0 || format.maximumWidth < format.minimumWidth ||
        format.maximumHeight < format.minimumHeight)
        return STATUS_INVALID_PARAMETER;
    const LONG gx = static_cast<LONG>(std::max<ULONG>(format.granularityX, 1));
    const LONG gy = static_cast<LONG>(std::max<ULONG>(format.granularityY, 1));
    const LONG minW = static_cast<LONG>(format.minimumWidth);
    const LONG minH = static_cast<LONG>(format.minimumHeight);
    const LONG maxW = static_cast<LONG>(format.maximumWidth);
    const LONG maxH = static_cast<LONG>(format.maximumHeight);
    // Half the largest picture, on the grid above the minimum.
    const LONG defW = minW + (std::max(maxW / 2, minW) - minW) / gx * gx;
    const LONG defH = minH + (std::max(maxH / 2, minH) - minH) / gy * gy;
    const ULONG imageSize = SRBIF_ImageSize(format.compression, static_cast<ULONG>(defW),
                                            static_cast<ULONG>(defH), format.bitCount);

    auto* r = static_cast<KS_DATARANGE_VIDEO*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(KS_DATARANGE_VIDEO), kSrbifRangeTag));
    if (!r) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(r, 0, sizeof *r);
    r->DataRange.FormatSize = sizeof(KS_DATARANGE_VIDEO);
    r->DataRange.SampleSize = imageSize;
    r->DataRange.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
    r->DataRange.SubFormat = format.subFormat;
    r->DataRange.Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
    r->bFixedSizeSamples = format.fixedSize ? 1 : 0;
    r->bTemporalCompression = format.temporalCompression ? 1 : 0;
    KS_VIDEO_STREAM_CONFIG_CAPS& c = r->ConfigCaps;
    c.guid = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
    c.InputSize = {maxW, maxH};
    c.MinCroppingSize = {minW, minH};
    c.MaxCroppingSize = {maxW, maxH};
    c.CropGranularityX = c.CropAlignX = gx;
    c.CropGranularityY = c.CropAlignY = gy;
    c.MinOutputSize = {minW, minH};
    c.MaxOutputSize = {maxW, maxH};
    c.OutputGranularityX = gx;
    c.OutputGranularityY = gy;
    c.MinFrameInterval = 10000000LL / format.maximumFps;
    c.MaxFrameInterval = 10000000LL / format.minimumFps;
    c.MinBitsPerSecond = static_cast<LONG>(std::min<ULONGLONG>(
        ULONGLONG{format.minimumFps} * imageSize, 0x7FFFFFFF));
    c.MaxBitsPerSecond = static_cast<LONG>(std::min<ULONGLONG>(
        ULONGLONG{format.maximumFps} * imageSize, 0x7FFFFFFF));
    KS_VIDEOINFOHEADER& v = r->VideoInfoHeader;
    v.dwBitRate = static_cast<ULONG>(c.MaxBitsPerSecond);
    v.AvgTimePerFrame = c.MinFrameInterval;
    v.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
    v.bmiHeader.biWidth = defW;
    v.bmiHeader.biHeight = defH;
    v.bmiHeader.biPlanes = 1;
    v.bmiHeader.biBitCount = format.bitCount;
    v.bmiHeader.biCompression = format.compression;
    v.bmiHeader.biSizeImage = imageSize;

    FormatLockGuard g(s);
    if (s.formatCount >= kSrbifMaxFormats) {
        ExFreePool(r);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    s.formats[s.formatCount++] = r;
    s.formatArray.count = s.formatCount;
    s.formatArray.ranges = s.formats;
    return STATUS_SUCCESS;
}

NTSTATUS SRBIF_SetSize(DeviceContext* device, ULONG width, ULONG height) {
    SrbifState& s = device->srbifState;
    FormatLockGuard g(s);
    if (s.formatCount == 0) return STATUS_UNSUCCESSFUL;
    KS_DATARANGE_VIDEO& r = *s.formats[0];
    const KS_VIDEO_STREAM_CONFIG_CAPS& c = r.ConfigCaps;
    const LONG gx = std::max<LONG>(c.CropGranularityX, 1);
    const LONG gy = std::max<LONG>(c.CropGranularityY, 1);
    const LONG w = static_cast<LONG>(std::min<ULONG>(width, 0x7FFFFFFF));
    const LONG h = static_cast<LONG>(std::min<ULONG>(height, 0x7FFFFFFF));
    const bool widthOk = w >= c.MinCroppingSize.cx && w <= c.MaxCroppingSize.cx && w % gx == 0 &&
                         c.MinCroppingSize.cx % gx == 0;
    const bool heightOk = h >= c.MinCroppingSize.cy && h <= c.MaxCroppingSize.cy && h % gy == 0 &&
                          c.MinCroppingSize.cy % gy == 0;
    if (!widthOk || !heightOk) return STATUS_UNSUCCESSFUL;
    KS_BITMAPINFOHEADER& b = r.VideoInfoHeader.bmiHeader;
    b.biWidth = w;
    b.biHeight = h;
    b.biSizeImage = SRBIF_ImageSize(b.biCompression, width, height, b.biBitCount);
    r.DataRange.SampleSize = b.biSizeImage;
    return STATUS_SUCCESS;
}

bool srbifMatchFormat(DeviceContext* device, const KSDATAFORMAT* requested,
                      KS_DATAFORMAT_VIDEOINFOHEADER* accepted) {
    if (!requested || requested->FormatSize < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) return false;
    const auto* want = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(requested);
    const KS_BITMAPINFOHEADER& wb = want->VideoInfoHeader.bmiHeader;
    SrbifState& s = device->srbifState;
    FormatLockGuard g(s);
    for (ULONG i = 0; i < s.formatCount; ++i) {
        const KS_DATARANGE_VIDEO& r = *s.formats[i];
        if (!(r.DataRange.MajorFormat == requested->MajorFormat) ||
            !(r.DataRange.SubFormat == requested->SubFormat) ||
            !(r.DataRange.Specifier == requested->Specifier))
            continue;
        const KS_BITMAPINFOHEADER& rb = r.VideoInfoHeader.bmiHeader;
        if (wb.biCompression != rb.biCompression || wb.biBitCount != rb.biBitCount) continue;
        if (!onGrid(r.ConfigCaps, wb.biWidth, absolute(wb.biHeight))) continue;
        if (acceptOn(r, wb.biWidth, absolute(wb.biHeight), wb.biSizeImage,
                     want->VideoInfoHeader.AvgTimePerFrame, accepted))
            return true;
    }
    return false;
}

bool srbifLibraryFormat(DeviceContext* device, ULONG width, ULONG height, ULONG bitCount,
                        ULONG compression, ULONG imageSize, ULONG frameIntervalMs,
                        KS_DATAFORMAT_VIDEOINFOHEADER* accepted) {
    SrbifState& s = device->srbifState;
    FormatLockGuard g(s);
    for (ULONG i = 0; i < s.formatCount; ++i) {
        const KS_DATARANGE_VIDEO& r = *s.formats[i];
        const KS_BITMAPINFOHEADER& rb = r.VideoInfoHeader.bmiHeader;
        if (rb.biCompression != compression) continue;
        if (compression == 0 && rb.biBitCount != bitCount) continue;
        if (!onGrid(r.ConfigCaps, static_cast<LONG>(width), static_cast<LONG>(height))) continue;
        if (acceptOn(r, static_cast<LONG>(width), static_cast<LONG>(height), imageSize,
                     LONGLONG{frameIntervalMs} * 10000, accepted))
            return true;
    }
    return false;
}

void srbifDataIntersection(DeviceContext* device, HW_STREAM_REQUEST_BLOCK* srb) {
    auto* info = static_cast<STREAM_DATA_INTERSECT_INFO*>(srb->CommandData.Data);
    srb->ActualBytesTransferred = 0;
    if (!info) {
        srb->Status = STATUS_INVALID_PARAMETER;
        return;
    }
    if (info->StreamNumber >= kSrbifStreamCount) {
        srb->Status = STATUS_TOO_MANY_NODES;
        return;
    }
    const KSDATARANGE* asked = info->DataRange;
    if (!asked) {
        srb->Status = STATUS_INVALID_PARAMETER;
        return;
    }
    SrbifState& s = device->srbifState;
    KS_DATAFORMAT_VIDEOINFOHEADER result{};
    ULONG need = 0;
    {
        FormatLockGuard g(s);
        for (ULONG i = 0; i < s.formatCount; ++i) {
            const KS_DATARANGE_VIDEO& r = *s.formats[i];
            if (!(r.DataRange.MajorFormat == asked->MajorFormat) ||
                !(r.DataRange.SubFormat == asked->SubFormat) ||
                !(r.DataRange.Specifier == asked->Specifier))
                continue;
            if (!(asked->Specifier == KSDATAFORMAT_SPECIFIER_VIDEOINFO)) {
                srb->Status = STATUS_NO_MATCH;
                return;
            }
            // Only a whole video range can be compared with the list's.
            if (asked->FormatSize < sizeof(KS_DATARANGE_VIDEO)) continue;
            const auto* range = reinterpret_cast<const KS_DATARANGE_VIDEO*>(asked);
            if (range->bFixedSizeSamples != r.bFixedSizeSamples ||
                range->bTemporalCompression != r.bTemporalCompression ||
                std::memcmp(&range->ConfigCaps, &r.ConfigCaps, sizeof r.ConfigCaps) != 0)
                continue;
            const KS_BITMAPINFOHEADER& ab = range->VideoInfoHeader.bmiHeader;
            // A bitmap header that claims more than it is would make the
            // copy read past the caller's range.
            if (ab.biSize != sizeof(KS_BITMAPINFOHEADER)) continue;
            need = sizeof(KSDATAFORMAT) + kVideoInfoPreHeader + ab.biSize;
            result.DataFormat = range->DataRange;
            result.DataFormat.FormatSize = need;
            result.VideoInfoHeader = range->VideoInfoHeader;
            break;
        }
    }
    if (need == 0) {
        srb->Status = STATUS_SUCCESS;
        return;
    }
    if (info->SizeOfDataFormatBuffer == sizeof(ULONG) && info->DataFormatBuffer) {
        std::memcpy(info->DataFormatBuffer, &need, sizeof need);
        srb->ActualBytesTransferred = sizeof(ULONG);
        srb->Status = STATUS_SUCCESS;
        return;
    }
    if (!info->DataFormatBuffer || info->SizeOfDataFormatBuffer < need) {
        srb->Status = STATUS_BUFFER_TOO_SMALL;
        return;
    }
    KS_BITMAPINFOHEADER& b = result.VideoInfoHeader.bmiHeader;
    const ULONG w = static_cast<ULONG>(absolute(b.biWidth));
    const ULONG h = static_cast<ULONG>(absolute(b.biHeight));
    if (b.biCompression == kFourccPavx) {
        b.biSizeImage = static_cast<ULONG>((ULONGLONG{w} + 4) * (h + 4) * b.biBitCount / 8 + 1024);
        b.biBitCount = 16;
    } else if (b.biCompression == kFourccMjpg) {
        b.biSizeImage = 2 * w * h + 608;
    } else {
        const ULONG stride = ((w * b.biBitCount + 31) & ~31u) / 8;
        b.biSizeImage = stride * h;
    }
    result.DataFormat.SampleSize = b.biSizeImage;
    std::memcpy(info->DataFormatBuffer, &result, need);
    srb->ActualBytesTransferred = need;
    srb->Status = STATUS_SUCCESS;
}

void srbifFreeFormats(DeviceContext* device) {
    SrbifState& s = device->srbifState;
    KS_DATARANGE_VIDEO* ranges[kSrbifMaxFormats] = {};
    ULONG count;
    {
        FormatLockGuard g(s);
        count = s.formatCount;
        std::copy(s.formats, s.formats + count, ranges);
        std::fill(s.formats, s.formats + kSrbifMaxFormats, nullptr);
        s.formatCount = 0;
        s.formatArray = {};
    }
    for (ULONG i = 0; i < count; ++i) ExFreePool(ranges[i]);
}

UCHAR srbifFormatInfo(DeviceContext* device, UCHAR* buffer) {
    SrbifState& s = device->srbifState;
    pav512::StreamFormatInfo info;
    std::memcpy(&info, buffer, sizeof info);
    FormatLockGuard g(s);
    info.formatCount = static_cast<USHORT>(s.formatCount);
    UCHAR status = pav512::kModuleStatusOutOfRange;
    if (info.formatIndex < s.formatCount) {
        const KS_DATARANGE_VIDEO& r = *s.formats[info.formatIndex];
        const KS_VIDEO_STREAM_CONFIG_CAPS& c = r.ConfigCaps;
        const KS_BITMAPINFOHEADER& b = r.VideoInfoHeader.bmiHeader;
        info.granularityX = static_cast<USHORT>(c.OutputGranularityX);
        info.granularityY = static_cast<USHORT>(c.OutputGranularityY);
        info.minimumWidth = static_cast<USHORT>(c.MinOutputSize.cx);
        info.minimumHeight = static_cast<USHORT>(c.MinOutputSize.cy);
        info.maximumWidth = static_cast<USHORT>(c.MaxOutputSize.cx);
        info.maximumHeight = static_cast<USHORT>(c.MaxOutputSize.cy);
        info.width = static_cast<USHORT>(b.biWidth);
        info.height = static_cast<USHORT>(absolute(b.biHeight));
        info.bitCount = b.biBitCount;
        info.compression = b.biCompression;
        info.imageSize = b.biSizeImage;
        info.frameIntervalMs = static_cast<ULONG>(r.VideoInfoHeader.AvgTimePerFrame / 10000);
        status = pav512::kModuleStatusSuccess;
    }
    // Byte 0 is the module status, written by the completion.
    std::memcpy(buffer + 4, reinterpret_cast<const UCHAR*>(&info) + 4, sizeof info - 4);
    return status;
}
