// Run-time library string and memory helpers of the kernel, and the model's
// conversions between counted strings and std::string.
#pragma once

#include <cstring>
#include <string>

#include "platform/kernel/basetypes.h"
#include "platform/kernel/ntstatus.h"

void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
void RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString);
NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, const ANSI_STRING* SourceString,
                                      BOOLEAN AllocateDestinationString);
NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString);
void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
void RtlFreeAnsiString(PANSI_STRING AnsiString);
void RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
NTSTATUS RtlStringFromGUID(const GUID& Guid, PUNICODE_STRING GuidString);
NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String);
NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value);

inline void RtlZeroMemory(void* d, SIZE_T n) { std::memset(d, 0, n); }
inline void RtlCopyMemory(void* d, const void* s, SIZE_T n) { std::memcpy(d, s, n); }
inline void RtlMoveMemory(void* d, const void* s, SIZE_T n) { std::memmove(d, s, n); }
inline void RtlFillMemory(void* d, SIZE_T n, UCHAR v) { std::memset(d, v, n); }
inline SIZE_T RtlCompareMemory(const void* a, const void* b, SIZE_T n) {
    SIZE_T i = 0;
    auto* x = static_cast<const UCHAR*>(a);
    auto* y = static_cast<const UCHAR*>(b);
    while (i < n && x[i] == y[i]) ++i;
    return i;
}

namespace krtl {
// Counted wide string to narrow text (characters above 0x7F become '?').
std::string narrow(PCUNICODE_STRING s);
std::u16string wide(const std::string& s);
std::string narrow(const std::u16string& s);
// Allocates a counted wide string holding `text` (freed with RtlFreeUnicodeString).
NTSTATUS allocateUnicode(const std::string& text, PUNICODE_STRING out);
NTSTATUS allocateUnicode(const std::u16string& text, PUNICODE_STRING out);
}  // namespace krtl
