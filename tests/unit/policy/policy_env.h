// A scratch agent installation for the policy tests: config\agent.json with a
// known identity, the diagnostic log folder, and the registry's "UninstallExe"
// pointing there. Made once per process (the installation folder is cached
// for the life of the process); tests then write the files they need.
#pragma once
#include <string>
#include "support/agent_install.h"

namespace policytest {

using Installation = dmtest::AgentInstall;

const Installation& Install();
// Writes <install>/<relative> (relative uses "/"), giving it a write time later
// than any before so that a watcher sees a change even within one clock tick.
void WriteInstallFile(const std::string& relative, const std::string& text);
void WritePolicy(const std::string& json);
void RemoveInstallFile(const std::string& relative);
std::string ReadInstallFile(const std::string& relative);
// Last line of a JSON-lines file ("" when there is none).
std::string LastLine(const std::string& relative);
// Everything the diagnostic log wrote so far.
std::string ReadDiagLog();

// Identity written to agent.json.
inline const char* const kUserSid = "S-1-5-21-7-1001";
inline const char* const kClientGuid = "6F9619FF-8B86-D011-B42D-00C04FC964FF";
inline const char* const kServer = "10.20.30.40";
const unsigned kSessionId = 3;

}  // namespace policytest

// The policy of the device-list tests: device definitions and one forbidding
// strategy for session 3 (the local user's in the scratch installation).
namespace enginetest {

// Definition order matters: the stick gets [STICK-ID, USB-DEV] and is
// forbidden by the last; TWO gets [USB-DEV, NOPOLICY] and is not.
inline const char* const kPolicy = R"({
  "strategies": [
    {"id": 1024, "type": "0x10030001", "sessions": [3], "conditions": {"deviceId_10": "USB-DEV"},
     "action": {"processMethod_10": "forbid", "logType_10": "auditLog", "needTip_10": "true"}}
  ],
  "sysParams": {"0x20060001": [
    {"deviceName_10": "stick", "deviceType_10": "36fc9e60-c465-11cf-8056-444553540000",
     "deviceInstance_10": "USB\\\\VID_0781*", "deviceId_10": "STICK-ID"},
    {"deviceName_10": "usb", "deviceType_10": "36fc9e60-c465-11cf-8056-444553540000",
     "deviceInstance_10": "USB\\\\VID_*", "deviceId_10": "USB-DEV"},
    {"deviceName_10": "two", "deviceType_10": "36fc9e60-c465-11cf-8056-444553540000",
     "deviceInstance_10": "USB\\\\VID_7777*", "deviceId_10": "NOPOLICY"},
    {"deviceName_10": "phones", "deviceType_10": "eeeeeeee-eeee-eeee-eeee-eeeeeeeeeeee",
     "deviceInstance_10": "SWD\\\\*", "deviceId_10": "PORTABLE"},
    {"deviceName_10": "others", "deviceType_10": "ffffffff-ffff-ffff-ffff-ffffffffffff",
     "deviceInstance_10": "*", "deviceId_10": "OTHER"}
  ]}
})";

}  // namespace enginetest
