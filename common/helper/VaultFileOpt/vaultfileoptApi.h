// Signatures of the vaultfileopt.dll functions the module calls. The library
// exports them with C linkage under these names; C++ types crossing here
// assume the same toolchain and C runtime on both sides.
#pragma once
#include <string>
#include "common/util/ResultCode.h"
#include "platform/winapi.h"

// Digest text of `strInput` into `strDigest`; the option is always 0.
typedef eRet (*PFN_Application_BufferSha1)(const std::string& strInput, std::string& strDigest, DWORD dwOption);
