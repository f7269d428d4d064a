// Device selection and enumeration of the device control engine over
// SetupAPI: instance IDs, property readers, device records and the walk over
// the devices a command's arguments select.
#include "DeviceControl_win32.h"

#include <cstring>
#include <new>

#include "DeviceControl_win32_internal.h"
#include "DeviceRecordCodec.h"
#include "common/util/DiagLog.h"

namespace {
// First buffers of the property readers, in bytes.
const DWORD kMultiStringFirstBytes = 8192;
const DWORD kStringFirstBytes = 1024;
}  // namespace

namespace devctl {

namespace {
// The instance ID of a device node into a buffer of ENGINE_MAX_DEVICE_ID_LEN
// units (empty when it cannot be read).
bool InstanceIdOfNode(DEVINST devInst, HMACHINE hMachine, WCHAR* pszId) {
  memset(pszId, 0, ENGINE_MAX_DEVICE_ID_LEN * sizeof(WCHAR));
  if (CM_Get_Device_ID_ExW(devInst, pszId, ENGINE_MAX_DEVICE_ID_LEN, 0, hMachine) != CR_SUCCESS) {
    pszId[0] = 0;
    return false;
  }
  // Some implementations (Wine) answer success without writing; on the local
  // machine the call without a machine handle tells.
  if (pszId[0] == 0 && hMachine == nullptr &&
      CM_Get_Device_IDW(devInst, pszId, ENGINE_MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS)
    pszId[0] = 0;
  pszId[ENGINE_MAX_DEVICE_ID_LEN - 1] = 0;
  return true;
}
}  // namespace

bool ReadInstanceId(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, WCHAR* pszId, HMACHINE* phMachine) {
  memset(pszId, 0, ENGINE_MAX_DEVICE_ID_LEN * sizeof(WCHAR));
  SP_DEVINFO_LIST_DETAIL_DATA_W detail;
  memset(&detail, 0, sizeof(detail));
  detail.cbSize = sizeof(detail);
  if (!SetupDiGetDeviceInfoListDetailW(hDevInfo, &detail)) return false;
  if (phMachine != nullptr) *phMachine = static_cast<HMACHINE>(detail.RemoteMachineHandle);
  return InstanceIdOfNode(pDevInfoData->DevInst, static_cast<HMACHINE>(detail.RemoteMachineHandle), pszId);
}

bool ClassGuidsFromName(const WCHAR* pszClass, const WCHAR* pszMachine, std::vector<GUID>* pGuids, DWORD dwFirstRoom) {
  pGuids->assign(dwFirstRoom, GUID());
  for (;;) {
    DWORD required = 0;
    if (SetupDiClassGuidsFromNameExW(pszClass, pGuids->data(), static_cast<DWORD>(pGuids->size()), &required,
                                     pszMachine, nullptr)) {
      pGuids->resize(required < pGuids->size() ? required : pGuids->size());
      return true;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || required <= pGuids->size()) return false;
    pGuids->assign(required, GUID());
  }
}

}  // namespace devctl

using namespace devctl;

// ---- Property readers ------------------------------------------------------------------

namespace {
// Reads a string-typed device property into *pUnits. False when the device has
// no such property, or when it is too big for the first buffer and not of the
// expected type. Throws std::bad_alloc.
bool ReadPropertyUnits(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, DWORD dwProperty, DWORD dwType,
                       DWORD firstBytes, std::vector<WCHAR>* pUnits) {
  DWORD size = firstBytes;
  pUnits->assign(size / sizeof(WCHAR), 0);
  DWORD type = 0;
  DWORD required = 0;
  while (!SetupDiGetDeviceRegistryPropertyW(hDevInfo, pDevInfoData, dwProperty, &type,
                                            reinterpret_cast<PBYTE>(pUnits->data()), size, &required)) {
    // Only a short buffer for a value of the expected type is worth a retry.
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || type != dwType || required <= size) return false;
    // An odd byte count still gets the unit its last byte falls in.
    pUnits->assign((required + sizeof(WCHAR) - 1) / sizeof(WCHAR), 0);
    size = static_cast<DWORD>(pUnits->size() * sizeof(WCHAR));
  }
  // The reported size may include the value's own terminators or not; the
  // holders end the text either way.
  DWORD bytes = required != 0 && required <= size ? required : size;
  pUnits->resize(bytes / sizeof(WCHAR));
  return true;
}

// The value in its holder; an empty holder when there is none or memory ran out.
template <typename Holder>
Holder ReadProperty(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, DWORD dwProperty, DWORD dwType,
                    DWORD firstBytes) {
  try {
    std::vector<WCHAR> units;
    if (!ReadPropertyUnits(hDevInfo, pDevInfoData, dwProperty, dwType, firstBytes, &units)) return Holder();
    return Holder(std::move(units));
  } catch (const std::bad_alloc&) {
    return Holder();
  }
}
}  // namespace

