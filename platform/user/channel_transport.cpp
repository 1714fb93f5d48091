#include "platform/user/channel_transport.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/user/socket_client.h"

namespace uchannel {
namespace {

std::mutex& transportLock() {
    static std::mutex* m = new std::mutex();
    return *m;
}

std::shared_ptr<Transport>& installed() {
    static auto* t = new std::shared_ptr<Transport>();
    return *t;
}

}  // namespace

void ReplyPlace::fill(const std::uint8_t* data, std::uint32_t n) const {
    if (!data) return;
    for (int i = 0; i < 2 && n > 0; ++i) {
        const std::uint32_t k = std::min(n, length[i]);
        if (k) std::memcpy(part[i], data, k);
        data += k;
        n -= k;
    }
}

std::uint64_t Channel::submitInto(std::uint32_t code, const void* input, std::uint32_t inputLength,
                                  std::uint32_t outputLength, const ReplyPlace& place, ReplyFn done,
                                  bool waited) {
    ReplyFn copying = [place, done = std::move(done)](NTSTATUS st, std::uint32_t info,
                                                      const std::uint8_t* data) {
        if (!NT_ERROR(st) && data) place.fill(data, info);
        done(st, info, nullptr);
    };
    return waited ? submitWaited(code, input, inputLength, outputLength, std::move(copying))
                  : submit(code, input, inputLength, outputLength, std::move(copying));
}

std::uint64_t Channel::submitParts(std::uint32_t code, const InputParts& input,
                                   std::uint32_t outputLength, const ReplyPlace& place,
                                   ReplyFn done, bool waited) {
    if (input.length[1] == 0)
        return submitInto(code, input.part[0], input.length[0], outputLength, place,
                          std::move(done), waited);
    std::vector<std::uint8_t> joined(input.total());
    if (input.length[0]) std::memcpy(joined.data(), input.part[0], input.length[0]);
    std::memcpy(joined.data() + input.length[0], input.part[1], input.length[1]);
    return submitInto(code, joined.data(), input.total(), outputLength, place, std::move(done),
                      waited);
}

void setTransport(std::shared_ptr<Transport> transport) {
    std::lock_guard<std::mutex> g(transportLock());
    installed() = std::move(transport);
}

std::shared_ptr<Transport> currentTransport() {
    std::lock_guard<std::mutex> g(transportLock());
    if (!installed()) installed() = makeSocketTransport();
    return installed();
}

DWORD win32ErrorOf(NTSTATUS status) {
    switch (status) {
        case STATUS_SUCCESS:
            return ERROR_SUCCESS;
        case STATUS_PENDING:
            return ERROR_IO_PENDING;
        case STATUS_INVALID_DEVICE_REQUEST:
        case STATUS_NOT_IMPLEMENTED:
            return ERROR_INVALID_FUNCTION;
        case STATUS_INVALID_PARAMETER:
            return ERROR_INVALID_PARAMETER;
        case STATUS_INVALID_HANDLE:
            return ERROR_INVALID_HANDLE;
        case STATUS_CANCELLED:
            return ERROR_OPERATION_ABORTED;
        // As the platform maps it: a device that is going away refuses access.
        case STATUS_DELETE_PENDING:
        case STATUS_ACCESS_DENIED:
            return ERROR_ACCESS_DENIED;
        case STATUS_INSUFFICIENT_RESOURCES:
            return ERROR_NOT_ENOUGH_MEMORY;
        case STATUS_BUFFER_TOO_SMALL:
            return ERROR_INSUFFICIENT_BUFFER;
        case STATUS_BUFFER_OVERFLOW:
            return ERROR_MORE_DATA;
        case STATUS_NOT_SUPPORTED:
            return ERROR_NOT_SUPPORTED;
        case STATUS_NO_SUCH_DEVICE:
        case STATUS_DEVICE_REMOVED:
            return ERROR_DEV_NOT_EXIST;
        case STATUS_DEVICE_NOT_CONNECTED:
            return ERROR_DEVICE_NOT_CONNECTED;
        case STATUS_OBJECT_NAME_NOT_FOUND:
        case STATUS_OBJECT_PATH_NOT_FOUND:
            return ERROR_FILE_NOT_FOUND;
        case STATUS_IO_TIMEOUT:
        case STATUS_TIMEOUT:
            return ERROR_SEM_TIMEOUT;
        case STATUS_DEVICE_NOT_READY:
            return ERROR_NOT_READY;
        case STATUS_DEVICE_BUSY:
            return ERROR_BUSY;
        case STATUS_IO_DEVICE_ERROR:
            return ERROR_IO_DEVICE;
        default:
            return ERROR_GEN_FAILURE;
    }
}

std::string userPathOf(const std::string& kernelLink) {
    if (kernelLink.rfind("\\??\\", 0) == 0) return "\\\\?\\" + kernelLink.substr(4);
    return kernelLink;
}

std::string kernelPathOf(const std::string& userPath) {
    if (userPath.rfind("\\\\?\\", 0) == 0 || userPath.rfind("\\\\.\\", 0) == 0)
        return "\\??\\" + userPath.substr(4);
    return userPath;
}

}  // namespace uchannel
