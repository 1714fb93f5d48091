// The picture operations of the still camera interface, each made of PTP
// transactions on the handle's channel under the camera lock: enumeration,
// object information, whole-object and block reads, the preview.
#include <algorithm>
#include <memory>
#include <new>

#include "library/device/export_guard.h"
#include "library/stills/paci_internal.h"

namespace paci {

CallLock::CallLock(PACI_HANDLE h) : h_(h), channel_(h->channelLock) {
    if (!h_->ptp) {
        // Orphaned by a camera-state notification: the PTP client's own answer.
        status_ = kPtpInvalidHandle;
        return;
    }
    if (h_->locked) return;
    status_ = mapPtpStatus(ptpLock(h_->ptp, kCallLockTimeout));
    if (status_ != PACI_STATUS_SUCCESS) return;
    h_->locked = 1;
    took_ = true;
    // Not between the blocks of a transfer: a new command would end the
    // camera's GetObject under way.
    if (h_->blockOffset == 0) reopenSession(h_);
}

CallLock::~CallLock() {
    if (!took_ || !h_->ptp) return;
    if (mapPtpStatus(ptpUnlock(h_->ptp)) == PACI_STATUS_SUCCESS) h_->locked = 0;
}

void reopenSession(PACI_HANDLE h) {
    // The camera keeps one PTP session for all its clients, so the close of
    // any other handle ends ours too; opening it again costs one exchange and
    // leaves an open session as it is.
    std::uint32_t saved = h->session;
    h->session = 0;
    if (commandPhase(h, kOpenSession, {h->connection}) == PACI_STATUS_SUCCESS &&
        responsePhase(h, kOpenSession) == PACI_STATUS_SUCCESS)
        h->session = 1;
    else
        h->session = saved;
}

PACI_STATUS commandPhase(PACI_HANDLE h, std::uint16_t operation,
                         const std::vector<std::uint32_t>& parameters) {
    std::uint8_t data[20] = {};
    std::size_t n = std::min<std::size_t>(parameters.size(), 5);
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t v = parameters[i];
        for (int b = 0; b < 4; ++b) data[4 * i + b] = static_cast<std::uint8_t>(v >> (8 * b));
    }
    PtpPhase p;
    p.kind = kPhaseCommand;
    p.code = operation;
    p.session = h->session;
    p.total = static_cast<std::uint32_t>(4 * n);
    p.chunkLength = p.total;
    p.chunkOffset = 0;
    return mapPtpStatus(ptpTransfer(h->ptp, &p, p.total, n ? data : nullptr));
}

PACI_STATUS dataPhase(PACI_HANDLE h, std::uint16_t operation, void* buffer, std::uint32_t length,
                      PtpPhase* phase) {
    PtpPhase p;
    p.kind = kPhaseData;
    p.code = operation;
    p.session = h->session;
    p.chunkLength = length;
    PACI_STATUS st = mapPtpStatus(ptpTransfer(h->ptp, &p, length, buffer));
    if (phase) *phase = p;
    return st;
}

PACI_STATUS responsePhase(PACI_HANDLE h, std::uint16_t operation,
                          std::vector<std::uint32_t>* parameters) {
    std::uint8_t data[20] = {};
    PtpPhase p;
    p.kind = kPhaseResponse;
    p.code = operation;
    p.session = h->session;
    p.chunkLength = sizeof data;
    PACI_STATUS st = mapPtpStatus(ptpTransfer(h->ptp, &p, sizeof data, data));
    if (st == PACI_STATUS_SUCCESS && parameters) {
        std::uint32_t n = std::min<std::uint32_t>(p.chunkLength, sizeof data) / 4;
        parameters->clear();
        for (std::uint32_t i = 0; i < n; ++i) parameters->push_back(le32(data + 4 * i));
    }
    return st;
}

PACI_STATUS refusedDataPhase(PACI_HANDLE h, std::uint16_t operation, PACI_STATUS dataStatus) {
    // A camera that turned the command down (an unknown object, a parameter
    // it does not take) refuses the data phase without saying why; the
    // response phase says why, as 0xF0000000 + its code, and brings the
    // camera's transaction back to rest.
    PACI_STATUS response = responsePhase(h, operation);
    return response >= PACI_STATUS_PTP_RESPONSE_BASE ? response : dataStatus;
}

