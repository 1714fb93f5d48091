// Reads of the current object in whole camera blocks, and the builders that
// turn an object's items into JPEG, WAV, AVI and BMP data slice by slice.
#include "driver/camera/object_files.h"

#include <algorithm>
#include <cstring>

#include "driver/camera/camera.h"
#include "driver/core/device_context.h"
#include "driver/core/ptpif.h"

namespace {

ULONG be16(const UCHAR* p) {
    return (ULONG{p[0]} << 8) | p[1];
}

ULONG be32(const UCHAR* p) {
    return (ULONG{p[0]} << 24) | (ULONG{p[1]} << 16) | (ULONG{p[2]} << 8) | p[3];
}

void le16(UCHAR* p, ULONG v) {
    p[0] = static_cast<UCHAR>(v);
    p[1] = static_cast<UCHAR>(v >> 8);
}

void le32(UCHAR* p, ULONG v) {
    p[0] = static_cast<UCHAR>(v);
    p[1] = static_cast<UCHAR>(v >> 8);
    p[2] = static_cast<UCHAR>(v >> 16);
    p[3] = static_cast<UCHAR>(v >> 24);
}

void fourcc(UCHAR* p, const char (&code)[5]) {
    std::memcpy(p, code, 4);
}

ULONGLONG even(ULONG v) {
    return ULONGLONG{v} + (v & 1);
}

bool isClip(UCHAR kind) {
    return kind == kObjectClip || kind == kObjectClipWithSound;
}

// Writes little-endian words one after another.
class Writer {
  public:
    explicit Writer(UCHAR* at) : at_(at) {}
    Writer& code(const char (&c)[5]) {
        fourcc(at_, c);
        at_ += 4;
        return *this;
    }
    Writer& u32(ULONG v) {
        le32(at_, v);
        at_ += 4;
        return *this;
    }
    Writer& u16(ULONG v) {
        le16(at_, v);
        at_ += 2;
        return *this;
    }
    Writer& zeros(ULONG n) {
        std::memset(at_, 0, n);
        at_ += n;
        return *this;
    }

