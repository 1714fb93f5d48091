#include "twain/source/capabilities.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace pavtw {

namespace {

constexpr TW_UINT16 kAll = TWQC_GET | TWQC_SET | TWQC_GETDEFAULT | TWQC_GETCURRENT | TWQC_RESET;
constexpr TW_UINT16 kReadOnly = TWQC_GET | TWQC_GETDEFAULT | TWQC_GETCURRENT;

CapValue integer(std::int32_t v) {
    CapValue c;
    c.integer = v;
    c.real = v;
    return c;
}
CapValue real(double v) {
    CapValue c;
    c.real = v;
    return c;
}

CapabilityRow oneValue(TW_UINT16 cap, TW_UINT16 type, TW_UINT16 ops, std::vector<CapValue> allowed,
                       CapValue value) {
    return CapabilityRow{cap, type, TWON_ONEVALUE, TWON_ONEVALUE, ops, std::move(allowed), value, value};
}

std::size_t itemSize(TW_UINT16 type) {
    switch (type) {
    case TWTY_INT8:
    case TWTY_UINT8:
        return 1;
    case TWTY_INT16:
    case TWTY_UINT16:
    case TWTY_BOOL:
        return 2;
    case TWTY_INT32:
    case TWTY_UINT32:
    case TWTY_FIX32:
        return 4;
    default:
        return 0;
    }
}

// The item's bytes as a container carries them (little-endian).
void encode(TW_UINT16 type, const CapValue& v, TW_UINT8* out) {
    if (type == TWTY_FIX32) {
        TW_FIX32 f = toFix32(v.real);
        std::memcpy(out, &f, sizeof f);
        return;
    }
    std::uint32_t bits = static_cast<std::uint32_t>(v.integer);
    std::memcpy(out, &bits, itemSize(type));
}

}  // namespace

TW_FIX32 toFix32(double value) {
    // Rounded to the nearest 1/65536; the fraction is what lies above the
    // (floored) whole part, as TWAIN's own conversion has it.
    long scaled = std::lround(value * 65536.0);
    TW_FIX32 f;
    f.Whole = static_cast<TW_INT16>(scaled >> 16);
    f.Frac = static_cast<TW_UINT16>(scaled & 0xFFFF);
    return f;
}

double fromFix32(TW_FIX32 value) { return value.Whole + value.Frac / 65536.0; }

CapabilityEngine::CapabilityEngine() {
    std::vector<TW_UINT16> ids = {CAP_SUPPORTEDCAPS,  ICAP_XFERMECH,       ICAP_PIXELFLAVOR,
                                  ICAP_PLANARCHUNKY,  ICAP_COMPRESSION,    ICAP_PHYSICALWIDTH,
                                  ICAP_PHYSICALHEIGHT, ICAP_UNITS,         ICAP_BITDEPTH,
                                  ICAP_PIXELTYPE,     ICAP_BITORDER,       CAP_XFERCOUNT,
                                  CAP_UICONTROLLABLE};
    std::vector<CapValue> supported;
    for (TW_UINT16 id : ids) supported.push_back(integer(id));
    rows_.push_back(CapabilityRow{CAP_SUPPORTEDCAPS, TWTY_UINT16, TWON_ARRAY, TWON_ARRAY, kReadOnly,
                                  supported, {}, {}});
    rows_.push_back(oneValue(ICAP_XFERMECH, TWTY_UINT16, kAll,
                             {integer(TWSX_NATIVE), integer(TWSX_FILE), integer(TWSX_MEMORY)}, integer(0)));
    rows_.push_back(oneValue(ICAP_PIXELFLAVOR, TWTY_UINT16, kReadOnly, {integer(0)}, integer(0)));
    rows_.push_back(oneValue(ICAP_PLANARCHUNKY, TWTY_UINT16, kReadOnly, {integer(0)}, integer(0)));
    rows_.push_back(oneValue(ICAP_COMPRESSION, TWTY_UINT16, kReadOnly, {integer(TWCP_NONE)}, integer(0)));
    rows_.push_back(oneValue(ICAP_PHYSICALWIDTH, TWTY_FIX32, kReadOnly, {real(640)}, real(640)));
    rows_.push_back(oneValue(ICAP_PHYSICALHEIGHT, TWTY_FIX32, kReadOnly, {real(480)}, real(480)));
    rows_.push_back(oneValue(ICAP_UNITS, TWTY_UINT16, kAll, {integer(TWUN_PIXELS)}, integer(TWUN_PIXELS)));
    rows_.push_back(oneValue(ICAP_BITDEPTH, TWTY_UINT16, kAll, {integer(24)}, integer(24)));
    rows_.push_back(oneValue(ICAP_PIXELTYPE, TWTY_UINT16, kAll, {integer(TWPT_RGB)}, integer(TWPT_RGB)));
    rows_.push_back(oneValue(ICAP_BITORDER, TWTY_UINT16, kAll, {integer(TWBO_MSBFIRST)},
                             integer(TWBO_MSBFIRST)));
    std::vector<CapValue> counts = {integer(-1)};
    for (int i = 1; i <= 25; ++i) counts.push_back(integer(i));
    rows_.push_back(oneValue(CAP_XFERCOUNT, TWTY_INT16, kAll, counts, integer(-1)));
    rows_.push_back(oneValue(CAP_UICONTROLLABLE, TWTY_BOOL, kReadOnly, {integer(0)}, integer(0)));
}

void CapabilityEngine::reset() {
    for (CapabilityRow& row : rows_) row.current = row.defaultValue;
}

CapabilityRow* CapabilityEngine::find(TW_UINT16 cap) {
    for (CapabilityRow& row : rows_)
        if (row.cap == cap) return &row;
    return nullptr;
}

