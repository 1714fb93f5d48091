// The kernel model: everything the driver calls from the kernel, in one include.
#pragma once

#include "platform/kernel/basetypes.h"
#include "platform/kernel/clock.h"
#include "platform/kernel/dispatcher.h"
#include "platform/kernel/faults.h"
#include "platform/kernel/io.h"
#include "platform/kernel/ntstatus.h"
#include "platform/kernel/object.h"
#include "platform/kernel/pool.h"
#include "platform/kernel/rtl.h"
#include "platform/kernel/spinlock.h"
#include "platform/kernel/thread.h"
#include "platform/kernel/timer.h"
#include "platform/kernel/verifier.h"
