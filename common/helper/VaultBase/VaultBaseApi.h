// Signatures of the vaultbase.dll functions the module calls. The library
// exports them with C linkage under these names; C++ types crossing here
// assume the same toolchain and C runtime on both sides.
#pragma once
#include "common/util/ResultCode.h"
#include "platform/winapi.h"

typedef DWORD (*PFN_GetLocalUserSessionId)();
// Kind and index select the content; *ppContent receives its address. The
// content stays owned by the library.
typedef eRet (*PFN_Mem_GetContent)(DWORD dwKind, DWORD dwIndex, void** ppContent);

#define MEM_CONTENT_SESSION_USER 2
#define MEM_CONTENT_CONFIG_VALUE 6
#define MEM_CONTENT_CLIENT_GUID 11
#define MEM_CONTENT_SERVER_IP 15
// Byte offset of the user's SID text in a session user record.
#define SESSION_USER_SID_OFFSET 72
