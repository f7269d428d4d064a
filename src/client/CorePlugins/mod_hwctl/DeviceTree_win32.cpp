#include "DeviceTree_win32.h"

#include <cstring>
#include <set>

#include "DeviceControl_win32.h"
#include "common/util/DiagLog.h"
#include "common/util/WString.h"
#include "common/util/GuidText.h"
#include "common/util/TreeWalk.h"
#include "platform/winapi.h"

namespace {

const char kKeyboardClass[] = "4d36e96b-e325-11ce-bfc1-08002be10318";
const char kMouseClass[] = "4d36e96f-e325-11ce-bfc1-08002be10318";
const char kHidClass[] = "745a17a0-74d3-11d0-b6fe-00a0c90f57da";
const char kNetClass[] = "4d36e972-e325-11ce-bfc1-08002be10318";
const ULONG kCsConfigDisabled = 0x1;  // CSCONFIGFLAG_DISABLED

// Device interface classes that make a device an input device or a hub.
struct InterfaceKind {
  const WCHAR* pszGuid;
  const char* pszKind;
};
const InterfaceKind kInterfaceKinds[] = {
    {WIDE("{884b96c3-56ef-11d1-bc8c-00a0c91405dd}"), "keyboard"},
    {WIDE("{378de44c-56ef-11d1-bc8c-00a0c91405dd}"), "mouse"},
    {WIDE("{4d1e55b2-f16f-11cf-88cb-001111000030}"), "HID input device"},
    {WIDE("{f18a0e88-c30c-11d0-8815-00a0c906bed8}"), "USB hub"},
};

std::string Upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

bool StartsWith(const std::string& text, const char* prefix) { return text.compare(0, strlen(prefix), prefix) == 0; }

std::string InstanceIdOf(HDEVINFO set, SP_DEVINFO_DATA* data) {
  WCHAR id[ENGINE_MAX_DEVICE_ID_LEN] = {};
  if (!SetupDiGetDeviceInstanceIdW(set, data, id, ENGINE_MAX_DEVICE_ID_LEN, nullptr)) return std::string();
  return WideToAnsi(id);
}

// Instance paths of the devices that expose an interface class; false when
// the list cannot be read.
bool DevicesWithInterface(const WCHAR* pszGuid, std::set<std::string>& ids) {
  GUID guid;
  if (CLSIDFromString(const_cast<WCHAR*>(pszGuid), &guid) != 0) return false;
  ScopedHandle<DevInfoTraits> set(
      SetupDiGetClassDevsExW(&guid, nullptr, nullptr, DIGCF_DEVICEINTERFACE, nullptr, nullptr, nullptr));
  if (!set.IsValid()) return false;
  SP_DEVINFO_DATA data;
  memset(&data, 0, sizeof(data));
  data.cbSize = sizeof(data);
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set.Get(), i, &data); ++i) ids.insert(Upper(InstanceIdOf(set.Get(), &data)));
  return true;
}

void AppendIds(MultiStringList list, std::vector<std::string>& ids) {
  if (!list) return;
  for (WCHAR** p = list.get(); *p != nullptr; ++p) ids.push_back(WideToAnsi(*p));
}

}  // namespace

std::string DeviceGuardKind(const std::string& strClassGuid, const std::vector<std::string>& ids,
                            const std::vector<std::string>& interfaceKinds) {
  for (const std::string& id : ids) {
    std::string upper = Upper(id);
    // A hub is known by what it is, whatever its name.
    if (StartsWith(upper, "USB\\CLASS_09") || StartsWith(upper, "USB\\ROOT_HUB")) return "USB hub";
  }
  for (const std::string& kind : interfaceKinds)
    if (kind == "USB hub") return kind;
  if (strClassGuid == kKeyboardClass) return "keyboard";
  if (strClassGuid == kMouseClass) return "mouse";
  if (!interfaceKinds.empty()) return interfaceKinds.front();
  if (strClassGuid == kHidClass) return "HID input device";
  if (strClassGuid == kNetClass) {
    // A Bluetooth network (PAN) runs over the radio itself: forbidding
    // Bluetooth means forbidding it, and no agent is managed through it.
    for (const std::string& id : ids)
      if (StartsWith(Upper(id), "BTH\\")) return std::string();
    return "network adapter";
  }
  return std::string();
}

