// The connection half of the stream interface: storing the minidriver's
// routines and the four routines the driver hands out, which lead into the
// stream interface proper (srbif.cpp).
#include "driver/core/device_context.h"
#include "driver/core/srbif.h"

namespace {

DeviceContext* deviceOfRecord(ULONG deviceRecord) {
    return kroutine::resolveObject<DeviceContext>(deviceRecord);
}

void mSRBIF_Receive(ULONG deviceRecord, HW_STREAM_REQUEST_BLOCK* srb) {
    DeviceContext* device = deviceOfRecord(deviceRecord);
    if (!device || !srb) return;
    SRBIF_ReceiveSRB(device, srb, nullptr, nullptr);
}

// Only queued reads wait in the driver; anything else completes on its own.
void mSRBIF_Cancel(ULONG deviceRecord, HW_STREAM_REQUEST_BLOCK* srb) {
    DeviceContext* device = deviceOfRecord(deviceRecord);
    if (!device || !srb) return;
    SRBIF_CancelSRB(device, srb);
}

// Blocks never time out: the counter only restarts.
void mSRBIF_Timeout(ULONG deviceRecord, HW_STREAM_REQUEST_BLOCK* srb) {
    if (!deviceOfRecord(deviceRecord) || !srb) return;
    srb->TimeoutCounter = srb->TimeoutOriginal;
}

void mSRBIF_Watch(ULONG deviceRecord, SRB_WATCH_RECORD* record) {
    DeviceContext* device = deviceOfRecord(deviceRecord);
    if (!device || !record) return;
    if (record->Enable)
        device->watches.addWatch(record->Set, record->Id, record, record->Context);
    else
        device->watches.removeWatch(record);
}

}  // namespace

SrbifConnection::~SrbifConnection() {
    kroutine::remove(tokens_.receive);
    kroutine::remove(tokens_.cancel);
    kroutine::remove(tokens_.timeout);
    kroutine::remove(tokens_.watch);
    kroutine::remove(tokens_.deviceRecord);
}

SrbifCallbacks SrbifConnection::callbacks() const {
    std::lock_guard<std::mutex> g(lock_);
    return callbacks_;
}

bool SrbifConnection::connected() const {
    std::lock_guard<std::mutex> g(lock_);
    return connected_;
}

MinidriverCall::MinidriverCall(DeviceContext* device)
    : connection_(device->srbif), entered_(connection_.calls_.enter()) {
    if (entered_) callbacks_ = connection_.callbacks();
}

MinidriverCall::~MinidriverCall() {
    if (entered_) connection_.calls_.leave();
}

void SRBIF_SetStreamCallbacks(DeviceContext* device, const SrbifCallbacks& callbacks) {
    SrbifConnection& c = device->srbif;
    std::lock_guard<std::mutex> change(c.changeLock_);
    // A disconnect, or a connect that replaces the minidriver connected
    // until now: what that minidriver still has in the driver goes back to
    // it while its routines are there to take it; then its routines copied
    // before the change finish and its watches go, so that nothing of it
    // ever reaches the routines of the one that follows. A disconnecting
    // minidriver may unload once this returns.
    const bool replacing = c.connected();
    if (replacing) {
        SRBIF_CloseMinidriverStreams(device);
        c.calls_.close();
        c.calls_.waitEmpty(0);
        device->watches.disconnect();
    }
    {
        std::lock_guard<std::mutex> g(c.lock_);
        c.callbacks_ = callbacks;
        c.connected_ = !callbacks.empty();
    }
    if (callbacks.propertyChange) device->watches.connect(callbacks.propertyChange);
    if (replacing) c.calls_.reopen();
}

SrbifDriverTokens SRBIF_DriverTokens(DeviceContext* device) {
    SrbifConnection& c = device->srbif;
    std::lock_guard<std::mutex> g(c.lock_);
    SrbifDriverTokens& t = c.tokens_;
    if (!t.receive) t.receive = kroutine::add<SrbDriverReceive>(mSRBIF_Receive);
    if (!t.cancel) t.cancel = kroutine::add<SrbDriverCancel>(mSRBIF_Cancel);
    if (!t.timeout) t.timeout = kroutine::add<SrbDriverTimeout>(mSRBIF_Timeout);
    if (!t.watch) t.watch = kroutine::add<SrbDriverWatch>(mSRBIF_Watch);
    if (!t.deviceRecord) t.deviceRecord = kroutine::addObject(device);
    return t;
}

void SRBIF_CompleteToMinidriver(DeviceContext* device, HW_STREAM_REQUEST_BLOCK* srb) {
    MinidriverCall call(device);
    const SrbifCallbacks& cb = call.routines();
    if (isStreamRequest(srb->Command)) {
        if (cb.streamRequestComplete) cb.streamRequestComplete(srb->StreamObject, srb);
    } else {
        if (cb.deviceRequestComplete) cb.deviceRequestComplete(srb->HwDeviceExtension, srb);
    }
}
