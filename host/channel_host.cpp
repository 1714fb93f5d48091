#include "host/channel_host.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <condition_variable>
#include <map>
#include <set>

namespace host {
namespace {

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The head of a request is all the session ledger reads.
constexpr std::uint32_t kLedgerBytes = 64;

}  // namespace

// Every open channel by interface link, so that a disabled interface marks its
// channels as gone before the driver deletes the device.
class ChannelDirectory {
  public:
    static ChannelDirectory& instance() {
        static ChannelDirectory* d = new ChannelDirectory();
        return *d;
    }

    void add(HostChannel* c) {
        std::lock_guard<std::mutex> g(lock_);
        channels_.insert(c);
    }
    void remove(HostChannel* c) {
        std::lock_guard<std::mutex> g(lock_);
        channels_.erase(c);
    }

    // An open in progress on `link` holds the interface: its removal waits
    // until the open is done (and has then marked the new channel gone), so
    // the device an open is sent to is never deleted under it.
    void beginOpen(const std::string& link) {
        std::lock_guard<std::mutex> g(lock_);
        opening_[link]++;
    }
    void endOpen(const std::string& link) {
        std::lock_guard<std::mutex> g(lock_);
        if (--opening_[link] == 0) {
            opening_.erase(link);
            opened_.notify_all();
        }
    }

  private:
    ChannelDirectory() {
        kio::subscribeInterfaces([this](const kio::InterfaceInfo& info) {
            if (info.enabled) return;
            std::string link = lower(info.symbolicLink);
            std::unique_lock<std::mutex> g(lock_);
            opened_.wait(g, [&] { return opening_.count(link) == 0; });
            for (HostChannel* c : channels_)
                if (c->link_ == link) c->markGone();
        });
    }