PACI_STATUS readDataset(PACI_HANDLE h, std::uint16_t operation,
                        const std::vector<std::uint32_t>& parameters,
                        std::vector<std::uint8_t>* dataset) {
    dataset->clear();
    PACI_STATUS st = commandPhase(h, operation, parameters);
    if (st != PACI_STATUS_SUCCESS) return st;
    std::uint8_t slice[kDatasetSlice];
    PtpPhase p;
    st = dataPhase(h, operation, slice, sizeof slice, &p);
    if (st != PACI_STATUS_SUCCESS) return refusedDataPhase(h, operation, st);
    std::uint32_t total = p.total;
    try {
        dataset->resize(total);
    } catch (const std::bad_alloc&) {
        return PACI_STATUS_ALLOC_FAILED;
    }
    // The driver's figures decide where each slice goes: one that does not
    // fit the announced total, or a slice that brings nothing while bytes are
    // still missing, ends the read instead of writing past the buffer or
    // asking for ever.
    for (;;) {
        std::uint64_t end = std::uint64_t{p.chunkOffset} + p.chunkLength;
        if (p.chunkLength > sizeof slice || end > total) {
            dataset->clear();
            return PACI_STATUS_INVALID_STATUS;
        }
        if (p.chunkLength) std::memcpy(dataset->data() + p.chunkOffset, slice, p.chunkLength);
        if (end >= total) break;
        if (p.chunkLength == 0) {
            dataset->clear();
            return PACI_STATUS_INVALID_STATUS;
        }
        st = dataPhase(h, operation, slice, sizeof slice, &p);
        if (st != PACI_STATUS_SUCCESS) {
            dataset->clear();
            return st;
        }
    }
    st = responsePhase(h, operation);
    if (st != PACI_STATUS_SUCCESS) dataset->clear();
    return st;
}

PACI_STATUS readObjectCount(PACI_HANDLE h, std::uint32_t storage, std::uint32_t format,
                            std::uint32_t parent, std::uint32_t* count) {
    PACI_STATUS st = commandPhase(h, kGetNumObjects, {storage, format, parent});
    if (st != PACI_STATUS_SUCCESS) return st;
    std::vector<std::uint32_t> parameters;
    st = responsePhase(h, kGetNumObjects, &parameters);
    if (st != PACI_STATUS_SUCCESS) return st;
    *count = parameters.empty() ? 0 : parameters[0];
    return PACI_STATUS_SUCCESS;
}

PACI_STATUS readWholeObject(PACI_HANDLE h, PACI_ID id, void* buffer, std::uint32_t length) {
    PACI_STATUS st = commandPhase(h, kGetObject, {id});
    if (st != PACI_STATUS_SUCCESS) return st;
    PtpPhase p;
    st = dataPhase(h, kGetObject, buffer, length, &p);
    if (st != PACI_STATUS_SUCCESS) return refusedDataPhase(h, kGetObject, st);
    if (p.total > length) return PACI_STATUS_BUFFER_TOO_SMALL;
    // One data phase normally brings the whole object; should the driver
    // hand it over in parts, the rest is asked for where the last part ended.
    std::uint32_t total = p.total;
    std::uint64_t end = std::uint64_t{p.chunkOffset} + p.chunkLength;
    while (end < total) {
        if (p.chunkLength == 0) return PACI_STATUS_INVALID_STATUS;
        auto* at = static_cast<std::uint8_t*>(buffer) + end;
        st = dataPhase(h, kGetObject, at, static_cast<std::uint32_t>(total - end), &p);
        if (st != PACI_STATUS_SUCCESS) return st;
        end += p.chunkLength;
    }
    if (end > total) return PACI_STATUS_INVALID_STATUS;
    return responsePhase(h, kGetObject);
}

