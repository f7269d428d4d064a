#include "DeviceList.h"

#include <algorithm>

#include "ModuleState.h"

namespace {
// A list's lock, ranked: taken inside the pass lock, never around another list.
struct ListLock : RankedLock {
  explicit ListLock(std::mutex& mtx) : RankedLock(mtx, LockRank::kDeviceList) {}
};

template <class List>
auto FindPath(List& list, const std::string& path) {
  return std::find_if(list.begin(), list.end(), [&](const stDevice& e) { return e.strInstancePath == path; });
}
}  // namespace

bool device_list::Find(const stDevice& device, stDevice* found) {
  ListLock lock(m_mtx);
  auto it = FindPath(m_vec, device.strInstancePath);
  if (it == m_vec.end()) return false;
  // An entry read back from the file knows only its instance path.
  if (it->strDeviceClassGuid.empty()) {
    it->strDeviceID = device.strDeviceID;
    it->strDeviceClassGuid = device.strDeviceClassGuid;
    it->strDeviceName = device.strDeviceName;
  }
  if (found != nullptr) *found = *it;
  return true;
}

bool device_list::Contains(const std::string& strInstancePath) {
  ListLock lock(m_mtx);
  return FindPath(m_vec, strInstancePath) != m_vec.end();
}

bool device_list::EraseOne(const std::string& strInstancePath) {
  ListLock lock(m_mtx);
  auto it = FindPath(m_vec, strInstancePath);
  if (it == m_vec.end()) return false;
  m_vec.erase(it);
  return true;
}

bool device_list::AppendIfAbsent(const stDevice& device) {
  ListLock lock(m_mtx);
  if (FindPath(m_vec, device.strInstancePath) != m_vec.end()) return false;
  m_vec.push_back(device);
  return true;
}

std::vector<stDevice> device_list::Snapshot() {
  ListLock lock(m_mtx);
  return m_vec;
}

void device_list::Replace(std::vector<stDevice> devices) {
  ListLock lock(m_mtx);
  m_vec = std::move(devices);
}

size_t device_list::Size() {
  ListLock lock(m_mtx);
  return m_vec.size();
}

void device_list::ForEach(const std::function<void(stDevice&)>& visit) {
  ListLock lock(m_mtx);
  for (stDevice& entry : m_vec) visit(entry);
}