    std::mutex lock_;
    std::condition_variable opened_;
    std::set<HostChannel*> channels_;
    std::map<std::string, int> opening_;
};

std::vector<std::string> enabledInterfacePaths(const GUID& classGuid) {
    std::vector<std::string> out;
    for (const kio::InterfaceInfo& info : kio::interfaces(&classGuid, true))
        out.push_back(uchannel::userPathOf(info.symbolicLink));
    std::sort(out.begin(), out.end());
    return out;
}

NTSTATUS HostChannel::open(const std::string& path, kobj::ClientObjectTable* table,
                           std::unique_ptr<HostChannel>* channel) {
    channel->reset();
    ChannelDirectory::instance();  // listening before the interface can go away
    std::string wanted = lower(uchannel::kernelPathOf(path));
    const kio::InterfaceInfo* best = nullptr;
    std::vector<kio::InterfaceInfo> all = kio::interfaces(nullptr, true);
    for (const kio::InterfaceInfo& info : all) {
        std::string link = lower(info.symbolicLink);
        if (wanted.compare(0, link.size(), link) != 0) continue;
        if (wanted.size() > link.size() && wanted[link.size()] != '\\') continue;
        if (!best || link.size() > best->symbolicLink.size()) best = &info;
    }
    if (!best || !best->physicalDevice) return STATUS_OBJECT_NAME_NOT_FOUND;
    const std::string link = lower(best->symbolicLink);
    const std::size_t linkLength = best->symbolicLink.size();
    ChannelDirectory::instance().beginOpen(link);
    // Looked up again now that a removal would wait for this open: a device
    // whose interface has gone by now is not opened at all.
    PDEVICE_OBJECT device = nullptr;
    for (const kio::InterfaceInfo& info : kio::interfaces(nullptr, true))
        if (lower(info.symbolicLink) == link) device = info.physicalDevice;
    if (!device) {
        ChannelDirectory::instance().endOpen(link);
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    // "\\?\" and "\??\" are both four characters, so the file name starts
    // at the same place in either form of the path.
    std::string fileName = path.substr(std::min(path.size(), linkLength));
    PFILE_OBJECT file = nullptr;
    NTSTATUS st = kio::openFile(device, fileName, &file);
    if (NT_SUCCESS(st)) {
        channel->reset(new HostChannel(file, link, table));
        ChannelDirectory::instance().add(channel->get());
    }
    ChannelDirectory::instance().endOpen(link);
    return st;
}

HostChannel::HostChannel(PFILE_OBJECT file, std::string link, kobj::ClientObjectTable* table)
    : file_(file), link_(std::move(link)), table_(table) {}

HostChannel::~HostChannel() {
    close();
    ChannelDirectory::instance().remove(this);
}

bool HostChannel::deviceGone() const {
    std::shared_lock<std::shared_mutex> g(deviceLock_);
    return gone_;
}

void HostChannel::markGone() {
    std::unique_lock<std::shared_mutex> g(deviceLock_);
    gone_ = true;
}

std::size_t HostChannel::pendingCount() const {
    std::lock_guard<std::mutex> g(lock_);
    return pending_.size();
}

bool HostChannel::submit(std::uint64_t id, std::uint32_t code, const void* input,
                         std::uint32_t inputLength, std::uint32_t outputLength,
                         uchannel::ReplyFn done, void* systemBuffer) {
    {
        std::unique_lock<std::mutex> g(lock_);
        if (pending_.count(id)) return false;
        if (closing_) {
            g.unlock();
            done(STATUS_CANCELLED, 0, nullptr);
            return true;
        }
        Pending& p = pending_[id];
        p.code = code;
        std::uint32_t n = std::min(inputLength, kLedgerBytes);
        if (input && n)
            p.request.assign(static_cast<const std::uint8_t*>(input),
                             static_cast<const std::uint8_t*>(input) + n);
    }
    PIRP irp = nullptr;
    {
        std::shared_lock<std::shared_mutex> device(deviceLock_);
        if (gone_) {
            device.unlock();
            finished(id, STATUS_DELETE_PENDING, 0, nullptr, done);
        } else {
            kobj::ClientScope scope(table_);
            auto finish = [this, id, done](NTSTATUS st, ULONG_PTR info, const void* buffer) {
                finished(id, st, info, buffer, done);
            };
            irp = systemBuffer ? kio::sendDeviceControlInto(file_, code, input, inputLength,
                                                            outputLength, systemBuffer, finish)
                               : kio::sendDeviceControl(file_, code, input, inputLength,
                                                        outputLength, false, finish);
        }
    }
    // A null IRP could not be built; `done` has then run with the status.
    std::unique_lock<std::mutex> g(lock_);
    auto it = pending_.find(id);
    if (it != pending_.end()) {
        it->second.irp = irp;
        it->second.issued = true;
        releaseIfDone(id, g);
    } else if (irp) {
        g.unlock();
        kio::releaseIrp(irp);
    }
    return true;
}

void HostChannel::finished(std::uint64_t id, NTSTATUS status, ULONG_PTR information,
                           const void* buffer, const uchannel::ReplyFn& done) {
    std::uint32_t code = 0;
    std::vector<std::uint8_t> request;
    {
        std::lock_guard<std::mutex> g(lock_);
        auto it = pending_.find(id);
        if (it != pending_.end()) {
            code = it->second.code;
            request.swap(it->second.request);
        }
    }
    auto info = static_cast<std::uint32_t>(information);
    auto* bytes = static_cast<const std::uint8_t*>(buffer);
    if (code != 0)
        ledger_.observe(code, request.data(), static_cast<std::uint32_t>(request.size()), status,
                        info, bytes);
    done(status, bytes ? info : 0, bytes);
    std::unique_lock<std::mutex> g(lock_);
    auto it = pending_.find(id);
    if (it != pending_.end()) it->second.completed = true;
    releaseIfDone(id, g);
}

// Drops the entry once the request completed, submit has stored its IRP and no
// cancel still uses it; the caller's reference to the IRP goes with it.
void HostChannel::releaseIfDone(std::uint64_t id, std::unique_lock<std::mutex>& held) {
    auto it = pending_.find(id);
    if (it == pending_.end()) return;
    Pending& p = it->second;
    if (!p.completed || !p.issued || p.cancelling > 0) return;
    PIRP irp = p.irp;
    pending_.erase(it);
    idle_.notify_all();
    if (irp) {
        held.unlock();
        kio::releaseIrp(irp);
        held.lock();
    }
}

void HostChannel::cancel(std::uint64_t id) {
    std::unique_lock<std::mutex> g(lock_);
    auto it = pending_.find(id);
    if (it == pending_.end() || it->second.irp == nullptr || it->second.completed) return;
    PIRP irp = it->second.irp;
    it->second.cancelling++;
    g.unlock();
    IoCancelIrp(irp);
    g.lock();
    it = pending_.find(id);
    if (it != pending_.end()) {
        it->second.cancelling--;
        releaseIfDone(id, g);
    }
}

void HostChannel::cancelAll() {
    std::vector<std::uint64_t> ids;
    {
        std::lock_guard<std::mutex> g(lock_);
        for (auto& [id, p] : pending_) ids.push_back(id);
    }
    for (std::uint64_t id : ids) cancel(id);
}

void HostChannel::close() {
    {
        std::lock_guard<std::mutex> g(lock_);
        if (closed_) return;
        closed_ = true;
        closing_ = true;
    }
    // As the I/O manager does at cleanup: cancel what the channel left pending
    // and wait for the driver to hand it back.
    cancelAll();
    {
        std::unique_lock<std::mutex> g(lock_);
        idle_.wait(g, [&] { return pending_.empty(); });
    }
    std::shared_lock<std::shared_mutex> device(deviceLock_);
    if (!gone_) {
        // Close what the client left open, as the client itself would have.
        kobj::ClientScope scope(table_);
        for (ClosingRequest& r : ledger_.closingRequests()) {
            std::vector<std::uint8_t> reply(r.buffer.size());
            ULONG_PTR info = 0;
            NTSTATUS st = kio::deviceControl(file_, r.code, r.buffer.data(),
                                             static_cast<ULONG>(r.buffer.size()), reply.data(),
                                             static_cast<ULONG>(reply.size()), &info);
            ledger_.observe(r.code, r.buffer.data(), static_cast<std::uint32_t>(r.buffer.size()),
                            st, static_cast<std::uint32_t>(info), reply.data());
        }
        kio::closeFile(file_);
    } else {
        freeFile();
    }
    file_ = nullptr;
}

// The device object is gone, so the cleanup and close requests have nowhere
// to go; only the file object itself is left to free.
void HostChannel::freeFile() {
    RtlFreeUnicodeString(&file_->FileName);
    ObfDereferenceObject(file_);
}

}  // namespace host
