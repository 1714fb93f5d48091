// Arbitrary directory entries and item bytes, as a camera could report them,
// into the builders of the stored objects' files, in slices of changing
// sizes. The camera is outside the host: whatever its entry claims and its
// items hold, a build writes only into the slice it was given, the window
// and the index, and every slice it accepts moves the file on by its length.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "driver/camera/object_files.h"

namespace {

// The most of one file a run builds: enough for several windows of clip
// video, little enough to keep the runs quick.
constexpr ULONGLONG kMostBuilt = 300u << 10;

struct Camera {
    const std::uint8_t* pool = nullptr;  // what the items hold, over and over
    std::size_t poolSize = 0;
    unsigned readsLeft = ~0u;  // the read that fails, counted down
    // What the camera serves before it stops answering: a clip whose video
    // holds no frames is searched to its end, gigabytes if its entry says so.
    ULONGLONG servedLeft = 2u << 20;
    bool reopenFails = false;
};

bool readItem(void* context, UCHAR item, ULONG offset, PUCHAR dest, ULONG length) {
    auto* c = static_cast<Camera*>(context);
    if (c->readsLeft-- == 0 || length > c->servedLeft) return false;
    c->servedLeft -= length;
    if (c->poolSize == 0) {
        std::memset(dest, 0, length);
        return true;
    }
    std::size_t at = (std::size_t{offset} + std::size_t{item} * 131) % c->poolSize;
    for (ULONG done = 0; done < length;) {
        const std::size_t n = std::min<std::size_t>(length - done, c->poolSize - at);
        std::memcpy(dest + done, c->pool + at, n);
        done += static_cast<ULONG>(n);
        at = 0;
    }
    return true;
}

bool reopen(void* context) {
    return !static_cast<Camera*>(context)->reopenFails;
}

std::uint32_t le32(const UCHAR* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The entry, then a byte of choices, a byte that picks the failing read,
    // two bytes of slice length, then the items' bytes.
    constexpr std::size_t kHead = kDirectoryEntryLength + 4;
    if (size < kHead) return 0;
    const std::uint8_t* entry = data;
    const std::uint8_t choices = data[kDirectoryEntryLength];
    const std::uint8_t failing = data[kDirectoryEntryLength + 1];
    const ULONG sliceBase = 1 + (static_cast<ULONG>(data[kDirectoryEntryLength + 2]) << 8 |
                                 data[kDirectoryEntryLength + 3]);

    Camera camera;
    camera.pool = data + kHead;
    camera.poolSize = size - kHead;
    if (choices & 2) camera.readsLeft = failing;
    camera.reopenFails = (choices & 4) != 0;
    const ObjectFileForm form = (choices & 1) ? ObjectFileForm::Thumbnail : ObjectFileForm::File;

    // The window and the index as the responder gives them.
    const ObjectEntry parsed = Camera_ParseEntry(entry);
    const ULONG chunks = Camera_ClipIndexEntries(parsed);
    std::unique_ptr<UCHAR[]> window(new UCHAR[kFrameWindowLength]);
    std::unique_ptr<UCHAR[]> index(new UCHAR[std::max<ULONG>(chunks, 1) * kClipIndexEntryLength]);

    ObjectFile file;
    Camera_ObjectFileOpen(&file, entry, form, window.get(), chunks ? index.get() : nullptr, chunks);
    const ObjectSource source{readItem, reopen, &camera};
    const ULONGLONG length = file.length;
    const ULONGLONG goal = std::min(length, kMostBuilt);
    std::vector<UCHAR> first;
    ULONG offset = 0;
    for (unsigned round = 0; offset < goal; ++round) {
        // Slices of changing sizes, each in a buffer of exactly its length.
        const ULONG want = (sliceBase * (round % 7 + 1)) % 70000 + 1;
        const auto slice = static_cast<ULONG>(std::min<ULONGLONG>(want, goal - offset));
        std::unique_ptr<UCHAR[]> dest(new UCHAR[slice]);
        if (!Camera_ObjectFileProduce(&file, source, offset, dest.get(), slice)) break;
        offset += slice;
        if (file.produced != offset) __builtin_trap();
        if (first.size() < 12)
            first.insert(first.end(), dest.get(), dest.get() + std::min<ULONG>(slice, 12));
    }

    // A sound or clip file built whole says in its RIFF header how long it
    // is, and that is the length announced for it.
    const bool riff = parsed.kind == kObjectSound || parsed.kind == kObjectClip ||
                      parsed.kind == kObjectClipWithSound;
    if (form == ObjectFileForm::File && riff && offset == length && length <= kMostBuilt &&
        first.size() >= 8) {
        if (std::memcmp(first.data(), "RIFF", 4) != 0) __builtin_trap();
        if (ULONGLONG{le32(first.data() + 4)} + 8 != length) __builtin_trap();
    }
    // Nothing comes after the end.
    if (offset == length) {
        UCHAR extra = 0;
        if (Camera_ObjectFileProduce(&file, source, offset, &extra, 1)) __builtin_trap();
    }
    return 0;
}