  private:
    UCHAR* at_;
};

// ---------------------------------------------------------------------------
// Clip layout

// Bytes of the movi list after its size field: the "movi" code, the frame
// chunks (and the sound chunk), and a JUNK chunk that fills it up.
ULONGLONG moviSizeOf(const ObjectEntry& e) {
    const ULONGLONG f = e.frames;
    ULONGLONG size = 9 * f + even(e.videoLength) - (f & 1) + 12;
    if (e.kind == kObjectClipWithSound) size += even(e.soundLength) + 8;
    return size;
}

void videoStreamList(UCHAR* at, const ObjectEntry& e) {
    Writer(at)
        .code("LIST")
        .u32(108)
        .code("strl")
        .code("strh")
        .u32(48)
        .code("vids")
        .code("MJPG")
        .u32(0)
        .u16(0)
        .u16(0)
        .u32(0)
        .u32(2)
        .u32(e.frameRate)
        .u32(0)
        .u32(e.frames)
        .u32(54485)
        .u32(0xFFFFFFFF)
        .u32(0)
        .code("strf")
        .u32(40)
        .u32(40)
        .u32(e.width)
        .u32(e.height)
        .u16(1)
        .u16(24)
        .code("MJPG")
        .u32(41871)
        .zeros(16);
}

void clipHeader(ObjectFile* f) {
    const ObjectEntry& e = f->entry;
    UCHAR* h = f->header;
    const ULONG usPerFrame = e.frameRate ? 2000000 / e.frameRate : 0;
    const ULONG riffSize = static_cast<ULONG>(f->length - 8);
    if (e.kind == kObjectClip) {
        f->headerLength = kClipHeaderLength;
        Writer(h)
            .code("RIFF")
            .u32(riffSize)
            .code("AVI ")
            .code("LIST")
            .u32(184)
            .code("hdrl")
            .code("avih")
            .u32(56)
            .u32(usPerFrame)
            .u32(428523)
            .u32(0)
            .u32(0x810)
            .u32(e.frames)
            .u32(0)
            .u32(1)
            .u32(54485)
            .u32(e.width)
            .u32(e.height)
            .zeros(16);
        videoStreamList(h + 88, e);
        Writer(h + 204).code("LIST").u32(f->moviSize).code("movi");
        return;
    }
    // The audio format record carries the entry's channels, with the byte
    // rate and block align that follow from them, so that a stereo
    // recording is described as what it is.
    const ULONG align = e.channels * e.bitsPerSample / 8;
    const ULONG byteRate = e.sampleRate * e.channels * e.bitsPerSample / 8;
    f->headerLength = kClipWithSoundHeaderLength;
    Writer(h)
        .code("RIFF")
        .u32(riffSize)
        .code("AVI ")
        .code("LIST")
        .u32(276)
        .code("hdrl")
        .code("avih")
        .u32(56)
        .u32(usPerFrame)
        .u32(byteRate + 428523)
        .u32(0)
        .u32(0x810)
        .u32(e.frames + 2)
        .u32(0)
        .u32(2)
        .u32(e.soundLength)
        .u32(e.width)
        .u32(e.height)
        .zeros(16);
    videoStreamList(h + 88, e);
    Writer(h + 204)
        .code("LIST")
        .u32(84)
        .code("strl")
        .code("strh")
        .u32(48)
        .code("auds")
        .code("WAVE")
        .u32(0)
        .u16(0)
        .u16(0)
        .u32(0)
        .u32(align)
        .u32(byteRate)
        .u32(0)
        .u32(align ? e.soundLength / align : 0)
        .u32(e.soundLength)
        .u32(0xFFFFFFFF)
        .u32(align)
        .code("strf")
        .u32(16)
        .u16(1)
        .u16(e.channels)
        .u32(e.sampleRate)
        .u32(byteRate)
        .u16(align)
        .u16(e.bitsPerSample)
        .code("LIST")
        .u32(f->moviSize)
        .code("movi");
}

void soundHeader(const ObjectEntry& e, UCHAR* h) {
    const ULONG align = e.bitsPerSample * e.channels / 8;
    Writer(h)
        .code("RIFF")
        .u32(e.soundLength + 36)
        .code("WAVE")
        .code("fmt ")
        .u32(16)
        .u16(1)
        .u16(e.channels)
        .u32(e.sampleRate)
        .u32(e.sampleRate * (e.bitsPerSample * e.channels) / 8)
        .u16(align)
        .u16(e.bitsPerSample)
        .code("data")
        .u32(e.soundLength);
}

void bitmapHeader(const ObjectEntry& e, UCHAR* h) {
    Writer(h)
        .u32(40)
        .u32(e.thumbnailWidth)
        .u32(static_cast<ULONG>(-static_cast<LONG>(e.thumbnailHeight)))
        .u16(1)
        .u16(24)
        .u32(0)
        .u32(e.thumbnailLength)
        .zeros(16);
}

// ---------------------------------------------------------------------------
// Frame finder

// Makes room at the front of the window and reads on from the camera; false
// when neither gave the window anything new.
bool refill(ObjectFile* f, const ObjectSource& source, ULONG keep) {
    if (keep > 0) {
        std::memmove(f->window, f->window + keep, f->windowFill - keep);
        f->windowFill -= keep;
        f->scan -= keep;
        f->frameStart -= std::min(f->frameStart, keep);
    }
    ULONG room = kFrameWindowLength - f->windowFill;
    ULONG n = std::min(room, f->entry.videoLength - f->videoLoaded);
    if (n > 0) {
        if (!source.read(source.context, kCamItemClipVideo, f->videoLoaded,
                         f->window + f->windowFill, n))
            return false;
        f->windowFill += n;
        f->videoLoaded += n;
    }
    return keep > 0 || n > 0;
}

// Finds the next frame from the scan position: from a start-of-image marker
// through the end-of-image marker after it. Markers inside the tables (from a
// quantisation table marker to a restart interval marker) do not count. The
// bytes of a frame that has been found but not delivered are unread, so a
// refill keeps them: a frame may be as long as the window.
bool findFrame(ObjectFile* f, const ObjectSource& source) {
    bool started = false;
    bool inTables = false;
    ULONG i = f->scan;
    for (;;) {
        const ULONG keep = started ? f->frameStart : i;
        const bool canGrow = f->videoLoaded < f->entry.videoLength &&
                             (keep > 0 || f->windowFill < kFrameWindowLength);
        if (canGrow && (i >= kFrameWindowRefillAt || i + 1 >= f->windowFill)) {
            f->scan = i;
            if (!refill(f, source, keep)) return false;
            i = f->scan;
            continue;
        }
        // The video ended inside a frame, or a frame does not fit the window.
        if (i + 1 >= f->windowFill) return false;
        const void* hit = std::memchr(f->window + i, 0xFF, f->windowFill - 1 - i);
        if (hit == nullptr) {
            i = f->windowFill - 1;
            continue;
        }
        i = static_cast<ULONG>(static_cast<const UCHAR*>(hit) - f->window);
        if (canGrow && i >= kFrameWindowRefillAt) continue;  // refill before looking at it
        const UCHAR marker = f->window[i + 1];
        if (marker == 0xDB) {
            inTables = true;
        } else if (marker == 0xDD) {
            inTables = false;
        } else if (!inTables) {
            if (marker == 0xD8) {
                if (started) return false;  // a second start before an end
                started = true;
                f->frameStart = i;
            } else if (marker == 0xD9 && started) {
                f->frameLength = i + 2 - f->frameStart;
                f->scan = i + 2;
                return true;
            }
        }
        ++i;
    }
}

void recordIndex(ObjectFile* f, const char (&code)[5], ULONG length) {
    UCHAR* e = f->index + f->indexCount * kClipIndexEntryLength;
    Writer(e).code(code).u32(16).u32(f->nextChunk).u32(length);
    ++f->indexCount;
}

enum ClipStep : ULONG {
    kStepHeader = 0,
    kStepFrames = 1,
    kStepSound = 2,
    kStepFiller = 3,
    kStepIndex = 4,
    kStepDone = 5,
};

// Ends the current chunk of the movi list.
void chunkDone(ObjectFile* f) {
    f->moviWritten += f->chunkLength;
    f->nextChunk += f->chunkLength;
    f->chunkLength = 0;
    f->chunkOffset = 0;
}

// Copies what the current chunk has from its header and zero pad byte at
// the chunk offset; returns the bytes written (0 inside the chunk's data).
ULONG chunkFrame(ObjectFile* f, PUCHAR dest, ULONG length, ULONG dataLength) {
    ULONG n = 0;
    while (n < length && f->chunkOffset < 8) dest[n++] = f->chunkHeader[f->chunkOffset++];
    while (n < length && f->chunkOffset >= 8 + dataLength && f->chunkOffset < f->chunkLength) {
        dest[n++] = 0;
        ++f->chunkOffset;
    }
    return n;
}

bool produceClip(ObjectFile* f, const ObjectSource& source, PUCHAR dest, ULONG length) {
    const ObjectEntry& e = f->entry;
    while (length > 0) {
        ULONG n = 0;
        switch (f->step) {
            case kStepHeader:
                n = std::min(length, f->headerLength - f->chunkOffset);
                std::memcpy(dest, f->header + f->chunkOffset, n);
                f->chunkOffset += n;
                if (f->chunkOffset == f->headerLength) {
                    f->step = kStepFrames;
                    f->chunkOffset = 0;
                }
                break;
            case kStepFrames: {
                if (f->chunkLength == 0) {
                    if (f->framesDone == e.frames) {
                        f->step = e.kind == kObjectClipWithSound ? kStepSound : kStepFiller;
                        continue;
                    }
                    if (f->indexCount >= f->indexCapacity || !findFrame(f, source)) return false;
                    Writer(f->chunkHeader).code("00db").u32(f->frameLength);
                    f->chunkLength = 8 + f->frameLength + (f->frameLength & 1);
                    recordIndex(f, "00db", f->frameLength);
                }
                n = chunkFrame(f, dest, length, f->frameLength);
                if (n == 0) {
                    const ULONG at = f->chunkOffset - 8;
                    n = std::min(length, f->frameLength - at);
                    std::memcpy(dest, f->window + f->frameStart + at, n);
                    f->chunkOffset += n;
                }
                if (f->chunkOffset == f->chunkLength) {
                    chunkDone(f);
                    ++f->framesDone;
                }
                break;
            }
            case kStepSound: {
                if (f->chunkLength == 0) {
                    // The sound is read from a freshly opened object.
                    if (f->indexCount >= f->indexCapacity || !source.reopen(source.context))
                        return false;
                    Writer(f->chunkHeader).code("01wb").u32(e.soundLength);
                    f->chunkLength = 8 + e.soundLength + (e.soundLength & 1);
                    recordIndex(f, "01wb", e.soundLength);
                }
                n = chunkFrame(f, dest, length, e.soundLength);
                if (n == 0) {
                    const ULONG at = f->chunkOffset - 8;
                    n = std::min(length, e.soundLength - at);
                    if (!source.read(source.context, kCamItemSound, at, dest, n)) return false;
                    f->chunkOffset += n;
                }
                if (f->chunkOffset == f->chunkLength) {
                    chunkDone(f);
                    f->step = kStepFiller;
                }
                break;
            }
            case kStepFiller:
                if (f->chunkLength == 0) {
                    // The movi list holds its "movi" code, the chunks so far
                    // and this chunk's header and filler.
                    if (ULONGLONG{f->moviWritten} + 8 > f->moviSize) return false;
                    f->junkLength = f->moviSize - f->moviWritten - 8;
                    Writer(f->chunkHeader).code("JUNK").u32(f->junkLength);
                    f->chunkLength = 8 + f->junkLength;
                }
                n = chunkFrame(f, dest, length, 0);
                if (f->chunkOffset == f->chunkLength) {
                    chunkDone(f);
                    f->step = kStepIndex;
                }
                break;
            case kStepIndex:
                if (f->chunkLength == 0) {
                    Writer(f->chunkHeader).code("idx1").u32(f->indexCount * kClipIndexEntryLength);
                    f->chunkLength = 8 + f->indexCount * kClipIndexEntryLength;
                }
                n = std::min(length, 8 - std::min<ULONG>(8, f->chunkOffset));
                if (n > 0) {
                    std::memcpy(dest, f->chunkHeader + f->chunkOffset, n);
                } else {
                    n = std::min(length, f->chunkLength - f->chunkOffset);
                    std::memcpy(dest, f->index + (f->chunkOffset - 8), n);
                }
                f->chunkOffset += n;
                if (f->chunkOffset == f->chunkLength) f->step = kStepDone;
                break;
            default:
                return false;
        }
        dest += n;
        length -= n;
    }
    return true;
}

// Produces a slice of a file made of a fixed header followed by one item.
bool produceHeaded(const ObjectSource& source, const UCHAR* header, ULONG headerLength, UCHAR item,
                   ULONG offset, PUCHAR dest, ULONG length) {
    if (offset < headerLength) {
        ULONG n = std::min(length, headerLength - offset);
        std::memcpy(dest, header + offset, n);
        dest += n;
        offset += n;
        length -= n;
    }
    if (length == 0) return true;
    return source.read(source.context, item, offset - headerLength, dest, length);
}

}  // namespace

