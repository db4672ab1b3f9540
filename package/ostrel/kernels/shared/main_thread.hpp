// Whether the calling thread is the one that handles signals.
#pragma once

#include <Python.h>

namespace ostrel::kernels {

// The main thread's state is the oldest of the main interpreter's, and thread
// states are listed newest first; after a fork the forking thread's is the
// only one left.  (The interpreter's own test is private, and 3.13 no longer
// declares it.)  Called with the GIL held, which every change of the list
// but a foreign thread's deletion of another's state also holds.
inline bool on_main_thread()
{
    PyThreadState* oldest = PyInterpreterState_ThreadHead(PyInterpreterState_Main());
    while (oldest != nullptr && PyThreadState_Next(oldest) != nullptr) {
        oldest = PyThreadState_Next(oldest);
    }
    return oldest != nullptr && oldest == PyThreadState_Get();
}

} // namespace ostrel::kernels
