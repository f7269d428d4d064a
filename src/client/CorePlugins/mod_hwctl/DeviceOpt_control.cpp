// Control by strategy: a policy pass as gather, plan, act, and re-applying
// the lists after hardware changes.
// The decisions themselves are DecideDevice/ConcludeDevice (DeviceDecision);
// this file gathers the facts and carries the answers out.
#include <cstring>
#include <string>

#include "DeviceOpt.h"
#include "common/helper/StrategyOpt/StrategyOptHelper.h"
#include "common/helper/VaultBase/VaultBaseHelper.h"
#include "common/util/DiagLog.h"
#include "platform/winapi.h"

namespace {

// The forbid tip of a device found already off is shown at most this often.
const uint64_t kRepeatTipIntervalMs = 3600 * 1000;
// A composite device's functions get their nodes right after it starts (its
// bus driver enumerates them); on a first plug their drivers are installed
// after that. A running composite device without functions waits this long
// for them after the module first saw it, then is judged on what it has.
const uint64_t kFunctionWaitMs = 5000;

void LogPolicyOutage(eRet ret) {
  DIAG_LOG(LOG_ERROR,
           "policy library unavailable (0x%llX): nothing is enabled and the file is kept, retried at the next pass",
           ret);
}

// The adapter's answer without a device: a missing or broken library shows
// before anything is judged.
eRet ProbePolicyLibrary() {
  ULONGLONG ullChangeTime = 0;
  eRet ret = Strategy_GetStrategyLastChangeTime(GetLocalUserSessionId(), CHANGE_KIND_STRATEGY, &ullChangeTime);
  return StrategyOptHelper::IsAdapterFailure(ret) ? ret : RET_SUCCESS;
}

// The exclusion entry as the journal names it, in the words of its trace line.
std::string ExclusionText(const stDevice& entry) {
  return "class " + entry.strDeviceClassGuid + ", instance \"" + entry.strInstancePath + "\", name \"" +
         entry.strDeviceName + "\"";
}

std::string Joined(const std::vector<std::string>& ids) {
  std::string text;
  for (const std::string& id : ids) text += (text.empty() ? "" : ",") + id;
  return text;
}

}  // namespace

DeviceVerdict device_manage::JudgeDevice(const stDevice& device) {
  DeviceVerdict verdict;
  GetDeviceIdList(device, verdict.vecDeviceId, &verdict.vecDefinition);
  // The last ID's verdict and flags count.
  for (const std::string& strDeviceId : verdict.vecDeviceId) {
    auto known = m_bPassCache ? m_mapPassAnswers.find(strDeviceId) : m_mapPassAnswers.end();
    StrategyAnswer answer;
    if (known != m_mapPassAnswers.end()) {
      answer = known->second;
    } else {
      answer.bForbid = m_StrategyAnalyze.AnlyzeActFromStrategy(strDeviceId);
      if (m_StrategyAnalyze.m_eOutage != 0) {
        verdict.eOutage = m_StrategyAnalyze.m_eOutage;
        break;
      }
      answer.bLog = m_StrategyAnalyze.GetLog();
      answer.bTip = m_StrategyAnalyze.GetTip();
      answer.strStrategyId = m_StrategyAnalyze.GetStrategyId();
      if (m_bPassCache) m_mapPassAnswers[strDeviceId] = answer;
    }
    verdict.bForbid = answer.bForbid;
    verdict.bLog = answer.bLog;
    verdict.bTip = answer.bTip;
    verdict.strStrategyId = answer.strStrategyId;
  }
  return verdict;
}

eRet device_manage::ControlDeviceByStrategy() {
  Pass pass(*this);
  // The uninstall action may have run while this thread waited for the lock:
  // a pass now would disable devices and write the file it just deleted.
  if (GetUninstall() != 0) {
    DIAG_LOG(LOG_INFO, "uninstall under way, no pass");
    return RET_SUCCESS;
  }
  // No answer is not an "allow": while the library cannot be asked nothing
  // listed is enabled and no entry leaves the lists.
  if (eRet outage = ProbePolicyLibrary()) {
    LogPolicyOutage(outage);
    return outage;
  }
  EnsureListsLoaded();
  // The policy cannot change under a pass that has asked it once: one read
  // of the definitions and one question per strategy device ID.
  m_SysParamDeviceInfo.GetDeviceInfoList(&m_vecPassDefinitions);
  m_mapPassAnswers.clear();
  m_bPassCache = true;
  struct PassCacheEnd {
    bool& bOn;
    ~PassCacheEnd() { bOn = false; }
  } passCacheEnd{m_bPassCache};

  PassSnapshot snapshot = GatherPass();
  return ExecutePass(snapshot, PlanPass(snapshot));
}

