// The stream-class records the stream interface exchanges with the capture
// minidriver and builds for the library's streams: data formats and video
// data ranges, the stream header with its frame information, property and
// intersection descriptors, the stream object, and the stream information
// with the stream-class header that get-stream-info answers.
//
// The format records keep the stream class's layout (their sizes are checked
// below). The stream information and its header are handed across the
// connection, so their pointer fields are 32-bit tokens of the routine table,
// which keeps them at the widths the minidriver expects (80 and 40 bytes).
#pragma once

#include <cstddef>

#include "platform/kernel/routine_table.h"
#include "platform/kernel/wdm.h"

struct HW_STREAM_REQUEST_BLOCK;

// ---------------------------------------------------------------------------
// Data formats and ranges

struct KSDATAFORMAT {
    ULONG FormatSize;
    ULONG Flags;
    ULONG SampleSize;
    ULONG Reserved;
    GUID MajorFormat;
    GUID SubFormat;
    GUID Specifier;
};
using KSDATARANGE = KSDATAFORMAT;
static_assert(sizeof(KSDATAFORMAT) == 64);

struct KS_RECT {
    LONG left, top, right, bottom;
};
struct KS_SIZE {
    LONG cx, cy;
};

struct KS_BITMAPINFOHEADER {
    ULONG biSize;
    LONG biWidth;
    LONG biHeight;
    USHORT biPlanes;
    USHORT biBitCount;
    ULONG biCompression;
    ULONG biSizeImage;
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    ULONG biClrUsed;
    ULONG biClrImportant;
};
static_assert(sizeof(KS_BITMAPINFOHEADER) == 40);

struct KS_VIDEOINFOHEADER {
    KS_RECT rcSource;
    KS_RECT rcTarget;
    ULONG dwBitRate;
    ULONG dwBitErrorRate;
    LONGLONG AvgTimePerFrame;  // 100 ns units
    KS_BITMAPINFOHEADER bmiHeader;
};
static_assert(sizeof(KS_VIDEOINFOHEADER) == 88 && offsetof(KS_VIDEOINFOHEADER, bmiHeader) == 48);
// What precedes the bitmap header in a video-info header.
constexpr ULONG kVideoInfoPreHeader = offsetof(KS_VIDEOINFOHEADER, bmiHeader);

struct KS_VIDEO_STREAM_CONFIG_CAPS {
    GUID guid;
    ULONG VideoStandard;
    KS_SIZE InputSize;
    KS_SIZE MinCroppingSize;
    KS_SIZE MaxCroppingSize;
    LONG CropGranularityX;
    LONG CropGranularityY;
    LONG CropAlignX;
    LONG CropAlignY;
    KS_SIZE MinOutputSize;
    KS_SIZE MaxOutputSize;
    LONG OutputGranularityX;
    LONG OutputGranularityY;
    LONG StretchTapsX;
    LONG StretchTapsY;
    LONG ShrinkTapsX;
    LONG ShrinkTapsY;
    LONGLONG MinFrameInterval;
    LONGLONG MaxFrameInterval;
    LONG MinBitsPerSecond;
    LONG MaxBitsPerSecond;
};
static_assert(sizeof(KS_VIDEO_STREAM_CONFIG_CAPS) == 128);
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, MinFrameInterval) == 104);

struct KS_DATARANGE_VIDEO {
    KSDATARANGE DataRange;
    ULONG bFixedSizeSamples;
    ULONG bTemporalCompression;
    ULONG StreamDescriptionFlags;
    ULONG MemoryAllocationFlags;
    KS_VIDEO_STREAM_CONFIG_CAPS ConfigCaps;
    KS_VIDEOINFOHEADER VideoInfoHeader;
};
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296);
static_assert(offsetof(KS_DATARANGE_VIDEO, ConfigCaps) == 80 &&
              offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader) == 208);

struct KS_DATAFORMAT_VIDEOINFOHEADER {
    KSDATAFORMAT DataFormat;
    KS_VIDEOINFOHEADER VideoInfoHeader;
};
static_assert(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) == 152);

