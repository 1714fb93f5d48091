#include "tests/sim/sim_test_util.h"

#include <cstring>
#include <stdexcept>

#include "platform/kernel/clock.h"
#include "sim/jpeg.h"

namespace simtest {

AsyncTransfer::AsyncTransfer() {
    transfer_.complete = &AsyncTransfer::onComplete;
    transfer_.context = this;
}

void AsyncTransfer::control(const std::uint8_t setup[8], std::size_t bufferLength) {
    transfer_.type = USB_ENDPOINT_TYPE_CONTROL;
    transfer_.endpoint = 0;
    std::memcpy(transfer_.setup, setup, 8);
    buffer_.assign(bufferLength, 0);
    transfer_.buffer = buffer_.empty() ? nullptr : buffer_.data();
    transfer_.length = static_cast<ULONG>(bufferLength);
}

void AsyncTransfer::bulk(std::uint8_t endpoint, std::size_t length) {
    transfer_.type = USB_ENDPOINT_TYPE_BULK;
    transfer_.endpoint = endpoint;
    buffer_.assign(length, 0);
    transfer_.buffer = buffer_.empty() ? nullptr : buffer_.data();
    transfer_.length = static_cast<ULONG>(length);
}

void AsyncTransfer::interrupt(std::size_t length) {
    transfer_.type = USB_ENDPOINT_TYPE_INTERRUPT;
    transfer_.endpoint = sim::kInterruptEndpoint;
    buffer_.assign(length, 0);
    transfer_.buffer = buffer_.data();
    transfer_.length = static_cast<ULONG>(length);
}

void AsyncTransfer::iso(ULONG packets, ULONG packetSize) {
    transfer_.type = USB_ENDPOINT_TYPE_ISOCHRONOUS;
    transfer_.endpoint = sim::kIsoEndpoint;
    buffer_.assign(static_cast<std::size_t>(packets) * packetSize, 0);
    packets_.assign(packets, USBD_ISO_PACKET_DESCRIPTOR{});
    for (ULONG i = 0; i < packets; ++i) packets_[i].Offset = i * packetSize;
    transfer_.buffer = buffer_.data();
    transfer_.length = static_cast<ULONG>(buffer_.size());
    transfer_.packetSize = packetSize;
    transfer_.numberOfPackets = packets;
    transfer_.isoPackets = packets_.data();
}

namespace {
// Set on the thread that is inside SimCamera::submit.
thread_local bool tSubmitting = false;
}  // namespace

USBD_STATUS AsyncTransfer::submit(sim::SimCamera& camera) {
    {
        std::lock_guard<std::mutex> g(lock_);
        done_ = false;
    }
    tSubmitting = true;
    USBD_STATUS s = camera.submit(&transfer_);
    tSubmitting = false;
    return s;
}

void AsyncTransfer::onComplete(usbbus::Transfer* transfer, void* context) {
    auto* self = static_cast<AsyncTransfer*>(context);
    (void)transfer;
    if (tSubmitting) self->insideSubmit_ = true;
    ++self->completions_;
    std::lock_guard<std::mutex> g(self->lock_);
    self->done_ = true;
    self->cv_.notify_all();
}

bool AsyncTransfer::wait(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lk(lock_);
    return cv_.wait_for(lk, timeout, [this] { return done_; });
}

bool AsyncTransfer::completed() const {
    std::lock_guard<std::mutex> g(lock_);
    return done_;
}

std::vector<std::uint8_t> AsyncTransfer::data() const {
    return std::vector<std::uint8_t>(buffer_.begin(), buffer_.begin() + transfer_.actualLength);
}

sim::Scenario quickScenario() {
    sim::Scenario s = sim::defaultScenario();
    s.name = "quick";
    s.defaultContent = false;
    s.timing.bootDelayMs = 20;
    s.timing.sensorReadyDelayMs = 5;
    s.timing.deleteMs = 40;
    s.timing.eraseMs = 80;
    s.timing.patchBootMs = 20;
    s.timing.reportDelayMs = 5;
    return s;
}

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

std::vector<std::uint8_t> jpeg(int w, int h, std::uint32_t seed) {
    auto rgb = sim::testPattern(w, h, seed);
    return sim::encodeJpeg(rgb.data(), w, h, 60);
}

sim::StoredObject object(std::uint32_t number, sim::ObjectKind kind) {
    sim::StoredObject o;
    o.number = number;
    o.kind = kind;
    o.directoryEntry[0] = static_cast<std::uint8_t>(kind);
    for (std::size_t i = 0; i < o.firstBlock.size(); ++i)
        o.firstBlock[i] = static_cast<std::uint8_t>(i * 7 + number);
    return o;
}

}  // namespace