PassSnapshot device_manage::GatherPass() {
  PassSnapshot snapshot;
  m_bTreeRead = false;
  const bool bInHelper = InVaultHelper();
  snapshot.devices.reserve(g_vecDeviceInfo.size());
  for (stDevice& device : g_vecDeviceInfo) {
    PassDevice gathered;
    if (const stDevice* exclusion = m_DeviceFilter.FindExclusion(device)) {
      if (m_setExcludeTraced.insert(device.strInstancePath).second)
        DIAG_LOG(LOG_INFO, "excluded %s: entry class %s, instance \"%s\", name \"%s\"", device.strInstancePath.c_str(),
                 exclusion->strDeviceClassGuid.c_str(), exclusion->strInstancePath.c_str(),
                 exclusion->strDeviceName.c_str());
      gathered.strExclusion = ExclusionText(*exclusion);
    } else {
      // Mapped in the inventory itself: the executor acts on it.
      if (m_DeviceFilter.IsOtherDeviceClass(device.strDeviceClassGuid)) {
        DIAG_LOG(LOG_INFO, "DeviceName = %s, DeviceGuid = %s", device.strInstancePath.c_str(),
                 device.strDeviceClassGuid.c_str());
        device.strDeviceClassGuid = DEVICE_CLASS_OTHER;
      }
      if (!LeftForLaterPass(device)) {
        gathered.verdict = JudgeDevice(device);
        if (gathered.verdict.eOutage != 0) {
          snapshot.eOutage = gathered.verdict.eOutage;
          return snapshot;
        }
        gathered.facts = FactsOf(device, gathered.verdict, bInHelper, false);
        gathered.bGuardAsked = AskGuard(gathered.facts, device, gathered.strGuard);
      }
    }
    gathered.device = device;
    snapshot.devices.push_back(std::move(gathered));
  }
  return snapshot;
}

eRet device_manage::ExecutePass(PassSnapshot& snapshot, const std::vector<PassStep>& steps) {
  if (snapshot.eOutage != 0) {
    // Nothing was acted on: the lists and the file stay as they are.
    LogPolicyOutage(snapshot.eOutage);
    return snapshot.eOutage;
  }
  for (const PassStep& step : steps) {
    // The uninstall may have gone on without the lock while the library
    // answered: nothing is disabled or written after it.
    if (GetUninstall() != 0) return RET_SUCCESS;
    PassDevice& gathered = snapshot.devices[step.iDevice];
    stDevice& device = g_vecDeviceInfo[step.iDevice];
    if (step.kind == PassStepKind::Exclude) {
      EraseOneFromDeviceList(DEVICE_LIST_FORBID, device);
      JournalDevice(device, DeviceVerdict(), journal_action::kExcluded, gathered.strExclusion, 0, "");
      continue;
    }
    DeviceVerdict& verdict = gathered.verdict;
    DIAG_LOG(LOG_INFO, "judged %s: verdict %u, strategy \"%s\", device IDs %s", device.strInstancePath.c_str(),
             static_cast<unsigned>(verdict.bForbid), verdict.strStrategyId.c_str(),
             Joined(verdict.vecDeviceId).c_str());
    ActOnDevice(device, verdict, &gathered, &step.planned);
    JournalDevice(device, verdict, m_LastOutcome.pszAction, "", m_LastOutcome.ret, m_LastOutcome.strGuard);
  }
  if (GetUninstall() != 0) return RET_SUCCESS;
  ForgetVanishedDevices();
  SaveLists();
  return RET_SUCCESS;
}

DeviceFacts device_manage::FactsOf(const stDevice& device, const DeviceVerdict& verdict, bool bInHelper, bool bTrace) {
  DeviceFacts facts;
  facts.bForbid = verdict.bForbid != 0;
  facts.dwState = device.dwStatus_Now;
  facts.bDisableable = (device.dwStatus & DEVREC_DN_DISABLEABLE) != 0;
  facts.bInForbidList = bTrace ? IsInDeviceList(DEVICE_LIST_FORBID, device) != 0 : m_vecForbidDeviceInfo.Find(device);
  facts.bChangePending = (device.dwStatus & DEVREC_DN_NEED_RESTART) != 0;
  facts.bInHelper = bInHelper;
  facts.bLog = verdict.bLog != 0;
  facts.bTip = verdict.bTip != 0;
  return facts;
}

