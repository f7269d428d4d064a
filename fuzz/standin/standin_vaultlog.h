// The harness side of the fuzz targets' vaultlog.dll.
#pragma once
#include <string>

#include "platform/winapi.h"

// The last record handed to Log_Write (empty before the first).
DM_EXPORT const std::string* FuzzLastAuditRecord();
