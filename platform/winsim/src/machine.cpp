// The machine's settings and description loading, fault injection and the
// translation of Windows paths to host paths.
#include "machine.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include <rapidjson/error/en.h>

namespace winsim {
namespace internal {

bool CodePageSupported(UINT codePage);  // codepage.cpp

namespace {

std::mutex g_machineMutex;
Machine g_machine;
std::once_flag g_machineOnce;

std::map<std::string, SectionLoader>& Loaders() {
  static std::map<std::string, SectionLoader> loaders;
  return loaders;
}

std::mutex g_faultMutex;
std::map<std::string, std::pair<DWORD, int>> g_faults;

std::string TempRoot() {
  const char* tmp = getenv("TMPDIR");
  return (tmp && *tmp) ? tmp : "/tmp";
}

std::string AbsoluteFolder(const std::string& path) {
  std::error_code ec;
  std::filesystem::path abs = std::filesystem::absolute(path.empty() ? std::string(".") : path, ec);
  if (ec) return path;
  std::string text = abs.lexically_normal().string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

// Parses and installs a description. With an error the old machine stays.
bool LoadDescription(const std::string& json, const std::string& baseDir, std::string* error) {
  rapidjson::Document doc;
  // Iterative: a deeply nested description (a damaged capture, say) is an
  // error to report, not a stack overflow.
  doc.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseCommentsFlag | rapidjson::kParseTrailingCommasFlag>(
      json.c_str(), json.size());
  if (doc.HasParseError()) {
    *error = std::string("JSON error at offset ") + std::to_string(doc.GetErrorOffset()) + ": " +
             rapidjson::GetParseError_En(doc.GetParseError());
    return false;
  }
  if (!doc.IsObject()) {
    *error = "the machine description is not a JSON object";
    return false;
  }
  Machine next;
  LoadContext context;
  context.baseDir = AbsoluteFolder(baseDir);
  for (auto it = doc.MemberBegin(); it != doc.MemberEnd(); ++it) {
    const std::string key = it->name.GetString();
    const rapidjson::Value& v = it->value;
    auto wantString = [&](std::string* out) {
      if (!v.IsString()) {
        *error = "\"" + key + "\" must be a string";
        return false;
      }
      *out = v.GetString();
      return true;
    };
    if (key == "sandbox") {
      if (!wantString(&next.sandbox)) return false;
      if (next.sandbox.empty()) {
        *error = "\"sandbox\" is empty";
        return false;
      }
    } else if (key == "codePage") {
      if (!v.IsUint() || !CodePageSupported(v.GetUint())) {
        *error = "\"codePage\" is not a code page this system converts";
        return false;
      }
      next.codePage = v.GetUint();
    } else if (key == "computerName") {
      if (!wantString(&next.computerName)) return false;
    } else if (key == "userName") {
      if (!wantString(&next.userName)) return false;
    } else if (key == "commandLine") {
      if (!wantString(&next.commandLine)) return false;
    } else if (key == "description") {
      // Free text for the reader of the file.
    } else if (!Loaders().count(key)) {
      *error = "unknown section \"" + key + "\"";
      return false;
    }
  }
  const char* sandboxEnv = getenv("WINSIM_SANDBOX");
  if (sandboxEnv && *sandboxEnv) next.sandbox = sandboxEnv;
  if (!next.sandbox.empty()) {
    if (next.sandbox[0] != '/') next.sandbox = context.baseDir + "/" + next.sandbox;
    next.sandbox = AbsoluteFolder(next.sandbox);
    std::error_code ec;
    std::filesystem::create_directories(next.sandbox, ec);
    if (!std::filesystem::is_directory(next.sandbox, ec)) {
      *error = "cannot create the sandbox folder " + next.sandbox;
      return false;
    }
    next.sandboxReady = true;
  }
  context.sandbox = next.sandbox;

  std::vector<std::function<void()>> commits;
  for (auto& entry : Loaders()) {
    const rapidjson::Value* section = doc.HasMember(entry.first.c_str()) ? &doc[entry.first.c_str()] : nullptr;
    std::function<void()> commit;
    std::string sectionError;
    if (!entry.second(section, context, &commit, &sectionError)) {
      *error = "section \"" + entry.first + "\": " + sectionError;
      return false;
    }
    if (commit) commits.push_back(std::move(commit));
  }
  {
    std::lock_guard<std::mutex> lock(g_machineMutex);
    g_machine = next;
  }
  for (auto& commit : commits) commit();
  return true;
}

bool ReadWholeFile(const std::string& path, std::string* text, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path;
    return false;
  }
  std::stringstream ss;
  ss << in.rdbuf();
  *text = ss.str();
  return true;
}

bool LoadFile(const std::string& path, std::string* error) {
  std::string text;
  if (!ReadWholeFile(path, &text, error)) return false;
  std::string folder = std::filesystem::path(path).parent_path().string();
  return LoadDescription(text, folder.empty() ? "." : folder, error);
}

void LoadProcessMachine() {
  const char* path = getenv("WINSIM_MACHINE");
  std::string error;
  if (path && *path) {
    if (LoadFile(path, &error)) return;
    fprintf(stderr, "winsim: cannot load the machine %s: %s; using an empty machine\n", path, error.c_str());
  }
  if (!LoadDescription("{}", ".", &error)) fprintf(stderr, "winsim: empty machine: %s\n", error.c_str());
}

}  // namespace

// The thread that loads the process's machine calls back into winsim (the
// device tree writes class keys through the registry functions): it must not
// wait for its own load.
thread_local bool t_loadingProcessMachine = false;
std::atomic<bool> g_machineLoaded{false};  // the cheap test of every later call

void EnsureMachine() {
  if (g_machineLoaded.load(std::memory_order_acquire) || t_loadingProcessMachine) return;
  std::call_once(g_machineOnce, [] {
    t_loadingProcessMachine = true;
    LoadProcessMachine();
    t_loadingProcessMachine = false;
    g_machineLoaded.store(true, std::memory_order_release);
  });
}

MachineGuard LockMachine() {
  EnsureMachine();
  return MachineGuard{std::unique_lock<std::mutex>(g_machineMutex), g_machine};
}

bool RegisterSectionLoader(const char* name, SectionLoader loader) {
  Loaders()[name] = std::move(loader);
  return true;
}

// ---------------------------------------------------------------- faults

std::atomic<bool> g_faultsArmed{false};

std::map<std::string, int> g_kills;  // function -> calls left before the kill

bool TakeFault(const char* function, DWORD* error) {
  std::lock_guard<std::mutex> lock(g_faultMutex);
  auto kill = g_kills.find(function);
  if (kill != g_kills.end() && --kill->second <= 0) {
    fflush(stdout);
    ::kill(getpid(), SIGKILL);
  }
  auto it = g_faults.find(function);
  if (it == g_faults.end()) return false;
  *error = it->second.first;
  if (it->second.second > 0 && --it->second.second == 0) g_faults.erase(it);
  g_faultsArmed.store(!g_faults.empty() || !g_kills.empty(), std::memory_order_relaxed);
  return true;
}

// ---------------------------------------------------------------- paths

std::string SandboxFolder() {
  auto guard = LockMachine();
  Machine& m = guard.machine;
  if (m.sandbox.empty()) {
    std::string templ = TempRoot() + "/winsim-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data())) {
      m.sandbox = buf.data();
      m.sandboxReady = true;
    } else {
      m.sandbox = TempRoot() + "/winsim-" + std::to_string(getpid());
    }
  }
  if (!m.sandboxReady) {
    std::error_code ec;
    std::filesystem::create_directories(m.sandbox, ec);
    m.sandboxReady = std::filesystem::is_directory(m.sandbox, ec);
  }
  return m.sandbox;
}

bool IsWindowsPath(const std::string& path) {
  if (path.size() >= 2 && path[1] == ':' && isalpha(static_cast<unsigned char>(path[0]))) return true;
  return path.find('\\') != std::string::npos;
}

namespace {

std::string Join(const std::string& base, const std::string& name) {
  if (base.empty()) return "/" + name;
  if (base == ".") return name;
  return base + "/" + name;
}

// Name of an entry of `folder` equal to `name` but for case, or empty.
std::string FindCaseInsensitive(const std::string& folder, const std::string& name) {
  DIR* dir = opendir(folder.empty() ? "/" : folder == "." ? "." : folder.c_str());
  if (!dir) return std::string();
  std::string found;
  while (dirent* e = readdir(dir)) {
    if (strcasecmp(e->d_name, name.c_str()) == 0) {
      found = e->d_name;
      break;
    }
  }
  closedir(dir);
  return found;
}

}  // namespace

bool TranslatePath(const std::string& path, std::string* hostPath, DWORD* error) {
  if (!IsWindowsPath(path)) {
    *hostPath = path;
    return true;
  }
  std::string base;  // "" is "/", "." the current folder
  size_t pos = 0;
  if (path.size() >= 2 && path[1] == ':') {
    char drive = static_cast<char>(toupper(static_cast<unsigned char>(path[0])));
    if (drive == 'C') {
      base = SandboxFolder();
    } else if (drive != 'Z') {
      *error = ERROR_PATH_NOT_FOUND;
      return false;
    }
    pos = 2;
  } else if (path.size() >= 2 && (path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/')) {
    *error = ERROR_PATH_NOT_FOUND;  // UNC names: there is no network here
    return false;
  } else if (path[0] != '\\' && path[0] != '/') {
    base = ".";
  }
  const std::string root = base;
  std::vector<std::string> parts;
  std::string part;
  for (size_t i = pos; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '\\' || path[i] == '/') {
      if (part == "..") {
        if (!parts.empty() && parts.back() != "..")
          parts.pop_back();
        else if (root == ".")
          parts.push_back(part);
      } else if (!part.empty() && part != ".") {
        parts.push_back(part);
      }
      part.clear();
    } else {
      part += path[i];
    }
  }
  std::string current = root;
  bool resolving = true;
  struct stat st;
  for (const std::string& name : parts) {
    std::string candidate = Join(current, name);
    if (resolving && name != ".." && lstat(candidate.c_str(), &st) != 0) {
      std::string actual = FindCaseInsensitive(current, name);
      if (actual.empty())
        resolving = false;
      else
        candidate = Join(current, actual);
    }
    current = candidate;
  }
  if (current.empty()) current = "/";
  bool trailing = path.size() > pos && (path.back() == '\\' || path.back() == '/');
  if (trailing && !parts.empty()) current += "/";
  *hostPath = current;
  return true;
}

std::string WindowsPathOf(const std::string& hostPath) {
  std::string abs = hostPath;
  if (abs.empty() || abs[0] != '/') abs = AbsoluteFolder(".") + "/" + abs;
  std::string out = "Z:";
  for (char c : abs) out += (c == '/') ? '\\' : c;
  return out;
}

DWORD ErrnoToWin32(int error, const std::string& hostPath) {
  switch (error) {
    case ENOENT: {
      std::string parent = std::filesystem::path(hostPath).parent_path().string();
      struct stat st;
      if (!parent.empty() && stat(parent.c_str(), &st) != 0) return ERROR_PATH_NOT_FOUND;
      return ERROR_FILE_NOT_FOUND;
    }
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case ENOSPC: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EBADF: return ERROR_INVALID_HANDLE;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EXDEV: return ERROR_NOT_SAME_DEVICE;
    case EBUSY: return ERROR_SHARING_VIOLATION;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    default: return ERROR_GEN_FAILURE;
  }
}

bool ParseHex(const std::string& text, std::vector<BYTE>* out) {
  int high = -1;
  for (char c : text) {
    int v = isdigit(static_cast<unsigned char>(c)) ? c - '0'
            : (c >= 'a' && c <= 'f')               ? c - 'a' + 10
            : (c >= 'A' && c <= 'F')               ? c - 'A' + 10
                                                   : -1;
    if (v < 0) {
      if (c == ' ' || c == ',' || c == '-' || c == ':') continue;
      return false;
    }
    if (high < 0) {
      high = v;
    } else {
      out->push_back(static_cast<BYTE>(high * 16 + v));
      high = -1;
    }
  }
  return high < 0;
}

}  // namespace internal

