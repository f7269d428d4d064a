#include "agent_process.h"

#include <cfgmgr32.h>
#include <setupapi.h>

namespace e2e {

namespace {
const DWORD kPollMs = 100;
}  // namespace

std::string OwnDir() {
  char path[MAX_PATH] = {};
  DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string text(path, length);
  return text.substr(0, text.find_last_of("\\/") + 1);
}

// 0: nothing there, 1: a file, 2: a folder.
static int Kind(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes == INVALID_FILE_ATTRIBUTES ? 0 : (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 2 : 1;
}
bool FileExists(const std::string& path) { return Kind(path) == 1; }
bool DirExists(const std::string& path) { return Kind(path) == 2; }

ChildProcess::~ChildProcess() {
  if (m_info.hProcess == nullptr) return;
  if (WaitForSingleObject(m_info.hProcess, 0) == WAIT_TIMEOUT) {
    TerminateProcess(m_info.hProcess, 0xDEAD);
    WaitForSingleObject(m_info.hProcess, 10000);
  }
  CloseHandle(m_info.hThread);
  CloseHandle(m_info.hProcess);
}

bool ChildProcess::Start(const std::string& exe, const std::string& args, const std::string& workDir,
                         const std::string& outputFile) {
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE output = CreateFileA(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  if (output == INVALID_HANDLE_VALUE) return false;
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input == INVALID_HANDLE_VALUE ? nullptr : input;
  startup.hStdOutput = output;
  startup.hStdError = output;
  // The module looks for "vaulthelper.exe" in exactly this text.
  std::string commandLine = "\"" + exe + "\" " + args;
  // No console of its own: a console host would hold the output file open
  // after the program ended.
  BOOL started = CreateProcessA(exe.c_str(), &commandLine[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                workDir.empty() ? nullptr : workDir.c_str(), &startup, &m_info);
  CloseHandle(output);
  if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
  if (!started) m_info = PROCESS_INFORMATION();
  return started != FALSE;
}

bool ChildProcess::WaitExit(DWORD ms) {
  return m_info.hProcess != nullptr && WaitForSingleObject(m_info.hProcess, ms) == WAIT_OBJECT_0;
}

DWORD ChildProcess::ExitCode() const {
  DWORD code = 0xFFFFFFFF;
  if (m_info.hProcess == nullptr || !GetExitCodeProcess(m_info.hProcess, &code)) return 0xFFFFFFFF;
  return code;
}

DWORD RunToEnd(const std::string& exe, const std::string& args, const std::string& outputFile, DWORD ms,
               std::string* output) {
  ChildProcess child;
  if (!child.Start(exe, args, "", outputFile)) return 0xFFFFFFFF;
  bool ended = child.WaitExit(ms);
  DWORD code = ended ? child.ExitCode() : 0xFFFFFFFF;
  if (output != nullptr) *output = ended ? ReadFile(outputFile) : std::string();
  return code;
}

CreatedKeys::~CreatedKeys() {
  for (auto it = m_created.rbegin(); it != m_created.rend(); ++it)
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, it->c_str(), KEY_WOW64_64KEY, 0);
}

bool CreatedKeys::Create(const std::string& path) {
  for (size_t end = 0; end != std::string::npos;) {
    end = path.find('\\', end + 1);
    std::string prefix = path.substr(0, end);
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, prefix.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr,
                        &key, &disposition) != ERROR_SUCCESS)
      return false;
    RegCloseKey(key);
    if (disposition == REG_CREATED_NEW_KEY) m_created.push_back(prefix);
  }
  return true;
}

RootDevice::RootDevice(const GUID& classGuid, const wchar_t* className, const wchar_t* hardwareId,
                       const wchar_t* description)
    : m_classGuid(classGuid) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(&classGuid, nullptr);
  if (set == INVALID_HANDLE_VALUE) return;
  SP_DEVINFO_DATA data = {};
  data.cbSize = sizeof(data);
  // REG_MULTI_SZ: the ID, then an empty string.
  std::wstring ids = std::wstring(hardwareId) + L'\0' + L'\0';
  wchar_t instanceId[MAX_DEVICE_ID_LEN] = {};
  if (SetupDiCreateDeviceInfoW(set, className, &classGuid, description, nullptr, DICD_GENERATE_ID, &data) &&
      SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(ids.data()),
                                        static_cast<DWORD>(ids.size() * sizeof(wchar_t))) &&
      SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &data) &&
      SetupDiGetDeviceInstanceIdW(set, &data, instanceId, MAX_DEVICE_ID_LEN, nullptr))
    m_instanceId = instanceId;
  SetupDiDestroyDeviceInfoList(set);
}

RootDevice::~RootDevice() {
  if (m_instanceId.empty()) return;
  HDEVINFO set = SetupDiCreateDeviceInfoList(&m_classGuid, nullptr);
  if (set == INVALID_HANDLE_VALUE) return;
  SP_DEVINFO_DATA data = {};
  data.cbSize = sizeof(data);
  if (SetupDiOpenDeviceInfoW(set, m_instanceId.c_str(), nullptr, 0, &data)) SetupDiRemoveDevice(set, &data);
  SetupDiDestroyDeviceInfoList(set);
}

bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs) {
  for (ULONGLONG start = GetTickCount64(); !done(); Sleep(kPollMs))
    if (GetTickCount64() - start >= timeoutMs) return false;
  return true;
}

bool WaitForCount(const std::string& path, const std::string& what, size_t count, DWORD timeoutMs) {
  return WaitUntil([&] { return Count(ReadFile(path), what) >= count; }, timeoutMs);
}

}  // namespace e2e
