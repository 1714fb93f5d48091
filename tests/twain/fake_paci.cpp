// A stand-in for the user library's still-camera and camera-state calls, as
// the data source binds them by name: cameras with JPEG pictures held in
// memory, every call counted, and a switch that unplugs the camera. Tests
// reach its controls (fake_*) through the same loaded module.
#include <turbojpeg.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#define FAKE_API extern "C" __attribute__((visibility("default")))

namespace {

struct Picture {
    std::uint32_t id;
    std::int32_t width, height;
    std::vector<std::uint8_t> jpeg;
};

struct Event {
    bool manual;
    bool signalled = false;
};

struct Stream {
    std::uint32_t id;
    char deviceName[32];
};

std::recursive_mutex g_lock;
std::vector<std::uint32_t> g_cameras;
std::map<std::uint32_t, std::string> g_names;
std::vector<Picture> g_pictures;
std::uint32_t g_nextId = 0x10001;
std::map<std::string, int> g_counts;
std::vector<Event*> g_registered;
std::uint32_t g_blockOffset = 0, g_blockTotal = 0, g_blockObject = 0;
std::atomic<int> g_cancelAfterBlocks{-1};
std::atomic<int> g_cancelFlag{0};
std::uint32_t g_lastCommandArg1 = 0;

void count(const char* name) { ++g_counts[name]; }

Picture* find(std::uint32_t id) {
    for (Picture& p : g_pictures)
        if (p.id == id) return &p;
    return nullptr;
}

bool cameraPresent(std::uint32_t n) {
    for (std::uint32_t c : g_cameras)
        if (c == n) return true;
    return false;
}

const std::uint8_t kDevice[16] = {0xFC, 0x91, 0xC3, 0xF8, 0x26, 0x42, 0x56, 0x46,
                                  0x93, 0xDA, 0xA0, 0x2C, 0xF7, 0x54, 0xA6, 0x60};
const std::uint8_t kObject[16] = {0x4A, 0x8B, 0x31, 0xAF, 0xF9, 0x4A, 0x50, 0x42,
                                  0x8D, 0x18, 0xC9, 0xCB, 0xF5, 0x19, 0x7B, 0xBA};
const std::uint8_t kImage[16] = {0x76, 0x00, 0x6B, 0x1C, 0x37, 0xFA, 0xC6, 0x48,
                                 0xBC, 0x4F, 0xF3, 0x22, 0x1A, 0x75, 0x84, 0xB6};
const std::uint8_t kDelete[16] = {0x79, 0x35, 0x1F, 0x6D, 0xE0, 0x33, 0x26, 0x4B,
                                  0x88, 0x41, 0x66, 0xE7, 0x8D, 0xE6, 0xEF, 0x9F};

}  // namespace

// --- controls for the tests ---

// The n-th preview read from now (1 the next) waits until the test lets it
// go: a thumbnail loader caught in the middle of its work.
namespace {
std::mutex g_gateLock;
std::condition_variable g_gateWake;
int g_holdAt = 0;
bool g_held = false;
bool g_released = false;
}  // namespace
FAKE_API void fake_holdPreview(int n) {
    std::lock_guard<std::mutex> l(g_gateLock);
    g_holdAt = n;
    g_held = g_released = false;
}
FAKE_API int fake_previewHeld() {
    std::lock_guard<std::mutex> l(g_gateLock);
    return g_held ? 1 : 0;
}
FAKE_API void fake_releasePreview() {
    std::lock_guard<std::mutex> l(g_gateLock);
    g_released = true;
    g_gateWake.notify_all();
}


FAKE_API void fake_reset() {
    std::lock_guard<std::recursive_mutex> l(g_lock);
    g_cameras.clear();
    g_names.clear();
    g_pictures.clear();
    g_counts.clear();
    g_registered.clear();
    g_blockOffset = g_blockTotal = g_blockObject = 0;
    g_cancelAfterBlocks = -1;
    g_lastCommandArg1 = 0;
    fake_holdPreview(0);
    fake_releasePreview();
}

FAKE_API void fake_addCamera(std::uint32_t number, const char* name) {
    std::lock_guard<std::recursive_mutex> l(g_lock);
    g_cameras.push_back(number);
    g_names[number] = name;
}

