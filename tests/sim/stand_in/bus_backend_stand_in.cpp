// Test-only definition of the bus's default capabilities, linked while the
// bus implementation is not in the tree (tests/sim/CMakeLists.txt picks it
// only then).
#include "platform/usb/bus.h"

namespace usbbus {

void DeviceBackend::capabilities(DEVICE_CAPABILITIES*) {}

}  // namespace usbbus
