// The module's main thread: waits for a device-control strategy that targets
// the local user's session, starts the workers once, then pumps window
// messages until the module is told to stop.
#pragma once
#include <cstdint>

uint32_t Thread_Module_Main(void* pArgument);

// Makes the diagnostic log take its level from the agent's shared setting,
// read through vaultbase at most once a minute.
void FollowAgentDiagLevel();

// Inventory and policy passes, once a second, until g_bExit or the uninstall.
uint32_t Thread_Device_Enum(void* pArgument);
// Re-applies the device lists after arrivals, every two seconds; performs the
// uninstall action once when the agent is being removed.
uint32_t Thread_DeviceInfo_Enum(void* pArgument);

// Starts the worker threads and the notification window; called once, from
// Thread_Module_Main, when the start-up gate opens.
void StartModuleWorkers(void* pArgument);