MultiStringList ReadMultiStringProperty(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, DWORD dwProperty) {
  return ReadProperty<MultiStringList>(hDevInfo, pDevInfoData, dwProperty, REG_MULTI_SZ, kMultiStringFirstBytes);
}

PropertyString ReadStringProperty(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, DWORD dwProperty) {
  return ReadProperty<PropertyString>(hDevInfo, pDevInfoData, dwProperty, REG_SZ, kStringFirstBytes);
}

PropertyString ReadDeviceDescription(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData) {
  PropertyString name = ReadStringProperty(hDevInfo, pDevInfoData, SPDRP_FRIENDLYNAME);
  if (name) return name;
  return ReadStringProperty(hDevInfo, pDevInfoData, SPDRP_DEVICEDESC);
}

// ---- Device records -----------------------------------------------------------------------

namespace {
// Lower-case class GUID text without braces.
WString GuidText(const GUID& guid) {
  WString text;
  RPC_WSTR str = nullptr;
  GUID copy = guid;
  if (UuidToStringW(&copy, &str) == RPC_S_OK && str != nullptr) {
    text = reinterpret_cast<const WCHAR*>(str);
    RpcStringFreeW(&str);
  }
  return text;
}
}  // namespace

bool AppendDeviceRecord(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, const WCHAR* pszDescription) {
  WCHAR instanceId[ENGINE_MAX_DEVICE_ID_LEN];
  bool haveId = ReadInstanceId(hDevInfo, pDevInfoData, instanceId);
  if (!haveId) {
    instanceId[0] = '?';
    instanceId[1] = 0;
  }

  ULONG status = 0;
  ULONG problem = 0;
  if (CM_Get_DevNode_Status(&status, &problem, pDevInfoData->DevInst, 0) != CR_SUCCESS) {
    status = 0;
    problem = 0;
  }

  MultiStringList hardwareIds = ReadMultiStringProperty(hDevInfo, pDevInfoData, SPDRP_HARDWAREID);
  const WCHAR* firstHardwareId = hardwareIds && hardwareIds.get()[0] != nullptr ? hardwareIds.get()[0] : WIDE("");

  DeviceRecordText fields;
  fields.strInstanceId = instanceId;
  fields.strHardwareId = firstHardwareId;
  fields.strDescription = pszDescription != nullptr ? pszDescription : instanceId;
  fields.strClassGuid = GuidText(pDevInfoData->ClassGuid);
  fields.dwStatus = status;
  WString record;
  AppendDeviceRecordText(fields, &record);
  AppendDeviceOutput(record.data(), record.size());
  return haveId;
}

// ---- Selection --------------------------------------------------------------------------------

namespace {

// The parsed arguments and the class they name.
struct Selection {
  SelectionArgs args;
  GUID classGuid = GUID();
  bool bHaveClass = false;
  bool bNoSuchClass = false;  // nothing can be selected
};

EngineResult ParseSelection(const WCHAR* pszMachine, int nArgs, const WCHAR* const* ppArgs, Selection* pSelection) {
  try {
    pSelection->args = ParseSelectionArgs(nArgs, ppArgs);
  } catch (const std::bad_alloc&) {
    return ENGINE_FAIL;
  }
  const WCHAR* className = pSelection->args.pszClass;
  if (className == nullptr) return ENGINE_OK;
  DWORD count = 0;
  if (!SetupDiClassGuidsFromNameExW(className, &pSelection->classGuid, 1, &count, pszMachine, nullptr)) {
    DWORD error = GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER) {
      DIAG_LOG(LOG_ERROR, "SetupDiClassGuidsFromNameExW failed, error 0x%lX", static_cast<unsigned long>(error));
      return ENGINE_FAIL;
    }
  }
  if (count == 0)
    pSelection->bNoSuchClass = true;
  else
    pSelection->bHaveClass = true;
  return ENGINE_OK;
}

