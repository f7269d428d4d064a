// Signatures of the vaultres.dll functions the module calls. The library
// exports them with C linkage under these names; C++ types crossing here
// assume the same toolchain and C runtime on both sides.
#pragma once
#include "common/util/MemBuffer.h"

// The localized text of `key`, zero-terminated UTF-8, in a buffer the caller
// then owns.
typedef CMemBuffer (*PFN_RES_GetString)(const char* key);
