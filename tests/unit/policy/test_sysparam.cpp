// System-parameter device definitions against the real policy library:
// parsing, backslash pairs, change detection by time and digest, empty groups.
#include <gtest/gtest.h>
#include "DeviceInformation.h"
#include "policy_env.h"

using policytest::Install;
using policytest::WritePolicy;

namespace {

// In JSON text "\\\\" is two backslashes; the parser reduces each pair to one.
std::string Policy(const std::string& extraEntry, const std::string& otherGroup) {
  return R"({"sysParams": {
    "0x20060001": [
      {"deviceName_10": "USB disks", "deviceType_10": "4d36e967-e325-11ce-bfc1-08002be10318",
       "deviceInstance_10": "USBSTOR\\\\DISK*", "deviceId_10": "USB-STORAGE"},
      {"deviceName_10": "Odd", "deviceInstance_10": "A\\\\\\\\B\\C", "deviceId_10": "ODD"})" +
         extraEntry + R"(
    ],
    "0x20060002": [{"x": ")" +
         otherGroup + R"("}]
  }})";
}

}  // namespace

TEST(SysParamDeviceInfo, ParsesEntriesThenReportsAChangeOnlyWithANewTimeAndDigest) {
  Install();
  WritePolicy(Policy("", "a"));
  CSysParamDeviceInfo info;
  ASSERT_EQ(info.Init(), 0u);
  ASSERT_EQ(info.m_vecDeviceInfo.size(), 2u);
  EXPECT_EQ(info.m_vecDeviceInfo[0].GetDeviceType(), "4d36e967-e325-11ce-bfc1-08002be10318");
  EXPECT_EQ(info.m_vecDeviceInfo[0].GetInstancePath(), "USBSTOR\\DISK*");
  // The digest is the library's SHA-1: 40 lower-case hexadecimal digits.
  EXPECT_EQ(info.m_strDeviceInfoDigest.size(), 40u);
  EXPECT_EQ(info.m_strDeviceInfoDigest.find_first_not_of("0123456789abcdef"), std::string::npos);

  EXPECT_EQ(info.ParseDeviceInformation(""), 0x2302u);
  EXPECT_EQ(info.ParseDeviceInformation("not a configuration"), 0x2302u);
  EXPECT_EQ(info.m_vecDeviceInfo.size(), 2u);

  // Change: first poll: the time moves from 0, the text is what Init saw.
  EXPECT_EQ(info.IsDevInfoInSysParamFileChanged(), 0u);
  int64_t firstTime = info.m_llChangeTime;
  EXPECT_NE(firstTime, 0);
  EXPECT_EQ(info.IsDevInfoInSysParamFileChanged(), 0u);

  // Another group changes: new time, same device text.
  WritePolicy(Policy("", "b"));
  EXPECT_EQ(info.IsDevInfoInSysParamFileChanged(), 0u);
  EXPECT_NE(info.m_llChangeTime, firstTime);

  // The device text changes: reported once; the list waits for the re-read.
  std::string digest = info.m_strDeviceInfoDigest;
  WritePolicy(Policy(R"(, {"deviceId_10": "THIRD"})", "b"));
  EXPECT_EQ(info.IsDevInfoInSysParamFileChanged(), 1u);
  EXPECT_NE(info.m_strDeviceInfoDigest, digest);
  EXPECT_EQ(info.m_vecDeviceInfo.size(), 2u);
  EXPECT_EQ(info.IsDevInfoInSysParamFileChanged(), 0u);
  ASSERT_EQ(info.AnalysisDevInfoFromSysParamFile(), 0u);
  ASSERT_EQ(info.m_vecDeviceInfo.size(), 3u);
  EXPECT_EQ(info.m_vecDeviceInfo[2].GetDeviceID(), "THIRD");

  // An empty group, then none at all: the list stays, the codes say why.
  WritePolicy(R"({"sysParams": {"0x20060001": []}})");
  EXPECT_EQ(info.Init(), 0x2301u);
  WritePolicy(R"({"strategies": []})");
  EXPECT_EQ(info.AnalysisDevInfoFromSysParamFile(), 0x2402u);
  EXPECT_EQ(info.m_vecDeviceInfo.size(), 3u);
  std::string diag = policytest::ReadDiagLog();
  EXPECT_NE(diag.find("GetSysDeivceInfoFromXMLfile failed @ Init!"), std::string::npos);
  EXPECT_NE(diag.find("GetSysDeivceInfoFromXMLfile failed @ IsDevInfoInSysParamFileFresh."), std::string::npos);
  EXPECT_NE(diag.find("strDeviceInfo is empty!"), std::string::npos);
  EXPECT_NE(diag.find("baStrategyValue is empty!"), std::string::npos);
  EXPECT_NE(diag.find("devInfo.strDeviceName = Odd, devInfo.strDeviceType = , devInfo.strInstancePath = A\\\\B\\C, "
                      "devInfo.strDeviceID = ODD"),
            std::string::npos);
}
