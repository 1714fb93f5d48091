// Plug and Play and power dispatch, and the sequences that start and stop the
// modules behind the gate.
#pragma once

#include <atomic>

#include "platform/kernel/wdm.h"

struct DeviceContext;

NTSTATUS PAV512_DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PAV512_DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);

NTSTATUS startSequence(DeviceContext* device);
void stopSequence(DeviceContext* device);
void removalSequence(DeviceContext* device);
// Success when the device may stop (holding stays set); STATUS_UNSUCCESSFUL
// with the held requests dispatched when a session is open.
NTSTATUS stopVeto(DeviceContext* device);

// Adds one to the "CameraChange" value user mode watches for arrivals and
// departures. Nothing is written when the key cannot be opened or made.
void incrementCameraChange();
extern const WCHAR kCameraChangeKey[];
extern const WCHAR kCameraChangeValue[];

// Cancels the wait-wake request held in the slot, if any.
void cancelWaitWake(DeviceContext* device);
// Called (when set) between taking a wait-wake request out of its slot and
// cancelling it, on the canceller's thread: lets tests complete the request
// inside that window, which is otherwise a few instructions wide.
using WaitWakeTakenHook = void (*)(DeviceContext* device);
extern std::atomic<WaitWakeTakenHook> waitWakeTakenHook;
// Asks the power manager for a wait-wake request for the device at its
// SystemWake state; STATUS_INVALID_DEVICE_STATE when one is already pending
// or the device cannot wake the system from a sleeping state.
NTSTATUS requestWaitWake(DeviceContext* device);
// Tears down what the device still holds and deletes it; the record is gone
// afterwards.
void deleteDevice(DeviceContext* device);
