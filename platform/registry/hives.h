// The two hives of this machine and where their files live.
//
//   machine: $PAV512_MACHINE_HIVE, else the service's machine.db (in
//            $PAV512_SERVICE_STATE_DIR, default /var/lib/pav512) for the driver
//            host run as a system service (PAV512_SERVICE=1) and for every
//            process that may read and write that file, so the service and its
//            clients share one set of machine values; else
//            $XDG_STATE_HOME/pav512/machine.db (XDG_STATE_HOME defaults to
//            ~/.local/state)
//   user:    $PAV512_USER_HIVE, else user.db in the service's folder for the
//            service, in $XDG_STATE_HOME/pav512 for everyone else
//
// Folders the store creates are private to their owner; a hive file is
// private too, or open to the group when its folder is (hives of a service
// that its group shares).
//
// Each hive is opened once per process, on first use; a child process made by
// fork opens its own instead of using its parent's connection. (SQLite keeps
// per-file state in the process, so a child that will use the registry is
// best forked before its parent opens a hive.)
#pragma once

#include <memory>
#include <string>

#include "platform/registry/store.h"

namespace regstore {

enum class Hive { Machine, User };

// The file of a hive as the environment says now.
std::string hivePath(Hive hive);

// The process's store for a hive; StoreFailed (and null) when it cannot be
// opened. Keys opened on it keep it alive.
Status hive(Hive which, std::shared_ptr<Store>* out);

// Forgets the process's open hives, so that the next use opens them again
// (after the environment changed, or to see what a restart would see).
void closeHives();

}  // namespace regstore
