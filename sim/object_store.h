// What the simulated camera keeps in its memories: objects (pictures with and
// without thumbnails, sound recordings, clips with and without sound), each
// with its 86-byte directory entry, its object-table word and its items, and
// each memory's storage figures. Content is generated: real JPEG pictures and
// clip frames, thumbnails that match the pictures, PCM tones.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sim {

enum class ObjectKind : std::uint8_t {
    Clip = 1,
    Sound = 2,
    ClipWithSound = 3,
    Picture = 8,
    PictureWithThumbnail = 12,
};

// Items of an object, as request 0x05 names them.
enum Item : std::uint8_t {
    kItemClipVideo = 1,
    kItemSound = 2,
    kItemThumbnail = 4,
    kItemPicture = 8,
    kItemFirstBlock = 0xFF,
};

constexpr int kMemoryCount = 16;
constexpr std::size_t kDirectoryEntrySize = 86;
constexpr std::size_t kFirstBlockSize = 512;
constexpr std::size_t kStorageDescriptionSize = 12;
constexpr std::uint32_t kMaxObjectNumber = 0xFFFFFF;
// The longest frame the camera's own clips hold, so generated content keeps
// to it; clips built by hand from chosen bytes may go past it, to try the
// driver's frame finder on frames that straddle its window.
constexpr std::size_t kMaxClipFrameBytes = 65535;
// What one 640 x 480 picture with its thumbnail is reckoned to take when a
// memory estimates how many more pictures it holds.
constexpr std::uint32_t kPictureEstimateBytes = 64 * 1024;

// How to make one object (from a scenario file or a test).
struct ObjectSpec {
    ObjectKind kind = ObjectKind::Picture;
    int width = 640;  // picture or clip frame size
    int height = 480;
    int thumbnailWidth = 80;  // kind 12; a multiple of 4
    int thumbnailHeight = 60;
    int frames = 10;  // clips
    int frameRateHalfFps =
        30;  // clips: half-frames per second (30 = 15 fps); 0 is allowed (a broken clip)
    int soundBytes = 8000;  // sound recordings and clips with sound
    int sampleRate = 8000;
    int channels = 1;
    int bitsPerSample = 8;
    int quality = 75;          // JPEG quality
    bool progressive = false;  // pictures: a progressive JPEG instead of a baseline one
    bool greyscale = false;    // pictures: one grey component (the thumbnail is grey too)
    std::uint32_t seed = 1;    // distinct content per seed
    std::uint32_t number = 0;  // 24-bit object number; 0: the next free one
};

struct StoredObject {
    std::uint32_t number = 0;  // 24-bit, never 0
    ObjectKind kind = ObjectKind::Picture;
    // Multi-byte fields big-endian: byte 0 kind; 18-21 clip video length;
    // 22-23, 24-25 clip width and height; 26-27 frame count; 28-29 frame rate
    // in half-frames per second; 35-38 sound length; 39 channels; 40 bits per
    // sample; 41-42 sample rate; 52-55 thumbnail length; 56-57, 58-59
    // thumbnail width and height; 69-72 picture length; 73-74, 75-76 picture
    // width and height. Bytes 1-4, 30 and 60-64 carry the capture stamp:
    // 1-4 seconds since 2000-01-01 00:00:00; 60 year - 2000, 61 month, 62
    // day, 63 hour, 64 minute; 30 second.
    std::array<std::uint8_t, kDirectoryEntrySize> directoryEntry{};
    std::vector<std::uint8_t> picture;    // item 8: a JPEG file
    std::vector<std::uint8_t> thumbnail;  // item 4: width x height x 3 bytes, BGR rows top-down
    std::vector<std::uint8_t> sound;      // item 2: PCM samples
    std::vector<std::uint8_t> clipVideo;  // item 1: JPEG frames one after another
    // Item 0xFF: bytes 0-85 the directory entry, then big-endian: 86-89 the
    // object number, 90-93 clip video length, 94-97 sound length, 98-101
    // thumbnail length, 102-105 picture length, 106-107 frame count; zeros.
    std::array<std::uint8_t, kFirstBlockSize> firstBlock{};
    std::vector<std::size_t> frameLengths;  // clips: the length of each JPEG frame