bool device_manage::AskGuard(DeviceFacts& facts, const stDevice& device, std::string& strGuard) {
  // The guard is asked only where a disable would follow.
  if (!facts.bForbid || facts.dwState != DEVICE_STATE_RUNNING || !facts.bDisableable) return false;
  GuardAnswer guard;
  facts.bGuarded = IsGuarded(device, &guard);
  facts.bGuardSettled = guard.bSettled;
  facts.bGuardNew = guard.bNew;
  strGuard = facts.bGuarded ? m_strLastGuard : std::string();
  return true;
}

eRet device_manage::Do_ForbidOrEnable(uint32_t bForbid, stDevice& device, uint32_t bLog, uint32_t bTip,
                                      std::string& strStrategyId) {
  DeviceVerdict verdict;
  verdict.bForbid = bForbid;
  verdict.bLog = bLog;
  verdict.bTip = bTip;
  verdict.strStrategyId = strStrategyId;
  return ActOnDevice(device, verdict, nullptr, nullptr);
}

eRet device_manage::ActOnDevice(stDevice& device, DeviceVerdict& verdict, const PassDevice* pGathered,
                                const DeviceActions* pPlanned) {
  // Read again before the step: a parent disabled earlier in the pass takes
  // its children off with it.
  eRet ret = m_DeviceControl.QueryDeviceStatus(device);
  const bool bInVaulthelper = InVaultHelper();
  DIAG_LOG(LOG_INFO, "bForbid = %d, bInVaulthelper = %d, dev.dwStatus_Now = %d", static_cast<int>(verdict.bForbid),
           bInVaulthelper ? 1 : 0, static_cast<int>(device.dwStatus_Now));

  DeviceFacts facts = FactsOf(device, verdict, bInVaulthelper, true);
  std::string strGuard;
  DeviceActions actions;
  if (pGathered != nullptr && SameFacts(pGathered->facts, facts)) {
    facts = pGathered->facts;
    strGuard = pGathered->strGuard;
    actions = *pPlanned;
  } else {
    // The plan no longer holds: decided again on what is true now. A guard
    // already asked this pass keeps its answer (the tree is read once).
    if (pGathered != nullptr && pGathered->bGuardAsked) {
      facts.bGuarded = pGathered->facts.bGuarded;
      facts.bGuardSettled = pGathered->facts.bGuardSettled;
      facts.bGuardNew = pGathered->facts.bGuardNew;
      strGuard = pGathered->strGuard;
    } else {
      AskGuard(facts, device, strGuard);
    }
    actions = DecideDevice(facts);
  }
  DeviceOutcome lastOutcome;
  lastOutcome.dwStateAfter = device.dwStatus_Now;
  m_LastOutcome.strGuard = facts.bGuarded ? strGuard : std::string();
  if (actions.step == DeviceStep::Disable) {
    // Written down before it is done: killed between the two, the agent
    // finds the device in the file at its next start, disabled or not.
    if (m_vecForbidDeviceInfo.AppendIfAbsent(device) && !SaveLists())
      DIAG_LOG(LOG_ERROR, "%s is disabled before the file could record it", device.strInstancePath.c_str());
    DeviceOutcome outcome;
    outcome.ret = ret = m_DeviceControl.DisableDevice(device);
    if (ret == RET_SUCCESS) ret = m_DeviceControl.QueryDeviceStatus(device);
    outcome.dwStateAfter = device.dwStatus_Now;
    lastOutcome = outcome;
    actions = ConcludeDevice(facts, outcome);
  } else if (actions.step == DeviceStep::Enable) {
    DeviceOutcome outcome;
    ret = m_DeviceControl.EnableDevice(device);
    if (ret != RET_SUCCESS) ret = m_DeviceControl.EnableDevice(device);
    outcome.ret = ret;
    // The engine's success says the device was found; only its state says
    // whether the class installer really enabled it.
    m_DeviceControl.QueryDeviceStatus(device);
    outcome.dwStateAfter = device.dwStatus_Now;
    lastOutcome = outcome;
    actions = ConcludeDevice(facts, outcome);
  }
  DIAG_LOG(LOG_INFO, "device %s: %s (status 0x%08X)", device.strInstancePath.c_str(), DeviceReasonName(actions.reason),
           static_cast<unsigned>(device.dwStatus));
  m_LastOutcome.pszAction = JournalActionOf(facts, actions, lastOutcome);
  m_LastOutcome.ret = ret;
  Apply(actions, device, verdict.strStrategyId, bInVaulthelper);
  return ret;
}

