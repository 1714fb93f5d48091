// The files of the camera's stored objects, built slice by slice as the host
// asks for them and never held whole: pictures pass through as JPEG, sound
// recordings become WAV files, clips AVI files with an MJPG video stream (and
// a PCM audio stream for clips with sound), thumbnails BMP data behind a
// 40-byte information header. Also the camera side of every build: reading an
// object's items in whole 512-byte blocks, keeping the last block read.
#pragma once

#include "platform/kernel/wdm.h"

struct DeviceContext;

constexpr ULONG kDirectoryEntryLength = 86;
constexpr ULONG kCameraBlockLength = 512;
// The most one read request asks of the camera.
constexpr ULONG kCameraReadPiece = 65536;
constexpr ULONG kFrameWindowLength = 204800;
// Where the frame finder moves what it still needs to the front and refills.
constexpr ULONG kFrameWindowRefillAt = 139265;
constexpr ULONG kClipIndexEntryLength = 16;
constexpr ULONG kBitmapHeaderLength = 40;
constexpr ULONG kWavHeaderLength = 44;
constexpr ULONG kClipHeaderLength = 216;
constexpr ULONG kClipWithSoundHeaderLength = 308;

// Kinds of byte 0 of the directory entry.
enum StoredObjectKind : UCHAR {
    kObjectClip = 1,
    kObjectSound = 2,
    kObjectClipWithSound = 3,
    kObjectPicture = 8,
    kObjectPictureWithThumbnail = 12,
};

// The fields of a directory entry the builders use (multi-byte fields are
// big-endian in the entry).
struct ObjectEntry {
    UCHAR kind = 0;
    ULONG videoLength = 0;  // V
    ULONG width = 0, height = 0;
    ULONG frames = 0;       // F
    ULONG frameRate = 0;    // R, half-frames per second
    ULONG soundLength = 0;  // S
    ULONG channels = 0;
    ULONG bitsPerSample = 0;
    ULONG sampleRate = 0;
    ULONG thumbnailLength = 0;
    ULONG thumbnailWidth = 0, thumbnailHeight = 0;
    ULONG pictureLength = 0;
    ULONG pictureWidth = 0, pictureHeight = 0;
};
ObjectEntry Camera_ParseEntry(const UCHAR* entry86);

// The length of the object's file as ObjectInfo announces it and GetObject
// delivers it. Clips round V (and S) up to an even count, so that the pad
// bytes of odd frames always have room and every chunk stays on an even
// offset; for even lengths the sizes are those of the plain formula.
// Above 32 bits the file cannot be described and is not built.
ULONGLONG Camera_ObjectFileLength(const ObjectEntry& e);
// Thumbnail data: the 40-byte header and the pixels.
ULONG Camera_ThumbnailFileLength(const ObjectEntry& e);

// Entries of a clip's index, which a build of its file needs room for: one a
// frame, and one for the sound of a clip with sound; 0 for other objects.
ULONG Camera_ClipIndexEntries(const ObjectEntry& e);

// ---------------------------------------------------------------------------
// Camera reads

// Reads of the current object's items, in whole blocks. Each item reads on
// from where its last read ended; the last block read is kept with its item
// and offset, so a read that starts inside it takes its first bytes from it.
struct ObjectReader {
    UCHAR memory = 0;
    ULONG object = 0;        // 24-bit object number
    PUCHAR block = nullptr;  // 512 bytes, owned by the responder
    UCHAR blockItem = 0;     // 0: nothing kept
    ULONG blockOffset = 0;   // item offset of the kept block
    // Where the camera's read position of each item stands (a multiple of
    // 512); indexed by item 1, 2, 4 and 8.
    ULONG cameraPosition[9] = {};
    // A piece read before it was asked for (Camera_ObjectReadAhead), served
    // to the reads that reach it. A read ahead that failed is kept as such:
    // the read that comes to its offset fails as it would have done itself.
    PUCHAR ahead = nullptr;  // kCameraReadPiece bytes, owned by the responder
    UCHAR aheadItem = 0;     // 0: nothing read ahead
    ULONG aheadOffset = 0;
    ULONG aheadLength = 0;
    bool aheadFailed = false;
};
void Camera_ObjectReaderReset(ObjectReader* reader, UCHAR memory, ULONG object);
// Reads `length` bytes of `item` from item offset `offset` into `dest`. The
// offset must lie in the kept block or at the item's read position; false
// otherwise, and when the camera fails (a bulk time-out reads the memory's
// result first).
bool Camera_ObjectRead(DeviceContext* device, ObjectReader* reader, UCHAR item, ULONG offset,
                       PUCHAR dest, ULONG length);

