// The policy engine: device_manage keeps the device inventory and the lists of
// devices this module disabled (forbidden) or failed to enable again, decides
// per device what the strategy asks for and carries it out through the
// device-control facade; device_filter (DeviceOpt_filter.h) holds the fixed
// tables of devices that are never touched and of the setup classes the
// policy controls.
//
// A pass (DeviceOpt_control.cpp, PassPlan.h) gathers, plans and acts; the
// enables of what the module disabled are DeviceOpt_enable.cpp.
//
// Threads and locks. Thread_Device_Enum runs LoadDevice, ReLoadDevice and
// ControlDeviceByStrategy (it alone uses the inventory);
// Thread_DeviceInfo_Enum runs ReSetDevice and EnableDeviceBeforeUninstall.
// Lock order, outermost first (LockRank, asserted in debug builds):
//   1. the pass lock    - a whole policy pass with the change checks before
//                         it, a whole ReSetDevice, or the whole uninstall
//                         action, entered through device_manage::Pass: the
//                         filter tables, the definitions and the strategy
//                         analyser are used under it only;
//   2. the lock of one device list (inside device_list), never two at once;
//   3. the facade's own lock (inside device_control) and the file lock
//      (inside device_filecontrol) - leaves, never held while another lock is
//      requested.
#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "DecisionJournal.h"
#include "DeviceControl_win32.h"
#include "DeviceDecision.h"
#include "DeviceFileControl.h"
#include "DeviceInformation.h"
#include "DeviceList.h"
#include "DeviceOpt_filter.h"
#include "DeviceRecord.h"
#include "DeviceStrategyAnalyze.h"
#include "PassPlan.h"
#include "DeviceTree_win32.h"
#include "ModuleState.h"
#include "common/util/ResultCode.h"
#include "common/util/ScopedHandle.h"

// List selector of the list operations.
#define DEVICE_LIST_ENABLEFAIL 0u  // m_vecEnableFailDeviceInfo
#define DEVICE_LIST_FORBID 1u      // m_vecForbidDeviceInfo

// Strategy device ID of a device that no definition covers.
#define DEVICE_ID_UNDEFINED "FFFFFFFF-FFFFFFFF-FFFFFFFF-FFFFFFFF"

struct device_manage_test_seam;

class device_manage {
 public:
  device_manage();
  device_manage(const device_manage&) = delete;
  device_manage& operator=(const device_manage&) = delete;

  // A thread's hold of the pass lock: a whole policy pass, a reset, the
  // uninstall action or a change check of the definitions runs inside one,
  // so that a pass under way when the uninstall begins cannot disable a
  // device or rewrite the file after the uninstall has enabled and deleted
  // them. Taken at construction, waiting as long as it takes or at most
  // `iWithinMs` (the uninstall must not wait for a pass stuck in the policy
  // library); Held() says whether it was.
  class Pass {
   public:
    explicit Pass(device_manage& manage);
    Pass(device_manage& manage, int iWithinMs);
    ~Pass() = default;
    Pass(const Pass&) = delete;
    Pass& operator=(const Pass&) = delete;

    bool Held() const { return m_lock.owns_lock(); }
    // Lets passes in between (the uninstall's pauses); TakeWithin takes it
    // again, false when it did not come free in time.
    void Release();
    bool TakeWithin(int iWithinMs);

   private:
    std::optional<LockRankScope> m_rank;  // declared first: released after the lock
    std::unique_lock<std::mutex> m_lock;
  };

  // Loads the system-parameter device definitions once; the device thread
  // calls it before its first inventory (never at module load: it reaches the
  // policy library). The caller holds a Pass.
  void InitSysParamDeviceInfo();

  // Inventory and classification.
  void LoadDevice();
  void ReLoadDevice();
  // The inventory of the last ReLoadDevice, as the last pass left it (the
  // device thread only).
  const std::vector<stDevice>& Inventory() const { return g_vecDeviceInfo; }
  // `pvecDefinition`, when given, receives the name of the definition that
  // gave each ID.
  void GetDeviceIdList(const stDevice& device, std::vector<std::string>& vecDeviceId,
                       std::vector<std::string>* pvecDefinition = nullptr);
  std::string TranslateDeviceName(std::string strDeviceGuid);
  uint32_t IsStrategyChanged();
  // The caller holds a Pass: a reset on the other thread may be reading the
  // definitions this reloads.
  uint32_t IsSysParamDeviceInfoChanged();

  // Control by strategy. The entry points below take the pass lock
  // themselves.
  eRet ControlDeviceByStrategy();
  eRet Do_ForbidOrEnable(uint32_t bForbid, stDevice& device, uint32_t bLog, uint32_t bTip, std::string& strStrategyId);
  // Completes an entry restored from the file with the class, name and
  // pattern of `device`.
  uint32_t IsInDeviceList(uint32_t dwList, const stDevice& device);
  void EraseOneFromDeviceList(uint32_t dwList, const stDevice& device);
  void ReSetDevice();
  eRet EnableDeviceBeforeUninstall();
  // The policy answered that no device strategy applies to the session:
  // every listed device is enabled, and its entry leaves the file once the
  // device is no longer disabled. Runs while the start-up gate is shut.
  eRet EnableListedWithoutStrategy();

