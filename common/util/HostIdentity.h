// Who and where the module is: local addresses, UUID text, user name, the host
// executable's folder and the agent's installation folder. Paths are narrow
// strings in the ANSI code page; folders end with a backslash.
#pragma once
#include <list>
#include <string>
#include "platform/winapi.h"
#include "common/util/WString.h"

uint32_t GetAdapterAddressList(std::list<std::string>& list, bool bMac);
void GetLocalIpList(std::list<std::string>& list);
std::string CreateGuidString();
std::string GetOsUserName();
std::string GetModuleDir();
std::string GetInstallDir();
// The installation folder of a host executable in `hostDir` when the registry
// names none: the text before its last "x86", then before its last "x64".
std::string InstallDirFromHostDir(const std::string& hostDir);
std::string GetInstallBinDir(bool bX86);
bool RegReadString(HKEY hRoot, const WString& subKey, const WString& valueName, WString& out);
