#include "tests/library_cti/recording_transport.h"

#include "host/inprocess_transport.h"

namespace pavtest {
namespace {

class RecordingChannel : public uchannel::Channel {
  public:
    RecordingChannel(std::unique_ptr<uchannel::Channel> inner, std::weak_ptr<RecordingTransport> owner)
        : inner_(std::move(inner)), owner_(std::move(owner)) {}
    std::uint64_t submit(std::uint32_t code, const void* input, std::uint32_t inputLength,
                         std::uint32_t outputLength, uchannel::ReplyFn done) override {
        if (auto owner = owner_.lock()) owner->note(code, input, inputLength);
        return inner_->submit(code, input, inputLength, outputLength, std::move(done));
    }
    void cancel(std::uint64_t id) override { inner_->cancel(id); }
    void cancelAll() override { inner_->cancelAll(); }
    void close() override { inner_->close(); }

  private:
    std::unique_ptr<uchannel::Channel> inner_;
    std::weak_ptr<RecordingTransport> owner_;
};

}  // namespace

DWORD RecordingTransport::enumerateInterfaces(const GUID& classGuid,
                                              std::vector<std::string>* paths) {
    return inner_->enumerateInterfaces(classGuid, paths);
}

DWORD RecordingTransport::open(const std::string& path, std::unique_ptr<uchannel::Channel>* channel) {
    std::unique_ptr<uchannel::Channel> inner;
    DWORD err = inner_->open(path, &inner);
    if (err != ERROR_SUCCESS) return err;
    *channel = std::make_unique<RecordingChannel>(std::move(inner), weak_from_this());
    return ERROR_SUCCESS;
}

void RecordingTransport::note(std::uint32_t code, const void* input, std::uint32_t length) {
    const auto* b = static_cast<const std::uint8_t*>(input);
    std::lock_guard<std::mutex> g(lock_);
    seen_.push_back({code, b ? std::vector<std::uint8_t>(b, b + length) : std::vector<std::uint8_t>()});
}

std::vector<RecordingTransport::Seen> RecordingTransport::seen(std::uint32_t code) const {
    std::lock_guard<std::mutex> g(lock_);
    std::vector<Seen> out;
    for (const Seen& s : seen_)
        if (s.code == code) out.push_back(s);
    return out;
}

std::size_t RecordingTransport::count(std::uint32_t code) const {
    std::lock_guard<std::mutex> g(lock_);
    std::size_t n = 0;
    for (const Seen& s : seen_) n += s.code == code;
    return n;
}

std::shared_ptr<RecordingTransport> recordInProcess() {
    auto t = std::make_shared<RecordingTransport>(host::makeInProcessTransport());
    uchannel::setTransport(t);
    return t;
}

}  // namespace pavtest
