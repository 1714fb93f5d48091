#include "sim/object_store.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace sim {

const std::vector<std::uint8_t>* StoredObject::item(std::uint8_t which) const {
    const auto k = static_cast<unsigned>(kind);
    switch (which) {
        case kItemClipVideo:
            return (k & 0x1) ? &clipVideo : nullptr;
        case kItemSound:
            return (k & 0x2) ? &sound : nullptr;
        case kItemThumbnail:
            return kind == ObjectKind::PictureWithThumbnail ? &thumbnail : nullptr;
        case kItemPicture:
            return (k & 0x8) ? &picture : nullptr;
        default:
            return nullptr;
    }
}

std::span<const std::uint8_t> StoredObject::itemBytes(std::uint8_t which) const {
    if (which == kItemFirstBlock) return firstBlock;
    const std::vector<std::uint8_t>* bytes = item(which);
    return bytes ? std::span<const std::uint8_t>(*bytes) : std::span<const std::uint8_t>();
}

std::size_t StoredObject::itemLength(std::uint8_t which) const {
    return itemBytes(which).size();
}

std::uint32_t StoredObject::tableWord(int memory) const {
    return (static_cast<std::uint32_t>(memory & 0xF) << 28) |
           (static_cast<std::uint32_t>(kind) & 0xF) << 24 | (number & kMaxObjectNumber);
}

Memory::Memory(int number, std::uint64_t capacity) : number_(number), capacity_(capacity) {}

std::uint32_t Memory::freeBytes() const {
    std::uint64_t used = 0;
    for (const StoredObject& o : objects_)
        used += o.picture.size() + o.thumbnail.size() + o.sound.size() + o.clipVideo.size();
    if (used >= capacity_) return 0;
    // The camera reports a 32-bit figure.
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(capacity_ - used, 0xFFFFFFFFu));
}

std::uint32_t Memory::freePictures() const {
    return freeBytes() / kPictureEstimateBytes;
}

std::array<std::uint8_t, kStorageDescriptionSize> Memory::storageDescription() const {
    std::array<std::uint8_t, kStorageDescriptionSize> d{};
    d[3] = dcf_ ? 1 : 0;  // DCF file system
    const auto capacity =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(capacity_, 0xFFFFFFFFu));
    const std::uint32_t free = freeBytes();
    for (int i = 0; i < 4; ++i) {
        d[4 + i] = static_cast<std::uint8_t>(free >> (24 - 8 * i));
        d[8 + i] = static_cast<std::uint8_t>(capacity >> (24 - 8 * i));
    }
    return d;
}

const StoredObject* Memory::find(std::uint32_t number) const {
    for (const StoredObject& o : objects_)
        if (o.number == number) return &o;
    return nullptr;
}

const StoredObject& Memory::add(const ObjectSpec& recipe) {
    std::uint32_t number = recipe.number;
    if (number == 0) {
        number = nextFreeNumber();
    } else if (find(number)) {
        throw std::invalid_argument("number: " + std::to_string(number) + " is already in use");
    }
    return place(generateObject(recipe, number));
}

const StoredObject& Memory::add(StoredObject object) {
    if (object.number > kMaxObjectNumber)
        throw std::invalid_argument("number: must be between 1 and " +
                                    std::to_string(kMaxObjectNumber));
    if (object.number == 0) {
        object.number = nextFreeNumber();
        writeFirstBlock(object);
    } else if (find(object.number)) {
        throw std::invalid_argument("number: " + std::to_string(object.number) +
                                    " is already in use");
    }
    return place(std::move(object));
}

std::uint32_t Memory::nextFreeNumber() const {
    // Numbers go up as the camera records; only when they have run out are
    // the gaps left by deleted objects reused.
    if (nextNumber_ <= kMaxObjectNumber && !find(nextNumber_)) return nextNumber_;
    for (std::uint32_t n = 1; n <= kMaxObjectNumber; ++n)
        if (!find(n)) return n;
    throw std::length_error("memory " + std::to_string(number_) + " has no object number left");
}

const StoredObject& Memory::place(StoredObject object) {
    nextNumber_ = std::max(nextNumber_, object.number + 1);
    objects_.push_back(std::move(object));
    return objects_.back();
}

void Memory::addCopies(const StoredObject& original, std::size_t count) {
    // The prototype may be one of this memory's own objects.
    const StoredObject prototype = original;
    objects_.reserve(objects_.size() + count);
    for (std::size_t i = 0; i < count; ++i) {
        if (nextNumber_ > kMaxObjectNumber)
            throw std::length_error("memory " + std::to_string(number_) + " has no object number left");
        StoredObject copy = prototype;
        copy.number = nextNumber_;
        writeFirstBlock(copy);
        place(std::move(copy));
    }
}