namespace {

PACI_STATUS handleStatus(PACI_HANDLE h, PACI_STATUS ifNull) {
    if (!h) return ifNull;
    return validHandle(h) ? PACI_STATUS_SUCCESS : PACI_STATUS_BAD_PARAMETER;
}

// The identifiers of a storage-ID or object-handle array dataset (u32 count,
// then the values), as many as the dataset really holds.
std::vector<std::uint32_t> arrayOf(const std::vector<std::uint8_t>& d) {
    std::vector<std::uint32_t> out;
    if (d.size() < 4) return out;
    std::uint32_t n = std::min<std::uint64_t>(le32(d.data()), (d.size() - 4) / 4);
    out.reserve(n);
    for (std::uint32_t i = 0; i < n; ++i) out.push_back(le32(d.data() + 4 + 4 * i));
    return out;
}

PACI_STATUS enumerate(PACI_HANDLE h, std::uint32_t format, PACI_ID parent, PACI_ID* ids,
                      std::uint32_t capacity, std::uint32_t* total) {
    std::uint32_t filled = 0;
    auto put = [&](PACI_ID v) {
        if (ids && filled < capacity) ids[filled++] = v;
    };
    std::vector<std::uint8_t> d;
    PACI_STATUS st;
    if (parent == PACI_ID_DEVICE) {
        st = readDataset(h, kGetStorageIds, {}, &d);
        if (st != PACI_STATUS_SUCCESS) return st;
        std::vector<std::uint32_t> storages = arrayOf(d);
        for (std::uint32_t s : storages) put(storageToId(s));
        *total = static_cast<std::uint32_t>(storages.size());
        return PACI_STATUS_SUCCESS;
    }
    std::uint32_t storage = 0xFFFFFFFF, parentHandle = 0, count = 0;
    if (parent != 0) {
        storage = idToStorage(parent);
        parentHandle = isObject(parent) ? parent : 0;
    } else if (format == 0) {
        st = readDataset(h, kGetStorageIds, {}, &d);
        if (st != PACI_STATUS_SUCCESS) return st;
        std::vector<std::uint32_t> storages = arrayOf(d);
        put(PACI_ID_DEVICE);
        for (std::uint32_t s : storages) put(storageToId(s));
        count = 1 + static_cast<std::uint32_t>(storages.size());
    }
    if (ids) {
        st = readDataset(h, kGetObjectHandles, {storage, format, parentHandle}, &d);
        if (st != PACI_STATUS_SUCCESS) return st;
        std::vector<std::uint32_t> handles = arrayOf(d);
        for (std::uint32_t o : handles) put(o);
        count += static_cast<std::uint32_t>(handles.size());
    } else {
        std::uint32_t objects = 0;
        st = readObjectCount(h, storage, format, parentHandle, &objects);
        if (st != PACI_STATUS_SUCCESS) return st;
        count += objects;
    }
    *total = count;
    return PACI_STATUS_SUCCESS;
}

PACI_STATUS objectInfo(PACI_HANDLE h, PACI_ID id, PACI_OBJECT_INFO* info) {
    std::memset(info, 0, sizeof *info);
    if (id == PACI_ID_DEVICE) {
        info->ObjectFormat = PACI_FORMAT_DEVICE;
        return PACI_STATUS_SUCCESS;
    }
    if (isStorage(id)) {
        info->ObjectFormat = PACI_FORMAT_STORAGE;
        return PACI_STATUS_SUCCESS;
    }
    CallLock lock(h);
    if (lock.status() != PACI_STATUS_SUCCESS) return lock.status();
    std::vector<std::uint8_t> d;
    PACI_STATUS st = readDataset(h, kGetObjectInfo, {id}, &d);
    if (st != PACI_STATUS_SUCCESS) return st;
    if (d.size() < kObjectInfoMinimum) return PACI_STATUS_INVALID_STATUS;
    const std::uint8_t* p = d.data();
    info->StorageID = le32(p);
    info->ObjectFormat = le16(p + 4);
    info->ObjectSize = le32(p + 8);
    if (info->ObjectFormat == kFormatJpeg) {
        // What the preview delivers, whatever the camera's own thumbnail is.
        info->ThumbFormat = PACI_FORMAT_BMP;
        info->ThumbSize = PACI_PREVIEW_SIZE;
        info->ThumbWidth = PACI_PREVIEW_WIDTH;
        info->ThumbHeight = PACI_PREVIEW_HEIGHT;
    } else {
        info->ThumbSize = le32(p + 14);
        info->ThumbWidth = le32(p + 18);
        info->ThumbHeight = le32(p + 22);
    }
    info->ImageWidth = le32(p + 26);
    info->ImageHeight = le32(p + 30);
    info->ParentObject = le32(p + 38);
    return PACI_STATUS_SUCCESS;
}

// The checks that ReadPreview and ReadObject share.
bool pictureArguments(PACI_ID id, const void* buffer, std::uint32_t length) {
    return id != 0 && id != PACI_ID_DEVICE && length != 0 && buffer && !isStorage(id);
}

PACI_STATUS firstBlock(PACI_HANDLE h, PACI_ID id, void* buffer, std::uint32_t length,
                       std::uint32_t* got) {
    CallLock lock(h);
    if (lock.status() != PACI_STATUS_SUCCESS) return lock.status();
    PACI_PROPERTY_STREAM* stream = nullptr;
    PACI_STATUS st = readPropertyStream(h, id, &stream);
    if (st != PACI_STATUS_SUCCESS) return st;
    // Row 1 of the property table: "Object Size".
    std::uint32_t total = le32(stream->Entries[1].Current);
    freePropertyStream(stream);
    std::uint32_t n = std::min(length, total);
    std::unique_ptr<std::uint8_t[]> bounce(new (std::nothrow) std::uint8_t[n ? n : 1]);
    if (!bounce) return PACI_STATUS_ALLOC_FAILED;
    st = commandPhase(h, kGetObject, {id});
    if (st != PACI_STATUS_SUCCESS) return st;
    PtpPhase p;
    st = dataPhase(h, kGetObject, bounce.get(), n, &p);
    if (st != PACI_STATUS_SUCCESS) return st;
    // Counted from what the driver delivered, never past what was asked for.
    if (p.chunkLength > n) return PACI_STATUS_BLOCK_OVERRUN;
    n = p.chunkLength;
    *got = n;
    std::memcpy(buffer, bounce.get(), n);
    if (n < total) {
        h->blockTotal = total;
        h->blockOffset = n;
        h->blockObject = id;
        return PACI_STATUS_MORE_DATA;
    }
    h->blockOffset = 0;
    h->blockTotal = 0;
    return responsePhase(h, kGetObject);
}

void endBlockTransfer(PACI_HANDLE h) {
    h->blockOffset = 0;
    h->blockTotal = 0;
    h->blockObject = 0;
}

PACI_STATUS nextBlock(PACI_HANDLE h, void* buffer, std::uint32_t length, std::uint32_t* got,
                      std::uint32_t* sofar) {
    CallLock lock(h);
    if (lock.status() != PACI_STATUS_SUCCESS) return lock.status();
    std::uint32_t n = std::min(length, h->blockTotal - h->blockOffset);
    std::unique_ptr<std::uint8_t[]> bounce(new (std::nothrow) std::uint8_t[n ? n : 1]);
    if (!bounce) return PACI_STATUS_ALLOC_FAILED;
    PtpPhase p;
    PACI_STATUS st = dataPhase(h, kGetObject, bounce.get(), n, &p);
    if (st != PACI_STATUS_SUCCESS) return st;
    if (p.chunkLength > n) {
        endBlockTransfer(h);
        return PACI_STATUS_BLOCK_OVERRUN;
    }
    n = p.chunkLength;
    *got = n;
    std::memcpy(buffer, bounce.get(), n);
    h->blockOffset += n;
    if (sofar) *sofar = h->blockOffset;
    if (h->blockOffset == h->blockTotal) {
        endBlockTransfer(h);
        return responsePhase(h, kGetObject);
    }
    return PACI_STATUS_MORE_DATA;
}

PACI_STATUS preview(PACI_HANDLE h, PACI_ID id, void* buffer, std::uint32_t length) {
    CallLock lock(h);
    if (lock.status() != PACI_STATUS_SUCCESS) return lock.status();
    std::vector<std::uint8_t> d;
    PACI_STATUS st = readDataset(h, kGetObjectInfo, {id}, &d);
    if (st != PACI_STATUS_SUCCESS) return st;
    if (d.size() < kObjectInfoMinimum) return PACI_STATUS_INVALID_STATUS;
    if (le16(d.data() + 4) != kFormatJpeg) return PACI_STATUS_NO_PREVIEW;
    return makePreview(
        h->decoders, d.data(), d.size(),
        [&](void* whole, std::uint32_t size) { return readWholeObject(h, id, whole, size); },
        buffer, length);
}

}  // namespace
}  // namespace paci

