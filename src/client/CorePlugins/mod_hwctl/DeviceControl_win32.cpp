// Device selection and enumeration of the device control engine: argument
// parsing, ID matching, property readers and the capture buffer of device
// records.
#include "DeviceControl_win32.h"

#include <cstdlib>
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

// ---- Text helpers ------------------------------------------------------------------

size_t TextLength(const WCHAR* psz) {
  size_t n = 0;
  while (psz[n] != 0) ++n;
  return n;
}

WCHAR FoldCase(WCHAR c) {
  if (c >= 'a' && c <= 'z') return static_cast<WCHAR>(c - 'a' + 'A');
  // Latin-1 lower-case letters (0xE0..0xFE without the division sign).
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<WCHAR>(c - 0x20);
  return c;
}

bool EqualNoCase(const WCHAR* a, const WCHAR* b) {
  for (;; ++a, ++b) {
    if (FoldCase(*a) != FoldCase(*b)) return false;
    if (*a == 0) return true;
  }
}

bool EqualNoCase(const WString& a, const WString& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  return true;
}

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

// ---- Matching ------------------------------------------------------------------------

namespace {
// Case-insensitive comparison of `count` units.
bool SameNoCase(const WCHAR* a, const WCHAR* b, size_t count) {
  for (size_t i = 0; i < count; ++i)
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  return true;
}
}  // namespace

bool MatchIdPattern(const WCHAR* pszId, const DeviceSelector& selector) {
  const WCHAR* pattern = selector.pszPattern;
  if (selector.pszWildcard == nullptr) return EqualNoCase(pszId, pattern);

  // The part before the first "*" is a prefix of the identifier.
  size_t prefix = static_cast<size_t>(selector.pszWildcard - pattern);
  size_t idLength = TextLength(pszId);
  if (idLength < prefix || !SameNoCase(pszId, pattern, prefix)) return false;
  const WCHAR* id = pszId + prefix;
  const WCHAR* idEnd = pszId + idLength;
  const WCHAR* pat = selector.pszWildcard;

  for (;;) {
    while (*pat == '*') ++pat;
    if (*pat == 0) return true;  // a trailing "*" takes any rest
    const WCHAR* segEnd = pat;
    while (*segEnd != 0 && *segEnd != '*') ++segEnd;
    size_t segLength = static_cast<size_t>(segEnd - pat);
    if (*segEnd == 0) {
      // The last segment must end the identifier.
      size_t rest = static_cast<size_t>(idEnd - id);
      return rest >= segLength && SameNoCase(idEnd - segLength, pat, segLength);
    }
    // A segment is taken at its first place of occurrence from the left.
    const WCHAR first = FoldCase(*pat);
    for (;;) {
      while (id < idEnd && FoldCase(*id) != first) ++id;
      if (id == idEnd) return false;
      if (static_cast<size_t>(idEnd - id) >= segLength && SameNoCase(id, pat, segLength)) break;
      ++id;
    }
    id += segLength;
    pat = segEnd;
  }
}

bool MatchAnyId(const WCHAR* const* ppIds, const DeviceSelector& selector) {
  if (ppIds == nullptr) return false;
  for (; *ppIds != nullptr; ++ppIds)
    if (MatchIdPattern(*ppIds, selector)) return true;
  return false;
}

// ---- Property readers ------------------------------------------------------------------

void FreeMultiString(WCHAR** ppList) {
  if (ppList == nullptr) return;
  free(ppList[-1]);
  free(ppList - 1);
}

void PropertyDeleter::operator()(WCHAR* pText) const { free(pText); }

WCHAR** SplitMultiString(WCHAR* pText) {
  size_t count = 0;
  for (const WCHAR* p = pText; *p != 0; p += TextLength(p) + 1) ++count;
  // Slot 0 holds the text block, then the strings, then the terminating null.
  WCHAR** slots = static_cast<WCHAR**>(malloc((count + 2) * sizeof(WCHAR*)));
  if (slots == nullptr) return nullptr;
  slots[0] = pText;
  size_t i = 1;
  for (WCHAR* p = pText; *p != 0; p += TextLength(p) + 1) slots[i++] = p;
  slots[i] = nullptr;
  return slots + 1;
}

namespace {
// Reads a string-typed device property into a zero-filled malloc'd block with
// `spareUnits` zero units behind the data. nullptr when the device has no
// such property, or when it is too big for the first buffer and not of the
// expected type.
WCHAR* ReadPropertyBlock(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, DWORD dwProperty, DWORD dwType,
                         DWORD firstBytes, DWORD spareUnits) {
  DWORD size = firstBytes;
  WCHAR* buffer = static_cast<WCHAR*>(calloc(1, size + spareUnits * sizeof(WCHAR)));
  if (buffer == nullptr) return nullptr;
  DWORD type = 0;
  DWORD required = 0;
  while (!SetupDiGetDeviceRegistryPropertyW(hDevInfo, pDevInfoData, dwProperty, &type, reinterpret_cast<PBYTE>(buffer),
                                            size, &required)) {
    // Only a short buffer for a value of the expected type is worth a retry.
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || type != dwType || required <= size) {
      free(buffer);
      return nullptr;
    }
    size = required;
    WCHAR* bigger = static_cast<WCHAR*>(realloc(buffer, size + spareUnits * sizeof(WCHAR)));
    if (bigger == nullptr) {
      free(buffer);
      return nullptr;
    }
    buffer = bigger;
    memset(buffer, 0, size + spareUnits * sizeof(WCHAR));
  }
  // The reported size may include the value's own terminators or not; the
  // spare units behind it end the text either way.
  DWORD bytes = required != 0 && required <= size ? required : size;
  DWORD units = bytes / sizeof(WCHAR);
  for (DWORD i = 0; i < spareUnits; ++i) buffer[units + i] = 0;
  return buffer;
}
}  // namespace