extern const GUID KSDATAFORMAT_TYPE_VIDEO;            // {73646976-0000-0010-8000-00AA00389B71}
extern const GUID KSDATAFORMAT_SPECIFIER_VIDEOINFO;   // {05589F80-C356-11CE-BF01-00AA0055595A}
extern const GUID PINNAME_VIDEO_CAPTURE;              // {FB6C4281-0353-11D1-905F-0000C0CC16BA}
extern const GUID KSCATEGORY_CAPTURE;                 // {65E8773D-8F56-11D0-A3B9-00A0C9223196}
extern const GUID KSPROPSETID_Connection;             // {1D58C920-AC9B-11CF-A5D6-28DB04C10000}
extern const GUID PROPSETID_VIDCAP_DROPPEDFRAMES;     // {C6E13344-30AC-11D0-A18C-00A0C9118956}
constexpr ULONG KSPROPERTY_CONNECTION_ALLOCATORFRAMING = 3;
constexpr ULONG KSPROPERTY_DROPPEDFRAMES_CURRENT = 0;

// ---------------------------------------------------------------------------
// Read requests: one stream header with its frame information behind it.

constexpr ULONG KSSTREAM_HEADER_OPTIONSF_TIMEVALID = 0x80;
constexpr ULONG KSSTREAM_HEADER_OPTIONSF_DURATIONVALID = 0x100;

struct KSTIME {
    LONGLONG Time;
    ULONG Numerator;
    ULONG Denominator;
};

struct KSSTREAM_HEADER {
    ULONG Size;
    ULONG TypeSpecificFlags;
    KSTIME PresentationTime;
    LONGLONG Duration;
    ULONG FrameExtent;  // room in Data
    ULONG DataUsed;
    PVOID Data;
    ULONG OptionsFlags;
};

constexpr ULONG KS_VIDEO_FLAG_FRAME = 0;

// The media-specific part of a video stream header (64 bytes).
struct KS_FRAME_INFO {
    ULONG ExtendedHeaderSize;
    ULONG dwFrameFlags;
    LONGLONG PictureNumber;
    LONGLONG DropCount;
    ULONG Reserved[10];
};
static_assert(sizeof(KS_FRAME_INFO) == 64);
constexpr ULONG kMediaSpecificHeaderSize = sizeof(KS_FRAME_INFO);

struct SRB_VIDEO_READ_HEADER {
    KSSTREAM_HEADER Header;
    KS_FRAME_INFO FrameInfo;
};

// ---------------------------------------------------------------------------
// Properties

struct KSPROPERTY {
    GUID Set;
    ULONG Id;
    ULONG Flags;
};
static_assert(sizeof(KSPROPERTY) == 24);

// What a property request block's command data points at. For device
// properties `PropertyInfo` holds what the property manager takes (the
// property header and then the value, or the value alone).
struct STREAM_PROPERTY_DESCRIPTOR {
    KSPROPERTY* Property;
    ULONG PropertySetID;
    PVOID PropertyInfo;
    ULONG PropertyInputSize;
    ULONG PropertyOutputSize;
};

struct KSALLOCATOR_FRAMING {
    ULONG OptionsFlags;
    ULONG PoolType;
    ULONG Frames;
    ULONG FrameSize;
    ULONG FileAlignment;
    ULONG Reserved;
};
static_assert(sizeof(KSALLOCATOR_FRAMING) == 24);
constexpr ULONG kAllocatorFramingOptions = 0x80000003;

struct KSPROPERTY_DROPPEDFRAMES_CURRENT_S {
    KSPROPERTY Property;
    LONGLONG PictureNumber;
    LONGLONG DropCount;
    ULONG AverageFrameSize;
};
static_assert(sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S) == 48);

// ---------------------------------------------------------------------------
// Data intersection

struct STREAM_DATA_INTERSECT_INFO {
    ULONG StreamNumber;
    const KSDATARANGE* DataRange;  // a KS_DATARANGE_VIDEO for video
    PVOID DataFormatBuffer;
    ULONG SizeOfDataFormatBuffer;
};

// ---------------------------------------------------------------------------
// Stream object and the open request

// What the stream class keeps per open stream and passes in every request of
// it. HwStreamExtension carries the driver's own stream record.
struct HW_STREAM_OBJECT {
    ULONG SizeOfThisPacket;
    ULONG StreamNumber;
    PVOID HwStreamExtension;
    void (*ReceiveDataPacket)(HW_STREAM_REQUEST_BLOCK* srb);
    void (*ReceiveControlPacket)(HW_STREAM_REQUEST_BLOCK* srb);
    BOOLEAN Dma;
    BOOLEAN Pio;
    PVOID HwDeviceExtension;
    ULONG StreamHeaderMediaSpecific;
    ULONG StreamHeaderWorkspace;
};