ObjectEntry Camera_ParseEntry(const UCHAR* p) {
    ObjectEntry e;
    e.kind = p[0];
    e.videoLength = be32(p + 18);
    e.width = be16(p + 22);
    e.height = be16(p + 24);
    e.frames = be16(p + 26);
    e.frameRate = be16(p + 28);
    e.soundLength = be32(p + 35);
    e.channels = p[39];
    e.bitsPerSample = p[40];
    e.sampleRate = be16(p + 41);
    e.thumbnailLength = be32(p + 52);
    e.thumbnailWidth = be16(p + 56);
    e.thumbnailHeight = be16(p + 58);
    e.pictureLength = be32(p + 69);
    e.pictureWidth = be16(p + 73);
    e.pictureHeight = be16(p + 75);
    return e;
}

ULONGLONG Camera_ObjectFileLength(const ObjectEntry& e) {
    const ULONGLONG f = e.frames;
    switch (e.kind) {
        case kObjectClip:
            return 25 * f + even(e.videoLength) + 232 - (f & 1);
        case kObjectSound:
            return ULONGLONG{e.soundLength} + kWavHeaderLength;
        case kObjectClipWithSound:
            return 25 * f + even(e.videoLength) + even(e.soundLength) + 348 - (f & 1);
        case kObjectPicture:
        case kObjectPictureWithThumbnail:
            return e.pictureLength;
        default:
            return 0;
    }
}

