// The audit record composer through the real audit-log library: whole
// records compared as strings (member order, escapes, identity), the attached
// file branch with its three outcomes; and the texts and digest of the other
// agent libraries.
#include <filesystem>
#include <utility>
#include <gtest/gtest.h>
#include "common/helper/LogOpt/VaultLogOpt.h"
#include "common/helper/VaultFileOpt/vaultfileopthelper.h"
#include "common/helper/VaultRes/VaultResHelper.h"
#include "policy_env.h"

using policytest::Install;
using policytest::LastLine;

namespace {

const char* const kAudit = "audit/audit.jsonl";

std::string Field(const std::string& line, const std::string& key) {
  size_t at = line.find("\"" + key + "\":\"");
  if (at == std::string::npos) return "";
  at += key.size() + 4;
  return line.substr(at, line.find('"', at) - at);
}

// The fixed head of a record, from "logVersion" to "resultInfo".
std::string Head(const CVaultLogOpt& log, const std::string& line) {
  return "\"logVersion\":4,\"logId\":\"" + Field(line, "logId") + "\",\"logTime\":" + std::to_string(log.m_llLogTime) +
         ",\"userSid\":\"" + policytest::kUserSid + "\",\"moduleType\":" + std::to_string(log.m_nModuleType) +
         ",\"logType\":" + std::to_string(log.m_nLogType) + ",\"operateType\":" + std::to_string(log.m_nOperateType) +
         ",\"actionType\":0,\"cltGuid\":\"" + policytest::kClientGuid + "\",\"cltIp\":\"" + log.m_strCltIp +
         "\",\"policyId\":" + std::to_string(log.m_llPolicyId) +
         ",\"policyGroupId\":" + std::to_string(log.m_llPolicyGroupId) + ",\"osUserName\":\"" + log.m_strOsUserName +
         "\",\"serverIp\":\"" + policytest::kServer + "\"";
}

void DeviceRecord(CVaultLogOpt& log) {
  log.SetBusinessType(6);
  log.SetOperateType(0x50101);
  log.SetPolicyId(1024);
  log.SetPolicyGroupId(0x10030001);
  log.AddBusinessInfo("deviceId", "USB\\VID_0781&PID_5567\\4C530001");
  log.AddBusinessInfo("deviceName", AnsiToUtf8("Cl\xE9 USB"));  // code page 1252
  log.AddBusinessInfo("deviceType", "Disk drives");
}
const char* const kDeviceItem =
    "{\"businessType\":6,\"deviceInfo\":{\"deviceId\":\"USB\\\\VID_0781&PID_5567\\\\4C530001\","
    "\"deviceName\":\"Cl\xC3\xA9 USB\",\"deviceType\":\"Disk drives\"}}";

// "Z:\...\files\<name>" as the module sees a file of the installation.
std::string WindowsFile(const std::string& name) { return Install().windowsDir + "files\\" + name; }
std::string JsonPath(std::string path) {
  std::string out;
  for (char c : path) out += c == '\\' ? std::string("\\\\") : std::string(1, c);
  return out;
}

}  // namespace

TEST(AuditRecord, UnknownBusinessKindsAndEscapes) {
  Install();
  CVaultLogOpt log;
  EXPECT_FALSE(log.SetBusinessType(0));
  EXPECT_FALSE(log.SetBusinessType(10));
  EXPECT_TRUE(log.m_strBusinessName.empty());
  log.AddBusinessInfo("ignored", "value");
  log.m_nResult = -5;
  log.m_strResultInfo = "q\"b\\s/\b\t\n\f\r\x01\x1f\x7f\xE9";
  ASSERT_EQ(log.MakeLog(), 0u);
  std::string line = LastLine(kAudit);
  EXPECT_EQ(line, "{" + Head(log, line) +
                      ",\"result\":-5,\"resultInfo\":\"q\\\"b\\\\s/\\b\\t\\n\\f\\r\\u0001\\u001F\x7f\xE9\","
                      "\"businessInfo\":[]}");
}

