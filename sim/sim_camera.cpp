#include "sim/sim_camera.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "platform/kernel/clock.h"
#include "platform/kernel/timer.h"
#include "sim/descriptors.h"

namespace sim {
namespace {

constexpr LONGLONG kFrame100ns = 10000;  // 1 ms
constexpr ULONG kUnlimited = std::numeric_limits<ULONG>::max();
constexpr ULONG kMaxCatchUpFrames = 2000;  // frames worked off before the lock is let go
// How long the unthrottled camera looks for the next submission before it
// sleeps, after a pass that completed transfers.
constexpr std::chrono::microseconds kLookForMore{100};
constexpr ULONG kBulkFrameBytes = kBulkPacketsPerFrame * kBulkPacketSize;
constexpr USBD_STATUS kFailedTransferStatus = USBD_STATUS_DEV_NOT_RESPONDING;
constexpr USBD_STATUS kFailedPacketStatus = USBD_STATUS_CRC;

enum StandardRequest : UCHAR {
    kGetStatus = 0,
    kClearFeature = 1,
    kSetFeature = 3,
    kGetDescriptor = 6,
    kGetConfiguration = 8,
    kSetConfiguration = 9,
    kGetInterface = 10,
    kSetInterface = 11,
};

ObjectStore buildStore(const Scenario& s, std::vector<std::string>* problems) {
    ObjectStore store = s.defaultContent ? ObjectStore::defaultContent() : ObjectStore();
    // A scenario built in code has not been through the file checks: what
    // cannot be made is reported, never thrown at the bus.
    for (const auto& [memory, capacity] : s.memoryCapacities) {
        try {
            Memory resized(memory, capacity);
            for (const StoredObject& o : store.memory(memory).objects()) resized.add(o);
            store.memory(memory) = std::move(resized);
        } catch (const std::exception& e) {
            problems->push_back("memoryCapacities." + std::to_string(memory) + ": " + e.what());
        }
    }
    for (std::size_t i = 0; i < s.objects.size(); ++i) {
        const PlacedObject& o = s.objects[i];
        try {
            store.memory(o.memory).add(o.recipe);
        } catch (const std::exception& e) {
            std::string name =
                "objects[" + std::to_string(i) + "] (memory " + std::to_string(o.memory);
            if (o.recipe.number) name += ", number " + std::to_string(o.recipe.number);
            problems->push_back(name + "): " + e.what());
        }
    }
    if (s.currentMemory >= 0 && s.currentMemory < kMemoryCount)
        store.setCurrentMemory(s.currentMemory);
    else
        problems->push_back("currentMemory: no memory " + std::to_string(s.currentMemory));
    return store;
}

}  // namespace

SimCamera::SimCamera(const Scenario& scenario) : scenario_(scenario) {
    ObjectStore store = buildStore(scenario_, &contentProblems_);
    firmware_ = std::make_unique<Firmware>(scenario_, &faults_, std::move(store));
    start();
}

SimCamera::SimCamera(const Scenario& scenario, ObjectStore store) : scenario_(scenario) {
    firmware_ = std::make_unique<Firmware>(scenario_, &faults_, std::move(store));
    start();
}

void SimCamera::start() {
    faults_ = scenario_.faults;
    halted_.insert(faults_.stalledEndpoints.begin(), faults_.stalledEndpoints.end());
    epoch_ = kclock::now();
    powerOn();
    video_.queueFrames(scenario_.videoScript);
    if (scenario_.timing.videoPauseMs > 0)
        video_.pauseOnce(static_cast<std::uint64_t>(scenario_.timing.videoPauseAfterFrames),
                         static_cast<LONGLONG>(scenario_.timing.videoPauseMs) * 10000);
    thread_ = std::thread([this] { run(); });
}

SimCamera::~SimCamera() {
    {
        std::lock_guard<std::mutex> g(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (std::this_thread::get_id() == thread_.get_id()) {
        // Destroyed by a completion routine or the sink on the camera's own
        // thread: that thread must not be joined, and leaves on its own.
        *alive_ = false;
        thread_.detach();
    } else {
        thread_.join();
    }
    std::vector<usbbus::Transfer*> done;
    {
        std::lock_guard<std::mutex> g(lock_);
        completeAll(USBD_STATUS_DEVICE_GONE);
        done.swap(done_);
    }
    for (usbbus::Transfer* t : done) t->complete(t, t->context);
}

void SimCamera::powerOn() {
    firmware_->powerOn(kclock::now());
    video_.configure(0, 0, 0);
    lastInterruptFrame_ = 0;
}

// ---------------------------------------------------------------------------
// Frames and the camera's thread

LONGLONG SimCamera::frameStart(ULONG frame) const {
    return epoch_ + static_cast<LONGLONG>(frame) * kFrame100ns;
}

ULONG SimCamera::frameAt(LONGLONG now) const {
    return now <= epoch_ ? 0 : static_cast<ULONG>((now - epoch_) / kFrame100ns);
}

ULONG SimCamera::currentFrame() {
    return frameAt(kclock::now());
}

bool SimCamera::needsFrames() const {
    if (!control_.empty() || !iso_.empty() || !bulkOut_.empty()) return true;
    if (!bulkIn_.empty()) {
        if (firmware_->bulkInReady(kclock::now()) || halted_.count(kBulkInEndpoint)) return true;
        if (faults_.failedTransfers > 0) return true;
        int w = 0, h = 0;
        if (alternate_ == 1 && firmware_->videoSize(kclock::now(), &w, &h)) return true;
    }
    if (!interrupt_.empty()) {
        if (firmware_->interruptDue(kclock::now()) || halted_.count(kInterruptEndpoint))
            return true;
        if (faults_.failedTransfers > 0) return true;
    }
    return false;
}

void SimCamera::run() {
    std::shared_ptr<std::atomic<bool>> alive = alive_;
    std::shared_ptr<std::recursive_mutex> sinkLock = sinkLock_;
    std::unique_lock<std::mutex> lk(lock_);
    bool busyPass = false;
    while (!stopping_) {
        LONGLONG now = kclock::now();
        ULONG frameNow = frameAt(now);
        if (connected_) {
            // Nothing moves while nothing waits: an idle bus skips its frames.
            if (!needsFrames()) lastFrame_ = frameNow;
            ULONG steps = 0;
            while (connected_ && lastFrame_ != frameNow && steps++ < kMaxCatchUpFrames) {
                ++lastFrame_;
                processFrame(lastFrame_, frameStart(lastFrame_));
            }
            if (connected_ &&
                (!scenario_.timing.throttled || scenario_.timing.controlLatencyFrames == 0))
                processControl(frameNow, now, true);
            if (connected_ && !scenario_.timing.throttled) processBulk(frameNow, now, kUnlimited);
        } else {
            lastFrame_ = frameNow;
        }
        if (!done_.empty() || goneNotice_) {
            std::vector<usbbus::Transfer*> done;
            done.swap(done_);
            bool notice = goneNotice_;
            goneNotice_ = false;
            std::pair<int, int> prepare = prepareSize_;
            prepareSize_ = {0, 0};
            lk.unlock();
            if (prepare.first) {
                // The sensor tables set a size: its frames are made before
                // the write that set it completes, so that video is there as
                // soon as the camera says it is ready, however fast the
                // clock runs and whether or not another camera made them.
                auto frames = FrameCache::get(prepare.first, prepare.second);
                lk.lock();
                video_.offer(std::move(frames), prepare.first, prepare.second);
                offeredSize_ = prepare;
                lk.unlock();
            }
            // A completion routine or the sink may destroy the camera; the
            // transfers taken out are completed all the same.
            for (usbbus::Transfer* t : done) t->complete(t, t->context);
            if (!*alive) return;
            // As a host controller's interrupt does, the wake-up that
            // brought the completions also takes the timers due by now.
            ktimer::expireDueTimers();
            if (!*alive) return;
            if (notice) {
                std::lock_guard<std::recursive_mutex> g(*sinkLock);
                if (sink_) sink_->deviceGone();
                if (!*alive) return;
            }
            lk.lock();
            busyPass = true;
            continue;
        }
        bool busy = connected_ && needsFrames();
        if (busy && lastFrame_ != frameAt(kclock::now())) continue;  // still behind
        LONGLONG wakeAt = LLONG_MAX;
        if (busy) wakeAt = frameStart(lastFrame_ + 1);
        if (connected_ && !interrupt_.empty()) wakeAt = std::min(wakeAt, firmware_->nextEvent());
        if (connected_ && !bulkIn_.empty())
            wakeAt = std::min(wakeAt, firmware_->nextBulkEvent(kclock::now()));
        if (wakeAt == LLONG_MAX && busyPass && !scenario_.timing.throttled) {
            // Unthrottled, the camera answers as a device does, without a
            // thread's wake-up between a host's requests: after a pass that
            // completed transfers it looks a moment for the next submission
            // before it sleeps.
            busyPass = false;
            const std::uint64_t seen = submissions_.load(std::memory_order_acquire);
            lk.unlock();
            const auto until = std::chrono::steady_clock::now() + kLookForMore;
            while (submissions_.load(std::memory_order_acquire) == seen &&
                   std::chrono::steady_clock::now() < until)
                std::this_thread::yield();
            lk.lock();
            continue;
        }
        if (wakeAt == LLONG_MAX)
            wake_.wait(lk);
        else
            wake_.wait_until(lk, kclock::realAt(wakeAt));
    }
}

void SimCamera::processFrame(ULONG frame, LONGLONG now) {
    processControl(frame, now, false);
    if (!connected_) return;
    processIso(frame, now);
    if (!connected_) return;
    processInterrupt(frame, now);
    if (!connected_) return;
    ULONG budget = kBulkPacketsPerFrame;
    if (alternate_ >= 2 && !iso_.empty()) {
        // Isochronous bandwidth is reserved first; bulk gets what is left.
        ULONG iso = kIsoPacketSizes[alternate_];
        budget = std::max<ULONG>(
            3, (kBulkFrameBytes > iso ? kBulkFrameBytes - iso : 0) / kBulkPacketSize);
    }
    processBulk(frame, now, scenario_.timing.throttled ? budget : kUnlimited);
}

// ---------------------------------------------------------------------------
// Submission and cancellation

void SimCamera::queueVideoPackets(std::vector<VideoPacket> packets) {
    std::lock_guard<std::mutex> g(lock_);
    video_.queuePackets(std::move(packets));
    wake_.notify_all();
}

void SimCamera::queueVideoFrames(std::vector<ScriptedFrame> frames) {
    std::lock_guard<std::mutex> g(lock_);
    video_.queueFrames(std::move(frames));
    wake_.notify_all();
}

void SimCamera::pauseVideo(int ms) {
    std::lock_guard<std::mutex> g(lock_);
    video_.pauseUntil(kclock::now() + static_cast<LONGLONG>(ms) * 10000);
    wake_.notify_all();
}

std::size_t SimCamera::scriptedVideoLeft() const {
    std::lock_guard<std::mutex> g(lock_);
    return video_.scriptedLeft();
}

std::uint64_t SimCamera::scriptedPacketsSent() const {
    std::lock_guard<std::mutex> g(lock_);
    return video_.scriptedPacketsSent();
}

SimCamera::Queue* SimCamera::queueFor(UCHAR endpoint) {
    switch (endpoint) {
        case kIsoEndpoint:
            return &iso_;
        case kBulkInEndpoint:
            return &bulkIn_;
        case kBulkOutEndpoint:
            return &bulkOut_;
        case kInterruptEndpoint:
            return &interrupt_;
        default:
            return nullptr;
    }
}

bool SimCamera::endpointActive(UCHAR endpoint, UCHAR* type) const {
    if (configuration_ == 0) return false;
    for (const EndpointInfo& e : cameraEndpoints(alternate_)) {
        if (e.address == endpoint) {
            *type = e.type;
            return true;
        }
    }
    return false;
}

USBD_STATUS SimCamera::submit(usbbus::Transfer* t) {
    if (!t || !t->complete) return USBD_STATUS_INVALID_PARAMETER;
    std::unique_lock<std::mutex> g(lock_);
    if (!connected_) return USBD_STATUS_DEVICE_GONE;
    if (t->length && !t->buffer) return USBD_STATUS_INVALID_PARAMETER;
    Pending p;
    p.transfer = t;
    p.submitFrame = frameAt(kclock::now());
    Queue* q = &control_;
    if (t->type != USB_ENDPOINT_TYPE_CONTROL) {
        UCHAR type = 0;
        if (!endpointActive(t->endpoint, &type)) return USBD_STATUS_INVALID_PIPE_HANDLE;
        if (type != t->type) return USBD_STATUS_INVALID_PARAMETER;
        if (type == USB_ENDPOINT_TYPE_ISOCHRONOUS) {
            if (t->numberOfPackets == 0 || t->numberOfPackets > 255 || !t->isoPackets ||
                t->packetSize == 0)
                return USBD_STATUS_INVALID_PARAMETER;
            for (ULONG i = 0; i < t->numberOfPackets; ++i) {
                t->isoPackets[i].Length = 0;
                t->isoPackets[i].Status = USBD_STATUS_PENDING;
            }
        }
        q = queueFor(t->endpoint);
    }
    t->actualLength = 0;
    t->errorCount = 0;
    t->status = USBD_STATUS_PENDING;
    q->push_back(p);
    submissions_.fetch_add(1, std::memory_order_release);
    // Woken after the lock is let go, so the camera's thread does not wake
    // only to wait for the lock this thread still holds.
    g.unlock();
    wake_.notify_all();
    return USBD_STATUS_PENDING;
}

void SimCamera::cancel(usbbus::Transfer* t) {
    std::lock_guard<std::mutex> g(lock_);
    for (Queue* q : {&control_, &iso_, &bulkIn_, &bulkOut_, &interrupt_}) {
        auto it =
            std::find_if(q->begin(), q->end(), [t](const Pending& p) { return p.transfer == t; });
        if (it == q->end()) continue;
        Pending p = *it;
        q->erase(it);
        Queue one{p};
        complete(one, USBD_STATUS_CANCELED);
        wake_.notify_all();
        return;
    }
}

void SimCamera::complete(Queue& q, USBD_STATUS status) {
    for (Pending& p : q) {
        usbbus::Transfer* t = p.transfer;
        if (t->type == USB_ENDPOINT_TYPE_ISOCHRONOUS && t->isoPackets) {
            for (ULONG i = p.packetsDone; i < t->numberOfPackets; ++i) {
                t->isoPackets[i].Length = 0;
                t->isoPackets[i].Status = status;
            }
        }
        t->status = status;
        done_.push_back(t);
    }
    q.clear();
}

void SimCamera::completeAll(USBD_STATUS status) {
    for (Queue* q : {&control_, &iso_, &bulkIn_, &bulkOut_, &interrupt_}) complete(*q, status);
}

// ---------------------------------------------------------------------------
// Device state

USBD_STATUS SimCamera::setConfiguration(UCHAR value) {
    std::lock_guard<std::mutex> g(lock_);
    return setConfigurationLocked(value);
}

USBD_STATUS SimCamera::setConfigurationLocked(UCHAR value) {
    if (!connected_) return USBD_STATUS_DEVICE_GONE;
    if (value > 1) return USBD_STATUS_STALL_PID;
    for (Queue* q : {&iso_, &bulkIn_, &bulkOut_, &interrupt_}) complete(*q, USBD_STATUS_CANCELED);
    configuration_ = value;
    alternate_ = 0;
    firmware_->bulkIn().clear();
    video_.configure(0, 0, 0);
    wake_.notify_all();
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS SimCamera::setInterface(UCHAR interfaceNumber, UCHAR alternateSetting) {
    std::lock_guard<std::mutex> g(lock_);
    return setInterfaceLocked(interfaceNumber, alternateSetting);
}

USBD_STATUS SimCamera::setInterfaceLocked(UCHAR interfaceNumber, UCHAR alternateSetting) {
    if (!connected_) return USBD_STATUS_DEVICE_GONE;
    if (configuration_ == 0) return USBD_STATUS_STALL_PID;
    if (interfaceNumber != scenario_.interfaceNumber) {
        bool other = interfaceNumber >= 4 && interfaceNumber < 4 + scenario_.precedingInterfaces;
        return other && alternateSetting == 0 ? USBD_STATUS_SUCCESS : USBD_STATUS_INVALID_PARAMETER;
    }
    if (alternateSetting >= kAlternateSettings ||
        alternateSetting == faults_.descriptor.missingAlternate)
        return USBD_STATUS_INVALID_PARAMETER;
    bool refused = std::find(faults_.refusedAlternates.begin(), faults_.refusedAlternates.end(),
                             alternateSetting) != faults_.refusedAlternates.end();
    if (alternateSetting > scenario_.maxAlternate || refused) return USBD_STATUS_NO_BANDWIDTH;
    for (Queue* q : {&iso_, &bulkIn_, &bulkOut_, &interrupt_}) complete(*q, USBD_STATUS_CANCELED);
    alternate_ = alternateSetting;
    firmware_->bulkIn().clear();
    video_.configure(0, 0, 0);  // a frame in progress is lost with the old setting
    wake_.notify_all();
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS SimCamera::clearHalt(UCHAR endpoint) {
    std::lock_guard<std::mutex> g(lock_);
    if (!connected_) return USBD_STATUS_DEVICE_GONE;
    halted_.erase(endpoint);
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS SimCamera::resetPort() {
    std::lock_guard<std::mutex> g(lock_);
    if (!connected_) return USBD_STATUS_DEVICE_GONE;
    completeAll(USBD_STATUS_CANCELED);
    configuration_ = 0;
    alternate_ = 0;
    halted_.clear();
    firmware_->bulkIn().clear();
    video_.configure(0, 0, 0);
    wake_.notify_all();
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS SimCamera::cyclePort() {
    std::lock_guard<std::mutex> g(lock_);
    if (!connected_) return USBD_STATUS_DEVICE_GONE;
    // The bus itself tells its listener that the device left; only the
    // transfers in flight are ours to end.
    connected_ = false;
    completeAll(USBD_STATUS_DEVICE_GONE);
    configuration_ = 0;
    alternate_ = 0;
    wake_.notify_all();
    return USBD_STATUS_SUCCESS;
}

bool SimCamera::reenumerate() {
    std::lock_guard<std::mutex> g(lock_);
    if (removed_ || faults_.noReturnAfterCycle) return false;
    completeAll(USBD_STATUS_DEVICE_GONE);
    connected_ = true;
    configuration_ = 0;
    alternate_ = 0;
    halted_.clear();
    powerOn();
    wake_.notify_all();
    return true;
}

void SimCamera::attach(Sink* sink) {
    std::lock_guard<std::recursive_mutex> g(*sinkLock_);
    sink_ = sink;
}

void SimCamera::leave(bool surprise) {
    if (!connected_ && !surprise) return;
    connected_ = false;
    completeAll(USBD_STATUS_DEVICE_GONE);
    configuration_ = 0;
    alternate_ = 0;
    if (surprise && !removed_) {
        removed_ = true;
        goneNotice_ = true;
    }
    wake_.notify_all();
}

void SimCamera::unplug() {
    std::lock_guard<std::mutex> g(lock_);
    if (removed_) return;
    leave(true);
}

// ---------------------------------------------------------------------------
// Control transfers

void SimCamera::processControl(ULONG frame, LONGLONG now, bool immediate) {
    const ULONG latency = static_cast<ULONG>(scenario_.timing.controlLatencyFrames);
    while (connected_ && !control_.empty()) {
        Pending& p = control_.front();
        if (!immediate && frame < p.submitFrame + latency) break;
        Pending taken = p;
        control_.pop_front();
        executeControl(taken, now);
    }
}

int SimCamera::shortReadLimit(int request) const {
    int limit = INT_MAX;
    for (const ShortRead& s : faults_.shortControlReads)
        if (s.request == -1 || s.request == request) limit = std::min(limit, s.length);
    return limit;
}

bool SimCamera::takeFailedRequest(UCHAR request, USHORT value, USHORT index) {
    for (FailedRequest& f : faults_.failedRequests) {
        if (f.count <= 0 || f.request != request) continue;
        if ((f.value >= 0 && f.value != value) || (f.index >= 0 && f.index != index)) continue;
        --f.count;
        return true;
    }
    return false;
}

void SimCamera::logRequest(VendorRequestRecord record) {
    requestLogBytes_ += record.data.size();
    requestLog_.push_back(std::move(record));
    while (requestLog_.size() > kMaxRequestLogEntries || requestLogBytes_ > kMaxRequestLogBytes) {
        requestLogBytes_ -= requestLog_.front().data.size();
        requestLog_.pop_front();
    }
}

void SimCamera::executeControl(Pending& p, LONGLONG now) {
    usbbus::Transfer* t = p.transfer;
    const UCHAR* s = t->setup;
    const bool in = (s[0] & 0x80) != 0;
    const int kind = (s[0] >> 5) & 3;
    const UCHAR request = s[1];
    const USHORT value = static_cast<USHORT>(s[2] | (s[3] << 8));
    const USHORT index = static_cast<USHORT>(s[4] | (s[5] << 8));
    const USHORT wLength = static_cast<USHORT>(s[6] | (s[7] << 8));
    const ULONG length = std::min<ULONG>(wLength, t->length);
    ULONG moved = 0;
    USBD_STATUS status = USBD_STATUS_STALL_PID;
    if (kind == 0) {
        status = standardRequest(s, t->buffer, length, &moved);
    } else if (kind == 2) {
        VendorRequestRecord record{s[0], request, value, index, in, wLength, {}, status};
        if (!in && length) record.data.assign(t->buffer, t->buffer + length);
        if (!takeFailedRequest(request, value, index))
            status = firmware_->vendorRequest(now, in, request, value, t->buffer, length, &moved);
        record.status = status;
        logRequest(std::move(record));
        int w = 0, h = 0;
        if (request == kReqWriteRegisters && status == USBD_STATUS_SUCCESS &&
            firmware_->programmedSize(&w, &h) && std::make_pair(w, h) != offeredSize_)
            prepareSize_ = {w, h};
    }
    if (in && status == USBD_STATUS_SUCCESS)
        moved = std::min<ULONG>(moved, static_cast<ULONG>(shortReadLimit(request)));
    if (status != USBD_STATUS_SUCCESS) moved = 0;
    if (status == USBD_STATUS_SUCCESS && in && moved < length && !t->shortOk)
        status = USBD_STATUS_DATA_UNDERRUN;
    t->actualLength = moved;
    ++counters_.controlTransfers;
    Queue one{p};
    complete(one, status);
}

USBD_STATUS SimCamera::standardRequest(const UCHAR* s, UCHAR* data, ULONG length, ULONG* moved) {
    const bool in = (s[0] & 0x80) != 0;
    const int recipient = s[0] & 0x1F;
    const USHORT value = static_cast<USHORT>(s[2] | (s[3] << 8));
    const USHORT index = static_cast<USHORT>(s[4] | (s[5] << 8));
    auto reply = [&](const std::vector<UCHAR>& bytes) {
        *moved = static_cast<ULONG>(std::min<std::size_t>(bytes.size(), length));
        if (*moved) std::memcpy(data, bytes.data(), *moved);
        return USBD_STATUS_SUCCESS;
    };
    switch (s[1]) {
        case kGetDescriptor: {
            if (!in) return USBD_STATUS_STALL_PID;
            int type = value >> 8, descriptorIndex = value & 0xFF;
            if (type == USB_DEVICE_DESCRIPTOR_TYPE && descriptorIndex == 0)
                return reply(deviceDescriptor(firmware_->firmwareLevel()));
            if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && descriptorIndex == 0)
                return reply(configurationDescriptor(
                    scenario_.interfaceNumber, scenario_.precedingInterfaces, faults_.descriptor));
            return USBD_STATUS_STALL_PID;
        }
        case kGetStatus: {
            if (!in) return USBD_STATUS_STALL_PID;
            UCHAR bit = (recipient == 2 && halted_.count(static_cast<UCHAR>(index))) ? 1 : 0;
            return reply({bit, 0});
        }
        case kGetConfiguration:
            if (!in) return USBD_STATUS_STALL_PID;
            return reply({static_cast<UCHAR>(configuration_)});
        case kGetInterface:
            if (!in || configuration_ == 0 || index != scenario_.interfaceNumber)
                return USBD_STATUS_STALL_PID;
            return reply({static_cast<UCHAR>(alternate_)});
        case kSetConfiguration:
            return in ? USBD_STATUS_STALL_PID : setConfigurationLocked(static_cast<UCHAR>(value));
        case kSetInterface:
            return in ? USBD_STATUS_STALL_PID
                      : setInterfaceLocked(static_cast<UCHAR>(index), static_cast<UCHAR>(value));
        case kClearFeature:
        case kSetFeature:
            if (in) return USBD_STATUS_STALL_PID;
            if (recipient == 2 && value == 0) {  // ENDPOINT_HALT
                if (s[1] == kClearFeature)
                    halted_.erase(static_cast<UCHAR>(index));
                else
                    halted_.insert(static_cast<UCHAR>(index));
            }
            return USBD_STATUS_SUCCESS;
        default:
            return USBD_STATUS_STALL_PID;
    }
}

// ---------------------------------------------------------------------------
// Data transfers

bool SimCamera::burstApplies(UCHAR endpoint) const {
    return faults_.failedTransfers > 0 &&
           (faults_.failedTransfersEndpoint == 0 || faults_.failedTransfersEndpoint == endpoint);
}

void SimCamera::beginTransfer(Pending& p) {
    p.started = true;
    ++transfersStarted_;
    if (burstApplies(p.transfer->endpoint)) {
        --faults_.failedTransfers;
        p.failing = true;
    }
    if (faults_.removeDuringTransfer > 0 && transfersStarted_ >= faults_.removeDuringTransfer) {
        faults_.removeDuringTransfer = 0;
        removeAfterFrame_ = true;
    }
}

void SimCamera::finishFront(Queue& q, USBD_STATUS status) {
    Queue one{q.front()};
    q.pop_front();
    complete(one, status);
}

bool SimCamera::transferModeAllows() const {
    if (!scenario_.honoursTransferMode) return true;
    const std::uint8_t mode = firmware_->registerValue(3, 0x21);
    return alternate_ == 1 ? (mode & 6) == 6 : (mode & 5) == 5;
}

void SimCamera::updateVideo(LONGLONG now) {
    int w = 0, h = 0;
    if (alternate_ >= 1 && transferModeAllows() && firmware_->videoSize(now, &w, &h))
        video_.configure(w, h, static_cast<LONGLONG>(scenario_.timing.frameIntervalMs) * 10000);
    else
        video_.configure(0, 0, 0);
}

void SimCamera::processIso(ULONG frame, LONGLONG now) {
    if (iso_.empty() || iso_.front().submitFrame >= frame) return;
    if (halted_.count(kIsoEndpoint)) {
        complete(iso_, USBD_STATUS_STALL_PID);
        return;
    }
    Pending& p = iso_.front();
    usbbus::Transfer* t = p.transfer;
    if (!p.started) {
        beginTransfer(p);
        t->startFrame = frame;
    }
    USBD_ISO_PACKET_DESCRIPTOR& packet = t->isoPackets[p.packetsDone];
    // The camera sends packets of up to its endpoint's size, whatever room
    // the host left for them: one that does not fit overflows, as on a real
    // bus, and its data is lost.
    const ULONG packetMax = kIsoPacketSizes[alternate_];
    ULONG size = std::min<ULONG>(t->packetSize, packetMax);
    ULONG room = packet.Offset < t->length ? std::min(size, t->length - packet.Offset) : 0;
    const ULONG payloadMax = packetMax > 2 ? packetMax - 2 : 0;
    packet.Length = 0;
    packet.Status = USBD_STATUS_SUCCESS;
    ++isoPacketCount_;
    ++counters_.isoPackets;
    updateVideo(now);
    if (p.failing || faults_.isoFailedPackets > 0) {
        if (!p.failing) --faults_.isoFailedPackets;
        packet.Status = p.failing ? kFailedTransferStatus : kFailedPacketStatus;
        video_.skip(now, payloadMax);
    } else if (faults_.isoDropEvery > 0 && isoPacketCount_ % faults_.isoDropEvery == 0) {
        packet.Status = USBD_STATUS_ISO_NOT_ACCESSED_BY_HW;
        video_.skip(now, payloadMax);
    } else if (faults_.isoEmptyEvery > 0 && isoPacketCount_ % faults_.isoEmptyEvery == 0) {
        // An empty packet: the camera had nothing ready; nothing is lost.
    } else if (const VideoPacket* sp =
                   payloadMax > 0 ? video_.scripted(now, payloadMax) : nullptr) {
        // A scripted packet goes out as it is, cut to the packet size.
        const ULONG trailer = sp->checksum == PacketChecksum::None ? 0 : 2;
        const ULONG n = std::min<ULONG>(static_cast<ULONG>(sp->bytes.size()), packetMax - trailer);
        if (n + trailer > room) {
            packet.Status = USBD_STATUS_BUFFER_OVERRUN;
        } else if (n + trailer > 0) {
            UCHAR* out = t->buffer + packet.Offset;
            if (n) std::memcpy(out, sp->bytes.data(), n);
            if (trailer) {
                std::uint16_t sum = sp->checksum == PacketChecksum::Good ? packetChecksum(out, n)
                                                                         : wrongChecksum(out, n);
                out[n] = static_cast<UCHAR>(sum & 0xFF);
                out[n + 1] = static_cast<UCHAR>(sum >> 8);
            }
            packet.Length = n + trailer;
            ++counters_.isoDataPackets;
        }
        video_.popScripted();
    } else if (payloadMax > 0) {
        scratch_.resize(packetMax);
        UCHAR* out = scratch_.data();
        bool frameEnd = false;
        std::size_t n = video_.next(now, out, payloadMax, &frameEnd);
        if (n > 0 && n + 2 > room) {
            packet.Status = USBD_STATUS_BUFFER_OVERRUN;
        } else if (n > 0) {
            out = t->buffer + packet.Offset;
            std::memcpy(out, scratch_.data(), n);
            std::uint16_t sum = packetChecksum(out, n);
            ++videoPacketCount_;
            if (faults_.isoBadChecksumEvery > 0 &&
                videoPacketCount_ % faults_.isoBadChecksumEvery == 0)
                sum = wrongChecksum(out, n);
            out[n] = static_cast<UCHAR>(sum & 0xFF);
            out[n + 1] = static_cast<UCHAR>(sum >> 8);
            packet.Length = static_cast<ULONG>(n + 2);
            ++counters_.isoDataPackets;
        }
    }
    if (packet.Status != USBD_STATUS_SUCCESS) ++t->errorCount;
    t->actualLength += packet.Length;
    ++p.packetsDone;
    counters_.framesStarted = video_.framesStarted();
    counters_.framesCompleted = video_.framesCompleted();
    if (p.packetsDone == t->numberOfPackets)
        finishFront(iso_, t->errorCount == t->numberOfPackets ? USBD_STATUS_ISOCH_REQUEST_FAILED
                                                              : USBD_STATUS_SUCCESS);
    if (removeAfterFrame_) {
        removeAfterFrame_ = false;
        leave(true);
    }
}

void SimCamera::processInterrupt(ULONG frame, LONGLONG now) {
    if (interrupt_.empty() || interrupt_.front().submitFrame >= frame) return;
    if (halted_.count(kInterruptEndpoint)) {
        complete(interrupt_, USBD_STATUS_STALL_PID);
        return;
    }
    if (frame - lastInterruptFrame_ < kInterruptInterval) return;
    bool burst = burstApplies(kInterruptEndpoint);
    if (!burst && !firmware_->interruptDue(now)) return;
    lastInterruptFrame_ = frame;
    Pending& p = interrupt_.front();
    beginTransfer(p);
    if (p.failing) {
        finishFront(interrupt_, kFailedTransferStatus);
    } else {
        InterruptMessage m{};
        firmware_->takeInterrupt(now, &m);
        usbbus::Transfer* t = p.transfer;
        t->actualLength = std::min<ULONG>(t->length, static_cast<ULONG>(m.size()));
        if (t->actualLength) std::memcpy(t->buffer, m.data(), t->actualLength);
        ++counters_.interruptMessages;
        finishFront(interrupt_, USBD_STATUS_SUCCESS);
    }
    if (removeAfterFrame_) {
        removeAfterFrame_ = false;
        leave(true);
    }
}

bool SimCamera::bulkInStep(Pending& p, LONGLONG now, bool* sent, bool* overflow) {
    usbbus::Transfer* t = p.transfer;
    *sent = false;
    *overflow = false;
    ULONG room = t->length - t->actualLength;
    if (room == 0) return true;
    // The camera sends whole packets of up to 64 bytes whatever room is
    // left: a packet longer than the room overflows the transfer, as on a
    // real bus, and its bytes are lost.
    UCHAR packet[kBulkPacketSize];
    std::size_t n = 0;
    bool end = false;  // the data of this answer or frame ends with this packet
    auto& answers = firmware_->bulkIn();
    if (!answers.empty()) {
        BulkChunk& c = answers.front();
        // An answer held back (late, or cut off for good) sends nothing now.
        n = std::min<std::size_t>(kBulkPacketSize, c.sendable(now));
        if (n == 0) return false;
        std::memcpy(packet, c.data.data() + c.position, n);
        c.position += n;
        if (c.position == c.data.size()) {
            answers.pop_front();
            end = true;
        }
    } else if (alternate_ == 1) {
        updateVideo(now);
        if (const VideoPacket* sp = video_.scripted(now, kBulkPacketSize)) {
            // Bulk video has no checksums: the bytes go in packets of their
            // own, and the last one ends the transfer.
            const std::size_t offset = video_.scriptedOffset();
            n = std::min<std::size_t>(kBulkPacketSize, sp->bytes.size() - offset);
            if (n) std::memcpy(packet, sp->bytes.data() + offset, n);
            video_.advanceScripted(n);
            if (offset + n >= sp->bytes.size()) {
                video_.popScripted();
                end = true;
            }
        } else {
            n = video_.next(now, packet, kBulkPacketSize, &end);
        }
        counters_.framesStarted = video_.framesStarted();
        counters_.framesCompleted = video_.framesCompleted();
    }
    if (n == 0) return false;
    *sent = true;
    counters_.bulkInBytes += n;
    if (n > room) {
        *overflow = true;
        return true;
    }
    std::memcpy(t->buffer + t->actualLength, packet, n);
    t->actualLength += static_cast<ULONG>(n);
    // A short packet ends the transfer; so does the end of the data when the
    // host asked for more (the camera then sends a zero-length packet).
    return n < kBulkPacketSize || end || t->actualLength == t->length;
}

// Full packets of an answer that neither fill the transfer nor end the
// answer, moved at once: each is what bulkInStep would send, and the last
// packet of the run (which decides whether the transfer ends) is left to it.
// Returns the packets moved.
ULONG SimCamera::bulkInRun(Pending& p, LONGLONG now, ULONG maxPackets) {
    auto& answers = firmware_->bulkIn();
    if (answers.empty() || maxPackets < 2) return 0;
    usbbus::Transfer* t = p.transfer;
    BulkChunk& c = answers.front();
    const std::size_t fit = (t->length - t->actualLength) / kBulkPacketSize;
    const std::size_t ready = c.sendable(now) / kBulkPacketSize;
    std::size_t packets = std::min(fit, ready);
    if (packets < 2) return 0;
    packets = std::min<std::size_t>(packets - 1, maxPackets - 1);
    const std::size_t n = packets * kBulkPacketSize;
    std::memcpy(t->buffer + t->actualLength, c.data.data() + c.position, n);
    c.position += n;
    t->actualLength += static_cast<ULONG>(n);
    counters_.bulkInBytes += n;
    return static_cast<ULONG>(packets);
}

void SimCamera::processBulk(ULONG frame, LONGLONG now, ULONG budget) {
    ULONG used = 0;
    const bool timed = budget != kUnlimited;
    while (connected_ && used < budget && !bulkOut_.empty()) {
        Pending& p = bulkOut_.front();
        if (timed && p.submitFrame >= frame) break;
        if (halted_.count(kBulkOutEndpoint)) {
            complete(bulkOut_, USBD_STATUS_STALL_PID);
            break;
        }
        if (!p.started) beginTransfer(p);
        usbbus::Transfer* t = p.transfer;
        if (p.failing) {
            finishFront(bulkOut_, kFailedTransferStatus);
            continue;
        }
        ULONG n = std::min<ULONG>(kBulkPacketSize, t->length - t->actualLength);
        firmware_->bulkOut(now, t->buffer + t->actualLength, n);
        t->actualLength += n;
        counters_.bulkOutBytes += n;
        ++used;
        if (t->actualLength == t->length) finishFront(bulkOut_, USBD_STATUS_SUCCESS);
    }
    while (connected_ && used < budget && !bulkIn_.empty()) {
        Pending& p = bulkIn_.front();
        if (timed && p.submitFrame >= frame) break;
        if (halted_.count(kBulkInEndpoint)) {
            complete(bulkIn_, USBD_STATUS_STALL_PID);
            break;
        }
        if (!p.started) {
            int w = 0, h = 0;
            bool data = firmware_->bulkInReady(now) ||
                        (alternate_ == 1 && firmware_->videoSize(now, &w, &h));
            if (!data && !burstApplies(kBulkInEndpoint)) break;
            beginTransfer(p);
        }
        if (p.failing) {
            finishFront(bulkIn_, kFailedTransferStatus);
            continue;
        }
        used += bulkInRun(p, now, budget - used);
        bool sent = false, overflow = false;
        bool done = bulkInStep(p, now, &sent, &overflow);
        if (sent) ++used;
        if (done)
            finishFront(bulkIn_, overflow ? USBD_STATUS_BUFFER_OVERRUN : USBD_STATUS_SUCCESS);
        else if (!sent)
            break;
    }
    counters_.maxBulkPacketsAtOnce = std::max<std::uint64_t>(counters_.maxBulkPacketsAtOnce, used);
    if (removeAfterFrame_) {
        removeAfterFrame_ = false;
        leave(true);
    }
}

// ---------------------------------------------------------------------------
// Test hooks

void SimCamera::injectInterrupt(const InterruptMessage& message) {
    std::lock_guard<std::mutex> g(lock_);
    firmware_->queueInterrupt(message, kclock::now());
    wake_.notify_all();
}

void SimCamera::injectInputs(std::uint16_t changed, std::uint16_t state) {
    injectInterrupt(
        {2, 0, static_cast<std::uint8_t>(changed & 0xFF), static_cast<std::uint8_t>(changed >> 8),
         static_cast<std::uint8_t>(state & 0xFF), static_cast<std::uint8_t>(state >> 8), 0, 0});
}

void SimCamera::injectButton(std::uint8_t code) {
    injectInterrupt({3, 0, code, 0, 0, 0, 0, 0});
}

std::uint8_t SimCamera::registerValue(int space, int reg) const {
    std::lock_guard<std::mutex> g(lock_);
    return firmware_->registerValue(space, reg);
}

std::vector<RegisterWrite> SimCamera::registerWrites() const {
    std::lock_guard<std::mutex> g(lock_);
    return firmware_->registerWrites();
}

std::vector<RegisterTable> SimCamera::tables() const {
    std::lock_guard<std::mutex> g(lock_);
    return firmware_->tables();
}

std::vector<DataBlockWrite> SimCamera::dataBlocks() const {
    std::lock_guard<std::mutex> g(lock_);
    return firmware_->dataBlocks();
}

std::vector<std::uint8_t> SimCamera::patchBytes() const {
    std::lock_guard<std::mutex> g(lock_);
    return firmware_->patchBytes();
}

std::array<std::uint8_t, kPatchHeaderSize> SimCamera::patchHeader() const {
    std::lock_guard<std::mutex> g(lock_);
    return firmware_->patchHeader();
}

PatchState SimCamera::patchState() const {
    std::lock_guard<std::mutex> g(lock_);
    return firmware_->patchState();
}

std::string SimCamera::patchProblem() const {
    std::lock_guard<std::mutex> g(lock_);
    return firmware_->patchProblem();
}

std::uint16_t SimCamera::firmwareLevel() const {
    std::lock_guard<std::mutex> g(lock_);
    return firmware_->firmwareLevel();
}

std::array<std::uint8_t, kInformationBlockSize> SimCamera::informationBlock() const {
    std::lock_guard<std::mutex> g(lock_);
    return firmware_->informationBlock();
}

int SimCamera::configuration() const {
    std::lock_guard<std::mutex> g(lock_);
    return configuration_;
}

int SimCamera::alternateSetting() const {
    std::lock_guard<std::mutex> g(lock_);
    return alternate_;
}

bool SimCamera::present() const {
    std::lock_guard<std::mutex> g(lock_);
    return connected_;
}

WireCounters SimCamera::counters() const {
    std::lock_guard<std::mutex> g(lock_);
    return counters_;
}

std::size_t SimCamera::pendingTransfers() const {
    std::lock_guard<std::mutex> g(lock_);
    return control_.size() + iso_.size() + bulkIn_.size() + bulkOut_.size() + interrupt_.size();
}

std::vector<VendorRequestRecord> SimCamera::requestLog() const {
    std::lock_guard<std::mutex> g(lock_);
    return {requestLog_.begin(), requestLog_.end()};
}

void SimCamera::clearRequestLog() {
    std::lock_guard<std::mutex> g(lock_);
    requestLog_.clear();
    requestLogBytes_ = 0;
}

void SimCamera::withStore(const std::function<void(ObjectStore&)>& use) {
    std::lock_guard<std::mutex> g(lock_);
    use(firmware_->store());
}

Faults SimCamera::faults() const {
    std::lock_guard<std::mutex> g(lock_);
    return faults_;
}

void SimCamera::setFaults(const Faults& faults) {
    std::lock_guard<std::mutex> g(lock_);
    faults_ = faults;
    wake_.notify_all();
}

void SimCamera::changeFaults(const std::function<void(Faults&)>& change) {
    std::lock_guard<std::mutex> g(lock_);
    change(faults_);
    wake_.notify_all();
}

void SimCamera::stallEndpoint(std::uint8_t endpoint) {
    std::lock_guard<std::mutex> g(lock_);
    halted_.insert(endpoint);
    wake_.notify_all();
}

bool SimCamera::halted(std::uint8_t endpoint) const {
    std::lock_guard<std::mutex> g(lock_);
    return halted_.count(endpoint) != 0;
}

}  // namespace sim
