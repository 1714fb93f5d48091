// The kernel's registry calls, over the registry store (platform/registry).
// Paths are the kernel's: "\Registry\Machine\..." (machine hive) and
// "\Registry\User\.DEFAULT\..." or "\Registry\User\<name>\..." (user hive).
// Key and value names compare case-insensitively. Key handles are kernel
// handles closed with ZwClose.
#pragma once

#include "platform/kernel/io.h"
#include "platform/kernel/object.h"

constexpr ULONG REG_NONE = 0;
constexpr ULONG REG_SZ = 1;
constexpr ULONG REG_EXPAND_SZ = 2;
constexpr ULONG REG_BINARY = 3;
constexpr ULONG REG_DWORD = 4;
constexpr ULONG REG_MULTI_SZ = 7;

constexpr ULONG REG_OPTION_NON_VOLATILE = 0;
constexpr ULONG REG_CREATED_NEW_KEY = 1;
constexpr ULONG REG_OPENED_EXISTING_KEY = 2;

enum KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation = 0,
    KeyValueFullInformation = 1,
    KeyValuePartialInformation = 2,
};

struct KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
};
using PKEY_VALUE_PARTIAL_INFORMATION = KEY_VALUE_PARTIAL_INFORMATION*;

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes);
NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                     ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition);
// Partial information only. STATUS_OBJECT_NAME_NOT_FOUND when the value is
// absent; STATUS_BUFFER_TOO_SMALL / STATUS_BUFFER_OVERFLOW with *ResultLength
// set to the size needed when the buffer is short.
NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength);
NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize);
NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName);

// RtlQueryRegistryValues with RTL_QUERY_REGISTRY_DIRECT entries, the way the
// driver uses it: RelativeTo RTL_REGISTRY_ABSOLUTE (a full path) or
// RTL_REGISTRY_HANDLE (Path is a key handle).
constexpr ULONG RTL_REGISTRY_ABSOLUTE = 0;
constexpr ULONG RTL_REGISTRY_HANDLE = 0x40000000;
constexpr ULONG RTL_REGISTRY_OPTIONAL = 0x80000000;
constexpr ULONG RTL_QUERY_REGISTRY_REQUIRED = 0x00000004;
constexpr ULONG RTL_QUERY_REGISTRY_DIRECT = 0x00000020;

using PRTL_QUERY_REGISTRY_ROUTINE = NTSTATUS (*)(PWCHAR ValueName, ULONG ValueType, PVOID ValueData,
                                                 ULONG ValueLength, PVOID Context, PVOID EntryContext);

struct RTL_QUERY_REGISTRY_TABLE {
    PRTL_QUERY_REGISTRY_ROUTINE QueryRoutine;  // must be null (direct queries only)
    ULONG Flags;
    PWCHAR Name;
    PVOID EntryContext;  // REG_DWORD: a ULONG; REG_SZ: a UNICODE_STRING with its buffer
    ULONG DefaultType;
    PVOID DefaultData;
    ULONG DefaultLength;
};
using PRTL_QUERY_REGISTRY_TABLE = RTL_QUERY_REGISTRY_TABLE*;

// Table ends with an entry whose QueryRoutine and Name are both null.
NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                PVOID Context, PVOID Environment);
NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                               PVOID ValueData, ULONG ValueLength);
NTSTATUS RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path);

constexpr ULONG PLUGPLAY_REGKEY_DEVICE = 1;
constexpr ULONG PLUGPLAY_REGKEY_DRIVER = 2;
// Opens the software (driver) key of the device instance of the physical
// device object: stable across restarts for the same instance path.
NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DevInstRegKey);