bool IsUsbHidFunction(const std::vector<std::string>& ids) {
  for (const std::string& id : ids)
    if (StartsWith(Upper(id), "USB\\CLASS_03")) return true;
  return false;
}

bool IsCompositeDevice(const std::vector<std::string>& ids) {
  for (const std::string& id : ids) {
    std::string upper = Upper(id);
    // usbccgp's own ID, and the device classes that leave the class to each
    // interface (0x00) or group interfaces into functions (0xEF).
    if (upper == "USB\\COMPOSITE" || StartsWith(upper, "USB\\DEVCLASS_00") || StartsWith(upper, "USB\\CLASS_00") ||
        StartsWith(upper, "USB\\DEVCLASS_EF"))
      return true;
  }
  return false;
}

bool device_tree::Load() {
  std::vector<DeviceTreeNode> nodes;
  // Every device the machine knows, present or not: a composite device's
  // functions start a moment after it, and the keyboard a receiver brings
  // must count before it has started.
  ScopedHandle<DevInfoTraits> owner(
      SetupDiGetClassDevsExW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES, nullptr, nullptr, nullptr));
  if (!owner.IsValid()) {
    DIAG_LOG(LOG_ERROR, "the device tree cannot be read: error %u", static_cast<unsigned>(GetLastError()));
    Assign(std::move(nodes));
    return false;
  }
  HDEVINFO set = owner.Get();
  bool bWhole = true;
  std::map<std::string, std::vector<std::string>> kinds;
  for (const InterfaceKind& k : kInterfaceKinds) {
    std::set<std::string> ids;
    bWhole = DevicesWithInterface(k.pszGuid, ids) && bWhole;
    for (const std::string& id : ids) kinds[id].push_back(k.pszKind);
  }

  SP_DEVINFO_DATA data;
  memset(&data, 0, sizeof(data));
  data.cbSize = sizeof(data);
  DWORD i = 0;
  for (; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
    DeviceTreeNode node;
    node.strInstancePath = InstanceIdOf(set, &data);
    if (node.strInstancePath.empty()) {
      bWhole = false;
      continue;
    }
    DEVINST parent = 0;
    WCHAR parentId[ENGINE_MAX_DEVICE_ID_LEN] = {};
    CONFIGRET cr = CM_Get_Parent(&parent, data.DevInst, 0);
    if (cr == CR_SUCCESS && CM_Get_Device_IDW(parent, parentId, ENGINE_MAX_DEVICE_ID_LEN - 1, 0) == CR_SUCCESS)
      node.strParent = WideToAnsi(parentId);
    else if (cr != CR_NO_SUCH_DEVNODE)  // a root device has no parent to read
      node.bParentUnread = true;
    if (node.strParent.empty() && parent != 0 && cr == CR_SUCCESS) node.bParentUnread = true;
    ULONG status = 0, problem = 0;
    node.bPresent = CM_Get_DevNode_Status(&status, &problem, data.DevInst, 0) == CR_SUCCESS;
    node.bStarted = node.bPresent && (status & DN_STARTED) != 0;
    PropertyString name = ReadDeviceDescription(set, &data);
    node.strName = name ? WideToAnsi(name.get()) : node.strInstancePath;
    std::vector<std::string> ids;
    AppendIds(ReadMultiStringProperty(set, &data, SPDRP_HARDWAREID), ids);
    AppendIds(ReadMultiStringProperty(set, &data, SPDRP_COMPATIBLEIDS), ids);
    auto k = kinds.find(Upper(node.strInstancePath));
    node.strKind =
        DeviceGuardKind(GuidText(data.ClassGuid), ids, k == kinds.end() ? std::vector<std::string>() : k->second);
    node.bAwaitsFunctions = IsCompositeDevice(ids);
    node.bHidFunction = IsUsbHidFunction(ids);
    if (node.bParentUnread) bWhole = false;
    nodes.push_back(std::move(node));
  }
  if (GetLastError() != ERROR_NO_MORE_ITEMS) bWhole = false;
  owner.Reset();
  Assign(std::move(nodes));
  if (!bWhole) DIAG_LOG(LOG_ERROR, "the device tree is not read whole (%u devices read)", static_cast<unsigned>(i));
  return bWhole;
}