ULONG Camera_ClipIndexEntries(const ObjectEntry& e) {
    if (e.kind == kObjectClip) return e.frames;
    if (e.kind == kObjectClipWithSound) return e.frames + 1;
    return 0;
}

ULONG Camera_ThumbnailFileLength(const ObjectEntry& e) {
    if (e.kind != kObjectPictureWithThumbnail || e.thumbnailLength > 0xFFFFFFFFu - 40) return 0;
    return e.thumbnailLength + kBitmapHeaderLength;
}

// ---------------------------------------------------------------------------
// Camera reads

bool Camera_PtpReceive(DeviceContext* device, UCHAR memory, PUCHAR buffer, ULONG length) {
    ULONG received = 0, status = kPtpReceiveOk;
    NTSTATUS result = mPTPIF_USBBulkTransfer(device, buffer, length, &received, &status);
    if (result == STATUS_TIMEOUT) {
        CameraMemoryResult answer;
        Camera_MemoryResult(device, memory, &answer);
        return false;
    }
    return NT_SUCCESS(result) && received == length && status == kPtpReceiveOk;
}

void Camera_ObjectReaderReset(ObjectReader* reader, UCHAR memory, ULONG object) {
    reader->memory = memory;
    reader->object = object;
    reader->blockItem = 0;
    reader->blockOffset = 0;
    std::fill(std::begin(reader->cameraPosition), std::end(reader->cameraPosition), 0);
    reader->aheadItem = 0;
    reader->aheadOffset = 0;
    reader->aheadLength = 0;
    reader->aheadFailed = false;
}