using namespace paci;
using pavu::guarded;

extern "C" {

PAV512U_API PACI_STATUS PACI_ObjectEnum(PACI_HANDLE handle, uint32_t format, PACI_ID parent,
                                        PACI_ID* ids, uint32_t capacity, uint32_t* total) {
    return guarded<PACI_STATUS>(PACI_STATUS_ALLOC_FAILED, [&] {
        if (!handle || !total) return PACI_STATUS_NULL_POINTER;
        if ((ids && capacity == 0) || (!ids && capacity != 0)) return PACI_STATUS_BAD_PARAMETER;
        if (!validHandle(handle)) return PACI_STATUS_BAD_PARAMETER;
        CallLock lock(handle);
        if (lock.status() != PACI_STATUS_SUCCESS) return lock.status();
        return enumerate(handle, format, parent, ids, capacity, total);
    });
}

PAV512U_API PACI_STATUS PACI_GetObjectInfo(PACI_HANDLE handle, PACI_ID id, PACI_OBJECT_INFO* info) {
    return guarded<PACI_STATUS>(PACI_STATUS_ALLOC_FAILED, [&] {
        if (id == 0 || !handle || !info || !validHandle(handle)) return PACI_STATUS_BAD_PARAMETER;
        return objectInfo(handle, id, info);
    });
}

PAV512U_API PACI_STATUS PACI_ReadPreview(PACI_HANDLE handle, PACI_ID id, void* buffer,
                                         uint32_t length) {
    return guarded<PACI_STATUS>(PACI_STATUS_ALLOC_FAILED, [&] {
        if (!pictureArguments(id, buffer, length)) return PACI_STATUS_BAD_PARAMETER;
        PACI_STATUS st = handleStatus(handle, PACI_STATUS_BAD_PARAMETER);
        if (st != PACI_STATUS_SUCCESS) return st;
        return preview(handle, id, buffer, length);
    });
}

PAV512U_API PACI_STATUS PACI_ReadObject(PACI_HANDLE handle, PACI_ID id, void* buffer,
                                        uint32_t length, uint32_t) {
    return guarded<PACI_STATUS>(PACI_STATUS_ALLOC_FAILED, [&] {
        if (!pictureArguments(id, buffer, length)) return PACI_STATUS_BAD_PARAMETER;
        PACI_STATUS st = handleStatus(handle, PACI_STATUS_BAD_PARAMETER);
        if (st != PACI_STATUS_SUCCESS) return st;
        CallLock lock(handle);
        if (lock.status() != PACI_STATUS_SUCCESS) return lock.status();
        return readWholeObject(handle, id, buffer, length);
    });
}

PAV512U_API PACI_STATUS PACI_ReadFirstBlock(PACI_HANDLE handle, PACI_ID id, void* buffer,
                                            uint32_t length, uint32_t* delivered) {
    return guarded<PACI_STATUS>(PACI_STATUS_ALLOC_FAILED, [&] {
        PACI_STATUS st = handleStatus(handle, PACI_STATUS_NULL_POINTER);
        if (st != PACI_STATUS_SUCCESS) return st;
        if (handle->blockOffset != 0) return PACI_STATUS_BLOCK_TRANSFER_IN_PROGRESS;
        if (length == 0 || id == 0 || id == PACI_ID_DEVICE || isStorage(id))
            return PACI_STATUS_BAD_PARAMETER;
        if (!buffer || !delivered) return PACI_STATUS_NULL_POINTER;
        *delivered = 0;
        return firstBlock(handle, id, buffer, length, delivered);
    });
}

PAV512U_API PACI_STATUS PACI_ReadNextBlock(PACI_HANDLE handle, void* buffer, uint32_t length,
                                           uint32_t* delivered, uint32_t* deliveredSoFar) {
    return guarded<PACI_STATUS>(PACI_STATUS_ALLOC_FAILED, [&] {
        PACI_STATUS st = handleStatus(handle, PACI_STATUS_NULL_POINTER);
        if (st != PACI_STATUS_SUCCESS) return st;
        if (handle->blockOffset == 0 || handle->blockTotal == 0)
            return PACI_STATUS_NO_CURRENT_BLOCK_TRANSFER;
        if (length == 0) return PACI_STATUS_BAD_PARAMETER;
        if (!buffer || !delivered) return PACI_STATUS_NULL_POINTER;
        *delivered = 0;
        return nextBlock(handle, buffer, length, delivered, deliveredSoFar);
    });
}

PAV512U_API PACI_STATUS PACI_CancelBlockTransfer(PACI_HANDLE handle) {
    return guarded<PACI_STATUS>(PACI_STATUS_ALLOC_FAILED, [&] {
        PACI_STATUS st = handleStatus(handle, PACI_STATUS_NULL_POINTER);
        if (st != PACI_STATUS_SUCCESS) return st;
        // The transfer ends here whatever the camera answers.
        handle->blockOffset = 0;
        handle->blockObject = 0;
        handle->blockTotal = 0;
        // The driver takes class requests only from the lock's holder, so the
        // cancel takes the lock for itself like every other call; without it
        // a cancel from a handle that did not hold the lock never reached the
        // camera, whose transaction stayed half-read.
        CallLock lock(handle);
        if (lock.status() != PACI_STATUS_SUCCESS) return lock.status();
        return mapPtpStatus(ptpCancel(handle->ptp, handle->session));
    });
}

}  // extern "C"
