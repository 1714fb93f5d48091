// The kernel's registry calls, over the registry store (platform/registry).
// Paths are the kernel's: "\Registry\Machine\..." (machine hive) and
// "\Registry\User\.DEFAULT\..." or "\Registry\User\<name>\..." (user hive).
// Key and value names compare case-insensitively. Key handles are kernel
// handles closed with ZwClose.
//
// kfault::RegistryOpen makes opens fail with STATUS_INSUFFICIENT_RESOURCES:
// ZwOpenKey, ZwCreateKey, IoOpenDeviceRegistryKey, and the opens by path
// inside RtlQueryRegistryValues, RtlWriteRegistryValue and RtlCheckRegistryKey.
#pragma once

#include "platform/kernel/io.h"
#include "platform/kernel/object.h"

using PWSTR = WCHAR*;

constexpr ULONG REG_NONE = 0;
constexpr ULONG REG_SZ = 1;
constexpr ULONG REG_EXPAND_SZ = 2;
constexpr ULONG REG_BINARY = 3;
constexpr ULONG REG_DWORD = 4;
constexpr ULONG REG_MULTI_SZ = 7;

constexpr NTSTATUS STATUS_REGISTRY_IO_FAILED = static_cast<NTSTATUS>(0xC000014D);
constexpr NTSTATUS STATUS_KEY_DELETED = static_cast<NTSTATUS>(0xC000017C);

// Rights of a key handle (KEY_READ, KEY_WRITE and KEY_ALL_ACCESS are in object.h).
constexpr ACCESS_MASK KEY_QUERY_VALUE = 0x0001;
constexpr ACCESS_MASK KEY_SET_VALUE = 0x0002;
constexpr ACCESS_MASK KEY_CREATE_SUB_KEY = 0x0004;
constexpr ACCESS_MASK KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr ACCESS_MASK KEY_NOTIFY = 0x0010;

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

// STATUS_OBJECT_NAME_NOT_FOUND when the key is absent. ObjectAttributes may
// name the key relative to its RootDirectory (a key handle).
NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                   POBJECT_ATTRIBUTES ObjectAttributes);
// Creates the last component only: STATUS_OBJECT_NAME_NOT_FOUND when its
// parent does not exist. Disposition (optional) tells REG_CREATED_NEW_KEY from
// REG_OPENED_EXISTING_KEY. "\Registry" and "\Registry\User" open as keys
// that hold no values.
NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                     POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex, PUNICODE_STRING Class,
                     ULONG CreateOptions, PULONG Disposition);
// Partial information only. STATUS_OBJECT_NAME_NOT_FOUND when the value is
// absent; STATUS_BUFFER_TOO_SMALL / STATUS_BUFFER_OVERFLOW with *ResultLength
// set to the size needed when the buffer is short.
NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);
NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                       PVOID Data, ULONG DataSize);
NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName);

// RtlQueryRegistryValues with RTL_QUERY_REGISTRY_DIRECT entries, the way the
// driver uses it: RelativeTo RTL_REGISTRY_ABSOLUTE (a full path),
// RTL_REGISTRY_HANDLE (Path is a key handle) or one of the well-known roots.
constexpr ULONG RTL_REGISTRY_ABSOLUTE = 0;
// The well-known roots:
//   SERVICES    \Registry\Machine\System\CurrentControlSet\Services
//   CONTROL     \Registry\Machine\System\CurrentControlSet\Control
//   WINDOWS_NT  \Registry\Machine\Software\Microsoft\Windows NT\CurrentVersion
//   DEVICEMAP   \Registry\Machine\Hardware\DeviceMap
//   USER        \Registry\User\.DEFAULT
constexpr ULONG RTL_REGISTRY_SERVICES = 1;
constexpr ULONG RTL_REGISTRY_CONTROL = 2;
constexpr ULONG RTL_REGISTRY_WINDOWS_NT = 3;
constexpr ULONG RTL_REGISTRY_DEVICEMAP = 4;
constexpr ULONG RTL_REGISTRY_USER = 5;
constexpr ULONG RTL_REGISTRY_HANDLE = 0x40000000;
constexpr ULONG RTL_REGISTRY_OPTIONAL = 0x80000000;
constexpr ULONG RTL_QUERY_REGISTRY_REQUIRED = 0x00000004;
constexpr ULONG RTL_QUERY_REGISTRY_DIRECT = 0x00000020;

using PRTL_QUERY_REGISTRY_ROUTINE = NTSTATUS (*)(PWCHAR ValueName, ULONG ValueType, PVOID ValueData,
                                                 ULONG ValueLength, PVOID Context,
                                                 PVOID EntryContext);

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

// Table ends with an entry whose QueryRoutine and Name are both null. For each
// entry: a value of a string type goes into the UNICODE_STRING (allocated when
// its Buffer is null, else STATUS_BUFFER_TOO_SMALL unless it fits with its
// terminator); other data of up to 4 bytes is copied to EntryContext; longer
// data follows the platform's rule (a negative first LONG: the data alone into
// a buffer of that size; else length, type and data). An absent value takes
// the entry's default; without one it is skipped, or with
// RTL_QUERY_REGISTRY_REQUIRED fails the call. A value whose type is a string
// where the default is not (or the other way round) is treated as absent, so
// a stray value can never be written over a caller's variable of the wrong
// shape.
NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                PVOID Context, PVOID Environment);
NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                               PVOID ValueData, ULONG ValueLength);
NTSTATUS RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path);

constexpr ULONG PLUGPLAY_REGKEY_DEVICE = 1;
constexpr ULONG PLUGPLAY_REGKEY_DRIVER = 2;
// Opens the software (driver) key of the device instance of the physical
// device object: stable across restarts for the same instance path. The
// instance's key ...\Enum\<instance path> keeps its "Driver" value naming
// ...\Control\Class\{image class}\NNNN, the number handed out once.
// PLUGPLAY_REGKEY_DEVICE opens ...\Enum\<instance path>\Device Parameters.
NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                 ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey);
