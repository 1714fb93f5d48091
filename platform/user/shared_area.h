// What every process that uses the same driver host shares, whichever user
// runs it: the named mutexes and the library's shared data section. They live
// in one memory-mapped file beside the host's socket, so a client of the
// per-user host and a client of the service host never meet by accident, and
// the group that may use the service host may use the file.
//
// The area lives as long as some process has it attached. The first process to
// attach when no other has it (a process that was killed counts as gone: its
// lock on the file went with it) clears it, as the platform's named objects
// vanish with their last handle.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace ushared {

// Room for the data section of the library (its video-capture lock record).
constexpr std::size_t kDataSectionSize = 256;
// Named mutexes that may exist at once.
constexpr std::size_t kMutexSlots = 32;
constexpr std::size_t kMaxMutexName = 63;
constexpr char kAreaFileName[] = "pav512u.shm";

// The directory whose area this process uses: PAV512_RUNTIME_DIR when set,
// else the directory of the first host whose socket exists, else the per-user
// host's directory (created if missing), else, with no runtime directory at
// all, /tmp/pav512-<uid>/pav512 when only the user may change that folder. Empty
// when there is none.
std::string areaDirectory();

// Attaches the area (once per process; later calls answer the same). Null when
// the file cannot be made or mapped. `*first` tells whether this process found
// no other attached and cleared it.
struct Area;
Area* attach(bool* first = nullptr);
// The data section, kDataSectionSize bytes, zero after the first attach.
void* dataSection();

// A robust, recursive, process-shared mutex in slot `index` of the area.
struct MutexSlot;
// Finds the slot named `name` or makes it (under the area's file lock);
// `*existed` tells which. A slot made here is taken by the calling thread
// before any other process can see it when `takeIfNew` is set. Null when the
// area is missing or full.
MutexSlot* findOrCreateMutex(const char* name, bool takeIfNew, bool* existed);
pthread_mutex_t* mutexOf(MutexSlot* slot);

}  // namespace ushared
