// The device tree as the lockout guard sees it: who is below whom, and which
// devices are keyboards, mice, other HID input devices or USB hubs. Disabling
// a device takes its whole subtree off the machine, so a device that carries
// an input device or a hub is never disabled by the module. The tree holds
// the devices the machine knows, present or not: the functions of a device
// that has just arrived start a moment after it and count already.
#pragma once
#include <map>
#include <string>
#include <vector>

struct DeviceTreeNode {
  std::string strInstancePath;
  std::string strParent;  // instance path of the parent; empty below the root
  std::string strName;    // friendly name, else description
  std::string strKind;    // "keyboard", "mouse", "HID input device", "USB hub", "network adapter" or empty
  bool bPresent = true;
  bool bStarted = true;
  bool bParentUnread = false;    // its parent could not be read: it may hang below any device
  bool bAwaitsFunctions = false;  // a composite device: what it carries is known only from its functions
  bool bHidFunction = false;      // a USB HID interface (USB\Class_03)
};

class device_tree {
 public:
  // Reads every known device through SetupAPI and the Configuration Manager.
  // False when the tree could not be read whole (the set, an interface
  // list, an ID or a parent); what was read is kept.
  bool Load();
  // Builds the tree from given nodes (what Load reads, or test data).
  void Assign(std::vector<DeviceTreeNode> nodes);
  // What keeps the device from going down: empty when nothing does;
  // otherwise for example "it is a USB hub" or "it carries the keyboard
  // \"HID Keyboard Device\" (HID\...)".
  std::string Guard(const std::string& strInstancePath) const;
  // A composite device none of whose functions has a node yet: what it
  // carries cannot be told before they are enumerated.
  bool AwaitsFunctions(const std::string& strInstancePath) const;
  const std::vector<DeviceTreeNode>& Nodes() const { return m_vecNodes; }
  // The device's known descendants, depth first.
  std::vector<const DeviceTreeNode*> Descendants(const std::string& strInstancePath) const;

 private:
  std::vector<DeviceTreeNode> m_vecNodes;
  std::map<std::string, size_t> m_mapIndex;                  // upper-cased instance path -> node
  std::map<std::string, std::vector<size_t>> m_mapChildren;  // upper-cased parent path -> children
};

// Kind of a device for the guard from its setup class GUID (lower case text),
// its hardware and compatible IDs, and the interface kinds it exposes.
std::string DeviceGuardKind(const std::string& strClassGuid, const std::vector<std::string>& ids,
                            const std::vector<std::string>& interfaceKinds);
// Whether the compatible IDs make the device a composite one (its class is
// given per function), whose functions are enumerated after it starts.
bool IsCompositeDevice(const std::vector<std::string>& ids);
// Whether the compatible IDs make the device a USB HID interface.
bool IsUsbHidFunction(const std::vector<std::string>& ids);

// Whether the device is disabled in the configuration of the current hardware
// profile, present or not: 1 disabled, 0 not, -1 unknown (not known to the
// machine, or unreadable). An absent device has no state to read; this is
// what it starts with when it comes back.
int ConfiguredDisabled(const std::string& strInstancePath);
// The problem number of a present device (0 when it has none); false when the
// device is not present or its node cannot be read.
bool DeviceProblem(const std::string& strInstancePath, unsigned long* pulProblem);
