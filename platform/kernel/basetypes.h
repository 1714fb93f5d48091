// Base types of the NT model shared by the kernel and user-mode stand-ins.
#pragma once

#include <cstddef>
#include <cstdint>

using UCHAR = std::uint8_t;
using USHORT = std::uint16_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using SHORT = std::int16_t;
using CSHORT = std::int16_t;
using CHAR = char;
using CCHAR = char;
using ULONGLONG = std::uint64_t;
using LONGLONG = std::int64_t;
using BOOLEAN = std::uint8_t;
using PVOID = void*;
using ULONG_PTR = std::uintptr_t;
using LONG_PTR = std::intptr_t;
using SIZE_T = std::size_t;
using NTSTATUS = std::int32_t;
using WCHAR = char16_t;
using HANDLE = void*;
using PHANDLE = HANDLE*;
using KIRQL = UCHAR;
using PKIRQL = KIRQL*;
using KPRIORITY = LONG;
using ACCESS_MASK = ULONG;
using KPROCESSOR_MODE = CCHAR;
using PUCHAR = UCHAR*;
using PULONG = ULONG*;
using PUSHORT = USHORT*;
using PLONG = LONG*;
using PCHAR = CHAR*;
using PWCHAR = WCHAR*;
using PCWSTR = const WCHAR*;
using PCSTR = const char*;
using PWSTR = WCHAR*;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

constexpr KPROCESSOR_MODE KernelMode = 0;
constexpr KPROCESSOR_MODE UserMode = 1;

constexpr KIRQL PASSIVE_LEVEL = 0;
constexpr KIRQL APC_LEVEL = 1;
constexpr KIRQL DISPATCH_LEVEL = 2;

union LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};
using PLARGE_INTEGER = LARGE_INTEGER*;

struct GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
};
static_assert(sizeof(GUID) == 16);
using LPGUID = GUID*;
using LPCGUID = const GUID*;

inline bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}

struct LIST_ENTRY {
    LIST_ENTRY* Flink;
    LIST_ENTRY* Blink;
};
using PLIST_ENTRY = LIST_ENTRY*;

struct SINGLE_LIST_ENTRY {
    SINGLE_LIST_ENTRY* Next;
};
using PSINGLE_LIST_ENTRY = SINGLE_LIST_ENTRY*;

struct UNICODE_STRING {
    USHORT Length;         // bytes, without terminator
    USHORT MaximumLength;  // bytes
    PWCHAR Buffer;
};
using PUNICODE_STRING = UNICODE_STRING*;
using PCUNICODE_STRING = const UNICODE_STRING*;

struct ANSI_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
};
using PANSI_STRING = ANSI_STRING*;

// The model's own name for a struct offset, as CONTAINING_RECORD in the DDK.
#define CONTAINING_RECORD(address, type, field) \
    (reinterpret_cast<type*>(reinterpret_cast<char*>(address) - offsetof(type, field)))