namespace {

// Request 0x05 of one piece, sent by the receive that reads its answer.
struct ReadItemAsk : PtpReceiveAsk {
    UCHAR item = 0;
    ULONG object = 0;
    ULONG length = 0;
    UCHAR data[8] = {};
    KEVENT done;  // notification: the request has completed
    NTSTATUS status = STATUS_PENDING;
    bool sent = false;
    UsbVendorRequest* volatile inFlight = nullptr;
};

void readItemDone(DeviceContext* d, NTSTATUS status, USBD_STATUS, ULONG, PVOID context) {
    auto* a = static_cast<ReadItemAsk*>(context);
    a->status = status;
    if (!NT_SUCCESS(status)) mPTPIF_AskFailed(d, a);
    // The last touch: the reader may return as soon as it sees this.
    KeSetEvent(&a->done, IO_NO_INCREMENT, FALSE);
}

bool sendReadItem(DeviceContext* d, PtpReceiveAsk* ask) {
    auto* a = static_cast<ReadItemAsk*>(ask);
    a->sent = NT_SUCCESS(Camera_ReadItemAsync(d, 0, a->item, a->object, a->length, a->data,
                                              readItemDone, a, &a->inFlight));
    return a->sent;
}

// Waits until the request has completed: its completion writes into the ask.
// A receive that did not get its bytes lets go of it first (the bus
// completes a cancelled request), and so does one whose request is still
// out after the bus's own time for a request.
void settleAsk(ReadItemAsk& a, bool receivedAll) {
    if (!a.sent) return;
    if (!receivedAll) USBIF_CancelVendorRequest(&a.inFlight);
    LARGE_INTEGER limit;
    limit.QuadPart = kUsbifSubmitTimeout100ns;
    if (KeWaitForSingleObject(&a.done, Executive, KernelMode, FALSE, &limit) == STATUS_TIMEOUT) {
        USBIF_CancelVendorRequest(&a.inFlight);
        KeWaitForSingleObject(&a.done, Executive, KernelMode, FALSE, nullptr);
    }
}

// The items a read can name: the object's first block is read only when it
// is opened.
bool readableItem(UCHAR item) {
    return item == kCamItemClipVideo || item == kCamItemSound || item == kCamItemThumbnail ||
           item == kCamItemPicture;
}

// Copies what `held` (item bytes from `heldOffset`, `heldLength` of them)
// has of [offset, offset + length) from `offset` on into `dest`; the bytes
// copied, 0 when `offset` lies outside it.
ULONG takeHeld(const UCHAR* held, ULONG heldOffset, ULONG heldLength, ULONG offset, PUCHAR dest,
               ULONG length) {
    if (offset < heldOffset || offset - heldOffset >= heldLength) return 0;
    const ULONG at = offset - heldOffset;
    const ULONG n = std::min(length, heldLength - at);
    std::memcpy(dest, held + at, n);
    return n;
}

// One read request and its bulk-in answer. Reads name memory 0: the camera
// reads from the object it has open. The receive sends the request itself
// and waits once, for the answer (see PtpReceiveAsk).
bool readPiece(DeviceContext* d, ObjectReader* r, UCHAR item, PUCHAR dest, ULONG length) {
    ReadItemAsk ask;
    ask.send = sendReadItem;
    ask.item = item;
    ask.object = r->object;
    ask.length = length;
    KeInitializeEvent(&ask.done, NotificationEvent, FALSE);
    ULONG received = 0, status = kPtpReceiveOk;
    NTSTATUS result = mPTPIF_USBBulkTransfer(d, dest, length, &received, &status, &ask);
    const bool all = NT_SUCCESS(result) && result != STATUS_TIMEOUT && received == length;
    settleAsk(ask, all);
    if (!ask.sent || !NT_SUCCESS(ask.status)) {
        // The request failed (or never went): what the camera says of it.
        CameraMemoryResult answer;
        if (ask.sent) Camera_MemoryResult(d, 0, &answer);
        return false;
    }
    if (result == STATUS_TIMEOUT) {
        CameraMemoryResult answer;
        Camera_MemoryResult(d, r->memory, &answer);
        return false;
    }
    return all && status == kPtpReceiveOk;
}

}  // namespace

