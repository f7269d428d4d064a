// Result codes of vaultstrategy.dll besides 0 (success).
#pragma once

#define VS_RET_NO_STRATEGY 0x2401ULL   // no strategy of the type applies
#define VS_RET_NOT_FOUND 0x2402ULL     // no such element, entry or group
#define VS_RET_BAD_ARGUMENT 0x2403ULL  // null pointer, unknown change kind, foreign text
#define VS_RET_FAILURE 0x2404ULL       // internal failure (out of memory)
