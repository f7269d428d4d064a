// cfgmgr32: device nodes by DEVINST over winsim's device tree. Only the local
// machine is reachable, as on current Windows.
#include "devices.h"

using namespace winsim::internal;

namespace {

// The one handle CM_Connect_MachineW gives out for the local machine.
char g_localMachine;
HMACHINE LocalMachine() { return &g_localMachine; }

bool MachineOk(HMACHINE machine) { return !machine || machine == LocalMachine(); }

}  // namespace

WINSIM_API CONFIGRET CM_Connect_MachineW(PCWSTR UNCServerName, PHMACHINE phMachine) {
  WINSIM_FAIL_POINT_CR();
  if (!phMachine) return CR_INVALID_POINTER;
  if (!IsLocalMachine(UNCServerName)) return CR_REMOTE_COMM_FAILURE;
  *phMachine = LocalMachine();
  return CR_SUCCESS;
}

WINSIM_API CONFIGRET CM_Disconnect_Machine(HMACHINE hMachine) {
  WINSIM_FAIL_POINT_CR();
  return MachineOk(hMachine) ? CR_SUCCESS : CR_INVALID_POINTER;
}

WINSIM_API CONFIGRET CM_Locate_DevNode_ExW(PDEVINST pdnDevInst, DEVINSTID_W pDeviceID, ULONG ulFlags,
                                           HMACHINE hMachine) {
  WINSIM_FAIL_POINT_CR();
  if (!pdnDevInst) return CR_INVALID_POINTER;
  *pdnDevInst = 0;
  if (ulFlags & ~ULONG(CM_LOCATE_DEVNODE_BITS)) return CR_INVALID_FLAG;
  if (!MachineOk(hMachine)) return CR_INVALID_POINTER;
  if (!pDeviceID || !*pDeviceID) {
    *pdnDevInst = kRootDevInst;
    return CR_SUCCESS;
  }
  ModelLock lock(Model().mutex);
  const DeviceNode* n = NodeById(FromW(pDeviceID));
  if (!n || !n->registered) return CR_NO_SUCH_DEVNODE;
  if (!n->present && !(ulFlags & CM_LOCATE_DEVNODE_PHANTOM)) return CR_NO_SUCH_DEVNODE;
  *pdnDevInst = n->devInst;
  return CR_SUCCESS;
}

WINSIM_API CONFIGRET CM_Locate_DevNodeW(PDEVINST pdnDevInst, DEVINSTID_W pDeviceID, ULONG ulFlags) {
  WINSIM_FAIL_POINT_CR();
  return CM_Locate_DevNode_ExW(pdnDevInst, pDeviceID, ulFlags, nullptr);
}

WINSIM_API CONFIGRET CM_Reenumerate_DevNode_Ex(DEVINST dnDevInst, ULONG ulFlags, HMACHINE hMachine) {
  WINSIM_FAIL_POINT_CR();
  if (ulFlags & ~ULONG(CM_REENUMERATE_BITS)) return CR_INVALID_FLAG;
  if (!MachineOk(hMachine)) return CR_INVALID_POINTER;
  ModelLock lock(Model().mutex);
  if (dnDevInst != kRootDevInst && !NodeByDevInst(dnDevInst)) return CR_INVALID_DEVNODE;
  // A rescan finds again the plugged hardware whose device was removed.
  for (auto& n : Model().nodes)
    if (n->removed && n->removedWhilePresent && n->registered && !(n->status & DN_ROOT_ENUMERATED) &&
        !NodeById(n->id)) {
      n->removed = n->removedWhilePresent = false;
      Journal(n->id, "found again", "CM_Reenumerate_DevNode_Ex");
    }
  Journal(u"", "device tree re-enumerated", "CM_Reenumerate_DevNode_Ex");
  UpdatePresence("CM_Reenumerate_DevNode_Ex");
  return CR_SUCCESS;
}

WINSIM_API CONFIGRET CM_Reenumerate_DevNode(DEVINST dnDevInst, ULONG ulFlags) {
  WINSIM_FAIL_POINT_CR();
  return CM_Reenumerate_DevNode_Ex(dnDevInst, ulFlags, nullptr);
}

