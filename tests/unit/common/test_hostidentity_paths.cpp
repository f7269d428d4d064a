#include <algorithm>
#include <filesystem>
#include <list>
#include <string>
#include <tuple>
#include <vector>
#include <gtest/gtest.h>
#include "common/util/DiagLog.h"
#include "common/util/HostIdentity.h"
#include "common/util/file/FileHelper_win32.h"
#include "test_hostidentity_agent.h"

namespace {

const char kServiceKey[] = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\VaultServiceHelper";

std::vector<BYTE> Utf16Bytes(const std::u16string& text) {
  const BYTE* bytes = reinterpret_cast<const BYTE*>(text.data());
  return std::vector<BYTE>(bytes, bytes + text.size() * 2);
}

}  // namespace

TEST(HostIdentity, PathPiecesAndGuidText) {
  EXPECT_EQ(GetDirFromPath("name.exe"), "name.exe");
  EXPECT_EQ(GetDirFromPath("a/b\\c"), "a/b\\");
  EXPECT_EQ(GetDirFromPath("a\\b/c"), "a\\b/");
  EXPECT_EQ(GetDirFromPath("\\root"), "\\root");
  EXPECT_EQ(GetDirFromPath(nullptr), "");
  EXPECT_EQ(GetFileNameFromPath("\"C:\\x\\setup.exe\""), "setup.exe");
  EXPECT_EQ(GetFileNameFromPath("C:\\x\\run.exe\" -s"), "run.exe");
  EXPECT_EQ(GetFileNameFromPath("\\root"), "\\root");
  EXPECT_EQ(GetFileNameFromPath(nullptr), "");

  EXPECT_EQ(InstallDirFromHostDir("C:\\Agent\\x86\\bin\\"), "C:\\Agent\\");
  EXPECT_EQ(InstallDirFromHostDir("D:\\Agent\\x64\\"), "D:\\Agent\\");
  EXPECT_EQ(InstallDirFromHostDir("D:\\x64\\x86\\"), "D:\\");
  EXPECT_EQ(InstallDirFromHostDir("C:\\Tools\\"), "C:\\Tools\\");
  EXPECT_EQ(InstallDirFromHostDir("x64\\"), "x64\\");

  // The text form of a GUID is the audit scenario's (logId).
  EXPECT_NE(CreateGuidString(), CreateGuidString());
}

TEST(HostIdentity, InstallDirAndRegistryStrings) {
  ASSERT_FALSE(dmtest::LoadAgentMachine("hostid-registry", false).empty());
  ASSERT_EQ(GetInstallDir(), dmtest::kAgentDir) << dmtest::kOwnProcess;
  EXPECT_EQ(GetInstallBinDir(false), "C:\\Agent\\x64\\");
  EXPECT_EQ(GetInstallBinDir(true), "C:\\Agent\\x86\\");

  const std::string key = "HKLM\\SOFTWARE\\DmTest";
  winsim::SetRegistryValue(key, "multi", REG_MULTI_SZ, Utf16Bytes(std::u16string(u"first\0second\0\0", 15)));
  winsim::SetRegistryValue(key, "expand", REG_EXPAND_SZ, Utf16Bytes(std::u16string(u"%TEMP%\\x", 9)));
  winsim::SetRegistryValue(key, "unterminated", REG_SZ, Utf16Bytes(u"abc"));
  winsim::SetRegistryValue(key, "empty", REG_SZ, {});
  winsim::SetRegistryDword(key, "number", 5);
  auto read = [](const WCHAR* value, WString& out) {
    return RegReadString(HKEY_LOCAL_MACHINE, WIDE("SOFTWARE\\DmTest"), value, out);
  };
  auto text = [&](const WCHAR* value) {
    WString out;
    return read(value, out) ? WideToAnsi(out) : std::string("<failed>");
  };
  EXPECT_EQ(text(WIDE("multi")), "first");
  EXPECT_EQ(text(WIDE("expand")), "%TEMP%\\x");
  EXPECT_EQ(text(WIDE("unterminated")), "abc");
  WString out = WIDE("kept");
  EXPECT_FALSE(read(WIDE("empty"), out));
  EXPECT_FALSE(read(WIDE("number"), out));
  EXPECT_FALSE(read(WIDE("missing"), out));
  EXPECT_FALSE(RegReadString(HKEY_LOCAL_MACHINE, WIDE("SOFTWARE\\NoSuchKey"), WIDE("x"), out));
  EXPECT_EQ(WideToAnsi(out), "kept");
}

TEST(HostIdentity, ListsOnlyRealAdapters) {
  winsim::ClearAdapters();
  const std::tuple<const char*, UINT, const char*, BYTE> adapters[] = {
      {"Intel(R) Ethernet Connection", MIB_IF_TYPE_ETHERNET, "192.168.1.20", 0x01},
      {"Realtek PCIe", MIB_IF_TYPE_ETHERNET, "10.0.0.0", 0x02},
      {"VMware Virtual Ethernet Adapter", MIB_IF_TYPE_ETHERNET, "192.168.56.1", 0x03},
      {"Cisco VPN Virtual Miniport", MIB_IF_TYPE_ETHERNET, "172.16.0.9", 0x04},
      {"Software Loopback", MIB_IF_TYPE_LOOPBACK, "127.0.0.1", 0x05},
      {"Intel(R) Wi-Fi 6 AX201", IF_TYPE_IEEE80211, "10.1.2.3", 0xAB}};
  for (const auto& [description, type, address, last] : adapters)
    winsim::AddAdapter({"", description, type, {0x00, 0x1A, 0x2B, 0x3C, 0x4D, last}, {address}, "", true});

  std::list<std::string> addresses{"kept"};
  EXPECT_EQ(GetAdapterAddressList(addresses, false), 0u);
  EXPECT_EQ(addresses, (std::list<std::string>{"kept", "192.168.1.20", "10.1.2.3"}));
  std::list<std::string> macs;
  EXPECT_EQ(GetAdapterAddressList(macs, true), 0u);
  EXPECT_EQ(macs, (std::list<std::string>{"00-1A-2B-3C-4D-01", "00-1A-2B-3C-4D-AB"}));
}

TEST(HostIdentity, FileSizes) {
  std::string agent = dmtest::LoadAgentMachine("hostid-files", true);
  ASSERT_FALSE(agent.empty());
  ASSERT_TRUE(dmtest::WriteTextFile(agent + "/config/data.bin", std::string(1234, 'x')));
  ASSERT_EQ(GetInstallDir(), dmtest::kAgentDir) << dmtest::kOwnProcess;
  CDiagLog::Instance().SetName("sizes");

  EXPECT_EQ(File_GetSize("C:\\Agent\\config\\data.bin"), 1234u);
  EXPECT_EQ(File_GetSize("C:\\Agent\\config"), ~0ULL);
  EXPECT_EQ(File_GetSize("C:\\Agent\\config\\missing.bin"), ~0ULL);
  // One line: the missing file. Files and directories are sized silently.
  std::string log = dmtest::ReadTextFile(agent + "/tpmlog/log_sizes.txt");
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
  EXPECT_NE(log.find(" WARN("), std::string::npos) << log;
  EXPECT_NE(log.find(" File_GetSize], Not exist cFileName = C:\\Agent\\config\\missing.bin GetLastError() = "),
            std::string::npos)
      << log;
}