// A w x h picture whose pixel (x, y) is (x, y, seed) in RGB; with pad set,
// a comment segment brings the file to exactly `pad` bytes.
FAKE_API std::uint32_t fake_addPicture(int w, int h, int seed, std::uint32_t pad) {
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(w) * h * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint8_t* p = &rgb[(static_cast<std::size_t>(y) * w + x) * 3];
            p[0] = static_cast<std::uint8_t>(x * 255 / (w > 1 ? w - 1 : 1));
            p[1] = static_cast<std::uint8_t>(y * 255 / (h > 1 ? h - 1 : 1));
            p[2] = static_cast<std::uint8_t>(seed);
        }
    tjhandle tj = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long size = 0;
    tjCompress2(tj, rgb.data(), w, w * 3, h, TJPF_RGB, &out, &size, TJSAMP_444, 95, 0);
    std::vector<std::uint8_t> jpeg(out, out + size);
    tjFree(out);
    tjDestroy(tj);
    if (pad > jpeg.size() + 4) {
        std::uint32_t extra = pad - static_cast<std::uint32_t>(jpeg.size());  // marker + length + body
        std::uint16_t len = static_cast<std::uint16_t>(extra - 2);
        std::vector<std::uint8_t> com = {0xFF, 0xFE, static_cast<std::uint8_t>(len >> 8), static_cast<std::uint8_t>(len)};
        com.resize(extra, 0x20);
        jpeg.insert(jpeg.begin() + 2, com.begin(), com.end());
    }
    std::lock_guard<std::recursive_mutex> l(g_lock);
    Picture p{g_nextId++, w, h, std::move(jpeg)};
    g_pictures.push_back(std::move(p));
    return g_pictures.back().id;
}

FAKE_API std::uint32_t fake_pictureBytes(std::uint32_t id) {
    std::lock_guard<std::recursive_mutex> l(g_lock);
    Picture* p = find(id);
    return p ? static_cast<std::uint32_t>(p->jpeg.size()) : 0;
}

FAKE_API int fake_count(const char* name) {
    std::lock_guard<std::recursive_mutex> l(g_lock);
    return g_counts[name];
}

FAKE_API int fake_pictureCount() {
    std::lock_guard<std::recursive_mutex> l(g_lock);
    return static_cast<int>(g_pictures.size());
}

FAKE_API std::uint32_t fake_lastCommandArg1() { return g_lastCommandArg1; }

// After n more next-block reads, the library's caller finds a flag set (the
// test's "user pressed Cancel" arrives from there).
FAKE_API void fake_cancelAfterBlocks(int n) { g_cancelAfterBlocks = n; }
FAKE_API int fake_cancelDue() { return g_cancelFlag.load(); }

FAKE_API void fake_unplugAll() {
    std::lock_guard<std::recursive_mutex> l(g_lock);
    g_cameras.clear();
    for (Event* e : g_registered) e->signalled = true;
}

// --- the library's functions ---

FAKE_API std::uint32_t PAV_ignored() { return 0; }

FAKE_API void* PAV_CreateEvent(int manualReset, int initiallySignalled) {
    auto* e = new Event{manualReset != 0};
    e->signalled = initiallySignalled != 0;
    return e;
}
FAKE_API int PAV_SetEvent(void* e) {
    std::lock_guard<std::recursive_mutex> l(g_lock);
    static_cast<Event*>(e)->signalled = true;
    return 1;
}
FAKE_API int PAV_ResetEvent(void* e) {
    std::lock_guard<std::recursive_mutex> l(g_lock);
    static_cast<Event*>(e)->signalled = false;
    return 1;
}
FAKE_API std::uint32_t PAV_WaitForEvent(void* e, std::uint32_t) {
    std::lock_guard<std::recursive_mutex> l(g_lock);
    return static_cast<Event*>(e)->signalled ? 0u : 0x102u;
}
FAKE_API int PAV_CloseEvent(void* e) {
    std::lock_guard<std::recursive_mutex> l(g_lock);
    for (auto it = g_registered.begin(); it != g_registered.end();)
        it = *it == e ? g_registered.erase(it) : it + 1;
    delete static_cast<Event*>(e);
    return 1;
}