WINSIM_API CONFIGRET CM_Get_Device_ID_ExW(DEVINST dnDevInst, PWCHAR Buffer, ULONG BufferLen, ULONG ulFlags,
                                          HMACHINE hMachine) {
  WINSIM_FAIL_POINT_CR();
  if (!Buffer) return CR_INVALID_POINTER;
  if (ulFlags) return CR_INVALID_FLAG;
  if (!MachineOk(hMachine)) return CR_INVALID_POINTER;
  ModelLock lock(Model().mutex);
  std::u16string id;
  if (dnDevInst == kRootDevInst) {
    id = u"HTREE\\ROOT\\0";
  } else {
    const DeviceNode* n = NodeByDevInst(dnDevInst);
    if (!n) return CR_INVALID_DEVNODE;
    id = n->id;
  }
  if (BufferLen < id.size()) return CR_BUFFER_SMALL;
  std::copy(id.begin(), id.end(), Buffer);
  if (BufferLen > id.size()) Buffer[id.size()] = 0;  // no room for the terminator is still success
  return CR_SUCCESS;
}

WINSIM_API CONFIGRET CM_Get_Device_IDW(DEVINST dnDevInst, PWCHAR Buffer, ULONG BufferLen, ULONG ulFlags) {
  WINSIM_FAIL_POINT_CR();
  return CM_Get_Device_ID_ExW(dnDevInst, Buffer, BufferLen, ulFlags, nullptr);
}

WINSIM_API CONFIGRET CM_Get_DevNode_Status_Ex(PULONG pulStatus, PULONG pulProblemNumber, DEVINST dnDevInst,
                                              ULONG ulFlags, HMACHINE hMachine) {
  WINSIM_FAIL_POINT_CR();
  if (!pulStatus || !pulProblemNumber) return CR_INVALID_POINTER;
  *pulStatus = *pulProblemNumber = 0;
  if (ulFlags) return CR_INVALID_FLAG;
  if (!MachineOk(hMachine)) return CR_INVALID_POINTER;
  if (dnDevInst == kRootDevInst) {
    *pulStatus = DN_ROOT_ENUMERATED | DN_DRIVER_LOADED | DN_STARTED | DN_NT_ENUMERATOR | DN_NT_DRIVER;
    return CR_SUCCESS;
  }
  ModelLock lock(Model().mutex);
  const DeviceNode* n = NodeByDevInst(dnDevInst);
  if (!n) return CR_INVALID_DEVNODE;
  if (!n->present || !n->registered) return CR_NO_SUCH_DEVINST;
  *pulStatus = n->status;
  *pulProblemNumber = n->problem;
  return CR_SUCCESS;
}

WINSIM_API CONFIGRET CM_Get_DevNode_Status(PULONG pulStatus, PULONG pulProblemNumber, DEVINST dnDevInst,
                                           ULONG ulFlags) {
  WINSIM_FAIL_POINT_CR();
  return CM_Get_DevNode_Status_Ex(pulStatus, pulProblemNumber, dnDevInst, ulFlags, nullptr);
}

WINSIM_API CONFIGRET CM_Get_HW_Prof_FlagsW(DEVINSTID_W szDevInstName, ULONG ulHardwareProfile, PULONG pulValue,
                                           ULONG ulFlags) {
  WINSIM_FAIL_POINT_CR();
  if (!pulValue || !szDevInstName) return CR_INVALID_POINTER;
  *pulValue = 0;
  if (ulFlags) return CR_INVALID_FLAG;
  // The machine has one hardware profile, the current one.
  if (ulHardwareProfile > 1) return CR_NO_SUCH_VALUE;
  ModelLock lock(Model().mutex);
  const DeviceNode* n = NodeById(FromW(szDevInstName));
  if (!n || !n->registered) return CR_NO_SUCH_DEVINST;
  if (n->configDisabled) *pulValue |= CSCONFIGFLAG_DISABLED;
  return CR_SUCCESS;
}

WINSIM_API CONFIGRET CM_Get_Parent(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags) {
  WINSIM_FAIL_POINT_CR();
  if (!pdnDevInst) return CR_INVALID_POINTER;
  *pdnDevInst = 0;
  if (ulFlags) return CR_INVALID_FLAG;
  if (dnDevInst == kRootDevInst) return CR_NO_SUCH_DEVNODE;
  ModelLock lock(Model().mutex);
  const DeviceNode* n = NodeByDevInst(dnDevInst);
  if (!n) return CR_INVALID_DEVNODE;
  const DeviceNode* parent = n->parent.empty() ? nullptr : NodeById(n->parent);
  *pdnDevInst = parent ? parent->devInst : kRootDevInst;
  return CR_SUCCESS;
}
