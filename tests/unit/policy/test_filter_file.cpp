// Decision rules on synthetic records: exclusions, controlled classes,
// strategy device IDs, class names, tip formatting; the forbidden-device file.
#include <gtest/gtest.h>
#include <memory>
#include "DeviceOpt.h"
#include "policy_env.h"

namespace {

stDevice Device(const std::string& path, const std::string& name, const std::string& guid) {
  stDevice device;
  device.strInstancePath = path;
  device.strDeviceName = name;
  device.strDeviceClassGuid = guid;
  return device;
}

typedef std::vector<std::string> Names;
Names Paths(const std::vector<stDevice>& list) {
  Names paths;
  for (const stDevice& device : list) paths.push_back(device.strInstancePath);
  return paths;
}

const char kImage[] = "6bdd1fc6-810f-11d0-bec7-08002be2092f";
const std::string kFile = "config/ForbidDeviceInfo.dat";

// A fresh forbidden-device file with `text`, no copy kept aside by an earlier read.
void WriteFile(const std::string& text) {
  policytest::Install();
  for (const char* bad : {".bad", ".bad.1"}) policytest::RemoveInstallFile(kFile + bad);
  policytest::WriteInstallFile(kFile, text);
}
std::string ReadFile(const char* suffix = "") { return policytest::ReadInstallFile(kFile + suffix); }

}  // namespace

TEST(DeviceFilter, LeavesUsbPlumbingAndSystemClassesAloneOnly) {
  device_filter filter;
  filter.InitExcludeDeviceList();
  filter.InitControlClassGuid();
  EXPECT_TRUE(filter.IsExcludeDevice(Device("PCI\\VEN_8086&DEV_A0ED\\3", "xHCI", DEVICE_CLASS_USB)));
  // Hubs and input devices: a scenario forbids everything on two machines.
  EXPECT_FALSE(
      filter.IsExcludeDevice(Device("USB\\VID_0781&PID_5567\\4C53", "USB Mass Storage Device", DEVICE_CLASS_USB)));
  EXPECT_FALSE(filter.IsExcludeDevice(Device("USB\\VID_04F2\\CAM", "Camera", kImage)));
  EXPECT_FALSE(filter.IsOtherDeviceClass(kImage));
  EXPECT_FALSE(filter.IsOtherDeviceClass("4D36E967-E325-11CE-BFC1-08002BE10318"));  // case ignored
  EXPECT_TRUE(filter.IsOtherDeviceClass("4d36e979-e325-11ce-bfc1-08002be10318"));   // printer
}

TEST(DeviceManage, StrategyIdsFollowDefinitionsAndClassNamesFallBack) {
  policytest::Install();
  policytest::WritePolicy(enginetest::kPolicy);
  std::unique_ptr<device_manage> manage(new device_manage);
  std::vector<std::string> ids;

  manage->GetDeviceIdList(Device("USB\\VID_0781&PID_5567\\4C53", "", DEVICE_CLASS_USB), ids);
  EXPECT_EQ(ids, (std::vector<std::string>{"STICK-ID", "USB-DEV"}));
  manage->GetDeviceIdList(Device("SWD\\WPDBUSENUM\\PHONE", "", DEVICE_CLASS_WPD), ids);
  EXPECT_EQ(ids, std::vector<std::string>{"PORTABLE"});
  // The portable type covers the portable class only; nothing else covers a disk.
  manage->GetDeviceIdList(Device("SWD\\WPDBUSENUM\\PHONE", "", DEVICE_CLASS_DISKDRIVE), ids);
  EXPECT_EQ(ids, std::vector<std::string>{DEVICE_ID_UNDEFINED});
  manage->GetDeviceIdList(Device("USBPRINT\\HP\\1", "", DEVICE_CLASS_OTHER), ids);
  EXPECT_EQ(ids, std::vector<std::string>{"OTHER"});

  EXPECT_EQ(manage->TranslateDeviceName(DEVICE_CLASS_OTHER), "Other devices");
  EXPECT_EQ(manage->TranslateDeviceName("4D36E967-E325-11CE-BFC1-08002BE10318"), "Other devices");
}

TEST(DeviceManage, TipTextTakesOneNameAndRefusesOtherConversions) {
  std::string text;
  EXPECT_TRUE(FormatDeviceTip("Device \"%s\" 100%% off", "Cl\xC3\xA9", text));
  EXPECT_EQ(text, "Device \"Cl\xC3\xA9\" 100% off");
  for (const char* bad : {"%s and %s", "%d", "trailing %"}) EXPECT_FALSE(FormatDeviceTip(bad, "x", text)) << bad;
}

