// Load and unload of the library: what every process that loads it sets up
// once and takes down again. The shared library runs them from its load and
// unload hooks; programs that link the library's code statically (the tests)
// call them themselves.
#pragma once

namespace pavu {

// Creates the registry lock, the video-property mutex (the first process
// clears the lock record) and the notification state. Safe to call again
// after processDetach.
void processAttach();
// Ends every notification, closes the handles still open (releasing a lock
// this process holds) and closes what attach made.
void processDetach();

}  // namespace pavu