TW_UINT16 CapabilityEngine::build(const CapabilityRow& row, TW_UINT16 container, const CapValue& value,
                                  pTW_CAPABILITY cap, TW_UINT16* condition) {
    std::size_t size = itemSize(row.itemType);
    void* block = nullptr;
    if (container == TWON_ARRAY) {
        block = std::calloc(1, offsetof(TW_ARRAY, ItemList) + size * row.allowed.size());
        if (!block) {
            *condition = TWCC_LOWMEMORY;
            return TWRC_FAILURE;
        }
        auto* array = static_cast<pTW_ARRAY>(block);
        array->ItemType = row.itemType;
        array->NumItems = static_cast<TW_UINT32>(row.allowed.size());
        for (std::size_t i = 0; i < row.allowed.size(); ++i)
            encode(row.itemType, row.allowed[i], array->ItemList + i * size);
    } else {
        block = std::calloc(1, sizeof(TW_ONEVALUE));
        if (!block) {
            *condition = TWCC_LOWMEMORY;
            return TWRC_FAILURE;
        }
        auto* one = static_cast<pTW_ONEVALUE>(block);
        one->ItemType = row.itemType;
        TW_UINT8 bytes[4] = {};
        encode(row.itemType, value, bytes);
        std::memcpy(&one->Item, bytes, sizeof bytes);
    }
    // The application owns the container and frees it with the manager's
    // memory functions (heap blocks on this platform).
    cap->ConType = container;
    cap->hContainer = block;
    return TWRC_SUCCESS;
}

TW_UINT16 CapabilityEngine::set(CapabilityRow& row, pTW_CAPABILITY cap, TW_UINT16* condition) {
    const std::size_t size = itemSize(row.itemType);
    const void* container = cap->hContainer;
    std::vector<const TW_UINT8*> candidates;
    if (!container || size == 0) {
        *condition = TWCC_BADVALUE;
        return TWRC_FAILURE;
    }
    if (cap->ConType == TWON_ONEVALUE) {
        auto* one = static_cast<const TW_ONEVALUE*>(container);
        if (one->ItemType != row.itemType) {
            *condition = TWCC_BADVALUE;
            return TWRC_FAILURE;
        }
        candidates.push_back(reinterpret_cast<const TW_UINT8*>(&one->Item));
    } else if (cap->ConType == TWON_ENUMERATION) {
        auto* e = static_cast<const TW_ENUMERATION*>(container);
        if (e->ItemType != row.itemType) {
            *condition = TWCC_BADVALUE;
            return TWRC_FAILURE;
        }
        for (TW_UINT32 i = 0; i < e->NumItems; ++i) candidates.push_back(e->ItemList + i * size);
    } else {
        *condition = TWCC_BADVALUE;
        return TWRC_FAILURE;
    }
    for (const TW_UINT8* item : candidates) {
        for (const CapValue& allowed : row.allowed) {
            bool match;
            if (row.itemType == TWTY_FIX32) {
                TW_FIX32 f;
                std::memcpy(&f, item, sizeof f);
                match = fromFix32(f) == allowed.real;
            } else {
                TW_UINT8 bytes[4] = {};
                encode(row.itemType, allowed, bytes);
                match = std::memcmp(bytes, item, size) == 0;
            }
            if (match) {
                row.current = allowed;
                return TWRC_SUCCESS;
            }
        }
    }
    *condition = TWCC_BADVALUE;
    return TWRC_FAILURE;
}

TW_UINT16 CapabilityEngine::handle(TW_UINT16 msg, pTW_CAPABILITY cap, TW_UINT16* condition) {
    CapabilityRow* row = find(cap->Cap);
    if (!row) {
        *condition = TWCC_CAPUNSUPPORTED;
        return TWRC_FAILURE;
    }
    TW_UINT16 bit = 0;
    switch (msg) {
    case MSG_GET: bit = TWQC_GET; break;
    case MSG_GETCURRENT: bit = TWQC_GETCURRENT; break;
    case MSG_GETDEFAULT: bit = TWQC_GETDEFAULT; break;
    case MSG_SET: bit = TWQC_SET; break;
    case MSG_RESET: bit = TWQC_RESET; break;
    case MSG_QUERYSUPPORT: bit = 0; break;
    default:
        *condition = TWCC_CAPBADOPERATION;
        return TWRC_FAILURE;
    }
    if (bit && !(row->operations & bit)) {
        *condition = TWCC_CAPBADOPERATION;
        return TWRC_FAILURE;
    }
    switch (msg) {
    case MSG_GET:
        return build(*row, row->getContainer, row->current, cap, condition);
    case MSG_GETCURRENT:
        return build(*row, row->currentContainer, row->current, cap, condition);
    case MSG_GETDEFAULT:
        return build(*row, row->currentContainer, row->defaultValue, cap, condition);
    case MSG_SET:
        return set(*row, cap, condition);
    case MSG_RESET:
        row->current = row->defaultValue;
        return build(*row, row->currentContainer, row->defaultValue, cap, condition);
    default: {  // MSG_QUERYSUPPORT
        auto* one = static_cast<pTW_ONEVALUE>(std::calloc(1, sizeof(TW_ONEVALUE)));
        if (!one) {
            *condition = TWCC_LOWMEMORY;
            return TWRC_FAILURE;
        }
        one->ItemType = TWTY_UINT32;
        one->Item = row->operations;
        cap->ConType = TWON_ONEVALUE;
        cap->hContainer = one;
        return TWRC_SUCCESS;
    }
    }
}

}  // namespace pavtw