  // Audit record and tips.
  void WriteDeviceLog(const stDevice& device, uint32_t dwOperateType, std::string& strStrategyId);
  void NotifyDeviceTip(const char* pszKey, const stDevice& device);

  // Wakes Thread_Device_Enum at once (a device arrived, the portable-devices
  // key changed) instead of at its next tick.
  void WakeDeviceThread();
  // The device thread's pause: `milliseconds`, or less when woken.
  void WaitForDeviceWork(unsigned long milliseconds);

  uint32_t GetUninstall() const { return m_dwUninstall.load(std::memory_order_relaxed); }
  void SetUninstall(uint32_t value) { m_dwUninstall.store(value, std::memory_order_relaxed); }
  uint32_t GetDeviceChangeTime() const { return m_dwDeviceChangeTime.load(std::memory_order_relaxed); }
  void SetDeviceChangeTime(uint32_t value) { m_dwDeviceChangeTime.store(value, std::memory_order_relaxed); }
  // A device arrived now: the change time becomes the tick count, and always
  // differs from what it was, so that a reader that saw the last value in the
  // same millisecond still sees a change.
  void NoteDeviceArrival(uint32_t dwTick);
  uint32_t GetDeviceChanged() const { return m_dwDeviceChanged.load(std::memory_order_relaxed); }
  void SetDeviceChanged(uint32_t value) { m_dwDeviceChanged.store(value, std::memory_order_relaxed); }
  // A pass the guard asks for at a tick (GetTickCount64), the earliest one
  // kept; 0: none. The device thread runs it then and clears it.
  void RequestPassAt(uint64_t ullTick) {
    uint64_t due = m_ullPassDueAt.load(std::memory_order_relaxed);
    while ((due == 0 || ullTick < due) && !m_ullPassDueAt.compare_exchange_weak(due, ullTick)) {}
  }
  uint64_t PassDueAt() const { return m_ullPassDueAt.load(std::memory_order_relaxed); }
  void ClearPassDue() { m_ullPassDueAt.store(0, std::memory_order_relaxed); }

 private:
  friend struct device_manage_test_seam;

  // The strategy's verdict for a device whose class GUID is already mapped
  // (a class outside the controlled ones reads as DEVICE_CLASS_OTHER). The
  // caller holds a Pass.
  DeviceVerdict JudgeDevice(const stDevice& device);
  // Reads the file into the forbidden list once, whichever thread needs the
  // lists first; nothing acts on the lists before.
  void EnsureListsLoaded();
  // Writes both lists to the file: every device the module disabled and has
  // not seen enabled since.
  bool SaveLists();

  device_filter m_DeviceFilter;
  CSysParamDeviceInfo m_SysParamDeviceInfo;
  device_strategyanalyze m_StrategyAnalyze;
  device_filecontrol m_FileControl;
  device_control m_DeviceControl;
  // Devices this module disabled and has not enabled since.
  device_list m_vecForbidDeviceInfo;
  // Devices whose enable failed; retried after arrivals, kept in the file.
  device_list m_vecEnableFailDeviceInfo;
  std::vector<stDevice> g_vecDeviceInfo;
  std::atomic<uint32_t> m_dwUninstall;
  std::atomic<uint32_t> m_dwDeviceChangeTime;
  std::atomic<uint32_t> m_dwDeviceChanged;
  std::atomic<uint64_t> m_ullPassDueAt{0};
  // The pass lock: taken through Pass only. A plain mutex polled for the
  // bounded wait: the thread checkers in use do not see a timed lock taken
  // and then report its unlock as wrong.
  std::mutex m_mtxPolicyPass;

