// The exclusion and controlled-class tables and the resource keys of the
// class names.
#include "DeviceOpt_filter.h"

namespace {

// Setup classes the policy can control; the index is the table position.
const char* const kControlClassGuid[] = {
    "36fc9e60-c465-11cf-8056-444553540000",  // USB
    "4d36e978-e325-11ce-bfc1-08002be10318",  // Ports
    "4d36e96d-e325-11ce-bfc1-08002be10318",  // Modem
    "4d36e980-e325-11ce-bfc1-08002be10318",  // FloppyDisk
    "4d36e965-e325-11ce-bfc1-08002be10318",  // CDROM
    "4d36e967-e325-11ce-bfc1-08002be10318",  // DiskDrive
    "4d36e970-e325-11ce-bfc1-08002be10318",  // MTD
    "4d36e977-e325-11ce-bfc1-08002be10318",  // PCMCIA
    "50dd5230-ba8a-11d1-bf5d-0000f805f530",  // SmartCardReader
    "53d29ef7-377c-4d14-864b-eb3a85769359",  // Biometric
    "6bdd1fc1-810f-11d0-bec7-08002be2092f",  // 1394
    "6bdd1fc5-810f-11d0-bec7-08002be2092f",  // Infrared
    "6bdd1fc6-810f-11d0-bec7-08002be2092f",  // Image
    "a0a588a4-c46f-4b37-b7ea-c82fe89870c6",  // SDHost
    "e0cbf06c-cd8b-4647-bb8a-263b43f0f974",  // Bluetooth
    "25dbce51-6c8f-4a72-8a6d-b54c2b4fc835",  // WCEUSBS
    "eec5ad98-8080-425f-922a-dabf3de3f69a",  // WPD
};

// Devices of these classes are never controlled; SCSIAdapter stands twice.
const char* const kExcludeClassGuid[] = {
    "50127dc3-0f36-415e-a6cc-4cb3be910b65",  // Processor
    "4d36e97b-e325-11ce-bfc1-08002be10318",  // SCSIAdapter
    "8ecc055d-047f-11d1-a537-0000f8753ed1",  // LegacyDriver
    "4d36e968-e325-11ce-bfc1-08002be10318",  // Display
    "4d36e96b-e325-11ce-bfc1-08002be10318",  // Keyboard
    "4d36e96f-e325-11ce-bfc1-08002be10318",  // Mouse
    "4d36e97d-e325-11ce-bfc1-08002be10318",  // System
    "72631e54-78a4-11d0-bcf7-00aa00b7b32a",  // Battery
    "4d36e96e-e325-11ce-bfc1-08002be10318",  // Monitor
    "745a17a0-74d3-11d0-b6fe-00a0c90f57da",  // HIDClass
    "4d36e96c-e325-11ce-bfc1-08002be10318",  // MEDIA
    "71a27cdd-812a-11d0-bec7-08002be2092f",  // Volume
    DEVICE_CLASS_USB,                        // only host controllers and hubs
    "4d36e96a-e325-11ce-bfc1-08002be10318",  // HDC
    "4d36e97b-e325-11ce-bfc1-08002be10318",  // SCSIAdapter
    "4d36e972-e325-11ce-bfc1-08002be10318",  // Net
};

// Within the USB class only the plumbing is left alone: host controllers,
// root hubs and generic hubs. Storage sticks, cameras etc. stay controllable.
struct UsbExclusion {
  const char* pszInstancePattern;
  const char* pszNamePattern;
};
const UsbExclusion kUsbExclusions[] = {
    {"PCI\\VEN_*", "*"},
    {"USB\\ROOT_HUB*", "*"},
    {"*", "Generic USB Hub"},
};

struct ClassName {
  const char* pszGuid;
  const char* pszKey;
};
const ClassName kClassNames[] = {
    {"36fc9e60-c465-11cf-8056-444553540000", "device.devicemanagermodule.All_universal_serial_bus_controller"},
    {"4d36e978-e325-11ce-bfc1-08002be10318", "device.devicemanagermodule.All_ports"},
    {"4d36e96c-e325-11ce-bfc1-08002be10318", "device.devicemanagermodule.All_sound_video_game_controllers"},
    {"4d36e96d-e325-11ce-bfc1-08002be10318", "device.devicemanagermodule.All_modem"},
    {"4d36e972-e325-11ce-bfc1-08002be10318", "device.devicemanagermodule.All_network_adapters"},
    {"6bdd1fc1-810f-11d0-bec7-08002be2092f", "device.devicemanagermodule.All_1394_controller"},
    {"6bdd1fc5-810f-11d0-bec7-08002be2092f", "device.devicemanagermodule.All_infrared_controller"},
    {"4d36e97b-e325-11ce-bfc1-08002be10318", "device.devicemanagermodule.All_SCSI_RAID_controller"},
    {"4d36e965-e325-11ce-bfc1-08002be10318", "device.devicemanagermodule.All_DVD/CD-ROM_drives"},
    {"4d36e967-e325-11ce-bfc1-08002be10318", "device.devicemanagermodule.All_disk_drives"},
    {"4d36e980-e325-11ce-bfc1-08002be10318", "device.devicemanagermodule.All_floppy_disk_drive"},
    {"e0cbf06c-cd8b-4647-bb8a-263b43f0f974", "device.devicemanagermodule.All_Bluetooth_devices"},
    {"4d36e977-e325-11ce-bfc1-08002be10318", "device.devicemanagermodule.All_PCMCIA_card"},
    // The blank after "All_" is part of the resource key.
    {"4d36e970-e325-11ce-bfc1-08002be10318", "device.devicemanagermodule.All_ PCMCIA_flash_memory_card"},
    {"50dd5230-ba8a-11d1-bf5d-0000f805f530", "device.devicemanagermodule.All_smart_card_reader"},
    {"53d29ef7-377c-4d14-864b-eb3a85769359", "device.devicemanagermodule.All_fingerprint_device"},
    {"6bdd1fc6-810f-11d0-bec7-08002be2092f", "device.devicemanagermodule.All_image_equipment"},
    {"a0a588a4-c46f-4b37-b7ea-c82fe89870c6", "device.devicemanagermodule.All_SD_controller"},
    {"25dbce51-6c8f-4a72-8a6d-b54c2b4fc835", "device.devicemanagermodule.All_Windows_CE_USB_equipment"},
    {DEVICE_CLASS_PORTABLE_TYPE, "device.devicemanagermodule.Portable_equipment"},
    {DEVICE_CLASS_WPD, "device.devicemanagermodule.Portable_equipment"},
};
const char kOtherClassKey[] = "device.devicemanagermodule.Other_equipment";

}  // namespace