// ---------------------------------------------------------------- control API

using namespace internal;

bool LoadMachineFile(const std::string& path, std::string* error) {
  EnsureMachine();
  std::string local;
  return LoadFile(path, error ? error : &local);
}

bool LoadMachineJson(const std::string& json, const std::string& baseDir, std::string* error) {
  EnsureMachine();
  std::string local;
  return LoadDescription(json, baseDir, error ? error : &local);
}

std::string SandboxDir() { return SandboxFolder(); }

std::string HostPath(const std::string& windowsPath) {
  std::string host;
  DWORD error = 0;
  return TranslatePath(windowsPath, &host, &error) ? host : std::string();
}

void SetCommandLine(const std::string& commandLine) { LockMachine().machine.commandLine = commandLine; }

void SetCodePage(UINT codePage) { LockMachine().machine.codePage = codePage; }

void FailCall(const std::string& name, DWORD error, int times) {
  if (times == 0) return;
  std::lock_guard<std::mutex> lock(g_faultMutex);
  g_faults[name] = std::make_pair(error, times);
  g_faultsArmed.store(true, std::memory_order_relaxed);
}

void ClearFailures() {
  std::lock_guard<std::mutex> lock(g_faultMutex);
  g_faults.clear();
  g_kills.clear();
  g_faultsArmed.store(false, std::memory_order_relaxed);
}

void KillAtCall(const std::string& name, int nth) {
  std::lock_guard<std::mutex> lock(g_faultMutex);
  g_kills[name] = nth < 1 ? 1 : nth;
  g_faultsArmed.store(true, std::memory_order_relaxed);
}

}  // namespace winsim
