// Audit records of forbidden devices and the device tips shown to the user.
#include <cstdlib>
#include <cstring>

#include "DeviceOpt.h"
#include "common/helper/LogOpt/VaultLogOpt.h"
#include "common/helper/StrategyOpt/StrategyOptHelper.h"
#include "common/helper/VaultRes/VaultResHelper.h"
#include "common/helper/VaultShell/VaultShellHelper.h"
#include "common/util/DiagLog.h"
#include "platform/winapi.h"

namespace {

const int32_t kBusinessDevice = 6;  // business info "deviceInfo"
const DWORD kNotifyEveryone = 0xFFFFFFFF;
const DWORD kNotifyError = 0x10;

}  // namespace

bool InVaultHelper() {
  const char* pszCommandLine = GetCommandLineA();
  return pszCommandLine != nullptr && strstr(pszCommandLine, "vaulthelper.exe") != nullptr;
}

bool FormatDeviceTip(const std::string& format, const std::string& name, std::string& text) {
  text.clear();
  bool bNameUsed = false;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') {
      text += format[i];
      continue;
    }
    char next = i + 1 < format.size() ? format[i + 1] : '\0';
    if (next == '%') {
      text += '%';
    } else if (next == 's' && !bNameUsed) {
      text += name;
      bNameUsed = true;
    } else {
      return false;
    }
    ++i;
  }
  return true;
}

void device_manage::WriteDeviceLog(const stDevice& device, uint32_t dwOperateType, std::string& strStrategyId) {
  CVaultLogOpt log;
  log.SetBusinessType(kBusinessDevice);
  log.SetOperateType(static_cast<int32_t>(dwOperateType));
  // strtoll: leading blanks and a sign allowed, stops at the first non-digit,
  // 0 without digits.
  log.SetPolicyId(static_cast<int64_t>(strtoll(strStrategyId.c_str(), nullptr, 10)));
  log.SetPolicyGroupId(STRATEGY_TYPE_DEVICE);
  log.AddBusinessInfo("deviceId", AnsiToUtf8(device.strInstancePath));
  log.AddBusinessInfo("deviceName", AnsiToUtf8(device.strDeviceName));
  log.AddBusinessInfo("deviceType", TranslateDeviceName(device.strDeviceClassGuid));
  eRet ret = log.MakeLog();
  DIAG_LOG(LOG_INFO, "WriteDeviceLog eRet = 0x%llX", ret);
}

void device_manage::NotifyDeviceTip(const char* pszKey, const stDevice& device) {
  std::string name = AnsiToUtf8(device.strDeviceName);
  std::string format = RES_GetString(pszKey);
  std::string text;
  // The resource text comes from outside: anything but one "%s" is refused
  // rather than handed to printf with a single argument.
  if (!FormatDeviceTip(format, name, text)) {
    DIAG_LOG(LOG_ERROR, "tip text of %s cannot be formatted: %s", pszKey, format.c_str());
    text = "TryError!";
  }
  UI_Notify(kNotifyEveryone, kNotifyError, text.c_str());
}

std::string device_manage::TranslateDeviceName(std::string strDeviceGuid) {
  std::string strDeviceType = RES_GetString(ClassNameKey(strDeviceGuid));
  DIAG_LOG(LOG_INFO, "strDeviceGuid = %s, strDeviceType = %s", strDeviceGuid.c_str(), strDeviceType.c_str());
  return strDeviceType;
}