bool Camera_ObjectRead(DeviceContext* device, ObjectReader* reader, UCHAR item, ULONG offset,
                       PUCHAR dest, ULONG length) {
    if (!readableItem(item)) return false;
    if (reader->block == nullptr) return false;
    ULONG& position = reader->cameraPosition[item];
    while (length > 0) {
        // Bytes the reader holds already: the kept block, then a piece read ahead.
        ULONG n = 0;
        if (reader->blockItem == item)
            n = takeHeld(reader->block, reader->blockOffset, kCameraBlockLength, offset, dest,
                         length);
        if (n == 0 && reader->aheadItem == item)
            n = takeHeld(reader->ahead, reader->aheadOffset, reader->aheadLength, offset, dest,
                         length);
        if (n > 0) {
            dest += n;
            offset += n;
            length -= n;
            continue;
        }
        if (reader->aheadItem == item && reader->aheadFailed && offset == reader->aheadOffset) {
            reader->aheadItem = 0;
            reader->aheadFailed = false;
            return false;
        }
        // The camera reads sequentially: anything else is not a read it can do.
        if (offset != position) return false;
        const ULONG whole = std::min(length - length % kCameraBlockLength, kCameraReadPiece);
        if (whole > 0) {
            if (!readPiece(device, reader, item, dest, whole)) {
                reader->blockItem = 0;
                return false;
            }
            std::memcpy(reader->block, dest + whole - kCameraBlockLength, kCameraBlockLength);
            reader->blockItem = item;
            reader->blockOffset = position + whole - kCameraBlockLength;
            position += whole;
            dest += whole;
            offset += whole;
            length -= whole;
            continue;
        }
        // Less than a block is wanted: the block is read whole and kept.
        reader->blockItem = 0;
        if (!readPiece(device, reader, item, reader->block, kCameraBlockLength)) return false;
        reader->blockItem = item;
        reader->blockOffset = position;
        position += kCameraBlockLength;
    }
    return true;
}