void device_tree::Assign(std::vector<DeviceTreeNode> nodes) {
  m_vecNodes = std::move(nodes);
  m_mapIndex.clear();
  m_mapChildren.clear();
  for (size_t i = 0; i < m_vecNodes.size(); ++i) {
    m_mapIndex[Upper(m_vecNodes[i].strInstancePath)] = i;
    if (!m_vecNodes[i].strParent.empty()) m_mapChildren[Upper(m_vecNodes[i].strParent)].push_back(i);
  }
}

std::vector<const DeviceTreeNode*> device_tree::Descendants(const std::string& strInstancePath) const {
  auto childrenOf = [this](const std::string& key) {
    std::vector<const DeviceTreeNode*> nodes;
    auto children = m_mapChildren.find(key);
    if (children != m_mapChildren.end())
      for (size_t i : children->second) nodes.push_back(&m_vecNodes[i]);
    return nodes;
  };
  return CollectDescendants<DeviceTreeNode>(Upper(strInstancePath), childrenOf,
                                            [](const DeviceTreeNode& node) { return Upper(node.strInstancePath); });
}

bool device_tree::AwaitsFunctions(const std::string& strInstancePath) const {
  auto self = m_mapIndex.find(Upper(strInstancePath));
  return self != m_mapIndex.end() && m_vecNodes[self->second].bAwaitsFunctions &&
         m_mapChildren.find(Upper(strInstancePath)) == m_mapChildren.end();
}

std::string device_tree::Guard(const std::string& strInstancePath) const {
  auto self = m_mapIndex.find(Upper(strInstancePath));
  if (self != m_mapIndex.end()) {
    const DeviceTreeNode& node = m_vecNodes[self->second];
    if (node.strKind == "USB hub") return "it is a USB hub";
    // A HID interface carries an input device even before its HID children exist.
    if (node.bHidFunction && m_mapChildren.find(Upper(strInstancePath)) == m_mapChildren.end())
      return "it is a USB HID function";
    if (node.bParentUnread) return "its parent cannot be read";
  }
  std::string carried;
  size_t count = 0;
  for (const DeviceTreeNode* node : Descendants(strInstancePath)) {
    if (node->strKind.empty()) continue;
    // A network adapter counts while it runs: one that is gone or off is lost to nobody.
    if (node->strKind == "network adapter" && !node->bStarted) continue;
    // The first few by name; the rest counted.
    if (++count <= 3)
      carried += (carried.empty() ? "" : ", ") + std::string("the ") + node->strKind + " \"" + node->strName + "\" (" +
                 node->strInstancePath + ")";
  }
  if (count == 0) return std::string();
  if (count > 3) carried += " and " + std::to_string(count - 3) + " more";
  return "it carries " + carried;
}

int ConfiguredDisabled(const std::string& strInstancePath) {
  WString id = AnsiToWide(strInstancePath);
  ULONG flags = 0;
  if (CM_Get_HW_Prof_FlagsW(&id[0], 0, &flags, 0) != CR_SUCCESS) return -1;
  return (flags & kCsConfigDisabled) != 0 ? 1 : 0;
}

bool DeviceProblem(const std::string& strInstancePath, unsigned long* pulProblem) {
  WString id = AnsiToWide(strInstancePath);
  DEVINST devInst = 0;
  ULONG status = 0;
  ULONG problem = 0;
  *pulProblem = 0;
  if (CM_Locate_DevNodeW(&devInst, &id[0], CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS) return false;
  if (CM_Get_DevNode_Status(&status, &problem, devInst, 0) != CR_SUCCESS) return false;
  if ((status & DN_HAS_PROBLEM) != 0) *pulProblem = problem;
  return true;
}