void device_manage::Apply(const DeviceActions& actions, stDevice& device, std::string& strStrategyId, bool bInHelper) {
  if (actions.bEraseForbid) EraseOneFromDeviceList(DEVICE_LIST_FORBID, device);
  // Recorded before the audit and the tip: what the module did is never
  // lost, whatever happens to the agent's libraries.
  if (actions.bAddForbid) m_vecForbidDeviceInfo.AppendIfAbsent(device);
  if (actions.bAddEnableFail) m_vecEnableFailDeviceInfo.AppendIfAbsent(device);
  if (actions.dwAudit != 0) WriteDeviceLog(device, actions.dwAudit, strStrategyId);
  if (actions.pszTip == nullptr) return;
  if (strcmp(actions.pszTip, DEVICE_TIP_ENABLE) == 0 && bInHelper) DIAG_LOG(LOG_INFO, "EnableDevice success");
  if (strcmp(actions.pszTip, DEVICE_TIP_FORBID) == 0 || strcmp(actions.pszTip, DEVICE_TIP_GUARDED) == 0) {
    const uint64_t now = GetTickCount64();
    auto shown = m_mapForbidTipShown.find(device.strInstancePath);
    // A device found off again and again is tipped once an hour, not at
    // every pass: a tip seen at every plug teaches people to ignore tips.
    if (actions.bRepeatTip && shown != m_mapForbidTipShown.end() && now - shown->second < kRepeatTipIntervalMs) {
      DIAG_LOG(LOG_INFO, "forbid tip of %s held back: shown %llu s ago", device.strInstancePath.c_str(),
               static_cast<unsigned long long>((now - shown->second) / 1000));
      return;
    }
    m_mapForbidTipShown[device.strInstancePath] = now;
  }
  NotifyDeviceTip(actions.pszTip, device);
}

bool device_manage::IsGuarded(const stDevice& device, GuardAnswer* pAnswer) {
  if (!m_bTreeRead) {
    m_bTreeWhole = m_DeviceTree.Load();
    m_bTreeRead = true;
  }
  GuardAnswer ignored;
  GuardAnswer& answer = pAnswer ? *pAnswer : ignored;
  // Fails closed: with part of the tree unknown, anything that may carry
  // other devices stays running until a pass reads it whole. A disk's
  // volumes hang below the volume manager, never below the disk.
  if (!m_bTreeWhole && device.strDeviceClassGuid != DEVICE_CLASS_DISKDRIVE) {
    DIAG_LOG(LOG_INFO, "%s is left running this pass: the device tree is not read whole",
             device.strInstancePath.c_str());
    m_strLastGuard = "the device tree is not read whole";
    return true;
  }
  std::string why = m_DeviceTree.Guard(device.strInstancePath);
  if (why.empty() && m_DeviceTree.AwaitsFunctions(device.strInstancePath)) {
    // A first plug: its functions have no nodes yet, and one may be the
    // user's keyboard.
    const uint64_t now = GetTickCount64();
    const uint64_t since = m_mapAwaitingFunctions.emplace(device.strInstancePath, now).first->second;
    if (now - since < kFunctionWaitMs) {
      DIAG_LOG(LOG_INFO, "%s waits for its functions (%llu ms so far)", device.strInstancePath.c_str(),
               static_cast<unsigned long long>(now - since));
      RequestPassAt(since + kFunctionWaitMs);
      m_strLastGuard = "its functions are awaited";
      return true;
    }
  }
  m_strLastGuard = why;
  if (why.empty()) return false;
  answer.bSettled = true;
  // Disabling it would take the user's keyboard, mouse or everything behind
  // a hub with it: it stays running, and its own forbidden functions are
  // judged one by one.
  answer.bNew = m_setGuardWarned.insert(device.strInstancePath).second;
  if (answer.bNew)
    DIAG_LOG(LOG_WARN, "%s (%s) is left running although forbidden: %s", device.strInstancePath.c_str(),
             device.strDeviceName.c_str(), why.c_str());
  return true;
}

void device_manage::JournalDevice(const stDevice& device, const DeviceVerdict& verdict, const char* pszAction,
                                  const std::string& strExclusion, eRet ret, const std::string& strGuard) {
  DeviceDecisionLine line;
  line.strInstanceId = device.strInstancePath;
  line.strName = device.strDeviceName;
  line.strClassGuid = device.strDeviceClassGuid;
  line.bForbid = verdict.bForbid != 0;
  line.strStrategy = verdict.strStrategyId;
  line.vecDeviceIds = verdict.vecDeviceId;
  line.vecDefinitions = verdict.vecDefinition;
  line.strExclusion = strExclusion;
  line.pszAction = pszAction != nullptr ? pszAction : journal_action::kAllowed;
  if (strcmp(line.pszAction, journal_action::kGuarded) == 0) line.strGuard = strGuard;
  if (strcmp(line.pszAction, journal_action::kExcluded) != 0) line.ret = ret;
  m_Journal.Record(line);
}

