// The host's side of a control channel: a file object on one of the driver's
// device interfaces, the requests a client sends on it (issued as the I/O
// manager issues them, with the client's object table installed so that event
// handles in request buffers resolve to the client's events), cancellation, and
// the close that releases everything the channel left open. Both transports,
// in-process and socket, carry their channels through this class, so they
// behave the same.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "host/session_ledger.h"
#include "platform/kernel/wdm.h"
#include "platform/user/channel_transport.h"

namespace host {

class HostChannel {
  public:
    // Opens a channel on `path` (a device interface path as user mode or the
    // kernel writes it, optionally followed by a file name such as
    // "\PAV512Connect"). `table` resolves the client's handles; it must outlive
    // the channel. Returns the status of the open.
    static NTSTATUS open(const std::string& path, kobj::ClientObjectTable* table,
                         std::unique_ptr<HostChannel>* channel);
    ~HostChannel();
    HostChannel(const HostChannel&) = delete;
    HostChannel& operator=(const HostChannel&) = delete;

    // Issues one request with the client's id; `done` runs exactly once.
    // Returns false (and does not call `done`) when the id is already pending.
    // `systemBuffer`: the request's system buffer when the caller provides it
    // (kio::sendDeviceControlInto); null for one of the I/O manager's own.
    bool submit(std::uint64_t id, std::uint32_t code, const void* input, std::uint32_t inputLength,
                std::uint32_t outputLength, uchannel::ReplyFn done,
                void* systemBuffer = nullptr);
    void cancel(std::uint64_t id);
    void cancelAll();
    // Cancels what is pending and waits for it, sends the closing requests of
    // the session ledger as this channel, and closes the file object.
    void close();

    std::size_t pendingCount() const;
    const SessionLedger& ledger() const { return ledger_; }
    // True once the device behind the channel has gone; requests then fail
    // without reaching the driver.
    bool deviceGone() const;

  private:
    struct Pending {
        PIRP irp = nullptr;   // set by submit once the driver has the request
        bool issued = false;  // submit is done with the entry
        bool completed = false;
        int cancelling = 0;  // cancel calls using irp outside the lock
        std::uint32_t code = 0;
        std::vector<std::uint8_t> request;  // the head of the request, for the ledger
    };

    HostChannel(PFILE_OBJECT file, std::string link, kobj::ClientObjectTable* table);
    void finished(std::uint64_t id, NTSTATUS status, ULONG_PTR information, const void* buffer,
                  const uchannel::ReplyFn& done);
    void releaseIfDone(std::uint64_t id, std::unique_lock<std::mutex>& held);
    void markGone();
    void freeFile();

    friend class ChannelDirectory;

    PFILE_OBJECT file_;
    std::string link_;  // lower-case kernel link of the interface
    kobj::ClientObjectTable* table_;
    SessionLedger ledger_;

    // Held shared while a request is handed to the driver; taken exclusively
    // when the device's interface goes away, so no request reaches a device
    // object that is about to be deleted.
    mutable std::shared_mutex deviceLock_;
    bool gone_ = false;

    mutable std::mutex lock_;
    std::condition_variable idle_;
    std::map<std::uint64_t, Pending> pending_;
    bool closing_ = false;
    bool closed_ = false;
};

// The paths (user-mode form) of the enabled device interfaces of a class.
std::vector<std::string> enabledInterfacePaths(const GUID& classGuid);

}  // namespace host