TEST(ForbidDeviceFile, ExactBytesAndTolerantReading) {
  WriteFile("");
  device_filecontrol file;
  std::vector<stDevice> list;
  ASSERT_TRUE(file.WriteForbidDeviceInfoToFile(&list));
  EXPECT_EQ(ReadFile(), "[]");
  list.push_back(Device("stale", "", ""));
  EXPECT_TRUE(file.ReadForbidDeviceInfoToVector(&list));
  EXPECT_TRUE(list.empty());

  list = {Device("USB\\VID_0781&PID_5567\\4C53", "Stick", DEVICE_CLASS_USB), Device("B", "b", "")};
  file.WriteForbidDeviceInfoToFile(&list);
  EXPECT_EQ(ReadFile(), R"([{"deviceName_10":"USB\\VID_0781&PID_5567\\4C53"},{"deviceName_10":"B"}])");
  ASSERT_TRUE(file.ReadForbidDeviceInfoToVector(&list));
  EXPECT_EQ(Paths(list), (Names{"USB\\VID_0781&PID_5567\\4C53", "B"}));
  EXPECT_EQ(list[0].strDeviceName, "");  // only the instance ID is kept

  // A non-object element still yields an (empty) record; bad members read empty.
  policytest::WriteInstallFile(kFile, R"([1,{"deviceName_10":"X"},{"deviceName_10":7}])");
  ASSERT_TRUE(file.ReadForbidDeviceInfoToVector(&list));
  EXPECT_EQ(Paths(list), (Names{"", "X", ""}));
  WriteFile("");
  list.push_back(Device("stale", "", ""));
  EXPECT_FALSE(file.ReadForbidDeviceInfoToVector(&list));
  EXPECT_TRUE(list.empty());
  file.DeleteForbidDeviceInfoFile();
  EXPECT_FALSE(file.ReadForbidDeviceInfoToVector(&list));
  EXPECT_NE(policytest::ReadDiagLog().find("ForbidDeviceInfo.dat not find!"), std::string::npos);
}

// A damaged file (cut by a crash of an older version, edited by hand) gives
// the entries still readable in it and is kept aside, never overwritten by a
// later damaged one.
TEST(ForbidDeviceFile, DamagedFileIsSalvagedAndKeptAside) {
  const std::string cut = R"([{"deviceName_10":"USB\\VID_1\\A"},{"deviceName_10" : "B\"q"},{"deviceName_10":"C)";
  WriteFile(cut);
  device_filecontrol file;
  std::vector<stDevice> list;
  ASSERT_TRUE(file.ReadForbidDeviceInfoToVector(&list));
  EXPECT_EQ(Paths(list), (Names{"USB\\VID_1\\A", "B\"q"}));
  EXPECT_EQ(ReadFile(".bad"), cut);
  EXPECT_EQ(ReadFile(), "");

  policytest::WriteInstallFile(kFile, R"({"deviceName_10":"X"})");
  ASSERT_TRUE(file.ReadForbidDeviceInfoToVector(&list));
  EXPECT_EQ(Paths(list), Names{"X"});
  EXPECT_EQ(ReadFile(".bad"), cut);
  EXPECT_EQ(ReadFile(".bad.1"), R"({"deviceName_10":"X"})");
}

// 200,000 nested brackets once killed the host at every start (a recursive
// parse); a file over the size cap is not read at all.
TEST(ForbidDeviceFile, HostileFilesNeitherCrashNorGetRead) {
  WriteFile(std::string(200000, '['));
  device_filecontrol file;
  std::vector<stDevice> list;
  EXPECT_TRUE(file.ReadForbidDeviceInfoToVector(&list));
  EXPECT_TRUE(list.empty());

  std::string huge = "[";
  while (huge.size() <= FORBID_FILE_MAX_BYTES) huge += R"({"deviceName_10":"USB\\VID_0781&PID_5567\\4C53"},)";
  WriteFile(huge + "{}]");
  EXPECT_FALSE(file.ReadForbidDeviceInfoToVector(&list));
  EXPECT_TRUE(list.empty());
  EXPECT_NE(policytest::ReadDiagLog().find("more than the 1048576 a forbidden-device file may"), std::string::npos);
}