// ---------------------------------------------------------------------------
// device_filter

device_filter::device_filter() {}

void device_filter::InitExcludeDeviceList() {
  m_vecExcludeDevice.clear();
  for (const char* pszGuid : kExcludeClassGuid) {
    if (std::string(pszGuid) == DEVICE_CLASS_USB) {
      for (const UsbExclusion& exclusion : kUsbExclusions) {
        m_stDevice.ResetDevice();
        m_stDevice.strInstancePath = exclusion.pszInstancePattern;
        m_stDevice.strDeviceName = exclusion.pszNamePattern;
        m_stDevice.strDeviceClassGuid = pszGuid;
        m_vecExcludeDevice.push_back(m_stDevice);
      }
      continue;
    }
    m_stDevice.ResetDevice();
    m_stDevice.strInstancePath = "*";
    m_stDevice.strDeviceName = "*";
    m_stDevice.strDeviceClassGuid = pszGuid;
    m_vecExcludeDevice.push_back(m_stDevice);
  }
}

void device_filter::InitControlClassGuid() {
  uint32_t index = 0;
  for (const char* pszGuid : kControlClassGuid) m_setControlClassGuid[pszGuid] = index++;
}

bool device_filter::IsExcludeDevice(stDevice device) { return FindExclusion(device) != nullptr; }

const stDevice* device_filter::FindExclusion(const stDevice& device) const {
  for (const stDevice& entry : m_vecExcludeDevice) {
    if (entry.strDeviceClassGuid != device.strDeviceClassGuid) continue;
    if (MatchWildcard(entry.strInstancePath, device.strInstancePath) &&
        MatchWildcard(entry.strDeviceName, device.strDeviceName))
      return &entry;
  }
  return nullptr;
}

bool device_filter::IsOtherDeviceClass(std::string strClassGuid) {
  for (char& c : strClassGuid)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return m_setControlClassGuid.find(strClassGuid) == m_setControlClassGuid.end();
}

const char* ClassNameKey(const std::string& strClassGuid) {
  for (const ClassName& row : kClassNames)
    if (strClassGuid == row.pszGuid) return row.pszKey;
  return kOtherClassKey;
}
