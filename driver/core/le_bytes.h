// Little-endian fields of request buffers and PTP datasets, read and written
// at any alignment: a client's buffer promises none.
#pragma once

#include <cstring>

#include "platform/kernel/wdm.h"

inline ULONG get32(const UCHAR* p) {
    ULONG v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline USHORT get16(const UCHAR* p) {
    USHORT v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void put32(UCHAR* p, ULONG v) {
    std::memcpy(p, &v, sizeof v);
}