bool Camera_ObjectReadAhead(DeviceContext* device, ObjectReader* reader, UCHAR item, ULONG offset,
                            ULONG length) {
    if (!readableItem(item)) return false;
    if (reader->ahead == nullptr || length == 0 || length % kCameraBlockLength != 0 ||
        length > kCameraReadPiece)
        return false;
    if (reader->aheadItem == item && offset >= reader->aheadOffset &&
        offset - reader->aheadOffset < reader->aheadLength)
        return true;  // there already
    ULONG& position = reader->cameraPosition[item];
    if (offset != position || (reader->aheadItem == item && reader->aheadFailed)) return false;
    reader->aheadItem = 0;
    reader->aheadLength = 0;
    reader->aheadFailed = false;
    reader->aheadOffset = offset;
    if (!readPiece(device, reader, item, reader->ahead, length)) {
        // Where the camera stands now is not known: the read that comes here
        // fails, and the build with it.
        reader->aheadItem = item;
        reader->aheadFailed = true;
        return false;
    }
    reader->aheadItem = item;
    reader->aheadLength = length;
    position += length;
    return true;
}

// ---------------------------------------------------------------------------
// Builders

void Camera_ObjectFileOpen(ObjectFile* file, const UCHAR* entry86, ObjectFileForm form,
                           PUCHAR window, PUCHAR index, ULONG indexCapacity) {
    *file = ObjectFile{};
    file->entry = Camera_ParseEntry(entry86);
    file->form = form;
    file->window = window;
    file->index = index;
    file->indexCapacity = indexCapacity;
    const ObjectEntry& e = file->entry;
    if (form == ObjectFileForm::Thumbnail) {
        file->length = Camera_ThumbnailFileLength(e);
        return;
    }
    file->length = Camera_ObjectFileLength(e);
    if (isClip(e.kind)) {
        const ULONGLONG movi = moviSizeOf(e);
        // A clip that cannot be described in 32-bit sizes, or that plays at
        // no frame rate, is not built.
        if (file->length > 0xFFFFFFFFull || movi > 0xFFFFFFFFull || e.frameRate == 0) {
            file->failed = true;
            return;
        }
        file->moviSize = static_cast<ULONG>(movi);
        clipHeader(file);
    } else if (file->length > 0xFFFFFFFFull) {
        file->failed = true;
    }
}

bool Camera_ObjectFileProduce(ObjectFile* file, const ObjectSource& source, ULONG offset,
                              PUCHAR dest, ULONG length) {
    if (file->failed || offset != file->produced || ULONGLONG{offset} + length > file->length) {
        file->failed = true;
        return false;
    }
    if (length == 0) return true;
    const ObjectEntry& e = file->entry;
    bool ok;
    if (file->form == ObjectFileForm::Thumbnail) {
        UCHAR h[kBitmapHeaderLength];
        bitmapHeader(e, h);
        ok = produceHeaded(source, h, kBitmapHeaderLength, kCamItemThumbnail, offset, dest, length);
    } else if (isClip(e.kind)) {
        ok = file->window != nullptr && file->index != nullptr &&
             produceClip(file, source, dest, length);
    } else if (e.kind == kObjectSound) {
        UCHAR h[kWavHeaderLength];
        soundHeader(e, h);
        ok = produceHeaded(source, h, kWavHeaderLength, kCamItemSound, offset, dest, length);
    } else {
        ok = source.read(source.context, kCamItemPicture, offset, dest, length);
    }
    if (!ok) {
        file->failed = true;
        return false;
    }
    file->produced += length;
    return true;
}
