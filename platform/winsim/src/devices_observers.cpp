// Observers of device arrivals and removals: user32's device broadcasts
// register here, and the Plug and Play manager tells them one batch per
// presence pass.
#include <map>
#include <mutex>

#include "devices.h"

namespace winsim {
namespace internal {

namespace {
std::mutex g_observerMutex;
std::map<int, DeviceChangeObserver> g_observers;
int g_nextObserver = 1;
}  // namespace

int OnDeviceArrival(DeviceChangeObserver observer) {
  std::lock_guard<std::mutex> lock(g_observerMutex);
  g_observers[g_nextObserver] = std::move(observer);
  return g_nextObserver++;
}

void RemoveDeviceArrivalObserver(int token) {
  std::lock_guard<std::mutex> lock(g_observerMutex);
  g_observers.erase(token);
}

void NotifyDeviceChanges(const std::vector<DeviceChange>& changes) {
  std::vector<DeviceChangeObserver> observers;
  {
    std::lock_guard<std::mutex> lock(g_observerMutex);
    for (const auto& o : g_observers) observers.push_back(o.second);
  }
  for (const auto& o : observers) o(changes);
}

}  // namespace internal
}  // namespace winsim
