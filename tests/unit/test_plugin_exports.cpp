#include <chrono>
#include <cstring>
#include <string>
#include <gtest/gtest.h>
#include "DeviceManager.h"
#include "DeviceManagerModule.h"
#include "common/util/DiagLog.h"
#include "common/util/HostIdentity.h"
#include "test_cpf_context.h"
#include "test_hostidentity_agent.h"

namespace {

template <typename T>
T At(const void* base, size_t offset) {
  T value;
  memcpy(&value, static_cast<const unsigned char*>(base) + offset, sizeof(T));
  return value;
}

}  // namespace

TEST(Plugin, RunFillsAValidCallbackTableOnly) {
  dmtest::FakeRunContext context;
  cpfCallbackTable table;
  memset(&table, 0xEE, sizeof(table));
  table.m_dwVersion = 1;
  cpfCallbackTable before = table;

  EXPECT_EQ(cpfRun(nullptr), 0);
  EXPECT_EQ(cpfRun(context.AsHostContext()), 0);  // highest index -1
  context.maxIndex = 0;
  EXPECT_EQ(cpfRun(context.AsHostContext()), 0);  // entry 0 null
  context.entries[0] = &table;
  table.m_dwVersion = 2;
  EXPECT_EQ(cpfRun(context.AsHostContext()), 0);
  table.m_dwVersion = 1;
  EXPECT_EQ(memcmp(&table, &before, sizeof(table)), 0);

  EXPECT_EQ(cpfRun(context.AsHostContext()), 0);
  EXPECT_EQ(table.m_pfnQueryInfo, &cpf_QueryInfo);
  EXPECT_EQ(table.m_pfnStart, &cpf_Start);
  EXPECT_EQ(table.m_pSlot3, before.m_pSlot3);
  EXPECT_EQ(table.m_pfnGetStatus, &cpf_GetStatus);
  EXPECT_EQ(table.m_pfnGetName, &cpf_GetName);
  EXPECT_EQ(table.m_pfnSlot6, &cpf_Nop);
  EXPECT_EQ(table.m_pfnSlot7, &cpf_Nop);
  EXPECT_EQ(context.locks, context.unlocks);
}

TEST(Plugin, InformationNameAndStatusCallbacks) {
  EXPECT_EQ(cpf_QueryInfo(nullptr), 257u);
  unsigned char block[1024];
  memset(block, 0xAB, sizeof(block));
  uint32_t size = 1023;
  memcpy(block, &size, 4);
  unsigned char untouched[1024];
  memcpy(untouched, block, sizeof(block));
  EXPECT_EQ(cpf_QueryInfo(block), 260u);
  EXPECT_EQ(memcmp(block, untouched, sizeof(block)), 0);
  size = 1024;
  memcpy(block, &size, 4);
  EXPECT_EQ(cpf_QueryInfo(block), 0u);
  EXPECT_EQ(At<uint32_t>(block, 0), 1024u);
  EXPECT_EQ(At<uint32_t>(block, 4), 196791u);
  EXPECT_EQ(At<uint32_t>(block, 8), 1u);
  for (size_t i = 12; i < sizeof(block); ++i) ASSERT_EQ(block[i], 0) << i;

  const std::u16string name = u"DeviceManager";
  CMemBuffer empty;
  EXPECT_EQ(cpf_GetName(&empty), 0u);
  ASSERT_EQ(empty.GetSize(), 26);
  EXPECT_EQ(memcmp(empty.GetBuffer(), name.data(), 26), 0);
  CMemBuffer holding;
  holding.Append("0123456789", 10);
  EXPECT_EQ(cpf_GetName(&holding), 0u);
  ASSERT_EQ(holding.GetSize(), 36);
  EXPECT_EQ(memcmp(holding.GetBuffer(), "0123456789", 10), 0);
  EXPECT_EQ(memcmp(holding.GetBuffer() + 10, name.data(), 26), 0);
  EXPECT_EQ(cpf_GetName(nullptr), 0u);

  uint32_t status = 7;
  EXPECT_EQ(cpf_GetStatus(&status), 0u);
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(cpf_Nop(nullptr), 0u);
}

TEST(Plugin, ShutdownAndMainThreadHonourTheStopFlag) {
  std::string agent = dmtest::LoadAgentMachine("plugin-main", true);
  ASSERT_FALSE(agent.empty());
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(cpfShutdown(), 1);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(190));

  bool logging = GetInstallDir() == dmtest::kAgentDir;
  if (logging) {
    CDiagLog::Instance().SetName("main");
    CDiagLog::Instance().ForceThresholdRefresh();
    logging = CDiagLog::Instance().IsLevelEnabled(LOG_INFO);
  }
  g_bExit.store(true);
  EXPECT_EQ(cpfShutdown(), 1);
  EXPECT_EQ(Thread_Module_Main(nullptr), 0u);  // stops before its first poll
  g_bExit.store(false);
  if (logging) {
    std::string log = dmtest::ReadTextFile(agent + "/tpmlog/log_main.txt");
    EXPECT_NE(log.find(" DeviceManagerModule.cpp Thread_Module_Main], Thread_Module_Main Begin!\n"), std::string::npos)
        << log;
    EXPECT_NE(log.find(" DeviceManagerModule.cpp Thread_Module_Main], Thread_Module_Main End!\n"), std::string::npos)
        << log;
  }
}
