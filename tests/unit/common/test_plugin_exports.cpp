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

  // A valid table is filled (what each slot does, plugin_c_host checks).
  EXPECT_EQ(cpfRun(context.AsHostContext()), 0);
  EXPECT_EQ(table.m_pfnQueryInfo, &cpf_QueryInfo);
  EXPECT_EQ(context.locks, context.unlocks);
}

TEST(Plugin, TheStopFlagCutsShutdownShortAndEndsTheMainThread) {
  std::string agent = dmtest::LoadAgentMachine("plugin-main", true);
  ASSERT_FALSE(agent.empty());
  // Without the flag the host's shutdown gives the threads their pause; with
  // it, nothing is left to wait for.
  auto start = std::chrono::steady_clock::now();
  cpfShutdown();
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(190));

  ASSERT_EQ(GetInstallDir(), dmtest::kAgentDir) << dmtest::kOwnProcess;
  CDiagLog::Instance().SetName("main");
  g_bExit.store(true);
  start = std::chrono::steady_clock::now();
  cpfShutdown();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
  Thread_Module_Main(nullptr);  // stops before its first poll instead of waiting for a policy
  g_bExit.store(false);
  std::string log = dmtest::ReadTextFile(agent + "/tpmlog/log_main.txt");
  EXPECT_NE(log.find(" DeviceManagerModule.cpp Thread_Module_Main], Thread_Module_Main Begin!\n"), std::string::npos)
      << log;
  EXPECT_NE(log.find(" DeviceManagerModule.cpp Thread_Module_Main], Thread_Module_Main End!\n"), std::string::npos)
      << log;
}
