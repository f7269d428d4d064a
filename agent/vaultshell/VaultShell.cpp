// vaultshell.dll: notifications for the logged-on user. This agent has no
// desktop part, so each notification is appended as {"target", "style",
// "text"} to notify\notifications.jsonl under the installation folder and its
// text is printed on standard output.
#include <cstdio>
#include <mutex>
#include <string>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include "agent/vaultcommon/AgentCodes.h"
#include "agent/vaultcommon/AgentFiles.h"
#include "common/util/ResultCode.h"
#include "platform/winapi.h"
#include "common/helper/VaultShell/VaultShellApi.h"

namespace {
const char* const kNotifyFile = "notify\\notifications.jsonl";
std::mutex g_notifyMutex;
}  // namespace

DM_EXPORT eRet UI_Notify(DWORD dwTarget, DWORD dwStyle, const char* pText) {
  try {
    if (!pText) return VAULT_RET_BAD_ARGUMENT;
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    writer.Key("target");
    writer.Uint(dwTarget);
    writer.Key("style");
    writer.Uint(dwStyle);
    writer.Key("text");
    writer.String(pText);
    writer.EndObject();
    std::lock_guard<std::mutex> lock(g_notifyMutex);
    printf("%s\n", pText);
    fflush(stdout);
    return vaultfiles::AppendLine(vaultfiles::DataPath(kNotifyFile), std::string(buffer.GetString(), buffer.GetSize()))
               ? RET_SUCCESS
               : VAULT_RET_WRITE_FAILED;
  } catch (...) {
    return VAULT_RET_FAILURE;
  }
}

// The module calls through these exact types.
VAULT_SAME_SIGNATURE(UI_Notify);
