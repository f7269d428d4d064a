// One list of devices the module must remember (the forbidden list, the
// enable-failure list) together with the mutex that guards it: no caller can
// read or change a list without its lock. Entries are keyed by instance path.
#pragma once
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "DeviceRecord.h"

class device_list {
 public:
  device_list() = default;
  device_list(const device_list&) = delete;
  device_list& operator=(const device_list&) = delete;

  // The entry with `device`'s instance path; an entry read back from the file
  // (no class yet) is completed with `device`'s ID pattern, class and name.
  // False when there is none.
  bool Find(const stDevice& device, stDevice* found = nullptr);
  bool Contains(const std::string& strInstancePath);
  // Removes the entry; false when there was none.
  bool EraseOne(const std::string& strInstancePath);
  // Appends a copy unless an entry has the same instance path; true when added.
  bool AppendIfAbsent(const stDevice& device);
  // A copy of the entries, in order.
  std::vector<stDevice> Snapshot();
  void Replace(std::vector<stDevice> devices);
  size_t Size();
  // Visits every entry in order under the lock; the visitor may change the
  // entry but must not touch any list.
  void ForEach(const std::function<void(stDevice&)>& visit);

 private:
  std::mutex m_mtx;
  std::vector<stDevice> m_vec;
};