    // The bytes of an item, or null when the object has no such item.
    // The kind decides which items an object has (an empty sound recording
    // still has item 2). item(kItemFirstBlock) is null: the first block is an
    // array; itemBytes covers every item including it (empty when absent).
    const std::vector<std::uint8_t>* item(std::uint8_t item) const;
    std::span<const std::uint8_t> itemBytes(std::uint8_t item) const;
    std::size_t itemLength(std::uint8_t item) const;
    // Object-table word: bits 28-31 memory, 24-27 kind, 0-23 object number.
    std::uint32_t tableWord(int memory) const;
};

// A clip made from frames chosen byte for byte (tests that need frames of
// given lengths, broken frames or bytes between frames): `video` is the clip's
// video item as it is stored, `frameLengths` what it holds, `sound` the sound
// item of a clip with sound. The recipe gives kind, size, rate and the sound's
// format; its frame count is taken from frameLengths unless `frames` is set.
struct ClipBytes {
    std::vector<std::uint8_t> video;
    std::vector<std::size_t> frameLengths;
    std::vector<std::uint8_t> sound;
    int frames = -1;  // what the directory entry announces (-1: frameLengths.size())
};
// A frame for the frame finder of exactly `length` bytes (at least 4): a
// start-of-image marker, filler that holds no marker, an end-of-image marker.
std::vector<std::uint8_t> syntheticFrame(std::size_t length, std::uint32_t seed);
// Fills the object's directory entry from its items and the recipe's formats
// (kind, sizes, frame count and rate, sound format) and rewrites its first block.
void fillDirectoryEntry(StoredObject& object, const ObjectSpec& recipe, int frames = -1);
// An object of the recipe's kind (1 or 3) holding the given clip bytes.
StoredObject clipObject(const ObjectSpec& recipe, ClipBytes bytes, std::uint32_t number = 0);

// Builds an object with generated content; throws std::invalid_argument
// naming the field when the recipe is out of range.
StoredObject generateObject(const ObjectSpec& recipe, std::uint32_t number);
// Rewrites the first block from the object's number, entry and items (after
// building an object by hand or renumbering it).
void writeFirstBlock(StoredObject& object);

class Memory {
  public:
    explicit Memory(int number = 0, std::uint64_t capacity = 16u << 20);
    int number() const { return number_; }
    std::uint64_t capacity() const { return capacity_; }
    std::uint32_t freeBytes() const;
    // Pictures of 640 x 480 that still fit (an estimate, as cameras give it).
    std::uint32_t freePictures() const;
    // 12 bytes: byte 3 = 1 (DCF file system, 0 for other memories), bytes
    // 4-7 free bytes and 8-11 capacity big-endian.
    std::array<std::uint8_t, kStorageDescriptionSize> storageDescription() const;
    bool dcf() const { return dcf_; }
    void setDcf(bool dcf) { dcf_ = dcf; }
    // Adds `count` copies of `prototype` under the next free numbers: a cheap
    // way to a memory of thousands of objects.
    void addCopies(const StoredObject& prototype, std::size_t count);

    const std::vector<StoredObject>& objects() const { return objects_; }
    const StoredObject* find(std::uint32_t number) const;
    // Adds an object at the end; its number is the ObjectSpec's (or the
    // object's) or, when that is 0, the next free one. Throws
    // std::invalid_argument for a number in use or a bad ObjectSpec. A memory
    // may be overfilled: its free bytes then stay at 0.
    const StoredObject& add(const ObjectSpec& recipe);
    const StoredObject& add(StoredObject object);
    bool remove(std::uint32_t number);
    void erase();
    // The object table as request 0x85 delivers it: one big-endian word each.
    std::vector<std::uint8_t> objectTable() const;

  private:
    std::uint32_t nextFreeNumber() const;
    const StoredObject& place(StoredObject object);

    int number_;
    std::uint64_t capacity_;
    std::vector<StoredObject> objects_;
    std::uint32_t nextNumber_ = 1;
    bool dcf_ = true;
};

// The sixteen memories of a camera and which one is current.
class ObjectStore {
  public:
    ObjectStore();
    Memory& memory(int n);  // 0-15, else std::out_of_range
    const Memory& memory(int n) const;
    int currentMemory() const { return current_; }
    void setCurrentMemory(int n);  // 0-15, else std::out_of_range
    // A camera as a new user would like to meet it: a few pictures (some with
    // thumbnails), a sound recording, a clip without and one with sound.
    static ObjectStore defaultContent();

  private:
    std::array<Memory, kMemoryCount> memories_;
    int current_ = 0;
};

}  // namespace sim
