#include "platform/user/setupapi.h"

#include <cstring>
#include <string>
#include <vector>

#include "platform/kernel/object.h"
#include "platform/user/channel_transport.h"
#include "platform/user/handles.h"

namespace {

OBJECT_TYPE deviceInfoType{"DeviceInfoSet"};

struct DeviceInfoSet {
    GUID classGuid;
    std::vector<std::string> paths;
};

struct SetRef : uhandle::Ref<DeviceInfoSet> {
    explicit SetRef(HDEVINFO h) : Ref(h, uhandle::Kind::Other, &deviceInfoType) {}
};

constexpr DWORD kDetailHeader = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);

}  // namespace

HDEVINFO SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR_W, HWND, DWORD Flags) {
    if (ClassGuid == nullptr || !(Flags & DIGCF_DEVICEINTERFACE) || (Flags & DIGCF_ALLCLASSES)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto* set = kobj::create<DeviceInfoSet>(&deviceInfoType);
    if (!set) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    set->classGuid = *ClassGuid;
    // The host lists only interfaces that are enabled, which is what
    // DIGCF_PRESENT asks for; without it the answer is the same.
    DWORD err = uchannel::currentTransport()->enumerateInterfaces(*ClassGuid, &set->paths);
    if (err != ERROR_SUCCESS) {
        ObfDereferenceObject(set);
        SetLastError(err);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = uhandle::insert(set, uhandle::Kind::Other);
    ObfDereferenceObject(set);
    SetLastError(ERROR_SUCCESS);
    return h;
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA,
                                 const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                 PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    SetRef ref(DeviceInfoSet);
    if (!ref) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (InterfaceClassGuid == nullptr || DeviceInterfaceData == nullptr ||
        DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!(*InterfaceClassGuid == ref->classGuid) || MemberIndex >= ref->paths.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    DeviceInterfaceData->InterfaceClassGuid = ref->classGuid;
    DeviceInterfaceData->Flags = SPINT_ACTIVE;
    DeviceInterfaceData->Reserved = MemberIndex + 1;  // which member this is; 0 is never valid
    return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet,
                                      PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                      DWORD DeviceInterfaceDetailDataSize, LPDWORD RequiredSize,
                                      PSP_DEVINFO_DATA) {
    SetRef ref(DeviceInfoSet);
    if (!ref) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (DeviceInterfaceData == nullptr ||
        DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
        DeviceInterfaceData->Reserved == 0 ||
        DeviceInterfaceData->Reserved > ref->paths.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::string& path = ref->paths[DeviceInterfaceData->Reserved - 1];
    DWORD needed = kDetailHeader + static_cast<DWORD>(path.size()) + 1;
    if (RequiredSize) *RequiredSize = needed;
    if (DeviceInterfaceDetailData == nullptr) {
        if (DeviceInterfaceDetailDataSize != 0) {
            SetLastError(ERROR_INVALID_USER_BUFFER);
            return FALSE;
        }
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (DeviceInterfaceDetailDataSize < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(DeviceInterfaceDetailData->DevicePath, path.c_str(), path.size() + 1);
    return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    SetRef ref(DeviceInfoSet);
    if (!ref) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return CloseHandle(DeviceInfoSet);
}
