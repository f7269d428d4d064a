// The device control engine: a device console over SetupAPI and the
// Configuration Manager (commands such as enable, disable, status, find applied
// to devices selected by ID patterns or setup class), and device_control, the
// facade through which the policy engine drives it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "DeviceRecord.h"
#include "common/util/WString.h"
#include "common/util/ResultCode.h"
#include "common/util/ScopedHandle.h"
#include "platform/winapi.h"

// Result of every command, handler and callback.
typedef int32_t EngineResult;
const EngineResult ENGINE_OK = 0;      // success
const EngineResult ENGINE_REBOOT = 1;  // done; a restart of Windows makes it take effect
const EngineResult ENGINE_FAIL = 2;    // failure
const EngineResult ENGINE_USAGE = 3;   // bad or missing arguments

// What a report command adds for each device (only the record is produced).
#define DETAIL_DESCRIPTION 0x01u
#define DETAIL_STATUS 0x02u
#define DETAIL_RESOURCES 0x04u
#define DETAIL_DRIVER_FILES 0x08u
#define DETAIL_HWIDS 0x10u
#define DETAIL_DRIVER_NODES 0x20u
#define DETAIL_CLASS 0x40u
#define DETAIL_STACK 0x80u

// Configuration Manager limit of a device instance ID, terminator included.
const DWORD ENGINE_MAX_DEVICE_ID_LEN = 200;

// One parsed ID argument; the pointers point into the argument.
struct DeviceSelector {
  const WCHAR* pszPattern;   // behind any "@" and "'"
  const WCHAR* pszWildcard;  // first "*" of the pattern, or nullptr (also for a quoted pattern)
  BOOL bInstanceId;          // the argument began with "@"
};

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
// Five-line device records (DeviceRecordCodec.h) that the report commands
// append and the facade reads back. It grows with what is reported, so a
// command's every device is kept however many there are; a clear keeps the
// room already taken, so a pass does not grow it again. The facade's
// operations hold its mutex, because the buffer is module-wide.
class DeviceOutputBuffer {
 public:
  DeviceOutputBuffer();
  // The text, terminated; valid until the next append or clear.
  const WCHAR* Text() const { return m_text.c_str(); }
  size_t Length() const { return m_text.size(); }
  // Appends `length` units in amortised constant time per unit. When memory
  // runs out the append is dropped, and so is every later one until the next
  // clear: the buffer then holds whole records only. False when dropped.
  bool Append(const WCHAR* pszText, size_t length);
  // Whether an append was dropped since the last clear.
  bool Dropped() const { return m_bDropped; }
  void Clear();
  std::mutex& Mutex() { return m_mutex; }

 private:
  WString m_text;
  bool m_bDropped = false;
  std::mutex m_mutex;
};
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
// Case-insensitive match of one identifier; "*" in the pattern matches any run.
bool MatchIdPattern(const WCHAR* pszId, const DeviceSelector& selector);
// True when any identifier of the null-terminated list matches.
bool MatchAnyId(const WCHAR* const* ppIds, const DeviceSelector& selector);

// A device information set, for ScopedHandle.
struct DevInfoTraits : NullInvalidTraits<HDEVINFO> {
  static Handle Invalid() { return INVALID_HANDLE_VALUE; }
  static bool IsValid(Handle h) { return h != INVALID_HANDLE_VALUE && h != nullptr; }
  static void Close(Handle h) { SetupDiDestroyDeviceInfoList(h); }
};

// ---- Property readers ---------------------------------------------------------
// A multi-string list: a null-terminated pointer array whose slot before the
// first entry holds the text block; freeing the list frees both.
void FreeMultiString(WCHAR** ppList);
struct MultiStringDeleter {
  void operator()(WCHAR** ppList) const { FreeMultiString(ppList); }
};
typedef std::unique_ptr<WCHAR*, MultiStringDeleter> MultiStringList;
struct PropertyDeleter {
  void operator()(WCHAR* pText) const;
};
typedef std::unique_ptr<WCHAR, PropertyDeleter> PropertyString;

// Builds the pointer array over a multi-string allocated with malloc. On
// success the list owns `pText`; on failure (nullptr) the caller still does.
WCHAR** SplitMultiString(WCHAR* pText);
MultiStringList ReadMultiStringProperty(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, DWORD dwProperty);
PropertyString ReadStringProperty(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, DWORD dwProperty);
// Friendly name, else device description, else nullptr.
PropertyString ReadDeviceDescription(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData);
// Appends the device's five-line record (description nullptr: the instance
// ID). False when the instance ID could not be read (written as "?").
bool AppendDeviceRecord(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, const WCHAR* pszDescription);

// ---- List edits of the setup commands ------------------------------------------
// Both apply their operations in order to a plain list and give ENGINE_USAGE
// for a malformed one; on any result but ENGINE_OK the list is to be dropped,
// not written. Names compare without case.
//
// sethwid: "=id" leaves only id, "+id" puts it first, "-id" last, "!id"
// removes it; a bare id goes behind the previous insertion (last when there
// is none). Every operation first removes the id wherever it stands.
EngineResult EditHardwareIds(std::vector<WString>* pList, int nOps, const WCHAR* const* ppOps);
// classfilter: "@name" finds the next entry of that name from the current
// position, "!name" finds and removes it (ENGINE_FAIL when there is none);
// "+name" inserts behind the position (last without one), "-name" in front of
// it (first without one), and only a name that isService accepts
// (ENGINE_FAIL otherwise); "=" forgets the position. *pbModified says whether
// the list changed.
EngineResult EditFilterList(std::vector<WString>* pList, int nOps, const WCHAR* const* ppOps,
                            const std::function<bool(const WString&)>& isService, bool* pbModified);

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
