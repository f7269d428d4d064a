#include "common/util/WorkerThread.h"

#include "platform/winapi.h"

#if DM_USE_QT_THREADS
#include <QThread>
#include <mutex>
#include <vector>
#else
#include <thread>
#endif

#if DM_USE_QT_THREADS

namespace {

// A QThread cannot delete itself while it runs, and deleteLater needs an event
// loop the module does not have. The objects therefore stay in this list, which
// keeps them reachable, and those that have finished are deleted the next time
// a thread is started. The module's own workers run until the process ends,
// so in practice they are kept for its whole life.
std::mutex& ThreadListLock() {
  static std::mutex lock;
  return lock;
}

std::vector<QThread*>& ThreadList() {
  static std::vector<QThread*>* list = new std::vector<QThread*>();
  return *list;
}

}  // namespace

bool StartWorkerThread(WorkerEntry entry, void* argument) {
  if (entry == nullptr) return false;
  try {
    std::lock_guard<std::mutex> guard(ThreadListLock());
    std::vector<QThread*>& list = ThreadList();
    for (auto it = list.begin(); it != list.end();) {
      if ((*it)->isFinished()) {
        delete *it;
        it = list.erase(it);
      } else {
        ++it;
      }
    }
    list.reserve(list.size() + 1);
    QThread* thread = QThread::create([entry, argument]() {
      PlatformThreadBegins();
      try {
        entry(argument);
      } catch (...) {
        // Thread entries catch their own exceptions; nothing may leave a thread.
      }
    });
    if (thread == nullptr) return false;
    list.push_back(thread);
    PlatformAnnounceThread();
    thread->start(QThread::InheritPriority);
    return true;
  } catch (...) {
    return false;
  }
}

#else

bool StartWorkerThread(WorkerEntry entry, void* argument) {
  if (entry == nullptr) return false;
  try {
    PlatformAnnounceThread();
    std::thread([entry, argument]() {
      PlatformThreadBegins();
      try {
        entry(argument);
      } catch (...) {
        // Thread entries catch their own exceptions; nothing may leave a thread.
      }
    }).detach();
    return true;
  } catch (...) {
    PlatformThreadBegins();  // takes the announcement back: no thread will run
    return false;
  }
}

#endif

// Through the platform, so that the simulated machine's clock sees the pause.
void WorkerSleepMs(unsigned long milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }
