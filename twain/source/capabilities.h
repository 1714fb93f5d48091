// The data source's capability table and the DAT_CAPABILITY operations on it.
#pragma once

#include <cstdint>
#include <vector>

#include "twain/twain_types.h"

namespace pavtw {

// One value of a capability: FIX32 rows keep a real number, the others the
// integer the item type holds.
struct CapValue {
    double real = 0;
    std::int32_t integer = 0;
};

struct CapabilityRow {
    TW_UINT16 cap;
    TW_UINT16 itemType;
    TW_UINT16 getContainer;      // MSG_GET
    TW_UINT16 currentContainer;  // MSG_GETCURRENT, MSG_GETDEFAULT
    TW_UINT16 operations;        // TWQC bits
    std::vector<CapValue> allowed;
    CapValue current;
    CapValue defaultValue;
};

// TW_FIX32 conversions: whole part and 1/65536 fractions, rounded to nearest.
TW_FIX32 toFix32(double value);
double fromFix32(TW_FIX32 value);

class CapabilityEngine {
  public:
    CapabilityEngine();
    // Puts every current value back to its default (a new session).
    void reset();
    // Answers one DAT_CAPABILITY message. On failure *condition holds the
    // reason (before the old-application rule, which the caller applies).
    TW_UINT16 handle(TW_UINT16 msg, pTW_CAPABILITY cap, TW_UINT16* condition);
    const std::vector<CapabilityRow>& rows() const { return rows_; }

  private:
    CapabilityRow* find(TW_UINT16 cap);
    TW_UINT16 build(const CapabilityRow& row, TW_UINT16 container, const CapValue& value,
                    pTW_CAPABILITY cap, TW_UINT16* condition);
    TW_UINT16 set(CapabilityRow& row, pTW_CAPABILITY cap, TW_UINT16* condition);
    std::vector<CapabilityRow> rows_;
};

}  // namespace pavtw
