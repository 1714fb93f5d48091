// The bus over libusb-1.0. Not tried with real hardware yet: the transfer
// translation and the status mapping are tested against stand-ins for the
// library calls, and the watcher against a machine with no camera.
#include "platform/usb/libusb_backend.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/kernel/timer.h"

namespace usbbus {

USBD_STATUS usbdStatusFromTransfer(int transferStatus) {
    switch (transferStatus) {
        case LIBUSB_TRANSFER_COMPLETED:
            return USBD_STATUS_SUCCESS;
        case LIBUSB_TRANSFER_STALL:
            return USBD_STATUS_STALL_PID;
        case LIBUSB_TRANSFER_NO_DEVICE:
            return USBD_STATUS_DEVICE_GONE;
        case LIBUSB_TRANSFER_CANCELLED:
            return USBD_STATUS_CANCELED;
        case LIBUSB_TRANSFER_TIMED_OUT:
            return USBD_STATUS_TIMEOUT;
        case LIBUSB_TRANSFER_OVERFLOW:
            return USBD_STATUS_BUFFER_OVERRUN;
        case LIBUSB_TRANSFER_ERROR:
        default:
            return USBD_STATUS_XACT_ERROR;
    }
}

USBD_STATUS usbdStatusFromError(int error) {
    switch (error) {
        case LIBUSB_SUCCESS:
            return USBD_STATUS_SUCCESS;
        case LIBUSB_ERROR_NO_DEVICE:
        case LIBUSB_ERROR_NOT_FOUND:
            return USBD_STATUS_DEVICE_GONE;
        case LIBUSB_ERROR_INVALID_PARAM:
            return USBD_STATUS_INVALID_PARAMETER;
        case LIBUSB_ERROR_NO_MEM:
            return USBD_STATUS_NO_MEMORY;
        case LIBUSB_ERROR_BUSY:
            return USBD_STATUS_ERROR_BUSY;
        case LIBUSB_ERROR_TIMEOUT:
            return USBD_STATUS_TIMEOUT;
        case LIBUSB_ERROR_PIPE:
            return USBD_STATUS_STALL_PID;
        case LIBUSB_ERROR_OVERFLOW:
            return USBD_STATUS_BUFFER_OVERRUN;
        case LIBUSB_ERROR_NOT_SUPPORTED:
            return USBD_STATUS_NOT_SUPPORTED;
        case LIBUSB_ERROR_INTERRUPTED:
            return USBD_STATUS_CANCELED;
        default:
            return USBD_STATUS_REQUEST_FAILED;
    }
}

std::string libusbInstancePath(std::uint16_t vendor, std::uint16_t product, std::uint8_t busNumber,
                               const std::uint8_t* ports, int portCount) {
    char head[64];
    std::snprintf(head, sizeof head, "USB\\VID_%04X&PID_%04X\\port-%u-", vendor, product,
                  busNumber);
    std::string path = head;
    if (!ports || portCount <= 0) return path + "0";
    for (int i = 0; i < portCount; ++i) {
        if (i) path += '.';
        path += std::to_string(ports[i]);
    }
    return path;
}

// ---------------------------------------------------------------------------
// LibusbBackend

struct LibusbBackend::Pending {
    LibusbBackend* owner;
    Transfer* transfer;
    libusb_transfer* lt;
    // Control transfers carry the setup packet in front of the data, and iso
    // packets whose offsets are not back to back go through a bounce buffer.
    std::vector<UCHAR> bounce;
    bool direct;
};

LibusbBackend::LibusbBackend(libusb_device_handle* handle, LibusbCalls calls)
    : calls_(calls), handle_(handle) {}

LibusbBackend::~LibusbBackend() {
    releaseInterfaces();
    if (handle_) calls_.close(handle_);
    if (returned_) calls_.close(returned_);
}

void LibusbBackend::releaseInterfaces() {
    std::lock_guard<std::recursive_mutex> g(lock_);
    if (handle_)
        for (int i : claimed_) calls_.releaseInterface(handle_, i);
    claimed_.clear();
}

void LibusbBackend::attach(Sink* sink) {
    std::lock_guard<std::recursive_mutex> g(lock_);
    sink_ = sink;
}

void LibusbBackend::markGone() {
    // Told under the lock that attach takes: once the bus has let go of the
    // device (attach(nullptr) returned), it may delete it.
    std::lock_guard<std::recursive_mutex> g(lock_);
    if (gone_) return;
    gone_ = true;
    if (sink_) sink_->deviceGone();
}

USBD_STATUS LibusbBackend::submit(Transfer* t) {
    std::lock_guard<std::recursive_mutex> g(lock_);
    if (gone_ || !handle_) return USBD_STATUS_DEVICE_GONE;
    bool iso = t->type == USB_ENDPOINT_TYPE_ISOCHRONOUS;
    int packets = iso ? static_cast<int>(t->numberOfPackets) : 0;
    libusb_transfer* lt = libusb_alloc_transfer(packets);
    if (!lt) return USBD_STATUS_NO_MEMORY;
    auto* p = new Pending{this, t, lt, {}, true};
    switch (t->type) {
        case USB_ENDPOINT_TYPE_CONTROL: {
            p->direct = false;
            p->bounce.assign(LIBUSB_CONTROL_SETUP_SIZE + t->length, 0);
            std::memcpy(p->bounce.data(), t->setup, LIBUSB_CONTROL_SETUP_SIZE);
            // The setup's wLength decides how much libusb moves; keep it and
            // the buffer in agreement.
            p->bounce[6] = static_cast<UCHAR>(t->length & 0xFF);
            p->bounce[7] = static_cast<UCHAR>(t->length >> 8);
            if (!(t->setup[0] & 0x80) && t->length) {
                std::memcpy(p->bounce.data() + LIBUSB_CONTROL_SETUP_SIZE, t->buffer, t->length);
            }
            libusb_fill_control_transfer(lt, handle_, p->bounce.data(), onTransferDone, p, 0);
            break;
        }
        case USB_ENDPOINT_TYPE_BULK:
            libusb_fill_bulk_transfer(lt, handle_, t->endpoint, t->buffer,
                                      static_cast<int>(t->length), onTransferDone, p, 0);
            break;
        case USB_ENDPOINT_TYPE_INTERRUPT:
            libusb_fill_interrupt_transfer(lt, handle_, t->endpoint, t->buffer,
                                           static_cast<int>(t->length), onTransferDone, p, 0);
            break;
        case USB_ENDPOINT_TYPE_ISOCHRONOUS: {
            // libusb lays the packets back to back; use the caller's buffer
            // when its offsets say the same.
            for (int i = 0; i < packets; ++i)
                if (t->isoPackets[i].Offset != static_cast<ULONG>(i) * t->packetSize)
                    p->direct = false;
            UCHAR* buffer = t->buffer;
            size_t total = static_cast<size_t>(packets) * t->packetSize;
            if (!p->direct) {
                p->bounce.assign(total, 0);
                buffer = p->bounce.data();
                if (!(t->endpoint & 0x80)) {
                    for (int i = 0; i < packets; ++i)
                        std::memcpy(buffer + static_cast<size_t>(i) * t->packetSize,
                                    t->buffer + t->isoPackets[i].Offset, t->packetSize);
                }
            }
            libusb_fill_iso_transfer(lt, handle_, t->endpoint, buffer, static_cast<int>(total),
                                     packets, onTransferDone, p, 0);
            libusb_set_iso_packet_lengths(lt, t->packetSize);
            break;
        }
        default:
            libusb_free_transfer(lt);
            delete p;
            return USBD_STATUS_INVALID_PARAMETER;
    }
    inflight_[t] = p;
    int rc = calls_.submitTransfer(lt);
    if (rc != LIBUSB_SUCCESS) {
        inflight_.erase(t);
        libusb_free_transfer(lt);
        delete p;
        return usbdStatusFromError(rc);
    }
    return USBD_STATUS_PENDING;
}

void LIBUSB_CALL LibusbBackend::onTransferDone(libusb_transfer* lt) {
    auto* p = static_cast<Pending*>(lt->user_data);
    LibusbBackend* self = p->owner;
    Transfer* t = p->transfer;
    {
        std::lock_guard<std::recursive_mutex> g(self->lock_);
        self->inflight_.erase(t);
        self->changed_.notify_all();
    }
    t->status = usbdStatusFromTransfer(lt->status);
    bool in = (t->endpoint & 0x80) != 0;
    switch (t->type) {
        case USB_ENDPOINT_TYPE_CONTROL: {
            ULONG actual = static_cast<ULONG>(std::max(lt->actual_length, 0));
            actual = std::min(actual, t->length);
            if ((t->setup[0] & 0x80) && actual) {
                std::memcpy(t->buffer, p->bounce.data() + LIBUSB_CONTROL_SETUP_SIZE, actual);
            }
            t->actualLength = actual;
            break;
        }
        case USB_ENDPOINT_TYPE_ISOCHRONOUS: {
            ULONG total = 0;
            ULONG errors = 0;
            for (ULONG i = 0; i < t->numberOfPackets; ++i) {
                const libusb_iso_packet_descriptor& d = lt->iso_packet_desc[i];
                USBD_ISO_PACKET_DESCRIPTOR& pk = t->isoPackets[i];
                ULONG got = std::min(static_cast<ULONG>(d.actual_length), t->packetSize);
                pk.Status = usbdStatusFromTransfer(d.status);
                pk.Length = got;
                if (!USBD_SUCCESS(pk.Status)) ++errors;
                if (!p->direct && in && got) {
                    std::memcpy(t->buffer + pk.Offset,
                                p->bounce.data() + static_cast<size_t>(i) * t->packetSize, got);
                }
                total += got;
            }
            t->errorCount = errors;
            t->actualLength = total;
            break;
        }
        default: {
            ULONG actual = std::min(static_cast<ULONG>(std::max(lt->actual_length, 0)), t->length);
            t->actualLength = actual;
            if (in && !t->shortOk && actual < t->length && t->status == USBD_STATUS_SUCCESS) {
                t->status = USBD_STATUS_DATA_UNDERRUN;
            }
            break;
        }
    }
    libusb_free_transfer(lt);
    delete p;
    t->complete(t, t->context);
}

void LibusbBackend::cancel(Transfer* t) {
    std::lock_guard<std::recursive_mutex> g(lock_);
    auto it = inflight_.find(t);
    if (it == inflight_.end()) return;  // completed already
    calls_.cancelTransfer(it->second->lt);
}

size_t LibusbBackend::transfersInFlight() const {
    std::lock_guard<std::recursive_mutex> g(lock_);
    return inflight_.size();
}

USBD_STATUS LibusbBackend::setConfiguration(UCHAR value) {
    std::lock_guard<std::recursive_mutex> g(lock_);
    if (gone_ || !handle_) return USBD_STATUS_DEVICE_GONE;
    releaseInterfaces();
    // libusb names the unconfigured state -1.
    return usbdStatusFromError(calls_.setConfiguration(handle_, value ? value : -1));
}

USBD_STATUS LibusbBackend::setInterface(UCHAR interfaceNumber, UCHAR alternateSetting) {
    std::lock_guard<std::recursive_mutex> g(lock_);
    if (gone_ || !handle_) return USBD_STATUS_DEVICE_GONE;
    if (std::find(claimed_.begin(), claimed_.end(), interfaceNumber) == claimed_.end()) {
        int rc = calls_.claimInterface(handle_, interfaceNumber);
        if (rc != LIBUSB_SUCCESS) return usbdStatusFromError(rc);
        claimed_.push_back(interfaceNumber);
    }
    int rc = calls_.setAltSetting(handle_, interfaceNumber, alternateSetting);
    // Linux reports a setting whose bandwidth it cannot reserve as a generic
    // failure (ENOSPC); the driver treats it as no bandwidth and falls back.
    if (rc == LIBUSB_ERROR_OTHER || rc == LIBUSB_ERROR_NO_MEM) return USBD_STATUS_NO_BANDWIDTH;
    return usbdStatusFromError(rc);
}

USBD_STATUS LibusbBackend::clearHalt(UCHAR endpoint) {
    std::lock_guard<std::recursive_mutex> g(lock_);
    if (gone_ || !handle_) return USBD_STATUS_DEVICE_GONE;
    return usbdStatusFromError(calls_.clearHalt(handle_, endpoint));
}

ULONG LibusbBackend::currentFrame() {
    // libusb does not expose the host controller's frame counter; the model
    // clock's milliseconds count 1 ms frames the same way.
    return static_cast<ULONG>(kclock::milliseconds());
}

USBD_STATUS LibusbBackend::resetPort() {
    std::lock_guard<std::recursive_mutex> g(lock_);
    if (gone_ || !handle_) return USBD_STATUS_DEVICE_GONE;
    return usbdStatusFromError(calls_.resetDevice(handle_));
}

USBD_STATUS LibusbBackend::cyclePort() {
    std::lock_guard<std::recursive_mutex> g(lock_);
    if (gone_ || !handle_) return USBD_STATUS_DEVICE_GONE;
    releaseInterfaces();
    int rc = calls_.resetDevice(handle_);
    if (rc == LIBUSB_SUCCESS)
        return USBD_STATUS_SUCCESS;  // same descriptors: the handle stays good
    if (rc == LIBUSB_ERROR_NOT_FOUND || rc == LIBUSB_ERROR_NO_DEVICE) {
        // The device came back as a new one (a patched camera does): wait for
        // the watcher to hand it over.
        awaitingReturn_ = true;
        return USBD_STATUS_SUCCESS;
    }
    return usbdStatusFromError(rc);
}

bool LibusbBackend::awaitingReturn() const {
    std::lock_guard<std::recursive_mutex> g(lock_);
    return awaitingReturn_;
}

void LibusbBackend::adopt(libusb_device_handle* handle) {
    std::lock_guard<std::recursive_mutex> g(lock_);
    if (!awaitingReturn_ || returned_) {
        calls_.close(handle);
        return;
    }
    returned_ = handle;
    changed_.notify_all();
}

bool LibusbBackend::reenumerate() {
    std::unique_lock<std::recursive_mutex> g(lock_);
    if (!awaitingReturn_) return !gone_ && handle_ != nullptr;
    LONGLONG deadline = kclock::now() + 10LL * 10000000;
    while (!returned_ && kclock::now() < deadline) changed_.wait_until(g, kclock::realAt(deadline));
    awaitingReturn_ = false;
    if (!returned_) return false;
    if (handle_) calls_.close(handle_);
    handle_ = returned_;
    returned_ = nullptr;
    gone_ = false;
    return true;
}

// ---------------------------------------------------------------------------
// LibusbWatcher

LibusbWatcher::LibusbWatcher(Bus& bus, std::uint16_t vendor, std::uint16_t product)
    : bus_(bus), vendor_(vendor), product_(product) {}

LibusbWatcher::~LibusbWatcher() {
    stop();
}

bool LibusbWatcher::running() const {
    return context_ != nullptr;
}

size_t LibusbWatcher::cameras() const {
    std::lock_guard<std::mutex> g(lock_);
    return cameras_.size();
}

std::string LibusbWatcher::pathOf(libusb_device* device) const {
    std::uint8_t ports[8];
    int n = libusb_get_port_numbers(device, ports, sizeof ports);
    return libusbInstancePath(vendor_, product_, libusb_get_bus_number(device), ports,
                              n < 0 ? 0 : n);
}

bool LibusbWatcher::start(std::string* error) {
    if (context_) return true;
    int rc = libusb_init(&context_);
    if (rc != LIBUSB_SUCCESS) {
        context_ = nullptr;
        if (error) *error = std::string("libusb_init failed: ") + libusb_error_name(rc);
        return false;
    }
    stopping_ = false;
    eventsStopping_ = false;
    eventThread_ = std::thread([this] { eventLoop(); });
    hotplug_ = libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0;
    if (hotplug_) {
        // With ENUMERATE the callback also reports the cameras present now;
        // it only queues them for the watch thread.
        rc = libusb_hotplug_register_callback(
            context_,
            static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                              LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
            LIBUSB_HOTPLUG_ENUMERATE, vendor_, product_, LIBUSB_HOTPLUG_MATCH_ANY, onHotplug, this,
            &hotplugHandle_);
        if (rc != LIBUSB_SUCCESS) hotplug_ = false;
    }
    watchThread_ = std::thread([this] { watchLoop(); });
    return true;
}

void LibusbWatcher::stop() {
    if (!context_) return;
    if (hotplug_) libusb_hotplug_deregister_callback(context_, hotplugHandle_);
    {
        std::lock_guard<std::mutex> g(lock_);
        stopping_ = true;
        changed_.notify_all();
    }
    if (watchThread_.joinable()) watchThread_.join();
    // The cameras leave while the event thread still runs, so that their
    // transfers come back.
    std::map<std::string, Camera> cameras;
    std::vector<Event> events;
    {
        std::lock_guard<std::mutex> g(lock_);
        cameras.swap(cameras_);
        events.swap(events_);
    }
    for (auto& [path, cam] : cameras) {
        cam.backend->markGone();
        libusb_unref_device(cam.device);
    }
    for (Event& e : events) libusb_unref_device(e.device);
    bus_.settle();
    cameras.clear();
    eventsStopping_ = true;
    libusb_interrupt_event_handler(context_);
    if (eventThread_.joinable()) eventThread_.join();
    libusb_exit(context_);
    context_ = nullptr;
}

void LibusbWatcher::eventLoop() {
    while (!eventsStopping_.load()) {
        timeval tv{0, 100000};
        libusb_handle_events_timeout_completed(context_, &tv, nullptr);
        // The wake-up that brought the completions also takes the timers
        // due by now, as a host controller's interrupt does.
        ktimer::expireDueTimers();
    }
}

int LIBUSB_CALL LibusbWatcher::onHotplug(libusb_context*, libusb_device* device,
                                         libusb_hotplug_event event, void* self) {
    auto* w = static_cast<LibusbWatcher*>(self);
    std::lock_guard<std::mutex> g(w->lock_);
    w->events_.push_back({libusb_ref_device(device), event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED});
    w->changed_.notify_all();
    return 0;
}

void LibusbWatcher::watchLoop() {
    std::unique_lock<std::mutex> g(lock_);
    while (!stopping_) {
        if (!events_.empty()) {
            std::vector<Event> events;
            events.swap(events_);
            g.unlock();
            for (Event& e : events) {
                if (e.arrived)
                    arrived(e.device);
                else
                    left(e.device);
                libusb_unref_device(e.device);
            }
            g.lock();
            continue;
        }
        if (!hotplug_) {
            g.unlock();
            scan();
            g.lock();
            changed_.wait_for(g, std::chrono::milliseconds(500));
        } else {
            changed_.wait(g);
        }
    }
}

void LibusbWatcher::scan() {
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(context_, &list);
    if (n < 0) return;
    std::vector<libusb_device*> present;
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor d;
        if (libusb_get_device_descriptor(list[i], &d) == LIBUSB_SUCCESS && d.idVendor == vendor_ &&
            d.idProduct == product_) {
            present.push_back(list[i]);
        }
    }
    std::vector<libusb_device*> gone;
    {
        std::lock_guard<std::mutex> g(lock_);
        for (auto& [path, cam] : cameras_)
            if (std::find(present.begin(), present.end(), cam.device) == present.end())
                gone.push_back(cam.device);
    }
    for (libusb_device* d : gone) left(d);
    for (libusb_device* d : present) arrived(d);
    libusb_free_device_list(list, 1);
}

