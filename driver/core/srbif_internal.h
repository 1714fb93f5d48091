// What the stream interface's files share among themselves.
#pragma once

#include "driver/core/srbif.h"

// Slots of SrbifState::infoTokens.
enum SrbifInfoToken : int {
    kSrbifTokenProperties = 0,
    kSrbifTokenEvents,
    kSrbifTokenTopology,
    kSrbifTokenFormats,
    kSrbifTokenStreamProperties,
    kSrbifTokenPinName,
    kSrbifTokenMedium,
};

// Whether `requested` (a video-info data format of at least 152 bytes)
// matches a format of the list; *accepted gets the format the stream then
// uses, its image size made good (0 asks for the size of the compression's
// rule; more than that is refused, as the reserved buffer is sized by it).
bool srbifMatchFormat(DeviceContext* device, const KSDATAFORMAT* requested,
                      KS_DATAFORMAT_VIDEOINFOHEADER* accepted);
// The format the library's parameters ask for; false when none matches.
bool srbifLibraryFormat(DeviceContext* device, ULONG width, ULONG height, ULONG bitCount,
                        ULONG compression, ULONG imageSize, ULONG frameIntervalMs,
                        KS_DATAFORMAT_VIDEOINFOHEADER* accepted);
void srbifDataIntersection(DeviceContext* device, HW_STREAM_REQUEST_BLOCK* srb);
void srbifFreeFormats(DeviceContext* device);
// Frees the synthetic blocks' free list and the library's stream records.
void srbifFreeLibrary(DeviceContext* device);

// A cancel of a read: takes it out of its stream's queue without completing
// it (kTaken: the caller completes it), or marks it when it is still on its
// way to the queue (kMarked: it completes as cancelled there); kNotFound when
// it is being filled or is done.
enum class SrbifCancelOutcome { kNotFound, kTaken, kMarked };
SrbifCancelOutcome srbifCancelRead(DeviceContext* device, HW_STREAM_REQUEST_BLOCK* srb);
// A read of the driver's own making announces itself before a cancel can
// reach it (entry->srb set); SRBIF_ReceiveSRB takes the entry over.
// srbifReadWithdrawn unlinks one that is never received.
void srbifReadArriving(DeviceContext* device, SrbifReadInHand* entry);
void srbifReadWithdrawn(DeviceContext* device, SrbifReadInHand* entry);
// Completes a block the driver holds with `status` and no bytes.
void srbifFailBlock(DeviceContext* device, HW_STREAM_REQUEST_BLOCK* srb, NTSTATUS status);
// Answers the format information request in place; returns the module status.
UCHAR srbifFormatInfo(DeviceContext* device, UCHAR* buffer);