MultiStringList ReadMultiStringProperty(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, DWORD dwProperty) {
  WCHAR* text = ReadPropertyBlock(hDevInfo, pDevInfoData, dwProperty, REG_MULTI_SZ, kMultiStringFirstBytes, 2);
  if (text == nullptr) return MultiStringList();
  WCHAR** list = SplitMultiString(text);
  if (list == nullptr) {
    free(text);
    return MultiStringList();
  }
  return MultiStringList(list);
}

PropertyString ReadStringProperty(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, DWORD dwProperty) {
  return PropertyString(ReadPropertyBlock(hDevInfo, pDevInfoData, dwProperty, REG_SZ, kStringFirstBytes, 1));
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

// The arguments of a selection: an optional "=class", an optional "*", then
// ID selectors whose pointers point into the arguments.
struct Selection {
  GUID classGuid = GUID();
  bool bHaveClass = false;
  bool bNoSuchClass = false;  // nothing can be selected
  bool bSelectAll = false;
  bool bSearch = false;  // some selector needs the devices' IDs compared
  std::unique_ptr<DeviceSelector[]> selectors;
  int nSelectors = 0;
};

DeviceSelector ParseSelector(const WCHAR* text) {
  DeviceSelector selector;
  selector.bInstanceId = FALSE;
  if (text[0] == '@') {
    selector.bInstanceId = TRUE;
    ++text;
  }
  selector.pszWildcard = nullptr;
  if (text[0] == '\'') {
    selector.pszPattern = text + 1;
    return selector;
  }
  selector.pszPattern = text;
  for (const WCHAR* p = text; *p != 0; ++p)
    if (*p == '*') {
      selector.pszWildcard = p;
      break;
    }
  return selector;
}

EngineResult ParseSelection(const WCHAR* pszMachine, int nArgs, const WCHAR* const* ppArgs, Selection* pSelection) {
  pSelection->selectors.reset(new (std::nothrow) DeviceSelector[static_cast<size_t>(nArgs)]);
  if (!pSelection->selectors) return ENGINE_FAIL;

  int next = 0;
  if (ppArgs[0][0] == '=' && ppArgs[0][1] != 0) {
    DWORD count = 0;
    if (!SetupDiClassGuidsFromNameExW(ppArgs[0] + 1, &pSelection->classGuid, 1, &count, pszMachine, nullptr)) {
      DWORD error = GetLastError();
      if (error != ERROR_INSUFFICIENT_BUFFER) {
        DIAG_LOG(LOG_ERROR, "SetupDiClassGuidsFromNameExW failed, error 0x%lX", static_cast<unsigned long>(error));
        return ENGINE_FAIL;
      }
    }
    if (count == 0) {
      pSelection->bNoSuchClass = true;
      return ENGINE_OK;
    }
    pSelection->bHaveClass = true;
    ++next;
  }

  if (next < nArgs && ppArgs[next][0] == '*' && ppArgs[next][1] == 0) {
    pSelection->bSelectAll = true;
    ++next;
  }
  if (next >= nArgs) pSelection->bSelectAll = true;

  for (int i = next; i < nArgs; ++i) {
    const DeviceSelector selector = ParseSelector(ppArgs[i]);
    pSelection->selectors[static_cast<size_t>(pSelection->nSelectors++)] = selector;
    if (selector.pszWildcard != nullptr || !selector.bInstanceId) pSelection->bSearch = true;
  }
  return ENGINE_OK;
}

// A search walks the class's (or every class's) devices; plain instance IDs
// need only the devices they name.
EngineResult OpenDeviceSet(const Selection& selection, const WCHAR* pszMachine, DWORD dwFlags, DevInfoSet* pSet,
                           HMACHINE* phMachine) {
  const GUID* classGuid = selection.bHaveClass ? &selection.classGuid : nullptr;
  if (selection.bSearch || selection.bSelectAll) {
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
  for (int i = 0; i < selection.nSelectors; ++i)
    if (selection.selectors[static_cast<size_t>(i)].bInstanceId)
      SetupDiOpenDeviceInfoW(pSet->Get(), selection.selectors[static_cast<size_t>(i)].pszPattern, nullptr, 0, nullptr);

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
  for (int i = 0; i < selection.nSelectors; ++i) {
    const DeviceSelector& selector = selection.selectors[static_cast<size_t>(i)];
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

  const bool filter = selection.bSearch && !selection.bSelectAll;
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