// A search walks the class's (or every class's) devices; plain instance IDs
// need only the devices they name.
EngineResult OpenDeviceSet(const Selection& selection, const WCHAR* pszMachine, DWORD dwFlags, DevInfoSet* pSet,
                           HMACHINE* phMachine) {
  const GUID* classGuid = selection.bHaveClass ? &selection.classGuid : nullptr;
  if (selection.args.bSearch || selection.args.bSelectAll) {
    pSet->Reset(SetupDiGetClassDevsExW(classGuid, nullptr, nullptr,
                                       dwFlags | (selection.bHaveClass ? 0 : DIGCF_ALLCLASSES), nullptr, pszMachine,
                                       nullptr));
  } else {
    pSet->Reset(SetupDiCreateDeviceInfoListExW(classGuid, nullptr, pszMachine, nullptr));
  }
  if (!pSet->IsValid()) {
    DIAG_LOG(LOG_ERROR, "device information set not made, error 0x%lX", static_cast<unsigned long>(GetLastError()));
    return ENGINE_FAIL;
  }

  // An instance ID also reaches a device that is not present, and a "*" in it
  // may be a literal part of an ID.
  for (const DeviceSelector& selector : selection.args.selectors)
    if (selector.bInstanceId) SetupDiOpenDeviceInfoW(pSet->Get(), selector.pszPattern, nullptr, 0, nullptr);

  SP_DEVINFO_LIST_DETAIL_DATA_W detail;
  memset(&detail, 0, sizeof(detail));
  detail.cbSize = sizeof(detail);
  if (!SetupDiGetDeviceInfoListDetailW(pSet->Get(), &detail)) {
    DIAG_LOG(LOG_ERROR, "SetupDiGetDeviceInfoListDetailW failed, error 0x%lX",
             static_cast<unsigned long>(GetLastError()));
    return ENGINE_FAIL;
  }
  *phMachine = static_cast<HMACHINE>(detail.RemoteMachineHandle);
  return ENGINE_OK;
}

bool MatchesSelection(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, HMACHINE hMachine, const Selection& selection) {
  WCHAR instanceId[ENGINE_MAX_DEVICE_ID_LEN];
  InstanceIdOfNode(pDevInfoData->DevInst, hMachine, instanceId);

  // The ID lists are read once, and only when a selector needs them.
  MultiStringList hardwareIds;
  MultiStringList compatibleIds;
  bool idsRead = false;
  for (const DeviceSelector& selector : selection.args.selectors) {
    if (selector.bInstanceId) {
      if (MatchIdPattern(instanceId, selector)) return true;
      continue;
    }
    if (!idsRead) {
      hardwareIds = ReadMultiStringProperty(hDevInfo, pDevInfoData, SPDRP_HARDWAREID);
      compatibleIds = ReadMultiStringProperty(hDevInfo, pDevInfoData, SPDRP_COMPATIBLEIDS);
      idsRead = true;
    }
    if (MatchAnyId(hardwareIds.get(), selector) || MatchAnyId(compatibleIds.get(), selector)) return true;
  }
  return false;
}

}  // namespace

EngineResult SelectDevices(const WCHAR* pszBaseName, const WCHAR* pszMachine, DWORD dwFlags, int nArgs,
                           const WCHAR* const* ppArgs, DeviceCallback pfnCallback, void* pContext) {
  (void)pszBaseName;
  if (nArgs <= 0 || ppArgs == nullptr) return ENGINE_USAGE;

  Selection selection;
  EngineResult result = ParseSelection(pszMachine, nArgs, ppArgs, &selection);
  if (result != ENGINE_OK || selection.bNoSuchClass) return result;

  DevInfoSet set;
  HMACHINE machine = nullptr;
  result = OpenDeviceSet(selection, pszMachine, dwFlags, &set, &machine);
  if (result != ENGINE_OK) return result;

  const bool filter = selection.args.bSearch && !selection.args.bSelectAll;
  for (DWORD index = 0;; ++index) {
    SP_DEVINFO_DATA data;
    memset(&data, 0, sizeof(data));
    data.cbSize = sizeof(data);
    if (!SetupDiEnumDeviceInfo(set.Get(), index, &data)) break;
    if (filter && !MatchesSelection(set.Get(), &data, machine, selection)) continue;
    result = pfnCallback(set.Get(), &data, index, pContext);
    if (result != ENGINE_OK) return result;
  }
  return ENGINE_OK;
}
