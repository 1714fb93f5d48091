// Test-only object store, linked while the generated-content implementation
// of sim/object_store.h is not in the tree (tests/sim/CMakeLists.txt picks it
// only then). It makes real JPEG pictures and clip frames so the camera tests
// exercise the same bytes, but none of the finer content rules.
#include <stdexcept>

#include "sim/jpeg.h"
#include "sim/object_store.h"

namespace sim {
namespace {

void put16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

void put32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

}  // namespace

const std::vector<std::uint8_t>* StoredObject::item(std::uint8_t which) const {
    switch (which) {
        case kItemClipVideo:
            return clipVideo.empty() ? nullptr : &clipVideo;
        case kItemSound:
            return sound.empty() ? nullptr : &sound;
        case kItemThumbnail:
            return thumbnail.empty() ? nullptr : &thumbnail;
        case kItemPicture:
            return picture.empty() ? nullptr : &picture;
        default:
            return nullptr;
    }
}

std::size_t StoredObject::itemLength(std::uint8_t which) const {
    const auto* v = item(which);
    return v ? v->size() : 0;
}

std::uint32_t StoredObject::tableWord(int memory) const {
    std::uint32_t flags = 0;
    switch (kind) {
        case ObjectKind::Clip:
            flags = 0x1;
            break;
        case ObjectKind::Sound:
            flags = 0x2;
            break;
        case ObjectKind::ClipWithSound:
            flags = 0x3;
            break;
        default:
            flags = 0x8;
            break;
    }
    return (static_cast<std::uint32_t>(memory & 0xF) << 28) | (flags << 24) | (number & kMaxObjectNumber);
}

StoredObject generateObject(const ObjectSpec& spec, std::uint32_t number) {
    if (spec.width < 16 || spec.height < 16) throw std::invalid_argument("width");
    StoredObject o;
    o.number = number;
    o.kind = spec.kind;
    auto& e = o.directoryEntry;
    e[0] = static_cast<std::uint8_t>(spec.kind);
    if (spec.kind == ObjectKind::Picture || spec.kind == ObjectKind::PictureWithThumbnail) {
        auto rgb = testPattern(spec.width, spec.height, spec.seed);
        o.picture = encodeJpeg(rgb.data(), spec.width, spec.height, spec.quality);
        put32(&e[69], static_cast<std::uint32_t>(o.picture.size()));
        put16(&e[73], static_cast<std::uint32_t>(spec.width));
        put16(&e[75], static_cast<std::uint32_t>(spec.height));
        if (spec.kind == ObjectKind::PictureWithThumbnail) {
            auto small = scaleRgb(rgb, spec.width, spec.height, spec.thumbnailWidth, spec.thumbnailHeight);
            for (std::size_t i = 0; i + 2 < small.size(); i += 3) std::swap(small[i], small[i + 2]);
            o.thumbnail = small;
            put32(&e[52], static_cast<std::uint32_t>(o.thumbnail.size()));
            put16(&e[56], static_cast<std::uint32_t>(spec.thumbnailWidth));
            put16(&e[58], static_cast<std::uint32_t>(spec.thumbnailHeight));
        }
    }
    if (spec.kind == ObjectKind::Sound || spec.kind == ObjectKind::ClipWithSound) {
        o.sound.resize(static_cast<std::size_t>(spec.soundBytes));
        for (std::size_t i = 0; i < o.sound.size(); ++i) o.sound[i] = static_cast<std::uint8_t>(128 + (i % 16) * 4);
        put32(&e[35], static_cast<std::uint32_t>(o.sound.size()));
        e[39] = static_cast<std::uint8_t>(spec.channels);
        e[40] = static_cast<std::uint8_t>(spec.bitsPerSample);
        put16(&e[41], static_cast<std::uint32_t>(spec.sampleRate));
    }
    if (spec.kind == ObjectKind::Clip || spec.kind == ObjectKind::ClipWithSound) {
        for (int f = 0; f < spec.frames; ++f) {
            auto rgb = testPattern(spec.width, spec.height, spec.seed + static_cast<std::uint32_t>(f));
            auto jpeg = encodeJpeg(rgb.data(), spec.width, spec.height, spec.quality);
            o.frameLengths.push_back(jpeg.size());
            o.clipVideo.insert(o.clipVideo.end(), jpeg.begin(), jpeg.end());
        }
        put32(&e[18], static_cast<std::uint32_t>(o.clipVideo.size()));
        put16(&e[22], static_cast<std::uint32_t>(spec.width));
        put16(&e[24], static_cast<std::uint32_t>(spec.height));
        put16(&e[26], static_cast<std::uint32_t>(spec.frames));
        put16(&e[28], static_cast<std::uint32_t>(spec.frameRateHalfFps));
    }
    std::copy(e.begin(), e.end(), o.firstBlock.begin());
    return o;
}

Memory::Memory(int number, std::uint64_t capacity) : number_(number), capacity_(capacity) {}

std::uint32_t Memory::freeBytes() const {
    std::uint64_t used = 0;
    for (const auto& o : objects_) used += o.picture.size() + o.thumbnail.size() + o.sound.size() + o.clipVideo.size();
    return used >= capacity_ ? 0 : static_cast<std::uint32_t>(capacity_ - used);
}

std::uint32_t Memory::freePictures() const { return freeBytes() / 60000; }

std::array<std::uint8_t, kStorageDescriptionSize> Memory::storageDescription() const {
    std::array<std::uint8_t, kStorageDescriptionSize> d{};
    d[3] = 1;
    put32(&d[8], static_cast<std::uint32_t>(capacity_));
    return d;
}

const StoredObject* Memory::find(std::uint32_t number) const {
    for (const auto& o : objects_)
        if (o.number == number) return &o;
    return nullptr;
}

const StoredObject& Memory::add(const ObjectSpec& spec) {
    std::uint32_t n = spec.number ? spec.number : nextNumber_;
    return add(generateObject(spec, n));
}

const StoredObject& Memory::add(StoredObject object) {
    if (object.number == 0) object.number = nextNumber_;
    if (object.number >= nextNumber_) nextNumber_ = object.number + 1;
    objects_.push_back(std::move(object));
    return objects_.back();
}

bool Memory::remove(std::uint32_t number) {
    for (auto it = objects_.begin(); it != objects_.end(); ++it) {
        if (it->number == number) {
            objects_.erase(it);
            return true;
        }
    }
    return false;
}

void Memory::erase() { objects_.clear(); }

std::vector<std::uint8_t> Memory::objectTable() const {
    std::vector<std::uint8_t> t(objects_.size() * 4);
    for (std::size_t i = 0; i < objects_.size(); ++i) put32(&t[i * 4], objects_[i].tableWord(number_));
    return t;
}

ObjectStore::ObjectStore() {
    for (int i = 0; i < kMemoryCount; ++i) memories_[static_cast<std::size_t>(i)] = Memory(i);
}

Memory& ObjectStore::memory(int n) { return memories_.at(static_cast<std::size_t>(n)); }
const Memory& ObjectStore::memory(int n) const { return memories_.at(static_cast<std::size_t>(n)); }
void ObjectStore::setCurrentMemory(int n) {
    if (n >= 0 && n < kMemoryCount) current_ = n;
}

ObjectStore ObjectStore::defaultContent() {
    ObjectStore s;
    Memory& m = s.memory(0);
    ObjectSpec p;
    p.kind = ObjectKind::PictureWithThumbnail;
    m.add(p);
    p.kind = ObjectKind::Picture;
    p.width = 352;
    p.height = 288;
    p.seed = 2;
    m.add(p);
    ObjectSpec snd;
    snd.kind = ObjectKind::Sound;
    snd.soundBytes = 16000;
    m.add(snd);
    ObjectSpec clip;
    clip.kind = ObjectKind::Clip;
    clip.width = 320;
    clip.height = 240;
    clip.frames = 10;
    m.add(clip);
    clip.kind = ObjectKind::ClipWithSound;
    clip.seed = 5;
    m.add(clip);
    return s;
}

}  // namespace sim