FAKE_API std::uint32_t PAVPI_HandleOpen(std::uint32_t camera, void** handle) {
    std::lock_guard<std::recursive_mutex> l(g_lock);
    count("PAVPI_HandleOpen");
    if (!cameraPresent(camera)) return 16;
    *handle = new std::uint32_t(camera);
    return 0;
}
FAKE_API std::uint32_t PAVPI_HandleClose(void** handle) {
    delete static_cast<std::uint32_t*>(*handle);
    *handle = nullptr;
    return 0;
}
FAKE_API std::uint32_t PAVPI_NotificationSet(void*, const void*, std::uint32_t, void* event) {
    std::lock_guard<std::recursive_mutex> l(g_lock);
    count("PAVPI_NotificationSet");
    g_registered.push_back(static_cast<Event*>(event));
    return 0;
}

FAKE_API std::uint32_t PACI_CameraEnum(std::uint32_t vid, std::uint32_t pid, std::uint32_t* numbers,
                                       std::uint32_t capacity, std::uint32_t* total) {
    std::lock_guard<std::recursive_mutex> l(g_lock);
    count("PACI_CameraEnum");
    if (vid != 0xF1A5 || pid != 0x0B2D) {
        *total = 0;
        return 0;
    }
    for (std::uint32_t i = 0; i < g_cameras.size() && i < capacity; ++i) numbers[i] = g_cameras[i];
    *total = static_cast<std::uint32_t>(g_cameras.size());
    return 0;
}
FAKE_API std::uint32_t PACI_HandleOpen(std::uint32_t camera, void** handle) {
    std::lock_guard<std::recursive_mutex> l(g_lock);
    count("PACI_HandleOpen");
    if (!cameraPresent(camera)) return 16;
    *handle = new std::uint32_t(camera);
    return 0;
}
FAKE_API std::uint32_t PACI_HandleClose(void** handle) {
    count("PACI_HandleClose");
    delete static_cast<std::uint32_t*>(*handle);
    *handle = nullptr;
    return 0;
}
FAKE_API std::uint32_t PACI_PropertyStreamRead(void* h, std::uint32_t id, void** out) {
    std::lock_guard<std::recursive_mutex> l(g_lock);
    count("PACI_PropertyStreamRead");
    auto* s = new Stream{id, {}};
    std::snprintf(s->deviceName, sizeof s->deviceName, "%s", g_names[*static_cast<std::uint32_t*>(h)].c_str());
    *out = s;
    return 0;
}
FAKE_API std::uint32_t PACI_PropertyStreamWrite(void* h, std::uint32_t id, void* stream) {
    std::lock_guard<std::recursive_mutex> l(g_lock);
    count("PACI_PropertyStreamWrite");
    if (id != 0xFFFFFFFF) return 2;
    g_names[*static_cast<std::uint32_t*>(h)] = static_cast<Stream*>(stream)->deviceName;
    return 0;
}
FAKE_API std::uint32_t PACI_PropertyStreamFree(void*, void* stream) {
    delete static_cast<Stream*>(stream);
    return 0;
}
FAKE_API std::uint32_t PACI_PropertyGet(void*, void* stream, const void* guid, std::uint32_t key,
                                        std::uint32_t length, void* out) {
    std::lock_guard<std::recursive_mutex> l(g_lock);
    auto* s = static_cast<Stream*>(stream);
    if (!std::memcmp(guid, kDevice, 16) && key == 3 && length == 32) {
        std::memcpy(out, s->deviceName, 32);
        return 0;
    }
    Picture* p = find(s->id);
    if (!p || length != 4) return 0x61;
    std::uint32_t v;
    if (!std::memcmp(guid, kObject, 16) && key == 3)
        v = static_cast<std::uint32_t>(p->jpeg.size());
    else if (!std::memcmp(guid, kImage, 16) && key == 1)
        v = static_cast<std::uint32_t>(p->width);
    else if (!std::memcmp(guid, kImage, 16) && key == 2)
        v = static_cast<std::uint32_t>(p->height);
    else
        return 0x61;
    std::memcpy(out, &v, 4);
    return 0;
}
FAKE_API std::uint32_t PACI_PropertySet(void*, void* stream, const void* guid, std::uint32_t key,
                                        std::uint32_t length, const void* in) {
    auto* s = static_cast<Stream*>(stream);
    if (std::memcmp(guid, kDevice, 16) || key != 3 || length > 32) return 0x61;
    std::memset(s->deviceName, 0, 32);
    std::memcpy(s->deviceName, in, length);
    s->deviceName[31] = 0;
    return 0;
}
FAKE_API std::uint32_t PACI_ObjectEnum(void*, std::uint32_t, std::uint32_t, std::uint32_t* ids,
                                       std::uint32_t capacity, std::uint32_t* total) {
    std::lock_guard<std::recursive_mutex> l(g_lock);
    count("PACI_ObjectEnum");
    if (ids)
        for (std::uint32_t i = 0; i < g_pictures.size() && i < capacity; ++i) ids[i] = g_pictures[i].id;
    *total = static_cast<std::uint32_t>(g_pictures.size());
    return 0;
}
FAKE_API std::uint32_t PACI_ReadPreview(void*, std::uint32_t id, void* buffer, std::uint32_t length) {
    {
        std::unique_lock<std::mutex> gate(g_gateLock);
        if (g_holdAt > 0 && --g_holdAt == 0) {
            g_held = true;
            g_gateWake.wait(gate, [] { return g_released; });
            g_held = false;
        }
    }
    std::lock_guard<std::recursive_mutex> l(g_lock);
    count("PACI_ReadPreview");
    Picture* p = find(id);
    if (!p) return 0x21;
    std::vector<std::uint8_t> block(14440, 0);
    std::uint32_t head[] = {40, 80, 60};
    std::memcpy(block.data(), head, sizeof head);
    std::uint16_t planes[] = {1, 24};
    std::memcpy(block.data() + 12, planes, sizeof planes);
    std::uint32_t image = 14400;
    std::memcpy(block.data() + 20, &image, 4);
    for (std::size_t i = 40; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(id + i);
    std::memcpy(buffer, block.data(), std::min<std::uint32_t>(length, 14440));
    return 0;
}
FAKE_API std::uint32_t PACI_ReadFirstBlock(void*, std::uint32_t id, void* buffer, std::uint32_t length,
                                           std::uint32_t* got) {
    std::lock_guard<std::recursive_mutex> l(g_lock);
    count("PACI_ReadFirstBlock");
    if (g_blockOffset) return 100;
    Picture* p = find(id);
    if (!p) return 0x21;
    std::uint32_t total = static_cast<std::uint32_t>(p->jpeg.size());
    std::uint32_t n = std::min(length, total);
    std::memcpy(buffer, p->jpeg.data(), n);
    *got = n;
    g_cancelFlag = 0;
    if (n < total) {
        g_blockOffset = n;
        g_blockTotal = total;
        g_blockObject = id;
        return 103;
    }
    return 0;
}
FAKE_API std::uint32_t PACI_ReadNextBlock(void*, void* buffer, std::uint32_t length, std::uint32_t* got,
                                          std::uint32_t* sofar) {
    std::lock_guard<std::recursive_mutex> l(g_lock);
    count("PACI_ReadNextBlock");
    if (!g_blockOffset || !g_blockTotal) return 101;
    Picture* p = find(g_blockObject);
    std::uint32_t n = std::min(length, g_blockTotal - g_blockOffset);
    std::memcpy(buffer, p->jpeg.data() + g_blockOffset, n);
    g_blockOffset += n;
    *got = n;
    *sofar = g_blockOffset;
    if (g_cancelAfterBlocks > 0 && --g_cancelAfterBlocks == 0) g_cancelFlag = 1;
    if (g_blockOffset == g_blockTotal) {
        g_blockOffset = g_blockTotal = 0;
        return 0;
    }
    return 103;
}
FAKE_API std::uint32_t PACI_CancelBlockTransfer(void*) {
    std::lock_guard<std::recursive_mutex> l(g_lock);
    count("PACI_CancelBlockTransfer");
    g_blockOffset = g_blockTotal = 0;
    return 0;
}
FAKE_API std::uint32_t PACI_Command(void*, const void* guid, std::uint32_t key, std::uint32_t arg1, std::uint32_t) {
    std::lock_guard<std::recursive_mutex> l(g_lock);
    count("PACI_Command");
    if (std::memcmp(guid, kDelete, 16) || key != 0) return 0x20;
    g_lastCommandArg1 = arg1;
    if (arg1 == 0xFFFFFFFF) g_pictures.clear();
    return 0;
}
