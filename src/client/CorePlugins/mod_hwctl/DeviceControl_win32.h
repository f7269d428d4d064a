// The device control engine: a device console over SetupAPI and the
// Configuration Manager (commands such as enable, disable, status, find applied
// to devices selected by ID patterns or setup class), and device_control, the
// facade through which the policy engine drives it. What the engine does with
// text alone (matching, argument parsing, list edits, the capture buffer) is
// in DeviceControl_portable.h; this header adds the Win32 side.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "DeviceControl_portable.h"
#include "DeviceRecord.h"
#include "common/util/ResultCode.h"
#include "common/util/ScopedHandle.h"
#include "platform/winapi.h"

// Per-device operation of a selection; a non-zero result stops the walk.
typedef EngineResult (*DeviceCallback)(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, DWORD dwIndex, void* pContext);
// Handler of a command word: base name (unused), machine name or nullptr, the
// arguments behind the command word.
typedef EngineResult (*CommandHandler)(const WCHAR* pszBaseName, const WCHAR* pszMachine, int nArgs,
                                       const WCHAR* const* ppArgs);

struct CommandEntry {
  const WCHAR* pszCommand;  // nullptr ends the table
  CommandHandler pfnHandler;
};
// The command table in lookup order.
extern const CommandEntry g_commandTable[];

// The engine's single entry point: argv[0] is the program, then options
// (-m:<machine>, -r), the command word and its arguments.
EngineResult DispatchCommand(int argc, const WCHAR* const* argv);

// ---- Capture buffer ---------------------------------------------------------
// The module's one capture buffer.
DeviceOutputBuffer& DeviceOutput();
// Shorthands for the module's buffer.
inline const WCHAR* DeviceOutputText() { return DeviceOutput().Text(); }
inline size_t DeviceOutputLength() { return DeviceOutput().Length(); }
inline bool AppendDeviceOutput(const WCHAR* pszText, size_t length) { return DeviceOutput().Append(pszText, length); }
inline void ClearDeviceOutput() { DeviceOutput().Clear(); }

// ---- Selection --------------------------------------------------------------
EngineResult SelectDevices(const WCHAR* pszBaseName, const WCHAR* pszMachine, DWORD dwFlags, int nArgs,
                           const WCHAR* const* ppArgs, DeviceCallback pfnCallback, void* pContext);

// A device information set, for ScopedHandle.
struct DevInfoTraits : NullInvalidTraits<HDEVINFO> {
  static Handle Invalid() { return INVALID_HANDLE_VALUE; }
  static bool IsValid(Handle h) { return h != INVALID_HANDLE_VALUE && h != nullptr; }
  static void Close(Handle h) { SetupDiDestroyDeviceInfoList(h); }
};
typedef ScopedHandle<DevInfoTraits> DevInfoSet;

// ---- Property readers ---------------------------------------------------------
// Property values in blocks the readers size to what the device reports.
MultiStringList ReadMultiStringProperty(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, DWORD dwProperty);
PropertyString ReadStringProperty(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, DWORD dwProperty);
// Friendly name, else device description, else nullptr.
PropertyString ReadDeviceDescription(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData);
// Appends the device's five-line record (description nullptr: the instance
// ID). False when the instance ID could not be read (written as "?").
bool AppendDeviceRecord(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, const WCHAR* pszDescription);

// ---- Restart of Windows -------------------------------------------------------
// Enables the shutdown privilege where it can and asks Windows to restart.
bool RebootSystem();

// ---- Facade --------------------------------------------------------------------
// The policy engine's way into the engine. Operations take narrow strings in
// the local code page; only one runs at a time in the whole module, because
// they share the capture buffer.
class device_control {
 public:
  // Runs "<command> <target>" and appends the reported devices to pVecDevice.
  eRet DeviceControl(std::string strCmd, std::string strTargetName, std::vector<stDevice>* pVecDevice);
  // "enable", "disable" or "status" on the literal instance ID ("@'" +
  // strInstancePath); another word gives 0xFFFFFFFFFFFFFFFF without an engine
  // call.
  eRet SetUpDevice(std::string strCmd, stDevice& stdevice);
  eRet EnableDevice(stDevice& stdevice);
  eRet DisableDevice(stDevice& stdevice);
  // Also rewrites stdevice.dwStatus_Now when the device was found.
  eRet QueryDeviceStatus(stDevice& stdevice);
  // Disables the device, cycles the listed devices (USB devices only), and
  // disables the device again.
  eRet RebootUsbDevice(stDevice& stdevice, std::vector<stDevice>* pVecDevice);
  // Every present device of every class.
  eRet FindDevices(std::vector<stDevice>* pVecDevice);
  // The current record of one device, present or not. *pbKnown is false when
  // the machine does not know the device (any more), or the engine failed
  // (the result says which). A device that is not present reads with status
  // 0, so as dwStatus_Now 0.
  eRet ReadDevice(const std::string& strInstancePath, stDevice& device, bool* pbKnown);

 private:
  // The unlocked bodies; callers hold the facade lock.
  eRet RunCommand(const std::string& strCmd, const std::string& strTargetName, std::vector<stDevice>* pVecDevice);
  eRet RunSetUpDevice(const std::string& strCmd, stDevice& stdevice);
};
