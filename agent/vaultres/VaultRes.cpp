// vaultres.dll: localized texts by resource key. config\strings.json under the
// agent's installation folder ({"key": "text", ...}, UTF-8) overrides the
// English texts built in here; the file is re-read when it changes. Exported
// with C linkage; CMemBuffer crosses by value, which assumes the module and
// this library share one toolchain and C runtime.
#include <map>
#include <mutex>
#include <string>
#include <rapidjson/document.h>
#include "agent/vaultcommon/AgentCodes.h"
#include "agent/vaultcommon/AgentFiles.h"
#include "common/util/MemBuffer.h"
#include "common/util/ResultCode.h"
#include "platform/winapi.h"
#include "common/helper/VaultRes/VaultResApi.h"

namespace {

const char* const kStringsFile = "config\\strings.json";
const uint64_t kMaxStringsBytes = 4ull << 20;

struct BuiltIn {
  const char* key;
  const char* text;
};

// Every key the device module asks for.
const BuiltIn kBuiltIn[] = {
    {"device.devicemanagermodule.All_universal_serial_bus_controller", "Universal Serial Bus controllers"},
    {"device.devicemanagermodule.All_ports", "Ports (COM & LPT)"},
    {"device.devicemanagermodule.All_sound_video_game_controllers", "Sound, video and game controllers"},
    {"device.devicemanagermodule.All_modem", "Modems"},
    {"device.devicemanagermodule.All_network_adapters", "Network adapters"},
    {"device.devicemanagermodule.All_1394_controller", "IEEE 1394 host controllers"},
    {"device.devicemanagermodule.All_infrared_controller", "Infrared devices"},
    {"device.devicemanagermodule.All_SCSI_RAID_controller", "Storage controllers"},
    {"device.devicemanagermodule.All_DVD/CD-ROM_drives", "DVD/CD-ROM drives"},
    {"device.devicemanagermodule.All_disk_drives", "Disk drives"},
    {"device.devicemanagermodule.All_floppy_disk_drive", "Floppy disk drives"},
    {"device.devicemanagermodule.All_Bluetooth_devices", "Bluetooth"},
    {"device.devicemanagermodule.All_PCMCIA_card", "PCMCIA adapters"},
    // The module's key carries a blank after "All_".
    {"device.devicemanagermodule.All_ PCMCIA_flash_memory_card", "PCMCIA flash memory devices"},
    {"device.devicemanagermodule.All_smart_card_reader", "Smart card readers"},
    {"device.devicemanagermodule.All_fingerprint_device", "Biometric devices"},
    {"device.devicemanagermodule.All_image_equipment", "Imaging devices"},
    {"device.devicemanagermodule.All_SD_controller", "SD host adapters"},
    {"device.devicemanagermodule.All_Windows_CE_USB_equipment", "Windows CE USB devices"},
    {"device.devicemanagermodule.Portable_equipment", "Portable devices"},
    {"device.devicemanagermodule.Other_equipment", "Other devices"},
    {"TIP_Forbid_DEVICE_NAME", "The device \"%s\" has been disabled by the security policy."},
    {"TIP_Enable_DEVICE_NAME", "The device \"%s\" has been enabled again."},
    {"TIP_ENABLE_FAILED_DEVICE_NAME", "The device \"%s\" could not be enabled again."},
    {"TIP_Guarded_DEVICE_NAME",
     "The device \"%s\" is forbidden by the security policy but is kept running: it carries an input device, a USB "
     "hub or a network adapter."},
    {"DeviceManager.DeviceManager.Enable_ForbidDevice_Failed",
     "Some devices disabled by the device control could not be enabled again; restart the computer to restore them."},
};

// Tip texts are printf formats filled with one device name: anything but a
// single "%s" (and "%%") would make the caller read arguments it never gave.
bool IsSafeTipFormat(const std::string& text) {
  int strings = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') continue;
    if (i + 1 >= text.size()) return false;
    char next = text[++i];
    if (next == 's') {
      ++strings;
    } else if (next != '%') {
      return false;
    }
  }
  return strings <= 1;
}

bool IsTipKey(const std::string& key) { return key.compare(0, 4, "TIP_") == 0; }

class StringTable {
 public:
  static StringTable& Instance() {
    static StringTable table;
    return table;
  }

  std::string Get(const std::string& key) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Refresh();
    auto it = m_overrides.find(key);
    if (it != m_overrides.end()) return it->second;
    for (const BuiltIn& one : kBuiltIn) {
      if (key == one.key) return one.text;
    }
    return std::string();
  }

 private:
  void Refresh() {
    std::string path = vaultfiles::DataPath(kStringsFile);
    bool exists = false;
    if (!m_watch.Poll(path, &exists)) return;
    if (!exists) {
      m_overrides.clear();
      m_lastText.clear();
      return;
    }
    std::string text, error;
    if (!vaultfiles::ReadWholeFile(path, kMaxStringsBytes, &text, &error)) {
      if (m_lastError != error) vaultfiles::Complain("vaultres", path + " " + error + "; keeping the last texts");
      m_lastError = error;
      return;
    }
    m_lastError.clear();
    if (text == m_lastText) return;
    m_lastText = text;
    rapidjson::Document doc;
    doc.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseCommentsFlag>(text.c_str(), text.size());
    if (doc.HasParseError() || !doc.IsObject()) {
      vaultfiles::Complain("vaultres", path + " is not a JSON object of texts; keeping the last texts");
      return;
    }
    std::map<std::string, std::string> overrides;
    for (auto it = doc.MemberBegin(); it != doc.MemberEnd(); ++it) {
      std::string key(it->name.GetString(), it->name.GetStringLength());
      if (!it->value.IsString()) {
        vaultfiles::Complain("vaultres", path + ": \"" + key + "\" is not a text; keeping the last texts");
        return;
      }
      std::string value(it->value.GetString(), it->value.GetStringLength());
      if (IsTipKey(key) && !IsSafeTipFormat(value)) {
        vaultfiles::Complain("vaultres",
                             path + ": \"" + key + "\" may hold one %s (and %%) only; the built-in text is used");
        continue;
      }
      overrides[key] = value;
    }
    m_overrides.swap(overrides);
  }

  std::mutex m_mutex;
  vaultfiles::FileWatch m_watch;
  std::map<std::string, std::string> m_overrides;
  std::string m_lastText;
  std::string m_lastError;
};

}  // namespace

// The text of `key` (UTF-8, zero-terminated); an empty buffer for an unknown
// key or a null one.
DM_EXPORT CMemBuffer RES_GetString(const char* key) {
  CMemBuffer buffer;
  try {
    if (key) {
      std::string text = StringTable::Instance().Get(key);
      if (!text.empty()) buffer.SetString(text);
    }
  } catch (...) {
    buffer.Clear();  // out of memory: answer nothing rather than throw
  }
  return buffer;
}

// Resolved by the module's loader but never called.
DM_EXPORT eRet RES_GetErrorInfo() { return VAULT_RET_NOT_SUPPORTED; }

// The module calls through these exact types.
VAULT_SAME_SIGNATURE(RES_GetString);