// Reads `length` bytes (whole blocks, at most kCameraReadPiece) of `item`
// from its read position `offset` into the reader's ahead buffer, so that
// the next read there finds them without waiting for the camera. Nothing
// happens when they are there already or `offset` is not the read position.
// False when nothing was read; a camera that failed fails the read that
// comes to `offset`.
bool Camera_ObjectReadAhead(DeviceContext* device, ObjectReader* reader, UCHAR item, ULONG offset,
                            ULONG length);

// One bulk-in read of `length` bytes through the PTP transport; false unless
// every byte came and the transport saw nothing wrong. A time-out reads the
// memory's result (request 0x86).
bool Camera_PtpReceive(DeviceContext* device, UCHAR memory, PUCHAR buffer, ULONG length);

// ---------------------------------------------------------------------------
// File builders

// What a build needs of the camera: reads of the object's items and, for
// clips with sound, closing and opening the object again before the sound.
struct ObjectSource {
    bool (*read)(void* context, UCHAR item, ULONG offset, PUCHAR dest, ULONG length);
    bool (*reopen)(void* context);
    void* context;
};

enum class ObjectFileForm { File, Thumbnail };

// Per-object construction state; reset when an object is opened.
struct ObjectFile {
    ObjectEntry entry;
    ObjectFileForm form = ObjectFileForm::File;
    ULONGLONG length = 0;  // of the whole file
    ULONG produced = 0;    // file bytes handed out so far
    bool failed = false;   // a step failed: nothing more is built

    // Clips.
    ULONG step = 0;  // construction step (0 header, 1 frames, 2 sound, 3 filler, 4 index, 5 done)
    ULONG chunkOffset = 0;  // offset within the current chunk
    ULONG chunkLength = 0;  // header, data and pad byte of the current chunk
    ULONG moviWritten = 4;  // W: bytes of the movi list so far, with its "movi" code
    ULONG nextChunk = 4;    // offset of the next chunk from the movi data
    ULONG framesDone = 0;
    ULONG junkLength = 0;
    ULONG moviSize = 0;
    UCHAR header[kClipWithSoundHeaderLength] = {};
    ULONG headerLength = 0;
    UCHAR chunkHeader[8] = {};
    PUCHAR index = nullptr;   // 16 bytes per chunk, owned by the responder
    ULONG indexCapacity = 0;  // entries
    ULONG indexCount = 0;

    // Frame finder: a window over the clip's video bytes.
    PUCHAR window = nullptr;  // kFrameWindowLength bytes, owned by the responder
    ULONG windowFill = 0;     // bytes of the window holding video
    ULONG videoLoaded = 0;    // video bytes read into the window so far
    ULONG scan = 0;           // window position the next search starts at
    ULONG frameStart = 0;     // window position of the frame being delivered
    ULONG frameLength = 0;
};

// Starts a build of the object with directory entry `entry`. `window` and
// `index` (room for `indexCapacity` entries) are used by clips.
void Camera_ObjectFileOpen(ObjectFile* file, const UCHAR* entry86, ObjectFileForm form,
                           PUCHAR window, PUCHAR index, ULONG indexCapacity);
// Produces file bytes [offset, offset + length) into `dest`. Slices come in
// order: `offset` must be where the last slice ended. False when the file
// cannot be built (a clip with frame rate 0, a camera read that failed, video
// bytes without the frames the entry announces, a slice out of order or past
// the end); the slice is then not delivered and the build is over.
bool Camera_ObjectFileProduce(ObjectFile* file, const ObjectSource& source, ULONG offset,
                              PUCHAR dest, ULONG length);
