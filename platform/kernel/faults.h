// Fault injection for the kernel model's services, so tests can walk the
// failure paths of the driver (pool has its own switch in kpool).
#pragma once

namespace kfault {

enum Kind { DeviceCreation, Attach, InterfaceRegistration, RegistryOpen, KindCount };

// The next `count` operations of `kind` fail.
void arm(Kind kind, int count);
// Consumes one armed failure; true when the operation must fail.
bool take(Kind kind);
void clearAll();

}  // namespace kfault
