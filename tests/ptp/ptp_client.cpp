#include "tests/ptp/ptp_client.h"

#include <cstring>

#include "sim/object_store.h"
#include "sim/sim_camera.h"

namespace ptptest {

std::uint32_t placePicture(sim::SimCamera& camera, std::size_t bytes, std::uint32_t seed,
                           Bytes* picture) {
    std::uint32_t number = 0;
    camera.withStore([&](sim::ObjectStore& st) {
        sim::ObjectSpec recipe;
        sim::StoredObject o = sim::generateObject(recipe, 1);
        o.picture = sim::syntheticFrame(bytes, seed);
        sim::fillDirectoryEntry(o, recipe);
        *picture = o.picture;
        number = st.memory(0).add(std::move(o)).number;
    });
    return number;
}

std::vector<std::uint32_t> itemReads(const sim::SimCamera& camera, std::uint8_t item) {
    std::vector<std::uint32_t> lengths;
    for (const sim::VendorRequestRecord& r : camera.requestLog())
        if (r.request == 0x05 && r.value == item && r.data.size() == 8)
            lengths.push_back((std::uint32_t{r.data[4]} << 24) | (r.data[5] << 16) |
                              (r.data[6] << 8) | r.data[7]);
    return lengths;
}

std::uint32_t u32(const Bytes& b, std::size_t at) {
    std::uint32_t v = 0;
    if (at + 4 <= b.size()) std::memcpy(&v, b.data() + at, 4);
    return v;
}

std::uint16_t u16(const Bytes& b, std::size_t at) {
    std::uint16_t v = 0;
    if (at + 2 <= b.size()) std::memcpy(&v, b.data() + at, 2);
    return v;
}

namespace {
void put32(Bytes& b, std::size_t at, std::uint32_t v) {
    std::memcpy(b.data() + at, &v, 4);
}
void put16(Bytes& b, std::size_t at, std::uint16_t v) {
    std::memcpy(b.data() + at, &v, 2);
}
}  // namespace

Bytes ptpHeader(std::uint32_t session, std::size_t room) {
    Bytes b(pav512::kPtpDataOffset + room, 0);
    b[0] = pav512::kModuleStatusUnanswered;
    put32(b, 4, session);
    return b;
}

Bytes transferRequest(std::uint32_t session, std::uint16_t kind, std::uint16_t code,
                      const Bytes& data, std::size_t room) {
    if (room < data.size()) room = data.size();
    Bytes b = ptpHeader(session, room);
    put16(b, 8, kind);
    put16(b, 10, code);
    put32(b, 12, 1);
    put32(b, 16, static_cast<std::uint32_t>(data.size()));
    put32(b, 20, static_cast<std::uint32_t>(kind == 1 ? data.size() : room));
    if (!data.empty()) std::memcpy(b.data() + pav512::kPtpDataOffset, data.data(), data.size());
    return b;
}

std::shared_ptr<Reply> PtpClient::call(ULONG code, Bytes buffer) {
    auto reply = sendRequest(code, std::move(buffer));
    wait(reply);
    return reply;
}

std::uint8_t PtpClient::open(std::uint32_t* session) {
    auto r = call(pav512::IOCTL_PTP_OPEN, ptpHeader(0));
    if (session) *session = u32(r->data, 8);
    return r->moduleStatus();
}

std::uint8_t PtpClient::openPictureService(std::uint32_t* session) {
    auto r = call(pav512::IOCTL_PTP_OPEN_WIA, ptpHeader(0));
    if (session) *session = u32(r->data, 8);
    return r->moduleStatus();
}

std::uint8_t PtpClient::close(std::uint32_t session) {
    return call(pav512::IOCTL_PTP_CLOSE, ptpHeader(session))->moduleStatus();
}

std::uint8_t PtpClient::lock(std::uint32_t session) {
    return call(pav512::IOCTL_PTP_LOCK, ptpHeader(session))->moduleStatus();
}

std::uint8_t PtpClient::unlock(std::uint32_t session) {
    return call(pav512::IOCTL_PTP_UNLOCK, ptpHeader(session))->moduleStatus();
}

Phase PtpClient::transfer(std::uint32_t session, std::uint16_t kind, std::uint16_t code,
                          const Bytes& data, std::size_t room) {
    auto r = call(pav512::IOCTL_PTP_TRANSFER, transferRequest(session, kind, code, data, room));
    Phase p;
    p.status = r->status;
    p.moduleStatus = r->moduleStatus();
    p.code = u16(r->data, 10);
    p.total = u32(r->data, 16);
    p.length = u32(r->data, 20);
    p.offset = u32(r->data, 24);
    const std::size_t at = pav512::kPtpDataOffset;
    if (r->data.size() >= at + p.length)
        p.data.assign(r->data.begin() + at,
                      r->data.begin() + static_cast<std::ptrdiff_t>(at + p.length));
    return p;
}

std::uint8_t PtpClient::classRequest(std::uint32_t session, std::uint8_t request,
                                     const Bytes& data) {
    Bytes b = ptpHeader(session, data.size());
    put32(b, 8, static_cast<std::uint32_t>(data.size()));
    put32(b, 12, static_cast<std::uint32_t>(data.size()));
    put32(b, 16, 0);
    b[20] = request;
    if (!data.empty()) std::memcpy(b.data() + pav512::kPtpDataOffset, data.data(), data.size());
    return call(pav512::IOCTL_PTP_COMMAND, b)->moduleStatus();
}

Transaction PtpClient::run(std::uint32_t session, std::uint16_t operation,
                           const std::vector<std::uint32_t>& parameters, std::size_t slice,
                           const std::function<std::size_t()>& nextSlice) {
    Transaction t;
    Bytes params(parameters.size() * 4);
    for (std::size_t i = 0; i < parameters.size(); ++i) put32(params, 4 * i, parameters[i]);
    t.commandStatus = transfer(session, 1, operation, params).moduleStatus;
    for (;;) {
        const std::size_t room = nextSlice ? nextSlice() : slice;
        Phase p = transfer(session, 2, operation, {}, room);
        t.dataStatus = p.moduleStatus;
        if (p.moduleStatus != 0) break;
        t.total = p.total;
        if (p.offset != t.data.size()) break;  // out of order: the test sees a short file
        t.data.insert(t.data.end(), p.data.begin(), p.data.end());
        if (t.data.size() >= p.total || p.length == 0) break;
    }
    Phase response = transfer(session, 3, operation, {}, 64);
    t.response = response.code;
    for (std::size_t i = 0; i + 4 <= response.data.size(); i += 4)
        t.parameters.push_back(u32(response.data, i));
    return t;
}

LockedSession::LockedSession(PtpClient& client) : client_(client) {
    if (client_.open(&session_) != 0) return;
    if (client_.lock(session_) != 0) return;
    Transaction t = client_.run(session_, 0x1002, {1});
    ok_ = t.response == 0x2001;
}

LockedSession::~LockedSession() {
    if (session_ == 0) return;
    client_.run(session_, 0x1003, {});
    client_.unlock(session_);
    client_.close(session_);
}

}  // namespace ptptest