  device_list& SelectList(uint32_t dwList);
  // The parts of a pass (PassPlan.h); the caller holds a Pass with the
  // pass cache on.
  PassSnapshot GatherPass();
  eRet ExecutePass(PassSnapshot& snapshot, const std::vector<PassStep>& steps);
  // The decision's facts of a device as read, without the guard; with
  // bTrace the list membership is traced.
  DeviceFacts FactsOf(const stDevice& device, const DeviceVerdict& verdict, bool bInHelper, bool bTrace);
  // Asks the guard where a disable would follow (true then), into the facts
  // and `strGuard`.
  bool AskGuard(DeviceFacts& facts, const stDevice& device, std::string& strGuard);
  // One judged device: its state read again, then the planned actions while
  // the facts are those of the plan, else decided anew; without a plan
  // (pGathered null) decided on what is read.
  eRet ActOnDevice(stDevice& device, DeviceVerdict& verdict, const PassDevice* pGathered,
                   const DeviceActions* pPlanned);
  // Carries out the actions of the decision rules for one device.
  void Apply(const DeviceActions& actions, stDevice& device, std::string& strStrategyId, bool bInHelper);
  // Drops list entries whose device the machine no longer knows at all.
  void ForgetVanishedDevices();
  // Both lists' entries, each device once.
  std::vector<stDevice> ListedDevices();
  // Enables one listed device and says where it stands afterwards.
  enum class EnableResult { Enabled, EnabledNotStarted, WaitsForRestart, StillDisabled, Absent, Gone, Unreadable };
  // Writes the journal line of the enable.
  EnableResult EnableListedDevice(stDevice& entry);
  // The enable itself: the engine's answer in `enabled`, the device as read
  // afterwards in `now` (left empty when it could not be read).
  EnableResult TryEnableListed(stDevice& entry, eRet& enabled, stDevice& now);
  // Rounds of enables over `pending` until none is left or nothing changed
  // for the settle time; what is left is returned, with the restart flag.
  // The pass lock is let go during the pauses between rounds.
  // With bReleaseAtOnce each enabled device leaves the lists (and the file)
  // in the round that enabled it.
  std::vector<stDevice> EnableInRounds(std::vector<stDevice> pending, bool& bRestartNeeded, Pass& pass,
                                       bool bReleaseAtOnce = false);
  // The uninstall's last steps: an ERROR line for each entry that stays in
  // the file; then the file deleted when none is left (RET_SUCCESS), or
  // rewritten with exactly those (kUninstallIncomplete).
  void ReportKeptEntries(const std::vector<stDevice>& kept);
  eRet FinishUninstall(const std::vector<stDevice>& kept);
  // True when the device must stay running because it is a USB hub or its
  // present subtree holds an input device, a hub or a network adapter; says
  // so once per device and run. Also true, for now, while a composite
  // device's functions are awaited and while the tree cannot be read whole.
  // The tree is read once per pass (m_bTreeRead).
  struct GuardAnswer {
    bool bSettled = false;  // guarded for what it carries, not for now
    bool bNew = false;      // for the first time in this run
  };
  bool IsGuarded(const stDevice& device, GuardAnswer* pAnswer);
  // Writes the journal line of a judged device.
  void JournalDevice(const stDevice& device, const DeviceVerdict& verdict, const char* pszAction,
                     const std::string& strExclusion, eRet ret, const std::string& strGuard);
  // What a pass reads once, not once per device: the device definitions and
  // the strategy's answer for each strategy device ID. Valid while
  // m_bPassCache is set (under the pass lock).
  struct StrategyAnswer {
    uint32_t bForbid = 0, bLog = 0, bTip = 0;
    std::string strStrategyId;
  };
  bool m_bPassCache = false;
  std::vector<CSysParamDeviceInfo> m_vecPassDefinitions;
  std::map<std::string, StrategyAnswer> m_mapPassAnswers;
  device_tree m_DeviceTree;
  bool m_bTreeRead = false;
  bool m_bTreeWhole = true;
  std::string m_strLastGuard;  // what the last guarded device carries
  decision_journal m_Journal;
  // What the last Do_ForbidOrEnable came to, for the journal.
  struct LastOutcome {
    const char* pszAction = nullptr;
    eRet ret = 0;
    std::string strGuard;
  } m_LastOutcome;
  std::set<std::string> m_setGuardWarned;
  // When the module first saw each running composite device without functions (tick count).
  std::map<std::string, uint64_t> m_mapAwaitingFunctions;
  // Devices whose exclusion was traced: once per device, not at every pass.
  std::set<std::string> m_setExcludeTraced;
  bool m_bSysParamLoaded;  // device thread only
  std::mutex m_mtxLoad;
  bool m_bListsLoaded = false;  // under m_mtxLoad
  std::once_flag m_onceWake;
  KernelHandle m_hWake;  // auto-reset event, made on first use
  // When the forbid tip of a device already off was last shown (tick count).
  std::map<std::string, uint64_t> m_mapForbidTipShown;
};

// The module's single device manager.
extern device_manage g_DeviceManage;

// Audit records and tips belong to the agent's helper process only.
bool InVaultHelper();

// The tip text: `format` with its one "%s" replaced by `name` ("%%" gives
// "%"). False for any other conversion, or a second "%s": such a resource
// text cannot be formatted safely with a single argument.
bool FormatDeviceTip(const std::string& format, const std::string& name, std::string& text);

// What tests and benchmarks arrange and read that the threads reach only
// through the entry points: the lists and the parts of a manager. Nothing in
// the module uses it.
struct device_manage_test_seam {
  static device_list& Forbidden(device_manage& manage) { return manage.m_vecForbidDeviceInfo; }
  static device_list& EnableFailed(device_manage& manage) { return manage.m_vecEnableFailDeviceInfo; }
  static device_filter& Filter(device_manage& manage) { return manage.m_DeviceFilter; }
  static device_control& Control(device_manage& manage) { return manage.m_DeviceControl; }
  static device_strategyanalyze& Strategy(device_manage& manage) { return manage.m_StrategyAnalyze; }
};