void LibusbWatcher::arrived(libusb_device* device) {
    std::string path = pathOf(device);
    std::shared_ptr<LibusbBackend> cycling;
    {
        std::lock_guard<std::mutex> g(lock_);
        auto it = cameras_.find(path);
        if (it != cameras_.end()) {
            if (it->second.device == device) return;  // known already
            if (!it->second.backend->awaitingReturn()) return;
            cycling = it->second.backend;
        }
    }
    libusb_device_handle* handle = nullptr;
    if (libusb_open(device, &handle) != LIBUSB_SUCCESS) return;
    libusb_set_auto_detach_kernel_driver(handle, 1);
    if (cycling) {
        // The camera came back after a port cycle: the bus plugs it in again
        // through the same backend.
        std::lock_guard<std::mutex> g(lock_);
        auto it = cameras_.find(path);
        if (it != cameras_.end()) {
            libusb_unref_device(it->second.device);
            it->second.device = libusb_ref_device(device);
        }
        cycling->adopt(handle);
        return;
    }
    auto backend = std::make_shared<LibusbBackend>(handle);
    std::string error;
    if (!bus_.plug(backend, path, &error)) return;
    std::lock_guard<std::mutex> g(lock_);
    cameras_[path] = Camera{libusb_ref_device(device), backend};
}

void LibusbWatcher::left(libusb_device* device) {
    std::shared_ptr<LibusbBackend> backend;
    {
        std::lock_guard<std::mutex> g(lock_);
        for (auto it = cameras_.begin(); it != cameras_.end(); ++it) {
            if (it->second.device != device) continue;
            // A camera re-enumerating after a port cycle leaves and comes
            // back at the same port; the bus is taking care of it already.
            if (it->second.backend->awaitingReturn()) return;
            backend = it->second.backend;
            libusb_unref_device(it->second.device);
            cameras_.erase(it);
            break;
        }
    }
    if (backend) backend->markGone();
}

}  // namespace usbbus
