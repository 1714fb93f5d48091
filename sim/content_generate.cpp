// Generated content of the simulated camera's stored objects: JPEG pictures
// with matching thumbnails, PCM tones, and clips whose frames the driver's
// frame finder can pick out of the raw video bytes.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <numbers>
#include <stdexcept>
#include <string>
#include <utility>

#include "sim/jpeg.h"
#include "sim/object_store.h"

namespace sim {
namespace {

constexpr int kMinSide = 8;
constexpr int kMaxSide = 4096;
constexpr int kMaxFrames = 0xFFFF;
constexpr int kMaxFrameRate = 0xFFFF;
constexpr int kMaxSoundBytes = 64 << 20;
constexpr int kMinSampleRate = 1000;
constexpr int kMaxSampleRate = 0xFFFF;
// Encoding dominates generation time, so long clips repeat a cycle of
// distinct frames instead of encoding every one.
constexpr int kDistinctClipFrames = 30;

[[noreturn]] void refuse(const char* field, const std::string& why) {
    throw std::invalid_argument(std::string(field) + ": " + why);
}

void checkRange(const char* field, long long value, long long low, long long high) {
    if (value < low || value > high)
        refuse(field, "must be between " + std::to_string(low) + " and " + std::to_string(high) +
                          " (is " + std::to_string(value) + ")");
}

void putBe16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

void putBe32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

bool isClip(ObjectKind kind) {
    return kind == ObjectKind::Clip || kind == ObjectKind::ClipWithSound;
}
bool hasSound(ObjectKind kind) {
    return kind == ObjectKind::Sound || kind == ObjectKind::ClipWithSound;
}
bool isPicture(ObjectKind kind) {
    return kind == ObjectKind::Picture || kind == ObjectKind::PictureWithThumbnail;
}

void validate(const ObjectSpec& recipe, std::uint32_t number) {
    switch (recipe.kind) {
        case ObjectKind::Clip:
        case ObjectKind::Sound:
        case ObjectKind::ClipWithSound:
        case ObjectKind::Picture:
        case ObjectKind::PictureWithThumbnail:
            break;
        default:
            refuse("kind", "must be one of 1, 2, 3, 8, 12 (is " +
                               std::to_string(static_cast<int>(recipe.kind)) + ")");
    }
    checkRange("number", number, 1, kMaxObjectNumber);
    if (isPicture(recipe.kind) || isClip(recipe.kind)) {
        checkRange("width", recipe.width, kMinSide, kMaxSide);
        checkRange("height", recipe.height, kMinSide, kMaxSide);
        checkRange("quality", recipe.quality, 1, 100);
    }
    if (recipe.kind == ObjectKind::PictureWithThumbnail) {
        checkRange("thumbnailWidth", recipe.thumbnailWidth, 4, recipe.width);
        if (recipe.thumbnailWidth % 4 != 0)
            refuse("thumbnailWidth",
                   "must be a multiple of 4 (is " + std::to_string(recipe.thumbnailWidth) + ")");
        checkRange("thumbnailHeight", recipe.thumbnailHeight, 1, recipe.height);
    }
    if (isClip(recipe.kind)) {
        checkRange("frames", recipe.frames, 1, kMaxFrames);
        checkRange("frameRateHalfFps", recipe.frameRateHalfFps, 0, kMaxFrameRate);
    }
    if (hasSound(recipe.kind)) {
        checkRange("soundBytes", recipe.soundBytes, 0, kMaxSoundBytes);
        checkRange("sampleRate", recipe.sampleRate, kMinSampleRate, kMaxSampleRate);
        if (recipe.channels != 1 && recipe.channels != 2)
            refuse("channels", "must be 1 or 2 (is " + std::to_string(recipe.channels) + ")");
        if (recipe.bitsPerSample != 8 && recipe.bitsPerSample != 16)
            refuse("bitsPerSample",
                   "must be 8 or 16 (is " + std::to_string(recipe.bitsPerSample) + ")");
    }
}

// A capture time that moves on with the object number, so a memory reads like
// a day's shooting.
void stampCapture(std::uint8_t* entry, std::uint32_t number, std::uint32_t seed) {
    using namespace std::chrono;
    const sys_days epoch = year{2000} / January / 1;
    const sys_days day = year{2002} / May / 24;
    seconds since = (day - epoch) + hours{10} + minutes{13} + seconds{42};
    since += seconds{static_cast<long long>(number) * 97 + (seed % 720) * 60};
    const sys_seconds when = epoch + since;
    const sys_days date = floor<days>(when);
    const year_month_day ymd{date};
    const hh_mm_ss<seconds> time{when - date};
    putBe32(entry + 1, static_cast<std::uint32_t>(since.count()));
    entry[60] = static_cast<std::uint8_t>(static_cast<int>(ymd.year()) - 2000);
    entry[61] = static_cast<std::uint8_t>(static_cast<unsigned>(ymd.month()));
    entry[62] = static_cast<std::uint8_t>(static_cast<unsigned>(ymd.day()));
    entry[63] = static_cast<std::uint8_t>(time.hours().count());
    entry[64] = static_cast<std::uint8_t>(time.minutes().count());
    entry[30] = static_cast<std::uint8_t>(time.seconds().count());
}

// The frame finder only honours start and end markers outside the stretch
// from a quantisation table marker to a restart interval marker. An encoder
// without restart intervals writes no such marker, so its end marker would be
// swallowed: a restart interval of 0 (no restarts, legal for any decoder) is
// put in front of the scan header, behind every table whose bytes might look
// like a marker.
std::vector<std::uint8_t> withRestartIntervalMarker(const std::vector<std::uint8_t>& jpeg) {
    std::size_t pos = 2;
    if (jpeg.size() < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) return {};
    while (pos + 4 <= jpeg.size()) {
        if (jpeg[pos] != 0xFF) return {};
        std::uint8_t marker = jpeg[pos + 1];
        if (marker == 0xFF) {  // fill byte
            ++pos;
            continue;
        }
        if (marker == 0xDA) {
            static constexpr std::uint8_t kDri[] = {0xFF, 0xDD, 0x00, 0x04, 0x00, 0x00};
            std::vector<std::uint8_t> out;
            out.reserve(jpeg.size() + sizeof kDri);
            out.insert(out.end(), jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(pos));
            out.insert(out.end(), std::begin(kDri), std::end(kDri));
            out.insert(out.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(pos), jpeg.end());
            return out;
        }
        if (marker == 0xDD) return jpeg;  // already has one
        pos += 2 + ((static_cast<std::size_t>(jpeg[pos + 2]) << 8) | jpeg[pos + 3]);
    }
    return {};
}

// True when the frame finder, started at the first byte, finds exactly this
// frame: one start marker at 0, the end marker as the last two bytes, and no
// start or end marker it would honour in between.
bool frameFinderTakesWhole(const std::vector<std::uint8_t>& frame) {
    bool inTables = false;
    bool started = false;
    for (std::size_t i = 0; i + 1 < frame.size(); ++i) {
        if (frame[i] != 0xFF) continue;
        std::uint8_t marker = frame[i + 1];
        if (marker == 0xDB) {
            inTables = true;
        } else if (marker == 0xDD) {
            inTables = false;
        } else if (inTables) {
            continue;
        } else if (marker == 0xD8) {
            if (started || i != 0) return false;
            started = true;
        } else if (marker == 0xD9) {
            return started && i + 2 == frame.size();
        }
    }
    return false;
}

std::vector<std::uint8_t> encodeOrThrow(const std::vector<std::uint8_t>& rgb, int width, int height,
                                        int quality) {
    std::vector<std::uint8_t> jpeg = encodeJpeg(rgb.data(), width, height, quality);
    if (jpeg.empty()) throw std::runtime_error("JPEG encoder failed");
    return jpeg;
}

std::vector<std::uint8_t> encodeClipFrame(const ObjectSpec& recipe, std::uint32_t frameSeed) {
    std::vector<std::uint8_t> rgb = testPattern(recipe.width, recipe.height, frameSeed);
    std::vector<std::uint8_t> frame =
        withRestartIntervalMarker(encodeOrThrow(rgb, recipe.width, recipe.height, recipe.quality));
    if (frame.empty() || !frameFinderTakesWhole(frame))
        refuse("quality", "the encoder's tables at quality " + std::to_string(recipe.quality) +
                              " hide the frame's markers; choose another quality");
    if (frame.size() > kMaxClipFrameBytes)
        refuse("quality",
               "a " + std::to_string(recipe.width) + " x " + std::to_string(recipe.height) +
                   " frame takes " + std::to_string(frame.size()) +
                   " bytes, more than a clip frame may (" + std::to_string(kMaxClipFrameBytes) +
                   "); lower the quality or the frame size");
    return frame;
}

// Tones in the form the WAV builder passes through: 8-bit unsigned or 16-bit
// signed little-endian samples, channels interleaved; the second channel a
// fifth above the first.
std::vector<std::uint8_t> toneSamples(const ObjectSpec& recipe) {
    std::vector<std::uint8_t> out(static_cast<std::size_t>(recipe.soundBytes));
    const double base = 330.0 + 55.0 * static_cast<double>(recipe.seed % 8);
    const int bytesPerSample = recipe.bitsPerSample / 8;
    const std::size_t frameBytes = static_cast<std::size_t>(bytesPerSample) * recipe.channels;
    for (std::size_t offset = 0; offset < out.size(); offset += frameBytes) {
        const double t = static_cast<double>(offset / frameBytes) / recipe.sampleRate;
        for (int c = 0; c < recipe.channels; ++c) {
            const double freq = c == 0 ? base : base * 1.5;
            const double v = 0.6 * std::sin(2.0 * std::numbers::pi * freq * t);
            std::uint8_t bytes[2];
            if (bytesPerSample == 1) {
                bytes[0] = static_cast<std::uint8_t>(std::lround(128.0 + 127.0 * v));
            } else {
                const auto s = static_cast<std::int16_t>(std::lround(32767.0 * v));
                const auto u = static_cast<std::uint16_t>(s);
                bytes[0] = static_cast<std::uint8_t>(u);
                bytes[1] = static_cast<std::uint8_t>(u >> 8);
            }
            for (int b = 0; b < bytesPerSample; ++b) {
                const std::size_t at = offset + static_cast<std::size_t>(c * bytesPerSample + b);
                if (at < out.size()) out[at] = bytes[b];  // a recording may end mid-sample
            }
        }
    }
    return out;
}

void buildPicture(const ObjectSpec& recipe, StoredObject& object) {
    std::vector<std::uint8_t> rgb = testPattern(recipe.width, recipe.height, recipe.seed);
    if (recipe.greyscale) rgb = greyRgb(rgb);
    object.picture = encodeJpeg(rgb.data(), recipe.width, recipe.height, recipe.quality,
                                JpegStyle{recipe.progressive, recipe.greyscale});
    if (object.picture.empty()) throw std::runtime_error("JPEG encoder failed");
    std::uint8_t* e = object.directoryEntry.data();
    putBe32(e + 69, static_cast<std::uint32_t>(object.picture.size()));
    putBe16(e + 73, static_cast<std::uint32_t>(recipe.width));
    putBe16(e + 75, static_cast<std::uint32_t>(recipe.height));
    if (recipe.kind != ObjectKind::PictureWithThumbnail) return;
    std::vector<std::uint8_t> small =
        scaleRgb(rgb, recipe.width, recipe.height, recipe.thumbnailWidth, recipe.thumbnailHeight);
    for (std::size_t i = 0; i + 2 < small.size(); i += 3) std::swap(small[i], small[i + 2]);
    object.thumbnail = std::move(small);
    putBe32(e + 52, static_cast<std::uint32_t>(object.thumbnail.size()));
    putBe16(e + 56, static_cast<std::uint32_t>(recipe.thumbnailWidth));
    putBe16(e + 58, static_cast<std::uint32_t>(recipe.thumbnailHeight));
}

void buildClip(const ObjectSpec& recipe, StoredObject& object) {
    const int distinct = std::min(recipe.frames, kDistinctClipFrames);
    std::vector<std::vector<std::uint8_t>> frames;
    frames.reserve(static_cast<std::size_t>(distinct));
    for (int i = 0; i < distinct; ++i)
        frames.push_back(
            encodeClipFrame(recipe, recipe.seed * 1000003u + static_cast<std::uint32_t>(i)));
    std::uint64_t videoBytes = 0;
    for (int i = 0; i < recipe.frames; ++i)
        videoBytes += frames[static_cast<std::size_t>(i % distinct)].size();
    // The AVI file built from the clip announces its size in 32 bits.
    const std::uint64_t fileBytes =
        videoBytes + 26ull * static_cast<std::uint64_t>(recipe.frames) + 512 +
        (hasSound(recipe.kind) ? static_cast<std::uint64_t>(recipe.soundBytes) : 0);
    if (fileBytes > 0xFFFFFFFFull)
        refuse("frames", std::to_string(recipe.frames) + " frames make a clip larger than 4 GiB");
    object.clipVideo.reserve(static_cast<std::size_t>(videoBytes));
    for (int i = 0; i < recipe.frames; ++i) {
        const std::vector<std::uint8_t>& f = frames[static_cast<std::size_t>(i % distinct)];
        object.clipVideo.insert(object.clipVideo.end(), f.begin(), f.end());
        object.frameLengths.push_back(f.size());
    }
    std::uint8_t* e = object.directoryEntry.data();
    putBe32(e + 18, static_cast<std::uint32_t>(videoBytes));
    putBe16(e + 22, static_cast<std::uint32_t>(recipe.width));
    putBe16(e + 24, static_cast<std::uint32_t>(recipe.height));
    putBe16(e + 26, static_cast<std::uint32_t>(recipe.frames));
    putBe16(e + 28, static_cast<std::uint32_t>(recipe.frameRateHalfFps));
}

void buildSound(const ObjectSpec& recipe, StoredObject& object) {
    object.sound = toneSamples(recipe);
    std::uint8_t* e = object.directoryEntry.data();
    putBe32(e + 35, static_cast<std::uint32_t>(object.sound.size()));
    e[39] = static_cast<std::uint8_t>(recipe.channels);
    e[40] = static_cast<std::uint8_t>(recipe.bitsPerSample);
    putBe16(e + 41, static_cast<std::uint32_t>(recipe.sampleRate));
}

}  // namespace

std::vector<std::uint8_t> syntheticFrame(std::size_t length, std::uint32_t seed) {
    if (length < 4) throw std::invalid_argument("length: a frame takes at least 4 bytes");
    std::vector<std::uint8_t> f(length);
    std::uint32_t x = seed * 2654435761u + 1;
    for (std::size_t i = 2; i + 2 < length; ++i) {
        x = x * 1103515245u + 12345u;
        f[i] = static_cast<std::uint8_t>((x >> 16) % 0xFF);  // never 0xFF
    }
    f[0] = 0xFF;
    f[1] = 0xD8;
    f[length - 2] = 0xFF;
    f[length - 1] = 0xD9;
    return f;
}

void fillDirectoryEntry(StoredObject& object, const ObjectSpec& recipe, int frames) {
    std::uint8_t* e = object.directoryEntry.data();
    e[0] = static_cast<std::uint8_t>(object.kind);
    if (isClip(object.kind)) {
        putBe32(e + 18, static_cast<std::uint32_t>(object.clipVideo.size()));
        putBe16(e + 22, static_cast<std::uint32_t>(recipe.width));
        putBe16(e + 24, static_cast<std::uint32_t>(recipe.height));
        putBe16(e + 26, static_cast<std::uint32_t>(
                            frames >= 0 ? frames : static_cast<int>(object.frameLengths.size())));
        putBe16(e + 28, static_cast<std::uint32_t>(recipe.frameRateHalfFps));
    }
    if (hasSound(object.kind)) {
        putBe32(e + 35, static_cast<std::uint32_t>(object.sound.size()));
        e[39] = static_cast<std::uint8_t>(recipe.channels);
        e[40] = static_cast<std::uint8_t>(recipe.bitsPerSample);
        putBe16(e + 41, static_cast<std::uint32_t>(recipe.sampleRate));
    }
    if (isPicture(object.kind)) {
        putBe32(e + 69, static_cast<std::uint32_t>(object.picture.size()));
        putBe16(e + 73, static_cast<std::uint32_t>(recipe.width));
        putBe16(e + 75, static_cast<std::uint32_t>(recipe.height));
    }
    if (object.kind == ObjectKind::PictureWithThumbnail) {
        putBe32(e + 52, static_cast<std::uint32_t>(object.thumbnail.size()));
        putBe16(e + 56, static_cast<std::uint32_t>(recipe.thumbnailWidth));
        putBe16(e + 58, static_cast<std::uint32_t>(recipe.thumbnailHeight));
    }
    writeFirstBlock(object);
}

StoredObject clipObject(const ObjectSpec& recipe, ClipBytes bytes, std::uint32_t number) {
    if (!isClip(recipe.kind)) refuse("kind", "a clip is of kind 1 or 3");
    StoredObject object;
    object.number = number;
    object.kind = recipe.kind;
    stampCapture(object.directoryEntry.data(), number, recipe.seed);
    object.clipVideo = std::move(bytes.video);
    object.frameLengths = std::move(bytes.frameLengths);
    if (hasSound(recipe.kind)) object.sound = std::move(bytes.sound);
    fillDirectoryEntry(object, recipe, bytes.frames);
    return object;
}

void writeFirstBlock(StoredObject& object) {
    std::uint8_t* b = object.firstBlock.data();
    object.firstBlock.fill(0);
    std::memcpy(b, object.directoryEntry.data(), kDirectoryEntrySize);
    putBe32(b + 86, object.number);
    putBe32(b + 90, static_cast<std::uint32_t>(object.clipVideo.size()));
    putBe32(b + 94, static_cast<std::uint32_t>(object.sound.size()));
    putBe32(b + 98, static_cast<std::uint32_t>(object.thumbnail.size()));
    putBe32(b + 102, static_cast<std::uint32_t>(object.picture.size()));
    putBe16(b + 106, static_cast<std::uint32_t>(object.frameLengths.size()));
}

StoredObject generateObject(const ObjectSpec& recipe, std::uint32_t number) {
    validate(recipe, number);
    StoredObject object;
    object.number = number;
    object.kind = recipe.kind;
    object.directoryEntry[0] = static_cast<std::uint8_t>(recipe.kind);
    stampCapture(object.directoryEntry.data(), number, recipe.seed);
    if (isPicture(recipe.kind)) buildPicture(recipe, object);
    if (isClip(recipe.kind)) buildClip(recipe, object);
    if (hasSound(recipe.kind)) buildSound(recipe, object);
    writeFirstBlock(object);
    return object;
}

}  // namespace sim
