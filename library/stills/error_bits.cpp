// The still-image modules record their failures through the library's one
// diagnostic recorder, which keeps "DebugUserModeErr".
#include "library/stills/error_bits.h"

#include "library/device/pavdebug_internal.h"

namespace pavstills {

void recordErrorBits(std::uint32_t bits) {
    pavu::recordUserModeError(bits);
}

}  // namespace pavstills