// ---------------------------------------------------------------------------
// Stream information and the stream-class header (tokens for pointers)

constexpr ULONG KSPIN_DATAFLOW_OUT = 2;

struct KSEVENT_ITEM {
    ULONG EventId;
    ULONG DataInput;
    ULONG ExtraEntryData;
    kroutine::Token AddHandler;  // none: enabling goes through the watch routine
    kroutine::Token RemoveHandler;
    kroutine::Token SupportHandler;
};

struct KSEVENT_SET {
    const GUID* Set;
    ULONG EventsCount;
    const KSEVENT_ITEM* EventItem;
};

// Announces the data ranges of one stream.
struct SrbifFormatArray {
    ULONG count;
    const KS_DATARANGE_VIDEO* const* ranges;
};

// The driver's topology: one capture pin, nothing else.
struct SrbifTopology {
    ULONG CategoriesCount;
    const GUID* Categories;
};

struct KSPIN_MEDIUM {
    GUID Set;
    ULONG Id;
    ULONG Flags;
};

#pragma pack(push, 1)
struct HW_STREAM_INFORMATION {
    ULONG NumberOfPossibleInstances;
    ULONG DataFlow;
    ULONG DataAccessible;
    ULONG NumberOfFormatArrayEntries;
    kroutine::Token StreamFormatsArray;  // SrbifFormatArray
    ULONG ClassReserved[4];
    ULONG NumStreamPropArrayEntries;
    kroutine::Token StreamPropertiesArray;  // const GUID[] of the stream property sets
    ULONG NumStreamEventArrayEntries;
    kroutine::Token StreamEventsArray;
    kroutine::Token Category;  // const GUID
    kroutine::Token Name;      // const GUID
    ULONG MediumsCount;
    kroutine::Token Mediums;  // KSPIN_MEDIUM
    ULONG BridgeStream;
    ULONG Reserved[2];
};
static_assert(sizeof(HW_STREAM_INFORMATION) == 80);
static_assert(offsetof(HW_STREAM_INFORMATION, StreamFormatsArray) == 16 &&
              offsetof(HW_STREAM_INFORMATION, NumStreamPropArrayEntries) == 36);
static_assert(offsetof(HW_STREAM_INFORMATION, Category) == 52 &&
              offsetof(HW_STREAM_INFORMATION, MediumsCount) == 60);

struct HW_STREAM_HEADER {
    ULONG NumberOfStreams;
    ULONG SizeOfHwStreamInformation;
    ULONG NumDevPropArrayEntries;
    kroutine::Token DevicePropertiesArray;  // const PropertySet[]
    ULONG NumDevEventArrayEntries;
    kroutine::Token DeviceEventsArray;  // const KSEVENT_SET[]
    kroutine::Token Topology;           // SrbifTopology
    kroutine::Token DeviceEventRoutine;  // the minidriver's own routine
    ULONG NumDevMethodArrayEntries;
    kroutine::Token DeviceMethodsArray;
};
static_assert(sizeof(HW_STREAM_HEADER) == 40);
static_assert(offsetof(HW_STREAM_HEADER, DevicePropertiesArray) == 12 &&
              offsetof(HW_STREAM_HEADER, DeviceEventRoutine) == 28);

// What get-stream-info fills (one stream).
struct HW_STREAM_DESCRIPTOR {
    HW_STREAM_HEADER StreamHeader;
    HW_STREAM_INFORMATION StreamInfo;
};
static_assert(sizeof(HW_STREAM_DESCRIPTOR) == 120);
#pragma pack(pop)

// The two device event sets, as announced: 22 and 35 events of 16 bytes of
// event data each, in the order of their watch keys.
constexpr ULONG kCameraEventCount = 22;
constexpr ULONG kInputEventCount = 35;
constexpr ULONG kEventDataSize = 16;
extern const KSEVENT_ITEM kCameraEventItemTable[kCameraEventCount];
extern const KSEVENT_ITEM kInputEventItemTable[kInputEventCount];
extern const KSEVENT_SET kDeviceEventSets[2];
