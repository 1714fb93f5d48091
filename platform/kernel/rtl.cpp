#include "platform/kernel/rtl.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace krtl {

std::string narrow(const std::u16string& s) {
    std::string out;
    out.reserve(s.size());
    for (char16_t c : s) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

std::string narrow(PCUNICODE_STRING s) {
    if (!s || !s->Buffer) return {};
    return narrow(std::u16string(s->Buffer, s->Length / sizeof(WCHAR)));
}

std::u16string wide(const std::string& s) {
    std::u16string out;
    out.reserve(s.size());
    for (char c : s) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    return out;
}

NTSTATUS allocateUnicode(const std::u16string& text, PUNICODE_STRING out) {
    size_t bytes = text.size() * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > 0xFFFF) return STATUS_INVALID_PARAMETER;
    auto* buf = static_cast<PWCHAR>(std::malloc(bytes + sizeof(WCHAR)));
    if (!buf) return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(buf, text.data(), bytes);
    buf[text.size()] = 0;
    out->Buffer = buf;
    out->Length = static_cast<USHORT>(bytes);
    out->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS allocateUnicode(const std::string& text, PUNICODE_STRING out) { return allocateUnicode(wide(text), out); }

}  // namespace krtl

void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    size_t n = 0;
    if (SourceString)
        while (SourceString[n]) ++n;
    if (n * sizeof(WCHAR) > 0xFFFC) n = 0xFFFC / sizeof(WCHAR);
    DestinationString->Buffer = const_cast<PWCHAR>(SourceString);
    DestinationString->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    DestinationString->MaximumLength = SourceString ? static_cast<USHORT>((n + 1) * sizeof(WCHAR)) : 0;
}

void RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
    size_t n = SourceString ? std::strlen(SourceString) : 0;
    if (n > 0xFFFE) n = 0xFFFE;
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    DestinationString->Length = static_cast<USHORT>(n);
    DestinationString->MaximumLength = SourceString ? static_cast<USHORT>(n + 1) : 0;
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, const ANSI_STRING* SourceString,
                                      BOOLEAN AllocateDestinationString) {
    std::string s(SourceString->Buffer ? SourceString->Buffer : "", SourceString->Length);
    if (AllocateDestinationString) return krtl::allocateUnicode(s, DestinationString);
    std::u16string w = krtl::wide(s);
    if (w.size() * sizeof(WCHAR) > DestinationString->MaximumLength) return STATUS_BUFFER_OVERFLOW;
    std::memcpy(DestinationString->Buffer, w.data(), w.size() * sizeof(WCHAR));
    DestinationString->Length = static_cast<USHORT>(w.size() * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
    std::string s = krtl::narrow(SourceString);
    if (AllocateDestinationString) {
        auto* buf = static_cast<PCHAR>(std::malloc(s.size() + 1));
        if (!buf) return STATUS_INSUFFICIENT_RESOURCES;
        DestinationString->Buffer = buf;
        DestinationString->MaximumLength = static_cast<USHORT>(s.size() + 1);
    } else if (s.size() + 1 > DestinationString->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    std::memcpy(DestinationString->Buffer, s.c_str(), s.size() + 1);
    DestinationString->Length = static_cast<USHORT>(s.size());
    return STATUS_SUCCESS;
}

void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    std::free(UnicodeString->Buffer);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

void RtlFreeAnsiString(PANSI_STRING AnsiString) {
    std::free(AnsiString->Buffer);
    AnsiString->Buffer = nullptr;
    AnsiString->Length = AnsiString->MaximumLength = 0;
}

void RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (!SourceString || !SourceString->Buffer) {
        DestinationString->Length = 0;
        return;
    }
    USHORT n = SourceString->Length;
    if (n > DestinationString->MaximumLength) n = DestinationString->MaximumLength;
    std::memmove(DestinationString->Buffer, SourceString->Buffer, n);
    DestinationString->Length = n;
    if (n + sizeof(WCHAR) <= DestinationString->MaximumLength) DestinationString->Buffer[n / sizeof(WCHAR)] = 0;
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    if (!Source || Source->Length == 0) return STATUS_SUCCESS;
    if (Destination->Length + Source->Length > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    std::memmove(reinterpret_cast<char*>(Destination->Buffer) + Destination->Length, Source->Buffer,
                 Source->Length);
    Destination->Length = static_cast<USHORT>(Destination->Length + Source->Length);
    if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength)
        Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, Source);
    return RtlAppendUnicodeStringToString(Destination, &s);
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    size_t n1 = String1->Length / sizeof(WCHAR), n2 = String2->Length / sizeof(WCHAR);
    for (size_t i = 0; i < n1 && i < n2; ++i) {
        WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
        if (CaseInSensitive) {
            if (a < 0x80) a = static_cast<WCHAR>(std::toupper(a));
            if (b < 0x80) b = static_cast<WCHAR>(std::toupper(b));
        }
        if (a != b) return a < b ? -1 : 1;
    }
    return n1 == n2 ? 0 : (n1 < n2 ? -1 : 1);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

NTSTATUS RtlStringFromGUID(const GUID& g, PUNICODE_STRING GuidString) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return krtl::allocateUnicode(std::string(buf), GuidString);
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
    if (Base == 0) Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
    char digits[40];
    int n = 0;
    do {
        ULONG d = Value % Base;
        digits[n++] = static_cast<char>(d < 10 ? '0' + d : 'A' + d - 10);
        Value /= Base;
    } while (Value);
    if (static_cast<size_t>(n + 1) * sizeof(WCHAR) > String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
    for (int i = 0; i < n; ++i) String->Buffer[i] = static_cast<WCHAR>(digits[n - 1 - i]);
    String->Buffer[n] = 0;
    String->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
    std::string s = krtl::narrow(String);
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    bool neg = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
    if (Base == 0) {
        Base = 10;
        if (i + 1 < s.size() && s[i] == '0') {
            char p = s[i + 1];
            if (p == 'x') Base = 16, i += 2;
            else if (p == 'o') Base = 8, i += 2;
            else if (p == 'b') Base = 2, i += 2;
        }
    } else if (Base != 2 && Base != 8 && Base != 10 && Base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG v = 0;
    for (; i < s.size(); ++i) {
        int c = std::toupper(static_cast<unsigned char>(s[i]));
        ULONG d;
        if (c >= '0' && c <= '9') d = static_cast<ULONG>(c - '0');
        else if (c >= 'A' && c <= 'F') d = static_cast<ULONG>(c - 'A' + 10);
        else break;
        if (d >= Base) break;
        v = v * Base + d;
    }
    *Value = neg ? static_cast<ULONG>(-static_cast<LONG>(v)) : v;
    return STATUS_SUCCESS;
}
