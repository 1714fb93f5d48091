// A transport in front of another that notes every request a channel sends
// (its code and the bytes that went in), so that a test sees what the library
// asked of the driver and how often, while the driver behind answers as usual.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/user/channel_transport.h"

namespace pavtest {

class RecordingTransport : public uchannel::Transport,
                           public std::enable_shared_from_this<RecordingTransport> {
  public:
    struct Seen {
        std::uint32_t code;
        std::vector<std::uint8_t> input;
    };

    explicit RecordingTransport(std::shared_ptr<uchannel::Transport> inner)
        : inner_(std::move(inner)) {}

    DWORD enumerateInterfaces(const GUID& classGuid, std::vector<std::string>* paths) override;
    DWORD open(const std::string& path, std::unique_ptr<uchannel::Channel>* channel) override;

    std::vector<Seen> seen(std::uint32_t code) const;
    std::size_t count(std::uint32_t code) const;
    void note(std::uint32_t code, const void* input, std::uint32_t length);

  private:
    std::shared_ptr<uchannel::Transport> inner_;
    mutable std::mutex lock_;
    std::vector<Seen> seen_;
};

// Installs a recording transport in front of the in-process host.
std::shared_ptr<RecordingTransport> recordInProcess();

}  // namespace pavtest
