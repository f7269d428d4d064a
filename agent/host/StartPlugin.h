// Loads DeviceManager.dll from the program's folder and starts it as the
// agent's host does: the four exports in order, a run context and callback
// table, cpf_QueryInfo (which names the diagnostic log) and cpf_Start. For
// test and benchmark programs that drive the real plug-in through its exports.
#pragma once
#include <cstring>
#include <string>

#include "agent/host/HostInterface.h"
#include "platform/winapi.h"

namespace host {

inline bool StartPlugin(std::string* why) {
  // The module keeps what the host handed it for the life of the process.
  static CallbackTable table;
  static RunContext context;
  HMODULE plugin = LoadLibraryA("DeviceManager.dll");
  if (plugin == nullptr) {
    *why = "cannot load DeviceManager.dll beside the program";
    return false;
  }
  auto resolve = [plugin](const char* name) { return reinterpret_cast<void*>(GetProcAddress(plugin, name)); };
  auto initialize = reinterpret_cast<PFN_cpfInitialize>(resolve("cpfInitialize"));
  auto getInfo = reinterpret_cast<PFN_cpfGetInfo>(resolve("cpfGetInfo"));
  auto run = reinterpret_cast<PFN_cpfRun>(resolve("cpfRun"));
  if (initialize == nullptr || getInfo == nullptr || run == nullptr || resolve("cpfShutdown") == nullptr) {
    *why = "DeviceManager.dll lacks one of its four exports";
    return false;
  }
  if (initialize() == 0 || getInfo() == nullptr) {
    *why = "cpfInitialize or cpfGetInfo refused";
    return false;
  }
  PrepareRunContext(context, table);
  run(&context);  // answers 0 whatever happened; the table tells
  auto queryInfo = reinterpret_cast<PFN_cpf_QueryInfo>(table.slots[kSlotQueryInfo]);
  auto start = reinterpret_cast<PFN_cpf_Start>(table.slots[kSlotStart]);
  if (queryInfo == nullptr || start == nullptr) {
    *why = "cpfRun left cpf_QueryInfo or cpf_Start out of the callback table";
    return false;
  }
  unsigned char block[1024] = {};
  uint32_t size = sizeof(block);
  memcpy(block, &size, sizeof(size));
  queryInfo(block);  // names the diagnostic log "device"
  start(nullptr);
  return true;
}

}  // namespace host
