// Adapter of vaultbase.dll: session id and the agent's shared content.
#pragma once
#include <atomic>
#include "common/util/ResultCode.h"
#include "platform/winapi.h"

// Loads vaultbase.dll on first need and resolves the slot; 0, 0x201 or 0x211.
namespace VaultBaseHelper {
// Loads the library on first need and resolves its names; 0, 0x201 or 0x211.
eRet Dll_Init_Check_Function(void* slot);
}  // namespace VaultBaseHelper

DWORD GetLocalUserSessionId();
eRet Mem_GetContent(DWORD dwKind, DWORD dwIndex, void** ppContent);

// Never fail: a zero-filled default of their own when the library answers
// nothing. Shared words are read with relaxed atomic loads (the library
// rewrites them when its configuration changes).
const std::atomic<DWORD>* Mem_GetConfigValue(DWORD dwIndex);  // kind 6
const char* Mem_GetSessionUser(DWORD dwSessionId);            // kind 2; SID text at byte 72
const char* Mem_GetClientGuid(DWORD dwIndex);                 // kind 11, index 1
const char* Mem_GetServerIp(DWORD dwIndex);                   // kind 15, index 1

#define SHARED_INDEX_AGENT_STATE 7
#define SHARED_INDEX_DIAG_LEVEL 46
#define AGENT_STATE_UNINSTALLING 0x10000000u