sim::ObjectStore smallStore() {
    sim::ObjectStore store;
    sim::Memory& m = store.memory(0);

    sim::StoredObject pic = object(1, sim::ObjectKind::Picture);
    pic.picture = jpeg(96, 64, 1);
    put32(&pic.directoryEntry[69], static_cast<std::uint32_t>(pic.picture.size()));
    put16(&pic.directoryEntry[73], 96);
    put16(&pic.directoryEntry[75], 64);
    m.add(pic);

    sim::StoredObject thumb = object(2, sim::ObjectKind::PictureWithThumbnail);
    thumb.picture = jpeg(160, 120, 2);
    thumb.thumbnail.resize(40 * 30 * 3);
    for (std::size_t i = 0; i < thumb.thumbnail.size(); ++i)
        thumb.thumbnail[i] = static_cast<std::uint8_t>(i * 13);
    put32(&thumb.directoryEntry[52], static_cast<std::uint32_t>(thumb.thumbnail.size()));
    put16(&thumb.directoryEntry[56], 40);
    put16(&thumb.directoryEntry[58], 30);
    put32(&thumb.directoryEntry[69], static_cast<std::uint32_t>(thumb.picture.size()));
    m.add(thumb);

    sim::StoredObject sound = object(3, sim::ObjectKind::Sound);
    sound.sound.resize(1500);
    for (std::size_t i = 0; i < sound.sound.size(); ++i)
        sound.sound[i] = static_cast<std::uint8_t>(128 + i % 40);
    put32(&sound.directoryEntry[35], 1500);
    m.add(sound);

    for (int k = 0; k < 2; ++k) {
        auto kind = k == 0 ? sim::ObjectKind::Clip : sim::ObjectKind::ClipWithSound;
        sim::StoredObject clip = object(static_cast<std::uint32_t>(4 + k), kind);
        for (int f = 0; f < 3; ++f) {
            auto frame = jpeg(64, 48, static_cast<std::uint32_t>(10 + f));
            clip.frameLengths.push_back(frame.size());
            clip.clipVideo.insert(clip.clipVideo.end(), frame.begin(), frame.end());
        }
        put32(&clip.directoryEntry[18], static_cast<std::uint32_t>(clip.clipVideo.size()));
        put16(&clip.directoryEntry[26], 3);
        put16(&clip.directoryEntry[28], 30);
        if (kind == sim::ObjectKind::ClipWithSound) {
            clip.sound.assign(700, 0x80);
            put32(&clip.directoryEntry[35], 700);
        }
        m.add(clip);
    }
    return store;
}

ControlResult Host::control(std::uint8_t requestType, std::uint8_t request, std::uint16_t value,
                            std::uint16_t index, std::vector<std::uint8_t> data,
                            std::uint16_t length) {
    std::uint8_t setup[8] = {requestType,
                             request,
                             static_cast<std::uint8_t>(value & 0xFF),
                             static_cast<std::uint8_t>(value >> 8),
                             static_cast<std::uint8_t>(index & 0xFF),
                             static_cast<std::uint8_t>(index >> 8),
                             static_cast<std::uint8_t>(length & 0xFF),
                             static_cast<std::uint8_t>(length >> 8)};
    AsyncTransfer x;
    x.control(setup, length);
    if (!(requestType & 0x80) && !data.empty())
        std::memcpy(x.buffer().data(), data.data(), std::min<std::size_t>(data.size(), length));
    ControlResult r;
    r.status = x.submit(*camera_);
    if (r.status != USBD_STATUS_PENDING) return r;
    if (!x.wait()) throw std::runtime_error("control transfer did not complete");
    r.status = x.t().status;
    r.data = x.data();
    return r;
}

ControlResult Host::vendorIn(std::uint8_t request, std::uint16_t value, std::uint16_t length) {
    return control(0xC0, request, value, 0, {}, length);
}

ControlResult Host::vendorOut(std::uint8_t request, std::uint16_t value,
                              const std::vector<std::uint8_t>& data) {
    return control(0x40, request, value, 0, data, static_cast<std::uint16_t>(data.size()));
}

ControlResult Host::descriptor(std::uint8_t type, std::uint16_t length) {
    return control(0x80, 6, static_cast<std::uint16_t>(type << 8), 0, {}, length);
}