TEST(AuditRecord, AttachedFileRegisteredRefusedOrFailing) {
  namespace fs = std::filesystem;
  const auto& install = Install();
  fs::create_directories(install.hostDir + "files");
  policytest::WriteInstallFile("files/report.tar.gz", std::string(2048, 'x'));
  policytest::WriteInstallFile("files/README", "x");
  policytest::WriteInstallFile("files/empty.", "");
  policytest::RemoveInstallFile("config/vaultlog.json");

  // Registered: attSize and attGuid lead the record, fileId leads the file.
  {
    CVaultLogOpt log;
    DeviceRecord(log);
    log.m_strFilePath = WindowsFile("report.tar.gz");
    ASSERT_EQ(log.MakeLog(), 0u);
    std::string line = LastLine(kAudit);
    std::string id = Field(line, "attGuid");
    ASSERT_FALSE(id.empty());
    EXPECT_EQ(fs::file_size(install.hostDir + "audit/files/" + id), 2048u);
    EXPECT_EQ(line, "{\"attSize\":2,\"attGuid\":\"" + id + "\"," + Head(log, line) +
                        ",\"result\":0,\"resultInfo\":\"\",\"businessInfo\":[{\"businessType\":0,\"fileInfo\":[{"
                        "\"fileId\":\"" +
                        id + "\",\"fileUserSid\":\"" + policytest::kUserSid +
                        "\",\"fileName\":\"report.tar.gz\",\"fileSize\":2,\"fileDocType\":\"gz\",\"filePath\":\"" +
                        JsonPath(log.m_strFilePath) + "\"}]}," + kDeviceItem + "]}");
  }
  // Too large for the library: described without an identifier.
  policytest::WriteInstallFile("config/vaultlog.json", "{\"maxFileBytes\": 1000}");
  {
    CVaultLogOpt log;
    log.m_strFilePath = WindowsFile("report.tar.gz");
    log.m_strFileSecId = "sec";
    ASSERT_EQ(log.MakeLog(), 0u);
    std::string line = LastLine(kAudit);
    EXPECT_EQ(line.find("attSize"), std::string::npos);
    EXPECT_NE(line.find("\"fileInfo\":[{\"fileUserSid\":\"" + std::string(policytest::kUserSid) +
                        "\",\"fileSecId\":\"sec\",\"fileName\":\"report.tar.gz\",\"fileSize\":2,"),
              std::string::npos);
    EXPECT_NE(policytest::ReadDiagLog().find("Log_File failure because of file over max size. eRet=0x10F"),
              std::string::npos);
  }
  // Sizes round up to KiB; names without a real extension have no type;
  // mode 0 registers nothing; a missing file is only a path.
  const std::pair<const char*, const char*> cases[] = {
      {"README", "\"fileName\":\"README\",\"fileSize\":1,\"fileDocType\":\"\",\"filePath\""},
      {"empty.", "\"fileName\":\"empty.\",\"fileSize\":0,\"fileDocType\":\"\",\"filePath\""},
      {"missing.txt", "\"fileInfo\":[{\"filePath\""}};
  for (const auto& [name, expected] : cases) {
    CVaultLogOpt log;
    log.m_nLogFileMode = 0;
    log.m_strFileUserSid.clear();
    log.m_strFilePath = WindowsFile(name);
    ASSERT_EQ(log.MakeLog(), 0u);
    EXPECT_NE(LastLine(kAudit).find(expected), std::string::npos) << name;
  }
  // Any other failure of the library: nothing is sent, its code comes back.
  policytest::RemoveInstallFile("config/vaultlog.json");
  fs::remove_all(install.hostDir + "audit/files");
  policytest::WriteInstallFile("audit/files", "a file where the folder should be");
  {
    std::string before = policytest::ReadInstallFile(kAudit);
    CVaultLogOpt log;
    DeviceRecord(log);
    log.m_strFilePath = WindowsFile("README");
    eRet code = log.MakeLog();
    EXPECT_NE(code, 0u);
    EXPECT_NE(code, 0x10Fu);
    EXPECT_EQ(policytest::ReadInstallFile(kAudit), before);
    char text[64];
    snprintf(text, sizeof(text), "Log_File failure, eRet=0x%llX", code);
    EXPECT_NE(policytest::ReadDiagLog().find(text), std::string::npos);
  }
  fs::remove(install.hostDir + "audit/files");
}

TEST(AgentLibraries, TextsAndDigest) {
  Install();
  EXPECT_EQ(RES_GetString("device.devicemanagermodule.All_ PCMCIA_flash_memory_card"), "PCMCIA flash memory devices");
  EXPECT_EQ(RES_GetString("no.such.key"), "");
  // Overrides apply, except tip formats that would read more than one text.
  policytest::WriteInstallFile(
      "config/strings.json", R"J({"TIP_Enable_DEVICE_NAME": "Back: %s (100%%)", "TIP_Forbid_DEVICE_NAME": "%s %n"})J");
  EXPECT_EQ(RES_GetString("TIP_Enable_DEVICE_NAME"), "Back: %s (100%%)");
  EXPECT_NE(RES_GetString("TIP_Forbid_DEVICE_NAME").find("%s"), std::string::npos);
  EXPECT_EQ(RES_GetString("TIP_Forbid_DEVICE_NAME").find("%n"), std::string::npos);

  std::string digest;
  EXPECT_EQ(Application_BufferSha1("abc", digest, 0), 0u);
  EXPECT_EQ(digest, "a9993e364706816aba3e25717850c26c9cd0d89d");
}