bool Memory::remove(std::uint32_t number) {
    auto it = std::find_if(objects_.begin(), objects_.end(),
                           [number](const StoredObject& o) { return o.number == number; });
    if (it == objects_.end()) return false;
    objects_.erase(it);
    return true;
}

void Memory::erase() {
    objects_.clear();
    nextNumber_ = 1;
}

std::vector<std::uint8_t> Memory::objectTable() const {
    std::vector<std::uint8_t> table;
    table.reserve(objects_.size() * 4);
    for (const StoredObject& o : objects_) {
        const std::uint32_t w = o.tableWord(number_);
        for (int shift = 24; shift >= 0; shift -= 8)
            table.push_back(static_cast<std::uint8_t>(w >> shift));
    }
    return table;
}

ObjectStore::ObjectStore() {
    for (int i = 0; i < kMemoryCount; ++i) memories_[static_cast<std::size_t>(i)] = Memory(i);
}

namespace {
std::size_t memoryIndex(int n) {
    if (n < 0 || n >= kMemoryCount)
        throw std::out_of_range("memory " + std::to_string(n) + " does not exist");
    return static_cast<std::size_t>(n);
}
}  // namespace

Memory& ObjectStore::memory(int n) {
    return memories_[memoryIndex(n)];
}

const Memory& ObjectStore::memory(int n) const {
    return memories_[memoryIndex(n)];
}

void ObjectStore::setCurrentMemory(int n) {
    current_ = static_cast<int>(memoryIndex(n));
}

ObjectStore ObjectStore::defaultContent() {
    // Built once: a copy is cheap, encoding is not.
    static const ObjectStore content = [] {
        ObjectStore store;
        Memory& m = store.memory(0);
        // Each recipe starts from the one before it.
        ObjectSpec s;
        auto picture = [&](ObjectKind kind, int width, int height, std::uint32_t seed) {
            s.kind = kind;
            s.width = width;
            s.height = height;
            s.seed = seed;
            m.add(s);
        };
        auto clip = [&](ObjectKind kind, int width, int height, int frames, int frameRateHalfFps,
                        std::uint32_t seed) {
            s.frames = frames;
            s.frameRateHalfFps = frameRateHalfFps;
            picture(kind, width, height, seed);
        };
        picture(ObjectKind::PictureWithThumbnail, 640, 480, 1);
        picture(ObjectKind::Picture, 352, 288, 2);
        picture(ObjectKind::PictureWithThumbnail, 320, 240, 3);
        s.kind = ObjectKind::Sound;
        s.soundBytes = 3 * 8000;  // three seconds at 8000 Hz, 8-bit mono
        s.sampleRate = 8000;
        s.channels = 1;
        s.bitsPerSample = 8;
        s.seed = 4;
        m.add(s);
        clip(ObjectKind::Clip, 320, 240, 12, 30, 5);
        s.soundBytes = 12000;  // at 10 frames per second: 1.5 s of sound
        clip(ObjectKind::ClipWithSound, 320, 240, 15, 20, 6);
        picture(ObjectKind::Picture, 176, 144, 7);
        // Pictures as a decoder meets them from other cameras: sides that are
        // no multiple of the JPEG block (and rows of 81 x 3 bytes, no multiple
        // of 4), a progressive one and a grey one.
        picture(ObjectKind::Picture, 81, 61, 8);
        s.progressive = true;
        s.thumbnailWidth = 80;
        s.thumbnailHeight = 60;
        picture(ObjectKind::PictureWithThumbnail, 123, 77, 9);
        s.progressive = false;
        s.greyscale = true;
        picture(ObjectKind::Picture, 97, 50, 10);
        s.greyscale = false;
        // A second memory with pictures of its own: a progressive VGA one,
        // a grey VGA one and a small one of odd size.
        Memory& second = store.memory(1);
        auto add = [&](ObjectKind kind, int width, int height, std::uint32_t seed,
                       bool progressive, bool greyscale) {
            ObjectSpec p;
            p.kind = kind;
            p.width = width;
            p.height = height;
            p.seed = seed;
            p.progressive = progressive;
            p.greyscale = greyscale;
            second.add(p);
        };
        add(ObjectKind::PictureWithThumbnail, 640, 480, 21, true, false);
        add(ObjectKind::Picture, 640, 480, 22, false, true);
        add(ObjectKind::Picture, 81, 61, 23, false, false);
        return store;
    }();
    return content;
}

}  // namespace sim