std::vector<std::uint8_t> Host::readRegisters(int space, int reg, int count) {
    ControlResult r = vendorIn(0x81, static_cast<std::uint16_t>((reg << 8) | space),
                               static_cast<std::uint16_t>(count));
    if (r.status != USBD_STATUS_SUCCESS) throw std::runtime_error("register read failed");
    return r.data;
}

USBD_STATUS Host::writeRegister(int space, int reg, std::uint8_t value) {
    return vendorOut(0x01, static_cast<std::uint16_t>((reg << 8) | space), {value}).status;
}

USBD_STATUS Host::writeTable(int space,
                             const std::vector<std::pair<std::uint8_t, std::uint8_t>>& pairs) {
    std::vector<std::uint8_t> data;
    for (auto [r, v] : pairs) {
        data.push_back(r);
        data.push_back(v);
    }
    return vendorOut(0x01, static_cast<std::uint16_t>(space | 8), data).status;
}

USBD_STATUS Host::select(int alternateSetting) {
    if (camera_->configuration() != 1) {
        USBD_STATUS s = camera_->setConfiguration(1);
        if (s != USBD_STATUS_SUCCESS) return s;
    }
    return camera_->setInterface(static_cast<UCHAR>(camera_->scenario().interfaceNumber),
                                 static_cast<UCHAR>(alternateSetting));
}

void Host::waitBooted() {
    for (int i = 0; i < 2000; ++i) {
        if (readRegister(0, 0) == sim::kBootedState) return;
        kclock::sleepMs(5);
    }
    throw std::runtime_error("camera did not boot");
}

void Host::startVideo(int width, int height) {
    waitBooted();
    if (writeRegister(3, 1, sim::kPowerVideo) != USBD_STATUS_SUCCESS)
        throw std::runtime_error("power mode");
    for (int i = 0; i < 200 && !(readRegister(2, 2) & sim::kSensorReadyBit); ++i)
        kclock::sleepMs(2);
    if (writeTable(1, {{0xE4, static_cast<std::uint8_t>(width / 4)},
                       {0xE5, static_cast<std::uint8_t>(height / 4)}}) != USBD_STATUS_SUCCESS)
        throw std::runtime_error("sensor table");
}

ControlResult Host::bulkIn(std::size_t length, std::chrono::milliseconds timeout) {
    AsyncTransfer x;
    x.bulk(sim::kBulkInEndpoint, length);
    ControlResult r;
    r.status = x.submit(*camera_);
    if (r.status != USBD_STATUS_PENDING) return r;
    if (!x.wait(timeout)) {
        camera_->cancel(&x.t());
        if (!x.wait()) throw std::runtime_error("cancelled bulk transfer did not complete");
        r.status = x.t().status;
        return r;
    }
    r.status = x.t().status;
    r.data = x.data();
    return r;
}

USBD_STATUS Host::bulkOut(const std::vector<std::uint8_t>& data) {
    AsyncTransfer x;
    x.bulk(sim::kBulkOutEndpoint, data.size());
    if (!data.empty()) std::memcpy(x.buffer().data(), data.data(), data.size());
    USBD_STATUS s = x.submit(*camera_);
    if (s != USBD_STATUS_PENDING) return s;
    if (!x.wait()) throw std::runtime_error("bulk-out transfer did not complete");
    return x.t().status;
}

ControlResult Host::interrupt(std::chrono::milliseconds timeout) {
    AsyncTransfer x;
    x.interrupt(8);
    ControlResult r;
    r.status = x.submit(*camera_);
    if (r.status != USBD_STATUS_PENDING) return r;
    if (!x.wait(timeout)) {
        camera_->cancel(&x.t());
        x.wait();
        r.status = x.t().status;
        return r;
    }
    r.status = x.t().status;
    r.data = x.data();
    return r;
}

ControlResult Host::memoryCommand(std::uint8_t request, int memory, std::uint8_t item,
                                  const std::vector<std::uint8_t>& data) {
    return vendorOut(request, static_cast<std::uint16_t>((memory << 8) | item), data);
}

std::vector<std::uint8_t> Host::memoryResult(int memory) {
    ControlResult r = vendorIn(0x86, static_cast<std::uint16_t>(memory << 8), 2);
    if (r.status != USBD_STATUS_SUCCESS || r.data.size() != 2)
        throw std::runtime_error("memory result");
    return r.data;
}

std::vector<std::uint8_t> be32(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
            static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}

std::uint32_t readBe32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           p[3];
}

}  // namespace simtest
