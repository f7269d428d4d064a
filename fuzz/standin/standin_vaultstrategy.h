// The harness side of the fuzz targets' vaultstrategy.dll: the harness sets
// the library's next answers and reads what the module asked.
#pragma once
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "common/util/ResultCode.h"
#include "platform/winapi.h"

struct FuzzAnswer {
  eRet code = 0;
  bool write = false;  // whether the library delivers `bytes` at all
  std::string bytes;   // any bytes, zeros included
};

// What a by-value text argument held when the library received it.
struct FuzzTextCall {
  std::string key;
  DWORD index = 0;
  std::string text;  // m_nSize bytes of the copy
};

struct FuzzStrategyScript {
  // Strategy_CheckTargetConditionBySessionId: code; the two texts are
  // appended to the out buffers as raw bytes.
  eRet checkCode = 0;
  std::string valueText;
  std::string actionText;
  // Strategy_GetElementValueByElementId, by element key: appended to the out
  // string, so a caller that does not empty it first reads stale text.
  std::map<std::string, FuzzAnswer> elements;
  // Strategy_GetStrategyLastChangeTime: code and time (written only on 0).
  eRet timeCode = 0;
  ULONGLONG time = 0;
  // Strategy_GetConfigStrategyCount: code; the count is written when asked.
  eRet countCode = 0;
  bool countWrites = false;
  DWORD count = 0;
  // Strategy_GetConfigStrategyElementValue, by (index, key): appended raw.
  std::map<std::pair<DWORD, std::string>, FuzzAnswer> configElements;

  // What the module asked.
  int checkCalls = 0;
  std::vector<std::string> checkArguments;  // session, type, reserved values, conditions as text
  int countCalls = 0;
  std::vector<FuzzTextCall> textCalls;  // element and config calls, in order
  std::vector<std::string> countTexts;
};

DM_EXPORT FuzzStrategyScript* FuzzStrategy();
