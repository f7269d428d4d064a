// The module's worker threads: QThread from Qt Core in the native build,
// std::thread where no Qt is packaged (the mingw build); chosen by the CMake
// option DM_USE_QT_THREADS. Threads are started detached: nobody joins them.
#pragma once
#include <cstdint>

typedef uint32_t (*WorkerEntry)(void* argument);

// Starts `entry(argument)` on a new detached thread at the creator's priority.
// Returns false when the thread could not be created.
bool StartWorkerThread(WorkerEntry entry, void* argument);
// Pauses the calling thread.
void WorkerSleepMs(unsigned long milliseconds);