void device_manage::ForgetVanishedDevices() {
  for (device_list* list : {&m_vecForbidDeviceInfo, &m_vecEnableFailDeviceInfo}) {
    for (const stDevice& entry : list->Snapshot()) {
      bool inInventory = false;
      for (const stDevice& d : g_vecDeviceInfo) inInventory = inInventory || d.strInstancePath == entry.strInstancePath;
      if (inInventory) continue;
      // Absent devices keep their entries: plugged in again, they are still
      // the module's. Only a device the machine no longer knows at all goes.
      stDevice current;
      bool bKnown = false;
      if (m_DeviceControl.ReadDevice(entry.strInstancePath, current, &bKnown) != RET_SUCCESS || bKnown) continue;
      list->EraseOne(entry.strInstancePath);
      DIAG_LOG(LOG_INFO, "%s is no longer on the machine: forgotten", entry.strInstancePath.c_str());
    }
  }
}

void device_manage::ReSetDevice() {
  // Runs between policy passes, never during one: a pass may be disabling a
  // device that the enable-failure list still names.
  Pass pass(*this);
  if (GetUninstall() != 0) return;
  EnsureListsLoaded();
  m_bTreeRead = false;
  bool bChanged = false;
  // The device as it is now: exclusion, class and verdict are judged on its
  // current record, never on a stored one.
  auto current = [&](const stDevice& entry, stDevice& device) {
    bool bKnown = false;
    eRet status = m_DeviceControl.ReadDevice(entry.strInstancePath, device, &bKnown);
    DIAG_LOG(LOG_INFO, "status : 0x%llX", status);
    if (!bKnown || m_DeviceFilter.IsExcludeDevice(device)) return false;
    if (m_DeviceFilter.IsOtherDeviceClass(device.strDeviceClassGuid)) device.strDeviceClassGuid = DEVICE_CLASS_OTHER;
    return true;
  };

  for (const stDevice& entry : m_vecForbidDeviceInfo.Snapshot()) {
    stDevice device;
    if (!current(entry, device) || device.dwStatus_Now != DEVICE_STATE_RUNNING) continue;
    if ((device.dwStatus & DEVREC_DN_DISABLEABLE) == 0) continue;
    // A forbidden device runs again: disabled again, unless the policy now
    // allows it (the next pass then forgets it) or it carries an input device.
    DeviceVerdict verdict = JudgeDevice(device);
    if (verdict.eOutage != 0 || !verdict.bForbid || IsGuarded(device, nullptr)) continue;
    eRet disabled = m_DeviceControl.DisableDevice(device);
    if (disabled == ENGINE_REBOOT) {
      std::vector<stDevice> vecCycle;
      m_DeviceControl.RebootUsbDevice(device, &vecCycle);
    }
  }

  for (const stDevice& entry : m_vecEnableFailDeviceInfo.Snapshot()) {
    stDevice device;
    if (!current(entry, device)) continue;
    if (device.dwStatus_Now == DEVICE_STATE_RUNNING) {
      // Enabled by someone else (and no disable of the module's waiting).
      if ((device.dwStatus & DEVREC_DN_NEED_RESTART) == 0)
        bChanged |= m_vecEnableFailDeviceInfo.EraseOne(entry.strInstancePath);
      continue;
    }
    if (device.dwStatus_Now != DEVICE_STATE_NOT_STARTED) continue;
    DeviceVerdict verdict = JudgeDevice(device);
    // Without an answer the device stays as it is.
    if (verdict.eOutage != 0) continue;
    if (verdict.bForbid) {
      // Forbidden again while still off: the forbidden list holds it.
      m_vecForbidDeviceInfo.AppendIfAbsent(device);
      m_vecEnableFailDeviceInfo.EraseOne(entry.strInstancePath);
      bChanged = true;
      continue;
    }
    if (m_DeviceControl.EnableDevice(device) != RET_SUCCESS) continue;
    m_DeviceControl.QueryDeviceStatus(device);
    if (device.dwStatus_Now == DEVICE_STATE_RUNNING)
      bChanged |= m_vecEnableFailDeviceInfo.EraseOne(entry.strInstancePath);
  }
  if (bChanged) SaveLists();
}
